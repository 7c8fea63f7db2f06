// The store's two locking styles against each other, and edits killed at random moments.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kova/kova_cfg.h"
#include "support/temp_root.h"

namespace {

using namespace kova::test;

// Every value a setter writes: one letter, its length tied to the letter, which a torn or freed
// string would break.
std::string value_for(unsigned n) { return std::string(n % 7 * 40 + 1, char('a' + n % 7)); }
bool well_formed(const char *value) { return value_for(static_cast<unsigned>(value[0] - 'a')) == value; }

TEST(CfgStress, BothLookupStylesAgainstBothSetterStyles)
{
    TempRoot root;
    root.write("/a.ini", "[s]\nk=" + value_for(0) + "\n");
    root.write("/b.ini", "[t]\nj=1\n");
    std::string a = root.path("/a.ini"), b = root.path("/b.ini");
    ASSERT_EQ(kova_cfg_init(a.c_str()), 0);
    ASSERT_EQ(kova_cfg_init(b.c_str()), 0);
    constexpr unsigned kRounds = 20000;
    std::atomic<unsigned> bad{0};
    std::vector<std::thread> threads;
    for (int style = 0; style < 2; ++style) {
        threads.emplace_back([&, style] {
            for (unsigned n = 1; n <= kRounds; ++n) {
                std::string v = value_for(n);
                int r = style == 0 ? kova_cfg_setItemValue("s", "k", v.c_str()) : kova_cfg_setItemValue_ex(a.c_str(), "s", "k", v.c_str());
                if (r != 0) ++bad;
            }
        });
        threads.emplace_back([&, style] {
            char buf[512];
            for (unsigned n = 0; n < kRounds; ++n) {
                int r = style == 0 ? kova_cfg_getItemValue("s", "k", buf, sizeof buf)
                                   : kova_cfg_getItemValue_ex(a.c_str(), "s", "k", buf, sizeof buf);
                if (r != 0 || !well_formed(buf)) ++bad;
            }
        });
    }
    // Reloads replace the node under the readers.
    threads.emplace_back([&] {
        for (int n = 0; n < 200; ++n)
            if (kova_cfg_init(b.c_str()) != 0 || kova_cfg_destroy_ex(b.c_str()) != 0) ++bad;
    });
    for (std::thread &t : threads) t.join();
    EXPECT_EQ(bad.load(), 0u);
    kova_cfg_destroy();
}

TEST(CfgStress, KilledEditorsNeverLeaveATornFile)
{
    TempRoot root;
    const std::string first = "[s]\nk=" + std::string(3000, 'a') + "\n[t]\nj=1\n";
    const std::string second = "[s]\nk=" + std::string(5000, 'b') + "\n[t]\nj=1\n";
    root.write("/e.ini", first);
    std::string path = root.path("/e.ini");
    std::mt19937 random(15);
    for (int kill_round = 0; kill_round < 200; ++kill_round) {
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        pid_t child = fork();
        if (child == 0) {
            close(ready[0]);
            for (unsigned n = 0;; ++n) {
                kova_cfg_file_setItemValue(path.c_str(), "s", "k", std::string(n % 2 ? 5000 : 3000, n % 2 ? 'b' : 'a').c_str());
                if (n == 0) (void)!write(ready[1], "r", 1);
            }
        }
        close(ready[1]);
        char c;
        ASSERT_EQ(read(ready[0], &c, 1), 1);
        close(ready[0]);
        usleep(random() % 3000);  // any moment will do; the spread only varies where the kill lands
        kill(child, SIGKILL);
        int status;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        std::string text = root.read("/e.ini");
        ASSERT_TRUE(text == first || text == second) << kill_round << ": " << text.size();
    }
}

}  // namespace

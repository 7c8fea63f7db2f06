#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kovalog/kovalog.h"
#include "support/log_capture.h"

namespace {

constexpr uint32_t kModule = 77;

std::string read_file(const std::string &path)
{
    std::ifstream in(path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

class KovalogTest : public ::testing::Test {
protected:
    void SetUp() override { std::filesystem::create_directories(dir_); }
    void TearDown() override
    {
        kovalog_destroy();
        std::filesystem::remove_all(dir_);
    }
    const std::filesystem::path dir_ = std::filesystem::temp_directory_path() / ("kovalog-" + std::to_string(getpid()));
    const std::string log_path_ = (dir_ / "out.log").string();
};

TEST_F(KovalogTest, LevelsAreKeptPerModuleAndCheckedAgainstTheThreshold)
{
    EXPECT_EQ(kovalog_loglevel_get(kModule), KOVALOG_DEFAULT_LEVEL);
    EXPECT_EQ(kovalog_level_check(kModule, 6), 0);
    EXPECT_EQ(kovalog_level_check(kModule, 7), 1);

    ASSERT_EQ(kovalog_loglevel_set(kModule, 3), 0);
    EXPECT_EQ(kovalog_level_check(kModule, 3), 0);
    EXPECT_EQ(kovalog_level_check(kModule, 4), 1);
    EXPECT_EQ(kovalog_level_check(kModule + 1, 6), 0) << "other modules keep their own threshold";

    for (auto [module, level] : {std::pair{KOVALOG_MODULE_MAX, 3}, {kModule, 8}, {kModule, -1}})
        EXPECT_EQ(kovalog_loglevel_set(module, level), -1) << module << " " << level;
    EXPECT_EQ(kovalog_loglevel_get(KOVALOG_MODULE_MAX), -1);
    EXPECT_EQ(kovalog_loglevel_get(kModule), 3) << "a refused set changes nothing";
}

TEST_F(KovalogTest, InitSetsEveryModuleAndWritesToTheFile)
{
    ASSERT_EQ(kovalog_init(log_path_.c_str(), 7), 0);
    EXPECT_TRUE(kovalog_loglevel_get(0) == 7 && kovalog_loglevel_get(1023) == 7);
    kovalog(kModule, 3, "fam/src", 42, "do_thing", 0, "value %d and %s", 17, "text");
    kovalog_original("<%d>raw %s", 5, "line");
    kovalog_flush_signal_safe();
    std::string content = read_file(log_path_);
    EXPECT_TRUE(content.find("[77] E fam/src:42 do_thing: value 17 and text\n") != std::string::npos &&
                content.find("<5>raw line\n") != std::string::npos)
        << content;
    EXPECT_EQ(kovalog_init("/nonexistent-dir/x.log", 6) + kovalog_init(log_path_.c_str(), 9), -2);
    kovalog(kModule, 3, "f", 1, "g", 0, "still here");
    EXPECT_NE(read_file(log_path_).find("still here"), std::string::npos)
        << "a failed switch keeps the current output";
}

TEST_F(KovalogTest, SwitchingOutputKeepsOneDescriptor)
{
    ASSERT_EQ(kovalog_init(log_path_.c_str(), 6), 0);
    std::string second = (dir_ / "second.log").string();
    auto open_fds = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
    };
    auto before = open_fds();
    ASSERT_EQ(kovalog_init(second.c_str(), 6), 0);
    ASSERT_EQ(kovalog_init(log_path_.c_str(), 6), 0);
    EXPECT_EQ(open_fds(), before);
    kovalog(kModule, 6, "f", 1, "g", 0, "back to first");
    EXPECT_NE(read_file(log_path_).find("back to first"), std::string::npos);
    EXPECT_EQ(read_file(second).find("back to first"), std::string::npos);
}

std::vector<kovalog_message_s> seen;
std::vector<std::string> seen_text;
void remember(const kovalog_message_s *m)
{
    seen.push_back(*m);
    seen_text.emplace_back(m->text);
}

TEST_F(KovalogTest, ContentCallbacksSeeFormattedMessagesAndRawLines)
{
    seen.clear(), seen_text.clear();
    kovalog_content_callback_s registration{2, &remember};
    ASSERT_EQ(kovalog_register_content_callback(&registration), 0);
    kovalog(kModule, 4, "fam/src", 9, "fn", 0, "%s=%u", "count", 3u);
    kovalog_original("%-4s|%04x|%p", "ab", 0x2a, reinterpret_cast<void *>(0x10));
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_TRUE(seen[0].module == kModule && seen[0].level == 4 && seen[0].line == 9 && seen[0].flags == 0);
    EXPECT_TRUE(seen[1].flags == KOVALOG_MSG_RAW && seen[1].level == -1);
    EXPECT_EQ(seen_text, (std::vector<std::string>{"count=3", "ab  |002a|0x10"}));

    registration.callback = nullptr;
    ASSERT_EQ(kovalog_register_content_callback(&registration), 0);
    kovalog(kModule, 4, "f", 1, "g", 0, "unseen");
    EXPECT_EQ(seen.size(), 2u);
    EXPECT_EQ(kovalog_register_content_callback(nullptr), -1);
    kovalog_content_callback_s bad{KOVALOG_CALLBACK_SLOTS, &remember};
    EXPECT_EQ(kovalog_register_content_callback(&bad), -1);
}

int raw_vprint(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int n = kovalog_vraw(format, args);
    va_end(args);
    return n;
}

TEST_F(KovalogTest, RawFormatterCoversTheStackDumpConversions)
{
    ASSERT_EQ(kovalog_init(log_path_.c_str(), 6), 0);
    EXPECT_EQ(raw_vprint("%d|%i|%u|%ld|%lld|%hhd", -12, 0, 4000000000u, -1L, (long long)INT64_MIN, 300), 43);
    EXPECT_EQ(raw_vprint("[%5d][%-5d][%05d][%.2s][%c][%%][%lx][%zu]", -3, 7, -42, "abc", 'Z', 0xdeadbeefUL,
                         (size_t)9),
              44);
    EXPECT_EQ(read_file(log_path_), "-12|0|4000000000|-1|-9223372036854775808|44[   -3][7    ][-0042][ab][Z][%][deadbeef][9]");
    EXPECT_EQ(kovalog_original(nullptr), 1) << "a null format writes an empty line";
}

TEST_F(KovalogTest, OverlongMessagesAreCutNotOverflowed)
{
    ASSERT_EQ(kovalog_init(log_path_.c_str(), 6), 0);
    seen.clear(), seen_text.clear();
    kovalog_content_callback_s registration{1, &remember};
    kovalog_register_content_callback(&registration);
    std::string huge(3 * KOVALOG_MESSAGE_MAX, 'x');
    kovalog(kModule, 3, "f", 1, "g", 0, "%s", huge.c_str());
    int n = kovalog_original("%s", huge.c_str());
    const std::string cut(KOVALOG_MESSAGE_MAX - 1, 'x');
    EXPECT_EQ(seen_text, (std::vector<std::string>{cut, cut}));
    EXPECT_EQ(n, static_cast<int>(KOVALOG_MESSAGE_MAX));
    kovalog(kModule, 3, nullptr, 1, nullptr, 0, nullptr);  // tolerated
}

TEST_F(KovalogTest, RateLimitGroupsDropOverTheBurstAndReportLater)
{
    ASSERT_EQ(kovalog_init(log_path_.c_str(), 6), 0);
    int group = kovalog_get_group_id(kModule);
    ASSERT_GE(group, 0);
    EXPECT_EQ(kovalog_get_group_id(KOVALOG_MODULE_MAX), -1);
    EXPECT_EQ(kovalog_ratelimit_set(-1, 1, 1) + kovalog_ratelimit_set(group, 1, 0), -2);
    ASSERT_EQ(kovalog_ratelimit_set(group, 2, 200), 0);
    for (int i = 0; i < 5; ++i) kovalog(kModule, 6, "f", 1, "g", 0, "burst %d", i);
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    kovalog(kModule, 6, "f", 1, "g", 0, "after window");
    std::string content = read_file(log_path_);
    EXPECT_TRUE(content.find("burst 1") != std::string::npos && content.find("burst 2") == std::string::npos &&
                content.find("kovalog: 3 messages of group 77 dropped by the rate limit") != std::string::npos &&
                content.find("after window") != std::string::npos)
        << content;

    ASSERT_EQ(kovalog_ratelimit_set(group, 0, 0), 0);
    for (int i = 0; i < 5; ++i) kovalog(kModule, 6, "f", 1, "g", 0, "unlimited %d", i);
    EXPECT_NE(read_file(log_path_).find("unlimited 4"), std::string::npos);
}

TEST_F(KovalogTest, ConcurrentWritersProduceWholeLines)
{
    ASSERT_EQ(kovalog_init(log_path_.c_str(), 6), 0);
    constexpr int kThreads = 4, kLines = 500;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t)
        writers.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) kovalog(kModule, 6, "f", 1, "g", 0, "writer %d line %d end", t, i);
        });
    for (auto &w : writers) w.join();
    std::istringstream lines(read_file(log_path_));
    int whole = 0;
    for (std::string line; std::getline(lines, line);) {
        if (line.find("writer ") == std::string::npos) continue;
        EXPECT_EQ(line.substr(line.size() - 4), " end") << line;
        ++whole;
    }
    EXPECT_EQ(whole, kThreads * kLines);
}

}  // namespace

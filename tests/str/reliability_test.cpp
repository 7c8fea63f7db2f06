#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "str_test_util.h"

namespace {

// Streams opened and closed at once from many threads: every stream reads its own child's
// output, every close finds its own child, and nothing is left behind.
TEST(StrReliability, ConcurrentStreamsKeepTheirChildren)
{
    constexpr int kThreads = 8, kRounds = 200;
    auto before = kova::test::open_fds();
    std::atomic<int> mismatched{0}, failed_close{0}, waiting{kThreads};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (--waiting; waiting.load() > 0;) std::this_thread::yield();
            for (int i = 0; i < kRounds; ++i) {
                std::string expected = std::to_string(t) + "-" + std::to_string(i);
                auto [output, status] = kova::test::drain(kova_popen(("echo " + expected).c_str(), "r"), kova_pclose);
                mismatched += output != expected + "\n";
                failed_close += status != 0;
            }
        });
    }
    for (auto &thread : threads) thread.join();
    EXPECT_EQ(mismatched.load(), 0);
    EXPECT_EQ(failed_close.load(), 0);
    EXPECT_EQ(kova::test::open_fds(), before);
    EXPECT_FALSE(kova::test::child_left());
}

}  // namespace

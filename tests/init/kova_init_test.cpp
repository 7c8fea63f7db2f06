#include <cerrno>
#include <fstream>
#include <future>
#include <map>
#include <mutex>
#include <numeric>
#include <sstream>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "init/init_steps.h"
#include "kova/kova_init.h"
#include "kova/kova_log.h"
#include "kova/kova_schedwork.h"
#include "support/command_intercept.h"
#include "support/log_capture.h"
#include "support/temp_root.h"
#include "sysinfo/cpuinfo_record.h"

namespace {

using namespace kova::init;
using Logged = std::tuple<int, std::string, std::string>;  // level, function, text

// Stand-ins that record their index (teardowns as 100 + index); a step returns the status the
// test set for it.
std::mutex ran_lock;
std::vector<int> ran;
int statuses[kStepCount];

template <int I>
int fake()
{
    std::lock_guard guard(ran_lock);
    ran.push_back(I);
    return I < int{kStepCount} ? statuses[I] : 0;
}

std::vector<int> sequence(int first, std::size_t count)
{
    std::vector<int> numbers(count);
    std::iota(numbers.begin(), numbers.end(), first);
    return numbers;
}
const std::vector<int> kChain = sequence(0, kStepCount), kTeardowns = sequence(100, kTeardownCount);
constexpr std::size_t kCycle = kTeardownCount + kStepCount;

struct FakeChain {
    FakeChain()
    {
        [this]<std::size_t... I>(std::index_sequence<I...>) {
            ((saved[I] = replace_step(I, fake<I>)), ...);
        }(std::make_index_sequence<kStepCount>());
        [this]<std::size_t... I>(std::index_sequence<I...>) {
            ((saved_teardowns[I] = replace_teardown(I, fake<100 + I>)), ...);
        }(std::make_index_sequence<kTeardownCount>());
        kova_destory();
        take();
    }
    ~FakeChain()
    {
        kova_destory();
        for (std::size_t i = 0; i < kStepCount; ++i) replace_step(i, saved[i]);
        for (std::size_t i = 0; i < kTeardownCount; ++i) replace_teardown(i, saved_teardowns[i]);
    }
    static std::vector<int> take()
    {
        std::lock_guard guard(ran_lock);
        return std::exchange(ran, {});
    }
    StepFunction saved[kStepCount], saved_teardowns[kTeardownCount];
};

// Only this source's messages: library threads of earlier tests may log meanwhile.
std::vector<Logged> init_log(const kova::test::LogCapture &log)
{
    std::vector<Logged> mine;
    for (const auto &m : log.messages())
        if (m.file == "init/kova_init") mine.emplace_back(m.level, m.function, m.text);
    return mine;
}

TEST(KovaInit, EachStepFailingInTurnThenTheWholeChainAgain)
{
    const std::map<std::size_t, std::string> reported{
        {5, "Kova sysinfo initialize failed."}, {6, "Kova cpuinfo initialize failed."},
        {7, "Kova schedWork initialize failed."}, {9, "Kova time initialize failed."},
        {11, "Kova affinity initialize failed."}, {12, "Kova timer initialize failed."}};
    FakeChain chain;
    for (std::size_t i = 0; i < kStepCount; ++i) {
        SCOPED_TRACE(i);
        kova::test::LogCapture log;
        statuses[i] = -2 - static_cast<int>(i);
        const bool aborts = reported.contains(i) && i != 11;
        EXPECT_EQ(static_cast<uint32_t>(kova_Init()), aborts ? 0xFFFFFFFFu : 0u);
        std::vector<Logged> expected{{6, "kova_Init", "Kova init start."}};
        if (reported.contains(i)) expected.emplace_back(3, "kova_init_inner", reported.at(i));
        expected.emplace_back(6, "kova_Init", "Kova init end ret " + std::to_string(aborts ? statuses[i] : 0) + ".");
        EXPECT_EQ(init_log(log), expected);
        EXPECT_EQ(chain.take(), sequence(0, aborts ? i + 1 : kStepCount)) << "later steps skipped, none undone";
        EXPECT_EQ(done_flag(), aborts ? 0u : 1u);
        statuses[i] = 0;
        EXPECT_TRUE(kova_Init() == 0 && chain.take() == (aborts ? kChain : std::vector<int>{}));
        log.clear();
        EXPECT_EQ(kova_destory(), 0);
        EXPECT_EQ(chain.take(), kTeardowns);
        EXPECT_EQ(init_log(log), (std::vector<Logged>{{6, "kova_destory", "Kova destroy start."},
                                                      {6, "kova_destory", "Kova destroy end."}}));
    }
}

TEST(KovaInit, RepeatedCallsAndReentryDoNothing)
{
    FakeChain chain;
    kova::test::LogCapture log;
    EXPECT_EQ(kova_destory(), 0) << "before init";
    statuses[4] = 7;
    std::vector<std::pair<std::string, int>> seen;
    auto observer = [](const char *step, int status, uint64_t, void *arg) {
        static_cast<decltype(seen) *>(arg)->emplace_back(step, status + 10 * kova_Init());
    };
    ASSERT_EQ(kova_init_traced(observer, &seen), 0);
    statuses[4] = 0;
    EXPECT_EQ(chain.take(), kChain) << "the observer's kova_Init cannot lock and runs nothing";
    ASSERT_EQ(seen.size(), kStepCount);
    EXPECT_TRUE(seen[4] == std::make_pair(std::string("kova_sched_init"), 7) && seen[5].first == "sysinfo_init");
    log.clear();
    EXPECT_TRUE(kova_Init() == 0 && kova_init_traced(observer, &seen) == 0 && seen.size() == kStepCount);
    EXPECT_TRUE(init_log(log).empty() && chain.take().empty());
    static int reentered = 0;
    replace_teardown(0, [] { return reentered = kova_destory(); });
    EXPECT_TRUE(kova_destory() == 0 && reentered == EDEADLK && done_flag() == 0);
    log.clear();
    EXPECT_TRUE(kova_destory() == 0 && init_log(log).empty());
}

// Callers race each other: the chain runs once and no caller returns before it has ended; with
// destroyers among them, chains and teardowns strictly alternate, never interleave.
TEST(KovaInit, ConcurrentCallersAreSerialised)
{
    FakeChain chain;
    for (int round = 0; round < 40; ++round) {
        const bool destroyers = round % 2 == 1;
        if (!destroyers) kova_destory(), chain.take();
        std::atomic<bool> go{false};
        std::atomic<int> early{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t)
            threads.emplace_back([&, t] {
                while (!go.load()) std::this_thread::yield();
                if (destroyers && t % 2 == 1) return void(kova_destory());
                int status = kova_Init();
                std::lock_guard guard(ran_lock);
                early += status != 0 || (!destroyers && ran.size() != kStepCount);
            });
        go = true;
        for (auto &thread : threads) thread.join();
        const std::vector<int> order = chain.take();
        EXPECT_EQ(early.load(), 0);
        if (!destroyers) EXPECT_EQ(order, kChain);
        else
            for (std::size_t k = 0; k < order.size(); ++k)
                ASSERT_EQ(order[k], k % kCycle < kTeardownCount ? kTeardowns[k % kCycle] : kChain[k % kCycle - kTeardownCount])
                    << k;
    }
}

TEST(KovaInit, RealChainUpDownAndUpAgain)
{
    kova::test::TempRoot root;
    kova::test::CommandIntercept commands;
    root.write("/sys/devices/system/node/online", "0\n");
    root.write("/sys/devices/system/node/node0/cpulist", "0-1\n");
    root.write("/proc/stat", (std::ostringstream() << std::ifstream("/proc/stat").rdbuf()).str());
    commands.answer("uname -p", 0, "aarch64\n");
    commands.answer("lscpu", 0, "1\n");
    commands.answer("cat ", 0, "2\n");
    kova::test::LogCapture log;
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(kova_Init(), 0) << round;
        EXPECT_STREQ(kova_pid_get_name(KOVA_MODULE_ID), "KOVA");
        std::promise<void> handled;
        kova_sched_work_s work{};
        kova_sched_init_work(&work, [](kova_sched_work_s *w) { static_cast<std::promise<void> *>(w->pData)->set_value(); },
                             &handled);
        ASSERT_EQ(kova_sched_add_work(&work), 0);
        handled.get_future().wait();
        EXPECT_EQ(kova_destory(), 0);
        EXPECT_STREQ(kova_pid_get_name(KOVA_MODULE_ID), "NONE");
    }
    EXPECT_EQ(log.count("Kova init end ret 0."), 2u);
    for (const auto &[level, function, text] : init_log(log)) EXPECT_EQ(level, 6) << text;
    kova::sysinfo::forget_cpuinfo_for_test();
}

}  // namespace

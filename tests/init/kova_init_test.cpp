#include <cerrno>
#include <latch>
#include <map>
#include <thread>

#include <gtest/gtest.h>

#include "init/init_steps.h"
#include "kova/kova.h"
#include "support/command_intercept.h"
#include "support/log_capture.h"
#include "support/temp_root.h"
#include "sysinfo/cpuinfo_record.h"

namespace {

using namespace kova::init;
using Lines = std::vector<std::string>;

// Stand-ins that record a letter each (steps a..n, teardowns A..D); a step returns its status.
std::mutex ran_lock;
std::string ran;
int statuses[kStepCount];
const std::string kChain = "abcdefghijklmn", kTeardowns = "ABCD";

template <std::size_t I, char Letter>
int fake()
{
    std::lock_guard guard(ran_lock);
    ran += static_cast<char>(Letter + I);
    return Letter == 'a' ? statuses[I] : 0;
}

std::string take()
{
    std::lock_guard guard(ran_lock);
    return std::exchange(ran, {});
}

template <char Letter, std::size_t... I>
constexpr std::array<StepFunction, sizeof...(I)> fakes(std::index_sequence<I...>) { return {fake<I, Letter>...}; }

// Puts the stand-ins in, with the library not initialised, and the real steps back afterwards.
struct FakeChain {
    std::array<StepFunction, kStepCount> saved = fakes<'a'>(std::make_index_sequence<kStepCount>());
    std::array<StepFunction, kTeardownCount> saved_down = fakes<'A'>(std::make_index_sequence<kTeardownCount>());
    void swap()
    {
        for (std::size_t i = 0; i < kStepCount; ++i) saved[i] = replace_step(i, saved[i]);
        for (std::size_t i = 0; i < kTeardownCount; ++i) saved_down[i] = replace_teardown(i, saved_down[i]);
    }
    FakeChain() { swap(), kova_destory(), take(); }
    ~FakeChain() { kova_destory(), swap(); }
};

// Each step the chain reports: its status, plus ten times what kova_Init called from inside returns.
void observe(const char *, int status, uint64_t, void *seen)
{
    static_cast<std::vector<int> *>(seen)->push_back(status + 10 * kova_Init());
}

// "level function: text" of this source's messages only: other library threads may log meanwhile.
Lines init_log(const kova::test::LogCapture &log)
{
    Lines mine;
    for (const auto &m : log.messages())
        if (m.file == "init/kova_init") mine.push_back(std::to_string(m.level) + " " + m.function + ": " + m.text);
    return mine;
}

// Each step fails in turn; the next kova_Init runs what is missing and is silent if nothing is;
// calls from inside the chain cannot lock the mutex.
TEST(KovaInit, EachStepFailingInTurnThenAgainThenDown)
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
        std::vector<int> seen, reported_statuses(aborts ? i + 1 : kStepCount);
        reported_statuses[i] = statuses[i];
        EXPECT_EQ(static_cast<uint32_t>(kova_init_traced(observe, &seen)), aborts ? 0xFFFFFFFFu : 0u);
        EXPECT_EQ(seen, reported_statuses) << "nothing runs from inside the chain";
        Lines expected{"6 kova_Init: Kova init start."};
        if (reported.contains(i)) expected.push_back("3 kova_init_inner: " + reported.at(i));
        expected.push_back("6 kova_Init: Kova init end ret " + std::to_string(aborts ? statuses[i] : 0) + ".");
        EXPECT_EQ(init_log(log), expected);
        EXPECT_EQ(take(), kChain.substr(0, aborts ? i + 1 : kStepCount)) << "later steps skipped, none undone";
        EXPECT_EQ(done_flag(), aborts ? 0u : 1u);
        statuses[i] = 0;
        log.clear();
        EXPECT_TRUE(kova_Init() == 0 && take() == (aborts ? kChain : "") && init_log(log).size() == (aborts ? 2u : 0u));
        log.clear();
        EXPECT_TRUE(kova_destory() == 0 && take() == kTeardowns && done_flag() == 0 && kova_destory() == 0);
        EXPECT_EQ(init_log(log), (Lines{"6 kova_destory: Kova destroy start.", "6 kova_destory: Kova destroy end."}));
    }
    static int reentered = 0;
    replace_teardown(0, [] { return reentered = kova_destory(); });
    EXPECT_TRUE(kova_Init() == 0 && kova_destory() == 0 && reentered == EDEADLK) << "the mutex cannot be locked";
}

// Racing initialisers: the chain runs once and nobody returns before it has ended. With
// destroyers among them, chains and teardowns alternate and never interleave.
TEST(KovaInit, ConcurrentCallersAreSerialised)
{
    FakeChain chain;
    for (int round = 0; round < 40; ++round) {
        const bool destroyers = round % 2 == 1;
        std::atomic<int> early{0};
        std::latch start(8);
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t)
            threads.emplace_back([&, t] {
                start.arrive_and_wait();
                if (destroyers && t % 2 == 1) return void(kova_destory());
                int status = kova_Init();
                std::lock_guard guard(ran_lock);
                early += status != 0 || (!destroyers && ran.size() != kStepCount);
            });
        for (auto &thread : threads) thread.join();
        std::string order = take(), cycles;
        while (cycles.size() < order.size()) cycles += kTeardowns + kChain;
        EXPECT_TRUE(early == 0 && order == (destroyers ? cycles.substr(0, order.size()) : kChain)) << order;
        if (destroyers) kova_destory(), take();
    }
}

// The real steps under a temporary root: up, down and up again.
TEST(KovaInit, RealChainUpDownAndUpAgain)
{
    kova::test::TempRoot root;
    kova::test::CommandIntercept commands;
    root.write("/sys/devices/system/node/online", "0\n");
    root.write("/sys/devices/system/node/node0/cpulist", "0-1\n");
    for (auto [command, output] : {std::pair{"uname -p", "aarch64\n"}, {"lscpu", "1\n"}, {"cat ", "2\n"}})
        commands.answer(command, 0, output);
    kova::test::LogCapture log;
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(kova_Init(), 0) << round;
        EXPECT_STREQ(kova_pid_get_name(KOVA_MODULE_ID), "KOVA");
        EXPECT_TRUE(kova_destory() == 0 && std::string(kova_pid_get_name(KOVA_MODULE_ID)) == "NONE");
    }
    EXPECT_EQ(log.count("Kova init end ret 0."), 2u);
    for (const std::string &line : init_log(log)) EXPECT_EQ(line[0], '6') << "no step failed: " << line;
    kova::sysinfo::forget_cpuinfo_for_test();
}

}  // namespace

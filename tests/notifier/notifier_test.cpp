#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "kova/kova_notifier.h"
#include "kova/kova_thrd.h"
#include "notifier/notifier_internal.h"
#include "support/log_capture.h"

namespace kova::test {
namespace {

struct Probe {
    kova_notifier_node_s node;
    int id;
    std::uint32_t result;
    std::vector<int> *calls;
    kova_exception_data_s seen;  // a copy of the data block of an exception call
};

std::uint32_t record_call(kova_notifier_node_s *node, unsigned long action, void *data)
{
    auto *probe = reinterpret_cast<Probe *>(node);
    probe->calls->push_back(probe->id);
    probe->seen = action == 4 ? *static_cast<kova_exception_data_s *>(data) : kova_exception_data_s{data, {}, 0, 0, 0};
    return probe->result;
}

struct Chain {
    kova_notifier_chain_s chain = KOVA_NOTIFIER_CHAIN_INITIALIZER("test_chain");
    std::vector<int> calls;
    std::vector<Probe> probes;

    // Node i has id i and the i-th priority and result (1 by default); registered in that order.
    explicit Chain(std::vector<std::uint16_t> priorities, std::vector<std::uint32_t> results = {})
    {
        for (std::size_t i = 0; i < priorities.size(); ++i)
            probes.push_back({{record_call, nullptr, priorities[i]}, static_cast<int>(i),
                              i < results.size() ? results[i] : 1, &calls, {}});
        for (Probe &probe : probes) kova_atomic_notifier_chain_register(&chain, &probe.node);
    }
    std::vector<int> call(std::uint32_t nr_to_call = ~0u, std::uint32_t *nr_calls = nullptr, std::uint32_t *result = nullptr)
    {
        calls.clear();
        std::uint32_t r = kova_atomic_notifier_call_chain__(&chain, 9, this, nr_to_call, nr_calls);
        if (result != nullptr) *result = r;
        return calls;
    }
};

TEST(NotifierChain, HandlersRunByDescendingPriorityAndStopWhereTheCallSays)
{
    struct Case {
        std::vector<std::uint16_t> priorities;
        std::vector<std::uint32_t> results;
        std::uint32_t nr_to_call;
        std::vector<int> called;
        std::uint32_t result;
    };
    const Case cases[] = {
        {{5, 10, 5, 1}, {}, ~0u, {1, 0, 2, 3}, 1},                  // equal priorities in registration order
        {{0, 65535, 0}, {}, ~0u, {1, 0, 2}, 1},                     // unsigned extremes
        {{4, 3, 2, 1}, {1, 0x8000, 7, 7}, ~0u, {0, 1}, 0x8000},     // the stop bit ends the call
        {{4, 3, 2, 1}, {1, 0x8003, 7, 7}, ~0u, {0, 1}, 0x8003},     // with the handler's other bits
        {{4, 3, 2, 1}, {0x11, 0x22, 0x33, 0x44}, 2, {0, 1}, 0x22},  // at most nrToCall handlers
        {{4, 3}, {0x11, 0x22}, 5, {0, 1}, 0x22},                    // more asked than present
        {{4, 3}, {}, 0, {}, 0},                                     // none asked
        {{}, {}, ~0u, {}, 0},                                       // empty chain
    };
    for (const Case &c : cases) {
        Chain chain(c.priorities, c.results);
        std::uint32_t counter = 5, result = 99;
        EXPECT_EQ(chain.call(c.nr_to_call, &counter, &result), c.called);
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(counter, 5 + c.called.size());
        for (int id : c.called) EXPECT_EQ(chain.probes[static_cast<std::size_t>(id)].seen.regs, &chain);
    }
}

TEST(NotifierChain, UnregisterBridgesTheNodeOrAnswersNotFoundAndMisuseIsHarmless)
{
    for (auto [removed, left] : {std::pair{0, std::vector{1, 2}}, {1, {0, 2}}, {2, {0, 1}}}) {
        Chain chain({3, 2, 1});
        kova_notifier_node_s *node = &chain.probes[static_cast<std::size_t>(removed)].node;
        EXPECT_EQ(kova_atomic_notifier_chain_unregister(&chain.chain, node), 0);
        EXPECT_EQ(chain.call(), left);
        EXPECT_EQ(kova_atomic_notifier_chain_unregister(&chain.chain, node), -2);
        EXPECT_EQ(chain.call(), left);
    }
    Chain chain({2, 1});
    kova_notifier_node_s *node = &chain.probes[0].node;
    EXPECT_TRUE(kova_atomic_notifier_chain_register(nullptr, node) == 0 &&
                kova_atomic_notifier_chain_register(&chain.chain, nullptr) == 0 &&
                kova_atomic_notifier_chain_unregister(nullptr, node) == 0 &&
                kova_atomic_notifier_chain_unregister(&chain.chain, nullptr) == 0 &&
                kova_atomic_notifier_call_chain__(nullptr, 0, nullptr, ~0u, nullptr) == 0);
    // A second registration of the same node would make the list loop.
    LogCapture log;
    EXPECT_EQ(kova_atomic_notifier_chain_register(&chain.chain, &chain.probes[1].node), 0);
    EXPECT_EQ(chain.call(), (std::vector<int>{0, 1}));
    EXPECT_EQ(log.messages().front().level, 3);
}

std::string text(const char *format, const void *a, const void *b = nullptr, const void *c = nullptr)
{
    char buffer[512];
    std::snprintf(buffer, sizeof buffer, format, a, b, c);
    return buffer;
}

TEST(NotifierChain, LogLinesNameTheChainTheCallerAndEachHandler)
{
    LogCapture log;
    Chain chain({});
    chain.probes.push_back({{record_call, nullptr, 7}, 0, 1, &chain.calls, {}});
    kova_notifier_node_s *node = &chain.probes[0].node;
    auto *func = reinterpret_cast<void *>(record_call);
    kova_atomic_notifier_chain_register__(&chain.chain, node, "there.c", 12);
    EXPECT_TRUE(log.contains(text("Notifier chain test_chain register (there.c:12, %p, %p, 7), ret=0", node, func)));
    chain.call();
    EXPECT_TRUE(log.contains(text("Chain name test_chain call chain start: action=9, data=%p, nrToCall=-1, nrCalls=%p.",
                                  &chain, nullptr)));
    EXPECT_EQ(log.with_text(text("Exception chain node %p called start: function:%p, action=9, data=%p, pri=7, next=(nil).",
                                 node, func, &chain)).at(0).function, "KovaNotifierCallChain");
    EXPECT_TRUE(log.contains(text("Exception chain node %p called end: action=9, data=%p, ret=0x01.", node, &chain)));
    kova_atomic_notifier_chain_unregister__(&chain.chain, node, "here.c", 3);
    EXPECT_TRUE(log.contains(text("Notifier chain test_chain unregister (here.c:3, 0x%p), ret=0", func)));
}

TEST(ExceptionChain, HandlersGetTheDataBlockUnlessTheChainIsHeld)
{
    std::vector<int> calls;
    Probe probe{{record_call, nullptr, 3}, 0, 0x42, &calls, {}};
    ASSERT_EQ(kova_exception_chain_register(&probe.node), 0);
    int siginfo = 0, regs = 0;
    LogCapture log;
    EXPECT_EQ(kova_exception_call_chain(4, &siginfo, &regs, 1ull << 40, 7, 11), 0x42);
    const kova_exception_data_s &seen = probe.seen;
    EXPECT_TRUE(seen.regs == &regs && seen.siginfo == &siginfo && seen.value == 1ull << 40 && seen.value2 == 7 &&
                seen.signo == 11);
    // Raw lines: the path runs inside signal handlers.
    auto start = log.with_text(text("Exception notifier kova_exception_chain call start: action=4, siginfo=%p regs=%p.",
                                    &siginfo, &regs));
    EXPECT_TRUE(start.size() == 1 && start[0].raw);
    EXPECT_TRUE(log.contains("Exception notifier kova_exception_chain call end: ret 66."));

    // Held (here by this thread, as by a thread the signal interrupted): nothing is called and the
    // holder is named.
    calls.clear();
    kova_spinlock_lock(&kova_exception_chain.lock);
    std::atomic_ref(kova_exception_chain.lock.owner).store(static_cast<std::uint64_t>(kova_thread_get_knl_tid()));
    EXPECT_EQ(kova_exception_call_chain(4, nullptr, nullptr, 0, 0, 11), -1);
    std::atomic_ref(kova_exception_chain.lock.owner).store(~0ull);
    kova_spinlock_unlock(&kova_exception_chain.lock);
    EXPECT_TRUE(calls.empty());
    EXPECT_TRUE(log.contains("Exception notifier kova_exception_chain call end: trylock fail, owner=" +
                             std::to_string(kova_thread_get_knl_tid()) + "."));
    EXPECT_EQ(kova_exception_chain_unregister(&probe.node), 0);
    EXPECT_EQ(kova_exception_call_chain(4, nullptr, nullptr, 0, 0, 11), 0);
}

struct OrderCheck {
    int last_priority = 65536;
    int out_of_order = 0;
};

std::uint32_t check_order(kova_notifier_node_s *node, unsigned long, void *data)
{
    auto *check = static_cast<OrderCheck *>(data);
    check->out_of_order += check->last_priority < node->priority;
    check->last_priority = node->priority;
    return 0;
}

// Registrations and removals racing calls: every call sees a well-formed list in priority
// order (a torn link would loop, skip the fixed node or run one out of order).
TEST(NotifierChainStress, RegistrationsRacingCallsKeepTheListWhole)
{
    LogCapture quiet(3);
    kova_notifier_chain_s chain = KOVA_NOTIFIER_CHAIN_INITIALIZER("race");
    kova_notifier_node_s fixed{check_order, nullptr, 0};
    kova_atomic_notifier_chain_register(&chain, &fixed);
    std::atomic<bool> stop{false};
    std::vector<std::thread> churners;
    for (int t = 0; t < 3; ++t) {
        churners.emplace_back([&chain, &stop, t] {
            kova_notifier_node_s nodes[4];
            for (int i = 0; i < 4; ++i) nodes[i] = {check_order, nullptr, static_cast<std::uint16_t>(t * 7 + i + 1)};
            while (!stop.load()) {
                for (auto &node : nodes) kova_atomic_notifier_chain_register(&chain, &node);
                for (auto &node : nodes) EXPECT_EQ(kova_atomic_notifier_chain_unregister(&chain, &node), 0);
            }
        });
    }
    for (int round = 0; round < 3000; ++round) {
        OrderCheck check;
        std::uint32_t called = 0;
        kova_atomic_notifier_call_chain__(&chain, 0, &check, ~0u, &called);
        EXPECT_TRUE(check.out_of_order == 0 && check.last_priority == 0 && called >= 1 && called <= 13);
    }
    stop.store(true);
    for (auto &thread : churners) thread.join();
    EXPECT_EQ(kova_atomic_notifier_chain_unregister(&chain, &fixed), 0);
    EXPECT_EQ(chain.head, nullptr);
}

}  // namespace
}  // namespace kova::test

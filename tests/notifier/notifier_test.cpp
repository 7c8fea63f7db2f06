#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <memory>
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
    void *data_seen;
};

std::uint32_t record_call(kova_notifier_node_s *node, unsigned long, void *data)
{
    auto *probe = reinterpret_cast<Probe *>(node);
    probe->calls->push_back(probe->id);
    probe->data_seen = data;
    return probe->result;
}

struct Chain {
    kova_notifier_chain_s chain = KOVA_NOTIFIER_CHAIN_INITIALIZER("test_chain");
    std::vector<int> calls;
    std::vector<Probe> probes;

    // Node i gets id i and its priority and result from the lists; registered in list order.
    Chain(std::vector<std::uint16_t> priorities, std::vector<std::uint32_t> results = {})
    {
        probes.reserve(priorities.size());
        for (std::size_t i = 0; i < priorities.size(); ++i) {
            std::uint32_t result = i < results.size() ? results[i] : 1;
            probes.push_back({{record_call, nullptr, priorities[i]}, static_cast<int>(i), result, &calls, nullptr});
        }
        for (Probe &probe : probes) kova_atomic_notifier_chain_register(&chain, &probe.node);
    }
    std::vector<int> call(std::uint32_t nr_to_call = ~0u, std::uint32_t *nr_calls = nullptr,
                          std::uint32_t *result = nullptr)
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
        {{5, 10, 5, 1}, {}, ~0u, {1, 0, 2, 3}, 1},                     // equal priorities in registration order
        {{0, 65535, 0}, {}, ~0u, {1, 0, 2}, 1},                        // unsigned extremes
        {{4, 3, 2, 1}, {1, 0x8000, 7, 7}, ~0u, {0, 1}, 0x8000},        // the stop bit ends the call
        {{4, 3, 2, 1}, {1, 0x8003, 7, 7}, ~0u, {0, 1}, 0x8003},        // with the handler's other bits
        {{4, 3, 2, 1}, {0x11, 0x22, 0x33, 0x44}, 2, {0, 1}, 0x22},     // at most nrToCall handlers
        {{4, 3}, {0x11, 0x22}, 5, {0, 1}, 0x22},                       // more asked than present
        {{4, 3}, {}, 0, {}, 0},                                        // none asked
        {{}, {}, ~0u, {}, 0},                                          // empty chain
    };
    for (const Case &c : cases) {
        Chain chain(c.priorities, c.results);
        std::uint32_t counter = 5, result = 99;
        EXPECT_EQ(chain.call(c.nr_to_call, &counter, &result), c.called);
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(counter, 5 + c.called.size());
        for (int id : c.called) EXPECT_EQ(chain.probes[static_cast<std::size_t>(id)].data_seen, &chain);
    }
}

TEST(NotifierChain, UnregisterBridgesTheNodeOrAnswersNotFound)
{
    struct Case {
        int removed;
        std::vector<int> left;
    };
    for (const Case &c : {Case{0, {1, 2}}, Case{1, {0, 2}}, Case{2, {0, 1}}}) {
        Chain chain({3, 2, 1});
        Probe &removed = chain.probes[static_cast<std::size_t>(c.removed)];
        EXPECT_EQ(kova_atomic_notifier_chain_unregister(&chain.chain, &removed.node), 0);
        EXPECT_EQ(chain.call(), c.left);
        EXPECT_EQ(kova_atomic_notifier_chain_unregister(&chain.chain, &removed.node), -2);
        EXPECT_EQ(chain.call(), c.left);
    }
    Chain empty({});
    Probe stranger{{record_call, nullptr, 1}, 7, 0, &empty.calls, nullptr};
    EXPECT_EQ(kova_atomic_notifier_chain_unregister(&empty.chain, &stranger.node), -2);
}

TEST(NotifierChain, MisuseIsRefusedWithoutHarm)
{
    Chain chain({2, 1});
    EXPECT_EQ(kova_atomic_notifier_chain_register(nullptr, &chain.probes[0].node), 0);
    EXPECT_EQ(kova_atomic_notifier_chain_register(&chain.chain, nullptr), 0);
    EXPECT_EQ(kova_atomic_notifier_chain_unregister(nullptr, &chain.probes[0].node), 0);
    EXPECT_EQ(kova_atomic_notifier_chain_unregister(&chain.chain, nullptr), 0);
    EXPECT_EQ(kova_atomic_notifier_call_chain__(nullptr, 0, nullptr, ~0u, nullptr), 0u);
    // A second registration of the same node would make the list loop.
    LogCapture log;
    EXPECT_EQ(kova_atomic_notifier_chain_register(&chain.chain, &chain.probes[1].node), 0);
    EXPECT_EQ(chain.call(), (std::vector<int>{0, 1}));
    EXPECT_EQ(log.messages().front().level, 3);
}

TEST(NotifierChain, LogLinesNameTheChainTheCallerAndEachHandler)
{
    LogCapture log;
    Chain chain({});
    chain.probes.push_back({{record_call, nullptr, 7}, 0, 1, &chain.calls, nullptr});
    kova_notifier_node_s *node = &chain.probes[0].node;
    kova_atomic_notifier_chain_register__(&chain.chain, node, "there.c", 12);
    void *func = reinterpret_cast<void *>(record_call);
    char expected[512];
    std::snprintf(expected, sizeof expected, "Notifier chain test_chain register (there.c:12, %p, %p, 7), ret=0",
                  static_cast<void *>(node), func);
    EXPECT_TRUE(log.contains(expected)) << expected;
    chain.call(~0u, nullptr);
    std::snprintf(expected, sizeof expected, "Exception chain node %p called start: function:%p, action=9, data=%p, "
                  "pri=7, next=(nil).", static_cast<void *>(node), func, static_cast<void *>(&chain));
    EXPECT_EQ(log.with_text(expected).at(0).function, "KovaNotifierCallChain");
    std::snprintf(expected, sizeof expected, "Exception chain node %p called end: action=9, data=%p, ret=0x01.",
                  static_cast<void *>(node), static_cast<void *>(&chain));
    EXPECT_TRUE(log.contains(expected));
    std::snprintf(expected, sizeof expected, "Chain name test_chain call chain start: action=9, data=%p, "
                  "nrToCall=-1, nrCalls=(nil).", static_cast<void *>(&chain));
    EXPECT_TRUE(log.contains(expected));
    kova_atomic_notifier_chain_unregister__(&chain.chain, node, "here.c", 3);
    std::snprintf(expected, sizeof expected, "Notifier chain test_chain unregister (here.c:3, 0x%p), ret=0", func);
    EXPECT_TRUE(log.contains(expected)) << expected;
}

std::uint32_t keep_exception_data(kova_notifier_node_s *node, unsigned long action, void *data)
{
    auto *probe = reinterpret_cast<Probe *>(node);
    probe->data_seen = new kova_exception_data_s(*static_cast<kova_exception_data_s *>(data));
    probe->calls->push_back(static_cast<int>(action));
    return probe->result;
}

TEST(ExceptionChain, HandlersGetTheDataBlockUnlessTheChainIsHeld)
{
    std::vector<int> calls;
    Probe probe{{keep_exception_data, nullptr, 3}, 0, 0x42, &calls, nullptr};
    ASSERT_EQ(kova_exception_chain_register(&probe.node), 0);
    int siginfo = 0, regs = 0;
    LogCapture log;
    EXPECT_EQ(kova_exception_call_chain(4, &siginfo, &regs, 1ull << 40, 7, 11), 0x42);
    std::unique_ptr<kova_exception_data_s> seen(static_cast<kova_exception_data_s *>(probe.data_seen));
    ASSERT_NE(seen, nullptr);
    EXPECT_EQ(seen->regs, &regs);
    EXPECT_EQ(seen->siginfo, &siginfo);
    EXPECT_EQ(seen->value, 1ull << 40);
    EXPECT_EQ(seen->value2, 7u);
    EXPECT_EQ(seen->signo, 11u);
    char expected[256];
    std::snprintf(expected, sizeof expected, "Exception notifier kova_exception_chain call start: action=4, "
                  "siginfo=%p regs=%p.", static_cast<void *>(&siginfo), static_cast<void *>(&regs));
    // Written by the raw writer: the path runs inside signal handlers.
    ASSERT_EQ(log.with_text(std::string(expected)).size(), 1u);
    EXPECT_TRUE(log.with_text(std::string(expected))[0].raw);
    EXPECT_TRUE(log.contains("Exception notifier kova_exception_chain call end: ret 66."));

    // Held by another thread: nothing is called and the holder is named.
    std::atomic<std::int64_t> holder{0};
    std::atomic<bool> release{false};
    std::thread owner([&] {
        do_kova_spinlock_lock(&kova_exception_chain.lock.lock, "test", __LINE__);
        std::atomic_ref(kova_exception_chain.lock.owner).store(static_cast<std::uint64_t>(kova_thread_get_knl_tid()));
        holder.store(kova_thread_get_knl_tid());
        while (!release.load()) std::this_thread::yield();
        std::atomic_ref(kova_exception_chain.lock.owner).store(~0ull);
        do_kova_spinlock_unlock(&kova_exception_chain.lock.lock, "test", __LINE__);
    });
    while (holder.load() == 0) std::this_thread::yield();
    calls.clear();
    log.clear();
    EXPECT_EQ(kova_exception_call_chain(4, nullptr, nullptr, 0, 0, 11), -1);
    EXPECT_TRUE(calls.empty());
    std::snprintf(expected, sizeof expected, "Exception notifier kova_exception_chain call end: trylock fail, "
                  "owner=%ld.", static_cast<long>(holder.load()));
    EXPECT_TRUE(log.contains(expected)) << expected;
    release.store(true);
    owner.join();
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
    if (check->last_priority < node->priority) ++check->out_of_order;
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
    for (std::uint16_t t = 0; t < 3; ++t) {
        churners.emplace_back([&chain, &stop, t] {
            kova_notifier_node_s nodes[4];
            for (std::uint16_t i = 0; i < 4; ++i) nodes[i] = {check_order, nullptr, static_cast<std::uint16_t>(t * 7 + i + 1)};
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
        EXPECT_EQ(check.out_of_order, 0);
        EXPECT_EQ(check.last_priority, 0);  // the fixed node, lowest, ran last
        EXPECT_GE(called, 1u);
        EXPECT_LE(called, 13u);
    }
    stop.store(true);
    for (auto &thread : churners) thread.join();
    std::uint32_t called = 0;
    OrderCheck check;
    kova_atomic_notifier_call_chain__(&chain, 0, &check, ~0u, &called);
    EXPECT_EQ(called, 1u);
}

}  // namespace
}  // namespace kova::test

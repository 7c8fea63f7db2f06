#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <regex>
#include <thread>

#include <gtest/gtest.h>

#include "kova/kova_lock.h"
#include "kova/kova_thrd.h"
#include "support/log_capture.h"

namespace {

kova_spinlock_s spin = KOVA_SPINLOCK_INITIALIZER;
int64_t word, mayblock_word;
kova_tspinlock_s ticket;
kova_trwlock_s trw;

using Op = void (*)();
struct Kind {
    const char *name;
    Op lock, unlock, read_lock, read_unlock;  // null read ops: the exclusive ones
};

// Writers bump a pair of plain counters; a torn pair seen by a reader or a short total means two
// holders overlapped. Two threads: more than the cores would leave the pure-spin ticket locks
// waiting out whole time slices for a preempted next holder.
TEST(Locks, EachKindKeepsASharedCounterExact)
{
    kova_tspinlock_init(&ticket);
    do_kova_trwlock_init(&trw);
    const Kind kinds[] = {
        {"spinlock", [] { kova_spinlock_lock(&spin); }, [] { kova_spinlock_unlock(&spin); }, nullptr, nullptr},
        {"rwlock", [] { kova_rwlock_write_lock(&word); }, [] { kova_rwlock_write_unlock(&word); },
         [] { kova_rwlock_read_lock(&word); }, [] { kova_rwlock_read_unlock(&word); }},
        {"rwlock mayblock", [] { kova_rwlock_write_lock_mayblock(&mayblock_word); },
         [] { kova_rwlock_write_unlock(&mayblock_word); }, [] { kova_rwlock_read_lock_mayblock(&mayblock_word); },
         [] { kova_rwlock_read_unlock(&mayblock_word); }},
        {"ticket", [] { kova_tspinlock_lock(&ticket); }, [] { kova_tspinlock_unlock(&ticket); }, nullptr, nullptr},
        {"ticket rwlock", [] { do_kova_trwlock_write_lock(&trw); }, [] { do_kova_trwlock_write_unlock(&trw); },
         [] { do_kova_trwlock_read_lock(&trw); }, [] { do_kova_trwlock_read_unlock(&trw); }},
    };
    const int rounds = std::getenv("UNDER_QEMU") != nullptr ? 300 : 5000;
    for (const Kind &kind : kinds) {
        long first = 0, second = 0;
        std::atomic<int> torn{0};
        auto body = [&] {
            for (int i = 0; i < rounds; ++i) {
                kind.lock();
                ++first;
                ++second;
                kind.unlock();
                (kind.read_lock ? kind.read_lock : kind.lock)();
                if (first != second) ++torn;
                (kind.read_unlock ? kind.read_unlock : kind.unlock)();
            }
        };
        std::thread other(body);
        body();
        other.join();
        EXPECT_TRUE(first == 2L * rounds && torn == 0) << kind.name << " " << first << " " << torn;
    }
    EXPECT_TRUE(word == 0 && mayblock_word == 0);
    int64_t rw = 0;  // a may-block writer shuts out trying readers
    kova_rwlock_write_lock_mayblock(&rw);
    EXPECT_TRUE(rw == INT64_MIN && kova_rwlock_try_read_lock(&rw) == 0 && rw == INT64_MIN);
    kova_rwlock_write_unlock(&rw);
    EXPECT_TRUE(kova_rwlock_try_read_lock(&rw) + kova_rwlock_try_read_lock(&rw) == 2 && rw == 2);
}

// tickets | writer_tickets, read as the lock changes it: one 64-bit word.
uint64_t arrived(kova_trwlock_s &lock)
{
    using Aliasing = uint64_t __attribute__((may_alias));
    return __atomic_load_n(reinterpret_cast<Aliasing *>(&lock.tickets), __ATOMIC_SEQ_CST);
}

TEST(TicketRwlock, AWaitingWriterGoesBeforeALaterReaderAndCountersWrapAlone)
{
    kova_trwlock_s lock;
    do_kova_trwlock_init(&lock);
    do_kova_trwlock_read_lock(&lock);
    EXPECT_EQ(do_kova_trwlock_write_trylock(&lock) * 10 + do_kova_trwlock_read_trylock(&lock), 1);
    do_kova_trwlock_read_unlock(&lock);

    std::mutex order_lock;
    std::string order;
    auto note = [&](char c) { std::lock_guard g(order_lock); order += c; };
    std::thread writer([&] { do_kova_trwlock_write_lock(&lock); note('W'); do_kova_trwlock_write_unlock(&lock); });
    while (arrived(lock) != (uint64_t{1} << 32 | 3)) std::this_thread::yield();
    std::thread reader([&] { do_kova_trwlock_read_lock(&lock); note('R'); do_kova_trwlock_read_unlock(&lock); });
    while (arrived(lock) != (uint64_t{1} << 32 | 4)) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));  // room for a wrong reader to get in
    EXPECT_EQ(order, "") << "the later reader joined a read-held lock past a waiting writer";
    do_kova_trwlock_read_unlock(&lock);
    writer.join();
    reader.join();
    EXPECT_EQ(order, "WR");

    lock = {0xFFFFFFFFu, 5, 0xFFFFFFFFu, 5, 0};  // at the wrap, each counter must wrap alone
    for (int i = 0; i < 3; ++i) {
        do_kova_trwlock_read_lock(&lock);
        do_kova_trwlock_read_unlock(&lock);
        do_kova_trwlock_write_lock(&lock);
        EXPECT_EQ(do_kova_trwlock_read_trylock(&lock) + do_kova_trwlock_write_trylock(&lock), 0);
        do_kova_trwlock_write_unlock(&lock);
    }
    EXPECT_TRUE(lock.released == 5 && lock.tickets == 5 && lock.writers_done == 8 && lock.writer_tickets == 8)
        << lock.released << " " << lock.tickets << " " << lock.writers_done << " " << lock.writer_tickets;
    EXPECT_EQ(do_kova_trwlock_write_trylock(&lock), 1);
}

// Each misuse is reported with the lock as it was; the lock goes on working.
TEST(TicketSpinlock, MisuseIsReportedAndTolerated)
{
    kova::test::LogCapture log;
    kova_tspinlock_s lock{};
    do_kova_tspinlock_lock(&lock, "here", 1);
    do_kova_tspinlock_unlock(&lock, "here", 2);
    do_kova_tspinlock_init(&lock, "here", 3);
    do_kova_tspinlock_init(&lock, "here", 4);
    do_kova_tspinlock_lock(&lock, "here", 5);
    EXPECT_EQ(do_kova_tspinlock_trylock(&lock, "here", 6), 0);
    std::thread([&] {
        EXPECT_EQ(do_kova_tspinlock_trylock(&lock, "there", 7), 0);  // merely fails: no report
        do_kova_tspinlock_unlock(&lock, "there", 8);
    }).join();
    // Released by the other thread, so this is a double unlock: serving must not pass next, or
    // the lock could never be taken again.
    do_kova_tspinlock_unlock(&lock, "here", 9);
    EXPECT_EQ(do_kova_tspinlock_trylock(&lock, "here", 10), 1);
    do_kova_tspinlock_unlock(&lock, "here", 11);
    do_kova_tspinlock_destroy(&lock, "here", 12);
    do_kova_tspinlock_destroy(&lock, "here", 13);
    const std::string tid = std::to_string(gettid()), none = "owner:18446744073709551615 other:4294967295";
    const std::string fresh = " magic:0xdead5ead " + none, held = " lock:0x100000000 magic:0xdead5ead owner:" + tid;
    const std::vector<std::string> expected = {
        "do_kova_tspinlock_lock: UnInited lock in here:1 lock:0x0 magic:0x0 owner:0 other:0",
        "do_kova_tspinlock_unlock: UnInited lock in here:2 lock:0x100000000 magic:0x0 owner:" + tid + " other:0",
        "do_kova_tspinlock_init: ReInited lock in here:4 lock:0x0" + fresh,
        "do_kova_tspinlock_trylock: AA lock in here:6" + held + " other:4294967295",
        "do_kova_tspinlock_unlock: AB lock in there:8" + held + " other:4294967295",
        "do_kova_tspinlock_unlock: AB lock in here:9 lock:0x100000001" + fresh,
        "do_kova_tspinlock_unlock: ReUnlock in ticket_unlock:9 lock:0x100000001" + fresh,
        "do_kova_tspinlock_destroy: UnInited lock in here:13 lock:0x200000002 magic:0x5eaddead " + none,
    };
    std::vector<std::string> reported;
    for (const auto &m : log.messages()) reported.push_back(m.level == 6 ? m.function + ": " + m.text : "level?");
    EXPECT_EQ(reported, expected);
}

std::atomic<uint64_t> return_into_test{0};

__attribute__((noinline)) void lock_from_here(kova_spinlock_s *lock)
{
    return_into_test = reinterpret_cast<uint64_t>(__builtin_return_address(0));
    kova_spinlock_lock(lock);
    asm volatile("" ::: "memory");  // a call, not a jump: this frame stays
}

// A waiter past its spin period dumps its stack before it yields, starting at the lock's caller,
// so the second address shown is where that caller returns to. The holder keeps the lock until
// a dump is written, however the two are scheduled. The waiter is a library thread, whose whole
// stack the dump knows.
TEST(Spinlock, AWaiterPastItsSpinPeriodDumpsItsStackFromTheLocksCaller)
{
    uint64_t flags = 99;
    kova_spinlock_set_flags(KOVA_SPINLOCK_DEBUG_DUMP | 4);
    EXPECT_TRUE(kova_spinlock_clear_flags(4) == 0 && kova_spinlock_get_flags(&flags) == 0 && flags == 1);
    kova::test::LogCapture log;
    struct Waiter {
        kova_spinlock_s lock = KOVA_SPINLOCK_INITIALIZER;
        std::atomic<int64_t> tid{0};
        std::atomic<bool> done{false};
    } w;
    kova_spinlock_lock(&w.lock);
    EXPECT_TRUE(kova_spinlock_trylock(&w.lock) == 0 && std::atomic_ref(w.lock.lock).load() == 1);
    ASSERT_EQ(kova_thrd_create([](void *arg) -> void * {
        auto *w = static_cast<Waiter *>(arg);
        w->tid = gettid();
        lock_from_here(&w->lock);
        kova_spinlock_unlock(&w->lock);
        w->done = true;
        return nullptr;
    }, &w, nullptr), 0);
    while (log.messages().empty()) std::this_thread::yield();
    kova_spinlock_unlock(&w.lock);
    while (!w.done) std::this_thread::yield();
    kova_spinlock_clear_flags(KOVA_SPINLOCK_DEBUG_DUMP);

    char caller[32];
    std::snprintf(caller, sizeof caller, "%p", reinterpret_cast<void *>(return_into_test.load()));
    const std::regex dump("current tid:" + std::to_string(w.tid) + R"(, stack:0x[0-9a-f]+\(\) << )" + caller +
                          R"(\(\) << \S+\(\)\.)");
    for (const auto &line : log.messages()) EXPECT_TRUE(line.raw && std::regex_match(line.text, dump)) << line.text;
}

}  // namespace

#include <cstddef>
#include <cstdint>

#include "kova/kova_lock.h"
#include "lock/cpu_relax.h"

// Two 64-bit words, each a pair of 32-bit counters changed together by one compare-and-swap:
//
//   offset 0  done:    released (low)  | writers_done (high)
//   offset 8  arrived: tickets (low)   | writer_tickets (high)
//
// A reader takes a ticket and waits until every writer that arrived before it has left
// (writers_done reaches the writer_tickets it saw); a writer takes a ticket of both kinds and
// waits until everything that arrived before it has left (released reaches the tickets it saw).
// Halves are added to separately so that a counter wrapping never carries into its neighbour.
static_assert(offsetof(kova_trwlock_s, released) == 0 && offsetof(kova_trwlock_s, writers_done) == 4);
static_assert(offsetof(kova_trwlock_s, tickets) == 8 && offsetof(kova_trwlock_s, writer_tickets) == 12);
static_assert(alignof(kova_trwlock_s) == 8);
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the first field of a pair is its low half");

namespace {

struct Pair {
    std::uint32_t low;
    std::uint32_t high;
};

Pair split(std::uint64_t word) { return {static_cast<std::uint32_t>(word), static_cast<std::uint32_t>(word >> 32)}; }
std::uint64_t join(std::uint32_t low, std::uint32_t high) { return std::uint64_t{high} << 32 | low; }

// The pair words overlay two uint32_t fields, so they are reached through a may_alias type with
// the atomic builtins (what std::atomic_ref would do, without breaking strict aliasing).
class PairWord {
public:
    explicit PairWord(std::uint32_t *first) : word_(reinterpret_cast<Aliasing *>(first)) {}
    std::uint64_t load() const { return __atomic_load_n(word_, __ATOMIC_SEQ_CST); }
    void store(std::uint64_t value) { __atomic_store_n(word_, value, __ATOMIC_SEQ_CST); }
    bool compare_exchange_weak(std::uint64_t &expected, std::uint64_t desired)
    {
        return __atomic_compare_exchange_n(word_, &expected, desired, true, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    }

private:
    using Aliasing = std::uint64_t __attribute__((may_alias));
    Aliasing *word_;
};

PairWord done_word(kova_trwlock_s *lock) { return PairWord(&lock->released); }
PairWord arrived_word(kova_trwlock_s *lock) { return PairWord(&lock->tickets); }

// Adds to each half of the pair; returns the pair as it was before.
Pair add(PairWord word, std::uint32_t to_low, std::uint32_t to_high)
{
    std::uint64_t old = word.load();
    for (;;) {
        Pair p = split(old);
        if (word.compare_exchange_weak(old, join(p.low + to_low, p.high + to_high))) return p;
    }
}

// Adds only while `admit` accepts the current counters; false when it refused.
template <typename Admit>
bool add_if(PairWord word, std::uint32_t to_low, std::uint32_t to_high, Admit admit)
{
    std::uint64_t old = word.load();
    for (;;) {
        Pair p = split(old);
        if (!admit(p)) return false;
        if (word.compare_exchange_weak(old, join(p.low + to_low, p.high + to_high))) return true;
    }
}

// The load that sees the turn come is sequentially consistent: the critical section cannot move
// above it, so no separate fence is needed.
template <typename Ready>
void wait_until(PairWord word, Ready ready)
{
    while (!ready(split(word.load()))) kova::lock::cpu_relax();
}

}  // namespace

extern "C" void do_kova_trwlock_init(kova_trwlock_s *lock)
{
    done_word(lock).store(0);
    arrived_word(lock).store(0);
    lock->reserved = 0;
}

extern "C" void do_kova_trwlock_read_lock(kova_trwlock_s *lock)
{
    std::uint32_t writers_before = add(arrived_word(lock), 1, 0).high;
    wait_until(done_word(lock), [writers_before](Pair done) { return done.high == writers_before; });
}

extern "C" void do_kova_trwlock_read_unlock(kova_trwlock_s *lock) { add(done_word(lock), 1, 0); }

extern "C" int do_kova_trwlock_read_trylock(kova_trwlock_s *lock)
{
    PairWord done = done_word(lock);
    return add_if(arrived_word(lock), 1, 0, [&done](Pair arrived) { return arrived.high == split(done.load()).high; })
               ? 1
               : 0;
}

extern "C" void do_kova_trwlock_write_lock(kova_trwlock_s *lock)
{
    std::uint32_t tickets_before = add(arrived_word(lock), 1, 1).low;
    wait_until(done_word(lock), [tickets_before](Pair done) { return done.low == tickets_before; });
}

extern "C" void do_kova_trwlock_write_unlock(kova_trwlock_s *lock) { add(done_word(lock), 1, 1); }

extern "C" int do_kova_trwlock_write_trylock(kova_trwlock_s *lock)
{
    PairWord done = done_word(lock);
    return add_if(arrived_word(lock), 1, 1, [&done](Pair arrived) { return arrived.low == split(done.load()).low; })
               ? 1
               : 0;
}

extern "C" void do_kova_trwlock_destroy(kova_trwlock_s *) {}

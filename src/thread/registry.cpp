#include <semaphore.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "init/kova_log.h"
#include "mem/alloc.h"
#include "thread/registry.h"

KOVA_LOG_SOURCE("thread/kova_thrd")

namespace {

kova_thread_slot_s registry_slots[KOVA_THRD_SLOTS];

using Word = std::atomic_ref<std::uint32_t>;
using RecordRef = std::atomic_ref<kova_thread_s *>;

constexpr std::uint32_t kLiveStates = KOVA_THRD_RUNNING | KOVA_THRD_POOL_IDLE | KOVA_THRD_POOL_BUSY;

kova_thread_s *allocate_record()
{
    void *sig_stack = KOVA_ALLOC(static_cast<std::int32_t>(KOVA_THRD_SIGSTACK_SIZE));
    if (sig_stack == nullptr) {
        KOVA_LOG(kova::log::kError, "Kova_malloc sig stack for kova_thread_s failed, errno=%d.", errno);
        return nullptr;
    }
    auto *record = static_cast<kova_thread_s *>(KOVA_ALLOC(static_cast<std::int32_t>(sizeof(kova_thread_s))));
    if (record == nullptr) {
        KOVA_FREE(sig_stack);
        KOVA_LOG(kova::log::kError, "Kova_malloc kova_thread_s failed, errno=%d.", errno);
        return nullptr;
    }
    std::memset(record, 0, sizeof *record);
    record->sig_stack = sig_stack;
    return record;
}

void reset_record(kova_thread_s *record, kova_thread_fn fn, void *arg)
{
    record->handle = 0;
    record->pid = static_cast<std::uint64_t>(getpid());
    record->strategy = UINT32_MAX;
    record->context_kind = KOVA_CONTEXT_NORMAL;
    record->iod_thread_id = UINT32_MAX;
    record->reserved0 = 0;
    std::atomic_ref(record->tid).store(0, std::memory_order_relaxed);
    record->os_stack_low = 0;
    record->os_stack_high = 0;
    sem_init(&record->wake_sem, 0, 0);
    // Listings read names while slots are handed out.
    for (std::size_t i = 0; i < sizeof "[NULL]"; ++i)
        std::atomic_ref(record->name[i]).store("[NULL]"[i], std::memory_order_relaxed);
    record->switch_count = 0;
    std::memset(record->switch_log, 0, sizeof record->switch_log);
    std::memset(record->reserved, 0, sizeof record->reserved);
    record->arg = arg;
    std::atomic_ref(record->start_routine).store(fn, std::memory_order_release);
}

// The first free slot, taken (use count 0 -> 1), or null when all are in use. A lost race on
// a slot that is still free looks at the same slot again.
kova_thread_slot_s *take_free_slot()
{
    for (kova_thread_slot_s &slot : registry_slots) {
        Word count(slot.use_count);
        std::uint32_t expected = 0;
        while (count.load(std::memory_order_relaxed) == 0) {
            if (count.compare_exchange_weak(expected, 1, std::memory_order_acquire, std::memory_order_relaxed))
                return &slot;
            expected = 0;
        }
    }
    return nullptr;
}

}  // namespace

namespace kova::thread {

kova_thread_slot_s *slots() { return registry_slots; }

kova_thread_s *claim_record(kova_thread_fn fn, void *arg, ClaimFrom from)
{
    kova_thread_s *record = nullptr;
    if (kova_thread_slot_s *slot = take_free_slot()) {
        Word(slot->state).store(KOVA_THRD_ALLOCATED, std::memory_order_relaxed);
        record = RecordRef(slot->record).load(std::memory_order_acquire);
        if (record == nullptr) {
            record = allocate_record();
            if (record != nullptr) {
                record->slot = slot;
                RecordRef(slot->record).store(record, std::memory_order_release);
            } else {
                Word(slot->use_count).store(0, std::memory_order_release);
            }
        }
    }
    if (record == nullptr) {
        if (from == ClaimFrom::kRegistryOnly) return nullptr;
        record = allocate_record();
        if (record == nullptr) return nullptr;
    }
    reset_record(record, fn, arg);
    return record;
}

kova_thread_s *reference_slot(kova_thread_slot_s &slot)
{
    Word count(slot.use_count);
    std::uint32_t current = count.load(std::memory_order_relaxed);
    do {
        if (current == 0) return nullptr;
    } while (!count.compare_exchange_weak(current, current + 1, std::memory_order_acquire,
                                          std::memory_order_relaxed));
    if ((Word(slot.state).load(std::memory_order_acquire) & kLiveStates) != 0) {
        if (kova_thread_s *record = RecordRef(slot.record).load(std::memory_order_acquire)) return record;
    }
    release_slot(slot);
    return nullptr;
}

std::uint32_t release_slot(kova_thread_slot_s &slot)
{
    Word count(slot.use_count);
    std::uint32_t current = count.load(std::memory_order_relaxed);
    do {
        if (current == 0) return 0;
    } while (!count.compare_exchange_weak(current, current - 1, std::memory_order_release,
                                          std::memory_order_relaxed));
    return current - 1;
}

void forget_other_threads_after_fork(kova_thread_s *own, std::int64_t tid)
{
    if (own != nullptr) {
        std::atomic_ref(own->tid).store(tid, std::memory_order_relaxed);
        own->pid = static_cast<std::uint64_t>(getpid());
    }
    // Only the owner's reference is dropped: references this thread holds are still its to give
    // back. A slot whose owner was already leaving (exited) stays as the parent left it.
    for (kova_thread_slot_s &slot : registry_slots) {
        if (Word(slot.use_count).load(std::memory_order_relaxed) == 0) continue;
        if (RecordRef(slot.record).load(std::memory_order_relaxed) == own && own != nullptr) continue;
        if ((Word(slot.state).load(std::memory_order_relaxed) & (kLiveStates | KOVA_THRD_ALLOCATED)) == 0) continue;
        Word(slot.state).store(KOVA_THRD_EXITED, std::memory_order_relaxed);
        release_slot(slot);
    }
}

void set_state(kova_thread_s *record, std::uint32_t state)
{
    if (record->slot != nullptr) Word(record->slot->state).store(state, std::memory_order_release);
}

std::uint32_t get_state(const kova_thread_s *record)
{
    if (record->slot == nullptr) return 0;
    return Word(record->slot->state).load(std::memory_order_acquire);
}

void read_name(const kova_thread_s *record, char *out)
{
    auto *name = const_cast<char *>(record->name);
    for (std::size_t i = 0; i < KOVA_THRD_NAME_LEN; ++i)
        out[i] = std::atomic_ref(name[i]).load(std::memory_order_relaxed);
    out[KOVA_THRD_NAME_LEN - 1] = '\0';
}

std::uint32_t slot_use_count(std::uint32_t index)
{
    return Word(registry_slots[index].use_count).load(std::memory_order_acquire);
}

std::uint32_t slot_state(std::uint32_t index)
{
    return Word(registry_slots[index].state).load(std::memory_order_acquire);
}

kova_thread_s *slot_record(std::uint32_t index)
{
    return RecordRef(registry_slots[index].record).load(std::memory_order_acquire);
}

}  // namespace kova::thread

extern "C" kova_thread_s *kova_thrd_getthreadinfobytid(int64_t tid)
{
    for (kova_thread_slot_s &slot : registry_slots) {
        // Records are never freed, so a glance at the tid without a reference is safe; it
        // spares a read-modify-write on every other live slot. Only the check made while
        // holding the reference counts.
        kova_thread_s *peek = RecordRef(slot.record).load(std::memory_order_acquire);
        if (peek == nullptr || std::atomic_ref(peek->tid).load(std::memory_order_relaxed) != tid) continue;
        kova_thread_s *record = kova::thread::reference_slot(slot);
        if (record == nullptr) continue;
        if (std::atomic_ref(record->tid).load(std::memory_order_relaxed) == tid) return record;
        kova::thread::release_slot(slot);
    }
    return nullptr;
}

extern "C" int kova_thrd_putthreadinfo(kova_thread_s *record)
{
    if (record == nullptr) return -1;
    if (record->slot != nullptr) return static_cast<int>(kova::thread::release_slot(*record->slot));
    sem_destroy(&record->wake_sem);
    KOVA_FREE(record->sig_stack);
    KOVA_FREE(record);
    return 0;
}

extern "C" uint32_t kova_thrd_getstatus(uint32_t status) { return status; }

extern "C" int kova_thrd_list(kova_print_fn print)
{
    if (print == nullptr) return 0;
    print("list threads flag(0:preempt 1:nonpreempt) created by kova:\n");
    print("%-5s %-18s %-11s %-8s\n", "tid", "name", "preemptflag", "strategy");
    for (kova_thread_slot_s &slot : registry_slots) {
        kova_thread_s *record = kova::thread::reference_slot(slot);
        if (record == nullptr) continue;
        char name[KOVA_THRD_NAME_LEN];
        kova::thread::read_name(record, name);
        auto strategy = std::atomic_ref(record->strategy).load(std::memory_order_relaxed);
        auto tid = std::atomic_ref(record->tid).load(std::memory_order_relaxed);
        print("%5lu %-18s %-11d %-8d\n", static_cast<unsigned long>(tid), name, 0,
              static_cast<int>(strategy));
        kova::thread::release_slot(slot);
    }
    return 0;
}

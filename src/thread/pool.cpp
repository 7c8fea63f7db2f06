#include <pthread.h>
#include <sched.h>
#include <semaphore.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "init/kova_log.h"
#include "kova/kova_cpumask.h"
#include "kova/kova_sched.h"
#include "thread/registry.h"

KOVA_LOG_SOURCE("thread/kova_thrd")

namespace {

// Set once from 0 by the creator, then corrected by the creator and the seeder as pool
// threads fail or start; never reset, so a process makes at most one pool.
std::atomic<std::uint32_t> pool_size{0};
std::atomic<bool> pool_stopping{false};
pthread_attr_t pool_attr_storage;
pthread_attr_t *pool_attr = nullptr;
std::uint32_t seeder_quota = 0;

std::once_flag all_cpus_once;
cpu_set_t all_cpus;

using Word = std::atomic_ref<std::uint32_t>;
using Routine = std::atomic_ref<kova_thread_fn>;

// A pool thread leaves only by changing its own state from idle to exited, the same
// compare-and-swap by which a creator claims it (idle to busy): whichever comes first wins, so
// work handed to a pool thread is always run, even while the pool is being destroyed.
void *pool_loop(void *argument)
{
    auto *record = static_cast<kova_thread_s *>(argument);
    Word state(record->slot->state);
    kova::thread::enter_thread(record);
    kova_setCurThreadStrategy(0);
    kova::thread::set_state(record, KOVA_THRD_RUNNING);
    kova_thrd_setname("OSThrdPoolNull");
    // Sequentially consistent with the stop flag: the destroyer either sees this thread idle
    // and wakes it, or this thread sees the flag.
    state.store(KOVA_THRD_POOL_IDLE, std::memory_order_seq_cst);
    for (;;) {
        kova_thread_fn routine = Routine(record->start_routine).load(std::memory_order_seq_cst);
        if (routine != nullptr) {
            kova_thrd_setname("OSThrdPoolRun");
            routine(record->arg);
            Routine(record->start_routine).store(nullptr, std::memory_order_relaxed);
            kova_thrd_setname("OSThrdPoolNull");
            // Whatever binding or priority the work chose must not follow the next work.
            kova_thrd_bindAllCfgCpu();
            kova_setCurThreadStrategy(0);
            state.store(KOVA_THRD_POOL_IDLE, std::memory_order_seq_cst);
            continue;
        }
        if (pool_stopping.load(std::memory_order_seq_cst)) {
            std::uint32_t idle = KOVA_THRD_POOL_IDLE;
            if (state.compare_exchange_strong(idle, KOVA_THRD_EXITED, std::memory_order_acq_rel)) break;
            // Claimed just now: the creator posts once the work is in place.
        }
        sem_wait(&record->wake_sem);
    }
    kova::thread::leave_thread(record);
    return nullptr;
}

void *seeder_loop(void *argument)
{
    std::uint32_t started = 0;
    for (std::uint32_t i = 1; i < seeder_quota; ++i)
        if (create_thread_pool_base(pool_loop, pool_attr) == 0) ++started;
    pool_size.fetch_add(started, std::memory_order_relaxed);
    if (pool_attr != nullptr) {
        pthread_attr_destroy(pool_attr);
        pool_attr = nullptr;
    }
    return pool_loop(argument);
}

// Posts the wake semaphore of every pool thread; the number posted.
int wake_pool_threads()
{
    int woken = 0;
    kova_thread_slot_s *slots = kova::thread::slots();
    for (std::uint32_t i = 0; i < KOVA_THRD_SLOTS; ++i) {
        kova_thread_s *record = kova::thread::reference_slot(slots[i]);
        if (record == nullptr) continue;
        // Sequentially consistent against the pool thread's store of idle (see pool_loop).
        std::uint32_t state = Word(slots[i].state).load(std::memory_order_seq_cst);
        if ((state & (KOVA_THRD_POOL_IDLE | KOVA_THRD_POOL_BUSY)) != 0) {
            sem_post(&record->wake_sem);
            ++woken;
        }
        kova::thread::release_slot(slots[i]);
    }
    return woken;
}

}  // namespace

extern "C" int create_thread_pool_base(void *(*entry)(void *), pthread_attr_t *attr)
{
    // Work is handed to pool threads through their slots, so a pool thread needs one.
    kova_thread_s *record = kova::thread::claim_record(nullptr, nullptr, kova::thread::ClaimFrom::kRegistryOnly);
    if (record == nullptr) {
        KOVA_LOG(kova::log::kInfo, "Create thread info fail.");
        return -1;
    }
    int ret = kova::thread::start_detached(record, entry, attr, &record->handle, __func__);
    if (ret != 0) {
        if (ret > 0) KOVA_LOG(kova::log::kError, "Create thread failed, error %d, errno %d.", ret, errno);
        kova_thrd_putthreadinfo(record);
        return -1;
    }
    return 0;
}

extern "C" uint32_t kova_thread_pool_create(uint32_t count)
{
    kova_thrd_module_init();
    if (count == 0) return 0;
    if (count > KOVA_THRD_SLOTS) count = KOVA_THRD_SLOTS;
    std::uint32_t expected = 0;
    if (!pool_size.compare_exchange_strong(expected, count)) {
        KOVA_LOG(kova::log::kInfo, "OS thread pool just allowed create once %u.", count);
        return 0;
    }
    kova::thread::register_pool_handoff(create_thread_from_thread_pool);
    if (kova_get_instant_map_flag() == 1) {
        pthread_attr_init(&pool_attr_storage);
        int ret = pthread_attr_setstacksize(&pool_attr_storage, KOVA_THRD_INSTANT_MAP_STACK);
        if (ret == 0) {
            pool_attr = &pool_attr_storage;
        } else {
            KOVA_LOG(kova::log::kInfo, "Set thread stack size failed, ret:%d, errno(%d:%s).", ret, errno,
                     std::strerror(errno));
            pthread_attr_destroy(&pool_attr_storage);
        }
    }
    std::uint32_t started = 0;
    for (std::uint32_t i = 0; i < count / 4; ++i)
        if (create_thread_pool_base(pool_loop, pool_attr) == 0) ++started;
    seeder_quota = count - count / 4;
    pthread_attr_t *attr = pool_attr;
    if (create_thread_pool_base(seeder_loop, attr) == 0) {
        ++started;
    } else if (attr != nullptr) {
        pthread_attr_destroy(attr);
        pool_attr = nullptr;
    }
    if (started != count) {
        KOVA_LOG(kova::log::kInfo, "Create OS thread pool %u, success %u.", count, started);
        // The seeder adds its own successes as they happen: take away only what is missing here.
        pool_size.fetch_sub(count - started, std::memory_order_relaxed);
    }
    return started;
}

extern "C" int create_thread_from_thread_pool(kova_thread_fn fn, void *arg, pthread_t *handle)
{
    // A stopping pool takes no more work; the caller starts a thread of its own.
    if (pool_size.load(std::memory_order_relaxed) == 0 || fn == nullptr ||
        pool_stopping.load(std::memory_order_relaxed))
        return -1;
    kova_thread_slot_s *slots = kova::thread::slots();
    for (std::uint32_t i = 0; i < KOVA_THRD_SLOTS; ++i) {
        kova_thread_s *record = kova::thread::reference_slot(slots[i]);
        if (record == nullptr) continue;
        std::uint32_t idle = KOVA_THRD_POOL_IDLE;
        if (!Word(slots[i].state).compare_exchange_strong(idle, KOVA_THRD_POOL_BUSY, std::memory_order_acq_rel)) {
            kova::thread::release_slot(slots[i]);
            continue;
        }
        // The pool thread reads the routine first: the store of the routine publishes the argument.
        record->arg = arg;
        Routine(record->start_routine).store(fn, std::memory_order_seq_cst);
        if (handle != nullptr) *handle = record->handle;
        sem_post(&record->wake_sem);
        kova::thread::release_slot(slots[i]);
        return 0;
    }
    return -1;
}

extern "C" int kova_thread_pool_destroy(void)
{
    if (pool_size.load(std::memory_order_relaxed) == 0) return 0;
    pool_stopping.store(true, std::memory_order_seq_cst);
    int first = wake_pool_threads();
    kova_msleep(10);
    int second = wake_pool_threads();
    KOVA_LOG(kova::log::kInfo, "TBA:res1 %d, res2 %d.", first, second);
    return second;
}

namespace kova::thread {

void reset_pool_for_test()
{
    pool_stopping.store(false);
    pool_size.store(0);
}

}  // namespace kova::thread

extern "C" int kova_thrd_bindAllCfgCpu(void)
{
    std::call_once(all_cpus_once, [] {
        std::uint32_t count = num_config_cpus();
        if (count == 0 || count > CPU_SETSIZE) count = CPU_SETSIZE;
        CPU_ZERO(&all_cpus);
        for (std::uint32_t cpu = 0; cpu < count; ++cpu) CPU_SET(cpu, &all_cpus);
    });
    int ret = pthread_setaffinity_np(pthread_self(), sizeof all_cpus, &all_cpus);
    if (ret != 0) {
        KOVA_LOG(kova::log::kError, "Create thread failed, error %d.", ret);
        return -1;
    }
    return 0;
}

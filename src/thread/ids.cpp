#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>

#include "thread/own_tid.h"
#include "thread/registry.h"

__thread int32_t my_numa = -1;
__thread int32_t my_core = -1;
__thread int32_t g_siKovaThrdPID = -1;
__thread uint64_t g_ullKovaThrdId = UINT64_MAX;
__thread kova_thread_s *m_current_thread = nullptr;
__thread void *g_lwpInstCurrent = nullptr;

int32_t g_siProcMapFlag = 0;

namespace kova::thread {

__thread std::int64_t own_tid_cache = 0;

std::int64_t own_tid_first() { return own_tid_cache = gettid(); }

}  // namespace kova::thread

namespace {

// A child of fork runs on the forking thread with a new tid and pid, and none of the parent's
// other threads exist in it.
void refresh_after_fork()
{
    g_siKovaThrdPID = -1;
    kova::thread::forget_other_threads_after_fork(m_current_thread, kova::thread::own_tid_first());
}

[[maybe_unused]] const int fork_handler_registered = pthread_atfork(nullptr, nullptr, refresh_after_fork);

}  // namespace

extern "C" void kova_thrd_setpid_accl(void) { g_siKovaThrdPID = getpid(); }

extern "C" int32_t kova_thrd_getpid_accl(void)
{
    if (g_siKovaThrdPID <= 0) g_siKovaThrdPID = getpid();
    return g_siKovaThrdPID;
}

extern "C" void kova_thrd_settid_accl(void) { g_ullKovaThrdId = static_cast<uint64_t>(pthread_self()); }

extern "C" uint64_t kova_thrd_gettid_accl(void)
{
    if (g_ullKovaThrdId == UINT64_MAX) g_ullKovaThrdId = static_cast<uint64_t>(pthread_self());
    return g_ullKovaThrdId;
}

// A record's tid is its thread's own, so the cache answers for threads with and without one.
extern "C" int64_t kova_thread_get_knl_tid(void) { return kova::thread::own_tid(); }

extern "C" void kova_thrd_core_set(int32_t cpu) { my_core = cpu; }
extern "C" void kova_thrd_numaId_set(int32_t node) { my_numa = node; }
extern "C" int32_t kova_thrd_numaId_get(void) { return my_numa; }

extern "C" int smp_processor_id(void) { return my_core >= 0 ? my_core : sched_getcpu(); }

extern "C" int kova_set_instant_map_flag(void)
{
    std::atomic_ref(g_siProcMapFlag).store(1, std::memory_order_relaxed);
    return 0;
}

extern "C" int32_t kova_get_instant_map_flag(void)
{
    return std::atomic_ref(g_siProcMapFlag).load(std::memory_order_relaxed);
}

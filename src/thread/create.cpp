#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "init/kova_log.h"
#include "thread/registry.h"

KOVA_LOG_SOURCE("thread/kova_thrd")

namespace {

enum class Strategy { kNone, kDefault };

void *run_thread(kova_thread_s *record, Strategy strategy)
{
    kova::thread::enter_thread(record);
    if (strategy == Strategy::kDefault) kova_setCurThreadStrategy(0);
    kova::thread::set_state(record, KOVA_THRD_RUNNING);
    record->start_routine(record->arg);
    // The function may have given its record back itself.
    if (m_current_thread == record) kova::thread::leave_thread(record);
    return nullptr;
}

void *basic_entry(void *record) { return run_thread(static_cast<kova_thread_s *>(record), Strategy::kNone); }
void *raw_entry(void *record) { return run_thread(static_cast<kova_thread_s *>(record), Strategy::kDefault); }

// Holds the calling thread's record while it has one, so that a thread ending without giving it
// back (pthread_exit, a foreign thread that never cleared it) still frees its slot.
struct ThreadEndKey {
    pthread_key_t key{};
    bool usable = pthread_key_create(&key, [](void *record) {
        kova::thread::leave_thread(static_cast<kova_thread_s *>(record));
    }) == 0;
};

void hold_until_thread_end(kova_thread_s *record)
{
    static const ThreadEndKey end;
    if (end.usable) pthread_setspecific(end.key, record);
}

std::atomic<kova::thread::PoolHandoff> pool_handoff{nullptr};

bool handed_to_pool(kova_thread_fn fn, void *arg, pthread_t *handle)
{
    kova::thread::PoolHandoff handoff = pool_handoff.load(std::memory_order_acquire);
    return handoff != nullptr && handoff(fn, arg, handle) == 0;
}

}  // namespace

namespace kova::thread {

void register_pool_handoff(PoolHandoff handoff) { pool_handoff.store(handoff, std::memory_order_release); }

void enter_thread(kova_thread_s *record)
{
    m_current_thread = record;
    hold_until_thread_end(record);
    // Lookups glance at the tid of records they hold no reference to.
    std::atomic_ref(record->tid).store(own_tid(), std::memory_order_relaxed);
    record_os_stack(record);
    install_sig_stack(record);
}

void leave_thread(kova_thread_s *record)
{
    hold_until_thread_end(nullptr);
    set_state(record, KOVA_THRD_EXITED);
    kova_thrd_unsetsigstack();
    m_current_thread = nullptr;
    kova_thrd_putthreadinfo(record);
}

int start_detached(kova_thread_s *record, void *(*entry)(void *), pthread_attr_t *attr, pthread_t *thread,
                   const char *caller)
{
    pthread_attr_t local_attr;
    bool local = attr == nullptr;
    if (local) {
        pthread_attr_init(&local_attr);
        attr = &local_attr;
    }
    int ret = pthread_attr_setdetachstate(attr, PTHREAD_CREATE_DETACHED);
    if (ret != 0) {
        KOVA_LOG_AS(caller, kova::log::kError, "Set thread detach state failed, ret:%d, errno(%d:%s).", ret, errno,
                    std::strerror(errno));
        ret = -1;
    } else {
        // The record belongs to the new thread from here on: it may already be gone.
        ret = pthread_create(thread, attr, entry, record);
    }
    if (local) pthread_attr_destroy(&local_attr);
    return ret;
}

}  // namespace kova::thread

extern "C" int create_thread_raw_base(kova_thread_fn fn, void *arg, void *(*entry)(void *),
                                      pthread_t *handle, pthread_attr_t *attr)
{
    kova_thrd_module_init();
    if (fn == nullptr || entry == nullptr) {
        KOVA_LOG(kova::log::kError, "Parameter is null.");
        return -1;
    }
    kova_thread_s *record = kova::thread::claim_record(fn, arg, kova::thread::ClaimFrom::kAnywhere);
    if (record == nullptr) {
        KOVA_LOG(kova::log::kInfo, "Create thread info fail.");
        return -1;
    }
    pthread_t thread;
    if (int ret = kova::thread::start_detached(record, entry, attr, &thread, __func__); ret != 0) {
        if (ret > 0)
            KOVA_LOG(kova::log::kError, "Create thread failed, ret:%d, errno(%d:%s).", ret, errno, std::strerror(errno));
        kova_thrd_putthreadinfo(record);
        return -1;
    }
    if (handle != nullptr) *handle = thread;
    return 0;
}

extern "C" int create_thread_raw(kova_thread_fn fn, void *arg, pthread_t *handle)
{
    return create_thread_raw_base(fn, arg, raw_entry, handle, nullptr);
}

extern "C" int kova_thread_create_raw(kova_thread_fn fn, void *arg, pthread_t *handle)
{
    return create_thread_raw(fn, arg, handle);
}

extern "C" int kova_thrd_create(kova_thread_fn fn, void *arg, pthread_t *handle)
{
    if (handed_to_pool(fn, arg, handle)) return 0;
    return create_thread_raw(fn, arg, handle);
}

extern "C" int create_thread_nopreempt_raw(kova_thread_fn fn, void *arg, pthread_t *handle)
{
    if (handed_to_pool(fn, arg, handle)) return 0;
    if (kova_get_instant_map_flag() != 1) return create_thread_raw(fn, arg, handle);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    int ret = pthread_attr_setstacksize(&attr, KOVA_THRD_INSTANT_MAP_STACK);
    if (ret != 0) {
        KOVA_LOG(kova::log::kError, "Set thread stack size failed, ret:%d, errno(%d:%s).", ret, errno,
                 std::strerror(errno));
    } else {
        ret = create_thread_raw_base(fn, arg, raw_entry, handle, &attr);
    }
    pthread_attr_destroy(&attr);
    return ret == 0 ? 0 : -1;
}

extern "C" int kova_thrd_create_attr(kova_thread_fn fn, void *arg, pthread_t *handle, pthread_attr_t *attr)
{
    return create_thread_raw_base(fn, arg, basic_entry, handle, attr);
}

extern "C" int kova_thrd_attr_init(pthread_attr_t *attr)
{
    return attr != nullptr && pthread_attr_init(attr) == 0 ? 0 : -1;
}

extern "C" int kova_thrd_attr_destroy(pthread_attr_t *attr)
{
    return attr != nullptr && pthread_attr_destroy(attr) == 0 ? 0 : -1;
}

extern "C" int kova_thrd_setstacksize(pthread_attr_t *attr, size_t size)
{
    return attr != nullptr && pthread_attr_setstacksize(attr, size) == 0 ? 0 : -1;
}

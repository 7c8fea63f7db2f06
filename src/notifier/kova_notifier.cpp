#include "kova/kova_notifier.h"

#include <atomic>

#include "init/kova_log.h"
#include "kova/kova_thrd.h"
#include "kovalog/kovalog.h"
#include "notifier/notifier_internal.h"

KOVA_LOG_SOURCE("notifier/kova_notifier")

extern "C" {
kova_notifier_chain_s kova_exception_chain = KOVA_NOTIFIER_CHAIN_INITIALIZER("kova_exception_chain");
}

namespace {

constexpr std::uint64_t kNoOwner = ~0ull;

// The lock word is all the spinlock uses; the owner field is kept here so that a failed
// exception call can say who holds the chain.
void lock_chain(kova_notifier_chain_s *chain)
{
    do_kova_spinlock_lock(&chain->lock.lock, chain->name, __LINE__);
    std::atomic_ref(chain->lock.owner).store(static_cast<std::uint64_t>(kova_thread_get_knl_tid()),
                                             std::memory_order_relaxed);
}

bool try_lock_chain(kova_notifier_chain_s *chain)
{
    if (do_kova_spinlock_trylock(&chain->lock.lock, chain->name, __LINE__) == 0) return false;
    std::atomic_ref(chain->lock.owner).store(static_cast<std::uint64_t>(kova_thread_get_knl_tid()),
                                             std::memory_order_relaxed);
    return true;
}

void unlock_chain(kova_notifier_chain_s *chain)
{
    std::atomic_ref(chain->lock.owner).store(kNoOwner, std::memory_order_relaxed);
    do_kova_spinlock_unlock(&chain->lock.lock, chain->name, __LINE__);
}

void *as_pointer(kova_notifier_fn func) { return reinterpret_cast<void *>(func); }

// The exception path may run in a signal handler, where the leveled logger (which formats with
// the C library and takes locks) must not be entered: its lines go through the raw writer,
// still only when the library's level admits them.
template <typename... Args>
void log_step(bool signal_safe, const char *function, int line, const char *format, Args... args)
{
    if (kovalog_level_check(KOVA_MODULE_ID, kova::log::kInfo) != 0) return;
    if (signal_safe)
        kovalog_original(format, args...);
    else
        kovalog(KOVA_MODULE_ID, kova::log::kInfo, kova_log_source, line, function, 0, format, args...);
}

void log_node_start(bool signal_safe, kova_notifier_node_s *node, unsigned long action, void *data)
{
    log_step(signal_safe, "KovaNotifierCallChain", __LINE__,
             "Exception chain node %p called start: function:%p, action=%d, data=%p, pri=%u, next=%p.",
             static_cast<void *>(node), as_pointer(node->func), static_cast<int>(action), data,
             static_cast<unsigned>(node->priority), static_cast<void *>(node->next));
}

// Runs the handlers; the caller holds the chain's lock.
std::uint32_t call_handlers(kova_notifier_chain_s *chain, unsigned long action, void *data, std::uint32_t nr_to_call,
                            std::uint32_t *nr_calls, bool signal_safe)
{
    kova_notifier_node_s *node = chain->head;
    if (nr_to_call == 0 || node == nullptr) return 0;
    log_node_start(signal_safe, node, action, data);
    for (;;) {
        kova_notifier_node_s *next = node->next;
        std::uint32_t result = node->func != nullptr ? node->func(node, action, data) : 0;
        log_step(signal_safe, "KovaNotifierCallChain", __LINE__,
                 "Exception chain node %p called end: action=%d, data=%p, ret=0x%02X.", static_cast<void *>(node),
                 static_cast<int>(action), data, result);
        --nr_to_call;
        if (nr_calls != nullptr) ++*nr_calls;
        if ((result & KOVA_NOTIFY_STOP_MASK) != 0 || nr_to_call == 0 || next == nullptr) return result;
        node = next;
        log_node_start(signal_safe, node, action, data);
    }
}

}  // namespace

extern "C" int32_t kova_atomic_notifier_chain_register__(kova_notifier_chain_s *chain, kova_notifier_node_s *node,
                                                         const char *file, int32_t line)
{
    if (chain == nullptr || node == nullptr) return 0;
    lock_chain(chain);
    bool already = false;
    for (kova_notifier_node_s *at = chain->head; at != nullptr && !already; at = at->next) already = at == node;
    if (!already) {
        kova_notifier_node_s **link = &chain->head;
        while (*link != nullptr && (*link)->priority >= node->priority) link = &(*link)->next;
        node->next = *link;
        *link = node;
    }
    unlock_chain(chain);
    if (already) {
        KOVA_LOG(kova::log::kError, "Notifier chain %s register (%s:%d, %p): node already registered", chain->name,
                 file, line, static_cast<void *>(node));
        return 0;
    }
    KOVA_LOG(kova::log::kInfo, "Notifier chain %s register (%s:%d, %p, %p, %u), ret=%d", chain->name, file, line,
             static_cast<void *>(node), as_pointer(node->func), static_cast<unsigned>(node->priority), 0);
    return 0;
}

extern "C" int32_t kova_atomic_notifier_chain_unregister__(kova_notifier_chain_s *chain, kova_notifier_node_s *node,
                                                           const char *file, int32_t line)
{
    if (chain == nullptr || node == nullptr) return 0;
    int32_t ret = -2;
    lock_chain(chain);
    for (kova_notifier_node_s **link = &chain->head; *link != nullptr; link = &(*link)->next) {
        if (*link == node) {
            *link = node->next;
            ret = 0;
            break;
        }
    }
    unlock_chain(chain);
    KOVA_LOG(kova::log::kInfo, "Notifier chain %s unregister (%s:%d, 0x%p), ret=%d", chain->name, file, line,
             as_pointer(node->func), ret);
    return ret;
}

extern "C" uint32_t kova_atomic_notifier_call_chain__(kova_notifier_chain_s *chain, unsigned long action, void *data,
                                                      uint32_t nrToCall, uint32_t *nrCalls)
{
    if (chain == nullptr) return 0;
    KOVA_LOG(kova::log::kInfo, "Chain name %s call chain start: action=%d, data=%p, nrToCall=%d, nrCalls=%p.",
             chain->name, static_cast<int>(action), data, static_cast<int>(nrToCall), static_cast<void *>(nrCalls));
    lock_chain(chain);
    std::uint32_t result = call_handlers(chain, action, data, nrToCall, nrCalls, false);
    unlock_chain(chain);
    return result;
}

extern "C" int32_t kova_exception_chain_register__(kova_notifier_node_s *node, const char *file, int32_t line)
{
    return kova_atomic_notifier_chain_register__(&kova_exception_chain, node, file, line);
}

extern "C" int32_t kova_exception_chain_unregister__(kova_notifier_node_s *node, const char *file, int32_t line)
{
    return kova_atomic_notifier_chain_unregister__(&kova_exception_chain, node, file, line);
}

extern "C" int32_t kova_exception_call_chain(unsigned long action, void *siginfo, void *regs, uint64_t value,
                                             uint32_t value2, uint32_t signo)
{
    kova_notifier_chain_s *chain = &kova_exception_chain;
    kova_exception_data_s data{regs, siginfo, value, value2, signo};
    log_step(true, __func__, __LINE__, "Exception notifier %s call start: action=%d, siginfo=%p regs=%p.", chain->name,
             static_cast<int>(action), siginfo, regs);
    if (!try_lock_chain(chain)) {
        log_step(true, __func__, __LINE__, "Exception notifier %s call end: trylock fail, owner=%lu.", chain->name,
                 static_cast<unsigned long>(std::atomic_ref(chain->lock.owner).load(std::memory_order_relaxed)));
        return -1;
    }
    auto result = static_cast<int32_t>(call_handlers(chain, action, &data, ~0u, nullptr, true));
    unlock_chain(chain);
    log_step(true, __func__, __LINE__, "Exception notifier %s call end: ret %d.", chain->name, result);
    return result;
}

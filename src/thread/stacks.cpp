#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "init/kova_log.h"
#include "thread/registry.h"

KOVA_LOG_SOURCE("thread/kova_thrd")

namespace {

constexpr std::uint64_t kPage = 4096;
// How far above the classifier's own frame an address still counts as on the running stack.
constexpr std::uint64_t kCallerWindow = 0x2000;
constexpr std::uint64_t kFrameRecord = 16;

std::atomic<int (*)(uint64_t)> lwt_is_stack{nullptr};
std::atomic<int (*)(uint64_t, uint64_t *, uint64_t *)> lwt_get_stack{nullptr};
std::atomic<std::uint64_t> unknown_stack_size{4096};

bool os_stack_of(const kova_thread_s *record, uint64_t *low, uint64_t *high)
{
    if (record == nullptr || record->os_stack_low == 0 || record->os_stack_high == 0) return false;
    *low = record->os_stack_low;
    *high = record->os_stack_high;
    return true;
}

bool sig_stack_of(const kova_thread_s *record, uint64_t *low, uint64_t *high)
{
    if (record == nullptr || record->sig_stack == nullptr) return false;
    *low = reinterpret_cast<uint64_t>(record->sig_stack);
    *high = *low + KOVA_THRD_SIGSTACK_SIZE;
    return true;
}

}  // namespace

namespace kova::thread {

void record_os_stack(kova_thread_s *record)
{
    pthread_attr_t attr;
    int ret = pthread_getattr_np(pthread_self(), &attr);
    if (ret != 0) {
        KOVA_LOG(kova::log::kInfo, "Get thread attr ret:%d.", ret);
        return;
    }
    std::size_t guard = 0;
    if (pthread_attr_getguardsize(&attr, &guard) != 0) guard = 0;
    void *address = nullptr;
    std::size_t size = 0;
    ret = pthread_attr_getstack(&attr, &address, &size);
    if (ret != 0) {
        KOVA_LOG(kova::log::kInfo, "Get os stack ret:%d.", ret);
    } else {
        record->os_stack_low = reinterpret_cast<uint64_t>(address) + guard;
        record->os_stack_high = reinterpret_cast<uint64_t>(address) + size;
    }
    pthread_attr_destroy(&attr);
}

void install_sig_stack(kova_thread_s *record)
{
    if (record->sig_stack == nullptr) return;
    std::memset(record->sig_stack, 0, KOVA_THRD_SIGSTACK_SIZE);
    stack_t stack{};
    stack.ss_sp = record->sig_stack;
    stack.ss_flags = SS_ONSTACK;
    stack.ss_size = KOVA_THRD_SIGSTACK_SIZE;
    if (sigaltstack(&stack, nullptr) != 0)
        KOVA_LOG(kova::log::kWarning, "Set thrd tid:%d sigaltstack fail.", static_cast<int>(record->tid));
}

}  // namespace kova::thread

extern "C" void kova_thrd_unsetsigstack(void)
{
    kova_thread_s *record = m_current_thread;
    if (record == nullptr || record->sig_stack == nullptr) return;
    stack_t stack{};
    stack.ss_sp = record->sig_stack;
    stack.ss_flags = SS_DISABLE;
    stack.ss_size = KOVA_THRD_SIGSTACK_SIZE;
    if (sigaltstack(&stack, nullptr) != 0)
        KOVA_LOG(kova::log::kWarning, "Disable signal stack failed, thrd tid:%d, errno:%d.",
                 static_cast<int>(record->tid), errno);
}

extern "C" int kova_thrd_getosstack(uint64_t *low, uint64_t *high)
{
    if (low == nullptr || high == nullptr) return -1;
    return os_stack_of(m_current_thread, low, high) ? 0 : -1;
}

extern "C" int kova_thrd_getsigstack(uint64_t *low, uint64_t *high)
{
    if (low == nullptr || high == nullptr) return -1;
    return sig_stack_of(m_current_thread, low, high) ? 0 : -1;
}

extern "C" int kova_thread_get_specific_stack(int64_t tid, uint64_t *low, uint64_t *high)
{
    if (low == nullptr || high == nullptr) return -1;
    kova_thread_s *record = kova_thrd_getthreadinfobytid(tid);
    if (record == nullptr) return -1;
    bool known = os_stack_of(record, low, high);
    kova_thrd_putthreadinfo(record);
    return known ? 0 : -1;
}

extern "C" int register_lwt_stack_ops(const kova_lwt_stack_ops_s *ops)
{
    if (ops == nullptr) return -1;
    lwt_is_stack.store(ops->is_lwt_stack, std::memory_order_release);
    lwt_get_stack.store(ops->get_lwt_stack, std::memory_order_release);
    return 0;
}

extern "C" void unregister_lwt_stack_ops(void)
{
    lwt_is_stack.store(nullptr, std::memory_order_release);
    lwt_get_stack.store(nullptr, std::memory_order_release);
}

extern "C" int kova_thrd_islwtstack(uint64_t address)
{
    auto is_stack = lwt_is_stack.load(std::memory_order_acquire);
    return is_stack != nullptr ? is_stack(address) : -1;
}

extern "C" int kova_thrd_getlwtstack(uint64_t address, uint64_t *low, uint64_t *high)
{
    auto get_stack = lwt_get_stack.load(std::memory_order_acquire);
    return get_stack != nullptr ? get_stack(address, low, high) : -1;
}

extern "C" uint64_t kova_thrd_getunknownstacksize(void)
{
    return unknown_stack_size.load(std::memory_order_relaxed);
}

extern "C" int kova_thrd_setunknownstacksize(uint64_t size)
{
    unknown_stack_size.store(size, std::memory_order_relaxed);
    return 0;
}

extern "C" __attribute__((noinline)) int kova_thrd_getcurrentstack(uint64_t address, uint64_t *low,
                                                                    uint64_t *high, const char **kind)
{
    if (kind == nullptr || low == nullptr || high == nullptr) return -1;
    *kind = "INVALID_STACK";
    if (kova_thrd_islwtstack(address) == 0) {
        if (kova_thrd_getlwtstack(address, low, high) == 0) {
            *kind = "LWT_STACK";
            return 0;
        }
        *kind = "INVALID_LWT_STACK";
    }
    kova_thread_s *record = m_current_thread;
    uint64_t bound_low = 0;
    uint64_t bound_high = 0;
    // An address up to a page below the OS stack, in its guard area, still counts as on it.
    if (os_stack_of(record, &bound_low, &bound_high) && address < bound_high && address + kPage >= bound_low) {
        *low = bound_low;
        *high = bound_high;
        *kind = "OS_STACK";
        return 0;
    }
    if (sig_stack_of(record, &bound_low, &bound_high) && address >= bound_low && address < bound_high) {
        *low = bound_low;
        *high = bound_high;
        *kind = "SIG_STACK";
        return 0;
    }
    volatile char marker = 0;
    auto here = reinterpret_cast<uint64_t>(&marker);
    if (address > here && address < here + kCallerWindow) {
        *low = address & ~(kPage - 1);
        *high = *low + kova_thrd_getunknownstacksize();
        *kind = "UNKNOWN_STACK";
        return 0;
    }
    return -1;
}

// Frame records on both processors: [fp] = the caller's frame pointer, [fp + 8] = the return
// address. The walk only follows records that lie inside the stack it started on.
extern "C" __attribute__((noinline, no_sanitize("address"))) int
kova_thrd_backtrace(uint64_t *buffer, uint32_t count, uint32_t skip)
{
    if (buffer == nullptr && count != 0) return -1;
    auto frame = reinterpret_cast<uint64_t>(__builtin_frame_address(0));
    uint64_t low = 0;
    uint64_t high = 0;
    const char *kind = nullptr;
    if (kova_thrd_getcurrentstack(frame, &low, &high, &kind) != 0) return -1;
    auto usable = [low, high](uint64_t fp) { return fp >= low && fp + kFrameRecord <= high; };
    for (uint32_t i = 0; i < skip; ++i)
        if (usable(frame)) frame = reinterpret_cast<const uint64_t *>(frame)[0];
    for (uint32_t i = 0; i < count; ++i) {
        if (usable(frame)) {
            buffer[i] = reinterpret_cast<const uint64_t *>(frame)[1];
            frame = reinterpret_cast<const uint64_t *>(frame)[0];
        } else {
            buffer[i] = 0;
        }
    }
    return 0;
}

extern "C" void kova_thrd_dump_cpu_stack_knl(void) {}
extern "C" int kova_thrd_dump_cpu_stack(void) { return 0; }
extern "C" int kova_thrd_dump_thread_stack_if_not_running(void) { return 0; }

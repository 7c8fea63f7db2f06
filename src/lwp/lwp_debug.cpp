#include <atomic>
#include <cstring>
#include <initializer_list>
#include <mutex>

#include "init/kova_log.h"
#include "kova/kova_lwp.h"
#include "kova/kova_notifier.h"
#include "kova/kova_thrd.h"
#include "kovalog/kovalog.h"
#include "lwp/lwp_internal.h"
#include "percpu_posix/waiter_dump.h"

KOVA_LOG_SOURCE("lwp/lwp_debug")

namespace {

constexpr std::size_t kSymbolText = 64;
constexpr std::uint32_t kSkippedFrames = 2;  // LwpCtxDbgSwitch's own and LwpCtxAttach's

std::atomic<std::uint32_t> trace_state{0};

struct AutoStatEntry {
    std::uint64_t rip;
    std::uint64_t count;  // raised by the call site through its pointer, without a lock
};

// Entries below `used` are complete: written under the lock before `used` is raised.
struct AutoStatTable {
    explicit AutoStatTable(const char *table_name) : name(table_name) {}
    kova_spinlock_s lock = KOVA_SPINLOCK_INITIALIZER;
    const char *name;
    std::atomic<std::uint32_t> used{0};
    AutoStatEntry entries[LWP_AUTOSTAT_ENTRIES] = {};
};

AutoStatTable get_stats("LWP_GET_INST");
AutoStatTable put_stats("LWP_PUT_INST");

void assign_site(AutoStatTable &table, std::uint64_t **site, void *return_address)
{
    auto pointer = std::atomic_ref(*site);
    if (pointer.load(std::memory_order_acquire) != nullptr) return;
    do_kova_spinlock_lock(&table.lock.lock, "LwpAllocAutoStat", __LINE__);
    if (pointer.load(std::memory_order_relaxed) == nullptr) {
        std::uint32_t used = table.used.load(std::memory_order_relaxed);
        AutoStatEntry *entry = &table.entries[LWP_AUTOSTAT_ENTRIES - 1];
        if (used < LWP_AUTOSTAT_ENTRIES) {
            entry = &table.entries[used];
            entry->rip = reinterpret_cast<std::uint64_t>(return_address);
            std::atomic_ref(entry->count).store(0, std::memory_order_relaxed);
            table.used.store(used + 1, std::memory_order_release);
        }
        pointer.store(&entry->count, std::memory_order_release);
    }
    do_kova_spinlock_unlock(&table.lock.lock, "LwpAllocAutoStat", __LINE__);
}

void show_table(AutoStatTable &table, kova_print_fn print, const char *suffix)
{
    std::uint32_t used = table.used.load(std::memory_order_acquire);
    if (used == 0) return;
    print("Lwp show auto statistic info of %s, size:%u used:%u%s", table.name, LWP_AUTOSTAT_ENTRIES, used, suffix);
    for (std::uint32_t i = 0; i < used; ++i) {
        AutoStatEntry &entry = table.entries[i];
        char text[kSymbolText];
        kova::percpu::address_to_text(entry.rip, text, sizeof text);
        print("Lwp autostat id:%2u cnt:%6lu rip:0x%lx,%s%s", i,
              std::atomic_ref(entry.count).load(std::memory_order_relaxed), entry.rip, text, suffix);
    }
}

kova_notifier_node_s exception_node{LwpExceptNotifyFn, nullptr, 1024};
std::once_flag exception_registration;

// A fatal signal then prints the dying thread's switch log.
void register_on_exception_chain()
{
    std::call_once(exception_registration,
                   [] { kova_exception_chain_register__(&exception_node, __FILE__, __LINE__); });
}

}  // namespace

bool kova::lwp::trace_enabled() { return trace_state.load(std::memory_order_relaxed) == 1; }

void kova::lwp::reset_debug_for_test()
{
    trace_state.store(0);
    for (AutoStatTable *table : {&get_stats, &put_stats}) {
        table->used.store(0);
        std::memset(static_cast<void *>(table->entries), 0, sizeof table->entries);
    }
}

extern "C" int32_t LwpCfgSetCtxTraceState(uint32_t state)
{
    trace_state.store(state);
    return 0;
}

extern "C" int32_t LwpDebugInit(void)
{
    register_on_exception_chain();
    return 0;
}

extern "C" [[gnu::noinline]] void LwpCtxDbgSwitch(uint64_t oldInstId, uint64_t newInstId)
{
    kova_thread_s *record = m_current_thread;
    if (record == nullptr) return;
    kova_thread_switch_s &entry = record->switch_log[record->switch_count % KOVA_THRD_SWITCH_LOG];
    if (kova_thrd_backtrace(entry.return_address, KOVA_THRD_SWITCH_FRAMES, kSkippedFrames) != 0) return;
    entry.old_instance = oldInstId;
    entry.new_instance = newInstId;
    record->switch_count += 1;
}

extern "C" void LwpCtxSwitchShow(kova_print_fn print)
{
    if (print == nullptr || !kova::lwp::trace_enabled()) return;
    auto tid = static_cast<unsigned>(kova_thread_get_knl_tid());
    const kova_thread_s *record = m_current_thread;
    if (record == nullptr) {
        print("<%u> Lwp this is not a thread create by tiro or kova", tid);
        return;
    }
    std::uint64_t count = record->switch_count;
    for (std::uint64_t n = count > KOVA_THRD_SWITCH_LOG ? count - KOVA_THRD_SWITCH_LOG : 0; n < count; ++n) {
        const kova_thread_switch_s &entry = record->switch_log[n % KOVA_THRD_SWITCH_LOG];
        print("<%u> LwpCtxSwitch:%lu instId old:0x%lx new:0x%lx", tid, n, entry.old_instance, entry.new_instance);
        for (unsigned first = 0; first < KOVA_THRD_SWITCH_FRAMES; first += 3) {
            const std::uint64_t *at = &entry.return_address[first];
            char text[3][kSymbolText];
            for (int i = 0; i < 3; ++i) kova::percpu::address_to_text(at[i], text[i], kSymbolText);
            print("<%u> ... stack:%u <<0x%lx(%s) <<0x%lx(%s) <<0x%lx(%s)", tid, first, at[0], text[0], at[1], text[1],
                  at[2], text[2]);
        }
    }
}

extern "C" uint32_t LwpExceptNotifyFn(struct kova_notifier_node_s *, unsigned long, void *)
{
    LwpCtxSwitchShow(kovalog_original);
    return 1;
}

extern "C" void LwpAutoStatGetInst(uint64_t **site)
{
    if (site != nullptr) assign_site(get_stats, site, __builtin_return_address(0));
}

extern "C" void LwpAutoStatPutInst(uint64_t **site)
{
    if (site != nullptr) assign_site(put_stats, site, __builtin_return_address(0));
}

extern "C" void LwpShowAutoStatAll(kova_print_fn print, const char *suffix)
{
    if (print == nullptr) return;
    if (suffix == nullptr) suffix = "";
    show_table(get_stats, print, suffix);
    show_table(put_stats, print, suffix);
}

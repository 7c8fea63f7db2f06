#include <execinfo.h>
#include <signal.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <cstdio>
#include <mutex>

#include "arch/machine_regs.h"
#include "init/kova_log.h"
#include "kova/kova_notifier.h"
#include "kova/kova_signal.h"
#include "kova/kova_symbol.h"
#include "kova/kova_thrd.h"
#include "kovalog/kovalog.h"

KOVA_LOG_SOURCE("thread/kova_sig_calltrace")

namespace {

constexpr int kSignalTable = 128;
constexpr int kMaxNested = 3;
constexpr int kBacktraceEntries = 63;
constexpr std::uint64_t kWindow = 20480;
constexpr std::uint64_t kBelowSp = 1024;

struct InstalledSignal {
    int number;
    const char *name;
};

constexpr InstalledSignal kFaultSignals[] = {
    {4, "SIGILL"},     {6, "SIGABRT"},    {7, "SIGBUS"},   {8, "SIGFPE"},   {10, "SIGUSR1"},  {11, "SIGSEGV"},
    {12, "SIGUSR2"},   {13, "SIGPIPE"},   {14, "SIGALRM"}, {15, "SIGTERM"}, {16, "SIGSTKFLT"}, {21, "SIGTTIN"},
    {22, "SIGTTOU"},   {24, "SIGXCPU"},   {25, "SIGXFSZ"}, {26, "SIGVTALRM"}, {27, "SIGPROF"}, {29, "SIGIO"},
    {30, "SIGPWR"},    {31, "SIGSYS"},
};

// Written without locks, as the handler reads them: a name is a pointer to a literal.
std::atomic<const char *> signal_names[kSignalTable];
std::atomic<int> installed{0};
std::atomic<bool> task_track_installed{false};
std::atomic<int> nested{0};
std::atomic<int> coredump_flag{1};
std::mutex install_lock;
char list_name[] = "SIGLIST";

// Every thread's start routine returns to one place in the C library's thread start
// (start_thread, or a sanitizer's wrapper around the routine). Debian's libc exports no name for
// that function, so the frame walk learns the address from a thread of its own and ends there.
std::atomic<std::uint64_t> thread_start_return{0};

__attribute__((noinline)) void *note_thread_start(void *)
{
    thread_start_return.store(reinterpret_cast<std::uintptr_t>(__builtin_return_address(0)), std::memory_order_relaxed);
    return nullptr;
}

void learn_thread_start()
{
    static std::once_flag once;
    std::call_once(once, [] {
        pthread_t probe;
        if (pthread_create(&probe, nullptr, note_thread_start, nullptr) == 0) pthread_join(probe, nullptr);
    });
}

int tid() { return static_cast<int>(kova_thread_get_knl_tid()); }

bool fatal(int signal)
{
    switch (signal) {
    case 12: case 61: case 13: case 14: case 21: case 22: case 26: case 27: case 29:
        return false;
    default:
        return true;
    }
}

const char *name_of(int signal)
{
    const char *name = signal >= 0 && signal < kSignalTable ? signal_names[signal].load(std::memory_order_relaxed) : nullptr;
    return name != nullptr ? name : "UNKNOWN";
}

// Only tries the index: a handler that interrupted an update prints the address alone.
bool resolve(std::uint64_t address, kova_symbol_info_s &info) { return symbol_find_by_own(address, &info, nullptr) == 0; }

void fault_handler(int signal, siginfo_t *info, void *context);

bool install(int signal, const char *name)
{
    struct sigaction action {};
    action.sa_sigaction = fault_handler;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESTART;
    sigemptyset(&action.sa_mask);
    if (sigaction(signal, &action, nullptr) != 0) return false;
    if (signal >= 0 && signal < kSignalTable) signal_names[signal].store(name, std::memory_order_relaxed);
    return true;
}

void exit_callback() { kova_thread_exit_callback(); }

// Common set-up of both installers; the caller holds install_lock.
void prepare()
{
    static bool exit_registered = false;
    kova_symbol_init();
    if (!exit_registered) exit_registered = std::atexit(exit_callback) == 0;
    for (auto &name : signal_names) name.store(nullptr, std::memory_order_relaxed);
    signal(SIGHUP, SIG_IGN);
}

// Four words a line; a run of zero lines prints once as "...". Stack memory is read whole,
// redzones and other frames' words included.
__attribute__((no_sanitize("address"))) void dump_words(std::uint64_t start, std::uint64_t end, bool with_symbols)
{
    bool in_zero_run = false;
    for (std::uint64_t at = start; at + 32 <= end; at += 32) {
        const auto *w = reinterpret_cast<const std::uint64_t *>(at);
        if ((w[0] | w[1] | w[2] | w[3]) == 0) {
            if (!in_zero_run) kovalog_original("<%d>%16p: %016lx ...", tid(), reinterpret_cast<void *>(at), 0ul);
            in_zero_run = true;
            continue;
        }
        in_zero_run = false;
        for (int i = 0; with_symbols && i < 4; ++i) {
            kova_symbol_info_s sym;
            if (!resolve(w[i], sym) || sym.type != 2) continue;
            if (at == start && i == 0)
                kovalog_original("<%d>                  (rip)%016lx: %s+0x%x ???", tid(), w[i], sym.name,
                                 static_cast<unsigned>(w[i] - sym.start));
            else
                kovalog_original("<%d>%18s%016lx: %016lx  (rip)%016lx: %s+0x%x ???", tid(), "(rbp)", at + 8 * i - 8,
                                 *reinterpret_cast<const std::uint64_t *>(at + 8 * i - 8), w[i], sym.name,
                                 static_cast<unsigned>(w[i] - sym.start));
        }
        kovalog_original("<%d>%16p: %016lx %016lx %016lx %016lx", tid(), reinterpret_cast<void *>(at), w[0], w[1], w[2],
                         w[3]);
    }
}

__attribute__((no_sanitize("address"))) void frame_walk(std::uint64_t sp, std::uint64_t fp, std::uint64_t low, std::uint64_t high)
{
    std::uint64_t start = ((sp > low ? sp : low) + 7) & ~7ull;
    std::uint64_t end = start + kWindow < high ? start + kWindow : high;
    kovalog_original("<%d>stack: [%p -- %p] ", tid(), reinterpret_cast<void *>(start), reinterpret_cast<void *>(end));
    if (fp == 0xFFFFFFFFull) fp = sp;
    // "(%08s)" as documented prints what "(%8s)" does: the C library pads strings with blanks.
    kovalog_original("<%d>%18s %18s %18s (%8s) %-40s  %s+%s %s", tid(), "stack_addr", "stack_rbp", "content", "length",
                     "file", "func", "position", "suspicious");
    std::uint64_t previous_end = start;
    for (std::uint64_t p = start; p + 8 < end; p += 8) {
        std::uint64_t candidate = *reinterpret_cast<const std::uint64_t *>(p + 8);
        kova_symbol_info_s sym;
        if (!resolve(candidate, sym) || sym.type != 2) continue;
        bool genuine = p == fp && fp >= start && fp < end;
        std::uint64_t word = *reinterpret_cast<const std::uint64_t *>(p);
        kovalog_original("<%d>%18p %18p %18p (%08ld) %-40s  %s+0x%x %s", tid(), reinterpret_cast<void *>(p),
                         reinterpret_cast<void *>(word), reinterpret_cast<void *>(candidate),
                         static_cast<long>(p > previous_end ? (p - previous_end) / 8 : 0), sym.file, sym.name,
                         static_cast<unsigned>(candidate - sym.start), genuine ? "" : "???");
        previous_end = p + 8;
        if (genuine) fp = word;
        bool outermost = candidate == thread_start_return.load(std::memory_order_relaxed) ||
                         std::strcmp(sym.name, "start_thread") == 0 || std::strcmp(sym.name, "main") == 0;
        if (outermost && genuine) break;
        if (outermost && p > fp) end = (p + 4095) & ~4095ull;
    }
    kovalog_original("<%d>dump_stack info Success", tid());
}

void bounded_dump(const char *mode, int signal, std::uint64_t sp, std::uint64_t fp, bool raw)
{
    kovalog_original("<%d>Stack Info: RSP: 0x%x%08x RBP: 0x%x%08x", tid(), static_cast<unsigned>(sp >> 32),
                     static_cast<unsigned>(sp), static_cast<unsigned>(fp >> 32), static_cast<unsigned>(fp));
    std::uint64_t low = 0, high = 0;
    const char *kind = "INVALID_STACK";
    if (kova_thrd_getcurrentstack(sp, &low, &high, &kind) != 0) {
        kovalog_original("<%d>(%s)can't find current stack info by stack addr(0x%0llx) desc(%s)", tid(), mode,
                         static_cast<unsigned long long>(sp), kind);
        if (raw) kova_thread_dump_broken_stack(signal, tid());
        return;
    }
    kovalog_original("<%d>(%s)get %s, stack start(0x%0llx) end(0x%0llx)", tid(), mode, kind,
                     static_cast<unsigned long long>(low), static_cast<unsigned long long>(high));
    frame_walk(sp, fp, low, high);
    if (raw) kova_thread_dump_full_stack(signal, sp, tid(), low, high);
}

void fault_handler(int signal, siginfo_t *info, void *context)
{
    int saved_errno = errno;
    bool is_fatal = fatal(signal);
    int count = nested.fetch_add(1) + 1;
    if (count > kMaxNested && !is_fatal) {
        nested.fetch_sub(1);
        kovalog_original("<%d>fault handler reentrant<%d> too much. sig %d", tid(), count, signal);
        errno = saved_errno;
        return;
    }
    int local = 0;
    kovalog_original("<%d>start of stack of general fault_handler() is %p. <%d>, sig %s, si %p, si_code %08x, cpu %d",
                     tid(), static_cast<void *>(&local), count, name_of(signal), static_cast<void *>(info),
                     info != nullptr ? static_cast<unsigned>(info->si_code) : 0u, smp_processor_id());
    kova_thread_dump_current_stack(signal, context);
    nested.fetch_sub(1);
    if (is_fatal) {
        kova_signal_exit_notify(signal, info, context);
        kovalog_flush_signal_safe();
        struct sigaction action {};
        action.sa_handler = SIG_DFL;
        sigemptyset(&action.sa_mask);
        sigaction(signal, &action, nullptr);
        pthread_kill(pthread_self(), signal);
    }
    errno = saved_errno;
}

}  // namespace

extern "C" void kova_thread_signal_init(void)
{
    if (installed.load(std::memory_order_acquire) == 1) return;
    std::lock_guard guard(install_lock);
    if (installed.load(std::memory_order_relaxed) == 1) return;
    prepare();
    for (const InstalledSignal &s : kFaultSignals) install(s.number, s.name);
    auto_install_dump_stack_signal();
    installed.store(1, std::memory_order_release);
}

extern "C" void kova_thread_signal_init_with_list(const uint32_t *list, uint32_t count)
{
    if (list == nullptr || count == 0) return;
    std::lock_guard guard(install_lock);
    prepare();
    char text[128] = {};
    std::size_t used = 0;
    for (uint32_t i = 0; i < count; ++i) {
        int n = std::snprintf(text + used, sizeof text - used, "%u, ", list[i]);
        if (n > 0) used = std::min(sizeof text - 1, used + static_cast<std::size_t>(n));
        const char *name = list_name;
        for (const InstalledSignal &s : kFaultSignals)
            if (static_cast<uint32_t>(s.number) == list[i]) name = s.name;
        install(static_cast<int>(list[i]), name);
    }
    KOVA_LOG(kova::log::kInfo, "signal init with list(%s).", text);
    auto_install_dump_stack_signal();
    installed.store(1, std::memory_order_release);
}

extern "C" int32_t kova_thread_signal_flag_get(void) { return installed.load(std::memory_order_acquire); }
extern "C" int32_t is_dump_stack_enabled(void) { return installed.load(std::memory_order_acquire) == 1 ? 0 : -1; }

extern "C" void auto_install_dump_stack_signal(void)
{
    learn_thread_start();
    if (task_track_installed.exchange(true)) return;
    install(KOVA_SIG_LOG_DUMP, "SIGTASKTRACK");
}

extern "C" void kova_thread_set_coredump_on(void) { coredump_flag.store(1); }
extern "C" void kova_thread_set_coredump_off(void) { coredump_flag.store(0); }
extern "C" int32_t kova_thread_coredump_flag_get(int32_t *flag)
{
    int value = coredump_flag.load();
    if (flag == nullptr || (value != 0 && value != 1)) return -1;
    *flag = value;
    return 0;
}

extern "C" void kova_dump_stack_ext(void **buffer, int32_t capacity, int32_t skip)
{
    int local = 0;
    kovalog_original("<%d>Start dump stack from 0x%lx", tid(), reinterpret_cast<unsigned long>(&local));
    if (buffer == nullptr || capacity <= 0) return;
    int depth = backtrace(buffer, capacity);
    for (int i = skip > 0 ? skip + 1 : 1; i < depth; ++i) {
        auto address = reinterpret_cast<std::uint64_t>(buffer[i]);
        kova_symbol_info_s sym;
        if (resolve(address, sym))
            kovalog_original("<%d>%s%p func=%s+0x%lx file=%s ", tid(), " ", buffer[i], sym.name,
                             static_cast<unsigned long>(address - sym.start), sym.file);
        else
            kovalog_original("<%d>%s%p func=%s+0x%lx file=%s ", tid(), " ", buffer[i], "NULL",
                             static_cast<unsigned long>(address), "NULL");
    }
}

extern "C" void kova_dump_stack_skip(int32_t skip)
{
    void *buffer[kBacktraceEntries];
    kova_dump_stack_ext(buffer, kBacktraceEntries, skip);
}

extern "C" void kova_dump_stack(void) { kova_dump_stack_skip(0); }

extern "C" void kova_thread_dump_stack(void)
{
    ucontext_t context;
    getcontext(&context);
    kova::arch::MachineRegs regs = kova::arch::machine_regs(&context);
    int local = 0;
    kovalog_original("<%d>Start dump stack RIP=0x%lx RSP=0x%lx RBP=0x%lx CUR=0x%lx", tid(), regs.pc, regs.sp,
                     regs.r[29], reinterpret_cast<unsigned long>(&local));
    void *buffer[kBacktraceEntries];
    kova_dump_stack_ext(buffer, kBacktraceEntries, 1);
}

extern "C" void kova_thread_dump_sync_stack(int32_t, int32_t signal, uint64_t sp, uint64_t fp)
{
    bounded_dump("sync", signal, sp, fp, true);
}

extern "C" void kova_thread_dump_exit_stack(uint64_t sp, uint64_t fp) { bounded_dump("exit", 0, sp, fp, false); }

extern "C" void kova_thread_dump_full_stack(int32_t signal, uint64_t sp, int32_t, uint64_t low, uint64_t high)
{
    if (!fatal(signal)) return;
    std::uint64_t start = ((sp - kBelowSp > low && sp > kBelowSp ? sp - kBelowSp : low) + 7) & ~7ull;
    std::uint64_t end = start + kWindow < high ? start + kWindow : high;
    if (end < start + 32) return;
    dump_words(start, end, false);
}

extern "C" void kova_thread_dump_broken_stack(int32_t signal, int32_t)
{
    std::uint64_t low = 0, high = 0;
    if (!fatal(signal) || kova_thrd_getosstack(&low, &high) != 0) return;
    kovalog_original("<%d>Try to dump OS stack, start(0x%0llx) end(0x%0llx):", tid(), static_cast<unsigned long long>(low),
                     static_cast<unsigned long long>(high));
    dump_words(low, high, true);
}

extern "C" void kova_thread_dump_current_stack(int32_t signal, void *context)
{
    kova::arch::MachineRegs regs = kova::arch::machine_regs(static_cast<ucontext_t *>(context));
    kovalog_original("<%d>Critical fault: pid=%d, tid=%d, thrd=%s, sig = [%d], %s", tid(), static_cast<int>(getpid()),
                     tid(), kova_thrd_getname(), signal, name_of(signal));
    for (int i = 0; i < 31; ++i) {
        char name[8] = {'R', static_cast<char>('0' + (i >= 10 ? i / 10 : i)), static_cast<char>(i >= 10 ? '0' + i % 10 : 0)};
        kova_symbol_info_s sym;
        if (resolve(regs.r[i], sym))
            kovalog_original("<%d>%8s: %08x%08x %s+0x%lx", tid(), name, static_cast<unsigned>(regs.r[i] >> 32),
                             static_cast<unsigned>(regs.r[i]), sym.name, static_cast<unsigned long>(regs.r[i] - sym.start));
        else
            kovalog_original("<%d>%8s: %08x%08x", tid(), name, static_cast<unsigned>(regs.r[i] >> 32),
                             static_cast<unsigned>(regs.r[i]));
    }
    kova_symbol_info_s sym;
    if (resolve(regs.pc, sym)) {
        unsigned long code_word;  // instructions need not be word-aligned
        __builtin_memcpy(&code_word, reinterpret_cast<const void *>(regs.pc), sizeof code_word);
        kovalog_original("<%d>%s%p value=0x%lx func=%s+0x%lx file=%s ", tid(), "RIP=", reinterpret_cast<void *>(regs.pc),
                         code_word, sym.name, static_cast<unsigned long>(regs.pc - sym.start), sym.file);
    } else {
        kovalog_original("<%d>%s%p func=%s+0x%lx file=%s ", tid(), "RIP=", reinterpret_cast<void *>(regs.pc), "NULL",
                         static_cast<unsigned long>(regs.pc), "NULL");
    }
    kova_thread_dump_sync_stack(tid(), signal, regs.sp, regs.r[29]);
}

extern "C" void kova_thread_dump_thread_stack(int32_t) { kovalog_original("<%d>Async dump stack is not support.", tid()); }

extern "C" void dump_thread_stack_sig(int32_t pid, int32_t target)
{
    auto_install_dump_stack_signal();
    kovalog_original("<%d>Show task context by signal ...: pid=%d, tid=%d.", tid(), pid, target);
    errno = 0;
    long ret = syscall(SYS_tgkill, pid, target, KOVA_SIG_LOG_DUMP);
    kovalog_original("<%d>SYS_tgkill Show task context by signal end ...: pid=%d, tid=%d, ret=%ld, errno=%d.", tid(), pid,
                     target, ret, errno);
}

extern "C" int32_t kova_signal_exit_notify(int32_t signal, void *info, void *context)
{
    kova::arch::MachineRegs regs = kova::arch::machine_regs(static_cast<ucontext_t *>(context));
    return kova_exception_call_chain(0, info, &regs, 0, 0, static_cast<uint32_t>(signal));
}

extern "C" void kova_thread_exit_callback(void)
{
    KOVA_LOG(kova::log::kError, "exit_callback!");
    kova_thread_dump_stack();
}

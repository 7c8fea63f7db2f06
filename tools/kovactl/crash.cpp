#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "commands.h"
#include "kova/kova.h"

namespace kovactl {
namespace {

volatile std::uintptr_t bad_address = 16;
volatile int zero = 0;

void overflow_stack()
{
    volatile char pad[1024];
    pad[0] = 1;
    if (bad_address != 0) overflow_stack();
    pad[1] = pad[0];
}

__attribute__((no_sanitize("undefined"))) void divide_by_zero()
{
    volatile int quotient = 1 / zero;  // traps on x86_64
    (void)quotient;
    raise(SIGFPE);  // aarch64 integer division does not trap
}

struct Crash {
    const char *name;
    int signal;
    void (*fault)();
};

constexpr Crash kCrashes[] = {
    {"segv", SIGSEGV, [] { *reinterpret_cast<volatile int *>(bad_address) = 1; }},
    {"abort", SIGABRT, [] { std::abort(); }},
    {"fpe", SIGFPE, divide_by_zero},
    {"stack", SIGSEGV, overflow_stack},
};

// The child: the fault handler installed with symbols loaded, then the fault on a library thread.
// Its log, where the handler writes the dump, goes to `log_fd`; it leaves no core file.
[[noreturn]] void run_child(const Crash &crash, int log_fd)
{
    dup2(log_fd, STDERR_FILENO);
    prctl(PR_SET_DUMPABLE, 0);
    kova_symbol_init_sync();
    kova_exception_init();
    pthread_t thread;
    auto faulting = [](void *arg) -> void * {
        kova_thrd_setname("crash_%s", static_cast<const Crash *>(arg)->name);
        static_cast<const Crash *>(arg)->fault();
        return nullptr;
    };
    if (kova_thrd_create(faulting, const_cast<Crash *>(&crash), &thread) != 0) _exit(1);
    for (;;) pause();
}

// Relays the child's log lines to standard output; true when they hold the fault handler's dump.
bool relay_log(int fd)
{
    FILE *in = fdopen(fd, "r");
    if (in == nullptr) return false;
    bool dumped = false;
    char *line = nullptr;
    std::size_t capacity = 0;
    while (getline(&line, &capacity, in) != -1) {
        dumped = dumped || std::strstr(line, "Critical fault:") != nullptr;
        std::fputs(line, stdout);
    }
    std::free(line);
    std::fclose(in);
    return dumped;
}

int run_crash(int argc, char **argv)
{
    const Crash *crash = nullptr;
    for (const Crash &c : kCrashes)
        if (argc == 1 && std::strcmp(argv[0], c.name) == 0) crash = &c;
    if (crash == nullptr) return usage_error();
    int log[2];
    if (pipe(log) != 0) {
        std::perror("kovactl crash: pipe");
        return 1;
    }
    std::fflush(nullptr);
    pid_t child = fork();
    if (child < 0) {
        std::perror("kovactl crash: fork");
        return 1;
    }
    if (child == 0) {
        close(log[0]);
        run_child(*crash, log[1]);
    }
    close(log[1]);
    bool dumped = relay_log(log[0]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0)
        if (errno != EINTR) return 1;
    if (WIFSIGNALED(status))
        std::printf("child %d died by signal %d (SIG%s)\n", static_cast<int>(child), WTERMSIG(status),
                    sigabbrev_np(WTERMSIG(status)));
    else
        std::printf("child %d exited with status %d\n", static_cast<int>(child), WEXITSTATUS(status));
    return dumped && WIFSIGNALED(status) && WTERMSIG(status) == crash->signal ? 0 : 1;
}

}  // namespace

KOVACTL_COMMAND("crash", "run a child that faults on a library thread and show the dump its fault handler left", run_crash,
                "segv | abort | fpe | stack",
                "  segv   a store to an unmapped address\n"
                "  abort  abort()\n"
                "  fpe    an integer division by zero (raised as SIGFPE where division does not trap)\n"
                "  stack  unbounded recursion; the handler runs on the thread's alternate stack\n\n"
                "The child installs the fault handler, loads the symbol index and faults on a library thread. "
                "Its log lines (the registers, the frame walk and the raw stack words) are copied to standard "
                "output, followed by the signal the child died by. The child leaves no core file.",
                "0 when the child logged a dump and died by the expected signal, 1 otherwise, 2 for a usage error.");

}  // namespace kovactl

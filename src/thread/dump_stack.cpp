#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "init/kova_log.h"
#include "kova/kova_signal.h"
#include "kova/kova_thrd.h"
#include "platform/bounded.h"
#include "platform/paths.h"

KOVA_LOG_SOURCE("thread/kova_dump_stack")

extern "C" {
char g_tag_buf[64] = "dump_time:";
}

namespace {

constexpr std::uint32_t kPlatformModule = 999;
constexpr int kMaxFrames = 128;

std::atomic<bool> installed{false};
std::mutex install_lock;
char process_name[32];

// The dump file's path up to the thread id, prepared outside the handler: building it needs the
// path seam's lock, which a signal handler must not take.
char path_prefix[PATH_MAX];

void prepare_path_prefix()
{
    kova::platform::ProductPath directory("/var/log/dr/block-stack-");
    kova::sec::sprintf_s(path_prefix, sizeof path_prefix, "%s%s-", directory.c_str(), process_name);
}

// Appends the decimal text of `value` at `out`; returns the new end. Async-signal-safe.
char *append_decimal(char *out, const char *end, long value)
{
    char digits[24];
    int n = 0;
    unsigned long magnitude = value < 0 ? 0ul - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
    do {
        digits[n++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0 && out < end) *out++ = '-';
    while (n > 0 && out < end) *out++ = digits[--n];
    return out;
}

void write_text(int fd, const char *text)
{
    std::size_t len = std::strlen(text);
    while (len > 0) {
        ssize_t n = write(fd, text, len);
        if (n <= 0) return;
        text += n;
        len -= static_cast<std::size_t>(n);
    }
}

void file_dump_handler(int)
{
    int saved_errno = errno;
    void *frames[kMaxFrames];
    int depth = backtrace(frames, kMaxFrames);

    char path[PATH_MAX];
    // The tag and the path prefix are written by requesting threads without a lock (a torn tag is
    // acceptable in a dump); they are copied outside the race detector's view rather than passed
    // as shared memory to write(2).
    std::size_t prefix_len = kova::sec::copy_unobserved(path, sizeof path - 24, path_prefix);
    char tag[sizeof g_tag_buf];
    kova::sec::copy_unobserved(tag, sizeof tag, g_tag_buf);
    char *end = append_decimal(path + prefix_len, path + sizeof path - 1, syscall(SYS_gettid));
    *end = '\0';

    int fd = open(path, O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0700);
    if (fd >= 0) {
        write_text(fd, "---");
        write_text(fd, tag);
        write_text(fd, "---\n");
        backtrace_symbols_fd(frames, depth, fd);
        close(fd);
    }
    errno = saved_errno;
}

}  // namespace

extern "C" void dump_signal_init(void)
{
    if (installed.load(std::memory_order_acquire)) return;
    std::lock_guard guard(install_lock);
    if (installed.load(std::memory_order_relaxed)) return;
    void *warm_up[1];
    backtrace(warm_up, 1);  // loads the unwinder now rather than inside the handler
    kova_get_process_name(process_name, sizeof process_name);
    prepare_path_prefix();
    struct sigaction action {};
    action.sa_handler = file_dump_handler;
    sigemptyset(&action.sa_mask);
    sigaction(KOVA_SIG_FILE_DUMP, &action, nullptr);
    installed.store(true, std::memory_order_release);
}

extern "C" void dump_thread_stack_sig_roc(int32_t pid, int32_t tid)
{
    dump_signal_init();
    std::snprintf(g_tag_buf, sizeof g_tag_buf, "dump_time:%ld\n", static_cast<long>(std::time(nullptr)));
    prepare_path_prefix();
    KOVA_LOG_FOR_MODULE(kPlatformModule, __func__, kova::log::kInfo, "Show backtrace pid=%d, tid=%d, %s", pid,
                        tid, g_tag_buf);
    errno = 0;
    long ret = syscall(SYS_tgkill, pid, tid, KOVA_SIG_FILE_DUMP);
    KOVA_LOG_FOR_MODULE(kPlatformModule, __func__, kova::log::kInfo,
                        "Show backtrace pid=%d, tid=%d, ret=%ld, errno=%d.", pid, tid, ret, errno);
}

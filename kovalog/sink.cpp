#include "sink.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>

namespace kovalog_internal {
namespace {

// Writers only ever use this one descriptor number; switching the output dup()s the new file
// onto it, so a writer racing a switch writes to the old or the new file, never a stale number.
std::atomic<int> output_fd{STDERR_FILENO};
std::atomic<bool> output_is_file{false};
std::mutex output_switch;

int switch_output(int new_fd, bool is_file)
{
    std::lock_guard guard(output_switch);
    int current = output_fd.load();
    if (current == STDERR_FILENO) {
        if (!is_file) return 0;
        output_fd.store(new_fd);
    } else {
        if (dup3(new_fd, current, O_CLOEXEC) < 0) return -1;
        if (new_fd != STDERR_FILENO) close(new_fd);
    }
    output_is_file.store(is_file);
    return 0;
}

}  // namespace

void sink_write(const char *text, std::size_t len)
{
    int fd = output_fd.load(std::memory_order_acquire);
    while (len > 0) {
        ssize_t n = write(fd, text, len);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        text += n;
        len -= static_cast<std::size_t>(n);
    }
}

}  // namespace kovalog_internal

using namespace kovalog_internal;

extern "C" int kovalog_init(const char *path, int default_level)
{
    if (default_level < 0 || default_level > 7) return -1;
    if (path != nullptr) {
        int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd < 0) return -1;
        if (switch_output(fd, true) != 0) {
            close(fd);
            return -1;
        }
    } else if (switch_output(STDERR_FILENO, false) != 0) {
        return -1;
    }
    reset_levels();
    for (unsigned m = 0; m < KOVALOG_MODULE_MAX; ++m) kovalog_loglevel_set(m, default_level);
    return 0;
}

extern "C" int kovalog_destroy(void)
{
    switch_output(STDERR_FILENO, false);
    reset_levels();
    reset_ratelimits();
    reset_callbacks();
    return 0;
}

extern "C" int kovalog_flush_signal_safe(void)
{
    if (output_is_file.load()) fdatasync(output_fd.load());
    return 0;
}

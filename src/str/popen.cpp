#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "init/kova_log.h"
#include "kova/kova_str.h"
#include "str/child_table.h"
#include "str/spawn.h"

KOVA_LOG_SOURCE("str/kova_str_common")

namespace {

void close_keeping_errno(int fd)
{
    int saved = errno;
    close(fd);
    errno = saved;
}

// pipe, child, fdopen: the stream and the child's id in *pid, or null with nothing left
// behind (no descriptor, no unreaped child).
FILE *open_child_stream(const char *command, const char *mode, pid_t *pid, const char *caller)
{
    if (command == nullptr || mode == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    // Close-on-exec keeps every other child from holding this pipe open: a writer's child
    // would otherwise never see end of input while another child lives.
    int pdes[2];
    if (pipe2(pdes, O_CLOEXEC) != 0) return nullptr;
    bool reading = mode[0] == 'r';
    kova::str::ChildRedirect redirect;
    redirect.child_end = reading ? pdes[1] : pdes[0];
    redirect.parent_end = reading ? pdes[0] : pdes[1];
    redirect.target = reading ? STDOUT_FILENO : STDIN_FILENO;

    pid_t child = kova::str::start_shell(command, redirect);
    if (child < 0) {
        close_keeping_errno(pdes[0]);
        close_keeping_errno(pdes[1]);
        return nullptr;
    }
    close(redirect.child_end);
    FILE *stream = fdopen(redirect.parent_end, mode);
    if (stream == nullptr) {
        int error = errno;
        KOVA_LOG_AS(caller, kova::log::kInfo, "Iop is NULL, modes:(%s), pdes[0]=(%d), pdes[1]=(%d), errno:(%d).",
                    mode, pdes[0], pdes[1], error);
        close(redirect.parent_end);
        kova::str::wait_child(child);
        errno = error;
        return nullptr;
    }
    *pid = child;
    return stream;
}

}  // namespace

extern "C" FILE *kova_popen(const char *command, const char *mode)
{
    if (kova_ismodevalid(mode) != 0) {
        errno = EINVAL;
        return nullptr;
    }
    if (!kova::str::child_table_ready()) return nullptr;
    pid_t child = 0;
    FILE *stream = open_child_stream(command, mode, &child, __func__);
    if (stream == nullptr) return nullptr;
    // A descriptor beyond the table (the limit was raised after it was made) could never be
    // closed by kova_pclose: refuse the stream rather than lose its child.
    if (!kova::str::child_table_record(fileno(stream), child)) {
        fclose(stream);
        kova::str::wait_child(child);
        errno = EMFILE;
        return nullptr;
    }
    return stream;
}

extern "C" FILE *kova_popen_with_pid(const char *command, const char *mode, pid_t *pid)
{
    if (pid == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    return open_child_stream(command, mode, pid, __func__);
}

extern "C" int kova_pclose(FILE *stream)
{
    if (stream == nullptr) return -1;
    pid_t child = kova::str::child_table_take(fileno(stream));
    if (child <= 0) return -1;
    fclose(stream);

    // An interrupt from the terminal reaches the child; the caller should not die of it while
    // it waits for that child's status.
    sigset_t blocked;
    sigset_t saved;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGQUIT);
    sigaddset(&blocked, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &blocked, &saved);
    int status = kova::str::wait_child(child);
    int error = errno;
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    errno = error;
    return status;
}

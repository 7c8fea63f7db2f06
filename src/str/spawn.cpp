#include "str/spawn.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "platform/commands.h"

namespace kova::str {
namespace {

// Runs in the child, possibly one sharing the parent's memory: system calls only.
inline void place_child_end(const ChildRedirect &redirect)
{
    if (redirect.child_end < 0) return;
    close(redirect.parent_end);
    if (redirect.child_end != redirect.target) {
        dup2(redirect.child_end, redirect.target);
        close(redirect.child_end);
    } else {
        // Pipes are created close-on-exec; an end already in place must survive the exec.
        fcntl(redirect.child_end, F_SETFD, 0);
    }
}

// vfork keeps the cost of a start independent of the parent's size: no page tables are
// copied. Kept this small because the child borrows this very stack frame until it execs.
[[gnu::noinline]] pid_t vfork_shell(const char *command, const ChildRedirect &redirect)
{
    pid_t pid = vfork();
    if (pid == 0) {
        place_child_end(redirect);
        execl("/bin/sh", "sh", "-c", command, static_cast<char *>(nullptr));
        _exit(127);
    }
    return pid;
}

void write_all(int fd, const char *data, std::size_t length)
{
    while (length > 0) {
        ssize_t written = write(fd, data, length);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        data += written;
        length -= static_cast<std::size_t>(written);
    }
}

// An answered command still runs as a child, so descriptors and waiting are the real ones.
// fork, not vfork: this child writes before it exits.
pid_t fork_canned(const kova::platform::CannedCommand &canned, const ChildRedirect &redirect)
{
    pid_t pid = fork();
    if (pid == 0) {
        place_child_end(redirect);
        if (redirect.target == STDIN_FILENO) {
            char sink[512];
            for (;;) {
                ssize_t got = read(STDIN_FILENO, sink, sizeof sink);
                if (got == 0 || (got < 0 && errno != EINTR)) break;
            }
        } else {
            write_all(STDOUT_FILENO, canned.output.data(), canned.output.size());
        }
        _exit(canned.exit_code);
    }
    return pid;
}

}  // namespace

pid_t start_shell(const char *command, const ChildRedirect &redirect)
{
    kova::platform::CannedCommand canned;
    if (!kova::platform::intercept_command(command, canned)) return vfork_shell(command, redirect);
    if (canned.spawn_fails) {
        errno = EAGAIN;
        return -1;
    }
    return fork_canned(canned, redirect);
}

int wait_child(pid_t pid)
{
    int status = 0;
    pid_t reaped;
    do {
        reaped = waitpid(pid, &status, 0);
    } while (reaped < 0 && errno == EINTR);
    return reaped == pid ? status : -1;
}

}  // namespace kova::str

// Starting /bin/sh -c for the runners, through the command seam, and waiting for it.
#pragma once

#include <sys/types.h>

namespace kova::str {

// Where the child's end of a pipe goes: `child_end` becomes descriptor `target` (0 or 1) and
// the parent's end `parent_end` is closed in the child. child_end < 0: no pipe.
struct ChildRedirect {
    int child_end = -1;
    int target = -1;
    int parent_end = -1;
};

// Starts `sh -c command` (or the interceptor's answer) with `redirect` applied in the child.
// The child's id, or -1 with errno set when no child could be started.
pid_t start_shell(const char *command, const ChildRedirect &redirect);

// waitpid(pid) repeated on EINTR: the raw status, or -1.
int wait_child(pid_t pid);

}  // namespace kova::str

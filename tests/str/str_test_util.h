// Observations shared by the command runner tests: what a stream says, which descriptors are
// open, whether any child is left.
#pragma once

#include <dirent.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

namespace kova::test {

inline std::string read_all(std::FILE *stream)
{
    std::string text;
    char chunk[256];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, stream)) > 0) text.append(chunk, got);
    return text;
}

inline std::set<int> open_fds()
{
    std::set<int> fds;
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr) return fds;
    while (dirent *entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        int fd = std::atoi(entry->d_name);
        if (fd != dirfd(dir)) fds.insert(fd);
    }
    closedir(dir);
    return fds;
}

// True when a child of this process exists (a finished one is reaped by the look).
inline bool child_left()
{
    int status;
    return !(waitpid(-1, &status, WNOHANG) == -1 && errno == ECHILD);
}

inline int exit_code(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1000; }

}  // namespace kova::test

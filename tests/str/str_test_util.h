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
#include <utility>

#include <gtest/gtest.h>

#include "kova/kova_str.h"
#include "support/command_intercept.h"
#include "support/log_capture.h"

namespace kova::test {

inline std::string read_all(std::FILE *stream)
{
    std::string text;
    char chunk[256];
    std::size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, stream)) > 0) text.append(chunk, got);
    return text;
}

// A read stream's whole output and what `close` returns for it; {"no stream", -1} when it did not open.
using Ran = std::pair<std::string, int>;
inline Ran drain(std::FILE *stream, int (*close)(std::FILE *))
{
    if (stream == nullptr) return {"no stream", -1};
    std::string text = read_all(stream);
    return {text, close(stream)};
}

// Writes `payload` into a write stream and closes it: the close's result, -1 when the stream did
// not open, -2 after a short write.
inline int feed(std::FILE *stream, const std::string &payload, int (*close)(std::FILE *))
{
    if (stream == nullptr) return -1;
    bool whole = std::fwrite(payload.data(), 1, payload.size(), stream) == payload.size();
    int result = close(stream);
    return whole ? result : -2;
}

// The wait status of child `pid`, -1 when it cannot be reaped.
inline int reap(pid_t pid)
{
    int status = -1;
    return waitpid(pid, &status, 0) == pid ? status : -1;
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


}  // namespace kova::test

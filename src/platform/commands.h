// The command seam: a test installs an interceptor that sees every command string the shell
// runners are asked to run and may answer it instead of /bin/sh. An answered command still
// runs as a child process (which writes the canned output and exits with the canned code), so
// the runners' descriptors, child table and waiting are exercised exactly as in production.
#pragma once

#include <functional>
#include <string>

namespace kova::platform {

struct CannedCommand {
    int exit_code = 0;
    std::string output;
    bool spawn_fails = false;  // the runner behaves as if the process could not be started
};

// Returns true to answer `command` with `result`, false to let it run for real.
using CommandInterceptor = std::function<bool(const char *command, CannedCommand &result)>;

// An empty interceptor restores the real shell.
void set_command_interceptor(CommandInterceptor interceptor);

// True when an interceptor answered the command.
bool intercept_command(const char *command, CannedCommand &result);

}  // namespace kova::platform

// The guard every test program runs under: commands that would run a product script or change
// the machine (reboot, clock, hardware clock, zone, interfaces, caches) never reach the shell,
// even from a test that did not expect the library to run a command. They get exit code 127.
#pragma once

#include "platform/commands.h"

namespace kova::test {

// True (with `result` filled) when `command` is refused.
bool guard_command(const char *command, kova::platform::CannedCommand &result);

// Installs the guard as the command interceptor (the state between CommandIntercept fixtures).
void install_command_guard();

}  // namespace kova::test

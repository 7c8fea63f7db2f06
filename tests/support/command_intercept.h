// Intercepts the library's shell commands: every command string is recorded, and answered by
// the first rule whose pattern it starts with (exit code and output), or by the default
// answer (exit 0, no output). Nothing reaches /bin/sh while the fixture lives, unless
// pass_through() lets unmatched commands run for real.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/commands.h"

namespace kova::test {

class CommandIntercept {
public:
    CommandIntercept();
    ~CommandIntercept();
    CommandIntercept(const CommandIntercept &) = delete;
    CommandIntercept &operator=(const CommandIntercept &) = delete;

    // Commands beginning with `prefix` exit with `exit_code` after writing `output`.
    void answer(const std::string &prefix, int exit_code, const std::string &output = "");
    // Commands beginning with `prefix` cannot be started (as if vfork failed).
    void fail_spawn(const std::string &prefix);
    // Unmatched commands run for real instead of getting the default answer.
    void pass_through();

    std::vector<std::string> commands() const;

private:
    struct Rule {
        std::string prefix;
        kova::platform::CannedCommand result;
    };
    bool on_command(const char *command, kova::platform::CannedCommand &result);

    mutable std::mutex lock_;
    std::vector<Rule> rules_;
    std::vector<std::string> commands_;
    bool pass_through_ = false;
};

}  // namespace kova::test

#include "support/command_intercept.h"

#include "support/command_guard.h"

namespace kova::test {

CommandIntercept::CommandIntercept()
{
    kova::platform::set_command_interceptor(
        [this](const char *command, kova::platform::CannedCommand &result) { return on_command(command, result); });
}

CommandIntercept::~CommandIntercept() { install_command_guard(); }

void CommandIntercept::answer(const std::string &prefix, int exit_code, const std::string &output)
{
    std::lock_guard guard(lock_);
    rules_.push_back({prefix, {exit_code, output, false}});
}

void CommandIntercept::fail_spawn(const std::string &prefix)
{
    std::lock_guard guard(lock_);
    rules_.push_back({prefix, {0, "", true}});
}

void CommandIntercept::pass_through()
{
    std::lock_guard guard(lock_);
    pass_through_ = true;
}

std::vector<std::string> CommandIntercept::commands() const
{
    std::lock_guard guard(lock_);
    return commands_;
}

bool CommandIntercept::on_command(const char *command, kova::platform::CannedCommand &result)
{
    std::lock_guard guard(lock_);
    std::string text = command != nullptr ? command : "";
    commands_.push_back(text);
    for (const Rule &rule : rules_) {
        if (text.compare(0, rule.prefix.size(), rule.prefix) == 0) {
            result = rule.result;
            return true;
        }
    }
    if (pass_through_) return guard_command(command, result);
    result = {};
    return true;
}

}  // namespace kova::test

#include "platform/commands.h"

#include <atomic>
#include <memory>
#include <mutex>

namespace kova::platform {
namespace {
std::atomic<bool> installed{false};
std::mutex lock;
std::shared_ptr<CommandInterceptor> current;
}  // namespace

void set_command_interceptor(CommandInterceptor interceptor)
{
    std::lock_guard guard(lock);
    current = interceptor ? std::make_shared<CommandInterceptor>(std::move(interceptor)) : nullptr;
    installed.store(current != nullptr);
}

bool intercept_command(const char *command, CannedCommand &result)
{
    if (!installed.load(std::memory_order_relaxed)) return false;
    std::shared_ptr<CommandInterceptor> interceptor;
    {
        std::lock_guard guard(lock);
        interceptor = current;
    }
    return interceptor != nullptr && (*interceptor)(command, result);
}

}  // namespace kova::platform

#include <cerrno>

#include "kova/kova_str.h"
#include "str/spawn.h"

extern "C" int kova_system(const char *command)
{
    if (command == nullptr) return -EINVAL;
    pid_t child = kova::str::start_shell(command, kova::str::ChildRedirect{});
    if (child < 0) return -1;
    return kova::str::wait_child(child);
}

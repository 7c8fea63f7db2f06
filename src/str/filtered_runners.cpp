#include <sys/wait.h>

#include <cerrno>
#include <cstdlib>

#include "kova/kova_str.h"
#include "platform/commands.h"

extern "C" FILE *kova_popen_s(const char *command, const char *mode, const char *allowed)
{
    if (command == nullptr || isDangerousCmd(command, allowed) != 0) return nullptr;
    return kova_popen(command, mode);
}

extern "C" FILE *kova_popen_s_with_pid(const char *command, const char *mode, const char *allowed, pid_t *pid)
{
    if (command == nullptr || pid == nullptr || kova_ismodevalid(mode) != 0 ||
        isDangerousCmd(command, allowed) != 0)
        return nullptr;
    return kova_popen_with_pid(command, mode, pid);
}

extern "C" int kova_cmd_exec(const char *command)
{
    if (command == nullptr) return -EINVAL;
    return kova_system(command);
}

extern "C" int kova_system_s(const char *command, const char *allowed)
{
    if (command == nullptr) return -EINVAL;
    if (isDangerousCmd(command, allowed) != 0) return KOVA_ERR_DANGEROUS_CMD;
    return kova_system(command);
}

extern "C" FILE *popen_s(const char *command, const char *mode, const char *allowed)
{
    if (command == nullptr || isDangerousCmd(command, allowed) != 0 || kova_ismodevalid(mode) != 0) return nullptr;
    return popen(command, mode);
}

extern "C" int system_s(const char *command, const char *allowed)
{
    if (command == nullptr) return -EINVAL;
    if (isDangerousCmd(command, allowed) != 0) return KOVA_ERR_DANGEROUS_CMD;
    kova::platform::CannedCommand canned;
    if (kova::platform::intercept_command(command, canned)) return canned.spawn_fails ? -1 : W_EXITCODE(canned.exit_code, 0);
    return system(command);
}

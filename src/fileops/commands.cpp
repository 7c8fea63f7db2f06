// The file-management commands: each builds one shell command in a fresh buffer and runs it
// through the metacharacter filter.
#include <cerrno>
#include <cstring>

#include "init/kova_log.h"
#include "kova/kova_fileops.h"
#include "kova/kova_str.h"
#include "mem/alloc.h"
#include "platform/bounded.h"

KOVA_LOG_SOURCE("fileops/kova_fileops")

using kova::log::kError;

namespace {

bool too_long(const char *path) { return strnlen(path, KOVA_CMD_PATH_MAX) >= KOVA_CMD_PATH_MAX; }

struct Command {
    const char *function;
    const char *alloc_message;
    const char *allowed;
};

// One limiter per command function (Site), as each keeps its own formatting-failure state.
template <int Site, typename... Args>
int run_command(const Command &command, const char *format, Args... args)
{
    static kova::log::RateLimiter limiter;
    auto *text = static_cast<char *>(KOVA_ALLOC(KOVA_CMD_BUF_SIZE));
    if (text == nullptr) {
        KOVA_LOG_AS(command.function, kError, "%s", command.alloc_message);
        return -ENOMEM;
    }
    std::memset(text, 0, KOVA_CMD_BUF_SIZE);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    int length = kova::sec::sprintf_s(text, KOVA_CMD_BUF_SIZE, format, args...);
#pragma GCC diagnostic pop
    if (length < 0) {
        if (kovalog_level_check(KOVA_MODULE_ID, kError) == 0 &&
            limiter.admit(kError, kova_log_source, command.function, __LINE__))
            KOVA_LOG_AS(command.function, kError, "sprintf_s secure function failed, destMax<%lu>.",
                        static_cast<unsigned long>(KOVA_CMD_BUF_SIZE));
        KOVA_FREE(text);
        return -EINVAL;
    }
    int result = kova_system_s(text, command.allowed);
    if (result != 0) KOVA_LOG_AS(command.function, kError, "Execute cmd(%s) Fail(%d)", text, result);
    KOVA_FREE(text);
    return result;
}

}  // namespace

extern "C" int kova_cmd_cp(const char *src, const char *dest)
{
    if (src == nullptr || dest == nullptr) {
        KOVA_LOG(kError, "SrcFile or DestFile is NULL.");
        return -EINVAL;
    }
    if (too_long(src) || too_long(dest)) {
        KOVA_LOG(kError, "File Path is too Long, pSrcFile: (%s), pDestFile: (%s)", src, dest);
        return -ENAMETOOLONG;
    }
    return run_command<0>({__func__, "AllocCmd is NULL", ""}, "cp -af %s %s", src, dest);
}

extern "C" int kova_cmd_rm(const char *path)
{
    if (path == nullptr) {
        KOVA_LOG(kError, "Param is NULL.");
        return -EINVAL;
    }
    if (too_long(path)) {
        KOVA_LOG(kError, "File path too long pSrcFile = %s", path);
        return -ENAMETOOLONG;
    }
    return run_command<1>({__func__, "allocCmd is NULL", ""}, "rm -rf %s", path);
}

extern "C" int kova_cmd_tar(const char *archive, const char *dir_or_src, int32_t extract)
{
    if (archive == nullptr || dir_or_src == nullptr) {
        KOVA_LOG(kError, "Param is NULL.");
        return -EINVAL;
    }
    if (too_long(archive) || too_long(dir_or_src)) {
        KOVA_LOG(kError, "File path too long pSrcFile = %s,pDir = %s", archive, dir_or_src);
        return -ENAMETOOLONG;
    }
    return run_command<2>({__func__, "allocCmd is NULL", ""}, extract != 0 ? "tar -xzf %s -C %s" : "tar -czf %s %s",
                          archive, dir_or_src);
}

extern "C" int kova_cmd_touch(const char *path)
{
    if (path == nullptr) {
        KOVA_LOG(kError, "File is NULL.");
        return -EINVAL;
    }
    if (too_long(path)) {
        KOVA_LOG(kError, "File path:(%s) is too long.", path);
        return -ENAMETOOLONG;
    }
    return run_command<3>({__func__, "AllocCmd is NULL", ""}, "touch %s", path);
}

extern "C" int kova_cmd_mv(const char *src, const char *dest)
{
    if (src == nullptr || dest == nullptr) {
        KOVA_LOG(kError, "Param is NULL.");
        return -EINVAL;
    }
    if (too_long(src) || too_long(dest)) {
        KOVA_LOG(kError, "File path too long pSrcFile = %s, pDestFile = %s", src, dest);
        return -ENAMETOOLONG;
    }
    return run_command<4>({__func__, "allocCmd is NULL", ""}, "mv %s %s", src, dest);
}

extern "C" int kova_cmd_mkdir(const char *path)
{
    if (path == nullptr) {
        KOVA_LOG(kError, "Param is NULL.");
        return -EINVAL;
    }
    if (too_long(path)) {
        KOVA_LOG(kError, "File path too long pFile = %s", path);
        return -ENAMETOOLONG;
    }
    if (isDangerousCmd(path, "") != 0) {
        KOVA_LOG(kError, "Param error: pFile(%s) is dangerous.", path);
        return -EINVAL;
    }
    return run_command<5>({__func__, "allocCmd is NULL", "&>"}, "mkdir -p %s &>/dev/null", path);
}

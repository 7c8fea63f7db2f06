// The bay configuration reader: the platform script answers one key through a per-process file.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "init/kova_log.h"
#include "kova/kova_cfg.h"
#include "kova/kova_fileops.h"
#include "kova/kova_str.h"
#include "platform/bounded.h"
#include "platform/paths.h"

KOVA_LOG_SOURCE("socket/kova_socket_add")

using kova::log::kError;

namespace {

constexpr std::size_t kTextSize = 256;

bool format(char (&out)[kTextSize], const char *pattern, auto... args)
{
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    if (kova::sec::snprintf_s(out, kTextSize, kTextSize - 1, pattern, args...) >= 0) return true;
#pragma GCC diagnostic pop
    KOVA_LOG_AS("kova_get_bay_config_keyvalue", kError, "snprintf_s secure function failed, destMax<%d>, count<%d>.",
                static_cast<int>(kTextSize), static_cast<int>(kTextSize - 1));
    return false;
}

void remove_answer(const char *remove_command)
{
    kova_system_s(remove_command, "");
}

}  // namespace

extern "C" int get_bay_config_keyvalue_param_check(const char *key, const char *buf)
{
    if (key == nullptr || buf == nullptr) {
        KOVA_LOG(kError, "Param error: null pointer, keySegment(%p), prefix_addr(%p) .", static_cast<const void *>(key),
                 static_cast<const void *>(buf));
        return -EINVAL;
    }
    if (key[0] == '\0') {
        KOVA_LOG(kError, "Para1 is \\0.");
        return -1;
    }
    if (isDangerousCmd(key, "") != 0) {
        KOVA_LOG(kError, "Param error: keySegment(%s) is dangerous.", key);
        return -EINVAL;
    }
    return 0;
}

extern "C" int kova_get_bay_config_keyvalue(const char *key, char *buf, uint32_t size)
{
    int checked = get_bay_config_keyvalue_param_check(key, buf);
    if (checked != 0) return checked;
    if (size == 0) return -1;
    char answer_name[kTextSize], command[kTextSize], remove_command[kTextSize];
    if (!format(answer_name, "/tmp/bay_cfg_segment_%u.conf", static_cast<unsigned>(getpid()))) return -1;
    kova::platform::ProductPath answer(answer_name);
    kova::platform::ProductPath script("/ZPR/script/os_get_bay_config_segment.sh");
    if (!format(command, "%s %s >%s 2>/dev/null", script.c_str(), key, answer.c_str()) ||
        !format(remove_command, "rm -rf %s", answer.c_str()))
        return -1;
    if (kova_system_s(command, ">") != 0) {
        KOVA_LOG(kError, "Can not get the file(/ZPR/conf/bay_config.ini).");
        return -1;
    }
    int fd = kova_open(answer.c_str(), O_RDONLY | O_CLOEXEC, 0400);
    if (fd < 0) {
        KOVA_LOG(kError, "Can not open the file %s(%d).", answer.c_str(), fd);
        return -1;
    }
    kova_lseek(fd, 0, SEEK_SET);
    int32_t limit = size > INT32_MAX ? INT32_MAX : static_cast<int32_t>(size);
    buf[0] = '\0';
    bool got = kova_readline(fd, buf, limit) != nullptr;
    kova_close(fd);
    if (!got) {
        KOVA_LOG(kError, "Can not get the value of %s, value is %s.", key, buf);
        remove_answer(remove_command);
        return -1;
    }
    std::size_t length = std::strlen(buf);
    if (length > 0 && buf[length - 1] == '\n') buf[length - 1] = '\0';
    remove_answer(remove_command);
    return 0;
}

// The output-capturing shell runner of the time-zone family: the command's exit status comes
// back on the last line, after the marker "retshell", so that one pipe carries both.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "init/kova_log.h"
#include "kova/kova_str.h"
#include "kova/kova_timezone.h"
#include "platform/bounded.h"
#include "time/tz_internal.h"

KOVA_LOG_SOURCE("time/kova_timeutil")

namespace {

constexpr int kTooLong = -7;
constexpr std::size_t kWrapOverhead = 43;  // the longest wrapping adds 43 characters
constexpr char kMarker[] = "retshell";
constexpr std::size_t kWrappedBuffer = kova::tz::kShellBuffer + 1;  // 256 characters and the NUL

}  // namespace

extern "C" {

int kova_filter_special_character(const char *text)
{
    if (text == nullptr) return -1;
    return std::strpbrk(text, "|;<$&>`\\!\n") == nullptr ? 0 : -1;
}

int time_popen_complete_cmd(const char *command, const char *out, char *wrapped)
{
    if (command == nullptr || wrapped == nullptr) return -1;
    if (std::strlen(command) + kWrapOverhead > kova::tz::kShellBuffer) return kTooLong;
    const char *format = out == nullptr                       ? "%s 2>/dev/stdout 1>/dev/null; echo retshell$?"
                         : std::strchr(command, '&') != nullptr ? "`%s`; echo retshell$?"
                                                              : "%s; echo retshell$?";
    return kova::sec::sprintf_s(wrapped, kWrappedBuffer, format, command) < 0 ? -1 : 0;
}

int read_cmd_shell(const char *command, char *out, uint32_t size, const char *wrapped)
{
    const char *shown = command != nullptr ? command : "";
    std::fflush(nullptr);
    FILE *stream = kova_popen_s(wrapped, "r", "&`$;>");
    if (stream == nullptr) {
        KOVA_LOG(kova::log::kError, "Open command file (%s) failed.", shown);
        return -1;
    }
    int result = -1;
    int error_lines = 0;
    std::size_t total = 0;
    char line[kova::tz::kShellBuffer];
    while (std::fgets(line, sizeof line, stream) != nullptr) {
        if (const char *marker = std::strstr(line, kMarker); marker != nullptr) {
            int status = static_cast<int>(std::strtol(marker + sizeof kMarker - 1, nullptr, 10));
            if (out == nullptr && error_lines > 0) {
                KOVA_LOG(kova::log::kError, "Execute shell failed, flags is %d.", error_lines);
            } else {
                result = status;
            }
            break;
        }
        if (out == nullptr) {
            ++error_lines;
            continue;
        }
        std::size_t length = std::strlen(line);
        if (total + length >= size) {
            KOVA_LOG(kova::log::kError, "The length of output beyond %d.", static_cast<int>(size));
            continue;
        }
        total += length;
        std::size_t limit = size < kova::tz::kShellBuffer ? size : kova::tz::kShellBuffer;
        if (int ret = kova::sec::strcat_s(out, limit, line); ret != 0)
            KOVA_LOG(kova::log::kError, "strcat_s secure function failed, ret<%d>, destMax<%lu>.", ret,
                     static_cast<unsigned long>(kova::tz::kShellBuffer));
    }
    if (kova_pclose(stream) == -1) KOVA_LOG(kova::log::kError, "Close command file (%s) failed.", shown);
    return result;
}

int time_popen_shell(const char *command, char *out, uint32_t size)
{
    if (isDangerousCmd(command, "") != 0) {
        KOVA_LOG(kova::log::kError, "Param error: pscCmd(%s) is dangerous.", command != nullptr ? command : "");
        return -1;
    }
    char wrapped[kWrappedBuffer];
    if (int ret = time_popen_complete_cmd(command, out, wrapped); ret != 0) {
        if (ret == kTooLong) KOVA_LOG(kova::log::kError, "The input shell command string is too long.");
        return ret;
    }
    if (out != nullptr && size > 0) out[0] = '\0';
    return read_cmd_shell(command, out, size, wrapped);
}

}  // extern "C"

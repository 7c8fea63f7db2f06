#include <sys/time.h>
#include <time.h>

#include <cstdio>
#include <cstring>

#include "signal_safe_format.h"
#include "sink.h"

using namespace kovalog_internal;

namespace {

const char level_letter[] = "EACEWNID";  // emergency alert critical error warning notice info debug

// File and function names longer than this are cut in the written line (the callbacks see
// them whole), so that the message text always has its room after the prefix.
constexpr int kNameMax = 255;

// Returns the prefix's length, at most cap - 1.
std::size_t format_prefix(char *buf, std::size_t cap, unsigned module, int level, const char *file,
                          int line, const char *function)
{
    timeval tv{};
    gettimeofday(&tv, nullptr);
    tm local{};
    localtime_r(&tv.tv_sec, &local);
    char letter = (level >= 0 && level <= 7) ? level_letter[level] : '?';
    int n = std::snprintf(buf, cap, "%04d-%02d-%02d %02d:%02d:%02d.%06ld [%u] %c %.*s:%d %.*s: ",
                          local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                          local.tm_min, local.tm_sec, static_cast<long>(tv.tv_usec), module, letter,
                          kNameMax, file, line, kNameMax, function);
    if (n < 0) return 0;
    return static_cast<std::size_t>(n) < cap ? static_cast<std::size_t>(n) : cap - 1;
}

// Writes `body` (already formatted) as a raw line and shows it to the callbacks.
int emit_raw(char *body, std::size_t len, bool add_line_feed)
{
    kovalog_message_s message{0, -1, "", 0, "", KOVALOG_MSG_RAW, body};
    deliver_to_callbacks(message);
    if (add_line_feed && (len == 0 || body[len - 1] != '\n')) {
        body[len++] = '\n';  // the buffer always keeps one byte spare for this
    }
    sink_write(body, len);
    return static_cast<int>(len);
}

}  // namespace

extern "C" void kovalog(uint32_t module, int level, const char *file, int line, const char *function,
                        uint32_t, const char *format, ...)
{
    if (!ratelimit_admit(module)) return;
    if (file == nullptr) file = "";
    if (function == nullptr) function = "";
    char text[KOVALOG_MESSAGE_MAX];
    text[0] = '\0';
    if (format != nullptr) {
        va_list args;
        va_start(args, format);
        std::vsnprintf(text, sizeof text, format, args);
        va_end(args);
    }
    kovalog_message_s message{module, level, file, line, function, 0, text};
    deliver_to_callbacks(message);

    char out[KOVALOG_MESSAGE_MAX + 2 * kNameMax + 128];
    // The prefix gets all but one byte at most, so the room left for the text and the line feed
    // is never negative.
    std::size_t len = format_prefix(out, sizeof out - 1, module, level, file, line, function);
    std::size_t body = std::strlen(text);
    if (body > sizeof out - 1 - len) body = sizeof out - 1 - len;
    std::memcpy(out + len, text, body);
    len += body;
    if (len == 0 || out[len - 1] != '\n') out[len++] = '\n';
    sink_write(out, len);
}

extern "C" int kovalog_original(const char *format, ...)
{
    char text[KOVALOG_MESSAGE_MAX + 1];
    va_list args;
    va_start(args, format);
    std::size_t len = format_signal_safe(text, KOVALOG_MESSAGE_MAX, format, args);
    va_end(args);
    return emit_raw(text, len, true);
}

extern "C" int kovalog_vraw(const char *format, va_list args)
{
    char text[KOVALOG_MESSAGE_MAX + 1];
    std::size_t len = format_signal_safe(text, KOVALOG_MESSAGE_MAX, format, args);
    return emit_raw(text, len, false);
}

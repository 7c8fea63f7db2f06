/**
 * @file
 * kovalog: the platform logging library.
 *
 * Messages carry a 16-bit module id and a level (0 emergency .. 7 debug, lower is more
 * severe). Each module has its own threshold; a message is written when its level is at or
 * below the module's threshold. Output goes to standard error until kovalog_init names a file.
 *
 * Every message that is written is also handed to the registered content callbacks, in slot
 * order, with the formatted text. Raw lines (kovalog_original, kovalog_vraw) reach the
 * callbacks too, marked KOVALOG_MSG_RAW; they may come from a signal handler.
 *
 * Rate limiting: every module belongs to a rate-limit group (today the group id is the module
 * id). kovalog_ratelimit_set caps a group at `burst` messages per `interval_ms`; messages over
 * the cap are dropped and counted, and the count is reported once the next window opens.
 *
 * All functions may be called before kovalog_init and from any thread. kovalog_original,
 * kovalog_vraw and kovalog_flush_signal_safe are async-signal-safe: they format with an
 * internal formatter (no allocation, no locale) and write with write(2).
 *
 * A message logged from inside a content callback is written but not handed to the callbacks
 * again. A callback may replace slots, its own included, and may call kovalog_destroy.
 */
#ifndef KOVALOG_KOVALOG_H
#define KOVALOG_KOVALOG_H

#include <stdarg.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/** Marks a name libkovalog exports. */
#define KOVALOG_API __attribute__((visibility("default")))

#define KOVALOG_MODULE_MAX 1024u     /**< module ids 0..1023 have levels of their own */
#define KOVALOG_DEFAULT_LEVEL 6      /**< threshold of every module until set */
#define KOVALOG_CALLBACK_SLOTS 8u /**< content callback slots */
#define KOVALOG_MESSAGE_MAX 2048u    /**< longer messages are cut */

#define KOVALOG_MSG_RAW 0x1u         /**< the message came from a raw writer: no module, no level */

/** One message as the content callbacks see it; every pointer is valid during the call only. */
typedef struct kovalog_message_s {
    uint32_t module; /**< the module id the message was logged under; 0 for raw lines */
    int32_t level;            /**< -1 for raw lines */
    const char *file;         /**< "" for raw lines */
    int32_t line; /**< the source line; 0 for raw lines */
    const char *function;     /**< "" for raw lines */
    uint32_t flags;           /**< KOVALOG_MSG_RAW or 0 */
    const char *text;         /**< the formatted text, no trailing line feed added */
} kovalog_message_s;

/** A content callback: sees every message written, on the writing thread. */
typedef void (*kovalog_content_fn)(const kovalog_message_s *message);

/** A content callback registration: `slot` (0..KOVALOG_CALLBACK_SLOTS-1) chooses the slot,
 * `callback` replaces what the slot held; a null callback empties the slot. */
typedef struct kovalog_content_callback_s {
    uint32_t slot; /**< the slot to fill or empty */
    kovalog_content_fn callback; /**< the callback; null empties the slot */
} kovalog_content_callback_s;

/** Starts logging to `path` (appended, created 0644) or, for a null path, to standard error,
 * and sets every module's threshold to `default_level` (0..7). Returns 0, -1 for a bad level
 * or a file that cannot be opened (output then stays where it was). Calling it again switches
 * the output. */
KOVALOG_API int kovalog_init(const char *path, int default_level);

/** Closes a log file (output returns to standard error), resets thresholds and rate limits to
 * their defaults and empties the callback slots. Returns 0. */
KOVALOG_API int kovalog_destroy(void);

/** 0 when a message of `module` at `level` would be written, 1 when not. Cheap: one load. */
KOVALOG_API int kovalog_level_check(uint32_t module, int level);

/** Writes one message: timestamp, module, level, file:line, function and the formatted text.
 * `flags` is reserved (0). Tolerates every null pointer. */
KOVALOG_API void kovalog(uint32_t module, int level, const char *file, int line,
                         const char *function, uint32_t flags, const char *format, ...)
    __attribute__((format(printf, 7, 8)));

/** Raw line, no module and no level; a line feed is added if the text lacks one.
 * Async-signal-safe. Returns the number of characters written, or -1. The text is what
 * snprintf would make of the format in a buffer of KOVALOG_MESSAGE_MAX bytes: every conversion
 * (d i u o x X c s p f F e E g G a A %), the flags - + space # 0, widths and precisions, '*'
 * included, and the length modifiers hh h l ll j z t L. Differences: %n takes its argument and
 * writes nothing; %lc and %ls print characters outside ASCII as '?'; a width or precision too
 * large for snprintf (which fails) fills the line instead; the floating-point conversions round
 * to nearest whatever the rounding mode, and need about 5 KB of stack for a long double. */
KOVALOG_API int kovalog_original(const char *format, ...) __attribute__((format(printf, 1, 2)));

/** kovalog_original with an argument list, written as is (no line feed added). */
KOVALOG_API int kovalog_vraw(const char *format, va_list args) __attribute__((format(printf, 1, 0)));

/** Output is written through unbuffered write(2) calls, so nothing is ever held back; this
 * syncs a log file to its device. Async-signal-safe. Returns 0. */
KOVALOG_API int kovalog_flush_signal_safe(void);

/** Threshold of one module (module id below KOVALOG_MODULE_MAX, level 0..7): 0 or -1. */
KOVALOG_API int kovalog_loglevel_set(uint32_t module, int level);
/** Threshold of one module, or -1 for an unknown module. */
KOVALOG_API int kovalog_loglevel_get(uint32_t module);

/** Fills a callback slot from `registration` (copied); -1 for null or a bad slot. Returns once
 * the calls of the slot's old callback running on other threads have returned, so what the old
 * callback used may then be freed. */
KOVALOG_API int kovalog_register_content_callback(const kovalog_content_callback_s *registration);

/** Rate-limit group of a module, or -1 for an unknown module. */
KOVALOG_API int kovalog_get_group_id(uint32_t module);

/** At most `burst` messages of `group` in every window of `interval_ms`; burst 0 lifts the
 * limit. 0, or -1 for an unknown group or an interval of 0 with a non-zero burst. */
KOVALOG_API int kovalog_ratelimit_set(int group, uint32_t burst, uint32_t interval_ms);

#ifdef __cplusplus
}
#endif

#endif

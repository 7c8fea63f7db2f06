/**
 * @file
 * Last-resort actions: a raw printk, panic, and the node's reboot requests. Each reboot runs
 * "reboot -f" through kova_system_s; nothing in the process is shut down first. printk and the
 * reboot requests' lines go through the raw log writer, so they work from a signal handler and
 * while the process is dying (the command itself forks a shell, which is not signal-safe).
 */
#ifndef KOVA_KOVA_REBOOT_H
#define KOVA_KOVA_REBOOT_H

#include "kova_types.h"

KOVA_EXTERN_C_BEGIN

/** Writes the formatted text as a raw log line, as is (no line feed added): the number of
 * characters written, or -1. Async-signal-safe. */
KOVA_API int printk(const char *format, ...) __attribute__((format(printf, 1, 2)));
/** Logs "Panic info = <message>" (the message cut at 255 characters) and reboots the node.
 * Returns only if the reboot command returns. */
KOVA_API void panic(const char *format, ...) __attribute__((format(printf, 1, 2)));
/** Writes "Usrspace reboot, reason:<reason>, pid:<pid> mes:<message>." and runs "reboot -f":
 * the command's status as kova_system_s gives it. */
KOVA_API int32_t kova_Reboot(uint64_t reason, uint32_t pid, const char *message);
/** Writes "Usrspace reboot." and runs "reboot -f". Returns 0. */
KOVA_API int32_t kova_ResetLocalBoard(void);
/** Not kept on this platform: logs so at level 7 and returns 0. */
KOVA_API int32_t kova_get_reboot_count(void);

KOVA_EXTERN_C_END

#endif

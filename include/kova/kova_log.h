/**
 * @file
 * Logging facade, module names and the process version stamp.
 *
 * The facade forwards to the platform logging library (kovalog/kovalog.h) unchanged. The
 * library never initialises logging itself; a process may call kova_log_init before or after
 * kova_Init, and messages written before it go to standard error.
 */
#ifndef KOVA_KOVA_LOG_H
#define KOVA_KOVA_LOG_H

#include <kovalog/kovalog.h>

#include "kova_types.h"

KOVA_EXTERN_C_BEGIN

/** kovalog_init: output to `path` (null: standard error), every module's threshold set. */
KOVA_API int kova_log_init(const char *path, int default_level);
/** kovalog_destroy. */
KOVA_API int kova_log_destroy(void);
/** kovalog_loglevel_set: threshold (0..7) of one module. */
KOVA_API int kova_log_level_set(uint32_t module, int level);
/** kovalog_loglevel_get: threshold of one module, -1 for an unknown one. */
KOVA_API int kova_log_level_get(uint32_t module);
/** kovalog_ratelimit_set on the rate-limit group of `module` (kovalog_get_group_id). */
KOVA_API int kova_ratelimit_set(uint32_t module, uint32_t burst, uint32_t interval_ms);
/** kovalog_register_content_callback; a null registration empties slot 0. */
KOVA_API int kova_log_register_callback(const kovalog_content_callback_s *registration);

#define KOVA_MODULE_NAME_SLOTS 1024u /**< module ids that can carry a name */

/** Fills the module-name registry once: every empty slot reads "NONE", then the built-in table
 * is applied (names set with kova_pid_set_name before the fill keep their slot unless the
 * table names that id). Idempotent; the first lookup or store does it too. */
KOVA_API void pid_init_names(void);
/** Empties the registry; the next lookup or store fills it again, dropping names set before. */
KOVA_API void pid_destroy_names(void);
/** Name of a module id: never null below 1024 ("NONE" when nothing names it). For ids of 1024
 * and above, "<n>" with n the low 16 bits, in one buffer shared by all threads that is valid
 * until the next such call. */
KOVA_API const char *kova_pid_get_name(uint32_t id);
/** Names a module id. The pointer is stored, not copied: the name must outlive its use.
 * Ignored for ids of 1024 and above and for a null name. */
KOVA_API void kova_pid_set_name(uint32_t id, const char *name);

/** A stamp of this process: CLOCK_MONOTONIC_RAW in nanoseconds at the first call, the same value
 * ever after (0 for the life of the process if the clock could not be read). */
KOVA_API uint64_t ps_get_version(void);

KOVA_EXTERN_C_END

#endif

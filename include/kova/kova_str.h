/**
 * @file
 * Safe command execution.
 *
 * kova_popen / kova_pclose / kova_system replace the C library's popen, pclose and system:
 * the shell (/bin/sh -c) is started with vfork, so starting it costs the same from a process
 * of any size. The _s forms refuse commands that contain a shell metacharacter
 * ( | ; & $ < > ! line-feed backquote ) unless the caller lists it in `allowed`. The filter
 * looks at characters only: a metacharacter inside quotes still counts.
 *
 * Programs linked with -Wl,--wrap=popen,--wrap=pclose,--wrap=system get kova_popen,
 * kova_pclose and kova_system for their plain calls.
 *
 * Wait statuses are returned raw, as waitpid stores them. The child inherits every descriptor
 * of the parent that is not close-on-exec. The pipes of kova_popen and kova_popen_with_pid are
 * close-on-exec on the caller's side, so no child holds another stream's pipe open.
 */
#ifndef KOVA_KOVA_STR_H
#define KOVA_KOVA_STR_H

#include <stdio.h>
#include <sys/types.h>

#include "kova_types.h"

KOVA_EXTERN_C_BEGIN

#define KOVA_ERR_DANGEROUS_CMD (-29) /**< a command refused for a shell metacharacter not allowed */

/** 0 for exactly "r" or "w", else -1 (also for null). */
KOVA_API int kova_ismodevalid(const char *mode);
/** 1 if *c is a shell metacharacter, else 0. */
KOVA_API int isBlackChar(const char *c);
/** 1 if `allowed` is non-empty and holds *c, else 0. */
KOVA_API int isWhiteChar(const char *c, const char *allowed);
/** 1 if the command holds a metacharacter that `allowed` does not list, else 0 (also for a
 * null or empty command). */
KOVA_API int isDangerousCmd(const char *command, const char *allowed);

/** Runs `command` with its standard output ("r") or input ("w") on the returned stream; null
 * for a null command, a bad mode or when pipe, vfork or fdopen fails. Close with kova_pclose. */
KOVA_API FILE *kova_popen(const char *command, const char *mode);
/** kova_popen unless the command is null or dangerous (then null). */
KOVA_API FILE *kova_popen_s(const char *command, const char *mode, const char *allowed);
/** As kova_popen but the child's id goes to *pid and the stream is not known to kova_pclose:
 * the caller fcloses it and waits for the child. The mode is not checked: its first character
 * 'r' reads, anything else writes, and fdopen judges the rest (null, logged, when it refuses). */
KOVA_API FILE *kova_popen_with_pid(const char *command, const char *mode, pid_t *pid);
/** kova_popen_with_pid unless the command or pid is null, the mode bad or the command dangerous. */
KOVA_API FILE *kova_popen_s_with_pid(const char *command, const char *mode, const char *allowed,
                                     pid_t *pid);
/** Closes a stream of kova_popen and waits for its child (SIGINT, SIGQUIT and SIGHUP blocked
 * meanwhile): the wait status, or -1 for a stream kova_popen did not open (left open). */
KOVA_API int kova_pclose(FILE *stream);
/** Runs the command and waits: the wait status (exit code 127 when the shell cannot run it),
 * -22 for null, -1 when vfork or waitpid fails. */
KOVA_API int kova_system(const char *command);
/** kova_system; -22 for null. */
KOVA_API int kova_cmd_exec(const char *command);
/** kova_system unless null (-22) or dangerous (-29). */
KOVA_API int kova_system_s(const char *command, const char *allowed);
/** The C library's popen unless the command is dangerous or the mode bad (then null). */
KOVA_API FILE *popen_s(const char *command, const char *mode, const char *allowed);
/** The C library's system unless null (-22) or dangerous (-29). */
KOVA_API int system_s(const char *command, const char *allowed);

/** A caller's veto for execv_s: non-zero allows the execution. */
typedef int (*kova_execv_check_fn)(const char *path, int argc, char *const argv[]);
/** execv(path, argv) unless path or argv is null (-22), an argument is dangerous (-29, logged
 * with its index) or `check` returns 0 (-29). Every argument up to the terminating null is
 * checked, whatever `argc` says (it is only passed on to `check`). Returns only on failure. */
KOVA_API int execv_s(const char *path, int argc, char *const argv[], const char *allowed,
                     kova_execv_check_fn check);

/** Target of -Wl,--wrap=popen (with --wrap=pclose and --wrap=system the program's plain calls
 * go through the library's runners): kova_popen. */
KOVA_API FILE *__wrap_popen(const char *command, const char *mode);
/** Target of --wrap=pclose: kova_pclose. */
KOVA_API int __wrap_pclose(FILE *stream);
/** Target of --wrap=system: kova_system. */
KOVA_API int __wrap_system(const char *command);

KOVA_EXTERN_C_END

#endif

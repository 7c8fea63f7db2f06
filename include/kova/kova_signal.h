/**
 * @file
 * Fault handling and stack dumps. One handler serves the fatal and the reporting signals: it
 * writes the thread's registers, its symbolised frame chain and the raw words of its stack
 * through the raw log writer (every line starting with "<tid>"), calls the exception chain and,
 * for a fatal signal, re-raises it with the default action. Everything the handler calls is
 * async-signal-safe: symbols come from lookups that only try the resolver's lock.
 *
 * Fatal: every installed signal but 12, 13, 14, 21, 22, 26, 27, 29 and 61, which only dump.
 * More than three nested handlers for non-fatal signals are cut off.
 */
#ifndef KOVA_KOVA_SIGNAL_H
#define KOVA_KOVA_SIGNAL_H

#include "kova_types.h"

KOVA_EXTERN_C_BEGIN

/** Signal that asks the receiving thread for a dump of its stack into its backtrace file. */
#define KOVA_SIG_FILE_DUMP 59
#define KOVA_SIG_LOG_DUMP 61 /**< "SIGTASKTRACK": a dump of the receiving thread into the log */

/** Text written at the top of every file dump; "dump_time:" initially. */
KOVA_API extern char g_tag_buf[64];

/** Reads the process name and installs the file-dump handler for signal 59: a thread that
 * receives it appends "---", the dump tag, "---" and its backtrace to
 * /var/log/dr/block-stack-\<process name\>-\<its kernel tid\>. */
KOVA_API void dump_signal_init(void);
/** Stamps the dump tag with the current time and sends signal 59 to thread `tid` of `pid`. */
KOVA_API void dump_thread_stack_sig_roc(int32_t pid, int32_t tid);

/** Once per process: starts the symbol resolver, registers the at-exit dump, ignores SIGHUP and
 * installs the fault handler (SA_SIGINFO | SA_ONSTACK | SA_RESTART) on signals 4, 6, 7, 8, 10-16,
 * 21, 22, 24-27, 29-31 and 61. */
KOVA_API void kova_thread_signal_init(void);
/** The same for the listed signals only (each named after the fixed table, else "SIGLIST"). */
KOVA_API void kova_thread_signal_init_with_list(const uint32_t *list, uint32_t count);
/** 1 once installed, else 0. */
KOVA_API int32_t kova_thread_signal_flag_get(void);
/** 0 once installed, else -1. */
KOVA_API int32_t is_dump_stack_enabled(void);
/** Installs the handler for signal 61 once. */
KOVA_API void auto_install_dump_stack_signal(void);
/** Sets the core-dump flag (1 initially) to 1; the flag is stored and reported only. */
KOVA_API void kova_thread_set_coredump_on(void);
/** Sets the core-dump flag to 0. */
KOVA_API void kova_thread_set_coredump_off(void);
/** Stores the core-dump flag in *flag: 0, or -1 for a null pointer. */
KOVA_API int32_t kova_thread_coredump_flag_get(int32_t *flag);

/** Symbolised backtrace of the caller into the log (up to 63 return addresses), its own frame
 * left out. */
KOVA_API void kova_dump_stack(void);
/** kova_dump_stack with `skip` + 1 frames left out (a skip of 0 or less leaves out one). */
KOVA_API void kova_dump_stack_skip(int32_t skip);
/** kova_dump_stack_skip into the caller's buffer of `capacity` entries; a null buffer or a
 * capacity below 1 logs only the start line. */
KOVA_API void kova_dump_stack_ext(void **buffer, int32_t capacity, int32_t skip);
/** The caller's program counter, stack and frame pointers, then kova_dump_stack_ext. */
KOVA_API void kova_thread_dump_stack(void);
/** Frame walk over the stack holding `sp`, and its raw words for fatal signals. */
KOVA_API void kova_thread_dump_sync_stack(int32_t tid, int32_t signal, uint64_t sp, uint64_t fp);
/** Frame walk over the stack holding `sp`, without raw words: the dump of a thread at exit. */
KOVA_API void kova_thread_dump_exit_stack(uint64_t sp, uint64_t fp);
/** Raw words from 1 KB below `sp` (at most 20 KB, within [low, high)); fatal signals only. */
KOVA_API void kova_thread_dump_full_stack(int32_t signal, uint64_t sp, int32_t tid, uint64_t low, uint64_t high);
/** The whole OS stack of the calling thread with the code addresses on it; fatal signals only. */
KOVA_API void kova_thread_dump_broken_stack(int32_t signal, int32_t tid);
/** Registers, program counter and frame walk of a machine context (ucontext_t *). */
KOVA_API void kova_thread_dump_current_stack(int32_t signal, void *context);
/** Writes that dumping another thread asynchronously is not supported. */
KOVA_API void kova_thread_dump_thread_stack(int32_t tid);
/** Makes thread `tid` of `pid` dump itself into the log through signal 61. */
KOVA_API void dump_thread_stack_sig(int32_t pid, int32_t tid);
/** Builds the register record of the context and calls the exception chain with it. */
KOVA_API int32_t kova_signal_exit_notify(int32_t signal, void *info, void *context);
/** The at-exit callback: logs "exit_callback!" and the caller's stack. */
KOVA_API void kova_thread_exit_callback(void);

KOVA_EXTERN_C_END

#endif

/*
 * Signal-driven stack dumps.
 */
#ifndef KOVA_KOVA_SIGNAL_H
#define KOVA_KOVA_SIGNAL_H

#include "kova_types.h"

KOVA_EXTERN_C_BEGIN

#define KOVA_SIG_FILE_DUMP 59

/* Text written at the top of every file dump; "dump_time:" initially. */
KOVA_API extern char g_tag_buf[64];

/* Reads the process name and installs the file-dump handler for signal 59: a thread that
 * receives it appends "---", the dump tag, "---" and its backtrace to
 * /var/log/dr/block-stack-<process name>-<its kernel tid>. */
KOVA_API void dump_signal_init(void);
/* Stamps the dump tag with the current time and sends signal 59 to thread `tid` of `pid`. */
KOVA_API void dump_thread_stack_sig_roc(int32_t pid, int32_t tid);

KOVA_EXTERN_C_END

#endif

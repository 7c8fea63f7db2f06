/* libkova: the whole public interface. */
#ifndef KOVA_KOVA_H
#define KOVA_KOVA_H

#include "kova_types.h"
#include "kova_affinity.h"
#include "kova_cfg.h"
#include "kova_avl.h"
#include "kova_bitops.h"
#include "kova_cpu.h"
#include "kova_cpumask.h"
#include "kova_crc32.h"
#include "kova_fileops.h"
#include "kova_list.h"
#include "kova_lock.h"
#include "kova_log.h"
#include "kova_mem.h"
#include "kova_rbtree.h"
#include "kova_sched.h"
#include "kova_shm.h"
#include "kova_signal.h"
#include "kova_str.h"
#include "kova_strutil.h"
#include "kova_thrd.h"
#include "kova_time.h"
#include "kova_timer.h"
#include "kova_timezone.h"

#endif

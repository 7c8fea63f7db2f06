/*
 * CPU counts.
 */
#ifndef KOVA_KOVA_CPUMASK_H
#define KOVA_KOVA_CPUMASK_H

#include "kova_types.h"

KOVA_EXTERN_C_BEGIN

#define KOVA_MAX_CPUS 512u

/* The configured CPU count; 0 until known. */
KOVA_API extern uint32_t g_configCpuNum;

/* The configured CPU count (sysconf), cached once it lies in 1..512; 0 when it cannot be had. */
KOVA_API uint32_t num_config_cpus(void);

KOVA_EXTERN_C_END

#endif

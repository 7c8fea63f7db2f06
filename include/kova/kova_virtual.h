/**
 * @file
 * Platform detection: physical or virtual machine.
 *
 * Found once per process (until it succeeds) from the first output line of
 * "systemd-detect-virt -v" (the virtualisation name: "none" on bare metal) and of
 * "cat /sys/class/dmi/id/product_name", both run through kova_popen_s with no metacharacters
 * allowed. A machine is virtual when the virtualisation name is anything but "none"/"None",
 * or when the product name is exactly "OpenStack Nova".
 */
#ifndef KOVA_KOVA_VIRTUAL_H
#define KOVA_KOVA_VIRTUAL_H

#include "kova_types.h"

KOVA_EXTERN_C_BEGIN

#define KOVA_MACHINE_PHYSICAL 0 /**< the process runs on a physical machine */
#define KOVA_MACHINE_VIRTUAL 1 /**< the process runs in a virtual machine */
#define KOVA_MACHINE_UNKNOWN (-1) /**< the kind of machine could not be told */

/** Runs `command` and copies the first line of its output (at most 127 bytes), cut at its first
 * non-printable character, into `output` of `size` bytes. 0; -1 when the command cannot be
 * started, prints nothing, or the line does not fit (each logged), or for a null argument. */
KOVA_API int kova_exec_systemd_detect_virt_inner(const char *command, char *output, uint32_t size);
/** Fills the process's platform record once: 0 when it is filled (now or earlier); -1 when a
 * command failed (a later call tries again). Thread-safe. */
KOVA_API int kova_exec_systemd_detect_virt(void);
/** KOVA_MACHINE_PHYSICAL, KOVA_MACHINE_VIRTUAL, or KOVA_MACHINE_UNKNOWN when detection fails. */
KOVA_API int kova_get_machine_type_inner(void);
/** kova_get_machine_type_inner, computed on first use and cached (an unknown result is not). */
KOVA_API int kova_get_machine_type(void);
/** The machine's name into `buffer` (at most size - 1 characters): the virtualisation name on a
 * physical machine and on most virtual ones, the product name "OpenStack Nova" where that is
 * the product, "Unknow machine" when detection fails. 0; -1 for a null buffer or size 0. */
KOVA_API int kova_get_virtual_machine_type(char *buffer, uint32_t size);

KOVA_EXTERN_C_END

#endif

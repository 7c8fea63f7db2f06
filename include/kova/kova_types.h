/**
 * @file
 * Common definitions of the libkova C interface.
 *
 * Every function returns an integer status (0 success, -1 general failure, or a negated Linux
 * error number where its header says so) or a pointer that is null on failure; none throws.
 */
#ifndef KOVA_KOVA_TYPES_H
#define KOVA_KOVA_TYPES_H

#include <stddef.h>
#include <stdint.h>

/** Marks a name the shared library exports. */
#define KOVA_API __attribute__((visibility("default")))

#ifdef __cplusplus
#define KOVA_EXTERN_C_BEGIN extern "C" {
#define KOVA_EXTERN_C_END }
#else
/** Opens C linkage for the declarations of a header when compiled as C++. */
#define KOVA_EXTERN_C_BEGIN
/** Closes what KOVA_EXTERN_C_BEGIN opened. */
#define KOVA_EXTERN_C_END
#endif

/** The library's own module id, under which it logs and accounts its memory. */
#define KOVA_MODULE_ID 381u

/** The printf-like output function that the "show" and "dump" diagnostics write through. */
typedef int (*kova_print_fn)(const char *format, ...);

#endif

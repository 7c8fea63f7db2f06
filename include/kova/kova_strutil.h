/**
 * @file
 * String utilities for configuration values and command output: unsigned-number checks and
 * conversions with hexadecimal support, character search, line-end stripping, lower-casing and
 * a tokenizer.
 *
 * kova_str_tok keeps its position in ONE process-wide pointer (not per thread): only one
 * tokenization may be in progress in the whole process at a time. Every other function is
 * reentrant.
 */
#ifndef KOVA_KOVA_STRUTIL_H
#define KOVA_KOVA_STRUTIL_H

#include "kova_types.h"

KOVA_EXTERN_C_BEGIN

/** 0 when the string is an unsigned number: after a "0x"/"0X" prefix only hexadecimal digits,
 * otherwise only decimal digits (an empty remainder counts, so "" and "0x" are numbers); -1 when
 * not; -22 for null. */
KOVA_API int kova_str_isuint(const char *str);
/** strtoull in base 16 after a "0x"/"0X" prefix, else in base 10 (blanks and a sign accepted as
 * strtoull accepts them). Null gives 0 (logged); a conversion error such as overflow is logged
 * and the saturated value returned. */
KOVA_API uint64_t kova_str_tou64(const char *str);
/** A leading '-' negates the conversion of the rest; otherwise kova_str_tou64. Null gives 0. */
KOVA_API int64_t kova_str_tos64(const char *str);
/** 0 and the index of the first `c` in *position; -1 when absent or the string is empty; -22 for a
 * null string or position. */
KOVA_API int kova_get_charpos(const char *str, char c, uint32_t *position);
/** Cuts the string at its first carriage return, then at its first line feed. */
KOVA_API void kova_filter_newlinesymbol(char *str);
/** Lower-cases every character in place (the locale's mapping). */
KOVA_API void kova_str_tolower(char *str);
/**
 * The next token of `str` (or, when `str` is null, of the string a previous call left off in),
 * delimited by any character of `delimiters`, which are overwritten with NUL. Returns null when
 * nothing is left or an argument is missing. A string that is empty or holds only delimiters
 * gives a pointer to an empty string.
 */
KOVA_API char *kova_str_tok(char *str, const char *delimiters);
/** The tokenizer's starting point: *str if set, else `saved` (stored into *str); null (logged)
 * when both are null or `delimiters` is null. */
KOVA_API char *check_parameter(char **str, char *saved, const char *delimiters);

KOVA_EXTERN_C_END

#endif

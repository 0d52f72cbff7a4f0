/*
 * Text helpers and the shared pseudo-random generator.
 *
 * Bounded copies and formatting always leave a terminated text. Counted
 * text: a length byte (0-255) followed by that many characters.
 * OSTypeString and quotestring return static buffers shared by all callers.
 */
#ifndef KIVO_STRUTIL_H
#define KIVO_STRUTIL_H

#include <stdarg.h>

#include "kivo/types.h"

KIVO_BEGIN_C

KIVO_EXPORT char *strncpy_zero(char *dst, const char *src, long size);
KIVO_EXPORT char *strncat_zero(char *dst, const char *src, long size);
KIVO_EXPORT int snprintf_zero(char *buffer, size_t count, const char *format, ...)
    KIVO_FORMAT(3, 4);
KIVO_EXPORT int vsnprintf_zero(char *buffer, size_t count, const char *format, va_list args);
/* A new copy, freed with freestring (or sysmem_freeptr). */
KIVO_EXPORT char *newstr(const char *s);
KIVO_EXPORT void freestring(char *s);
/* At most 199 characters to the platform's debug output. */
KIVO_EXPORT void debug_printf(const char *fmt, ...) KIVO_FORMAT(1, 2);

KIVO_EXPORT void ptoccpy(char *dst, const unsigned char *counted);
KIVO_EXPORT void ctopcpy(unsigned char *counted_dst, const char *src);
KIVO_EXPORT void pstrcpy(unsigned char *dst, const unsigned char *counted);

KIVO_EXPORT char char_tolower(char c);
KIVO_EXPORT char char_toupper(char c);
KIVO_EXPORT void lower_string(char *s);
KIVO_EXPORT void upper_string(char *s);
KIVO_EXPORT void debracket(char *s);
KIVO_EXPORT void truncate_zeros(char *s);
KIVO_EXPORT const char *OSTypeString(t_fourcc code);

KIVO_EXPORT char *quotestring(char *s);
/* dst must hold strlen(src) + 7 bytes. */
KIVO_EXPORT void quotestring_copy(const char *src, char *dst, long always);
/* A new text freed with sysmem_freeptr. */
KIVO_EXPORT char *sqlstring_escape(const char *s);

/* 1 when b is the later version, -1 when a is, else 0. */
KIVO_EXPORT long versioncmp(const char *a, const char *b);

KIVO_EXPORT void rand_setseed(t_atom_ulong seed);
KIVO_EXPORT long rerand(void);
KIVO_EXPORT int32_t ran1(int32_t *state);
KIVO_EXPORT int32_t ran2(int32_t *state);
/* The generator on caller-owned memory: table holds 32 entries. */
KIVO_EXPORT int32_t ran1s(int32_t *state, int32_t *table, int32_t *last);

KIVO_END_C

#endif

/*
 * The "string" class (nobox): a growable zero-terminated text, for quoted
 * JSON text and wherever a mutable text object is needed. Not locked: one
 * thread at a time, or guarded by its owner.
 */
#ifndef KIVO_STRINGOBJ_H
#define KIVO_STRINGOBJ_H

#include "kivo/object.h"

KIVO_BEGIN_C

/* Fields other modules may read: both. */
typedef struct string {
    t_object ob;
    char *text;          /* pointer block owned by the string, or null */
    t_atom_long size;    /* bytes of that block, at least strlen(text) + 1; 0 without text */
} t_string;

/* A copy of text (null gives a string without text). The caller owns the
   string (object_free). */
KIVO_EXPORT t_string *string_new(const char *text);
/* Owned by the string; valid until the string changes. */
KIVO_EXPORT const char *string_getptr(t_string *x);
KIVO_EXPORT void string_reserve(t_string *x, long numbytes);
KIVO_EXPORT void string_append(t_string *x, const char *s);
/* Answers the length minus numchars (negative when it exceeded the length). */
KIVO_EXPORT long string_chop(t_string *x, long numchars);

KIVO_END_C

#endif

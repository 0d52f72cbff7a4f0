/*
 * Regular expressions: the nobox class "kivopcre" holds one compiled
 * pattern (UTF-8, Perl syntax) and an optional substitution template.
 * "execute" finds every match in a subject text and answers them as atoms,
 * numbers already read as numbers, and, with a template, the subject with
 * every match replaced.
 *
 * Templates: "%N" (N > 0, read as strtol base 0 reads it) is group N, "%%"
 * a single "%", "%0" nothing; any other "%" stays as it is.
 *
 * Matching is bounded (match, depth and heap limits), so a pathological
 * pattern fails with a negative code instead of hanging its thread.
 *
 * Threads: an object is used by one thread at a time; separate objects
 * are independent.
 */
#ifndef KIVO_REGEXP_H
#define KIVO_REGEXP_H

#include "kivo/atomarray.h"
#include "kivo/stringobj.h"

KIVO_BEGIN_C

/* Fields other modules may read: none; the layout is fixed for externals. */
typedef struct kivopcre {
    t_object ob;
    void *code;               /* the compiled pattern (owned), or null */
    void *tables;             /* the character tables it was compiled with (owned), or null */
    t_string *substitution;   /* the template (owned), or null */
} t_kivopcre;

/* The constructor: compiles the pattern when given and sets the template
   when both are given. The caller owns the object (object_free). */
KIVO_EXPORT t_kivopcre *kivopcre_new(const char *pattern, const char *substitution);
KIVO_EXPORT void kivopcre_free(t_kivopcre *x);

/* "execute". *result receives, for each match, the whole match as one atom
   followed (when the pattern has groups) by an atom array of the groups;
   the array frees the objects it holds. When a template is set and
   substituted is non-null, *substituted receives the subject with each
   match replaced by the template. The caller frees both with object_free.
   0; a negative matching code (-1 when nothing matches); -1 without a
   pattern. Nothing is handed out unless the result is 0. */
KIVO_EXPORT long kivopcre_execute(t_kivopcre *x, const char *subject, t_atomarray **result,
                                  t_string **substituted);
/* "set": compiles the pattern and replaces the current one; after a
   compile error (posted) the previous pattern stays. */
KIVO_EXPORT void kivopcre_set_regex(t_kivopcre *x, const char *pattern);
/* "set_substitution_string": replaces the template (null removes it). */
KIVO_EXPORT void kivopcre_set_substitution_string(t_kivopcre *x, const char *substitution);

KIVO_END_C

#endif

/*
 * Posting: how every part of the system, and every external, reports text
 * to the user. Any thread may post. Each function formats into 2,048 bytes
 * (longer output is cut) and posts the text once, as one console row.
 *
 * Line kinds: 0 post, 1 error, 2 warning, 3 bug.
 */
#ifndef KIVO_POST_H
#define KIVO_POST_H

#include "kivo/atom.h"

KIVO_BEGIN_C

enum {
    POST_KIND_POST = 0,
    POST_KIND_ERROR = 1,
    POST_KIND_WARN = 2,
    POST_KIND_BUG = 3
};

/* Row flags of object_poststring. */
enum {
    POST_FLAG_NEWROW = 1,  /* close the pending text before this entry */
    POST_FLAG_TEXT = 2,    /* this entry's text joins the pending text */
    POST_FLAG_ENDROW = 4,  /* show the pending text now */
    POST_FLAG_NEWOBJ = 8,  /* new row when the speaking object differs */
    POST_FLAGS_ROW = 7
};

#define KIVO_POST_BUFSIZE 2048

KIVO_EXPORT void post(const char *fmt, ...) KIVO_FORMAT(1, 2);
/* Linked as kivo_error, since the C library has an error() of its own. */
KIVO_EXPORT void error(const char *fmt, ...) KIVO_LINKNAME(kivo_error) KIVO_FORMAT(1, 2);
KIVO_EXPORT void warn(const char *fmt, ...) KIVO_FORMAT(1, 2);
KIVO_EXPORT void bug(const char *fmt, ...) KIVO_FORMAT(1, 2);
/* To the system log only; the caller supplies the line feed. */
KIVO_EXPORT void cpost(const char *fmt, ...) KIVO_FORMAT(1, 2);

KIVO_EXPORT void object_post(t_object *x, const char *fmt, ...) KIVO_FORMAT(2, 3);
KIVO_EXPORT void object_error(t_object *x, const char *fmt, ...) KIVO_FORMAT(2, 3);
KIVO_EXPORT void object_warn(t_object *x, const char *fmt, ...) KIVO_FORMAT(2, 3);
KIVO_EXPORT void object_bug(t_object *x, const char *fmt, ...) KIVO_FORMAT(2, 3);

/* The one entry into the console; every function above ends here. */
KIVO_EXPORT void object_poststring(t_object *x, long kind, long flags, const char *text);
KIVO_EXPORT void poststring(const char *s);
KIVO_EXPORT void postatom(const t_atom *ap);

KIVO_EXPORT long errorcount_get(void);
KIVO_EXPORT void errorcount_set(long n);

/* Shown in the error bar of the object's patcher when it has one; else
   as object_error. */
KIVO_EXPORT void object_error_obtrusive(t_object *x, const char *fmt, ...) KIVO_FORMAT(2, 3);

/* Posts a lone newline, which shows nothing. */
KIVO_EXPORT void xsetpost(void);
/* Retired: reports a bug. */
KIVO_EXPORT void post_displayrecent(void);

/* Called by freeobject for an object that has posted: queued posts let go
   of it. */
KIVO_EXPORT void object_consolepurge(t_object *x);

/* Main thread. Show the console, creating it when needed; post_mayshow only
   when the preference "kivoatstartup" is on. */
KIVO_EXPORT void post_mayshow(void);
KIVO_EXPORT void post_shownew(void);
KIVO_EXPORT void post_show(void);
/* Called once at start-up; does nothing. */
KIVO_EXPORT void post_init(void);

KIVO_END_C

#endif

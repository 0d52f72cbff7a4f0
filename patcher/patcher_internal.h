/*
 * The patcher model as far as the kernel reaches it today: recognising an
 * object box and finding the object it holds; finding a patcher's top
 * patcher, its outlets-disabled flag and its window's error list.
 *
 * An object box is an object of a class named "newobj". A box class (see
 * kivo/jbox.h) holds its object in b_firstin; a "newobj" class that is not
 * a box class is read with the older record t_jbox_stub: the header, then
 * the held object. A patcher is any object of a class named "jpatcher"
 * whose record begins like t_jpatcher_stub.
 *
 * Used by: kernel/ (dispatch), tests. Includes only the kivo/ headers.
 */
#ifndef KIVO_PATCHER_PATCHER_INTERNAL_H
#define KIVO_PATCHER_PATCHER_INTERNAL_H

#include "kivo/jbox.h"
#include "kivo/object.h"

KIVO_BEGIN_C

typedef struct jbox_stub {
    t_object ob;
    t_object *b_object; /* the object held in the box, or null (borrowed) */
} t_jbox_stub;

/* True when the object's class is "newobj"; false for null. */
KIVO_INTERNAL long isnewex(t_object *x);
/* jbox_get_object (kivo/jbox.h): the object held in a box, or the box
   itself when it holds none; any other object is its own. */

typedef struct jpatcher_stub {
    t_object ob;
    t_object *toppatcher;   /* the top-level patcher containing it; null: itself (borrowed) */
    t_object *view;         /* its view, or null when it has none (borrowed) */
    unsigned char outlets_disabled; /* set on a stack overflow, cleared on dismissal */
    /* The one error shown in its window (with a view only). */
    t_object *error_owner;
    t_object *error_listener; /* receives "errordismissed" */
    t_symbol *error_text;
    void *error_param;
} t_jpatcher_stub;

/* The top-level patcher containing a patcher (itself at the top); null for
   an object that is not a patcher. */
KIVO_INTERNAL t_object *jpatcher_get_toppatcher(t_object *patcher);
/* The outlets-disabled flag; written by a sending thread, cleared on the
   main thread, read by sends on any thread. */
KIVO_INTERNAL long jpatcher_outlets_disabled(t_object *patcher);
KIVO_INTERNAL void jpatcher_set_outlets_disabled(t_object *patcher, long on);
/* Shows an error in the patcher's window: 1. Without a view, posts the text
   as an error on the owner and records nothing: 0. A text already shown is
   not added twice (1). */
KIVO_INTERNAL long jpatcher_error_obtrusive_owner(t_object *patcher, t_object *owner,
                                                  const char *text, t_object *listener,
                                                  void *param);
/* The user clears the shown error: its listener gets "errordismissed"
   (with the param) and the record goes. */
KIVO_INTERNAL void jpatcher_clear_obtrusiveerror(t_object *patcher, long index);

/* An attribute of exactly `n` numbers (at most 4 when setting); -1 for
   anything else, with `out` untouched. */
KIVO_INTERNAL t_kivo_err jpatcher_attr_getdoubles(t_object *o, t_symbol *name, long n, double *out);
KIVO_INTERNAL t_kivo_err jpatcher_attr_setdoubles(t_object *o, t_symbol *name, long n, const double *in);

KIVO_END_C

#endif

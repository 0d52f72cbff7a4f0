/*
 * Message dispatch: finding the method for a selector and calling it.
 *
 * Two calling forms exist. Word messages (object_method) pass up to eight
 * word-sized values to the method as they are and never post about an
 * unknown selector. Typed messages (typedmess, object_method_typed) carry a
 * count and atoms, which are checked against the method's declared argument
 * types, converted and padded with defaults; they post "doesn't
 * understand", "bad arguments" and "missing arguments" on the receiver.
 *
 * Receivers: objects of classes made with class_new (their message list
 * carries the class marker), objects of the video library ("VXM!" marker,
 * reached through its entry points) and objects of the older interface
 * (no marker). Dispatch takes no lock: class tables are read-only after
 * registration, and a method runs on the calling thread.
 *
 * Ownership: entries and functions returned here are borrowed from the
 * class (or the object's own method table) and live as long as it does.
 */
#ifndef KIVO_DISPATCH_H
#define KIVO_DISPATCH_H

#include "kivo/object.h"

KIVO_BEGIN_C

/* The object made last through the legacy object creator. */
KIVO_EXPORT extern t_object *g_kivo_newest;

/* Does nothing and returns 0; the answer where a function is required but
   none exists. */
KIVO_EXPORT void *nullfn(void *x);

/* ---- word messages */

/*
 * Sends a word message: up to eight word-sized arguments (pointers, symbols,
 * t_atom_long values) passed to the method as they are. The method's word
 * result, or 0 when nothing answers. Floats cannot travel this way; send
 * them as a typed message.
 *
 * The macro pads the call with null words, so that the function always
 * finds eight arguments to read.
 */
KIVO_EXPORT void *object_method(void *x, t_symbol *s, ...);
#define object_method(...) \
    (object_method)(__VA_ARGS__, (void *)0, (void *)0, (void *)0, (void *)0, (void *)0, \
                    (void *)0, (void *)0, (void *)0)
KIVO_EXPORT void *object_method_imp(void *x, t_symbol *s, void *p1, void *p2, void *p3, void *p4,
                                    void *p5, void *p6, void *p7, void *p8);

/* The function a word message would reach: method_false when none. */
KIVO_EXPORT method object_getmethod(void *x, t_symbol *s);
/* The same, but 0 instead of method_false. */
KIVO_EXPORT method my_object_getmethod(void *x, t_symbol *s);
/* For callers that cache a method: the function object_method would call,
   or nullfn. Attribute accessors and "getvalueof" are not handed out. */
KIVO_EXPORT method object_method_direct_getmethod(t_object *x, t_symbol *s);
/* The object that would receive the selector: x itself, or the target its
   "decorator" method names (null when it names none). */
KIVO_EXPORT t_object *object_method_direct_getobject(t_object *x, t_symbol *s);

/* ---- attribute routes of the dispatcher */

/*
 * The accessor for a selector naming an attribute: "name" asks for the
 * setter, "getname" for the getter (*get is then 1). Class attributes are
 * looked at first, then the object's own. *attr receives the attribute
 * (borrowed). 0 when the selector names no attribute, or when the class
 * answers no attribute messages (CLASS_FLAG_NOATTRIBUTES).
 */
KIVO_EXPORT method object_attr_method(t_object *x, t_symbol *methodname, t_object **attr,
                                      long *get);
/* The same among the class's attributes only. */
KIVO_EXPORT method class_attr_method(t_class *c, t_symbol *methodname, t_object **attr,
                                     long *get);
/* An attribute's value as atoms through its getter (and get filter), read
   from the object the class's "attr_gettarget" hook names; an object box
   without the attribute answers for the object it holds. The getter's
   result, or -1 when the object, the attribute or its getter is missing. Atoms the
   getter allocates (when *argc is 0 or *argv null on entry) belong to the
   caller, who frees them with sysmem_freeptr. */
KIVO_EXPORT t_kivo_err object_attr_getvalueof(t_object *x, t_symbol *attrname, long *argc,
                                              t_atom **argv);

/* ---- typed messages */

/* Looks up and calls; the method's result, or null after an error. */
KIVO_EXPORT void *typedmess(void *x, t_symbol *s, short argc, t_atom *argv);
/* The entry a typed message would call, or null after posting why. With
   nofallback set, no "anything" method and no registered-name route is
   tried. */
KIVO_EXPORT t_messlist *typedmess_lookup(void *x, t_symbol *s, long nofallback);
/* Checks the atoms against the entry's types, converts them and calls. */
KIVO_EXPORT void *typedmess_fun(void *x, t_messlist *m, t_symbol *s, short argc, t_atom *argv);
/*
 * Checks and converts argv against the entry's declared types into outv,
 * which must hold at least TYPEDMESS_MAXARGS atoms. 0 ok, -1 bad
 * arguments, -2 extra arguments (dropped; *outc counts the kept ones),
 * -3 missing arguments.
 */
#define TYPEDMESS_MAXARGS 10
KIVO_EXPORT long typedmess_checkandconverttypes(t_messlist *m, short argc, t_atom *argv,
                                                short *outc, t_atom *outv);

/*
 * A typed message for callers that want a code: 0 when a method was called
 * (also when it refused its arguments), the method's own result for
 * AT_GIMMEBACK methods (which also fill rv), -1 when nothing could be
 * called. A null selector is taken from a leading symbol atom, else "list".
 * rv may be null.
 */
KIVO_EXPORT t_kivo_err object_method_typed(void *x, t_symbol *s, long argc, t_atom *argv,
                                           t_atom *rv);
KIVO_EXPORT t_kivo_err object_method_typedfun(void *x, t_messlist *m, t_symbol *s, long argc,
                                              t_atom *argv, t_atom *rv);

/*
 * Call a function with the atoms as individual arguments: a double for each
 * float atom, a word for every other atom. Supported: any mix of up to four
 * atoms, and five to eight atoms that are all words. Other combinations
 * post "unknown argument combination" and return null. funcall calls a
 * constructor (no object argument); ob_funcall puts the object first.
 */
KIVO_EXPORT void *funcall(method fn, t_symbol *s, short argc, t_atom *argv);
KIVO_EXPORT void *ob_funcall(method fn, void *x, t_symbol *s, short argc, t_atom *argv);

/* ---- old-style lookups */

/* The method, or nullfn after posting "doesn't understand". */
KIVO_EXPORT method getfn(void *x, t_symbol *s);
/* The method, or nullfn silently. */
KIVO_EXPORT method egetfn(void *x, t_symbol *s);
/* The method, or 0 silently (nullfn for a corrupt object). */
KIVO_EXPORT method zgetfn(void *x, t_symbol *s);
/* The common part of the three: the method or 0. */
KIVO_EXPORT method getfn_shared(t_object *x, t_symbol *s);
/* The entry for the selector, by a walk from the object's message-list
   pointer; null when absent. */
KIVO_EXPORT t_messlist *getml(void *x, t_symbol *s);

/* ---- the video library */

/* True once the library object bound to "voxim" has given all twelve entry
   points; they are fetched once and kept. */
KIVO_EXPORT long obex_vxm_init(void);

KIVO_END_C

#endif

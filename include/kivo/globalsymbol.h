/*
 * Global symbols, symbol objects and symbol helpers.
 *
 * A global symbol publishes one object of a class under a name: objects of
 * that class bind and unbind themselves, clients reference (name, class)
 * before or after the binding and hear "globalsymbol_binding" and
 * "globalsymbol_unbinding" through their "notify" method, with the global
 * symbol as sender. A global symbol lives while it has references or a
 * bound object.
 *
 * A symbol object carries one symbol and two words of user data, for
 * keeping in lists and finding by symbol.
 */
#ifndef KIVO_GLOBALSYMBOL_H
#define KIVO_GLOBALSYMBOL_H

#include "kivo/object.h"

KIVO_BEGIN_C

typedef struct globalsymbol {
    t_object ob;
    t_symbol *name;      /* the published name */
    t_symbol *classname; /* the class of the objects that may be bound */
    t_atom_long refcount; /* outstanding client references */
    t_object *thing;     /* the bound object (not owned), or null */
} t_globalsymbol;

typedef struct symobject {
    t_object ob;
    t_symbol *symbol;
    t_ptr_int userdata1; /* free for the user; 0 at creation */
    t_ptr_int userdata2;
} t_symobject;

/* ---- global symbols; any thread. An empty or null name is refused. */

/* The object bound under (name, classname), or null; counts one reference
   and attaches the client, making the global symbol when missing. */
KIVO_EXPORT void *globalsymbol_reference(t_object *client, const char *name, const char *classname);
/* Drops one reference of the client and detaches it. */
KIVO_EXPORT void globalsymbol_dereference(t_object *client, const char *name, const char *classname);
/* Binds x under (name, x's class name), replacing another object of the
   class; 0, or -1. */
KIVO_EXPORT t_kivo_err globalsymbol_bind(t_object *x, const char *name);
/* Only the object bound under (name, x's class name) may unbind it. */
KIVO_EXPORT void globalsymbol_unbind(t_object *x, const char *name);
/* Sends message and data to every client of (name, x's class name). */
KIVO_EXPORT void globalsymbol_notify(t_object *x, const char *name, t_symbol *message, void *data);

/* Makes, registers and stores a global symbol with no references. */
KIVO_EXPORT t_globalsymbol *globalsymbol_new(t_symbol *name, t_symbol *classname, t_object *thing);
KIVO_EXPORT void globalsymbol_free(t_globalsymbol *x);
KIVO_EXPORT t_symbol *globalsymbol_getname(t_globalsymbol *x);

/* ---- symbol objects; the caller owns the new object */
KIVO_EXPORT t_symobject *symobject_new(t_symbol *sym);
KIVO_EXPORT long symobject_linklist_match(void *a, void *b);
KIVO_EXPORT void symobject_initclass(void);

/* ---- symbol helpers */

/* Sorts in place by symbol_compare; 0, or -1 (array unchanged). */
KIVO_EXPORT t_kivo_err symbolarray_sort(long ac, t_symbol **av);
/* Posts the symbol's name, taken literally, as a line attributed to x, on
   the main thread (deferred from other threads). */
KIVO_EXPORT void post_sym(void *x, t_symbol *s);
KIVO_EXPORT void error_sym(void *x, t_symbol *s);

KIVO_END_C

#endif

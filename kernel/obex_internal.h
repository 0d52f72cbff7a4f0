/*
 * Object-system internals shared by the kernel's class, object, store and
 * legacy modules and by their tests (not exported to externals).
 *
 * Used by: kernel/{class,classreg,object,obex,legacy,obexinit}.cpp,
 * runtime/ (objects with room: dictionaries, strings, atom arrays),
 * app/startup.cpp, tests/kernel. Includes only the kivo/ headers.
 */
#ifndef KIVO_KERNEL_OBEX_INTERNAL_H
#define KIVO_KERNEL_OBEX_INTERNAL_H

#include "kivo/class.h"
#include "kivo/legacy.h"
#include "kivo/obex.h"

KIVO_BEGIN_C

// As object_alloc, with `extra` bytes (not cleared) after the class's
// record in the same block, so that an object and its first elements are
// one allocation; object_free frees them with the object. Null when
// extra > 0 and a derived class is under construction (its fields would
// overlap the room): callers then allocate without room.
KIVO_INTERNAL void *object_alloc_extra(t_class *c, t_ptr_size extra);

/* Starts the object system once: special entries, selectors, the container
   classes, the name-space table, "method_object". 0, or -1 when a table
   cannot be made. */
KIVO_INTERNAL t_kivo_err obex_init(void);
/* Non-zero once obex_init has begun. */
KIVO_INTERNAL long obex_started(void);

/* The selectors the kernel uses besides the common symbols; set by
   obex_init (step 4) before any class exists. */
KIVO_INTERNAL extern t_symbol *ps_pound_S;   /* "#S" */
KIVO_INTERNAL extern t_symbol *ps_namespace; /* "namespace" */
KIVO_INTERNAL extern t_symbol *ps_filevolume;
KIVO_INTERNAL extern t_symbol *ps_getvalueof_ext, *ps_setvalueof_ext;

/* The debug switch of the application object's "debug" message; while it
   is set every class registration is posted. */
KIVO_INTERNAL extern short g_kivo_debug;

/* Makes the process-wide name-space table; 0 or -1. */
KIVO_INTERNAL t_kivo_err class_namespace_init(void);
/* Every method added to the class from now on carries the long attribute
   `attrname` with `value`, until class_sticky_clear(c, "sticky_method",
   attrname). 0, or an error when the attribute cannot be made. */
KIVO_INTERNAL t_kivo_err class_sticky_method_long(t_class *c, const char *attrname, long value);
/* The class of "method_object", null before obex_init. */
KIVO_INTERNAL t_class *method_object_class(void);

/* A new extension store: a 3-slot table with its t_mobex (notify method
   unknown, one reference). Null when memory is exhausted. */
KIVO_INTERNAL t_hashtab *obex_store_new(void);

/* The first entry of the legacy object creator's message list, at or after
   position `from` (0 = the entry its header points at), whose selector is
   s; null when the creator has no list or no such entry. */
KIVO_INTERNAL t_messlist *qnewobj_find(t_symbol *s, long from);

/* Removes a known external-bundle suffix from a file name in place. */
KIVO_INTERNAL void class_stripsuffix(char *name);

KIVO_END_C

#ifdef __cplusplus
#include <initializer_list>

#include "kivo/class.h"

namespace kivo::obex {

// The record at the head of an object's inlet list, as far as the store is
// concerned: an inlet, or the "obex_container" placeholder laid out like
// one. The inlet record keeps `next` and `store` at these offsets.
struct InletShape {
    t_messlist *messlist; // tiny header
    t_ptr_uint magic;
    t_object *receiver;
    t_object *owner;
    t_symbol *selector;
    method fun;
    InletShape *next;
    void *feeders;
    unsigned char flags;
    t_hashtab *store;
};
static_assert(sizeof(InletShape) == 80, "inlet records are ten words");

// Header sizes: tiny objects carry messlist and magic only.
constexpr t_ptr_size kTinyHeaderSize = 2 * sizeof(void *);
constexpr t_ptr_size kHeaderSize = sizeof(t_object);

inline t_ptr_size header_size(const t_class *c) {
    return c->tiny ? kTinyHeaderSize : kHeaderSize;
}

// Methods are stored under the one type `method` and called through the
// type they were defined with. The detour through void (*)() keeps the
// compiler from warning about the cast, which is the point of the type.
template <typename F>
method as_method(F f) {
    return reinterpret_cast<method>(reinterpret_cast<void (*)()>(f));
}

template <typename F>
F from_method(method m) {
    return reinterpret_cast<F>(reinterpret_cast<void (*)()>(m));
}

// A message callable only directly (argument type AT_CANT).
struct CantMessage {
    method fun;
    const char *name;
};

// Adds the messages in order; the kernel's own classes list theirs as tables.
inline void class_addmethods_cant(t_class *c, std::initializer_list<CantMessage> messages) {
    for (const CantMessage &m : messages) class_addmethod(c, m.fun, m.name, AT_CANT, 0);
}

} // namespace kivo::obex
#endif

#endif

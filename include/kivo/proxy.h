/*
 * Proxy inlets: an extra inlet whose messages reach the owner's own
 * methods, with the number of the inlet they came through.
 *
 * A proxy is a small object of the nobox class "proxy" that receives what
 * its inlet forwards and calls the owner's method for it. During that call
 * the owner finds the proxy's inlet number at its location (a word in the
 * owner's record, shared by all threads) and through proxy_getinlet (kept
 * per thread). Both are put back when the call returns, so nested calls
 * see their own number and the outer call sees its own again afterwards.
 *
 * Ownership: the owner frees its proxies (proxy_delete, or object_free in
 * its free function). Freeing the owner frees its inlets, never the
 * proxies; freeing a proxy alone leaves its inlet in place.
 */
#ifndef KIVO_PROXY_H
#define KIVO_PROXY_H

#include "kivo/inout.h"

KIVO_BEGIN_C

/* The record of a "proxy" object. Other modules may read every field. */
typedef struct proxy {
    t_object ob;
    t_atom_long *location;   /* where the owner reads the inlet number during a call, or null */
    t_object *owner;         /* the object served (not owned) */
    t_atom_long inlet_number; /* the owner's number for this inlet */
    method int_method;       /* the owner's "int" method, or null (looked up once) */
    method bang_method;      /* the owner's "bang" method, or null */
    method float_method;     /* the owner's "float" method, or null */
    method list_method;      /* the owner's "list" method, or null */
    t_symbol *anything_map;  /* other messages go to the owner under this selector, or null */
    t_inlet *inlet;          /* the inlet whose receiver this proxy is (owned by the owner) */
} t_proxy;
KIVO_STATIC_ASSERT(sizeof(t_proxy) == 32 + 9 * 8, "t_proxy is the header and nine words");

/* Makes the class "proxy" once; every proxy_* constructor calls it. */
KIVO_EXPORT void proxy_initclass(void);

/* A proxy and a new inlet on owner delivering to it: pushed at the head of
   the owner's inlet list (proxy_new), appended at the tail (proxy_append),
   or inserted right after previous's inlet (proxy_insert; the head when
   previous is null). 0 is stored at the location. Null when either cannot
   be made. */
KIVO_EXPORT void *proxy_new(void *owner, t_atom_long inlet_number, t_atom_long *location);
KIVO_EXPORT void *proxy_append(void *owner, t_atom_long inlet_number, t_atom_long *location);
KIVO_EXPORT void *proxy_insert(void *owner, t_atom_long inlet_number, t_atom_long *location,
                               void *previous);
/* A proxy for an inlet that already exists; the inlet delivers to it. */
KIVO_EXPORT void *proxy_new_forinlet(void *owner, t_atom_long inlet_number,
                                     t_atom_long *location, t_inlet *inlet);
/* The proxy record alone, without an inlet. */
KIVO_EXPORT void *proxy_construct(void *owner, t_atom_long inlet_number, t_atom_long *location);

/* Gives the proxy another inlet (or none): the old inlet delivers to the
   owner again, the new one to the proxy. The old inlet, still owned by the
   owner. */
KIVO_EXPORT t_inlet *proxy_setinletptr(void *proxy, t_inlet *inlet);
KIVO_EXPORT t_inlet *proxy_getinletptr(void *proxy);
/* Deletes the proxy's inlet (and the cords into it), then the proxy. */
KIVO_EXPORT void proxy_delete(void *proxy);

/* The number of the proxy inlet of owner through which the message this
   thread is handling came; 0 outside such a call. */
KIVO_EXPORT t_atom_long proxy_getinlet(t_object *owner);

KIVO_END_C

#endif

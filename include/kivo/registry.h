/*
 * The registry: objects registered under names in name spaces, found by
 * name, attached to as clients, and the notifications they send to those
 * clients.
 *
 * A notification is a direct call of the receiver's "notify" method, added
 * with class_addmethod(c, fn, "notify", AT_CANT, 0) and called as
 *     t_kivo_err fn(void *receiver, t_symbol *sender_name, t_symbol *message,
 *                   void *sender, void *data);
 * sender_name is the sender's registered name, or null when it has none.
 * The sender ignores the result.
 *
 * Ownership: the registry never owns the objects registered in it, nor the
 * clients attached to them. Registering adds a reference to the object;
 * freeobject (or object_unregister) drops one. Pointers returned here are
 * borrowed.
 *
 * Threads: the registry changes only inside the global critical region
 * (critical_enter(NULL)), and notifications to clients are sent with that
 * region held, so a client being freed on another thread waits for a walk
 * that may reach it. A sender must stay alive during its own notify call.
 */
#ifndef KIVO_REGISTRY_H
#define KIVO_REGISTRY_H

#include "kivo/hashtab.h"

KIVO_BEGIN_C

/* One registration, the value stored under its name in the name space's
   table. Other modules may read every field; the registry writes them
   inside the global critical region. */
typedef struct reg_object {
    t_object ob;
    t_symbol *name;
    t_object *object;     /* the registered object (not owned) */
    t_atom_long refcount; /* 1 at registration; the "refcount" attribute */
    t_hashtab *clients;   /* client -> client, made at the first attach; owns no client */
} t_reg_object;

/* An object's address mapped back to its registration. */
typedef struct reg_object_pmap {
    t_object ob;
    t_object *object;
    t_symbol *name;
    t_symbol *name_space;
} t_reg_object_pmap;

/* The subscriptions to one (name space, name). */
typedef struct reg_object_subscription_entry {
    t_object ob;
    t_symbol *name_space;
    t_symbol *name;
    t_hashtab *subscribers; /* client -> t_reg_object_subscriber (owned) */
} t_reg_object_subscription_entry;

/* One subscription. A null or empty class name accepts any class. */
typedef struct reg_object_subscriber {
    t_object ob;
    t_symbol *name_space;
    t_symbol *name;
    t_symbol *classname;
    t_object *client; /* not owned */
} t_reg_object_subscriber;

/* "object_reference": holds one pointer to another object, neither
   retained nor freed, and passes on what it does not understand. */
typedef struct object_reference {
    t_object ob;
    t_object *object;
} t_object_reference;

/* The "notify" method's type. */
typedef t_kivo_err (*t_notify_method)(void *receiver, t_symbol *sender_name, t_symbol *message,
                                      void *sender, void *data);

/* ---- registration and lookup */

/*
 * Registers x under s in name_space and adds a reference to it. A null name
 * makes a unique one, a null name space is "nobox", the empty symbol
 * unregisters x. Returns the object now registered under the name: x, the
 * object of the same class already registered there (x is then freed and
 * the caller uses the result), or a copy made by "newcopy" when x stays
 * registered under another name. Null when x is null, is registered in
 * another name space, or the name is taken by an object of another class;
 * x then stays the caller's.
 */
KIVO_EXPORT void *object_register(t_symbol *name_space, t_symbol *s, void *x);
/* Drops the registration's reference: -1 while others remain, else 0. */
KIVO_EXPORT t_kivo_err object_unregister(void *x);
/* Accepts "obj:namespace:name" in place of the name. */
KIVO_EXPORT void *object_findregistered(t_symbol *name_space, t_symbol *s);
/* name_space may be null. 0 with the registered name, else -1. */
KIVO_EXPORT t_kivo_err object_findregisteredbyptr(t_symbol **name_space, t_symbol **s, void *x);
/* The names registered in name_space; the caller frees *names with
   sysmem_freeptr. -1 for a null or unknown name space. */
KIVO_EXPORT t_kivo_err object_register_getnames(t_symbol *name_space, long *namecount,
                                                t_symbol ***names);
/* The name space's table (borrowed), or null; never made here. */
KIVO_EXPORT t_hashtab *reg_object_namespace_lookup(t_symbol *name_space);
/* The same, made when missing; null for a null or empty name space. */
KIVO_EXPORT t_hashtab *reg_object_namespace_fromsym(t_symbol *name_space);
/* "obj:namespace:name" when something is registered there, else null. */
KIVO_EXPORT t_symbol *reg_object_singlesym(t_symbol *name_space, t_symbol *s);
/* 0 and both parts when ss has that form and names a registered object;
   else -1 and both null. */
KIVO_EXPORT t_kivo_err reg_object_singlesym_split(t_symbol *ss, t_symbol **name_space,
                                                  t_symbol **s);
/* A fresh or recycled name of the form "u" and nine digits. */
KIVO_EXPORT t_symbol *symbol_unique(void);
KIVO_EXPORT long symbol_is_unique(t_symbol *s);

/* ---- references */

/* One more reference; -1 when x can hold no extension store. */
KIVO_EXPORT t_kivo_err object_retain(t_object *x);
/* One reference fewer, through freeobject; 0. */
KIVO_EXPORT t_kivo_err object_release(t_object *x);

/* ---- attaching and notifying; the client is never owned */

/* The registered object, or null (nothing registered, a null client, or
   a client that cannot keep the record of its servers). */
KIVO_EXPORT void *object_attach(t_symbol *name_space, t_symbol *s, void *x);
/* 0, also when x was not attached; -1 for a null client or nothing
   registered. */
KIVO_EXPORT t_kivo_err object_detach(t_symbol *name_space, t_symbol *s, void *x);
/* 0 when registeredobject is registered and x is now attached, else -1. */
KIVO_EXPORT t_kivo_err object_attach_byptr(void *x, void *registeredobject);
/* Registers object_to_attach under a unique name in reg_name_space when it
   is not registered, then attaches x; always null. */
KIVO_EXPORT void *object_attach_byptr_register(void *x, void *object_to_attach,
                                               t_symbol *reg_name_space);
KIVO_EXPORT t_kivo_err object_detach_byptr(void *x, void *registeredobject);
/* Attaches now when possible and again whenever an object whose class is
   classname (null or empty: any) is registered under the name later.
   Returns the object attached now, or null. */
KIVO_EXPORT void *object_subscribe(t_symbol *name_space, t_symbol *s, t_symbol *classname,
                                   void *x);
/* classname is ignored. 0 when the subscription existed, else -1. */
KIVO_EXPORT t_kivo_err object_unsubscribe(t_symbol *name_space, t_symbol *s, t_symbol *classname,
                                          void *x);
/* Sends message with data to x itself when it is attached to itself, to
   its clients, and to the box that holds it. 0; -1 for an invalid sender. */
KIVO_EXPORT t_kivo_err object_notify(void *x, t_symbol *s, void *data);
/* The same to one receiver only. */
KIVO_EXPORT t_kivo_err object_notify_specific(void *x, t_symbol *s, void *data, void *receiver);

/* ---- "object_reference"; the caller owns the new object */
KIVO_EXPORT t_object *object_reference_new(t_object *referenced);

KIVO_END_C

#endif

/*
 * Inlets, outlets and sending.
 *
 * An outlet belongs to an object and keeps a list of connections; sending
 * on it delivers the message to every connection in list order, on the
 * calling thread, before the send returns. A connection's receiver is the
 * receiving object itself (its left inlet), an inlet object that forwards to
 * its receiver, or an outlet object, which sends on whatever it receives.
 *
 * Outlets typed "bang", "int" or "float" call, for the matching send, the
 * receiver's method cached when the connection was made; every other send
 * looks its selector up per connection.
 *
 * Connecting and disconnecting run inside the timer critical region of the
 * outlet owner's scheduler; sends take no lock.
 */
#ifndef KIVO_INOUT_H
#define KIVO_INOUT_H

#include "kivo/object.h"

KIVO_BEGIN_C

typedef struct inlet t_inlet;   /* an object of class "inlet" */
typedef struct outlet t_outlet; /* an object of class "outlet" */
typedef struct dll t_dll;       /* a connection node, an object of class "dll" */

/* ---- inlets; an object's inlets are freed with it */
KIVO_EXPORT t_inlet *c_inlet_new(void *owner, void *receiver, t_symbol *accepted,
                                 t_symbol *mapped);
KIVO_EXPORT t_inlet *inlet_append(void *owner, void *receiver, t_symbol *accepted,
                                  t_symbol *mapped);
KIVO_EXPORT t_inlet *inlet_insert_after(void *owner, void *receiver, t_symbol *accepted,
                                        t_symbol *mapped, t_inlet *previous);
KIVO_EXPORT void inlet_to(t_inlet *x, void *receiver);
KIVO_EXPORT void inlet_chain(t_inlet *x);
KIVO_EXPORT void inlet_delete(t_inlet *x);
KIVO_EXPORT long inlet_count(t_object *x);
/* Index 0 is the object itself. */
KIVO_EXPORT void *inlet_nth(t_object *x, long n);
KIVO_EXPORT void inlet_print(t_inlet *x);

/* ---- inlets of the older interface */
KIVO_EXPORT t_inlet *inlet_new(void *x, const char *s);
KIVO_EXPORT t_inlet *inlet4(void *owner, void *receiver, const char *accepted,
                            const char *mapped);
KIVO_EXPORT t_inlet *intin(void *x, short n);
KIVO_EXPORT t_inlet *floatin(void *x, short n);

/* ---- outlets; an object's outlets are freed with it */
KIVO_EXPORT t_outlet *c_outlet_new(void *owner, t_symbol *type);
KIVO_EXPORT t_outlet *outlet_append(void *owner, t_symbol *name, t_symbol *type);
KIVO_EXPORT t_outlet *outlet_insert_after(void *owner, t_symbol *name, t_symbol *type,
                                          t_outlet *previous);
KIVO_EXPORT void outlet_delete(t_outlet *x);
KIVO_EXPORT long outlet_count(t_object *x);
KIVO_EXPORT t_outlet *outlet_nth(t_object *x, long n);
KIVO_EXPORT void *outlet_new(void *x, const char *type);
KIVO_EXPORT void *bangout(void *x);
KIVO_EXPORT void *intout(void *x);
KIVO_EXPORT void *floatout(void *x);
KIVO_EXPORT void *listout(void *x);

/* ---- connections: 0 for success */
KIVO_EXPORT short outlet_add(t_outlet *x, void *receiver);
KIVO_EXPORT short outlet_rm(t_outlet *x, void *receiver);
KIVO_EXPORT short outlet_canadd(t_outlet *x, void *receiver);
KIVO_EXPORT short outlet_connected(t_outlet *x, t_object *o);
KIVO_EXPORT void *outlet_get(t_outlet *x);
KIVO_EXPORT long outlet_getorder(t_outlet *x, void *receiver);
KIVO_EXPORT long outlet_hasmultipleconnections(t_outlet *x);
KIVO_EXPORT void outlet_notify(t_outlet *x);
KIVO_EXPORT void outlet_addmonitor(t_outlet *x, t_object *monitor, void *receiver,
                                   t_symbol *key, t_atom_ulong flags);
KIVO_EXPORT void outlet_removemonitor(t_outlet *x, void *receiver, t_symbol *key,
                                      t_atom_ulong flags);

/* ---- sending: 1 when delivered to the connections, 0 when refused */
KIVO_EXPORT void *outlet_bang(t_outlet *x);
KIVO_EXPORT void *outlet_int(t_outlet *x, t_atom_long n);
KIVO_EXPORT void *outlet_float(t_outlet *x, double f);
KIVO_EXPORT void *outlet_list(t_outlet *x, t_symbol *s, short argc, t_atom *argv);
KIVO_EXPORT void *outlet_anything(t_outlet *x, t_symbol *s, short argc, t_atom *argv);
KIVO_EXPORT void *outlet_anything_exact(t_outlet *x, t_symbol *s, short argc, t_atom *argv);
KIVO_EXPORT void *outlet_substmess(t_outlet *x, t_outlet *grabouts, t_symbol *s, short argc,
                                   t_atom *argv);
KIVO_EXPORT void *outlet_fanmess(t_outlet *x, t_outlet *grabouts, t_symbol *s, short argc,
                                 t_atom *argv);
KIVO_EXPORT void *outlet_atoms(t_outlet *x, short argc, t_atom *argv);
KIVO_EXPORT void outlet_msg(t_outlet *x, t_symbol *classname, t_symbol *s, void *a, void *b);
KIVO_EXPORT void stdlist(void *x, t_symbol *s, short argc, t_atom *argv);
KIVO_EXPORT void stdfloat(void *x, double f);
KIVO_EXPORT void nomess(void *x, t_symbol *s);
KIVO_EXPORT t_object *object_top_patcher(t_object *x);
KIVO_EXPORT t_object *object_top_patcher_with_fallback(t_object *x);
KIVO_EXPORT void object_patcher_disableoutlets(t_object *owner);
KIVO_EXPORT void outlet_thread_destroy(void);

KIVO_END_C

#endif

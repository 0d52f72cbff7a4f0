/*
 * Classes: building a class, its message list and method objects, its
 * attribute and extra tables, and registering it in a name space.
 *
 * A class is built on the main thread in this order: class_new, any number
 * of class_addmethod / class_addattr / extra stores, then class_register,
 * which makes its tables read-only. Registered classes are never freed.
 *
 * Ownership: the class owns its message list, constructor entry, attribute
 * table and extra table. Values stored in the extra table follow the
 * hash table's entry flags (0 an object freed with it, 2 plain data never
 * freed, 4 a pointer block freed with sysmem_freeptr).
 */
#ifndef KIVO_CLASS_H
#define KIVO_CLASS_H

#include "kivo/object.h"

KIVO_BEGIN_C

typedef struct dictionary t_dictionary;

/* A method object: the object header and one message-list entry. The
   entry is read by the dispatcher; other fields are the kernel's. */
typedef struct method_object {
    t_object ob;
    t_messlist messlist_entry;
} t_method_object;

/* The message-list message-count above which a registered class answers
   lookups from its method table instead of walking the list. */
#define CLASS_FASTMESS_THRESHOLD 20

/* ---- special entries, filled by obex_init */
KIVO_EXPORT extern t_messlist _mess_nonmethod;      /* "nonmethod" -> method_false */
KIVO_EXPORT extern t_messlist _mess_freemethod;     /* "free" -> object_free */
KIVO_EXPORT extern t_messlist g_mess_attr_getdump;  /* attribute dump getter, AT_GIMME */
KIVO_EXPORT extern t_messlist g_mess_attr_set;      /* attribute setter, AT_GIMME */

KIVO_EXPORT long method_true(void *x);
KIVO_EXPORT long method_false(void *x);

/* ---- building a class */
/* The types are atom type codes ended by 0. The caller owns the class until
   it is registered; null when memory is exhausted. */
KIVO_EXPORT t_class *class_new(const char *name, method mnew, method mfree, long size,
                               method mmenu, long type, ...);
/* The types are atom type codes ended by 0 (at most 7 are kept). 0, or -2
   for a null class. Replacing a selector keeps its place in the list. */
KIVO_EXPORT t_kivo_err class_addmethod(t_class *c, method m, const char *name, ...);
/* The class takes the attribute; one of the same name is freed. */
KIVO_EXPORT t_kivo_err class_addattr(t_class *c, t_object *attr);
KIVO_EXPORT t_object *class_attr_get(t_class *c, t_symbol *attrname);
/* For classes that were never registered. */
KIVO_EXPORT t_kivo_err class_free(t_class *c);
KIVO_EXPORT t_symbol *class_nameget(t_class *c);
KIVO_EXPORT long class_obexoffset_get(t_class *c);
KIVO_EXPORT void class_obexoffset_set(t_class *c, long offset);
KIVO_EXPORT long class_is_box(t_class *c);
KIVO_EXPORT long class_is_ui(t_class *c);
KIVO_EXPORT void class_set_ui(t_class *c);

/* ---- an object's class */
KIVO_EXPORT t_class *object_class(void *x);
/* The empty symbol for a null object or class. */
KIVO_EXPORT t_symbol *object_classname(void *x);
KIVO_EXPORT long object_classname_compare(void *x, t_symbol *name);

/* ---- extras, sticky tables, adornments, typed wrappers */
KIVO_EXPORT t_kivo_err class_extra_store(t_class *c, t_symbol *key, void *value);
KIVO_EXPORT t_kivo_err class_extra_storeflags(t_class *c, t_symbol *key, void *value,
                                              long flags);
/* Borrowed: the class keeps the value. */
KIVO_EXPORT void *class_extra_lookup(t_class *c, t_symbol *key);
/* Stores key -> value (flags 0: owned) in the table kept under stickyname. */
KIVO_EXPORT t_kivo_err class_sticky(t_class *c, t_symbol *stickyname, t_symbol *key,
                                    t_object *value);
/* A null key or "all" removes the whole table. */
KIVO_EXPORT t_kivo_err class_sticky_clear(t_class *c, t_symbol *stickyname, t_symbol *key);
KIVO_EXPORT t_kivo_err class_addadornment(t_class *c, t_object *adornment);
KIVO_EXPORT void *class_adornment_get(t_class *c, t_symbol *classname);
KIVO_EXPORT t_kivo_err class_addtypedwrapper(t_class *c, method m, const char *name, ...);
KIVO_EXPORT t_messlist *class_typedwrapper_get(t_class *c, t_symbol *name);
KIVO_EXPORT t_messlist *object_typedwrapper_get(t_object *x, t_symbol *name);

/* ---- method lookup; entries are borrowed from the class */
KIVO_EXPORT t_messlist *class_fastmess(t_class *c, t_symbol *s);
KIVO_EXPORT t_messlist *class_mess(t_class *c, t_symbol *s);
KIVO_EXPORT t_messlist *object_mess(t_object *x, t_symbol *s);
/* method_false when absent, never null. */
KIVO_EXPORT method class_method(t_class *c, t_symbol *s);
KIVO_EXPORT t_object *class_getmethod_object(t_class *c, t_symbol *s);
KIVO_EXPORT t_object *object_getmethod_object(t_object *x, t_symbol *s);

/* ---- method objects; the caller owns the result */
KIVO_EXPORT t_method_object *method_object_new(method m, const char *name, ...);
KIVO_EXPORT t_method_object *method_object_new_messlist(t_messlist *m);
KIVO_EXPORT void method_object_free(t_method_object *x);
KIVO_EXPORT method method_object_getmethod(t_method_object *x);
KIVO_EXPORT void method_object_setmethod(t_method_object *x, method m);
KIVO_EXPORT void method_object_initclass(void);

/* ---- attribute helpers */
KIVO_EXPORT t_kivo_err class_dumpout_wrap(t_class *c);
KIVO_EXPORT t_kivo_err object_attr_dumpout(t_object *x, t_symbol *s, long argc, t_atom *argv);
KIVO_EXPORT t_kivo_err object_attrhash_apply(t_object *x, t_hashtab *attrhash);

/* ---- registration and name spaces ("box", "nobox") */
/* A null name space means "nobox". */
KIVO_EXPORT t_kivo_err class_register(t_symbol *name_space, t_class *c);
/* -3 when the name space already holds the name; nothing is posted. */
KIVO_EXPORT t_kivo_err class_doregister(t_symbol *name_space, t_class *c);
KIVO_EXPORT t_kivo_err class_alias(t_class *c, t_symbol *aliasname);
KIVO_EXPORT t_kivo_err class_copy(t_symbol *src_name_space, t_symbol *src_classname,
                                  t_symbol *dst_name_space, t_symbol *dst_classname);
/* Loads an external of that name when the class is not registered yet. */
KIVO_EXPORT t_class *class_findbyname(t_symbol *name_space, t_symbol *classname);
KIVO_EXPORT t_class *class_findbyname_casefree(t_symbol *name_space, t_symbol *classname);
/* Never loads. */
KIVO_EXPORT t_class *class_getifloaded(t_symbol *name_space, t_symbol *classname);
KIVO_EXPORT t_class *class_getifloaded_casefree(t_symbol *name_space, t_symbol *classname);
KIVO_EXPORT t_kivo_err class_load(t_symbol *classname);
KIVO_EXPORT long classname_isexternal(t_symbol *classname);
KIVO_EXPORT t_kivo_err class_setpath(t_class *c, short path);
KIVO_EXPORT short class_getpath(t_class *c);
KIVO_EXPORT t_symbol *class_namespace(t_class *c);
KIVO_EXPORT t_symbol *object_namespace(t_object *x);
/* The name space's class table (borrowed), made when missing. */
KIVO_EXPORT t_hashtab *class_namespace_fromsym(t_symbol *name_space);
/* The caller frees *classnames with sysmem_freeptr. */
KIVO_EXPORT t_kivo_err class_namespace_getclassnames(t_symbol *name_space, long *count,
                                                     t_symbol ***classnames);
KIVO_EXPORT t_kivo_err class_buildprototype(t_class *c);
/* The caller owns the result. */
KIVO_EXPORT t_dictionary *class_cloneprototype(t_class *c);
KIVO_EXPORT void class_getclassinfo_private(void *unused, t_symbol *classname);
KIVO_EXPORT t_kivo_err object_sendbox(t_object *x, t_symbol *s, long argc, t_atom *argv);

KIVO_END_C

#endif

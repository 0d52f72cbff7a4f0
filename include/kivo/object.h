/*
 * The records every object and class is made of.
 *
 * An object begins with t_object. Its `messlist` points at entry 1 of its
 * class's message list; entry 0 is the class marker, whose `sym` word holds
 * the class record and whose type bytes hold KIVO_CLASS_MARKER. Message
 * lists of the older interface have no marker.
 */
#ifndef KIVO_OBJECT_H
#define KIVO_OBJECT_H

#include "kivo/atom.h"

KIVO_BEGIN_C

#define KIVO_OBJECT_MAGIC 0x68cebd9bULL /* `magic` of a live object */
#define KIVO_CLASS_MARKER 0x6f626578ULL /* type bytes of message-list entry 0 */

/* One entry of a message list; a null `sym` ends the list. */
typedef struct messlist {
    t_symbol *sym;  /* the selector (entry 0: the class record) */
    method fun;     /* the method */
    char type[8];   /* argument types ended by 0; the last byte is always 0 */
} t_messlist;
KIVO_STATIC_ASSERT(sizeof(t_messlist) == 24, "t_messlist is three words");

/* The header of every object. Other modules read all four fields; objects
   of a tiny class have only the first two. */
struct object {
    t_messlist *messlist; /* the class's message list at entry 1 */
    t_ptr_uint magic;     /* KIVO_OBJECT_MAGIC while alive, 0 once freed */
    void *inlet;          /* head of the inlet list, null at allocation */
    void *outlet;         /* head of the outlet list, null at allocation */
};
KIVO_STATIC_ASSERT(sizeof(t_object) == 32, "t_object is four words");

typedef struct hashtab t_hashtab;

/* A class. Other modules read every field; the kernel writes them. */
typedef struct kivoclass {
    t_symbol *name;
    void *reserved;              /* cleared, unused by the kernel */
    method freefun;              /* called with the object when it is freed, or null */
    t_ptr_size size;             /* bytes of one object, header included */
    char tiny;                   /* objects carry only messlist and magic */
    char noinlet;                /* objects get no automatic first inlet */
    t_symbol *filename;
    t_messlist *newmess;         /* the constructor entry (owned) */
    method menufun;              /* stored, never called */
    t_ptr_uint flags;            /* CLASS_FLAG_* */
    t_atom_long messcount;       /* message-list entries, marker and end included */
    t_messlist *messlist;        /* the message list, entry 0 first (owned) */
    t_hashtab *attributes;       /* attribute objects by name (owned), or null */
    t_hashtab *extra;            /* extras by key (owned), or null */
    t_atom_long obexoffset;      /* >0 offset of the store slot, 0 on the first inlet, <0 none */
    t_hashtab *methods;          /* method objects by selector, set at registration */
    method attr_get_cache;       /* 0 not looked up, -1 none, else the method */
    method attr_gettarget_cache;
    method attr_getnames_cache;
    struct kivoclass *superclass;
} t_class;

enum {
    CLASS_FLAG_BOX = 0x1,
    CLASS_FLAG_NEWDICTIONARY = 0x4,
    CLASS_FLAG_MESSLIST_FIXED = 0x8,
    CLASS_FLAG_UIOBJECT = 0x10,
    CLASS_FLAG_ALIAS = 0x20,
    CLASS_FLAG_DO_NOT_PARSE_ATTR_ARGS = 0x80,
    CLASS_FLAG_NOT_CLEARED = 0x100,
    CLASS_FLAG_NOATTRIBUTES = 0x10000,
    CLASS_FLAG_PARAMETER = 0x40000,
    CLASS_FLAG_OWNATTRIBUTES = 0x100000
};

/* ---- the objects' process-wide selectors */
KIVO_EXPORT extern t_symbol *ps_default, *ps_object_clone, *ps_methods, *ps_stdargs, *ps_all,
    *ps_time;

/* ---- allocation and creation; the caller owns the new object and frees it
   with object_free */
KIVO_EXPORT void *object_alloc(t_class *c);
/* Clears the body after the header up to the class's size. */
KIVO_EXPORT void object_zero_do(t_object *x);
KIVO_EXPORT void object_zero(void);
/* Up to 8 word arguments, passed to the constructor as they are. The macro
   pads the call with null words, so that the function always finds eight
   arguments to read. */
KIVO_EXPORT void *object_new(t_symbol *name_space, t_symbol *classname, ...);
#define object_new(...) \
    (object_new)(__VA_ARGS__, (void *)0, (void *)0, (void *)0, (void *)0, (void *)0, \
                 (void *)0, (void *)0, (void *)0)
KIVO_EXPORT void *object_new_imp(t_symbol *name_space, t_symbol *classname, void *p1, void *p2,
                                 void *p3, void *p4, void *p5, void *p6, void *p7, void *p8);
/* The atoms are checked and converted against the constructor's types. */
KIVO_EXPORT void *object_new_typed(t_symbol *name_space, t_symbol *classname, long argc,
                                   t_atom *argv);
KIVO_EXPORT void *object_new_typed_flags(t_symbol *name_space, t_symbol *classname, long argc,
                                         t_atom *argv, long flags);
/* *made_here tells whether the caller owns the dictionary. */
KIVO_EXPORT struct dictionary *object_dictionary_fromnewargs(t_object *patcher, t_class *c,
                                                             long argc, t_atom *argv,
                                                             long flags, char *made_here);
/* Borrowed from the atom. */
KIVO_EXPORT struct dictionary *object_dictionaryarg(long argc, t_atom *argv);
/* -2 for a null object or one without a message list. */
KIVO_EXPORT t_kivo_err object_free(void *x);
KIVO_EXPORT void *object_clone(t_object *x);

/* ---- instance attributes and methods of one object */
/* The object takes the attribute; one of the same name is freed. */
KIVO_EXPORT t_kivo_err object_addattr(t_object *x, t_object *attr);
KIVO_EXPORT t_kivo_err object_deleteattr(t_object *x, t_symbol *attrname);
/* Removes without freeing: the caller takes the attribute. */
KIVO_EXPORT t_kivo_err object_chuckattr(t_object *x, t_symbol *attrname);
/* The types are atom type codes ended by 0. Gives the whole class
   per-object method lookup (CLASS_FLAG_OWNATTRIBUTES). */
KIVO_EXPORT t_kivo_err object_addmethod(t_object *x, method m, const char *name, ...);
KIVO_EXPORT t_kivo_err object_deletemethod(t_object *x, t_symbol *s);
KIVO_EXPORT t_kivo_err object_chuckmethod(t_object *x, t_symbol *s);
KIVO_EXPORT t_kivo_err object_sticky(t_object *x, t_symbol *stickyname, t_symbol *key,
                                     t_object *value);

/* ---- the value protocol; atoms returned through **av belong to the caller
   (sysmem_freeptr) when *ac was 0 or *av null on entry */
KIVO_EXPORT t_kivo_err object_getvalueof(t_object *x, long *ac, t_atom **av);
KIVO_EXPORT t_kivo_err object_setvalueof(t_object *x, long ac, t_atom *av);
KIVO_EXPORT t_kivo_err object_getvalueof_ext(t_object *x, long *ac, t_atom **av, void *extra);
KIVO_EXPORT t_kivo_err object_setvalueof_ext(t_object *x, long ac, t_atom *av, void *extra);
KIVO_EXPORT t_kivo_err object_getvalueof_default(t_object *x, long *ac, t_atom **av);

KIVO_END_C

#endif

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

KIVO_END_C

#endif

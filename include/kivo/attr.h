/*
 * Attributes: named, typed values of an object, read and written by name
 * and by message ("name values" sets, "getname" reads).
 *
 * An attribute is described by an attribute object. Every kind begins with
 * t_attr; the four kinds differ in where the value lives:
 *   "attribute"                in the attribute object, shared by every
 *                              object that uses the attribute, under its mutex
 *   "attribute_threadspecific" one integer per thread
 *   "attr_offset"              one value at a byte offset in the owning object
 *   "attr_offset_array"        an array at an offset in the owning object,
 *                              with an optional 64-bit count field
 * Filters ("attr_filter_clip", "attr_filter_proc") rewrite values on the
 * way in (set filter) or out (get filter).
 *
 * The get contract: with *ac and *av both non-zero on entry, the caller owns
 * a buffer of *ac atoms and the getter writes at most that many; otherwise
 * the getter allocates *av with sysmem_newptr and the caller frees it. An
 * empty value is *ac 0 and *av null. The set contract: the setter only
 * reads the atoms it is given.
 *
 * Ownership: a class or object owns the attribute objects in its tables;
 * an attribute owns its filters from the moment they are installed.
 *
 * Depends on: the object model (class.h, obex.h, dispatch.h), threads
 * (systhread.h), the registry (notifications).
 */
#ifndef KIVO_ATTR_H
#define KIVO_ATTR_H

#include "kivo/object.h"
#include "kivo/systhread.h"

KIVO_BEGIN_C

typedef struct hashtab t_hashtab;
typedef struct atomarray t_atomarray;
typedef struct dictionary t_dictionary;

/* Flag bits of t_attr.flags. */
enum {
    ATTR_FLAG_NOGET = 0x1,            /* code may not get the value */
    ATTR_FLAG_NOSET = 0x2,            /* code may not set the value */
    ATTR_FLAG_NOUSERGET = 0x100,      /* "get<name>" messages are refused */
    ATTR_FLAG_NOUSERSET = 0x200,      /* "<name>" messages and "@name" arguments are refused */
    ATTR_FLAG_GETTYPE_65 = 0x10000,   /* the getter's method type is 65 ... */
    ATTR_FLAG_GETTYPE_66 = 0x20000,
    ATTR_FLAG_GETTYPE_67 = 0x40000,
    ATTR_FLAG_GETTYPE_68 = 0x80000,   /* ... 68, instead of AT_GIMME */
    ATTR_FLAG_SETTYPE_65 = 0x1000000, /* the setter's method type is 65 ... */
    ATTR_FLAG_SETTYPE_66 = 0x2000000,
    ATTR_FLAG_SETTYPE_67 = 0x4000000,
    ATTR_FLAG_SETTYPE_68 = 0x8000000, /* ... 68 */
    ATTR_FLAG_BOXATTR = 0x10000000,   /* belongs to the box around the object */
    ATTR_FLAG_DIRTY = 0x20000000      /* set since the attributes were last marked clean */
};

/* Accessor shapes. Methods are stored as `method`; these are the real
   prototypes they are called through. */
typedef t_kivo_err (*t_attr_getter)(t_object *x, t_object *attr, long *ac, t_atom **av);
typedef t_kivo_err (*t_attr_setter)(t_object *x, t_object *attr, long ac, t_atom *av);

/* The record every attribute kind begins with. Other modules read every
   field; only the attribute's own messages write them. */
typedef struct attr {
    t_object ob;
    t_symbol *name;
    t_symbol *type;      /* "char", "long", "int32", "atom_long", "float32",
                            "float64", "symbol", "object", "pointer", "atom",
                            "filepath" */
    t_atom_long flags;   /* ATTR_FLAG_* */
    method get;          /* t_attr_getter */
    method set;          /* t_attr_setter */
    t_object *filterget; /* owned, or null */
    t_object *filterset; /* owned, or null */
    void *reserved;      /* always null */
} t_attr;

/* "attribute": the value lives here. */
typedef struct attribute {
    t_attr attr;
    void *data;              /* count values of the type's width (owned pointer block) */
    t_atom_long count;       /* 1 at creation */
    t_systhread_mutex mutex; /* guards data and count (owned) */
} t_attribute;

/* "attribute_threadspecific": one integer per thread. */
typedef struct attribute_threadspecific {
    t_attr attr;
    t_atomarray *values; /* empty, kept for cloning (owned) */
    t_systhread_key key;
} t_attribute_threadspecific;

/* "attr_offset": one value at `offset` bytes into the owning object. */
typedef struct attr_offset {
    t_attr attr;
    t_atom_long offset;
} t_attr_offset;

/* "attr_offset_array": `size` elements from `offset`; the current count is
   the 64-bit field at `offsetcount`, or `size` when that is 0. */
typedef struct attr_offset_array {
    t_attr attr;
    t_atom_long offset;
    t_atom_long size;
    t_atom_long offsetcount;
} t_attr_offset_array;

typedef struct attr_filter_clip {
    t_object ob;
    t_symbol *type;     /* "float64" by default */
    double scale;       /* 1.0 */
    double min;         /* 0.0 */
    double max;         /* 1.0 */
    char usescale;      /* 0 */
    char usemin;        /* 1 */
    char usemax;        /* 1 */
} t_attr_filter_clip;

/* The procedure of "attr_filter_proc": rewrites the atoms in place. */
typedef t_kivo_err (*t_attr_filter_procfn)(t_object *x, t_object *attr, long ac, t_atom *av);

typedef struct attr_filter_proc {
    t_object ob;
    method proc; /* t_attr_filter_procfn */
} t_attr_filter_proc;

/* ---- constructors; the caller owns the new object (null on failure).
   Null accessors become the kind's defaults. */
KIVO_EXPORT t_object *attribute_new(const char *name, t_symbol *type, long flags, method mget,
                                    method mset);
KIVO_EXPORT t_object *attribute_threadspecific_new(const char *name, t_symbol *type, long flags,
                                                   method mget, method mset);
KIVO_EXPORT t_object *attr_offset_new(const char *name, t_symbol *type, long flags, method mget,
                                      method mset, long offset);
KIVO_EXPORT t_object *attr_offset_array_new(const char *name, t_symbol *type, long size,
                                            long flags, method mget, method mset,
                                            long offsetcount, long offset);
KIVO_EXPORT t_object *attr_filter_clip_new(void);
KIVO_EXPORT t_object *attr_filter_proc_new(method proc);

/* The width of one value of the type in bytes; 0 (after posting) for an
   unknown type. */
KIVO_EXPORT long attribute_sizeof(t_symbol *type);

/* ---- the messages every attribute kind answers (normally sent with
   object_method; callable directly) */
KIVO_EXPORT t_symbol *attr_getname(t_attr *x);
KIVO_EXPORT t_symbol *attr_gettype(t_attr *x);
KIVO_EXPORT method attr_getmethod(t_attr *x, t_symbol *which);
KIVO_EXPORT long attr_getmethodtype(t_attr *x, t_symbol *which);
KIVO_EXPORT long attr_canget(t_attr *x);
KIVO_EXPORT long attr_canset(t_attr *x);
KIVO_EXPORT long attr_usercanget(t_attr *x);
KIVO_EXPORT long attr_usercanset(t_attr *x);
/* The attribute takes the filter and frees the one it replaces; -1 when
   the object answers no "filter" (the caller keeps it). */
KIVO_EXPORT t_kivo_err attr_filterget(t_attr *x, t_object *filter);
KIVO_EXPORT t_kivo_err attr_filterset(t_attr *x, t_object *filter);
/* Borrowed. */
KIVO_EXPORT t_object *attr_get_filterset(t_attr *x);
KIVO_EXPORT t_kivo_err attr_get(t_attr *x, t_object *owner, long *ac, t_atom **av);
KIVO_EXPORT t_kivo_err attr_set(t_attr *x, t_object *owner, long ac, t_atom *av);
/* The value as text. *text is allocated (the caller frees it with
   sysmem_freeptr) when it is null or *textsize is 0 on entry. */
KIVO_EXPORT t_kivo_err attr_gettext(t_attr *x, t_object *owner, long *textsize, char **text,
                                    long maxatoms, long maxchars, long flags);
KIVO_EXPORT void attr_setname(t_attr *x, t_symbol *name);
KIVO_EXPORT void attr_settype(t_attr *x, t_symbol *type);
/* A null function restores the kind's default accessor. */
KIVO_EXPORT void attr_setmethod(t_attr *x, t_symbol *which, method m);
KIVO_EXPORT void attr_setflags(t_attr *x, t_atom_long flags);
KIVO_EXPORT t_atom_long attr_getflags(t_attr *x);
/* A list of AT_DOLLAR atoms numbered 1 ... n, under the get contract. */
KIVO_EXPORT t_kivo_err attr_getformat(t_attr *x, t_object *owner, long *ac, t_atom **av);

/* ---- default accessors of the kinds and the filter wrappers */
KIVO_EXPORT t_kivo_err attribute_method_get(t_object *x, t_attribute *attr, long *ac, t_atom **av);
KIVO_EXPORT t_kivo_err attribute_method_set(t_object *x, t_attribute *attr, long ac, t_atom *av);
KIVO_EXPORT t_kivo_err attribute_threadspecific_method_get(t_object *x,
                                                           t_attribute_threadspecific *attr,
                                                           long *ac, t_atom **av);
KIVO_EXPORT t_kivo_err attribute_threadspecific_method_set(t_object *x,
                                                           t_attribute_threadspecific *attr,
                                                           long ac, t_atom *av);
KIVO_EXPORT t_kivo_err attr_offset_get(t_object *x, t_attr_offset *attr, long *ac, t_atom **av);
KIVO_EXPORT t_kivo_err attr_offset_set(t_object *x, t_attr_offset *attr, long ac, t_atom *av);
KIVO_EXPORT t_kivo_err attr_offset_array_get(t_object *x, t_attr_offset_array *attr, long *ac,
                                             t_atom **av);
KIVO_EXPORT t_kivo_err attr_offset_array_set(t_object *x, t_attr_offset_array *attr, long ac,
                                             t_atom *av);
KIVO_EXPORT t_kivo_err attr_filterget_wrap(t_object *x, t_attr *attr, long *ac, t_atom **av);
KIVO_EXPORT t_kivo_err attr_filterset_wrap(t_object *x, t_attr *attr, long ac, t_atom *av);

/* ---- per-kind messages */
KIVO_EXPORT t_atom_long attribute_getsize(t_attribute *x);
KIVO_EXPORT t_kivo_err attribute_setsize(t_attribute *x, long n);
KIVO_EXPORT t_kivo_err attr_offset_offset(t_attr_offset *x, long offset);
KIVO_EXPORT long attr_offset_getoffset(t_attr_offset *x);
KIVO_EXPORT t_kivo_err attr_offset_array_offsetcount(t_attr_offset_array *x, long offsetcount);
KIVO_EXPORT long attr_offset_array_getoffsetcount(t_attr_offset_array *x);
KIVO_EXPORT t_kivo_err attr_offset_array_size(t_attr_offset_array *x, long size);
KIVO_EXPORT long attr_offset_array_getsize(t_attr_offset_array *x);

/* ---- filters */
KIVO_EXPORT t_kivo_err attr_filter_clip_filter(t_attr_filter_clip *x, long ac, t_atom *av,
                                               t_object *owner, t_object *attr);
KIVO_EXPORT t_kivo_err attr_filter_proc_filter(t_attr_filter_proc *x, long ac, t_atom *av,
                                               t_object *owner, t_object *attr);
KIVO_EXPORT void attr_filter_proc_setproc(t_attr_filter_proc *x, method proc);
KIVO_EXPORT method attr_filter_proc_getproc(t_attr_filter_proc *x);

/* Always 0. */
KIVO_EXPORT long kivo_debug_is_debugger_attached(void);

/* ---- object-side access: finding attributes */

/* The instance attribute, else the class's, else the class's "attr_get"
   hook's answer; null when none. Borrowed. */
KIVO_EXPORT t_object *object_attr_get(t_object *x, t_symbol *attrname);
/* The object whose memory holds the value: the class's "attr_gettarget"
   hook's answer, or x itself. */
KIVO_EXPORT t_object *object_attr_gettarget(t_object *x, t_symbol *attrname);
/* The names of all attributes, class names first, then the instance names
   not already listed. The caller frees *argv with sysmem_freeptr. */
KIVO_EXPORT t_kivo_err object_attr_getnames(t_object *x, long *argc, t_symbol ***argv);
KIVO_EXPORT long object_attr_usercanget(t_object *x, t_symbol *attrname);
KIVO_EXPORT long object_attr_usercanset(t_object *x, t_symbol *attrname);

/* ---- values (object_attr_getvalueof is declared in dispatch.h) */

/* Runs the setter (through its filter), marks the attribute dirty and
   notifies "attr_modified". The setter's result, or -1. */
KIVO_EXPORT t_kivo_err object_attr_setvalueof(t_object *x, t_symbol *attrname, long argc,
                                              t_atom *argv);
/* The handler of typed "get<name>" messages: sends the value out through
   the object's "dumpout" method. */
KIVO_EXPORT t_kivo_err object_attr_getdump(t_object *x, t_symbol *s, long argc, t_atom *argv);

KIVO_EXPORT long object_attr_getdirty(t_object *x, t_symbol *attrname);
KIVO_EXPORT t_kivo_err object_attr_cleanall(t_object *x);
KIVO_EXPORT t_kivo_err object_attr_touch(t_object *x, t_symbol *attrname);
KIVO_EXPORT t_kivo_err object_attr_touch_parse(t_object *x, const char *attrnames);

/* The object's recursive attribute lock, made on the first lock. */
KIVO_EXPORT long object_attr_lock(t_object *x);
/* -1 when the object was never locked. */
KIVO_EXPORT long object_attr_unlock(t_object *x);
/* A "mutex_object" holding one mutex made with the flags; the caller owns it. */
KIVO_EXPORT t_object *mutex_object_new(long flags);

/* A setter that hands the values to the method object kept in the
   attribute's own attribute "typedfun". */
KIVO_EXPORT t_kivo_err attr_typedfun_set(t_object *x, t_object *attr, long argc, t_atom *argv);

/* ---- plain values: getters answer 0, 0.0 or null when anything fails;
   setters answer the setter's result, or -1 */
KIVO_EXPORT t_atom_long object_attr_getlong(t_object *x, t_symbol *attrname);
KIVO_EXPORT t_kivo_err object_attr_setlong(t_object *x, t_symbol *attrname, t_atom_long value);
KIVO_EXPORT t_atom_float object_attr_getfloat(t_object *x, t_symbol *attrname);
KIVO_EXPORT t_kivo_err object_attr_setfloat(t_object *x, t_symbol *attrname, t_atom_float value);
KIVO_EXPORT t_symbol *object_attr_getsym(t_object *x, t_symbol *attrname);
KIVO_EXPORT t_kivo_err object_attr_setsym(t_object *x, t_symbol *attrname, t_symbol *value);
KIVO_EXPORT char object_attr_getchar(t_object *x, t_symbol *attrname);
KIVO_EXPORT t_kivo_err object_attr_setchar(t_object *x, t_symbol *attrname, char value);
KIVO_EXPORT t_object *object_attr_getobj(t_object *x, t_symbol *attrname);
KIVO_EXPORT t_kivo_err object_attr_setobj(t_object *x, t_symbol *attrname, t_object *value);

/* ---- arrays: a getter copies at most `count` values into `vals` and
   answers how many the attribute holds; a setter takes at most 256 */
KIVO_EXPORT long object_attr_getlong_array(t_object *x, t_symbol *attrname, long count,
                                           t_atom_long *vals);
KIVO_EXPORT t_kivo_err object_attr_setlong_array(t_object *x, t_symbol *attrname, long count,
                                                 t_atom_long *vals);
KIVO_EXPORT long object_attr_getchar_array(t_object *x, t_symbol *attrname, long count,
                                           unsigned char *vals);
KIVO_EXPORT t_kivo_err object_attr_setchar_array(t_object *x, t_symbol *attrname, long count,
                                                 const unsigned char *vals);
KIVO_EXPORT long object_attr_getfloat_array(t_object *x, t_symbol *attrname, long count,
                                            float *vals);
KIVO_EXPORT t_kivo_err object_attr_setfloat_array(t_object *x, t_symbol *attrname, long count,
                                                  float *vals);
KIVO_EXPORT long object_attr_getdouble_array(t_object *x, t_symbol *attrname, long count,
                                             double *vals);
KIVO_EXPORT t_kivo_err object_attr_setdouble_array(t_object *x, t_symbol *attrname, long count,
                                                   double *vals);
KIVO_EXPORT long object_attr_getsym_array(t_object *x, t_symbol *attrname, long count,
                                          t_symbol **vals);
KIVO_EXPORT t_kivo_err object_attr_setsym_array(t_object *x, t_symbol *attrname, long count,
                                                t_symbol **vals);

/* ---- "@" arguments */

/* The index of the first "@name" atom, or argc when there is none. */
KIVO_EXPORT long attr_args_offset(short ac, t_atom *av);
/* Sends the object one message per "@name values..." group. */
KIVO_EXPORT void attr_args_process(void *x, short ac, t_atom *av);
/* Stores each "@name values..." group in the dictionary under name: one
   value as an atom, several as an atom list; a name without values stores
   nothing. */
KIVO_EXPORT void attr_args_dictionary(t_dictionary *d, short ac, t_atom *av);

/* ---- filter helpers; 0, or -1 for a null attribute or when the filter
   cannot be made */
KIVO_EXPORT t_kivo_err attr_addfilterset_clip(void *attr, double min, double max, long usemin,
                                              long usemax);
KIVO_EXPORT t_kivo_err attr_addfilterget_clip(void *attr, double min, double max, long usemin,
                                              long usemax);
KIVO_EXPORT t_kivo_err attr_addfilterset_clip_scale(void *attr, double scale, double min,
                                                    double max, long usemin, long usemax);
KIVO_EXPORT t_kivo_err attr_addfilterget_clip_scale(void *attr, double scale, double min,
                                                    double max, long usemin, long usemax);
KIVO_EXPORT t_kivo_err attr_addfilter_clip(void *attr, double min, double max, long usemin,
                                           long usemax);
KIVO_EXPORT t_kivo_err attr_addfilter_clip_scale(void *attr, double scale, double min,
                                                 double max, long usemin, long usemax);
KIVO_EXPORT t_kivo_err attr_addfilterset_proc(void *attr, method proc);
KIVO_EXPORT t_kivo_err attr_addfilterget_proc(void *attr, method proc);

KIVO_END_C

#endif

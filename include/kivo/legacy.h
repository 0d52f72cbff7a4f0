/*
 * The older, step-by-step class interface and freeobject.
 *
 * A class is defined on an installation record: c_setup pushes one, the
 * class's setup function names the class (c_new or setup) and adds methods
 * (addmess and friends), and c_install turns the record into a registered
 * class, hands its message list back through the class variable and pops
 * the record. Records nest when an external loads while another class is
 * being defined. All of it runs on the main thread.
 *
 * The class variable holds the class's message list: entry 0 carries the
 * class record, entries 1..n the methods, then an entry with a null
 * selector.
 */
#ifndef KIVO_LEGACY_H
#define KIVO_LEGACY_H

#include "kivo/object.h"

KIVO_BEGIN_C

/* An alias name waiting to be registered with the class. */
typedef struct install_alias {
    t_symbol *name;
    struct install_alias *next;
} t_install_alias;

/* One class being defined. Other modules read loading_path only. */
typedef struct install {
    t_handle entries;            /* collected method entries (owned) */
    t_class classtemplate;       /* the future class */
    t_atom_long capacity;        /* entries the handle has room for */
    t_atom_long count;           /* entries collected */
    t_install_alias *aliases;    /* owned */
    t_messlist *opener_newmess;  /* the opener's constructor entry (borrowed), or null */
    short loading_path;          /* folder the class loads from; 0 for built-in classes */
    t_messlist **class_variable; /* set by setup */
    struct install *next;        /* the record below on the stack */
    method new_function;
    char new_types[8];
    t_atom_long abort;           /* set when setup refused the class */
    t_symbol *loading_file;      /* the file name given to c_setup; c_new keeps it */
} t_install;

/* ---- defining a class (all act on the top installation record) */
KIVO_EXPORT void c_setup(t_messlist *newmess, t_symbol *classname, short loadingpath,
                         t_symbol *filename);
KIVO_EXPORT void c_new(t_symbol *name, method freefun, t_ptr_size size, short tiny,
                       short noinlet);
/* The types are atom type codes ended by 0. */
KIVO_EXPORT void setup(t_messlist **ident, method makefun, method freefun, t_ptr_size size,
                       method menufun, long type, ...);
KIVO_EXPORT void class_setname(const char *classname, const char *filename);
KIVO_EXPORT void addmess(method f, const char *s, long type, ...);
KIVO_EXPORT void c_addmess(method f, t_symbol *s, long type, ...);
KIVO_EXPORT void addbang(method f);
KIVO_EXPORT void addint(method f);
KIVO_EXPORT void addfloat(method f);
KIVO_EXPORT void addinx(method f, short n);
KIVO_EXPORT void addftx(method f, short n);
KIVO_EXPORT void alias(const char *name);
KIVO_EXPORT void check_alias(const char *filename, const char *classname);
KIVO_EXPORT void class_noinlet(t_messlist *m);
KIVO_EXPORT void class_setnoinlet(t_class *c);
/* A new empty entry at the end of the record's entries (borrowed), or null. */
KIVO_EXPORT t_messlist *install_add(t_install *x);
KIVO_EXPORT void install_free(t_install *x);
KIVO_EXPORT short install_loadingpath(void);
/* The registered class, or null when nothing was registered. */
KIVO_EXPORT t_class *c_install(t_messlist **ident);
KIVO_EXPORT t_kivo_err box_class_register(t_class *c);

/* ---- creating and freeing objects; the caller owns what is returned */
KIVO_EXPORT void *obj_new(t_messlist **ident, method setupfn);
KIVO_EXPORT void *box_obj_new(t_messlist **ident, method setupfn);
KIVO_EXPORT void *c_newobject(t_messlist *m);
KIVO_EXPORT void *newobject(t_messlist *m);
KIVO_EXPORT void *newinstance(t_symbol *s, short argc, t_atom *argv);
KIVO_EXPORT void freeobject(t_object *x);
KIVO_EXPORT void *freeobject_lock_enter(t_object *x);
KIVO_EXPORT long within_freeobject(void);

/* ---- version, events and retired entry points */
KIVO_EXPORT short kivoversion(void);
KIVO_EXPORT long getexttime(void);
KIVO_EXPORT long clock_getextfmt(void);
KIVO_EXPORT void evnum_incr(void);
KIVO_EXPORT t_atom_long evnum_get(void);
KIVO_EXPORT short defvolume(void);
KIVO_EXPORT long lockout_set(short n);
KIVO_EXPORT void wind_noworrymove(short n);
KIVO_EXPORT void stdinletinfo(t_object *x, void *box, long index, char *result);
KIVO_EXPORT void *ed_new(t_object *assoc);
KIVO_EXPORT void ed_settext(void *ed, const char *text, long length);
KIVO_EXPORT void ed_vis(void *ed);

/* The legacy object creator, bound to "#N"; its message list maps the names
   of old-style box classes to their constructors. */
KIVO_EXPORT extern t_object g_kivo_qnewobj;
/* major << 8 | minor << 4 | fix */
KIVO_EXPORT extern short g_kivo_version;

KIVO_END_C

#endif

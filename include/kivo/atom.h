/*
 * Atoms: the typed values that every message carries. An atom owns
 * nothing: symbols live for ever and object pointers are plain references.
 */
#ifndef KIVO_ATOM_H
#define KIVO_ATOM_H

#include "kivo/symbol.h"

KIVO_BEGIN_C

/* Atom types, shared with method argument types. */
enum e_kivo_atomtypes {
    AT_NOTHING = 0,   /* nothing; ends an argument-type list */
    AT_LONG = 1,      /* signed 64-bit integer */
    AT_FLOAT = 2,     /* double */
    AT_SYM = 3,       /* symbol */
    AT_OBJ = 4,       /* object pointer */
    AT_DEFLONG = 5,   /* argument types only, from here ... */
    AT_DEFFLOAT = 6,
    AT_DEFSYM = 7,
    AT_GIMME = 8,
    AT_CANT = 9,      /* ... to here */
    AT_SEMI = 10,     /* ';' separator, no value */
    AT_COMMA = 11,    /* ',' separator, no value */
    AT_DOLLAR = 12,   /* "$N": the integer N */
    AT_DOLLSYM = 13,  /* symbol after the '$': "$1-foo" holds "1-foo" */
    AT_GIMMEBACK = 14 /* argument type only */
};

typedef union word {
    t_atom_long w_long; /* AT_LONG, AT_DOLLAR */
    t_atom_float w_float;
    t_symbol *w_sym;    /* AT_SYM, AT_DOLLSYM */
    t_object *w_obj;
} t_word;

struct atom {
    short type;
    t_word value;
};
KIVO_STATIC_ASSERT(sizeof(t_atom) == 16, "t_atom is a type word and an 8-byte value");
KIVO_STATIC_ASSERT(sizeof(t_word) == 8, "t_word is 8 bytes");

KIVO_EXPORT t_kivo_err atom_setlong(t_atom *a, t_atom_long b);
KIVO_EXPORT t_kivo_err atom_setfloat(t_atom *a, double b);
KIVO_EXPORT t_kivo_err atom_setsym(t_atom *a, t_symbol *b);
KIVO_EXPORT t_kivo_err atom_setobj(t_atom *a, void *b);
KIVO_EXPORT long atom_gettype(const t_atom *a);
KIVO_EXPORT t_atom_long atom_getlong(const t_atom *a);
KIVO_EXPORT t_atom_float atom_getfloat(const t_atom *a);
KIVO_EXPORT t_symbol *atom_getsym(const t_atom *a);
KIVO_EXPORT void *atom_getobj(const t_atom *a);
KIVO_EXPORT long atom_getcharfix(const t_atom *a);
KIVO_EXPORT t_atom_long atom_toint(const t_atom *a);
KIVO_EXPORT t_atom_float atom_tofloat(const t_atom *a);

/* Store the conversion of argv[idx] in *c; -1 (and *c untouched) when out of range. */
KIVO_EXPORT t_kivo_err atom_arg_getlong(t_atom_long *c, long idx, long ac, const t_atom *av);
KIVO_EXPORT t_kivo_err atom_arg_getfloat(float *c, long idx, long ac, const t_atom *av);
KIVO_EXPORT t_kivo_err atom_arg_getdouble(double *c, long idx, long ac, const t_atom *av);
KIVO_EXPORT t_kivo_err atom_arg_getsym(t_symbol **c, long idx, long ac, const t_atom *av);

/* Object atoms: true when the atom holds a valid object whose class has that
   name ("string", "atomarray", "dictionary"). */
KIVO_EXPORT long atomisstring(const t_atom *a);
KIVO_EXPORT long atomisatomarray(const t_atom *a);
KIVO_EXPORT long atomisdictionary(const t_atom *a);
/* The object when its class's name is exactly that symbol, else null. */
KIVO_EXPORT void *atom_getobjclass(const t_atom *a, t_symbol *classname);
KIVO_EXPORT long atom_equal(const t_atom *a, const t_atom *b);

/* Diagnostic text; the result is a static buffer that the next call overwrites. */
KIVO_EXPORT const char *atom_string(const t_atom *a);
KIVO_EXPORT const char *attostr(char type, const t_word *value);
/* Appends the atom's text and one blank to the C text. */
KIVO_EXPORT void appendatom(const t_atom *a, char *text);
KIVO_EXPORT void atoms_totext(char *text, short ac, const t_atom *av);

/* Replaces a numbered argument reference ('#N' or '$N') inside one atom by
   argv[N]; 1 when replaced, 0 when the atom holds no reference. */
KIVO_EXPORT long atom_replacearg(t_atom *a, long argc, const t_atom *argv, char prefix,
                                 long keepmissing, long keepstring);

KIVO_END_C

#endif

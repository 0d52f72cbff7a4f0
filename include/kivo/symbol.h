/*
 * Symbols: the single interned record of each name. Two names are equal
 * exactly when their symbols are the same record; symbols are never freed.
 */
#ifndef KIVO_SYMBOL_H
#define KIVO_SYMBOL_H

#include "kivo/types.h"

KIVO_BEGIN_C

typedef struct atom t_atom;

/* Other modules read both fields; only `thing` is ever written. */
typedef struct symbol {
    const char *name; /* owned by the symbol table, never changed or freed */
    t_object *thing;  /* the datum bound to the symbol, null when made */
} t_symbol;
KIVO_STATIC_ASSERT(sizeof(t_symbol) == 16, "t_symbol is two words");

KIVO_EXPORT void mess_init(void);
/* The symbol of that name, made when absent; null only when memory is exhausted. */
KIVO_EXPORT t_symbol *gensym(const char *name);
KIVO_EXPORT t_atom_long symtab_total(void);
KIVO_EXPORT void symbols_init(void);

KIVO_EXPORT void utils_setcontext(void *x, long n);
KIVO_EXPORT short utils_usecontext(short flag);
KIVO_EXPORT long utils_getcontextnumber(void);
KIVO_EXPORT short utils_contextinuse(void);

/* Expands the symbol that followed a '$'; null for a count of 0 or a digit
   beyond the count. argv[d] holds the value of argument d. */
KIVO_EXPORT t_symbol *getdollsym(t_symbol *s, long argc, t_atom *argv);
/* 1 when a sorts at or before b in byte order, else 0. */
KIVO_EXPORT long symbol_compare(t_symbol *a, t_symbol *b);
KIVO_EXPORT t_symbol *symbol_stripquotes(t_symbol *s);

/* The global message selectors; each points to a compiled-in symbol. */
KIVO_EXPORT extern t_symbol *ps_int, *ps_bang, *ps_float, *ps_list, *ps_set, *ps_in1, *ps_in2,
    *ps_ft1, *ps_ft2, *ps_assist, *ps_anything, *ps_dblclick, *ps_click, *ps_enable,
    *ps_update, *ps_symbol, *ps_monitor, *ps_;

KIVO_END_C

#endif

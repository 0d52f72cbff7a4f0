/*
 * The kernel's self-test classes "obex_tester" and "obex_tester_subclass":
 * nobox classes that exercise every argument kind, offset attributes with
 * replaced accessors, attributes of attributes and of methods, sticky
 * class attributes, the dictionary constructor, notification and calls to
 * the superclass. Every handler reports what it received on the console
 * (and most on the system log). Nothing else in the system makes them.
 *
 * Used by: kernel/obexinit.cpp, tests/kernel.
 */
#ifndef KIVO_KERNEL_TESTCLASS_INTERNAL_H
#define KIVO_KERNEL_TESTCLASS_INTERNAL_H

#include "kivo/object.h"

KIVO_BEGIN_C

typedef struct obex_tester {
    t_object ob;
    void *obex;                  /* the extension store */
    unsigned char attrchar;
    t_atom_long attrint;
    float attrfloat;
    t_symbol *attrsym;
    t_atom_long attrintarray[4];
    t_atom attratomarray[4];
} t_obex_tester;

typedef struct obex_tester_subclass {
    t_obex_tester base;
    t_atom_long anotherattrint;
} t_obex_tester_subclass;

/* Makes and registers both classes in "nobox" (once). */
KIVO_INTERNAL void obex_tester_init(void);

KIVO_END_C

#endif

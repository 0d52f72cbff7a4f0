/*
 * A C program that defines a class through kivo/kivo.h alone, as an external
 * does: typed methods, registration, creation by name, word and typed
 * messages, freeing.
 */
#include <stdio.h>

#include "kivo/kivo.h"

/* The program plays the application's part and starts the kernel itself;
   an external finds it already running. */
extern long kivo_startup(void);

#include "capi_check.h"

/* Through void (*)(void), which the compiler lets match every function type. */
#define METHOD(f) ((method)(void (*)(void))(f))

typedef struct counter {
    t_object ob;
    t_atom_long count;
    double level;
    t_symbol *label;
    long listlen;
    double listsum;
} t_counter;

static t_class *counter_class;
static int freed;

static void *counter_new(t_atom_long start) {
    t_counter *x = (t_counter *)object_alloc(counter_class);
    if (x) x->count = start;
    return x;
}

static void counter_free(t_counter *x) {
    ++freed;
}

static void counter_int(t_counter *x, t_atom_long n) {
    x->count += n;
}

static void counter_float(t_counter *x, double f) {
    x->level = f;
}

static void counter_label(t_counter *x, t_symbol *s) {
    x->label = s;
}

static void counter_scale(t_counter *x, t_atom_long n, double f) {
    x->count *= n;
    x->level *= f;
}

static void counter_list(t_counter *x, t_symbol *s, long argc, t_atom *argv) {
    long i;
    x->listlen = argc;
    x->listsum = 0;
    for (i = 0; i < argc; ++i) x->listsum += atom_getfloat(argv + i);
}

static void *counter_get(t_counter *x) {
    return (void *)(t_ptr_int)x->count;
}

static void *counter_add(t_counter *x, t_atom_long a, t_atom_long b) {
    x->count += a + b;
    return (void *)(t_ptr_int)x->count;
}

int main(void) {
    t_counter *x;
    t_atom a[3];
    t_symbol *nobox, *name;

    if (kivo_startup() != 0) return 2;
    nobox = gensym("nobox");
    name = gensym("capi.counter");

    counter_class = class_new("capi.counter", METHOD(counter_new), METHOD(counter_free),
                              sizeof(t_counter), NULL, AT_DEFLONG, 0);
    CHECK(counter_class != NULL);
    class_addmethod(counter_class, METHOD(counter_int), "int", AT_LONG, 0);
    class_addmethod(counter_class, METHOD(counter_float), "float", AT_FLOAT, 0);
    class_addmethod(counter_class, METHOD(counter_label), "label", AT_SYM, 0);
    class_addmethod(counter_class, METHOD(counter_scale), "scale", AT_LONG, AT_FLOAT, 0);
    class_addmethod(counter_class, METHOD(counter_list), "list", AT_GIMME, 0);
    class_addmethod(counter_class, METHOD(counter_get), "get", AT_CANT, 0);
    class_addmethod(counter_class, METHOD(counter_add), "add", AT_CANT, 0);
    CHECK(class_register(nobox, counter_class) == 0);

    atom_setlong(&a[0], 5);
    x = (t_counter *)object_new_typed(nobox, name, 1, a);
    CHECK(x != NULL);
    if (!x) return 1;
    CHECK(x->count == 5);
    CHECK(object_classname(x) == name);

    /* word messages */
    CHECK(object_method(x, gensym("get")) == (void *)5);
    CHECK(object_method(x, gensym("add"), (void *)(t_ptr_int)2, (void *)(t_ptr_int)3) ==
          (void *)10);
    CHECK(object_method(x, gensym("capi-nosuch")) == NULL);

    /* typed messages: conversion and defaults */
    atom_setfloat(&a[0], 2.9);
    typedmess(x, gensym("int"), 1, a);
    CHECK(x->count == 12);
    atom_setlong(&a[0], 3);
    typedmess(x, gensym("float"), 1, a);
    CHECK(x->level == 3.0);
    atom_setlong(&a[0], 2);
    atom_setfloat(&a[1], 0.5);
    typedmess(x, gensym("scale"), 2, a);
    CHECK(x->count == 24);
    CHECK(x->level == 1.5);
    atom_setsym(&a[0], gensym("hello"));
    typedmess(x, gensym("label"), 1, a);
    CHECK(x->label == gensym("hello"));

    /* object_method_typed: the selector may come from the atoms */
    atom_setlong(&a[0], 1);
    atom_setfloat(&a[1], 2.5);
    atom_setlong(&a[2], 4);
    CHECK(object_method_typed(x, NULL, 3, a, NULL) == 0);
    CHECK(x->listlen == 3);
    CHECK(x->listsum == 7.5);
    atom_setsym(&a[0], gensym("int"));
    atom_setlong(&a[1], 6);
    CHECK(object_method_typed(x, NULL, 2, a, NULL) == 0);
    CHECK(x->count == 30);

    /* refused arguments leave the object alone */
    errorcount_set(0);
    atom_setsym(&a[0], gensym("nope"));
    CHECK(typedmess(x, gensym("int"), 1, a) == NULL);
    CHECK(errorcount_get() == 1);
    CHECK(x->count == 30);

    CHECK(object_free(x) == 0);
    CHECK(freed == 1);

    if (failures) fprintf(stderr, "%d checks failed\n", failures);
    return failures ? 1 : 0;
}

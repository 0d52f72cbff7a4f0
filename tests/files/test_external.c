/* A small external for the loader tests, compiled in several forms:
   KVT_CLASSNAME names the class it registers; KVT_ENTRY_MAIN enters it
   through "main" instead of "ext_main"; KVT_NO_ENTRY leaves both out;
   KVT_STDERR_TEXT is written to standard error while it is loaded. */
#include <stdio.h>

#include "kivo/kivo.h"

#ifndef KVT_NO_ENTRY

typedef struct kvt {
    t_object ob;
    void *out;
    t_atom_long first; /* the first argument, or -1 */
} t_kvt;

static t_class *s_class;

static void *kvt_new(t_symbol *s, long argc, t_atom *argv) {
    t_kvt *x = (t_kvt *)object_alloc(s_class);
    if (!x) return NULL;
    x->out = outlet_new(x, NULL);
    x->first = argc > 0 ? atom_getlong(argv) : -1;
    return x;
}

/* Answers its first argument, so a test sees which arguments arrived. */
static void kvt_bang(t_kvt *x) {
    outlet_int((t_outlet *)x->out, x->first);
}

static void kvt_define(void) {
    t_class *c = class_new(KVT_CLASSNAME, (method)kvt_new, NULL, sizeof(t_kvt), NULL, AT_GIMME, 0);
    class_addmethod(c, (method)kvt_bang, "bang", 0);
    class_register(gensym("box"), c);
    s_class = c;
}

#ifdef KVT_ENTRY_MAIN
void kvt_entry(void *r) __asm__("main");
void kvt_entry(void *r) {
    kvt_define();
}
#else
void ext_main(void *r) {
    kvt_define();
}
#endif

#endif /* KVT_NO_ENTRY */

#ifdef KVT_STDERR_TEXT
__attribute__((constructor)) static void kvt_talk(void) {
    fprintf(stderr, "%s\n", KVT_STDERR_TEXT);
}
#endif

int kvt_present = 1;

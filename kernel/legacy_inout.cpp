/*
 * The inlet and outlet constructors of the older interface, by type, and
 * outlet_atoms, which picks the send by the type of the first atom.
 */
#include "kernel/inout_internal.h"
#include "kivo/commonsyms.h"
#include "kivo/post.h"

namespace {

t_symbol *sym_or_null(const char *s) {
    return s ? gensym(s) : nullptr;
}

// "in1".."in9" or "ft1".."ft9"; null (after the posts) outside 1..9.
t_inlet *numbered_inlet(void *x, short n, t_symbol *accepted, char prefix0, char prefix1) {
    if (n < 1 || n > 9) {
        post("- external object error:");
        post("inlet %ld out of range", static_cast<long>(n));
        return nullptr;
    }
    char name[4] = {prefix0, prefix1, static_cast<char>('0' + n), 0};
    return c_inlet_new(x, x, accepted, gensym(name));
}

} // namespace

extern "C" {

t_inlet *inlet_new(void *x, const char *s) {
    t_symbol *sym = sym_or_null(s);
    return c_inlet_new(x, x, sym, sym);
}

t_inlet *inlet4(void *owner, void *receiver, const char *accepted, const char *mapped) {
    return c_inlet_new(owner, receiver, sym_or_null(accepted), sym_or_null(mapped));
}

t_inlet *intin(void *x, short n) {
    return numbered_inlet(x, n, _sym(int), 'i', 'n');
}

t_inlet *floatin(void *x, short n) {
    return numbered_inlet(x, n, _sym(float), 'f', 't');
}

void *outlet_new(void *x, const char *type) {
    return c_outlet_new(x, sym_or_null(type));
}

void *bangout(void *x) {
    return c_outlet_new(x, _sym(bang));
}

void *intout(void *x) {
    return c_outlet_new(x, _sym(int));
}

void *floatout(void *x) {
    return c_outlet_new(x, _sym(float));
}

void *listout(void *x) {
    return c_outlet_new(x, _sym(list));
}

void *outlet_atoms(t_outlet *x, short argc, t_atom *argv) {
    // The first atom decides; a caller with no atom has nothing to send.
    if (argc <= 0 || !argv) return nullptr;
    if (argc == 1) {
        switch (argv[0].type) {
        case AT_LONG: return outlet_int(x, argv[0].value.w_long);
        case AT_FLOAT: return outlet_float(x, argv[0].value.w_float);
        case AT_SYM: return outlet_anything(x, argv[0].value.w_sym, 0, nullptr);
        default: return nullptr;
        }
    }
    switch (argv[0].type) {
    case AT_SYM: return outlet_anything(x, argv[0].value.w_sym, argc - 1, argv + 1);
    case AT_LONG:
    case AT_FLOAT: return outlet_list(x, _sym(list), argc, argv);
    default: return nullptr;
    }
}

} // extern "C"

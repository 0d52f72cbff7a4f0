/*
 * "sketch", as the object system's start-up makes it: a drawing surface of
 * a given size with its extension store. Its drawing calls come with the
 * drawing layer. Main thread only.
 */
#include "graphics/sketch_internal.h"

#include <cstddef>

#include "kernel/obex_internal.h"
#include "kivo/kivo.h"

namespace {

using kivo::obex::as_method;

struct t_sketch {
    t_object ob;
    void *obex;            // the extension store
    t_atom_long size[2];   // width, height
};

t_class *s_sketch_class = nullptr; // made once, never freed

void *sketch_new(t_symbol *, long argc, t_atom *argv) {
    auto *x = static_cast<t_sketch *>(object_alloc(s_sketch_class));
    if (!x) return nullptr;
    x->size[0] = 100;
    x->size[1] = 100;
    attr_args_process(x, static_cast<short>(argc), argv);
    return x;
}

} // namespace

extern "C" {

void sketch_init(void) {
    if (s_sketch_class) return;
    t_class *c = class_new("sketch", as_method(sketch_new), nullptr, sizeof(t_sketch), nullptr, AT_GIMME, 0);
    if (!c) return;
    class_obexoffset_set(c, offsetof(t_sketch, obex));
    class_addattr(c, attr_offset_array_new("size", _sym(long), 2, 0, nullptr, nullptr, 0, offsetof(t_sketch, size)));
    class_register(_sym(nobox), c);
    s_sketch_class = c;
}

} // extern "C"

/*
 * The patcher's "replace": the first box of a patcher dictionary (the
 * template) takes the place of each named box, with its identifier, its
 * position, its place in the stacking order and its patch cords.
 *
 * The template is rewritten for each box it replaces: the old box's
 * identifier (so that the saved cords find the new box), its position with
 * the template's size, and the box in front of it ("orderbefore"), which
 * the box layer uses to put the new box where the old one was. The old box
 * goes before the paste so that its identifier is free; a cord that the
 * new box cannot take (fewer inlets or outlets) is reported by the cord
 * itself and dropped.
 */
#include <vector>

#include "boxes/jbox_internal.h"
#include "boxes/jpatchline.h"
#include "kernel/interned.h"
#include "kernel/obex_internal.h"
#include "kivo/atomarray.h"
#include "kivo/class.h"
#include "kivo/dictionary.h"
#include "kivo/dispatch.h"
#include "patcher/jpatcher.h"
#include "patcher/patcher_edit.h"
#include "patcher/patcher_model.h"

namespace {

using kivo::obex::as_method;

struct Size {
    double w = 0, h = 0;
    bool whole() const { return w != 0 && h != 0; }
};

Size size_of(t_dictionary *d, t_symbol *key) {
    long ac = 0;
    t_atom *av = nullptr;
    Size s;
    if (!dictionary_getatoms(d, key, &ac, &av) && ac >= 4) {
        s.w = atom_getfloat(av + 2);
        s.h = atom_getfloat(av + 3);
    }
    return s;
}

void put_sym(t_dictionary *d, t_symbol *key, t_symbol *v) {
    dictionary_deleteentry(d, key);
    dictionary_appendsym(d, key, v);
}

void put_long(t_dictionary *d, t_symbol *key, t_atom_long v) {
    dictionary_deleteentry(d, key);
    dictionary_appendlong(d, key, v);
}

void put_string(t_dictionary *d, t_symbol *key, const char *v) {
    dictionary_deleteentry(d, key);
    dictionary_appendstring(d, key, v);
}

// The old position with the template's size as "<rect_key>", or the
// position alone as "<position_key>" when that size has a zero.
void put_place(t_dictionary *d, const t_rect &old, Size size, t_symbol *rect_key, t_symbol *position_key) {
    dictionary_deleteentry(d, rect_key);
    dictionary_deleteentry(d, position_key);
    t_atom av[4];
    atom_setfloat(av, old.x);
    atom_setfloat(av + 1, old.y);
    if (size.whole()) {
        atom_setfloat(av + 2, size.w);
        atom_setfloat(av + 3, size.h);
        dictionary_appendatoms(d, rect_key, 4, av);
    } else {
        dictionary_appendatoms(d, position_key, 2, av);
    }
}

// Every cord with an end at the box, as {"patchline": {...}} dictionaries.
std::vector<t_atom> cords_at(t_jpatcher *x, t_object *box) {
    std::vector<t_atom> out;
    jpatcher_each(x->lines, [&](t_object *o) {
        t_jpatchline *l = jpatchline_cast(o);
        if (!l || !l->box1 || !l->box2 || (l->box1 != box && l->box2 != box)) return false;
        t_dictionary *line = dictionary_new();
        t_dictionary *wrap = line ? dictionary_new() : nullptr;
        if (!wrap) {
            if (line) object_free(line);
            return false;
        }
        jpatchline_appendtodictionary(l, line);
        dictionary_appenddictionary(wrap, KSYM("patchline"), &line->ob);
        t_atom a;
        atom_setobj(&a, wrap);
        out.push_back(a);
        return false;
    });
    return out;
}

void replace_one(t_jpatcher *x, t_dictionary *d, t_dictionary *tmpl, long keep, t_object *box, Size psize,
                 Size presize) {
    t_object *p = &x->ob;
    t_jbox *b = jbox_cast(box);
    std::vector<t_atom> lines = cords_at(x, box);
    const t_rect where = b->b_patching_rect, shown = b->b_presentation_rect;
    const bool presentation = b->b_presentation != 0;
    void *front = nullptr;
    linklist_next(x->boxes, box, &front);
    t_symbol *front_id = front ? jbox_get_id(static_cast<t_object *>(front)) : nullptr;

    if (b->b_id) put_sym(tmpl, KSYM("id"), b->b_id);
    if (b->b_varname && b->b_varname->name[0]) put_sym(tmpl, KSYM("varname"), b->b_varname);
    if (keep) {
        const char *annotation = jbox_get_annotation(box);
        const char *hint = jbox_get_hintstring(box);
        if (annotation && *annotation) put_string(tmpl, KSYM("annotation"), annotation);
        if (hint && *hint) put_string(tmpl, KSYM("hint"), hint);
        put_long(tmpl, KSYM("background"), b->b_background);
        put_long(tmpl, KSYM("hidden"), b->b_hidden);
        put_long(tmpl, KSYM("ignoreclick"), b->b_ignoreclick);
    }
    put_place(tmpl, where, psize, KSYM("patching_rect"), KSYM("patching_position"));
    if (presentation) {
        put_place(tmpl, shown, presize, KSYM("presentation_rect"), KSYM("presentation_position"));
        put_long(tmpl, KSYM("presentation"), 1);
    } else {
        dictionary_deleteentry(tmpl, KSYM("presentation"));
        dictionary_deleteentry(tmpl, KSYM("presentation_rect"));
    }
    dictionary_deleteentry(tmpl, KSYM("orderbefore"));
    dictionary_deleteentry(tmpl, KSYM("orderfront"));
    if (front_id)
        dictionary_appendsym(tmpl, KSYM("orderbefore"), front_id);
    else
        dictionary_appendlong(tmpl, KSYM("orderfront"), 1);

    jpatcher_deleteobj(p, box);
    // The dictionary takes the cord dictionaries and frees them with "lines".
    dictionary_deleteentry(d, KSYM("lines"));
    dictionary_appendatoms_flags(d, KSYM("lines"), static_cast<long>(lines.size()), lines.data(), 0);
    jpatcher_pastefromdictionary(p, d);
    dictionary_deleteentry(d, KSYM("lines"));
}

} // namespace

extern "C" {

long jpatcher_replace(t_object *p, t_symbol *, long argc, t_atom *argv) {
    t_jpatcher *x = jpatcher_cast(p);
    if (!x || argc < 2 || !argv || atom_gettype(argv) != AT_OBJ) return -1;
    auto *o = static_cast<t_object *>(atom_getobj(argv));
    if (!o || object_classname(o) != KSYM("dictionary")) return -1;
    auto *d = reinterpret_cast<t_dictionary *>(o);
    long keep = 0, first = 1;
    if (atom_gettype(argv + 1) == AT_LONG) {
        keep = static_cast<long>(atom_getlong(argv + 1));
        first = 2;
    }
    long ac = 0;
    t_atom *av = nullptr;
    t_kivo_err err = dictionary_getatoms(d, KSYM("boxes"), &ac, &av);
    if (err) return err;
    if (ac < 1 || !av || atom_gettype(av) != AT_OBJ) return -1;
    auto *entry = static_cast<t_object *>(atom_getobj(av));
    if (!entry || object_classname(entry) != KSYM("dictionary")) return -1;
    t_dictionary *tmpl = nullptr;
    err = dictionary_getdictionary(reinterpret_cast<t_dictionary *>(entry), KSYM("box"),
                                   reinterpret_cast<t_object **>(&tmpl));
    if (err) return err;
    if (!tmpl) return -1;
    const Size psize = size_of(tmpl, KSYM("patching_rect"));
    Size presize = size_of(tmpl, KSYM("presentation_rect"));
    if (!presize.whole()) presize = psize;
    // Each box once: the first replacement frees it, and a new box may
    // take its address.
    for (t_object *box : jpatcher_named_boxes(p, argc - first, argv + first))
        replace_one(x, d, tmpl, keep, box, psize, presize);
    return 0;
}

void jpatcher_replace_addmethods(t_class *c) {
    class_addmethod(c, as_method(jpatcher_replace), "replace", AT_GIMME, 0);
}

} // extern "C"

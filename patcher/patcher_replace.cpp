/*
 * The patcher's "replace": a box given as a box dictionary takes the place
 * of an existing box, with its id, its place in the drawing order and its
 * patch cords. The old box and its cords go first, so that the new box
 * can take the id; a cord that the new box cannot take (fewer inlets or
 * outlets) is reported by the cord itself and dropped.
 */
#include <vector>

#include "boxes/jbox_internal.h"
#include "boxes/jpatchline.h"
#include "kernel/obex_internal.h"
#include "kivo/atomarray.h"
#include "kivo/class.h"
#include "kivo/commonsyms.h"
#include "kivo/dictionary.h"
#include "kivo/dispatch.h"
#include "patcher/jpatcher.h"
#include "patcher/patcher_model.h"

namespace {

t_symbol *sym(const char *s) { return gensym(s); }

using kivo::obex::as_method;

struct Cord {
    t_symbol *from, *to; // null: the box being replaced
    long outlet, inlet;
};

// The box dictionary of {"boxes": [{"box": {...}}]}, {"box": {...}} or {...}.
t_dictionary *box_dictionary(t_dictionary *d) {
    t_object *arr = nullptr;
    if (!dictionary_getatomarray(d, sym("boxes"), &arr) && arr) {
        long n = 0;
        t_atom *av = nullptr;
        atomarray_getatoms(reinterpret_cast<t_atomarray *>(arr), &n, &av);
        if (n < 1 || atom_gettype(av) != AT_OBJ) return nullptr;
        d = static_cast<t_dictionary *>(static_cast<void *>(atom_getobj(av)));
        if (!d || object_classname(&d->ob) != _sym(dictionary)) return nullptr;
    }
    t_dictionary *inner = nullptr;
    if (!dictionary_getdictionary(d, sym("box"), reinterpret_cast<t_object **>(&inner)) && inner) return inner;
    return d;
}

void place(t_dictionary *d, const char *key, const t_rect &old) {
    double r[4] = {old.x, old.y, old.width, old.height};
    long ac = 0;
    t_atom *av = nullptr;
    if (!dictionary_getatoms(d, sym(key), &ac, &av) && ac >= 4 && atom_getfloat(av + 2) > 0 &&
        atom_getfloat(av + 3) > 0) {
        r[2] = atom_getfloat(av + 2);
        r[3] = atom_getfloat(av + 3);
    }
    t_atom out[4];
    for (int i = 0; i < 4; ++i) atom_setfloat(out + i, r[i]);
    dictionary_deleteentry(d, sym(key));
    dictionary_appendatoms(d, sym(key), 4, out);
}

t_object *replace(t_jpatcher *x, t_dictionary *d, t_jbox *old) {
    t_object *p = &x->ob;
    t_dictionary *boxd = box_dictionary(d);
    if (!boxd) return nullptr;
    t_symbol *id = old->b_id;
    t_symbol *varname = old->b_varname;
    t_rect where = old->b_patching_rect, shown = old->b_presentation_rect;
    unsigned char presentation = old->b_presentation;
    long index = static_cast<long>(linklist_objptr2index(x->boxes, &old->b_ob));
    std::vector<Cord> cords;
    std::vector<t_object *> doomed;
    jpatcher_each(x->lines, [&](t_object *o) {
        t_jpatchline *l = jpatchline_cast(o);
        if (!l || (l->box1 != &old->b_ob && l->box2 != &old->b_ob)) return false;
        Cord c{l->box1 == &old->b_ob ? nullptr : jbox_get_id(l->box1),
               l->box2 == &old->b_ob ? nullptr : jbox_get_id(l->box2), static_cast<long>(l->outletnum),
               static_cast<long>(l->inletnum)};
        if (l->box1 && l->box2) cords.push_back(c);
        doomed.push_back(o);
        return false;
    });
    for (t_object *o : doomed) object_free(o);
    object_free(&old->b_ob);

    dictionary_deleteentry(boxd, sym("id"));
    dictionary_appendsym(boxd, sym("id"), id);
    if (varname && varname->name[0]) {
        dictionary_deleteentry(boxd, sym("varname"));
        dictionary_appendsym(boxd, sym("varname"), varname);
    }
    // The old place; the new size when the dictionary gives one.
    place(boxd, "patching_rect", where);
    dictionary_deleteentry(boxd, sym("presentation"));
    dictionary_appendlong(boxd, sym("presentation"), presentation);
    if (shown.width > 0 && shown.height > 0) place(boxd, "presentation_rect", shown);
    t_atom a, rv;
    atom_setobj(&a, boxd);
    atom_setobj(&rv, nullptr);
    jpatcher_newobject(p, 1, &a, &rv);
    auto *made = static_cast<t_object *>(atom_getobj(&rv));
    t_jbox *nb = jbox_cast(made);
    if (!nb) return made;
    if (index >= 0 && index < static_cast<long>(linklist_getsize(x->boxes))) {
        linklist_chuckobject(x->boxes, made);
        linklist_insertindex(x->boxes, made, index);
        jpatcher_boxnotify(p, made, sym("zorder"));
    }
    for (const Cord &c : cords) {
        t_dictionary *line = dictionary_new();
        t_dictionary *wrap = dictionary_new();
        if (!line || !wrap) {
            if (line) object_free(line);
            if (wrap) object_free(wrap);
            continue;
        }
        t_atom src[2], dst[2];
        atom_setsym(src, c.from ? c.from : nb->b_id);
        atom_setlong(src + 1, c.outlet);
        atom_setsym(dst, c.to ? c.to : nb->b_id);
        atom_setlong(dst + 1, c.inlet);
        dictionary_appendatoms(line, sym("source"), 2, src);
        dictionary_appendatoms(line, sym("destination"), 2, dst);
        dictionary_appenddictionary(wrap, sym("patchline"), &line->ob);
        t_atom w, r;
        atom_setobj(&w, wrap);
        atom_setobj(&r, nullptr);
        jpatcher_newpatchline(p, 1, &w, &r);
        object_free(wrap);
    }
    return made;
}

t_kivo_err replace_msg(t_jpatcher *x, t_symbol *, long argc, t_atom *argv, t_atom *rv) {
    if (rv) atom_setobj(rv, nullptr);
    if (argc < 2 || !argv || atom_gettype(argv) != AT_OBJ || atom_gettype(argv + 1) != AT_OBJ)
        return KIVO_ERR_INVALID_PTR;
    auto *what = static_cast<t_object *>(atom_getobj(argv));
    t_jbox *old = jbox_cast(static_cast<t_object *>(atom_getobj(argv + 1)));
    if (!what || !old || old->b_patcher != &x->ob || object_classname(what) != _sym(dictionary))
        return KIVO_ERR_INVALID_PTR;
    t_object *made = replace(x, reinterpret_cast<t_dictionary *>(what), old);
    if (rv) atom_setobj(rv, made);
    return made ? KIVO_ERR_NONE : KIVO_ERR_GENERIC;
}

} // namespace

extern "C" {

void jpatcher_replace_addmethods(t_class *c) {
    class_addmethod(c, as_method(replace_msg), "replace", AT_GIMMEBACK, 0);
}

} // extern "C"

// Boxes and views for the geometry and text tests.
//
// A GBox is a box that is its own first-inlet object, with as many inlets
// (the first being the box itself) and outlets as asked; "bang" on its
// first inlet appends its tag to deliveries(). Its class is made per flag
// word ("gbox_<flags>" in the "box" name space). A GView stands in for an
// editing view: "locked", "presentation" and "unlockedinteraction" flags, a
// "selectedboxes" list, and it records every "boxnotify" it is sent.
#ifndef KIVO_TESTS_BOXES_BOXGEOM_SUPPORT_H
#define KIVO_TESTS_BOXES_BOXGEOM_SUPPORT_H

#include <cstddef>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "boxes/boxgeom_internal.h"
#include "boxes/jbox_internal.h"
#include "kivo/kivo.h"
#include "kivo_test.h"
#include "patcher/jpatcher.h"
#include "patcher/patcher_model.h"

namespace kivo::test::boxgeom {

inline std::vector<std::string> &deliveries() {
    static std::vector<std::string> log;
    return log;
}

struct GBox {
    t_jbox b;
    t_symbol *tag;
};

inline void gbox_bang(GBox *x) { deliveries().push_back(x->tag ? x->tag->name : "?"); }
inline void gbox_free(GBox *x) { jbox_free(&x->b); }
inline void *gbox_new(t_symbol *, long, t_atom *) { return nullptr; }

// The class for a flag word, made on first use; extra messages are added
// with `more` before registration.
template <typename More>
t_class *gbox_class(const std::string &name, long flags, More more) {
    static std::map<std::string, t_class *> made;
    auto it = made.find(name);
    if (it != made.end()) return it->second;
    t_class *c = class_new(name.c_str(), as_method(gbox_new), as_method(gbox_free), sizeof(GBox),
                           nullptr, AT_GIMME, 0);
    jbox_initclass(c, flags);
    class_addmethod(c, as_method(gbox_bang), "bang", 0);
    more(c);
    class_register(gensym("box"), c);
    made[name] = c;
    return c;
}
inline t_class *gbox_class(long flags) {
    return gbox_class("gbox_" + std::to_string(flags), flags, [](t_class *) {});
}

// A ready box in the patcher, painted once (so that size checks apply),
// at the rectangle.
inline GBox *make_box(t_object *patcher, t_class *c, long flags, t_rect r, long inlets,
                      long outlets, const char *tag = "") {
    auto *x = static_cast<GBox *>(object_alloc(c));
    if (!x) return nullptr;
    t_dictionary *d = dictionary_new();
    t_atom rect[4];
    atom_setfloat(rect, r.x);
    atom_setfloat(rect + 1, r.y);
    atom_setfloat(rect + 2, r.width);
    atom_setfloat(rect + 3, r.height);
    dictionary_appendatoms(d, gensym("patching_rect"), 4, rect);
    t_atom av[2];
    atom_setobj(av, patcher);
    atom_setobj(av + 1, d);
    jbox_new(&x->b, flags | JBOX_FLAG_DRAWFIRSTIN, 2, av);
    x->tag = gensym(tag);
    for (long i = 1; i < inlets; ++i) inlet_new(x, nullptr);
    for (long i = 0; i < outlets; ++i) outlet_new(x, nullptr);
    x->b.b_firstin = &x->b.b_ob;
    jbox_ready(&x->b);
    object_free(d);
    x->b.b_boxstate &= static_cast<unsigned char>(~JBOX_STATE_PAINTPENDING);
    jbox_setrect(&x->b, gensym("patching_rect"), r.x, r.y, r.width, r.height);
    return x;
}

struct GView {
    t_object ob;
    void *obex;
    char locked;
    char presentation;
    char unlockedinteraction;
    long nselected;
    t_object *selected[8];
};

inline std::vector<std::pair<std::string, t_object *>> &boxnotes() {
    static std::vector<std::pair<std::string, t_object *>> log;
    return log;
}
inline long count_notes(const char *what, t_object *box) {
    long n = 0;
    for (auto &[w, b] : boxnotes()) n += (w == what && b == box) ? 1 : 0;
    return n;
}

inline void gview_boxnotify(GView *, t_symbol *, long argc, t_atom *argv) {
    if (argc >= 2)
        boxnotes().emplace_back(atom_getsym(argv)->name, static_cast<t_object *>(atom_getobj(argv + 1)));
}

inline t_kivo_err gview_getselected(GView *x, t_object *, long *ac, t_atom **av) {
    *ac = x->nselected;
    *av = x->nselected ? reinterpret_cast<t_atom *>(sysmem_newptr(sizeof(t_atom) * x->nselected)) : nullptr;
    for (long i = 0; i < x->nselected; ++i) atom_setobj(*av + i, x->selected[i]);
    return 0;
}

inline void *gview_new(void) { return nullptr; }

inline t_class *gview_class() {
    static t_class *c = [] {
        t_class *k = class_new("gview", as_method(gview_new), nullptr, sizeof(GView), nullptr, 0);
        class_obexoffset_set(k, offsetof(GView, obex));
        class_addmethod(k, as_method(gview_boxnotify), "boxnotify", AT_GIMME, 0);
        t_symbol *ch = gensym("char");
        class_addattr(k, attr_offset_new("locked", ch, 0, nullptr, nullptr, offsetof(GView, locked)));
        class_addattr(k, attr_offset_new("presentation", ch, 0, nullptr, nullptr,
                                         offsetof(GView, presentation)));
        class_addattr(k, attr_offset_new("unlockedinteraction", ch, 0, nullptr, nullptr,
                                         offsetof(GView, unlockedinteraction)));
        class_addattr(k, attribute_new("selectedboxes", gensym("atom"), 0,
                                       as_method(gview_getselected), nullptr));
        class_register(gensym("nobox"), k);
        return k;
    }();
    return c;
}

// A patcher with one visible view; both freed with the fixture.
struct Scene {
    t_object *patcher = nullptr;
    GView *view = nullptr;
    std::vector<t_object *> boxes;

    Scene() {
        patcher = static_cast<t_object *>(object_new_typed(gensym("nobox"), gensym("jpatcher"), 0, nullptr));
        view = static_cast<GView *>(object_alloc(gview_class()));
        jpatcher_linkview(patcher, &view->ob);
        jpatcher_cast(patcher)->visibleviews = 1;
        boxnotes().clear();
        deliveries().clear();
    }
    ~Scene() {
        // Senders go first, so that their connections are gone before the
        // boxes they lead to (tests connect earlier boxes to later ones).
        for (t_object *b : boxes) object_free(b);
        jpatcher_unlinkview(patcher, &view->ob);
        jpatcher_cast(patcher)->visibleviews = 0;
        object_free(patcher);
        object_free(view);
    }
    t_jbox *box(long flags, t_rect r, long inlets = 1, long outlets = 1, const char *tag = "") {
        GBox *x = make_box(patcher, gbox_class(flags), flags, r, inlets, outlets, tag);
        boxes.push_back(&x->b.b_ob);
        return &x->b;
    }
    t_jbox *box_of(t_class *c, long flags, t_rect r, long inlets = 1, long outlets = 1,
                   const char *tag = "") {
        GBox *x = make_box(patcher, c, flags, r, inlets, outlets, tag);
        boxes.push_back(&x->b.b_ob);
        return &x->b;
    }
    void select(t_jbox *b) {
        if (view->nselected < 8) view->selected[view->nselected++] = &b->b_ob;
    }
};

} // namespace kivo::test::boxgeom

#endif

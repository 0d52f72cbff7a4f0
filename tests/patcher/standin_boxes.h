// Stand-in boxes and cords for the patcher model's tests: just enough of a
// box ("tbox" in the "box" name space), a placeholder ("juibogus") and a
// cord ("jpatchline") to exercise reading, naming and the passes. The box
// classes are box classes (jbox_initclass, records beginning with t_jbox)
// that fill in the record themselves instead of through jbox_new.
//
// A tbox is made from (patcher, box dictionary). Keys it reads: "id",
// "varname", "held" (the class of the object it holds, in the "ptest"
// name space; without it the box is its own object) and "sub" (a patcher
// dictionary: the box then holds that subpatcher). Held objects and tboxes
// record their "loadbang", "freebang" and "closebang" calls in calls().
#ifndef KIVO_TESTS_PATCHER_STANDIN_BOXES_H
#define KIVO_TESTS_PATCHER_STANDIN_BOXES_H

#include <string>
#include <vector>

#include "kivo/kivo.h"
#include "kivo_test.h"
#include "patcher/jpatcher.h"
#include "patcher/patcher_model.h"

namespace kivo::test::patcher {

inline std::vector<std::string> &calls() {
    static std::vector<std::string> log;
    return log;
}

inline t_symbol *ns() {
    return gensym("ptest");
}

struct Held {
    t_object ob;
    t_symbol *tag;
};

struct TBox {
    t_jbox_head h;
    t_object *sub; // owned subpatcher, or null
};

// The object a subpatcher box holds: it owns the patcher, names it as its
// subpatcher and passes "loadbang" on to it.
struct SubHolder {
    t_object ob;
    t_object *patcher;
};

struct TCord {
    t_jpatchline_head h;
    t_object *patcher;
};

struct Bogus {
    t_jbox_head h;
    t_symbol *realclass;
    double rect[4];
};

inline t_symbol *sym_of(t_dictionary *d, const char *key) {
    t_symbol *s = nullptr;
    dictionary_getsym(d, gensym(key), &s);
    return s;
}

inline void held_loadbang(Held *x) {
    calls().push_back(std::string("loadbang ") + x->tag->name);
}
inline void held_freebang(Held *x) {
    calls().push_back(std::string("freebang ") + x->tag->name);
}
inline void held_closebang(Held *x, t_symbol *s) {
    calls().push_back(std::string("closebang ") + x->tag->name + " " + s->name);
}

inline void *held_new(t_symbol *s, long, t_atom *) {
    t_class *c = class_findbyname(ns(), s);
    if (!c) return nullptr;
    auto *x = static_cast<Held *>(object_alloc(c));
    if (x) x->tag = s;
    return x;
}

// Names the boxes and registers an id under its own id, as the box layer
// does: a missing or taken id gets a fresh one and the rename is recorded.
inline void take_id(t_object *p, t_jbox_head *h, t_dictionary *d) {
    t_symbol *id = sym_of(d, "id");
    if (!id || jpatcher_getboxfromid(p, id)) {
        t_symbol *fresh = jpatcher_newobjid(p);
        if (id) jpatcher_appendnamechange(p, id, fresh);
        id = fresh;
    }
    h->b_id = id;
}

inline void subholder_loadbang(SubHolder *x) {
    if (x->patcher) jpatcher_loadbang(x->patcher);
}

inline void *subholder_subpatcher(SubHolder *x, t_atom_long index, void *) {
    return index == 0 ? x->patcher : nullptr;
}

inline void subholder_free(SubHolder *x) {
    if (x->patcher) object_free(x->patcher);
}

inline void tbox_free(TBox *x) {
    t_jpatcher *px = jpatcher_cast(x->h.b_patcher);
    if (px && !px->freeing_contents) {
        jpatcher_boxnotify(x->h.b_patcher, &x->h.b_ob, gensym("free"));
        jpatcher_unlinkbox(x->h.b_patcher, &x->h.b_ob);
    }
    if (x->h.b_object && x->h.b_object != &x->h.b_ob) {
        // The box's inlet and outlet lists mirror those of the object it
        // holds; they go with that object, not twice. A box class without
        // a store slot keeps its store where the inlet list would be: that
        // one is its own.
        if (x->h.b_ob.outlet == x->h.b_object->outlet) x->h.b_ob.outlet = nullptr;
        if (object_class(&x->h.b_ob)->obexoffset > 0) x->h.b_ob.inlet = nullptr;
        object_free(x->h.b_object);
    }
}

inline void *tbox_new(t_symbol *, long argc, t_atom *argv);

inline void bogus_free(Bogus *x) {
    if (x->h.b_patcher) jpatcher_unlinkbox(x->h.b_patcher, &x->h.b_ob);
}

inline void *bogus_new(t_dictionary *d) {
    auto *p = static_cast<t_object *>(nullptr);
    dictionary_getobject(d, gensym("#P"), &p);
    if (!jpatcher_cast(p)) return nullptr;
    auto *x = static_cast<Bogus *>(object_alloc(class_findbyname(gensym("box"), gensym("juibogus"))));
    x->h.b_patcher = p;
    x->realclass = sym_of(d, "realclass");
    long ac = 0;
    t_atom *av = nullptr;
    if (!dictionary_getatoms(d, gensym("patching_rect"), &ac, &av) && ac == 4)
        for (int i = 0; i < 4; ++i) x->rect[i] = atom_getfloat(av + i);
    take_id(p, &x->h, d);
    jpatcher_linkbox(p, &x->h.b_ob);
    return x;
}

inline void tcord_free(TCord *x) {
    if (x->patcher) jpatcher_unlinkline(x->patcher, &x->h.pl_ob);
}

inline void *tcord_new(t_symbol *, long argc, t_atom *argv) {
    if (argc < 2) return nullptr;
    auto *p = static_cast<t_object *>(atom_getobj(argv));
    auto *d = static_cast<t_dictionary *>(atom_getobj(argv + 1));
    long sc = 0, dc = 0;
    t_atom *sv = nullptr, *dv = nullptr;
    if (dictionary_getatoms(d, gensym("source"), &sc, &sv) || sc != 2 ||
        dictionary_getatoms(d, gensym("destination"), &dc, &dv) || dc != 2)
        return nullptr;
    t_object *b1 = jpatcher_getboxfromid(p, jpatcher_getnamechange(p, atom_getsym(sv)));
    t_object *b2 = jpatcher_getboxfromid(p, jpatcher_getnamechange(p, atom_getsym(dv)));
    if (!b1 || !b2) {
        object_error(p, "patchcord: no box %s", (b1 ? atom_getsym(dv) : atom_getsym(sv))->name);
        return nullptr;
    }
    auto *x = static_cast<TCord *>(object_alloc(class_findbyname(gensym("nobox"), gensym("jpatchline"))));
    x->patcher = p;
    x->h.pl_box1 = b1;
    x->h.pl_outletnum = static_cast<long>(atom_getlong(sv + 1));
    x->h.pl_box2 = b2;
    x->h.pl_inletnum = static_cast<long>(atom_getlong(dv + 1));
    jpatcher_linkline(p, &x->h.pl_ob);
    return x;
}

// Registers the stand-ins once. False when there is no patcher class yet or
// the build already has a "tbox" (then the tests that need them skip); the
// library's own placeholder and cord classes are used when it has them.
inline bool install() {
    static int state = 0;
    if (state) return state > 0;
    state = -1;
    t_class *patcher_class = class_findbyname(gensym("nobox"), gensym("jpatcher"));
    if (!patcher_class) return false;
    // Until the class registration adds them itself.
    if (!class_getmethod_object(patcher_class, gensym("newobject"))) jpatcher_reading_addmethods(patcher_class);
    if (class_findbyname(gensym("box"), gensym("tbox"))) return false;
    for (const char *name : {"preset", "loadbang", "other", "loadmess"}) {
        t_class *c = class_new(name, as_method(held_new), nullptr, sizeof(Held), nullptr, AT_GIMME, 0);
        class_addmethod(c, as_method(held_loadbang), "loadbang", AT_CANT, 0);
        class_addmethod(c, as_method(held_freebang), "freebang", AT_CANT, 0);
        class_addmethod(c, as_method(held_closebang), "closebang", AT_CANT, 0);
        class_register(ns(), c);
    }
    t_class *b = class_new("tbox", as_method(tbox_new), as_method(tbox_free), sizeof(TBox), nullptr,
                           AT_GIMME, 0);
    jbox_initclass(b, 0);
    class_register(gensym("box"), b);
    t_class *h = class_new("subpatch", nullptr, as_method(subholder_free), sizeof(SubHolder), nullptr, 0);
    class_addmethod(h, as_method(subholder_loadbang), "loadbang", AT_CANT, 0);
    class_addmethod(h, as_method(subholder_subpatcher), "subpatcher", AT_CANT, 0);
    class_register(ns(), h);
    // The library's own placeholder and cord classes serve when it has them.
    if (!class_findbyname(gensym("box"), gensym("juibogus"))) {
        t_class *g = class_new("juibogus", as_method(bogus_new), as_method(bogus_free), sizeof(Bogus),
                               nullptr, AT_OBJ, 0);
        jbox_initclass(g, 0);
        g->flags |= CLASS_FLAG_NEWDICTIONARY;
        class_register(gensym("box"), g);
    }
    if (!class_findbyname(gensym("nobox"), gensym("jpatchline"))) {
        t_class *l = class_new("jpatchline", as_method(tcord_new), as_method(tcord_free), sizeof(TCord),
                               nullptr, AT_GIMME, 0);
        class_register(gensym("nobox"), l);
    }
    state = 1;
    return true;
}

inline void *tbox_new(t_symbol *, long argc, t_atom *argv) {
    if (argc < 2) return nullptr;
    auto *p = static_cast<t_object *>(atom_getobj(argv));
    auto *d = static_cast<t_dictionary *>(atom_getobj(argv + 1));
    if (!jpatcher_cast(p) || !d) return nullptr;
    auto *x = static_cast<TBox *>(object_alloc(class_findbyname(gensym("box"), gensym("tbox"))));
    x->h.b_patcher = p;
    take_id(p, &x->h, d);
    x->h.b_varname = sym_of(d, "varname");
    if (t_symbol *held = sym_of(d, "held")) x->h.b_object = static_cast<t_object *>(object_new_typed(ns(), held, 0, nullptr));
    t_dictionary *sub = nullptr;
    if (!dictionary_getdictionary(d, gensym("sub"), reinterpret_cast<t_object **>(&sub)) && sub) {
        dictionary_appendobject_flags(sub, gensym("###box###"), &x->h.b_ob, DICTIONARY_ENTRY_FLAG_NOFREE);
        t_atom a;
        atom_setobj(&a, sub);
        x->sub = static_cast<t_object *>(object_new_typed(gensym("nobox"), gensym("jpatcher"), 1, &a));
        dictionary_chuckentry(sub, gensym("###box###"));
        if (t_jpatcher *sx = jpatcher_cast(x->sub)) sx->box = &x->h.b_ob;
        auto *holder = static_cast<SubHolder *>(object_alloc(class_findbyname(ns(), gensym("subpatch"))));
        holder->patcher = x->sub;
        x->h.b_object = &holder->ob;
    }
    // A stand-in has no inlets or outlets of its own: like a placeholder it
    // grows those its cords name, so that real cords can connect to it.
    if (!x->h.b_object) x->h.b_object = &x->h.b_ob;
    x->h.b_bogus = 1;
    jpatcher_linkbox(p, &x->h.b_ob);
    if (x->h.b_varname) jpatcher_boxnotify(p, &x->h.b_ob, gensym("varname_set"));
    return x;
}

// Parses JSON text into a dictionary the caller frees.
inline t_dictionary *json(const char *text) {
    t_jsonreader *r = jsonreader_new();
    t_atom result;
    long err = jsonreader_parse(r, text, &result);
    object_free(r);
    if (err) return nullptr;
    return static_cast<t_dictionary *>(atom_getobj(&result));
}

// A patcher made from a patcher dictionary (JSON text of the "patcher"
// value), or an empty one for null.
inline t_object *make_patcher(const char *patcher_json) {
    if (!patcher_json) return static_cast<t_object *>(object_new(gensym("nobox"), gensym("jpatcher")));
    t_dictionary *d = json(patcher_json);
    if (!d) return nullptr;
    t_atom a;
    atom_setobj(&a, d);
    auto *p = static_cast<t_object *>(object_new_typed(gensym("nobox"), gensym("jpatcher"), 1, &a));
    object_free(d);
    return p;
}

inline t_object *box_at(t_object *p, long i) {
    return jpatcher_getnthobject(p, i);
}

} // namespace kivo::test::patcher

#endif

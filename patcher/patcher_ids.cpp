/*
 * Naming inside a patcher: box identifiers "obj-%ld", the moniker
 * dictionaries that name a box, a cord or a patcher for undo and the
 * editor, the id renames of a paste, the new-object log, box paths and the
 * stack of temporary mark bits.
 *
 * Mark levels: tempmark 0 --push--> 1 --push--> 2 --push--> 4 ...
 *              each pop shifts right; 1 --pop--> 0.
 */
#include "boxes/jbox_internal.h"
#include "kernel/interned.h"
#include "patcher/patcher_model.h"

#include <cstdio>
#include <cstring>

#include "kivo/attr.h"
#include "kivo/class.h"
#include "kivo/commonsyms.h"
#include "kivo/dispatch.h"
#include "kivo/obex.h"
#include "kivo/post.h"
#include "kivo/sysmem.h"

namespace {

t_symbol *sym(const char *s) {
    return gensym(s);
}

t_dictionary *new_moniker() {
    return dictionary_new();
}

} // namespace

extern "C" {

t_object *jpatcher_findcord(t_object *p, t_object *b1, long outlet, t_object *b2, long inlet) {
    t_jpatcher *x = jpatcher_cast(p);
    t_object *found = nullptr;
    if (!x) return nullptr;
    jpatcher_each(x->lines, [&](t_object *o) {
        auto *c = reinterpret_cast<t_jpatchline_head *>(o);
        if (c->pl_box1 == b1 && c->pl_box2 == b2 && c->pl_outletnum == outlet && c->pl_inletnum == inlet)
            found = o;
        return found != nullptr;
    });
    return found;
}

t_jbox_head *jbox_head(t_object *box) {
    return reinterpret_cast<t_jbox_head *>(box);
}

t_object *jbox_held_object(t_object *box) {
    if (!box) return nullptr;
    t_object *o = jbox_head(box)->b_firstin;
    return o ? o : box;
}

t_symbol *jbox_head_id(t_object *box) {
    return box ? jbox_head(box)->b_id : nullptr;
}

t_object *jpatcher_getnamedbox(t_object *p, t_symbol *name) {
    t_jpatcher *x = jpatcher_cast(p);
    if (!x || !name || !name->name[0]) return nullptr;
    t_object *box = nullptr;
    if (x->varnames && !hashtab_lookup(x->varnames, name, &box) && box &&
        jbox_head(box)->b_varname == name)
        return box;
    box = nullptr;
    jpatcher_each(x->boxes, [&](t_object *b) {
        if (jbox_head(b)->b_varname == name) box = b;
        return box != nullptr;
    });
    return box;
}

t_symbol *jpatcher_newobjid(t_object *p) {
    t_jpatcher *x = jpatcher_cast(p);
    if (!x) return nullptr;
    char buf[40];
    t_symbol *id;
    do {
        std::snprintf(buf, sizeof buf, "obj-%ld", x->next_boxid++);
        id = gensym(buf);
    } while (jpatcher_getboxfromid(p, id));
    return id;
}

t_object *jpatcher_getboxfromid(t_object *p, t_symbol *id) {
    t_jpatcher *x = jpatcher_cast(p);
    if (!x || !id) return nullptr;
    t_object *box = nullptr;
    if (x->boxids && !hashtab_lookup(x->boxids, id, &box) && box) {
        if (jbox_head_id(box) == id) return box;
        hashtab_chuckkey(x->boxids, id); // the box was renamed since
    }
    box = nullptr;
    // Linking indexes every box that has its identifier by then; unless a
    // box came without one, a miss is final. Walking the list on every miss
    // would make loading a large patcher quadratic.
    t_atom_long unindexed = 0;
    if (x->boxids && (object_obex_lookuplong(p, gensym("#boxids_unindexed"), &unindexed) ||
                      unindexed <= 0))
        return nullptr;
    jpatcher_each(x->boxes, [&](t_object *b) {
        if (jbox_head_id(b) == id) box = b;
        return box != nullptr;
    });
    // The cache borrows the box: the unlink takes it out again.
    if (box && x->boxids) hashtab_storeflags(x->boxids, id, box, HASHTAB_FLAG_NOFREE);
    return box;
}

long jpatcher_findboxfromid(t_object *box, t_symbol *id) {
    return box && id && jbox_head_id(box) == id;
}

t_object *jpatcher_getjboxfromobj(t_object *, t_object *obj) {
    t_object *box = nullptr;
    if (!obj || object_obex_lookup(obj, KSYM("#B"), &box)) return nullptr;
    return box;
}

t_dictionary *jpatcher_monikerforobject(t_object *p, t_object *obj) {
    if (!obj) return nullptr;
    t_symbol *cls = object_classname(obj);
    t_dictionary *d = new_moniker();
    if (!d) return nullptr;
    if (cls == KSYM("jpatchline")) {
        auto *c = reinterpret_cast<t_jpatchline_head *>(obj);
        t_symbol *id1 = jbox_head_id(c->pl_box1), *id2 = jbox_head_id(c->pl_box2);
        if (id1 && id2) {
            dictionary_appendsym(d, KSYM("type"), KSYM("jpatchline"));
            dictionary_appendsym(d, KSYM("box1"), id1);
            dictionary_appendlong(d, KSYM("outletnum"), c->pl_outletnum);
            dictionary_appendsym(d, KSYM("box2"), id2);
            dictionary_appendlong(d, KSYM("inletnum"), c->pl_inletnum);
            return d;
        }
    } else if (t_jpatcher *px = jpatcher_cast(obj)) {
        dictionary_appendsym(d, KSYM("type"), KSYM("jpatcher"));
        dictionary_appendsym(d, KSYM("id"), px->patcherid);
        return d;
    } else if (jbox_cast(obj) && jbox_head_id(obj)) {
        dictionary_appendsym(d, KSYM("type"), KSYM("jbox"));
        dictionary_appendsym(d, KSYM("id"), jbox_head_id(obj));
        return d;
    } else if (t_object *box = jpatcher_getjboxfromobj(p, obj); box && jbox_head_id(box)) {
        dictionary_appendsym(d, KSYM("type"), KSYM("jbox"));
        dictionary_appendsym(d, KSYM("id"), jbox_head_id(box));
        dictionary_appendlong(d, KSYM("isfirstin"), 1);
        return d;
    }
    object_free(d);
    return nullptr;
}

t_object *jpatcher_objectformoniker(t_object *p, t_object *obj) {
    if (!obj) return nullptr;
    if (object_classname(obj) != KSYM("dictionary")) return obj;
    auto *d = reinterpret_cast<t_dictionary *>(obj);
    t_symbol *type = nullptr;
    if (dictionary_getsym(d, KSYM("type"), &type) || !type) return nullptr;
    t_jpatcher *x = jpatcher_cast(p);
    if (type == KSYM("jbox")) {
        t_symbol *id = nullptr;
        if (!x || dictionary_getsym(d, KSYM("id"), &id)) return nullptr;
        t_object *box = jpatcher_getboxfromid(p, id);
        t_atom_long first = 0;
        dictionary_getlong(d, KSYM("isfirstin"), &first);
        return box && first ? jbox_held_object(box) : box;
    }
    if (type == KSYM("jpatchline")) {
        t_symbol *id1 = nullptr, *id2 = nullptr;
        if (!x || dictionary_getsym(d, KSYM("box1"), &id1) || dictionary_getsym(d, KSYM("box2"), &id2))
            return nullptr;
        t_object *b1 = jpatcher_getboxfromid(p, id1), *b2 = jpatcher_getboxfromid(p, id2);
        if (!b1 || !b2) return nullptr;
        t_atom_long out = 0, in = 0;
        dictionary_getlong(d, KSYM("outletnum"), &out);
        dictionary_getlong(d, KSYM("inletnum"), &in);
        return jpatcher_findcord(&x->ob, b1, static_cast<long>(out), b2, static_cast<long>(in));
    }
    if (type == KSYM("jpatcher")) {
        t_symbol *id = nullptr;
        if (dictionary_getsym(d, KSYM("id"), &id)) return nullptr;
        return jpatcher_frompatcherid(id);
    }
    return nullptr;
}

t_object *jpatcher_boxfromatom(t_object *p, const t_atom *a) {
    if (!a) return nullptr;
    if (a->type == AT_OBJ) return jpatcher_objectformoniker(p, a->value.w_obj);
    if (a->type == AT_SYM) return jpatcher_getboxfromid(p, a->value.w_sym);
    return nullptr;
}

long jpatcher_comparemonikers(t_object *a, t_object *b) {
    if (a == b) return 1;
    if (!a || !b || object_classname(a) != KSYM("dictionary") ||
        object_classname(b) != KSYM("dictionary"))
        return 0;
    auto *da = reinterpret_cast<t_dictionary *>(a), *db = reinterpret_cast<t_dictionary *>(b);
    t_symbol *ta = nullptr, *tb = nullptr;
    if (dictionary_getsym(da, KSYM("type"), &ta) || dictionary_getsym(db, KSYM("type"), &tb) ||
        ta != tb)
        return 0;
    auto same_sym = [&](const char *key) {
        t_symbol *x = nullptr, *y = nullptr;
        return !dictionary_getsym(da, sym(key), &x) && !dictionary_getsym(db, sym(key), &y) &&
               x == y;
    };
    auto same_long = [&](const char *key) {
        t_atom_long x = 0, y = 0;
        return !dictionary_getlong(da, sym(key), &x) && !dictionary_getlong(db, sym(key), &y) &&
               x == y;
    };
    if (ta == KSYM("jbox")) return same_sym("id");
    if (ta == KSYM("jpatchline"))
        return same_sym("box1") && same_sym("box2") && same_long("outletnum") &&
               same_long("inletnum");
    return 0;
}

long jpatcher_compareboxatoms(const t_atom *a, const t_atom *b) {
    if (!a || !b || a->type != b->type) return 0;
    if (a->type == AT_SYM) return a->value.w_sym == b->value.w_sym;
    if (a->type != AT_OBJ) return 0;
    t_object *oa = a->value.w_obj, *ob = b->value.w_obj;
    if (oa == ob) return 1;
    if (!oa || !ob || object_classname(oa) != KSYM("dictionary") ||
        object_classname(ob) != KSYM("dictionary"))
        return 0;
    auto *da = reinterpret_cast<t_dictionary *>(oa), *db = reinterpret_cast<t_dictionary *>(ob);
    t_symbol *ta = nullptr, *tb = nullptr, *ia = nullptr, *ib = nullptr;
    return !dictionary_getsym(da, KSYM("type"), &ta) && !dictionary_getsym(db, KSYM("type"), &tb) &&
           ta == KSYM("jbox") && tb == ta && !dictionary_getsym(da, KSYM("id"), &ia) &&
           !dictionary_getsym(db, KSYM("id"), &ib) && ia == ib;
}

t_object *jpatcher_frompatcherid(t_symbol *id) {
    return id ? jpatcher_find_by_id(id) : nullptr;
}

// `namechanges` holds the id-rename dictionary (old name -> new name) for
// the length of one outermost paste.
t_dictionary *jpatcher_namechanges(t_object *p) {
    t_jpatcher *x = jpatcher_cast(p);
    return x ? x->namechanges : nullptr;
}

void jpatcher_appendnamechange(t_object *p, t_symbol *oldname, t_symbol *newname) {
    t_dictionary *d = jpatcher_namechanges(p);
    if (!d || !oldname || !newname) return;
    dictionary_deleteentry(d, oldname);
    dictionary_appendsym(d, oldname, newname);
}

t_symbol *jpatcher_getnamechange(t_object *p, t_symbol *name) {
    t_dictionary *d = jpatcher_namechanges(p);
    t_symbol *changed = nullptr;
    if (d && name && !dictionary_getsym(d, name, &changed) && changed) return changed;
    return name;
}

long jpatcher_beginlognewobjects(t_object *p) {
    t_jpatcher *x = jpatcher_cast(p);
    if (x && !x->newobject_log) {
        x->newobject_log = linklist_new();
        // The log borrows its boxes.
        if (x->newobject_log) linklist_flags(x->newobject_log, LINKLIST_FLAG_NOFREE);
    }
    return 0;
}

void jpatcher_appendnewobject(t_object *p, t_object *box) {
    t_jpatcher *x = jpatcher_cast(p);
    if (!x || !x->newobject_log || !box) return;
    void *last = nullptr;
    if (!linklist_last(x->newobject_log, &last) && last == box) return;
    linklist_append(x->newobject_log, box);
}

void jpatcher_removenewobject(t_object *p, t_object *box) {
    t_jpatcher *x = jpatcher_cast(p);
    if (!x || !x->newobject_log || !box) return;
    while (!linklist_chuckobject(x->newobject_log, box)) {
    }
}

long jpatcher_getnewobjects(t_object *p, long *count, t_atom **atoms) {
    t_jpatcher *x = jpatcher_cast(p);
    if (!x || !count || !atoms || !x->newobject_log) return -1;
    t_atom_long n = linklist_getsize(x->newobject_log);
    if (n <= 0) return -1;
    auto *av = reinterpret_cast<t_atom *>(sysmem_newptr(static_cast<long>(n * sizeof(t_atom))));
    if (!av) return -1;
    long i = 0;
    jpatcher_each(x->newobject_log, [&](t_object *b) {
        if (i < n) atom_setobj(av + i++, b);
        return false;
    });
    n = i;
    *count = static_cast<long>(n);
    *atoms = av;
    return 0;
}

long jpatcher_getnewobjectssize(t_object *p) {
    t_jpatcher *x = jpatcher_cast(p);
    return x && x->newobject_log ? static_cast<long>(linklist_getsize(x->newobject_log)) : 0;
}

long jpatcher_endlognewobjects(t_object *p) {
    t_jpatcher *x = jpatcher_cast(p);
    if (x && x->newobject_log) {
        object_free(x->newobject_log);
        x->newobject_log = nullptr;
    }
    return 0;
}

t_symbol *jpatcher_get_boxpath(t_object *p) {
    t_jpatcher *x = jpatcher_cast(p);
    if (!x) return gensym("");
    if (x->box) return object_attr_getsym(x->box, KSYM("boxpath")) ? object_attr_getsym(x->box, KSYM("boxpath")) : gensym("");
    if (!x->assoc) return gensym("");
    t_object *box = jpatcher_getjboxfromobj(p, x->assoc);
    if (!box) {
        t_object *owner = object_attr_getobj(x->assoc, KSYM("owner"));
        if (owner) box = jpatcher_getjboxfromobj(p, owner);
    }
    if (!box) return gensym("");
    t_symbol *path = object_attr_getsym(box, KSYM("boxpath"));
    if (!path) path = jbox_head_id(box) ? jbox_head_id(box) : gensym("");
    if (method m = object_getmethod(x->assoc, KSYM("getindex"))) {
        using getindex_fn = t_atom_long (*)(t_object *, t_object *);
        auto fn = reinterpret_cast<getindex_fn>(reinterpret_cast<void (*)()>(m));
        t_atom_long index = fn(x->assoc, p);
        if (index >= 0) {
            char buf[2048];
            std::snprintf(buf, sizeof buf, "%s.%lld", path->name, static_cast<long long>(index));
            return gensym(buf);
        }
    }
    return path;
}

void jpatcher_box_pushtemp(t_object *p) {
    if (t_jpatcher *x = jpatcher_cast(p)) x->tempmark = x->tempmark ? x->tempmark << 1 : 1;
}

void jpatcher_box_poptemp(t_object *p) {
    if (t_jpatcher *x = jpatcher_cast(p)) x->tempmark >>= 1;
}

void jpatcher_box_cleartemp(t_object *p) {
    t_jpatcher *x = jpatcher_cast(p);
    if (!x) return;
    jpatcher_each(x->boxes, [&](t_object *b) { return jbox_cleartemp(b, p) != 0; });
}

void jpatcher_box_settemp(t_object *p, t_object *box, long on) {
    t_jpatcher *x = jpatcher_cast(p);
    if (!x || !box) return;
    if (on)
        jbox_head(box)->b_temp |= x->tempmark;
    else
        jbox_head(box)->b_temp &= ~x->tempmark;
}

long jpatcher_box_checktemp(t_object *p, t_object *box) {
    t_jpatcher *x = jpatcher_cast(p);
    return x && box ? jbox_head(box)->b_temp & x->tempmark : 0;
}

void jpatcher_box_marktemp(t_object *p, long argc, t_atom *argv) {
    t_jpatcher *x = jpatcher_cast(p);
    if (!x) return;
    if (!x->tempmark) {
        bug("jpatcher_box_marktemp: not inside jpatcher_box_pushtemp!");
        return;
    }
    for (long i = 0; i < argc && argv; ++i) {
        t_object *box = jpatcher_boxfromatom(p, argv + i);
        // A moniker with "isfirstin" names the object; marks live on boxes.
        if (box && !jbox_cast(box)) box = jpatcher_getjboxfromobj(p, box);
        if (box && linklist_objptr2index(x->boxes, box) >= 0) jpatcher_box_settemp(p, box, 1);
    }
}

long jbox_cleartemp(t_object *box, void *patcher) {
    t_jpatcher *x = jpatcher_cast(static_cast<t_object *>(patcher));
    if (box && x) jbox_head(box)->b_temp &= ~x->tempmark;
    return 0;
}

long jbox_counttemp(t_object *box, void *counter) {
    auto *c = static_cast<long *>(counter);
    if (!box || !c) return 0;
    t_jpatcher *x = jpatcher_cast(jbox_head(box)->b_patcher);
    if (x && (jbox_head(box)->b_temp & x->tempmark)) ++*c;
    return 0;
}

long jpatchline_cleartemp(t_object *cord, void *) {
    if (cord) reinterpret_cast<t_jpatchline_head *>(cord)->pl_temp = 0;
    return 0;
}

long jpatchline_counttemp(t_object *cord, void *counter) {
    auto *c = static_cast<long *>(counter);
    if (cord && c && reinterpret_cast<t_jpatchline_head *>(cord)->pl_temp) ++*c;
    return 0;
}

void jpatcher_patchline_marktemp(t_object *p, long argc, t_atom *argv) {
    t_jpatcher *x = jpatcher_cast(p);
    if (!x) return;
    for (long i = 0; i < argc && argv; ++i) {
        if (argv[i].type != AT_OBJ) continue;
        t_object *cord = jpatcher_objectformoniker(p, argv[i].value.w_obj);
        if (cord && object_classname(cord) == KSYM("jpatchline") &&
            linklist_objptr2index(x->lines, cord) >= 0)
            reinterpret_cast<t_jpatchline_head *>(cord)->pl_temp = 1;
    }
}

long atom_copyargv(long argc, const t_atom *argv, t_atom **out) {
    if (!out || argc < 0 || (argc && !argv)) return -1;
    if (argc == 0) return 0;
    if (!*out) {
        *out = reinterpret_cast<t_atom *>(sysmem_newptr(static_cast<long>(argc * sizeof(t_atom))));
        if (!*out) return -1;
    }
    std::memcpy(*out, argv, argc * sizeof(t_atom));
    return 0;
}

long jpatcher_atomrealloc(long count, long *ac, t_atom **av) {
    if (!ac || !av || count < 0) return -1;
    if (count == 0) {
        *ac = 0;
        return 0;
    }
    auto bytes = static_cast<long>(count * sizeof(t_atom));
    auto *n = reinterpret_cast<t_atom *>(*av ? sysmem_resizeptr(*av, bytes) : sysmem_newptr(bytes));
    if (!n) return -1;
    *av = n;
    *ac = count;
    return 0;
}

} // extern "C"

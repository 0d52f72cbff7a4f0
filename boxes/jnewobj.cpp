/*
 * The object box: typed text becomes an object through the creator bound
 * to "#N"; what cannot be made leaves a "jbogus" placeholder, so that the
 * box, its text and its cords survive a missing class. Editing the text
 * keeps the inner object when it can take the new text, else the box is
 * replaced by a new one in the same place.
 *
 * Saved state written by an inner object ("save", "save2") is evaluated on
 * loading. It comes from a file, so only the creator and the object that
 * evaluation makes may receive it: a file cannot message the application
 * or any other object bound to a name.
 *
 * Module state: the class pointer, set once at start-up. Main thread only.
 */
#include "boxes/jnewobj_internal.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "boxes/boxes_internal.h"
#include "boxes/jbogus.h"
#include "boxes/boxgeom_internal.h"
#include "boxes/jbox_internal.h"
#include "files/loading_internal.h"
#include "kernel/interned.h"
#include "kernel/obex_internal.h"
#include "kivo/atombuf.h"
#include "kivo/attr.h"
#include "kivo/attr_conv.h"
#include "kivo/binbuf.h"
#include "kivo/hashtab.h"
#include "kivo/jboxmess.h"
#include "kivo/jgraphics.h"
#include "kivo/class.h"
#include "kivo/commonsyms.h"
#include "kivo/dispatch.h"
#include "kivo/legacy.h"
#include "kivo/msgtext.h"
#include "kivo/obex.h"
#include "kivo/post.h"
#include "kivo/sysmem.h"
#include "patcher/jpatcher.h"
#include "patcher/patcher_model.h"


namespace {

t_class *g_class = nullptr;

t_symbol *sym(const char *s) { return gensym(s); }
t_symbol *empty() { return gensym(""); }

using kivo::obex::as_method;

using kivo::obex::from_method;

constexpr long kClassFlags = 0xa82800;
constexpr long kBoxFlags = 0x1c802;
constexpr size_t kBoxTextMax = 4096;

struct Atoms {
    long ac = 0;
    t_atom *av = nullptr;
    Atoms() = default;
    Atoms(const Atoms &) = delete;
    Atoms &operator=(const Atoms &) = delete;
    ~Atoms() { reset(); }
    void reset() {
        if (av) sysmem_freeptr(av);
        av = nullptr;
        ac = 0;
    }
};

using kivo::Binding;

bool is_subpatcher_word(t_symbol *s) { return s == KSYM("p") || s == KSYM("patcher"); }

t_symbol *first_symbol(t_atombuf *text) {
    if (!text || text->a_argc < 1 || atom_gettype(text->a_argv) != AT_SYM) return nullptr;
    return atom_getsym(text->a_argv);
}

t_symbol *classnamespace_of(t_object *patcher) {
    t_jpatcher *px = jpatcher_cast(patcher);
    if (!px) return _sym(box);
    return px->classnamespace && px->classnamespace->name[0] ? px->classnamespace : _sym(box);
}

void patcher_arguments(t_object *patcher, Atoms &out) {
    out.reset();
    if (patcher && object_attr_get(patcher, KSYM("arguments")))
        object_attr_getvalueof(patcher, KSYM("arguments"), &out.ac, &out.av);
}

t_object *creator() {
    t_object *c = KSYM("#N")->thing;
    return c ? c : &g_kivo_qnewobj;
}

// A user-interface class of the name space named by the symbol, found
// whatever its letter case (an external is loaded on demand).
t_class *ui_class_named(t_symbol *ns, t_symbol *name) {
    if (!name || !name->name[0]) return nullptr;
    t_class *c = class_findbyname_casefree(ns, name);
    return c && class_is_ui(c) ? c : nullptr;
}

// Sends "jbogus" to the creator: the placeholder, or null.
t_object *make_placeholder() {
    g_kivo_newest = nullptr;
    typedmess(creator(), KSYM("jbogus"), 0, nullptr);
    t_object *made = g_kivo_newest;
    if (made && object_classname(made) != KSYM("jbogus")) made = nullptr;
    return made;
}

bool text_has_separator(t_atombuf *text) {
    if (!text) return false;
    for (long i = 0; i < text->a_argc; ++i) {
        short t = atom_gettype(text->a_argv + i);
        if (t == AT_COMMA || t == AT_SEMI) return true;
    }
    return false;
}

// ---- saved state evaluated as messages

bool is_separator(const t_atom *a, bool *semi) {
    short t = atom_gettype(a);
    if (t == AT_SEMI || (t == AT_SYM && atom_getsym(a) == KSYM(";"))) {
        *semi = true;
        return true;
    }
    if (t == AT_COMMA || (t == AT_SYM && atom_getsym(a) == KSYM(","))) {
        *semi = false;
        return true;
    }
    return false;
}

void send_one(t_object *to, long ac, t_atom *av) {
    if (ac <= 0) return;
    if (atom_gettype(av) == AT_SYM) {
        typedmess(to, atom_getsym(av), static_cast<short>(ac - 1), av + 1);
    } else if (ac == 1) {
        typedmess(to, atom_gettype(av) == AT_FLOAT ? _sym(float) : _sym(long), 1, av);
    } else {
        typedmess(to, _sym(list), static_cast<short>(ac), av);
    }
}

// Evaluates "receiver message, message; receiver message ..." from saved
// atoms. Only the creator, and objects this evaluation made, receive; any
// other receiver is reported once and its messages dropped.
void eval_saved(t_jbox *box, long ac, t_atom *av) {
    std::vector<t_object *> made;
    t_object *to = nullptr;
    bool at_start = true, refused = false;
    long i = 0;
    while (i < ac) {
        long j = i;
        bool semi = false;
        while (j < ac && !is_separator(av + j, &semi)) ++j;
        long n = j - i;
        t_atom *msg = av + i;
        if (at_start && n > 0) {
            to = nullptr;
            t_symbol *recv = atom_gettype(msg) == AT_SYM ? atom_getsym(msg) : nullptr;
            if (recv == KSYM("#N")) {
                to = creator();
            } else if (recv && recv->thing) {
                for (t_object *o : made)
                    if (o == recv->thing) to = o;
            }
            if (!to && !refused) {
                object_error(&box->b_ob, "saved state addresses %s: ignored",
                             recv ? recv->name : "a number");
                refused = true;
            }
            ++msg;
            --n;
        }
        if (to && n > 0) {
            g_kivo_newest = nullptr;
            send_one(to, n, msg);
            if (to == creator() && g_kivo_newest) made.push_back(g_kivo_newest);
        }
        // A comma keeps the receiver; a semicolon ends it.
        at_start = j >= ac || semi;
        i = j + 1;
    }
    g_kivo_newest = made.empty() ? nullptr : made.front();
}

void eval_saved_key(t_jbox *box, t_dictionary *d, const char *key, bool replace) {
    Atoms v;
    if (dictionary_copyatoms(d, sym(key), &v.ac, &v.av) || v.ac <= 0) return;
    if (replace) {
        Atoms args;
        patcher_arguments(box->b_patcher, args);
        for (long i = 0; i < v.ac; ++i) atom_replacearg(v.av + i, args.ac, args.av, '$', 1, 0);
    }
    eval_saved(box, v.ac, v.av);
}

// ---- making the box

t_object *ui_replacement(t_jnewobj *x, t_dictionary *old, t_class *c);

// Makes the object box's inner object; returns the box, a replacement box
// or null (the box is then freed).
t_object *make_inner(t_jnewobj *x, t_dictionary *d, bool donewobj) {
    t_jbox *b = &x->j_box;
    t_object *p = b->b_patcher;
    t_symbol *ns = classnamespace_of(p);
    t_atom_long noeval = 0;
    dictionary_getlong(d, KSYM("noeval"), &noeval);
    if (!donewobj) g_kivo_newest = nullptr;

    // Typing a user-interface class asks for that box instead.
    if (!loader_inload()) {
        if (t_class *c = ui_class_named(ns, first_symbol(b->b_text)))
            return ui_replacement(x, d, c);
    }

    t_symbol *first = first_symbol(b->b_text);
    bool empty_placeholder = false;
    t_object *made = nullptr;
    if (!donewobj && is_subpatcher_word(first) && ns == _sym(box)) {
        // A subpatcher: its saved contents, or a new empty one.
        t_dictionary *pd = nullptr;
        bool fresh = false;
        if (dictionary_getdictionary(d, KSYM("patcher"), reinterpret_cast<t_object **>(&pd)) || !pd) {
            pd = dictionary_sprintf("@visible 1 @locked 0");
            fresh = pd != nullptr;
            if (pd) {
                t_symbol *tmpl = object_attr_getsym(p, KSYM("subpatcher_template"));
                if (tmpl && tmpl != empty())
                    dictionary_appendsym(pd, KSYM("newobj_subpatcher_template"), tmpl);
            }
        } else {
            Atoms args;
            patcher_arguments(p, args);
            dictionary_deleteentry(pd, KSYM("arguments"));
            if (args.ac > 0) dictionary_appendatoms(pd, KSYM("arguments"), args.ac, args.av);
            dictionary_deleteentry(pd, KSYM("vol"));
            dictionary_appendlong(pd, KSYM("vol"), 0);
        }
        if (pd) {
            dictionary_deleteentry(pd, KSYM("###box###"));
            dictionary_appendobject_flags(pd, KSYM("###box###"), &b->b_ob, DICTIONARY_ENTRY_FLAG_NOFREE);
            t_atom a;
            atom_setobj(&a, pd);
            made = static_cast<t_object *>(object_new_typed(_sym(nobox), KSYM("jpatcher"), 1, &a));
            dictionary_deleteentry(pd, KSYM("arguments"));
            dictionary_chuckentry(pd, KSYM("###box###"));
            if (fresh) object_free(pd);
            g_kivo_newest = made;
        }
    } else if (dictionary_hasentry(d, KSYM("save"))) {
        // An object that saves itself as messages is rebuilt from them.
        eval_saved_key(b, d, "save", true);
        made = g_kivo_newest;
    } else if (!donewobj) {
        // The text as one message to the class factory.
        if (text_has_separator(b->b_text)) {
            object_error(&b->b_ob, "object box has comma or semicolon");
        } else if (noeval || !b->b_text || b->b_text->a_argc == 0) {
            made = make_placeholder();
            empty_placeholder = made != nullptr;
        } else {
            t_atom *av = b->b_text->a_argv;
            long ac = static_cast<long>(b->b_text->a_argc);
            t_object *factory = creator();
            if (ns != _sym(box)) {
                t_object *f = nullptr;
                object_method(p, KSYM("getclassfactory"), &f);
                if (f) factory = f;
            }
            g_kivo_newest = nullptr;
            if (atom_gettype(av) == AT_SYM) {
                typedmess(factory, atom_getsym(av), static_cast<short>(ac - 1), av + 1);
                made = g_kivo_newest;
            } else {
                // A number names no class.
                char word[64];
                long size = sizeof word;
                char *ptr = word;
                atom_gettext(1, av, &size, &ptr, 0);
                object_error(&b->b_ob, "%s: %s", word, "No such object");
            }
        }
    } else {
        made = g_kivo_newest;
        // An object already held by another box is not this box's to take.
        t_object *home = nullptr;
        if (made && !object_obex_lookup(made, _sym(hash_B), &home) && home && home != &b->b_ob &&
            jbox_cast(home) && jbox_cast(home)->b_firstin == made)
            made = nullptr;
    }

    // Nothing made: a placeholder that grows inlets and outlets on demand.
    if (!made) {
        made = make_placeholder();
        b->b_bogus = 1;
    }
    // An object of a user-interface class replaces the box, when the text
    // names that class; otherwise the object stays where it is.
    if (made && class_is_ui(object_class(made))) {
        if (t_class *c = ui_class_named(ns, first_symbol(b->b_text))) {
            object_free(made);
            g_kivo_newest = nullptr;
            return ui_replacement(x, d, c);
        }
    }
    if (!made) return &b->b_ob;

    // Install it.
    jbox_setinlet(b, made);
    t_object *held_box = nullptr;
    object_obex_lookup(made, _sym(hash_B), &held_box);
    if (held_box != &b->b_ob) {
        if (held_box) object_obex_chuck(made, _sym(hash_B));
        object_obex_storeflags(made, _sym(hash_B), &b->b_ob, HASHTAB_FLAG_NOFREE);
    }
    t_object *held_p = nullptr;
    if (object_obex_lookup(made, _sym(hash_P), &held_p) || !held_p)
        object_obex_storeflags(made, _sym(hash_P), p, HASHTAB_FLAG_NOFREE);
    if (empty_placeholder) {
        jbogus_makeinlet(b, 0);
        jbogus_makeoutlet(b, 0);
    }
    g_kivo_newest = nullptr;
    return &b->b_ob;
}

void restore_saved(t_jnewobj *x, t_dictionary *d) {
    t_jbox *b = &x->j_box;
    t_object *inner = b->b_firstin;
    if (!inner || inner == &b->b_ob) return;
    if (dictionary_hasentry(d, KSYM("save2"))) {
        t_object *was = g_kivo_newest;
        eval_saved_key(b, d, "save2", false);
        g_kivo_newest = was;
    }
    for (const char *key : {"saved_object_attributes", "frozen_object_attributes"}) {
        t_dictionary *attrs = nullptr;
        if (dictionary_getdictionary(d, sym(key), reinterpret_cast<t_object **>(&attrs)) || !attrs) continue;
        bool freeze = key[0] == 'f';
        long n = 0;
        t_symbol **keys = nullptr;
        dictionary_getkeys_ordered(attrs, &n, &keys);
        for (long i = 0; i < n; ++i) {
            Atoms v;
            if (dictionary_copyatoms(attrs, keys[i], &v.ac, &v.av)) continue;
            object_attr_setvalueof(inner, keys[i], v.ac, v.av);
            if (freeze) object_attr_freeze(inner, keys[i], 1);
        }
        if (keys) dictionary_freekeys(attrs, n, keys);
    }
    t_dictionary *aas = nullptr;
    if (!dictionary_getdictionary(d, KSYM("saved_attribute_attributes"), reinterpret_cast<t_object **>(&aas)) &&
        aas) {
        long n = 0;
        t_symbol **keys = nullptr;
        dictionary_getkeys_ordered(aas, &n, &keys);
        for (long i = 0; i < n; ++i) {
            t_dictionary *per = nullptr;
            t_object *attr = object_attr_get(inner, keys[i]);
            if (!attr || dictionary_getdictionary(aas, keys[i], reinterpret_cast<t_object **>(&per)) || !per)
                continue;
            long m = 0;
            t_symbol **aakeys = nullptr;
            dictionary_getkeys_ordered(per, &m, &aakeys);
            for (long j = 0; j < m; ++j) {
                Atoms v;
                if (!dictionary_copyatoms(per, aakeys[j], &v.ac, &v.av))
                    object_attr_attr_setvalueof(inner, keys[i], aakeys[j], v.ac, v.av);
            }
            if (aakeys) dictionary_freekeys(per, m, aakeys);
        }
        if (keys) dictionary_freekeys(aas, n, keys);
    }
}

void set_textmargins(t_jnewobj *x, t_object *patcher) {
    t_object *tf = x->j_box.b_textfield;
    if (!tf) return;
    double tb = patcher && object_attr_getlong(patcher, KSYM("tallnewobj")) ? 6 : 4;
    t_atom m[4];
    atom_setfloat(m, 4);
    atom_setfloat(m + 1, tb);
    atom_setfloat(m + 2, 4);
    atom_setfloat(m + 3, tb);
    object_attr_setvalueof(tf, KSYM("textmargins"), 4, m);
}

void *jnewobj_new(t_symbol *, long argc, t_atom *argv) {
    t_dictionary *d = object_dictionaryarg(argc, argv);
    if (!d || !g_class) return nullptr;
    t_atom_long donewobj = 0;
    dictionary_getlong(d, KSYM("donewobj"), &donewobj);
    // The text is read as object-box text only under this class name.
    if (!dictionary_hasentry(d, KSYM("kivoclass"))) dictionary_appendsym(d, KSYM("kivoclass"), KSYM("newobj"));
    // The inner object, the next object allocated, finds its box at once.
    auto *x = static_cast<t_jnewobj *>(object_alloc(g_class));
    if (!x) return nullptr;
    t_jbox *b = &x->j_box;
    Binding bind_b(_sym(hash_B), &b->b_ob);
    g_jnewobj_fresh_poundb = 1;
    jbox_processlegacydefaults(b, d, 0);
    if (jbox_new(b, kBoxFlags, argc, argv)) {
        g_jnewobj_fresh_poundb = 0;
        object_free(x);
        return nullptr;
    }
    x->bgcolor = t_jrgba{1, 1, 1, 1};
    t_object *result = make_inner(x, d, donewobj != 0);
    g_jnewobj_fresh_poundb = 0;
    if (result != &b->b_ob) return result;
    restore_saved(x, d);
    set_textmargins(x, b->b_patcher);
    // A subpatcher takes its name from the text.
    t_object *inner = b->b_firstin;
    t_symbol *first = first_symbol(b->b_text);
    if (inner && inner != &b->b_ob && object_classname(inner) == KSYM("jpatcher") && is_subpatcher_word(first) &&
        zgetfn(inner, first))
        typedmess(inner, first, static_cast<short>(b->b_text->a_argc - 1), b->b_text->a_argv + 1);
    attr_dictionary_process(x, d);
    jbox_ready(b);
    return x;
}

void jnewobj_free(t_jnewobj *x) {
    t_jbox *b = &x->j_box;
    t_object *inner = b->b_firstin;
    jbox_free(b);
    if (inner && inner != &b->b_ob) {
        b->b_firstin = nullptr;
        object_free(inner);
    }
}

// Copies position-like keys of the old box dictionary that the new one
// lacks; at most two numbers.
void copy_position(t_dictionary *from, t_dictionary *to, const char *position, const char *rect) {
    if (dictionary_hasentry(to, sym(position)) || dictionary_hasentry(to, sym(rect))) return;
    Atoms v;
    if (dictionary_copyatoms(from, sym(position), &v.ac, &v.av) || v.ac <= 0) {
        v.reset();
        if (dictionary_copyatoms(from, sym(rect), &v.ac, &v.av) || v.ac <= 0) return;
    }
    dictionary_appendatoms(to, sym(position), v.ac < 2 ? v.ac : 2, v.av);
}

t_object *ui_replacement(t_jnewobj *x, t_dictionary *old, t_class *c) {
    t_jbox *b = &x->j_box;
    t_object *p = b->b_patcher;
    t_dictionary *nd = dictionary_new();
    if (!nd) {
        object_free(x);
        return nullptr;
    }
    dictionary_appendsym(nd, KSYM("kivoclass"), c->name);
    long ac = b->b_text ? static_cast<long>(b->b_text->a_argc) - 1 : 0;
    if (ac > 0) {
        t_atom *av = b->b_text->a_argv + 1;
        long plain = attr_args_offset(static_cast<short>(ac), av);
        if (plain > 0) dictionary_appendatoms(nd, KSYM("arguments"), plain, av);
        attr_args_dictionary(nd, static_cast<short>(ac), av);
    }
    dictionary_appendobject_flags(nd, _sym(hash_P), p, DICTIONARY_ENTRY_FLAG_NOFREE);
    copy_position(old, nd, "patching_position", "patching_rect");
    copy_position(old, nd, "presentation_position", "presentation_rect");
    t_symbol *keys[] = {KSYM("id"), KSYM("varname"), KSYM("hidden"), KSYM("orderfront"), KSYM("orderbefore"),
                        KSYM("presentation"), nullptr};
    for (t_symbol **k = keys; *k; ++k) {
        if (dictionary_hasentry(nd, *k) || !dictionary_hasentry(old, *k)) continue;
        t_symbol *one[] = {*k, nullptr};
        dictionary_copyentries(old, nd, one);
    }
    if (!dictionary_hasentry(nd, KSYM("boxtext"))) {
        const char *s = nullptr;
        t_symbol *ts = nullptr;
        if (!dictionary_getstring(old, KSYM("text"), &s) && s) dictionary_appendstring(nd, KSYM("boxtext"), s);
        else if (!dictionary_getsym(old, KSYM("text"), &ts) && ts)
            dictionary_appendstring(nd, KSYM("boxtext"), ts->name);
    }
    if (t_dictionary *proto = dictionary_prototypefromclass(c)) dictionary_copyunique(nd, proto);
    // The old box goes first, so that the new one can take its id; what
    // the new one reports must not name the old one.
    if (_sym(hash_B)->thing == &b->b_ob) _sym(hash_B)->thing = nullptr;
    object_free(x);
    t_atom a, rv;
    atom_setobj(&a, nd);
    atom_setobj(&rv, nullptr);
    object_method_typed(p, KSYM("newobject"), 1, &a, &rv);
    dictionary_chuckentry(nd, _sym(hash_P));
    object_free(nd);
    return atom_gettype(&rv) == AT_OBJ ? static_cast<t_object *>(atom_getobj(&rv)) : nullptr;
}

// ---- messages

void jnewobj_jsave(t_jnewobj *x, t_dictionary *d) {
    t_jbox *b = &x->j_box;
    t_object *inner = b->b_firstin;
    // An abstraction is saved by its own file, not in the box.
    if (!inner || inner == &b->b_ob || !d) return;
    if (object_classname(inner) == KSYM("jpatcher") && !is_subpatcher_word(first_symbol(b->b_text))) return;
    for (const char *key : {"save", "save2"}) {
        method m = zgetfn(inner, sym(key));
        if (!m) continue;
        t_binbuf *buf = binbuf_new();
        if (!buf) continue;
        from_method<void (*)(t_object *, t_binbuf *)>(m)(inner, buf);
        std::vector<t_atom> atoms;
        t_atom_long tp = 0, vo = 0;
        t_atom a;
        while (!binbuf_getatom(buf, &tp, &vo, &a)) atoms.push_back(a);
        if (!atoms.empty()) dictionary_appendatoms(d, sym(key), static_cast<long>(atoms.size()), atoms.data());
        freeobject(reinterpret_cast<t_object *>(buf));
    }
    if (method m = zgetfn(inner, KSYM("appendtodictionary")))
        from_method<void (*)(t_object *, t_dictionary *)>(m)(inner, d);
    long n = 0;
    t_symbol **names = nullptr;
    object_attr_getnames(inner, &n, &names);
    std::vector<t_symbol *> sorted(names, names + (names ? n : 0));
    if (names) sysmem_freeptr(names);
    std::sort(sorted.begin(), sorted.end(),
              [](t_symbol *l, t_symbol *r) { return std::strcmp(l->name, r->name) < 0; });
    // Each attribute object is looked up once; its flags come from the
    // writer's cache while a patcher is being written.
    struct Named {
        t_symbol *name;
        t_object *attr;
        long save, frozen, aasave;
    };
    std::vector<Named> attrs;
    attrs.reserve(sorted.size());
    for (t_symbol *name : sorted) {
        Named e{name, object_attr_get(inner, name), 0, 0, 0};
        if (e.attr) jbox_attrflags(e.attr, &e.save, &e.frozen, &e.aasave);
        attrs.push_back(e);
    }
    for (int pass = 0; pass < 2; ++pass) {
        t_dictionary *out = dictionary_new();
        if (!out) continue;
        for (const Named &e : attrs) {
            t_symbol *name = e.name;
            Atoms v;
            if (pass == 0) {
                if (!e.save) continue;
                if (jbox_isdefaultattribute(inner, name)) continue;
                if (object_attr_getvalueof(inner, name, &v.ac, &v.av)) continue;
            } else {
                if (!e.frozen) continue;
                if (object_attr_attr_getvalueof(inner, name, KSYM("freezevalue"), &v.ac, &v.av)) continue;
            }
            if (v.ac <= 0) continue;
            t_object *attr = e.attr;
            bool array = attr && object_classname(attr) == KSYM("attr_offset_array");
            if (v.ac == 1 && !array) dictionary_appendatom(out, name, v.av);
            else dictionary_appendatoms(out, name, v.ac, v.av);
        }
        if (dictionary_getentrycount(out) > 0)
            dictionary_appenddictionary(d, sym(pass ? "frozen_object_attributes" : "saved_object_attributes"),
                                        &out->ob);
        else
            object_free(out);
    }
    t_dictionary *aas = dictionary_new();
    if (!aas) return;
    for (const Named &e : attrs) {
        t_symbol *name = e.name;
        t_object *attr = e.attr;
        if (!attr || !e.aasave) continue;
        long m = 0;
        t_symbol **aanames = nullptr;
        object_attr_getnames(attr, &m, &aanames);
        t_dictionary *per = dictionary_new();
        for (long i = 0; per && i < m; ++i) {
            if (!object_attr_attr_getlong(attr, aanames[i], KSYM("save"))) continue;
            Atoms v;
            if (object_attr_getvalueof(attr, aanames[i], &v.ac, &v.av) || v.ac <= 0) continue;
            if (v.ac == 1) dictionary_appendatom(per, aanames[i], v.av);
            else dictionary_appendatoms(per, aanames[i], v.ac, v.av);
        }
        if (aanames) sysmem_freeptr(aanames);
        if (per && dictionary_getentrycount(per) > 0) dictionary_appenddictionary(aas, name, &per->ob);
        else if (per) object_free(per);
    }
    if (dictionary_getentrycount(aas) > 0) dictionary_appenddictionary(d, KSYM("saved_attribute_attributes"), &aas->ob);
    else object_free(aas);
}

void jnewobj_color(t_jnewobj *x, long n) {
    t_jrgba c;
    set_jrgba_from_boxcolor_index(n + 1, &c);
    t_atom a[4];
    atom_setfloat(a, c.red);
    atom_setfloat(a + 1, c.green);
    atom_setfloat(a + 2, c.blue);
    atom_setfloat(a + 3, c.alpha);
    object_attr_setvalueof(&x->j_box.b_ob, KSYM("color"), 4, a);
}

void jnewobj_postname(t_jnewobj *x, t_symbol **out) {
    if (!out) return;
    t_jbox *b = &x->j_box;
    if (b->b_bogus) {
        t_symbol *first = first_symbol(b->b_text);
        *out = first ? first : empty();
        return;
    }
    t_object *inner = b->b_firstin;
    *out = inner && inner != &b->b_ob ? object_classname(inner) : object_classname(&b->b_ob);
}

void jnewobj_mousedoubleclick(t_jnewobj *x, t_object *view, t_pt pt, long modifiers) {
    t_object *inner = x->j_box.b_firstin;
    if (!inner || inner == &x->j_box.b_ob) return;
    if (method m = zgetfn(inner, KSYM("dblclick"))) {
        from_method<void (*)(t_object *)>(m)(inner);
    } else if (method m2 = zgetfn(inner, KSYM("mousedoubleclick"))) {
        from_method<void (*)(t_object *, t_object *, t_pt, long)>(m2)(inner, view, pt, modifiers);
    }
}

void jnewobj_updatetextmargins(t_jnewobj *x, t_object *patcher) {
    set_textmargins(x, patcher ? patcher : x->j_box.b_patcher);
}

void jnewobj_forward2(t_jnewobj *x, const char *name, void *a1, void *a2) {
    t_object *inner = x->j_box.b_firstin;
    if (!inner || inner == &x->j_box.b_ob) return;
    if (method m = zgetfn(inner, sym(name)))
        from_method<void (*)(t_object *, void *, void *)>(m)(inner, a1, a2);
}

void jnewobj_objectspecific_enumerate(t_jnewobj *x, void *menu, void *context) {
    jnewobj_forward2(x, "objectspecific_enumerate", menu, context);
}

void jnewobj_objectspecific_itemchosen(t_jnewobj *x, void *item) {
    jnewobj_forward2(x, "objectspecific_itemchosen", item, nullptr);
}

void jnewobj_autocompletion(t_jnewobj *x, t_object **out) {
    if (out) *out = &x->j_box.b_ob;
}

void jnewobj_preset(t_jnewobj *) {}
void jnewobj_setimage(t_jnewobj *) {}
long jnewobj_getimage(t_jnewobj *) { return 0; }

void jnewobj_pupdate(t_jnewobj *x) { jnewobj_enter(x); }

// The application's undocumented "newobj_border": reads its numbers and
// changes nothing.
void kivo_newobj_border(t_object *, t_symbol *, long, t_atom *) {}

t_kivo_err bordercolor_set(t_jnewobj *x, t_object *, long ac, t_atom *av) {
    return object_attr_setvalueof(&x->j_box.b_ob, KSYM("color"), ac, av);
}

t_kivo_err bgcolor_set(t_jnewobj *x, t_object *, long ac, t_atom *av) {
    return x ? jbox_colorfield_set(&x->j_box, &x->bgcolor, ac, av) : KIVO_ERR_GENERIC;
}

void aa(t_class *c, const char *attr, const char *name, const char *type, const char *value) {
    class_attr_addattr_parse(c, attr, name, sym(type), 0, value);
}

void legacydefault(t_class *c, const char *attr, const char *value) {
    aa(c, attr, "legacydefault", "float64", value);
    auto *table = static_cast<t_hashtab *>(class_extra_lookup(c, KSYM("legacydefaults")));
    if (!table) {
        table = hashtab_new(0);
        if (!table) return;
        hashtab_flags(table, 2);
        class_extra_store(c, KSYM("legacydefaults"), table);
    }
    hashtab_storesym(table, sym(attr), sym(attr));
}

void style_attr(t_class *c, const char *attr) { aa(c, attr, "styleattr", "long", "1"); }

} // namespace

extern "C" {

t_class *jnewobj_class(void) { return g_class; }

void jnewobj_initclass(void) {
    if (g_class) return;
    for (const char *s : {"textjustification", "_name", "_kind", "tallnewobj", "###box###"}) gensym(s);
    t_class *c = class_new("newobj", as_method(jnewobj_new), as_method(jnewobj_free), sizeof(t_jnewobj), nullptr, AT_GIMME, 0);
    if (!c) return;
    c->flags |= CLASS_FLAG_NEWDICTIONARY;
    jbox_initclass(c, kClassFlags);
    aa(c, "patching_rect", "default", "float64", "0. 0. 100. 0.");
    // "bordercolor" is the older name of "color": set through "color"'s setter.
    if (t_object *border = attr_offset_array_new("bordercolor", KSYM("float64"), 4, 0, nullptr,
                                                 as_method(bordercolor_set), 0, offsetof(t_jbox, b_color))) {
        if (class_addattr(c, border) == KIVO_ERR_NONE) {
            aa(c, "bordercolor", "alias", "symbol", "color");
            aa(c, "bordercolor", "save", "long", "0");
            aa(c, "bordercolor", "nodefaultname", "long", "1");
            aa(c, "bordercolor", "invisible", "long", "1");
        } else {
            object_free(border);
        }
    }
    aa(c, "color", "label", "symbol", "\"Border Color\"");
    aa(c, "color", "msgattrname", "symbol", "bordercolor");
    aa(c, "color", "stylemap", "symbol", "accentcolor");
    style_attr(c, "color");
    aa(c, "color", "preview", "symbol", "horizontal_lines");
    aa(c, "textcolor", "stylemap", "symbol", "textcolor_inverse");
    aa(c, "textcolor", "preview", "symbol", "text_letter");
    legacydefault(c, "textcolor", "0. 0. 0. 1.");
    for (const char *s : {"textcolor", "fontname", "fontface", "fontsize", "textjustification"}) style_attr(c, s);
    aa(c, "jspainterfile", "invisible", "long", "1");
    if (t_object *bg = attr_offset_array_new("bgcolor", KSYM("float64"), 4, 0, nullptr, as_method(bgcolor_set), 0,
                                             offsetof(t_jnewobj, bgcolor))) {
        if (class_addattr(c, bg) == KIVO_ERR_NONE) {
            aa(c, "bgcolor", "paint", "long", "1");
            aa(c, "bgcolor", "style", "symbol", "rgba");
            aa(c, "bgcolor", "label", "symbol", "\"Background Color\"");
            style_attr(c, "bgcolor");
            aa(c, "bgcolor", "save", "long", "1");
            aa(c, "bgcolor", "preview", "symbol", "rect_fill");
            aa(c, "bgcolor", "category", "symbol", "Color");
            aa(c, "bgcolor", "default", "float64", "1. 1. 1. 1.");
            legacydefault(c, "bgcolor", "1. 1. 1. 1.");
        } else {
            object_free(bg);
        }
    }
    class_addmethod(c, as_method(jnewobj_jsave), "jsave", AT_CANT, 0);
    class_addmethod(c, as_method(jnewobj_preset), "preset", AT_CANT, 0);
    class_addmethod(c, as_method(jnewobj_color), "color", AT_LONG, 0);
    class_addmethod(c, as_method(jnewobj_getimage), "getimage", AT_CANT, 0);
    class_addmethod(c, as_method(jnewobj_setimage), "setimage", AT_CANT, 0);
    class_addmethod(c, as_method(jnewobj_mousedoubleclick), "mousedoubleclick", AT_CANT, 0);
    class_addmethod(c, as_method(jnewobj_enter), "enter", AT_CANT, 0);
    class_addmethod(c, as_method(jnewobj_pupdate), "pupdate", AT_CANT, 0);
    class_addmethod(c, as_method(jnewobj_postname), "postname", AT_CANT, 0);
    class_addmethod(c, as_method(jnewobj_autocompletion), "autocompletion", AT_CANT, 0);
    class_addmethod(c, as_method(jnewobj_updatetextmargins), "updatetextmargins", AT_CANT, 0);
    class_addmethod(c, as_method(jnewobj_objectspecific_enumerate), "objectspecific_enumerate", AT_CANT, 0);
    class_addmethod(c, as_method(jnewobj_objectspecific_itemchosen), "objectspecific_itemchosen", AT_CANT, 0);
    class_addmethod(c, as_method(jnewobj_stdargs), "stdargs", AT_CANT, 0);
    g_class = c;
    class_register(_sym(box), c);
    class_alias(c, KSYM("newex"));
    if (t_object *app = KSYM("kivo")->thing)
        if (t_class *ac = object_class(app))
            if (!class_method(ac, KSYM("newobj_border")))
                class_addmethod(ac, as_method(kivo_newobj_border), "newobj_border", AT_GIMME, 0);
}

// ---- editing

void jnewobj_enter(t_jnewobj *x) {
    if (!x) return;
    t_jbox *b = &x->j_box;
    t_object *self = &b->b_ob;
    if (!b->b_textfield) {
        object_error(self, "jnewobj_enter: no textfield!");
        return;
    }
    const char *text = static_cast<const char *>(object_method(b->b_textfield, KSYM("getptr")));
    if (!text) {
        object_error(self, "jnewobj_enter: textPtr is NULL!");
        return;
    }
    t_object *inner = b->b_firstin;
    bool has_inner = inner && inner != self;
    std::string typed(text);
    if (typed.find_first_not_of(" \t\r\n") == std::string::npos && !has_inner) return;
    std::string head = typed.substr(0, 1024);
    size_t start = head.find_first_not_of(" \t\r\n");
    size_t end = start == std::string::npos ? start : head.find_first_of(" \t\r\n", start);
    t_symbol *cname = start == std::string::npos ? empty() : gensym(head.substr(start, end - start).c_str());
    bool wants_ui = !is_subpatcher_word(cname) && ui_class_named(_sym(box), cname);
    bool keep = false;
    if (has_inner) {
        t_class *ic = object_class(inner);
        if (ic && (ic->flags & 0x80000) && ic->name == cname) keep = true;
        if (is_subpatcher_word(first_symbol(b->b_text)) && object_classname(inner) == KSYM("jpatcher") &&
            is_subpatcher_word(cname))
            keep = true;
    }
    if (keep) {
        if (object_attr_get(self, KSYM("frozen_text"))) {
            t_object *frozen = object_attr_getobj(self, KSYM("frozen_text"));
            t_atom none;
            atom_setobj(&none, nullptr);
            object_attr_setvalueof(self, KSYM("frozen_text"), 1, &none);
            object_deleteattr(self, KSYM("frozen_text"));
            if (frozen) object_free(frozen);
        }
        std::vector<char> buf(typed.begin(), typed.end());
        buf.push_back(0);
        char *ptr = buf.data();
        atombuf_text_flags(&b->b_text, &ptr, static_cast<long>(typed.size()), 3);
        if (b->b_text && b->b_text->a_argc > 0 && atom_gettype(b->b_text->a_argv) == AT_SYM)
            typedmess(inner, atom_getsym(b->b_text->a_argv), static_cast<short>(b->b_text->a_argc - 1),
                      b->b_text->a_argv + 1);
        jbox_redraw(b);
        return;
    }
    // A new box in this one's place.
    t_dictionary *nd = dictionary_new();
    if (!nd) return;
    dictionary_appendsym(nd, KSYM("kivoclass"), KSYM("newobj"));
    if (!wants_ui) {
        t_dictionary *mine = dictionary_new();
        if (mine) {
            object_method(self, KSYM("appendtodictionary"), mine);
            t_symbol *always[] = {KSYM("patching_rect"), KSYM("presentation_rect"), KSYM("background"), KSYM("hidden"),
                                  KSYM("ignoreclick"), nullptr};
            for (t_symbol **k = always; *k; ++k) {
                t_symbol *one[] = {*k, nullptr};
                if (dictionary_hasentry(mine, *k)) dictionary_copyentries(mine, nd, one);
            }
            Atoms v;
            for (const char *k : {"patching_rect", "presentation_rect"}) {
                if (dictionary_hasentry(nd, sym(k))) continue;
                v.reset();
                if (!object_attr_getvalueof(self, sym(k), &v.ac, &v.av) && v.ac > 0)
                    dictionary_appendatoms(nd, sym(k), v.ac, v.av);
            }
            for (const char *k : {"background", "hidden", "ignoreclick"})
                if (!dictionary_hasentry(nd, sym(k))) dictionary_appendlong(nd, sym(k), object_attr_getlong(self, sym(k)));
            dictionary_appendlong(nd, KSYM("linecount"), -1);
            dictionary_appendlong(nd, KSYM("presentation_linecount"), -1);
            for (const char *k : {"fontname", "fontsize", "fontface", "textjustification", "color", "bgcolor",
                                  "textcolor", "style", "varname", "annotation", "hint"}) {
                t_symbol *one[] = {sym(k), nullptr};
                if (dictionary_hasentry(mine, sym(k))) dictionary_copyentries(mine, nd, one);
            }
            object_free(mine);
        }
    }
    dictionary_appendstring(nd, KSYM("text"), typed.c_str());
    t_dictionary *wrap = dictionary_new();
    t_dictionary *boxd = dictionary_new();
    if (!wrap || !boxd) {
        if (wrap) object_free(wrap);
        if (boxd) object_free(boxd);
        object_free(nd);
        return;
    }
    dictionary_appenddictionary(boxd, KSYM("box"), &nd->ob);
    t_atom one;
    atom_setobj(&one, boxd);
    dictionary_appendatoms(wrap, KSYM("boxes"), 1, &one);
    if (t_dictionary *v = jpatcher_fallback_version()) dictionary_appenddictionary(wrap, KSYM("appversion"), &v->ob);
    jbox_swapme(self, &wrap->ob);
    object_free(wrap);
}

// ---- legacy box messages

void jnewobj_stdargs(t_dictionary *d, t_symbol *s, long argc, t_atom *argv) {
    if (!d) return;
    if (s == KSYM("newobj")) dictionary_appendlong(d, KSYM("donewobj"), 1);
    t_atom r[4];
    for (int i = 0; i < 3; ++i)
        atom_setfloat(r + i, static_cast<float>(argc > i && argv ? atom_getfloat(argv + i) : 0));
    atom_setfloat(r + 3, 0);
    dictionary_deleteentry(d, KSYM("patching_rect"));
    dictionary_appendatoms(d, KSYM("patching_rect"), 4, r);
    if (argc > 3 && argv) {
        t_atom_long font = atom_getlong(argv + 3);
        long size = static_cast<long>(font & 0xffff);
        long number = static_cast<long>((font >> 16) & 0xffff);
        double points = fontinfo_getsize(size);
        if (points > 0) {
            dictionary_deleteentry(d, KSYM("fontsize"));
            dictionary_appendfloat(d, KSYM("fontsize"), points);
        }
        if (number > 0) {
            if (t_symbol *name = fontinfo_getname(static_cast<short>(number)); name && name->name[0]) {
                dictionary_deleteentry(d, KSYM("fontname"));
                dictionary_appendsym(d, KSYM("fontname"), name);
            }
        }
    }
    t_object *p = KSYM("#P")->thing;
    if (t_jpatcher *px = jpatcher_cast(p)) {
        dictionary_deleteentry(d, KSYM("linecount"));
        dictionary_appendlong(d, KSYM("linecount"), px->linecount);
    }
    if (argc > 4 && argv) {
        t_atombuf *tb = atombuf_new(argc - 4, argv + 4);
        t_handle h = sysmem_newhandle(0);
        t_ptr_size size = 0;
        if (tb && h && !atombuf_totext_flags(tb, h, &size, 0)) {
            std::string t(*h, size);
            dictionary_deleteentry(d, KSYM("text"));
            dictionary_appendstring(d, KSYM("text"), t.c_str());
        }
        if (h) sysmem_freehandle(h);
        if (tb) atombuf_free(tb);
    }
}

} // extern "C"

// ---- dictionary helpers

namespace {

bool is_number(const t_atom *a) { return atom_gettype(a) == AT_LONG || atom_gettype(a) == AT_FLOAT; }

// Whether the values could be the attribute's: same count as its current
// value, and types that match it.
bool fits(t_object *x, t_symbol *name, t_object *attr, long ac, t_atom *av) {
    Atoms now;
    if (object_attr_getvalueof(x, name, &now.ac, &now.av) || now.ac != ac || ac <= 0) return false;
    t_symbol *style = object_attr_get(attr, KSYM("style")) ? object_attr_getsym(attr, KSYM("style")) : nullptr;
    if (ac == 1 && style == KSYM("onoff")) return atom_gettype(av) == AT_LONG && atom_getlong(av) <= 1;
    if (ac == 4 && style == KSYM("rgba")) {
        if (atom_gettype(av) != AT_FLOAT) return false;
        for (long i = 0; i < 4; ++i)
            if (!is_number(av + i) || atom_getfloat(av + i) > 1) return false;
        return true;
    }
    for (long i = 0; i < ac; ++i) {
        if (is_number(now.av + i) && is_number(av + i)) continue;
        if (atom_gettype(now.av + i) != atom_gettype(av + i)) return false;
    }
    return true;
}

} // namespace

extern "C" {

t_kivo_err dictionary_applyattributes(t_dictionary *d, t_object *x, t_object *attr) {
    if (!d || !x || !attr) return -1;
    t_symbol *name = static_cast<t_symbol *>(object_method(attr, KSYM("getname")));
    if (!name) return -1;
    bool fill = object_attr_get(attr, KSYM("fill")) && object_attr_getlong(attr, KSYM("fill"));
    long n = 0;
    t_symbol **keys = nullptr;
    dictionary_getkeys_ordered(d, &n, &keys);
    t_kivo_err result = -1;
    bool found = false;
    for (long i = 0; i < n && !found; ++i) {
        Atoms v;
        if (keys[i] == name) {
            found = true;
            if (!dictionary_copyatoms(d, name, &v.ac, &v.av)) result = object_attr_setvalueof(x, name, v.ac, v.av);
        } else if (fill && std::strncmp(keys[i]->name, name->name, std::strlen(name->name)) == 0) {
            if (!dictionary_copyatoms(d, keys[i], &v.ac, &v.av)) object_attr_setvalueof(x, keys[i], v.ac, v.av);
        }
    }
    for (long i = 0; i < n && !found; ++i) {
        Atoms v;
        if (dictionary_copyatoms(d, keys[i], &v.ac, &v.av)) continue;
        if (!fits(x, name, attr, v.ac, v.av)) continue;
        found = true;
        result = object_attr_setvalueof(x, name, v.ac, v.av);
    }
    if (keys) dictionary_freekeys(d, n, keys);
    return result;
}

long dictionary_replaceargs(t_dictionary *d, t_symbol *key, long argc, t_atom *argv, char prefix, long flag,
                            long *outc, t_atom **outv) {
    if (outc) *outc = 0;
    if (outv) *outv = nullptr;
    Atoms now;
    if (!d || !key || dictionary_copyatoms(d, key, &now.ac, &now.av) || now.ac <= 0) return 0;
    auto *before = static_cast<t_atom *>(static_cast<void *>(sysmem_newptr(sizeof(t_atom) * now.ac)));
    if (!before) return 0;
    std::memcpy(before, now.av, sizeof(t_atom) * now.ac);
    bool changed = false;
    for (long i = 0; i < now.ac; ++i)
        if (atom_replacearg(now.av + i, argc, argv, prefix ? prefix : '#', flag, 0)) changed = true;
    if (!changed) {
        sysmem_freeptr(before);
        return 0;
    }
    bool was_array = dictionary_entryisatomarray(d, key);
    dictionary_deleteentry(d, key);
    if (now.ac == 1 && !was_array) dictionary_appendatom(d, key, now.av);
    else dictionary_appendatoms(d, key, now.ac, now.av);
    for (long i = 0; i < now.ac; ++i)
        if (atom_gettype(before + i) == AT_OBJ && before[i].value.w_obj &&
            object_classname(before[i].value.w_obj) == KSYM("string")) {
            const char *s = static_cast<const char *>(object_method(before[i].value.w_obj, KSYM("getptr")));
            atom_setsym(before + i, gensym(s ? s : ""));
        }
    if (outc && outv) {
        *outc = now.ac;
        *outv = before;
    } else {
        sysmem_freeptr(before);
    }
    return 1;
}

} // extern "C"

/*
 * The "inlet" and "outlet" boxes: a patcher's own inlets and outlets.
 *
 * An inlet box owns one outlet of its own; its patcher object gets an
 * inlet whose receiver is that outlet, so a message arriving at the box
 * that shows the patcher leaves the inlet box inside. An outlet box is the
 * mirror: its patcher object gets the outlet and the box an inlet feeding
 * it.
 *
 * Invariants:
 * - `io` (the patcher object's inlet or outlet) exists exactly as long as
 *   the box; the box frees it, through the patcher that shows it when
 *   there is one, so that the cords to it go first.
 * - The box is its own `b_firstin`: an inlet box has no inlet, an outlet
 *   box exactly one inlet record (no automatic first inlet).
 * - The pending legacy comment is taken by the next inlet or outlet box
 *   read from an old-format file, and is always emptied then.
 *
 * Main thread only.
 */
#include <cstdio>
#include <cstring>
#include <string>

#include "boxes/boxgeom_internal.h"
#include "boxes/jbox_internal.h"
#include "boxes/jinlet_internal.h"
#include "kernel/inout_internal.h"
#include "kernel/interned.h"
#include "kernel/obex_internal.h"
#include "kivo/atombuf.h"
#include "kivo/attr.h"
#include "kivo/attr_conv.h"
#include "kivo/class.h"
#include "kivo/commonsyms.h"
#include "kivo/dispatch.h"
#include "kivo/inout.h"
#include "kivo/jbox.h"
#include "kivo/msgtext.h"
#include "kivo/obex.h"
#include "kivo/post.h"
#include "kivo/stringobj.h"
#include "kivo/sysmem.h"
#include "patcher/jpatcher.h"
#include "patcher/patcher_model.h"

namespace {

using kivo::obex::as_method;

t_symbol *sym(const char *s) { return gensym(s); }

struct t_jinlet {
    t_jbox b;
    void *io;            // the patcher object's inlet (or outlet); owned, see above
    t_string *comment;   // owned
    t_object *patcher;   // borrowed: the patcher the box was made in
    long index;          // the number last shown
    t_jrgba tricolor;
};

t_class *g_inlet_class = nullptr;
t_class *g_outlet_class = nullptr;

// The comment that an old-format "comlet" line left for the next inlet or
// outlet box (owned). Kept here rather than bound to a symbol: a message
// sent to that symbol would reach a buffer that is no object.
t_atombuf *g_pending_comment = nullptr;

bool is_outlet_box(const t_jinlet *x) { return object_class(const_cast<t_object *>(&x->b.b_ob)) == g_outlet_class; }

// The box that shows the patcher, when that box lies in a patcher.
t_jbox *holder_of(t_jinlet *x) {
    t_jpatcher *p = jpatcher_cast(x->patcher);
    t_jbox *h = p ? jbox_cast(p->box) : nullptr;
    return h && h->b_patcher ? h : nullptr;
}

long compute_index(t_jinlet *x) {
    t_jbox *h = holder_of(x);
    if (!h || !x->io) return 0;
    return is_outlet_box(x) ? jbox_getoutletindex(h, x->io) : jbox_getinletindex(h, x->io);
}

// Peers are renumbered when one of them comes, goes or moves.
void redraw_peers(t_jinlet *x) { jbox_redrawpeers(&x->b); }

void join_holder(t_jinlet *x, t_jbox *holder) {
    if (!holder || !x->io) return;
    t_object *ignored = nullptr;
    if (object_obex_lookup(&holder->b_ob, KSYM("##noimbedinoutlets##"), &ignored) == KIVO_ERR_NONE)
        return;
    if (is_outlet_box(x))
        jbox_outlet(holder, x->io);
    else
        jbox_inlet(holder, x->io);
}

// ---- attributes

t_kivo_err comment_get(t_jinlet *x, void *, long *ac, t_atom **av) {
    if (!ac || !av) return KIVO_ERR_GENERIC;
    const char *text = x->comment ? string_getptr(x->comment) : nullptr;
    if (!text) {
        *ac = 0;
        return KIVO_ERR_NONE;
    }
    if (!*av || *ac < 1) {
        *av = reinterpret_cast<t_atom *>(sysmem_newptr(sizeof(t_atom)));
        if (!*av) return KIVO_ERR_OUT_OF_MEMORY;
    }
    *ac = 1;
    atom_setsym(*av, gensym(text));
    return KIVO_ERR_NONE;
}

t_kivo_err comment_set(t_jinlet *x, void *, long ac, t_atom *av) {
    const char *text = "";
    if (ac > 0 && av && atom_gettype(av) == AT_SYM) text = atom_getsym(av)->name;
    if (!x->comment) x->comment = string_new(text);
    else {
        string_chop(x->comment, static_cast<long>(std::strlen(string_getptr(x->comment))));
        string_append(x->comment, text);
    }
    return KIVO_ERR_NONE;
}

t_kivo_err io_get(t_jinlet *x, void *, long *ac, t_atom **av) {
    if (!ac || !av) return KIVO_ERR_GENERIC;
    if (!*av || *ac < 1) {
        *av = reinterpret_cast<t_atom *>(sysmem_newptr(sizeof(t_atom)));
        if (!*av) return KIVO_ERR_OUT_OF_MEMORY;
    }
    *ac = 1;
    atom_setobj(*av, static_cast<t_object *>(x->io));
    return KIVO_ERR_NONE;
}

t_kivo_err tricolor_set(t_jinlet *x, void *, long ac, t_atom *av) {
    return x ? jbox_colorfield_set(&x->b, &x->tricolor, ac, av) : KIVO_ERR_GENERIC;
}

// ---- messages

void jinlet_jsave(t_jinlet *x, t_dictionary *d) {
    if (!d) return;
    x->index = compute_index(x);
    if (x->comment) dictionary_appendsym(d, KSYM("comment"), gensym(string_getptr(x->comment)));
    dictionary_appendlong(d, KSYM("index"), x->index);
}

long jinlet_getindex(t_jinlet *x) {
    x->index = compute_index(x);
    return x->index;
}

void jinlet_imbed(t_jinlet *x, t_object *holder) { join_holder(x, jbox_cast(holder)); }

// The box component rounds the frame with the corner size.
void jinlet_getdrawparams(t_jinlet *, t_object *, t_jboxdrawparams *params) {
    if (params) params->d_cornersize = 16;
}

// Opens the patcher that holds the box showing this one.
void jinlet_dblclick(t_jinlet *x) {
    t_jbox *h = holder_of(x);
    if (!h) return;
    object_method(h->b_patcher, KSYM("vis"));
}

void jinlet_assist(t_jinlet *x, void *, long, long, char *s) {
    if (!s) return;
    const char *c = x->comment ? string_getptr(x->comment) : "";
    if (c && *c)
        std::snprintf(s, 512, "\"%s\"", c);
    else
        std::snprintf(s, 512, "%s",
                      is_outlet_box(x) ? "Sends Messages Out Patcher's Outlet"
                                       : "Outputs Incoming Messages to Patcher");
}

// Legacy arguments: x, y, width (a square box), then the pending comment.
// Called on the class, before there is a box: the dictionary comes first.
long jinlet_stdargs(t_dictionary *d, t_symbol *, long argc, t_atom *argv) {
    if (d && argc >= 3 && argv) {
        t_atom r[4];
        atom_setlong(r, atom_getlong(argv));
        atom_setlong(r + 1, atom_getlong(argv + 1));
        atom_setlong(r + 2, atom_getlong(argv + 2));
        atom_setlong(r + 3, atom_getlong(argv + 2));
        dictionary_appendatoms(d, KSYM("patching_rect"), 4, r);
    }
    t_atombuf *pending = g_pending_comment;
    g_pending_comment = nullptr;
    if (pending) {
        if (d && atombuf_count(pending) > 0) {
            long size = 0;
            char *text = nullptr;
            if (atom_gettext(atombuf_count(pending), pending->a_argv, &size, &text, 0) == 0 && text) {
                dictionary_appendsym(d, KSYM("comment"), gensym(text));
                sysmem_freeptr(text);
            }
        }
        atombuf_free(pending);
    }
    return 0;
}

void *jinlet_new_common(t_class *c, long argc, t_atom *argv) {
    t_dictionary *d = object_dictionaryarg(argc, argv);
    if (!d || !c) return nullptr;
    auto *x = static_cast<t_jinlet *>(object_alloc(c));
    if (!x) return nullptr;
    if (jbox_new(&x->b, JBOX_FLAG_NOOUTLINE | JBOX_FLAG_DRAWINLAST | JBOX_FLAG_GROWY, argc, argv)) {
        // Not linked into any patcher: freed without the box layer.
        x->io = nullptr;
        object_free(x);
        return nullptr;
    }
    t_object *self = &x->b.b_ob;
    t_object *p = x->b.b_patcher;
    x->tricolor = {0.0, 0.0, 0.0, 1.0};
    if (c == g_outlet_class) {
        t_outlet *po = outlet_append(p, nullptr, nullptr);
        t_inlet *in = po ? inlet_append(self, po, nullptr, nullptr) : nullptr;
        if (in) inlet_chain(in);
        x->io = po;
    } else {
        t_outlet *own = outlet_append(self, nullptr, nullptr);
        t_inlet *pi = own ? inlet_append(p, own, nullptr, nullptr) : nullptr;
        if (pi) inlet_chain(pi);
        x->io = pi;
    }
    x->b.b_firstin = self;
    x->patcher = p;
    x->comment = string_new("");
    x->index = 0;
    join_holder(x, holder_of(x));
    attr_dictionary_process(self, d);
    jbox_ready(&x->b);
    redraw_peers(x);
    return x;
}

void *jinlet_new(t_symbol *, long argc, t_atom *argv) { return jinlet_new_common(g_inlet_class, argc, argv); }
void *joutlet_new(t_symbol *, long argc, t_atom *argv) {
    return jinlet_new_common(g_outlet_class, argc, argv);
}

void jinlet_free(t_jinlet *x) {
    if (!x->b.b_patcher) {
        if (x->comment) object_free(x->comment);
        return;
    }
    const bool outlet = is_outlet_box(x);
    if (x->io) {
        t_jbox *h = holder_of(x);
        t_jpatcher *hp = h ? jpatcher_cast(h->b_patcher) : nullptr;
        // Only a holder that still shows this patcher has cords and a
        // layout to mend; one that is going has given the patcher up.
        if (hp && !hp->freeing_contents && h->b_firstin == x->patcher) {
            // The holder's patcher deletes the cords to it, frees it and lays
            // the holder's inlets or outlets out again.
            t_atom_long one = 1;
            object_method(&hp->ob, KSYM("freelinesconnectedto"), &h->b_ob,
                          reinterpret_cast<void *>(one), x->io);
        } else if (outlet) {
            outlet_delete(static_cast<t_outlet *>(x->io));
        } else {
            inlet_delete(static_cast<t_inlet *>(x->io));
        }
        x->io = nullptr;
    }
    redraw_peers(x);
    jbox_free(&x->b);
    if (x->comment) object_free(x->comment);
    x->comment = nullptr;
}

void add_attr(t_class *c, t_object *attr) {
    if (attr) class_addattr(c, attr);
}

void aa(t_class *c, const char *attr, const char *name, const char *type, const char *value) {
    class_attr_addattr_parse(c, attr, name, sym(type), 0, value);
}

t_class *make_class(const char *name, bool outlet) {
    t_class *c = class_new(name, as_method(outlet ? joutlet_new : jinlet_new), as_method(jinlet_free), sizeof(t_jinlet),
                           nullptr, AT_GIMME, 0);
    if (!c) return nullptr;
    c->flags |= CLASS_FLAG_NEWDICTIONARY;
    jbox_initclass(c, JBOX_FLAG_FIXWIDTH);

    auto io_attr = [&] {
        const char *io = outlet ? "outlet" : "inlet";
        add_attr(c, attribute_new(io, KSYM("object"), 0x302,
                                  as_method(io_get), nullptr));
        aa(c, io, "invisible", "long", "1");
    };
    if (outlet) io_attr();
    add_attr(c, attribute_new("comment", KSYM("object"), 0, as_method(comment_get), as_method(comment_set)));
    aa(c, "comment", "style", "symbol", "text_onesymbol");
    aa(c, "comment", "label", "symbol", "Comment");
    aa(c, "comment", "category", "symbol", "Behavior");
    aa(c, "comment", "selfsave", "long", "1");
    aa(c, "comment", "basic", "long", "1");
    if (!outlet) io_attr();

    class_addmethod(c, as_method(jinlet_jsave), "jsave", AT_CANT, 0);
    class_addmethod(c, as_method(jinlet_imbed), "imbed", AT_CANT, 0);
    class_addmethod(c, as_method(jinlet_getdrawparams), "getdrawparams", AT_CANT, 0);
    class_addmethod(c, as_method(jinlet_dblclick), "mousedoubleclick", AT_CANT, 0);
    class_addmethod(c, as_method(jinlet_assist), "assist", AT_CANT, 0);
    class_addmethod(c, as_method(jinlet_stdargs), "stdargs", AT_CANT, 0);
    class_addmethod(c, as_method(jinlet_getindex), "getindex", AT_CANT, 0);
    class_addmethod(c, as_method(jinlet_dblclick), "dblclick", AT_CANT, 0);

    aa(c, "patching_rect", "default", "float64", "0. 0. 30. 30.");
    add_attr(c, attr_offset_array_new("tricolor", KSYM("float64"), 4, 0, nullptr, as_method(tricolor_set), 0,
                                      static_cast<long>(offsetof(t_jinlet, tricolor))));
    aa(c, "tricolor", "paint", "long", "1");
    aa(c, "tricolor", "style", "symbol", "rgba");
    aa(c, "tricolor", "label", "symbol", "Triangle Color");
    aa(c, "tricolor", "save", "long", "1");
    aa(c, "tricolor", "preview", "symbol", "triangle_fill_270");
    aa(c, "tricolor", "default", "float64", "0. 0. 0. 1.");
    for (const char *a : {"comment", "tricolor"}) aa(c, a, "introduced", "symbol", "7.0.0");
    class_register(_sym(box), c);
    return c;
}

} // namespace

extern "C" {

void jinlet_initclass(void) {
    if (g_inlet_class) return;
    g_inlet_class = make_class("inlet", false);
    KSYM("tricolor");
}

void joutlet_initclass(void) {
    if (g_outlet_class) return;
    g_outlet_class = make_class("outlet", true);
}

void comlet_new(long argc, t_atom *argv) {
    if (g_pending_comment) atombuf_free(g_pending_comment);
    g_pending_comment = atombuf_new(argc > 0 ? argc : 0, argc > 0 ? argv : nullptr);
}

} // extern "C"

/*
 * Placeholders and assistance text (see boxes/jbogus.h).
 *
 * A juibogus box keeps each loaded key as an instance attribute whose value
 * lives in the box's `kept` table. Dictionary values are kept as private
 * clones, and reading such an attribute hands out fresh clones, because a
 * dictionary that receives the value (the box dictionary writer) owns the
 * objects in it.
 *
 * Main thread only.
 */
#include "boxes/jbogus.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "boxes/boxgeom_internal.h"
#include "boxes/jbox_internal.h"
#include "files/loading_internal.h"
#include "kernel/inout_internal.h"
#include "kernel/interned.h"
#include "kernel/obex_internal.h"
#include "kivo/atomarray.h"
#include "kivo/attr.h"
#include "kivo/attr_conv.h"
#include "kivo/class.h"
#include "kivo/dispatch.h"
#include "kivo/inout.h"
#include "kivo/msgtext.h"
#include "kivo/obex.h"
#include "kivo/sysmem.h"

namespace {

using kivo::obex::as_method;
using kivo::obex::from_method;

t_symbol *sym(const char *s) { return gensym(s); }
t_symbol *empty() { return gensym(""); }

t_class *g_jbogus = nullptr;
t_class *g_juibogus = nullptr;

// Loaded values of a juibogus box's instance attributes, with the objects
// in them (dictionaries) owned here.
struct Kept {
    std::map<t_symbol *, std::vector<t_atom>> values;
    static void release(std::vector<t_atom> &v) {
        for (t_atom &a : v)
            if (atom_gettype(&a) == AT_OBJ && a.value.w_obj) object_free(a.value.w_obj);
        v.clear();
    }
    ~Kept() {
        for (auto &kv : values) release(kv.second);
    }
};

Kept *kept_of(t_object *x) {
    auto *u = reinterpret_cast<t_juibogus *>(x);
    if (!u->kept) u->kept = new Kept;
    return static_cast<Kept *>(u->kept);
}

// ---- "jbogus": swallows everything

void swallow(t_object *) {}
void swallow_long(t_object *, t_atom_long) {}
void swallow_float(t_object *, double) {}
void swallow_list(t_object *, t_symbol *, long, t_atom *) {}

void *jbogus_new(t_symbol *, long, t_atom *) { return object_alloc(g_jbogus); }

void copy_name(char *out, const char *name) {
    std::snprintf(out, 256, "%s", name ? name : "");
}

void jbogus_helpname(t_object *x, char *out) {
    if (!out) return;
    t_object *box = nullptr;
    t_jbox *b = nullptr;
    if (!object_obex_lookup(x, KSYM("#B"), &box)) b = jbox_cast(box);
    std::string first;
    if (b && b->b_text && b->b_text->a_argc > 0) {
        char *text = nullptr;
        long len = 0;
        if (!atom_gettext(1, b->b_text->a_argv, &len, &text, 0) && text) first = text;
        if (text) sysmem_freeptr(text);
    }
    if (first.empty()) {
        copy_name(out, "jbogus");
        return;
    }
    if (first.size() > 255) first.resize(255);
    char mapped[256] = {0};
    if (nametab_helpname(mapped, sym(first.c_str())) && mapped[0]) copy_name(out, mapped);
    else copy_name(out, first.c_str());
}

// ---- "juibogus"

constexpr long kJuibogusFlags = JBOX_FLAG_DRAWFIRSTIN | JBOX_FLAG_NOOUTLINE | 0x8 | JBOX_FLAG_GROWBOTH;

t_kivo_err kept_get(t_object *x, t_object *attr, long *ac, t_atom **av) {
    t_symbol *name = attr_getname(reinterpret_cast<t_attr *>(attr));
    const std::vector<t_atom> &v = kept_of(x)->values[name];
    if (v.empty()) {
        *ac = 0;
        return 0;
    }
    long n = 0;
    t_atom *copy = nullptr;
    if (cloneatoms(static_cast<long>(v.size()), v.data(), &n, &copy) || !copy) return -1;
    char alloc = 0;
    if (atom_alloc_array(n, ac, av, &alloc)) {
        for (long i = 0; i < n; ++i)
            if (atom_gettype(copy + i) == AT_OBJ && copy[i].value.w_obj) object_free(copy[i].value.w_obj);
        sysmem_freeptr(copy);
        return -1;
    }
    std::copy(copy, copy + n, *av);
    sysmem_freeptr(copy);
    return 0;
}

t_kivo_err kept_set(t_object *x, t_object *attr, long ac, t_atom *av) {
    t_symbol *name = attr_getname(reinterpret_cast<t_attr *>(attr));
    std::vector<t_atom> &v = kept_of(x)->values[name];
    long n = 0;
    t_atom *copy = nullptr;
    if (ac > 0 && av && (cloneatoms(ac, av, &n, &copy) || !copy)) return -1;
    Kept::release(v);
    if (copy) {
        v.assign(copy, copy + n);
        sysmem_freeptr(copy);
    }
    return 0;
}

void keep_key(t_object *x, t_dictionary *d, t_symbol *key) {
    long ac = 0;
    t_atom *av = nullptr;
    if (dictionary_getatoms(d, key, &ac, &av)) return;
    t_object *attr = attribute_new(key->name, KSYM("atom"), 0, as_method(kept_get), as_method(kept_set));
    if (!attr) return;
    if (object_addattr(x, attr)) {
        object_free(attr);
        return;
    }
    kept_set(x, attr, ac, av);
    object_attr_addattr_parse(x, key->name, "save", KSYM("char"), 0, "1");
    object_attr_addattr_parse(x, key->name, "bogus", KSYM("char"), 0, "1");
}

void juibogus_free(t_juibogus *x);

void *juibogus_new(t_symbol *, long argc, t_atom *argv) {
    t_dictionary *d = object_dictionaryarg(argc, argv);
    if (!d) return nullptr;
    auto *x = static_cast<t_juibogus *>(object_alloc(g_juibogus));
    if (!x) return nullptr;
    x->realclass = empty();
    x->kept = nullptr;
    if (jbox_new(&x->b, kJuibogusFlags, argc, argv)) {
        object_free(x);
        return nullptr;
    }
    x->b.b_firstin = &x->b.b_ob;
    long n = 0;
    t_symbol **keys = nullptr;
    if (!dictionary_getkeys_ordered(d, &n, &keys) && keys) {
        for (long i = 0; i < n; ++i) {
            t_symbol *k = keys[i];
            if (k == KSYM("arguments") || k == KSYM("#P")) continue;
            if (object_attr_get(&x->b.b_ob, k)) continue;
            keep_key(&x->b.b_ob, d, k);
        }
        dictionary_freekeys(d, n, keys);
    }
    attr_dictionary_process(x, d);
    jbox_ready(&x->b);
    return x;
}

void juibogus_free(t_juibogus *x) {
    jbox_free(&x->b);
    delete static_cast<Kept *>(x->kept);
    x->kept = nullptr;
}

t_symbol *realclass_of(t_juibogus *x) {
    return x->realclass && x->realclass != empty() ? x->realclass : nullptr;
}

void juibogus_helpname(t_juibogus *x, char *out) {
    if (!out) return;
    t_symbol *r = realclass_of(x);
    copy_name(out, r ? r->name : "juibogus");
}

void juibogus_postname(t_juibogus *x, t_symbol **out) {
    if (!out) return;
    t_symbol *r = realclass_of(x);
    *out = r ? r : KSYM("juibogus");
}

// Painting needs a drawing context; until one exists the view draws
// nothing of its own for the placeholder.
void juibogus_paint(t_juibogus *, t_object *) {}

// ---- growing inlets and outlets

t_object *held(t_jbox *b) { return b ? b->b_firstin : nullptr; }

// ---- assistance text

using assist_fn = void (*)(t_object *, t_object *, long, long, char *);
using inletinfo_fn = void (*)(t_object *, t_object *, long, char *);

std::string name_part(t_jbox *b) {
    if (b->b_varname && b->b_varname != empty() && b->b_varname->name[0])
        return std::string("(") + b->b_varname->name + ") ";
    return std::string();
}

bool qualifies(const t_messlist &m) {
    if (!m.sym || !m.fun) return false;
    if (m.type[0] == AT_CANT) return false;
    const char *s = m.sym->name;
    if (!std::strcmp(s, "preset")) return false;
    if ((!std::strncmp(s, "in", 2) || !std::strncmp(s, "ft", 2)) && s[2] >= '0' && s[2] <= '9') return false;
    return true;
}

std::string inlet0_messages(t_class *c) {
    std::string joined;
    long count = 0;
    if (!c || !c->messlist) return joined;
    for (t_atom_long i = 1; i < c->messcount; ++i) {
        const t_messlist &m = c->messlist[i];
        if (!m.sym) break;
        if (!qualifies(m)) continue;
        ++count;
        if (count > 4) break;
        if (count > 1) joined += ",";
        joined += m.sym->name;
        if (count == 4) joined += "...";
    }
    return joined;
}

} // namespace

extern "C" {

void jbogus_initclass(void) {
    if (g_jbogus) return;
    t_class *c = class_new("jbogus", as_method(jbogus_new), nullptr, sizeof(t_object), nullptr, AT_GIMME, 0);
    c->noinlet = 1;
    class_addmethod(c, as_method(swallow_long), "int", AT_LONG, 0);
    class_addmethod(c, as_method(swallow_float), "float", AT_FLOAT, 0);
    class_addmethod(c, as_method(swallow), "bang", 0);
    class_addmethod(c, as_method(swallow_list), "list", AT_GIMME, 0);
    class_addmethod(c, as_method(swallow_list), "anything", AT_GIMME, 0);
    class_addmethod(c, as_method(jbogus_helpname), "helpname", AT_CANT, 0);
    class_register(KSYM("box"), c);
    g_jbogus = c;

    t_class *u = class_new("juibogus", as_method(juibogus_new), as_method(juibogus_free), sizeof(t_juibogus),
                           nullptr, AT_GIMME, 0);
    u->flags |= CLASS_FLAG_NEWDICTIONARY;
    u->noinlet = 1;
    jbox_initclass(u, 0);
    class_addmethod(u, as_method(swallow_long), "int", AT_LONG, 0);
    class_addmethod(u, as_method(swallow_float), "float", AT_FLOAT, 0);
    class_addmethod(u, as_method(swallow), "bang", 0);
    class_addmethod(u, as_method(swallow_list), "list", AT_GIMME, 0);
    class_addmethod(u, as_method(swallow_list), "anything", AT_GIMME, 0);
    class_addmethod(u, as_method(swallow), "mousedown", AT_CANT, 0);
    class_addmethod(u, as_method(juibogus_paint), "paint", AT_CANT, 0);
    class_addmethod(u, as_method(juibogus_postname), "postname", AT_CANT, 0);
    class_addmethod(u, as_method(juibogus_helpname), "helpname", AT_CANT, 0);
    class_addattr(u, attr_offset_new("realclass", KSYM("symbol"), 0, nullptr, nullptr,
                                     static_cast<long>(offsetof(t_juibogus, realclass))));
    class_register(KSYM("box"), u);
    g_juibogus = u;
}

void *jbogus_makeinlet(t_jbox *b, long n) {
    t_object *obj = held(b);
    if (!obj || n < 0 || n >= JBOGUS_MAX_IO) return nullptr;
    bool grew = false;
    while (jbox_numinlets(b) <= n) {
        if (!inlet_append(obj, obj, nullptr, nullptr)) return nullptr;
        grew = true;
        jbox_io(b);
    }
    if (grew) jbox_io(b);
    return jbox_getinlet(b, n);
}

void *jbogus_makeoutlet(t_jbox *b, long n) {
    t_object *obj = held(b);
    if (!obj || n < 0 || n >= JBOGUS_MAX_IO) return nullptr;
    bool grew = false;
    while (jbox_numoutlets(b) <= n) {
        if (!outlet_append(obj, nullptr, nullptr)) return nullptr;
        grew = true;
        jbox_io(b);
    }
    if (grew) jbox_io(b);
    return jbox_getoutlet(b, n);
}

void assist_getstring(t_jbox *b, long kind, long index, char *text, long size, long *cold) {
    if (!b || !text || size <= 0) return;
    t_object *obj = b->b_firstin;
    if (!obj) return;
    t_symbol *desc = nullptr;
    if (object_attr_get(&b->b_ob, KSYM("description"))) desc = object_attr_getsym(&b->b_ob, KSYM("description"));
    const std::string d = desc && desc != empty() ? desc->name : "";
    const std::string np = name_part(b);
    std::string out;
    if (method am = zgetfn(obj, KSYM("assist"))) {
        std::string prefix;
        if (!d.empty()) {
            if (!np.empty()) prefix = d + " (" + b->b_varname->name + "): ";
            else prefix = d + ": ";
        }
        // The object writes into a buffer of the customary size whatever
        // the caller passed; the result is cut to fit.
        char rest[1024] = {0};
        from_method<assist_fn>(am)(obj, &b->b_ob, kind, index, rest);
        rest[sizeof rest - 1] = '\0';
        out = prefix + rest;
        if (cold) *cold = 0;
        if (kind == 1 && cold) {
            if (method im = zgetfn(obj, KSYM("inletinfo"))) {
                char flag = 0;
                from_method<inletinfo_fn>(im)(obj, &b->b_ob, index, &flag);
                *cold = flag != 0;
            }
        }
    } else {
        if (kind == 1) {
            if (index > 0) {
                auto *in = static_cast<t_inlet *>(jbox_getinlet(b, index));
                std::string which;
                if (in && inlet_is(in) && in->selector && in->selector->name[0])
                    which = std::string("(") + in->selector->name + ")";
                out = d + " " + np + "inlet " + std::to_string(index + 1) + " " + which;
            } else {
                std::string names = inlet0_messages(object_class(obj));
                out = d + " " + np + "inlet 1";
                if (!names.empty()) out += " (" + names + ")";
            }
        } else if (!d.empty()) {
            auto *o = static_cast<t_outlet *>(jbox_getoutlet(b, index));
            std::string type;
            if (o && outlet_is(o) && o->type && o->type->name[0]) type = std::string("(") + o->type->name + ")";
            out = d + " " + np + "outlet " + std::to_string(index + 1) + " " + type;
        }
        if (cold) *cold = 0;
    }
    std::snprintf(text, static_cast<size_t>(size), "%s", out.c_str());
}

void jpatcher_assist(t_object *, t_object *, long, long, char *) {}

double jgraphics_textbox(t_object *, const char *text, const t_rect *rect, const t_jrgba *color,
                         long justification, t_symbol *fontname, double inset, double smallest,
                         double largest, long slant, long weight, t_jtextlayout **out) {
    if (out) *out = nullptr;
    if (!text || !rect) return 0;
    const double w = rect->width - rect->width * inset, h = rect->height - rect->height * inset;
    t_jfont *font = jfont_create(fontname ? fontname->name : "Arial",
                                 slant ? JGRAPHICS_FONT_SLANT_ITALIC : JGRAPHICS_FONT_SLANT_NORMAL,
                                 weight ? JGRAPHICS_FONT_WEIGHT_BOLD : JGRAPHICS_FONT_WEIGHT_NORMAL, largest);
    if (!font) return 0;
    double chosen = 0;
    for (double size = largest; size >= smallest && size > 0; size -= 1) {
        jfont_set_font_size(font, size);
        double tw = 0, th = 0;
        jfont_text_measure(font, text, &tw, &th);
        if (tw < w && th < h) {
            chosen = size;
            break;
        }
    }
    if (chosen > 0 && out) {
        if (t_jtextlayout *lay = jtextlayout_create()) {
            jtextlayout_set(lay, text, font, rect->x + rect->width * inset, rect->y + rect->height * inset, w, h,
                            static_cast<t_jgraphics_text_justification>(justification),
                            JGRAPHICS_TEXTLAYOUT_USEELLIPSIS);
            if (color) jtextlayout_settextcolor(lay, color);
            *out = lay;
        }
    }
    jfont_destroy(font);
    return chosen;
}

} // extern "C"

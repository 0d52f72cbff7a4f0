/*
 * The common box attributes: their getters and setters, the operations
 * behind them (scripting name, background, ignore-click, presentation,
 * description), the box's place in the patcher's drawing order, and the
 * exported box accessors.
 *
 * Setters answer 0, or -1 for input they cannot use (nothing is posted:
 * the attribute interface reports). Getters follow the get contract of
 * kivo/attr.h and answer -1 when they cannot allocate.
 */
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>

#include "boxes/jbox_internal.h"
#include "kernel/interned.h"
#include "kivo/attr.h"
#include "kivo/attr_conv.h"
#include "kivo/class.h"
#include "kivo/commonsyms.h"
#include "kivo/dispatch.h"
#include "kivo/inout.h"
#include "kivo/registry.h"
#include "kivo/obex.h"
#include "kivo/sysmem.h"
#include "patcher/jpatcher.h"
#include "patcher/patcher_model.h"
#include "prefs/styles.h"

namespace {

template <typename F>
method M(F f) {
    return reinterpret_cast<method>(reinterpret_cast<void (*)()>(f));
}

t_symbol *sym(const char *s) { return gensym(s); }
t_symbol *empty() { return gensym(""); }

t_jbox *B(t_object *x) { return jbox_cast(x); }

bool room(long *ac, t_atom **av, long n) {
    if (!ac || !av) return false;
    if (*ac < n || !*av) {
        *av = reinterpret_cast<t_atom *>(sysmem_newptr(sizeof(t_atom) * (n > 0 ? n : 1)));
        if (!*av) return false;
    }
    *ac = n;
    return true;
}
t_kivo_err ret_sym(long *ac, t_atom **av, t_symbol *s) {
    if (!room(ac, av, 1)) return -1;
    atom_setsym(*av, s ? s : empty());
    return 0;
}
t_kivo_err ret_obj(long *ac, t_atom **av, t_object *o) {
    if (!room(ac, av, 1)) return -1;
    atom_setobj(*av, o);
    return 0;
}
t_kivo_err ret_long(long *ac, t_atom **av, t_atom_long v) {
    if (!room(ac, av, 1)) return -1;
    atom_setlong(*av, v);
    return 0;
}

void notify(t_jbox *b, const char *what) {
    if (b && b->b_patcher) jpatcher_boxnotify(b->b_patcher, &b->b_ob, sym(what));
}

unsigned char onoff(long ac, t_atom *av) { return ac > 0 && av && atom_getlong(av) != 0 ? 1 : 0; }

// A copy of a text the box owns; the old one goes.
void store_text(char **slot, const char *s) {
    if (*slot) sysmem_freeptr(*slot);
    size_t n = s ? std::strlen(s) : 0;
    *slot = static_cast<char *>(sysmem_newptr(static_cast<long>(n + 1)));
    if (*slot) {
        if (n) std::memcpy(*slot, s, n);
        (*slot)[n] = 0;
    }
}

// The font and colour setters set the value on the box itself: from then on
// it no longer follows the style.
void set_locally(t_jbox *b, t_symbol *attrname) {
    object_attr_setinherited(&b->b_ob, attrname, 0, 0);
}

// ---- rectangles

t_kivo_err rect_set(t_object *x, t_object *attr, long ac, t_atom *av) {
    t_jbox *b = B(x);
    if (!b || !attr) return -1;
    jbox_setrect_fromatoms(b, KSYM("presentation_rect"), ac, av);
    object_notify(x, _sym(attr_modified), object_attr_get(x, KSYM("presentation_rect")));
    jbox_setrect_fromatoms(b, KSYM("patching_rect"), ac, av);
    object_notify(x, _sym(attr_modified), object_attr_get(x, KSYM("patching_rect")));
    return 0;
}
t_kivo_err namedrect_set(t_object *x, t_object *attr, long ac, t_atom *av) {
    t_jbox *b = B(x);
    if (!b || !attr) return -1;
    jbox_setrect_fromatoms(b, attr_getname(reinterpret_cast<t_attr *>(attr)), ac, av);
    return 0;
}
t_kivo_err position_set(t_object *x, t_object *attr, long ac, t_atom *av) {
    t_jbox *b = B(x);
    if (!b || !attr) return -1;
    long n = ac < 2 ? ac : 2;
    t_symbol *name = attr_getname(reinterpret_cast<t_attr *>(attr));
    if (name == KSYM("position") || name == KSYM("presentation_position"))
        jbox_setrect_fromatoms(b, KSYM("presentation_rect"), n, av);
    if (name == KSYM("position") || name == KSYM("patching_position"))
        jbox_setrect_fromatoms(b, KSYM("patching_rect"), n, av);
    return 0;
}
t_kivo_err set_size_of(t_jbox *b, t_symbol *which, long ac, t_atom *av) {
    if (ac != 2 || !av) return -1;
    t_rect r = {};
    jbox_getrect(b, which, &r);
    jbox_setrect(b, which, r.x, r.y, atom_getfloat(av), atom_getfloat(av + 1));
    return 0;
}
t_kivo_err size_set(t_object *x, t_object *attr, long ac, t_atom *av) {
    t_jbox *b = B(x);
    if (!b || !attr) return -1;
    t_symbol *name = attr_getname(reinterpret_cast<t_attr *>(attr));
    if (name == KSYM("patching_size")) return set_size_of(b, KSYM("patching_rect"), ac, av);
    t_kivo_err err = set_size_of(b, KSYM("presentation_rect"), ac, av);
    if (err || name == KSYM("presentation_size")) return err;
    return set_size_of(b, KSYM("patching_rect"), ac, av);
}

// ---- identity and relations

t_kivo_err kivoclass_get(t_object *x, t_object *, long *ac, t_atom **av) {
    t_jbox *b = B(x);
    return ret_sym(ac, av, b ? object_classname(jbox_getobject(b)) : nullptr);
}
t_kivo_err object_get(t_object *x, t_object *, long *ac, t_atom **av) {
    return ret_obj(ac, av, jbox_getobject(B(x)));
}
t_kivo_err kivofilename_get(t_object *x, t_object *, long *ac, t_atom **av) {
    t_jbox *b = B(x);
    t_class *c = b ? object_class(jbox_getobject(b)) : nullptr;
    return ret_sym(ac, av, c ? c->filename : nullptr);
}
t_kivo_err description_get(t_object *x, t_object *, long *ac, t_atom **av) {
    return ret_sym(ac, av, jbox_getdescription(B(x)));
}
t_kivo_err nextobject_get(t_object *x, t_object *, long *ac, t_atom **av) {
    return ret_obj(ac, av, jbox_get_nextobject(x));
}
t_kivo_err prevobject_get(t_object *x, t_object *, long *ac, t_atom **av) {
    return ret_obj(ac, av, jbox_get_prevobject(x));
}
t_kivo_err varname_set(t_object *x, t_object *, long ac, t_atom *av) {
    t_jbox *b = B(x);
    if (!b) return -1;
    jbox_setname(b, ac > 0 && av ? atom_getsym(av) : empty());
    return 0;
}

// ---- flags

t_kivo_err hidden_set(t_object *x, t_object *, long ac, t_atom *av) {
    t_jbox *b = B(x);
    if (!b) return -1;
    b->b_hidden = onoff(ac, av);
    notify(b, "hidden");
    return 0;
}
t_kivo_err background_set(t_object *x, t_object *, long ac, t_atom *av) {
    if (!B(x)) return -1;
    jbox_setbackground(B(x), onoff(ac, av));
    return 0;
}
t_kivo_err ignoreclick_set(t_object *x, t_object *, long ac, t_atom *av) {
    if (!B(x)) return -1;
    jbox_setignoreclick(B(x), onoff(ac, av));
    return 0;
}
t_kivo_err presentation_set(t_object *x, t_object *, long ac, t_atom *av) {
    if (!B(x)) return -1;
    jbox_setpresentation(B(x), onoff(ac, av));
    return 0;
}
// "opaque" and "useimagebuffer": stored as 0 or 1 and announced.
t_kivo_err notified_flag_set(t_object *x, t_object *attr, long ac, t_atom *av) {
    t_jbox *b = B(x);
    if (!b || !attr || ac < 1 || !av) return -1;
    t_symbol *name = attr_getname(reinterpret_cast<t_attr *>(attr));
    if (name == KSYM("opaque")) b->b_opaque = onoff(ac, av);
    else b->b_useimagebuffer = onoff(ac, av);
    notify(b, name->name);
    return 0;
}

// ---- fonts and colours

t_kivo_err fontname_set(t_object *x, t_object *attr, long ac, t_atom *av) {
    t_jbox *b = B(x);
    if (!b || ac < 1 || !av) return -1;
    t_symbol *name = atom_getsym(av);
    if (!name || name == empty()) return -1;
    set_locally(b, KSYM("fontname"));
    jbox_updatefont(b, attr ? KSYM("fontname") : nullptr, name, b->b_fontface, b->b_textjustification,
                    b->b_fontsize);
    return 0;
}
t_kivo_err fontface_set(t_object *x, t_object *, long ac, t_atom *av) {
    t_jbox *b = B(x);
    if (!b || ac < 1 || !av) return -1;
    long face = 0;
    if (atom_gettype(av) == AT_SYM) {
        t_symbol *s = atom_getsym(av);
        face = s == KSYM("bold") ? 1 : s == KSYM("italic") ? 2 : s == KSYM("bold_italic") ? 3 : 0;
    } else {
        face = static_cast<long>(atom_getlong(av));
    }
    set_locally(b, KSYM("fontface"));
    jbox_updatefont(b, KSYM("fontface"), b->b_fontname, face, b->b_textjustification, b->b_fontsize);
    return 0;
}
t_kivo_err fontsize_set(t_object *x, t_object *, long ac, t_atom *av) {
    t_jbox *b = B(x);
    if (!b || ac < 1 || !av) return -1;
    set_locally(b, KSYM("fontsize"));
    jbox_setfontsize(b, atom_getfloat(av));
    return 0;
}
t_kivo_err textjustification_set(t_object *x, t_object *, long ac, t_atom *av) {
    t_jbox *b = B(x);
    if (!b || ac < 1 || !av || atom_gettype(av) != AT_LONG) return -1;
    set_locally(b, KSYM("textjustification"));
    jbox_settextjustification(b, static_cast<long>(atom_getlong(av)));
    return 0;
}
t_kivo_err textcolor_get(t_object *x, t_object *, long *ac, t_atom **av) {
    t_jbox *b = B(x);
    if (!b || !b->b_textfield) {
        if (ac) *ac = 0;
        return 0;
    }
    long n = 0;
    t_atom *got = nullptr;
    if (object_attr_getvalueof(b->b_textfield, KSYM("textcolor"), &n, &got) || n < 4) {
        if (got) sysmem_freeptr(got);
        if (ac) *ac = 0;
        return 0;
    }
    if (!room(ac, av, 4)) {
        sysmem_freeptr(got);
        return -1;
    }
    for (int i = 0; i < 4; ++i) atom_setfloat(*av + i, atom_getfloat(got + i));
    sysmem_freeptr(got);
    return 0;
}
t_kivo_err textcolor_set(t_object *x, t_object *, long ac, t_atom *av) {
    t_jbox *b = B(x);
    if (!b || !b->b_textfield || ac < 4 || !av) return 0;
    t_atom c[4];
    for (int i = 0; i < 4; ++i) atom_setfloat(c + i, atom_getfloat(av + i));
    set_locally(b, KSYM("textcolor"));
    object_attr_setvalueof(b->b_textfield, KSYM("textcolor"), 4, c);
    return 0;
}
t_kivo_err color_set(t_object *x, t_object *, long ac, t_atom *av) {
    t_jbox *b = B(x);
    if (!b || !av) return -1;
    t_jrgba c = {0, 0, 0, 1};
    if (ac == 1) {
        jbox_palettecolor(static_cast<long>(atom_getlong(av)), &c);
    } else if (ac == 3 || ac >= 4) {
        c.red = atom_getfloat(av);
        c.green = atom_getfloat(av + 1);
        c.blue = atom_getfloat(av + 2);
        c.alpha = ac >= 4 ? atom_getfloat(av + 3) : 1.0;
    } else {
        return -1;
    }
    b->b_color = c;
    set_locally(b, KSYM("color"));
    notify(b, "color");
    return 0;
}

// ---- texts

t_kivo_err boxatoms_get(t_object *x, t_object *, long *ac, t_atom **av) {
    t_jbox *b = B(x);
    if (!b || !b->b_text) return -1;
    long n = static_cast<long>(b->b_text->a_argc);
    if (!room(ac, av, n)) return -1;
    for (long i = 0; i < n; ++i) {
        const t_atom *a = b->b_text->a_argv + i;
        t_atom *out = *av + i;
        char buf[600];
        switch (atom_gettype(a)) {
        case AT_SEMI: atom_setsym(out, KSYM(";")); break;
        case AT_COMMA: atom_setsym(out, KSYM(",")); break;
        case AT_DOLLAR:
            std::snprintf(buf, sizeof buf, "$%ld ", static_cast<long>(a->value.w_long));
            atom_setsym(out, sym(buf));
            break;
        case AT_DOLLSYM:
            std::snprintf(buf, sizeof buf, "$%s", a->value.w_sym ? a->value.w_sym->name : "");
            atom_setsym(out, sym(buf));
            break;
        default: *out = *a; break;
        }
    }
    return 0;
}
t_kivo_err hint_get(t_object *x, t_object *, long *ac, t_atom **av) {
    return ret_sym(ac, av, sym(jbox_get_hintstring(x)));
}
t_kivo_err hint_set(t_object *x, t_object *, long ac, t_atom *av) {
    if (!B(x) || ac < 1 || !av || atom_gettype(av) != AT_SYM) return -1;
    jbox_set_hintstring(x, atom_getsym(av)->name);
    return 0;
}
t_kivo_err annotation_get(t_object *x, t_object *, long *ac, t_atom **av) {
    return ret_sym(ac, av, sym(jbox_get_annotation(x)));
}
t_kivo_err annotation_set(t_object *x, t_object *, long ac, t_atom *av) {
    t_jbox *b = B(x);
    if (!b || ac < 1 || !av || atom_gettype(av) != AT_SYM) return -1;
    jbox_set_annotation(x, atom_getsym(av)->name);
    notify(b, "annotation");
    return 0;
}

// ---- counts, drop role, painter

t_kivo_err numinlets_get(t_object *x, t_object *, long *ac, t_atom **av) {
    return ret_long(ac, av, B(x) ? jbox_numinlets(B(x)) : 0);
}
t_kivo_err numoutlets_get(t_object *x, t_object *, long *ac, t_atom **av) {
    return ret_long(ac, av, B(x) ? jbox_numoutlets(B(x)) : 0);
}
t_kivo_err outlettype_get(t_object *x, t_object *, long *ac, t_atom **av) {
    t_jbox *b = B(x);
    long n = b ? jbox_numoutlets(b) : 0;
    if (!room(ac, av, n)) return -1;
    t_object *holder = b ? jbox_getobject(b) : nullptr;
    for (long i = 0; i < n; ++i) {
        // The outlet record's type word follows its connection list and owner.
        struct outlet_view {
            t_messlist *messlist;
            t_ptr_uint magic;
            void *connections;
            t_object *owner;
            t_symbol *type;
        };
        auto *o = static_cast<outlet_view *>(jbox_getoutlet(b, i));
        if (!o && holder) o = reinterpret_cast<outlet_view *>(outlet_nth(holder, i));
        atom_setsym(*av + i, o && o->type ? o->type : empty());
    }
    return 0;
}
t_kivo_err droprole_get(t_object *x, t_object *, long *ac, t_atom **av) {
    t_jbox *b = B(x);
    if (!b) return -1;
    long locked = 0;
    if (b->b_pending && object_attr_get(static_cast<t_object *>(b->b_pending), KSYM("locked")))
        locked = object_attr_getlong(static_cast<t_object *>(b->b_pending), KSYM("locked"));
    else
        locked = jpatcher_get_locked(b->b_patcher);
    t_object *o = jbox_getobject(b);
    long n = 0;
    t_atom *vals = nullptr;
    object_attr_getvalueof(o, sym(locked ? "droprole_locked" : "droprole_unlocked"), &n, &vals);
    long total = locked ? n : n + 1;
    if (!room(ac, av, total)) {
        if (vals) sysmem_freeptr(vals);
        return -1;
    }
    long k = 0;
    if (!locked) atom_setsym(*av + k++, KSYM("box"));
    for (long i = 0; i < n; ++i) (*av)[k++] = vals[i];
    if (vals) sysmem_freeptr(vals);
    return 0;
}
t_kivo_err jspainterfile_get(t_object *x, t_object *, long *ac, t_atom **av) {
    t_object *painter = nullptr;
    if (B(x)) object_obex_lookup(x, KSYM("jspainter"), &painter);
    return ret_sym(ac, av, painter ? object_attr_getsym(painter, KSYM("filename")) : empty());
}
t_kivo_err jspainterfile_set(t_object *x, t_object *, long ac, t_atom *av) {
    t_jbox *b = B(x);
    if (!b) return -1;
    t_object *painter = nullptr;
    if (!object_obex_lookup(x, KSYM("jspainter"), &painter) && painter) {
        object_method(painter, KSYM("resetbox"));
        object_obex_chuck(x, KSYM("jspainter")); // frees it
        object_free(painter);
    }
    t_symbol *file = ac > 0 && av ? atom_getsym(av) : empty();
    if (!file || file == empty()) return 0;
    // The painter and its script engine are externals; without them the box
    // is simply drawn as usual.
    if (!class_findbyname(_sym(nobox), KSYM("jspainter"))) return 0;
    object_new(_sym(nobox), KSYM("jspainter"), x, file);
    return 0;
}

// ---- the palette

const unsigned char k_palette[16][3] = {
    {255, 255, 255}, {204, 156, 97}, {255, 189, 156}, {204, 140, 140},
    {255, 156, 156}, {255, 227, 23}, {40, 204, 140},  {74, 156, 97},
    {97, 156, 156},  {156, 179, 255}, {194, 181, 207}, {153, 153, 255},
    {102, 102, 204}, {153, 102, 153}, {255, 92, 174},  {255, 138, 215}};

struct AttrDef {
    const char *name;
    const char *type;
    long size;       // >1: an array of that many
    long flags;
    method get;
    method set;
    std::ptrdiff_t offset; // -1: the value lives in the accessors
};

#define OFF(f) static_cast<std::ptrdiff_t>(offsetof(t_jbox, f))

void add_attr(t_class *c, const AttrDef &a, bool boxonly) {
    long flags = a.flags | (boxonly ? JBOX_ATTR_FLAG_BOXONLY : 0);
    t_object *attr = nullptr;
    if (a.offset < 0)
        attr = attribute_new(a.name, sym(a.type), flags, a.get, a.set);
    else if (a.size > 1)
        attr = attr_offset_array_new(a.name, sym(a.type), a.size, flags, a.get, a.set, 0, a.offset);
    else
        attr = attr_offset_new(a.name, sym(a.type), flags, a.get, a.set, a.offset);
    if (!attr) return;
    class_addattr(c, attr);
    class_attr_addattr_parse(c, a.name, "jboxattr", _sym(long), 0, "1");
}

void aa(t_class *c, const char *attr, const char *name, const char *type, const char *value) {
    class_attr_addattr_parse(c, attr, name, sym(type), 0, value);
}

// Inspector presentation: saved, its widget, label, category.
void look(t_class *c, const char *attr, bool save, const char *style, const char *label,
          const char *category) {
    if (save) aa(c, attr, "save", "long", "1");
    if (style) aa(c, attr, "style", "symbol", style);
    if (label) aa(c, attr, "label", "symbol", label);
    if (category) aa(c, attr, "category", "symbol", category);
}

} // namespace

extern "C" {

void jbox_palettecolor(long index, t_jrgba *out) {
    if (!out) return;
    if (index < 0 || index > 15) index = 0;
    out->red = k_palette[index][0] / 255.0;
    out->green = k_palette[index][1] / 255.0;
    out->blue = k_palette[index][2] / 255.0;
    out->alpha = 1.0;
}

void jbox_addcommonattrs(t_class *c, long flags) {
    const long RO = ATTR_FLAG_NOSET | ATTR_FLAG_NOUSERSET;      // 0x202
    const long NOREAD = ATTR_FLAG_NOGET | ATTR_FLAG_NOUSERGET;  // 0x101
    const long HIDDEN = ATTR_FLAG_NOUSERGET | ATTR_FLAG_NOUSERSET; // 0x300
    const long HIDDENRO = HIDDEN | ATTR_FLAG_NOSET;             // 0x302
    const bool fonts = flags & (JBOX_FLAG_TEXTFIELD | JBOX_FLAG_FONTATTR);
    auto add = [c](const AttrDef &a) { add_attr(c, a, true); };
    auto invisible = [c](const char *name) { aa(c, name, "invisible", "long", "1"); };

    add({"rect", "float64", 4, NOREAD, nullptr, M(rect_set), -1});
    add({"presentation_rect", "float64", 4, 0, nullptr, M(namedrect_set), OFF(b_presentation_rect)});
    look(c, "presentation_rect", true, "rect", "Presentation Rectangle", "Appearance");
    aa(c, "presentation_rect", "default", "float64", "0. 0. 0. 0.");
    add({"patching_rect", "float64", 4, 0, nullptr, M(namedrect_set), OFF(b_patching_rect)});
    look(c, "patching_rect", true, "rect", "Patching Rectangle", "Appearance");
    add({"position", "float64", 2, NOREAD, nullptr, M(position_set), -1});
    add({"presentation_position", "float64", 2, 0, nullptr, M(position_set), OFF(b_presentation_rect)});
    aa(c, "presentation_position", "alias", "symbol", "presentation_rect");
    add({"patching_position", "float64", 2, 0, nullptr, M(position_set), OFF(b_patching_rect)});
    aa(c, "patching_position", "alias", "symbol", "patching_rect");
    add({"size", "float64", 2, NOREAD, nullptr, M(size_set), -1});
    add({"presentation_size", "float64", 2, 0, nullptr, M(size_set),
         OFF(b_presentation_rect) + static_cast<std::ptrdiff_t>(offsetof(t_rect, width))});
    aa(c, "presentation_size", "alias", "symbol", "presentation_rect");
    add({"patching_size", "float64", 2, 0, nullptr, M(size_set),
         OFF(b_patching_rect) + static_cast<std::ptrdiff_t>(offsetof(t_rect, width))});
    aa(c, "patching_size", "alias", "symbol", "patching_rect");
    aa(c, "patching_size", "min", "float64", "10. 10.");
    add({"kivoclass", "symbol", 1, HIDDENRO, M(kivoclass_get), nullptr, -1});
    invisible("kivoclass");
    add({"object", "object", 1, HIDDENRO, M(object_get), nullptr, -1});
    invisible("object");
    add({"patcher", "object", 1, HIDDENRO, nullptr, nullptr, OFF(b_patcher)});
    invisible("patcher");
    add({"hidden", "char", 1, 0, nullptr, M(hidden_set), OFF(b_hidden)});
    look(c, "hidden", true, "onoff", "Hide on Lock", "Appearance");
    aa(c, "hidden", "default", "char", "0");
    if (fonts) {
        add({"fontname", "symbol", 1, 0, nullptr, M(fontname_set), OFF(b_fontname)});
        look(c, "fontname", true, "font", "Font Name", "Font");
        aa(c, "fontname", "paint", "long", "1");
        add({"fontface", "char", 1, 0, nullptr, M(fontface_set), OFF(b_fontface)});
        look(c, "fontface", true, "enumindex", "Font Style", "Font");
        aa(c, "fontface", "paint", "long", "1");
        aa(c, "fontface", "enumvals", "symbol", "regular bold italic \"bold italic\"");
        add({"fontsize", "float64", 1, 0, nullptr, M(fontsize_set), OFF(b_fontsize)});
        look(c, "fontsize", true, "enum", "Font Size", "Font");
        aa(c, "fontsize", "paint", "long", "1");
        aa(c, "fontsize", "enumvals", "atom", "8 9 10 11 12 13 14 16 18 20 24 30 36 48 64 72");
        add({"textcolor", "float64", 4, 0, M(textcolor_get), M(textcolor_set), -1});
        look(c, "textcolor", true, "rgba", "Text Color", "Color");
        aa(c, "textcolor", "paint", "long", "1");
        add({"boxatoms", "atom", 1, RO, M(boxatoms_get), nullptr, -1});
        invisible("boxatoms");
    }
    if (flags & JBOX_FLAG_TEXTJUSTIFICATION) {
        add({"textjustification", "char", 1, 0, nullptr, M(textjustification_set), OFF(b_textjustification)});
        look(c, "textjustification", true, "enumindex", "Text Justification", "Font");
        aa(c, "textjustification", "paint", "long", "1");
        aa(c, "textjustification", "enumvals", "symbol", "left center right");
    }
    add({"hint", "symbol", 1, 0, M(hint_get), M(hint_set), -1});
    look(c, "hint", false, "text_onesymbol", "Hint", "Description");
    add({"hinttrack", "char", 1, HIDDENRO, nullptr, nullptr, OFF(b_hinttrack)});
    invisible("hinttrack");
    if (flags & JBOX_FLAG_COLOR) {
        add({"color", "float64", 4, 0, nullptr, M(color_set), OFF(b_color)});
        look(c, "color", true, "rgba", "Color", "Color");
    }
    add({"nextobject", "object", 1, HIDDENRO, M(nextobject_get), nullptr, -1});
    invisible("nextobject");
    add({"prevobject", "object", 1, HIDDENRO, M(prevobject_get), nullptr, -1});
    invisible("prevobject");
    add({"varname", "symbol", 1, 0, nullptr, M(varname_set), OFF(b_varname)});
    look(c, "varname", false, "filtertext", "Scripting Name", "Name");
    aa(c, "varname", "filterval", "symbol", ".:");
    aa(c, "varname", "unique", "long", "1");
    add({"id", "symbol", 1, HIDDENRO, nullptr, nullptr, OFF(b_id)});
    look(c, "id", true, "text", "Object ID", nullptr);
    invisible("id");
    add({"canhilite", "char", 1, HIDDENRO, nullptr, nullptr, OFF(b_canhilite)});
    invisible("canhilite");
    add({"background", "char", 1, 0, nullptr, M(background_set), OFF(b_background)});
    look(c, "background", true, "onoff", "Include in Background", "Appearance");
    aa(c, "background", "default", "char", "0");
    const bool ignore = flags & JBOX_FLAG_IGNORECLICK;
    add({"ignoreclick", "char", 1, ignore ? HIDDENRO : 0, nullptr, M(ignoreclick_set), OFF(b_ignoreclick)});
    look(c, "ignoreclick", true, "onoff", "Ignore Click", "Behavior");
    aa(c, "ignoreclick", "default", "char", ignore ? "1" : "0");
    if (ignore) invisible("ignoreclick");
    add({"kivofilename", "symbol", 1, HIDDENRO, M(kivofilename_get), nullptr, -1});
    invisible("kivofilename");
    add({"description", "symbol", 1, HIDDENRO, M(description_get), nullptr, -1});
    invisible("description");
    for (auto [name, off] : {std::pair{"drawfirstin", OFF(b_drawfirstin)}, {"growy", OFF(b_growy)},
                             {"growboth", OFF(b_growboth)}, {"nogrow", OFF(b_nogrow)},
                             {"drawinlast", OFF(b_drawinlast)}}) {
        add({name, "char", 1, HIDDENRO, nullptr, nullptr, off});
        invisible(name);
    }
    add({"mousedragdelta", "char", 1, HIDDEN, nullptr, nullptr, OFF(b_mousedragdelta)});
    invisible("mousedragdelta");
    add({"textfield", "object", 1, HIDDENRO, nullptr, nullptr, OFF(b_textfield)});
    invisible("textfield");
    // These five are the class's own business when it reads its dictionary.
    add_attr(c, {"opaque", "char", 1, HIDDEN, nullptr, M(notified_flag_set), OFF(b_opaque)}, false);
    invisible("opaque");
    add_attr(c, {"editactive", "char", 1, HIDDEN, nullptr, nullptr, OFF(b_editactive)}, false);
    invisible("editactive");
    add_attr(c, {"useimagebuffer", "char", 1, HIDDEN, nullptr, M(notified_flag_set), OFF(b_useimagebuffer)}, false);
    invisible("useimagebuffer");
    add_attr(c, {"paintoverchildren", "char", 1, HIDDEN, nullptr, nullptr, OFF(b_paintoverchildren)}, false);
    invisible("paintoverchildren");
    add_attr(c, {"prototypename", "symbol", 1, HIDDEN, nullptr, nullptr, OFF(b_prototypename)}, false);
    invisible("prototypename");
    add({"presentation", "char", 1, 0, nullptr, M(presentation_set), OFF(b_presentation)});
    look(c, "presentation", true, "onoff", "Include in Presentation", "Appearance");
    aa(c, "presentation", "default", "char", "0");
    add({"droprole", "atom", 1, HIDDENRO, M(droprole_get), nullptr, -1});
    invisible("droprole");
    add({"annotation", "symbol", 1, 0, M(annotation_get), M(annotation_set), -1});
    look(c, "annotation", false, "text_onesymbol", "Annotation", "Description");
    if (ignore) aa(c, "annotation", "disabled", "long", "1");
    add({"numinlets", "long", 1, HIDDENRO, M(numinlets_get), nullptr, -1});
    look(c, "numinlets", true, nullptr, nullptr, nullptr);
    invisible("numinlets");
    add({"numoutlets", "long", 1, HIDDENRO, M(numoutlets_get), nullptr, -1});
    look(c, "numoutlets", true, nullptr, nullptr, nullptr);
    invisible("numoutlets");
    add({"outlettype", "symbol", 1, HIDDENRO, M(outlettype_get), nullptr, -1});
    look(c, "outlettype", true, nullptr, nullptr, nullptr);
    invisible("outlettype");
    add({"jspainterfile", "symbol", 1, 0, M(jspainterfile_get), M(jspainterfile_set), -1});
    look(c, "jspainterfile", false, "filename", "JS Painter File", "Appearance");
    aa(c, "jspainterfile", "paint", "long", "1");
}

// ---- operations

void jbox_setname(t_jbox *b, t_symbol *name) {
    if (!b) return;
    if (!name) name = empty();
    if (name == b->b_varname) return;
    t_object *p = b->b_patcher;
    if (name != empty()) {
        t_object *other = jpatcher_getnamedbox(p, name);
        if (other == &b->b_ob) return;
        if (other) {
            std::string want(name->name, std::min<size_t>(std::strlen(name->name), 511));
            if (!want.empty() && want.back() == ']') {
                size_t open = want.rfind('[');
                if (open != std::string::npos) want.resize(open);
            }
            t_symbol *unique = nullptr;
            for (long n = 1;; ++n) {
                unique = gensym((want + "[" + std::to_string(n) + "]").c_str());
                t_object *holder = jpatcher_getnamedbox(p, unique);
                if (holder == &b->b_ob) return;
                if (!holder) break;
            }
            jpatcher_appendnamechange(p, name, unique);
            name = unique;
        }
    }
    if (b->b_varname && b->b_varname != empty()) notify(b, "varname_unset");
    b->b_varname = name;
    notify(b, "varname_set");
}

void jbox_setbackground(t_jbox *b, long on) {
    if (!b) return;
    unsigned char v = on ? 1 : 0;
    if (v == b->b_background) return;
    b->b_background = v;
    // A box still being made is not in the list yet: linking it places it.
    t_jpatcher *x = jpatcher_cast(b->b_patcher);
    if (x && linklist_objptr2index(x->boxes, &b->b_ob) >= 0) jbox_sendtoback(b);
    notify(b, "background");
}

void jbox_setignoreclick(t_jbox *b, long on) {
    if (!b) return;
    unsigned char v = on ? 1 : 0, old = b->b_ignoreclick;
    b->b_ignoreclick = v;
    notify(b, "ignoreclick");
    if (v || old) object_attr_setdisabled(&b->b_ob, KSYM("annotation"), v);
}

void jbox_setpresentation(t_jbox *b, long on) {
    if (!b) return;
    unsigned char v = on ? 1 : 0;
    if (v == b->b_presentation) return;
    b->b_presentation = v;
    if (v) {
        t_rect r = b->b_patching_rect;
        jbox_setrect(b, KSYM("presentation_rect"), r.x, r.y, r.width, r.height);
    } else {
        jbox_setrect(b, KSYM("presentation_rect"), 0, 0, 0, 0);
    }
    notify(b, "presentation");
}

t_symbol *jbox_getdescription(t_jbox *b) {
    if (!b) return empty();
    t_object *o = jbox_getobject(b);
    t_symbol *name = object_classname(o);
    if (!name) return empty();
    if (name == KSYM("jpatcher")) {
        t_object *p = o;
        t_symbol *file = jpatcher_get_filename(p);
        if (!file || file == empty()) file = jpatcher_get_name(p);
        std::string s = object_classname(&b->b_ob) == KSYM("bpatcher") ? "bpatcher - " : "patcher - ";
        s += file ? file->name : "";
        if (s.size() > 511) s.resize(511);
        return gensym(s.c_str());
    }
    if (name == KSYM("jbogus")) {
        t_symbol *help = nullptr;
        if (object_attr_get(o, KSYM("realclass"))) help = object_attr_getsym(o, KSYM("realclass"));
        if (help && help != empty()) return help;
    }
    return name;
}

// Background boxes lie behind all others: a background box goes to the
// very back, any other box just in front of the background boxes.
void jbox_sendtoback(t_jbox *b) {
    t_jpatcher *x = b ? jpatcher_cast(b->b_patcher) : nullptr;
    if (!x) return;
    linklist_chuckobject(x->boxes, &b->b_ob);
    t_atom_long index = 0;
    if (!b->b_background)
        for (t_linklistelem *n = x->boxes->head; n; n = n->next) {
            t_jbox *o = jbox_cast(static_cast<t_object *>(n->item));
            if (!o || !o->b_background) break;
            ++index;
        }
    linklist_insertindex(x->boxes, &b->b_ob, index);
    notify(b, "zorder");
}

void jbox_bringtofront(t_jbox *b) {
    t_jpatcher *x = b ? jpatcher_cast(b->b_patcher) : nullptr;
    if (!x) return;
    if (b->b_background) {
        // In front of the other background boxes, still behind the rest.
        linklist_chuckobject(x->boxes, &b->b_ob);
        t_atom_long index = 0;
        for (t_linklistelem *n = x->boxes->head; n; n = n->next) {
            t_jbox *o = jbox_cast(static_cast<t_object *>(n->item));
            if (!o || !o->b_background) break;
            ++index;
        }
        linklist_insertindex(x->boxes, &b->b_ob, index);
    } else {
        linklist_chuckobject(x->boxes, &b->b_ob);
        linklist_append(x->boxes, &b->b_ob);
    }
    notify(b, "zorder");
}

void jbox_orderbefore(t_jbox *b, t_jbox *other) {
    t_jpatcher *x = b ? jpatcher_cast(b->b_patcher) : nullptr;
    if (!x || !other || other == b || other->b_patcher != b->b_patcher) return;
    linklist_movebeforeobjptr(x->boxes, &b->b_ob, &other->b_ob);
    notify(b, "zorder");
}

// ---- accessors

t_object *jbox_get_patcher(t_object *box) {
    t_jbox *b = B(box);
    return b ? b->b_patcher : nullptr;
}
t_symbol *jbox_get_kivoclass(t_object *box) {
    t_jbox *b = B(box);
    return b ? object_classname(jbox_getobject(b)) : nullptr;
}
t_symbol *jbox_get_id(t_object *box) {
    t_jbox *b = B(box);
    return b ? b->b_id : nullptr;
}
t_symbol *jbox_get_varname(t_object *box) {
    t_jbox *b = B(box);
    return b ? (b->b_varname ? b->b_varname : empty()) : nullptr;
}
t_kivo_err jbox_set_varname(t_object *box, t_symbol *name) {
    return box ? object_attr_setsym(box, KSYM("varname"), name ? name : empty()) : -1;
}
t_object *jbox_get_textfield(t_object *box) {
    t_jbox *b = B(box);
    return b ? b->b_textfield : nullptr;
}
char jbox_get_hidden(t_object *box) {
    t_jbox *b = B(box);
    return b ? static_cast<char>(b->b_hidden) : 0;
}
t_kivo_err jbox_set_hidden(t_object *box, char c) {
    return box ? object_attr_setchar(box, KSYM("hidden"), c) : -1;
}
t_symbol *jbox_get_fontname(t_object *box) {
    t_jbox *b = B(box);
    return b ? b->b_fontname : nullptr;
}
t_kivo_err jbox_set_fontname(t_object *box, t_symbol *name) {
    return box ? object_attr_setsym(box, KSYM("fontname"), name) : -1;
}
double jbox_get_fontsize(t_object *box) {
    t_jbox *b = B(box);
    return b ? b->b_fontsize : 0;
}
t_kivo_err jbox_set_fontsize(t_object *box, double size) {
    return box ? object_attr_setfloat(box, KSYM("fontsize"), size) : -1;
}
t_kivo_err jbox_colorfield_set(t_jbox *b, t_jrgba *field, long ac, t_atom *av) {
    if (!b || !field || ac < 1 || !av) return KIVO_ERR_GENERIC;
    t_jrgba c = *field;
    if (jrgba_attr_set(&c, ac, av)) return KIVO_ERR_GENERIC;
    *field = c;
    jbox_redraw(b);
    return KIVO_ERR_NONE;
}

t_kivo_err jbox_get_color(t_object *box, t_jrgba *prgba) {
    t_jbox *b = B(box);
    if (!b || !prgba) return -1;
    *prgba = b->b_color;
    return 0;
}
t_kivo_err jbox_set_color(t_object *box, t_jrgba *prgba) {
    if (!box || !prgba) return -1;
    t_atom a[4];
    atom_setfloat(a, prgba->red);
    atom_setfloat(a + 1, prgba->green);
    atom_setfloat(a + 2, prgba->blue);
    atom_setfloat(a + 3, prgba->alpha);
    return object_attr_setvalueof(box, KSYM("color"), 4, a);
}
const char *jbox_get_hintstring(t_object *box) {
    t_jbox *b = B(box);
    return b && b->b_hint ? b->b_hint : "";
}
void jbox_set_hintstring(t_object *box, const char *s) {
    if (t_jbox *b = B(box)) store_text(&b->b_hint, s);
}
const char *jbox_get_annotation(t_object *box) {
    t_jbox *b = B(box);
    return b && b->b_annotation ? b->b_annotation : "";
}
void jbox_set_annotation(t_object *box, const char *s) {
    if (t_jbox *b = B(box)) store_text(&b->b_annotation, s);
}
char jbox_get_hinttrack(t_object *box) {
    t_jbox *b = B(box);
    return b ? static_cast<char>(b->b_hinttrack) : 0;
}
void jbox_set_hinttrack(t_object *box, char h) {
    if (t_jbox *b = B(box)) b->b_hinttrack = h ? 1 : 0;
}
t_object *jbox_get_nextobject(t_object *box) {
    t_jbox *b = B(box);
    t_jpatcher *x = b ? jpatcher_cast(b->b_patcher) : nullptr;
    t_linklistelem *n = x ? linklist_objptr2nodeptr(x->boxes, box) : nullptr;
    return n && n->next ? static_cast<t_object *>(n->next->item) : nullptr;
}
t_object *jbox_get_prevobject(t_object *box) {
    t_jbox *b = B(box);
    t_jpatcher *x = b ? jpatcher_cast(b->b_patcher) : nullptr;
    t_linklistelem *n = x ? linklist_objptr2nodeptr(x->boxes, box) : nullptr;
    return n && n->prev ? static_cast<t_object *>(n->prev->item) : nullptr;
}
char jbox_get_canhilite(t_object *box) {
    t_jbox *b = B(box);
    return b ? static_cast<char>(b->b_canhilite) : 0;
}
char jbox_get_background(t_object *box) {
    t_jbox *b = B(box);
    return b ? static_cast<char>(b->b_background) : 0;
}
t_kivo_err jbox_set_background(t_object *box, char d) {
    return box ? object_attr_setchar(box, KSYM("background"), d) : -1;
}
char jbox_get_ignoreclick(t_object *box) {
    t_jbox *b = B(box);
    return b ? static_cast<char>(b->b_ignoreclick) : 0;
}
t_kivo_err jbox_set_ignoreclick(t_object *box, char d) {
    return box ? object_attr_setchar(box, KSYM("ignoreclick"), d) : -1;
}
char jbox_get_drawfirstin(t_object *box) {
    t_jbox *b = B(box);
    return b ? static_cast<char>(b->b_drawfirstin) : 0;
}
char jbox_get_outline(t_object *box) {
    t_jbox *b = B(box);
    return b ? static_cast<char>(b->b_outline) : 0;
}
t_kivo_err jbox_set_outline(t_object *box, char c) {
    t_jbox *b = B(box);
    if (!b) return -1;
    b->b_outline = c ? 1 : 0;
    jbox_redraw(b);
    return 0;
}
char jbox_get_growy(t_object *box) {
    t_jbox *b = B(box);
    return b ? static_cast<char>(b->b_growy) : 0;
}
char jbox_get_growboth(t_object *box) {
    t_jbox *b = B(box);
    return b ? static_cast<char>(b->b_growboth) : 0;
}
char jbox_get_nogrow(t_object *box) {
    t_jbox *b = B(box);
    return b ? static_cast<char>(b->b_nogrow) : 0;
}
char jbox_get_drawinlast(t_object *box) {
    t_jbox *b = B(box);
    return b ? static_cast<char>(b->b_drawinlast) : 0;
}
char jbox_get_mousedragdelta(t_object *box) {
    t_jbox *b = B(box);
    return b ? static_cast<char>(b->b_mousedragdelta) : 0;
}
t_kivo_err jbox_set_mousedragdelta(t_object *box, char c) {
    t_jbox *b = B(box);
    if (!b) return -1;
    b->b_mousedragdelta = c ? 1 : 0;
    return 0;
}
char jbox_get_presentation(t_object *box) {
    t_jbox *b = B(box);
    return b ? static_cast<char>(b->b_presentation) : 0;
}
void jbox_set_prototypename(t_object *box, t_symbol *name) {
    if (t_jbox *b = B(box)) b->b_prototypename = name ? name : empty();
}

// ---- rectangles through their attributes

static t_kivo_err set_doubles(t_object *box, const char *attr, long n, const double *v) {
    if (!box || !v) return -1;
    t_atom a[4];
    for (long i = 0; i < n; ++i) atom_setfloat(a + i, v[i]);
    return object_attr_setvalueof(box, sym(attr), n, a);
}
static t_kivo_err get_doubles(t_object *box, const char *attr, long n, double *v) {
    if (!box || !v) return -1;
    t_atom a[4];
    long ac = n;
    t_atom *av = a;
    if (object_attr_getvalueof(box, sym(attr), &ac, &av) || ac != n) {
        if (av != a && av) sysmem_freeptr(av);
        return -1;
    }
    for (long i = 0; i < n; ++i) v[i] = atom_getfloat(av + i);
    if (av != a) sysmem_freeptr(av);
    return 0;
}
static t_kivo_err set_both(t_object *box, const char *pres, const char *patch, long n, const double *v) {
    t_kivo_err err = set_doubles(box, pres, n, v);
    return err ? err : set_doubles(box, patch, n, v);
}

t_kivo_err jbox_set_rect(t_object *box, t_rect *pr) {
    if (!pr) return -1;
    double v[4] = {pr->x, pr->y, pr->width, pr->height};
    return set_both(box, "presentation_rect", "patching_rect", 4, v);
}
t_kivo_err jbox_set_position(t_object *box, t_pt *pos) {
    if (!pos) return -1;
    double v[2] = {pos->x, pos->y};
    return set_both(box, "presentation_position", "patching_position", 2, v);
}
t_kivo_err jbox_set_size(t_object *box, t_size *size) {
    if (!size) return -1;
    double v[2] = {size->width, size->height};
    return set_both(box, "presentation_size", "patching_size", 2, v);
}
t_kivo_err jbox_get_rect_for_sym(t_object *box, t_symbol *which, t_rect *pr) {
    double v[4];
    if (!which || !pr || get_doubles(box, which->name, 4, v)) return -1;
    *pr = t_rect{v[0], v[1], v[2], v[3]};
    return 0;
}
t_kivo_err jbox_set_rect_for_sym(t_object *box, t_symbol *which, t_rect *pr) {
    if (!which || !pr) return -1;
    double v[4] = {pr->x, pr->y, pr->width, pr->height};
    return set_doubles(box, which->name, 4, v);
}
t_kivo_err jbox_get_patching_rect(t_object *box, t_rect *pr) {
    return jbox_get_rect_for_sym(box, KSYM("patching_rect"), pr);
}
t_kivo_err jbox_set_patching_rect(t_object *box, t_rect *pr) {
    return jbox_set_rect_for_sym(box, KSYM("patching_rect"), pr);
}
t_kivo_err jbox_get_presentation_rect(t_object *box, t_rect *pr) {
    return jbox_get_rect_for_sym(box, KSYM("presentation_rect"), pr);
}
t_kivo_err jbox_set_presentation_rect(t_object *box, t_rect *pr) {
    return jbox_set_rect_for_sym(box, KSYM("presentation_rect"), pr);
}
static t_kivo_err get_pair(t_object *box, const char *attr, double *a, double *b) {
    double v[2];
    if (get_doubles(box, attr, 2, v)) return -1;
    *a = v[0];
    *b = v[1];
    return 0;
}
t_kivo_err jbox_get_patching_position(t_object *box, t_pt *pos) {
    return pos ? get_pair(box, "patching_position", &pos->x, &pos->y) : -1;
}
t_kivo_err jbox_set_patching_position(t_object *box, t_pt *pos) {
    if (!pos) return -1;
    double v[2] = {pos->x, pos->y};
    return set_doubles(box, "patching_position", 2, v);
}
t_kivo_err jbox_get_presentation_position(t_object *box, t_pt *pos) {
    return pos ? get_pair(box, "presentation_position", &pos->x, &pos->y) : -1;
}
t_kivo_err jbox_set_presentation_position(t_object *box, t_pt *pos) {
    if (!pos) return -1;
    double v[2] = {pos->x, pos->y};
    return set_doubles(box, "presentation_position", 2, v);
}
t_kivo_err jbox_get_patching_size(t_object *box, t_size *size) {
    return size ? get_pair(box, "patching_size", &size->width, &size->height) : -1;
}
t_kivo_err jbox_set_patching_size(t_object *box, t_size *size) {
    if (!size) return -1;
    double v[2] = {size->width, size->height};
    return set_doubles(box, "patching_size", 2, v);
}
t_kivo_err jbox_get_presentation_size(t_object *box, t_size *size) {
    return size ? get_pair(box, "presentation_size", &size->width, &size->height) : -1;
}
t_kivo_err jbox_set_presentation_size(t_object *box, t_size *size) {
    if (!size) return -1;
    double v[2] = {size->width, size->height};
    return set_doubles(box, "presentation_size", 2, v);
}

} // extern "C"

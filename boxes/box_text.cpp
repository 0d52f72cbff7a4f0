/*
 * Box text and fonts: keeping a text box's text field, font and
 * justification in step, and fitting the box's rectangle to its text: to a
 * width ("bfixwidth"), to a number of lines ("reline"), after a font change
 * ("fontfixwidth" with the measurements taken before and after), and to the
 * class's default size.
 *
 * Every fitting asks the text field for its layout (textfield_layout):
 * the width the text uses, its line count, the smallest width it can take
 * and the height it needs.
 *
 * Pre-measurement: before the first paint a box may keep in `b_pending`
 * the line counts and width ratios of its text as stored (a
 * t_premeasure, tagged so that it is never taken for the view that
 * `b_pending` holds during a drop); the first font update uses and frees
 * it.
 *
 * Main thread, except the text-field updates with a lock, which read the
 * box text while the timer thread may change it.
 */
#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "boxes/boxgeom_internal.h"
#include "boxes/jbox_internal.h"
#include "kernel/interned.h"
#include "kivo/atombuf.h"
#include "kivo/attr.h"
#include "kivo/attr_conv.h"
#include "kivo/class.h"
#include "kivo/dictionary.h"
#include "kivo/dispatch.h"
#include "kivo/sched.h"
#include "kivo/sysmem.h"
#include "kivo/systhread.h"
#include "patcher/jpatcher.h"
#include "patcher/patcher_model.h"
#include "prefs/styles.h"
#include "ui/textfield_internal.h"

namespace {

t_symbol *sym(const char *s) { return gensym(s); }
t_symbol *s_patching() {
    static t_symbol *s = gensym("patching_rect");
    return s;
}
t_symbol *s_presentation() {
    static t_symbol *s = gensym("presentation_rect");
    return s;
}

constexpr unsigned kPremeasureTag = 0x7072656d; // "prem"

struct t_premeasure {
    unsigned tag;
    long lines[2];   // patching, presentation
    double ratio[2];
};

double g_fixwidthratio = 1.0;

template <typename F>
F as_fn(method m) {
    return reinterpret_cast<F>(reinterpret_cast<void (*)()>(m));
}

t_textfield_layout layout_of(t_jbox *b, double width, double height) {
    t_textfield_layout info = {};
    textfield_layout(b->b_textfield, width, height, &info);
    return info;
}

bool field_flag(t_jbox *b, const char *name) {
    return b->b_textfield && object_attr_getchar(b->b_textfield, sym(name)) != 0;
}

t_rect rect_of(t_jbox *b, t_symbol *which) {
    t_rect r = {};
    jbox_getrect(b, which, &r);
    return r;
}

bool known_rect(t_symbol *which) { return which == s_patching() || which == s_presentation(); }

void set_rect(t_jbox *b, t_symbol *which, const t_rect &r) {
    jbox_setrect(b, which, r.x, r.y, r.width, r.height);
}

// The box's own "measuretext" (a class may override it), else ours.
void measure(t_jbox *b, t_symbol *which, long *lines, double *ratio) {
    *lines = 0;
    *ratio = 0;
    if (method m = my_object_getmethod(&b->b_ob, KSYM("measuretext")))
        as_fn<void (*)(t_jbox *, t_symbol *, long *, double *)>(m)(b, which, lines, ratio);
}

t_premeasure *take_premeasure(t_jbox *b) {
    auto *pm = static_cast<t_premeasure *>(b->b_pending);
    if (!pm || pm->tag != kPremeasureTag) return nullptr;
    b->b_pending = nullptr;
    return pm;
}

void send_fontchanged(t_jbox *b, t_symbol *attrname) {
    if (method m = my_object_getmethod(&b->b_ob, KSYM("fontchanged")))
        as_fn<void (*)(t_jbox *, t_symbol *)>(m)(b, attrname);
    else
        jbox_fontchanged(b, attrname);
}

void send_settext(t_jbox *b, const char *text) {
    if (method m = my_object_getmethod(&b->b_ob, KSYM("settext")))
        as_fn<void (*)(t_jbox *, const char *)>(m)(b, text);
    else
        jbox_settext(b, text);
}

// The box text as text; object-box text keeps its own quoting rules.
std::string text_of(t_jbox *b) {
    std::string out;
    t_handle h = sysmem_newhandle(0);
    if (!h) return out;
    t_ptr_size size = 0;
    if (atombuf_totext_flags(b->b_text, h, &size, b->b_isnewobj ? 3 : 0) == 0 && *h)
        out.assign(*h, static_cast<size_t>(size));
    sysmem_freehandle(h);
    return out;
}

void method_reline(t_jbox *b, t_symbol *which, long wanted) { jbox_reline(b, which, wanted); }
void method_bfixwidth(t_jbox *b, t_symbol *s, long argc, t_atom *argv) {
    jbox_bfixwidth(b, s, argc, argv);
}
void method_defaultsize(t_jbox *b, t_symbol *s, long argc, t_atom *argv) {
    jbox_set_to_defaultsize(b, s, argc, argv);
}

} // namespace

extern "C" {

double jbox_getfixwidthratio(void) { return g_fixwidthratio; }
void jbox_setfixwidthratio(double ratio) { g_fixwidthratio = ratio; }

void jbox_text_addmethods(t_class *c, long flags) {
    textfield_initclass();
    if (!c) return;
    auto M = [](auto f) { return reinterpret_cast<method>(reinterpret_cast<void (*)()>(f)); };
    if (flags & JBOX_FLAG_TEXTFIELD) {
        class_addmethod(c, M(method_reline), "reline", AT_CANT, 0);
        class_addmethod(c, M(jbox_settext), "settext", AT_CANT, 0);
        class_addmethod(c, M(jbox_bfont), "bfont", AT_CANT, 0);
        class_addmethod(c, M(jbox_fontchanged), "fontchanged", AT_CANT, 0);
        class_addmethod(c, M(jbox_measuretext), "measuretext", AT_CANT, 0);
        class_addmethod(c, M(jbox_fontfixwidth), "fontfixwidth", AT_CANT, 0);
    }
    if (flags & JBOX_FLAG_FIXWIDTH)
        class_addmethod(c, (flags & JBOX_FLAG_TEXTFIELD) ? M(method_bfixwidth) : M(method_defaultsize),
                        "bfixwidth", AT_GIMME, 0);
}

// ---- the text field's text

void jbox_settext(t_jbox *b, const char *text) {
    if (!b || !b->b_textfield) return;
    object_method(b->b_textfield, KSYM("settext"), text ? text : "");
    if (b->b_useimagebuffer) jbox_redraw(b);
}

void jbox_updatetextfield(t_jbox *b) {
    if (!b || !b->b_text) return;
    std::string text = text_of(b);
    send_settext(b, text.c_str());
}

void jbox_updatetextfield_lockmutex(t_jbox *b, t_systhread_mutex mutex) {
    if (!b || !b->b_text) return;
    if (mutex) systhread_mutex_lock(mutex);
    std::string text = text_of(b);
    if (mutex) systhread_mutex_unlock(mutex);
    send_settext(b, text.c_str());
}

void jbox_updatetextfield_safe(t_jbox *b, long lock) {
    if (!b || !b->b_text) return;
    if (!lock) {
        jbox_updatetextfield(b);
        return;
    }
    t_critical region = scheduler_get_timer_critical(scheduler_fromobject(&b->b_ob));
    critical_enter(region);
    std::string text = text_of(b);
    critical_exit(region);
    send_settext(b, text.c_str());
}

// ---- fonts and justification

void jbox_settextjustification(t_jbox *b, long index) {
    if (!b) return;
    if (index > 2 || index < 0) index = 0;
    b->b_textjustification = static_cast<unsigned char>(index);
    if (!b->b_textfield) return;
    static const long codes[3] = {1, 4, 2};
    object_attr_setlong(b->b_textfield, KSYM("justification"), codes[index]);
    if (field_flag(b, "isediting")) object_method(b->b_textfield, KSYM("textchanged"));
}

void jbox_updatefont(t_jbox *b, t_symbol *attrname, t_symbol *fontname, long fontface,
                     long justification, double fontsize) {
    if (!b) return;
    const bool measuring = my_object_getmethod(&b->b_ob, KSYM("measuretext")) != nullptr;
    long lines[2] = {0, 0};
    double ratio[2] = {0, 0};
    if (measuring) {
        if (t_premeasure *pm = take_premeasure(b)) {
            std::copy(pm->lines, pm->lines + 2, lines);
            std::copy(pm->ratio, pm->ratio + 2, ratio);
            sysmem_freeptr(pm);
        } else {
            measure(b, s_patching(), &lines[0], &ratio[0]);
            if (b->b_presentation) measure(b, s_presentation(), &lines[1], &ratio[1]);
        }
    }
    if (fontname) b->b_fontname = fontname;
    b->b_fontsize = fontsize;
    b->b_fontface = static_cast<unsigned char>(fontface & 3);
    b->b_textjustification = static_cast<unsigned char>(justification > 2 || justification < 0 ? 0 : justification);
    if (measuring) {
        // The font is now the box's own, so it is saved with the box.
        if (attrname && object_attr_isstyleattr(&b->b_ob, attrname))
            object_attr_setinherited(&b->b_ob, attrname, 0, 0);
        if (method fix = my_object_getmethod(&b->b_ob, KSYM("fontfixwidth"))) {
            auto fn = as_fn<void (*)(t_jbox *, t_symbol *, long, double)>(fix);
            fn(b, s_patching(), lines[0], ratio[0]);
            if (b->b_presentation) fn(b, s_presentation(), lines[1], ratio[1]);
        }
    }
    send_fontchanged(b, attrname);
}

void jbox_setfontsize(t_jbox *b, double size) {
    if (!b) return;
    if (b->b_patcher && jpatcher_get_fileversion(b->b_patcher) == 0) {
        // Old files give sizes in another unit.
        const char *name = b->b_fontname ? b->b_fontname->name : "";
        if (t_jfont *f = jfont_create(name, JGRAPHICS_FONT_SLANT_NORMAL, JGRAPHICS_FONT_WEIGHT_NORMAL, size)) {
            size = size * 1.333333333333 / jfont_get_heighttocharheightratio(f);
            jfont_destroy(f);
        }
    }
    jbox_updatefont(b, KSYM("fontsize"), b->b_fontname, b->b_fontface, b->b_textjustification,
                    std::max(size, 4.0));
}

void jbox_fontchanged(t_jbox *b, t_symbol *attrname) {
    if (!b) return;
    jbox_validaterects(b);
    jpatcher_boxnotify(b->b_patcher, &b->b_ob, KSYM("fontchanged"));
    if (attrname == KSYM("textjustification")) jbox_settextjustification(b, b->b_textjustification);
    jbox_redraw(b);
}

void jbox_bfont(t_jbox *b, double size, long fontnumber) {
    if (!b) return;
    t_symbol *name = fontinfo_getname(static_cast<short>(fontnumber));
    if (name && *name->name) b->b_fontname = name;
    if (size > 0) b->b_fontsize = size;
    send_fontchanged(b, KSYM("fontsize"));
}

void jbox_measuretext(t_jbox *b, t_symbol *which, long *numlines, double *ratio) {
    if (!b || !b->b_textfield || !known_rect(which)) return;
    t_rect r = rect_of(b, which);
    t_textfield_layout info = layout_of(b, r.width, r.height);
    if (numlines) *numlines = info.numlines;
    if (ratio) *ratio = r.width > 0 ? info.width / r.width : 0;
}

void jbox_premeasuretext(t_jbox *b) {
    if (!b || !object_attr_get(&b->b_ob, KSYM("fontname"))) return;
    if (!my_object_getmethod(&b->b_ob, KSYM("measuretext"))) return;
    if (b->b_pending) return; // a measurement (or a drop) is already there
    auto *pm = reinterpret_cast<t_premeasure *>(sysmem_newptrclear(sizeof(t_premeasure)));
    if (!pm) return;
    pm->tag = kPremeasureTag;
    measure(b, s_patching(), &pm->lines[0], &pm->ratio[0]);
    if (b->b_presentation) measure(b, s_presentation(), &pm->lines[1], &pm->ratio[1]);
    b->b_pending = pm;
}

void jbox_freepending(t_jbox *b) {
    if (b) sysmem_freeptr(take_premeasure(b));
}

void jbox_fontfixwidth(t_jbox *b, t_symbol *which, long numlines, double ratio) {
    if (!b || !b->b_textfield || !known_rect(which)) return;
    method reline = my_object_getmethod(&b->b_ob, KSYM("reline"));
    if (reline) as_fn<void (*)(t_jbox *, t_symbol *, long)>(reline)(b, which, numlines);
    else jbox_reline(b, which, numlines);
    t_rect r = rect_of(b, which);
    t_textfield_layout info = layout_of(b, r.width, r.height);
    double width = r.width;
    if (ratio != 0) width = std::ceil(info.width / ratio);
    if (field_flag(b, "isediting")) object_method(b->b_textfield, KSYM("textchanged"));
    jbox_setrect(b, which, r.x, r.y, width, r.height);
}

// ---- fitting

void jbox_reline(t_jbox *b, t_symbol *which, long wanted) {
    if (!b || !b->b_textfield || !known_rect(which) || field_flag(b, "useellipsis")) return;
    const long want = wanted == 0 ? 1 : wanted;
    const t_rect r = rect_of(b, which);
    const double w = r.width;
    t_textfield_layout info = layout_of(b, w, r.height);
    const double h = std::max(info.neededheight, r.height);
    if (info.numlines == want || info.numlines == 0) {
        if (info.width > w) set_rect(b, which, {r.x, r.y, info.width, h});
        return;
    }
    if (wanted == 0) {
        // Asked for no particular count: only a text that just wrapped onto
        // a second line gets the room to go back to one.
        if (info.numlines != 2) return;
        t_textfield_layout wider = layout_of(b, w * 1.2, h);
        if (wider.numlines != 2) set_rect(b, which, {r.x, r.y, wider.width, h});
        return;
    }
    const double step = info.numlines > want ? 2 : -2;
    double width = std::max(info.minwidth, w + step);
    t_textfield_layout last = info;
    for (;;) {
        if (last.minwidth > width || width > 1200 || width <= 0) {
            set_rect(b, which, {r.x, r.y, std::max(info.minwidth, w), last.height});
            break;
        }
        last = layout_of(b, width, h);
        if (last.numlines == want) {
            set_rect(b, which, {r.x, r.y, width, last.height});
            break;
        }
        width += step;
    }
    jpatcher_boxnotify(b->b_patcher, &b->b_ob, KSYM("textchanged"));
}

void jbox_bfixwidth(t_jbox *b, t_symbol *, long argc, t_atom *argv) {
    if (!b || !b->b_textfield) return;
    t_object *view = nullptr;
    t_symbol *which = jbox_whichviewrect(argc, argv, &view);
    if (!known_rect(which)) return;
    const t_rect r = rect_of(b, which);
    if (which == s_presentation() && !b->b_presentation && !(r.width > 0 && r.height > 0)) return;
    char *text = nullptr;
    long textsize = 0;
    object_method(b->b_textfield, KSYM("gettextptr"), &text, &textsize);
    if (!text || !*text) return;
    double maxwidth = 600;
    if (view) {
        double visible[4] = {0, 0, 0, 0};
        if (object_attr_getdouble_array(view, KSYM("visiblecanvasrect"), 4, visible) >= 4)
            maxwidth = visible[0] + visible[2] - r.x - 5;
    }
    t_textfield_layout info = layout_of(b, maxwidth, r.height);
    double height = std::max(info.height, info.neededheight);
    double width = std::max(info.width + 2, jbox_iowidth(b));
    width *= g_fixwidthratio;
    t_rect fitted = {r.x, r.y, width, height};
    jbox_set_rect_for_sym(&b->b_ob, which, &fitted);
    jpatcher_boxnotify(b->b_patcher, &b->b_ob, KSYM("textchanged"));
}

void jbox_set_to_defaultsize(t_jbox *b, t_symbol *, long argc, t_atom *argv) {
    if (!b) return;
    t_dictionary *proto = class_cloneprototype(object_class(&b->b_ob));
    if (!proto) return;
    t_object *view = nullptr;
    t_symbol *which = jbox_whichviewrect(argc, argv, &view);
    auto read = [&](t_symbol *key, t_rect *out) {
        long ac = 0;
        t_atom *av = nullptr;
        if (dictionary_getatoms(proto, key, &ac, &av) != 0 || ac < 4 || !av) return false;
        *out = {atom_getfloat(av), atom_getfloat(av + 1), atom_getfloat(av + 2), atom_getfloat(av + 3)};
        return out->width != 0 && out->height != 0;
    };
    t_rect found = {};
    bool ok = known_rect(which) && (read(which, &found) ||
                                    (which == s_presentation() && read(s_patching(), &found)) ||
                                    read(KSYM("rect"), &found));
    object_free(proto);
    if (!ok) return;
    t_size size = {found.width, found.height};
    if (which == s_presentation()) jbox_set_presentation_size(&b->b_ob, &size);
    else jbox_set_patching_size(&b->b_ob, &size);
}

} // extern "C"

/*
 * The text field: the "nobox" object that a text box owns to hold, lay out
 * and measure its text. It lays the text out in the owning box's font
 * (name, size and face read from the box record), wrapped at the box width
 * less its margins, with the justification the box gave it.
 *
 * Layout information ("getlayoutinfo") answers, for a width and height:
 * - the width the text uses (its widest line plus the margins) and the
 *   height it needs, written back through the width and height pointers;
 * - the number of lines (0 for an empty text);
 * - the smallest width the text can take without breaking a word (its
 *   widest word plus the margins);
 * - the height it needs: its lines (at least one) times the line height,
 *   plus the margins.
 *
 * Invariants: `text` is never null after construction and is zero
 * terminated; the field never owns its owner.
 *
 * Main thread only.
 */
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>

#include "boxes/jbox_internal.h"
#include "kernel/obex_internal.h"
#include "kivo/attr.h"
#include "kivo/class.h"
#include "kivo/commonsyms.h"
#include "kivo/jgraphics.h"
#include "kivo/registry.h"
#include "kivo/sysmem.h"
#include "ui/textfield_internal.h"

using kivo::obex::as_method;

namespace {

struct t_textfield {
    t_object ob;
    void *obex;
    t_object *owner;     // the box (borrowed)
    char *text;          // owned, zero terminated
    long textlen;
    t_jrgba textcolor;   // opaque black
    double margins[4];   // left, top, right, bottom
    long justification;  // 1 left, 4 centre, 2 right
    char ready;
    char isediting;
    char dontsave;
    char useellipsis;
    // Editing settings the box passes on to the editor; the layout here
    // does not depend on them.
    t_jrgba bgcolor;     // transparent
    char editonclick;
    char selectallonedit;
    char noactivate;
    char readonly;
    char wordwrap;       // 1
    char autoscroll;
    char wantsreturn;
    char wantstab;
    char underline;
    char autofixwidth;
    t_symbol *emptytext; // shown while the text is empty; the empty symbol
};

t_class *g_textfield_class = nullptr;

t_textfield *TF(t_object *x) {
    return x && object_class(x) == g_textfield_class ? reinterpret_cast<t_textfield *>(x) : nullptr;
}

void *textfield_new(t_object *owner) {
    auto *x = static_cast<t_textfield *>(object_alloc(g_textfield_class));
    if (!x) return nullptr;
    x->owner = owner;
    x->text = sysmem_newptrclear(1);
    x->textlen = 0;
    x->textcolor = t_jrgba{0, 0, 0, 1};
    x->margins[0] = 4;
    x->margins[1] = 3;
    x->margins[2] = 4;
    x->margins[3] = 3;
    x->justification = JGRAPHICS_TEXT_JUSTIFICATION_LEFT;
    x->ready = 1;
    x->wordwrap = 1;
    x->emptytext = gensym("");
    if (!x->text) {
        object_free(x);
        return nullptr;
    }
    return x;
}

void textfield_free(t_textfield *x) {
    if (x->text) sysmem_freeptr(x->text);
    x->text = nullptr;
}

void textfield_settext(t_textfield *x, const char *text) {
    if (!text) text = "";
    size_t n = std::strlen(text);
    char *copy = sysmem_newptr(static_cast<t_ptr_size>(n + 1));
    if (!copy) return; // the old text stays rather than a half-set one
    std::memcpy(copy, text, n + 1);
    sysmem_freeptr(x->text);
    x->text = copy;
    x->textlen = static_cast<long>(n);
}

void textfield_gettextptr(t_textfield *x, char **text, long *size) {
    if (text) *text = x->text;
    if (size) *size = x->textlen;
}

void *textfield_getptr(t_textfield *x) { return x->text; }

void textfield_textchanged(t_textfield *x) {
    object_notify(x, gensym("textchanged"), nullptr);
}

t_jfont *owner_font(t_textfield *x) {
    const char *name = "Arial";
    double size = 12;
    long face = 0;
    if (t_jbox *b = jbox_cast(x->owner)) {
        if (b->b_fontname && *b->b_fontname->name) name = b->b_fontname->name;
        if (b->b_fontsize > 0) size = b->b_fontsize;
        face = b->b_fontface;
    }
    return jfont_create(name, (face & 2) ? JGRAPHICS_FONT_SLANT_ITALIC : JGRAPHICS_FONT_SLANT_NORMAL,
                        (face & 1) ? JGRAPHICS_FONT_WEIGHT_BOLD : JGRAPHICS_FONT_WEIGHT_NORMAL, size);
}

double widest_word(t_jfont *font, const char *text) {
    double widest = 0;
    std::string word;
    auto flush = [&] {
        if (word.empty()) return;
        double w = 0;
        jfont_text_measure(font, word.c_str(), &w, nullptr);
        widest = std::max(widest, w);
        word.clear();
    };
    for (const char *p = text; *p; ++p) {
        if (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r') flush();
        else word.push_back(*p);
    }
    flush();
    return widest;
}

void textfield_getlayoutinfo(t_textfield *x, long, double *width, double *height, long *numlines,
                             double *minwidth, double *neededheight) {
    t_textfield_layout info = {};
    textfield_layout(&x->ob, width ? *width : 0, height ? *height : 0, &info);
    if (width) *width = info.width;
    if (height) *height = info.height;
    if (numlines) *numlines = info.numlines;
    if (minwidth) *minwidth = info.minwidth;
    if (neededheight) *neededheight = info.neededheight;
}

} // namespace

extern "C" {

void textfield_layout(t_object *field, double width, double height, t_textfield_layout *out) {
    t_textfield *x = TF(field);
    if (!x || !out) return;
    *out = t_textfield_layout{};
    t_jfont *font = owner_font(x);
    if (!font) return;
    const double hmargins = x->margins[0] + x->margins[2];
    const double vmargins = x->margins[1] + x->margins[3];
    t_jgraphics_font_extents ext = {};
    jfont_extents(font, &ext);
    double used = 0;
    long lines = 0;
    if (x->textlen > 0) {
        // The height does not limit a wrapped layout; the text is measured
        // whole and the caller decides what height to give it.
        double content = std::max(width - hmargins, 1.0);
        t_jtextlayout *layout = jtextlayout_create();
        if (layout) {
            auto flags = x->useellipsis ? JGRAPHICS_TEXTLAYOUT_USEELLIPSIS
                                        : static_cast<t_jgraphics_textlayout_flags>(0);
            jtextlayout_set(layout, x->text, font, 0, 0, content, std::max(height, 1.0) + 1e6,
                            static_cast<t_jgraphics_text_justification>(x->justification), flags);
            jtextlayout_measuretext(layout, 0, -1, 0, &used, nullptr, &lines);
            jtextlayout_destroy(layout);
        }
    }
    out->numlines = lines;
    out->width = used + hmargins;
    out->neededheight = static_cast<double>(std::max(lines, 1L)) * ext.height + vmargins;
    out->height = out->neededheight;
    out->minwidth = (x->useellipsis ? 0 : widest_word(font, x->text)) + hmargins;
    jfont_destroy(font);
}

void textfield_initclass(void) {
    if (g_textfield_class) return;
    t_class *c = class_new("textfield", as_method(textfield_new), as_method(textfield_free),
                           sizeof(t_textfield), nullptr, AT_CANT, 0);
    if (!c) return;
    class_obexoffset_set(c, offsetof(t_textfield, obex));
    kivo::obex::class_addmethods_cant(c, {
        {as_method(textfield_settext), "settext"},
        {as_method(textfield_gettextptr), "gettextptr"},
        {as_method(textfield_getptr), "getptr"},
        {as_method(textfield_getlayoutinfo), "getlayoutinfo"},
        {as_method(textfield_textchanged), "textchanged"},
    });
    t_symbol *ch = gensym("char");
    struct Flag {
        const char *name;
        long offset;
    };
    for (const Flag &f : {Flag{"ready", offsetof(t_textfield, ready)},
                          Flag{"isediting", offsetof(t_textfield, isediting)},
                          Flag{"dontsave", offsetof(t_textfield, dontsave)},
                          Flag{"useellipsis", offsetof(t_textfield, useellipsis)},
                          Flag{"editonclick", offsetof(t_textfield, editonclick)},
                          Flag{"selectallonedit", offsetof(t_textfield, selectallonedit)},
                          Flag{"noactivate", offsetof(t_textfield, noactivate)},
                          Flag{"readonly", offsetof(t_textfield, readonly)},
                          Flag{"wordwrap", offsetof(t_textfield, wordwrap)},
                          Flag{"autoscroll", offsetof(t_textfield, autoscroll)},
                          Flag{"wantsreturn", offsetof(t_textfield, wantsreturn)},
                          Flag{"wantstab", offsetof(t_textfield, wantstab)},
                          Flag{"underline", offsetof(t_textfield, underline)},
                          Flag{"autofixwidth", offsetof(t_textfield, autofixwidth)}})
        class_addattr(c, attr_offset_new(f.name, ch, 0, nullptr, nullptr, f.offset));
    class_addattr(c, attr_offset_new("owner", gensym("object"), ATTR_FLAG_NOSET | ATTR_FLAG_NOUSERSET, nullptr,
                                     nullptr, offsetof(t_textfield, owner)));
    class_addattr(c, attr_offset_new("emptytext", gensym("symbol"), 0, nullptr, nullptr,
                                     offsetof(t_textfield, emptytext)));
    class_addattr(c, attr_offset_array_new("bgcolor", gensym("float64"), 4, 0, nullptr, nullptr, 0,
                                           offsetof(t_textfield, bgcolor)));
    class_addattr(c, attr_offset_new("justification", gensym("long"), 0, nullptr, nullptr,
                                     offsetof(t_textfield, justification)));
    class_addattr(c, attr_offset_array_new("textcolor", gensym("float64"), 4, 0, nullptr, nullptr,
                                           0, offsetof(t_textfield, textcolor)));
    class_addattr(c, attr_offset_array_new("textmargins", gensym("float64"), 4, 0, nullptr,
                                           nullptr, 0, offsetof(t_textfield, margins)));
    class_register(_sym(nobox), c);
    g_textfield_class = c;
}

t_object *textfield_new_for(t_object *owner) {
    textfield_initclass();
    return static_cast<t_object *>(object_new(_sym(nobox), gensym("textfield"), owner));
}

} // extern "C"

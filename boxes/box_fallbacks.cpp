/*
 * Weak stand-ins for the geometry and text operations until their own
 * modules define them; the real definitions replace these at link time.
 */
#include "boxes/jbox_internal.h"

#define KIVO_WEAK __attribute__((weak))

extern "C" {

KIVO_WEAK void jbox_getrect(t_jbox *b, t_symbol *which, t_rect *out) {
    if (!b || !out) return;
    if (which == gensym("patching_rect")) *out = b->b_patching_rect;
    else if (which == gensym("presentation_rect")) *out = b->b_presentation_rect;
}

KIVO_WEAK void jbox_setrect(t_jbox *b, t_symbol *which, double x, double y, double w, double h) {
    if (!b) return;
    t_rect *r = which == gensym("patching_rect")       ? &b->b_patching_rect
                : which == gensym("presentation_rect") ? &b->b_presentation_rect
                                                       : nullptr;
    if (!r || (r->x == x && r->y == y && r->width == w && r->height == h)) return;
    *r = t_rect{x, y, w, h};
}

KIVO_WEAK void jbox_setrect_fromatoms(t_jbox *b, t_symbol *which, long n, t_atom *av) {
    t_rect r = {};
    jbox_getrect(b, which, &r);
    double *v[4] = {&r.x, &r.y, &r.width, &r.height};
    for (long i = 0; i < n && i < 4; ++i) *v[i] = atom_getfloat(av + i);
    jbox_setrect(b, which, r.x, r.y, r.width, r.height);
}

KIVO_WEAK void jbox_io(t_jbox *) {}
KIVO_WEAK void jbox_forgetinletoutletxpos(t_jbox *) {}
KIVO_WEAK void jbox_freepending(t_jbox *) {}
KIVO_WEAK long jbox_numinlets(t_jbox *) { return 0; }
KIVO_WEAK long jbox_numoutlets(t_jbox *) { return 0; }

KIVO_WEAK void jbox_updatefont(t_jbox *b, t_symbol *, t_symbol *fontname, long fontface,
                               long justification, double fontsize) {
    if (!b) return;
    b->b_fontname = fontname;
    b->b_fontface = static_cast<unsigned char>(fontface);
    b->b_textjustification = static_cast<unsigned char>(justification);
    b->b_fontsize = fontsize;
}
KIVO_WEAK void jbox_setfontsize(t_jbox *b, double size) {
    if (b) jbox_updatefont(b, gensym("fontsize"), b->b_fontname, b->b_fontface,
                           b->b_textjustification, size < 4 ? 4 : size);
}
KIVO_WEAK void jbox_settextjustification(t_jbox *b, long index) {
    if (b) b->b_textjustification = static_cast<unsigned char>(index > 2 || index < 0 ? 0 : index);
}
KIVO_WEAK void jbox_updatetextfield(t_jbox *) {}
KIVO_WEAK void jbox_text_addmethods(t_class *, long) {}

KIVO_WEAK void jbox_validaterects(t_jbox *) {}
KIVO_WEAK void jbox_redraw(t_jbox *) {}
KIVO_WEAK void jbox_redrawcontents(t_jbox *) {}
KIVO_WEAK void *jbox_getinlet(t_jbox *, long) { return nullptr; }
KIVO_WEAK void *jbox_getoutlet(t_jbox *, long) { return nullptr; }
KIVO_WEAK void jbox_grabfocus(t_jbox *) {}
KIVO_WEAK void jbox_show_caption(t_jbox *) {}
KIVO_WEAK void jbox_hide_caption(t_jbox *) {}

} // extern "C"

/*
 * Accessors of patch cords, watchpoints, patcher views and box text
 * fields, and the conversions of colours, rectangles, points and sizes to
 * and from attributes and dictionary entries.
 *
 * Each accessor reads or writes the attribute of the same name on the
 * object, so that every write runs the attribute's setter and its
 * notification. Values written as attributes or dictionary entries travel
 * as float atoms and so pass through single precision.
 *
 * Getters of a missing attribute, or of a null object, answer 0, null or
 * -1; setters answer the attribute system's error code (0 on success, -1
 * for a null object). Outputs are left as they were on failure.
 */
#ifndef KIVO_JACCESS_H
#define KIVO_JACCESS_H

#include "kivo/atom.h"
#include "kivo/jtypes.h"
#include "kivo/object.h"

KIVO_BEGIN_C

struct dictionary;

/* ---- points, sizes and rectangles as attributes (two or four values) */
KIVO_EXPORT t_kivo_err object_attr_set_xywh(t_object *o, t_symbol *attr, double x, double y, double w,
                                            double h);
KIVO_EXPORT t_kivo_err object_attr_getpt(t_object *o, t_symbol *attr, t_pt *pt);
KIVO_EXPORT t_kivo_err object_attr_setpt(t_object *o, t_symbol *attr, t_pt *pt);
KIVO_EXPORT t_kivo_err object_attr_getsize(t_object *o, t_symbol *attr, t_size *size);
KIVO_EXPORT t_kivo_err object_attr_setsize(t_object *o, t_symbol *attr, t_size *size);

/* ---- patch cords (the colour is the cord's "patchlinecolor") */
KIVO_EXPORT t_kivo_err jpatchline_get_startpoint(t_object *l, double *x, double *y);
KIVO_EXPORT t_kivo_err jpatchline_get_endpoint(t_object *l, double *x, double *y);
KIVO_EXPORT long jpatchline_get_nummidpoints(t_object *l);
KIVO_EXPORT char jpatchline_get_pending(t_object *l);
KIVO_EXPORT char jpatchline_get_hidden(t_object *l);
KIVO_EXPORT t_kivo_err jpatchline_set_hidden(t_object *l, char c);
KIVO_EXPORT t_kivo_err jpatchline_get_color(t_object *l, t_jrgba *prgba);
KIVO_EXPORT t_kivo_err jpatchline_set_color(t_object *l, t_jrgba *prgba);
KIVO_EXPORT t_object *jpatchline_get_box1(t_object *l);
KIVO_EXPORT long jpatchline_get_outletnum(t_object *l);
KIVO_EXPORT t_object *jpatchline_get_box2(t_object *l);
KIVO_EXPORT long jpatchline_get_inletnum(t_object *l);
KIVO_EXPORT double jpatchline_get_straightthresh(t_object *l);
KIVO_EXPORT t_kivo_err jpatchline_set_straightthresh(t_object *l, double v);
KIVO_EXPORT char jpatchline_get_straightstart(t_object *l);
KIVO_EXPORT char jpatchline_get_straightend(t_object *l);
KIVO_EXPORT t_kivo_err jpatchline_set_straightstart(t_object *l, char c);
KIVO_EXPORT t_kivo_err jpatchline_set_straightend(t_object *l, char c);
/* The next cord in the patcher's cord list, or null. */
KIVO_EXPORT t_object *jpatchline_get_nextline(t_object *l);
KIVO_EXPORT t_object *jpatchline_get_wiretap(t_object *l);

/* ---- watchpoints */
KIVO_EXPORT long wiretap_get_id(t_object *w);
KIVO_EXPORT long wiretap_get_flags(t_object *w);
KIVO_EXPORT t_kivo_err wiretap_set_flags(t_object *w, long flags);

/* ---- patcher views */
KIVO_EXPORT char patcherview_get_visible(t_object *pv);
KIVO_EXPORT t_kivo_err patcherview_set_visible(t_object *pv, char c);
KIVO_EXPORT t_kivo_err patcherview_get_rect(t_object *pv, t_rect *r);
KIVO_EXPORT t_kivo_err patcherview_set_rect(t_object *pv, t_rect *r);
/* Through the view's "canvastoscreen" / "screentocanvas"; outputs are
   untouched when the view has no such method. */
KIVO_EXPORT void patcherview_canvas_to_screen(t_object *pv, double x, double y, double *sx, double *sy);
KIVO_EXPORT void patcherview_screen_to_canvas(t_object *pv, double sx, double sy, double *x, double *y);
KIVO_EXPORT char patcherview_get_locked(t_object *pv);
KIVO_EXPORT t_kivo_err patcherview_set_locked(t_object *pv, char c);
KIVO_EXPORT char patcherview_get_presentation(t_object *pv);
KIVO_EXPORT t_kivo_err patcherview_set_presentation(t_object *pv, char c);
KIVO_EXPORT double patcherview_get_zoomfactor(t_object *pv);
KIVO_EXPORT t_kivo_err patcherview_set_zoomfactor(t_object *pv, double z);
KIVO_EXPORT t_object *patcherview_get_nextview(t_object *pv);
KIVO_EXPORT t_object *patcherview_get_patcher(t_object *pv);
KIVO_EXPORT t_object *patcherview_get_topview(t_object *pv);

/* ---- box text fields */
KIVO_EXPORT t_object *textfield_get_owner(t_object *tf);
KIVO_EXPORT t_kivo_err textfield_get_textcolor(t_object *tf, t_jrgba *prgba);
KIVO_EXPORT t_kivo_err textfield_set_textcolor(t_object *tf, t_jrgba *prgba);
KIVO_EXPORT t_kivo_err textfield_get_bgcolor(t_object *tf, t_jrgba *prgba);
KIVO_EXPORT t_kivo_err textfield_set_bgcolor(t_object *tf, t_jrgba *prgba);
/* Any output may be null. */
KIVO_EXPORT t_kivo_err textfield_get_textmargins(t_object *tf, double *left, double *top, double *right,
                                                 double *bottom);
KIVO_EXPORT t_kivo_err textfield_set_textmargins(t_object *tf, double left, double top, double right,
                                                 double bottom);
KIVO_EXPORT char textfield_get_editonclick(t_object *tf);
KIVO_EXPORT t_kivo_err textfield_set_editonclick(t_object *tf, char c);
KIVO_EXPORT char textfield_get_selectallonedit(t_object *tf);
KIVO_EXPORT t_kivo_err textfield_set_selectallonedit(t_object *tf, char c);
KIVO_EXPORT char textfield_get_noactivate(t_object *tf);
KIVO_EXPORT t_kivo_err textfield_set_noactivate(t_object *tf, char c);
KIVO_EXPORT char textfield_get_readonly(t_object *tf);
KIVO_EXPORT t_kivo_err textfield_set_readonly(t_object *tf, char c);
KIVO_EXPORT char textfield_get_wordwrap(t_object *tf);
KIVO_EXPORT t_kivo_err textfield_set_wordwrap(t_object *tf, char c);
KIVO_EXPORT char textfield_get_useellipsis(t_object *tf);
KIVO_EXPORT t_kivo_err textfield_set_useellipsis(t_object *tf, char c);
KIVO_EXPORT char textfield_get_autoscroll(t_object *tf);
KIVO_EXPORT t_kivo_err textfield_set_autoscroll(t_object *tf, char c);
KIVO_EXPORT char textfield_get_wantsreturn(t_object *tf);
KIVO_EXPORT t_kivo_err textfield_set_wantsreturn(t_object *tf, char c);
KIVO_EXPORT char textfield_get_wantstab(t_object *tf);
KIVO_EXPORT t_kivo_err textfield_set_wantstab(t_object *tf, char c);
KIVO_EXPORT char textfield_get_underline(t_object *tf);
KIVO_EXPORT t_kivo_err textfield_set_underline(t_object *tf, char c);
KIVO_EXPORT char textfield_get_justification(t_object *tf);
KIVO_EXPORT t_kivo_err textfield_set_justification(t_object *tf, char c);
KIVO_EXPORT char textfield_get_autofixwidth(t_object *tf);
KIVO_EXPORT t_kivo_err textfield_set_autofixwidth(t_object *tf, char c);
KIVO_EXPORT t_kivo_err textfield_set_emptytext(t_object *tf, t_symbol *s);
KIVO_EXPORT t_symbol *textfield_get_emptytext(t_object *tf);

/* ---- colours, rectangles and points in atoms and dictionaries */
/* Four float atoms into atoms[0 ... 3]. */
KIVO_EXPORT t_kivo_err jrgbatoatoms(t_jrgba *c, t_atom *atoms);
/* Red, green, blue from the first three atoms (0 for missing ones), alpha
   from the fourth (1 when missing). */
KIVO_EXPORT t_kivo_err atomstojrgba(long argc, t_atom *argv, t_jrgba *c);
KIVO_EXPORT t_kivo_err dictionary_appendjrgba(struct dictionary *d, t_symbol *key, t_jrgba *c);
/* The default when the entry is missing. */
KIVO_EXPORT t_kivo_err dictionary_getdefjrgba(struct dictionary *d, t_symbol *key, t_jrgba *c,
                                              t_jrgba *defc);
/* -1 when the entry holds fewer than four (two) atoms. */
KIVO_EXPORT t_kivo_err dictionary_gettrect(struct dictionary *d, t_symbol *key, t_rect *r);
KIVO_EXPORT t_kivo_err dictionary_appendtrect(struct dictionary *d, t_symbol *key, t_rect *r);
KIVO_EXPORT t_kivo_err dictionary_gettpt(struct dictionary *d, t_symbol *key, t_pt *pt);
KIVO_EXPORT t_kivo_err dictionary_appendtpt(struct dictionary *d, t_symbol *key, t_pt *pt);

KIVO_END_C

#endif

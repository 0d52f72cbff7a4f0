/*
 * Box geometry, inlets and outlets, hit testing, connection rules, redraw
 * requests, and box text and fonts: the calls of box_geometry.cpp,
 * box_io.cpp, box_hittest.cpp and box_text.cpp that jbox_internal.h does
 * not already declare.
 *
 * Rectangle names: the symbols "patching_rect" and "presentation_rect";
 * any other name selects nothing. Inlet numbers are 0-based; with
 * drawfirstin set, inlet 0 is `b_firstin` itself and has no inlet record.
 *
 * Inlet and outlet x positions: the integer part of each record's placed x,
 * written by jbox_updateinletoutletxpos and read when one outlet's
 * connections are put in delivery order. They are kept beside the records
 * (the kernel's records have no room for them) and dropped by
 * jbox_forgetinletoutletxpos, which freeing a box calls.
 *
 * Used by: boxes/, patcher/, the cord and object-box layers, tests. Main
 * thread only, except jbox_redraw and jbox_redrawcontents, which only store
 * a level and set the patcher's redraw queue element.
 */
#ifndef KIVO_BOXES_BOXGEOM_INTERNAL_H
#define KIVO_BOXES_BOXGEOM_INTERNAL_H

#include "kivo/jbox.h"
#include "kivo/jgraphics.h"

KIVO_BEGIN_C

/* What a box hands its component for painting, copied from the patcher's
   metrics. */
typedef struct _jboxdrawparams {
    float d_inletheight;
    float d_inletoffset;
    float d_outletheight;
    float d_outletoffset;
    float d_cornersize;
    float d_borderthickness; /* 0 when the box has no outline */
    t_jrgba d_bordercolor;
    t_jrgba d_boxfillcolor;
} t_jboxdrawparams;

/* Results of jbox_hittest. */
enum {
    JBOX_HITTEST_NOTHING = 0,
    JBOX_HITTEST_BOX = 1,
    JBOX_HITTEST_INLET = 2,
    JBOX_HITTEST_OUTLET = 3
};
/* The modifier bit that inverts the cord priority (the option key). */
enum { JBOX_HITTEST_INVERT_PRIORITY = 8 };

/* ---- rectangles (box_geometry.cpp) */
/* The size rule on a copy of the wanted rectangle: min and max sizes, the
   class's "oksize", the text field's fitting. */
KIVO_INTERNAL void jbox_checksize(t_jbox *b, t_symbol *which, t_rect *r);
/* Resizes a text box and scales its font with the height. */
KIVO_INTERNAL void jbox_setrect_scalefontsize(t_jbox *b, t_symbol *which, t_rect *r);
KIVO_INTERNAL long jbox_intersectsrect(t_jbox *b, t_symbol *which, t_rect *r);
KIVO_INTERNAL long jbox_intersectspt(t_jbox *b, t_symbol *which, t_pt pt);
/* The rectangle name for an optional view or name argument; *view gets the
   view (null when none was given). */
KIVO_INTERNAL t_symbol *jbox_whichviewrect(long argc, t_atom *argv, t_object **view);
KIVO_INTERNAL long jbox_hiddenforview(t_jbox *b, t_object *view);
KIVO_INTERNAL void jbox_getdrawparams(t_jbox *b, t_object *view, t_jboxdrawparams *params);
/* Level 2 for every other box of the same class in the patcher. */
KIVO_INTERNAL void jbox_redrawpeers(t_jbox *b);
KIVO_INTERNAL long jpatcher_hasvisibleview(t_object *patcher);

/* ---- inlets and outlets (box_io.cpp) */
KIVO_INTERNAL void jbox_setinlet(t_jbox *b, t_object *obj);
/* 0 and the placed rectangle of inlet (isoutlet 0) or outlet n relative to
   the box's top-left corner; -1 when n is out of range or there is no
   patcher. The view is not used. */
KIVO_INTERNAL long jbox_ioplacement(t_jbox *b, t_object *view, long n, t_rect *out,
                                    long isoutlet);
KIVO_INTERNAL void jbox_updateinletoutletxpos(t_jbox *b);
KIVO_INTERNAL void jbox_forgetinletoutletxpos(t_jbox *b);
/* The stored x position of an inlet or outlet record; 0 when none. */
KIVO_INTERNAL long jbox_ioxpos(void *record);
/* The width the inlets and outlets need; 0 without a patcher. */
KIVO_INTERNAL double jbox_iowidth(t_jbox *b);
/* Numbers of -1 mean any. */
KIVO_INTERNAL long jbox_outletcanconnecttoinlet(t_jbox *receiver, t_jbox *sender, long outletnum,
                                                long inletnum);
KIVO_INTERNAL long jbox_outletcanconnect(t_jbox *receiver, t_jbox *sender, long outletnum);
KIVO_INTERNAL long jbox_inletcanconnect(t_jbox *sender, t_jbox *receiver, long inletnum);
/* Puts the outlet's connections in delivery order: right to left by the
   receiving inlets' places, in one column bottom to top. */
KIVO_INTERNAL void jbox_sort_outlet(t_jbox *sender, void *outlet);
/* 1-based position in the box's inlet (outlet) list; 0 when absent. */
KIVO_INTERNAL long jbox_getinletindex(t_jbox *b, void *inlet);
KIVO_INTERNAL long jbox_getoutletindex(t_jbox *b, void *outlet);
KIVO_INTERNAL void jbox_moveinlet(t_jbox *b, void *inlet);
KIVO_INTERNAL void jbox_moveoutlet(t_jbox *b, void *outlet);
KIVO_INTERNAL void jbox_inlet(t_jbox *b, void *inlet);
KIVO_INTERNAL void jbox_outlet(t_jbox *b, void *outlet);
KIVO_INTERNAL long jbox_get_bogus(t_jbox *b);
KIVO_INTERNAL long jbox_io_isconnected(t_jbox *b, long n, long isoutlet);

/* ---- hit testing (box_hittest.cpp) */
/* The result (JBOX_HITTEST_*), also stored in *result; *index gets the
   inlet or outlet number. x and y are in patcher units. */
KIVO_INTERNAL long jbox_hittest(t_jbox *b, t_object *view, long modifiers, long *result,
                                long *index, double x, double y);
/* Whether the view has the box selected (its "selectedboxes"). */
KIVO_INTERNAL long jbox_is_selected_in_view(t_object *box, t_object *view);

/* ---- text and fonts (box_text.cpp) */
/* Width fitting ("bfixwidth") with an optional view or rectangle name. */
KIVO_INTERNAL void jbox_bfixwidth(t_jbox *b, t_symbol *s, long argc, t_atom *argv);
KIVO_INTERNAL void jbox_set_to_defaultsize(t_jbox *b, t_symbol *s, long argc, t_atom *argv);
KIVO_INTERNAL void jbox_reline(t_jbox *b, t_symbol *which, long wanted);
KIVO_INTERNAL void jbox_settext(t_jbox *b, const char *text);
KIVO_INTERNAL void jbox_bfont(t_jbox *b, double size, long fontnumber);
KIVO_INTERNAL void jbox_fontchanged(t_jbox *b, t_symbol *attrname);
KIVO_INTERNAL void jbox_measuretext(t_jbox *b, t_symbol *which, long *numlines, double *ratio);
KIVO_INTERNAL void jbox_fontfixwidth(t_jbox *b, t_symbol *which, long numlines, double ratio);
KIVO_INTERNAL void jbox_premeasuretext(t_jbox *b);
/* Frees a pre-measurement still kept in b_pending (freeing a box calls it);
   anything else there is left alone. */
KIVO_INTERNAL void jbox_freepending(t_jbox *b);
/* The application's fix-width ratio ("fixwidthratio"), 1.0 by default. */
KIVO_INTERNAL double jbox_getfixwidthratio(void);
KIVO_INTERNAL void jbox_setfixwidthratio(double ratio);

KIVO_END_C

#endif

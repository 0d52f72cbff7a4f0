/*
 * The box layer's working parts that the library (patcher, object boxes,
 * cords, views) and the tests call: the operations behind the common box
 * attributes, the box dictionary writer and the steps of creation.
 *
 * Geometry, inlets and outlets (box_geometry.cpp, box_io.cpp,
 * box_hittest.cpp) and text and fonts (box_text.cpp) are declared here too,
 * because the attribute setters and the dictionary writer go through them.
 *
 * Module state: the live-box count and byte total (box_life.cpp), main
 * thread only.
 *
 * Used by: boxes/, patcher/, tests. Includes only kivo/ headers.
 */
#ifndef KIVO_BOXES_JBOX_INTERNAL_H
#define KIVO_BOXES_JBOX_INTERNAL_H

#include "kivo/jbox.h"

KIVO_BEGIN_C

/* The box record of an object of a class set up by jbox_initclass; null
   for anything else (and for null). */
KIVO_INTERNAL t_jbox *jbox_cast(t_object *x);
/* True when the class was set up by jbox_initclass. */
KIVO_INTERNAL long class_is_jbox(t_class *c);
/* firstin, or the box itself when it is null. */
KIVO_INTERNAL t_object *jbox_getobject(t_jbox *b);

/* ---- operations behind the attribute setters (box_attrs.cpp) */
/* The common attributes, in their order, as the flag word asks. */
KIVO_INTERNAL void jbox_addcommonattrs(t_class *c, long flags);
KIVO_INTERNAL void jbox_setname(t_jbox *b, t_symbol *name);
KIVO_INTERNAL void jbox_setbackground(t_jbox *b, long on);
KIVO_INTERNAL void jbox_setignoreclick(t_jbox *b, long on);
KIVO_INTERNAL void jbox_setpresentation(t_jbox *b, long on);
KIVO_INTERNAL t_symbol *jbox_getdescription(t_jbox *b);
/* The box's place in the patcher's box list (back to front). */
/* The setter behind a box class's own colour fields ("bgcolor",
   "tricolor"): four components into the field, then a redraw. The field
   keeps its value when fewer than four are given. */
KIVO_INTERNAL t_kivo_err jbox_colorfield_set(t_jbox *b, t_jrgba *field, long ac, t_atom *av);
KIVO_INTERNAL void jbox_sendtoback(t_jbox *b);
KIVO_INTERNAL void jbox_bringtofront(t_jbox *b);
KIVO_INTERNAL void jbox_orderbefore(t_jbox *b, t_jbox *other);
/* The 16-entry box palette; an index outside 0..15 gives entry 0. */
KIVO_INTERNAL void jbox_palettecolor(long index, t_jrgba *out);

/* ---- life cycle steps (box_life.cpp) */
KIVO_INTERNAL void jbox_markattributefrozen(t_jbox *b, t_symbol *name);
KIVO_INTERNAL void jbox_getinstanceattributes(t_jbox *b, t_dictionary *d);
KIVO_INTERNAL void jbox_markfrozenattributes(t_jbox *b, t_dictionary *d);
KIVO_INTERNAL void jbox_cacheattrattributes(t_jbox *b, t_dictionary *d);
KIVO_INTERNAL void jbox_process_frozen_pendingattrs(t_jbox *b);
KIVO_INTERNAL void jbox_getattrattributes(t_jbox *b);
/* The live-box count and, with debug values on, their byte total. */
KIVO_INTERNAL long jbox_live_count(void);
KIVO_INTERNAL long jbox_live_bytes(void);

/* ---- the box dictionary (box_dict.cpp) */
KIVO_INTERNAL void jbox_appendtodictionary(t_jbox *b, t_dictionary *d);
KIVO_INTERNAL void jbox_appendattributes(t_jbox *b, t_dictionary *d);
/* Between begin and end (nestable) box dictionaries are written with the
   facts of each attribute object read once: for writing many boxes while
   no attribute definition changes. Main thread only. */
KIVO_INTERNAL void jbox_dictcache_begin(void);
KIVO_INTERNAL void jbox_dictcache_end(void);
/* The attribute object's "save", "frozen" and "attr_attr_save" flags (read
   once per write between begin and end). */
KIVO_INTERNAL void jbox_attrflags(t_object *attr, long *save, long *frozen, long *attr_attr_save);
KIVO_INTERNAL void jbox_appendparameters(t_jbox *b, t_dictionary *d);
KIVO_INTERNAL void jbox_appendattrattributes(t_jbox *b, t_dictionary *d);
KIVO_INTERNAL void jbox_removedefaultattributes(t_jbox *b, t_dictionary *d);

/* ---- geometry, inlets and outlets (box_geometry.cpp, box_io.cpp) */
/* Copies the rectangle named "patching_rect" or "presentation_rect";
   nothing for another name. */
KIVO_INTERNAL void jbox_getrect(t_jbox *b, t_symbol *which, t_rect *out);
/* Size checks, store, inlet placement, then the box notification named
   after the rectangle; nothing when unchanged or for another name. */
KIVO_INTERNAL void jbox_setrect(t_jbox *b, t_symbol *which, double x, double y, double width,
                                double height);
/* The named rectangle with its first n (<= 4) components replaced. */
KIVO_INTERNAL void jbox_setrect_fromatoms(t_jbox *b, t_symbol *which, long n, t_atom *av);
KIVO_INTERNAL void jbox_io(t_jbox *b);
KIVO_INTERNAL long jbox_numinlets(t_jbox *b);
KIVO_INTERNAL long jbox_numoutlets(t_jbox *b);
/* Drops the inlet and outlet positions kept for a box that goes. */
KIVO_INTERNAL void jbox_forgetinletoutletxpos(t_jbox *b);
/* Frees a text pre-measurement left in b_pending. */
KIVO_INTERNAL void jbox_freepending(t_jbox *b);

/* ---- text and fonts (box_text.cpp) */
KIVO_INTERNAL void jbox_updatefont(t_jbox *b, t_symbol *attrname, t_symbol *fontname, long fontface,
                                   long justification, double fontsize);
KIVO_INTERNAL void jbox_setfontsize(t_jbox *b, double size);
KIVO_INTERNAL void jbox_settextjustification(t_jbox *b, long index);
/* Adds "bfixwidth", "reline", "settext", "bfont", "fontchanged",
   "measuretext", "fontfixwidth" as the flag word asks (bits 11 and 19). */
KIVO_INTERNAL void jbox_text_addmethods(t_class *c, long flags);

KIVO_END_C

#endif

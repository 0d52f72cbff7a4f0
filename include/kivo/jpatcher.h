/*
 * Patchers seen from outside: the geometry and colour records and the
 * accessors that read and write a patcher's attributes by name, so that
 * every write runs the attribute's setter and its notification.
 *
 * A patcher is an object of the "nobox" class "jpatcher"; its record is
 * private to the library.
 */
#ifndef KIVO_JPATCHER_H
#define KIVO_JPATCHER_H

#include "kivo/object.h"
#include "kivo/jtypes.h"
#include "kivo/jaccess.h"
#include "kivo/jpatcher_geometry.h"

KIVO_BEGIN_C


/* ---- colours and rectangles as attributes (values pass through single
   precision) */
KIVO_EXPORT t_kivo_err object_attr_getcolor(t_object *b, t_symbol *attrname, t_jrgba *prgba);
KIVO_EXPORT t_kivo_err object_attr_setcolor(t_object *b, t_symbol *attrname, t_jrgba *prgba);
/* The legacy box palette, 1 ... 16; any other index gives colour 1 (white). */
KIVO_EXPORT void set_jrgba_from_boxcolor_index(long index, t_jrgba *rgba);
KIVO_EXPORT t_kivo_err jrgba_attr_set(t_jrgba *color, long argc, t_atom *argv);
KIVO_EXPORT t_kivo_err object_attr_get_rect(t_object *o, t_symbol *name, t_rect *rect);
KIVO_EXPORT t_kivo_err object_attr_set_rect(t_object *o, t_symbol *name, t_rect *rect);

/* ---- patcher accessors */
KIVO_EXPORT long jpatcher_is_patcher(t_object *p);
KIVO_EXPORT t_object *jpatcher_get_box(t_object *p);
KIVO_EXPORT t_object *jpatcher_get_box_loadsafe(t_object *p);
KIVO_EXPORT char jpatcher_get_noedit(t_object *p);
KIVO_EXPORT t_object *jpatcher_get_collective(t_object *p);
KIVO_EXPORT long jpatcher_get_count(t_object *p);
KIVO_EXPORT char jpatcher_get_locked(t_object *p);
KIVO_EXPORT t_kivo_err jpatcher_set_locked(t_object *p, char c);
KIVO_EXPORT char jpatcher_get_presentation(t_object *p);
KIVO_EXPORT t_kivo_err jpatcher_set_presentation(t_object *p, char c);
KIVO_EXPORT t_object *jpatcher_get_firstobject(t_object *p);
KIVO_EXPORT t_object *jpatcher_get_lastobject(t_object *p);
KIVO_EXPORT t_object *jpatcher_get_firstline(t_object *p);
KIVO_EXPORT t_object *jpatcher_get_firstview(t_object *p);
KIVO_EXPORT t_symbol *jpatcher_get_title(t_object *p);
KIVO_EXPORT t_kivo_err jpatcher_set_title(t_object *p, t_symbol *ps);
KIVO_EXPORT t_symbol *jpatcher_get_name(t_object *p);
KIVO_EXPORT t_symbol *jpatcher_get_filepath(t_object *p);
KIVO_EXPORT t_symbol *jpatcher_get_filename(t_object *p);
KIVO_EXPORT char jpatcher_get_dirty(t_object *p);
KIVO_EXPORT t_kivo_err jpatcher_set_dirty(t_object *p, char c);
KIVO_EXPORT char jpatcher_get_bglocked(t_object *p);
KIVO_EXPORT t_kivo_err jpatcher_get_bgcolor(t_object *p, t_jrgba *prgba);
KIVO_EXPORT t_kivo_err jpatcher_get_editing_bgcolor(t_object *p, t_jrgba *prgba);
KIVO_EXPORT t_kivo_err jpatcher_set_bgcolor(t_object *p, t_jrgba *prgba);
KIVO_EXPORT t_kivo_err jpatcher_get_gridsize(t_object *p, double *gridsizex, double *gridsizey);
KIVO_EXPORT t_kivo_err jpatcher_set_gridsize(t_object *p, double gridsizex, double gridsizey);
KIVO_EXPORT t_object *jpatcher_get_controller(t_object *p);
KIVO_EXPORT t_object *jpatcher_get_parentpatcher(t_object *p);
KIVO_EXPORT t_object *jpatcher_get_toppatcher(t_object *p);
KIVO_EXPORT t_symbol *jpatcher_get_kivoclass(t_object *p);
KIVO_EXPORT t_symbol *jpatcher_get_parentclass(t_object *p);
KIVO_EXPORT t_kivo_err jpatcher_get_rect(t_object *p, t_rect *pr);
KIVO_EXPORT t_kivo_err jpatcher_set_rect(t_object *p, t_rect *pr);
KIVO_EXPORT t_kivo_err jpatcher_get_defrect(t_object *p, t_rect *pr);
KIVO_EXPORT t_symbol *jpatcher_get_default_fontname(t_object *p);
KIVO_EXPORT float jpatcher_get_default_fontsize(t_object *p);
KIVO_EXPORT long jpatcher_get_default_fontface(t_object *p);
KIVO_EXPORT char jpatcher_get_imprint(t_object *p);
KIVO_EXPORT long jpatcher_get_fileversion(t_object *p);
KIVO_EXPORT long jpatcher_get_currentfileversion(void);

/* ---- colour indexes, versions and fonts */
/* The global colour table, 0 ... 47; other indexes give black. */
KIVO_EXPORT void set_jrgba_from_palette_index(long index, t_jrgba *colour);
/* The legacy box colour table position 0 ... 15 of the colour, or -1. */
KIVO_EXPORT int get_boxcolor_index_from_jrgba(t_jrgba *colour);
KIVO_EXPORT long jpatcher_inc_kivosendcontext(void);
/* Null: the dictionary being read (bound to "#PD"); 1 when none is. */
KIVO_EXPORT long jpatcher_dictionary_modernui(struct dictionary *d);
KIVO_EXPORT long jpatcher_dictionary_version(void);
/* Quoted when it holds a space. */
KIVO_EXPORT const char *systemfontname(void);
KIVO_EXPORT t_symbol *systemfontsym(void);

KIVO_END_C

#endif

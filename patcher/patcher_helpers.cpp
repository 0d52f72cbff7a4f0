/*
 * The exported accessor family of patchers: every read and write goes
 * through the attribute of the same name, so that setters and their
 * "attr_modified" notifications run. Colours and rectangles travel as float
 * atoms, so written values pass through single precision.
 */
#include <cstring>

#include "kivo/attr.h"
#include "kivo/class.h"
#include "kivo/commonsyms.h"
#include "kivo/dispatch.h"
#include "kivo/obex.h"
#include "kivo/sysmem.h"
#include "patcher/jpatcher.h"

namespace {

t_symbol *sym(const char *s) { return gensym(s); }

// Reads an attribute of exactly `n` values into `out`; -1 otherwise,
// leaving `out` untouched.
t_kivo_err get_doubles(t_object *o, t_symbol *name, long n, double *out) {
    if (!o || !name || !out) return -1;
    long ac = 0;
    t_atom *av = nullptr;
    t_kivo_err err = object_attr_getvalueof(o, name, &ac, &av);
    if (err == 0 && ac == n && av) {
        for (long i = 0; i < n; i++) out[i] = atom_getfloat(av + i);
    } else if (err == 0) {
        err = -1;
    }
    if (av) sysmem_freeptr(av);
    return err;
}

t_kivo_err set_doubles(t_object *o, t_symbol *name, long n, const double *in) {
    if (!o || !name || !in) return -1;
    t_atom av[4];
    for (long i = 0; i < n; i++) atom_setfloat(av + i, static_cast<float>(in[i]));
    return object_attr_setvalueof(o, name, n, av);
}

const unsigned char k_boxpalette[16][3] = {
    {255, 255, 255}, {204, 156, 97}, {255, 189, 156}, {204, 140, 140},
    {255, 156, 156}, {255, 227, 23},  {40, 204, 140},  {74, 156, 97},
    {97, 156, 156},  {156, 179, 255}, {194, 181, 207}, {153, 153, 255},
    {102, 102, 204}, {153, 102, 153}, {255, 92, 174},  {255, 138, 215}};

} // namespace

extern "C" {

t_kivo_err object_attr_getcolor(t_object *b, t_symbol *attrname, t_jrgba *prgba) {
    if (!prgba) return -1;
    double v[4];
    t_kivo_err err = get_doubles(b, attrname, 4, v);
    if (err) return err;
    prgba->red = v[0];
    prgba->green = v[1];
    prgba->blue = v[2];
    prgba->alpha = v[3];
    return 0;
}

t_kivo_err object_attr_setcolor(t_object *b, t_symbol *attrname, t_jrgba *prgba) {
    if (!b || !prgba) return -1;
    double v[4] = {prgba->red, prgba->green, prgba->blue, prgba->alpha};
    return set_doubles(b, attrname, 4, v);
}

void set_jrgba_from_boxcolor_index(long index, t_jrgba *rgba) {
    if (!rgba) return;
    if (index < 1 || index > 16) index = 1;
    const unsigned char *c = k_boxpalette[index - 1];
    rgba->red = c[0] / 255.0;
    rgba->green = c[1] / 255.0;
    rgba->blue = c[2] / 255.0;
    rgba->alpha = 1.0;
}

t_kivo_err jrgba_attr_set(t_jrgba *color, long argc, t_atom *argv) {
    if (!color || argc < 4 || !argv) return -1;
    color->red = atom_getfloat(argv);
    color->green = atom_getfloat(argv + 1);
    color->blue = atom_getfloat(argv + 2);
    color->alpha = atom_getfloat(argv + 3);
    return 0;
}

t_kivo_err object_attr_get_rect(t_object *o, t_symbol *name, t_rect *rect) {
    if (!rect) return -1;
    double v[4];
    t_kivo_err err = get_doubles(o, name, 4, v);
    if (err) return err;
    rect->x = v[0];
    rect->y = v[1];
    rect->width = v[2];
    rect->height = v[3];
    return 0;
}

t_kivo_err object_attr_set_rect(t_object *o, t_symbol *name, t_rect *rect) {
    if (!o || !rect) return -1;
    double v[4] = {rect->x, rect->y, rect->width, rect->height};
    return set_doubles(o, name, 4, v);
}

long jpatcher_is_patcher(t_object *p) {
    return p && object_classname_compare(p, _sym(jpatcher));
}

t_object *jpatcher_get_box(t_object *p) { return object_attr_getobj(p, sym("box")); }

t_object *jpatcher_get_box_loadsafe(t_object *p) {
    t_object *b = jpatcher_get_box(p);
    if (!b && p) object_obex_lookup(p, sym("###box###"), &b);
    return b;
}

char jpatcher_get_noedit(t_object *p) { return object_attr_getchar(p, sym("noedit")); }
t_object *jpatcher_get_collective(t_object *p) { return object_attr_getobj(p, sym("collective")); }
long jpatcher_get_count(t_object *p) { return (long)object_attr_getlong(p, sym("count")); }
char jpatcher_get_locked(t_object *p) { return object_attr_getchar(p, sym("locked")); }
t_kivo_err jpatcher_set_locked(t_object *p, char c) { return object_attr_setchar(p, sym("locked"), c); }
char jpatcher_get_presentation(t_object *p) { return object_attr_getchar(p, sym("presentation")); }
t_kivo_err jpatcher_set_presentation(t_object *p, char c) {
    return object_attr_setchar(p, sym("presentation"), c);
}
t_object *jpatcher_get_firstobject(t_object *p) { return object_attr_getobj(p, sym("firstobject")); }
t_object *jpatcher_get_lastobject(t_object *p) { return object_attr_getobj(p, sym("lastobject")); }
t_object *jpatcher_get_firstline(t_object *p) { return object_attr_getobj(p, sym("firstline")); }
t_object *jpatcher_get_firstview(t_object *p) { return object_attr_getobj(p, sym("firstview")); }
t_symbol *jpatcher_get_title(t_object *p) { return object_attr_getsym(p, sym("title")); }
t_kivo_err jpatcher_set_title(t_object *p, t_symbol *ps) { return object_attr_setsym(p, sym("title"), ps); }
t_symbol *jpatcher_get_name(t_object *p) { return object_attr_getsym(p, sym("name")); }
t_symbol *jpatcher_get_filepath(t_object *p) { return object_attr_getsym(p, sym("filepath")); }
t_symbol *jpatcher_get_filename(t_object *p) { return object_attr_getsym(p, sym("filename")); }
char jpatcher_get_dirty(t_object *p) { return object_attr_getchar(p, sym("dirty")); }
t_kivo_err jpatcher_set_dirty(t_object *p, char c) { return object_attr_setchar(p, sym("dirty"), c); }
char jpatcher_get_bglocked(t_object *p) { return object_attr_getchar(p, sym("bglocked")); }
t_kivo_err jpatcher_get_bgcolor(t_object *p, t_jrgba *c) {
    return object_attr_getcolor(p, sym("locked_bgcolor"), c);
}
t_kivo_err jpatcher_get_editing_bgcolor(t_object *p, t_jrgba *c) {
    return object_attr_getcolor(p, sym("editing_bgcolor"), c);
}
t_kivo_err jpatcher_set_bgcolor(t_object *p, t_jrgba *c) {
    return object_attr_setcolor(p, sym("locked_bgcolor"), c);
}

t_kivo_err jpatcher_get_gridsize(t_object *p, double *gx, double *gy) {
    double v[2];
    t_kivo_err err = get_doubles(p, sym("gridsize"), 2, v);
    if (err) return err;
    if (gx) *gx = v[0];
    if (gy) *gy = v[1];
    return 0;
}

t_kivo_err jpatcher_set_gridsize(t_object *p, double gx, double gy) {
    double v[2] = {gx, gy};
    return set_doubles(p, sym("gridsize"), 2, v);
}

t_object *jpatcher_get_controller(t_object *p) { return object_attr_getobj(p, sym("controller")); }
t_object *jpatcher_get_parentpatcher(t_object *p) { return jpatcher_getparentpatcher(p); }
t_symbol *jpatcher_get_kivoclass(t_object *p) { return object_attr_getsym(p, sym("kivoclass")); }
t_symbol *jpatcher_get_parentclass(t_object *p) { return object_attr_getsym(p, sym("parentclass")); }
t_kivo_err jpatcher_get_rect(t_object *p, t_rect *r) { return object_attr_get_rect(p, sym("rect"), r); }
t_kivo_err jpatcher_set_rect(t_object *p, t_rect *r) { return object_attr_set_rect(p, sym("rect"), r); }
t_kivo_err jpatcher_get_defrect(t_object *p, t_rect *r) {
    return object_attr_get_rect(p, sym("defrect"), r);
}
t_symbol *jpatcher_get_default_fontname(t_object *p) { return object_attr_getsym(p, sym("fontname")); }
float jpatcher_get_default_fontsize(t_object *p) {
    return static_cast<float>(object_attr_getfloat(p, sym("fontsize")));
}
long jpatcher_get_default_fontface(t_object *p) { return (long)object_attr_getlong(p, sym("fontface")); }
char jpatcher_get_imprint(t_object *p) { return object_attr_getchar(p, sym("imprint")); }
long jpatcher_get_fileversion(t_object *p) {
    return static_cast<signed char>(object_attr_getchar(p, sym("fileversion")));
}
long jpatcher_get_currentfileversion(void) { return 1; }

} // extern "C"

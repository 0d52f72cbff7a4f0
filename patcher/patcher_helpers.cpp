/*
 * The exported accessor family of patchers: every read and write goes
 * through the attribute of the same name, so that setters and their
 * "attr_modified" notifications run. Colours and rectangles travel as float
 * atoms, so written values pass through single precision.
 */
#include <cstring>

#include "kernel/interned.h"
#include "kivo/attr.h"
#include "kivo/class.h"
#include "kivo/commonsyms.h"
#include "kivo/dispatch.h"
#include "kivo/obex.h"
#include "kivo/dictionary.h"
#include "kivo/legacy.h"
#include "kivo/strutil.h"
#include "kivo/sysmem.h"
#include "patcher/jpatcher.h"

namespace {



const unsigned char k_boxpalette[16][3] = {
    {255, 255, 255}, {204, 156, 97}, {255, 189, 156}, {204, 140, 140},
    {255, 156, 156}, {255, 227, 23},  {40, 204, 140},  {74, 156, 97},
    {97, 156, 156},  {156, 179, 255}, {194, 181, 207}, {153, 153, 255},
    {102, 102, 204}, {153, 102, 153}, {255, 92, 174},  {255, 138, 215}};

// The global colour table of old patchers, 16-bit components.
const unsigned short k_palette48[48][3] = {
    {65535, 65535, 65535}, {0, 0, 0}, {52736, 39936, 25344}, {65535, 26214, 13107},
    {10496, 52224, 36096}, {0, 48059, 0}, {12544, 39936, 25344}, {13107, 26214, 26214},
    {39321, 65535, 65535}, {0, 39321, 65535}, {0, 0, 56797}, {13107, 0, 39321},
    {49920, 46592, 53504}, {39321, 39321, 65535}, {26214, 26214, 52428}, {13107, 13107, 26214},
    {65535, 23808, 55040}, {39321, 0, 26214}, {39321, 26214, 39321}, {65535, 65535, 52428},
    {61166, 61166, 61166}, {56797, 56797, 56797}, {52428, 52428, 52428}, {48059, 48059, 48059},
    {43690, 43690, 43690}, {34952, 34952, 34952}, {30583, 30583, 30583}, {21845, 21845, 21845},
    {17476, 17476, 17476}, {8738, 8738, 8738}, {4369, 4369, 4369}, {65535, 48640, 40192},
    {65535, 58624, 6144}, {56797, 0, 0}, {65535, 39321, 39321}, {39936, 46336, 65535},
    {65535, 35584, 55040}, {25344, 39936, 39936}, {52736, 36352, 36352}, {28672, 7273, 19819},
    {32768, 16238, 14671}, {30295, 36317, 27769}, {21327, 22784, 10936}, {21894, 34387, 36864},
    {53248, 36642, 9904}, {36352, 28095, 52701}, {48605, 41852, 45257}, {24243, 52701, 52701}};

// The legacy box colour table (the user may change it; these are its
// initial values).
const unsigned short k_boxcolors16[16][3] = {
    {43690, 43690, 43690}, {52428, 39976, 24903}, {65535, 48495, 39976}, {52428, 36044, 36044},
    {65535, 39976, 39976}, {65535, 58326, 5898},  {10485, 52428, 36044}, {19005, 39976, 24903},
    {24903, 39976, 39976}, {39976, 45874, 65535}, {49806, 46529, 53083}, {39321, 39321, 65535},
    {26214, 26214, 52428}, {39321, 26214, 39321}, {65535, 23592, 44563}, {65535, 35388, 55049}};

long g_sendcontext = 0;

const char *k_default_fontname = "Arial";
const double k_default_fontsize = 12.0;

// The dictionary that says which version wrote `d`: its "appversion", or
// itself when it has none.
t_dictionary *version_dictionary(t_dictionary *d) {
    t_object *av = nullptr;
    if (dictionary_getdictionary(d, gensym("appversion"), &av) == 0 && av)
        return reinterpret_cast<t_dictionary *>(av);
    return d;
}

t_dictionary *bound_patcher_dictionary() {
    t_object *o = gensym("#PD")->thing;
    if (o && object_classname_compare(o, _sym(dictionary))) return reinterpret_cast<t_dictionary *>(o);
    return nullptr;
}

} // namespace

extern "C" {

// Reads an attribute of exactly `n` values into `out`; -1 otherwise,
// leaving `out` untouched.
t_kivo_err jpatcher_attr_getdoubles(t_object *o, t_symbol *name, long n, double *out) {
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

t_kivo_err jpatcher_attr_setdoubles(t_object *o, t_symbol *name, long n, const double *in) {
    t_atom av[4];
    if (!o || !name || !in || n < 0 || n > 4) return -1;
    for (long i = 0; i < n; i++) atom_setfloat(av + i, static_cast<float>(in[i]));
    return object_attr_setvalueof(o, name, n, av);
}


t_kivo_err object_attr_getcolor(t_object *b, t_symbol *attrname, t_jrgba *prgba) {
    if (!prgba) return -1;
    double v[4];
    t_kivo_err err = jpatcher_attr_getdoubles(b, attrname, 4, v);
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
    return jpatcher_attr_setdoubles(b, attrname, 4, v);
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
    t_kivo_err err = jpatcher_attr_getdoubles(o, name, 4, v);
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
    return jpatcher_attr_setdoubles(o, name, 4, v);
}

long jpatcher_is_patcher(t_object *p) {
    return p && object_classname_compare(p, _sym(jpatcher));
}

t_object *jpatcher_get_box(t_object *p) { return object_attr_getobj(p, KSYM("box")); }

t_object *jpatcher_get_box_loadsafe(t_object *p) {
    t_object *b = jpatcher_get_box(p);
    if (!b && p) object_obex_lookup(p, KSYM("###box###"), &b);
    return b;
}

char jpatcher_get_noedit(t_object *p) { return object_attr_getchar(p, KSYM("noedit")); }
t_object *jpatcher_get_collective(t_object *p) { return object_attr_getobj(p, KSYM("collective")); }
long jpatcher_get_count(t_object *p) { return (long)object_attr_getlong(p, KSYM("count")); }
char jpatcher_get_locked(t_object *p) { return object_attr_getchar(p, KSYM("locked")); }
t_kivo_err jpatcher_set_locked(t_object *p, char c) { return object_attr_setchar(p, KSYM("locked"), c); }
char jpatcher_get_presentation(t_object *p) { return object_attr_getchar(p, KSYM("presentation")); }
t_kivo_err jpatcher_set_presentation(t_object *p, char c) {
    return object_attr_setchar(p, KSYM("presentation"), c);
}
t_object *jpatcher_get_firstobject(t_object *p) { return object_attr_getobj(p, KSYM("firstobject")); }
t_object *jpatcher_get_lastobject(t_object *p) { return object_attr_getobj(p, KSYM("lastobject")); }
t_object *jpatcher_get_firstline(t_object *p) { return object_attr_getobj(p, KSYM("firstline")); }
t_object *jpatcher_get_firstview(t_object *p) { return object_attr_getobj(p, KSYM("firstview")); }
t_symbol *jpatcher_get_title(t_object *p) { return object_attr_getsym(p, KSYM("title")); }
t_kivo_err jpatcher_set_title(t_object *p, t_symbol *ps) { return object_attr_setsym(p, KSYM("title"), ps); }
t_symbol *jpatcher_get_name(t_object *p) { return object_attr_getsym(p, KSYM("name")); }
t_symbol *jpatcher_get_filepath(t_object *p) { return object_attr_getsym(p, KSYM("filepath")); }
t_symbol *jpatcher_get_filename(t_object *p) { return object_attr_getsym(p, KSYM("filename")); }
char jpatcher_get_dirty(t_object *p) { return object_attr_getchar(p, KSYM("dirty")); }
t_kivo_err jpatcher_set_dirty(t_object *p, char c) { return object_attr_setchar(p, KSYM("dirty"), c); }
char jpatcher_get_bglocked(t_object *p) { return object_attr_getchar(p, KSYM("bglocked")); }
t_kivo_err jpatcher_get_bgcolor(t_object *p, t_jrgba *c) {
    return object_attr_getcolor(p, KSYM("locked_bgcolor"), c);
}
t_kivo_err jpatcher_get_editing_bgcolor(t_object *p, t_jrgba *c) {
    return object_attr_getcolor(p, KSYM("editing_bgcolor"), c);
}
t_kivo_err jpatcher_set_bgcolor(t_object *p, t_jrgba *c) {
    return object_attr_setcolor(p, KSYM("locked_bgcolor"), c);
}

t_kivo_err jpatcher_get_gridsize(t_object *p, double *gx, double *gy) {
    double v[2];
    t_kivo_err err = jpatcher_attr_getdoubles(p, KSYM("gridsize"), 2, v);
    if (err) return err;
    if (gx) *gx = v[0];
    if (gy) *gy = v[1];
    return 0;
}

t_kivo_err jpatcher_set_gridsize(t_object *p, double gx, double gy) {
    double v[2] = {gx, gy};
    return jpatcher_attr_setdoubles(p, KSYM("gridsize"), 2, v);
}

t_object *jpatcher_get_controller(t_object *p) { return object_attr_getobj(p, KSYM("controller")); }
t_object *jpatcher_get_parentpatcher(t_object *p) { return jpatcher_getparentpatcher(p); }
t_symbol *jpatcher_get_kivoclass(t_object *p) { return object_attr_getsym(p, KSYM("kivoclass")); }
t_symbol *jpatcher_get_parentclass(t_object *p) { return object_attr_getsym(p, KSYM("parentclass")); }
t_kivo_err jpatcher_get_rect(t_object *p, t_rect *r) { return object_attr_get_rect(p, KSYM("rect"), r); }
t_kivo_err jpatcher_set_rect(t_object *p, t_rect *r) { return object_attr_set_rect(p, KSYM("rect"), r); }
t_kivo_err jpatcher_get_defrect(t_object *p, t_rect *r) {
    return object_attr_get_rect(p, KSYM("defrect"), r);
}
t_symbol *jpatcher_get_default_fontname(t_object *p) { return object_attr_getsym(p, KSYM("fontname")); }
float jpatcher_get_default_fontsize(t_object *p) {
    return static_cast<float>(object_attr_getfloat(p, KSYM("fontsize")));
}
long jpatcher_get_default_fontface(t_object *p) { return (long)object_attr_getlong(p, KSYM("fontface")); }
char jpatcher_get_imprint(t_object *p) { return object_attr_getchar(p, KSYM("imprint")); }
long jpatcher_get_fileversion(t_object *p) {
    return static_cast<signed char>(object_attr_getchar(p, KSYM("fileversion")));
}
long jpatcher_get_currentfileversion(void) { return 1; }

void set_jrgba_from_palette_index(long index, t_jrgba *colour) {
    if (!colour) return;
    if (index < 0 || index > 47) index = 1;
    const unsigned short *c = k_palette48[index];
    colour->red = c[0] / 65535.0;
    colour->green = c[1] / 65535.0;
    colour->blue = c[2] / 65535.0;
    colour->alpha = 1.0;
}

int get_boxcolor_index_from_jrgba(t_jrgba *colour) {
    if (!colour) return -1;
    const long r = static_cast<long>(colour->red * 65535.0 + 0.5);
    const long g = static_cast<long>(colour->green * 65535.0 + 0.5);
    const long b = static_cast<long>(colour->blue * 65535.0 + 0.5);
    for (int i = 0; i < 16; i++) {
        const unsigned short *c = k_boxcolors16[i];
        if (c[0] == r && c[1] == g && c[2] == b) return i;
    }
    return -1;
}

long jpatcher_inc_kivosendcontext(void) { return ++g_sendcontext; }

long jpatcher_dictionary_modernui(t_dictionary *d) {
    if (!d) d = bound_patcher_dictionary();
    if (!d) return 1;
    t_atom_long v = 0;
    if (dictionary_getlong(version_dictionary(d), gensym("modernui"), &v) != 0) return 0;
    return (long)v;
}

long jpatcher_dictionary_version(void) {
    long major = (g_kivo_version >> 8) & 0xf;
    if (t_dictionary *d = bound_patcher_dictionary()) {
        t_atom_long v = 0;
        if (dictionary_getlong(version_dictionary(d), gensym("major"), &v) == 0) major = (long)v;
    }
    return major;
}

t_dictionary *jpatcher_fallback_version(void) {
    t_dictionary *d = dictionary_new();
    if (!d) return nullptr;
    dictionary_appendlong(d, gensym("major"), 5);
    dictionary_appendlong(d, gensym("minor"), 0);
    dictionary_appendlong(d, gensym("revision"), 0);
    dictionary_appendsym(d, gensym("architecture"), gensym("x86"));
    return d;
}

long jpatcher_is_box_namespace(t_jpatcher *patcher) {
    t_symbol *ns = patcher ? object_attr_getsym(&patcher->ob, gensym("classnamespace")) : nullptr;
    return !ns || ns == gensym("") || ns == _sym(box);
}

t_symbol *jpatcher_default_fontname(void) { return gensym(k_default_fontname); }
double jpatcher_default_fontsize(void) { return k_default_fontsize; }
t_symbol *systemfontsym(void) { return gensym(k_default_fontname); }

const char *systemfontname(void) {
    // Symbols live for the process, so the quoted text can be handed out.
    static t_symbol *quoted = [] {
        char buf[256 + 8];
        quotestring_copy(k_default_fontname, buf, 0);
        return gensym(buf);
    }();
    return quoted->name;
}

} // extern "C"

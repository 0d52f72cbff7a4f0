/*
 * Services the older exported interface still offers: the 16 box colours
 * with their preference file, a fixed 48-colour palette, named connections
 * between a server object and its clients, key and mouse state, a strictly
 * increasing tick counter, a class catalogue by category, and entry points
 * that only report that they are gone.
 *
 * Everything here is used from the main thread, except UniqueTickCount,
 * which any thread may call (strictly increasing only per thread).
 */
#ifndef KIVO_LEGACYUTIL_H
#define KIVO_LEGACYUTIL_H

#include "kivo/object.h"

KIVO_BEGIN_C

/* A colour: three 16-bit components, 0 ... 65535. */
typedef struct rgbcolor {
    uint16_t red;
    uint16_t green;
    uint16_t blue;
} t_rgbcolor;

/* ---- box colours and palette */

/* index 1 ... 15: stores the colour and, with save non-zero, writes the
   file. Other indices are ignored. */
KIVO_EXPORT void boxcolor_setcolor(short index, const t_rgbcolor *color, short save);
/* Writes all 16 entries to "kivoboxcolors.txt" in the preferences folder. */
KIVO_EXPORT void boxcolor_saveprefs(void);
/* Posts a bug line, then copies entry index (0 ... 15). */
KIVO_EXPORT void box_getcolor(void *box, short index, t_rgbcolor *color);
/* The first index whose entry equals the colour, else -1. */
KIVO_EXPORT short boxcolor_rgb2index(const t_rgbcolor *color);
/* Copies entry index (0 ... 47) of the fixed palette. */
KIVO_EXPORT void palette_getcolor(void *unused, short index, t_rgbcolor *color);

/* ---- named connections; the name is cut to 247 bytes and ".connect"
   appended */

/* Walks the clients' own chain: returns the client's successor and stores
   the address of the client's successor field in *slot. */
typedef void *(*t_connection_nextfn)(void *client, void ***slot);

KIVO_EXPORT void connection_server(t_object *server, const char *name);
/* The name's server (null while there is none), or (void *)-1 when the
   server is of another class than servername. */
KIVO_EXPORT void *connection_client(t_object *client, const char *name, t_symbol *servername,
                                    t_connection_nextfn nextfn);
/* Calls selector's method of every client with (client, server, arg) when
   server is the name's server. */
KIVO_EXPORT void connection_send(t_object *server, const char *name, t_symbol *selector,
                                 void *arg);
KIVO_EXPORT void connection_delete(t_object *x, const char *name);

/* ---- keyboard, mouse and time (0 without a display) */
KIVO_EXPORT short CmdPeriodDown(void);
KIVO_EXPORT short OptionKeyDown(void);
KIVO_EXPORT short ShiftKeyDown(void);
KIVO_EXPORT short CmdKeyDown(void);
KIVO_EXPORT short CtrlKeyDown(void);
KIVO_EXPORT short AnyKeyDown(void);
/* Command 256, Shift 512, Caps Lock 1024, Option 2048, Control 4096. */
KIVO_EXPORT short CurrentOptionKeysDown(void);
KIVO_EXPORT short IsKeyDown(short keycode);
KIVO_EXPORT short IsLeftMouseButtonDown(void);
/* where: x << 16 | y, both 16-bit signed, in global screen coordinates. */
KIVO_EXPORT void movecursor(long where);
/* Sixtieths of a second, forced to increase on every call. */
KIVO_EXPORT uint32_t UniqueTickCount(void);

/* ---- class catalogue */
KIVO_EXPORT void finder_addclass(const char *category, const char *classname);
KIVO_EXPORT void finder_symaddclass(void *unused, t_symbol *category, t_symbol *classname);
/* A new array (sysmem_freeptr) of the categories in order; count 0 and no
   array when there are none. */
KIVO_EXPORT t_kivo_err finder_getcategories(long *count, t_symbol ***categories);
/* A new array of the category's classes in order; count 0 when unknown. */
KIVO_EXPORT t_kivo_err finder_getclasses(t_symbol *category, long *count, t_symbol ***classes);
KIVO_EXPORT void finder_test(void);

/* ---- retired entry points: each posts a bug line and does nothing */
KIVO_EXPORT void plug_setloopfun(void *x, ...);
KIVO_EXPORT void CopyFromGWorld(void *gworld, ...);
KIVO_EXPORT void *GWorldFromPict(void *pict, ...);
KIVO_EXPORT void drawstr(const char *text);
KIVO_EXPORT void wind_setcursor(short which);
KIVO_EXPORT void kivoupdatechecker_startcheck(void);
KIVO_EXPORT void *kivoupdatechecker_new(void);

/* ---- drawing services the kernel calls */
/* Moves the mouse pointer (global screen coordinates); nothing without a
   display. */
KIVO_EXPORT void jmouse_setposition_global(long x, long y);

KIVO_END_C

#endif

/*
 * Scheduler, timing, display and option messages of the application object
 * "kivo": small setters and getters over settings that other modules own,
 * with their bounds and replies.
 *
 * Invariants:
 * - A getter's last argument names the receiver of its reply: "int" with
 *   one integer, "float" with one number, or a named message, sent to the
 *   object bound to that symbol; nothing when none is bound.
 * - A setter given a value out of its bounds changes nothing and says
 *   nothing (patches send these in bulk from preference files).
 * - The overdrive lock: while the count is above 0 the overdrive value
 *   saved by the first lock waits to be restored by the last unlock. The
 *   count never wraps: a lock at the top and an unlock at 0 are ignored.
 * - Settings whose owners do not exist yet (the drawing layer, menu bar,
 *   cursor, fonts, box colours, search paths, translations) are stored
 *   here, and the platform step is a no-op until those owners exist.
 * - Main thread only, like every message to the application object.
 */
#include <cinttypes>
#include <cmath>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "app/kivo_internal.h"
#include "boxes/boxgeom_internal.h"
#include "files/search_internal.h"
#include "kernel/legacyutil_internal.h"
#include "kernel/obex_internal.h"
#include "kivo/attr_conv.h"
#include "kivo/commonsyms.h"
#include "prefs/preferences_kivo.h"
#include "runtime/sched_internal.h"
#include "tools/post_internal.h"

namespace {

template <typename F>
method as_method(F f) {
    return reinterpret_cast<method>(reinterpret_cast<void (*)()>(f));
}

// ---- state

// The window refresh period in ms; 1000 / 30 until "refreshrate" says
// otherwise. Negative: the least time between system-queue passes.
double s_refreshperiod = 1000.0 / 30.0;
long s_enablerefresh = 1;
long s_cursorhidden = 0;
long s_menubarhidden = 0;
long s_optionsdirty = 0;
long s_debug = 0;

// The overdrive lock (8 bits, as the tracer's nesting needs no more).
constexpr long kLockMax = 255;
long s_lockcount = 0;
long s_lock_saved = 0;

long s_cantclosetoplevelpatchers = 0;
long s_disablecfmobjects = 0;
long s_nokivowindowmenu = 0;
long s_defaultpatcherwidth = 0;
long s_defaultpatcherheight = 0;
double s_fixwidthratio = 1.0;
double s_scrollmultiplier = 1.0;
t_symbol *s_translation = nullptr;
std::vector<t_symbol *> s_favoritefonts;
std::map<t_symbol *, std::vector<double>> s_namedcolors;


// The on/off switches, by the name of the message that sets them.
struct Switch {
    const char *name;
    long value;
};
Switch s_switches[] = {
    {"autoboxedit", 0},
    {"selecttextonclick_patching", 0},
    {"setdlgtofilepath", 0},
    {"useslowbutcompletesearching", 0},
    {"sortpatcherdictonsave", 0},
    {"db.enable", 1},
    {"debugipc", 0},
    {"notypeinfo", 0},
    {"safemode", 0},
    {"dumpxpcolls", 0},
    {"debugrepaints", 0},
    {"coalescerepaintrectangles", 1},
    {"triggerrepaintsfrommainthread", 0},
    {"noloadbangdisable", 0},
    {"nosearchformissingfiles", 0},
    {"enablepathcache", 1},
};

long *switch_of(const char *name) {
    for (Switch &s : s_switches)
        if (std::strcmp(s.name, name) == 0) return &s.value;
    return nullptr;
}

void switch_set(const char *name, t_atom_long v) {
    if (long *p = switch_of(name)) *p = v ? 1 : 0;
}

void switch_reply(const char *name, t_symbol *to) {
    if (long *p = switch_of(name)) kivo_reply_int(to, *p);
}

// ---- platform steps that wait for their owners (windows, menus, cursor)

void platform_showmenubar(long) {}
void platform_hidecursor() {}
void platform_showcursor() {}
void platform_movecursor(uint32_t) {}
void platform_setmouseposition(long, long) {}
void platform_setwindowrefreshperiod(double) {}
void platform_editmenustatus() {}

// ---- the overdrive preference, through the attribute so that attached
// objects hear of the change

long overdrive_get() {
    return preferences_overdrive_get();
}

void overdrive_set(t_kivo *x, long v) {
    object_attr_setlong(x ? &x->ob : nullptr, gensym("overdrive"), v ? 1 : 0);
}

// ---- diagnostics

void kivo_debug(t_kivo *, t_atom_long v) {
    // The debugger hook: without an attached debugger the process just goes on.
    s_debug = v ? 1 : 0;
    g_kivo_debug = static_cast<short>(s_debug);
    post(s_debug ? "turning on debugging" : "turning off debugging");
}

void kivo_size(t_kivo *) {
    post("%lld symbols in memory", static_cast<long long>(symtab_total()));
}

void kivo_counter(t_kivo *) {
    utils_report();
}

void kivo_reset(t_kivo *) {
    utils_resetcount();
}

// The date's local midnight in the system's seconds (since 1970). A date
// that names no day (month 13, day 0) is refused rather than rolled over.
void kivo_goto(t_kivo *, t_atom_long month, t_atom_long day, t_atom_long year) {
    std::time_t seconds = static_cast<std::time_t>(-1);
    if (month >= 1 && month <= 12 && day >= 1 && day <= 31 && year >= 1 && year <= 99999) {
        std::tm when{};
        when.tm_year = static_cast<int>(year - 1900);
        when.tm_mon = static_cast<int>(month - 1);
        when.tm_mday = static_cast<int>(day);
        when.tm_isdst = -1;
        seconds = std::mktime(&when);
    }
    if (seconds == static_cast<std::time_t>(-1)) {
        error("goto: bad date %lld %lld %lld", static_cast<long long>(month),
              static_cast<long long>(day), static_cast<long long>(year));
        return;
    }
    post("%llx", static_cast<unsigned long long>(seconds));
}

// ---- scheduler and main-thread servicing

void kivo_set(t_kivo *, double time) {
    systimer_settime(time);
}

void kivo_interval(t_kivo *, double ms) {
    if (!(ms >= 1.0 && ms <= 20.0)) return;
    systimer_setinterval(ms);
    s_optionsdirty = 1;
}

void kivo_sendinterval(t_kivo *, t_symbol *to) {
    kivo_reply_float(to, kivo::sched::systimer_interval_get());
}

void kivo_setslop(t_kivo *, double ms) {
    if (ms >= 1.0) sched_setslop(nullptr, ms);
}

void kivo_getslop(t_kivo *, t_symbol *to) {
    double slop = 0;
    sched_setslop(&slop, -1.0);
    kivo_reply_float(to, slop);
}

void kivo_setpollthrottle(t_kivo *, t_atom_long n) {
    if (n > 0) sched_setpollthrottle(static_cast<long>(n), nullptr);
}

void kivo_getpollthrottle(t_kivo *, t_symbol *to) {
    long n = 0;
    sched_setpollthrottle(-1, &n);
    kivo_reply_int(to, n);
}

void kivo_setqueuethrottle(t_kivo *, t_atom_long n) {
    if (n > 0) sched_setqueuethrottle(static_cast<long>(n), nullptr);
}

void kivo_getqueuethrottle(t_kivo *, t_symbol *to) {
    long n = 0;
    sched_setqueuethrottle(-1, &n);
    kivo_reply_int(to, n);
}

void kivo_setsysqelemthrottle(t_kivo *, t_atom_long n) {
    if (n > 0) sysqelem_setthrottle(static_cast<long>(n), nullptr);
}

void kivo_getsysqelemthrottle(t_kivo *, t_symbol *to) {
    long n = 0;
    sysqelem_setthrottle(-1, &n);
    kivo_reply_int(to, n);
}

void kivo_seteventinterval(t_kivo *x, t_atom_long ms) {
    if (ms > 0 && x) object_attr_setlong(&x->ob, gensym("eventinterval"), ms);
}

void kivo_geteventinterval(t_kivo *x, t_symbol *to) {
    if (x) kivo_reply_int(to, x->eventinterval);
}

void kivo_preempt(t_kivo *x, t_atom_long v) {
    overdrive_set(x, v ? 1 : 0);
}

void kivo_checkpreempt(t_kivo *, t_symbol *to) {
    kivo_reply_int(to, overdrive_get());
}

void kivo_lockoverdrive(t_kivo *x, long v) {
    if (s_lockcount >= kLockMax) return;
    long current = overdrive_get();
    if (s_lockcount == 0) s_lock_saved = current;
    long next = v ? 1 : 0;
    // A nested lock asking for "off" does not turn off what an outer one
    // left on.
    if (s_lockcount > 0 && !v && current) next = 1;
    overdrive_set(x, next);
    ++s_lockcount;
}

// Inner unlocks leave overdrive as it is; the last one restores the value
// saved by the first lock.
void kivo_unlockoverdrive(t_kivo *x, long) {
    if (s_lockcount == 0) return;
    if (--s_lockcount == 0) overdrive_set(x, s_lock_saved);
}

// ---- accepted without effect

void kivo_ignore(t_kivo *) {}
void kivo_getfloatkivowindow(t_kivo *, t_symbol *) {}

// ---- display

void kivo_refreshrate(t_kivo *, double rate) {
    if (rate != 0) s_refreshperiod = 1000.0 / rate;
    platform_setwindowrefreshperiod(s_refreshperiod);
}

void kivo_getrefreshrate(t_kivo *, t_symbol *to) {
    kivo_reply_float(to, s_refreshperiod == 0 ? 0.0 : 1000.0 / s_refreshperiod);
}

void kivo_enablerefresh(t_kivo *, t_atom_long v) {
    s_enablerefresh = v ? 1 : 0;
}

void kivo_getenablerefresh(t_kivo *, t_symbol *to) {
    kivo_reply_int(to, s_enablerefresh);
}

void kivo_debugrepaints(t_kivo *, t_atom_long v) {
    switch_set("debugrepaints", v);
}
void kivo_coalescerepaintrectangles(t_kivo *, t_atom_long v) {
    switch_set("coalescerepaintrectangles", v);
}
void kivo_triggerrepaintsfrommainthread(t_kivo *, t_atom_long v) {
    switch_set("triggerrepaintsfrommainthread", v);
}

void kivo_setscrollmultiplier(t_kivo *, double v) {
    s_scrollmultiplier = v;
}

void kivo_hidemenubar(t_kivo *) {
    s_menubarhidden = 1;
    platform_showmenubar(0);
}

void kivo_showmenubar(t_kivo *) {
    s_menubarhidden = 0;
    platform_showmenubar(1);
}

// Hide and show never nest: one "showcursor" undoes any number of hides.
void kivo_hidecursor(t_kivo *) {
    if (s_cursorhidden) return;
    s_cursorhidden = 1;
    platform_hidecursor();
}

void kivo_showcursor(t_kivo *) {
    if (!s_cursorhidden) return;
    s_cursorhidden = 0;
    platform_showcursor();
}

void kivo_movecursor(t_kivo *, t_atom_long h, t_atom_long v) {
    uint32_t where = (static_cast<uint32_t>(h & 0xffff) << 16) | static_cast<uint32_t>(v & 0xffff);
    platform_movecursor(where);
}

void kivo_pupdate(t_kivo *, t_atom_long x, t_atom_long y) {
    platform_setmouseposition(static_cast<long>(x), static_cast<long>(y));
}

// The console keeps no rows of its own to clear yet.
void kivo_clearkivowindow(t_kivo *) {}

void kivo_editmenustatus(t_kivo *) {
    platform_editmenustatus();
}

void kivo_favoritefont(t_kivo *, t_symbol *font) {
    if (!font || font == gensym("")) return;
    for (t_symbol *f : s_favoritefonts)
        if (f == font) return;
    s_favoritefonts.push_back(font);
}

// ---- legacy box colours

void kivo_boxcolor(t_kivo *, t_atom_long index, t_atom_long red, t_atom_long green,
                   t_atom_long blue, t_atom_long save) {
    boxcolor_message(static_cast<long>(index), static_cast<long>(red), static_cast<long>(green),
                     static_cast<long>(blue), static_cast<long>(save));
}

void kivo_getboxcolor(t_kivo *, t_atom_long index, t_symbol *to) {
    t_rgbcolor c{};
    if (boxcolor_get(static_cast<long>(index), &c) != KIVO_ERR_NONE) return;
    t_atom rgb[3];
    atom_setlong(&rgb[0], static_cast<unsigned short>(c.red) >> 8);
    atom_setlong(&rgb[1], static_cast<unsigned short>(c.green) >> 8);
    atom_setlong(&rgb[2], static_cast<unsigned short>(c.blue) >> 8);
    kivo_reply(to, _sym(list), 3, rgb);
}

void kivo_usecontext(t_kivo *, t_atom_long v) {
    utils_usecontext(v ? 1 : 0);
}

// ---- options

void kivo_setoption(t_kivo *x, t_symbol *, long argc, t_atom *argv) {
    if (argc < 1 || !argv || atom_gettype(argv) != AT_SYM) return;
    std::string_view name = atom_getsym(argv)->name;
    t_atom_long value = argc > 1 ? atom_getlong(argv + 1) : 0;
    if (name == "cantclosetoplevelpatchers") {
        s_cantclosetoplevelpatchers = static_cast<long>(value);
    } else if (name == "usesearchpath") {
        if (value) path_addpath(path_getapppath(), 0, 0);
    } else if (name == "noloadbangdisable") {
        switch_set("noloadbangdisable", value);
    } else if (name == "searchformissingfiles") {
        switch_set("nosearchformissingfiles", !value);
        path_setexclusive(value ? 0 : 1);
    } else if (name == "overdrive") {
        overdrive_set(x, value ? 1 : 0);
    } else if (name == "kivowindowvisible") {
        if (x) object_attr_setlong(&x->ob, gensym("kivoatstartup"), value ? 1 : 0);
        post_mayshow();
    }
}

// ---- queries

void kivo_getversion(t_kivo *, t_symbol *to) {
    kivo_reply_int(to, static_cast<int16_t>(g_kivo_version));
}

void kivo_getsystem(t_kivo *, t_symbol *to) {
    kivo_reply(to, gensym("macintosh"), 0, nullptr);
}

void kivo_getarch(t_kivo *, t_symbol *to) {
    kivo_reply(to, gensym("x64"), 0, nullptr);
}

void kivo_getruntime(t_kivo *, t_symbol *to) {
    kivo_reply_int(to, 1);
}

// ---- conditional execution

void send_rest(t_kivo *x, long argc, t_atom *argv) {
    if (!x || argc < 2 || atom_gettype(argv + 1) != AT_SYM) return;
    typedmess(&x->ob, atom_getsym(argv + 1), static_cast<short>(argc - 2), argv + 2);
}

void kivo_system(t_kivo *x, t_symbol *, long argc, t_atom *argv) {
    if (argc < 2 || !argv || atom_gettype(argv) != AT_SYM) return;
    if (atom_getsym(argv) != gensym("macintosh")) return;
    send_rest(x, argc, argv);
}

void kivo_runtime(t_kivo *x, t_symbol *, long argc, t_atom *argv) {
    if (argc < 2 || !argv || atom_gettype(argv) != AT_LONG || atom_getlong(argv) == 0) return;
    send_rest(x, argc, argv);
}

// ---- patching and editing switches

void kivo_autoboxedit(t_kivo *, t_atom_long v) {
    switch_set("autoboxedit", v);
}
void kivo_autoboxedit_patching(t_kivo *, t_atom_long v) {
    switch_set("autoboxedit", v);
}
void kivo_getautoboxedit(t_kivo *, t_symbol *to) {
    switch_reply("autoboxedit", to);
}
void kivo_getautoboxedit_patching(t_kivo *, t_symbol *to) {
    switch_reply("autoboxedit", to);
}
void kivo_selecttextonclick_patching(t_kivo *, t_atom_long v) {
    switch_set("selecttextonclick_patching", v);
}
void kivo_getselecttextonclick_patching(t_kivo *, t_symbol *to) {
    switch_reply("selecttextonclick_patching", to);
}
void kivo_setmirrortoconsole(t_kivo *, t_atom_long v) {
    kivo::post::set_mirror(v != 0);
}
void kivo_getmirrortoconsole(t_kivo *, t_symbol *to) {
    kivo_reply_int(to, kivo::post::mirror() ? 1 : 0);
}
void kivo_setdlgtofilepath(t_kivo *, t_atom_long v) {
    switch_set("setdlgtofilepath", v);
}
void kivo_getsetdlgtofilepath(t_kivo *, t_symbol *to) {
    switch_reply("setdlgtofilepath", to);
}
void kivo_useslowbutcompletesearching(t_kivo *, t_atom_long v) {
    switch_set("useslowbutcompletesearching", v);
    path_setslowsearch(v);
}
void kivo_sortpatcherdictonsave(t_kivo *, t_atom_long v) {
    switch_set("sortpatcherdictonsave", v);
}
void kivo_db_enable(t_kivo *, t_atom_long v) {
    switch_set("db.enable", v);
}
void kivo_debugipc(t_kivo *, t_atom_long v) {
    switch_set("debugipc", v);
}
void kivo_notypeinfo(t_kivo *, t_atom_long v) {
    switch_set("notypeinfo", v);
}
void kivo_safemode(t_kivo *, t_atom_long v) {
    switch_set("safemode", v);
}
void kivo_dumpxpcolls(t_kivo *, t_atom_long v) {
    switch_set("dumpxpcolls", v);
}
void kivo_getenablepathcache(t_kivo *, t_symbol *to) {
    switch_reply("enablepathcache", to);
}
void kivo_disablecfmobjects(t_kivo *, t_atom_long v) {
    s_disablecfmobjects = static_cast<long>(v);
}
void kivo_kivoinwmenu(t_kivo *, t_atom_long v) {
    s_nokivowindowmenu = !v;
}

// ---- patcher defaults

// Only a width or height whose low 16 bits, read as signed, exceed 100 is
// taken; it is kept as that 16-bit value.
bool patcher_size_ok(t_atom_long v, long *out) {
    auto low = static_cast<int16_t>(static_cast<uint16_t>(v & 0xffff));
    if (low <= 100) return false;
    *out = low;
    return true;
}

void kivo_setdefaultpatcherwidth(t_kivo *, t_atom_long v) {
    patcher_size_ok(v, &s_defaultpatcherwidth);
}
void kivo_getdefaultpatcherwidth(t_kivo *, t_symbol *to) {
    kivo_reply_int(to, s_defaultpatcherwidth);
}
void kivo_setdefaultpatcherheight(t_kivo *, t_atom_long v) {
    patcher_size_ok(v, &s_defaultpatcherheight);
}
void kivo_getdefaultpatcherheight(t_kivo *, t_symbol *to) {
    kivo_reply_int(to, s_defaultpatcherheight);
}
void kivo_fixwidthratio(t_kivo *, double v) {
    s_fixwidthratio = v;
    jbox_setfixwidthratio(v); // box fitting reads its own copy
}
void kivo_getfixwidthratio(t_kivo *, t_symbol *to) {
    kivo_reply_float(to, s_fixwidthratio);
}
// Legacy patchers are imported at the drawing layer's font scale, which is
// fixed at 1.
void kivo_getimportfontscale(t_kivo *, t_symbol *to) {
    kivo_reply_float(to, 1.0);
}

// ---- other setters

void kivo_setpbs(t_kivo *x, t_symbol *mode) {
    if (!x) return;
    x->pbsmode = mode == gensym("development") ? gensym("development") : gensym("production");
}

void kivo_settranslation(t_kivo *, t_symbol *name) {
    s_translation = name;
}

#define M(f) as_method(f)
const t_kivo_msgentry kMessages[] = {
    {"debug", M(kivo_debug), {AT_DEFLONG}},
    {"set", M(kivo_set), {AT_FLOAT}},
    {"stop", M(kivo_ignore), {AT_DEFLONG}},
    {"counter", M(kivo_counter), {}},
    {"goto", M(kivo_goto), {AT_LONG, AT_LONG, AT_LONG}},
    {"reset", M(kivo_reset), {}},
    {"size", M(kivo_size), {}},
    {"preempt", M(kivo_preempt), {AT_LONG}},
    {"lockoverdrive", M(kivo_lockoverdrive), {AT_CANT}},
    {"unlockoverdrive", M(kivo_unlockoverdrive), {AT_CANT}},
    {"checkpreempt", M(kivo_checkpreempt), {AT_SYM}},
    {"pupdate", M(kivo_pupdate), {AT_LONG, AT_LONG}},
    {"write", M(kivo_ignore), {AT_LONG}},
    {"start", M(kivo_ignore), {}},
    {"granularity", M(kivo_ignore), {AT_LONG}},
    {"interval", M(kivo_interval), {AT_FLOAT}},
    {"sendinterval", M(kivo_sendinterval), {AT_SYM}},
    {"getversion", M(kivo_getversion), {AT_SYM}},
    {"hidemenubar", M(kivo_hidemenubar), {}},
    {"showmenubar", M(kivo_showmenubar), {}},
    {"kivoinwmenu", M(kivo_kivoinwmenu), {AT_LONG}},
    {"modifiers", M(kivo_ignore), {AT_LONG}},
    {"enabledspstatus", M(kivo_ignore), {}},
    {"boxcolor", M(kivo_boxcolor), {AT_LONG, AT_LONG, AT_LONG, AT_LONG, AT_LONG}},
    {"getboxcolor", M(kivo_getboxcolor), {AT_LONG, AT_SYM}},
    {"usecontext", M(kivo_usecontext), {AT_LONG}},
    {"seteventinterval", M(kivo_seteventinterval), {AT_LONG}},
    {"geteventinterval", M(kivo_geteventinterval), {AT_SYM}},
    {"setslop", M(kivo_setslop), {AT_FLOAT}},
    {"getslop", M(kivo_getslop), {AT_SYM}},
    {"setpollthrottle", M(kivo_setpollthrottle), {AT_LONG}},
    {"getpollthrottle", M(kivo_getpollthrottle), {AT_SYM}},
    {"setqueuethrottle", M(kivo_setqueuethrottle), {AT_LONG}},
    {"getqueuethrottle", M(kivo_getqueuethrottle), {AT_SYM}},
    {"setsysqelemthrottle", M(kivo_setsysqelemthrottle), {AT_LONG}},
    {"getsysqelemthrottle", M(kivo_getsysqelemthrottle), {AT_SYM}},
    {"setoption", M(kivo_setoption), {AT_GIMME}},
    {"system", M(kivo_system), {AT_GIMME}},
    {"getsystem", M(kivo_getsystem), {AT_SYM}},
    {"getarch", M(kivo_getarch), {AT_SYM}},
    {"runtime", M(kivo_runtime), {AT_GIMME}},
    {"getruntime", M(kivo_getruntime), {AT_SYM}},
    {"setkivowindowsize", M(kivo_ignore), {AT_LONG, AT_LONG, AT_LONG, AT_LONG}},
    {"setfinderwindowsize", M(kivo_ignore), {AT_LONG, AT_LONG, AT_LONG, AT_LONG}},
    {"setcollwindowsize", M(kivo_ignore), {AT_LONG, AT_LONG, AT_LONG, AT_LONG}},
    {"clearkivowindow", M(kivo_clearkivowindow), {}},
    {"notypeinfo", M(kivo_notypeinfo), {AT_LONG}},
    {"refreshrate", M(kivo_refreshrate), {AT_FLOAT}},
    {"getrefreshrate", M(kivo_getrefreshrate), {AT_SYM}},
    {"enablerefresh", M(kivo_enablerefresh), {AT_LONG}},
    {"getenablerefresh", M(kivo_getenablerefresh), {AT_SYM}},
    {"setdefaultpatcherwidth", M(kivo_setdefaultpatcherwidth), {AT_LONG}},
    {"getdefaultpatcherwidth", M(kivo_getdefaultpatcherwidth), {AT_SYM}},
    {"setdefaultpatcherheight", M(kivo_setdefaultpatcherheight), {AT_LONG}},
    {"getdefaultpatcherheight", M(kivo_getdefaultpatcherheight), {AT_SYM}},
    {"setencrypt", M(kivo_ignore), {AT_SYM, AT_DEFSYM}},
    {"hidecursor", M(kivo_hidecursor), {}},
    {"showcursor", M(kivo_showcursor), {}},
    {"movecursor", M(kivo_movecursor), {AT_DEFLONG, AT_DEFLONG}},
    {"portenforce", M(kivo_ignore), {AT_LONG}},
    {"lowprioritycollectives", M(kivo_ignore), {AT_LONG}},
    {"setfloatkivowindow", M(kivo_ignore), {AT_LONG}},
    {"getfloatkivowindow", M(kivo_getfloatkivowindow), {AT_SYM}},
    {"setmirrortoconsole", M(kivo_setmirrortoconsole), {AT_LONG}},
    {"getmirrortoconsole", M(kivo_getmirrortoconsole), {AT_SYM}},
    {"autoboxedit", M(kivo_autoboxedit), {AT_LONG}},
    {"autoboxedit_patching", M(kivo_autoboxedit_patching), {AT_LONG}},
    {"selecttextonclick_patching", M(kivo_selecttextonclick_patching), {AT_LONG}},
    {"getautoboxedit", M(kivo_getautoboxedit), {AT_SYM}},
    {"getautoboxedit_patching", M(kivo_getautoboxedit_patching), {AT_SYM}},
    {"getselecttextonclick_patching", M(kivo_getselecttextonclick_patching), {AT_SYM}},
    {"fixwidthratio", M(kivo_fixwidthratio), {AT_FLOAT}},
    {"getfixwidthratio", M(kivo_getfixwidthratio), {AT_SYM}},
    {"importfontscale", M(kivo_ignore), {AT_FLOAT}},
    {"getimportfontscale", M(kivo_getimportfontscale), {AT_SYM}},
    {"useslowbutcompletesearching", M(kivo_useslowbutcompletesearching), {AT_LONG}},
    {"sortpatcherdictonsave", M(kivo_sortpatcherdictonsave), {AT_LONG}},
    {"setdlgtofilepath", M(kivo_setdlgtofilepath), {AT_LONG}},
    {"getsetdlgtofilepath", M(kivo_getsetdlgtofilepath), {AT_SYM}},
    {"enablepathcache", M(kivo_ignore), {AT_LONG}},
    {"getenablepathcache", M(kivo_getenablepathcache), {AT_SYM}},
    {"dumpxpcolls", M(kivo_dumpxpcolls), {AT_LONG}},
    {"debugrepaints", M(kivo_debugrepaints), {AT_LONG}},
    {"coalescerepaintrectangles", M(kivo_coalescerepaintrectangles), {AT_LONG}},
    {"triggerrepaintsfrommainthread", M(kivo_triggerrepaintsfrommainthread), {AT_LONG}},
    {"userprefcfminstall", M(kivo_ignore), {AT_LONG}},
    {"disablecfmobjects", M(kivo_disablecfmobjects), {AT_LONG}},
    {"setdefaultscrollbarwidth", M(kivo_ignore), {AT_LONG}},
    {"db.enable", M(kivo_db_enable), {AT_LONG}},
    {"setpbs", M(kivo_setpbs), {AT_SYM}},
    {"getpbs", M(kivo_getpbs), {AT_CANT}},
    {"favoritefont", M(kivo_favoritefont), {AT_SYM}},
    {"debugipc", M(kivo_debugipc), {AT_LONG}},
    {"safemode", M(kivo_safemode), {AT_LONG}},
    {"setscrollmultiplier", M(kivo_setscrollmultiplier), {AT_FLOAT}},
    {"settranslation", M(kivo_settranslation), {AT_DEFSYM}},
    {"mempagealign", M(kivo_ignore), {AT_DEFLONG}},
    {"showstylemap", M(kivo_ignore), {AT_LONG}},
    {"editmenustatus", M(kivo_editmenustatus), {}},
    {"setcolor", M(kivo_msg_setcolor), {AT_GIMME}},
};
#undef M

} // namespace

extern "C" {

const t_kivo_msgentry *kivo_schedmsgs_table(long *count) {
    if (count) *count = static_cast<long>(std::size(kMessages));
    return kMessages;
}

// Exactly a name and four numbers; anything else is ignored.
void kivo_msg_setcolor(t_kivo *, t_symbol *, long argc, t_atom *argv) {
    if (argc != 5 || !argv || atom_gettype(argv) != AT_SYM) return;
    std::vector<double> rgba(4);
    for (long i = 1; i < 5; ++i) {
        if (atom_gettype(argv + i) != AT_LONG && atom_gettype(argv + i) != AT_FLOAT) return;
        rgba[i - 1] = atom_getfloat(argv + i);
    }
    s_namedcolors[atom_getsym(argv)] = rgba;
}

t_symbol *kivo_getpbs(t_kivo *x) {
    return x && x->pbsmode ? x->pbsmode : gensym("production");
}

double kivo_refreshperiod_get(void) {
    return s_refreshperiod;
}
long kivo_enablerefresh_get(void) {
    return s_enablerefresh;
}
long kivo_cursorhidden_get(void) {
    return s_cursorhidden;
}
long kivo_menubarhidden_get(void) {
    return s_menubarhidden;
}
long kivo_overdrivelock_count(void) {
    return s_lockcount;
}
long kivo_cantclosetoplevelpatchers_get(void) {
    return s_cantclosetoplevelpatchers;
}
long kivo_disablecfmobjects_get(void) {
    return s_disablecfmobjects;
}
long kivo_nokivowindowmenu_get(void) {
    return s_nokivowindowmenu;
}
long kivo_debug_get(void) {
    return s_debug;
}
long kivo_switch_get(const char *name) {
    if (!name) return -1;
    if (long *p = switch_of(name)) return *p;
    return -1;
}
long kivo_defaultpatcherwidth_get(void) {
    return s_defaultpatcherwidth;
}
long kivo_defaultpatcherheight_get(void) {
    return s_defaultpatcherheight;
}
long kivo_namedcolor_get(t_symbol *name, double rgba[4]) {
    auto it = s_namedcolors.find(name);
    if (it == s_namedcolors.end()) return 0;
    for (int i = 0; i < 4; ++i) rgba[i] = it->second[i];
    return 1;
}

} // extern "C"

/*
 * The application object: the one object of the nobox class "kivo", bound
 * to the symbol "kivo". Message boxes, menu commands and code reach the
 * application through its messages; its attributes carry the
 * application-wide settings, and the preferences add theirs to the same
 * class.
 *
 * Invariants:
 * - m_obj_init runs once (start-up); later calls do nothing. The class and
 *   the object live until the process ends; the object has no free function.
 * - Every message added while the class's "undocumented" sticky method
 *   attribute is in place carries "undocumented" 1; the documented ones set
 *   theirs back to 0 right after being added. The sticky entry is removed
 *   before the last ten messages, which carry no such attribute at all.
 * - Everything here runs on the main thread.
 */
#include <cstring>
#include <iterator>
#include <mutex>
#include <string_view>
#include <vector>

#include "app/app_internal.h"
#include "app/kivo_internal.h"
#include "files/loading_internal.h"
#include "files/path_internal.h"
#include "files/search_internal.h"
#include "kernel/inout_internal.h"
#include "kernel/obex_internal.h"
#include "kivo/attr_conv.h"
#include "kivo/commonsyms.h"
#include "objects/creator_internal.h"
#include "prefs/preferences_kivo.h"

namespace {

t_kivo *s_kivo = nullptr;          // the application object; never freed
t_class *s_kivo_class = nullptr;   // registered in "nobox"
t_class *s_voximdummy_class = nullptr;
t_object *s_voximdummy = nullptr;  // the video-library placeholder; never freed
std::once_flag s_init_once;

template <typename F>
method as_method(F f) {
    return reinterpret_cast<method>(reinterpret_cast<void (*)()>(f));
}

// ---- attribute accessors

// "activewindow": stores the pointer of an object atom; anything else
// clears it.
t_kivo_err kivo_activewindow_set(t_kivo *x, t_object *, long argc, t_atom *argv) {
    if (!x) return KIVO_ERR_INVALID_PTR;
    x->activewindow = (argc > 0 && argv && atom_gettype(argv) == AT_OBJ)
                          ? static_cast<t_object *>(atom_getobj(argv))
                          : nullptr;
    return KIVO_ERR_NONE;
}

// "fontpanelfontcolor": red, green, blue, alpha. There is no drawing layer
// yet to convert the colour, so the four numbers are stored as given;
// missing components keep their values.
t_kivo_err kivo_fontpanelfontcolor_set(t_kivo *x, t_object *, long argc, t_atom *argv) {
    if (!x) return KIVO_ERR_INVALID_PTR;
    for (long i = 0; i < argc && i < 4 && argv; ++i) {
        if (atom_gettype(argv + i) != AT_LONG && atom_gettype(argv + i) != AT_FLOAT) continue;
        x->fontpanelfontcolor[i] = atom_getfloat(argv + i);
    }
    return KIVO_ERR_NONE;
}

void add_attr(t_class *c, const char *name, const char *type, long flags, long offset,
              method set = nullptr) {
    t_object *attr = attr_offset_new(name, gensym(type), flags, nullptr, set, offset);
    if (!attr) return;
    if (class_addattr(c, attr) != KIVO_ERR_NONE) {
        object_free(attr);
        return;
    }
    class_attr_addattr_parse(c, name, "invisible", gensym("long"), 0, "1");
}

void add_default(t_class *c, const char *name, const char *type, const char *value) {
    class_attr_addattr_parse(c, name, "default", gensym(type), 0, value);
}

void kivo_addattrs(t_class *c) {
    constexpr long kUserClosed = ATTR_FLAG_NOUSERSET;
    add_attr(c, "activewindow", "object", kUserClosed, offsetof(t_kivo, activewindow),
             as_method(kivo_activewindow_set));
    add_attr(c, "activenonfloatingwindow", "object", kUserClosed,
             offsetof(t_kivo, activenonfloatingwindow));
    add_attr(c, "fontpanelfontname", "symbol", kUserClosed, offsetof(t_kivo, fontpanelfontname));
    add_default(c, "fontpanelfontname", "symbol", "Arial");
    add_attr(c, "fontpanelfontsize", "float32", kUserClosed, offsetof(t_kivo, fontpanelfontsize));
    add_default(c, "fontpanelfontsize", "float32", "12");
    add_attr(c, "fontpanelfontface", "char", kUserClosed, offsetof(t_kivo, fontpanelfontface));
    add_default(c, "fontpanelfontface", "char", "0");
    if (t_object *color = attr_offset_array_new("fontpanelfontcolor", gensym("float64"), 4,
                                                kUserClosed, nullptr,
                                                as_method(kivo_fontpanelfontcolor_set), 0,
                                                offsetof(t_kivo, fontpanelfontcolor))) {
        if (class_addattr(c, color) == KIVO_ERR_NONE) {
            class_attr_addattr_parse(c, "fontpanelfontcolor", "invisible", gensym("long"), 0, "1");
            add_default(c, "fontpanelfontcolor", "float64", "0. 0. 0. 1.");
            class_attr_addattr_parse(c, "fontpanelfontcolor", "paint", gensym("long"), 0, "1");
        } else {
            object_free(color);
        }
    }
    add_attr(c, "quitting", "char", kUserClosed, offsetof(t_kivo, quitting));
    add_default(c, "quitting", "char", "0");
    add_attr(c, "eventinterval", "long", 0, offsetof(t_kivo, eventinterval));
    add_attr(c, "mixerlatency", "float64", 0, offsetof(t_kivo, mixerlatency));
    add_attr(c, "mixerramptime", "float64", 0, offsetof(t_kivo, mixerramptime));
    add_attr(c, "mixerparallel", "char", 0, offsetof(t_kivo, mixerparallel));
    add_attr(c, "mixerasyncmode", "char", 0, offsetof(t_kivo, mixerasyncmode));
    add_attr(c, "mixergbitmode", "char", 0, offsetof(t_kivo, mixergbitmode));
    add_attr(c, "openkivozip", "char", 0, offsetof(t_kivo, openkivozip));
    add_attr(c, "scrollbarmode", "char", 0, offsetof(t_kivo, scrollbarmode));
    add_attr(c, "kivourlproxy", "symbol", 0, offsetof(t_kivo, kivourlproxy));
    add_attr(c, "isruntime", "char", 0, offsetof(t_kivo, isruntime));
    add_attr(c, "islib", "char", 0, offsetof(t_kivo, islib));
    add_attr(c, "locked", "long", 0, offsetof(t_kivo, locked));
}

// ---- handlers of messages whose behaviour comes with later work

// Accepted and answered with nothing until their subsystems exist.
void kivo_pending(t_kivo *) {}

// ---- files and search paths: the application object forwards to the file
// layer.

void kivo_paths(t_kivo *) {
    post("-- startup paths:");
    path_printnamed("kivo-startup");
    post("-- search paths:");
    path_printlist(pathlist_get(PATHLIST_SEARCH));
    post("-- help paths:");
    path_printlist(pathlist_get(PATHLIST_HELP));
    // "setactionpath" keeps no folders, so the action list is always empty.
    post("-- action paths:");
    post("-- current default paths:");
    path_printlist(pathlist_get(PATHLIST_DEFAULT));
}
void kivo_formats(t_kivo *) { fileformat_printlist(); }
void kivo_fileformat(t_kivo *x, t_symbol *s, long argc, t_atom *argv) {
    fileformat_message(&x->ob, s, argc, argv);
}
void kivo_addfiletosearchpath(t_kivo *, t_symbol *name) { path_addfile(name->name); }
void kivo_removefilefromsearchpath(t_kivo *, t_symbol *name) { path_removefile(name->name); }
void kivo_dumppathcache(t_kivo *) { path_dumppathcache(); }
void kivo_pathtest(t_kivo *, t_symbol *name, t_atom_long) { path_pathtest(name); }
void kivo_sendapppath(t_kivo *, t_symbol *s) { path_sendapppath(s); }
void kivo_setsearchpath(t_kivo *x, t_symbol *s, long argc, t_atom *argv) {
    path_setsearchpath(&x->ob, s, argc, argv);
}
void kivo_sethelppath(t_kivo *x, t_symbol *name) {
    t_atom a;
    atom_setsym(&a, name);
    path_sethelppath(&x->ob, gensym("sethelppath"), 1, &a);
}
void kivo_setactionpath(t_kivo *x, t_symbol *name) {
    t_atom a;
    atom_setsym(&a, name);
    path_setactionpath(&x->ob, gensym("setactionpath"), 1, &a);
}
void kivo_definesniffer(t_kivo *x, t_symbol *s, long argc, t_atom *argv) {
    fileformat_definesniffer(&x->ob, s, argc, argv);
}
void kivo_definekind(t_kivo *x, t_symbol *s, long argc, t_atom *argv) {
    filekind_define(&x->ob, s, argc, argv);
}
void kivo_dumpkinds(t_kivo *) { filekind_dump(); }
void kivo_pending_gimme(t_kivo *, t_symbol *, long, t_atom *) {}
t_kivo_err kivo_pending_gimmeback(t_kivo *, t_symbol *, long, t_atom *, t_atom *rv) {
    if (rv) atom_setlong(rv, 0);
    return KIVO_ERR_NONE;
}
t_kivo_err kivo_loadbangsuspend(t_kivo *, t_symbol *, long, t_atom *, t_atom *rv) {
    if (rv) atom_setlong(rv, 0);
    loadbang_suspend();
    return KIVO_ERR_NONE;
}
t_kivo_err kivo_loadbangresume(t_kivo *, t_symbol *, long, t_atom *, t_atom *rv) {
    if (rv) atom_setlong(rv, 0);
    loadbang_resume();
    return KIVO_ERR_NONE;
}
void *kivo_pending_cant(t_kivo *) {
    return nullptr;
}

// ---- forwards to the subsystems that own the operation

void kivo_forward_takedump(t_kivo *) {
    sched_takedump();
}
void kivo_forward_printthreads(t_kivo *) {
    sched_printthreads();
}
void kivo_forward_printqueue(t_kivo *) {
    sched_printqueue();
}
void kivo_forward_setcontext(t_kivo *x, t_atom_long n) {
    utils_setcontext(x, static_cast<long>(n));
}
long kivo_forward_within_freeobject(t_kivo *) {
    return within_freeobject();
}
void kivo_forward_dialogsuppress(t_kivo *, t_atom_long flag) {
    kivo_testing_dialogsuppress(static_cast<long>(flag));
}

#define M(f) as_method(f)
// Every message of the class after the scheduler group, in table order.
const t_kivo_msgentry kOwnMessages[] = {
    // ---- documents, files and paths
    {"paths", M(kivo_paths), {}},
    {"externs", M(kivo_pending), {}},
    {"refresh", M(kivo_pending), {}},
    {"objectfile", M(kivo_pending), {AT_SYM, AT_SYM, AT_DEFSYM}},
    {"fileformat", M(kivo_fileformat), {AT_GIMME}},
    {"openfile", M(kivo_openfile), {AT_SYM, AT_SYM, AT_DEFLONG}},
    {"openfilefront", M(kivo_openfilefront), {AT_SYM, AT_SYM, AT_DEFLONG}},
    {"tinge", M(kivo_pending_gimme), {AT_GIMME}},
    {"showtinge", M(kivo_pending_gimme), {AT_GIMME}},
    {"notify", M(kivo_notify), {AT_CANT}},
    {"exportimage", M(kivo_pending_gimme), {AT_GIMME}},
    {"closefile", M(kivo_closefile), {AT_SYM}},
    {"buildcollective", M(kivo_pending), {AT_SYM, AT_DEFSYM}},
    {"setdialogpath", M(kivo_pending), {AT_SYM, AT_SYM}},
    {"updatepath", M(kivo_pending), {AT_SYM}},
    {"formats", M(kivo_formats), {}},
    {"sendrecentlist", M(kivo_pending), {AT_SYM}},
    {"sendrecentprojectlist", M(kivo_pending), {AT_SYM}},
    {"reportnonfactoryexternals", M(kivo_pending), {}},
    {"reveal_resources", M(kivo_pending_gimme), {AT_GIMME}},
    {"makeakvd", M(kivo_pending_gimme), {AT_GIMME}},
    {"openakvd", M(kivo_pending_gimme), {AT_GIMME}},
    {"addfiletosearchpath", M(kivo_addfiletosearchpath), {AT_SYM}},
    {"removefilefromsearchpath", M(kivo_removefilefromsearchpath), {AT_SYM}},
    {"kivopat_to_kivosnip", M(kivo_pending_gimme), {AT_GIMME}},
    // ---- services, diagnostics and compatibility
    {"v2", M(kivo_pending), {}},
    {"kivo", M(kivo_pending_gimme), {AT_GIMME}},
    {"vxm", M(kivo_pending_gimme), {AT_GIMME}},
    {"dsp", M(kivo_pending_gimme), {AT_GIMME}},
    {"int", M(kivo_pending), {AT_LONG}},
    {"midi", M(kivo_pending_gimme), {AT_GIMME}},
    {"printsymvalue", M(kivo_pending), {AT_SYM}},
    {"launchbrowser", M(kivo_pending_gimme), {AT_GIMME}},
    {"htmlref", M(kivo_pending_gimme), {AT_GIMME}},
    {"launch_browser", M(kivo_pending_gimme), {AT_GIMME}},
    {"html_ref", M(kivo_pending_gimme), {AT_GIMME}},
    {"printproperty", M(kivo_pending), {AT_SYM, AT_SYM}},
    {"crash", M(kivo_pending), {}},
    {"debugbreak", M(kivo_pending), {}},
    {"shortcut", M(kivo_pending_gimme), {AT_GIMME}},
    {"test2floats", M(kivo_pending), {AT_FLOAT, AT_FLOAT}},
    {"test3floats", M(kivo_pending), {AT_FLOAT, AT_FLOAT, AT_FLOAT}},
    {"test4floats", M(kivo_pending), {AT_FLOAT, AT_FLOAT, AT_FLOAT, AT_FLOAT}},
    {"test5floats", M(kivo_pending), {AT_FLOAT, AT_FLOAT, AT_FLOAT, AT_FLOAT, AT_FLOAT}},
    {"jargon", M(kivo_pending_gimme), {AT_GIMME}},
    {"definejargon", M(kivo_pending_gimme), {AT_GIMME}},
    {"killjargon", M(kivo_pending), {}},
    {"dictionarytosignedtext", M(kivo_pending_cant), {AT_CANT}},
    {"signedtexttodictionary", M(kivo_pending_cant), {AT_CANT}},
    {"startkivoserver", M(kivo_pending_gimme), {AT_GIMME}},
    {"stopkivoserver", M(kivo_pending), {}},
    {"handleremotesend", M(kivo_pending_gimme), {AT_GIMME}},
    {"refgen", M(kivo_pending_gimme), {AT_GIMME}},
    {"ref_generate", M(kivo_pending_gimme), {AT_GIMME}},
    {"openrefbar", M(kivo_pending), {AT_SYM}},
    {"getpattr_separator", M(kivo_pending_cant), {AT_CANT}},
    {"testdialog", M(kivo_pending), {AT_SYM, AT_SYM}},
    {"loadbangsuspend", M(kivo_loadbangsuspend), {AT_GIMMEBACK}},
    {"loadbangresume", M(kivo_loadbangresume), {AT_GIMMEBACK}},
    {"checkpatcherversion", M(kivo_pending_cant), {AT_CANT}},
    {"mempagetest", M(kivo_pending), {}},
    {"membench", M(kivo_pending), {}},
    {"sendattr", M(kivo_pending), {AT_SYM, AT_SYM}},
    {"addobjecttocategory", M(kivo_pending), {AT_SYM, AT_SYM}},
    {"setbadgeforcategory", M(kivo_pending), {AT_SYM, AT_SYM}},
    {"dspstatus", M(kivo_pending_gimme), {AT_GIMME}},
    {"sendtonamed", M(kivo_pending_gimme), {AT_GIMME}},
    {"copysupportinfotoclipboard", M(kivo_pending), {}},
    {"testing_dialogsuppress", M(kivo_forward_dialogsuppress), {AT_DEFLONG}},
    {"testschedulepurge", M(kivo_pending), {}},
    {"updateclippings", M(kivo_pending_gimme), {AT_GIMME}},
    {"newfilebrowser", M(kivo_pending_gimme), {AT_GIMME}},
    {"packagebrowser", M(kivo_pending_gimme), {AT_GIMME}},
    {"showdebugger", M(kivo_pending_gimme), {AT_GIMME}},
    {"showmatrixprobe", M(kivo_pending_gimme), {AT_GIMME}},
    {"showwiretaps", M(kivo_pending_gimme), {AT_GIMME}},
    {"showwatchpoints", M(kivo_pending_gimme), {AT_GIMME}},
    {"db.filter", M(kivo_pending_gimme), {AT_GIMME}},
    {"db.flushorphans", M(kivo_pending_gimme), {AT_GIMME}},
    {"db.object_addinternal", M(kivo_pending_gimme), {AT_GIMME}},
    {"db.addvirtual", M(kivo_pending_gimme), {AT_GIMME}},
    {"db.object_typed", M(kivo_pending_gimme), {AT_GIMME}},
    {"db.addobjectmetadata", M(kivo_pending_gimme), {AT_GIMME}},
    {"db.addmetadata", M(kivo_pending_gimme), {AT_GIMME}},
    {"db.updatemetadata", M(kivo_pending_gimme), {AT_GIMME}},
    {"db.exportmetadata", M(kivo_pending_gimme), {AT_GIMME}},
    {"db.importmetadata", M(kivo_pending_gimme), {AT_GIMME}},
    {"db.log", M(kivo_pending_gimme), {AT_GIMME}},
    {"db.dump", M(kivo_pending_gimme), {AT_GIMME}},
    {"db.search", M(kivo_pending_gimme), {AT_GIMME}},
    // ---- quit
    {"quit", M(kivo_msg_quit), {AT_GIMME}},
    {"quitnow", M(kivo_msg_quitnow), {AT_GIMME}},
    {"clean", M(kivo_msg_clean), {}},
    // ---- menu commands
    {"relaunchkivo", M(kivo_pending_gimme), {AT_GIMME}},
    {"startuptour", M(kivo_pending_gimme), {AT_GIMME}},
    {"forcestartuptour", M(kivo_pending_gimme), {AT_GIMME}},
    {"openhelp", M(kivo_pending), {AT_SYM}},
    {"newpatcher", M(kivo_pending_gimme), {AT_GIMME}},
    {"newjpatcher", M(kivo_pending_gimme), {AT_GIMME}},
    {"newproj", M(kivo_pending_gimme), {AT_GIMME}},
    {"newtable", M(kivo_pending_gimme), {AT_GIMME}},
    {"newtimeline", M(kivo_pending_gimme), {AT_GIMME}},
    {"template", M(kivo_pending_gimme), {AT_GIMME}},
    {"templatebyname", M(kivo_pending_gimme), {AT_GIMME}},
    {"runtime_newtext", M(kivo_pending_gimme), {AT_GIMME}},
    {"newtext", M(kivo_pending_gimme), {AT_GIMME}},
    {"about", M(kivo_pending_gimme), {AT_GIMME}},
    {"newfromclipboard", M(kivo_pending_gimme), {AT_GIMME}},
    {"open", M(kivo_pending_gimme), {AT_GIMME}},
    {"openastext", M(kivo_pending_gimme), {AT_GIMME}},
    {"jopen", M(kivo_pending_gimme), {AT_GIMME}},
    {"openrecent", M(kivo_pending_gimme), {AT_GIMME}},
    {"recentbyname", M(kivo_pending_gimme), {AT_GIMME}},
    {"openrecentproject", M(kivo_pending_gimme), {AT_GIMME}},
    {"recentprojectbyname", M(kivo_pending_gimme), {AT_GIMME}},
    {"midisetup", M(kivo_pending_gimme), {AT_GIMME}},
    {"install", M(kivo_pending_gimme), {AT_GIMME}},
    {"stopscheduler", M(kivo_pending_gimme), {AT_GIMME}},
    {"resume", M(kivo_pending_gimme), {AT_GIMME}},
    {"optionsdirty", M(kivo_pending), {}},
    {"editor", M(kivo_pending_gimme), {AT_GIMME}},
    {"traceenable", M(kivo_pending_gimme), {AT_GIMME}},
    {"tracedisable", M(kivo_pending_gimme), {AT_GIMME}},
    {"tracestep", M(kivo_pending_gimme), {AT_GIMME}},
    {"tracecontinue", M(kivo_pending_gimme), {AT_GIMME}},
    {"traceabort", M(kivo_pending_gimme), {AT_GIMME}},
    {"tracepause", M(kivo_pending_gimme), {AT_GIMME}},
    {"traceautostep", M(kivo_pending), {AT_LONG}},
    {"extra", M(kivo_pending_gimmeback), {AT_GIMMEBACK}},
    {"extrabyname", M(kivo_pending_gimme), {AT_GIMME}},
    {"example", M(kivo_pending_gimmeback), {AT_GIMMEBACK}},
    {"examplebyname", M(kivo_pending_gimme), {AT_GIMME}},
    {"hidesubs", M(kivo_pending_gimme), {AT_GIMME}},
    {"kivowindow", M(kivo_pending_gimme), {AT_GIMME}},
    {"magnifier", M(kivo_pending_gimme), {AT_GIMME}},
    {"window", M(kivo_pending_gimmeback), {AT_GIMMEBACK}},
    {"subwindow", M(kivo_pending_gimmeback), {AT_GIMMEBACK}},
    {"closeall", M(kivo_pending_gimme), {AT_GIMME}},
    {"cascade", M(kivo_pending_gimme), {AT_GIMME}},
    {"tilehorizontally", M(kivo_pending_gimme), {AT_GIMME}},
    {"tilevertically", M(kivo_pending_gimme), {AT_GIMME}},
    {"minimizeall", M(kivo_pending_gimme), {AT_GIMME}},
    {"restoreall", M(kivo_pending_gimme), {AT_GIMME}},
    {"bringalltofront", M(kivo_pending_gimme), {AT_GIMME}},
    {"listrecent", M(kivo_pending_cant), {AT_CANT}},
    {"listrecentprojects", M(kivo_pending_cant), {AT_CANT}},
    {"listtemplates", M(kivo_pending_cant), {AT_CANT}},
    {"listcolors", M(kivo_pending_cant), {AT_CANT}},
    {"listfonts", M(kivo_pending_cant), {AT_CANT}},
    {"listeditors", M(kivo_pending_cant), {AT_CANT}},
    {"listwindows", M(kivo_pending_cant), {AT_CANT}},
    {"listextras", M(kivo_pending_cant), {AT_CANT}},
    {"listexamples", M(kivo_pending_cant), {AT_CANT}},
    {"listclippings_box", M(kivo_pending_cant), {AT_CANT}},
    {"listclippings_dsp.quib", M(kivo_pending_cant), {AT_CANT}},
    {"listclippings_vxm.quib", M(kivo_pending_cant), {AT_CANT}},
    {"dbupdated", M(kivo_pending_cant), {AT_CANT}},
    {"updatecommand", M(kivo_pending_cant), {AT_CANT}},
    {"updatemenu", M(kivo_pending_cant), {AT_CANT}},
    {"refreshmenu", M(kivo_pending_cant), {AT_CANT}},
    {"snaptogrid", M(kivo_pending), {AT_LONG}},
    {"preferences", M(kivo_pending_gimme), {AT_GIMME}},
    {"debugpanel", M(kivo_pending_gimme), {AT_GIMME}},
    {"filepreferences", M(kivo_pending_gimme), {AT_GIMME}},
    {"defaults", M(kivo_pending_gimme), {AT_GIMME}},
    {"showclue", M(kivo_pending_gimme), {AT_GIMME}},
    {"showdoc", M(kivo_pending_gimme), {AT_GIMME}},
    {"opendoc", M(kivo_pending_gimme), {AT_GIMME}},
    {"openweb", M(kivo_pending_gimme), {AT_GIMME}},
    {"showunibrowser", M(kivo_pending_gimme), {AT_GIMME}},
    {"openunibrowser", M(kivo_pending_gimme), {AT_GIMME}},
    {"reference", M(kivo_pending_gimme), {AT_GIMME}},
    {"docintro", M(kivo_pending_gimme), {AT_GIMME}},
    {"docnew", M(kivo_pending_gimme), {AT_GIMME}},
    {"doctesting", M(kivo_pending_gimme), {AT_GIMME}},
    {"dochost", M(kivo_pending_gimme), {AT_GIMME}},
    {"shortcuts", M(kivo_pending_gimme), {AT_GIMME}},
    {"keycommands", M(kivo_pending_gimme), {AT_GIMME}},
    {"kivoindex", M(kivo_pending_gimme), {AT_GIMME}},
    {"sonrelindex", M(kivo_pending_gimme), {AT_GIMME}},
    {"vxmindex", M(kivo_pending_gimme), {AT_GIMME}},
    {"supportpage", M(kivo_pending_gimme), {AT_GIMME}},
    {"communitypage", M(kivo_pending_gimme), {AT_GIMME}},
    {"showwelcomescreen", M(kivo_pending_gimme), {AT_GIMME}},
    {"checkforupdates", M(kivo_pending_gimme), {AT_GIMME}},
    {"definecommand", M(kivo_pending_gimme), {AT_GIMME}},
    {"lookupcommand", M(kivo_pending_gimmeback), {AT_GIMMEBACK}},
    {"definecommandinstructions", M(kivo_pending_gimme), {AT_GIMME}},
    {"lookupcommandinstructions", M(kivo_pending_gimmeback), {AT_GIMMEBACK}},
    {"installvideoengine", M(kivo_pending_gimme), {AT_GIMME}},
    // ---- handled by other subsystems
    {"takedump", M(kivo_forward_takedump), {}},
    {"printthreads", M(kivo_forward_printthreads), {}},
    {"printqueue", M(kivo_forward_printqueue), {}},
    {"setcontext", M(kivo_forward_setcontext), {AT_LONG}},
    {"within_freeobject", M(kivo_forward_within_freeobject), {AT_CANT}},
    {"oblist", M(kivo_pending), {AT_SYM, AT_SYM, AT_DEFSYM}},
    {"findertest", M(kivo_pending), {}},
    {"midilist", M(kivo_pending), {}},
    {"fontmap", M(kivo_pending), {AT_SYM, AT_SYM}},
    {"genericfontmap", M(kivo_pending), {AT_SYM, AT_SYM}},
    {"savefontmap", M(kivo_pending), {AT_SYM, AT_SYM}},
    {"genericsavefontmap", M(kivo_pending), {AT_SYM, AT_SYM}},
    {"fontinfo", M(kivo_pending), {AT_LONG, AT_SYM}},
    {"fontinfomake", M(kivo_pending), {AT_SYM}},
    {"fontinfomakecode", M(kivo_pending), {AT_SYM}},
    {"newobj_border", M(kivo_pending_gimme), {AT_GIMME}},
    {"listskinfiles", M(kivo_pending_cant), {AT_CANT}},
    {"db.reset", M(kivo_pending), {}},
    {"userdb.reset", M(kivo_pending), {}},
    {"userdb.purge", M(kivo_pending), {}},
    {"exportobjects", M(kivo_pending), {AT_DEFSYM}},
    {"showtour", M(kivo_pending), {AT_SYM}},
    {"openlesson", M(kivo_pending_gimme), {AT_GIMME}},
    {"recentfile", M(kivo_pending), {AT_SYM, AT_SYM, AT_DEFLONG}},
    {"recentproject", M(kivo_pending), {AT_SYM, AT_SYM, AT_DEFLONG}},
    {"dumppathcache", M(kivo_dumppathcache), {}},
    {"pathtest", M(kivo_pathtest), {AT_DEFSYM, AT_DEFLONG}},
    {"sendapppath", M(kivo_sendapppath), {AT_SYM}},
    {"setsearchpath", M(kivo_setsearchpath), {AT_GIMME}},
    {"setsearchpath_nonrecursive", M(kivo_setsearchpath), {AT_GIMME}},
    {"sethelppath", M(kivo_sethelppath), {AT_DEFSYM}},
    {"setactionpath", M(kivo_setactionpath), {AT_DEFSYM}},
    {"definesniffer", M(kivo_definesniffer), {AT_GIMME}},
    {"definekind", M(kivo_definekind), {AT_GIMME}},
    {"dumpkinds", M(kivo_dumpkinds), {}},
};
#undef M

// The messages that come after the documentation marker is cleared, in
// their order of registration.
constexpr std::string_view kLate[] = {
    "dspstatus", "sendtonamed", "copysupportinfotoclipboard", "testing_dialogsuppress",
    "addfiletosearchpath", "removefilefromsearchpath", "kivopat_to_kivosnip", "setcolor",
    "installvideoengine", "testschedulepurge"};

bool is_late(const char *name) {
    for (std::string_view l : kLate)
        if (l == name) return true;
    return false;
}

// The whole table in registration order: the scheduler group, then the
// others, then the late ten.
const std::vector<t_kivo_msgentry> &message_table() {
    static const std::vector<t_kivo_msgentry> table = [] {
        std::vector<t_kivo_msgentry> all;
        long n = 0;
        const t_kivo_msgentry *sched = kivo_schedmsgs_table(&n);
        all.insert(all.end(), sched, sched + n);
        all.insert(all.end(), std::begin(kOwnMessages), std::end(kOwnMessages));
        std::vector<t_kivo_msgentry> ordered;
        ordered.reserve(all.size());
        for (const t_kivo_msgentry &e : all)
            if (!is_late(e.name)) ordered.push_back(e);
        for (std::string_view l : kLate)
            for (const t_kivo_msgentry &e : all)
                if (l == e.name) ordered.push_back(e);
        return ordered;
    }();
    return table;
}

// ---- the message table

// The fifty-six messages whose documentation mark is cleared.
constexpr std::string_view kDocumented[] = {
    "debug", "size", "preempt", "checkpreempt", "pupdate", "quit", "clean", "interval",
    "sendinterval", "getversion", "hidemenubar", "showmenubar", "kivoinwmenu", "paths",
    "externs", "dumppathcache", "refresh", "sendapppath", "seteventinterval",
    "geteventinterval", "setslop", "getslop", "setpollthrottle", "getpollthrottle",
    "setqueuethrottle", "getqueuethrottle", "setsysqelemthrottle", "getsysqelemthrottle",
    "objectfile", "fileformat", "midi", "system", "getsystem", "getarch", "runtime",
    "getruntime", "notypeinfo", "launchbrowser", "htmlref", "refreshrate", "getrefreshrate",
    "enablerefresh", "getenablerefresh", "setdefaultpatcherwidth", "getdefaultpatcherwidth",
    "setdefaultpatcherheight", "getdefaultpatcherheight", "hidecursor", "showcursor",
    "openfile", "closefile", "buildcollective", "fixwidthratio", "getfixwidthratio",
    "enablepathcache", "getenablepathcache"};

bool is_documented(const char *name) {
    for (std::string_view d : kDocumented)
        if (d == name) return true;
    return false;
}

void add_message(t_class *c, const t_kivo_msgentry &e) {
    const char *t = e.types;
    class_addmethod(c, e.fn, e.name, t[0], t[1], t[2], t[3], t[4], t[5], t[6], 0);
}

void kivo_addmessages(t_class *c) {
    class_sticky_method_long(c, "undocumented", 1);
    long count = 0;
    const t_kivo_msgentry *table = kivo_msgtable(&count);
    for (long i = 0; i < count; ++i) {
        if (std::strcmp(table[i].name, "dspstatus") == 0)
            class_sticky_clear(c, _sym(sticky_method), gensym("undocumented"));
        add_message(c, table[i]);
        if (is_documented(table[i].name)) {
            if (t_object *mo = class_getmethod_object(c, gensym(table[i].name)))
                object_attr_setlong(mo, gensym("undocumented"), 0);
        }
    }
    // In case the table lacks "dspstatus", the mark must not outlive it.
    class_sticky_clear(c, _sym(sticky_method), gensym("undocumented"));
}

// ---- the video-library placeholder

void voximdummy_anything(t_object *, t_symbol *, long, t_atom *) {}

void voximdummy_initclass() {
    t_class *c = class_new("voximdummy", nullptr, nullptr, sizeof(t_object), nullptr, 0);
    if (!c) return;
    class_addmethod(c, as_method(voximdummy_anything), "anything", AT_GIMME, 0);
    class_register(_sym(nobox), c);
    s_voximdummy_class = c;
}

t_object *voximdummy_new() {
    if (!s_voximdummy_class) return nullptr;
    return static_cast<t_object *>(object_alloc(s_voximdummy_class));
}

// ---- the class and the object

t_kivo *kivo_new() {
    if (!s_kivo_class) return nullptr;
    auto *x = static_cast<t_kivo *>(object_alloc(s_kivo_class));
    if (!x) return nullptr;
    x->activewindow = nullptr;
    x->activenonfloatingwindow = nullptr;
    x->eventinterval = 2;
    x->fontpanelfontname = nullptr;
    x->fontpanelfontsize = 0.f;
    x->mixerlatency = 30.0;
    x->mixerramptime = 10.0;
    for (double &v : x->fontpanelfontcolor) v = 0.0;
    x->locked = 1;
    x->fontpanelfontface = 0;
    x->mixerparallel = 0;
    x->mixerasyncmode = 0;
    x->mixergbitmode = 0;
    x->openkivozip = 1;
    x->scrollbarmode = 2;
    x->quitting = 0;
    x->isruntime = 1;
    x->islib = 0;
    x->kivourlproxy = gensym("");
    x->pbsmode = gensym("production");
    return x;
}

void kivo_initclass() {
    t_class *c = class_new("kivo", as_method(kivo_new), nullptr, sizeof(t_kivo), nullptr,
                           AT_CANT, 0);
    if (!c) return;
    kivo_addmessages(c);
    kivo_addattrs(c);
    preferences_kivoclass(c);
    class_register(_sym(nobox), c);
    s_kivo_class = c;
    voximdummy_initclass();
}

void kivo_bind(t_symbol *s, t_object *x) {
    if (s && x) s->thing = x;
}

} // namespace

extern "C" {

void m_obj_init(void) {
    std::call_once(s_init_once, [] {
        qnew_init();
        kivo_initclass();
        s_kivo = kivo_new();
        if (s_kivo) {
            kivo_bind(gensym("kivo"), &s_kivo->ob);
            object_register(_sym(nobox), symbol_unique(), s_kivo);
        }
        // The newest-object variable itself, so that code can read it by name.
        gensym("g_kivo_newest")->thing = reinterpret_cast<t_object *>(&g_kivo_newest);
        preferences_defaults();
        dll_initclass();
        s_voximdummy = voximdummy_new();
        kivo_bind(gensym("voxim"), s_voximdummy);
        kivo_bind(gensym("vxm"), s_voximdummy);
    });
}

t_object *kivo_getobject(void) {
    return s_kivo ? &s_kivo->ob : nullptr;
}

t_kivo *kivo_getrecord(void) {
    return s_kivo;
}

t_class *kivo_getclass(void) {
    return s_kivo_class;
}

void kivo_reply(t_symbol *s, t_symbol *msg, long argc, t_atom *argv) {
    if (!s || !msg) return;
    t_object *to = s->thing;
    if (!to || to->magic != KIVO_OBJECT_MAGIC) return;
    typedmess(to, msg, static_cast<short>(argc), argv);
}

void kivo_reply_int(t_symbol *s, t_atom_long value) {
    t_atom a;
    atom_setlong(&a, value);
    kivo_reply(s, _sym(int), 1, &a);
}

void kivo_reply_float(t_symbol *s, double value) {
    t_atom a;
    atom_setfloat(&a, value);
    kivo_reply(s, _sym(float), 1, &a);
}

const t_kivo_msgentry *kivo_msgtable(long *count) {
    const std::vector<t_kivo_msgentry> &table = message_table();
    if (count) *count = static_cast<long>(table.size());
    return table.data();
}

} // extern "C"

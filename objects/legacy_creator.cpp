/*
 * The legacy object creator: the one object bound to "#N". Legacy patcher
 * text addresses its "#N" lines to it, the object box sends it its typed
 * text as one message, and the kernel calls constructors through it. A
 * message to it makes an object; the kernel records the result as the
 * newest object.
 *
 * Invariants:
 * - g_kivo_qnewobj is a static copy of an object header whose message list
 *   is s_messlist[1..]; entry 0 carries the class record, the list ends
 *   with the "anything" entry and a null selector.
 * - The first three entries are the creator's own (vpatcher, vpreset,
 *   picture): old-style classes installed later look for their name from
 *   the fourth entry on and take that entry as their constructor.
 * - Every name the list does not know goes to the loader, which finds a
 *   registered class, an external or an abstraction, or reports
 *   "%s: No such object".
 * - Set up once at start-up, on the main thread; never freed.
 */
#include <iterator>

#include "boxes/jinlet_internal.h"
#include "files/loading_internal.h"
#include "kernel/obex_internal.h"
#include "objects/creator_internal.h"
#include "patcher/vpatcher_internal.h"

namespace {

using kivo::obex::as_method;

// ---- the creator's own messages; each returns the new object or null

void *qnew_vpatcher(t_atom_long left, t_atom_long top, t_atom_long right, t_atom_long bottom) {
    return vpatcher_new(left, top, right, bottom);
}

// The preset object is a registered class of its own: reach it by name.
void *qnew_vpreset(t_atom_long n) {
    t_atom a;
    atom_setlong(&a, n);
    return newload(gensym("preset"), 1, &a);
}

// A picture is a nobox class loaded from outside; its arguments mean
// nothing to it.
void *qnew_picture(t_symbol *, long, t_atom *) {
    t_symbol *nobox = gensym("nobox");
    t_symbol *picture = gensym("picture");
    if (!class_findbyname(nobox, picture)) return nullptr;
    return object_new_typed(nobox, picture, 0, nullptr);
}

// The comment waits for the next inlet or outlet box; no object is made.
void *qnew_comlet(t_symbol *, long argc, t_atom *argv) {
    comlet_new(argc, argv);
    return nullptr;
}

// The old table object: the loaded "table" class, with the arguments as
// they came.
void *qnew_vtable(t_symbol *, long argc, t_atom *argv) {
    return newload(gensym("table"), argc, argv);
}

void *qnew_opened(t_symbol *type, t_symbol *patcherfile) {
    return opened_new(type, patcherfile);
}

void *qnew_anything(t_symbol *s, long argc, t_atom *argv) {
    return newload(s, argc, argv);
}

struct Entry {
    const char *name;
    method fun; // null: the class comes later and is reached by name
    signed char types[8];
};

// The creator's table. Entries without a function belong to classes that
// are not built yet; until they are, their names fall through to the
// loader like any other name.
const Entry k_table[] = {
    {"vpatcher", as_method(qnew_vpatcher), {AT_DEFLONG, AT_DEFLONG, AT_DEFLONG, AT_DEFLONG}},
    {"vpreset", as_method(qnew_vpreset), {AT_DEFLONG}},
    {"picture", as_method(qnew_picture), {AT_GIMME}},
    {"comlet", as_method(qnew_comlet), {AT_GIMME}},
    {"f", nullptr, {AT_DEFFLOAT}},
    {"float", nullptr, {AT_DEFFLOAT}},
    {"unpack", nullptr, {AT_GIMME}},
    {"swap", nullptr, {AT_GIMME}},
    {"fswap", nullptr, {AT_GIMME}},
    {"sel", nullptr, {AT_GIMME}},
    {"select", nullptr, {AT_GIMME}},
    {"vtable", as_method(qnew_vtable), {AT_GIMME}},
    {"seq", nullptr, {AT_GIMME}},
    {"stripnote", nullptr, {}},
    {"setclock", nullptr, {AT_GIMME}},
    {"opened", as_method(qnew_opened), {AT_DEFSYM, AT_DEFSYM}},
};

t_class s_class{};
// Class marker, the table, "anything", the terminator.
t_messlist s_messlist[std::size(k_table) + 3]{};
bool s_defined = false;

void qnew_setup() {
    s_class.name = gensym("#N");
    s_class.filename = s_class.name;
    // Names sent to the creator are class names, never attribute names.
    s_class.flags = CLASS_FLAG_NOATTRIBUTES;
    s_messlist[0].sym = reinterpret_cast<t_symbol *>(&s_class);
    std::size_t n = 1;
    for (const Entry &e : k_table) {
        if (!e.fun) continue;
        t_messlist &m = s_messlist[n++];
        m.sym = gensym(e.name);
        m.fun = e.fun;
        for (int i = 0; i < 8; ++i) m.type[i] = static_cast<char>(e.types[i]);
    }
    t_messlist &any = s_messlist[n++];
    any.sym = gensym("anything");
    any.fun = as_method(qnew_anything);
    any.type[0] = AT_GIMME;
    s_messlist[n].sym = nullptr;
    s_class.messlist = s_messlist;
    s_class.messcount = static_cast<long>(n + 1);
}

} // namespace

extern "C" {

t_class *qnew_getclass(void) { return nullptr; }

void qnew_init(void) {
    if (!s_defined && !qnew_getclass()) {
        qnew_setup();
        s_defined = true;
    }
    // A test may have put its own list in place; only an empty header is
    // filled.
    if (!g_kivo_qnewobj.messlist) {
        g_kivo_qnewobj.messlist = &s_messlist[1];
        g_kivo_qnewobj.magic = KIVO_OBJECT_MAGIC;
    }
    gensym("#N")->thing = &g_kivo_qnewobj;
}

} // extern "C"

/*
 * Objects that act on, or hear from, the patcher that holds them:
 * "pcontrol" (enables, opens, closes and loads patchers), "thispatcher"
 * (forwards scripting and window messages to its own patcher), "active"
 * (window activation), "closebang" (window closed) and "freebang" (patcher
 * freed).
 *
 * Invariants:
 * - pcontrol and thispatcher do their work on the main thread, through the
 *   deferral queues; the queues drop what was queued for an object that is
 *   freed meanwhile.
 * - The cells behind "g_thispatcher_out" and "g_thispatcher_out2" hold a
 *   thispatcher's outlets only while one forwarded message runs; they are
 *   null otherwise.
 * - "#Q" never names a freed thispatcher: freeing unbinds it when it still
 *   names the object.
 */
#include "app/startup.h"
#include "files/loading_internal.h"
#include <vector>

#include "kernel/inout_internal.h"
#include "kernel/obex_internal.h"

namespace {

using kivo::obex::as_method;

t_symbol *sym(const char *s) { return gensym(s); }

void assist_copy(char *dst, const char *text) {
    if (dst) strncpy_zero(dst, text, 512);
}

// ---- pcontrol

struct t_pcontrol {
    t_object ob;
    void *outlet;
    t_object *patcher; // the patcher being built at creation (borrowed)
};

t_class *s_pcontrol_class = nullptr;

// Sends s to every patcher connected to the outlet: the owner of an inlet
// (an object's leftmost inlet is the object itself) of the class of the
// pcontrol's own patcher.
void pcontrol_tell(t_pcontrol *x, t_symbol *s, void *a = nullptr, void *b = nullptr) {
    t_symbol *classname = x->patcher ? object_classname(x->patcher) : sym("jpatcher");
    auto *out = static_cast<t_outlet *>(x->outlet);
    if (!out) return;
    std::vector<t_object *> owners;
    {
        kivo::inout::ReadSection reading;
        for (t_dll *node = kivo::inout::load(out->connections); node; node = kivo::inout::load(node->next)) {
            auto *r = static_cast<t_object *>(node->receiver);
            t_object *owner = inlet_is(r) ? static_cast<t_inlet *>(node->receiver)->owner : r;
            if (owner && owner->magic == KIVO_OBJECT_MAGIC && object_classname_compare(owner, classname))
                owners.push_back(owner);
        }
    }
    // Told after the walk: what a patcher does on hearing it may change
    // the connections.
    for (t_object *owner : owners) object_method(owner, s, a, b);
}

void pcontrol_load(t_symbol *s, short argc, t_atom *argv) {
    if (argc < 1 || !argv || atom_gettype(argv) != AT_SYM) return;
    const char *name = atom_getsym(argv)->name;
    const long show = s != sym("shroud");
    const long once = s == sym("loadunique");
    nameload_unique(name, argc - 1, argv + 1, show, once);
}

// There are no help files in this system: asking for one says so, under
// the help name the class was registered with, if any.
void open_help(t_symbol *classname) {
    char helpname[256];
    if (!nametab_helpname(helpname, classname) || !helpname[0]) strncpy_zero(helpname, classname->name, sizeof helpname);
    error("no help file found for %s", helpname);
}

void pcontrol_run(void *target, t_symbol *s, short argc, t_atom *argv) {
    auto *x = static_cast<t_pcontrol *>(target);
    if (!x || !s) return;
    if (s == sym("enable")) {
        const t_atom_long a = argc > 0 ? atom_getlong(argv) : 0;
        const t_atom_long b = argc > 1 ? atom_getlong(argv + 1) : 0;
        pcontrol_tell(x, sym("setrock"), reinterpret_cast<void *>(static_cast<t_ptr_int>(a)),
                      reinterpret_cast<void *>(static_cast<t_ptr_int>(b)));
    } else if (s == sym("open")) {
        pcontrol_tell(x, sym("dblclick"));
    } else if (s == sym("close")) {
        pcontrol_tell(x, sym("wclose"));
    } else if (s == sym("load") || s == sym("shroud") || s == sym("loadunique")) {
        pcontrol_load(s, argc, argv);
    } else if (s == sym("help")) {
        if (argc > 0 && atom_gettype(argv) == AT_SYM) open_help(atom_getsym(argv));
    }
}

void pcontrol_defer(t_pcontrol *x, t_symbol *s, long argc, t_atom *argv) {
    defer_low(x, pcontrol_run, s, static_cast<short>(argc), argv);
}

void pcontrol_enable(t_pcontrol *x, t_atom_long a, t_atom_long b) {
    t_atom av[2];
    atom_setlong(av, a);
    atom_setlong(av + 1, b);
    pcontrol_defer(x, sym("enable"), 2, av);
}

void pcontrol_help(t_pcontrol *x, t_symbol *name) {
    t_atom a;
    atom_setsym(&a, name);
    pcontrol_defer(x, sym("help"), 1, &a);
}

void pcontrol_assist(t_pcontrol *, void *, long msg, long, char *dst) {
    if (msg == 1) assist_copy(dst, " Control Message to Send to Patcher Window");
    else if (msg == 2) assist_copy(dst, " Connect to Inlet of Patcher to be Controlled");
}

void *pcontrol_new(void) {
    auto *x = static_cast<t_pcontrol *>(object_alloc(s_pcontrol_class));
    if (!x) return nullptr;
    x->patcher = sym("#P")->thing;
    x->outlet = outlet_new(x, nullptr);
    return x;
}

// ---- thispatcher

struct t_thispatcher {
    t_object ob;
    void *out_window; // left: "window" information
    void *out_path;   // right: the path of the patcher's file
    t_object *patcher; // the patcher being built at creation (borrowed)
    short savewindow;
};

t_class *s_thispatcher_class = nullptr;
// The outlets of the thispatcher whose message is running; published
// through the two symbols so that patcher and window code find them.
void *s_out_cell = nullptr;
void *s_out2_cell = nullptr;

void thispatcher_run(void *target, t_symbol *s, short argc, t_atom *argv) {
    auto *x = static_cast<t_thispatcher *>(target);
    if (!x || !s || !x->patcher) return;
    if (s == sym("bgcolor")) s = sym("locked_bgcolor");
    void *saved_out = s_out_cell;
    void *saved_out2 = s_out2_cell;
    s_out_cell = x->out_window;
    s_out2_cell = x->out_path;
    typedmess(x->patcher, s, argc, argv);
    s_out_cell = saved_out;
    s_out2_cell = saved_out2;
}

void thispatcher_anything(t_thispatcher *x, t_symbol *s, long argc, t_atom *argv) {
    if (!s) return;
    const short n = static_cast<short>(argc);
    if (s == sym("replace") || s == sym("patcher") || s == sym("wclose") ||
        (s == sym("window") && sym("#Q")->thing != &x->ob))
        defer_low(x, thispatcher_run, s, n, argv);
    else
        defer_medium(x, thispatcher_run, s, n, argv);
}

void thispatcher_end(t_thispatcher *) { sym("#Q")->thing = nullptr; }

void thispatcher_savewindow(t_thispatcher *x, t_atom_long n) { x->savewindow = n != 0; }

void thispatcher_save(t_thispatcher *x, t_binbuf *b) {
    if (!b) return;
    binbuf_vinsert(b, "ss", sym("#N"), sym("thispatcher"));
    if (x->savewindow) {
        if (x->patcher) object_method(x->patcher, sym("savewindow"), b, sym("#Q"));
        binbuf_vinsert(b, "ssl", sym("#Q"), sym("savewindow"), 1L);
    }
    binbuf_vinsert(b, "ss", sym("#Q"), sym("end"));
}

void thispatcher_assist(t_thispatcher *, void *, long msg, long arg, char *dst) {
    if (msg == 1) assist_copy(dst, " Messages (write,dispose,etc.) to Send to Patcher");
    else if (msg == 2 && arg == 0) assist_copy(dst, " Output From window info Messages");
    else if (msg == 2 && arg == 1) assist_copy(dst, " Pathname If patcher Is a File");
}

void *thispatcher_new(void) {
    auto *x = static_cast<t_thispatcher *>(object_alloc(s_thispatcher_class));
    if (!x) return nullptr;
    x->patcher = sym("#P")->thing;
    x->savewindow = 0;
    x->out_path = outlet_new(x, nullptr);
    x->out_window = outlet_new(x, nullptr);
    // Legacy patcher text addresses its "#Q" lines to the newest one.
    sym("#Q")->thing = &x->ob;
    return x;
}

// A later "#Q" line must not reach a freed object.
void thispatcher_free(t_thispatcher *x) {
    if (sym("#Q")->thing == &x->ob) sym("#Q")->thing = nullptr;
}

// ---- active, closebang, freebang

struct t_bangobject {
    t_object ob;
    void *outlet;
};

t_class *s_active_class = nullptr;
t_class *s_closebang_class = nullptr;
t_class *s_freebang_class = nullptr;

void *active_new(void) {
    auto *x = static_cast<t_bangobject *>(object_alloc(s_active_class));
    if (x) x->outlet = outlet_new(x, "int");
    return x;
}

void active_int(t_bangobject *x, t_atom_long n) { outlet_int(static_cast<t_outlet *>(x->outlet), n != 0); }

void active_assist(t_bangobject *, void *, long msg, long, char *dst) {
    if (msg == 1 || msg == 2) assist_copy(dst, " 1 When Window Active, O When Window Inactive");
}

void *closebang_new(void) {
    auto *x = static_cast<t_bangobject *>(object_alloc(s_closebang_class));
    if (x) x->outlet = outlet_new(x, "bang");
    return x;
}

void *freebang_new(void) {
    auto *x = static_cast<t_bangobject *>(object_alloc(s_freebang_class));
    if (x) x->outlet = outlet_new(x, "bang");
    return x;
}

void bangobject_bang(t_bangobject *x) { outlet_bang(static_cast<t_outlet *>(x->outlet)); }

// The patcher calls this with the symbol "bang".
void closebang_closebang(t_bangobject *x, t_symbol *) { bangobject_bang(x); }

void closebang_assist(t_bangobject *, void *, long msg, long, char *dst) {
    if (msg == 1 || msg == 2) assist_copy(dst, " Sends bang When Patcher Window Is Closed");
}

void freebang_assist(t_bangobject *, void *, long msg, long, char *dst) {
    if (msg == 1 || msg == 2) assist_copy(dst, " Sends bang When Patcher Is Freed");
}

t_class *box_class(const char *name, method maker, long size) {
    return class_new(name, maker, nullptr, size, nullptr, 0);
}

} // namespace

extern "C" {

void active_initclass(void) {
    if (s_active_class) return;
    t_class *c = box_class("active", as_method(active_new), sizeof(t_bangobject));
    if (!c) return;
    class_addmethod(c, as_method(active_int), "int", AT_LONG, 0);
    class_addmethod(c, as_method(active_assist), "assist", AT_CANT, 0);
    class_register(sym("box"), c);
    s_active_class = c;
}

void closebang_initclass(void) {
    if (s_closebang_class) return;
    t_class *c = box_class("closebang", as_method(closebang_new), sizeof(t_bangobject));
    if (!c) return;
    class_addmethod(c, as_method(bangobject_bang), "bang", 0);
    class_addmethod(c, as_method(closebang_closebang), "closebang", AT_CANT, 0);
    class_addmethod(c, as_method(closebang_assist), "assist", AT_CANT, 0);
    class_register(sym("box"), c);
    s_closebang_class = c;
}

void freebang_initclass(void) {
    if (s_freebang_class) return;
    t_class *c = box_class("freebang", as_method(freebang_new), sizeof(t_bangobject));
    if (!c) return;
    class_addmethod(c, as_method(bangobject_bang), "freebang", AT_CANT, 0);
    class_addmethod(c, as_method(freebang_assist), "assist", AT_CANT, 0);
    class_register(sym("box"), c);
    s_freebang_class = c;
}

void pcontrol_initclass(void) {
    if (s_pcontrol_class) return;
    t_class *c = box_class("pcontrol", as_method(pcontrol_new), sizeof(t_pcontrol));
    if (!c) return;
    class_addmethod(c, as_method(pcontrol_enable), "enable", AT_LONG, AT_DEFLONG, 0);
    for (const char *name : {"open", "close", "load", "shroud", "loadunique"})
        class_addmethod(c, as_method(pcontrol_defer), name, AT_GIMME, 0);
    class_addmethod(c, as_method(pcontrol_help), "help", AT_SYM, 0);
    class_addmethod(c, as_method(pcontrol_assist), "assist", AT_CANT, 0);
    class_register(sym("box"), c);
    s_pcontrol_class = c;
}

void thispatcher_initclass(void) {
    if (s_thispatcher_class) return;
    t_class *c = class_new("thispatcher", as_method(thispatcher_new), as_method(thispatcher_free),
                           sizeof(t_thispatcher), nullptr, 0);
    if (!c) return;
    class_addmethod(c, as_method(thispatcher_end), "end", 0);
    class_addmethod(c, as_method(thispatcher_savewindow), "savewindow", AT_LONG, 0);
    class_addmethod(c, as_method(thispatcher_save), "save", AT_CANT, 0);
    class_addmethod(c, as_method(thispatcher_assist), "assist", AT_CANT, 0);
    class_addmethod(c, as_method(thispatcher_anything), "anything", AT_GIMME, 0);
    class_register(sym("box"), c);
    s_thispatcher_class = c;
    sym("g_thispatcher_out")->thing = reinterpret_cast<t_object *>(&s_out_cell);
    sym("g_thispatcher_out2")->thing = reinterpret_cast<t_object *>(&s_out2_cell);
}

} // extern "C"

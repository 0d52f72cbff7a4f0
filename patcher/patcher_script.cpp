/*
 * The patcher's "script" message: patches make, name, connect, move,
 * message and delete the boxes of a patcher by their scripting names.
 *
 *   script [hidden] <subcommand> <atoms...>
 *
 * Names are looked up in the receiving patcher only. A subcommand that is
 * unknown, has atoms of the wrong types or names no box does nothing and
 * says nothing; the cord subcommands and "new" report what went wrong.
 *
 * Invariants:
 * - "new" restores the binding of "#P" and the patcher's hidden-creation
 *   flag on every exit, so scripts run from inside other creation work see
 *   their own patcher again.
 * - "replace" ends the new-object log only when it began it.
 *
 * Main thread only.
 */
#include "patcher/patcher_script.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "boxes/boxgeom_internal.h"
#include "boxes/jbox_internal.h"
#include "boxes/jpatchline.h"
#include "kernel/interned.h"
#include "kernel/obex_internal.h"
#include "kivo/class.h"
#include "kivo/dictionary.h"
#include "kivo/dispatch.h"
#include "kivo/inout.h"
#include "kivo/msgtext.h"
#include "kivo/newobject.h"
#include "kivo/post.h"
#include "kivo/sysmem.h"
#include "patcher/jpatcher.h"
#include "patcher/patcher_edit.h"
#include "patcher/patcher_model.h"
#include "patcher/patcher_writer.h"

namespace {

using kivo::obex::as_method;

// Creation text of "newdefault", as newobject_sprintf reads it.
constexpr std::size_t kCreationTextMax = 4096;
// "sendpatchline" passes the cord's four atoms and at most this many of
// the message.
constexpr long kPatchlineMessageMax = 252;

struct Script {
    t_jpatcher *x;
    t_object *p;
    bool hidden;
    long argc;    // atoms after the subcommand
    t_atom *argv;
};

bool valid(const Script &s, std::initializer_list<long> types) {
    return jpatcher_script_validate_args(s.argc, s.argv, static_cast<long>(types.size()), types.begin()) != 0;
}

t_symbol *sym_at(const Script &s, long i) { return atom_getsym(s.argv + i); }
long long_at(const Script &s, long i) { return static_cast<long>(atom_getlong(s.argv + i)); }

t_object *named(const Script &s, long i) { return jpatcher_getnamedbox(s.p, sym_at(s, i)); }

// The atoms as one text, as a box shows them; "" when there are none.
std::string text_of(long argc, const t_atom *argv) {
    if (argc <= 0 || !argv) return {};
    long size = 0;
    char *text = nullptr;
    if (atom_gettext(argc, argv, &size, &text, 0) != KIVO_ERR_NONE || !text) return {};
    std::string out(text);
    sysmem_freeptr(text);
    return out;
}

bool atoms_equal(const t_atom *a, const t_atom *b) {
    if (atom_gettype(a) != atom_gettype(b)) return false;
    switch (atom_gettype(a)) {
    case AT_LONG: return atom_getlong(a) == atom_getlong(b);
    case AT_FLOAT: return atom_getfloat(a) == atom_getfloat(b);
    case AT_SYM: return atom_getsym(a) == atom_getsym(b);
    case AT_OBJ: return atom_getobj(a) == atom_getobj(b);
    default: return true;
    }
}

t_symbol *held_class(t_object *box) {
    t_object *obj = jbox_get_object(box);
    return obj ? object_classname(obj) : nullptr;
}

// ---- box creation

// Sends the patcher the creation message (the second atom) with the atoms
// after it; rv receives what the message answers, if anything. A message
// the patcher does not know goes the ordinary way, so that it is reported
// as any unknown message is.
void send_creation(const Script &s, t_atom *rv) {
    atom_setobj(rv, nullptr);
    t_symbol *message = sym_at(s, 1);
    const long argc = s.argc - 2;
    t_atom *argv = s.argv + 2;
    if (object_getmethod(s.p, message))
        object_method_typed(s.p, message, argc, argv, rv);
    else
        typedmess(s.p, message, static_cast<short>(std::min<long>(argc, 32767)), argv);
}

void script_new(const Script &s) {
    if (!valid(s, {AT_SYM, AT_SYM})) return;
    t_symbol *name = sym_at(s, 0);
    t_symbol *pound_p = KSYM("#P"), *newest = KSYM("g_kivo_newest_box");
    const long saved_hidden = s.x->hidden_creation;
    t_object *saved_p = pound_p->thing;
    newest->thing = nullptr;
    if (s.hidden) s.x->hidden_creation = 1;
    pound_p->thing = s.p;
    t_atom rv;
    send_creation(s, &rv);
    pound_p->thing = saved_p;
    s.x->hidden_creation = saved_hidden;

    t_object *made = atom_gettype(&rv) == AT_OBJ ? static_cast<t_object *>(atom_getobj(&rv)) : nullptr;
    if (!made) made = newest->thing;
    if (!made) return;
    // Only a box of this patcher can take a scripting name.
    t_jbox *b = jbox_cast(made);
    if (!b || b->b_patcher != s.p) {
        object_error(s.p, "instantiating object via scripting: name=%s", name->name);
        return;
    }
    jpatcher_forceboxname(s.p, made, name);
}

void script_newobject(const Script &s) {
    if (!valid(s, {AT_SYM})) return;
    std::string text = text_of(s.argc, s.argv);
    newobject_fromboxtext(s.p, text.c_str());
}

// Appends the text, escaping double quotes and backslashes, as far as
// `room` characters allow; an escape is never split from its character.
void append_quoted(std::string &out, const std::string &text, std::size_t room) {
    for (char c : text) {
        const bool escape = c == '"' || c == '\\';
        if (out.size() + (escape ? 2 : 1) > room) break;
        if (escape) out += '\\';
        out += c;
    }
}

void script_newdefault(const Script &s) {
    long rest = 1; // where the class begins
    bool position = false;
    if (valid(s, {AT_SYM, AT_LONG, AT_LONG, AT_SYM}) || valid(s, {AT_SYM, AT_FLOAT, AT_FLOAT, AT_SYM})) {
        position = true;
        rest = 3;
    } else if (!valid(s, {AT_SYM, AT_SYM})) {
        return;
    }
    char head[1200];
    int n = std::snprintf(head, sizeof head, "@kivoclass newobj @varname %s @hidden %d", sym_at(s, 0)->name,
                          s.hidden ? 1 : 0);
    if (n < 0) return;
    std::string text(head, std::min<std::size_t>(static_cast<std::size_t>(n), sizeof head - 1));
    if (position) {
        std::snprintf(head, sizeof head, " @patching_position %f %f", atom_getfloat(s.argv + 1),
                      atom_getfloat(s.argv + 2));
        text += head;
    }
    // The head, cut to the buffer above, leaves room for " @text \"", and
    // the closing quote and the terminator always fit.
    text += " @text \"";
    append_quoted(text, text_of(s.argc - rest, s.argv + rest), kCreationTextMax - 2);
    text += '"';
    newobject_sprintf(s.p, "%s", text.c_str());
}

// ---- naming found boxes

void script_class(const Script &s) {
    if (!valid(s, {AT_SYM, AT_SYM})) return;
    t_symbol *cls = sym_at(s, 1);
    const long want = s.argc - 1; // the class and its arguments
    t_object *found = nullptr;
    jpatcher_each(s.x->boxes, [&](t_object *box) {
        if (held_class(box) != cls) return false;
        t_jbox *b = jbox_cast(box);
        t_atombuf *text = b ? b->b_text : nullptr;
        if (!text || text->a_argc != want) return false;
        for (long i = 0; i < want; ++i)
            if (!atoms_equal(text->a_argv + i, s.argv + 1 + i)) return false;
        found = box;
        return true;
    });
    if (found) jpatcher_forceboxname(s.p, found, sym_at(s, 0));
}

void script_nth(const Script &s) {
    if (!valid(s, {AT_SYM, AT_SYM, AT_LONG})) return;
    t_symbol *cls = sym_at(s, 1);
    long left = long_at(s, 2);
    if (left < 1) return;
    t_object *found = nullptr;
    jpatcher_each(s.x->boxes, [&](t_object *box) {
        if (held_class(box) == cls && --left == 0) found = box;
        return found != nullptr;
    });
    if (found) jpatcher_forceboxname(s.p, found, sym_at(s, 0));
}

// ---- cords

void notify_outlet(t_object *from, long outlet) {
    auto *o = static_cast<t_outlet *>(jbox_getoutlet(jbox_cast(from), outlet));
    if (o)
        outlet_notify(o);
    else
        object_error(jbox_get_patcher(from), "script connect: NULL outlet returned");
}

void script_connect(const Script &s, bool with_colour) {
    if (with_colour ? !valid(s, {AT_SYM, AT_LONG, AT_SYM, AT_LONG, AT_LONG}) : !valid(s, {AT_SYM, AT_LONG, AT_SYM, AT_LONG}))
        return;
    t_object *from = named(s, 0), *to = named(s, 2);
    if (!from || !to) return;
    const long outlet = long_at(s, 1), inlet = long_at(s, 3);
    const bool exists = jpatcher_getpatchline(s.p, from, outlet, to, inlet) != nullptr;
    if (outlet < 0 || inlet < 0 || !jbox_outletcanconnecttoinlet(jbox_cast(to), jbox_cast(from), outlet, inlet)) {
        if (!exists)
            post("script connect: can't make connection (%s %ld -> %s %ld)", sym_at(s, 0)->name, outlet,
                 sym_at(s, 2)->name, inlet);
        return;
    }
    // A negative colour hides the cord, as the patcher's "connect" has it.
    const long colour = with_colour ? long_at(s, 4) : 0;
    const bool hidden = with_colour ? colour < 0 : s.hidden || s.x->hidden_creation;
    if (jpatcher_connectobj(s.p, from, outlet, to, inlet, hidden ? 0 : colour, hidden ? 1 : 0) == 0)
        notify_outlet(from, outlet);
}

void script_disconnect(const Script &s) {
    if (!valid(s, {AT_SYM, AT_LONG, AT_SYM, AT_LONG})) return;
    t_object *from = named(s, 0), *to = named(s, 2);
    if (!from || !to) return;
    const long outlet = long_at(s, 1), inlet = long_at(s, 3);
    t_atom av[4];
    atom_setobj(av, from);
    atom_setlong(av + 1, outlet);
    atom_setobj(av + 2, to);
    atom_setlong(av + 3, inlet);
    if (jpatcher_disconnect(s.p, KSYM("disconnect"), 4, av) != 0) {
        object_error(s.p, "script disconnect: connection not found");
        return;
    }
    notify_outlet(from, outlet);
}

void script_sendpatchline(const Script &s) {
    if (!valid(s, {AT_SYM, AT_LONG, AT_SYM, AT_LONG})) return;
    t_object *from = named(s, 0), *to = named(s, 2);
    if (!from || !to) return;
    const long message = std::min(s.argc - 4, kPatchlineMessageMax);
    std::vector<t_atom> av(static_cast<std::size_t>(4 + message));
    atom_setobj(&av[0], from);
    av[1] = s.argv[1];
    atom_setobj(&av[2], to);
    av[3] = s.argv[3];
    std::copy(s.argv + 4, s.argv + 4 + message, av.begin() + 4);
    jpatcher_sendpatchline(s.p, KSYM("sendpatchline"), static_cast<long>(av.size()), av.data());
}

// ---- one named box

void script_delete(const Script &s) {
    if (!valid(s, {AT_SYM})) return;
    t_object *box = named(s, 0);
    if (!box) return;
    jbox_set_varname(box, gensym(""));
    jpatcher_deleteobj(s.p, box);
}

void script_send(const Script &s, bool to_box) {
    if (!valid(s, {AT_SYM})) return;
    t_object *box = named(s, 0);
    if (!box) return;
    jpatcher_sendmessage(to_box ? box : jbox_get_object(box), s.argc - 1, s.argv + 1);
}

void move_to(t_object *box, double x, double y) {
    t_pt where{x, y};
    jbox_set_patching_position(box, &where);
}

void script_move(const Script &s, bool relative) {
    if (!valid(s, {AT_SYM, AT_LONG, AT_LONG})) return;
    t_object *box = named(s, 0);
    if (!box) return;
    double x = static_cast<double>(long_at(s, 1)), y = static_cast<double>(long_at(s, 2));
    if (relative) {
        t_rect r{};
        jbox_get_patching_rect(box, &r);
        x += r.x;
        y += r.y;
    }
    move_to(box, x, y);
}

void script_flag(const Script &s, t_kivo_err (*set)(t_object *, char), char value) {
    if (!valid(s, {AT_SYM})) return;
    if (t_object *box = named(s, 0)) set(box, value);
}

void script_order(const Script &s, bool front) {
    if (!valid(s, {AT_SYM})) return;
    t_jbox *b = jbox_cast(named(s, 0));
    if (!b) return;
    if (front)
        jbox_bringtofront(b);
    else
        jbox_sendtoback(b);
}

void script_background(const Script &s) {
    if (!valid(s, {AT_SYM, AT_LONG})) return;
    if (t_object *box = named(s, 0)) jbox_set_background(box, long_at(s, 1) ? 1 : 0);
}

void script_size(const Script &s) {
    if (!valid(s, {AT_SYM, AT_LONG, AT_LONG})) return;
    t_object *box = named(s, 0);
    if (!box) return;
    t_size size{static_cast<double>(long_at(s, 1)), static_cast<double>(long_at(s, 2))};
    jbox_set_patching_size(box, &size);
}

void script_offsetfrom(const Script &s) {
    if (!valid(s, {AT_SYM, AT_SYM, AT_LONG, AT_LONG, AT_LONG})) return;
    t_object *box = named(s, 0), *other = named(s, 1);
    if (!box || !other) return;
    t_rect r{};
    jbox_get_patching_rect(other, &r);
    double x = r.x, y = r.y;
    if (long_at(s, 2)) {
        x += r.width;
        y += r.height;
    }
    move_to(box, x + static_cast<double>(long_at(s, 3)), y + static_cast<double>(long_at(s, 4)));
}

void script_replace(const Script &s) {
    if (!valid(s, {AT_SYM, AT_SYM})) return;
    t_symbol *name = sym_at(s, 0);
    t_object *old = named(s, 0);
    if (!old) return;
    const bool logging = s.x->newobject_log == nullptr;
    if (logging) jpatcher_beginlognewobjects(s.p);
    t_atom rv;
    send_creation(s, &rv);
    long count = 0;
    t_atom *made = nullptr;
    if (!jpatcher_getnewobjects(s.p, &count, &made) && count > 0) {
        auto *first = static_cast<t_object *>(atom_getobj(made));
        jbox_set_varname(old, gensym(""));
        jbox_set_varname(first, name);
        t_dictionary *d = dictionary_new();
        if (d) {
            jpatcher_box_pushtemp(s.p);
            jpatcher_box_cleartemp(s.p);
            for (long i = 0; i < count; ++i) jpatcher_box_settemp(s.p, static_cast<t_object *>(atom_getobj(made + i)), 1);
            jpatcher_doappendboxestodictionary(s.p, d, 1);
            jpatcher_box_poptemp(s.p);
            object_free(first);
            t_atom av[2];
            atom_setobj(av, d);
            atom_setobj(av + 1, old);
            jpatcher_replace(s.p, KSYM("replace"), 2, av);
            object_free(d);
        }
    }
    if (made) sysmem_freeptr(made);
    if (logging) jpatcher_endlognewobjects(s.p);
}

struct Subcommand {
    const char *name;
    void (*run)(const Script &);
};

const Subcommand k_subcommands[] = {
    {"new", script_new},
    {"newobject", script_newobject},
    {"newdefault", script_newdefault},
    {"class", script_class},
    {"nth", script_nth},
    {"connect", [](const Script &s) { script_connect(s, false); }},
    {"connectcolor", [](const Script &s) { script_connect(s, true); }},
    {"disconnect", script_disconnect},
    {"sendpatchline", script_sendpatchline},
    {"delete", script_delete},
    {"send", [](const Script &s) { script_send(s, false); }},
    {"sendbox", [](const Script &s) { script_send(s, true); }},
    {"move", [](const Script &s) { script_move(s, false); }},
    {"offset", [](const Script &s) { script_move(s, true); }},
    {"hide", [](const Script &s) { script_flag(s, jbox_set_hidden, 1); }},
    {"show", [](const Script &s) { script_flag(s, jbox_set_hidden, 0); }},
    {"ignoreclick", [](const Script &s) { script_flag(s, jbox_set_ignoreclick, 1); }},
    {"respondtoclick", [](const Script &s) { script_flag(s, jbox_set_ignoreclick, 0); }},
    {"bringtofront", [](const Script &s) { script_order(s, true); }},
    {"sendtoback", [](const Script &s) { script_order(s, false); }},
    {"background", script_background},
    {"size", script_size},
    {"offsetfrom", script_offsetfrom},
    {"replace", script_replace},
};

// ---- messages

void script_msg(t_object *p, t_symbol *s, long argc, t_atom *argv) { jpatcher_script(p, s, argc, argv); }

t_object *getnamedbox_msg(t_object *p, t_symbol *name) { return jpatcher_getnamedbox(p, name); }

t_kivo_err getboxnames_msg(t_object *p, long *count, t_symbol ***names) {
    return jpatcher_getboxnames(p, count, names);
}

} // namespace

extern "C" {

long jpatcher_script_validate_args(long argc, const t_atom *argv, long required, const long *types) {
    if (argc < required || (required > 0 && (!argv || !types))) return 0;
    for (long i = 0; i < required; ++i)
        if (atom_gettype(argv + i) != types[i]) return 0;
    return 1;
}

void jpatcher_sendmessage(t_object *target, long argc, t_atom *argv) {
    if (!target || argc <= 0 || !argv) return;
    const short n = static_cast<short>(std::min<long>(argc, 32767));
    switch (atom_gettype(argv)) {
    case AT_LONG: typedmess(target, n == 1 ? KSYM("int") : KSYM("list"), n, argv); break;
    case AT_FLOAT: typedmess(target, n == 1 ? KSYM("float") : KSYM("list"), n, argv); break;
    case AT_SYM: typedmess(target, atom_getsym(argv), static_cast<short>(n - 1), argv + 1); break;
    default: break;
    }
}

void jpatcher_script(t_object *p, t_symbol *, long argc, t_atom *argv) {
    t_jpatcher *x = jpatcher_cast(p);
    if (!x || argc < 1 || !argv || atom_gettype(argv) != AT_SYM) return;
    Script s{x, p, false, argc - 1, argv + 1};
    t_symbol *sub = atom_getsym(argv);
    if (sub == KSYM("hidden")) {
        if (s.argc < 1 || atom_gettype(s.argv) != AT_SYM) return;
        sub = atom_getsym(s.argv);
        s.hidden = true;
        --s.argc;
        ++s.argv;
    }
    for (const Subcommand &c : k_subcommands) {
        if (sub == gensym(c.name)) {
            c.run(s);
            return;
        }
    }
}

void jpatcher_script_addmethods(t_class *c) {
    if (!c) return;
    class_addmethod(c, as_method(script_msg), "script", AT_GIMME, 0);
    class_addmethod(c, as_method(getboxnames_msg), "getboxnames", AT_CANT, 0);
    class_addmethod(c, as_method(getnamedbox_msg), "getnamedbox", AT_CANT, 0);
}

} // extern "C"

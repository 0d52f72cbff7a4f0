/*
 * The objects that connect a patch to the console and the keyboard:
 * "print" (every message becomes a console line), "error" (console errors
 * become messages), "key" and "keyup" (typed and released keys).
 *
 * Invariants:
 * - A print object's text never exceeds 2,047 characters; its popup text
 *   and qelem exist exactly while its popup flag is on (the text only after
 *   the first message).
 * - Each subscriber node of s_error_subscribers is owned by the list; an
 *   error object is on it once while listening and not at all otherwise.
 * - Errors raised while the subscribers are being served are not offered
 *   to them again, so a listener whose output errors cannot recurse.
 * - The key and keyup master outlets belong to no object; they are made by
 *   the first object of their class and live until the process ends. Each
 *   object's outlets are connected to them while the object lives.
 *
 * print runs on any thread (the console queue is thread-safe); error
 * listening runs on the thread that posts; keys on the main thread.
 */
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "kernel/obex_internal.h"
#include "app/startup.h"
#include "kivo/consoleobjects.h"
#include "objects/console_internal.h"
#include "tools/post_internal.h"

namespace {

using kivo::obex::as_method;

constexpr std::size_t kTextMax = 2047; // characters of one print line
constexpr long kErrorAtoms = 256;

t_symbol *sym(const char *s) { return gensym(s); }

void assist_copy(char *dst, const char *text) {
    if (dst) strncpy_zero(dst, text, 512);
}

// ---- print

struct t_print {
    t_object ob;
    t_atom name;
    char popup;          // the "popup" attribute
    void *popupwindow;   // made on demand; no window layer draws it yet
    char *popuptext;     // owned; the last text while the popup is on
    t_qelem *qelem;      // owned; shows the popup on the main thread
};

t_class *s_print_class = nullptr;

// The atoms as display text, symbols bare, cut to `limit` characters.
std::string atoms_text(long argc, t_atom *argv, std::size_t limit) {
    if (argc <= 0 || !argv) return {};
    std::string out(limit + 1, '\0');
    char *text = out.data();
    long size = static_cast<long>(limit + 1);
    if (atom_gettext(argc, argv, &size, &text, KIVO_GETTEXT_PLAIN) != KIVO_ERR_NONE) return {};
    out.resize(std::strlen(out.c_str()));
    return out;
}

void print_popup_qfn(t_print *x) {
    // The popup bubble is drawn over the box in the patcher's first view;
    // without a view (or a window layer) there is nothing to show it in.
    t_object *box = nullptr;
    t_object *patcher = nullptr;
    object_obex_lookup(x, sym("#B"), &box);
    object_obex_lookup(x, sym("#P"), &patcher);
    (void)box;
    (void)patcher;
}

void print_emit(t_print *x, const std::string &text) {
    object_post(&x->ob, "%s", text.c_str());
    if (!x->popup) return;
    char *copy = static_cast<char *>(sysmem_newptr(static_cast<t_ptr_size>(text.size() + 1)));
    if (!copy) return;
    std::memcpy(copy, text.c_str(), text.size() + 1);
    if (x->popuptext) sysmem_freeptr(x->popuptext);
    x->popuptext = copy;
    if (x->qelem) qelem_set(x->qelem);
}

void print_bang(t_print *x) { print_emit(x, "bang"); }

void print_int(t_print *x, t_atom_long n) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%" PRId64, static_cast<int64_t>(n));
    print_emit(x, buf);
}

void print_float(t_print *x, double f) {
    char buf[400];
    std::snprintf(buf, sizeof buf, "%f", f);
    print_emit(x, buf);
}

void print_list(t_print *x, t_symbol *, long argc, t_atom *argv) {
    print_emit(x, atoms_text(argc, argv, kTextMax));
}

void print_anything(t_print *x, t_symbol *s, long argc, t_atom *argv) {
    const char *selector = s ? s->name : "";
    const std::size_t length = std::strlen(selector);
    if (length >= kTextMax) {
        print_emit(x, std::string(selector, kTextMax));
        return;
    }
    std::string text(selector);
    text += ' ';
    text += atoms_text(argc, argv, kTextMax - 1 - length);
    print_emit(x, text);
}

void print_dblclick(t_print *) { post_show(); }

void print_postname(t_print *x, t_symbol **name) {
    if (!name) return;
    char buf[64];
    switch (atom_gettype(&x->name)) {
    case AT_LONG:
        std::snprintf(buf, sizeof buf, "%" PRId64, static_cast<int64_t>(atom_getlong(&x->name)));
        *name = gensym(buf);
        return;
    case AT_FLOAT:
        std::snprintf(buf, sizeof buf, "%.2f", atom_getfloat(&x->name));
        *name = gensym(buf);
        return;
    case AT_SYM: {
        t_symbol *s = atom_getsym(&x->name);
        *name = s == sym("print") ? gensym("") : s;
        return;
    }
    default:
        *name = gensym("");
        return;
    }
}

void print_assist(t_print *, void *, long msg, long, char *dst) {
    // No translation table exists; the text is its own translation.
    if (msg == 1) assist_copy(dst, " Anything to be Printed in Kivo Window");
}

t_kivo_err print_popup_set(t_print *x, void *, long argc, t_atom *argv) {
    const bool on = argc > 0 && argv && atom_getlong(argv) != 0;
    if (on && !x->popup) {
        x->popup = 1;
        // The window handle stands for the bubble the window layer draws.
        if (!x->popupwindow) x->popupwindow = x;
        if (!x->qelem) x->qelem = qelem_new(x, as_method(print_popup_qfn));
    } else if (!on && x->popup) {
        x->popup = 0;
        x->popupwindow = nullptr;
        if (x->qelem) qelem_free(x->qelem);
        x->qelem = nullptr;
    }
    return KIVO_ERR_NONE;
}

void *print_new(t_symbol *, long argc, t_atom *argv) {
    auto *x = static_cast<t_print *>(object_alloc(s_print_class));
    if (!x) return nullptr;
    const long plain = attr_args_offset(static_cast<short>(argc), argv);
    if (plain > 0)
        x->name = argv[0];
    else
        atom_setsym(&x->name, sym("print"));
    x->popup = 0;
    x->popupwindow = nullptr;
    x->popuptext = nullptr;
    x->qelem = nullptr;
    attr_args_process(x, static_cast<short>(argc), argv);
    return x;
}

void print_free(t_print *x) {
    if (x->qelem) qelem_free(x->qelem);
    x->qelem = nullptr;
    if (x->popuptext) sysmem_freeptr(x->popuptext);
    x->popuptext = nullptr;
    x->popupwindow = nullptr;
}

// ---- error

struct t_error {
    t_object ob;
    void *outlet;
    long listening;
};

struct Subscriber {
    t_object *object;
    Subscriber *next;
};

t_class *s_error_class = nullptr;
Subscriber *s_error_subscribers = nullptr; // newest first
thread_local int t_dispatching = 0;

void error_listen(t_error *x, t_atom_long n) {
    const long on = n != 0;
    if (on == x->listening) return;
    x->listening = on;
    if (on)
        error_subscribe(&x->ob);
    else
        error_unsubscribe(&x->ob);
}

void error_float(t_error *x, double f) { error_listen(x, static_cast<t_atom_long>(f)); }

void error_error(t_error *x, t_symbol *s, long argc, t_atom *argv) {
    outlet_anything(static_cast<t_outlet *>(x->outlet), s ? s : sym("error"), static_cast<short>(argc), argv);
}

void error_assist(t_error *, void *, long msg, long, char *dst) {
    if (msg == 1) assist_copy(dst, " 1 Turns Error Listening On, 0 Turns It Off");
    else if (msg == 2) assist_copy(dst, " Error Message Output");
}

void *error_new(t_symbol *, long argc, t_atom *argv) {
    auto *x = static_cast<t_error *>(object_alloc(s_error_class));
    if (!x) return nullptr;
    x->outlet = outlet_new(x, nullptr);
    x->listening = 0;
    if (argc > 0 && argv && (atom_gettype(argv) == AT_LONG || atom_gettype(argv) == AT_FLOAT))
        error_listen(x, atom_getlong(argv));
    return x;
}

void error_free(t_error *x) {
    if (x->listening) error_unsubscribe(&x->ob);
    x->listening = 0;
}

// ---- key and keyup

struct t_key {
    t_object ob;
    void *out[4]; // character, platform code, modifiers, portable code
};

struct KeyClass {
    const char *name;
    const char *listener;
    const char *verb; // "Pressed" or "Released"
    t_class *c;
    t_outlet *masters[4]; // same order as t_key::out; null until the first object
};

KeyClass s_keys[2] = {{"key", "##keylistener##", "Pressed", nullptr, {}},
                      {"keyup", "##keyuplistener##", "Released", nullptr, {}}};

KeyClass *key_class_of(t_object *x) {
    t_class *c = object_class(x);
    for (KeyClass &k : s_keys)
        if (k.c == c) return &k;
    return nullptr;
}

void *key_make(KeyClass &k) {
    auto *x = static_cast<t_key *>(object_alloc(k.c));
    if (!x) return nullptr;
    // Right to left: the first outlet made is the rightmost.
    for (int i = 3; i >= 0; --i) x->out[i] = outlet_new(x, "int");
    if (!k.masters[0]) {
        for (t_outlet *&m : k.masters) m = c_outlet_new(nullptr, sym("int"));
    }
    for (int i = 0; i < 4; ++i)
        if (k.masters[i] && x->out[i]) outlet_add(k.masters[i], x->out[i]);
    return x;
}

void *key_new(void) { return key_make(s_keys[0]); }
void *keyup_new(void) { return key_make(s_keys[1]); }

void key_free(t_key *x) {
    KeyClass *k = key_class_of(&x->ob);
    if (!k) return;
    for (int i = 0; i < 4; ++i)
        if (k->masters[i] && x->out[i]) outlet_rm(k->masters[i], x->out[i]);
}

long key_keyboard(t_key *) { return 1; }

void key_assist(t_key *x, void *, long msg, long arg, char *dst) {
    KeyClass *k = key_class_of(&x->ob);
    if (!k || msg != 2 || arg < 0 || arg > 3) return;
    static const char *const what[] = {"ASCII Code of Key %s", "Platform-Specific Keyboard Code of Key %s",
                                       "Modifier Keys of Key %s",
                                       "Platform-Independent Keyboard Code of Key %s"};
    if (dst) snprintf_zero(dst, 512, what[arg], k->verb);
}

void key_initclass_of(KeyClass &k, method maker) {
    if (k.c) return;
    t_class *c = class_new(k.name, maker, as_method(key_free), sizeof(t_key), nullptr, 0);
    if (!c) return;
    // "(keyboard)" is listed in the documentation of the class.
    class_sticky_method_long(c, "documentable", 1);
    class_addmethod(c, as_method(key_keyboard), "(keyboard)", AT_CANT, 0);
    class_sticky_clear(c, sym("sticky_method"), sym("documentable"));
    class_addmethod(c, as_method(key_assist), "assist", AT_CANT, 0);
    class_setnoinlet(c);
    class_register(sym("box"), c);
    k.c = c;
}

// The classic modifier bits from the application's modifier word.
long classic_modifiers(long modifiers) {
    long out = 0;
    if (modifiers & 0x1) out |= 0x100;  // command
    if (modifiers & 0x2) out |= 0x200;  // shift
    if (modifiers & 0x4) out |= 0x1000; // control
    if (modifiers & 0x8) out |= 0x800;  // option
    if (modifiers & 0x100) out |= 0x400; // caps lock
    return out;
}

long key_distribute(KeyClass &k, long key, long code, long modifiers, long portable) {
    if (t_object *listener = sym(k.listener)->thing)
        reinterpret_cast<t_kivo_keylistener>(reinterpret_cast<void (*)()>(listener))(key, code, modifiers, portable);
    if (!k.masters[0]) return 0;
    if (modifiers & 0x200) return 1;
    outlet_int(k.masters[3], portable);
    outlet_int(k.masters[2], classic_modifiers(modifiers));
    if (code != -1) outlet_int(k.masters[1], code);
    if (key != 0) outlet_int(k.masters[0], key);
    return 1;
}

} // namespace

extern "C" {

// ---- print

void print_initclass(void) {
    if (s_print_class) return;
    t_class *c = class_new("print", as_method(print_new), as_method(print_free), sizeof(t_print), nullptr,
                           AT_GIMME, 0);
    if (!c) return;
    class_addmethod(c, as_method(print_bang), "bang", 0);
    class_addmethod(c, as_method(print_int), "int", AT_LONG, 0);
    class_addmethod(c, as_method(print_float), "float", AT_FLOAT, 0);
    class_addmethod(c, as_method(print_list), "list", AT_GIMME, 0);
    class_addmethod(c, as_method(print_anything), "anything", AT_GIMME, 0);
    class_addmethod(c, as_method(print_dblclick), "dblclick", AT_CANT, 0);
    class_addmethod(c, as_method(print_postname), "postname", AT_CANT, 0);
    class_addmethod(c, as_method(print_assist), "assist", AT_CANT, 0);
    if (t_object *attr = attr_offset_new("popup", sym("char"), 0, nullptr, as_method(print_popup_set),
                                         static_cast<long>(offsetof(t_print, popup)))) {
        if (class_addattr(c, attr) != KIVO_ERR_NONE) {
            object_free(attr);
        } else {
            class_attr_addattr_parse(c, "popup", "default", sym("long"), 0, "0");
            class_attr_addattr_parse(c, "popup", "style", sym("symbol"), 0, "onoff");
            class_attr_addattr_format(c, "popup", "label", sym("symbol"), 0, "s",
                                      sym("Popup When Message Received"));
            class_attr_addattr_parse(c, "popup", "basic", sym("long"), 0, "1");
            class_attr_addattr_parse(c, "popup", "category", sym("symbol"), 0, "Behavior");
        }
    }
    class_register(sym("box"), c);
    s_print_class = c;
}

const char *print_popuptext(t_object *x) {
    if (!x || object_class(x) != s_print_class) return nullptr;
    return reinterpret_cast<t_print *>(x)->popuptext;
}

long print_haspopup(t_object *x) {
    if (!x || object_class(x) != s_print_class) return 0;
    auto *p = reinterpret_cast<t_print *>(x);
    return p->popupwindow && p->qelem ? 1 : 0;
}

// ---- error

void error_initclass(void) {
    if (s_error_class) return;
    t_class *c = class_new("error", as_method(error_new), as_method(error_free), sizeof(t_error), nullptr,
                           AT_GIMME, 0);
    if (!c) return;
    class_addmethod(c, as_method(error_listen), "int", AT_LONG, 0);
    class_addmethod(c, as_method(error_float), "float", AT_FLOAT, 0);
    class_addmethod(c, as_method(error_error), "error", AT_GIMME, 0);
    class_addmethod(c, as_method(error_assist), "assist", AT_CANT, 0);
    class_register(sym("box"), c);
    s_error_class = c;
}

void error_subscribe(t_object *x) {
    if (!x) return;
    auto *node = static_cast<Subscriber *>(static_cast<void *>(sysmem_newptr(sizeof(Subscriber))));
    if (!node) return;
    node->object = x;
    node->next = s_error_subscribers;
    s_error_subscribers = node;
}

void error_unsubscribe(t_object *x) {
    for (Subscriber **p = &s_error_subscribers; *p; p = &(*p)->next) {
        if ((*p)->object == x) {
            Subscriber *gone = *p;
            *p = gone->next;
            sysmem_freeptr(gone);
            return;
        }
    }
}

void error_dispatch(t_object *source, const char *text) {
    if (!s_error_subscribers || t_dispatching) return;
    t_atom atoms[kErrorAtoms];
    long n = 0;
    if (source) {
        char prefix[256];
        snprintf_zero(prefix, sizeof prefix, "%s:", kivo::post::postrow_refname(source)->name);
        atom_setsym(&atoms[0], gensym(prefix));
        n = 1;
    }
    // Words past the buffer are dropped.
    long count = kErrorAtoms - n;
    t_atom *rest = atoms + n;
    atom_setparse(&count, &rest, text ? text : "");
    n += count;
    ++t_dispatching;
    for (Subscriber *s = s_error_subscribers; s;) {
        // A subscriber may unsubscribe itself while it is served.
        Subscriber *next = s->next;
        typedmess(s->object, sym("error"), static_cast<short>(n), atoms);
        s = next;
    }
    --t_dispatching;
}

// ---- key and keyup

void key_initclass(void) { key_initclass_of(s_keys[0], as_method(key_new)); }

void keyup_initclass(void) { key_initclass_of(s_keys[1], as_method(keyup_new)); }

long kivo_unicodekeydown(long key, long code, long modifiers, long portable) {
    return key_distribute(s_keys[0], key, code, modifiers, portable);
}

long kivo_unicodekeyup(long key, long code, long modifiers, long portable) {
    return key_distribute(s_keys[1], key, code, modifiers, portable);
}

} // extern "C"

/*
 * The legacy utilities: box colours and their preference file, the fixed
 * palette, named connections, key and mouse state, the unique tick count,
 * the class catalogue and the retired entry points.
 *
 * State, all used from the main thread only (UniqueTickCount aside):
 *  - s_boxcolors: 16 entries; entry 0 is never changed after start.
 *  - connection objects: one per name, bound to "<name>.connect" as the
 *    symbol's thing while it lives; it lives while it has a server or
 *    clients. The clients chain themselves through their own successor
 *    fields; the connection holds the head and the walking function.
 *  - s_categories: category records sorted by name without regard to case,
 *    each with its class names sorted the same way. Never freed.
 *
 * The box colour file keeps one message per entry, "kivo boxcolor index r
 * g b 0;", with the high byte of each component; reading it back goes
 * through the application object's "boxcolor" rule (low byte times 256),
 * so a round trip keeps the high byte only. Entry 0 is written, never
 * read back.
 */
#include "kernel/legacyutil_internal.h"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <strings.h>

#include <juce_gui_basics/juce_gui_basics.h>

#include "app/headless_internal.h"
#include "app/startup.h"
#include "kernel/obex_internal.h"
#include "kivo/kivo.h"
#include "platform/fsys.h"
#include "platform/platform.h"

namespace {

using kivo::obex::as_method;
using kivo::obex::from_method;

// ---- colours

constexpr t_rgbcolor kDefaultBoxColors[16] = {
    {43690, 43690, 43690}, {52428, 39976, 24903}, {65535, 48495, 39976}, {52428, 36044, 36044},
    {65535, 39976, 39976}, {65535, 58326, 5898},  {10485, 52428, 36044}, {19005, 39976, 24903},
    {24903, 39976, 39976}, {39976, 45874, 65535}, {49806, 46529, 53083}, {39321, 39321, 65535},
    {26214, 26214, 52428}, {39321, 26214, 39321}, {65535, 23592, 44563}, {65535, 35388, 55049},
};

t_rgbcolor s_boxcolors[16] = {
    {43690, 43690, 43690}, {52428, 39976, 24903}, {65535, 48495, 39976}, {52428, 36044, 36044},
    {65535, 39976, 39976}, {65535, 58326, 5898},  {10485, 52428, 36044}, {19005, 39976, 24903},
    {24903, 39976, 39976}, {39976, 45874, 65535}, {49806, 46529, 53083}, {39321, 39321, 65535},
    {26214, 26214, 52428}, {39321, 26214, 39321}, {65535, 23592, 44563}, {65535, 35388, 55049},
};

// White, black, a row of saturated and pastel hues, an eleven-step grey
// ramp (20 ... 30), then darker hues.
constexpr t_rgbcolor kPalette[48] = {
    {65535, 65535, 65535}, {0, 0, 0},             {65535, 0, 0},         {0, 65535, 0},
    {0, 0, 65535},         {65535, 65535, 0},     {65535, 0, 65535},     {0, 65535, 65535},
    {65535, 32768, 0},     {32768, 0, 65535},     {0, 32768, 65535},     {65535, 0, 32768},
    {32768, 65535, 0},     {0, 65535, 32768},     {65535, 52428, 52428}, {52428, 65535, 52428},
    {52428, 52428, 65535}, {65535, 65535, 52428}, {65535, 52428, 65535}, {52428, 65535, 65535},
    {61166, 61166, 61166}, {56797, 56797, 56797}, {52428, 52428, 52428}, {48059, 48059, 48059},
    {43690, 43690, 43690}, {39321, 39321, 39321}, {34952, 34952, 34952}, {30583, 30583, 30583},
    {26214, 26214, 26214}, {21845, 21845, 21845}, {17476, 17476, 17476}, {32768, 0, 0},
    {0, 32768, 0},         {0, 0, 32768},         {32768, 32768, 0},     {32768, 0, 32768},
    {0, 32768, 32768},     {32768, 16384, 0},     {16384, 0, 32768},     {0, 16384, 32768},
    {32768, 0, 16384},     {16384, 32768, 0},     {0, 32768, 16384},     {49152, 32768, 16384},
    {16384, 32768, 49152}, {49152, 16384, 32768}, {32768, 49152, 16384}, {16384, 49152, 32768},
};

constexpr const char *kBoxColorFile = "kivoboxcolors.txt";

std::string s_prefsfile; // boxcolor_prefsfile's answer (main thread)

std::string prefs_folder() {
    std::string c = kivo::platform::fsys::folder(kivo::platform::fsys::Folder::Config);
    return c.empty() ? c : c + "/Morvane/Kivo 7";
}

// Writes text to folder/name through a temporary file in the same folder,
// so that a failed write never leaves a cut-off file behind. 0 or errno.
int write_replacing(const std::string &folder, const char *name, const std::string &text) {
    const std::string final_path = folder + "/" + name;
    const std::string temp_path = folder + "/." + name + "." + std::to_string(getpid()) + ".tmp";
    FILE *f = std::fopen(temp_path.c_str(), "wb");
    if (!f) return errno ? errno : EIO;
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = (std::fflush(f) == 0) && ok;
    ok = (fsync(fileno(f)) == 0) && ok;
    int err = errno;
    ok = (std::fclose(f) == 0) && ok;
    if (!ok || std::rename(temp_path.c_str(), final_path.c_str()) != 0) {
        if (ok) err = errno;
        std::remove(temp_path.c_str());
        return err ? err : EIO;
    }
    return 0;
}

// Runs each message of the text: "kivo boxcolor ..." through the box
// colour rule, anything else to the object bound to its first symbol.
void eval_preference_text(const std::string &text) {
    t_binbuf *b = binbuf_new();
    if (!b) return;
    t_handle h = sysmem_newhandle(static_cast<t_ptr_size>(text.size()));
    if (!h) {
        object_free(b);
        return;
    }
    std::memcpy(*h, text.data(), text.size());
    if (binbuf_text(b, h, static_cast<t_ptr_size>(text.size())) == 0) {
        t_atom_long tp = 0, vo = 0;
        t_atom a;
        std::vector<t_atom> msg;
        auto run = [&]() {
            if (msg.size() >= 2 && msg[0].type == AT_SYM && msg[1].type == AT_SYM) {
                t_symbol *target = msg[0].value.w_sym;
                t_symbol *sel = msg[1].value.w_sym;
                if (target == gensym("kivo") && sel == gensym("boxcolor")) {
                    long v[5] = {0, 0, 0, 0, 0};
                    for (std::size_t i = 0; i < 5 && i + 2 < msg.size(); ++i) v[i] = static_cast<long>(atom_getlong(&msg[i + 2]));
                    boxcolor_message(v[0], v[1], v[2], v[3], v[4]);
                } else if (target->thing) {
                    typedmess(target->thing, sel, static_cast<short>(msg.size() - 2), msg.data() + 2);
                }
            }
            msg.clear();
        };
        while (binbuf_getatom(b, &tp, &vo, &a) == 0) {
            if (a.type == AT_SEMI) run();
            else msg.push_back(a);
        }
        run();
    }
    sysmem_freehandle(h);
    object_free(b);
}

// ---- key and mouse state

t_kivo_keystate_fn s_keystate = nullptr; // test source, or null
t_kivo_mouse_fn s_mouse = nullptr;

bool display_usable() {
    return kivo::app::display_available() && juce::MessageManager::getInstanceWithoutCreating() != nullptr;
}

long keystate() {
    if (s_keystate) return s_keystate();
    if (!display_usable()) return 0;
    // Command is the Control key here; the classic word has both bits.
    const juce::ModifierKeys m = juce::ModifierKeys::getCurrentModifiersRealtime();
    long word = 0;
    if (m.isCtrlDown()) word |= 256 | 4096;
    if (m.isShiftDown()) word |= 512;
    if (m.isAltDown()) word |= 2048;
    if (m.isLeftButtonDown()) word |= KIVO_KEYSTATE_LEFTBUTTON;
    return word;
}

uint32_t s_lasttick = 0; // the last UniqueTickCount; callers on one thread

// ---- connections

struct t_connection {
    t_messlist *messlist; // tiny header
    t_ptr_uint magic;
    t_symbol *name;       // "<name>.connect", whose thing this is
    t_object *server;     // not owned
    void *clients;        // the head of the clients' chain, not owned
    t_connection_nextfn nextfn;
};

t_messlist *s_connection_messlist = nullptr;

void connection_free(t_connection *x) {
    if (x->name && x->name->thing == reinterpret_cast<t_object *>(x)) x->name->thing = nullptr;
}

void connection_setup(void *) {
    c_new(gensym("connection"), as_method(connection_free), sizeof(t_connection), 1, 0);
}

t_symbol *connection_name(const char *name) {
    char buf[256];
    std::snprintf(buf, sizeof buf, "%.247s.connect", name ? name : "");
    return gensym(buf);
}

t_connection *connection_find(t_symbol *s) {
    if (!s->thing || !s_connection_messlist) return nullptr;
    auto *x = reinterpret_cast<t_connection *>(s->thing);
    // An object's header points one entry past its class's record.
    return x->magic == KIVO_OBJECT_MAGIC && x->messlist == s_connection_messlist + 1 ? x : nullptr;
}

t_connection *connection_new(t_symbol *s) {
    auto *x = static_cast<t_connection *>(obj_new(&s_connection_messlist, as_method(connection_setup)));
    if (!x) return nullptr;
    x->name = s;
    x->server = nullptr;
    x->clients = nullptr;
    x->nextfn = nullptr;
    s->thing = reinterpret_cast<t_object *>(x);
    return x;
}

void connection_message(t_connection *x, t_symbol *selector, void *arg) {
    if (!x->nextfn) return;
    for (void *client = x->clients; client;) {
        void **slot = nullptr;
        void *next = x->nextfn(client, &slot);
        if (method m = getfn(client, selector))
            from_method<void *(*)(void *, void *, void *)>(m)(client, x->server, arg);
        client = next;
    }
}

void connection_append(t_connection *x, void *client) {
    if (!x->clients) {
        x->clients = client;
        return;
    }
    void *last = x->clients;
    void **slot = nullptr;
    for (void *next = x->nextfn(last, &slot); next; next = x->nextfn(last, &slot)) last = next;
    if (slot) *slot = client;
}

// ---- catalogue

struct Category {
    t_symbol *name;
    t_linklist *classes; // of t_symbol *, sorted without regard to case
};

t_linklist *s_categories = nullptr; // of Category *

long name_order(const char *a, const char *b) { return strcasecmp(a, b) <= 0 ? 1 : 0; }
long category_order(void *a, void *b) {
    return name_order(static_cast<Category *>(a)->name->name, static_cast<Category *>(b)->name->name);
}
long class_order(void *a, void *b) {
    return name_order(static_cast<t_symbol *>(a)->name, static_cast<t_symbol *>(b)->name);
}

Category *category_find(t_symbol *name) {
    if (!s_categories) return nullptr;
    for (t_atom_long i = 0, n = linklist_getsize(s_categories); i < n; ++i) {
        auto *c = static_cast<Category *>(linklist_getindex(s_categories, i));
        if (c && c->name == name) return c;
    }
    return nullptr;
}

t_kivo_err symbols_out(t_linklist *list, long *count, t_symbol ***out) {
    const t_atom_long n = list ? linklist_getsize(list) : 0;
    if (count) *count = 0;
    if (out) *out = nullptr;
    if (n <= 0 || !count || !out) return KIVO_ERR_NONE;
    auto **array = reinterpret_cast<t_symbol **>(sysmem_newptr(static_cast<t_ptr_size>(n * sizeof(t_symbol *))));
    if (!array) return KIVO_ERR_GENERIC;
    for (t_atom_long i = 0; i < n; ++i) array[i] = static_cast<t_symbol *>(linklist_getindex(list, i));
    *count = static_cast<long>(n);
    *out = array;
    return KIVO_ERR_NONE;
}

} // namespace

extern "C" {

// ---- box colours

void boxcolor_init(void) {
    const std::string folder = prefs_folder();
    if (folder.empty()) return;
    std::ifstream in(folder + "/" + kBoxColorFile, std::ios::binary);
    if (!in) return;
    std::ostringstream text;
    text << in.rdbuf();
    eval_preference_text(text.str());
}

void boxcolor_message(long index, long red, long green, long blue, long save) {
    if (index < 1 || index > 15) return;
    t_rgbcolor c{static_cast<uint16_t>((red & 0xff) * 256), static_cast<uint16_t>((green & 0xff) * 256),
                 static_cast<uint16_t>((blue & 0xff) * 256)};
    boxcolor_setcolor(static_cast<short>(index), &c, static_cast<short>(save));
}

void boxcolor_setcolor(short index, const t_rgbcolor *color, short save) {
    if (index < 1 || index > 15 || !color) return;
    s_boxcolors[index] = *color;
    if (save) boxcolor_saveprefs();
}

void boxcolor_saveprefs(void) {
    const std::string folder = prefs_folder();
    if (folder.empty() || kivo::platform::fsys::make_folders(folder) != 0) return;
    // One message per line, as the preference reader evaluates them.
    std::string text;
    for (long i = 0; i < 16; ++i) {
        char line[64];
        std::snprintf(line, sizeof line, "kivo boxcolor %ld %d %d %d 0;\n", i, s_boxcolors[i].red >> 8,
                      s_boxcolors[i].green >> 8, s_boxcolors[i].blue >> 8);
        text += line;
    }
    if (int err = write_replacing(folder, kBoxColorFile, text)) error("%s: error %d writing file", kBoxColorFile, err);
}

t_kivo_err boxcolor_get(long index, t_rgbcolor *color) {
    if (index < 0 || index > 15 || !color) return KIVO_ERR_GENERIC;
    *color = s_boxcolors[index];
    return KIVO_ERR_NONE;
}

void boxcolor_reset(void) { std::memcpy(s_boxcolors, kDefaultBoxColors, sizeof s_boxcolors); }

const char *boxcolor_prefsfile(void) {
    const std::string folder = prefs_folder();
    s_prefsfile = folder.empty() ? folder : folder + "/" + kBoxColorFile;
    return s_prefsfile.c_str();
}

void box_getcolor(void *, short index, t_rgbcolor *color) {
    bug("box_getcolor: we need a simple way to do this.");
    boxcolor_get(index, color);
}

short boxcolor_rgb2index(const t_rgbcolor *color) {
    if (!color) return -1;
    for (short i = 0; i < 16; ++i) {
        const t_rgbcolor &c = s_boxcolors[i];
        if (c.red == color->red && c.green == color->green && c.blue == color->blue) return i;
    }
    return -1;
}

void palette_getcolor(void *, short index, t_rgbcolor *color) {
    if (index < 0 || index > 47 || !color) return;
    *color = kPalette[index];
}

// ---- connections

void connection_server(t_object *server, const char *name) {
    t_symbol *s = connection_name(name);
    if (t_connection *x = connection_find(s)) {
        if (x->server) connection_message(x, gensym("freeserver"), nullptr);
        x->server = server;
        connection_message(x, gensym("newserver"), nullptr);
        return;
    }
    if (t_connection *x = connection_new(s)) x->server = server;
}

void *connection_client(t_object *client, const char *name, t_symbol *servername,
                        t_connection_nextfn nextfn) {
    t_symbol *s = connection_name(name);
    t_connection *x = connection_find(s);
    if (x) {
        if (x->server && object_classname(x->server) != servername) return reinterpret_cast<void *>(-1);
    } else {
        x = connection_new(s);
        if (!x) return nullptr;
    }
    x->nextfn = nextfn;
    if (nextfn) connection_append(x, client);
    else if (!x->clients) x->clients = client;
    return x->server;
}

void connection_send(t_object *server, const char *name, t_symbol *selector, void *arg) {
    t_connection *x = connection_find(connection_name(name));
    if (x && server && x->server == server) connection_message(x, selector, arg);
}

void connection_delete(t_object *obj, const char *name) {
    t_connection *x = connection_find(connection_name(name));
    if (!x || !obj) return;
    if (x->server == obj) {
        if (x->clients) {
            connection_message(x, gensym("freeserver"), nullptr);
            x->server = nullptr;
        } else {
            freeobject(reinterpret_cast<t_object *>(x));
        }
        return;
    }
    if (!x->nextfn) {
        if (x->clients == obj) x->clients = nullptr;
        return;
    }
    // Unlink from the chain: the head moves on, or the predecessor's
    // successor slot takes the client's successor.
    void *prev = nullptr;
    void **prevslot = nullptr;
    for (void *client = x->clients; client;) {
        void **slot = nullptr;
        void *next = x->nextfn(client, &slot);
        if (client == obj) {
            if (!prev) x->clients = next;
            else if (prevslot) *prevslot = next;
            return;
        }
        prev = client;
        prevslot = slot;
        client = next;
    }
}

// ---- keyboard, mouse and time

short CmdPeriodDown(void) { return cocoa_utils_cmdperioddown() ? 1 : 0; }
short OptionKeyDown(void) { return (keystate() & 2048) ? 1 : 0; }
short ShiftKeyDown(void) { return (keystate() & 512) ? 1 : 0; }
short CmdKeyDown(void) { return (keystate() & 256) ? 1 : 0; }
short CtrlKeyDown(void) { return (keystate() & 4096) ? 1 : 0; }
short AnyKeyDown(void) { return 0; }
short CurrentOptionKeysDown(void) { return static_cast<short>(keystate() & (256 | 512 | 1024 | 2048 | 4096)); }

short IsKeyDown(short keycode) {
    if (s_keystate || !display_usable()) return 0;
    return juce::KeyPress::isKeyCurrentlyDown(keycode) ? 1 : 0;
}

short IsLeftMouseButtonDown(void) { return (keystate() & KIVO_KEYSTATE_LEFTBUTTON) ? 1 : 0; }

void movecursor(long where) {
    const auto x = static_cast<int16_t>(static_cast<uint16_t>((static_cast<unsigned long>(where) >> 16) & 0xffff));
    const auto y = static_cast<int16_t>(static_cast<uint16_t>(static_cast<unsigned long>(where) & 0xffff));
    jmouse_setposition_global(x, y);
}

void jmouse_setposition_global(long x, long y) {
    if (s_mouse) {
        s_mouse(x, y);
        return;
    }
    if (!display_usable()) return;
    juce::Desktop::setMousePosition(juce::Point<int>(static_cast<int>(x), static_cast<int>(y)));
}

void kivo_keystate_source_set(t_kivo_keystate_fn fn) { s_keystate = fn; }
void kivo_mouse_sink_set(t_kivo_mouse_fn fn) { s_mouse = fn; }

uint32_t UniqueTickCount(void) {
    const uint32_t now = kivo::platform::ticks();
    const uint32_t next = s_lasttick + 1;
    s_lasttick = now > next ? now : next;
    return s_lasttick;
}

// ---- class catalogue

void finder_addclass(const char *, const char *) {}

void finder_symaddclass(void *, t_symbol *category, t_symbol *classname) {
    if (!category || !classname) return;
    if (!s_categories) {
        s_categories = linklist_new();
        if (!s_categories) return;
        linklist_readonly(s_categories, 1);
    }
    Category *c = category_find(category);
    if (!c) {
        t_linklist *classes = linklist_new();
        if (!classes) return;
        linklist_readonly(classes, 1);
        c = new (std::nothrow) Category{category, classes};
        if (!c) {
            linklist_chuck(classes);
            return;
        }
        linklist_insert_sorted(s_categories, c, category_order);
    }
    linklist_insert_sorted(c->classes, classname, class_order);
}

t_kivo_err finder_getcategories(long *count, t_symbol ***categories) {
    if (count) *count = 0;
    if (categories) *categories = nullptr;
    const t_atom_long n = s_categories ? linklist_getsize(s_categories) : 0;
    if (n <= 0 || !count || !categories) return KIVO_ERR_NONE;
    auto **array = reinterpret_cast<t_symbol **>(sysmem_newptr(static_cast<t_ptr_size>(n * sizeof(t_symbol *))));
    if (!array) return KIVO_ERR_GENERIC;
    for (t_atom_long i = 0; i < n; ++i) array[i] = static_cast<Category *>(linklist_getindex(s_categories, i))->name;
    *count = static_cast<long>(n);
    *categories = array;
    return KIVO_ERR_NONE;
}

t_kivo_err finder_getclasses(t_symbol *category, long *count, t_symbol ***classes) {
    Category *c = category ? category_find(category) : nullptr;
    return symbols_out(c ? c->classes : nullptr, count, classes);
}

void finder_test(void) {
    if (!s_categories) return;
    for (t_atom_long i = 0, n = linklist_getsize(s_categories); i < n; ++i) {
        auto *c = static_cast<Category *>(linklist_getindex(s_categories, i));
        post("cat: %s", c->name->name);
        for (t_atom_long j = 0, m = linklist_getsize(c->classes); j < m; ++j)
            post(" %s", static_cast<t_symbol *>(linklist_getindex(c->classes, j))->name);
    }
}

// ---- retired entry points

void plug_setloopfun(void *, ...) { bug("plug_setloopfun: no longer supported in kivo 5."); }
void CopyFromGWorld(void *, ...) { bug("CopyFromGWorld: not supported on 64 bit build of kivo"); }
void *GWorldFromPict(void *, ...) {
    bug("GWorldFromPict: no longer supported");
    return nullptr;
}
void drawstr(const char *) { bug("drawstr: no longer supported"); }

void wind_setcursor(short which) {
    static const char *const texts[] = {
        "arrowcursor: not supported",  "waitcursor: not supported",     "editcursor: not supported",
        "handcursor: not supported",   "crosscursor: not supported",    "pencilcursor: not supported",
        "blankcursor: not supported",  "fourgrowcursor: not supported", "twogrowcursor: not supported",
        "diaggrowcursor: not supported",
    };
    if (which >= 1 && which <= 10) bug("%s", texts[which - 1]);
}

void kivoupdatechecker_init(void) {}
void kivoupdatechecker_startcheck(void) {}
void *kivoupdatechecker_new(void) { return nullptr; }

} // extern "C"

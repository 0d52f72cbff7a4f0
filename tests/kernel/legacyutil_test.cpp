// Legacy utilities: the box colour table and its preference file, the
// palette, named connections, key and mouse state, the unique tick count,
// the class catalogue and the retired entry points.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "app/startup.h"
#include "kernel/legacyutil_internal.h"
#include "kivo/kivo.h"
#include "objects_support.h"
#include "support/kivo_test.h"

namespace {

namespace fs = std::filesystem;
using kivo::test::as_method;
using kivo::test::PostCapture;
using kivo::test::S;
using kivo::test::unique_name;

// Points the preferences folder at a fresh temporary folder while it lives.
class PrefsFolder {
public:
    PrefsFolder() {
        const char *old = std::getenv("XDG_CONFIG_HOME");
        had_ = old != nullptr;
        if (had_) old_ = old;
        root_ = fs::temp_directory_path() / ("kivo-legacy-" + std::to_string(getpid()) + "-" + std::to_string(++count_));
        fs::remove_all(root_);
        fs::create_directories(root_);
        setenv("XDG_CONFIG_HOME", root_.c_str(), 1);
    }
    ~PrefsFolder() {
        if (had_) setenv("XDG_CONFIG_HOME", old_.c_str(), 1);
        else unsetenv("XDG_CONFIG_HOME");
        fs::remove_all(root_);
    }
    fs::path file() const { return root_ / "Morvane" / "Kivo 7" / "kivoboxcolors.txt"; }
    std::vector<std::string> lines() const {
        std::ifstream in(file());
        std::vector<std::string> out;
        for (std::string l; std::getline(in, l);)
            if (!l.empty()) out.push_back(l);
        return out;
    }
    const fs::path &root() const { return root_; }

private:
    static inline int count_ = 0;
    fs::path root_;
    std::string old_;
    bool had_ = false;
};

t_rgbcolor get(short i) {
    t_rgbcolor c{1, 2, 3};
    EXPECT_EQ(boxcolor_get(i, &c), 0);
    return c;
}

bool same(const t_rgbcolor &a, const t_rgbcolor &b) {
    return a.red == b.red && a.green == b.green && a.blue == b.blue;
}

class BoxColor : public ::testing::Test {
protected:
    void SetUp() override { boxcolor_reset(); }
    void TearDown() override { boxcolor_reset(); }
};

TEST_F(BoxColor, OnlyEntriesOneToFifteenChangeAndOnlyThenIsTheFileWritten) {
    PrefsFolder prefs;
    const t_rgbcolor c{100, 200, 300};
    const t_rgbcolor entry0 = get(0);
    boxcolor_setcolor(0, &c, 1);
    boxcolor_setcolor(16, &c, 1);
    boxcolor_setcolor(-1, &c, 1);
    EXPECT_TRUE(same(get(0), entry0));
    EXPECT_FALSE(fs::exists(prefs.file()));

    boxcolor_setcolor(3, &c, 0);
    EXPECT_TRUE(same(get(3), c));
    EXPECT_FALSE(fs::exists(prefs.file()));

    boxcolor_setcolor(3, &c, 1);
    const std::vector<std::string> lines = prefs.lines();
    ASSERT_EQ(lines.size(), 16u);
    EXPECT_EQ(lines[0], "kivo boxcolor 0 170 170 170 0;");
    EXPECT_EQ(lines[1], "kivo boxcolor 1 204 156 97 0;");
    EXPECT_EQ(lines[3], "kivo boxcolor 3 0 0 1 0;");
    EXPECT_EQ(lines[15], "kivo boxcolor 15 255 138 215 0;");
    // Nothing is left behind from the write.
    long entries = 0;
    for (const auto &e : fs::directory_iterator(prefs.file().parent_path())) entries += e.exists();
    EXPECT_EQ(entries, 1);
}

TEST_F(BoxColor, FileRoundTripKeepsTheHighByteAndNeverEntryZero) {
    PrefsFolder prefs;
    const t_rgbcolor c{0x12FF, 0xAB01, 0x0080};
    boxcolor_setcolor(7, &c, 1);
    // Entry 0 in the file is changed by hand; reading must ignore it.
    std::vector<std::string> lines = prefs.lines();
    ASSERT_EQ(lines.size(), 16u);
    lines[0] = "kivo boxcolor 0 1 2 3 0;";
    {
        std::ofstream out(prefs.file());
        for (const std::string &l : lines) out << l << "\n";
    }
    boxcolor_reset();
    const t_rgbcolor entry0 = get(0);
    boxcolor_init();
    EXPECT_TRUE(same(get(7), t_rgbcolor{0x1200, 0xAB00, 0x0000}));
    EXPECT_TRUE(same(get(0), entry0));
    EXPECT_TRUE(same(get(1), t_rgbcolor{204 * 256, 156 * 256, 97 * 256}));
}

// Lines other than box colours go to the object bound to their first word.
TEST_F(BoxColor, OtherLinesReachTheirBoundObject) {
    PrefsFolder prefs;
    fs::create_directories(prefs.file().parent_path());
    std::ofstream(prefs.file()) << "legacyprefs_target bang;\nkivo boxcolor 2 1 2 3 0;\nnobody_bound_here bang;\n";
    auto *target = static_cast<t_object *>(object_new_typed(S("nobox"), S("obex_tester"), 0, nullptr));
    ASSERT_NE(target, nullptr);
    S("legacyprefs_target")->thing = target;
    PostCapture posts;
    boxcolor_init();
    EXPECT_EQ(posts.texts(0), std::vector<std::string>{"obex tester bang"});
    EXPECT_TRUE(same(get(2), t_rgbcolor{256, 512, 768}));
    S("legacyprefs_target")->thing = nullptr;
    object_free(target);
}

TEST_F(BoxColor, MissingFileOrFolderChangesNothing) {
    PrefsFolder prefs;
    boxcolor_init();
    EXPECT_TRUE(same(get(5), t_rgbcolor{65535, 58326, 5898}));
    // A preferences folder that cannot be made (a file stands in its way):
    // the save gives up quietly and nothing is written.
    fs::create_directories(prefs.root() / "Morvane");
    std::ofstream(prefs.root() / "Morvane" / "Kivo 7") << "x";
    const t_rgbcolor c{1, 1, 1};
    boxcolor_setcolor(2, &c, 1);
    EXPECT_TRUE(same(get(2), c));
    EXPECT_TRUE(fs::is_regular_file(prefs.root() / "Morvane" / "Kivo 7"));
}

TEST_F(BoxColor, MessageRuleTakesLowBytes) {
    boxcolor_message(4, 0x1FF, 256, 7, 0);
    EXPECT_TRUE(same(get(4), t_rgbcolor{0xFF00, 0, 0x0700}));
    const t_rgbcolor before = get(0);
    boxcolor_message(0, 9, 9, 9, 0);
    boxcolor_message(16, 9, 9, 9, 0);
    EXPECT_TRUE(same(get(0), before));
}

TEST_F(BoxColor, Lookups) {
    const t_rgbcolor five{65535, 58326, 5898};
    EXPECT_EQ(boxcolor_rgb2index(&five), 5);
    const t_rgbcolor off_by_one[] = {{65534, 58326, 5898}, {65535, 58327, 5898}, {65535, 58326, 5897}};
    for (const t_rgbcolor &c : off_by_one) EXPECT_EQ(boxcolor_rgb2index(&c), -1);
    // Equal entries: the first wins.
    boxcolor_setcolor(9, &five, 0);
    EXPECT_EQ(boxcolor_rgb2index(&five), 5);

    PostCapture posts;
    t_rgbcolor out{};
    box_getcolor(nullptr, 5, &out);
    EXPECT_TRUE(same(out, five));
    EXPECT_EQ(posts.texts(3), std::vector<std::string>{"box_getcolor: we need a simple way to do this."});
    // Out-of-range indices leave the colour alone.
    out = {1, 2, 3};
    box_getcolor(nullptr, 16, &out);
    palette_getcolor(nullptr, 48, &out);
    palette_getcolor(nullptr, -1, &out);
    EXPECT_TRUE(same(out, t_rgbcolor{1, 2, 3}));

    palette_getcolor(nullptr, 0, &out);
    EXPECT_TRUE(same(out, t_rgbcolor{65535, 65535, 65535}));
    palette_getcolor(nullptr, 1, &out);
    EXPECT_TRUE(same(out, t_rgbcolor{0, 0, 0}));
    for (short i = 20; i <= 30; ++i) {
        palette_getcolor(nullptr, i, &out);
        const uint16_t g = static_cast<uint16_t>(61166 - (i - 20) * 4369);
        EXPECT_TRUE(same(out, t_rgbcolor{g, g, g})) << i;
    }
}

// ---- connections

struct Client {
    t_object ob;
    long id;
    Client *next; // the chain the clients keep themselves
};
struct Event {
    long client;
    std::string what;
    void *server;
    void *arg;
};
std::vector<Event> g_events;

void *client_next(void *c, void ***slot) {
    auto *x = static_cast<Client *>(c);
    *slot = reinterpret_cast<void **>(&x->next);
    return x->next;
}
void client_newserver(Client *x, void *server, void *arg) { g_events.push_back({x->id, "newserver", server, arg}); }
void client_freeserver(Client *x, void *server, void *arg) { g_events.push_back({x->id, "freeserver", server, arg}); }
void client_hello(Client *x, void *server, void *arg) { g_events.push_back({x->id, "hello", server, arg}); }

t_class *client_class() {
    static t_class *c = [] {
        t_class *k = class_new("legacy.client", nullptr, nullptr, sizeof(Client), nullptr, 0);
        class_addmethod(k, as_method(client_newserver), "newserver", AT_CANT, 0);
        class_addmethod(k, as_method(client_freeserver), "freeserver", AT_CANT, 0);
        class_addmethod(k, as_method(client_hello), "hello", AT_CANT, 0);
        class_register(gensym("nobox"), k);
        return k;
    }();
    return c;
}
Client *client(long id) {
    auto *x = static_cast<Client *>(object_alloc(client_class()));
    x->id = id;
    x->next = nullptr;
    return x;
}
// Server classes, made once each and registered so that they live on.
t_object *server(const char *cls) {
    static std::map<std::string, t_class *> classes;
    t_class *&c = classes[cls];
    if (!c) {
        c = kivo::test::plain_class(cls);
        class_register(gensym("nobox"), c);
    }
    return static_cast<t_object *>(object_alloc(c));
}
std::vector<long> ids(const char *what) {
    std::vector<long> out;
    for (const Event &e : g_events)
        if (e.what == what) out.push_back(e.client);
    return out;
}

class Connection : public ::testing::Test {
protected:
    void SetUp() override { g_events.clear(); }
    std::string name = unique_name("conn");
    t_symbol *bound() const { return gensym((name + ".connect").c_str()); }
};

TEST_F(Connection, ClientsBeforeTheServerHearOfItAndOfItsReplacement) {
    Client *a = client(1), *b = client(2);
    EXPECT_EQ(connection_client(&a->ob, name.c_str(), S("legacy.server"), client_next), nullptr);
    EXPECT_EQ(connection_client(&b->ob, name.c_str(), S("legacy.server"), client_next), nullptr);
    EXPECT_EQ(a->next, b);
    t_object *s1 = server("legacy.server");
    connection_server(s1, name.c_str());
    ASSERT_EQ(ids("newserver"), (std::vector<long>{1, 2}));
    EXPECT_EQ(g_events[0].server, s1);
    EXPECT_EQ(g_events[0].arg, nullptr);

    g_events.clear();
    t_object *s2 = server("legacy.server");
    connection_server(s2, name.c_str());
    ASSERT_EQ(g_events.size(), 4u);
    EXPECT_EQ(g_events[0].what, "freeserver");
    EXPECT_EQ(g_events[0].server, s1);
    EXPECT_EQ(g_events[1].what, "freeserver");
    EXPECT_EQ(g_events[2].what, "newserver");
    EXPECT_EQ(g_events[2].server, s2);

    // A later client joins the same connection and gets the server.
    Client *c = client(3);
    EXPECT_EQ(connection_client(&c->ob, name.c_str(), S("legacy.server"), client_next), s2);
    g_events.clear();
    int payload = 0;
    connection_send(s1, name.c_str(), S("hello"), &payload); // no longer the server
    EXPECT_TRUE(g_events.empty());
    connection_send(s2, name.c_str(), S("hello"), &payload);
    EXPECT_EQ(ids("hello"), (std::vector<long>{1, 2, 3}));
    EXPECT_EQ(g_events[2].arg, &payload);

    // Leaving: the head, then one in the middle.
    connection_delete(&a->ob, name.c_str());
    g_events.clear();
    connection_send(s2, name.c_str(), S("hello"), nullptr);
    EXPECT_EQ(ids("hello"), (std::vector<long>{2, 3}));
    Client *d = client(4);
    connection_client(&d->ob, name.c_str(), S("legacy.server"), client_next);
    connection_delete(&c->ob, name.c_str());
    g_events.clear();
    connection_send(s2, name.c_str(), S("hello"), nullptr);
    EXPECT_EQ(ids("hello"), (std::vector<long>{2, 4}));

    // The server leaving clients behind: they hear "freeserver" and the
    // connection stays for a new server.
    g_events.clear();
    connection_delete(s2, name.c_str());
    EXPECT_EQ(ids("freeserver"), (std::vector<long>{2, 4}));
    EXPECT_NE(bound()->thing, nullptr);
    g_events.clear();
    connection_send(s2, name.c_str(), S("hello"), nullptr);
    EXPECT_TRUE(g_events.empty());
    for (void *o : {static_cast<void *>(a), static_cast<void *>(b), static_cast<void *>(c),
                    static_cast<void *>(d), static_cast<void *>(s1), static_cast<void *>(s2)})
        object_free(o);
}

TEST_F(Connection, ServerOfAnotherClassRefusesClients) {
    t_object *s = server("legacy.server");
    connection_server(s, name.c_str());
    Client *a = client(1);
    EXPECT_EQ(connection_client(&a->ob, name.c_str(), S("legacy.other"), client_next), reinterpret_cast<void *>(-1));
    g_events.clear();
    connection_send(s, name.c_str(), S("hello"), nullptr);
    EXPECT_TRUE(g_events.empty());
    connection_delete(s, name.c_str());
    object_free(a);
    object_free(s);
}

TEST_F(Connection, ServerAloneLeavingUnbindsTheName) {
    t_object *s = server("legacy.server");
    connection_server(s, name.c_str());
    ASSERT_NE(bound()->thing, nullptr);
    EXPECT_EQ(object_classname(bound()->thing), S("connection"));
    connection_delete(s, name.c_str());
    EXPECT_EQ(bound()->thing, nullptr);
    connection_send(s, name.c_str(), S("hello"), nullptr); // nothing, no crash
    // A name bound to something else is left alone.
    t_object *stranger = server("legacy.server");
    bound()->thing = stranger;
    connection_delete(stranger, name.c_str());
    EXPECT_EQ(bound()->thing, stranger);
    bound()->thing = nullptr;
    object_free(stranger);
    object_free(s);
}

TEST_F(Connection, LongNamesAreCut) {
    const std::string longname(300, 'q');
    t_object *s = server("legacy.server");
    connection_server(s, longname.c_str());
    t_symbol *cut = gensym((std::string(247, 'q') + ".connect").c_str());
    EXPECT_NE(cut->thing, nullptr);
    connection_delete(s, longname.c_str());
    EXPECT_EQ(cut->thing, nullptr);
    object_free(s);
}

// ---- keys, mouse, ticks

long g_keys = 0;
std::vector<std::pair<long, long>> g_moves;

TEST(KeyState, ModifierBitsAndTheMouse) {
    kivo_keystate_source_set([] { return g_keys; });
    kivo_mouse_sink_set([](long x, long y) { g_moves.emplace_back(x, y); });
    struct Case {
        long word;
        short cmd, shift, option, ctrl, left;
    } cases[] = {
        {0, 0, 0, 0, 0, 0},
        {256, 1, 0, 0, 0, 0},
        {512 | 2048, 0, 1, 1, 0, 0},
        {4096 | 1024, 0, 0, 0, 1, 0},
        {KIVO_KEYSTATE_LEFTBUTTON | 512, 0, 1, 0, 0, 1},
    };
    for (const Case &c : cases) {
        g_keys = c.word;
        EXPECT_EQ(CmdKeyDown(), c.cmd) << c.word;
        EXPECT_EQ(ShiftKeyDown(), c.shift) << c.word;
        EXPECT_EQ(OptionKeyDown(), c.option) << c.word;
        EXPECT_EQ(CtrlKeyDown(), c.ctrl) << c.word;
        EXPECT_EQ(IsLeftMouseButtonDown(), c.left) << c.word;
        EXPECT_EQ(CurrentOptionKeysDown(), c.word & 0x1f00) << c.word;
        EXPECT_EQ(AnyKeyDown(), 0);
    }
    g_moves.clear();
    movecursor((10L << 16) | 20);
    movecursor(static_cast<long>((0xFFFFUL << 16) | 0xFFFEUL)); // -1, -2
    EXPECT_EQ(g_moves, (std::vector<std::pair<long, long>>{{10, 20}, {-1, -2}}));
    kivo_keystate_source_set(nullptr);
    kivo_mouse_sink_set(nullptr);
}

TEST(UniqueTick, StrictlyIncreasingAndNeverBehindTheClock) {
    uint32_t last = UniqueTickCount();
    uint32_t a = UniqueTickCount(), b = UniqueTickCount();
    EXPECT_GT(a, last);
    EXPECT_GT(b, a);
    for (int i = 0; i < 10000; ++i) {
        const uint32_t t = UniqueTickCount();
        ASSERT_GT(t, last);
        last = t;
    }
    usleep(100000); // six ticks at least: the count catches up with the clock
    const uint32_t later = UniqueTickCount();
    EXPECT_GE(later, b + 6);
}

// ---- catalogue

TEST(Finder, CategoriesAndClassesStaySortedWithoutRegardToCase) {
    const std::string tag = unique_name("cat");
    // finder_addclass records nothing.
    finder_addclass("zzzz", "nothing");
    long n = -1;
    t_symbol **cats = nullptr;
    t_symbol **classes = nullptr;
    EXPECT_EQ(finder_getclasses(gensym("zzzz"), &n, &classes), 0);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(classes, nullptr);

    t_symbol *beta = gensym((tag + "Beta").c_str()), *alpha = gensym((tag + "alpha").c_str());
    finder_symaddclass(nullptr, beta, gensym("Zed"));
    finder_symaddclass(nullptr, beta, gensym("apple"));
    finder_symaddclass(nullptr, alpha, gensym("one"));
    finder_symaddclass(nullptr, beta, gensym("Mango"));

    ASSERT_EQ(finder_getcategories(&n, &cats), 0);
    ASSERT_NE(cats, nullptr);
    std::vector<std::string> mine;
    for (long i = 0; i < n; ++i)
        if (std::string(cats[i]->name).rfind(tag, 0) == 0) mine.push_back(cats[i]->name);
    sysmem_freeptr(cats);
    EXPECT_EQ(mine, (std::vector<std::string>{tag + "alpha", tag + "Beta"}));

    ASSERT_EQ(finder_getclasses(beta, &n, &classes), 0);
    ASSERT_EQ(n, 3);
    EXPECT_STREQ(classes[0]->name, "apple");
    EXPECT_STREQ(classes[1]->name, "Mango");
    EXPECT_STREQ(classes[2]->name, "Zed");
    sysmem_freeptr(classes);

    PostCapture posts;
    finder_test();
    const std::vector<std::string> lines = posts.texts(0);
    auto at = std::find(lines.begin(), lines.end(), "cat: " + tag + "Beta");
    ASSERT_NE(at, lines.end());
    ASSERT_GE(lines.end() - at, 4);
    EXPECT_EQ(std::vector<std::string>(at + 1, at + 4), (std::vector<std::string>{" apple", " Mango", " Zed"}));
}

// ---- retired entry points

TEST(Retired, EachReportsItselfAsABug) {
    PostCapture posts;
    plug_setloopfun(nullptr);
    CopyFromGWorld(nullptr);
    EXPECT_EQ(GWorldFromPict(nullptr), nullptr);
    drawstr("x");
    for (short i = 0; i <= 11; ++i) wind_setcursor(i);
    kivoupdatechecker_startcheck();
    EXPECT_EQ(kivoupdatechecker_new(), nullptr);
    const std::vector<std::string> want = {
        "plug_setloopfun: no longer supported in kivo 5.",
        "CopyFromGWorld: not supported on 64 bit build of kivo",
        "GWorldFromPict: no longer supported",
        "drawstr: no longer supported",
        "arrowcursor: not supported",
        "waitcursor: not supported",
        "editcursor: not supported",
        "handcursor: not supported",
        "crosscursor: not supported",
        "pencilcursor: not supported",
        "blankcursor: not supported",
        "fourgrowcursor: not supported",
        "twogrowcursor: not supported",
        "diaggrowcursor: not supported",
    };
    EXPECT_EQ(posts.texts(3), want);
    EXPECT_TRUE(posts.texts(0).empty());
}

} // namespace

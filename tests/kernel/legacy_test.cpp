// The older class interface (installation records, externals) and
// freeobject.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>

#include "files/files_internal.h"
#include "kernel/obex_internal.h"
#include "objects_support.h"
#include "support/kivo_test.h"

namespace {

using kivo::test::as_method;
using kivo::test::free_log;
using kivo::test::plain_class;
using kivo::test::Probe;
using kivo::test::probe_new;
using kivo::test::sym;
using kivo::test::unique_name;

struct Old {
    t_object ob;
    long value;
};

void *old_bang(Old *x) {
    x->value = 1;
    return nullptr;
}
void *old_int(Old *x, t_atom_long n) {
    x->value = n;
    return nullptr;
}

std::vector<std::string> entry_names(t_messlist *list) {
    std::vector<std::string> out;
    for (t_messlist *m = list + 1; m->sym; ++m) out.push_back(m->sym->name);
    return out;
}

int g_setups = 0;
std::string g_defining;

void define_old(void *) {
    ++g_setups;
    c_new(gensym(g_defining.c_str()), nullptr, sizeof(Old), 0, 0);
    c_addmess(as_method(old_bang), gensym("bang"), 0);
    c_addmess(as_method(old_int), gensym("int"), AT_LONG, 0);
    c_addmess(as_method(old_bang), gensym("third"), 0);
}

TEST(Legacy, ObjNewDefinesTheClassOnce) {
    static t_messlist *s_class = nullptr;
    g_setups = 0;
    g_defining = unique_name("old_plain");
    auto *a = static_cast<Old *>(obj_new(&s_class, as_method(define_old)));
    auto *b = static_cast<Old *>(obj_new(&s_class, as_method(define_old)));
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(g_setups, 1);
    t_class *c = object_class(a);
    EXPECT_EQ(object_class(b), c);
    EXPECT_EQ(reinterpret_cast<t_class *>(s_class[0].sym), c);
    EXPECT_EQ(c->messcount, 5);
    EXPECT_EQ(entry_names(s_class), (std::vector<std::string>{"bang", "int", "third"}));
    EXPECT_EQ(class_getifloaded(gensym("nobox"), c->name), c);
    EXPECT_FALSE(class_is_box(c));

    // The message list has no marker, and dispatch still reaches it.
    t_atom five;
    atom_setlong(&five, 5);
    typedmess(a, gensym("int"), 1, &five);
    EXPECT_EQ(a->value, 5);
    object_free(a);
    object_free(b);

    static t_messlist *s_box = nullptr;
    g_defining = unique_name("old_box");
    auto *x = static_cast<Old *>(box_obj_new(&s_box, as_method(define_old)));
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(object_class(x)->messcount, 6);
    EXPECT_EQ(entry_names(s_box), (std::vector<std::string>{"bang", "int", "third", "sendbox"}));
    EXPECT_EQ(class_getifloaded(gensym("box"), gensym(g_defining.c_str())), object_class(x));
    object_free(x);
}

void define_odd_entries(void *) {
    c_new(gensym(g_defining.c_str()), nullptr, sizeof(Old), 0, 0);
    addinx(as_method(old_int), 12);
    addftx(as_method(old_int), 3);
    addint(as_method(old_int));
    addmess(as_method(old_int), "eight", AT_LONG, AT_LONG, AT_LONG, AT_LONG, AT_LONG, AT_LONG,
            AT_LONG, AT_LONG, 0);
}

TEST(Legacy, EntriesByKind) {
    static t_messlist *s_class = nullptr;
    g_defining = unique_name("old_entries");
    kivo::test::PostCapture posts;
    auto *x = static_cast<Old *>(obj_new(&s_class, as_method(define_odd_entries)));
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(posts.texts(POST_KIND_ERROR), std::vector<std::string>{"inlet method out of range"});
    EXPECT_EQ(entry_names(s_class), (std::vector<std::string>{"in1", "ft3", "int", "eight"}));
    EXPECT_EQ(s_class[1].type[0], AT_LONG);
    EXPECT_EQ(s_class[2].type[0], AT_FLOAT);
    // Eight types given: the entry still ends with a 0.
    EXPECT_EQ(std::memcmp(s_class[4].type, "\1\1\1\1\1\1\1\0", 8), 0);
    class_noinlet(s_class);
    EXPECT_EQ(object_class(x)->noinlet, 1);
    object_free(x);
}

// ---- externals loaded through the file layer

struct ExternalFile {
    void (*entry)();
};
std::map<std::string, ExternalFile> g_files;

long locate(char *name, short *path, t_fourcc *type) {
    if (!g_files.count(name)) return 1;
    *path = 9;
    *type = FILES_TYPE_EXTERNAL;
    std::strcat(name, ".kvo");
    return 0;
}

method entry_of(const char *filename, short) {
    std::string name(filename);
    name.resize(name.size() - 4);
    return reinterpret_cast<method>(g_files.at(name).entry);
}

const t_files_loader kLoader = {locate, entry_of};
std::string g_realname;
t_messlist *g_external_class = nullptr;

void *make_old_gimme(t_symbol *s, long argc, t_atom *argv) {
    return newobject(g_external_class);
}

void external_main_setup() {
    setup(&g_external_class, as_method(make_old_gimme), nullptr, sizeof(Old), nullptr, AT_GIMME, 0);
    addint(as_method(old_int));
}

void external_main_renamed() {
    setup(&g_external_class, as_method(make_old_gimme), nullptr, sizeof(Old), nullptr, AT_GIMME, 0);
    class_setname(g_realname.c_str(), g_realname.c_str());
}

void external_main_menu() {
    setup(&g_external_class, as_method(make_old_gimme), nullptr, sizeof(Old),
          as_method(old_bang), 0);
    addint(as_method(old_int));
}

class LegacyExternal : public testing::Test {
protected:
    void SetUp() override {
        files_loader_set(&kLoader);
        g_external_class = nullptr;
    }
    void TearDown() override { files_loader_set(nullptr); }
};

TEST_F(LegacyExternal, SetupStyleExternalBecomesABoxClass) {
    std::string file = unique_name("ext_setup");
    g_files[file] = {external_main_setup};
    t_class *c = class_findbyname(gensym("box"), sym(file));
    ASSERT_NE(c, nullptr);
    EXPECT_TRUE(class_is_box(c));
    EXPECT_TRUE(c->flags & CLASS_FLAG_NOATTRIBUTES);
    EXPECT_EQ(class_getpath(c), 9);
    EXPECT_TRUE(classname_isexternal(sym(file)));
    EXPECT_EQ(c->filename, sym(file));
    EXPECT_EQ(entry_names(g_external_class), (std::vector<std::string>{"int", "sendbox"}));
    EXPECT_EQ(c->newmess->fun, as_method(make_old_gimme));

    t_atom arg;
    atom_setlong(&arg, 1);
    auto *x = static_cast<Old *>(object_new_typed(gensym("box"), sym(file), 1, &arg));
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(object_class(x), c);
    object_free(x);
}

TEST_F(LegacyExternal, FileNameOtherThanTheClassNameIsAnAlias) {
    std::string file = unique_name("ext_file");
    g_realname = unique_name("ext_real");
    g_files[file] = {external_main_renamed};
    t_class *c = class_findbyname(gensym("box"), sym(file));
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->name, sym(file));
    EXPECT_TRUE(c->flags & CLASS_FLAG_ALIAS);
    t_class *real = class_getifloaded(gensym("box"), sym(g_realname));
    ASSERT_NE(real, nullptr);
    EXPECT_FALSE(real->flags & CLASS_FLAG_ALIAS);
    EXPECT_EQ(real->messlist, c->messlist);
}

TEST_F(LegacyExternal, OldUserInterfaceObjectsAreRefused) {
    std::string file = unique_name("ext_menu");
    g_files[file] = {external_main_menu};
    kivo::test::PostCapture posts;
    EXPECT_EQ(class_findbyname(gensym("box"), sym(file)), nullptr);
    EXPECT_EQ(posts.texts(POST_KIND_ERROR),
              std::vector<std::string>{file + ": old user interface objects not supported"});
    EXPECT_EQ(g_external_class, nullptr);
    EXPECT_EQ(install_loadingpath(), 0); // the record was popped
}

TEST(Legacy, SetupWithoutAnOpenerEntryIsABug) {
    static t_messlist *s_class = nullptr;
    kivo::test::PostCapture posts;
    c_setup(nullptr, gensym("old_noopener"), 0, nullptr);
    setup(&s_class, nullptr, nullptr, sizeof(Old), nullptr, 0);
    EXPECT_EQ(posts.texts(POST_KIND_BUG), std::vector<std::string>{"extern class install: no newmess defined"});
    c_install(nullptr);
    EXPECT_EQ(s_class, nullptr);
}

TEST(Legacy, CreatorEntriesMakeBoxClassesAndNewInstances) {
    std::string name = unique_name("old_created");
    static t_messlist *s_class = nullptr;
    t_class creatorclass{};
    creatorclass.name = gensym("old_creator");
    t_messlist creator[] = {
        {reinterpret_cast<t_symbol *>(&creatorclass), nullptr, {}},
        {gensym("x1"), nullptr, {}},
        {gensym("x2"), nullptr, {}},
        {gensym("x3"), nullptr, {}},
        {sym(name), as_method(make_old_gimme), {AT_GIMME}},
        {nullptr, nullptr, {}},
    };
    creatorclass.messlist = creator;
    creatorclass.messcount = 6;
    t_object saved = g_kivo_qnewobj;
    g_kivo_qnewobj.messlist = &creator[1];
    g_kivo_qnewobj.magic = KIVO_OBJECT_MAGIC;
    g_defining = name;
    auto *x = static_cast<Old *>(obj_new(&s_class, as_method(define_old)));
    t_class *c = object_class(x);
    EXPECT_TRUE(class_is_box(c));
    EXPECT_EQ(c->newmess, &creator[4]);

    g_external_class = s_class;
    auto *y = static_cast<t_object *>(newinstance(sym(name), 0, nullptr));
    g_kivo_qnewobj = saved;
    ASSERT_NE(y, nullptr);
    EXPECT_EQ(object_class(y), c);
    EXPECT_EQ(g_kivo_newest, y);
    object_free(x);
    object_free(y);
}

// ---- freeobject

struct Chain {
    t_object ob;
    t_hashtab *store;
};

void free_as_class(Chain *x) {
    free_log().push_back(10);
    EXPECT_EQ(within_freeobject(), 1);
}
void free_as_superclass(Chain *x) {
    free_log().push_back(20);
}

TEST(Legacy, FreeobjectRunsFreeFunctionsThenTheStore) {
    t_class *super = plain_class(unique_name("old_super"), sizeof(Chain),
                                 as_method(free_as_superclass));
    t_class *c = plain_class(unique_name("old_sub"), sizeof(Chain), as_method(free_as_class));
    t_class *nofree = plain_class(unique_name("old_middle"), sizeof(Chain));
    c->superclass = nofree;
    nofree->superclass = super;
    c->obexoffset = offsetof(Chain, store);
    auto *x = static_cast<Chain *>(object_alloc(c));
    object_obex_store(x, gensym("probe"), &probe_new(30)->ob);
    free_log().clear();
    freeobject(&x->ob);
    EXPECT_EQ(free_log(), (std::vector<long>{10, 20, 30}));
    EXPECT_EQ(within_freeobject(), 0);
    class_free(c);
    class_free(nofree);
    class_free(super);
}

TEST(Legacy, FreeobjectDropsOneReferenceAtATime) {
    t_class *c = plain_class(unique_name("old_retained"), sizeof(Chain), as_method(free_as_superclass));
    c->obexoffset = offsetof(Chain, store);
    auto *x = static_cast<Chain *>(object_alloc(c));
    static_cast<t_mobex *>(x->store->mobex)->retain_count = 2;
    free_log().clear();
    freeobject(&x->ob);
    EXPECT_TRUE(free_log().empty());
    EXPECT_EQ(x->ob.magic, KIVO_OBJECT_MAGIC); // still usable
    freeobject(&x->ob);
    EXPECT_EQ(free_log(), std::vector<long>{20});
    class_free(c);
}

TEST(Legacy, FreeobjectRefusesBadObjects) {
    t_object stale{};
    kivo::test::PostCapture posts;
    freeobject(&stale);
    freeobject(nullptr);
    char expected[64];
    std::snprintf(expected, sizeof expected, "freeobject: %lx: bad object",
                  reinterpret_cast<unsigned long>(&stale));
    EXPECT_EQ(posts.texts(POST_KIND_POST), (std::vector<std::string>{expected, "freeobject: 0: bad object"}));
}

TEST(Legacy, FreerawCallsTheFreeFunctionThenFreesTheBlock) {
    t_class *c = plain_class(unique_name("old_raw"), sizeof(Probe), as_method(kivo::test::probe_free));
    auto *p = reinterpret_cast<Probe *>(sysmem_newptrclear(sizeof(Probe)));
    p->id = 55;
    free_log().clear();
    freeraw(p, c);
    freeraw(sysmem_newptr(8), nullptr);
    EXPECT_EQ(free_log(), std::vector<long>{55});
    class_free(c);
}

TEST(Legacy, RetiredEntriesAndCounters) {
    kivo::test::PostCapture posts;
    EXPECT_EQ(ed_new(nullptr), nullptr);
    ed_settext(nullptr, "x", 1);
    ed_vis(nullptr);
    EXPECT_EQ(posts.texts(POST_KIND_ERROR),
              (std::vector<std::string>{"ed_new: no longer supported", "ed_settext: no longer supported",
                                        "ed_vis: no longer supported"}));
    t_atom_long before = evnum_get();
    evnum_incr();
    EXPECT_EQ(evnum_get(), before + 1);
    char result[3] = {0, 0, 0};
    for (long i = 0; i < 3; ++i) stdinletinfo(nullptr, nullptr, i, &result[i]);
    EXPECT_EQ(std::string(result, 3), std::string("\0\1\1", 3));
    EXPECT_EQ(kivoversion(), g_kivo_version);
}

} // namespace

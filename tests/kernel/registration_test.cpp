// Registration in name spaces, lookups with and without case, loading by
// name through the file layer's loader hook.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "files/files_internal.h"
#include "kernel/obex_internal.h"
#include "objects_support.h"
#include "support/kivo_test.h"

namespace {

using kivo::test::as_method;
using kivo::test::plain_class;
using kivo::test::sym;
using kivo::test::unique_name;

t_symbol *box() { return gensym("box"); }
t_symbol *nobox() { return gensym("nobox"); }

// A file the test loader knows: where it is, its type, and what loading it
// does (the external's entry function).
struct FakeFile {
    short path;
    t_fourcc type;
    void (*entry)();
};

std::map<std::string, FakeFile> &fake_files() {
    static std::map<std::string, FakeFile> files;
    return files;
}
std::vector<std::string> &locate_log() {
    static std::vector<std::string> log;
    return log;
}
std::string g_loading; // the name the current entry function registers

long fake_locate(char *name, short *path, t_fourcc *type) {
    locate_log().push_back(name);
    auto it = fake_files().find(name);
    if (it == fake_files().end()) return 1;
    *path = it->second.path;
    *type = it->second.type;
    std::strcat(name, ".kvo");
    return 0;
}

method fake_entry(const char *filename, short path) {
    std::string name(filename);
    if (name.size() > 4) name.resize(name.size() - 4);
    auto it = fake_files().find(name);
    if (it == fake_files().end() || !it->second.entry) return nullptr;
    g_loading = name;
    return reinterpret_cast<method>(it->second.entry);
}

const t_files_loader kLoader = {fake_locate, fake_entry};

class Registration : public testing::Test {
protected:
    void SetUp() override {
        files_loader_set(&kLoader);
        fake_files().clear();
        locate_log().clear();
    }
    void TearDown() override { files_loader_set(nullptr); }
};

void *make_plain(void) {
    return object_alloc(class_findbyname(nobox(), gensym(g_loading.c_str())));
}

// An external that registers its class with class_register while it loads.
void register_while_loading() {
    t_class *c = class_new(g_loading.c_str(), as_method(make_plain), nullptr, sizeof(t_object),
                           nullptr, 0);
    class_register(nobox(), c);
}

void *value_method(t_object *x) {
    return nullptr;
}

TEST_F(Registration, NullNameSpaceMeansNobox) {
    t_class *c = plain_class(unique_name("reg_null"));
    ASSERT_EQ(class_register(nullptr, c), 0);
    EXPECT_EQ(class_namespace(c), nobox());
    EXPECT_EQ(class_getifloaded(nullptr, c->name), c);
    EXPECT_EQ(class_getifloaded(box(), c->name), nullptr);
    auto *x = static_cast<t_object *>(object_alloc(c));
    EXPECT_EQ(object_namespace(x), nobox());
    object_free(x);
    EXPECT_EQ(object_namespace(nullptr), gensym(""));
    EXPECT_EQ(class_register(nobox(), nullptr), KIVO_ERR_INVALID_PTR);
}

TEST_F(Registration, TakenNameIsRefusedSilentlyInEitherNameSpace) {
    for (t_symbol *ns : {nobox(), box()}) {
        std::string name = unique_name("reg_taken");
        t_class *first = plain_class(name);
        t_class *second = plain_class(name);
        kivo::test::PostCapture posts;
        ASSERT_EQ(class_register(ns, first), 0);
        // A box class whose name is taken is told so too, not answered 0.
        EXPECT_EQ(class_register(ns, second), KIVO_ERR_DUPLICATE) << ns->name;
        EXPECT_EQ(class_getifloaded(ns, sym(name)), first);
        EXPECT_TRUE(posts.take().empty());
        EXPECT_EQ(class_doregister(ns, second), KIVO_ERR_DUPLICATE);
        class_free(second);
    }
}

TEST_F(Registration, SameRecordInASecondNameSpaceIsReportedAndMoves) {
    t_class *c = plain_class(unique_name("reg_twice"));
    ASSERT_EQ(class_register(gensym("ns_one"), c), 0);
    kivo::test::PostCapture posts;
    ASSERT_EQ(class_register(gensym("ns_two"), c), 0);
    auto lines = posts.texts(POST_KIND_POST);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "warning duplicate class registration for " + std::string(c->name->name) +
                            " (was ns_one, registering ns_two)");
    EXPECT_EQ(class_namespace(c), gensym("ns_two"));
    EXPECT_EQ(class_getifloaded(gensym("ns_one"), c->name), c);
}

TEST_F(Registration, DebugModePostsEachRegistration) {
    t_class *c = plain_class(unique_name("reg_debug"));
    kivo::test::PostCapture posts;
    g_kivo_debug = 1;
    t_kivo_err err = class_register(nullptr, c);
    g_kivo_debug = 0;
    EXPECT_EQ(err, 0);
    EXPECT_EQ(posts.texts(POST_KIND_POST),
              std::vector<std::string>{"registering class " + std::string(c->name->name) + " in nobox"});
}

TEST_F(Registration, LookupsStripTheExternalSuffixAndIgnoreCase) {
    std::string name = unique_name("Reg_Case");
    t_class *c = plain_class(name);
    ASSERT_EQ(class_register(nobox(), c), 0);
    std::string lower = name;
    std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
    struct Case {
        std::string sought;
        bool exact;
        bool casefree;
    };
    const Case cases[] = {
        {name, true, true},
        {name + ".kvo", true, true},
        {lower, false, true},
        {lower + ".kvo", false, true},
        {name + ".txt", false, false},
        {name + "x", false, false},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.sought);
        EXPECT_EQ(class_getifloaded(nobox(), sym(k.sought)), k.exact ? c : nullptr);
        EXPECT_EQ(class_getifloaded_casefree(nobox(), sym(k.sought)), k.casefree ? c : nullptr);
    }
    // Case-free lookups load nothing either when they find the class.
    EXPECT_EQ(class_findbyname_casefree(nobox(), sym(lower)), c);
    EXPECT_TRUE(locate_log().empty());
}

TEST_F(Registration, FindByNameLoadsWhatIsNotRegistered) {
    std::string name = unique_name("reg_load");
    fake_files()[name] = {7, FILES_TYPE_EXTERNAL, register_while_loading};
    t_class *c = class_findbyname(nobox(), sym(name));
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(locate_log(), std::vector<std::string>{name});
    EXPECT_EQ(class_findbyname(nobox(), sym(name)), c); // no second load
    EXPECT_EQ(locate_log().size(), 1u);
    // Registered while a file was loading: the class remembers its folder.
    EXPECT_EQ(class_getpath(c), 7);
    auto *x = static_cast<t_object *>(object_new(nobox(), sym(name)));
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(object_class(x), c);
    object_free(x);
}

TEST_F(Registration, FindByNameFailsWithoutLoadingWhatCannotBeAClass) {
    std::string patchfile = unique_name("reg_patch");
    fake_files()[patchfile] = {3, KIVO_FOURCC('J', 'S', 'O', 'N'), nullptr};
    EXPECT_EQ(class_findbyname(nobox(), sym(patchfile)), nullptr); // found, not an external
    EXPECT_EQ(class_load(sym(patchfile)), KIVO_ERR_GENERIC);
    EXPECT_EQ(class_findbyname(nobox(), sym(unique_name("reg_nofile"))), nullptr);
    EXPECT_EQ(locate_log().size(), 3u);

    locate_log().clear();
    EXPECT_EQ(class_findbyname(box(), gensym("patcher")), nullptr);
    EXPECT_EQ(class_findbyname(box(), gensym("p")), nullptr);
    EXPECT_EQ(class_findbyname(nullptr, gensym("patcher")), nullptr);
    EXPECT_EQ(class_findbyname(box(), nullptr), nullptr);
    EXPECT_TRUE(locate_log().empty());

    // An external file whose entry gives no external.
    std::string broken = unique_name("reg_broken");
    fake_files()[broken] = {3, FILES_TYPE_EXTERNAL, nullptr};
    kivo::test::PostCapture posts;
    EXPECT_EQ(class_findbyname(nobox(), sym(broken)), nullptr);
    EXPECT_EQ(posts.texts(POST_KIND_ERROR),
              std::vector<std::string>{broken + ".kvo: unknown external object type"});
}

TEST_F(Registration, BoxClassesGetSendboxAndParameterSupport) {
    t_class *valued = plain_class(unique_name("reg_valued"));
    class_addmethod(valued, as_method(value_method), "getvalueof", AT_CANT, 0);
    class_addmethod(valued, as_method(value_method), "setvalueof", AT_CANT, 0);
    t_class *half = plain_class(unique_name("reg_half"));
    class_addmethod(half, as_method(value_method), "getvalueof", AT_CANT, 0);
    t_class *boxless = plain_class(unique_name("reg_boxless"));
    class_addmethod(boxless, as_method(value_method), "getvalueof", AT_CANT, 0);
    class_addmethod(boxless, as_method(value_method), "setvalueof", AT_CANT, 0);

    ASSERT_EQ(class_register(box(), valued), 0);
    ASSERT_EQ(class_register(box(), half), 0);
    ASSERT_EQ(class_register(nobox(), boxless), 0);
    EXPECT_TRUE(valued->flags & CLASS_FLAG_PARAMETER);
    EXPECT_FALSE(half->flags & CLASS_FLAG_PARAMETER);
    EXPECT_FALSE(boxless->flags & CLASS_FLAG_PARAMETER);
    EXPECT_TRUE(class_is_box(valued));
    EXPECT_FALSE(class_is_box(boxless));
    EXPECT_EQ(class_method(valued, gensym("sendbox")), as_method(object_sendbox));
    EXPECT_EQ(class_method(boxless, gensym("sendbox")), as_method(method_false));
    EXPECT_FALSE(classname_isexternal(valued->name)); // built in: path 0
}

TEST_F(Registration, RegistrationFreezesTablesAndSetsTheMethodTable) {
    t_class *c = plain_class(unique_name("reg_freeze"));
    class_addmethod(c, as_method(value_method), "m", AT_CANT, 0);
    ASSERT_EQ(c->methods, nullptr);
    ASSERT_EQ(class_register(nobox(), c), 0);
    EXPECT_EQ(c->methods, class_extra_lookup(c, ps_methods));
    EXPECT_TRUE(c->extra->readonly);
    EXPECT_TRUE(c->methods->readonly);
    EXPECT_NE(class_getmethod_object(c, gensym("m")), nullptr);
    // Methods added later reach the same table at once.
    class_addmethod(c, as_method(value_method), "later", AT_CANT, 0);
    EXPECT_NE(class_getmethod_object(c, gensym("later")), nullptr);
}

TEST_F(Registration, AliasesShareTheSourceClass) {
    t_class *c = plain_class(unique_name("reg_src"));
    ASSERT_EQ(class_register(box(), c), 0);
    t_symbol *alias = sym(unique_name("reg_alias"));
    ASSERT_EQ(class_alias(c, alias), 0);
    t_class *copy = class_getifloaded(box(), alias);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, c);
    EXPECT_TRUE(copy->flags & CLASS_FLAG_ALIAS);
    EXPECT_EQ(copy->messlist, c->messlist);
    // An object made through the alias belongs to the source class.
    auto *x = static_cast<t_object *>(object_alloc(copy));
    EXPECT_EQ(object_classname(x), c->name);
    object_free(x);
    EXPECT_EQ(class_alias(c, alias), KIVO_ERR_DUPLICATE);
    EXPECT_EQ(class_alias(nullptr, alias), KIVO_ERR_INVALID_PTR);
}

TEST_F(Registration, CopiesRegisterUnderTheNewNameAndNameSpace) {
    t_class *c = plain_class(unique_name("reg_orig"));
    ASSERT_EQ(class_register(box(), c), 0);
    t_symbol *copyname = sym(unique_name("reg_copy"));
    ASSERT_EQ(class_copy(box(), c->name, nobox(), copyname), 0);
    t_class *copy = class_getifloaded(nobox(), copyname);
    ASSERT_NE(copy, nullptr);
    EXPECT_TRUE(copy->flags & CLASS_FLAG_ALIAS);
    EXPECT_TRUE(copy->flags & CLASS_FLAG_BOX); // restored after registering
    EXPECT_EQ(class_copy(box(), sym(unique_name("reg_none")), nullptr, copyname), KIVO_ERR_GENERIC);
}

TEST_F(Registration, NameSpacesListTheirClasses) {
    long count = 0;
    t_symbol **names = nullptr;
    ASSERT_EQ(class_namespace_getclassnames(nullptr, &count, &names), 0);
    std::vector<std::string> listed;
    for (long i = 0; i < count; ++i) listed.push_back(names[i]->name);
    sysmem_freeptr(names);
    for (const char *builtin : {"linklist", "hashtab", "hashtab_entry", "method_object", "quickmap"})
        EXPECT_NE(std::find(listed.begin(), listed.end(), builtin), listed.end()) << builtin;
    EXPECT_NE(class_namespace_fromsym(gensym("reg_new_space")), nullptr);
    EXPECT_EQ(class_namespace_getclassnames(gensym("reg_new_space"), &count, &names), 0);
    EXPECT_EQ(count, 0);
}

TEST_F(Registration, LegacyCreatorEntriesGiveTypesAndAreNeverLoaded) {
    std::string name = unique_name("reg_creator");
    std::string oldstyle = unique_name("reg_oldstyle");
    t_messlist creator[] = {
        {nullptr, nullptr, {}},
        {sym(name), as_method(value_method), {AT_LONG, AT_DEFSYM, 0}},
        {sym(oldstyle), as_method(value_method), {AT_GIMME}},
        {nullptr, nullptr, {}},
    };
    t_object saved = g_kivo_qnewobj;
    g_kivo_qnewobj.messlist = &creator[1];
    g_kivo_qnewobj.magic = KIVO_OBJECT_MAGIC;
    t_class *c = class_new(name.c_str(), nullptr, nullptr, sizeof(t_object), nullptr, AT_GIMME, 0);
    class_register(box(), c);
    // An old-style class of the creator is made by the creator, not loaded.
    EXPECT_EQ(class_findbyname(box(), sym(oldstyle)), nullptr);
    g_kivo_qnewobj = saved;
    EXPECT_TRUE(locate_log().empty());
    EXPECT_EQ(std::memcmp(c->newmess->type, "\1\7\0", 3), 0);
}

TEST_F(Registration, SendboxForwardsToTheBox) {
    t_class *c = plain_class(unique_name("reg_sendbox"));
    ASSERT_EQ(class_register(box(), c), 0);
    auto *x = static_cast<t_object *>(object_alloc(c));
    t_atom msg[2];
    atom_setsym(&msg[0], gensym("anything"));
    atom_setlong(&msg[1], 3);
    EXPECT_EQ(object_sendbox(x, gensym("sendbox"), 2, msg), KIVO_ERR_GENERIC); // no box

    t_class *boxclass = plain_class(unique_name("reg_thebox"));
    static long received = 0;
    class_addmethod(boxclass, as_method(+[](t_object *, t_atom_long n) { received = n; return (void *)0; }),
                    "poke", AT_LONG, 0);
    auto *thebox = static_cast<t_object *>(object_alloc(boxclass));
    object_obex_storeflags(x, gensym("#B"), thebox, 0);
    atom_setsym(&msg[0], gensym("poke"));
    EXPECT_EQ(object_method_typed(x, gensym("sendbox"), 2, msg, nullptr), 0);
    EXPECT_EQ(received, 3);
    t_atom empty;
    atom_setsym(&empty, gensym(""));
    EXPECT_EQ(object_sendbox(x, gensym("sendbox"), 1, &empty), KIVO_ERR_GENERIC);
    EXPECT_EQ(object_sendbox(x, gensym("sendbox"), 0, msg), KIVO_ERR_GENERIC);
    object_free(x);
    object_free(thebox); // "#B" is never freed by the store
    class_free(boxclass);
}

} // namespace

// The object system's start-up and shutdown: a second start does nothing,
// the container classes come first in "nobox", every class that start-up
// makes can be created by name, and shutdown frees open projects.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/startup.h"
#include "kernel/obex_internal.h"
#include "graphics/sketch_internal.h"
#include "projects/project_internal.h"
#include "kivo/kivo.h"
#include "support/kivo_test.h"

namespace {

using kivo::test::L;
using kivo::test::S;
using kivo::test::Y;

TEST(ObexInit, SecondStartDoesNothing) {
    ASSERT_TRUE(obex_started());
    t_class *before = class_findbyname(S("nobox"), S("obex_tester"));
    EXPECT_EQ(obex_init(), 0);
    EXPECT_EQ(class_findbyname(S("nobox"), S("obex_tester")), before);
}

TEST(ObexInit, StartUpClassesExistAndCanBeMadeByName) {
    for (const char *name : {"linklist", "hashtab", "hashtab_entry", "method_object", "atomarray", "string",
                             "dictionary", "obex_tester", "obex_tester_subclass", "sketch", "symobject", "project"})
        EXPECT_NE(class_findbyname(S("nobox"), S(name)), nullptr) << name;

    struct Case {
        const char *cls;
        std::vector<t_atom> args;
    } cases[] = {
        {"symobject", {Y("s")}},
        {"sketch", {}},
        {"project", {}},
        {"obex_tester", {}},
        {"obex_tester_subclass", {}},
    };
    for (Case &c : cases) {
        void *x = object_new_typed(S("nobox"), S(c.cls), static_cast<long>(c.args.size()),
                                   c.args.empty() ? nullptr : c.args.data());
        ASSERT_NE(x, nullptr) << c.cls;
        EXPECT_EQ(object_classname(x), S(c.cls));
        object_free(x);
    }
}

TEST(Sketch, HasAStoreAndASize) {
    t_atom args[] = {Y("@size"), L(320), L(240)};
    auto *x = static_cast<t_object *>(object_new_typed(S("nobox"), S("sketch"), 3, args));
    ASSERT_NE(x, nullptr);
    t_atom_long size[2] = {0, 0};
    EXPECT_EQ(object_attr_getlong_array(x, S("size"), 2, size), 2);
    EXPECT_EQ(size[0], 320);
    EXPECT_EQ(size[1], 240);
    EXPECT_NE(object_obex_get(x), nullptr);
    object_free(x);
}

TEST(Project, KeepsItsItemsAndShutdownFreesOpenOnes) {
    const long before = project_opencount();
    auto *p = static_cast<t_object *>(object_new_typed(S("nobox"), S("project"), 0, nullptr));
    auto *q = static_cast<t_object *>(object_new_typed(S("nobox"), S("project"), 0, nullptr));
    ASSERT_NE(p, nullptr);
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(project_opencount(), before + 2);
    t_atom files[] = {Y("a.kvp"), Y("b.js")};
    t_atom folder = Y("media");
    object_method_typed(p, S("add"), 2, files, nullptr);
    object_method_typed(p, S("addfolder"), 1, &folder, nullptr);
    object_method(p, S("update"));
    long n = 0;
    t_symbol **names = nullptr;
    ASSERT_EQ(reinterpret_cast<t_ptr_int>(object_method(p, S("getitems"), &n, &names)), 0);
    ASSERT_EQ(n, 3);
    EXPECT_EQ(names[0], S("a.kvp"));
    EXPECT_EQ(names[1], S("b.js"));
    EXPECT_EQ(names[2], S("media"));
    sysmem_freeptr(names);

    object_free(q);
    EXPECT_EQ(project_opencount(), before + 1);
    project_shutdown();
    EXPECT_EQ(project_opencount(), 0);
}

void noop_task(t_object *, void *, t_backgroundtask_request *) {}

// Quit order: the background workers stop and open projects go. Runs last
// in its process when run alone; in a shared run nothing after it needs
// the workers.
TEST(ObexShutdown, StopsTheWorkersAndFreesProjects) {
    auto *p = static_cast<t_object *>(object_new_typed(S("nobox"), S("project"), 0, nullptr));
    ASSERT_NE(p, nullptr);
    obex_shutdown();
    EXPECT_EQ(project_opencount(), 0);
    EXPECT_EQ(backgroundtask_execute(nullptr, nullptr, noop_task, nullptr, nullptr, nullptr), -1);
    obex_shutdown(); // a second call finds nothing to do
}

} // namespace

// Classes: class_new, method tables and method objects, extras, lookups.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

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

void *answer_one(t_object *) {
    return reinterpret_cast<void *>(1);
}
void *answer_two(t_object *) {
    return reinterpret_cast<void *>(2);
}

std::vector<std::string> selectors(t_class *c) {
    std::vector<std::string> out;
    for (t_messlist *m = c->messlist + 1; m->sym; ++m) out.push_back(m->sym->name);
    return out;
}

TEST(Class, NewMakesMarkerClassnameAndEnd) {
    std::string name = unique_name("cls_new");
    t_class *c = class_new(name.c_str(), nullptr, nullptr, sizeof(t_object), nullptr, AT_LONG,
                           AT_DEFSYM, 0);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->messcount, 3);
    EXPECT_EQ(c->filename, c->name);
    // The marker: the class in the selector word, "xebo" and four zero bytes.
    EXPECT_EQ(reinterpret_cast<t_class *>(c->messlist[0].sym), c);
    EXPECT_EQ(std::memcmp(c->messlist[0].type, "xebo\0\0\0\0", 8), 0);
    EXPECT_STREQ(c->messlist[1].sym->name, "classname");
    EXPECT_EQ(c->messlist[1].type[0], AT_CANT);
    EXPECT_EQ(c->messlist[2].sym, nullptr);
    EXPECT_EQ(std::memcmp(c->newmess->type, "\1\7\0\0\0\0\0\0", 8), 0);

    // An object finds its class one entry back, and its name through the
    // "classname" entry's function.
    auto *x = static_cast<t_object *>(object_alloc(c));
    EXPECT_EQ(object_class(x), c);
    auto classname = reinterpret_cast<t_symbol *(*)(void *)>(reinterpret_cast<void (*)()>(
        class_fastmess(c, gensym("classname"))->fun));
    EXPECT_EQ(classname(x), sym(name));
    object_free(x);
    class_free(c);
}

TEST(Class, NewKeepsSixConstructorTypesAndStopsAfterGimme) {
    struct Case {
        std::vector<short> types;
        const char *expected; // 8 bytes
    };
    const Case cases[] = {
        {{AT_LONG, AT_LONG, AT_LONG, AT_LONG, AT_LONG, AT_LONG, AT_LONG, 0}, "\1\1\1\1\1\1\0\0"},
        {{AT_GIMME, AT_LONG, 0}, "\10\0\0\0\0\0\0\0"},
        {{AT_SYM, AT_CANT, AT_LONG, 0}, "\3\11\0\0\0\0\0\0"},
        {{0}, "\0\0\0\0\0\0\0\0"},
    };
    for (const Case &k : cases) {
        std::vector<short> t = k.types;
        t.resize(8, 0);
        t_class *c = class_new(unique_name("cls_types").c_str(), nullptr, nullptr, 32, nullptr,
                               t[0], t[1], t[2], t[3], t[4], t[5], t[6], t[7]);
        EXPECT_EQ(std::memcmp(c->newmess->type, k.expected, 8), 0) << int(k.types[0]);
        class_free(c);
    }
}

TEST(Class, AddingASelectorAgainReplacesItInPlaceAndFreesTheOldMethodObject) {
    t_class *c = plain_class(unique_name("cls_twice"));
    class_addmethod(c, as_method(answer_one), "first", AT_CANT, 0);
    class_addmethod(c, as_method(answer_one), "second", AT_CANT, 0);
    t_object *oldmo = nullptr;
    auto *methods = static_cast<t_hashtab *>(class_extra_lookup(c, ps_methods));
    ASSERT_NE(methods, nullptr);
    hashtab_lookup(methods, gensym("first"), &oldmo);
    ASSERT_NE(oldmo, nullptr);
    // Something hung on the old method object goes when it goes.
    free_log().clear();
    object_obex_store(oldmo, gensym("probe"), &probe_new(41)->ob);

    class_addmethod(c, as_method(answer_two), "first", AT_LONG, 0);
    EXPECT_EQ(c->messcount, 5);
    EXPECT_EQ(selectors(c), (std::vector<std::string>{"classname", "first", "second"}));
    t_messlist *m = class_fastmess(c, gensym("first"));
    EXPECT_EQ(m->fun, as_method(answer_two));
    EXPECT_EQ(m->type[0], AT_LONG);
    EXPECT_EQ(free_log(), std::vector<long>{41});
    class_free(c);
}

TEST(Class, FixedMessageListStillGetsMethodObjects) {
    t_class *c = plain_class(unique_name("cls_fixed"));
    c->flags |= CLASS_FLAG_MESSLIST_FIXED;
    class_addmethod(c, as_method(answer_one), "hidden", AT_CANT, 0);
    EXPECT_EQ(c->messcount, 3);
    EXPECT_EQ(class_fastmess(c, gensym("hidden")), nullptr);
    auto *methods = static_cast<t_hashtab *>(class_extra_lookup(c, ps_methods));
    t_object *mo = nullptr;
    ASSERT_EQ(hashtab_lookup(methods, gensym("hidden"), &mo), 0);
    EXPECT_EQ(method_object_getmethod(reinterpret_cast<t_method_object *>(mo)),
              as_method(answer_one));
    class_free(c);
}

TEST(Class, SeventhTypeIsKeptWithAReportAndTheEighthIgnored) {
    kivo::test::PostCapture posts;
    t_class *c = plain_class(unique_name("cls_seven"));
    class_addmethod(c, as_method(answer_one), "six", AT_LONG, AT_LONG, AT_LONG, AT_LONG, AT_LONG,
                    AT_LONG, 0);
    EXPECT_TRUE(posts.texts(POST_KIND_BUG).empty());
    class_addmethod(c, as_method(answer_one), "eight", AT_LONG, AT_LONG, AT_LONG, AT_LONG, AT_LONG,
                    AT_LONG, AT_FLOAT, AT_SYM, 0);
    EXPECT_EQ(posts.texts(POST_KIND_BUG), std::vector<std::string>{"class_addmethod: too many args!"});
    EXPECT_EQ(std::memcmp(class_fastmess(c, gensym("eight"))->type, "\1\1\1\1\1\1\2\0", 8), 0);
    class_free(c);
}

TEST(Class, LargeRegisteredClassAnswersThroughItsMethodTable) {
    t_class *c = plain_class(unique_name("cls_large"));
    for (int i = 0; i < 18; ++i)
        class_addmethod(c, as_method(answer_one), ("m" + std::to_string(i)).c_str(), AT_CANT, 0);
    ASSERT_EQ(c->messcount, 21);
    // Before registration there is no method table: the list is walked.
    EXPECT_EQ(c->methods, nullptr);
    t_messlist *walked = class_fastmess(c, gensym("m17"));
    ASSERT_NE(walked, nullptr);
    EXPECT_GE(walked, c->messlist);
    EXPECT_LT(walked, c->messlist + c->messcount);

    ASSERT_EQ(class_register(gensym("nobox"), c), 0);
    ASSERT_NE(c->methods, nullptr);
    t_messlist *hashed = class_fastmess(c, gensym("m17"));
    ASSERT_NE(hashed, nullptr);
    EXPECT_EQ(hashed, &reinterpret_cast<t_method_object *>(class_getmethod_object(c, gensym("m17")))
                           ->messlist_entry);
    EXPECT_EQ(class_fastmess(c, gensym("absent")), nullptr);
    // "classname" has no method object, yet a large class still answers it.
    EXPECT_EQ(class_fastmess(c, gensym("classname")), &c->messlist[1]);
}

TEST(Class, ObjectsKeepWorkingWhileTheirClassGrows) {
    t_class *c = plain_class(unique_name("cls_grow"));
    auto *x = static_cast<t_object *>(object_alloc(c));
    t_messlist *before = x->messlist;
    for (int i = 0; i < 40; ++i)
        class_addmethod(c, as_method(answer_one), ("g" + std::to_string(i)).c_str(), AT_CANT, 0);
    EXPECT_NE(c->messlist + 1, before); // the list moved
    EXPECT_EQ(object_class(x), c);      // the old one still names the class
    EXPECT_EQ(object_method(x, gensym("g39")), reinterpret_cast<void *>(1));
    object_free(x);
    class_free(c);
}

TEST(Class, LookupsAnswerForNullFreeAndMissing) {
    t_class *c = plain_class(unique_name("cls_lookup"));
    class_addmethod(c, as_method(answer_one), "here", AT_CANT, 0);
    auto *x = static_cast<t_object *>(object_alloc(c));
    t_object nolist{};

    EXPECT_EQ(class_mess(nullptr, gensym("here")), &_mess_nonmethod);
    EXPECT_EQ(class_mess(c, gensym("free")), &_mess_freemethod);
    EXPECT_EQ(class_mess(c, gensym("nothere")), nullptr);
    EXPECT_EQ(class_mess(c, gensym("here"))->fun, as_method(answer_one));
    EXPECT_EQ(object_mess(nullptr, gensym("here")), &_mess_nonmethod);
    EXPECT_EQ(object_mess(&nolist, gensym("here")), &_mess_nonmethod);
    EXPECT_EQ(object_mess(x, gensym("free")), &_mess_freemethod);
    EXPECT_EQ(object_mess(x, gensym("here"))->fun, as_method(answer_one));

    const method none = as_method(method_false);
    EXPECT_EQ(class_method(nullptr, gensym("here")), none);
    EXPECT_EQ(class_method(c, gensym("nothere")), none);
    EXPECT_EQ(class_method(c, gensym("free")), as_method(object_free));
    EXPECT_EQ(class_method(c, gensym("here")), as_method(answer_one));

    EXPECT_EQ(object_classname(nullptr), gensym(""));
    EXPECT_EQ(object_classname(&nolist), gensym(""));
    EXPECT_TRUE(object_classname_compare(x, c->name));
    EXPECT_FALSE(object_classname_compare(x, nullptr));
    object_free(x);
    class_free(c);
}

TEST(Class, StickyTablesAndExtras) {
    t_class *c = plain_class(unique_name("cls_sticky"));
    free_log().clear();
    EXPECT_EQ(class_sticky(c, gensym("tbl"), gensym("a"), &probe_new(1)->ob), 0);
    EXPECT_EQ(class_sticky(c, gensym("tbl"), gensym("b"), &probe_new(2)->ob), 0);
    t_object unstored{};
    EXPECT_EQ(class_sticky(c, nullptr, gensym("a"), &unstored), KIVO_ERR_INVALID_PTR);
    EXPECT_EQ(class_sticky_clear(c, gensym("tbl"), gensym("a")), 0);
    EXPECT_EQ(free_log(), std::vector<long>{1});
    EXPECT_EQ(class_sticky_clear(c, gensym("other"), gensym("a")), KIVO_ERR_GENERIC);
    EXPECT_EQ(class_sticky_clear(c, gensym("tbl"), gensym("all")), 0);
    EXPECT_EQ(free_log(), (std::vector<long>{1, 2}));
    EXPECT_EQ(class_extra_lookup(c, gensym("tbl")), nullptr);

    EXPECT_EQ(class_extra_storeflags(c, gensym("plain"), reinterpret_cast<void *>(7), 2), 0);
    EXPECT_EQ(class_extra_lookup(c, gensym("plain")), reinterpret_cast<void *>(7));
    EXPECT_EQ(class_extra_store(nullptr, gensym("plain"), c), KIVO_ERR_INVALID_PTR);
    EXPECT_EQ(class_extra_lookup(nullptr, gensym("plain")), nullptr);
    class_free(c);
}

TEST(Class, AdornmentsAreKeptByTheirClassName) {
    t_class *c = plain_class(unique_name("cls_adorn"));
    Probe *p = probe_new(5);
    EXPECT_EQ(class_addadornment(c, &p->ob), 0);
    EXPECT_EQ(class_adornment_get(c, gensym("kernel_probe")), p);

    // A classless header is kept under the empty symbol and, being no live
    // object, never freed by the table.
    t_object classless{};
    EXPECT_EQ(class_addadornment(c, &classless), 0);
    EXPECT_EQ(class_adornment_get(c, gensym("")), &classless);
    EXPECT_EQ(class_addadornment(c, nullptr), KIVO_ERR_INVALID_PTR);
    class_free(c);
}

TEST(Class, TypedWrappersOfTheObjectComeBeforeTheClass) {
    t_class *c = plain_class(unique_name("cls_wrap"), sizeof(t_object));
    EXPECT_EQ(class_addtypedwrapper(c, as_method(answer_one), "w", AT_LONG, AT_FLOAT, 0), 0);
    t_messlist *cw = class_typedwrapper_get(c, gensym("w"));
    ASSERT_NE(cw, nullptr);
    EXPECT_EQ(std::memcmp(cw->type, "\1\2\0\0\0\0\0\0", 8), 0);
    EXPECT_EQ(class_typedwrapper_get(c, gensym("x")), nullptr);

    auto *x = static_cast<t_object *>(object_alloc(c));
    EXPECT_EQ(object_typedwrapper_get(x, gensym("w")), cw);
    // An object's own wrapper counts once the class allows own methods.
    t_messlist own = {gensym("w"), as_method(answer_two), {AT_SYM}};
    t_hashtab *table = hashtab_new(0);
    hashtab_storeflags(table, gensym("w"), reinterpret_cast<t_object *>(&own), 2);
    object_obex_store(x, gensym("typedwrapper"), &table->ob);
    EXPECT_EQ(object_typedwrapper_get(x, gensym("w")), cw);
    c->flags |= CLASS_FLAG_OWNATTRIBUTES;
    EXPECT_EQ(object_typedwrapper_get(x, gensym("w")), &own);
    object_free(x);
    class_free(c);
}

TEST(Class, MethodObjectsAnswerTheirMessages) {
    t_method_object *mo = method_object_new(as_method(answer_one), "sel", AT_LONG, AT_SYM, 0);
    ASSERT_NE(mo, nullptr);
    EXPECT_EQ(object_classname(mo), gensym("method_object"));
    EXPECT_EQ(object_method(mo, gensym("getname")), gensym("sel"));
    object_method(mo, gensym("setname"), gensym("renamed"));
    EXPECT_EQ(mo->messlist_entry.sym, gensym("renamed"));
    auto *entry = static_cast<t_messlist *>(object_method(mo, gensym("getmesslist")));
    EXPECT_EQ(entry, &mo->messlist_entry);
    EXPECT_EQ(std::memcmp(entry->type, "\1\3\0\0\0\0\0\0", 8), 0);
    t_messlist other = {gensym("other"), as_method(answer_two), {AT_FLOAT}};
    object_method(mo, gensym("setmesslist"), &other);
    EXPECT_EQ(method_object_getmethod(mo), as_method(answer_two));
    method_object_setmethod(mo, as_method(answer_one));
    EXPECT_EQ(mo->messlist_entry.fun, as_method(answer_one));

    auto *copy = static_cast<t_method_object *>(object_method(mo, gensym("object_clone")));
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, mo);
    EXPECT_EQ(copy->messlist_entry.sym, gensym("other"));
    object_free(copy);
    object_free(mo);

    t_method_object *empty = method_object_new(nullptr, "x", AT_LONG, 0);
    EXPECT_EQ(empty->messlist_entry.sym, nullptr);
    object_free(empty);
    t_method_object *fromnull = method_object_new_messlist(nullptr);
    EXPECT_EQ(fromnull->messlist_entry.fun, nullptr);
    object_free(fromnull);
}

TEST(Class, AttributesAreStoredByNameAndAppliedAsClones) {
    t_class *c = plain_class(unique_name("cls_attr"));
    EXPECT_EQ(class_dumpout_wrap(c), KIVO_ERR_GENERIC); // no attribute table yet
    Probe *a1 = probe_new(1);
    Probe *a2 = probe_new(2);
    EXPECT_EQ(class_addattr(c, &a1->ob), 0);
    EXPECT_EQ(class_addattr(c, &a2->ob), 0);
    EXPECT_EQ(class_attr_get(c, gensym("probe1")), &a1->ob);
    EXPECT_EQ(class_addattr(nullptr, &a1->ob), KIVO_ERR_INVALID_PTR);

    // Only attributes the user may get have a "get" method added.
    EXPECT_EQ(class_dumpout_wrap(c), 0);
    EXPECT_NE(class_fastmess(c, gensym("getprobe1")), nullptr);
    EXPECT_EQ(class_fastmess(c, gensym("getprobe2")), nullptr);

    auto *x = static_cast<t_object *>(object_alloc(c));
    EXPECT_EQ(object_attrhash_apply(x, c->attributes), 0);
    t_object *table = nullptr;
    object_obex_lookup(x, gensym("attributes"), &table);
    ASSERT_NE(table, nullptr);
    t_object *clone = nullptr;
    hashtab_lookup(reinterpret_cast<t_hashtab *>(table), gensym("probe1001"), &clone);
    ASSERT_NE(clone, nullptr);
    EXPECT_NE(clone, &a1->ob);
    free_log().clear();
    object_free(x);
    EXPECT_EQ(free_log().size(), 2u); // the clones went with the object
    class_free(c);
}

TEST(Class, NullArguments) {
    EXPECT_EQ(class_new(nullptr, nullptr, nullptr, 32, nullptr, 0), nullptr);
    EXPECT_EQ(class_addmethod(nullptr, as_method(answer_one), "x", 0), KIVO_ERR_INVALID_PTR);
    EXPECT_EQ(class_free(nullptr), KIVO_ERR_INVALID_PTR);
    EXPECT_EQ(class_obexoffset_get(nullptr), 0);
    EXPECT_EQ(class_is_box(nullptr), 0);
    EXPECT_EQ(object_class(nullptr), nullptr);
    EXPECT_EQ(class_getmethod_object(nullptr, gensym("x")), nullptr);
    EXPECT_EQ(class_addtypedwrapper(nullptr, nullptr, "x", 0), KIVO_ERR_INVALID_PTR);
}

} // namespace

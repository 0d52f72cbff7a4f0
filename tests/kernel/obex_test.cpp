// The extension store: fast keys, ownership, where the store lives, flags,
// the cached notify method and the generic clone.
#include <gtest/gtest.h>

#include "kernel/obex_internal.h"
#include "objects_support.h"
#include "support/kivo_test.h"

namespace {

using kivo::obex::InletShape;
using kivo::test::as_method;
using kivo::test::free_log;
using kivo::test::plain_class;
using kivo::test::Probe;
using kivo::test::probe_new;
using kivo::test::unique_name;

// An object with a store slot of its own.
struct Slotted {
    t_object ob;
    t_hashtab *store;
    long payload;
};

t_class *slotted_class() {
    static t_class *c = [] {
        t_class *k = plain_class("obex_slotted", sizeof(Slotted));
        k->obexoffset = offsetof(Slotted, store);
        class_register(gensym("nobox"), k);
        return k;
    }();
    return c;
}

Slotted *slotted_new() {
    return static_cast<Slotted *>(object_alloc(slotted_class()));
}

TEST(Obex, FreshStoreAnswersFastKeysOnly) {
    Slotted *x = slotted_new();
    ASSERT_NE(x->store, nullptr);
    EXPECT_EQ(object_obex_get(x), x->store);
    auto *mx = static_cast<t_mobex *>(x->store->mobex);
    ASSERT_NE(mx, nullptr);
    EXPECT_EQ(mx->notify_method, OBEX_NOTIFY_UNKNOWN);
    EXPECT_EQ(mx->retain_count, 1);
    for (const char *key : {"#P", "#B", "#S", "time", "attributes"}) {
        t_object *v = reinterpret_cast<t_object *>(1);
        EXPECT_EQ(object_obex_lookup(x, gensym(key), &v), 0) << key;
        EXPECT_EQ(v, nullptr) << key;
    }
    t_object *v = reinterpret_cast<t_object *>(1);
    EXPECT_EQ(object_obex_lookup(x, gensym("other"), &v), KIVO_ERR_GENERIC);
    EXPECT_EQ(v, nullptr);
    t_atom_long l = 5;
    t_symbol *s = gensym("x");
    EXPECT_EQ(object_obex_lookuplong(x, gensym("other"), &l), KIVO_ERR_GENERIC);
    EXPECT_EQ(object_obex_lookupsym(x, gensym("other"), &s), KIVO_ERR_GENERIC);
    EXPECT_EQ(l, 0);
    EXPECT_EQ(s, nullptr);
    object_obex_storelong(x, gensym("n"), 12);
    object_obex_storesym(x, gensym("s"), gensym("val"));
    EXPECT_EQ(object_obex_lookuplong(x, gensym("n"), &l), 0);
    EXPECT_EQ(l, 12);
    EXPECT_EQ(object_obex_lookupsym(x, gensym("s"), &s), 0);
    EXPECT_EQ(s, gensym("val"));
    object_free(x);
}

TEST(Obex, FastOnlyKeysAndDumpoutAreNeverFreedByTheStore) {
    Slotted *x = slotted_new();
    Probe *values[4] = {probe_new(1), probe_new(2), probe_new(3), probe_new(4)};
    const char *keys[4] = {"#P", "#B", "#S", "dumpout"};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(object_obex_store(x, gensym(keys[i]), &values[i]->ob), 0);
    // "#S" is no table entry: removing it fails and leaves the slot alone.
    EXPECT_EQ(object_obex_chuck(x, gensym("#S")), KIVO_ERR_GENERIC);
    t_object *v = nullptr;
    object_obex_lookup(x, gensym("#S"), &v);
    EXPECT_EQ(v, &values[2]->ob);
    free_log().clear();
    object_free(x);
    EXPECT_TRUE(free_log().empty());
    for (Probe *p : values) object_free(p);
}

TEST(Obex, MirroredKeysFollowTheTable) {
    Slotted *x = slotted_new();
    t_hashtab *first = hashtab_new(0);
    t_hashtab *second = hashtab_new(0);
    hashtab_store(first, gensym("inside"), &probe_new(1)->ob);
    free_log().clear();
    object_obex_store(x, gensym("attributes"), &first->ob);
    object_obex_store(x, gensym("attributes"), &second->ob);
    EXPECT_EQ(free_log(), std::vector<long>{1}); // the first table went, with what it held
    t_object *v = nullptr;
    object_obex_lookup(x, gensym("attributes"), &v);
    EXPECT_EQ(v, &second->ob);
    // Taking the table away also empties its fast slot.
    EXPECT_EQ(object_obex_chuck(x, gensym("attributes")), 0);
    object_obex_lookup(x, gensym("attributes"), &v);
    EXPECT_EQ(v, nullptr);
    object_free(second);
    object_free(x);
}

TEST(Obex, OffsetZeroObjectsKeepTheStoreOnAPlaceholderInlet) {
    t_class *c = plain_class(unique_name("obex_zero"));
    auto *x = static_cast<t_object *>(object_alloc(c));
    EXPECT_EQ(object_obex_get(x), nullptr);
    EXPECT_EQ(x->inlet, nullptr);
    free_log().clear();
    ASSERT_EQ(object_obex_store(x, gensym("probe"), &probe_new(8)->ob), 0);
    auto *head = static_cast<InletShape *>(x->inlet);
    ASSERT_NE(head, nullptr);
    EXPECT_EQ(object_classname(head), gensym("obex_container"));
    EXPECT_EQ(head->owner, x);
    EXPECT_EQ(head->store, object_obex_get(x));

    // A second store for the same object is refused; the first stays.
    kivo::test::PostCapture posts;
    t_hashtab *other = hashtab_new(3);
    EXPECT_EQ(object_obex_set(x, other), KIVO_ERR_GENERIC);
    EXPECT_EQ(posts.texts(POST_KIND_ERROR),
              std::vector<std::string>{"object_obex_set_sneaky: already existing outlet object "
                                       "hashtab for " + std::string(c->name->name)});
    EXPECT_EQ(head->store, object_obex_get(x));
    object_free(other);

    object_free(x); // the placeholder and the store go with the object
    EXPECT_EQ(free_log(), std::vector<long>{8});

    t_class *none = plain_class(unique_name("obex_none"));
    none->obexoffset = -1;
    auto *y = static_cast<t_object *>(object_alloc(none));
    EXPECT_EQ(object_obex_enforce(y), nullptr);
    EXPECT_EQ(object_obex_set(y, nullptr), KIVO_ERR_GENERIC);
    EXPECT_EQ(y->inlet, nullptr);
    object_free(y);
    class_free(c);
    class_free(none);
}

TEST(Obex, FlagSettersCreateTheStoreExceptForTheConsole) {
    t_class *c = plain_class(unique_name("obex_flags"));
    struct Case {
        t_kivo_err (*set)(void *, long);
        t_ptr_uint flag;
        bool creates;
    };
    const Case cases[] = {
        {object_obex_needsconsolepurge_set, OBEX_FLAG_NEEDSCONSOLEPURGE, false},
        {object_obex_has_clients_set, OBEX_FLAG_HASCLIENTS, false},
        {object_obex_needsschedpurge_set, OBEX_FLAG_NEEDSSCHEDPURGE, true},
        {object_obex_needsqueuepurge_set, OBEX_FLAG_NEEDSQUEUEPURGE, true},
        {object_obex_autostimulate_set, OBEX_FLAG_AUTOSTIMULATE, true},
    };
    for (const Case &k : cases) {
        auto *x = static_cast<t_object *>(object_alloc(c));
        EXPECT_EQ(k.set(x, 1), k.creates ? 0 : KIVO_ERR_GENERIC);
        EXPECT_EQ(object_obex_get(x) != nullptr, k.creates);
        object_obex_enforce(x);
        EXPECT_EQ(k.set(x, 1), 0);
        EXPECT_EQ(object_obex_flags_get(x), k.flag);
        EXPECT_EQ(k.set(x, 0), 0);
        EXPECT_EQ(object_obex_flags_get(x), 0u);
        object_free(x);
    }
    auto *x = static_cast<t_object *>(object_alloc(c));
    object_obex_needsschedpurge_set(x, 1);
    object_obex_needsconsolepurge_set(x, 1);
    EXPECT_TRUE(object_obex_needsconsolepurge_get(x));
    object_free(x);
    class_free(c);
}

void *notify_method(t_object *x) {
    return nullptr;
}

TEST(Obex, NotifyMethodIsLookedUpOnce) {
    t_class *c = plain_class(unique_name("obex_notify"), sizeof(Slotted));
    c->obexoffset = offsetof(Slotted, store);
    class_register(gensym("nobox"), c);
    auto *x = static_cast<t_object *>(object_alloc(c));
    EXPECT_EQ(object_obex_notify_get(x), nullptr);
    class_addmethod(c, as_method(notify_method), "notify", AT_CANT, 0);
    EXPECT_EQ(object_obex_notify_get(x), nullptr); // cached: no second lookup
    auto *y = static_cast<t_object *>(object_alloc(c));
    EXPECT_EQ(object_obex_notify_get(y), as_method(notify_method));
    object_free(x);
    object_free(y);
}

TEST(Obex, GenericCloneCopiesBytesAndClonesOwnAttributes) {
    Slotted *x = slotted_new();
    x->payload = 77;
    Slotted *plain = reinterpret_cast<Slotted *>(object_clone_generic(&x->ob));
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(plain->payload, 77);
    EXPECT_NE(plain->store, x->store); // its own store from allocation
    t_object *attrs = nullptr;
    object_obex_lookup(plain, gensym("attributes"), &attrs);
    EXPECT_EQ(attrs, nullptr);

    Probe *attr = probe_new(1);
    object_addattr(&x->ob, &attr->ob);
    Slotted *copy = reinterpret_cast<Slotted *>(object_clone_generic(&x->ob));
    object_obex_lookup(copy, gensym("attributes"), &attrs);
    ASSERT_NE(attrs, nullptr);
    t_object *cloned = nullptr;
    hashtab_lookup(reinterpret_cast<t_hashtab *>(attrs), gensym("probe1001"), &cloned);
    EXPECT_NE(cloned, nullptr);
    EXPECT_NE(cloned, &attr->ob);

    // Objects of offset-0 classes get attributes on a placeholder of their own.
    t_class *c = plain_class(unique_name("obex_clone0"));
    class_addmethod(c, as_method(object_clone_generic), "object_clone", AT_CANT, 0);
    EXPECT_TRUE(class_clonable(c));
    t_class *noclone = plain_class(unique_name("obex_noclone"));
    EXPECT_FALSE(class_clonable(noclone));
    class_free(noclone);
    auto *z = static_cast<t_object *>(object_alloc(c));
    object_addattr(z, &probe_new(3)->ob);
    auto *zc = static_cast<t_object *>(object_clone(z));
    ASSERT_NE(zc, nullptr);
    EXPECT_NE(zc->inlet, z->inlet);
    EXPECT_NE(object_obex_get(zc), object_obex_get(z));
    EXPECT_TRUE(object_clonable(z));
    EXPECT_FALSE(object_clonable(nullptr));

    free_log().clear();
    for (t_object *o : {&x->ob, &plain->ob, &copy->ob, z, zc}) object_free(o);
    EXPECT_EQ(free_log().size(), 4u); // 1, 1001, 3, 1003
    class_free(c);
}

TEST(Obex, StickyTablesOfAnObject) {
    Slotted *x = slotted_new();
    EXPECT_EQ(object_sticky_clear(&x->ob, gensym("tbl"), gensym("a")), KIVO_ERR_GENERIC);
    free_log().clear();
    object_sticky(&x->ob, gensym("tbl"), gensym("a"), &probe_new(1)->ob);
    object_sticky(&x->ob, gensym("tbl"), gensym("b"), &probe_new(2)->ob);
    EXPECT_EQ(object_sticky_clear(&x->ob, gensym("tbl"), gensym("a")), 0);
    EXPECT_EQ(free_log(), std::vector<long>{1});
    EXPECT_EQ(object_sticky_clear(&x->ob, gensym("tbl"), gensym("all")), 0);
    EXPECT_EQ(free_log(), (std::vector<long>{1, 2}));
    t_object *v = nullptr;
    EXPECT_EQ(object_obex_lookup(x, gensym("tbl"), &v), KIVO_ERR_GENERIC);
    object_free(x);
}

TEST(Obex, BadObjectsHaveNoStore) {
    t_object fake{};
    t_object *v = reinterpret_cast<t_object *>(1);
    EXPECT_EQ(object_obex_get(&fake), nullptr);
    EXPECT_EQ(object_obex_get(nullptr), nullptr);
    EXPECT_EQ(object_obex_lookup(&fake, gensym("#P"), &v), KIVO_ERR_GENERIC);
    EXPECT_EQ(v, nullptr);
    EXPECT_EQ(object_obex_lookup(&fake, gensym("#P"), nullptr), KIVO_ERR_GENERIC);
    EXPECT_EQ(object_obex_set(nullptr, nullptr), KIVO_ERR_GENERIC);
    EXPECT_EQ(object_obex_flags_get(nullptr), 0u);

    kivo::test::PostCapture posts;
    object_obex_quickref(nullptr);
    EXPECT_EQ(posts.texts(POST_KIND_WARN), std::vector<std::string>{"object_obex_quickref obsolete"});
}

} // namespace

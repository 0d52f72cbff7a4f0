// The registry from one thread: registering and sharing, taken names,
// unique names and their reuse, single symbols, attaching, notification
// order, subscriptions, references and the kernel's own notifications.
// Several threads: registry_threads_test.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "kernel/obex_internal.h"
#include "kernel/registry_internal.h"
#include "objects_support.h"
#include "support/kivo_test.h"

namespace {

using kivo::test::as_method;
using kivo::test::PostCapture;
using kivo::test::sym;
using kivo::test::unique_name;

struct Note {
    long receiver;
    std::string sender_name; // "" when the sender had none
    std::string message;
    void *sender;
    void *data;
    bool operator==(const Note &) const = default;
};

std::vector<Note> g_notes;
std::vector<long> g_freed;

struct Watch {
    t_object ob;
    long id;
    long detach_on_notify; // a client to detach from `server_name` while notified, by id
    t_object *peer;
    t_symbol *server_name;
};

t_kivo_err watch_notify(Watch *x, t_symbol *name, t_symbol *message, void *sender, void *data) {
    g_notes.push_back({x->id, name ? name->name : "", message->name, sender, data});
    if (x->peer) object_detach(gensym("regtest"), x->server_name, x->peer);
    return 0;
}

void watch_free(Watch *x) {
    g_freed.push_back(x->id);
}

Watch *watch_new(t_class *c, long id);

void *watch_newcopy(Watch *x) {
    return watch_new(object_class(x), x->id + 100);
}

long watch_setvalueof(Watch *x, long, t_atom *) {
    g_notes.push_back({x->id, "", "setvalueof method", nullptr, nullptr});
    return 0;
}

t_class *watch_class(const std::string &name, long flags = 0) {
    static std::map<std::string, t_class *> classes;
    auto &c = classes[name];
    if (!c) {
        c = class_new(name.c_str(), nullptr, as_method(watch_free), sizeof(Watch), nullptr, 0);
        class_addmethod(c, as_method(watch_notify), "notify", AT_CANT, 0);
        class_addmethod(c, as_method(watch_newcopy), "newcopy", AT_CANT, 0);
        class_addmethod(c, as_method(watch_setvalueof), "setvalueof", AT_CANT, 0);
        c->flags |= flags;
        class_register(gensym("nobox"), c);
    }
    return c;
}

Watch *watch_new(t_class *c, long id) {
    auto *x = static_cast<Watch *>(object_alloc(c));
    x->id = id;
    return x;
}

Watch *watch(long id) {
    return watch_new(watch_class("regtest_watch"), id);
}

Watch *other(long id) {
    return watch_new(watch_class("regtest_other"), id);
}

t_symbol *ns() {
    return gensym("regtest");
}

t_symbol *fresh_name() {
    return sym(unique_name("regname"));
}

// Tests run on one thread, so a registration can be read without the
// region.
t_atom_long refcount(t_symbol *name_space, t_symbol *name) {
    t_reg_object *reg = object_findregistered_regob(name_space, name);
    return reg ? reg->refcount : 0;
}

t_mobex *mobex(void *x) {
    t_hashtab *store = object_obex_get(x);
    return store ? static_cast<t_mobex *>(store->mobex) : nullptr;
}

bool freed(long id) {
    return std::find(g_freed.begin(), g_freed.end(), id) != g_freed.end();
}

std::vector<std::string> messages_to(long receiver) {
    std::vector<std::string> out;
    for (auto &n : g_notes)
        if (n.receiver == receiver) out.push_back(n.message);
    return out;
}

class Registry : public ::testing::Test {
protected:
    void SetUp() override {
        g_notes.clear();
        g_freed.clear();
    }
};

// ---- registering and sharing

TEST_F(Registry, RegisteringTwiceSharesOneRegistrationUntilTheLastFree) {
    t_symbol *name = fresh_name();
    Watch *x = watch(1), *client = watch(2);
    ASSERT_EQ(object_register(ns(), name, x), x);
    ASSERT_EQ(object_register(ns(), name, x), x);
    EXPECT_EQ(refcount(ns(), name), 2);
    ASSERT_EQ(object_attach(ns(), name, client), x);

    object_free(x);
    EXPECT_FALSE(freed(1));
    EXPECT_EQ(object_findregistered(ns(), name), x);
    EXPECT_EQ(refcount(ns(), name), 1);
    EXPECT_TRUE(g_notes.empty());

    object_free(x);
    EXPECT_TRUE(freed(1));
    EXPECT_EQ(object_findregistered(ns(), name), nullptr);
    EXPECT_EQ(g_notes, (std::vector<Note>{{2, name->name, "willfree", x, nullptr},
                                          {2, name->name, "free", x, nullptr}}));
    EXPECT_EQ(mobex(client)->server_count, 0);
    EXPECT_EQ(mobex(client)->servers, nullptr);
    object_free(client);
}

TEST_F(Registry, UnregisterDropsOneReferenceAndEndsWithTheLast) {
    t_symbol *name = fresh_name();
    Watch *x = watch(1);
    object_register(ns(), name, x);
    object_register(ns(), name, x);
    EXPECT_EQ(object_unregister(x), -1);
    EXPECT_EQ(object_findregistered(ns(), name), x);
    EXPECT_EQ(object_unregister(x), 0);
    EXPECT_EQ(object_findregistered(ns(), name), nullptr);
    EXPECT_FALSE(object_obex_flags_get(x) & OBEX_FLAG_REGISTERED);
    EXPECT_FALSE(freed(1));
    object_free(x);
    EXPECT_TRUE(freed(1));
}

// Only the name's class decides: the same class shares the registered
// object, another class is refused and keeps its own object.
TEST_F(Registry, TakenNames) {
    t_symbol *name = fresh_name();
    Watch *first = watch(1);
    ASSERT_EQ(object_register(ns(), name, first), first);

    Watch *same = watch(2);
    EXPECT_EQ(object_register(ns(), name, same), first);
    EXPECT_TRUE(freed(2));
    EXPECT_EQ(refcount(ns(), name), 2);

    PostCapture posts;
    Watch *stranger = other(3);
    EXPECT_EQ(object_register(ns(), name, stranger), nullptr);
    EXPECT_FALSE(freed(3));
    EXPECT_EQ(stranger->ob.magic, KIVO_OBJECT_MAGIC);
    EXPECT_EQ(posts.texts(POST_KIND_ERROR),
              std::vector<std::string>{"object_register: cannot register '" + std::string(name->name) +
                                       "' in 'regtest': taken by an object of class 'regtest_watch'"});
    EXPECT_EQ(refcount(ns(), name), 2);

    // Refused before it leaves its old name.
    t_symbol *own = fresh_name();
    object_register(ns(), own, stranger);
    EXPECT_EQ(object_register(ns(), name, stranger), nullptr);
    EXPECT_EQ(object_findregistered(ns(), own), stranger);

    object_free(stranger);
    object_free(first);
    object_free(first);
    EXPECT_EQ(object_findregistered(ns(), name), nullptr);
}

TEST_F(Registry, ReregisteringRules) {
    PostCapture posts;
    // Not shared: the object moves to the new name.
    t_symbol *a = fresh_name(), *b = fresh_name();
    Watch *x = watch(1);
    object_register(ns(), a, x);
    EXPECT_EQ(object_register(ns(), b, x), x);
    EXPECT_EQ(object_findregistered(ns(), a), nullptr);
    EXPECT_EQ(object_findregistered(ns(), b), x);

    // Shared: the object stays under the old name, its copy takes the new.
    t_symbol *c = fresh_name();
    object_register(ns(), b, x);
    auto *copy = static_cast<Watch *>(object_register(ns(), c, x));
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, x);
    EXPECT_EQ(copy->id, 101);
    EXPECT_EQ(object_findregistered(ns(), b), x);
    EXPECT_EQ(refcount(ns(), b), 1);
    EXPECT_EQ(object_findregistered(ns(), c), copy);

    // Another name space is refused.
    EXPECT_EQ(object_register(gensym("regtest_elsewhere"), a, x), nullptr);
    EXPECT_EQ(posts.texts(POST_KIND_ERROR),
              std::vector<std::string>{
                  "object_register: object already registered in regtest, cannot reregister in regtest_elsewhere"});

    // The empty symbol unregisters.
    EXPECT_EQ(object_register(ns(), gensym(""), copy), copy);
    EXPECT_EQ(object_findregistered(ns(), c), nullptr);
    object_free(copy);
    object_free(x);
}

TEST_F(Registry, NameFormsAndLookups) {
    PostCapture posts;
    Watch *x = watch(1);
    EXPECT_EQ(object_register(ns(), gensym("obj:regtest:x"), x), x);
    EXPECT_FALSE(object_obex_flags_get(x) & OBEX_FLAG_REGISTERED);
    EXPECT_EQ(posts.texts(POST_KIND_ERROR),
              std::vector<std::string>{"object_register: trying to register object using single symbol "
                                       "registered object syntax obj:regtest:x"});

    EXPECT_EQ(object_register(nullptr, nullptr, x), x);
    t_symbol *name_space = nullptr, *name = nullptr;
    ASSERT_EQ(object_findregisteredbyptr(&name_space, &name, x), 0);
    EXPECT_EQ(name_space, gensym("nobox"));
    EXPECT_TRUE(symbol_is_unique(name)) << name->name;
    EXPECT_EQ(object_findregisteredbyptr(nullptr, &name, x), 0);

    long count = 0;
    t_symbol **names = nullptr;
    ASSERT_EQ(object_register_getnames(gensym("nobox"), &count, &names), 0);
    EXPECT_NE(std::find(names, names + count, name), names + count);
    sysmem_freeptr(names);
    EXPECT_EQ(object_register_getnames(nullptr, &count, &names), -1);
    EXPECT_EQ(object_register_getnames(gensym("regtest_never_used"), &count, &names), -1);

    object_free(x);
    Watch *loose = watch(2);
    EXPECT_EQ(object_findregisteredbyptr(&name_space, &name, loose), -1);
    object_free(loose);
}

TEST_F(Registry, NameSpaceTablesBySize) {
    EXPECT_EQ(reg_object_namespace_lookup(gensym("regtest_not_made")), nullptr);
    EXPECT_EQ(reg_object_namespace_fromsym(nullptr), nullptr);
    EXPECT_EQ(reg_object_namespace_fromsym(gensym("")), nullptr);
    const std::pair<const char *, t_atom_long> cases[] = {
        {"box", 10007}, {"nobox", 10007}, {"voxim", 1999}, {"dictionary", 1999}, {"regtest_sized", 257}};
    for (auto [space, slots] : cases) {
        t_hashtab *table = reg_object_namespace_fromsym(gensym(space));
        ASSERT_NE(table, nullptr) << space;
        EXPECT_EQ(table->slotcount, slots) << space;
        EXPECT_EQ(reg_object_namespace_lookup(gensym(space)), table) << space;
    }
}

// ---- unique names

TEST_F(Registry, UniqueNameForm) {
    const std::pair<const char *, long> cases[] = {
        {"u123456789", 1}, {"u000000000", 1}, {"u12345678", 0}, {"u1234567890", 0},
        {"x123456789", 0}, {"u12345678a", 0}, {"U123456789", 0}, {"", 0}};
    for (auto [text, unique] : cases) EXPECT_EQ(symbol_is_unique(gensym(text)), unique) << text;
    EXPECT_EQ(symbol_is_unique(nullptr), 0);
    for (int i = 0; i < 20; i++) {
        t_symbol *s = symbol_unique();
        EXPECT_TRUE(symbol_is_unique(s)) << s->name;
    }
}

// Past 999,999 the serial grows a seventh digit: such names are no longer
// recognised as unique and never return to the pool.
TEST_F(Registry, SerialsPastSixDigitsAreNotRecycled) {
    const t_atom_ulong saved = symbol_unique_serial_set(999999);
    Watch *x = watch(1);
    object_register(ns(), nullptr, x);
    t_symbol *name = nullptr;
    object_findregisteredbyptr(nullptr, &name, x);
    EXPECT_EQ(std::strlen(name->name), 11u) << name->name;
    EXPECT_STREQ(name->name + 4, "1000000");
    EXPECT_FALSE(symbol_is_unique(name));
    const t_atom_long pooled = symbol_unique_pool_count();
    object_free(x);
    EXPECT_EQ(symbol_unique_pool_count(), pooled);
    symbol_unique_serial_set(saved + 1);
}

// Released names wait in the pool and come back, oldest first, only while
// more than 10,000 wait.
TEST_F(Registry, UniqueNamesAreReusedOldestFirst) {
    const t_atom_long before = symbol_unique_pool_count();
    std::vector<t_symbol *> released;
    auto release = [&](t_symbol *name) {
        Watch *x = watch(1);
        object_register(ns(), name, x);
        object_findregisteredbyptr(nullptr, &name, x);
        object_free(x);
        released.push_back(name);
    };
    while (symbol_unique_pool_count() < 10000) release(nullptr);
    t_symbol *fresh = symbol_unique();
    EXPECT_EQ(std::find(released.begin(), released.end(), fresh), released.end());
    EXPECT_EQ(symbol_unique_pool_count(), 10000);

    // A name released twice waits once.
    release(released.back());
    EXPECT_EQ(symbol_unique_pool_count(), 10000);

    // Names of the unique form go to the pool however they were made.
    // Names pooled before this test come out first.
    const long extra = static_cast<long>(before) + 2;
    char text[32];
    for (long i = 1; i <= extra; i++) {
        std::snprintf(text, sizeof text, "u777%06ld", i);
        release(gensym(text));
    }
    EXPECT_EQ(symbol_unique_pool_count(), 10000 + extra);
    std::vector<t_symbol *> reused;
    for (long i = 0; i < extra; i++) reused.push_back(symbol_unique());
    EXPECT_EQ(symbol_unique_pool_count(), 10000);
    EXPECT_EQ(std::vector<t_symbol *>(reused.end() - 2, reused.end()),
              (std::vector<t_symbol *>{released[0], released[1]}));
}

// ---- single symbols

TEST_F(Registry, SingleSymbols) {
    Watch *x = watch(1);
    object_register(ns(), gensym("regtest:with:colons"), x);
    t_symbol *single = reg_object_singlesym(ns(), gensym("regtest:with:colons"));
    ASSERT_NE(single, nullptr);
    EXPECT_STREQ(single->name, "obj:regtest:regtest:with:colons");
    EXPECT_EQ(reg_object_singlesym(ns(), gensym("regtest_nothing_here")), nullptr);

    struct Case {
        const char *text;
        t_kivo_err result;
        const char *name_space, *name;
    } const cases[] = {
        {"obj:regtest:regtest:with:colons", 0, "regtest", "regtest:with:colons"},
        {"obj:regtest:regtest_nothing_here", -1, nullptr, nullptr},
        {"obj:regtest", -1, nullptr, nullptr},
        {"regtest:regtest:with:colons", -1, nullptr, nullptr},
    };
    for (const Case &c : cases) {
        t_symbol *space = gensym("stale"), *name = gensym("stale");
        EXPECT_EQ(reg_object_singlesym_split(gensym(c.text), &space, &name), c.result) << c.text;
        EXPECT_EQ(space, c.name_space ? gensym(c.name_space) : nullptr) << c.text;
        EXPECT_EQ(name, c.name ? gensym(c.name) : nullptr) << c.text;
    }
    std::string longer = "obj:regtest:" + std::string(3000, 'n');
    EXPECT_EQ(reg_object_singlesym_split(gensym(longer.c_str()), nullptr, nullptr), -1);

    EXPECT_EQ(object_findregistered(ns(), single), x);
    PostCapture posts;
    EXPECT_EQ(object_findregistered(gensym("nobox"), single), nullptr);
    EXPECT_EQ(posts.texts(POST_KIND_ERROR),
              std::vector<std::string>{"object_findregistered: looking for single sym registered object "
                                       "obj:regtest:regtest:with:colons in namespace:nobox, but found in regtest"});
    EXPECT_EQ(object_attach(ns(), single, x), x); // the route of every lookup
    object_detach(ns(), single, x);
    object_free(x);
}

// ---- attaching

TEST_F(Registry, ClientsKeepTheirServers) {
    t_symbol *names[3] = {fresh_name(), fresh_name(), fresh_name()};
    Watch *servers[3] = {watch(1), watch(2), watch(3)};
    for (int i = 0; i < 3; i++) object_register(ns(), names[i], servers[i]);
    Watch *client = watch(10);

    EXPECT_EQ(object_attach(ns(), fresh_name(), client), nullptr);
    EXPECT_EQ(object_attach(ns(), names[0], nullptr), nullptr);
    EXPECT_EQ(object_attach(ns(), names[0], client), servers[0]);
    EXPECT_EQ(object_attach(ns(), names[0], client), servers[0]);
    EXPECT_EQ(mobex(client)->server_count, 1);
    EXPECT_EQ(mobex(client)->servers, servers[0]);
    EXPECT_EQ(hashtab_getsize(object_findregistered_regob(ns(), names[0])->clients), 1);
    EXPECT_TRUE(object_obex_flags_get(servers[0]) & OBEX_FLAG_HASCLIENTS);

    object_attach(ns(), names[1], client);
    object_attach(ns(), names[2], client);
    EXPECT_EQ(mobex(client)->server_count, 3);
    EXPECT_EQ(linklist_getsize(static_cast<t_linklist *>(mobex(client)->servers)), 3);

    EXPECT_EQ(object_detach(ns(), names[0], client), 0);
    EXPECT_EQ(object_detach(ns(), names[0], client), 0); // no longer attached
    EXPECT_FALSE(object_obex_flags_get(servers[0]) & OBEX_FLAG_HASCLIENTS);
    EXPECT_EQ(object_detach_byptr(client, servers[1]), 0);
    EXPECT_EQ(mobex(client)->server_count, 1);
    EXPECT_EQ(mobex(client)->servers, servers[2]);
    EXPECT_EQ(object_detach(ns(), names[0], nullptr), -1);
    EXPECT_EQ(object_detach(ns(), fresh_name(), client), -1);

    // A client freed while attached leaves nothing behind in its servers.
    object_attach(ns(), names[0], client);
    object_free(client);
    object_notify(servers[0], gensym("ping"), nullptr);
    object_notify(servers[2], gensym("ping"), nullptr);
    EXPECT_TRUE(messages_to(10).empty());
    EXPECT_EQ(hashtab_getsize(object_findregistered_regob(ns(), names[2])->clients), 0);
    for (Watch *s : servers) object_free(s);
}

TEST_F(Registry, AttachingByPointer) {
    Watch *server = watch(1), *client = watch(2);
    {
        PostCapture posts;
        EXPECT_EQ(object_attach_byptr(client, server), -1);
        EXPECT_EQ(object_detach_byptr(client, server), -1);
        EXPECT_EQ(posts.texts(POST_KIND_ERROR),
                  std::vector<std::string>{
                      "object_attach_byptr: regtest_watch is not registered. trying to attach regtest_watch"});
    }
    EXPECT_EQ(object_attach_byptr_register(client, server, ns()), nullptr);
    t_symbol *name = nullptr;
    ASSERT_EQ(object_findregisteredbyptr(nullptr, &name, server), 0);
    EXPECT_TRUE(symbol_is_unique(name));
    EXPECT_EQ(mobex(client)->servers, server);
    EXPECT_EQ(object_detach_byptr(client, server), 0);
    EXPECT_EQ(mobex(client)->server_count, 0);
    EXPECT_EQ(object_attach_byptr(client, server), 0);
    object_free(server);
    EXPECT_EQ(messages_to(2), (std::vector<std::string>{"willfree", "free"}));
    EXPECT_EQ(mobex(client)->server_count, 0);
    object_free(client);
}

TEST_F(Registry, AnObjectAttachedToItselfHearsItsOwnNotifications) {
    t_symbol *name = fresh_name();
    Watch *x = watch(1);
    object_register(ns(), name, x);
    EXPECT_EQ(object_attach(ns(), name, x), x);
    EXPECT_TRUE(object_obex_flags_get(x) & OBEX_FLAG_AUTOSTIMULATE);
    EXPECT_FALSE(object_obex_flags_get(x) & OBEX_FLAG_HASCLIENTS);
    EXPECT_EQ(object_findregistered_regob(ns(), name)->clients, nullptr);
    object_notify(x, gensym("ping"), &g_notes);
    EXPECT_EQ(g_notes, (std::vector<Note>{{1, name->name, "ping", x, &g_notes}}));

    EXPECT_EQ(object_detach(ns(), name, x), 0);
    object_notify(x, gensym("ping"), nullptr);
    EXPECT_EQ(g_notes.size(), 1u);

    object_attach(ns(), name, x);
    object_free(x);
    EXPECT_EQ(messages_to(1), (std::vector<std::string>{"ping", "willfree", "free"}));

    // Unregistered, it still hears its "free".
    g_notes.clear();
    Watch *y = watch(2);
    t_symbol *yname = fresh_name();
    object_register(ns(), yname, y);
    object_attach(ns(), yname, y);
    object_unregister(y);
    object_free(y);
    EXPECT_EQ(messages_to(2), (std::vector<std::string>{"free", "willfree", "free"}));
}

// ---- notifying

TEST_F(Registry, NotifyReachesClientsAndTheBox) {
    t_symbol *box_name = fresh_name(), *inner_name = fresh_name();
    Watch *box = watch(1), *box_client = watch(2);
    object_register(ns(), box_name, box);
    object_attach(ns(), box_name, box_client);

    for (long flags : {long(CLASS_FLAG_BOX), long(CLASS_FLAG_BOX | CLASS_FLAG_UIOBJECT), 0L}) {
        SCOPED_TRACE(flags);
        g_notes.clear();
        Watch *inner = watch_new(watch_class("regtest_boxed_" + std::to_string(flags), flags), 3);
        object_obex_store(inner, gensym("#B"), &box->ob);
        object_register(ns(), inner_name, inner);
        Watch *inner_client = watch(4);
        object_attach(ns(), inner_name, inner_client);
        object_notify(inner, gensym("poke"), &g_notes);
        std::vector<Note> expect = {{4, inner_name->name, "poke", inner, &g_notes}};
        if (flags == CLASS_FLAG_BOX) expect.push_back({2, box_name->name, "poke", box, &g_notes});
        EXPECT_EQ(g_notes, expect);
        object_free(inner_client);
        object_free(inner);
    }

    EXPECT_EQ(object_notify(nullptr, gensym("poke"), nullptr), -1);
    Watch dead = *box;
    dead.ob.magic = 0;
    EXPECT_EQ(object_notify(&dead, gensym("poke"), nullptr), -1);
    object_free(box_client);
    object_free(box);
}

TEST_F(Registry, NotifySpecificReachesOneReceiver) {
    t_symbol *name = fresh_name();
    Watch *x = watch(1), *a = watch(2), *b = watch(3), *loose = watch(4);
    object_register(ns(), name, x);
    object_attach(ns(), name, a);
    object_attach(ns(), name, b);
    EXPECT_EQ(object_notify_specific(x, gensym("one"), nullptr, b), 0);
    EXPECT_EQ(object_notify_specific(loose, gensym("two"), nullptr, a), 0);
    EXPECT_EQ(object_notify_specific(nullptr, gensym("three"), nullptr, a), -1);
    EXPECT_EQ(g_notes, (std::vector<Note>{{3, name->name, "one", x, nullptr}, {2, "", "two", loose, nullptr}}));
    for (Watch *w : {a, b, loose, x}) object_free(w);
}

t_kivo_err ender_notify(Watch *w, t_symbol *, t_symbol *message, void *sender, void *) {
    g_notes.push_back({w->id, "", message->name, sender, nullptr});
    object_unregister(sender);
    return 0;
}

// A "notify" method that detaches another client, or ends the sender's
// registration, changes the walk under way: the detached client is not
// reached, and nothing is read from the freed client table.
TEST_F(Registry, ClientsChangedDuringANotification) {
    t_symbol *name = fresh_name();
    Watch *x = watch(1), *a = watch(2), *b = watch(3);
    object_register(ns(), name, x);
    object_attach(ns(), name, a);
    object_attach(ns(), name, b);
    a->peer = &b->ob;
    a->server_name = name;
    b->peer = &a->ob;
    b->server_name = name;
    object_notify(x, gensym("ping"), nullptr);
    EXPECT_EQ(g_notes.size(), 1u);
    a->peer = b->peer = nullptr;
    object_detach(ns(), name, a);
    object_detach(ns(), name, b);

    static t_class *ender_class = [] {
        t_class *c = class_new("regtest_ender", nullptr, nullptr, sizeof(Watch), nullptr, 0);
        class_addmethod(c, as_method(ender_notify), "notify", AT_CANT, 0);
        class_register(gensym("nobox"), c);
        return c;
    }();
    Watch *ender = watch_new(ender_class, 5);
    object_attach(ns(), name, a);
    object_attach(ns(), name, ender);
    object_attach(ns(), name, b);
    g_notes.clear();
    object_notify(x, gensym("ping"), nullptr);
    EXPECT_EQ(object_findregistered(ns(), name), nullptr);
    EXPECT_EQ(std::count(g_notes.begin(), g_notes.end(), Note{5, "", "ping", x, nullptr}), 1);
    EXPECT_EQ(std::count(g_notes.begin(), g_notes.end(), Note{5, "", "free", x, nullptr}), 1);
    for (Watch *w : {a, b, ender}) EXPECT_EQ(mobex(w)->server_count, 0) << w->id;
    for (Watch *w : {a, b, ender, x}) object_free(w);
}

// ---- subscriptions

TEST_F(Registry, SubscriptionsWaitForTheirClass) {
    t_symbol *name = fresh_name();
    Watch *client = watch(1);
    EXPECT_EQ(object_subscribe(ns(), name, gensym("regtest_watch"), client), nullptr);

    Watch *stranger = other(2);
    object_register(ns(), name, stranger);
    object_notify(stranger, gensym("ping"), nullptr);
    EXPECT_TRUE(messages_to(1).empty());
    object_free(stranger);

    Watch *first = watch(3);
    object_register(ns(), name, first);
    object_notify(first, gensym("ping"), nullptr);
    EXPECT_EQ(g_notes, (std::vector<Note>{{1, name->name, "subscribe_attach", first, first},
                                          {1, name->name, "ping", first, nullptr}}));

    // The subscription outlives the object it was attached to.
    g_notes.clear();
    object_free(first);
    Watch *second = watch(4);
    object_register(ns(), name, second);
    EXPECT_EQ(messages_to(1), (std::vector<std::string>{"willfree", "free", "subscribe_attach"}));
    EXPECT_EQ(mobex(client)->servers, second);

    EXPECT_EQ(object_unsubscribe(ns(), name, nullptr, client), 0);
    EXPECT_EQ(mobex(client)->server_count, 0);
    EXPECT_EQ(object_unsubscribe(ns(), name, nullptr, client), -1);
    EXPECT_EQ(object_unsubscribe(ns(), name, nullptr, nullptr), -1);
    object_free(second);
    object_free(client);
}

TEST_F(Registry, SubscribingToARegisteredNameAttachesAtOnce) {
    t_symbol *name = fresh_name();
    Watch *x = other(1), *client = watch(2), *bystander = watch(3);
    object_register(ns(), name, x);
    object_attach(ns(), name, bystander);
    // At once the filter is not applied.
    EXPECT_EQ(object_subscribe(ns(), name, gensym("regtest_watch"), client), x);
    EXPECT_EQ(g_notes, (std::vector<Note>{{2, name->name, "subscribe_attach", x, x}}));
    EXPECT_EQ(object_subscribe(ns(), name, nullptr, client), nullptr);
    EXPECT_EQ(object_subscribe(ns(), name, nullptr, nullptr), nullptr);
    object_unsubscribe(ns(), name, nullptr, client);
    for (Watch *w : {client, bystander, x}) object_free(w);
}

// ---- references

TEST_F(Registry, RetainAndRelease) {
    Watch *x = watch(1);
    EXPECT_EQ(object_retain(&x->ob), 0);
    object_free(x);
    EXPECT_FALSE(freed(1));
    EXPECT_EQ(object_release(&x->ob), 0);
    EXPECT_TRUE(freed(1));

    t_class *tiny = kivo::test::plain_class(unique_name("regtest_tiny"), sizeof(t_object));
    tiny->tiny = 1;
    class_register(gensym("nobox"), tiny);
    auto *small = static_cast<t_object *>(object_alloc(tiny));
    EXPECT_EQ(object_retain(small), -1);
    object_free(small);
}

// An object that can hold no store is registered without a mark in one;
// freeing it still ends the registration rather than leaving the name on
// freed memory.
TEST_F(Registry, AnObjectWithoutAStoreLeavesTheRegistryWhenFreed) {
    t_class *tiny = kivo::test::plain_class(unique_name("regtest_storeless"), sizeof(t_object));
    tiny->tiny = 1;
    class_register(gensym("nobox"), tiny);
    t_symbol *name = fresh_name();
    auto *x = static_cast<t_object *>(object_alloc(tiny));
    PostCapture posts;
    EXPECT_EQ(object_register(ns(), name, x), x);
    EXPECT_EQ(posts.texts(POST_KIND_ERROR),
              std::vector<std::string>{"reg_object_new: no mobex for " + std::string(name->name)});
    EXPECT_EQ(object_register(ns(), name, x), x);
    EXPECT_EQ(refcount(ns(), name), 2);
    EXPECT_EQ(object_findregistered(ns(), name), x);
    EXPECT_EQ(object_unregister(x), -1);
    object_free(x);
    EXPECT_EQ(object_findregistered(ns(), name), nullptr);
}

TEST_F(Registry, ObjectReferencePassesMessagesOn) {
    Watch *target = watch(1);
    auto *ref = static_cast<t_object_reference *>(
        object_new(gensym("nobox"), gensym("object_reference"), target));
    ASSERT_NE(ref, nullptr);
    EXPECT_EQ(ref->object, &target->ob);
    t_atom a = kivo::test::L(5);
    object_method(ref, gensym("setvalueof"), reinterpret_cast<void *>(1), &a);
    EXPECT_EQ(messages_to(1), std::vector<std::string>{"setvalueof method"});
    auto *copy = static_cast<t_object_reference *>(object_method(ref, gensym("object_clone")));
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, ref);
    EXPECT_EQ(copy->object, &target->ob);
    object_free(copy);
    object_free(ref);
    EXPECT_TRUE(g_freed.empty());
    object_free(target);
}

TEST_F(Registry, RefcountIsAnAttributeOfTheRegistration) {
    t_symbol *name = fresh_name();
    Watch *x = watch(1);
    object_register(ns(), name, x);
    object_register(ns(), name, x);
    t_reg_object *reg = object_findregistered_regob(ns(), name);
    EXPECT_EQ(object_attr_getlong(&reg->ob, gensym("refcount")), 2);
    object_free(x);
    object_free(x);
}

// ---- what the kernel sends

TEST_F(Registry, KernelNotifications) {
    t_symbol *name = fresh_name();
    Watch *x = watch(1), *client = watch(2);
    object_register(ns(), name, x);
    object_attach(ns(), name, client);

    kivo::test::Probe *attr = kivo::test::probe_new(7);
    ASSERT_EQ(object_addattr(&x->ob, &attr->ob), 0);
    EXPECT_EQ(object_deleteattr(&x->ob, gensym("probe7")), 0);
    t_atom a = kivo::test::L(5);
    object_setvalueof(&x->ob, 1, &a);
    EXPECT_EQ(g_notes, (std::vector<Note>{{2, name->name, "attr_added", x, attr},
                                          {2, name->name, "attr_deleted", x, attr},
                                          {1, "", "setvalueof method", nullptr, nullptr},
                                          {2, name->name, "setvalueof", x, nullptr}}));
    object_free(client);
    object_free(x);
}

} // namespace

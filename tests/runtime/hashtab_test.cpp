// Hash tables from one thread: slot counts and key order, value ownership,
// notifications, whole-table walks, and seeded random operations checked
// against a plain vector of pairs. Several threads: containers_threads_test.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "containers_probe.h"
#include "kivo/kivo.h"
#include "runtime/hashtab_internal.h"
#include "support/kivo_test.h"

namespace {

using kivo::test::Probe;
using kivo::test::ProbeLog;
using kivo::test::probe_new;

struct Notice {
    t_hashtab *table;
    std::string message;
    void *data;
    bool operator==(const Notice &) const = default;
};

std::mutex g_notices_mutex;
std::vector<Notice> g_notices;

// "notify" of the listener class: what the tables tell their clients.
t_kivo_err record_notice(t_object *, t_symbol *, t_symbol *message, void *sender, void *data) {
    std::lock_guard<std::mutex> lock(g_notices_mutex);
    g_notices.push_back({static_cast<t_hashtab *>(sender), message->name, data});
    return 0;
}

// An object attached to the table as its client.
t_object *listen_to(t_hashtab *x) {
    static t_class *c = [] {
        t_class *k = class_new("ht_listener", nullptr, nullptr, sizeof(t_object), nullptr, 0);
        class_addmethod(k, reinterpret_cast<method>(reinterpret_cast<void (*)()>(record_notice)), "notify",
                        AT_CANT, 0);
        class_register(gensym("nobox"), k);
        return k;
    }();
    auto *listener = static_cast<t_object *>(object_alloc(c));
    object_attach_byptr_register(listener, x, gensym("ht_test"));
    return listener;
}

std::vector<Notice> take_notices() {
    std::lock_guard<std::mutex> lock(g_notices_mutex);
    return std::exchange(g_notices, {});
}

std::vector<t_symbol *> keys_of(t_hashtab *x) {
    long n = 0;
    t_symbol **keys = nullptr;
    hashtab_getkeys(x, &n, &keys);
    std::vector<t_symbol *> out(keys, keys + n);
    sysmem_freeptr(keys);
    return out;
}

t_atom_long slot_of(t_symbol *key, t_atom_long slotcount) {
    return static_cast<t_atom_long>(reinterpret_cast<uintptr_t>(key) % static_cast<uint64_t>(slotcount));
}

t_symbol *sym(const std::string &name) { return gensym(name.c_str()); }

class HashtabTest : public ::testing::Test {
protected:
    void SetUp() override {
        kivo::test::probe_class();
        ProbeLog::get().reset();
        take_notices();
    }
};

TEST_F(HashtabTest, SlotCountIsOddAndDefaultsTo59) {
    const std::pair<long, t_atom_long> cases[] = {{0, 59}, {-3, 59}, {100, 101}, {7, 7}, {1, 1}, {2, 3}};
    for (auto [asked, made] : cases) {
        t_hashtab *x = hashtab_new(asked);
        ASSERT_NE(x, nullptr);
        EXPECT_EQ(x->slotcount, made) << asked;
        EXPECT_EQ(x->mobex, nullptr);
        for (t_atom_long i = 0; i < x->slotcount; i++) EXPECT_EQ(x->slots[i], nullptr);
        object_free(x);
    }
}

// Every operation checked against a vector of (key, value) pairs in first
// store order. The table's key order must be that vector stably sorted by
// slot, and the values it frees exactly those replaced or deleted.
TEST_F(HashtabTest, RandomOperationsAgreeWithAVectorOfPairs) {
    std::vector<t_symbol *> pool;
    for (int i = 0; i < 40; i++) pool.push_back(sym("ht_random_" + std::to_string(i)));
    for (unsigned seed : {1u, 2u, 3u}) {
        SCOPED_TRACE(seed);
        ProbeLog::get().reset();
        std::mt19937 rng(seed);
        t_hashtab *x = hashtab_new(7);
        std::vector<std::pair<t_symbol *, Probe *>> model;
        std::vector<long> expect_freed;
        long next_id = 0;
        auto find = [&](t_symbol *k) {
            return std::find_if(model.begin(), model.end(), [k](auto &e) { return e.first == k; });
        };
        for (int step = 0; step < 1500; step++) {
            t_symbol *key = pool[rng() % pool.size()];
            auto it = find(key);
            switch (rng() % 8) {
            case 0: case 1: case 2: case 3: { // store
                Probe *p = probe_new(next_id++);
                const long old_id = it != model.end() ? it->second->id : -1;
                ASSERT_EQ(hashtab_store(x, key, &p->ob), 0);
                if (it != model.end()) {
                    expect_freed.push_back(old_id);
                    it->second = p;
                } else {
                    model.emplace_back(key, p);
                }
                break;
            }
            case 4: case 5: { // delete
                const long old_id = it != model.end() ? it->second->id : -1;
                EXPECT_EQ(hashtab_delete(x, key), it == model.end() ? -1 : 0);
                if (it != model.end()) {
                    expect_freed.push_back(old_id);
                    model.erase(it);
                }
                break;
            }
            case 6: // chuckkey: the value is ours again
                EXPECT_EQ(hashtab_chuckkey(x, key), it == model.end() ? -1 : 0);
                if (it != model.end()) {
                    EXPECT_FALSE(ProbeLog::get().was_freed(it->second->id));
                    expect_freed.push_back(it->second->id);
                    object_free(it->second);
                    model.erase(it);
                }
                break;
            default: { // lookup
                t_object *value = nullptr;
                EXPECT_EQ(hashtab_lookup(x, key, &value), it == model.end() ? -1 : 0);
                EXPECT_EQ(value, it == model.end() ? nullptr : &it->second->ob);
            }
            }
            if (step % 50 != 49) continue;
            ASSERT_EQ(hashtab_getsize(x), static_cast<t_atom_long>(model.size()));
            auto ordered = model;
            std::stable_sort(ordered.begin(), ordered.end(),
                             [](auto &a, auto &b) { return slot_of(a.first, 7) < slot_of(b.first, 7); });
            std::vector<t_symbol *> expected_keys;
            for (auto &e : ordered) expected_keys.push_back(e.first);
            ASSERT_EQ(keys_of(x), expected_keys);
            ASSERT_EQ(ProbeLog::get().freed_ids(), expect_freed);
        }
        object_free(x);
        EXPECT_EQ(ProbeLog::get().freed_ids().size(), expect_freed.size() + model.size());
    }
}

TEST_F(HashtabTest, ReplacingAValueKeepsTheEntrysPlace) {
    t_hashtab *x = hashtab_new(1); // every key in one slot list
    t_symbol *a = sym("ht_place_a"), *b = sym("ht_place_b"), *c = sym("ht_place_c");
    hashtab_storelong(x, a, 1);
    hashtab_storelong(x, b, 2);
    hashtab_storelong(x, c, 3);
    hashtab_storelong(x, b, 20);
    EXPECT_EQ(keys_of(x), (std::vector<t_symbol *>{a, b, c}));
    hashtab_delete(x, a);
    hashtab_storelong(x, a, 10);
    EXPECT_EQ(keys_of(x), (std::vector<t_symbol *>{b, c, a}));
    t_atom_long value = 0;
    EXPECT_EQ(hashtab_lookuplong(x, b, &value), 0);
    EXPECT_EQ(value, 20);
    object_free(x);
}

TEST_F(HashtabTest, KeysWhoseAddressesShareASlotAreBothFound) {
    t_hashtab *x = hashtab_new(7);
    t_symbol *first = sym("ht_share_0");
    t_symbol *second = nullptr;
    for (int i = 1; !second; i++) {
        t_symbol *s = sym("ht_share_" + std::to_string(i));
        if (slot_of(s, 7) == slot_of(first, 7)) second = s;
    }
    hashtab_storesym(x, first, first);
    hashtab_storesym(x, second, second);
    t_symbol *out = nullptr;
    EXPECT_EQ(hashtab_lookupsym(x, first, &out), 0);
    EXPECT_EQ(out, first);
    EXPECT_EQ(hashtab_lookupsym(x, second, &out), 0);
    EXPECT_EQ(out, second);
    EXPECT_EQ(linklist_getsize(x->slots[slot_of(first, 7)]), 2);
    object_free(x);
}

// ---- ownership

TEST_F(HashtabTest, FlagsDecideHowValuesGo) {
    enum Fate { kFreedAsObject, kFreedAsMemory, kSurvives };
    struct Case {
        long table_flags;
        long entry_flags;
        Fate on_delete;
        Fate on_replace;
        Fate on_clear;
    };
    // A value freed as memory skips the probe's free function; the sanitizer
    // reports it if it leaks, and a double free if a survivor was freed.
    const Case cases[] = {
        {0, 0, kFreedAsObject, kFreedAsObject, kFreedAsObject},
        {0, HASHTAB_FLAG_NOFREE, kSurvives, kSurvives, kSurvives},
        {0, HASHTAB_FLAG_DATA, kSurvives, kSurvives, kSurvives},
        {HASHTAB_FLAG_NOFREE, 0, kSurvives, kSurvives, kSurvives},
        {0, HASHTAB_FLAG_MEMORY, kFreedAsMemory, kFreedAsMemory, kFreedAsMemory},
        {HASHTAB_FLAG_MEMORY, 0, kFreedAsMemory, kFreedAsMemory, kFreedAsMemory},
        // Delete and replace test 1 and 2 first; freeing an entry (clear)
        // tests 4 first.
        {0, HASHTAB_FLAG_MEMORY | HASHTAB_FLAG_NOFREE, kSurvives, kSurvives, kFreedAsMemory},
        {HASHTAB_FLAG_NOFREE, HASHTAB_FLAG_MEMORY, kSurvives, kSurvives, kFreedAsMemory},
    };
    t_symbol *key = sym("ht_fate");
    for (const Case &c : cases) {
        for (int op = 0; op < 3; op++) {
            SCOPED_TRACE(testing::Message() << c.table_flags << "/" << c.entry_flags << " op " << op);
            ProbeLog::get().reset();
            t_hashtab *x = hashtab_new(0);
            hashtab_flags(x, c.table_flags);
            Probe *p = probe_new(1);
            hashtab_storeflags(x, key, &p->ob, c.entry_flags);
            Fate fate;
            if (op == 0) {
                EXPECT_EQ(hashtab_delete(x, key), 0);
                fate = c.on_delete;
            } else if (op == 1) {
                hashtab_storeflags(x, key, nullptr, 0);
                fate = c.on_replace;
            } else {
                hashtab_clear(x);
                fate = c.on_clear;
            }
            EXPECT_EQ(ProbeLog::get().was_freed(1), fate == kFreedAsObject);
            if (fate == kSurvives) object_free(p);
            object_free(x);
        }
    }
}

TEST_F(HashtabTest, ValuesWithoutTheObjectMagicAreNotFreedAsObjects) {
    t_hashtab *x = hashtab_new(0);
    t_object fake{};
    hashtab_store(x, sym("ht_fake"), &fake);
    hashtab_store(x, sym("ht_small"), reinterpret_cast<t_object *>(5));
    EXPECT_EQ(hashtab_delete(x, sym("ht_fake")), 0);
    hashtab_store(x, sym("ht_fake"), &fake);
    object_free(x); // neither value is touched
}

TEST_F(HashtabTest, StoringTheHeldValueAgainKeepsItAlive) {
    t_hashtab *x = hashtab_new(0);
    Probe *p = probe_new(1);
    hashtab_store(x, sym("ht_again"), &p->ob);
    hashtab_store(x, sym("ht_again"), &p->ob);
    EXPECT_FALSE(ProbeLog::get().was_freed(1));
    t_object *value = nullptr;
    hashtab_lookup(x, sym("ht_again"), &value);
    EXPECT_EQ(value, &p->ob);
    object_free(x);
    EXPECT_TRUE(ProbeLog::get().was_freed(1));
}

TEST_F(HashtabTest, StoreSafeNeverFreesTheValueItReplaces) {
    t_hashtab *x = hashtab_new(0);
    Probe *a = probe_new(1), *b = probe_new(2);
    hashtab_storeflags(x, sym("ht_safe"), &a->ob, HASHTAB_FLAG_NOFREE | HASHTAB_FLAG_SILENT);
    hashtab_store_safe(x, sym("ht_safe"), &b->ob);
    EXPECT_FALSE(ProbeLog::get().was_freed(1));
    EXPECT_EQ(hashtab_getkeyflags(x, sym("ht_safe")), HASHTAB_FLAG_NOFREE | HASHTAB_FLAG_SILENT);
    hashtab_keyflags(x, sym("ht_safe"), 0);
    object_free(x);
    EXPECT_EQ(ProbeLog::get().freed_ids(), std::vector<long>{2});
    object_free(a);
}

TEST_F(HashtabTest, KeyflagsProtectTheValueButNotTheEntry) {
    t_hashtab *x = hashtab_new(0);
    Probe *p = probe_new(1);
    hashtab_store(x, sym("ht_kf"), &p->ob);
    EXPECT_EQ(hashtab_keyflags(x, sym("ht_kf"), HASHTAB_FLAG_NOFREE), 0);
    EXPECT_EQ(hashtab_keyflags(x, sym("ht_absent"), HASHTAB_FLAG_NOFREE), -1);
    EXPECT_EQ(hashtab_getkeyflags(x, sym("ht_kf")), HASHTAB_FLAG_NOFREE);
    EXPECT_EQ(hashtab_getkeyflags(x, sym("ht_absent")), 0);
    t_object *value = nullptr;
    long flags = -1;
    EXPECT_EQ(hashtab_lookupflags(x, sym("ht_kf"), &value, &flags), 0);
    EXPECT_EQ(value, &p->ob);
    EXPECT_EQ(flags, HASHTAB_FLAG_NOFREE);
    EXPECT_EQ(hashtab_lookupflags(x, sym("ht_absent"), &value, &flags), -1);
    EXPECT_EQ(value, nullptr);
    EXPECT_EQ(flags, 0);
    EXPECT_EQ(hashtab_lookupflags(x, sym("ht_kf"), nullptr, &flags), -1);
    // The entry goes with the key (a leak otherwise); the value stays.
    EXPECT_EQ(hashtab_delete(x, sym("ht_kf")), 0);
    EXPECT_FALSE(ProbeLog::get().was_freed(1));
    object_free(p);
    object_free(x);
}

TEST_F(HashtabTest, ClearEmptiesAndLeavesTheTableUsable) {
    t_hashtab *x = hashtab_new(0);
    hashtab_store(x, sym("ht_c1"), &probe_new(1)->ob);
    hashtab_storelong(x, sym("ht_c2"), 0x12345678);
    EXPECT_EQ(hashtab_clear(x), -1);
    EXPECT_EQ(hashtab_getsize(x), 0);
    EXPECT_EQ(ProbeLog::get().freed_ids(), std::vector<long>{1});
    EXPECT_EQ(hashtab_storelong(x, sym("ht_c2"), 4), 0);
    t_atom_long v = 0;
    EXPECT_EQ(hashtab_lookuplong(x, sym("ht_c2"), &v), 0);
    EXPECT_EQ(v, 4);
    EXPECT_EQ(hashtab_lookuplong(x, sym("ht_c1"), &v), -1);
    EXPECT_EQ(v, 0);
    EXPECT_EQ(hashtab_clear(nullptr), -1);
    object_free(x);
}

TEST_F(HashtabTest, NullTableAndOutputsFail) {
    t_object *value = reinterpret_cast<t_object *>(1);
    t_hashtab_entry *entry = reinterpret_cast<t_hashtab_entry *>(1);
    EXPECT_EQ(hashtab_store(nullptr, sym("ht_n"), nullptr), -1);
    EXPECT_EQ(hashtab_lookup(nullptr, sym("ht_n"), &value), -1);
    EXPECT_EQ(value, nullptr);
    EXPECT_EQ(hashtab_lookupentry(nullptr, sym("ht_n"), &entry), -1);
    EXPECT_EQ(entry, nullptr);
    EXPECT_EQ(hashtab_delete(nullptr, sym("ht_n")), -1);
    EXPECT_EQ(hashtab_getsize(nullptr), 0);
    EXPECT_EQ(hashtab_getkeyflags(nullptr, sym("ht_n")), 0);
    t_hashtab *x = hashtab_new(0);
    EXPECT_EQ(hashtab_lookup(x, sym("ht_n"), nullptr), -1);
    EXPECT_EQ(hashtab_lookupentry(x, sym("ht_n"), nullptr), -1);
    EXPECT_EQ(hashtab_delete(x, sym("ht_n")), -1);
    EXPECT_EQ(hashtab_chuckkey(x, sym("ht_n")), -1);
    EXPECT_EQ(hashtab_findfirst(x, nullptr, nullptr, nullptr), -1);
    // A null key lives in slot 0.
    EXPECT_EQ(hashtab_storelong(x, nullptr, 9), 0);
    EXPECT_NE(x->slots[0], nullptr);
    t_atom_long v = 0;
    EXPECT_EQ(hashtab_lookuplong(x, nullptr, &v), 0);
    EXPECT_EQ(v, 9);
    object_free(x);
}

// ---- notifications

TEST_F(HashtabTest, NotifiesStoresRemovalsAndTheEnd) {
    t_hashtab *x = hashtab_new(0);
    t_object *listener = listen_to(x);
    t_symbol *k = sym("ht_note"), *q = sym("ht_quiet");
    hashtab_storelong(x, k, 1);
    hashtab_storelong(x, k, 2);
    hashtab_storeflags(x, q, nullptr, HASHTAB_FLAG_DATA | HASHTAB_FLAG_SILENT);
    hashtab_delete(x, q);
    hashtab_chuckkey(x, k);
    hashtab_clear(x);
    EXPECT_EQ(take_notices(), (std::vector<Notice>{{x, "hashtab_entry_new", k},
                                                   {x, "hashtab_entry_new", k},
                                                   {x, "hashtab_entry_free", k},
                                                   {x, "hashtab_free", nullptr}}));
    Probe *p = probe_new(1);
    hashtab_store(x, k, &p->ob);
    take_notices();
    // The free function's own "hashtab_free" comes after the registration
    // has ended, when nobody is attached any more.
    EXPECT_EQ(hashtab_chuck(x), -1);
    EXPECT_EQ(take_notices(), (std::vector<Notice>{{x, "hashtab_free", nullptr},
                                                   {x, "willfree", nullptr},
                                                   {x, "free", nullptr}}));
    EXPECT_FALSE(ProbeLog::get().was_freed(1));
    object_free(p);

    t_hashtab *silent = hashtab_new(0);
    t_object *deaf = listen_to(silent);
    hashtab_flags(silent, HASHTAB_FLAG_SILENT);
    hashtab_storelong(silent, k, 1);
    hashtab_delete(silent, k);
    hashtab_storelong(silent, k, 1);
    hashtab_clear(silent);
    object_free(silent);
    EXPECT_EQ(take_notices(), (std::vector<Notice>{{silent, "willfree", nullptr}, {silent, "free", nullptr}}));
    object_free(listener);
    object_free(deaf);
}

// ---- whole-table operations

TEST_F(HashtabTest, GetkeysFillsTheCallersArrayOrMakesOne) {
    t_hashtab *x = hashtab_new(0);
    for (int i = 0; i < 5; i++) hashtab_storelong(x, sym("ht_keys_" + std::to_string(i)), i);
    t_symbol *mine[2] = {};
    t_symbol **keys = mine;
    long n = 2;
    EXPECT_EQ(hashtab_getkeys(x, &n, &keys), 0);
    EXPECT_EQ(n, 2);
    EXPECT_EQ(keys, mine);
    EXPECT_NE(mine[1], nullptr);
    std::vector<t_symbol *> all = keys_of(x);
    EXPECT_EQ(all.size(), 5u);
    EXPECT_EQ(std::vector<t_symbol *>(all.begin(), all.begin() + 2), std::vector<t_symbol *>(mine, mine + 2));

    t_hashtab *empty = hashtab_new(0);
    n = 0;
    keys = mine;
    EXPECT_EQ(hashtab_getkeys(empty, &n, &keys), 0);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(keys, nullptr);
    object_free(empty);
    object_free(x);
}

long value_is(void *value, void *data) { return value == data; }

long collect_entry(void *entry, void *data) {
    static_cast<std::vector<t_symbol *> *>(data)->push_back(static_cast<t_hashtab_entry *>(entry)->key);
    return 0;
}

long by_name(void *a, void *b) {
    return std::strcmp(static_cast<t_hashtab_entry *>(a)->key->name, static_cast<t_hashtab_entry *>(b)->key->name) <= 0;
}

TEST_F(HashtabTest, WalksVisitEveryEntryInKeyOrder) {
    t_hashtab *x = hashtab_new(5);
    std::vector<Probe *> probes;
    for (int i = 0; i < 6; i++) {
        probes.push_back(probe_new(i));
        hashtab_store(x, sym("ht_walk_" + std::to_string(5 - i)), &probes.back()->ob);
    }
    hashtab_storelong(x, sym("ht_walk_int"), 77); // never messaged

    std::vector<t_symbol *> visited;
    hashtab_funall(x, collect_entry, &visited);
    EXPECT_EQ(visited, keys_of(x));

    std::vector<t_symbol *> sorted;
    hashtab_funall_sorted(x, collect_entry, &sorted, by_name);
    std::vector<t_symbol *> expected = keys_of(x);
    std::sort(expected.begin(), expected.end(), [](t_symbol *a, t_symbol *b) { return std::strcmp(a->name, b->name) < 0; });
    EXPECT_EQ(sorted, expected);

    t_linklist *values = hashtab_tolinklist(x, nullptr);
    t_linklist *entries = hashtab_entriestolinklist(x, nullptr);
    ASSERT_EQ(linklist_getsize(values), 7);
    for (t_atom_long i = 0; i < 7; i++)
        EXPECT_EQ(linklist_getindex(values, i), static_cast<t_hashtab_entry *>(linklist_getindex(entries, i))->value);
    linklist_chuck(values);
    linklist_chuck(entries);

    t_object *found = nullptr;
    EXPECT_EQ(hashtab_findfirst(x, &found, value_is, probes[3]), 0);
    EXPECT_EQ(found, &probes[3]->ob);
    EXPECT_EQ(hashtab_findfirst(x, &found, value_is, nullptr), -1);

    hashtab_methodall(x, gensym("poke"), reinterpret_cast<void *>(3), reinterpret_cast<void *>(4));
    for (Probe *p : probes) EXPECT_EQ(p->poked, 7);
    long objects = 0;
    auto count = [](void *, void *data) -> long { return ++*static_cast<long *>(data); };
    hashtab_objfunall(x, count, &objects);
    EXPECT_EQ(objects, 6);

    object_method(x, gensym("methodall"), gensym("poke"), reinterpret_cast<void *>(1), reinterpret_cast<void *>(1));
    for (Probe *p : probes) EXPECT_EQ(p->poked, 2);

    hashtab_flags(x, HASHTAB_FLAG_NOFREE | HASHTAB_FLAG_DATA);
    hashtab_methodall(x, gensym("poke"), reinterpret_cast<void *>(1));
    EXPECT_EQ(probes[0]->pokes, 2);
    hashtab_flags(x, 0);
    object_free(x);
    EXPECT_EQ(ProbeLog::get().freed_ids().size(), 6u);
}

TEST_F(HashtabTest, CallbacksMayDeleteEntriesOfTheSlotTheyWalk) {
    t_hashtab *x = hashtab_new(1);
    for (int i = 0; i < 5; i++) hashtab_store(x, sym("ht_del_" + std::to_string(i)), &probe_new(i)->ob);
    struct Walk {
        t_hashtab *table;
        std::vector<long> seen;
    } walk{x, {}};
    auto visit = [](void *item, void *data) -> long {
        auto *w = static_cast<Walk *>(data);
        auto *entry = static_cast<t_hashtab_entry *>(item);
        long id = reinterpret_cast<Probe *>(entry->value)->id;
        w->seen.push_back(id);
        if (id == 1) {
            hashtab_delete(w->table, entry->key);         // the entry being visited
            hashtab_delete(w->table, sym("ht_del_3"));    // one ahead
            EXPECT_EQ(hashtab_getsize(w->table), 4);     // the latter waits for the sweep
        }
        return 0;
    };
    hashtab_funall(x, visit, &walk);
    EXPECT_EQ(walk.seen, (std::vector<long>{0, 1, 2, 4}));
    EXPECT_EQ(hashtab_getsize(x), 3);
    EXPECT_EQ(ProbeLog::get().freed_ids(), (std::vector<long>{1, 3}));
    object_free(x);
}

TEST_F(HashtabTest, PrintReportsTheSlots) {
    t_hashtab *x = hashtab_new(1);
    hashtab_storelong(x, sym("ht_p1"), 1);
    hashtab_storelong(x, sym("ht_p2"), 2);
    kivo::test::PostCapture capture;
    hashtab_print(x);
    EXPECT_EQ(capture.texts(0), (std::vector<std::string>{
                                    "slot[0] contains 2 entries", "total size is 2 entries",
                                    "using 1 out of 1 slots", "average entries per non-empty slot is 2.000000",
                                    "maximum entries in a slot is 2"}));
    hashtab_clear(x);
    hashtab_print(x);
    EXPECT_EQ(capture.texts(0)[2], "average entries per non-empty slot is 0.000000");
    object_free(x);
}

TEST_F(HashtabTest, AnswersByMessageName) {
    t_hashtab *x = hashtab_new(0);
    EXPECT_EQ(object_method(x, gensym("class_hashtab")), reinterpret_cast<void *>(1));
    object_method(x, gensym("storeflags"), sym("ht_msg"), reinterpret_cast<void *>(8), reinterpret_cast<void *>(2));
    t_object *value = nullptr;
    object_method(x, gensym("lookup"), sym("ht_msg"), &value);
    EXPECT_EQ(value, reinterpret_cast<t_object *>(8));
    EXPECT_EQ(reinterpret_cast<t_atom_long>(object_method(x, gensym("getsize"))), 1);
    object_method(x, gensym("chuck"));
}

TEST_F(HashtabTest, QuickmapMapsBothWays) {
    t_quickmap *m = quickmap_new();
    t_symbol *a = sym("qm_a"), *b = sym("qm_b"), *c = sym("qm_c");
    EXPECT_EQ(quickmap_add(m, a, b), 0);
    void *out = nullptr;
    EXPECT_EQ(quickmap_lookup_key2(m, b, &out), 0);
    EXPECT_EQ(out, a);
    EXPECT_EQ(quickmap_lookup_key1(m, a, &out), 0);
    EXPECT_EQ(out, b);
    quickmap_add(m, a, c); // re-pairs a forwards; b still maps back to a
    EXPECT_EQ(quickmap_lookup_key1(m, a, &out), 0);
    EXPECT_EQ(out, c);
    EXPECT_EQ(quickmap_lookup_key2(m, b, &out), 0);
    EXPECT_EQ(out, a);
    EXPECT_EQ(quickmap_drop(m, a, b), 0);
    EXPECT_EQ(quickmap_lookup_key1(m, a, &out), -1);
    EXPECT_EQ(quickmap_lookup_key2(m, b, &out), -1);
    EXPECT_EQ(quickmap_lookup_key2(m, c, &out), 0);
    quickmap_readonly(m, 1);
    EXPECT_EQ(m->forward->readonly, 1);
    object_free(m);
}

} // namespace

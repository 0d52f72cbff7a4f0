// Dictionaries: key order under replacement and removal, value ownership,
// every entry kind round-tripping through the readers, string values turning
// into symbols, path access and its errors, and seeded random operations
// checked against a plain vector of pairs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "containers_probe.h"
#include "kivo/kivo.h"
#include "runtime/dictionary_internal.h"
#include "support/kivo_test.h"

namespace {

using kivo::test::F;
using kivo::test::L;
using kivo::test::O;
using kivo::test::Probe;
using kivo::test::ProbeLog;
using kivo::test::probe_new;
using kivo::test::Y;

using kivo::test::S;

// Frees the dictionary at the end of a test.
struct Dict {
    t_dictionary *d = dictionary_new();
    Dict() = default;
    explicit Dict(t_dictionary *x) : d(x) {}
    ~Dict() {
        if (d) object_free(d);
    }
    Dict(const Dict &) = delete;
    Dict &operator=(const Dict &) = delete;
    operator t_dictionary *() const { return d; }
    t_object *release() { return reinterpret_cast<t_object *>(std::exchange(d, nullptr)); }
};

std::vector<std::string> ordered_keys(t_dictionary *d) {
    long n = -1;
    t_symbol **keys = nullptr;
    EXPECT_EQ(dictionary_getkeys_ordered(d, &n, &keys), 0);
    std::vector<std::string> out;
    for (long i = 0; i < n; i++) out.push_back(keys[i]->name);
    dictionary_freekeys(d, n, keys);
    return out;
}

std::vector<std::string> keys_by_position(t_dictionary *d) {
    std::vector<std::string> out;
    for (t_atom_long i = 0; t_symbol *k = dictionary_getorderedkey(d, i); i++) out.push_back(k->name);
    return out;
}

using Keys = std::vector<std::string>;

TEST(Dictionary, KeysKeepFirstAdditionOrder) {
    Dict d;
    dictionary_appendlong(d, S("b"), 1);
    dictionary_appendlong(d, S("a"), 2);
    dictionary_appendlong(d, S("c"), 3);
    dictionary_appendsym(d, S("a"), S("again"));
    EXPECT_EQ(ordered_keys(d), (Keys{"b", "a", "c"}));
    t_symbol *s = nullptr;
    EXPECT_EQ(dictionary_getsym(d, S("a"), &s), 0);
    EXPECT_EQ(s, S("again"));

    EXPECT_EQ(dictionary_deleteentry(d, S("a")), 0);
    EXPECT_EQ(dictionary_deleteentry(d, S("a")), -1);
    dictionary_appendlong(d, S("a"), 4);
    EXPECT_EQ(ordered_keys(d), (Keys{"b", "c", "a"}));
    EXPECT_EQ(keys_by_position(d), (Keys{"b", "c", "a"}));
    EXPECT_EQ(dictionary_getentrycount(d), 3);

    long n = 0;
    t_symbol **keys = nullptr;
    ASSERT_EQ(dictionary_getkeys(d, &n, &keys), 0);
    std::vector<std::string> any;
    for (long i = 0; i < n; i++) any.push_back(keys[i]->name);
    dictionary_freekeys(d, n, keys);
    std::sort(any.begin(), any.end());
    EXPECT_EQ(any, (Keys{"a", "b", "c"}));
}

TEST(Dictionary, EmptyAndNullKeyArrays) {
    Dict d;
    long n = 7;
    t_symbol **keys = reinterpret_cast<t_symbol **>(&n);
    EXPECT_EQ(dictionary_getkeys(d, &n, &keys), 0);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(keys, nullptr);
    keys = reinterpret_cast<t_symbol **>(&n);
    EXPECT_EQ(dictionary_getkeys_ordered(d, &n, &keys), 0);
    EXPECT_EQ(keys, nullptr);
    EXPECT_EQ(dictionary_getkeys(d, nullptr, &keys), -1);
    EXPECT_EQ(dictionary_getkeys_ordered(d, &n, nullptr), -1);
    EXPECT_EQ(dictionary_getorderedkey(d, 0), nullptr);
}

// Seeded stores, replacements, deletions and chucks, checked against a
// vector of (key, value) pairs in insertion order.
// Key spaces below, around and far above the size where lookups switch from
// a walk to an index, so that stores and deletions cross that size both ways.
class DictionaryRandom : public ::testing::TestWithParam<unsigned> {};
INSTANTIATE_TEST_SUITE_P(KeySpaces, DictionaryRandom, ::testing::Values(8u, 24u, 60u, 400u));

TEST_P(DictionaryRandom, RandomOperationsMatchAVectorOfPairs) {
    const unsigned space = GetParam();
    std::mt19937 rng(1234 + space);
    Dict d;
    std::vector<std::pair<std::string, t_atom_long>> model;
    for (int step = 0; step < 4000; step++) {
        const std::string key = "k" + std::to_string(rng() % space);
        auto it = std::find_if(model.begin(), model.end(), [&](auto &p) { return p.first == key; });
        const int op = rng() % 4;
        if (op < 2) {
            const t_atom_long v = rng() % 1000;
            ASSERT_EQ(dictionary_appendlong(d, S(key.c_str()), v), 0);
            if (it != model.end())
                it->second = v;
            else
                model.emplace_back(key, v);
        } else if (op == 2) {
            EXPECT_EQ(dictionary_deleteentry(d, S(key.c_str())), it != model.end() ? 0 : -1);
            if (it != model.end()) model.erase(it);
        } else {
            EXPECT_EQ(dictionary_chuckentry(d, S(key.c_str())), it != model.end() ? 0 : -1);
            if (it != model.end()) model.erase(it);
        }
        if (step % 100 == 0) {
            Keys expect;
            for (auto &p : model) expect.push_back(p.first);
            ASSERT_EQ(ordered_keys(d), expect) << "step " << step;
            ASSERT_EQ(dictionary_getentrycount(d), static_cast<t_atom_long>(model.size()));
            for (auto &p : model) {
                t_atom_long v = -1;
                ASSERT_EQ(dictionary_getlong(d, S(p.first.c_str()), &v), 0);
                ASSERT_EQ(v, p.second);
            }
        }
    }
}

// Readers hand out pointers into the entries; growth of the dictionary
// (more storage, an index) and removal of other keys must not move them.
TEST(Dictionary, ValuePointersStayPutWhileTheKeyIsPresent) {
    for (long pre : {0L, 3L, 40L}) {
        Dict d(pre ? dictionary_new_sized(pre) : dictionary_new());
        for (long i = 0; i < pre; i++) dictionary_appendlong(d, S(("p" + std::to_string(i)).c_str()), i);
        dictionary_appendlong(d, S("kept"), 7);
        long argc = 0;
        t_atom *before = nullptr;
        ASSERT_EQ(dictionary_getatoms(d, S("kept"), &argc, &before), 0);
        for (long i = 0; i < 2000; i++) dictionary_appendlong(d, S(("n" + std::to_string(i)).c_str()), i);
        for (long i = 0; i < 2000; i += 2) dictionary_deleteentry(d, S(("n" + std::to_string(i)).c_str()));
        for (long i = 0; i < pre; i++) dictionary_deleteentry(d, S(("p" + std::to_string(i)).c_str()));
        t_atom *after = nullptr;
        ASSERT_EQ(dictionary_getatoms(d, S("kept"), &argc, &after), 0);
        EXPECT_EQ(after, before) << "pre " << pre;
        EXPECT_EQ(atom_getlong(after), 7);
        EXPECT_EQ(dictionary_getentrycount(d), 1001);
        EXPECT_EQ(dictionary_getorderedkey(d, 0), S("kept"));
        EXPECT_EQ(dictionary_getorderedkey(d, 1), S("n1"));
    }
}

// A walk over an indexed dictionary whose visitor removes the entry it is
// given and the one after it, and adds new keys: removed entries are not
// visited, the walk ends, and the order afterwards is the survivors' and
// then the additions'.
TEST(Dictionary, FunallRemovingAndAddingAcrossTheIndex) {
    Dict d;
    for (int i = 0; i < 40; i++) dictionary_appendlong(d, S(("k" + std::to_string(i)).c_str()), i);
    struct Walk {
        t_dictionary *d;
        Keys seen;
    } walk{d, {}};
    dictionary_funall(
        d,
        [](t_dictionary_entry *e, void *data) {
            auto *w = static_cast<Walk *>(data);
            const t_atom_long i = atom_getlong(&e->value);
            w->seen.push_back(e->key->name);
            if (i < 40 && i % 4 == 0) {
                dictionary_deleteentry(w->d, e->key); // the entry being visited
                dictionary_deleteentry(w->d, S(("k" + std::to_string(i + 1)).c_str()));
                dictionary_appendlong(w->d, S(("new" + std::to_string(i)).c_str()), 1000 + i);
            }
        },
        &walk);
    Keys expect_seen, expect_left;
    for (int i = 0; i < 40; i++) {
        if (i % 4 == 1) continue;
        expect_seen.push_back("k" + std::to_string(i));
        if (i % 4 != 0) expect_left.push_back("k" + std::to_string(i));
    }
    // Keys added before the walk reached the end are visited too.
    for (int i = 0; i < 40; i += 4) {
        expect_seen.push_back("new" + std::to_string(i));
        expect_left.push_back("new" + std::to_string(i));
    }
    EXPECT_EQ(walk.seen, expect_seen);
    EXPECT_EQ(ordered_keys(d), expect_left);
    EXPECT_EQ(dictionary_getentrycount(d), static_cast<t_atom_long>(expect_left.size()));
    t_atom_long v = 0;
    EXPECT_EQ(dictionary_getlong(d, S("new36"), &v), 0);
    EXPECT_EQ(v, 1036);
    EXPECT_EQ(dictionary_hasentry(d, S("k0")), 0);
}

// A dictionary made with room for its entries (as the JSON reader makes
// them) grows past that room, loses keys, is cleared and used again.
TEST(Dictionary, SizedDictionariesGrowShrinkAndClear) {
    Dict d(dictionary_new_sized(2));
    ProbeLog::get().reset();
    dictionary_appendobject(d, S("a"), &probe_new(1)->ob);
    dictionary_appendlong(d, S("b"), 2);
    for (int i = 0; i < 30; i++) dictionary_appendlong(d, S(("x" + std::to_string(i)).c_str()), i);
    EXPECT_EQ(dictionary_deleteentry(d, S("a")), 0);
    EXPECT_TRUE(ProbeLog::get().was_freed(1));
    EXPECT_EQ(dictionary_getorderedkey(d, 0), S("b"));
    EXPECT_EQ(dictionary_getentrycount(d), 31);
    dictionary_appendobject(d, S("c"), &probe_new(2)->ob);
    EXPECT_EQ(dictionary_clear(d), 0);
    EXPECT_TRUE(ProbeLog::get().was_freed(2));
    EXPECT_EQ(dictionary_getentrycount(d), 0);
    dictionary_appendlong(d, S("again"), 1);
    EXPECT_EQ(ordered_keys(d), (Keys{"again"}));
}

// The dictionary keeps private state after its public record, where a
// derived class would put its own fields: making one fails cleanly instead
// of overwriting them.
TEST(Dictionary, DerivedClassesAreRefused) {
    t_class *base = class_findbyname(S("nobox"), S("dictionary"));
    ASSERT_NE(base, nullptr);
    t_class *derived = class_new("dictionary_derived_probe", nullptr, nullptr,
                                 static_cast<long>(sizeof(t_dictionary) + sizeof(long)), nullptr, 0);
    ASSERT_NE(derived, nullptr);
    ASSERT_EQ(class_subclass(base, derived), KIVO_ERR_NONE);
    EXPECT_EQ(class_super_construct(derived), nullptr);
    EXPECT_EQ(class_inheritance_stack_get(), nullptr);
    class_free(derived);
    Dict plain; // the class itself is unharmed
    EXPECT_EQ(dictionary_appendlong(plain, S("a"), 1), 0);
}

// ---- ownership

TEST(Dictionary, OwnedValuesAreFreedWithTheirEntryReferencesAreNot) {
    ProbeLog::get().reset();
    Probe *owned = probe_new(1), *ref = probe_new(2), *kept = probe_new(3), *gone = probe_new(4);
    Probe *held = probe_new(5), *chucked = probe_new(6);
    {
        Dict d;
        dictionary_appendobject(d, S("owned"), &owned->ob);
        dictionary_appendobject_flags(d, S("ref"), &ref->ob, 1);
        dictionary_appendobject_flags(d, S("kept"), &kept->ob, 2);
        dictionary_appendobject(d, S("gone"), &gone->ob);
        dictionary_appendobject(d, S("held"), &held->ob);
        dictionary_appendobject(d, S("chucked"), &chucked->ob);

        dictionary_appendlong(d, S("owned"), 0); // replacing an owned value frees it
        dictionary_appendlong(d, S("ref"), 0);   // a reference is not freed
        EXPECT_EQ((ProbeLog::get().freed_ids()), (std::vector<long>{1}));
        dictionary_deleteentry(d, S("gone"));
        EXPECT_TRUE(ProbeLog::get().was_freed(4));
        EXPECT_EQ(dictionary_chuckentry(d, S("chucked")), 0);
        EXPECT_FALSE(dictionary_hasentry(d, S("chucked")));
    }
    // Freeing the dictionary freed "held" only.
    EXPECT_EQ((ProbeLog::get().freed_ids()), (std::vector<long>{1, 4, 5}));
    object_free(ref);
    object_free(kept);
    object_free(chucked);
}

// Storing the object a key already holds must keep it alive.
TEST(Dictionary, StoringAKeysOwnObjectAgainKeepsIt) {
    ProbeLog::get().reset();
    Probe *p = probe_new(10);
    Dict d;
    dictionary_appendobject(d, S("x"), &p->ob);
    dictionary_appendobject(d, S("x"), &p->ob);
    t_atom a = O(p);
    dictionary_appendatom(d, S("x"), &a);
    EXPECT_FALSE(ProbeLog::get().was_freed(10));
    t_object *out = nullptr;
    EXPECT_EQ(dictionary_getobject(d, S("x"), &out), 0);
    EXPECT_EQ(out, &p->ob);
    EXPECT_EQ(out->magic, KIVO_OBJECT_MAGIC);
    // The same sub-dictionary again: still alive and readable.
    t_dictionary *sub = dictionary_new();
    dictionary_appendlong(sub, S("n"), 5);
    dictionary_appenddictionary(d, S("sub"), reinterpret_cast<t_object *>(sub));
    dictionary_appenddictionary(d, S("sub"), reinterpret_cast<t_object *>(sub));
    t_atom_long n = 0;
    EXPECT_EQ(dictionary_getlong(sub, S("n"), &n), 0);
    EXPECT_EQ(n, 5);
}

// The atoms handed out by dictionary_getatoms point into the value that a
// store under the same key replaces.
TEST(Dictionary, StoringAnAtomReadFromTheReplacedValue) {
    Dict d;
    const t_atom list[] = {L(7), Y("x")};
    dictionary_appendatoms(d, S("k"), 2, list);
    long n = 0;
    t_atom *atoms = nullptr;
    ASSERT_EQ(dictionary_getatoms(d, S("k"), &n, &atoms), 0);
    ASSERT_EQ(dictionary_appendatom(d, S("k"), &atoms[0]), 0);
    t_atom_long v = 0;
    EXPECT_EQ(dictionary_getlong(d, S("k"), &v), 0);
    EXPECT_EQ(v, 7);
}

TEST(Dictionary, WrongClassesAndNullAtomsChangeNothing) {
    Dict d;
    Probe *p = probe_new(20);
    EXPECT_EQ(dictionary_appendatomarray(d, S("a"), &p->ob), -1);
    EXPECT_EQ(dictionary_appenddictionary(d, S("a"), &p->ob), -1);
    EXPECT_EQ(dictionary_appenddictionary(d, S("a"), nullptr), -1);
    EXPECT_EQ(dictionary_appendatom(d, S("a"), nullptr), -1);
    EXPECT_EQ(dictionary_appendlong(nullptr, S("a"), 1), -1);
    EXPECT_EQ(dictionary_getentrycount(d), 0);
    object_free(p);
}

// ---- entry kinds and readers

TEST(Dictionary, EveryEntryKindRoundTrips) {
    Dict d;
    dictionary_appendlong(d, S("long"), -42);
    dictionary_appendfloat(d, S("float"), 2.5);
    dictionary_appendsym(d, S("sym"), S("hello"));
    const t_atom list[] = {L(1), F(2.5), Y("three")};
    dictionary_appendatoms(d, S("list"), 3, list);
    dictionary_appendatoms(d, S("one"), 1, list);
    t_atomarray *array = atomarray_new(2, list);
    dictionary_appendatomarray(d, S("array"), reinterpret_cast<t_object *>(array));
    dictionary_appendstring(d, S("string"), "quoted text");
    t_dictionary *sub = dictionary_new();
    dictionary_appendlong(sub, S("inner"), 9);
    dictionary_appenddictionary(d, S("sub"), reinterpret_cast<t_object *>(sub));

    t_atom_long l = 0;
    double f = 0;
    t_symbol *s = nullptr;
    EXPECT_EQ(dictionary_getlong(d, S("long"), &l), 0);
    EXPECT_EQ(l, -42);
    EXPECT_EQ(dictionary_getfloat(d, S("float"), &f), 0);
    EXPECT_EQ(f, 2.5);
    EXPECT_EQ(dictionary_getsym(d, S("sym"), &s), 0);
    EXPECT_EQ(s, S("hello"));

    long n = 0;
    t_atom *atoms = nullptr;
    ASSERT_EQ(dictionary_getatoms(d, S("list"), &n, &atoms), 0);
    ASSERT_EQ(n, 3);
    EXPECT_EQ(atom_getlong(&atoms[0]), 1);
    EXPECT_EQ(atom_getfloat(&atoms[1]), 2.5);
    EXPECT_EQ(atom_getsym(&atoms[2]), S("three"));
    EXPECT_TRUE(dictionary_entryisatomarray(d, S("one"))); // even one atom is an array
    ASSERT_EQ(dictionary_getatoms(d, S("long"), &n, &atoms), 0);
    EXPECT_EQ(n, 1);
    EXPECT_EQ(atom_getlong(atoms), -42);

    t_object *o = nullptr;
    EXPECT_EQ(dictionary_getatomarray(d, S("array"), &o), 0);
    EXPECT_EQ(o, reinterpret_cast<t_object *>(array));
    EXPECT_EQ(dictionary_getdictionary(d, S("sub"), &o), 0);
    EXPECT_EQ(o, reinterpret_cast<t_object *>(sub));
    EXPECT_TRUE(dictionary_entryisdictionary(d, S("sub")));
    EXPECT_EQ(dictionary_getlong(reinterpret_cast<t_dictionary *>(o), S("inner"), &l), 0);
    EXPECT_EQ(l, 9);
    const char *text = nullptr;
    EXPECT_EQ(dictionary_getstring(d, S("string"), &text), 0);
    EXPECT_STREQ(text, "quoted text");
    EXPECT_TRUE(dictionary_entryisstring(d, S("string")));

    // A copy into a new block, and into the caller's array.
    n = 0;
    atoms = nullptr;
    ASSERT_EQ(dictionary_copyatoms(d, S("list"), &n, &atoms), 0);
    ASSERT_EQ(n, 3);
    EXPECT_EQ(atom_getsym(&atoms[2]), S("three"));
    sysmem_freeptr(atoms);
    t_atom mine[2];
    n = 2;
    atoms = mine;
    ASSERT_EQ(dictionary_copyatoms(d, S("list"), &n, &atoms), 0);
    EXPECT_EQ(atoms, mine);
    EXPECT_EQ(atom_getlong(&mine[0]), 1);
}

TEST(Dictionary, TextOfEveryAtomType) {
    struct Case {
        t_atom value;
        const char *text;
    };
    t_atom semi{}, comma{}, dollar{}, bigdollar{}, dollsym{};
    semi.type = AT_SEMI;
    comma.type = AT_COMMA;
    dollar.type = AT_DOLLAR;
    dollar.value.w_long = 3;
    bigdollar.type = AT_DOLLAR;
    bigdollar.value.w_long = 12;
    dollsym.type = AT_DOLLSYM;
    dollsym.value.w_sym = S("1-foo");
    const Case cases[] = {{Y("name"), "name"}, {semi, ";"},     {comma, ","},  {dollar, "$3"},
                          {bigdollar, "$0"},  {dollsym, "$1-foo"}, {L(5), ""}, {F(1.5), ""}};
    Dict d;
    for (const Case &c : cases) {
        ASSERT_EQ(dictionary_appendatom(d, S("k"), &c.value), 0);
        const char *text = nullptr;
        EXPECT_EQ(dictionary_getstring(d, S("k"), &text), 0);
        EXPECT_STREQ(text, c.text);
    }
    const char *text = "untouched";
    EXPECT_EQ(dictionary_getstring(d, S("missing"), &text), -1);
    EXPECT_STREQ(text, "untouched");
    EXPECT_EQ(dictionary_getdefstring(d, S("missing"), &text, "def"), -1);
    EXPECT_STREQ(text, "def");
}

TEST(Dictionary, ReadersOnMissingKeysAndOtherTypes) {
    Dict d;
    dictionary_appendfloat(d, S("f"), 2.7);
    dictionary_appendlong(d, S("l"), 3);
    Probe *p = probe_new(30);
    dictionary_appendobject(d, S("o"), &p->ob);

    t_atom_long l = 99;
    EXPECT_EQ(dictionary_getlong(d, S("f"), &l), 0);
    t_atom f27 = F(2.7);
    EXPECT_EQ(l, atom_getlong(&f27));
    l = 99;
    EXPECT_EQ(dictionary_getlong(d, S("missing"), &l), -1);
    EXPECT_EQ(l, 99);
    EXPECT_EQ(dictionary_getdeflong(d, S("missing"), &l, 5), -1);
    EXPECT_EQ(l, 5);
    EXPECT_EQ(dictionary_getdeflong(d, S("o"), &l, 5), 0); // only a missing key gives the default
    double f = 0;
    EXPECT_EQ(dictionary_getdeffloat(d, S("missing"), &f, 1.25), -1);
    EXPECT_EQ(f, 1.25);

    t_symbol *s = S("untouched");
    EXPECT_EQ(dictionary_getsym(d, S("missing"), &s), -1);
    EXPECT_EQ(s, S("untouched"));
    EXPECT_EQ(dictionary_getsym(d, S("l"), &s), -1);
    EXPECT_EQ(s, S(""));
    EXPECT_EQ(dictionary_getdefsym(d, S("l"), &s, S("def")), -1);
    EXPECT_EQ(s, S("def"));

    t_object *o = &p->ob;
    EXPECT_EQ(dictionary_getobject(d, S("missing"), &o), -1);
    EXPECT_EQ(o, nullptr);
    EXPECT_EQ(dictionary_getobject(d, S("l"), &o), -1);
    EXPECT_EQ(o, nullptr);
    EXPECT_EQ(dictionary_getatomarray(d, S("o"), &o), -1);
    EXPECT_EQ(o, &p->ob); // another class: the object is handed out all the same
    o = nullptr;
    EXPECT_EQ(dictionary_getdictionary(d, S("l"), &o), -1);
    EXPECT_EQ(o, nullptr);
    EXPECT_EQ(dictionary_getdictionary(d, S("o"), &o), -1);
    EXPECT_EQ(o, &p->ob);

    t_atom a = L(0), def = Y("d");
    EXPECT_EQ(dictionary_getdefatom(d, S("missing"), &a, &def), -1);
    EXPECT_EQ(atom_getsym(&a), S("d"));
    long n = 4;
    t_atom *atoms = nullptr;
    EXPECT_EQ(dictionary_getdefatoms(d, S("missing"), &n, &atoms, &def), -1);
    EXPECT_EQ(atoms, &def);
    EXPECT_EQ(n, 4);
    EXPECT_EQ(dictionary_getatoms(d, S("l"), nullptr, &atoms), -1);
    EXPECT_EQ(dictionary_copyatoms(d, S("missing"), &n, &atoms), -1);
    EXPECT_FALSE(dictionary_hasentry(nullptr, S("l")));
    EXPECT_EQ(dictionary_getentrycount(nullptr), 0);
}

// ---- string values

TEST(Dictionary, AStringBecomesASymbolWhenReadForGood) {
    Dict d;
    dictionary_appendstring(d, S("s"), "text");
    const char *text = nullptr;
    dictionary_getstring(d, S("s"), &text); // does not convert
    EXPECT_TRUE(dictionary_entryisstring(d, S("s")));
    t_symbol *s = nullptr;
    EXPECT_EQ(dictionary_getsym(d, S("s"), &s), 0);
    EXPECT_EQ(s, S("text"));
    EXPECT_FALSE(dictionary_entryisstring(d, S("s")));
    EXPECT_EQ(dictionary_getstring(d, S("s"), &text), 0);
    EXPECT_STREQ(text, "text");

    // Inside an owning atom array every string turns into a symbol.
    t_atom parts[] = {O(string_new("one")), L(2), O(string_new(nullptr))};
    dictionary_appendatoms(d, S("list"), 3, parts);
    long n = 0;
    t_atom *atoms = nullptr;
    ASSERT_EQ(dictionary_getatoms_ext(d, S("list"), 0, &n, &atoms), 0);
    EXPECT_TRUE(atomisstring(&atoms[0]));
    ASSERT_EQ(dictionary_getatoms(d, S("list"), &n, &atoms), 0);
    EXPECT_EQ(atom_getsym(&atoms[0]), S("one"));
    EXPECT_EQ(atom_getsym(&atoms[2]), S(""));
}

// A string stored as a reference belongs to someone else: reading it as a
// symbol must not free it.
TEST(Dictionary, ConvertingAReferencedStringLeavesItToItsOwner) {
    Dict d;
    t_string *mine = string_new("shared");
    dictionary_appendobject_flags(d, S("s"), reinterpret_cast<t_object *>(mine), 1);
    t_symbol *s = nullptr;
    EXPECT_EQ(dictionary_getsym(d, S("s"), &s), 0);
    EXPECT_EQ(s, S("shared"));
    EXPECT_STREQ(string_getptr(mine), "shared");
    // An array that does not own its atoms leaves their strings alone too.
    t_atom a = O(mine);
    dictionary_appendatoms_flags(d, S("l"), 1, &a, 1);
    long n = 0;
    t_atom *atoms = nullptr;
    ASSERT_EQ(dictionary_getatoms(d, S("l"), &n, &atoms), 0);
    EXPECT_EQ(atom_getsym(atoms), S("shared"));
    object_free(d.release());
    EXPECT_STREQ(string_getptr(mine), "shared");
    object_free(mine);
}

// ---- paths

struct PathFixture : ::testing::Test {
    // a: {b: [0, {c: [10, 11, 12]}], n: 5}, list: [1, 2], s: "str"
    Dict root;
    void SetUp() override {
        t_dictionary *inner = dictionary_new();
        const t_atom c[] = {L(10), L(11), L(12)};
        dictionary_appendatoms(inner, S("c"), 3, c);
        const t_atom b[] = {L(0), O(inner)};
        t_dictionary *a = dictionary_new();
        dictionary_appendatoms(a, S("b"), 2, b);
        dictionary_appendlong(a, S("n"), 5);
        dictionary_appenddictionary(root, S("a"), reinterpret_cast<t_object *>(a));
        const t_atom list[] = {L(1), L(2)};
        dictionary_appendatoms(root, S("list"), 2, list);
        dictionary_appendstring(root, S("s"), "str");
        t_atom arr = O(atomarray_new(2, list));
        const t_atom nested[] = {arr};
        dictionary_appendatoms(root, S("nested"), 1, nested);
    }
};

TEST_F(PathFixture, PathsReachNestedValues) {
    struct Case {
        const char *path;
        std::vector<t_atom_long> values; // empty: count 0 and null atoms
    };
    const Case cases[] = {
        {"a::b[1]::c[2]", {12}}, {"a::b[1]::c", {10, 11, 12}}, {"a::b[1]::c[-1]", {10, 11, 12}},
        {"a::b[1]::c[7]", {}},   {"a::n", {5}},                {"list", {1, 2}},
        {"list[1]", {2}},
    };
    for (const Case &c : cases) {
        long n = 0;
        t_atom *atoms = nullptr;
        char err[256] = "";
        ASSERT_EQ(dictionary_get_ex(root, S(c.path), &n, &atoms, err), 0) << c.path << ": " << err;
        ASSERT_EQ(n, static_cast<long>(c.values.size())) << c.path;
        if (c.values.empty()) {
            EXPECT_EQ(atoms, nullptr) << c.path;
        }
        for (long i = 0; i < n; i++) EXPECT_EQ(atom_getlong(&atoms[i]), c.values[i]) << c.path;
    }
    // A missing last key leaves the caller's outputs as they were.
    long n = 0;
    t_atom *atoms = nullptr;
    EXPECT_EQ(dictionary_get_ex(root, S("a::x"), &n, &atoms, nullptr), 0);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(atoms, nullptr);
}

TEST_F(PathFixture, PathErrors) {
    struct Case {
        const char *path;
        const char *message;
    };
    const Case cases[] = {
        {"x::c", "no dictionary named x, cannot get value"},
        {"list::c", "no dictionary named list, cannot get value"},
        {"a::b[5]::c", "index 5 out of range for dictionary named b"},
        {"a::b[0]::c", "index 0 for dictionary named b is not itself a dictionary"},
        {"x[0]::c", "no dictionary named x, cannot get value"},
        {"a::b[x]::c", "no dictionary named b[x], cannot get value"},
        {"::c", "no dictionary named , cannot get value"},
        // An object that is not a dictionary is not stepped into.
        {"nested[0]::c", "index 0 for dictionary named nested is not itself a dictionary"},
        {"s[0]::c", "index 0 for dictionary named s is not itself a dictionary"},
    };
    for (const Case &c : cases) {
        long n = 0;
        t_atom *atoms = nullptr;
        char err[256] = "";
        EXPECT_EQ(dictionary_get_ex(root, S(c.path), &n, &atoms, err), -1) << c.path;
        EXPECT_STREQ(err, c.message) << c.path;
        EXPECT_EQ(dictionary_get_ex(root, S(c.path), &n, &atoms, nullptr), -1) << c.path;
    }
}

TEST_F(PathFixture, LongPathsAreCutAndMessagesFitTheBuffer) {
    std::string path = std::string(1000, 'k') + "::c";
    long n = 0;
    t_atom *atoms = nullptr;
    char err[300];
    std::memset(err, 'z', sizeof err);
    EXPECT_EQ(dictionary_get_ex(root, S(path.c_str()), &n, &atoms, err), -1);
    EXPECT_EQ(std::strlen(err), 255u); // the message is cut to the buffer size
    EXPECT_EQ(err[299], 'z');
    n = 0;
    // Only the first 2,047 characters are split: a "::" beyond them is ignored
    // and the cut name is the last key.
    path = std::string(2046, 'q') + "::c";
    dictionary_appendlong(root, S((std::string(2046, 'q') + ":").c_str()), 3);
    EXPECT_EQ(dictionary_get_ex(root, S(path.c_str()), &n, &atoms, nullptr), 0);
    EXPECT_EQ(n, 1);
    EXPECT_EQ(atom_getlong(atoms), 3);
    n = 0;
    // A name without "::" is used whole, however long.
    dictionary_appendlong(root, S(std::string(3000, 'w').c_str()), 8);
    EXPECT_EQ(dictionary_get_ex(root, S(std::string(3000, 'w').c_str()), &n, &atoms, nullptr), 0);
    EXPECT_EQ(n, 1);
}

// ---- whole-dictionary operations

TEST(Dictionary, ClearFreesEverythingAndEndsReadOnlyUse) {
    ProbeLog::get().reset();
    Dict d(dictionary_new_hashsize(1001));
    dictionary_appendobject(d, S("p"), &probe_new(40)->ob);
    dictionary_appendlong(d, S("l"), 1);
    dictionary_readonly(d, 1);
    EXPECT_EQ(dictionary_clear(d), 0);
    EXPECT_TRUE(ProbeLog::get().was_freed(40));
    EXPECT_EQ(dictionary_isreadonly(d), 0);
    EXPECT_EQ(dictionary_getentrycount(d), 0);
    dictionary_appendlong(d, S("after"), 2);
    EXPECT_EQ(ordered_keys(d), (Keys{"after"}));
}

TEST(Dictionary, FunallWalksInKeyOrderAndMayDelete) {
    Dict d;
    for (const char *k : {"z", "y", "x", "w"}) dictionary_appendlong(d, S(k), 0);
    struct Walk {
        t_dictionary *d;
        Keys seen;
    } walk{d, {}};
    dictionary_funall(
        d,
        [](t_dictionary_entry *e, void *data) {
            auto *w = static_cast<Walk *>(data);
            w->seen.push_back(dictionary_entry_getkey(e)->name);
            if (w->seen.size() == 1) dictionary_deleteentry(w->d, S("x"));
        },
        &walk);
    EXPECT_EQ(walk.seen, (Keys{"z", "y", "w"}));
    EXPECT_EQ(ordered_keys(d), (Keys{"z", "y", "w"}));
}

TEST(Dictionary, EntriesAnswerKeyAndValues) {
    t_atom v = L(3);
    t_dictionary_entry *e = dictionary_entry_new(S("k"), &v);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(dictionary_entry_getkey(e), S("k"));
    t_atom out;
    dictionary_entry_getvalue(e, &out);
    EXPECT_EQ(atom_getlong(&out), 3);
    long n = 0;
    t_atom *atoms = nullptr;
    dictionary_entry_getvalues(e, &n, &atoms);
    EXPECT_EQ(n, 1);
    EXPECT_EQ(atoms, &e->value);
    object_free(e);
    t_dictionary_entry *empty = dictionary_entry_new(S("k"), nullptr);
    EXPECT_EQ(empty->value.type, AT_NOTHING);
    object_free(empty);
}

TEST(Dictionary, ClassMessagesAndCreationByName) {
    auto *d = static_cast<t_dictionary *>(object_new(S("nobox"), S("dictionary")));
    ASSERT_NE(d, nullptr);
    object_method(d, S("appendlong"), S("k"), reinterpret_cast<void *>(static_cast<t_atom_long>(6)));
    EXPECT_EQ(reinterpret_cast<t_atom_long>(object_method(d, S("getentrycount"))), 1);
    t_atom_long v = 0;
    EXPECT_EQ(dictionary_getlong(d, S("k"), &v), 0);
    EXPECT_EQ(v, 6);
    object_free(d);
}

TEST(Dictionary, TransactionLockIsRecursive) {
    Dict d;
    EXPECT_EQ(dictionary_transaction_lock(d), 0);
    EXPECT_EQ(dictionary_transaction_lock(d), 0);
    EXPECT_EQ(dictionary_transaction_unlock(d), 0);
    EXPECT_EQ(dictionary_transaction_unlock(d), 0);
    EXPECT_EQ(dictionary_transaction_lock(nullptr), -1);
}

TEST(Dictionary, BinbufAtomsBecomeAnArray) {
    Dict d;
    t_binbuf *b = binbuf_new();
    t_atom atoms[] = {L(1), Y("two"), F(3.5)};
    binbuf_insq(b, 3, atoms, 0, 0);
    EXPECT_EQ(dictionary_appendbinbuf(d, S("b"), b), 0);
    long n = 0;
    t_atom *out = nullptr;
    ASSERT_EQ(dictionary_getatoms(d, S("b"), &n, &out), 0);
    ASSERT_EQ(n, 3);
    EXPECT_EQ(atom_getlong(&out[0]), 1);
    EXPECT_EQ(atom_getsym(&out[1]), S("two"));
    EXPECT_EQ(atom_getfloat(&out[2]), 3.5);
    binbuf_clear(b);
    EXPECT_EQ(dictionary_appendbinbuf(d, S("empty"), b), -1);
    EXPECT_FALSE(dictionary_hasentry(d, S("empty")));
    object_free(b);
}

// ---- attributes

struct Thing {
    t_object ob;
    t_atom_long level;
    t_atom_long arr[4];
    t_atom_long arrcount;
};

t_class *thing_class() {
    static t_class *c = [] {
        t_class *k = class_new("dictionary_test_thing", nullptr, nullptr, sizeof(Thing), nullptr, 0);
        class_addattr(k, attr_offset_new("level", S("long"), 0, nullptr, nullptr, offsetof(Thing, level)));
        class_addattr(k, attr_offset_array_new("arr", S("long"), 4, 0, nullptr, nullptr,
                                               offsetof(Thing, arrcount), offsetof(Thing, arr)));
        return k;
    }();
    return c;
}

TEST(Dictionary, AttributesGoInAndComeOut) {
    auto *x = static_cast<Thing *>(object_alloc(thing_class()));
    x->level = 7;
    x->arr[0] = 4;
    x->arrcount = 1;
    Dict d;
    EXPECT_EQ(dictionary_appendattribute(d, S("level"), S("level"), &x->ob), 0);
    EXPECT_EQ(dictionary_appendattribute(d, S("arr"), S("arr"), &x->ob), 0);
    EXPECT_EQ(dictionary_appendattribute(d, S("none"), S("nosuchattr"), &x->ob), -1);
    t_atom_long v = 0;
    EXPECT_EQ(dictionary_getlong(d, S("level"), &v), 0);
    EXPECT_EQ(v, 7);
    EXPECT_FALSE(dictionary_entryisatomarray(d, S("level")));
    EXPECT_TRUE(dictionary_entryisatomarray(d, S("arr"))); // an array attribute, even of one value

    dictionary_appendlong(d, S("level"), 11);
    EXPECT_EQ(dictionary_getattribute(d, S("level"), S("level"), &x->ob), 0);
    EXPECT_EQ(x->level, 11);
    EXPECT_EQ(dictionary_getattribute(d, S("missing"), S("level"), &x->ob), -1);
    EXPECT_EQ(dictionary_getattribute(d, S("level"), S("level"), nullptr), -1);

    // Missing keys fall back to the class's prototype.
    t_dictionary *proto = dictionary_prototypefromclass(thing_class());
    ASSERT_NE(proto, nullptr);
    EXPECT_EQ(dictionary_prototypefromclass(thing_class()), proto);
    dictionary_readonly(proto, 0);
    dictionary_appendlong(proto, S("fallback"), 21);
    dictionary_readonly(proto, 1);
    EXPECT_EQ(dictionary_getattribute(nullptr, S("fallback"), S("level"), &x->ob), 0);
    EXPECT_EQ(x->level, 21);
    EXPECT_EQ(dictionary_prototypefromclass(nullptr), nullptr);
    object_free(x);
}

TEST(Dictionary, AttributeArgumentsGoIntoADictionary) {
    Dict d;
    t_atom args[] = {L(1), Y("plain"), Y("@one"), L(5), Y("@none"), Y("@many"), L(1), F(2.5), Y("x"), Y("@")};
    attr_args_dictionary(d, 10, args);
    EXPECT_EQ(ordered_keys(d), (Keys{"one", "many"}));
    t_atom_long v = 0;
    EXPECT_EQ(dictionary_getlong(d, S("one"), &v), 0);
    EXPECT_EQ(v, 5);
    EXPECT_FALSE(dictionary_entryisatomarray(d, S("one")));
    long n = 0;
    t_atom *atoms = nullptr;
    ASSERT_EQ(dictionary_getatoms(d, S("many"), &n, &atoms), 0);
    ASSERT_EQ(n, 3);
    EXPECT_EQ(atom_getsym(&atoms[2]), S("x"));

    // Creation arguments after a dictionary land in that dictionary.
    t_atom newargs[] = {O(d.d), Y("@made"), L(9)};
    char made = 1;
    EXPECT_EQ(object_dictionary_fromnewargs(nullptr, thing_class(), 3, newargs, 0, &made), d.d);
    EXPECT_EQ(made, 0);
    EXPECT_EQ(dictionary_getlong(d, S("made"), &v), 0);
    EXPECT_EQ(v, 9);
}

TEST(Dictionary, YamlWithoutTheExternalFails) {
    t_dictionary *d = nullptr;
    EXPECT_EQ(dictionary_read_yaml("x.yaml", 0, &d), -1);
    EXPECT_EQ(d, nullptr);
}

} // namespace

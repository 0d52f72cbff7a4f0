// Dictionary copies, merges, text forms, blobs and the dump: what is cloned
// and what is shared, key order after each kind of copy, copies onto
// oneself, nesting far deeper than the C stack allows recursion for, and
// untrusted blob text.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "containers_probe.h"
#include "kivo/kivo.h"
#include "runtime/dictionary_internal.h"
#include "support/kivo_test.h"

namespace {

using kivo::test::L;
using kivo::test::O;
using kivo::test::PostCapture;
using kivo::test::probe_new;
using kivo::test::Y;

using kivo::test::S;

struct Dict {
    t_dictionary *d;
    Dict() : d(dictionary_new()) {}
    explicit Dict(t_dictionary *x) : d(x) {}
    ~Dict() {
        if (d) object_free(d);
    }
    Dict(const Dict &) = delete;
    Dict &operator=(const Dict &) = delete;
    operator t_dictionary *() const { return d; }
};

// The entry's atom as stored: the dictionary's readers would turn a string
// into a symbol for good.
t_dictionary_entry *raw_entry(t_dictionary *d, t_symbol *key) {
    std::pair<t_symbol *, t_dictionary_entry *> search{key, nullptr};
    dictionary_funall(d, [](t_dictionary_entry *e, void *data) {
        auto *s = static_cast<std::pair<t_symbol *, t_dictionary_entry *> *>(data);
        if (e->key == s->first) s->second = e;
    }, &search);
    return search.second;
}

t_atom raw(t_dictionary *d, t_symbol *key) {
    t_dictionary_entry *e = raw_entry(d, key);
    return e ? e->value : t_atom{};
}

t_object *raw_object(t_dictionary *d, const char *key) {
    const t_atom a = raw(d, gensym(key));
    return a.type == AT_OBJ ? a.value.w_obj : nullptr;
}

// "key=value" per entry in key order; objects by class name.
std::string text_of(t_dictionary *d) {
    long n = 0;
    t_symbol **keys = nullptr;
    dictionary_getkeys_ordered(d, &n, &keys);
    std::string out;
    for (long i = 0; i < n; i++) {
        const t_atom a = raw(d, keys[i]);
        if (!out.empty()) out += ' ';
        out += keys[i]->name;
        out += '=';
        if (a.type == AT_OBJ)
            out += a.value.w_obj ? object_classname(a.value.w_obj)->name : "null";
        else
            out += atom_string(&a);
    }
    dictionary_freekeys(d, n, keys);
    return out;
}

t_dictionary *longs(std::vector<std::pair<const char *, long>> entries) {
    t_dictionary *d = dictionary_new();
    for (auto &[k, v] : entries) dictionary_appendlong(d, S(k), v);
    return d;
}

bool have_json() {
    return class_findbyname(_sym(nobox), _sym(jsonreader)) && class_findbyname(_sym(nobox), _sym(jsonwriter));
}

TEST(DictionaryCopy, CloneCopiesOwnedObjectsAndSharesReferences) {
    Dict src;
    t_dictionary *sub = dictionary_new();
    dictionary_appendlong(sub, S("b"), 1);
    dictionary_appenddictionary(src, S("sub"), reinterpret_cast<t_object *>(sub));
    t_atom two[2] = {L(1), Y("x")};
    dictionary_appendatoms(src, S("list"), 2, two);
    dictionary_appendstring(src, S("text"), "hello");
    Dict referenced;
    dictionary_appendobject_flags(src, S("ref"), reinterpret_cast<t_object *>(referenced.d),
                                  DICTIONARY_ENTRY_FLAG_NOFREE);
    dictionary_appendlong(src, S("n"), 7);

    Dict clone(dictionary_clone(src));
    ASSERT_NE(clone.d, nullptr);
    EXPECT_EQ(text_of(clone), "sub=dictionary list=atomarray text=string ref=dictionary n=7");
    for (const char *k : {"sub", "list", "text"}) {
        ASSERT_NE(raw_object(clone, k), nullptr) << k;
        EXPECT_NE(raw_object(src, k), raw_object(clone, k)) << k;
    }
    t_object *ref = nullptr;
    dictionary_getobject(clone, S("ref"), &ref);
    EXPECT_EQ(ref, reinterpret_cast<t_object *>(referenced.d));

    object_free(src.d); // the clone must not lean on anything src owned
    src.d = nullptr;
    t_object *csub = nullptr;
    ASSERT_EQ(dictionary_getdictionary(clone, S("sub"), &csub), 0);
    EXPECT_EQ(text_of(reinterpret_cast<t_dictionary *>(csub)), "b=1");
    const char *text = nullptr;
    dictionary_getstring(clone, S("text"), &text);
    EXPECT_STREQ(text, "hello");
    long argc = 0;
    t_atom *argv = nullptr;
    ASSERT_EQ(dictionary_getatoms(clone, S("list"), &argc, &argv), 0);
    ASSERT_EQ(argc, 2);
    EXPECT_EQ(atom_getlong(argv), 1);
    EXPECT_EQ(atom_getsym(argv + 1), S("x"));
}

TEST(DictionaryCopy, ReferenceKeepsItsFlags) {
    Dict src, dst;
    Dict target;
    dictionary_appendobject_flags(src, S("r"), reinterpret_cast<t_object *>(target.d),
                                  DICTIONARY_ENTRY_FLAG_REFERENCE);
    ASSERT_EQ(dictionary_merge_to_existing(src, dst), 0);
    t_dictionary_entry *e = raw_entry(dst, S("r"));
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->flags, DICTIONARY_ENTRY_FLAG_REFERENCE);
    EXPECT_EQ(e->value.value.w_obj, reinterpret_cast<t_object *>(target.d));
}

TEST(DictionaryCopy, KeyOrderOfEachCopy) {
    t_symbol *ca[] = {S("c"), S("a"), nullptr};
    struct Case {
        const char *name;
        t_kivo_err (*op)(t_dictionary *src, t_dictionary *dst, t_symbol **keys);
        std::vector<std::pair<const char *, long>> src, dst;
        const char *expect;
    } cases[] = {
        {"merge", [](t_dictionary *s, t_dictionary *d, t_symbol **) { return dictionary_merge_to_existing(s, d); },
         {{"a", 1}, {"c", 3}}, {{"c", 0}, {"b", 2}}, "c=3 b=2 a=1"},
        {"copy", [](t_dictionary *s, t_dictionary *d, t_symbol **) { return dictionary_copy_to_existing(s, d); },
         {{"a", 1}, {"c", 3}}, {{"c", 0}, {"b", 2}}, "c=3 b=2 a=1"},
        {"clone_to_existing",
         [](t_dictionary *s, t_dictionary *d, t_symbol **) { return dictionary_clone_to_existing(s, d); },
         {{"a", 1}, {"c", 3}}, {{"c", 0}, {"b", 2}}, "a=1 c=3"},
        {"copyunique", [](t_dictionary *s, t_dictionary *d, t_symbol **) { return dictionary_copyunique(d, s); },
         {{"a", 1}, {"b", 2}}, {{"b", 9}}, "b=9 a=1"},
        {"copyentries", [](t_dictionary *s, t_dictionary *d, t_symbol **k) { return dictionary_copyentries(s, d, k); },
         {{"a", 1}, {"b", 2}, {"c", 3}}, {}, "a=1 c=3"},
    };
    for (auto &c : cases) {
        Dict src(longs(c.src)), dst(longs(c.dst));
        EXPECT_EQ(c.op(src, dst, ca), 0) << c.name;
        EXPECT_EQ(text_of(dst), c.expect) << c.name;
    }
}

TEST(DictionaryCopy, RefusesNullAndIdenticalArguments) {
    Dict d(longs({{"a", 1}}));
    EXPECT_EQ(dictionary_clone(nullptr), nullptr);
    EXPECT_EQ(dictionary_clone_to_existing(d, d), -1);
    EXPECT_EQ(dictionary_clone_to_existing(nullptr, d), -1);
    EXPECT_EQ(dictionary_merge_to_existing(d, d), -1);
    EXPECT_EQ(dictionary_merge_to_existing(d, nullptr), -1);
    EXPECT_EQ(dictionary_copy_to_existing(d, d), -1);
    EXPECT_EQ(text_of(d), "a=1");
}

TEST(DictionaryCopy, CopyOntoItselfKeepsOwnedValuesIntact) {
    Dict d;
    t_dictionary *sub = longs({{"x", 1}, {"y", 2}});
    dictionary_appenddictionary(d, S("sub"), reinterpret_cast<t_object *>(sub));
    dictionary_appendstring(d, S("s"), "text");
    t_symbol *keys[] = {S("sub"), S("s"), nullptr};
    EXPECT_EQ(dictionary_copyentries(d, d, keys), 0);
    EXPECT_EQ(dictionary_copyunique(d, d), 0);
    t_object *now = nullptr;
    ASSERT_EQ(dictionary_getdictionary(d, S("sub"), &now), 0);
    EXPECT_EQ(text_of(reinterpret_cast<t_dictionary *>(now)), "x=1 y=2");
    const char *text = nullptr;
    dictionary_getstring(d, S("s"), &text);
    EXPECT_STREQ(text, "text");
}

TEST(DictionaryCopy, NonClonableObjectBecomesNullAndCopyGoesOn) {
    Dict src;
    dictionary_appendobject(src, S("p"), reinterpret_cast<t_object *>(probe_new(1)));
    dictionary_appendlong(src, S("n"), 2);
    Dict clone(dictionary_clone(src));
    EXPECT_EQ(text_of(clone), "p=null n=2");
    t_atom a;
    ASSERT_EQ(dictionary_getatom(clone, S("p"), &a), 0);
    EXPECT_EQ(a.type, AT_OBJ);
}

// A chain root -> k -> k -> ... of the given depth, alternating a
// dictionary and an atom array holding one dictionary when through_arrays.
t_dictionary *deep_chain(long depth, bool through_arrays) {
    t_dictionary *root = dictionary_new();
    t_dictionary *at = root;
    for (long i = 0; i < depth; i++) {
        t_dictionary *next = dictionary_new();
        dictionary_appendlong(next, S("level"), i);
        if (through_arrays && i % 2) {
            t_atom a = O(next);
            t_atomarray *arr = atomarray_new(1, &a);
            atomarray_flags(arr, ATOMARRAY_FLAG_FREECHILDREN);
            dictionary_appendatomarray(at, S("k"), reinterpret_cast<t_object *>(arr));
        } else {
            dictionary_appenddictionary(at, S("k"), reinterpret_cast<t_object *>(next));
        }
        at = next;
    }
    return root;
}

long chain_depth(t_dictionary *d) {
    long depth = 0;
    for (;;) {
        t_atom a;
        if (dictionary_getatom(d, S("k"), &a) != 0 || a.type != AT_OBJ || !a.value.w_obj) return depth;
        t_object *o = a.value.w_obj;
        if (object_classname(o) == S("atomarray")) {
            auto *arr = reinterpret_cast<t_atomarray *>(o);
            if (arr->count != 1 || arr->atoms[0].type != AT_OBJ) return depth;
            o = arr->atoms[0].value.w_obj;
        }
        d = reinterpret_cast<t_dictionary *>(o);
        depth++;
    }
}

TEST(DictionaryCopy, DeepNestingIsClonedMergedAndFreedWithoutRecursion) {
    Dict src(deep_chain(100000, true));
    Dict clone(dictionary_clone(src));
    EXPECT_EQ(chain_depth(clone), 100000);
    Dict merged;
    ASSERT_EQ(dictionary_merge_to_existing(src, merged), 0);
    EXPECT_EQ(chain_depth(merged), 100000);
} // the frees must not overflow the stack either

TEST(DictionaryCopy, DefaultsOfAClassFillOnlyMissingKeys) {
    t_class *c = class_new("dcopy_defaults_probe", nullptr, nullptr, sizeof(t_object), nullptr, 0);
    ASSERT_NE(c, nullptr);
    t_dictionary *proto = dictionary_prototypefromclass(c);
    ASSERT_NE(proto, nullptr);
    dictionary_appendlong(proto, S("a"), 1);
    dictionary_appendlong(proto, S("b"), 2);
    dictionary_appendstring(proto, S("s"), "default");
    Dict dst(longs({{"b", 9}}));
    EXPECT_EQ(dictionary_copyunique_defaults(dst, c), 0);
    EXPECT_EQ(text_of(dst), "b=9 a=1 s=string");
    ASSERT_NE(raw_object(dst, "s"), nullptr);
    EXPECT_NE(raw_object(dst, "s"), raw_object(proto, "s")); // the prototype keeps its own
    EXPECT_EQ(text_of(proto), "a=1 b=2 s=string");
    class_free(c); // never registered: the test's to free, prototype and all
}

TEST(DictionaryText, AttributeStyleText) {
    Dict d(dictionary_fromtext("@foo 1 2 @bar x"));
    ASSERT_NE(d.d, nullptr);
    long argc = 0;
    t_atom *argv = nullptr;
    ASSERT_EQ(dictionary_getatoms(d, S("foo"), &argc, &argv), 0);
    ASSERT_EQ(argc, 2);
    EXPECT_EQ(atom_getlong(argv), 1);
    EXPECT_EQ(atom_getlong(argv + 1), 2);
    t_symbol *bar = nullptr;
    EXPECT_EQ(dictionary_getsym(d, S("bar"), &bar), 0);
    EXPECT_EQ(bar, S("x"));

    Dict empty(dictionary_fromtext(""));
    ASSERT_NE(empty.d, nullptr);
    EXPECT_EQ(dictionary_getentrycount(empty), 0);
}

TEST(DictionaryText, SprintfFormatsAndCutsLongText) {
    Dict d(dictionary_sprintf("@n %d @name %s", 42, "kivo"));
    t_atom_long n = 0;
    EXPECT_EQ(dictionary_getlong(d, S("n"), &n), 0);
    EXPECT_EQ(n, 42);
    EXPECT_EQ(text_of(d), "n=42 name=kivo");

    const std::string longword(6000, 'w');
    Dict cut(dictionary_sprintf("@long %s", longword.c_str()));
    t_symbol *s = nullptr;
    ASSERT_EQ(dictionary_getsym(cut, S("long"), &s), 0);
    EXPECT_EQ(std::string(s->name), std::string(4095 - 6, 'w'));
}

TEST(DictionaryDump, NestedDictionariesAndArrays) {
    Dict d;
    t_dictionary *sub = longs({{"b", 1}});
    dictionary_appenddictionary(d, S("a"), reinterpret_cast<t_object *>(sub));
    t_atom two[2] = {L(5), Y("y")};
    dictionary_appendatoms(d, S("l"), 2, two);
    dictionary_appendlong(d, S("z"), 3);
    PostCapture capture;
    EXPECT_EQ(dictionary_dump(d, 1, 0), 0);
    const std::vector<std::string> lines = capture.texts(POST_KIND_POST);
    ASSERT_EQ(lines.size(), 9u);
    EXPECT_EQ(lines[0].rfind("key: a, type 4, value ", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1], "--begin--");
    EXPECT_EQ(lines[2], "key: b, type 1, value 1");
    EXPECT_EQ(lines[3], "--end--");
    EXPECT_EQ(lines[4].rfind("key: l, type 4, value ", 0), 0u) << lines[4];
    EXPECT_EQ(lines[5], "-> atomarray (2 items)");
    EXPECT_EQ(lines[6], "0: 5");
    EXPECT_EQ(lines[7], "1: y");
    EXPECT_EQ(lines[8], "key: z, type 1, value 3");

    EXPECT_EQ(dictionary_dump(d, 0, 0), 0);
    EXPECT_EQ(capture.texts(POST_KIND_POST).size(), 3u);
}

TEST(DictionaryBlob, RoundTripKeepsKeysOrderAndValues) {
    if (!have_json()) GTEST_SKIP() << "no JSON reader or writer in this build";
    Dict src;
    dictionary_appendlong(src, S("z"), 1);
    dictionary_appendstring(src, S("s"), "two words");
    t_atom two[2] = {L(3), L(4)};
    dictionary_appendatoms(src, S("l"), 2, two);
    dictionary_appenddictionary(src, S("d"), reinterpret_cast<t_object *>(longs({{"in", 5}})));
    t_handle h = nullptr;
    ASSERT_EQ(dictionary_serializeblob(src, &h), 0);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(sysmem_handlesize(h), static_cast<t_ptr_size>(std::strlen(*h) + 1));

    Dict dst(longs({{"old", 1}}));
    t_systhread_mutex lock = dst.d->lock;
    ASSERT_EQ(dictionary_deserializeblob(dst, 0, *h), 0);
    sysmem_freehandle(h);
    EXPECT_EQ(text_of(dst), "z=1 s=string l=atomarray d=dictionary");
    EXPECT_EQ(dst.d->lock, lock);
    const char *text = nullptr;
    dictionary_getstring(dst, S("s"), &text);
    EXPECT_STREQ(text, "two words");
}

TEST(DictionaryBlob, UntrustedTextLeavesTheDictionaryAlone) {
    if (!have_json()) GTEST_SKIP() << "no JSON reader or writer in this build";
    Dict d(longs({{"keep", 1}}));
    EXPECT_EQ(dictionary_deserializeblob(d, 0, "[1, 2, 3]"), 0);
    EXPECT_EQ(text_of(d), "keep=1");
    for (const char *bad : {"{\"a\": ", "{\"a\" 1}", "nonsense", "{\"a\": [1, {\"b\": }]}"}) {
        EXPECT_NE(dictionary_deserializeblob(d, 0, bad), 0) << bad;
        EXPECT_EQ(text_of(d), "keep=1") << bad;
        EXPECT_EQ(dictionary_fromjson(bad), nullptr) << bad;
    }
    EXPECT_EQ(dictionary_fromjson("[1]"), nullptr);
    Dict fromjson(dictionary_fromjson("{\"a\": 1, \"b\": \"x\"}"));
    ASSERT_NE(fromjson.d, nullptr);
    EXPECT_EQ(text_of(fromjson), "a=1 b=string");
    EXPECT_EQ(dictionary_deserializeblob(nullptr, 0, "{}"), -1);
    EXPECT_EQ(dictionary_serializeblob(d, nullptr), -1);
}

TEST(DictionaryBlob, ClassAnswersBlobAndCloneMessages) {
    Dict d(longs({{"a", 1}}));
    EXPECT_TRUE(object_clonable(reinterpret_cast<t_object *>(d.d)));
    Dict copy(static_cast<t_dictionary *>(object_clone(reinterpret_cast<t_object *>(d.d))));
    ASSERT_NE(copy.d, nullptr);
    EXPECT_NE(copy.d, d.d);
    EXPECT_EQ(text_of(copy), "a=1");
}

} // namespace

namespace {

struct WithSize {
    t_object ob;
    t_atom_long size;
    t_atom_long plain;
};

TEST(ClassPrototype, HoldsAttributeDefaultsAndClonesAreIndependent) {
    t_class *c = class_new("dcopy_prototype_probe", nullptr, nullptr, sizeof(WithSize), nullptr, 0);
    ASSERT_NE(c, nullptr);
    class_addattr(c, attr_offset_new("size", _sym(long), 0, nullptr, nullptr, offsetof(WithSize, size)));
    class_addattr(c, attr_offset_new("plain", _sym(long), 0, nullptr, nullptr, offsetof(WithSize, plain)));
    ASSERT_EQ(class_attr_addattr_parse(c, "size", "default", _sym(long), 0, "5"), 0);
    EXPECT_EQ(class_buildprototype(c), 0);
    t_dictionary *proto = dictionary_prototypefromclass(c);
    EXPECT_EQ(text_of(proto), "size=5"); // no default, no entry

    Dict a(class_cloneprototype(c)), b(class_cloneprototype(c));
    ASSERT_NE(a.d, nullptr);
    EXPECT_NE(a.d, proto);
    EXPECT_EQ(text_of(a), "size=5");
    dictionary_appendlong(a, S("size"), 9);
    EXPECT_EQ(text_of(b), "size=5");
    EXPECT_EQ(text_of(proto), "size=5");

    t_class *bare = class_new("dcopy_prototype_bare", nullptr, nullptr, sizeof(t_object), nullptr, 0);
    Dict empty(class_cloneprototype(bare));
    ASSERT_NE(empty.d, nullptr);
    EXPECT_EQ(dictionary_getentrycount(empty), 0);
    EXPECT_EQ(class_cloneprototype(nullptr), nullptr);
    class_free(bare);
    class_free(c);
}

} // namespace

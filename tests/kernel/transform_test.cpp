// Transforms: registration on a class, the default transform made from a
// description text, and "Changed Attributes to Arguments" on object boxes.
#include <gtest/gtest.h>

#include <cstddef>
#include <string>

#include "kivo/kivo.h"
#include "objects_support.h"
#include "support/kivo_test.h"

namespace {

using kivo::test::O;
using kivo::test::unique_name;

using kivo::test::as_method;

using kivo::test::S;

std::string sym_of(t_dictionary *d, const char *key) {
    t_symbol *s = nullptr;
    if (!d || dictionary_getsym(d, S(key), &s) != 0 || !s) return "<none>";
    return s->name;
}

struct Plain {
    t_object ob;
    void *obex;
};

TEST(Transform, DescriptionTextBecomesTheDictionary) {
    t_class *c = class_new(unique_name("xfm.plain").c_str(), nullptr, nullptr, sizeof(Plain),
                           nullptr, 0);
    class_obexoffset_set(c, offsetof(Plain, obex));
    ASSERT_EQ(class_addtransform(c, nullptr, "to_message", "to_message_enable", "Make a Message",
                                 "@kivoclass message @text hello"),
              0);
    ASSERT_EQ(class_addtransform(c, nullptr, "bare", nullptr, "Bare", nullptr), 0);
    class_register(S("nobox"), c);
    t_object *x = static_cast<t_object *>(object_alloc(c));

    t_object *mo = object_getmethod_object(x, S("to_message"));
    ASSERT_NE(mo, nullptr);
    EXPECT_EQ(object_attr_getsym(mo, S("transformlabel")), S("Make a Message"));
    EXPECT_EQ(object_attr_getsym(mo, S("transformenabler")), S("to_message_enable"));
    EXPECT_EQ(object_attr_getsym(mo, S("transform")), S("@kivoclass message @text hello"));
    EXPECT_EQ(object_attr_get(object_getmethod_object(x, S("bare")), S("transformenabler")), nullptr);

    // Called the way the patcher calls it: through the class's method.
    auto fn = reinterpret_cast<t_transform_fn>(
        reinterpret_cast<void (*)()>(object_getmethod(x, S("to_message"))));
    ASSERT_NE(fn, nullptr);
    t_dictionary *d = nullptr;
    EXPECT_EQ(fn(x, S("to_message"), &d), 0);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(sym_of(d, "kivoclass"), "message");
    EXPECT_EQ(sym_of(d, "text"), "hello");
    object_free(d);

    d = reinterpret_cast<t_dictionary *>(x); // not null on entry: the transform clears it
    EXPECT_EQ(object_transform_parse(x, S("bare"), &d), 0);
    EXPECT_EQ(d, nullptr);
    object_free(x);
}

// ---- object boxes

struct Obj {
    t_object ob;
    void *obex;
    t_atom_long size[4];
    t_atom_long sizecount;
    t_symbol *color;
    t_atom_long locked;
};

t_class *obj_class() {
    static t_class *c = [] {
        t_class *k = class_new("xfm.obj", nullptr, nullptr, sizeof(Obj), nullptr, 0);
        class_obexoffset_set(k, offsetof(Obj, obex));
        class_addattr(k, attr_offset_array_new("size", S("long"), 4, 0, nullptr, nullptr,
                                               offsetof(Obj, sizecount), offsetof(Obj, size)));
        class_addattr(k, attr_offset_new("color", S("symbol"), 0, nullptr, nullptr,
                                         offsetof(Obj, color)));
        class_addattr(k, attr_offset_new("locked", S("long"), ATTR_FLAG_NOUSERSET, nullptr,
                                         nullptr, offsetof(Obj, locked)));
        class_register(S("nobox"), k);
        return k;
    }();
    return c;
}

struct TextField {
    t_object ob;
    const char *text;
};

const char *textfield_getptr(TextField *x) {
    return x->text;
}

t_class *textfield_class() {
    static t_class *c = [] {
        t_class *k = class_new("xfm.textfield", nullptr, nullptr, sizeof(TextField), nullptr, 0);
        class_addmethod(k, as_method(textfield_getptr), "getptr", AT_CANT, 0);
        class_register(S("nobox"), k);
        return k;
    }();
    return c;
}

// The kernel sees an object box as the header, then the held object.
struct Box {
    t_object ob;
    t_object *b_object;
    void *obex;
};

t_class *box_class() {
    static t_class *c = [] {
        t_class *k = class_new("newobj", nullptr, nullptr, sizeof(Box), nullptr, 0);
        class_obexoffset_set(k, offsetof(Box, obex));
        jnewobj_addstandardtransforms(k);
        return k;
    }();
    return c;
}

struct BoxFixture {
    t_object *inner = static_cast<t_object *>(object_alloc(obj_class()));
    t_object *tf = static_cast<t_object *>(object_alloc(textfield_class()));
    t_object *box = static_cast<t_object *>(object_alloc(box_class()));
    explicit BoxFixture(const char *text, bool with_textfield = true) {
        reinterpret_cast<Box *>(box)->b_object = inner;
        reinterpret_cast<TextField *>(tf)->text = text;
        if (with_textfield) {
            t_atom a = O(tf);
            object_addattr_atoms(box, "textfield", S("object"), 0, 1, &a);
        }
    }
    ~BoxFixture() {
        object_free(box);
        object_free(tf);
        object_free(inner);
    }
    t_dictionary *run() {
        t_dictionary *d = nullptr;
        object_transform_changedattrs(box, S("transform_changedattrs"), &d);
        return d;
    }
};

TEST(Transform, ChangedAttributesBecomeArguments) {
    BoxFixture f("xfm.obj 2 @color red");
    BoxFixture other("xfm.obj 2 @color red");
    t_object *mo = class_getmethod_object(box_class(), S("transform_changedattrs"));
    if (!mo) {
        auto *methods = static_cast<t_hashtab *>(class_extra_lookup(box_class(), S("methods")));
        if (methods) hashtab_lookup(methods, S("transform_changedattrs"), &mo);
    }
    ASSERT_NE(mo, nullptr);
    EXPECT_EQ(object_attr_getsym(mo, S("transformlabel")), S("Changed Attributes to Arguments"));
    EXPECT_EQ(object_attr_getsym(mo, S("transformenabler")), S("transform_changedattrs_enable"));

    object_attr_setparse(f.inner, S("color"), "red");
    object_attr_cleanall(f.inner);
    object_attr_setparse(f.inner, S("size"), "5 0");
    // Dirty, but not the user's to set.
    object_attr_setlong(f.inner, S("locked"), 1);

    t_dictionary *d = f.run();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(sym_of(d, "kivoclass"), "newobj");
    EXPECT_EQ(sym_of(d, "text"), "xfm.obj 2 @color red @size 5 0");
    object_free(d);

    // The marks are the object's own: another box of the same class keeps
    // its text.
    d = other.run();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(sym_of(d, "text"), "xfm.obj 2 @color red");
    object_free(d);

    // A changed value replaces the one in the text and keeps its place; a
    // frozen attribute is carried although it is clean.
    object_attr_setparse(f.inner, S("color"), "blue");
    object_attr_freeze(f.inner, S("color"), 1);
    object_attr_cleanall(f.inner);
    object_attr_setparse(f.inner, S("size"), "1 2");
    d = f.run();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(sym_of(d, "text"), "xfm.obj 2 @color blue @size 1 2");
    object_free(d);
}

TEST(Transform, OneWordTextAndMissingText) {
    {
        BoxFixture f("xfm.obj");
        t_dictionary *d = f.run();
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(sym_of(d, "text"), "xfm.obj");
        object_free(d);
    }
    {
        BoxFixture f("xfm.obj", false);
        t_dictionary *sentinel = dictionary_new();
        t_dictionary *d = sentinel;
        EXPECT_EQ(object_transform_changedattrs(f.box, S("transform_changedattrs"), &d), 0);
        EXPECT_EQ(d, sentinel);
        object_free(sentinel);
    }
    {
        BoxFixture f(nullptr);
        t_dictionary *d = nullptr;
        object_transform_changedattrs(f.box, S("transform_changedattrs"), &d);
        EXPECT_EQ(d, nullptr);
    }
}

TEST(Transform, OverlongTextsAreRefused) {
    std::string longtext = "xfm.obj " + std::string(2100, 'a');
    BoxFixture f(longtext.c_str());
    t_dictionary *d = nullptr;
    EXPECT_EQ(object_transform_changedattrs(f.box, S("transform_changedattrs"), &d), -1);
    EXPECT_EQ(d, nullptr);
}

} // namespace

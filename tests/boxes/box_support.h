// A user-interface box class for the box tests ("kvt_uibox": the box is its
// own object; colour, fonts, text, justification; made from a box
// dictionary), a recording view, and patcher helpers.
#ifndef KIVO_TESTS_BOXES_BOX_SUPPORT_H
#define KIVO_TESTS_BOXES_BOX_SUPPORT_H

#include <string>
#include <utility>
#include <vector>

#include "boxes/jbox_internal.h"
#include "kivo/kivo.h"
#include "kivo_test.h"
#include "patcher/jpatcher.h"
#include "patcher/patcher_model.h"
#include "ui/textfield_internal.h"

namespace kivo::test::boxes {

constexpr long kUiFlags = JBOX_FLAG_COLOR | JBOX_FLAG_FONTATTR | JBOX_FLAG_TEXT |
                          JBOX_FLAG_TEXTJUSTIFICATION | JBOX_FLAG_DRAWFIRSTIN;

struct UiBox {
    t_jbox b;
    long level; // an attribute of the class's own
};

// What the patcher's views were told, in order: (message, box).
inline std::vector<std::pair<std::string, t_object *>> &told() {
    static std::vector<std::pair<std::string, t_object *>> log;
    return log;
}
// Whether the box was still in its patcher when "free" arrived.
inline std::vector<bool> &free_while_linked() {
    static std::vector<bool> log;
    return log;
}

inline void uibox_free(UiBox *x) { jbox_free(&x->b); }

// Makes a box of a test class whose record is a UiBox: the box is its own
// object, and the dictionary's attributes are applied once it is made.
inline void *make_uibox(t_class *c, long flags, long argc, t_atom *argv) {
    t_dictionary *d = object_dictionaryarg(argc, argv);
    auto *x = static_cast<UiBox *>(object_alloc(c));
    if (!x) return nullptr;
    if (jbox_new(&x->b, flags, argc, argv)) {
        object_free(x);
        return nullptr;
    }
    x->b.b_firstin = &x->b.b_ob;
    attr_dictionary_process(x, d);
    jbox_ready(&x->b);
    return x;
}

inline void *uibox_new(t_symbol *, long argc, t_atom *argv);

inline t_class *uibox_class() {
    static t_class *c = [] {
        t_class *k = class_new("kvt_uibox", as_method(uibox_new), as_method(uibox_free), sizeof(UiBox),
                               nullptr, AT_GIMME, 0);
        k->flags |= CLASS_FLAG_NEWDICTIONARY;
        jbox_initclass(k, kUiFlags);
        class_addattr(k, attr_offset_new("level", gensym("long"), 0, nullptr, nullptr, offsetof(UiBox, level)));
        class_attr_addattr_parse(k, "level", "save", gensym("long"), 0, "1");
        class_attr_addattr_parse(k, "level", "default", gensym("long"), 0, "0");
        class_register(gensym("box"), k);
        return k;
    }();
    return c;
}

inline void *uibox_new(t_symbol *, long argc, t_atom *argv) {
    return make_uibox(uibox_class(), kUiFlags, argc, argv);
}

// A text box: a text field shows the box text.
constexpr long kTextFlags = JBOX_FLAG_TEXTFIELD | JBOX_FLAG_TEXT | JBOX_FLAG_FONTATTR | JBOX_FLAG_GROWBOTH;

inline void *textbox_new(t_symbol *, long argc, t_atom *argv);

inline t_class *textbox_class() {
    static t_class *c = [] {
        t_class *k = class_new("kvt_textbox", as_method(textbox_new), as_method(uibox_free), sizeof(UiBox),
                               nullptr, AT_GIMME, 0);
        k->flags |= CLASS_FLAG_NEWDICTIONARY;
        jbox_initclass(k, kTextFlags);
        class_register(gensym("box"), k);
        return k;
    }();
    return c;
}

inline void *textbox_new(t_symbol *, long argc, t_atom *argv) {
    return make_uibox(textbox_class(), kTextFlags, argc, argv);
}

struct View {
    t_object ob;
};

inline void view_boxnotify(View *, t_symbol *, long argc, t_atom *argv) {
    if (argc < 2) return;
    auto *box = static_cast<t_object *>(atom_getobj(argv + 1));
    std::string what = atom_getsym(argv)->name;
    told().emplace_back(what, box);
    if (what == "free") {
        t_jbox *b = jbox_cast(box);
        t_jpatcher *x = b ? jpatcher_cast(b->b_patcher) : nullptr;
        free_while_linked().push_back(x && linklist_objptr2index(x->boxes, box) >= 0);
    }
}

inline t_object *new_view() {
    static t_class *c = [] {
        t_class *k = class_new("kvt_boxview", nullptr, nullptr, sizeof(View), nullptr, 0);
        class_addmethod(k, as_method(view_boxnotify), "boxnotify", AT_GIMME, 0);
        class_register(gensym("nobox"), k);
        return k;
    }();
    return static_cast<t_object *>(object_alloc(c));
}

inline t_dictionary *json(const char *text) {
    t_jsonreader *r = jsonreader_new();
    t_atom result;
    long err = jsonreader_parse(r, text, &result);
    object_free(r);
    return err ? nullptr : static_cast<t_dictionary *>(atom_getobj(&result));
}

// Test fixture: a patcher (freed at the end) and boxes made in it.
class BoxTest : public ::testing::Test {
protected:
    void SetUp() override {
        uibox_class();
        textbox_class();
        patcher_ = static_cast<t_object *>(object_new(gensym("nobox"), gensym("jpatcher")));
        ASSERT_NE(patcher_, nullptr);
        told().clear();
        free_while_linked().clear();
    }
    void TearDown() override {
        if (view_) {
            jpatcher_unlinkview(patcher_, view_);
            object_free(view_);
        }
        object_free(patcher_);
    }
    void watch() {
        view_ = new_view();
        jpatcher_linkview(patcher_, view_);
    }
    // A box of the test class from JSON text of its box dictionary.
    t_jbox *make(const char *box_json = "{}", t_object *in = nullptr, const char *cls = "kvt_uibox") {
        t_dictionary *d = json(box_json);
        if (!d) return nullptr;
        dictionary_appendobject_flags(d, gensym("#P"), in ? in : patcher_, DICTIONARY_ENTRY_FLAG_NOFREE);
        t_atom a;
        atom_setobj(&a, d);
        auto *x = static_cast<t_object *>(object_new_typed(gensym("box"), gensym(cls), 1, &a));
        dictionary_chuckentry(d, gensym("#P"));
        object_free(d);
        return jbox_cast(x);
    }
    // The box dictionary the box writes now (freed by the caller).
    static t_dictionary *save(t_jbox *b) {
        t_dictionary *d = dictionary_new();
        object_method(&b->b_ob, gensym("appendtodictionary"), d);
        return d;
    }
    static std::vector<std::string> keys(t_dictionary *d) {
        long n = 0;
        t_symbol **k = nullptr;
        dictionary_getkeys_ordered(d, &n, &k);
        std::vector<std::string> out;
        for (long i = 0; i < n; ++i) out.push_back(k[i]->name);
        if (k) dictionary_freekeys(d, n, k);
        return out;
    }
    static bool has(t_dictionary *d, const char *key) { return dictionary_hasentry(d, gensym(key)) != 0; }
    static std::vector<double> numbers(t_dictionary *d, const char *key) {
        long ac = 0;
        t_atom *av = nullptr;
        std::vector<double> out;
        if (!dictionary_copyatoms(d, gensym(key), &ac, &av))
            for (long i = 0; i < ac; ++i) out.push_back(atom_getfloat(av + i));
        if (av) sysmem_freeptr(av);
        return out;
    }
    static std::string text_of(t_dictionary *d, const char *key) {
        const char *s = nullptr;
        if (!dictionary_getstring(d, gensym(key), &s) && s) return s;
        t_symbol *y = nullptr;
        if (!dictionary_getsym(d, gensym(key), &y) && y) return y->name;
        return "";
    }
    static std::vector<double> rect(const t_rect &r) { return {r.x, r.y, r.width, r.height}; }
    long count_told(const std::string &what) const {
        long n = 0;
        for (auto &t : told()) n += t.first == what;
        return n;
    }
    t_object *patcher_ = nullptr;
    t_object *view_ = nullptr;
};

// A box of the class made in the patcher from a box dictionary, as a load
// makes it; the dictionary is left as it was.
inline t_jbox *box_from_dictionary(t_object *patcher, t_dictionary *d, const char *classname) {
    dictionary_appendobject_flags(d, gensym("#P"), patcher, DICTIONARY_ENTRY_FLAG_NOFREE);
    t_atom a;
    atom_setobj(&a, d);
    t_jbox *box = jbox_cast(static_cast<t_object *>(object_new_typed(gensym("box"), gensym(classname), 1, &a)));
    dictionary_chuckentry(d, gensym("#P"));
    return box;
}

} // namespace kivo::test::boxes

#endif

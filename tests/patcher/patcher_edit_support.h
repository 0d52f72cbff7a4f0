// A box class for the patcher's editing and query tests ("kvt_edbox": the
// box is its own object, with the inlets and outlets its dictionary asks
// for, "ins" and "outs", logging the numbers it receives), and a fixture
// that loads boxes and cords into a patcher from JSON text.
#ifndef KIVO_TESTS_PATCHER_PATCHER_EDIT_SUPPORT_H
#define KIVO_TESTS_PATCHER_PATCHER_EDIT_SUPPORT_H

#include <string>
#include <utility>
#include <vector>

#include "../boxes/box_support.h"
#include "boxes/jpatchline.h"
#include "kivo/inout.h"

namespace kivo::test::edit {

struct EdBox {
    t_jbox b;
    long enabled;
};

inline std::vector<std::pair<std::string, long>> &received() {
    static std::vector<std::pair<std::string, long>> log;
    return log;
}

// Boxes of the class made so far.
inline long &edboxes_made() {
    static long n = 0;
    return n;
}

inline void edbox_int(EdBox *x, t_atom_long n) { received().emplace_back(x->b.b_id->name, static_cast<long>(n)); }
inline void edbox_enable(EdBox *x, t_atom_long on) { x->enabled = static_cast<long>(on); }
inline void edbox_free(EdBox *x) { jbox_free(&x->b); }
inline void *edbox_new(t_symbol *, long argc, t_atom *argv);

inline t_class *edbox_class() {
    static t_class *c = [] {
        t_class *k = class_new("kvt_edbox", as_method(edbox_new), as_method(edbox_free), sizeof(EdBox), nullptr,
                               AT_GIMME, 0);
        k->flags |= CLASS_FLAG_NEWDICTIONARY;
        jbox_initclass(k, JBOX_FLAG_DRAWFIRSTIN);
        class_addmethod(k, as_method(edbox_int), "int", AT_LONG, 0);
        class_addmethod(k, as_method(edbox_enable), "enable", AT_LONG, 0);
        class_register(gensym("box"), k);
        return k;
    }();
    return c;
}

inline void *edbox_new(t_symbol *, long argc, t_atom *argv) {
    t_dictionary *d = object_dictionaryarg(argc, argv);
    auto *x = static_cast<EdBox *>(object_alloc(edbox_class()));
    if (!x) return nullptr;
    if (jbox_new(&x->b, JBOX_FLAG_DRAWFIRSTIN, argc, argv)) {
        object_free(x);
        return nullptr;
    }
    x->b.b_firstin = &x->b.b_ob;
    x->enabled = -1;
    ++edboxes_made();
    t_atom_long ins = 1, outs = 1;
    dictionary_getlong(d, gensym("ins"), &ins);
    dictionary_getlong(d, gensym("outs"), &outs);
    for (long i = 1; i < ins; ++i) inlet_append(x, x, nullptr, nullptr);
    for (long i = 0; i < outs; ++i) outlet_append(x, nullptr, nullptr);
    attr_dictionary_process(x, d);
    jbox_ready(&x->b);
    return x;
}

// {"box":{...}} text of an edbox with the id, at (x, y), with extra keys.
inline std::string box(const char *id, double x = 10, double y = 10, const std::string &extra = "") {
    return std::string(R"({"box":{"kivoclass":"kvt_edbox","id":")") + id + R"(","patching_rect":[)" +
           std::to_string(x) + "," + std::to_string(y) + ",60,22]" + extra + "}}";
}

inline std::string cord(const char *src, long out, const char *dst, long in) {
    return std::string(R"({"patchline":{"source":[")") + src + "\"," + std::to_string(out) +
           R"(],"destination":[")" + dst + "\"," + std::to_string(in) + "]}}";
}

class EditTest : public kivo::test::boxes::BoxTest {
protected:
    void SetUp() override {
        BoxTest::SetUp();
        edbox_class();
        received().clear();
    }
    // Reads boxes and cords into the patcher (the first box ends rearmost).
    void load(const std::vector<std::string> &boxes, const std::vector<std::string> &lines = {},
              t_object *into = nullptr) {
        // A patcher dictionary lists its boxes front-most first.
        std::string text = R"({"boxes":[)";
        for (size_t i = boxes.size(); i-- > 0;) text += boxes[i] + (i ? "," : "");
        text += R"(],"lines":[)";
        for (size_t i = 0; i < lines.size(); ++i) text += (i ? "," : "") + lines[i];
        text += "]}";
        t_dictionary *d = kivo::test::boxes::json(text.c_str());
        ASSERT_NE(d, nullptr) << text;
        jpatcher_pastefromdictionary(into ? into : patcher_, d);
        object_free(d);
    }
    t_object *at(const char *id, t_object *in = nullptr) {
        return jpatcher_getboxfromid(in ? in : patcher_, gensym(id));
    }
    t_jpatcher *px() { return jpatcher_cast(patcher_); }
    long cord_count() { return static_cast<long>(linklist_getsize(px()->lines)); }
    // The box identifiers from rear to front.
    std::vector<std::string> order() {
        std::vector<std::string> ids;
        for (t_object *b : jpatcher_items(px()->boxes)) ids.push_back(jbox_get_id(b)->name);
        return ids;
    }
    void send(const char *id, long outlet, long value) {
        auto *o = static_cast<t_outlet *>(jbox_getoutlet(jbox_cast(at(id)), outlet));
        ASSERT_NE(o, nullptr) << id;
        outlet_int(o, value);
    }
    // A "p" box holding a subpatcher with the given box texts.
    t_object *subpatcher_box(const char *id, const std::vector<std::string> &inner) {
        std::string text = std::string(R"({"kivoclass":"newobj","text":"p inner","id":")") + id +
                           R"(","patching_rect":[300,10,60,22],"patcher":{"boxes":[)";
        for (size_t i = 0; i < inner.size(); ++i) text += (i ? "," : "") + inner[i];
        text += "]}}";
        t_dictionary *d = kivo::test::boxes::json(text.c_str());
        if (!d) return nullptr;
        t_jbox *b = kivo::test::boxes::box_from_dictionary(patcher_, d, "newobj");
        object_free(d);
        return b ? &b->b_ob : nullptr;
    }
};

} // namespace kivo::test::edit

#endif

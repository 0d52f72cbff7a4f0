// Helpers of the built-in object tests: making objects through the creator
// and listening to their outlets.
#ifndef KIVO_TESTS_OBJECTS_OBJECTS_SUPPORT_H
#define KIVO_TESTS_OBJECTS_OBJECTS_SUPPORT_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kivo/kivo.h"
#include "kivo_test.h"

namespace kivo::test::objects {

// Makes an object as a box's text would: one message to "#N".
inline t_object *make(const char *name, std::vector<t_atom> args = {}) {
    return static_cast<t_object *>(
        typedmess(gensym("#N")->thing, gensym(name), static_cast<short>(args.size()), args.data()));
}

inline std::string text_of(long argc, const t_atom *argv) {
    if (argc <= 0) return {};
    char *text = nullptr;
    long size = 0;
    atom_gettext(argc, argv, &size, &text, KIVO_GETTEXT_PLAIN);
    std::string out = text ? text : "";
    if (text) sysmem_freeptr(text);
    return out;
}

// Writes "<tag>: <selector> <atoms>" into a shared list for each message.
struct Tap {
    t_object ob;
    std::vector<std::string> *lines;
    char tag[32];
};

inline std::string prefix(const Tap *x) { return x->tag[0] ? std::string(x->tag) + ": " : std::string(); }

inline t_class *tap_class() {
    static t_class *c = [] {
        t_class *k = class_new("kvt_objtap", nullptr, nullptr, sizeof(Tap), nullptr, 0);
        auto record = +[](Tap *x, t_symbol *s, long argc, t_atom *argv) {
            std::string line = prefix(x) + s->name;
            std::string args = text_of(argc, argv);
            if (!args.empty()) line += " " + args;
            x->lines->push_back(line);
        };
        class_addmethod(k, as_method(record), "anything", AT_GIMME, 0);
        class_addmethod(k, as_method(+[](Tap *x) { x->lines->push_back(prefix(x) + "bang"); }),
                        "bang", 0);
        class_addmethod(k, as_method(+[](Tap *x, t_atom_long n) {
                            x->lines->push_back(prefix(x) + "int " + std::to_string(n));
                        }),
                        "int", AT_LONG, 0);
        class_register(gensym("nobox"), k);
        return k;
    }();
    return c;
}

// Taps that free themselves with the test.
class Taps {
public:
    ~Taps() {
        for (t_object *t : taps_) object_free(t);
    }
    // Connects a tap to outlet n of x.
    void on(t_object *x, long n, const std::string &tag = "") {
        auto *t = static_cast<Tap *>(object_alloc(tap_class()));
        t->lines = &lines;
        strncpy_zero(t->tag, tag.c_str(), sizeof t->tag);
        ASSERT_EQ(outlet_add(outlet_nth(x, n), t), 0);
        taps_.push_back(&t->ob);
    }
    std::vector<std::string> take() {
        std::vector<std::string> out;
        out.swap(lines);
        return out;
    }
    std::vector<std::string> lines;

private:
    std::vector<t_object *> taps_;
};

} // namespace kivo::test::objects

#endif

// Helpers of the application object's tests: sending message text the way
// a message box does, and receivers that record what they are sent.
#ifndef KIVO_TESTS_APP_KIVO_APP_TEST_H
#define KIVO_TESTS_APP_KIVO_APP_TEST_H

#include <cstring>
#include <string>
#include <vector>

#include "app/app_internal.h"
#include "app/kivo_internal.h"
#include "kivo/kivo.h"
#include "tests/support/kivo_test.h"

namespace kivo::test::app {

// Evaluates message text with no target, as a message box's "; name ..."
// lines are: each line goes to the object bound to its first symbol.
inline void eval(const std::string &text) {
    t_binbuf *b = binbuf_new();
    t_handle h = sysmem_newhandle(text.size() ? text.size() : 1);
    std::memcpy(*h, text.data(), text.size());
    binbuf_text(b, h, static_cast<t_ptr_size>(text.size()));
    sysmem_freehandle(h);
    binbuf_eval(b, 0, nullptr, nullptr);
    freeobject(reinterpret_cast<t_object *>(b));
}

inline t_object *app() {
    return kivo_getobject();
}

// One message a receiver got, as text: "int 5", "float 2.5", "list 1 2 3",
// "macintosh".
struct Receiver {
    t_object ob;
    std::vector<std::string> *log;
};

inline std::string describe(t_symbol *s, long argc, t_atom *argv) {
    std::string out = s ? s->name : "?";
    for (long i = 0; i < argc; ++i) {
        out += ' ';
        switch (atom_gettype(argv + i)) {
        case AT_LONG: out += std::to_string(atom_getlong(argv + i)); break;
        case AT_FLOAT: {
            char buf[64];
            std::snprintf(buf, sizeof buf, "%g", atom_getfloat(argv + i));
            out += buf;
            break;
        }
        case AT_SYM: out += atom_getsym(argv + i)->name; break;
        default: out += '?'; break;
        }
    }
    return out;
}

inline void receiver_anything(Receiver *x, t_symbol *s, long argc, t_atom *argv) {
    x->log->push_back(describe(s, argc, argv));
}
inline void receiver_int(Receiver *x, t_atom_long n) {
    t_atom a;
    atom_setlong(&a, n);
    x->log->push_back(describe(gensym("int"), 1, &a));
}
inline void receiver_float(Receiver *x, double f) {
    t_atom a;
    atom_setfloat(&a, f);
    x->log->push_back(describe(gensym("float"), 1, &a));
}

inline t_class *receiver_class() {
    static t_class *c = [] {
        t_class *k = class_new("kivo_app_test_receiver", nullptr, nullptr, sizeof(Receiver),
                               nullptr, 0);
        class_addmethod(k, as_method(receiver_int), "int", AT_LONG, 0);
        class_addmethod(k, as_method(receiver_float), "float", AT_FLOAT, 0);
        class_addmethod(k, as_method(receiver_anything), "list", AT_GIMME, 0);
        class_addmethod(k, as_method(receiver_anything), "anything", AT_GIMME, 0);
        class_register(gensym("nobox"), k);
        return k;
    }();
    return c;
}

// A receiver bound to a name while it lives.
class Bound {
public:
    explicit Bound(const char *name) : sym_(gensym(name)) {
        x_ = static_cast<Receiver *>(object_alloc(receiver_class()));
        x_->log = &log;
        saved_ = sym_->thing;
        sym_->thing = &x_->ob;
    }
    ~Bound() {
        sym_->thing = saved_;
        object_free(x_);
    }
    Bound(const Bound &) = delete;
    Bound &operator=(const Bound &) = delete;
    // Everything received since the last call.
    std::vector<std::string> take() {
        std::vector<std::string> out;
        out.swap(log);
        return out;
    }
    std::vector<std::string> log;

private:
    t_symbol *sym_;
    t_object *saved_ = nullptr;
    Receiver *x_ = nullptr;
};

} // namespace kivo::test::app

#endif

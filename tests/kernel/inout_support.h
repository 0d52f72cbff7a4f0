// Receivers for the inlet, outlet and send tests: objects that log what
// reaches them, with a chosen set of methods.
#ifndef KIVO_TESTS_KERNEL_INOUT_SUPPORT_H
#define KIVO_TESTS_KERNEL_INOUT_SUPPORT_H

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "kernel/inout_internal.h"
#include "kivo/kivo.h"
#include "objects_support.h"

namespace kivo::test {

// What reached the sinks, in order ("<id> int 3"). Tests that use it run
// on one thread.
inline std::vector<std::string> &events() {
    static std::vector<std::string> log;
    return log;
}

inline std::string fmt_atoms(long argc, const t_atom *argv) {
    std::string out;
    char buf[64];
    for (long i = 0; i < argc; ++i) {
        switch (argv[i].type) {
        case AT_LONG: std::snprintf(buf, sizeof buf, " %lld", (long long)argv[i].value.w_long); break;
        case AT_FLOAT: std::snprintf(buf, sizeof buf, " %g", argv[i].value.w_float); break;
        case AT_SYM: std::snprintf(buf, sizeof buf, " %s", argv[i].value.w_sym->name); break;
        default: std::snprintf(buf, sizeof buf, " ?"); break;
        }
        out += buf;
    }
    return out;
}

struct Sink {
    t_object ob;
    long id;
    t_outlet *out; // optional, made by the test
};

inline void log_event(Sink *x, const std::string &what) {
    events().push_back(std::to_string(x->id) + " " + what);
}

inline void sink_bang(Sink *x) { log_event(x, "bang"); }
inline void sink_int(Sink *x, t_atom_long n) { log_event(x, "int " + std::to_string(n)); }
inline void sink_float(Sink *x, double f) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "float %g", f);
    log_event(x, buf);
}
inline void sink_in1(Sink *x, t_atom_long n) { log_event(x, "in1 " + std::to_string(n)); }
inline void sink_in9(Sink *x, t_atom_long n) { log_event(x, "in9 " + std::to_string(n)); }
inline void sink_ft1(Sink *x, double f) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "ft1 %g", f);
    log_event(x, buf);
}
inline void sink_ft2(Sink *x, double f) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "ft2 %g", f);
    log_event(x, buf);
}
inline void sink_list(Sink *x, t_symbol *s, long argc, t_atom *argv) {
    log_event(x, "list" + fmt_atoms(argc, argv));
}
inline void sink_anything(Sink *x, t_symbol *s, long argc, t_atom *argv) {
    log_event(x, std::string("anything ") + s->name + fmt_atoms(argc, argv));
}

enum SinkMethods : unsigned {
    kBang = 1,
    kInt = 2,
    kFloat = 4,
    kList = 8,
    kAnything = 16,
    kNumbered = 32, // in1, in9, ft1, ft2
    kAll = kBang | kInt | kFloat | kList | kAnything | kNumbered,
};

// One registered class per method set.
inline t_class *sink_class(unsigned methods) {
    static std::map<unsigned, t_class *> classes;
    auto found = classes.find(methods);
    if (found != classes.end()) return found->second;
    std::string name = unique_name("inout_sink");
    t_class *c = class_new(name.c_str(), nullptr, nullptr, sizeof(Sink), nullptr, 0);
    if (methods & kBang) class_addmethod(c, as_method(sink_bang), "bang", 0);
    if (methods & kInt) class_addmethod(c, as_method(sink_int), "int", AT_LONG, 0);
    if (methods & kFloat) class_addmethod(c, as_method(sink_float), "float", AT_FLOAT, 0);
    if (methods & kList) class_addmethod(c, as_method(sink_list), "list", AT_GIMME, 0);
    if (methods & kAnything) class_addmethod(c, as_method(sink_anything), "anything", AT_GIMME, 0);
    if (methods & kNumbered) {
        class_addmethod(c, as_method(sink_in1), "in1", AT_LONG, 0);
        class_addmethod(c, as_method(sink_in9), "in9", AT_LONG, 0);
        class_addmethod(c, as_method(sink_ft1), "ft1", AT_FLOAT, 0);
        class_addmethod(c, as_method(sink_ft2), "ft2", AT_FLOAT, 0);
    }
    class_register(gensym("nobox"), c);
    classes[methods] = c;
    return c;
}

inline Sink *sink_new(long id, unsigned methods = kAll) {
    auto *x = static_cast<Sink *>(object_alloc(sink_class(methods)));
    x->id = id;
    x->out = nullptr;
    return x;
}

// Frees objects at the end of a test, in reverse order of making.
class Objects {
public:
    template <typename T>
    T *keep(T *x) {
        objects_.push_back(x);
        return x;
    }
    // Connections are undone first, while every end is still alive, as the
    // cord layer does before boxes go.
    ~Objects() {
        for (void *p : objects_) {
            t_class *c = object_class(p);
            if (!c || c->tiny) continue;
            for (auto *o = static_cast<t_outlet *>(static_cast<t_object *>(p)->outlet); o; o = o->next)
                while (o->connections) outlet_rm(o, o->connections->receiver);
        }
        for (auto it = objects_.rbegin(); it != objects_.rend(); ++it) object_free(*it);
    }

private:
    std::vector<void *> objects_;
};

inline Sink *sink_new_kept(Objects &objects, long id, unsigned methods = kAll) {
    return objects.keep(sink_new(id, methods));
}

} // namespace kivo::test

#endif

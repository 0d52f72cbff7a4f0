// Helpers shared by the tests of classes, objects, the extension store and
// the older class interface.
#ifndef KIVO_TESTS_KERNEL_OBJECTS_SUPPORT_H
#define KIVO_TESTS_KERNEL_OBJECTS_SUPPORT_H

#include <string>
#include <vector>

#include "kivo/kivo.h"
#include "support/kivo_test.h"

namespace kivo::test {

// Registered classes are never removed, so every test names its own.
inline std::string unique_name(const char *prefix) {
    static long counter = 0;
    return std::string(prefix) + "_" + std::to_string(++counter);
}

inline t_symbol *sym(const std::string &s) {
    return gensym(s.c_str());
}


// The order in which probe objects went, by id.
inline std::vector<long> &free_log() {
    static std::vector<long> log;
    return log;
}

// A small object that records its free function being called.
struct Probe {
    t_object ob;
    long id;
};

inline void probe_free(Probe *x) {
    free_log().push_back(x->id);
}

inline t_symbol *probe_getname(Probe *x) {
    return gensym(("probe" + std::to_string(x->id)).c_str());
}

inline long probe_usercanget(Probe *x) {
    return x->id % 2; // odd probes may be read by the user
}

inline Probe *probe_new(long id);

inline Probe *probe_clone(Probe *x) {
    return probe_new(x->id + 1000);
}

// "kernel_probe": answers "getname" ("probe<id>"), "usercanget" (odd ids)
// and "object_clone" (the id plus 1000), so it can stand for an attribute.
inline t_class *probe_class() {
    static t_class *c = [] {
        t_class *k = class_new("kernel_probe", nullptr, as_method(probe_free),
                               static_cast<long>(sizeof(Probe)), nullptr, 0);
        class_addmethod(k, as_method(probe_getname), "getname", AT_CANT, 0);
        class_addmethod(k, as_method(probe_usercanget), "usercanget", AT_CANT, 0);
        class_addmethod(k, as_method(probe_clone), "object_clone", AT_CANT, 0);
        class_register(gensym("nobox"), k);
        return k;
    }();
    return c;
}

inline Probe *probe_new(long id) {
    auto *x = static_cast<Probe *>(object_alloc(probe_class()));
    x->id = id;
    return x;
}

// A class made with class_new and nothing else; not registered.
inline t_class *plain_class(const std::string &name, long size = sizeof(t_object),
                            method mfree = nullptr) {
    return class_new(name.c_str(), nullptr, mfree, size, nullptr, 0);
}

} // namespace kivo::test

#endif

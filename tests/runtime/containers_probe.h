// Small objects for the container tests: each remembers being freed and
// being sent "poke", so that a test can see which items a list or table
// freed, freed otherwise, or messaged.
#ifndef KIVO_TESTS_RUNTIME_CONTAINERS_PROBE_H
#define KIVO_TESTS_RUNTIME_CONTAINERS_PROBE_H

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

#include "kivo/kivo.h"
#include "runtime/hashtab_internal.h"
#include "runtime/linklist_internal.h"
#include "support/kivo_test.h"

namespace kivo::test {

struct Probe {
    t_object ob;
    long id;
    long pokes;   // "poke" messages received
    long poked;   // the sum of the two words of the last "poke"
};

class ProbeLog {
public:
    static ProbeLog &get() {
        static ProbeLog log;
        return log;
    }
    void reset() {
        std::lock_guard<std::mutex> lock(mutex_);
        freed_.clear();
    }
    void freed(long id) {
        std::lock_guard<std::mutex> lock(mutex_);
        freed_.push_back(id);
    }
    // Ids freed through the class's free function, in order.
    std::vector<long> freed_ids() {
        std::lock_guard<std::mutex> lock(mutex_);
        return freed_;
    }
    bool was_freed(long id) {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::find(freed_.begin(), freed_.end(), id) != freed_.end();
    }

private:
    std::mutex mutex_;
    std::vector<long> freed_;
};

inline void probe_free(Probe *p) { ProbeLog::get().freed(p->id); }

inline void *probe_poke(Probe *p, void *a, void *b) {
    p->pokes++;
    p->poked = reinterpret_cast<long>(a) + reinterpret_cast<long>(b);
    return reinterpret_cast<void *>(p->id);
}


inline t_class *probe_class() {
    static t_class *c = [] {
        linklist_initclass();
        hashtab_initclass();
        t_class *k = class_new("containers_probe", nullptr, as_method(probe_free), sizeof(Probe), nullptr, 0);
        class_addmethod(k, as_method(probe_poke), "poke", AT_CANT, 0);
        return k;
    }();
    return c;
}

inline Probe *probe_new(long id) {
    auto *p = static_cast<Probe *>(object_alloc(probe_class()));
    p->id = id;
    p->pokes = 0;
    p->poked = 0;
    return p;
}

} // namespace kivo::test

#endif

/*
 * Patcher messages that answer a "thispatcher" object through the outlet
 * cells it publishes while its message runs.
 */
#include <cstring>

#include "patcher/jpatcher.h"
#include "patcher/patcher_script.h"
#include "patcher/patcher_scripting_internal.h"

namespace {

// The outlet in the cell published under the name, or null.
t_outlet *running_outlet(const char *name) {
    auto **cell = reinterpret_cast<t_outlet **>(gensym(name)->thing);
    return cell ? *cell : nullptr;
}

void path_msg(t_object *x) { jpatcher_path(x); }

} // namespace

extern "C" {

void jpatcher_path(t_object *patcher) {
    t_outlet *out = running_outlet("g_thispatcher_out2");
    t_jpatcher *top = jpatcher_cast(jpatcher_get_toppatcher(patcher));
    if (!out || !top || !top->path || !top->filename || !top->filename->name[0]) return;
    char folder[KIVO_PATH_MAX];
    if (path_topathname(static_cast<short>(top->path), "", folder) != 0) return;
    const std::size_t n = std::strlen(folder);
    if (n > 0 && folder[n - 1] != '/' && n + 1 < sizeof folder) {
        folder[n] = '/';
        folder[n + 1] = '\0';
    }
    t_atom a;
    atom_setsym(&a, gensym(folder));
    outlet_anything(out, gensym("symbol"), 1, &a);
}

void jpatcher_scripting_addmethods(t_class *c) {
    if (!c) return;
    class_addmethod(c, reinterpret_cast<method>(reinterpret_cast<void (*)()>(path_msg)), "path", 0);
    jpatcher_script_addmethods(c);
}

} // extern "C"

/*
 * What the kernel needs of patchers before the patcher model exists: the
 * top patcher, the outlets-disabled flag and the error shown in a window.
 * A patcher is any "jpatcher" object laid out like t_jpatcher_stub.
 */
#include <atomic>

#include "kivo/class.h"
#include "kivo/commonsyms.h"
#include "kivo/dispatch.h"
#include "kivo/post.h"
#include "patcher/patcher_internal.h"

namespace {

t_jpatcher_stub *as_patcher(t_object *x) {
    if (!x || x->magic != KIVO_OBJECT_MAGIC || !object_classname_compare(x, _sym(jpatcher)))
        return nullptr;
    return reinterpret_cast<t_jpatcher_stub *>(x);
}

t_symbol *sym_errordismissed() {
    static t_symbol *s = gensym("errordismissed");
    return s;
}

} // namespace

extern "C" {

t_object *jpatcher_get_toppatcher(t_object *patcher) {
    t_jpatcher_stub *p = as_patcher(patcher);
    if (!p) return nullptr;
    while (p->toppatcher && p->toppatcher != &p->ob) {
        t_jpatcher_stub *up = as_patcher(p->toppatcher);
        if (!up) break;
        p = up;
    }
    return &p->ob;
}

long jpatcher_outlets_disabled(t_object *patcher) {
    t_jpatcher_stub *p = as_patcher(patcher);
    return p ? std::atomic_ref<unsigned char>(p->outlets_disabled).load(std::memory_order_acquire)
             : 0;
}

void jpatcher_set_outlets_disabled(t_object *patcher, long on) {
    if (t_jpatcher_stub *p = as_patcher(patcher))
        std::atomic_ref<unsigned char>(p->outlets_disabled)
            .store(on ? 1 : 0, std::memory_order_release);
}

long jpatcher_error_obtrusive_owner(t_object *patcher, t_object *owner, const char *text,
                                    t_object *listener, void *param) {
    t_jpatcher_stub *p = as_patcher(patcher);
    if (!p || !p->view) {
        object_error(owner, "%s", text ? text : "");
        return 0;
    }
    t_symbol *t = gensym(text ? text : "");
    if (p->error_text == t) return 1;
    p->error_owner = owner;
    p->error_listener = listener;
    p->error_text = t;
    p->error_param = param;
    return 1;
}

void jpatcher_clear_obtrusiveerror(t_object *patcher, long index) {
    t_jpatcher_stub *p = as_patcher(patcher);
    if (!p || index != 0 || !p->error_text) return;
    t_object *listener = p->error_listener;
    void *param = p->error_param;
    p->error_owner = nullptr;
    p->error_listener = nullptr;
    p->error_text = nullptr;
    p->error_param = nullptr;
    if (listener) object_method(listener, sym_errordismissed(), param);
}

} // extern "C"

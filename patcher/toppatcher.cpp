/*
 * What the kernel needs of patchers: the top patcher, the outlets-disabled
 * flag and the error shown in a window. Real patchers are read through
 * their record; any other "jpatcher" object is taken to be laid out like
 * t_jpatcher_stub (the stand-ins of the kernel's tests).
 */
#include <atomic>

#include "kivo/class.h"
#include "kivo/commonsyms.h"
#include "kivo/dispatch.h"
#include "kivo/post.h"
#include "patcher/jpatcher.h"
#include "patcher/patcher_internal.h"

namespace {

t_jpatcher_stub *as_patcher(t_object *x) {
    if (!x || x->magic != KIVO_OBJECT_MAGIC || !object_classname_compare(x, _sym(jpatcher)) ||
        jpatcher_cast(x))
        return nullptr;
    return reinterpret_cast<t_jpatcher_stub *>(x);
}

t_symbol *sym_errordismissed() {
    static t_symbol *s = gensym("errordismissed");
    return s;
}

// Both records carry the same error fields.
template <typename R>
long show_error(R *p, bool has_view, t_object *owner, const char *text, t_object *listener,
                void *param) {
    if (!p || !has_view) {
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

template <typename R>
void clear_error(R *p, long index) {
    if (!p || index != 0 || !p->error_text) return;
    t_object *listener = p->error_listener;
    void *param = p->error_param;
    p->error_owner = nullptr;
    p->error_listener = nullptr;
    p->error_text = nullptr;
    p->error_param = nullptr;
    if (listener) object_method(listener, sym_errordismissed(), param);
}

} // namespace

extern "C" {

t_object *jpatcher_get_toppatcher(t_object *patcher) {
    if (jpatcher_cast(patcher)) {
        t_object *top = patcher;
        // Bounded: a parent chain that loops must not hang the caller.
        for (int depth = 0; depth < 10000; depth++) {
            t_object *up = jpatcher_getparentpatcher(top);
            if (!up || up == top || !jpatcher_is_patcher(up)) break;
            top = up;
        }
        return top;
    }
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
    if (t_jpatcher *x = jpatcher_cast(patcher))
        return std::atomic_ref<unsigned char>(x->outlets_disabled).load(std::memory_order_acquire);
    t_jpatcher_stub *p = as_patcher(patcher);
    return p ? std::atomic_ref<unsigned char>(p->outlets_disabled).load(std::memory_order_acquire)
             : 0;
}

void jpatcher_set_outlets_disabled(t_object *patcher, long on) {
    if (t_jpatcher *x = jpatcher_cast(patcher)) {
        std::atomic_ref<unsigned char>(x->outlets_disabled).store(on ? 1 : 0, std::memory_order_release);
        return;
    }
    if (t_jpatcher_stub *p = as_patcher(patcher))
        std::atomic_ref<unsigned char>(p->outlets_disabled)
            .store(on ? 1 : 0, std::memory_order_release);
}

long jpatcher_error_obtrusive_owner(t_object *patcher, t_object *owner, const char *text,
                                    t_object *listener, void *param) {
    if (t_jpatcher *x = jpatcher_cast(patcher)) {
        bool has_view = x->views && linklist_getsize(x->views) > 0;
        return show_error(x, has_view, owner, text, listener, param);
    }
    t_jpatcher_stub *p = as_patcher(patcher);
    return show_error(p, p && p->view, owner, text, listener, param);
}

void jpatcher_clear_obtrusiveerror(t_object *patcher, long index) {
    if (t_jpatcher *x = jpatcher_cast(patcher)) clear_error(x, index);
    else clear_error(as_patcher(patcher), index);
}

} // extern "C"

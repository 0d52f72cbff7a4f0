/*
 * The two walkers: iteration over the boxes of a patcher (and, on request,
 * of the patchers inside them) and traversal over patchers.
 *
 * A callback must not free the box it is given. A patcher that holds itself
 * (directly or further down) would make the walk endless: the walkers stop
 * descending at a fixed depth instead of exhausting the stack.
 */
#include "patcher/patcher_model.h"

#include "kivo/class.h"
#include "kivo/commonsyms.h"
#include "kivo/dispatch.h"

#include <cstdio>

namespace {

constexpr int kMaxDepth = 256;

// Visited tables are keyed by the patcher's identifier, unique in the process.
t_symbol *visit_key(t_object *p) {
    t_jpatcher *x = jpatcher_cast(p);
    if (x->patcherid && x->patcherid->name[0]) return x->patcherid;
    char key[32];
    snprintf(key, sizeof key, "%p", static_cast<void *>(p));
    return gensym(key);
}

using subpatcher_fn = void *(*)(t_object *, t_atom_long, void *);

t_object *iterate(t_object *p, t_jpatcher_itercb fn, void *arg, long flags, t_object **stopped,
                  int depth) {
    t_jpatcher *x = jpatcher_cast(p);
    if (!x) return nullptr;
    if ((flags & JPATCHER_ITER_SELF) && fn(arg, p)) return p;
    // Walk a snapshot so that a callback may add boxes without disturbing us.
    for (t_object *box : jpatcher_items(x->boxes)) {
        t_object *held = jbox_head(box)->b_firstin;
        if (!held && (flags & JPATCHER_ITER_SKIPEMPTY)) continue;
        t_object *target = (flags & JPATCHER_ITER_BOX) ? box : (held ? held : box);
        if (fn(arg, target)) {
            if (stopped) *stopped = box;
            return nullptr;
        }
        if ((flags & JPATCHER_ITER_DESCEND) && held && depth < kMaxDepth) {
            t_object *subs[64];
            long count = jpatcher_subpatchers_of(held, arg, subs, 64);
            for (long k = 0; k < count; ++k) {
                t_jpatcher *sx = jpatcher_cast(subs[k]);
                if ((flags & JPATCHER_ITER_BOXNAMESPACE) && sx->classnamespace != _sym(box))
                    continue;
                // The same flags below: with "self" the callback also sees each
                // subpatcher, and a stop there ends the walk like a stop at a box.
                t_object *inner = nullptr;
                t_object *at_self = iterate(subs[k], fn, arg, flags, &inner, depth + 1);
                if (inner || at_self) {
                    if (stopped) *stopped = box;
                    return nullptr;
                }
            }
        }
    }
    return nullptr;
}

// Returns 1 when the traversal must stop.
long traverse(t_object *p, t_jpatcher_travcb fn, void *arg, long flags, t_hashtab *visited,
              int depth) {
    t_jpatcher *x = jpatcher_cast(p);
    if (!x || depth >= kMaxDepth) return 0;
    for (t_object *box : jpatcher_items(x->boxes)) {
        t_object *held = jbox_head(box)->b_firstin;
        if (!held) continue;
        t_object *subs[64];
        long count = jpatcher_subpatchers_of(held, arg, subs, 64);
        for (long k = 0; k < count; ++k) {
            t_object *sub = subs[k];
            if ((flags & JPATCHER_TRAV_SKIPFILES) && jpatcher_cast(sub)->path) continue;
            if (visited) {
                t_object *seen = nullptr;
                if (!hashtab_lookup(visited, visit_key(sub), &seen)) continue;
                hashtab_storeflags(visited, visit_key(sub), sub, HASHTAB_FLAG_NOFREE);
            }
            if (!(flags & JPATCHER_TRAV_POSTORDER)) {
                if (fn(sub, arg)) {
                    if (flags & JPATCHER_TRAV_SKIPONLY) continue;
                    return 1;
                }
                if (traverse(sub, fn, arg, flags, visited, depth + 1)) return 1;
            } else {
                if (traverse(sub, fn, arg, flags, visited, depth + 1)) return 1;
                if (fn(sub, arg)) return 1;
            }
        }
    }
    return 0;
}

} // namespace

extern "C" {

long jpatcher_subpatchers_of(t_object *obj, void *arg, t_object **out, long max) {
    if (!obj || !out || max <= 0) return 0;
    if (jpatcher_cast(obj)) {
        out[0] = obj;
        return 1;
    }
    method m = object_getmethod(obj, _sym(subpatcher));
    if (!m) return 0;
    // Boxes answer "subpatcher" in message form (a returned value); other
    // objects are called directly with (index, arg).
    bool message_form = false;
    if (t_class *c = object_class(obj))
        for (t_atom_long k = 1; k < c->messcount && c->messlist && c->messlist[k].sym; ++k)
            if (c->messlist[k].sym == _sym(subpatcher)) {
                message_form = c->messlist[k].type[0] == AT_GIMMEBACK;
                break;
            }
    long n = 0;
    for (t_atom_long i = 0; n < max; ++i) {
        t_object *sub = nullptr;
        if (message_form) {
            t_atom index, rv;
            atom_setlong(&index, i);
            atom_setobj(&rv, nullptr);
            object_method_typed(obj, _sym(subpatcher), 1, &index, &rv);
            sub = atom_gettype(&rv) == AT_OBJ ? static_cast<t_object *>(atom_getobj(&rv)) : nullptr;
        } else {
            sub = static_cast<t_object *>(reinterpret_cast<subpatcher_fn>(reinterpret_cast<void (*)()>(m))(obj, i, arg));
        }
        if (!sub) break;
        // Anything that is not a patcher ends the list: it cannot be walked.
        if (!jpatcher_cast(sub)) break;
        out[n++] = sub;
    }
    return n;
}

t_object *jpatcher_iterate(t_object *p, t_jpatcher_itercb fn, void *arg, long flags,
                           t_object **stopped) {
    if (stopped) *stopped = nullptr;
    if (!fn) return nullptr;
    return iterate(p, fn, arg, flags, stopped, 0);
}

long jpatcher_traverse(t_object *p, t_jpatcher_travcb fn, void *arg, long *result) {
    jpatcher_traverse_flags(p, fn, arg, result, 0);
    return 0;
}

void *jpatcher_traverse_flags(t_object *p, t_jpatcher_travcb fn, void *arg, long *result,
                              long flags) {
    if (result) *result = 0;
    if (!fn || !jpatcher_cast(p)) return nullptr;
    long stopped = 0;
    if (!(flags & JPATCHER_TRAV_POSTORDER)) {
        if (fn(p, arg)) {
            stopped = 1;
        } else {
            stopped = traverse(p, fn, arg, flags, nullptr, 0);
        }
    } else {
        stopped = traverse(p, fn, arg, flags, nullptr, 0);
        if (!stopped) fn(p, arg);
    }
    if (result) *result = stopped;
    return nullptr;
}

long jpatcher_traverseunique(t_object *p, t_jpatcher_travcb fn, void *arg, t_hashtab *visited,
                             long *result) {
    if (result) *result = 0;
    if (!fn || !visited || !jpatcher_cast(p)) return 0;
    t_object *seen = nullptr;
    if (!hashtab_lookup(visited, visit_key(p), &seen)) return 0;
    hashtab_storeflags(visited, visit_key(p), p, HASHTAB_FLAG_NOFREE);
    if (fn(p, arg)) {
        if (result) *result = 1;
        return 0;
    }
    long stopped = traverse(p, fn, arg, 0, visited, 0);
    if (result) *result = stopped;
    return 0;
}

long jpatcher_traverseclear(t_object *p) {
    jpatcher_traverse_flags(
        p,
        [](t_object *q, void *) -> long {
            jpatcher_cast(q)->visited = 0;
            return 0;
        },
        nullptr, nullptr, 0);
    return 0;
}

t_object *jpatcher_getnthobject(t_object *p, long index) {
    t_jpatcher *x = jpatcher_cast(p);
    if (!x || index < 0) return nullptr;
    return static_cast<t_object *>(linklist_getindex(x->boxes, index));
}

} // extern "C"

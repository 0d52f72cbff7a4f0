/*
 * Finding boxes and patchers by scripting name, by name path and by box
 * identifier path, and making names unique.
 *
 * Invariants:
 * - Nothing here changes a patcher but jpatcher_forceboxname, and it only
 *   through the box attribute "varname", so the patcher's name table is
 *   kept by the box notifications as for any other rename.
 * - Every walk is bounded by the number of parts of its path; a path
 *   never makes a lookup loop, even through patchers that hold themselves.
 */
#include "patcher/patcher_script.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "boxes/jbox_internal.h"
#include "kernel/interned.h"
#include "kivo/attr.h"
#include "kivo/class.h"
#include "kivo/hashtab.h"
#include "kivo/sysmem.h"
#include "patcher/jpatcher.h"
#include "patcher/patcher_model.h"

namespace {

constexpr char kSeparator = ':';

t_symbol *empty() { return gensym(""); }

// The position of the instance suffix ".N" (N a positive decimal number)
// at the end of the text, or npos.
std::size_t instance_suffix(const char *text, long *number) {
    const char *dot = std::strrchr(text, '.');
    if (!dot || dot == text || !dot[1]) return std::string::npos;
    for (const char *c = dot + 1; *c; ++c)
        if (*c < '0' || *c > '9') return std::string::npos;
    // More digits than a long holds are no instance number.
    if (std::strlen(dot + 1) > 9) return std::string::npos;
    long n = std::strtol(dot + 1, nullptr, 10);
    if (n <= 0) return std::string::npos;
    *number = n;
    return static_cast<std::size_t>(dot - text);
}

bool holds_instances(t_object *box) {
    t_object *obj = jbox_get_object(box);
    return obj && object_classname(obj) == KSYM("poly~");
}

// Shared by names and identifiers: the box by the whole text, else by the
// text before an instance suffix.
t_object *lookup_ex(t_object *p, t_symbol *name, t_object **subpatcher, t_object *(*lookup)(t_object *, t_symbol *)) {
    if (subpatcher) *subpatcher = nullptr;
    if (!jpatcher_cast(p) || !name || !name->name[0]) return nullptr;
    if (t_object *box = lookup(p, name)) return box;
    long n = 0;
    const std::size_t at = instance_suffix(name->name, &n);
    if (at == std::string::npos) return nullptr;
    t_object *box = lookup(p, gensym(std::string(name->name, at).c_str()));
    if (!box) return nullptr;
    if (subpatcher && holds_instances(box)) *subpatcher = jpatcher_subpatcherfrombox_withindex(box, n - 1);
    return box;
}

long count_parts(t_symbol **parts) {
    long n = 0;
    while (parts && parts[n]) ++n;
    return n;
}

// A unique name by the "%s[%d]" scheme; taken(name) tells whether a name
// is held.
template <typename Taken>
t_symbol *unique_name(t_symbol *name, Taken taken) {
    if (!name || !taken(name)) return name;
    std::string base(name->name, std::min<std::size_t>(std::strlen(name->name), 1000));
    for (long n = 1;; ++n) {
        t_symbol *candidate = gensym((base + "[" + std::to_string(n) + "]").c_str());
        if (!taken(candidate)) return candidate;
    }
}

} // namespace

extern "C" {

t_object *jpatcher_getnamedbox_ex(t_object *p, t_symbol *name, t_object **subpatcher) {
    return lookup_ex(p, name, subpatcher, jpatcher_getnamedbox);
}

t_object *jpatcher_getboxfromid_ex(t_object *p, t_symbol *id, t_object **subpatcher) {
    return lookup_ex(p, id, subpatcher, jpatcher_getboxfromid);
}

t_kivo_err jpatcher_getboxnames(t_object *p, long *count, t_symbol ***names) {
    if (count) *count = 0;
    if (names) *names = nullptr;
    t_jpatcher *x = jpatcher_cast(p);
    if (!x || !count || !names) return KIVO_ERR_GENERIC;
    if (!x->varnames) return KIVO_ERR_NONE;
    return hashtab_getkeys(x->varnames, count, names);
}

void jpatcher_forceboxname(t_object *p, t_object *box, t_symbol *name) {
    t_jbox *b = jbox_cast(box);
    if (!jpatcher_cast(p) || !b || b->b_patcher != p) return;
    if (!name) name = empty();
    if (name != empty()) {
        t_object *other = jpatcher_getnamedbox(p, name);
        if (other == box) return;
        if (other) jbox_set_varname(other, empty());
    }
    jbox_set_varname(box, name);
}

t_symbol *jpatcher_uniqueboxname(t_object *p, t_symbol *name) {
    return unique_name(name, [p](t_symbol *s) { return jpatcher_getnamedbox(p, s) != nullptr; });
}

t_symbol *jpatcher_uniqueglobalpatchername(t_object *p, t_symbol *name) {
    return unique_name(name, [p](t_symbol *s) {
        t_object *holder = jpatcher_find_by_globalname(s);
        return holder && holder != p;
    });
}

t_symbol **jpatcher_namepath_symarray_new(t_symbol *path, long *count) {
    if (count) *count = 0;
    if (!path || !path->name[0]) return nullptr;
    std::vector<t_symbol *> parts;
    const char *text = path->name;
    if (*text == kSeparator) parts.push_back(KSYM("global"));
    for (const char *c = text; *c && parts.size() < JPATCHER_NAMEPATH_MAXPARTS;) {
        while (*c == kSeparator) ++c;
        const char *start = c;
        while (*c && *c != kSeparator) ++c;
        if (c == start) continue;
        std::size_t len = std::min<std::size_t>(static_cast<std::size_t>(c - start), JPATCHER_NAMEPATH_MAXPART);
        parts.push_back(gensym(std::string(start, len).c_str()));
    }
    if (parts.empty()) return nullptr;
    auto **out = reinterpret_cast<t_symbol **>(sysmem_newptr(static_cast<t_ptr_size>((parts.size() + 1) * sizeof(t_symbol *))));
    if (!out) return nullptr;
    for (std::size_t i = 0; i < parts.size(); ++i) out[i] = parts[i];
    out[parts.size()] = nullptr;
    if (count) *count = static_cast<long>(parts.size());
    return out;
}

t_object *jpatcher_subpatcherfrombox_withindex(t_object *box, long index) {
    t_object *obj = jbox_get_object(box);
    if (!obj || index < 0) return nullptr;
    if (jpatcher_cast(obj)) return obj;
    std::vector<t_object *> subs(static_cast<std::size_t>(index) + 1, nullptr);
    long n = jpatcher_subpatchers_of(obj, nullptr, subs.data(), index + 1);
    return n > index ? subs[static_cast<std::size_t>(index)] : nullptr;
}

t_object *jpatcher_resolvebox_symarray_ex(t_object *p, t_symbol **parts, t_symbol **attrname, t_object **owner) {
    if (attrname) *attrname = nullptr;
    if (owner) *owner = nullptr;
    const long n = count_parts(parts);
    if (!jpatcher_cast(p) || n == 0) return nullptr;
    t_object *cur = p;
    for (long i = 0; i < n - 1;) {
        t_symbol *part = parts[i];
        if (part == KSYM("parent")) {
            // The parent also covers the instance patchers of a box that
            // holds several: they name their holder's patcher through their
            // associated object.
            cur = jpatcher_getparentpatcher(cur);
            if (!cur) return nullptr;
            ++i;
            continue;
        }
        if (part == KSYM("global") && i == 0) {
            t_object *named = jpatcher_find_by_globalname(parts[1]);
            if (!named) return nullptr;
            if (n == 2) {
                if (owner) *owner = named;
                return nullptr;
            }
            cur = named;
            i += 2;
            continue;
        }
        t_object *sub = nullptr;
        t_object *box = jpatcher_getnamedbox_ex(cur, part, &sub);
        if (!box) return nullptr;
        if (sub) {
            cur = sub;
            ++i;
            continue;
        }
        t_object *inside = jpatcher_subpatcherfrombox_withindex(box, 0);
        if (inside && jpatcher_is_box_namespace(jpatcher_cast(inside))) {
            cur = inside;
            ++i;
            continue;
        }
        // "box::attribute": the last part names an attribute of the box's
        // object rather than a box inside it.
        if (!inside && i == n - 2 && object_attr_get(jbox_get_object(box), parts[n - 1])) {
            if (attrname) *attrname = parts[n - 1];
            if (owner) *owner = cur;
            return box;
        }
        return nullptr;
    }
    t_object *sub = nullptr;
    t_object *box = jpatcher_getnamedbox_ex(cur, parts[n - 1], &sub);
    if (box) {
        if (owner) *owner = sub ? sub : cur;
        return box;
    }
    if (parts[n - 1] == KSYM("parent") && owner) *owner = jpatcher_getparentpatcher(cur);
    return nullptr;
}

t_object *jpatcher_resolvebox_ex(t_object *p, t_symbol *path, t_symbol **attrname, t_object **owner) {
    if (attrname) *attrname = nullptr;
    if (owner) *owner = nullptr;
    t_symbol **parts = jpatcher_namepath_symarray_new(path, nullptr);
    if (!parts) return nullptr;
    t_object *box = jpatcher_resolvebox_symarray_ex(p, parts, attrname, owner);
    sysmem_freeptr(parts);
    return box;
}

t_object *jpatcher_resolvebox(t_object *p, t_symbol *path, t_symbol **attrname) {
    return jpatcher_resolvebox_ex(p, path, attrname, nullptr);
}

t_object *jpatcher_resolveobj(t_object *p, t_symbol *path, t_symbol **attrname) {
    t_object *box = jpatcher_resolvebox(p, path, attrname);
    return box ? jbox_get_object(box) : nullptr;
}

t_object *jpatcher_resolvepatcher(t_object *p, t_symbol *path) {
    t_object *owner = nullptr;
    t_object *box = jpatcher_resolvebox_ex(p, path, nullptr, &owner);
    if (!box) return owner;
    // A last part with an instance suffix leaves the instance as the owner.
    if (owner != jbox_get_patcher(box)) return owner;
    return jpatcher_subpatcherfrombox_withindex(box, 0);
}

t_object *jpatcher_resolvebox_boxpath_symarray(t_object *p, t_symbol **parts) {
    const long n = count_parts(parts);
    if (!jpatcher_cast(p) || n == 0) return nullptr;
    t_object *cur = p;
    for (long i = 0; i < n - 1; ++i) {
        t_object *sub = nullptr;
        t_object *box = jpatcher_getboxfromid_ex(cur, parts[i], &sub);
        if (!box) return nullptr;
        cur = sub ? sub : jpatcher_subpatcherfrombox_withindex(box, 0);
        if (!cur) return nullptr;
    }
    return jpatcher_getboxfromid(cur, parts[n - 1]);
}

t_object *jpatcher_resolvebox_boxpath(t_object *p, t_symbol *path) {
    if (!jpatcher_cast(p) || !path || !path->name[0]) return nullptr;
    if (!std::strchr(path->name, kSeparator)) return jpatcher_getboxfromid(p, path);
    t_symbol **parts = jpatcher_namepath_symarray_new(path, nullptr);
    if (!parts) return nullptr;
    t_object *box = jpatcher_resolvebox_boxpath_symarray(p, parts);
    sysmem_freeptr(parts);
    return box;
}

t_object *jpatcher_resolveobj_boxpath(t_object *p, t_symbol *path) {
    t_object *box = jpatcher_resolvebox_boxpath(p, path);
    return box ? jbox_get_object(box) : nullptr;
}

} // extern "C"

/*
 * Making boxes from text: box text and "@key value" text become a box
 * dictionary, which the patcher's "newobject" turns into a box.
 */
#include "kivo/newobject.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "boxes/jnewobj_internal.h"
#include "kernel/interned.h"
#include "kivo/dispatch.h"
#include "kivo/post.h"
#include "patcher/jpatcher.h"

namespace {

constexpr size_t kTextMax = 4096;


// Wraps the box dictionary (which it takes over) as {"box": d} and makes
// the box.
t_object *make_wrapped(t_object *patcher, t_dictionary *d) {
    if (!d) return nullptr;
    t_dictionary *wrap = dictionary_new();
    if (!wrap) {
        object_free(d);
        return nullptr;
    }
    dictionary_appenddictionary(wrap, KSYM("box"), &d->ob);
    t_object *box = newobject_fromdictionary(patcher, wrap);
    object_free(wrap);
    return box;
}

} // namespace

extern "C" {

t_dictionary *dictionary_fromboxtext(const char *text) {
    if (!text) return nullptr;
    std::string t;
    if (std::strncmp(text, "newobj", 6) == 0) {
        t = "@kivoclass ";
        t += text;
        if (t.size() > kTextMax - 1) t.resize(kTextMax - 1);
    } else {
        t = "@kivoclass newobj @text \"";
        for (const char *c = text; *c; ++c) {
            if (*c == '"' || *c == '\\') t += '\\';
            t += *c;
        }
        // Room for the closing quote and the terminator.
        if (t.size() > kTextMax - 2) {
            t.resize(kTextMax - 2);
            // A cut must not leave a lone escape before the closing quote.
            size_t slashes = 0;
            for (size_t i = t.size(); i > 0 && t[i - 1] == '\\'; --i) ++slashes;
            if (slashes % 2) t.pop_back();
        }
        t += '"';
    }
    return dictionary_sprintf("%s", t.c_str());
}

t_object *newobject_sprintf(t_object *patcher, const char *fmt, ...) {
    if (!patcher || !fmt) return nullptr;
    char buf[kTextMax];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, args);
    va_end(args);
    return make_wrapped(patcher, dictionary_sprintf("%s", buf));
}

t_object *newobject_fromboxtext(t_object *patcher, const char *text) {
    if (!patcher || !text) return nullptr;
    return make_wrapped(patcher, dictionary_fromboxtext(text));
}

t_object *newobject_fromdictionary(t_object *patcher, t_dictionary *d) {
    if (!patcher || !d) return nullptr;
    t_atom a, rv;
    atom_setobj(&a, d);
    atom_setobj(&rv, nullptr);
    if (object_method_typed(patcher, KSYM("newobject"), 1, &a, &rv) != KIVO_ERR_NONE) return nullptr;
    return atom_gettype(&rv) == AT_OBJ ? static_cast<t_object *>(atom_getobj(&rv)) : nullptr;
}

} // extern "C"

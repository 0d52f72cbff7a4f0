/*
 * Transforms and the standard "Changed Attributes to Arguments" transform
 * of object boxes.
 *
 * Invariants:
 * - A registered transform is a method of the class (AT_CANT) whose method
 *   object holds "transformlabel" and, when given, "transform" and
 *   "transformenabler" as one symbol each.
 * - A transform that has nothing to offer leaves a null dictionary; the
 *   changed-attributes transform leaves the caller's pointer untouched when
 *   the box has no object or no text.
 * - Box texts are handled in buffers of kTextMax bytes; a longer rebuilt
 *   text is refused rather than cut, so that no argument is silently lost.
 */
#include "kivo/transform.h"

#include <cstring>
#include <string>

#include "kernel/obex_internal.h"
#include "kivo/atomarray.h"
#include "kivo/attr.h"
#include "kivo/attr_conv.h"
#include "kivo/commonsyms.h"
#include "kivo/dictionary.h"
#include "kivo/dispatch.h"
#include "kivo/msgtext.h"
#include "kivo/sysmem.h"
#include "patcher/patcher_internal.h"

namespace {

constexpr std::size_t kTextMax = 2048;

t_symbol *sym_transform() { static t_symbol *const s = gensym("transform"); return s; }

// The text as one parsable word: wrapped in double quotes when it holds a
// space and is not quoted already.
std::string mayquote(const char *text) {
    std::string s(text ? text : "");
    const bool quoted = s.size() >= 2 && s.front() == '"' && s.back() == '"';
    if (s.find(' ') == std::string::npos || quoted) return s;
    return "\"" + s + "\"";
}

t_kivo_err add_symbol_attr(t_object *mo, const char *name, const char *value) {
    return object_addattr_parse(mo, name, _sym(symbol), 0, mayquote(value).c_str());
}

// The values of an entry as display text ("" when it has none).
std::string values_text(t_dictionary *d, t_symbol *key) {
    long ac = 0;
    t_atom *av = nullptr;
    if (dictionary_getatoms(d, key, &ac, &av) != KIVO_ERR_NONE || ac <= 0 || !av) return {};
    long size = 0;
    char *text = nullptr;
    std::string out;
    if (atom_gettext(ac, av, &size, &text, 0) == KIVO_ERR_NONE && text) out = text;
    if (text) sysmem_freeptr(text);
    return out;
}

} // namespace

extern "C" {

t_kivo_err class_addtransform(t_class *c, method fn, const char *transformname,
                              const char *enablername, const char *label,
                              const char *description) {
    if (!c || !transformname || !*transformname) return KIVO_ERR_GENERIC;
    t_kivo_err err = class_addmethod(c, fn ? fn : kivo::obex::as_method(object_transform_parse),
                                     transformname, AT_CANT, 0);
    if (err != KIVO_ERR_NONE) return err;
    // Before registration the class's method table is still its "methods" extra.
    t_symbol *s = gensym(transformname);
    t_object *mo = class_getmethod_object(c, s);
    if (!mo) {
        if (auto *methods = static_cast<t_hashtab *>(class_extra_lookup(c, ps_methods)))
            hashtab_lookup(methods, s, &mo);
    }
    if (!mo) return KIVO_ERR_GENERIC;
    if (description && add_symbol_attr(mo, "transform", description) != KIVO_ERR_NONE)
        return KIVO_ERR_GENERIC;
    if (add_symbol_attr(mo, "transformlabel", label ? label : "") != KIVO_ERR_NONE)
        return KIVO_ERR_GENERIC;
    if (enablername && add_symbol_attr(mo, "transformenabler", enablername) != KIVO_ERR_NONE)
        return KIVO_ERR_GENERIC;
    return KIVO_ERR_NONE;
}

t_kivo_err object_transform_parse(t_object *x, t_symbol *transform, t_dictionary **d) {
    if (!d) return KIVO_ERR_GENERIC;
    *d = nullptr;
    t_object *mo = x ? object_getmethod_object(x, transform) : nullptr;
    if (!mo) return KIVO_ERR_NONE;
    t_symbol *text = object_attr_getsym(mo, sym_transform());
    // The text is the whole format: it takes no arguments of its own.
    if (text) *d = dictionary_sprintf("%s", text->name);
    return KIVO_ERR_NONE;
}

void jnewobj_addstandardtransforms(t_class *c) {
    class_addtransform(c, kivo::obex::as_method(object_transform_changedattrs),
                       "transform_changedattrs", "transform_changedattrs_enable",
                       "Changed Attributes to Arguments", nullptr);
}

t_kivo_err object_transform_changedattrs(t_object *box, t_symbol *, t_dictionary **d) {
    if (!box || !d) return KIVO_ERR_GENERIC;
    t_object *inner = jbox_get_object(box);
    t_object *textfield = object_attr_getobj(box, _sym(textfield));
    const char *boxtext =
        textfield ? static_cast<const char *>(object_method(textfield, _sym(getptr))) : nullptr;
    if (!inner || !boxtext) return KIVO_ERR_NONE;
    if (std::strlen(boxtext) >= kTextMax) return KIVO_ERR_GENERIC;

    t_dictionary *args = dictionary_new();
    if (!args) return KIVO_ERR_GENERIC;
    long ac = 0;
    t_atom *av = nullptr;
    if (atom_setparse(&ac, &av, boxtext) == KIVO_ERR_NONE && ac > 0 && av) {
        const long first = attr_args_offset(static_cast<short>(ac), av);
        if (first < ac)
            attr_args_dictionary(args, static_cast<short>(ac - first), av + first);
    }
    if (av) sysmem_freeptr(av);

    long namecount = 0;
    t_symbol **names = nullptr;
    object_attr_getnames(inner, &namecount, &names);
    for (long i = 0; i < namecount; ++i) {
        t_symbol *name = names[i];
        if (!object_attr_usercanset(inner, name)) continue;
        if (!object_attr_getdirty(inner, name) && !object_attr_frozen(inner, name)) continue;
        long vc = 0;
        t_atom *vv = nullptr;
        if (object_attr_getvalueof(inner, name, &vc, &vv) == KIVO_ERR_NONE && vc > 0 && vv)
            dictionary_appendatoms(args, name, vc, vv);
        if (vv) sysmem_freeptr(vv);
    }
    if (names) sysmem_freeptr(names);

    std::string text(boxtext);
    if (std::size_t at = text.find('@'); at != std::string::npos) text.resize(at);
    // Trailing blanks would double the one written before each argument.
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.pop_back();

    long keycount = 0;
    t_symbol **keys = nullptr;
    dictionary_getkeys_ordered(args, &keycount, &keys);
    for (long i = 0; i < keycount; ++i) {
        std::string values = values_text(args, keys[i]);
        if (values.empty()) continue;
        text += " @";
        text += keys[i]->name;
        text += " ";
        text += values;
    }
    if (keys) dictionary_freekeys(args, keycount, keys);
    object_free(args);
    if (text.size() >= kTextMax) return KIVO_ERR_GENERIC;

    if (text.find(' ') != std::string::npos)
        *d = dictionary_sprintf("@kivoclass newobj @text \"%s\"", text.c_str());
    else
        *d = dictionary_sprintf("@kivoclass newobj @text %s", text.c_str());
    return KIVO_ERR_NONE;
}

} // extern "C"

/*
 * Style inheritance marks of objects (see styles.h). The marks are a table
 * of attribute names in the object's extension store under
 * "#styleinherited"; the store frees it with the object.
 */
#include "prefs/styles.h"

#include <unordered_map>
#include <vector>

#include "kivo/attr.h"
#include "kivo/attr_conv.h"
#include "kivo/class.h"
#include "kivo/commonsyms.h"
#include "kivo/hashtab.h"
#include "kivo/obex.h"
#include "kivo/registry.h"
#include "kivo/sysmem.h"

namespace {

t_symbol *key() {
    static t_symbol *const s = gensym("#styleinherited");
    return s;
}

t_hashtab *marks(t_object *x, bool make) {
    t_object *t = nullptr;
    if (!object_obex_lookup(x, key(), &t) && t) return reinterpret_cast<t_hashtab *>(t);
    if (!make) return nullptr;
    // Every new box gets one, holding only its class's few style names and
    // only ever looked up by name: a small table spares each box a large
    // cleared slot array and a list per name.
    t_hashtab *h = hashtab_new(7);
    if (!h) return nullptr;
    hashtab_flags(h, HASHTAB_FLAG_DATA);
    if (object_obex_store(x, key(), &h->ob)) {
        object_free(h);
        return nullptr;
    }
    return h;
}

// The style attributes of a class, as found when it had `count` attributes.
struct ClassStyles {
    long count = -1;
    std::vector<t_symbol *> names;
};

std::unordered_map<t_class *, ClassStyles> &class_styles() {
    static std::unordered_map<t_class *, ClassStyles> table;
    return table;
}

} // namespace

extern "C" {

long object_attr_isstyleattr(t_object *x, t_symbol *attrname) {
    // Asked for every attribute of every new box: the names are interned once.
    static t_symbol *const s_category = gensym("category");
    static t_symbol *const s_font = gensym("Font");
    static t_symbol *const s_color = gensym("Color");
    t_object *attr = x && attrname ? object_attr_get(x, attrname) : nullptr;
    if (!attr || !object_attr_get(attr, s_category)) return 0;
    // A style sheet gives an object its fonts and colours.
    t_symbol *category = object_attr_getsym(attr, s_category);
    return category == s_font || category == s_color;
}

void object_style_init(t_object *x) {
    if (!x) return;
    long n = 0;
    t_symbol **names = nullptr;
    if (object_attr_getnames(x, &n, &names) || !names) return;
    // Every new box asks this of the same few classes: when the object has
    // only its class's attributes, the class's answer is kept and reused
    // until the class gains or loses attributes.
    t_class *c = object_class(x);
    const std::vector<t_symbol *> *known = nullptr;
    if (c && c->attributes && n == static_cast<long>(hashtab_getsize(c->attributes))) {
        ClassStyles &cs = class_styles()[c];
        if (cs.count != n) {
            cs.count = n;
            cs.names.clear();
            for (long i = 0; i < n; ++i)
                if (object_attr_isstyleattr(x, names[i])) cs.names.push_back(names[i]);
        }
        known = &cs.names;
    }
    t_hashtab *h = nullptr;
    if (known) {
        for (t_symbol *name : *known) {
            if (!h && !(h = marks(x, true))) break;
            hashtab_storelong(h, name, 1);
        }
    } else {
        for (long i = 0; i < n; ++i) {
            if (!object_attr_isstyleattr(x, names[i])) continue;
            if (!h && !(h = marks(x, true))) break;
            hashtab_storelong(h, names[i], 1);
        }
    }
    sysmem_freeptr(names);
}

long object_attr_getinherited(t_object *x, t_symbol *attrname) {
    t_hashtab *h = x && attrname ? marks(x, false) : nullptr;
    t_atom_long v = 0;
    return h && !hashtab_lookuplong(h, attrname, &v) && v;
}

t_kivo_err object_attr_setinherited(t_object *x, t_symbol *attrname, long flag, long notify) {
    if (!object_attr_isstyleattr(x, attrname)) return -1;
    t_hashtab *h = marks(x, flag != 0);
    if (!h) return flag ? -1 : 0;
    if (flag) hashtab_storelong(h, attrname, 1);
    else hashtab_chuckkey(h, attrname);
    if (notify) object_notify(x, _sym(attr_modified), object_attr_get(x, attrname));
    return 0;
}

long defaults_comparevalue(t_object *, t_symbol *) {
    // No object defaults are stored: every value counts as the object's own.
    return 0;
}

} // extern "C"

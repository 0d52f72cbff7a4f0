/*
 * The box dictionary: what a box writes of itself when its patcher is
 * saved, and the default test that keeps values a box would get anyway
 * (its attribute defaults, its style) out of the file unless the patcher's
 * "imprint" asks for everything.
 *
 * Reading back: every key written here is read by jbox_new or by the
 * class's attribute processing; frozen values (computed from patcher
 * arguments) are written in their unsubstituted form.
 */
#include <algorithm>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "boxes/jbox_internal.h"
#include "kernel/interned.h"
#include "kivo/attr.h"
#include "kivo/attr_conv.h"
#include "kivo/class.h"
#include "kivo/commonsyms.h"
#include "kivo/dispatch.h"
#include "kivo/obex.h"
#include "kivo/stringobj.h"
#include "kivo/sysmem.h"
#include "patcher/jpatcher.h"
#include "prefs/styles.h"
#include "ui/textfield_internal.h"

namespace {

t_symbol *sym(const char *s) { return gensym(s); }
t_symbol *empty() { return gensym(""); }

struct Atoms {
    long ac = 0;
    t_atom *av = nullptr;
    Atoms() = default;
    Atoms(const Atoms &) = delete;
    ~Atoms() {
        if (av) sysmem_freeptr(av);
    }
};

// One atom as a single value, several as an array.
void append_value(t_dictionary *d, t_symbol *key, long ac, t_atom *av) {
    if (ac == 1) dictionary_appendatom(d, key, av);
    else dictionary_appendatoms(d, key, ac, av);
}

struct Context {
    t_dictionary *target;
    bool imprint;
    std::vector<t_symbol *> frozen_names;
};

// What a write needs to know of one attribute object: its flags and its
// default. Within a patcher write (jbox_dictcache_begin/end) these are read
// once per attribute object, since thousands of boxes share the class's
// attribute objects and nothing changes them while the write runs;
// outside one they are read afresh every time.
struct AttrFacts {
    bool frozen = false, autofrozen = false, save = false, instanceattr = false, bogus = false,
         attr_attr_save = false;
    t_symbol *stylealias = nullptr; // null without the attribute-attribute
    bool has_defaultname = false, has_default = false, default_ok = false;
    std::vector<t_atom> def;
};

// A class's attributes in name order with their objects and, within a
// write, their facts.
struct ClassAttrs {
    std::vector<t_symbol *> names;
    std::vector<t_object *> attrs;
    std::vector<const AttrFacts *> facts;
};

// What a write has learnt, all dropped when it ends: the facts by
// attribute object (a node map, so the references handed out stay valid
// as it grows) and each class's attributes by the class's table.
struct WriteCache {
    long depth = 0;
    std::unordered_map<t_object *, AttrFacts> facts;
    std::unordered_map<t_hashtab *, ClassAttrs> classes;
};
WriteCache g_cache;

void read_facts(t_object *attr, AttrFacts &f) {
    f.frozen = object_attr_getlong(attr, KSYM("frozen")) != 0;
    f.autofrozen = object_attr_getlong(attr, KSYM("autofrozen")) != 0;
    f.save = object_attr_getlong(attr, KSYM("save")) != 0;
    f.instanceattr = object_attr_getlong(attr, KSYM("instanceattr")) != 0;
    f.bogus = object_attr_getlong(attr, KSYM("bogus")) != 0;
    f.attr_attr_save = object_attr_getlong(attr, KSYM("attr_attr_save")) != 0;
    if (object_attr_get(attr, KSYM("stylealias"))) {
        t_symbol *alias = object_attr_getsym(attr, KSYM("stylealias"));
        f.stylealias = alias ? alias : empty();
    }
    f.has_defaultname = object_attr_get(attr, KSYM("defaultname")) != nullptr;
    f.has_default = object_attr_get(attr, KSYM("default")) != nullptr;
    if (f.has_default) {
        Atoms def;
        f.default_ok = object_attr_getvalueof(attr, KSYM("default"), &def.ac, &def.av) == 0;
        if (f.default_ok && def.ac > 0) f.def.assign(def.av, def.av + def.ac);
    }
}

// The facts of the attribute object; `scratch` holds them outside a write.
const AttrFacts &facts_of(t_object *attr, AttrFacts &scratch) {
    if (!g_cache.depth) {
        scratch = AttrFacts();
        read_facts(attr, scratch);
        return scratch;
    }
    auto [it, fresh] = g_cache.facts.try_emplace(attr);
    if (fresh) read_facts(attr, it->second);
    return it->second;
}

bool same_atoms(const t_atom *a, long an, const t_atom *b, long bn) {
    if (an != bn) return false;
    for (long i = 0; i < an; ++i) {
        // Numbers compare by value whatever their stored width or kind.
        const t_atom *p = a + i, *q = b + i;
        bool numeric = (atom_gettype(p) == AT_LONG || atom_gettype(p) == AT_FLOAT) &&
                       (atom_gettype(q) == AT_LONG || atom_gettype(q) == AT_FLOAT);
        if (numeric ? atom_getfloat(p) != atom_getfloat(q) : !atom_equal(p, q)) return false;
    }
    return true;
}

// Whether x's attribute `name` (the object attr, with its facts) holds what
// it would hold anyway; `now` is its current value when already read.
bool is_default(t_object *x, t_symbol *name, const AttrFacts &f, const Atoms *now) {
    if (object_attr_getinherited(x, name)) return true;
    if (f.stylealias && object_attr_getinherited(x, f.stylealias)) return true;
    if (f.has_defaultname) return defaults_comparevalue(x, name) != 0;
    if (!f.has_default || !f.default_ok) return false;
    Atoms mine;
    if (!now) {
        if (object_attr_getvalueof(x, name, &mine.ac, &mine.av)) return false;
        now = &mine;
    }
    return same_atoms(f.def.data(), static_cast<long>(f.def.size()), now->av, now->ac);
}

// Writes one attribute of x (frozen-aware) unless it holds its default;
// `only` (non-null) is the attribute-attribute that must be set for it to
// be considered at all.
void append_attribute(t_object *x, t_symbol *name, Context &ctx, const char *only, t_object *attr = nullptr,
                      const AttrFacts *known = nullptr) {
    if (!attr) attr = object_attr_get(x, name);
    if (!attr) return;
    AttrFacts scratch;
    const AttrFacts &f = known ? *known : facts_of(attr, scratch);
    if (only && !(only[0] == 'b' ? f.bogus : f.instanceattr)) return;
    if (!only && !f.save && !f.frozen) return;
    Atoms v;
    if (f.frozen) {
        if (object_attr_attr_getvalueof(x, name, KSYM("freezevalue"), &v.ac, &v.av)) return;
    } else {
        if (object_attr_getvalueof(x, name, &v.ac, &v.av)) return;
        if (!ctx.imprint && is_default(x, name, f, &v)) return;
    }
    // An empty value says nothing, except a box without outlets.
    if (v.ac <= 0 && name != KSYM("outlettype")) return;
    append_value(ctx.target, name, v.ac, v.av);
    if (f.frozen && !f.autofrozen) ctx.frozen_names.push_back(name);
}

// In name order: the table's own order follows where the symbols happen to
// live in memory, and a box saved twice must come out the same.
std::vector<t_symbol *> names_of(t_hashtab *table) {
    std::vector<t_symbol *> out;
    long n = 0;
    t_symbol **keys = nullptr;
    if (table && !hashtab_getkeys(table, &n, &keys) && keys) {
        out.assign(keys, keys + n);
        sysmem_freeptr(keys);
    }
    std::sort(out.begin(), out.end(),
              [](t_symbol *a, t_symbol *b) { return std::strcmp(a->name, b->name) < 0; });
    return out;
}

const ClassAttrs &class_attrs(t_class *c, ClassAttrs &scratch) {
    t_hashtab *table = c ? c->attributes : nullptr;
    ClassAttrs *ca = &scratch;
    if (g_cache.depth && table) {
        auto [it, fresh] = g_cache.classes.try_emplace(table);
        if (!fresh) return it->second;
        ca = &it->second;
    }
    ca->names = names_of(table);
    for (t_symbol *name : ca->names) {
        t_object *attr = nullptr;
        hashtab_lookup(table, name, &attr);
        ca->attrs.push_back(attr);
        AttrFacts unused;
        ca->facts.push_back(attr && g_cache.depth ? &facts_of(attr, unused) : nullptr);
    }
    return *ca;
}

t_hashtab *instance_table(t_object *x) {
    t_object *t = nullptr;
    object_obex_lookup(x, _sym(attributes), &t);
    return reinterpret_cast<t_hashtab *>(t);
}

// The box's text field text, or "".
std::string field_text(t_object *field) {
    char *text = nullptr;
    long size = 0;
    object_method(field, KSYM("gettextptr"), &text, &size);
    return text && size > 0 ? std::string(text, static_cast<size_t>(size)) : std::string();
}

long lines_at(t_object *field, const t_rect &r) {
    t_textfield_layout lay = {};
    textfield_layout(field, r.width, r.height, &lay);
    return lay.numlines;
}

} // namespace

extern "C" {

long jbox_isdefaultattribute(t_object *x, t_symbol *name) {
    t_object *attr = x && name ? object_attr_get(x, name) : nullptr;
    if (!attr) return 0;
    AttrFacts scratch;
    return is_default(x, name, facts_of(attr, scratch), nullptr) ? 1 : 0;
}

void jbox_attrflags(t_object *attr, long *save, long *frozen, long *attr_attr_save) {
    AttrFacts scratch;
    const AttrFacts &f = attr ? facts_of(attr, scratch) : scratch;
    if (save) *save = f.save;
    if (frozen) *frozen = f.frozen;
    if (attr_attr_save) *attr_attr_save = f.attr_attr_save;
}

void jbox_dictcache_begin(void) { ++g_cache.depth; }

void jbox_dictcache_end(void) {
    if (g_cache.depth > 0 && --g_cache.depth == 0) {
        g_cache.classes.clear();
        g_cache.facts.clear();
    }
}

void jbox_appendattributes(t_jbox *b, t_dictionary *d) {
    if (!b || !d) return;
    t_object *x = &b->b_ob;
    Context ctx{d, jpatcher_get_imprint(b->b_patcher) != 0, {}};
    // 1. The class's attributes.
    t_class *c = object_class(x);
    t_hashtab *own_table = instance_table(x);
    ClassAttrs scratch;
    const ClassAttrs &ca = class_attrs(c, scratch);
    for (size_t i = 0; i < ca.names.size(); ++i) {
        // The box's own copy of an attribute stands before the class's.
        t_object *attr = nullptr;
        if (own_table) hashtab_lookup(own_table, ca.names[i], &attr);
        if (attr || !ca.attrs[i])
            append_attribute(x, ca.names[i], ctx, nullptr, attr);
        else
            append_attribute(x, ca.names[i], ctx, nullptr, ca.attrs[i], ca.facts[i]);
    }
    // 2. Instance attributes marked to be saved with the box.
    std::vector<t_symbol *> own = names_of(own_table);
    bool any = false;
    for (t_symbol *name : own)
        if (object_attr_attr_getlong(x, name, KSYM("instanceattr"))) any = true;
    if (any) {
        t_dictionary *ia = dictionary_new();
        Context inner{ia, ctx.imprint, {}};
        for (t_symbol *name : own) append_attribute(x, name, inner, "instanceattr");
        ctx.frozen_names.insert(ctx.frozen_names.end(), inner.frozen_names.begin(), inner.frozen_names.end());
        dictionary_appenddictionary(d, KSYM("instance_attributes"), &ia->ob);
    }
    // 3. A placeholder keeps the attributes its missing class would have read.
    if (b->b_bogus)
        for (t_symbol *name : own) append_attribute(x, name, ctx, "bogus");
    // 4.
    if (!ctx.frozen_names.empty()) {
        std::vector<t_atom> names(ctx.frozen_names.size());
        for (size_t i = 0; i < names.size(); ++i) atom_setsym(&names[i], ctx.frozen_names[i]);
        dictionary_appendatoms(d, KSYM("frozen_box_attributes"), static_cast<long>(names.size()), names.data());
    }
    // 5.
    jbox_appendparameters(b, d);
}

void jbox_appendparameters(t_jbox *b, t_dictionary *d) {
    if (!b || !d) return;
    t_object *x = &b->b_ob;
    if (object_attr_get(x, KSYM("valueof")) && object_attr_attr_getlong(x, KSYM("valueof"), KSYM("save"))) {
        Atoms v;
        if (!object_attr_getvalueof_frozen(x, KSYM("valueof"), 0, &v.ac, &v.av) && v.ac > 0)
            append_value(d, KSYM("valueof"), v.ac, v.av);
    }
    jbox_appendattrattributes(b, d);
}

void jbox_appendattrattributes(t_jbox *b, t_dictionary *d) {
    if (!b || !d) return;
    t_object *x = &b->b_ob;
    t_dictionary *all = dictionary_new();
    if (!all) return;
    t_class *c = object_class(x);
    t_hashtab *own_table = instance_table(x);
    ClassAttrs class_scratch;
    const ClassAttrs &ca = class_attrs(c, class_scratch);
    // The class's attributes (or the box's own copies of them), then the
    // box's own attributes.
    std::vector<std::pair<t_symbol *, t_object *>> names;
    std::vector<const AttrFacts *> known;
    for (size_t i = 0; i < ca.names.size(); ++i) {
        t_object *attr = nullptr;
        if (own_table) hashtab_lookup(own_table, ca.names[i], &attr);
        names.emplace_back(ca.names[i], attr ? attr : ca.attrs[i]);
        known.push_back(attr ? nullptr : ca.facts[i]);
    }
    for (t_symbol *own : names_of(own_table)) {
        names.emplace_back(own, object_attr_get(x, own));
        known.push_back(nullptr);
    }
    for (size_t i = 0; i < names.size(); ++i) {
        t_symbol *name = names[i].first;
        t_object *attr = names[i].second;
        AttrFacts scratch;
        if (!attr || !(known[i] ? known[i] : &facts_of(attr, scratch))->attr_attr_save ||
            dictionary_hasentry(all, name))
            continue;
        t_dictionary *per = dictionary_new();
        for (t_symbol *aa : names_of(instance_table(attr))) {
            if (!object_attr_attr_getlong(attr, aa, KSYM("save"))) continue;
            Atoms v;
            if (object_attr_getvalueof_frozen(attr, aa, 0, &v.ac, &v.av) || v.ac <= 0) continue;
            t_object *aattr = object_attr_get(attr, aa);
            bool array = aattr && object_classname(aattr) == KSYM("attr_offset_array");
            if (array) dictionary_appendatoms(per, aa, v.ac, v.av);
            else append_value(per, aa, v.ac, v.av);
        }
        dictionary_appenddictionary(all, name, &per->ob);
    }
    jbox_removedefaultattributes(b, all);
    if (dictionary_getentrycount(all) > 0)
        dictionary_appenddictionary(d, KSYM("saved_attribute_attributes"), &all->ob);
    else
        object_free(all);
}

void jbox_removedefaultattributes(t_jbox *b, t_dictionary *d) {
    if (!b || !d) return;
    t_object *x = &b->b_ob;
    long n = 0;
    t_symbol **keys = nullptr;
    dictionary_getkeys_ordered(d, &n, &keys);
    for (long i = 0; i < n; ++i) {
        t_symbol *name = keys[i];
        t_object *o = nullptr;
        if (dictionary_entryisdictionary(d, name) && !dictionary_getdictionary(d, name, &o) && o) {
            auto *per = reinterpret_cast<t_dictionary *>(o);
            t_object *attr = object_attr_get(x, name);
            long m = 0;
            t_symbol **aakeys = nullptr;
            dictionary_getkeys_ordered(per, &m, &aakeys);
            for (long j = 0; j < m; ++j)
                if (attr && jbox_isdefaultattribute(attr, aakeys[j])) dictionary_deleteentry(per, aakeys[j]);
            if (aakeys) dictionary_freekeys(per, m, aakeys);
            if (dictionary_getentrycount(per) == 0) dictionary_deleteentry(d, name);
        } else if (jbox_isdefaultattribute(x, name)) {
            dictionary_deleteentry(d, name);
        }
    }
    if (keys) dictionary_freekeys(d, n, keys);
}

void jbox_appendtodictionary(t_jbox *b, t_dictionary *d) {
    if (!b || !d) return;
    t_object *x = &b->b_ob;
    // 1. A placeholder writes the class it stands in for.
    t_symbol *kclass = nullptr;
    if (object_attr_get(x, KSYM("realclass"))) kclass = object_attr_getsym(x, KSYM("realclass"));
    if (!kclass || kclass == empty()) kclass = object_classname(x);
    dictionary_appendsym(d, KSYM("kivoclass"), kclass);
    // 2-5.
    if (b->b_hint) dictionary_appendsym(d, KSYM("hint"), sym(b->b_hint));
    if (b->b_annotation) dictionary_appendsym(d, KSYM("annotation"), sym(b->b_annotation));
    if (b->b_varname && b->b_varname != empty()) dictionary_appendsym(d, KSYM("varname"), b->b_varname);
    if (b->b_prototypename && b->b_prototypename != empty())
        dictionary_appendsym(d, KSYM("prototypename"), b->b_prototypename);
    // 7. The box text, as typed when it held patcher arguments.
    if (b->b_text) {
        t_object *frozen = nullptr;
        t_jpatcher *px = jpatcher_cast(b->b_patcher);
        if (object_attr_get(x, KSYM("frozen_text"))) frozen = object_attr_getobj(x, KSYM("frozen_text"));
        if (frozen && (!px || px->save_frozen_text)) {
            const char *t = string_getptr(reinterpret_cast<t_string *>(frozen));
            dictionary_appendstring(d, KSYM("text"), t ? t : "");
        } else {
            t_handle h = sysmem_newhandle(0);
            t_ptr_size size = 0;
            if (h && !atombuf_totext_flags(b->b_text, h, &size, b->b_isnewobj ? 3 : 0) && size > 0) {
                std::string t(*h, size);
                dictionary_appendstring(d, KSYM("text"), t.c_str());
            }
            if (h) sysmem_freehandle(h);
        }
    }
    // 8-10. The text field's text and its line counts.
    if (b->b_textfield && !object_attr_getlong(b->b_textfield, KSYM("dontsave"))) {
        if (!b->b_text) {
            std::string t = field_text(b->b_textfield);
            if (!t.empty()) dictionary_appendstring(d, KSYM("text"), t.c_str());
        }
        long lines = lines_at(b->b_textfield, b->b_patching_rect);
        if (lines >= 2) dictionary_appendlong(d, KSYM("linecount"), lines);
        const t_rect &pr = b->b_presentation_rect;
        if (pr.width > 0 && pr.height > 0) {
            long plines = lines_at(b->b_textfield, pr);
            if (plines >= 2) dictionary_appendlong(d, KSYM("presentation_linecount"), plines);
        }
    }
    // 11-16.
    jbox_appendattributes(b, d);
    // 17.
    t_symbol *painter = object_attr_getsym(x, KSYM("jspainterfile"));
    if (painter && painter != empty()) dictionary_appendsym(d, KSYM("jspainterfile"), painter);
    // 18. The class's own state, last.
    if (method m = class_method(object_class(x), KSYM("jsave")))
        reinterpret_cast<void (*)(t_object *, t_dictionary *)>(m)(x, d);
}

} // extern "C"

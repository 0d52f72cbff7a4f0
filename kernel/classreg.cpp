/*
 * Class registration, name spaces and loading by name.
 *
 * - One process-wide table maps a name-space symbol ("box", "nobox", ...)
 *   to that name space's class table, which maps a class name to its
 *   t_class. Nothing is ever removed from either: the first class of a
 *   name wins and stays until the process ends.
 * - Registration freezes the class's attribute and extra tables (read-only,
 *   no locking) and makes the extra table's "methods" entry the class's
 *   method table.
 * - A class's registration facts live in its extra table as plain data
 *   (flags 2): "namespace", "filevolume", "file".
 * - Registration and loading run on the main thread; the name-space tables
 *   use the hash table's own locking.
 */
#include <cstring>
#include <strings.h>

#include "docs/docs_internal.h"
#include "files/files_internal.h"
#include "kernel/obex_internal.h"
#include "kivo/commonsyms.h"
#include "kivo/dictionary.h"
#include "kivo/dispatch.h"
#include "kivo/hashtab.h"
#include "kivo/post.h"
#include "kivo/strutil.h"
#include "kivo/sysmem.h"
#include "params/params_internal.h"
#include "runtime/dictionary_internal.h"

short g_kivo_debug = 0;

namespace {

constexpr std::size_t kNameMax = 512; // names are taken as at most 511 characters

t_hashtab *g_namespaces = nullptr;

t_symbol *nobox_if_null(t_symbol *name_space) {
    return name_space ? name_space : _sym(nobox);
}

t_class *lookup_exact(t_symbol *name_space, t_symbol *classname) {
    t_hashtab *table = class_namespace_fromsym(name_space);
    t_object *c = nullptr;
    if (table && classname) hashtab_lookup(table, classname, &c);
    return reinterpret_cast<t_class *>(c);
}

struct CaseFreeSearch {
    const char *name;
    t_class *found;
};

long casefree_match(void *item, void *data) {
    auto *entry = static_cast<t_hashtab_entry *>(item);
    auto *search = static_cast<CaseFreeSearch *>(data);
    if (!search->found && entry->key && strcasecmp(entry->key->name, search->name) == 0)
        search->found = reinterpret_cast<t_class *>(entry->value);
    return 0;
}

t_class *lookup_casefree(t_symbol *name_space, const char *name) {
    t_hashtab *table = class_namespace_fromsym(name_space);
    if (!table) return nullptr;
    CaseFreeSearch search = {name, nullptr};
    hashtab_funall(table, casefree_match, &search);
    return search.found;
}

// The name with a known external-bundle suffix removed, or null when it
// has none.
t_symbol *stripped_name(t_symbol *classname) {
    char name[kNameMax];
    strncpy_zero(name, classname->name, sizeof name);
    const std::size_t before = std::strlen(name);
    class_stripsuffix(name);
    return std::strlen(name) != before ? gensym(name) : nullptr;
}

// True when the attribute's "style" is a symbol whose first "file" ends it.
bool style_ends_in_file(t_object *attr) {
    long ac = 0;
    t_atom *av = nullptr;
    bool found = false;
    if (object_attr_getvalueof(attr, _sym(style), &ac, &av) == KIVO_ERR_NONE && ac > 0 && av &&
        av[0].type == AT_SYM && av[0].value.w_sym) {
        const char *text = av[0].value.w_sym->name;
        const char *first = std::strstr(text, "file");
        found = first && first[4] == '\0';
    }
    if (av) sysmem_freeptr(av);
    return found;
}

void find_file_attribute(t_class *c) {
    long count = 0;
    t_symbol **names = nullptr;
    if (hashtab_getkeys(c->attributes, &count, &names) != KIVO_ERR_NONE || !names) return;
    for (long i = 0; i < count; ++i) {
        t_object *attr = class_attr_get(c, names[i]);
        if (attr && style_ends_in_file(attr)) {
            class_extra_storeflags(c, _sym(file), names[i], HASHTAB_FLAG_DATA);
            break;
        }
    }
    sysmem_freeptr(names);
}


using t_lookup = t_class *(*)(t_symbol *, t_symbol *);

t_class *findbyname(t_symbol *name_space, t_symbol *classname, t_lookup lookup) {
    if (!classname) return nullptr;
    if (t_class *c = lookup(name_space, classname)) return c;
    if (!name_space || name_space == _sym(box)) {
        // Patchers are made by the patcher itself, old-style box classes by
        // the legacy object creator: neither is loaded as an external.
        if (classname == _sym(patcher) || classname == _sym(p)) return nullptr;
        if (qnewobj_find(classname, 0)) return nullptr;
    }
    if (class_load(classname) != KIVO_ERR_NONE) return nullptr;
    return lookup(name_space, classname);
}

} // namespace

extern "C" {

t_kivo_err class_namespace_init(void) {
    if (g_namespaces) return KIVO_ERR_NONE;
    g_namespaces = hashtab_new(0);
    return g_namespaces ? KIVO_ERR_NONE : KIVO_ERR_GENERIC;
}

void class_stripsuffix(char *name) {
    t_fourcc types[FILES_TYPELIST_MAX];
    short count = 0;
    typelist_make(types, 2, &count);
    fileformat_stripsuffix(name, types, count);
}

t_hashtab *class_namespace_fromsym(t_symbol *name_space) {
    if (!g_namespaces || !name_space) return nullptr;
    t_object *table = nullptr;
    if (hashtab_lookup(g_namespaces, name_space, &table) == KIVO_ERR_NONE && table)
        return reinterpret_cast<t_hashtab *>(table);
    t_hashtab *made = hashtab_new(0);
    if (!made) return nullptr;
    if (hashtab_store(g_namespaces, name_space, &made->ob) != KIVO_ERR_NONE) {
        object_free(made);
        return nullptr;
    }
    return made;
}

t_kivo_err class_register(t_symbol *name_space, t_class *c) {
    if (!c) return KIVO_ERR_INVALID_PTR;
    if (!g_namespaces) return KIVO_ERR_GENERIC;
    name_space = nobox_if_null(name_space);
    const bool box = name_space == _sym(box);

    if (box) {
        const method none = kivo::obex::as_method(method_false);
        if (class_method(c, _sym(getvalueof)) != none && class_method(c, _sym(setvalueof)) != none &&
            !class_attr_get(c, _sym(parameter_enable))) {
            class_parameter_init(c);
            c->flags |= CLASS_FLAG_PARAMETER;
        }
        if (t_messlist *creator = qnewobj_find(c->name, 0); creator && c->newmess) {
            for (int i = 0; i < 7; ++i) {
                c->newmess->type[i] = creator->type[i];
                if (creator->type[i] == 0) break;
            }
        }
    }

    if (c->attributes) {
        class_buildprototype(c);
        hashtab_readonly(c->attributes, 1);
        if (box) find_file_attribute(c);
    }

    if (c->extra) {
        hashtab_readonly(c->extra, 1);
        t_object *methods = nullptr;
        if (hashtab_lookup(c->extra, ps_methods, &methods) == KIVO_ERR_NONE && methods) {
            hashtab_readonly(reinterpret_cast<t_hashtab *>(methods), 1);
            c->methods = reinterpret_cast<t_hashtab *>(methods);
        }
    }

    if (box) {
        c->flags |= CLASS_FLAG_BOX;
        class_addmethod(c, kivo::obex::as_method(object_sendbox), "sendbox", AT_GIMME, 0);
        // A taken name is reported to the caller like any other failure.
        return box_class_register(c);
    }
    return class_doregister(name_space, c);
}

t_kivo_err class_doregister(t_symbol *name_space, t_class *c) {
    if (!c || !c->name) return KIVO_ERR_INVALID_PTR;
    name_space = nobox_if_null(name_space);
    if (g_kivo_debug) {
        post("registering class %s in %s", c->name->name, name_space->name);
        if (c->attributes) hashtab_print(c->attributes);
    }
    t_hashtab *table = class_namespace_fromsym(name_space);
    if (!table) return KIVO_ERR_GENERIC;
    t_object *taken = nullptr;
    if (hashtab_lookup(table, c->name, &taken) == KIVO_ERR_NONE) return KIVO_ERR_DUPLICATE;
    t_kivo_err err = hashtab_storeflags(table, c->name, reinterpret_cast<t_object *>(c),
                                        HASHTAB_FLAG_DATA);
    if (err != KIVO_ERR_NONE) return err;

    if (!(c->flags & CLASS_FLAG_ALIAS)) {
        t_symbol *was = static_cast<t_symbol *>(class_extra_lookup(c, ps_namespace));
        if (was) {
            post("warning duplicate class registration for %s (was %s, registering %s)",
                 c->name->name, was->name, name_space->name);
            hashtab_chuckkey(c->extra, ps_namespace);
        }
        class_extra_storeflags(c, ps_namespace, name_space, HASHTAB_FLAG_DATA);
        if (short path = install_loadingpath()) class_setpath(c, path);
    }
    // The reference information is fetched after each box registration;
    // with deferral not yet in the kernel, nothing is queued.
    return KIVO_ERR_NONE;
}

t_kivo_err class_alias(t_class *c, t_symbol *aliasname) {
    if (!c || !aliasname) return KIVO_ERR_INVALID_PTR;
    auto *copy = reinterpret_cast<t_class *>(sysmem_newptr(sizeof(t_class)));
    if (!copy) return KIVO_ERR_GENERIC;
    *copy = *c;
    copy->name = aliasname;
    copy->flags |= CLASS_FLAG_ALIAS;
    t_kivo_err err = class_doregister((c->flags & CLASS_FLAG_BOX) ? _sym(box) : _sym(nobox), copy);
    // Nothing else refers to a copy that did not register.
    if (err != KIVO_ERR_NONE) sysmem_freeptr(copy);
    return err;
}

t_kivo_err class_copy(t_symbol *src_name_space, t_symbol *src_classname,
                      t_symbol *dst_name_space, t_symbol *dst_classname) {
    t_class *c = class_findbyname(src_name_space, src_classname);
    if (!c) return KIVO_ERR_GENERIC;
    auto *copy = reinterpret_cast<t_class *>(sysmem_newptr(sizeof(t_class)));
    if (!copy) return KIVO_ERR_GENERIC;
    *copy = *c;
    copy->flags &= ~static_cast<t_ptr_uint>(CLASS_FLAG_BOX);
    copy->flags |= CLASS_FLAG_ALIAS;
    if (dst_classname) copy->name = dst_classname;
    t_kivo_err err = class_register(dst_name_space ? dst_name_space : src_name_space, copy);
    if (c->flags & CLASS_FLAG_BOX) copy->flags |= CLASS_FLAG_BOX;
    if (err != KIVO_ERR_NONE) {
        if (copy->messlist != c->messlist) sysmem_freeptr(copy->messlist);
        sysmem_freeptr(copy);
    }
    return err;
}

t_class *class_getifloaded(t_symbol *name_space, t_symbol *classname) {
    if (!classname) return nullptr;
    name_space = nobox_if_null(name_space);
    if (t_class *c = lookup_exact(name_space, classname)) return c;
    t_symbol *stripped = stripped_name(classname);
    return stripped ? lookup_exact(name_space, stripped) : nullptr;
}

t_class *class_getifloaded_casefree(t_symbol *name_space, t_symbol *classname) {
    if (!classname) return nullptr;
    name_space = nobox_if_null(name_space);
    if (t_class *c = class_getifloaded(name_space, classname)) return c;
    if (t_class *c = lookup_casefree(name_space, classname->name)) return c;
    t_symbol *stripped = stripped_name(classname);
    return stripped ? lookup_casefree(name_space, stripped->name) : nullptr;
}


t_class *class_findbyname(t_symbol *name_space, t_symbol *classname) {
    return findbyname(name_space, classname, class_getifloaded);
}

t_class *class_findbyname_casefree(t_symbol *name_space, t_symbol *classname) {
    return findbyname(name_space, classname, class_getifloaded_casefree);
}

t_kivo_err class_load(t_symbol *classname) {
    if (!classname) return KIVO_ERR_GENERIC;
    char filename[2048];
    nametab_filename(filename, classname);
    t_fourcc types[FILES_TYPELIST_MAX];
    short count = 0;
    typelist_make(types, 3, &count);
    short path = 0;
    t_fourcc type = 0;
    if (locatefile_extended(filename, &path, &type, types, count) != 0) return KIVO_ERR_GENERIC;
    t_symbol *objectname = nullptr;
    nametab_objectname(filename, &objectname);
    typelist_make(types, 2, &count);
    for (short i = 0; i < count; ++i)
        if (types[i] == type) return external_load(filename, path, objectname);
    return KIVO_ERR_GENERIC;
}

long classname_isexternal(t_symbol *classname) {
    t_class *c = class_getifloaded(_sym(box), classname);
    return c && class_getpath(c) != 0;
}

t_kivo_err class_setpath(t_class *c, short path) {
    if (!c) return KIVO_ERR_GENERIC;
    return class_extra_storeflags(c, ps_filevolume,
                                  reinterpret_cast<void *>(static_cast<t_ptr_int>(path)),
                                  HASHTAB_FLAG_DATA);
}

short class_getpath(t_class *c) {
    return static_cast<short>(reinterpret_cast<t_ptr_int>(class_extra_lookup(c, ps_filevolume)));
}

t_symbol *class_namespace(t_class *c) {
    auto *s = static_cast<t_symbol *>(class_extra_lookup(c, ps_namespace));
    return s ? s : ps_;
}

t_symbol *object_namespace(t_object *x) {
    return class_namespace(object_class(x));
}

t_kivo_err class_namespace_getclassnames(t_symbol *name_space, long *count, t_symbol ***classnames) {
    if (!count || !classnames) return KIVO_ERR_INVALID_PTR;
    *count = 0;
    *classnames = nullptr;
    t_hashtab *table = class_namespace_fromsym(nobox_if_null(name_space));
    if (!table) return KIVO_ERR_GENERIC;
    return hashtab_getkeys(table, count, classnames);
}

// One attribute's default into the prototype, under the attribute's name.
static long prototype_add_default(void *item, void *data) {
    auto *e = static_cast<t_hashtab_entry *>(item);
    auto *proto = static_cast<t_dictionary *>(data);
    if (!e || !e->value) return 0;
    if (object_attr_get(e->value, _sym(default)))
        dictionary_appendattribute(proto, e->key, _sym(default), e->value);
    return 0;
}

t_kivo_err class_buildprototype(t_class *c) {
    if (!c || !c->attributes) return KIVO_ERR_NONE;
    t_dictionary *proto = dictionary_prototypefromclass(c);
    if (!proto) return KIVO_ERR_GENERIC;
    hashtab_funall(c->attributes, prototype_add_default, proto);
    return KIVO_ERR_NONE;
}

t_dictionary *class_cloneprototype(t_class *c) {
    if (!c) return nullptr;
    auto *proto = static_cast<t_dictionary *>(class_extra_lookup(c, _sym(prototype)));
    t_dictionary *d = proto ? dictionary_clone(proto) : dictionary_new();
    if (d) dictionary_readonly(d, 1);
    return d;
}

void class_getclassinfo_private(void *unused, t_symbol *classname) {
    object_refpage_get_class_info_fromclassname(classname);
}

t_kivo_err object_sendbox(t_object *x, t_symbol *s, long argc, t_atom *argv) {
    t_object *box = nullptr;
    object_obex_lookup(x, _sym(hash_B), &box);
    if (!box || argc < 1 || !argv || argv[0].type != AT_SYM || !argv[0].value.w_sym ||
        !argv[0].value.w_sym->name[0])
        return KIVO_ERR_GENERIC;
    const long rest = argc - 1 > 0x7fff ? 0x7fff : argc - 1;
    typedmess(box, argv[0].value.w_sym, static_cast<short>(rest), argv + 1);
    return KIVO_ERR_NONE;
}

} // extern "C"

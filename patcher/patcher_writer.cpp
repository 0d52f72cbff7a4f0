/*
 * Writing a patcher as data ("appendtodictionary"): its keys, boxes
 * front-most first, cords, selections, dependencies and toolbar changes.
 * Saving that data into a file is in patcher_saving.cpp.
 */
#include <algorithm>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "app/startup.h"
#include "boxes/jbox_internal.h"
#include "boxes/jpatchline.h"
#include "files/loading_internal.h"
#include "kernel/obex_internal.h"
#include "kivo/attr.h"
#include "kivo/dictionary.h"
#include "kivo/files.h"
#include "kivo/json.h"
#include "kivo/obex.h"
#include "kivo/post.h"
#include "kivo/transform.h"
#include "kivo/legacy.h"
#include "kivo/path.h"
#include "kernel/interned.h"
#include "runtime/dictionary_internal.h"
#include "patcher/jpatcher.h"
#include "patcher/patcher_model.h"
#include "patcher/patcher_saving.h"
#include "patcher/patcher_writer.h"

namespace {

// The patcher whose write began first; nested writes (subpatchers written
// through their boxes) see that it is not them.
t_object *s_jpatcher_saving = nullptr;

using kivo::obex::as_method;

t_dictionary *unlocked_dictionary() {
    t_dictionary *d = dictionary_new();
    if (d) dictionary_readonly(d, 1);
    return d;
}

void put_attr(t_dictionary *d, const char *key, t_object *p, const char *name = nullptr) {
    dictionary_appendattribute(d, gensym(key), gensym(name ? name : key), p);
}

bool all_zero(const double *v, int n) {
    for (int i = 0; i < n; ++i)
        if (v[i] != 0) return false;
    return true;
}

void append_long(t_dictionary *d, const char *key, t_atom_long v) { dictionary_appendlong(d, gensym(key), v); }

bool is_empty_symbol(t_symbol *s) { return !s || !s->name || !*s->name; }

// Whether the patcher's own window counts as open: the view recorded by a
// save request decides, else the first view that is its own root.
bool window_visible(t_jpatcher *x) {
    t_object *view = x->saveview;
    x->saveview = nullptr;
    if (!view) {
        jpatcher_each(x->views, [&](t_object *v) {
            t_object *root = object_getmethod(v, KSYM("rootpatcherview"))
                                 ? static_cast<t_object *>(object_method(v, KSYM("rootpatcherview")))
                                 : v;
            if (root != v) return false;
            view = v;
            return true;
        });
    }
    return view && object_attr_getlong(view, KSYM("visible")) != 0;
}

void append_boxes(t_jpatcher *x, t_dictionary *d, bool marked) {
    std::vector<t_atom> items;
    items.reserve(x->boxes ? static_cast<size_t>(x->boxes->count) : 0);
    // The box list runs back to front; the file lists the front-most first.
    std::vector<t_object *> boxes = jpatcher_items(x->boxes);
    for (auto it = boxes.rbegin(); it != boxes.rend(); ++it) {
        if (marked && !jpatcher_box_checktemp(&x->ob, *it)) continue;
        t_dictionary *wrap = unlocked_dictionary();
        t_dictionary *box = unlocked_dictionary();
        if (!wrap || !box) {
            if (wrap) object_free(wrap);
            if (box) object_free(box);
            continue;
        }
        dictionary_appenddictionary(wrap, KSYM("box"), &box->ob);
        object_method(*it, KSYM("appendtodictionary"), box);
        t_atom a;
        atom_setobj(&a, wrap);
        items.push_back(a);
    }
    dictionary_appendatoms(d, KSYM("boxes"), static_cast<long>(items.size()), items.data());
}

// The classes loaded from files that the patcher and its subpatchers use,
// each once, in the order met: the externals a copy of the patch needs.
struct ExternalClasses {
    std::vector<t_symbol *> names;
    std::unordered_set<t_class *> seen;
};

long collect_external(void *arg, t_object *obj) {
    auto *ec = static_cast<ExternalClasses *>(arg);
    t_class *c = obj ? object_class(obj) : nullptr;
    if (!c || !ec->seen.insert(c).second) return 0;
    if (!class_getpath(c)) return 0;
    t_symbol *yes = KSYM("yes");
    if (class_getproperty(c, KSYM("mvnfactoryexternal")) == yes ||
        class_getproperty(c, KSYM("mvnexcludefromcollectives")) == yes)
        return 0;
    ec->names.push_back(c->name);
    return 0;
}

void append_symbols(t_dictionary *d, const char *key, t_linklist *list) {
    if (!list || list->count <= 0) return;
    std::vector<t_atom> av;
    for (t_linklistelem *n = list->head; n; n = n->next) {
        if (!n->item) continue;
        t_atom a;
        atom_setsym(&a, static_cast<t_symbol *>(n->item));
        av.push_back(a);
    }
    if (!av.empty()) dictionary_appendatoms(d, gensym(key), static_cast<long>(av.size()), av.data());
}

// A name as one word of box text.
std::string quoted(const char *s) {
    std::string t = s ? s : "";
    if (t.find_first_of(" ;,") == std::string::npos) return t;
    return "\"" + t + "\"";
}

long pastefrompatcher_msg(t_object *p, t_object *src) { return jpatcher_pastefrompatcher(p, src); }
long extension_msg(t_object *p, char *buf, long size) { return jpatcher_extension(p, buf, size); }

} // namespace

extern "C" {

long jpatcher_appendappversiontodictionary(t_dictionary *d) {
    if (!d) return -1;
    t_dictionary *v = dictionary_new();
    if (!v) return -1;
    const long packed = g_kivo_version ? g_kivo_version : get_kivoversion();
    append_long(v, "major", (packed >> 8) & 0xF);
    append_long(v, "minor", (packed >> 4) & 0xF);
    append_long(v, "revision", packed & 0xF);
    dictionary_appendsym(v, KSYM("architecture"), KSYM("x64"));
    append_long(v, "modernui", 1);
    return dictionary_appenddictionary(d, KSYM("appversion"), &v->ob);
}

long jpatcher_doappendboxestodictionary(t_object *p, t_dictionary *d, long marked) {
    t_jpatcher *x = jpatcher_cast(p);
    if (!x || !d) return -1;
    append_boxes(x, d, marked != 0);
    return 0;
}

long jpatcher_doappendlinestodictionary(t_object *p, t_dictionary *d, long marked) {
    t_jpatcher *x = jpatcher_cast(p);
    if (!x || !d) return -1;
    std::vector<t_atom> items;
    items.reserve(x->lines ? static_cast<size_t>(x->lines->count) : 0);
    for (t_linklistelem *n = x->lines ? x->lines->head : nullptr; n; n = n->next) {
        t_jpatchline *c = jpatchline_cast(static_cast<t_object *>(n->item));
        if (!c || (marked && !c->pl_temp)) continue;
        if (t_dictionary *wrap = jpatchline_wrappeddictionary(c, 1)) {
            t_atom a;
            atom_setobj(&a, wrap);
            items.push_back(a);
        }
    }
    // Oldest first: the reader puts each cord it reads at the front of the
    // list, so the list read back is the list written.
    std::reverse(items.begin(), items.end());
    return dictionary_appendatoms(d, KSYM("lines"), static_cast<long>(items.size()), items.data());
}

long jpatcher_appendboxestodictionary(t_object *p, t_dictionary *d, long count, t_atom *atoms) {
    t_jpatcher *x = jpatcher_cast(p);
    if (!x || !d) return -1;
    jpatcher_box_pushtemp(p);
    jpatcher_box_cleartemp(p);
    jpatcher_box_marktemp(p, count, atoms);
    const long err = jpatcher_doappendboxestodictionary(p, d, 1);
    jpatcher_box_cleartemp(p);
    jpatcher_box_poptemp(p);
    return err;
}

long jpatcher_appendlinestodictionary(t_object *p, t_dictionary *d, long count, t_atom *atoms) {
    t_jpatcher *x = jpatcher_cast(p);
    if (!x || !d) return -1;
    jpatcher_each(x->lines, [](t_object *c) { return jpatchline_cleartemp(c, nullptr) != 0; });
    jpatcher_patchline_marktemp(p, count, atoms);
    const long err = jpatcher_doappendlinestodictionary(p, d, 1);
    jpatcher_each(x->lines, [](t_object *c) { return jpatchline_cleartemp(c, nullptr) != 0; });
    return err;
}

long jpatcher_linestodictionaries(t_object *p, long count, t_atom *atoms, t_atom *out) {
    t_jpatcher *x = jpatcher_cast(p);
    if (!x || count < 0 || (count && (!atoms || !out))) return -1;
    for (long i = 0; i < count; ++i) {
        if (atom_gettype(atoms + i) != AT_OBJ) continue;
        t_object *cord = jpatcher_objectformoniker(p, static_cast<t_object *>(atom_getobj(atoms + i)));
        t_jpatchline *c = cord && object_classname(cord) == KSYM("jpatchline") ? jpatchline_cast(cord) : nullptr;
        if (!c || linklist_objptr2index(x->lines, cord) < 0) continue;
        t_dictionary *wrap = jpatchline_wrappeddictionary(c, 1);
        if (!wrap) return -1;
        atom_setobj(out + i, wrap);
    }
    return 0;
}

long jpatcher_doappenddependencycachetodictionary(t_object *p, t_dictionary *d, long) {
    t_jpatcher *x = jpatcher_cast(p);
    if (!x || !d) return -1;
    if (jpatcher_getparentpatcher(p)) return 0;
    // Files found by the dependency lists of projects are not kept by this
    // build; the classes loaded from files are.
    std::vector<t_atom> items;
    if (jpatcher_is_box_namespace(x)) {
        ExternalClasses ec;
        jpatcher_iterate(p, collect_external, &ec, JPATCHER_ITER_DESCEND | JPATCHER_ITER_BOXNAMESPACE, nullptr);
        for (t_symbol *name : ec.names) {
            t_dictionary *e = unlocked_dictionary();
            if (!e) continue;
            const std::string file = std::string(name->name) + ".kvo";
            dictionary_appendsym(e, KSYM("name"), gensym(file.c_str()));
            dictionary_appendsym(e, KSYM("type"), KSYM("iLaX"));
            t_atom a;
            atom_setobj(&a, e);
            items.push_back(a);
        }
    }
    return dictionary_appendatoms(d, KSYM("dependency_cache"), static_cast<long>(items.size()), items.data());
}

long jpatcher_savedependencies(t_object *p, t_dictionary *d) {
    if (!jpatcher_cast(p) || !d) return -1;
    const long n = jpatcher_getnumdependencies(p);
    if (n <= 0) return 0;
    std::vector<t_atom> items;
    for (long i = 0; i < n; ++i) {
        t_symbol *name = nullptr;
        t_fourcc type = 0;
        if (jpatcher_getdependencyat(p, i, &name, &type) || !name) continue;
        t_dictionary *e = unlocked_dictionary();
        if (!e) continue;
        t_symbol *ts = nullptr;
        fileformat_filetypetosym(type, &ts);
        dictionary_appendsym(e, KSYM("name"), name);
        dictionary_appendsym(e, KSYM("type"), ts ? ts : gensym(""));
        t_atom a;
        atom_setobj(&a, e);
        items.push_back(a);
    }
    return dictionary_appendatoms(d, KSYM("dependencies"), static_cast<long>(items.size()), items.data());
}

long jpatcher_toolbarmods_appendtodictionary(t_object *p, t_dictionary *d) {
    t_jpatcher *x = jpatcher_cast(p);
    if (!x || !d) return -1;
    append_symbols(d, "toolbaradditions", x->toolbar_included);
    append_symbols(d, "toolbarexclusions", x->toolbar_excluded);
    return 0;
}

long jpatcher_pastefrompatcher(t_object *p, t_object *src) {
    if (!jpatcher_cast(p) || !jpatcher_cast(src)) return 0;
    t_dictionary *d = unlocked_dictionary();
    if (!d) return 0;
    jpatcher_doappendboxestodictionary(src, d, 0);
    jpatcher_doappendlinestodictionary(src, d, 0);
    jpatcher_pastefromdictionary(p, d);
    object_free(d);
    return 0;
}

long jpatcher_extension(t_object *, char *buf, long size) {
    static const char ext[] = ".kivopat";
    const long need = static_cast<long>(sizeof ext - 1);
    if (buf && need < size) {
        std::memcpy(buf, ext, sizeof ext);
        return 0;
    }
    if (buf && size > 0) buf[0] = '\0';
    return need + 1;
}

// A patcher defines, for the object it is asked about, a latency that its
// own file can carry.
long jpatcher_defineattributes(t_object *, t_object *target) {
    if (!target) return -1;
    t_object *attr = attribute_new("latency", KSYM("long"), 0, nullptr, nullptr);
    if (!attr) return -1;
    if (object_addattr(target, attr) != KIVO_ERR_NONE) {
        object_free(attr);
        return -1;
    }
    object_attr_addattr_parse(target, "latency", "label", KSYM("symbol"), 0, "\"Defined Latency\"");
    object_attr_addattr_parse(target, "latency", "invisible", KSYM("long"), 0, "1");
    return 0;
}

long jpatcher_saveattributes(t_object *, t_object *, t_dictionary *d) {
    if (!d) return -1;
    return dictionary_appendlong(d, KSYM("latency"), 0);
}

t_kivo_err jpatcher_transform_tobpatcher(t_object *p, t_symbol *, t_dictionary **d) {
    t_jpatcher *x = jpatcher_cast(p);
    if (!d) return KIVO_ERR_GENERIC;
    *d = nullptr;
    if (!x) return KIVO_ERR_GENERIC;
    if (x->path) {
        const std::string name = quoted(x->name ? x->name->name : "");
        *d = dictionary_sprintf("@kivoclass bpatcher @name %s", name.c_str());
        return KIVO_ERR_NONE;
    }
    *d = dictionary_sprintf("@kivoclass bpatcher @embed 1");
    if (*d) jpatcher_appendtodictionary(p, *d);
    return KIVO_ERR_NONE;
}

long jpatcher_appendtodictionary(t_object *p, t_dictionary *d) {
    t_jpatcher *x = jpatcher_cast(p);
    if (!x || !d) return -1;
    if (!s_jpatcher_saving) {
        s_jpatcher_saving = p;
        jbox_dictcache_begin();
    }
    const bool visible = window_visible(x);

    t_dictionary *pd = unlocked_dictionary();
    if (!pd) {
        if (s_jpatcher_saving == p) {
            s_jpatcher_saving = nullptr;
            jbox_dictcache_end();
        }
        return -1;
    }
    dictionary_appenddictionary(d, KSYM("patcher"), &pd->ob);

    append_long(pd, "fileversion", x->fileversion);
    jpatcher_appendappversiontodictionary(pd);
    const bool zero_pos = x->openrect[0] == 0 && x->openrect[1] == 0;
    const bool zero_size = x->openrect[2] == 0 && x->openrect[3] == 0;
    if (zero_pos || zero_size) put_attr(pd, "rect", p);
    if (!all_zero(x->openrect, 4)) put_attr(pd, "openrect", p);
    put_attr(pd, "bgcolor", p, "locked_bgcolor");
    put_attr(pd, "editing_bgcolor", p);
    put_attr(pd, "bglocked", p);
    put_attr(pd, "openinpresentation", p);
    put_attr(pd, "default_fontsize", p, "fontsize");
    put_attr(pd, "default_fontface", p, "fontface");
    put_attr(pd, "default_fontname", p, "fontname");
    append_long(pd, "gridonopen", x->gridonopen ? 2 : 1);
    put_attr(pd, "gridsize", p);
    append_long(pd, "gridsnaponopen", x->gridsnaponopen ? 2 : 1);
    for (const char *k : {"objectsnaponopen", "statusbarvisible", "toolbarvisible", "lefttoolbarpinned",
                          "toptoolbarpinned", "righttoolbarpinned", "bottomtoolbarpinned"})
        put_attr(pd, k, p);
    if (t_object *view = jpatcher_getnthview(p, 0))
        if (object_getmethod(view, KSYM("update_jpatcher_toolbars_unpinned_last_save_attr")))
            object_method(view, KSYM("update_jpatcher_toolbars_unpinned_last_save_attr"));
    for (const char *k : {"toolbars_unpinned_last_save", "tallnewobj", "boxanimatetime", "imprint",
                          "enablehscroll", "enablevscroll", "devicewidth", "description", "digest", "tags",
                          "style", "subpatcher_template"})
        put_attr(pd, k, p);
    if (!x->showrootpatcherontab) put_attr(pd, "showrootpatcherontab", p);
    if (x->tab) put_attr(pd, "showontab", p);
    if (x->workspacedisabled) put_attr(pd, "workspacedisabled", p);
    if (x->isolateaudio) put_attr(pd, "isolateaudio", p);
    if (!x->project) jpatcher_savedependencies(p, pd);
    if (!is_empty_symbol(x->globalpatchername)) put_attr(pd, "globalpatchername", p);
    if (!is_empty_symbol(x->defaultfocusbox)) put_attr(pd, "defaultfocusbox", p);
    if (!is_empty_symbol(x->title)) put_attr(pd, "title", p);
    if (visible && x->box && s_jpatcher_saving != p) {
        long shown_inside = object_getmethod(x->box, KSYM("displaycontainingview"))
                                ? reinterpret_cast<intptr_t>(object_method(x->box, KSYM("displaycontainingview")))
                                : 0;
        if (!shown_inside) append_long(pd, "visible", 1);
    }

    append_boxes(x, pd, false);
    jpatcher_doappendlinestodictionary(p, pd, 0);
    jpatcher_doappenddependencycachetodictionary(p, pd, 1);
    t_object *definer = nullptr;
    if (!object_obex_lookup(p, KSYM("##attributedefiner##"), &definer) && definer)
        object_method(definer, KSYM("saveattributes"), p, pd);
    if (x->snippetinfo) {
        t_dictionary *copy = dictionary_new();
        if (copy && dictionary_clone_to_existing(x->snippetinfo, copy) == 0)
            dictionary_appenddictionary(pd, KSYM("snippetinfo"), &copy->ob);
        else if (copy)
            object_free(copy);
    }
    jpatcher_toolbarmods_appendtodictionary(p, pd);

    if (s_jpatcher_saving == p) {
        s_jpatcher_saving = nullptr;
        jbox_dictcache_end();
    }
    return 0;
}

void jpatcher_writer_addmethods(t_class *c) {
    class_addmethod(c, as_method(jpatcher_appendtodictionary), "appendtodictionary", AT_CANT, 0);
    class_addmethod(c, as_method(extension_msg), "extension", AT_CANT, 0);
    class_addmethod(c, as_method(pastefrompatcher_msg), "pastefrompatcher", AT_CANT, 0);
    class_addmethod(c, as_method(jpatcher_defineattributes), "defineattributes", AT_CANT, 0);
    class_addmethod(c, as_method(jpatcher_saveattributes), "saveattributes", AT_CANT, 0);
    class_addtransform(c, as_method(jpatcher_transform_tobpatcher), "transform_tobpatcher", nullptr,
                       "Patcher to Bpatcher", nullptr);
}

} // extern "C"

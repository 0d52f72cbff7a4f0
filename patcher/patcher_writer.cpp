/*
 * Writing a patcher as data ("appendtodictionary") and the ordinary save
 * of a patcher into its file: the patcher dictionary is turned into JSON
 * text and written through a temporary file that replaces the old one only
 * once the whole text is down, so a failed save never costs a patch.
 */
#include <cstring>
#include <vector>

#include "app/startup.h"
#include "boxes/jpatchline.h"
#include "kivo/dictionary.h"
#include "kivo/json.h"
#include "kivo/legacy.h"
#include "kivo/path.h"
#include "kernel/interned.h"
#include "runtime/dictionary_internal.h"
#include "patcher/jpatcher.h"
#include "patcher/patcher_model.h"
#include "patcher/patcher_writer.h"

namespace {

// The patcher whose write began first; nested writes (subpatchers written
// through their boxes) see that it is not them.
t_object *s_jpatcher_saving = nullptr;

template <typename F>
method M(F f) {
    return reinterpret_cast<method>(reinterpret_cast<void (*)()>(f));
}

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

long jpatcher_doappenddependencycachetodictionary(t_object *p, t_dictionary *d, long) {
    t_jpatcher *x = jpatcher_cast(p);
    if (!x || !d) return -1;
    if (jpatcher_getparentpatcher(p)) return 0;
    // No dependency list or file-loaded classes are kept by this build yet,
    // so a top-level patcher carries the entry with nothing in it.
    return dictionary_appendatoms(d, KSYM("dependency_cache"), 0, nullptr);
}

long jpatcher_appendtodictionary(t_object *p, t_dictionary *d) {
    t_jpatcher *x = jpatcher_cast(p);
    if (!x || !d) return -1;
    if (!s_jpatcher_saving) s_jpatcher_saving = p;
    const bool visible = window_visible(x);

    t_dictionary *pd = unlocked_dictionary();
    if (!pd) {
        if (s_jpatcher_saving == p) s_jpatcher_saving = nullptr;
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
    // Cords are written oldest first: the reader puts each new cord at the
    // front of the list, so reading the file back restores the same list.
    jpatcher_appendlines(p, pd);
    jpatcher_doappenddependencycachetodictionary(p, pd, 1);
    if (x->snippetinfo) {
        t_dictionary *copy = dictionary_new();
        if (copy && dictionary_clone_to_existing(x->snippetinfo, copy) == 0)
            dictionary_appenddictionary(pd, KSYM("snippetinfo"), &copy->ob);
        else if (copy)
            object_free(copy);
    }

    if (s_jpatcher_saving == p) s_jpatcher_saving = nullptr;
    return 0;
}

t_kivo_err jpatcher_saveto(t_object *p, t_object *view, const char *filename, short path, long flags) {
    t_jpatcher *x = jpatcher_cast(p);
    if (!x || !filename || !*filename) return KIVO_ERR_GENERIC;
    x->saveview = nullptr;
    if ((flags & 1) && !x->path && x->box) {
        t_object *up = jpatcher_getparentpatcher(p);
        while (up) {
            t_jpatcher *u = jpatcher_cast(up);
            if (!u || u->path || !u->box) break;
            up = jpatcher_getparentpatcher(up);
        }
        if (up) return jpatcher_saveto(up, nullptr, filename, path, 0);
    }
    x->saveview = view;
    const bool same_file = !is_empty_symbol(x->filename) && x->path &&
                           std::strcmp(x->filename->name, filename) == 0 && x->path == path;

    t_dictionary *outer = dictionary_new();
    t_jsonwriter *w = outer ? jsonwriter_new() : nullptr;
    t_handle text = nullptr;
    t_kivo_err err = KIVO_ERR_GENERIC;
    if (w && jpatcher_appendtodictionary(p, outer) == 0) {
        jsonwriter_writedictionary(w, outer);
        jsonwriter_getoutput(w, &text);
        // Never put an empty text over a patch.
        if (text && *text && **text) err = KIVO_ERR_NONE;
    }
    if (err == KIVO_ERR_NONE) {
        t_filehandle fh = nullptr;
        err = path_createsysfile(filename, path, KIVO_FOURCC('J', 'S', 'O', 'N'), &fh);
        if (!err) {
            err = sysfile_writetextfile(fh, text, TEXT_LB_UNIX);
            const t_kivo_err cerr = sysfile_close(fh);
            if (err == KIVO_ERR_NONE) err = cerr;
        }
    }
    if (w) object_free(w);
    if (outer) object_free(outer);
    if (err) {
        object_error(nullptr, "jpatcher_saveto: error %d writing %s", static_cast<int>(err), filename);
        return err;
    }
    x->legacy = 0;
    if (x->editedabstraction || !jpatcher_getparentpatcher(p) || same_file) {
        x->filename = gensym(filename);
        x->path = path;
    }
    x->sourcefilename = nullptr;
    return KIVO_ERR_NONE;
}

void jpatcher_writer_addmethods(t_class *c) {
    class_addmethod(c, M(jpatcher_appendtodictionary), "appendtodictionary", AT_CANT, 0);
}

} // extern "C"

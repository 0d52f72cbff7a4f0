/*
 * Saving a patcher into its file, its file identity (name, folder, type,
 * watcher), its dirty state, and the updating of boxes made from a patcher
 * file when that file changes.
 *
 * Invariants:
 * - A save never writes over a patch unless the whole new text was made:
 *   the text goes to a temporary file renamed into place (sysfile), and a
 *   failed save leaves the old file, the patcher's name and its dirty
 *   state as they were.
 * - A patcher whose file lies in a real folder (path < 0) owns one client
 *   of the shared watcher of that file, keyed "%ld-%s" (path, name); while
 *   the patcher writes its own file the watcher is stopped, and the other
 *   patchers showing that file are told, but not the writer itself.
 * - The patcher is dirty while its own or a subpatcher's `editserial`
 *   differs from its `savedserialnumber` (subpatchers with their own file
 *   count for themselves only).
 *
 * Main thread only.
 */
#include <cstring>
#include <string>
#include <vector>

#include "files/loading_internal.h"
#include "kernel/interned.h"
#include "kernel/obex_internal.h"
#include "kivo/atomarray.h"
#include "kivo/attr.h"
#include "kivo/dictionary.h"
#include "kivo/dispatch.h"
#include "kivo/eventcontext.h"
#include "kivo/files.h"
#include "kivo/json.h"
#include "kivo/obex.h"
#include "kivo/path.h"
#include "kivo/post.h"
#include "kivo/registry.h"
#include "kivo/sysmem.h"
#include "patcher/jpatcher.h"
#include "patcher/patcher_messages.h"
#include "patcher/patcher_model.h"
#include "patcher/patcher_saving.h"
#include "patcher/patcher_writer.h"

namespace {

using kivo::obex::as_method;

constexpr t_fourcc kJSON = KIVO_FOURCC('J', 'S', 'O', 'N');
constexpr t_fourcc kSnippet = KIVO_FOURCC('k', 'S', 'n', 'p');

bool is_empty(t_symbol *s) { return !s || !s->name || !*s->name; }

t_filewatcherclient *watcher_of(t_jpatcher *x) {
    return reinterpret_cast<t_filewatcherclient *>(x->filewatcher);
}

t_symbol *empty_symbol() { return gensym(""); }

// Every live patcher without a parent, in no particular order. Collected
// before any work, since the work may make and free patchers.
std::vector<t_object *> toplevel_patchers() {
    std::vector<t_object *> out;
    t_class *c = jpatcher_class();
    if (!c) return out;
    // Every patcher is in the table of patcher identifiers.
    long n = 0;
    t_symbol **keys = nullptr;
    t_hashtab *ids = jpatcher_idtable();
    if (!ids || hashtab_getkeys(ids, &n, &keys) || !keys) return out;
    for (long i = 0; i < n; ++i) {
        t_object *p = nullptr;
        if (hashtab_lookup(ids, keys[i], &p) || !jpatcher_cast(p)) continue;
        if (!jpatcher_getparentpatcher(p)) out.push_back(p);
    }
    sysmem_freeptr(keys);
    return out;
}

long set_noedit(t_object *p, void *on) {
    if (t_jpatcher *x = jpatcher_cast(p)) x->noedit = on ? 1 : 0;
    return 0;
}

long is_dirty_fun(t_object *p, void *) {
    t_jpatcher *x = jpatcher_cast(p);
    return x && x->editserial != x->savedserialnumber;
}

long mark_saved_fun(t_object *p, void *) {
    if (t_jpatcher *x = jpatcher_cast(p)) x->savedserialnumber = x->editserial;
    return 0;
}

// ---- boxes made from a file

struct Update {
    t_object *held;  // the box's object
    t_object *box;
    t_object *sub;   // the patcher made from the file
};

// Finds the boxes whose patcher came from the file. The contents of a
// matching patcher are not searched: they are made again with it.
void find_updates(t_object *p, t_symbol *file, std::vector<Update> &out, int depth) {
    t_jpatcher *x = jpatcher_cast(p);
    if (!x || depth > 256) return;
    for (t_object *box : jpatcher_items(x->boxes)) {
        t_object *held = jbox_head(box)->b_firstin;
        if (!held || held == box) continue;
        t_object *subs[64];
        const long n = jpatcher_subpatchers_of(held, nullptr, subs, 64);
        for (long k = 0; k < n; ++k) {
            t_jpatcher *s = jpatcher_cast(subs[k]);
            if (!s) continue;
            if ((s->filename == file || s->sourcefilename == file) && !s->editedabstraction) {
                out.push_back({held, box, subs[k]});
                break;
            }
            find_updates(subs[k], file, out, depth + 1);
        }
    }
}

// ---- messages

void dirty_msg(t_jpatcher *x) { jpatcher_setdirty(&x->ob, 1); }
void clean_msg(t_jpatcher *x) { jpatcher_setdirty(&x->ob, 0); }

// Saves into the patcher's own file; a subpatcher saves the patcher whose
// file holds it. Without a file there is nothing to save into, and
// saying nothing would let the user think the work was kept.
void write_msg(t_jpatcher *x) {
    t_object *p = &x->ob;
    t_jpatcher *at = x;
    for (int depth = 0; at && at->path == 0 && at->box && depth < 256; ++depth)
        at = jpatcher_cast(jpatcher_getparentpatcher(&at->ob));
    if (!at || at->path == 0 || is_empty(at->filename)) {
        object_error(p, "write: the patcher has no file yet; it was not saved");
        return;
    }
    jpatcher_saveto(&at->ob, nullptr, at->filename->name, static_cast<short>(at->path), 0);
}

// Choosing a new file needs the save dialog, which this build does not
// have; the patcher is left unsaved and the user is told.
void writeas_msg(t_jpatcher *x) {
    object_error(&x->ob, "writeas: no save dialog is available; the patcher was not saved");
}

long savetohandle_msg(t_jpatcher *, t_handle) { return 0; }

void filename_msg(t_jpatcher *x, const char *name, long path) { jpatcher_filename(x, name, path); }

void setcoll_msg(t_jpatcher *x, t_object *coll) {
    if (coll == x->collective) return;
    if (coll) object_retain(coll);
    t_object *old = x->collective;
    x->collective = coll;
    if (old) object_release(old);
}

void send_window(t_jpatcher *x, std::initializer_list<const char *> words) {
    if (!object_getmethod(&x->ob, KSYM("window"))) return;
    std::vector<t_atom> av;
    for (const char *w : words) {
        t_atom a;
        atom_setsym(&a, gensym(w));
        av.push_back(a);
    }
    typedmess(&x->ob, KSYM("window"), static_cast<short>(av.size()), av.data());
}

void frontcoll_msg(t_jpatcher *x, t_object *coll, long noclose) {
    setcoll_msg(x, coll);
    if (noclose) {
        send_window(x, {"flags", "noclose"});
        send_window(x, {"exec"});
    }
    object_method(&x->ob, KSYM("vis"));
    object_attr_setlong(&x->ob, KSYM("noedit"), 1);
}

void classupdate_msg(t_jpatcher *x, t_symbol *file) { jpatcher_classupdate(&x->ob, file); }
void pupdate_msg(t_jpatcher *x, t_object *obj) { jpatcher_pupdate(&x->ob, obj); }
void filechanged_msg(t_jpatcher *x) { jpatcher_filechanged(&x->ob); }

void lockdown_msg(t_jpatcher *x) {
    jpatcher_traverse(&x->ob, set_noedit, reinterpret_cast<void *>(1), nullptr);
}

long openoriginal_msg(t_jpatcher *x) {
    t_symbol *file = !is_empty(x->filename) ? x->filename : x->sourcefilename;
    if (is_empty(file)) return -1;
    void *made = fileload(file->name, static_cast<short>(x->path));
    if (made) object_method(made, KSYM("vis"));
    return 0;
}

void openparent_msg(t_jpatcher *x) {
    if (t_object *parent = jpatcher_getparentpatcher(&x->ob)) object_method(parent, KSYM("vis"));
}

void opentoppatcher_msg(t_jpatcher *x) {
    if (t_object *top = jpatcher_get_toppatcher(&x->ob)) object_method(top, KSYM("vis"));
}

// ---- the ordinary save

// The patcher written as JSON text into h; false when nothing was made.
// The writer's own output is handed over, not copied.
bool patcher_text(t_object *p, t_handle *h) {
    t_dictionary *outer = dictionary_new();
    t_jsonwriter *w = outer ? jsonwriter_new() : nullptr;
    bool ok = false;
    if (w && jpatcher_appendtodictionary(p, outer) == 0) {
        jsonwriter_writedictionary(w, outer);
        t_handle text = nullptr;
        jsonwriter_getoutput(w, &text);
        if (text && *text && **text) {
            jsonwriter_detachoutput(w, 1);
            *h = text;
            ok = true;
        }
    }
    if (w) object_free(w);
    if (outer) object_free(outer);
    return ok;
}

} // namespace

extern "C" {

// ---- file identity

void jpatcher_filename(t_jpatcher *x, const char *name, long path) {
    if (!x) return;
    char buf[512];
    std::strncpy(buf, name ? name : "", sizeof buf - 1);
    buf[sizeof buf - 1] = '\0';
    const t_fourcc own = jpatcher_filetype(&x->ob);
    fileformat_stripsuffix(buf, &own, 1);
    x->path = static_cast<long>(static_cast<short>(path));
    if (x->legacy) {
        t_fourcc types[TYPELIST_SIZE];
        short n = 0;
        typelist_make(types, 1, &n);
        fileformat_stripsuffixnosub(buf, types, n, 0);
        x->name = gensym(buf);
        x->sourcefilename = gensym(name ? name : "");
    } else {
        x->name = gensym(buf);
        x->filename = gensym(name ? name : "");
    }

    // One watcher per file: another file replaces it.
    const std::string key = std::to_string(x->path) + "-" + (name ? name : "");
    t_symbol *keyed = nullptr;
    object_obex_lookupsym(&x->ob, KSYM("##filewatcherkey##"), &keyed);
    if (x->filewatcher && keyed != gensym(key.c_str())) {
        object_free(x->filewatcher);
        x->filewatcher = nullptr;
    }
    if (!x->filewatcher && x->path < 0 && name && *name) {
        x->filewatcher = reinterpret_cast<t_object *>(
            filewatcherclient_new(&x->ob, static_cast<short>(x->path), name));
        object_obex_storesym(&x->ob, KSYM("##filewatcherkey##"), gensym(key.c_str()));
    }
    if (x->filewatcher) filewatcherclient_start(watcher_of(x));
    jpatcher_patchernotify(&x->ob, KSYM("filepath"));
    jpatcher_patchernotify(&x->ob, KSYM("title"));
}

t_fourcc jpatcher_filetype(t_object *p) {
    t_jpatcher *x = jpatcher_cast(p);
    if (!x) return kJSON;
    if (x->snippetinfo) return kSnippet;
    if (jpatcher_is_box_namespace(x)) return kJSON;
    // Another name space: its fifth letter, then its first three in capitals.
    const char *ns = x->classnamespace->name;
    const std::size_t len = std::strlen(ns);
    auto up = [&](std::size_t i) {
        const char c = i < len ? ns[i] : ' ';
        return static_cast<t_fourcc>(static_cast<unsigned char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c));
    };
    const t_fourcc fifth = static_cast<unsigned char>(len > 4 ? ns[4] : ' ');
    return (fifth << 24) | (up(0) << 16) | (up(1) << 8) | up(2);
}

t_symbol *jpatcher_getfiletype(t_object *p) {
    t_symbol *s = nullptr;
    fileformat_filetypetosym(jpatcher_filetype(p), &s);
    return s;
}

t_symbol *jpatcher_getfilepath(t_object *p) {
    t_jpatcher *x = jpatcher_cast(p);
    if (!x) return empty_symbol();
    t_symbol *file = is_empty(x->filename) ? empty_symbol() : x->filename;
    if (x->path >= 0) return file;
    char buf[KIVO_PATH_MAX];
    if (path_topathname(static_cast<short>(x->path), file->name, buf)) return file;
    return gensym(buf);
}

t_symbol *jpatcher_getpathname(t_object *p) {
    t_jpatcher *x = jpatcher_cast(p);
    if (!x || x->path >= 0) return empty_symbol();
    char buf[KIVO_PATH_MAX];
    if (path_topathname(static_cast<short>(x->path), "", buf)) return empty_symbol();
    return gensym(buf);
}

t_symbol *jpatcher_get_windowtitle(t_object *p, long *is_title) {
    t_jpatcher *x = jpatcher_cast(p);
    if (!x) return empty_symbol();
    const bool titled = !is_empty(x->title);
    if (is_title) *is_title = titled ? 1 : 0;
    return titled ? x->title : (x->name ? x->name : empty_symbol());
}

t_object *jpatcher_windowalreadyopen(const char *name, short path) {
    if (!name) return nullptr;
    t_symbol *file = gensym(name);
    for (t_object *p : toplevel_patchers()) {
        t_jpatcher *x = jpatcher_cast(p);
        if (x->box || x->filename != file || (path && x->path != path)) continue;
        if (x->views && x->views->count > 0) return p;
    }
    return nullptr;
}

// ---- dirty state

long jpatcher_getdirty(t_jpatcher *x) {
    if (!x || !x->cansave || x->collective) return 0;
    long found = 0;
    jpatcher_traverse_flags(&x->ob, is_dirty_fun, nullptr, &found, JPATCHER_TRAV_SKIPFILES);
    return found ? 1 : 0;
}

void jpatcher_setdirty(t_object *p, long on) {
    t_jpatcher *x = jpatcher_cast(p);
    if (!x) return;
    if (on) {
        if (x->editserial == x->savedserialnumber) ++x->editserial;
    } else {
        jpatcher_traverse_flags(p, mark_saved_fun, nullptr, nullptr, JPATCHER_TRAV_SKIPFILES);
    }
    jpatcher_updatedirty(p);
}

void jpatcher_updatedirty(t_object *p) {
    for (int depth = 0; p && depth < 256; ++depth) {
        t_jpatcher *x = jpatcher_cast(p);
        if (!x) return;
        jpatcher_patchernotify(p, KSYM("dirty"));
        if (x->path) return;
        p = jpatcher_getparentpatcher(p);
    }
}

// ---- boxes made from a file

void jpatcher_classupdate(t_object *p, t_symbol *filename) {
    t_jpatcher *x = jpatcher_cast(p);
    if (!x || x->collective || is_empty(filename)) return;
    std::vector<Update> found;
    find_updates(p, filename, found, 0);
    for (const Update &u : found) {
        method m = object_getmethod(u.held, KSYM("pupdate"));
        if (!m) continue;
        kivo::obex::from_method<void (*)(t_object *, t_object *, t_object *)>(m)(u.held, u.box, u.sub);
    }
}

void jpatcher_dopupdate(t_symbol *filename) {
    loader_startrecursecheck();
    for (t_object *p : toplevel_patchers()) {
        // An earlier update may have freed a patcher collected here.
        if (jpatcher_cast(p)) jpatcher_classupdate(p, filename);
    }
}

void jpatcher_pupdate(t_object *p, t_object *obj) {
    t_jpatcher *x = jpatcher_cast(p);
    if (!x || !obj) return;
    const short before = path_getdefault();
    if (x->path) path_setdefault(static_cast<short>(x->path), 0);
    eventcontext_begin(0, 0, jpatcher_get_toppatcher(p), nullptr);
    object_method(obj, KSYM("pupdate"), obj, p);
    eventcontext_end();
    path_setdefault(before, 0);
}

void jpatcher_filechanged(t_object *p) {
    t_jpatcher *x = jpatcher_cast(p);
    if (!x) return;
    t_object *holder = x->box ? x->box : x->assoc;
    if (!holder) return;
    t_object *top = jpatcher_get_toppatcher(p);
    // The update frees this patcher: nothing of it is used afterwards.
    jpatcher_pupdate(p, holder);
    if (t_jpatcher *t = jpatcher_cast(top)) {
        if (t->dependencylist) {
            object_free(t->dependencylist);
            t->dependencylist = nullptr;
        }
        object_notify(top, KSYM("pupdate"), nullptr);
    }
}

// ---- a new untitled patcher

t_object *jpatcher_newdefault(void) {
    static long s_untitled = 0;
    auto *p = static_cast<t_object *>(object_new(gensym("nobox"), gensym("jpatcher")));
    t_jpatcher *x = jpatcher_cast(p);
    if (!x) return nullptr;
    const std::string name = "Untitled" + std::to_string(++s_untitled);
    x->name = gensym(name.c_str());
    object_attr_setlong(p, KSYM("locked"), 0);
    object_method(p, KSYM("vis"));
    jpatcher_loadbang(p);
    return p;
}

// ---- the saved dependency list (name, type pairs)

long jpatcher_getnumdependencies(t_object *p) {
    t_jpatcher *x = jpatcher_cast(p);
    if (!x || !x->dependencycache) return 0;
    long ac = 0;
    t_atom *av = nullptr;
    atomarray_getatoms(reinterpret_cast<t_atomarray *>(x->dependencycache), &ac, &av);
    return ac / 2;
}

long jpatcher_getdependencyat(t_object *p, long index, t_symbol **name, t_fourcc *type) {
    if (name) *name = nullptr;
    if (type) *type = 0;
    t_jpatcher *x = jpatcher_cast(p);
    if (!x || !x->dependencycache || index < 0) return -1;
    long ac = 0;
    t_atom *av = nullptr;
    atomarray_getatoms(reinterpret_cast<t_atomarray *>(x->dependencycache), &ac, &av);
    if (2 * index + 1 >= ac) return -1;
    if (name) *name = atom_getsym(av + 2 * index);
    if (type) *type = static_cast<t_fourcc>(atom_getlong(av + 2 * index + 1));
    return 0;
}

long jpatcher_adddependency(t_object *p, t_symbol *name, t_fourcc type) {
    t_jpatcher *x = jpatcher_cast(p);
    if (!x || is_empty(name)) return -1;
    const long n = jpatcher_getnumdependencies(p);
    for (long i = 0; i < n; ++i) {
        t_symbol *s = nullptr;
        t_fourcc t = 0;
        jpatcher_getdependencyat(p, i, &s, &t);
        if (s == name && (type == 0 || t == type)) return -1;
    }
    t_atom pair[2];
    atom_setsym(pair, name);
    atom_setlong(pair + 1, static_cast<t_atom_long>(type));
    if (!x->dependencycache) {
        x->dependencycache = reinterpret_cast<t_object *>(atomarray_new(2, pair));
        return x->dependencycache ? 0 : -1;
    }
    atomarray_appendatoms(reinterpret_cast<t_atomarray *>(x->dependencycache), 2, pair);
    return 0;
}

void jpatcher_restoredependencies(t_object *p, t_dictionary *d) {
    t_jpatcher *x = jpatcher_cast(p);
    if (!x || !d) return;
    if (x->dependencycache) object_free(x->dependencycache);
    x->dependencycache = nullptr;
    long ac = 0;
    t_atom *av = nullptr;
    if (dictionary_getatoms(d, KSYM("dependencies"), &ac, &av)) return;
    for (long i = 0; i < ac; ++i) {
        if (atom_gettype(av + i) != AT_OBJ) continue;
        auto *e = static_cast<t_dictionary *>(atom_getobj(av + i));
        if (!e || !object_classname_compare(&e->ob, KSYM("dictionary"))) continue;
        t_symbol *name = nullptr, *type = nullptr;
        dictionary_getsym(e, KSYM("name"), &name);
        dictionary_getsym(e, KSYM("type"), &type);
        t_fourcc code = 0;
        if (type) fileformat_symtofiletype(type, &code);
        jpatcher_adddependency(p, name, code);
    }
}

// ---- saving

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

    // A saver object may do the whole save, or hand back the bytes to write.
    t_handle text = sysmem_newhandle(0);
    if (x->saver && object_getmethod(x->saver, KSYM("goandsave"))) {
        long done = 0;
        object_method(x->saver, KSYM("goandsave"), p, text, &done);
        if (done) {
            sysmem_freehandle(text);
            return KIVO_ERR_NONE;
        }
    }
    const bool same_file = !is_empty(x->filename) && x->path && std::strcmp(x->filename->name, filename) == 0 &&
                           x->path == path;

    // The ordinary save: the patcher's dictionary as JSON text. Never put
    // an empty text over a patch.
    t_kivo_err err = KIVO_ERR_NONE;
    if (!text || sysmem_handlesize(text) == 0 || !*text || !**text) {
        if (text) sysmem_freehandle(text);
        text = nullptr;
        if (!patcher_text(p, &text)) err = KIVO_ERR_GENERIC;
    }
    x->saveview = nullptr;

    if (same_file && x->filewatcher) filewatcherclient_stop(watcher_of(x));
    if (err == KIVO_ERR_NONE) {
        t_filehandle fh = nullptr;
        err = path_createsysfile(filename, path, jpatcher_filetype(p), &fh);
        if (!err) {
            err = sysfile_writetextfile(fh, text, TEXT_LB_UNIX);
            const t_kivo_err cerr = sysfile_close(fh);
            if (err == KIVO_ERR_NONE) err = cerr;
        }
    }
    if (err) object_error(nullptr, "jpatcher_saveto: error %d writing %s", static_cast<int>(err), filename);
    if (same_file && x->filewatcher) filewatcherclient_start(watcher_of(x));
    if (text) sysmem_freehandle(text);
    if (err) return err;

    x->legacy = 0;
    if (x->editedabstraction || !jpatcher_getparentpatcher(p) || same_file) {
        jpatcher_filename(x, filename, path);
        jpatcher_setdirty(p, 0);
    }
    // The other patchers showing this file hear of the change now; this
    // one, which made it, does not.
    if (same_file && x->filewatcher) {
        t_filewatcherclient *me = watcher_of(x);
        filewatcherclient_setmuted(me, 1);
        filewatchermanager_notify(filewatcherclient_getmanager(me));
        // The notice may have freed this patcher along with its watcher.
        if (jpatcher_cast(p) && x->filewatcher) filewatcherclient_setmuted(me, 0);
    }
    if (jpatcher_cast(p)) x->sourcefilename = nullptr;
    return KIVO_ERR_NONE;
}

void jpatcher_saving_addmethods(t_class *c) {
    if (!c) return;
    class_addmethod(c, as_method(dirty_msg), "dirty", 0);
    class_addmethod(c, as_method(clean_msg), "clean", 0);
    class_addmethod(c, as_method(write_msg), "write", 0);
    class_addmethod(c, as_method(writeas_msg), "writeas", 0);
    class_addmethod(c, as_method(frontcoll_msg), "frontcoll", AT_CANT, 0);
    class_addmethod(c, as_method(setcoll_msg), "setcoll", AT_CANT, 0);
    class_addmethod(c, as_method(filename_msg), "filename", AT_CANT, 0);
    class_addmethod(c, as_method(pupdate_msg), "pupdate", AT_CANT, 0);
    class_addmethod(c, as_method(filechanged_msg), "filechanged", AT_CANT, 0);
    class_addmethod(c, as_method(openoriginal_msg), "openoriginal", AT_CANT, 0);
    class_addmethod(c, as_method(openparent_msg), "openparent", AT_CANT, 0);
    class_addmethod(c, as_method(opentoppatcher_msg), "opentoppatcher", AT_CANT, 0);
    class_addmethod(c, as_method(savetohandle_msg), "savetohandle", AT_CANT, 0);
    class_addmethod(c, as_method(savetohandle_msg), "savehostdevicetohandle", AT_CANT, 0);
    class_addmethod(c, as_method(savetohandle_msg), "buildtohandle", AT_CANT, 0);
    class_addmethod(c, as_method(classupdate_msg), "classupdate", AT_CANT, 0);
    class_addmethod(c, as_method(lockdown_msg), "lockdown", 0);
}

} // extern "C"

/*
 * File watchers: "filechanged" to an owner about a second after a file or
 * folder changed, and shared watchers that relay it to every client of
 * one file.
 *
 * Invariants:
 * - The inotify thread only restarts the watcher's one-second clock; the
 *   comparison and the owner's call run on the main thread when the clock
 *   fires, so a burst of writes ends in one check.
 * - A watched file counts as changed when its modification time (to the
 *   nanosecond) or its size differs from what was last seen: two writes in
 *   the same second are still told apart. A watched folder reports every
 *   change.
 * - A manager lives while it has clients, or while it delivers.
 *
 * States of a watcher: stopped --start--> started --stop--> stopped;
 * started --change--> clock set --1 s without change--> checked (started).
 */
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unordered_map>
#include <vector>

#include "files/path_internal.h"
#include "files/search_internal.h"
#include "kernel/obex_internal.h"
#include "kivo/attr.h"
#include "kivo/class.h"
#include "kivo/dispatch.h"
#include "kivo/files.h"
#include "kivo/obex.h"
#include "kivo/post.h"
#include "kivo/sched.h"
#include "kivo/strutil.h"
#include "platform/inotify.h"
#include "platform/platform.h"

struct filewatcher {
    t_object ob;
    t_object *owner;      // told "filechanged"; not owned
    short path;           // the folder (of the file, or watched itself)
    char name[KIVO_PATH_MAX]; // empty when a folder is watched
    t_atom_long moddate;  // seconds since 1904, as last seen
    int64_t mtime_ns;     // nanoseconds since 1970, as last seen
    int64_t size;         // bytes, as last seen
    t_clock *clock;       // fires filewatcher_update on the main thread
    long token;           // the folder subscription, 0 when none
    char started;
};

struct filewatcherclient {
    t_object ob;
    t_filewatchermanager *manager; // not owned; alive while it has clients
    t_object *owner;               // told "filechanged"; not owned
    char muted;
};

struct filewatchermanager {
    t_object ob;
    t_filewatcher *watcher; // owned
    char started;
    std::vector<t_filewatcherclient *> *clients; // not owning
    std::vector<t_filewatcherclient *> *pending; // non-null while delivering
    std::string *key;
};

using kivo::obex::as_method;

namespace {

constexpr int64_t kSecondsFrom1904To1970 = 2082844800;

t_class *s_watcher_class = nullptr;
t_class *s_manager_class = nullptr;
t_class *s_client_class = nullptr;
std::unordered_map<std::string, t_filewatchermanager *> *s_managers = nullptr;

// The native path of the watched entry; empty when the folder is unknown.
std::string native_of(const t_filewatcher *x) {
    const char *folder = path_nativefolder(x->path);
    if (!folder) return {};
    std::string p = folder;
    if (x->name[0]) {
        if (p.empty() || p.back() != '/') p += '/';
        p += x->name;
    }
    return p;
}

bool read_stamp(const t_filewatcher *x, int64_t *mtime_ns, int64_t *size, t_atom_long *date) {
    std::string p = native_of(x);
    struct stat st;
    if (p.empty() || stat(p.c_str(), &st) != 0) return false;
    *mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    *size = static_cast<int64_t>(st.st_size);
    *date = static_cast<t_atom_long>(st.st_mtim.tv_sec + kSecondsFrom1904To1970);
    return true;
}

// On the inotify thread: only restart the clock.
void on_folder_event(void *arg) {
    auto *x = static_cast<t_filewatcher *>(arg);
    clock_fdelay(x->clock, 1000.0);
}

void filewatcher_update(t_filewatcher *x) {
    if (x->path > 0) return;
    int64_t mtime = 0, size = -1;
    t_atom_long date = 0;
    bool exists = read_stamp(x, &mtime, &size, &date);
    if (!exists) {
        mtime = 0;
        size = -1;
        date = 0;
    }
    if (x->name[0] && mtime == x->mtime_ns && size == x->size) return;
    x->mtime_ns = mtime;
    x->size = size;
    x->moddate = date;
    if (x->owner)
        object_method(x->owner, gensym("filechanged"), x->name,
                      reinterpret_cast<void *>(static_cast<intptr_t>(x->path)));
}

void watcher_free(t_filewatcher *x) {
    if (x->started) filewatcher_stop(x);
    if (x->clock) clock_free(x->clock);
}

void *filewatcher_alloc() {
    if (!s_watcher_class) {
        t_class *c = class_new("filewatcher", nullptr, as_method(watcher_free),
                               sizeof(t_filewatcher), nullptr, AT_CANT, 0);
        if (!c) return nullptr;
        class_addmethod(c, as_method(filewatcher_start), "start", 0);
        class_addmethod(c, as_method(filewatcher_stop), "stop", 0);
        // Readable by anyone, set only by the watcher itself.
        struct Attr {
            const char *name;
            const char *type;
            long offset;
        } attrs[] = {{"path", "filepath", static_cast<long>(offsetof(t_filewatcher, path))},
                     {"moddate", "atom_long", static_cast<long>(offsetof(t_filewatcher, moddate))},
                     {"started", "char", static_cast<long>(offsetof(t_filewatcher, started))}};
        for (const Attr &a : attrs)
            if (t_object *attr = attr_offset_new(a.name, gensym(a.type), ATTR_FLAG_NOUSERSET,
                                                 nullptr, nullptr, a.offset))
                class_addattr(c, attr);
        class_register(gensym("nobox"), c);
        s_watcher_class = c;
    }
    return object_alloc(s_watcher_class);
}

void manager_filechanged(t_filewatchermanager *x, char *, long) {
    filewatchermanager_notify(x);
}

void manager_free(t_filewatchermanager *x) {
    if (x->watcher) object_free(x->watcher);
    if (s_managers && x->key) {
        auto it = s_managers->find(*x->key);
        if (it != s_managers->end() && it->second == x) s_managers->erase(it);
    }
    delete x->clients;
    delete x->pending;
    delete x->key;
}

void client_filechanged(t_filewatcherclient *x) {
    if (!x->muted && x->owner) object_method(x->owner, gensym("filechanged"));
}

void client_free(t_filewatcherclient *x) {
    t_filewatchermanager *m = x->manager;
    if (!m) return;
    std::erase(*m->clients, x);
    if (m->pending) std::erase(*m->pending, x);
    if (m->clients->empty() && !m->pending) object_free(m);
}

} // namespace

extern "C" {

t_filewatcher *filewatcher_new(t_object *owner, short path, const char *name) {
    auto *x = static_cast<t_filewatcher *>(filewatcher_alloc());
    if (!x) return nullptr;
    x->owner = owner;
    x->path = path;
    x->name[0] = '\0';
    x->moddate = 0;
    x->mtime_ns = 0;
    x->size = -1;
    x->token = 0;
    x->started = 0;
    x->clock = nullptr;
    if (name && name[0] && path <= 0 && path_namesfolder(path, name, 1) == 1) {
        short sub = 0;
        if (path_getpath(path, name, &sub) != 0 || !sub) {
            kivo::platform::syslog_write("filewatcher_new: error in path_getpath(), fatal.\n");
            object_free(x);
            return nullptr;
        }
        x->path = sub;
    } else if (name) {
        strncpy_zero(x->name, name, sizeof x->name);
    }
    x->clock = clock_new(x, as_method(filewatcher_update));
    clock_set_mainthread(x->clock, 1);
    return x;
}

void filewatcher_start(t_filewatcher *x) {
    filewatcher_start_result(x);
}

long filewatcher_start_result(t_filewatcher *x) {
    if (!x || x->path > 0) return -1;
    int64_t mtime = 0, size = 0;
    t_atom_long date = 0;
    if (!read_stamp(x, &mtime, &size, &date)) return -1;
    x->mtime_ns = mtime;
    x->size = size;
    x->moddate = date;
    if (x->started) filewatcher_stop(x);
    const char *folder = path_nativefolder(x->path);
    if (!folder) {
        error("filewatcher: %s: can't reference file, error %d", x->name, -43);
        return 0;
    }
    int err = 0;
    x->token = kivo::platform::folderwatch_add(folder, on_folder_event, x, &err);
    if (!x->token) error("filewatcher: %s: can't subscribe to file, error %d", x->name, err);
    x->started = 1;
    return 0;
}

void filewatcher_stop(t_filewatcher *x) {
    if (!x) return;
    if (x->token) kivo::platform::folderwatch_remove(x->token);
    x->token = 0;
    x->started = 0;
    if (x->clock) clock_unset(x->clock);
}

void filewatchermanager_initclass(void) {
    if (s_manager_class) return;
    t_class *c = class_new("filewatchermanager", nullptr, as_method(manager_free),
                           sizeof(t_filewatchermanager), nullptr, AT_CANT, 0);
    if (!c) return;
    class_addmethod(c, as_method(manager_filechanged), "filechanged", AT_CANT, 0);
    class_register(gensym("nobox"), c);
    s_manager_class = c;
    if (!s_managers) s_managers = new std::unordered_map<std::string, t_filewatchermanager *>;
}

void filewatcherclient_initclass(void) {
    if (s_client_class) return;
    t_class *c = class_new("filewatcherclient", nullptr, as_method(client_free),
                           sizeof(t_filewatcherclient), nullptr, AT_CANT, 0);
    if (!c) return;
    class_addmethod(c, as_method(client_filechanged), "filechanged", AT_CANT, 0);
    class_register(gensym("nobox"), c);
    s_client_class = c;
}

t_filewatcherclient *filewatcherclient_new(t_object *owner, short path, const char *name) {
    filewatchermanager_initclass();
    filewatcherclient_initclass();
    if (!s_manager_class || !s_client_class) return nullptr;
    char keybuf[768];
    snprintf_zero(keybuf, sizeof keybuf, "%ld-%s", static_cast<long>(path), name ? name : "");
    std::string key = keybuf;
    t_filewatchermanager *m = nullptr;
    auto it = s_managers->find(key);
    if (it != s_managers->end()) {
        m = it->second;
    } else {
        m = static_cast<t_filewatchermanager *>(object_alloc(s_manager_class));
        if (!m) return nullptr;
        m->started = 0;
        m->pending = nullptr;
        m->clients = new std::vector<t_filewatcherclient *>;
        m->key = new std::string(key);
        m->watcher = filewatcher_new(&m->ob, path, name);
        if (!m->watcher) {
            object_free(m);
            return nullptr;
        }
        s_managers->emplace(key, m);
    }
    auto *x = static_cast<t_filewatcherclient *>(object_alloc(s_client_class));
    if (!x) {
        if (m->clients->empty() && !m->pending) object_free(m);
        return nullptr;
    }
    x->manager = m;
    x->owner = owner;
    x->muted = 0;
    (m->pending ? m->pending : m->clients)->push_back(x);
    return x;
}

void filewatcherclient_start(t_filewatcherclient *x) {
    if (!x || !x->manager || x->manager->started) return;
    x->manager->started = filewatcher_start_result(x->manager->watcher) == 0 ? 1 : 0;
}

void filewatcherclient_stop(t_filewatcherclient *x) {
    if (!x || !x->manager || !x->manager->started) return;
    filewatcher_stop(x->manager->watcher);
    x->manager->started = 0;
}

void filewatcherclient_free(t_filewatcherclient *x) {
    if (x) object_free(x);
}

void filewatcherclient_setmuted(t_filewatcherclient *x, long muted) {
    if (x) x->muted = muted ? 1 : 0;
}

t_filewatchermanager *filewatcherclient_getmanager(t_filewatcherclient *x) {
    return x ? x->manager : nullptr;
}

void filewatchermanager_notify(t_filewatchermanager *x) {
    if (!x || x->pending) return;
    x->pending = new std::vector<t_filewatcherclient *>;
    // Clients may be freed while they hear the news; ask the list each time.
    std::vector<t_filewatcherclient *> snapshot = *x->clients;
    for (t_filewatcherclient *c : snapshot) {
        if (std::find(x->clients->begin(), x->clients->end(), c) == x->clients->end()) continue;
        object_method(c, gensym("filechanged"));
    }
    x->clients->insert(x->clients->end(), x->pending->begin(), x->pending->end());
    delete x->pending;
    x->pending = nullptr;
    if (x->clients->empty()) object_free(x);
}

// ---- internal

long filewatchermanager_count(void) {
    return s_managers ? static_cast<long>(s_managers->size()) : 0;
}

} // extern "C"

/*
 * Other processes: named semaphores and shared memory (POSIX), launching
 * programs and watching them until they end.
 *
 *   - Every semaphore and shared-memory call clears its out value first
 *     and leaves it null when it fails.
 *   - The launch table holds every child this process launched, so that a
 *     child that has ended is reaped (and then reported as ended) rather
 *     than kept as a zombie that signal 0 still finds. It is locked: the
 *     watcher threads ask about their processes while the main thread
 *     launches.
 *   - A watcher's thread reads `stop` under the watcher's mutex and never
 *     touches the watcher after calling its callback, so the callback may
 *     free the watcher.
 *
 * Watcher:  running --process ended--> callback --> thread ends
 *           running --free (stop)--> thread ends (no callback)
 */
#include <fcntl.h>
#include <semaphore.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <pthread.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include <juce_gui_basics/juce_gui_basics.h>

#include "kernel/obex_internal.h"
#include "kivo/attr.h"
#include "kivo/commonsyms.h"
#include "kivo/post.h"
#include "kivo/sysinfo.h"
#include "kivo/sysmem.h"
#include "platform/process.h"
#include "runtime/process_internal.h"

using kivo::obex::as_method;

namespace {

// The argument pieces that follow the executable path.
constexpr size_t kMaxLaunchArgs = 8;
// How often a watcher looks at its process, in seconds.
constexpr double kWatchInterval = 0.1;

// Process identifier -> identifier of the launch; see the invariants.
std::mutex s_launch_mutex;
std::unordered_map<t_sysprocess_id, uint32_t> *s_launch_table = nullptr;

t_class *s_watcher_class = nullptr;
std::once_flag s_watcher_once;

bool launched(t_sysprocess_id id) {
    std::lock_guard<std::mutex> lock(s_launch_mutex);
    return s_launch_table && s_launch_table->count(id);
}

void launch_forget(t_sysprocess_id id) {
    std::lock_guard<std::mutex> lock(s_launch_mutex);
    if (s_launch_table) s_launch_table->erase(id);
}

void launch_note(t_sysprocess_id id) {
    std::lock_guard<std::mutex> lock(s_launch_mutex);
    if (!s_launch_table) s_launch_table = new std::unordered_map<t_sysprocess_id, uint32_t>;
    (*s_launch_table)[id] = static_cast<uint32_t>(id);
}

// glibc keeps a semaphore named "/x" in /dev/shm/sem.x.
std::string semaphore_file(const char *name) {
    while (*name == '/') ++name;
    return std::string("/dev/shm/sem.") + name;
}

void *watcher_threadproc(t_sysprocesswatcher *x) {
    systhread_mutex_lock(x->mutex);
    const t_sysprocess_id pid = static_cast<t_sysprocess_id>(x->pid);
    const t_sysprocesswatcher_fn callback = x->callback;
    void *arg = x->arg;
    while (callback && !x->stop) {
        systhread_mutex_unlock(x->mutex);
        const bool running = sysprocess_isrunning(pid) != 0;
        systhread_mutex_lock(x->mutex);
        if (!running) {
            if (x->stop) break;
            systhread_mutex_unlock(x->mutex);
            callback(arg); // may free the watcher: x is not touched again
            return nullptr;
        }
        if (!x->stop) systhread_cond_timedwait(x->cond, x->mutex, kWatchInterval);
    }
    systhread_mutex_unlock(x->mutex);
    return nullptr;
}

void watcher_initclass_once() {
    t_class *c = class_new("sysprocesswatcher", as_method(sysprocesswatcher_new),
                           as_method(sysprocesswatcher_free),
                           static_cast<long>(sizeof(t_sysprocesswatcher)), nullptr, AT_CANT, 0);
    if (!c) return;
    if (t_object *a = attr_offset_new("pid", _sym(long), 0, nullptr, nullptr,
                                      static_cast<long>(offsetof(t_sysprocesswatcher, pid))))
        class_addattr(c, a);
    class_register(_sym(nobox), c);
    s_watcher_class = c;
}

} // namespace

std::vector<std::string> sysprocess_splitargs(const char *text, std::string *skipped) {
    std::vector<std::string> pieces;
    if (skipped) skipped->clear();
    if (!text) return pieces;
    const char *p = text;
    while (*p == ' ') ++p;
    if (!*p) {
        pieces.emplace_back(); // an empty text still passes one (empty) argument
        return pieces;
    }
    while (*p) {
        if (pieces.size() == kMaxLaunchArgs) {
            if (skipped) *skipped = p;
            break;
        }
        const char *end = std::strchr(p, ' ');
        if (!end) end = p + std::strlen(p);
        pieces.emplace_back(p, static_cast<size_t>(end - p));
        p = end;
        while (*p == ' ') ++p;
    }
    return pieces;
}

extern "C" {

// ---- named semaphores

t_kivo_err syssem_new(t_syssem *psem, const char *name, long create, long, long initialcount) {
    if (!psem) return KIVO_ERR_GENERIC;
    *psem = nullptr;
    if (!name) return KIVO_ERR_GENERIC;
    sem_t *sem;
    if (create) {
        if (initialcount < 0 || initialcount > SEM_VALUE_MAX) return KIVO_ERR_GENERIC;
        sem_unlink(name);
        sem = sem_open(name, O_CREAT, 0666, static_cast<unsigned>(initialcount));
        // For every user whatever the umask; a failure here leaves the
        // semaphore usable by its own user.
        if (sem != SEM_FAILED) chmod(semaphore_file(name).c_str(), 0666);
    } else {
        sem = sem_open(name, 0);
    }
    if (sem == SEM_FAILED) return KIVO_ERR_GENERIC;
    *psem = sem;
    return KIVO_ERR_NONE;
}

t_kivo_err syssem_create(t_syssem *psem, const char *name, long unused, long initialcount) {
    return syssem_new(psem, name, 1, unused, initialcount);
}

t_kivo_err syssem_open(t_syssem *psem, const char *name) {
    return syssem_new(psem, name, 0, 0, 0);
}

t_kivo_err syssem_close(t_syssem sem) {
    if (!sem) return KIVO_ERR_NONE;
    return sem_close(static_cast<sem_t *>(sem)) == 0 ? KIVO_ERR_NONE : KIVO_ERR_GENERIC;
}

t_kivo_err syssem_wait(t_syssem sem) {
    if (!sem) return KIVO_ERR_GENERIC;
    int r;
    while ((r = sem_wait(static_cast<sem_t *>(sem))) != 0 && errno == EINTR) {
    }
    return r == 0 ? KIVO_ERR_NONE : KIVO_ERR_GENERIC;
}

t_kivo_err syssem_trywait(t_syssem sem) {
    if (!sem) return KIVO_ERR_GENERIC;
    return sem_trywait(static_cast<sem_t *>(sem)) == 0 ? KIVO_ERR_NONE : KIVO_ERR_GENERIC;
}

t_kivo_err syssem_post(t_syssem sem) {
    if (!sem) return KIVO_ERR_GENERIC;
    return sem_post(static_cast<sem_t *>(sem)) == 0 ? KIVO_ERR_NONE : KIVO_ERR_GENERIC;
}

// ---- named shared memory

t_kivo_err sysshmem_alloc(t_sysshmem **pshm, const char *name, long size, long flags) {
    if (!pshm) return KIVO_ERR_GENERIC;
    *pshm = nullptr;
    if (!name) return KIVO_ERR_GENERIC;
    const bool readonly = (flags & SYSSHMEM_FLAGS_READONLY) != 0;
    const int access = readonly ? O_RDONLY : O_RDWR;
    const bool create = size != 0;
    int fd;
    if (create) {
        if (size < 0) return KIVO_ERR_GENERIC;
        shm_unlink(name);
        fd = shm_open(name, access | O_CREAT | O_EXCL, 0666);
        if (fd >= 0) fchmod(fd, 0666); // for every user, whatever the umask
    } else {
        fd = shm_open(name, access, 0);
    }
    if (fd < 0) return KIVO_ERR_GENERIC;

    struct stat st;
    void *address = MAP_FAILED;
    bool ok = (!create || ftruncate(fd, static_cast<off_t>(size)) == 0) && fstat(fd, &st) == 0 &&
              st.st_size > 0;
    if (ok) {
        address = mmap(nullptr, static_cast<size_t>(st.st_size),
                       readonly ? PROT_READ : PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        ok = address != MAP_FAILED;
    }
    auto *rec = ok ? reinterpret_cast<t_sysshmem *>(sysmem_newptr(sizeof(t_sysshmem))) : nullptr;
    if (!rec) {
        if (address != MAP_FAILED) munmap(address, static_cast<size_t>(st.st_size));
        close(fd);
        // A half-made object would only confuse the next opener.
        if (create) shm_unlink(name);
        return KIVO_ERR_GENERIC;
    }
    rec->size = static_cast<t_atom_long>(st.st_size);
    rec->address = address;
    rec->fd = fd;
    *pshm = rec;
    return KIVO_ERR_NONE;
}

t_kivo_err sysshmem_open(t_sysshmem **pshm, const char *name, long flags) {
    return sysshmem_alloc(pshm, name, 0, flags);
}

t_kivo_err sysshmem_close(t_sysshmem *shm) {
    if (!shm) return KIVO_ERR_GENERIC;
    bool ok = munmap(shm->address, static_cast<size_t>(shm->size)) == 0;
    ok = close(static_cast<int>(shm->fd)) == 0 && ok;
    sysmem_freeptr(shm);
    return ok ? KIVO_ERR_NONE : KIVO_ERR_GENERIC;
}

t_atom_long sysshmem_getsize(t_sysshmem *shm) {
    return shm ? shm->size : 0;
}

void *sysshmem_getptr(t_sysshmem *shm) {
    return shm ? shm->address : nullptr;
}

// ---- processes

t_sysprocess_id sysprocess_launch(const char *path, const char *cmdline) {
    if (!path || !*path) return 0;
    std::string skipped;
    std::vector<std::string> argv = sysprocess_splitargs(cmdline, &skipped);
    if (!skipped.empty()) error("sysprocess_launch: too many arguments, skipping %s\n", skipped.c_str());
    argv.insert(argv.begin(), std::string(path));
    int err = 0;
    const pid_t pid = kivo::platform::process_spawn(path, argv, &err);
    if (!pid) {
        error("sysprocess_launch: cannot start \"%s\": %s", path, std::strerror(err));
        return 0;
    }
    launch_note(pid);
    return pid;
}

long sysprocess_isrunning(t_sysprocess_id id) {
    if (id <= 0 || id > INT_MAX) return 0;
    const auto pid = static_cast<pid_t>(id);
    if (launched(id)) {
        if (kivo::platform::process_child_running(pid)) return 1;
        launch_forget(id);
        return 0;
    }
    return kivo::platform::process_alive(pid) ? 1 : 0;
}

// No window system here offers to bring another program to the front.
t_kivo_err sysprocess_activate(t_sysprocess_id) {
    return KIVO_ERR_GENERIC;
}

t_sysprocess_id sysprocess_getid(const char *path) {
    if (!path || !*path) return 0;
    struct stat st;
    if (stat(path, &st) != 0) return 0;
    for (pid_t pid : kivo::platform::process_list()) {
        const std::string exe = "/proc/" + std::to_string(pid) + "/exe";
        if (kivo::platform::same_file(path, exe) && kivo::platform::process_alive(pid)) return pid;
    }
    return 0;
}

t_sysprocess_id sysprocess_getcurrentid(void) {
    return static_cast<t_sysprocess_id>(getpid());
}

long sysprocess_isfront(void) {
    return juce::Process::isForegroundProcess() ? 1 : 0;
}

t_kivo_err sysprocess_getpath(t_sysprocess_id id, char **path) {
    if (!path) return KIVO_ERR_GENERIC;
    if (id <= 0 || id > INT_MAX) return KIVO_ERR_GENERIC;
    const std::string exe = kivo::platform::process_exe_path(static_cast<pid_t>(id));
    if (exe.empty()) return KIVO_ERR_GENERIC;
    char *block = sysmem_newptr(exe.size() + 1);
    if (!block) return KIVO_ERR_GENERIC;
    std::memcpy(block, exe.c_str(), exe.size() + 1);
    *path = block;
    return KIVO_ERR_NONE;
}

long sysprocess_fitsarch(t_sysprocess_id id) {
    if (id <= 0 || id > INT_MAX) return 0;
    constexpr long kArch64 = 0x1000000;
    return kivo::platform::process_exe_bits(static_cast<pid_t>(id)) == 64 ? kArch64 : 0;
}

// ---- watchers

void sysprocesswatcher_initclass(void) {
    std::call_once(s_watcher_once, watcher_initclass_once);
}

t_sysprocesswatcher *sysprocesswatcher_new(t_sysprocess_id id, t_sysprocesswatcher_fn callback,
                                           void *arg) {
    sysprocesswatcher_initclass();
    if (!s_watcher_class) return nullptr;
    auto *x = static_cast<t_sysprocesswatcher *>(object_alloc(s_watcher_class));
    if (!x) return nullptr;
    x->pid = id;
    x->callback = callback;
    x->arg = arg;
    if (systhread_mutex_new(&x->mutex, SYSTHREAD_MUTEX_NORMAL) != 0 ||
        systhread_cond_new(&x->cond, 0) != 0) {
        object_free(x);
        return nullptr;
    }
    if (long err = systhread_create(as_method(watcher_threadproc), x, 0, 0, 0, &x->thread)) {
        error("sysprocesswatcher: thread could not be created: %ld", err);
        x->thread = nullptr;
        object_free(x);
        return nullptr;
    }
    return x;
}

void sysprocesswatcher_free(t_sysprocesswatcher *x) {
    if (!x) return;
    if (x->thread) {
        systhread_mutex_lock(x->mutex);
        x->stop = 1;
        systhread_cond_signal(x->cond);
        systhread_mutex_unlock(x->mutex);
        // Freed from its own callback: the thread ends by itself right after.
        if (pthread_equal(reinterpret_cast<pthread_t>(x->thread),
                          reinterpret_cast<pthread_t>(systhread_self())))
            systhread_detach(x->thread);
        else
            systhread_join(x->thread, nullptr);
        x->thread = nullptr;
    }
    if (x->cond) systhread_cond_free(x->cond);
    if (x->mutex) systhread_mutex_free(x->mutex);
    x->cond = nullptr;
    x->mutex = nullptr;
}

} // extern "C"

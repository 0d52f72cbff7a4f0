/*
 * Background tasks: requests run one by one on four long-lived threads.
 *
 *   - A request is in at most one of two lists, queued or executing, and
 *     the index maps each listed request to its place. Both lists, the
 *     index and `exiting` are guarded by the service mutex.
 *   - A request is freed only after it has left both lists (by its worker
 *     after the completion function, by a cancel while queued, or by the
 *     shutdown while still queued). Cancel and join therefore never read a
 *     request they are handed: they only look its address up in the index
 *     and wait on `done` until it is gone.
 *   - Idle workers wait on `work`; nothing polls.
 *   - A method call's record lives in the request's own block, so the
 *     targets that the per-object operations compare stay readable for as
 *     long as the request is listed.
 *
 * Request states:  queued(1) --worker takes it--> executing(2)
 *                  --task function returns--> done(0) --completion, then
 *                  leaves the list--> freed.  queued --cancel/terminate--> freed.
 */
#include <pthread.h>

#include <condition_variable>
#include <list>
#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>

#include "kernel/obex_internal.h"
#include "kivo/atom.h"
#include "kivo/dispatch.h"
#include "kivo/parallel.h"
#include "kivo/post.h"
#include "kivo/sysmem.h"
#include "runtime/parallel_internal.h"

using kivo::obex::as_method;

namespace {

constexpr int kThreads = 4;

using List = std::list<t_backgroundtask_request *>;

struct Place {
    bool executing;
    List::iterator it;
};

struct Service {
    std::mutex mutex;
    std::condition_variable work; // a request was queued, or the service stops
    std::condition_variable done; // a request left the lists
    List queued;
    List executing;
    std::unordered_map<const t_backgroundtask_request *, Place> index;
    bool exiting = false;
    bool started = false;            // backgroundtask_init has run
    t_systhread threads[kThreads] = {};
    long running = 0;                // threads started and not joined
};

// Never freed: late callers after the shutdown still find a valid lock.
Service &service() {
    static Service *s = new Service;
    return *s;
}

std::once_flag s_init_once;

// The request the calling worker thread is running, so that a task that
// cancels or joins its own request gets an answer instead of waiting for
// itself for ever.
thread_local const t_backgroundtask_request *tl_current = nullptr;

// The record of backgroundtask_execute_method, kept in the request's block.
struct MethodCall {
    t_object *target;
    t_symbol *selector;
    long argc;
    t_atom *argv;            // copy (pointer block) or null
    t_object *cbtarget;
    t_symbol *cbselector;
    long cbargc;
    t_atom *cbargv;          // copy (pointer block) or null
};

struct MethodRequest {
    t_backgroundtask_request req; // first: the block is freed through it
    MethodCall call;
};

void method_task(t_object *, void *value, t_backgroundtask_request *);
void method_completion(t_object *, void *value, t_backgroundtask_request *);

bool is_method_call(const t_backgroundtask_request *r) {
    return r->task == method_task;
}

void set_state(t_backgroundtask_request *r, long state) {
    __atomic_store_n(&r->state, state, __ATOMIC_RELEASE);
}

void method_call_clear(MethodCall *call) {
    sysmem_freeptr(call->argv);
    sysmem_freeptr(call->cbargv);
    call->argv = call->cbargv = nullptr;
    call->argc = call->cbargc = 0;
}

// Frees a request that never ran, with its record's atoms: nothing is sent.
void request_discard(t_backgroundtask_request *r) {
    if (is_method_call(r)) method_call_clear(static_cast<MethodCall *>(r->value));
    sysmem_freeptr(r);
}

bool belongs_to(const t_backgroundtask_request *r, const t_object *obj) {
    if (r->object == obj) return true;
    if (!is_method_call(r)) return false;
    const auto *call = static_cast<const MethodCall *>(r->value);
    return call->target == obj || call->cbtarget == obj;
}

// Under the mutex.
void unlist(Service &s, t_backgroundtask_request *r) {
    auto found = s.index.find(r);
    if (found == s.index.end()) return;
    (found->second.executing ? s.executing : s.queued).erase(found->second.it);
    s.index.erase(found);
}

void *worker_threadproc(void *) {
    Service &s = service();
    std::unique_lock<std::mutex> lock(s.mutex);
    for (;;) {
        s.work.wait(lock, [&] { return s.exiting || !s.queued.empty(); });
        if (s.exiting) break;
        t_backgroundtask_request *r = s.queued.front();
        s.queued.pop_front();
        s.executing.push_back(r);
        s.index[r] = Place{true, std::prev(s.executing.end())};
        set_state(r, BACKGROUNDTASK_EXECUTING);
        lock.unlock();

        tl_current = r;
        if (r->task) r->task(r->object, r->value, r);
        set_state(r, BACKGROUNDTASK_DONE);
        if (r->completion) r->completion(r->object, r->value, r);
        tl_current = nullptr;

        lock.lock();
        unlist(s, r);
        sysmem_freeptr(r);
        s.done.notify_all();
    }
    return nullptr;
}

void start_service() {
    Service &s = service();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.started = true;
    for (t_systhread &t : s.threads) {
        long err = systhread_create(as_method(worker_threadproc), nullptr, 0, 0, 0, &t);
        if (err) {
            error("backgroundtask thread could not be created: %d", static_cast<int>(err));
            t = nullptr;
        } else {
            ++s.running;
        }
    }
}

// Waits, under the lock, until none of the given requests is listed.
void wait_gone(Service &s, std::unique_lock<std::mutex> &lock,
               const std::vector<const t_backgroundtask_request *> &which) {
    s.done.wait(lock, [&] {
        for (const auto *r : which)
            if (s.index.count(r)) return false;
        return true;
    });
}

void method_task(t_object *, void *value, t_backgroundtask_request *) {
    auto *call = static_cast<MethodCall *>(value);
    object_method_typed(call->target, call->selector, call->argc, call->argv, nullptr);
}

void method_completion(t_object *, void *value, t_backgroundtask_request *) {
    auto *call = static_cast<MethodCall *>(value);
    if (call->cbtarget && call->cbselector)
        object_method_typed(call->cbtarget, call->cbselector, call->cbargc, call->cbargv, nullptr);
    method_call_clear(call);
}

// A copy of n atoms in a new pointer block; true with null for none.
bool copy_atoms(long n, const t_atom *av, t_atom **out) {
    *out = nullptr;
    if (n <= 0 || !av) return true;
    *out = reinterpret_cast<t_atom *>(sysmem_newptr(static_cast<t_ptr_size>(n) * sizeof(t_atom)));
    if (!*out) return false;
    sysmem_copyptr(av, *out, static_cast<t_ptr_size>(n) * sizeof(t_atom));
    return true;
}

} // namespace

long backgroundtask_threadcount() {
    Service &s = service();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.running;
}

extern "C" {

void backgroundtask_init(void) {
    std::call_once(s_init_once, start_service);
}

t_kivo_err backgroundtask_makerequest(t_backgroundtask_request *req) {
    if (!req) return KIVO_ERR_GENERIC;
    backgroundtask_init();
    Service &s = service();
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        // Without a thread nothing would ever run it, and a joiner would
        // wait for ever; a request already listed would be freed twice.
        if (s.exiting || s.running == 0 || s.index.count(req)) return KIVO_ERR_GENERIC;
        s.queued.push_back(req);
        s.index[req] = Place{false, std::prev(s.queued.end())};
    }
    s.work.notify_one();
    return KIVO_ERR_NONE;
}

t_kivo_err backgroundtask_execute(t_object *obj, void *value, t_backgroundtask_fn task,
                                  t_backgroundtask_fn completion, t_backgroundtask_request **req,
                                  void *userdata) {
    if (req) *req = nullptr;
    auto *r = reinterpret_cast<t_backgroundtask_request *>(
        sysmem_newptrclear(sizeof(t_backgroundtask_request)));
    if (!r) return KIVO_ERR_GENERIC;
    r->userdata = userdata;
    r->state = BACKGROUNDTASK_QUEUED;
    r->object = obj;
    r->value = value;
    r->task = task;
    r->completion = completion;
    // Handed out first: the request may run, and be freed, before
    // makerequest returns.
    if (req) *req = r;
    if (backgroundtask_makerequest(r) != KIVO_ERR_NONE) {
        if (req) *req = nullptr;
        sysmem_freeptr(r);
        return KIVO_ERR_GENERIC;
    }
    return KIVO_ERR_NONE;
}

t_kivo_err backgroundtask_execute_method(t_object *obj, t_symbol *meth, long ac, const t_atom *av,
                                         t_object *cbobj, t_symbol *cbmeth, long cbac,
                                         const t_atom *cbav, t_backgroundtask_request **req,
                                         void *userdata) {
    if (req) *req = nullptr;
    if (!obj || !meth) return KIVO_ERR_GENERIC;
    auto *m = reinterpret_cast<MethodRequest *>(sysmem_newptrclear(sizeof(MethodRequest)));
    if (!m) return KIVO_ERR_GENERIC;
    MethodCall &call = m->call;
    call.target = obj;
    call.selector = meth;
    call.cbtarget = cbobj;
    call.cbselector = cbmeth;
    if (!copy_atoms(ac, av, &call.argv) || !copy_atoms(cbac, cbav, &call.cbargv)) {
        method_call_clear(&call);
        sysmem_freeptr(m);
        return KIVO_ERR_GENERIC;
    }
    call.argc = call.argv ? ac : 0;
    call.cbargc = call.cbargv ? cbac : 0;

    t_backgroundtask_request *r = &m->req;
    r->userdata = userdata;
    r->state = BACKGROUNDTASK_QUEUED;
    r->object = obj;
    r->value = &m->call;
    r->task = method_task;
    r->completion = method_completion;
    if (req) *req = r;
    if (backgroundtask_makerequest(r) != KIVO_ERR_NONE) {
        if (req) *req = nullptr;
        request_discard(r);
        return KIVO_ERR_GENERIC;
    }
    return KIVO_ERR_NONE;
}

long backgroundtask_cancel(t_backgroundtask_request *req) {
    Service &s = service();
    std::unique_lock<std::mutex> lock(s.mutex);
    if (!s.started) return 0;
    auto found = s.index.find(req);
    if (found != s.index.end() && !found->second.executing) {
        unlist(s, req);
        lock.unlock();
        s.done.notify_all();
        request_discard(req);
        return 0;
    }
    if (found != s.index.end() && req != tl_current) wait_gone(s, lock, {req});
    return 1;
}

t_kivo_err backgroundtask_join(t_backgroundtask_request *req) {
    Service &s = service();
    std::unique_lock<std::mutex> lock(s.mutex);
    if (!s.started) return 0;
    if (!s.index.count(req)) return KIVO_ERR_GENERIC;
    if (req == tl_current) return KIVO_ERR_GENERIC; // would wait for itself
    wait_gone(s, lock, {req});
    return KIVO_ERR_NONE;
}

void backgroundtask_purge_object(t_object *obj) {
    Service &s = service();
    std::vector<t_backgroundtask_request *> removed;
    std::vector<const t_backgroundtask_request *> running;
    std::unique_lock<std::mutex> lock(s.mutex);
    if (!s.started) return;
    for (auto it = s.queued.begin(); it != s.queued.end();) {
        t_backgroundtask_request *r = *it++;
        if (belongs_to(r, obj)) {
            unlist(s, r);
            removed.push_back(r);
        }
    }
    for (t_backgroundtask_request *r : s.executing)
        if (r != tl_current && belongs_to(r, obj)) running.push_back(r);
    lock.unlock();
    if (!removed.empty()) s.done.notify_all();
    for (t_backgroundtask_request *r : removed) request_discard(r);
    if (running.empty()) return;
    lock.lock();
    wait_gone(s, lock, running);
}

void backgroundtask_join_object(t_object *obj) {
    Service &s = service();
    std::vector<const t_backgroundtask_request *> which;
    std::unique_lock<std::mutex> lock(s.mutex);
    if (!s.started) return;
    for (const List *l : {&s.queued, &s.executing})
        for (t_backgroundtask_request *r : *l)
            if (r != tl_current && belongs_to(r, obj)) which.push_back(r);
    if (!which.empty()) wait_gone(s, lock, which);
}

void backgroundtask_terminate(void) {
    Service &s = service();
    t_systhread threads[kThreads];
    List leftover;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (s.exiting) return;
        s.exiting = true;
        for (int i = 0; i < kThreads; ++i) {
            threads[i] = s.threads[i];
            s.threads[i] = nullptr;
        }
    }
    s.work.notify_all();
    const t_systhread self = systhread_self();
    for (t_systhread t : threads) {
        if (!t) continue;
        // A task that shuts the application down cannot wait for itself.
        if (pthread_equal(reinterpret_cast<pthread_t>(t), reinterpret_cast<pthread_t>(self)))
            systhread_detach(t);
        else
            systhread_join(t, nullptr);
    }
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.running = 0;
        // Requests still queued are not run; their blocks go with them.
        leftover.splice(leftover.end(), s.queued);
        for (t_backgroundtask_request *r : leftover) s.index.erase(r);
    }
    s.done.notify_all();
    for (t_backgroundtask_request *r : leftover) request_discard(r);
}

} // extern "C"

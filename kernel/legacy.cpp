/*
 * The older class interface, freeobject and the small retired entries.
 *
 * - Installation records form a stack (s_util_kivo_install is the top);
 *   every definition call acts on the top record, c_install pops it. An
 *   external loaded while another class is being defined pushes its own.
 * - Record life: pushed (c_setup) -> named (c_new or setup; setup may set
 *   `abort`) -> methods collected (addmess...) -> installed and popped
 *   (c_install: registered, or dropped when aborted).
 * - A class made here has a message list without the class marker; entry 0
 *   still names the class, so object_class works on its objects.
 * - Everything here but freeobject's counter runs on the main thread.
 *
 * freeobject frees in one fixed order: the last reference goes, its console
 * lines and "willfree" go, the registration ends (with "free"), then the
 * free functions, the clock and qelem purges and the store, then a
 * scheduler the object owns, the inlets and outlets, and the reference of
 * the event context. A box object's free functions, purges and store
 * clean-up run inside its scheduler's timer critical region, so none of its
 * clocks runs meanwhile.
 */
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "files/files_internal.h"
#include "kernel/obex_internal.h"
#include "kernel/registry_internal.h"
#include "kivo/commonsyms.h"
#include "kivo/dispatch.h"
#include "kivo/eventcontext.h"
#include "kivo/hashtab.h"
#include "kivo/post.h"
#include "kivo/strutil.h"
#include "kivo/sysmem.h"
#include "kivo/systhread.h"
#include "kivo/qelem.h"
#include "kivo/sched.h"
#include "runtime/sched_internal.h"

t_object g_kivo_qnewobj;
short g_kivo_version = (0 << 8) | (1 << 4) | 0;

namespace {

constexpr t_atom_long kEntriesStep = 10;

t_install *s_util_kivo_install = nullptr;
std::atomic<int32_t> s_freeobject_entercount{0};
t_atom_long s_support_event_serialno = 0;
t_atom_long s_support_event_hipri_serialno = 0;
short g_kivo_noworrymove = 0;

t_messlist *entries_of(t_install *x) {
    return reinterpret_cast<t_messlist *>(*x->entries);
}

// Reads method types up to and including the first 0; the last of the
// eight type bytes always stays 0, as every message-list entry needs.
void read_types(char type[8], int first, va_list ap) {
    std::memset(type, 0, 8);
    int t = first;
    for (int n = 0; t != 0 && n < 7; ++n) {
        type[n] = static_cast<char>(t);
        if (n < 6) t = va_arg(ap, int);
    }
}

void add_entry(method f, t_symbol *s, int first, va_list ap) {
    if (!s_util_kivo_install || !s) return;
    t_messlist *entry = install_add(s_util_kivo_install);
    if (!entry) return;
    entry->sym = s;
    entry->fun = f;
    read_types(entry->type, first, ap);
}

void add_entry_types(method f, t_symbol *s, char type) {
    if (!s_util_kivo_install) return;
    t_messlist *entry = install_add(s_util_kivo_install);
    if (!entry) return;
    entry->sym = s;
    entry->fun = f;
    entry->type[0] = type;
}

void template_clear_from_messlist(t_class *c) {
    c->messlist = nullptr;
    c->attributes = nullptr;
    c->extra = nullptr;
    c->obexoffset = 0;
    c->methods = nullptr;
    c->attr_get_cache = nullptr;
    c->attr_gettarget_cache = nullptr;
    c->attr_getnames_cache = nullptr;
    c->superclass = nullptr;
}

t_class *class_record_new() {
    auto *c = reinterpret_cast<t_class *>(sysmem_newptr(sizeof(t_class)));
    if (c) return c;
    g_kivo_memislow = 1;
    return reinterpret_cast<t_class *>(sysmem_newptr(sizeof(t_class)));
}

// Registers a copy of c under each alias of the record.
void register_aliases(t_install *record, t_class *c) {
    t_symbol *name_space = (c->flags & CLASS_FLAG_BOX) ? _sym(box) : _sym(nobox);
    for (t_install_alias *a = record->aliases; a; a = a->next) {
        auto *copy = reinterpret_cast<t_class *>(sysmem_newptr(sizeof(t_class)));
        if (!copy) {
            hate("out of memory while creating a class");
            return;
        }
        *copy = *c;
        copy->name = a->name;
        copy->flags |= CLASS_FLAG_ALIAS;
        if (class_doregister(name_space, copy) != KIVO_ERR_NONE) sysmem_freeptr(copy);
    }
}

// The file name without its external-bundle suffix; the empty symbol for
// none.
t_symbol *stripped_file(t_symbol *file) {
    char name[512];
    strncpy_zero(name, file ? file->name : "", sizeof name);
    class_stripsuffix(name);
    return gensym(name);
}

void pop_record() {
    t_install *top = s_util_kivo_install;
    if (!top) return;
    s_util_kivo_install = top->next;
    install_free(top);
}

// Frees the records of one header list (outlets or inlets) from the head.
// Each record unlinks itself when freed; one that does not is stepped over
// by its `next` word, which inlets and outlets keep at the same place.
void free_header_list(void **head) {
    while (*head) {
        auto *record = static_cast<kivo::obex::InletShape *>(*head);
        void *next = record->next;
        freeobject(reinterpret_cast<t_object *>(record));
        if (*head == record) *head = next;
    }
}

} // namespace

extern "C" {

t_messlist *qnewobj_find(t_symbol *s, long from) {
    t_messlist *list = g_kivo_qnewobj.messlist;
    if (!list || !s) return nullptr;
    for (long i = 0; list[i].sym; ++i)
        if (i >= from && list[i].sym == s) return &list[i];
    return nullptr;
}

// ---- defining a class

void c_setup(t_messlist *newmess, t_symbol *classname, short loadingpath, t_symbol *filename) {
    auto *x = reinterpret_cast<t_install *>(sysmem_newptrclear(sizeof(t_install)));
    if (!x) {
        hate("out of memory while creating a class");
        return;
    }
    x->entries = sysmem_newhandle(kEntriesStep * sizeof(t_messlist));
    if (!x->entries) {
        sysmem_freeptr(x);
        hate("out of memory while creating a class");
        return;
    }
    x->capacity = kEntriesStep;
    x->classtemplate.name = classname;
    x->classtemplate.filename = filename;
    x->classtemplate.newmess = newmess;
    x->loading_file = filename;
    x->opener_newmess = newmess;
    x->loading_path = loadingpath;
    x->next = s_util_kivo_install;
    s_util_kivo_install = x;
}

void c_new(t_symbol *name, method freefun, t_ptr_size size, short tiny, short noinlet) {
    t_install *x = s_util_kivo_install;
    if (!x) return;
    t_class *c = &x->classtemplate;
    c->name = name;
    c->filename = name;
    c->freefun = freefun;
    c->size = size;
    c->tiny = tiny ? 1 : 0;
    c->noinlet = noinlet ? 1 : 0;
    c->menufun = nullptr;
    c->flags = 0;
    template_clear_from_messlist(c);
}

void setup(t_messlist **ident, method makefun, method freefun, t_ptr_size size, method menufun,
           long type, ...) {
    t_install *x = s_util_kivo_install;
    if (!x) {
        bug("extern class install: no newmess defined");
        return;
    }
    t_class *c = &x->classtemplate;
    if (menufun) {
        error("%s: old user interface objects not supported", c->name ? c->name->name : "");
        x->abort = 1;
        return;
    }
    if (!x->opener_newmess) {
        bug("extern class install: no newmess defined");
        return;
    }
    t_messlist *nm = x->opener_newmess;
    nm->fun = makefun;
    std::memset(nm->type, 0, sizeof nm->type);
    va_list ap;
    va_start(ap, type);
    int t = static_cast<short>(type);
    for (int n = 0; t != 0 && n < 6; ++n) {
        nm->type[n] = static_cast<char>(t);
        if (n < 5) t = static_cast<short>(va_arg(ap, int));
    }
    va_end(ap);
    x->new_function = makefun;
    std::memcpy(x->new_types, nm->type, sizeof x->new_types);

    c_new(c->name, freefun, size, 0, 0);
    x->class_variable = ident;
    c->flags = CLASS_FLAG_BOX | CLASS_FLAG_NOATTRIBUTES;
    auto *copy = reinterpret_cast<t_messlist *>(sysmem_newptr(sizeof(t_messlist)));
    if (copy) *copy = *nm;
    c->newmess = copy;
    c->menufun = nullptr;
    c->messcount = 0;
    template_clear_from_messlist(c);
}

void class_setname(const char *classname, const char *filename) {
    t_install *x = s_util_kivo_install;
    if (!x) return;
    if (classname) x->classtemplate.name = gensym(classname);
    if (filename) x->classtemplate.filename = gensym(filename);
}

void addmess(method f, const char *s, long type, ...) {
    if (!s) return;
    va_list ap;
    va_start(ap, type);
    add_entry(f, gensym(s), static_cast<short>(type), ap);
    va_end(ap);
}

void c_addmess(method f, t_symbol *s, long type, ...) {
    va_list ap;
    va_start(ap, type);
    add_entry(f, s, static_cast<short>(type), ap);
    va_end(ap);
}

void addbang(method f) {
    add_entry_types(f, ps_bang, AT_NOTHING);
}

void addint(method f) {
    add_entry_types(f, ps_int, AT_LONG);
}

void addfloat(method f) {
    add_entry_types(f, ps_float, AT_FLOAT);
}

void addinx(method f, short n) {
    if (n < 1 || n > 9) {
        error("inlet method out of range");
        n = 1;
    }
    char name[4];
    std::snprintf(name, sizeof name, "in%d", n);
    add_entry_types(f, gensym(name), AT_LONG);
}

void addftx(method f, short n) {
    if (n < 1 || n > 9) {
        error("inlet method out of range");
        n = 1;
    }
    char name[4];
    std::snprintf(name, sizeof name, "ft%d", n);
    add_entry_types(f, gensym(name), AT_FLOAT);
}

void alias(const char *name) {
    t_install *x = s_util_kivo_install;
    if (!x || !name) return;
    auto *cell = reinterpret_cast<t_install_alias *>(sysmem_newptrclear(sizeof(t_install_alias)));
    if (!cell) return;
    cell->name = gensym(name);
    t_install_alias **tail = &x->aliases;
    while (*tail) tail = &(*tail)->next;
    *tail = cell;
}

void check_alias(const char *filename, const char *classname) {
    if (!filename || !classname) return;
    char stripped[512];
    strncpy_zero(stripped, filename, sizeof stripped);
    class_stripsuffix(stripped);
    if (std::strcmp(stripped, classname) != 0) alias(stripped);
}

void class_noinlet(t_messlist *m) {
    if (m && m[0].sym) reinterpret_cast<t_class *>(m[0].sym)->noinlet = 1;
}

void class_setnoinlet(t_class *c) {
    if (c) c->noinlet = 1;
}

t_messlist *install_add(t_install *x) {
    if (!x || !x->entries) return nullptr;
    if (x->count >= x->capacity) {
        const t_atom_long capacity = x->capacity + kEntriesStep;
        if (sysmem_resizehandle(x->entries, static_cast<t_ptr_size>(capacity) * sizeof(t_messlist)) !=
            KIVO_ERR_NONE) {
            hate("out of memory while creating a class");
            return nullptr;
        }
        x->capacity = capacity;
    }
    t_messlist *entry = &entries_of(x)[x->count++];
    std::memset(entry, 0, sizeof *entry);
    return entry;
}

void install_free(t_install *x) {
    if (!x) return;
    if (x->entries) sysmem_freehandle(x->entries);
    for (t_install_alias *a = x->aliases; a;) {
        t_install_alias *next = a->next;
        sysmem_freeptr(a);
        a = next;
    }
    sysmem_freeptr(x);
}

short install_loadingpath(void) {
    return s_util_kivo_install ? s_util_kivo_install->loading_path : 0;
}

t_class *c_install(t_messlist **ident) {
    t_install *x = s_util_kivo_install;
    if (!x) return nullptr;
    if (x->abort) {
        pop_record();
        return nullptr;
    }
    t_messlist **var = ident ? ident : x->class_variable;
    t_class *c = nullptr;
    if (var) {
        c = class_record_new();
        if (!c) {
            hate("out of memory while creating a class");
            pop_record();
            return nullptr;
        }
        *c = x->classtemplate;
        if ((c->flags & CLASS_FLAG_BOX) || x->loading_path) {
            if (t_messlist *entry = install_add(x)) {
                entry->sym = _sym(sendbox);
                entry->fun = kivo::obex::as_method(object_sendbox);
                entry->type[0] = AT_GIMME;
            }
        }
        const t_atom_long count = x->count;
        auto *list = reinterpret_cast<t_messlist *>(
            sysmem_newptrclear(static_cast<t_ptr_size>(count + 2) * sizeof(t_messlist)));
        if (!list) {
            hate("out of memory while creating a class");
            sysmem_freeptr(c);
            pop_record();
            return nullptr;
        }
        list[0].sym = reinterpret_cast<t_symbol *>(c);
        if (count > 0)
            std::memcpy(&list[1], entries_of(x), static_cast<size_t>(count) * sizeof(t_messlist));
        *var = list;
        c->messlist = list;
        c->messcount = count + 2;
        if (!c->newmess) c->newmess = &list[0];
        class_setpath(c, x->loading_path);

        if (x->loading_path) {
            c->flags |= CLASS_FLAG_BOX;
            // The class is known by the file it came from as well.
            if (x->loading_file && c->name) {
                c->filename = stripped_file(x->loading_file);
                check_alias(x->loading_file->name, c->name->name);
            }
        } else {
            for (t_messlist *m = qnewobj_find(c->name, 3); m; m = qnewobj_find(c->name, m - g_kivo_qnewobj.messlist + 1)) {
                c->flags |= CLASS_FLAG_BOX;
                c->newmess = m;
            }
        }
        class_doregister((c->flags & CLASS_FLAG_BOX) ? _sym(box) : _sym(nobox), c);
    } else {
        c = class_getifloaded(_sym(box), stripped_file(x->loading_file));
    }
    if (c) {
        if (x->loading_file) nametab_makealiases(x->loading_file);
        register_aliases(x, c);
    }
    pop_record();
    return c;
}

t_kivo_err box_class_register(t_class *c) {
    if (!c) return KIVO_ERR_INVALID_PTR;
    if (t_install *x = s_util_kivo_install) {
        if (x->loading_file) c->filename = stripped_file(x->loading_file);
        class_setpath(c, x->loading_path);
    }
    return class_doregister(_sym(box), c);
}

// ---- creating and freeing objects

void *obj_new(t_messlist **ident, method setupfn) {
    if (!ident) return nullptr;
    if (!*ident) {
        c_setup(nullptr, nullptr, 0, nullptr);
        if (setupfn) kivo::obex::from_method<void (*)(void *)>(setupfn)(nullptr);
        c_install(ident);
    }
    return *ident ? c_newobject(*ident) : nullptr;
}

void *box_obj_new(t_messlist **ident, method setupfn) {
    if (!ident) return nullptr;
    if (!*ident) {
        c_setup(nullptr, nullptr, 0, nullptr);
        if (setupfn) kivo::obex::from_method<void (*)(void *)>(setupfn)(nullptr);
        if (s_util_kivo_install) s_util_kivo_install->classtemplate.flags |= CLASS_FLAG_BOX;
        c_install(ident);
    }
    return *ident ? c_newobject(*ident) : nullptr;
}

void *c_newobject(t_messlist *m) {
    if (!m || !m[0].sym) return nullptr;
    auto *c = reinterpret_cast<t_class *>(m[0].sym);
    c->messlist = m;
    return object_alloc(c);
}

void *newobject(t_messlist *m) {
    return obj_new(&m, nullptr);
}

void *newinstance(t_symbol *s, short argc, t_atom *argv) {
    return typedmess(&g_kivo_qnewobj, s, argc, argv);
}

void freeobject(t_object *x) {
    if (!x || x->magic != KIVO_OBJECT_MAGIC) {
        post("freeobject: %lx: bad object", reinterpret_cast<unsigned long>(x));
        return;
    }
    if (!object_release_canfree(x)) return;
    t_class *c = object_class(x);
    if (object_obex_needsconsolepurge_get(x)) object_consolepurge(x);
    object_notify(x, ps_willfree, nullptr);

    auto region = static_cast<t_critical>(freeobject_lock_enter(x));
    t_scheduler *sched = scheduler_fromobject(x);
    t_scheduler *global = scheduler_getglobal();
    s_freeobject_entercount.fetch_add(1);
    // Declined while other registrations still hold the object.
    if (object_unregister(x) == KIVO_ERR_GENERIC) {
        s_freeobject_entercount.fetch_sub(1);
        if (region) critical_exit(region);
        return;
    }
    for (t_class *k = c; k; k = k->superclass)
        if (k->freefun) kivo::obex::from_method<void (*)(void *)>(k->freefun)(x);
    // Lines posted by "willfree" handlers and free functions would otherwise
    // keep a pointer to the object once it is gone.
    if (object_obex_needsconsolepurge_get(x)) object_consolepurge(x);
    const t_ptr_uint flags = object_obex_flags_get(x);
    if (flags & OBEX_FLAG_NEEDSSCHEDPURGE) {
        scheduler_purgeclocks(sched, x);
        if (global != sched) scheduler_purgeclocks(global, x);
    }
    if (flags & OBEX_FLAG_NEEDSQUEUEPURGE) sched_purgeqelems(x);
    // A store made at allocation for a tiny class with an offset goes too.
    if (c && (!c->tiny || c->obexoffset > 0)) object_obex_free_internal(x);
    s_freeobject_entercount.fetch_sub(1);
    if (region) critical_exit(region);

    if (sched && sched != global && sched->owner == x) freeobject(reinterpret_cast<t_object *>(sched));
    if (c && !c->tiny) {
        free_header_list(&x->outlet);
        free_header_list(&x->inlet);
    }
    x->magic = 0;
    // Whatever runs next on this thread must not find the object as the
    // cause of its work.
    if (t_eventcontext *ec = eventcontext_get()) {
        if (ec->data1 == x) ec->data1 = nullptr;
        if (ec->data2 == x) ec->data2 = nullptr;
    }
    sysmem_freeptr(x);
}

void *freeobject_lock_enter(t_object *x) {
    t_class *c = object_class(x);
    if (!c || !(c->flags & CLASS_FLAG_BOX)) return nullptr;
    t_critical region = scheduler_get_timer_critical(scheduler_fromobject(x));
    if (!region) return nullptr; // before the scheduler exists
    critical_enter(region);
    return region;
}

long within_freeobject(void) {
    return s_freeobject_entercount.load();
}

// ---- version, events and retired entries

short kivoversion(void) {
    return g_kivo_version;
}

void clock_xdelay(t_clock *c, long delay) {
    clock_delay(c, delay);
}

void clock_xset(t_clock *c, long when) {
    clock_set(c, when);
}

void clock_xunset(t_clock *c) {
    clock_unset(c);
}

t_atom_long gettime(void) {
    return static_cast<t_atom_long>(kivo_clock_gettime());
}

t_atom_long getschedtime(void) {
    return static_cast<t_atom_long>(kivo_clock_gettime());
}

double gettime_forobject(t_object *x) {
    double time = 0.0;
    object_getftime(x, &time);
    return time;
}

long getexttime(void) {
    return 0;
}

long clock_getextfmt(void) {
    return 0;
}

void evnum_incr(void) {
    if (systhread_ismainthread())
        ++s_support_event_serialno;
    else
        ++s_support_event_hipri_serialno;
    if (ps_) ps_->thing = nullptr;
}

t_atom_long evnum_get(void) {
    return systhread_ismainthread() ? s_support_event_serialno : s_support_event_hipri_serialno;
}

short defvolume(void) {
    return path_getdefault();
}

long lockout_set(short n) {
    return 0;
}

void wind_noworrymove(short n) {
    g_kivo_noworrymove = n;
}

void stdinletinfo(t_object *x, void *box, long index, char *result) {
    if (index != 0 && result) *result = 1;
}

void *ed_new(t_object *assoc) {
    error("ed_new: no longer supported");
    return nullptr;
}

void ed_settext(void *ed, const char *text, long length) {
    error("ed_settext: no longer supported");
}

void ed_vis(void *ed) {
    error("ed_vis: no longer supported");
}

// Records built on a static class record (qelems and the like) go here
// rather than through freeobject.
void freeraw(void *block, struct kivoclass *c) {
    if (!block) return;
    if (c && c->freefun) kivo::obex::from_method<void (*)(void *)>(c->freefun)(block);
    sysmem_freeptr(block);
}

} // extern "C"

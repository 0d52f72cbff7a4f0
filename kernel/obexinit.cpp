/*
 * The object system's start-up.
 *
 * The order is binding. The container classes come first, before any hash
 * table exists: making a class makes no table, and method objects cannot
 * be made yet, so "linklist", "hashtab" and "hashtab_entry" keep their
 * methods in their message lists only. The name-space table is the first
 * hash table, the registry's tables follow; "method_object" comes next,
 * and from then on every class_addmethod also makes a method object. The
 * attribute classes come before the registry classes, which carry an
 * attribute.
 *
 * Shutdown runs first at quit, before the timer thread stops: the
 * background workers end before anything they may still touch goes.
 */
#include <atomic>

#include "app/startup.h"
#include "kernel/attr_internal.h"
#include "graphics/sketch_internal.h"
#include "projects/project_internal.h"
#include "kernel/testclass_internal.h"
#include "kivo/globalsymbol.h"
#include "kivo/parallel.h"
#include "kernel/obex_internal.h"
#include "kernel/registry_internal.h"
#include "kivo/attr.h"
#include "kivo/commonsyms.h"
#include "kivo/post.h"
#include "kivo/strutil.h"
#include "kivo/xmltree.h"
#include "runtime/hashtab_internal.h"
#include "runtime/sched_internal.h"
#include "runtime/linklist_internal.h"
#include "runtime/atomarray_internal.h"
#include "runtime/dictionary_internal.h"

t_symbol *ps_pound_S, *ps_namespace, *ps_filevolume, *ps_getvalueof_ext, *ps_setvalueof_ext;

namespace {

std::atomic<bool> g_started{false};

void special_entry(t_messlist *entry, t_symbol *s, method fun, char type) {
    entry->sym = s;
    entry->fun = fun;
    for (char &t : entry->type) t = 0;
    entry->type[0] = type;
}

} // namespace

extern "C" {

long obex_started(void) {
    return g_started.load(std::memory_order_acquire);
}

t_kivo_err obex_init(void) {
    if (g_started.exchange(true, std::memory_order_acq_rel)) return KIVO_ERR_NONE;
    rand_setseed(0);
    rerand();

    special_entry(&_mess_nonmethod, gensym("nonmethod"), kivo::obex::as_method(method_false),
                  AT_NOTHING);
    special_entry(&_mess_freemethod, _sym(free), kivo::obex::as_method(object_free), AT_NOTHING);
    special_entry(&g_mess_attr_getdump, gensym("g_mess_attr_getdump"),
                  kivo::obex::as_method(object_attr_getdump), AT_GIMME);
    special_entry(&g_mess_attr_set, gensym("g_mess_attr_setvalueof"),
                  kivo::obex::as_method(object_attr_setvalueof), AT_GIMME);

    ps_default = _sym(default);
    ps_object_clone = gensym("object_clone");
    ps_methods = _sym(methods);
    ps_stdargs = gensym("stdargs");
    ps_all = _sym(all);
    ps_time = _sym(time);
    ps_pound_S = gensym("#S");
    ps_namespace = gensym("namespace");
    ps_filevolume = gensym("filevolume");
    ps_getvalueof_ext = gensym("getvalueof_ext");
    ps_setvalueof_ext = gensym("setvalueof_ext");

    linklist_initclass();
    hashtab_initclass();

    if (class_namespace_init() != KIVO_ERR_NONE) {
        error("couldn't make class namespace");
        return KIVO_ERR_GENERIC;
    }
    class_register(_sym(nobox), linklist_class());
    class_register(_sym(nobox), hashtab_class());
    class_register(_sym(nobox), hashtab_entry_class());

    if (reg_object_tables_init() != KIVO_ERR_NONE) {
        error("couldn't make registered object namespace");
        return KIVO_ERR_GENERIC;
    }

    method_object_initclass();
    atomarray_init();
    attr_init();
    scheduler_init();
    reg_object_init();
    object_reference_init();
    string_initclass();
    dictionary_initclass();
    obex_tester_init();
    sketch_init();
    quickmap_initclass();
    symobject_initclass();
    xmltree_init();
    project_init();
    return KIVO_ERR_NONE;
}

void obex_shutdown(void) {
    backgroundtask_terminate();
    project_shutdown();
}

} // extern "C"

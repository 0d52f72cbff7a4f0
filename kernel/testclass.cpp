/*
 * "obex_tester" and "obex_tester_subclass".
 *
 * The class is built in a fixed order that matters: the sticky attribute
 * table in force when an attribute is added decides which attributes of
 * attributes it gets, so the table changes between additions; the class
 * flags (dictionary constructor) are set after everything is added, and
 * the subclass is made afterwards so that it inherits them.
 */
#include "kernel/testclass_internal.h"

#include <cmath>
#include <cstddef>

#include "kernel/obex_internal.h"
#include "kivo/kivo.h"

namespace {

using kivo::obex::as_method;

t_class *s_tester_class = nullptr;   // made once, never freed
t_class *s_subclass_class = nullptr;

// Applies the creation dictionary's entries that name attributes of x.
void apply_dictionary(t_object *x, t_dictionary *d) {
    long count = 0;
    t_symbol **keys = nullptr;
    if (dictionary_getkeys(d, &count, &keys) != KIVO_ERR_NONE || !keys) return;
    for (long i = 0; i < count; ++i) {
        if (!object_attr_get(x, keys[i])) continue;
        long ac = 0;
        t_atom *av = nullptr;
        if (dictionary_getatoms(d, keys[i], &ac, &av) == KIVO_ERR_NONE && ac > 0 && av)
            object_attr_setvalueof(x, keys[i], ac, av);
    }
    sysmem_freeptr(keys);
}

void *tester_new(t_symbol *, long argc, t_atom *argv) {
    t_dictionary *d = object_dictionaryarg(argc, argv);
    if (!d) return nullptr;
    auto *x = static_cast<t_obex_tester *>(object_alloc(s_tester_class));
    if (!x) return nullptr;
    x->attrint = 0;
    x->attrsym = gensym("");
    for (int i = 0; i < 4; ++i) x->attrintarray[i] = i * 10;
    apply_dictionary(&x->ob, d);
    return x;
}

void tester_free(t_obex_tester *) {}

void tester_cant(t_obex_tester *) {
    post("obex tester CANT");
    cpost("obex tester CANT\n");
}

void tester_gimme(t_obex_tester *, t_symbol *, long argc, t_atom *) {
    post("obex tester gimme: ac %ld", argc);
}

t_kivo_err tester_gimmeback(t_obex_tester *, t_symbol *, long argc, t_atom *argv, t_atom *rv) {
    const t_atom_long v = argc > 0 && argv ? atom_getlong(argv) : 0;
    post("obex tester gimmeback av = %d", static_cast<int>(v));
    if (rv) atom_setlong(rv, argc > 0 && argv ? v * v : -1);
    return KIVO_ERR_NONE;
}

void tester_bang(t_obex_tester *) {
    post("obex tester bang");
    cpost("obex tester bang\n");
}

void tester_int(t_obex_tester *, t_atom_long n) {
    post("obex tester int %lld", static_cast<long long>(n));
    cpost("obex tester int %lld\n", static_cast<long long>(n));
}

void tester_float(t_obex_tester *, double f) {
    post("obex tester float %f", f);
    cpost("obex tester float %f\n", f);
}

void tester_symbol(t_obex_tester *, t_symbol *s) {
    const char *name = s ? s->name : "";
    post("obex tester symbol %s", name);
    cpost("obex tester symbol %s\n", name);
}

void tester_anything(t_obex_tester *, t_symbol *s, long, t_atom *) {
    post("obex tester anything: %s", s ? s->name : "");
}

void tester_task(t_obex_tester *, t_symbol *, long, t_atom *) {
    const double start = systimer_gettime();
    post("obex tester starting backgroundtask");
    cpost("obex tester starting backgroundtask\n");
    // volatile keeps the loop from being folded away: it is the work.
    volatile double x = 0.74;
    for (long i = 0; i < 100000000; ++i) {
        const double c = std::cos(x), s = std::sin(x);
        x = std::sqrt(c * c + s * s);
    }
    const double elapsed = systimer_gettime() - start;
    post("obex tester finished backgroundtask result=%f time=%f", static_cast<double>(x), elapsed);
    cpost("obex tester finished backgroundtask result=%f time=%f\n", static_cast<double>(x), elapsed);
}

void tester_complete(t_obex_tester *x, t_symbol *, long, t_atom *) {
    post("obex tester backgroundtask COMPLETE");
    cpost("obex tester backgroundtask COMPLETE\n");
    object_free(x);
}

void tester_notify(t_obex_tester *, t_symbol *s, t_symbol *msg, void *sender, void *data) {
    t_symbol *cls = sender ? object_classname(sender) : nullptr;
    const char *sendername = s ? s->name : "";
    const char *message = msg ? msg->name : "";
    const char *classname = cls ? cls->name : "";
    const auto d = static_cast<unsigned>(reinterpret_cast<t_ptr_uint>(data));
    post("obex tester NOTIFY: sender=%s, msg=%s, class=%s, obj=%p, data=%x", sendername, message, classname,
         sender, d);
    cpost("obex tester NOTIFY: sender=%s, msg=%s, class=%s, obj=%p, data=%x\n", sendername, message, classname,
          sender, d);
}

t_kivo_err tester_getattrchar(t_obex_tester *x, void *, long *ac, t_atom **av) {
    if (!ac || !av) return KIVO_ERR_INVALID_PTR;
    if (!*ac || !*av) {
        *av = reinterpret_cast<t_atom *>(sysmem_newptr(sizeof(t_atom)));
        if (!*av) {
            *ac = 0;
            return KIVO_ERR_OUT_OF_MEMORY;
        }
    }
    *ac = 1;
    atom_setlong(*av, x->attrchar);
    return KIVO_ERR_NONE;
}

t_kivo_err tester_attrchar(t_obex_tester *x, void *, long ac, t_atom *av) {
    if (ac && av) x->attrchar = static_cast<unsigned char>(atom_getlong(av) & 0xff);
    return KIVO_ERR_NONE;
}

void *subclass_new(t_symbol *s, long argc, t_atom *argv) {
    auto *x = static_cast<t_obex_tester_subclass *>(
        class_super_construct(s_subclass_class, s, reinterpret_cast<void *>(static_cast<t_ptr_int>(argc)), argv));
    if (x) x->anotherattrint = 93;
    return x;
}

void subclass_int(t_obex_tester_subclass *x, t_atom_long n) {
    post("SUBCLASS int %lld", static_cast<long long>(n));
    cpost("SUBCLASS int %lld\n", static_cast<long long>(n));
    post("SUBCLASS calling super int");
    object_super_method(&x->base.ob, _sym(int), reinterpret_cast<void *>(static_cast<t_ptr_int>(n)));
    post("SUBCLASS calling fakebang");
    object_this_method(&x->base.ob, gensym("fakebang"));
}

void sticky(t_class *c, const char *key, const char *value) {
    t_object *attr = attribute_new_parse(key, _sym(symbol), 0, value);
    if (attr && class_sticky(c, _sym(sticky_attr), gensym(key), attr) != KIVO_ERR_NONE) object_free(attr);
}

void method_attr(t_class *c, const char *selector, const char *attrname) {
    t_object *m = class_getmethod_object(c, gensym(selector));
    if (!m) return;
    t_object *attr = attribute_new(attrname, _sym(long), 0, nullptr, nullptr);
    if (!attr) return;
    if (object_addattr(m, attr) != KIVO_ERR_NONE) {
        object_free(attr);
        return;
    }
    object_attr_setlong(m, gensym(attrname), 1);
}

void make_tester_class() {
    t_class *c = class_new("obex_tester", as_method(tester_new), as_method(tester_free), sizeof(t_obex_tester),
                           nullptr, AT_GIMME, 0);
    if (!c) return;
    class_obexoffset_set(c, offsetof(t_obex_tester, obex));

    class_addmethod(c, as_method(tester_cant), "cant", AT_CANT, 0);
    class_addmethod(c, as_method(tester_gimme), "gimme", AT_GIMME, 0);
    class_addmethod(c, as_method(tester_gimmeback), "gimmeback", AT_GIMMEBACK, 0);
    class_addmethod(c, as_method(tester_bang), "bang", 0);
    class_addmethod(c, as_method(tester_int), "int", AT_DEFLONG, 0);
    class_addmethod(c, as_method(tester_float), "float", AT_DEFFLOAT, 0);
    class_addmethod(c, as_method(tester_symbol), "symbol", AT_DEFSYM, 0);
    class_addmethod(c, as_method(tester_anything), "anything", AT_GIMME, 0);
    class_addmethod(c, as_method(tester_anything), "myhiddenmess", AT_GIMME, 0);
    class_addmethod(c, as_method(tester_task), "task", AT_GIMME, 0);
    class_addmethod(c, as_method(tester_complete), "complete", AT_GIMME, 0);
    class_addmethod(c, as_method(tester_notify), "notify", AT_CANT, 0);

    sticky(c, "category", "group1");
    sticky(c, "anotherthing", "so damn sticky");
    class_addattr(c, attr_offset_new("attrchar", _sym(char), 0, as_method(tester_getattrchar),
                                     as_method(tester_attrchar), offsetof(t_obex_tester, attrchar)));
    class_attr_addattr_parse(c, "attrchar", "default", _sym(char), 0, "5");
    class_attr_addattr_parse(c, "attrchar", "save", _sym(long), 0, "1");
    class_addattr(c, attr_offset_new("attrint", _sym(long), 0, nullptr, nullptr, offsetof(t_obex_tester, attrint)));
    class_attr_addattr_parse(c, "attrint", "save", _sym(long), 0, "1");

    class_sticky_clear(c, _sym(sticky_attr), gensym("category"));
    sticky(c, "category", "group2");
    class_addattr(c, attr_offset_new("attrfloat", gensym("float32"), 0, nullptr, nullptr,
                                     offsetof(t_obex_tester, attrfloat)));
    class_attr_addattr_parse(c, "attrfloat", "default", gensym("float32"), 0, "27.");
    class_addattr(c, attr_offset_new("attrsym", _sym(symbol), 0, nullptr, nullptr, offsetof(t_obex_tester, attrsym)));

    class_sticky_clear(c, _sym(sticky_attr), gensym("category"));
    class_addattr(c, attr_offset_array_new("attrintarray", _sym(long), 4, 0, nullptr, nullptr, 0,
                                           offsetof(t_obex_tester, attrintarray)));

    class_sticky_clear(c, _sym(sticky_attr), ps_all);
    class_addattr(c, attr_offset_array_new("attratomarray", _sym(atom), 4, 0, nullptr, nullptr, 0,
                                           offsetof(t_obex_tester, attratomarray)));
    class_attr_addattr_parse(c, "attratomarray", "default", _sym(atom), 0, "wacky 2 39. stuff");
    const double doubles[4] = {1.0, 2.0, 3.0, 4.0};
    class_attr_addattr_format(c, "attratomarray", "squigglestuff", _sym(atom), 0, "cDsp", 0, 4, doubles,
                              gensym("five"), "6 seven 8.");

    c->flags = CLASS_FLAG_NEWDICTIONARY | 0x2;
    class_register(_sym(nobox), c);
    // The class's method objects are reachable by selector once it is
    // registered.
    method_attr(c, "myhiddenmess", "undocumented");
    method_attr(c, "myhiddenmess", "obsolete");
    method_attr(c, "cant", "documentable");
    s_tester_class = c;
}

void make_subclass() {
    t_class *c = class_new("obex_tester_subclass", as_method(subclass_new), nullptr, sizeof(t_obex_tester_subclass),
                           nullptr, AT_GIMME, 0);
    if (!c) return;
    class_subclass(s_tester_class, c);
    class_addmethod(c, as_method(tester_bang), "fakebang", 0);
    // Declared with its argument: without one a typed "int 5" would hand
    // the handler whatever the register held.
    class_addmethod(c, as_method(subclass_int), "int", AT_DEFLONG, 0);
    class_addattr(c, attr_offset_new("anotherattrint", _sym(long), 0, nullptr, nullptr,
                                     offsetof(t_obex_tester_subclass, anotherattrint)));
    class_register(_sym(nobox), c);
    s_subclass_class = c;
}

} // namespace

extern "C" void obex_tester_init(void) {
    if (s_tester_class) return;
    make_tester_class();
    if (s_tester_class) make_subclass();
}

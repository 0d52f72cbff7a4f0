/*
 * The patcher's search and its small query and forwarding messages (see
 * patcher_queries.h).
 *
 * Invariants:
 * - The toolbar lists hold symbols, never freed with the list; an item is
 *   in at most one of them after each include or exclude.
 * - The overridden-prototype table lives in the extension store under
 *   "overriddenprototypes" and owns its dictionaries.
 * - "setdspchain" keeps the chain's reference count honest: the old chain
 *   hears "derefpatcher" before the new one hears "refpatcher".
 */
#include "patcher/patcher_queries.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "boxes/jbox_internal.h"
#include "kernel/interned.h"
#include "kernel/obex_internal.h"
#include "kivo/class.h"
#include "kivo/dispatch.h"
#include "kivo/hashtab.h"
#include "kivo/jpatcher.h"
#include "kivo/msgtext.h"
#include "kivo/post.h"
#include "kivo/strutil.h"
#include "kivo/sysmem.h"
#include "patcher/jpatcher.h"
#include "patcher/patcher_internal.h"
#include "patcher/patcher_messages.h"
#include "patcher/patcher_model.h"
#include "tools/msgdebug_internal.h"

long g_dont_show_subpatchers = 0;

namespace {

using kivo::obex::as_method;

constexpr size_t kMaxFindText = 2048;

std::string lowered(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

struct FindState {
    t_object *top;
    std::string needle;
    long flags;
    std::vector<t_symbol *> direct;
    std::vector<std::pair<t_object *, long>> below; // patcher, hits; in the order met
};

bool matches(const FindState &st, const char *candidate) {
    if (!candidate) return false;
    std::string c = (st.flags & JPATCHER_FIND_MATCHCASE) ? std::string(candidate) : lowered(candidate);
    if (st.flags & JPATCHER_FIND_WHOLE) return c == st.needle;
    return c.find(st.needle) != std::string::npos;
}

bool box_hits(const FindState &st, t_object *box) {
    t_jbox *b = jbox_cast(box);
    t_object *held = jbox_held_object(box);
    if ((st.flags & JPATCHER_FIND_CLASS) && held && matches(st, object_classname(held)->name)) return true;
    if ((st.flags & JPATCHER_FIND_TEXT) && b && b->b_textfield &&
        matches(st, static_cast<const char *>(object_method(b->b_textfield, KSYM("getptr")))))
        return true;
    if ((st.flags & JPATCHER_FIND_VARNAME) && b && b->b_varname && b->b_varname->name[0] &&
        matches(st, b->b_varname->name))
        return true;
    return false;
}

long find_cb(void *arg, t_object *box) {
    auto *st = static_cast<FindState *>(arg);
    if (!box_hits(*st, box)) return 0;
    t_object *owner = jbox_head(box)->b_patcher;
    if (owner == st->top) {
        st->direct.push_back(jbox_head_id(box));
        return 0;
    }
    for (auto &entry : st->below)
        if (entry.first == owner) {
            ++entry.second;
            return 0;
        }
    st->below.emplace_back(owner, 1);
    return 0;
}

t_atom *new_atoms(size_t n) {
    return n ? reinterpret_cast<t_atom *>(sysmem_newptrclear(static_cast<t_ptr_size>(n * sizeof(t_atom)))) : nullptr;
}

// ---- messages with out values: each also answers the value itself

t_object *msg_getparent(t_jpatcher *, void **out) {
    if (out) *out = nullptr;
    return nullptr;
}

long msg_getlocked(t_jpatcher *, long *out) {
    if (out) *out = 0;
    return 0;
}

t_symbol *msg_getname(t_jpatcher *x) { return x->name; }

void msg_setname(t_jpatcher *x, t_symbol *name) {
    x->name = name ? name : KSYM("");
    jpatcher_patchernotify(&x->ob, KSYM("title"));
}

void msg_settitle(t_jpatcher *x, t_symbol *title) {
    x->title = title ? title : KSYM("");
    jpatcher_patchernotify(&x->ob, KSYM("title"));
}

t_object *msg_getvnewobj(t_jpatcher *x, t_object **out) {
    if (out) *out = x->box;
    return x->box;
}

t_object *msg_getvnewobjparent(t_jpatcher *x, t_object **out) {
    t_object *parent = x->box ? jbox_get_patcher(x->box) : nullptr;
    if (out) *out = parent;
    return parent;
}

t_object *msg_getassoc(t_jpatcher *x, t_object **out) {
    if (out) *out = x->assoc;
    return x->assoc;
}

void msg_setassoc(t_jpatcher *x, t_object *assoc) { x->assoc = assoc; }

long msg_getcompiledflag(t_jpatcher *x, long *out) {
    if (out) *out = x->compiled;
    return x->compiled;
}

void msg_setcompiledflag(t_jpatcher *x, t_atom_long on) { x->compiled = on ? 1 : 0; }

long msg_getfreed(t_jpatcher *x, long *out) {
    if (out) *out = x->freed;
    return x->freed;
}

t_object *msg_getdspchain(t_jpatcher *x, t_object **out) { return jpatcher_getdspchain(&x->ob, out); }

void msg_setdspchain(t_jpatcher *x, t_object *chain) {
    if (chain == x->dspchain) return;
    t_object *old = x->dspchain;
    if (old) object_method(old, KSYM("derefpatcher"), &x->ob);
    x->dspchain = chain;
    if (chain) object_method(chain, KSYM("refpatcher"), &x->ob);
}

void msg_setclassnamespace(t_jpatcher *x, t_symbol *ns) { x->classnamespace = ns; }

long msg_contextmenu(t_jpatcher *x, long *choice, long *count, t_atom **items) {
    return jpatcher_contextmenu(&x->ob, choice, count, items);
}

void msg_setrock(t_jpatcher *x, long argc, t_atom *argv) { jpatcher_setrock(&x->ob, argc, argv); }

// The holding box gets the attribute only when it has one of that name.
void set_box_attr(t_jpatcher *x, t_symbol *name, long argc, t_atom *argv) {
    if (x->box && object_attr_get(x->box, name)) object_attr_setvalueof(x->box, name, argc, argv);
}

void msg_offset(t_jpatcher *x, t_atom_long dx, t_atom_long dy) {
    t_atom av[2];
    atom_setlong(av, dx);
    atom_setlong(av + 1, dy);
    set_box_attr(x, KSYM("offset"), 2, av);
}

void msg_border(t_jpatcher *x, t_atom_long width) {
    t_atom a;
    atom_setlong(&a, width);
    set_box_attr(x, KSYM("border"), 1, &a);
}

void msg_addpvar(t_jpatcher *x, t_object *pv) {
    if (!pv) return;
    if (!x->pvars) x->pvars = linklist_new();
    if (x->pvars) linklist_append(x->pvars, pv);
}

void msg_deletepvar(t_jpatcher *x, t_object *pv) {
    if (x->pvars && pv) linklist_chuckobject(x->pvars, pv);
}

void msg_excludetoolbaritem(t_jpatcher *x, t_symbol *item) { jpatcher_excludetoolbaritem(&x->ob, item); }
void msg_includetoolbaritem(t_jpatcher *x, t_symbol *item) { jpatcher_includetoolbaritem(&x->ob, item); }

t_dictionary *msg_getoverriddenprototype(t_jpatcher *x, t_symbol *name) {
    return jpatcher_getoverriddenprototype(&x->ob, name);
}

long msg_getdontshowsubpatcher(t_jpatcher *, long *out) {
    if (out) *out = g_dont_show_subpatchers;
    return g_dont_show_subpatchers;
}

void msg_setdontshowsubpatcher(t_jpatcher *, t_atom_long on) { g_dont_show_subpatchers = on ? 1 : 0; }

void msg_dumpboxes(t_jpatcher *x) { jpatcher_dumpboxes(&x->ob); }

long msg_find(t_jpatcher *x, const char *text, long flags, long *count, t_atom **ids, long *pcount,
              t_atom **pairs) {
    return jpatcher_find(&x->ob, text, flags, count, ids, pcount, pairs);
}

} // namespace

extern "C" {

// The parameter layer replaces this seam; without it no patcher has a hub.
__attribute__((weak)) t_object *parameter_get_hub_for_patcher(t_object *, long) { return nullptr; }

// The editing controller's undo history replaces this seam.
__attribute__((weak)) void jpatchercontroller_undo_or_redo_to_position(t_object *, double) {}

} // extern "C"

namespace {

void msg_backtodefault(t_jpatcher *x, t_symbol *) {
    if (t_object *hub = parameter_get_hub_for_patcher(&x->ob, 0)) object_method(hub, KSYM("backtodefault"));
}

void msg_setundoredopos(t_jpatcher *x, double pos) {
    if (x->controller) jpatchercontroller_undo_or_redo_to_position(x->controller, pos);
}

// ---- inspector hooks

void msg_inspector_rect(t_jpatcher *, t_rect *r) {
    if (r) *r = t_rect{100, 100, 560, 500};
}

void msg_inspector_color(t_jpatcher *, t_jrgba *c) {
    if (c) *c = t_jrgba{243 / 255.0, 237 / 255.0, 235 / 255.0, 1.0};
}

void msg_inspector_title(t_jpatcher *x, t_symbol **title) {
    if (!title) return;
    std::string t = std::string(x->name ? x->name->name : "") + " inspector";
    *title = gensym(t.c_str());
}

void msg_inspector_customize(t_jpatcher *, t_object *inspector) {
    if (inspector) object_attr_setlong(inspector, KSYM("name_width"), 260);
}

void msg_inspector_fontattr(t_jpatcher *, t_symbol **name, t_symbol **size, t_symbol **face) {
    if (name) *name = KSYM("default_fontname");
    if (size) *size = KSYM("default_fontsize");
    if (face) *face = KSYM("default_fontface");
}

void msg_inspector_toolbarid(t_jpatcher *, t_symbol **id) {
    if (id) *id = KSYM("patcherinspector");
}

void toggle_toolbar_item(t_jpatcher *x, t_symbol *item, bool exclude) {
    if (!item) return;
    t_linklist *&target = exclude ? x->toolbar_excluded : x->toolbar_included;
    t_linklist *other = exclude ? x->toolbar_included : x->toolbar_excluded;
    if (!target) {
        target = linklist_new();
        if (!target) return;
        linklist_flags(target, LINKLIST_FLAG_DATA);
    }
    if (other && linklist_objptr2index(other, item) >= 0) {
        linklist_chuckobject(other, item);
        return;
    }
    if (linklist_objptr2index(target, item) < 0) linklist_append(target, item);
}

void setrock_in(t_object *p, long argc, t_atom *argv, bool descend, int depth) {
    t_jpatcher *x = jpatcher_cast(p);
    if (!x || depth > 256) return;
    for (t_object *box : jpatcher_items(x->boxes)) {
        t_object *held = jbox_held_object(box);
        if (!held) continue;
        if (object_getmethod(held, KSYM("enable"))) object_method_typed(held, KSYM("enable"), argc, argv, nullptr);
        if (!descend) continue;
        t_object *subs[64];
        long n = jpatcher_subpatchers_of(held, nullptr, subs, 64);
        for (long k = 0; k < n; ++k)
            if (subs[k] != p) setrock_in(subs[k], argc, argv, descend, depth + 1);
    }
}

} // namespace

extern "C" {

long jpatcher_find(t_object *p, const char *text, long flags, long *count, t_atom **ids, long *pcount,
                   t_atom **pairs) {
    if (!jpatcher_cast(p) || !text || !count || !ids || !pcount || !pairs) return -1;
    *count = *pcount = 0;
    *ids = *pairs = nullptr;
    FindState st{p, std::string(text, strnlen(text, kMaxFindText)), flags, {}, {}};
    if (!(flags & JPATCHER_FIND_MATCHCASE)) st.needle = lowered(st.needle);
    if (st.needle.empty()) return 0;
    jpatcher_iterate(p, find_cb, &st, JPATCHER_ITER_DESCEND | JPATCHER_ITER_SKIPEMPTY | JPATCHER_ITER_BOX,
                     nullptr);
    if (!st.direct.empty()) {
        *ids = new_atoms(st.direct.size());
        if (!*ids) return -1;
        for (size_t i = 0; i < st.direct.size(); ++i) atom_setsym(*ids + i, st.direct[i] ? st.direct[i] : KSYM(""));
        *count = static_cast<long>(st.direct.size());
    }
    if (!st.below.empty()) {
        *pairs = new_atoms(2 * st.below.size());
        if (!*pairs) return -1;
        for (size_t i = 0; i < st.below.size(); ++i) {
            t_symbol *id = jpatcher_cast(st.below[i].first)->patcherid;
            atom_setsym(*pairs + 2 * i, id ? id : KSYM(""));
            atom_setlong(*pairs + 2 * i + 1, st.below[i].second);
        }
        *pcount = static_cast<long>(st.below.size());
    }
    return 0;
}

long jpatcher_countfgboxes(void *counter, t_object *box) {
    t_jbox *b = box ? jbox_cast(box) : nullptr;
    if (b && counter && !b->b_background) ++*static_cast<long *>(counter);
    return 0;
}

long jpatcher_countbgboxes(void *counter, t_object *box) {
    t_jbox *b = box ? jbox_cast(box) : nullptr;
    if (b && counter && b->b_background) ++*static_cast<long *>(counter);
    return 0;
}

void jpatcher_dumpboxes(t_object *p) {
    t_jpatcher *x = jpatcher_cast(p);
    if (!x) return;
    for (t_object *box : jpatcher_items(x->boxes))
        if (object_getmethod(box, KSYM("dump"))) object_method(box, KSYM("dump"));
}

t_object *jpatcher_getdspchain(t_object *p, t_object **out) {
    t_object *answer = nullptr;
    // Bounded like the parent walk: a chain of parents that loops must end.
    for (int depth = 0; p && depth < 10000; ++depth) {
        t_jpatcher *x = jpatcher_cast(p);
        if (!x) break;
        if (x->dspchain) {
            answer = x->dspchain;
            break;
        }
        if (x->box) {
            p = jbox_get_patcher(x->box);
            continue;
        }
        if (KSYM("__poly~__")->thing || KSYM("__pfft~__")->thing ||
            (x->assoc && object_attr_get(x->assoc, KSYM("ownsdspchain")) &&
             object_attr_getlong(x->assoc, KSYM("ownsdspchain"))))
            break;
        p = x->creation_parent;
    }
    if (out) *out = answer;
    return answer;
}

long jpatcher_contextmenu(t_object *p, long *choice, long *count, t_atom **items) {
    t_jpatcher *x = jpatcher_cast(p);
    if (!x || !choice || !x->box) return -1;
    const bool original = x->abstraction && !x->editedabstraction;
    // A box that shows the patcher inside itself answers "subpatcher" with
    // it and draws it: the view box.
    const bool shown_inside = !original && object_classname(x->box) == KSYM("bpatcher");
    std::string name = x->name ? x->name->name : "";
    if (*choice == 0) {
        if (count) *count = 0;
        if (items) *items = nullptr;
        std::vector<std::string> labels;
        if (original) {
            std::vector<char> buf(name.begin(), name.end());
            buf.push_back('\0');
            debracket(buf.data());
            labels.push_back(std::string("Open Original \"") + buf.data() + "\"");
            *choice = 1;
        } else if (shown_inside) {
            labels.push_back("New Patcher With Contents of " + name);
            labels.push_back("New View of " + name);
            *choice = 2;
        } else {
            return 0;
        }
        if (items && count) {
            *items = new_atoms(labels.size());
            if (!*items) return -1;
            for (size_t i = 0; i < labels.size(); ++i) atom_setsym(*items + i, gensym(labels[i].c_str()));
            *count = static_cast<long>(labels.size());
        }
        return 0;
    }
    if (original) {
        object_method(p, KSYM("openoriginal"));
        return 0;
    }
    if (!shown_inside) return 0;
    if (*choice == 2) {
        if (t_object *view = jpatcher_makeview(p, nullptr)) object_method(view, KSYM("vis"));
        return 0;
    }
    if (*choice == 1) {
        auto *fresh = static_cast<t_object *>(object_new(KSYM("nobox"), KSYM("jpatcher")));
        t_dictionary *d = fresh ? dictionary_new() : nullptr;
        if (!d) {
            if (fresh) object_free(fresh);
            return -1;
        }
        object_method(p, KSYM("appendtodictionary"), d);
        t_jpatcher *fx = jpatcher_cast(fresh);
        if (fx->controller && object_getmethod(fx->controller, KSYM("pastefromdictionary")))
            object_method(fx->controller, KSYM("pastefromdictionary"), d);
        else
            jpatcher_pastefromdictionary(fresh, d);
        object_free(d);
        object_method(fresh, KSYM("vis"));
    }
    return 0;
}

void jpatcher_setrock(t_object *p, long argc, t_atom *argv) {
    if (argc < 1 || !argv) return;
    bool descend = argc >= 2 && atom_getlong(argv + 1) != 0;
    setrock_in(p, 1, argv, descend, 0);
}

void jpatcher_setoffset(t_object *p, double x, double y) {
    if (t_jpatcher *jp = jpatcher_cast(p)) {
        jp->offset[0] = x;
        jp->offset[1] = y;
    }
}

void jpatcher_getoffset(t_object *p, double *x, double *y) {
    t_jpatcher *jp = jpatcher_cast(p);
    if (x) *x = jp ? jp->offset[0] : 0;
    if (y) *y = jp ? jp->offset[1] : 0;
}

void jpatcher_excludetoolbaritem(t_object *p, t_symbol *item) {
    if (t_jpatcher *x = jpatcher_cast(p)) toggle_toolbar_item(x, item, true);
}

void jpatcher_includetoolbaritem(t_object *p, t_symbol *item) {
    if (t_jpatcher *x = jpatcher_cast(p)) toggle_toolbar_item(x, item, false);
}

t_dictionary *jpatcher_getoverriddenprototype(t_object *p, t_symbol *name) {
    t_object *defaults = nullptr;
    if (!jpatcher_cast(p) || !name || object_obex_lookup(p, KSYM("defaults"), &defaults) || !defaults)
        return nullptr;
    t_object *table = nullptr;
    object_obex_lookup(p, KSYM("overriddenprototypes"), &table);
    if (!table) {
        t_hashtab *h = hashtab_new(0);
        if (!h) return nullptr;
        object_obex_store(p, KSYM("overriddenprototypes"), &h->ob);
        table = &h->ob;
    }
    auto *h = reinterpret_cast<t_hashtab *>(table);
    t_object *found = nullptr;
    if (!hashtab_lookup(h, name, &found) && found) return reinterpret_cast<t_dictionary *>(found);
    auto *made = static_cast<t_dictionary *>(object_method(defaults, KSYM("createoverridenprototype"), name));
    if (!made) return nullptr;
    dictionary_appendobject_flags(made, KSYM("#P"), p, DICTIONARY_ENTRY_FLAG_NOFREE);
    hashtab_store(h, name, &made->ob);
    return made;
}

void jpatcher_getdefaultcolor(t_object *, t_symbol *attrname, t_jrgba *colour) {
    t_object *defs = KSYM("defs")->thing;
    if (!defs || !attrname || !colour) return;
    long ac = 0;
    t_atom *av = nullptr;
    if (object_attr_getvalueof(defs, attrname, &ac, &av) == 0 && ac >= 4 && av)
        *colour = t_jrgba{atom_getfloat(av), atom_getfloat(av + 1), atom_getfloat(av + 2), atom_getfloat(av + 3)};
    if (av) sysmem_freeptr(av);
}

t_object *jpatcher_forbidclose(t_object *p) {
    t_jpatcher *x = jpatcher_cast(p);
    t_msg_stack_node *top = msg_stack_current();
    if (!x || !top) return nullptr;
    t_object *in_use = nullptr;
    jpatcher_each(x->boxes, [&](t_object *box) {
        t_object *held = jbox_held_object(box);
        for (t_msg_stack_node *n = top; n; n = n->prev)
            if (n->owner == held || n->target == held) {
                in_use = held;
                return true;
            }
        return false;
    });
    if (in_use) object_error_obtrusive(in_use, "patcher cannot be closed because objects are in use by debugger");
    return in_use;
}

long jpatcher_match_obstrusive_cb(t_dictionary *error, const char *text) {
    if (!error || !text) return 0;
    const char *message = nullptr;
    if (!dictionary_getstring(error, KSYM("message"), &message) && message) return strcmp(message, text) == 0;
    t_symbol *s = nullptr;
    if (!dictionary_getsym(error, KSYM("message"), &s) && s) return strcmp(s->name, text) == 0;
    return 0;
}

long jpatcher_find_title_cb(t_object *obj, t_jpatcher_title_search *search) {
    if (!obj || !search || !object_attr_get(obj, KSYM("title"))) return 0;
    if (object_attr_getsym(obj, KSYM("title")) != search->title) return 0;
    search->patcher = object_attr_getobj(obj, KSYM("patcher"));
    return 1;
}

long jpatcher_error(t_object *p, t_symbol *, long argc, t_atom *argv) {
    long size = 0;
    char *text = nullptr;
    t_kivo_err err = atom_gettext(argc, argv, &size, &text, 0);
    if (err || !text) return err ? err : -1;
    jpatcher_error_obtrusive_owner(p, nullptr, text, nullptr, nullptr);
    sysmem_freeptr(text);
    return 0;
}

void jpatcher_error_with_link(t_object *p, t_symbol *, long argc, t_atom *argv) {
    if (argc < 1 || !argv) return;
    long size = 0, linksize = 0;
    char *text = nullptr, *link = nullptr;
    if (!atom_gettext(argc - 1, argv, &size, &text, 0) && text &&
        !atom_gettext(1, argv + argc - 1, &linksize, &link, 0) && link) {
        // The error bar shows one text: the link text goes after it.
        std::string shown = std::string(text) + " " + link;
        jpatcher_error_obtrusive_owner(p, nullptr, shown.c_str(), nullptr, nullptr);
    }
    if (text) sysmem_freeptr(text);
    if (link) sysmem_freeptr(link);
}

void jpatcher_setobexprototype(t_dictionary *d) { KSYM("##nextobexprototype##")->thing = d ? &d->ob : nullptr; }

void jpatcher_queries_addmethods(t_class *c) {
    class_addmethod(c, as_method(jpatcher_error), "error", AT_GIMME, 0);
    class_addmethod(c, as_method(jpatcher_error_with_link), "errorwithlink", AT_GIMME, 0);
    class_addmethod(c, as_method(msg_setundoredopos), "setundoredopos", AT_FLOAT, 0);
    class_addmethod(c, as_method(msg_setclassnamespace), "setclassnamespace", AT_SYM, 0);
    class_addmethod(c, as_method(msg_dumpboxes), "dumpboxes", 0);
    class_addmethod(c, as_method(msg_getparent), "getparent", AT_CANT, 0);
    class_addmethod(c, as_method(msg_getvnewobj), "getvnewobj", AT_CANT, 0);
    class_addmethod(c, as_method(msg_getname), "getname", AT_CANT, 0);
    class_addmethod(c, as_method(msg_setname), "setname", AT_CANT, 0);
    class_addmethod(c, as_method(msg_settitle), "settitle", AT_CANT, 0);
    class_addmethod(c, as_method(msg_getcompiledflag), "getcompiledflag", AT_CANT, 0);
    class_addmethod(c, as_method(msg_setcompiledflag), "setcompiledflag", AT_CANT, 0);
    class_addmethod(c, as_method(msg_getdspchain), "getdspchain", AT_CANT, 0);
    class_addmethod(c, as_method(msg_setdspchain), "setdspchain", AT_CANT, 0);
    class_addmethod(c, as_method(msg_getfreed), "getfreed", AT_CANT, 0);
    class_addmethod(c, as_method(msg_getlocked), "getlocked", AT_CANT, 0);
    class_addmethod(c, as_method(msg_getvnewobjparent), "getvnewobjparent", AT_CANT, 0);
    class_addmethod(c, as_method(msg_getassoc), "getassoc", AT_CANT, 0);
    class_addmethod(c, as_method(msg_setassoc), "setassoc", AT_CANT, 0);
    class_addmethod(c, as_method(msg_addpvar), "addpvar", AT_CANT, 0);
    class_addmethod(c, as_method(msg_deletepvar), "deletepvar", AT_CANT, 0);
    class_addmethod(c, as_method(msg_inspector_rect), "inspector_rect", AT_CANT, 0);
    class_addmethod(c, as_method(msg_inspector_color), "inspector_color", AT_CANT, 0);
    class_addmethod(c, as_method(msg_inspector_title), "inspector_title", AT_CANT, 0);
    class_addmethod(c, as_method(msg_inspector_customize), "inspector_customize", AT_CANT, 0);
    class_addmethod(c, as_method(msg_inspector_fontattr), "inspector_fontattr", AT_CANT, 0);
    class_addmethod(c, as_method(msg_inspector_toolbarid), "inspector_toolbarid", AT_CANT, 0);
    class_addmethod(c, as_method(msg_contextmenu), "contextmenu", AT_CANT, 0);
    class_addmethod(c, as_method(msg_setrock), "setrock", AT_CANT, 0);
    class_addmethod(c, as_method(msg_find), "find", AT_CANT, 0);
    class_addmethod(c, as_method(msg_offset), "offset", AT_LONG, AT_LONG, 0);
    class_addmethod(c, as_method(msg_border), "border", AT_LONG, 0);
    class_addmethod(c, as_method(msg_getoverriddenprototype), "getoverriddenprototype", AT_CANT, 0);
    class_addmethod(c, as_method(msg_getdontshowsubpatcher), "getdontshowsubpatcher", AT_CANT, 0);
    class_addmethod(c, as_method(msg_setdontshowsubpatcher), "setdontshowsubpatcher", AT_CANT, 0);
    class_addmethod(c, as_method(msg_excludetoolbaritem), "excludetoolbaritem", AT_CANT, 0);
    class_addmethod(c, as_method(msg_includetoolbaritem), "includetoolbaritem", AT_CANT, 0);
    class_addmethod(c, as_method(msg_backtodefault), "backtodefault", AT_DEFSYM, 0);
}

} // extern "C"

/*
 * Box life cycle: jbox_new fills the record from the flag word and the box
 * dictionary and links the box into its patcher; jbox_ready binds inlets
 * and outlets and announces the box; jbox_free announces the box's end
 * while it is still linked, then tears it down.
 *
 * Saved attribute state outlives the creation order by three means: the
 * instance attributes of "instance_attributes"; frozen attributes (values
 * computed from patcher arguments save their unsubstituted form), whose
 * names wait in "frozen_pendingattrs" until jbox_ready; and the saved
 * attribute-attributes, cached in "saved_attribute_attributes" until
 * jbox_ready applies them.
 *
 * Module state: the live-box count and byte total; main thread only.
 */
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "boxes/jbox_internal.h"
#include "kernel/interned.h"
#include "kivo/alerts.h"
#include "kivo/attr.h"
#include "kivo/attr_conv.h"
#include "kivo/class.h"
#include "kivo/commonsyms.h"
#include "kivo/dispatch.h"
#include "kivo/linklist.h"
#include "kivo/obex.h"
#include "kivo/post.h"
#include "kivo/registry.h"
#include "kivo/stringobj.h"
#include "kivo/sysmem.h"
#include "patcher/jpatcher.h"
#include "patcher/patcher_model.h"
#include "prefs/styles.h"
#include "ui/textfield_internal.h"

namespace {

t_symbol *sym(const char *s) { return gensym(s); }
t_symbol *empty() { return gensym(""); }

long g_live = 0;
long g_bytes = 0;

// Atoms read from a dictionary entry, freed with the holder.
struct Atoms {
    long ac = 0;
    t_atom *av = nullptr;
    ~Atoms() {
        if (av) sysmem_freeptr(av);
    }
    bool get(t_dictionary *d, t_symbol *key) {
        if (av) sysmem_freeptr(av);
        av = nullptr;
        ac = 0;
        return d && !dictionary_copyatoms(d, key, &ac, &av) && ac > 0;
    }
    bool get(t_dictionary *d, const char *key) { return get(d, sym(key)); }
};

void publish_counts(t_jbox *b, long sign) {
    g_live += sign;
    t_atom a;
    atom_setlong(&a, g_live);
    kivodebug_setatoms(_sym(jbox_instances), 1, &a);
    if (kivodebug_isenabled()) {
        t_class *c = object_class(&b->b_ob);
        g_bytes += sign * static_cast<long>(c ? c->size : sizeof(t_jbox));
        atom_setlong(&a, g_bytes);
        kivodebug_setatoms(_sym(jbox_bytecount), 1, &a);
    }
}

// Sets a box attribute from a dictionary entry when present.
void apply(t_jbox *b, t_dictionary *d, t_symbol *key) {
    Atoms v;
    if (v.get(d, key)) object_attr_setvalueof(&b->b_ob, key, v.ac, v.av);
}

// Gives one box its own value of an attribute-attribute.
void set_attrattr(t_object *x, t_symbol *attr, const char *name, t_symbol *type, long ac,
                  t_atom *av) {
    if (!object_attr_get(x, attr)) return;
    object_attr_enforcelocal(x, attr);
    if (object_attr_attr_get(x, attr, sym(name)))
        object_attr_attr_setvalueof(x, attr, sym(name), ac, av);
    else
        object_attr_addattr_atoms(x, attr->name, name, type, 0, ac, av);
}

void set_attrattr_long(t_object *x, t_symbol *attr, const char *name, long v) {
    t_atom a;
    atom_setlong(&a, v);
    set_attrattr(x, attr, name, _sym(char), 1, &a);
}

// "#N" references in a dictionary entry replaced by the patcher's
// arguments; true with the entry's former atoms in `before` when any was.
bool replace_args(t_dictionary *d, t_symbol *key, long argc, t_atom *argv, Atoms &before) {
    Atoms now;
    if (!now.get(d, key->name)) return false;
    before.ac = now.ac;
    before.av = reinterpret_cast<t_atom *>(sysmem_newptr(sizeof(t_atom) * now.ac));
    if (!before.av) return false;
    std::memcpy(before.av, now.av, sizeof(t_atom) * now.ac);
    bool changed = false;
    for (long i = 0; i < now.ac; ++i)
        if (atom_replacearg(now.av + i, argc, argv, '#', 1, 0)) changed = true;
    if (!changed) return false;
    bool was_array = dictionary_entryisatomarray(d, key);
    dictionary_deleteentry(d, key);
    if (now.ac == 1 && !was_array) dictionary_appendatom(d, key, now.av);
    else dictionary_appendatoms(d, key, now.ac, now.av);
    return true;
}

t_dictionary *subdict(t_dictionary *d, const char *key) {
    t_object *o = nullptr;
    if (!d || dictionary_getdictionary(d, sym(key), &o)) return nullptr;
    return reinterpret_cast<t_dictionary *>(o);
}

} // namespace

extern "C" {

long jbox_live_count(void) { return g_live; }
long jbox_live_bytes(void) { return g_bytes; }

t_kivo_err jbox_new(t_jbox *b, long flags, long argc, t_atom *argv) {
    if (!b) return -1;
    // 1. Local defaults.
    t_atom_long fixwidth = 0, orderfront = 0, linecount = 1, presentation_linecount = 1;
    t_symbol *given_id = nullptr, *orderbefore = nullptr;
    // 2. Objects made below must not change the record of the newest object.
    // The symbol is bound to the kernel's record of it (a pointer's address).
    auto *newest = reinterpret_cast<t_object **>(KSYM("g_kivo_newest")->thing);
    t_object *was_newest = newest ? *newest : nullptr;
    // 3. Everything after the header and the extension store starts clear.
    std::memset(reinterpret_cast<char *>(b) + offsetof(t_jbox, b_patcher), 0,
                sizeof(t_jbox) - offsetof(t_jbox, b_patcher));
    // 4. The patcher and the box dictionary.
    t_class *c = object_class(&b->b_ob);
    t_object *p = nullptr;
    t_dictionary *d = nullptr;
    if (c && (c->flags & CLASS_FLAG_NEWDICTIONARY)) {
        d = object_dictionaryarg(argc, argv);
        if (d) dictionary_getobject(d, KSYM("#P"), &p);
        if (!p) {
            object_error(&b->b_ob, "no patcher in box dictionary constructor");
            return -1;
        }
    } else {
        if (argc >= 1 && argv && atom_gettype(argv) == AT_OBJ)
            p = static_cast<t_object *>(atom_getobj(argv));
        if (argc >= 2 && atom_gettype(argv + 1) == AT_OBJ)
            d = reinterpret_cast<t_dictionary *>(atom_getobj(argv + 1));
        else if (argc == 1)
            d = dictionary_prototypefromclass(c);
        if (d && object_classname(d) != _sym(dictionary)) d = nullptr;
    }
    t_jpatcher *px = jpatcher_cast(p);
    if (!px) {
        object_error(&b->b_ob, "no patcher in box dictionary constructor");
        return -1;
    }
    t_object *self = &b->b_ob;
    // 5. The box itself under "#B".
    object_obex_chuck(self, _sym(hash_B));
    object_obex_storeflags(self, _sym(hash_B), self, HASHTAB_FLAG_NOFREE);
    // 6.
    b->b_patcher = p;
    b->b_hidden = px->hidden_creation ? 1 : 0;
    b->b_varname = b->b_id = b->b_prototypename = empty();
    // 7. Flag bytes.
    b->b_drawfirstin = (flags & JBOX_FLAG_DRAWFIRSTIN) ? 1 : 0;
    b->b_outline = (flags & JBOX_FLAG_NOOUTLINE) ? 0 : 1;
    b->b_drawinlast = (flags & JBOX_FLAG_DRAWINLAST) ? 1 : 0;
    b->b_nogrow = (flags & JBOX_FLAG_NOGROW) ? 1 : 0;
    b->b_growy = (flags & JBOX_FLAG_GROWY) ? 1 : 0;
    b->b_growboth = (flags & JBOX_FLAG_GROWBOTH) ? 1 : 0;
    b->b_ignoreclick = (flags & JBOX_FLAG_IGNORECLICK) ? 1 : 0;
    b->b_canhilite = (flags & JBOX_FLAG_CANHILITE) || (c && class_attr_get(c, KSYM("nextfocus"))) ? 1 : 0;
    b->b_background = (flags & JBOX_FLAG_BACKGROUND) ? 1 : 0;
    b->b_mousedragdelta = (flags & JBOX_FLAG_MOUSEDRAGDELTA) ? 1 : 0;
    b->b_drawiolocked = (flags & JBOX_FLAG_DRAWIOLOCKED) ? 1 : 0;
    b->b_drawbackground = (flags & JBOX_FLAG_DRAWBACKGROUND) ? 1 : 0;
    b->b_noinspect = (flags & JBOX_FLAG_NOINSPECT) ? 1 : 0;
    b->b_bogus = 0;
    // 8.
    b->b_color = t_jrgba{1, 1, 1, 1};
    b->b_useimagebuffer = 1;
    // 9. Fonts from the patcher.
    b->b_fontname = jpatcher_get_default_fontname(p);
    if (!b->b_fontname || b->b_fontname == empty()) b->b_fontname = px->fontname ? px->fontname : empty();
    b->b_fontsize = jpatcher_get_default_fontsize(p);
    b->b_fontface = static_cast<unsigned char>(jpatcher_get_default_fontface(p));
    b->b_textjustification = static_cast<unsigned char>(object_attr_getlong(p, KSYM("textjustification")));
    // 10.
    if (flags & JBOX_FLAG_TEXT) b->b_text = atombuf_new(0, nullptr);
    b->b_boxstate = JBOX_STATE_PAINTPENDING;

    t_symbol *dict_text = nullptr;
    std::string text;
    // 11. The dictionary.
    if (d) {
        Atoms args;
        object_attr_getvalueof(p, KSYM("arguments"), &args.ac, &args.av);
        const char *s = nullptr;
        if (!dictionary_getstring(d, KSYM("text"), &s) && s) text = s;
        else if (t_dictionary *tf = subdict(d, "textfield"); tf && !dictionary_getstring(tf, KSYM("text"), &s) && s)
            text = s;
        else if (t_symbol *ts = nullptr; !dictionary_getsym(d, KSYM("text"), &ts) && ts)
            text = ts->name;
        dict_text = gensym(text.c_str());
        if (!text.empty() && b->b_text) {
            t_symbol *kclass = nullptr;
            dictionary_getsym(d, KSYM("kivoclass"), &kclass);
            std::vector<char> buf(text.begin(), text.end());
            buf.push_back(0);
            char *ptr = buf.data();
            long mode = 0;
            if (kclass == KSYM("newobj")) {
                b->b_isnewobj = 1;
                mode = 3;
            }
            atombuf_text_flags(&b->b_text, &ptr, static_cast<long>(text.size()), mode);
            if (args.ac > 0 && atombuf_replacepoundargs(b->b_text, args.ac, args.av)) {
                t_atom a;
                atom_setobj(&a, reinterpret_cast<t_object *>(string_new(text.c_str())));
                object_addattr_atoms(self, "frozen_text", _sym(object), ATTR_FLAG_NOUSERGET | ATTR_FLAG_NOUSERSET, 1, &a);
                object_attr_addattr_parse(self, "frozen_text", "invisible", _sym(long), 0, "1");
            }
        }
        object_style_init(self);
        if (args.ac > 0) {
            long nkeys = 0;
            t_symbol **keys = nullptr;
            dictionary_getkeys_ordered(d, &nkeys, &keys);
            t_dictionary *replaced = nullptr;
            for (long i = 0; i < nkeys; ++i) {
                t_symbol *k = keys[i];
                if (k == KSYM("text") || k == KSYM("#P") || k == KSYM("replaced_args")) continue;
                if (dictionary_entryisdictionary(d, k) || dictionary_entryisstring(d, k)) continue;
                Atoms before;
                if (!replace_args(d, k, args.ac, args.av, before)) continue;
                if (!replaced) {
                    replaced = dictionary_new();
                    dictionary_appenddictionary(d, KSYM("replaced_args"), &replaced->ob);
                }
                dictionary_appendatoms(replaced, k, before.ac, before.av);
                if (object_attr_get(self, k)) {
                    set_attrattr_long(self, k, "frozen", 1);
                    set_attrattr_long(self, k, "autofrozen", 1);
                    set_attrattr(self, k, "freezevalue", _sym(atom), before.ac, before.av);
                }
            }
            if (keys) dictionary_freekeys(d, nkeys, keys);
        }
        // 11.6 Older files name the patching rectangle "rect".
        if (!dictionary_hasentry(d, KSYM("patching_rect"))) {
            Atoms r;
            if (r.get(d, KSYM("rect")) || r.get(dictionary_prototypefromclass(c), KSYM("rect")))
                dictionary_appendatoms(d, KSYM("patching_rect"), r.ac, r.av);
        }
        // 11.7
        apply(b, d, KSYM("patching_rect"));
        apply(b, d, KSYM("patching_position"));
        apply(b, d, KSYM("presentation"));
        {
            Atoms r;
            if (r.get(d, KSYM("presentation_rect")) && r.ac >= 4 && atom_getfloat(r.av + 2) > 0 &&
                atom_getfloat(r.av + 3) > 0)
                object_attr_setvalueof(self, KSYM("presentation_rect"), r.ac, r.av);
        }
        for (t_symbol *key : {KSYM("presentation_position"), KSYM("hint"), KSYM("hidden"), KSYM("fontname"),
                              KSYM("fontface"), KSYM("fontsize"), KSYM("color"), KSYM("varname")})
            apply(b, d, key);
        dictionary_getsym(d, KSYM("id"), &given_id);
        for (t_symbol *key : {KSYM("background"), KSYM("ignoreclick"), KSYM("boxalpha"), KSYM("annotation")})
            apply(b, d, key);
        t_atom_long ht = 0;
        if (!dictionary_getlong(d, KSYM("hinttrack"), &ht)) b->b_hinttrack = ht ? 1 : 0;
        t_symbol *proto = nullptr;
        if (!dictionary_getsym(d, KSYM("prototypename"), &proto) && proto) b->b_prototypename = proto;
        dictionary_getsym(d, KSYM("orderbefore"), &orderbefore);
        dictionary_getlong(d, KSYM("orderfront"), &orderfront);
        dictionary_getlong(d, KSYM("fixwidth"), &fixwidth);
        dictionary_getlong(d, KSYM("linecount"), &linecount);
        dictionary_getlong(d, KSYM("presentation_linecount"), &presentation_linecount);
        apply(b, d, KSYM("nextfocus"));
        apply(b, d, KSYM("prevfocus"));
        // 11.8 For the first paint.
        t_atom info[3];
        atom_setlong(info, fixwidth);
        atom_setlong(info + 1, linecount);
        atom_setlong(info + 2, presentation_linecount);
        object_addattr_atoms(self, "boxtextinfo", _sym(long), ATTR_FLAG_NOUSERGET | ATTR_FLAG_NOUSERSET, 3, info);
        // Given as an atom: parsing "1" for every box of a load costs a text buffer each time.
        t_atom invisible;
        atom_setlong(&invisible, 1);
        object_attr_addattr_atoms(self, "boxtextinfo", "invisible", _sym(long), 0, 1, &invisible);
    } else {
        object_style_init(self);
    }
    // 12. A missing or taken id gets a fresh one; a taken one is recorded so
    // that cords read later still find the box.
    if (given_id && given_id != empty() && !jpatcher_getboxfromid(p, given_id)) {
        b->b_id = given_id;
    } else {
        b->b_id = jpatcher_newobjid(p);
        if (given_id && given_id != empty()) jpatcher_appendnamechange(p, given_id, b->b_id);
    }
    // 13.
    if (d) {
        jbox_getinstanceattributes(b, d);
        jbox_markfrozenattributes(b, d);
        jbox_cacheattrattributes(b, d);
    }
    // 14. The text field.
    if (flags & JBOX_FLAG_TEXTFIELD) {
        b->b_textfield = textfield_new_for(self);
        if (d && dictionary_hasentry(d, KSYM("textjustification")))
            apply(b, d, KSYM("textjustification"));
        else
            jbox_settextjustification(b, b->b_textjustification);
        if (b->b_text) jbox_updatetextfield(b);
        else if (b->b_textfield && dict_text && dict_text != empty())
            object_method(b->b_textfield, KSYM("settext"), dict_text->name);
        if (d) apply(b, d, KSYM("textcolor"));
    }
    // 15.
    if (d) apply(b, d, KSYM("jspainterfile"));
    // 16.
    jpatcher_linkbox(p, self);
    // 17.
    t_object *before = orderbefore ? jpatcher_getboxfromid(p, orderbefore) : nullptr;
    if (before && jbox_cast(before)) jbox_orderbefore(b, jbox_cast(before));
    else if (orderfront) jbox_bringtofront(b);
    // 18.
    if (newest) *newest = was_newest;
    // 19. Object, message and comment boxes are too many to register.
    t_symbol *cname = object_classname(self);
    if (cname != _sym(newobj) && cname != KSYM("message") && cname != KSYM("comment")) {
        object_register(_sym(box), symbol_unique(), self);
        if (c && (c->flags & CLASS_FLAG_NEWDICTIONARY)) object_attach_byptr(self, self);
    }
    // 20.
    publish_counts(b, 1);
    return 0;
}

void jbox_ready(t_jbox *b) {
    if (!b) return;
    t_object *self = &b->b_ob;
    jbox_process_frozen_pendingattrs(b);
    jbox_getattrattributes(b);
    jbox_io(b);
    if (b->b_textfield) object_attr_setlong(b->b_textfield, KSYM("ready"), 1);
    object_obex_autostimulate_set(self, 1);
    jpatcher_boxnotify(b->b_patcher, self, KSYM("newobject"));
    KSYM("g_kivo_newest_box")->thing = self;
    b->b_boxstate |= JBOX_STATE_READY;
}

void jbox_free(t_jbox *b) {
    if (!b || !b->b_patcher) return;
    t_object *self = &b->b_ob;
    t_jpatcher *px = jpatcher_cast(b->b_patcher);
    // The patcher frees its own contents without being told.
    if (px && !px->freeing_contents) {
        jpatcher_boxnotify(b->b_patcher, self, KSYM("free"));
        jpatcher_unlinkbox(b->b_patcher, self);
    }
    if (KSYM("g_kivo_newest_box")->thing == self) KSYM("g_kivo_newest_box")->thing = nullptr;
    t_object *frozen = nullptr;
    if (object_attr_get(self, KSYM("frozen_text"))) {
        frozen = object_attr_getobj(self, KSYM("frozen_text"));
        t_atom a;
        atom_setobj(&a, nullptr);
        object_attr_setvalueof(self, KSYM("frozen_text"), 1, &a);
        if (frozen) object_free(frozen);
    }
    if (b->b_textfield) object_free(b->b_textfield);
    b->b_textfield = nullptr;
    if (b->b_text) atombuf_free(b->b_text);
    b->b_text = nullptr;
    if (b->b_annotation) sysmem_freeptr(b->b_annotation);
    b->b_annotation = nullptr;
    if (b->b_hint) sysmem_freeptr(b->b_hint);
    b->b_hint = nullptr;
    jbox_freepending(b);
    jbox_forgetinletoutletxpos(b);
    // The lists belong to the held object, which frees them itself.
    if (b->b_firstin && b->b_firstin != self) self->inlet = self->outlet = nullptr;
    publish_counts(b, -1);
}

void jbox_markattributefrozen(t_jbox *b, t_symbol *name) {
    if (!b || !name) return;
    t_object *list = nullptr;
    object_obex_lookup(&b->b_ob, KSYM("frozen_pendingattrs"), &list);
    if (!list) {
        t_linklist *l = linklist_new();
        if (!l) return;
        linklist_flags(l, LINKLIST_FLAG_DATA);
        object_obex_store(&b->b_ob, KSYM("frozen_pendingattrs"), &l->ob);
        list = &l->ob;
    }
    linklist_append(reinterpret_cast<t_linklist *>(list), name);
}

void jbox_getinstanceattributes(t_jbox *b, t_dictionary *d) {
    t_dictionary *ia = subdict(d, "instance_attributes");
    if (!b || !ia) return;
    long n = 0;
    t_symbol **keys = nullptr;
    dictionary_getkeys_ordered(ia, &n, &keys);
    for (long i = 0; i < n; ++i) {
        Atoms v;
        if (!v.get(ia, keys[i]->name)) continue;
        if (!object_attr_get(&b->b_ob, keys[i]))
            object_addattr_atoms(&b->b_ob, keys[i]->name, _sym(atom), ATTR_FLAG_NOUSERGET | ATTR_FLAG_NOUSERSET,
                                 v.ac, v.av);
        object_attr_addattr_parse(&b->b_ob, keys[i]->name, "instanceattr", _sym(long), 0, "1");
        object_attr_setvalueof(&b->b_ob, keys[i], v.ac, v.av);
    }
    if (keys) dictionary_freekeys(ia, n, keys);
}

void jbox_markfrozenattributes(t_jbox *b, t_dictionary *d) {
    Atoms names;
    if (!b || !names.get(d, KSYM("frozen_box_attributes"))) return;
    for (long i = 0; i < names.ac; ++i) {
        t_symbol *s = atom_getsym(names.av + i);
        if (s && s != empty()) jbox_markattributefrozen(b, s);
    }
}

void jbox_cacheattrattributes(t_jbox *b, t_dictionary *d) {
    t_dictionary *saved = subdict(d, "saved_attribute_attributes");
    if (!b || !saved) return;
    t_dictionary *clone = dictionary_clone(saved);
    if (!clone) return;
    t_dictionary *valueof = subdict(clone, "valueof");
    Atoms args;
    if (valueof && !object_attr_getvalueof(b->b_patcher, KSYM("arguments"), &args.ac, &args.av) && args.ac > 0) {
        long n = 0;
        t_symbol **keys = nullptr;
        dictionary_getkeys_ordered(valueof, &n, &keys);
        for (long i = 0; i < n; ++i) {
            Atoms before;
            replace_args(valueof, keys[i], args.ac, args.av, before);
        }
        if (keys) dictionary_freekeys(valueof, n, keys);
    }
    object_obex_store(&b->b_ob, KSYM("saved_attribute_attributes"), &clone->ob);
}

void jbox_process_frozen_pendingattrs(t_jbox *b) {
    t_object *list = nullptr;
    if (!b || object_obex_lookup(&b->b_ob, KSYM("frozen_pendingattrs"), &list) || !list) return;
    object_obex_chuck(&b->b_ob, KSYM("frozen_pendingattrs"));
    auto *l = reinterpret_cast<t_linklist *>(list);
    for (t_linklistelem *n = l->head; n; n = n->next) {
        auto *name = static_cast<t_symbol *>(n->item);
        if (!name || !object_attr_get(&b->b_ob, name)) continue;
        Atoms now;
        object_attr_getvalueof(&b->b_ob, name, &now.ac, &now.av);
        set_attrattr_long(&b->b_ob, name, "frozen", 1);
        if (now.ac > 0) set_attrattr(&b->b_ob, name, "freezevalue", _sym(atom), now.ac, now.av);
    }
    object_free(list);
}

void jbox_getattrattributes(t_jbox *b) {
    t_object *o = nullptr;
    if (!b || object_obex_lookup(&b->b_ob, KSYM("saved_attribute_attributes"), &o) || !o) return;
    object_obex_chuck(&b->b_ob, KSYM("saved_attribute_attributes"));
    auto *saved = reinterpret_cast<t_dictionary *>(o);
    long n = 0;
    t_symbol **keys = nullptr;
    dictionary_getkeys_ordered(saved, &n, &keys);
    for (long i = 0; i < n; ++i) {
        t_dictionary *per = subdict(saved, keys[i]->name);
        if (!per || !object_attr_get(&b->b_ob, keys[i])) continue;
        long m = 0;
        t_symbol **aakeys = nullptr;
        dictionary_getkeys_ordered(per, &m, &aakeys);
        for (long j = 0; j < m; ++j) {
            Atoms v;
            if (v.get(per, aakeys[j]->name)) set_attrattr(&b->b_ob, keys[i], aakeys[j]->name, _sym(atom), v.ac, v.av);
        }
        if (aakeys) dictionary_freekeys(per, m, aakeys);
    }
    if (keys) dictionary_freekeys(saved, n, keys);
    object_free(o);
}

void attr_dictionary_process(void *x, t_dictionary *d) {
    auto *o = static_cast<t_object *>(x);
    if (!o || !d) return;
    long n = 0;
    t_symbol **keys = nullptr;
    dictionary_getkeys_ordered(d, &n, &keys);
    for (long i = 0; i < n; ++i) {
        t_object *attr = object_attr_get(o, keys[i]);
        // Box attributes were applied by jbox_new already.
        if (!attr || (attr_getflags(reinterpret_cast<t_attr *>(attr)) & JBOX_ATTR_FLAG_BOXONLY)) continue;
        Atoms v;
        if (dictionary_entryisdictionary(d, keys[i])) {
            t_object *sub = nullptr;
            dictionary_getdictionary(d, keys[i], &sub);
            t_atom a;
            atom_setobj(&a, sub);
            object_attr_setvalueof(o, keys[i], 1, &a);
        } else if (v.get(d, keys[i]->name)) {
            object_attr_setvalueof(o, keys[i], v.ac, v.av);
        }
    }
    if (keys) dictionary_freekeys(d, n, keys);
}

void jbox_processlegacydefaults(t_jbox *b, t_dictionary *d, long flags) {
    if (!b || !d) return;
    if (jpatcher_dictionary_modernui(nullptr)) return;
    t_object *self = &b->b_ob;
    bool legacy = false;
    long n = 0;
    t_symbol **keys = nullptr;
    dictionary_getkeys_ordered(d, &n, &keys);
    for (long i = 0; i < n && !legacy; ++i) {
        if (!object_attr_get(self, keys[i])) continue;
        if (object_attr_attr_get(self, keys[i], KSYM("legacydefault")) &&
            !object_attr_attr_getlong(self, keys[i], KSYM("legacyexception")))
            legacy = true;
    }
    if (keys) dictionary_freekeys(d, n, keys);
    if (!(flags & 1) && !legacy) return;
    t_class *c = object_class(self);
    auto *table = c ? static_cast<t_hashtab *>(class_extra_lookup(c, KSYM("legacydefaults"))) : nullptr;
    if (!table) return;
    long count = 0;
    t_symbol **names = nullptr;
    hashtab_getkeys(table, &count, &names);
    for (long i = 0; i < count; ++i) {
        t_symbol *dkey = nullptr;
        if (hashtab_lookupsym(table, names[i], &dkey) || !dkey || dictionary_hasentry(d, dkey)) continue;
        Atoms v;
        if (!object_attr_attr_getvalueof(self, names[i], KSYM("legacydefault"), &v.ac, &v.av) && v.ac > 0)
            dictionary_appendatoms(d, dkey, v.ac, v.av);
    }
    if (names) sysmem_freeptr(names);
}

} // extern "C"

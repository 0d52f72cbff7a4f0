/*
 * Dictionary copies, text forms, blobs and the dump.
 *
 * - Every copy writes through dictionary_appendatom_flags: a key the
 *   destination holds is replaced in place, a new key goes to the end.
 * - An owned object is written as a clone owned by the destination; a
 *   reference (entry flags 1 or 2) is written as the same pointer with the
 *   same flags, so neither dictionary owns it.
 * - Nested dictionaries and atom arrays are cloned with an explicit work
 *   list, never by recursion: blobs and patcher files come from outside and
 *   may nest as deep as they like.
 * - A value that cannot be cloned becomes a null object under its key, with
 *   one line in the system log; the copy goes on.
 */
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <vector>

#include "kivo/atomarray.h"
#include "kivo/class.h"
#include "kivo/commonsyms.h"
#include "kivo/dictionary.h"
#include "kivo/dispatch.h"
#include "kivo/obex.h"
#include "kivo/post.h"
#include "kivo/stringobj.h"
#include "kivo/strutil.h"
#include "kivo/sysmem.h"
#include "runtime/dictionary_internal.h"

namespace {

constexpr long kNotOwned = DICTIONARY_ENTRY_FLAG_NOFREE | DICTIONARY_ENTRY_FLAG_REFERENCE;
// dictionary_sprintf's text, terminating zero included.
constexpr size_t kSprintfSize = 4096;
// Longest atom text in a dump line.
constexpr size_t kDumpTextSize = 2048;

t_kivo_err as_err(void *r) { return static_cast<t_kivo_err>(reinterpret_cast<intptr_t>(r)); }

bool is_named(t_object *o, t_symbol *name) { return o && object_classname(o) == name; }
bool is_dict(t_object *o) { return is_named(o, _sym(dictionary)); }
bool is_array(t_object *o) { return is_named(o, _sym(atomarray)); }

const char *class_text(t_object *o) { return o ? object_classname(o)->name : "<NULL>"; }

// One container still to be filled: dst is already in place in its parent
// (owned by it) and receives clones of src's values.
struct Job {
    t_object *src;
    t_object *dst;
};

using Work = std::vector<Job>;

// A new empty container of src's kind that the work list fills later, or a
// finished clone of any other clonable object; null when neither can be
// made. An array shell holds src's plain atoms and null objects, so it can
// be freed at any moment without touching src's objects.
t_object *clone_or_shell(t_object *src, Work &work) {
    if (!src) return nullptr;
    if (is_dict(src)) {
        t_dictionary *d = dictionary_new();
        if (!d) return nullptr;
        work.push_back({src, reinterpret_cast<t_object *>(d)});
        return reinterpret_cast<t_object *>(d);
    }
    if (is_array(src)) {
        auto *from = reinterpret_cast<t_atomarray *>(src);
        t_atomarray *to = atomarray_new(static_cast<long>(from->count), from->atoms);
        if (!to) return nullptr;
        if (from->count > 0 && to->count != from->count) {
            object_free(to);
            return nullptr;
        }
        for (t_atom_long i = 0; i < to->count; i++)
            if (to->atoms[i].type == AT_OBJ) to->atoms[i].value.w_obj = nullptr;
        to->flags = from->flags;
        work.push_back({src, reinterpret_cast<t_object *>(to)});
        return reinterpret_cast<t_object *>(to);
    }
    return object_clonable(src) ? static_cast<t_object *>(object_clone(src)) : nullptr;
}

// Where entry copies go and what they say when a value cannot be cloned.
struct CopyContext {
    t_dictionary *dst;
    const char *fn;           // the name in the log line
    Work *work;
    bool top;                 // values are finished before they are stored
    t_symbol **keys;          // copyentries: only these (borrowed); else null
    bool unique;              // copyunique: keys dst holds are left alone
};

void drain(Work &work);

void copy_entry(t_dictionary_entry *e, CopyContext &ctx) {
    const t_atom &value = e->value;
    if (value.type != AT_OBJ) {
        dictionary_appendatom_flags(ctx.dst, e->key, &value, 0);
        return;
    }
    if (e->flags & kNotOwned) {
        dictionary_appendatom_flags(ctx.dst, e->key, &value, e->flags);
        return;
    }
    t_object *src = value.value.w_obj;
    const size_t pending = ctx.work->size();
    t_object *copy = clone_or_shell(src, *ctx.work);
    // Storing may free src (a dictionary copied onto itself): a top-level
    // clone is finished first. Nested shells belong to fresh dictionaries.
    if (ctx.top) drain(*ctx.work);
    if (!copy)
        cpost("%s: non-clonable entity for key %s; class is %s", ctx.fn, e->key ? e->key->name : "",
              class_text(src));
    t_atom a;
    atom_setobj(&a, copy);
    if (dictionary_appendatom_flags(ctx.dst, e->key, &a, 0) != KIVO_ERR_NONE && copy) {
        ctx.work->resize(pending); // the shell is gone: nothing may fill it
        object_free(copy);
    }
}

void copy_entry_cb(t_dictionary_entry *e, void *data) {
    auto &ctx = *static_cast<CopyContext *>(data);
    if (!e) return;
    if (ctx.unique && dictionary_hasentry(ctx.dst, e->key)) return;
    if (ctx.keys) {
        bool wanted = false;
        for (t_symbol **k = ctx.keys; *k; ++k)
            if (*k == e->key) {
                wanted = true;
                break;
            }
        if (!wanted) return;
    }
    copy_entry(e, ctx);
}

void fill_array(t_atomarray *from, t_atomarray *to, Work &work) {
    for (t_atom_long i = 0; i < from->count && i < to->count; i++) {
        if (from->atoms[i].type != AT_OBJ || to->atoms[i].type != AT_OBJ) continue;
        t_object *o = from->atoms[i].value.w_obj;
        t_object *copy = clone_or_shell(o, work);
        if (!copy) cpost("atomarray_clone: non-clonable entity; class is %s\n", class_text(o));
        to->atoms[i].value.w_obj = copy;
    }
}

// Fills every shell on the work list, and the shells their filling makes.
void drain(Work &work) {
    while (!work.empty()) {
        const Job job = work.back();
        work.pop_back();
        if (is_dict(job.src)) {
            CopyContext ctx{reinterpret_cast<t_dictionary *>(job.dst), "dictionary_clone_cb", &work, false,
                            nullptr, false};
            dictionary_funall(reinterpret_cast<t_dictionary *>(job.src), copy_entry_cb, &ctx);
        } else {
            fill_array(reinterpret_cast<t_atomarray *>(job.src), reinterpret_cast<t_atomarray *>(job.dst),
                       work);
        }
    }
}

// Copies the entries of src into dst.
void copy_all(t_dictionary *src, t_dictionary *dst, const char *fn, t_symbol **keys, bool unique) {
    Work work;
    CopyContext ctx{dst, fn, &work, true, keys, unique};
    dictionary_funall(src, copy_entry_cb, &ctx);
}

void dump_line(bool tolog, const char *format, ...) __attribute__((format(printf, 2, 3)));
void dump_line(bool tolog, const char *format, ...) {
    char line[kDumpTextSize + 256];
    va_list args;
    va_start(args, format);
    vsnprintf_zero(line, sizeof line, format, args);
    va_end(args);
    if (tolog)
        cpost("%s\n", line);
    else
        post("%s", line);
}

// The atom's text, cut to the dump's limit.
void atom_text(const t_atom *a, char *buf) {
    const char *text = atom_string(a);
    strncpy_zero(buf, text ? text : "", kDumpTextSize);
}

// A dump walks nested dictionaries with its own stack: a frame is a
// dictionary's ordered keys and the position reached.
struct DumpFrame {
    t_dictionary *d;
    long count;
    t_symbol **keys;
    long next;
};

void dump_open(std::vector<DumpFrame> &stack, t_dictionary *d) {
    DumpFrame f{d, 0, nullptr, 0};
    dictionary_getkeys_ordered(d, &f.count, &f.keys);
    stack.push_back(f);
}

void dump_dictionary(t_dictionary *root, bool recurse, bool tolog) {
    std::vector<DumpFrame> stack;
    dump_open(stack, root);
    char text[kDumpTextSize];
    while (!stack.empty()) {
        DumpFrame &f = stack.back();
        if (f.next >= f.count) {
            dictionary_freekeys(f.d, f.count, f.keys);
            stack.pop_back();
            if (!stack.empty()) dump_line(tolog, "--end--");
            continue;
        }
        t_symbol *key = f.keys[f.next++];
        t_dictionary *d = f.d;
        t_atom a;
        if (dictionary_getatom(d, key, &a) != KIVO_ERR_NONE) continue;
        atom_text(&a, text);
        dump_line(tolog, "key: %s, type %ld, value %s", key->name, static_cast<long>(a.type), text);
        if (!recurse || a.type != AT_OBJ) continue;
        if (is_dict(a.value.w_obj)) {
            dump_line(tolog, "--begin--");
            dump_open(stack, reinterpret_cast<t_dictionary *>(a.value.w_obj)); // f is stale from here
        } else if (is_array(a.value.w_obj)) {
            auto *array = reinterpret_cast<t_atomarray *>(a.value.w_obj);
            dump_line(tolog, "-> atomarray (%ld items)", static_cast<long>(array->count));
            for (t_atom_long i = 0; i < array->count; i++) {
                atom_text(&array->atoms[i], text);
                dump_line(tolog, "%ld: %s", static_cast<long>(i), text);
                if (array->atoms[i].type == AT_OBJ && is_dict(array->atoms[i].value.w_obj)) {
                    // An array's dictionaries are dumped in place; their own
                    // nesting goes through the stack.
                    dump_line(tolog, "--begin--");
                    dump_dictionary(reinterpret_cast<t_dictionary *>(array->atoms[i].value.w_obj), true,
                                    tolog);
                    dump_line(tolog, "--end--");
                }
            }
        }
    }
}

// Parses zero-terminated JSON text; *result is the parsed object (owned by
// the caller) or null.
t_kivo_err parse_json(const char *text, t_object **result) {
    *result = nullptr;
    t_object *reader = static_cast<t_object *>(object_new(_sym(nobox), _sym(jsonreader)));
    if (!reader) return KIVO_ERR_GENERIC;
    t_atom parsed;
    atom_setobj(&parsed, nullptr);
    const t_kivo_err err =
        as_err(object_method(reader, gensym("parse"), const_cast<char *>(text), &parsed));
    object_free(reader);
    if (parsed.type == AT_OBJ) *result = parsed.value.w_obj;
    return err;
}

} // namespace

extern "C" {

// ---- copies and merges

t_dictionary *dictionary_clone(t_dictionary *src) {
    if (!src) return nullptr;
    t_dictionary *d = dictionary_new();
    if (!d) return nullptr;
    dictionary_clone_to_existing(src, d);
    return d;
}

t_kivo_err dictionary_clone_to_existing(t_dictionary *src, t_dictionary *dst) {
    if (!src || !dst || src == dst) return KIVO_ERR_GENERIC;
    dictionary_clear(dst);
    copy_all(src, dst, "dictionary_clone_cb", nullptr, false);
    return KIVO_ERR_NONE;
}

t_kivo_err dictionary_copy_to_existing(t_dictionary *src, t_dictionary *dst) {
    if (!src || !dst || src == dst) return KIVO_ERR_GENERIC;
    copy_all(src, dst, "dictionary_clone_cb", nullptr, false);
    return KIVO_ERR_NONE;
}

t_kivo_err dictionary_merge_to_existing(t_dictionary *src, t_dictionary *dst) {
    return dictionary_copy_to_existing(src, dst);
}

t_kivo_err dictionary_copyunique(t_dictionary *dst, t_dictionary *src) {
    if (!src || !dst) return KIVO_ERR_GENERIC;
    copy_all(src, dst, "dictionary_copyunique_cb", nullptr, true);
    return KIVO_ERR_NONE;
}

t_kivo_err dictionary_copyentries(t_dictionary *src, t_dictionary *dst, t_symbol **keys) {
    if (!src || !dst || !keys) return KIVO_ERR_GENERIC;
    copy_all(src, dst, "dictionary_clone_cb", keys, false);
    return KIVO_ERR_NONE;
}

t_kivo_err dictionary_copyunique_defaults(t_dictionary *dst, t_class *c) {
    if (!dst || !c) return KIVO_ERR_GENERIC;
    t_dictionary *defaults = dictionary_prototypefromclass(c);
    if (!defaults) return KIVO_ERR_NONE;
    copy_all(defaults, dst, "dictionary_copyunique_defaults_cb", nullptr, true);
    return KIVO_ERR_NONE;
}

// ---- text constructors

t_dictionary *dictionary_fromtext(const char *text) {
    t_dictionary *d = dictionary_new();
    if (!d || !text) return d;
    long argc = 0;
    t_atom *argv = nullptr;
    atom_setparse(&argc, &argv, text);
    if (argc > 0 && argv) attr_args_dictionary(d, static_cast<short>(argc > 0x7fff ? 0x7fff : argc), argv);
    if (argv) sysmem_freeptr(argv);
    return d;
}

t_dictionary *dictionary_sprintf(const char *format, ...) {
    if (!format) return nullptr;
    char text[kSprintfSize];
    va_list args;
    va_start(args, format);
    vsnprintf_zero(text, sizeof text, format, args);
    va_end(args);
    return dictionary_fromtext(text);
}

t_dictionary *dictionary_fromjson(const char *text) {
    if (!text) return nullptr;
    t_object *parsed = nullptr;
    const t_kivo_err err = parse_json(text, &parsed);
    if (err == KIVO_ERR_NONE && is_dict(parsed)) return reinterpret_cast<t_dictionary *>(parsed);
    if (parsed) object_free(parsed);
    return nullptr;
}

// ---- blobs

t_kivo_err dictionary_serializeblob(t_dictionary *d, t_handle *handle) {
    if (!d || !handle) return KIVO_ERR_GENERIC;
    t_object *writer = static_cast<t_object *>(object_new(_sym(nobox), _sym(jsonwriter)));
    if (!writer) return KIVO_ERR_GENERIC;
    const t_kivo_err err = as_err(object_method(writer, gensym("writedictionary"), d));
    if (err == KIVO_ERR_NONE) {
        t_handle out = nullptr;
        object_method(writer, gensym("getoutput"), &out);
        object_method(writer, gensym("detachoutput"), reinterpret_cast<void *>(1));
        *handle = out;
    }
    object_free(writer);
    return err;
}

t_kivo_err dictionary_deserializeblob(t_dictionary *d, long, const char *bytes) {
    if (!d || !bytes) return KIVO_ERR_GENERIC;
    t_object *parsed = nullptr;
    t_kivo_err err = parse_json(bytes, &parsed);
    if (!parsed) return err;
    if (err == KIVO_ERR_NONE && is_dict(parsed)) {
        auto *p = reinterpret_cast<t_dictionary *>(parsed);
        if (dictionary_swapcontents(d, p) != KIVO_ERR_NONE) {
            // The storage cannot change hands (d is being walked, or p keeps
            // its entries in its own block): the entries move over one by
            // one instead, and p keeps nothing it would free.
            struct Move {
                t_dictionary *to;
                bool failed;
            } move{d, false};
            dictionary_clear(d);
            dictionary_funall(p, [](t_dictionary_entry *e, void *data) {
                auto *m = static_cast<Move *>(data);
                if (dictionary_appendatom_flags(m->to, e->key, &e->value, e->flags) == KIVO_ERR_NONE)
                    e->value = t_atom{};
                else
                    m->failed = true;
            }, &move);
            if (move.failed) err = KIVO_ERR_OUT_OF_MEMORY;
        }
    }
    object_free(parsed); // now holding d's former entries, or not a dictionary
    return err;
}

// ---- dump

t_kivo_err dictionary_dump(t_dictionary *d, long recurse, long tolog) {
    if (!d) return KIVO_ERR_GENERIC;
    dump_dictionary(d, recurse != 0, tolog != 0);
    return KIVO_ERR_NONE;
}

} // extern "C"

/*
 * The "jsonwriter" class and the dictionary files built on it.
 *
 *   - output is a handle holding length bytes of text and a NUL after them:
 *     output size > length always, so the text can be handed over as is.
 *   - Nested values are walked with an explicit stack, never by recursion,
 *     so nesting depth is bounded by memory, not by the thread's stack.
 *   - A float is written so that reading it back gives the same double.
 *   - The layout (tabs, " : ", one-line arrays, the line breaks around
 *     nested objects) is that of every saved file: change no byte of it.
 *   - One thread at a time; the writer takes no lock of its own.
 */
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <vector>

#include "kernel/obex_internal.h"
#include "kivo/atomarray.h"
#include "kivo/class.h"
#include "kivo/commonsyms.h"
#include "kivo/dictionary.h"
#include "kivo/dispatch.h"
#include "kivo/json.h"
#include "kivo/obex.h"
#include "kivo/path.h"
#include "kivo/post.h"
#include "kivo/stringobj.h"
#include "kivo/sysmem.h"
#include "runtime/dictionary_internal.h"

using kivo::obex::as_method;

namespace {

t_class *s_jsonwriter_class = nullptr;

constexpr long kMaxIndent = 511;

const char s_tabs[kMaxIndent + 1] = {
#define T8 '\t', '\t', '\t', '\t', '\t', '\t', '\t', '\t'
#define T64 T8, T8, T8, T8, T8, T8, T8, T8
    T64, T64, T64, T64, T64, T64, T64, T64
#undef T64
#undef T8
};

// The object: the public record, then the size of the output handle as
// last seen, so that appends need not ask the memory layer every time. Only
// this file resizes the handle, and it updates the size when it does.
struct WriterImpl {
    t_jsonwriter pub;
    t_ptr_size capacity;
};

t_ptr_size &capacity_of(t_jsonwriter *x) { return reinterpret_cast<WriterImpl *>(x)->capacity; }

// Appends n bytes, keeping the NUL after the text. On a failed grow the
// text written so far is kept and the rest is dropped: the old handle
// stays valid (the memory layer keeps it when it cannot resize).
void put(t_jsonwriter *x, const char *text, size_t n) {
    if (!x->output || n == 0) return;
    const t_ptr_size need = static_cast<t_ptr_size>(x->length) + n + 1;
    t_ptr_size &capacity = capacity_of(x);
    if (capacity < need) {
        const bool grown = sysmem_resizehandle(x->output, need * 2) == 0;
        capacity = sysmem_handlesize(x->output);
        if (!grown || capacity < need) return;
    }
    char *base = *x->output;
    std::memcpy(base + x->length, text, n);
    x->length += static_cast<long>(n);
    base[x->length] = '\0';
}

void put(t_jsonwriter *x, const char *text) { put(x, text, std::strlen(text)); }

void indent(t_jsonwriter *x) {
    long n = x->depth < kMaxIndent ? x->depth : kMaxIndent;
    if (n > 0) put(x, s_tabs, static_cast<size_t>(n));
}

// The text with its six escaped bytes, without the quotes.
void put_escaped(t_jsonwriter *x, const char *s) {
    if (s) {
        // Runs of plain bytes go out in one piece; only the six escaped
        // bytes interrupt them.
        const char *run = s;
        for (const char *p = s;; p++) {
            const char c = *p;
            const char *esc = nullptr;
            switch (c) {
            case '\0': break;
            case '\b': esc = "\\b"; break;
            case '\t': esc = "\\t"; break;
            case '\n': esc = "\\n"; break;
            case '\r': esc = "\\r"; break;
            case '"': esc = "\\\""; break;
            case '\\': esc = "\\\\"; break;
            default: continue;
            }
            if (p > run) put(x, run, static_cast<size_t>(p - run));
            if (!esc) break;
            put(x, esc, 2);
            run = p + 1;
        }
    }
}

void put_string(t_jsonwriter *x, const char *s) {
    put(x, "\"", 1);
    put_escaped(x, s);
    put(x, "\"", 1);
}

// Writes v in the six-decimal form (trailing zeros after the point removed,
// one digit kept) whenever that form reads back as v, so the files of
// earlier versions are reproduced byte for byte; otherwise the shortest
// text that reads back as v. Six decimals alone would save 1e-7 as 0.0.
void put_float(t_jsonwriter *x, double v) {
    char buf[400]; // holds "%f" of any finite double (at most 317 bytes)
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, 6);
    size_t n = ec == std::errc{} ? static_cast<size_t>(end - buf) : sizeof buf;
    if (n <= 63) {
        while (n > 2 && buf[n - 1] == '0' && buf[n - 2] != '.') n--;
        double back = 0.0;
        auto r = std::from_chars(buf, buf + n, back);
        if (r.ec == std::errc{} && back == v) {
            put(x, buf, n);
            return;
        }
    }
    // Very large values (whose six-decimal text would not fit the 64-byte
    // area of earlier versions) and values that need more digits.
    auto [e2, ec2] = std::to_chars(buf, buf + sizeof buf, v);
    n = ec2 == std::errc{} ? static_cast<size_t>(e2 - buf) : 0;
    if (n == 0) {
        put(x, "0.0");
        return;
    }
    put(x, buf, n);
    // A text without point or exponent would read back as an integer.
    if (!std::memchr(buf, '.', n) && !std::memchr(buf, 'e', n)) put(x, ".0", 2);
}

void put_long(t_jsonwriter *x, long long v) {
    char buf[32];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    (void)ec;
    put(x, buf, static_cast<size_t>(end - buf));
}

enum class Kind { scalar, dictionary, array };

Kind kind_of(const t_atom *a) {
    if (a->type != AT_OBJ || !a->value.w_obj) return Kind::scalar;
    const t_symbol *name = object_classname(a->value.w_obj);
    if (name == _sym(dictionary)) return Kind::dictionary;
    if (name == _sym(atomarray)) return Kind::array;
    return Kind::scalar;
}

// Writes any value that holds no nested dictionary or array.
long put_scalar(t_jsonwriter *x, const t_atom *a) {
    switch (a->type) {
    case AT_NOTHING: put(x, "null", 4); return 0;
    case AT_LONG: put_long(x, a->value.w_long); return 0;
    case AT_FLOAT: {
        const double v = a->value.w_float;
        if (!std::isfinite(v)) {
            put(x, "0.", 2);
            object_warn(nullptr, "detected out-of-range float value (inf or nan) when writing JSON file, replacing with 0");
            return 0;
        }
        put_float(x, v);
        return 0;
    }
    case AT_SYM: {
        const t_symbol *s = a->value.w_sym;
        if (!s) {
            put(x, "\"\"", 2);
            return 0;
        }
        const char *name = s->name;
        if (name && name[0] && !name[1] && (name[0] == '$' || name[0] == ',' || name[0] == ';')) {
            char buf[16];
            int n = std::snprintf(buf, sizeof buf, "\"\\u%.4x\"", static_cast<unsigned>(name[0]));
            put(x, buf, static_cast<size_t>(n));
            return 0;
        }
        put_string(x, name);
        return 0;
    }
    case AT_OBJ: {
        t_object *o = a->value.w_obj;
        if (atomisstring(a)) {
            put_string(x, string_getptr(reinterpret_cast<t_string *>(o)));
            return 0;
        }
        t_symbol *cls = o ? object_classname(o) : nullptr;
        put_string(x, cls ? cls->name : nullptr);
        return -1;
    }
    case AT_SEMI: put(x, "\";\"", 3); return -1;
    case AT_COMMA: put(x, "\",\"", 3); return -1;
    case AT_DOLLAR: {
        char buf[40];
        int n = std::snprintf(buf, sizeof buf, "$%lld", static_cast<long long>(a->value.w_long));
        buf[n] = '\0';
        put_string(x, buf);
        return -1;
    }
    case AT_DOLLSYM: {
        const t_symbol *s = a->value.w_sym;
        if (!s) {
            put(x, "\"\"", 2);
            return -1;
        }
        put(x, "\"$", 2);
        put_escaped(x, s->name);
        put(x, "\"", 1);
        return -1;
    }
    default:
        put(x, "null", 4);
        object_error(nullptr, "jsonwriter_writeatom: unsupported atom type: %d", static_cast<int>(a->type));
        return -1;
    }
}

// How nesting is walked: each open dictionary or array is a frame. A
// dictionary's entries are copied (key and value atom, objects borrowed)
// under the dictionary's own locking when its frame opens; an array is read
// element by element through "getsize"/"getindex", so any object answering
// those can be written. The frames live on the heap, so 100,000 levels
// cost memory, not stack.
struct Entry {
    t_symbol *key;
    t_atom value;
};

struct Frame {
    Kind kind;
    t_object *obj;
    t_atom_long size = 0;  // entries or elements
    t_atom_long index = 0; // the next one to write
    size_t first = 0;      // dictionaries: where their entries start in Walk::entries
    long saved_first = 0;
};

// The frames and the copied entries of every open dictionary, one above the
// other; kept between writes so a save allocates only when it nests deeper.
struct Walk {
    std::vector<Frame> frames;
    std::vector<Entry> entries;
    std::vector<t_atom> scratch;
};

// Copies the dictionary's entries in key order, taking its lock once
// rather than once per entry.
void collect_entries(Walk &w, t_dictionary *d) {
    dictionary_snapshot(d, [](void *ctx, t_symbol *key, const t_atom *value) {
        static_cast<Walk *>(ctx)->entries.push_back(Entry{key, *value});
    }, &w);
}

void open_frame(t_jsonwriter *x, Walk &w, Kind kind, t_object *obj) {
    Frame f;
    f.kind = kind;
    f.obj = obj;
    if (kind == Kind::dictionary) {
        indent(x);
        put(x, "{\n", 2);
        x->depth++;
        f.saved_first = x->firstentry;
        x->firstentry = 0;
        f.first = w.entries.size();
        collect_entries(w, reinterpret_cast<t_dictionary *>(obj));
        f.size = static_cast<t_atom_long>(w.entries.size() - f.first);
    } else {
        if (object_classname_compare(obj, _sym(atomarray)))
            f.size = atomarray_getsize(reinterpret_cast<t_atomarray *>(obj));
        else
            f.size = static_cast<t_atom_long>(reinterpret_cast<intptr_t>(object_method(obj, gensym("getsize"))));
        put(x, "[ ", 2);
        x->depth++;
    }
    w.frames.push_back(f);
}

void close_frame(t_jsonwriter *x, Walk &w) {
    const Frame &f = w.frames.back();
    if (f.kind == Kind::dictionary) {
        x->firstentry = f.saved_first;
        x->depth--;
        put(x, "\n", 1);
        indent(x);
        put(x, "}\n", 2);
        w.entries.resize(f.first);
    } else {
        x->depth--;
        put(x, " ]", 2);
    }
    w.frames.pop_back();
}

// Writes a dictionary or array, nested values included.
void write_tree(t_jsonwriter *x, Kind k, t_object *obj) {
    Walk w;
    open_frame(x, w, k, obj);
    while (!w.frames.empty()) {
        Frame &f = w.frames.back();
        if (f.index >= f.size) {
            close_frame(x, w);
            continue;
        }
        t_atom value;
        if (f.kind == Kind::dictionary) {
            const Entry &e = w.entries[f.first + static_cast<size_t>(f.index++)];
            if (x->firstentry) put(x, ",\n", 2);
            x->firstentry = 1;
            indent(x);
            put_string(x, e.key ? e.key->name : nullptr);
            put(x, " : ", 3);
            value = e.value;
        } else {
            if (f.index > 0) put(x, ", ", 2);
            value.type = AT_NOTHING;
            value.value.w_long = 0;
            if (object_classname_compare(f.obj, _sym(atomarray)))
                atomarray_getindex(reinterpret_cast<t_atomarray *>(f.obj), static_cast<long>(f.index), &value);
            else
                object_method(f.obj, gensym("getindex"), reinterpret_cast<void *>(static_cast<intptr_t>(f.index)),
                              &value);
            f.index++;
        }
        // f and e are not used after this point: opening a frame may move them.
        const Kind vk = kind_of(&value);
        if (vk == Kind::scalar)
            put_scalar(x, &value);
        else
            open_frame(x, w, vk, value.value.w_obj);
    }
}

} // namespace

extern "C" {

void jsonwriter_initclass(void) {
    if (s_jsonwriter_class) return;
    t_class *c = class_new("jsonwriter", as_method(jsonwriter_new), as_method(jsonwriter_free),
                           sizeof(WriterImpl), nullptr, AT_CANT, 0);
    if (!c) return;
    kivo::obex::class_addmethods_cant(c, {
        {as_method(jsonwriter_writedictionary), "writedictionary"},
        {as_method(jsonwriter_writeatomarray), "writeatomarray"},
        {as_method(jsonwriter_writeatom), "writeatom"},
        {as_method(jsonwriter_getoutput), "getoutput"},
        {as_method(jsonwriter_detachoutput), "detachoutput"},
    });
    class_register(_sym(nobox), c);
    s_jsonwriter_class = c;
}

t_jsonwriter *jsonwriter_new(void) {
    if (!s_jsonwriter_class) jsonwriter_initclass();
    if (!s_jsonwriter_class) return nullptr;
    auto *x = static_cast<t_jsonwriter *>(object_alloc(s_jsonwriter_class));
    if (!x) return nullptr;
    x->depth = 0;
    x->length = 0;
    x->firstentry = 0;
    x->detached = 0;
    x->output = sysmem_newhandle(1);
    if (!x->output) {
        object_free(x);
        return nullptr;
    }
    **x->output = '\0';
    capacity_of(x) = 1;
    return x;
}

void jsonwriter_free(t_jsonwriter *x) {
    if (!x) return;
    if (x->output && !x->detached) sysmem_freehandle(x->output);
    x->output = nullptr;
}

t_kivo_err jsonwriter_writedictionary(t_jsonwriter *x, t_dictionary *d) {
    if (x && d) write_tree(x, Kind::dictionary, reinterpret_cast<t_object *>(d));
    return KIVO_ERR_NONE;
}

t_kivo_err jsonwriter_writeatomarray(t_jsonwriter *x, t_object *array) {
    if (x && array) write_tree(x, Kind::array, array);
    return KIVO_ERR_NONE;
}

long jsonwriter_writeatom(t_jsonwriter *x, const t_atom *a) {
    if (!x || !a) return -1;
    const Kind k = kind_of(a);
    if (k == Kind::scalar) return put_scalar(x, a);
    write_tree(x, k, a->value.w_obj);
    return 0;
}

t_kivo_err jsonwriter_getoutput(t_jsonwriter *x, t_handle *out) {
    if (!x || !out) return KIVO_ERR_GENERIC;
    if (x->output) {
        sysmem_resizehandle(x->output, static_cast<t_ptr_size>(x->length) + 1);
        capacity_of(x) = sysmem_handlesize(x->output);
    }
    *out = x->output;
    return KIVO_ERR_NONE;
}

t_kivo_err jsonwriter_detachoutput(t_jsonwriter *x, long flag) {
    if (!x) return KIVO_ERR_GENERIC;
    x->detached = flag ? 1 : 0;
    return KIVO_ERR_NONE;
}

t_kivo_err dictionary_write(t_dictionary *d, const char *filename, short path) {
    t_object *w = static_cast<t_object *>(object_new(_sym(nobox), _sym(jsonwriter)));
    if (!w) return KIVO_ERR_GENERIC;
    object_method(w, gensym("writedictionary"), d);
    t_handle text = nullptr;
    object_method(w, gensym("getoutput"), &text);
    t_filehandle fh = nullptr;
    // path_createsysfile writes to a temporary file that sysfile_close
    // renames into place: a failed save leaves the old file whole.
    short err = path_createsysfile(filename, path, KIVO_FOURCC('J', 'S', 'O', 'N'), &fh);
    t_kivo_err result;
    if (err) {
        object_error(nullptr, "error %d writing %s", static_cast<int>(err), filename ? filename : "");
        result = err;
    } else {
        result = KIVO_ERR_GENERIC;
        if (text) result = sysfile_writetextfile(fh, text, TEXT_LB_UNIX);
        t_kivo_err cerr = sysfile_close(fh);
        if (result == KIVO_ERR_NONE) result = cerr;
    }
    object_free(w);
    return result;
}

t_kivo_err dictionary_read(const char *filename, short path, t_dictionary **d) {
    if (!d) return KIVO_ERR_GENERIC;
    *d = nullptr;
    t_filehandle fh = nullptr;
    short err = path_opensysfile(filename, path, &fh, PATH_READ_PERM);
    if (err) return err;
    t_handle text = sysmem_newhandle(0);
    if (!text) {
        sysfile_close(fh);
        return KIVO_ERR_GENERIC;
    }
    const t_kivo_err rerr = sysfile_readtextfile(fh, text, 0, TEXT_LB_UNIX | TEXT_NULL_TERMINATE);
    sysfile_close(fh);
    if (rerr != KIVO_ERR_NONE) {
        sysmem_freehandle(text);
        return rerr;
    }
    t_object *reader = static_cast<t_object *>(object_new(_sym(nobox), _sym(jsonreader)));
    if (!reader) {
        sysmem_freehandle(text);
        return KIVO_ERR_GENERIC;
    }
    sysmem_nullterminatehandle(text);
    t_atom result;
    atom_setobj(&result, nullptr);
    sysmem_hlock(text);
    const auto perr = static_cast<t_kivo_err>(
        reinterpret_cast<intptr_t>(object_method(reader, gensym("parse"), *text, &result)));
    if (perr != KIVO_ERR_NONE) {
        char msg[JSONREADER_ERRORSTRING_SIZE] = "";
        object_method(reader, gensym("errorstring"), *text, msg);
        cpost("dictionary_read error in %s:\n", filename ? filename : "");
        cpost("%s", msg);
        cpost("\n");
    } else if (result.type == AT_OBJ && result.value.w_obj) {
        if (object_classname_compare(result.value.w_obj, _sym(dictionary)))
            *d = reinterpret_cast<t_dictionary *>(result.value.w_obj);
        else
            object_free(result.value.w_obj);
    }
    sysmem_hunlock(text);
    sysmem_freehandle(text);
    object_free(reader);
    return perr;
}

} // extern "C"

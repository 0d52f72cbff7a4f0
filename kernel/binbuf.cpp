/*
 * Binbufs: message text in binary form, kept in one handle.
 *
 * - Storage: type bytes 0..count-1, a 0 at count, free room up to typesize,
 *   then one 8-byte value per atom that is not a separator, up to usedsize.
 * - typesize is a multiple of 8 and at least count + 1 after every change,
 *   so the value area starts 8-byte aligned; deleting shrinks the type area
 *   by whole multiples of 8 only, for that reason.
 * - usedsize >= 8; the handle is at least usedsize bytes (larger only when
 *   an append kept a larger handle).
 * - Read positions outside the stored atoms and values read as the end: a
 *   position handed back by a caller is never trusted to index the handle.
 * - Appending grows the type area by a quarter of headroom, so appending atom
 *   by atom moves the value area rarely.
 */
#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <memory>
#include <vector>

#include "files/files_internal.h"
#include "kernel/msgtext_internal.h"
#include "kernel/obex_internal.h"
#include "kivo/kivo.h"

using kivo::obex::as_method;

char g_binbuf_error = 0;
char g_binbuf_format = 0;

namespace {

t_messlist *s_binbuf_class = nullptr;

constexpr long kChunk = 4096;     // atoms per append while reading text
constexpr long kInsertMax = 4096; // atoms of one binbuf_insert message
constexpr long kVinsertMax = 32;  // atoms of one binbuf_vinsert message
constexpr long kHandleChunk = 128;

bool is_separator(long type) {
    return type == AT_SEMI || type == AT_COMMA;
}

t_atom_long round8(t_atom_long n) {
    return (n + 7) & ~static_cast<t_atom_long>(7);
}

unsigned char *bytes(t_binbuf *x) {
    return reinterpret_cast<unsigned char *>(*x->storage);
}

// Reset to the empty state. The storage only shrinks here, so the resize
// cannot fail in a way that matters: a block that stays larger is fine.
void reset(t_binbuf *x) {
    x->count = 0;
    x->typesize = 8;
    x->usedsize = 8;
    if (!x->storage) x->storage = sysmem_newhandleclear(8);
    else sysmem_resizehandle(x->storage, 8);
    if (x->storage) std::memset(*x->storage, 0, 8);
}

// Converts the caller's symbol atoms the way box text is converted.
void convert_symbols(long argc, t_atom *argv) {
    for (long i = 0; i < argc; i++) {
        t_atom *a = argv + i;
        if (a->type != AT_SYM || !a->value.w_sym) continue;
        const char *text = a->value.w_sym->name;
        if (text[0] == '$') dollarprocess(text, a);
        else if (text[0] == ',') a->type = AT_COMMA;
        else if (text[0] == ';') a->type = AT_SEMI;
        else unslash(&a->value.w_sym);
    }
}

// Appends in pieces that a 16-bit count can carry; stops at the first failure.
long insq_all(t_binbuf *x, long argc, const t_atom *argv, long headroom) {
    for (long done = 0; done < argc;) {
        const long n = std::min(argc - done, kChunk);
        if (binbuf_insq(x, static_cast<short>(n), argv + done, headroom, 0)) return -1;
        done += n;
    }
    return 0;
}

long append_separator(t_binbuf *x, short type) {
    t_atom semi;
    semi.type = type;
    semi.value.w_long = 0;
    return binbuf_insq(x, 1, &semi, 1, 0);
}

void binbuf_defineclass(void *) {
    c_new(gensym("binbuf"), as_method(binbuf_free), sizeof(t_binbuf), 1, 1);
    c_addmess(as_method(binbuf_set), gensym("set"), AT_GIMME, 0);
    c_addmess(as_method(binbuf_append), gensym("append"), AT_GIMME, 0);
}

t_symbol *first_symbol(t_binbuf *x) {
    t_atom_long tp = 0, vo = 0;
    t_atom a;
    if (binbuf_getatom(x, &tp, &vo, &a) || a.type != AT_SYM) return nullptr;
    return a.value.w_sym;
}

} // namespace

extern "C" {

void c_binbuf(void) {
    if (s_binbuf_class) return;
    c_setup(nullptr, nullptr, 0, nullptr);
    binbuf_defineclass(nullptr);
    c_install(&s_binbuf_class);
}

t_binbuf *binbuf_new(void) {
    c_binbuf();
    auto *x = static_cast<t_binbuf *>(obj_new(&s_binbuf_class, as_method(binbuf_defineclass)));
    if (!x) return nullptr;
    x->storage = nullptr;
    reset(x);
    if (!x->storage) {
        freeobject(reinterpret_cast<t_object *>(x));
        return nullptr;
    }
    return x;
}

void binbuf_free(t_binbuf *x) {
    if (!x) return;
    sysmem_freehandle(x->storage);
    x->storage = nullptr;
}

void binbuf_clear(t_binbuf *x) {
    if (x) reset(x);
}

long binbuf_insq(t_binbuf *x, short argc, const t_atom *argv, long headroom, long keeplarger) {
    if (!x || !x->storage || argc <= 0 || !argv) return 0;
    t_atom_long values = 0;
    for (short i = 0; i < argc; i++)
        if (!is_separator(argv[i].type)) values += 8;
    const t_atom_long need = round8(x->count + argc + 1);
    t_atom_long typesize = x->typesize;
    if (typesize < need) {
        typesize = need;
        if (headroom) typesize += (need / 4) & ~static_cast<t_atom_long>(7);
    }
    const t_atom_long oldvalues = x->usedsize - x->typesize;
    const t_atom_long used = typesize + oldvalues + values;
    const auto have = static_cast<t_atom_long>(sysmem_handlesize(x->storage));
    if (!(keeplarger && have >= used) &&
        (sysmem_resizehandle(x->storage, static_cast<t_ptr_size>(used)) ||
         static_cast<t_atom_long>(sysmem_handlesize(x->storage)) < used)) {
        // A failed resize leaves the block as it was; only a larger block
        // than asked for is kept.
        if (static_cast<t_atom_long>(sysmem_handlesize(x->storage)) < x->usedsize)
            sysmem_resizehandle(x->storage, static_cast<t_ptr_size>(x->usedsize));
        warn("couldn't grow binbuf to %ld", static_cast<long>(used));
        g_binbuf_error = 1;
        return -1;
    }
    unsigned char *b = bytes(x);
    if (typesize != x->typesize) {
        std::memmove(b + typesize, b + x->typesize, static_cast<size_t>(oldvalues));
        std::memset(b + x->typesize, 0, static_cast<size_t>(typesize - x->typesize));
    }
    unsigned char *value = b + typesize + oldvalues;
    for (short i = 0; i < argc; i++) {
        const short type = argv[i].type;
        b[x->count + i] = static_cast<unsigned char>(type);
        if (is_separator(type)) continue;
        std::memcpy(value, &argv[i].value, 8);
        value += 8;
    }
    x->count += argc;
    b[x->count] = 0;
    x->typesize = typesize;
    x->usedsize = used;
    return 0;
}

long dollarprocess2(const char *text, t_atom *a) {
    if (!text || !a || !text[0]) return 0;
    const char digit = text[1];
    if (digit < '0' || digit > '9') return 0;
    if (!text[2]) {
        a->type = AT_DOLLAR;
        a->value.w_long = digit - '0';
        return 1;
    }
    if (text[2] >= '0' && text[2] <= '9') return 0;
    a->type = AT_DOLLSYM;
    a->value.w_sym = gensym(text + 1);
    return 1;
}

void binbuf_insert(t_binbuf *x, t_symbol *, long argc, t_atom *argv) {
    if (!x || argc <= 0 || !argv) return;
    if (argc > kInsertMax) {
        warn("message too long");
        argc = kInsertMax;
    }
    for (long i = 0; i < argc; i++) {
        t_atom *a = argv + i;
        if (a->type == AT_SYM && a->value.w_sym && a->value.w_sym->name[0] == '#')
            dollarprocess2(a->value.w_sym->name, a);
    }
    if (binbuf_insq(x, static_cast<short>(argc), argv, 1, 0) == 0) append_separator(x, AT_SEMI);
}

long binbuf_set(t_binbuf *x, t_symbol *, long argc, t_atom *argv) {
    if (!x) return -1;
    if (argc < 0 || !argv) argc = 0;
    convert_symbols(argc, argv);
    binbuf_clear(x);
    return insq_all(x, argc, argv, 0);
}

long binbuf_append(t_binbuf *x, t_symbol *, long argc, t_atom *argv) {
    if (!x) return -1;
    if (argc < 0 || !argv) argc = 0;
    convert_symbols(argc, argv);
    return insq_all(x, argc, argv, 1);
}

void binbuf_valistinsert(t_binbuf *x, const char *fmt, va_list args) {
    if (!x || !fmt) return;
    t_atom atoms[kVinsertMax];
    long n = 0;
    // Letters past the local array's room are ignored, arguments and all.
    for (const char *p = fmt; *p && n < kVinsertMax; p++) {
        t_atom *a = atoms + n;
        switch (*p) {
        case 'l':
            atom_setlong(a, va_arg(args, int));
            n++;
            break;
        case 'f':
            atom_setfloat(a, static_cast<float>(va_arg(args, double)));
            n++;
            break;
        case 's': {
            auto *s = va_arg(args, t_symbol *);
            atom_setsym(a, s ? s : gensym(""));
            n++;
            break;
        }
        case 'o':
            a->type = AT_OBJ;
            a->value.w_obj = va_arg(args, t_object *);
            n++;
            break;
        default:
            break;
        }
    }
    binbuf_insert(x, nullptr, n, atoms);
}

void binbuf_vinsert(t_binbuf *x, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    binbuf_valistinsert(x, fmt, ap);
    va_end(ap);
}

void binbuf_inshandle(t_binbuf *x, t_handle h, long count) {
    if (!x || !h || !*h || count <= 0) return;
    count = std::min<long>(count, static_cast<long>(sysmem_handlesize(h) / 8));
    t_atom atoms[kHandleChunk];
    for (long done = 0; done < count;) {
        const long n = std::min(count - done, kHandleChunk);
        for (long i = 0; i < n; i++) {
            t_atom_long v;
            std::memcpy(&v, *h + (done + i) * 8, 8);
            atom_setlong(atoms + i, v);
        }
        if (binbuf_insq(x, static_cast<short>(n), atoms, 0, 0)) return;
        done += n;
    }
}

t_atom_long binbuf_countatoms(t_binbuf *x) {
    return x ? x->count : 0;
}

long binbuf_getatom(t_binbuf *x, t_atom_long *typepos, t_atom_long *valoffset, t_atom *out) {
    if (!x || !x->storage || !typepos || !valoffset || !out) return 1;
    const t_atom_long tp = *typepos, vo = *valoffset;
    if (tp < 0 || tp >= x->count) return 1;
    const unsigned char *b = bytes(x);
    const unsigned char type = b[tp];
    if (type == 0) return 1;
    if (!is_separator(type)) {
        // Every atom but a separator owns a value slot, whatever its type,
        // so the offset must move past it to stay in step.
        if (vo < 0 || vo > x->usedsize - x->typesize - 8) return 1;
        std::memcpy(&out->value, b + x->typesize + vo, 8);
        *valoffset = vo + 8;
    }
    out->type = type;
    *typepos = tp + 1;
    return 0;
}

long binbuf_getint32(t_binbuf *x, t_atom_long *typepos, t_atom_long *valoffset, int32_t *out) {
    t_atom a;
    if (binbuf_getatom(x, typepos, valoffset, &a) || a.type != AT_LONG) return 1;
    if (out) *out = static_cast<int32_t>(a.value.w_long);
    return 0;
}

long binbuf_getsemi(t_binbuf *x, t_atom_long *typepos, t_atom_long *valoffset) {
    t_atom a;
    if (binbuf_getatom(x, typepos, valoffset, &a)) return 1;
    return a.type == AT_SEMI ? 0 : 1;
}

void binbuf_delete(t_binbuf *x, t_atom_long fromtype, t_atom_long totype, t_atom_long fromval,
                   t_atom_long toval) {
    if (!x || !x->storage) return;
    const t_atom_long values = x->usedsize - x->typesize;
    if (fromtype < 0 || totype < fromtype || totype > x->count) return;
    if (fromval < 0 || toval < fromval || toval > values) return;
    unsigned char *b = bytes(x);
    const t_atom_long removed = totype - fromtype;
    std::memmove(b + fromtype, b + totype, static_cast<size_t>(x->count - totype));
    const t_atom_long newcount = x->count - removed;
    // Shrinking by whole multiples of 8 keeps the values aligned and the
    // type area at least newcount + 1.
    const t_atom_long typesize = x->typesize - (removed & ~static_cast<t_atom_long>(7));
    std::memmove(b + typesize, b + x->typesize, static_cast<size_t>(fromval));
    std::memmove(b + typesize + fromval, b + x->typesize + toval,
                 static_cast<size_t>(values - toval));
    std::memset(b + newcount, 0, static_cast<size_t>(typesize - newcount));
    x->count = newcount;
    x->typesize = typesize;
    x->usedsize = std::max<t_atom_long>(8, typesize + values - (toval - fromval));
    sysmem_resizehandle(x->storage, static_cast<t_ptr_size>(x->usedsize));
}

long binbuf_totext(t_binbuf *x, t_handle h, t_ptr_size *size) {
    if (size) *size = 0;
    if (!x || !h || !size) return 1;
    std::vector<t_atom> atoms;
    atoms.reserve(static_cast<size_t>(x->count));
    const unsigned char was = sysmem_lockhandle(x->storage, 1);
    t_atom_long tp = 0, vo = 0;
    t_atom a;
    while (!binbuf_getatom(x, &tp, &vo, &a)) atoms.push_back(a);
    const long result = msgtext_totext(static_cast<long>(atoms.size()), atoms.data(), h, size, 0);
    if (!was) sysmem_lockhandle(x->storage, 0);
    return result;
}

t_ptr_size binbuf_smartquotestoquotes(char *text, t_ptr_size length) {
    if (!text) return 0;
    auto *s = reinterpret_cast<unsigned char *>(text);
    t_ptr_size in = 0, out = 0;
    while (in < length) {
        const unsigned char c = s[in];
        if (c == 0xE2 && in + 2 < length && s[in + 1] == 0x80 &&
            (s[in + 2] == 0x98 || s[in + 2] == 0x99)) {
            s[out++] = '"';
            in += 3;
            continue;
        }
        t_ptr_size follow = 0;
        if (c >= 0xC2 && c <= 0xDF) follow = 1;
        else if (c >= 0xE1 && c <= 0xEF) follow = 2;
        else if (c >= 0xF1 && c <= 0xF4) follow = 3;
        if (in + follow >= length) break; // a missing continuation byte
        for (t_ptr_size k = 0; k <= follow; k++) s[out++] = s[in++];
    }
    // The end is marked only inside the given length: a text that did not
    // shrink may sit in a block of exactly that size.
    if (out < length) s[out] = 0;
    return out;
}

long binbuf_dotext(t_binbuf *x, t_handle h, t_ptr_size length, long replace) {
    if (!x) return 1;
    if (replace) binbuf_clear(x);
    g_binbuf_error = 0;
    if (!h || !*h || length == 0) return 0;
    char *text = *h;
    char *converted = nullptr;
    long ascii = 0;
    if (!charset_isvalidutf8(text, static_cast<long>(length), &ascii)) {
        long n = 0;
        converted = charset_macromantoutf8(text, static_cast<long>(length), &n);
        if (!converted) {
            binbuf_clear(x);
            return 1;
        }
        if (n > 0 && converted[n - 1] == 0) n--; // the converter's own terminator
        length = binbuf_smartquotestoquotes(converted, static_cast<t_ptr_size>(n));
        text = converted;
    }
    std::unique_ptr<char[]> word(new char[KIVO_TEXT_WORDBUF]);
    std::vector<t_atom> chunk(kChunk);
    t_atom_long pos = 0;
    long failed = 0;
    for (bool more = true; more && !failed;) {
        long n = 0;
        while (n < kChunk) {
            t_atom *a = &chunk[static_cast<size_t>(n)];
            if (!readatom(word.get(), &text, &pos, static_cast<t_atom_long>(length), a)) {
                more = false;
                break;
            }
            if (!replace && is_separator(a->type))
                atom_setsym(a, gensym(a->type == AT_SEMI ? ";" : ","));
            n++;
        }
        if (n && binbuf_insq(x, static_cast<short>(n), chunk.data(), 1, 1)) failed = 1;
    }
    if (converted) sysmem_freeptr(converted);
    if (failed) binbuf_clear(x);
    return failed;
}

long binbuf_text(t_binbuf *x, t_handle h, t_ptr_size length) {
    return binbuf_dotext(x, h, length, 1);
}

long binbuf_addtext(t_binbuf *x, t_handle h, t_ptr_size length) {
    return binbuf_dotext(x, h, length, 0);
}

void *binbuf_make(t_binbuf *x, short argc, t_atom *argv, void *target) {
    if (!x || !x->storage) return nullptr;
    return eval(x->storage, x->typesize, argc, argv, target);
}

void *binbuf_eval(t_binbuf *x, short argc, t_atom *argv, void *target) {
    if (!x || !x->storage) return nullptr;
    t_atom padded[10];
    long n = 0;
    argpad(argc < 0 ? 0 : argc, argv, &n, padded);
    return eval(x->storage, x->typesize, n, padded, target);
}

void *binbuf_eval_dynamic(t_binbuf *x, short argc, t_atom *argv, void *target, long stacksize) {
    if (!x || !x->storage) return nullptr;
    t_atom padded[10];
    long n = 0;
    argpad(argc < 0 ? 0 : argc, argv, &n, padded);
    const long size = stacksize > 0 ? stacksize : static_cast<long>(x->usedsize) + 20;
    constexpr long kLocal = 256;
    if (size <= kLocal) {
        t_atom stack[kLocal];
        return eval_internal(x->storage, x->typesize, n, padded, target, stack, size);
    }
    std::unique_ptr<t_atom[]> stack(new (std::nothrow) t_atom[static_cast<size_t>(size)]);
    if (!stack) return nullptr;
    return eval_internal(x->storage, x->typesize, n, padded, target, stack.get(), size);
}

long binbuf_chkload(t_binbuf *x) {
    t_symbol *s = x ? first_symbol(x) : nullptr;
    if (!s) return 0;
    return s == gensym("kivo") || s == gensym("new") || s == gensym("#N") || s == gensym("table");
}

short binbuf_gethandle(t_binbuf *x, t_handle *h, long *count, t_symbol *s) {
    if (!x || !h || !count || !s || first_symbol(x) != s) return 1;
    t_atom_long tp = 1, vo = 8;
    t_atom a;
    std::vector<t_atom_long> longs;
    while (!binbuf_getatom(x, &tp, &vo, &a)) {
        if (a.type != AT_LONG) {
            warn("extra baggage after table");
            break;
        }
        longs.push_back(a.value.w_long);
    }
    t_handle made = sysmem_newhandle(static_cast<t_ptr_size>(longs.size() * 8));
    if (!made) {
        hate("no space for table");
        return 1;
    }
    if (!longs.empty()) std::memcpy(*made, longs.data(), longs.size() * 8);
    *h = made;
    *count = static_cast<long>(longs.size());
    return 0;
}

void *tabfromhandle(t_handle h, long, long) {
    return h;
}

void *binbuf_loadeval(t_binbuf *x, short argc, t_atom *argv, void *target) {
    if (!x) return nullptr;
    t_handle h = nullptr;
    long count = 0;
    if (first_symbol(x) == gensym("table")) {
        if (binbuf_gethandle(x, &h, &count, gensym("table"))) return nullptr;
        return tabfromhandle(h, 0, count);
    }
    // Only an object made by this evaluation counts, not one left from before.
    g_kivo_newest = nullptr;
    void *result = binbuf_make(x, argc, argv, target);
    return result && result == g_kivo_newest ? result : nullptr;
}

/* ---- files */

short binbuf_oldread(t_binbuf *, t_toolfile *, const char *filename) {
    error("%s: can't read old format files", filename ? filename : "");
    return 1;
}

short binbuf_read(t_binbuf *x, const char *filename, short path, short binary) {
    if (!x || !filename) return 1;
    binbuf_clear(x);
    if (binary) {
        short newformat = 1;
        t_toolfile *f = bf_chktype(filename, path, &newformat);
        if (!f) return 1;
        if (!newformat) {
            g_binbuf_format = 1;
            binbuf_oldread(x, f, filename);
            freeobject(reinterpret_cast<t_object *>(f));
            return 1;
        }
        if (bf_openfromtoolfile(f, 1)) {
            error("%s: bad magic number", filename);
            freeobject(reinterpret_cast<t_object *>(f));
            return -1;
        }
        g_binbuf_error = 0;
        if (sysmem_handlesize(x->storage) < 4096) sysmem_resizehandle(x->storage, 4096);
        t_atom a;
        long failed = 0;
        while (!failed && bf_getatom(&a) == 0)
            failed = binbuf_insq(x, 1, &a, 1, 1);
        bf_closeread();
        g_binbuf_format = 2;
        if (failed) {
            binbuf_clear(x);
            return 1;
        }
        return 0;
    }
    t_filehandle fh = nullptr;
    t_handle h = nullptr;
    short err = path_opensysfile(filename, path, &fh, PATH_READ_PERM);
    if (!err) {
        err = static_cast<short>(sysfile_readtohandle(fh, &h));
        sysfile_close(fh);
    }
    if (err || !h) {
        error("%s: can't load, error %d", filename,
              static_cast<int>(g_kivo_file_error ? g_kivo_file_error : err));
        return -1;
    }
    const long failed = binbuf_dotext(x, h, sysmem_handlesize(h), 1);
    sysmem_freehandle(h);
    if (failed) {
        error("%s: can't load, out of memory", filename);
        return -1;
    }
    g_binbuf_format = 0;
    return 0;
}

short binbuf_write(t_binbuf *x, const char *filename, short path, short binary) {
    if (!x || !filename) return 1;
    if (binary) {
        // bf_opentowrite reports its own failure.
        if (bf_opentowrite(filename, path, 1)) return 1;
        t_atom_long tp = 0, vo = 0;
        t_atom a;
        while (!binbuf_getatom(x, &tp, &vo, &a)) bf_putatom(&a);
        const short err = bf_closewrite();
        if (err) {
            error("%s: error %d writing file", filename, static_cast<int>(err));
            return 1;
        }
        return 0;
    }
    t_handle text = sysmem_newhandle(0);
    t_ptr_size size = 0;
    if (!text || binbuf_totext(x, text, &size)) {
        error("%s: out of memory before writing file", filename);
        sysmem_freehandle(text);
        return 1;
    }
    // The writer may leave room past the text; only the text is written.
    if (sysmem_handlesize(text) != size) sysmem_resizehandle(text, size);
    t_filehandle fh = nullptr;
    short err = path_createsysfile(filename, path, KIVO_FOURCC('T', 'E', 'X', 'T'), &fh);
    if (err) {
        error("%s: error %d creating file", filename, static_cast<int>(err));
        sysmem_freehandle(text);
        return 1;
    }
    // Always written, empty or not: the new file starts as a copy of the
    // old one, and only the write replaces its contents.
    const bool wrote = sysfile_writetextfile(fh, text, TEXT_LB_UNIX) == 0;
    const bool closed = sysfile_close(fh) == 0;
    sysmem_freehandle(text);
    if (!wrote || !closed) {
        error("%s: error %d creating file", filename, 1);
        return 1;
    }
    return 0;
}

short binbuf_writefiletype(t_binbuf *x, const char *filename, short path, short binary) {
    return binbuf_write(x, filename, path, binary);
}

short readtohandle(const char *filename, short path, t_handle *h, long *size) {
    if (!filename || !h || !size) return 1;
    t_filehandle fh = nullptr;
    if (path_opensysfile(filename, path, &fh, PATH_READ_PERM)) {
        error("%s: can't open", filename);
        return 1;
    }
    t_ptr_size eof = 0;
    sysfile_geteof(fh, &eof);
    t_handle made = sysmem_newhandle(eof);
    if (!made) {
        ouchstring("Not enough memory to open %s", filename);
        sysfile_close(fh);
        return 1;
    }
    if (sysfile_readtextfile(fh, made, 0, TEXT_LB_UNIX)) {
        error("%s: read failed", filename);
        sysmem_freehandle(made);
        sysfile_close(fh);
        return 1;
    }
    const t_ptr_size got = sysmem_handlesize(made);
    *h = made;
    *size = static_cast<long>(got);
    sysfile_close(fh);
    return 0;
}

} // extern "C"

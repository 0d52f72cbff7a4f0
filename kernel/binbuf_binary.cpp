/*
 * Binary "kvob" binbuf files: a 4-byte little-endian version (2, or 3 for a
 * document that must stay locked) followed by atoms of one to five bytes.
 * A code byte's high four bits are the kind, its low four bits a small
 * value or the size of the integer that follows. Symbols and dollar-symbols
 * share one numbering in order of first appearance; the text follows only
 * the first appearance (its index equals the count numbered so far).
 *
 * Writer: idle -> writing (bf_opentowrite) -> idle (bf_closewrite/bs_quit).
 * Reader: idle -> reading (bf_openfromtoolfile) -> idle (bf_closeread, or
 * inside the loaders). Both states are process-wide, main thread only, and
 * do not nest: a second open while one is active is refused.
 *
 * Files are untrusted: every read is bounded by the buffered file, a
 * truncated atom ends reading like the end of the file, and a symbol index
 * that names no symbol read so far stops reading with an error instead of
 * producing an atom without a symbol.
 */
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "files/files_internal.h"
#include "kivo/kivo.h"

char g_kivo_paranoid = 0;
char g_kivo_no_unlock = 0;

namespace {

constexpr t_fourcc kTypeKvob = KIVO_FOURCC('k', 'v', 'o', 'b');
constexpr t_fourcc kTypeText = KIVO_FOURCC('T', 'E', 'X', 'T');
constexpr size_t kTempNameMax = 32; // temporary names this long or longer are not used
constexpr size_t kSymbolTextMax = 4095;
constexpr size_t kTableGrowth = 1024;

enum Kind : unsigned {
    kLong = 0x1,
    kFloat = 0x2,
    kSymbol = 0x3,
    kSmallLong = 0x5,
    kSmallSymbol = 0x7,
    kSmallDollsym = 0x9,
    kSemi = 0xA,
    kComma = 0xB,
    kDollar = 0xC,
    kDollsym = 0xD
};

struct Writer {
    t_toolfile *file = nullptr; // owned while writing
    bool active = false;
    bool binary = false;
    std::unordered_map<t_symbol *, int32_t> index; // symbol -> index
    std::string finalname;
    short path = 0;
    std::string tempname; // empty: written under the final name
    long serial = 0;
};

struct Reader {
    t_toolfile *file = nullptr; // owned while reading
    bool active = false;
    bool binary = false;
    std::vector<t_symbol *> table; // symbols in order of their index
};

Writer s_writer;
Reader s_reader;

void put(unsigned c) {
    toolfile_putc(s_writer.file, static_cast<long>(c & 0xFF));
}

void put_le(uint32_t v, int n) {
    for (int i = 0; i < n; i++) put(v >> (8 * i));
}

// Reads n bytes little-endian; false when the file ends first.
bool get_le(int n, uint32_t *out) {
    uint32_t v = 0;
    for (int i = 0; i < n; i++) {
        const long c = toolfile_getc(s_reader.file);
        if (c < 0) return false;
        v |= static_cast<uint32_t>(c) << (8 * i);
    }
    *out = v;
    return true;
}

// One integer of 1, 2 or 4 bytes: false at the end of the file.
bool get_sized(long size, t_atom_long *out) {
    uint32_t v = 0;
    switch (size) {
    case 1:
        if (!get_le(1, &v)) return false;
        *out = static_cast<t_atom_long>(v);
        return true;
    case 2:
        if (!get_le(2, &v)) return false;
        *out = static_cast<int16_t>(v);
        return true;
    case 4:
        if (!get_le(4, &v)) return false;
        *out = static_cast<int32_t>(v);
        return true;
    default:
        error("bf_getlong: data size error %ld", size);
        *out = 0;
        return true;
    }
}

// A zero-terminated text; false when the file ends before the zero.
bool get_text(t_symbol **out) {
    std::string text;
    for (;;) {
        const long c = toolfile_getc(s_reader.file);
        if (c < 0) return false;
        if (c == 0) break;
        if (text.size() < kSymbolTextMax) text.push_back(static_cast<char>(c));
    }
    *out = gensym(text.c_str());
    return true;
}

// The symbol of an index: a new one when the index is the count read so far.
// Null after an error or at the end of the file.
t_symbol *get_indexed(unsigned code, t_atom_long index) {
    const auto known = static_cast<t_atom_long>(s_reader.table.size());
    if (index == known) {
        t_symbol *s = nullptr;
        if (!get_text(&s)) return nullptr;
        if (s_reader.table.size() == s_reader.table.capacity())
            s_reader.table.reserve(s_reader.table.size() + kTableGrowth);
        s_reader.table.push_back(s);
        return s;
    }
    if (index >= 0 && index < known) return s_reader.table[static_cast<size_t>(index)];
    error("bad file byte %d", static_cast<int>(code));
    return nullptr;
}

void end_atom(t_atom *a) {
    a->type = AT_NOTHING;
    a->value.w_long = 0;
}

void reader_release() {
    if (s_reader.file) freeobject(reinterpret_cast<t_object *>(s_reader.file));
    s_reader.file = nullptr;
    s_reader.table.clear();
    s_reader.table.shrink_to_fit();
    s_reader.active = false;
}

// Reads the version; true with *version set when it passes the file's check.
bool read_header(t_toolfile *f, long *version) {
    t_toolfile *was = s_reader.file;
    s_reader.file = f;
    uint32_t v = 0;
    const bool got = get_le(4, &v);
    s_reader.file = was;
    *version = static_cast<int32_t>(v);
    return got && toolfile_check(f, *version) == 0;
}

// Collects the atoms of the open reader, growing as the loaders do. False
// when memory runs out.
bool collect(std::vector<t_atom> &atoms, bool convert) {
    try {
        atoms.reserve(1024);
        t_atom a;
        while (bf_getatom(&a) == 0) {
            if (convert && (a.type == AT_SYM || a.type == AT_DOLLSYM))
                a.value.w_sym = charset_macromantoutf8_sym(a.value.w_sym);
            if (atoms.size() == atoms.capacity()) atoms.reserve(atoms.size() + 2048);
            atoms.push_back(a);
        }
    } catch (const std::bad_alloc &) {
        return false;
    }
    return true;
}

} // namespace

extern "C" {

/* ---- writing */

short bf_opentowrite(const char *filename, short path, short binary) {
    if (!filename) return 1;
    if (!binary) {
        bug("bf_opentowrite");
        return 1;
    }
    if (s_writer.active) {
        bug("bf_opentowrite");
        return 1;
    }
    s_writer.finalname = filename;
    s_writer.path = path;
    s_writer.tempname.clear();
    char temp[512];
    std::snprintf(temp, sizeof temp, "%s%ld", filename, s_writer.serial++);
    if (!path_namehasseparators(filename, nullptr) && std::strlen(temp) < kTempNameMax)
        s_writer.tempname = temp;
    const char *writename = s_writer.tempname.empty() ? filename : s_writer.tempname.c_str();
    path_setexistingfile(filename, path);
    t_toolfile *f = toolfile_new(writename, path, kTypeKvob);
    path_setexistingfile(nullptr, 0);
    if (!f) {
        error("%s: error %d creating file", filename, static_cast<int>(g_kivo_file_error));
        return 1;
    }
    s_writer.file = f;
    s_writer.active = true;
    s_writer.binary = true;
    s_writer.index.clear();
    put_le(g_kivo_paranoid ? 3 : 2, 4);
    return 0;
}

void bf_putint32(long kind, long smallkind, int32_t value) {
    if (!s_writer.active) return;
    const unsigned k = static_cast<unsigned>(kind & 0xF) << 4;
    if (value >= 0 && value <= 15) {
        put((static_cast<unsigned>(smallkind & 0xF) << 4) | static_cast<unsigned>(value));
    } else if (value >= 16 && value <= 255) {
        put(k | 1);
        put_le(static_cast<uint32_t>(value), 1);
    } else if (value >= -32768 && value <= 32767) {
        put(k | 2);
        put_le(static_cast<uint32_t>(value), 2);
    } else {
        put(k | 4);
        put_le(static_cast<uint32_t>(value), 4);
    }
}

long bs_index(t_symbol *s) {
    auto found = s_writer.index.find(s);
    if (found != s_writer.index.end()) return found->second;
    const auto next = static_cast<int32_t>(s_writer.index.size());
    s_writer.index.emplace(s, next);
    return next;
}

void bf_putatom(const t_atom *a) {
    if (!s_writer.active || !s_writer.binary) {
        bug("no text yet");
        return;
    }
    if (!a) return;
    switch (a->type) {
    case AT_LONG: {
        const t_atom_long v = a->value.w_long;
        if (v >= (static_cast<t_atom_long>(1) << 31))
            warn("bf_putatom: atom contains value too big for binbuf!");
        bf_putint32(kLong, kSmallLong, static_cast<int32_t>(static_cast<uint32_t>(v)));
        break;
    }
    case AT_FLOAT: {
        const float f = static_cast<float>(a->value.w_float);
        uint32_t bits;
        std::memcpy(&bits, &f, 4);
        put(0x24);
        put_le(bits, 4);
        break;
    }
    case AT_SYM:
    case AT_DOLLSYM: {
        t_symbol *s = a->value.w_sym ? a->value.w_sym : gensym("");
        const auto before = static_cast<long>(s_writer.index.size());
        const long index = bs_index(s);
        if (a->type == AT_SYM) bf_putint32(kSymbol, kSmallSymbol, static_cast<int32_t>(index));
        else bf_putint32(kDollsym, kSmallDollsym, static_cast<int32_t>(index));
        if (index == before) {
            for (const char *p = s->name; *p; p++) put(static_cast<unsigned char>(*p));
            put(0);
        }
        break;
    }
    case AT_SEMI:
        put(0xA0);
        break;
    case AT_COMMA:
        put(0xB0);
        break;
    case AT_DOLLAR:
        put(0xC0 | static_cast<unsigned>(a->value.w_long & 0xF));
        break;
    default:
        bug("bf_putatom");
        break;
    }
}

short bs_quit(short err) {
    s_writer.index.clear();
    if (!s_writer.tempname.empty()) {
        if (!err) {
            err = path_overwritefile(s_writer.tempname.c_str(), s_writer.path,
                                     s_writer.finalname.c_str(),
                                     s_writer.binary ? kTypeKvob : kTypeText);
            if (err) err = g_kivo_file_error ? g_kivo_file_error : err;
        }
        // After a rename there is nothing left under the temporary name;
        // after a failure the partial file goes and the final one stays.
        path_deletefile(s_writer.tempname.c_str(), s_writer.path);
    }
    s_writer.file = nullptr;
    s_writer.active = false;
    s_writer.binary = false;
    s_writer.tempname.clear();
    return err;
}

short bf_closewrite(void) {
    if (!s_writer.active) return 1;
    auto err = static_cast<short>(toolfile_error(s_writer.file));
    freeobject(reinterpret_cast<t_object *>(s_writer.file));
    s_writer.file = nullptr;
    return bs_quit(err);
}

/* ---- reading */

t_toolfile *bf_chktype(const char *filename, short path, short *newformat) {
    if (!filename) return nullptr;
    t_toolfile *f = toolfile_new(filename, path, 0);
    if (!f) {
        error("%s: error %d opening file", filename, static_cast<int>(g_kivo_file_error));
        return nullptr;
    }
    unsigned char header[4] = {0, 0, 0, 0};
    if (toolfile_fread(f, header, 4) != 4) {
        error("%s: error %d reading file", filename, static_cast<int>(g_kivo_file_error));
        freeobject(reinterpret_cast<t_object *>(f));
        return nullptr;
    }
    toolfile_seek(f, 0);
    if (newformat) *newformat = header[3] != 1;
    return f;
}

short bf_newformat(const char *filename, short path, short *newformat) {
    t_filehandle fh = nullptr;
    if (!filename || path_opensysfile(filename, path, &fh, PATH_READ_PERM)) {
        error("%s: error %d opening file", filename ? filename : "",
              static_cast<int>(g_kivo_file_error));
        return 1;
    }
    unsigned char header[4] = {0, 0, 0, 0};
    t_ptr_size n = 4;
    const t_kivo_err err = sysfile_read(fh, &n, header);
    sysfile_close(fh);
    if (err || n != 4) {
        error("%s: error %d opening file", filename, static_cast<int>(g_kivo_file_error));
        return 1;
    }
    if (newformat) *newformat = header[3] != 1;
    return 0;
}

short bf_openfromtoolfile(t_toolfile *f, short binary) {
    if (!f || s_reader.active) return 1;
    long version = 0;
    if (!read_header(f, &version)) return 1;
    g_kivo_no_unlock = version == 3;
    s_reader.file = f;
    s_reader.active = true;
    s_reader.binary = binary != 0;
    s_reader.table.clear();
    s_reader.table.reserve(kTableGrowth);
    return 0;
}

t_atom_long bf_getlong(long size) {
    t_atom_long v = 0;
    if (!s_reader.active || !get_sized(size, &v)) return 0;
    return v;
}

t_symbol *bf_getsym(void) {
    t_symbol *s = nullptr;
    if (!s_reader.active || !get_text(&s)) return gensym("");
    return s;
}

short bf_getatom(t_atom *a) {
    if (!a) return -1;
    if (!s_reader.active || !s_reader.binary) {
        bug("no text yet");
        end_atom(a);
        return -1;
    }
    const long c = toolfile_getc(s_reader.file);
    if (c < 0) {
        end_atom(a);
        return -1;
    }
    const auto code = static_cast<unsigned>(c);
    const unsigned low = code & 0xF;
    t_atom_long v = 0;
    t_symbol *s = nullptr;
    switch (code >> 4) {
    case kLong:
        if (!get_sized(low, &v)) break;
        atom_setlong(a, v);
        return 0;
    case kFloat: {
        if (low != 4) error("unknown floating-point size");
        uint32_t bits = 0;
        if (!get_le(4, &bits)) break;
        float f;
        std::memcpy(&f, &bits, 4);
        atom_setfloat(a, f);
        return 0;
    }
    case kSmallLong:
        atom_setlong(a, low);
        return 0;
    case kSymbol:
    case kDollsym:
        if (!get_sized(low, &v)) break;
        if (!(s = get_indexed(code, v))) break;
        a->type = (code >> 4) == kSymbol ? AT_SYM : AT_DOLLSYM;
        a->value.w_sym = s;
        return 0;
    case kSmallSymbol:
    case kSmallDollsym:
        if (!(s = get_indexed(code, low))) break;
        a->type = (code >> 4) == kSmallSymbol ? AT_SYM : AT_DOLLSYM;
        a->value.w_sym = s;
        return 0;
    case kSemi:
        a->type = AT_SEMI;
        a->value.w_long = 0;
        return 0;
    case kComma:
        a->type = AT_COMMA;
        a->value.w_long = 0;
        return 0;
    case kDollar:
        a->type = AT_DOLLAR;
        a->value.w_long = low;
        return 0;
    default:
        error("bad file byte %d", static_cast<int>(code));
        break;
    }
    end_atom(a);
    return -1;
}

void bf_closeread(void) {
    reader_release();
}

void *bf_fastload(const char *filename, short path, short binary, short argc, t_atom *argv) {
    if (!filename || s_reader.active) return nullptr;
    t_toolfile *f = toolfile_new(filename, path, 0);
    if (!f) {
        error("%s: can't open, error %d", filename, static_cast<int>(g_kivo_file_error));
        return nullptr;
    }
    toolfile_burp(f);
    toolfile_seek(f, 0);
    long version = 0;
    if (!read_header(f, &version)) {
        error("%s: can't open, bad header.", filename);
        toolfile_freedata(f);
        freeobject(reinterpret_cast<t_object *>(f));
        return nullptr;
    }
    if (version == 3) g_kivo_no_unlock = 1;
    s_reader.file = f;
    s_reader.active = true;
    s_reader.binary = binary != 0;
    s_reader.table.clear();
    s_reader.table.reserve(kTableGrowth);
    std::vector<t_atom> atoms;
    const bool ok = collect(atoms, true);
    toolfile_freedata(f);
    reader_release();
    if (!ok) {
        error("%s: can't read, out of memory", filename);
        return nullptr;
    }
    g_binbuf_format = 2;
    const auto n = static_cast<long>(atoms.size());
    if (n && atoms[0].type == AT_SYM && atoms[0].value.w_sym == gensym("table")) {
        t_handle h = nullptr;
        long count = 0;
        if (atombuf_gethandle(n, atoms.data(), &h, &count, gensym("table"))) return nullptr;
        return tabfromhandle(h, 0, count);
    }
    return aeval(n, atoms.data(), argc < 0 ? 0 : argc, argv, nullptr);
}

void *bf_singlefast(t_handle h, const char *, short argc, t_atom *argv) {
    if (!h || !*h || s_reader.active) return nullptr;
    const unsigned char was = sysmem_lockhandle(h, 1);
    t_toolfile *f = toolfile_fromhandle(h, sysmem_handlesize(h));
    void *result = nullptr;
    if (f && bf_openfromtoolfile(f, 1) == 0) {
        g_kivo_no_unlock = 1;
        std::vector<t_atom> atoms;
        const bool ok = collect(atoms, false);
        reader_release();
        if (ok) {
            result = aeval(static_cast<long>(atoms.size()), atoms.data(), argc < 0 ? 0 : argc,
                           argv, nullptr);
            g_binbuf_format = 2;
        }
        g_kivo_no_unlock = 0;
    } else if (f) {
        freeobject(reinterpret_cast<t_object *>(f));
    }
    if (!was) sysmem_lockhandle(h, 0);
    return result;
}

} // extern "C"

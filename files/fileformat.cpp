/*
 * The file-type registry: suffixes to four-character types, and the content
 * sniffers that decide when a suffix is shared or missing.
 *
 * Invariants:
 * - Records are owned by g_reg.records in registration order and never move
 *   (unique_ptr), so a t_fileformat * stays valid until fileformat_shutdown.
 * - by_suffix is keyed by the ASCII-lower-cased suffix; its vectors list the
 *   suffix's records in registration order. by_type lists a type's records
 *   in registration order. Neither owns.
 * - A suffix with two or more records has every record marked ambiguous;
 *   marks are never cleared.
 * - At most one sniffer per type; sniffers run in installation order.
 * - Additions happen on the main thread under the writer lock; lookups from
 *   loader threads take the reader lock. Sniffer tests run outside the lock
 *   on a copy of the list.
 */
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <sys/stat.h>
#include <unordered_map>
#include <vector>

#include "files/files_internal.h"
#include "files/sysfile_internal.h"
#include "kivo/atom.h"
#include "kivo/files.h"
#include "kivo/path.h"
#include "kivo/post.h"
#include "kivo/strutil.h"
#include "kivo/symbol.h"

namespace {

constexpr long kSniffBufferMax = 256;

struct Sniffer {
    t_fourcc type;
    long bytecount;
    t_sniffer_test test;
    std::vector<unsigned short> pattern; // empty: the test needs none
};

struct Registry {
    bool exists = false;
    std::vector<std::unique_ptr<t_fileformat>> records;
    std::unordered_map<std::string, std::vector<t_fileformat *>> by_suffix;
    std::unordered_map<t_fourcc, std::vector<t_fileformat *>> by_type;
    std::vector<Sniffer> sniffers;
};

Registry g_reg;
std::shared_mutex g_lock;
std::atomic<bool> g_exists{false};

// Lookups build the registry on first use, so callers that run before the
// start-up step (or without it, as the kernel's tests do) still see the
// built-in records.
void ensure() {
    if (!g_exists.load(std::memory_order_acquire)) fileformat_init();
}

std::string lower(const char *s) {
    std::string out(s ? s : "");
    for (char &c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

void copy_out(char *out, const std::string &s) {
    if (!out) return;
    std::size_t n = std::min<std::size_t>(s.size(), FILEFORMAT_SUFFIX_MAX - 1);
    std::memcpy(out, s.data(), n);
    out[n] = '\0';
}

std::string suffix_of(const char *name) {
    if (!name) return {};
    const char *dot = std::strrchr(name, '.');
    return dot ? std::string(dot) : std::string();
}

std::string suffix2_of(const char *name) {
    if (!name) return {};
    std::string s(name, strnlen(name, 255));
    std::size_t last = s.rfind('.');
    if (last == std::string::npos || last == 0) return {};
    std::size_t prev = s.rfind('.', last - 1);
    if (prev == std::string::npos) return {};
    return s.substr(prev);
}

// The records of a lower-cased suffix; caller holds the lock.
const std::vector<t_fileformat *> *records_of(const std::string &lsuffix) {
    auto it = g_reg.by_suffix.find(lsuffix);
    return it == g_reg.by_suffix.end() || it->second.empty() ? nullptr : &it->second;
}

t_fileformat *first_of(const std::string &lsuffix) {
    const auto *v = records_of(lsuffix);
    return v ? v->front() : nullptr;
}

bool listed(t_fourcc type, const t_fourcc *types, short count) {
    if (!types || count <= 0) return true;
    for (short i = 0; i < count; ++i)
        if (types[i] == type) return true;
    return false;
}

// One of the suffix's records is of a listed type; caller holds the lock.
bool suffix_for_types(const std::string &lsuffix, const t_fourcc *types, short count) {
    const auto *v = records_of(lsuffix);
    if (!v) return false;
    for (t_fileformat *r : *v)
        if (listed(r->type, types, count)) return true;
    return false;
}

t_fourcc code_of(const char *s) {
    char c[4] = {' ', ' ', ' ', ' '};
    for (int i = 0; i < 4 && s && s[i]; ++i) c[i] = s[i];
    return KIVO_FOURCC(c[0], c[1], c[2], c[3]);
}

std::string text_of(t_fourcc type) {
    char c[5] = {static_cast<char>(type >> 24), static_cast<char>(type >> 16),
                 static_cast<char>(type >> 8), static_cast<char>(type), 0};
    std::string s(c, 4);
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
}

/* ---- built-in tests */

// Judged without the process's locale: ASCII printables and white space,
// code points from 0xA0 up, and whole (or cut-off final) UTF-8 sequences,
// so that UTF-8 text is text whatever its characters.
long text_test(const unsigned char *buf, long avail, uint64_t, const unsigned short *) {
    for (long i = 0; i < avail; ++i) {
        unsigned char c = buf[i];
        if ((c >= 0x20 && c < 0x7F) || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f')
            continue;
        if (c >= 0xA0 && c < 0xC2) continue;
        if (c >= 0xC2 && c <= 0xF4) {
            int need = c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
            int k = 1;
            while (k <= need && i + k < avail && (buf[i + k] & 0xC0) == 0x80) ++k;
            if (k > need || i + k == avail) {
                i += k - 1;
                continue;
            }
            // not a UTF-8 sequence: the byte is judged alone (0xC2..0xF4 are letters)
            continue;
        }
        if (c >= 0xF5) continue;
        return 0;
    }
    return 1;
}

long binarypatcher_test(const unsigned char *buf, long avail, uint64_t, const unsigned short *) {
    if (avail < 2) return 0;
    return (buf[0] == 2 || buf[0] == 3) && buf[1] == 0;
}

long pattern_test(const unsigned char *buf, long avail, uint64_t, const unsigned short *pattern) {
    if (!pattern) return 0;
    for (long i = 0; i < avail; ++i)
        if (pattern[i] != SNIFF_ANYBYTE && pattern[i] != buf[i]) return 0;
    return 1;
}

std::vector<unsigned short> pattern_from(const char *text, std::initializer_list<unsigned short> pre = {}) {
    std::vector<unsigned short> p(pre);
    for (const char *c = text; *c; ++c) p.push_back(*c == '?' ? SNIFF_ANYBYTE : static_cast<unsigned char>(*c));
    return p;
}

/* ---- sniffing */

struct SniffSource {
    // a file, or memory
    const char *name = nullptr;
    short path = 0;
    const unsigned char *data = nullptr;
    t_ptr_size size = 0;
};

// The first sniffer that accepts, along the passes of the type list.
bool run_sniff(const SniffSource &src, t_fourcc *type, const t_fourcc *types, short count) {
    ensure();
    std::vector<Sniffer> sniffers;
    {
        std::shared_lock lk(g_lock);
        if (!g_reg.exists) return false;
        sniffers = g_reg.sniffers;
    }
    unsigned char buf[kSniffBufferMax];
    long have = 0;
    uint64_t length = 0;
    t_filehandle fh = nullptr;
    bool opened = false, found = false;
    t_fourcc result = 0;
    if (src.data) {
        have = static_cast<long>(std::min<t_ptr_size>(src.size, kSniffBufferMax));
        std::memcpy(buf, src.data, static_cast<std::size_t>(have));
        length = src.size;
        opened = true;
    }
    short passes = (types && count > 0) ? count : 1;
    for (short p = 0; p < passes && !found; ++p) {
        t_fourcc wanted = (types && count > 0) ? types[p] : 0;
        for (const Sniffer &s : sniffers) {
            if (wanted && s.type != wanted) continue;
            if (!opened) {
                if (path_opensysfile(src.name, src.path, &fh, PATH_READ_PERM) || !fh) goto done;
                opened = true;
                t_ptr_size eof = 0;
                sysfile_geteof(fh, &eof);
                length = eof;
            }
            if (fh && have < s.bytecount && static_cast<uint64_t>(have) < length) {
                // read what this sniffer needs (or the whole file when shorter)
                long want = static_cast<long>(std::min<uint64_t>(s.bytecount, length)) - have;
                t_ptr_size n = static_cast<t_ptr_size>(want);
                sysfile_read(fh, &n, buf + have);
                have += static_cast<long>(n);
            }
            long avail = std::min(have, s.bytecount);
            if (s.test(buf, avail, length, s.pattern.empty() ? nullptr : s.pattern.data())) {
                result = s.type;
                found = true;
                break;
            }
        }
    }
done:
    if (fh) sysfile_close(fh);
    if (found && type) *type = result;
    return found;
}

void init_locked() {
    if (g_reg.exists) return;
    g_reg.exists = true;
    g_exists.store(true, std::memory_order_release);
}

t_kivo_err add_locked(t_symbol *suffix, t_symbol *type, long flags, t_symbol *description) {
    t_fourcc code = code_of(type ? type->name : "");
    std::string key = lower(suffix->name);
    auto &same = g_reg.by_suffix[key];
    for (t_fileformat *r : same) {
        if (r->type == code) {
            r->description = description ? description : gensym("");
            return KIVO_ERR_NONE;
        }
    }
    auto rec = std::make_unique<t_fileformat>();
    rec->suffix = suffix;
    rec->type = code;
    rec->flags = flags;
    rec->description = description ? description : gensym("");
    rec->ambiguous = 0;
    same.push_back(rec.get());
    g_reg.by_type[code].push_back(rec.get());
    g_reg.records.push_back(std::move(rec));
    if (same.size() >= 2)
        for (t_fileformat *r : same) r->ambiguous = 1;
    return KIVO_ERR_NONE;
}

long install_locked(t_fourcc type, t_sniffer_test test, long bytecount, const unsigned short *pattern) {
    for (const Sniffer &s : g_reg.sniffers)
        if (s.type == type) return 0;
    Sniffer s;
    s.type = type;
    s.test = test;
    s.bytecount = std::clamp(bytecount, 0L, kSniffBufferMax);
    if (pattern) s.pattern.assign(pattern, pattern + s.bytecount);
    g_reg.sniffers.push_back(std::move(s));
    return 0;
}

void add_builtin_sniffers() {
    std::unique_lock lk(g_lock);
    install_locked(KIVO_FOURCC('T', 'E', 'X', 'T'), text_test, 16, nullptr);
    install_locked(KIVO_FOURCC('k', 'v', 'o', 'b'), binarypatcher_test, 16, nullptr);
    struct P {
        t_fourcc type;
        std::vector<unsigned short> pattern;
    } pats[] = {
        {KIVO_FOURCC('k', 'v', '@', 'c'), pattern_from("kv@c")},
        {KIVO_FOURCC('A', 'I', 'F', 'F'), pattern_from("FORM????AIF")},
        {KIVO_FOURCC('N', 'x', 'T', 'S'), pattern_from(".snd")},
        {KIVO_FOURCC('W', 'A', 'V', 'E'), pattern_from("RIFF????WAVE")},
        {KIVO_FOURCC('M', 'i', 'd', 'i'), pattern_from("MThd")},
        {KIVO_FOURCC('G', 'I', 'F', 'f'), pattern_from("GIF")},
        // start-of-image and the first marker's lead byte; APP0 and APP1
        // (JFIF and Exif) files both pass
        {KIVO_FOURCC('J', 'P', 'E', 'G'), pattern_from("???????", {0xFF, 0xD8, 0xFF})},
        {KIVO_FOURCC('M', 'o', 'o', 'V'), pattern_from("????moov")},
    };
    for (const P &p : pats)
        install_locked(p.type, pattern_test, static_cast<long>(p.pattern.size()), p.pattern.data());
}

struct Builtin {
    const char *suffix, *type;
    long flags;
    const char *desc, *kind;
};

constexpr Builtin kBuiltins[] = {
    {".txt", "TEXT", 0, nullptr, "textfile"},
    {".kvo", "iLaX", 0, nullptr, "object"},
    {".app", "APPL", 0, "Application", "application"},
    {".pat", "kvob", 0, nullptr, "patcher"},
    {".kvb", "kvob", 0, nullptr, "patcher"},
    {".pat", "TEXT", 0, nullptr, "patcher"},
    {".kvf", "kv@c", 0, "Collective", "collective"},
    {".help", "kvob", 1, nullptr, "helpfile"},
    {".help", "TEXT", 1, nullptr, "helpfile"},
    {".kivopat", "JSON", 0, "Kivo 5 patcher", "patcher"},
    {".kivohelp", "JSON", 1, "Kivo 5 help file", "helpfile"},
    {".strings", "TEXT", 0, nullptr, "stringsfile"},
    {".akvd", "akvd", 0, "Kivolink device", "kivolink"},
    {".kivosnap", "kv@s", 0, "Kivo Snapshot", "kivosnapshot"},
};

bool native_of(const char *name, short path, std::string &out) {
    return files_nativepath(path, name, out);
}

} // namespace

extern "C" {

void fileformat_init(void) {
    {
        std::unique_lock lk(g_lock);
        if (g_reg.exists) return;
        init_locked();
    }
    for (const Builtin &b : kBuiltins) {
        fileformat_add(gensym(b.suffix), gensym(b.type), b.flags, b.desc ? gensym(b.desc) : nullptr,
                       gensym(b.kind));
        if (!std::strcmp(b.suffix, ".app")) filekind_iconfileforname(gensym("object"), gensym("object_icon.png"));
    }
    add_builtin_sniffers();
}

void fileformat_shutdown(void) {
    std::unique_lock lk(g_lock);
    g_reg.by_suffix.clear();
    g_reg.by_type.clear();
    g_reg.records.clear();
    g_reg.sniffers.clear();
    g_reg.exists = false;
    g_exists.store(false, std::memory_order_release);
}

t_kivo_err fileformat_add(t_symbol *suffix, t_symbol *type, long flags, t_symbol *description,
                          t_symbol *kind) {
    if (!suffix || !type) return KIVO_ERR_INVALID_PTR;
    fileformat_init();
    {
        std::unique_lock lk(g_lock);
        add_locked(suffix, type, flags, description);
    }
    if (kind && kind->name[0]) {
        t_symbol *typesym = nullptr;
        fileformat_filetypetosym(code_of(type->name), &typesym);
        filekind_add(kind, suffix, typesym);
    }
    return KIVO_ERR_NONE;
}

long fileformat_installsniffer(t_fourcc type, t_sniffer_test test, long bytecount,
                               const unsigned short *pattern) {
    if (!test) return -1;
    fileformat_init();
    std::unique_lock lk(g_lock);
    return install_locked(type, test, bytecount, pattern);
}

void fileformat_definesniffer(t_object *, t_symbol *, long argc, t_atom *argv) {
    if (argc < 1 || !argv || atom_gettype(argv) != AT_SYM) return;
    t_fourcc type = 0;
    fileformat_symtofiletype(atom_getsym(argv), &type);
    std::vector<unsigned short> pattern;
    for (long i = 1; i < argc && static_cast<long>(pattern.size()) < kSniffBufferMax; ++i) {
        const t_atom *a = argv + i;
        switch (atom_gettype(a)) {
        case AT_LONG: pattern.push_back(static_cast<unsigned short>(atom_getlong(a) & 0xFFFF)); break;
        case AT_SYM: {
            const char *t = atom_getsym(a)->name;
            pattern.push_back(!std::strcmp(t, "*") ? SNIFF_ANYBYTE : static_cast<unsigned char>(t[0]));
            break;
        }
        default: pattern.push_back(SNIFF_ANYBYTE); break;
        }
    }
    fileformat_installsniffer(type, pattern_test, static_cast<long>(pattern.size()),
                              pattern.empty() ? nullptr : pattern.data());
}

void fileformat_message(t_object *, t_symbol *, long argc, t_atom *argv) {
    if (argc < 2 || !argv || atom_gettype(argv) != AT_SYM || atom_gettype(argv + 1) != AT_SYM) return;
    long flags = argc > 2 ? static_cast<long>(atom_getlong(argv + 2)) : 0;
    t_symbol *desc = argc > 3 && atom_gettype(argv + 3) == AT_SYM ? atom_getsym(argv + 3) : gensym("");
    t_symbol *kind = argc > 4 && atom_gettype(argv + 4) == AT_SYM ? atom_getsym(argv + 4) : gensym("");
    fileformat_add(atom_getsym(argv), atom_getsym(argv + 1), flags, desc, kind);
}

void fileformat_printlist(void) {
    std::vector<t_fileformat> copy;
    {
        std::shared_lock lk(g_lock);
        for (const auto &r : g_reg.records) copy.push_back(*r);
    }
    for (const t_fileformat &r : copy) {
        char type[5];
        fileformat_typetostring(r.type, type);
        post("%s -> %s, flags %ld, ambiguous %d", r.suffix->name, type, r.flags, r.ambiguous);
    }
}

/* ---- names and suffixes */

void fileformat_suffix(const char *name, char *out) {
    copy_out(out, suffix_of(name));
}

void fileformat_suffix2(const char *name, char *out) {
    copy_out(out, suffix2_of(name));
}

void fileformat_divide(const char *name, char *suffix, char *base) {
    std::string n(name ? name : "");
    std::size_t dot = n.rfind('.');
    if (dot == std::string::npos || dot == 0) {
        if (suffix) suffix[0] = '\0';
        if (base) std::memcpy(base, n.c_str(), n.size() + 1);
        return;
    }
    copy_out(suffix, n.substr(dot));
    if (base) {
        std::memcpy(base, n.data(), dot);
        base[dot] = '\0';
    }
}

long fileformat_type(const char *name, t_fourcc *type) {
    ensure();
    if (type) *type = 0;
    std::string suf = suffix_of(name);
    std::shared_lock lk(g_lock);
    if (!g_reg.exists || suf.empty()) return 0;
    if (t_fileformat *r = first_of(lower(suf.c_str())))
        if (type) *type = r->type;
    return 1;
}

long fileformat_getflags(const char *name) {
    ensure();
    std::string suf = suffix_of(name);
    std::shared_lock lk(g_lock);
    t_fileformat *r = suf.empty() ? nullptr : first_of(lower(suf.c_str()));
    return r ? r->flags : 0;
}

t_fileformat *fileformat_find(t_symbol *suffix) {
    ensure();
    if (!suffix) return nullptr;
    std::shared_lock lk(g_lock);
    return first_of(lower(suffix->name));
}

long fileformat_subok(t_symbol *suffix) {
    t_fileformat *r = fileformat_find(suffix);
    return r && !(r->flags & 1) ? 1 : 0;
}

t_fourcc fileformat_suffixtotype(t_symbol *suffix) {
    t_fileformat *r = fileformat_find(suffix);
    return r ? r->type : 0;
}

t_symbol *fileformat_suffixtodesc(t_symbol *suffix) {
    t_fileformat *r = fileformat_find(suffix);
    return r ? r->description : nullptr;
}

void fileformat_typetosuffix_description(t_fourcc type, t_symbol **suffixes, t_symbol **descriptions,
                                         long *count) {
    ensure();
    long n = 0;
    std::shared_lock lk(g_lock);
    auto it = g_reg.by_type.find(type);
    if (it != g_reg.by_type.end()) {
        for (t_fileformat *r : it->second) {
            if (n >= FILEFORMAT_TYPESUFFIXES_MAX) break;
            if (suffixes) suffixes[n] = r->suffix;
            if (descriptions) descriptions[n] = r->description;
            ++n;
        }
    }
    if (count) *count = n;
}

void fileformat_typetosuffix(t_fourcc type, t_symbol **suffixes, long *count) {
    fileformat_typetosuffix_description(type, suffixes, nullptr, count);
}

void fileformat_typetofirstsuffix(t_fourcc type, t_symbol **suffix) {
    ensure();
    if (!suffix) return;
    std::shared_lock lk(g_lock);
    auto it = g_reg.by_type.find(type);
    *suffix = it != g_reg.by_type.end() && !it->second.empty() ? it->second.front()->suffix : gensym("");
}

long fileformat_suffixcouldmap(const char *name, t_fourcc type) {
    ensure();
    std::string suf = suffix_of(name);
    if (suf.empty()) return 1;
    std::string key = lower(suf.c_str());
    std::shared_lock lk(g_lock);
    auto it = g_reg.by_type.find(type);
    if (it == g_reg.by_type.end()) return 0;
    for (t_fileformat *r : it->second)
        if (lower(r->suffix->name) == key) return 1;
    return 0;
}

void fileformat_typesuffix(const char *name, char *out, const t_fourcc *types, short count) {
    ensure();
    if (out) out[0] = '\0';
    std::string suf = lower(suffix_of(name).c_str());
    if (suf.empty()) return;
    std::shared_lock lk(g_lock);
    if (suf == ".xml") {
        // a two-level suffix such as ".kivoref.xml" is judged as one
        std::string two = lower(suffix2_of(name).c_str());
        if (!two.empty() && suffix_for_types(two, types, count)) {
            copy_out(out, two);
            return;
        }
    }
    if (suffix_for_types(suf, types, count)) copy_out(out, suf);
}

void fileformat_stripsuffixnosub(char *name, const t_fourcc *types, short count, long force) {
    if (!name) return;
    char suf[FILEFORMAT_SUFFIX_MAX];
    fileformat_typesuffix(name, suf, types, count);
    if (!suf[0]) return;
    {
        std::shared_lock lk(g_lock);
        t_fileformat *r = first_of(suf);
        if (r && (r->flags & 1) && !force) return;
    }
    std::size_t n = std::strlen(name), k = std::strlen(suf);
    if (k <= n) name[n - k] = '\0';
}

void fileformat_stripsuffix(char *name, const t_fourcc *types, short count) {
    fileformat_stripsuffixnosub(name, types, count, 0);
}

void fileformat_symtofiletype(t_symbol *s, t_fourcc *type) {
    if (type) *type = code_of(s ? s->name : "");
}

void fileformat_filetypetosym(t_fourcc type, t_symbol **s) {
    if (s) *s = gensym(text_of(type).c_str());
}

void fileformat_typetostring(t_fourcc type, char *out) {
    if (!out) return;
    out[0] = static_cast<char>(type >> 24);
    out[1] = static_cast<char>(type >> 16);
    out[2] = static_cast<char>(type >> 8);
    out[3] = static_cast<char>(type);
    out[4] = '\0';
}

/* ---- types of files */

long fileformat_ispackage(const char *nativepath, t_symbol **extension, t_fourcc *type) {
    ensure();
    if (extension) *extension = nullptr;
    if (type) *type = 0;
    struct stat st;
    if (!nativepath || stat(nativepath, &st) != 0 || !S_ISDIR(st.st_mode)) return 0;
    const char *slash = std::strrchr(nativepath, '/');
    const char *last = slash ? slash + 1 : nativepath;
    std::string suf = suffix_of(last);
    if (suf.size() < 2 || suf.size() == std::strlen(last)) return 0;
    t_fileformat *r;
    {
        std::shared_lock lk(g_lock);
        r = first_of(lower(suf.c_str()));
    }
    if (!r) return 0;
    if (extension) *extension = gensym(suf.c_str() + 1);
    if (type) *type = r->type;
    return 1;
}

long fileformat_ispkg(const char *name, short path, char *suffix, t_fourcc *type) {
    if (suffix) suffix[0] = '\0';
    if (type) *type = 0;
    std::string native;
    if (!native_of(name, path, native)) return 0;
    t_symbol *ext = nullptr;
    if (!fileformat_ispackage(native.c_str(), &ext, type)) return 0;
    if (suffix && ext) copy_out(suffix, std::string(".") + ext->name);
    return 1;
}

long fileformat_sniff(const char *name, short path, t_fourcc *type, const t_fourcc *types, short count) {
    if (!name) return 0;
    SniffSource src;
    src.name = name;
    src.path = path;
    return run_sniff(src, type, types, count) ? 1 : 0;
}

long fileformat_sniffdata(const void *data, t_ptr_size size, t_fourcc *type, const t_fourcc *types,
                          short count) {
    SniffSource src;
    static const unsigned char empty = 0;
    src.data = data ? static_cast<const unsigned char *>(data) : &empty;
    src.size = data ? size : 0;
    return run_sniff(src, type, types, count) ? 1 : 0;
}

long fileformat_sniffambiguous(const char *name, short path, t_fileformat *record, t_fourcc *type) {
    if (!record) return 0;
    std::vector<t_fourcc> types;
    {
        std::shared_lock lk(g_lock);
        if (const auto *v = records_of(lower(record->suffix->name)))
            for (t_fileformat *r : *v) types.push_back(r->type);
    }
    if (types.empty()) return 0;
    return fileformat_sniff(name, path, type, types.data(), static_cast<short>(types.size()));
}

long fileformat_filetype_foldertest(const char *name, short path, t_fourcc *type, const t_fourcc *types,
                                    short count, long sniff, long foldertest) {
    ensure();
    if (type) *type = 0;
    {
        std::shared_lock lk(g_lock);
        if (!g_reg.exists) return 0;
    }
    if (!name) return 0;
    std::string suf;
    t_fourcc pkgtype = 0;
    if (foldertest) {
        std::string native;
        struct stat st;
        if (native_of(name, path, native) && stat(native.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            t_symbol *ext = nullptr;
            if (fileformat_ispackage(native.c_str(), &ext, &pkgtype)) {
                suf = std::string(".") + ext->name;
                sniff = 0;
            } else {
                if (type) *type = PATH_TYPE_FOLDER;
                return 1;
            }
        } else {
            suf = suffix_of(name);
        }
    } else {
        suf = suffix_of(name);
    }
    if (!suf.empty()) {
        t_fileformat *r;
        {
            std::shared_lock lk(g_lock);
            r = first_of(lower(suf.c_str()));
        }
        if (r) {
            t_fourcc found = 0;
            if (!(r->ambiguous && sniff && fileformat_sniffambiguous(name, path, r, &found))) found = r->type;
            if (type) *type = found;
            return 1;
        }
    }
    if (!sniff) {
        if (suf.empty()) return 0;
        if (type) *type = pkgtype;
        return 1;
    }
    return fileformat_sniff(name, path, type, types, count);
}

long fileformat_filetype(const char *name, short path, t_fourcc *type, const t_fourcc *types, short count,
                         long sniff) {
    return fileformat_filetype_foldertest(name, path, type, types, count, sniff, 1);
}

} // extern "C"

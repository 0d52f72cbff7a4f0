/*
 * Character sets.
 *
 * - Conversion between encodings is glibc's iconv; normalisation to
 *   precomposed form is utf8proc's. Checking, counting and walking UTF-8,
 *   UTF-16 and URL escaping are our own.
 * - No routine reads past what it was given: a positive length bounds every
 *   read, otherwise the NUL (or the zero unit) does, and a multi-byte
 *   sequence cut short by either ends where it was cut.
 * - Every text handed out is a fresh pointer block, the caller's to free.
 * - The encoding table and the class are written once by charset_init at
 *   start-up and only read afterwards.
 * - The two Mac Roman converters behind charset_macromantoutf8 and
 *   charset_utf8tomacroman are made on first use, kept for the life of the
 *   process and used under one lock, since a descriptor carries state.
 */
#include "kivo/charset.h"

#include <iconv.h>
#include <utf8proc.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "kernel/obex_internal.h"
#include "kivo/class.h"
#include "kivo/post.h"
#include "kivo/sysmem.h"

using kivo::obex::as_method;

namespace {

// glibc knows Mac Roman as "MACINTOSH"; it has no "MACROMAN".
constexpr const char *kMacRoman = "MACINTOSH";
constexpr const char *kUtf8 = "UTF-8";
// The code points of Mac Roman conversions pass through this form, fixed
// width and in a known byte order, so that two of them can be swapped.
constexpr const char *kPivot = "UTF-32LE";

struct Encoding {
    const char *name;  // the symbol's text
    const char *iconv; // the name handed to iconv, or null
    t_symbol *sym;     // set by charset_init
};

Encoding g_encodings[] = {
    {"utf-8", kUtf8, nullptr},             {"utf-16", "UTF-16BE", nullptr},
    {"utf-16be", "UTF-16BE", nullptr},     {"utf-16le", "UTF-16LE", nullptr},
    {"iso-8859-1", "ISO-8859-1", nullptr}, {"us-ascii", "US-ASCII", nullptr},
    {"macroman", kMacRoman, nullptr},      {"ms-ansi", "MS-ANSI", nullptr},
    {"shift_jis", "SHIFT_JIS", nullptr},   {"binary", nullptr, nullptr},
};

t_class *s_class = nullptr;
t_symbol *s_sym_utf8 = nullptr;
t_symbol *s_sym_utf16be = nullptr;
t_symbol *s_sym_utf16le = nullptr;
t_symbol *s_sym_macroman = nullptr;
t_symbol *s_sym_binary = nullptr;

std::mutex s_macroman_lock;
t_charset_converter *s_macroman_to_utf8 = nullptr; // guarded by s_macroman_lock
t_charset_converter *s_utf8_to_macroman = nullptr; // guarded by s_macroman_lock

const char *iconv_name(t_symbol *s) {
    if (!s) return nullptr;
    for (const Encoding &e : g_encodings)
        if (e.sym == s) return e.iconv;
    return nullptr;
}

/*
 * glibc's Mac Roman table parts from Apple's in two places: 0xC6 is U+0394
 * (Greek capital delta) instead of U+2206 (increment), and 0xF0 is U+E01E
 * instead of U+F8FF (the Apple logo). Old patchers were written on Apple's
 * platform, and names read from them must equal the same names in newer
 * UTF-8 files, so Kivo keeps Apple's code points: text from Mac Roman has
 * the two swapped on the way out of glibc, text to Mac Roman on the way in.
 * Toward Mac Roman the glibc code points are still accepted, so U+0394 and
 * U+E01E map to 0xC6 and 0xF0 too.
 */
struct Swap {
    uint32_t glibc;
    uint32_t apple;
};
constexpr Swap kMacRomanSwaps[] = {{0x0394, 0x2206}, {0xE01E, 0xF8FF}};

void swap_pivot(char *buf, size_t bytes, bool to_apple) {
    auto *p = reinterpret_cast<unsigned char *>(buf);
    for (size_t i = 0; i + 4 <= bytes; i += 4) {
        uint32_t cp = p[i] | (p[i + 1] << 8) | (uint32_t(p[i + 2]) << 16) | (uint32_t(p[i + 3]) << 24);
        for (const Swap &s : kMacRomanSwaps) {
            uint32_t from = to_apple ? s.glibc : s.apple;
            uint32_t to = to_apple ? s.apple : s.glibc;
            if (cp != from) continue;
            p[i] = to & 0xFF;
            p[i + 1] = (to >> 8) & 0xFF;
            p[i + 2] = (to >> 16) & 0xFF;
            p[i + 3] = (to >> 24) & 0xFF;
            break;
        }
    }
}

// The bytes of the UTF-8 sequence that c starts, by its lead-byte range;
// any other byte stands alone.
int seqlen(unsigned char c) {
    if (c >= 0xC2 && c <= 0xDF) return 2;
    if (c >= 0xE0 && c <= 0xEF) return 3;
    if (c >= 0xF0 && c <= 0xF4) return 4;
    return 1;
}

// Decodes one well-formed UTF-8 character (no overlong form, no surrogate,
// nothing above U+10FFFF) from the avail bytes at p and stores its length
// in *len; -1 when the bytes do not start one.
long decode_strict(const unsigned char *p, size_t avail, size_t *len) {
    unsigned char c = p[0];
    if (c < 0x80) {
        *len = 1;
        return c;
    }
    size_t n = static_cast<size_t>(seqlen(c));
    if (n == 1 || n > avail) return -1;
    unsigned char lo = 0x80, hi = 0xBF; // the range of the second byte
    if (c == 0xE0) lo = 0xA0;
    else if (c == 0xED) hi = 0x9F;
    else if (c == 0xF0) lo = 0x90;
    else if (c == 0xF4) hi = 0x8F;
    if (p[1] < lo || p[1] > hi) return -1;
    long cp = c & (0xFF >> (n + 1));
    for (size_t k = 1; k < n; k++) {
        if ((p[k] & 0xC0) != 0x80) return -1;
        cp = (cp << 6) | (p[k] & 0x3F);
    }
    *len = n;
    return cp;
}

bool well_formed_utf8(const char *s, size_t n) {
    auto p = reinterpret_cast<const unsigned char *>(s);
    size_t len;
    for (size_t i = 0; i < n; i += len)
        if (decode_strict(p + i, n - i, &len) < 0) return false;
    return true;
}

size_t encode_utf8(uint32_t cp, char *out) {
    if (cp < 0x80) {
        out[0] = static_cast<char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<char>(0xC0 | (cp >> 6));
        out[1] = static_cast<char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (cp >> 12));
        out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (cp >> 18));
    out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (cp & 0x3F));
    return 4;
}

// A new block holding the n bytes at s and a NUL; null when memory is
// exhausted.
char *block_with_nul(const char *s, size_t n) {
    char *b = sysmem_newptr(n + 1);
    if (!b) return nullptr;
    std::memcpy(b, s, n);
    b[n] = 0;
    return b;
}

// The precomposed form of n bytes of UTF-8 as a new NUL-terminated block;
// null when they are not valid UTF-8 or memory is exhausted.
char *nfc_block(const char *s, size_t n, size_t *len) {
    utf8proc_uint8_t *nfc = nullptr;
    utf8proc_ssize_t r = utf8proc_map(reinterpret_cast<const utf8proc_uint8_t *>(s),
                                      static_cast<utf8proc_ssize_t>(n), &nfc,
                                      static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
    if (r < 0) return nullptr;
    char *b = block_with_nul(reinterpret_cast<char *>(nfc), static_cast<size_t>(r));
    std::free(nfc); // utf8proc allocates with malloc
    if (b) *len = static_cast<size_t>(r);
    return b;
}

// Runs one descriptor over the whole input. The state is reset first: a
// failed conversion may have left it in the middle of a character.
size_t run_iconv(void *cd, char *in, size_t inbytes, char *out, size_t *outleft) {
    auto d = static_cast<iconv_t>(cd);
    iconv(d, nullptr, nullptr, nullptr, nullptr);
    return iconv(d, &in, &inbytes, &out, outleft);
}

bool conversion_failed(size_t r) {
    if (r == 0) return false;
    error("charset: error %d converting character encodings", static_cast<int>(r));
    return true;
}

void close_descriptor(void *cd) {
    if (cd) iconv_close(static_cast<iconv_t>(cd));
}

void *open_descriptor(const char *to, const char *from) {
    iconv_t cd = iconv_open(to, from);
    return cd == reinterpret_cast<iconv_t>(-1) ? nullptr : cd;
}

void converter_free(t_charset_converter *x) {
    close_descriptor(x->cd);
    close_descriptor(x->leg2);
    x->cd = nullptr;
    x->leg2 = nullptr;
}

// Converts through one of the cached Mac Roman converters, making it first.
char *macroman_convert(t_charset_converter **slot, t_symbol *src, t_symbol *dst, const char *in,
                       long inbytes, long *outbytes) {
    if (outbytes) *outbytes = 0;
    if (!in) return nullptr;
    if (inbytes < 0) inbytes = static_cast<long>(std::strlen(in)) + 1;
    std::lock_guard<std::mutex> guard(s_macroman_lock);
    if (!*slot) *slot = charset_converter_new(src, dst);
    if (!*slot) return nullptr;
    char *out = nullptr;
    long n = 0;
    if (charset_converter_convert(*slot, in, inbytes, &out, &n) != KIVO_ERR_NONE) return nullptr;
    if (outbytes) *outbytes = n;
    return out;
}

} // namespace

extern "C" {

void charset_init(void) {
    if (s_class) return;
    for (Encoding &e : g_encodings) e.sym = gensym(e.name);
    s_sym_utf8 = gensym("utf-8");
    s_sym_utf16be = gensym("utf-16be");
    s_sym_utf16le = gensym("utf-16le");
    s_sym_macroman = gensym("macroman");
    s_sym_binary = gensym("binary");
    t_class *c = class_new("charset_converter", as_method(charset_converter_new),
                           as_method(converter_free), sizeof(t_charset_converter), nullptr,
                           AT_CANT, 0);
    if (!c) return;
    class_addmethod(c, as_method(charset_converter_convert), "convert", AT_CANT, 0);
    class_register(gensym("nobox"), c);
    s_class = c;
}

t_charset_converter *charset_converter_new(t_symbol *src, t_symbol *dst) {
    const char *from = iconv_name(src);
    const char *to = iconv_name(dst);
    if (!from || !to || !s_class) {
        error("charset: could not create new converter (bad or no character set supplied)");
        return nullptr;
    }
    auto *x = static_cast<t_charset_converter *>(object_alloc(s_class));
    if (!x) return nullptr;
    x->src = from;
    x->dst = to;
    x->cd = nullptr;
    x->leg2 = nullptr;
    bool ok;
    if ((from == kMacRoman) != (to == kMacRoman)) {
        x->cd = open_descriptor(kPivot, from);
        x->leg2 = open_descriptor(to, kPivot);
        ok = x->cd && x->leg2;
    } else {
        x->cd = open_descriptor(to, from);
        ok = x->cd != nullptr;
    }
    if (!ok) {
        error("charset: could not create new converter (error initializing converter)");
        object_free(x);
        return nullptr;
    }
    return x;
}

t_kivo_err charset_converter_convert(t_charset_converter *x, const char *in, long inbytes,
                                     char **out, long *outbytes) {
    if (!x || !x->cd || !in || inbytes <= 0 || !out || !outbytes) return KIVO_ERR_GENERIC;
    // Four bytes per input byte hold the output of every pair of the
    // encodings above, and the pivot form of any input.
    if (inbytes > LONG_MAX / 4) {
        error("charset: memory error allocating temporary character buffer");
        return KIVO_ERR_OUT_OF_MEMORY;
    }
    const size_t worksize = static_cast<size_t>(inbytes) * 4;
    char *work = sysmem_newptr(worksize);
    char *pivot = x->leg2 ? sysmem_newptr(worksize) : nullptr;
    if (!work || (x->leg2 && !pivot)) {
        sysmem_freeptr(work);
        sysmem_freeptr(pivot);
        error("charset: memory error allocating temporary character buffer");
        return KIVO_ERR_OUT_OF_MEMORY;
    }
    char *src = const_cast<char *>(in); // iconv's interface; it never writes the input
    size_t left = worksize;
    bool failed;
    if (x->src == kUtf8 && x->dst == kUtf8 &&
        !well_formed_utf8(in, static_cast<size_t>(inbytes))) {
        // glibc copies UTF-8 to UTF-8 without rejecting code points above
        // U+10FFFF; refuse them as every other pair does.
        failed = conversion_failed(static_cast<size_t>(-1));
    } else if (x->leg2) {
        failed = conversion_failed(run_iconv(x->cd, src, static_cast<size_t>(inbytes), pivot, &left));
        if (!failed) {
            const size_t pivotbytes = worksize - left;
            swap_pivot(pivot, pivotbytes, x->src == kMacRoman);
            left = worksize;
            failed = conversion_failed(run_iconv(x->leg2, pivot, pivotbytes, work, &left));
        }
    } else {
        failed = conversion_failed(run_iconv(x->cd, src, static_cast<size_t>(inbytes), work, &left));
    }
    sysmem_freeptr(pivot);
    if (failed) {
        sysmem_freeptr(work);
        return KIVO_ERR_GENERIC;
    }
    const size_t n = worksize - left;
    // A block cannot be empty; an empty output gets one NUL byte that its
    // size does not count.
    char *result = sysmem_newptr(n ? n : 1);
    if (!result) {
        sysmem_freeptr(work);
        error("charset: memory error allocating output character buffer");
        return KIVO_ERR_OUT_OF_MEMORY;
    }
    if (n) std::memcpy(result, work, n);
    else result[0] = 0;
    sysmem_freeptr(work);
    *out = result;
    *outbytes = static_cast<long>(n);
    return KIVO_ERR_NONE;
}

t_kivo_err charset_convert(t_symbol *src, const char *in, long inbytes, t_symbol *dst, char **out,
                           long *outbytes) {
    if (out) *out = nullptr;
    if (outbytes) *outbytes = 0;
    if (!out) return KIVO_ERR_GENERIC;
    t_charset_converter *x = charset_converter_new(src, dst);
    if (!x) return KIVO_ERR_GENERIC;
    char *buf = nullptr;
    long n = 0;
    t_kivo_err err = charset_converter_convert(x, in, inbytes, &buf, &n);
    object_free(x);
    if (err != KIVO_ERR_NONE) return err;
    if (n == 0 || buf[n - 1] != 0) {
        char *grown = sysmem_resizeptr(buf, static_cast<t_ptr_size>(n) + 1);
        if (!grown) {
            sysmem_freeptr(buf);
            error("charset: memory error allocating output character buffer");
            return KIVO_ERR_OUT_OF_MEMORY;
        }
        buf = grown;
        buf[n++] = 0;
    }
    *out = buf;
    if (outbytes) *outbytes = n;
    return KIVO_ERR_NONE;
}

char *charset_macromantoutf8(const char *in, long inbytes, long *outbytes) {
    return macroman_convert(&s_macroman_to_utf8, s_sym_macroman, s_sym_utf8, in, inbytes, outbytes);
}

char *charset_utf8tomacroman(const char *in, long inbytes, long *outbytes) {
    return macroman_convert(&s_utf8_to_macroman, s_sym_utf8, s_sym_macroman, in, inbytes, outbytes);
}

t_symbol *charset_macromantoutf8_sym(t_symbol *s) {
    if (!s || !s->name) return s;
    bool ascii = true;
    for (const char *p = s->name; *p; p++)
        if (static_cast<unsigned char>(*p) >= 0x80) ascii = false;
    if (ascii) return s;
    char *utf8 = charset_macromantoutf8(s->name, -1, nullptr);
    // Every Mac Roman byte has a UTF-8 form: only exhausted memory fails
    // here, and then the name is kept as it came.
    if (!utf8) return s;
    t_symbol *result = gensym(utf8);
    sysmem_freeptr(utf8);
    return result ? result : s;
}

long charset_isvalidutf8(const char *s, long len, long *isascii) {
    if (isascii) *isascii = 1;
    if (!s) return 0;
    auto p = reinterpret_cast<const unsigned char *>(s);
    const bool bounded = len >= 0;
    long i = 0;
    while (!bounded || i < len) {
        unsigned char c = p[i];
        if (c == 0) return (!bounded || i == len - 1) ? 1 : 0;
        if (c < 0x80) {
            i++;
            continue;
        }
        if (isascii) *isascii = 0;
        int n = seqlen(c);
        if (n == 1) return 0;
        for (int k = 1; k < n; k++) {
            if (bounded && i + k >= len) return 0;
            if ((p[i + k] & 0xC0) != 0x80) return 0; // a NUL stops here too
        }
        i += n;
    }
    return 1;
}

t_symbol *charset_whichencoding(const char *buf, long len, long *isascii) {
    if (!buf) {
        if (isascii) *isascii = 0;
        return s_sym_binary;
    }
    if (len < 0) len = static_cast<long>(std::strlen(buf));
    if (charset_isvalidutf8(buf, len, isascii)) return s_sym_utf8;
    auto p = reinterpret_cast<const unsigned char *>(buf);
    if (len >= 2) {
        if (p[0] == 0xFE && p[1] == 0xFF) return s_sym_utf16be;
        if (p[0] == 0xFF && p[1] == 0xFE) return s_sym_utf16le;
    }
    // Zeros in byte pairs: a zero in both halves of one pair, or in the
    // first half of one pair and the second of another, is not text. A
    // tenth of the buffer (at least 10 bytes past 40) is left to the last
    // look, which searches the buffer's first bytes for any zero.
    long threshold = len / 10;
    if (len > 40 && threshold < 10) threshold = 10;
    long remaining = len;
    bool zero_first = false, zero_second = false;
    for (const unsigned char *q = p; remaining > threshold && remaining >= 2; q += 2, remaining -= 2) {
        if (!q[0] && !q[1]) return s_sym_binary;
        if (!q[0]) zero_first = true;
        if (!q[1]) zero_second = true;
        if (zero_first && zero_second) return s_sym_binary;
    }
    if (remaining > 0 && std::memchr(p, 0, static_cast<size_t>(remaining))) return s_sym_binary;
    return s_sym_macroman;
}

long charset_utf8_count(const char *s, long *bytecount) {
    long chars = 0, i = 0;
    if (s) {
        auto p = reinterpret_cast<const unsigned char *>(s);
        while (p[i]) {
            int n = seqlen(p[i++]);
            for (int k = 1; k < n && p[i]; k++) i++;
            chars++;
        }
    }
    if (bytecount) *bytecount = i;
    return chars;
}

char *charset_utf8_offset(char *s, long charcount, long *byteoffset) {
    char *p = s;
    if (p && charcount > 0) {
        for (long c = 0; c < charcount && *p; c++) {
            int n = seqlen(static_cast<unsigned char>(*p++));
            for (int k = 1; k < n && *p; k++) p++;
        }
    } else if (p && charcount < 0) {
        unsigned long want = 0UL - static_cast<unsigned long>(charcount);
        while (want) {
            --p;
            if ((static_cast<unsigned char>(*p) & 0xC0) != 0x80) want--;
        }
    }
    if (byteoffset) *byteoffset = static_cast<long>(p - s);
    return p;
}

long charset_urlencode(const char *s, char *out) {
    if (!s || !out) return -1;
    static const char hex[] = "0123456789ABCDEF";
    auto safe = [](unsigned char c) {
        return (c >= 'a' && c <= 'z') || (c >= '?' && c <= 'Z') || (c >= '*' && c <= '9') ||
               c == ';' || c == '!' || c == '$' || c == '&' || c == '=' || c == '_' || c == '`';
    };
    char *o = out;
    for (auto p = reinterpret_cast<const unsigned char *>(s); *p; p++) {
        if (safe(*p)) {
            *o++ = static_cast<char>(*p);
        } else {
            *o++ = '%';
            *o++ = hex[*p >> 4];
            *o++ = hex[*p & 0xF];
        }
    }
    *o = 0;
    return 0;
}

unsigned short *charset_utf8tounicode(const char *s, long *outunits) {
    if (outunits) *outunits = 0;
    if (!s) s = "";
    auto text = reinterpret_cast<const unsigned char *>(s);
    const size_t bytes = std::strlen(s);
    size_t units = 0, len;
    bool valid = true;
    for (size_t i = 0; i < bytes; i += len) {
        long cp = decode_strict(text + i, bytes - i, &len);
        if (cp < 0) {
            valid = false;
            break;
        }
        units += cp >= 0x10000 ? 2 : 1;
    }
    if (!valid) {
        error("Attempting to convert non UTF-8 characters");
        units = bytes;
    }
    auto *out = reinterpret_cast<unsigned short *>(sysmem_newptr((units + 1) * sizeof(unsigned short)));
    if (!out) return nullptr;
    size_t u = 0;
    if (valid) {
        for (size_t i = 0; i < bytes; i += len) {
            long cp = decode_strict(text + i, bytes - i, &len);
            if (cp >= 0x10000) {
                cp -= 0x10000;
                out[u++] = static_cast<unsigned short>(0xD800 | (cp >> 10));
                out[u++] = static_cast<unsigned short>(0xDC00 | (cp & 0x3FF));
            } else {
                out[u++] = static_cast<unsigned short>(cp);
            }
        }
    } else {
        for (size_t i = 0; i < bytes; i++) out[u++] = text[i] < 0x80 ? text[i] : '*';
    }
    out[u] = 0;
    if (outunits) *outunits = static_cast<long>(u);
    return out;
}

unsigned short *UTF8ToUnicode(const char *s, long *outunits) {
    return charset_utf8tounicode(s, outunits);
}

char *charset_unicodetoutf8(const unsigned short *s, long units, long *outbytes) {
    if (outbytes) *outbytes = 0;
    size_t count = 0;
    if (s && units > 0) count = static_cast<size_t>(units);
    else if (s)
        while (s[count]) count++;
    // Three bytes per unit: a surrogate pair takes four for its two.
    char *plain = sysmem_newptr(count * 3 + 1);
    if (!plain) return nullptr;
    size_t n = 0;
    for (size_t i = 0; i < count; i++) {
        uint32_t cp = s[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < count && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            i++;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        n += encode_utf8(cp, plain + n);
    }
    plain[n] = 0;
    size_t len = 0;
    char *nfc = nfc_block(plain, n, &len);
    if (nfc) {
        sysmem_freeptr(plain);
        plain = nfc;
        n = len;
    }
    if (outbytes) *outbytes = static_cast<long>(n + 1);
    return plain;
}

char *UnicodeToUTF8(const unsigned short *s, long units, long *outbytes) {
    return charset_unicodetoutf8(s, units, outbytes);
}

long kivostring_conform(const char *s, long len, char **out, long *outbytes) {
    if (!s || !out) return 0;
    bool plain = true;
    for (long i = 0; (len < 0 || i < len) && s[i]; i++)
        if (static_cast<unsigned char>(s[i]) >= 0x80) {
            plain = false;
            break;
        }
    if (plain) return 0;
    size_t n = 0;
    char *nfc = nfc_block(s, std::strlen(s), &n);
    if (!nfc) return 0;
    *out = nfc;
    if (outbytes) *outbytes = static_cast<long>(n + 1);
    return 1;
}

} // extern "C"

/*
 * Text helpers.
 *
 * - Every bounded copy or format leaves dst terminated whenever it writes
 *   at all; a size of 0 means "write nothing".
 * - Counted text: a length byte (0-255) then the characters, no terminator.
 *   The counted/terminated conversions use memmove, so converting a buffer
 *   in place is allowed.
 * - OSTypeString and quotestring return process-wide static buffers: one
 *   caller at a time.
 */
#include "kivo/strutil.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <cwctype>
#include <string_view>

#include "kivo/sysmem.h"
#include "platform/platform.h"

namespace {

constexpr std::size_t kQuoteMax = 2045;        // characters kept between the quotes
constexpr std::size_t kDebugMax = 199;         // characters handed to the debug output

char g_quotebuf[kQuoteMax + 3];                // quote, text, quote, terminator
char g_ostype[5];

bool ascii_blank(unsigned char c) {
    return c < 128 && std::isspace(c);
}

// Reads one UTF-8 sequence at s (which starts with a byte above 127);
// returns its length in bytes and the code point in *cp, or 1 and -1 when
// the bytes do not form a valid sequence.
std::size_t utf8_decode(const unsigned char *s, long *cp) {
    unsigned char c = s[0];
    std::size_t len;
    long v;
    if (c >= 0xC2 && c <= 0xDF) { len = 2; v = c & 0x1F; }
    else if (c >= 0xE0 && c <= 0xEF) { len = 3; v = c & 0x0F; }
    else if (c >= 0xF0 && c <= 0xF4) { len = 4; v = c & 0x07; }
    else { *cp = -1; return 1; }
    for (std::size_t i = 1; i < len; i++) {
        if ((s[i] & 0xC0) != 0x80) { *cp = -1; return 1; }
        v = (v << 6) | (s[i] & 0x3F);
    }
    *cp = v;
    return len;
}

// Blank in the sense of quotestring_copy: ASCII blanks by the C class and,
// beyond ASCII, the wide-character class of the whole decoded character.
// Looking at single bytes instead would call the 0xA0 inside "à" a
// no-break space.
bool contains_blank(const char *text) {
    auto s = reinterpret_cast<const unsigned char *>(text);
    while (*s) {
        if (*s < 128) {
            if (std::isspace(*s)) return true;
            s++;
            continue;
        }
        long cp;
        std::size_t n = utf8_decode(s, &cp);
        if (cp >= 0 && std::iswspace(static_cast<wint_t>(cp))) return true;
        s += n;
    }
    return false;
}

} // namespace

char *strncpy_zero(char *dst, const char *src, long size) {
    if (!dst || !src || size <= 0) return nullptr;
    std::size_t n = strnlen(src, static_cast<std::size_t>(size) - 1);
    std::memmove(dst, src, n);
    dst[n] = '\0';
    return dst;
}

char *strncat_zero(char *dst, const char *src, long size) {
    if (!dst || size <= 0) return nullptr;
    std::size_t room = static_cast<std::size_t>(size);
    // strnlen: a dst without a terminator inside size counts as full.
    std::size_t used = strnlen(dst, room);
    if (used >= room - 1) return nullptr;
    if (!src) return dst;
    std::size_t n = strnlen(src, room - 1 - used);
    std::memmove(dst + used, src, n);
    dst[used + n] = '\0';
    return dst;
}

int vsnprintf_zero(char *buffer, size_t count, const char *format, va_list args) {
    if (!buffer || count == 0) return 0;
    if (!format) {
        buffer[0] = '\0';
        return 0;
    }
    int wanted = std::vsnprintf(buffer, count, format, args);
    if (wanted < 0)
        buffer[0] = '\0';
    else
        buffer[count - 1] = '\0';
    return wanted;
}

int snprintf_zero(char *buffer, size_t count, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    int wanted = vsnprintf_zero(buffer, count, format, ap);
    va_end(ap);
    return wanted;
}

char *newstr(const char *s) {
    if (!s) return nullptr;
    std::size_t n = std::strlen(s) + 1;
    char *copy = sysmem_newptr(n);
    if (copy) std::memcpy(copy, s, n);
    return copy;
}

void freestring(char *s) {
    if (s) sysmem_freeptr(s);
}

void debug_printf(const char *fmt, ...) {
    char buf[kDebugMax + 1];
    va_list ap;
    va_start(ap, fmt);
    int wanted = vsnprintf_zero(buf, sizeof buf, fmt, ap);
    va_end(ap);
    std::size_t len = wanted < 0 ? 0 : std::min<std::size_t>(static_cast<std::size_t>(wanted), kDebugMax);
    kivo::platform::debug_write(std::string_view(buf, len));
}

void ptoccpy(char *dst, const unsigned char *counted) {
    if (!dst || !counted) return;
    std::size_t n = counted[0];
    std::memmove(dst, counted + 1, n);
    dst[n] = '\0';
}

void ctopcpy(unsigned char *counted_dst, const char *src) {
    if (!counted_dst || !src) return;
    std::size_t n = strnlen(src, 255);
    std::memmove(counted_dst + 1, src, n);
    counted_dst[0] = static_cast<unsigned char>(n);
}

void pstrcpy(unsigned char *dst, const unsigned char *counted) {
    if (!dst || !counted) return;
    std::memmove(dst, counted, static_cast<std::size_t>(counted[0]) + 1);
}

char char_tolower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
}

char char_toupper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - ('a' - 'A')) : c;
}

void lower_string(char *s) {
    if (!s) return;
    for (; *s; s++) *s = char_tolower(*s);
}

void upper_string(char *s) {
    if (!s) return;
    for (; *s; s++) *s = char_toupper(*s);
}

void debracket(char *s) {
    if (!s) return;
    std::size_t len = std::strlen(s);
    while (len > 0 && s[0] == '[') {
        if (len == 1) {
            len = 0;
            break;
        }
        std::memmove(s, s + 1, len - 2);
        len -= 2;
        s[len] = '\0';
    }
    s[len] = '\0';
}

void truncate_zeros(char *s) {
    if (!s) return;
    std::size_t len = std::strlen(s);
    while (len > 1 && s[len - 1] == '0') s[--len] = '\0';
}

const char *OSTypeString(t_fourcc code) {
    g_ostype[0] = static_cast<char>(code >> 24);
    g_ostype[1] = static_cast<char>(code >> 16);
    g_ostype[2] = static_cast<char>(code >> 8);
    g_ostype[3] = static_cast<char>(code);
    g_ostype[4] = '\0';
    return g_ostype;
}

char *quotestring(char *s) {
    if (!s || !*s || s == g_quotebuf) return s;
    std::size_t len = std::strlen(s);
    if (len >= 2 && s[0] == '"' && s[len - 1] == '"') return s;
    std::size_t n = std::min(len, kQuoteMax);
    bool blank = false;
    for (std::size_t i = 0; i < n && !blank; i++)
        blank = ascii_blank(static_cast<unsigned char>(s[i]));
    if (!blank) return s;
    g_quotebuf[0] = '"';
    std::memcpy(g_quotebuf + 1, s, n);
    g_quotebuf[n + 1] = '"';
    g_quotebuf[n + 2] = '\0';
    return g_quotebuf;
}

void quotestring_copy(const char *src, char *dst, long always) {
    if (!src || !dst) return;
    std::size_t len = std::strlen(src);
    const char *open = "";
    const char *close = "";
    if (contains_blank(src)) {
        open = always ? "\"\\\"" : "\"";
        close = always ? "\\\"\"" : "\"";
    } else if (always) {
        open = close = "\"";
    }
    std::size_t o = std::strlen(open), c = std::strlen(close);
    std::memmove(dst + o, src, len);  // src and dst may be the same buffer
    std::memcpy(dst, open, o);
    std::memcpy(dst + o + len, close, c);
    dst[o + len + c] = '\0';
}

char *sqlstring_escape(const char *s) {
    if (!s) return nullptr;
    std::size_t len = std::strlen(s);
    char *out = sysmem_newptr(3 * len + 1);
    if (!out) return nullptr;
    char *p = out;
    for (; *s; s++) {
        if (*s == '_' || *s == '%') {
            *p++ = '[';
            *p++ = *s;
            *p++ = ']';
        } else {
            *p++ = *s;
        }
    }
    *p = '\0';
    return out;
}

long versioncmp(const char *a, const char *b) {
    int va[3] = {0, 0, 0}, vb[3] = {0, 0, 0};
    char la = 0, lb = 0;
    std::sscanf(a ? a : "", "%d.%d.%d%c", &va[0], &va[1], &va[2], &la);
    std::sscanf(b ? b : "", "%d.%d.%d%c", &vb[0], &vb[1], &vb[2], &lb);
    for (int i = 0; i < 3; i++) {
        if (vb[i] > va[i]) return 1;
        if (va[i] > vb[i]) return -1;
    }
    // A trailing letter marks a pre-release, which comes before the plain
    // numbers; two letters are not ranked.
    if (la && !lb) return 1;
    if (lb && !la) return -1;
    return 0;
}

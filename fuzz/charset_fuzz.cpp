// libFuzzer target for the character-set routines: every routine gets the
// input in a block of exactly its size (or with exactly one NUL after it),
// so that AddressSanitizer sees any read past the end, and every UTF-8
// result must be well formed.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/startup.h"
#include "kivo/kivo.h"
#include "tools/post_internal.h"

namespace {

const char *const kEncodings[] = {"utf-8",      "utf-16",   "utf-16be", "utf-16le", "iso-8859-1",
                                  "us-ascii",   "macroman", "ms-ansi",  "shift_jis"};
constexpr size_t kCount = sizeof(kEncodings) / sizeof(kEncodings[0]);
t_charset_converter *g_converters[kCount][kCount];

void check(bool ok) {
    if (!ok) __builtin_trap();
}

// Well formed by the strict rules: what Kivo promises for text it makes.
bool strict_utf8(const char *s, size_t n) {
    auto p = reinterpret_cast<const unsigned char *>(s);
    for (size_t i = 0; i < n;) {
        unsigned char c = p[i];
        size_t len = c < 0x80 ? 1 : c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3
                   : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
        if (!len || i + len > n) return false;
        unsigned char lo = 0x80, hi = 0xBF;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
        if (len > 1 && (p[i + 1] < lo || p[i + 1] > hi)) return false;
        for (size_t k = 2; k < len; k++)
            if ((p[i + k] & 0xC0) != 0x80) return false;
        i += len;
    }
    return true;
}

void fuzz_utf8(const char *exact, size_t n, char *terminated) {
    long ascii;
    charset_isvalidutf8(exact, static_cast<long>(n), &ascii);
    charset_isvalidutf8(terminated, -1, &ascii);
    charset_whichencoding(exact, static_cast<long>(n), &ascii);

    long bytes = 0;
    long chars = charset_utf8_count(terminated, &bytes);
    check(bytes == static_cast<long>(strlen(terminated)) && chars <= bytes);
    long moved = 0;
    char *end = charset_utf8_offset(terminated, chars, &moved);
    check(end == terminated + bytes && moved == bytes);
    // Walk back over as many character starts as lie before the end: the
    // walk may then not pass the start of the text.
    long starts = 0;
    for (char *p = terminated; p < end; p++)
        if ((static_cast<unsigned char>(*p) & 0xC0) != 0x80) starts++;
    char *back = charset_utf8_offset(end, -starts, &moved);
    check(back >= terminated && moved == back - end);

    std::vector<char> url(n * 3 + 1);
    check(charset_urlencode(terminated, url.data()) == 0);

    char *nfc = nullptr;
    long size = 0;
    if (kivostring_conform(terminated, static_cast<long>(n), &nfc, &size)) {
        check(strict_utf8(nfc, strlen(nfc)) && size == static_cast<long>(strlen(nfc)) + 1);
        sysmem_freeptr(nfc);
    }

    long units = 0;
    unsigned short *u = UTF8ToUnicode(terminated, &units);
    if (u) {
        check(u[units] == 0);
        char *again = UnicodeToUTF8(u, units, &size);
        if (again) check(strict_utf8(again, static_cast<size_t>(size - 1)));
        sysmem_freeptr(again);
        sysmem_freeptr(u);
    }
}

void fuzz_utf16(const uint8_t *data, size_t n) {
    size_t count = n / 2;
    std::vector<unsigned short> units(count ? count : 1);
    std::memcpy(units.data(), data, count * 2);
    long size = 0;
    if (count) {
        char *s = UnicodeToUTF8(units.data(), static_cast<long>(count), &size);
        if (s) check(strict_utf8(s, static_cast<size_t>(size - 1)));
        sysmem_freeptr(s);
    }
    units.push_back(0);
    char *s = UnicodeToUTF8(units.data(), 0, &size);
    if (s) check(strict_utf8(s, strlen(s)));
    sysmem_freeptr(s);
}

void fuzz_convert(uint8_t selector, const char *exact, size_t n) {
    size_t from = (selector >> 4) % kCount, to = (selector & 0xF) % kCount;
    t_charset_converter *&x = g_converters[from][to];
    if (!x) x = charset_converter_new(gensym(kEncodings[from]), gensym(kEncodings[to]));
    check(x != nullptr);
    char *out = nullptr;
    long size = 0;
    if (charset_converter_convert(x, exact, static_cast<long>(n), &out, &size) == 0) {
        check(size >= 0 && out != nullptr);
        if (to == 0) check(strict_utf8(out, static_cast<size_t>(size)));
        sysmem_freeptr(out);
    }
    out = charset_macromantoutf8(exact, static_cast<long>(n), &size);
    if (out) check(strict_utf8(out, static_cast<size_t>(size)));
    sysmem_freeptr(out);
    out = charset_utf8tomacroman(exact, static_cast<long>(n), &size);
    sysmem_freeptr(out);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    return static_cast<int>(kivo_startup());
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    const uint8_t selector = data[0];
    data++;
    size--;
    // new[] of exactly the size, so that one byte past it is out of bounds
    char *exact = new char[size ? size : 1];
    std::memcpy(exact, data, size);
    char *terminated = new char[size + 1];
    std::memcpy(terminated, data, size);
    terminated[size] = 0;

    fuzz_utf8(exact, size, terminated);
    fuzz_utf16(data, size);
    fuzz_convert(selector, exact, size);

    delete[] terminated;
    delete[] exact;
    kivo::post::early_take(); // the failures' console errors
    return 0;
}

// libFuzzer target for the JSON reader: the input sits in a block of
// exactly its size, so AddressSanitizer sees any read past the end. A
// success must give a dictionary or an atom array; when the input is plain
// ASCII, every string and key made from it (escapes included) must be well
// formed UTF-8. The error message must fit its buffer.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/startup.h"
#include "kivo/kivo.h"

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

bool strict_utf8(const char *s) {
    auto p = reinterpret_cast<const unsigned char *>(s);
    size_t n = std::strlen(s);
    for (size_t i = 0; i < n;) {
        unsigned char c = p[i];
        size_t len = c < 0x80 ? 1 : c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
        if (!len || i + len > n) return false;
        unsigned cp = len == 1 ? c : len == 2 ? c & 0x1F : len == 3 ? c & 0x0F : c & 0x07;
        for (size_t k = 1; k < len; k++) {
            if ((p[i + k] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (p[i + k] & 0x3F);
        }
        if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += len;
    }
    return true;
}

// Walks the result without recursion.
void walk(const t_atom &top, bool ascii) {
    std::vector<t_atom> todo{top};
    while (!todo.empty()) {
        t_atom a = todo.back();
        todo.pop_back();
        if (a.type != AT_OBJ) continue;
        check(a.value.w_obj != nullptr);
        if (atomisstring(&a)) {
            const char *t = string_getptr(reinterpret_cast<t_string *>(a.value.w_obj));
            if (ascii && t) check(strict_utf8(t));
        } else if (atomisatomarray(&a)) {
            long ac = 0;
            t_atom *av = nullptr;
            atomarray_getatoms(reinterpret_cast<t_atomarray *>(a.value.w_obj), &ac, &av);
            for (long i = 0; i < ac; i++) todo.push_back(av[i]);
        } else if (atomisdictionary(&a)) {
            auto *d = reinterpret_cast<t_dictionary *>(a.value.w_obj);
            long n = 0;
            t_symbol **keys = nullptr;
            dictionary_getkeys_ordered(d, &n, &keys);
            for (long i = 0; i < n; i++) {
                if (ascii) check(strict_utf8(keys[i]->name));
                t_atom v;
                if (dictionary_getatom(d, keys[i], &v) == 0) todo.push_back(v);
            }
            dictionary_freekeys(d, n, keys);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) { return static_cast<int>(kivo_startup()); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<char> exact(data, data + size);
    bool ascii = true;
    for (size_t i = 0; i < size; i++) ascii = ascii && data[i] < 0x80;
    t_jsonreader *r = jsonreader_new();
    t_atom a;
    long err = jsonreader_parse_len(r, exact.data(), static_cast<long>(size), &a);
    if (err == 0) {
        check(atomisdictionary(&a) || atomisatomarray(&a));
        walk(a, ascii);
        object_free(a.value.w_obj);
    } else {
        check(a.type == AT_NOTHING);
        // The context never reaches past the examined bytes.
        char buf[JSONREADER_ERRORSTRING_SIZE];
        jsonreader_errorstring(r, exact.data(), buf);
        check(std::strlen(buf) < sizeof buf);
    }
    object_free(r);

    std::vector<char> terminated(data, data + size);
    terminated.push_back('\0');
    const char *end = json_skipobject(terminated.data());
    check(!end || (end > terminated.data() && end <= terminated.data() + size));
    return 0;
}

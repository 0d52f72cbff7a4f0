// libFuzzer target for the 6-bit text of binary data in dictionaries. The
// first byte picks the stored byte count (small, or taken raw from the next
// eight bytes so that hostile counts are tried); the rest is the text. A
// decode that succeeds must give exactly the count's bytes, and encoding
// them again must repeat the text's full characters. The raw input also
// makes a round trip through encoding and decoding.
#include <cstdint>
#include <cstring>
#include <string>

#include "app/startup.h"
#include "kivo/kivo.h"
#include "tools/post_internal.h"

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

// The text stored under "k" in d; the dictionary owns it.
std::string stored_text(t_dictionary *d, t_atomarray **array) {
    t_object *o = nullptr;
    check(dictionary_getatomarray(d, gensym("k"), &o) == 0);
    *array = reinterpret_cast<t_atomarray *>(o);
    t_atom a;
    check(atomarray_getindex(*array, 2, &a) == 0);
    const char *text = string_getptr(static_cast<t_string *>(atom_getobj(&a)));
    return text ? text : "";
}

void fuzz_decode(const uint8_t *data, size_t size) {
    if (size == 0) return;
    const bool raw = data[0] & 1;
    t_atom_long count = data[0] >> 1;
    data++;
    size--;
    if (raw && size >= 8) {
        std::memcpy(&count, data, 8);
        data += 8;
        size -= 8;
    }
    std::string text(reinterpret_cast<const char *>(data), size);
    t_atom atoms[3];
    atom_setlong(atoms, count);
    atom_setsym(atoms + 1, gensym("fuzz"));
    atom_setobj(atoms + 2, string_new(text.c_str())); // up to the first zero
    text.resize(std::strlen(text.c_str()));
    t_atomarray *x = atomarray_new(3, atoms);
    atomarray_flags(x, ATOMARRAY_FLAG_FREECHILDREN);

    char *bytes = nullptr;
    t_atom_long n = 0;
    t_symbol *type = nullptr;
    if (atomarray_decodebinarydata(x, &bytes, &n, &type) == 0) {
        check(n == count && n > 0 && bytes && type == gensym("fuzz"));
        t_dictionary *d = dictionary_new();
        check(binarydata_appendtodictionary(bytes, n, gensym("k"), type, d) == 0);
        t_atomarray *again = nullptr;
        const std::string encoded = stored_text(d, &again);
        check(encoded.size() <= text.size());
        // The last character may carry bits past the data, which are dropped.
        check(encoded.compare(0, encoded.size() - 1, text, 0, encoded.size() - 1) == 0);
        object_free(d);
        sysmem_freeptr(bytes);
    } else {
        check(!bytes && n == 0 && !type);
    }
    object_free(x);
}

void fuzz_roundtrip(const uint8_t *data, size_t size) {
    if (size == 0) return;
    t_dictionary *d = dictionary_new();
    check(binarydata_appendtodictionary(data, static_cast<t_atom_long>(size), gensym("k"),
                                        gensym("raw"), d) == 0);
    t_atomarray *array = nullptr;
    check(stored_text(d, &array).size() == (8 * size + 5) / 6);
    char *bytes = nullptr;
    t_atom_long n = 0;
    t_symbol *type = nullptr;
    check(atomarray_decodebinarydata(array, &bytes, &n, &type) == 0);
    check(n == static_cast<t_atom_long>(size) && std::memcmp(bytes, data, size) == 0);
    sysmem_freeptr(bytes);
    object_free(d);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    return static_cast<int>(kivo_startup());
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz_decode(data, size);
    fuzz_roundtrip(data, size);
    kivo::post::early_take();
    return 0;
}

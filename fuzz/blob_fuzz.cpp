// libFuzzer target for the blob readers: dictionaries, atom arrays and
// strings rebuilt from bytes that come from patcher files, the clipboard or
// another process. Each reader gets the input as zero-terminated text in a
// block of exactly that size, and the string reader also the raw bytes with
// the input's length, so that AddressSanitizer sees any read past the end.
// A dictionary that was read must serialise again.
#include <cstdint>
#include <cstring>
#include <vector>

#include "app/startup.h"
#include "kivo/kivo.h"
#include "runtime/atomarray_internal.h"
#include "runtime/dictionary_internal.h"

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    return static_cast<int>(kivo_startup());
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<char> text(data, data + size);
    text.push_back('\0');
    const long length = static_cast<long>(text.size());

    if (t_dictionary *d = dictionary_new()) {
        dictionary_appendlong(d, gensym("before"), 1);
        if (dictionary_deserializeblob(d, length, text.data()) == 0) {
            t_handle h = nullptr;
            check(dictionary_serializeblob(d, &h) == 0 && h);
            if (h) {
                check(sysmem_handlesize(h) == static_cast<t_ptr_size>(std::strlen(*h) + 1));
                sysmem_freehandle(h);
            }
            if (t_dictionary *copy = dictionary_clone(d)) object_free(copy);
        }
        object_free(d);
    }
    if (t_atomarray *a = atomarray_new(0, nullptr)) {
        atomarray_deserializeblob(a, length, text.data());
        object_free(a);
    }
    if (t_string *s = string_new("")) {
        // The string reader is handed the raw bytes too, without a zero.
        std::vector<char> raw(data, data + size);
        string_deserializeblob(s, static_cast<long>(raw.size()), raw.empty() ? nullptr : raw.data());
        string_deserializeblob(s, length, text.data());
        object_free(s);
    }
    return 0;
}

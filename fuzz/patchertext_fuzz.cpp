// libFuzzer target for the compressed patcher text decoders (and the base64
// decoder, which reads text from the same kind of places): the input sits
// in a block of exactly its size, so AddressSanitizer sees any read past
// the end. Decoding answers 0 or -1, a success leaves a NUL-terminated
// handle no larger than the inflate limit allows, and any input compressed
// in either form decodes back to itself.
#include <cstdint>
#include <cstring>
#include <vector>

#include "app/startup.h"
#include "kivo/kivo.h"
#include "runtime/hash_internal.h"
#include "runtime/patchertext_internal.h"

namespace {

constexpr size_t kLimit = 1 << 20;

void check(bool ok) {
    if (!ok) __builtin_trap();
}

void check_output(t_kivo_err err, t_handle h) {
    check(err == 0 || err == -1);
    if (err != 0) return;
    const t_ptr_size n = sysmem_handlesize(h);
    check(n >= 1 && n <= kLimit + 1);
    check((*h)[n - 1] == '\0');
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    kivo::patchertext::set_inflate_limit(kLimit);
    return static_cast<int>(kivo_startup());
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<char> exact(data, data + size);
    const char *text = exact.data();
    const long length = static_cast<long>(size);

    const long marked = compression_istextcompressedjson(text, length);
    check(marked == 0 || marked == 1);
    t_handle h = sysmem_newhandle(0);
    const t_kivo_err framed = compression_decompressjson(text, length, h);
    check(marked || framed == -1);
    check_output(framed, h);
    check_output(compression_decompressjson_headless(text, length, h), h);

    // Round trips of the input itself.
    if (size < 1 << 16) {
        t_handle z = sysmem_newhandle(0);
        for (int form = 0; form < 2; form++) {
            const int n = static_cast<int>(size);
            check((form ? compression_compressjson(text, n, z) : compression_compressjson_headless(text, n, z)) == 0);
            const char *packed = *z;
            const long packed_length = static_cast<long>(std::strlen(packed));
            check((form ? compression_decompressjson(packed, packed_length, h)
                        : compression_decompressjson_headless(packed, packed_length, h)) == 0);
            check(sysmem_handlesize(h) == size + 1 && (size == 0 || std::memcmp(*h, text, size) == 0));
        }
        sysmem_freehandle(z);
    }
    sysmem_freehandle(h);

    char *bytes = nullptr;
    long count = 0;
    check(b64_unencode_nonl(text, length, &bytes, &count) == 0);
    check(count <= length);
    sysmem_freeptr(bytes);
    return 0;
}

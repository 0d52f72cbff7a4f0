// libFuzzer target for reading text into binbufs: the text comes in a handle
// of exactly its size, so that AddressSanitizer sees any read past its end.
// Every binbuf must keep its layout invariants, never hold a null symbol,
// and survive being written back as text, re-read and partly deleted.
#include <cstdint>
#include <cstring>

#include "app/startup.h"
#include "kivo/kivo.h"
#include "tools/post_internal.h"

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

void check_binbuf(t_binbuf *b) {
    check(b->typesize % 8 == 0 && b->typesize >= b->count + 1 && b->usedsize >= 8);
    check(static_cast<t_atom_long>(sysmem_handlesize(b->storage)) >= b->usedsize);
    t_atom_long tp = 0, vo = 0, n = 0;
    t_atom a;
    while (!binbuf_getatom(b, &tp, &vo, &a)) {
        if (a.type == AT_SYM || a.type == AT_DOLLSYM) check(a.value.w_sym != nullptr);
        n++;
    }
    check(n == b->count);
}

t_handle exact_handle(const uint8_t *data, size_t size) {
    t_handle h = sysmem_newhandle(size ? size : 1);
    if (h && size) std::memcpy(*h, data, size);
    return h;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    return static_cast<int>(kivo_startup());
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    t_binbuf *b = binbuf_new();
    t_handle h = exact_handle(data, size);
    check(b && h);
    binbuf_text(b, h, size);
    check_binbuf(b);
    binbuf_addtext(b, h, size);
    check_binbuf(b);

    t_handle text = sysmem_newhandle(0);
    t_ptr_size n = 0;
    if (text && binbuf_totext(b, text, &n) == 0) {
        t_binbuf *again = binbuf_new();
        binbuf_text(again, text, n);
        check_binbuf(again);
        freeobject(reinterpret_cast<t_object *>(again));
    }
    sysmem_freehandle(text);

    // Delete the second third of the atoms, at their real read positions.
    t_atom_long tp = 0, vo = 0, from = b->count / 3, to = 2 * b->count / 3, fv = 0, tv = 0;
    t_atom a;
    for (t_atom_long i = 0; i <= to; i++) {
        if (i == from) fv = vo;
        if (i == to) tv = vo;
        if (i < to) binbuf_getatom(b, &tp, &vo, &a);
    }
    binbuf_delete(b, from, to, fv, tv);
    check_binbuf(b);

    char *copy = new char[size ? size : 1];
    std::memcpy(copy, data, size);
    t_ptr_size left = binbuf_smartquotestoquotes(copy, size);
    check(left <= size);
    delete[] copy;

    sysmem_freehandle(h);
    freeobject(reinterpret_cast<t_object *>(b));
    kivo::post::early_take();
    return 0;
}

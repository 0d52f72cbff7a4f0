// libFuzzer target for the message-text reader and writers. The input is
// read from a block of exactly its size (AddressSanitizer sees any read
// past the end) by both readers; every atom must be well formed, and what
// the buffer writer makes of the current reader's atoms must read back as
// the same atoms (floats only keep their type: the float correction moves
// them on purpose).
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "app/startup.h"
#include "kernel/msgtext_internal.h"
#include "kivo/kivo.h"

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

std::vector<t_atom> read_all(const char *text, size_t size, long flags, bool old, char *word) {
    std::vector<t_atom> out;
    char *p = const_cast<char *>(text);
    t_atom_long n = 0;
    t_atom a;
    for (;;) {
        t_atom_long before = n;
        long got = old ? readatom_old(word, &p, &n, static_cast<t_atom_long>(size), &a)
                       : readatom_new_flags(word, &p, &n, static_cast<t_atom_long>(size), &a, flags);
        check(n >= before && n <= static_cast<t_atom_long>(size));
        if (!got) break;
        check(n > before);
        check(std::strlen(word) <= KIVO_TEXT_WORDMAX);
        if (a.type == AT_SYM || a.type == AT_DOLLSYM) check(a.value.w_sym != nullptr);
        check(a.type == AT_LONG || a.type == AT_FLOAT || a.type == AT_SYM || a.type == AT_SEMI ||
              a.type == AT_COMMA || a.type == AT_DOLLAR || a.type == AT_DOLLSYM);
        out.push_back(a);
    }
    return out;
}

bool same(const t_atom &a, const t_atom &b) {
    if (a.type == AT_FLOAT && !std::isfinite(a.value.w_float)) return true;
    if (a.type != b.type) return false;
    switch (a.type) {
    case AT_LONG:
    case AT_DOLLAR:
        return a.value.w_long == b.value.w_long;
    case AT_SYM:
    case AT_DOLLSYM:
        return a.value.w_sym == b.value.w_sym;
    default:
        return true;
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    return static_cast<int>(kivo_startup());
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    long flags = data[0] & 3;
    ++data;
    --size;
    std::unique_ptr<char[]> text(new char[size ? size : 1]);
    std::memcpy(text.get(), data, size);
    std::unique_ptr<char[]> word(new char[KIVO_TEXT_WORDBUF]);

    read_all(text.get(), size, flags, true, word.get());
    std::vector<t_atom> atoms = read_all(text.get(), size, flags, false, word.get());

    t_handle h = sysmem_newhandle(0);
    t_ptr_size len = 0;
    check(msgtext_totext(static_cast<long>(atoms.size()), atoms.data(), h, &len, flags) == 0);
    std::unique_ptr<char[]> written(new char[len ? len : 1]);
    std::memcpy(written.get(), *h, len);
    sysmem_freehandle(h);
    std::vector<t_atom> back = read_all(written.get(), len, flags, false, word.get());
    bool nonfinite = false;
    for (const t_atom &a : atoms) nonfinite |= a.type == AT_FLOAT && !std::isfinite(a.value.w_float);
    if (!nonfinite) {
        check(back.size() == atoms.size());
        for (size_t i = 0; i < atoms.size(); ++i) check(same(atoms[i], back[i]));
    }

    for (long dflags : {0L, 2L, 4L, 8L | 0x10L, 0x20L}) {
        long tsize = 0;
        char *out = nullptr;
        check(atom_gettext(static_cast<long>(atoms.size()), atoms.data(), &tsize, &out, dflags) == 0);
        check(out != nullptr);
        sysmem_freeptr(out);
    }

    // The escape helpers on the raw word of the input, cut to a word.
    size_t wl = size < KIVO_TEXT_WORDMAX ? size : KIVO_TEXT_WORDMAX;
    std::unique_ptr<char[]> in(new char[KIVO_TEXT_WORDBUF]);
    std::memcpy(in.get(), data, wl);
    in[wl] = '\0';
    check(slash_flags(word.get(), in.get(), flags) >= 0);
    check(std::strlen(word.get()) <= KIVO_TEXT_WORDMAX);
    requote(in.get());
    check(std::strlen(in.get()) <= KIVO_TEXT_WORDMAX);
    t_symbol *s = gensym(in.get());
    unslash(&s);
    check(s != nullptr);
    return 0;
}

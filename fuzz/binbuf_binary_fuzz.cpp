// libFuzzer target for the binary binbuf reader. The input is read from a
// memory handle of exactly its size; when the first byte is odd it is also
// written to a temporary file and read with binbuf_read. No atom may hold a
// null symbol, and what was read must come back the same after being
// written out in binary and read again.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "app/startup.h"
#include "files/files_internal.h"
#include "kivo/kivo.h"
#include "tools/post_internal.h"

namespace {

std::string s_dir;

void check(bool ok) {
    if (!ok) __builtin_trap();
}

bool same(const t_atom &x, const t_atom &y) {
    if (x.type != y.type) return false;
    if (x.type == AT_SEMI || x.type == AT_COMMA) return true;
    return std::memcmp(&x.value, &y.value, 8) == 0;
}

std::vector<t_atom> read_memory(const uint8_t *data, size_t size) {
    std::vector<t_atom> atoms;
    t_handle h = sysmem_newhandle(size ? size : 1);
    check(h != nullptr);
    if (size) std::memcpy(*h, data, size);
    sysmem_hlock(h);
    t_toolfile *f = toolfile_fromhandle(h, size);
    check(f != nullptr);
    if (bf_openfromtoolfile(f, 1) == 0) {
        t_atom a;
        while (bf_getatom(&a) == 0) {
            if (a.type == AT_SYM || a.type == AT_DOLLSYM) check(a.value.w_sym != nullptr);
            atoms.push_back(a);
        }
        check(a.type == AT_NOTHING);
        bf_closeread();
    } else {
        freeobject(reinterpret_cast<t_object *>(f));
    }
    sysmem_freehandle(h);
    return atoms;
}

std::vector<t_atom> atoms_of(t_binbuf *b) {
    std::vector<t_atom> out;
    t_atom_long tp = 0, vo = 0;
    t_atom a;
    while (!binbuf_getatom(b, &tp, &vo, &a)) out.push_back(a);
    return out;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    char tmpl[] = "/tmp/kivo_kvob_fuzz_XXXXXX";
    s_dir = mkdtemp(tmpl);
    return static_cast<int>(kivo_startup());
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<t_atom> atoms = read_memory(data, size);
    const std::string path = s_dir + "/doc.kvob";

    if (size && (data[0] & 1)) {
        FILE *fp = std::fopen(path.c_str(), "wb");
        check(fp != nullptr);
        std::fwrite(data, 1, size, fp);
        std::fclose(fp);
        t_binbuf *b = binbuf_new();
        short r = binbuf_read(b, path.c_str(), 0, 1);
        if (r == 0) {
            std::vector<t_atom> fromfile = atoms_of(b);
            check(fromfile.size() == atoms.size());
            for (size_t i = 0; i < atoms.size(); i++) check(same(fromfile[i], atoms[i]));
        } else {
            check(b->count == 0);
        }
        freeobject(reinterpret_cast<t_object *>(b));
    }

    // Written back and read again, the atoms stay the same.
    t_binbuf *b = binbuf_new();
    for (size_t i = 0; i < atoms.size(); i += 4096) {
        size_t n = atoms.size() - i < 4096 ? atoms.size() - i : 4096;
        check(binbuf_insq(b, static_cast<short>(n), atoms.data() + i, 1, 0) == 0);
    }
    if (binbuf_write(b, path.c_str(), 0, 1) == 0) {
        t_binbuf *again = binbuf_new();
        check(binbuf_read(again, path.c_str(), 0, 1) == 0);
        std::vector<t_atom> back = atoms_of(again);
        check(back.size() == atoms.size());
        for (size_t i = 0; i < atoms.size(); i++) check(same(back[i], atoms[i]));
        freeobject(reinterpret_cast<t_object *>(again));
    }
    freeobject(reinterpret_cast<t_object *>(b));
    kivo::post::early_take();
    return 0;
}

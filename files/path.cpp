/*
 * Paths: naming files by folder and name, renaming and deleting them.
 *
 * Invariants:
 * - The path table holds only the identifier 0, which is also the default
 *   path: a name under it is a full path name or relative to the working
 *   folder. Every other identifier is unknown and gives -1.
 * - A full path name always fits KIVO_PATH_MAX bytes with its terminator;
 *   a longer one is an error, never a cut name (which could name another
 *   file).
 */
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

#include "files/files_internal.h"
#include "kivo/path.h"
#include "kivo/post.h"

namespace {

std::atomic<long> g_unique{0};

// The remembered target of the next save (main thread only).
std::string g_existing_name;
short g_existing_path = 0;

bool known_path(short path) {
    return path == 0 || path == path_getdefault();
}

} // namespace

extern "C" {

short g_kivo_file_error = 0;

short path_topathname(short path, const char *name, char *out) {
    if (!out) return -1;
    out[0] = '\0';
    if (!known_path(path)) {
        g_kivo_file_error = ENOENT;
        return -1;
    }
    if (!name) name = "";
    std::string full;
    if (name[0] == '/') {
        full = name;
    } else {
        char cwd[KIVO_PATH_MAX];
        if (!getcwd(cwd, sizeof cwd)) {
            g_kivo_file_error = static_cast<short>(errno);
            return -1;
        }
        full = cwd;
        if (name[0]) {
            if (full.empty() || full.back() != '/') full += '/';
            full += name;
        }
    }
    if (full.size() >= KIVO_PATH_MAX) {
        g_kivo_file_error = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(out, full.c_str(), full.size() + 1);
    return 0;
}

short path_deletefile(const char *name, short path) {
    char full[KIVO_PATH_MAX];
    if (!name || !name[0] || path_topathname(path, name, full)) return -1;
    if (unlink(full) != 0) {
        g_kivo_file_error = static_cast<short>(errno);
        return -1;
    }
    return 0;
}

short path_overwritefile(const char *src, short path, const char *dst, t_fourcc type) {
    (void)type; // no type is kept beside a file's bytes here
    char from[KIVO_PATH_MAX], to[KIVO_PATH_MAX];
    if (!src || !dst || path_topathname(path, src, from) || path_topathname(path, dst, to)) {
        error("%s: error %d creating file", dst ? dst : "", static_cast<int>(g_kivo_file_error));
        return -1;
    }
    if (access(to, F_OK) == 0 && access(to, W_OK) != 0) {
        g_kivo_file_error = EACCES;
        error("%s: file is read-only", dst);
        return -1;
    }
    if (std::rename(from, to) != 0) {
        g_kivo_file_error = static_cast<short>(errno);
        error("%s: error %d renaming file", dst, static_cast<int>(g_kivo_file_error));
        return -1;
    }
    return 0;
}

long path_namehasseparators(const char *name, long *relative) {
    if (relative) *relative = 0;
    if (!name) return 0;
    bool rel = !std::strncmp(name, "./", 2) || !std::strncmp(name, "../", 3);
    if (relative) *relative = rel ? 1 : 0;
    return (rel || std::strchr(name, '/')) ? 1 : 0;
}

void path_setexistingfile(const char *name, short path) {
    if (!name) {
        g_existing_name.clear();
        g_existing_path = 0;
        return;
    }
    g_existing_name = name;
    g_existing_path = path;
}

void argpad(long argc, const t_atom *argv, long *outc, t_atom *outv) {
    if (!outv) return;
    atom_setlong(&outv[0], ++g_unique);
    long n = (argv && argc > 0) ? (argc < 9 ? argc : 9) : 0;
    for (long i = 0; i < n; ++i) outv[1 + i] = argv[i];
    for (long i = 1 + n; i < 10; ++i) atom_setlong(&outv[i], 0);
    if (outc) *outc = 10;
}

} // extern "C"

/*
 * Start-up and shutdown hooks of the file layer, and the least of the path
 * system that start-up needs: the application's file, resolving a path
 * name given on the command line, and a file's type from its name.
 *
 * The path table holds only the default path 0, under which a name is a
 * full path name or relative to the working folder (see path.cpp); a
 * resolved command-line file is therefore named by its full path name.
 */
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/startup.h"
#include "files/files_internal.h"

namespace {

// The application's executable file, recorded at start-up.
std::string g_appfile;

std::string lower_suffix(const char *name) {
    const char *slash = std::strrchr(name, '/');
    const char *base = slash ? slash + 1 : name;
    const char *dot = std::strrchr(base, '.');
    if (!dot || dot == base) return {};
    std::string s(dot);
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

// The first bytes of a file (up to n); false when it cannot be read.
bool head_bytes(const char *name, short path, unsigned char *buf, size_t n, size_t *got) {
    char full[KIVO_PATH_MAX];
    if (path_topathname(path, name, full)) return false;
    FILE *f = std::fopen(full, "rb");
    if (!f) return false;
    *got = std::fread(buf, 1, n, f);
    std::fclose(f);
    return true;
}

} // namespace

extern "C" {

void path_getappfileref(void) {
    char buf[KIVO_PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    g_appfile = n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

void fileformat_init(void) {}
void fileformat_shutdown(void) {}

void path_init(void) {
    // The standalone flag and the packed version depend on what is found
    // beside the application.
    kivo_standalone_set(single_check());
    get_kivoversion();
}

void path_initprefs(void) {}
void fileutils_init(void) {}
void fileutils_saveprefs(void) {}
void onecopy_init(void) {}
void path_buildcache(void) {}
void path_saveprefpaths(void) {}
void path_deletetempfiles(void) {}

short path_setdefault(short path, short recursive) {
    (void)recursive;
    return path == 0 ? 0 : -1;
}

short path_sysnameinpath(const char *name, short *path) {
    (void)name;
    if (path) *path = 0;
    return -1;
}

short path_frompathname(const char *pathname, short *path, char *filename) {
    if (!pathname || !*pathname || !filename) return -1;
    // A relative name is taken from the working folder (a leading word is
    // never a volume here).
    char full[KIVO_PATH_MAX];
    if (path_topathname(0, pathname, full)) return -1;
    struct stat st;
    if (stat(full, &st) != 0) {
        g_kivo_file_error = static_cast<short>(errno);
        return -1;
    }
    std::snprintf(filename, KIVO_PATH_MAX, "%s", full);
    if (path) *path = 0;
    return 0;
}

t_fourcc fileformat_typeof(const char *filename, short path) {
    if (!filename) return 0;
    const std::string suffix = lower_suffix(filename);
    if (suffix == ".kivopat" || suffix == ".kivohelp" || suffix == ".json")
        return KIVO_FOURCC('J', 'S', 'O', 'N');
    if (suffix == ".txt" || suffix == ".strings") return KIVO_FOURCC('T', 'E', 'X', 'T');
    if (suffix == ".kvo") return FILES_TYPE_EXTERNAL;
    if (suffix == ".kvb") return KIVO_FOURCC('k', 'v', 'o', 'b');
    if (suffix == ".kvf") return KIVO_FOURCC('k', 'v', '@', 'c');
    if (suffix == ".akvd") return KIVO_FOURCC('a', 'k', 'v', 'd');
    if (suffix == ".kivosnap") return KIVO_FOURCC('k', 'v', '@', 's');
    if (!suffix.empty() && suffix != ".pat" && suffix != ".help") return 0;
    // ".pat", ".help" and names without a suffix: binary patchers begin with
    // 2, 0; printable text is text.
    unsigned char head[16];
    size_t got = 0;
    if (!head_bytes(filename, path, head, sizeof head, &got)) return 0;
    if (got >= 2 && head[0] == 2 && head[1] == 0) return KIVO_FOURCC('k', 'v', 'o', 'b');
    for (size_t i = 0; i < got; ++i)
        if (head[i] < 0x20 && head[i] != '\t' && head[i] != '\n' && head[i] != '\r') return 0;
    return KIVO_FOURCC('T', 'E', 'X', 'T');
}

} // extern "C"

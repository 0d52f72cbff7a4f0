/*
 * Path names: the styles and kinds of names users and patchers write, and
 * the conversions between them.
 *
 * Invariants:
 * - A name is read as head + rest. The head (volume, relative, root or home
 *   marker) decides the kind; the rest is split only at the separator of
 *   the name's own style, so a Linux file name holding ':' or '\' keeps
 *   them through a conversion in its own style (canonical names round-trip
 *   byte for byte).
 * - Only a first component ended by ':' is a volume. "tests/a.txt" is a
 *   relative name, not the volume "tests"; the four virtual volumes (MVN,
 *   Desktop, Tempfolder, Userkivo) may also end at '/' or '\'.
 * - A converted name that would not fit KIVO_PATH_MAX is refused, never cut
 *   (a cut name can name another file).
 * - Prefix tests ("is this name inside that folder?") compare whole
 *   components: Disk:/ab is not inside Disk:/a.
 */
#include <cctype>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "files/files_internal.h"
#include "files/path_internal.h"
#include "kivo/files.h"
#include "platform/fsys.h"

namespace fsys = kivo::platform::fsys;

namespace {

bool is_sep(char c) { return c == '/' || c == ':' || c == '\\'; }

struct Markers {
    char sep;
    const char *rel;
    const char *home;
    const char *root;
    const char *volsuffix; // after the volume name
};

Markers markers(long style) {
    if (style == PATH_STYLE_COLON) return {':', ":", "~:", "^:", ":"};
    if (style == PATH_STYLE_NATIVE_WIN) return {'\\', ".\\", "~\\", "\\", ":\\"};
    return {'/', "./", "~/", "/", ":/"};
}

enum class Kind { Empty, Relative, Boot, Home, Support, Desktop, Temp, UserKivo, Absolute };

// A parsed name: the kind, the volume (absolute kind) and the rest, whose
// components are joined with the target separator.
struct Name {
    Kind kind = Kind::Empty;
    std::string vol;
    std::string rest;
};

const char *virtual_volume(Kind k) {
    switch (k) {
    case Kind::Support: return "MVN";
    case Kind::Desktop: return "Desktop";
    case Kind::Temp: return "Tempfolder";
    case Kind::UserKivo: return "Userkivo";
    default: return nullptr;
    }
}

bool is_virtual(Kind k) { return virtual_volume(k) != nullptr || k == Kind::Home; }

// First letter in either case, the rest exactly.
bool matches_virtual(const std::string &comp, const char *v) {
    if (comp.size() != std::strlen(v) || comp.empty()) return false;
    if (std::tolower(static_cast<unsigned char>(comp[0])) != std::tolower(static_cast<unsigned char>(v[0])))
        return false;
    return comp.compare(1, std::string::npos, v + 1) == 0;
}

// The separator of the name's own style: the one its rest is split at.
char input_separator(const std::string &in) {
    long st = path_getstyle(in.c_str());
    if (st == 3) return '/';
    if (st == 4) return '\\';
    if (st == 2) return ':';
    return in.find('\\') != std::string::npos ? '\\' : '/';
}

// Splits at the separator; empty components are kept (normalising drops them).
std::string resep(const std::string &rest, char from, char to) {
    std::string out = rest;
    for (char &c : out)
        if (c == from) c = to;
    return out;
}

std::string join(const std::string &a, const std::string &b, char sep) {
    if (a.empty()) return b;
    if (b.empty()) return a;
    if (a.back() == sep) return a + b;
    return a + sep + b;
}

// Step 2 of reading a name: "../x" is relative; "/Volumes/Disk/x" and a
// native path inside a mounted volume are written on that volume.
std::string rewrite(const std::string &src) {
    std::string in = src;
    if (in.size() > 2 && in[0] == '.' && in[1] == '.' && is_sep(in[2])) in = "./" + in;
    if (in.size() > 8 && is_sep(in[0]) && in.compare(1, 7, "Volumes") == 0 && is_sep(in[8])) {
        std::size_t start = 9, end = start;
        while (end < in.size() && !is_sep(in[end])) ++end;
        if (end > start) {
            std::string vol = in.substr(start, end - start);
            std::size_t after = end;
            while (after < in.size() && is_sep(in[after])) ++after;
            return vol + ":/" + resep(in.substr(after), in[0], '/');
        }
    }
    if (!in.empty() && in[0] == '/') {
        std::string vol, rest;
        std::string native = in;
        while (native.size() > 1 && native.back() == '/') native.pop_back();
        fsys::split_volume(native, vol, rest);
        if (vol != fsys::kBootVolumeName) return vol + ":/" + rest;
    }
    return in;
}

Name parse(const std::string &src, const Markers &m) {
    Name n;
    std::string in = rewrite(src);
    if (in.empty()) return n;
    char isep = input_separator(in);
    std::size_t pos = 0;
    if (in[0] == ':' ) {
        n.kind = Kind::Relative;
        pos = 1;
        isep = ':';
    } else if (in.size() >= 2 && in[0] == '.' && (in[1] == '/' || in[1] == '\\')) {
        n.kind = Kind::Relative;
        pos = 2;
        isep = in[1];
    } else if (in[0] == '/' || in[0] == '\\' || in[0] == '^') {
        n.kind = Kind::Boot;
        pos = 1;
        if (in[0] != '^') isep = in[0];
        if (pos < in.size() && is_sep(in[pos])) {
            if (in[0] == '^') isep = in[pos];
            ++pos;
        }
    } else if (in[0] == '~' && (in.size() == 1 || is_sep(in[1]))) {
        n.kind = Kind::Home;
        pos = in.size() == 1 ? 1 : 2;
        if (in.size() > 1) isep = in[1];
    } else {
        std::size_t end = 0;
        while (end < in.size() && !is_sep(in[end]) && end < KIVO_PATH_MAX - 1) ++end;
        std::string comp = in.substr(0, end);
        const Kind virtuals[] = {Kind::Support, Kind::Desktop, Kind::Temp, Kind::UserKivo};
        for (Kind k : virtuals)
            if (matches_virtual(comp, virtual_volume(k))) n.kind = k;
        if (n.kind == Kind::Empty) {
            if (end < in.size() && in[end] == ':') {
                n.kind = Kind::Absolute;
                n.vol = comp;
            } else {
                // No volume: a name relative to the application folder.
                n.kind = Kind::Relative;
                n.rest = resep(in, isep, m.sep);
                return n;
            }
        }
        pos = end;
        for (int i = 0; i < 2 && pos < in.size() && is_sep(in[pos]); ++i) {
            if (in[pos] != ':') isep = in[pos];
            ++pos;
        }
    }
    n.rest = resep(in.substr(pos), isep, m.sep);
    return n;
}

std::string render(const Name &n, const Markers &m) {
    switch (n.kind) {
    case Kind::Empty: return {};
    case Kind::Relative: return m.rel + n.rest;
    case Kind::Boot: return m.root + n.rest;
    case Kind::Home: return m.home + n.rest;
    case Kind::Absolute: return n.vol + m.volsuffix + n.rest;
    default: return std::string(virtual_volume(n.kind)) + m.volsuffix + n.rest;
    }
}

// The full name of a standard folder, as an absolute name in the target
// style; nullopt when the folder is missing.
std::optional<Name> folder_name(Kind k, const Markers &m) {
    short id = 0;
    switch (k) {
    case Kind::Relative: id = path_getapppath(); break;
    case Kind::Support: id = path_getsupportpath(); break;
    case Kind::Desktop: id = path_desktopfolder(); break;
    case Kind::Home: id = path_userfolder(); break;
    case Kind::Temp: id = path_tempfolder(); break;
    case Kind::UserKivo: id = path_userkivofolder(); break;
    default: return std::nullopt;
    }
    if (!id) return std::nullopt;
    char buf[KIVO_PATH_MAX];
    if (path_topotentialname(id, "", buf, 0) != 0) return std::nullopt;
    Name f = parse(buf, markers(PATH_STYLE_SLASH));
    if (f.kind != Kind::Absolute) return std::nullopt;
    f.rest = resep(f.rest, '/', m.sep);
    return f;
}

std::optional<Name> absolute(const Name &n, const Markers &m) {
    switch (n.kind) {
    case Kind::Empty:
    case Kind::Absolute: return n;
    case Kind::Boot: return Name{Kind::Absolute, fsys::kBootVolumeName, n.rest};
    default: {
        auto f = folder_name(n.kind, m);
        if (!f) return std::nullopt;
        f->rest = join(f->rest, n.rest, m.sep);
        return f;
    }
    }
}

bool same_text(const std::string &a, const std::string &b, bool caseless) {
    if (a.size() != b.size()) return false;
    if (!caseless) return a == b;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// The rest of a below folder f (whole components), or nullopt.
std::optional<std::string> inside(const Name &a, const Name &f, char sep, bool caseless) {
    if (!same_text(a.vol, f.vol, caseless)) return std::nullopt;
    std::string fr = f.rest;
    while (!fr.empty() && fr.back() == sep) fr.pop_back();
    if (fr.empty()) return a.rest;
    if (a.rest.size() < fr.size() || !same_text(a.rest.substr(0, fr.size()), fr, caseless)) return std::nullopt;
    if (a.rest.size() == fr.size()) return std::string();
    if (a.rest[fr.size()] != sep) return std::nullopt;
    return a.rest.substr(fr.size() + 1);
}

Kind kind_of_type(long type) {
    switch (type) {
    case PATH_TYPE_SUPPORT: return Kind::Support;
    case PATH_TYPE_DESKTOP: return Kind::Desktop;
    case PATH_TYPE_TILDE: return Kind::Home;
    case PATH_TYPE_TEMPFOLDER: return Kind::Temp;
    case PATH_TYPE_USERKIVO: return Kind::UserKivo;
    default: return Kind::Empty;
    }
}

std::optional<std::string> conform(const std::string &src, long style, long type) {
    Markers m = markers(style);
    Name n = parse(src, m);
    if (type == PATH_TYPE_PATH) type = PATH_TYPE_BOOT;
    Name out;
    switch (type) {
    case PATH_TYPE_ABSOLUTE: {
        auto a = absolute(n, m);
        if (!a) return std::nullopt;
        out = *a;
        break;
    }
    case PATH_TYPE_RELATIVE: {
        if (n.kind == Kind::Relative) {
            out = n;
            break;
        }
        if (is_virtual(n.kind)) return std::nullopt;
        auto a = absolute(n, m);
        auto app = folder_name(Kind::Relative, m);
        if (!a || !app) return std::nullopt;
        auto r = inside(*a, *app, m.sep, false);
        if (!r) return std::nullopt;
        out = Name{Kind::Relative, {}, *r};
        break;
    }
    case PATH_TYPE_BOOT: {
        if (n.kind == Kind::Boot) {
            out = n;
            break;
        }
        auto a = absolute(n, m);
        if (!a) return std::nullopt;
        if (a->kind == Kind::Empty) {
            out = *a;
        } else if (a->vol == fsys::kBootVolumeName) {
            out = Name{Kind::Boot, {}, a->rest};
        } else if (auto native = fsys::join_volume(a->vol, "")) {
            // A mounted volume: its mount folder is where it is seen from the root.
            out = Name{Kind::Boot, {}, join(resep(native->substr(1), '/', m.sep), a->rest, m.sep)};
        } else {
            out = Name{Kind::Boot, {}, join(std::string("Volumes") + m.sep + a->vol, a->rest, m.sep)};
        }
        break;
    }
    case PATH_TYPE_SUPPORT:
    case PATH_TYPE_DESKTOP:
    case PATH_TYPE_TILDE:
    case PATH_TYPE_TEMPFOLDER:
    case PATH_TYPE_USERKIVO: {
        Kind target = kind_of_type(type);
        if (n.kind == target) {
            out = n;
            break;
        }
        if (n.kind == Kind::Relative) return std::nullopt;
        if (is_virtual(n.kind) && type != PATH_TYPE_SUPPORT) return std::nullopt;
        auto a = absolute(n, m);
        auto f = folder_name(target, m);
        if (!a || !f) return std::nullopt;
        auto r = inside(*a, *f, m.sep, true);
        if (!r) return std::nullopt;
        out = Name{target, {}, *r};
        break;
    }
    default:
        out = n;
        break;
    }
    std::string s = render(out, m);
    if (s.size() >= KIVO_PATH_MAX) return std::nullopt;
    char buf[KIVO_PATH_MAX];
    std::memcpy(buf, s.c_str(), s.size() + 1);
    path_normalize(buf, m.sep);
    return std::string(buf);
}

bool put(char *dst, const std::string &s) {
    if (s.size() >= KIVO_PATH_MAX) {
        dst[0] = '\0';
        return false;
    }
    std::memcpy(dst, s.c_str(), s.size() + 1);
    return true;
}

} // namespace

extern "C" {

short path_nameconform(const char *src, char *dst, long style, long type) {
    if (!dst) return -1;
    if (!src || src == dst) {
        dst[0] = '\0';
        return -1;
    }
    if (src[0] == '/' && style == PATH_STYLE_NATIVE && type == PATH_TYPE_PATH)
        return put(dst, src) ? 0 : -1;
    if (type == PATH_TYPE_DB) // no file database here: its stored form is the name itself
        return put(dst, src) ? 0 : -1;
    auto r = conform(src, style, type);
    if (!r) {
        dst[0] = '\0';
        return -1;
    }
    return put(dst, *r) ? 0 : -1;
}

void path_normalize(char *name, char sep) {
    if (!name || !sep) return;
    std::string s(name);
    const std::string dd = std::string(1, sep) + ".." + sep, d = std::string(1, sep) + "." + sep;
    std::size_t last = s.rfind(sep);
    std::string lastcomp = last == std::string::npos ? s : s.substr(last + 1);
    if (s.find(dd) == std::string::npos && s.find(d) == std::string::npos && lastcomp != "." &&
        lastcomp != "..")
        return;
    std::vector<std::string> comps;
    std::size_t i = 0;
    while (i <= s.size()) {
        std::size_t j = s.find(sep, i);
        if (j == std::string::npos) j = s.size();
        comps.push_back(s.substr(i, j - i));
        i = j + 1;
    }
    // The first component carries the volume ("Disk:"), the relative
    // marker or "~"; a name that begins with the separator keeps it.
    std::string first = comps.front();
    bool relative = first == "." || first == "..";
    std::vector<std::string> kept;
    if (first == "..") {
        first = ".";
        kept.push_back("..");
    }
    std::size_t ups = kept.size(); // leading ".." of a relative name: nothing to remove
    for (std::size_t k = 1; k < comps.size(); ++k) {
        const std::string &c = comps[k];
        if (c.empty() || c == ".") continue;
        if (c == "..") {
            if (kept.size() > ups) kept.pop_back();
            else if (relative) {
                kept.push_back(c);
                ++ups;
            }
            // else: ".." above a volume's root stays at the root
            continue;
        }
        kept.push_back(c);
    }
    std::string out = first;
    for (const auto &c : kept) out += sep + c;
    if (kept.empty()) out += sep;
    std::memcpy(name, out.c_str(), out.size() + 1);
}

long path_getstyle(const char *name) {
    if (!name) return -1;
    for (const char *p = name; *p; ++p) {
        if (*p == '/') return 3;
        if (*p == ':') return p[1] == '/' ? 3 : p[1] == '\\' ? 4 : 2;
    }
    return -1;
}

char path_getseparator(const char *name) {
    if (!name) return 0;
    for (const char *p = name; *p; ++p) {
        if (*p == '/') return '/';
        if (*p == '\\') return '\\';
        if (*p == ':') return p[1] == '/' ? '/' : ':';
    }
    return 0;
}

long path_namehasseparators(const char *name, long *flag) {
    if (flag) *flag = 0;
    if (!name) return 0;
    if (name[0] == ':' || (name[0] == '.' && (name[1] == '/' || name[1] == '\\'))) {
        if (flag) *flag = 1;
        return 1;
    }
    for (const char *p = name; *p; ++p) {
        if (is_sep(*p)) {
            if (flag && (p == name || *p != '/')) *flag = 1;
            return 1;
        }
    }
    return 0;
}

long path_nameisrelative(const char *name, long *kind) {
    long k = 0;
    if (name && name[0] == ':') k = 1;
    else if (name && name[0] == '.' && (name[1] == '/' || name[1] == '\\')) k = 2;
    if (kind) *kind = k;
    return k ? 1 : 0;
}

void path_namefrompathname(const char *pathname, char *name) {
    if (!name) return;
    if (!pathname) {
        name[0] = '\0';
        return;
    }
    std::size_t n = std::strlen(pathname);
    const char *from = pathname;
    for (std::size_t i = n; i-- > 1;) {
        if (is_sep(pathname[i])) {
            from = pathname + i + 1;
            break;
        }
    }
    std::memmove(name, from, std::strlen(from) + 1);
}

void path_lastname(const char *pathname, char *name) {
    if (!name) return;
    std::string s = pathname ? pathname : "";
    while (!s.empty() && is_sep(s.back())) s.pop_back();
    std::size_t k = s.find_last_of("/:\\");
    std::string out = k == std::string::npos ? s : s.substr(k + 1);
    std::memcpy(name, out.c_str(), out.size() + 1);
}

long path_splitnames(const char *pathname, char *folder, char *name) {
    std::string s = pathname ? pathname : "";
    std::string f = s, n;
    for (std::size_t i = s.size(); i-- > 0;) {
        if (is_sep(s[i]) && i + 1 < s.size()) {
            f = s.substr(0, i);
            n = s.substr(i + 1);
            while (!n.empty() && is_sep(n.back())) n.pop_back();
            break;
        }
    }
    if (folder) std::memcpy(folder, f.c_str(), f.size() + 1);
    if (name) std::memcpy(name, n.c_str(), n.size() + 1);
    return static_cast<long>(n.empty() ? f.size() : n.size());
}

void path_concat(char *dst, const char *folder, const char *name, char sep) {
    if (!dst) return;
    std::string out = folder ? folder : "";
    if (!out.empty() && !is_sep(out.back())) out += sep;
    out += name ? name : "";
    if (out.size() >= KIVO_PATH_MAX) out.resize(KIVO_PATH_MAX - 1);
    std::memmove(dst, out.c_str(), out.size() + 1);
}

void path_finalseparator(char *name, long style) {
    if (!name) return;
    std::size_t n = std::strlen(name);
    if (n && is_sep(name[n - 1])) return;
    if (n + 1 >= KIVO_PATH_MAX) return;
    name[n] = style == PATH_STYLE_COLON ? ':' : style == PATH_STYLE_NATIVE_WIN ? '\\' : '/';
    name[n + 1] = '\0';
}

short path_toabsolutesystempath(short path, const char *name, char *out) {
    if (!out) return -1;
    out[0] = '\0';
    char canonical[KIVO_PATH_MAX];
    if (!name) name = "";
    // A full path name may name a volume that is not mounted: it still has
    // a native spelling (under /Volumes), as the entry need not exist.
    const char *c = std::strchr(name, ':');
    const char *sl = std::strchr(name, '/');
    bool full = name[0] == '/' || name[0] == '~' || (c && c != name && (!sl || c < sl));
    if (path == 0 && full) {
        if (path_nameconform(name, canonical, PATH_STYLE_SLASH, PATH_TYPE_ABSOLUTE) != 0) return -1;
    } else if (path_topotentialname(path, name, canonical, 0) != 0) {
        return -1;
    }
    const char *colon = std::strchr(canonical, ':');
    if (!colon) return put(out, canonical) ? 0 : -1;
    std::string vol(canonical, colon - canonical);
    std::string rest = colon + 1;
    if (!rest.empty() && rest[0] == '/') rest.erase(0, 1);
    auto native = fsys::join_volume(vol, rest);
    std::string r = native ? *native : "/Volumes/" + vol + (rest.empty() ? "" : "/" + rest);
    return put(out, r) ? 0 : -1;
}

short path_tourl(const char *name, char *url) {
    if (!url) return -1;
    url[0] = '\0';
    if (!name) return -1;
    std::string s = name, suffix;
    std::size_t cut = s.find('#');
    if (cut == std::string::npos) cut = s.find('?');
    if (cut != std::string::npos) {
        suffix = s.substr(cut);
        s.resize(cut);
    }
    if (s.size() >= KIVO_PATH_MAX) return -1;
    char found[KIVO_PATH_MAX];
    std::memcpy(found, s.c_str(), s.size() + 1);
    short id = 0;
    t_fourcc type = 0;
    if (locatefile_extended(found, &id, &type, nullptr, 0) != 0) return -1;
    char full[KIVO_PATH_MAX], boot[KIVO_PATH_MAX];
    if (path_topathname(id, found, full) != 0) return -1;
    if (path_nameconform(full, boot, PATH_STYLE_SLASH, PATH_TYPE_BOOT) != 0) return -1;
    std::string r = "file://";
    for (const char *p = boot; *p; ++p) {
        if (*p == ' ') r += "%20";
        else r += *p;
    }
    r += suffix;
    return put(url, r) ? 0 : -1;
}

} // extern "C"

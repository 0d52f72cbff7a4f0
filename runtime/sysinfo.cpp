/*
 * What the application knows about itself and the machine: its file name
 * and name, the operating-system version, and the resource string lists.
 *
 *   - Everything is read once (sysinfo_acquire, early in start-up, or at
 *     the first question) and only read afterwards, so any thread may ask.
 *   - The texts are UTF-8 in precomposed form and fit their buffers; a
 *     text that does not fit is cut at a character boundary.
 *   - The resource string table is read-only and nothing adds entries to
 *     it: every lookup misses.
 */
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "app/startup.h"
#include "kivo/charset.h"
#include "kivo/hashtab.h"
#include "kivo/symbol.h"
#include "kivo/sysinfo.h"
#include "kivo/sysmem.h"
#include "platform/process.h"
#include "runtime/process_internal.h"

namespace {

// Without a bundle description there is no executable entry to read the
// name from; this is the name the application then goes by.
constexpr const char *kDefaultAppName = "Kivo";

struct Info {
    long major = 0, minor = 0, patch = 0;
    char appfilename[512] = {};
    char appname[256] = {};
    char osversion[512] = {};
};

Info s_info;
std::once_flag s_acquire_once;
std::once_flag s_names_once;

t_hashtab *s_restable = nullptr;
std::once_flag s_res_once;

// Copies src into dst (cap bytes with the NUL), in precomposed form when
// it holds non-ASCII text, cut before a character that would not fit.
void copy_conformed(char *dst, size_t cap, const std::string &src) {
    std::string text = src;
    char *conformed = nullptr;
    if (kivostring_conform(src.c_str(), -1, &conformed, nullptr) == 1 && conformed) {
        text = conformed;
        sysmem_freeptr(conformed);
    }
    size_t n = text.size();
    if (n >= cap) {
        n = cap - 1;
        while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    }
    std::memcpy(dst, text.data(), n);
    dst[n] = '\0';
}

std::string self_executable() {
    return kivo::platform::process_exe_path(getpid());
}

void read_names() {
    const std::string exe = self_executable();
    const auto slash = exe.rfind('/');
    copy_conformed(s_info.appfilename, sizeof s_info.appfilename,
                   slash == std::string::npos ? exe : exe.substr(slash + 1));
    copy_conformed(s_info.appname, sizeof s_info.appname, kDefaultAppName);
}

void acquire() {
    const kivo::platform::OsVersion v = kivo::platform::os_version();
    s_info.major = v.major;
    s_info.minor = v.minor;
    s_info.patch = v.patch;
    const std::string text = sysinfo_formatosversion(v.major, v.minor, v.patch, v.machine.c_str(),
                                                     v.distribution.c_str());
    std::snprintf(s_info.osversion, sizeof s_info.osversion, "%s", text.c_str());
    sysinfo_copyappname();
}

} // namespace

const char *sysinfo_appfilename() {
    sysinfo_acquire();
    return s_info.appfilename;
}

std::string sysinfo_formatosversion(long major, long minor, long patch, const char *machine,
                                    const char *distribution) {
    char buf[512];
    std::snprintf(buf, sizeof buf, "Linux Version %ld.%ld.%ld %s", major, minor, patch,
                  machine ? machine : "");
    std::string text = buf;
    if (distribution && *distribution) text += std::string(" ") + distribution;
    return text;
}

extern "C" {

void sysinfo_acquire(void) {
    std::call_once(s_acquire_once, acquire);
}

void sysinfo_copyappname(void) {
    std::call_once(s_names_once, read_names);
}

void sysinfo_getappname(void) {
    sysinfo_acquire();
    // The symbol's datum is the text itself, as the readers of the name expect.
    gensym("__#appname#__")->thing = reinterpret_cast<t_object *>(s_info.appname);
}

const char *sysinfo_appname(void) {
    sysinfo_acquire();
    return s_info.appname;
}

const char *sysinfo_getosversionstring(void) {
    sysinfo_acquire();
    return s_info.osversion;
}

void sysinfo_getosversion(long *major, long *minor, long *bugfix) {
    sysinfo_acquire();
    if (major) *major = s_info.major;
    if (minor) *minor = s_info.minor;
    if (bugfix) *bugfix = s_info.patch;
}

void sysres_init(void) {
    std::call_once(s_res_once, [] {
        s_restable = hashtab_new(0);
        if (s_restable) hashtab_readonly(s_restable, 1);
    });
}

t_kivo_err sysres_getstring(t_symbol *resname, long, char *str) {
    sysres_init();
    if (str) str[0] = '\0';
    t_object *list = nullptr;
    if (!s_restable || !resname || hashtab_lookup(s_restable, resname, &list) != KIVO_ERR_NONE)
        return KIVO_ERR_GENERIC;
    // Nothing stores lists in the table, so a hit cannot happen; were one
    // to, its form would be defined with whatever stores it.
    return KIVO_ERR_GENERIC;
}

} // extern "C"

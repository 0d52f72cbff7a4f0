/*
 * Open files: platform files, regions of files, memory; text files; and the
 * buffered "toolfile" object of the binary document reader and writer.
 *
 * Invariants:
 * - A handle is exactly one of: a platform file (fd >= 0), a record with no
 *   file (SYSFILE_NOFILE, fd < 0), or memory (mem or block set, fd < 0).
 * - Memory positions and lengths stay within [0, length]; length never
 *   exceeds the memory's capacity.
 * - A file opened by path_createsysfile is a temporary file beside its
 *   target that starts as a copy of the target (so the caller sees the old
 *   contents, as an in-place open would show them). sysfile_close renames
 *   it over the target only when every write succeeded; otherwise it is
 *   removed and the target is left as it was. Nothing here truncates an
 *   existing target in place.
 * - Reads never go past what the file, the region or the memory holds.
 *
 * Toolfile states:  file ──toolfile_burp──▶ memory ──toolfile_freedata──▶ empty
 *   file:   reads are buffered from the handle (or writes buffered to it)
 *   memory: the rest of the file was read into `mem`; the handle is closed
 *   empty:  every read is the end of the file
 * A toolfile made from a handle reads the caller's handle and owns nothing.
 */
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "files/files_internal.h"
#include "files/sysfile_internal.h"
#include "kivo/charset.h"
#include "kivo/class.h"
#include "kivo/dispatch.h"
#include "kivo/files.h"
#include "kivo/legacy.h"
#include "kivo/path.h"
#include "kivo/post.h"
#include "kivo/sysmem.h"

struct sysfile {
    int fd = -1;
    long flags = 0;
    uint64_t start = 0;  // region: offset in the file; memory: offset into the data
    uint64_t length = 0; // region: its length; memory: the logical size
    uint64_t pos = 0;    // memory: the position (files keep theirs in the platform)
    t_handle mem = nullptr; // memory handle (ownership per flags)
    char *block = nullptr;  // plain memory block (ownership per flags)
    uint64_t blocksize = 0;
    t_object *owner = nullptr; // borrowed: told "fclose"
    short forkref = 0;          // SYSFILE_NOFILE: the collective volume
    std::string native;         // the file's native path (platform files)
    std::string target;         // writing through a temporary file: the final name
    std::string temp;           // ... and the temporary name; empty otherwise
    bool failed = false;        // a write failed: the target must not be replaced
};

namespace {

constexpr t_ptr_size kMaxPlatformMove = 4294967295ULL; // one platform call at most
constexpr std::size_t kChunk = 1 << 16;

void set_errno_error() {
    g_kivo_file_error = static_cast<short>(errno ? errno : EIO);
}

t_kivo_err fail() {
    set_errno_error();
    return KIVO_ERR_GENERIC;
}

bool is_memory(const sysfile *f) {
    return f->mem || f->block;
}

char *mem_data(const sysfile *f) {
    if (f->block) return f->block + f->start;
    return (f->mem && *f->mem) ? *f->mem + f->start : nullptr;
}

uint64_t mem_capacity(const sysfile *f) {
    if (f->block) return f->blocksize > f->start ? f->blocksize - f->start : 0;
    uint64_t size = f->mem ? sysmem_handlesize(f->mem) : 0;
    return size > f->start ? size - f->start : 0;
}

// Opens a fresh temporary file beside full; -1 when none could be made.
int open_temp(const std::string &full, std::string &temp) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[64];
        std::snprintf(suffix, sizeof suffix, ".kivotmp-%ld-%u", static_cast<long>(getpid()),
                      counter.fetch_add(1));
        // beside the target but not after its name, which may already be
        // as long as a name can be
        temp = full.substr(0, full.rfind('/') + 1) + suffix;
        if (temp.size() >= KIVO_PATH_MAX) {
            errno = ENAMETOOLONG;
            return -1;
        }
        int fd = open(temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) return fd;
        if (errno != EEXIST) return -1;
    }
    return -1;
}

bool write_all(int fd, const char *p, t_ptr_size n, t_ptr_size *done) {
    t_ptr_size total = 0;
    while (total < n) {
        ssize_t w = write(fd, p + total, std::min<t_ptr_size>(n - total, 1u << 30));
        if (w < 0) {
            if (errno == EINTR) continue;
            *done = total;
            return false;
        }
        total += static_cast<t_ptr_size>(w);
    }
    *done = total;
    return true;
}

bool read_all(int fd, char *p, t_ptr_size n, t_ptr_size *done) {
    t_ptr_size total = 0;
    while (total < n) {
        ssize_t r = read(fd, p + total, std::min<t_ptr_size>(n - total, 1u << 30));
        if (r < 0) {
            if (errno == EINTR) continue;
            *done = total;
            return false;
        }
        if (r == 0) break;
        total += static_cast<t_ptr_size>(r);
    }
    *done = total;
    return true;
}

// Copies the file at from into the open descriptor to (both at offset 0).
bool copy_into(const std::string &from, int to) {
    int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return errno == ENOENT;
    std::vector<char> buf(kChunk);
    bool ok = true;
    for (;;) {
        t_ptr_size n = 0;
        if (!read_all(in, buf.data(), buf.size(), &n)) {
            ok = false;
            break;
        }
        if (n == 0) break;
        t_ptr_size w = 0;
        if (!write_all(to, buf.data(), n, &w)) {
            ok = false;
            break;
        }
    }
    int e = errno;
    close(in);
    errno = e;
    if (ok) lseek(to, 0, SEEK_SET);
    return ok;
}

/* ---- the remembered file being replaced (path_setexistingfile) */

std::mutex g_existing_lock;
std::string g_existing_native;

const char *break_text(long flags, const char *none) {
    if (flags & TEXT_LB_UNIX) return "\n";
    if (flags & TEXT_LB_MAC) return "\r";
    if (flags & TEXT_LB_PC) return "\r\n";
    if (flags & TEXT_LB_NATIVE) return "\n";
    return none;
}

// Every CR LF, other CR and other LF becomes eol; the output is appended.
void convert_breaks(const char *p, std::size_t n, const char *eol, std::string &out) {
    const std::size_t eollen = std::strlen(eol);
    out.reserve(out.size() + n + (eollen > 1 ? n / 16 + 32 : 0));
    std::size_t i = 0;
    if (eollen == 1 && eol[0] == '\n') {
        // the common case: only CRs need work
        while (i < n) {
            const void *cr = std::memchr(p + i, '\r', n - i);
            std::size_t j = cr ? static_cast<std::size_t>(static_cast<const char *>(cr) - p) : n;
            out.append(p + i, j - i);
            if (j == n) break;
            out += '\n';
            i = j + 1;
            if (i < n && p[i] == '\n') ++i;
        }
        return;
    }
    std::size_t run = 0; // start of the bytes not yet copied
    for (; i < n; ++i) {
        char c = p[i];
        if (c != '\r' && c != '\n') continue;
        out.append(p + run, i - run);
        out.append(eol, eollen);
        if (c == '\r' && i + 1 < n && p[i + 1] == '\n') ++i;
        run = i + 1;
    }
    out.append(p + run, n - run);
}

// Mac Roman to UTF-8 by a table built once from the charset layer, so that
// large files convert at memory speed with the layer's own mapping.
struct MacRomanTable {
    char bytes[128][4];
    unsigned char len[128];
    bool ok = false;
};

const MacRomanTable &macroman_table() {
    static MacRomanTable table = [] {
        MacRomanTable t{};
        t.ok = true;
        for (int c = 0x80; c < 0x100; ++c) {
            char in[1] = {static_cast<char>(c)};
            long outbytes = 0;
            char *out = charset_macromantoutf8(in, 1, &outbytes);
            if (out && outbytes > 0 && out[outbytes - 1] == '\0') --outbytes;
            if (!out || outbytes <= 0 || outbytes > 4) {
                t.ok = false;
            } else {
                std::memcpy(t.bytes[c - 0x80], out, static_cast<std::size_t>(outbytes));
                t.len[c - 0x80] = static_cast<unsigned char>(outbytes);
            }
            if (out) sysmem_freeptr(out);
        }
        return t;
    }();
    return table;
}

// A decoded text: a block of exactly len bytes.
struct Text {
    std::unique_ptr<char[]> data;
    std::size_t len = 0;
};

bool macroman_to_utf8(const char *p, std::size_t n, Text &out) {
    const MacRomanTable &t = macroman_table();
    if (!t.ok) return false;
    std::size_t size = n;
    for (std::size_t i = 0; i < n; ++i) {
        auto c = static_cast<unsigned char>(p[i]);
        if (c >= 0x80) size += t.len[c - 0x80] - 1u;
    }
    out.data.reset(new (std::nothrow) char[size ? size : 1]);
    if (!out.data) return false;
    char *w = out.data.get();
    std::size_t run = 0;
    for (std::size_t i = 0; i < n; ++i) {
        auto c = static_cast<unsigned char>(p[i]);
        if (c < 0x80) continue;
        std::memcpy(w, p + run, i - run);
        w += i - run;
        std::memcpy(w, t.bytes[c - 0x80], t.len[c - 0x80]);
        w += t.len[c - 0x80];
        run = i + 1;
    }
    std::memcpy(w, p + run, n - run);
    out.len = size;
    return true;
}

// UTF-16 to UTF-8 without the converter library, which is several times
// slower on large files. Fails, as the converter does, on a lone surrogate
// or a cut-off unit.
template <bool Big>
bool utf16_to_utf8_as(const char *p, std::size_t n, Text &out) {
    if (n % 2) return false;
    auto in = reinterpret_cast<const unsigned char *>(p);
    auto unit = [in](std::size_t i) -> uint32_t {
        return Big ? (uint32_t{in[i]} << 8) | in[i + 1] : (uint32_t{in[i + 1]} << 8) | in[i];
    };
    // The exact size first: a buffer for the worst case (three bytes a unit)
    // would be touched page by page for nothing, and that costs more than
    // this pass.
    std::size_t size = 0;
    for (std::size_t i = 0; i < n; i += 2) {
        const uint32_t u = unit(i);
        size += u < 0x80 ? 1 : u < 0x800 ? 2 : (u >= 0xD800 && u < 0xE000) ? 2 : 3;
    }
    out.data.reset(new (std::nothrow) char[size + 1]);
    if (!out.data) return false;
    // Four units at a time while they are all ASCII: most text is.
    constexpr uint64_t kNotAscii = Big ? 0x80FF80FF80FF80FFull : 0xFF80FF80FF80FF80ull;
    char *w = out.data.get();
    std::size_t i = 0;
    while (i < n) {
        while (i + 8 <= n) {
            uint64_t four;
            std::memcpy(&four, in + i, 8);
            if (four & kNotAscii) break;
            const std::size_t lo = Big ? 1 : 0;
            w[0] = static_cast<char>(in[i + lo]);
            w[1] = static_cast<char>(in[i + 2 + lo]);
            w[2] = static_cast<char>(in[i + 4 + lo]);
            w[3] = static_cast<char>(in[i + 6 + lo]);
            w += 4;
            i += 8;
        }
        if (i >= n) break;
        uint32_t cp = unit(i);
        i += 2;
        if (cp < 0x80) {
            *w++ = static_cast<char>(cp);
            continue;
        }
        if (cp >= 0xD800 && cp < 0xE000) {
            if (cp >= 0xDC00 || i + 1 >= n) return false;
            uint32_t lo = unit(i);
            if (lo < 0xDC00 || lo >= 0xE000) return false;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
            i += 2;
        }
        if (cp < 0x800) {
            *w++ = static_cast<char>(0xC0 | (cp >> 6));
        } else if (cp < 0x10000) {
            *w++ = static_cast<char>(0xE0 | (cp >> 12));
            *w++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        } else {
            *w++ = static_cast<char>(0xF0 | (cp >> 18));
            *w++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            *w++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        }
        *w++ = static_cast<char>(0x80 | (cp & 0x3F));
    }
    out.len = static_cast<std::size_t>(w - out.data.get());
    return true;
}

bool utf16_to_utf8(const char *p, std::size_t n, bool big, Text &out) {
    return big ? utf16_to_utf8_as<true>(p, n, out) : utf16_to_utf8_as<false>(p, n, out);
}

// Converts to UTF-8; false when the encoding cannot be converted.
bool to_utf8(t_symbol *enc, const char *p, std::size_t n, Text &out) {
    if (!std::strcmp(enc->name, "macroman")) return macroman_to_utf8(p, n, out);
    if (!std::strcmp(enc->name, "utf-16le")) return utf16_to_utf8(p, n, false, out);
    if (!std::strcmp(enc->name, "utf-16be") || !std::strcmp(enc->name, "utf-16"))
        return utf16_to_utf8(p, n, true, out);
    if (n == 0) {
        out.data.reset(new char[1]);
        out.len = 0;
        return true;
    }
    t_charset_converter *c = charset_converter_new(enc, gensym("utf-8"));
    if (!c) return false;
    char *conv = nullptr;
    long outbytes = 0;
    t_kivo_err err = charset_converter_convert(c, p, static_cast<long>(n), &conv, &outbytes);
    object_free(c);
    if (err || !conv) return false;
    out.data.reset(new (std::nothrow) char[outbytes > 0 ? outbytes : 1]);
    if (!out.data) {
        sysmem_freeptr(conv);
        return false;
    }
    std::memcpy(out.data.get(), conv, static_cast<std::size_t>(outbytes));
    out.len = static_cast<std::size_t>(outbytes);
    sysmem_freeptr(conv);
    return true;
}

// Every CR LF, other CR and other LF becomes the one-byte eol, in place;
// the new length.
std::size_t breaks_inplace(char *p, std::size_t n, char eol) {
    std::size_t w = 0, i = 0;
    if (eol == '\n') {
        // only CRs need work: move the runs between them down
        while (i < n) {
            void *cr = std::memchr(p + i, '\r', n - i);
            std::size_t j = cr ? static_cast<std::size_t>(static_cast<char *>(cr) - p) : n;
            if (w != i) std::memmove(p + w, p + i, j - i);
            w += j - i;
            if (j == n) break;
            p[w++] = '\n';
            i = j + 1;
            if (i < n && p[i] == '\n') ++i;
        }
        return w;
    }
    for (; i < n; ++i) {
        char c = p[i];
        if (c == '\r') {
            p[w++] = eol;
            if (i + 1 < n && p[i + 1] == '\n') ++i;
        } else {
            p[w++] = c == '\n' ? eol : c;
        }
    }
    return w;
}

// A platform file handle over fd; null (fd closed) when out of memory.
sysfile *new_file(int fd, const std::string &native) {
    auto *f = new (std::nothrow) sysfile;
    if (!f) {
        close(fd);
        g_kivo_file_error = ENOMEM;
        return nullptr;
    }
    f->fd = fd;
    f->native = native;
    return f;
}

} // namespace

bool sysfile_native(t_filehandle fh, std::string &out) {
    if (!fh || fh->fd < 0) return false;
    out = fh->target.empty() ? fh->native : fh->target;
    return true;
}

t_filehandle sysfile_nofile(short forkref) {
    auto *f = new (std::nothrow) sysfile;
    if (!f) return nullptr;
    f->flags = SYSFILE_NOFILE;
    f->forkref = forkref;
    return f;
}

void sysfile_setexisting_native(const char *native) {
    std::lock_guard lk(g_existing_lock);
    g_existing_native = native ? native : "";
}

extern "C" {

short path_opensysfile(const char *name, short path, t_filehandle *fh, short perm) {
    if (!fh) return -1;
    *fh = nullptr;
    std::string full;
    if (!name || !name[0] || !files_nativepath(path, name, full)) return -1;
    int mode = perm == PATH_WRITE_PERM ? O_WRONLY : perm == PATH_RW_PERM ? O_RDWR : O_RDONLY;
    int fd = open(full.c_str(), mode | O_CLOEXEC);
    if (fd < 0 && perm == 0 && (errno == EACCES || errno == EROFS)) fd = open(full.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return static_cast<short>(fail());
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        errno = EISDIR;
        set_errno_error();
        close(fd);
        return -1;
    }
    *fh = new_file(fd, full);
    return *fh ? 0 : -1;
}

short path_createsysfile(const char *name, short path, t_fourcc type, t_filehandle *fh) {
    (void)type; // a type is not stored beside the bytes on this platform
    if (!fh) return -1;
    *fh = nullptr;
    std::string full;
    if (!name || !name[0] || !files_nativepath(path, name, full)) return -1;
    // A link is replaced through: its target gets the new contents.
    char resolved[PATH_MAX];
    struct stat lst;
    if (lstat(full.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode) && realpath(full.c_str(), resolved))
        full = resolved;
    struct stat st;
    bool exists = stat(full.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) {
        errno = EISDIR;
        set_errno_error();
        return -1;
    }
    std::string temp;
    int fd = open_temp(full, temp);
    if (fd < 0) return static_cast<short>(fail());
    if (exists) {
        if (!copy_into(full, fd)) {
            set_errno_error();
            close(fd);
            unlink(temp.c_str());
            return -1;
        }
        fchmod(fd, st.st_mode & 07777);
    } else {
        std::string existing;
        {
            std::lock_guard lk(g_existing_lock);
            existing = g_existing_native;
        }
        struct stat est;
        if (!existing.empty() && stat(existing.c_str(), &est) == 0) fchmod(fd, est.st_mode & 07777);
    }
    sysfile *f = new_file(fd, full);
    if (!f) {
        unlink(temp.c_str());
        return -1;
    }
    f->target = full;
    f->temp = temp;
    *fh = f;
    return 0;
}

t_kivo_err sysfile_openhandle(t_handle h, long flags, t_filehandle *fh) {
    if (!fh) return KIVO_ERR_GENERIC;
    *fh = nullptr;
    if (!h) return KIVO_ERR_GENERIC;
    auto *f = new (std::nothrow) sysfile;
    if (!f) return KIVO_ERR_GENERIC;
    f->flags = flags | SYSFILE_CALLERMEM;
    f->mem = h;
    f->length = sysmem_handlesize(h);
    *fh = f;
    return KIVO_ERR_NONE;
}

t_kivo_err sysfile_openptrsize(char *block, t_ptr_size size, long flags, t_filehandle *fh) {
    if (!fh) return KIVO_ERR_GENERIC;
    *fh = nullptr;
    if (!block || (flags & SYSFILE_GROWABLE)) return KIVO_ERR_GENERIC;
    auto *f = new (std::nothrow) sysfile;
    if (!f) return KIVO_ERR_GENERIC;
    f->flags = flags | SYSFILE_PTRMEM;
    f->block = block;
    f->blocksize = size;
    f->length = size;
    *fh = f;
    return KIVO_ERR_NONE;
}

t_kivo_err sysfile_setobject(t_filehandle fh, t_object *owner) {
    if (!fh) return KIVO_ERR_GENERIC;
    fh->owner = owner;
    return KIVO_ERR_NONE;
}

long sysfile_getflags(t_filehandle fh) {
    return fh ? fh->flags : 0;
}

t_kivo_err sysfile_subfile(t_filehandle fh, t_ptr_size start, t_ptr_size length) {
    if (!fh || fh->fd < 0) return KIVO_ERR_GENERIC;
    fh->flags |= SYSFILE_REGION;
    fh->start = start;
    fh->length = length;
    if (lseek(fh->fd, static_cast<off_t>(start), SEEK_SET) < 0) return fail();
    return KIVO_ERR_NONE;
}

t_kivo_err sysfile_close(t_filehandle fh) {
    if (!fh) return KIVO_ERR_INVALID_PTR;
    t_kivo_err r = KIVO_ERR_NONE;
    if (is_memory(fh)) {
        if (!(fh->flags & SYSFILE_LEAVEMEM)) {
            if ((fh->flags & SYSFILE_GROWABLE) && fh->mem) sysmem_resizehandle(fh->mem, fh->start + fh->length);
            bool callers = (fh->flags & SYSFILE_CALLERMEM) && !(fh->flags & SYSFILE_FREEMEM);
            if (!callers) {
                if (fh->block) sysmem_freeptr(fh->block);
                else sysmem_freehandle(fh->mem);
            }
        }
    } else if (fh->fd >= 0) {
        if (!fh->temp.empty() && !fh->failed && fsync(fh->fd) != 0) {
            set_errno_error();
            fh->failed = true;
        }
        if (close(fh->fd) != 0) {
            set_errno_error();
            if (!fh->temp.empty()) fh->failed = true;
            else r = KIVO_ERR_GENERIC;
        }
        if (!fh->temp.empty()) {
            if (fh->failed) {
                unlink(fh->temp.c_str());
                r = KIVO_ERR_GENERIC;
            } else if (std::rename(fh->temp.c_str(), fh->target.c_str()) != 0) {
                set_errno_error();
                unlink(fh->temp.c_str());
                r = KIVO_ERR_GENERIC;
            }
        }
    }
    if (fh->owner) object_method(fh->owner, gensym("fclose"));
    delete fh;
    return r;
}

t_kivo_err sysfile_read(t_filehandle fh, t_ptr_size *count, void *buf) {
    if (!fh || !count || (!buf && *count)) return KIVO_ERR_INVALID_PTR;
    t_ptr_size want = *count;
    if (is_memory(fh)) {
        t_ptr_size n = fh->pos < fh->length ? std::min<t_ptr_size>(want, fh->length - fh->pos) : 0;
        const char *data = mem_data(fh);
        if (n && data) std::memcpy(buf, data + fh->pos, n);
        else n = 0;
        fh->pos += n;
        *count = n;
        return KIVO_ERR_NONE;
    }
    if (fh->fd < 0) {
        *count = 0;
        return KIVO_ERR_GENERIC;
    }
    if (want > kMaxPlatformMove) want = kMaxPlatformMove;
    if (fh->flags & SYSFILE_REGION) {
        off_t p = lseek(fh->fd, 0, SEEK_CUR);
        uint64_t end = fh->start + fh->length;
        if (p < 0) {
            *count = 0;
            return fail();
        }
        if (static_cast<uint64_t>(p) >= end) {
            *count = 0;
            return SYSFILE_EOF;
        }
        want = std::min<t_ptr_size>(want, end - static_cast<uint64_t>(p));
    }
    t_ptr_size got = 0;
    if (!read_all(fh->fd, static_cast<char *>(buf), want, &got)) {
        *count = got;
        return fail();
    }
    *count = got;
    return got < want ? SYSFILE_EOF : KIVO_ERR_NONE;
}

t_kivo_err sysfile_readnocache(t_filehandle fh, t_ptr_size *count, void *buf) {
    off_t from = fh && fh->fd >= 0 ? lseek(fh->fd, 0, SEEK_CUR) : -1;
    t_kivo_err r = sysfile_read(fh, count, buf);
    if (from >= 0 && count && *count)
        posix_fadvise(fh->fd, from, static_cast<off_t>(*count), POSIX_FADV_DONTNEED);
    return r;
}

t_kivo_err sysfile_write(t_filehandle fh, t_ptr_size *count, const void *buf) {
    if (!fh || !count || (!buf && *count)) return KIVO_ERR_INVALID_PTR;
    t_ptr_size n = *count;
    if (is_memory(fh)) {
        if (!(fh->flags & SYSFILE_WRITABLE)) {
            *count = 0;
            return KIVO_ERR_GENERIC;
        }
        if (fh->flags & SYSFILE_GROWABLE) {
            if (fh->pos + n > fh->length) {
                uint64_t newlen = fh->pos + n;
                if (mem_capacity(fh) < newlen) {
                    if (!fh->mem || sysmem_resizehandle(fh->mem, fh->start + 2 * newlen)) {
                        *count = 0;
                        return KIVO_ERR_GENERIC;
                    }
                }
                fh->length = newlen;
            }
        } else {
            n = fh->pos < fh->length ? std::min<t_ptr_size>(n, fh->length - fh->pos) : 0;
        }
        char *data = mem_data(fh);
        if (n && data) std::memcpy(data + fh->pos, buf, n);
        else n = 0;
        fh->pos += n;
        *count = n;
        return KIVO_ERR_NONE;
    }
    if (fh->fd < 0 || (fh->flags & SYSFILE_REGION)) {
        *count = 0;
        return KIVO_ERR_GENERIC;
    }
    if (n > kMaxPlatformMove) n = kMaxPlatformMove;
    t_ptr_size done = 0;
    bool ok = write_all(fh->fd, static_cast<const char *>(buf), n, &done);
    *count = done;
    if (!ok) {
        fh->failed = true;
        return fail();
    }
    return KIVO_ERR_NONE;
}

t_kivo_err sysfile_writenocache(t_filehandle fh, t_ptr_size *count, const void *buf) {
    return sysfile_write(fh, count, buf);
}

t_kivo_err sysfile_geteof(t_filehandle fh, t_ptr_size *size) {
    if (!fh || !size) return KIVO_ERR_INVALID_PTR;
    if (is_memory(fh) || (fh->flags & SYSFILE_REGION)) {
        *size = fh->length;
        return KIVO_ERR_NONE;
    }
    struct stat st;
    if (fh->fd < 0 || fstat(fh->fd, &st) != 0) return fail();
    *size = static_cast<t_ptr_size>(st.st_size);
    return KIVO_ERR_NONE;
}

t_kivo_err sysfile_seteof(t_filehandle fh, t_ptr_size size) {
    if (!fh) return KIVO_ERR_INVALID_PTR;
    if (is_memory(fh)) {
        if (mem_capacity(fh) < size) return KIVO_ERR_GENERIC;
        fh->length = size;
        if (fh->pos > size) fh->pos = size;
        return KIVO_ERR_NONE;
    }
    if (fh->fd < 0 || (fh->flags & SYSFILE_REGION)) return KIVO_ERR_GENERIC;
    if (ftruncate(fh->fd, static_cast<off_t>(size)) != 0) {
        fh->failed = true;
        return fail();
    }
    return KIVO_ERR_NONE;
}

t_kivo_err sysfile_getpos(t_filehandle fh, t_ptr_size *pos) {
    if (!fh || !pos) return KIVO_ERR_INVALID_PTR;
    if (is_memory(fh)) {
        *pos = fh->pos;
        return KIVO_ERR_NONE;
    }
    off_t p = fh->fd >= 0 ? lseek(fh->fd, 0, SEEK_CUR) : -1;
    if (p < 0) return fail();
    uint64_t at = static_cast<uint64_t>(p);
    if (fh->flags & SYSFILE_REGION) at = at > fh->start ? at - fh->start : 0;
    *pos = at;
    return KIVO_ERR_NONE;
}

t_kivo_err sysfile_setpos(t_filehandle fh, t_sysfile_pos_mode mode, t_ptr_int offset) {
    if (!fh) return KIVO_ERR_INVALID_PTR;
    if (mode == SYSFILE_ATMARK) return KIVO_ERR_NONE;
    const bool region = fh->flags & SYSFILE_REGION;
    if (is_memory(fh) || region) {
        auto len = static_cast<int64_t>(fh->length);
        int64_t cur = 0;
        if (is_memory(fh)) {
            cur = static_cast<int64_t>(fh->pos);
        } else {
            t_ptr_size p = 0;
            if (sysfile_getpos(fh, &p)) return KIVO_ERR_GENERIC;
            cur = static_cast<int64_t>(p);
        }
        int64_t to;
        switch (mode) {
        case SYSFILE_FROMSTART: to = std::clamp<int64_t>(offset, 0, len); break;
        case SYSFILE_FROMLEOF: to = offset < 0 ? std::max<int64_t>(len + offset, 0) : len; break;
        case SYSFILE_FROMMARK: to = std::clamp<int64_t>(cur + offset, 0, len); break;
        default: return KIVO_ERR_NONE;
        }
        if (is_memory(fh)) {
            fh->pos = static_cast<uint64_t>(to);
            return KIVO_ERR_NONE;
        }
        if (lseek(fh->fd, static_cast<off_t>(fh->start + static_cast<uint64_t>(to)), SEEK_SET) < 0) return fail();
        return KIVO_ERR_NONE;
    }
    if (fh->fd < 0) return KIVO_ERR_GENERIC;
    int whence = mode == SYSFILE_FROMLEOF ? SEEK_END : mode == SYSFILE_FROMMARK ? SEEK_CUR : SEEK_SET;
    if (lseek(fh->fd, static_cast<off_t>(offset), whence) < 0) return fail();
    return KIVO_ERR_NONE;
}

/*
 * How reading text works: the bytes from the current position are read in
 * large blocks, the encoding is judged on the raw bytes and converted to
 * UTF-8 (a byte-order mark dropped), and only then are line breaks made
 * uniform. Decoding first matters: in UTF-16 a break is two bytes whose
 * halves are 0x0D or 0x0A next to zeros, and converting breaks on the raw
 * bytes would double them or split characters.
 */
t_kivo_err sysfile_readtextfile(t_filehandle fh, t_handle htext, t_ptr_size size, long flags) {
    if (!fh || !htext) return KIVO_ERR_NONE;
    const t_ptr_size nul = (flags & TEXT_NULL_TERMINATE) ? 1 : 0;
    t_ptr_size eof = 0, pos = 0;
    if (sysfile_geteof(fh, &eof)) eof = 0;
    if (sysfile_getpos(fh, &pos)) pos = 0;
    t_ptr_size amount = eof > pos ? eof - pos : 0;
    if (size && size < amount) amount = size;

    // The raw bytes go straight into the handle: UTF-8 text with LF or CR
    // breaks is then finished in place, without a second buffer.
    if (sysmem_resizehandle(htext, amount + nul) || (amount + nul && !*htext)) {
        g_kivo_file_error = ENOMEM;
        return KIVO_ERR_GENERIC;
    }
    t_ptr_size got = 0;
    while (got < amount) {
        t_ptr_size n = std::min<t_ptr_size>(amount - got, 1u << 24);
        t_kivo_err e = sysfile_read(fh, &n, *htext + got);
        got += n;
        if (n == 0 || (e && e != SYSFILE_EOF)) break;
    }
    auto finish = [&](std::size_t len) {
        if (sysmem_resizehandle(htext, len + nul)) return false;
        if (nul) (*htext)[len] = '\0';
        return true;
    };
    std::size_t len = static_cast<std::size_t>(got);
    const char *eol = break_text(flags, nullptr);

    if (!(flags & TEXT_ENCODING_USE_FILE) && len > 0) {
        t_symbol *enc = charset_whichencoding(*htext, static_cast<long>(len), nullptr);
        if (!enc || !std::strcmp(enc->name, "binary")) {
            finish(len);
            return KIVO_ERR_GENERIC;
        }
        if (!std::strcmp(enc->name, "utf-8")) {
            if (len >= 3 && !std::memcmp(*htext, "\xEF\xBB\xBF", 3)) {
                std::memmove(*htext, *htext + 3, len - 3);
                len -= 3;
            }
        } else if (!std::strcmp(enc->name, "macroman") && macroman_table().ok) {
            // every byte decodes to one or more bytes, so decoding from the
            // back cannot overtake the bytes still to be read
            const MacRomanTable &t = macroman_table();
            std::size_t out = len;
            std::vector<std::size_t> high; // where the bytes from 0x80 up are
            for (std::size_t i = 0; i < len; ++i) {
                auto c = static_cast<unsigned char>((*htext)[i]);
                if (c >= 0x80) {
                    out += t.len[c - 0x80] - 1u;
                    high.push_back(i);
                }
            }
            if (sysmem_resizehandle(htext, out + nul) || !*htext) {
                g_kivo_file_error = ENOMEM;
                return KIVO_ERR_GENERIC;
            }
            char *q = *htext;
            std::size_t r = len, w = out; // bytes [0, r) still to decode into [0, w)
            for (auto it = high.rbegin(); it != high.rend(); ++it) {
                std::size_t run = r - (*it + 1);
                w -= run;
                std::memmove(q + w, q + *it + 1, run);
                auto c = static_cast<unsigned char>(q[*it]);
                w -= t.len[c - 0x80];
                std::memcpy(q + w, t.bytes[c - 0x80], t.len[c - 0x80]);
                r = *it;
            }
            len = out;
        } else {
            Text text;
            if (!to_utf8(enc, *htext, len, text)) return KIVO_ERR_GENERIC;
            char *d = text.data.get();
            std::size_t dlen = text.len;
            if (dlen >= 3 && !std::memcmp(d, "\xEF\xBB\xBF", 3)) {
                d += 3;
                dlen -= 3;
            }
            if (eol && !eol[1]) {
                dlen = breaks_inplace(d, dlen, eol[0]);
                eol = nullptr;
            }
            if (sysmem_resizehandle(htext, dlen + nul) || (dlen + nul && !*htext)) {
                g_kivo_file_error = ENOMEM;
                return KIVO_ERR_GENERIC;
            }
            if (dlen) std::memcpy(*htext, d, dlen);
            len = dlen;
        }
    }
    if (eol && !eol[1]) {
        len = breaks_inplace(*htext, len, eol[0]);
    } else if (eol) {
        std::string out;
        convert_breaks(*htext, len, eol, out);
        if (sysmem_resizehandle(htext, out.size() + nul)) {
            g_kivo_file_error = ENOMEM;
            return KIVO_ERR_GENERIC;
        }
        if (!out.empty()) std::memcpy(*htext, out.data(), out.size());
        len = out.size();
    }
    if (!finish(len)) {
        g_kivo_file_error = ENOMEM;
        return KIVO_ERR_GENERIC;
    }
    return KIVO_ERR_NONE;
}

t_kivo_err sysfile_writetextfile(t_filehandle fh, t_handle htext, long flags) {
    if (!fh || !htext) return KIVO_ERR_GENERIC;
    t_ptr_size n = sysmem_handlesize(htext);
    const char *p = *htext;
    if (n && !p) return KIVO_ERR_GENERIC;
    if (n && p[n - 1] == '\0') --n;
    std::string converted;
    if (flags) {
        convert_breaks(p, static_cast<std::size_t>(n), break_text(flags, "\n"), converted);
        p = converted.data();
        n = converted.size();
    }
    t_ptr_size done = 0;
    while (done < n) {
        t_ptr_size count = n - done;
        if (sysfile_write(fh, &count, p + done) || count == 0) return KIVO_ERR_GENERIC;
        done += count;
    }
    t_ptr_size pos = 0;
    if (sysfile_getpos(fh, &pos)) return KIVO_ERR_GENERIC;
    if (!is_memory(fh) && sysfile_seteof(fh, pos)) return KIVO_ERR_GENERIC;
    if (is_memory(fh) && pos < fh->length) fh->length = pos;
    return KIVO_ERR_NONE;
}

t_kivo_err sysfile_readtohandle(t_filehandle fh, t_handle *h) {
    if (!fh || !h) return KIVO_ERR_INVALID_PTR;
    *h = nullptr;
    t_ptr_size size = 0;
    if (sysfile_geteof(fh, &size)) return KIVO_ERR_GENERIC;
    t_handle fresh = sysmem_newhandle(size);
    if (!fresh) {
        g_kivo_file_error = ENOMEM;
        return KIVO_ERR_OUT_OF_MEMORY;
    }
    t_ptr_size n = size;
    t_kivo_err e = size ? sysfile_read(fh, &n, *fresh) : t_kivo_err{KIVO_ERR_NONE};
    if (e && e != SYSFILE_EOF) {
        sysmem_freehandle(fresh);
        return e;
    }
    if (n < size) sysmem_resizehandle(fresh, n);
    *h = fresh;
    return KIVO_ERR_NONE;
}

t_kivo_err sysfile_readtoptr(t_filehandle fh, char **block) {
    if (!fh || !block) return KIVO_ERR_INVALID_PTR;
    *block = nullptr;
    t_ptr_size size = 0;
    if (sysfile_geteof(fh, &size)) return KIVO_ERR_GENERIC;
    char *fresh = sysmem_newptr(size ? size : 1);
    if (!fresh) {
        g_kivo_file_error = ENOMEM;
        return KIVO_ERR_OUT_OF_MEMORY;
    }
    t_ptr_size n = size;
    t_kivo_err e = size ? sysfile_read(fh, &n, fresh) : t_kivo_err{KIVO_ERR_NONE};
    if (e && e != SYSFILE_EOF) {
        sysmem_freeptr(fresh);
        return e;
    }
    *block = fresh;
    return KIVO_ERR_NONE;
}

/* A source that ends before count bytes stops the copy with the
   end-of-file code; the destination is cut at what was copied. */
t_kivo_err sysfile_spoolcopy(t_filehandle from, t_filehandle to, t_ptr_size count) {
    if (!from || !to) return KIVO_ERR_INVALID_PTR;
    if (count == 0 && sysfile_geteof(from, &count)) return KIVO_ERR_GENERIC;
    std::vector<char> buf(4096);
    t_kivo_err r = KIVO_ERR_NONE;
    while (count > 0) {
        t_ptr_size n = std::min<t_ptr_size>(count, buf.size());
        t_kivo_err e = sysfile_read(from, &n, buf.data());
        if (n == 0) {
            r = e ? e : SYSFILE_EOF;
            break;
        }
        t_ptr_size w = n;
        if (sysfile_write(to, &w, buf.data()) || w != n) {
            r = KIVO_ERR_GENERIC;
            break;
        }
        count -= n;
    }
    t_ptr_size pos = 0;
    if (sysfile_getpos(to, &pos) == 0 && sysfile_seteof(to, pos) && r == KIVO_ERR_NONE) r = KIVO_ERR_GENERIC;
    return r;
}

} // extern "C"

/* ---- the toolfile object */

struct toolfile {
    t_object ob;
    t_filehandle fh;        // owned: the open file (file state), else null
    bool writing;
    t_handle src;           // borrowed: the handle a handle file reads
    t_ptr_size srcend;
    char *mem;              // owned (sysmem): bytes read by toolfile_burp
    t_ptr_size memlen;
    t_ptr_size membase;     // the file position of mem[0]
    t_ptr_size pos;         // read position in src or mem
    unsigned char buf[4096];
    t_ptr_size buflen, bufpos; // reading: bytes held and next one; writing: bytes pending
    long err;
    long version;
};

namespace {

t_class *g_toolfile_class = nullptr;
std::once_flag g_toolfile_once;

bool flush(t_toolfile *f) {
    if (!f->writing || !f->fh || f->buflen == 0) return true;
    t_ptr_size n = f->buflen;
    f->buflen = 0;
    if (sysfile_write(f->fh, &n, f->buf)) {
        f->err = g_kivo_file_error ? g_kivo_file_error : -1;
        return false;
    }
    return true;
}

void *toolfile_free_method(t_toolfile *f) {
    if (f->fh) {
        flush(f);
        if (sysfile_close(f->fh) && !f->err) f->err = -1;
        f->fh = nullptr;
    }
    toolfile_freedata(f);
    return nullptr;
}

t_toolfile *toolfile_alloc() {
    std::call_once(g_toolfile_once, [] {
        t_class *c = class_new("toolfile", nullptr, reinterpret_cast<method>(toolfile_free_method),
                               sizeof(t_toolfile), nullptr, 0, 0);
        if (c && class_register(gensym("nobox"), c) == 0) g_toolfile_class = c;
    });
    if (!g_toolfile_class) return nullptr;
    auto *f = static_cast<t_toolfile *>(object_alloc(g_toolfile_class));
    if (!f) return nullptr;
    std::memset(reinterpret_cast<char *>(f) + sizeof(t_object), 0, sizeof(t_toolfile) - sizeof(t_object));
    return f;
}

} // namespace

extern "C" {

t_toolfile *toolfile_new(const char *name, short path, t_fourcc type) {
    t_filehandle fh = nullptr;
    short r = type ? path_createsysfile(name, path, type, &fh) : path_opensysfile(name, path, &fh, PATH_READ_PERM);
    if (r || !fh) {
        if (!g_kivo_file_error) g_kivo_file_error = ENOENT;
        return nullptr;
    }
    // a created file opens with its old contents; a toolfile writes anew
    if (type && sysfile_seteof(fh, 0)) {
        sysfile_close(fh);
        return nullptr;
    }
    t_toolfile *f = toolfile_alloc();
    if (!f) {
        sysfile_close(fh);
        g_kivo_file_error = ENOMEM;
        return nullptr;
    }
    f->fh = fh;
    f->writing = type != 0;
    return f;
}

t_toolfile *toolfile_fromhandle(t_handle h, t_ptr_size end) {
    if (!h) return nullptr;
    t_toolfile *f = toolfile_alloc();
    if (!f) return nullptr;
    t_ptr_size size = sysmem_handlesize(h);
    f->src = h;
    f->srcend = end < size ? end : size;
    return f;
}

long toolfile_getc(t_toolfile *f) {
    if (!f || f->writing) return -1;
    if (f->src) {
        if (!*f->src || f->pos >= f->srcend || f->pos >= sysmem_handlesize(f->src)) return -1;
        return static_cast<unsigned char>((*f->src)[f->pos++]);
    }
    if (f->mem) return f->pos < f->memlen ? static_cast<unsigned char>(f->mem[f->pos++]) : -1;
    if (!f->fh) return -1;
    if (f->bufpos >= f->buflen) {
        t_ptr_size n = sizeof f->buf;
        t_kivo_err e = sysfile_read(f->fh, &n, f->buf);
        if (e && e != SYSFILE_EOF) {
            f->err = g_kivo_file_error ? g_kivo_file_error : -1;
            return -1;
        }
        f->buflen = n;
        f->bufpos = 0;
        if (n == 0) return -1;
    }
    return f->buf[f->bufpos++];
}

long toolfile_putc(t_toolfile *f, long c) {
    if (!f || !f->writing || !f->fh) return -1;
    if (f->buflen == sizeof f->buf && !flush(f)) return -1;
    f->buf[f->buflen++] = static_cast<unsigned char>(c);
    return 0;
}

long toolfile_fread(t_toolfile *f, void *buf, long count) {
    if (!f || !buf) return 0;
    long i = 0;
    for (; i < count; ++i) {
        long c = toolfile_getc(f);
        if (c < 0) break;
        static_cast<unsigned char *>(buf)[i] = static_cast<unsigned char>(c);
    }
    return i;
}

long toolfile_fwrite(t_toolfile *f, const void *buf, long count) {
    if (!f || !buf) return 0;
    long i = 0;
    for (; i < count; ++i)
        if (toolfile_putc(f, static_cast<const unsigned char *>(buf)[i])) break;
    return i;
}

long toolfile_seek(t_toolfile *f, t_ptr_size pos) {
    if (!f) return -1;
    if (f->src) {
        f->pos = pos < f->srcend ? pos : f->srcend;
        return 0;
    }
    if (f->mem) {
        pos = pos > f->membase ? pos - f->membase : 0;
        f->pos = pos < f->memlen ? pos : f->memlen;
        return 0;
    }
    if (!f->fh) return -1;
    if (!flush(f)) return -1;
    f->buflen = f->bufpos = 0;
    if (sysfile_setpos(f->fh, SYSFILE_FROMSTART, static_cast<t_ptr_int>(pos))) {
        f->err = g_kivo_file_error ? g_kivo_file_error : -1;
        return -1;
    }
    return 0;
}

t_ptr_size toolfile_length(t_toolfile *f) {
    if (!f) return 0;
    if (f->src) return f->srcend;
    if (f->mem) return f->membase + f->memlen;
    if (!f->fh) return 0;
    flush(f);
    t_ptr_size size = 0;
    sysfile_geteof(f->fh, &size);
    return size;
}

long toolfile_error(t_toolfile *f) {
    return f ? f->err : -1;
}

long toolfile_check(t_toolfile *f, long version) {
    if (f) f->version = version;
    return (version == 2 || version == 3) ? 0 : 1;
}

void toolfile_burp(t_toolfile *f) {
    if (!f || f->writing || !f->fh || f->mem) return;
    // The unread rest: what the read buffer still holds, then the file.
    std::vector<char> rest(f->buf + f->bufpos, f->buf + f->buflen);
    t_ptr_size filepos = 0;
    sysfile_getpos(f->fh, &filepos);
    f->membase = filepos - rest.size();
    char chunk[4096];
    for (;;) {
        t_ptr_size n = sizeof chunk;
        t_kivo_err e = sysfile_read(f->fh, &n, chunk);
        if (e && e != SYSFILE_EOF) {
            f->err = g_kivo_file_error ? g_kivo_file_error : -1;
            break;
        }
        if (n == 0) break;
        rest.insert(rest.end(), chunk, chunk + n);
    }
    sysfile_close(f->fh);
    f->fh = nullptr;
    f->buflen = f->bufpos = 0;
    f->mem = sysmem_newptr(rest.empty() ? 1 : rest.size());
    if (!f->mem) {
        f->err = ENOMEM;
        return;
    }
    if (!rest.empty()) std::memcpy(f->mem, rest.data(), rest.size());
    f->memlen = rest.size();
    f->pos = 0;
}

void toolfile_freedata(t_toolfile *f) {
    if (!f || !f->mem) return;
    sysmem_freeptr(f->mem);
    f->mem = nullptr;
    f->memlen = f->pos = 0;
}

} // extern "C"

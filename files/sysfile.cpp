/*
 * Open files: plain POSIX descriptors, text files and the buffered
 * "toolfile" object of the binary document reader and writer.
 *
 * Invariants:
 * - A file opened for writing by path_createsysfile (or toolfile_new with a
 *   type) is a fresh file under a temporary name in the target's folder.
 *   sysfile_close renames it over the target only when every write
 *   succeeded; otherwise the temporary file is removed and the target is
 *   left as it was. No helper here truncates an existing target.
 * - Reads never go past what the file or the handle holds.
 *
 * Toolfile states:  file ──toolfile_burp──▶ memory ──toolfile_freedata──▶ empty
 *   file:   reads are buffered from the descriptor (or writes buffered to it)
 *   memory: the rest of the file was read into `mem`; the descriptor is closed
 *   empty:  every read is the end of the file
 * A toolfile made from a handle reads the caller's handle and owns nothing.
 */
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "files/files_internal.h"
#include "kivo/charset.h"
#include "kivo/class.h"
#include "kivo/legacy.h"
#include "kivo/path.h"
#include "kivo/post.h"
#include "kivo/sysmem.h"

struct sysfile {
    int fd;
    std::string target; // writing through a temporary file: the final name
    std::string temp;   // ... and the temporary name; empty otherwise
    bool failed;        // a write failed: the target must not be replaced
};

namespace {

void set_errno_error() {
    g_kivo_file_error = static_cast<short>(errno ? errno : EIO);
}

t_kivo_err fail() {
    set_errno_error();
    return KIVO_ERR_GENERIC;
}

// Opens a fresh temporary file beside full; -1 when none could be made.
int open_temp(const std::string &full, std::string &temp) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[64];
        std::snprintf(suffix, sizeof suffix, ".kivotmp-%ld-%u", static_cast<long>(getpid()),
                      counter.fetch_add(1));
        temp = full + suffix;
        if (temp.size() >= KIVO_PATH_MAX) {
            errno = ENAMETOOLONG;
            return -1;
        }
        int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) return fd;
        if (errno != EEXIST) return -1;
    }
    return -1;
}

bool write_all(sysfile *f, const char *p, t_ptr_size n, t_ptr_size *done) {
    t_ptr_size total = 0;
    while (total < n) {
        ssize_t w = write(f->fd, p + total, n - total);
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

// Every CR, LF or CR LF becomes `eol`.
std::string convert_line_ends(const char *p, t_ptr_size n, const char *eol) {
    std::string out;
    out.reserve(n);
    for (t_ptr_size i = 0; i < n; ++i) {
        if (p[i] == '\r') {
            if (i + 1 < n && p[i + 1] == '\n') ++i;
            out += eol;
        } else if (p[i] == '\n') {
            out += eol;
        } else {
            out += p[i];
        }
    }
    return out;
}

const char *line_end_of(long flags) {
    if (flags & TEXT_LB_UNIX) return "\n";
    if (flags & TEXT_LB_MAC) return "\r";
    if (flags & TEXT_LB_PC) return "\r\n";
    if (flags & TEXT_LB_NATIVE) return "\n";
    return nullptr;
}

} // namespace

extern "C" {

short path_opensysfile(const char *name, short path, t_filehandle *fh, short perm) {
    if (!fh) return -1;
    *fh = nullptr;
    char full[KIVO_PATH_MAX];
    if (!name || !name[0] || path_topathname(path, name, full)) return -1;
    int mode = perm == PATH_WRITE_PERM ? O_WRONLY : perm == PATH_RW_PERM ? O_RDWR : O_RDONLY;
    int fd = open(full, mode | O_CLOEXEC);
    if (fd < 0) return static_cast<short>(fail());
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (errno == 0 || S_ISDIR(st.st_mode)) errno = EISDIR;
        set_errno_error();
        close(fd);
        return -1;
    }
    *fh = new (std::nothrow) sysfile{fd, {}, {}, false};
    if (!*fh) {
        close(fd);
        g_kivo_file_error = ENOMEM;
        return -1;
    }
    return 0;
}

short path_createsysfile(const char *name, short path, t_fourcc type, t_filehandle *fh) {
    (void)type; // no type is kept beside a file's bytes here
    if (!fh) return -1;
    *fh = nullptr;
    char full[KIVO_PATH_MAX];
    if (!name || !name[0] || path_topathname(path, name, full)) return -1;
    std::string temp;
    int fd = open_temp(full, temp);
    if (fd < 0) return static_cast<short>(fail());
    *fh = new (std::nothrow) sysfile{fd, full, temp, false};
    if (!*fh) {
        close(fd);
        unlink(temp.c_str());
        g_kivo_file_error = ENOMEM;
        return -1;
    }
    return 0;
}

t_kivo_err sysfile_close(t_filehandle fh) {
    if (!fh) return KIVO_ERR_INVALID_PTR;
    t_kivo_err r = KIVO_ERR_NONE;
    if (!fh->temp.empty() && !fh->failed && fsync(fh->fd) != 0) {
        set_errno_error();
        fh->failed = true;
    }
    if (close(fh->fd) != 0 && !fh->temp.empty() && !fh->failed) {
        set_errno_error();
        fh->failed = true;
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
    delete fh;
    return r;
}

t_kivo_err sysfile_read(t_filehandle fh, t_ptr_size *count, void *buf) {
    if (!fh || !count || (!buf && *count)) return KIVO_ERR_INVALID_PTR;
    t_ptr_size want = *count, total = 0;
    while (total < want) {
        ssize_t r = read(fh->fd, static_cast<char *>(buf) + total, want - total);
        if (r < 0) {
            if (errno == EINTR) continue;
            *count = total;
            return fail();
        }
        if (r == 0) break;
        total += static_cast<t_ptr_size>(r);
    }
    *count = total;
    return KIVO_ERR_NONE;
}

t_kivo_err sysfile_write(t_filehandle fh, t_ptr_size *count, const void *buf) {
    if (!fh || !count || (!buf && *count)) return KIVO_ERR_INVALID_PTR;
    t_ptr_size done = 0;
    bool ok = write_all(fh, static_cast<const char *>(buf), *count, &done);
    *count = done;
    if (!ok) {
        fh->failed = true;
        return fail();
    }
    return KIVO_ERR_NONE;
}

t_kivo_err sysfile_geteof(t_filehandle fh, t_ptr_size *size) {
    if (!fh || !size) return KIVO_ERR_INVALID_PTR;
    struct stat st;
    if (fstat(fh->fd, &st) != 0) return fail();
    *size = static_cast<t_ptr_size>(st.st_size);
    return KIVO_ERR_NONE;
}

t_kivo_err sysfile_seteof(t_filehandle fh, t_ptr_size size) {
    if (!fh) return KIVO_ERR_INVALID_PTR;
    if (ftruncate(fh->fd, static_cast<off_t>(size)) != 0) {
        fh->failed = true;
        return fail();
    }
    return KIVO_ERR_NONE;
}

t_kivo_err sysfile_getpos(t_filehandle fh, t_ptr_size *pos) {
    if (!fh || !pos) return KIVO_ERR_INVALID_PTR;
    off_t p = lseek(fh->fd, 0, SEEK_CUR);
    if (p < 0) return fail();
    *pos = static_cast<t_ptr_size>(p);
    return KIVO_ERR_NONE;
}

t_kivo_err sysfile_setpos(t_filehandle fh, t_sysfile_pos_mode mode, t_ptr_int offset) {
    if (!fh) return KIVO_ERR_INVALID_PTR;
    int whence = mode == SYSFILE_FROMSTART ? SEEK_SET : mode == SYSFILE_FROMLEOF ? SEEK_END : SEEK_CUR;
    if (mode == SYSFILE_ATMARK) offset = 0;
    if (lseek(fh->fd, static_cast<off_t>(offset), whence) < 0) return fail();
    return KIVO_ERR_NONE;
}

/*
 * The encoding is converted before the line ends: converting line ends in
 * UTF-16 bytes would split characters whose halves are 0x0D or 0x0A.
 */
t_kivo_err sysfile_readtextfile(t_filehandle fh, t_handle htext, t_ptr_size maxlen, long flags) {
    if (!fh || !htext) return KIVO_ERR_INVALID_PTR;
    t_ptr_size eof = 0, pos = 0;
    if (sysfile_geteof(fh, &eof) || sysfile_getpos(fh, &pos)) return KIVO_ERR_GENERIC;
    t_ptr_size n = eof > pos ? eof - pos : 0;
    if (maxlen && n > maxlen) n = maxlen;
    std::vector<char> raw(n);
    if (n && sysfile_read(fh, &n, raw.data())) return KIVO_ERR_GENERIC;
    raw.resize(n);

    std::string text(raw.begin(), raw.end());
    if (!(flags & TEXT_ENCODING_USE_FILE) && n > 0) {
        t_symbol *enc = charset_whichencoding(raw.data(), static_cast<long>(n), nullptr);
        if (!enc || !std::strcmp(enc->name, "binary")) return KIVO_ERR_GENERIC;
        if (std::strcmp(enc->name, "utf-8") != 0) {
            char *out = nullptr;
            long outbytes = 0;
            t_charset_converter *c = charset_converter_new(enc, gensym("utf-8"));
            if (!c) return KIVO_ERR_GENERIC;
            t_kivo_err err =
                charset_converter_convert(c, raw.data(), static_cast<long>(n), &out, &outbytes);
            object_free(c);
            if (err || !out) return KIVO_ERR_GENERIC;
            text.assign(out, static_cast<std::size_t>(outbytes));
            sysmem_freeptr(out);
        }
        if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
    }
    if (const char *eol = line_end_of(flags)) text = convert_line_ends(text.data(), text.size(), eol);
    if (flags & TEXT_NULL_TERMINATE) text += '\0';
    if (sysmem_resizehandle(htext, text.size())) {
        g_kivo_file_error = ENOMEM;
        return KIVO_ERR_GENERIC;
    }
    if (!text.empty()) std::memcpy(*htext, text.data(), text.size());
    return KIVO_ERR_NONE;
}

t_kivo_err sysfile_writetextfile(t_filehandle fh, t_handle htext, long flags) {
    if (!fh || !htext) return KIVO_ERR_GENERIC;
    t_ptr_size n = sysmem_handlesize(htext);
    const char *p = *htext;
    if (n && !p) return KIVO_ERR_GENERIC;
    if (n && p[n - 1] == '\0') --n;
    std::string text = (flags & TEXT_LB_UNIX) ? convert_line_ends(p, n, "\n") : std::string(p, n);
    t_ptr_size count = text.size();
    if (sysfile_write(fh, &count, text.data()) || count != text.size()) return KIVO_ERR_GENERIC;
    t_ptr_size pos = 0;
    if (sysfile_getpos(fh, &pos) || sysfile_seteof(fh, pos)) return KIVO_ERR_GENERIC;
    return KIVO_ERR_NONE;
}

t_kivo_err sysfile_readtohandle(t_filehandle fh, t_handle *h) {
    if (!fh || !h) return KIVO_ERR_INVALID_PTR;
    *h = nullptr;
    t_ptr_size size = 0;
    if (sysfile_geteof(fh, &size) || sysfile_setpos(fh, SYSFILE_FROMSTART, 0)) return KIVO_ERR_GENERIC;
    t_handle fresh = sysmem_newhandle(size);
    if (!fresh) {
        g_kivo_file_error = ENOMEM;
        return KIVO_ERR_OUT_OF_MEMORY;
    }
    t_ptr_size n = size;
    if (size && (sysfile_read(fh, &n, *fresh) || n != size)) {
        sysmem_freehandle(fresh);
        return KIVO_ERR_GENERIC;
    }
    *h = fresh;
    return KIVO_ERR_NONE;
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
        if (sysfile_read(f->fh, &n, f->buf)) {
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
        if (sysfile_read(f->fh, &n, chunk)) {
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

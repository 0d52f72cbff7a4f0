/*
 * File operations by name and folder: folders, copies, moves, dates, the
 * file being replaced by a save, and temporary files.
 *
 * Invariants:
 * - Every copy is written to a temporary name in the destination folder
 *   and renamed into place, so a failed copy never leaves half a file
 *   under the destination name.
 * - Deleting a folder never goes through a shell and never follows a
 *   symbolic link out of the folder being deleted.
 * - The temporary-file list holds native paths, so entries stay deletable
 *   whatever happens to the path table.
 */

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "files/files_internal.h"
#include "files/path_internal.h"
#include "files/sysfile_internal.h"
#include "kivo/files.h"
#include "kivo/post.h"
#include "kivo/registry.h"
#include "kivo/symbol.h"

bool files_nativepath(short path, const char *name, std::string &out) {
    if (!name) name = "";
    char buf[KIVO_PATH_MAX];
    if (path_toabsolutesystempath(path, name, buf) == 0 && buf[0] == '/') {
        out = buf;
        return true;
    }
    // Until every folder converts, a full path name or a registered folder.
    std::string full;
    if (name[0] == '/' && (path == 0 || path == path_getdefault())) {
        full = name;
    } else if (const char *folder = path < 0 ? path_nativefolder(path) : nullptr) {
        full = folder;
        if (name[0]) {
            if (full.empty() || full.back() != '/') full += '/';
            full += name;
        }
    } else if (path == 0) {
        if (!getcwd(buf, sizeof buf)) return false;
        full = buf;
        if (name[0]) {
            if (full.back() != '/') full += '/';
            full += name;
        }
    } else {
        g_kivo_file_error = ENOENT;
        return false;
    }
    if (full.size() >= KIVO_PATH_MAX) {
        g_kivo_file_error = ENAMETOOLONG;
        return false;
    }
    out = full;
    return true;
}

namespace {

constexpr int64_t kUnixTo1904 = 2082844800; // seconds from 1904-01-01 to 1970-01-01

std::mutex g_temp_lock;
std::vector<std::string> g_tempfiles;

bool native(short path, const char *name, std::string &out) {
    return files_nativepath(path, name, out);
}

std::string join(const std::string &folder, const std::string &name) {
    if (folder.empty() || folder.back() == '/') return folder + name;
    return folder + "/" + name;
}

short errno_result() {
    g_kivo_file_error = static_cast<short>(errno ? errno : EIO);
    return -1;
}

// Names of a folder's entries sorted by name, "." and ".." left out.
bool list_sorted(const std::string &folder, std::vector<std::string> &names) {
    DIR *d = opendir(folder.c_str());
    if (!d) return false;
    while (dirent *e = readdir(d))
        if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, "..")) names.emplace_back(e->d_name);
    closedir(d);
    std::sort(names.begin(), names.end());
    return true;
}

// Removes path and, for a folder, everything in it; links are removed, not
// followed. Folders are made accessible first, as "chmod u+rwx" would.
bool remove_tree(int dirfd, const char *name) {
    struct stat st;
    if (fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT;
    if (!S_ISDIR(st.st_mode)) return unlinkat(dirfd, name, 0) == 0 || errno == ENOENT;
    if ((st.st_mode & S_IRWXU) != S_IRWXU) fchmodat(dirfd, name, (st.st_mode & 07777) | S_IRWXU, 0);
    int fd = openat(dirfd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    DIR *d = fdopendir(fd);
    if (!d) {
        close(fd);
        return false;
    }
    std::vector<std::string> names;
    while (dirent *e = readdir(d))
        if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, "..")) names.emplace_back(e->d_name);
    bool ok = true;
    for (const std::string &n : names) ok = remove_tree(fd, n.c_str()) && ok;
    closedir(d); // closes fd
    if (!ok) return false;
    return unlinkat(dirfd, name, AT_REMOVEDIR) == 0 || errno == ENOENT;
}

// Copies one entry (a link as the link) to dst through a temporary name.
bool copy_entry(const std::string &src, const std::string &dst) {
    struct stat st;
    if (lstat(src.c_str(), &st) != 0) return false;
    char suffix[64];
    static std::atomic<unsigned> counter{0};
    std::snprintf(suffix, sizeof suffix, ".kivotmp-%ld-%u", static_cast<long>(getpid()), counter.fetch_add(1));
    std::string temp = dst.substr(0, dst.rfind('/') + 1) + suffix; // the name may be as long as names go
    if (temp.size() >= KIVO_PATH_MAX) {
        errno = ENAMETOOLONG;
        return false;
    }
    if (S_ISLNK(st.st_mode)) {
        std::vector<char> target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : PATH_MAX) + 1);
        ssize_t n = readlink(src.c_str(), target.data(), target.size() - 1);
        if (n < 0) return false;
        target[static_cast<std::size_t>(n)] = '\0';
        if (symlink(target.data(), temp.c_str()) != 0) return false;
    } else if (S_ISREG(st.st_mode)) {
        int in = open(src.c_str(), O_RDONLY | O_CLOEXEC);
        if (in < 0) return false;
        int out = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 07777);
        if (out < 0) {
            close(in);
            return false;
        }
        std::vector<char> buf(1 << 16);
        bool ok = true;
        for (;;) {
            ssize_t r = read(in, buf.data(), buf.size());
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) {
                ok = r == 0;
                break;
            }
            for (ssize_t w = 0; w < r;) {
                ssize_t k = write(out, buf.data() + w, static_cast<std::size_t>(r - w));
                if (k < 0 && errno == EINTR) continue;
                if (k < 0) {
                    ok = false;
                    break;
                }
                w += k;
            }
            if (!ok) break;
        }
        struct timespec times[2] = {st.st_atim, st.st_mtim};
        if (ok) futimens(out, times);
        int e = errno;
        close(in);
        if (close(out) != 0) ok = false;
        if (!ok) {
            unlink(temp.c_str());
            errno = e;
            return false;
        }
    } else {
        errno = EINVAL; // devices, sockets and pipes are not copied
        return false;
    }
    if (std::rename(temp.c_str(), dst.c_str()) != 0) {
        int e = errno;
        unlink(temp.c_str());
        errno = e;
        return false;
    }
    return true;
}

bool same_entry(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Copies the entries of src into the existing folder dst; with recurse,
// folders too. The destination itself is never copied into itself.
bool copy_contents(const std::string &src, const std::string &dst, bool recurse, const struct stat &dstst) {
    std::vector<std::string> names;
    if (!list_sorted(src, names)) return false;
    bool ok = true;
    for (const std::string &n : names) {
        std::string from = join(src, n), to = join(dst, n);
        struct stat st;
        if (lstat(from.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            if (!recurse || same_entry(st, dstst)) continue;
            struct stat tost;
            if (mkdir(to.c_str(), 0777) != 0 && errno != EEXIST) {
                ok = false;
                continue;
            }
            if (stat(to.c_str(), &tost) != 0 || !S_ISDIR(tost.st_mode)) {
                ok = false;
                continue;
            }
            ok = copy_contents(from, to, true, dstst) && ok;
        } else {
            ok = copy_entry(from, to) && ok;
        }
    }
    return ok;
}

short make_folder(short path, const char *name, short *newpath, bool fresh) {
    if (newpath) *newpath = 0;
    std::string full;
    if (!name || !name[0] || !native(path, name, full)) return -1;
    struct stat st;
    if (lstat(full.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode)) {
            g_kivo_file_error = EEXIST;
            return -1;
        }
        if (fresh && !remove_tree(AT_FDCWD, full.c_str())) return errno_result();
    }
    if (mkdir(full.c_str(), 0777) != 0 && errno != EEXIST) return errno_result();
    short id = path_fromnativefolder(full.c_str());
    if (newpath) *newpath = id;
    return 0;
}

short copy_or_merge(short srcpath, short dstpath, const char *name, long recurse, short *newpath, bool merge) {
    if (newpath) *newpath = 0;
    std::string src, dst;
    if (!native(srcpath, "", src) || !name || !name[0] || !native(dstpath, name, dst)) return -1;
    struct stat srcst;
    if (stat(src.c_str(), &srcst) != 0 || !S_ISDIR(srcst.st_mode)) return errno_result();
    short made = 0;
    if (make_folder(dstpath, name, &made, !merge)) return -1;
    struct stat dstst;
    if (stat(dst.c_str(), &dstst) != 0) return errno_result();
    bool ok = copy_contents(src, dst, recurse != 0, dstst);
    if (newpath) *newpath = made;
    return ok ? 0 : errno_result();
}

uint64_t to1904(const struct timespec &t) {
    int64_t s = static_cast<int64_t>(t.tv_sec) + kUnixTo1904;
    return s > 0 ? static_cast<uint64_t>(s) : 0;
}

} // namespace

extern "C" {

void path_setexistingfile(const char *name, short path) {
    std::string full;
    if (!name || !name[0] || !native(path, name, full)) full.clear();
    sysfile_setexisting_native(full.c_str());
}

short path_deletefile(const char *name, short path) {
    std::string full;
    if (!name || !name[0] || !native(path, name, full)) return -1;
    struct stat st;
    if (lstat(full.c_str(), &st) != 0) return errno_result();
    if (S_ISDIR(st.st_mode) ? rmdir(full.c_str()) != 0 : unlink(full.c_str()) != 0) return errno_result();
    return 0;
}

short path_overwritefile(const char *name, short path, const char *newname, t_fourcc type) {
    if (!name || !newname) return -1;
    if (!std::strcmp(name, newname)) return 0;
    t_filehandle from = nullptr, to = nullptr;
    short err = path_opensysfile(name, path, &from, PATH_READ_PERM);
    if (err) {
        error("%s: error %d renaming file", name, static_cast<int>(err));
        return err;
    }
    // The target must be writable, as an in-place open would require; the
    // new contents then reach it through a temporary file and a rename.
    std::string target;
    if (native(path, newname, target) && access(target.c_str(), F_OK) == 0 && access(target.c_str(), W_OK) != 0) {
        sysfile_close(from);
        g_kivo_file_error = EACCES;
        error("%s: file is read-only", newname);
        return -5000;
    }
    err = path_createsysfile(newname, path, type, &to);
    if (err) {
        sysfile_close(from);
        if (errno == EACCES || errno == EROFS || errno == EPERM) {
            error("%s: file is read-only", newname);
            return -5000;
        }
        error("%s: error %d creating file", newname, static_cast<int>(err));
        return err;
    }
    short result = 0;
    if (sysfile_seteof(to, 0) || sysfile_spoolcopy(from, to, 0)) {
        error("%s: error %d renaming file", newname, -1);
        result = -1;
        sysfile_seteof(to, 0);
    }
    sysfile_close(from);
    if (result == 0 && sysfile_close(to) != 0) {
        error("%s: error %d renaming file", newname, -1);
        result = -1;
    } else if (result != 0) {
        sysfile_close(to);
    }
    if (result == 0) {
        t_fileinfo info{};
        if (path_fileinfo(newname, path, &info) == 0) {
            info.type = type;
            path_setfileinfo(newname, path, &info);
        }
    }
    return result;
}

short path_createfolder(short path, const char *name, short *newpath) {
    return make_folder(path, name, newpath, false);
}

short path_createnewfolder(short path, const char *name, short *newpath) {
    return make_folder(path, name, newpath, true);
}

short path_deletefolder(short path, const char *name) {
    std::string full;
    if (!native(path, name && name[0] ? name : "", full)) return -1;
    while (full.size() > 1 && full.back() == '/') full.pop_back();
    if (full == "/" || full.empty()) return -1;
    return remove_tree(AT_FDCWD, full.c_str()) ? 0 : errno_result();
}

short path_copyfolder(short srcpath, short dstpath, const char *name, long recurse, short *newpath) {
    return copy_or_merge(srcpath, dstpath, name, recurse, newpath, false);
}

short path_mergefolder(short srcpath, short dstpath, const char *name, long recurse, short *newpath) {
    return copy_or_merge(srcpath, dstpath, name, recurse, newpath, true);
}

short path_copyfile(short srcpath, const char *srcname, short dstpath, const char *dstname) {
    std::string src, dst;
    if (!srcname || !srcname[0] || !native(srcpath, srcname, src)) return -1;
    if (!native(dstpath, dstname && dstname[0] ? dstname : srcname, dst)) return -1;
    if (src == dst) return 0;
    return copy_entry(src, dst) ? 0 : errno_result();
}

short path_movefile(short srcpath, const char *srcname, short dstpath, const char *dstname) {
    std::string src, dst;
    if (!srcname || !srcname[0] || !native(srcpath, srcname, src)) return -1;
    if (!native(dstpath, dstname && dstname[0] ? dstname : srcname, dst)) return -1;
    if (std::rename(src.c_str(), dst.c_str()) == 0) return 0;
    if (errno != EXDEV) return errno_result();
    struct stat st;
    if (lstat(src.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return errno_result();
    if (!copy_entry(src, dst)) return errno_result();
    return unlink(src.c_str()) == 0 ? 0 : errno_result();
}

short path_renamefile(const char *name, short path, const char *newname) {
    std::string src, dst;
    if (!name || !name[0] || !newname || !newname[0] || std::strchr(newname, '/')) return -1;
    if (!native(path, name, src)) return -1;
    // the new name lives beside the old one, also for a full path name
    dst = join(src.substr(0, src.rfind('/') + 1), newname);
    if (dst.size() >= KIVO_PATH_MAX) return -1;
    if (src == dst) return 0;
    // renaming never replaces another entry
    if (renameat2(AT_FDCWD, src.c_str(), AT_FDCWD, dst.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return errno_result();
    if (access(dst.c_str(), F_OK) == 0) {
        g_kivo_file_error = EEXIST;
        return -1;
    }
    return std::rename(src.c_str(), dst.c_str()) == 0 ? 0 : errno_result();
}

short path_getfiledatesandsize(const char *name, short path, uint64_t *created, uint64_t *modified,
                               uint64_t *accessed, uint64_t *size) {
    for (uint64_t *p : {created, modified, accessed, size})
        if (p) *p = 0;
    std::string full;
    if (!name || !native(path, name, full)) return -1;
    struct statx sx;
    if (statx(AT_FDCWD, full.c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0) return errno_result();
    auto ts = [](const struct statx_timestamp &t) {
        struct timespec s{static_cast<time_t>(t.tv_sec), static_cast<long>(t.tv_nsec)};
        return s;
    };
    if (created) *created = to1904(ts((sx.stx_mask & STATX_BTIME) ? sx.stx_btime : sx.stx_mtime));
    if (modified) *modified = to1904(ts(sx.stx_mtime));
    if (accessed) *accessed = to1904(ts(sx.stx_atime));
    if (size) *size = S_ISDIR(sx.stx_mode) ? 0 : sx.stx_size;
    return 0;
}

short path_getfilemoddate(const char *name, short path, uint64_t *date) {
    return path_getfiledatesandsize(name, path, nullptr, date, nullptr, nullptr);
}

short path_getfilecreationdate(const char *name, short path, uint64_t *date) {
    return path_getfiledatesandsize(name, path, date, nullptr, nullptr, nullptr);
}

short path_getfilesize(const char *name, short path, uint64_t *size) {
    return path_getfiledatesandsize(name, path, nullptr, nullptr, nullptr, size);
}

short path_setfilemoddate(const char *name, short path, uint64_t date) {
    std::string full;
    if (!name || !native(path, name, full)) return -1;
    struct timespec times[2];
    times[0].tv_nsec = UTIME_OMIT;
    times[0].tv_sec = 0;
    times[1].tv_sec = static_cast<time_t>(static_cast<int64_t>(date) - kUnixTo1904);
    times[1].tv_nsec = 0;
    return utimensat(AT_FDCWD, full.c_str(), times, 0) == 0 ? 0 : errno_result();
}

short path_openressysfile(const char *, short path, t_filehandle *fh, short) {
    if (!fh) return -1;
    *fh = nullptr;
    if (path <= 0) return -1; // no resource parts here
    *fh = sysfile_nofile(path);
    return *fh ? 0 : -1;
}

short path_openresfile(const char *, short, short *forkref, short) {
    if (forkref) *forkref = 0;
    return -1;
}

short path_createressysfile(const char *, short, t_fourcc, t_filehandle *fh) {
    if (fh) *fh = nullptr;
    return -1;
}

short path_infoforopensysfile(t_filehandle fh, char *name, short *path) {
    if (name) name[0] = '\0';
    if (path) *path = 0;
    std::string full;
    if (!sysfile_native(fh, full)) return -1;
    std::size_t slash = full.rfind('/');
    std::string folder = slash == 0 ? "/" : full.substr(0, slash);
    std::string last = full.substr(slash + 1);
    if (last.size() >= KIVO_FILENAME_MAX) return -1;
    if (name) std::memcpy(name, last.c_str(), last.size() + 1);
    if (path) *path = path_fromnativefolder(folder.c_str());
    return 0;
}

long path_fileisresource(const char *, short) {
    // no collective service is attached yet: no identifier belongs to one
    return 0;
}

short path_tempfilename(const char *suffix, char *name, short *path) {
    if (path) *path = path_tempfolder();
    if (!name) return -1;
    std::string out = symbol_unique()->name;
    const char *s = suffix ? suffix : "";
    while (*s == '.') ++s;
    if (*s) out += std::string(".") + s;
    if (out.size() > 510) out.resize(510);
    std::memcpy(name, out.c_str(), out.size() + 1);
    return 0;
}

short path_copytotempfile(short srcpath, const char *srcname, short *dstpath, char *tempname) {
    short tempid = path_tempfolder();
    if (dstpath) *dstpath = tempid;
    if (tempname) tempname[0] = '\0';
    if (!srcname || !tempname) return -1;
    char suffix[FILEFORMAT_SUFFIX_MAX];
    fileformat_suffix(srcname, suffix);
    path_tempfilename(suffix, tempname, &tempid);
    t_fourcc type = 0;
    getfiletype(srcname, srcpath, &type);
    t_filehandle from = nullptr, to = nullptr;
    if (path_opensysfile(srcname, srcpath, &from, PATH_READ_PERM) == 0 &&
        path_createsysfile(tempname, tempid, type, &to) == 0) {
        t_kivo_err e = sysfile_spoolcopy(from, to, 0);
        sysfile_close(from);
        t_kivo_err c = sysfile_close(to);
        if (e == KIVO_ERR_NONE && c == KIVO_ERR_NONE) {
            path_appendtempfile(tempid, tempname);
            return 0;
        }
        return -1;
    }
    if (from) sysfile_close(from);
    if (to) sysfile_close(to);
    return -1;
}

void path_appendtempfile(short path, const char *name) {
    std::string full;
    if (!name || !name[0] || !native(path, name, full)) return;
    std::lock_guard lk(g_temp_lock);
    g_tempfiles.push_back(full);
}

void path_deletetempfiles(void) {
    std::vector<std::string> files;
    {
        std::lock_guard lk(g_temp_lock);
        files.swap(g_tempfiles);
    }
    for (const std::string &f : files) unlink(f.c_str());
}

} // extern "C"

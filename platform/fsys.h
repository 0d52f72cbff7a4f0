/*
 * The Linux layer under path identifiers and path names: volumes, standard
 * folders, folder listings and entry information.
 *
 * Volume model: the root file system ("/") is the boot volume, named
 * kBootVolumeName. A file system mounted directly in /media, /mnt,
 * /media/<user> or /run/media/<user> is a further volume named after its
 * mount folder, so "usb:/a" is /media/usb/a. Every other mount is part of
 * the boot volume's tree. A mount folder whose name holds ':' or '\', or
 * repeats an earlier volume's name or the boot volume's, is no volume (it
 * is still reached through the boot volume). With this model every native
 * absolute path has exactly one canonical name, and back.
 *
 * Used by: files/. Includes only the C and C++ libraries.
 */
#ifndef KIVO_PLATFORM_FSYS_H
#define KIVO_PLATFORM_FSYS_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "kivo/export.h"

namespace kivo::platform::fsys {

inline constexpr const char *kBootVolumeName = "Root";

struct Volume {
    std::string name;  // as written before ":/"
    std::string mount; // native absolute mount folder, no trailing '/'
};

// The volumes besides the boot volume, in mount order (read again at most
// once a second).
KIVO_INTERNAL std::vector<Volume> volumes();
// Tests replace the mount table with their own list; nullopt: the real one.
KIVO_INTERNAL void set_volumes_for_test(std::optional<std::vector<Volume>> list);

// Native absolute path (normalised: no "." or "..", no doubled or final
// '/') -> volume name and the rest after its root (no leading '/').
KIVO_INTERNAL void split_volume(const std::string &native, std::string &volume, std::string &rest);
// Volume name and rest -> native absolute path; nullopt for a volume that
// is not mounted.
KIVO_INTERNAL std::optional<std::string> join_volume(const std::string &volume, const std::string &rest);

// Lexical normalisation of an absolute native path ("." and ".." removed,
// ".." at the root stays at the root).
KIVO_INTERNAL std::string normalize(const std::string &native);

// ---- standard folders (native, no trailing '/'; empty when unknown)
enum class Folder {
    Home,        // $HOME
    Desktop,     // XDG user dir, else $HOME/Desktop
    Documents,   // XDG user dir, else $HOME/Documents
    Config,      // $XDG_CONFIG_HOME, else $HOME/.config
    Data,        // $XDG_DATA_HOME, else $HOME/.local/share (application support)
    Temp,        // $TMPDIR, else /tmp
    App          // the folder holding the executable
};
KIVO_INTERNAL std::string folder(Folder which);
// $XDG_DATA_DIRS (else /usr/local/share:/usr/share), in order.
KIVO_INTERNAL std::vector<std::string> shared_data_folders();
// Sets the application folder (empty: the executable's folder again).
KIVO_INTERNAL void set_app_folder(const std::string &native);

// ---- entries
struct Info {
    bool exists = false;
    bool folder = false;    // after following links
    bool link = false;      // the entry itself is a symbolic link
    bool dangling = false;  // a link whose target is missing
    uint64_t dev = 0, ino = 0;
    int64_t mtime_s = 0;    // seconds since 1970
    int64_t ctime_s = 0, atime_s = 0;
    int64_t mtime_ns = 0;
    uint64_t size = 0;
    int error = 0;          // errno when !exists
};
KIVO_INTERNAL Info info(const std::string &native);

struct Entry {
    std::string name;
    bool folder = false; // the entry or its link target is a folder
    bool link = false;
};
// The entries of a folder without "." and "..", sorted by name (bytes). 0,
// or the errno of the failure.
KIVO_INTERNAL int list_folder(const std::string &native, std::vector<Entry> &out);

// The real path of an existing entry (links followed), or nullopt.
KIVO_INTERNAL std::optional<std::string> real_path(const std::string &native);

// Creates the folder and its missing parents; 0 or errno.
KIVO_INTERNAL int make_folders(const std::string &native);
// Deletes a folder and everything in it without running anything; 0 or errno.
KIVO_INTERNAL int remove_tree(const std::string &native);

// Seconds between 1 January 1904 and 1 January 1970.
inline constexpr int64_t kEpoch1904 = 2082844800;

} // namespace kivo::platform::fsys

#endif

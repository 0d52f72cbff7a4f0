// Path identifiers: folders to numbers and back, standard folders, file
// information and folder listings, with the names Linux allows.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <set>
#include <thread>
#include <vector>

#include "kivo/kivo.h"
#include "kivo_test.h"
#include "path_fixture.h"

namespace {

using kivo::test::PathWorld;
namespace fs = std::filesystem;

class PathTable : public PathWorld {};

std::string name_of(short id) {
    char buf[KIVO_PATH_MAX];
    return path_topathname(id, "", buf) == 0 ? buf : "<none>";
}

TEST_F(PathTable, OneFolderOneIdentifierWhateverTheRoute) {
    mkdir("/a/b");
    fs::create_directory_symlink(native("/a/b"), native("/link"));
    short byname = 0, bysub = 0, byparent = 0, bylink = 0;
    char file[KIVO_FILENAME_MAX];
    ASSERT_EQ(path_frompathname(canon("/a/b").c_str(), &byname, file), 0);
    EXPECT_STREQ(file, "") << "a folder gives itself and no file name";
    ASSERT_EQ(path_getpath(id_of("/a"), "b", &bysub), 0);
    ASSERT_EQ(path_frompathname((canon("/a/b") + "/").c_str(), &byparent, file), 0);
    ASSERT_EQ(path_frompathname(canon("/link").c_str(), &bylink, file), 0);
    EXPECT_LT(byname, 0);
    EXPECT_EQ(byname, bysub);
    EXPECT_EQ(byname, byparent);
    EXPECT_EQ(byname, bylink) << "a symbolic link is an alias of its target";
    EXPECT_EQ(name_of(byname), canon("/a/b"));

    char name[KIVO_FILENAME_MAX];
    short parent = 0;
    ASSERT_EQ(path_getname(byname, name, &parent), 0);
    EXPECT_STREQ(name, "b");
    EXPECT_EQ(parent, id_of("/a"));
    ASSERT_EQ(path_getname(path_fromnativefolder("/"), name, &parent), 0);
    EXPECT_STREQ(name, "Root");
    EXPECT_EQ(path_getpath(id_of("/a"), "missing", &bysub), -1);
    EXPECT_EQ(path_getname(-30000, name, &parent), -1);
}

TEST_F(PathTable, GrowsAndKeepsEveryIdentifier) {
    EXPECT_EQ(path_tablesize(), 1024);
    mkdir("/many");
    std::vector<short> ids;
    for (int i = 0; i < 1100; ++i) {
        ASSERT_EQ(::mkdir(native("/many/" + std::to_string(i)).c_str(), 0755), 0);
        ids.push_back(id_of("/many/" + std::to_string(i)));
        ASSERT_LT(ids.back(), 0) << i;
    }
    EXPECT_EQ(path_tablesize(), 1536);
    for (int i = 0; i < 1100; ++i) ASSERT_EQ(name_of(ids[i]), canon("/many/" + std::to_string(i))) << i;
    EXPECT_EQ(id_of("/many/7"), ids[7]) << "registering again gives the same identifier";
}

TEST_F(PathTable, DefaultPathAndLookups) {
    EXPECT_EQ(path_indexlookup(0), nullptr) << "no default list yet";
    short app = id_of("/app");
    path_setdefault(app, 0);
    ASSERT_NE(path_indexlookup(0), nullptr);
    EXPECT_EQ(path_indexlookup(0)->id, app);
    EXPECT_EQ(path_indexlookup(-30000), nullptr);
    EXPECT_EQ(path_indexlookup(5), nullptr);
    EXPECT_EQ(path_openfolder(5), nullptr) << "a collective's volume cannot be listed";
    EXPECT_EQ(path_openfolder(-30000), nullptr);
}

TEST_F(PathTable, FilesPackagesAndNamesToBeMade) {
    mkdir("/d/plug.kvo/Contents");
    touch("/d/f.txt");
    short id = 0;
    char file[KIVO_FILENAME_MAX];
    ASSERT_EQ(path_frompathname(canon("/d/plug.kvo").c_str(), &id, file), 0);
    EXPECT_EQ(id, id_of("/d"));
    EXPECT_STREQ(file, "plug.kvo") << "a package is an entry of its folder";
    ASSERT_EQ(path_frompathname(canon("/d/f.txt").c_str(), &id, file), 0);
    EXPECT_STREQ(file, "f.txt");
    EXPECT_EQ(path_frompathname(canon("/d/new.txt").c_str(), &id, file), -1);
    ASSERT_EQ(path_frompotentialpathname(canon("/d/new.txt").c_str(), &id, file), 0);
    EXPECT_EQ(id, id_of("/d"));
    EXPECT_STREQ(file, "new.txt");
    EXPECT_EQ(path_frompotentialpathname(canon("/nofolder/new.txt").c_str(), &id, file), -1);
    EXPECT_EQ(path_frompathname("NoSuchVolume:/a", &id, file), -1);

    // Names without a volume are looked for in the default folder, even
    // when they hold a colon.
    mkdir("/d/sub");
    touch("/d/12:30.txt");
    touch("/d/sub/x.txt");
    path_setdefault(id_of("/d"), 0);
    ASSERT_EQ(path_frompathname("12:30.txt", &id, file), 0);
    EXPECT_EQ(id, id_of("/d"));
    EXPECT_STREQ(file, "12:30.txt");
    ASSERT_EQ(path_frompathname("sub/x.txt", &id, file), 0);
    EXPECT_EQ(id, id_of("/d/sub"));
    EXPECT_STREQ(file, "x.txt");

    EXPECT_EQ(path_exists(id_of("/d"), "f.txt"), 1);
    EXPECT_EQ(path_exists(0, canon("/d/f.txt").c_str()), 1) << "with 0 the name is a full path name";
    EXPECT_EQ(path_exists(id_of("/d"), "nope"), 0);
    EXPECT_EQ(path_namesfolder(id_of("/d"), "plug.kvo", 0), 1);
    EXPECT_EQ(path_namesfolder(id_of("/d"), "plug.kvo", 1), 0);

    char out[KIVO_PATH_MAX];
    EXPECT_EQ(path_topathname(id_of("/d"), "new.txt", out), -1) << "must exist";
    EXPECT_STREQ(out, "");
    ASSERT_EQ(path_topotentialname(id_of("/d"), "new.txt", out, 0), 0);
    EXPECT_EQ(std::string(out), canon("/d/new.txt"));
}

TEST_F(PathTable, ListsSortedByNameWithTypes) {
    mkdir("/l/sub");
    mkdir("/l/plug.kvo");
    touch("/l/b.txt");
    touch("/l/a.txt");
    touch("/l/.DS_Store");
    touch("/l/.hidden");
    fs::create_symlink(native("/l/none"), native("/l/dangling"));
    fs::create_directory_symlink(native("/l/sub"), native("/l/z-sublink"));
    auto list = [&](short flags) {
        std::vector<std::pair<std::string, t_fourcc>> out;
        t_folderiterator *it = path_openfolder(id_of("/l"));
        EXPECT_NE(it, nullptr);
        if (!it) return out;
        t_fourcc type;
        char name[KIVO_FILENAME_MAX];
        while (path_foldernextfile(it, &type, name, flags)) out.emplace_back(name, type);
        path_closefolder(it);
        return out;
    };
    const t_fourcc fold = PATH_TYPE_FOLDER, ilax = KIVO_FOURCC('i', 'L', 'a', 'X');
    auto plain = list(0);
    std::vector<std::string> names;
    for (auto &e : plain) names.push_back(e.first);
    EXPECT_EQ(names, (std::vector<std::string>{".hidden", "a.txt", "b.txt", "dangling", "plug.kvo", "sub",
                                               "z-sublink"}));
    auto type_of = [](const std::vector<std::pair<std::string, t_fourcc>> &v, const char *n) {
        for (auto &e : v)
            if (e.first == n) return e.second;
        return t_fourcc(0xFFFFFFFF);
    };
    EXPECT_EQ(type_of(plain, "plug.kvo"), ilax);
    EXPECT_EQ(type_of(plain, "sub"), fold);
    EXPECT_EQ(type_of(plain, "z-sublink"), fold) << "links are followed";
    EXPECT_EQ(type_of(plain, "dangling"), 0u) << "a dangling link has no type, and no crash";
    EXPECT_EQ(type_of(list(PATH_REPORTPACKAGEASFOLDER), "plug.kvo"), fold);
    EXPECT_NE(type_of(list(PATH_NOALIASRESOLUTION), "z-sublink"), fold);
}

TEST_F(PathTable, EveryByteALinuxFileNameMayHold) {
    std::string name;
    for (int c = 1; c < 256; ++c)
        if (c != '/') name += static_cast<char>(c);
    ASSERT_LT(name.size(), 256u);
    mkdir("/bytes");
    touch("/bytes/" + name, "content");
    touch("/bytes/12:30 a\\b..txt");
    short folder = id_of("/bytes");
    for (const std::string &n : {name, std::string("12:30 a\\b..txt")}) {
        char full[KIVO_PATH_MAX];
        ASSERT_EQ(path_topathname(folder, n.c_str(), full), 0);
        EXPECT_EQ(std::string(full), canon("/bytes/" + n));
        short id = 0;
        char file[KIVO_FILENAME_MAX];
        ASSERT_EQ(path_frompathname(full, &id, file), 0);
        EXPECT_EQ(id, folder);
        EXPECT_EQ(std::string(file), n) << "the name comes back byte for byte";
        char sys[KIVO_PATH_MAX];
        ASSERT_EQ(path_toabsolutesystempath(id, file, sys), 0);
        EXPECT_EQ(std::string(sys), native("/bytes/" + n));
    }
    t_folderiterator *it = path_openfolder(folder);
    ASSERT_NE(it, nullptr);
    t_fourcc type;
    char listed[KIVO_FILENAME_MAX];
    std::vector<std::string> seen;
    while (path_foldernextfile(it, &type, listed, 0)) seen.push_back(listed);
    path_closefolder(it);
    EXPECT_NE(std::find(seen.begin(), seen.end(), name), seen.end());
}

TEST_F(PathTable, OverlongNamesAndDanglingLinksFailCleanly) {
    short id = 7;
    char file[KIVO_FILENAME_MAX] = "x";
    std::string longname = canon("/") + std::string(600, 'n');
    EXPECT_EQ(path_frompathname(longname.c_str(), &id, file), -1);
    EXPECT_EQ(path_frompotentialpathname(longname.c_str(), &id, file), -1) << "no 600-byte file name";
    std::string huge = canon("/") + std::string(5000, 'h');
    EXPECT_EQ(path_frompathname(huge.c_str(), &id, file), -1);
    char out[KIVO_PATH_MAX] = "x";
    EXPECT_EQ(path_topotentialname(id_of("/"), std::string(3000, 'q').c_str(), out, 0), -1);
    EXPECT_STREQ(out, "");

    fs::create_symlink(native("/gone"), native("/dangling"));
    EXPECT_EQ(path_frompathname(canon("/dangling").c_str(), &id, file), -1);
    EXPECT_EQ(path_exists(id_of(""), "dangling"), 1) << "the link itself exists";
    char name[KIVO_PATH_MAX] = "dangling";
    EXPECT_EQ(path_resolvefile(name, id_of(""), &id), -1);
    t_fileinfo info{};
    ASSERT_EQ(path_fileinfo("dangling", id_of(""), &info), 0);
    EXPECT_EQ(info.flags & PATH_FILEINFO_ALIAS, PATH_FILEINFO_ALIAS);
}

TEST_F(PathTable, ResolvesLinksAndReportsInfo) {
    mkdir("/t/sub");
    touch("/t/real.txt");
    fs::create_symlink(native("/t/real.txt"), native("/t/alias.txt"));
    fs::create_directory_symlink(native("/t/sub"), native("/t/subalias"));
    short id = 0;
    char name[KIVO_PATH_MAX] = "alias.txt";
    ASSERT_EQ(path_resolvefile(name, id_of("/t"), &id), 0);
    EXPECT_STREQ(name, "real.txt");
    EXPECT_EQ(id, id_of("/t"));
    std::strcpy(name, "subalias");
    ASSERT_EQ(path_resolvefile(name, id_of("/t"), &id), 0);
    EXPECT_STREQ(name, "");
    EXPECT_EQ(id, id_of("/t/sub"));
    std::strcpy(name, "sub/../real.txt");
    ASSERT_EQ(path_resolvefile(name, id_of("/t"), &id), 0);
    EXPECT_STREQ(name, "real.txt");

    t_fileinfo info{};
    ASSERT_EQ(path_fileinfo("sub", id_of("/t"), &info), 0);
    EXPECT_EQ(info.type, PATH_TYPE_FOLDER);
    EXPECT_EQ(info.flags, PATH_FILEINFO_FOLDER);
    ASSERT_EQ(path_fileinfo("subalias", id_of("/t"), &info), 0);
    EXPECT_EQ(info.flags, PATH_FILEINFO_FOLDER | PATH_FILEINFO_ALIAS);
    EXPECT_EQ(path_fileinfo("missing", id_of("/t"), &info), -1);

    t_fsref a{}, b{};
    ASSERT_EQ(path_tofsref(id_of("/t"), "sub", &a), 0);
    ASSERT_EQ(path_tofsref(id_of("/t"), "subalias", &b), 0);
    EXPECT_TRUE(path_fsrefequal(&a, &b));
    EXPECT_EQ(path_fromfsref(&a), id_of("/t/sub"));
    uint64_t date = 0;
    ASSERT_EQ(path_getmoddate(id_of("/t"), &date), 0);
    EXPECT_GT(date, 3600000000ull) << "seconds since 1904";

    uint16_t *text = nullptr;
    long length = 0;
    mkdir("/t/é");
    ASSERT_EQ(path_topotentialunicodename(id_of("/t"), "é", &text, &length), 0);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(text[length - 1], 0xE9);
    char file[KIVO_FILENAME_MAX];
    ASSERT_EQ(path_fromunicodepathname(text, &id, file, 1), 0);
    EXPECT_EQ(id, id_of("/t/é"));
    sysmem_freeptr(reinterpret_cast<char *>(text));
}

TEST_F(PathTable, InPathAndRoots) {
    mkdir("/p/q");
    short p = id_of("/p"), q = id_of("/p/q");
    EXPECT_EQ(path_inpath(q, q), 1);
    EXPECT_EQ(path_inpath(q, p), 1);
    EXPECT_EQ(path_inpath(p, q), 0);
    EXPECT_EQ(path_inpath(0, p), 0);
    EXPECT_EQ(path_inpath(q, 0), 0);
    EXPECT_EQ(path_isroot(path_fromnativefolder("/")), 1);
    EXPECT_EQ(path_isroot(q), 0);
    EXPECT_EQ(path_folder_is_essentially_empty(q), 1);
    touch("/p/q/.keep");
    EXPECT_EQ(path_folder_is_essentially_empty(q), 1);
    touch("/p/q/x");
    EXPECT_EQ(path_folder_is_essentially_empty(q), 0);
}

TEST_F(PathTable, StandardFoldersFollowTheEnvironment) {
    EXPECT_EQ(name_of(path_userfolder()), canon("/home"));
    EXPECT_EQ(name_of(path_desktopfolder()), canon("/home/Desktop"));
    EXPECT_EQ(name_of(path_getapppath()), canon("/app"));
    EXPECT_EQ(name_of(path_getsupportpath()), canon("/app")) << "no resources folder: the application folder";
    EXPECT_EQ(name_of(path_userdocfolder()), canon("/home/Documents")) << "made when missing";
    EXPECT_EQ(path_userkivofolder(), 0);
    EXPECT_EQ(path_isknownlocation(path_desktopfolder()), 1);
    EXPECT_EQ(path_isknownlocation(id_of("/data")), 0);

    // The user-dirs file moves the Desktop.
    mkdir("/home/Schreibtisch");
    touch("/config/user-dirs.dirs", "XDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\n");
    EXPECT_EQ(name_of(path_desktopfolder()), canon("/home/Schreibtisch"));
    char dst[KIVO_PATH_MAX];
    ASSERT_EQ(path_nameconform("Desktop:/x", dst, 3, 1), 0);
    EXPECT_EQ(std::string(dst), canon("/home/Schreibtisch/x"));
}

TEST_F(PathTable, TemporaryFolderIsThisProcesssAndStartsEmpty) {
    std::string prefs = "/config/Morvane/Kivo 7";
    std::string mine = prefs + "/temp64-Kivo-" + std::to_string(getpid());
    std::string ended = prefs + "/temp64-Kivo-999999999";
    std::string running = prefs + "/temp64-Kivo-" + std::to_string(getppid());
    mkdir(mine);
    touch(mine + "/leftover");
    mkdir(ended);
    mkdir(running);
    touch(running + "/in-use");
    short t = path_tempfolder();
    ASSERT_LT(t, 0);
    EXPECT_EQ(name_of(t), canon(mine));
    EXPECT_FALSE(fs::exists(native(mine + "/leftover"))) << "each run starts empty";
    EXPECT_FALSE(fs::exists(native(ended))) << "a folder of an ended process is cleared";
    EXPECT_TRUE(fs::exists(native(running + "/in-use"))) << "another running instance keeps its files";
    touch(mine + "/kept");
    EXPECT_EQ(path_tempfolder(), t);
    EXPECT_TRUE(fs::exists(native(mine + "/kept"))) << "emptied only on the first call";

    char out[64];
    path_tempfoldername("com.example.abcdefghijklmnopqrst", out);
    EXPECT_STREQ(out, "abcdefghijklmnopqrst") << "20 characters are kept";
    path_tempfoldername("com.example.abcdefghijklmnopqrstu", out);
    EXPECT_STREQ(out, "abcdefghijklmnopqrs") << "21 are cut to 19";
    path_tempfoldername("", out);
    EXPECT_STREQ(out, "Brimmolant");
}

TEST_F(PathTable, UnreadableFoldersFailWithoutCrashing) {
    mkdir("/locked/inner");
    touch("/locked/inner/f");
    chmod(native("/locked").c_str(), 0);
    // Root reads every folder, so look as an ordinary user would.
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(3);
        short id = 0;
        char file[KIVO_FILENAME_MAX];
        if (path_frompathname(canon("/locked/inner/f").c_str(), &id, file) != -1) _exit(4);
        short locked = path_fromnativefolder(native("/locked").c_str());
        t_folderiterator *it = locked ? path_openfolder(locked) : nullptr;
        t_fourcc type;
        char name[KIVO_FILENAME_MAX];
        if (it && path_foldernextfile(it, &type, name, 0) != 0) _exit(5);
        path_closefolder(it);
        if (locked && path_folder_is_essentially_empty(locked) != 1) _exit(6);
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    chmod(native("/locked").c_str(), 0700);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

} // namespace

namespace {

class PathHandlers : public kivo::test::PathWorld {};

// Receives the application folder's name as a message selector.
struct Receiver {
    t_object ob;
};
std::string g_received;
void *receiver_anything(Receiver *, t_symbol *s) {
    g_received = s->name;
    return nullptr;
}

TEST_F(PathHandlers, PathtestAndSendapppath) {
    kivo::test::PostCapture cap;
    path_setdefault(id_of("/app"), 0);
    path_pathtest(gensym("x.txt"));
    EXPECT_EQ(cap.texts(POST_KIND_POST),
              (std::vector<std::string>{"result is 0", "filename is " + canon("/app/x.txt") + " and vol is " +
                                                            std::to_string(id_of("/app"))}));

    t_class *c = class_new("pathreceiver", nullptr, nullptr, sizeof(Receiver), nullptr, 0);
    class_addmethod(c, kivo::test::as_method(receiver_anything), "anything", AT_GIMME, 0);
    class_register(gensym("box"), c);
    auto *r = static_cast<Receiver *>(object_alloc(c));
    ASSERT_NE(r, nullptr);
    gensym("apppath-receiver")->thing = &r->ob;
    path_sendapppath(gensym("apppath-receiver"));
    EXPECT_EQ(g_received, canon("/app") + "/");
    gensym("apppath-receiver")->thing = nullptr;
    object_free(r);
}

} // namespace

namespace {

class PathTableThreads : public kivo::test::PathWorld {};

TEST_F(PathTableThreads, ConcurrentRegistrationsAgreeOnIdentifiers) {
    constexpr int kFolders = 200, kThreads = 6, kRounds = 6;
    std::set<short> distinct;
    for (int round = 0; round < kRounds; ++round) {
        std::string base = "/r" + std::to_string(round) + "-";
        for (int i = 0; i < kFolders; ++i)
            ASSERT_EQ(::mkdir(native(base + std::to_string(i)).c_str(), 0755), 0);
        std::vector<std::vector<short>> seen(kThreads, std::vector<short>(kFolders));
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&, t] {
                for (int k = 0; k < kFolders; ++k) {
                    int i = (k + t * 37) % kFolders; // each thread starts elsewhere
                    seen[t][i] = path_fromnativefolder(native(base + std::to_string(i)).c_str());
                }
            });
        for (auto &th : threads) th.join();
        for (int i = 0; i < kFolders; ++i) {
            for (int t = 0; t < kThreads; ++t) ASSERT_EQ(seen[t][i], seen[0][i]) << "folder " << i;
            ASSERT_LT(seen[0][i], 0);
            distinct.insert(seen[0][i]);
            ASSERT_EQ(name_of(seen[0][i]), canon(base + std::to_string(i)));
        }
    }
    EXPECT_EQ(distinct.size(), static_cast<std::size_t>(kFolders * kRounds));
}

} // namespace

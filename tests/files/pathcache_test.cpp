// The fast search-path cache: duplicate names, letter case, type lists,
// files that vanish behind its back, files added alone and the dump.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <unistd.h>

#include "kivo_test.h"
#include "platform/platform.h"
#include "app/mainthread_internal.h"
#include "search_fixture.h"
#include "virtual_time.h"

namespace {

using kivo::test::PostCapture;
using kivo::test::SearchFixture;

constexpr t_fourcc kJSON = KIVO_FOURCC('J', 'S', 'O', 'N');
constexpr t_fourcc kText = KIVO_FOURCC('T', 'E', 'X', 'T');

class PathCacheTest : public SearchFixture {
protected:
    short search(const char *asked, std::string *found = nullptr, t_fourcc *type = nullptr,
                 const t_fourcc *types = nullptr, short ntypes = 0) {
        char name[KIVO_PATH_MAX];
        std::strcpy(name, asked);
        short id = 0;
        t_fourcc t = 0;
        if (pathcache_fast_locatefile(pathcache_fast_get(), name, &id, &t, types, ntypes) != 0)
            return 0;
        if (found) *found = name;
        if (type) *type = t;
        return id;
    }
};

TEST_F(PathCacheTest, FirstFolderAnswersAndTheDuplicateWarningComesOnce) {
    short one = folder("one");
    short two = folder("two");
    put("one/dup.txt");
    put("two/dup.txt");
    path_build(pathlist_get(PATHLIST_SEARCH), one, 0);
    path_build(pathlist_get(PATHLIST_SEARCH), two, 0);
    ASSERT_EQ(path_buildcache(), 0);
    PostCapture cap;
    EXPECT_EQ(search("dup.txt"), one);
    EXPECT_EQ(search("dup.txt"), one);
    auto posts = cap.texts(POST_KIND_POST);
    ASSERT_EQ(posts.size(), 2u);
    EXPECT_EQ(posts[0], "Warning: you have multiple files in your search path with the name dup.txt");
    EXPECT_EQ(posts[1].rfind("  using this file: ", 0), 0u);
    EXPECT_NE(posts[1].find("one/dup.txt"), std::string::npos) << posts[1];

    // When the first folder leaves, the other's file answers for the name.
    path_removepath(one);
    EXPECT_EQ(search("dup.txt"), two);
}

TEST_F(PathCacheTest, LetterCaseAndTypeLists) {
    short lib = folder("lib");
    put("lib/Synth.kivopat", "{}");
    put("lib/synth.txt");
    put("lib/synth", "{}");
    put("lib/other.kivopat", "{}");
    put("lib/other.txt");
    path_build(pathlist_get(PATHLIST_SEARCH), lib, 0);
    ASSERT_EQ(path_buildcache(), 0);

    std::string found;
    t_fourcc type = 0;
    EXPECT_EQ(search("SYNTH.KIVOPAT", &found, &type), lib);
    EXPECT_EQ(found, "Synth.kivopat") << "the buffer gets the file's own spelling";
    EXPECT_EQ(type, kJSON);

    const t_fourcc text_then_json[] = {kText, kJSON};
    const t_fourcc json_then_text[] = {kJSON, kText};
    EXPECT_EQ(search("other", &found, &type, text_then_json, 2), lib);
    EXPECT_EQ(found, "other.txt") << "the type earlier in the list wins";
    EXPECT_EQ(search("other", &found, &type, json_then_text, 2), lib);
    EXPECT_EQ(found, "other.kivopat");
    EXPECT_EQ(search("nothing", &found, &type, json_then_text, 2), 0);
}

TEST_F(PathCacheTest, VanishedFilesAreNeverAnswered) {
    short lib = folder("lib");
    put("lib/gone.txt");
    put("lib/alsogone.kivopat", "{}");
    path_build(pathlist_get(PATHLIST_SEARCH), lib, 0);
    ASSERT_EQ(path_buildcache(), 0);
    ASSERT_EQ(search("gone.txt"), lib);
    unlink(at("lib/gone.txt").c_str());
    unlink(at("lib/alsogone.kivopat").c_str());
    EXPECT_EQ(search("gone.txt"), 0);
    const t_fourcc json[] = {kJSON};
    EXPECT_EQ(search("alsogone", nullptr, nullptr, json, 1), 0);
    put("lib/gone.txt");
    EXPECT_EQ(search("gone.txt"), 0) << "the key went with the file; the rescan brings it back";
    path_folderchanged(nullptr, lib);
    EXPECT_EQ(search("gone.txt"), lib);
}

TEST_F(PathCacheTest, FilesAddedAloneAndRemoved) {
    short lone = folder("Lone Dir");
    put("Lone Dir/Single.txt");
    ASSERT_EQ(path_buildcache(), 0);
    EXPECT_EQ(path_addfile(at("Lone Dir/Single.txt").c_str()), 0);
    EXPECT_EQ(search("single.txt"), lone);
    EXPECT_EQ(path_removefile(at("Lone Dir/Single.txt").c_str()), 0)
        << "a folder whose name has capitals is found under its own spelling";
    EXPECT_EQ(search("single.txt"), 0);
    EXPECT_EQ(path_removefile(at("Lone Dir/Single.txt").c_str()), -1);
    EXPECT_NE(path_addfile(at("Lone Dir/none.txt").c_str()), 0);

    // A folder already cached may not join again.
    short lib = folder("lib");
    path_build(pathlist_get(PATHLIST_SEARCH), lib, 0);
    EXPECT_EQ(path_canaddpath(lib), 0);
}

TEST_F(PathCacheTest, BuildingTwiceLogsAndKeepsOneCacheAndTheDumpListsFiles) {
    short lib = folder("lib");
    put("lib/a.txt", "abc");
    path_build(pathlist_get(PATHLIST_SEARCH), lib, 0);
    std::vector<std::string> log;
    kivo::platform::syslog_set_sink([&](std::string_view s) { log.emplace_back(s); });
    ASSERT_EQ(path_buildcache(), 0);
    ASSERT_EQ(path_buildcache(), 0);
    EXPECT_EQ(log, (std::vector<std::string>{"error: s_pathcache_fast is already allocated!"}));
    EXPECT_EQ(search("a.txt"), lib);
    auto *ids = static_cast<t_atomarray *>(object_method(pathcache_fast_get(), gensym("getpaths")));
    ASSERT_TRUE(ids);
    long ac = 0;
    t_atom *av = nullptr;
    atomarray_getatoms(ids, &ac, &av);
    ASSERT_EQ(ac, 1);
    EXPECT_EQ(atom_getlong(av), lib);
    object_free(ids);
    log.clear();
    path_dumppathcache();
    kivo::platform::syslog_set_sink({});
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0], "pathcache_fast_dump: 1 folders, 1 files, and 1 basenames\n");
    EXPECT_EQ(log[1].rfind("folder: ", 0), 0u);
    EXPECT_NE(log[2].find("         3    'TEXT'    "), std::string::npos) << log[2];
    EXPECT_EQ(log[3], std::string(76, '-'));
}

// The folder watchers keep the search list and the cache in step with the
// disk: new subfolders join, vanished ones leave.
TEST_F(PathCacheTest, WatchersRescanChangedSearchFolders) {
    kivo::test::VirtualTime vt;
    auto run_for = [&](double ms) {
        std::this_thread::sleep_for(std::chrono::milliseconds(150)); // inotify's thread
        vt.advance(ms);
        vt.poll();
        while (kivo::app::mainpump_service()) {
        }
    };
    short lib = folder("lib");
    folder("lib/a/deep");
    path_build(pathlist_get(PATHLIST_SEARCH), lib, 1);
    ASSERT_EQ(path_buildcache(), 0);
    EXPECT_EQ(names(pathlist_get(PATHLIST_SEARCH)),
              (std::vector<std::string>{"lib", "lib/a", "lib/a/deep"}));

    folder("lib/b");
    put("lib/b/new.txt");
    run_for(1100);
    EXPECT_EQ(names(pathlist_get(PATHLIST_SEARCH)),
              (std::vector<std::string>{"lib", "lib/a", "lib/a/deep", "lib/b"}));
    EXPECT_EQ(search("new.txt"), path_fromnativefolder(at("lib/b").c_str()));

    std::filesystem::remove_all(at("lib/a"));
    run_for(1100);
    EXPECT_EQ(names(pathlist_get(PATHLIST_SEARCH)), (std::vector<std::string>{"lib", "lib/b"}));

    std::filesystem::remove_all(at("lib"));
    run_for(1100);
    EXPECT_EQ(path_listcount(pathlist_get(PATHLIST_SEARCH)), 0);
    EXPECT_EQ(search("new.txt"), 0);
}

} // namespace

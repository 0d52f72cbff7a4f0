// Search-path lists and the search order: building lists from folder
// trees, removing roots with their subfolders, and where a name is found.
#include <gtest/gtest.h>

#include <set>
#include <cstdio>
#include <cstring>

#include "kivo_test.h"
#include "search_fixture.h"

namespace {

using kivo::test::PostCapture;
using kivo::test::SearchFixture;

constexpr t_fourcc kJSON = KIVO_FOURCC('J', 'S', 'O', 'N');
constexpr t_fourcc kText = KIVO_FOURCC('T', 'E', 'X', 'T');

class SearchPathTest : public SearchFixture {};

TEST_F(SearchPathTest, RecursiveBuildVisitsSubfoldersDepthFirstOnceAndRemovesByRoot) {
    short top = folder("top");
    folder("top/b");
    folder("top/a/a2");
    folder("top/a/a1");
    folder("top/.hidden");
    folder("top/thing.kvo"); // a package, not a folder
    put("top/file.txt");
    t_pathlist *search = pathlist_get(PATHLIST_SEARCH);

    path_build(search, top, 1);
    EXPECT_EQ(names(search),
              (std::vector<std::string>{"top", "top/a", "top/a/a1", "top/a/a2", "top/b"}));
    path_build(search, top, 1);
    path_build(search, path_fromnativefolder(at("top/a").c_str()), 0);
    EXPECT_EQ(path_listcount(search), 5) << "a folder is never listed twice";

    // Iteration by identifier follows the list and ends with -1.
    short id = 0;
    int seen = 0;
    while (path_getnext(search, &id) == 0) ++seen;
    EXPECT_EQ(seen, 5);
    short stranger = folder("elsewhere");
    EXPECT_EQ(path_getnext(search, &stranger), -1);

    // path_remove with the flag takes a folder and what its scan added.
    path_remove(search, path_fromnativefolder(at("top/a").c_str()), 1);
    EXPECT_EQ(names(search), (std::vector<std::string>{"top", "top/b"}));
    path_removefromlist(search, top);
    EXPECT_EQ(path_listcount(search), 0) << "the root goes with every subfolder";
}

TEST_F(SearchPathTest, RootOfAVolumeIsRefusedForRecursiveBuilding) {
    PostCapture cap;
    short slash = path_fromnativefolder("/");
    ASSERT_NE(slash, 0);
    path_build(pathlist_get(PATHLIST_SEARCH), slash, 1);
    EXPECT_EQ(cap.texts(POST_KIND_ERROR),
              (std::vector<std::string>{"cannot build search path from root directory"}));
    EXPECT_EQ(path_listcount(pathlist_get(PATHLIST_SEARCH)), 0);
}

TEST_F(SearchPathTest, ManyFoldersRegisterAndIterateOnceEach) {
    // 2,000 sibling folders; how fast they register is the benchmark's
    // business, this checks that each is listed once.
    short top = folder("many");
    for (int i = 0; i < 2000; ++i) std::filesystem::create_directory(at("many/f" + std::to_string(i)));
    t_pathlist *search = pathlist_get(PATHLIST_SEARCH);
    path_build(search, top, 1);
    short id = 0;
    long walked = 0;
    std::set<short> seen;
    while (path_getnext(search, &id) == 0) {
        ++walked;
        seen.insert(id);
    }
    EXPECT_EQ(walked, 2001);
    EXPECT_EQ(seen.size(), 2001u);
}

TEST_F(SearchPathTest, DefaultFolderComesFirstThenTheCache) {
    short def = folder("doc");
    short lib = folder("lib");
    put("doc/x.txt", "default");
    put("lib/x.txt", "library");
    put("lib/only.txt");
    path_setdefault(def, 0);
    EXPECT_EQ(path_getdefault(), def);
    path_build(pathlist_get(PATHLIST_SEARCH), lib, 1);
    ASSERT_EQ(path_buildcache(), 0);

    char name[KIVO_PATH_MAX] = "x.txt";
    short id = 0;
    t_fourcc type = 0;
    ASSERT_EQ(locatefile_extended(name, &id, &type, nullptr, 0), 0);
    EXPECT_EQ(id, def);
    EXPECT_EQ(type, kText);

    std::strcpy(name, "x.txt");
    ASSERT_EQ(locatefile_extended_flags(name, &id, &type, nullptr, 0, LOCATEFILE_SKIP_DEFAULT), 0);
    EXPECT_EQ(id, lib) << "flag 8 skips the default folder; the cache knows the other";

    // A folder appended after the cache was built is found at once.
    short late = folder("late");
    put("late/new.txt");
    path_build(pathlist_get(PATHLIST_SEARCH), late, 0);
    std::strcpy(name, "new.txt");
    ASSERT_EQ(locatefile_extended(name, &id, &type, nullptr, 0), 0);
    EXPECT_EQ(id, late);
}

TEST_F(SearchPathTest, WithoutCacheOnlySlowSearchingWalksTheSearchList) {
    short lib = folder("lib");
    put("lib/deep.txt");
    path_build(pathlist_get(PATHLIST_SEARCH), lib, 1);
    char name[KIVO_PATH_MAX] = "deep.txt";
    short id = 0;
    t_fourcc type = 0;
    EXPECT_NE(locatefile_extended(name, &id, &type, nullptr, 0), 0);
    path_setslowsearch(1);
    EXPECT_EQ(locatefile_extended(name, &id, &type, nullptr, 0), 0);
    EXPECT_EQ(id, lib);
}

TEST_F(SearchPathTest, SuffixVariantsAndRestoredNames) {
    short def = folder("doc");
    put("doc/song.kivopat", "{}");
    put("doc/song.kivopat.kivopat", "{}");
    path_setdefault(def, 0);
    const t_fourcc types[] = {kJSON};
    struct Case {
        const char *asked;
        short result;
        const char *after;
    } cases[] = {
        {"song", 0, "song.kivopat"},                  // a registered suffix is added
        {"song.kivopat", 0, "song.kivopat"},          // already suffixed: kept as it is
        {"missing", 1, "missing"},                    // not found: the name is restored
        {"nowhere/song.kivopat", 1, "nowhere/song.kivopat"}, // folder part not a path: not searched
    };
    for (const Case &c : cases) {
        char name[KIVO_PATH_MAX];
        std::strcpy(name, c.asked);
        short id = 0;
        t_fourcc type = 0;
        EXPECT_EQ(locatefile_extended(name, &id, &type, types, 1) != 0, c.result != 0) << c.asked;
        EXPECT_STREQ(name, c.after) << c.asked;
        if (!c.result) {
            EXPECT_EQ(type, kJSON) << c.asked;
        }
    }

    // A full path name of an existing file is taken as it stands.
    char name[KIVO_PATH_MAX];
    std::strcpy(name, at("doc/song.kivopat").c_str());
    short id = 0;
    t_fourcc type = 0;
    ASSERT_EQ(locatefile_extended(name, &id, &type, nullptr, 0), 0);
    EXPECT_EQ(id, def);
    EXPECT_STREQ(name, "song.kivopat");
}

TEST_F(SearchPathTest, ExclusiveModeSearchesOnlyTheSupportListAndSaysSo) {
    short def = folder("doc");
    put("doc/a.txt");
    path_setdefault(def, 0);
    path_setexclusive(1);
    PostCapture cap;
    char name[KIVO_PATH_MAX] = "a.txt";
    short id = 0;
    t_fourcc type = 0;
    EXPECT_NE(locatefile_extended(name, &id, &type, nullptr, 0), 0);
    EXPECT_EQ(cap.texts(POST_KIND_ERROR),
              (std::vector<std::string>{"a.txt: no such file in collective"}));
    path_build(pathlist_get(PATHLIST_SUPPORT), def, 0);
    EXPECT_EQ(locatefile_extended(name, &id, &type, nullptr, 0), 0);
    EXPECT_EQ(id, def);
}

TEST_F(SearchPathTest, NamedFoldersAndListText) {
    short top = folder("top");
    short sub = folder("top/media");
    path_build(pathlist_get(PATHLIST_SEARCH), top, 1);
    short id = 0;
    EXPECT_EQ(nameinpath("media", &id), 0);
    EXPECT_EQ(id, sub);
    EXPECT_NE(nameinpath("Media", &id), 0) << "the comparison is exact";
    EXPECT_EQ(path_nameinpath("media", top, &id), 0);
    EXPECT_NE(path_nameinpath("top", sub, &id), 0);

    t_handle h = path_tobuffer(pathlist_get(PATHLIST_SEARCH));
    ASSERT_TRUE(h);
    std::string text = *h;
    sysmem_freehandle(h);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2);
    EXPECT_NE(text.find("top/media\n"), std::string::npos) << text;
}

TEST_F(SearchPathTest, LinksAreFollowedOnlyWhereTheOrderSaysSo) {
    short def = folder("doc");
    short real = folder("real");
    put("real/target.txt");
    std::filesystem::create_symlink(at("real/target.txt"), at("doc/link.txt"));
    std::filesystem::create_symlink(at("real/nothing.txt"), at("doc/dangling.txt"));
    path_setdefault(def, 0);

    char name[KIVO_PATH_MAX] = "link.txt";
    short id = 0;
    t_fourcc type = 0;
    ASSERT_EQ(locatefile_extended(name, &id, &type, nullptr, 0), 0);
    EXPECT_EQ(id, real) << "the link's target folder";
    EXPECT_NE(locatefilelist(name, &id, &type, nullptr, 0), 0) << "links are not followed here";
    std::strcpy(name, "dangling.txt");
    EXPECT_NE(locatefile_extended(name, &id, &type, nullptr, 0), 0);
    EXPECT_STREQ(name, "dangling.txt");
}

TEST_F(SearchPathTest, SetSearchPathMessages) {
    folder("user/sub");
    t_atom av[3];
    atom_setlong(av, 7);
    atom_setsym(av + 1, gensym(at("user").c_str()));
    atom_setsym(av + 2, gensym("mine"));
    path_setsearchpath(nullptr, gensym("setsearchpath_nonrecursive"), 3, av);
    EXPECT_EQ(names(pathlist_get(PATHLIST_SEARCH)), (std::vector<std::string>{"user"}));
    path_removenamed(at("user").c_str());
    path_setsearchpath(nullptr, gensym("setsearchpath"), 2, av + 1);
    EXPECT_EQ(names(pathlist_get(PATHLIST_SEARCH)), (std::vector<std::string>{"user", "user/sub"}));
    atom_setsym(av, gensym("<none>"));
    path_setsearchpath(nullptr, gensym("setsearchpath"), 1, av);
    path_sethelppath(nullptr, gensym("sethelppath"), 2, av + 1);
    EXPECT_EQ(path_listcount(pathlist_get(PATHLIST_SEARCH)), 2);
    EXPECT_EQ(path_listcount(pathlist_get(PATHLIST_HELP)), 2);
}

TEST_F(SearchPathTest, OddAndOverlongNamesAreSearchedSafely) {
    short lib = folder("lib");
    path_build(pathlist_get(PATHLIST_SEARCH), lib, 0);
    const std::string odd[] = {"new\nline.txt", "quote\"s.txt", "$(touch pwned).txt", "tab\there",
                               "\xff\xfe bytes", "dots..", std::string(255, 'n')};
    for (const std::string &n : odd) put("lib/" + n);
    ASSERT_EQ(path_buildcache(), 0);
    for (const std::string &n : odd) {
        char name[KIVO_PATH_MAX];
        std::strcpy(name, n.c_str());
        short id = 0;
        t_fourcc type = 0;
        EXPECT_EQ(locatefile_extended(name, &id, &type, nullptr, 0), 0) << n;
        EXPECT_EQ(id, lib) << n;
    }
    EXPECT_FALSE(std::filesystem::exists(at("pwned")));
    for (std::size_t len : {256u, 1000u, static_cast<unsigned>(KIVO_PATH_MAX - 1)}) {
        char name[KIVO_PATH_MAX];
        std::string n(len, 'x');
        std::strcpy(name, n.c_str());
        short id = 0;
        t_fourcc type = 0;
        const t_fourcc json[] = {KIVO_FOURCC('J', 'S', 'O', 'N')};
        EXPECT_NE(locatefile_extended(name, &id, &type, json, 1), 0) << len;
        EXPECT_EQ(std::string(name), n) << "restored";
    }
}

} // namespace

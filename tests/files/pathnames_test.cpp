// Path names: the conversions between styles and kinds, normalising, and
// the small helpers on separators and components.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "kivo/kivo.h"
#include "path_fixture.h"

namespace {

using kivo::test::PathWorld;
namespace fsys = kivo::platform::fsys;

class PathNames : public PathWorld {
protected:
    // "@" in an expected text stands for the world's folder without its
    // leading '/': Root:/@/app is the application folder.
    std::string expand(const std::string &s) const {
        std::string out;
        for (char c : s) out += c == '@' ? root_.substr(1) : std::string(1, c);
        return out;
    }
    std::string conform(const std::string &src, long style, long type, short *result = nullptr) const {
        char dst[KIVO_PATH_MAX];
        std::strcpy(dst, "garbage");
        short r = path_nameconform(src.c_str(), dst, style, type);
        if (result) *result = r;
        if (r != 0) return dst[0] ? "<-1, dst not emptied>" : "<-1>";
        return dst;
    }
};

TEST_F(PathNames, ConvertsBetweenStylesAndKinds) {
    struct Case {
        const char *src;
        long style, type;
        const char *want; // "<-1>": refused with dst emptied
    } cases[] = {
        // volumes written the macOS way keep working as names on a volume
        {"/Volumes/Data/x/y", 3, 0, "Data:/x/y"},
        {"/Volumes/Data/x/y", 3, 3, "/Volumes/Data/x/y"},
        {"Data:/x/y", 3, 5, "/Volumes/Data/x/y"},
        // the boot volume, there and back
        {"Root:/a/b", 3, 3, "/a/b"},
        {"/a/b", 3, 1, "Root:/a/b"},
        {"/a/b", 3, 0, "/a/b"},
        // home and Desktop
        {"~/Music/a.aif", 3, 1, "Root:/@/home/Music/a.aif"},
        {"~/Music/a.aif", 3, 6, "<-1>"},
        {"desktop:/a", 3, 1, "Root:/@/home/Desktop/a"},
        {"Desktop:/a", 3, 1, "Root:/@/home/Desktop/a"},
        {"dESKTOP:/a", 3, 1, "dESKTOP:/a"},
        {"Root:/@/home/Desktop/a/b", 3, 6, "Desktop:/a/b"},
        {"Root:/@/home/x", 3, 7, "~/x"},
        {"Root:/@/home/x", 3, 6, "<-1>"},
        // relative to the application folder
        {"../a", 3, 1, "Root:/@/a"},
        {"./sub/x", 3, 1, "Root:/@/app/sub/x"},
        {"Root:/@/app/sub/x", 3, 2, "./sub/x"},
        {"Root:/elsewhere/x", 3, 2, "<-1>"},
        {"Root:/@/apple/x", 3, 2, "<-1>"},   // a folder whose name only begins like it
        {"~/x", 3, 2, "<-1>"},
        {"./x", 3, 6, "<-1>"},
        // a name without a volume is relative, not on a volume "tests"
        {"tests/x.kivopat", 3, 1, "Root:/@/app/tests/x.kivopat"},
        {"tests/x.kivopat", 3, 0, "./tests/x.kivopat"},
        // styles
        {"Disk:/a/b", 2, 0, "Disk:a:b"},
        {"Disk:a:b", 3, 0, "Disk:/a/b"},
        {"Disk:/a/b", 4, 0, "Disk:\\a\\b"},
        {"Disk:\\a\\b", 3, 0, "Disk:/a/b"},
        {"/a/b", 2, 0, "^:a:b"},
        {"./a/b", 2, 0, ":a:b"},
        // normalising
        {"Disk:/a/./b/../c", 3, 0, "Disk:/a/c"},
        {"Disk:/a/..", 3, 0, "Disk:/"},
        {"Disk:/../a", 3, 0, "Disk:/a"},
        {"../../a", 3, 0, "./../../a"},
        {"./a/../../b", 3, 0, "./../b"},
        // ':' and '\' inside Linux file names survive their own style
        {"Root:/a/12:30.txt", 3, 0, "Root:/a/12:30.txt"},
        {"Root:/a/b\\c", 3, 1, "Root:/a/b\\c"},
        {"", 3, 1, ""},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(conform(expand(c.src), c.style, c.type), expand(c.want))
            << c.src << " style " << c.style << " type " << c.type;
    }
}

TEST_F(PathNames, MountedVolumesRoundTrip) {
    fsys::set_volumes_for_test(std::vector<fsys::Volume>{{"usb", "/media/usb"}, {"stick", "/run/media/ann/stick"}});
    struct Case {
        const char *src;
        long type;
        const char *want;
    } cases[] = {
        {"usb:/a/b", 3, "/media/usb/a/b"},
        {"usb:/a/b", 5, "/media/usb/a/b"},
        {"/media/usb/a/b", 1, "usb:/a/b"},
        {"/media/usb", 1, "usb:/"},
        {"/media/usbx/a", 1, "Root:/media/usbx/a"},
        {"/run/media/ann/stick/x", 0, "stick:/x"},
        {"stick:/x", 3, "/run/media/ann/stick/x"},
        {"Root:/media/usb/a", 3, "/media/usb/a"},
    };
    for (const Case &c : cases) EXPECT_EQ(conform(c.src, 3, c.type), c.want) << c.src << " type " << c.type;
}

TEST_F(PathNames, RefusesWhatDoesNotFit) {
    short r = 0;
    std::string huge = "Disk:/" + std::string(3000, 'a');
    EXPECT_EQ(conform(huge, 3, 0, &r), "<-1>");
    // just fits, then one more byte does not
    std::string edge = "Disk:/" + std::string(KIVO_PATH_MAX - 1 - 6, 'b');
    EXPECT_EQ(conform(edge, 3, 0), edge);
    EXPECT_EQ(conform(edge + "c", 3, 0), "<-1>");
    char dst[KIVO_PATH_MAX] = "x";
    EXPECT_EQ(path_nameconform(nullptr, dst, 3, 1), -1);
    EXPECT_EQ(dst[0], '\0');
}

TEST_F(PathNames, NormalizeInPlace) {
    struct Case {
        const char *in;
        char sep;
        const char *want;
    } cases[] = {
        {"Disk:/a/./b/../c", '/', "Disk:/a/c"},
        {"Disk:/a/..", '/', "Disk:/"},
        {"Disk:/a/b", '/', "Disk:/a/b"},
        {"Disk:a:.:b", ':', "Disk:a:b"},
        {"/a/../b", '/', "/b"},
        {"./../a", '/', "./../a"},
        {"~/a/..", '/', "~/"},
    };
    for (const Case &c : cases) {
        char buf[KIVO_PATH_MAX];
        std::strcpy(buf, c.in);
        path_normalize(buf, c.sep);
        EXPECT_STREQ(buf, c.want) << c.in;
    }
}

TEST(PathNameHelpers, SeparatorsAndComponents) {
    struct Style {
        const char *name;
        long style;
        char sep;
    } styles[] = {{"Disk:/a", 3, '/'}, {"a/b:c", 3, '/'}, {"Disk:a", 2, ':'}, {"Disk:\\a", 4, ':'},
                  {"plain", -1, 0},    {"a\\b", -1, '\\'}};
    for (const Style &s : styles) {
        EXPECT_EQ(path_getstyle(s.name), s.style) << s.name;
        EXPECT_EQ(path_getseparator(s.name), s.sep) << s.name;
    }
    long flag = 0, kind = 0;
    EXPECT_EQ(path_namehasseparators("./a", &flag), 1);
    EXPECT_EQ(flag, 1);
    EXPECT_EQ(path_namehasseparators("a/b", &flag), 1);
    EXPECT_EQ(flag, 0);
    EXPECT_EQ(path_namehasseparators("/a", &flag), 1);
    EXPECT_EQ(flag, 1);
    EXPECT_EQ(path_namehasseparators("plain.txt", &flag), 0);
    EXPECT_EQ(path_nameisrelative(":a", &kind), 1);
    EXPECT_EQ(kind, 1);
    EXPECT_EQ(path_nameisrelative(".\\a", &kind), 1);
    EXPECT_EQ(kind, 2);
    EXPECT_EQ(path_nameisrelative("a", &kind), 0);
    EXPECT_EQ(kind, 0);

    char a[KIVO_PATH_MAX], b[KIVO_PATH_MAX];
    path_lastname("a/b/", a);
    EXPECT_STREQ(a, "b");
    EXPECT_EQ(path_splitnames("Disk:/a/b", a, b), 1);
    EXPECT_STREQ(a, "Disk:/a");
    EXPECT_STREQ(b, "b");
    EXPECT_EQ(path_splitnames("plain", a, b), 5);
    EXPECT_STREQ(a, "plain");
    EXPECT_STREQ(b, "");
    path_namefrompathname("Disk:/a/b.txt", a);
    EXPECT_STREQ(a, "b.txt");
    path_namefrompathname("/x", a);
    EXPECT_STREQ(a, "/x");
    path_concat(a, "Disk:/a/", "b", '/');
    EXPECT_STREQ(a, "Disk:/a/b");
    path_concat(a, "Disk:a", "b", ':');
    EXPECT_STREQ(a, "Disk:a:b");
    std::strcpy(a, "Disk:a");
    path_finalseparator(a, 2);
    EXPECT_STREQ(a, "Disk:a:");
    path_finalseparator(a, 3);
    EXPECT_STREQ(a, "Disk:a:");
}

TEST_F(PathNames, NativePathOfANameInAFolder) {
    fsys::set_volumes_for_test(std::vector<fsys::Volume>{{"usb", "/media/usb"}});
    short app = id_of("/app");
    ASSERT_LT(app, 0);
    char out[KIVO_PATH_MAX];
    ASSERT_EQ(path_toabsolutesystempath(app, "new file.txt", out), 0);
    EXPECT_EQ(std::string(out), native("/app/new file.txt"));
    ASSERT_EQ(path_toabsolutesystempath(0, "usb:/a", out), 0);
    EXPECT_STREQ(out, "/media/usb/a");
    ASSERT_EQ(path_toabsolutesystempath(0, "Gone:/a", out), 0);
    EXPECT_STREQ(out, "/Volumes/Gone/a");
    EXPECT_EQ(path_toabsolutesystempath(-30000, "x", out), -1);
}

TEST_F(PathNames, FileUrlOfAFoundFile) {
    touch("/app/my file.txt");
    char url[KIVO_PATH_MAX];
    std::string name = canon("/app/my file.txt") + "#intro";
    ASSERT_EQ(path_tourl(name.c_str(), url), 0);
    EXPECT_EQ(std::string(url), "file://" + expand("/@/app/my%20file.txt") + "#intro");
    EXPECT_EQ(path_tourl(canon("/app/missing.txt").c_str(), url), -1);
}

} // namespace

// Fonts, text layout and the text of text boxes: measurement with pinned
// typefaces, the text field's layout information, and the fitting of a
// box's rectangle to its text.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "boxgeom_support.h"
#include "prefs/styles.h"
#include "ui/textfield_internal.h"

using namespace kivo::test::boxgeom;
using kivo::test::S;

namespace {

constexpr long kTextFlags = JBOX_FLAG_TEXTFIELD | JBOX_FLAG_TEXT | JBOX_FLAG_FONTATTR |
                            JBOX_FLAG_FIXWIDTH | JBOX_FLAG_TEXTJUSTIFICATION;

t_symbol *PR() { return gensym("patching_rect"); }

t_jfont *dejavu(double size) { return jfont_create("DejaVu Sans", JGRAPHICS_FONT_SLANT_NORMAL, JGRAPHICS_FONT_WEIGHT_NORMAL, size); }

double text_width(const char *text, double size = 12) {
    t_jfont *f = dejavu(size);
    double w = 0;
    jfont_text_measure(f, text, &w, nullptr);
    jfont_destroy(f);
    return w;
}

// A text box in DejaVu Sans 12 holding the text.
t_jbox *text_box(Scene &s, const char *text, t_rect r, long inlets = 1, long outlets = 1) {
    t_jbox *b = s.box(kTextFlags, {r.x, r.y, 200, 40}, inlets, outlets);
    if (!b->b_textfield) b->b_textfield = textfield_new_for(&b->b_ob);
    b->b_fontname = gensym("DejaVu Sans");
    b->b_fontsize = 12;
    b->b_fontface = 0;
    jbox_settext(b, text);
    b->b_redrawlevel = 0;
    b->b_patching_rect = r; // as stored, before any fitting
    return b;
}

t_textfield_layout layout(t_jbox *b, double width) {
    t_textfield_layout info = {};
    textfield_layout(b->b_textfield, width, b->b_patching_rect.height, &info);
    return info;
}

TEST(Fonts, MissingFamiliesMeasureAsTheStandInFamily) {
    t_jfont *missing = jfont_create("No Such Family Anywhere", JGRAPHICS_FONT_SLANT_NORMAL,
                                    JGRAPHICS_FONT_WEIGHT_NORMAL, 12);
    t_jfont *pinned = dejavu(12);
    ASSERT_NE(missing, nullptr);
    double wm = 0, wp = 0, hm = 0, hp = 0;
    jfont_text_measure(missing, "Patching boxes", &wm, &hm);
    jfont_text_measure(pinned, "Patching boxes", &wp, &hp);
    EXPECT_GT(wp, 50);
    EXPECT_DOUBLE_EQ(wm, wp);
    EXPECT_DOUBLE_EQ(hm, hp);
    EXPECT_EQ(jfont_get_family(missing), S("No Such Family Anywhere"));
    // The full height is more than the character height.
    EXPECT_GT(jfont_get_heighttocharheightratio(pinned), 1.0);
    t_jgraphics_font_extents e = {};
    jfont_extents(pinned, &e);
    EXPECT_NEAR(e.height, e.ascent + e.descent, 1e-4);
    EXPECT_DOUBLE_EQ(e.height, hp);
    // Twice the size, twice the width.
    EXPECT_NEAR(text_width("Patching boxes", 24), 2 * wp, 0.5);
    EXPECT_EQ(jfont_get_heighttocharheightratio(nullptr), 1.0);
    jfont_destroy(missing);
    jfont_destroy(pinned);
}

TEST(Fonts, ReferencesAndStyles) {
    t_jfont *f = jfont_create("DejaVu Sans", static_cast<t_jgraphics_font_slant>(2),
                              JGRAPHICS_FONT_WEIGHT_BOLD, 12);
    EXPECT_EQ(jfont_get_slant(f), 1);
    EXPECT_EQ(jfont_get_weight(f), 1);
    EXPECT_EQ(jfont_reference(f), f);
    jfont_destroy(f);
    EXPECT_DOUBLE_EQ(jfont_get_font_size(f), 12); // still referenced once
    // Bold text is wider than regular text.
    double bold = 0;
    jfont_text_measure(f, "Patching boxes", &bold, nullptr);
    EXPECT_GT(bold, text_width("Patching boxes"));
    jfont_destroy(f);
}

TEST(TextLayout, WrapsCutsAndReadsCharacters) {
    t_jfont *f = dejavu(12);
    double widest = std::max({text_width("alpha"), text_width("beta"), text_width("gamma")});
    double w = 0, h = 0;
    long lines = 0;
    jfont_text_measuretext_wrapped(f, "alpha beta gamma", widest + 1, 0, &w, &h, &lines);
    EXPECT_EQ(lines, 3);
    EXPECT_LE(w, widest + 1);
    jfont_text_measuretext_wrapped(f, "alpha beta gamma", 1000, 0, &w, &h, &lines);
    EXPECT_EQ(lines, 1);
    EXPECT_NEAR(w, text_width("alpha beta gamma"), 1.0);

    t_jtextlayout *t = jtextlayout_create();
    const char *longtext = "a rather long line of text that cannot fit";
    jtextlayout_set(t, longtext, f, 0, 0, 60, 20, JGRAPHICS_TEXT_JUSTIFICATION_LEFT,
                    JGRAPHICS_TEXTLAYOUT_USEELLIPSIS);
    long n = jtextlayout_getnumchars(t);
    ASSERT_GT(n, 0);
    EXPECT_LT(n, static_cast<long>(std::strlen(longtext)));
    long last = 0;
    ASSERT_EQ(jtextlayout_getchar(t, n - 1, &last), 0);
    EXPECT_TRUE(last == '.' || last == 0x2026) << last;
    jtextlayout_set(t, longtext, f, 0, 0, 60, 20, JGRAPHICS_TEXT_JUSTIFICATION_LEFT,
                    JGRAPHICS_TEXTLAYOUT_NOWRAP);
    ASSERT_EQ(jtextlayout_getchar(t, jtextlayout_getnumchars(t) - 1, &last), 0);
    EXPECT_NE(last, '.');

    // A top-left layout puts its first baseline at the rounded y plus the
    // ascent; a character's box starts one ascent above it.
    jtextlayout_set(t, "\xC3\xA9", f, 0, 10, 100, 40, JGRAPHICS_TEXT_JUSTIFICATION_LEFT,
                    static_cast<t_jgraphics_textlayout_flags>(0));
    ASSERT_EQ(jtextlayout_getchar(t, 0, &last), 0);
    EXPECT_EQ(last, 233);
    t_rect box = {};
    ASSERT_EQ(jtextlayout_getcharbox(t, 0, &box), 0);
    t_jgraphics_font_extents e = {};
    jfont_extents(f, &e);
    EXPECT_NEAR(box.y, std::round(10 + e.ascent) - e.ascent, 1e-3);
    EXPECT_EQ(jtextlayout_getcharbox(t, 1, &box), -1);
    // A zero width leaves the layout empty.
    jtextlayout_set(t, "abc", f, 0, 0, 0, 20, JGRAPHICS_TEXT_JUSTIFICATION_LEFT,
                    static_cast<t_jgraphics_textlayout_flags>(0));
    jtextlayout_measuretext(t, 0, -1, 1, &w, &h, &lines);
    EXPECT_EQ(lines, 0);
    EXPECT_EQ(w, 0);
    jtextlayout_destroy(t);
    jfont_destroy(f);
}

TEST(TextLayout, LegacyFontNumbers) {
    EXPECT_EQ(fontinfo_getnumber(S("ARIAL")), 139);
    EXPECT_EQ(fontinfo_getnumber(S("geneva")), 3);
    EXPECT_EQ(fontinfo_getnumber(S("no such font")), -1);
    EXPECT_EQ(fontinfo_getname(3), S("Geneva"));
    EXPECT_EQ(fontinfo_getname(400), S("Arial"));
    fontinfo_add(nullptr, 400, S("Kivo Sans"));
    EXPECT_EQ(fontinfo_getname(400), S("Kivo Sans"));
    EXPECT_EQ(fontinfo_getnumber(S("kivo sans")), 400);
    EXPECT_DOUBLE_EQ(fontinfo_getsize(12), 12);
}

TEST(TextField, LayoutInformation) {
    Scene s;
    t_jbox *b = text_box(s, "", {0, 0, 100, 22});
    t_jfont *f = dejavu(12);
    t_jgraphics_font_extents e = {};
    jfont_extents(f, &e);
    jfont_destroy(f);
    t_textfield_layout info = layout(b, 100);
    EXPECT_EQ(info.numlines, 0);
    EXPECT_NEAR(info.neededheight, e.height + 6, 1e-6); // one line even when empty
    EXPECT_DOUBLE_EQ(info.minwidth, 8);

    jbox_settext(b, "alpha beta gamma delta");
    info = layout(b, 1000);
    EXPECT_EQ(info.numlines, 1);
    EXPECT_NEAR(info.width, text_width("alpha beta gamma delta") + 8, 1.0);
    double widest = std::max({text_width("alpha"), text_width("beta"), text_width("gamma"),
                              text_width("delta")});
    EXPECT_NEAR(info.minwidth, widest + 8, 1e-6);
    info = layout(b, text_width("gamma") + 9);
    EXPECT_EQ(info.numlines, 4);
    EXPECT_NEAR(info.neededheight, 4 * e.height + 6, 1e-6);

    // The same through the message, as a box class would ask.
    double w = 1000, h = 22, minw = 0, need = 0;
    long lines = 0;
    object_method(b->b_textfield, S("getlayoutinfo"), reinterpret_cast<void *>(1), &w, &h, &lines,
                  &minw, &need);
    EXPECT_EQ(lines, 1);
    char *text = nullptr;
    long size = 0;
    object_method(b->b_textfield, S("gettextptr"), &text, &size);
    EXPECT_STREQ(text, "alpha beta gamma delta");
    EXPECT_EQ(size, 22);
}

TEST(BoxText, SizeRuleFitsTheText) {
    Scene s;
    t_jbox *b = text_box(s, "extraordinarily", {0, 0, 100, 22});
    jbox_setrect(b, PR(), 0, 0, 20, 12);
    // Raised to the width of the word, and then to the height of one line.
    t_textfield_layout info = layout(b, b->b_patching_rect.width);
    EXPECT_NEAR(b->b_patching_rect.width, text_width("extraordinarily") + 8, 1e-6);
    EXPECT_EQ(info.numlines, 1);
    EXPECT_DOUBLE_EQ(b->b_patching_rect.height, info.neededheight);
    // A box that grows both ways is left as asked (but not below the minimum).
    b->b_growboth = 1;
    jbox_setrect(b, PR(), 0, 0, 20, 12);
    EXPECT_DOUBLE_EQ(b->b_patching_rect.width, 20);
    EXPECT_DOUBLE_EQ(b->b_patching_rect.height, 12);
}

TEST(BoxText, RelineWidensUntilTheWantedLineCount) {
    Scene s;
    t_jbox *b = text_box(s, "alpha beta gamma delta epsilon zeta", {0, 0, 100, 22});
    ASSERT_EQ(layout(b, 100).numlines, 3);
    boxnotes().clear();
    jbox_reline(b, PR(), 2);
    double w = b->b_patching_rect.width;
    EXPECT_EQ(layout(b, w).numlines, 2);
    EXPECT_EQ(layout(b, w - 2).numlines, 3) << "stopped at the first width that fits";
    EXPECT_EQ(std::fmod(w - 100, 2.0), 0.0) << "steps of 2";
    EXPECT_NEAR(b->b_patching_rect.height, layout(b, w).neededheight, 1e-6);
    EXPECT_EQ(count_notes("textchanged", &b->b_ob), 1);

    // Asking for more lines narrows it again.
    jbox_reline(b, PR(), 3);
    EXPECT_EQ(layout(b, b->b_patching_rect.width).numlines, 3);
    EXPECT_LT(b->b_patching_rect.width, w);
}

TEST(BoxText, RelineGivesUpAboveTheWidthLimit) {
    Scene s;
    std::string text;
    for (int i = 0; i < 40; ++i) text += "word" + std::to_string(i) + " ";
    t_jbox *b = text_box(s, text.c_str(), {0, 0, 100, 22});
    ASSERT_GT(text_width(text.c_str()), 1200);
    jbox_reline(b, PR(), 1);
    EXPECT_DOUBLE_EQ(b->b_patching_rect.width, 100);
    EXPECT_GT(b->b_patching_rect.height, 22);
}

TEST(BoxText, RelineLeavesAnEllipsisFieldAlone) {
    Scene s;
    t_jbox *b = text_box(s, "alpha beta gamma delta epsilon zeta", {0, 0, 100, 22});
    object_attr_setchar(b->b_textfield, S("useellipsis"), 1);
    jbox_reline(b, PR(), 2);
    EXPECT_DOUBLE_EQ(b->b_patching_rect.width, 100);
    EXPECT_DOUBLE_EQ(b->b_patching_rect.height, 22);
}

TEST(BoxText, FixWidthFitsTheTextWithinLimits) {
    Scene s;
    std::string text;
    for (int i = 0; i < 60; ++i) text += "word ";
    t_jbox *wide = text_box(s, text.c_str(), {0, 0, 100, 22});
    jbox_bfixwidth(wide, S("bfixwidth"), 0, nullptr);
    EXPECT_LE(wide->b_patching_rect.width, 602);
    EXPECT_GT(wide->b_patching_rect.width, 500);
    EXPECT_GE(wide->b_patching_rect.height, layout(wide, 600).neededheight - 1e-6);

    // Never narrower than its inlets and outlets need.
    t_jbox *narrow = text_box(s, "a", {0, 100, 100, 22}, 4, 1);
    boxnotes().clear();
    object_method_typed(&narrow->b_ob, S("bfixwidth"), 0, nullptr, nullptr);
    EXPECT_DOUBLE_EQ(narrow->b_patching_rect.width, jbox_iowidth(narrow));
    EXPECT_EQ(count_notes("textchanged", &narrow->b_ob), 1);

    // Not in the presentation and no presentation rectangle: nothing.
    t_atom which = kivo::test::Y("presentation_rect");
    jbox_bfixwidth(narrow, S("bfixwidth"), 1, &which);
    EXPECT_DOUBLE_EQ(narrow->b_presentation_rect.width, 0);

    // An empty text is left alone.
    t_jbox *empty = text_box(s, "", {0, 200, 100, 22});
    jbox_bfixwidth(empty, S("bfixwidth"), 0, nullptr);
    EXPECT_DOUBLE_EQ(empty->b_patching_rect.width, 100);
}

TEST(BoxText, FontSizes) {
    Scene s;
    t_jbox *b = text_box(s, "abc", {0, 0, 100, 22});
    jbox_setfontsize(b, 2);
    EXPECT_DOUBLE_EQ(b->b_fontsize, 4);
    // Old files state sizes in another unit.
    jpatcher_cast(s.patcher)->fileversion = 0;
    jbox_setfontsize(b, 9);
    t_jfont *f = dejavu(9);
    double expected = 9 * 1.333333333333 / jfont_get_heighttocharheightratio(f);
    jfont_destroy(f);
    EXPECT_DOUBLE_EQ(b->b_fontsize, expected);
    EXPECT_LT(expected, 12);
}

TEST(BoxText, FontChangeKeepsTheTextsProportion) {
    Scene s;
    t_jbox *b = text_box(s, "hello", {0, 0, 100, 22});
    long lines = 0;
    double ratio = 0;
    jbox_measuretext(b, PR(), &lines, &ratio);
    EXPECT_EQ(lines, 1);
    EXPECT_NEAR(ratio, layout(b, 100).width / 100, 1e-9);
    jbox_updatefont(b, S("fontsize"), b->b_fontname, 0, 0, 24);
    EXPECT_DOUBLE_EQ(b->b_fontsize, 24);
    double used = layout(b, b->b_patching_rect.width).width;
    EXPECT_DOUBLE_EQ(b->b_patching_rect.width, std::ceil(used / ratio));
    EXPECT_GT(b->b_patching_rect.height, 22); // the larger font needs more height
}

TEST(BoxText, SettingTheFontMakesItTheBoxsOwn) {
    Scene s;
    t_jbox *b = text_box(s, "hello", {0, 0, 100, 22});
    object_style_init(&b->b_ob);
    ASSERT_TRUE(object_attr_getinherited(&b->b_ob, S("fontname")));
    jbox_updatefont(b, S("fontname"), S("DejaVu Sans"), 0, 0, 12);
    EXPECT_FALSE(object_attr_getinherited(&b->b_ob, S("fontname")));
    EXPECT_TRUE(object_attr_getinherited(&b->b_ob, S("fontsize")));
}

TEST(BoxText, SetTextRedrawsOnlyWithTheImageBuffer) {
    Scene s;
    t_jbox *b = text_box(s, "abc", {0, 0, 100, 22});
    b->b_useimagebuffer = 0;
    jbox_settext(b, "def");
    EXPECT_EQ(b->b_redrawlevel, 0);
    b->b_useimagebuffer = 1;
    jbox_settext(b, "ghi");
    EXPECT_EQ(b->b_redrawlevel, JBOX_REDRAW_BOX);
    EXPECT_STREQ(static_cast<char *>(object_method(b->b_textfield, S("getptr"))), "ghi");
}

TEST(BoxText, JustificationCodesGoToTheField) {
    Scene s;
    t_jbox *b = text_box(s, "abc", {0, 0, 100, 22});
    const long cases[][2] = {{0, 1}, {1, 4}, {2, 2}, {3, 1}, {-1, 1}};
    for (const auto &c : cases) {
        jbox_settextjustification(b, c[0]);
        EXPECT_EQ(object_attr_getlong(b->b_textfield, S("justification")), c[1]) << c[0];
    }
    EXPECT_EQ(b->b_textjustification, 0);
}

TEST(BoxText, TextFieldFollowsTheBoxText) {
    Scene s;
    t_jbox *b = text_box(s, "", {0, 0, 100, 22});
    ASSERT_NE(b->b_text, nullptr);
    t_atom atoms[3] = {kivo::test::Y("pack"), kivo::test::T(AT_DOLLAR, 1), kivo::test::T(AT_SEMI)};
    t_atombuf *text = atombuf_new(3, atoms);
    atombuf_free(b->b_text);
    b->b_text = text;
    jbox_updatetextfield_safe(b, 1);
    std::string shown = static_cast<char *>(object_method(b->b_textfield, S("getptr")));
    EXPECT_EQ(shown.rfind("pack $1", 0), 0u) << shown;
    EXPECT_NE(shown.find(';'), std::string::npos) << shown;
}

} // namespace

/*
 * Text layouts: a block of text placed in a rectangle by the UI library's
 * glyph arrangement, wrapped at the width (or cut to one line), and
 * measured from the placed glyphs.
 *
 * A layout owns its glyphs; jtextlayout_set always starts from an empty
 * arrangement. Line breaking, ellipsis placement and block justification
 * are the library's, so that what is measured is what a view draws.
 *
 * Main thread only.
 */
#include <cmath>

#include "graphics/jfont_internal.h"

struct _jtextlayout {
    juce::GlyphArrangement glyphs;
    t_jrgba textcolor{0, 0, 0, 1};
};

extern "C" {

t_jtextlayout *jtextlayout_create(void) { return new (std::nothrow) _jtextlayout; }

void jtextlayout_destroy(t_jtextlayout *layout) { delete layout; }

void jtextlayout_set(t_jtextlayout *layout, const char *utf8, t_jfont *font, double x, double y,
                     double width, double height, t_jgraphics_text_justification justification,
                     t_jgraphics_textlayout_flags flags) {
    if (!layout) return;
    layout->glyphs.clear();
    if (!font || !utf8 || width == 0 || height == 0) return;
    const int just = static_cast<int>(justification) & 0x7f;
    bool deferred = (just & (JGRAPHICS_TEXT_JUSTIFICATION_VCENTERED |
                             JGRAPHICS_TEXT_JUSTIFICATION_BOTTOM |
                             JGRAPHICS_TEXT_JUSTIFICATION_HJUSTIFIED)) != 0;
    const juce::Font &f = font->font;
    const float baseline = deferred ? 0.0f : static_cast<float>(std::round(y + f.getAscent()));
    const auto xi = static_cast<float>(std::round(x));
    const auto yi = static_cast<float>(std::round(y));
    const juce::String text = juce::String::fromUTF8(utf8);
    if (flags & JGRAPHICS_TEXTLAYOUT_NOWRAP) {
        const bool ellipsis = (flags & JGRAPHICS_TEXTLAYOUT_USEELLIPSIS) == JGRAPHICS_TEXTLAYOUT_USEELLIPSIS;
        layout->glyphs.addCurtailedLineOfText(f, text, xi, baseline, static_cast<float>(width),
                                              ellipsis);
        if (just > 1) deferred = true;
    } else {
        layout->glyphs.addJustifiedText(f, text, xi, baseline, static_cast<float>(width),
                                        juce::Justification(just));
    }
    if (deferred && layout->glyphs.getNumGlyphs() > 0)
        layout->glyphs.justifyGlyphs(0, layout->glyphs.getNumGlyphs(), xi, yi,
                                     static_cast<float>(width), static_cast<float>(height),
                                     juce::Justification(just));
}

void jtextlayout_settextcolor(t_jtextlayout *layout, const t_jrgba *color) {
    if (layout && color) layout->textcolor = *color;
}

void jtextlayout_measuretext(t_jtextlayout *layout, long startindex, long numchars,
                             long includeblanks, double *width, double *height, long *numlines) {
    if (!layout) return;
    const int n = layout->glyphs.getNumGlyphs();
    if (numlines) {
        // Lines are runs of consecutive glyphs on one baseline.
        long lines = 0;
        float last = 0;
        for (int i = 0; i < n; i++) {
            float b = layout->glyphs.getGlyph(i).getBaselineY();
            if (i == 0 || b != last) lines++;
            last = b;
        }
        *numlines = lines;
    }
    double w = 0, h = 0;
    if (startindex >= 0 && startindex < n) {
        int count = numchars < 0 ? n - static_cast<int>(startindex)
                                 : std::min<int>(static_cast<int>(numchars), n - static_cast<int>(startindex));
        if (count > 0) {
            juce::Rectangle<float> box =
                layout->glyphs.getBoundingBox(static_cast<int>(startindex), count, includeblanks != 0);
            w = box.getWidth();
            h = box.getHeight();
        }
    }
    if (width) *width = w;
    if (height) *height = h;
}

long jtextlayout_getnumchars(t_jtextlayout *layout) {
    return layout ? layout->glyphs.getNumGlyphs() : 0;
}

long jtextlayout_getcharbox(t_jtextlayout *layout, long index, t_rect *box) {
    if (!layout || !box || index < 0 || index >= layout->glyphs.getNumGlyphs()) return -1;
    const juce::PositionedGlyph &g = layout->glyphs.getGlyph(static_cast<int>(index));
    juce::Rectangle<float> b = g.getBounds();
    box->x = b.getX();
    box->y = b.getY();
    box->width = b.getWidth();
    box->height = b.getHeight();
    return 0;
}

long jtextlayout_getchar(t_jtextlayout *layout, long index, long *ch) {
    if (!layout || !ch || index < 0 || index >= layout->glyphs.getNumGlyphs()) return -1;
    *ch = static_cast<long>(layout->glyphs.getGlyph(static_cast<int>(index)).getCharacter());
    return 0;
}

// ---- geometry

long jgraphics_ptinrect(t_pt pt, t_rect r) {
    return pt.x >= r.x && pt.x < r.x + r.width && pt.y >= r.y && pt.y < r.y + r.height ? 1 : 0;
}

long jgraphics_ptinroundedrect(t_pt pt, t_rect r, double ovalwidth, double ovalheight) {
    if (!jgraphics_ptinrect(pt, r)) return 0;
    if (r.width >= 2 * ovalwidth && pt.x >= r.x + ovalwidth && pt.x < r.x + r.width - ovalwidth)
        return 1;
    if (r.height >= 2 * ovalwidth && pt.y >= r.y + ovalwidth && pt.y < r.y + r.height - ovalwidth)
        return 1;
    juce::Path path;
    path.addRoundedRectangle(static_cast<float>(r.x), static_cast<float>(r.y),
                             static_cast<float>(r.width), static_cast<float>(r.height),
                             static_cast<float>(ovalwidth), static_cast<float>(ovalheight), true,
                             true, true, true);
    return path.contains(static_cast<float>(pt.x), static_cast<float>(pt.y), 1.0f) ? 1 : 0;
}

long jgraphics_rectintersectsrect(t_rect *r1, t_rect *r2) {
    if (!r1 || !r2) return 0;
    bool hit = r1->x < r2->x + r2->width && r2->x < r1->x + r1->width &&
               r1->y < r2->y + r2->height && r2->y < r1->y + r1->height && r1->width > 0 &&
               r1->height > 0;
    return hit ? -1 : 0;
}

long jgraphics_rectcontainsrect(t_rect *outer, t_rect *inner) {
    if (!outer || !inner) return 0;
    bool in = inner->x >= outer->x && inner->x + inner->width <= outer->x + outer->width &&
              inner->y >= outer->y && inner->y + inner->height <= outer->y + outer->height;
    return in ? -1 : 0;
}

} // extern "C"

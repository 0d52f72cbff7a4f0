/*
 * Fonts, text layout and text measurement, and the legacy font numbers.
 *
 * A font (`t_jfont`) is reference counted: jfont_create and jfont_reference
 * give one reference, jfont_destroy drops one. Its size is the character
 * height in points (the em size), not the line height.
 *
 * Typefaces are found by family name through the system's font
 * configuration. A family the system does not have is replaced by one fixed
 * family (DejaVu Sans), never by whatever the machine happens to prefer, so
 * that text measures the same with and without a display and on every
 * machine that has the same font packages.
 *
 * A text layout (`t_jtextlayout`, not reference counted) is a block of text
 * wrapped or cut to a rectangle with a justification; it is measured after
 * jtextlayout_set.
 *
 * Main thread only (fonts and layouts are not shared between threads).
 */
#ifndef KIVO_JGRAPHICS_H
#define KIVO_JGRAPHICS_H

#include "kivo/object.h"
#include "kivo/jtypes.h"

KIVO_BEGIN_C


typedef struct _jfont t_jfont;
typedef struct _jtextlayout t_jtextlayout;

typedef enum {
    JGRAPHICS_FONT_SLANT_NORMAL = 0,
    JGRAPHICS_FONT_SLANT_ITALIC = 1
} t_jgraphics_font_slant;

typedef enum {
    JGRAPHICS_FONT_WEIGHT_NORMAL = 0,
    JGRAPHICS_FONT_WEIGHT_BOLD = 1
} t_jgraphics_font_weight;

/* Justification bits of jtextlayout_set (only the low seven are used). */
typedef enum {
    JGRAPHICS_TEXT_JUSTIFICATION_LEFT = 1,
    JGRAPHICS_TEXT_JUSTIFICATION_RIGHT = 2,
    JGRAPHICS_TEXT_JUSTIFICATION_HCENTERED = 4,
    JGRAPHICS_TEXT_JUSTIFICATION_TOP = 8,
    JGRAPHICS_TEXT_JUSTIFICATION_BOTTOM = 16,
    JGRAPHICS_TEXT_JUSTIFICATION_VCENTERED = 32,
    JGRAPHICS_TEXT_JUSTIFICATION_HJUSTIFIED = 64,
    JGRAPHICS_TEXT_JUSTIFICATION_CENTERED = 36
} t_jgraphics_text_justification;

/* Layout flags of jtextlayout_set. */
typedef enum {
    JGRAPHICS_TEXTLAYOUT_NOWRAP = 1,     /* one line, cut at the width */
    JGRAPHICS_TEXTLAYOUT_USEELLIPSIS = 3 /* one line, the cut marked with an ellipsis */
} t_jgraphics_textlayout_flags;

typedef struct _jgraphics_font_extents {
    double ascent;
    double descent;
    double height;             /* ascent + descent */
    double max_x_advance;      /* always 0 */
    double max_y_advance;      /* always 0 */
} t_jgraphics_font_extents;

/* ---- fonts */
/* One reference; null when no typeface at all can be made. Any non-zero
   slant or weight means italic or bold. */
KIVO_EXPORT t_jfont *jfont_create(const char *family, t_jgraphics_font_slant slant,
                                  t_jgraphics_font_weight weight, double size);
/* "Courier" when the number names no font. */
KIVO_EXPORT t_jfont *jfont_create_from_kivofont(short number, short size);
KIVO_EXPORT t_jfont *jfont_reference(t_jfont *font);
/* Null is ignored. */
KIVO_EXPORT void jfont_destroy(t_jfont *font);
KIVO_EXPORT long jfont_isequalto(t_jfont *a, t_jfont *b);
/* The family asked for (the empty symbol for null). */
KIVO_EXPORT t_symbol *jfont_get_family(t_jfont *font);
KIVO_EXPORT long jfont_get_slant(t_jfont *font);
KIVO_EXPORT long jfont_get_weight(t_jfont *font);
KIVO_EXPORT double jfont_get_font_size(t_jfont *font);
KIVO_EXPORT void jfont_set_font_size(t_jfont *font, double size);
KIVO_EXPORT void jfont_extents(t_jfont *font, t_jgraphics_font_extents *extents);
/* height: the font's full height; width: the whole string on one line.
   Null pointers are skipped. */
KIVO_EXPORT void jfont_text_measure(t_jfont *font, const char *utf8, double *width,
                                    double *height);
/* The text wrapped at wrapwidth, measured as jtextlayout_measuretext does. */
KIVO_EXPORT void jfont_text_measuretext_wrapped(t_jfont *font, const char *utf8,
                                                double wrapwidth, long includeblanks,
                                                double *width, double *height,
                                                long *numlines);
/* Full height over character height (the em size); 1.0 without a font. */
KIVO_EXPORT double jfont_get_heighttocharheightratio(t_jfont *font);

/* ---- text layouts */
KIVO_EXPORT t_jtextlayout *jtextlayout_create(void);
KIVO_EXPORT void jtextlayout_destroy(t_jtextlayout *layout);
/* Lays the text out in the rectangle; a width or height of exactly 0
   leaves the layout empty. */
KIVO_EXPORT void jtextlayout_set(t_jtextlayout *layout, const char *utf8, t_jfont *font,
                                 double x, double y, double width, double height,
                                 t_jgraphics_text_justification justification,
                                 t_jgraphics_textlayout_flags flags);
KIVO_EXPORT void jtextlayout_settextcolor(t_jtextlayout *layout, const t_jrgba *color);
/* The bounding box of glyphs startindex ... startindex + numchars - 1
   (numchars -1: to the end); blanks count only with includeblanks. The
   line count is that of the whole layout (0 when empty). */
KIVO_EXPORT void jtextlayout_measuretext(t_jtextlayout *layout, long startindex, long numchars,
                                         long includeblanks, double *width, double *height,
                                         long *numlines);
KIVO_EXPORT long jtextlayout_getnumchars(t_jtextlayout *layout);
/* 0, or -1 for a null argument or an index out of range. */
KIVO_EXPORT long jtextlayout_getcharbox(t_jtextlayout *layout, long index, t_rect *box);
KIVO_EXPORT long jtextlayout_getchar(t_jtextlayout *layout, long index, long *ch);

/* ---- geometry */
/* Half-open: the left and top edges are inside, the right and bottom not. */
KIVO_EXPORT long jgraphics_ptinrect(t_pt pt, t_rect rect);
/* The corner radii are ovalwidth and ovalheight; 0 and 0 make it a plain
   rectangle. */
KIVO_EXPORT long jgraphics_ptinroundedrect(t_pt pt, t_rect rect, double ovalwidth,
                                           double ovalheight);
/* -1 (all bits) when they overlap (touching is not enough) and r1 has a
   positive size, else 0. */
KIVO_EXPORT long jgraphics_rectintersectsrect(t_rect *r1, t_rect *r2);
/* -1 when inner lies inside outer, edges allowed to coincide, else 0. */
KIVO_EXPORT long jgraphics_rectcontainsrect(t_rect *outer, t_rect *inner);

/* ---- legacy font numbers */
KIVO_EXPORT void fontinfo_init(void);
/* Enters (number, name); the first argument is not used. */
KIVO_EXPORT void fontinfo_add(void *unused, long number, t_symbol *name);
/* The name stored for the number; "Arial" when none. */
KIVO_EXPORT t_symbol *fontinfo_getname(short number);
/* The number stored for the name (any case); -1 when none. */
KIVO_EXPORT long fontinfo_getnumber(t_symbol *name);
/* The size times the import font scale (1.0). */
KIVO_EXPORT double fontinfo_getsize(long size);

KIVO_END_C

#endif

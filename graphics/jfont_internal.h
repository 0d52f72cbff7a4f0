/*
 * The font record behind `t_jfont`, shared by the font and text-layout
 * code of graphics/. Only code inside the library includes this header (it
 * brings in the UI library).
 *
 * Used by: graphics/jfont.cpp, graphics/textlayout.cpp.
 */
#ifndef KIVO_GRAPHICS_JFONT_INTERNAL_H
#define KIVO_GRAPHICS_JFONT_INTERNAL_H

#include <atomic>

#include <juce_graphics/juce_graphics.h>

#include "kivo/jgraphics.h"

struct _jfont {
    std::atomic<int> refcount{1};
    juce::Font font;          // the typeface at the font's height
    t_symbol *family;         // the family asked for, which may differ from the typeface's
    long slant;               // 0 or 1
    long weight;              // 0 or 1
    double size;              // character height in points
};

namespace kivo::graphics {

// The typeface for a family and style: the family itself when the system
// has it, else the fixed stand-in family; never null.
juce::Typeface::Ptr typeface_for(const char *family, bool bold, bool italic);

} // namespace kivo::graphics

#endif

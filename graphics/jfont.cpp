/*
 * Fonts and the legacy font-number table.
 *
 * Typefaces come from font files that the system's font configuration
 * finds by family name; the file is read into memory and handed to the UI
 * library, so that the library's own font scan (which differs between
 * machines and between headless and windowed runs) never decides which
 * typeface a box measures with. A family that the configuration does not
 * really have (it always answers something) is replaced by the fixed
 * stand-in family, DejaVu Sans.
 *
 * Invariants:
 * - A resolved typeface is cached for the process under its family (lower
 *   case) and style; the cache only grows.
 * - A font's size is its character height: the library's font height is
 *   size / the typeface's height-to-points factor.
 * - The legacy tables are built once (fontinfo_init or the first
 *   fontinfo_add) and then only read.
 *
 * Main thread for fonts; the typeface cache is locked anyway, since the
 * library's glyph code may be reached from a paint on another thread.
 */
#include <fontconfig/fontconfig.h>

#include <cctype>
#include <cstdlib>
#include <cmath>
#include <map>
#include <mutex>
#include <string>

#include "graphics/jfont_internal.h"
#include "kivo/symbol.h"
#include "kivo/sysmem.h"

namespace {

const char *const k_standin_family = "DejaVu Sans";

std::string lower(const char *s) {
    std::string out = s ? s : "";
    for (char &c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::mutex g_face_lock;
std::map<std::string, juce::Typeface::Ptr> g_faces; // "family|b|i" -> typeface

// The file the font configuration holds for exactly this family, or "".
std::string font_file_for(const char *family, bool bold, bool italic) {
    // The configuration's caches go with the process; releasing them at
    // exit keeps leak checkers quiet about them.
    static bool fc_ready = [] {
        if (FcInit() != FcTrue) return false;
        std::atexit([] { FcFini(); });
        return true;
    }();
    if (!fc_ready || !family || !*family) return {};
    FcPattern *pat = FcPatternCreate();
    if (!pat) return {};
    FcPatternAddString(pat, FC_FAMILY, reinterpret_cast<const FcChar8 *>(family));
    FcPatternAddInteger(pat, FC_WEIGHT, bold ? FC_WEIGHT_BOLD : FC_WEIGHT_REGULAR);
    FcPatternAddInteger(pat, FC_SLANT, italic ? FC_SLANT_ITALIC : FC_SLANT_ROMAN);
    FcConfigSubstitute(nullptr, pat, FcMatchPattern);
    FcDefaultSubstitute(pat);
    FcResult result = FcResultNoMatch;
    FcPattern *match = FcFontMatch(nullptr, pat, &result);
    FcPatternDestroy(pat);
    if (!match) return {};
    std::string file;
    // The configuration substitutes look-alikes for missing families; only
    // a match whose own family names include the one asked for counts.
    bool same_family = false;
    FcChar8 *name = nullptr;
    for (int i = 0; FcPatternGetString(match, FC_FAMILY, i, &name) == FcResultMatch; i++)
        if (lower(reinterpret_cast<const char *>(name)) == lower(family)) same_family = true;
    FcChar8 *path = nullptr;
    if (same_family && FcPatternGetString(match, FC_FILE, 0, &path) == FcResultMatch && path)
        file = reinterpret_cast<const char *>(path);
    FcPatternDestroy(match);
    return file;
}

juce::Typeface::Ptr load_face(const std::string &file) {
    juce::MemoryBlock data;
    if (file.empty() || !juce::File(juce::String::fromUTF8(file.c_str())).loadFileAsData(data) ||
        data.getSize() == 0)
        return nullptr;
    juce::Typeface::Ptr face = juce::Typeface::createSystemTypefaceFor(data.getData(), data.getSize());
    if (face && face->getName().isEmpty()) return nullptr; // the file did not load as a font
    return face;
}

double font_scale() { return 1.0; }

void apply_size(t_jfont *f, double size) {
    f->size = size;
    auto points = static_cast<float>(size * font_scale());
    if (points < 0.1f) points = 0.1f;
    f->font = f->font.withPointHeight(points);
}

// ---- legacy font numbers

struct FontNumber {
    long number;
    t_symbol *name;
};
bool g_fontinfo_ready = false;
std::map<long, FontNumber> g_by_number;
std::map<std::string, FontNumber> g_by_name;

// The classic numbered fonts that old patchers name.
const struct {
    short number;
    const char *name;
} k_fontinfo_table[] = {
    {0, "Chicago"},      {1, "Geneva"},        {2, "New York"},  {3, "Geneva"},
    {4, "Monaco"},       {5, "Venice"},        {6, "London"},    {7, "Athens"},
    {8, "San Francisco"}, {9, "Toronto"},      {11, "Cairo"},    {12, "Los Angeles"},
    {16, "Palatino"},    {20, "Times"},        {21, "Helvetica"}, {22, "Courier"},
    {23, "Symbol"},      {24, "Taliesin"},     {139, "Arial"},   {1024, "Lucida Grande"},
};

void fontinfo_enter(long number, t_symbol *name) {
    if (!name) return;
    FontNumber rec{number, name};
    g_by_number[number] = rec;
    g_by_name[lower(name->name)] = rec;
}

} // namespace

namespace kivo::graphics {

juce::Typeface::Ptr typeface_for(const char *family, bool bold, bool italic) {
    std::string key = lower(family) + (bold ? "|b" : "|") + (italic ? "|i" : "|");
    std::lock_guard<std::mutex> lock(g_face_lock);
    auto it = g_faces.find(key);
    if (it != g_faces.end()) return it->second;
    juce::Typeface::Ptr face = load_face(font_file_for(family, bold, italic));
    if (!face) face = load_face(font_file_for(k_standin_family, bold, italic));
    if (!face) face = load_face(font_file_for(k_standin_family, false, false));
    if (!face) {
        // Without the stand-in family installed, whatever the library finds.
        int style = (bold ? juce::Font::bold : 0) | (italic ? juce::Font::italic : 0);
        face = juce::Font(juce::Font::getDefaultSansSerifFontName(), 12.0f, style).getTypefacePtr();
    }
    g_faces[key] = face;
    return face;
}

} // namespace kivo::graphics

extern "C" {

t_jfont *jfont_create(const char *family, t_jgraphics_font_slant slant,
                      t_jgraphics_font_weight weight, double size) {
    juce::Typeface::Ptr face =
        kivo::graphics::typeface_for(family ? family : "", weight != 0, slant != 0);
    if (!face) return nullptr;
    auto *f = new (std::nothrow) _jfont;
    if (!f) return nullptr;
    f->font = juce::Font(face);
    f->family = gensym(family ? family : "");
    f->slant = slant != 0;
    f->weight = weight != 0;
    apply_size(f, size);
    return f;
}

t_jfont *jfont_create_from_kivofont(short number, short size) {
    t_symbol *name = fontinfo_getname(number);
    const char *family = (name && *name->name) ? name->name : "Courier";
    return jfont_create(family, JGRAPHICS_FONT_SLANT_NORMAL, JGRAPHICS_FONT_WEIGHT_NORMAL, size);
}

t_jfont *jfont_reference(t_jfont *font) {
    if (font) font->refcount.fetch_add(1);
    return font;
}

void jfont_destroy(t_jfont *font) {
    if (font && font->refcount.fetch_sub(1) == 1) delete font;
}

long jfont_isequalto(t_jfont *a, t_jfont *b) {
    return a && b && a->font == b->font ? 1 : 0;
}

t_symbol *jfont_get_family(t_jfont *font) { return font ? font->family : gensym(""); }
long jfont_get_slant(t_jfont *font) { return font ? font->slant : 0; }
long jfont_get_weight(t_jfont *font) { return font ? font->weight : 0; }
double jfont_get_font_size(t_jfont *font) { return font ? font->size : 0; }

void jfont_set_font_size(t_jfont *font, double size) {
    if (font) apply_size(font, size);
}

void jfont_extents(t_jfont *font, t_jgraphics_font_extents *extents) {
    if (!font || !extents) return;
    extents->ascent = font->font.getAscent();
    extents->descent = font->font.getDescent();
    extents->height = font->font.getHeight();
    extents->max_x_advance = 0;
    extents->max_y_advance = 0;
}

void jfont_text_measure(t_jfont *font, const char *utf8, double *width, double *height) {
    if (!font) return;
    if (height) *height = font->font.getHeight();
    if (width && utf8) *width = font->font.getStringWidthFloat(juce::String::fromUTF8(utf8));
}

void jfont_text_measuretext_wrapped(t_jfont *font, const char *utf8, double wrapwidth,
                                    long includeblanks, double *width, double *height,
                                    long *numlines) {
    if (!font) return;
    t_jtextlayout *layout = jtextlayout_create();
    if (!layout) return;
    jtextlayout_set(layout, utf8, font, 0, 0, wrapwidth, 100, JGRAPHICS_TEXT_JUSTIFICATION_LEFT,
                    static_cast<t_jgraphics_textlayout_flags>(0));
    jtextlayout_measuretext(layout, 0, -1, includeblanks, width, height, numlines);
    jtextlayout_destroy(layout);
}

double jfont_get_heighttocharheightratio(t_jfont *font) {
    if (!font) return 1.0;
    juce::Typeface::Ptr face = font->font.getTypefacePtr();
    if (!face) return 1.0;
    double factor = face->getHeightToPointsFactor();
    return factor > 0 ? 1.0 / factor : 1.0;
}

// ---- legacy font numbers

void fontinfo_init(void) {
    if (g_fontinfo_ready) return;
    g_fontinfo_ready = true;
    for (const auto &row : k_fontinfo_table) fontinfo_enter(row.number, gensym(row.name));
}

void fontinfo_add(void *, long number, t_symbol *name) {
    fontinfo_init();
    fontinfo_enter(number, name);
}

t_symbol *fontinfo_getname(short number) {
    if (g_fontinfo_ready) {
        auto it = g_by_number.find(number);
        if (it != g_by_number.end()) return it->second.name;
    }
    // No system table of classic font numbers exists here.
    return gensym("Arial");
}

long fontinfo_getnumber(t_symbol *name) {
    if (!g_fontinfo_ready || !name) return -1;
    auto it = g_by_name.find(lower(name->name));
    return it == g_by_name.end() ? -1 : it->second.number;
}

double fontinfo_getsize(long size) { return static_cast<double>(size) * font_scale(); }

} // extern "C"

/*
 * Message text: the reader (current and old) and the two writers.
 *
 * Invariants:
 * - The reader never stores more than KIVO_TEXT_WORDMAX characters in the
 *   caller's word buffer, whatever the text (quotes and backslashes
 *   included), and never reads outside [*n, e).
 * - Every symbol atom it produces holds a symbol from gensym, never null.
 * - The buffer writer's text of a symbol reads back, through the current
 *   reader, as the same symbol; floats are the exception the float
 *   correction makes on purpose.
 * - Nothing here keeps state except the old-reader switch.
 */
#include "kivo/msgtext.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "kernel/msgtext_internal.h"
#include "kivo/class.h"
#include "kivo/dispatch.h"
#include "kivo/object.h"
#include "kivo/strutil.h"
#include "kivo/sysmem.h"

unsigned char g_kivo_floatcorrect = 1;

namespace {

// Set and restored by legacy loaders on the main thread only.
long g_oldreader = 0;

constexpr long kWordMax = KIVO_TEXT_WORDMAX;

inline bool is_white(unsigned char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

inline bool is_hex(char c) {
    return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

inline bool separates(char c, long flags) {
    return (c == ';' && !(flags & KIVO_TEXT_SEMI_ORDINARY)) || (c == ',' && !(flags & KIVO_TEXT_COMMA_ORDINARY));
}

inline bool valid_object(const t_object *x) {
    return x && x->magic == KIVO_OBJECT_MAGIC && x->messlist;
}

// "0x" followed by one or more hexadecimal digits, nothing else.
bool looks_hex(const char *w) {
    if (w[0] != '0' || w[1] != 'x' || !w[2]) return false;
    for (const char *p = w + 2; *p; ++p)
        if (!is_hex(*p)) return false;
    return true;
}

// Classifies a finished, unquoted word. dollar: its first raw character
// was '$'. A word is classified as the C text it becomes: a zero byte in
// the text ends it, so "$1<NUL>x" is the dollar atom its symbol would read
// back as.
void classify(const char *w, bool dollar, t_atom *ap) {
    const long len = static_cast<long>(std::strlen(w));
    if (dollar && len >= 2 && is_digit(w[1])) {
        if (len == 2) {
            ap->type = AT_DOLLAR;
            ap->value.w_long = w[1] - '0';
            return;
        }
        if (!(w[2] >= '1' && w[2] <= '9')) {
            ap->type = AT_DOLLSYM;
            ap->value.w_sym = gensym(w + 1);
            return;
        }
    }
    if (looks_hex(w)) {
        ap->type = AT_LONG;
        ap->value.w_long = static_cast<t_atom_long>(std::strtoull(w + 2, nullptr, 16));
        return;
    }
    const char *p = w[0] == '-' ? w + 1 : w;
    long dots = 0, digits = 0;
    bool numeric = *p != '\0';
    for (const char *q = p; numeric && *q; ++q) {
        if (*q == '.')
            ++dots;
        else if (is_digit(*q))
            ++digits;
        else
            numeric = false;
    }
    // A word of only a sign and dots ("." or "-.") has no value to read.
    if (numeric && digits > 0 && dots <= 1) {
        if (dots == 1) {
            ap->type = AT_FLOAT;
            ap->value.w_float = std::strtod(w, nullptr);
        } else {
            ap->type = AT_LONG;
            ap->value.w_long = static_cast<t_atom_long>(std::strtoll(w, nullptr, 10));
        }
        return;
    }
    ap->type = AT_SYM;
    ap->value.w_sym = gensym(w);
}

// Skips white space and reads a separator. Returns 1 with *ap set for a
// separator, 0 to go on reading a word at *i, -1 at the end of the text.
int start_atom(const char *text, t_atom_long *i, t_atom_long e, long flags, t_atom *ap) {
    while (*i < e && is_white(static_cast<unsigned char>(text[*i]))) ++*i;
    if (*i >= e) return -1;
    char c = text[*i];
    if (separates(c, flags)) {
        ap->type = c == ';' ? AT_SEMI : AT_COMMA;
        ap->value.w_long = 0;
        ++*i;
        return 1;
    }
    return 0;
}

bool args_ok(char *word, char **text, t_atom_long *n, t_atom *ap) {
    return word && text && *text && n && ap && *n >= 0;
}

long read_new(char *word, char **text, t_atom_long *n, t_atom_long e, t_atom *ap, long flags) {
    if (!args_ok(word, text, n, ap)) return 0;
    const char *t = *text;
    t_atom_long i = *n;
    int s = start_atom(t, &i, e, flags, ap);
    *n = i;
    if (s != 0) return s > 0 ? 1 : 0;
    bool dollar = t[i] == '$';
    long len = 0;
    bool inquote = false, quoted = false;
    // Inside quotes or after a backslash a full word drops what follows
    // instead of ending: a quoted stretch stays one atom.
    auto store = [&](char c) {
        if (len < kWordMax) word[len++] = c;
    };
    while (i < e) {
        char c = t[i];
        if (!inquote && len >= kWordMax) break;
        if (c == '\\') {
            ++i;
            if (i < e) store(t[i++]);
            continue;
        }
        if (c == '"') {
            ++i;
            if (inquote) quoted = true;
            inquote = !inquote;
            continue;
        }
        if (!inquote && (separates(c, flags) || is_white(static_cast<unsigned char>(c)))) break;
        store(c);
        ++i;
    }
    word[len] = '\0';
    *n = i;
    if (quoted) {
        ap->type = AT_SYM;
        ap->value.w_sym = gensym(word);
        return 1;
    }
    if (len == 0) return 0;
    classify(word, dollar, ap);
    return 1;
}

long read_old(char *word, char **text, t_atom_long *n, t_atom_long e, t_atom *ap) {
    if (!args_ok(word, text, n, ap)) return 0;
    const char *t = *text;
    t_atom_long i = *n;
    int s = start_atom(t, &i, e, 0, ap);
    *n = i;
    if (s != 0) return s > 0 ? 1 : 0;
    bool dollar = t[i] == '$';
    long len = 0;
    bool inquote = false, white = false, kept = false, stopped = false;
    long qstart = 0;
    t_atom_long qopen = -1;  // text index of the open stretch's quote
    while (i < e) {
        char c = t[i];
        if (len >= kWordMax || separates(c, 0)) {
            stopped = true;
            break;
        }
        if (c == '\\') {
            ++i;
            if (i < e) word[len++] = t[i++];
            continue;
        }
        if (c == '"') {
            ++i;
            if (!inquote) {
                inquote = true;
                white = false;
                qstart = len;
                qopen = i - 1;
            } else {
                inquote = false;
                // A stretch without white space keeps its quotes; when they
                // do not fit the word they are dropped instead.
                if (!white && len + 2 <= kWordMax) {
                    std::memmove(word + qstart + 1, word + qstart, static_cast<size_t>(len - qstart));
                    word[qstart] = '"';
                    len += 1;
                    word[len++] = '"';
                    kept = true;
                }
            }
            continue;
        }
        bool w = is_white(static_cast<unsigned char>(c));
        if (!inquote && w) break;
        if (w) white = true;
        word[len++] = c;
        ++i;
    }
    if (stopped && inquote && qopen == i - 1 && !kept && len < kWordMax) word[len++] = ' ';
    word[len] = '\0';
    *n = i;
    if (len == 0) return 0;
    classify(word, dollar, ap);
    return 1;
}

// Appends text with a backslash before each character that would
// otherwise end or change the word, stopping before the total passes
// kWordMax. Returns whether anything needed escaping.
bool escape_into(std::string &out, const char *in, long flags, bool white = false) {
    bool any = false;
    for (const char *p = in; *p; ++p) {
        char c = *p;
        bool special = c == '"' || c == '\\' || separates(c, flags) ||
                       (white && is_white(static_cast<unsigned char>(c)));
        long need = special ? 2 : 1;
        if (static_cast<long>(out.size()) + need > kWordMax) break;
        if (special) {
            out += '\\';
            any = true;
        }
        out += c;
    }
    return any;
}

// White space that the reader would split a word at, or a text that would
// read back as a number ("0x..." included).
bool must_quote(const char *s) {
    for (const char *p = s; *p; ++p)
        if (is_white(static_cast<unsigned char>(*p))) return true;
    if (looks_hex(s)) return true;
    const char *p = s[0] == '-' ? s + 1 : s;
    long dots = 0, digits = 0;
    for (; *p; ++p) {
        if (*p == '.')
            ++dots;
        else if (is_digit(*p))
            ++digits;
        else
            return false;
    }
    return digits > 0 && dots <= 1;
}

const char *symbol_name(const t_symbol *s) { return s && s->name ? s->name : ""; }

void append_float_buffer(std::string &out, double v) {
    // "%f" of the largest double is 316 characters.
    char num[400];
    std::snprintf(num, sizeof num, "%f", v);
    t_atom_long whole = 0;
    if (std::isfinite(v)) {
        double tr = std::trunc(v);
        whole = tr >= 9.2e18 ? INT64_MAX : tr <= -9.2e18 ? INT64_MIN : static_cast<t_atom_long>(tr);
    }
    eatzeros(num, whole);
    out += num;
}

void append_symbol_buffer(std::string &out, const t_symbol *sym, long flags) {
    const char *name = symbol_name(sym);
    if (!*name) {
        // An empty symbol must still be an item, or it vanishes on reading.
        out += "\"\"";
        return;
    }
    bool plain = name[0] != '$' && !must_quote(name);
    for (const char *p = name; *p && plain; ++p) plain = !(*p == '"' || *p == '\\' || separates(*p, flags));
    if (plain) {
        out += name;
        return;
    }
    char *buf = static_cast<char *>(std::malloc(KIVO_TEXT_WORDBUF));
    if (!buf) throw std::bad_alloc();
    if (!slash_flags(buf, name, flags)) strncpy_zero(buf, name, KIVO_TEXT_WORDBUF);
    requote(buf);
    out += buf;
    std::free(buf);
}

void append_item(std::string &out, const t_atom &a, long flags) {
    char num[64];
    switch (a.type) {
    case AT_LONG:
        std::snprintf(num, sizeof num, "%lld", static_cast<long long>(a.value.w_long));
        out += num;
        return;
    case AT_FLOAT:
        append_float_buffer(out, a.value.w_float);
        return;
    case AT_SYM:
        append_symbol_buffer(out, a.value.w_sym, flags);
        return;
    case AT_OBJ:
        out += '(';
        out += valid_object(a.value.w_obj) ? symbol_name(object_classname(a.value.w_obj)) : "?";
        out += ')';
        return;
    case AT_SEMI:
        out += ";\r";
        return;
    case AT_COMMA:
        out += ',';
        return;
    case AT_DOLLAR:
        std::snprintf(num, sizeof num, "$%lld", static_cast<long long>(a.value.w_long));
        out += num;
        return;
    case AT_DOLLSYM: {
        // Never quoted, so its white space is escaped instead: the reader
        // would split the word there.
        out += '$';
        std::string esc;
        escape_into(esc, symbol_name(a.value.w_sym), flags, true);
        out += esc;
        return;
    }
    default:
        out += "???";
        return;
    }
}

// ---- the atom-text writer

void append_symbol_display(std::string &out, const char *text, long flags, bool dollar) {
    bool quote = (flags & KIVO_GETTEXT_QUOTE) || (!(flags & KIVO_GETTEXT_PLAIN) && std::strchr(text, ' '));
    if (quote) {
        out += dollar ? "\"$" : "\"";
        for (const char *p = text; *p; ++p) {
            if (*p == '"' || *p == '\\') out += '\\';
            out += *p;
        }
        out += '"';
        return;
    }
    if (dollar) out += '$';
    if (flags & KIVO_GETTEXT_PLAIN) {
        out += text;
        return;
    }
    for (const char *p = text; *p; ++p) {
        if (std::strchr("\"\\,;$", *p)) out += '\\';
        out += *p;
    }
}

void append_object_display(std::string &out, t_object *x) {
    if (!valid_object(x)) {
        out += "<nogood_object>";
        return;
    }
    static t_symbol *const getvaluetext = gensym("getvaluetext");
    if (my_object_getmethod(x, getvaluetext)) {
        long size = 0;
        char *text = nullptr;
        object_method(x, getvaluetext, &size, &text);
        if (size && text) {
            out += text;
            sysmem_freeptr(text);
            return;
        }
        if (text) sysmem_freeptr(text);
    }
    out += symbol_name(object_classname(x));
}

void append_display(std::string &out, const t_atom &a, long flags) {
    char buf[400];
    switch (a.type) {
    case AT_LONG:
        std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(a.value.w_long));
        out += buf;
        return;
    case AT_DOLLAR:
        std::snprintf(buf, sizeof buf, "$%lld", static_cast<long long>(a.value.w_long));
        out += buf;
        return;
    case AT_FLOAT:
        // High resolution stays in fixed notation so the text reads back
        // as a float: "%g" could give "2" or "1e+20".
        if (flags & KIVO_GETTEXT_TWODIGITS)
            std::snprintf(buf, sizeof buf, "%.2f", a.value.w_float);
        else if (flags & KIVO_GETTEXT_HIRES)
            std::snprintf(buf, sizeof buf, "%.17f", a.value.w_float);
        else
            std::snprintf(buf, sizeof buf, "%f", a.value.w_float);
        if (!(flags & KIVO_GETTEXT_KEEPZEROS)) truncate_zeros(buf);
        out += buf;
        return;
    case AT_SYM:
    case AT_DOLLSYM:
        if (!a.value.w_sym || !a.value.w_sym->name) {
            out += "<unknown>";
            return;
        }
        append_symbol_display(out, a.value.w_sym->name, flags, a.type == AT_DOLLSYM);
        return;
    case AT_OBJ:
        append_object_display(out, a.value.w_obj);
        return;
    case AT_SEMI:
        out += ';';
        return;
    case AT_COMMA:
        out += ',';
        return;
    default:
        out += "<unknown>";
        return;
    }
}

} // namespace

// ---- the reader

long readatom_new_flags(char *word, char **text, t_atom_long *n, t_atom_long e, t_atom *ap, long flags) {
    return read_new(word, text, n, e, ap, flags);
}

long readatom_old(char *word, char **text, t_atom_long *n, t_atom_long e, t_atom *ap) {
    return read_old(word, text, n, e, ap);
}

long readatom_flags(char *word, char **text, t_atom_long *n, t_atom_long e, t_atom *ap, long flags) {
    return g_oldreader ? read_old(word, text, n, e, ap) : read_new(word, text, n, e, ap, flags);
}

long readatom(char *word, char **text, t_atom_long *n, t_atom_long e, t_atom *ap) {
    return readatom_flags(word, text, n, e, ap, 0);
}

long cmdlex_setoldreadatom(long on) {
    long was = g_oldreader;
    g_oldreader = on ? 1 : 0;
    return was;
}

// ---- escapes and quoting

long slash_flags(char *out, const char *in, long flags) {
    if (!out) return 0;
    out[0] = '\0';
    if (!in) return 0;
    std::string s;
    if (in[0] == '$' && is_digit(in[1])) {
        // The backslash keeps the reader from taking a dollar argument
        // ("$0" included, which it reads as one too); the rest is escaped
        // too, so a ';' after it cannot split the word.
        s += '\\';
        s += '$';
        escape_into(s, in + 1, flags);
    } else {
        bool special = false;
        for (const char *p = in; *p && !special; ++p)
            special = *p == '"' || *p == '\\' || separates(*p, flags);
        if (!special) return 0;
        escape_into(s, in, flags);
    }
    std::memcpy(out, s.data(), s.size());
    out[s.size()] = '\0';
    return 1;
}

long slash(char *out, const char *in) { return slash_flags(out, in, 0); }

void unslash(t_symbol **s) {
    if (!s || !*s || !(*s)->name || !std::strchr((*s)->name, '\\')) return;
    std::string r;
    for (const char *p = (*s)->name; *p && static_cast<long>(r.size()) < kWordMax; ++p) {
        if (*p == '\\') {
            if (!*++p) break;
        }
        r += *p;
    }
    *s = gensym(r.c_str());
}

long requote(char *s) {
    if (!s || !must_quote(s)) return 0;
    std::string q = "\"";
    constexpr size_t kInside = KIVO_TEXT_WORDMAX - 2;
    for (const char *p = s; *p; ++p) {
        if (*p == '\\') {
            char next = p[1];
            if (next == '"' || next == '\\') {
                // An escape pair is kept whole or not at all: a lone
                // backslash before the closing quote would swallow it.
                if (q.size() - 1 + 2 > kInside) break;
                q += '\\';
                q += next;
                ++p;
            }
            continue;
        }
        if (q.size() - 1 + 1 > kInside) break;
        q += *p;
    }
    q += '"';
    std::memcpy(s, q.data(), q.size());
    s[q.size()] = '\0';
    return 1;
}

// ---- float text

long correctfloat(char *f) {
    if (!f || std::strlen(f) < 4) return 0;
    if (f[1] == '9' && f[2] == '9') {
        if (f[0] == '9') return 1;
        f[0] = static_cast<char>(f[0] + 1);
        f[1] = '\0';
    } else if (f[2] == '9' && (f[3] == '8' || f[3] == '9')) {
        f[1] = static_cast<char>(f[1] + 1);
        f[2] = '\0';
    } else if (f[2] == '0' && f[3] == '0') {
        if (f[1] != '0')
            f[2] = '\0';
        else
            f[f[0] != '0' ? 1 : 0] = '\0';
    } else if (f[1] == '0' && f[2] == '0') {
        f[f[0] != '0' ? 1 : 0] = '\0';
    }
    return 0;
}

void incrementintegerpart(char *s, long dir) {
    if (!s) return;
    // Read as 64 bits: integer parts past 32 bits would otherwise wrap.
    long long v = std::strtoll(s, nullptr, 10);
    if (dir > 0 && v < INT64_MAX)
        ++v;
    else if (dir < 0 && v > INT64_MIN)
        --v;
    // The result is never longer than the text it replaces, which holds a
    // point and five fraction digits.
    std::snprintf(s, std::strlen(s) + 1, "%lld.", v);
}

void eatzeros(char *s, t_atom_long whole) {
    if (!s) return;
    char *point = std::strchr(s, '.');
    if (!point) return;
    char *end = s + std::strlen(s);
    while (end > point + 1 && end[-1] == '0') *--end = '\0';
    long fraction = static_cast<long>(end - point - 1);
    if (g_kivo_floatcorrect && (whole >= 2 || whole <= -2) && fraction >= 5 && point > s) {
        if (correctfloat(point + 1)) incrementintegerpart(s, whole > 0 ? 1 : -1);
    }
}

// ---- the writers

long msgtext_totext(long ac, const t_atom *av, t_handle h, t_ptr_size *size, long flags) {
    if (size) *size = 0;
    if (!h) return 1;
    std::string out;
    bool ok = ac >= 0 && (ac == 0 || av);
    try {
        for (long i = 0; ok && i < ac; ++i) {
            short type = av[i].type;
            if (i > 0 && type != AT_SEMI && type != AT_COMMA && av[i - 1].type != AT_SEMI) out += ' ';
            append_item(out, av[i], flags);
        }
    } catch (const std::bad_alloc &) {
        ok = false;
    }
    unsigned char locked = sysmem_lockhandle(h, 0);
    if (ok && sysmem_resizehandle(h, out.size()) == 0) {
        if (!out.empty()) std::memcpy(*h, out.data(), out.size());
        if (size) *size = out.size();
    } else {
        sysmem_resizehandle(h, 1);
        ok = false;
    }
    if (locked) sysmem_lockhandle(h, 1);
    return ok ? 0 : 1;
}

t_kivo_err atom_gettext(long ac, const t_atom *av, long *textsize, char **text, long flags) {
    if (!textsize || !text) return KIVO_ERR_GENERIC;
    bool caller_buffer = *text && *textsize > 0;
    if (ac < 0 || (ac > 0 && !av)) return KIVO_ERR_GENERIC;
    std::string out;
    try {
        const char *sep = (flags & KIVO_GETTEXT_COMMAS) ? ", " : " ";
        for (long i = 0; i < ac; ++i) {
            append_display(out, av[i], flags);
            if (i + 1 < ac && av[i + 1].type != AT_COMMA) out += sep;
        }
    } catch (const std::bad_alloc &) {
        return KIVO_ERR_GENERIC;
    }
    if (caller_buffer) {
        strncpy_zero(*text, out.c_str(), *textsize);
        return KIVO_ERR_NONE;
    }
    if (ac == 0) {
        *text = sysmem_newptr(1);
        if (*text) (*text)[0] = '\0';
        *textsize = 0;
        return KIVO_ERR_NONE;
    }
    *text = sysmem_newptr(out.size() + 1);
    if (!*text) return KIVO_ERR_NONE;
    std::memcpy(*text, out.c_str(), out.size() + 1);
    *textsize = static_cast<long>(out.size() + 1);
    return KIVO_ERR_NONE;
}

/*
 * Atoms.
 *
 * - An atom owns nothing: symbols live for ever, object pointers are plain
 *   references, so atoms are copied by value and never freed.
 * - The type picks the union member: w_long for AT_LONG and AT_DOLLAR,
 *   w_float for AT_FLOAT, w_sym for AT_SYM and AT_DOLLSYM, w_obj for AT_OBJ;
 *   separators carry nothing.
 * - Setters and getters neither allocate nor lock (a symbol that is no
 *   number posts a warning, nothing else does).
 * - atom_string and attostr write static buffers (main thread or
 *   diagnostics only); everything else, atom_replacearg included, works in
 *   the caller's or its own stack memory.
 */
#include "kivo/atom.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kernel/atom_internal.h"
#include "kivo/class.h"
#include "kivo/commonsyms.h"
#include "kivo/post.h"
#include "kivo/strutil.h"

namespace {

constexpr std::size_t kTextSize = 32768;  // static text buffers; also the replacement limit

char g_atom_string[kTextSize];
char g_attostr[kTextSize];

// How a float is written by format(): the display form, the exact form of
// argument replacement, or not at all (attostr cannot tell a double from
// the value word alone).
enum class FloatForm { Display, Exact, Unknown };

t_symbol *empty_symbol() {
    return ps_ ? ps_ : gensym("");
}

const char *symbol_text(const t_symbol *s) {
    return (s && s->name) ? s->name : "";
}

// Truncation toward zero that stays defined for NaN and for values outside
// the 64-bit range (the bare conversion is undefined behaviour there).
t_atom_long float_to_long(double f) {
    if (std::isnan(f)) return 0;
    if (f >= 9223372036854775808.0) return INT64_MAX;
    if (f < -9223372036854775808.0) return INT64_MIN;
    return static_cast<t_atom_long>(f);
}

bool is_valid_object(const t_object *x) {
    return x && x->magic == KIVO_OBJECT_MAGIC && x->messlist;
}

// An object atom's text: its class name, "NULL" for a null pointer, "?"
// for a pointer that holds no live object (its class cannot be trusted).
const char *object_text(t_object *x) {
    if (!x) return "NULL";
    if (!is_valid_object(x)) return "?";
    return object_classname(x)->name;
}

bool object_of_class(const t_atom *a, t_symbol *classname) {
    return a && a->type == AT_OBJ && is_valid_object(a->value.w_obj) && classname &&
           object_classname(a->value.w_obj) == classname;
}

void format(short type, const t_word &w, FloatForm form, char *buf, std::size_t size) {
    switch (type) {
    case AT_NOTHING:
        strncpy_zero(buf, "(end)", static_cast<long>(size));
        break;
    case AT_LONG:
        snprintf_zero(buf, size, "%lld", static_cast<long long>(w.w_long));
        break;
    case AT_FLOAT:
        if (form == FloatForm::Display) {
            snprintf_zero(buf, size, "%.2f", w.w_float);
        } else if (form == FloatForm::Exact) {
            // "%f" of the largest double is 316 characters.
            char num[400];
            snprintf_zero(num, sizeof num, "%f", w.w_float);
            truncate_zeros(num);
            strncpy_zero(buf, num, static_cast<long>(size));
        } else {
            strncpy_zero(buf, "?", static_cast<long>(size));
        }
        break;
    case AT_SYM:
        strncpy_zero(buf, symbol_text(w.w_sym), static_cast<long>(size));
        break;
    case AT_OBJ:
        strncpy_zero(buf, object_text(w.w_obj), static_cast<long>(size));
        break;
    case AT_SEMI:
        strncpy_zero(buf, ";", static_cast<long>(size));
        break;
    case AT_COMMA:
        strncpy_zero(buf, ",", static_cast<long>(size));
        break;
    case AT_DOLLAR:
        snprintf_zero(buf, size, "$%lld", static_cast<long long>(w.w_long));
        break;
    case AT_DOLLSYM:
        snprintf_zero(buf, size, "$%s", symbol_text(w.w_sym));
        break;
    default:
        strncpy_zero(buf, "?", static_cast<long>(size));
        break;
    }
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// What a reference to argument n becomes when it stands alone; false (and
// the atom unchanged) only when the "#N" symbol could not be made.
bool replace_whole(t_atom *a, t_atom_long n, long argc, const t_atom *argv, long keepmissing) {
    if (n >= 0 && n < argc) {
        *a = argv[n];
    } else if (keepmissing) {
        char name[32];
        snprintf_zero(name, sizeof name, "#%lld", static_cast<long long>(n));
        t_symbol *s = gensym(name);
        if (!s) return false;
        atom_setsym(a, s);
    } else {
        atom_setlong(a, 0);
    }
    return true;
}

// The symbol of argument n's text followed by rest; null when memory ran
// out (gensym has reported it).
//
// The text is written into this frame rather than through atom_string:
// that buffer is shared by every thread, and its "%.2f" would write the
// argument 0.125 as "0.12".
t_symbol *splice(long n, const char *rest, long argc, const t_atom *argv, long keepmissing) {
    char text[kTextSize];
    if (n < argc)
        atom_text_exact(&argv[n], text, sizeof text);
    else if (keepmissing)
        snprintf_zero(text, sizeof text, "#%ld", n);
    else
        strncpy_zero(text, "0", sizeof text);
    strncat_zero(text, rest, sizeof text);  // cut at 32,767 characters
    return gensym(text);
}

} // namespace

void atom_text_exact(const t_atom *a, char *buf, std::size_t size) {
    if (!buf || size == 0) return;
    if (!a) {
        buf[0] = '\0';
        return;
    }
    format(a->type, a->value, FloatForm::Exact, buf, size);
}

t_kivo_err atom_setlong(t_atom *a, t_atom_long b) {
    if (!a) return KIVO_ERR_INVALID_PTR;
    a->type = AT_LONG;
    a->value.w_long = b;
    return KIVO_ERR_NONE;
}

t_kivo_err atom_setfloat(t_atom *a, double b) {
    if (!a) return KIVO_ERR_INVALID_PTR;
    a->type = AT_FLOAT;
    a->value.w_float = b;
    return KIVO_ERR_NONE;
}

t_kivo_err atom_setsym(t_atom *a, t_symbol *b) {
    if (!a) return KIVO_ERR_INVALID_PTR;
    a->type = AT_SYM;
    a->value.w_sym = b;
    return KIVO_ERR_NONE;
}

t_kivo_err atom_setobj(t_atom *a, void *b) {
    if (!a) return KIVO_ERR_INVALID_PTR;
    a->type = AT_OBJ;
    a->value.w_obj = static_cast<t_object *>(b);
    return KIVO_ERR_NONE;
}

long atom_gettype(const t_atom *a) {
    return a ? a->type : static_cast<long>(AT_NOTHING);
}

t_atom_long atom_getlong(const t_atom *a) {
    if (!a) return 0;
    switch (a->type) {
    case AT_LONG:
        return a->value.w_long;
    case AT_FLOAT:
        return float_to_long(a->value.w_float);
    case AT_SYM: {
        // "%lld" reading: blanks skipped, stops at the first misfit. strtoll
        // reads the same way and, unlike sscanf, is defined on overflow.
        const char *text = symbol_text(a->value.w_sym);
        char *end;
        long long v = std::strtoll(text, &end, 10);
        if (end == text) {
            warn("%s: bad number", text);
            return 0;
        }
        return v;
    }
    default:
        return 0;
    }
}

t_atom_float atom_getfloat(const t_atom *a) {
    if (!a) return 0;
    switch (a->type) {
    case AT_LONG:
        return static_cast<t_atom_float>(a->value.w_long);
    case AT_FLOAT:
        return a->value.w_float;
    case AT_SYM: {
        // "%f" into a 32-bit float, then widened: "0.1" gives 0.1f exactly.
        const char *text = symbol_text(a->value.w_sym);
        char *end;
        float v = std::strtof(text, &end);
        if (end == text) {
            warn("%s: bad number", text);
            return 0;
        }
        return v;
    }
    default:
        return 0;
    }
}

t_symbol *atom_getsym(const t_atom *a) {
    if (a && a->type == AT_SYM && a->value.w_sym) return a->value.w_sym;
    return empty_symbol();
}

long atomisstring(const t_atom *a) {
    return object_of_class(a, _sym(string));
}

long atomisatomarray(const t_atom *a) {
    return object_of_class(a, _sym(atomarray));
}

long atomisdictionary(const t_atom *a) {
    return object_of_class(a, _sym(dictionary));
}

void *atom_getobjclass(const t_atom *a, t_symbol *classname) {
    return object_of_class(a, classname) ? a->value.w_obj : nullptr;
}

void *atom_getobj(const t_atom *a) {
    return (a && a->type == AT_OBJ) ? a->value.w_obj : nullptr;
}

long atom_getcharfix(const t_atom *a) {
    if (!a) return 0;
    if (a->type == AT_FLOAT) {
        double v = a->value.w_float * 255.0;
        if (!(v > 0)) return 0;  // NaN too
        if (v >= 255) return 255;
        return static_cast<long>(v);
    }
    if (a->type == AT_LONG) {
        t_atom_long v = a->value.w_long;
        return v < 0 ? 0 : v > 255 ? 255 : static_cast<long>(v);
    }
    return 0;
}

t_atom_long atom_toint(const t_atom *a) {
    if (!a) return 0;
    if (a->type == AT_LONG) return a->value.w_long;
    if (a->type == AT_FLOAT) return float_to_long(a->value.w_float);
    return 0;
}

t_atom_float atom_tofloat(const t_atom *a) {
    if (!a) return 0;
    if (a->type == AT_FLOAT) return a->value.w_float;
    if (a->type == AT_LONG) return static_cast<t_atom_float>(a->value.w_long);
    return 0;
}

// A negative index is refused too: it would read before the array.
#define ARG_IN_RANGE(c, idx, ac, av) ((c) && (av) && (ac) != 0 && (idx) >= 0 && (idx) < (ac))

t_kivo_err atom_arg_getlong(t_atom_long *c, long idx, long ac, const t_atom *av) {
    if (!ARG_IN_RANGE(c, idx, ac, av)) return KIVO_ERR_GENERIC;
    *c = atom_getlong(av + idx);
    return KIVO_ERR_NONE;
}

t_kivo_err atom_arg_getfloat(float *c, long idx, long ac, const t_atom *av) {
    if (!ARG_IN_RANGE(c, idx, ac, av)) return KIVO_ERR_GENERIC;
    *c = static_cast<float>(atom_getfloat(av + idx));
    return KIVO_ERR_NONE;
}

t_kivo_err atom_arg_getdouble(double *c, long idx, long ac, const t_atom *av) {
    if (!ARG_IN_RANGE(c, idx, ac, av)) return KIVO_ERR_GENERIC;
    *c = atom_getfloat(av + idx);
    return KIVO_ERR_NONE;
}

t_kivo_err atom_arg_getsym(t_symbol **c, long idx, long ac, const t_atom *av) {
    if (!ARG_IN_RANGE(c, idx, ac, av)) return KIVO_ERR_GENERIC;
    *c = atom_getsym(av + idx);
    return KIVO_ERR_NONE;
}

#undef ARG_IN_RANGE

long atom_equal(const t_atom *a, const t_atom *b) {
    if (!a || !b) return 0;
    if (a->type == AT_LONG && b->type == AT_LONG) return a->value.w_long == b->value.w_long;
    if (a->type == AT_FLOAT && b->type == AT_FLOAT) return a->value.w_float == b->value.w_float;
    if (a->type == AT_SYM && b->type == AT_SYM) return a->value.w_sym == b->value.w_sym;
    if ((a->type == AT_LONG && b->type == AT_FLOAT) || (a->type == AT_FLOAT && b->type == AT_LONG)) {
        t_atom_long l = a->type == AT_LONG ? a->value.w_long : b->value.w_long;
        double f = a->type == AT_FLOAT ? a->value.w_float : b->value.w_float;
        // Out of range (or NaN) can match no long; this also keeps the
        // truncation below defined.
        if (!(f > -9223372036854775808.0 && f < 9223372036854775808.0)) return 0;
        double whole = std::trunc(f);
        return static_cast<t_atom_long>(whole) == l && std::fabs(f - whole) < 0.001;
    }
    return 0;
}

const char *atom_string(const t_atom *a) {
    if (!a) {
        format(AT_NOTHING, t_word{}, FloatForm::Display, g_atom_string, kTextSize);
        return g_atom_string;
    }
    format(a->type, a->value, FloatForm::Display, g_atom_string, kTextSize);
    return g_atom_string;
}

const char *attostr(char type, const t_word *value) {
    bool valueless = type == AT_NOTHING || type == AT_SEMI || type == AT_COMMA;
    if (!value && !valueless) {
        strncpy_zero(g_attostr, "?", kTextSize);
        return g_attostr;
    }
    format(type, value ? *value : t_word{}, FloatForm::Unknown, g_attostr, kTextSize);
    return g_attostr;
}

void appendatom(const t_atom *a, char *text) {
    if (!a || !text) return;
    char *end = text + std::strlen(text);
    switch (a->type) {
    case AT_LONG:
        std::sprintf(end, "%lld ", static_cast<long long>(a->value.w_long));
        break;
    case AT_FLOAT:
        std::sprintf(end, "%f ", a->value.w_float);
        break;
    case AT_SYM:
        std::sprintf(end, "%s ", symbol_text(a->value.w_sym));
        break;
    case AT_OBJ:
        std::sprintf(end, "%s ", object_text(a->value.w_obj));
        break;
    case AT_DOLLAR:
        std::sprintf(end, "$%lld ", static_cast<long long>(a->value.w_long));
        break;
    case AT_DOLLSYM:
        std::sprintf(end, "$%s ", symbol_text(a->value.w_sym));
        break;
    default:
        break;
    }
}

void atoms_totext(char *text, short ac, const t_atom *av) {
    if (!text) return;
    text[0] = '\0';
    if (!av) return;
    for (short i = 0; i < ac; i++) appendatom(av + i, text);
    std::size_t len = std::strlen(text);
    if (len > 0 && text[len - 1] == ' ') text[len - 1] = '\0';
}

long atom_replacearg(t_atom *a, long argc, const t_atom *argv, char prefix, long keepmissing,
                     long keepstring) {
    // keepstring only matters for string objects, whose text is not read
    // here yet; symbol atoms own nothing that could be freed.
    (void)keepstring;
    if (!a) return 0;
    if (!argv || argc < 0) argc = 0;

    if (a->type == AT_SYM) {
        const char *text = symbol_text(a->value.w_sym);
        if (text[0] != prefix || !is_digit(text[1])) return 0;
        long n = text[1] - '0';
        if (text[2] == '\0') return replace_whole(a, n, argc, argv, keepmissing) ? 1 : 0;
        t_symbol *s = splice(n, text + 2, argc, argv, keepmissing);
        if (!s) return 0;
        atom_setsym(a, s);
        return 1;
    }
    if (prefix != '$') return 0;
    if (a->type == AT_DOLLSYM) {
        const char *text = symbol_text(a->value.w_sym);
        if (!is_digit(text[0])) return 0;
        t_symbol *s = splice(text[0] - '0', text + 1, argc, argv, keepmissing);
        if (!s) return 0;
        atom_setsym(a, s);
        return 1;
    }
    if (a->type == AT_DOLLAR) return replace_whole(a, a->value.w_long, argc, argv, keepmissing) ? 1 : 0;
    return 0;
}

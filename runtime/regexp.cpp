/*
 * The "kivopcre" class: one compiled PCRE2 pattern and an optional
 * substitution template.
 *
 *   - code and tables change together: a pattern is compiled with tables
 *     built from the locale at that moment, and both are replaced only
 *     when the new compilation succeeds, so an object always matches with
 *     a pattern that compiled (or has none).
 *   - Every match runs under a match context with match, depth and heap
 *     limits; a pathological pattern fails with PCRE2's limit code, which
 *     execute answers like any other matching error.
 *   - Results are built in arrays that free what they hold (flag 1); they
 *     reach the caller only when execute answers 0.
 *
 * The loop over matches follows PCRE2's own recipe for finding every
 * match: after an empty match the next attempt is anchored and may not be
 * empty at its start; when that fails the start moves on by one character
 * (a CRLF pair counting as one where the newline convention says so).
 */
#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "app/startup.h"
#include "kernel/obex_internal.h"
#include "kivo/atom.h"
#include "kivo/class.h"
#include "kivo/commonsyms.h"
#include "kivo/msgtext.h"
#include "kivo/post.h"
#include "kivo/regexp.h"
#include "kivo/sysmem.h"

using kivo::obex::as_method;

namespace {

t_class *s_pcre_class = nullptr;

// Group vector: the whole match and 255 groups.
constexpr uint32_t kPairs = 256;
constexpr long kMaxGroups = kPairs - 1;

// Bounds of one match attempt. The match limit counts internal calls of
// the matcher; a few million take well under a second on a slow machine.
constexpr uint32_t kMatchLimit = 2000000;
constexpr uint32_t kDepthLimit = 100000;
constexpr uint32_t kHeapLimitKiB = 64 * 1024;

pcre2_code *code_of(t_kivopcre *x) { return static_cast<pcre2_code *>(x->code); }

void free_tables(void *tables) {
    if (tables) pcre2_maketables_free(nullptr, static_cast<const uint8_t *>(tables));
}

// A matched text as the message-text reader sees it: exactly one atom when
// the text reads as one, else a symbol of the whole text.
t_atom text_atom(const char *s, size_t len) {
    t_atom a;
    atom_setsym(&a, gensym(""));
    if (len == 0) return a;
    std::string text(s, len);
    // Longer texts cannot be a single word of the reader; they become a
    // symbol, cut by the symbol table to its longest name.
    if (len <= KIVO_TEXT_WORDMAX) {
        std::unique_ptr<char[]> word(new (std::nothrow) char[KIVO_TEXT_WORDBUF]);
        if (word) {
            char *src = text.data();
            t_atom_long pos = 0;
            const auto end = static_cast<t_atom_long>(len);
            t_atom first, second;
            if (readatom(word.get(), &src, &pos, end, &first) &&
                !readatom(word.get(), &src, &pos, end, &second) &&
                (first.type == AT_LONG || first.type == AT_FLOAT || first.type == AT_SYM)) {
                return first;
            }
        }
    }
    atom_setsym(&a, gensym(text.c_str()));
    return a;
}

t_atomarray *owning_array() {
    t_atomarray *a = atomarray_new(0, nullptr);
    if (a) atomarray_flags(a, ATOMARRAY_FLAG_FREECHILDREN);
    return a;
}

struct Matcher {
    t_kivopcre *x;
    const char *subject;
    PCRE2_SIZE length;
    pcre2_match_data *md = nullptr;
    pcre2_match_context *mctx = nullptr;
    uint32_t groups = 0;
    bool utf = false;
    bool crlf_newline = false;

    ~Matcher() {
        if (md) pcre2_match_data_free(md);
        if (mctx) pcre2_match_context_free(mctx);
    }

    bool setup() {
        pcre2_code *code = code_of(x);
        md = pcre2_match_data_create(kPairs, nullptr);
        mctx = pcre2_match_context_create(nullptr);
        if (!md || !mctx) return false;
        pcre2_set_match_limit(mctx, kMatchLimit);
        pcre2_set_depth_limit(mctx, kDepthLimit);
        pcre2_set_heap_limit(mctx, kHeapLimitKiB);
        uint32_t capture = 0, options = 0, newline = 0;
        pcre2_pattern_info(code, PCRE2_INFO_CAPTURECOUNT, &capture);
        pcre2_pattern_info(code, PCRE2_INFO_ALLOPTIONS, &options);
        pcre2_pattern_info(code, PCRE2_INFO_NEWLINE, &newline);
        groups = capture > kMaxGroups ? kMaxGroups : capture;
        utf = (options & PCRE2_UTF) != 0;
        crlf_newline = newline == PCRE2_NEWLINE_ANY || newline == PCRE2_NEWLINE_CRLF ||
                       newline == PCRE2_NEWLINE_ANYCRLF;
        return true;
    }

    int match(PCRE2_SIZE start, uint32_t options) {
        int rc = pcre2_match(code_of(x), reinterpret_cast<PCRE2_SPTR>(subject), length, start,
                             options, md, mctx);
        if (rc == 0) {
            post("too many substrings, max: %d\n", static_cast<int>(kMaxGroups));
            rc = static_cast<int>(kPairs);
        }
        return rc;
    }

    // Appends the current match to the results; an empty match at the very
    // end of the subject adds nothing.
    void record(int rc, t_atomarray *result, t_atomarray *positions) {
        const PCRE2_SIZE *ov = pcre2_get_ovector_pointer(md);
        if (ov[0] == ov[1] && ov[0] == length) return;
        // A start after the end (\K in an assertion, where the library
        // allows it) has no text to record.
        if (ov[0] > ov[1]) return;
        t_atom a;
        atom_setlong(&a, static_cast<t_atom_long>(ov[0]));
        atomarray_appendatom(positions, &a);
        atom_setlong(&a, static_cast<t_atom_long>(ov[1]));
        atomarray_appendatom(positions, &a);
        a = text_atom(subject + ov[0], ov[1] - ov[0]);
        atomarray_appendatom(result, &a);
        if (groups == 0) return;
        t_atomarray *g = owning_array();
        if (!g) return;
        for (uint32_t i = 1; i <= groups; i++) {
            const bool set = static_cast<int>(i) < rc && ov[2 * i] != PCRE2_UNSET;
            t_atom v = set ? text_atom(subject + ov[2 * i], ov[2 * i + 1] - ov[2 * i])
                           : text_atom("", 0);
            atomarray_appendatom(g, &v);
        }
        atom_setobj(&a, g);
        atomarray_appendatom(result, &a);
    }

    // The start after a failed anchored retry at start: one character on.
    PCRE2_SIZE step(PCRE2_SIZE start) const {
        PCRE2_SIZE next = start + 1;
        if (crlf_newline && start + 1 < length && subject[start] == '\r' &&
            subject[start + 1] == '\n') {
            next++;
        } else if (utf) {
            while (next < length && (static_cast<unsigned char>(subject[next]) & 0xc0) == 0x80) next++;
        }
        return next;
    }
};

// Every match of the pattern in the subject: 0 with *result and *positions
// filled, or a negative code with nothing handed out.
long do_execute(t_kivopcre *x, const char *subject, t_atomarray **result, t_atomarray **positions) {
    if (!x || !x->code) return -1;
    Matcher m{x, subject ? subject : "", std::strlen(subject ? subject : "")};
    if (!m.setup()) return -1;
    t_atomarray *res = owning_array();
    t_atomarray *pos = atomarray_new(0, nullptr);
    auto fail = [&](long rc) {
        if (res) object_free(res);
        if (pos) object_free(pos);
        return rc;
    };
    if (!res || !pos) return fail(-1);

    int rc = m.match(0, 0);
    if (rc < 0) return fail(rc);
    m.record(rc, res, pos);
    const PCRE2_SIZE *ov = pcre2_get_ovector_pointer(m.md);
    // \K inside an assertion can put a match's start after its end; there
    // is no sensible place to go on from then.
    PCRE2_SIZE start = ov[1];
    bool empty = ov[0] == ov[1];
    bool stop = ov[0] > ov[1];
    while (!stop) {
        uint32_t options = 0;
        if (empty) {
            if (start >= m.length) break;
            options = PCRE2_NOTEMPTY_ATSTART | PCRE2_ANCHORED;
        }
        rc = m.match(start, options);
        if (rc == PCRE2_ERROR_NOMATCH) {
            if (options == 0) break;
            start = m.step(start);
            empty = false;
            continue;
        }
        if (rc < 0) return fail(rc);
        m.record(rc, res, pos);
        ov = pcre2_get_ovector_pointer(m.md);
        stop = ov[0] > ov[1];
        start = ov[1];
        empty = ov[0] == ov[1];
    }
    if (atomarray_getsize(res) == 0) return fail(-1);
    *result = res;
    *positions = pos;
    return 0;
}

void append_atom_text(std::string &out, const t_atom *a) {
    char buf[64];
    switch (a->type) {
    case AT_SYM:
        if (a->value.w_sym) out += a->value.w_sym->name;
        break;
    case AT_LONG:
        std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(a->value.w_long));
        out += buf;
        break;
    case AT_FLOAT:
        std::snprintf(buf, sizeof buf, "%f", a->value.w_float);
        out += buf;
        break;
    default:
        break;
    }
}

// The template with its references replaced by the groups of one match
// (groups may be null: a pattern without groups).
std::string expand_template(const char *tmpl, t_atomarray *groups) {
    std::string out;
    long ac = 0;
    t_atom *av = nullptr;
    if (groups) atomarray_getatoms(groups, &ac, &av);
    const char *p = tmpl;
    while (*p) {
        if (*p != '%' || p[1] == '\0') {
            out += *p++;
            continue;
        }
        if (p[1] == '%') {
            out += '%';
            p += 2;
            continue;
        }
        char *end = nullptr;
        errno = 0;
        const long n = std::strtol(p + 1, &end, 0);
        if (end == p + 1 || n < 0) {
            out.append(p, 2);
            p += 2;
            continue;
        }
        if (n == 0) {
            p = end;
            continue;
        }
        if (n > ac || errno == ERANGE) {
            error("only %d backreferences in result\n", static_cast<int>(ac));
            out += p + 1;
            break;
        }
        append_atom_text(out, &av[n - 1]);
        p = end;
    }
    return out;
}

// The subject with every recorded match replaced by the expanded template.
long substitute(t_kivopcre *x, const char *subject, t_atomarray *result, t_atomarray *positions,
                t_string **out) {
    long npos = 0, nres = 0;
    t_atom *pos = nullptr, *res = nullptr;
    atomarray_getatoms(positions, &npos, &pos);
    atomarray_getatoms(result, &nres, &res);
    if (npos % 2 != 0) {
        post("substring result array malformed\n");
        return -1;
    }
    const char *tmpl = string_getptr(x->substitution);
    if (!tmpl) tmpl = "";
    const size_t length = std::strlen(subject);
    std::string text;
    size_t done = 0;
    long r = 0;
    for (long i = 0; i + 1 < npos; i += 2) {
        const auto start = static_cast<size_t>(atom_getlong(&pos[i]));
        const auto end = static_cast<size_t>(atom_getlong(&pos[i + 1]));
        t_atomarray *groups = nullptr;
        if (r + 1 < nres && res[r + 1].type == AT_OBJ &&
            atomisatomarray(&res[r + 1])) {
            groups = static_cast<t_atomarray *>(atom_getobj(&res[r + 1]));
            r += 2;
        } else {
            r += 1;
        }
        const std::string expansion = expand_template(tmpl, groups);
        if (start > done && start <= length) text.append(subject + done, start - done);
        text += expansion;
        if (end > done) done = end;
    }
    if (done < length) text.append(subject + done);
    *out = string_new(text.c_str());
    return *out ? 0 : -1;
}

} // namespace

extern "C" {

void kivopcre_init(void) {
    if (s_pcre_class) return;
    t_class *c = class_new("kivopcre", as_method(kivopcre_new), as_method(kivopcre_free),
                           sizeof(t_kivopcre), nullptr, AT_CANT, 0);
    if (!c) return;
    kivo::obex::class_addmethods_cant(c, {
        {as_method(kivopcre_execute), "execute"},
        {as_method(kivopcre_set_regex), "set"},
        {as_method(kivopcre_set_substitution_string), "set_substitution_string"},
    });
    class_register(_sym(nobox), c);
    s_pcre_class = c;
}

t_kivopcre *kivopcre_new(const char *pattern, const char *substitution) {
    if (!s_pcre_class) kivopcre_init();
    if (!s_pcre_class) return nullptr;
    auto *x = static_cast<t_kivopcre *>(object_alloc(s_pcre_class));
    if (!x) return nullptr;
    x->code = nullptr;
    x->tables = nullptr;
    x->substitution = nullptr;
    if (pattern) {
        kivopcre_set_regex(x, pattern);
        if (substitution) kivopcre_set_substitution_string(x, substitution);
    }
    return x;
}

void kivopcre_free(t_kivopcre *x) {
    if (!x) return;
    if (x->code) pcre2_code_free(code_of(x));
    free_tables(x->tables);
    if (x->substitution) object_free(x->substitution);
    x->code = nullptr;
    x->tables = nullptr;
    x->substitution = nullptr;
}

void kivopcre_set_regex(t_kivopcre *x, const char *pattern) {
    if (!x || !pattern) return;
    const uint8_t *tables = pcre2_maketables(nullptr);
    pcre2_compile_context *cctx = pcre2_compile_context_create(nullptr);
    if (!tables || !cctx) {
        free_tables(const_cast<uint8_t *>(tables));
        if (cctx) pcre2_compile_context_free(cctx);
        object_error(&x->ob, "PCRE compile error %s", "out of memory");
        return;
    }
    pcre2_set_character_tables(cctx, tables);
    int errcode = 0;
    PCRE2_SIZE erroffset = 0;
    pcre2_code *code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern), PCRE2_ZERO_TERMINATED,
                                     PCRE2_UTF, &errcode, &erroffset, cctx);
    pcre2_compile_context_free(cctx);
    if (!code) {
        PCRE2_UCHAR message[256];
        if (pcre2_get_error_message(errcode, message, sizeof message) < 0)
            std::snprintf(reinterpret_cast<char *>(message), sizeof message, "%d", errcode);
        object_error(&x->ob, "PCRE compile error %s", reinterpret_cast<char *>(message));
        free_tables(const_cast<uint8_t *>(tables));
        return;
    }
    if (x->code) pcre2_code_free(code_of(x));
    free_tables(x->tables);
    x->code = code;
    x->tables = const_cast<uint8_t *>(tables);
}

void kivopcre_set_substitution_string(t_kivopcre *x, const char *substitution) {
    if (!x) return;
    if (x->substitution) object_free(x->substitution);
    x->substitution = substitution ? string_new(substitution) : nullptr;
}

long kivopcre_execute(t_kivopcre *x, const char *subject, t_atomarray **result,
                      t_string **substituted) {
    if (!x || !x->code) return -1;
    if (!subject) subject = "";
    t_atomarray *res = nullptr, *pos = nullptr;
    long rc = do_execute(x, subject, &res, &pos);
    if (rc != 0) return rc;
    if (x->substitution && substituted) {
        t_string *s = nullptr;
        if (substitute(x, subject, res, pos, &s) != 0) {
            object_free(res);
            object_free(pos);
            return -1;
        }
        *substituted = s;
    }
    object_free(pos);
    if (result) {
        *result = res;
    } else {
        object_free(res);
    }
    return 0;
}

} // extern "C"

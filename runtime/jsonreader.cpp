/*
 * The JSON reader: a table-driven pushdown automaton over the bytes.
 *
 *   - Each byte maps to one of 31 classes; kTransitions[state][class] is the
 *     next state (0..29) or an action (-9..-1).
 *   - Open containers are entries on an explicit stack over one shared value
 *     stack, so nesting depth costs heap, never C stack. An entry's atoms are
 *     values[base..]; closing a container moves them into one object that
 *     replaces them, which hands it to the parent without copying.
 *   - Until the parse ends, every object on the value stack belongs to the
 *     parse; a failure frees them all, a success hands the top value to the
 *     caller. The caller's atom is AT_NOTHING after any failure.
 *   - The token buffer only ever holds valid UTF-8 from escapes: surrogate
 *     pairs combine, lone surrogates become U+FFFD.
 */
#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kernel/obex_internal.h"
#include "kivo/atomarray.h"
#include "kivo/class.h"
#include "kivo/commonsyms.h"
#include "kivo/dictionary.h"
#include "kivo/json.h"
#include "kivo/obex.h"
#include "kivo/post.h"
#include "kivo/stringobj.h"
#include "kivo/symbol.h"
#include "runtime/dictionary_internal.h"

using kivo::obex::as_method;

struct _jsonreader {
    t_object ob;
    const char *text;   // borrowed during a parse only
    long size;          // bytes examined by the last parse
    long position;      // index of the byte being examined
    int state;          // after a failure: where the offending byte arrived, or an action code
    t_symbol *key;      // the last completed key, or null
    long result;        // 0 or the error code of the last parse
    long line;
    long column;
    long finalmode;     // mode of the top entry when the last parse ended; -1 without one
};

namespace {

enum Mode { MODE_DONE = 1, MODE_DICTIONARY = 2, MODE_KEY = 3, MODE_OBJECT = 5, MODE_ARRAY = 9 };

constexpr int kIgnored = -1;
constexpr int kTokenStart = 8192;
constexpr size_t kKeyShown = 64; // bytes of a key named in an error message

t_class *s_reader_class = nullptr;
t_class *s_entry_class = nullptr;

const char *mode_name(long mode) {
    static const char *const names[] = {"unknown", "done",  "dictionary", "key",    "string",
                                        "dictvalue", "value", "number",    "string", "array"};
    return mode >= 0 && mode <= 9 ? names[mode] : "unknown";
}

// ---- character classes and transitions

constexpr int C_SPACE = 0, C_WHITE = 1, C_LBRACE = 2, C_RBRACE = 3, C_LBRACK = 4, C_RBRACK = 5,
              C_COLON = 6, C_COMMA = 7, C_QUOTE = 8, C_BACKSLASH = 9, C_SLASH = 10, C_PLUS = 11,
              C_MINUS = 12, C_POINT = 13, C_ZERO = 14, C_DIGIT = 15, C_a = 16, C_b = 17, C_c = 18,
              C_d = 19, C_e = 20, C_f = 21, C_l = 22, C_n = 23, C_r = 24, C_s = 25, C_t = 26,
              C_u = 27, C_ABCDF = 28, C_E = 29, C_ETC = 30, kClasses = 31;
constexpr int kStates = 30;

struct Tables {
    signed char cls[256];
    signed char next[kStates][kClasses];
};

constexpr Tables make_tables() {
    Tables t{};
    for (int b = 0; b < 256; b++) t.cls[b] = C_ETC;
    for (int b = 1; b < 0x20; b++) t.cls[b] = kIgnored;
    t.cls[0] = C_ETC; // never looked up: NUL ends the text
    t.cls[' '] = C_SPACE;
    t.cls['\t'] = t.cls['\n'] = t.cls['\r'] = C_WHITE;
    t.cls['{'] = C_LBRACE;
    t.cls['}'] = C_RBRACE;
    t.cls['['] = C_LBRACK;
    t.cls[']'] = C_RBRACK;
    t.cls[':'] = C_COLON;
    t.cls[','] = C_COMMA;
    t.cls['"'] = C_QUOTE;
    t.cls['\\'] = C_BACKSLASH;
    t.cls['/'] = C_SLASH;
    t.cls['+'] = C_PLUS;
    t.cls['-'] = C_MINUS;
    t.cls['.'] = C_POINT;
    t.cls['0'] = C_ZERO;
    for (int b = '1'; b <= '9'; b++) t.cls[b] = C_DIGIT;
    const char lower[] = "abcdeflnrstu";
    for (int i = 0; i < 12; i++) t.cls[static_cast<unsigned char>(lower[i])] = static_cast<signed char>(C_a + i);
    t.cls['A'] = t.cls['B'] = t.cls['C'] = t.cls['D'] = t.cls['F'] = C_ABCDF;
    t.cls['E'] = C_E;

    for (auto &row : t.next)
        for (auto &v : row) v = -1;
    auto ws = [&](int s, int to) { t.next[s][C_SPACE] = t.next[s][C_WHITE] = static_cast<signed char>(to); };
    auto hex = [&](int s, int to) {
        for (int c : {C_ZERO, C_DIGIT, C_a, C_b, C_c, C_d, C_e, C_f, C_ABCDF, C_E})
            t.next[s][c] = static_cast<signed char>(to);
    };
    auto value_start = [&](int s) {
        t.next[s][C_LBRACE] = -8;
        t.next[s][C_LBRACK] = -6;
        t.next[s][C_QUOTE] = 3;
        t.next[s][C_MINUS] = 20;
        t.next[s][C_ZERO] = 21;
        t.next[s][C_DIGIT] = 22;
        t.next[s][C_f] = 13;
        t.next[s][C_n] = 17;
        t.next[s][C_t] = 10;
    };
    auto value_end = [&](int s) {
        ws(s, 9);
        t.next[s][C_RBRACE] = -7;
        t.next[s][C_RBRACK] = -5;
        t.next[s][C_COMMA] = -3;
    };
    ws(0, 0);
    t.next[0][C_LBRACE] = -8;
    t.next[0][C_LBRACK] = -6;
    ws(1, 1);
    t.next[1][C_RBRACE] = -9;
    t.next[1][C_QUOTE] = 3;
    ws(2, 2);
    value_start(2);
    t.next[2][C_RBRACK] = -5;
    for (int c = 0; c < kClasses; c++) t.next[3][c] = 3;
    t.next[3][C_WHITE] = -1;
    t.next[3][C_QUOTE] = -4;
    t.next[3][C_BACKSLASH] = 4;
    for (int c : {C_QUOTE, C_BACKSLASH, C_SLASH, C_b, C_f, C_n, C_r, C_t}) t.next[4][c] = 3;
    t.next[4][C_u] = 5;
    hex(5, 6);
    hex(6, 7);
    hex(7, 8);
    hex(8, 3);
    ws(9, 9);
    t.next[9][C_RBRACE] = -7;
    t.next[9][C_RBRACK] = -5;
    t.next[9][C_COMMA] = -3;
    t.next[10][C_r] = 11;
    t.next[11][C_u] = 12;
    t.next[12][C_e] = 9;
    t.next[13][C_a] = 14;
    t.next[14][C_l] = 15;
    t.next[15][C_s] = 16;
    t.next[16][C_e] = 9;
    t.next[17][C_u] = 18;
    t.next[18][C_l] = 19;
    t.next[19][C_l] = 9;
    t.next[20][C_ZERO] = 21;
    t.next[20][C_DIGIT] = 22;
    value_end(21);
    t.next[21][C_POINT] = 23;
    value_end(22);
    t.next[22][C_POINT] = 23;
    t.next[22][C_ZERO] = t.next[22][C_DIGIT] = 22;
    t.next[22][C_e] = t.next[22][C_E] = 24;
    value_end(23);
    t.next[23][C_ZERO] = t.next[23][C_DIGIT] = 23;
    t.next[23][C_e] = t.next[23][C_E] = 24;
    t.next[24][C_PLUS] = t.next[24][C_MINUS] = 25;
    t.next[24][C_ZERO] = t.next[24][C_DIGIT] = 26;
    t.next[25][C_ZERO] = t.next[25][C_DIGIT] = 26;
    value_end(26);
    t.next[26][C_ZERO] = t.next[26][C_DIGIT] = 26;
    ws(27, 27);
    t.next[27][C_COLON] = -2;
    ws(28, 28);
    value_start(28);
    ws(29, 29);
    t.next[29][C_QUOTE] = 3;
    return t;
}

constexpr Tables kTables = make_tables();

bool is_number_state(int s) { return s >= 20 && s <= 26; }

// 0xA0 is white space unless it continues a multi-byte UTF-8 sequence.
bool continues_utf8(const unsigned char *p, long pos) {
    auto at = [&](long i) -> unsigned { return i >= 0 ? p[i] : 0u; };
    unsigned b1 = at(pos - 1), b2 = at(pos - 2), b3 = at(pos - 3);
    auto lead = [](unsigned b) { return (b & 0xE0) == 0xC0 || (b & 0xF0) == 0xE0 || (b & 0xF8) == 0xF0; };
    auto cont = [](unsigned b) { return (b & 0xC0) == 0x80; };
    if (lead(b1)) return true;
    if (cont(b1) && ((b2 & 0xF0) == 0xE0 || (b2 & 0xF8) == 0xF0)) return true;
    return cont(b1) && cont(b2) && (b3 & 0xF8) == 0xF0;
}

void free_object_atom(t_atom &a) {
    if (a.type == AT_OBJ && a.value.w_obj) object_free(a.value.w_obj);
    a.type = AT_NOTHING;
    a.value.w_long = 0;
}

// ---- one parse

struct Entry {
    int mode;
    size_t base; // the entry's atoms are values[base..]; the next entry starts where they end
};

class Parse {
public:
    explicit Parse(t_jsonreader *x) : x_(x) {
        token_.reserve(kTokenStart);
        entries_.reserve(64);
        values_.reserve(256);
    }
    // Frees whatever the parse still owns: nothing after a success.
    ~Parse() {
        for (t_atom &a : values_) free_object_atom(a);
    }
    long run(const char *text, long size, t_atom *result);

private:
    long push(int mode);
    long pop(int mode);
    long action(int code);
    void append(const t_atom &a) { values_.push_back(a); }
    int top_mode() const { return entries_.empty() ? -1 : entries_.back().mode; }
    void end_number(int oldstate);
    void end_literal(int oldstate);
    t_atom string_atom();
    t_symbol *key_symbol();
    void put_code_point(unsigned long cp);
    void put_utf16(unsigned unit);
    void flush_surrogate() {
        if (pending_high_) put_code_point(0xFFFD);
        pending_high_ = 0;
    }

    t_jsonreader *x_;
    std::vector<Entry> entries_;
    std::vector<t_atom> values_;
    std::string token_;
    // The symbols of recent keys: a document repeats a few keys many times,
    // and interning each takes the symbol table's lock.
    t_symbol *keycache_[256] = {};
    bool escaped_ = false;       // a \u escape was decoded in this token
    unsigned hex_ = 0;           // digits of the \u escape being read
    unsigned pending_high_ = 0;  // a high surrogate waiting for its low half
};

void Parse::put_code_point(unsigned long cp) {
    char b[4];
    size_t n;
    if (cp < 0x80) {
        b[0] = static_cast<char>(cp);
        n = 1;
    } else if (cp < 0x800) {
        b[0] = static_cast<char>(0xC0 | (cp >> 6));
        b[1] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 2;
    } else if (cp < 0x10000) {
        b[0] = static_cast<char>(0xE0 | (cp >> 12));
        b[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        b[2] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 3;
    } else {
        b[0] = static_cast<char>(0xF0 | (cp >> 18));
        b[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        b[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        b[3] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 4;
    }
    token_.append(b, n);
}

// Escapes arrive as UTF-16 units; encoding each surrogate by itself would
// give text that is not UTF-8, so halves are paired and strays replaced.
void Parse::put_utf16(unsigned unit) {
    if (unit >= 0xD800 && unit <= 0xDBFF) {
        flush_surrogate();
        pending_high_ = unit;
        return;
    }
    if (unit >= 0xDC00 && unit <= 0xDFFF) {
        if (pending_high_) {
            put_code_point(0x10000 + ((pending_high_ - 0xD800) << 10) + (unit - 0xDC00));
            pending_high_ = 0;
        } else {
            put_code_point(0xFFFD);
        }
        return;
    }
    flush_surrogate();
    put_code_point(unit);
}

void Parse::end_number(int oldstate) {
    const char *first = token_.data();
    const char *last = first + token_.size();
    t_atom a;
    if (oldstate == 21 || oldstate == 22) {
        long long v = 0;
        auto r = std::from_chars(first, last, v);
        // Out of range saturates, as a C conversion would.
        if (r.ec == std::errc::result_out_of_range) v = token_[0] == '-' ? LLONG_MIN : LLONG_MAX;
        atom_setlong(&a, static_cast<t_atom_long>(v));
    } else {
        double v = 0;
        auto r = std::from_chars(first, last, v);
        if (r.ec == std::errc::result_out_of_range) v = std::strtod(token_.c_str(), nullptr);
        atom_setfloat(&a, v);
    }
    append(a);
}

void Parse::end_literal(int oldstate) {
    t_atom a;
    if (oldstate == 12) {
        atom_setlong(&a, 1);
    } else if (oldstate == 16) {
        atom_setlong(&a, 0);
    } else {
        a.type = AT_NOTHING;
        a.value.w_long = 0;
    }
    append(a);
}

bool digit19(char c) { return c >= '1' && c <= '9'; }

t_symbol *Parse::key_symbol() {
    const char *t = token_.c_str();
    // Names beginning with "---" may intern differently each time.
    if (t[0] == '-' && t[1] == '-' && t[2] == '-') return gensym(t);
    uint32_t h = 2166136261u;
    for (unsigned char c : token_) h = (h ^ c) * 16777619u;
    t_symbol *&slot = keycache_[(h ^ (h >> 8)) & 255];
    if (slot && std::strcmp(slot->name, t) == 0) return slot;
    slot = gensym(t);
    return slot;
}

t_atom Parse::string_atom() {
    t_atom a;
    if (!escaped_) {
        const std::string &t = token_;
        if (t == ";") {
            a.type = AT_SEMI;
            a.value.w_long = 0;
            return a;
        }
        if (t == ",") {
            a.type = AT_COMMA;
            a.value.w_long = 0;
            return a;
        }
        if (t.size() >= 2 && t[0] == '$' && digit19(t[1])) {
            if (t.size() == 2) {
                a.type = AT_DOLLAR;
                a.value.w_long = t[1] - '0';
                return a;
            }
            if (!digit19(t[2])) {
                a.type = AT_DOLLSYM;
                a.value.w_sym = gensym(t.c_str() + 1);
                return a;
            }
        }
    }
    atom_setobj(&a, string_new(token_.c_str()));
    return a;
}

long Parse::push(int mode) {
    entries_.push_back({mode, values_.size()});
    if (mode == MODE_OBJECT) {
        t_atom k;
        atom_setsym(&k, x_->key ? x_->key : gensym(""));
        append(k);
    } else if (mode == MODE_DICTIONARY) {
        // A place for the dictionary, made at its end (see pop).
        t_atom a;
        atom_setobj(&a, nullptr);
        append(a);
    }
    return 0;
}

long Parse::pop(int mode) {
    if (entries_.empty() || entries_.back().mode != mode) return -1;
    const Entry e = entries_.back();
    const size_t count = values_.size() - e.base;
    long err = 0;
    switch (mode) {
    case MODE_DICTIONARY: {
        // The members wait above the dictionary as key-value pairs, so that
        // it is built at once with room for exactly their number.
        const size_t pairs = count > 0 ? (count - 1) / 2 : 0;
        if (count == 0 || values_[e.base].type != AT_OBJ || values_[e.base].value.w_obj) {
            post("jsonreader_pop: MODE_DICTIONARY: argc not 1!");
            break;
        }
        t_dictionary *d = dictionary_new_sized(static_cast<long>(pairs));
        if (!d) {
            err = -1;
            break;
        }
        dictionary_readonly(d, 1);
        atom_setobj(&values_[e.base], d);
        size_t i = 0;
        for (; i < pairs; i++) {
            t_atom &k = values_[e.base + 1 + 2 * i];
            t_atom &v = values_[e.base + 2 + 2 * i];
            if (dictionary_appendatom(d, k.value.w_sym, &v) != 0) {
                err = -1;
                break;
            }
        }
        // What the dictionary did not take stays on the stack, freed with it.
        for (size_t j = 0; j < i; j++) values_[e.base + 2 + 2 * j] = t_atom{};
        if (err) break;
        values_.resize(e.base + 1);
        break;
    }
    case MODE_KEY:
        x_->key = nullptr;
        if (count >= 1 && values_[e.base].type == AT_SYM) x_->key = values_[e.base].value.w_sym;
        values_.resize(e.base);
        break;
    case MODE_OBJECT: {
        const Entry &parent = entries_[entries_.size() - 2];
        t_atom &holder = values_[parent.base];
        t_symbol *key = values_[e.base].value.w_sym;
        t_atom value;
        value.type = AT_NOTHING;
        value.value.w_long = 0;
        if (count >= 2) value = values_[e.base + 1];
        for (size_t i = e.base + 2; i < values_.size(); i++) free_object_atom(values_[i]);
        values_.resize(e.base);
        if (holder.type != AT_OBJ || holder.value.w_obj) {
            post("jsonreader_pop: MODE_OBJECT: e1 is not an obj!");
            free_object_atom(value);
            err = -1;
            break;
        }
        // The pair waits for the dictionary's end (see MODE_DICTIONARY).
        t_atom k;
        atom_setsym(&k, key);
        append(k);
        append(value);
        break;
    }
    case MODE_ARRAY: {
        t_atomarray *arr = atomarray_new(static_cast<long>(count), values_.data() + e.base);
        if (!arr || atomarray_getsize(arr) != static_cast<t_atom_long>(count)) {
            if (arr) object_free(arr);
            err = -1; // the atoms stay on the value stack and are freed with it
            entries_.pop_back();
            return err;
        }
        atomarray_flags(arr, ATOMARRAY_FLAG_FREECHILDREN);
        values_.resize(e.base);
        t_atom a;
        atom_setobj(&a, arr);
        append(a);
        break;
    }
    case MODE_DONE:
        values_.resize(e.base);
        break;
    default:
        break;
    }
    entries_.pop_back();
    return err;
}

// The next state after a successful action, or -1.
long Parse::action(int code) {
    switch (code) {
    case -9:
        if (pop(MODE_KEY) || pop(MODE_DICTIONARY)) return -1;
        return 9;
    case -8:
        if (push(MODE_DICTIONARY) || push(MODE_KEY)) return -1;
        return 1;
    case -7:
        if (pop(MODE_OBJECT) || pop(MODE_DICTIONARY)) return -1;
        return 9;
    case -6:
        if (push(MODE_ARRAY)) return -1;
        return 2;
    case -5:
        if (pop(MODE_ARRAY)) return -1;
        return 9;
    case -4: {
        int m = top_mode();
        if (m != MODE_KEY && m != MODE_OBJECT && m != MODE_ARRAY) return -1;
        flush_surrogate();
        if (m == MODE_KEY) {
            // A key is only ever used as a symbol: skip the string object.
            t_atom k;
            atom_setsym(&k, key_symbol());
            append(k);
            return 27;
        }
        t_atom a = string_atom();
        if (a.type == AT_OBJ && !a.value.w_obj) return -1;
        append(a);
        return 9;
    }
    case -3: {
        int m = top_mode();
        if (m == MODE_ARRAY) return 28;
        if (m != MODE_OBJECT) return -1;
        if (pop(MODE_OBJECT) || push(MODE_KEY)) return -1;
        return 29;
    }
    case -2:
        if (pop(MODE_KEY) || push(MODE_OBJECT)) return -1;
        return 28;
    default:
        return -1;
    }
}

long Parse::run(const char *text, long size, t_atom *result) {
    const auto *p = reinterpret_cast<const unsigned char *>(text);
    int state = 0;
    long line = 1, column = 1;
    long pos = 0;
    long outcome = 0;
    bool failed = false;
    push(MODE_DONE);

    for (; pos < size; pos++) {
        column++;
        unsigned char c = p[pos];
        if (!c) break;
        // Plain string bytes are by far the most common: take a run at once.
        if (state == 3 && c >= 0x20 && c != '"' && c != '\\' && c != 0xA0) {
            flush_surrogate();
            long end = pos + 1;
            while (end < size) {
                unsigned char d = p[end];
                if (d < 0x20 || d == '"' || d == '\\' || d == 0xA0) break;
                end++;
            }
            token_.append(text + pos, static_cast<size_t>(end - pos));
            column += end - pos - 1;
            pos = end - 1;
            continue;
        }
        int cls = kTables.cls[c];
        if (c == 0xA0 && !continues_utf8(p, pos)) cls = C_WHITE;
        if (cls == kIgnored) continue;
        if (c == '\n') {
            column = 1;
            if (pos == 0 || p[pos - 1] != '\r') line++;
        } else if (c == '\r') {
            column = 1;
            line++;
        }
        int next = kTables.next[state][cls];
        const int old = state;
        if (is_number_state(old) && !is_number_state(next)) {
            end_number(old);
            state = next;
        }
        if (next == 9 && (old == 12 || old == 16 || old == 19)) end_literal(old);
        if (next < 0) {
            long to = action(next);
            if (to < 0) {
                failed = true;
                break;
            }
            state = static_cast<int>(to);
            continue;
        }
        if (next == 3 || is_number_state(next)) {
            if (old == 4) {
                char t = static_cast<char>(c);
                switch (c) {
                case 'b': t = 0x08; break;
                case 'f': t = 0x0C; break;
                case 'n': t = 0x0A; break;
                case 'r': t = 0x0D; break;
                case 't': t = 0x09; break;
                default: break;
                }
                flush_surrogate();
                token_.push_back(t);
            } else if (old == 8) {
                hex_ = (hex_ << 4) | static_cast<unsigned>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
                put_utf16(hex_);
                escaped_ = true;
            } else if (old == 3 || is_number_state(old)) {
                if (c != '"') {
                    flush_surrogate();
                    token_.push_back(static_cast<char>(c));
                }
            } else {
                token_.clear();
                escaped_ = false;
                pending_high_ = 0;
                if (c != '"') token_.push_back(static_cast<char>(c));
            }
        } else if (next >= 5 && next <= 8) {
            // \u digits: collected here rather than re-read from the text,
            // where ignored bytes may sit between them.
            unsigned d = c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
            hex_ = next == 5 ? 0 : (hex_ << 4) | d;
        }
        state = next;
    }

    x_->position = pos;
    x_->line = line;
    x_->column = column;
    if (!failed && state == 9 && top_mode() == MODE_DONE) {
        const Entry &e = entries_.back();
        size_t count = values_.size() - e.base;
        if (count == 1) {
            *result = values_[e.base];
            values_.resize(e.base); // the caller owns it now
        } else {
            post("jsonreader_parse: done but e->s_argc != 1");
        }
        x_->finalmode = MODE_DONE;
        pop(MODE_DONE);
        outcome = 0;
    } else {
        // Text that stops before the top-level value is complete is an
        // error too: the state tells where it stopped.
        outcome = -1;
        x_->finalmode = top_mode();
    }
    x_->state = state;
    x_->result = outcome;
    return outcome;
}

// The state message of a failed parse into buf (size bytes).
void state_string(const t_jsonreader *x, char *buf, size_t size) {
    std::string key = x->key ? x->key->name : "<unknown>";
    if (key.size() > kKeyShown) {
        size_t cut = kKeyShown;
        while (cut > 0 && (static_cast<unsigned char>(key[cut]) & 0xC0) == 0x80) cut--;
        key.resize(cut);
        key += "...";
    }
    const long mode = x->finalmode;
    const int s = x->state;
    const char *m = nullptr;
    switch (s) {
    case 0: m = "parsing object, possible missing initial '{' character"; break;
    case 1: m = "parsing object"; break;
    case 2: m = "parsing array"; break;
    case 3:
    case 4:
        m = mode == MODE_KEY ? "parsing key, possible missing quote" : "parsing string, possible missing quote";
        break;
    case 5: case 6: case 7: case 8: m = "parsing unicode escape"; break;
    case 9:
        if (mode == MODE_OBJECT) {
            std::snprintf(buf, size, "',' or '}' character expected after value for key '%s'", key.c_str());
            return;
        }
        m = mode == MODE_ARRAY ? "',' or ']' character expected in array" : "',' or ']' or '}' character expected";
        break;
    case 10: case 11: case 12: case 13: case 14: case 15: case 16: m = "parsing boolean"; break;
    case 17: case 18: case 19: m = "parsing null"; break;
    case 20: case 21: case 22: case 23: case 24: case 25: case 26: m = "parsing number"; break;
    case 27:
        m = mode == MODE_KEY || mode == MODE_OBJECT ? "':' character expected after key" : "':' character expected";
        break;
    case 28:
        if (mode == MODE_OBJECT) {
            std::snprintf(buf, size, "value expected for key '%s'", key.c_str());
            return;
        }
        m = mode == MODE_ARRAY ? "value expected in array, possible extra comma or missing ']'"
                               : "value expected, possible extra comma";
        break;
    case 29: m = "key expected, possible extra comma or missing '}'"; break;
    case -9: m = "'}' character unexpected (empty)"; break;
    case -8: m = "'{' character unexpected"; break;
    case -7: m = "'}' character unexpected"; break;
    case -6: m = "'[' character unexpected"; break;
    case -5: m = "']' character unexpected"; break;
    case -4: m = "'\"' character unexpected"; break;
    case -3: m = "',' character unexpected"; break;
    case -2: m = "':' character unexpected"; break;
    case -1:
        if (mode == MODE_OBJECT)
            std::snprintf(buf, size, "syntax error in value for key '%s'", key.c_str());
        else
            std::snprintf(buf, size, "syntax error in %s", mode_name(mode));
        return;
    default:
        std::snprintf(buf, size, "state=%d", s);
        return;
    }
    std::snprintf(buf, size, "%s", m);
}

} // namespace

extern "C" {

void jsonreader_initclass(void) {
    if (s_reader_class) return;
    t_class *c = class_new("jsonreader", as_method(jsonreader_new), as_method(jsonreader_free),
                           sizeof(t_jsonreader), nullptr, AT_CANT, 0);
    if (!c) return;
    kivo::obex::class_addmethods_cant(c, {
        {as_method(jsonreader_parse), "parse"},
        {as_method(jsonreader_parse_len), "parse_len"},
        {as_method(jsonreader_errorstring), "errorstring"},
    });
    class_register(_sym(nobox), c);
    // Kept for those who look the class up by name; the reader's stack
    // entries are plain records, not objects.
    if (t_class *e = class_new("jsonreader_stack_entry", nullptr, nullptr, sizeof(t_object), nullptr, 0)) {
        class_register(_sym(nobox), e);
        s_entry_class = e;
    }
    s_reader_class = c;
}

t_jsonreader *jsonreader_new(void) {
    if (!s_reader_class) jsonreader_initclass();
    auto *x = static_cast<t_jsonreader *>(object_alloc(s_reader_class));
    if (!x) return nullptr;
    x->text = nullptr;
    x->size = 0;
    x->position = 0;
    x->state = 0;
    x->key = nullptr;
    x->result = 0;
    x->line = 0;
    x->column = 0;
    x->finalmode = 0;
    return x;
}

// The stack lives only inside a parse: nothing is left over to free.
void jsonreader_free(t_jsonreader *) {}

long jsonreader_parse(t_jsonreader *x, const char *text, t_atom *result) {
    if (!text) return jsonreader_parse_len(x, nullptr, 0, result);
    return jsonreader_parse_len(x, text, static_cast<long>(std::strlen(text)), result);
}

long jsonreader_parse_len(t_jsonreader *x, const char *text, long length, t_atom *result) {
    // The caller's atom says "nothing" on every failure, bad arguments too.
    if (result) {
        result->type = AT_NOTHING;
        result->value.w_long = 0;
    }
    if (!x || !text || !result || length < 0) return -1;
    long size = length;
    if (size > 0 && text[size - 1] == '\0') size--;
    x->text = text;
    x->size = size;
    x->key = nullptr;
    x->result = 0;
    x->finalmode = 0;
    long r;
    {
        Parse parse(x);
        r = parse.run(text, size, result);
    }
    x->text = nullptr;
    return r;
}

long jsonreader_errorstring(t_jsonreader *x, const char *text, char *buf) {
    if (!x || !buf) return 0;
    if (x->result == 0) {
        std::snprintf(buf, JSONREADER_ERRORSTRING_SIZE, "error: none");
        return 0;
    }
    char statemsg[256];
    state_string(x, statemsg, sizeof statemsg);
    std::string context;
    if (text) {
        // The offending byte and up to 64 before it; never past the end of
        // what the parse examined.
        long last = std::min(x->position, x->size - 1);
        long first = std::max(0L, x->position - 64);
        bool space = false;
        for (long i = first; i <= last; i++) {
            char c = text[i];
            if (!c) break;
            if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
                if (!space) context.push_back(' ');
                space = true;
            } else {
                context.push_back(c);
                space = false;
            }
        }
    }
    char where[96];
    std::snprintf(where, sizeof where, ": line=%ld, char=%ld, text='...", x->line, x->column);
    std::string msg = std::string(statemsg) + where + context + "'";
    // Bounded by the caller's buffer; the key in statemsg is already short.
    size_t n = std::min(msg.size(), size_t(JSONREADER_ERRORSTRING_SIZE) - 1);
    std::memcpy(buf, msg.data(), n);
    buf[n] = '\0';
    return 0;
}

const char *json_skipobject(const char *text) { return json_skipsection(text, '{', '}'); }

const char *json_skipsection(const char *text, char open, char close) {
    if (!text || *text != open) return nullptr;
    long depth = 1;
    bool quoted = false;
    const char *p = text;
    while (depth > 0) {
        if (quoted) {
            p = std::strchr(p + 1, '"');
            if (!p) return nullptr;
        } else {
            p++;
            while (*p && *p != open && *p != close && *p != '"') p++;
        }
        char c = *p;
        if (!c) return nullptr;
        if (c == '"') {
            quoted = !quoted;
        } else if (c == open) {
            depth++;
        } else if (c == close) {
            depth--;
        }
    }
    return p + 1;
}

} // extern "C"

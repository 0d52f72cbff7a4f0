/*
 * Atom buffers and the evaluation of message lists.
 *
 * Invariants:
 * - A t_atombuf is one pointer block: a count (never negative) and that many
 *   atoms, with room for one atom even when empty. Nothing resizes it in
 *   place; a new block is built and stored through the caller's pointer.
 * - Evaluation never writes past its stack: aeval's stack holds the whole
 *   list, eval's fixed stack is checked before every push.
 * - Evaluation of binbuf storage re-reads the handle for every atom and
 *   checks each type byte and value slot against the handle's size, so a
 *   message that grows or shrinks the binbuf being evaluated, or a corrupt
 *   storage, never makes it read past the block.
 * - A "$" or "#" reference outside the argument array is an error, never a
 *   read of argv[argc].
 */
#include "kivo/atombuf.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "kernel/msgtext_internal.h"
#include "kivo/binbuf.h"
#include "kivo/dispatch.h"
#include "kivo/msgtext.h"
#include "kivo/post.h"
#include "kivo/qelem.h"
#include "kivo/symbol.h"
#include "kivo/sysmem.h"

namespace {

constexpr std::size_t kHeader = offsetof(t_atombuf, a_argv);

bool is_digit19(char c) {
    return c >= '1' && c <= '9';
}

bool is_separator(const t_atom &a) {
    return a.type == AT_SEMI || a.type == AT_COMMA;
}

const char *sym_text(const t_symbol *s) {
    return (s && s->name) ? s->name : "";
}

t_atombuf *alloc_buffer(t_atom_long count) {
    if (count < 0) count = 0;
    t_atom_long room = count ? count : 1;
    if (static_cast<t_ptr_size>(room) > (SIZE_MAX - kHeader) / sizeof(t_atom)) return nullptr;
    auto *x = reinterpret_cast<t_atombuf *>(sysmem_newptrclear(kHeader + room * sizeof(t_atom)));
    if (x) x->a_argc = count;
    return x;
}

void set_symbol(t_atom *a, t_symbol *s) {
    // Never put a null symbol in an atom: gensym fails only without memory.
    atom_setsym(a, s ? s : gensym(""));
}

void store(t_atombuf **x, t_atombuf *fresh) {
    if (*x) atombuf_free(*x);
    *x = fresh;
}

// "$N" as a symbol, for a reference that cannot be substituted.
t_symbol *dollar_symbol(t_atom_long n) {
    char text[32];
    std::snprintf(text, sizeof text, "$%lld", static_cast<long long>(n));
    return gensym(text);
}

// The argument a "$N-rest" symbol refers to, when the array holds it.
bool dollsym_in_range(const t_symbol *s, long argc) {
    const char *t = sym_text(s);
    if (t[0] < '0' || t[0] > '9') return false;
    long d = t[0] - '0';
    return d <= argc - 1;
}

/*
 * How evaluation works. Both evaluators walk a stream of atoms with one
 * piece of state, the target. Without a target the next atom names the
 * receiver; with one, the atoms up to the next separator are converted onto
 * the stack and sent as one typed message. A comma keeps the target, a
 * semicolon clears it. Any error drops only the message concerned: the
 * stream is skipped to the next separator and evaluation goes on there.
 * The two evaluators differ only in where atoms come from and in the texts
 * and conversions listed in Dialect.
 */
struct Dialect {
    bool binbuf; // eval_internal rather than aeval
};

// Atoms of a plain list, ending at the count or an AT_NOTHING atom.
class ListSource {
public:
    ListSource(long count, const t_atom *atoms) : count_(atoms ? count : 0), atoms_(atoms) {}
    bool next(t_atom &out) {
        if (i_ >= count_ || atoms_[i_].type == AT_NOTHING) return false;
        out = atoms_[i_++];
        return true;
    }

private:
    long count_;
    const t_atom *atoms_;
    long i_ = 0;
};

// Atoms of binbuf storage: type bytes ended by 0, value slots from typesize.
class StorageSource {
public:
    StorageSource(t_handle h, t_atom_long typesize) : h_(h), typesize_(typesize) {}
    bool next(t_atom &out) {
        if (!h_ || !*h_ || typesize_ < 1) return false;
        t_ptr_size size = sysmem_handlesize(h_);
        t_ptr_size typeend = static_cast<t_ptr_size>(typesize_) < size ? typesize_ : size;
        if (static_cast<t_ptr_size>(tpos_) >= typeend) return false;
        const unsigned char type = static_cast<unsigned char>((*h_)[tpos_]);
        if (type == 0) return false;
        out.type = type;
        out.value.w_long = 0;
        if (type != AT_SEMI && type != AT_COMMA) {
            t_ptr_size at = static_cast<t_ptr_size>(typesize_) + vpos_;
            if (at + sizeof(t_word) > size) return false; // corrupt storage: stop
            std::memcpy(&out.value, *h_ + at, sizeof(t_word));
            vpos_ += sizeof(t_word);
        }
        ++tpos_;
        if ((out.type == AT_SYM || out.type == AT_DOLLSYM) && !out.value.w_sym)
            out.value.w_sym = gensym("");
        return true;
    }

private:
    t_handle h_;
    t_atom_long typesize_;
    t_atom_long tpos_ = 0;
    t_ptr_size vpos_ = 0;
};

const char *atom_text(const Dialect &d, const t_atom &a) {
    return d.binbuf ? attostr(static_cast<char>(a.type), &a.value) : atom_string(&a);
}

// The bound object named by a receiver atom, or null after posting why.
void *resolve_receiver(const Dialect &d, const t_atom &a, long argc, const t_atom *argv) {
    t_symbol *s = nullptr;
    switch (a.type) {
    case AT_SYM:
        s = a.value.w_sym;
        break;
    case AT_DOLLAR: {
        t_atom_long n = a.value.w_long;
        if (n < 1 || n > argc - 1) {
            error("%s: argument out of range", dollar_symbol(n)->name);
            return nullptr;
        }
        if (argv[n].type != AT_SYM) {
            error("%s: not a symbol", atom_text(d, argv[n]));
            return nullptr;
        }
        s = argv[n].value.w_sym;
        break;
    }
    case AT_DOLLSYM:
        if (!dollsym_in_range(a.value.w_sym, argc)) {
            error("%s: argument out of range", atom_text(d, a));
            return nullptr;
        }
        s = getdollsym(a.value.w_sym, argc, const_cast<t_atom *>(argv));
        break;
    default:
        error("%s: not a symbol", atom_text(d, a));
        return nullptr;
    }
    if (!s || !s->thing) {
        error("%s: no such object", sym_text(s));
        return nullptr;
    }
    return s->thing;
}

// Converts one message atom onto the stack; false when the message is dropped.
bool convert(const Dialect &d, const t_atom &a, long argc, const t_atom *argv, t_atom &out) {
    switch (a.type) {
    case AT_LONG:
    case AT_FLOAT:
        out = a;
        return true;
    case AT_SYM: {
        const char *t = sym_text(a.value.w_sym);
        if (!d.binbuf && t[0] == '#' && (t[1] == 'i' || t[1] == 'f') && is_digit19(t[2])) {
            if (t[1] == 'i') atom_setlong(&out, 0);
            else atom_setfloat(&out, 0.0);
        } else {
            set_symbol(&out, a.value.w_sym);
        }
        return true;
    }
    case AT_DOLLAR: {
        t_atom_long n = a.value.w_long;
        if (n >= 1 && n <= argc - 1) {
            // The argument's own atom: a float keeps its full value.
            out = argv[n];
            return true;
        }
        if (d.binbuf) error("\"$\" variable out of range");
        else error("\"$\" variable out of range (%ld)", static_cast<long>(n));
        set_symbol(&out, dollar_symbol(n));
        return true;
    }
    case AT_DOLLSYM: {
        t_symbol *s = dollsym_in_range(a.value.w_sym, argc)
                          ? getdollsym(a.value.w_sym, argc, const_cast<t_atom *>(argv))
                          : nullptr;
        if (s) {
            set_symbol(&out, s);
            return true;
        }
        error(d.binbuf ? "\"$\" variable out of range" : "\"$\" symbol variable out of range");
        set_symbol(&out, a.value.w_sym);
        return true;
    }
    default:
        if (d.binbuf) error("%s: bad argument", attostr(static_cast<char>(a.type), &a.value));
        else error("bad argument (%d)", static_cast<int>(a.type));
        return false;
    }
}

void *send(void *target, long n, t_atom *stack, bool &sent) {
    sent = false;
    const t_atom &first = stack[0];
    t_symbol *sel = nullptr;
    t_atom *args = stack;
    long nargs = n;
    if (first.type == AT_LONG) {
        sel = n == 1 ? ps_int : ps_list;
    } else if (first.type == AT_FLOAT) {
        sel = n == 1 ? ps_float : ps_list;
    } else if (first.type == AT_SYM) {
        sel = first.value.w_sym;
        args = stack + 1;
        nargs = n - 1;
    }
    // typedmess counts in 16 bits; a longer message could not be delivered whole.
    if (!sel || nargs > SHRT_MAX) {
        error("badly formed message");
        return nullptr;
    }
    sent = true;
    return typedmess(target, sel, static_cast<short>(nargs), args);
}

template <class Source>
void *evaluate(const Dialect &d, Source &src, long argc, const t_atom *argv, void *target,
               t_atom *stack, long stacksize) {
    if (!argv || argc < 0) argc = 0;
    void *result = nullptr;
    t_atom a;
    // Skips to the next separator; a semicolon there clears the target.
    auto skip = [&]() {
        t_atom b;
        while (src.next(b)) {
            if (b.type == AT_SEMI) {
                target = nullptr;
                return;
            }
            if (b.type == AT_COMMA) return;
        }
    };
    while (src.next(a)) {
        if (a.type == AT_SEMI) {
            target = nullptr;
            continue;
        }
        if (a.type == AT_COMMA) continue;
        if (!target) {
            target = resolve_receiver(d, a, argc, argv);
            if (!target) skip();
            continue;
        }
        long n = 0;
        bool ok = true;
        bool overflow = false;
        t_atom b = a;
        bool have = true;
        while (have) {
            if (is_separator(b)) break;
            if (ok) {
                if (n >= stacksize) {
                    overflow = true;
                    ok = false;
                } else if (!convert(d, b, argc, argv, stack[n])) {
                    ok = false;
                } else {
                    ++n;
                }
            }
            have = src.next(b);
        }
        if (overflow) ouchstring("Message stack overflow");
        if (ok && n > 0) {
            bool sent;
            void *r = send(target, n, stack, sent);
            if (sent) result = r;
        }
        if (have && b.type == AT_SEMI) target = nullptr;
    }
    return result;
}

} // namespace

extern "C" {

t_atombuf *atombuf_new(long count, const t_atom *atoms) {
    t_atombuf *x = alloc_buffer(count);
    if (x && atoms && x->a_argc) std::memcpy(x->a_argv, atoms, x->a_argc * sizeof(t_atom));
    return x;
}

void atombuf_free(t_atombuf *x) {
    if (x) sysmem_freeptr(x);
}

short atombuf_count(const t_atombuf *x) {
    if (!x) return 0;
    // Saturated: a wrapped count would be negative, or index a small prefix as all.
    return x->a_argc > SHRT_MAX ? SHRT_MAX : static_cast<short>(x->a_argc);
}

t_atombuf *atombuf_frombinbuf(t_binbuf *b, long typepos, long valpos, long before) {
    if (!b) return nullptr;
    t_atom_long total = binbuf_countatoms(b) - before;
    if (total < 0) total = 0;
    t_atombuf *x = alloc_buffer(total);
    if (!x) return nullptr;
    t_atom_long tp = typepos, vp = valpos;
    t_atom_long i = 0;
    t_atom a;
    while (i < total && binbuf_getatom(b, &tp, &vp, &a) == 0) x->a_argv[i++] = a;
    x->a_argc = i;
    return x;
}

t_kivo_err atombuf_text(t_atombuf **x, char **text, long length) {
    return atombuf_text_flags(x, text, length, 0);
}

t_kivo_err atombuf_text_flags(t_atombuf **x, char **text, long length, long flags) {
    if (!x) return KIVO_ERR_INVALID_PTR;
    std::vector<t_atom> atoms;
    t_kivo_err err = KIVO_ERR_NONE;
    if (text && *text && length > 0) {
        // The reader writes each word before it reads it: no need to clear
        // the buffer, which would cost more than reading a short text.
        auto word = std::make_unique_for_overwrite<char[]>(KIVO_TEXT_WORDBUF);
        t_atom_long pos = 0;
        t_atom a;
        while (readatom_flags(word.get(), text, &pos, length, &a, flags)) {
            if (atoms.size() == ATOMBUF_TEXT_MAX) {
                bug("atombuf_text");
                err = KIVO_ERR_GENERIC;
                break;
            }
            atoms.push_back(a);
        }
    }
    t_atombuf *fresh = atombuf_new(static_cast<long>(atoms.size()), atoms.data());
    if (!fresh) return KIVO_ERR_OUT_OF_MEMORY;
    store(x, fresh);
    return err;
}

long atombuf_totext(t_atombuf *x, t_handle h, t_ptr_size *size) {
    return atombuf_totext_flags(x, h, size, 0);
}

long atombuf_totext_flags(t_atombuf *x, t_handle h, t_ptr_size *size, long flags) {
    t_ptr_size ignored;
    if (!size) size = &ignored;
    return msgtext_totext(x ? static_cast<long>(x->a_argc) : 0, x ? x->a_argv : nullptr, h, size,
                          flags);
}

t_kivo_err atombuf_replace(t_atombuf **x, t_symbol *, long count, const t_atom *atoms) {
    if (!x) return KIVO_ERR_INVALID_PTR;
    t_atombuf *fresh = atombuf_new(count, atoms);
    if (!fresh) return KIVO_ERR_OUT_OF_MEMORY;
    atombuf_set(fresh, 0, 0);
    store(x, fresh);
    return KIVO_ERR_NONE;
}

t_kivo_err atombuf_prepend(t_atombuf **x, t_symbol *, long count, const t_atom *atoms) {
    if (!x) return KIVO_ERR_INVALID_PTR;
    if (count < 0 || !atoms) count = 0;
    t_atom_long old = *x ? (*x)->a_argc : 0;
    t_atombuf *fresh = alloc_buffer(old + count);
    if (!fresh) return KIVO_ERR_OUT_OF_MEMORY;
    if (count) std::memcpy(fresh->a_argv, atoms, count * sizeof(t_atom));
    if (old) std::memcpy(fresh->a_argv + count, (*x)->a_argv, old * sizeof(t_atom));
    if (count) atombuf_set(fresh, 0, count);
    store(x, fresh);
    return KIVO_ERR_NONE;
}

t_kivo_err atombuf_append(t_atombuf **x, t_symbol *, long count, const t_atom *atoms) {
    if (!x) return KIVO_ERR_INVALID_PTR;
    if (count < 0 || !atoms) count = 0;
    t_atom_long old = *x ? (*x)->a_argc : 0;
    t_atombuf *fresh = alloc_buffer(old + count);
    if (!fresh) return KIVO_ERR_OUT_OF_MEMORY;
    if (old) std::memcpy(fresh->a_argv, (*x)->a_argv, old * sizeof(t_atom));
    if (count) std::memcpy(fresh->a_argv + old, atoms, count * sizeof(t_atom));
    if (count) atombuf_set(fresh, static_cast<long>(old), count);
    store(x, fresh);
    return KIVO_ERR_NONE;
}

void atombuf_set(t_atombuf *x, long first, long count) {
    if (!x) return;
    t_atom_long begin = first, end;
    if (first == 0 && count == 0) {
        end = x->a_argc;
    } else {
        if (begin < 0) begin = 0;
        end = count > 0 ? begin + count : begin;
        if (end > x->a_argc) end = x->a_argc;
    }
    for (t_atom_long i = begin; i < end; ++i) {
        t_atom *a = &x->a_argv[i];
        if (a->type != AT_SYM) continue;
        const char *t = sym_text(a->value.w_sym);
        if (t[0] == '$') {
            dollarprocess(t, a);
        } else if (t[0] == ',') {
            a->type = AT_COMMA;
            a->value.w_long = 0;
        } else if (t[0] == ';') {
            a->type = AT_SEMI;
            a->value.w_long = 0;
        } else {
            if (!a->value.w_sym) a->value.w_sym = gensym("");
            unslash(&a->value.w_sym);
        }
    }
}

long dollarprocess(const char *text, t_atom *a) {
    if (!a) return 0;
    if (!text) text = "";
    if (text[0] == '$' && is_digit19(text[1])) {
        if (text[2] == '\0') {
            a->type = AT_DOLLAR;
            a->value.w_long = text[1] - '0';
            return text[1] - '0';
        }
        if (!is_digit19(text[2])) {
            a->type = AT_DOLLSYM;
            a->value.w_sym = gensym(text + 1);
            if (!a->value.w_sym) set_symbol(a, nullptr);
            unslash(&a->value.w_sym);
            return 0;
        }
    }
    set_symbol(a, gensym(text));
    unslash(&a->value.w_sym);
    return 0;
}

long atombuf_next(const t_atombuf *x, long *index, t_atom *out) {
    if (!x || !index || *index < 0 || *index >= x->a_argc) return 1;
    if (out) *out = x->a_argv[*index];
    ++*index;
    return 0;
}

long atombuf_firstatom(const t_atombuf *x, t_atom *out) {
    if (!x || x->a_argc < 1) return 1;
    if (out) *out = x->a_argv[0];
    return 0;
}

void atombuf_subst(t_atombuf *x, const t_atom *a, long index) {
    if (x && a && index >= 0 && index < x->a_argc) x->a_argv[index] = *a;
}

long atombuf_misc(const t_atombuf *x) {
    if (!x || x->a_argc < 1) return 0;
    long bits = 0;
    const t_atom &first = x->a_argv[0];
    if (first.type == AT_SYM) {
        const char *t = sym_text(first.value.w_sym);
        if (!std::strcmp(t, "patcher") || !std::strcmp(t, "p")) bits |= 1;
    }
    for (t_atom_long i = 0; i < x->a_argc; ++i) {
        if (is_separator(x->a_argv[i])) {
            bits |= 2;
            break;
        }
    }
    return bits;
}

void atombuf_save(const t_atombuf *x, t_atom *dst, long count) {
    if (!x || !dst || count <= 0) return;
    t_atom_long n = count < x->a_argc ? count : x->a_argc;
    std::vector<char> word;
    auto escaped = [&](const t_symbol *s) -> const char * {
        if (word.empty()) word.resize(KIVO_TEXT_WORDBUF + 1);
        word[1] = '\0';
        return slash(word.data() + 1, sym_text(s)) ? word.data() + 1 : sym_text(s);
    };
    for (t_atom_long i = 0; i < n; ++i) {
        const t_atom &a = x->a_argv[i];
        t_atom &d = dst[i];
        switch (a.type) {
        case AT_LONG:
        case AT_FLOAT:
            d = a;
            break;
        case AT_SYM: {
            const char *e = escaped(a.value.w_sym);
            set_symbol(&d, e == sym_text(a.value.w_sym) ? a.value.w_sym : gensym(e));
            break;
        }
        case AT_SEMI:
            set_symbol(&d, gensym(";"));
            break;
        case AT_COMMA:
            set_symbol(&d, gensym(","));
            break;
        case AT_DOLLAR:
            set_symbol(&d, dollar_symbol(a.value.w_long));
            break;
        case AT_DOLLSYM: {
            // "$" in front of the escaped text, written in the slot before it.
            const char *e = escaped(a.value.w_sym);
            if (e == word.data() + 1) {
                word[0] = '$';
                set_symbol(&d, gensym(word.data()));
            } else {
                std::string t = std::string("$") + e;
                set_symbol(&d, gensym(t.c_str()));
            }
            break;
        }
        default:
            break;
        }
    }
}

long atombuf_gethandle(long count, const t_atom *atoms, t_handle *h, long *outcount, t_symbol *s) {
    if (!atoms || count < 1 || atoms[0].type != AT_SYM || atoms[0].value.w_sym != s) return 1;
    long n = 0;
    while (1 + n < count && atoms[1 + n].type == AT_LONG) ++n;
    if (1 + n < count) warn("extra baggage after %s", sym_text(s));
    t_handle fresh = sysmem_newhandle(static_cast<t_ptr_size>(n) * sizeof(t_atom_long));
    if (!fresh) return -1;
    for (long i = 0; i < n; ++i)
        std::memcpy(*fresh + i * sizeof(t_atom_long), &atoms[1 + i].value.w_long, sizeof(t_atom_long));
    if (h) *h = fresh;
    else sysmem_freehandle(fresh);
    if (outcount) *outcount = n;
    return 0;
}

long atombuf_replacepoundargs(t_atombuf *x, long argc, const t_atom *argv) {
    return atombuf_replaceargs(x, argc, argv, '#', 0);
}

long atombuf_replaceargs(t_atombuf *x, long argc, const t_atom *argv, char prefix, long keepmissing) {
    if (!x) return 0;
    long any = 0;
    for (t_atom_long i = 0; i < x->a_argc; ++i)
        if (atom_replacearg(&x->a_argv[i], argc, argv, prefix, keepmissing, 0)) any = 1;
    return any;
}

void *atombuf_eval(t_atombuf *x, long argc, const t_atom *argv, void *target) {
    if (!x) return nullptr;
    t_atom args[ATOMBUF_EVAL_MAXARGS + 1];
    atom_setlong(&args[0], 0);
    long n = (argv && argc > 0) ? argc : 0;
    if (n > ATOMBUF_EVAL_MAXARGS) n = ATOMBUF_EVAL_MAXARGS;
    for (long i = 0; i < n; ++i) args[1 + i] = argv[i];
    return aeval(static_cast<long>(x->a_argc), x->a_argv, n ? n + 1 : 0, args, target);
}

void *aeval(long count, const t_atom *atoms, long argc, const t_atom *argv, void *target) {
    if (!atoms || count <= 0) return nullptr;
    t_atom local[ATOMBUF_AEVAL_LOCAL];
    std::unique_ptr<t_atom[]> heap;
    t_atom *stack = local;
    long stacksize = count + 1;
    if (stacksize > ATOMBUF_AEVAL_LOCAL) {
        heap.reset(new (std::nothrow) t_atom[stacksize]);
        if (!heap) return nullptr;
        stack = heap.get();
    }
    ListSource src(count, atoms);
    return evaluate(Dialect{false}, src, argc, argv, target, stack, stacksize);
}

void *eval(t_handle storage, t_atom_long typesize, long argc, const t_atom *argv, void *target) {
    t_atom stack[ATOMBUF_EVAL_STACK];
    return eval_internal(storage, typesize, argc, argv, target, stack, ATOMBUF_EVAL_STACK);
}

void *eval_internal(t_handle storage, t_atom_long typesize, long argc, const t_atom *argv,
                    void *target, t_atom *stack, long stacksize) {
    if (!stack || stacksize < 0) stacksize = 0;
    StorageSource src(storage, typesize);
    return evaluate(Dialect{true}, src, argc, argv, target, stack, stacksize);
}

long ispound(const t_atom *a) {
    if (!a || a->type != AT_SYM) return 0;
    const char *t = sym_text(a->value.w_sym);
    return t[0] == '#' && t[1] >= '0' && t[1] <= '9';
}

void helpstring(void) {}

} // extern "C"

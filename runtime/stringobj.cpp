/*
 * The "string" class: a growable zero-terminated text.
 *
 *   - text is null (size 0) or a pointer block of at least size bytes
 *     holding a zero-terminated text: strlen(text) < size always.
 *   - A string made with its text keeps it in the object's own block,
 *     right after the record (one allocation for the many strings of a
 *     document); such text is never freed or resized by itself: a change
 *     that needs more room moves it to a block of its own.
 *   - A failed grow keeps the old block; an append then keeps what fits.
 *   - No lock: one thread at a time, or guarded by the owner.
 */
#include <cstring>

#include "kernel/obex_internal.h"
#include "kivo/atomarray.h"
#include "kivo/class.h"
#include "kivo/commonsyms.h"
#include "kivo/msgtext.h"
#include "kivo/obex.h"
#include "kivo/strutil.h"
#include "kivo/sysmem.h"
#include "runtime/atomarray_internal.h"

using kivo::obex::as_method;

namespace {

t_class *s_string_class = nullptr;

long text_length(const t_string *x) { return x->text ? static_cast<long>(std::strlen(x->text)) : 0; }

// A new block holding a copy of s, or null.
char *copy_text(const char *s, t_atom_long *size) {
    size_t n = std::strlen(s) + 1;
    char *block = sysmem_newptr(n);
    if (block) {
        std::memcpy(block, s, n);
        *size = static_cast<t_atom_long>(n);
    }
    return block;
}

// The text sits in the object's own block.
bool text_inline(const t_string *x) { return x->text && x->text == reinterpret_cast<const char *>(x + 1); }

// Frees the text's block, unless the text is in the object's own.
void free_block(t_string *x) {
    if (!text_inline(x)) sysmem_freeptr(x->text);
}

void drop_text(t_string *x) {
    free_block(x);
    x->text = nullptr;
    x->size = 0;
}

// Grows the block to newsize bytes, keeping the text; false when memory
// is exhausted (the old block is kept).
bool grow(t_string *x, t_atom_long newsize) {
    if (!x->text) {
        char *block = sysmem_newptr(static_cast<t_ptr_size>(newsize));
        if (!block) return false;
        block[0] = '\0';
        x->text = block;
        x->size = newsize;
        return true;
    }
    if (text_inline(x)) {
        char *block = sysmem_newptr(static_cast<t_ptr_size>(newsize));
        if (!block) return false;
        std::memcpy(block, x->text, static_cast<size_t>(x->size < newsize ? x->size : newsize));
        block[newsize - 1] = '\0';
        x->text = block;
        x->size = newsize;
        return true;
    }
    t_ptr block = sysmem_resizeptr(x->text, static_cast<t_ptr_size>(newsize));
    if (!block) return false;
    x->text = block;
    x->size = newsize;
    return true;
}

} // namespace

extern "C" {

void string_initclass(void) {
    if (s_string_class) return;
    t_class *c = class_new("string", as_method(string_new), as_method(string_free), sizeof(t_string),
                           nullptr, AT_CANT, 0);
    if (!c) return;
    kivo::obex::class_addmethods_cant(c, {
        {as_method(string_getptr), "getptr"},
        {as_method(string_reserve), "reserve"},
        {as_method(string_append), "append"},
        {as_method(string_clear), "clear"},
        {as_method(string_replace), "replace"},
        {as_method(string_chop), "chop"},
        {as_method(string_getvalueof), "getvalueof"},
        {as_method(string_setvalueof), "setvalueof"},
        {as_method(string_getvaluetext), "getvaluetext"},
        {as_method(string_setvaluetext), "setvaluetext"},
        {as_method(string_clone), "object_clone"},
        {as_method(string_setptr), "setptr"},
        {as_method(string_serializeblob), "serializeblob"},
        {as_method(string_deserializeblob), "deserializeblob"},
    });
    class_register(_sym(nobox), c);
    s_string_class = c;
}

t_string *string_new(const char *text) {
    if (!s_string_class) string_initclass();
    const size_t n = text ? std::strlen(text) + 1 : 0;
    if (n) {
        if (auto *x = static_cast<t_string *>(object_alloc_extra(s_string_class, static_cast<t_ptr_size>(n)))) {
            x->text = reinterpret_cast<char *>(x + 1);
            std::memcpy(x->text, text, n);
            x->size = static_cast<t_atom_long>(n);
            return x;
        }
    }
    auto *x = static_cast<t_string *>(object_alloc(s_string_class));
    if (!x) return nullptr;
    x->text = nullptr;
    x->size = 0;
    if (text) x->text = copy_text(text, &x->size);
    return x;
}

void string_free(t_string *x) {
    if (x) drop_text(x);
}

const char *string_getptr(t_string *x) { return x ? x->text : nullptr; }

void string_reserve(t_string *x, long numbytes) {
    if (!x || numbytes <= 0 || x->size >= numbytes) return;
    grow(x, numbytes);
}

void string_append(t_string *x, const char *s) {
    if (!x || !s) return;
    const t_atom_long length = text_length(x);
    const t_atom_long added = static_cast<t_atom_long>(std::strlen(s));
    if (length + added >= x->size) grow(x, x->size + added + 512);
    if (!x->text) return;
    strncat_zero(x->text, s, static_cast<long>(x->size));
}

void string_clear(t_string *x) {
    if (x && x->text) x->text[0] = '\0';
}

void string_replace(t_string *x, const char *s) {
    string_clear(x);
    string_append(x, s);
}

long string_chop(t_string *x, long numchars) {
    if (!x) return 0;
    const long length = text_length(x);
    if (numchars <= 0) return length;
    if (x->text) x->text[numchars >= length ? 0 : length - numchars] = '\0';
    return length - numchars;
}

t_kivo_err string_getvalueof(t_string *x, long *ac, t_atom **av) {
    if (!x) return KIVO_ERR_GENERIC;
    return atom_setparse(ac, av, x->text);
}

t_kivo_err string_setvalueof(t_string *x, long ac, t_atom *av) {
    if (!x) return KIVO_ERR_GENERIC;
    long size = 0;
    char *text = nullptr;
    // The old text stays when the new one cannot be made.
    t_kivo_err err = atom_gettext(ac, av, &size, &text, 0);
    if (err != KIVO_ERR_NONE) return err;
    drop_text(x);
    x->text = text;
    x->size = text ? size : 0;
    return KIVO_ERR_NONE;
}

t_kivo_err string_getvaluetext(t_string *x, long *size, char **text) {
    if (!x || !size || !text) return KIVO_ERR_GENERIC;
    const char *src = x->text ? x->text : "";
    const long length = text_length(x);
    if (*size <= 0 || !*text) {
        char *block = sysmem_newptr(static_cast<t_ptr_size>(length) + 1);
        if (!block) return KIVO_ERR_OUT_OF_MEMORY;
        *text = block;
        *size = length + 1;
    }
    strncpy_zero(*text, src, *size);
    return KIVO_ERR_NONE;
}

t_kivo_err string_setvaluetext(t_string *x, const char *s) {
    if (!x) return KIVO_ERR_GENERIC;
    drop_text(x);
    if (!s) return KIVO_ERR_NONE;
    x->text = copy_text(s, &x->size);
    return x->text ? KIVO_ERR_NONE : KIVO_ERR_OUT_OF_MEMORY;
}

t_string *string_clone(t_string *x) {
    if (!x) return nullptr;
    auto *y = reinterpret_cast<t_string *>(object_clone_generic(&x->ob));
    if (!y) return nullptr;
    // The generic copy shares the text block: the clone must never keep it.
    y->text = nullptr;
    y->size = 0;
    if (x->text) y->text = copy_text(x->text, &y->size);
    return y;
}

void string_setptr(t_string *x, char *block) {
    if (!x) return;
    if (block != x->text) free_block(x);
    x->text = block;
    // The block's size is not handed over; the text's own extent is the
    // only size known to be safe.
    x->size = block ? static_cast<t_atom_long>(std::strlen(block)) + 1 : 0;
}

t_kivo_err string_serializeblob(t_string *x, t_handle *handle) {
    if (!x || !handle) return KIVO_ERR_GENERIC;
    const long length = text_length(x);
    t_handle h = sysmem_newhandle(static_cast<t_ptr_size>(length) + 1);
    if (!h) return KIVO_ERR_GENERIC;
    if (length) std::memcpy(*h, x->text, static_cast<size_t>(length));
    (*h)[length] = '\0';
    *handle = h;
    return KIVO_ERR_NONE;
}

t_kivo_err string_deserializeblob(t_string *x, long length, const char *bytes) {
    if (!x) return KIVO_ERR_GENERIC;
    drop_text(x);
    // A block of no bytes could not even hold the terminating zero.
    if (length <= 0) return KIVO_ERR_NONE;
    char *block = sysmem_newptr(static_cast<t_ptr_size>(length));
    if (!block) return KIVO_ERR_GENERIC;
    strncpy_zero(block, bytes ? bytes : "", length);
    x->text = block;
    x->size = length;
    return KIVO_ERR_NONE;
}

} // extern "C"

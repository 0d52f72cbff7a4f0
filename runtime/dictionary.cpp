/*
 * Dictionaries: entries in key order, found by key.
 *
 * - An entry lives in a node of the dictionary's own pool; nodes are chained
 *   in key order (first addition first) and never move while their key is
 *   present, so entry pointers stay valid until the key is replaced or
 *   removed. Nodes come from chunks the dictionary owns; a removed node
 *   goes to the free list and the chunks go with the dictionary.
 * - Up to kLinearMax keys are found by walking the chain; past that an
 *   open-addressed index (linear probing, never more than half full) maps
 *   key -> node. Once built, the index stays until the dictionary is cleared.
 * - One entry per key. A new key is appended; replacing a value rewrites the
 *   entry in place, so the key keeps its place.
 * - An entry owns an AT_OBJ value unless its flags have bit 1 or 2.
 * - A replaced value is freed after the new one is in place, and never when
 *   it is the very object being stored. Values are freed outside the lock:
 *   freeing may reach other dictionaries and arbitrary free functions.
 * - A node is live while its entry carries the object magic. While a walk
 *   (funall) is in progress, a removed node stays in the chain, emptied,
 *   until the last walk ends and sweeps it.
 * - Every operation takes the dictionary's small inner lock, unless it is
 *   switched to read-only use; the transaction mutex is separate, made on
 *   first use.
 * - Converting readers turn string objects into symbols in place; a string
 *   the dictionary does not own is left to its owner.
 */
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <climits>
#include <cstdlib>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "kivo/atomarray.h"
#include "kivo/attr_conv.h"
#include "kivo/binbuf.h"
#include "kivo/class.h"
#include "kivo/commonsyms.h"
#include "kivo/dictionary.h"
#include "kivo/dispatch.h"
#include "kivo/legacy.h"
#include "kivo/post.h"
#include "kivo/stringobj.h"
#include "kivo/strutil.h"
#include "kivo/sysmem.h"
#include "app/kivodebug_internal.h"
#include "kernel/obex_internal.h"
#include "runtime/dictionary_internal.h"

namespace {

using kivo::obex::as_method;

constexpr long kNotOwned = DICTIONARY_ENTRY_FLAG_NOFREE | DICTIONARY_ENTRY_FLAG_REFERENCE;
// Size of the caller's buffer that dictionary_get_ex may fill.
constexpr size_t kErrorTextSize = 256;
// Longest part of a path that is split into components.
constexpr size_t kPathLimit = 2047;

std::once_flag s_class_once;
t_class *s_dictionary_class = nullptr;
t_class *s_entry_class = nullptr;
std::atomic<long> s_instances{0};

void count_instances(long delta) {
    const long now = s_instances.fetch_add(delta, std::memory_order_relaxed) + delta;
    kivodebug_setformat(gensym("dictionary_instances"), "l", static_cast<t_atom_long>(now));
}

bool is_class(const t_atom *a, t_symbol *name) {
    return a->type == AT_OBJ && a->value.w_obj && object_classname(a->value.w_obj) == name;
}

bool is_dictionary_object(t_object *x) { return x && object_classname(x) == _sym(dictionary); }

// ---- storage

// A small mutex in one word, that needs no allocation: 0 free, 1 held,
// 2 held with waiters (who sleep on the word).
class TinyLock {
public:
    void lock() {
        uint32_t c = 0;
        if (word_.compare_exchange_strong(c, 1, std::memory_order_acquire)) return;
        if (c != 2) c = word_.exchange(2, std::memory_order_acquire);
        while (c != 0) {
            word_.wait(2, std::memory_order_relaxed);
            c = word_.exchange(2, std::memory_order_acquire);
        }
    }
    void unlock() {
        if (word_.exchange(0, std::memory_order_release) == 2) word_.notify_one();
    }

private:
    std::atomic<uint32_t> word_{0};
};

// A node is live while its entry carries the object magic; a node removed
// during a walk has lost it and waits in the chain for the sweep.
struct Node {
    Node *prev;
    Node *next;
    t_dictionary_entry entry;
};

// A block of nodes; the nodes follow the header.
struct Chunk {
    Chunk *next;
    uint32_t cap;
    uint32_t used;
    Node *nodes() { return reinterpret_cast<Node *>(this + 1); }
};
static_assert(sizeof(Chunk) % alignof(Node) == 0, "nodes follow the chunk header aligned");

// Keys found by walking the chain up to this many; an index past it.
constexpr t_atom_long kLinearMax = 16;
// Nodes of the largest chunk.
constexpr size_t kChunkMax = 1024;

// The whole object: the public record first, then the private state. A
// dictionary made with room for its entries has its first chunk right
// after this record, in the same block.
struct DictImpl {
    t_dictionary pub;
    TinyLock mu;
    std::atomic<uint32_t> readonly; // non-zero: no inner locking
    std::atomic<int32_t> walking;   // walks in progress
    uint32_t indexcap;              // slots of the index (a power of two), or 0
    uint32_t count;                 // live entries
    uint8_t sweep;                  // emptied nodes wait in the chain
    uint8_t inlined;                // 1: the object's block holds a chunk
    Node *head, *tail;              // the chain in key order, emptied nodes included
    Node **index;                   // null, or indexcap slots (owned)
    Chunk *chunks;                  // newest first (owned, but for the one in the block)
    Node *freelist;                 // through next
};
static_assert(sizeof(DictImpl) == sizeof(t_dictionary) + 64, "the private part stays small");

DictImpl *impl(t_dictionary *d) { return reinterpret_cast<DictImpl *>(d); }

bool is_live(const Node *n) { return n->entry.ob.magic == KIVO_OBJECT_MAGIC; }

Chunk *inline_chunk(DictImpl *x) { return reinterpret_cast<Chunk *>(x + 1); }

// The inner lock, unless the dictionary is in read-only use.
class Guard {
public:
    explicit Guard(DictImpl *x) : x_(x), on_(x->readonly.load(std::memory_order_relaxed) == 0) {
        if (on_) x_->mu.lock();
        held_ = on_;
    }
    ~Guard() {
        if (held_) x_->mu.unlock();
    }
    void unlock() {
        if (held_) x_->mu.unlock();
        held_ = false;
    }
    void lock() {
        if (on_ && !held_) x_->mu.lock();
        held_ = on_;
    }
    Guard(const Guard &) = delete;
    Guard &operator=(const Guard &) = delete;

private:
    DictImpl *x_;
    bool on_;
    bool held_ = false;
};

size_t slot_of(t_symbol *key, size_t mask) {
    uint64_t v = reinterpret_cast<uintptr_t>(key);
    v *= 0x9E3779B97F4A7C15ull;
    return static_cast<size_t>(v >> 32) & mask;
}

void index_put(Node **index, size_t mask, Node *n) {
    size_t i = slot_of(n->entry.key, mask);
    while (index[i]) i = (i + 1) & mask;
    index[i] = n;
}

// Rebuilds the index with room for twice the count; false when out of memory.
bool index_rebuild(DictImpl *x, size_t cap) {
    auto **fresh = static_cast<Node **>(std::calloc(cap, sizeof(Node *)));
    if (!fresh) return false;
    for (Node *n = x->head; n; n = n->next)
        if (is_live(n)) index_put(fresh, cap - 1, n);
    std::free(x->index);
    x->index = fresh;
    x->indexcap = static_cast<uint32_t>(cap);
    return true;
}

Node *find_locked(DictImpl *x, t_symbol *key) {
    if (x->index) {
        const size_t mask = x->indexcap - 1;
        for (size_t i = slot_of(key, mask);; i = (i + 1) & mask) {
            Node *n = x->index[i];
            if (!n) return nullptr;
            if (n->entry.key == key) return n;
        }
    }
    for (Node *n = x->head; n; n = n->next)
        if (is_live(n) && n->entry.key == key) return n;
    return nullptr;
}

// Backward-shift deletion keeps every probe chain unbroken.
void index_remove(DictImpl *x, Node *node) {
    if (!x->index) return;
    const size_t mask = x->indexcap - 1;
    size_t i = slot_of(node->entry.key, mask);
    while (x->index[i] != node) {
        if (!x->index[i]) return;
        i = (i + 1) & mask;
    }
    for (size_t j = (i + 1) & mask; x->index[j]; j = (j + 1) & mask) {
        const size_t home = slot_of(x->index[j]->entry.key, mask);
        if (((j - home) & mask) >= ((j - i) & mask)) {
            x->index[i] = x->index[j];
            i = j;
        }
    }
    x->index[i] = nullptr;
}

Node *node_alloc(DictImpl *x) {
    if (Node *n = x->freelist) {
        x->freelist = n->next;
        return n;
    }
    if (!x->chunks || x->chunks->used == x->chunks->cap) {
        // Each new chunk doubles the room, up to kChunkMax nodes.
        size_t cap = x->chunks ? 2 * static_cast<size_t>(x->chunks->cap) : 4;
        if (cap > kChunkMax) cap = kChunkMax;
        auto *c = static_cast<Chunk *>(std::malloc(sizeof(Chunk) + cap * sizeof(Node)));
        if (!c) return nullptr;
        c->next = x->chunks;
        c->cap = static_cast<uint32_t>(cap);
        c->used = 0;
        x->chunks = c;
    }
    return x->chunks->nodes() + x->chunks->used++;
}

void node_release(DictImpl *x, Node *n) {
    n->entry.ob.magic = 0;
    n->next = x->freelist;
    x->freelist = n;
}

void unlink_node(DictImpl *x, Node *n) {
    if (n->prev)
        n->prev->next = n->next;
    else
        x->head = n->next;
    if (n->next)
        n->next->prev = n->prev;
    else
        x->tail = n->prev;
}

// Entries in a dictionary's pool are objects of "dictionary_entry" as well:
// they answer its messages, but their memory is the pool's.
void init_entry_header(t_dictionary_entry *e) {
    e->ob.messlist = s_entry_class->messlist + 1;
    e->ob.magic = KIVO_OBJECT_MAGIC;
    e->ob.inlet = nullptr;
    e->ob.outlet = nullptr;
}

// A new entry at the end of the key order; null when out of memory.
Node *insert_locked(DictImpl *x, t_symbol *key, const t_atom &value, long flags) {
    if (x->count >= UINT32_MAX / 4) return nullptr; // the index could not grow further
    if (!x->index && x->count + 1 > kLinearMax) {
        size_t cap = 64;
        while (cap < static_cast<size_t>(x->count + 1) * 2) cap *= 2;
        if (!index_rebuild(x, cap)) return nullptr;
    } else if (x->index && static_cast<size_t>(x->count + 1) * 2 > x->indexcap) {
        if (!index_rebuild(x, static_cast<size_t>(x->indexcap) * 2)) return nullptr;
    }
    Node *n = node_alloc(x);
    if (!n) return nullptr;
    init_entry_header(&n->entry);
    n->entry.key = key;
    n->entry.value = value;
    n->entry.flags = flags;
    n->next = nullptr;
    n->prev = x->tail;
    if (x->tail)
        x->tail->next = n;
    else
        x->head = n;
    x->tail = n;
    if (x->index) index_put(x->index, x->indexcap - 1, n);
    x->count++;
    return n;
}

// Takes the node out of the dictionary; its entry is left for the caller
// to read and free. During a walk the node stays in the chain, emptied.
void remove_locked(DictImpl *x, Node *n) {
    index_remove(x, n);
    n->entry.ob.magic = 0;
    x->count--;
    if (x->walking.load(std::memory_order_acquire) > 0) {
        x->sweep = 1;
        return;
    }
    unlink_node(x, n);
    node_release(x, n);
}

void sweep_locked(DictImpl *x) {
    if (!x->sweep || x->walking.load(std::memory_order_acquire) > 0) return;
    x->sweep = 0;
    for (Node *n = x->head; n;) {
        Node *next = n->next;
        if (!is_live(n)) {
            unlink_node(x, n);
            node_release(x, n);
        }
        n = next;
    }
}

void free_chunks(DictImpl *x) {
    for (Chunk *c = x->chunks; c;) {
        Chunk *next = c->next;
        if (c != inline_chunk(x)) std::free(c);
        c = next;
    }
    x->chunks = nullptr;
    x->freelist = nullptr;
}

t_dictionary_entry *find(t_dictionary *d, t_symbol *key) {
    if (!d) return nullptr;
    DictImpl *x = impl(d);
    Guard g(x);
    Node *n = find_locked(x, key);
    return n ? &n->entry : nullptr;
}

// The symbol of a string object's text; a string without text gives the
// empty symbol.
t_symbol *string_symbol(t_object *s) {
    const char *text = string_getptr(reinterpret_cast<t_string *>(s));
    return gensym(text ? text : "");
}

// Turns a string atom into the symbol of its text; the string is freed only
// when the caller's container owns it.
void convert_atom(t_atom *a, bool owned) {
    if (!is_class(a, _sym(string))) return;
    t_object *s = a->value.w_obj;
    atom_setsym(a, string_symbol(s));
    if (owned) object_free(s);
}

// Converts an entry's value, or every atom of its atom-array value.
void convert_entry(t_dictionary_entry *e) {
    if (is_class(&e->value, _sym(atomarray))) {
        auto *array = reinterpret_cast<t_atomarray *>(e->value.value.w_obj);
        const bool owned = array->flags & ATOMARRAY_FLAG_FREECHILDREN;
        for (t_atom_long i = 0; i < array->count; i++) convert_atom(array->atoms + i, owned);
    } else {
        convert_atom(&e->value, !(e->flags & kNotOwned));
    }
}

void entry_values(t_dictionary_entry *e, bool convert, long *argc, t_atom **argv) {
    if (convert) convert_entry(e);
    if (is_class(&e->value, _sym(atomarray))) {
        auto *array = reinterpret_cast<t_atomarray *>(e->value.value.w_obj);
        *argc = static_cast<long>(array->count);
        *argv = array->atoms;
    } else {
        *argc = 1;
        *argv = &e->value;
    }
}

// The atoms of key's value; null when the key is missing.
t_dictionary_entry *find_values(t_dictionary *d, t_symbol *key, bool convert, long *argc,
                                t_atom **argv) {
    t_dictionary_entry *e = find(d, key);
    if (e) entry_values(e, convert, argc, argv);
    return e;
}

const char *value_text(const t_atom *a) {
    static const char *const dollars[] = {"$0", "$1", "$2", "$3", "$4",
                                          "$5", "$6", "$7", "$8", "$9"};
    switch (a->type) {
    case AT_SYM:
        return a->value.w_sym ? a->value.w_sym->name : "";
    case AT_SEMI:
        return ";";
    case AT_COMMA:
        return ",";
    case AT_DOLLAR:
        return (a->value.w_long >= 0 && a->value.w_long <= 9) ? dollars[a->value.w_long] : "$0";
    case AT_DOLLSYM: {
        std::string text = "$";
        if (a->value.w_sym) text += a->value.w_sym->name;
        return gensym(text.c_str())->name;
    }
    case AT_OBJ:
        if (is_class(a, _sym(string))) {
            const char *text = string_getptr(reinterpret_cast<t_string *>(a->value.w_obj));
            return text ? text : "";
        }
        return "";
    default:
        return "";
    }
}

// An atom array holding a copy of the atoms; null when it cannot be made.
t_object *new_array(long argc, const t_atom *argv, long arrayflags) {
    t_atomarray *array = atomarray_new(argc, argv);
    if (!array) return nullptr;
    if (argc > 0 && array->count != argc) { // the block could not be allocated
        object_free(array);
        return nullptr;
    }
    atomarray_flags(array, arrayflags);
    return reinterpret_cast<t_object *>(array);
}

t_kivo_err store_object(t_dictionary *d, t_symbol *key, t_object *value, long flags) {
    t_atom a;
    atom_setobj(&a, value);
    return dictionary_appendatom_flags(d, key, &a, flags);
}

// Stores a new array; when the store fails the array is the caller's to
// free, and nobody else has seen it.
t_kivo_err store_new_array(t_dictionary *d, t_symbol *key, t_object *array) {
    if (!array) return KIVO_ERR_GENERIC;
    const t_kivo_err err = store_object(d, key, array, 0);
    if (err != KIVO_ERR_NONE) {
        atomarray_flags(reinterpret_cast<t_atomarray *>(array), 0); // the caller keeps its objects
        object_free(array);
    }
    return err;
}

void set_error(char *errortext, const char *format, ...) __attribute__((format(printf, 2, 3)));
void set_error(char *errortext, const char *format, ...) {
    if (!errortext) return;
    va_list args;
    va_start(args, format);
    vsnprintf_zero(errortext, kErrorTextSize, format, args);
    va_end(args);
}

// A non-negative decimal integer filling the whole text, or -1.
long parse_index(std::string_view digits) {
    if (digits.empty() || digits.size() > 18) return -1;
    long n = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return -1;
        n = n * 10 + (c - '0');
    }
    return n;
}

std::vector<std::string> split_path(const char *name) {
    std::vector<std::string> parts;
    std::string_view path(name);
    if (path.find("::") == std::string_view::npos) {
        parts.emplace_back(path);
        return parts;
    }
    path = path.substr(0, kPathLimit);
    for (;;) {
        const size_t at = path.find("::");
        parts.emplace_back(path.substr(0, at));
        if (at == std::string_view::npos) break;
        path.remove_prefix(at + 2);
    }
    return parts;
}

// The free in progress on this thread, and the dictionaries it has yet to
// free (see dictionary_free).
thread_local bool s_freeing = false;
thread_local std::vector<t_object *> s_put_aside;

t_object *s_yaml = nullptr;
std::once_flag s_yaml_once;

} // namespace

extern "C" {

// ---- classes

void dictionary_initclass(void) {
    std::call_once(s_class_once, [] {
        t_class *e = class_new("dictionary_entry", as_method(dictionary_entry_new),
                               as_method(dictionary_entry_free), sizeof(t_dictionary_entry), nullptr,
                               AT_CANT, 0);
        if (!e) return;
        kivo::obex::class_addmethods_cant(e, {
            {as_method(dictionary_entry_getkey), "getkey"},
            {as_method(dictionary_entry_getvalue), "getvalue"},
            {as_method(dictionary_entry_getvalues), "getvalues"},
        });
        t_class *c = class_new("dictionary", as_method(dictionary_new), as_method(dictionary_free),
                               sizeof(DictImpl), nullptr, AT_CANT, 0);
        if (!c) {
            class_free(e);
            return;
        }
        kivo::obex::class_addmethods_cant(c, {
            {as_method(dictionary_appendlong), "appendlong"},
            {as_method(dictionary_appendfloat), "appendfloat"},
            {as_method(dictionary_appendsym), "appendsym"},
            {as_method(dictionary_appendatom), "appendatom"},
            {as_method(dictionary_appendattribute), "appendattribute"},
            {as_method(dictionary_appendatoms), "appendatoms"},
            {as_method(dictionary_appendatomarray), "appendatomarray"},
            {as_method(dictionary_appenddictionary), "appenddictionary"},
            {as_method(dictionary_getlong), "getlong"},
            {as_method(dictionary_getfloat), "getfloat"},
            {as_method(dictionary_getsym), "getsym"},
            {as_method(dictionary_getatom), "getatom"},
            {as_method(dictionary_getattribute), "getattribute"},
            {as_method(dictionary_getatoms), "getatoms"},
            {as_method(dictionary_copyatoms), "copyatoms"},
            {as_method(dictionary_getatomarray), "getatomarray"},
            {as_method(dictionary_getdictionary), "getdictionary"},
            {as_method(dictionary_get_ex), "get_ex"},
            {as_method(dictionary_getentrycount), "getentrycount"},
            {as_method(dictionary_getkeys), "getkeys"},
            {as_method(dictionary_getkeys_ordered), "getorderedkeys"},
            {as_method(dictionary_freekeys), "freekeys"},
            {as_method(dictionary_deleteentry), "deleteentry"},
            {as_method(dictionary_clear), "clear"},
            {as_method(dictionary_funall), "funall"},
            {as_method(dictionary_readonly), "readonly"},
            {as_method(dictionary_clone), "object_clone"},
            {as_method(dictionary_clone), "newcopy"},
            {as_method(dictionary_copyunique), "copyunique"},
            {as_method(dictionary_serializeblob), "serializeblob"},
            {as_method(dictionary_deserializeblob), "deserializeblob"},
        });
        class_register(_sym(nobox), e);
        class_register(_sym(nobox), c);
        s_entry_class = e;
        s_dictionary_class = c;
    });
}

// ---- creation and freeing

t_dictionary *dictionary_new(void) { return dictionary_new_hashsize(0); }

// The slot count was the size of a fixed hash table; the index now grows
// with the keys, so any count is accepted and none is needed.
t_dictionary *dictionary_new_hashsize(long) { return dictionary_new_sized(0); }

t_dictionary *dictionary_new_sized(long entries) {
    dictionary_initclass();
    if (!s_dictionary_class) return nullptr;
    size_t room = entries > 0 ? static_cast<size_t>(entries) : 0;
    if (room > (UINT32_MAX / sizeof(Node))) room = 0;
    auto *d = room ? static_cast<t_dictionary *>(
                         object_alloc_extra(s_dictionary_class, sizeof(Chunk) + room * sizeof(Node)))
                   : nullptr;
    if (!d) {
        room = 0; // the first entries get a chunk of their own instead
        d = static_cast<t_dictionary *>(object_alloc(s_dictionary_class));
    }
    if (!d) return nullptr;
    // A class derived from "dictionary" would lay its own fields over the
    // private part that follows the public record: refused, before anything
    // is written there.
    if (object_class(d) != s_dictionary_class) {
        object_error(reinterpret_cast<t_object *>(d), "classes derived from dictionary are not supported");
        sysmem_freeptr(d);
        return nullptr;
    }
    DictImpl *x = impl(d);
    // The object arrives zeroed; the private part is set up in place.
    new (&x->mu) TinyLock();
    new (&x->readonly) std::atomic<uint32_t>(0);
    new (&x->walking) std::atomic<int32_t>(0);
    d->table = nullptr;
    d->order = nullptr;
    d->lock = nullptr;
    x->indexcap = 0;
    x->count = 0;
    x->head = x->tail = nullptr;
    x->index = nullptr;
    x->chunks = nullptr;
    x->freelist = nullptr;
    x->sweep = 0;
    x->inlined = room ? 1 : 0;
    if (room) {
        Chunk *c = inline_chunk(x);
        c->next = nullptr;
        c->cap = static_cast<uint32_t>(room);
        c->used = 0;
        x->chunks = c;
    }
    count_instances(1);
    return d;
}

// Frees every entry's owned value in key order, then the storage.
static void free_contents(t_dictionary *d) {
    DictImpl *x = impl(d);
    for (Node *n = x->head; n; n = n->next)
        if (is_live(n)) dictionary_entry_freevalue(&n->entry);
    std::free(x->index);
    x->index = nullptr;
    free_chunks(x);
    x->head = x->tail = nullptr;
    x->count = 0;
    if (d->lock) systhread_mutex_free(d->lock);
    d->lock = nullptr;
    count_instances(-1);
}

/*
 * Freeing nested dictionaries. A dictionary's entries free their owned
 * dictionaries, which free theirs: one level of C stack per level of
 * nesting, and blobs may nest 100,000 deep. While a free is in progress on
 * this thread, owned values are put aside instead (an atom array may hold
 * dictionaries in turn), and the outermost free frees them one by one.
 */
void dictionary_free(t_dictionary *d) {
    if (!d) return;
    const long outermost = nested_free_begin();
    free_contents(d);
    nested_free_end(outermost);
}

long nested_free_begin(void) {
    const bool outermost = !s_freeing;
    s_freeing = true;
    return outermost ? 1 : 0;
}

void nested_free_child(t_object *child) {
    if (!child) return;
    if (s_freeing)
        s_put_aside.push_back(child);
    else
        object_free(child);
}

void nested_free_end(long outermost) {
    if (!outermost) return;
    while (!s_put_aside.empty()) {
        t_object *next = s_put_aside.back();
        s_put_aside.pop_back();
        object_free(next);
    }
    s_freeing = false;
}


t_dictionary *dictionary_prototypefromclass(t_class *c) {
    if (!c) return nullptr;
    // Two first callers must not both store one: the second would free the
    // first's while it is in use.
    static std::mutex making;
    std::lock_guard<std::mutex> guard(making);
    if (void *found = class_extra_lookup(c, _sym(prototype))) return static_cast<t_dictionary *>(found);
    t_dictionary *d = dictionary_new();
    if (!d) return nullptr;
    dictionary_readonly(d, 1);
    if (class_extra_store(c, _sym(prototype), d) != KIVO_ERR_NONE) {
        object_free(d);
        return nullptr;
    }
    return d;
}

// ---- entries

t_dictionary_entry *dictionary_entry_new(t_symbol *key, const t_atom *value) {
    dictionary_initclass();
    if (!s_entry_class) return nullptr;
    auto *x = static_cast<t_dictionary_entry *>(object_alloc(s_entry_class));
    if (!x) return nullptr;
    x->key = key;
    if (value)
        x->value = *value;
    else
        x->value = t_atom{};
    x->flags = 0;
    return x;
}

void dictionary_entry_freevalue(t_dictionary_entry *x) {
    if (!x || x->value.type != AT_OBJ || !x->value.value.w_obj || (x->flags & kNotOwned)) return;
    nested_free_child(x->value.value.w_obj);
}

void dictionary_entry_free(t_dictionary_entry *x) { dictionary_entry_freevalue(x); }

t_symbol *dictionary_entry_getkey(t_dictionary_entry *x) { return x ? x->key : nullptr; }

void dictionary_entry_getvalue(t_dictionary_entry *x, t_atom *value) {
    if (x && value) *value = x->value;
}

void dictionary_entry_getvalues(t_dictionary_entry *x, long *argc, t_atom **argv) {
    dictionary_entry_getvalues_ext(x, 1, argc, argv);
}

void dictionary_entry_getvalues_ext(t_dictionary_entry *x, long convert, long *argc, t_atom **argv) {
    if (x && argc && argv) entry_values(x, convert != 0, argc, argv);
}

void string_toatom(t_atom *a) {
    if (a) convert_atom(a, true);
}

// ---- storing

t_kivo_err dictionary_appendatom_flags(t_dictionary *d, t_symbol *key, const t_atom *value,
                                       long flags) {
    if (!d || !value) return KIVO_ERR_GENERIC;
    // The source may point into the value being replaced (the atoms of
    // dictionary_getatoms), so it is copied before anything is freed.
    const t_atom incoming = *value;
    DictImpl *x = impl(d);
    t_dictionary_entry old;
    {
        Guard g(x);
        if (Node *n = find_locked(x, key)) {
            old = n->entry;
            n->entry.value = incoming;
            n->entry.flags = flags;
        } else {
            // Until the store succeeds the value stays the caller's.
            return insert_locked(x, key, incoming, flags) ? KIVO_ERR_NONE : KIVO_ERR_GENERIC;
        }
    }
    const bool same = old.value.type == AT_OBJ && incoming.type == AT_OBJ &&
                      old.value.value.w_obj == incoming.value.w_obj;
    if (!same) dictionary_entry_freevalue(&old);
    return KIVO_ERR_NONE;
}

t_kivo_err dictionary_appendatom(t_dictionary *d, t_symbol *key, const t_atom *value) {
    return dictionary_appendatom_flags(d, key, value, 0);
}

t_kivo_err dictionary_appendlong(t_dictionary *d, t_symbol *key, t_atom_long value) {
    t_atom a;
    atom_setlong(&a, value);
    return dictionary_appendatom_flags(d, key, &a, 0);
}

t_kivo_err dictionary_appendfloat(t_dictionary *d, t_symbol *key, double value) {
    t_atom a;
    atom_setfloat(&a, value);
    return dictionary_appendatom_flags(d, key, &a, 0);
}

t_kivo_err dictionary_appendsym(t_dictionary *d, t_symbol *key, t_symbol *value) {
    t_atom a;
    atom_setsym(&a, value);
    return dictionary_appendatom_flags(d, key, &a, 0);
}

t_kivo_err dictionary_appendobject(t_dictionary *d, t_symbol *key, t_object *value) {
    return store_object(d, key, value, 0);
}

t_kivo_err dictionary_appendobject_flags(t_dictionary *d, t_symbol *key, t_object *value, long flags) {
    return store_object(d, key, value, flags);
}

t_kivo_err dictionary_appendatoms(t_dictionary *d, t_symbol *key, long argc, const t_atom *argv) {
    return dictionary_appendatoms_flags(d, key, argc, argv, 0);
}

t_kivo_err dictionary_appendatoms_flags(t_dictionary *d, t_symbol *key, long argc, const t_atom *argv,
                                        long flags) {
    if (!d) return KIVO_ERR_GENERIC;
    if (argc < 0 || (argc > 0 && !argv)) argc = 0;
    const long arrayflags = (flags & kNotOwned) ? 0 : ATOMARRAY_FLAG_FREECHILDREN;
    return store_new_array(d, key, new_array(argc, argv, arrayflags));
}

t_kivo_err dictionary_appendatomarray(t_dictionary *d, t_symbol *key, t_object *array) {
    if (!array || object_classname(array) != _sym(atomarray)) return KIVO_ERR_GENERIC;
    return store_object(d, key, array, 0);
}

t_kivo_err dictionary_appenddictionary(t_dictionary *d, t_symbol *key, t_object *sub) {
    if (!is_dictionary_object(sub)) return KIVO_ERR_GENERIC;
    return store_object(d, key, sub, 0);
}

t_kivo_err dictionary_appendstring(t_dictionary *d, t_symbol *key, const char *text) {
    if (!d) return KIVO_ERR_GENERIC;
    t_object *s = static_cast<t_object *>(object_new(_sym(nobox), _sym(string), text));
    if (!s) return KIVO_ERR_GENERIC;
    const t_kivo_err err = store_object(d, key, s, 0);
    if (err != KIVO_ERR_NONE) object_free(s);
    return err;
}

t_kivo_err dictionary_appendbinbuf(t_dictionary *d, t_symbol *key, void *binbuf) {
    if (!d || !binbuf) return KIVO_ERR_GENERIC;
    auto *b = static_cast<t_binbuf *>(binbuf);
    const t_atom_long count = binbuf_countatoms(b);
    if (count <= 0 || count > LONG_MAX / static_cast<t_atom_long>(sizeof(t_atom))) return KIVO_ERR_GENERIC;
    std::vector<t_atom> atoms;
    try {
        atoms.resize(static_cast<size_t>(count));
    } catch (const std::bad_alloc &) {
        return KIVO_ERR_GENERIC;
    }
    t_atom_long typepos = 0, valoffset = 0;
    long read = 0;
    while (read < count && binbuf_getatom(b, &typepos, &valoffset, &atoms[read]) == 0) read++;
    return store_new_array(d, key, new_array(read, atoms.data(), ATOMARRAY_FLAG_FREECHILDREN));
}

t_kivo_err dictionary_appendattribute(t_dictionary *d, t_symbol *key, t_symbol *attrname, t_object *x) {
    return dictionary_appendattribute_frozen(d, key, attrname, 0, x);
}

t_kivo_err dictionary_appendattribute_frozen(t_dictionary *d, t_symbol *key, t_symbol *attrname,
                                             long frozen, t_object *x) {
    t_object *attr = object_attr_get(x, attrname);
    if (!attr) return KIVO_ERR_GENERIC;
    long argc = 0;
    t_atom *argv = nullptr;
    t_kivo_err err = frozen ? object_attr_getvalueof_frozen(x, attrname, 0, &argc, &argv)
                            : object_attr_getvalueof(x, attrname, &argc, &argv);
    if (err == KIVO_ERR_NONE && argc > 0 && argv) {
        if (argc == 1 && object_classname(attr) != _sym(attr_offset_array))
            err = dictionary_appendatom_flags(d, key, argv, DICTIONARY_ENTRY_FLAG_NOFREE);
        else
            err = store_new_array(d, key, new_array(argc, argv, 0));
    } else if (err == KIVO_ERR_NONE) {
        err = KIVO_ERR_GENERIC;
    }
    if (argv) sysmem_freeptr(argv);
    return err;
}

// ---- reading

t_kivo_err dictionary_getatom(t_dictionary *d, t_symbol *key, t_atom *value) {
    t_dictionary_entry *e = find(d, key);
    if (!e || !value) return KIVO_ERR_GENERIC;
    convert_entry(e);
    *value = e->value;
    return KIVO_ERR_NONE;
}

t_kivo_err dictionary_getlong(t_dictionary *d, t_symbol *key, t_atom_long *value) {
    t_atom a;
    if (!value || dictionary_getatom(d, key, &a) != KIVO_ERR_NONE) return KIVO_ERR_GENERIC;
    *value = atom_getlong(&a);
    return KIVO_ERR_NONE;
}

t_kivo_err dictionary_getfloat(t_dictionary *d, t_symbol *key, double *value) {
    t_atom a;
    if (!value || dictionary_getatom(d, key, &a) != KIVO_ERR_NONE) return KIVO_ERR_GENERIC;
    *value = atom_getfloat(&a);
    return KIVO_ERR_NONE;
}

t_kivo_err dictionary_getsym(t_dictionary *d, t_symbol *key, t_symbol **value) {
    t_atom a;
    if (!value || dictionary_getatom(d, key, &a) != KIVO_ERR_NONE) return KIVO_ERR_GENERIC;
    if (a.type != AT_SYM || !a.value.w_sym) {
        *value = gensym("");
        return KIVO_ERR_GENERIC;
    }
    *value = a.value.w_sym;
    return KIVO_ERR_NONE;
}

t_kivo_err dictionary_getobject(t_dictionary *d, t_symbol *key, t_object **value) {
    if (!value) return KIVO_ERR_GENERIC;
    *value = nullptr;
    t_atom a;
    if (dictionary_getatom(d, key, &a) != KIVO_ERR_NONE || a.type != AT_OBJ) return KIVO_ERR_GENERIC;
    *value = a.value.w_obj;
    return KIVO_ERR_NONE;
}

t_kivo_err dictionary_getatomarray(t_dictionary *d, t_symbol *key, t_object **value) {
    if (!value) return KIVO_ERR_GENERIC;
    *value = nullptr;
    t_dictionary_entry *e = find(d, key);
    if (!e || e->value.type != AT_OBJ) return KIVO_ERR_GENERIC;
    *value = e->value.value.w_obj;
    return is_class(&e->value, _sym(atomarray)) ? KIVO_ERR_NONE : KIVO_ERR_GENERIC;
}

t_kivo_err dictionary_getdictionary(t_dictionary *d, t_symbol *key, t_object **value) {
    if (!value) return KIVO_ERR_GENERIC;
    t_dictionary_entry *e = find(d, key);
    if (!e || e->value.type != AT_OBJ) return KIVO_ERR_GENERIC;
    *value = e->value.value.w_obj;
    return is_class(&e->value, _sym(dictionary)) ? KIVO_ERR_NONE : KIVO_ERR_GENERIC;
}

t_kivo_err dictionary_getstring(t_dictionary *d, t_symbol *key, const char **value) {
    t_dictionary_entry *e = find(d, key);
    if (!e || !value) return KIVO_ERR_GENERIC;
    *value = value_text(&e->value);
    return KIVO_ERR_NONE;
}

t_kivo_err dictionary_getatoms(t_dictionary *d, t_symbol *key, long *argc, t_atom **argv) {
    return dictionary_getatoms_ext(d, key, 1, argc, argv);
}

t_kivo_err dictionary_getatoms_ext(t_dictionary *d, t_symbol *key, long convert, long *argc,
                                   t_atom **argv) {
    if (!argc || !argv) return KIVO_ERR_GENERIC;
    return find_values(d, key, convert != 0, argc, argv) ? KIVO_ERR_NONE : KIVO_ERR_GENERIC;
}

t_kivo_err dictionary_copyatoms(t_dictionary *d, t_symbol *key, long *argc, t_atom **argv) {
    long count = 0;
    t_atom *atoms = nullptr;
    if (!argc || !argv || !find_values(d, key, true, &count, &atoms)) return KIVO_ERR_GENERIC;
    return copyatoms(count, atoms, argc, argv);
}

t_atom_long dictionary_getentrycount(t_dictionary *d) {
    if (!d) return 0;
    DictImpl *x = impl(d);
    Guard g(x);
    return x->count;
}

t_kivo_err dictionary_getdeflong(t_dictionary *d, t_symbol *key, t_atom_long *value, t_atom_long def) {
    const t_kivo_err err = dictionary_getlong(d, key, value);
    if (err != KIVO_ERR_NONE && value) *value = def;
    return err;
}

t_kivo_err dictionary_getdeffloat(t_dictionary *d, t_symbol *key, double *value, double def) {
    const t_kivo_err err = dictionary_getfloat(d, key, value);
    if (err != KIVO_ERR_NONE && value) *value = def;
    return err;
}

t_kivo_err dictionary_getdefsym(t_dictionary *d, t_symbol *key, t_symbol **value, t_symbol *def) {
    const t_kivo_err err = dictionary_getsym(d, key, value);
    if (err != KIVO_ERR_NONE && value) *value = def;
    return err;
}

t_kivo_err dictionary_getdefatom(t_dictionary *d, t_symbol *key, t_atom *value, const t_atom *def) {
    const t_kivo_err err = dictionary_getatom(d, key, value);
    if (err != KIVO_ERR_NONE && value && def) *value = *def;
    return err;
}

t_kivo_err dictionary_getdefstring(t_dictionary *d, t_symbol *key, const char **value, const char *def) {
    const t_kivo_err err = dictionary_getstring(d, key, value);
    if (err != KIVO_ERR_NONE && value) *value = def;
    return err;
}

t_kivo_err dictionary_getdefatoms(t_dictionary *d, t_symbol *key, long *argc, t_atom **argv,
                                  t_atom *def) {
    const t_kivo_err err = dictionary_getatoms(d, key, argc, argv);
    if (err != KIVO_ERR_NONE && argv) *argv = def;
    return err;
}

t_kivo_err dictionary_copydefatoms(t_dictionary *d, t_symbol *key, long *argc, t_atom **argv,
                                   t_atom *def) {
    return dictionary_getdefatoms(d, key, argc, argv, def);
}

// ---- tests

long dictionary_hasentry(t_dictionary *d, t_symbol *key) { return find(d, key) != nullptr; }

long dictionary_entryisstring(t_dictionary *d, t_symbol *key) {
    t_dictionary_entry *e = find(d, key);
    return e && is_class(&e->value, _sym(string));
}

long dictionary_entryisatomarray(t_dictionary *d, t_symbol *key) {
    t_atom a;
    return dictionary_getatom(d, key, &a) == KIVO_ERR_NONE && atomisatomarray(&a);
}

long dictionary_entryisdictionary(t_dictionary *d, t_symbol *key) {
    t_atom a;
    return dictionary_getatom(d, key, &a) == KIVO_ERR_NONE && atomisdictionary(&a);
}

// ---- attributes

t_kivo_err dictionary_getattribute(t_dictionary *d, t_symbol *key, t_symbol *attrname, t_object *x) {
    if (!x) return KIVO_ERR_GENERIC;
    long argc = 0;
    t_atom *argv = nullptr;
    if (!find_values(d, key, true, &argc, &argv)) {
        t_class *c = object_class(x);
        auto *proto = c ? static_cast<t_dictionary *>(class_extra_lookup(c, _sym(prototype))) : nullptr;
        if (!is_dictionary_object(reinterpret_cast<t_object *>(proto)) ||
            !find_values(proto, key, true, &argc, &argv))
            return KIVO_ERR_GENERIC;
    }
    return object_attr_setvalueof(x, attrname, argc, argv);
}

// ---- keys

// Key order: the index has no order of its own worth exposing.
t_kivo_err dictionary_getkeys(t_dictionary *d, long *numkeys, t_symbol ***keys) {
    return dictionary_getkeys_ordered(d, numkeys, keys);
}

t_kivo_err dictionary_getkeys_ordered(t_dictionary *d, long *numkeys, t_symbol ***keys) {
    if (!numkeys || !keys) return KIVO_ERR_GENERIC;
    *numkeys = 0;
    *keys = nullptr;
    if (!d) return KIVO_ERR_NONE;
    DictImpl *x = impl(d);
    Guard g(x);
    const t_atom_long count = x->count;
    if (count == 0) return KIVO_ERR_NONE;
    auto **array = reinterpret_cast<t_symbol **>(sysmem_newptr(count * sizeof(t_symbol *)));
    if (!array) return KIVO_ERR_GENERIC;
    long i = 0;
    for (Node *n = x->head; n && i < count; n = n->next)
        if (is_live(n)) array[i++] = n->entry.key;
    *numkeys = i;
    *keys = array;
    return KIVO_ERR_NONE;
}

void dictionary_freekeys(t_dictionary *, long, t_symbol **keys) {
    if (keys) sysmem_freeptr(keys);
}

t_symbol *dictionary_getorderedkey(t_dictionary *d, t_atom_long index) {
    if (!d || index < 0) return nullptr;
    DictImpl *x = impl(d);
    Guard g(x);
    for (Node *n = x->head; n; n = n->next)
        if (is_live(n) && index-- == 0) return n->entry.key;
    return nullptr;
}

long dictionary_snapshot(t_dictionary *d, void (*fn)(void *ctx, t_symbol *key, const t_atom *value),
                         void *ctx) {
    if (!d || !fn) return 0;
    DictImpl *x = impl(d);
    Guard g(x);
    for (Node *n = x->head; n; n = n->next)
        if (is_live(n)) fn(ctx, n->entry.key, &n->entry.value);
    return static_cast<long>(x->count);
}

// ---- removing

// Takes the key out; the entry as it was is copied to *out.
static bool take_entry(t_dictionary *d, t_symbol *key, t_dictionary_entry *out) {
    if (!d) return false;
    DictImpl *x = impl(d);
    Guard g(x);
    Node *n = find_locked(x, key);
    if (!n) return false;
    *out = n->entry;
    n->entry.value = t_atom{};
    remove_locked(x, n);
    return true;
}

t_kivo_err dictionary_deleteentry(t_dictionary *d, t_symbol *key) {
    t_dictionary_entry e;
    if (!take_entry(d, key, &e)) return KIVO_ERR_GENERIC;
    dictionary_entry_freevalue(&e);
    return KIVO_ERR_NONE;
}

t_kivo_err dictionary_chuckentry(t_dictionary *d, t_symbol *key) {
    t_dictionary_entry e;
    return take_entry(d, key, &e) ? KIVO_ERR_NONE : KIVO_ERR_GENERIC;
}

t_kivo_err dictionary_clear(t_dictionary *d) {
    if (!d) return KIVO_ERR_GENERIC;
    DictImpl *x = impl(d);
    // The owned values are taken out under the lock and freed after it, in
    // key order, while the dictionary is already empty.
    std::vector<t_dictionary_entry> gone;
    {
        Guard g(x);
        try {
            gone.reserve(static_cast<size_t>(x->count));
        } catch (const std::bad_alloc &) {
            return KIVO_ERR_OUT_OF_MEMORY;
        }
        for (Node *n = x->head; n; n = n->next)
            if (is_live(n)) gone.push_back(n->entry);
        if (x->walking.load(std::memory_order_acquire) > 0) {
            // The walk still holds nodes: empty them, the sweep frees them.
            for (Node *n = x->head; n; n = n->next) {
                n->entry.ob.magic = 0;
                n->entry.value = t_atom{};
            }
            x->sweep = 1;
        } else {
            free_chunks(x);
            x->head = x->tail = nullptr;
        }
        std::free(x->index);
        x->index = nullptr;
        x->indexcap = 0;
        x->count = 0;
    }
    x->readonly.store(0, std::memory_order_relaxed);
    const long outermost = nested_free_begin();
    for (t_dictionary_entry &e : gone) dictionary_entry_freevalue(&e);
    nested_free_end(outermost);
    return KIVO_ERR_NONE;
}

t_kivo_err dictionary_swapcontents(t_dictionary *a, t_dictionary *b) {
    if (!a || !b || a == b) return KIVO_ERR_GENERIC;
    DictImpl *x = impl(a), *y = impl(b);
    // Lock in address order, so two swaps of the same pair cannot deadlock.
    DictImpl *first = x < y ? x : y, *second = x < y ? y : x;
    Guard g1(first);
    Guard g2(second);
    if (x->walking.load(std::memory_order_acquire) > 0 || y->walking.load(std::memory_order_acquire) > 0)
        return KIVO_ERR_GENERIC;
    // A chunk inside an object's own block cannot change hands.
    if (x->inlined || y->inlined) return KIVO_ERR_GENERIC;
    std::swap(x->count, y->count);
    std::swap(x->head, y->head);
    std::swap(x->tail, y->tail);
    std::swap(x->index, y->index);
    std::swap(x->indexcap, y->indexcap);
    std::swap(x->chunks, y->chunks);
    std::swap(x->freelist, y->freelist);
    std::swap(x->sweep, y->sweep);
    return KIVO_ERR_NONE;
}

// ---- walking

/*
 * The lock is released around each call, so fn may add and delete keys.
 * The next node is read before the call; it stays in the chain because no
 * node leaves it while a walk is in progress (removed ones are emptied and
 * skipped, and swept when the last walk ends).
 */
t_kivo_err dictionary_funall(t_dictionary *d, t_dictionary_fn fn, void *data) {
    if (!d || !fn) return KIVO_ERR_GENERIC;
    DictImpl *x = impl(d);
    Guard g(x);
    x->walking.fetch_add(1, std::memory_order_acq_rel);
    for (Node *n = x->head; n;) {
        if (!is_live(n)) {
            n = n->next;
            continue;
        }
        Node *next = n->next;
        g.unlock();
        fn(&n->entry, data);
        g.lock();
        n = next;
    }
    x->walking.fetch_sub(1, std::memory_order_acq_rel);
    sweep_locked(x);
    return KIVO_ERR_NONE;
}

// ---- paths

t_kivo_err dictionary_get_ex(t_dictionary *d, t_symbol *path, long *argc, t_atom **argv,
                             char *errortext) {
    if (!path || !argc || !argv) return KIVO_ERR_GENERIC;
    const std::vector<std::string> parts = split_path(path->name);
    t_dictionary *current = d;
    for (size_t i = 0; i + 1 < parts.size(); i++) {
        std::string key = parts[i];
        long index = -1;
        if (!key.empty() && key.back() == ']') {
            const size_t open = key.rfind('[');
            if (open != std::string::npos) {
                index = parse_index(std::string_view(key).substr(open + 1, key.size() - open - 2));
                if (index >= 0) key.resize(open);
            }
        }
        if (index >= 0) {
            long count = 0;
            t_atom *atoms = nullptr;
            if (!find_values(current, gensym(key.c_str()), true, &count, &atoms)) {
                set_error(errortext, "no dictionary named %s, cannot get value", key.c_str());
                return KIVO_ERR_GENERIC;
            }
            if (index >= count) {
                set_error(errortext, "index %ld out of range for dictionary named %s", index, key.c_str());
                return KIVO_ERR_GENERIC;
            }
            // A path may come from a message: a step into anything but a
            // dictionary would misread that object.
            if (atoms[index].type != AT_OBJ || !is_dictionary_object(atoms[index].value.w_obj)) {
                set_error(errortext, "index %ld for dictionary named %s is not itself a dictionary", index,
                          key.c_str());
                return KIVO_ERR_GENERIC;
            }
            current = reinterpret_cast<t_dictionary *>(atoms[index].value.w_obj);
        } else {
            t_object *sub = nullptr;
            if (dictionary_getdictionary(current, gensym(key.c_str()), &sub) != KIVO_ERR_NONE) {
                set_error(errortext, "no dictionary named %s, cannot get value", key.c_str());
                return KIVO_ERR_GENERIC;
            }
            current = reinterpret_cast<t_dictionary *>(sub);
        }
    }
    std::string key = parts.back();
    long index = -1;
    if (!key.empty() && key.back() == ']') {
        const size_t open = key.find('[');
        if (open != std::string::npos) {
            errno = 0;
            const long long n = std::strtoll(key.c_str() + open + 1, nullptr, 10);
            index = (errno == ERANGE || n > LONG_MAX) ? LONG_MAX : (n < LONG_MIN ? LONG_MIN : static_cast<long>(n));
            key.resize(open);
        }
    }
    long count = 0;
    t_atom *atoms = nullptr;
    if (!find_values(current, gensym(key.c_str()), true, &count, &atoms)) return KIVO_ERR_NONE;
    if (index < 0) {
        *argc = count;
        *argv = atoms;
    } else if (index < count) {
        *argc = 1;
        *argv = atoms + index;
    } else {
        *argc = 0;
        *argv = nullptr;
    }
    return KIVO_ERR_NONE;
}

// ---- modes and locking

t_kivo_err dictionary_readonly(t_dictionary *d, long readonly) {
    if (!d) return KIVO_ERR_GENERIC;
    impl(d)->readonly.store(readonly ? 1 : 0, std::memory_order_relaxed);
    return KIVO_ERR_NONE;
}

long dictionary_isreadonly(t_dictionary *d) {
    return d ? impl(d)->readonly.load(std::memory_order_relaxed) : 0;
}

// The mutex is made by the first caller; most dictionaries never need one.
static t_systhread_mutex transaction_mutex(t_dictionary *d) {
    std::atomic_ref<t_systhread_mutex> slot(d->lock);
    t_systhread_mutex m = slot.load(std::memory_order_acquire);
    if (m) return m;
    t_systhread_mutex made = nullptr;
    if (systhread_mutex_new(&made, SYSTHREAD_MUTEX_RECURSIVE) != 0 || !made) return nullptr;
    if (!slot.compare_exchange_strong(m, made, std::memory_order_acq_rel)) {
        systhread_mutex_free(made);
        return m;
    }
    return made;
}

t_kivo_err dictionary_transaction_lock(t_dictionary *d) {
    if (!d) return KIVO_ERR_GENERIC;
    t_systhread_mutex m = transaction_mutex(d);
    if (!m) return KIVO_ERR_GENERIC;
    systhread_mutex_lock(m);
    return KIVO_ERR_NONE;
}

t_kivo_err dictionary_transaction_unlock(t_dictionary *d) {
    if (!d) return KIVO_ERR_GENERIC;
    t_systhread_mutex m = std::atomic_ref<t_systhread_mutex>(d->lock).load(std::memory_order_acquire);
    if (!m) return KIVO_ERR_GENERIC;
    systhread_mutex_unlock(m);
    return KIVO_ERR_NONE;
}

// ---- YAML through an external class

void dictionary_yaml_init(void) {
    std::call_once(s_yaml_once, [] {
        if (class_findbyname(_sym(nobox), gensym("yaml")))
            s_yaml = static_cast<t_object *>(object_new(_sym(nobox), gensym("yaml")));
    });
}

t_kivo_err dictionary_read_yaml(const char *filename, short path, t_dictionary **d) {
    dictionary_yaml_init();
    if (!s_yaml) return KIVO_ERR_GENERIC;
    static const method fn = zgetfn(s_yaml, gensym("dictionary_yamlread"));
    if (!fn) return KIVO_ERR_GENERIC;
    using t_read = t_kivo_err (*)(t_object *, const char *, short, t_dictionary **);
    return kivo::obex::from_method<t_read>(fn)(s_yaml, filename, path, d);
}

t_kivo_err dictionary_write_yaml(t_dictionary *d, const char *filename, short path) {
    dictionary_yaml_init();
    if (!s_yaml) return KIVO_ERR_GENERIC;
    static const method fn = zgetfn(s_yaml, gensym("dictionary_yamlwrite"));
    if (!fn) return KIVO_ERR_GENERIC;
    using t_write = t_kivo_err (*)(t_object *, t_dictionary *, const char *, short);
    return kivo::obex::from_method<t_write>(fn)(s_yaml, d, filename, path);
}

} // extern "C"

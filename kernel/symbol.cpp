/*
 * The symbol table.
 *
 * - One record per text: a name is in the compiled-in index or in exactly
 *   one bucket chain, never both, never twice.
 * - Records and names are never freed or moved, so a t_symbol * stays
 *   valid for the life of the process.
 * - Bucket heads are published with a release store after the record is
 *   complete, so lookup takes no lock; insertion holds g_symtab_critical.
 * - Names longer than kNameMax are cut before they are looked up.
 */
#include "kivo/symbol.h"

#include <atomic>
#include <cstddef>
#include <cstring>

#include "kernel/atom_internal.h"
#include "kernel/builtin_symbols.h"
#include "kernel/symbol_internal.h"
#include "kivo/atom.h"
#include "kivo/commonsyms.h"
#include "kivo/post.h"
#include "kivo/strutil.h"
#include "kivo/sysmem.h"
#include "kivo/systhread.h"
#include "platform/platform.h"

using namespace kivo::symtab;

// The compiled-in records: code names them directly (BSYM, ps_*), so they
// need no lookup. Their names are literals; only `thing` ever changes.
t_symbol g_builtin_symbols[BSYM_COUNT] = {
#include "kernel/builtin_symbols.inc"
};

static_assert(BSYM_COUNT == 533);
static_assert(sizeof(t_symbol) == 2 * sizeof(void *));

extern "C" {
t_symbol *ps_int, *ps_bang, *ps_float, *ps_list, *ps_set, *ps_in1, *ps_in2, *ps_ft1, *ps_ft2,
    *ps_assist, *ps_anything, *ps_dblclick, *ps_click, *ps_enable, *ps_update, *ps_symbol,
    *ps_monitor, *ps_;
}

namespace {

// A run-time record: the public pair followed by what only this file
// reads, written once before the record is published and never changed.
// The kept hash lets a chain walk pass over the other names of its bucket
// without comparing their text: chains grow long once a session has made
// many generated names (every registered box takes one).
struct RtSymbol {
    t_symbol pub;
    RtSymbol *link; // next older record of the same bucket (not owned)
    uint64_t hash;  // full_hash of the name
};
static_assert(offsetof(RtSymbol, pub) == 0);
static_assert(sizeof(RtSymbol) == 32);
static_assert(kRecordsPerBlock * sizeof(RtSymbol) == 5120);

// The index, built by mess_init before any other thread runs, read-only
// afterwards. Null slots end a probe.
t_symbol *g_index[kIndexSlots];

// kBucketHeads heads (a pointer block, never freed), read and written only
// through std::atomic_ref. Set once by mess_init; null if that failed.
RtSymbol **g_buckets;

// Insertion state, touched only while g_symtab_critical is held.
t_systhread_mutex g_symtab_critical; // made on first use, never freed
RtSymbol *g_record_next;             // next free record of the current block
RtSymbol *g_record_end;              // end of the current block (blocks never freed)
char *g_string_next;                 // next free byte of the current string block
char *g_string_end;
t_atom_long g_runtime_count;         // run-time records made so far

// Set from the application object's messages on the main thread; atomic
// only so that concurrent gensym calls read them without a race.
std::atomic<short> g_context_inuse{0};
std::atomic<int> g_context_number{0}; // 0 to 999

void hate(const char *text) {
    kivo::platform::debug_write(text);
}

// A name as the table sees it: cut to kNameMax characters, with its two
// hashes. `text` is not terminated at `len` when the name was cut.
struct Key {
    const char *text;
    std::size_t len;
    uint64_t hash;   // full_hash of the name: picks both the index slot and the bucket
    uint64_t bucket; // run-time bucket number
};

uint64_t raw_hash(const char *name, std::size_t len) {
    const char *p = name;
    if (len >= 9 && std::memcmp(name, "obj:", 4) == 0) p = name + len - 8;
    const char *end = name + len;
    uint64_t h = 1;
    for (int i = 0; i < 8 && p < end; i++, p++) {
        uint64_t c = static_cast<uint64_t>(static_cast<int64_t>(static_cast<signed char>(*p)));
        h = (h + c) * c;
    }
    return h;
}

uint64_t mix(uint64_t h) {
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ULL;
    h ^= h >> 33;
    return h;
}

// The table's hash reads the whole name, eight bytes at a time: rawhash
// reads only 8 characters, and names that share their first 8 (generated
// names, numbered series, the many box attributes named "presentation_...")
// would otherwise all chain in one bucket, or crowd one run of index slots
// that every miss then walks with a string compare. Every name still has
// exactly one slot run and one bucket, so what lookup finds is unchanged.
uint64_t full_hash(const char *p, std::size_t len) {
    constexpr uint64_t k = 0x9e3779b97f4a7c15ULL;
    uint64_t h = k ^ len;
    while (len >= 8) {
        uint64_t w;
        std::memcpy(&w, p, 8);
        h = (h ^ w) * k;
        h ^= h >> 29;
        p += 8;
        len -= 8;
    }
    uint64_t w = 0;
    std::memcpy(&w, p, len);
    h = (h ^ w) * k;
    return mix(h);
}

long index_slot(uint64_t hash) { return static_cast<long>(hash % static_cast<uint64_t>(kIndexSlots)); }

Key key_of(const char *name) {
    std::size_t len = strnlen(name, kNameMax);
    uint64_t h = full_hash(name, len);
    return Key{name, len, h, h % static_cast<uint64_t>(kBucketCount)};
}

bool same_name(const t_symbol *s, const Key &k) {
    return std::strncmp(s->name, k.text, k.len) == 0 && s->name[k.len] == '\0';
}

RtSymbol *load_head(long bucket, std::memory_order order) {
    return std::atomic_ref<RtSymbol *>(g_buckets[bucket]).load(order);
}

t_symbol *find_compiled_in(const Key &k) {
    long slot = index_slot(k.hash);
    while (t_symbol *s = g_index[slot]) {
        if (same_name(s, k)) return s;
        if (++slot == kIndexSlots) slot = 0;
    }
    return nullptr;
}

// Walks a chain from `from` up to, not including, `stop`.
t_symbol *find_in_chain(RtSymbol *from, RtSymbol *stop, const Key &k) {
    for (RtSymbol *r = from; r != stop; r = r->link)
        if (r->hash == k.hash && same_name(&r->pub, k)) return &r->pub;
    return nullptr;
}

t_symbol *find(const Key &k) {
    if (t_symbol *s = find_compiled_in(k)) return s;
    if (!g_buckets) return nullptr;
    return find_in_chain(load_head(static_cast<long>(k.bucket), std::memory_order_acquire), nullptr,
                         k);
}

// Makes the record of a name known to be absent. Called with
// g_symtab_critical held. A failed block allocation leaves the table as it
// was: the old block stays current and the next call tries again.
t_symbol *insert(const Key &k) {
    if (!g_buckets) {
        hate("no space for new symbol");
        return nullptr;
    }
    if (g_record_next == g_record_end) {
        auto *block = reinterpret_cast<RtSymbol *>(
            sysmem_newptrclear(kRecordsPerBlock * sizeof(RtSymbol)));
        if (!block) {
            hate("no space for new symbol");
            return nullptr;
        }
        g_record_next = block;
        g_record_end = block + kRecordsPerBlock;
    }
    std::size_t n = k.len + 1;
    if (g_string_end - g_string_next < static_cast<std::ptrdiff_t>(n)) {
        char *block = sysmem_newptrclear(kStringBlockSize);
        if (!block) {
            hate("no space for new string");
            return nullptr;
        }
        g_string_next = block;
        g_string_end = block + kStringBlockSize;
    }
    char *name = g_string_next;
    std::memcpy(name, k.text, k.len);
    name[k.len] = '\0';
    g_string_next += n;

    RtSymbol *r = g_record_next++;
    r->pub.name = name;
    r->pub.thing = nullptr;
    r->hash = k.hash;
    auto head = std::atomic_ref<RtSymbol *>(g_buckets[k.bucket]);
    r->link = head.load(std::memory_order_relaxed);
    head.store(r, std::memory_order_release);
    g_runtime_count++;
    return &r->pub;
}

t_symbol *intern(const char *name) {
    Key k = key_of(name);
    if (t_symbol *s = find_compiled_in(k)) return s;
    RtSymbol *seen = nullptr;
    if (g_buckets) {
        seen = load_head(static_cast<long>(k.bucket), std::memory_order_acquire);
        if (t_symbol *s = find_in_chain(seen, nullptr, k)) return s;
    }
    systhread_mutex_newlock(&g_symtab_critical, SYSTHREAD_MUTEX_NORMAL);
    // Chains only grow at their head, so only the records added since the
    // walk above can hold the name.
    t_symbol *s = nullptr;
    if (g_buckets)
        s = find_in_chain(load_head(static_cast<long>(k.bucket), std::memory_order_acquire), seen, k);
    if (!s) s = insert(k);
    systhread_mutex_unlock(g_symtab_critical);
    return s;
}

// "---rest" with the context digits in place of the dashes. Kept out of
// gensym so that only substituted names pay for the buffer.
[[gnu::noinline]] t_symbol *intern_in_context(const char *rest) {
    char text[3 + kContextRestMax + 1];
    int number = g_context_number.load(std::memory_order_relaxed);
    text[0] = static_cast<char>('0' + number / 100);
    text[1] = static_cast<char>('0' + number / 10 % 10);
    text[2] = static_cast<char>('0' + number % 10);
    std::size_t len = strnlen(rest, kContextRestMax);
    std::memcpy(text + 3, rest, len);
    text[3 + len] = '\0';
    return intern(text);
}

} // namespace

uint64_t rawhash(const char *name) {
    return raw_hash(name, std::strlen(name));
}

t_symbol *lookupsym(const char *name, long *bucket) {
    if (!name) return nullptr;
    Key k = key_of(name);
    t_symbol *s = find(k);
    if (!s && bucket) *bucket = static_cast<long>(k.bucket);
    return s;
}

extern "C" {

void mess_init(void) {
    static std::atomic<bool> done{false};
    if (done.exchange(true)) return;

    char *strings = sysmem_newptrclear(kStringBlockSize);
    if (!strings) hate("no space for symtab");
    auto *records =
        reinterpret_cast<RtSymbol *>(sysmem_newptrclear(kRecordsPerBlock * sizeof(RtSymbol)));
    if (!records) hate("no space for symtab 2");
    g_buckets = reinterpret_cast<RtSymbol **>(sysmem_newptrclear(kBucketHeads * sizeof(RtSymbol *)));
    if (!g_buckets) hate("no space for symtab 3");

    // A block that failed stays "used up", so the first insertion retries it.
    g_string_next = strings;
    g_string_end = strings ? strings + kStringBlockSize : nullptr;
    g_record_next = records;
    g_record_end = records ? records + kRecordsPerBlock : nullptr;

    symbols_init();

    for (t_symbol &s : g_builtin_symbols) {
        long slot = index_slot(full_hash(s.name, std::strlen(s.name)));
        while (g_index[slot])
            if (++slot == kIndexSlots) slot = 0;
        g_index[slot] = &s;
    }

    common_symbols_init();
}

t_symbol *gensym(const char *name) {
    if (!name) return nullptr;
    if (name[0] == '-' && name[1] == '-' && name[2] == '-' && name[3] != '-' &&
        g_context_inuse.load(std::memory_order_relaxed))
        return intern_in_context(name + 3);
    return intern(name);
}

t_atom_long symtab_total(void) {
    post("%lld static symbols", static_cast<long long>(kIndexSlots));
    systhread_mutex_newlock(&g_symtab_critical, SYSTHREAD_MUTEX_NORMAL);
    t_atom_long runtime = g_runtime_count;
    systhread_mutex_unlock(g_symtab_critical);
    return kIndexSlots + runtime;
}

void symbols_init(void) {
    ps_int = BSYM(int);
    ps_bang = BSYM(bang);
    ps_float = BSYM(float);
    ps_list = BSYM(list);
    ps_set = BSYM(set);
    ps_in1 = BSYM(in1);
    ps_in2 = BSYM(in2);
    ps_ft1 = BSYM(ft1);
    ps_ft2 = BSYM(ft2);
    ps_assist = BSYM(assist);
    ps_anything = BSYM(anything);
    ps_dblclick = BSYM(dblclick);
    ps_click = BSYM(click);
    ps_enable = BSYM(enable);
    ps_update = BSYM(update);
    ps_symbol = BSYM(symbol);
    ps_monitor = BSYM(monitor);
    ps_ = BSYM(empty);
}

void utils_setcontext(void *x, long n) {
    // A negative number keeps the digits of its magnitude.
    long digits = n % 1000;
    if (digits < 0) digits = -digits;
    g_context_number.store(static_cast<int>(digits), std::memory_order_relaxed);
}

short utils_usecontext(short flag) {
    return g_context_inuse.exchange(flag ? 1 : 0, std::memory_order_relaxed);
}

long utils_getcontextnumber(void) {
    return g_context_number.load(std::memory_order_relaxed);
}

short utils_contextinuse(void) {
    return g_context_inuse.load(std::memory_order_relaxed);
}

t_symbol *getdollsym(t_symbol *s, long argc, t_atom *argv) {
    if (argc == 0 || !s || !s->name || !argv) return nullptr;
    long d = s->name[0] - '0';
    if (d < 0 || d > argc) return nullptr;
    // Written here rather than through atom_string, whose buffer is shared
    // by every thread and whose "%.2f" would turn 0.125 into "0.13".
    char text[kDollarTextMax];
    atom_text_exact(&argv[d], text, sizeof text);
    strncat_zero(text, s->name + 1, sizeof text);
    return gensym(text);
}

long symbol_compare(t_symbol *a, t_symbol *b) {
    return std::strcmp(a->name, b->name) <= 0 ? 1 : 0;
}

t_symbol *symbol_stripquotes(t_symbol *s) {
    if (!s || !s->name) return s;
    std::size_t len = std::strlen(s->name);
    if (len == 0 || s->name[0] != '"' || s->name[len - 1] != '"') return s;
    // Benign failure: without the copy the symbol is returned unchanged.
    char *copy = sysmem_newptr(len + 1);
    if (!copy) return s;
    std::memcpy(copy, s->name, len + 1);
    copy[len - 1] = '\0';
    t_symbol *result = gensym(copy + 1);
    sysmem_freeptr(copy);
    return result;
}

} // extern "C"

/*
 * The common symbols.
 *
 * - The slot order is fixed for ever: externals reach slots by position.
 * - Each slot holds gensym of its text, so it is the record any later
 *   gensym of that text returns; repeated texts share one record.
 * - Built once, on the main thread during start-up, and never changed or
 *   freed; _common_symbols is set only after every slot is filled.
 */
#include "kivo/commonsyms.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "kivo/sysmem.h"
#include "platform/platform.h"

static_assert(COMMON_SYMBOLS_COUNT == 1454);
static_assert(offsetof(t_common_symbols, s__preset) == sizeof(t_atom_long));
static_assert(sizeof(t_common_symbols) ==
              sizeof(t_atom_long) + COMMON_SYMBOLS_COUNT * sizeof(t_symbol *));

namespace {

constexpr const char *kTexts[] = {
#include "kernel/commonsyms.inc"
};
static_assert(sizeof kTexts / sizeof kTexts[0] == COMMON_SYMBOLS_COUNT);

} // namespace

extern "C" {

t_common_symbols *_common_symbols = nullptr; // built once, never freed

void common_symbols_init(void) {
    if (_common_symbols) return;
    auto *table = reinterpret_cast<t_common_symbols *>(sysmem_newptr(sizeof(t_common_symbols)));
    if (!table) {
        // Every part of the system reads these slots without checking;
        // stopping here beats a null dereference somewhere later.
        kivo::platform::debug_write("no space for common symbols");
        std::abort();
    }
    table->version = COMMON_SYMBOLS_VERSION;
    t_symbol *slots[COMMON_SYMBOLS_COUNT];
    for (std::size_t i = 0; i < COMMON_SYMBOLS_COUNT; i++) slots[i] = gensym(kTexts[i]);
    std::memcpy(reinterpret_cast<char *>(table) + offsetof(t_common_symbols, s__preset), slots,
                sizeof slots);
    _common_symbols = table;
}

t_common_symbols *common_symbols_gettable(void) {
    if (!_common_symbols) common_symbols_init();
    return _common_symbols;
}

} // extern "C"

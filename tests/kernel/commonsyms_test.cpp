// The common-symbols table: fixed slots, each the record gensym returns.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

#include "kernel/builtin_symbols.h"
#include "kivo/commonsyms.h"

namespace {

constexpr const char *kTexts[] = {
#include "kernel/commonsyms.inc"
};

// Slot n (from 1) of the table, read by position as externals do.
t_symbol *slot(const t_common_symbols *table, std::size_t n) {
    t_symbol *s;
    std::memcpy(&s,
                reinterpret_cast<const char *>(table) + sizeof(t_atom_long) +
                    (n - 1) * sizeof(t_symbol *),
                sizeof s);
    return s;
}

TEST(CommonSymbols, LayoutAndVersion) {
    EXPECT_EQ(BSYM_COUNT, 533);
    EXPECT_EQ(COMMON_SYMBOLS_COUNT, 1454);
    EXPECT_EQ(std::size(kTexts), 1454u);
    EXPECT_EQ(sizeof(t_common_symbols), 8 + 1454 * sizeof(t_symbol *));
    ASSERT_NE(_common_symbols, nullptr);
    EXPECT_EQ(_common_symbols->version, 500);
}

TEST(CommonSymbols, GetTableReturnsTheOneTable) {
    t_common_symbols *table = common_symbols_gettable();
    EXPECT_EQ(table, _common_symbols);
    common_symbols_init();
    EXPECT_EQ(common_symbols_gettable(), table);
}

TEST(CommonSymbols, EverySlotIsTheInternedSymbolOfItsText) {
    const t_common_symbols *table = common_symbols_gettable();
    for (std::size_t n = 1; n <= COMMON_SYMBOLS_COUNT; n++) {
        SCOPED_TRACE(n);
        t_symbol *s = slot(table, n);
        ASSERT_NE(s, nullptr);
        EXPECT_STREQ(s->name, kTexts[n - 1]);
        EXPECT_EQ(s, gensym(kTexts[n - 1]));
    }
}

TEST(CommonSymbols, PinnedSlots) {
    const t_common_symbols *table = common_symbols_gettable();
    struct Case {
        std::size_t n;
        const char *text;
    } cases[] = {
        {1, "_preset"}, {125, "<default>"}, {164, " "},  {812, "kivo"},
        {921, ""},      {1043, "#B"},       {1454, "Sans Serif"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.n);
        EXPECT_STREQ(slot(table, c.n)->name, c.text);
    }
    // Compiled-in names are not interned twice.
    EXPECT_EQ(slot(table, 812), gensym("kivo"));
    EXPECT_EQ(slot(table, 812), BSYM(kivo));
    EXPECT_EQ(_sym(kivo), BSYM(kivo));
    EXPECT_EQ(slot(table, 921), ps_);
    EXPECT_EQ(slot(table, 921), BSYM(empty));
    EXPECT_EQ(_sym(space), gensym(" "));
    EXPECT_EQ(slot(table, 1043), BSYM(hash_B));
}

TEST(CommonSymbols, RepeatedTextsShareOneSymbol) {
    EXPECT_EQ(_sym(delete), _sym(delete_2));
    EXPECT_EQ(_sym(insert), _sym(insert_2));
    EXPECT_EQ(_sym(lines), _sym(lines_2));
    EXPECT_EQ(_sym(lines), gensym("lines"));
    EXPECT_STREQ(_sym(insert)->name, "insert");
}

} // namespace

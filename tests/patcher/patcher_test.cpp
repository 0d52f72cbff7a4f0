// The patcher record: life cycle, attributes, helpers.
#include <gtest/gtest.h>

#include "kivo/kivo.h"
#include "kivo/jpatcher.h"
#include "kivo_test.h"
#include "patcher/jpatcher.h"

using kivo::test::S;

namespace {

TEST(PatcherHelpers, BoxPaletteOutsideRangeIsWhite) {
    struct Case {
        long index;
        double r, g, b;
    } cases[] = {{0, 1, 1, 1}, {17, 1, 1, 1}, {1, 1, 1, 1}, {6, 1, 227 / 255.0, 23 / 255.0}};
    for (const Case &c : cases) {
        t_jrgba col{};
        set_jrgba_from_boxcolor_index(c.index, &col);
        EXPECT_DOUBLE_EQ(col.red, c.r) << c.index;
        EXPECT_DOUBLE_EQ(col.green, c.g) << c.index;
        EXPECT_DOUBLE_EQ(col.blue, c.b) << c.index;
        EXPECT_DOUBLE_EQ(col.alpha, 1.0) << c.index;
    }
}

TEST(PatcherHelpers, CurrentFileVersionIsOne) {
    EXPECT_EQ(jpatcher_get_currentfileversion(), 1);
}

} // namespace

// Entry of every GoogleTest binary: runs the kernel start-up once, as the
// application does, before any test.
#include <gtest/gtest.h>

#include "app/startup.h"
#include "kivo/kivo.h"

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (kivo_startup() != 0) return 2;
    // Tests run on virtual time; timer tests start the thread themselves.
    systimer_stop();
    return RUN_ALL_TESTS();
}

// Entry of every GoogleTest binary: runs the kernel start-up once, as the
// application does, then makes the main thread's event handler, so that
// qelems and deferred calls are serviced, before any test.
#include <gtest/gtest.h>

#include <cstdio>
#include <unistd.h>

#include "app/app_internal.h"
#include "app/mainthread_internal.h"
#include "app/startup.h"
#include "kivo/kivo.h"
#include "tools/post_internal.h"

#if defined(__SANITIZE_THREAD__)
#define KIVO_TEST_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KIVO_TEST_TSAN 1
#endif
#endif

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (kivo_startup() != 0) return 2;
    kivoapplication_init();
    // What start-up posted (e.g. the missing audio library) is not any
    // test's: tests begin with an empty console.
    kivo::post::early_take();
    // Tests run on virtual time; timer tests start the thread themselves.
    systimer_stop();
    int status = RUN_ALL_TESTS();
#ifdef KIVO_TEST_TSAN
    // The UI library stops its timer thread through flags that the race
    // detector cannot see, so a shutdown would be reported as a race; end
    // here instead, before static destructors take that thread's lock away
    // (the detector still reports, and sets the status, at _exit).
    std::fflush(nullptr);
    _exit(status);
#else
    // The UI library's timer thread must not outlive its static lock.
    kivo::app::mainthread_ui_shutdown();
    return status;
#endif
}

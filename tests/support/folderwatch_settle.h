// Waiting for the folder-watching thread in tests that change files.
#ifndef KIVO_TESTS_SUPPORT_FOLDERWATCH_SETTLE_H
#define KIVO_TESTS_SUPPORT_FOLDERWATCH_SETTLE_H

#include <chrono>
#include <cstdint>
#include <thread>

#include "platform/inotify.h"

namespace kivo::test {

// Waits (real time) until the watching thread has read the changes made
// since `seen` and then stays quiet for 100 ms, so that every clock restart
// is in before virtual time moves; a change that reaches no subscription
// gives up after 1.5 s. `seen` becomes the count read at the end.
inline void folderwatch_settle(uint64_t &seen) {
    using namespace std::chrono;
    const auto give_up = steady_clock::now() + milliseconds(1500);
    uint64_t last = kivo::platform::folderwatch_reads();
    while (steady_clock::now() < give_up) {
        std::this_thread::sleep_for(milliseconds(100));
        const uint64_t now = kivo::platform::folderwatch_reads();
        if (now > seen && now == last) break;
        last = now;
    }
    seen = kivo::platform::folderwatch_reads();
}

} // namespace kivo::test

#endif

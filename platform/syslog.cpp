/*
 * The system log and the debugger's channel.
 *
 * - Each text becomes exactly one syslog(3) message (or one sink call).
 * - The sink is swapped under a mutex but called outside it, so a sink may
 *   itself write to the log without deadlocking; a sink replaced while a
 *   call is under way finishes that call.
 */
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <mutex>
#include <string>

#include "platform/platform.h"

namespace kivo::platform {
namespace {

using Sink = std::function<void(std::string_view)>;

struct LogState {
    std::mutex mutex;
    std::shared_ptr<Sink> sink; // null: syslog(3)
};

LogState &log_state() {
    static LogState *state = new LogState; // never destroyed: static destructors may still log
    return *state;
}

} // namespace

void syslog_write(std::string_view text) {
    LogState &state = log_state();
    std::shared_ptr<Sink> sink;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        sink = state.sink;
    }
    if (sink) {
        (*sink)(text);
        return;
    }
    ::syslog(LOG_NOTICE, "%.*s", static_cast<int>(text.size()), text.data());
}

void syslog_set_sink(std::function<void(std::string_view)> sink) {
    std::shared_ptr<Sink> fresh;
    if (sink) fresh = std::make_shared<Sink>(std::move(sink));
    LogState &state = log_state();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.sink = std::move(fresh);
}

void debug_write(std::string_view text) {
    // One write(2) per text keeps texts from different threads whole.
    std::string line(text);
    if (line.empty() || line.back() != '\n') line += '\n';
    const char *p = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        ssize_t n = ::write(STDERR_FILENO, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

} // namespace kivo::platform

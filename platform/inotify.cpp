/*
 * Folder change notification through inotify.
 *
 * Invariants:
 * - One descriptor, one reader thread, both made on the first subscription
 *   and ended at process exit.
 * - inotify gives one watch descriptor per folder; several subscriptions
 *   may share it. The kernel watch is removed with its last subscription.
 * - The mutex is held while callbacks run, so folderwatch_remove cannot
 *   return while the callback it removes is running.
 *
 * Lock order: this module's mutex, then whatever a callback takes (the
 * scheduler's clock mutex).
 */
#include "platform/inotify.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace kivo::platform {
namespace {

constexpr uint32_t kMask = IN_CREATE | IN_DELETE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_FROM |
                           IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF;

struct Subscription {
    int wd;
    FolderChanged fn;
    void *arg;
};

class Watcher {
public:
    // Reads handled so far, each with all its callbacks run.
    std::atomic<uint64_t> reads_{0};

    ~Watcher() { stop(); }

    long add(const char *native, FolderChanged fn, void *arg, int *error) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!start_locked(error)) return 0;
        int wd = inotify_add_watch(fd_, native, kMask | IN_ONLYDIR);
        if (wd < 0) {
            if (error) *error = errno;
            return 0;
        }
        long token = ++last_token_;
        subs_.emplace(token, Subscription{wd, fn, arg});
        by_wd_[wd].push_back(token);
        return token;
    }

    void remove(long token) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = subs_.find(token);
        if (it == subs_.end()) return;
        int wd = it->second.wd;
        subs_.erase(it);
        auto &tokens = by_wd_[wd];
        std::erase(tokens, token);
        if (tokens.empty()) {
            by_wd_.erase(wd);
            inotify_rm_watch(fd_, wd); // fails harmlessly when the folder went
        }
    }

private:
    bool start_locked(int *error) {
        if (fd_ >= 0) return true;
        fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fd_ < 0) {
            if (error) *error = errno;
            return false;
        }
        wake_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (wake_ < 0) {
            if (error) *error = errno;
            close(fd_);
            fd_ = -1;
            return false;
        }
        thread_ = std::thread([this] { run(); });
        return true;
    }

    void stop() {
        if (fd_ < 0) return;
        uint64_t one = 1;
        ssize_t ignored = write(wake_, &one, sizeof one);
        (void)ignored;
        if (thread_.joinable()) thread_.join();
        close(fd_);
        close(wake_);
        fd_ = wake_ = -1;
    }

    void run() {
        alignas(inotify_event) char buf[16384];
        for (;;) {
            pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_, POLLIN, 0}};
            if (poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (fds[1].revents) return;
            if (!(fds[0].revents & POLLIN)) continue;
            // Every folder with events in this read is told once.
            std::vector<int> touched;
            for (;;) {
                ssize_t n = read(fd_, buf, sizeof buf);
                if (n <= 0) break;
                for (char *p = buf; p < buf + n;) {
                    auto *ev = reinterpret_cast<inotify_event *>(p);
                    touched.push_back(ev->wd);
                    p += sizeof(inotify_event) + ev->len;
                }
            }
            std::lock_guard<std::mutex> lock(mutex_);
            std::sort(touched.begin(), touched.end());
            touched.erase(std::unique(touched.begin(), touched.end()), touched.end());
            for (int wd : touched) {
                auto it = by_wd_.find(wd);
                if (it == by_wd_.end()) continue;
                for (long token : it->second) {
                    const Subscription &s = subs_.at(token);
                    if (s.fn) s.fn(s.arg);
                }
            }
            reads_.fetch_add(1, std::memory_order_release);
        }
    }


    std::mutex mutex_;
    int fd_ = -1;
    int wake_ = -1;
    std::thread thread_;
    long last_token_ = 0;
    std::map<long, Subscription> subs_;
    std::unordered_map<int, std::vector<long>> by_wd_;
};

Watcher &watcher() {
    static Watcher w;
    return w;
}

} // namespace

long folderwatch_add(const char *native, FolderChanged fn, void *arg, int *error) {
    if (!native || !fn) {
        if (error) *error = EINVAL;
        return 0;
    }
    return watcher().add(native, fn, arg, error);
}

void folderwatch_remove(long token) {
    if (token > 0) watcher().remove(token);
}

uint64_t folderwatch_reads(void) {
    return watcher().reads_.load(std::memory_order_acquire);
}

} // namespace kivo::platform

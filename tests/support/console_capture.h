// A console object whose viewer keeps its rows in memory, for tests.
#ifndef KIVO_TESTS_SUPPORT_CONSOLE_CAPTURE_H
#define KIVO_TESTS_SUPPORT_CONSOLE_CAPTURE_H

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tools/console_internal.h"

namespace kivo::test {

struct CapturedRow {
    t_object *object;
    t_symbol *refname;
    std::string text;
    long kind;
};

// What the capturing viewer saw. Written by the drain (main thread).
struct CapturedRows {
    std::vector<std::unique_ptr<CapturedRow>> rows; // in the order they were added
    std::vector<std::size_t> flushes;               // the row count at each flush
    long appends = 0;
};

class CaptureViewer final : public kivo::console::Viewer {
public:
    explicit CaptureViewer(std::shared_ptr<CapturedRows> seen) : seen_(std::move(seen)) {}
    void *add_row(t_object *x, t_symbol *refname, const char *text, long kind) override {
        seen_->rows.push_back(std::make_unique<CapturedRow>(CapturedRow{x, refname, text, kind}));
        return seen_->rows.back().get();
    }
    void append(void *row, const char *text) override {
        auto *r = static_cast<CapturedRow *>(row);
        r->text += ' ';
        r->text += text;
        ++seen_->appends;
    }
    void flush() override { seen_->flushes.push_back(seen_->rows.size()); }

private:
    std::shared_ptr<CapturedRows> seen_;
};

// Makes the console object with a capturing viewer (the early list moves
// into it) and frees it at the end of the scope, so that later posts reach
// the early list again.
class ConsoleCapture {
public:
    ConsoleCapture() : seen_(std::make_shared<CapturedRows>()) {
        EXPECT_EQ(kivo::console::jkivowindow_get(), nullptr) << "a console exists already";
        x_ = kivo::console::jkivowindow_new(std::make_unique<CaptureViewer>(seen_));
    }
    ~ConsoleCapture() { kivo::console::jkivowindow_free(); }
    ConsoleCapture(const ConsoleCapture &) = delete;
    ConsoleCapture &operator=(const ConsoleCapture &) = delete;

    t_jkivowindow *x() const { return x_; }
    std::vector<CapturedRow> rows() const {
        std::vector<CapturedRow> out;
        for (const auto &r : seen_->rows) out.push_back(*r);
        return out;
    }
    std::vector<std::string> texts() const {
        std::vector<std::string> out;
        for (const auto &r : seen_->rows) out.push_back(r->text);
        return out;
    }
    const CapturedRows &seen() const { return *seen_; }

private:
    std::shared_ptr<CapturedRows> seen_;
    t_jkivowindow *x_ = nullptr;
};

} // namespace kivo::test

#endif

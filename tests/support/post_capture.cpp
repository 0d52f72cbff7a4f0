#include "kivo_test.h"

#include <utility>

namespace kivo::test {

PostCapture::PostCapture() { kivo::post::early_take(); }

PostCapture::~PostCapture() { kivo::post::early_take(); }

std::vector<kivo::post::EarlyEntry> PostCapture::take() {
    auto fresh = kivo::post::early_take();
    pending_.insert(pending_.end(), fresh.begin(), fresh.end());
    return std::exchange(pending_, {});
}

std::vector<std::string> PostCapture::texts(long kind) {
    std::vector<std::string> out;
    for (auto &e : take())
        if (e.kind == kind) out.push_back(e.text);
    return out;
}

} // namespace kivo::test

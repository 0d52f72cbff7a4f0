// The standard-stream sink pointed at two memory streams, so that tests read
// back what would have gone to standard output and standard error.
#ifndef KIVO_TESTS_SUPPORT_MEM_STREAMS_H
#define KIVO_TESTS_SUPPORT_MEM_STREAMS_H

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tools/post_internal.h"

namespace kivo::test {

class MemStreams {
public:
    MemStreams() {
        out_ = open_memstream(&outbuf_, &outlen_);
        err_ = open_memstream(&errbuf_, &errlen_);
        kivo::post::stdsink_set_streams(out_, err_);
    }
    ~MemStreams() {
        kivo::post::stdsink_enable(false);
        kivo::post::stdsink_set_streams(nullptr, nullptr);
        std::fclose(out_);
        std::fclose(err_);
        std::free(outbuf_);
        std::free(errbuf_);
    }
    MemStreams(const MemStreams &) = delete;
    MemStreams &operator=(const MemStreams &) = delete;

    std::string out() {
        std::fflush(out_);
        return std::string(outbuf_, outlen_);
    }
    std::string err() {
        std::fflush(err_);
        return std::string(errbuf_, errlen_);
    }

private:
    FILE *out_ = nullptr, *err_ = nullptr;
    char *outbuf_ = nullptr, *errbuf_ = nullptr;
    std::size_t outlen_ = 0, errlen_ = 0;
};

} // namespace kivo::test

#endif

/*
 * Compressed patcher text.
 *
 *   - Payload: "<count>.<characters>": count is the number of bytes of a
 *     zlib stream (level 9), the characters carry that stream's bits, least
 *     significant first, 6 to a character of kAlphabet. This is the UI
 *     library's memory-block text form; it is not RFC base64.
 *   - Framed text: the payload between two marker lines, in lines of 60
 *     characters ended by carriage returns, inside a pre/code wrapper.
 *   - The decoder trusts nothing it reads: the count is cut to what the
 *     characters can supply before anything is allocated, and inflating
 *     stops at the size limit. Between the markers every byte outside the
 *     alphabet is skipped, so re-wrapped, indented or quoted text decodes.
 *   - A damaged payload is not an error here: whatever inflates before the
 *     damage is returned, and the JSON reader reports the rest.
 */
#include "runtime/patchertext_internal.h"

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include <juce_core/juce_core.h>

#include "kivo/sysmem.h"

namespace {

constexpr char kBeginMarker[] = "----------begin_kiv5_patcher----------";
constexpr char kEndMarker[] = "-----------end_kiv5_patcher-----------";
constexpr long kMarkerLength = 38;
static_assert(sizeof(kBeginMarker) - 1 == kMarkerLength && sizeof(kEndMarker) - 1 == kMarkerLength);

constexpr std::size_t kLineWidth = 60;
constexpr std::size_t kGrowStep = 32768; // the output grows by this much ...
constexpr std::size_t kMinFree = 1024;   // ... whenever less than this is free

// A patcher of a quarter gigabyte of JSON is far beyond any real one; a
// payload claiming more is a compression bomb.
std::atomic<std::size_t> s_inflate_limit{std::size_t{256} << 20};

bool in_alphabet(unsigned char c) {
    return c == '.' || c == '+' || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Position of the begin marker's first byte, or -1. Only starts that leave
// at least one byte after the marker count.
long find_begin(const char *text, long length) {
    for (long i = 0; i < length - kMarkerLength && text[i]; i++)
        if (text[i] == '-' && std::memcmp(text + i, kBeginMarker, kMarkerLength) == 0) return i;
    return -1;
}

// Replaces the handle's contents with n bytes and zeros up to size (> n).
t_kivo_err store(t_handle out, const char *bytes, std::size_t n, std::size_t size) {
    if (sysmem_resizehandle(out, size) != 0 || sysmem_handlesize(out) != size) return -1;
    if (n) std::memcpy(*out, bytes, n);
    std::memset(*out + n, 0, size - n);
    return 0;
}

// The payload text of a zlib stream of the bytes, or nullopt without memory.
std::optional<std::string> encode(const char *bytes, int length) {
    uLongf zsize = compressBound(static_cast<uLong>(length));
    std::string z;
    try {
        z.resize(zsize);
    } catch (const std::bad_alloc &) {
        return std::nullopt;
    }
    // compress2 writes the zlib framing with a 32 KB window, memory level
    // 8 and the default strategy, so the stream starts 0x78 0xDA.
    if (compress2(reinterpret_cast<Bytef *>(z.data()), &zsize, reinterpret_cast<const Bytef *>(bytes),
                  static_cast<uLong>(length), Z_BEST_COMPRESSION) != Z_OK)
        return std::nullopt;
    juce::MemoryBlock block(z.data(), zsize);
    return block.toBase64Encoding().toStdString();
}

enum class Decoded { ok, too_large, no_memory };

// The zlib bytes of a payload of alphabet characters. The count is the
// decimal number that starts the text (0 when it starts otherwise); bytes
// the characters do not reach stay zero. No "." at all decodes to nothing.
Decoded decode(std::string_view chars, std::string &zbytes) {
    zbytes.clear();
    const std::size_t dot = chars.find('.');
    if (dot == std::string_view::npos) return Decoded::ok;
    const std::size_t nchars = chars.size() - dot - 1;
    const std::size_t supply = (nchars * 6 + 7) / 8;
    std::size_t count = 0;
    for (std::size_t i = 0; i < dot && chars[i] >= '0' && chars[i] <= '9'; i++) {
        count = count * 10 + static_cast<std::size_t>(chars[i] - '0');
        if (count > supply) break; // cut below, so the number cannot overflow
    }
    count = std::min(count, supply);
    // The decoder counts bits in an int.
    if (count > static_cast<std::size_t>(INT_MAX / 8 - 8)) return Decoded::too_large;
    // Characters beyond the count's would be ignored; leaving them out
    // keeps the work bounded by the count.
    const std::size_t used = std::min(nchars, (count * 8 + 5) / 6);
    try {
        std::string text = std::to_string(count);
        text += '.';
        text.append(chars.substr(dot + 1, used));
        juce::MemoryBlock block;
        block.fromBase64Encoding(juce::StringRef(text.c_str()));
        zbytes.assign(static_cast<const char *>(block.getData()), block.getSize());
    } catch (const std::bad_alloc &) {
        return Decoded::no_memory;
    }
    return Decoded::ok;
}

// Inflates a zlib stream into out. A stream that breaks off or is damaged
// gives the bytes inflated before the damage.
Decoded inflate_bytes(const std::string &zbytes, std::string &out) {
    out.clear();
    if (zbytes.empty()) return Decoded::ok;
    const std::size_t limit = s_inflate_limit.load();
    z_stream zs{};
    if (inflateInit(&zs) != Z_OK) return Decoded::no_memory;
    zs.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(zbytes.data()));
    zs.avail_in = static_cast<uInt>(zbytes.size());
    Decoded result = Decoded::ok;
    std::size_t used = 0;
    try {
        for (;;) {
            if (out.size() - used < kMinFree) out.resize(out.size() + kGrowStep);
            const std::size_t room = std::min<std::size_t>(out.size() - used, UINT_MAX);
            zs.next_out = reinterpret_cast<Bytef *>(out.data() + used);
            zs.avail_out = static_cast<uInt>(room);
            const int r = inflate(&zs, Z_NO_FLUSH);
            used += room - zs.avail_out;
            if (used > limit) {
                result = Decoded::too_large;
                break;
            }
            if (r == Z_STREAM_END) break;
            if (r != Z_OK) break; // damaged, or the input ended early
            if (zs.avail_in == 0 && zs.avail_out != 0) break;
        }
    } catch (const std::bad_alloc &) {
        result = Decoded::no_memory;
    }
    inflateEnd(&zs);
    out.resize(std::min(used, out.size()));
    return result;
}

// Decodes collected payload characters into the handle, NUL-terminated.
t_kivo_err decompress_into(std::string_view chars, t_handle out) {
    std::string zbytes, bytes;
    if (decode(chars, zbytes) != Decoded::ok) return -1;
    if (inflate_bytes(zbytes, bytes) != Decoded::ok) return -1;
    return store(out, bytes.data(), bytes.size(), bytes.size() + 1);
}

std::size_t text_length(const char *text, long length) {
    const void *nul = std::memchr(text, 0, static_cast<std::size_t>(length));
    return nul ? static_cast<std::size_t>(static_cast<const char *>(nul) - text) : static_cast<std::size_t>(length);
}

} // namespace

namespace kivo::patchertext {

std::size_t set_inflate_limit(std::size_t bytes) { return s_inflate_limit.exchange(bytes); }

} // namespace kivo::patchertext

extern "C" {

long compression_istextcompressedjson(const char *text, long length) {
    if (!text) return 0;
    return find_begin(text, length) >= 0 ? 1 : 0;
}

t_kivo_err compression_compressjson(const char *bytes, int length, t_handle out) {
    if (!out || length < 0 || (!bytes && length > 0)) return -1;
    const std::optional<std::string> payload = encode(bytes ? bytes : "", length);
    if (!payload) return -1;
    const std::size_t e = payload->size();
    std::string text;
    try {
        text.reserve(e + e / kLineWidth + 110);
        text += "<pre><code>\r";
        text.append(kBeginMarker, kMarkerLength);
        text += '\r';
        for (std::size_t at = 0; at < e; at += kLineWidth) {
            text.append(*payload, at, kLineWidth);
            text += '\r';
        }
        text.append(kEndMarker, kMarkerLength);
        text += "\r</code></pre>\r";
    } catch (const std::bad_alloc &) {
        return -1;
    }
    return store(out, text.data(), text.size(), e + (e + 12) / kLineWidth + 115);
}

t_kivo_err compression_compressjson_headless(const char *bytes, int length, t_handle out) {
    if (!out || length < 0 || (!bytes && length > 0)) return -1;
    const std::optional<std::string> payload = encode(bytes ? bytes : "", length);
    if (!payload) return -1;
    const std::size_t e = payload->size();
    return store(out, payload->data(), e, e + e / kLineWidth + 11);
}

t_kivo_err compression_decompressjson(const char *text, long length, t_handle out) {
    if (!text || !out || length <= 0) return -1;
    const long begin = find_begin(text, length);
    if (begin < 0) return -1;
    // The payload runs to the end marker; a text whose end marker was cut
    // off is read to its end, so nothing before the cut is lost.
    const std::size_t end = text_length(text, length);
    std::string chars;
    try {
        chars.reserve(end - static_cast<std::size_t>(begin));
        for (std::size_t i = static_cast<std::size_t>(begin + kMarkerLength); i < end; i++) {
            const auto c = static_cast<unsigned char>(text[i]);
            if (in_alphabet(c))
                chars += static_cast<char>(c);
            else if (c == '-' && end - i >= static_cast<std::size_t>(kMarkerLength) &&
                     std::memcmp(text + i, kEndMarker, kMarkerLength) == 0)
                break;
        }
    } catch (const std::bad_alloc &) {
        return -1;
    }
    return decompress_into(chars, out);
}

t_kivo_err compression_decompressjson_headless(const char *text, long length, t_handle out) {
    if (!text || !out) return -1;
    const std::size_t end = length > 0 ? text_length(text, length) : 0;
    std::string chars;
    try {
        chars.reserve(end);
        for (std::size_t i = 0; i < end; i++)
            if (in_alphabet(static_cast<unsigned char>(text[i]))) chars += text[i];
    } catch (const std::bad_alloc &) {
        return -1;
    }
    return decompress_into(chars, out);
}

} // extern "C"

/*
 * MD5 digests as text (the UI library's), standard base64 without line breaks, and the
 * start-up of the crypto library.
 *
 *   - Every output is a new pointer block that the caller frees; a call
 *     that fails writes no output.
 *   - All state is local: any thread may call at any time.
 */
#include "runtime/hash_internal.h"

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <juce_cryptography/juce_cryptography.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "app/startup.h"
#include "kivo/sysmem.h"

namespace {

// A base64 filter over a memory sink or source; frees the chain when done.
struct Base64Chain {
    BIO *top = nullptr;
    explicit Base64Chain(BIO *memory) {
        BIO *b64 = BIO_new(BIO_f_base64());
        if (!b64 || !memory) {
            BIO_free(b64);
            BIO_free(memory);
            return;
        }
        BIO_set_flags(b64, BIO_FLAGS_BASE64_NO_NL);
        top = BIO_push(b64, memory);
    }
    ~Base64Chain() { BIO_free_all(top); }
    Base64Chain(const Base64Chain &) = delete;
    Base64Chain &operator=(const Base64Chain &) = delete;
};

bool in_alphabet(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

// The length of the text without its final line ends when it is whole
// base64: groups of four, "=" only to fill the last one; else -1. The
// filter alone decodes the valid part of a damaged text without saying so,
// and data after padding comes out with zero bytes in the middle.
long checked_length(const char *text, long length) {
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r')) length--;
    if (length % 4 != 0) return -1;
    long padding = 0;
    while (padding < 2 && padding < length && text[length - 1 - padding] == '=') padding++;
    for (long i = 0; i < length - padding; i++)
        if (!in_alphabet(static_cast<unsigned char>(text[i]))) return -1;
    return length;
}

} // namespace

extern "C" {

t_kivo_err md5_hash(const char *bytes, long count, char **text) {
    if (!bytes || !text || count <= 0) return -1;
    const juce::String digest = juce::MD5(bytes, static_cast<size_t>(count)).toHexString();
    if (digest.length() != 32) return -1;
    char *out = sysmem_newptrclear(33);
    if (!out) return -4;
    std::memcpy(out, digest.toRawUTF8(), 32);
    *text = out;
    return 0;
}

t_kivo_err b64_encode_nonl(const char *bytes, long count, char **text, long *size) {
    if (!text || !size || count < 0 || (!bytes && count > 0) || count > INT_MAX) return -1;
    Base64Chain chain(BIO_new(BIO_s_mem()));
    if (!chain.top) return -4;
    if (count > 0 && BIO_write(chain.top, bytes, static_cast<int>(count)) != count) return -4;
    if (BIO_flush(chain.top) != 1) return -4;
    char *encoded = nullptr;
    const long length = BIO_get_mem_data(chain.top, &encoded);
    char *out = sysmem_newptrclear(static_cast<t_ptr_size>(length) + 1);
    if (!out) return -4;
    if (length > 0) std::memcpy(out, encoded, static_cast<size_t>(length));
    *text = out;
    *size = length + 1;
    return 0;
}

t_kivo_err b64_unencode_nonl(const char *text, long length, char **bytes, long *count) {
    if (!bytes || !count || length < 0 || (!text && length > 0) || length > INT_MAX) return -1;
    // Decoded data is never longer than its text; one spare byte keeps an
    // empty text's block a real one.
    char *out = sysmem_newptrclear(static_cast<t_ptr_size>(length) + 1);
    if (!out) return -4;
    long decoded = 0;
    const long valid = length > 0 ? checked_length(text, length) : 0;
    if (valid > 0) {
        Base64Chain chain(BIO_new_mem_buf(text, static_cast<int>(valid)));
        if (!chain.top) {
            sysmem_freeptr(out);
            return -4;
        }
        // The filter hands out what it has decoded so far; read until it
        // has nothing more, so no part of a long text is dropped.
        for (;;) {
            const int n = BIO_read(chain.top, out + decoded, static_cast<int>(length - decoded));
            if (n <= 0) {
                if (decoded == 0) decoded = n;
                break;
            }
            decoded += n;
            if (decoded >= length) break;
        }
    }
    *bytes = out;
    *count = decoded;
    return 0;
}

void syscrypto_init(void) {
    std::srand(static_cast<unsigned>(std::time(nullptr)));
    OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CRYPTO_STRINGS | OPENSSL_INIT_ADD_ALL_CIPHERS |
                            OPENSSL_INIT_ADD_ALL_DIGESTS | OPENSSL_INIT_NO_LOAD_CONFIG,
                        nullptr);
}

} // extern "C"

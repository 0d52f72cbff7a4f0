// MD5 digests as text and standard base64 without line breaks, for the
// search-path cache and images stored as text.
#ifndef KIVO_RUNTIME_HASH_INTERNAL_H
#define KIVO_RUNTIME_HASH_INTERNAL_H

#include "kivo/types.h"

KIVO_BEGIN_C

// *text receives a new pointer block (the caller frees it with
// sysmem_freeptr) holding the digest as 32 lower-case hexadecimal digits
// and a NUL. -1, writing nothing, for a null pointer or a count of 0 or
// less; -4 without memory.
KIVO_INTERNAL t_kivo_err md5_hash(const char *bytes, long count, char **text);
// *text receives a new pointer block with the RFC 4648 base64 text of the
// bytes on one line, NUL-terminated; *size the text's length plus one. -1
// for a null pointer or a negative count, -4 without memory.
KIVO_INTERNAL t_kivo_err b64_encode_nonl(const char *bytes, long count, char **text, long *size);
// *bytes receives a new zero-filled pointer block of length + 1 bytes and
// *count the number of bytes decoded: 0 or less when the text is not whole
// base64 (line ends after it are allowed), which is still result 0. -1 for
// a null pointer or a negative length, -4 without memory.
KIVO_INTERNAL t_kivo_err b64_unencode_nonl(const char *text, long length, char **bytes, long *count);

KIVO_END_C

#endif

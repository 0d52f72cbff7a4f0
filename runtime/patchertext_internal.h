// Compressed patcher text: the framed form used by the clipboard and the
// code editor, and the size limit of the decoder.
#ifndef KIVO_RUNTIME_PATCHERTEXT_INTERNAL_H
#define KIVO_RUNTIME_PATCHERTEXT_INTERNAL_H

#include <cstddef>

#include "kivo/patchertext.h"

KIVO_BEGIN_C

// 1 when the begin marker line occurs in the first length bytes (before a
// NUL) with at least one byte after it, else 0.
KIVO_INTERNAL long compression_istextcompressedjson(const char *text, long length);
// Replaces the contents of out with the framed text: wrapper, marker lines
// and the payload in lines of 60 characters, each line ended by a carriage
// return; NUL-terminated. 0, or -1 for a null argument or no memory.
KIVO_INTERNAL t_kivo_err compression_compressjson(const char *bytes, int length, t_handle out);
// Finds the framed payload in the text, which may be re-wrapped, indented
// or surrounded by other text, and replaces the contents of out with the
// inflated bytes and a NUL. -1 (out unchanged) without a begin marker, for
// a null argument, no memory, or a payload beyond the size limit.
KIVO_INTERNAL t_kivo_err compression_decompressjson(const char *text, long length, t_handle out);

KIVO_END_C

namespace kivo::patchertext {

// The most bytes a payload may inflate to; a payload that would give more
// is refused. Returns the previous limit (tests lower it).
KIVO_INTERNAL std::size_t set_inflate_limit(std::size_t bytes);

} // namespace kivo::patchertext

#endif

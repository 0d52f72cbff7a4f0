/*
 * Compressed patcher text: JSON (or any bytes) deflated with zlib and
 * written in a 6-bit text alphabet that survives mail and the clipboard.
 * The headless form is the bare payload, "<byte count>.<characters>", for
 * places that store the text as one value.
 */
#ifndef KIVO_PATCHERTEXT_H
#define KIVO_PATCHERTEXT_H

#include "kivo/types.h"

KIVO_BEGIN_C

/* Replaces the contents of out (which the caller owns) with the headless
   text of length bytes, NUL-terminated; out may be larger than the text.
   0, or -1 for a null argument, a negative length or no memory. */
KIVO_EXPORT t_kivo_err compression_compressjson_headless(const char *bytes, int length, t_handle out);
/* Decodes the whole text (up to length bytes or a NUL) as a headless
   payload and replaces the contents of out with the inflated bytes and a
   NUL. A damaged payload is not an error: out then holds what could be
   inflated, possibly nothing. -1 for a null argument, no memory, or a
   payload that would inflate beyond the size limit (out is unchanged). */
KIVO_EXPORT t_kivo_err compression_decompressjson_headless(const char *text, long length, t_handle out);

KIVO_END_C

#endif

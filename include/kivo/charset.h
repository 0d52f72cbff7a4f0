/*
 * Character sets: every text inside Kivo is UTF-8. These calls convert to
 * and from the encodings that files, old patchers and the platform bring
 * in, guess the encoding of a file's bytes, check, count and walk UTF-8,
 * escape text for URLs and bring text into precomposed Unicode form (NFC).
 *
 * Encodings are named by these symbols, exactly (lower case): "utf-8",
 * "utf-16" (big-endian), "utf-16be", "utf-16le", "iso-8859-1", "us-ascii",
 * "macroman", "ms-ansi", "shift_jis". "binary" is only ever a result of
 * charset_whichencoding. Mac Roman follows Apple's table: 0xC6 is U+2206
 * and 0xF0 is U+F8FF (U+0394 and U+E01E are accepted for them as well).
 *
 * Ownership: every text handed out is a pointer block that the caller frees
 * with sysmem_freeptr. Converters are objects of the nobox class
 * "charset_converter", freed with object_free; each is used by one thread
 * at a time.
 */
#ifndef KIVO_CHARSET_H
#define KIVO_CHARSET_H

#include "kivo/object.h"

KIVO_BEGIN_C

/* A converter. Other modules may read every field but `leg2`. */
typedef struct charset_converter {
    t_object ob;
    void *cd;         /* the conversion descriptor, or 0 */
    const char *src;  /* the converter library's name of the source encoding */
    const char *dst;  /* ... and of the destination encoding */
    void *leg2;       /* the kernel's own: second descriptor of Mac Roman conversions, or 0 */
} t_charset_converter;

/* Registers the class "charset_converter", its message "convert" and the
   encoding symbols. Start-up calls it once; later calls do nothing. */
KIVO_EXPORT void charset_init(void);

/* The constructor of "charset_converter". Null, after a console error, for
   an unknown encoding or one the converter library cannot pair. */
KIVO_EXPORT t_charset_converter *charset_converter_new(t_symbol *src, t_symbol *dst);
/* The "convert" message. On success *out is a new block of exactly *outsize
   bytes, NUL-terminated only when the input held its NUL. 0; -1 for a null
   argument, a zero count or a failed conversion (a character the
   destination cannot hold, invalid or truncated input); -4 when memory is
   exhausted. On failure *out is left as it was. */
KIVO_EXPORT t_kivo_err charset_converter_convert(t_charset_converter *x, const char *in,
                                                 long inbytes, char **out, long *outbytes);
/* One conversion with a converter made and freed for it. *out and *outbytes
   (which may be null) are cleared first. On success a NUL is appended
   unless the output already ended with one, and *outbytes counts it. */
KIVO_EXPORT t_kivo_err charset_convert(t_symbol *src, const char *in, long inbytes,
                                       t_symbol *dst, char **out, long *outbytes);

/* Mac Roman to UTF-8 and back through converters kept for the life of the
   process. A negative length converts the text up to and with its NUL.
   Null after a failure; *outbytes (may be null) receives the output size. */
KIVO_EXPORT char *charset_macromantoutf8(const char *in, long inbytes, long *outbytes);
KIVO_EXPORT char *charset_utf8tomacroman(const char *in, long inbytes, long *outbytes);
/* A plain-ASCII name is returned as it is; any other is taken as Mac Roman
   and its UTF-8 form interned. */
KIVO_EXPORT t_symbol *charset_macromantoutf8_sym(t_symbol *s);

/* 1 when the bytes are UTF-8 in the loose sense of the lead-byte ranges
   (overlong forms and surrogates pass), else 0. A negative length reads to
   the NUL; a NUL inside a positive length makes the text invalid unless it
   is the last byte. *isascii (may be null) is 1 when no byte from 0x80 up
   was met. A null text is invalid. */
KIVO_EXPORT long charset_isvalidutf8(const char *s, long len, long *isascii);
/* The guessed encoding of a file's bytes: "utf-8", "utf-16be", "utf-16le",
   "binary" or "macroman". A negative length reads to the NUL; a null
   buffer is "binary". */
KIVO_EXPORT t_symbol *charset_whichencoding(const char *buf, long len, long *isascii);

/* Characters up to the NUL; *bytecount (may be null) receives the bytes. */
KIVO_EXPORT long charset_utf8_count(const char *s, long *bytecount);
/* Moves charcount characters forward (stopping at the NUL) or, for a
   negative count, backward; *byteoffset (may be null) receives the signed
   distance. Moving backward cannot see the start of the text: the caller
   must not move before it. */
KIVO_EXPORT char *charset_utf8_offset(char *s, long charcount, long *byteoffset);

/* Escapes every byte outside the URL-safe set as %XX into out, which holds
   3 * strlen(s) + 1 bytes. 0, or -1 for a null argument. */
KIVO_EXPORT long charset_urlencode(const char *s, char *out);

/* UTF-8 to UTF-16 units in host order, ended by a zero unit that *outunits
   (may be null) does not count. Bytes of invalid input from 0x80 up become
   "*". A null text gives the empty result. */
KIVO_EXPORT unsigned short *charset_utf8tounicode(const char *s, long *outunits);
KIVO_EXPORT unsigned short *UTF8ToUnicode(const char *s, long *outunits);
/* UTF-16 units (a count of 0: up to the zero unit) to precomposed UTF-8,
   NUL-terminated; a unit that is half of no surrogate pair becomes U+FFFD.
   *outbytes (may be null) receives the block size, NUL included. */
KIVO_EXPORT char *charset_unicodetoutf8(const unsigned short *s, long units, long *outbytes);
KIVO_EXPORT char *UnicodeToUTF8(const unsigned short *s, long units, long *outbytes);

/* When one of the first len bytes (a negative len: to the NUL; the scan
   never passes the NUL) is from 0x80 up and out is given, the whole text
   up to its NUL is normalised to precomposed form into a new block: *out
   receives it, *outbytes (may be null) its block size, and the result is
   1. Otherwise, or when the text is not valid UTF-8, 0 and *out is left
   as it was. */
KIVO_EXPORT long kivostring_conform(const char *s, long len, char **out, long *outbytes);

KIVO_END_C

#endif

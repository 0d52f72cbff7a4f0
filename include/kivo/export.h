/*
 * Export and linkage macros shared by every public header.
 *
 * The library builds with hidden visibility; only declarations carrying
 * KIVO_EXPORT are reachable by externals and programs that link libkivo.
 */
#ifndef KIVO_EXPORT_H
#define KIVO_EXPORT_H

#define KIVO_EXPORT __attribute__((visibility("default")))

/*
 * Internal functions that the kivo executable and the test binaries call
 * besides the exported interface (they link the shared library too). Such
 * declarations live in the library's own headers, never in include/kivo/.
 */
#define KIVO_INTERNAL __attribute__((visibility("default")))

#ifdef __cplusplus
#define KIVO_BEGIN_C extern "C" {
#define KIVO_END_C }
#else
#define KIVO_BEGIN_C
#define KIVO_END_C
#endif

/* Record layouts that externals rely on are pinned where they are declared. */
#ifdef __cplusplus
#define KIVO_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define KIVO_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

/* printf-style checking of a format argument and the arguments after it. */
#define KIVO_FORMAT(fmt_index, args_index) __attribute__((format(printf, fmt_index, args_index)))

/*
 * A few exported names are also functions of the C library on Linux
 * (error(3) is one). Such a function is declared under its own name but
 * linked under a kivo_ name, so that neither shadows the other in the
 * process; callers write the plain name.
 */
#define KIVO_LINKNAME(name) __asm__(#name)

#endif

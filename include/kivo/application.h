/*
 * The application: plug-in options, the bundle that holds running code,
 * and entry points that older externals still link against.
 */
#ifndef KIVO_APPLICATION_H
#define KIVO_APPLICATION_H

#include "kivo/types.h"

KIVO_BEGIN_C

/* The plug-in options: audio and MIDI (1 and 1 at start-up) and an extra
   pointer (none at start-up, borrowed). */
KIVO_EXPORT void plug_setoptions(long audio, long midi, void *extra);
KIVO_EXPORT void plug_getoptions(long *audio, long *midi, void **extra);

/* A bundle: a folder holding "Contents/". */
typedef struct kivo_bundle t_kivo_bundle;
/* A new bundle record for the bundle that holds the code (or this code),
   or null when that code is not inside a bundle. Released by the caller
   with kivo_bundle_release. */
KIVO_EXPORT t_kivo_bundle *GetCurrentlyExecutingBundleOfFunction(const void *code);
KIVO_EXPORT t_kivo_bundle *GetCurrentlyExecutingBundle(void);
KIVO_EXPORT void kivo_bundle_release(t_kivo_bundle *bundle);
/* The bundle's folder (borrowed from the record). */
KIVO_EXPORT const char *kivo_bundle_path(t_kivo_bundle *bundle);
/* The bundle's version text ("CFBundleVersion" of Contents/Info.plist)
   into out; 0, or non-zero when it has none. */
KIVO_EXPORT long kivo_bundle_version(t_kivo_bundle *bundle, char *out, long size);

/* Entry points kept for older externals; they do nothing. */
KIVO_EXPORT void plug_init(void);
KIVO_EXPORT void plug_free(void);
KIVO_EXPORT void kdl_init(void);
KIVO_EXPORT void kdl_idle(void);
KIVO_EXPORT void appbuilder_register(void);
KIVO_EXPORT void appbuilder_keyword(void);
KIVO_EXPORT void collective_load(void);
KIVO_EXPORT void sparkle_checkforupdates(void);

KIVO_END_C

#endif

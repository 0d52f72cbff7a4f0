/*
 * The kernel start-up and shutdown: every subsystem's initialiser runs from
 * here, in one fixed order (symbols before classes, classes before objects,
 * preferences before the files that read them, search paths before the
 * start-up folders).
 *
 * The initialisers of subsystems that are not built yet live in their own
 * subsystems' folders and are declared below; each does the least that
 * start-up needs of it until its subsystem fills it in.
 *
 * Used by: the kivo executable, the test binaries, app/.
 */
#ifndef KIVO_APP_STARTUP_H
#define KIVO_APP_STARTUP_H

#include "kivo/kivo.h"

KIVO_BEGIN_C

/* 0 on success; non-zero asks the caller to quit. Runs once per process. */
KIVO_EXPORT long kivo_startup(void);
/* Posted with defer_low once start-up has finished: the loader is ready. */
KIVO_INTERNAL void kivo_startup_phase2(void);
/* The application's part of shutdown before the kernel's: stops the timer
   and MIDI threads (when started), then frees the kivoapplication object. */
KIVO_INTERNAL void kivo_application_teardown(long started);
/* Runs once, and only after kivo_startup. */
KIVO_EXPORT void kivo_shutdown(void);

/* ---- start-up pieces of the shell itself (startup.cpp) */
KIVO_INTERNAL void detect_safemode(void);
/* Non-zero in safe mode (modifiers at launch, or the "safemode" message). */
KIVO_INTERNAL long kivo_safemode_get(void);
KIVO_INTERNAL void kivo_safemode_set(long on);
/* The keyboard modifiers that safe-mode detection reads; 0 without a
   display. A test may install its own source (null: the platform's). */
typedef long (*t_kivo_modifiers_fn)(void);
KIVO_INTERNAL void kivo_modifiers_source_set(t_kivo_modifiers_fn fn);
KIVO_INTERNAL void ad_load(void);
KIVO_INTERNAL void internals_initclass(void);
KIVO_INTERNAL void startup_load(const char *foldername);
KIVO_INTERNAL void startup_load_from_packages(const char *foldername);
KIVO_INTERNAL void startup_doload(short path);
KIVO_INTERNAL void startup_load_one(t_fourcc type, const char *filename, short path);
KIVO_INTERNAL void single_open(void);
KIVO_INTERNAL long single_check(void);
/* The standalone collective's file name (512 bytes). */
KIVO_INTERNAL void single_filename(char *buffer);
KIVO_INTERNAL void single_checkappforfiles(void);
/* Non-zero when this process runs as a standalone application. */
KIVO_INTERNAL long kivo_standalone_get(void);
KIVO_INTERNAL void kivo_standalone_set(long on);
/* Computes the packed version into g_kivo_version and returns it. */
KIVO_INTERNAL short get_kivoversion(void);
/* The packing rule: "%d.%d.%d" (missing parts 0), 1843 when unreadable or
   0, plus 0x4000 when standalone. Null text means unreadable. */
KIVO_INTERNAL short kivo_packversion(const char *text, long standalone);

/* The command-line string (all arguments joined with single blanks), or
   null when it was empty. Lives for the whole run. */
KIVO_INTERNAL const char *kivo_commandline_get(void);
KIVO_INTERNAL void kivo_commandline_set(const char *text);

/* ---- initialisers of other subsystems that start-up and shutdown call */
/* kernel/startup_hooks.cpp */
KIVO_INTERNAL void obex_shutdown(void);
KIVO_INTERNAL void boxcolor_init(void);
KIVO_INTERNAL void globalsymbol_initclass(void);
KIVO_INTERNAL void kivoupdatechecker_init(void);
/* runtime/startup_hooks.cpp */
KIVO_INTERNAL void sysinfo_acquire(void);
KIVO_INTERNAL void sysinfo_getappname(void);
/* The application name that sysinfo_acquire read ("Kivo" before). */
KIVO_INTERNAL const char *sysinfo_appname(void);
KIVO_INTERNAL void kivopcre_init(void);
KIVO_INTERNAL void syscrypto_init(void);
KIVO_INTERNAL void itm_initclass(void);
KIVO_INTERNAL void eventreporter_init(void);
/* apiglue/machoglue.cpp */
KIVO_INTERNAL void machoglue_init(void);
KIVO_INTERNAL void machoglue_close(void);
/* tools/startup_hooks.cpp */
KIVO_INTERNAL void msg_stack_init(void);
/* objects/startup_hooks.cpp: the operator classes, the key classes and the
   built-in classes that internals_initclass registers */
KIVO_INTERNAL void obj2_init(void);
KIVO_INTERNAL void key_initclass(void);
KIVO_INTERNAL void keyup_initclass(void);
/* graphics/startup_hooks.cpp */
KIVO_INTERNAL void fontinfo_init(void);
KIVO_INTERNAL void fontmap_init(void);
KIVO_INTERNAL void bitwrap_init(void);
KIVO_INTERNAL void bitwrap_quit(void);
/* ui/startup_hooks.cpp */
KIVO_INTERNAL void swatches_shutdown(void);
KIVO_INTERNAL void fontpanel_shutdown(void);
/* patcher/startup_hooks.cpp */
KIVO_INTERNAL void jpatcher_api_init(void);
KIVO_INTERNAL void prototype_init5(void);
/* prefs/preferences.cpp */
KIVO_INTERNAL void filepreferences_initclass(void);
KIVO_INTERNAL void translation_init(void);
KIVO_INTERNAL void preferences_preload(void);
KIVO_INTERNAL void translation_initpaths(void);
KIVO_INTERNAL void simpleprefs_init(void);
KIVO_INTERNAL void preferences_startup(void);
KIVO_INTERNAL void preferences_checkvideoengineqt(void);
KIVO_INTERNAL void defaults_startup(void);
KIVO_INTERNAL void preferences_shutdown(void);
KIVO_INTERNAL void defaults_shutdown(void);
KIVO_INTERNAL void userhistory_save(void);
/* Two new texts (freed by the caller with sysmem_freeptr). */
KIVO_INTERNAL void translation_getpreferredlanguage(char **code, char **name);
/* Non-zero when the preference option is on (0 for unknown options). */
KIVO_INTERNAL long preferences_getoption(const char *name);
/* projects/startup_hooks.cpp */
KIVO_INTERNAL void xpcoll_init(void);
KIVO_INTERNAL void xpcoll_close(void);
KIVO_INTERNAL void packages_startup(void);
KIVO_INTERNAL void unibrowser_communicator_shutdown(void);
/* A new linklist of path ids (as long values): the base folder first when
   base is not 0, then the sub-folder of every enabled package; empty in safe
   mode. Freed by the caller with object_free. */
KIVO_INTERNAL t_linklist *packages_createsubpathlist(const char *foldername, short base);
/* browser/startup_hooks.cpp */
KIVO_INTERNAL void db_init(void);
KIVO_INTERNAL void snippet_init(void);
KIVO_INTERNAL void kivodb_new(void);
/* docs/startup_hooks.cpp */
KIVO_INTERNAL void kivoprivatefonts_init(void);
/* web/cef.cpp */
KIVO_INTERNAL long kivo_cef_isavailable(void);
KIVO_INTERNAL long kivo_cef_startup(void);
KIVO_INTERNAL void kivo_cef_shutdown(void);
/* files/startup_hooks.cpp */
KIVO_INTERNAL void path_getappfileref(void);
KIVO_INTERNAL void fileutils_init(void);
KIVO_INTERNAL void fileutils_saveprefs(void);
KIVO_INTERNAL void onecopy_init(void);
KIVO_INTERNAL void path_saveprefpaths(void);
/* files/dropload.cpp: opening documents named on the command line or
   dropped on the application; 1 when handled or queued. */
KIVO_INTERNAL long dropload(const char *filename, short path);
KIVO_INTERNAL void dropload_markready(void);
KIVO_INTERNAL long dropload_isready(void);
/* Runs a start-up file: 1 when it made an object. */
KIVO_INTERNAL long startupfile(const char *filename, short path, t_fourcc type);
/* Evaluates message text as a start-up file would be evaluated: 0, or 1
   when the text holds no message for an object (posted). */
KIVO_INTERNAL long startupfile_text(const char *text);
/* Files that could not be opened since start (for the exit status). */
KIVO_INTERNAL long dropload_failures(void);
/* The first patcher opened from a document, while it lives; else null. */
KIVO_INTERNAL t_object *dropload_firstpatcher(void);
/* app/shell_hooks.cpp: later parts of the shell */
KIVO_INTERNAL void sysmenu_init(void);
KIVO_INTERNAL void interface_init(void);
KIVO_INTERNAL void recent_save(void);
KIVO_INTERNAL void jwind_close_temporaries(void);
KIVO_INTERNAL void kivo_cancelwelcome(void);

KIVO_END_C

#ifdef __cplusplus
#include <string>
#include <vector>

namespace kivo::app {
// The names of the start-up (or shutdown) steps in the order they ran.
KIVO_INTERNAL std::vector<std::string> startup_trace();
KIVO_INTERNAL std::vector<std::string> shutdown_trace();
// The path of the start-up file run most recently (tests).
KIVO_INTERNAL std::vector<std::string> startup_loaded_files();
} // namespace kivo::app
#endif

#endif

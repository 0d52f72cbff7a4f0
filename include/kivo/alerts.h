/*
 * Alerts, quit tasks and debug values.
 *
 * Alerts are modal and run on the main thread, except ouchstring and
 * warn_defer, which any thread may call: from another thread the text is
 * kept and shown later by the main thread. One such warning waits at a
 * time; a second one raised while the first waits is dropped.
 *
 * Without a display (a headless run) or while dialogs are suppressed
 * (g_kivo_testing_dialogsuppress), an alert writes its text to the console
 * as an error line and answers at once with its first button, the one that
 * Return would choose (a save prompt answers "Save").
 *
 * Button codes: 1 for the first button, 3 for the second, 2 for the third.
 *
 * Quit tasks run at shutdown, the most recently installed first. The list
 * is touched on the main thread only.
 */
#ifndef KIVO_ALERTS_H
#define KIVO_ALERTS_H

#include "kivo/atom.h"

KIVO_BEGIN_C

/* ---- alerts */

/* Alert buffer sizes, terminator included; longer texts are cut. */
#define KIVO_ALERT_TEXTSIZE 256
#define KIVO_WINDALERT_TEXTSIZE 2048

/* An alert with "OK". Any thread. */
KIVO_EXPORT void ouchstring(const char *format, ...) KIVO_FORMAT(1, 2);
/* "Yes", "No", "Cancel"; the button code. */
KIVO_EXPORT short advise(const char *format, ...) KIVO_FORMAT(1, 2);
/* The given text, explanation (may be null) and button labels (b2 and b3
   may be null: no such button; a null b1 reads "OK"); the button code, or
   0 without text. */
KIVO_EXPORT short advise_explain(const char *text, const char *explanation, const char *b1,
                                 const char *b2, const char *b3);
/* A save prompt on the window (may be null): "Save", "Cancel",
   "Don't Save"; 1 save, 3 cancel, 2 do not save. */
KIVO_EXPORT short wind_advise(t_object *window, const char *format, ...) KIVO_FORMAT(2, 3);
/* As advise_explain, on the window (may be null). */
KIVO_EXPORT short wind_advise_explain(t_object *window, const char *text,
                                      const char *explanation, const char *b1,
                                      const char *b2, const char *b3);
/* "Out of memory". Any thread. */
KIVO_EXPORT void memouch(void);
/* Keeps a warning (cut to 255 characters) for the main thread, which shows
   it as it stands; dropped when one already waits. Any thread. */
KIVO_EXPORT void warn_defer(const char *text);
/* Posts the error "<name>: read failed". */
KIVO_EXPORT void readerror(const char *name);
/* Sets the window-closing code's no-cancel switch; no prompt reads it. */
KIVO_EXPORT void wind_nocancel(void);
/* Non-zero: dialogs and alerts do not show; they answer at once. Set by
   the application object's "testing_dialogsuppress". Main thread. */
KIVO_EXPORT extern long g_kivo_testing_dialogsuppress;

/* ---- the About window's services */

/* A start-up progress report; shows nothing. */
KIVO_EXPORT void sysabout_post(const char *format, ...) KIVO_FORMAT(1, 2);
/* Writes the version line, e.g. "Version 0.1.0 (64-bit linux)", into
   `buffer`, which holds at least KIVO_ALERT_TEXTSIZE bytes. */
KIVO_EXPORT void sysabout_getversion(char *buffer);

/* ---- quit tasks */

typedef void (*t_quittaskfn)(void *arg);
/* The record; the list owns it until it runs or is removed. */
typedef struct quittask t_quittask;

/* Adds a task at the head; returns its record (owned by the list), or null
   when no memory is left. The same function may be installed twice; it
   then runs twice. */
KIVO_EXPORT t_quittask *quittask_install(t_quittaskfn fn, void *arg);
/* Removes and frees the first record with that function. */
KIVO_EXPORT void quittask_remove(t_quittaskfn fn);
/* Removes and frees the first record with that function and argument. */
KIVO_EXPORT void quittask_remove2(t_quittaskfn fn, void *arg);
/* Runs every task, the most recently installed first, until the list is
   empty; a task may install or remove others meanwhile. Shutdown. */
KIVO_EXPORT void quittask_exec(void);

/* ---- debug values */

/* The debug-value object, made once when its class exists; null without. */
KIVO_EXPORT t_object *kivodebug_makeinstance(void);
/* The debug-value object's enabled mark; 0 without the object. */
KIVO_EXPORT long kivodebug_isenabled(void);
/* Stores the atoms as the value of the attribute `name` (added on first
   use); -1 when debug values are off, else the store's result. */
KIVO_EXPORT t_kivo_err kivodebug_setatoms(t_symbol *name, long argc, t_atom *argv);
/* The values in the atom formatter's letters; 0 when debug values are off,
   else kivodebug_setatoms's result. */
KIVO_EXPORT t_kivo_err kivodebug_setformat(t_symbol *name, const char *format, ...);

KIVO_END_C

#endif

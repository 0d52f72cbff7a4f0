/*
 * Seams between the modules of the application shell: who calls what
 * across app/. Each module's own details stay in its own header.
 *
 * Used by: app/, tests. Not exported.
 */
#ifndef KIVO_APP_APP_INTERNAL_H
#define KIVO_APP_APP_INTERNAL_H

#include "kivo/kivo.h"

KIVO_BEGIN_C

/* ---- the application object "kivo" (kivoobj.cpp) */
/* Builds the class "kivo" and the object, binds "kivo", "#N",
   "g_kivo_newest", "voxim" and "vxm". Start-up step 21. */
KIVO_INTERNAL void m_obj_init(void);
/* The application object; null before m_obj_init. */
KIVO_INTERNAL t_object *kivo_getobject(void);

/* ---- the kivoapplication object and the main-thread handler
   (kivoapplication.cpp, mainthread.cpp) */
/* Registers "kivoapplication", makes the one instance, follows
   "eventinterval", then triggers the system queue and the qelem queue. */
KIVO_INTERNAL void kivoapplication_init(void);
/* Frees the instance (shutdown); triggers are ignored afterwards. */
KIVO_INTERNAL void kivoapplication_free(void);

/* ---- quit (quit.cpp): handlers that the "kivo" class registers */
KIVO_INTERNAL void kivo_msg_quit(t_object *x, t_symbol *s, long argc, t_atom *argv);
KIVO_INTERNAL void kivo_msg_quitnow(t_object *x, t_symbol *s, long argc, t_atom *argv);
KIVO_INTERNAL void kivo_msg_clean(t_object *x);
/* The quit decision (main thread). */
KIVO_INTERNAL void wind_quit(void);
/* Non-zero once a quit has been accepted. */
KIVO_INTERNAL long kivo_quitflag(void);

/* ---- alerts (alerts.cpp) */
/* "testing_dialogsuppress": while set, alerts and dialogs return at once. */
KIVO_INTERNAL void kivo_testing_dialogsuppress(long flag);

/* ---- process entry (application.cpp) */
/* The whole run of the kivo executable; returns the exit status. */
KIVO_INTERNAL int kivo_main(int argc, char **argv);

KIVO_END_C

#endif

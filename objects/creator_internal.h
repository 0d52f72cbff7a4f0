/*
 * The legacy object creator ("#N") and the old-style classes that only it
 * makes.
 *
 * Used by: app/ (start-up), files/ (the document loader hands "opened" the
 * documents it does not handle itself), tests. Not exported.
 */
#ifndef KIVO_OBJECTS_CREATOR_INTERNAL_H
#define KIVO_OBJECTS_CREATOR_INTERNAL_H

#include "kivo/kivo.h"

KIVO_BEGIN_C

/* Defines the creator's class, fills g_kivo_qnewobj and binds "#N" to it.
   Runs once; later calls only rebind "#N". Main thread, start-up. */
KIVO_INTERNAL void qnew_init(void);
/* Always null: asks the set-up to define the creator's class itself. */
KIVO_INTERNAL t_class *qnew_getclass(void);

/* ---- "opened" (objects/opened.cpp) */
/* The creator's "opened" entry: type filter and patcher file to open, each
   possibly the empty symbol. The caller owns the object. */
KIVO_INTERNAL void *opened_new(t_symbol *type, t_symbol *patcherfile);
/* A document the loader does not handle: every "opened" object whose filter
   is `type` or "----" reports it. 1 when at least one object matched. */
KIVO_INTERNAL short opened_load(const char *filename, short path, t_fourcc type);

KIVO_END_C

#endif

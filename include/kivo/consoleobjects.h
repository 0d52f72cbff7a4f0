/*
 * What the console and keyboard objects offer other code: error listening
 * and the key entry points that the patcher canvas calls.
 */
#ifndef KIVO_CONSOLEOBJECTS_H
#define KIVO_CONSOLEOBJECTS_H

#include "kivo/object.h"

KIVO_BEGIN_C

/* Each error posted against an object (or none) reaches every subscriber,
   newest first, as the message "error" followed by the error's words, the
   source's console name and a colon first. Subscribing twice delivers
   twice; unsubscribing removes one subscription. Main thread or the
   scheduler thread that posts the errors; not locked. */
KIVO_EXPORT void error_subscribe(t_object *x);
KIVO_EXPORT void error_unsubscribe(t_object *x);

/* A key typed or released in a patcher: the character, the platform key
   code (-1: none), the application modifier word and the portable key code.
   The function bound to "##keylistener##" ("##keyuplistener##") hears it
   first; then every "key" ("keyup") object does, unless the modifier word
   has bit 0x200. 1 when there are such objects to hear it, else 0. */
typedef void (*t_kivo_keylistener)(long key, long code, long modifiers, long portable);
KIVO_EXPORT long kivo_unicodekeydown(long key, long code, long modifiers, long portable);
KIVO_EXPORT long kivo_unicodekeyup(long key, long code, long modifiers, long portable);

KIVO_END_C

#endif

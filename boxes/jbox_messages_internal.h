/*
 * The common box messages (box_messages.cpp) as the box layer and the
 * tests call them.
 *
 * Z-order operations answer 0, or -1 when the box is not in its patcher's
 * list (or, for orderafter/orderbefore, the other box is in another
 * patcher); while the list is being walked they defer themselves and
 * answer 0.
 *
 * Used by: boxes/, tests. Includes only kivo/ headers.
 */
#ifndef KIVO_BOXES_JBOX_MESSAGES_INTERNAL_H
#define KIVO_BOXES_JBOX_MESSAGES_INTERNAL_H

#include "kivo/jbox.h"

KIVO_BEGIN_C

/* Adds the common box messages; the legacy "color" with JBOX_FLAG_LEGACYCOLOR. */
KIVO_INTERNAL void jbox_messages_addmethods(t_class *c, long flags);

KIVO_INTERNAL long jbox_bringtofront_msg(t_jbox *b);
KIVO_INTERNAL long jbox_sendtoback_msg(t_jbox *b);
KIVO_INTERNAL long jbox_bringforward(t_jbox *b);
KIVO_INTERNAL long jbox_sendbackward(t_jbox *b);
KIVO_INTERNAL long jbox_canmoveforward(t_jbox *b);
KIVO_INTERNAL long jbox_canmovebackward(t_jbox *b);
/* Null other: sendtoback (orderafter) or bringtofront (orderbefore). */
KIVO_INTERNAL long jbox_orderafter(t_jbox *b, t_jbox *other);
KIVO_INTERNAL long jbox_orderbefore_msg(t_jbox *b, t_jbox *other);
KIVO_INTERNAL long jbox_orderincrement(t_jbox *b);
KIVO_INTERNAL long jbox_orderdecrement(t_jbox *b);

KIVO_END_C

#endif

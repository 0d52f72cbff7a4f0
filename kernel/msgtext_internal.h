/*
 * Message-text internals shared inside the library (not exported).
 *
 * Used by: kernel/binbuf.cpp (binbuf_totext), kernel/atombuf.cpp
 * (atombuf_totext_flags), kernel/attr.cpp. Includes only kivo/msgtext.h.
 */
#ifndef KIVO_KERNEL_MSGTEXT_INTERNAL_H
#define KIVO_KERNEL_MSGTEXT_INTERNAL_H

#include "kivo/msgtext.h"
#include "kivo/types.h"

KIVO_BEGIN_C

/* The buffer writer over plain atoms: writes ac atoms as text into h
   (resized to fit; no terminating zero) and stores the length in *size.
   flags: 1 and 2 as for the reader (binbufs pass 0). Returns 0, or 1 when
   the handle cannot grow (then h is cut to 1 byte and *size is 0). The
   handle's lock state is left as found. */
KIVO_INTERNAL long msgtext_totext(long ac, const t_atom *av, t_handle h, t_ptr_size *size, long flags);

KIVO_END_C

#endif

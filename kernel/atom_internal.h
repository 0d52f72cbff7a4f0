/*
 * Atom internals shared inside the kernel (not exported).
 *
 * Used by: kernel/atom.cpp, kernel/symbol.cpp. Includes only kivo/atom.h.
 */
#ifndef KIVO_KERNEL_ATOM_INTERNAL_H
#define KIVO_KERNEL_ATOM_INTERNAL_H

#include <cstddef>

#include "kivo/atom.h"

// The text of one atom as it is spliced into a symbol by argument
// replacement: long "%lld", float "%f" without trailing zeros, a symbol's
// text, ";" and ",", "$%lld", "$%s", an object's class name ("NULL" when
// null, "?" when the pointer holds no live object), "(end)" for AT_NOTHING
// and "?" for any other type. Unlike atom_string it keeps a float's digits
// and writes into the caller's buffer, so it is safe on any thread. The
// text is cut to size - 1 characters and always terminated; nothing is
// written when size is 0.
void atom_text_exact(const t_atom *a, char *buf, std::size_t size);

#endif

/*
 * Bit fields of byte blocks, shared by the 6-bit text of binary data in
 * dictionaries and its tests. The block is a stream of 8 x size bits in
 * which bit k is bit (k mod 8) of byte (k div 8), least significant first.
 *
 * Used by: runtime/dictionary_binary.cpp, tests. Not exported.
 */
#ifndef KIVO_RUNTIME_DICTIONARY_BINARY_INTERNAL_H
#define KIVO_RUNTIME_DICTIONARY_BINARY_INTERNAL_H

#include <stdint.h>

#include "kivo/types.h"

KIVO_BEGIN_C

// The value whose bit j is stream bit position + j, for width 0 to 32;
// bits outside the block read as 0.
KIVO_INTERNAL uint32_t getBitRange(const unsigned char *data, t_atom_long size, t_atom_long position,
                                   long width);
// Writes bit j of value to stream bit position + j, for width 0 to 32,
// keeping every other bit; bits outside the block are not written.
KIVO_INTERNAL void setBitRange(unsigned char *block, t_atom_long size, t_atom_long position, long width,
                               uint32_t value);

KIVO_END_C

#endif

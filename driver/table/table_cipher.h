// The table file's protection: a checksum over the plain image and the driver's own cipher
// with a fixed 128-bit key. The key is the same on every system; the cipher keeps casual
// readers and editors out of the file, the checksum catches damage.
#pragma once

#include "platform/nt/nt_types.h"

struct TableKey {
  UCHAR bytes[16];
  ULONG words[4];  // the bytes as four little-endian words
};

// Sixteen bytes from the driver's pseudo-random generator, started from its fixed seed.
TableKey MakeTableKey();

// XOR of the data's little-endian words, then of its remaining bytes, folded to spread every
// byte over the result.
ULONG ImageChecksum(const UCHAR* data, SIZE_T size);

// Every complete 8-byte block goes through 32 rounds of a Feistel network; the remaining bytes
// are combined with a keyed 16-bit shift-register stream.
void EncipherImage(const TableKey& key, UCHAR* data, SIZE_T size);
void DecipherImage(const TableKey& key, UCHAR* data, SIZE_T size);

#include "driver/table/table_cipher.h"

#include <bit>

#include "common/record_bytes.h"

namespace {

// The generator: a 32-bit linear congruential generator whose output is bits 16 to 30 of each
// new state. Files written with other values are not read, so these never change.
constexpr ULONG kGeneratorSeed = 0x4B563033;
constexpr ULONG kGeneratorMultiplier = 1103515245;
constexpr ULONG kGeneratorIncrement = 12345;
// The tail stream's state before the first byte.
constexpr USHORT kTailStreamStart = 0xA5C3;

constexpr ULONG kDelta = 0x9E3779B9;
constexpr int kRounds = 32;

void EncipherBlock(const ULONG* k, UCHAR* block) {
  ULONG x = LoadLe32(block);
  ULONG y = LoadLe32(block + 4);
  ULONG sum = 0;
  for (int round = 0; round < kRounds; ++round) {
    sum += kDelta;
    x += (y << 4) + (y ^ k[0]) + ((y >> 5) ^ sum) + k[1];
    y += (x << 4) + (x ^ k[2]) + ((x >> 5) ^ sum) + k[3];
  }
  StoreLe32(block, x);
  StoreLe32(block + 4, y);
}

void DecipherBlock(const ULONG* k, UCHAR* block) {
  ULONG x = LoadLe32(block);
  ULONG y = LoadLe32(block + 4);
  ULONG sum = kDelta * kRounds;
  for (int round = 0; round < kRounds; ++round) {
    y -= (x << 4) + (x ^ k[2]) + ((x >> 5) ^ sum) + k[3];
    x -= (y << 4) + (y ^ k[0]) + ((y >> 5) ^ sum) + k[1];
    sum -= kDelta;
  }
  StoreLe32(block, x);
  StoreLe32(block + 4, y);
}

// The tail stream. Both directions feed the plain and the enciphered byte back into the state,
// so that they stay in step.
void CombineTail(const TableKey& key, UCHAR* data, SIZE_T size, bool encipher) {
  USHORT s = kTailStreamStart;
  for (SIZE_T i = 0; i < size; ++i) {
    s = std::rotr(s, 3);
    const unsigned index = s & 0xF;
    USHORT c = static_cast<USHORT>(key.bytes[index] * index);
    c = std::rotr(c, 7);
    s = c;
    for (unsigned step = (c & 0xF) + 7; step > 0; --step) {
      const bool evenParity = std::popcount(static_cast<unsigned>(s & 0xFF)) % 2 == 0;
      s = static_cast<USHORT>((s >> 1) | (evenParity ? 0x8000 : 0));
    }
    const UCHAR in = data[i];
    const UCHAR out = static_cast<UCHAR>(in ^ (s & 0xFF));
    data[i] = out;
    const UCHAR plain = encipher ? in : out;
    const UCHAR enciphered = encipher ? out : in;
    s = static_cast<USHORT>(((s >> 8) ^ plain) << 8 | enciphered);
  }
}

}  // namespace

TableKey MakeTableKey() {
  TableKey key{};
  ULONG state = kGeneratorSeed;
  for (int i = 0; i < 8; ++i) {
    state = state * kGeneratorMultiplier + kGeneratorIncrement;
    const USHORT output = static_cast<USHORT>((state >> 16) & 0x7FFF);
    key.bytes[2 * i] = static_cast<UCHAR>(output);
    key.bytes[2 * i + 1] = static_cast<UCHAR>(output >> 8);
  }
  for (int i = 0; i < 4; ++i) key.words[i] = LoadLe32(key.bytes + 4 * i);
  return key;
}

ULONG ImageChecksum(const UCHAR* data, SIZE_T size) {
  ULONG r = 0;
  SIZE_T i = 0;
  for (; i + 4 <= size; i += 4) r ^= LoadLe32(data + i);
  for (; i < size; ++i) r ^= data[i];
  return r ^ (r >> 8) ^ (r >> 16) ^ (r >> 24);
}

void EncipherImage(const TableKey& key, UCHAR* data, SIZE_T size) {
  const SIZE_T whole = size - size % 8;
  for (SIZE_T i = 0; i < whole; i += 8) EncipherBlock(key.words, data + i);
  CombineTail(key, data + whole, size - whole, true);
}

void DecipherImage(const TableKey& key, UCHAR* data, SIZE_T size) {
  const SIZE_T whole = size - size % 8;
  for (SIZE_T i = 0; i < whole; i += 8) DecipherBlock(key.words, data + i);
  CombineTail(key, data + whole, size - whole, false);
}

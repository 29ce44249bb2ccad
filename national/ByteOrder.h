/* Big-endian loads and stores of 32-bit words at any alignment, and of 256-bit values as four
 * little-endian 64-bit limbs. */
#ifndef KELU_BYTE_ORDER_H
#define KELU_BYTE_ORDER_H

#include <cstdint>
#include <cstring>

namespace kelu {

inline uint32_t LoadBE32(const unsigned char *p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  v = __builtin_bswap32(v);
#endif
  return v;
}

inline void StoreBE32(unsigned char *p, uint32_t v) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  v = __builtin_bswap32(v);
#endif
  std::memcpy(p, &v, 4);
}

// A 32-byte big-endian value as four 64-bit limbs, least significant first, and back.
inline void LoadLimbs256(uint64_t limbs[4], const unsigned char in[32]) {
  for (int i = 0; i < 4; ++i) {
    uint64_t limb = 0;
    for (int j = 0; j < 8; ++j) limb = limb << 8 | in[(3 - i) * 8 + j];
    limbs[i] = limb;
  }
}

inline void StoreLimbs256(unsigned char out[32], const uint64_t limbs[4]) {
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 8; ++j) out[(3 - i) * 8 + j] = static_cast<uint8_t>(limbs[i] >> (56 - 8 * j));
}

}  // namespace kelu

#endif

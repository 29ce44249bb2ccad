/* Big-endian loads and stores of 32-bit words at any alignment. */
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

}  // namespace kelu

#endif

/* Arithmetic modulo the order n of the SM2 curve (curve 920), on 32-byte big-endian values:
 * the constant-time inverse a signature takes of 1 + d, and the range of private keys. */
#ifndef KELU_SM2_ORDER_H
#define KELU_SM2_ORDER_H

#include <cstdint>

namespace kelu {

// a^-1 mod n for 0 < a < n, as a^(n-2); false otherwise. a is secret: no branch or memory
// access depends on it.
bool SM2OrderInverse(const uint8_t a[32], uint8_t out[32]);

// All ones when 1 <= d <= n - 2, the private keys that can sign (1 + d must be invertible),
// else zero. d is secret: no branch or memory access depends on it.
uint64_t SM2PrivateKeyRangeMask(const uint8_t d[32]);

}  // namespace kelu

#endif

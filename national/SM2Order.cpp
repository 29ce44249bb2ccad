#include "SM2Order.h"

#include <openssl/crypto.h>

#include "ByteOrder.h"

namespace kelu {
namespace {

using u128 = unsigned __int128;

// Values mod n in Montgomery form with R = 2^256, little-endian 64-bit limbs.
struct Scalar {
  uint64_t v[4];
};

constexpr Scalar kN = {{0x53BBF40939D54123ull, 0x7203DF6B21C6052Bull, 0xFFFFFFFFFFFFFFFFull,
                        0xFFFFFFFEFFFFFFFFull}};
constexpr Scalar kR2 = {{0x901192AF7C114F20ull, 0x3464504ADE6FA2FAull, 0x620FC84C3AFFE0D4ull,
                         0x1EB5E412A22B3D3Bull}};  // R^2 mod n
constexpr uint64_t kNPrime = 0x327F9E8872350975ull;       // -n^-1 mod 2^64

// All ones when a < b (the borrow of a - b), else zero.
uint64_t BelowMask(const Scalar &a, const Scalar &b) {
  u128 acc = 0;
  uint64_t borrow = 0;
  for (int i = 0; i < 4; ++i) {
    acc = static_cast<u128>(a.v[i]) - b.v[i] - borrow;
    borrow = static_cast<uint64_t>(acc >> 64) & 1;
  }
  return 0 - borrow;
}

// All ones when a is not zero, else zero.
uint64_t NonZeroMask(const Scalar &a) {
  const uint64_t bits = a.v[0] | a.v[1] | a.v[2] | a.v[3];
  return 0 - ((bits | (0 - bits)) >> 63);
}

// r = a b / R mod n (operand scanning, then one conditional subtraction of n).
void ScalarMul(Scalar &r, const Scalar &a, const Scalar &b) {
  uint64_t t[6] = {0, 0, 0, 0, 0, 0};
  for (int i = 0; i < 4; ++i) {
    u128 acc = 0;
    for (int j = 0; j < 4; ++j) {
      acc = static_cast<u128>(a.v[i]) * b.v[j] + t[j] + static_cast<uint64_t>(acc >> 64);
      t[j] = static_cast<uint64_t>(acc);
    }
    acc = static_cast<u128>(t[4]) + static_cast<uint64_t>(acc >> 64);
    t[4] = static_cast<uint64_t>(acc);
    t[5] = static_cast<uint64_t>(acc >> 64);
    const uint64_t m = t[0] * kNPrime;  // t + m n is 0 mod 2^64
    acc = static_cast<u128>(m) * kN.v[0] + t[0];
    for (int j = 1; j < 4; ++j) {
      acc = static_cast<u128>(m) * kN.v[j] + t[j] + static_cast<uint64_t>(acc >> 64);
      t[j - 1] = static_cast<uint64_t>(acc);
    }
    acc = static_cast<u128>(t[4]) + static_cast<uint64_t>(acc >> 64);
    t[3] = static_cast<uint64_t>(acc);
    t[4] = t[5] + static_cast<uint64_t>(acc >> 64);
  }
  // t < 2n: subtract n unless that borrows past the carry limb.
  Scalar s;
  u128 acc = 0;
  uint64_t borrow = 0;
  for (int i = 0; i < 4; ++i) {
    acc = static_cast<u128>(t[i]) - kN.v[i] - borrow;
    s.v[i] = static_cast<uint64_t>(acc);
    borrow = static_cast<uint64_t>(acc >> 64) & 1;
  }
  const uint64_t keep_t = 0 - (borrow & (t[4] ^ 1));
  for (int i = 0; i < 4; ++i) r.v[i] = (t[i] & keep_t) | (s.v[i] & ~keep_t);
}

// a^(n-2) in Montgomery form: fixed 4-bit windows of the public exponent, from the top.
void InvertMontgomery(Scalar &r, const Scalar &a) {
  Scalar powers[16];  // a^0 .. a^15
  powers[0] = {{1, 0, 0, 0}};
  ScalarMul(powers[0], powers[0], kR2);  // R mod n
  powers[1] = a;
  for (int j = 2; j < 16; ++j) ScalarMul(powers[j], powers[j - 1], a);
  Scalar e = kN;
  e.v[0] -= 2;  // the low limb of n is above 2
  r = powers[0];
  for (int i = 63; i >= 0; --i) {
    for (int s = 0; s < 4; ++s) ScalarMul(r, r, r);
    ScalarMul(r, r, powers[(e.v[i / 16] >> (4 * (i % 16))) & 0xF]);
  }
  OPENSSL_cleanse(powers, sizeof powers);
}

}  // namespace

bool SM2OrderInverse(const uint8_t a[32], uint8_t out[32]) {
  Scalar x, mont, inverse;
  LoadLimbs256(x.v, a);
  const bool usable = (BelowMask(x, kN) & NonZeroMask(x)) != 0;
  ScalarMul(mont, x, kR2);
  InvertMontgomery(inverse, mont);
  ScalarMul(x, inverse, Scalar{{1, 0, 0, 0}});
  if (usable) StoreLimbs256(out, x.v);
  OPENSSL_cleanse(&x, sizeof x);
  OPENSSL_cleanse(&mont, sizeof mont);
  OPENSSL_cleanse(&inverse, sizeof inverse);
  return usable;
}

uint64_t SM2PrivateKeyRangeMask(const uint8_t d[32]) {
  Scalar x, last = kN;
  last.v[0] -= 1;  // n - 1; the low limb of n is odd
  LoadLimbs256(x.v, d);
  const uint64_t mask = BelowMask(x, last) & NonZeroMask(x);
  OPENSSL_cleanse(&x, sizeof x);
  return mask;
}

}  // namespace kelu

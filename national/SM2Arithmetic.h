/* Scalar multiplication on the SM2 curves, with scalars and coordinates as 32-byte big-endian
 * values. Curve 920 (the SM2 curve) has arithmetic of its own: a field with 64-bit limbs in
 * Montgomery form, a fixed-base comb for [k]G and constant-time windows for [k]P, and for the
 * public scalars of a verification a variable-time [s]G + [t]P on signed windows. Curve 921 (the
 * standard's example curve) uses the crypto library's EC arithmetic. */
#ifndef KELU_SM2_ARITHMETIC_H
#define KELU_SM2_ARITHMETIC_H

#include <openssl/bn.h>
#include <openssl/ec.h>

#include <cstdint>

namespace kelu {

constexpr size_t kSM2FieldBytes = 32;

class CurveArithmetic {
 public:
  virtual ~CurveArithmetic() = default;
  virtual int id() const = 0;              // 920 or 921
  virtual const EC_GROUP *group() const = 0;
  virtual const BIGNUM *order() const = 0;

  // [k]G for 0 < k < n; false otherwise or when a step fails. k is secret: no branch or
  // memory access depends on it.
  virtual bool MulBase(const uint8_t k[32], uint8_t x[32], uint8_t y[32]) const = 0;
  // [k]P for 0 < k < n and a point of the curve (checked). k is secret.
  virtual bool MulPoint(const uint8_t k[32], const uint8_t px[32], const uint8_t py[32],
                        uint8_t x[32], uint8_t y[32]) const = 0;
  // [s]G + [t]P for public s and t (0 <= s, t < n) and a point of the curve (checked); false for
  // infinity. Variable time: only for public values.
  virtual bool MulBaseAddPoint(const uint8_t s[32], const uint8_t t[32], const uint8_t px[32],
                               const uint8_t py[32], uint8_t x[32], uint8_t y[32]) const = 0;
  // Whether [s]G + [t]P (arguments as above) is a finite point whose x coordinate, reduced mod n,
  // is c (below n): the final check of a signature verification.
  virtual bool MulBaseAddPointXModOrderIs(const uint8_t s[32], const uint8_t t[32],
                                          const uint8_t px[32], const uint8_t py[32],
                                          const uint8_t c[32]) const = 0;
  // P + Q for public points of the curve (checked); false when the sum is the point at infinity.
  virtual bool AddPoints(const uint8_t px[32], const uint8_t py[32], const uint8_t qx[32],
                         const uint8_t qy[32], uint8_t x[32], uint8_t y[32]) const = 0;
  // (x, y), both below p, satisfies the curve equation.
  virtual bool IsOnCurve(const uint8_t px[32], const uint8_t py[32]) const = 0;
};

// The arithmetic used for curve 920 or 921; null for another identifier. The objects live as
// long as the process and are shared between threads (they hold no mutable state).
const CurveArithmetic *CurveArithmeticFor(int curve_id);
// The crypto library's EC arithmetic on curve 920 or 921 (for 921 the same as above).
const CurveArithmetic *LibraryCurveArithmeticFor(int curve_id);

// Test-only: the Montgomery products a b / 2^256 and a^2 / 2^256 mod p of the SM2 curve's field,
// on 32-byte values below p; false for a value that is not.
bool SM2FieldMultiplyForTesting(const uint8_t a[32], const uint8_t b[32], uint8_t out[32]);
bool SM2FieldSquareForTesting(const uint8_t a[32], uint8_t out[32]);

}  // namespace kelu

#endif

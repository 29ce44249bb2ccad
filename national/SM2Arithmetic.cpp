#include "SM2Arithmetic.h"

#include <openssl/crypto.h>
#include <openssl/err.h>

#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "ByteOrder.h"
#include "NationalObjects.h"
#include "OsslPtr.h"

namespace kelu {
namespace {

using u128 = unsigned __int128;

// ---------------------------------------------------------------------------------------------
// The field of the SM2 curve, p = 2^256 - 2^224 - 2^96 + 2^64 - 1, in Montgomery form with
// R = 2^256. -p^-1 mod 2^64 is 1 (p is -1 mod 2^64), so each reduction step multiplies by the
// low limb itself. Every function runs in time independent of the values.

struct Fe {
  uint64_t v[4];  // little-endian limbs
};

constexpr Fe kP = {{0xFFFFFFFFFFFFFFFFull, 0xFFFFFFFF00000000ull, 0xFFFFFFFFFFFFFFFFull,
                    0xFFFFFFFEFFFFFFFFull}};
constexpr Fe kOneMont = {{1, 0x00000000FFFFFFFFull, 0, 0x0000000100000000ull}};  // R mod p

// One limb of an add-with-carry or subtract-with-borrow chain (adc/sbb on x86-64).
inline unsigned char AddCarry(unsigned char c, uint64_t a, uint64_t b, uint64_t *out) {
#if defined(__x86_64__)
  unsigned long long r;
  c = _addcarry_u64(c, a, b, &r);
  *out = r;
  return c;
#else
  u128 acc = static_cast<u128>(a) + b + c;
  *out = static_cast<uint64_t>(acc);
  return static_cast<unsigned char>(acc >> 64);
#endif
}

inline unsigned char SubBorrow(unsigned char c, uint64_t a, uint64_t b, uint64_t *out) {
#if defined(__x86_64__)
  unsigned long long r;
  c = _subborrow_u64(c, a, b, &r);
  *out = r;
  return c;
#else
  u128 acc = static_cast<u128>(a) - b - c;
  *out = static_cast<uint64_t>(acc);
  return static_cast<unsigned char>(acc >> 64) & 1;
#endif
}

// r = t - p when t (with the carry bit t4) is at least p, else t.
inline void ReduceOnce(Fe &r, const uint64_t t[4], uint64_t t4) {
  uint64_t s[4], top;
  unsigned char b = 0;
  for (int i = 0; i < 4; ++i) b = SubBorrow(b, t[i], kP.v[i], &s[i]);
  // Keep t when the subtraction borrowed past the carry bit.
  b = SubBorrow(b, t4, 0, &top);
  uint64_t keep_t = 0 - static_cast<uint64_t>(b);
  for (int i = 0; i < 4; ++i) r.v[i] = (t[i] & keep_t) | (s[i] & ~keep_t);
}

inline void FeAdd(Fe &r, const Fe &a, const Fe &b) {
  uint64_t t[4];
  unsigned char c = 0;
  for (int i = 0; i < 4; ++i) c = AddCarry(c, a.v[i], b.v[i], &t[i]);
  ReduceOnce(r, t, c);
}

inline void FeSub(Fe &r, const Fe &a, const Fe &b) {
  uint64_t t[4];
  unsigned char borrow = 0;
  for (int i = 0; i < 4; ++i) borrow = SubBorrow(borrow, a.v[i], b.v[i], &t[i]);
  // Add p back when it borrowed.
  uint64_t mask = 0 - static_cast<uint64_t>(borrow);
  unsigned char c = 0;
  for (int i = 0; i < 4; ++i) c = AddCarry(c, t[i], kP.v[i] & mask, &r.v[i]);
}

// Operand-scanning Montgomery multiplication. Each step adds a_i * b, then m * p with m = t0
// (-p^-1 is 1 mod 2^64) and drops the low limb: with the form of p that is adding
// m * (2^192 - 2^160 - 2^32 + 1) to the upper limbs, so the reduction needs no multiplication.
#if defined(__x86_64__)
// The carry chains written with the carry intrinsics, which GCC turns into adc/sbb chains.
#define KELU_FE_MUL_STEP(ai)                                                         \
  do {                                                                               \
    u128 p0 = static_cast<u128>(ai) * b.v[0], p1 = static_cast<u128>(ai) * b.v[1];   \
    u128 p2 = static_cast<u128>(ai) * b.v[2], p3 = static_cast<u128>(ai) * b.v[3];   \
    unsigned long long x0, x1, x2, x3, x4, x5;                                       \
    unsigned char c = _addcarry_u64(0, t0, static_cast<uint64_t>(p0), &x0);          \
    c = _addcarry_u64(c, t1, static_cast<uint64_t>(p1), &x1);                        \
    c = _addcarry_u64(c, t2, static_cast<uint64_t>(p2), &x2);                        \
    c = _addcarry_u64(c, t3, static_cast<uint64_t>(p3), &x3);                        \
    c = _addcarry_u64(c, t4, 0, &x4);                                                \
    x5 = c;                                                                          \
    c = _addcarry_u64(0, x1, static_cast<uint64_t>(p0 >> 64), &x1);                  \
    c = _addcarry_u64(c, x2, static_cast<uint64_t>(p1 >> 64), &x2);                  \
    c = _addcarry_u64(c, x3, static_cast<uint64_t>(p2 >> 64), &x3);                  \
    c = _addcarry_u64(c, x4, static_cast<uint64_t>(p3 >> 64), &x4);                  \
    x5 += c;                                                                         \
    uint64_t m = x0, mlo = m << 32, mhi = m >> 32;                                   \
    c = _addcarry_u64(0, x1, m, &x1);                                                \
    c = _addcarry_u64(c, x2, 0, &x2);                                                \
    c = _addcarry_u64(c, x3, 0, &x3);                                                \
    c = _addcarry_u64(c, x4, m, &x4);                                                \
    x5 += c;                                                                         \
    c = _subborrow_u64(0, x1, mlo, &x1);                                             \
    c = _subborrow_u64(c, x2, mhi, &x2);                                             \
    c = _subborrow_u64(c, x3, mlo, &x3);                                             \
    c = _subborrow_u64(c, x4, mhi, &x4);                                             \
    x5 -= c;                                                                         \
    t0 = x1, t1 = x2, t2 = x3, t3 = x4, t4 = x5;                                     \
  } while (0)
#else
#define KELU_FE_MUL_STEP(ai)                                                         \
  do {                                                                               \
    u128 acc = static_cast<u128>(ai) * b.v[0] + t0;                                  \
    t0 = static_cast<uint64_t>(acc);                                                 \
    acc = static_cast<u128>(ai) * b.v[1] + t1 + (acc >> 64);                         \
    t1 = static_cast<uint64_t>(acc);                                                 \
    acc = static_cast<u128>(ai) * b.v[2] + t2 + (acc >> 64);                         \
    t2 = static_cast<uint64_t>(acc);                                                 \
    acc = static_cast<u128>(ai) * b.v[3] + t3 + (acc >> 64);                         \
    t3 = static_cast<uint64_t>(acc);                                                 \
    acc = static_cast<u128>(t4) + (acc >> 64);                                       \
    t4 = static_cast<uint64_t>(acc);                                                 \
    uint64_t t5 = static_cast<uint64_t>(acc >> 64);                                  \
    uint64_t m = t0, mlo = m << 32, mhi = m >> 32;                                   \
    __int128 s = static_cast<__int128>(t1) + m - mlo;                                \
    t0 = static_cast<uint64_t>(s);                                                   \
    s = (s >> 64) + t2 - mhi;                                                        \
    t1 = static_cast<uint64_t>(s);                                                   \
    s = (s >> 64) + t3 - mlo;                                                        \
    t2 = static_cast<uint64_t>(s);                                                   \
    s = (s >> 64) + t4 + m - mhi;                                                    \
    t3 = static_cast<uint64_t>(s);                                                   \
    t4 = static_cast<uint64_t>((s >> 64) + t5);                                      \
  } while (0)
#endif

// r = a * b / R mod p.
inline void FeMul(Fe &r, const Fe &a, const Fe &b) {
  unsigned long long t0 = 0, t1 = 0, t2 = 0, t3 = 0, t4 = 0;
  KELU_FE_MUL_STEP(a.v[0]);
  KELU_FE_MUL_STEP(a.v[1]);
  KELU_FE_MUL_STEP(a.v[2]);
  KELU_FE_MUL_STEP(a.v[3]);
  const uint64_t t[4] = {t0, t1, t2, t3};
  ReduceOnce(r, t, t4);
}
#undef KELU_FE_MUL_STEP

// r = t / R mod p for a 512-bit t below p * R: four reduction steps on the low half, each
// adding m * (p + 1) / 2^64 = m * (2^192 - 2^160 - 2^32 + 1) for m = the low limb, then the
// high half. The sum stays below 2p, so one conditional subtraction ends it.
inline void FeMontgomeryReduce(Fe &r, const uint64_t t[8]) {
  uint64_t s0 = t[0], s1 = t[1], s2 = t[2], s3 = t[3], s4 = 0;
  for (int i = 0; i < 4; ++i) {
    uint64_t m = s0, mlo = m << 32, mhi = m >> 32;
    uint64_t q0, q1, q2, q3;
    unsigned char b = SubBorrow(0, m, mlo, &q0);
    b = SubBorrow(b, 0, mhi, &q1);
    b = SubBorrow(b, 0, mlo, &q2);
    SubBorrow(b, m, mhi, &q3);
    unsigned char c = AddCarry(0, s1, q0, &s0);
    c = AddCarry(c, s2, q1, &s1);
    c = AddCarry(c, s3, q2, &s2);
    c = AddCarry(c, s4, q3, &s3);
    s4 = c;
  }
  uint64_t h0, h1, h2, h3;
  unsigned char c = AddCarry(0, s0, t[4], &h0);
  c = AddCarry(c, s1, t[5], &h1);
  c = AddCarry(c, s2, t[6], &h2);
  c = AddCarry(c, s3, t[7], &h3);
  const uint64_t h[4] = {h0, h1, h2, h3};
  ReduceOnce(r, h, s4 + c);
}

// r = a^2 / R mod p: the six cross products once, doubled, plus the four squares.
inline void FeSqr(Fe &r, const Fe &a) {
  uint64_t t[8];
  u128 acc = static_cast<u128>(a.v[0]) * a.v[1];
  t[1] = static_cast<uint64_t>(acc);
  acc = static_cast<u128>(a.v[0]) * a.v[2] + static_cast<uint64_t>(acc >> 64);
  t[2] = static_cast<uint64_t>(acc);
  acc = static_cast<u128>(a.v[0]) * a.v[3] + static_cast<uint64_t>(acc >> 64);
  t[3] = static_cast<uint64_t>(acc);
  t[4] = static_cast<uint64_t>(acc >> 64);
  acc = static_cast<u128>(a.v[1]) * a.v[2] + t[3];
  t[3] = static_cast<uint64_t>(acc);
  acc = static_cast<u128>(a.v[1]) * a.v[3] + t[4] + static_cast<uint64_t>(acc >> 64);
  t[4] = static_cast<uint64_t>(acc);
  t[5] = static_cast<uint64_t>(acc >> 64);
  acc = static_cast<u128>(a.v[2]) * a.v[3] + t[5];
  t[5] = static_cast<uint64_t>(acc);
  t[6] = static_cast<uint64_t>(acc >> 64);
  t[7] = t[6] >> 63;
  for (int i = 6; i > 1; --i) t[i] = t[i] << 1 | t[i - 1] >> 63;
  t[1] <<= 1;
  // The squares in one carry chain, after all the multiplications.
  u128 sq[4];
  for (int i = 0; i < 4; ++i) sq[i] = static_cast<u128>(a.v[i]) * a.v[i];
  t[0] = static_cast<uint64_t>(sq[0]);
  unsigned char c = AddCarry(0, t[1], static_cast<uint64_t>(sq[0] >> 64), &t[1]);
  for (int i = 1; i < 4; ++i) {
    c = AddCarry(c, t[2 * i], static_cast<uint64_t>(sq[i]), &t[2 * i]);
    c = AddCarry(c, t[2 * i + 1], static_cast<uint64_t>(sq[i] >> 64), &t[2 * i + 1]);
  }
  FeMontgomeryReduce(r, t);
}

inline void FeSqrN(Fe &r, const Fe &a, int n) {
  r = a;
  for (int i = 0; i < n; ++i) FeSqr(r, r);
}

inline uint64_t FeIsZeroMask(const Fe &a) {
  uint64_t x = a.v[0] | a.v[1] | a.v[2] | a.v[3];
  return ((x | (0 - x)) >> 63) - 1;  // all ones when x == 0
}

inline bool FeEqual(const Fe &a, const Fe &b) {
  Fe d;
  FeSub(d, a, b);
  return FeIsZeroMask(d) != 0;
}

inline void FeSelect(Fe &r, const Fe &a, uint64_t mask) {  // r = mask ? a : r
  for (int i = 0; i < 4; ++i) r.v[i] = (a.v[i] & mask) | (r.v[i] & ~mask);
}

// a^(p-2) with a fixed chain: p - 2 = FFFFFFFE FFFFFFFF x4 00000000 FFFFFFFF FFFFFFFD.
void FeInvert(Fe &r, const Fe &a) {
  Fe x2, x3, x6, x12, x24, x30, x31, x32, t;
  FeSqr(t, a);
  FeMul(x2, t, a);
  FeSqr(t, x2);
  FeMul(x3, t, a);
  FeSqrN(t, x3, 3);
  FeMul(x6, t, x3);
  FeSqrN(t, x6, 6);
  FeMul(x12, t, x6);
  FeSqrN(t, x12, 12);
  FeMul(x24, t, x12);
  FeSqrN(t, x24, 6);
  FeMul(x30, t, x6);
  FeSqr(t, x30);
  FeMul(x31, t, a);
  FeSqr(t, x31);
  FeMul(x32, t, a);

  FeSqr(t, x31);  // 31 ones, then 0
  for (int i = 0; i < 4; ++i) {
    FeSqrN(t, t, 32);
    FeMul(t, t, x32);
  }
  FeSqrN(t, t, 32);  // 32 zeros
  FeSqrN(t, t, 32);
  FeMul(t, t, x32);
  FeSqrN(t, t, 30);
  FeMul(t, t, x30);
  FeSqrN(t, t, 2);
  FeMul(r, t, a);  // ...01
}

struct FieldConstants {
  Fe r2;  // R^2 mod p
  Fe b;   // the curve's b in Montgomery form
  Fe gx, gy;
};

void FeFromBytesRaw(Fe &r, const uint8_t in[32]) { LoadLimbs256(r.v, in); }

void FeToBytesRaw(uint8_t out[32], const Fe &a) { StoreLimbs256(out, a.v); }

bool FeBelowP(const Fe &a) {
  uint64_t borrow = 0;
  for (int i = 0; i < 4; ++i) {
    u128 acc = static_cast<u128>(a.v[i]) - kP.v[i] - borrow;
    borrow = static_cast<uint64_t>(acc >> 64) & 1;
  }
  return borrow == 1;
}

const FieldConstants &Constants();

inline void FeToMont(Fe &r, const Fe &a) { FeMul(r, a, Constants().r2); }
inline void FeFromMont(Fe &r, const Fe &a) {
  const Fe one = {{1, 0, 0, 0}};
  FeMul(r, a, one);
}

// A coordinate from 32 bytes: false when it is not below p.
bool FeFromBytes(Fe &r, const uint8_t in[32]) {
  Fe raw;
  FeFromBytesRaw(raw, in);
  if (!FeBelowP(raw)) return false;
  FeToMont(r, raw);
  return true;
}

void FeToBytes(uint8_t out[32], const Fe &a) {
  Fe raw;
  FeFromMont(raw, a);
  FeToBytesRaw(out, raw);
}

FieldConstants MakeConstants() {
  FieldConstants c;
  // R^2 = R * 2^256: double R mod p 256 times.
  Fe x = kOneMont;
  for (int i = 0; i < 256; ++i) FeAdd(x, x, x);
  c.r2 = x;
  const NationalCurve *curve = FindNationalCurve(NID_prime256v1SM2);
  auto load = [&c](Fe &out, const char *hex) {
    uint8_t bytes[32];
    for (int i = 0; i < 32; ++i) {
      auto nibble = [](char ch) { return ch <= '9' ? ch - '0' : ch - 'A' + 10; };
      bytes[i] = static_cast<uint8_t>(nibble(hex[2 * i]) << 4 | nibble(hex[2 * i + 1]));
    }
    Fe raw;
    FeFromBytesRaw(raw, bytes);
    FeMul(out, raw, c.r2);
  };
  load(c.b, curve->b);
  load(c.gx, curve->gx);
  load(c.gy, curve->gy);
  return c;
}

const FieldConstants &Constants() {
  static const FieldConstants constants = MakeConstants();
  return constants;
}

// ---------------------------------------------------------------------------------------------
// Points in Jacobian coordinates (x = X/Z^2, y = Y/Z^3; Z = 0 is the point at infinity), a = -3.

struct Jacobian {
  Fe x, y, z;
};
struct Affine {
  Fe x, y;
};

// 2P (the formulas for a = -3); the point at infinity stays so.
void PointDouble(Jacobian &r, const Jacobian &p) {
  Fe delta, gamma, beta, alpha, t1, t2;
  FeSqr(delta, p.z);
  FeSqr(gamma, p.y);
  FeMul(beta, p.x, gamma);
  FeSub(t1, p.x, delta);
  FeAdd(t2, p.x, delta);
  FeMul(alpha, t1, t2);
  FeAdd(t1, alpha, alpha);
  FeAdd(alpha, alpha, t1);  // 3 (X - delta)(X + delta)
  FeAdd(t1, p.y, p.z);
  FeSqr(t1, t1);
  FeSub(t1, t1, gamma);
  FeSub(r.z, t1, delta);  // Z3 = (Y + Z)^2 - gamma - delta
  Fe beta4;
  FeAdd(beta4, beta, beta);
  FeAdd(beta4, beta4, beta4);
  FeSqr(t1, alpha);
  FeAdd(t2, beta4, beta4);
  FeSub(r.x, t1, t2);  // X3 = alpha^2 - 8 beta
  FeSub(t1, beta4, r.x);
  FeMul(t1, alpha, t1);
  FeSqr(t2, gamma);
  FeAdd(t2, t2, t2);
  FeAdd(t2, t2, t2);
  FeAdd(t2, t2, t2);
  FeSub(r.y, t1, t2);  // Y3 = alpha (4 beta - X3) - 8 gamma^2
}

// The first half of P + Q with Q affine: h = U2 - X1 and rr = 2 (S2 - Y1); both are zero
// exactly when Q = P, h alone when Q = -P.
struct MixedAddTerms {
  Fe z1z1, h, rr;
};

void MixedAddDifferences(MixedAddTerms &d, const Jacobian &p, const Affine &q) {
  Fe u2, s2;
  FeSqr(d.z1z1, p.z);
  FeMul(u2, q.x, d.z1z1);
  FeMul(s2, q.y, p.z);
  FeMul(s2, s2, d.z1z1);
  FeSub(d.h, u2, p.x);
  FeSub(d.rr, s2, p.y);
  FeAdd(d.rr, d.rr, d.rr);
}

// The second half, for h != 0 and P finite.
void MixedAddFinish(Jacobian &r, const Jacobian &p, const MixedAddTerms &d) {
  Fe hh, i, j, v, t;
  FeSqr(hh, d.h);
  FeAdd(i, hh, hh);
  FeAdd(i, i, i);
  FeMul(j, d.h, i);
  FeMul(v, p.x, i);
  Jacobian out;
  FeSqr(t, d.rr);
  FeSub(t, t, j);
  FeSub(t, t, v);
  FeSub(out.x, t, v);
  FeSub(t, v, out.x);
  FeMul(t, d.rr, t);
  Fe y1j;
  FeMul(y1j, p.y, j);
  FeAdd(y1j, y1j, y1j);
  FeSub(out.y, t, y1j);
  FeAdd(t, p.z, d.h);
  FeSqr(t, t);
  FeSub(t, t, d.z1z1);
  FeSub(out.z, t, hh);
  r = out;
}

// P + Q with Q affine; valid only when P is neither Q, -Q nor the point at infinity (the callers
// rule those out or select around them).
void PointAddMixedUnchecked(Jacobian &r, const Jacobian &p, const Affine &q) {
  MixedAddTerms d;
  MixedAddDifferences(d, p, q);
  MixedAddFinish(r, p, d);
}

// P + Q with Q affine and an "is the point at infinity" mask for each; constant time.
void PointAddMixedSelect(Jacobian &r, const Jacobian &p, uint64_t p_inf, const Affine &q,
                         uint64_t q_inf) {
  Jacobian sum;
  PointAddMixedUnchecked(sum, p, q);
  Jacobian q_jac = {q.x, q.y, kOneMont};
  FeSelect(sum.x, q_jac.x, p_inf);
  FeSelect(sum.y, q_jac.y, p_inf);
  FeSelect(sum.z, q_jac.z, p_inf);
  FeSelect(sum.x, p.x, q_inf);
  FeSelect(sum.y, p.y, q_inf);
  FeSelect(sum.z, p.z, q_inf);
  r = sum;
}

// Affine form of up to kMaxBatch points with one inversion (none may be the point at infinity).
constexpr int kMaxBatch = 64;

void BatchToAffine(Affine *out, const Jacobian *in, int n) {
  Fe prefix[kMaxBatch];
  prefix[0] = in[0].z;
  for (int i = 1; i < n; ++i) FeMul(prefix[i], prefix[i - 1], in[i].z);
  Fe inv;
  FeInvert(inv, prefix[n - 1]);
  for (int i = n - 1; i >= 0; --i) {
    Fe zinv = inv;
    if (i > 0) {
      FeMul(zinv, inv, prefix[i - 1]);
      FeMul(inv, inv, in[i].z);
    }
    Fe zinv2, zinv3;
    FeSqr(zinv2, zinv);
    FeMul(zinv3, zinv2, zinv);
    FeMul(out[i].x, in[i].x, zinv2);
    FeMul(out[i].y, in[i].y, zinv3);
  }
}

// The affine point of P; false for the point at infinity. P and the working copy are wiped
// (the results of [k]P may be shared secrets).
bool ToAffineBytes(Jacobian &p, uint8_t x[32], uint8_t y[32]) {
  bool finite = FeIsZeroMask(p.z) == 0;
  if (finite) {
    Affine a;
    BatchToAffine(&a, &p, 1);
    FeToBytes(x, a.x);
    FeToBytes(y, a.y);
    OPENSSL_cleanse(&a, sizeof a);
  }
  OPENSSL_cleanse(&p, sizeof p);
  return finite;
}

// P, 2P, ..., count P of an affine point in Jacobian form, 2 <= count < n - 1: after the
// doubling each step adds P to jP with j >= 2, never P or -P.
void JacobianMultiplesOf(Jacobian *m, const Affine &p, int count) {
  m[0] = {p.x, p.y, kOneMont};
  PointDouble(m[1], m[0]);
  for (int j = 2; j < count; ++j) PointAddMixedUnchecked(m[j], m[j - 1], p);
}

// The multiples 1P..15P of an affine point, as affine points.
void MultiplesOf(Affine out[15], const Affine &p) {
  Jacobian m[15];
  JacobianMultiplesOf(m, p, 15);
  BatchToAffine(out, m, 15);
}

// The entry digit (1..count) of a table, or a zero point for digit 0, reading every entry.
#if defined(__x86_64__)
// On 128-bit lanes (SSE2 is part of x86-64): a quarter of the masking of 64-bit words.
void SelectEntry(Affine &r, const Affine *table, int count, uint64_t digit) {
  static_assert(sizeof(Affine) == 64, "an entry is four 128-bit lanes");
  const __m128i wanted = _mm_set1_epi32(static_cast<int>(digit));
  __m128i lanes[4] = {_mm_setzero_si128(), _mm_setzero_si128(), _mm_setzero_si128(),
                      _mm_setzero_si128()};
  for (int j = 0; j < count; ++j) {
    const __m128i mask = _mm_cmpeq_epi32(_mm_set1_epi32(j + 1), wanted);
    const __m128i *entry = reinterpret_cast<const __m128i *>(&table[j]);
    for (int l = 0; l < 4; ++l)
      lanes[l] = _mm_or_si128(lanes[l], _mm_and_si128(mask, _mm_loadu_si128(entry + l)));
  }
  for (int l = 0; l < 4; ++l) _mm_storeu_si128(reinterpret_cast<__m128i *>(&r) + l, lanes[l]);
}
#else
void SelectEntry(Affine &r, const Affine *table, int count, uint64_t digit) {
  std::memset(&r, 0, sizeof r);
  for (int j = 0; j < count; ++j) {
    uint64_t diff = digit ^ static_cast<uint64_t>(j + 1);
    uint64_t mask = ((diff | (0 - diff)) >> 63) - 1;
    FeSelect(r.x, table[j].x, mask);
    FeSelect(r.y, table[j].y, mask);
  }
}
#endif

inline uint64_t Nibble(const uint8_t k[32], int i) {  // i = 0 is the lowest nibble
  return (k[31 - i / 2] >> (4 * (i % 2))) & 0xF;
}

inline uint64_t ZeroMask(uint64_t x) { return ((x | (0 - x)) >> 63) - 1; }

// The fixed-base comb: [k]G as a sum of signed digits d_i 2^(w i), |d_i| <= 2^(w-1), with the
// multiples 1..2^(w-1) of each 2^(w i) G in a table. The digits of a 256-bit scalar need one
// window more than the whole windows that fit: the last one has fewer than w bits, so it takes
// the carry out of the one below without a carry of its own.
constexpr int kCombWidth = 6;
constexpr int kCombWindows = 256 / kCombWidth + 1;
constexpr int kCombEntries = 1 << (kCombWidth - 1);

// 43 windows of 32 affine points (88,064 bytes), built once on first use.
struct BaseTable {
  Affine entries[kCombWindows][kCombEntries];
};

const BaseTable &Table() {
  static const BaseTable *const table = [] {
    auto *t = new BaseTable;
    const FieldConstants &c = Constants();
    Affine base = {c.gx, c.gy};
    for (int i = 0; i < kCombWindows; ++i) {
      // The multiples of this window's base, and the next base (2^w times it) in one inversion.
      Jacobian m[kCombEntries + 1];
      Affine affine[kCombEntries + 1];
      JacobianMultiplesOf(m, base, kCombEntries);
      PointDouble(m[kCombEntries], m[kCombEntries - 1]);
      BatchToAffine(affine, m, kCombEntries + 1);
      std::memcpy(t->entries[i], affine, sizeof t->entries[i]);
      base = affine[kCombEntries];
    }
    return t;
  }();
  return *table;
}

// The w bits of k from bit `first` up (bits past 255 are zero); the position is public.
inline uint64_t WindowBits(const Fe &limbs, int first) {
  const int limb = first / 64, shift = first % 64;
  uint64_t v = limbs.v[limb] >> shift;
  if (shift + kCombWidth > 64 && limb < 3) v |= limbs.v[limb + 1] << (64 - shift);
  return v & ((uint64_t{1} << kCombWidth) - 1);
}

// -y for the masked entries, y for the others; constant time.
inline void FeConditionalNegate(Fe &y, uint64_t mask) {
  Fe negated;
  FeSub(negated, Fe{}, y);
  FeSelect(y, negated, mask);
}

// [k]G for 0 < k < n: one mixed addition per signed digit, no doubling. Digit i takes the
// window's bits plus the carry, t in [0, 2^w]; above 2^(w-1) it becomes t - 2^w and carries one.
// Before digit i the sum is S = (k mod 2^(w i)) - carry 2^(w i), so |S| < 2^(w i) <= |E| for the
// entry E = d_i 2^(w i), and S is neither E nor -E as an integer; below the top digit |S| + |E|
// stays below n, so not mod n either. At the top digit S + E = k is not 0 mod n, and
// S - E = k - 2E is 0 mod n only for k = 2 d 2^(w i) mod n, whose top digit is not d (the edge
// scalars of the tests). So the only special cases are the zero digit and the empty sum.
void MulBaseJacobian(Jacobian &acc, const uint8_t k[32]) {
  const BaseTable &table = Table();
  Fe limbs;
  FeFromBytesRaw(limbs, k);
  std::memset(&acc, 0, sizeof acc);
  uint64_t acc_inf = ~uint64_t{0}, carry = 0;
  Affine entry;
  for (int i = 0; i < kCombWindows; ++i) {
    const uint64_t t = WindowBits(limbs, kCombWidth * i) + carry;
    const uint64_t negative = 0 - ((kCombEntries - t) >> 63);  // t > 2^(w-1)
    const uint64_t magnitude = (t & ~negative) | ((2 * kCombEntries - t) & negative);
    carry = negative & 1;
    SelectEntry(entry, table.entries[i], kCombEntries, magnitude);
    FeConditionalNegate(entry.y, negative);
    const uint64_t digit_zero = ZeroMask(magnitude);
    PointAddMixedSelect(acc, acc, acc_inf, entry, digit_zero);
    acc_inf &= digit_zero;
  }
  OPENSSL_cleanse(&limbs, sizeof limbs);
  OPENSSL_cleanse(&entry, sizeof entry);
  OPENSSL_cleanse(&acc_inf, sizeof acc_inf);
  OPENSSL_cleanse(&carry, sizeof carry);
}

// [k]P: fixed 4-bit windows from the top, four doublings and one mixed addition each. For
// k below n the partial multiple never equals the entry or its negative, so again only the
// zero digit and the empty sum are special.
void MulPointJacobian(Jacobian &acc, const uint8_t k[32], const Affine &p) {
  Affine table[15];
  MultiplesOf(table, p);
  std::memset(&acc, 0, sizeof acc);
  uint64_t acc_inf = ~uint64_t{0};
  for (int i = 63; i >= 0; --i) {
    for (int d = 0; d < 4; ++d) PointDouble(acc, acc);
    uint64_t digit = Nibble(k, i);
    Affine entry;
    SelectEntry(entry, table, 15, digit);
    uint64_t digit_zero = ZeroMask(digit);
    PointAddMixedSelect(acc, acc, acc_inf, entry, digit_zero);
    acc_inf &= digit_zero;
  }
  OPENSSL_cleanse(table, sizeof table);
}

bool AffineFromBytes(Affine &p, const uint8_t x[32], const uint8_t y[32]) {
  if (!FeFromBytes(p.x, x) || !FeFromBytes(p.y, y)) return false;
  // y^2 = x^3 - 3x + b
  Fe lhs, rhs, t;
  FeSqr(lhs, p.y);
  FeSqr(rhs, p.x);
  FeMul(rhs, rhs, p.x);
  FeAdd(t, p.x, p.x);
  FeAdd(t, t, p.x);
  FeSub(rhs, rhs, t);
  FeAdd(rhs, rhs, Constants().b);
  FeSub(t, lhs, rhs);
  return FeIsZeroMask(t) != 0;
}

// Scalars below n only: the window methods rely on it. Constant time (the scalar is secret).
bool ScalarBelowOrder(const uint8_t k[32], const BIGNUM *order) {
  uint8_t n[32];
  BN_bn2binpad(order, n, 32);
  unsigned borrow = 0;
  for (int i = 31; i >= 0; --i) borrow = (static_cast<unsigned>(k[i]) - n[i] - borrow) >> 8 & 1;
  return borrow == 1;
}

bool IsZeroScalar(const uint8_t k[32]) {
  uint8_t acc = 0;
  for (int i = 0; i < 32; ++i) acc |= k[i];
  return acc == 0;
}

// General Jacobian addition for public points (both may be anything).
void PointAddPublic(Jacobian &r, const Jacobian &p, const Jacobian &q) {
  if (FeIsZeroMask(p.z) != 0) {
    r = q;
    return;
  }
  if (FeIsZeroMask(q.z) != 0) {
    r = p;
    return;
  }
  Fe z1z1, z2z2, u1, u2, s1, s2, h, rr, t;
  FeSqr(z1z1, p.z);
  FeSqr(z2z2, q.z);
  FeMul(u1, p.x, z2z2);
  FeMul(u2, q.x, z1z1);
  FeMul(s1, p.y, q.z);
  FeMul(s1, s1, z2z2);
  FeMul(s2, q.y, p.z);
  FeMul(s2, s2, z1z1);
  FeSub(h, u2, u1);
  FeSub(rr, s2, s1);
  if (FeIsZeroMask(h) != 0) {
    if (FeIsZeroMask(rr) != 0) {
      PointDouble(r, p);
    } else {
      std::memset(&r, 0, sizeof r);
    }
    return;
  }
  Fe hh, hhh, v;
  FeSqr(hh, h);
  FeMul(hhh, hh, h);
  FeMul(v, u1, hh);
  Jacobian out;
  FeSqr(t, rr);
  FeSub(t, t, hhh);
  FeSub(t, t, v);
  FeSub(out.x, t, v);  // X3 = r^2 - H^3 - 2 U1 H^2
  FeSub(t, v, out.x);
  FeMul(t, rr, t);
  Fe s1h;
  FeMul(s1h, s1, hhh);
  FeSub(out.y, t, s1h);
  FeMul(out.z, p.z, q.z);
  FeMul(out.z, out.z, h);
  r = out;
}

// ---------------------------------------------------------------------------------------------
// Variable time, for public scalars and points only (signature verification): signed windows,
// an addition only for each nonzero digit, and every exceptional case of the addition handled.

// P + Q with Q affine, exact for every pair of public points: P or the sum the point at
// infinity, and Q = P.
void PointAddMixedPublic(Jacobian &r, const Jacobian &p, const Affine &q) {
  if (FeIsZeroMask(p.z) != 0) {
    r = {q.x, q.y, kOneMont};
    return;
  }
  MixedAddTerms d;
  MixedAddDifferences(d, p, q);
  if (FeIsZeroMask(d.h) != 0) {
    if (FeIsZeroMask(d.rr) != 0) {
      PointDouble(r, p);
    } else {
      std::memset(&r, 0, sizeof r);
    }
    return;
  }
  MixedAddFinish(r, p, d);
}

// The odd multiples P, 3P, ..., (2n - 1)P of an affine point as affine points, n <= kMaxBatch.
void OddMultiplesOf(Affine *out, const Affine &p, int n) {
  Jacobian m[kMaxBatch], twice;
  m[0] = {p.x, p.y, kOneMont};
  PointDouble(twice, m[0]);
  for (int j = 1; j < n; ++j) PointAddPublic(m[j], m[j - 1], twice);
  BatchToAffine(out, m, n);
}

constexpr int kBaseWindow = 8;   // G: the odd multiples up to 127G, built once
constexpr int kPointWindow = 5;  // P: the odd multiples up to 15P, built per call
constexpr int kBaseOddMultiples = 1 << (kBaseWindow - 2);
constexpr int kPointOddMultiples = 1 << (kPointWindow - 2);
// A scalar below 2^256 grows by less than 2^(w-1) while it is recoded, so bit 256 may be set.
constexpr int kMaxWnafDigits = 257;

const Affine *BaseOddMultiples() {
  static const Affine *const table = [] {
    auto *t = new Affine[kBaseOddMultiples];
    const FieldConstants &c = Constants();
    OddMultiplesOf(t, Affine{c.gx, c.gy}, kBaseOddMultiples);
    return t;
  }();
  return table;
}

// The width-w NAF of k: k = sum of digits[i] 2^i with each digit zero or odd and below 2^(w-1)
// in absolute value, and at most one nonzero digit in any w in a row. Unused digits are zero.
void Wnaf(int8_t digits[kMaxWnafDigits], const uint8_t k[32], int w) {
  uint64_t v[5];
  Fe limbs;
  FeFromBytesRaw(limbs, k);
  for (int i = 0; i < 4; ++i) v[i] = limbs.v[i];
  v[4] = 0;
  std::memset(digits, 0, kMaxWnafDigits);
  const int64_t window = int64_t{1} << w;
  for (int i = 0; (v[0] | v[1] | v[2] | v[3] | v[4]) != 0; ++i) {
    if (v[0] & 1) {
      int64_t d = static_cast<int64_t>(v[0] & static_cast<uint64_t>(window - 1));
      if (d >= window / 2) d -= window;
      digits[i] = static_cast<int8_t>(d);
      // v -= d: the low bits become zero, the borrow or carry runs up the limbs.
      unsigned char c = d > 0 ? SubBorrow(0, v[0], static_cast<uint64_t>(d), &v[0])
                              : AddCarry(0, v[0], static_cast<uint64_t>(-d), &v[0]);
      for (int j = 1; j < 5; ++j)
        c = d > 0 ? SubBorrow(c, v[j], 0, &v[j]) : AddCarry(c, v[j], 0, &v[j]);
    }
    for (int j = 0; j < 4; ++j) v[j] = v[j] >> 1 | v[j + 1] << 63;
    v[4] >>= 1;
  }
}

// acc + digit * Q for an odd digit, from the table of Q's odd multiples.
void AddSignedMultiple(Jacobian &acc, const Affine *odd_multiples, int digit) {
  Affine q = odd_multiples[(digit < 0 ? -digit : digit) / 2];
  if (digit < 0) FeSub(q.y, Fe{}, q.y);
  PointAddMixedPublic(acc, acc, q);
}

// [s]G + [t]P in one chain of doublings, both scalars as signed windows.
void MulBaseAddPointPublic(Jacobian &acc, const uint8_t s[32], const uint8_t t[32],
                           const Affine &p) {
  int8_t ds[kMaxWnafDigits], dt[kMaxWnafDigits];
  Wnaf(ds, s, kBaseWindow);
  Wnaf(dt, t, kPointWindow);
  Affine p_multiples[kPointOddMultiples];
  OddMultiplesOf(p_multiples, p, kPointOddMultiples);
  const Affine *g_multiples = BaseOddMultiples();
  std::memset(&acc, 0, sizeof acc);
  for (int i = kMaxWnafDigits - 1; i >= 0; --i) {
    if (FeIsZeroMask(acc.z) == 0) PointDouble(acc, acc);
    if (ds[i] != 0) AddSignedMultiple(acc, g_multiples, ds[i]);
    if (dt[i] != 0) AddSignedMultiple(acc, p_multiples, dt[i]);
  }
}

// X = x Z^2 for a finite Jacobian point, zz = Z^2 and x a plain value below p.
bool JacobianXIs(const Jacobian &p, const Fe &zz, const Fe &x) {
  Fe scaled;
  FeToMont(scaled, x);
  FeMul(scaled, scaled, zz);
  return FeEqual(scaled, p.x);
}

class Sm2CurveArithmetic final : public CurveArithmetic {
 public:
  Sm2CurveArithmetic() : group_(NationalCurveGroup(NID_prime256v1SM2)) {}
  int id() const override { return NID_prime256v1SM2; }
  const EC_GROUP *group() const override { return group_; }
  const BIGNUM *order() const override { return EC_GROUP_get0_order(group_); }

  bool MulBase(const uint8_t k[32], uint8_t x[32], uint8_t y[32]) const override {
    if (!ScalarBelowOrder(k, order()) || IsZeroScalar(k)) return false;
    Jacobian r;
    MulBaseJacobian(r, k);
    return ToAffineBytes(r, x, y);
  }

  bool MulPoint(const uint8_t k[32], const uint8_t px[32], const uint8_t py[32], uint8_t x[32],
                uint8_t y[32]) const override {
    Affine p;
    if (!AffineFromBytes(p, px, py)) return false;
    if (!ScalarBelowOrder(k, order()) || IsZeroScalar(k)) return false;
    Jacobian r;
    MulPointJacobian(r, k, p);
    return ToAffineBytes(r, x, y);
  }

  bool MulBaseAddPoint(const uint8_t s[32], const uint8_t t[32], const uint8_t px[32],
                       const uint8_t py[32], uint8_t x[32], uint8_t y[32]) const override {
    Jacobian sum;
    return CombinedMultiple(sum, s, t, px, py) && ToAffineBytes(sum, x, y);
  }

  // x = X / Z^2 is below p < 2n, so x mod n = c means X = c Z^2 or X = (c + n) Z^2: no inversion.
  bool MulBaseAddPointXModOrderIs(const uint8_t s[32], const uint8_t t[32], const uint8_t px[32],
                                  const uint8_t py[32], const uint8_t c[32]) const override {
    Jacobian sum;
    if (!ScalarBelowOrder(c, order()) || !CombinedMultiple(sum, s, t, px, py) ||
        FeIsZeroMask(sum.z) != 0)
      return false;
    Fe zz, candidate, n;
    FeSqr(zz, sum.z);
    FeFromBytesRaw(candidate, c);
    if (JacobianXIs(sum, zz, candidate)) return true;
    uint8_t order_bytes[32];
    BN_bn2binpad(order(), order_bytes, 32);
    FeFromBytesRaw(n, order_bytes);
    unsigned char carry = 0;
    for (int i = 0; i < 4; ++i) carry = AddCarry(carry, candidate.v[i], n.v[i], &candidate.v[i]);
    return carry == 0 && FeBelowP(candidate) && JacobianXIs(sum, zz, candidate);
  }

  bool AddPoints(const uint8_t px[32], const uint8_t py[32], const uint8_t qx[32],
                 const uint8_t qy[32], uint8_t x[32], uint8_t y[32]) const override {
    Affine p, q;
    if (!AffineFromBytes(p, px, py) || !AffineFromBytes(q, qx, qy)) return false;
    Jacobian pj = {p.x, p.y, kOneMont}, qj = {q.x, q.y, kOneMont}, sum;
    PointAddPublic(sum, pj, qj);
    return ToAffineBytes(sum, x, y);
  }

  bool IsOnCurve(const uint8_t px[32], const uint8_t py[32]) const override {
    Affine p;
    return AffineFromBytes(p, px, py);
  }

 private:
  // [s]G + [t]P after the checks of the point and of the scalars.
  bool CombinedMultiple(Jacobian &sum, const uint8_t s[32], const uint8_t t[32],
                        const uint8_t px[32], const uint8_t py[32]) const {
    Affine p;
    if (!AffineFromBytes(p, px, py)) return false;
    if (!ScalarBelowOrder(s, order()) || !ScalarBelowOrder(t, order())) return false;
    MulBaseAddPointPublic(sum, s, t, p);
    return true;
  }

  EC_GROUP *group_;  // lives as long as the process
};

// ---------------------------------------------------------------------------------------------
// The crypto library's EC arithmetic (its ladder for secret scalars).

class LibraryCurveArithmetic final : public CurveArithmetic {
 public:
  explicit LibraryCurveArithmetic(int id) : id_(id), group_(NationalCurveGroup(id)) {}
  int id() const override { return id_; }
  const EC_GROUP *group() const override { return group_; }
  const BIGNUM *order() const override { return EC_GROUP_get0_order(group_); }

  bool MulBase(const uint8_t k[32], uint8_t x[32], uint8_t y[32]) const override {
    return Multiply(k, nullptr, nullptr, nullptr, x, y);
  }
  bool MulPoint(const uint8_t k[32], const uint8_t px[32], const uint8_t py[32], uint8_t x[32],
                uint8_t y[32]) const override {
    return Multiply(nullptr, k, px, py, x, y);
  }
  bool MulBaseAddPoint(const uint8_t s[32], const uint8_t t[32], const uint8_t px[32],
                       const uint8_t py[32], uint8_t x[32], uint8_t y[32]) const override {
    return Multiply(s, t, px, py, x, y);
  }
  bool MulBaseAddPointXModOrderIs(const uint8_t s[32], const uint8_t t[32], const uint8_t px[32],
                                  const uint8_t py[32], const uint8_t c[32]) const override {
    uint8_t x[32], y[32];
    if (!Multiply(s, t, px, py, x, y)) return false;
    BnCtxPtr ctx(BN_CTX_new());
    BignumPtr xb(BN_bin2bn(x, 32, nullptr)), cb(BN_bin2bn(c, 32, nullptr));
    return ctx && xb && cb && BN_nnmod(xb.get(), xb.get(), order(), ctx.get()) == 1 &&
           BN_cmp(xb.get(), cb.get()) == 0;
  }
  bool AddPoints(const uint8_t px[32], const uint8_t py[32], const uint8_t qx[32],
                 const uint8_t qy[32], uint8_t x[32], uint8_t y[32]) const override {
    BnCtxPtr ctx(BN_CTX_new());
    EcPointPtr p(EC_POINT_new(group_)), q(EC_POINT_new(group_)), r(EC_POINT_new(group_));
    if (!ctx || !p || !q || !r || !SetPoint(p.get(), px, py, ctx.get()) ||
        !SetPoint(q.get(), qx, qy, ctx.get()) ||
        EC_POINT_add(group_, r.get(), p.get(), q.get(), ctx.get()) != 1)
      return false;
    return ToBytes(r.get(), x, y, ctx.get());
  }

  bool IsOnCurve(const uint8_t px[32], const uint8_t py[32]) const override {
    BnCtxPtr ctx(BN_CTX_new());
    EcPointPtr p(EC_POINT_new(group_));
    return ctx && p && SetPoint(p.get(), px, py, ctx.get());
  }

 private:
  // The library checks that the point lies on the curve; its error for a point that does not
  // is not left on the queue (a point off the curve is an answer here, not a failure).
  bool SetPoint(EC_POINT *p, const uint8_t px[32], const uint8_t py[32], BN_CTX *ctx) const {
    BignumPtr x(BN_bin2bn(px, 32, nullptr)), y(BN_bin2bn(py, 32, nullptr));
    if (!x || !y) return false;
    ERR_set_mark();
    bool ok = EC_POINT_set_affine_coordinates(group_, p, x.get(), y.get(), ctx) == 1;
    ERR_pop_to_mark();
    return ok;
  }

  // [g_scalar]G + [p_scalar]P (either absent).
  bool Multiply(const uint8_t *g_scalar, const uint8_t *p_scalar, const uint8_t *px,
                const uint8_t *py, uint8_t x[32], uint8_t y[32]) const {
    BnCtxPtr ctx(BN_CTX_new());
    EcPointPtr r(EC_POINT_new(group_)), p(EC_POINT_new(group_));
    SecretBignumPtr gk(g_scalar ? BN_bin2bn(g_scalar, 32, nullptr) : nullptr);
    SecretBignumPtr pk(p_scalar ? BN_bin2bn(p_scalar, 32, nullptr) : nullptr);
    if (!ctx || !r || !p || (g_scalar && !gk) || (p_scalar && !pk)) return false;
    if (gk) BN_set_flags(gk.get(), BN_FLG_CONSTTIME);
    if (pk) BN_set_flags(pk.get(), BN_FLG_CONSTTIME);
    if (px != nullptr && !SetPoint(p.get(), px, py, ctx.get())) return false;
    if (EC_POINT_mul(group_, r.get(), gk.get(), px ? p.get() : nullptr, pk.get(), ctx.get()) != 1)
      return false;
    return ToBytes(r.get(), x, y, ctx.get());
  }

  // The affine coordinates of a point other than the point at infinity.
  bool ToBytes(const EC_POINT *r, uint8_t x[32], uint8_t y[32], BN_CTX *ctx) const {
    if (EC_POINT_is_at_infinity(group_, r) == 1) return false;
    BignumPtr rx(BN_new()), ry(BN_new());
    if (!rx || !ry || EC_POINT_get_affine_coordinates(group_, r, rx.get(), ry.get(), ctx) != 1)
      return false;
    return BN_bn2binpad(rx.get(), x, 32) == 32 && BN_bn2binpad(ry.get(), y, 32) == 32;
  }

  int id_;
  EC_GROUP *group_;  // lives as long as the process
};

}  // namespace

const CurveArithmetic *CurveArithmeticFor(int curve_id) {
  if (curve_id == NID_prime256v1SM2) {
    static const CurveArithmetic *const sm2 = new Sm2CurveArithmetic;
    return sm2->group() != nullptr ? sm2 : nullptr;
  }
  return LibraryCurveArithmeticFor(curve_id);
}

const CurveArithmetic *LibraryCurveArithmeticFor(int curve_id) {
  if (curve_id != NID_prime256v1SM2 && curve_id != NID_prime256v1SM2TEST) return nullptr;
  static const CurveArithmetic *const curves[2] = {
      new LibraryCurveArithmetic(NID_prime256v1SM2),
      new LibraryCurveArithmetic(NID_prime256v1SM2TEST)};
  const CurveArithmetic *a = curves[curve_id == NID_prime256v1SM2 ? 0 : 1];
  return a->group() != nullptr ? a : nullptr;
}

namespace {

bool FieldElementBelowP(Fe &r, const uint8_t in[32]) {
  FeFromBytesRaw(r, in);
  return FeBelowP(r);
}

}  // namespace

bool SM2FieldMultiplyForTesting(const uint8_t a[32], const uint8_t b[32], uint8_t out[32]) {
  Fe x, y, r;
  if (!FieldElementBelowP(x, a) || !FieldElementBelowP(y, b)) return false;
  FeMul(r, x, y);
  FeToBytesRaw(out, r);
  return true;
}

bool SM2FieldSquareForTesting(const uint8_t a[32], uint8_t out[32]) {
  Fe x, r;
  if (!FieldElementBelowP(x, a)) return false;
  FeSqr(r, x);
  FeToBytesRaw(out, r);
  return true;
}

}  // namespace kelu

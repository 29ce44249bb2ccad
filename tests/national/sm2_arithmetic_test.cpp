#include "SM2Arithmetic.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/err.h>

#include <string>

#include "NationalObjects.h"
#include "NationalTestUtil.h"

namespace kelu::test {
namespace {

const CurveArithmetic &Fast() { return *CurveArithmeticFor(NID_prime256v1SM2); }
const CurveArithmetic &Library() { return *LibraryCurveArithmeticFor(NID_prime256v1SM2); }

Bytes OrderMinus(uint32_t delta) {
  BIGNUM *n = BN_dup(Fast().order());
  BN_sub_word(n, delta);
  Bytes out(32);
  BN_bn2binpad(n, out.data(), 32);
  BN_free(n);
  return out;
}

Bytes Small(uint32_t v) {
  Bytes out(32, 0);
  for (int i = 0; i < 4; ++i) out[31 - i] = static_cast<uint8_t>(v >> (8 * i));
  return out;
}

Bytes RandomScalar() {
  BIGNUM *k = BN_new();
  BN_rand_range(k, Fast().order());
  Bytes out(32);
  BN_bn2binpad(k, out.data(), 32);
  BN_free(k);
  return out;
}

struct Point {
  Bytes x = Bytes(32), y = Bytes(32);
  bool ok = false;
};

Point Base(const CurveArithmetic &a, const Bytes &k) {
  Point p;
  p.ok = a.MulBase(k.data(), p.x.data(), p.y.data());
  return p;
}

Point Mul(const CurveArithmetic &a, const Bytes &k, const Point &q) {
  Point p;
  p.ok = a.MulPoint(k.data(), q.x.data(), q.y.data(), p.x.data(), p.y.data());
  return p;
}

Point Combined(const CurveArithmetic &a, const Bytes &s, const Bytes &t, const Point &q) {
  Point p;
  p.ok = a.MulBaseAddPoint(s.data(), t.data(), q.x.data(), q.y.data(), p.x.data(), p.y.data());
  return p;
}

void ExpectSame(const Point &a, const Point &b) {
  ASSERT_EQ(a.ok, b.ok);
  if (!a.ok) return;
  EXPECT_EQ(ToHex(a.x), ToHex(b.x));
  EXPECT_EQ(ToHex(a.y), ToHex(b.y));
}

bool XModOrderIs(const CurveArithmetic &a, const Bytes &s, const Bytes &t, const Point &q,
                 const Bytes &c) {
  return a.MulBaseAddPointXModOrderIs(s.data(), t.data(), q.x.data(), q.y.data(), c.data());
}

// The x check of the verification on both arithmetics: true for x mod n of the library's sum,
// false for the next value and for the point at infinity.
void ExpectXCheckAgrees(const Bytes &s, const Bytes &t, const Point &q) {
  Point sum = Combined(Library(), s, t, q);
  Bytes c(32, 0), other(32, 0);
  if (sum.ok) {
    BN_CTX *ctx = BN_CTX_new();
    BIGNUM *x = BN_bin2bn(sum.x.data(), 32, nullptr);
    BN_nnmod(x, x, Fast().order(), ctx);
    BN_bn2binpad(x, c.data(), 32);
    BN_add_word(x, 1);
    BN_nnmod(x, x, Fast().order(), ctx);
    BN_bn2binpad(x, other.data(), 32);
    BN_free(x);
    BN_CTX_free(ctx);
  }
  for (const CurveArithmetic *a : {&Fast(), &Library()}) {
    EXPECT_EQ(XModOrderIs(*a, s, t, q, c), sum.ok);
    EXPECT_FALSE(XModOrderIs(*a, s, t, q, other));
  }
}

Bytes BnBytes(const BIGNUM *bn) {
  Bytes out(32);
  BN_bn2binpad(bn, out.data(), 32);
  return out;
}

// (j 2^i + delta) mod n.
Bytes PowerOfTwoModOrder(uint32_t j, int i, int delta) {
  BN_CTX *ctx = BN_CTX_new();
  BIGNUM *v = BN_new();
  BN_set_word(v, j);
  BN_lshift(v, v, i);
  if (delta < 0) BN_sub_word(v, static_cast<BN_ULONG>(-delta));
  if (delta > 0) BN_add_word(v, static_cast<BN_ULONG>(delta));
  BN_nnmod(v, v, Fast().order(), ctx);
  Bytes out = BnBytes(v);
  BN_free(v);
  BN_CTX_free(ctx);
  return out;
}

// The value whose w-bit windows below the top are all 2^(w-1): every signed digit of width w is
// the largest; one more makes each of them the smallest, -(2^(w-1) - 1), with a carry into the
// next, up to the top window.
Bytes HalfWindows(int w, uint32_t plus) {
  BIGNUM *v = BN_new();
  BN_zero(v);
  for (int i = 0; i + w < 256; i += w) BN_set_bit(v, i + w - 1);
  BN_add_word(v, plus);
  Bytes out = BnBytes(v);
  BN_free(v);
  return out;
}

// Scalars for the window methods: mostly zero digits, powers of two and all-ones runs at every
// width, the largest and smallest signed digits of windows of 4 to 7 bits, every small multiple
// of the powers of two near the top (the top digit and its carry, and 2^256 and 2^257 mod n),
// values near the order and random ones.
std::vector<Bytes> Scalars() {
  std::vector<Bytes> k = {Small(1), Small(2), Small(15), Small(16), Small(17), Small(31),
                          Small(32), Small(33), Small(63), Small(64), Small(0x100),
                          Small(0xF0F0F0F0), OrderMinus(1), OrderMinus(2), OrderMinus(16)};
  Bytes top(32, 0);
  top[0] = 0x80;
  k.push_back(top);
  BIGNUM *half = BN_dup(Fast().order());
  BN_rshift1(half, half);  // (n - 1) / 2
  k.push_back(BnBytes(half));
  BN_free(half);
  for (int i = 1; i < 256; ++i) {
    k.push_back(PowerOfTwoModOrder(1, i, 0));
    k.push_back(PowerOfTwoModOrder(1, i, -1));
  }
  for (int w = 4; w <= 7; ++w) {
    k.push_back(HalfWindows(w, 0));
    k.push_back(HalfWindows(w, 1));
  }
  for (int i = 250; i <= 257; ++i) {
    for (uint32_t j = 1; j <= 32; ++j) k.push_back(PowerOfTwoModOrder(j, i, 0));
  }
  // FFFFFFFE FFFFFFFF FFFFFFFF FFFFFFFF 6FFF...F: all-ones nibbles below n.
  Bytes ones(32, 0xFF);
  ones[3] = 0xFE;
  ones[16] = 0x6F;
  k.push_back(ones);
  for (int i = 0; i < 200; ++i) k.push_back(RandomScalar());
  return k;
}

TEST(Sm2Arithmetic, BaseMultiplesMatchTheLibrary) {
  for (const Bytes &k : Scalars()) {
    SCOPED_TRACE(ToHex(k));
    Point fast = Base(Fast(), k);
    ASSERT_TRUE(fast.ok);
    ExpectSame(fast, Base(Library(), k));
  }
}

TEST(Sm2Arithmetic, PointMultiplesMatchTheLibrary) {
  Point q = Base(Fast(), RandomScalar());
  for (const Bytes &k : Scalars()) {
    SCOPED_TRACE(ToHex(k));
    Point fast = Mul(Fast(), k, q);
    ASSERT_TRUE(fast.ok);
    ExpectSame(fast, Mul(Library(), k, q));
  }
}

TEST(Sm2Arithmetic, CombinedMultiplesMatchTheLibrary) {
  Point q = Base(Fast(), RandomScalar());
  for (int i = 0; i < 30; ++i) {
    Bytes s = RandomScalar(), t = RandomScalar();
    ExpectSame(Combined(Fast(), s, t, q), Combined(Library(), s, t, q));
  }
  // One of the two scalars zero, and a sum that is the point at infinity ([1]G + [n-1]G).
  Bytes zero(32, 0);
  Point g = Base(Fast(), Small(1));
  ExpectSame(Combined(Fast(), zero, Small(5), q), Mul(Fast(), Small(5), q));
  ExpectSame(Combined(Fast(), Small(5), zero, q), Base(Fast(), Small(5)));
  EXPECT_FALSE(Combined(Fast(), Small(1), OrderMinus(1), g).ok);
  // [s]G + [t]G with equal halves takes the doubling path.
  ExpectSame(Combined(Fast(), Small(3), Small(3), g), Base(Fast(), Small(6)));
}

// k with u1 + u2 k = 0 (cancel) or u1 = u2 k (equal) mod n; u2 is not zero.
Bytes ScalarRatio(const Bytes &u1, const Bytes &u2, bool cancel) {
  BN_CTX *ctx = BN_CTX_new();
  BIGNUM *a = BN_bin2bn(u1.data(), 32, nullptr), *b = BN_bin2bn(u2.data(), 32, nullptr);
  const BIGNUM *n = Fast().order();
  BN_mod_inverse(b, b, n, ctx);
  BN_mod_mul(a, a, b, n, ctx);
  if (cancel && !BN_is_zero(a)) BN_sub(a, n, a);
  Bytes out = BnBytes(a);
  BN_free(a);
  BN_free(b);
  BN_CTX_free(ctx);
  return out;
}

// [u1]G + [u2]P of the verification path against the library's EC_POINT_mul on every pair of
// edge scalars and on points chosen so that the sum is the point at infinity or the two halves
// are equal (the doubling case). 0x101 has two nonzero signed digits in both windows, so with
// P = -G the sum passes through the point at infinity in the middle of the chain, and with
// P = G it doubles there.
TEST(Sm2Arithmetic, CombinedMultiplesMatchTheLibraryOnEdgeCases) {
  const std::vector<Bytes> scalars = {Bytes(32, 0), Small(1),     Small(2),      OrderMinus(1),
                                      OrderMinus(2), Small(0x101), RandomScalar()};
  const Point g = Base(Library(), Small(1)), minus_g = Base(Library(), OrderMinus(1)),
              two_g = Base(Library(), Small(2)), random = Base(Library(), RandomScalar());
  for (const Bytes &u1 : scalars) {
    for (const Bytes &u2 : scalars) {
      SCOPED_TRACE(ToHex(u1) + " " + ToHex(u2));
      for (const Point *p : {&g, &minus_g, &two_g, &random}) {
        ExpectSame(Combined(Fast(), u1, u2, *p), Combined(Library(), u1, u2, *p));
        ExpectXCheckAgrees(u1, u2, *p);
      }
      if (u2 == Bytes(32, 0) || u1 == Bytes(32, 0)) continue;
      Point cancelling = Base(Library(), ScalarRatio(u1, u2, true));
      Point equal = Base(Library(), ScalarRatio(u1, u2, false));
      EXPECT_FALSE(Combined(Fast(), u1, u2, cancelling).ok);
      ExpectXCheckAgrees(u1, u2, cancelling);
      Point twice = Combined(Fast(), u1, u2, equal);
      ASSERT_TRUE(twice.ok);
      ExpectSame(twice, Combined(Library(), u1, u2, equal));
    }
  }
}

// A point whose x lies in [n, p): its x mod n is x - n, which the check finds as X = (c + n) Z^2.
TEST(Sm2Arithmetic, XCheckFindsCoordinatesAboveTheOrder) {
  BN_CTX *ctx = BN_CTX_new();
  const NationalCurve *curve = FindNationalCurve(NID_prime256v1SM2);
  BIGNUM *p = nullptr, *b = nullptr;
  BN_hex2bn(&p, curve->p);
  BN_hex2bn(&b, curve->b);
  BIGNUM *x = BN_dup(Fast().order()), *rhs = BN_new(), *t = BN_new(), *y = BN_new();
  Point q;
  while (!q.ok) {  // the first x = n + i with x^3 - 3x + b a square
    BN_add_word(x, 1);
    BN_mod_sqr(rhs, x, p, ctx);
    BN_mod_mul(rhs, rhs, x, p, ctx);
    BN_mod_add(t, x, x, p, ctx);
    BN_mod_add(t, t, x, p, ctx);
    BN_mod_sub(rhs, rhs, t, p, ctx);
    BN_mod_add(rhs, rhs, b, p, ctx);
    ERR_set_mark();
    bool square = BN_mod_sqrt(y, rhs, p, ctx) != nullptr;
    ERR_pop_to_mark();
    if (!square) continue;
    BN_bn2binpad(x, q.x.data(), 32);
    BN_bn2binpad(y, q.y.data(), 32);
    q.ok = true;
  }
  ASSERT_TRUE(Fast().IsOnCurve(q.x.data(), q.y.data()));
  BN_sub(x, x, Fast().order());
  Bytes reduced = BnBytes(x);
  for (const CurveArithmetic *a : {&Fast(), &Library()}) {
    EXPECT_TRUE(XModOrderIs(*a, Bytes(32, 0), Small(1), q, reduced));
    EXPECT_FALSE(XModOrderIs(*a, Bytes(32, 0), Small(1), q, q.x));  // x itself is not below n
  }
  for (BIGNUM *v : {p, b, x, rhs, t, y}) BN_free(v);
  BN_CTX_free(ctx);
}

TEST(Sm2Arithmetic, CombinedMultiplesMatchTheLibraryOnRandomCases) {
  for (int i = 0; i < 300; ++i) {
    Point p = Base(Library(), RandomScalar());
    Bytes s = RandomScalar(), t = RandomScalar();
    ExpectSame(Combined(Fast(), s, t, p), Combined(Library(), s, t, p));
  }
}

// The field's squaring against its multiplication and against the library: both give
// a^2 / 2^256 mod p on the Montgomery representation.
TEST(Sm2Arithmetic, FieldSquareMatchesTheProductAndTheLibrary) {
  BN_CTX *ctx = BN_CTX_new();
  BIGNUM *p = nullptr;
  BN_hex2bn(&p, FindNationalCurve(NID_prime256v1SM2)->p);
  BIGNUM *r_inv = BN_new(), *v = BN_new(), *want = BN_new();
  BN_set_bit(v, 256);
  BN_mod_inverse(r_inv, v, p, ctx);
  std::vector<Bytes> values;
  for (const char *hex : {"0", "1", "2", "FFFFFFFFFFFFFFFF", "10000000000000000", "8000000000000000"
                          "000000000000000000000000000000000000000000000000"}) {
    BN_hex2bn(&v, hex);
    values.push_back(BnBytes(v));
  }
  for (int delta : {1, 2}) {  // p - 1, p - 2
    BN_sub(v, p, BN_value_one());
    if (delta == 2) BN_sub_word(v, 1);
    values.push_back(BnBytes(v));
  }
  BN_rshift1(v, p);  // (p - 1) / 2
  values.push_back(BnBytes(v));
  BN_zero(v);
  BN_set_bit(v, 256);
  BN_sub_word(v, 1);
  BN_mod(v, v, p, ctx);  // 2^256 - 1 reduced, which is also R - 1 mod p
  values.push_back(BnBytes(v));
  BN_add_word(v, 1);  // R mod p, the one of the Montgomery form
  values.push_back(BnBytes(v));
  for (int i = 0; i < 200; ++i) {
    BN_rand_range(v, p);
    values.push_back(BnBytes(v));
  }
  for (const Bytes &a : values) {
    SCOPED_TRACE(ToHex(a));
    Bytes square(32), product(32);
    ASSERT_TRUE(SM2FieldSquareForTesting(a.data(), square.data()));
    ASSERT_TRUE(SM2FieldMultiplyForTesting(a.data(), a.data(), product.data()));
    BIGNUM *x = BN_bin2bn(a.data(), 32, nullptr);
    BN_mod_sqr(want, x, p, ctx);
    BN_mod_mul(want, want, r_inv, p, ctx);
    EXPECT_EQ(ToHex(square), ToHex(BnBytes(want)));
    EXPECT_EQ(ToHex(square), ToHex(product));
    BN_free(x);
  }
  Bytes at_p = BnBytes(p), out(32);
  EXPECT_FALSE(SM2FieldSquareForTesting(at_p.data(), out.data()));
  BN_free(p);
  BN_free(r_inv);
  BN_free(v);
  BN_free(want);
  BN_CTX_free(ctx);
}

TEST(Sm2Arithmetic, MultipleOfOrderMinusOneIsTheNegative) {
  Point g = Base(Fast(), Small(1));
  Point minus = Base(Fast(), OrderMinus(1));
  ASSERT_TRUE(minus.ok);
  EXPECT_EQ(minus.x, g.x);
  BIGNUM *p = BN_new(), *y = BN_bin2bn(g.y.data(), 32, nullptr);
  BN_hex2bn(&p, FindNationalCurve(NID_prime256v1SM2)->p);
  BN_sub(y, p, y);
  Bytes neg(32);
  BN_bn2binpad(y, neg.data(), 32);
  EXPECT_EQ(minus.y, neg);
  BN_free(p);
  BN_free(y);
}

TEST(Sm2Arithmetic, RefusesZeroOutOfRangeScalarsAndBadPoints) {
  Bytes zero(32, 0);
  Bytes n = OrderMinus(0);
  Point q = Base(Fast(), RandomScalar());
  for (const CurveArithmetic *a : {&Fast(), &Library()}) {
    EXPECT_FALSE(Base(*a, zero).ok);
    EXPECT_FALSE(Mul(*a, zero, q).ok);
    EXPECT_TRUE(a->IsOnCurve(q.x.data(), q.y.data()));
    Point off = q;
    off.y[31] ^= 1;
    EXPECT_FALSE(a->IsOnCurve(off.x.data(), off.y.data()));
    EXPECT_FALSE(Mul(*a, Small(3), off).ok);
    EXPECT_FALSE(Combined(*a, Small(3), Small(3), off).ok);
  }
  EXPECT_FALSE(Base(Fast(), n).ok);
  EXPECT_FALSE(Mul(Fast(), n, q).ok);
  // A coordinate of p or more is no field element.
  Bytes ff(32, 0xFF);
  EXPECT_FALSE(Fast().IsOnCurve(ff.data(), q.y.data()));
}

TEST(Sm2Arithmetic, TestCurveUsesTheLibrary) {
  const CurveArithmetic *test_curve = CurveArithmeticFor(NID_prime256v1SM2TEST);
  ASSERT_NE(test_curve, nullptr);
  EXPECT_EQ(test_curve->id(), NID_prime256v1SM2TEST);
  EXPECT_EQ(CurveArithmeticFor(922), nullptr);
  Point g = Base(*test_curve, Small(1));
  ASSERT_TRUE(g.ok);
  EXPECT_EQ(ToHex(g.x), FindNationalCurve(NID_prime256v1SM2TEST)->gx);
}

}  // namespace
}  // namespace kelu::test

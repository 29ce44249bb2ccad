#include "SM2Arithmetic.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>

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

// Scalars whose digits are mostly zero, near the order, and random ones.
std::vector<Bytes> Scalars() {
  std::vector<Bytes> k = {Small(1), Small(2), Small(15), Small(16), Small(17), Small(0x100),
                          Small(0xF0F0F0F0), OrderMinus(1), OrderMinus(2), OrderMinus(16)};
  Bytes top(32, 0);
  top[0] = 0x80;
  k.push_back(top);
  for (int i = 0; i < 40; ++i) k.push_back(RandomScalar());
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

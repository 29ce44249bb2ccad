#include "SM2Order.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>

#include <vector>

#include "NationalObjects.h"
#include "NationalTestUtil.h"

namespace kelu::test {
namespace {

struct Bn {
  BIGNUM *v = BN_new();
  ~Bn() { BN_free(v); }
};

Bytes BnBytes(const BIGNUM *bn) {
  Bytes out(32, 0);
  if (BN_num_bytes(bn) <= 32) BN_bn2binpad(bn, out.data(), 32);
  return out;
}

const BIGNUM *Order() {
  static BIGNUM *n = [] {
    BIGNUM *v = nullptr;
    BN_hex2bn(&v, FindNationalCurve(NID_prime256v1SM2)->n);
    return v;
  }();
  return n;
}

// The inverse against the library's, on 1, 2, n - 1, n - 2, (n - 1) / 2, every power of two and
// every all-ones run below 2^256, and random values.
TEST(Sm2Order, InverseMatchesTheLibrary) {
  BN_CTX *ctx = BN_CTX_new();
  std::vector<Bytes> values;
  Bn v;
  for (BN_ULONG delta : {1, 2}) {
    BN_copy(v.v, Order());
    BN_sub_word(v.v, delta);
    values.push_back(BnBytes(v.v));
    BN_set_word(v.v, delta);
    values.push_back(BnBytes(v.v));
  }
  BN_rshift1(v.v, Order());
  values.push_back(BnBytes(v.v));
  for (int i = 1; i < 256; ++i) {
    BN_zero(v.v);
    BN_set_bit(v.v, i);
    values.push_back(BnBytes(v.v));
    BN_sub_word(v.v, 1);
    values.push_back(BnBytes(v.v));
  }
  for (int i = 0; i < 300; ++i) {
    do BN_rand_range(v.v, Order());
    while (BN_is_zero(v.v));
    values.push_back(BnBytes(v.v));
  }
  Bn want;
  for (const Bytes &a : values) {
    SCOPED_TRACE(ToHex(a));
    Bytes got(32);
    ASSERT_TRUE(SM2OrderInverse(a.data(), got.data()));
    BIGNUM *x = BN_bin2bn(a.data(), 32, nullptr);
    ASSERT_NE(BN_mod_inverse(want.v, x, Order(), ctx), nullptr);
    EXPECT_EQ(ToHex(got), ToHex(BnBytes(want.v)));
    BN_free(x);
  }
  BN_CTX_free(ctx);
}

TEST(Sm2Order, RefusesZeroAndValuesFromTheOrderUp) {
  Bn v;
  std::vector<Bytes> refused = {Bytes(32, 0), Bytes(32, 0xFF), BnBytes(Order())};
  BN_copy(v.v, Order());
  BN_add_word(v.v, 1);
  refused.push_back(BnBytes(v.v));
  for (const Bytes &a : refused) {
    SCOPED_TRACE(ToHex(a));
    Bytes out(32, 0xAA);
    EXPECT_FALSE(SM2OrderInverse(a.data(), out.data()));
    EXPECT_EQ(out, Bytes(32, 0xAA));
  }
}

// The private keys that sign: 1 to n - 2, each end and its neighbours.
TEST(Sm2Order, PrivateKeyRange) {
  const auto near_order = [](int delta) {
    Bn v;
    BN_copy(v.v, Order());
    if (delta < 0) BN_sub_word(v.v, static_cast<BN_ULONG>(-delta));
    if (delta > 0) BN_add_word(v.v, static_cast<BN_ULONG>(delta));
    return BnBytes(v.v);
  };
  Bytes one(32, 0), two(32, 0), top(32, 0);
  one.back() = 1;
  two.back() = 2;
  top[0] = 0x80;
  const struct {
    Bytes d;
    bool signs;
  } kCases[] = {{Bytes(32, 0), false}, {one, true},           {two, true},
                {top, true},           {near_order(-2), true}, {near_order(-1), false},
                {near_order(0), false}, {near_order(1), false}, {Bytes(32, 0xFF), false}};
  for (const auto &c : kCases) {
    SCOPED_TRACE(ToHex(c.d));
    EXPECT_EQ(SM2PrivateKeyRangeMask(c.d.data()), c.signs ? ~uint64_t{0} : 0u);
  }
}

}  // namespace
}  // namespace kelu::test

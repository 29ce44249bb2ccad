#include "SM2.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>

#include <cstring>
#include <string>

#include "NationalObjects.h"
#include "NationalTestUtil.h"
#include "OsslPtr.h"
#include "SM2Arithmetic.h"
#include "SM3.h"

namespace kelu::test {
namespace {

Bytes Text(const std::string &s) { return Bytes(s.begin(), s.end()); }

BignumPtr Bn(const std::string &hex) {
  BIGNUM *bn = nullptr;
  BN_hex2bn(&bn, hex.c_str());
  return BignumPtr(bn);
}

std::string Hex32(const BIGNUM *bn) {
  unsigned char b[32];
  EXPECT_EQ(_SM2_GetBNBytes(bn, b), 1);
  return ToHex(b, 32);
}

Bytes Sm3Of(const Bytes &a, const Bytes &b = {}) {
  SM3_CTX ctx;
  SM3_Init(&ctx);
  SM3_Update(&ctx, a.data(), a.size());
  SM3_Update(&ctx, b.data(), b.size());
  Bytes out(32);
  SM3_Final(out.data(), &ctx);
  return out;
}

// The random scalar of the standard's examples, through the test-only source.
class FixedScalar {
 public:
  explicit FixedScalar(const std::string &hex) : k_(Bn(hex)) {
    SM2_SetScalarSourceForTesting(&FixedScalar::Source, this);
  }
  ~FixedScalar() { SM2_SetScalarSourceForTesting(nullptr, nullptr); }

 private:
  static int Source(BIGNUM *k, const BIGNUM *, void *arg) {
    return BN_copy(k, static_cast<FixedScalar *>(arg)->k_.get()) != nullptr;
  }
  BignumPtr k_;
};

// GB/T 32918.2, the signature example on the 256-bit example curve.
TEST(Sm2, StandardSignatureExampleOnTheTestCurve) {
  const std::string d = "128B2FA8BD433C6C068C8D803DFF79792A519A55171B1B650C23661D15897263";
  const std::string xa = "0AE4C7798AA0F119471BEE11825BE46202BB79E2A5844495E97C04FF4DF2548A";
  const std::string ya = "7C0240F88F1CD4E16352A73C17B7F16F07353E53A176D684A9FE0C6BB798E857";
  const CurveArithmetic *curve = CurveArithmeticFor(NID_prime256v1SM2TEST);
  Bytes x(32), y(32);
  ASSERT_TRUE(curve->MulBase(FromHex(d).data(), x.data(), y.data()));
  EXPECT_EQ(ToHex(x), xa);
  EXPECT_EQ(ToHex(y), ya);

  Bytes z(32);
  Bytes id = Text("ALICE123@YAHOO.COM");
  ASSERT_EQ(_SM2_CalculateZValue_byCurve_ex(NID_prime256v1SM2TEST, id.data(),
                                            static_cast<int>(id.size()), x.data(), y.data(),
                                            z.data()),
            1);
  EXPECT_EQ(ToHex(z), "F4A38489E32B45B6F876E3AC2168CA392362DC8F23459C1D1146FC3DBFB7BC9A");
  Bytes e = Sm3Of(z, Text("message digest"));
  EXPECT_EQ(ToHex(e), "B524F552CD82B8B028476E005C377FB19A87E6FC682D48BB5D42E3D9B9EFFE76");

  FixedScalar k("6CB28D99385C175C94F94E934817663FC176D925DD72B727260DBAAE1FB2F96F");
  BignumPtr eb(BN_bin2bn(e.data(), 32, nullptr));
  ECDSA_SIG *sig = _SM2_sign(eb.get(), Bn(d).get(), NID_prime256v1SM2TEST);
  ASSERT_NE(sig, nullptr);
  const BIGNUM *r = nullptr, *s = nullptr;
  ECDSA_SIG_get0(sig, &r, &s);
  EXPECT_EQ(Hex32(r), "40F1EC59F793D9F49E09DCEF49130D4194F79FB1EED2CAA55BACDB49C4E755D1");
  EXPECT_EQ(Hex32(s), "6FC6DAC32C5D5CF10C77DFB20F7C2EB667A457872FB09EC56327A67EC7DEEBE7");
  EXPECT_EQ(_SM2_verify(sig, Bn(xa).get(), Bn(ya).get(), eb.get(), NID_prime256v1SM2TEST), 1);
  ECDSA_SIG_free(sig);
}

// GB/T 32918.4, the encryption example on the 256-bit example curve.
TEST(Sm2, StandardEncryptionExampleOnTheTestCurve) {
  const std::string d = "1649AB77A00637BD5E2EFE283FBF353534AA7F7CB89463F208DDBC2920BB0DA0";
  const std::string xb = "435B39CCA8F3B508C1488AFC67BE491A0F7BA07E581A0E4849A5CF70628A7E0A";
  const std::string yb = "75DDBA78F15FEECB4C7895E2C1CDF5FE01DEBB2CDBADF45399CCF77BBA076A42";
  Bytes m = Text("encryption standard");
  Bytes c(m.size() + 97);
  {
    FixedScalar k("4C62EEFD6ECFC2B95B92FD6C3D9575148AFA17425546D49018E5388D49DD7B4F");
    ASSERT_EQ(_SM2_encrypt(NID_prime256v1SM2TEST, m.data(), static_cast<int>(m.size()),
                           Bn(xb).get(), Bn(yb).get(), c.data()),
              1);
  }
  EXPECT_EQ(ToHex(c),
            "04"
            "245C26FB68B1DDDDB12C4B6BF9F2B6D5FE60A383B0D18D1C4144ABF17F6252E7"
            "76CB9264C2A7E88E52B19903FDC47378F605E36811F5C07423A24B84400F01B8"
            "650053A89B41C418B0C3AAD00D886C00286467"
            "9C3D7360C30156FAB7C80A0276712DA9D8094A634B766D3A285E07480653426D");
  Bytes back(m.size());
  ASSERT_EQ(_SM2_decrypt(NID_prime256v1SM2TEST, c.data(), static_cast<int>(c.size()),
                         Bn(d).get(), back.data()),
            1);
  EXPECT_EQ(back, m);
}

TEST(Sm2, KdfLengths) {
  Bytes z = RandomBytes(64);
  Bytes one = Sm3Of(z, FromHex("00000001")), two = Sm3Of(z, FromHex("00000002"));
  Bytes out(40, 0xEE);
  ASSERT_EQ(_SM2_KDF(z.data(), 64, 256, out.data()), 1);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 32), one);
  EXPECT_EQ(out[32], 0xEE);
  ASSERT_EQ(_SM2_KDF(z.data(), 64, 264, out.data()), 1);
  EXPECT_EQ(out[32], two[0]);
  EXPECT_EQ(out[33], 0xEE);
  out.assign(40, 0xEE);
  ASSERT_EQ(_SM2_KDF(z.data(), 64, 260, out.data()), 1);
  EXPECT_EQ(out[32], 0xEE);
  EXPECT_EQ(_SM2_KDF(z.data(), 64, 0, out.data()), 0);
  EXPECT_EQ(_SM2_KDF(z.data(), 64, 7, out.data()), 0);
  EXPECT_EQ(_SM2_KDF(z.data(), 64, 256, nullptr), 0);
}

TEST(Sm2, DefaultZValueLayout) {
  Bytes d(32), x(32), y(32);
  ASSERT_EQ(_SM2_generate_keypair(d.data(), x.data(), y.data()), 1);
  const NationalCurve *c = FindNationalCurve(NID_prime256v1SM2);
  Bytes input = FromHex(std::string("0080") + ToHex(kSM2DefaultUserId, 16) + c->a + c->b + c->gx +
                        c->gy + ToHex(x) + ToHex(y));
  Bytes z(32);
  ASSERT_EQ(_SM2_CalculateDefaultZValue(x.data(), y.data(), z.data()), 1);
  EXPECT_EQ(z, Sm3Of(input));
}

TEST(Sm2, ZValueRefusesAnIdWhoseBitLengthOverflows) {
  Bytes x(32, 1), y(32, 2), z(32);
  Bytes id(8192, 'a');
  EXPECT_EQ(_SM2_CalculateZValue_byCurve_ex(NID_prime256v1SM2, id.data(), 8192, x.data(),
                                            y.data(), z.data()),
            0);
  EXPECT_EQ(_SM2_CalculateZValue_byCurve_ex(NID_prime256v1SM2, id.data(), 8191, x.data(),
                                            y.data(), z.data()),
            1);
  EXPECT_EQ(_SM2_CalculateZValue_byCurve_ex(922, id.data(), 16, x.data(), y.data(), z.data()), 0);
  EXPECT_EQ(_SM2_CalculateZValue_byCurve_ex(NID_prime256v1SM2, id.data(), -1, x.data(), y.data(),
                                            z.data()),
            0);
}

struct KeyPair {
  Bytes d = Bytes(32), x = Bytes(32), y = Bytes(32);
};
KeyPair NewKey() {
  KeyPair k;
  EXPECT_EQ(_SM2_generate_keypair(k.d.data(), k.x.data(), k.y.data()), 1);
  return k;
}

TEST(Sm2, SignVerifyAndEachChangedBitFails) {
  KeyPair key = NewKey();
  Bytes e = RandomBytes(32), r(32), s(32);
  ASSERT_EQ(_SM2_sign_ex(e.data(), key.d.data(), r.data(), s.data()), 1);
  ERR_clear_error();
  EXPECT_EQ(_SM2_verify_ex(r.data(), s.data(), key.x.data(), key.y.data(), e.data()), 1);
  EXPECT_EQ(ERR_peek_error(), 0u);
  for (Bytes *v : {&e, &r, &s}) {
    (*v)[7] ^= 0x10;
    EXPECT_EQ(_SM2_verify_ex(r.data(), s.data(), key.x.data(), key.y.data(), e.data()), 0);
    EXPECT_NE(ERR_get_error(), 0u) << "an invalid signature leaves an error";
    ERR_clear_error();
    (*v)[7] ^= 0x10;
  }
  Bytes other = NewKey().x;
  EXPECT_EQ(_SM2_verify_ex(r.data(), s.data(), other.data(), key.y.data(), e.data()), 0);
  ERR_clear_error();
}

// A digest at or above n counts mod n: e and e - n verify the same signature, e - n + 1 does not.
TEST(Sm2, DigestAboveTheOrderCountsModTheOrder) {
  KeyPair key = NewKey();
  Bytes e(32, 0xFF), r(32), s(32);
  ASSERT_EQ(_SM2_sign_ex(e.data(), key.d.data(), r.data(), s.data()), 1);
  BignumPtr reduced(BN_bin2bn(e.data(), 32, nullptr));
  BN_sub(reduced.get(), reduced.get(), Bn(FindNationalCurve(NID_prime256v1SM2)->n).get());
  Bytes e_minus_n(32), next(32);
  BN_bn2binpad(reduced.get(), e_minus_n.data(), 32);
  BN_add_word(reduced.get(), 1);
  BN_bn2binpad(reduced.get(), next.data(), 32);
  EXPECT_EQ(_SM2_verify_ex(r.data(), s.data(), key.x.data(), key.y.data(), e.data()), 1);
  EXPECT_EQ(_SM2_verify_ex(r.data(), s.data(), key.x.data(), key.y.data(), e_minus_n.data()), 1);
  EXPECT_EQ(_SM2_verify_ex(r.data(), s.data(), key.x.data(), key.y.data(), next.data()), 0);
  ERR_clear_error();
}

// Signature values of the SM2 curve crafted with OpenSSL's EC arithmetic, each for one guard of
// the verification: without it the final comparison would pass them.
struct Crafted {
  Bytes r, s, x, y, e;
};

class CraftedValues {
 public:
  CraftedValues()
      : group_(EC_GROUP_new_by_curve_name(NID_sm2)), ctx_(BN_CTX_new()),
        n_(EC_GROUP_get0_order(group_.get())) {}

  // r = n - s makes t = r + s = 0 mod n, so [s]G + [t]P = [s]G whatever the key P; with
  // e = r - x([s]G) mod n the comparison (e + x1) mod n = r would hold.
  Crafted ZeroT(const Bytes &x, const Bytes &y) {
    BignumPtr s = RandomScalar(), r(BN_new()), e(BN_new());
    BN_sub(r.get(), n_, s.get());
    BN_mod_sub(e.get(), r.get(), XOf(Multiple(s.get())).get(), n_, ctx_.get());
    return {Of(r.get()), Of(s.get()), x, y, Of(e.get())};
  }

  // The key P = t^-1 (Q - [s]G) for Q = (0, sqrt(b)) makes [s]G + [t]P = Q, whose x is 0, and
  // e = r - (p - n) mod n has the comparison look for c = p - n: x = 0 is not c mod n, but 0 is
  // c + n = p mod p, which the check must not take as a coordinate.
  Crafted ZeroX() {
    BignumPtr p(BN_new()), a(BN_new()), b(BN_new()), root(BN_new()), zero(BN_new());
    EC_GROUP_get_curve(group_.get(), p.get(), a.get(), b.get(), ctx_.get());
    EXPECT_NE(BN_mod_sqrt(root.get(), b.get(), p.get(), ctx_.get()), nullptr) << "b is a square";
    BN_zero(zero.get());
    EcPointPtr q(EC_POINT_new(group_.get()));
    EXPECT_EQ(EC_POINT_set_affine_coordinates(group_.get(), q.get(), zero.get(), root.get(),
                                              ctx_.get()),
              1);
    BignumPtr s = RandomScalar(), r = RandomScalar(), t(BN_new()), t_inverse(BN_new());
    BN_mod_add(t.get(), r.get(), s.get(), n_, ctx_.get());
    BN_mod_inverse(t_inverse.get(), t.get(), n_, ctx_.get());
    EcPointPtr key = Multiple(s.get());
    EC_POINT_invert(group_.get(), key.get(), ctx_.get());
    EC_POINT_add(group_.get(), key.get(), key.get(), q.get(), ctx_.get());
    EC_POINT_mul(group_.get(), key.get(), nullptr, key.get(), t_inverse.get(), ctx_.get());
    BignumPtr c(BN_new()), e(BN_new()), kx(BN_new()), ky(BN_new());
    BN_sub(c.get(), p.get(), n_);
    BN_mod_sub(e.get(), r.get(), c.get(), n_, ctx_.get());
    EC_POINT_get_affine_coordinates(group_.get(), key.get(), kx.get(), ky.get(), ctx_.get());
    return {Of(r.get()), Of(s.get()), Of(kx.get()), Of(ky.get()), Of(e.get())};
  }

 private:
  BignumPtr RandomScalar() {
    BignumPtr k(BN_new());
    do BN_rand_range(k.get(), n_);
    while (BN_is_zero(k.get()));
    return k;
  }
  EcPointPtr Multiple(const BIGNUM *k) {
    EcPointPtr point(EC_POINT_new(group_.get()));
    EC_POINT_mul(group_.get(), point.get(), k, nullptr, nullptr, ctx_.get());
    return point;
  }
  BignumPtr XOf(const EcPointPtr &point) {
    BignumPtr x(BN_new());
    EC_POINT_get_affine_coordinates(group_.get(), point.get(), x.get(), nullptr, ctx_.get());
    return x;
  }
  static Bytes Of(const BIGNUM *v) {
    Bytes out(32);
    EXPECT_EQ(BN_bn2binpad(v, out.data(), 32), 32);
    return out;
  }

  EcGroupPtr group_;
  BnCtxPtr ctx_;
  const BIGNUM *n_;
};

// Signatures that verification refuses, each by one of its checks: r and s outside [1, n-1]
// before any point arithmetic, t = r + s = 0 mod n, and the x coordinate of the sum compared
// as c + n although that is not below p.
TEST(Sm2, RefusedSignatureValues) {
  KeyPair key = NewKey();
  Bytes e = RandomBytes(32), r(32), s(32);
  ASSERT_EQ(_SM2_sign_ex(e.data(), key.d.data(), r.data(), s.data()), 1);
  const std::string n = FindNationalCurve(NID_prime256v1SM2)->n;
  Bytes zero(32, 0), order = FromHex(n), ff(32, 0xFF);
  CraftedValues crafted;
  const Crafted zero_t = crafted.ZeroT(key.x, key.y), zero_x = crafted.ZeroX();
  struct Case {
    const char *name;
    Crafted values;
  };
  const Case cases[] = {
      {"r=0", {zero, s, key.x, key.y, e}},
      {"s=0", {r, zero, key.x, key.y, e}},
      {"r=n", {order, s, key.x, key.y, e}},
      {"s=n", {r, order, key.x, key.y, e}},
      {"r=ff..", {ff, s, key.x, key.y, e}},
      {"s=ff..", {r, ff, key.x, key.y, e}},
      {"t = r + s = 0 mod n", zero_t},
      {"x = 0 against c = p - n", zero_x},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const Crafted &v = c.values;
    EXPECT_EQ(_SM2_verify_ex(v.r.data(), v.s.data(), v.x.data(), v.y.data(), v.e.data()), 0);
    EXPECT_NE(ERR_get_error(), 0u);
    ERR_clear_error();
  }
  // Longer than 32 bytes through the big-number form.
  ECDSA_SIG *sig = ECDSA_SIG_new();
  BIGNUM *big = BN_new();
  BN_set_bit(big, 300);
  ECDSA_SIG_set0(sig, big, BN_bin2bn(s.data(), 32, nullptr));
  BignumPtr px(BN_bin2bn(key.x.data(), 32, nullptr)), py(BN_bin2bn(key.y.data(), 32, nullptr));
  BignumPtr eb(BN_bin2bn(e.data(), 32, nullptr));
  EXPECT_EQ(_SM2_verify(sig, px.get(), py.get(), eb.get(), NID_prime256v1SM2), 0);
  ECDSA_SIG_free(sig);
  ERR_clear_error();
}

TEST(Sm2, CurvesOtherThanTheNationalOnesAreRejected) {
  BignumPtr one = Bn("01");
  ERR_clear_error();
  EXPECT_EQ(_SM2_sign(one.get(), one.get(), NID_ChinaSM3), nullptr);
  unsigned long err = ERR_get_error();
  EXPECT_EQ(ERR_GET_REASON(err), ERR_GET_REASON(ERR_R_PASSED_NULL_PARAMETER));
  EXPECT_EQ(_SM2_sign(nullptr, one.get(), NID_prime256v1SM2), nullptr);
  EXPECT_NE(ERR_get_error(), 0u);
  ECDSA_SIG *sig = ECDSA_SIG_new();
  EXPECT_EQ(_SM2_verify(sig, one.get(), one.get(), one.get(), 415), 0);
  EXPECT_EQ(ERR_GET_REASON(ERR_get_error()), ERR_GET_REASON(ERR_R_PASSED_NULL_PARAMETER));
  ECDSA_SIG_free(sig);
  ERR_clear_error();
}

TEST(Sm2, EncryptDecryptRoundTrip) {
  KeyPair key = NewKey();
  BignumPtr px(BN_bin2bn(key.x.data(), 32, nullptr)), py(BN_bin2bn(key.y.data(), 32, nullptr));
  SecretBignumPtr d(BN_bin2bn(key.d.data(), 32, nullptr));
  for (size_t len : {size_t{1}, size_t{31}, size_t{32}, size_t{33}, size_t{1000}, size_t{70000}}) {
    SCOPED_TRACE(len);
    Bytes m = RandomBytes(len), c(len + 97), back(len);
    ASSERT_EQ(_SM2_encrypt(NID_prime256v1SM2, m.data(), static_cast<int>(len), px.get(), py.get(),
                           c.data()),
              1);
    EXPECT_EQ(c[0], 0x04);
    ASSERT_EQ(_SM2_decrypt(NID_prime256v1SM2, c.data(), static_cast<int>(c.size()), d.get(),
                           back.data()),
              1);
    EXPECT_EQ(back, m);
  }
}

// Malformed cipher texts fail and write nothing.
TEST(Sm2, MalformedCipherTexts) {
  KeyPair key = NewKey();
  BignumPtr px(BN_bin2bn(key.x.data(), 32, nullptr)), py(BN_bin2bn(key.y.data(), 32, nullptr));
  SecretBignumPtr d(BN_bin2bn(key.d.data(), 32, nullptr));
  Bytes m = RandomBytes(20), c(20 + 97);
  ASSERT_EQ(_SM2_encrypt(NID_prime256v1SM2, m.data(), 20, px.get(), py.get(), c.data()), 1);
  struct Case {
    const char *name;
    Bytes cipher;
  };
  auto changed = [&c](size_t at) {
    Bytes t = c;
    t[at] ^= 0x01;
    return t;
  };
  const Case cases[] = {
      {"tampered C3", changed(c.size() - 1)},
      {"tampered C2", changed(65)},
      {"not 0x04", changed(0)},
      {"C1 off the curve", changed(64)},
      {"C1.x of p or more", [&c] {
         Bytes t = c;
         std::memset(t.data() + 1, 0xFF, 32);
         return t;
       }()},
      {"97 bytes", Bytes(c.begin(), c.begin() + 97)},
      {"1 byte", Bytes{0x04}},
  };
  for (const Case &t : cases) {
    SCOPED_TRACE(t.name);
    Bytes out(t.cipher.size(), 0xAA);
    EXPECT_EQ(_SM2_decrypt(NID_prime256v1SM2, t.cipher.data(), static_cast<int>(t.cipher.size()),
                           d.get(), out.data()),
              0);
    EXPECT_EQ(out, Bytes(t.cipher.size(), 0xAA));
  }
  Bytes out(1);
  EXPECT_EQ(_SM2_decrypt(NID_prime256v1SM2, c.data(), -5, d.get(), out.data()), 0);
  EXPECT_EQ(_SM2_decrypt(NID_prime256v1SM2, nullptr, 200, d.get(), out.data()), 0);
  // An empty plaintext and a public key off the curve are refused at encryption.
  EXPECT_EQ(_SM2_encrypt(NID_prime256v1SM2, m.data(), 0, px.get(), py.get(), c.data()), 0);
  BN_add_word(py.get(), 1);
  EXPECT_EQ(_SM2_encrypt(NID_prime256v1SM2, m.data(), 20, px.get(), py.get(), c.data()), 0);
}

TEST(Sm2, BigNumberConversions) {
  unsigned char out[32];
  ASSERT_EQ(_SM2_GetBNBytes(Bn("01").get(), out), 1);
  EXPECT_EQ(ToHex(out, 32), std::string(62, '0') + "01");
  std::memset(out, 0xAA, 32);
  EXPECT_EQ(_SM2_GetBNBytes(Bn(std::string(66, 'F')).get(), out), 0);
  EXPECT_EQ(ToHex(out, 32), std::string(64, '0'));
  Bytes forty = RandomBytes(40);
  BignumPtr bn(BN_new());
  ASSERT_EQ(_SM2_Bytes2BN(forty.data(), 40, bn.get()), 1);
  EXPECT_EQ(Hex32(bn.get()), ToHex(forty.data(), 32));
  EXPECT_EQ(_SM2_IsAllZero(Bytes(5, 0).data(), 5), 1);
  EXPECT_EQ(_SM2_IsAllZero(forty.data(), 0), 1);
  EXPECT_EQ(_SM2_IsAllZero(Bytes{0, 0, 1}.data(), 3), 0);
}

TEST(Sm2, PointOnCurve) {
  KeyPair key = NewKey();
  BignumPtr x(BN_bin2bn(key.x.data(), 32, nullptr)), y(BN_bin2bn(key.y.data(), 32, nullptr));
  EXPECT_EQ(_SM2_point_is_on_curve(x.get(), y.get(), NID_prime256v1SM2), 1);
  EXPECT_EQ(_SM2_point_is_on_curve(x.get(), y.get(), NID_prime256v1SM2TEST), 0);
  EXPECT_EQ(_SM2_point_is_on_curve(x.get(), y.get(), NID_ChinaSM3), 0);
  BN_add_word(y.get(), 1);
  EXPECT_EQ(_SM2_point_is_on_curve(x.get(), y.get(), NID_prime256v1SM2), 0);
}

// --- Cross-checks against OpenSSL 3.0's own SM2 (with the default user ID set). ---

struct OpenSslKey {
  EvpPkeyPtr pkey;
  KeyPair raw;
};

OpenSslKey NewOpenSslKey() {
  OpenSslKey k;
  k.pkey.reset(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2"));
  BIGNUM *d = nullptr, *x = nullptr, *y = nullptr;
  EXPECT_EQ(EVP_PKEY_get_bn_param(k.pkey.get(), OSSL_PKEY_PARAM_PRIV_KEY, &d), 1);
  EXPECT_EQ(EVP_PKEY_get_bn_param(k.pkey.get(), OSSL_PKEY_PARAM_EC_PUB_X, &x), 1);
  EXPECT_EQ(EVP_PKEY_get_bn_param(k.pkey.get(), OSSL_PKEY_PARAM_EC_PUB_Y, &y), 1);
  BN_bn2binpad(d, k.raw.d.data(), 32);
  BN_bn2binpad(x, k.raw.x.data(), 32);
  BN_bn2binpad(y, k.raw.y.data(), 32);
  BN_clear_free(d);
  BN_free(x);
  BN_free(y);
  return k;
}

// A digest context with its key context (set with EVP_MD_CTX_set_pkey_ctx, so not owned by it).
struct OpenSslDigest {
  EvpPkeyCtxPtr pkey_ctx;
  EvpMdCtxPtr md;
  EVP_MD_CTX *get() const { return md.get(); }
};

OpenSslDigest OpenSslDigestContext(EVP_PKEY *pkey, bool sign) {
  OpenSslDigest d{EvpPkeyCtxPtr(EVP_PKEY_CTX_new(pkey, nullptr)), EvpMdCtxPtr(EVP_MD_CTX_new())};
  EXPECT_EQ(EVP_PKEY_CTX_set1_id(d.pkey_ctx.get(), kSM2DefaultUserId, 16), 1);
  EVP_MD_CTX_set_pkey_ctx(d.md.get(), d.pkey_ctx.get());
  int ok = sign ? EVP_DigestSignInit(d.md.get(), nullptr, ::EVP_sm3(), nullptr, pkey)
                : EVP_DigestVerifyInit(d.md.get(), nullptr, ::EVP_sm3(), nullptr, pkey);
  EXPECT_EQ(ok, 1);
  return d;
}

// SM3(Z || M) with the default user ID: what the system signs.
Bytes DigestWithZ(const KeyPair &key, const Bytes &m) {
  Bytes z(32);
  EXPECT_EQ(_SM2_CalculateDefaultZValue(key.x.data(), key.y.data(), z.data()), 1);
  return Sm3Of(z, m);
}

TEST(Sm2, SignaturesVerifyInOpenSslAndBack) {
  for (int round = 0; round < 10; ++round) {
    OpenSslKey key = NewOpenSslKey();
    Bytes m = RandomBytes(static_cast<size_t>(round * 37));
    Bytes e = DigestWithZ(key.raw, m), r(32), s(32);
    ASSERT_EQ(_SM2_sign_ex(e.data(), key.raw.d.data(), r.data(), s.data()), 1);
    ECDSA_SIG *sig = ECDSA_SIG_new();
    ECDSA_SIG_set0(sig, BN_bin2bn(r.data(), 32, nullptr), BN_bin2bn(s.data(), 32, nullptr));
    unsigned char *der = nullptr;
    int der_len = i2d_ECDSA_SIG(sig, &der);
    ECDSA_SIG_free(sig);
    OpenSslDigest verify = OpenSslDigestContext(key.pkey.get(), false);
    EXPECT_EQ(EVP_DigestVerify(verify.get(), der, static_cast<size_t>(der_len), m.data(), m.size()),
              1);
    OPENSSL_free(der);

    OpenSslDigest sign = OpenSslDigestContext(key.pkey.get(), true);
    unsigned char theirs[80];
    size_t theirs_len = sizeof theirs;
    ASSERT_EQ(EVP_DigestSign(sign.get(), theirs, &theirs_len, m.data(), m.size()), 1);
    const unsigned char *p = theirs;
    ECDSA_SIG *their_sig = d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(theirs_len));
    ASSERT_NE(their_sig, nullptr);
    const BIGNUM *tr = nullptr, *ts = nullptr;
    ECDSA_SIG_get0(their_sig, &tr, &ts);
    Bytes rb(32), sb(32);
    BN_bn2binpad(tr, rb.data(), 32);
    BN_bn2binpad(ts, sb.data(), 32);
    EXPECT_EQ(_SM2_verify_ex(rb.data(), sb.data(), key.raw.x.data(), key.raw.y.data(), e.data()),
              1);
    ECDSA_SIG_free(their_sig);
  }
}

// --- Cross-checks against npm's sm-crypto-v2 (C1C2C3 mode, signatures as r || s). ---

TEST(Sm2, InteropWithSmCryptoV2) {
  if (!SmCryptoV2Available()) GTEST_SKIP() << "sm-crypto-v2 not installed in .peers (scripts/setup)";
  KeyPair key = NewKey();
  std::string pub = "04" + Lower(ToHex(key.x) + ToHex(key.y));
  std::string priv = Lower(ToHex(key.d));
  Bytes m = RandomBytes(45);
  std::string mhex = Lower(ToHex(m));
  const std::string helpers =
      "const hex = (s) => Uint8Array.from(Buffer.from(s, 'hex'));\n";

  // Their signature verifies here; ours verifies there.
  std::string sig = RunSmCryptoV2(
      helpers + "console.log(sm2.doSignature(hex(a[0]), a[1], { hash: true }));", {mhex, priv});
  ASSERT_EQ(sig.size(), 128u) << sig;
  Bytes rs = FromHex(sig), e = DigestWithZ(key, m);
  EXPECT_EQ(_SM2_verify_ex(rs.data(), rs.data() + 32, key.x.data(), key.y.data(), e.data()), 1);
  Bytes r(32), s(32);
  ASSERT_EQ(_SM2_sign_ex(e.data(), key.d.data(), r.data(), s.data()), 1);
  EXPECT_EQ(RunSmCryptoV2(helpers +
                              "console.log(sm2.doVerifySignature(hex(a[0]), a[1], a[2], "
                              "{ hash: true }));",
                          {mhex, Lower(ToHex(r) + ToHex(s)), pub}),
            "true");

  // Their C1C2C3 cipher text (without the 0x04 prefix) decrypts here; ours decrypts there.
  std::string theirs = RunSmCryptoV2(
      helpers + "console.log(sm2.doEncrypt(hex(a[0]), a[1], 0));", {mhex, pub});
  Bytes c = FromHex("04" + theirs), back(m.size());
  SecretBignumPtr d(BN_bin2bn(key.d.data(), 32, nullptr));
  ASSERT_EQ(c.size(), m.size() + 97);
  ASSERT_EQ(_SM2_decrypt(NID_prime256v1SM2, c.data(), static_cast<int>(c.size()), d.get(),
                         back.data()),
            1);
  EXPECT_EQ(back, m);
  BignumPtr px(BN_bin2bn(key.x.data(), 32, nullptr)), py(BN_bin2bn(key.y.data(), 32, nullptr));
  Bytes ours(m.size() + 97);
  ASSERT_EQ(_SM2_encrypt(NID_prime256v1SM2, m.data(), static_cast<int>(m.size()), px.get(),
                         py.get(), ours.data()),
            1);
  std::string decrypted = RunSmCryptoV2(
      helpers +
          "console.log(Buffer.from(sm2.doDecrypt(a[0], a[1], 0, { output: 'array' }))"
          ".toString('hex'));",
      {Lower(ToHex(ours.data() + 1, ours.size() - 1)), priv});
  EXPECT_EQ(decrypted, mhex);
}

}  // namespace
}  // namespace kelu::test

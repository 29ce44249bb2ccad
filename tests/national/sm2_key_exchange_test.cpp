#include "SM2KeyExchange.h"

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <string>

#include "NationalObjects.h"
#include "NationalTestUtil.h"
#include "OsslPtr.h"
#include "SM2.h"
#include "SM2Arithmetic.h"
#include "SM2Keys.h"

namespace kelu::test {
namespace {

Bytes Text(const std::string &s) { return Bytes(s.begin(), s.end()); }

struct Party {
  Bytes d, x, y;     // static key
  Bytes r, rx, ry;   // ephemeral key
  Bytes z = Bytes(32);
};

Party Keys(int curve, const std::string &d, const std::string &r, const std::string &id) {
  const CurveArithmetic *a = CurveArithmeticFor(curve);
  Party p;
  p.d = FromHex(d);
  p.r = FromHex(r);
  p.x = p.y = p.rx = p.ry = Bytes(32);
  EXPECT_TRUE(a->MulBase(p.d.data(), p.x.data(), p.y.data()));
  EXPECT_TRUE(a->MulBase(p.r.data(), p.rx.data(), p.ry.data()));
  Bytes i = Text(id);
  EXPECT_EQ(_SM2_CalculateZValue_byCurve_ex(curve, i.data(), static_cast<int>(i.size()),
                                            p.x.data(), p.y.data(), p.z.data()),
            1);
  return p;
}

Party RandomParty() {
  Party p;
  p.d = p.x = p.y = p.r = p.rx = p.ry = Bytes(32);
  EXPECT_EQ(_SM2_generate_keypair(p.d.data(), p.x.data(), p.y.data()), 1);
  EXPECT_EQ(_SM2_generate_keypair(p.r.data(), p.rx.data(), p.ry.data()), 1);
  EXPECT_EQ(_SM2_CalculateDefaultZValue(p.x.data(), p.y.data(), p.z.data()), 1);
  return p;
}

// own side's key with the initiator's Z first.
Bytes Agree(int curve, const Party &own, const Party &peer, const Bytes &z1, const Bytes &z2,
            unsigned bits) {
  Bytes key(bits / 8);
  int ok = _SM2_KEP_ex(curve, own.rx.data(), own.ry.data(), own.r.data(), own.x.data(),
                       own.y.data(), own.d.data(), z1.data(), peer.rx.data(), peer.ry.data(),
                       peer.x.data(), peer.y.data(), z2.data(), bits, key.data());
  return ok == 1 ? key : Bytes{};
}

// GB/T 32918.3, the key exchange example on the 256-bit example curve.
TEST(Sm2KeyExchange, StandardExampleOnTheTestCurve) {
  const int curve = NID_prime256v1SM2TEST;
  Party a = Keys(curve, "6FCBA2EF9AE0AB902BC3BDE3FF915D44BA4CC78F88E2F8E7F8996D3B8CCEEDEE",
                 "83A2C9C8B96E5AF70BD480B472409A9A327257F1EBB73F5B073354B248668563",
                 "ALICE123@YAHOO.COM");
  Party b = Keys(curve, "5E35D7D3F3C54DBAC72E61819E730B019A84208CA3A35E4C2E353DFCCB2A3B53",
                 "33FE21940342161C55619C4A0C060293D543C80AF19748CE176D83477DE71C80",
                 "BILL456@YAHOO.COM");
  EXPECT_EQ(ToHex(a.x), "3099093BF3C137D8FCBBCDF4A2AE50F3B0F216C3122D79425FE03A45DBFE1655");
  EXPECT_EQ(ToHex(b.x), "245493D446C38D8CC0F118374690E7DF633A8A4BFB3329B5ECE604B2B4F37F43");
  EXPECT_EQ(ToHex(a.rx), "6CB5633816F4DD560B1DEC458310CBCC6856C09505324A6D23150C408F162BF0");
  EXPECT_EQ(ToHex(b.rx), "1799B2A2C778295300D9A2325C686129B8F2B5337B3DCF4514E8BBC19D900EE5");
  EXPECT_EQ(ToHex(a.z), "E4D1D0C3CA4C7F11BC8FF8CB3F4C02A78F108FA098E51A668487240F75E20F31");
  EXPECT_EQ(ToHex(b.z), "6B4B6D0E276691BD4A11BF72F4FB501AE309FDACB72FA6CC336E6656119ABD67");
  Bytes ka = Agree(curve, a, b, a.z, b.z, 128), kb = Agree(curve, b, a, a.z, b.z, 128);
  EXPECT_EQ(ToHex(kb), "55B0AC62A6B927BA23703832C853DED4");
  EXPECT_EQ(ka, kb);
}

TEST(Sm2KeyExchange, BothRolesAgreeOnTheSm2Curve) {
  Party a = RandomParty(), b = RandomParty();
  for (unsigned bits : {128u, 256u, 264u, 1000u}) {
    SCOPED_TRACE(bits);
    Bytes ka = Agree(NID_prime256v1SM2, a, b, a.z, b.z, bits);
    EXPECT_EQ(ka.size(), bits / 8);
    EXPECT_EQ(ka, Agree(NID_prime256v1SM2, b, a, a.z, b.z, bits));
  }
  // The order of the Z values matters.
  EXPECT_NE(Agree(NID_prime256v1SM2, a, b, a.z, b.z, 128), Agree(NID_prime256v1SM2, a, b, b.z, a.z, 128));
}

TEST(Sm2KeyExchange, RefusesBadPeersAndLengths) {
  Party a = RandomParty(), b = RandomParty();
  Party off = b;
  off.ry[31] ^= 1;
  EXPECT_TRUE(Agree(NID_prime256v1SM2, a, off, a.z, b.z, 128).empty());
  Party off_static = b;
  off_static.y[31] ^= 1;
  EXPECT_TRUE(Agree(NID_prime256v1SM2, a, off_static, a.z, b.z, 128).empty());
  Bytes key(16);
  EXPECT_EQ(_SM2_KEP_ex(NID_prime256v1SM2, a.rx.data(), a.ry.data(), a.r.data(), a.x.data(),
                        a.y.data(), a.d.data(), a.z.data(), b.rx.data(), b.ry.data(), b.x.data(),
                        b.y.data(), b.z.data(), 0, key.data()),
            0);
  EXPECT_EQ(_SM2_KEP_ex(NID_ChinaSM3, a.rx.data(), a.ry.data(), a.r.data(), a.x.data(),
                        a.y.data(), a.d.data(), a.z.data(), b.rx.data(), b.ry.data(), b.x.data(),
                        b.y.data(), b.z.data(), 128, key.data()),
            0);
}

TEST(Sm2KeyExchange, Helpers) {
  BignumPtr x(BN_new()), out(BN_new());
  BN_set_bit(x.get(), 200);
  BN_add_word(x.get(), 5);
  ASSERT_EQ(_SM2_KEP_calculate_xDash(out.get(), x.get(), 127), 1);
  BignumPtr want(BN_new());
  BN_set_bit(want.get(), 127);
  BN_add_word(want.get(), 5);
  EXPECT_EQ(BN_cmp(out.get(), want.get()), 0);
  int count = 0;
  BN_set_word(x.get(), 256);
  ASSERT_EQ(_SM2_log2n(x.get(), &count), 1);
  EXPECT_EQ(count, 8);
  BN_set_word(x.get(), 257);
  ASSERT_EQ(_SM2_log2n(x.get(), &count), 1);
  EXPECT_EQ(count, 9);
  BN_set_word(x.get(), 1);
  EXPECT_EQ(_SM2_log2n(x.get(), &count), 0);
  BignumPtr a(BN_new()), b(BN_new());
  BN_set_word(a.get(), 0xF0F0);
  BN_set_word(b.get(), 0x0FF0);
  ASSERT_EQ(_SM2_BNBitAND(out.get(), a.get(), b.get()), 1);
  EXPECT_EQ(BN_get_word(out.get()), 0x00F0u);
}

EvpPkeyPtr Sm2Key() { return EvpPkeyPtr(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2")); }

EcPointPtr PointOf(const EVP_PKEY *key) {
  unsigned char x[32], y[32];
  EXPECT_EQ(SM2_GetPublicKeyBytes(key, x, y), 1);
  const EC_GROUP *group = CurveArithmeticFor(NID_prime256v1SM2)->group();
  EcPointPtr p(EC_POINT_new(group));
  BignumPtr bx(BN_bin2bn(x, 32, nullptr)), by(BN_bin2bn(y, 32, nullptr));
  EXPECT_EQ(EC_POINT_set_affine_coordinates(group, p.get(), bx.get(), by.get(), nullptr), 1);
  return p;
}

TEST(Sm2KeyExchange, LibraryKeysAndPoints) {
  EvpPkeyPtr a = Sm2Key(), ae = Sm2Key(), b = Sm2Key(), be = Sm2Key();
  unsigned char ka[16], kb[16];
  ASSERT_EQ(sm2kep_compute_key(ka, 16, PointOf(be.get()).get(), PointOf(b.get()).get(), ae.get(),
                               a.get(), 1),
            1);
  ASSERT_EQ(sm2kep_compute_key(kb, 16, PointOf(ae.get()).get(), PointOf(a.get()).get(), be.get(),
                               b.get(), 0),
            1);
  EXPECT_EQ(ToHex(ka, 16), ToHex(kb, 16));
  EXPECT_EQ(sm2kep_compute_key(ka, 16, PointOf(be.get()).get(), PointOf(b.get()).get(), ae.get(),
                               nullptr, 1),
            0);
  // An own key without its private part (the public key alone, as a certificate gives it).
  unsigned char *der = nullptr;
  int der_len = i2d_PUBKEY(a.get(), &der);
  ASSERT_GT(der_len, 0);
  const unsigned char *p = der;
  EvpPkeyPtr public_only(d2i_PUBKEY(nullptr, &p, der_len));
  OPENSSL_free(der);
  ASSERT_TRUE(public_only);
  ERR_clear_error();
  EXPECT_EQ(sm2kep_compute_key(ka, 16, PointOf(be.get()).get(), PointOf(b.get()).get(), ae.get(),
                               public_only.get(), 1),
            0);
  EXPECT_EQ(ERR_GET_REASON(ERR_get_error()), EC_R_NO_PRIVATE_VALUE);
  EXPECT_EQ(ERR_get_error(), 0u) << "only the exchange's own error is queued";
}

TEST(Sm2KeyExchange, InteropWithSmCryptoV2) {
  if (!SmCryptoV2Available()) GTEST_SKIP() << "sm-crypto-v2 not installed in .peers (scripts/setup)";
  Party a = RandomParty(), b = RandomParty();
  auto pub = [](const Bytes &x, const Bytes &y) { return "04" + Lower(ToHex(x) + ToHex(y)); };
  // The peer computes B's key as the responder and A's key as the initiator, 32 bytes each,
  // with the default user ID on both sides.
  const std::string script =
      "const kp = (d, p) => ({ privateKey: d, publicKey: p });\n"
      "const role = a[0] === 'responder';\n"
      "const k = sm2.calculateSharedKey(kp(a[1], a[2]), kp(a[3], a[4]), a[5], a[6], 32, role);\n"
      "console.log(Buffer.from(k).toString('hex'));";
  std::string theirs_b = RunSmCryptoV2(
      script, {"responder", Lower(ToHex(b.d)), pub(b.x, b.y), Lower(ToHex(b.r)), pub(b.rx, b.ry),
               pub(a.x, a.y), pub(a.rx, a.ry)});
  std::string theirs_a = RunSmCryptoV2(
      script, {"initiator", Lower(ToHex(a.d)), pub(a.x, a.y), Lower(ToHex(a.r)), pub(a.rx, a.ry),
               pub(b.x, b.y), pub(b.rx, b.ry)});
  Bytes ours = Agree(NID_prime256v1SM2, a, b, a.z, b.z, 256);
  EXPECT_EQ(Lower(ToHex(ours)), theirs_b);
  EXPECT_EQ(Lower(ToHex(ours)), theirs_a);
}

}  // namespace
}  // namespace kelu::test

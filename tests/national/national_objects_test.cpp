#include "NationalObjects.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>

#include <string>

#include "NationalEvp.h"
#include "NationalTestUtil.h"
#include "OsslPtr.h"
#include "SM3.h"
#include "SMKernel.h"
#include "SMRegistration.h"

namespace kelu::test {
namespace {

struct Row {
  int id;
  const char *sn;
  const char *ln;
  const char *oid;
  const char *der;
  int library_nid;  // the library's own object, or 0 where the system creates one
};

const Row kRows[] = {
    {920, "ChinaSM2256", "prime256v1SM2", "1.2.156.10197.1.301", "2A811CCF5501822D", NID_sm2},
    {921, "ChinaSM2TEST256", "prime256v1SM2TEST", "1.2.156.10197.1.888", "2A811CCF55018678", 0},
    {922, "sm3", "ChinaSM3", "1.2.156.10197.1.401", "2A811CCF55018311", NID_sm3},
    {923, "sm4-cbc", "ChinaSM4-CBC", "1.2.156.10197.1.104", "2A811CCF550168", 0},
    {924, "sm2-sm3", "ChinaSM2withSM3", "1.2.156.10197.1.501", "2A811CCF55018375",
     NID_SM2_with_SM3},
    {925, "sm1-cbc", "ChinaSM1-CBC", "1.2.156.10197.1.102", "2A811CCF550166", 0},
    {926, "zuc", "ChinaZUC", "1.2.156.10197.1.105", "2A811CCF550169", 0},
    {927, "sm2-sm3-pkcs7", "ChinaSM2withSM3PKCS7", "1.2.156.10197.1.301.1", "2A811CCF5501822D01",
     0},
    {928, "sm-pkcs7-data", "SM-pkcs7-data", "1.2.156.10197.6.1.4.2.1", "2A811CCF550601040201", 0},
    {930, "sm-pkcs7-signedData", "SM-pkcs7-signed", "1.2.156.10197.6.1.4.2.2",
     "2A811CCF550601040202", 0},
};

class NationalObjectsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(SMKernelInitialize(), 0);
    ASSERT_EQ(g_InitState, 2);
  }
  void TearDown() override { SMKernelUninitialize(); }
};

std::string DottedText(const ASN1_OBJECT *obj) {
  char buf[128];
  int n = OBJ_obj2txt(buf, sizeof buf, obj, 1);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

TEST_F(NationalObjectsTest, EachIdentifierMapsToItsOidAndLibraryNidAndBack) {
  for (const Row &row : kRows) {
    SCOPED_TRACE(row.id);
    const NationalObject *obj = FindNationalObject(row.id);
    ASSERT_NE(obj, nullptr);
    EXPECT_STREQ(obj->short_name, row.sn);
    EXPECT_STREQ(obj->long_name, row.ln);
    EXPECT_STREQ(obj->oid, row.oid);
    EXPECT_EQ(NationalIdFromText(row.oid), row.id);
    EXPECT_EQ(NationalIdFromText(row.sn), row.id);
    EXPECT_EQ(NationalIdFromText(row.ln), row.id);

    int nid = ToLibraryNid(row.id);
    ASSERT_NE(nid, NID_undef);
    if (row.library_nid != 0) EXPECT_EQ(nid, row.library_nid);
    else EXPECT_GT(nid, NID_SM2_with_SM3);  // created: beyond the library's built-in objects
    EXPECT_EQ(ToToolkitNid(nid), row.id);

    // The library's object has this OID, and the library encodes it as the table's octets.
    const ASN1_OBJECT *library_obj = OBJ_nid2obj(nid);
    ASSERT_NE(library_obj, nullptr);
    EXPECT_EQ(DottedText(library_obj), row.oid);
    EXPECT_EQ(OBJ_txt2nid(row.oid), nid);
    std::string der = ToHex(OBJ_get0_data(library_obj), OBJ_length(library_obj));
    EXPECT_EQ(der, ToHex(obj->der, obj->der_length));
    EXPECT_EQ(der, row.der);
  }
}

TEST_F(NationalObjectsTest, SlotOf929AndUnknownNumbersAreEmpty) {
  EXPECT_EQ(FindNationalObject(929), nullptr);
  EXPECT_EQ(ToLibraryNid(929), NID_undef);
  EXPECT_EQ(FindNationalObject(919), nullptr);
  EXPECT_EQ(FindNationalObject(931), nullptr);
  EXPECT_EQ(NationalIdFromText("1.2.156.10197.1.104.2"), 0);
  EXPECT_EQ(NationalIdFromText(nullptr), 0);
  // The library's own objects numbered 920-930 (920 is dhpublicnumber there) have no toolkit
  // identifier; numbers below 920 are the same in both.
  for (int nid = 920; nid <= 930; ++nid) EXPECT_EQ(ToToolkitNid(nid), 0) << nid;
  for (int nid : {4, 64, 408, 672}) {
    EXPECT_EQ(ToLibraryNid(nid), nid);
    EXPECT_EQ(ToToolkitNid(nid), nid);
  }
  EXPECT_EQ(ToToolkitNid(NID_undef), 0);
}

// The library's lookups by its own names keep finding its own objects and algorithms.
TEST_F(NationalObjectsTest, LibraryNamesStillFindTheLibrarysOwnEntries) {
  EXPECT_EQ(OBJ_txt2nid("sm4-cbc"), NID_sm4_cbc);
  EXPECT_EQ(OBJ_txt2nid("SM3"), NID_sm3);
  EXPECT_EQ(OBJ_txt2nid("sm3"), NID_sm3);
  EXPECT_EQ(EVP_get_cipherbyname("sm4-cbc"), ::EVP_sm4_cbc());
  EXPECT_EQ(EVP_get_cipherbyname("SM4-CBC"), ::EVP_sm4_cbc());
  EXPECT_EQ(EVP_get_cipherbynid(NID_sm4_cbc), ::EVP_sm4_cbc());
  EXPECT_EQ(EVP_get_digestbyname("sm3"), ::EVP_sm3());
  EXPECT_EQ(EVP_get_digestbynid(NID_sm3), ::EVP_sm3());
  EXPECT_EQ(EVP_get_digestbynid(NID_SM2_with_SM3), nullptr);
  EXPECT_EQ(EVP_get_digestbyname("SM2-SM3"), nullptr);
}

TEST_F(NationalObjectsTest, SystemFindsItsAlgorithmsByIdentifier) {
  EXPECT_EQ(NationalDigest(922), kelu::EVP_sm3());
  EXPECT_EQ(NationalCipher(923), kelu::EVP_sm4_cbc());
  EXPECT_EQ(NationalCipher(926), kelu::EVP_zuc());
  EXPECT_EQ(NationalCipher(925), nullptr);  // SM1 has no algorithm behind it
  EXPECT_EQ(NationalDigest(1143), nullptr);
  EXPECT_EQ(EVP_MD_get_type(kelu::EVP_sm3()), ToLibraryNid(922));
  EXPECT_EQ(EVP_MD_get_pkey_type(kelu::EVP_sm3()), ToLibraryNid(924));
  EXPECT_EQ(EVP_CIPHER_get_nid(kelu::EVP_sm4_cbc()), ToLibraryNid(923));
  EXPECT_EQ(EVP_CIPHER_get_nid(kelu::EVP_zuc()), ToLibraryNid(926));
}

TEST_F(NationalObjectsTest, LibraryFindsTheSystemsAlgorithmsUnderFreeNames) {
  EXPECT_EQ(EVP_get_cipherbyname("ChinaSM4-CBC"), kelu::EVP_sm4_cbc());
  EXPECT_EQ(EVP_get_cipherbynid(ToLibraryNid(923)), kelu::EVP_sm4_cbc());
  EXPECT_EQ(EVP_get_cipherbyname("zuc"), kelu::EVP_zuc());
  EXPECT_EQ(EVP_get_cipherbyname("ChinaZUC"), kelu::EVP_zuc());
  EXPECT_EQ(EVP_get_cipherbynid(ToLibraryNid(926)), kelu::EVP_zuc());
  Bytes data = RandomBytes(100);
  Bytes md(32);
  SM3(data.data(), data.size(), md.data());
  for (const char *name : {"ChinaSM3", "ChinaSM2withSM3", "tls1-sm3"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(EVP_get_digestbyname(name), kelu::EVP_sm3());
    EXPECT_EQ(EvpDigest(EVP_get_digestbyname(name), data), md);
  }
  EXPECT_EQ(EvpDigest(NationalDigest(922), data), md);
}

TEST_F(NationalObjectsTest, CurveGroupsHaveTheTableParameters) {
  for (int id : {NID_prime256v1SM2, NID_prime256v1SM2TEST}) {
    SCOPED_TRACE(id);
    const NationalCurve *curve = FindNationalCurve(id);
    ASSERT_NE(curve, nullptr);
    EcGroupPtr group(NationalCurveGroup(id));
    ASSERT_TRUE(group);
    EXPECT_EQ(NationalCurveId(group.get()), id);
    EXPECT_EQ(EC_GROUP_get_curve_name(group.get()), ToLibraryNid(id));

    BnCtxPtr ctx(BN_CTX_new());
    BignumPtr p(BN_new()), a(BN_new()), b(BN_new()), x(BN_new()), y(BN_new());
    ASSERT_EQ(EC_GROUP_get_curve(group.get(), p.get(), a.get(), b.get(), ctx.get()), 1);
    const EC_POINT *g = EC_GROUP_get0_generator(group.get());
    ASSERT_EQ(EC_POINT_get_affine_coordinates(group.get(), g, x.get(), y.get(), ctx.get()), 1);
    auto hex = [](const BIGNUM *bn) {
      char *text = BN_bn2hex(bn);
      std::string s(text);
      OPENSSL_free(text);
      return s;
    };
    EXPECT_EQ(hex(p.get()), curve->p);
    EXPECT_EQ(hex(a.get()), curve->a);
    EXPECT_EQ(hex(b.get()), curve->b);
    EXPECT_EQ(hex(x.get()), curve->gx);
    EXPECT_EQ(hex(y.get()), curve->gy);
    EXPECT_EQ(hex(EC_GROUP_get0_order(group.get())), curve->n);
    EXPECT_TRUE(BN_is_one(EC_GROUP_get0_cofactor(group.get())));

    EXPECT_EQ(EC_POINT_is_on_curve(group.get(), g, ctx.get()), 1);
    EcPointPtr ng(EC_POINT_new(group.get()));
    ASSERT_EQ(EC_POINT_mul(group.get(), ng.get(), nullptr, g, EC_GROUP_get0_order(group.get()),
                           ctx.get()),
              1);
    EXPECT_EQ(EC_POINT_is_at_infinity(group.get(), ng.get()), 1);
  }
  EXPECT_EQ(NationalCurveGroup(922), nullptr);
  EcGroupPtr p256(EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1));
  EXPECT_EQ(NationalCurveId(p256.get()), 0);
}

TEST_F(NationalObjectsTest, SignatureAlgorithmRow) {
  int digest = 0, key = 0;
  ASSERT_EQ(NationalSignatureAlgorithms(924, &digest, &key), 1);
  EXPECT_EQ(digest, 922);
  EXPECT_EQ(key, 408);
  EXPECT_EQ(NationalSignatureId(922, 408), 924);
  EXPECT_EQ(NationalSignatureAlgorithms(923, &digest, &key), 0);
  EXPECT_EQ(NationalSignatureId(922, 1172), 0);
}

// Start, stop and start again: nothing is created twice, nothing is left on the error queue,
// and the national entries are found again.
TEST_F(NationalObjectsTest, RestartCreatesNoDuplicatesAndLeavesNoErrors) {
  ERR_clear_error();
  int next_nid = OBJ_new_nid(0);
  int sm4_nid = ToLibraryNid(923);
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    ASSERT_EQ(SMKernelUninitialize(), 0);
    EXPECT_EQ(g_InitState, 0);
    ASSERT_EQ(SMKernelInitialize(), 0);
    EXPECT_EQ(g_InitState, 2);
    EXPECT_EQ(RegisterNationalAlgorithms(), 1);
    EXPECT_EQ(EnsureNationalObjects(), 1);
    EXPECT_EQ(ERR_peek_error(), 0u);
    EXPECT_EQ(OBJ_new_nid(0), next_nid);
    EXPECT_EQ(ToLibraryNid(923), sm4_nid);
    EXPECT_EQ(EVP_get_cipherbyname("ChinaSM4-CBC"), kelu::EVP_sm4_cbc());
    EXPECT_EQ(EVP_get_digestbyname("ChinaSM3"), kelu::EVP_sm3());
  }
}

}  // namespace
}  // namespace kelu::test

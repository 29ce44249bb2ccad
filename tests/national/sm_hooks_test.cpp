// SM2-signed certificates in the crypto library's own chain check.
#include <gtest/gtest.h>
#include <openssl/asn1t.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <string>
#include <vector>

#include "OsslPtr.h"
#include "SMHooks.h"
#include "TestPki.h"

namespace kelu {
namespace {

using test::SharedPki;

X509Ptr LoadCert(const test::TestPki &pki, const std::string &name) {
  test::FilePtr f = test::OpenForReading(pki.Pem(name));
  return X509Ptr(PEM_read_X509(f.get(), nullptr, nullptr, nullptr));
}

// X509_verify_cert of target against a store of the trusted certificates; the library's error
// code (0 when it passes).
int ChainError(const test::TestPki &pki, const std::string &target,
               const std::vector<std::string> &trusted, bool prepare) {
  X509StorePtr store(X509_STORE_new());
  for (const std::string &name : trusted)
    X509_STORE_add_cert(store.get(), LoadCert(pki, name).get());
  X509Ptr x = LoadCert(pki, target);
  if (prepare) {
    EXPECT_EQ(PrepareSM2ChainVerification(store.get(), x.get()), 1);
  }
  X509StoreCtxPtr ctx(X509_STORE_CTX_new());
  EXPECT_EQ(X509_STORE_CTX_init(ctx.get(), store.get(), x.get(), nullptr), 1);
  int ok = X509_verify_cert(ctx.get());
  int error = X509_STORE_CTX_get_error(ctx.get());
  ERR_clear_error();
  return ok == 1 ? 0 : (error != 0 ? error : -1);
}

TEST(SMHooks, SM2ChainVerifiesOnlyWithTheDefaultId) {
  const test::TestPki &pki = SharedPki();
  const std::vector<std::string> sm2_chain = {"sm2-root", "sm2-int"};
  EXPECT_EQ(ChainError(pki, "sm2-leaf", sm2_chain, true), 0);
  EXPECT_EQ(ChainError(pki, "sm2-int", {"sm2-root"}, true), 0);
  // Left to the library's empty ID the SM2 signatures do not verify.
  EXPECT_EQ(ChainError(pki, "sm2-leaf", sm2_chain, false), X509_V_ERR_CERT_SIGNATURE_FAILURE);
  EXPECT_EQ(ChainError(pki, "sm2-int", {"sm2-root"}, false), X509_V_ERR_CERT_SIGNATURE_FAILURE);
  // RSA certificates are left as they are and verify the same either way.
  EXPECT_EQ(ChainError(pki, "rsa-leaf", {"rsa-root", "rsa-int"}, true), 0);
  EXPECT_EQ(ChainError(pki, "rsa-leaf", {"rsa-root", "rsa-int", "sm2-root", "sm2-int"}, true), 0);
}

TEST(SMHooks, OtherIdsAndOtherCurves) {
  test::TempDir dir;
  test::TestPki pki(dir.path());
  test::CertSpec root;
  root.key_file = SharedPki().Key("sm2-root");
  root.extensions = test::kCaExtensions;
  pki.AddRoot("root", root);
  struct IdCase {
    const char *name;
    const char *distid;
    int want;
  };
  const IdCase cases[] = {{"default-id", "1234567812345678", 0},
                          {"alice-id", "ALICE123@YAHOO.COM", X509_V_ERR_CERT_SIGNATURE_FAILURE},
                          {"empty-id", "", X509_V_ERR_CERT_SIGNATURE_FAILURE}};
  for (const IdCase &c : cases) {
    SCOPED_TRACE(c.name);
    test::CertSpec leaf;
    leaf.key_file = SharedPki().Key("sm2-leaf");
    leaf.extensions = test::kLeafSignExtensions;
    leaf.distid = c.distid;
    pki.Issue(c.name, "root", leaf);
    EXPECT_EQ(ChainError(pki, c.name, {"root"}, true), c.want);
  }
  // ECDSA on prime256v1 takes no Z step.
  test::CertSpec ec;
  ec.alg = test::KeyAlg::kEC256;
  ec.extensions = test::kCaExtensions;
  pki.AddRoot("ec-root", ec);
  ec.extensions = test::kLeafSignExtensions;
  pki.Issue("ec-leaf", "ec-root", ec);
  EXPECT_EQ(ChainError(pki, "ec-leaf", {"ec-root"}, true), 0);
  EXPECT_FALSE(IsSM2SignedCertificate(LoadCert(pki, "ec-leaf").get()));
}

TEST(SMHooks, OnlySM2SignedCertificatesGetTheId) {
  X509Ptr sm2 = LoadCert(SharedPki(), "sm2-leaf");
  X509Ptr rsa = LoadCert(SharedPki(), "rsa-leaf");
  EXPECT_TRUE(IsSM2SignedCertificate(sm2.get()));
  EXPECT_FALSE(IsSM2SignedCertificate(rsa.get()));
  EXPECT_FALSE(IsSM2SignedCertificate(nullptr));
  ASSERT_EQ(SetSM2DefaultIdIfSM2Signed(sm2.get()), 1);
  ASSERT_EQ(SetSM2DefaultIdIfSM2Signed(rsa.get()), 1);
  ASN1_OCTET_STRING *id = X509_get0_distinguishing_id(sm2.get());
  ASSERT_NE(id, nullptr);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(ASN1_STRING_get0_data(id)),
                        static_cast<size_t>(ASN1_STRING_length(id))),
            "1234567812345678");
  EXPECT_EQ(X509_get0_distinguishing_id(rsa.get()), nullptr);
  // Setting it twice replaces the first.
  EXPECT_EQ(SetSM2DefaultIdIfSM2Signed(sm2.get()), 1);
  EXPECT_EQ(SetSM2DefaultIdIfSM2Signed(nullptr), 0);
  EXPECT_EQ(PrepareSM2ChainVerification(nullptr, sm2.get()), 0);
}

// Independent check of what the default ID means: the leaf's signature is the SM2 signature of
// SM3(Z || to-be-signed DER), Z computed here from the curve and the issuer's key.
TEST(SMHooks, SignatureIsOverZWithTheDefaultId) {
  X509Ptr leaf = LoadCert(SharedPki(), "sm2-leaf");
  X509Ptr issuer = LoadCert(SharedPki(), "sm2-int");
  EvpPkeyPtr key(X509_get_pubkey(issuer.get()));
  ASSERT_TRUE(key);

  EcGroupPtr group(EC_GROUP_new_by_curve_name(NID_sm2));
  BignumPtr p(BN_new()), a(BN_new()), b(BN_new()), gx(BN_new()), gy(BN_new());
  ASSERT_EQ(EC_GROUP_get_curve(group.get(), p.get(), a.get(), b.get(), nullptr), 1);
  ASSERT_EQ(EC_POINT_get_affine_coordinates(group.get(), EC_GROUP_get0_generator(group.get()),
                                            gx.get(), gy.get(), nullptr),
            1);
  BIGNUM *raw_x = nullptr, *raw_y = nullptr;
  ASSERT_EQ(EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_EC_PUB_X, &raw_x), 1);
  ASSERT_EQ(EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_EC_PUB_Y, &raw_y), 1);
  BignumPtr px(raw_x), py(raw_y);

  const std::string id = "1234567812345678";
  std::vector<uint8_t> z_input = {0x00, 0x80};  // the ID's length in bits
  z_input.insert(z_input.end(), id.begin(), id.end());
  for (const BIGNUM *v : {a.get(), b.get(), gx.get(), gy.get(), px.get(), py.get()}) {
    uint8_t buf[32];
    ASSERT_EQ(BN_bn2binpad(v, buf, 32), 32);
    z_input.insert(z_input.end(), buf, buf + 32);
  }
  uint8_t z[32];
  unsigned int n = 0;
  ASSERT_EQ(EVP_Digest(z_input.data(), z_input.size(), z, &n, EVP_sm3(), nullptr), 1);

  unsigned char *tbs = nullptr;
  int tbs_len = i2d_re_X509_tbs(leaf.get(), &tbs);
  ASSERT_GT(tbs_len, 0);
  std::vector<uint8_t> message(z, z + 32);
  message.insert(message.end(), tbs, tbs + tbs_len);
  OPENSSL_free(tbs);
  uint8_t e[32];
  ASSERT_EQ(EVP_Digest(message.data(), message.size(), e, &n, EVP_sm3(), nullptr), 1);

  const ASN1_BIT_STRING *sig = nullptr;
  X509_get0_signature(&sig, nullptr, leaf.get());
  EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(key.get(), nullptr));
  ASSERT_EQ(EVP_PKEY_verify_init(ctx.get()), 1);
  EXPECT_EQ(EVP_PKEY_verify(ctx.get(), ASN1_STRING_get0_data(sig),
                            static_cast<size_t>(ASN1_STRING_length(sig)), e, sizeof e),
            1);
  e[0] ^= 1;
  EXPECT_NE(EVP_PKEY_verify(ctx.get(), ASN1_STRING_get0_data(sig),
                            static_cast<size_t>(ASN1_STRING_length(sig)), e, sizeof e),
            1);
  ERR_clear_error();
}

// The key-file item against DER that the openssl command line builds from a description.
TEST(SMHooks, PfxSM2ItemReadsAndWritesTheKeyFileLayout) {
  const test::Bytes cert = SharedPki().DerBytes("sm2-leaf");
  const std::string key_hex = "00112233445566778899AABBCCDDEEFF00112233445566778899AABBCCDDEEFF"
                              "0F0E0D0C0B0A09080706050403020100";
  test::TempDir dir;
  test::WriteTextFile(dir.File("pfx.cnf"),
                      "asn1 = SEQUENCE:pfx\n"
                      "[ pfx ]\nversion = INTEGER:1\nprivate = SEQUENCE:private\n"
                      "public = SEQUENCE:public\n"
                      "[ private ]\nid = OID:1.2.156.10197.6.1.4.2.1\n"
                      "alg = OID:1.2.156.10197.1.104\n"
                      "key = FORMAT:HEX,OCTETSTRING:" + key_hex + "\n"
                      "[ public ]\nid = OID:1.2.156.10197.6.1.4.2.1\n"
                      "cert = FORMAT:HEX,OCTETSTRING:" + test::ToHex(cert) + "\n");
  test::CommandResult r =
      test::RunCommand("openssl asn1parse -noout -genconf " + test::ShellQuote(dir.File("pfx.cnf")) +
                       " -out " + test::ShellQuote(dir.File("pfx.der")));
  ASSERT_EQ(r.exit_code, 0) << r.output;
  const test::Bytes der = test::ReadBinaryFile(dir.File("pfx.der"));

  EXPECT_STREQ(ASN1_ITEM_rptr(PFX_SM2)->sname, "PFX_SM2");
  const unsigned char *p = der.data();
  std::unique_ptr<PFX_SM2, Deleter<PFX_SM2_free>> pfx(
      d2i_PFX_SM2(nullptr, &p, static_cast<long>(der.size())));
  ASSERT_NE(pfx, nullptr);
  EXPECT_EQ(ASN1_INTEGER_get(pfx->version), 1);
  char oid[64];
  OBJ_obj2txt(oid, sizeof oid, pfx->privateData->dataEncryptedAlg, 1);
  EXPECT_STREQ(oid, "1.2.156.10197.1.104");
  OBJ_obj2txt(oid, sizeof oid, pfx->publicData->dataID, 1);
  EXPECT_STREQ(oid, "1.2.156.10197.6.1.4.2.1");
  const ASN1_OCTET_STRING *key = pfx->privateData->encryptedSM2PrivateKey;
  EXPECT_EQ(test::ToHex(ASN1_STRING_get0_data(key), static_cast<size_t>(ASN1_STRING_length(key))),
            key_hex);
  const ASN1_OCTET_STRING *c = pfx->publicData->SM2Certificate;
  EXPECT_EQ(test::Bytes(ASN1_STRING_get0_data(c), ASN1_STRING_get0_data(c) + ASN1_STRING_length(c)),
            cert);
  unsigned char *out = nullptr;
  int out_len = i2d_PFX_SM2(pfx.get(), &out);
  ASSERT_GT(out_len, 0);
  EXPECT_EQ(test::Bytes(out, out + out_len), der);
  OPENSSL_free(out);

  // From a library I/O object, and the parts on their own.
  BioPtr bio(BIO_new_mem_buf(der.data(), static_cast<int>(der.size())));
  std::unique_ptr<PFX_SM2, Deleter<PFX_SM2_free>> from_bio(d2i_SM2_PFX_bio(bio.get(), nullptr));
  ASSERT_NE(from_bio, nullptr);
  EXPECT_EQ(ASN1_STRING_cmp(from_bio->publicData->SM2Certificate, c), 0);
  out = nullptr;
  out_len = i2d_PFX_SM2_PUBLIC_DATA(pfx->publicData, &out);
  ASSERT_GT(out_len, 0);
  p = out;
  std::unique_ptr<PFX_SM2_PUBLIC_DATA, Deleter<PFX_SM2_PUBLIC_DATA_free>> pub(
      d2i_PFX_SM2_PUBLIC_DATA(nullptr, &p, out_len));
  OPENSSL_free(out);
  ASSERT_NE(pub, nullptr);
  EXPECT_EQ(ASN1_STRING_cmp(pub->SM2Certificate, c), 0);
  std::unique_ptr<PFX_SM2_PRIVATE_DATA, Deleter<PFX_SM2_PRIVATE_DATA_free>> fresh(
      PFX_SM2_PRIVATE_DATA_new());
  ASSERT_NE(fresh, nullptr);

  // Truncated DER, and a stream without one.
  p = der.data();
  EXPECT_EQ(d2i_PFX_SM2(nullptr, &p, static_cast<long>(der.size() - 1)), nullptr);
  BioPtr junk(BIO_new_mem_buf("junk", 4));
  EXPECT_EQ(d2i_SM2_PFX_bio(junk.get(), nullptr), nullptr);
  ERR_clear_error();
}

}  // namespace
}  // namespace kelu

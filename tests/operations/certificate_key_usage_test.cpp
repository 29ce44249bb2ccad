// The key-usage check on certificate objects and on certificate bytes.
#include <gtest/gtest.h>
#include <openssl/err.h>

#include <string>

#include "CertificateOperations.h"
#include "KeluErrors.h"
#include "OsslPtr.h"
#include "TestPki.h"

namespace kelu {
namespace {

using test::SharedPki;

constexpr unsigned kSign = CERT_KEY_USAGE_DIGITAL_SIGNATURE;
constexpr unsigned kEnc = CERT_KEY_USAGE_KEY_ENCIPHERMENT;

struct UsageCase {
  const char *cert;
  unsigned bits;
  bool all;
  int want;
};

const UsageCase kUsageCases[] = {
    // digitalSignature + nonRepudiation
    {"ku-sign", kSign, true, KELU_OK},
    {"ku-sign", kEnc, true, KELU_ERR_KEY_USAGE},
    {"ku-sign", kSign | kEnc, true, KELU_ERR_KEY_USAGE},
    {"ku-sign", kSign | kEnc, false, KELU_OK},
    // keyEncipherment only
    {"ku-enc", kSign, true, KELU_ERR_KEY_USAGE},
    {"ku-enc", kEnc, true, KELU_OK},
    {"ku-enc", kSign | kEnc, false, KELU_OK},
    {"ku-enc", kSign, false, KELU_ERR_KEY_USAGE},
    // both
    {"ku-both", kSign | kEnc, true, KELU_OK},
    {"ku-both", kSign, true, KELU_OK},
    // no keyUsage extension: the library's word reads all ones, which must not pass
    {"ku-none", kSign, true, KELU_ERR_KEY_USAGE},
    {"ku-none", kSign | kEnc, false, KELU_ERR_KEY_USAGE},
    {"rsa-v1", kSign, true, KELU_ERR_KEY_USAGE},
    {"rsa-v1", kEnc, false, KELU_ERR_KEY_USAGE},
    // a CA with keyCertSign and cRLSign only
    {"sm2-int", kSign, false, KELU_ERR_KEY_USAGE},
};

TEST(CertificateKeyUsage, TableOnObjectsAndOnBytes) {
  for (const UsageCase &c : kUsageCases) {
    SCOPED_TRACE(std::string(c.cert) + " bits " + std::to_string(c.bits) +
                 (c.all ? " all" : " one of"));
    test::Bytes pem = SharedPki().PemBytes(c.cert);
    test::Bytes der = SharedPki().DerBytes(c.cert);
    EXPECT_EQ(CheckCertKeyUsage(pem.data(), static_cast<int>(pem.size()), c.bits, c.all), c.want);
    EXPECT_EQ(CheckCertKeyUsage(der.data(), static_cast<int>(der.size()), c.bits, c.all), c.want);
    X509 *raw = nullptr;
    ASSERT_EQ(ConvertCertDataToX509(der.data(), static_cast<int>(der.size()), &raw), KELU_OK);
    X509Ptr x(raw);
    EXPECT_EQ(CheckX509KeyUsage(x.get(), c.bits, c.all), c.want);
  }
}

TEST(CertificateKeyUsage, WhatIsNoCertificate) {
  const unsigned char junk[] = "not a certificate";
  EXPECT_EQ(CheckCertKeyUsage(junk, sizeof junk, kSign, true), KELU_ERR_FAILED);
  EXPECT_EQ(CheckCertKeyUsage(nullptr, 10, kSign, true), KELU_ERR_FAILED);
  EXPECT_EQ(CheckX509KeyUsage(nullptr, kSign, true), KELU_ERR_FAILED);
  // A certificate whose extensions do not decode (a keyUsage that is no BIT STRING).
  X509Ptr x(X509_new());
  ASN1_OCTET_STRING *bad = ASN1_OCTET_STRING_new();
  const unsigned char not_bits[] = {0x05, 0x00};
  ASN1_OCTET_STRING_set(bad, not_bits, sizeof not_bits);
  X509_EXTENSION *ext = X509_EXTENSION_create_by_NID(nullptr, NID_key_usage, 1, bad);
  ASN1_OCTET_STRING_free(bad);
  ASSERT_NE(ext, nullptr);
  X509_add_ext(x.get(), ext, -1);
  X509_EXTENSION_free(ext);
  EXPECT_EQ(CheckX509KeyUsage(x.get(), kSign, true), KELU_ERR_FAILED);
  ERR_clear_error();
}

}  // namespace
}  // namespace kelu

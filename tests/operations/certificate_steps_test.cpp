// The step lines of the certificate operations, read back from a captured log.
#include <gtest/gtest.h>
#include <openssl/asn1.h>
#include <openssl/err.h>

#include <cstring>
#include <string>

#include "CertificateOperations.h"
#include "KeluErrors.h"
#include "LogCapture.h"
#include "OsslPtr.h"
#include "SMKernel.h"
#include "TestPki.h"

namespace kelu {
namespace {

using test::LogCapture;
using test::SharedPki;

class CertificateSteps : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_EQ(SMKernelInitialize(), 0);
    SharedPki();
  }
  void TearDown() override { ERR_clear_error(); }

  static X509Ptr Load(const std::string &name) {
    test::Bytes der = SharedPki().DerBytes(name);
    X509 *x = nullptr;
    EXPECT_EQ(ConvertCertDataToX509(der.data(), static_cast<int>(der.size()), &x), KELU_OK);
    return X509Ptr(x);
  }
  LogCapture log_;
};

TEST_F(CertificateSteps, CertificateBytes) {
  const unsigned char junk[] = "neither PEM nor DER";
  X509 *x = nullptr;
  log_.Take();
  ASSERT_EQ(ConvertCertDataToX509(junk, sizeof junk, &x), KELU_ERR_FAILED);
  EXPECT_TRUE(log_.Contains("(ConvertCertDataToX509 -- d2i_X509_bio)\t\t--Failed:(0xffffffff) "
                            "[Reason:NULL == pX509Cert] Openssl "))
      << log_.Text();

  // DER: the failed PEM attempt writes nothing, the DER success its OK line.
  log_.Take();
  X509Ptr cert = Load("rsa-leaf");
  EXPECT_TRUE(log_.Contains("(ConvertCertDataToX509 -- d2i_X509_bio)\t\t--OK")) << log_.Text();
  EXPECT_FALSE(log_.Contains("--Failed")) << log_.Text();
  // PEM: no line of the DER attempt.
  log_.Take();
  test::Bytes pem = SharedPki().PemBytes("rsa-leaf");
  ASSERT_EQ(ConvertCertDataToX509(pem.data(), static_cast<int>(pem.size()), &x), KELU_OK);
  X509_free(x);
  EXPECT_FALSE(log_.Contains("d2i_X509_bio")) << log_.Text();
}

TEST_F(CertificateSteps, TimesAndTypes) {
  std::unique_ptr<ASN1_TIME, Deleter<ASN1_TIME_free>> t(ASN1_STRING_type_new(V_ASN1_UTCTIME));
  ASN1_STRING_set(t.get(), "2001011200Z", 11);
  time_t seconds = 0;
  log_.Take();
  ASSERT_EQ(ASN1_TIME_To_UTCTime(t.get(), &seconds), KELU_OK);
  std::string text = log_.Text();
  EXPECT_NE(text.find("ASN1TIME type:V_ASN1_UTCTIME"), std::string::npos) << text;
  EXPECT_NE(text.find("ASN1TIME value:2001011200"), std::string::npos) << text;
  EXPECT_NE(text.find("Broken-down time: 2020/01/01 12:00:00"), std::string::npos) << text;

  log_.Take();
  int type = 0;
  ASSERT_EQ(GetX509CertType(Load("sm2-leaf").get(), &type), KELU_OK);
  EXPECT_TRUE(log_.Contains("Certificate signature algorithm NID:924")) << log_.Text();
  EXPECT_TRUE(log_.Contains("Certificate type:SM2"));
  log_.Take();
  ASSERT_EQ(GetX509CertType(Load("rsa-leaf").get(), &type), KELU_OK);
  EXPECT_TRUE(log_.Contains("Certificate signature algorithm NID:668")) << log_.Text();
  EXPECT_TRUE(log_.Contains("Certificate type:RSA"));
}

TEST_F(CertificateSteps, KeyUsage) {
  log_.Take();
  EXPECT_EQ(CheckX509KeyUsage(Load("ku-none").get(), CERT_KEY_USAGE_DIGITAL_SIGNATURE, true),
            KELU_ERR_KEY_USAGE);
  EXPECT_TRUE(log_.Contains("(CheckX509KeyUsage -- pX509->ex_flags & EXFLAG_KUSAGE)\t\t"
                            "--Failed:(0xa0072021) [Reason:!(uExtensionFlag & EXFLAG_KUSAGE)]"))
      << log_.Text();
  log_.Take();
  EXPECT_EQ(CheckX509KeyUsage(Load("ku-enc").get(), CERT_KEY_USAGE_DIGITAL_SIGNATURE, true),
            KELU_ERR_KEY_USAGE);
  std::string text = log_.Text();
  EXPECT_NE(text.find("pX509->ex_kusage(0x00000020)"), std::string::npos) << text;
  EXPECT_NE(text.find("uiCheckBits(0x00000080)"), std::string::npos);
  EXPECT_NE(text.find("All the check bits must be present."), std::string::npos);
  EXPECT_NE(text.find("(CheckX509KeyUsage -- Check x509 key usage)\t\t--Failed:(0xa0072021)"),
            std::string::npos);
}

TEST_F(CertificateSteps, VerificationStopsAtTheFirstFailure) {
  log_.Take();
  test::FilePtr crl = test::OpenForReading(SharedPki().Key("rsa-leaf"));  // no CRL
  EXPECT_EQ(VerifyX509(Load("rsa-expired").get(), 0x3, crl.get(), {}), KELU_ERR_CERT_VALIDITY);
  std::string text = log_.Text();
  EXPECT_NE(text.find("(VerifyCertTime -- Check certificate validity NotAfter)\t\t--Failed:"
                      "(0xa0071031) [Reason:(tCurrentTime > tNotAfter)]"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("(VerifyX509 -- VerifyCertTime)\t\t--Failed:(0xa0071031)"),
            std::string::npos);
  EXPECT_EQ(text.find("VerifyCertCRL"), std::string::npos) << "the CRL was read";

  log_.Take();
  test::FilePtr not_a_cert = test::OpenForReading(SharedPki().Crl("crl-empty"));
  EXPECT_EQ(VerifyCertChain({not_a_cert.get()}, Load("rsa-leaf").get()), KELU_ERR_FAILED);
  EXPECT_TRUE(log_.Contains("(LoadCertsToStore -- d2i_X509_bio)\t\t--Failed:(0xffffffff) "
                            "[Reason:NULL == pX509] Openssl "))
      << log_.Text();
  EXPECT_TRUE(log_.Contains("(VerifyCertChain -- LoadCertsToStore)\t\t--Failed:(0xffffffff) "
                            "[Reason:KELU_OK != nResult]"));

  log_.Take();
  EXPECT_EQ(VerifyCertChain({}, Load("rsa-leaf").get()), KELU_ERR_CERT_UNTRUSTED);
  EXPECT_TRUE(log_.Contains("X509_verify_cert(ErrorCode:20 ErrorInfo:unable to get local "
                            "issuer certificate)"))
      << log_.Text();
}

TEST_F(CertificateSteps, NoPasswordInTheLog) {
  test::TempDir dir;
  test::TestPki pki(dir.path());
  test::WriteBinaryFile(pki.Pem("rsa-leaf"), SharedPki().PemBytes("rsa-leaf"));
  test::WriteBinaryFile(pki.Key("rsa-leaf"), test::ReadBinaryFile(SharedPki().Key("rsa-leaf")));
  const std::string password = "Pa55-word-that-must-not-show";
  std::string path = pki.MakePkcs12("file", "rsa-leaf", password, "");
  for (const std::string &tried : {password, password + "x"}) {
    log_.Take();
    test::FilePtr f = test::OpenForReading(path);
    X509 *cert = nullptr;
    int rc = ParsePFXFile(f.get(), tried.c_str(), nullptr, &cert, nullptr);
    X509_free(cert);
    EXPECT_EQ(rc, tried == password ? KELU_OK : KELU_ERR_FAILED);
    EXPECT_FALSE(log_.Contains(password)) << log_.Text();
    if (rc != KELU_OK) {
      EXPECT_TRUE(log_.Contains("(ParsePFXFile -- PKCS12_verify_mac)\t\t--Failed:(0xffffffff)"));
    }
  }
}

}  // namespace
}  // namespace kelu

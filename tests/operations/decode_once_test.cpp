// The certificate of a call is decoded at most once, and not again when a later call passes the
// same bytes; the call's step lines stay those it wrote when every helper decoded the
// certificate itself, less the lines of the decodes no longer made.
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/objects.h>

#include <functional>
#include <string>
#include <vector>

#include "DataEncryption.h"
#include "DataSigning.h"
#include "KeluErrors.h"
#include "LogCapture.h"
#include "PKCS7SignedDataOperations.h"
#include "RSADataEncryption.h"
#include "SMKernel.h"
#include "SharedCertificates.h"
#include "Sm2KeyFiles.h"
#include "TestPki.h"
#include "TestSupport.h"

namespace kelu {
namespace {

using test::Bytes;

constexpr char kPassword[] = "decode once";
constexpr char kSM2SignatureOid[] = "1.2.156.10197.1.301.1";

// An SM2 leaf that signs and receives envelopes, its key file (the certificate as DER), and an
// RSA leaf that receives envelopes; both carry a subject key identifier.
class DecodeOnce : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_EQ(SMKernelInitialize(), 0);
    dir_ = new test::TempDir;
    pki_ = new test::TestPki(dir_->path());
    test::CertSpec ca;
    ca.subject = "/CN=Decode Once CA";
    ca.extensions = test::kCaExtensions;
    pki_->AddRoot("ca", ca);
    const std::string leaf =
        "keyUsage = digitalSignature,keyEncipherment\nsubjectKeyIdentifier = hash\n";
    test::CertSpec sm2;
    sm2.subject = "/CN=SM2 leaf";
    sm2.extensions = leaf;
    pki_->Issue("sm2", "ca", sm2);
    test::CertSpec rsa = sm2;
    rsa.subject = "/CN=RSA leaf";
    rsa.alg = test::KeyAlg::kRSA;
    pki_->Issue("rsa", "ca", rsa);
    test::WriteSm2KeyFile(KeyFile(), pki_->Key("sm2"), pki_->Der("sm2"), kPassword);
  }
  static void TearDownTestSuite() {
    delete pki_;
    delete dir_;
  }
  static std::string KeyFile() { return dir_->path() + "/sm2.sm2"; }

  static test::TempDir *dir_;
  static test::TestPki *pki_;
};

test::TempDir *DecodeOnce::dir_ = nullptr;
test::TestPki *DecodeOnce::pki_ = nullptr;

// The step lines of a call ("(function -- step)\t\t--OK" and Failed lines), in order.
std::vector<std::string> StepLines(const std::vector<std::string> &lines) {
  std::vector<std::string> steps;
  for (const std::string &line : lines)
    if (line.find("\t\t--") != std::string::npos) steps.push_back(line);
  return steps;
}

bool IsDecodeLine(const std::string &line) {
  for (const char *step : {"BIO_new_mem_buf)", "d2i_X509_bio)", "d2i_X509)"})
    if (line.find(std::string(" -- ") + step + "\t\t--OK") != std::string::npos) return true;
  return false;
}

int DecodesIn(const std::vector<std::string> &steps) {
  int n = 0;
  for (const std::string &line : steps)
    if (line.find("BIO_new_mem_buf)\t\t--OK") != std::string::npos ||
        line.find(" -- d2i_X509)\t\t--OK") != std::string::npos)
      ++n;
  return n;
}

std::vector<std::string> WithoutDecodes(const std::vector<std::string> &steps) {
  std::vector<std::string> kept;
  for (const std::string &line : steps)
    if (!IsDecodeLine(line)) kept.push_back(line);
  return kept;
}

struct Call {
  const char *name;
  int decodes_before;  // decodes when every helper decoded the certificate itself
  std::function<int()> run;
};

TEST_F(DecodeOnce, EachCallDecodesItsCertificateOnceAndLaterCallsNotAtAll) {
  const Bytes data = test::RandomBytes(1024);
  const Bytes sm2_cert = pki_->DerBytes("sm2"), rsa_cert = pki_->DerBytes("rsa");
  const int size = static_cast<int>(data.size());

  // A signature and an envelope for the verification and the opening.
  test::FilePtr key = test::OpenForReading(KeyFile());
  char *signature = nullptr;
  ASSERT_EQ(SignData_PKCS7_BySM2PFX(data.data(), size, key.get(), kPassword, false, &signature,
                                    nullptr, 0, true, SIGNATURE_ENCODED_SM2_OCTET_STRING_Q1,
                                    kSM2SignatureOid),
            KELU_OK);
  const std::string detached = signature;
  delete[] signature;
  char *envelope_text = nullptr;
  ASSERT_EQ(EncryptDataToBase64CMSEnvelope(data.data(), size, sm2_cert.data(),
                                           static_cast<int>(sm2_cert.size()),
                                           SM2_ENC_ENCODED_C1C2C3, &envelope_text, nullptr, 0),
            KELU_OK);
  const std::string envelope = envelope_text;
  delete[] envelope_text;

  const auto with_key_file = [](const std::function<int(FILE *)> &use) {
    test::FilePtr file = test::OpenForReading(KeyFile());
    return use(file.get());
  };
  const Call calls[] = {
      {"PKCS#7 detached signature", 4,
       [&] {
         return with_key_file([&](FILE *f) {
           char *text = nullptr;
           const int rc = SignData_PKCS7_BySM2PFX(data.data(), size, f, kPassword, false, &text,
                                                  nullptr, 0, true,
                                                  SIGNATURE_ENCODED_SM2_OCTET_STRING_Q1,
                                                  kSM2SignatureOid);
           delete[] text;
           return rc;
         });
       }},
      {"PKCS#1 signature", 2,
       [&] {
         return with_key_file([&](FILE *f) {
           char *text = nullptr;
           const int rc = SignData_PKCS1_BySM2PFX(data.data(), size, f, kPassword, &text, nullptr,
                                                  0, true, PKCS1_SIGNATURE_ENCODED_SM2_Q1);
           delete[] text;
           return rc;
         });
       }},
      // The signer's issuer and serial number, then its key.
      {"PKCS#7 detached verification", 3,
       [&] {
         return VerifySignature_PKCS7Detached(detached.c_str(),
                                              static_cast<int>(detached.size()), data.data(),
                                              size, nullptr, nullptr, true);
       }},
      {"SM2 envelope made", 3,
       [&] {
         unsigned char *der = nullptr;
         int der_size = 0;
         const int rc = EncryptDataToDerCMSEnvelope(data.data(), size, sm2_cert.data(),
                                                    static_cast<int>(sm2_cert.size()),
                                                    SM2_ENC_ENCODED_C1C2C3, &der, &der_size);
         delete[] der;
         return rc;
       }},
      {"SM2 envelope opened", 2,
       [&] {
         return with_key_file([&](FILE *f) {
           unsigned char *plain = nullptr;
           int plain_size = 0;
           const int rc = DecryptBase64CMSEnvelopeData(
               envelope.c_str(), static_cast<int>(envelope.size()), f, kPassword,
               SM2_ENC_ENCODED_C1C2C3, &plain, &plain_size);
           EXPECT_EQ(Bytes(plain, plain + (rc == KELU_OK ? plain_size : 0)), data);
           delete[] plain;
           return rc;
         });
       }},
      {"RSA envelope made", 2,
       [&] {
         unsigned char *der = nullptr;
         int der_size = 0;
         const int rc = RSA_EncryptDataToDERCMSEnvelope(data.data(), size, rsa_cert.data(),
                                                        static_cast<int>(rsa_cert.size()),
                                                        NID_des_ede3_cbc, &der, &der_size);
         delete[] der;
         return rc;
       }},
  };
  for (const Call &call : calls) {
    SCOPED_TRACE(call.name);
    test::LogCapture log;
    const size_t bound = SetSharedX509Capacity(0);  // also empties the store
    log.Take();
    ASSERT_EQ(call.run(), KELU_OK);
    const std::vector<std::string> unshared = StepLines(log.Take());
    SetSharedX509Capacity(bound);
    ASSERT_EQ(call.run(), KELU_OK);
    const std::vector<std::string> first = StepLines(log.Take());
    ASSERT_EQ(call.run(), KELU_OK);
    const std::vector<std::string> again = StepLines(log.Take());

    EXPECT_EQ(DecodesIn(unshared), call.decodes_before);
    EXPECT_EQ(DecodesIn(first), 1);
    EXPECT_EQ(DecodesIn(again), 0);
    EXPECT_EQ(WithoutDecodes(first), WithoutDecodes(unshared));
    EXPECT_EQ(again, WithoutDecodes(unshared));
  }
  ERR_clear_error();
}

}  // namespace
}  // namespace kelu

// The replacement of the generic failure (-1) of each function's main operation: by the
// function's own code, or unchanged, as the exported interface fixes it per function.
#include <gtest/gtest.h>
#include <openssl/err.h>

#include <string>

#include "Sm2KeyFiles.h"
#include "TestPki.h"
#include "ToolkitTestUtil.h"

namespace kelu::test {
namespace {

class Replacement : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    StartCryptoKernel();
    SharedPki();
  }
  void TearDown() override { ERR_clear_error(); }

  struct Case {
    const char *function;
    const char *what;
    std::function<int()> call;
    int want;
    const char *step;  // the main operation's step, whose Failed line shows the final code
    const char *reason;
  };
  void Run(const std::vector<Case> &cases) {
    for (const Case &c : cases) {
      SCOPED_TRACE(std::string(c.function) + ": " + c.what);
      log_.Take();
      EXPECT_EQ(c.call(), c.want);
      EXPECT_TRUE(log_.Contains(FailedStep(c.function, c.step, c.want, c.reason))) << log_.Text();
    }
  }

  TempDir dir_;
  LogCapture log_;
};

TEST_F(Replacement, OperationFailures) {
  char *key_text = nullptr;
  ASSERT_EQ(GenSymKey("SM4_CBC", &key_text), KELU_OK);
  const std::string sm4_key = TakeText(key_text);
  const Bytes data = RandomBytes(40);
  char *cipher = nullptr;
  ASSERT_EQ(SymEncryptData(data.data(), 40, "SM4_CBC", sm4_key.c_str(), &cipher), KELU_OK);
  const std::string cut = TakeText(cipher).substr(0, 40);

  WriteBinaryFile(dir_.File("plain"), data);
  ASSERT_EQ(
      SymEncryptFile("SM4_CBC", dir_.File("plain").c_str(), dir_.File("enc").c_str(), &key_text),
      KELU_OK);
  const std::string file_key = TakeText(key_text);
  WriteTextFile(dir_.File("not-a-crl"), "no CRL\n");
  TestPki pki(dir_.path());
  WriteBinaryFile(pki.Pem("rsa-leaf"), SharedPki().PemBytes("rsa-leaf"));
  WriteBinaryFile(pki.Key("rsa-leaf"), ReadBinaryFile(SharedPki().Key("rsa-leaf")));
  const std::string pfx = pki.MakePkcs12("file", "rsa-leaf", "secret", "");
  const std::string cert = OpensslBase64(SharedPki().Der("rsa-leaf"));

  unsigned char *plain = nullptr;
  int plain_size = 0;
  char *text = nullptr;
  Run({
      {"SymDecryptData", "SM4 padding refused",
       [&] { return SymDecryptData(cut.c_str(), "SM4_CBC", sm4_key.c_str(), &plain, &plain_size); },
       KELU_ERR_DECRYPT, "SM4_Decrypt_CBC", "KELU_OK!=nResult"},
      {"SymDecryptFile", "key text of 16 bytes",
       [&] {
         return SymDecryptFile("SM4_CBC", dir_.File("enc").c_str(), file_key.substr(32).c_str(),
                               dir_.File("out").c_str());
       },
       KELU_ERR_FAILED, "ConvertStringToBinaryData", "32 != nSymKeySize"},
      {"GetCertificateInfo", "not a certificate",
       [&] { return GetCertificateInfo("SGVsbG8=", "SubjectDN", &text); }, KELU_ERR_CERT_INFO,
       "ConvertCertDataToX509", "KELU_OK != nResult"},
      {"VerifyCertificate", "no CRL in the CRL file",
       [&] {
         return ::VerifyCertificate(cert.c_str(), 0x2, nullptr, dir_.File("not-a-crl").c_str());
       },
       KELU_ERR_VERIFY_CERT, "VerifyCertificate", "KELU_OK != nResult"},
      {"GetPublicCertFromPFX", "wrong password",
       [&] { return GetPublicCertFromPFX("RSA", pfx.c_str(), "wrong", &text); }, KELU_ERR_FAILED,
       "ParsePFXFile", "KELU_OK != nResult"},
  });
  EXPECT_EQ(plain, nullptr);
  EXPECT_EQ(text, nullptr);
}

// A failing random source: -1 without any key text, from every function that makes keys.
TEST_F(Replacement, RandomSourceFailures) {
  WriteBinaryFile(dir_.File("plain"), RandomBytes(100));
  char *key = reinterpret_cast<char *>(0x1);
  FailingRandomSource failing;
  Run({
      {"GenSymKey", "SM4_CBC", [&] { return GenSymKey("SM4_CBC", &key); }, KELU_ERR_FAILED,
       "RAND_bytes", "1 != nResult"},
      {"GenSymKey", "3DES_CBC", [&] { return GenSymKey("3DES_CBC", &key); }, KELU_ERR_FAILED,
       "GenerateSymKey", "KELU_OK != nResult"},
      {"GenSymKey", "RC4", [&] { return GenSymKey("RC4", &key); }, KELU_ERR_FAILED,
       "GenerateSymKey", "KELU_OK != nResult"},
      {"SymEncryptFile", "SM4_CBC",
       [&] {
         return SymEncryptFile("SM4_CBC", dir_.File("plain").c_str(), dir_.File("enc").c_str(),
                               &key);
       },
       KELU_ERR_FAILED, "RAND_bytes", "1 != nResult"},
      {"SymEncryptFile", "3DES_CBC",
       [&] {
         return SymEncryptFile("3DES_CBC", dir_.File("plain").c_str(), dir_.File("enc").c_str(),
                               &key);
       },
       KELU_ERR_FAILED, "RAND_bytes", "1 != nResult"},
  });
  EXPECT_EQ(key, reinterpret_cast<char *>(0x1));
  EXPECT_EQ(ReadBinaryFile(dir_.File("enc")).size(), 0u) << "an empty encrypted file";
}

}  // namespace
}  // namespace kelu::test

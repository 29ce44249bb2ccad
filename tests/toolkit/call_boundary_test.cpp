// Every exported function works in the toolkit's own library context and leaves the calling
// thread as it found it, default context and error queue alike: other users of the crypto
// library in the process see no change.
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/evp.h>

#include <functional>
#include <string>

#include "../operations/RsaTestPki.h"
#include "ToolkitTestUtil.h"

namespace kelu::test {
namespace {

class CallBoundaryTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    StartCryptoKernel();
    SharedRsaPki();
  }
  void SetUp() override { ERR_clear_error(); }
  void TearDown() override { ERR_clear_error(); }

  static std::string Pfx(const std::string &name) { return SharedRsaPki().Pfx(name); }
  static std::string RsaCert() { return OpensslBase64(SharedRsaPki().pki().Der("rsa")); }

  TempDir dir_;
  LogCapture log_;
};

// What the library's default context, shared by every user in the process, offers.
bool DefaultContextHasCipher(const char *name) {
  ERR_set_mark();
  EVP_CIPHER *cipher = EVP_CIPHER_fetch(nullptr, name, nullptr);
  EVP_CIPHER_free(cipher);
  ERR_pop_to_mark();
  return cipher != nullptr;
}

OSSL_LIB_CTX *ThreadDefaultContext() { return OSSL_LIB_CTX_set0_default(nullptr); }

TEST_F(CallBoundaryTest, LegacyAlgorithmsWorkForTheToolkitOnly) {
  OSSL_LIB_CTX *before = ThreadDefaultContext();
  ASSERT_FALSE(DefaultContextHasCipher("RC4"));
  const std::string plain = "legacy algorithms of the toolkit";
  const auto *bytes = reinterpret_cast<const unsigned char *>(plain.data());
  const int size = static_cast<int>(plain.size());

  char *key = nullptr;
  ASSERT_EQ(GenSymKey("RC4", &key), KELU_OK);
  const std::string key_text = TakeText(key);
  char *sealed = nullptr;
  ASSERT_EQ(SymEncryptData(bytes, size, "RC4", key_text.c_str(), &sealed), KELU_OK);
  const std::string sealed_text = TakeText(sealed);
  unsigned char *opened = nullptr;
  int opened_size = 0;
  ASSERT_EQ(SymDecryptData(sealed_text.c_str(), "RC4", key_text.c_str(), &opened, &opened_size),
            KELU_OK);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(opened), opened_size), plain);
  FreeMemory(opened);

  char *envelope = nullptr;
  ASSERT_EQ(EncryptDataToCMSEnvelope("RSA", bytes, size, RsaCert().c_str(), "RC4", &envelope),
            KELU_OK);
  const std::string envelope_text = TakeText(envelope);
  ASSERT_EQ(DecryptDataFromCMSEnvelope("RSA", envelope_text.c_str(), Pfx("rsa").c_str(),
                                       kPfxPassword, &opened, &opened_size),
            KELU_OK);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(opened), opened_size), plain);
  FreeMemory(opened);

  char *cert = nullptr;
  EXPECT_EQ(GetPublicCertFromPFX("RSA", Pfx("rsa-legacy").c_str(), kPfxPassword, &cert), KELU_OK)
      << "an RC2-40 PKCS#12 file";
  FreeMemory(cert);

  EXPECT_FALSE(DefaultContextHasCipher("RC4"));
  EXPECT_FALSE(DefaultContextHasCipher("RC2-40-CBC"));
  EXPECT_FALSE(DefaultContextHasCipher("BF-CBC"));
  EXPECT_EQ(ThreadDefaultContext(), before) << "the thread's default context came back";
}

// Failing calls, some of which fail inside the crypto library (it queues errors there).
struct FailingCall {
  const char *what;
  std::function<int(const std::string &work_dir)> call;
};

std::string WriteJunk(const std::string &work_dir) {
  const std::string path = work_dir + "/junk.p12";
  WriteTextFile(path, "0\x82\x01\x00 not a PKCS#12 file");
  return path;
}

const FailingCall kFailingCalls[] = {
    {"certificate that is no DER",
     [](const std::string &) {
       char *text = nullptr;
       return GetCertificateInfo("MIIBAAECAwQF", "SubjectDN", &text);
     }},
    {"PKCS#12 file that is no DER",
     [](const std::string &work_dir) {
       char *text = nullptr;
       return GetPublicCertFromPFX("RSA", WriteJunk(work_dir).c_str(), kPfxPassword, &text);
     }},
    {"wrong PKCS#12 password",
     [](const std::string &) {
       char *text = nullptr;
       return GetPublicCertFromPFX("RSA", SharedRsaPki().Pfx("rsa").c_str(), "wrong", &text);
     }},
    {"SM4 cipher text with a wrong key",
     [](const std::string &) {
       unsigned char *plain = nullptr;
       int size = 0;
       return SymDecryptData("AAAAAAAAAAAAAAAAAAAAAA==", "SM4_CBC",
                             "000102030405060708090A0B0C0D0E0F000102030405060708090A0B0C0D0E0F",
                             &plain, &size);
     }},
    {"envelope for an EC certificate",
     [](const std::string &) {
       char *envelope = nullptr;
       const std::string cert = OpensslBase64(SharedRsaPki().pki().Der("ec"));
       return EncryptDataToCMSEnvelope("RSA", reinterpret_cast<const unsigned char *>("x"), 1,
                                       cert.c_str(), "3DES", &envelope);
     }},
};

TEST_F(CallBoundaryTest, FailedCallsLeaveTheErrorQueueAsTheyFoundIt) {
  for (const FailingCall &c : kFailingCalls) {
    SCOPED_TRACE(c.what);
    EXPECT_NE(c.call(dir_.path()), KELU_OK);
    EXPECT_EQ(ERR_peek_error(), 0u) << "an empty queue stays empty";

    ERR_raise(ERR_LIB_USER, 42);
    const unsigned long callers = ERR_peek_last_error();
    EXPECT_NE(c.call(dir_.path()), KELU_OK);
    EXPECT_EQ(ERR_get_error(), callers) << "the caller's error stays";
    EXPECT_EQ(ERR_get_error(), 0u) << "and nothing of the call";
  }
}

// The line of a step that failed inside the crypto library.
std::string FailedLineOf(const std::vector<std::string> &lines, const std::string &step) {
  for (const std::string &line : lines)
    if (line.find("-- " + step + ")") != std::string::npos && line.find("--Failed") != std::string::npos)
      return line;
  return "";
}

std::string OpensslText(unsigned long code) {
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

TEST_F(CallBoundaryTest, AFailedLineShowsOnlyAnErrorOfItsOwnCall) {
  // A wrong password fails the MAC check without an error of the library's own.
  const std::string none = " Openssl " + OpensslText(0);
  char *text = nullptr;
  ASSERT_NE(GetPublicCertFromPFX("RSA", WriteJunk(dir_.path()).c_str(), kPfxPassword, &text),
            KELU_OK);
  const std::string junk_line = FailedLineOf(log_.Take(), "d2i_PKCS12_fp");
  ASSERT_NE(junk_line, "");
  EXPECT_EQ(junk_line.find(none), std::string::npos) << "the call's own error is shown";

  ASSERT_NE(GetPublicCertFromPFX("RSA", Pfx("rsa").c_str(), "wrong", &text), KELU_OK);
  std::string line = FailedLineOf(log_.Take(), "PKCS12_verify_mac");
  EXPECT_NE(line.find(none), std::string::npos) << "not the earlier call's error: " << line;

  ERR_raise(ERR_LIB_USER, 42);
  const unsigned long callers = ERR_peek_last_error();
  ASSERT_NE(GetPublicCertFromPFX("RSA", Pfx("rsa").c_str(), "wrong", &text), KELU_OK);
  line = FailedLineOf(log_.Take(), "PKCS12_verify_mac");
  EXPECT_NE(line.find(none), std::string::npos) << "not the caller's error: " << line;
  EXPECT_EQ(ERR_get_error(), callers);
}

}  // namespace
}  // namespace kelu::test

// Every exported function works in the toolkit's own library context and leaves the calling
// thread as it found it, default context and error queue alike: other users of the crypto
// library in the process see no change.
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/evp.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "../operations/RsaTestPki.h"
#include "../operations/Sm2SigningTestUtil.h"
#include "ToolkitTestUtil.h"

namespace kelu::test {
namespace {

class CallBoundaryTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    StartCryptoKernel();
    SharedRsaPki();
    SharedSigningKeys();
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

// One entry of the error queue as the crypto library hands it out.
struct QueueEntry {
  unsigned long code;
  std::string file, function, data;
  int line, flags;
  bool operator==(const QueueEntry &o) const {
    return code == o.code && file == o.file && function == o.function && data == o.data &&
           line == o.line && flags == o.flags;
  }
};

std::ostream &operator<<(std::ostream &out, const QueueEntry &e) {
  return out << std::hex << e.code << std::dec << " " << e.file << ":" << e.line << " "
             << e.function << " [" << e.data << "] flags " << e.flags;
}

std::vector<QueueEntry> DrainQueue() {
  std::vector<QueueEntry> entries;
  const char *file = nullptr, *function = nullptr, *data = nullptr;
  int line = 0, flags = 0;
  // Without ERR_TXT_STRING there is no text, whatever the other flags say of the slot.
  while (unsigned long code = ERR_get_error_all(&file, &line, &function, &data, &flags))
    entries.push_back({code, file, function, data, line, (flags & ERR_TXT_STRING) ? flags : 0});
  return entries;
}

// Sixteen errors of a caller, one more than the queue keeps: entries without data, with data
// the library copied, with the caller's own static text, and system errors.
void RaiseCallersErrors() {
  static char kStaticText[] = "the caller's static text";
  for (int i = 0; i < 16; ++i) {
    ERR_new();
    ERR_set_debug("caller.c", 100 + i, "caller_function");
    switch (i % 4) {
      case 0: ERR_set_error(ERR_LIB_USER, 1 + i, nullptr); break;
      case 1: ERR_set_error(ERR_LIB_USER, 1 + i, "caller's error %d", i); break;
      case 2:
        ERR_set_error(ERR_LIB_EVP, 1 + i, nullptr);
        ERR_set_error_data(kStaticText, ERR_TXT_STRING);
        break;
      default: ERR_set_error(ERR_LIB_SYS, 2, "open(caller file %d)", i); break;
    }
  }
}

// Successful and failing calls of several kinds, each failing inside the crypto library or
// making it try decoders that fail.
struct QueueCall {
  const char *what;
  std::function<int()> call;
  int want;
};

int RsaEnvelopeRoundTrip(const char *password) {
  const unsigned char plain[] = "caller's errors around an RC4 envelope";
  char *envelope = nullptr;
  const std::string cert = OpensslBase64(SharedRsaPki().pki().Der("rsa"));
  int rc = EncryptDataToCMSEnvelope("RSA", plain, sizeof plain, cert.c_str(), "RC4", &envelope);
  if (rc != KELU_OK) return rc;
  unsigned char *opened = nullptr;
  int opened_size = 0;
  rc = DecryptDataFromCMSEnvelope("RSA", envelope, SharedRsaPki().Pfx("rsa").c_str(), password,
                                  &opened, &opened_size);
  FreeMemory(envelope);
  FreeMemory(opened);
  return rc;
}

int CertOfPkcs12(const std::string &name, const char *password) {
  char *text = nullptr;
  const int rc = GetPublicCertFromPFX("RSA", SharedRsaPki().Pfx(name).c_str(), password, &text);
  FreeMemory(text);
  return rc;
}

int Sm2Signature(const char *password) {
  const unsigned char data[] = "signed while the caller's errors wait";
  char *signature = nullptr;
  const int rc = SignData_PKCS1("SM2", data, sizeof data, SharedSigningKeys().Path("sm2-leaf").c_str(),
                                password, "", &signature);
  FreeMemory(signature);
  return rc;
}

const QueueCall kQueueCalls[] = {
    {"RSA RC4 envelope round trip", [] { return RsaEnvelopeRoundTrip(kPfxPassword); }, KELU_OK},
    {"RSA RC4 envelope, wrong password",
     [] { return RsaEnvelopeRoundTrip("wrong"); }, KELU_ERR_DECRYPT},
    {"PKCS#12 file", [] { return CertOfPkcs12("rsa", kPfxPassword); }, KELU_OK},
    {"legacy PKCS#12 file", [] { return CertOfPkcs12("rsa-legacy", kPfxPassword); }, KELU_OK},
    {"PKCS#12 file, wrong password", [] { return CertOfPkcs12("rsa", "wrong"); }, KELU_ERR_FAILED},
    {"SM2 signature", [] { return Sm2Signature(kKeyFilePassword); }, KELU_OK},
    {"SM2 signature, wrong password",
     [] { return Sm2Signature("wrong"); }, KELU_ERR_KEY_FILE_PASSWORD},
    {"certificate that is no DER",
     [] {
       char *text = nullptr;
       return GetCertificateInfo("MIIBAAECAwQF", "SubjectDN", &text);
     },
     KELU_ERR_CERT_INFO},
};

TEST_F(CallBoundaryTest, TheCallersQueuedErrorsComeBackWhole) {
  for (const QueueCall &c : kQueueCalls) {
    SCOPED_TRACE(c.what);
    RaiseCallersErrors();
    const std::vector<QueueEntry> want = DrainQueue();
    ASSERT_EQ(want.size(), 15u) << "the queue keeps fifteen";

    RaiseCallersErrors();
    EXPECT_EQ(c.call(), c.want);
    EXPECT_EQ(DrainQueue(), want);
  }
}

// A caller that marks its queue before a call and pops to the mark after it keeps every entry.
TEST_F(CallBoundaryTest, TheCallersMarkBeforeACallStays) {
  for (const QueueCall &c : kQueueCalls) {
    SCOPED_TRACE(c.what);
    RaiseCallersErrors();
    const std::vector<QueueEntry> want = DrainQueue();
    RaiseCallersErrors();
    ASSERT_EQ(ERR_set_mark(), 1);
    EXPECT_EQ(c.call(), c.want);
    EXPECT_EQ(ERR_pop_to_mark(), 1) << "the mark is found again";
    EXPECT_EQ(DrainQueue(), want);
  }
}

}  // namespace
}  // namespace kelu::test

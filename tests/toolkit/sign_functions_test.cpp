// The exported signing and verification functions on both paths: SM2 signatures checked with
// OpenSSL's SM2 (openssl dgst -sm3 with the default user ID; the SignedData read by openssl
// asn1parse) and npm's sm-crypto-v2, RSA signatures with openssl dgst, cms and smime, both
// ways; the parameter checks in order, the replacement of -1, the files opened before the name
// is looked at, and files at the 16384-byte block boundaries.
#include <gtest/gtest.h>
#include <openssl/err.h>

#include <functional>
#include <string>
#include <vector>

#include "../national/NationalTestUtil.h"
#include "../operations/Sm2SignedDataBuilder.h"
#include "../operations/Sm2SigningTestUtil.h"
#include "DataSigning.h"
#include "PKCS7SignedDataOperations.h"
#include "Sm2Signatures.h"
#include "ToolkitTestUtil.h"

namespace kelu::test {
namespace {

constexpr char kPfxPassword[] = "p12 pass";

class SignFunctions : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    StartCryptoKernel();
    SharedSigningKeys();
    RsaPfx();
  }
  void TearDown() override { ERR_clear_error(); }

  static std::string Sm2Key(const std::string &name = "sm2-leaf") {
    return SharedSigningKeys().Path(name);
  }
  // A PKCS#12 file of the shared PKI's RSA leaf (digitalSignature), made once.
  static const std::string &RsaPfx() {
    static const std::string *path = [] {
      static TempDir dir;
      TestPki pki(dir.path());
      WriteBinaryFile(pki.Pem("rsa-leaf"), SharedPki().PemBytes("rsa-leaf"));
      WriteBinaryFile(pki.Key("rsa-leaf"), ReadBinaryFile(SharedPki().Key("rsa-leaf")));
      return new std::string(pki.MakePkcs12("rsa", "rsa-leaf", kPfxPassword, ""));
    }();
    return *path;
  }
  static std::string CertText(const std::string &name) {
    return OpensslBase64(SharedPki().Der(name));
  }
  std::string Write(const std::string &name, const Bytes &bytes) const {
    WriteBinaryFile(dir_.File(name), bytes);
    return dir_.File(name);
  }

  TempDir dir_;
};

class SignFunctionsLogged : public SignFunctions {
 protected:
  LogCapture log_;
};

// ---- Parameter checks, in declaration order ------------------------------------------------

const char kAlgorithmReason[] = "(NULL == pszAlgorithm || 0 == strlen(pszAlgorithm))";
const char kDataReason[] = "(NULL == pbySourceData || 0 == nSourceSize)";
const char kPfxPathReason[] = "(NULL == pszPFXFilePath || 0 == strlen(pszPFXFilePath))";
const char kHashReason[] = "(NULL == pszHashAlg || 0 == strlen(pszHashAlg))";

TEST_F(SignFunctionsLogged, SignDataChecks) {
  const unsigned char d[] = "x";
  const std::string key = Sm2Key(), pfx = RsaPfx(), missing = dir_.File("missing");
  char *out = reinterpret_cast<char *>(0x1);
  RunCheckTable(
      log_, "SignData_PKCS1",
      {{"null algorithm", [&] { return SignData_PKCS1(nullptr, d, 1, key.c_str(), "", "", &out); },
        KELU_ERR_INVALID_PARAMETER, "Check parameter(pszAlgorithm)", kAlgorithmReason},
       {"no data", [&] { return SignData_PKCS1("SM2", d, 0, key.c_str(), "", "", &out); },
        KELU_ERR_INVALID_PARAMETER, "Check parameter(pbySourceData and nSourceSize)", kDataReason},
       {"empty key path", [&] { return SignData_PKCS1("SM2", d, 1, "", "", "", &out); },
        KELU_ERR_INVALID_PARAMETER, "Check parameter(pszPFxFilePath)", kPfxPathReason},
       {"null output", [&] { return SignData_PKCS1("SM2", d, 1, key.c_str(), "", "", nullptr); },
        KELU_ERR_INVALID_PARAMETER, "Check output parameter(ppszBase64PKCS1Signature)",
        "NULL == ppszBase64PKCS1Signature"}});
  EXPECT_EQ(out, reinterpret_cast<char *>(0x1)) << "a refused argument leaves the output";
  RunCheckTable(
      log_, "SignData_PKCS1",
      {{"missing key file, unknown name",
        [&] { return SignData_PKCS1("XYZ", d, 1, missing.c_str(), "", "", &out); },
        KELU_ERR_OPEN_FILE, "Open PFX file.", "NULL == fpPFX"},
       {"unknown name", [&] { return SignData_PKCS1("XYZ", d, 1, key.c_str(), "", "", &out); },
        KELU_ERR_INVALID_PARAMETER, "Invalid sign algorithm.", "true"},
       {"RSA without hash",
        [&] { return SignData_PKCS1("RSA", d, 1, pfx.c_str(), kPfxPassword, nullptr, &out); },
        KELU_ERR_INVALID_PARAMETER, "Check parameter(pszHashAlg)", kHashReason},
       {"RSA with MD5",
        [&] { return SignData_PKCS1("RSA", d, 1, pfx.c_str(), kPfxPassword, "MD5", &out); },
        KELU_ERR_INVALID_PARAMETER, "Invalid hash algorithm.", "true"}});
  EXPECT_EQ(out, nullptr) << "cleared once the checks have passed";

  // The two SignedData signers: checks with a full stop, and one reason text apart.
  for (bool attached : {false, true}) {
    auto sign = [attached](const char *alg, const unsigned char *data, int size, const char *path,
                           const char *hash, char **text) {
      return attached ? SignData_PKCS7Attached(alg, data, size, path, kPfxPassword, hash, text)
                      : SignData_PKCS7Detached(alg, data, size, path, kPfxPassword, hash, text);
    };
    const char *function = attached ? "SignData_PKCS7Attached" : "SignData_PKCS7Detached";
    const std::string output = attached ? "ppszBase64PKCS7AttachedSignature"
                                        : "ppszBase64PKCS7DetachedSignature";
    out = reinterpret_cast<char *>(0x1);
    RunCheckTable(
        log_, function,
        {{"empty algorithm", [&] { return sign("", d, 1, key.c_str(), "", &out); },
          KELU_ERR_INVALID_PARAMETER, "Check parameter(pszAlgorithm).", kAlgorithmReason},
         {"null data", [&] { return sign("SM2", nullptr, 1, key.c_str(), "", &out); },
          KELU_ERR_INVALID_PARAMETER, "Check parameter(pbySourceData and nSourceSize).",
          kDataReason},
         {"null key path", [&] { return sign("SM2", d, 1, nullptr, "", &out); },
          KELU_ERR_INVALID_PARAMETER, "Check parameter(pszPFXFilePath).", kPfxPathReason},
         {"null output", [&] { return sign("SM2", d, 1, key.c_str(), "", nullptr); },
          KELU_ERR_INVALID_PARAMETER, ("Check output parameter(" + output + ")").c_str(),
          ("NULL == " + output).c_str()},
         {"missing key file", [&] { return sign("XYZ", d, 1, missing.c_str(), "", &out); },
          KELU_ERR_OPEN_FILE, "Open PFX file.", "NULL == fpPFX"},
         {"unknown name", [&] { return sign("SM3", d, 1, key.c_str(), "", &out); },
          KELU_ERR_INVALID_PARAMETER, "Invalid sign algorithm.", "true"},
         {"RSA with empty hash", [&] { return sign("rsa", d, 1, pfx.c_str(), "", &out); },
          KELU_ERR_INVALID_PARAMETER, "Check parameter(pszHashAlg)",
          attached ? kHashReason : "NULL == pszHashAlg || 0 == strlen(pszHashAlg)"},
         {"RSA with SHA-384", [&] { return sign("Rsa", d, 1, pfx.c_str(), "SHA-384", &out); },
          KELU_ERR_INVALID_PARAMETER, "Invalid hash algorithm.", "true"}});
    EXPECT_EQ(out, nullptr);
  }
}

TEST_F(SignFunctionsLogged, VerifyDataChecks) {
  const unsigned char d[] = "x";
  const std::string cert = CertText("sm2-leaf");
  const char *c = cert.c_str();
  RunCheckTable(
      log_, "VerifyDataSignature_PKCS1",
      {{"null algorithm", [&] { return VerifyDataSignature_PKCS1(nullptr, d, 1, c, "", "s"); },
        KELU_ERR_INVALID_PARAMETER, "Check parameter(pszAlgorithm).", kAlgorithmReason},
       {"no size", [&] { return VerifyDataSignature_PKCS1("SM2", d, 0, c, "", "s"); },
        KELU_ERR_INVALID_PARAMETER, "Check parameter(pbySourceData and nSourceSize).",
        kDataReason},
       {"empty certificate", [&] { return VerifyDataSignature_PKCS1("SM2", d, 1, "", "", "s"); },
        KELU_ERR_INVALID_PARAMETER, "Check parameter(pszBase64CertContent).",
        "(NULL == pszBase64CertContent || 0 == strlen(pszBase64CertContent))"},
       {"null signature", [&] { return VerifyDataSignature_PKCS1("SM2", d, 1, c, "", nullptr); },
        KELU_ERR_INVALID_PARAMETER, "Check parameter(pszBase64PKCS1Signature).",
        "(NULL == pszBase64PKCS1Signature || 0 == strlen(pszBase64PKCS1Signature))"},
       {"unknown name", [&] { return VerifyDataSignature_PKCS1("DSA", d, 1, c, "", "s"); },
        KELU_ERR_INVALID_PARAMETER, "Invalid sign algorithm.", "true"},
       {"RSA without hash", [&] { return VerifyDataSignature_PKCS1("RSA", d, 1, c, nullptr, "s"); },
        KELU_ERR_INVALID_PARAMETER, "Check parameter(pszHashAlg).", kHashReason},
       {"RSA with SHA1", [&] { return VerifyDataSignature_PKCS1("RSA", d, 1, c, "SHA1", "s"); },
        KELU_ERR_INVALID_PARAMETER, "Invalid hash algorithm.", "true"}});

  char *cert_out = reinterpret_cast<char *>(0x1);
  const char kSignatureReason[] =
      "(NULL == pszBase64PKCS7DetachedSignature || 0 == strlen(pszBase64PKCS7DetachedSignature))";
  RunCheckTable(
      log_, "VerifyDataSignature_PKCS7Detached",
      {{"empty algorithm",
        [&] { return VerifyDataSignature_PKCS7Detached("", d, 1, "s", &cert_out); },
        KELU_ERR_INVALID_PARAMETER, "Check parameter(pszAlgorithm).", kAlgorithmReason},
       {"null data",
        [&] { return VerifyDataSignature_PKCS7Detached("SM2", nullptr, 1, "s", &cert_out); },
        KELU_ERR_INVALID_PARAMETER, "Check parameter(pbySourceData and nSourceSize).",
        kDataReason},
       {"empty signature",
        [&] { return VerifyDataSignature_PKCS7Detached("SM2", d, 1, "", &cert_out); },
        KELU_ERR_INVALID_PARAMETER, "Check parameter(pszBase64PKCS7DetachedSignature).",
        kSignatureReason}});
  EXPECT_EQ(cert_out, reinterpret_cast<char *>(0x1));
  RunCheckTable(log_, "VerifyDataSignature_PKCS7Detached",
                {{"unknown name",
                  [&] { return VerifyDataSignature_PKCS7Detached("XYZ", d, 1, "s", &cert_out); },
                  KELU_ERR_INVALID_PARAMETER, "Invalid sign algorithm.", "true"}});
  EXPECT_EQ(cert_out, nullptr);

  unsigned char *content = reinterpret_cast<unsigned char *>(0x1);
  int length = -7;
  cert_out = reinterpret_cast<char *>(0x1);
  RunCheckTable(
      log_, "VerifyDataSignature_PKCS7Attached",
      {{"null algorithm",
        [&] {
          return VerifyDataSignature_PKCS7Attached(nullptr, "s", &cert_out, &content, &length);
        },
        KELU_ERR_INVALID_PARAMETER, "Check parameter(pszAlgorithm).", kAlgorithmReason},
       {"null signature",
        [&] {
          return VerifyDataSignature_PKCS7Attached("SM2", nullptr, &cert_out, &content, &length);
        },
        KELU_ERR_INVALID_PARAMETER, "Check parameter(pszBase64PKCS7AttachedSignature).",
        "(NULL == pszBase64PKCS7AttachedSignature || 0 == "
        "strlen(pszBase64PKCS7AttachedSignature))"}});
  EXPECT_EQ(content, reinterpret_cast<unsigned char *>(0x1));
  EXPECT_EQ(length, -7);
  // Every other name takes the RSA path: the signature text is the RSA operation's to refuse.
  log_.Take();
  EXPECT_EQ(VerifyDataSignature_PKCS7Attached("XYZ", "SGVsbG8=", &cert_out, &content, &length),
            KELU_ERR_BAD_SIGNATURE);
  EXPECT_TRUE(log_.Contains("(VerifyDataSignature_PKCS7Attached -- "
                            "RSA_VerifyDataSignature_PKCS7Attached)\t\t--Failed"));
  EXPECT_EQ(cert_out, nullptr);
  EXPECT_EQ(content, nullptr);
  EXPECT_EQ(length, 0);
}

TEST_F(SignFunctionsLogged, FileChecks) {
  const std::string source = Write("source", RandomBytes(10)), key = Sm2Key(), pfx = RsaPfx();
  const std::string missing = dir_.File("missing");
  const char *s = source.c_str();
  char *out = reinterpret_cast<char *>(0x1);
  RunCheckTable(
      log_, "SignFile_PKCS7Detached",
      {{"null algorithm",
        [&] { return SignFile_PKCS7Detached(nullptr, s, key.c_str(), "", "", &out); },
        KELU_ERR_INVALID_PARAMETER, "Check parameter(pszAlgorithm).", kAlgorithmReason},
       {"empty source path",
        [&] { return SignFile_PKCS7Detached("SM2", "", key.c_str(), "", "", &out); },
        KELU_ERR_INVALID_PARAMETER, "Check parameter(pszSourceFilePath).",
        "(NULL == pszSourceFilePath || 0 == strlen(pszSourceFilePath))"},
       {"null key path", [&] { return SignFile_PKCS7Detached("SM2", s, nullptr, "", "", &out); },
        KELU_ERR_INVALID_PARAMETER, "Check parameter(pszPFXFilePath).", kPfxPathReason},
       {"null output",
        [&] { return SignFile_PKCS7Detached("SM2", s, key.c_str(), "", "", nullptr); },
        KELU_ERR_INVALID_PARAMETER, "Check output parameter(ppszBase64PKCS7DetachedSignature)",
        "NULL == ppszBase64PKCS7DetachedSignature"},
       {"missing source before the name",
        [&] { return SignFile_PKCS7Detached("XYZ", missing.c_str(), key.c_str(), "", "", &out); },
        KELU_ERR_OPEN_FILE, "fopen(pszSourceFile)", "NULL == fpSource"},
       {"missing key file",
        [&] { return SignFile_PKCS7Detached("XYZ", s, missing.c_str(), "", "", &out); },
        KELU_ERR_OPEN_FILE, "fopen(pszPFXFilePath)", "NULL == fpPFX"},
       {"unknown name", [&] { return SignFile_PKCS7Detached("XYZ", s, key.c_str(), "", "", &out); },
        KELU_ERR_INVALID_PARAMETER, "pszAlgorithm Error", "true"},
       {"RSA without hash",
        [&] { return SignFile_PKCS7Detached("RSA", s, pfx.c_str(), kPfxPassword, "", &out); },
        KELU_ERR_INVALID_PARAMETER, "Check parameter(pszHashAlg).", kHashReason},
       {"RSA with MD5",
        [&] { return SignFile_PKCS7Detached("RSA", s, pfx.c_str(), kPfxPassword, "md5", &out); },
        KELU_ERR_INVALID_PARAMETER, "Invalid hash algorithm.", "true"},
       {"wrong SM2 password",
        [&] { return SignFile_PKCS7Detached("SM2", s, key.c_str(), "wrong", "", &out); },
        KELU_ERR_KEY_FILE_PASSWORD, "SignFile_PKCS7Detached_BySM2PFX", "KELU_OK != nResult"}});
  EXPECT_EQ(out, reinterpret_cast<char *>(0x1)) << "left as it was on every failure";
  log_.Take();
  SignFile_PKCS7Detached("RSA", s, pfx.c_str(), kPfxPassword, "md5", &out);
  EXPECT_TRUE(log_.Contains("HashAlg: md5"));

  char *cert = reinterpret_cast<char *>(0x1);
  RunCheckTable(
      log_, "VerifyFileSignature_PKCS7Detached",
      {{"empty algorithm",
        [&] { return VerifyFileSignature_PKCS7Detached("", s, "sig", &cert); },
        KELU_ERR_INVALID_PARAMETER, "Check parameter(pszAlgorithm).", kAlgorithmReason},
       {"null source path",
        [&] { return VerifyFileSignature_PKCS7Detached("SM2", nullptr, "sig", &cert); },
        KELU_ERR_INVALID_PARAMETER, "Check parameter(pszSourceFilePath).",
        "(NULL == pszSourceFilePath || 0 == strlen(pszSourceFilePath))"},
       {"empty signature", [&] { return VerifyFileSignature_PKCS7Detached("SM2", s, "", &cert); },
        KELU_ERR_INVALID_PARAMETER, "Check parameter(pszBase64PKCS7DetachedSignature).",
        "(NULL == pszBase64PKCS7DetachedSignature || 0 == "
        "strlen(pszBase64PKCS7DetachedSignature))"}});
  EXPECT_EQ(cert, reinterpret_cast<char *>(0x1));
  RunCheckTable(
      log_, "VerifyFileSignature_PKCS7Detached",
      {{"missing source before the name",
        [&] { return VerifyFileSignature_PKCS7Detached("XYZ", missing.c_str(), "sig", &cert); },
        KELU_ERR_OPEN_FILE, "fopen(pszSourceFile)", "NULL == fpSource"},
       {"unknown name", [&] { return VerifyFileSignature_PKCS7Detached("ECDSA", s, "s", &cert); },
        KELU_ERR_INVALID_PARAMETER, "pszAlgorithm Error", "true"}});
  EXPECT_EQ(cert, nullptr);
  log_.Take();
  VerifyFileSignature_PKCS7Detached("ECDSA", s, "s", &cert);
  EXPECT_TRUE(log_.Contains("Algorithm: ECDSA"));
}

// ---- The replacement of -1 ---------------------------------------------------------------

TEST_F(SignFunctionsLogged, GenericFailuresAreReplacedPerFunction) {
  const Bytes data = RandomBytes(100);
  const std::string source = Write("source", data), pfx = RsaPfx(), key = Sm2Key();
  char *text = nullptr;
  ASSERT_EQ(SignData_PKCS1("SM2", data.data(), Size(data), key.c_str(), kKeyFilePassword, nullptr,
                           &text),
            KELU_OK);
  const std::string pkcs1 = TakeText(text);
  ASSERT_EQ(SignData_PKCS7Detached("SM2", data.data(), Size(data), key.c_str(), kKeyFilePassword,
                                   nullptr, &text),
            KELU_OK);
  const std::string detached = TakeText(text);
  ASSERT_EQ(SignData_PKCS7Attached("SM2", data.data(), Size(data), key.c_str(), kKeyFilePassword,
                                   nullptr, &text),
            KELU_OK);
  Bytes attached = FromBase64(TakeText(text));
  attached[attached.size() - 10] ^= 0x01;  // inside the signature value
  const Bytes changed = Changed(data, 99);
  Write("changed", changed);
  const std::string cert = CertText("sm2-leaf");

  struct Case {
    const char *function;
    const char *what;
    std::function<int()> call;
    int want;
    const char *step;
  };
  const Case cases[] = {
      {"SignData_PKCS1", "wrong PKCS#12 password",
       [&] {
         return SignData_PKCS1("RSA", data.data(), 1, pfx.c_str(), "wrong", "SHA-1", &text);
       },
       KELU_ERR_SIGN, "RSA_SignData_PKCS1"},
      {"SignData_PKCS7Detached", "wrong PKCS#12 password",
       [&] {
         return SignData_PKCS7Detached("RSA", data.data(), 1, pfx.c_str(), "", "SHA-1", &text);
       },
       KELU_ERR_SIGN, "RSA_SignData_PKCS7"},
      {"SignData_PKCS7Attached", "wrong PKCS#12 password",
       [&] {
         return SignData_PKCS7Attached("RSA", data.data(), 1, pfx.c_str(), "x", "SHA-256", &text);
       },
       KELU_ERR_SIGN, "RSA_SignData_PKCS7"},
      {"SignFile_PKCS7Detached", "wrong PKCS#12 password: -1 unchanged",
       [&] {
         return SignFile_PKCS7Detached("RSA", source.c_str(), pfx.c_str(), "x", "SHA-256", &text);
       },
       KELU_ERR_FAILED, "RSA_SignFile_PKCS7Detached"},
      {"SignData_PKCS7Detached", "wrong SM2 password: its own code",
       [&] {
         return SignData_PKCS7Detached("SM2", data.data(), 1, key.c_str(), "x", nullptr, &text);
       },
       KELU_ERR_KEY_FILE_PASSWORD, "SignData_PKCS7_BySM2PFX"},
      {"SignData_PKCS1", "certificate without digitalSignature",
       [&] {
         const std::string enc = Sm2Key("ku-enc");
         return SignData_PKCS1("SM2", data.data(), 1, enc.c_str(), kKeyFilePassword, nullptr,
                               &text);
       },
       KELU_ERR_KEY_USAGE, "SignData_PKCS1_BySM2PFX"},
      {"VerifyDataSignature_PKCS1", "other data",
       [&] {
         return VerifyDataSignature_PKCS1("SM2", changed.data(), Size(changed), cert.c_str(),
                                          nullptr, pkcs1.c_str());
       },
       KELU_ERR_BAD_SIGNATURE, "VerifySignature_PKCS1_ByCert"},
      {"VerifyDataSignature_PKCS7Detached", "other data",
       [&] {
         return VerifyDataSignature_PKCS7Detached("SM2", changed.data(), Size(changed),
                                                  detached.c_str(), &text);
       },
       KELU_ERR_BAD_SIGNATURE, "VerifySignature_PKCS7Detached"},
      {"VerifyDataSignature_PKCS7Attached", "signature value changed",
       [&] {
         return VerifyDataSignature_PKCS7Attached("SM2", ToBase64(attached).c_str(), &text,
                                                  nullptr, nullptr);
       },
       KELU_ERR_BAD_SIGNATURE, "VerifySignature_PKCS7Attached"},
      {"VerifyFileSignature_PKCS7Detached", "other file: -1 unchanged",
       [&] {
         return VerifyFileSignature_PKCS7Detached("SM2", dir_.File("changed").c_str(),
                                                  detached.c_str(), &text);
       },
       KELU_ERR_FAILED, "SM2_VerifyFileSignature_PKCS7Detached"},
      {"VerifyDataSignature_PKCS7Detached", "an attached SignedData: its own code",
       [&] {
         return VerifyDataSignature_PKCS7Detached("SM2", data.data(), Size(data),
                                                  ToBase64(attached).c_str(), &text);
       },
       KELU_ERR_PKCS7_FORMAT, "VerifySignature_PKCS7Detached"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.function) + ": " + c.what);
    log_.Take();
    EXPECT_EQ(c.call(), c.want);
    EXPECT_TRUE(log_.Contains(FailedStep(c.function, c.step, c.want, "KELU_OK != nResult")))
        << log_.Text();
    EXPECT_EQ(text, nullptr);
  }
}

// A key file whose key is not its certificate's: every signer refuses it as it refuses a wrong
// password, and hands nothing out.
TEST_F(SignFunctionsLogged, KeyFileWhoseKeyIsNotTheCertificatesSignsNothing) {
  const Bytes data = RandomBytes(100);
  const std::string source = Write("source", data), key = Sm2Key("other-key");
  const std::string recipient = CertText("ku-both");
  char *text = nullptr;
  struct Case {
    const char *function;
    std::function<int()> call;
  };
  const Case cases[] = {
      {"SignData_PKCS1",
       [&] {
         return SignData_PKCS1("SM2", data.data(), Size(data), key.c_str(), kKeyFilePassword,
                               nullptr, &text);
       }},
      {"SignData_PKCS7Detached",
       [&] {
         return SignData_PKCS7Detached("SM2", data.data(), Size(data), key.c_str(),
                                       kKeyFilePassword, nullptr, &text);
       }},
      {"SignData_PKCS7Attached",
       [&] {
         return SignData_PKCS7Attached("SM2", data.data(), Size(data), key.c_str(),
                                       kKeyFilePassword, nullptr, &text);
       }},
      {"SignFile_PKCS7Detached",
       [&] {
         return SignFile_PKCS7Detached("SM2", source.c_str(), key.c_str(), kKeyFilePassword,
                                       nullptr, &text);
       }},
      {"SignAndEncryptData",
       [&] {
         return SignAndEncryptData("SM2", data.data(), Size(data), key.c_str(), kKeyFilePassword,
                                   nullptr, recipient.c_str(), nullptr, &text);
       }},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.function);
    log_.Take();
    EXPECT_EQ(c.call(), KELU_ERR_KEY_FILE_PASSWORD);
    EXPECT_EQ(text, nullptr);
    EXPECT_TRUE(log_.Contains("-- Check private key matches certificate)\t\t--Failed:(0xa0071108) "
                              "[Reason:the private key is not the key of the certificate]"))
        << log_.Text();
  }
}

// ---- Both paths against the peers ----------------------------------------------------------

TEST_F(SignFunctions, Sm2SignaturesBothWaysWithPeers) {
  const Bytes data = RandomBytes(1234);
  const std::string key = Sm2Key(), cert = CertText("sm2-leaf");
  char *text = nullptr;
  ASSERT_EQ(SignData_PKCS1("sm2", data.data(), Size(data), key.c_str(), kKeyFilePassword, nullptr,
                           &text),
            KELU_OK);
  const std::string pkcs1 = TakeText(text);
  EXPECT_TRUE(OpensslSm2Verify(SignerCertPem(), data, FromBase64(pkcs1), true));
  auto verify_pkcs1 = [&](const std::string &cert_text, const std::string &signature) {
    return VerifyDataSignature_PKCS1("Sm2", data.data(), Size(data), cert_text.c_str(), nullptr,
                                     signature.c_str());
  };
  EXPECT_EQ(verify_pkcs1(cert, pkcs1), KELU_OK);
  EXPECT_EQ(verify_pkcs1(OpensslBase64(SignerCertPem()), pkcs1), KELU_OK) << "PEM certificate";
  EXPECT_EQ(verify_pkcs1(cert, ToBase64(OpensslSm2Sign(SharedPki().Key("sm2-leaf"), data, true))),
            KELU_OK);

  if (SmCryptoV2Available()) {
    const Sm2KeyValues k = ReadSm2PrivateKey(SharedPki().Key("sm2-leaf"));
    const std::string helpers = "const hex = (s) => Uint8Array.from(Buffer.from(s, 'hex'));\n";
    const std::string theirs = RunSmCryptoV2(
        helpers + "console.log(sm2.doSignature(hex(a[0]), a[1], { hash: true, der: true }));",
        {Lower(ToHex(data)), Lower(ToHex(k.d))});
    EXPECT_EQ(verify_pkcs1(cert, ToBase64(FromHex(theirs))), KELU_OK);
    EXPECT_EQ(RunSmCryptoV2(helpers + "console.log(sm2.doVerifySignature(hex(a[0]), a[1], a[2], "
                                      "{ hash: true, der: true }));",
                            {Lower(ToHex(data)), Lower(ToHex(FromBase64(pkcs1))),
                             "04" + Lower(ToHex(k.x) + ToHex(k.y))}),
              "true");
  }

  ASSERT_EQ(SignData_PKCS7Detached("SM2", data.data(), Size(data), key.c_str(), kKeyFilePassword,
                                   "ignored", &text),
            KELU_OK);
  const std::string detached = TakeText(text);
  EXPECT_TRUE(OpensslSm2Verify(SignerCertPem(), data, LastOctetString(FromBase64(detached)),
                               true));
  char *signer = nullptr;
  ASSERT_EQ(VerifyDataSignature_PKCS7Detached("sM2", data.data(), Size(data), detached.c_str(),
                                              &signer),
            KELU_OK);
  EXPECT_EQ(TakeText(signer), cert);
  EXPECT_EQ(VerifyDataSignature_PKCS7Detached("SM2", data.data(), Size(data), detached.c_str(),
                                              nullptr),
            KELU_OK);

  ASSERT_EQ(SignData_PKCS7Attached("SM2", data.data(), Size(data), key.c_str(), kKeyFilePassword,
                                   nullptr, &text),
            KELU_OK);
  const std::string attached = TakeText(text);
  const Bytes attached_der = FromBase64(attached);
  EXPECT_TRUE(OpensslSm2Verify(SignerCertPem(), data, LastOctetString(attached_der), true));
  EXPECT_NE(Asn1Parse(attached_der).find(":1.2.156.10197.6.1.4.2.1"), std::string::npos);
  unsigned char *content = nullptr;
  int length = 0;
  ASSERT_EQ(VerifyDataSignature_PKCS7Attached("SM2", attached.c_str(), &signer, &content, &length),
            KELU_OK);
  EXPECT_EQ(TakeText(signer), cert);
  EXPECT_EQ(Bytes(content, content + length), data);
  FreeMemory(content);
  EXPECT_EQ(VerifyDataSignature_PKCS7Attached("SM2", attached.c_str(), nullptr, nullptr, nullptr),
            KELU_OK);
  length = 0;
  EXPECT_EQ(VerifyDataSignature_PKCS7Attached("SM2", attached.c_str(), nullptr, nullptr, &length),
            KELU_OK);
  EXPECT_EQ(length, Size(data)) << "the length alone";
}

struct RsaHash {
  const char *name;     // as the caller writes it
  const char *openssl;  // openssl's digest option
};
const RsaHash kRsaHashes[] = {{"sha-1", "sha1"}, {"SHA-256", "sha256"}};

// SignedData built around OpenSSL's SM2 signatures, as standard CMS signers write it and as
// forgeries of it, through the exported verifications: 0 or the bad-signature code (-1 from the
// file verification), never an invalid parameter, and the signer's certificate as its DER.
TEST_F(SignFunctions, Sm2SignedDataOfStandardSignersAndForgeries) {
  const Bytes data = RandomBytes(120);
  const std::string key = SharedPki().Key("sm2-leaf");
  const Bytes cert = SignerCertDer();
  const Bytes attributes = Cat({ContentTypeAttribute(), MessageDigestAttribute(Sm3(data))});
  const Bytes of_attributes = DerTlv(0x04, OpensslSm2Sign(key, DerTlv(0x31, attributes), true));
  const Bytes of_content = DerTlv(0x04, OpensslSm2Sign(key, data, true));
  SignedDataParts pkcs7 = WithOuterType("1.2.840.113549.1.7.2");
  SignedDataParts cms = pkcs7;
  cms.signed_attributes = DerTlv(0xA0, attributes);
  SignedDataParts made_up;
  made_up.signed_attributes = DerTlv(
      0xA0, Cat({SigningTimeAttribute("000101000000Z"), MessageDigestAttribute(Bytes(32, 0))}));
  SignedDataParts indefinite;
  indefinite.certificates_field = Indefinite(DerTlv(0xA0, cert));
  struct Row {
    const char *what;
    Bytes signature;
    SignedDataParts parts;
    int want;
  };
  const Row rows[] = {
      {"CMS signed attributes", of_attributes, cms, KELU_OK},
      {"the content's signature with a made-up block", of_content, made_up,
       KELU_ERR_BAD_SIGNATURE},
      {"pkcs7-signedData, OCTET STRING holding the DER signature", of_content, pkcs7, KELU_OK},
      {"pkcs7-signedData, OCTET STRING of other bytes", DerTlv(0x04, RandomBytes(70)), pkcs7,
       KELU_ERR_BAD_SIGNATURE},
      {"the certificates field in the indefinite form", of_content, indefinite, KELU_OK},
  };
  const std::string path = dir_.File("data.bin");
  WriteBinaryFile(path, data);
  for (const Row &r : rows) {
    SCOPED_TRACE(r.what);
    const std::string detached = ToBase64(BuildSignedData(cert, nullptr, r.signature, r.parts));
    const std::string attached = ToBase64(BuildSignedData(cert, &data, r.signature, r.parts));
    char *signer = nullptr, *file_signer = nullptr, *attached_signer = nullptr;
    unsigned char *content = nullptr;
    int content_size = 0;
    EXPECT_EQ(VerifyDataSignature_PKCS7Detached("SM2", data.data(), static_cast<int>(data.size()),
                                                detached.c_str(), &signer),
              r.want);
    // The file verification passes the lower -1 on unchanged.
    EXPECT_EQ(VerifyFileSignature_PKCS7Detached("SM2", path.c_str(), detached.c_str(),
                                                &file_signer),
              r.want == KELU_ERR_BAD_SIGNATURE ? KELU_ERR_FAILED : r.want);
    EXPECT_EQ(VerifyDataSignature_PKCS7Attached("SM2", attached.c_str(), &attached_signer,
                                                &content, &content_size),
              r.want);
    if (r.want == KELU_OK) {
      const std::string text = OpensslBase64(SharedPki().Der("sm2-leaf"));
      EXPECT_EQ(TakeText(signer), text);
      EXPECT_EQ(TakeText(file_signer), text);
      EXPECT_EQ(TakeText(attached_signer), text);
      EXPECT_EQ(Bytes(content, content + content_size), data);
      FreeMemory(content);
    }
  }
}

// Signed attribute blocks as RFC 5652 allows and forbids them, around the digest of the
// content (other: of other content) with inner as the eContentType (other_data: the other data
// type), whether the toolkit's SM2 verifiers take them, and whether OpenSSL's CMS verification
// takes them in an RSA SignedData. OpenSSL requires a contentType, does not compare it with the
// eContentType, and verifies over its own DER of the block.
struct AttributeBlock {
  std::string what;
  Bytes attributes;
  bool verifies, openssl_verifies;
};

std::vector<AttributeBlock> AttributeBlocks(const Bytes &digest, const Bytes &other,
                                            const char *inner, const char *other_data) {
  constexpr char kContentType[] = "1.2.840.113549.1.9.3";
  constexpr char kMessageDigest[] = "1.2.840.113549.1.9.4";
  constexpr char kSigningTime[] = "1.2.840.113549.1.9.5";
  const Bytes type = ContentTypeAttribute(inner), md = MessageDigestAttribute(digest);
  const Bytes other_md = MessageDigestAttribute(other);
  const Bytes time = SigningTimeAttribute("261211103000Z");
  const Bytes no_values = {0x31, 0x00};
  // The messageDigest type with its last arc padded (80 04): no OBJECT IDENTIFIER to a BER
  // reader, the messageDigest to a lax one.
  Bytes padded = Oid(kMessageDigest);
  padded.back() = 0x80;
  padded.push_back(0x04);
  padded[1] = static_cast<uint8_t>(padded.size() - 2);
  // The contentType's OID with its length in the long form.
  const Bytes inner_oid = Oid(inner);
  const Bytes long_form = Cat({{0x06, 0x81}, Bytes(inner_oid.begin() + 1, inner_oid.end())});
  return {
      {"contentType and one messageDigest", Cat({type, md}), true, true},
      {"one messageDigest, no contentType", md, true, false},
      {"contentType, signingTime and messageDigest", Cat({type, time, md}), true, true},
      {"an attribute of another type of no value",
       Cat({type, md, DerTlv(0x30, Cat({Oid("1.2.3.4"), no_values}))}), true, true},
      {"the contentType's OID in the long length form",
       Cat({Attribute(kContentType, long_form), md}), true, false},
      {"two messageDigests, the content's first", Cat({type, md, other_md}), false, false},
      {"two messageDigests, the content's second", Cat({type, other_md, md}), false, false},
      {"a messageDigest of two values",
       Cat({type, Attribute(kMessageDigest, Cat({DerTlv(0x04, digest), DerTlv(0x04, digest)}))}),
       false, false},
      {"a messageDigest of no value beside one",
       Cat({type, DerTlv(0x30, Cat({Oid(kMessageDigest), no_values})), md}), false, false},
      {"another messageDigest whose type pads an arc",
       Cat({type, md, DerTlv(0x30, Cat({padded, DerTlv(0x31, DerTlv(0x04, other))}))}), false,
       false},
      {"contentType envelopedData", Cat({ContentTypeAttribute("1.2.840.113549.1.7.3"), md}),
       false, true},
      {"contentType of the other data type", Cat({ContentTypeAttribute(other_data), md}), false,
       true},
      {"contentType twice", Cat({type, type, md}), false, false},
      {"a contentType of two values",
       Cat({Attribute(kContentType, Cat({Oid(inner), Oid(inner)})), md}), false, false},
      {"a contentType of no value", Cat({DerTlv(0x30, Cat({Oid(kContentType), no_values})), md}),
       false, false},
      {"signingTime twice", Cat({type, time, time, md}), false, false},
      {"a signingTime of no value",
       Cat({type, DerTlv(0x30, Cat({Oid(kSigningTime), no_values})), md}), false, false},
      {"a countersignature", Cat({type, md, Attribute("1.2.840.113549.1.9.6", DerTlv(0x30, {}))}),
       false, false},
      {"an element that is no Attribute after the messageDigest", Cat({type, md, {0x04, 0x00}}),
       false, false},
      {"an attribute without its SET after the messageDigest",
       Cat({type, md, DerTlv(0x30, Oid("1.2.3.4"))}), false, false},
  };
}

// Whether openssl cms -verify takes a detached RSA SignedData under the PKCS#7 types whose
// signed attributes are the block, signed over their SET by openssl dgst with SHA-256.
bool OpensslCmsVerifiesRsa(const Bytes &attributes, const Bytes &data, const TempDir &dir) {
  const std::string tbs = dir.File("tbs.der"), signature = dir.File("tbs.sig");
  const std::string message = dir.File("rsa.p7"), content = dir.File("rsa-data.bin");
  WriteBinaryFile(tbs, DerTlv(0x31, attributes));
  WriteBinaryFile(content, data);
  Openssl("dgst -sha256 -sign " + ShellQuote(SharedPki().Key("rsa-leaf")) + " -out " +
          ShellQuote(signature) + " " + ShellQuote(tbs));
  SignedDataParts parts = WithContentTypes(kPkcs7SignedDataType, kPkcs7DataType);
  parts.digest_algorithm = Algorithm("2.16.840.1.101.3.4.2.1");
  parts.signature_algorithm = Algorithm("1.2.840.113549.1.1.1");
  parts.signed_attributes = DerTlv(0xA0, attributes);
  WriteBinaryFile(message, BuildSignedData(SharedPki().DerBytes("rsa-leaf"), nullptr,
                                           DerTlv(0x04, ReadBinaryFile(signature)), parts));
  return RunCommand("openssl cms -verify -binary -noverify -inform DER -in " +
                    ShellQuote(message) + " -content " + ShellQuote(content) + " -out /dev/null")
             .exit_code == 0;
}

Bytes Sha256(const Bytes &data) {
  Bytes out(32);
  unsigned int length = 0;
  EXPECT_EQ(EVP_Digest(data.data(), data.size(), out.data(), &length, EVP_sha256(), nullptr), 1);
  return out;
}

// What every SM2 verifier and reading gives for one message: the exported verifiers, the
// attached-file verifier, the SM2 verifiers' reading and the plain reading with its switch.
struct Sm2Readings {
  int detached, detached_file, attached, attached_file;
  std::string detached_signer, file_signer, attached_signer;  // Base64 of the DER
  Bytes attached_file_signer, content, file_content;
  int reading, plain_reading;
  Bytes rs, plain;  // the signature values they hand out
};

Sm2Readings ReadSm2Everywhere(const Bytes &detached, const Bytes &attached, const Bytes &data,
                              const TempDir &dir) {
  const std::string data_path = dir.File("data.bin"), signed_path = dir.File("signed.p7");
  WriteBinaryFile(data_path, data);
  WriteBinaryFile(signed_path, attached);
  const std::string detached_text = ToBase64(detached), attached_text = ToBase64(attached);
  Sm2Readings r{};
  char *signer = nullptr;
  r.detached = VerifyDataSignature_PKCS7Detached("SM2", data.data(), Size(data),
                                                 detached_text.c_str(), &signer);
  r.detached_signer = TakeText(signer);
  r.detached_file = VerifyFileSignature_PKCS7Detached("SM2", data_path.c_str(),
                                                      detached_text.c_str(), &signer);
  r.file_signer = TakeText(signer);
  unsigned char *content = nullptr;
  int content_size = 0;
  r.attached = VerifyDataSignature_PKCS7Attached("SM2", attached_text.c_str(), &signer, &content,
                                                 &content_size);
  r.attached_signer = TakeText(signer);
  r.content.assign(content, content + (content != nullptr ? content_size : 0));
  FreeMemory(content);
  FilePtr file = OpenForReading(signed_path);
  long long offset = 0;
  int size = 0;
  const BytesResult cert = CallForBytes([&](unsigned char **o, int *n) {
    return VerifyFileSignature_PKCS7Attached(file.get(), &offset, &size, o, n, true);
  });
  r.attached_file = cert.rc;
  r.attached_file_signer = cert.bytes;
  if (cert.rc == KELU_OK) {
    r.file_content.assign(attached.begin() + offset, attached.begin() + offset + size);
  }
  // Both readings of the detached message, and the same of the attached one.
  for (const Bytes *der : {&detached, &attached}) {
    const BytesResult rs = CallForBytes([&](unsigned char **o, int *n) {
      unsigned char *c = nullptr;
      int c_size = 0;
      const int rc =
          ParseSM2PKCS7Signature(der->data(), Size(*der), &c, &c_size, o, n, nullptr, nullptr);
      delete[] c;
      return rc;
    });
    const BytesResult plain = CallForBytes([&](unsigned char **o, int *n) {
      return ParsePKCS7Signature(der->data(), Size(*der), nullptr, nullptr, o, n, nullptr,
                                 nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                 nullptr, nullptr, 1);
    });
    if (der == &detached) {
      r.reading = rs.rc;
      r.rs = rs.bytes;
      r.plain_reading = plain.rc;
      r.plain = plain.bytes;
    } else {
      EXPECT_EQ(rs.rc, r.reading);
      EXPECT_EQ(rs.bytes, r.rs);
      EXPECT_EQ(plain.rc, r.plain_reading);
      EXPECT_EQ(plain.bytes, r.plain);
    }
  }
  return r;
}

// Each form of an SM2 signature value under each signedData content type, and signed
// attributes as RFC 5652 allows and forbids them, in SignedData built around signatures of
// openssl pkeyutl (SM3 with the default ID), detached and attached, through every verifier.
//  - Under pkcs7-signedData an OCTET STRING of 64 bytes is r || s and one of 66 to 72 bytes an
//    SM2Q1; under the SM signedData type it is always an SM2Q1. ParsePKCS7Signature with its
//    switch reads an SM2 signer's value the same way.
//  - Signed attributes hold exactly one messageDigest of one value, and at most one contentType
//    of one value, the eContentType.
// A message that does not verify gives the code of a bad signature (-1 from the file
// verifiers and the SM2 reading); one that does hands out exactly the signer's certificate,
// and the SM2 reading OpenSSL's r || s.
TEST_F(SignFunctions, Sm2SignatureFormsAndSignedAttributesThroughEveryVerifier) {
  const Bytes data = RandomBytes(200);
  const std::string key = SharedPki().Key("sm2-leaf");
  const Bytes cert = SignerCertDer();
  const Bytes of_content = OpensslSm2Sign(key, data, true);
  const Bytes digest = Sm3(data), other_digest = Sm3(Changed(data));
  struct Types {
    const char *name, *outer, *inner, *other_data;
    bool pkcs7;
  };
  const Types kTypes[] = {
      {"SM types", kSmSignedDataType, kSmDataType, kPkcs7DataType, false},
      {"PKCS#7 types", kPkcs7SignedDataType, kPkcs7DataType, kSmDataType, true}};
  struct Row {
    std::string what;
    Bytes signature;  // the signature value element(s)
    SignedDataParts parts;
    bool verifies;
    Bytes der;    // OpenSSL's signature
    Bytes plain;  // what the plain reading hands out; empty when it refuses
  };
  std::vector<Row> rows;
  for (const Types &t : kTypes) {
    const SignedDataParts types = WithContentTypes(t.outer, t.inner);
    const bool pkcs7 = t.pkcs7;
    const struct {
      const char *what;
      Sm2ValueForm form;
    } kForms[] = {{"r || s in an OCTET STRING", Sm2ValueForm::kRawInOctetString},
                  {"SM2Q1 in an OCTET STRING", Sm2ValueForm::kSM2Q1InOctetString},
                  {"the SM2Q1 SEQUENCE", Sm2ValueForm::kSM2Q1},
                  {"two INTEGERs", Sm2ValueForm::kTwoIntegers}};
    for (const auto &f : kForms) {
      // 64 bytes are no SM2Q1 under the SM type; the plain reading decodes under it only.
      const bool raw_under_sm = !pkcs7 && f.form == Sm2ValueForm::kRawInOctetString;
      const Bytes plain = raw_under_sm ? Bytes() : RawOf(of_content);
      rows.push_back({std::string(t.name) + ", " + f.what, Sm2SignatureValue(f.form, of_content),
                      types, !raw_under_sm, of_content, plain});
    }
    for (const AttributeBlock &b : AttributeBlocks(digest, other_digest, t.inner, t.other_data)) {
      SignedDataParts parts = types;
      parts.signed_attributes = DerTlv(0xA0, b.attributes);
      const Bytes der = OpensslSm2Sign(key, DerTlv(0x31, b.attributes), true);
      rows.push_back({std::string(t.name) + ", " + b.what,
                      Sm2SignatureValue(Sm2ValueForm::kSM2Q1InOctetString, der), parts,
                      b.verifies, der, RawOf(der)});
    }
  }
  const std::string signer_text = OpensslBase64(SharedPki().Der("sm2-leaf"));
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    const Sm2Readings r =
        ReadSm2Everywhere(BuildSignedData(cert, nullptr, row.signature, row.parts),
                          BuildSignedData(cert, &data, row.signature, row.parts), data, dir_);
    const int exported = row.verifies ? KELU_OK : KELU_ERR_BAD_SIGNATURE;
    const int lower = row.verifies ? KELU_OK : KELU_ERR_FAILED;  // -1, passed on unchanged
    EXPECT_EQ(r.detached, exported);
    EXPECT_EQ(r.detached_file, lower);
    EXPECT_EQ(r.attached, exported);
    EXPECT_EQ(r.attached_file, lower);
    EXPECT_EQ(r.reading, lower);
    EXPECT_EQ(r.plain_reading, row.plain.empty() ? KELU_ERR_FAILED : KELU_OK);
    EXPECT_EQ(r.plain, row.plain);
    if (row.verifies) {
      EXPECT_EQ(r.detached_signer, signer_text);
      EXPECT_EQ(r.file_signer, signer_text);
      EXPECT_EQ(r.attached_signer, signer_text);
      EXPECT_EQ(r.attached_file_signer, cert);
      EXPECT_EQ(r.content, data);
      EXPECT_EQ(r.file_content, data);
      EXPECT_EQ(r.rs, RawOf(row.der));
    }
  }
  // The blocks beside OpenSSL's CMS verification, in RSA SignedData (its SM2 uses another ID).
  const Bytes sha256 = Sha256(data), other_sha256 = Sha256(Changed(data));
  for (const AttributeBlock &b :
       AttributeBlocks(sha256, other_sha256, kPkcs7DataType, kSmDataType)) {
    SCOPED_TRACE("OpenSSL, " + b.what);
    EXPECT_EQ(OpensslCmsVerifiesRsa(b.attributes, data, dir_), b.openssl_verifies);
  }
}

TEST_F(SignFunctions, RsaSignaturesBothWaysWithOpenssl) {
  const Bytes data = RandomBytes(3000);
  const std::string data_path = Write("data.bin", data), pfx = RsaPfx();
  const std::string cert = CertText("rsa-leaf");
  const TestPki &pki = SharedPki();
  const std::string signer_args = " -signer " + ShellQuote(pki.Pem("rsa-leaf")) + " -inkey " +
                                  ShellQuote(pki.Key("rsa-leaf"));
  char *text = nullptr;
  for (const RsaHash &h : kRsaHashes) {
    SCOPED_TRACE(h.name);
    // PKCS#1 v1.5 is deterministic: the same bytes as openssl dgst -sign.
    ASSERT_EQ(SignData_PKCS1("Rsa", data.data(), Size(data), pfx.c_str(), kPfxPassword, h.name,
                             &text),
              KELU_OK);
    const std::string pkcs1 = TakeText(text);
    Openssl("dgst -" + std::string(h.openssl) + " -sign " + ShellQuote(pki.Key("rsa-leaf")) +
            " -out " + ShellQuote(dir_.File("openssl.sig")) + " " + ShellQuote(data_path));
    EXPECT_EQ(pkcs1, OpensslBase64(dir_.File("openssl.sig")));
    EXPECT_EQ(VerifyDataSignature_PKCS1("rsa", data.data(), Size(data), cert.c_str(), h.name,
                                        pkcs1.c_str()),
              KELU_OK);

    for (bool attached : {false, true}) {
      SCOPED_TRACE(attached ? "attached" : "detached");
      const int rc = attached ? SignData_PKCS7Attached("RSA", data.data(), Size(data), pfx.c_str(),
                                                       kPfxPassword, h.name, &text)
                              : SignData_PKCS7Detached("RSA", data.data(), Size(data), pfx.c_str(),
                                                       kPfxPassword, h.name, &text);
      ASSERT_EQ(rc, KELU_OK);
      const std::string sig_path = Write("toolkit.p7", FromBase64(TakeText(text)));
      for (const char *tool : {"cms", "smime"}) {
        Openssl(std::string(tool) + " -verify -binary -noverify -inform DER -in " +
                ShellQuote(sig_path) + " -out " + ShellQuote(dir_.File("out.bin")) +
                (attached ? "" : " -content " + ShellQuote(data_path)));
        EXPECT_EQ(ReadBinaryFile(dir_.File("out.bin")), data) << tool;
      }
      EXPECT_NE(Openssl("cms -cmsout -print -inform DER -in " + ShellQuote(sig_path))
                    .find(std::string("algorithm: ") + h.openssl),
                std::string::npos);

      // openssl's SignedData (with signed attributes) verified here.
      Openssl("cms -sign -binary -md " + std::string(h.openssl) + signer_args +
              (attached ? " -nodetach" : "") + " -in " + ShellQuote(data_path) +
              " -outform DER -out " + ShellQuote(dir_.File("openssl.p7")));
      const std::string theirs = OpensslBase64(dir_.File("openssl.p7"));
      char *signer = nullptr;
      if (attached) {
        unsigned char *content = nullptr;
        int length = 0;
        ASSERT_EQ(VerifyDataSignature_PKCS7Attached("any name", theirs.c_str(), &signer, &content,
                                                    &length),
                  KELU_OK);
        EXPECT_EQ(Bytes(content, content + length), data);
        FreeMemory(content);
      } else {
        ASSERT_EQ(VerifyDataSignature_PKCS7Detached("RSA", data.data(), Size(data), theirs.c_str(),
                                                    &signer),
                  KELU_OK);
      }
      EXPECT_EQ(TakeText(signer), cert);
    }
  }
}

// Files are read in 16384-byte blocks; both paths, against the same bytes in memory and the
// peers.
TEST_F(SignFunctions, FilesAtBlockBoundaries) {
  const std::string key = Sm2Key(), pfx = RsaPfx();
  const TestPki &pki = SharedPki();
  const int descriptors = OpenDescriptorCount();
  for (size_t size : {0, 16383, 16384, 16385, 3 * 16384}) {
    SCOPED_TRACE(size);
    const Bytes data = RandomBytes(size);
    const std::string path = Write("data.bin", data);
    char *text = reinterpret_cast<char *>(0x1);
    char *signer = nullptr;

    ASSERT_EQ(SignFile_PKCS7Detached("SM2", path.c_str(), key.c_str(), kKeyFilePassword, nullptr,
                                     &text),
              KELU_OK);
    const std::string sm2 = TakeText(text);
    EXPECT_TRUE(OpensslSm2Verify(SignerCertPem(), data, LastOctetString(FromBase64(sm2)), true));
    ASSERT_EQ(VerifyFileSignature_PKCS7Detached("sm2", path.c_str(), sm2.c_str(), &signer), KELU_OK);
    EXPECT_EQ(TakeText(signer), CertText("sm2-leaf"));
    if (size > 0) {
      EXPECT_EQ(VerifyDataSignature_PKCS7Detached("SM2", data.data(), Size(data), sm2.c_str(),
                                                  nullptr),
                KELU_OK);
    }

    ASSERT_EQ(SignFile_PKCS7Detached("rsa", path.c_str(), pfx.c_str(), kPfxPassword, "SHA-256",
                                     &text),
              KELU_OK);
    const std::string rsa_path = Write("rsa.p7", FromBase64(TakeText(text)));
    Openssl("cms -verify -binary -noverify -inform DER -in " + ShellQuote(rsa_path) +
            " -content " + ShellQuote(path) + " -out /dev/null");
    Openssl("cms -sign -binary -noattr -md sha256 -signer " + ShellQuote(pki.Pem("rsa-leaf")) +
            " -inkey " + ShellQuote(pki.Key("rsa-leaf")) + " -in " + ShellQuote(path) +
            " -outform DER -out " + ShellQuote(dir_.File("openssl.p7")));
    for (const std::string &signature : {OpensslBase64(rsa_path),
                                         OpensslBase64(dir_.File("openssl.p7"))}) {
      EXPECT_EQ(VerifyFileSignature_PKCS7Detached("RSA", path.c_str(), signature.c_str(), nullptr),
                KELU_OK);
    }
  }
  EXPECT_EQ(OpenDescriptorCount(), descriptors) << "every file closed";
}

}  // namespace
}  // namespace kelu::test

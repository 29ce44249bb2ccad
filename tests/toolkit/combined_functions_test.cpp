// SignAndEncryptData and DecryptAndVerifyDataSignature: an attached SignedData inside an
// envelope, taken apart by independent peers (SM2: the content key by OpenSSL's SM2, the
// content by openssl enc, the signature by OpenSSL's SM2 over Z || data; RSA: openssl cms
// -decrypt and -verify), openssl cms's signed-then-enveloped data opened by the module; the
// parameter checks, the order of the steps, and which step's -1 becomes which code.
#include <gtest/gtest.h>
#include <openssl/err.h>

#include <algorithm>
#include <string>
#include <vector>

#include "../operations/RsaTestPki.h"
#include "../operations/Sm2EnvelopePki.h"
#include "Sm2Signatures.h"
#include "ToolkitTestUtil.h"

namespace kelu::test {
namespace {

struct Sealed {
  int rc;
  std::string envelope;
  bool output_null;
};
struct Unsealed {
  int rc;
  Bytes content;
  bool outputs_cleared;  // null and 0 after a failure
};

class CombinedFunctions : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    StartCryptoKernel();
    SharedSm2Pki();
    SharedRsaPki();
  }
  void SetUp() override {
    // The signer of the SM2 tests: the key of "enc" in its digitalSignature certificate.
    WriteSm2KeyFile(Sm2Signer(), sm2().Key("sign-only"), sm2().Pem("sign-only"),
                    kKeyFilePassword);
  }
  void TearDown() override { ERR_clear_error(); }

  const Sm2EnvelopePki &sm2() const { return SharedSm2Pki(); }
  const RsaPki &rsa() const { return SharedRsaPki(); }
  std::string Path(const std::string &name) const { return dir_.File(name); }
  std::string Sm2Signer() const { return Path("signer.sm2"); }
  std::string Sm2Cert(const std::string &name = "enc") const { return ToBase64(sm2().Der(name)); }
  std::string RsaCert(const std::string &name = "other") const {
    return ToBase64(rsa().Der(name));
  }

  Sealed Seal(const char *algorithm, const Bytes &data, const std::string &key_file,
              const char *password, const char *hash, const std::string &cert,
              const char *sym) const {
    char *out = reinterpret_cast<char *>(0x1);
    Sealed s{SignAndEncryptData(algorithm, data.data(), static_cast<int>(data.size()),
                                key_file.c_str(), password, hash, cert.c_str(), sym, &out),
             "", out == nullptr};
    if (s.rc == KELU_OK) s.envelope = TakeText(out);
    return s;
  }
  Sealed SealSm2(const Bytes &data, const std::string &cert) const {
    return Seal("SM2", data, Sm2Signer(), kKeyFilePassword, nullptr, cert, nullptr);
  }
  Sealed SealRsa(const Bytes &data, const char *hash, const char *sym,
                 const std::string &cert) const {
    return Seal("RSA", data, rsa().Pfx("rsa"), kPfxPassword, hash, cert, sym);
  }
  Unsealed Unseal(const char *algorithm, const std::string &envelope, const std::string &key_file,
                  const char *password) const {
    unsigned char *content = reinterpret_cast<unsigned char *>(0x1);
    int size = -7;
    Unsealed u{DecryptAndVerifyDataSignature(algorithm, envelope.c_str(), key_file.c_str(),
                                             password, &content, &size),
               {}, content == nullptr && size == 0};
    if (u.rc == KELU_OK) {
      u.content.assign(content, content + size);
      FreeMemory(content);
    }
    return u;
  }

  TempDir dir_;
  LogCapture log_;
};

Bytes DataWithZeros(size_t size) {
  Bytes data = RandomBytes(size);
  for (size_t i = 0; i < data.size(); i += 7) data[i] = 0;
  return data;
}

// ---- SM2 --------------------------------------------------------------------------------

TEST_F(CombinedFunctions, Sm2EnvelopeOfSignedDataOpensWithOpenSSL) {
  for (size_t size : {1u, 16u, 1000u}) {
    SCOPED_TRACE(size);
    const Bytes data = DataWithZeros(size);
    const Sealed s = SealSm2(data, Sm2Cert());
    ASSERT_EQ(s.rc, KELU_OK);
    // The envelope: SM4-CBC content, the content key as the raw SM2 cipher text.
    const PeerFields f = ParseWithOpenssl(FromBase64(s.envelope), dir_.path());
    EXPECT_EQ(f.content_algorithm, "1.2.156.10197.1.104");
    EXPECT_EQ(f.key_id, sm2().KeyId("enc"));
    ASSERT_EQ(f.encrypted_key.size(), 96u + 16u);
    const CommandResult key = OpensslSm2Decrypt(sm2(), "enc", OpenSslDerOfRaw(f.encrypted_key),
                                                dir_.path());
    ASSERT_EQ(key.exit_code, 0) << key.output;
    const Bytes content_key = ReadBinaryFile(Path("sm2-plain.bin"));
    ASSERT_EQ(content_key.size(), 16u);
    const Bytes signed_data =
        OpensslEnc("-sm4-cbc", true, content_key, f.parameters_value, f.content, dir_.path());
    // Inside: an attached SM2 SignedData over the data, signed over Z || data.
    EXPECT_NE(Asn1Parse(signed_data).find(":1.2.156.10197.6.1.4.2.2"), std::string::npos);
    EXPECT_NE(std::search(signed_data.begin(), signed_data.end(), data.begin(), data.end()),
              signed_data.end());
    EXPECT_TRUE(OpensslSm2Verify(sm2().Pem("sign-only"), data, LastOctetString(signed_data), true));

    const Unsealed u = Unseal("SM2", s.envelope, sm2().KeyFile("enc"), kKeyFilePassword);
    ASSERT_EQ(u.rc, KELU_OK);
    EXPECT_EQ(u.content, data);
  }
}

TEST_F(CombinedFunctions, Sm2PathIgnoresTheNames) {
  const Bytes data = RandomBytes(40);
  for (const char *name : {"", "SHA-1", "MD5", "RC4"}) {
    const Sealed s = Seal("sm2", data, Sm2Signer(), kKeyFilePassword, name, Sm2Cert(), name);
    ASSERT_EQ(s.rc, KELU_OK) << name;
    EXPECT_EQ(Unseal("Sm2", s.envelope, sm2().KeyFile("enc"), kKeyFilePassword).content, data);
  }
}

// A SignedData of other data put into an SM2 envelope fails the verification; the content of a
// plain envelope is no SignedData.
TEST_F(CombinedFunctions, Sm2ContentThatDoesNotVerify) {
  const Bytes data = RandomBytes(64);
  const Sealed s = SealSm2(data, Sm2Cert());
  ASSERT_EQ(s.rc, KELU_OK);
  unsigned char *plain = nullptr;
  int plain_size = 0;
  ASSERT_EQ(DecryptDataFromCMSEnvelope("SM2", s.envelope.c_str(), sm2().KeyFile("enc").c_str(),
                                       kKeyFilePassword, &plain, &plain_size),
            KELU_OK);
  Bytes signed_data(plain, plain + plain_size);
  FreeMemory(plain);
  auto at = std::search(signed_data.begin(), signed_data.end(), data.begin(), data.end());
  ASSERT_NE(at, signed_data.end());
  *at ^= 1;  // the content changed, the signature kept
  struct Case {
    const char *what;
    const Bytes &content;
    int code;  // 0: any failure
  };
  const Case cases[] = {{"changed content", signed_data, KELU_ERR_BAD_SIGNATURE},
                        {"no SignedData", data, 0}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    char *envelope = nullptr;
    ASSERT_EQ(EncryptDataToCMSEnvelope("SM2", c.content.data(), static_cast<int>(c.content.size()),
                                       Sm2Cert().c_str(), "SM4_CBC", &envelope),
              KELU_OK);
    const std::string text = TakeText(envelope);
    log_.Take();
    const Unsealed u = Unseal("SM2", text, sm2().KeyFile("enc"), kKeyFilePassword);
    if (c.code != 0) {
      EXPECT_EQ(u.rc, c.code);
    } else {
      EXPECT_NE(u.rc, KELU_OK);
    }
    EXPECT_TRUE(u.outputs_cleared);
    EXPECT_TRUE(log_.Contains(
        OkStep("DecryptAndVerifyDataSignature", "DecryptBase64CMSEnvelopeData")));
  }
}

// ---- RSA --------------------------------------------------------------------------------

TEST_F(CombinedFunctions, RsaEnvelopeOfSignedDataOpensWithOpensslCms) {
  const Bytes data = DataWithZeros(3000);
  for (const char *hash : {"SHA-1", "sha-256"}) {
    for (const char *sym : {"3DES", "rc4"}) {
      SCOPED_TRACE(std::string(hash) + " " + sym);
      const Sealed s = SealRsa(data, hash, sym, RsaCert());
      ASSERT_EQ(s.rc, KELU_OK);
      const Unsealed u = Unseal("RSA", s.envelope, rsa().Pfx("other"), kPfxPassword);
      ASSERT_EQ(u.rc, KELU_OK);
      EXPECT_EQ(u.content, data);
      if (std::string(sym) != "3DES") continue;  // openssl cms reads no NULL RC4 parameters
      WriteBinaryFile(Path("sealed.der"), FromBase64(s.envelope));
      Openssl("cms -decrypt -binary -inform DER -in " + ShellQuote(Path("sealed.der")) +
              " -inkey " + ShellQuote(rsa().Key("other")) + " -recip " +
              ShellQuote(rsa().Pem("other")) + " -out " + ShellQuote(Path("signed.der")));
      Openssl("cms -verify -binary -inform DER -in " + ShellQuote(Path("signed.der")) +
              " -CAfile " + ShellQuote(rsa().Pem("rsa-ca")) + " -out " +
              ShellQuote(Path("content.bin")));
      EXPECT_EQ(ReadBinaryFile(Path("content.bin")), data);
      const std::string digest = std::string(hash) == "SHA-1" ? "sha1" : "sha256";
      EXPECT_NE(Asn1Parse(ReadBinaryFile(Path("signed.der"))).find(":" + digest),
                std::string::npos);
    }
  }
}

TEST_F(CombinedFunctions, OpensslCmsSignedThenEnvelopedOpens) {
  const Bytes data = DataWithZeros(500);
  WriteBinaryFile(Path("data.bin"), data);
  Openssl("cms -sign -binary -nodetach -md sha256 -signer " + ShellQuote(rsa().Pem("rsa")) +
          " -inkey " + ShellQuote(rsa().Key("rsa")) + " -outform DER -in " +
          ShellQuote(Path("data.bin")) + " -out " + ShellQuote(Path("signed.der")));
  Openssl("cms -encrypt -binary -des3 -keyid -outform DER -in " + ShellQuote(Path("signed.der")) +
          " -out " + ShellQuote(Path("sealed.der")) + " " + ShellQuote(rsa().Pem("other")));
  const Unsealed u =
      Unseal("RSA", ToBase64(ReadBinaryFile(Path("sealed.der"))), rsa().Pfx("other"), kPfxPassword);
  ASSERT_EQ(u.rc, KELU_OK);
  EXPECT_EQ(u.content, data);
}

// The symmetric name is looked at only after the signature was made.
TEST_F(CombinedFunctions, RsaSymmetricNameAfterSigning) {
  const Bytes data = RandomBytes(10);
  log_.Take();
  const Sealed s = SealRsa(data, "SHA-1", "DES", RsaCert());
  EXPECT_EQ(s.rc, KELU_ERR_INVALID_PARAMETER);
  EXPECT_TRUE(s.output_null);
  const std::string text = log_.Text();
  const size_t signed_at = text.find(OkStep("SignAndEncryptData", "RSA_SignData_PKCS7_ByPFX"));
  const size_t refused_at = text.find(FailedStep("SignAndEncryptData",
                                                 "Invalid symmetric encrypt algorithm.",
                                                 KELU_ERR_INVALID_PARAMETER, "true"));
  ASSERT_NE(signed_at, std::string::npos);
  ASSERT_NE(refused_at, std::string::npos);
  EXPECT_LT(signed_at, refused_at);
}

// ---- Checks and codes -------------------------------------------------------------------

TEST_F(CombinedFunctions, SignAndEncryptChecks) {
  const Bytes d = RandomBytes(8);
  const std::string signer = Sm2Signer(), pfx = rsa().Pfx("rsa"), cert = Sm2Cert(),
                    rsa_cert = RsaCert(), missing = Path("missing");
  char *out = reinterpret_cast<char *>(0x1);
  auto seal = [&](const char *alg, const unsigned char *data, int size, const char *key,
                  const char *hash, const char *c, const char *sym, char **o) {
    return [=] { return SignAndEncryptData(alg, data, size, key, kPfxPassword, hash, c, sym, o); };
  };
  RunCheckTable(
      log_, "SignAndEncryptData",
      {{"null algorithm", seal(nullptr, d.data(), 8, signer.c_str(), "", cert.c_str(), "", &out),
        KELU_ERR_INVALID_PARAMETER, "Check parameter(pszAlgorithm).",
        "(NULL == pszAlgorithm || 0 == strlen(pszAlgorithm))"},
       {"no data", seal("SM2", d.data(), 0, signer.c_str(), "", cert.c_str(), "", &out),
        KELU_ERR_INVALID_PARAMETER, "Check parameter(pbyPlainData and nPlainDataSize).",
        "(NULL == pbyPlainData || 0 == nPlainDataSize)"},
       {"empty key path", seal("SM2", d.data(), 8, "", "", cert.c_str(), "", &out),
        KELU_ERR_INVALID_PARAMETER, "Check parameter(pszSignPFXFilePath).",
        "(NULL == pszSignPFXFilePath || 0 == strlen(pszSignPFXFilePath))"},
       {"null certificate", seal("SM2", d.data(), 8, signer.c_str(), "", nullptr, "", &out),
        KELU_ERR_INVALID_PARAMETER, "Check parameter(pszBase64EncryptCertContent).",
        "(NULL == pszBase64EncryptCertContent || 0 == strlen(pszBase64EncryptCertContent))"},
       {"null output", seal("SM2", d.data(), 8, signer.c_str(), "", cert.c_str(), "", nullptr),
        KELU_ERR_INVALID_PARAMETER, "Check output parameter(ppszBase64SignedAndEncryptedResult)",
        "NULL == ppszBase64SignedAndEncryptedResult"}});
  EXPECT_EQ(out, reinterpret_cast<char *>(0x1)) << "a refused argument leaves the output";
  RunCheckTable(
      log_, "SignAndEncryptData",
      {{"key file before the name", seal("XYZ", d.data(), 8, missing.c_str(), "", cert.c_str(), "", &out),
        KELU_ERR_OPEN_FILE, "Open PFX file.", "NULL == fpPFX"},
       {"unknown name", seal("XYZ", d.data(), 8, signer.c_str(), "", cert.c_str(), "", &out),
        KELU_ERR_INVALID_PARAMETER, "Invalid sign algorithm.", "true"},
       {"RSA without hash", seal("RSA", d.data(), 8, pfx.c_str(), nullptr, rsa_cert.c_str(), "3DES", &out),
        KELU_ERR_INVALID_PARAMETER, "Check parameter(pszHashAlg).",
        "(NULL == pszHashAlg || 0 == strlen(pszHashAlg))"},
       {"RSA without symmetric name",
        seal("RSA", d.data(), 8, pfx.c_str(), "SHA-1", rsa_cert.c_str(), "", &out),
        KELU_ERR_INVALID_PARAMETER, "Check parameter(pszSymEncAlg).",
        "(NULL == pszSymEncAlg || 0 == strlen(pszSymEncAlg))"},
       {"RSA with MD5", seal("RSA", d.data(), 8, pfx.c_str(), "MD5", rsa_cert.c_str(), "3DES", &out),
        KELU_ERR_INVALID_PARAMETER, "Invalid hash algorithm.", "true"}});
  EXPECT_EQ(out, nullptr) << "cleared once the checks have passed";
}

// Each step keeps its own codes; a -1 of the signing step becomes KELU_ERR_SIGN, one of the
// envelope step KELU_ERR_ENCRYPT.
TEST_F(CombinedFunctions, SignAndEncryptStepCodes) {
  const Bytes d = RandomBytes(8);
  struct Case {
    const char *what;
    Sealed sealed;
    int code;
    const char *step;
  };
  const Case cases[] = {
      {"SM2 wrong password",
       Seal("SM2", d, Sm2Signer(), "wrong", nullptr, Sm2Cert(), nullptr),
       KELU_ERR_KEY_FILE_PASSWORD, "SignData_PKCS7_BySM2PFX"},
      {"SM2 signer without digitalSignature",
       Seal("SM2", d, sm2().KeyFile("enc"), kKeyFilePassword, nullptr, Sm2Cert(), nullptr),
       KELU_ERR_KEY_USAGE, "SignData_PKCS7_BySM2PFX"},
      {"SM2 recipient without keyEncipherment", SealSm2(d, Sm2Cert("sign-only")),
       KELU_ERR_KEY_USAGE, "EncryptDataToBase64CMSEnvelope"},
      {"SM2 recipient without key identifier", SealSm2(d, Sm2Cert("no-ski")), KELU_ERR_ENCRYPT,
       "EncryptDataToBase64CMSEnvelope"},
      {"RSA key file without key", Seal("RSA", d, rsa().Pfx("rsa-nokey"), kPfxPassword, "SHA-1",
                                        RsaCert(), "3DES"),
       KELU_ERR_SIGN, "RSA_SignData_PKCS7_ByPFX"},
      {"RSA recipient without keyEncipherment", SealRsa(d, "SHA-1", "3DES", RsaCert("sign-only")),
       KELU_ERR_KEY_USAGE, "RSA_EncryptDataToCMSEnvelope"},
      {"RSA recipient without key identifier", SealRsa(d, "SHA-1", "3DES", RsaCert("no-ski")),
       KELU_ERR_ENCRYPT, "RSA_EncryptDataToCMSEnvelope"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.sealed.rc, c.code);
    EXPECT_TRUE(c.sealed.output_null);
    EXPECT_NE(log_.Text().find(FailedStep("SignAndEncryptData", c.step, c.code, "KELU_OK != nResult")),
              std::string::npos);
  }
}

TEST_F(CombinedFunctions, DecryptAndVerifyChecksAndCodes) {
  const std::string key = sm2().KeyFile("enc"), missing = Path("missing");
  unsigned char *plain = reinterpret_cast<unsigned char *>(0x1);
  int size = -7;
  auto unseal = [&](const char *alg, const char *text, const char *path, unsigned char **p,
                    int *n) {
    return [=] { return DecryptAndVerifyDataSignature(alg, text, path, kKeyFilePassword, p, n); };
  };
  RunCheckTable(
      log_, "DecryptAndVerifyDataSignature",
      {{"empty algorithm", unseal("", "MAA=", key.c_str(), &plain, &size),
        KELU_ERR_INVALID_PARAMETER, "Check parameter(pszAlgorithm).",
        "(NULL == pszAlgorithm || 0 == strlen(pszAlgorithm))"},
       {"null envelope", unseal("SM2", nullptr, key.c_str(), &plain, &size),
        KELU_ERR_INVALID_PARAMETER, "Check parameter(pszBase64SignedAndEncryptedResult).",
        "(NULL == pszBase64SignedAndEncryptedResult || 0 == strlen(pszBase64SignedAndEncryptedResult))"},
       {"empty key path", unseal("SM2", "MAA=", "", &plain, &size), KELU_ERR_INVALID_PARAMETER,
        "Check parameter(pszDecryptPFXFilePath).",
        "(NULL == pszDecryptPFXFilePath || 0 == strlen(pszDecryptPFXFilePath))"},
       {"null size", unseal("SM2", "MAA=", key.c_str(), &plain, nullptr),
        KELU_ERR_INVALID_PARAMETER, "Check output parameter(ppbyPlainData)",
        "(NULL == ppbyPlainData || NULL == pnPlainDataSize)"}});
  EXPECT_EQ(plain, reinterpret_cast<unsigned char *>(0x1));
  RunCheckTable(
      log_, "DecryptAndVerifyDataSignature",
      {{"key file before the name", unseal("XYZ", "MAA=", missing.c_str(), &plain, &size),
        KELU_ERR_OPEN_FILE, "Open PFX file.", "NULL == fpPFX"},
       {"unknown name", unseal("XYZ", "MAA=", key.c_str(), &plain, &size),
        KELU_ERR_INVALID_PARAMETER, "Invalid sign algorithm.", "true"}});
  EXPECT_TRUE(plain == nullptr && size == 0);

  const Sealed sm2_sealed = SealSm2(RandomBytes(30), Sm2Cert());
  const Sealed rsa_sealed = SealRsa(RandomBytes(30), "SHA-256", "3DES", RsaCert());
  ASSERT_EQ(sm2_sealed.rc, KELU_OK);
  ASSERT_EQ(rsa_sealed.rc, KELU_OK);
  struct Case {
    const char *what;
    Unsealed unsealed;
    int code;
  };
  const Case cases[] = {
      {"SM2 wrong password", Unseal("SM2", sm2_sealed.envelope, key, "wrong"),
       KELU_ERR_KEY_FILE_PASSWORD},
      {"SM2 another recipient",
       Unseal("SM2", sm2_sealed.envelope, sm2().KeyFile("other"), kKeyFilePassword),
       KELU_ERR_DECRYPT},
      {"RSA another recipient",
       Unseal("RSA", rsa_sealed.envelope, rsa().Pfx("rsa"), kPfxPassword), KELU_ERR_DECRYPT},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.unsealed.rc, c.code);
    EXPECT_TRUE(c.unsealed.outputs_cleared);
  }
}

}  // namespace
}  // namespace kelu::test

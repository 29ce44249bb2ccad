// The exported envelope functions: parameter checks, the SM2 and RSA paths and their names, the
// four opening variants, the SM4-ECB envelope against `openssl enc -sm4-ecb` and OpenSSL's SM2,
// the RSA envelopes against `openssl cms`, and the replacement of the generic failure.
#include <gtest/gtest.h>
#include <openssl/err.h>

#include <algorithm>
#include <string>
#include <vector>

#include "../operations/RsaTestPki.h"
#include "../operations/Sm2EnvelopePki.h"
#include "ToolkitTestUtil.h"

namespace kelu::test {
namespace {

using EncryptFunction = int (*)(const char *, const unsigned char *, int, const char *,
                                const char *, char **);
using DecryptFunction = int (*)(const char *, const char *, const char *, const char *,
                                unsigned char **, int *);

struct Encryptor {
  const char *name;
  EncryptFunction call;
  bool sm2cipher;  // the content key stored as DER SM2Cipher
};
const Encryptor kEncryptors[] = {{"EncryptDataToCMSEnvelope", EncryptDataToCMSEnvelope, false},
                                 {"EncryptDataToCMSEnvelopeEx", EncryptDataToCMSEnvelopeEx, true}};

struct Decryptor {
  const char *name;
  DecryptFunction call;
  bool sm2cipher;
  bool ecb;
};
const Decryptor kDecryptors[] = {
    {"DecryptDataFromCMSEnvelope", DecryptDataFromCMSEnvelope, false, false},
    {"DecryptDataFromCMSEnvelopeEx", DecryptDataFromCMSEnvelopeEx, true, false},
    {"DecryptDataFromCMSEnvelope_ECB", DecryptDataFromCMSEnvelope_ECB, false, true},
    {"DecryptDataFromCMSEnvelopeEx_ECB", DecryptDataFromCMSEnvelopeEx_ECB, true, true},
};

// Results of the exported calls, with what they left in their outputs.
struct Made {
  int rc;
  std::string envelope;
  bool output_null;
};
struct Opened {
  int rc;
  Bytes plain;
  bool outputs_cleared;  // null and 0 after a failure
};

class EnvelopeFunctions : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    StartCryptoKernel();
    SharedSm2Pki();
    SharedRsaPki();
  }
  void TearDown() override { ERR_clear_error(); }
  const Sm2EnvelopePki &sm2() const { return SharedSm2Pki(); }
  const RsaPki &rsa() const { return SharedRsaPki(); }
  std::string Path(const std::string &name) const { return dir_.File(name); }

  std::string Sm2Cert(const std::string &name = "enc") const {
    return OpensslBase64(sm2().pki().Der(name));
  }
  std::string RsaCert(const std::string &name = "rsa") const {
    return OpensslBase64(rsa().pki().Der(name));
  }

  Made Encrypt(const Encryptor &f, const char *algorithm, const Bytes &data,
               const std::string &cert, const char *sym) const {
    char *out = reinterpret_cast<char *>(0x1);
    Made m{f.call(algorithm, data.data(), static_cast<int>(data.size()), cert.c_str(), sym, &out),
           "", out == nullptr};
    if (m.rc == KELU_OK) m.envelope = TakeText(out);
    return m;
  }
  Made EncryptSm2(const Bytes &data, const char *sym = "SM4_CBC", bool sm2cipher = false) const {
    return Encrypt(kEncryptors[sm2cipher ? 1 : 0], "SM2", data, Sm2Cert(), sym);
  }
  Opened Decrypt(const Decryptor &f, const char *algorithm, const std::string &envelope,
                 const std::string &key_file, const char *password) const {
    unsigned char *plain = reinterpret_cast<unsigned char *>(0x1);
    int size = -7;
    Opened o{f.call(algorithm, envelope.c_str(), key_file.c_str(), password, &plain, &size),
             {},
             plain == nullptr && size == 0};
    if (o.rc == KELU_OK) o.plain.assign(plain, plain + size);
    if (o.rc == KELU_OK) FreeMemory(plain);
    return o;
  }
  Opened DecryptSm2(const Decryptor &f, const std::string &envelope,
                    const std::string &holder = "enc",
                    const char *password = kKeyFilePassword) const {
    return Decrypt(f, "SM2", envelope, sm2().KeyFile(holder), password);
  }
  // The envelope's DER from its one-line Base64 text, by openssl.
  Bytes Der(const std::string &envelope) const {
    WriteTextFile(Path("envelope.b64"), envelope);
    Openssl("base64 -d -A -in " + ShellQuote(Path("envelope.b64")) + " -out " +
            ShellQuote(Path("envelope.der")));
    return ReadBinaryFile(Path("envelope.der"));
  }
  std::string Text(const Bytes &der) const {
    WriteBinaryFile(Path("envelope.der"), der);
    return OpensslBase64(Path("envelope.der"));
  }

  TempDir dir_;
  LogCapture log_;
};

const Decryptor &Cbc() { return kDecryptors[0]; }
const Decryptor &Ecb() { return kDecryptors[2]; }

// ---- Parameter checks and the order of the steps ------------------------------------------

TEST_F(EnvelopeFunctions, EncryptParameterChecks) {
  const Bytes data = RandomBytes(10);
  const std::string cert = Sm2Cert();
  for (const Encryptor &f : kEncryptors) {
    char *out = nullptr;
    auto call = [&](const char *alg, const unsigned char *d, int n, const char *c, char **o) {
      return [=] { return f.call(alg, d, n, c, "SM4_CBC", o); };
    };
    const unsigned char *bytes = data.data();
    RunCheckTable(
        log_, f.name,
        {
            {"all missing", call(nullptr, nullptr, 0, nullptr, nullptr), KELU_ERR_INVALID_PARAMETER,
             "Check parameter(pszAlgorithm).",
             "(NULL == pszAlgorithm || 0 == strlen(pszAlgorithm))"},
            {"empty algorithm", call("", bytes, 10, cert.c_str(), &out), KELU_ERR_INVALID_PARAMETER,
             "Check parameter(pszAlgorithm).",
             "(NULL == pszAlgorithm || 0 == strlen(pszAlgorithm))"},
            {"no data", call("SM2", nullptr, 10, cert.c_str(), &out), KELU_ERR_INVALID_PARAMETER,
             "Check parameter(pbyPlainData and nPlainDataSize).",
             "(NULL == pbyPlainData || 0 == nPlainDataSize)"},
            {"size 0", call("SM2", bytes, 0, nullptr, nullptr), KELU_ERR_INVALID_PARAMETER,
             "Check parameter(pbyPlainData and nPlainDataSize).",
             "(NULL == pbyPlainData || 0 == nPlainDataSize)"},
            {"no certificate", call("SM2", bytes, 10, nullptr, nullptr), KELU_ERR_INVALID_PARAMETER,
             "Check parameter(pszBase64CertContent).",
             "(NULL == pszBase64CertContent || 0 == strlen(pszBase64CertContent))"},
            {"empty certificate", call("SM2", bytes, 10, "", &out), KELU_ERR_INVALID_PARAMETER,
             "Check parameter(pszBase64CertContent).",
             "(NULL == pszBase64CertContent || 0 == strlen(pszBase64CertContent))"},
            {"no output", call("SM2", bytes, 10, cert.c_str(), nullptr), KELU_ERR_INVALID_PARAMETER,
             "Check output parameter(ppszBase64CMSEnvelope)", "NULL == ppszBase64CMSEnvelope"},
        });
  }
  // A failed check leaves the output as it was; a later failure nulls it.
  Made m = Encrypt(kEncryptors[0], "", data, cert, "SM4_CBC");
  EXPECT_FALSE(m.output_null);
  m = Encrypt(kEncryptors[0], "XYZ", data, cert, "SM4_CBC");
  EXPECT_EQ(m.rc, KELU_ERR_INVALID_PARAMETER);
  EXPECT_TRUE(m.output_null);
}

TEST_F(EnvelopeFunctions, DecryptParameterChecks) {
  const std::string key_file = sm2().KeyFile("enc");
  for (const Decryptor &f : kDecryptors) {
    unsigned char *plain = nullptr;
    int size = 0;
    auto call = [&](const char *alg, const char *env, const char *path, unsigned char **p, int *n) {
      return [=] { return f.call(alg, env, path, "pw", p, n); };
    };
    RunCheckTable(log_, f.name,
                  {
                      {"all missing", call(nullptr, nullptr, nullptr, nullptr, nullptr),
                       KELU_ERR_INVALID_PARAMETER, "Check parameter(pszAlgorithm).",
                       "(NULL == pszAlgorithm || 0 == strlen(pszAlgorithm))"},
                      {"no envelope", call("SM2", nullptr, key_file.c_str(), &plain, &size),
                       KELU_ERR_INVALID_PARAMETER, "Check parameter(pszBase64CMSEnvelope).",
                       "(NULL == pszBase64CMSEnvelope || 0 == strlen(pszBase64CMSEnvelope))"},
                      {"empty envelope", call("SM2", "", nullptr, nullptr, nullptr),
                       KELU_ERR_INVALID_PARAMETER, "Check parameter(pszBase64CMSEnvelope).",
                       "(NULL == pszBase64CMSEnvelope || 0 == strlen(pszBase64CMSEnvelope))"},
                      {"no key file path", call("SM2", "MAA=", nullptr, &plain, &size),
                       KELU_ERR_INVALID_PARAMETER, "Check parameter(pszPFXFilePath).",
                       "(NULL == pszPFXFilePath || 0 == strlen(pszPFXFilePath))"},
                      {"no plaintext output", call("SM2", "MAA=", key_file.c_str(), nullptr, &size),
                       KELU_ERR_INVALID_PARAMETER,
                       "Check output parameter(ppbyPlainData and pnPlainDataSize).",
                       "(NULL == ppbyPlainData || NULL == pnPlainDataSize)"},
                      {"no size output", call("SM2", "MAA=", key_file.c_str(), &plain, nullptr),
                       KELU_ERR_INVALID_PARAMETER,
                       "Check output parameter(ppbyPlainData and pnPlainDataSize).",
                       "(NULL == ppbyPlainData || NULL == pnPlainDataSize)"},
                      // The key file is opened before the name is looked at.
                      {"missing key file, unknown name",
                       call("XYZ", "MAA=", Path("missing.sm2").c_str(), &plain, &size),
                       KELU_ERR_OPEN_FILE, "Open PFX file.", "NULL == fpPFX"},
                      {"unknown name", call("XYZ", "MAA=", key_file.c_str(), &plain, &size),
                       KELU_ERR_INVALID_PARAMETER, "Invalid asymmetric decrypt algorithm.", "true"},
                  });
  }
  const Opened o = Decrypt(Cbc(), "XYZ", "MAA=", key_file, "pw");
  EXPECT_TRUE(o.outputs_cleared);
}

// Names refused (the symmetric name is checked only on the path that needs it), and failures of
// the operations: -1 replaced, codes of their own passed on.
TEST_F(EnvelopeFunctions, EncryptionRefusals) {
  const Bytes data = RandomBytes(24);
  struct Case {
    const char *what;
    const char *algorithm;
    std::string cert;
    const char *sym;
    int want;
    const char *step;
    const char *reason;
  };
  const Case kCases[] = {
      {"unknown algorithm", "DSA", Sm2Cert(), "SM4_CBC", KELU_ERR_INVALID_PARAMETER,
       "Invalid asymmetric encrypt algorithm.", "true"},
      {"SM2 without a symmetric name", "SM2", Sm2Cert(), nullptr, KELU_ERR_INVALID_PARAMETER,
       "Invalid symmetric encrypt algorithm.", "true"},
      {"SM2 with 3DES", "sm2", Sm2Cert(), "3DES", KELU_ERR_INVALID_PARAMETER,
       "Invalid symmetric encrypt algorithm.", "true"},
      {"SM2 with SM4 alone", "SM2", Sm2Cert(), "SM4", KELU_ERR_INVALID_PARAMETER,
       "Invalid symmetric encrypt algorithm.", "true"},
      {"RSA without a symmetric name", "RSA", RsaCert(), nullptr, KELU_ERR_INVALID_PARAMETER,
       "Check parameter(pszSymEncAlg).", "(NULL == pszSymEncAlg || 0 == strlen(pszSymEncAlg))"},
      {"RSA with SM4_CBC", "Rsa", RsaCert(), "sm4_cbc", KELU_ERR_INVALID_PARAMETER,
       "Invalid symmetric encrypt algorithm.", "true"},
      {"RSA with DES", "RSA", RsaCert(), "DES", KELU_ERR_INVALID_PARAMETER,
       "Invalid symmetric encrypt algorithm.", "true"},
      {"SM2: no subject key identifier", "SM2", Sm2Cert("no-ski"), "SM4_CBC", KELU_ERR_ENCRYPT,
       "EncryptDataToBase64CMSEnvelope", "KELU_OK != nResult"},
      {"SM2: not a certificate", "SM2", "SGVsbG8=", "SM4_ECB", KELU_ERR_ENCRYPT,
       "EncryptDataToBase64CMSEnvelopeEx", "KELU_OK != nResult"},
      {"SM2: digitalSignature only", "SM2", Sm2Cert("sign-only"), "SM4_CBC", KELU_ERR_KEY_USAGE,
       "EncryptDataToBase64CMSEnvelope", "KELU_OK != nResult"},
      {"SM2: an RSA certificate", "SM2", RsaCert(), "SM4_ECB", KELU_ERR_ENCRYPT,
       "EncryptDataToBase64CMSEnvelopeEx", "KELU_OK != nResult"},
      {"RSA: an SM2 certificate", "RSA", Sm2Cert(), "3DES", KELU_ERR_ENCRYPT,
       "RSA_EncryptDataToCMSEnvelope", "KELU_OK != nResult"},
      {"RSA: no keyUsage", "RSA", RsaCert("no-ku"), "RC4", KELU_ERR_KEY_USAGE,
       "RSA_EncryptDataToCMSEnvelope", "KELU_OK != nResult"},
  };
  for (const Encryptor &f : kEncryptors) {
    for (const Case &c : kCases) {
      SCOPED_TRACE(std::string(f.name) + ": " + c.what);
      log_.Take();
      const Made m = Encrypt(f, c.algorithm, data, c.cert, c.sym);
      EXPECT_EQ(m.rc, c.want);
      EXPECT_TRUE(m.output_null);
      EXPECT_TRUE(log_.Contains(FailedStep(f.name, c.step, c.want, c.reason))) << log_.Text();
    }
    // The decoder skips what is not Base64 and never refuses a text that is not empty: the
    // certificate is decoded (to nothing) before the name is refused.
    log_.Take();
    EXPECT_EQ(Encrypt(f, "XYZ", data, "!!!!", nullptr).rc, KELU_ERR_INVALID_PARAMETER);
    const std::string text = log_.Text();
    const size_t decoded = text.find(OkStep(f.name, "Base64DecodeEx"));
    EXPECT_NE(decoded, std::string::npos) << text;
    EXPECT_LT(decoded, text.find("Invalid asymmetric encrypt algorithm.")) << text;
  }
}

TEST_F(EnvelopeFunctions, NamesInAnyCase) {
  const Bytes data = RandomBytes(40);
  struct Case {
    const char *algorithm, *sym, *opener_algorithm;
    bool ecb;
  };
  const Case kCases[] = {{"sm2", "sm4_cbc", "Sm2", false}, {"Sm2", "Sm4_Ecb", "sM2", true}};
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.sym);
    const Made m = Encrypt(kEncryptors[0], c.algorithm, data, Sm2Cert(), c.sym);
    ASSERT_EQ(m.rc, KELU_OK);
    const Opened o = Decrypt(c.ecb ? Ecb() : Cbc(), c.opener_algorithm, m.envelope,
                             sm2().KeyFile("enc"), kKeyFilePassword);
    ASSERT_EQ(o.rc, KELU_OK);
    EXPECT_EQ(o.plain, data);
  }
  for (const char *sym : {"3des", "rC4"}) {
    SCOPED_TRACE(sym);
    const Made m = Encrypt(kEncryptors[1], "rsa", data, RsaCert(), sym);
    ASSERT_EQ(m.rc, KELU_OK);
    const Opened o = Decrypt(Cbc(), "rSa", m.envelope, rsa().Pfx("rsa"), kPfxPassword);
    ASSERT_EQ(o.rc, KELU_OK);
    EXPECT_EQ(o.plain, data);
  }
}

// ---- The four openings --------------------------------------------------------------------

// An SM2 envelope opens with the one function that matches how it was made; the RSA path is the
// same in all four.
TEST_F(EnvelopeFunctions, EachSm2EnvelopeOpensWithItsOwnFunction) {
  const Bytes data = RandomBytes(33);
  for (const Encryptor &e : kEncryptors) {
    for (const char *sym : {"SM4_CBC", "SM4_ECB"}) {
      const Made m = Encrypt(e, "SM2", data, Sm2Cert(), sym);
      ASSERT_EQ(m.rc, KELU_OK);
      const bool ecb = std::string(sym) == "SM4_ECB";
      for (const Decryptor &d : kDecryptors) {
        SCOPED_TRACE(std::string(e.name) + " " + sym + " opened by " + d.name);
        const Opened o = DecryptSm2(d, m.envelope);
        if (d.sm2cipher == e.sm2cipher && d.ecb == ecb) {
          ASSERT_EQ(o.rc, KELU_OK);
          EXPECT_EQ(o.plain, data);
        } else {
          EXPECT_NE(o.rc, KELU_OK);
          EXPECT_TRUE(o.outputs_cleared);
          // With the key encoding right, the parameters tell CBC from ECB.
          if (d.sm2cipher == e.sm2cipher) {
            EXPECT_EQ(o.rc, KELU_ERR_ENVELOPE_FORMAT);
          }
        }
      }
    }
  }
  const Made r = Encrypt(kEncryptors[0], "RSA", data, RsaCert(), "3DES");
  ASSERT_EQ(r.rc, KELU_OK);
  for (const Decryptor &d : kDecryptors) {
    SCOPED_TRACE(d.name);
    EXPECT_EQ(Decrypt(d, "RSA", r.envelope, rsa().Pfx("rsa"), kPfxPassword).plain, data);
  }
}

// ---- The SM4-ECB envelope ------------------------------------------------------------------

TEST_F(EnvelopeFunctions, EcbEnvelopesOpenWithOpenssl) {
  for (const Encryptor &e : kEncryptors) {
    for (size_t size : {1, 15, 16, 17, 64}) {
      SCOPED_TRACE(std::string(e.name) + ", " + std::to_string(size) + " bytes");
      // Equal 16-byte blocks give equal cipher blocks.
      const Bytes block = RandomBytes(16);
      Bytes data;
      while (data.size() < size) data.insert(data.end(), block.begin(), block.end());
      data.resize(size);
      const Made m = Encrypt(e, "SM2", data, Sm2Cert(), "SM4_ECB");
      ASSERT_EQ(m.rc, KELU_OK);
      const Bytes der = Der(m.envelope);
      const PeerFields f = ParseWithOpenssl(der, dir_.path());
      EXPECT_EQ(f.key_id, sm2().KeyId("enc"));
      EXPECT_TRUE(f.parameters_value.empty());
      const Bytes ecb_algorithm =
          Concat({DerTlv(0x06, OidContent("1.2.156.10197.1.104.1")), {0x05, 0x00}});
      EXPECT_NE(std::search(der.begin(), der.end(), ecb_algorithm.begin(), ecb_algorithm.end()),
                der.end())
          << "1.2.156.10197.1.104.1 with NULL parameters";
      ASSERT_EQ(f.content.size(), size / 16 * 16 + 16);
      if (size == 64) {
        EXPECT_TRUE(std::equal(f.content.begin(), f.content.begin() + 16, f.content.begin() + 16));
      }
      const Bytes cipher_der = e.sm2cipher ? f.encrypted_key : OpenSslDerOfRaw(f.encrypted_key);
      CommandResult r = OpensslSm2Decrypt(sm2(), "enc", cipher_der, dir_.path());
      ASSERT_EQ(r.exit_code, 0) << r.output;
      const Bytes key = ReadBinaryFile(dir_.File("sm2-plain.bin"));
      EXPECT_EQ(OpensslEnc("-sm4-ecb", true, key, {}, f.content, dir_.path()), data);
    }
  }
}

// ECB envelopes of OpenSSL's making, with their content chosen block by block.
TEST_F(EnvelopeFunctions, EcbContentAndItsPadding) {
  const Bytes key = RandomBytes(16);
  const Bytes cipher_der = OpensslSm2Encrypt(sm2(), "enc", key, dir_.path());
  auto envelope = [&](const Bytes &content) {
    EnvelopeParts parts;
    parts.key_id = sm2().KeyId("enc");
    parts.encrypted_key = RawOfOpenSslDer(cipher_der);
    parts.content_algorithm = "1.2.156.10197.1.104.1";
    parts.parameters = {0x05, 0x00};
    parts.content = content;
    return Text(AssembleEnvelope(parts));
  };
  // Blocks encrypted without padding by openssl: the last byte says what is padding.
  auto unpadded = [&](const Bytes &plain) {
    return OpensslEnc("-sm4-ecb", false, key, {}, plain, dir_.path(), false);
  };
  const Bytes data = RandomBytes(21);
  Bytes ends_in_zero = RandomBytes(32);
  ends_in_zero[31] = 0;
  Bytes all_padding(16, 16);
  Bytes beyond = RandomBytes(16);
  beyond[15] = 17;
  struct Case {
    const char *what;
    Bytes content;
    int want;
    Bytes plain;
  };
  const Case kCases[] = {
      {"openssl's padding", OpensslEnc("-sm4-ecb", false, key, {}, data, dir_.path()), KELU_OK,
       data},
      {"a last byte of 0 removes nothing", unpadded(ends_in_zero), KELU_OK, ends_in_zero},
      {"nothing left after the padding", unpadded(all_padding), KELU_ERR_DECRYPT, {}},
      {"more padding than bytes", unpadded(beyond), KELU_ERR_DECRYPT, {}},
      {"no content", {}, KELU_ERR_DECRYPT, {}},
      {"not whole blocks", RandomBytes(15), KELU_ERR_INVALID_PARAMETER, {}},
  };
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.what);
    const Opened o = DecryptSm2(Ecb(), envelope(c.content));
    EXPECT_EQ(o.rc, c.want);
    EXPECT_EQ(o.plain, c.plain);
  }
}

// ---- The RSA paths against openssl cms ------------------------------------------------------

TEST_F(EnvelopeFunctions, RsaEnvelopesOpenWithOpensslCms) {
  const Bytes data = RandomBytes(300);
  for (const Encryptor &e : kEncryptors) {
    for (const char *sym : {"3DES", "RC4"}) {
      SCOPED_TRACE(std::string(e.name) + " " + sym);
      const Made m = Encrypt(e, "RSA", data, RsaCert(), sym);
      ASSERT_EQ(m.rc, KELU_OK);
      // OpenSSL takes RC4 parameters only as an empty OCTET STRING, not as the NULL written.
      const Bytes der = Der(m.envelope);
      WriteBinaryFile(Path("rsa.der"),
                      sym == std::string("RC4") ? WithEmptyOctetStringParameters(der) : der);
      rsa().Openssl("cms -decrypt -binary -inform DER -provider legacy -provider default -in " +
                    ShellQuote(Path("rsa.der")) + " -recip " + ShellQuote(rsa().Pem("rsa")) +
                    " -inkey " + ShellQuote(rsa().Key("rsa")) + " -out " +
                    ShellQuote(Path("rsa.out")));
      EXPECT_EQ(ReadBinaryFile(Path("rsa.out")), data);
    }
  }
}

TEST_F(EnvelopeFunctions, OpensslCmsEnvelopesOpen) {
  const Bytes data = RandomBytes(500);
  WriteBinaryFile(Path("plain.bin"), data);
  for (const char *cipher : {"-des3", "-rc4"}) {
    SCOPED_TRACE(cipher);
    rsa().Openssl(std::string("cms -encrypt -keyid -binary -outform DER -provider legacy ") +
                  "-provider default " + cipher + " -in " + ShellQuote(Path("plain.bin")) +
                  " -out " + ShellQuote(Path("cms.der")) + " " + ShellQuote(rsa().Pem("rsa")));
    const std::string envelope = Text(ReadBinaryFile(Path("cms.der")));
    for (const Decryptor &d : kDecryptors) {
      SCOPED_TRACE(d.name);
      const Opened o = Decrypt(d, "RSA", envelope, rsa().Pfx("rsa"), kPfxPassword);
      ASSERT_EQ(o.rc, KELU_OK);
      EXPECT_EQ(o.plain, data);
    }
  }
}

// ---- Failures: replaced, or passed on -------------------------------------------------------

// A failing random source: -1, replaced.
TEST_F(EnvelopeFunctions, RandomSourceFailures) {
  const Bytes data = RandomBytes(16);
  FailingRandomSource failing;
  for (const char *sym : {"SM4_CBC", "SM4_ECB"}) {
    EXPECT_EQ(EncryptSm2(data, sym).rc, KELU_ERR_ENCRYPT) << sym;
  }
  EXPECT_EQ(Encrypt(kEncryptors[0], "RSA", data, RsaCert(), "3DES").rc, KELU_ERR_ENCRYPT);
}

TEST_F(EnvelopeFunctions, DecryptionFailures) {
  const Bytes data = RandomBytes(50);
  const Made cbc = EncryptSm2(data);
  const Made rsa_made = Encrypt(kEncryptors[0], "RSA", data, RsaCert(), "3DES");
  ASSERT_EQ(cbc.rc, KELU_OK);
  ASSERT_EQ(rsa_made.rc, KELU_OK);
  const Bytes der = Der(cbc.envelope);
  const PeerFields f = ParseWithOpenssl(der, dir_.path());
  // A byte of C3 in the stored key, and the padding through the block before it.
  Bytes key_changed = der;
  const auto key_at = std::search(key_changed.begin(), key_changed.end(), f.encrypted_key.begin(),
                                  f.encrypted_key.end());
  key_at[100] ^= 0x01;
  Bytes padding_changed = der;
  padding_changed[der.size() - 17] ^= 0x80;
  struct Case {
    const char *what;
    const char *algorithm;
    std::string envelope;
    std::string key_file;
    const char *password;
    int want;
    const char *step;
  };
  const std::string sm2_key = sm2().KeyFile("enc"), sm2_other = sm2().KeyFile("other");
  const Case kCases[] = {
      {"SM2: another person's key file", "SM2", cbc.envelope, sm2_other, kKeyFilePassword,
       KELU_ERR_DECRYPT, "DecryptBase64CMSEnvelopeData"},
      {"SM2: a wrong password", "SM2", cbc.envelope, sm2_key, "wrong", KELU_ERR_KEY_FILE_PASSWORD,
       "DecryptBase64CMSEnvelopeData"},
      {"SM2: an RSA key file", "SM2", cbc.envelope, rsa().Pfx("rsa"), kKeyFilePassword,
       KELU_ERR_KEY_FILE_PASSWORD, "DecryptBase64CMSEnvelopeData"},
      {"SM2: a changed content key", "SM2", Text(key_changed), sm2_key, kKeyFilePassword,
       KELU_ERR_DECRYPT, "DecryptBase64CMSEnvelopeData"},
      {"SM2: a changed padding", "SM2", Text(padding_changed), sm2_key, kKeyFilePassword,
       KELU_ERR_DECRYPT, "DecryptBase64CMSEnvelopeData"},
      {"SM2: no Base64 in the envelope", "SM2", "!!!!", sm2_key, kKeyFilePassword, KELU_ERR_DECRYPT,
       "DecryptBase64CMSEnvelopeData"},
      {"SM2: not an envelope", "SM2", "MAMCAQI=", sm2_key, kKeyFilePassword,
       KELU_ERR_ENVELOPE_FORMAT, "DecryptBase64CMSEnvelopeData"},
      {"RSA: another holder", "RSA", rsa_made.envelope, rsa().Pfx("other"), kPfxPassword,
       KELU_ERR_DECRYPT, "RSA_DecryptDataFromCMSEnvelope"},
      {"RSA: a wrong password", "RSA", rsa_made.envelope, rsa().Pfx("rsa"), "wrong",
       KELU_ERR_DECRYPT, "RSA_DecryptDataFromCMSEnvelope"},
      {"RSA: an empty password", "RSA", rsa_made.envelope, rsa().Pfx("rsa"), "",
       KELU_ERR_INVALID_PARAMETER, "RSA_DecryptDataFromCMSEnvelope"},
      {"RSA: an SM2 key file", "RSA", rsa_made.envelope, sm2_key, kPfxPassword, KELU_ERR_DECRYPT,
       "RSA_DecryptDataFromCMSEnvelope"},
  };
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.what);
    log_.Take();
    const Opened o = Decrypt(Cbc(), c.algorithm, c.envelope, c.key_file, c.password);
    EXPECT_EQ(o.rc, c.want);
    EXPECT_TRUE(o.outputs_cleared);
    EXPECT_TRUE(log_.Contains(
        FailedStep("DecryptDataFromCMSEnvelope", c.step, c.want, "KELU_OK != nResult")))
        << log_.Text();
    if (*c.password != '\0') {
      EXPECT_FALSE(log_.Contains(c.password)) << "the password is never logged";
    }
  }
}

TEST_F(EnvelopeFunctions, DumpsAndDescriptors) {
  const Bytes data = RandomBytes(8);
  const int descriptors = OpenDescriptorCount();
  log_.Take();
  const Made m = EncryptSm2(data, "SM4_ECB", true);
  ASSERT_EQ(m.rc, KELU_OK);
  const Opened o = DecryptSm2(kDecryptors[3], m.envelope);
  ASSERT_EQ(o.rc, KELU_OK);
  EXPECT_TRUE(log_.Contains("Asymmetric encrypt algorithm:SM2"));
  EXPECT_TRUE(log_.Contains("PFX file path:" + sm2().KeyFile("enc")));
  EXPECT_TRUE(
      log_.Contains(OkStep("DecryptDataFromCMSEnvelopeEx_ECB", "DecryptBase64CMSEnvelopeDataEx")));
  EXPECT_FALSE(log_.Contains(kKeyFilePassword));
  Decrypt(Cbc(), "RSA", m.envelope, sm2().KeyFile("enc"), "x");
  EXPECT_EQ(OpenDescriptorCount(), descriptors) << "every opened file is closed";
}

}  // namespace
}  // namespace kelu::test

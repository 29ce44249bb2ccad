// SM2 digital envelopes in memory and as files, taken apart by `openssl asn1parse`, their
// content keys opened by OpenSSL's own SM2 (and npm's sm-crypto-v2) and their content by
// `openssl enc -sm4-cbc`; and envelopes assembled from OpenSSL's and sm-crypto-v2's SM2 and
// OpenSSL's SM4, opened by the toolkit.
#include <gtest/gtest.h>
#include <openssl/err.h>

#include <functional>
#include <string>
#include <vector>

#include "../national/NationalTestUtil.h"
#include "Base64Utility.h"
#include "DataEncryption.h"
#include "KeluErrors.h"
#include "LogCapture.h"
#include "OutputPair.h"
#include "SMKernel.h"
#include "Sm2EnvelopePki.h"

namespace kelu::test {
namespace {

constexpr unsigned long kRaw = SM2_ENC_ENCODED_C1C2C3;
constexpr unsigned long kDer = SM2_ENC_ENCODED_SM2CIPHER;
constexpr unsigned long kEncodings[] = {kRaw, kDer};

int Size(const Bytes &b) { return static_cast<int>(b.size()); }

class Sm2Envelope : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { SharedSm2Pki(); }
  void SetUp() override { ASSERT_EQ(kelu::SMKernelInitialize(), 0); }
  void TearDown() override { ERR_clear_error(); }
  const Sm2EnvelopePki &pki() const { return SharedSm2Pki(); }
  std::string Path(const std::string &name) const { return dir_.File(name); }

  Out Make(const Bytes &data, const Bytes &cert, unsigned long type = kRaw) const {
    return Call([&](unsigned char **out, int *size) {
      return EncryptDataToDerCMSEnvelope(data.data(), Size(data), cert.data(), Size(cert), type,
                                         out, size);
    });
  }
  Out Make(const Bytes &data, unsigned long type = kRaw) const {
    return Make(data, pki().Der("enc"), type);
  }
  Out Open(const Bytes &envelope, unsigned long type = kRaw, const std::string &holder = "enc",
           const char *password = kKeyFilePassword) const {
    FilePtr key_file = OpenForReading(pki().KeyFile(holder));
    return Call([&](unsigned char **out, int *size) {
      return DecryptDerCMSEnvelopeData(envelope.data(), Size(envelope), key_file.get(), password,
                                       type, out, size);
    });
  }

  // The content key of an envelope opened by OpenSSL's SM2 with the holder's private key.
  Bytes OpensslContentKey(const Bytes &encrypted_key, unsigned long type,
                          const std::string &holder = "enc") const {
    const Bytes der = type == kDer ? encrypted_key : OpenSslDerOfRaw(encrypted_key);
    CommandResult r = OpensslSm2Decrypt(pki(), holder, der, dir_.path());
    EXPECT_EQ(r.exit_code, 0) << r.output;
    return ReadBinaryFile(Path("sm2-plain.bin"));
  }

  // An envelope for enc assembled with OpenSSL's SM2 and SM4 from the parts given.
  Bytes PeerEnvelope(const Bytes &data, unsigned long type, EnvelopeParts parts = {}) const {
    const Bytes key = RandomBytes(16), iv = RandomBytes(16);
    const Bytes cipher_der = OpensslSm2Encrypt(pki(), "enc", key, dir_.path());
    if (parts.key_id.empty()) parts.key_id = pki().KeyId("enc");
    parts.encrypted_key = type == kDer ? cipher_der : RawOfOpenSslDer(cipher_der);
    if (parts.parameters.empty()) parts.parameters = Concat({{0x04, 0x10}, iv});
    parts.content = OpensslEnc("-sm4-cbc", false, key, iv, data, dir_.path());
    return AssembleEnvelope(parts);
  }

  TempDir dir_;
};

// ---- Made by the toolkit, opened by the peers ---------------------------------------------

TEST_F(Sm2Envelope, EnvelopesOpenWithOpensslAndTheToolkit) {
  for (unsigned long type : kEncodings) {
    for (size_t size : {1, 15, 16, 17, 1000}) {
      SCOPED_TRACE("encoding " + std::to_string(type) + ", " + std::to_string(size) + " bytes");
      const Bytes data = RandomBytes(size);
      const Out made = Make(data, type);
      ASSERT_EQ(made.result, KELU_OK);
      const PeerFields f = ParseWithOpenssl(made.bytes, dir_.path());
      EXPECT_EQ(f.key_id, pki().KeyId("enc"));
      EXPECT_EQ(f.content_algorithm, "1.2.156.10197.1.104");
      ASSERT_EQ(f.parameters_value.size(), 16u) << "an OCTET STRING of the IV";
      EXPECT_EQ(f.content.size(), size / 16 * 16 + 16);
      EXPECT_EQ(f.encrypted_key.size(), type == kRaw ? 112u : f.encrypted_key.size());
      const Bytes key = OpensslContentKey(f.encrypted_key, type);
      ASSERT_EQ(key.size(), 16u);
      EXPECT_EQ(OpensslEnc("-sm4-cbc", true, key, f.parameters_value, f.content, dir_.path()),
                data);
      const Out opened = Open(made.bytes, type);
      ASSERT_EQ(opened.result, KELU_OK);
      EXPECT_EQ(opened.bytes, data);
    }
  }
}

// The raw key is C1C2C3 without its 0x04, as sm-crypto-v2's mode 0 reads it.
TEST_F(Sm2Envelope, RawContentKeysOpenWithSmCryptoV2) {
  if (!SmCryptoV2Available())
    GTEST_SKIP() << "sm-crypto-v2 not installed in .peers (scripts/setup)";
  const Out made = Make(RandomBytes(40), kRaw);
  ASSERT_EQ(made.result, KELU_OK);
  const PeerFields f = ParseWithOpenssl(made.bytes, dir_.path());
  const Sm2KeyValues k = ReadSm2PrivateKey(pki().Key("enc"));
  const std::string decrypt =
      "const hex = (s) => Uint8Array.from(Buffer.from(s, 'hex'));\n"
      "console.log(Buffer.from(sm2.doDecrypt(a[0], a[1], 0, { output: 'array' }))"
      ".toString('hex'));";
  const std::string key =
      RunSmCryptoV2(decrypt, {Lower(ToHex(f.encrypted_key)), Lower(ToHex(k.d))});
  EXPECT_EQ(Lower(ToHex(OpensslContentKey(f.encrypted_key, kRaw))), key);
  EXPECT_EQ(key.size(), 32u);
}

TEST_F(Sm2Envelope, TwoEnvelopesOfTheSameDataShareOnlyTheirNames) {
  const Bytes data = RandomBytes(48);
  const Out a = Make(data), b = Make(data);
  ASSERT_EQ(a.result, KELU_OK);
  ASSERT_EQ(b.result, KELU_OK);
  const PeerFields fa = ParseWithOpenssl(a.bytes, dir_.path());
  const PeerFields fb = ParseWithOpenssl(b.bytes, dir_.path());
  EXPECT_EQ(fa.key_id, fb.key_id);
  EXPECT_EQ(fa.content_algorithm, fb.content_algorithm);
  EXPECT_NE(fa.parameters_value, fb.parameters_value);
  EXPECT_NE(fa.encrypted_key, fb.encrypted_key);
  EXPECT_NE(fa.content, fb.content);
}

TEST_F(Sm2Envelope, PemAndDerCertificatesMakeTheSameEnvelopes) {
  const Bytes data = RandomBytes(20);
  const Out made = Make(data, pki().PemBytes("enc"));
  ASSERT_EQ(made.result, KELU_OK);
  EXPECT_EQ(ParseWithOpenssl(made.bytes, dir_.path()).key_id, pki().KeyId("enc"));
  EXPECT_EQ(Open(made.bytes).bytes, data);
}

TEST_F(Sm2Envelope, Base64FormsWrapTheDerForms) {
  const Bytes data = RandomBytes(33);
  char *text = nullptr;
  int length = -1;
  ASSERT_EQ(EncryptDataToBase64CMSEnvelope(data.data(), Size(data), pki().Der("enc").data(),
                                           Size(pki().Der("enc")), kDer, &text, &length,
                                           ATL_BASE64_FLAG_NOCRLF),
            KELU_OK);
  const std::string envelope(text);
  delete[] text;
  EXPECT_EQ(envelope.size(), static_cast<size_t>(length));
  EXPECT_EQ(envelope.find_first_of("\r\n"), std::string::npos) << "one line";
  WriteTextFile(Path("envelope.b64"), envelope);
  pki().Openssl("base64 -d -A -in " + ShellQuote(Path("envelope.b64")) + " -out " +
                ShellQuote(Path("envelope.der")));
  ParseWithOpenssl(ReadBinaryFile(Path("envelope.der")), dir_.path());
  FilePtr key_file = OpenForReading(pki().KeyFile("enc"));
  const Out opened = Call([&](unsigned char **out, int *size) {
    return DecryptBase64CMSEnvelopeData(envelope.c_str(), static_cast<int>(envelope.size()),
                                        key_file.get(), kKeyFilePassword, kDer, out, size);
  });
  ASSERT_EQ(opened.result, KELU_OK);
  EXPECT_EQ(opened.bytes, data);
}

// ---- Made by the peers, opened by the toolkit ---------------------------------------------

TEST_F(Sm2Envelope, EnvelopesOfOpensslKeysAndContentOpen) {
  for (unsigned long type : kEncodings) {
    for (size_t size : {1, 16, 100}) {
      SCOPED_TRACE("encoding " + std::to_string(type) + ", " + std::to_string(size) + " bytes");
      const Bytes data = RandomBytes(size);
      const Bytes envelope = PeerEnvelope(data, type);
      const Out opened = Open(envelope, type);
      ASSERT_EQ(opened.result, KELU_OK);
      EXPECT_EQ(opened.bytes, data);
      // The file form streams the same content from the file.
      WriteBinaryFile(Path("peer.env"), envelope);
      FilePtr in = OpenForReading(Path("peer.env"));
      FilePtr key_file = OpenForReading(pki().KeyFile("enc"));
      FilePtr out(std::fopen(Path("peer.out").c_str(), "wb"));
      ASSERT_EQ(
          DecryptDerCMSEnvelopeFile(in.get(), key_file.get(), kKeyFilePassword, type, out.get()),
          KELU_OK);
      ASSERT_EQ(std::fclose(out.release()), 0);
      EXPECT_EQ(ReadBinaryFile(Path("peer.out")), data);
    }
  }
}

TEST_F(Sm2Envelope, EnvelopesOfSmCryptoV2KeysOpen) {
  if (!SmCryptoV2Available())
    GTEST_SKIP() << "sm-crypto-v2 not installed in .peers (scripts/setup)";
  const Bytes data = RandomBytes(70), key = RandomBytes(16), iv = RandomBytes(16);
  const Sm2KeyValues k = ReadSm2PrivateKey(pki().Key("enc"));
  const std::string encrypt =
      "const hex = (s) => Uint8Array.from(Buffer.from(s, 'hex'));\n"
      "console.log(sm2.doEncrypt(hex(a[0]), a[1], 0));";
  EnvelopeParts parts;
  parts.key_id = pki().KeyId("enc");
  parts.encrypted_key =
      FromHex(RunSmCryptoV2(encrypt, {Lower(ToHex(key)), "04" + Lower(ToHex(k.x) + ToHex(k.y))}));
  parts.parameters = Concat({{0x04, 0x10}, iv});
  parts.content = OpensslEnc("-sm4-cbc", false, key, iv, data, dir_.path());
  const Out opened = Open(AssembleEnvelope(parts), kRaw);
  ASSERT_EQ(opened.result, KELU_OK);
  EXPECT_EQ(opened.bytes, data);
}

// An envelope without a recipient identifier is left to the SM2 decryption.
TEST_F(Sm2Envelope, EnvelopesWithoutRecipientAreTriedWithTheKey) {
  const Bytes data = RandomBytes(30);
  EnvelopeParts parts;
  parts.key_id = {};
  const Bytes key = RandomBytes(16), iv = RandomBytes(16);
  parts.encrypted_key = RawOfOpenSslDer(OpensslSm2Encrypt(pki(), "enc", key, dir_.path()));
  parts.parameters = Concat({{0x04, 0x10}, iv});
  parts.content = OpensslEnc("-sm4-cbc", false, key, iv, data, dir_.path());
  const Bytes envelope = AssembleEnvelope(parts);
  EXPECT_EQ(Open(envelope).bytes, data);
  EXPECT_EQ(Open(envelope, kRaw, "other").result, KELU_ERR_FAILED) << "SM2_Decrypt decides";
}

// ---- Refusals ------------------------------------------------------------------------------

TEST_F(Sm2Envelope, CertificatesAndArgumentsThatAreRefused) {
  LogCapture log;
  const Bytes data = RandomBytes(20);
  struct Case {
    const char *what;
    std::function<Out()> call;
    int want;
    const char *step;  // the Failed line of EncryptDataToDerCMSEnvelope
  };
  const Case kCases[] = {
      {"digitalSignature only", [&] { return Make(data, pki().Der("sign-only")); },
       KELU_ERR_KEY_USAGE, "CheckCertKeyUsage"},
      {"no keyUsage", [&] { return Make(data, pki().Der("no-ku")); }, KELU_ERR_KEY_USAGE,
       "CheckCertKeyUsage"},
      {"no subject key identifier", [&] { return Make(data, pki().Der("no-ski")); },
       KELU_ERR_FAILED, "GetSubjectKeyIDFromCert"},
      {"an RSA certificate", [&] { return Make(data, pki().Der("rsa")); }, KELU_ERR_FAILED,
       "GetPublicKeyXYFromSM2Cert"},
      {"no certificate",
       [&] {
         return Make(data, Bytes{1, 2, 3});
       },
       KELU_ERR_FAILED, "CheckCertKeyUsage"},
      {"encoding 0x30000", [&] { return Make(data, 0x30000); }, KELU_ERR_INVALID_PARAMETER,
       "Check fSM2EncEncodedType"},
      {"empty data", [&] { return Make({}); }, KELU_ERR_INVALID_PARAMETER, "SM4_Encrypt_CBC"},
      {"negative size",
       [&] {
         const Bytes cert = pki().Der("enc");
         return Call([&](unsigned char **out, int *size) {
           return EncryptDataToDerCMSEnvelope(data.data(), -5, cert.data(), Size(cert), kRaw, out,
                                              size);
         });
       },
       KELU_ERR_INVALID_PARAMETER, "SM4_Encrypt_CBC"},
  };
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.what);
    log.Take();
    EXPECT_EQ(c.call().result, c.want);
    EXPECT_TRUE(
        log.Contains("(EncryptDataToDerCMSEnvelope -- " + std::string(c.step) + ")\t\t--Failed"))
        << log.Text();
  }
  // The key usage is checked before any random bytes are drawn.
  log.Take();
  Make(data, pki().Der("sign-only"));
  EXPECT_FALSE(log.Contains("RAND_bytes"));
}

TEST_F(Sm2Envelope, OpeningsThatAreRefused) {
  LogCapture log;
  const Bytes data = RandomBytes(25);
  const Out raw = Make(data, kRaw), der = Make(data, kDer);
  ASSERT_EQ(raw.result, KELU_OK);
  ASSERT_EQ(der.result, KELU_OK);
  EnvelopeParts short_iv;
  short_iv.parameters = Concat({{0x04, 0x08}, RandomBytes(8)});
  EnvelopeParts null_parameters;
  null_parameters.parameters = {0x05, 0x00};
  EnvelopeParts another_recipient;
  another_recipient.key_id = pki().KeyId("other");
  Bytes broken_key = raw.bytes;
  const PeerFields f = ParseWithOpenssl(raw.bytes, dir_.path());
  const auto at = std::search(broken_key.begin(), broken_key.end(), f.encrypted_key.begin(),
                              f.encrypted_key.end());
  at[100] ^= 0x01;  // a byte of C3
  WriteTextFile(Path("not-a-key-file.sm2"), "SGVsbG8gd29ybGQ=\n");
  auto open_with_not_a_key_file = [&] {
    FilePtr key_file = OpenForReading(Path("not-a-key-file.sm2"));
    return Call([&](unsigned char **out, int *size) {
      return DecryptDerCMSEnvelopeData(raw.bytes.data(), Size(raw.bytes), key_file.get(), "x", kRaw,
                                       out, size);
    });
  };
  struct Case {
    const char *what;
    std::function<Out()> call;
    int want;
    const char *step;
    int also = KELU_OK;  // random bytes read as DER fail in one of two ways
  };
  const Case kCases[] = {
      {"not a key file", open_with_not_a_key_file, KELU_ERR_KEY_FILE_PASSWORD, "DecryptSM2PFX"},
      {"another person's key file", [&] { return Open(raw.bytes, kRaw, "other"); },
       KELU_ERR_DECRYPT, "Check SubjectKeyID"},
      {"a wrong password", [&] { return Open(raw.bytes, kRaw, "enc", "wrong"); },
       KELU_ERR_KEY_FILE_PASSWORD, "DecryptSM2PFX"},
      {"another person's key file with a wrong password",
       [&] { return Open(raw.bytes, kRaw, "other", "wrong"); }, KELU_ERR_KEY_FILE_PASSWORD,
       "DecryptSM2PFX"},
      {"a raw key opened as SM2Cipher", [&] { return Open(raw.bytes, kDer); }, KELU_ERR_PARSE,
       "Decode_SM2Cipher", KELU_ERR_FAILED},
      {"an SM2Cipher opened as raw", [&] { return Open(der.bytes, kRaw); }, KELU_ERR_FAILED,
       "SM2_Decrypt"},
      {"encoding 0x30000", [&] { return Open(raw.bytes, 0x30000); }, KELU_ERR_INVALID_PARAMETER,
       "Check fSM2EncEncodedType"},
      {"a changed C3", [&] { return Open(broken_key); }, KELU_ERR_FAILED, "SM2_Decrypt"},
      {"an IV of 8 bytes", [&] { return Open(PeerEnvelope(data, kRaw, short_iv)); },
       KELU_ERR_ENVELOPE_FORMAT, "Check IV and Key size"},
      {"NULL parameters", [&] { return Open(PeerEnvelope(data, kRaw, null_parameters)); },
       KELU_ERR_ENVELOPE_FORMAT, "Check IV and Key size"},
      {"another recipient named", [&] { return Open(PeerEnvelope(data, kRaw, another_recipient)); },
       KELU_ERR_DECRYPT, "Check SubjectKeyID"},
      {"not an envelope",
       [&] {
         return Open(Bytes{0x30, 0x03, 0x02, 0x01, 0x02});
       },
       KELU_ERR_ENVELOPE_FORMAT, "Decode_CMSEnvelopeData"},
  };
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.what);
    log.Take();
    const int rc = c.call().result;
    EXPECT_TRUE(rc == c.want || (c.also != KELU_OK && rc == c.also)) << rc;
    EXPECT_TRUE(
        log.Contains("(DecryptDerCMSEnvelopeData -- " + std::string(c.step) + ")\t\t--Failed"))
        << log.Text();
  }
}

// Only the file form compares the algorithm identifiers.
TEST_F(Sm2Envelope, OtherAlgorithmIdentifiersOpenInMemoryOnly) {
  const Bytes data = RandomBytes(50);
  EnvelopeParts other_key_oid;
  other_key_oid.key_algorithm = "1.2.156.10197.1.301";
  EnvelopeParts other_content_oid;
  other_content_oid.content_algorithm = "1.2.156.10197.1.104.2";
  EnvelopeParts other_types;
  other_types.outer_type = "1.2.840.113549.1.7.3";
  other_types.inner_type = "1.2.840.113549.1.7.1";
  struct Case {
    const char *what;
    EnvelopeParts parts;
    int file_result;
  };
  const Case kCases[] = {
      {"key encryption", other_key_oid, KELU_ERR_ENVELOPE_FORMAT},
      {"content encryption", other_content_oid, KELU_ERR_ENVELOPE_FORMAT},
      {"content types", other_types, KELU_OK},
  };
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.what);
    const Bytes envelope = PeerEnvelope(data, kRaw, c.parts);
    EXPECT_EQ(Open(envelope).bytes, data);
    WriteBinaryFile(Path("other.env"), envelope);
    FilePtr in = OpenForReading(Path("other.env"));
    FilePtr key_file = OpenForReading(pki().KeyFile("enc"));
    FilePtr out(std::fopen(Path("other.out").c_str(), "wb"));
    EXPECT_EQ(
        DecryptDerCMSEnvelopeFile(in.get(), key_file.get(), kKeyFilePassword, kRaw, out.get()),
        c.file_result);
  }
}

TEST_F(Sm2Envelope, KeyFilesAreReadFromTheirStart) {
  const Bytes data = RandomBytes(10);
  const Out made = Make(data);
  ASSERT_EQ(made.result, KELU_OK);
  FilePtr key_file = OpenForReading(pki().KeyFile("enc"));
  ASSERT_EQ(std::fseek(key_file.get(), 0, SEEK_END), 0);
  const Out opened = Call([&](unsigned char **out, int *size) {
    return DecryptDerCMSEnvelopeData(made.bytes.data(), Size(made.bytes), key_file.get(),
                                     kKeyFilePassword, kRaw, out, size);
  });
  EXPECT_EQ(opened.bytes, data);
}

TEST_F(Sm2Envelope, PlaintextsAndPasswordsStayOutOfTheLog) {
  LogCapture log;
  const std::string secret = "plaintext that must not be logged";
  const Out made = Make(Bytes(secret.begin(), secret.end()));
  ASSERT_EQ(made.result, KELU_OK);
  ASSERT_EQ(Open(made.bytes).result, KELU_OK);
  EXPECT_FALSE(log.Contains(secret));
  EXPECT_FALSE(log.Contains(kKeyFilePassword));
}

TEST_F(Sm2Envelope, AFailingRandomSourceHandsOutNothing) {
  Out made;
  {
    FailingRandomSource failing;
    made = Make(Bytes(20, 0x41));
  }
  EXPECT_EQ(made.result, KELU_ERR_FAILED);
}

// ---- Envelope files -----------------------------------------------------------------------

class Sm2EnvelopeFile : public Sm2Envelope {
 protected:
  int EncryptFile(const std::string &plain, const std::string &envelope, unsigned long type = kRaw,
                  const std::string &cert = "enc") const {
    FilePtr in = OpenForReading(plain);
    FilePtr out(std::fopen(envelope.c_str(), "wb"));
    EXPECT_NE(out, nullptr);
    const Bytes der = pki().Der(cert);
    const int rc = EncryptFileToDerCMSEnvelope(in.get(), der.data(), Size(der), type, out.get());
    EXPECT_EQ(std::fclose(out.release()), 0);
    return rc;
  }
  int DecryptFile(const std::string &envelope, const std::string &plain, unsigned long type = kRaw,
                  const std::string &holder = "enc",
                  const char *password = kKeyFilePassword) const {
    FilePtr in = OpenForReading(envelope);
    FilePtr key_file = OpenForReading(pki().KeyFile(holder));
    FilePtr out(std::fopen(plain.c_str(), "wb"));
    EXPECT_NE(out, nullptr);
    const int rc = DecryptDerCMSEnvelopeFile(in.get(), key_file.get(), password, type, out.get());
    EXPECT_EQ(std::fclose(out.release()), 0);
    return rc;
  }
};

TEST_F(Sm2EnvelopeFile, EnvelopeFilesAreOneDerEnvelope) {
  for (unsigned long type : kEncodings) {
    for (size_t size : {1, 16, 16383, 16384, 16385, 40000}) {
      SCOPED_TRACE("encoding " + std::to_string(type) + ", " + std::to_string(size) + " bytes");
      const Bytes data = RandomBytes(size);
      WriteBinaryFile(Path("plain.bin"), data);
      ASSERT_EQ(EncryptFile(Path("plain.bin"), Path("env.der"), type), KELU_OK);
      const Bytes envelope = ReadBinaryFile(Path("env.der"));
      const PeerFields f = ParseWithOpenssl(envelope, dir_.path());
      EXPECT_EQ(f.content.size(), size / 16 * 16 + 16);
      const Bytes key = OpensslContentKey(f.encrypted_key, type);
      EXPECT_EQ(OpensslEnc("-sm4-cbc", true, key, f.parameters_value, f.content, dir_.path()),
                data);
      EXPECT_EQ(Open(envelope, type).bytes, data);
      ASSERT_EQ(DecryptFile(Path("env.der"), Path("back.bin"), type), KELU_OK);
      EXPECT_EQ(ReadBinaryFile(Path("back.bin")), data);
    }
  }
}

TEST_F(Sm2EnvelopeFile, FilesThatAreRefused) {
  const Bytes data = RandomBytes(100);
  WriteBinaryFile(Path("plain.bin"), data);
  ASSERT_EQ(EncryptFile(Path("plain.bin"), Path("env.der")), KELU_OK);
  const Bytes envelope = ReadBinaryFile(Path("env.der"));
  WriteBinaryFile(Path("cut.der"), Bytes(envelope.begin(), envelope.end() - 20));
  WriteBinaryFile(Path("empty.bin"), {});
  WriteTextFile(Path("not-a-key-file.sm2"), "SGVsbG8gd29ybGQ=\n");

  EXPECT_EQ(EncryptFile(Path("empty.bin"), Path("out.der")), KELU_ERR_INVALID_PARAMETER);
  EXPECT_EQ(ReadBinaryFile(Path("out.der")).size(), 0u);
  EXPECT_EQ(EncryptFile(Path("plain.bin"), Path("out.der"), kRaw, "sign-only"), KELU_ERR_KEY_USAGE);
  EXPECT_EQ(EncryptFile(Path("plain.bin"), Path("out.der"), 0x30000), KELU_ERR_INVALID_PARAMETER);

  struct Case {
    const char *what;
    std::function<int()> call;
    int want;
    int also = KELU_OK;  // random bytes read as DER fail in one of two ways
  };
  const Case kCases[] = {
      {"another person's key file",
       [&] { return DecryptFile(Path("env.der"), Path("back.bin"), kRaw, "other"); },
       KELU_ERR_RECIPIENT_MISMATCH},
      {"a wrong password",
       [&] { return DecryptFile(Path("env.der"), Path("back.bin"), kRaw, "enc", "wrong"); },
       KELU_ERR_KEY_FILE_PASSWORD},
      {"not a key file",
       [&] {
         FilePtr in = OpenForReading(Path("env.der"));
         FilePtr key_file = OpenForReading(Path("not-a-key-file.sm2"));
         FilePtr out(std::fopen(Path("back.bin").c_str(), "wb"));
         return DecryptDerCMSEnvelopeFile(in.get(), key_file.get(), "x", kRaw, out.get());
       },
       KELU_ERR_KEY_FILE_FORMAT},
      {"the other encoding", [&] { return DecryptFile(Path("env.der"), Path("back.bin"), kDer); },
       KELU_ERR_PARSE, KELU_ERR_FAILED},
      {"an envelope cut short", [&] { return DecryptFile(Path("cut.der"), Path("back.bin")); },
       KELU_ERR_FAILED},
  };
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.what);
    WriteBinaryFile(Path("back.bin"), {});
    const int rc = c.call();
    EXPECT_TRUE(rc == c.want || (c.also != KELU_OK && rc == c.also)) << rc;
    EXPECT_EQ(ReadBinaryFile(Path("back.bin")).size(), 0u) << "no plaintext left behind";
  }
}

}  // namespace
}  // namespace kelu::test

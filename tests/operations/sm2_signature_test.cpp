// SM2 raw and PKCS#1-style signatures with key pairs and SM2 key files, over data and files,
// cross-checked both ways with OpenSSL's SM2 (openssl dgst -sm3 with the default user ID, and
// pkeyutl over a digest) and with npm's sm-crypto-v2.
#include <gtest/gtest.h>
#include <openssl/err.h>

#include <functional>
#include <string>
#include <vector>

#include "../national/NationalTestUtil.h"
#include "Base64Utility.h"
#include "DataSigning.h"
#include "LogCapture.h"
#include "PKCS7SignedDataOperations.h"
#include "SMKernel.h"
#include "Sm2Signatures.h"
#include "Sm2SigningTestUtil.h"

namespace kelu::test {
namespace {

class Sm2Signature : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_EQ(kelu::SMKernelInitialize(), 0);
    SharedSigningKeys();
  }
  void TearDown() override { ERR_clear_error(); }

  static const Sm2KeyValues &Key() {
    static const Sm2KeyValues *key = new Sm2KeyValues(ReadSm2PrivateKey(SharedPki().Key("sm2-leaf")));
    return *key;
  }
  static FilePtr KeyFile(const std::string &name = "sm2-leaf") {
    return OpenForReading(SharedSigningKeys().Path(name));
  }

  BytesResult SignWithKeyFile(const Bytes &data, bool with_z, const char *password = kKeyFilePassword,
                              const std::string &key_file = "sm2-leaf") {
    FilePtr f = KeyFile(key_file);
    return CallForBytes([&](unsigned char **o, int *n) {
      return SignData_Raw_BySM2PFX(data.data(), Size(data), f.get(), password, o, n, with_z);
    });
  }
  TextResult SignPkcs1(const Bytes &data, unsigned long selector) {
    FilePtr f = KeyFile();
    return CallForText([&](char **o, int *n) {
      return SignData_PKCS1_BySM2PFX(data.data(), Size(data), f.get(), kKeyFilePassword, o, n,
                                     ATL_BASE64_FLAG_NOCRLF, true, selector);
    });
  }
  static int VerifyByCert(const Bytes &data, const Bytes &cert, const Bytes &signature,
                          bool with_z = true) {
    return VerifySignature_DERPKCS1_ByCert(data.data(), Size(data), cert.data(), Size(cert),
                                           signature.data(), Size(signature), with_z);
  }

  TempDir dir_;
  LogCapture log_;
};

TEST_F(Sm2Signature, RawSignaturesOfAKeyPairVerifyBothWaysWithOpenssl) {
  KeyPairView view(Key());
  for (bool with_z : {true, false}) {
    for (size_t size : {1, 100, 5000}) {
      SCOPED_TRACE(std::to_string(size) + (with_z ? " bytes with Z" : " bytes without Z"));
      const Bytes data = RandomBytes(size);
      BytesResult s = CallForBytes([&](unsigned char **o, int *n) {
        return SignData_Raw_ByKeyPair(data.data(), Size(data), &view.pair, o, n, with_z);
      });
      ASSERT_EQ(s.rc, KELU_OK);
      ASSERT_EQ(s.bytes.size(), 64u);
      EXPECT_TRUE(OpensslSm2Verify(SignerCertPem(), data, Sm2SignatureDer(s.bytes), with_z));
      EXPECT_FALSE(OpensslSm2Verify(SignerCertPem(), data, Sm2SignatureDer(s.bytes), !with_z));

      auto verify = [&](const Bytes &d, bool z) {
        return VerifySignature_Raw(d.data(), Size(d), view.x.data(), view.y.data(),
                                   s.bytes.data(), 64, z);
      };
      EXPECT_EQ(verify(data, with_z), KELU_OK);
      EXPECT_EQ(verify(data, !with_z), KELU_ERR_FAILED);
      EXPECT_EQ(verify(Changed(data, size - 1), with_z), KELU_ERR_FAILED);

      // OpenSSL's signature (its DER, as the PKCS#1 form) verifies here.
      const Bytes theirs = OpensslSm2Sign(SharedPki().Key("sm2-leaf"), data, with_z);
      EXPECT_EQ(VerifyByCert(data, SignerCertDer(), theirs, with_z), KELU_OK);
      EXPECT_EQ(VerifyByCert(data, SignerCertDer(), theirs, !with_z), KELU_ERR_FAILED);
    }
  }
}

TEST_F(Sm2Signature, EverySignatureIsFreshAndVerifies) {
  const Bytes data = RandomBytes(50);
  BytesResult a = SignWithKeyFile(data, true), b = SignWithKeyFile(data, true);
  ASSERT_EQ(a.rc, KELU_OK);
  ASSERT_EQ(b.rc, KELU_OK);
  EXPECT_NE(a.bytes, b.bytes);
  for (const Bytes &s : {a.bytes, b.bytes}) EXPECT_EQ(VerifyByCert(data, SignerCertDer(), s), KELU_OK);
}

TEST_F(Sm2Signature, Pkcs1TextsOfBothEncodings) {
  const Bytes data = RandomBytes(300);
  const std::string cert_text = ToBase64(SignerCertDer());
  auto verify = [&](const Bytes &d, const std::string &cert, const std::string &signature) {
    return VerifySignature_PKCS1_ByCert(d.data(), Size(d), cert.c_str(), Length(cert),
                                        signature.c_str(), Length(signature), true);
  };

  // The DER SEQUENCE of two INTEGERs, as OpenSSL reads it.
  TextResult q1 = SignPkcs1(data, PKCS1_SIGNATURE_ENCODED_SM2_Q1);
  ASSERT_EQ(q1.rc, KELU_OK);
  const Bytes der = FromBase64(q1.text);
  const std::string listing = Asn1Parse(der);
  const std::vector<std::string> lines = SplitLines(listing);
  ASSERT_EQ(lines.size(), 3u) << listing;
  EXPECT_NE(lines[0].find("SEQUENCE"), std::string::npos) << listing;
  EXPECT_NE(lines[1].find("INTEGER"), std::string::npos) << listing;
  EXPECT_NE(lines[2].find("INTEGER"), std::string::npos) << listing;
  EXPECT_TRUE(OpensslSm2Verify(SignerCertPem(), data, der, true));
  EXPECT_EQ(verify(data, cert_text, q1.text), KELU_OK);
  EXPECT_EQ(verify(Changed(data), cert_text, q1.text), KELU_ERR_FAILED);
  // The certificate as Base64 of its PEM text reads as well.
  EXPECT_EQ(verify(data, ToBase64(SharedPki().PemBytes("sm2-leaf")), q1.text), KELU_OK);

  // The 64 bytes r || s: 88 characters with padding.
  TextResult raw = SignPkcs1(data, PKCS1_SIGNATURE_ENCODED_RAW_RS);
  ASSERT_EQ(raw.rc, KELU_OK);
  EXPECT_EQ(raw.text.size(), 88u);
  EXPECT_TRUE(OpensslSm2Verify(SignerCertPem(), data, Sm2SignatureDer(FromBase64(raw.text)), true));
  EXPECT_EQ(verify(data, cert_text, raw.text), KELU_OK);

  // Any other selector is refused once the key file has been opened and the data signed.
  log_.Take();
  EXPECT_EQ(SignPkcs1(data, 3).rc, KELU_ERR_INVALID_PARAMETER);
  const std::string text = log_.Text();
  const size_t signed_at = text.find("(SignData_PKCS1_BySM2PFX -- SignData_Raw_BySM2PFX)\t\t--OK");
  const size_t refused_at = text.find(
      "(SignData_PKCS1_BySM2PFX -- Invalid SM2 signature encoded type)\t\t--Failed:(0x80070057) "
      "[Reason:true]");
  ASSERT_NE(signed_at, std::string::npos) << text;
  ASSERT_NE(refused_at, std::string::npos) << text;
  EXPECT_LT(signed_at, refused_at);
  EXPECT_NE(text.find("fSignatureEncodedType = 0x0003"), std::string::npos);
}

TEST_F(Sm2Signature, VerificationByCertificateTellsTheFormBySize) {
  const Bytes data = RandomBytes(64);
  BytesResult s = SignWithKeyFile(data, true);
  ASSERT_EQ(s.rc, KELU_OK);
  const Bytes q1 = Sm2SignatureDer(s.bytes);
  Bytes longer = s.bytes, padded = q1;  // 65 bytes; 73 bytes, a valid SM2Q1 in front
  longer.push_back(0);
  padded.resize(73, 0);
  struct Case {
    const char *what;
    Bytes signature;
    int want;
  };
  const Case cases[] = {
      {"64 bytes r || s", s.bytes, KELU_OK},
      {"SM2Q1", q1, KELU_OK},
      {"65 bytes", longer, KELU_ERR_BAD_SIGNATURE},
      {"63 bytes", Bytes(s.bytes.begin(), s.bytes.end() - 1), KELU_ERR_BAD_SIGNATURE},
      {"73 bytes", padded, KELU_ERR_BAD_SIGNATURE},
      {"none", Bytes(), KELU_ERR_BAD_SIGNATURE},
      {"70 bytes that are no SM2Q1", RandomBytes(70), KELU_ERR_FAILED},
      {"r || s of another signature", Changed(s.bytes, 40), KELU_ERR_FAILED},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(VerifyByCert(data, SignerCertDer(), c.signature), c.want) << c.what;
  }
  // Another key's certificate, or one without an SM2 key.
  EXPECT_EQ(VerifyByCert(data, SharedPki().DerBytes("sm2-int"), q1), KELU_ERR_FAILED);
  EXPECT_EQ(VerifyByCert(data, SharedPki().DerBytes("rsa-leaf"), q1), KELU_ERR_FAILED);
  // The raw verifier takes exactly 64 bytes.
  KeyPairView view(Key());
  log_.Take();
  EXPECT_EQ(VerifySignature_Raw(data.data(), Size(data), view.x.data(), view.y.data(), q1.data(),
                                Size(q1), true),
            KELU_ERR_INVALID_PARAMETER);
  EXPECT_TRUE(log_.Contains(
      "(VerifySignature_Raw -- Check SM2 raw signature size)\t\t--Failed:(0x80070057) "
      "[Reason:(NULL == pbyRawSignatureRS || SM2_RAW_RS_SIZE != nRawSignatureRSSize)]"));
}

// Files are digested whole, from their start, in 16384-byte blocks: a file signature verifies
// over the same bytes in memory and the other way round.
TEST_F(Sm2Signature, FilesAndBytesAtBlockBoundaries) {
  KeyPairView view(Key());
  const std::string cert_text = ToBase64(SignerCertDer());
  for (size_t size : {0, 1, 16383, 16384, 16385, 3 * 16384 + 5}) {
    SCOPED_TRACE(size);
    const Bytes data = RandomBytes(size);
    const std::string path = dir_.File("data.bin");
    WriteBinaryFile(path, data);
    FilePtr source = OpenForReading(path);
    std::fseek(source.get(), static_cast<long>(size / 2), SEEK_SET);
    FilePtr key = KeyFile();
    BytesResult from_file = CallForBytes([&](unsigned char **o, int *n) {
      return SignFile_Raw_BySM2PFX(source.get(), key.get(), kKeyFilePassword, o, n, true);
    });
    ASSERT_EQ(from_file.rc, KELU_OK);
    EXPECT_EQ(VerifySignature_Raw(data.data(), Size(data), view.x.data(), view.y.data(),
                                  from_file.bytes.data(), 64, true),
              KELU_OK);
    EXPECT_TRUE(OpensslSm2Verify(SignerCertPem(), data, Sm2SignatureDer(from_file.bytes), true));

    BytesResult from_bytes = CallForBytes([&](unsigned char **o, int *n) {
      return SignData_Raw_ByKeyPair(data.data(), Size(data), &view.pair, o, n, true);
    });
    ASSERT_EQ(from_bytes.rc, KELU_OK);
    EXPECT_EQ(VerifyFileSignature_Raw(source.get(), view.x.data(), view.y.data(),
                                      from_bytes.bytes.data(), 64, true),
              KELU_OK);

    FilePtr key_again = KeyFile();
    TextResult pkcs1 = CallForText([&](char **o, int *n) {
      return SignFile_PKCS1_BySM2PFX(source.get(), key_again.get(), kKeyFilePassword, o, n,
                                     ATL_BASE64_FLAG_NOCRLF, true, PKCS1_SIGNATURE_ENCODED_SM2_Q1);
    });
    ASSERT_EQ(pkcs1.rc, KELU_OK);
    EXPECT_EQ(VerifyFileSignature_PKCS1_ByCert(source.get(), cert_text.c_str(), Length(cert_text),
                                               pkcs1.text.c_str(), Length(pkcs1.text), true),
              KELU_OK);
    EXPECT_TRUE(OpensslSm2Verify(SignerCertPem(), data, FromBase64(pkcs1.text), true));
    if (size > 0) {
      EXPECT_EQ(VerifyByCert(Changed(data, size - 1), SignerCertDer(), FromBase64(pkcs1.text)),
                KELU_ERR_FAILED);
    }
  }
}

// Opening the key file for signing, the same in every signer by key file: the certificate's
// key usage is checked before the password is used.
TEST_F(Sm2Signature, KeyFilesThatDoNotSign) {
  const Bytes data = RandomBytes(20);
  const std::string path = dir_.File("data.bin");
  WriteBinaryFile(path, data);
  using Signer = std::function<int(FILE *key, const char *password)>;
  struct Named {
    const char *name;
    Signer sign;
  };
  unsigned char *raw = nullptr;
  int raw_size = 0;
  char *text = nullptr;
  int length = 0;
  FilePtr source = OpenForReading(path);
  const Named signers[] = {
      {"SignData_Raw_BySM2PFX",
       [&](FILE *key, const char *pw) {
         return SignData_Raw_BySM2PFX(data.data(), Size(data), key, pw, &raw, &raw_size, true);
       }},
      {"SignFile_Raw_BySM2PFX",
       [&](FILE *key, const char *pw) {
         return SignFile_Raw_BySM2PFX(source.get(), key, pw, &raw, &raw_size, true);
       }},
      {"SignData_PKCS1_BySM2PFX",
       [&](FILE *key, const char *pw) {
         return SignData_PKCS1_BySM2PFX(data.data(), Size(data), key, pw, &text, &length, 2, true,
                                        2);
       }},
      {"SignData_PKCS7_BySM2PFX",
       [&](FILE *key, const char *pw) {
         return SignData_PKCS7_BySM2PFX(data.data(), Size(data), key, pw, false, &text, &length, 2,
                                        true, SIGNATURE_ENCODED_SM2_OCTET_STRING_Q1,
                                        "1.2.156.10197.1.301.1");
       }},
      {"SignFile_PKCS7Detached_BySM2PFX",
       [&](FILE *key, const char *pw) {
         return SignFile_PKCS7Detached_BySM2PFX(source.get(), key, pw, &text, &length, 2, true,
                                                SIGNATURE_ENCODED_SM2_OCTET_STRING_Q1,
                                                "1.2.156.10197.1.301.1");
       }},
  };
  struct Case {
    const char *key_file;
    const char *password;
    int want;
    const char *step;  // the Failed step of the opening
  };
  const Case cases[] = {
      {"ku-none", kKeyFilePassword, KELU_ERR_KEY_USAGE, "CheckCertKeyUsage"},
      {"ku-enc", "not even the password", KELU_ERR_KEY_USAGE, "CheckCertKeyUsage"},
      {"sm2-leaf", "wrong password", KELU_ERR_KEY_FILE_PASSWORD, "DecryptKeyPairFromSM2PFX"},
      {"sm2-leaf", nullptr, KELU_ERR_INVALID_PARAMETER, "Check parameter(pszPFXPwd)"},
      {"rsa-cert", kKeyFilePassword, KELU_ERR_KEY_FILE_PASSWORD, "DecryptKeyPairFromSM2PFX"},
      {"not-a-key-file", kKeyFilePassword, KELU_ERR_KEY_FILE_FORMAT, "ParseSM2PFX"},
      {"empty", kKeyFilePassword, KELU_ERR_BASE64_DECODE, "Base64DecodeEx"},
      // The decoder skips what is not Base64: nothing is left of this text.
      {"not-base64", kKeyFilePassword, KELU_ERR_KEY_FILE_FORMAT, "ParseSM2PFX"},
  };
  for (const Named &signer : signers) {
    for (const Case &c : cases) {
      SCOPED_TRACE(std::string(signer.name) + " with " + c.key_file);
      FilePtr key = KeyFile(c.key_file);
      log_.Take();
      EXPECT_EQ(signer.sign(key.get(), c.password), c.want);
      const std::string log = log_.Text();
      // (The PKCS#1 signer opens the key file through its raw signer.)
      EXPECT_NE(log.find(" -- " + std::string(c.step) + ")\t\t--Failed"), std::string::npos)
          << log;
      if (c.want == KELU_ERR_KEY_USAGE) {
        EXPECT_EQ(log.find("DecryptKeyPairFromSM2PFX"), std::string::npos) << "password used";
      }
    }
    // A null key file is a parameter.
    EXPECT_EQ(signer.sign(nullptr, kKeyFilePassword), KELU_ERR_INVALID_PARAMETER) << signer.name;
  }
  EXPECT_EQ(raw, nullptr);
  EXPECT_EQ(text, nullptr);
}

TEST_F(Sm2Signature, KeyPairsAndOutputsThatAreRefused) {
  const Bytes data = RandomBytes(20);
  KeyPairView view(Key());
  SM2_KEY_PAIR short_key = view.pair;
  short_key.nPrivateKeySize = 31;
  SM2_KEY_PAIR no_y = view.pair;
  no_y.pbyPubKeyY = nullptr;
  for (const SM2_KEY_PAIR *pair : {static_cast<const SM2_KEY_PAIR *>(nullptr),
                                   static_cast<const SM2_KEY_PAIR *>(&short_key),
                                   static_cast<const SM2_KEY_PAIR *>(&no_y)}) {
    EXPECT_EQ(CallForBytes([&](unsigned char **o, int *n) {
                return SignData_Raw_ByKeyPair(data.data(), Size(data), pair, o, n, true);
              }).rc,
              KELU_ERR_INVALID_PARAMETER);
  }
  int size = 0;
  EXPECT_EQ(SignData_Raw_ByKeyPair(data.data(), Size(data), &view.pair, nullptr, &size, true),
            KELU_ERR_INVALID_PARAMETER);
  EXPECT_EQ(SignData_PKCS1_ByKeyPair(data.data(), Size(data), &view.pair, nullptr, &size, 2, true,
                                     2),
            KELU_ERR_INVALID_PARAMETER);
  unsigned char *rs = nullptr;
  EXPECT_EQ(SignFile_Raw_ByKeyPair(nullptr, &view.pair, &rs, &size, true),
            KELU_ERR_INVALID_PARAMETER);
  EXPECT_EQ(VerifyFileSignature_Raw(nullptr, view.x.data(), view.y.data(), data.data(), 64, true),
            KELU_ERR_INVALID_PARAMETER);
  EXPECT_EQ(rs, nullptr);
}

// npm's sm-crypto-v2 signs over SM3(Z || M) with the same default user ID.
TEST_F(Sm2Signature, InteropWithSmCryptoV2) {
  if (!SmCryptoV2Available()) GTEST_SKIP() << "sm-crypto-v2 not installed in .peers (scripts/setup)";
  const Sm2KeyValues &key = Key();
  const std::string pub = "04" + Lower(ToHex(key.x) + ToHex(key.y));
  const Bytes data = RandomBytes(333);
  const std::string helpers = "const hex = (s) => Uint8Array.from(Buffer.from(s, 'hex'));\n";

  const std::string theirs = RunSmCryptoV2(
      helpers + "console.log(sm2.doSignature(hex(a[0]), a[1], { hash: true, der: true }));",
      {Lower(ToHex(data)), Lower(ToHex(key.d))});
  EXPECT_EQ(VerifyByCert(data, SignerCertDer(), FromHex(theirs)), KELU_OK) << theirs;

  for (unsigned long selector : {PKCS1_SIGNATURE_ENCODED_SM2_Q1, PKCS1_SIGNATURE_ENCODED_RAW_RS}) {
    TextResult ours = SignPkcs1(data, selector);
    ASSERT_EQ(ours.rc, KELU_OK);
    const bool der = selector == PKCS1_SIGNATURE_ENCODED_SM2_Q1;
    EXPECT_EQ(RunSmCryptoV2(helpers + "console.log(sm2.doVerifySignature(hex(a[0]), a[1], a[2], "
                                      "{ hash: true, der: a[3] === 'der' }));",
                            {Lower(ToHex(data)), Lower(ToHex(FromBase64(ours.text))), pub,
                             der ? "der" : "raw"}),
              "true")
        << selector;
  }
}

}  // namespace
}  // namespace kelu::test

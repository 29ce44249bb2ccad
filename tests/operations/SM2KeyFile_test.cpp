// The SM2 key file: its writer against an independent builder (OpenSSL's SM3 and SM4), its
// parser over well-formed, varied and malformed files, and the key pair's release.
#include <gtest/gtest.h>
#include <openssl/err.h>

#include <functional>
#include <memory>
#include <string>

#include "KeluErrors.h"
#include "LogCapture.h"
#include "SMFileCertOperations.h"
#include "Sm2KeyFiles.h"
#include "TestSupport.h"

namespace kelu::test {
namespace {

// An SM2 key and a self-signed SM2 certificate for it, made once for the program.
struct Identity {
  std::string key_path, cert_pem_path;
  Sm2KeyValues key;
  Bytes cert_der, cert_pem;
};

const Identity &SharedIdentity() {
  static const Identity *const id = [] {
    static TempDir dir;
    auto *made = new Identity;
    made->key_path = dir.File("sm2.key");
    made->cert_pem_path = dir.File("sm2.pem");
    made->key = MakeSm2PrivateKey(made->key_path);
    CommandResult r = RunCommand(
        "openssl req -x509 -new -key " + ShellQuote(made->key_path) +
        " -sm3 -sigopt distid:1234567812345678 -subj /CN=kelu-key-file -days 30"
        " -addext keyUsage=critical,digitalSignature,keyEncipherment -out " +
        ShellQuote(made->cert_pem_path) + " && openssl x509 -in " +
        ShellQuote(made->cert_pem_path) + " -outform DER -out " +
        ShellQuote(dir.File("sm2.der")));
    EXPECT_EQ(r.exit_code, 0) << r.output;
    made->cert_pem = ReadBinaryFile(made->cert_pem_path);
    made->cert_der = ReadBinaryFile(dir.File("sm2.der"));
    return made;
  }();
  return *id;
}

int Size(const Bytes &b) { return static_cast<int>(b.size()); }

struct Written {
  int result;
  Bytes der;
};

Written Encapsulate(const Bytes &cert, const Bytes &d, const char *password) {
  unsigned char untouched = 0;
  unsigned char *der = &untouched;
  int size = -7;
  Written w{EncapsulateSM2PFX(cert.data(), Size(cert), d.data(), Size(d), password, &der, &size),
            {}};
  if (w.result == KELU_OK) {
    w.der.assign(der, der + size);
    delete[] der;
  } else {
    EXPECT_EQ(der, &untouched);
    EXPECT_EQ(size, -7);
  }
  return w;
}

struct Parsed {
  int result;
  Bytes encrypted_key, certificate;
};

Parsed Parse(const Bytes &der) {
  unsigned char untouched = 0;
  unsigned char *key = &untouched, *cert = &untouched;
  int key_size = -7, cert_size = -7;
  Parsed p{ParseSM2PFX(der.data(), Size(der), &key, &key_size, &cert, &cert_size), {}, {}};
  if (p.result == KELU_OK) {
    p.encrypted_key.assign(key, key + key_size);
    p.certificate.assign(cert, cert + cert_size);
    delete[] key;
    delete[] cert;
  } else {
    EXPECT_TRUE(key == &untouched && cert == &untouched && key_size == -7 && cert_size == -7)
        << "outputs written on failure";
  }
  return p;
}

// ---- Writer ----------------------------------------------------------------------------------

TEST(EncapsulateSM2PFX, SameBytesAsTheIndependentBuilder) {
  const Identity &id = SharedIdentity();
  for (const char *password : {"123456", "", "\xE5\xAF\x86\xE7\xA0\x81 with blanks"}) {
    SCOPED_TRACE(password);
    for (const Bytes *cert : {&id.cert_der, &id.cert_pem}) {
      Written w = Encapsulate(*cert, id.key.d, password);
      ASSERT_EQ(w.result, KELU_OK);
      EXPECT_EQ(ToHex(w.der), ToHex(BuildSm2PfxForKey(*cert, id.key.d, password)));
    }
  }
}

TEST(EncapsulateSM2PFX, OpenSslReadsTheStructure) {
  const Identity &id = SharedIdentity();
  Written w = Encapsulate(id.cert_der, id.key.d, "pw");
  ASSERT_EQ(w.result, KELU_OK);
  TempDir dir;
  WriteBinaryFile(dir.File("pfx.der"), w.der);
  CommandResult r = RunCommand("openssl asn1parse -inform DER -in " +
                               ShellQuote(dir.File("pfx.der")));
  ASSERT_EQ(r.exit_code, 0) << r.output;
  std::vector<std::string> lines = SplitLines(r.output);
  ASSERT_GE(lines.size(), 8u) << r.output;
  const char *kExpected[] = {"SEQUENCE", "INTEGER           :01", "SEQUENCE",
                             "OBJECT            :1.2.156.10197.6.1.4.2.1",
                             "OBJECT            :1.2.156.10197.1.104", "OCTET STRING", "SEQUENCE",
                             "OBJECT            :1.2.156.10197.6.1.4.2.1"};
  for (size_t i = 0; i < 8; ++i) {
    EXPECT_NE(lines[i].find(kExpected[i]), std::string::npos) << lines[i];
  }
  EXPECT_NE(r.output.find("OCTET STRING      [HEX DUMP]:" +
                          ToHex(EncryptSm2KeyWithPassword(id.key.d, "pw"))),
            std::string::npos)
      << r.output;
}

TEST(EncapsulateSM2PFX, NoSaltSoTheEncryptedKeyRepeats) {
  const Identity &id = SharedIdentity();
  Parsed a = Parse(Encapsulate(id.cert_der, id.key.d, "same").der);
  Parsed b = Parse(Encapsulate(id.cert_pem, id.key.d, "same").der);
  ASSERT_EQ(a.result, KELU_OK);
  ASSERT_EQ(b.result, KELU_OK);
  EXPECT_EQ(a.encrypted_key, b.encrypted_key);
  EXPECT_EQ(a.encrypted_key.size(), 48u);
}

TEST(EncapsulateSM2PFX, RefusedArguments) {
  const Identity &id = SharedIdentity();
  Bytes short_key(id.key.d.begin() + 1, id.key.d.end());
  LogCapture log;
  EXPECT_EQ(Encapsulate(id.cert_der, short_key, "pw").result, KELU_ERR_INVALID_PARAMETER)
      << "the readers take 32-byte keys only";
  EXPECT_EQ(Encapsulate({}, id.key.d, "pw").result, KELU_ERR_INVALID_PARAMETER);
  EXPECT_EQ(Encapsulate(id.cert_der, id.key.d, nullptr).result, KELU_ERR_INVALID_PARAMETER);
  EXPECT_TRUE(log.Contains("(EncapsulateSM2PFX -- SM4EncryptByPin)\t\t--Failed:(0x80070057)"))
      << log.Text();
  EXPECT_EQ(log.Text().find(ToHex(id.key.d)), std::string::npos);
}

TEST(CreateSM2Records, DottedOidsOnlyAndTakingOver) {
  Bytes bytes = RandomBytes(20);
  SM2_PUBLIC_DATA *pub = nullptr;
  SM2_PRIVATE_DATA *priv = nullptr;
  LogCapture log;
  EXPECT_EQ(CreateSM2PublicData("sm2", bytes.data(), 20, &pub), KELU_ERR_FAILED)
      << "names are not looked up";
  EXPECT_TRUE(log.Contains("(CreateSM2PublicData -- OBJ_txt2obj)")) << log.Text();
  EXPECT_TRUE(log.Contains("[Reason:NULL == pstDataID]")) << log.Text();
  EXPECT_EQ(CreateSM2PrivateData("1.2.3", "1.x", bytes.data(), 20, &priv), KELU_ERR_FAILED);
  EXPECT_TRUE(log.Contains("[Reason:NULL == pstDataEncryptedAlg]")) << log.Text();
  EXPECT_EQ(pub, nullptr);
  EXPECT_EQ(priv, nullptr);

  ASSERT_EQ(CreateSM2PublicData("1.2.3.4", bytes.data(), 20, &pub), KELU_OK);
  ASSERT_EQ(CreateSM2PrivateData("1.2.3", "1.2.156.10197.1.104", bytes.data(), 0, &priv),
            KELU_OK);
  SM2_PFX *pfx = nullptr;
  EXPECT_EQ(CreateSM2PFX(3, &priv, nullptr, &pfx), KELU_ERR_FAILED);
  EXPECT_NE(priv, nullptr) << "kept by the caller on failure";
  ASSERT_EQ(CreateSM2PFX(3, &priv, &pub, &pfx), KELU_OK);
  EXPECT_EQ(priv, nullptr);
  EXPECT_EQ(pub, nullptr);
  std::unique_ptr<SM2_PFX, void (*)(SM2_PFX *)> owner(pfx, SM2_PFX_free);
  unsigned char *der = nullptr;
  int len = i2d_SM2_PFX(pfx, &der);
  ASSERT_GT(len, 0);
  Bytes got(der, der + len);
  OPENSSL_free(der);
  Sm2PfxFields fields;
  fields.version = 3;
  fields.private_data_id = "1.2.3";
  fields.public_data_id = "1.2.3.4";
  Bytes want = BuildSm2Pfx(bytes, {}, fields);  // the 20 bytes as certificate, an empty key
  EXPECT_EQ(ToHex(got), ToHex(want));
  ERR_clear_error();
}

// ---- Parser ----------------------------------------------------------------------------------

TEST(ParseSM2PFX, CopiesBothFieldsEachOnlyWhenAsked) {
  const Identity &id = SharedIdentity();
  Bytes encrypted = EncryptSm2KeyWithPassword(id.key.d, "pw");
  Bytes der = BuildSm2Pfx(id.cert_pem, encrypted);
  Parsed p = Parse(der);
  ASSERT_EQ(p.result, KELU_OK);
  EXPECT_EQ(p.encrypted_key, encrypted);
  EXPECT_EQ(p.certificate, id.cert_pem);

  EXPECT_EQ(ParseSM2PFX(der.data(), Size(der), nullptr, nullptr, nullptr, nullptr), KELU_OK);
  unsigned char *cert = nullptr;
  int cert_size = 0;
  int key_size = -7;
  // A buffer pointer without its size pointer skips that output.
  ASSERT_EQ(ParseSM2PFX(der.data(), Size(der), nullptr, &key_size, &cert, &cert_size), KELU_OK);
  EXPECT_EQ(key_size, -7);
  EXPECT_EQ(Bytes(cert, cert + cert_size), id.cert_pem);
  delete[] cert;
}

TEST(ParseSM2PFX, VersionAndOidsAreNotLookedAtAndTrailingBytesIgnored) {
  const Identity &id = SharedIdentity();
  Bytes encrypted = EncryptSm2KeyWithPassword(id.key.d, "pw");
  Sm2PfxFields other;
  other.version = 0;
  other.private_data_id = "1.2.840.113549.1.7.1";
  other.encryption_alg = "1.2.156.10197.1.104.2";
  other.public_data_id = "2.5.4.3";
  Bytes trailing = BuildSm2Pfx(id.cert_der, encrypted);
  trailing.insert(trailing.end(), {0x30, 0x03, 0x02, 0x01, 0x01, 0xFF});
  for (const Bytes &der : {BuildSm2Pfx(id.cert_der, encrypted, other), trailing}) {
    Parsed p = Parse(der);
    ASSERT_EQ(p.result, KELU_OK);
    EXPECT_EQ(p.encrypted_key, encrypted);
    EXPECT_EQ(p.certificate, id.cert_der);
  }
}

TEST(ParseSM2PFX, EveryTruncationFails) {
  Bytes der = BuildSm2Pfx(RandomBytes(300), RandomBytes(48));
  for (size_t n = 0; n < der.size(); ++n) {
    Bytes part(der.begin(), der.begin() + static_cast<long>(n));
    ASSERT_EQ(Parse(part).result, KELU_ERR_KEY_FILE_FORMAT) << "prefix of " << n;
  }
  ERR_clear_error();
}

TEST(ParseSM2PFX, MalformedStructures) {
  Bytes oid = DerTlv(0x06, FromHex("2A811CCF5506010402 01"));
  Bytes alg = DerTlv(0x06, FromHex("2A811CCF55 0168"));
  Bytes key = DerTlv(0x04, RandomBytes(48)), cert = DerTlv(0x04, RandomBytes(40));
  Bytes version = DerTlv(0x02, {1});
  auto seq = [](std::initializer_list<Bytes> parts) {
    Bytes content;
    for (const Bytes &p : parts) content.insert(content.end(), p.begin(), p.end());
    return DerTlv(0x30, content);
  };
  Bytes priv = seq({oid, alg, key}), pub = seq({oid, cert});
  ASSERT_EQ(Parse(seq({version, priv, pub})).result, KELU_OK) << "the well-formed base";

  Bytes long_length = seq({version, priv, pub});
  size_t last_length_octet = (long_length[1] & 0x80) != 0 ? 1 + (long_length[1] & 0x7F) : 1;
  long_length[last_length_octet] = static_cast<uint8_t>(long_length[last_length_octet] + 1);
  Bytes huge_length = FromHex("3084FFFFFFF0");
  huge_length.insert(huge_length.end(), version.begin(), version.end());
  struct Case {
    const char *name;
    Bytes der;
  };
  const Case kCases[] = {
      {"empty", {}},
      {"not a SEQUENCE", DerTlv(0x31, version)},
      {"version as OCTET STRING", seq({DerTlv(0x04, {1}), priv, pub})},
      {"public data missing", seq({version, priv})},
      {"private and public swapped", seq({version, pub, priv})},
      {"extra field", seq({version, priv, pub, version})},
      {"key as BIT STRING", seq({version, seq({oid, alg, DerTlv(0x03, {0, 1, 2})}), pub})},
      {"certificate as SEQUENCE", seq({version, priv, seq({oid, seq({})})})},
      {"OID missing in private data", seq({version, seq({oid, key}), pub})},
      {"length past the end", long_length},
      {"length of four gigabytes", huge_length},
      {"random bytes", RandomBytes(200)},
  };
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    EXPECT_EQ(Parse(c.der).result, KELU_ERR_KEY_FILE_FORMAT);
    EXPECT_TRUE(log.Contains("(ParseSM2PFX -- d2i_SM2_PFX)\t\t--Failed:(0xa0071103) "
                             "[Reason:NULL == pstSM2PFX]"))
        << log.Text();
  }
  EXPECT_EQ(ParseSM2PFX(nullptr, 100, nullptr, nullptr, nullptr, nullptr),
            KELU_ERR_KEY_FILE_FORMAT);
  Bytes good = seq({version, priv, pub});
  EXPECT_EQ(ParseSM2PFX(good.data(), -1, nullptr, nullptr, nullptr, nullptr),
            KELU_ERR_KEY_FILE_FORMAT);
  ERR_clear_error();
}

// ---- Key pair --------------------------------------------------------------------------------

TEST(CleanupSM2KeyPair, NullZeroedAndTwiceAreSafeAndSizesStay) {
  EXPECT_EQ(CleanupSM2KeyPair(nullptr), KELU_OK);
  SM2_KEY_PAIR empty = {};
  EXPECT_EQ(CleanupSM2KeyPair(&empty), KELU_OK);
  SM2_KEY_PAIR pair = {new unsigned char[32](), 32, new unsigned char[32](), 32,
                       new unsigned char[32](), 32};
  EXPECT_EQ(CleanupSM2KeyPair(&pair), KELU_OK);
  EXPECT_EQ(CleanupSM2KeyPair(&pair), KELU_OK);
  EXPECT_EQ(pair.pbyPrivateKey, nullptr);
  EXPECT_EQ(pair.pbyPubKeyX, nullptr);
  EXPECT_EQ(pair.pbyPubKeyY, nullptr);
  EXPECT_EQ(pair.nPrivateKeySize, 32);
  EXPECT_EQ(pair.nPubKeyYSize, 32);
}

}  // namespace
}  // namespace kelu::test

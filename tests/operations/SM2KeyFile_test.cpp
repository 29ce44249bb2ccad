// The SM2 key file: its writer against an independent builder (OpenSSL's SM3 and SM4), its
// parser over well-formed, varied and malformed files, and the key pair's release.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/obj_mac.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "../national/NationalTestUtil.h"
#include "Base64Utility.h"
#include "KeluErrors.h"
#include "LogCapture.h"
#include "SMFileCertOperations.h"
#include "Sm2KeyFiles.h"
#include "TestPki.h"
#include "TestSupport.h"

namespace kelu::test {
namespace {

// The shared PKI's SM2 leaf: a key from openssl genpkey and its certificate, issued with the
// default SM2 user ID by an intermediate CA.
struct Identity {
  std::string key_path;
  Sm2KeyValues key;
  Bytes cert_der, cert_pem;
};

const Identity &SharedIdentity() {
  static const Identity *const id = [] {
    const TestPki &pki = SharedPki();
    return new Identity{pki.Key("sm2-leaf"), ReadSm2PrivateKey(pki.Key("sm2-leaf")),
                        pki.DerBytes("sm2-leaf"), pki.PemBytes("sm2-leaf")};
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

TEST(EncapsulateSM2PFX, RefusesAKeyThatIsNotTheCertificates) {
  const Identity &id = SharedIdentity();
  const Sm2KeyValues other = ReadSm2PrivateKey(SharedPki().Key("sm2-int"));
  LogCapture log;
  EXPECT_EQ(Encapsulate(id.cert_der, other.d, "pw").result, KELU_ERR_INVALID_PARAMETER);
  EXPECT_TRUE(log.Contains("(EncapsulateSM2PFX -- Check private key matches certificate)\t\t"
                           "--Failed:(0x80070057) "
                           "[Reason:the private key is not the key of the certificate]"))
      << log.Text();
  EXPECT_EQ(Encapsulate(id.cert_pem, Bytes(32, 0), "pw").result, KELU_ERR_INVALID_PARAMETER);
  EXPECT_EQ(Encapsulate(SharedPki().DerBytes("rsa-leaf"), id.key.d, "pw").result,
            KELU_ERR_FAILED)
      << "a certificate without an SM2 key";
  EXPECT_TRUE(log.Contains("(EncapsulateSM2PFX -- GetPublicKeyXYFromSM2Cert)\t\t--Failed"));
  EXPECT_EQ(log.Text().find(ToHex(other.d)), std::string::npos);
  ERR_clear_error();
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

// ---- Opening a key file with its password ------------------------------------------------

// A pair and a certificate output that must stay as they were on failure.
struct Opened {
  int result;
  SM2_KEY_PAIR pair;
  Bytes certificate;
};

unsigned char g_marker[1];
const Bytes kFixedKey(32, 0x5A);
const SM2_KEY_PAIR kMarkedPair = {g_marker, -1, g_marker, -2, g_marker, -3};

Opened Open(const Bytes &der, const char *password) {
  Opened o{0, kMarkedPair, {}};
  unsigned char *cert = g_marker;
  int cert_size = -4;
  o.result = DecryptSM2PFX(der.data(), Size(der), password, &o.pair, &cert, &cert_size);
  if (o.result == KELU_OK) {
    o.certificate.assign(cert, cert + cert_size);
    delete[] cert;
  } else {
    EXPECT_EQ(std::memcmp(&o.pair, &kMarkedPair, sizeof o.pair), 0) << "pair written on failure";
    EXPECT_TRUE(cert == g_marker && cert_size == -4) << "certificate written on failure";
  }
  return o;
}

Bytes PrivateKeyOf(const SM2_KEY_PAIR &p) {
  return Bytes(p.pbyPrivateKey, p.pbyPrivateKey + p.nPrivateKeySize);
}

void ExpectPairOf(const SM2_KEY_PAIR &pair, const Sm2KeyValues &key) {
  EXPECT_EQ(ToHex(PrivateKeyOf(pair)), ToHex(key.d));
  ASSERT_EQ(pair.nPubKeyXSize, 32);
  ASSERT_EQ(pair.nPubKeyYSize, 32);
  EXPECT_EQ(Bytes(pair.pbyPubKeyX, pair.pbyPubKeyX + 32), key.x);
  EXPECT_EQ(Bytes(pair.pbyPubKeyY, pair.pbyPubKeyY + 32), key.y);
}

TEST(DecryptSM2PFX, OpensTheWrittenFileIntoTheKeyAndTheCertificatesPoint) {
  const Identity &id = SharedIdentity();
  for (const Bytes *cert : {&id.cert_der, &id.cert_pem}) {
    for (const char *password : {"123456", ""}) {
      Written w = Encapsulate(*cert, id.key.d, password);
      ASSERT_EQ(w.result, KELU_OK);
      Opened o = Open(w.der, password);
      ASSERT_EQ(o.result, KELU_OK);
      ExpectPairOf(o.pair, id.key);
      EXPECT_EQ(o.certificate, *cert);
      CleanupSM2KeyPair(&o.pair);
    }
  }
}

// The text of a key file as its users read it: Base64DecodeEx, then the DER.
TEST(DecryptSM2PFX, KeyFileTextWithOrWithoutLineBreaks) {
  const TestPki &pki = SharedPki();
  TempDir dir;
  Bytes der = WriteSm2KeyFile(dir.File("leaf.sm2"), pki.Key("ku-both"), pki.Pem("ku-both"), "pw");
  std::string with_breaks = ReadTextFile(dir.File("leaf.sm2"));
  ASSERT_NE(with_breaks.find('\n'), std::string::npos);
  for (const std::string &text :
       {with_breaks, Sm2KeyFileText(der), "  \r\n" + with_breaks + "\r\n\t"}) {
    unsigned char *decoded = nullptr;
    int decoded_size = 0;
    ASSERT_EQ(Base64DecodeEx(text.c_str(), static_cast<int>(text.size()), &decoded,
                             &decoded_size),
              KELU_OK);
    Bytes bytes(decoded, decoded + decoded_size);
    delete[] decoded;
    EXPECT_EQ(bytes, der);
    Opened o = Open(bytes, "pw");
    ASSERT_EQ(o.result, KELU_OK);
    ExpectPairOf(o.pair, ReadSm2PrivateKey(pki.Key("ku-both")));
    CleanupSM2KeyPair(&o.pair);
  }
}

TEST(DecryptSM2PFX, FailuresWriteNothing) {
  const Identity &id = SharedIdentity();
  const TestPki &pki = SharedPki();
  Bytes good = BuildSm2PfxForKey(id.cert_der, id.key.d, "right");
  // A fixed key, so that the wrong password surely leaves bad padding (no flaky 1 in 256).
  Bytes fixed = BuildSm2PfxForKey(id.cert_der, kFixedKey, "right");
  Bytes longer_key = id.key.d;
  longer_key.push_back(0x01);
  Bytes shorter_key(id.key.d.begin() + 1, id.key.d.end());
  Bytes partial_block = EncryptSm2KeyWithPassword(id.key.d, "right");
  partial_block.pop_back();
  struct Case {
    const char *name;
    Bytes der;
    const char *password;
    int want;
    const char *line;
  };
  const Case kCases[] = {
      {"wrong password", fixed, "wrong", KELU_ERR_KEY_FILE_PASSWORD,
       "(DecryptSM2PFX -- SM4DecryptByPin)\t\t--Failed:(0xa0071108) [Reason:KELU_OK != nResult]"},
      {"a 33-byte key: valid padding, not a key of the writer",
       BuildSm2PfxForKey(id.cert_der, longer_key, "right"), "right", KELU_ERR_KEY_FILE_PASSWORD,
       "(DecryptSM2PFX -- Check private key size)\t\t--Failed:(0xa0071108) "
       "[Reason:32 != nPrivateKeySize]"},
      {"a 31-byte key", BuildSm2PfxForKey(id.cert_der, shorter_key, "right"), "right",
       KELU_ERR_KEY_FILE_PASSWORD, "(DecryptSM2PFX -- Check private key size)"},
      {"encrypted key not whole blocks", BuildSm2Pfx(id.cert_der, partial_block), "right",
       KELU_ERR_KEY_FILE_PASSWORD, "(DecryptSM2PFX -- SM4DecryptByPin)"},
      {"empty encrypted key", BuildSm2Pfx(id.cert_der, {}), "right", KELU_ERR_KEY_FILE_PASSWORD,
       "(DecryptSM2PFX -- SM4DecryptByPin)"},
      {"RSA certificate", BuildSm2PfxForKey(pki.DerBytes("rsa-leaf"), id.key.d, "right"), "right",
       KELU_ERR_FAILED,
       "(DecryptSM2PFX -- GetPublicKeyXYFromSM2Cert)\t\t--Failed:(0xffffffff) "
       "[Reason:KELU_OK != nResult]"},
      {"certificate bytes that are none", BuildSm2PfxForKey(RandomBytes(64), id.key.d, "right"),
       "right", KELU_ERR_FAILED, "(DecryptSM2PFX -- GetPublicKeyXYFromSM2Cert)"},
      {"not an SM2_PFX", RandomBytes(100), "right", KELU_ERR_KEY_FILE_FORMAT,
       "(DecryptSM2PFX -- ParseSM2PFX)\t\t--Failed:(0xa0071103)"},
      {"no password", good, nullptr, KELU_ERR_INVALID_PARAMETER,
       "(DecryptSM2PFX -- Check Parameters(pszPassword))"},
  };
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    EXPECT_EQ(Open(c.der, c.password).result, c.want);
    EXPECT_TRUE(log.Contains(c.line)) << log.Text();
  }
  ERR_clear_error();
}

TEST(DecryptSM2PFX, CertificateOutputOnlyWithBothPointersAndPairOptional) {
  const Identity &id = SharedIdentity();
  Bytes der = BuildSm2PfxForKey(id.cert_pem, id.key.d, "pw");
  unsigned char *cert = nullptr;
  int cert_size = -4;
  ASSERT_EQ(DecryptSM2PFX(der.data(), Size(der), "pw", nullptr, &cert, &cert_size), KELU_OK);
  EXPECT_EQ(Bytes(cert, cert + cert_size), id.cert_pem);
  delete[] cert;
  cert = nullptr;
  SM2_KEY_PAIR pair = {};
  ASSERT_EQ(DecryptSM2PFX(der.data(), Size(der), "pw", &pair, &cert, nullptr), KELU_OK);
  EXPECT_EQ(cert, nullptr);
  ExpectPairOf(pair, id.key);
  CleanupSM2KeyPair(&pair);
}

TEST(DecryptKeyPairFromSM2PFX, FillsARequiredPairAndNamesItsOwnSteps) {
  const Identity &id = SharedIdentity();
  Bytes der = BuildSm2PfxForKey(id.cert_der, id.key.d, "pw");
  LogCapture log;
  EXPECT_EQ(DecryptKeyPairFromSM2PFX(der.data(), Size(der), "pw", nullptr),
            KELU_ERR_INVALID_PARAMETER);
  SM2_KEY_PAIR pair = {};
  Bytes fixed = BuildSm2PfxForKey(id.cert_der, kFixedKey, "pw");
  EXPECT_EQ(DecryptKeyPairFromSM2PFX(fixed.data(), Size(fixed), "wrong", &pair),
            KELU_ERR_KEY_FILE_PASSWORD);
  EXPECT_EQ(pair.pbyPrivateKey, nullptr);
  ASSERT_EQ(DecryptKeyPairFromSM2PFX(der.data(), Size(der), "pw", &pair), KELU_OK);
  ExpectPairOf(pair, id.key);
  CleanupSM2KeyPair(&pair);
  EXPECT_TRUE(log.Contains("(DecryptKeyPairFromSM2PFX -- Check Parameters(pstSM2KeyPair))"));
  EXPECT_TRUE(log.Contains("(DecryptKeyPairFromSM2PFX -- SM4DecryptByPin)\t\t--Failed"));
  EXPECT_TRUE(log.Contains("(DecryptKeyPairFromSM2PFX -- GetPublicKeyXYFromSM2Cert)\t\t--OK"))
      << log.Text();
}

const char kKeyMismatchLine[] =
    "(DecryptSM2PFX -- Check private key matches certificate)\t\t--Failed:(0xa0071108) "
    "[Reason:the private key is not the key of the certificate]";

// The format carries no check value: only the certificate tells a key of the file from another.
TEST(DecryptSM2PFX, AKeyThatIsNotTheCertificatesDoesNotOpen) {
  const Identity &id = SharedIdentity();
  const Bytes n = FromHex("FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFF7203DF6B21C6052B53BBF40939D54123");
  Bytes n_minus_1 = n;
  n_minus_1.back() = 0x22;
  const struct {
    const char *name;
    Bytes d;
  } kCases[] = {
      {"another holder's key", ReadSm2PrivateKey(SharedPki().Key("sm2-int")).d},
      {"zero", Bytes(32, 0)},
      {"one", FromHex("0000000000000000000000000000000000000000000000000000000000000001")},
      {"n - 1", n_minus_1},
      {"n", n},
      {"all ones", Bytes(32, 0xFF)},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.name);
    for (const Bytes *cert : {&id.cert_der, &id.cert_pem}) {
      LogCapture log;
      EXPECT_EQ(Open(BuildSm2PfxForKey(*cert, c.d, "pw"), "pw").result,
                KELU_ERR_KEY_FILE_PASSWORD);
      EXPECT_TRUE(log.Contains(kKeyMismatchLine)) << log.Text();
    }
  }
}

// SM4-CBC: a changed bit of the first block changes only the first 16 bytes of d and leaves
// the padding of the last block valid.
TEST(DecryptSM2PFX, EveryBitChangeInTheFirstBlockOfTheKeyIsFound) {
  const Identity &id = SharedIdentity();
  const Bytes encrypted = EncryptSm2KeyWithPassword(id.key.d, "pw");
  ASSERT_EQ(encrypted.size(), 48u);
  int opened = 0;
  for (size_t bit = 0; bit < 128; ++bit) {
    Bytes changed = encrypted;
    changed[bit / 8] ^= static_cast<uint8_t>(0x80 >> (bit % 8));
    const Opened o = Open(BuildSm2Pfx(id.cert_der, changed), "pw");
    EXPECT_EQ(o.result, KELU_ERR_KEY_FILE_PASSWORD) << "bit " << bit;
    if (o.result == KELU_OK) ++opened;
  }
  EXPECT_EQ(opened, 0);
}

// [d]G by OpenSSL's EC arithmetic on its own SM2 group, as 32-byte X and Y.
void OpensslPublicPoint(const Bytes &d, Bytes *x, Bytes *y) {
  EC_GROUP *group = EC_GROUP_new_by_curve_name(NID_sm2);
  EC_POINT *point = group != nullptr ? EC_POINT_new(group) : nullptr;
  BIGNUM *k = BN_bin2bn(d.data(), static_cast<int>(d.size()), nullptr);
  BIGNUM *bx = BN_new(), *by = BN_new();
  x->assign(32, 0);
  y->assign(32, 0);
  ASSERT_TRUE(point != nullptr && k != nullptr && bx != nullptr && by != nullptr &&
              EC_POINT_mul(group, point, k, nullptr, nullptr, nullptr) == 1 &&
              EC_POINT_get_affine_coordinates(group, point, bx, by, nullptr) == 1 &&
              BN_bn2binpad(bx, x->data(), 32) == 32 && BN_bn2binpad(by, y->data(), 32) == 32);
  BN_free(bx);
  BN_free(by);
  BN_free(k);
  EC_POINT_free(point);
  EC_GROUP_free(group);
}

TEST(SM2PrivateKeyMatchesPublicKey, TheRangeOneToNMinusTwoAgainstOpenssl) {
  const Bytes n_minus_2 =
      FromHex("FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFF7203DF6B21C6052B53BBF40939D54121");
  Bytes n_minus_1 = n_minus_2;
  n_minus_1.back() = 0x22;
  Bytes one(32, 0);
  one.back() = 1;
  const Sm2KeyValues leaf = SharedIdentity().key;
  Bytes gx, gy, x, y;
  OpensslPublicPoint(one, &gx, &gy);
  const struct {
    const char *name;
    Bytes d, point_of;  // the key and the scalar whose point it is compared with
    bool want;
  } kCases[] = {
      {"1 and G", one, one, true},
      {"n - 2", n_minus_2, n_minus_2, true},
      {"the shared leaf", leaf.d, leaf.d, true},
      // [n-1]G = -G is a point of the curve, but 1 + d is not invertible: no signature.
      {"n - 1 and -G", n_minus_1, n_minus_1, false},
      {"1 and [n-2]G", one, n_minus_2, false},
      {"n - 2 and G", n_minus_2, one, false},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.name);
    OpensslPublicPoint(c.point_of, &x, &y);
    EXPECT_EQ(SM2PrivateKeyMatchesPublicKey(c.d.data(), x.data(), y.data()), c.want);
  }
  EXPECT_TRUE(SM2PrivateKeyMatchesPublicKey(leaf.d.data(), leaf.x.data(), leaf.y.data()));
  // 0, and n + 1 (whose point would be G), are not keys.
  const Bytes n_plus_1 =
      FromHex("FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFF7203DF6B21C6052B53BBF40939D54124");
  EXPECT_FALSE(SM2PrivateKeyMatchesPublicKey(Bytes(32, 0).data(), gx.data(), gy.data()));
  EXPECT_FALSE(SM2PrivateKeyMatchesPublicKey(n_plus_1.data(), gx.data(), gy.data()));
}

// The check of one key, counted by callgrind in the test below (kept out of line so that its
// instructions can be told apart).
__attribute__((noinline)) bool OneKeyCheck(const Bytes &d, const Bytes &x, const Bytes &y) {
  return SM2PrivateKeyMatchesPublicKey(d.data(), x.data(), y.data());
}

// Run by the test below in a process of its own: one check of the key in KELU_KEY_CHECK_D (hex)
// against G, after a first check that builds the multiplication's tables.
TEST(SM2PrivateKeyMatchesPublicKey, DISABLED_OneCheckUnderCallgrind) {
  const char *hex = std::getenv("KELU_KEY_CHECK_D");
  ASSERT_NE(hex, nullptr);
  Bytes one(32, 0), gx, gy;
  one.back() = 1;
  OpensslPublicPoint(one, &gx, &gy);
  ASSERT_TRUE(SM2PrivateKeyMatchesPublicKey(one.data(), gx.data(), gy.data()));
  OneKeyCheck(FromHex(hex), gx, gy);
}

// The check runs the same instructions whatever d is: in range, 0, n - 1 (which signs
// nothing), n and above. Counted by callgrind, so the machine's load plays no part.
TEST(SM2PrivateKeyMatchesPublicKey, SameInstructionsForEveryKey) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "valgrind does not run sanitized programs";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(undefined_behavior_sanitizer)
  GTEST_SKIP() << "valgrind does not run sanitized programs";
#endif
#endif
  if (RunCommand("valgrind --version").exit_code != 0) GTEST_SKIP() << "no valgrind";
  TempDir dir;
  const std::string self = RunCommand("readlink -f /proc/" + std::to_string(getpid()) + "/exe",
                                      false)
                               .output;
  const std::string n = "FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFF7203DF6B21C6052B53BBF40939D54123";
  const struct {
    const char *name;
    std::string d;
  } kKeys[] = {
      {"a key", "3945208F7B2144B13F36E38AC6D39F95889393692860B51A42FB81EF4DF7C5B8"},
      {"1", std::string(63, '0') + "1"},
      {"0", std::string(64, '0')},
      {"n - 1", n.substr(0, 63) + "2"},
      {"n", n},
      {"2^256 - 1", std::string(64, 'F')},
  };
  long long first = -1;
  for (const auto &key : kKeys) {
    SCOPED_TRACE(key.name);
    const std::string out = dir.File("callgrind.out");
    const CommandResult run = RunCommand(
        "KELU_KEY_CHECK_D=" + key.d + " valgrind --tool=callgrind --callgrind-out-file=" +
        ShellQuote(out) + " '--toggle-collect=*OneKeyCheck*' " +
        ShellQuote(self.substr(0, self.find_last_not_of('\n') + 1)) +
        " --gtest_also_run_disabled_tests"
        " --gtest_filter=SM2PrivateKeyMatchesPublicKey.DISABLED_OneCheckUnderCallgrind");
    ASSERT_EQ(run.exit_code, 0) << run.output;
    const std::string counts = ReadTextFile(out);
    const size_t at = counts.find("\nsummary: ");
    ASSERT_NE(at, std::string::npos) << counts;
    const long long instructions = std::stoll(counts.substr(at + 10));
    EXPECT_GT(instructions, 100000) << "a whole multiplication";
    if (first < 0) first = instructions;
    EXPECT_EQ(instructions, first);
  }
}

TEST(DecryptSM2PFX, NoPasswordKeyOrDerivedKeyInTheLog) {
  const Identity &id = SharedIdentity();
  const std::string password = "Kelu-Log-Password-31337";
  Bytes der = BuildSm2PfxForKey(id.cert_der, id.key.d, password);
  LogCapture log;
  Opened ok = Open(der, password.c_str());
  ASSERT_EQ(ok.result, KELU_OK);
  CleanupSM2KeyPair(&ok.pair);
  EXPECT_NE(Open(der, "Kelu-Log-Password-31338").result, KELU_OK);
  Written w = Encapsulate(id.cert_der, id.key.d, password.c_str());
  EXPECT_EQ(w.result, KELU_OK);
  std::string text = log.Text();
  ASSERT_FALSE(text.empty());
  Bytes k = Sm2KeyFilePasswordKey(password);
  for (const std::string &secret :
       {std::string("Kelu-Log-Password"), ToHex(id.key.d).substr(0, 12),
        Lower(ToHex(id.key.d)).substr(0, 12), ToHex(k).substr(0, 12),
        Lower(ToHex(k)).substr(0, 12)}) {
    EXPECT_EQ(text.find(secret), std::string::npos) << secret;
  }
}

}  // namespace
}  // namespace kelu::test

// SM2Cipher and SM2Q1 against OpenSSL's DER SM2 cipher texts and signatures, both directions,
// and tables of malformed input.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdio>
#include <string>

#include "CMSEnvelopeOperations.h"
#include "KeluErrors.h"
#include "MessageTestSupport.h"
#include "OsslPtr.h"
#include "PKCS7SignedDataOperations.h"

namespace {

using kelu::test::Bytes;
using kelu::test::FromHex;
using kelu::test::RandomBytes;
using kelu::test::ReadBinaryFile;
using kelu::test::TempDir;
using kelu::test::ToHex;
using kelu::test::WriteBinaryFile;
using msgtest::MustRun;
using msgtest::Out;
using msgtest::Pki;
using msgtest::Q;

kelu::EvpPkeyPtr LoadSm2Key() {
  FILE *f = std::fopen(Pki::Get().sm2_key.c_str(), "r");
  EXPECT_NE(f, nullptr);
  kelu::EvpPkeyPtr key(PEM_read_PrivateKey(f, nullptr, nullptr, nullptr));
  std::fclose(f);
  EXPECT_TRUE(key);
  return key;
}

// OpenSSL's SM2 encryption: DER SEQUENCE { x, y, C3, C2 } with minimal INTEGERs.
Bytes OpenSslEncrypt(EVP_PKEY *key, const Bytes &plain) {
  kelu::EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(key, nullptr));
  size_t size = 0;
  EXPECT_EQ(EVP_PKEY_encrypt_init(ctx.get()), 1);
  EXPECT_EQ(EVP_PKEY_encrypt(ctx.get(), nullptr, &size, plain.data(), plain.size()), 1);
  Bytes out(size);
  EXPECT_EQ(EVP_PKEY_encrypt(ctx.get(), out.data(), &size, plain.data(), plain.size()), 1);
  out.resize(size);
  return out;
}

bool OpenSslDecrypts(EVP_PKEY *key, const Bytes &der, const Bytes &plain) {
  kelu::EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(key, nullptr));
  size_t size = 0;
  if (EVP_PKEY_decrypt_init(ctx.get()) != 1 ||
      EVP_PKEY_decrypt(ctx.get(), nullptr, &size, der.data(), der.size()) != 1) {
    return false;
  }
  Bytes out(size);
  if (EVP_PKEY_decrypt(ctx.get(), out.data(), &size, der.data(), der.size()) != 1) return false;
  out.resize(size);
  return out == plain;
}

struct Converted {
  int result = -7;
  Bytes bytes;
};

Converted Decode(const Bytes &der) {
  Out<unsigned char> out;
  Converted c;
  c.result = Decode_SM2Cipher(der.data(), static_cast<int>(der.size()), &out.data, &out.size);
  if (c.result == KELU_OK) c.bytes = out.bytes();
  else EXPECT_EQ(out.data, nullptr);
  return c;
}

Converted Encode(const Bytes &raw) {
  Out<unsigned char> out;
  Converted c;
  c.result = Encode_SM2Cipher(raw.data(), static_cast<int>(raw.size()), &out.data, &out.size);
  if (c.result == KELU_OK) c.bytes = out.bytes();
  else EXPECT_EQ(out.data, nullptr);
  return c;
}

// Both directions: OpenSSL's DER decodes to the raw form, whose encoding is OpenSSL's DER byte
// for byte and opens with OpenSSL. Cipher texts are drawn until x and y have each started
// with 00 (a 31-octet INTEGER) and with a top bit set (a sign octet).
TEST(SM2Cipher, BothDirectionsWithOpenSsl) {
  kelu::EvpPkeyPtr key = LoadSm2Key();
  Bytes plain = RandomBytes(16);
  bool x_zero = false, y_zero = false, x_high = false;
  for (int i = 0; i < 20000 && !(x_zero && y_zero && x_high); ++i) {
    Bytes der = OpenSslEncrypt(key.get(), plain);
    Converted raw = Decode(der);
    ASSERT_EQ(raw.result, KELU_OK) << ToHex(der);
    ASSERT_EQ(raw.bytes.size(), 112u);
    x_zero |= raw.bytes[0] == 0;
    y_zero |= raw.bytes[32] == 0;
    x_high |= raw.bytes[0] >= 0x80;
    Converted again = Encode(raw.bytes);
    ASSERT_EQ(again.result, KELU_OK);
    ASSERT_EQ(ToHex(again.bytes), ToHex(der)) << "the same minimal DER as OpenSSL";
    if (raw.bytes[0] == 0 || raw.bytes[32] == 0 || i < 3) {
      EXPECT_TRUE(OpenSslDecrypts(key.get(), again.bytes, plain));
    }
  }
  EXPECT_TRUE(x_zero && y_zero && x_high);
}

TEST(SM2Cipher, OpenSslCommandLineCipherText) {
  const Pki &pki = Pki::Get();
  TempDir dir;
  Bytes plain = RandomBytes(100);
  WriteBinaryFile(dir.File("m.bin"), plain);
  MustRun("openssl pkeyutl -encrypt -pubin -inkey " + Q(pki.sm2_pub) + " -in " +
          Q(dir.File("m.bin")) + " -out " + Q(dir.File("c.der")));
  Bytes der = ReadBinaryFile(dir.File("c.der"));
  Converted raw = Decode(der);
  ASSERT_EQ(raw.result, KELU_OK);
  Converted again = Encode(raw.bytes);
  ASSERT_EQ(again.result, KELU_OK);
  EXPECT_EQ(again.bytes, der);
  WriteBinaryFile(dir.File("ours.der"), again.bytes);
  EXPECT_EQ(asn1test::RunAsn1Parse(dir.File("ours.der")).exit_code, 0);
  MustRun("openssl pkeyutl -decrypt -inkey " + Q(pki.sm2_key) + " -in " + Q(dir.File("ours.der")) +
          " -out " + Q(dir.File("p.bin")));
  EXPECT_EQ(ReadBinaryFile(dir.File("p.bin")), plain);
}

Bytes Raw(uint8_t x0, uint8_t y0, size_t c2) {
  Bytes raw = RandomBytes(96 + c2);
  raw[0] = x0;
  raw[32] = y0;
  return raw;
}

TEST(SM2Cipher, EncodedSizes) {
  struct Case {
    uint8_t x0, y0;
    size_t c2;
    int result;
    size_t size;
  };
  const Case kCases[] = {
      {0x12, 0x34, 16, KELU_OK, 122},  // 30 78 02 20 x 02 20 y 04 20 C3 04 10 C2
      {0x80, 0x34, 16, KELU_OK, 123},  // 02 21 00 x
      {0x00, 0x34, 16, KELU_OK, 121},  // minimal: the 00 is dropped
      {0x12, 0x34, 1, KELU_OK, 107},   // the shortest accepted raw form
      {0x12, 0x34, 0, KELU_ERR_INVALID_PARAMETER, 0},
  };
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.size);
    Bytes raw = Raw(c.x0, c.y0, c.c2);
    raw[1] = 0x55;  // so that x never has two leading zero bytes
    Converted e = Encode(raw);
    ASSERT_EQ(e.result, c.result);
    if (c.result != KELU_OK) continue;
    EXPECT_EQ(e.bytes.size(), c.size);
    Converted d = Decode(e.bytes);
    ASSERT_EQ(d.result, KELU_OK);
    EXPECT_EQ(d.bytes, raw) << "encoding then decoding gives the raw form back";
  }
  Out<unsigned char> out;
  EXPECT_EQ(Encode_SM2Cipher(nullptr, 112, &out.data, &out.size), KELU_ERR_INVALID_PARAMETER);
}

// The INTEGER forms peers write all read the same: minimal, padded with zeros (as the
// toolkit's earlier writer did), and 32 octets without the sign octet.
TEST(SM2Cipher, DecodesEveryIntegerForm) {
  const std::string y = "02" "20" + std::string(64, '3');
  const std::string c3 = "04" "20" + std::string(64, 'C');
  const std::string c2 = "04" "02" "ABCD";
  struct Case {
    const char *what;
    std::string x;
    std::string want_x;
  };
  const Case kCases[] = {
      {"31 octets", "021F" + std::string(62, '1'), "00" + std::string(62, '1')},
      {"padded to 32", "0220" "00" + std::string(62, '1'), "00" + std::string(62, '1')},
      {"sign octet", "022100" + std::string(64, '9'), std::string(64, '9')},
      {"no sign octet", "0220" + std::string(64, '9'), std::string(64, '9')},
      {"one octet", "020105", std::string(62, '0') + "05"},
  };
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.what);
    std::string body = c.x + y + c3 + c2;
    char header[8];
    std::snprintf(header, sizeof header, "30%02X", static_cast<unsigned>(body.size() / 2));
    Converted d = Decode(FromHex(header + body));
    ASSERT_EQ(d.result, KELU_OK);
    EXPECT_EQ(ToHex(Bytes(d.bytes.begin(), d.bytes.begin() + 32)), c.want_x);
    EXPECT_EQ(ToHex(Bytes(d.bytes.begin() + 64, d.bytes.begin() + 66)), "ABCD");
    EXPECT_EQ(ToHex(Bytes(d.bytes.begin() + 66, d.bytes.end())), std::string(64, 'C'));
  }
}

TEST(SM2Cipher, MalformedInput) {
  const std::string x = "0220" + std::string(64, '1');
  const std::string y = "0220" + std::string(64, '3');
  const std::string c3 = "0420" + std::string(64, 'C');
  const std::string c2 = "0402ABCD";
  auto seq = [](const std::string &body) {
    char header[16];
    size_t n = body.size() / 2;
    if (n < 128) {
      std::snprintf(header, sizeof header, "30%02X", static_cast<unsigned>(n));
    } else {
      std::snprintf(header, sizeof header, "3081%02X", static_cast<unsigned>(n));
    }
    return std::string(header) + body;
  };
  struct Case {
    const char *what;
    std::string hex;
    int result;
  };
  const Case kCases[] = {
      {"empty C2 is accepted", seq(x + y + c3 + "0400"), KELU_OK},
      {"short: two bytes", "3000", KELU_ERR_PARSE},
      {"short: cut in C2", seq(x + y + c3 + c2).substr(0, 200), KELU_ERR_FAILED},
      {"three elements", seq(x + y + c3), KELU_ERR_PARSE},
      {"five elements", seq(x + y + c3 + c2 + c2), KELU_ERR_PARSE},
      {"x of 34 octets", seq("022200" "00" + std::string(64, '1') + y + c3 + c2), KELU_ERR_PARSE},
      {"x of 33 octets not led by 00", seq("022101" + std::string(64, '1') + y + c3 + c2),
       KELU_ERR_PARSE},
      {"y of 33 octets not led by 00", seq(x + "022101" + std::string(64, '3') + c3 + c2),
       KELU_ERR_PARSE},
      {"empty x", seq("0200" + y + c3 + c2), KELU_ERR_PARSE},
      {"C3 of 31", seq(x + y + "041F" + std::string(62, 'C') + c2), KELU_ERR_PARSE},
      {"C3 of 33", seq(x + y + "0421" + std::string(66, 'C') + c2), KELU_ERR_PARSE},
      {"x tagged OCTET STRING", seq("0420" + std::string(64, '1') + y + c3 + c2), KELU_ERR_PARSE},
      {"C3 tagged INTEGER", seq(x + y + "0220" + std::string(64, 'C') + c2), KELU_ERR_PARSE},
      {"C2 constructed", seq(x + y + c3 + "24040402ABCD"), KELU_ERR_PARSE},
      {"root a SET", "31" + seq(x + y + c3 + c2).substr(2), KELU_ERR_PARSE},
      {"trailing bytes", seq(x + y + c3 + c2) + "00", KELU_ERR_PARSE},
      {"not DER at all", "0102", KELU_ERR_FAILED},
  };
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Decode(FromHex(c.hex)).result, c.result);
  }
  Out<unsigned char> out;
  EXPECT_EQ(Decode_SM2Cipher(nullptr, 0, &out.data, &out.size), KELU_ERR_FAILED);
  Bytes ok = FromHex(seq(x + y + c3 + c2));
  EXPECT_EQ(Decode_SM2Cipher(ok.data(), -5, &out.data, &out.size), KELU_ERR_FAILED);
}

// ---------------------------------------------------------------------------------------------
// SM2Q1

Bytes OpenSslSign(EVP_PKEY *key, const Bytes &message) {
  kelu::EvpMdCtxPtr ctx(EVP_MD_CTX_new());
  EVP_PKEY_CTX *pctx = nullptr;
  EXPECT_EQ(EVP_DigestSignInit(ctx.get(), &pctx, EVP_sm3(), nullptr, key), 1);
  size_t size = 0;
  EXPECT_EQ(EVP_DigestSign(ctx.get(), nullptr, &size, message.data(), message.size()), 1);
  Bytes sig(size);
  EXPECT_EQ(EVP_DigestSign(ctx.get(), sig.data(), &size, message.data(), message.size()), 1);
  sig.resize(size);
  return sig;
}

bool OpenSslVerifies(EVP_PKEY *key, const Bytes &message, const Bytes &sig) {
  kelu::EvpMdCtxPtr ctx(EVP_MD_CTX_new());
  EVP_PKEY_CTX *pctx = nullptr;
  return EVP_DigestVerifyInit(ctx.get(), &pctx, EVP_sm3(), nullptr, key) == 1 &&
         EVP_DigestVerify(ctx.get(), sig.data(), sig.size(), message.data(), message.size()) == 1;
}

// Each value as 32 octets, a sign octet in front when the top bit is set.
Bytes PaddedQ1(const Bytes &rs) {
  std::string body;
  for (int half = 0; half < 2; ++half) {
    Bytes v(rs.begin() + 32 * half, rs.begin() + 32 * half + 32);
    body += v[0] >= 0x80 ? "022100" + ToHex(v) : "0220" + ToHex(v);
  }
  char header[8];
  std::snprintf(header, sizeof header, "30%02X", static_cast<unsigned>(body.size() / 2));
  return FromHex(header + body);
}

Converted DecodeQ1(const Bytes &der) {
  Out<unsigned char> out;
  Converted c;
  c.result = Decode_SM2Q1(der.data(), static_cast<int>(der.size()), &out.data, &out.size);
  if (c.result == KELU_OK) c.bytes = out.bytes();
  else EXPECT_EQ(out.data, nullptr);
  return c;
}

Converted EncodeQ1(const Bytes &rs) {
  Out<unsigned char> out;
  Converted c;
  c.result = Encode_SM2Q1(rs.data(), 32, rs.data() + 32, 32, &out.data, &out.size);
  if (c.result == KELU_OK) c.bytes = out.bytes();
  return c;
}

// OpenSSL's signatures decode to r || s whose encoding is OpenSSL's DER again, and OpenSSL
// verifies the toolkit's encoding, also when r or s starts with a zero byte (which a padded
// encoding would make OpenSSL refuse).
TEST(SM2Q1, BothDirectionsWithOpenSsl) {
  kelu::EvpPkeyPtr key = LoadSm2Key();
  Bytes message = RandomBytes(50);
  bool r_zero = false, s_zero = false;
  for (int i = 0; i < 20000 && !(r_zero && s_zero); ++i) {
    Bytes sig = OpenSslSign(key.get(), message);
    Converted rs = DecodeQ1(sig);
    ASSERT_EQ(rs.result, KELU_OK) << ToHex(sig);
    ASSERT_EQ(rs.bytes.size(), 64u);
    Converted again = EncodeQ1(rs.bytes);
    ASSERT_EQ(again.result, KELU_OK);
    ASSERT_EQ(ToHex(again.bytes), ToHex(sig));
    bool zero = rs.bytes[0] == 0 || rs.bytes[32] == 0;
    r_zero |= rs.bytes[0] == 0;
    s_zero |= rs.bytes[32] == 0;
    if (zero || i < 3) {
      EXPECT_TRUE(OpenSslVerifies(key.get(), message, again.bytes));
      if (zero) {
        // The padded form the earlier writer made reads the same; OpenSSL refuses it.
        Bytes padded = PaddedQ1(rs.bytes);
        Converted back = DecodeQ1(padded);
        ASSERT_EQ(back.result, KELU_OK);
        EXPECT_EQ(back.bytes, rs.bytes);
        // (A leading 00 before a byte with its top bit set is the minimal form itself.)
        if (padded != again.bytes) {
          EXPECT_FALSE(OpenSslVerifies(key.get(), message, padded));
        }
      }
    }
  }
  EXPECT_TRUE(r_zero && s_zero);
}

TEST(SM2Q1, EncodingsAndOpenSslAsn1) {
  TempDir dir;
  struct Case {
    std::string r, s, der;
  };
  const std::string r12 = "12" + std::string(62, 'A');
  const std::string s9a = "9A" + std::string(62, 'B');
  const std::string r00 = "0077" + std::string(60, 'C');
  const std::string r0000 = "000001" + std::string(58, 'D');
  const Case kCases[] = {
      {r12, s9a, "3045" "0220" + r12 + "022100" + s9a},
      {r00, r12, "3043" "021F" + r00.substr(2) + "0220" + r12},
      {r0000, r12, "3042" "021E" + r0000.substr(4) + "0220" + r12},
  };
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.der);
    Converted e = EncodeQ1(FromHex(c.r + c.s));
    ASSERT_EQ(e.result, KELU_OK);
    EXPECT_EQ(ToHex(e.bytes), c.der);
    // OpenSSL's own DER of the two INTEGERs.
    std::string conf = dir.File("q1.cnf");
    kelu::test::WriteTextFile(conf, "asn1=SEQUENCE:sig\n[sig]\nr=INTEGER:0x" + c.r +
                                        "\ns=INTEGER:0x" + c.s + "\n");
    MustRun("openssl asn1parse -genconf " + Q(conf) + " -noout -out " + Q(dir.File("q1.der")));
    EXPECT_EQ(ToHex(ReadBinaryFile(dir.File("q1.der"))), c.der);
    Converted d = DecodeQ1(e.bytes);
    ASSERT_EQ(d.result, KELU_OK);
    EXPECT_EQ(ToHex(d.bytes), c.r + c.s);
  }
}

TEST(SM2Q1, DecodeTable) {
  const std::string r = std::string(64, '1');
  const std::string s = std::string(64, '2');
  struct Case {
    const char *what;
    std::string hex;
    int result;
    std::string want;
  };
  const Case kCases[] = {
      {"70 bytes", "3044" "0220" + r + "0220" + s, KELU_OK, r + s},
      {"padded r", "3045" "022100" + r + "0220" + s, KELU_OK, r + s},
      {"short r", "3043" "021F" + r.substr(2) + "0220" + s, KELU_OK, "00" + r.substr(2) + s},
      {"r of 34 octets", "3046" "02220000" + r + "0220" + s, KELU_ERR_FAILED, ""},
      {"r of 33 not led by 00", "3045" "022101" + r + "0220" + s, KELU_ERR_FAILED, ""},
      {"73 bytes", "3047" "022300" "0000" + r.substr(2) + "022100" + s, KELU_ERR_FAILED, ""},
      {"three INTEGERs", "3009020101020101020101", KELU_ERR_FAILED, ""},
      {"OCTET STRING r", "3044" "0420" + r + "0220" + s, KELU_ERR_FAILED, ""},
      {"trailing byte", "3044" "0220" + r + "0220" + s + "00", KELU_ERR_FAILED, ""},
      {"cut", ("3044" "0220" + r + "0220" + s).substr(0, 120), KELU_ERR_FAILED, ""},
  };
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.what);
    Converted d = DecodeQ1(FromHex(c.hex));
    EXPECT_EQ(d.result, c.result);
    if (c.result == KELU_OK) {
      EXPECT_EQ(ToHex(d.bytes), c.want);
    }
  }
}

}  // namespace

// SM2 encryption, SM4-CBC with and without padding, SM4 keyed by a password, and the C1C3C2
// routines, cross-checked with OpenSSL's own SM2, SM3 and SM4 and with npm's sm-crypto-v2.
#include <gtest/gtest.h>
#include <openssl/asn1.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "../national/NationalTestUtil.h"
#include "DataEncryption.h"
#include "KeluErrors.h"
#include "LogCapture.h"
#include "OutputPair.h"
#include "OsslPtr.h"
#include "SM2.h"
#include "Sm2EnvelopePki.h"
#include "TestSupport.h"

namespace kelu::test {
namespace {

int Size(const Bytes &b) { return static_cast<int>(b.size()); }

// ---- OpenSSL's SM2 -------------------------------------------------------------------------

struct Sm2Key {
  EvpPkeyPtr pkey;
  Bytes d, x, y;
};

Sm2Key NewSm2Key() {
  Sm2Key k{EvpPkeyPtr(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2")), Bytes(32), Bytes(32),
           Bytes(32)};
  const char *names[] = {OSSL_PKEY_PARAM_PRIV_KEY, OSSL_PKEY_PARAM_EC_PUB_X,
                         OSSL_PKEY_PARAM_EC_PUB_Y};
  Bytes *values[] = {&k.d, &k.x, &k.y};
  for (int i = 0; i < 3; ++i) {
    BIGNUM *bn = nullptr;
    EXPECT_EQ(EVP_PKEY_get_bn_param(k.pkey.get(), names[i], &bn), 1);
    BN_bn2binpad(bn, values[i]->data(), 32);
    BN_clear_free(bn);
  }
  return k;
}

Bytes OpenSslSm2(EVP_PKEY *pkey, const Bytes &in, bool encrypt) {
  EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(pkey, nullptr));
  size_t len = in.size() + 200;
  Bytes out(len);
  int ok = encrypt ? EVP_PKEY_encrypt_init(ctx.get()) == 1 &&
                         EVP_PKEY_encrypt(ctx.get(), out.data(), &len, in.data(), in.size()) == 1
                   : EVP_PKEY_decrypt_init(ctx.get()) == 1 &&
                         EVP_PKEY_decrypt(ctx.get(), out.data(), &len, in.data(), in.size()) == 1;
  if (!ok) return {};
  out.resize(len);
  return out;
}

Out Sm2Encrypt(const Bytes &plain, const Bytes &x, const Bytes &y) {
  return Call([&](unsigned char **o, int *n) {
    return SM2_Encrypt(plain.data(), Size(plain), x.data(), Size(x), y.data(), Size(y), o, n);
  });
}

Out Sm2Decrypt(const Bytes &cipher, const Bytes &d) {
  return Call([&](unsigned char **o, int *n) {
    return SM2_Decrypt(cipher.data(), Size(cipher), d.data(), Size(d), o, n);
  });
}

TEST(SM2Encryption, RoundTripSizesAndFreshRandomness) {
  Sm2Key key = NewSm2Key();
  for (size_t size : {1u, 16u, 31u, 100u}) {
    SCOPED_TRACE(size);
    Bytes plain = RandomBytes(size);
    Out a = Sm2Encrypt(plain, key.x, key.y), b = Sm2Encrypt(plain, key.x, key.y);
    ASSERT_EQ(a.result, KELU_OK);
    ASSERT_EQ(b.result, KELU_OK);
    EXPECT_EQ(a.bytes.size(), size + 96);
    EXPECT_NE(a.bytes, b.bytes) << "a fresh k for every encryption";
    EXPECT_EQ(Sm2Decrypt(a.bytes, key.d).bytes, plain);
    EXPECT_EQ(Sm2Decrypt(b.bytes, key.d).bytes, plain);
  }
}

TEST(SM2Encryption, OpenSslDecryptsOursAndWeDecryptTheirs) {
  for (int round = 0; round < 4; ++round) {
    Sm2Key key = NewSm2Key();
    Bytes plain = RandomBytes(16 + 7 * round);
    Out ours = Sm2Encrypt(plain, key.x, key.y);
    ASSERT_EQ(ours.result, KELU_OK);
    EXPECT_EQ(OpenSslSm2(key.pkey.get(), OpenSslDerOfRaw(ours.bytes), false), plain);

    Bytes theirs = RawOfOpenSslDer(OpenSslSm2(key.pkey.get(), plain, true));
    ASSERT_EQ(theirs.size(), plain.size() + 96);
    Out back = Sm2Decrypt(theirs, key.d);
    ASSERT_EQ(back.result, KELU_OK);
    EXPECT_EQ(back.bytes, plain);
  }
}

const char kHexHelper[] = "const hex = (s) => Uint8Array.from(Buffer.from(s, 'hex'));\n";

// sm-crypto-v2 mode 0 is C1C2C3 (its text without the 0x04), mode 1 C1C3C2.
TEST(SM2Encryption, InteropWithSmCryptoV2InBothOrders) {
  if (!SmCryptoV2Available()) GTEST_SKIP() << "sm-crypto-v2 not installed in .peers (scripts/setup)";
  Sm2Key key = NewSm2Key();
  std::string pub = "04" + Lower(ToHex(key.x) + ToHex(key.y)), priv = Lower(ToHex(key.d));
  Bytes plain = RandomBytes(16);
  std::string plain_hex = Lower(ToHex(plain));
  const std::string encrypt = std::string(kHexHelper) +
                              "console.log(sm2.doEncrypt(hex(a[0]), a[1], Number(a[2])));";
  const std::string decrypt =
      std::string(kHexHelper) +
      "console.log(Buffer.from(sm2.doDecrypt(a[0], a[1], Number(a[2]), { output: 'array' }))"
      ".toString('hex'));";

  // Raw form.
  Bytes theirs = FromHex(RunSmCryptoV2(encrypt, {plain_hex, pub, "0"}));
  EXPECT_EQ(Sm2Decrypt(theirs, key.d).bytes, plain);
  Out ours = Sm2Encrypt(plain, key.x, key.y);
  ASSERT_EQ(ours.result, KELU_OK);
  EXPECT_EQ(RunSmCryptoV2(decrypt, {Lower(ToHex(ours.bytes)), priv, "0"}), plain_hex);

  // C1C3C2 form.
  BignumPtr x(BN_bin2bn(key.x.data(), 32, nullptr)), y(BN_bin2bn(key.y.data(), 32, nullptr));
  SecretBignumPtr d(BN_bin2bn(key.d.data(), 32, nullptr));
  Bytes v2(plain.size() + 97);
  ASSERT_EQ(_SM2_encrypt_v2(920, plain.data(), 16, x.get(), y.get(), v2.data()), 1);
  EXPECT_EQ(RunSmCryptoV2(decrypt, {Lower(ToHex(v2.data() + 1, v2.size() - 1)), priv, "1"}),
            plain_hex);
  Bytes theirs_v2 = FromHex("04" + RunSmCryptoV2(encrypt, {plain_hex, pub, "1"}));
  Bytes back(16);
  ASSERT_EQ(_SM2_decrypt_v2(920, theirs_v2.data(), static_cast<unsigned>(theirs_v2.size()),
                            d.get(), back.data()),
            1);
  EXPECT_EQ(back, plain);
}

TEST(SM2Encryption, FailuresWriteNothingAndNameTheStep) {
  Sm2Key key = NewSm2Key(), other = NewSm2Key();
  Bytes plain = RandomBytes(16);
  Out good = Sm2Encrypt(plain, key.x, key.y);
  ASSERT_EQ(good.result, KELU_OK);
  Bytes off_curve_y = key.y;
  off_curve_y[31] ^= 1;
  auto changed = [&](size_t at) {
    Bytes c = good.bytes;
    c[at] ^= 0x01;
    return c;
  };

  struct Case {
    const char *name;
    std::function<Out()> call;
    int want;
    const char *step;
  };
  const Case kCases[] = {
      {"point not on the curve", [&] { return Sm2Encrypt(plain, key.x, off_curve_y); },
       KELU_ERR_FAILED, "(SM2_Encrypt -- _SM2_point_is_on_curve)"},
      {"empty plaintext", [&] { return Sm2Encrypt({}, key.x, key.y); }, KELU_ERR_FAILED,
       "(SM2_Encrypt -- _SM2_encrypt)"},
      {"negative plaintext size",
       [&] {
         return Call([&](unsigned char **o, int *n) {
           return SM2_Encrypt(plain.data(), -1, key.x.data(), 32, key.y.data(), 32, o, n);
         });
       },
       KELU_ERR_INVALID_PARAMETER, "(SM2_Encrypt -- Check Parameters(pbyPlainData))"},
      {"null public X",
       [&] {
         return Call([&](unsigned char **o, int *n) {
           return SM2_Encrypt(plain.data(), 16, nullptr, 32, key.y.data(), 32, o, n);
         });
       },
       KELU_ERR_FAILED, "(SM2_Encrypt -- _SM2_Bytes2BN(PubKeyX))"},
      {"wrong private key", [&] { return Sm2Decrypt(good.bytes, other.d); }, KELU_ERR_FAILED,
       "(SM2_Decrypt -- _SM2_decrypt)"},
      {"C1 changed", [&] { return Sm2Decrypt(changed(5), key.d); }, KELU_ERR_FAILED,
       "(SM2_Decrypt -- _SM2_decrypt)"},
      {"C2 changed", [&] { return Sm2Decrypt(changed(64), key.d); }, KELU_ERR_FAILED,
       "(SM2_Decrypt -- _SM2_decrypt)"},
      {"C3 changed", [&] { return Sm2Decrypt(changed(good.bytes.size() - 1), key.d); },
       KELU_ERR_FAILED, "(SM2_Decrypt -- _SM2_decrypt)"},
      {"96 bytes: no C2", [&] { return Sm2Decrypt(Bytes(good.bytes.begin(), good.bytes.begin() + 96), key.d); },
       KELU_ERR_FAILED, "(SM2_Decrypt -- _SM2_decrypt)"},
      {"95 bytes: refused before anything is sized",
       [&] { return Sm2Decrypt(Bytes(good.bytes.begin(), good.bytes.begin() + 95), key.d); },
       KELU_ERR_INVALID_PARAMETER, "(SM2_Decrypt -- Check Parameters(pbyEncryptedData))"},
      {"negative cipher size",
       [&] {
         return Call([&](unsigned char **o, int *n) {
           return SM2_Decrypt(good.bytes.data(), -112, key.d.data(), 32, o, n);
         });
       },
       KELU_ERR_INVALID_PARAMETER, "(SM2_Decrypt -- Check Parameters(pbyEncryptedData))"},
      {"null cipher text",
       [&] {
         return Call([&](unsigned char **o, int *n) {
           return SM2_Decrypt(nullptr, 112, key.d.data(), 32, o, n);
         });
       },
       KELU_ERR_INVALID_PARAMETER, "(SM2_Decrypt -- Check Parameters(pbyEncryptedData))"},
  };
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    EXPECT_EQ(c.call().result, c.want);
    EXPECT_TRUE(log.Contains(std::string("[DataEncryption.cpp(")) && log.Contains(c.step))
        << log.Text();
    EXPECT_TRUE(log.Contains("--Failed:(")) << log.Text();
  }
  unsigned char *buffer = nullptr;
  EXPECT_EQ(SM2_Encrypt(plain.data(), 16, key.x.data(), 32, key.y.data(), 32, &buffer, nullptr),
            KELU_ERR_INVALID_PARAMETER);
  EXPECT_EQ(SM2_Decrypt(good.bytes.data(), Size(good.bytes), key.d.data(), 32, nullptr, nullptr),
            KELU_ERR_INVALID_PARAMETER);
  EXPECT_EQ(buffer, nullptr);
  ERR_clear_error();
}

// ---- SM4-CBC with padding ------------------------------------------------------------------

Out Sm4CbcEncrypt(const Bytes &plain, const Bytes &iv, const Bytes &key) {
  return Call([&](unsigned char **o, int *n) {
    return SM4_Encrypt_CBC(plain.data(), Size(plain), iv.data(), Size(iv), key.data(), Size(key),
                           o, n);
  });
}

Out Sm4CbcDecrypt(const Bytes &cipher, const Bytes &iv, const Bytes &key) {
  return Call([&](unsigned char **o, int *n) {
    return SM4_Decrypt_CBC(cipher.data(), Size(cipher), iv.data(), Size(iv), key.data(),
                           Size(key), o, n);
  });
}

TEST(SM4CBC, SizesAndOpenSslAgreeInBothDirections) {
  Bytes iv = RandomBytes(16), key = RandomBytes(16);
  for (size_t size : {1u, 15u, 16u, 17u, 31u, 32u, 1000u}) {
    SCOPED_TRACE(size);
    Bytes plain = RandomBytes(size);
    Out ours = Sm4CbcEncrypt(plain, iv, key);
    ASSERT_EQ(ours.result, KELU_OK);
    EXPECT_EQ(ours.bytes.size(), size / 16 * 16 + 16);
    CipherResult theirs = EvpCrypt(::EVP_sm4_cbc(), key, iv, plain, 1, true);
    ASSERT_TRUE(theirs.ok);
    EXPECT_EQ(ours.bytes, theirs.out);
    EXPECT_EQ(Sm4CbcDecrypt(theirs.out, iv, key).bytes, plain);
  }
}

// The last block decrypts to each of these; OpenSSL's padded decryption decides what is valid.
TEST(SM4CBC, PaddingCheckAgreesWithOpenSsl) {
  Bytes iv = RandomBytes(16), key = RandomBytes(16);
  struct Case {
    const char *name;
    std::function<void(Bytes &)> last_block;
    bool valid;
  };
  const Case kCases[] = {
      {"one byte", [](Bytes &b) { b[15] = 1; }, true},
      {"whole block", [](Bytes &b) { std::fill(b.begin(), b.end(), 16); }, true},
      {"seven", [](Bytes &b) { std::fill(b.begin() + 9, b.end(), 7); }, true},
      {"zero", [](Bytes &b) { b[15] = 0; }, false},
      {"seventeen", [](Bytes &b) { std::fill(b.begin(), b.end(), 17); }, false},
      {"0xFF", [](Bytes &b) { std::fill(b.begin(), b.end(), 0xFF); }, false},
      {"first padding byte wrong",
       [](Bytes &b) { std::fill(b.begin(), b.end(), 16), b[0] = 15; }, false},
      {"middle padding byte wrong",
       [](Bytes &b) { std::fill(b.begin() + 9, b.end(), 7), b[12] = 6; }, false},
      {"byte before the padding may be anything",
       [](Bytes &b) { std::fill(b.begin() + 9, b.end(), 7), b[8] = 7; }, true},
  };
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.name);
    Bytes plain = RandomBytes(32);
    Bytes last(plain.begin() + 16, plain.end());
    c.last_block(last);
    std::copy(last.begin(), last.end(), plain.begin() + 16);
    CipherResult raw = EvpCrypt(::EVP_sm4_cbc(), key, iv, plain, 1, false);
    ASSERT_TRUE(raw.ok);
    CipherResult theirs = EvpCrypt(::EVP_sm4_cbc(), key, iv, raw.out, 0, true);
    ASSERT_EQ(theirs.ok, c.valid);
    LogCapture log;
    Out ours = Sm4CbcDecrypt(raw.out, iv, key);
    EXPECT_EQ(ours.result == KELU_OK, c.valid);
    if (c.valid) {
      EXPECT_EQ(ours.bytes, theirs.out);
    } else {
      EXPECT_TRUE(log.Contains("(SM4_Decrypt_CBC -- EVP_DecryptFinal_ex)")) << log.Text();
    }
  }
  ERR_clear_error();
}

TEST(SM4CBC, ParameterAndCipherTextFailures) {
  Bytes iv = RandomBytes(16), key = RandomBytes(16), plain = RandomBytes(20);
  Out good = Sm4CbcEncrypt(plain, iv, key);
  ASSERT_EQ(good.result, KELU_OK);
  struct Case {
    const char *name;
    std::function<Out()> call;
    int want;
    const char *line;
  };
  const Case kCases[] = {
      {"encrypt: empty data", [&] { return Sm4CbcEncrypt({}, iv, key); },
       KELU_ERR_INVALID_PARAMETER,
       "(SM4_Encrypt_CBC -- Check Parameters(pbyPlainData))\t\t--Failed:(0x80070057) "
       "[Reason:NULL == pbyPlainData || 0 == nPlainDataSize]"},
      {"encrypt: negative size",
       [&] {
         return Call([&](unsigned char **o, int *n) {
           return SM4_Encrypt_CBC(plain.data(), -16, iv.data(), 16, key.data(), 16, o, n);
         });
       },
       KELU_ERR_INVALID_PARAMETER, "(SM4_Encrypt_CBC -- Check Parameters(nPlainDataSize))"},
      {"encrypt: short key", [&] { return Sm4CbcEncrypt(plain, iv, Bytes(8)); },
       KELU_ERR_INVALID_PARAMETER, "(SM4_Encrypt_CBC -- Check Parameters(nSymKeySize))"},
      {"encrypt: short IV", [&] { return Sm4CbcEncrypt(plain, Bytes(8), key); },
       KELU_ERR_INVALID_PARAMETER, "(SM4_Encrypt_CBC -- Check Parameters(IVSize))"},
      {"decrypt: IV size 8", [&] { return Sm4CbcDecrypt(good.bytes, Bytes(8), key); },
       KELU_ERR_INVALID_PARAMETER,
       "(SM4_Decrypt_CBC -- Check Parameters(IVSize))\t\t--Failed:(0x80070057) "
       "[Reason:16 != nIVSize]"},
      {"decrypt: key size 24", [&] { return Sm4CbcDecrypt(good.bytes, iv, Bytes(24)); },
       KELU_ERR_INVALID_PARAMETER,
       "(SM4_Decrypt_CBC -- Check Parameters(nSymKeySize))\t\t--Failed:(0x80070057) "
       "[Reason:16 != nSymKeySize]"},
      {"decrypt: null IV",
       [&] {
         return Call([&](unsigned char **o, int *n) {
           return SM4_Decrypt_CBC(good.bytes.data(), 32, nullptr, 16, key.data(), 16, o, n);
         });
       },
       KELU_ERR_INVALID_PARAMETER, "(SM4_Decrypt_CBC -- Check Parameters(pbyIV))"},
      {"decrypt: empty", [&] { return Sm4CbcDecrypt({}, iv, key); }, KELU_ERR_FAILED,
       "(SM4_Decrypt_CBC -- EVP_DecryptFinal_ex)"},
      {"decrypt: partial block",
       [&] { return Sm4CbcDecrypt(Bytes(good.bytes.begin(), good.bytes.begin() + 17), iv, key); },
       KELU_ERR_FAILED, "(SM4_Decrypt_CBC -- EVP_DecryptFinal_ex)"},
      {"decrypt: negative size",
       [&] {
         return Call([&](unsigned char **o, int *n) {
           return SM4_Decrypt_CBC(good.bytes.data(), -32, iv.data(), 16, key.data(), 16, o, n);
         });
       },
       KELU_ERR_INVALID_PARAMETER, "(SM4_Decrypt_CBC -- Check Parameters(pbyEncryptedData))"},
  };
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    EXPECT_EQ(c.call().result, c.want);
    EXPECT_TRUE(log.Contains(c.line)) << log.Text();
  }

  // A wrong key is seen only through the padding: fixed bytes whose wrong-key output is not
  // valid padding.
  Bytes fixed_key = FromHex("0123456789ABCDEFFEDCBA9876543210"), fixed_iv(16);
  Out fixed = Sm4CbcEncrypt(Bytes(16, 0x5A), fixed_iv, fixed_key);
  ASSERT_EQ(fixed.result, KELU_OK);
  Bytes other_key = fixed_key;
  other_key[15] ^= 1;
  ASSERT_FALSE(EvpCrypt(::EVP_sm4_cbc(), other_key, fixed_iv, fixed.bytes, 0, true).ok);
  EXPECT_EQ(Sm4CbcDecrypt(fixed.bytes, fixed_iv, other_key).result, KELU_ERR_FAILED);
  ERR_clear_error();
}

// ---- Unpadded SM4 ----------------------------------------------------------------------------

Out Nopadding(bool encrypt, const Bytes &in, const unsigned char *iv, int iv_size,
              const Bytes &key, SM4EncrytType mode) {
  return Call([&](unsigned char **o, int *n) {
    return encrypt ? SM4_Encrypt_Nopadding(in.data(), Size(in), iv, iv_size, key.data(),
                                           Size(key), mode, o, n)
                   : SM4_Decrypt_Nopadding(in.data(), Size(in), iv, iv_size, key.data(),
                                           Size(key), mode, o, n);
  });
}

TEST(SM4Nopadding, StandardVectorAndOpenSslInBothModes) {
  Bytes vector_key = FromHex("0123456789ABCDEFFEDCBA9876543210");
  Out one = Nopadding(true, vector_key, nullptr, 0, vector_key, SM4_ECB);
  ASSERT_EQ(one.result, KELU_OK);
  EXPECT_EQ(ToHex(one.bytes), "681EDF34D206965E86B3E94F536E4246");

  Bytes key = RandomBytes(16), iv = RandomBytes(16), iv_before = iv;
  for (size_t blocks : {1u, 2u, 7u}) {
    SCOPED_TRACE(blocks);
    Bytes plain = RandomBytes(16 * blocks);
    struct Mode {
      SM4EncrytType type;
      const EVP_CIPHER *openssl;
    };
    // Any value other than SM4_CBC selects ECB.
    for (Mode m : {Mode{SM4_CBC, ::EVP_sm4_cbc()}, Mode{SM4_ECB, ::EVP_sm4_ecb()},
                   Mode{static_cast<SM4EncrytType>(7), ::EVP_sm4_ecb()}}) {
      Bytes openssl_iv = m.type == SM4_CBC ? iv : Bytes{};
      Out ours = Nopadding(true, plain, iv.data(), 16, key, m.type);
      ASSERT_EQ(ours.result, KELU_OK);
      EXPECT_EQ(ours.bytes, EvpCrypt(m.openssl, key, openssl_iv, plain, 1, false).out);
      EXPECT_EQ(Nopadding(false, ours.bytes, iv.data(), 16, key, m.type).bytes, plain);
    }
  }
  EXPECT_EQ(iv, iv_before) << "the caller's IV is never written";
}

TEST(SM4Nopadding, EdgesOfSizesIVAndModes) {
  Bytes key = RandomBytes(16), iv = RandomBytes(16);
  Bytes block = RandomBytes(16), two_equal = block;
  two_equal.insert(two_equal.end(), block.begin(), block.end());

  Out ecb = Nopadding(true, two_equal, nullptr, 0, key, SM4_ECB);
  ASSERT_EQ(ecb.result, KELU_OK);
  EXPECT_TRUE(std::equal(ecb.bytes.begin(), ecb.bytes.begin() + 16, ecb.bytes.begin() + 16))
      << "ECB: equal blocks give equal blocks";

  Bytes zero_iv(16);
  EXPECT_EQ(Nopadding(true, two_equal, nullptr, 16, key, SM4_CBC).bytes,
            Nopadding(true, two_equal, zero_iv.data(), 16, key, SM4_CBC).bytes)
      << "CBC: a null IV is all zero";

  Out empty = Nopadding(true, {}, iv.data(), 16, key, SM4_CBC);
  EXPECT_EQ(empty.result, KELU_OK);
  EXPECT_TRUE(empty.bytes.empty());

  // Whatever is computed without an output is discarded; the result is still 0.
  EXPECT_EQ(SM4_Encrypt_Nopadding(block.data(), 16, iv.data(), 16, key.data(), 16, SM4_CBC,
                                  nullptr, nullptr),
            KELU_OK);

  struct Case {
    const char *name;
    std::function<Out()> call;
    const char *line;
  };
  Bytes b24 = RandomBytes(24);
  const Case kCases[] = {
      {"encrypt 24 bytes", [&] { return Nopadding(true, b24, iv.data(), 16, key, SM4_ECB); },
       "(SM4_Encrypt_Nopadding -- Check Parameters(nPlainDataSize))\t\t--Failed:(0x80070057) "
       "[Reason:0 != nPlainDataSize % 16]"},
      {"decrypt 24 bytes", [&] { return Nopadding(false, b24, iv.data(), 16, key, SM4_ECB); },
       "(SM4_Decrypt_Nopadding -- Check Parameters(nEncryptedDataSize))\t\t--Failed:(0x80070057) "
       "[Reason:0 != nEncryptedDataSize %16]"},
      {"CBC without IV size", [&] { return Nopadding(true, block, iv.data(), 0, key, SM4_CBC); },
       "[Reason:(16 != nIVSize && SM4_CBC == nSymType)]"},
      {"short key", [&] { return Nopadding(true, block, nullptr, 0, Bytes(15), SM4_ECB); },
       "[Reason:16 != nSymKeySize]"},
      {"negative whole-block size",
       [&] {
         return Call([&](unsigned char **o, int *n) {
           return SM4_Encrypt_Nopadding(block.data(), -16, nullptr, 0, key.data(), 16, SM4_ECB,
                                        o, n);
         });
       },
       "(SM4_Encrypt_Nopadding -- Check Parameters(pbyPlainData))"},
      {"null data",
       [&] {
         return Call([&](unsigned char **o, int *n) {
           return SM4_Decrypt_Nopadding(nullptr, 16, nullptr, 0, key.data(), 16, SM4_ECB, o, n);
         });
       },
       "(SM4_Decrypt_Nopadding -- Check Parameters(pbyEncryptedData))"},
      {"null key",
       [&] {
         return Call([&](unsigned char **o, int *n) {
           return SM4_Encrypt_Nopadding(block.data(), 16, nullptr, 0, nullptr, 16, SM4_ECB, o, n);
         });
       },
       "(SM4_Encrypt_Nopadding -- Check Parameters(pbySymKey))"},
  };
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    EXPECT_EQ(c.call().result, KELU_ERR_INVALID_PARAMETER);
    EXPECT_TRUE(log.Contains(c.line)) << log.Text();
  }
}

TEST(SM4Nopadding, OneStepLinePerBlock) {
  Bytes key = RandomBytes(16), data = RandomBytes(5 * 16);
  LogCapture log;
  ASSERT_EQ(Nopadding(true, data, nullptr, 0, key, SM4_ECB).result, KELU_OK);
  ASSERT_EQ(Nopadding(false, data, data.data(), 16, key, SM4_CBC).result, KELU_OK);
  size_t ecb = 0, cbc = 0;
  for (const std::string &line : log.Take()) {
    ecb += line.find("(SM4_Encrypt_Nopadding -- SM4_ecb_encrypt)\t\t--OK") != std::string::npos;
    cbc += line.find("(SM4_Decrypt_Nopadding -- SM4_cbc_encrypt)\t\t--OK") != std::string::npos;
  }
  EXPECT_EQ(ecb, 5u);
  EXPECT_EQ(cbc, 5u);
}

TEST(SM4Blocks, InitKeyAndOneBlockBothWays) {
  Bytes key = FromHex("0123456789ABCDEFFEDCBA9876543210");
  uint32_t *enc = nullptr, *dec = nullptr;
  ASSERT_EQ(SM4_Init_Key(key.data(), 16, 1, &enc), KELU_OK);
  ASSERT_EQ(SM4_Init_Key(key.data(), 16, 0, &dec), KELU_OK);
  std::unique_ptr<uint32_t[]> own_enc(enc), own_dec(dec);
  for (int i = 0; i < 32; ++i) EXPECT_EQ(enc[i], dec[31 - i]);
  Bytes out(16), back(16);
  EXPECT_EQ(SM4_ecb_encrypt(key.data(), enc, out.data()), 1);
  EXPECT_EQ(ToHex(out), "681EDF34D206965E86B3E94F536E4246");
  EXPECT_EQ(SM4_ecb_encrypt(out.data(), dec, back.data()), 1);
  EXPECT_EQ(back, key);
  EXPECT_EQ(SM4_Init_Key(key.data(), 16, 1, nullptr), KELU_OK);
  EXPECT_EQ(SM4_Init_Key(nullptr, 16, 1, &enc), KELU_ERR_INVALID_PARAMETER);
  EXPECT_EQ(SM4_ecb_encrypt(nullptr, dec, back.data()), 0);
}

// ---- SM4 keyed by a password ---------------------------------------------------------------

Out EncryptByPin(const Bytes &data, const char *pin) {
  return Call([&](unsigned char **o, int *n) {
    return SM4EncryptByPin(data.data(), Size(data), pin, o, n);
  });
}

Out DecryptByPin(const Bytes &data, const char *pin) {
  return Call([&](unsigned char **o, int *n) {
    return SM4DecryptByPin(data.data(), Size(data), pin, o, n);
  });
}

// K = SM3(password || 00 00 00 01) by openssl dgst; the data by openssl enc under its halves.
TEST(SM4ByPin, KeyAndCipherTextMatchOpenSslCommandLine) {
  TempDir dir;
  for (const char *pin : {"", "123456", "pass word with blanks \xE5\xAF\x86"}) {
    SCOPED_TRACE(pin);
    Bytes data = RandomBytes(32);
    Out ours = EncryptByPin(data, pin);
    ASSERT_EQ(ours.result, KELU_OK);
    EXPECT_EQ(ours.bytes.size(), 48u);
    EXPECT_EQ(EncryptByPin(data, pin).bytes, ours.bytes) << "no salt: the same bytes every time";

    Bytes kdf_input(pin, pin + std::strlen(pin));
    kdf_input.insert(kdf_input.end(), {0, 0, 0, 1});
    WriteBinaryFile(dir.File("kdf"), kdf_input);
    CommandResult k = RunCommand("openssl dgst -sm3 -r " + ShellQuote(dir.File("kdf")), false);
    ASSERT_EQ(k.exit_code, 0) << k.output;
    std::string k_hex = k.output.substr(0, 64);
    WriteBinaryFile(dir.File("data"), data);
    CommandResult enc = RunCommand("openssl enc -sm4-cbc -K " + k_hex.substr(32) + " -iv " +
                                       k_hex.substr(0, 32) + " -in " +
                                       ShellQuote(dir.File("data")) + " -out " +
                                       ShellQuote(dir.File("enc")));
    ASSERT_EQ(enc.exit_code, 0) << enc.output;
    EXPECT_EQ(ours.bytes, ReadBinaryFile(dir.File("enc")));

    Out back = DecryptByPin(ours.bytes, pin);
    ASSERT_EQ(back.result, KELU_OK);
    EXPECT_EQ(back.bytes, data);
  }
}

TEST(SM4ByPin, WrongOrMissingPasswordAndNothingSecretLogged) {
  const char kPin[] = "Secret-Pin-4711";
  Bytes data(32, 0x42);
  Out sealed = EncryptByPin(data, kPin);
  ASSERT_EQ(sealed.result, KELU_OK);
  LogCapture log;
  // Two wrong passwords: the whole last block must be padding, so these fail.
  EXPECT_EQ(DecryptByPin(sealed.bytes, "Secret-Pin-4712").result, KELU_ERR_FAILED);
  EXPECT_TRUE(log.Contains("(SM4DecryptByPin -- SM4_Decrypt_CBC)")) << log.Text();
  EXPECT_EQ(DecryptByPin(sealed.bytes, "").result, KELU_ERR_FAILED);
  EXPECT_EQ(DecryptByPin(sealed.bytes, nullptr).result, KELU_ERR_INVALID_PARAMETER);
  EXPECT_EQ(EncryptByPin(data, nullptr).result, KELU_ERR_INVALID_PARAMETER);
  EXPECT_TRUE(log.Contains("(SM4EncryptByPin -- Check Parameters(pszPin))")) << log.Text();
  EXPECT_EQ(EncryptByPin({}, kPin).result, KELU_ERR_INVALID_PARAMETER) << "code passed on";
  ASSERT_EQ(DecryptByPin(sealed.bytes, kPin).result, KELU_OK);

  Bytes kdf_input(kPin, kPin + sizeof kPin - 1);
  kdf_input.insert(kdf_input.end(), {0, 0, 0, 1});
  Bytes k = EvpDigest(::EVP_sm3(), kdf_input);
  std::string text = log.Text();
  EXPECT_EQ(text.find("Secret-Pin"), std::string::npos);
  EXPECT_EQ(text.find(ToHex(k).substr(0, 16)), std::string::npos);
  EXPECT_EQ(text.find(Lower(ToHex(k)).substr(0, 16)), std::string::npos);
  ERR_clear_error();
}

// ---- C1C3C2 ----------------------------------------------------------------------------------

TEST(SM2C1C3C2, LayoutRoundTripAndTamperingOnBothCurves) {
  for (int curve : {920, 921}) {
    SCOPED_TRACE(curve);
    BignumPtr x(BN_new()), y(BN_new());
    SecretBignumPtr d(BN_new());
    ASSERT_EQ(_SM2_generate_key(d.get(), x.get(), y.get(), curve), 1);
    Bytes plain = RandomBytes(40), c(plain.size() + 97);
    ASSERT_EQ(_SM2_encrypt_v2(curve, plain.data(), 40, x.get(), y.get(), c.data()), 1);
    Bytes back(40, 0xEE);
    ASSERT_EQ(_SM2_decrypt_v2(curve, c.data(), static_cast<unsigned>(c.size()), d.get(),
                              back.data()),
              1);
    EXPECT_EQ(back, plain);

    // C3 at byte 65, C2 at 97: reordered, the system's C1C2C3 decryption takes it.
    Bytes c1c2c3(c.begin(), c.begin() + 65);
    c1c2c3.insert(c1c2c3.end(), c.begin() + 97, c.end());
    c1c2c3.insert(c1c2c3.end(), c.begin() + 65, c.begin() + 97);
    Bytes via(40);
    EXPECT_EQ(_SM2_decrypt(curve, c1c2c3.data(), static_cast<int>(c1c2c3.size()), d.get(),
                           via.data()),
              1);
    EXPECT_EQ(via, plain);

    Bytes tampered = c, untouched(40, 0xEE);
    tampered[70] ^= 1;
    Bytes out = untouched;
    EXPECT_EQ(_SM2_decrypt_v2(curve, tampered.data(), static_cast<unsigned>(tampered.size()),
                              d.get(), out.data()),
              0);
    EXPECT_EQ(out, untouched) << "nothing is written when C3 does not match";
    EXPECT_EQ(_SM2_decrypt_v2(curve, c.data(), 97, d.get(), out.data()), 0);
    EXPECT_EQ(_SM2_encrypt_v2(curve, plain.data(), 0, x.get(), y.get(), c.data()), 0);
  }
}

}  // namespace
}  // namespace kelu::test

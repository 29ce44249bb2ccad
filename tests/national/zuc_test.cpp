#include "ZUC.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <set>

#include "NationalEvp.h"
#include "NationalTestUtil.h"

namespace kelu::test {
namespace {

std::vector<uint32_t> KeyStream(const Bytes &key, const Bytes &iv, size_t count) {
  uint32_t s[16], r1, r2, x0, x1, x2, x3;
  _ZUC_Initialize(key.data(), iv.data(), s, &r1, &r2, &x0, &x1, &x2, &x3);
  std::vector<uint32_t> out(count);
  _ZUC_GenerateKeyStream(s, &r1, &r2, &x0, &x1, &x2, &x3, out.data(), count);
  return out;
}

Bytes KeyStreamBytes(const Bytes &key, const Bytes &iv, size_t len) {
  std::vector<uint32_t> words = KeyStream(key, iv, (len + 3) / 4);
  Bytes out;
  for (uint32_t w : words)
    for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<uint8_t>(w >> s));
  out.resize(len);
  return out;
}

struct TestSet {
  const char *name;
  const char *key;
  const char *iv;
  uint32_t z1, z2;
};

// The published ZUC test sets 1 to 3 (128-bit key).
const TestSet kTestSets[] = {
    {"set 1", "00000000000000000000000000000000", "00000000000000000000000000000000",
     0x27BEDE74, 0x018082DA},
    {"set 2", "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF",
     0x0657CFA0, 0x7096398B},
    {"set 3", "3D4C4BE96A82FDAEB58F641DB17B455B", "84319AA8DE6915CA1F6BDA6BFBD8C766",
     0x14F1C272, 0x3279C419},
};

TEST(Zuc, SboxesArePermutations) {
  EXPECT_EQ(std::set<uint8_t>(g_sbox0_ZUC, g_sbox0_ZUC + 256).size(), 256u);
  EXPECT_EQ(std::set<uint8_t>(g_sbox1_ZUC, g_sbox1_ZUC + 256).size(), 256u);
}

TEST(Zuc, SpecificationTestSets) {
  for (const TestSet &t : kTestSets) {
    SCOPED_TRACE(t.name);
    std::vector<uint32_t> z = KeyStream(FromHex(t.key), FromHex(t.iv), 2);
    EXPECT_EQ(z[0], t.z1);
    EXPECT_EQ(z[1], t.z2);
  }
}

// The confidentiality algorithm's first test set: the IV made from COUNT, BEARER and DIRECTION.
TEST(Zuc, ConfidentialityTestSetThroughTheEvpCipher) {
  unsigned char iv[16];
  ASSERT_EQ(_ZUC_ExtendtoIV(0x66035492, 0x0F, 0, iv), 1);
  Bytes plain = FromHex("6CF65340735552AB0C9752FA6F9025FE0BD675D9005875B2");
  Bytes want = FromHex("A6C85FC66AFB8533AAFC2518DFE784940EE1E4B030238CC8");
  CipherResult out = EvpCrypt(kelu::EVP_zuc(), FromHex("173D14BA5003731D7A60049470F00A29"),
                              Bytes(iv, iv + 16), plain, 1, false);
  ASSERT_TRUE(out.ok);
  EXPECT_EQ(ToHex(out.out), ToHex(want));
}

TEST(Zuc, ExtendToIvLayout) {
  unsigned char iv[16];
  ASSERT_EQ(_ZUC_ExtendtoIV(1, 5, 1, iv), 1);
  EXPECT_EQ(ToHex(iv, 16), "000000012C000000000000012C000000");
  EXPECT_EQ(_ZUC_ExtendtoIV(1, 5, 1, nullptr), 0);
}

// A stream cipher must not depend on how the data is split: unused keystream bytes are kept.
TEST(Zuc, OutputDoesNotDependOnTheSplit) {
  Bytes key = RandomBytes(16), iv = RandomBytes(16), data = RandomBytes(1000);
  Bytes want = data;
  Bytes ks = KeyStreamBytes(key, iv, data.size());
  for (size_t i = 0; i < want.size(); ++i) want[i] ^= ks[i];

  const std::vector<std::vector<size_t>> splits = {
      {1000}, {3, 5, 992}, {4, 4, 992}, {1, 1, 1, 1, 1, 995}, {0, 7, 0, 993}};
  for (const auto &split : splits) {
    CipherResult r = EvpCrypt(kelu::EVP_zuc(), key, iv, data, 1, false, split);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.out, want);
  }
  for (unsigned seed = 0; seed < 20; ++seed) {
    CipherResult r = EvpCrypt(kelu::EVP_zuc(), key, iv, data, 1, false,
                              RandomPieces(data.size(), seed, 11));
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.out, want);
    CipherResult back = EvpCrypt(kelu::EVP_zuc(), key, iv, r.out, 0, false,
                                 RandomPieces(data.size(), seed + 100, 11));
    ASSERT_TRUE(back.ok);
    EXPECT_EQ(back.out, data);
  }
}

TEST(Zuc, EmptyCallConsumesNoKeystream) {
  Bytes key = RandomBytes(16), iv = RandomBytes(16);
  ZUC_STATE state;
  ASSERT_EQ(ZUC_StateInit(&state, key.data(), 16, iv.data(), 16), 1);
  unsigned char out[8] = {}, zeros[8] = {};
  ZUC_StateCrypt(&state, zeros, out, 0);
  ZUC_StateCrypt(&state, zeros, out, 8);
  EXPECT_EQ(ToHex(out, 8), ToHex(KeyStreamBytes(key, iv, 8)));
}

TEST(Zuc, KeyLengthOtherThan16IsRefused) {
  Bytes key = RandomBytes(32), iv = RandomBytes(16);
  ZUC_STATE state;
  EXPECT_EQ(ZUC_StateInit(&state, key.data(), 32, iv.data(), 16), 0);
  EXPECT_EQ(ZUC_StateInit(&state, key.data(), 15, iv.data(), 16), 0);
  EXPECT_EQ(ZUC_StateInit(&state, key.data(), 16, nullptr, 16), 0);

  EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
  ASSERT_EQ(EVP_EncryptInit_ex(ctx, kelu::EVP_zuc(), nullptr, nullptr, nullptr), 1);
  ASSERT_EQ(EVP_CIPHER_CTX_set_key_length(ctx, 32), 1);
  EXPECT_EQ(EVP_EncryptInit_ex(ctx, nullptr, nullptr, key.data(), iv.data()), 0);
  EVP_CIPHER_CTX_free(ctx);
}

TEST(Zuc, EvpCipherRecord) {
  const EVP_CIPHER *cipher = kelu::EVP_zuc();
  ASSERT_NE(cipher, nullptr);
  EXPECT_EQ(EVP_CIPHER_get_block_size(cipher), 1);
  EXPECT_EQ(EVP_CIPHER_get_key_length(cipher), 16);
  EXPECT_EQ(EVP_CIPHER_get_iv_length(cipher), 16);
  EXPECT_EQ(EVP_CIPHER_get_mode(cipher), EVP_CIPH_STREAM_CIPHER);
}

}  // namespace
}  // namespace kelu::test

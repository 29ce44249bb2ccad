#include "SM4.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>
#include <set>

#include "NationalEvp.h"
#include "NationalTestUtil.h"

namespace kelu::test {
namespace {

// GB/T 32907, appendix A: the key is also the plaintext.
const char kKeyHex[] = "0123456789ABCDEFFEDCBA9876543210";
const char kCipherHex[] = "681EDF34D206965E86B3E94F536E4246";
const char kMillionHex[] = "595298C7C6FD271F0402F804C33D3F66";

void Words(const Bytes &bytes, uint32_t out[4]) {
  for (int i = 0; i < 4; ++i)
    out[i] = uint32_t{bytes[4 * i]} << 24 | uint32_t{bytes[4 * i + 1]} << 16 |
             uint32_t{bytes[4 * i + 2]} << 8 | bytes[4 * i + 3];
}

std::string WordsHex(const uint32_t w[4]) {
  Bytes b;
  for (int i = 0; i < 4; ++i)
    for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<uint8_t>(w[i] >> s));
  return ToHex(b);
}

Bytes EcbCrypt(const Bytes &key, const Bytes &in, int enc) {
  uint32_t rk[32];
  SM4_SetKey(key.data(), enc, rk);
  Bytes out(in.size());
  SM4_CryptBlocks(in.data(), out.data(), in.size() / 16, rk);
  return out;
}

Bytes CbcCrypt(const Bytes &key, Bytes iv, const Bytes &in, int enc) {
  uint32_t rk[32];
  SM4_SetKey(key.data(), enc, rk);
  Bytes out(in.size());
  EXPECT_EQ(SM4_CbcCrypt(in.data(), out.data(), in.size(), rk, iv.data(), enc), 1);
  return out;
}

TEST(Sm4, SboxIsAPermutation) {
  std::set<uint8_t> values(G_SBOX, G_SBOX + 256);
  EXPECT_EQ(values.size(), 256u);
}

TEST(Sm4, StandardExampleWordByWord) {
  uint32_t key[4], rk[32], out[4], back[4];
  Words(FromHex(kKeyHex), key);
  ASSERT_EQ(_SM4_ExtendKey(key, rk), 1);
  EXPECT_EQ(rk[0], 0xF12186F9u);
  EXPECT_EQ(rk[31], 0x9124A012u);
  ASSERT_EQ(_SM4_CipherPlaintextTransform(key, rk, out), 1);
  EXPECT_EQ(WordsHex(out), kCipherHex);
  ASSERT_EQ(_SM4_InvertRoundKey(rk), 1);
  ASSERT_EQ(_SM4_CipherPlaintextTransform(out, rk, back), 1);
  EXPECT_EQ(WordsHex(back), kKeyHex);
}

TEST(Sm4, InvertingTheScheduleTwiceRestoresIt) {
  uint32_t key[4], rk[32], copy[32];
  Words(RandomBytes(16), key);
  _SM4_ExtendKey(key, rk);
  std::memcpy(copy, rk, sizeof rk);
  _SM4_InvertRoundKey(rk);
  EXPECT_NE(std::memcmp(copy, rk, sizeof rk), 0);
  _SM4_InvertRoundKey(rk);
  EXPECT_EQ(std::memcmp(copy, rk, sizeof rk), 0);
}

TEST(Sm4, MillionEncryptionsMatchTheStandardAndOpenSsl) {
  Bytes key = FromHex(kKeyHex);
  uint32_t rk[32];
  SM4_SetKey(key.data(), 1, rk);
  Bytes block = key;
  for (int i = 0; i < 1000000; ++i) SM4_CryptBlock(block.data(), block.data(), rk);
  EXPECT_EQ(ToHex(block), kMillionHex);

  EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
  ASSERT_EQ(EVP_EncryptInit_ex(ctx, ::EVP_sm4_ecb(), nullptr, key.data(), nullptr), 1);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  Bytes theirs = key;
  int n = 0;
  for (int i = 0; i < 1000000; ++i) EVP_EncryptUpdate(ctx, theirs.data(), &n, theirs.data(), 16);
  EVP_CIPHER_CTX_free(ctx);
  EXPECT_EQ(ToHex(theirs), kMillionHex);
}

TEST(Sm4, WordLevelTransformsAgreeWithTheRounds) {
  // One round of the block transform is F; the key schedule uses T'.
  uint32_t x[4] = {0x01234567, 0x89ABCDEF, 0xFEDCBA98, 0x76543210}, f = 0, t = 0, l = 0, s = 0;
  uint32_t rk[32];
  _SM4_ExtendKey(x, rk);
  ASSERT_EQ(_SM4_FTransform(x, rk[0], &f), 1);
  ASSERT_EQ(_SM4_NLTransform(x[1] ^ x[2] ^ x[3] ^ rk[0], &s), 1);
  ASSERT_EQ(_SM4_LTransform(s, &l), 1);
  ASSERT_EQ(_SM4_TTransform(x[1] ^ x[2] ^ x[3] ^ rk[0], &t), 1);
  EXPECT_EQ(t, l);
  EXPECT_EQ(f, x[0] ^ t);
  EXPECT_EQ(f, 0x27FAD345u);  // X4 of the standard's example
  uint32_t ld = 0, td = 0;
  _SM4_LDashTransform(0x80000000u, &ld);
  EXPECT_EQ(ld, 0x80000000u ^ (1u << 12) ^ (1u << 22));
  _SM4_TDashTransform(0, &td);
  _SM4_NLTransform(0, &s);
  _SM4_LDashTransform(s, &ld);
  EXPECT_EQ(td, ld);
}

TEST(Sm4, CbcStepKeepsTheChainInTheIvBuffer) {
  Bytes key = RandomBytes(16), data = RandomBytes(32);
  uint32_t enc[32], dec[32];
  SM4_SetKey(key.data(), 1, enc);
  SM4_SetKey(key.data(), 0, dec);

  unsigned char iv[16] = {}, block[16], plain[16];
  ASSERT_EQ(SM4_cbc_encrypt(data.data(), enc, iv, block, 1), 1);
  SM4_CryptBlock(data.data(), plain, enc);  // with a zero IV, CBC is the block transform
  EXPECT_EQ(ToHex(block, 16), ToHex(plain, 16));
  EXPECT_EQ(ToHex(iv, 16), ToHex(block, 16));

  unsigned char div[16] = {};
  ASSERT_EQ(SM4_cbc_encrypt(block, dec, div, plain, 0), 1);
  EXPECT_EQ(ToHex(plain, 16), ToHex(data.data(), 16));
  EXPECT_EQ(ToHex(div, 16), ToHex(block, 16));

  // Two steps with one IV buffer are one CBC pass; in place as well.
  unsigned char chain[16] = {1, 2, 3};
  Bytes start(chain, chain + 16);
  Bytes steps = data;
  SM4_cbc_encrypt(steps.data(), enc, chain, steps.data(), 1);
  SM4_cbc_encrypt(steps.data() + 16, enc, chain, steps.data() + 16, 1);
  EXPECT_EQ(steps, CbcCrypt(key, start, data, 1));
  EXPECT_EQ(ToHex(chain, 16), ToHex(steps.data() + 16, 16));
}

TEST(Sm4, CbcRefusesAPartialBlockAndWritesNothing) {
  Bytes key = RandomBytes(16);
  uint32_t rk[32];
  SM4_SetKey(key.data(), 1, rk);
  Bytes in = RandomBytes(20), out(20, 0xAA), iv(16, 0x11);
  Bytes iv_before = iv;
  EXPECT_EQ(SM4_CbcCrypt(in.data(), out.data(), 20, rk, iv.data(), 1), 0);
  EXPECT_EQ(out, Bytes(20, 0xAA));
  EXPECT_EQ(iv, iv_before);

  EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
  ASSERT_EQ(EVP_EncryptInit_ex(ctx, kelu::EVP_sm4_cbc(), nullptr, key.data(), iv.data()), 1);
  EXPECT_EQ(sm4_cipher_cbc(ctx, out.data(), in.data(), 20), 0);
  EXPECT_EQ(out, Bytes(20, 0xAA));
  EXPECT_EQ(sm4_cipher_cbc(ctx, out.data(), in.data(), 16), 1);
  EVP_CIPHER_CTX_free(ctx);
}

// Raw ECB and CBC over whole blocks, against OpenSSL's SM4-ECB and SM4-CBC without padding.
TEST(Sm4, RawModesMatchOpenSsl) {
  for (size_t blocks = 0; blocks <= 19; ++blocks) {
    SCOPED_TRACE(blocks);
    Bytes key = RandomBytes(16), iv = RandomBytes(16), data = RandomBytes(16 * blocks);
    CipherResult ecb = EvpCrypt(::EVP_sm4_ecb(), key, {}, data, 1, false);
    CipherResult cbc = EvpCrypt(::EVP_sm4_cbc(), key, iv, data, 1, false);
    ASSERT_TRUE(ecb.ok && cbc.ok);
    EXPECT_EQ(EcbCrypt(key, data, 1), ecb.out);
    EXPECT_EQ(EcbCrypt(key, ecb.out, 0), data);
    EXPECT_EQ(CbcCrypt(key, iv, data, 1), cbc.out);
    EXPECT_EQ(CbcCrypt(key, iv, cbc.out, 0), data);
  }
}

// The raw modes over large buffers, fed in random runs of whole blocks (the CBC chaining value
// carried in the IV buffer from call to call), against OpenSSL's one pass.
TEST(Sm4, RawModesInBlockPiecesMatchOpenSsl) {
  for (size_t blocks : {size_t{4096}, size_t{65536 + 3}}) {
    SCOPED_TRACE(blocks);
    Bytes key = RandomBytes(16), iv = RandomBytes(16), data = RandomBytes(16 * blocks);
    CipherResult ecb = EvpCrypt(::EVP_sm4_ecb(), key, {}, data, 1, false);
    CipherResult cbc = EvpCrypt(::EVP_sm4_cbc(), key, iv, data, 1, false);
    ASSERT_TRUE(ecb.ok && cbc.ok);
    struct Pass {
      const char *name;
      bool chained;
      int enc;
      const Bytes &in, &want;
    };
    const Pass passes[] = {{"ECB encrypt", false, 1, data, ecb.out},
                           {"ECB decrypt", false, 0, ecb.out, data},
                           {"CBC encrypt", true, 1, data, cbc.out},
                           {"CBC decrypt", true, 0, cbc.out, data}};
    for (const Pass &pass : passes) {
      SCOPED_TRACE(pass.name);
      uint32_t rk[32];
      SM4_SetKey(key.data(), pass.enc, rk);
      Bytes chain = iv, out(pass.in.size());
      size_t at = 0;
      for (size_t piece : RandomPieces(blocks, static_cast<unsigned>(blocks) + pass.enc, 9)) {
        if (pass.chained)
          ASSERT_EQ(SM4_CbcCrypt(pass.in.data() + 16 * at, out.data() + 16 * at, 16 * piece, rk,
                                 chain.data(), pass.enc),
                    1);
        else
          SM4_CryptBlocks(pass.in.data() + 16 * at, out.data() + 16 * at, piece, rk);
        at += piece;
      }
      EXPECT_EQ(out, pass.want);
    }
  }
}

TEST(Sm4, RawModesWorkInPlace) {
  Bytes key = RandomBytes(16), iv = RandomBytes(16), data = RandomBytes(16 * 11);
  uint32_t enc[32], dec[32];
  SM4_SetKey(key.data(), 1, enc);
  SM4_SetKey(key.data(), 0, dec);
  Bytes buf = data;
  SM4_CryptBlocks(buf.data(), buf.data(), 11, enc);
  EXPECT_EQ(buf, EcbCrypt(key, data, 1));
  SM4_CryptBlocks(buf.data(), buf.data(), 11, dec);
  EXPECT_EQ(buf, data);
  Bytes chain = iv;
  ASSERT_EQ(SM4_CbcCrypt(buf.data(), buf.data(), buf.size(), enc, chain.data(), 1), 1);
  EXPECT_EQ(buf, CbcCrypt(key, iv, data, 1));
  chain = iv;
  ASSERT_EQ(SM4_CbcCrypt(buf.data(), buf.data(), buf.size(), dec, chain.data(), 0), 1);
  EXPECT_EQ(buf, data);
}

// The system's SM4-CBC cipher with the library's padding, every length 0..300 and a few large
// ones, in one call and in random pieces, against OpenSSL's SM4-CBC both ways.
TEST(Sm4, EvpCipherMatchesOpenSslForEveryLength) {
  std::vector<size_t> lengths;
  for (size_t len = 0; len <= 300; ++len) lengths.push_back(len);
  for (size_t len : {size_t{65536}, size_t{1 << 20} + 5, size_t{1000003}}) lengths.push_back(len);
  for (size_t len : lengths) {
    SCOPED_TRACE(len);
    Bytes key = RandomBytes(16), iv = RandomBytes(16), data = RandomBytes(len);
    CipherResult theirs = EvpCrypt(::EVP_sm4_cbc(), key, iv, data, 1, true);
    ASSERT_TRUE(theirs.ok);
    ASSERT_EQ(theirs.out.size(), (len / 16 + 1) * 16);
    CipherResult mine = EvpCrypt(kelu::EVP_sm4_cbc(), key, iv, data, 1, true);
    ASSERT_TRUE(mine.ok);
    ASSERT_EQ(mine.out, theirs.out);
    size_t max_piece = len > 1000 ? 40000 : 37;
    CipherResult pieces = EvpCrypt(kelu::EVP_sm4_cbc(), key, iv, data, 1, true,
                                   RandomPieces(len, static_cast<unsigned>(len), max_piece));
    ASSERT_TRUE(pieces.ok);
    ASSERT_EQ(pieces.out, theirs.out);
    CipherResult back = EvpCrypt(kelu::EVP_sm4_cbc(), key, iv, theirs.out, 0, true,
                                 RandomPieces(theirs.out.size(), 3u + len, max_piece));
    ASSERT_TRUE(back.ok);
    ASSERT_EQ(back.out, data);
    CipherResult their_back = EvpCrypt(::EVP_sm4_cbc(), key, iv, mine.out, 0, true);
    ASSERT_TRUE(their_back.ok);
    ASSERT_EQ(their_back.out, data);
  }
}

TEST(Sm4, EvpCipherRecordAndPaddingSizes) {
  const EVP_CIPHER *cipher = kelu::EVP_sm4_cbc();
  ASSERT_NE(cipher, nullptr);
  EXPECT_EQ(EVP_CIPHER_get_block_size(cipher), 16);
  EXPECT_EQ(EVP_CIPHER_get_key_length(cipher), 16);
  EXPECT_EQ(EVP_CIPHER_get_iv_length(cipher), 16);
  EXPECT_EQ(EVP_CIPHER_get_mode(cipher), EVP_CIPH_CBC_MODE);
  Bytes key = RandomBytes(16), iv = RandomBytes(16);
  EXPECT_EQ(EvpCrypt(cipher, key, iv, RandomBytes(16), 1, true).out.size(), 32u);
  EXPECT_EQ(EvpCrypt(cipher, key, iv, {}, 1, true).out.size(), 16u);
  // A wrong key fails the padding check (or, rarely, yields other bytes).
  CipherResult enc = EvpCrypt(cipher, key, iv, Bytes(40, 7), 1, true);
  Bytes other = key;
  other[0] ^= 1;
  CipherResult dec = EvpCrypt(cipher, other, iv, enc.out, 0, true);
  EXPECT_TRUE(!dec.ok || dec.out != Bytes(40, 7));
}

}  // namespace
}  // namespace kelu::test

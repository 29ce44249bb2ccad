#include "SM4.h"

#include <cstring>

#include "ByteOrder.h"
#include "SM3.h"

namespace kelu {

alignas(64) constexpr uint8_t G_SBOX[256] = {
    0xd6, 0x90, 0xe9, 0xfe, 0xcc, 0xe1, 0x3d, 0xb7, 0x16, 0xb6, 0x14, 0xc2, 0x28, 0xfb, 0x2c, 0x05,
    0x2b, 0x67, 0x9a, 0x76, 0x2a, 0xbe, 0x04, 0xc3, 0xaa, 0x44, 0x13, 0x26, 0x49, 0x86, 0x06, 0x99,
    0x9c, 0x42, 0x50, 0xf4, 0x91, 0xef, 0x98, 0x7a, 0x33, 0x54, 0x0b, 0x43, 0xed, 0xcf, 0xac, 0x62,
    0xe4, 0xb3, 0x1c, 0xa9, 0xc9, 0x08, 0xe8, 0x95, 0x80, 0xdf, 0x94, 0xfa, 0x75, 0x8f, 0x3f, 0xa6,
    0x47, 0x07, 0xa7, 0xfc, 0xf3, 0x73, 0x17, 0xba, 0x83, 0x59, 0x3c, 0x19, 0xe6, 0x85, 0x4f, 0xa8,
    0x68, 0x6b, 0x81, 0xb2, 0x71, 0x64, 0xda, 0x8b, 0xf8, 0xeb, 0x0f, 0x4b, 0x70, 0x56, 0x9d, 0x35,
    0x1e, 0x24, 0x0e, 0x5e, 0x63, 0x58, 0xd1, 0xa2, 0x25, 0x22, 0x7c, 0x3b, 0x01, 0x21, 0x78, 0x87,
    0xd4, 0x00, 0x46, 0x57, 0x9f, 0xd3, 0x27, 0x52, 0x4c, 0x36, 0x02, 0xe7, 0xa0, 0xc4, 0xc8, 0x9e,
    0xea, 0xbf, 0x8a, 0xd2, 0x40, 0xc7, 0x38, 0xb5, 0xa3, 0xf7, 0xf2, 0xce, 0xf9, 0x61, 0x15, 0xa1,
    0xe0, 0xae, 0x5d, 0xa4, 0x9b, 0x34, 0x1a, 0x55, 0xad, 0x93, 0x32, 0x30, 0xf5, 0x8c, 0xb1, 0xe3,
    0x1d, 0xf6, 0xe2, 0x2e, 0x82, 0x66, 0xca, 0x60, 0xc0, 0x29, 0x23, 0xab, 0x0d, 0x53, 0x4e, 0x6f,
    0xd5, 0xdb, 0x37, 0x45, 0xde, 0xfd, 0x8e, 0x2f, 0x03, 0xff, 0x6a, 0x72, 0x6d, 0x6c, 0x5b, 0x51,
    0x8d, 0x1b, 0xaf, 0x92, 0xbb, 0xdd, 0xbc, 0x7f, 0x11, 0xd9, 0x5c, 0x41, 0x1f, 0x10, 0x5a, 0xd8,
    0x0a, 0xc1, 0x31, 0x88, 0xa5, 0xcd, 0x7b, 0xbd, 0x2d, 0x74, 0xd0, 0x12, 0xb8, 0xe5, 0xb4, 0xb0,
    0x89, 0x69, 0x97, 0x4a, 0x0c, 0x96, 0x77, 0x7e, 0x65, 0xb9, 0xf1, 0x09, 0xc5, 0x6e, 0xc6, 0x84,
    0x18, 0xf0, 0x7d, 0xec, 0x3a, 0xdc, 0x4d, 0x20, 0x79, 0xee, 0x5f, 0x3e, 0xd7, 0xcb, 0x39, 0x48};

namespace {

constexpr uint32_t kFK[4] = {0xA3B1BAC6, 0x56AA3350, 0x677D9197, 0xB27022DC};

constexpr uint32_t Rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }
constexpr uint32_t L(uint32_t b) {
  return b ^ Rotl(b, 2) ^ Rotl(b, 10) ^ Rotl(b, 18) ^ Rotl(b, 24);
}
constexpr uint32_t LDash(uint32_t b) { return b ^ Rotl(b, 13) ^ Rotl(b, 23); }
constexpr uint32_t Tau(uint32_t a) {
  return uint32_t{G_SBOX[a >> 24]} << 24 | uint32_t{G_SBOX[(a >> 16) & 0xff]} << 16 |
         uint32_t{G_SBOX[(a >> 8) & 0xff]} << 8 | uint32_t{G_SBOX[a & 0xff]};
}

// The S-box and L in one lookup per byte: T(a) is the XOR of the four entries, L being linear.
struct TTables {
  uint32_t t[4][256];
};
constexpr TTables MakeTTables() {
  TTables tables{};
  for (int x = 0; x < 256; ++x) {
    uint32_t s = G_SBOX[x];
    for (int i = 0; i < 4; ++i) tables.t[i][x] = L(s << (24 - 8 * i));
  }
  return tables;
}
alignas(64) constexpr TTables kT = MakeTTables();

inline uint32_t T(uint32_t a) {
  return kT.t[0][a >> 24] ^ kT.t[1][(a >> 16) & 0xff] ^ kT.t[2][(a >> 8) & 0xff] ^
         kT.t[3][a & 0xff];
}

// The 32 rounds on one block of words, fully unrolled; the output order is X35..X32.
inline void Rounds(uint32_t &x0, uint32_t &x1, uint32_t &x2, uint32_t &x3, const uint32_t *rk) {
#define SM4_ROUNDS4(k)                  \
  x0 ^= T(x1 ^ x2 ^ x3 ^ rk[(k)]);      \
  x1 ^= T(x2 ^ x3 ^ x0 ^ rk[(k) + 1]);  \
  x2 ^= T(x3 ^ x0 ^ x1 ^ rk[(k) + 2]);  \
  x3 ^= T(x0 ^ x1 ^ x2 ^ rk[(k) + 3])
  SM4_ROUNDS4(0);
  SM4_ROUNDS4(4);
  SM4_ROUNDS4(8);
  SM4_ROUNDS4(12);
  SM4_ROUNDS4(16);
  SM4_ROUNDS4(20);
  SM4_ROUNDS4(24);
  SM4_ROUNDS4(28);
#undef SM4_ROUNDS4
}

// Four independent blocks through the rounds side by side, so that their table lookups
// overlap (ECB and CBC decryption have no chain between blocks).
void Crypt4(const unsigned char *in, unsigned char *out, const uint32_t *rk) {
  uint32_t a0 = LoadBE32(in), a1 = LoadBE32(in + 4), a2 = LoadBE32(in + 8), a3 = LoadBE32(in + 12);
  uint32_t b0 = LoadBE32(in + 16), b1 = LoadBE32(in + 20), b2 = LoadBE32(in + 24),
           b3 = LoadBE32(in + 28);
  uint32_t c0 = LoadBE32(in + 32), c1 = LoadBE32(in + 36), c2 = LoadBE32(in + 40),
           c3 = LoadBE32(in + 44);
  uint32_t d0 = LoadBE32(in + 48), d1 = LoadBE32(in + 52), d2 = LoadBE32(in + 56),
           d3 = LoadBE32(in + 60);
#define SM4_ROUND4WAY(k, p0, p1, p2, p3)        \
  a##p0 ^= T(a##p1 ^ a##p2 ^ a##p3 ^ rk[k]);    \
  b##p0 ^= T(b##p1 ^ b##p2 ^ b##p3 ^ rk[k]);    \
  c##p0 ^= T(c##p1 ^ c##p2 ^ c##p3 ^ rk[k]);    \
  d##p0 ^= T(d##p1 ^ d##p2 ^ d##p3 ^ rk[k])
  for (int k = 0; k < kSM4Rounds; k += 4) {
    SM4_ROUND4WAY(k, 0, 1, 2, 3);
    SM4_ROUND4WAY(k + 1, 1, 2, 3, 0);
    SM4_ROUND4WAY(k + 2, 2, 3, 0, 1);
    SM4_ROUND4WAY(k + 3, 3, 0, 1, 2);
  }
#undef SM4_ROUND4WAY
  StoreBE32(out, a3), StoreBE32(out + 4, a2), StoreBE32(out + 8, a1), StoreBE32(out + 12, a0);
  StoreBE32(out + 16, b3), StoreBE32(out + 20, b2), StoreBE32(out + 24, b1),
      StoreBE32(out + 28, b0);
  StoreBE32(out + 32, c3), StoreBE32(out + 36, c2), StoreBE32(out + 40, c1),
      StoreBE32(out + 44, c0);
  StoreBE32(out + 48, d3), StoreBE32(out + 52, d2), StoreBE32(out + 56, d1),
      StoreBE32(out + 60, d0);
}

inline void XorBlock(unsigned char *dst, const unsigned char *a, const unsigned char *b) {
  for (size_t i = 0; i < kSM4BlockSize; ++i) dst[i] = static_cast<unsigned char>(a[i] ^ b[i]);
}

void CbcEncrypt(const unsigned char *in, unsigned char *out, size_t nblocks, const uint32_t *rk,
                unsigned char iv[16]) {
  uint32_t c0 = LoadBE32(iv), c1 = LoadBE32(iv + 4), c2 = LoadBE32(iv + 8), c3 = LoadBE32(iv + 12);
  for (; nblocks > 0; --nblocks, in += kSM4BlockSize, out += kSM4BlockSize) {
    uint32_t x0 = LoadBE32(in) ^ c0, x1 = LoadBE32(in + 4) ^ c1, x2 = LoadBE32(in + 8) ^ c2,
             x3 = LoadBE32(in + 12) ^ c3;
    Rounds(x0, x1, x2, x3, rk);
    c0 = x3, c1 = x2, c2 = x1, c3 = x0;
    StoreBE32(out, c0), StoreBE32(out + 4, c1), StoreBE32(out + 8, c2), StoreBE32(out + 12, c3);
  }
  StoreBE32(iv, c0), StoreBE32(iv + 4, c1), StoreBE32(iv + 8, c2), StoreBE32(iv + 12, c3);
}

void CbcDecrypt(const unsigned char *in, unsigned char *out, size_t nblocks, const uint32_t *rk,
                unsigned char iv[16]) {
  unsigned char saved[4 * kSM4BlockSize];  // the cipher text, kept in case in == out
  while (nblocks > 0) {
    size_t n = nblocks >= 4 ? 4 : 1;
    std::memcpy(saved, in, n * kSM4BlockSize);
    if (n == 4)
      Crypt4(saved, out, rk);
    else
      SM4_CryptBlock(saved, out, rk);
    XorBlock(out, out, iv);
    for (size_t i = 1; i < n; ++i)
      XorBlock(out + i * kSM4BlockSize, out + i * kSM4BlockSize, saved + (i - 1) * kSM4BlockSize);
    std::memcpy(iv, saved + (n - 1) * kSM4BlockSize, kSM4BlockSize);
    in += n * kSM4BlockSize;
    out += n * kSM4BlockSize;
    nblocks -= n;
  }
}

}  // namespace

int _SM4_NLTransform(uint32_t a, uint32_t *b) {
  *b = Tau(a);
  return 1;
}

int _SM4_LTransform(uint32_t b, uint32_t *c) {
  *c = b ^ CROL(b, 2) ^ CROL(b, 10) ^ CROL(b, 18) ^ CROL(b, 24);
  return 1;
}

int _SM4_LDashTransform(uint32_t b, uint32_t *c) {
  *c = b ^ CROL(b, 13) ^ CROL(b, 23);
  return 1;
}

int _SM4_TTransform(uint32_t a, uint32_t *c) {
  uint32_t b;
  _SM4_NLTransform(a, &b);
  return _SM4_LTransform(b, c);
}

int _SM4_TDashTransform(uint32_t a, uint32_t *c) {
  uint32_t b;
  _SM4_NLTransform(a, &b);
  return _SM4_LDashTransform(b, c);
}

int _SM4_FTransform(const uint32_t x[4], uint32_t rk, uint32_t *out) {
  uint32_t t;
  _SM4_TTransform(x[1] ^ x[2] ^ x[3] ^ rk, &t);
  *out = x[0] ^ t;
  return 1;
}

int _SM4_ExtendKey(const uint32_t key[4], uint32_t rk[32]) {
  uint32_t ck[32];
  for (int i = 0; i < 32; ++i) {
    uint32_t word = 0;
    for (int j = 0; j < 4; ++j) word = word << 8 | (((4 * i + j) * 7) & 0xff);
    ck[i] = word;
  }
  uint32_t k[36];
  for (int i = 0; i < 4; ++i) k[i] = key[i] ^ kFK[i];
  for (int i = 0; i < 32; ++i) {
    k[i + 4] = k[i] ^ LDash(Tau(k[i + 1] ^ k[i + 2] ^ k[i + 3] ^ ck[i]));
    rk[i] = k[i + 4];
  }
  return 1;
}

int _SM4_InvertRoundKey(uint32_t rk[32]) {
  for (int i = 0; i < 16; ++i) {
    uint32_t t = rk[i];
    rk[i] = rk[31 - i];
    rk[31 - i] = t;
  }
  return 1;
}

int _SM4_CipherPlaintextTransform(const uint32_t in[4], const uint32_t rk[32], uint32_t out[4]) {
  uint32_t x0 = in[0], x1 = in[1], x2 = in[2], x3 = in[3];
  Rounds(x0, x1, x2, x3, rk);
  out[0] = x3, out[1] = x2, out[2] = x1, out[3] = x0;
  return 1;
}

int _SM4_encrypt(const uint32_t in[4], const uint32_t rk[32], uint32_t chain[4], uint32_t out[4],
                 int enc) {
  uint32_t x[4];
  if (enc != 0) {
    for (int i = 0; i < 4; ++i) x[i] = in[i] ^ chain[i];
    _SM4_CipherPlaintextTransform(x, rk, out);
    for (int i = 0; i < 4; ++i) chain[i] = out[i];
  } else {
    uint32_t saved[4] = {in[0], in[1], in[2], in[3]};
    _SM4_CipherPlaintextTransform(saved, rk, x);
    for (int i = 0; i < 4; ++i) {
      out[i] = x[i] ^ chain[i];
      chain[i] = saved[i];
    }
  }
  return 1;
}

int SM4_cbc_encrypt(const unsigned char in[16], const uint32_t rk[32], unsigned char iv[16],
                    unsigned char out[16], int enc) {
  uint32_t words[4], chain[4], result[4];
  for (int i = 0; i < 4; ++i) {
    words[i] = LoadBE32(in + 4 * i);
    chain[i] = LoadBE32(iv + 4 * i);
  }
  int ok = _SM4_encrypt(words, rk, chain, result, enc);
  for (int i = 0; i < 4; ++i) {
    StoreBE32(out + 4 * i, result[i]);
    StoreBE32(iv + 4 * i, chain[i]);
  }
  return ok;
}

void SM4_SetKey(const unsigned char key[16], int enc, uint32_t rk[32]) {
  uint32_t words[4];
  for (int i = 0; i < 4; ++i) words[i] = LoadBE32(key + 4 * i);
  _SM4_ExtendKey(words, rk);
  if (enc == 0) _SM4_InvertRoundKey(rk);
}

void SM4_CryptBlock(const unsigned char in[16], unsigned char out[16], const uint32_t rk[32]) {
  uint32_t x0 = LoadBE32(in), x1 = LoadBE32(in + 4), x2 = LoadBE32(in + 8), x3 = LoadBE32(in + 12);
  Rounds(x0, x1, x2, x3, rk);
  StoreBE32(out, x3), StoreBE32(out + 4, x2), StoreBE32(out + 8, x1), StoreBE32(out + 12, x0);
}

void SM4_CryptBlocks(const unsigned char *in, unsigned char *out, size_t nblocks,
                     const uint32_t rk[32]) {
  for (; nblocks >= 4; nblocks -= 4, in += 4 * kSM4BlockSize, out += 4 * kSM4BlockSize)
    Crypt4(in, out, rk);
  for (; nblocks > 0; --nblocks, in += kSM4BlockSize, out += kSM4BlockSize)
    SM4_CryptBlock(in, out, rk);
}

int SM4_CbcCrypt(const unsigned char *in, unsigned char *out, size_t len, const uint32_t rk[32],
                 unsigned char iv[16], int enc) {
  if (len % kSM4BlockSize != 0) return 0;
  if (enc != 0)
    CbcEncrypt(in, out, len / kSM4BlockSize, rk, iv);
  else
    CbcDecrypt(in, out, len / kSM4BlockSize, rk, iv);
  return 1;
}

}  // namespace kelu

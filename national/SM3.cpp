#include "SM3.h"

#include <openssl/crypto.h>

#include <array>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "ByteOrder.h"

namespace kelu {
namespace {

constexpr uint32_t kIV[8] = {0x7380166F, 0x4914B2B9, 0x172442D7, 0xDA8A0600,
                             0xA96F30BC, 0x163138AA, 0xE38DEE4D, 0xB0FB0E4E};

// T(j) rotated left by j mod 32, the constant each round adds.
constexpr std::array<uint32_t, 64> MakeRoundConstants() {
  std::array<uint32_t, 64> k{};
  for (int j = 0; j < 64; ++j) {
    uint32_t t = j < 16 ? 0x79CC4519u : 0x7A879D8Au;
    int n = j % 32;
    k[j] = n == 0 ? t : (t << n) | (t >> (32 - n));
  }
  return k;
}
constexpr std::array<uint32_t, 64> kK = MakeRoundConstants();

inline uint32_t P0(uint32_t x) { return x ^ CROL(x, 9) ^ CROL(x, 17); }
inline uint32_t FF0(uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; }
inline uint32_t GG0(uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; }
inline uint32_t FF1(uint32_t x, uint32_t y, uint32_t z) { return (x & y) | ((x | y) & z); }
inline uint32_t GG1(uint32_t x, uint32_t y, uint32_t z) { return ((y ^ z) & x) ^ z; }

#if defined(__GNUC__)
#define SM3_INLINE inline __attribute__((always_inline))
// A compiler barrier: the rounds then read the expanded words from memory instead of moving
// each out of a vector register, which costs more than the load.
#define SM3_MEMORY_BARRIER() __asm__ volatile("" ::: "memory")
// Keeps the compiler from regrouping a sum (see SM3_ROUND).
#define SM3_KEEP(x) __asm__("" : "+r"(x))
#else
#define SM3_INLINE inline
#define SM3_MEMORY_BARRIER() (void)0
#define SM3_KEEP(x) (void)0
#endif

#if defined(__SSE2__)

template <int N>
SM3_INLINE __m128i RolVec(__m128i x) {
  return _mm_or_si128(_mm_slli_epi32(x, N), _mm_srli_epi32(x, 32 - N));
}
SM3_INLINE __m128i P1Vec(__m128i x) {
  return _mm_xor_si128(x, _mm_xor_si128(RolVec<15>(x), RolVec<23>(x)));
}
// Big-endian words of four lanes (SSE2 has no byte shuffle).
SM3_INLINE __m128i LoadBE32x4(const unsigned char *p) {
  __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
  x = _mm_or_si128(_mm_slli_epi16(x, 8), _mm_srli_epi16(x, 8));
  x = _mm_shufflelo_epi16(x, _MM_SHUFFLE(2, 3, 0, 1));
  return _mm_shufflehi_epi16(x, _MM_SHUFFLE(2, 3, 0, 1));
}
// Lanes k..k+3 of the eight words (lo, hi), k = Bytes / 4.
template <int Bytes>
SM3_INLINE __m128i Window(__m128i lo, __m128i hi) {
  return _mm_or_si128(_mm_srli_si128(lo, Bytes), _mm_slli_si128(hi, 16 - Bytes));
}

// The message expansion, four words at a time in the vector unit, so that the integer units
// are left to the rounds (which are bound by them). It runs three groups of four rounds ahead
// of its use, interleaved with the rounds. W[j+3] needs W[j] of the same four: that lane is
// computed without the term and corrected afterwards (P1 is linear).
class MessageExpansion {
 public:
  SM3_INLINE MessageExpansion(const unsigned char *p, uint32_t *w, uint32_t *wp)
      : out_(reinterpret_cast<__m128i *>(w)), outp_(reinterpret_cast<__m128i *>(wp)) {
    w0_ = LoadBE32x4(p);
    w1_ = LoadBE32x4(p + 16);
    w2_ = LoadBE32x4(p + 32);
    w3_ = LoadBE32x4(p + 48);
    _mm_store_si128(out_, w0_);
    _mm_store_si128(out_ + 1, w1_);
    _mm_store_si128(out_ + 2, w2_);
    _mm_store_si128(out_ + 3, w3_);
    _mm_store_si128(outp_, _mm_xor_si128(w0_, w1_));
    _mm_store_si128(outp_ + 1, _mm_xor_si128(w1_, w2_));
    _mm_store_si128(outp_ + 2, _mm_xor_si128(w2_, w3_));
    SM3_MEMORY_BARRIER();
  }

  // W[4k..4k+3] from the sixteen words before them, and W' of the four before those.
  SM3_INLINE void Step(int k) {
    __m128i minus9 = Window<12>(w1_, w2_);    // W[j-9..j-6]
    __m128i minus3 = _mm_srli_si128(w3_, 4);  // W[j-3..j-1], 0
    __m128i minus13 = Window<12>(w0_, w1_);   // W[j-13..j-10]
    __m128i minus6 = Window<8>(w2_, w3_);     // W[j-6..j-3]
    __m128i r = P1Vec(_mm_xor_si128(_mm_xor_si128(w0_, minus9), RolVec<15>(minus3)));
    r = _mm_xor_si128(r, _mm_xor_si128(RolVec<7>(minus13), minus6));
    r = _mm_xor_si128(r, P1Vec(RolVec<15>(_mm_slli_si128(r, 12))));
    _mm_store_si128(out_ + k, r);
    _mm_store_si128(outp_ + k - 1, _mm_xor_si128(w3_, r));
    w0_ = w1_;
    w1_ = w2_;
    w2_ = w3_;
    w3_ = r;
    SM3_MEMORY_BARRIER();
  }

 private:
  __m128i *out_;
  __m128i *outp_;
  __m128i w0_, w1_, w2_, w3_;
};

#else

inline uint32_t P1(uint32_t x) { return x ^ CROL(x, 15) ^ CROL(x, 23); }

class MessageExpansion {
 public:
  SM3_INLINE MessageExpansion(const unsigned char *p, uint32_t *w, uint32_t *wp)
      : w_(w), wp_(wp) {
    for (int j = 0; j < 16; ++j) w_[j] = LoadBE32(p + 4 * j);
    for (int j = 0; j < 12; ++j) wp_[j] = w_[j] ^ w_[j + 4];
  }
  SM3_INLINE void Step(int k) {
    for (int j = 4 * k; j < 4 * k + 4; ++j) {
      w_[j] = P1(w_[j - 16] ^ w_[j - 9] ^ CROL(w_[j - 3], 15)) ^ CROL(w_[j - 13], 7) ^ w_[j - 6];
      wp_[j - 4] = w_[j - 4] ^ w_[j];
    }
  }

 private:
  uint32_t *w_;
  uint32_t *wp_;
};

#endif

// One round without moving registers: the callers rotate the roles of A..H instead. D and H
// receive the new A and E; B and F are rotated in place. The rounds are bound by the chain
// through E, which arrives after A: the sums are grouped so that E, then SS1 and SS2, are added
// last.
#define SM3_ROUND(j, A, B, C, D, E, F, G, H, FF, GG) \
  do {                                               \
    uint32_t a12 = CROL(A, 12);                      \
    uint32_t a12k = a12 + kK[j];                     \
    uint32_t d_part = D + wp[j] + FF(A, B, C);       \
    uint32_t h_part = H + w[j] + GG(E, F, G);        \
    SM3_KEEP(a12k);                                  \
    SM3_KEEP(d_part);                                \
    SM3_KEEP(h_part);                                \
    uint32_t ss1 = CROL(a12k + E, 7);                \
    uint32_t ss2 = ss1 ^ a12;                        \
    D = d_part + ss2;                                \
    H = P0(h_part + ss1);                            \
    B = CROL(B, 9);                                  \
    F = CROL(F, 19);                                 \
  } while (0)

#define SM3_ROUNDS4(j, FF, GG)                        \
  SM3_ROUND(j, a, b, c, d, e, f, g, h, FF, GG);       \
  SM3_ROUND((j) + 1, d, a, b, c, h, e, f, g, FF, GG); \
  SM3_ROUND((j) + 2, c, d, a, b, g, h, e, f, FF, GG); \
  SM3_ROUND((j) + 3, b, c, d, a, f, g, h, e, FF, GG)

// Four rounds, after the expansion of the words that the rounds three groups on need.
#define SM3_GROUP(k, FF, GG)                    \
  if ((k) + 4 <= 16) expansion.Step((k) + 4);   \
  SM3_ROUNDS4(4 * (k), FF, GG)

SM3_INLINE void CompressBlocksBody(uint32_t state[8], const unsigned char *data,
                                   size_t nblocks) {
  alignas(16) uint32_t w[68];
  alignas(16) uint32_t wp[64];
  while (nblocks-- > 0) {
    MessageExpansion expansion(data, w, wp);
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    SM3_GROUP(0, FF0, GG0);
    SM3_GROUP(1, FF0, GG0);
    SM3_GROUP(2, FF0, GG0);
    SM3_GROUP(3, FF0, GG0);
    SM3_GROUP(4, FF1, GG1);
    SM3_GROUP(5, FF1, GG1);
    SM3_GROUP(6, FF1, GG1);
    SM3_GROUP(7, FF1, GG1);
    SM3_GROUP(8, FF1, GG1);
    SM3_GROUP(9, FF1, GG1);
    SM3_GROUP(10, FF1, GG1);
    SM3_GROUP(11, FF1, GG1);
    SM3_GROUP(12, FF1, GG1);
    SM3_GROUP(13, FF1, GG1);
    SM3_GROUP(14, FF1, GG1);
    SM3_GROUP(15, FF1, GG1);
    state[0] ^= a;
    state[1] ^= b;
    state[2] ^= c;
    state[3] ^= d;
    state[4] ^= e;
    state[5] ^= f;
    state[6] ^= g;
    state[7] ^= h;
    data += kSM3BlockSize;
  }
}

#undef SM3_GROUP
#undef SM3_ROUNDS4
#undef SM3_ROUND
#undef SM3_KEEP
#undef SM3_MEMORY_BARRIER

#if defined(__x86_64__) && defined(__GNUC__)
// The same code with BMI2's rotations (rorx), which need no register copies: some 4% faster on
// the machines this runs on. Chosen at run time, since the build targets plain x86-64.
__attribute__((target("bmi2"))) void CompressBlocksBmi2(uint32_t *state, const unsigned char *data,
                                                        size_t nblocks) {
  CompressBlocksBody(state, data, nblocks);
}

bool ProcessorHasBmi2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("bmi2");
}
#endif

}  // namespace

void SM3_CompressBlocksPortable(uint32_t state[8], const unsigned char *data, size_t nblocks) {
  CompressBlocksBody(state, data, nblocks);
}

void SM3_CompressBlocks(uint32_t state[8], const unsigned char *data, size_t nblocks) {
#if defined(__x86_64__) && defined(__GNUC__)
  static const bool bmi2 = ProcessorHasBmi2();
  if (bmi2) {
    CompressBlocksBmi2(state, data, nblocks);
    return;
  }
#endif
  CompressBlocksBody(state, data, nblocks);
}

void SM3_Compress(SM3_CTX *ctx, const unsigned char *block) {
  SM3_CompressBlocks(ctx->state, block, 1);
}

int SM3_Init(SM3_CTX *ctx) {
  if (ctx == nullptr) return 0;
  std::memcpy(ctx->state, kIV, sizeof kIV);
  ctx->nblocks = 0;
  ctx->num = 0;
  return 1;
}

int SM3_Update(SM3_CTX *ctx, const void *data, size_t len) {
  if (ctx == nullptr) return 0;
  if (len == 0) return 1;
  if (data == nullptr) return 0;
  const unsigned char *p = static_cast<const unsigned char *>(data);
  if (ctx->num > 0) {
    size_t room = kSM3BlockSize - static_cast<size_t>(ctx->num);
    if (len < room) {
      std::memcpy(ctx->block + ctx->num, p, len);
      ctx->num += static_cast<int>(len);
      return 1;
    }
    std::memcpy(ctx->block + ctx->num, p, room);
    SM3_CompressBlocks(ctx->state, ctx->block, 1);
    ctx->nblocks++;
    p += room;
    len -= room;
  }
  size_t whole = len / kSM3BlockSize;
  if (whole > 0) {
    // Whole blocks straight from the caller's buffer.
    SM3_CompressBlocks(ctx->state, p, whole);
    ctx->nblocks += whole;
    p += whole * kSM3BlockSize;
    len -= whole * kSM3BlockSize;
  }
  if (len > 0) std::memcpy(ctx->block, p, len);
  ctx->num = static_cast<int>(len);
  return 1;
}

int SM3_Final(unsigned char *md, SM3_CTX *ctx) {
  if (ctx == nullptr || md == nullptr) return 0;
  size_t num = static_cast<size_t>(ctx->num);
  if (num >= kSM3BlockSize) return 0;  // a context that was never set up properly
  ctx->block[num] = 0x80;
  if (num > 55) {
    std::memset(ctx->block + num + 1, 0, kSM3BlockSize - num - 1);
    SM3_CompressBlocks(ctx->state, ctx->block, 1);
    std::memset(ctx->block, 0, 56);
  } else {
    std::memset(ctx->block + num + 1, 0, 55 - num);
  }
  uint64_t bits = ctx->nblocks * 512 + static_cast<uint64_t>(num) * 8;
  StoreBE32(ctx->block + 56, static_cast<uint32_t>(bits >> 32));
  StoreBE32(ctx->block + 60, static_cast<uint32_t>(bits));
  SM3_CompressBlocks(ctx->state, ctx->block, 1);
  for (int i = 0; i < 8; ++i) StoreBE32(md + 4 * i, ctx->state[i]);
  std::memset(ctx->block, 0, sizeof ctx->block);
  ctx->num = 0;
  return 1;
}

unsigned char *SM3(const unsigned char *data, size_t len, unsigned char *md) {
  if (md == nullptr || (data == nullptr && len != 0)) return nullptr;
  SM3_CTX ctx;
  SM3_Init(&ctx);
  SM3_Update(&ctx, data, len);
  SM3_Final(md, &ctx);
  OPENSSL_cleanse(&ctx, sizeof ctx);
  return md;
}

}  // namespace kelu

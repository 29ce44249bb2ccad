#include "SM3.h"

#include <openssl/crypto.h>

#include <array>
#include <atomic>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// The engines with their rounds in assembly (GNU syntax) and the processor checks.
#if defined(__x86_64__) && defined(__GNUC__)
#define SM3_X86_ENGINES 1
#else
#define SM3_X86_ENGINES 0
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

#if defined(__GNUC__)

// Four message words in one vector of the GNU vector extension: the instructions are those of the
// function the code is inlined into, so the same expansion serves every engine.
typedef uint32_t Words4 __attribute__((vector_size(16)));
typedef uint8_t Bytes16 __attribute__((vector_size(16)));

template <int N>
SM3_INLINE Words4 Rotl(Words4 x) {
  return (x << N) | (x >> (32 - N));
}
SM3_INLINE Words4 LoadWords4(const unsigned char *p) {
  Words4 x;
  std::memcpy(&x, p, sizeof x);
  return x;
}
SM3_INLINE void StoreWords4(uint32_t *p, Words4 x) { std::memcpy(p, &x, sizeof x); }

// Lane moves by byte shuffles (one instruction each from SSSE3 on, and on other processors).
struct ShuffleLanes {
  static SM3_INLINE Words4 LoadBigEndian(const unsigned char *p) {
    Bytes16 b = reinterpret_cast<Bytes16>(LoadWords4(p));
    return reinterpret_cast<Words4>(
        __builtin_shufflevector(b, b, 3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12));
  }
  // Lanes K..K+3 of the eight words (lo, hi).
  template <int K>
  static SM3_INLINE Words4 Window(Words4 lo, Words4 hi) {
    return __builtin_shufflevector(lo, hi, K, K + 1, K + 2, K + 3);
  }
  // x1, x2, x3, 0.
  static SM3_INLINE Words4 DropFirst(Words4 x) {
    return __builtin_shufflevector(x, Words4{}, 1, 2, 3, 4);
  }
  // 0, 0, 0, x0.
  static SM3_INLINE Words4 FirstToLast(Words4 x) {
    return __builtin_shufflevector(Words4{}, x, 0, 1, 2, 4);
  }
  static SM3_INLINE Words4 P1(Words4 x) { return x ^ Rotl<15>(x) ^ Rotl<23>(x); }
};

// Where a vector rotation takes three instructions (AVX2) and a byte shuffle one:
// x <<< 23 is (x <<< 15) <<< 8.
struct ByteRotateLanes : ShuffleLanes {
  static SM3_INLINE Words4 P1(Words4 x) {
    Words4 r15 = Rotl<15>(x);
    Bytes16 b = reinterpret_cast<Bytes16>(r15);
    Bytes16 r23 =
        __builtin_shufflevector(b, b, 3, 0, 1, 2, 7, 4, 5, 6, 11, 8, 9, 10, 15, 12, 13, 14);
    return x ^ r15 ^ reinterpret_cast<Words4>(r23);
  }
};

#if defined(__SSE2__)
// SSE2 has no byte shuffle: whole-register shifts, and a swap of bytes then of 16-bit halves.
struct Sse2Lanes : ShuffleLanes {
  static SM3_INLINE __m128i In(Words4 x) { return reinterpret_cast<__m128i>(x); }
  static SM3_INLINE Words4 Out(__m128i x) { return reinterpret_cast<Words4>(x); }

  static SM3_INLINE Words4 LoadBigEndian(const unsigned char *p) {
    __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    x = _mm_or_si128(_mm_slli_epi16(x, 8), _mm_srli_epi16(x, 8));
    x = _mm_shufflelo_epi16(x, _MM_SHUFFLE(2, 3, 0, 1));
    return Out(_mm_shufflehi_epi16(x, _MM_SHUFFLE(2, 3, 0, 1)));
  }
  template <int K>
  static SM3_INLINE Words4 Window(Words4 lo, Words4 hi) {
    return Out(_mm_or_si128(_mm_srli_si128(In(lo), 4 * K), _mm_slli_si128(In(hi), 16 - 4 * K)));
  }
  static SM3_INLINE Words4 DropFirst(Words4 x) { return Out(_mm_srli_si128(In(x), 4)); }
  static SM3_INLINE Words4 FirstToLast(Words4 x) { return Out(_mm_slli_si128(In(x), 12)); }
};
using PortableLanes = Sse2Lanes;
#else
using PortableLanes = ShuffleLanes;
#endif

// The message expansion, four words at a time in the vector unit, so that the integer units
// are left to the rounds (which are bound by them). It runs three groups of four rounds ahead
// of its use, interleaved with the rounds. W[j+3] needs W[j] of the same four: that lane is
// computed without the term and corrected afterwards (P1 is linear).
template <class Lanes>
class MessageExpansion {
 public:
  SM3_INLINE MessageExpansion(const unsigned char *p, uint32_t *w, uint32_t *wp)
      : w_(w), wp_(wp) {
    w0_ = Lanes::LoadBigEndian(p);
    w1_ = Lanes::LoadBigEndian(p + 16);
    w2_ = Lanes::LoadBigEndian(p + 32);
    w3_ = Lanes::LoadBigEndian(p + 48);
    StoreWords4(w_, w0_);
    StoreWords4(w_ + 4, w1_);
    StoreWords4(w_ + 8, w2_);
    StoreWords4(w_ + 12, w3_);
    StoreWords4(wp_, w0_ ^ w1_);
    StoreWords4(wp_ + 4, w1_ ^ w2_);
    StoreWords4(wp_ + 8, w2_ ^ w3_);
    SM3_MEMORY_BARRIER();
  }

  // W[4k..4k+3] from the sixteen words before them, and W' of the four before those.
  SM3_INLINE void Step(int k) {
    Words4 minus9 = Lanes::template Window<3>(w1_, w2_);   // W[j-9..j-6]
    Words4 minus3 = Lanes::DropFirst(w3_);                 // W[j-3..j-1], 0
    Words4 minus13 = Lanes::template Window<3>(w0_, w1_);  // W[j-13..j-10]
    Words4 minus6 = Lanes::template Window<2>(w2_, w3_);   // W[j-6..j-3]
    Words4 r = Lanes::P1(w0_ ^ minus9 ^ Rotl<15>(minus3)) ^ Rotl<7>(minus13) ^ minus6;
    r ^= Lanes::P1(Rotl<15>(Lanes::FirstToLast(r)));
    StoreWords4(w_ + 4 * k, r);
    StoreWords4(wp_ + 4 * (k - 1), w3_ ^ r);
    w0_ = w1_;
    w1_ = w2_;
    w2_ = w3_;
    w3_ = r;
    SM3_MEMORY_BARRIER();
  }

 private:
  uint32_t *w_;
  uint32_t *wp_;
  Words4 w0_, w1_, w2_, w3_;
};

#else

inline uint32_t P1(uint32_t x) { return x ^ CROL(x, 15) ^ CROL(x, 23); }

struct PortableLanes {};

template <class Lanes>
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

void CompressBlocksPortableBody(uint32_t state[8], const unsigned char *data, size_t nblocks) {
  alignas(16) uint32_t w[68];
  alignas(16) uint32_t wp[64];
  while (nblocks-- > 0) {
    MessageExpansion<PortableLanes> expansion(data, w, wp);
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

#if SM3_X86_ENGINES

// The x86-64 engines: the expansion above in the vector unit, the rounds in assembly with BMI2's
// rorx. The same rounds as compiled C++ ran 7-10% slower on the machines this was measured on
// (the rounds are bound by the order in which the four integer units get their work), and their
// speed moved by as much with small changes of the source, the flags or the compiler; written
// out, the order is the one measured best and the same from every compiler.

// The expanded block as the rounds read it: W[0..67], then W'[0..63].
constexpr int kWPrimeAt = 68;
constexpr int kExpandedWords = kWPrimeAt + 64;

template <int J>
constexpr int32_t kAsmRoundConstant = static_cast<int32_t>(kK[J]);

#define SM3_ASM_OP(x) "%[" #x "]"
#define SM3_ASM_W(J) "4*" #J "(%[p])"
#define SM3_ASM_WP(J) "%c[wp]+4*" #J "(%[p])"

// FF and GG of rounds 0-15 (suffix 0) and 16-63 (suffix 1), in two parts: the one before A or E
// arrives, and the one after. The majority is (A & (B ^ C)) + (B & C), added to D in two steps
// (the two terms have no bit in common); the choice is ((F ^ G) & E) ^ G.
#define SM3_ASM_FF_EARLY0(B, C, D) \
  "mov " SM3_ASM_OP(B) ", %[ff]\n\t" "xor " SM3_ASM_OP(C) ", %[ff]\n\t"
#define SM3_ASM_FF_EARLY1(B, C, D)                                                             \
  "mov " SM3_ASM_OP(B) ", %[ff]\n\t" "and " SM3_ASM_OP(C) ", %[ff]\n\t"                        \
  "add %[ff], " SM3_ASM_OP(D) "\n\t" "mov " SM3_ASM_OP(B) ", %[ff]\n\t"                        \
  "xor " SM3_ASM_OP(C) ", %[ff]\n\t"
#define SM3_ASM_FF_LATE0(A) "xor " SM3_ASM_OP(A) ", %[ff]\n\t"
#define SM3_ASM_FF_LATE1(A) "and " SM3_ASM_OP(A) ", %[ff]\n\t"
#define SM3_ASM_GG_LATE0(E, G) "xor " SM3_ASM_OP(E) ", %[gg]\n\t"
#define SM3_ASM_GG_LATE1(E, G) "and " SM3_ASM_OP(E) ", %[gg]\n\t" "xor " SM3_ASM_OP(G) ", %[gg]\n\t"

// Round J of a group of four, with the roles of the registers as in SM3_ROUND: D and H receive
// TT1 and P0(TT2), B and F are rotated in place.
#define SM3_ASM_ROUND(N, J, A, B, C, D, E, F, G, H)                                             \
  /* D + W'[j] and H + W[j], FF and GG as far as they go without A and E */                    \
  "add " SM3_ASM_WP(J) ", " SM3_ASM_OP(D) "\n\t"                                              \
  "add " SM3_ASM_W(J) ", " SM3_ASM_OP(H) "\n\t"                                               \
  SM3_ASM_FF_EARLY##N(B, C, D)                                                                 \
  "mov " SM3_ASM_OP(F) ", %[gg]\n\t" "xor " SM3_ASM_OP(G) ", %[gg]\n\t"                         \
  "rorx $23, " SM3_ASM_OP(B) ", " SM3_ASM_OP(B) "\n\t"                                        \
  "rorx $13, " SM3_ASM_OP(F) ", " SM3_ASM_OP(F) "\n\t"                                        \
  /* A <<< 12 and A <<< 12 + T'j, the rest of TT1 but SS2 */                                   \
  "rorx $20, " SM3_ASM_OP(A) ", %[a12]\n\t"                                                   \
  "lea %c[k" #J "](%q[a12]), %[ss]\n\t"                                                       \
  SM3_ASM_FF_LATE##N(A)                                                                        \
  "add %[ff], " SM3_ASM_OP(D) "\n\t"                                                          \
  /* E: SS1, SS2, TT2 and TT1 */                                                               \
  "add " SM3_ASM_OP(E) ", %[ss]\n\t"                                                          \
  SM3_ASM_GG_LATE##N(E, G)                                                                     \
  "add %[gg], " SM3_ASM_OP(H) "\n\t"                                                          \
  "rorx $25, %[ss], %[ss]\n\t"                                                                \
  "xor %[ss], %[a12]\n\t"                                                                     \
  "add %[ss], " SM3_ASM_OP(H) "\n\t"                                                          \
  "add %[a12], " SM3_ASM_OP(D) "\n\t"                                                         \
  /* P0(TT2) */                                                                                \
  "rorx $23, " SM3_ASM_OP(H) ", %[ff]\n\t"                                                    \
  "rorx $15, " SM3_ASM_OP(H) ", %[gg]\n\t"                                                    \
  "xor %[ff], " SM3_ASM_OP(H) "\n\t"                                                          \
  "xor %[gg], " SM3_ASM_OP(H) "\n\t"

// Rounds j..j+3 (after which the roles are back where they started), preceded by the expansion
// of the words three groups on. words is read through p; the memory operand tells the compiler
// so, which keeps the expansion's stores before the rounds that read them.
#define SM3_ASM_GROUP(k, N)                                                                     \
  if ((k) + 4 <= 16) expansion.Step((k) + 4);                                                  \
  __asm__(SM3_ASM_ROUND(N, 0, a, b, c, d, e, f, g, h) SM3_ASM_ROUND(N, 1, d, a, b, c, h, e, f, g) \
          SM3_ASM_ROUND(N, 2, c, d, a, b, g, h, e, f) SM3_ASM_ROUND(N, 3, b, c, d, a, f, g, h, e) \
          : [a] "+r"(a), [b] "+r"(b), [c] "+r"(c), [d] "+r"(d), [e] "+r"(e), [f] "+r"(f),       \
            [g] "+r"(g), [h] "+r"(h), [ff] "=&r"(ff), [gg] "=&r"(gg), [a12] "=&r"(a12),         \
            [ss] "=&r"(ss)                                                                     \
          : [p] "r"(words + 4 * (k)), [words] "m"(words), [wp] "i"(4 * kWPrimeAt),              \
            [k0] "i"(kAsmRoundConstant<4 * (k)>), [k1] "i"(kAsmRoundConstant<4 * (k) + 1>),      \
            [k2] "i"(kAsmRoundConstant<4 * (k) + 2>), [k3] "i"(kAsmRoundConstant<4 * (k) + 3>)   \
          : "cc")

// V(i+1) = ABCDEFGH ^ V(i), kept in the registers for the next block as well. (Left to the
// compiler, the eight words went through a vector register and memory on the way to the next
// block's first round.)
#define SM3_ASM_FEED_FORWARD()                                                                  \
  __asm__("xor (%[v]), %[a]\n\t" "mov %[a], (%[v])\n\t" "xor 4(%[v]), %[b]\n\t"                \
          "mov %[b], 4(%[v])\n\t" "xor 8(%[v]), %[c]\n\t" "mov %[c], 8(%[v])\n\t"              \
          "xor 12(%[v]), %[d]\n\t" "mov %[d], 12(%[v])\n\t" "xor 16(%[v]), %[e]\n\t"           \
          "mov %[e], 16(%[v])\n\t" "xor 20(%[v]), %[f]\n\t" "mov %[f], 20(%[v])\n\t"           \
          "xor 24(%[v]), %[g]\n\t" "mov %[g], 24(%[v])\n\t" "xor 28(%[v]), %[h]\n\t"           \
          "mov %[h], 28(%[v])\n\t"                                                             \
          : [a] "+r"(a), [b] "+r"(b), [c] "+r"(c), [d] "+r"(d), [e] "+r"(e), [f] "+r"(f),       \
            [g] "+r"(g), [h] "+r"(h), [state] "+m"(*reinterpret_cast<uint32_t(*)[8]>(state))     \
          : [v] "r"(state)                                                                     \
          : "cc")

template <class Lanes>
SM3_INLINE void CompressBlocksAsm(uint32_t state[8], const unsigned char *data, size_t nblocks) {
  alignas(16) uint32_t words[kExpandedWords];
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
  uint32_t ff, gg, a12, ss;
  while (nblocks-- > 0) {
    MessageExpansion<Lanes> expansion(data, words, words + kWPrimeAt);
    SM3_ASM_GROUP(0, 0);
    SM3_ASM_GROUP(1, 0);
    SM3_ASM_GROUP(2, 0);
    SM3_ASM_GROUP(3, 0);
    SM3_ASM_GROUP(4, 1);
    SM3_ASM_GROUP(5, 1);
    SM3_ASM_GROUP(6, 1);
    SM3_ASM_GROUP(7, 1);
    SM3_ASM_GROUP(8, 1);
    SM3_ASM_GROUP(9, 1);
    SM3_ASM_GROUP(10, 1);
    SM3_ASM_GROUP(11, 1);
    SM3_ASM_GROUP(12, 1);
    SM3_ASM_GROUP(13, 1);
    SM3_ASM_GROUP(14, 1);
    SM3_ASM_GROUP(15, 1);
    SM3_ASM_FEED_FORWARD();
    data += kSM3BlockSize;
  }
}

#undef SM3_ASM_FEED_FORWARD
#undef SM3_ASM_GROUP
#undef SM3_ASM_ROUND
#undef SM3_ASM_GG_LATE1
#undef SM3_ASM_GG_LATE0
#undef SM3_ASM_FF_LATE1
#undef SM3_ASM_FF_LATE0
#undef SM3_ASM_FF_EARLY1
#undef SM3_ASM_FF_EARLY0
#undef SM3_ASM_WP
#undef SM3_ASM_W
#undef SM3_ASM_OP

// The instruction sets are the expansion's (the rounds need BMI2 only): with AVX-512 a vector
// rotation is one instruction, with AVX2 three, where P1 saves two by a byte shuffle.
__attribute__((target("avx2,bmi2"))) void CompressBlocksAvx2(uint32_t state[8],
                                                             const unsigned char *data,
                                                             size_t nblocks) {
  CompressBlocksAsm<ByteRotateLanes>(state, data, nblocks);
}

__attribute__((target("avx512f,avx512vl,avx2,bmi2"))) void CompressBlocksAvx512(
    uint32_t state[8], const unsigned char *data, size_t nblocks) {
  CompressBlocksAsm<ShuffleLanes>(state, data, nblocks);
}

bool ProcessorRunsAvx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi2");
}

bool ProcessorRunsAvx512() {
  return ProcessorRunsAvx2() && __builtin_cpu_supports("avx512f") &&
         __builtin_cpu_supports("avx512vl");
}

#endif  // SM3_X86_ENGINES

#undef SM3_MEMORY_BARRIER

bool Always() { return true; }

struct Engine {
  SM3Engine id;
  void (*compress)(uint32_t state[8], const unsigned char *data, size_t nblocks);
  bool (*available)();
};

// Slowest first.
constexpr Engine kEngines[] = {
    {SM3Engine::kPortable, CompressBlocksPortableBody, Always},
#if SM3_X86_ENGINES
    {SM3Engine::kAvx2, CompressBlocksAvx2, ProcessorRunsAvx2},
    {SM3Engine::kAvx512, CompressBlocksAvx512, ProcessorRunsAvx512},
#endif
};

const Engine *FindEngine(SM3Engine id) {
  for (const Engine &engine : kEngines) {
    if (engine.id == id) return engine.available() ? &engine : nullptr;
  }
  return nullptr;
}

const Engine &FastestEngine() {
  static const Engine &fastest = []() -> const Engine & {
    const Engine *best = &kEngines[0];
    for (const Engine &engine : kEngines) {
      if (engine.available()) best = &engine;
    }
    return *best;
  }();
  return fastest;
}

// Null until SM3_UseEngine: the fastest then.
std::atomic<const Engine *> g_chosen_engine{nullptr};

const Engine &CurrentEngine() {
  const Engine *chosen = g_chosen_engine.load(std::memory_order_relaxed);
  return chosen != nullptr ? *chosen : FastestEngine();
}

}  // namespace

void SM3_CompressBlocksPortable(uint32_t state[8], const unsigned char *data, size_t nblocks) {
  CompressBlocksPortableBody(state, data, nblocks);
}

void SM3_CompressBlocks(uint32_t state[8], const unsigned char *data, size_t nblocks) {
  CurrentEngine().compress(state, data, nblocks);
}

bool SM3_EngineAvailable(SM3Engine engine) { return FindEngine(engine) != nullptr; }

SM3Engine SM3_CurrentEngine() { return CurrentEngine().id; }

bool SM3_UseEngine(SM3Engine engine) {
  const Engine *found = FindEngine(engine);
  if (found == nullptr) return false;
  g_chosen_engine.store(found, std::memory_order_relaxed);
  return true;
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

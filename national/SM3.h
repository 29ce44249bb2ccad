/* The SM3 hash: a streaming context owned by the caller, a one-call form and the compression. */
#ifndef KELU_SM3_H
#define KELU_SM3_H

#include <cstddef>
#include <cstdint>

namespace kelu {

constexpr size_t kSM3DigestLength = 32;
constexpr size_t kSM3BlockSize = 64;

struct SM3_CTX {
  uint32_t state[8];    // chaining value, word 0 first
  uint64_t nblocks;     // 64-byte blocks compressed so far
  uint8_t block[64];    // bytes that do not yet fill a block
  int num;              // bytes held in block (0..63)
};

// Rotation to the left by n mod 32.
inline uint32_t CROL(uint32_t x, int n) {
  n &= 31;
  return (x << n) | (x >> ((32 - n) & 31));
}

// 1 on success, 0 for a null context (and, for SM3_Update, null data with a non-zero count;
// for SM3_Final, a null output).
int SM3_Init(SM3_CTX *ctx);
int SM3_Update(SM3_CTX *ctx, const void *data, size_t len);
// Pads, writes the 32-byte digest and wipes the block buffer; SM3_Init before the next message.
int SM3_Final(unsigned char *md, SM3_CTX *ctx);

// One compression of a 64-byte block into ctx->state; nblocks is not touched.
void SM3_Compress(SM3_CTX *ctx, const unsigned char *block);
// Compresses nblocks consecutive 64-byte blocks into state with the engine in use (the fastest
// this processor runs, unless SM3_UseEngine chose another); the portable form runs on every
// processor of the build's target.
void SM3_CompressBlocks(uint32_t state[8], const unsigned char *data, size_t nblocks);
void SM3_CompressBlocksPortable(uint32_t state[8], const unsigned char *data, size_t nblocks);

// The compression engines. kAvx2 needs an x86-64 processor with AVX2 and BMI2, kAvx512 one
// with AVX-512F/VL and BMI2 as well; both are found at run time.
enum class SM3Engine { kPortable, kAvx2, kAvx512 };

bool SM3_EngineAvailable(SM3Engine engine);
SM3Engine SM3_CurrentEngine();
// Makes every SM3 of the process use the engine; false, changing nothing, when this processor
// does not run it. For tests and benchmarks.
bool SM3_UseEngine(SM3Engine engine);

// One-call digest into md (32 bytes); returns md, or null for a null md or null data with
// a non-zero count. The context on the stack is wiped before return.
unsigned char *SM3(const unsigned char *data, size_t len, unsigned char *md);

}  // namespace kelu

#endif

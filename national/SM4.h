/* The SM4 block cipher: key schedule, the block transform, CBC steps and whole-buffer modes. */
#ifndef KELU_SM4_H
#define KELU_SM4_H

#include <cstddef>
#include <cstdint>

namespace kelu {

constexpr size_t kSM4BlockSize = 16;
constexpr size_t kSM4KeySize = 16;
constexpr int kSM4Rounds = 32;

extern const uint8_t G_SBOX[256];

// Word-level functions of the standard; each returns 1. Keys and blocks are four words, each
// read big-endian from 4 bytes.
int _SM4_ExtendKey(const uint32_t key[4], uint32_t rk[32]);
// Reverses the schedule in place: encryption round keys become decryption ones and back.
int _SM4_InvertRoundKey(uint32_t rk[32]);
int _SM4_CipherPlaintextTransform(const uint32_t in[4], const uint32_t rk[32], uint32_t out[4]);
// One CBC step: enc != 0 encrypts (in XOR chain), else decrypts; chain is updated.
int _SM4_encrypt(const uint32_t in[4], const uint32_t rk[32], uint32_t chain[4], uint32_t out[4],
                 int enc);

int _SM4_NLTransform(uint32_t a, uint32_t *b);
int _SM4_LTransform(uint32_t b, uint32_t *c);
int _SM4_LDashTransform(uint32_t b, uint32_t *c);
int _SM4_TTransform(uint32_t a, uint32_t *c);
int _SM4_TDashTransform(uint32_t a, uint32_t *c);
int _SM4_FTransform(const uint32_t x[4], uint32_t rk, uint32_t *out);

// One CBC block on bytes; iv receives the new chaining value (the output block when
// encrypting, the input block when decrypting). in and out may be the same buffer.
int SM4_cbc_encrypt(const unsigned char in[16], const uint32_t rk[32], unsigned char iv[16],
                    unsigned char out[16], int enc);

// The round keys of a 16-byte key for one direction (enc != 0: encryption).
void SM4_SetKey(const unsigned char key[16], int enc, uint32_t rk[32]);
// One block on bytes; in and out may be the same buffer.
void SM4_CryptBlock(const unsigned char in[16], unsigned char out[16], const uint32_t rk[32]);
// ECB over nblocks blocks; in and out may be the same buffer.
void SM4_CryptBlocks(const unsigned char *in, unsigned char *out, size_t nblocks,
                     const uint32_t rk[32]);
// CBC over len bytes with the round keys of the direction; iv in and out (the chaining value
// for the next call). 0, with nothing written, when len is not a multiple of 16. in and out
// may be the same buffer.
int SM4_CbcCrypt(const unsigned char *in, unsigned char *out, size_t len, const uint32_t rk[32],
                 unsigned char iv[16], int enc);

}  // namespace kelu

#endif

/* The ZUC stream cipher with a 128-bit key: loading, keystream words and the IV of the
 * confidentiality algorithm. */
#ifndef KELU_ZUC_H
#define KELU_ZUC_H

#include <cstddef>
#include <cstdint>

namespace kelu {

constexpr size_t kZUCKeySize = 16;
constexpr size_t kZUCIvSize = 16;

extern const uint8_t g_sbox0_ZUC[256];
extern const uint8_t g_sbox1_ZUC[256];

// Loads key and IV and runs the 32 initialisation rounds; the state is then ready for the
// first keystream word. LFSR holds the 16 cells s0..s15.
void _ZUC_Initialize(const unsigned char key[16], const unsigned char iv[16], uint32_t *LFSR,
                     uint32_t *R1, uint32_t *R2, uint32_t *X0, uint32_t *X1, uint32_t *X2,
                     uint32_t *X3);
// Advances the state and returns the next keystream word.
uint32_t _ZUC_NextKey(uint32_t *LFSR, uint32_t *R1, uint32_t *R2, uint32_t *X0, uint32_t *X1,
                      uint32_t *X2, uint32_t *X3);
void _ZUC_GenerateKeyStream(uint32_t *LFSR, uint32_t *R1, uint32_t *R2, uint32_t *X0,
                            uint32_t *X1, uint32_t *X2, uint32_t *X3, uint32_t *out,
                            size_t count);
// The 16-byte IV from COUNT, BEARER and DIRECTION into the caller's buffer: COUNT big-endian,
// BEARER << 3 | DIRECTION << 2, three zero bytes, then the first 8 bytes again. 0 for a null
// buffer, else 1.
int _ZUC_ExtendtoIV(uint32_t count, uint32_t bearer, uint32_t direction, unsigned char iv[16]);

// The state of one keystream in a single record, with the bytes of the last keystream word
// that a call did not use (so the output does not depend on how the data is split).
struct ZUC_STATE {
  uint32_t words[22];  // s0..s15, R1, R2, X0..X3
  uint8_t pending[4];  // unused bytes of the last word, at their position in it
  uint32_t pending_count;
};

// 0 for a key or IV length other than 16, else 1.
int ZUC_StateInit(ZUC_STATE *state, const unsigned char *key, size_t key_len,
                  const unsigned char *iv, size_t iv_len);
// XOR of len bytes with the keystream; in and out may be the same buffer.
void ZUC_StateCrypt(ZUC_STATE *state, const unsigned char *in, unsigned char *out, size_t len);

}  // namespace kelu

#endif

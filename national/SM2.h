/* SM2 signatures, encryption (C1C2C3), the SM3 key derivation, Z values and key generation on
 * the SM2 curve (920) and the standard's example curve (921). Scalars and coordinates cross the
 * byte-level functions as 32 bytes, big-endian, left-padded. 1 is success, 0 failure. */
#ifndef KELU_SM2_H
#define KELU_SM2_H

#include <openssl/bn.h>
#include <openssl/ec.h>

#include <cstddef>

namespace kelu {

constexpr int SM2_RAW_RS_SIZE = 64;
constexpr int SM2_C1C2C3_OVERHEAD = 97;  // 0x04, C1.x, C1.y, C3
constexpr int SM2_MAX_ID_LENGTH = 8191;  // the ID's bit length must fit 16 bits
extern const unsigned char kSM2DefaultUserId[16];  // "1234567812345678"

int _SM2_IsAllZero(const unsigned char *bytes, int count);
// floor(bits / 8) bytes of SM3(Z || 1) || SM3(Z || 2) || ...; 0 for 0 bits.
int _SM2_KDF(const unsigned char *z, unsigned zlen, unsigned bits, unsigned char *out);
int _SM2_point_is_on_curve(const BIGNUM *x, const BIGNUM *y, int curve);
int _SM2_Bytes2BN(const unsigned char *bytes, int length, BIGNUM *bn);
int _SM2_GetBNBytes(const BIGNUM *bn, unsigned char out[32]);

// The signature of digest e with private key d; null on failure (the error is queued).
ECDSA_SIG *_SM2_sign(const BIGNUM *e, const BIGNUM *d, int curve);
int _SM2_sign_ex(const unsigned char e[32], const unsigned char d[32], unsigned char r[32],
                 unsigned char s[32]);
// 1 only for a valid signature; 0 otherwise, with an error queued.
int _SM2_verify(const ECDSA_SIG *sig, const BIGNUM *px, const BIGNUM *py, const BIGNUM *e,
                int curve);
int _SM2_verify_ex(const unsigned char r[32], const unsigned char s[32], const unsigned char px[32],
                   const unsigned char py[32], const unsigned char e[32]);

// Writes length + 97 bytes of C1C2C3 cipher text; an empty plaintext fails.
int _SM2_encrypt(int curve, const unsigned char *in, int length, const BIGNUM *px,
                 const BIGNUM *py, unsigned char *out);
// Writes length - 97 bytes of plaintext, and only when C3 matches; nothing is written on any
// failure, and inputs of 97 bytes or less fail at once.
int _SM2_decrypt(int curve, const unsigned char *in, int length, const BIGNUM *d,
                 unsigned char *out);

// Z = SM3(ENTL || ID || a || b || Gx || Gy || Px || Py); IDs of 8192 bytes or more fail.
int _SM2_CalculateZValue(const unsigned char *id, int id_length, const BIGNUM *a, const BIGNUM *b,
                         const BIGNUM *gx, const BIGNUM *gy, const BIGNUM *px, const BIGNUM *py,
                         unsigned char out[32]);
int _SM2_CalculateDefaultZValue(const unsigned char px[32], const unsigned char py[32],
                                unsigned char out[32]);
// Z with an explicit ID on curve 920 or 921.
int _SM2_CalculateZValue_byCurve_ex(int curve, const unsigned char *id, int id_length,
                                    const unsigned char px[32], const unsigned char py[32],
                                    unsigned char out[32]);
int _SM2_CalculateZValue_byCurve(int curve, const unsigned char *id, int id_length,
                                 const BIGNUM *px, const BIGNUM *py, unsigned char out[32]);

// d uniform in [1, n-1] and (X, Y) = [d]G.
int _SM2_generate_key(BIGNUM *d, BIGNUM *x, BIGNUM *y, int curve);
int _SM2_generate_keypair(unsigned char d[32], unsigned char x[32], unsigned char y[32]);

// The SM3 key derivation into out_len bytes (any length; the bit count of _SM2_KDF is 32 bits).
int SM2_KdfBytes(const unsigned char *z, size_t zlen, unsigned char *out, size_t out_len);
// A random scalar in [1, n-1] (from the test source when one is set).
int SM2_RandomScalar(BIGNUM *k, const BIGNUM *order);

// Test-only: the signature, encryption, key-generation and ephemeral-key functions take their
// random scalars from source (null restores the generator). A source writes a value in [1, n-1]
// and returns 1.
using SM2ScalarSource = int (*)(BIGNUM *k, const BIGNUM *order, void *arg);
void SM2_SetScalarSourceForTesting(SM2ScalarSource source, void *arg);

}  // namespace kelu

#endif

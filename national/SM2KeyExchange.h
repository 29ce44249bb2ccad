/* The SM2 key agreement: two parties with a static and an ephemeral key pair each derive the
 * same key from the other's two public points. The initiator's Z value goes first into the key
 * derivation. 1 is success, 0 failure. */
#ifndef KELU_SM2_KEY_EXCHANGE_H
#define KELU_SM2_KEY_EXCHANGE_H

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>

#include <cstddef>

namespace kelu {

constexpr int kSM2KepW = 127;  // low bits of x kept in x-bar, for both 256-bit curves

// Own ephemeral (x, y, r), own static (x, y, d), the first Z, the peer's ephemeral and static
// points, the second Z; writes key_bits / 8 bytes (0 bits fail). Own y values are not read.
int _SM2_KEP(int curve, const BIGNUM *own_eph_x, const BIGNUM *own_eph_y, const BIGNUM *r,
             const BIGNUM *own_x, const BIGNUM *own_y, const BIGNUM *d, const unsigned char z1[32],
             const BIGNUM *peer_eph_x, const BIGNUM *peer_eph_y, const BIGNUM *peer_x,
             const BIGNUM *peer_y, const unsigned char z2[32], unsigned key_bits,
             unsigned char *out);
int _SM2_KEP_ex(int curve, const unsigned char own_eph_x[32], const unsigned char own_eph_y[32],
                const unsigned char r[32], const unsigned char own_x[32],
                const unsigned char own_y[32], const unsigned char d[32],
                const unsigned char z1[32], const unsigned char peer_eph_x[32],
                const unsigned char peer_eph_y[32], const unsigned char peer_x[32],
                const unsigned char peer_y[32], const unsigned char z2[32], unsigned key_bits,
                unsigned char *out);

// On the library's types: the peer's points (of the SM2 curve's group) and own SM2 keys with
// their private keys; both Z values with the default user ID; initiator 1 or 0.
int sm2kep_compute_key(unsigned char *out, size_t out_len, const EC_POINT *peer_eph,
                       const EC_POINT *peer_static, const EVP_PKEY *own_eph,
                       const EVP_PKEY *own_static, int initiator);

// An ephemeral key pair: r in [1, n-1], (x, y) = [r]G.
int _SM2_generate_temp_keypair(BIGNUM *r, BIGNUM *x, BIGNUM *y, int curve);

// x-bar = 2^w + (x AND (2^w - 1)).
int _SM2_KEP_calculate_xDash(BIGNUM *out, const BIGNUM *x, int w);
int _SM2_BNBitAND(BIGNUM *out, const BIGNUM *a, const BIGNUM *b);
// t = (d + x-bar * r) mod n.
int _SM2_KEP_calculate_t(BIGNUM *out, const BIGNUM *d, const BIGNUM *x_dash, const BIGNUM *r,
                         const BIGNUM *n);
// V = [h t](P + [x-bar] R); 0 for the point at infinity or a point off the curve.
int _SM2_KEP_calculate_point_V(BIGNUM *vx, BIGNUM *vy, const BIGNUM *peer_x,
                               const BIGNUM *peer_y, const BIGNUM *peer_eph_x,
                               const BIGNUM *peer_eph_y, const BIGNUM *h, const BIGNUM *t,
                               const BIGNUM *x_dash_peer, int curve);
// The smallest c >= 1 with 2^c >= n; 0 for n below 2.
int _SM2_log2n(const BIGNUM *n, int *count);

}  // namespace kelu

#endif

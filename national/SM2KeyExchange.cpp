#include "SM2KeyExchange.h"

#include <openssl/crypto.h>
#include <openssl/err.h>

#include <cstring>

#include "NationalObjects.h"
#include "OsslPtr.h"
#include "SM2.h"
#include "SM2Arithmetic.h"
#include "SM2Keys.h"

namespace kelu {
namespace {

bool ToBytes32(const BIGNUM *bn, unsigned char out[32]) { return _SM2_GetBNBytes(bn, out) == 1; }

BIGNUM *FromBytes32(const unsigned char *b) { return b ? BN_bin2bn(b, 32, nullptr) : nullptr; }

// Wiped on every path: t, the intermediate points and V are all secret.
struct SecretBytes {
  unsigned char t[32], q[64], v[128];
  ~SecretBytes() { OPENSSL_cleanse(this, sizeof *this); }
};

// V = [t](P + [x-bar] R) with h = 1; x-bar is public (it comes from R), t is secret.
bool PointV(const CurveArithmetic &arith, const unsigned char t[32], const unsigned char xdash[32],
            const unsigned char px[32], const unsigned char py[32], const unsigned char rx[32],
            const unsigned char ry[32], unsigned char v[64]) {
  unsigned char xr[64], q[64];
  if (!arith.IsOnCurve(px, py) || !arith.IsOnCurve(rx, ry)) return false;
  if (!arith.MulPoint(xdash, rx, ry, xr, xr + 32)) return false;
  if (!arith.AddPoints(px, py, xr, xr + 32, q, q + 32)) return false;
  bool ok = arith.MulPoint(t, q, q + 32, v, v + 32);
  OPENSSL_cleanse(q, sizeof q);
  return ok;
}

}  // namespace

int _SM2_BNBitAND(BIGNUM *out, const BIGNUM *a, const BIGNUM *b) {
  if (out == nullptr || a == nullptr || b == nullptr) return 0;
  int bits = BN_num_bits(a) < BN_num_bits(b) ? BN_num_bits(a) : BN_num_bits(b);
  BN_zero(out);
  for (int i = 0; i < bits; ++i)
    if (BN_is_bit_set(a, i) && BN_is_bit_set(b, i) && BN_set_bit(out, i) != 1) return 0;
  return 1;
}

int _SM2_KEP_calculate_xDash(BIGNUM *out, const BIGNUM *x, int w) {
  if (out == nullptr || x == nullptr || w < 1) return 0;
  if (BN_copy(out, x) == nullptr) return 0;
  if (BN_num_bits(out) > w && BN_mask_bits(out, w) != 1) return 0;
  return BN_set_bit(out, w);
}

int _SM2_KEP_calculate_t(BIGNUM *out, const BIGNUM *d, const BIGNUM *x_dash, const BIGNUM *r,
                         const BIGNUM *n) {
  if (out == nullptr || d == nullptr || x_dash == nullptr || r == nullptr || n == nullptr)
    return 0;
  BnCtxPtr ctx(BN_CTX_new());
  SecretBignumPtr xr(BN_new());
  return ctx && xr && BN_mod_mul(xr.get(), x_dash, r, n, ctx.get()) == 1 &&
                 BN_mod_add(out, d, xr.get(), n, ctx.get()) == 1
             ? 1
             : 0;
}

int _SM2_KEP_calculate_point_V(BIGNUM *vx, BIGNUM *vy, const BIGNUM *peer_x,
                               const BIGNUM *peer_y, const BIGNUM *peer_eph_x,
                               const BIGNUM *peer_eph_y, const BIGNUM *h, const BIGNUM *t,
                               const BIGNUM *x_dash_peer, int curve) {
  const CurveArithmetic *arith =
      curve == NID_prime256v1SM2 || curve == NID_prime256v1SM2TEST ? CurveArithmeticFor(curve)
                                                                    : nullptr;
  if (arith == nullptr || vx == nullptr || vy == nullptr || h == nullptr || t == nullptr) return 0;
  BnCtxPtr ctx(BN_CTX_new());
  SecretBignumPtr ht(BN_new());
  if (!ctx || !ht || BN_mod_mul(ht.get(), h, t, arith->order(), ctx.get()) != 1) return 0;
  SecretBytes s;
  unsigned char px[32], py[32], rx[32], ry[32], xd[32];
  if (!ToBytes32(ht.get(), s.t) || !ToBytes32(peer_x, px) || !ToBytes32(peer_y, py) ||
      !ToBytes32(peer_eph_x, rx) || !ToBytes32(peer_eph_y, ry) || !ToBytes32(x_dash_peer, xd) ||
      !PointV(*arith, s.t, xd, px, py, rx, ry, s.v))
    return 0;
  return BN_bin2bn(s.v, 32, vx) != nullptr && BN_bin2bn(s.v + 32, 32, vy) != nullptr ? 1 : 0;
}

int _SM2_log2n(const BIGNUM *n, int *count) {
  if (n == nullptr || count == nullptr || BN_is_negative(n) || BN_cmp(n, BN_value_one()) <= 0)
    return 0;
  BignumPtr m(BN_dup(n));
  if (!m || BN_sub_word(m.get(), 1) != 1) return 0;
  int bits = BN_num_bits(m.get());  // 2^c >= n  <=>  c >= bits of n - 1
  *count = bits < 1 ? 1 : bits;
  return 1;
}

int _SM2_KEP(int curve, const BIGNUM *own_eph_x, const BIGNUM *, const BIGNUM *r,
             const BIGNUM *, const BIGNUM *, const BIGNUM *d, const unsigned char z1[32],
             const BIGNUM *peer_eph_x, const BIGNUM *peer_eph_y, const BIGNUM *peer_x,
             const BIGNUM *peer_y, const unsigned char z2[32], unsigned key_bits,
             unsigned char *out) {
  const CurveArithmetic *arith =
      curve == NID_prime256v1SM2 || curve == NID_prime256v1SM2TEST ? CurveArithmeticFor(curve)
                                                                    : nullptr;
  if (arith == nullptr || own_eph_x == nullptr || r == nullptr || d == nullptr ||
      z1 == nullptr || peer_eph_x == nullptr || z2 == nullptr || out == nullptr ||
      key_bits / 8 == 0)
    return 0;
  BnCtxPtr ctx(BN_CTX_new());
  BignumPtr x1(BN_new()), x2(BN_new());
  SecretBignumPtr t(BN_new());
  if (!ctx || !x1 || !x2 || !t) return 0;
  SecretBytes s;
  unsigned char px[32], py[32], rx[32], ry[32], xd[32];
  if (_SM2_KEP_calculate_xDash(x1.get(), own_eph_x, kSM2KepW) != 1 ||
      _SM2_KEP_calculate_t(t.get(), d, x1.get(), r, arith->order()) != 1 ||
      _SM2_KEP_calculate_xDash(x2.get(), peer_eph_x, kSM2KepW) != 1 || !ToBytes32(t.get(), s.t) ||
      !ToBytes32(x2.get(), xd) || !ToBytes32(peer_x, px) || !ToBytes32(peer_y, py) ||
      !ToBytes32(peer_eph_x, rx) || !ToBytes32(peer_eph_y, ry) ||
      !PointV(*arith, s.t, xd, px, py, rx, ry, s.v))
    return 0;
  // KDF(V.x || V.y || first Z || second Z)
  std::memcpy(s.v + 64, z1, 32);
  std::memcpy(s.v + 96, z2, 32);
  return SM2_KdfBytes(s.v, sizeof s.v, out, key_bits / 8);
}

int _SM2_KEP_ex(int curve, const unsigned char own_eph_x[32], const unsigned char own_eph_y[32],
                const unsigned char r[32], const unsigned char own_x[32],
                const unsigned char own_y[32], const unsigned char d[32],
                const unsigned char z1[32], const unsigned char peer_eph_x[32],
                const unsigned char peer_eph_y[32], const unsigned char peer_x[32],
                const unsigned char peer_y[32], const unsigned char z2[32], unsigned key_bits,
                unsigned char *out) {
  BignumPtr ex(FromBytes32(own_eph_x)), ey(FromBytes32(own_eph_y)), ox(FromBytes32(own_x)),
      oy(FromBytes32(own_y)), pex(FromBytes32(peer_eph_x)), pey(FromBytes32(peer_eph_y)),
      px(FromBytes32(peer_x)), py(FromBytes32(peer_y));
  SecretBignumPtr rb(FromBytes32(r)), db(FromBytes32(d));
  if (!ex || !rb || !db || !pex || !pey || !px || !py) return 0;
  return _SM2_KEP(curve, ex.get(), ey.get(), rb.get(), ox.get(), oy.get(), db.get(), z1, pex.get(),
                  pey.get(), px.get(), py.get(), z2, key_bits, out);
}

int _SM2_generate_temp_keypair(BIGNUM *r, BIGNUM *x, BIGNUM *y, int curve) {
  return _SM2_generate_key(r, x, y, curve);
}

namespace {

bool PointBytes(const EC_GROUP *group, const EC_POINT *p, unsigned char x[32], unsigned char y[32]) {
  BnCtxPtr ctx(BN_CTX_new());
  BignumPtr bx(BN_new()), by(BN_new());
  return ctx && bx && by &&
         EC_POINT_get_affine_coordinates(group, p, bx.get(), by.get(), ctx.get()) == 1 &&
         ToBytes32(bx.get(), x) && ToBytes32(by.get(), y);
}

}  // namespace

int sm2kep_compute_key(unsigned char *out, size_t out_len, const EC_POINT *peer_eph,
                       const EC_POINT *peer_static, const EVP_PKEY *own_eph,
                       const EVP_PKEY *own_static, int initiator) {
  const CurveArithmetic *arith = CurveArithmeticFor(NID_prime256v1SM2);
  if (out == nullptr || out_len == 0 || out_len > 0x1FFFFFFF || peer_eph == nullptr ||
      peer_static == nullptr || own_eph == nullptr || own_static == nullptr || arith == nullptr)
    return 0;
  struct Own {
    unsigned char r[32], ex[32], ey[32], d[32], x[32], y[32];
    ~Own() { OPENSSL_cleanse(this, sizeof *this); }
  } own;
  if (SM2_GetPrivateKeyBytes(own_eph, own.r) != 1 || SM2_GetPrivateKeyBytes(own_static, own.d) != 1) {
    ERR_raise(ERR_LIB_EC, EC_R_NO_PRIVATE_VALUE);
    return 0;
  }
  unsigned char prx[32], pry[32], px[32], py[32];
  if (SM2_GetPublicKeyBytes(own_eph, own.ex, own.ey) != 1 ||
      SM2_GetPublicKeyBytes(own_static, own.x, own.y) != 1 ||
      !PointBytes(arith->group(), peer_eph, prx, pry) ||
      !PointBytes(arith->group(), peer_static, px, py)) {
    ERR_raise(ERR_LIB_EC, EC_R_POINT_ARITHMETIC_FAILURE);
    return 0;
  }
  unsigned char z_own[32], z_peer[32];
  if (_SM2_CalculateDefaultZValue(own.x, own.y, z_own) != 1 ||
      _SM2_CalculateDefaultZValue(px, py, z_peer) != 1)
    return 0;
  const unsigned char *z1 = initiator ? z_own : z_peer;
  const unsigned char *z2 = initiator ? z_peer : z_own;
  if (_SM2_KEP_ex(NID_prime256v1SM2, own.ex, own.ey, own.r, own.x, own.y, own.d, z1, prx, pry, px,
                  py, z2, static_cast<unsigned>(out_len * 8), out) != 1) {
    ERR_raise_data(ERR_LIB_EC, ERR_R_EC_LIB, "KDF failed");
    return 0;
  }
  return 1;
}

}  // namespace kelu

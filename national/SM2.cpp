#include "SM2.h"

#include <openssl/crypto.h>
#include <openssl/err.h>

#include <atomic>
#include <climits>
#include <initializer_list>
#include <cstring>
#include <memory>
#include <new>

#include "NationalObjects.h"
#include "OsslPtr.h"
#include "SM2Arithmetic.h"
#include "SM2Order.h"
#include "SM3.h"

namespace kelu {

const unsigned char kSM2DefaultUserId[16] = {'1', '2', '3', '4', '5', '6', '7', '8',
                                             '1', '2', '3', '4', '5', '6', '7', '8'};

namespace {

constexpr size_t kN = kSM2FieldBytes;

std::atomic<SM2ScalarSource> g_scalar_source{nullptr};
std::atomic<void *> g_scalar_source_arg{nullptr};

// Wipes a secret buffer of fixed size when it goes out of scope.
template <size_t N>
struct Secret {
  unsigned char bytes[N];
  ~Secret() { OPENSSL_cleanse(bytes, N); }
};

// A scratch buffer that is wiped and freed on every path.
class SecretBuffer {
 public:
  explicit SecretBuffer(size_t n) : p_(new (std::nothrow) unsigned char[n == 0 ? 1 : n]), n_(n) {}
  ~SecretBuffer() {
    if (p_ != nullptr) {
      OPENSSL_cleanse(p_, n_);
      delete[] p_;
    }
  }
  SecretBuffer(const SecretBuffer &) = delete;
  SecretBuffer &operator=(const SecretBuffer &) = delete;
  unsigned char *get() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  unsigned char *p_;
  size_t n_;
};

bool ToBytes32(const BIGNUM *bn, unsigned char out[32]) {
  if (bn == nullptr || BN_is_negative(bn) || BN_num_bytes(bn) > static_cast<int>(kN)) return false;
  return BN_bn2binpad(bn, out, kN) == static_cast<int>(kN);
}

const CurveArithmetic *ArithmeticOf(int curve) {
  if (curve != NID_prime256v1SM2 && curve != NID_prime256v1SM2TEST) return nullptr;
  return CurveArithmeticFor(curve);
}

bool AllZero(const unsigned char *p, size_t n) {
  unsigned char acc = 0;
  for (size_t i = 0; i < n; ++i) acc |= p[i];
  return acc == 0;
}

void Sm3OfPointAndData(const unsigned char x2[32], const unsigned char *data, size_t len,
                       const unsigned char y2[32], unsigned char out[32]) {
  SM3_CTX ctx;
  SM3_Init(&ctx);
  SM3_Update(&ctx, x2, kN);
  SM3_Update(&ctx, data, len);
  SM3_Update(&ctx, y2, kN);
  SM3_Final(out, &ctx);
  OPENSSL_cleanse(&ctx, sizeof ctx);
}

// The fields of a curve as 32-byte values (a, b, Gx, Gy), from the curve table.
struct CurveFields {
  unsigned char a[32], b[32], gx[32], gy[32];
};

bool HexTo32(const char *hex, unsigned char out[32]) {
  BIGNUM *bn = nullptr;
  if (BN_hex2bn(&bn, hex) == 0) return false;
  bool ok = ToBytes32(bn, out);
  BN_free(bn);
  return ok;
}

CurveFields *MakeFields(int curve) {
  auto *f = new CurveFields;
  const NationalCurve *c = FindNationalCurve(curve);
  bool ok = HexTo32(c->a, f->a) && HexTo32(c->b, f->b) && HexTo32(c->gx, f->gx) &&
            HexTo32(c->gy, f->gy);
  if (!ok) {
    delete f;
    return nullptr;
  }
  return f;
}

// Lives as long as the process.
const CurveFields *FieldsOf(int curve) {
  static const CurveFields *const sm2 = MakeFields(NID_prime256v1SM2);
  static const CurveFields *const test = MakeFields(NID_prime256v1SM2TEST);
  if (curve == NID_prime256v1SM2) return sm2;
  if (curve == NID_prime256v1SM2TEST) return test;
  return nullptr;
}

// Z on 32-byte values; the one place where the Z layout is written.
bool ZValue(const unsigned char *id, int id_length, const unsigned char a[32],
            const unsigned char b[32], const unsigned char gx[32], const unsigned char gy[32],
            const unsigned char px[32], const unsigned char py[32], unsigned char out[32]) {
  if (id_length < 0 || id_length > SM2_MAX_ID_LENGTH || (id == nullptr && id_length > 0) ||
      out == nullptr)
    return false;
  unsigned bits = static_cast<unsigned>(id_length) * 8;
  unsigned char entl[2] = {static_cast<unsigned char>(bits >> 8), static_cast<unsigned char>(bits)};
  SM3_CTX ctx;
  SM3_Init(&ctx);
  SM3_Update(&ctx, entl, 2);
  SM3_Update(&ctx, id, static_cast<size_t>(id_length));
  for (const unsigned char *v : {a, b, gx, gy, px, py}) SM3_Update(&ctx, v, kN);
  SM3_Final(out, &ctx);
  return true;
}

bool RandomScalarBytes(const BIGNUM *order, BN_CTX *ctx, unsigned char out[32]) {
  BN_CTX_start(ctx);
  BIGNUM *k = BN_CTX_get(ctx);
  bool ok = k != nullptr && SM2_RandomScalar(k, order) == 1 && ToBytes32(k, out);
  if (k != nullptr) BN_clear(k);
  BN_CTX_end(ctx);
  return ok;
}

}  // namespace

void SM2_SetScalarSourceForTesting(SM2ScalarSource source, void *arg) {
  g_scalar_source_arg.store(arg);
  g_scalar_source.store(source);
}

int SM2_RandomScalar(BIGNUM *k, const BIGNUM *order) {
  if (k == nullptr || order == nullptr) return 0;
  SM2ScalarSource source = g_scalar_source.load();
  if (source != nullptr) return source(k, order, g_scalar_source_arg.load());
  do {
    if (BN_priv_rand_range(k, order) != 1) return 0;
  } while (BN_is_zero(k));
  return 1;
}

int _SM2_IsAllZero(const unsigned char *bytes, int count) {
  if (count <= 0) return 1;
  if (bytes == nullptr) return 0;
  return AllZero(bytes, static_cast<size_t>(count)) ? 1 : 0;
}

int SM2_KdfBytes(const unsigned char *z, size_t zlen, unsigned char *out, size_t out_len) {
  if ((z == nullptr && zlen > 0) || out == nullptr || out_len == 0) return 0;
  Secret<32> block;
  uint32_t counter = 1;
  for (size_t done = 0; done < out_len; done += kN, ++counter) {
    unsigned char ct[4] = {static_cast<unsigned char>(counter >> 24),
                           static_cast<unsigned char>(counter >> 16),
                           static_cast<unsigned char>(counter >> 8),
                           static_cast<unsigned char>(counter)};
    SM3_CTX ctx;
    SM3_Init(&ctx);
    SM3_Update(&ctx, z, zlen);
    SM3_Update(&ctx, ct, 4);
    SM3_Final(block.bytes, &ctx);
    OPENSSL_cleanse(&ctx, sizeof ctx);
    size_t n = out_len - done < kN ? out_len - done : kN;
    std::memcpy(out + done, block.bytes, n);
  }
  return 1;
}

int _SM2_KDF(const unsigned char *z, unsigned zlen, unsigned bits, unsigned char *out) {
  if (bits / 8 == 0) return 0;  // nothing to derive is a failure, not an empty success
  return SM2_KdfBytes(z, zlen, out, bits / 8);
}

int _SM2_point_is_on_curve(const BIGNUM *x, const BIGNUM *y, int curve) {
  const CurveArithmetic *arith = ArithmeticOf(curve);
  unsigned char px[32], py[32];
  if (arith == nullptr || !ToBytes32(x, px) || !ToBytes32(y, py)) return 0;
  return arith->IsOnCurve(px, py) ? 1 : 0;
}

int _SM2_Bytes2BN(const unsigned char *bytes, int length, BIGNUM *bn) {
  if (bytes == nullptr || bn == nullptr || length < 0) return 0;
  int n = length < static_cast<int>(kN) ? length : static_cast<int>(kN);
  return BN_bin2bn(bytes, n, bn) != nullptr ? 1 : 0;
}

int _SM2_GetBNBytes(const BIGNUM *bn, unsigned char out[32]) {
  if (out == nullptr) return 0;
  std::memset(out, 0, kN);
  if (!ToBytes32(bn, out)) {
    std::memset(out, 0, kN);
    return 0;
  }
  return 1;
}

namespace {

// (1 + d)^-1 mod n in constant time (d is secret). On the SM2 curve the order's own arithmetic
// takes some 40% less time than the library's constant-time inverse; a value it refuses (not
// below n) goes to the library as before.
bool InverseOfOnePlusD(BIGNUM *inv, BIGNUM *one_d, const BIGNUM *n, int curve, BN_CTX *ctx) {
  Secret<32> in, out;
  if (curve == NID_prime256v1SM2 && ToBytes32(one_d, in.bytes) &&
      SM2OrderInverse(in.bytes, out.bytes))
    return BN_bin2bn(out.bytes, kN, inv) != nullptr;
  BN_set_flags(one_d, BN_FLG_CONSTTIME);
  return BN_mod_inverse(inv, one_d, n, ctx) != nullptr;
}

// s = (1 + d)^-1 (k - r d) mod n.
bool SignatureS(BIGNUM *s, const BIGNUM *k, const BIGNUM *r, const BIGNUM *d, const BIGNUM *n,
                int curve, BN_CTX *ctx) {
  BN_CTX_start(ctx);
  BIGNUM *one_d = BN_CTX_get(ctx), *inv = BN_CTX_get(ctx), *rd = BN_CTX_get(ctx);
  bool ok = rd != nullptr && BN_copy(one_d, d) != nullptr && BN_add_word(one_d, 1) == 1;
  if (ok) {
    ok = InverseOfOnePlusD(inv, one_d, n, curve, ctx) && BN_mod_mul(rd, r, d, n, ctx) == 1 &&
         BN_mod_sub(s, k, rd, n, ctx) == 1 && BN_mod_mul(s, s, inv, n, ctx) == 1;
  }
  if (one_d != nullptr) BN_clear(one_d);
  if (inv != nullptr) BN_clear(inv);
  if (rd != nullptr) BN_clear(rd);
  BN_CTX_end(ctx);
  return ok;
}

}  // namespace

ECDSA_SIG *_SM2_sign(const BIGNUM *e, const BIGNUM *d, int curve) {
  if (e == nullptr || d == nullptr ||
      (curve != NID_prime256v1SM2 && curve != NID_prime256v1SM2TEST)) {
    ERR_raise(ERR_LIB_ECDSA, ERR_R_PASSED_NULL_PARAMETER);
    return nullptr;
  }
  const CurveArithmetic *arith = ArithmeticOf(curve);
  if (arith == nullptr) {
    ERR_raise(ERR_LIB_EC, EC_R_INVALID_CURVE);
    return nullptr;
  }
  const BIGNUM *n = arith->order();
  BnCtxPtr ctx(BN_CTX_new());
  BignumPtr r(BN_new()), s(BN_new());
  SecretBignumPtr k(BN_secure_new());
  if (!ctx || !r || !s || !k) {
    ERR_raise(ERR_LIB_ECDSA, ERR_R_MALLOC_FAILURE);
    return nullptr;
  }
  BN_CTX_start(ctx.get());
  BIGNUM *x1 = BN_CTX_get(ctx.get()), *rk = BN_CTX_get(ctx.get());
  ECDSA_SIG *sig = nullptr;
  bool failed = false;
  Secret<32> kb;
  unsigned char x1b[32], y1b[32];
  for (int attempt = 0; attempt < 64 && sig == nullptr; ++attempt) {
    if (rk == nullptr || SM2_RandomScalar(k.get(), n) != 1 || !ToBytes32(k.get(), kb.bytes)) {
      ERR_raise(ERR_LIB_EC, EC_R_RANDOM_NUMBER_GENERATION_FAILED);
      failed = true;
      break;
    }
    if (!arith->MulBase(kb.bytes, x1b, y1b) || BN_bin2bn(x1b, kN, x1) == nullptr) {
      ERR_raise(ERR_LIB_ECDSA, ERR_R_EC_LIB);
      failed = true;
      break;
    }
    if (BN_mod_add(r.get(), e, x1, n, ctx.get()) != 1 || BN_add(rk, r.get(), k.get()) != 1) {
      ERR_raise(ERR_LIB_ECDSA, ERR_R_BN_LIB);
      failed = true;
      break;
    }
    if (BN_is_zero(r.get()) || BN_cmp(rk, n) == 0) continue;
    if (!SignatureS(s.get(), k.get(), r.get(), d, n, curve, ctx.get())) {
      ERR_raise(ERR_LIB_ECDSA, ERR_R_BN_LIB);
      failed = true;
      break;
    }
    if (BN_is_zero(s.get())) continue;
    sig = ECDSA_SIG_new();
    if (sig == nullptr) {
      ERR_raise(ERR_LIB_ECDSA, ERR_R_MALLOC_FAILURE);
      failed = true;
      break;
    }
    ECDSA_SIG_set0(sig, r.release(), s.release());
  }
  // Only a broken random source fails 64 draws in a row.
  if (sig == nullptr && !failed) ERR_raise(ERR_LIB_EC, EC_R_RANDOM_NUMBER_GENERATION_FAILED);
  if (rk != nullptr) BN_clear(rk);
  BN_CTX_end(ctx.get());
  return sig;
}

int _SM2_sign_ex(const unsigned char e[32], const unsigned char d[32], unsigned char r[32],
                 unsigned char s[32]) {
  if (e == nullptr || d == nullptr || r == nullptr || s == nullptr) return 0;
  BignumPtr eb(BN_bin2bn(e, kN, nullptr));
  SecretBignumPtr db(BN_bin2bn(d, kN, nullptr));
  if (!eb || !db) return 0;
  ECDSA_SIG *sig = _SM2_sign(eb.get(), db.get(), NID_prime256v1SM2);
  if (sig == nullptr) return 0;
  const BIGNUM *sr = nullptr, *ss = nullptr;
  ECDSA_SIG_get0(sig, &sr, &ss);
  bool ok = _SM2_GetBNBytes(sr, r) == 1 && _SM2_GetBNBytes(ss, s) == 1;
  ECDSA_SIG_free(sig);
  return ok ? 1 : 0;
}

int _SM2_verify(const ECDSA_SIG *sig, const BIGNUM *px, const BIGNUM *py, const BIGNUM *e,
                int curve) {
  if (sig == nullptr || px == nullptr || py == nullptr || e == nullptr ||
      (curve != NID_prime256v1SM2 && curve != NID_prime256v1SM2TEST)) {
    ERR_raise(ERR_LIB_ECDSA, ERR_R_PASSED_NULL_PARAMETER);
    return 0;
  }
  const CurveArithmetic *arith = ArithmeticOf(curve);
  if (arith == nullptr) {
    ERR_raise(ERR_LIB_EC, EC_R_INVALID_CURVE);
    return 0;
  }
  const BIGNUM *n = arith->order();
  const BIGNUM *r = nullptr, *s = nullptr;
  ECDSA_SIG_get0(sig, &r, &s);
  // r and s in [1, n-1]; anything longer than the order is out of range, not an overflow.
  if (r == nullptr || s == nullptr || BN_is_negative(r) || BN_is_negative(s) || BN_is_zero(r) ||
      BN_is_zero(s) || BN_cmp(r, n) >= 0 || BN_cmp(s, n) >= 0) {
    ERR_raise(ERR_LIB_ECDSA, ERR_R_EC_LIB);
    return 0;
  }
  BnCtxPtr ctx(BN_CTX_new());
  BignumPtr t(BN_new()), r_minus_e(BN_new());
  unsigned char sb[32], tb[32], pxb[32], pyb[32], cb[32];
  if (!ctx || !t || !r_minus_e) {
    ERR_raise(ERR_LIB_ECDSA, ERR_R_MALLOC_FAILURE);
    return 0;
  }
  // (e + x1) mod n = r, with r below n, is x1 = r - e mod n.
  bool valid = BN_mod_add(t.get(), r, s, n, ctx.get()) == 1 && !BN_is_zero(t.get()) &&
               BN_mod_sub(r_minus_e.get(), r, e, n, ctx.get()) == 1 && ToBytes32(s, sb) &&
               ToBytes32(t.get(), tb) && ToBytes32(px, pxb) && ToBytes32(py, pyb) &&
               ToBytes32(r_minus_e.get(), cb) &&
               arith->MulBaseAddPointXModOrderIs(sb, tb, pxb, pyb, cb);
  if (!valid) {
    ERR_raise(ERR_LIB_ECDSA, ERR_R_EC_LIB);
    return 0;
  }
  return 1;
}

int _SM2_verify_ex(const unsigned char r[32], const unsigned char s[32], const unsigned char px[32],
                   const unsigned char py[32], const unsigned char e[32]) {
  if (r == nullptr || s == nullptr || px == nullptr || py == nullptr || e == nullptr) return 0;
  ECDSA_SIG *sig = ECDSA_SIG_new();
  BignumPtr rb(BN_bin2bn(r, kN, nullptr)), sb(BN_bin2bn(s, kN, nullptr));
  BignumPtr xb(BN_bin2bn(px, kN, nullptr)), yb(BN_bin2bn(py, kN, nullptr));
  BignumPtr eb(BN_bin2bn(e, kN, nullptr));
  if (sig == nullptr || !rb || !sb || !xb || !yb || !eb) {
    ECDSA_SIG_free(sig);
    return 0;
  }
  ECDSA_SIG_set0(sig, rb.release(), sb.release());
  int ok = _SM2_verify(sig, xb.get(), yb.get(), eb.get(), NID_prime256v1SM2);
  ECDSA_SIG_free(sig);
  return ok;
}

int _SM2_encrypt(int curve, const unsigned char *in, int length, const BIGNUM *px,
                 const BIGNUM *py, unsigned char *out) {
  const CurveArithmetic *arith = ArithmeticOf(curve);
  unsigned char pxb[32], pyb[32];
  if (arith == nullptr || in == nullptr || out == nullptr || length <= 0 ||
      length > INT_MAX - SM2_C1C2C3_OVERHEAD || !ToBytes32(px, pxb) || !ToBytes32(py, pyb) ||
      !arith->IsOnCurve(pxb, pyb))
    return 0;
  size_t m = static_cast<size_t>(length);
  SecretBuffer t(m);
  BnCtxPtr ctx(BN_CTX_new());
  if (!t || !ctx) return 0;
  Secret<32> k;
  Secret<64> x2y2;
  unsigned char c1[64];
  bool derived = false;
  for (int attempt = 0; attempt < 64 && !derived; ++attempt) {
    if (!RandomScalarBytes(arith->order(), ctx.get(), k.bytes) ||
        !arith->MulBase(k.bytes, c1, c1 + 32) ||
        !arith->MulPoint(k.bytes, pxb, pyb, x2y2.bytes, x2y2.bytes + 32) ||
        SM2_KdfBytes(x2y2.bytes, 64, t.get(), m) != 1)
      return 0;
    derived = !AllZero(t.get(), m);  // an all-zero key stream means another k
  }
  if (!derived) return 0;
  unsigned char c3[32];
  Sm3OfPointAndData(x2y2.bytes, in, m, x2y2.bytes + 32, c3);
  out[0] = 0x04;
  std::memcpy(out + 1, c1, 64);
  for (size_t i = 0; i < m; ++i) out[65 + i] = static_cast<unsigned char>(in[i] ^ t.get()[i]);
  std::memcpy(out + 65 + m, c3, 32);
  return 1;
}

int _SM2_decrypt(int curve, const unsigned char *in, int length, const BIGNUM *d,
                 unsigned char *out) {
  if (length <= SM2_C1C2C3_OVERHEAD || in == nullptr || out == nullptr || d == nullptr) return 0;
  const CurveArithmetic *arith = ArithmeticOf(curve);
  Secret<32> db;
  if (arith == nullptr || in[0] != 0x04 || !ToBytes32(d, db.bytes)) return 0;
  size_t m = static_cast<size_t>(length) - SM2_C1C2C3_OVERHEAD;
  const unsigned char *c1 = in + 1, *c2 = in + 65, *c3 = in + 65 + m;
  // C1 on the curve; [h]C1 is C1 itself (cofactor 1), so it is not the point at infinity.
  if (!arith->IsOnCurve(c1, c1 + 32)) return 0;
  Secret<64> x2y2;
  if (!arith->MulPoint(db.bytes, c1, c1 + 32, x2y2.bytes, x2y2.bytes + 32)) return 0;
  SecretBuffer plain(m);
  if (!plain || SM2_KdfBytes(x2y2.bytes, 64, plain.get(), m) != 1 || AllZero(plain.get(), m))
    return 0;
  for (size_t i = 0; i < m; ++i) plain.get()[i] ^= c2[i];
  unsigned char u[32];
  Sm3OfPointAndData(x2y2.bytes, plain.get(), m, x2y2.bytes + 32, u);
  if (CRYPTO_memcmp(u, c3, 32) != 0) return 0;
  std::memcpy(out, plain.get(), m);
  return 1;
}

int _SM2_CalculateZValue(const unsigned char *id, int id_length, const BIGNUM *a, const BIGNUM *b,
                         const BIGNUM *gx, const BIGNUM *gy, const BIGNUM *px, const BIGNUM *py,
                         unsigned char out[32]) {
  unsigned char ab[32], bb[32], gxb[32], gyb[32], pxb[32], pyb[32];
  if (!ToBytes32(a, ab) || !ToBytes32(b, bb) || !ToBytes32(gx, gxb) || !ToBytes32(gy, gyb) ||
      !ToBytes32(px, pxb) || !ToBytes32(py, pyb))
    return 0;
  return ZValue(id, id_length, ab, bb, gxb, gyb, pxb, pyb, out) ? 1 : 0;
}

int _SM2_CalculateZValue_byCurve_ex(int curve, const unsigned char *id, int id_length,
                                    const unsigned char px[32], const unsigned char py[32],
                                    unsigned char out[32]) {
  const CurveFields *f = FieldsOf(curve);
  if (f == nullptr || px == nullptr || py == nullptr) return 0;
  return ZValue(id, id_length, f->a, f->b, f->gx, f->gy, px, py, out) ? 1 : 0;
}

int _SM2_CalculateZValue_byCurve(int curve, const unsigned char *id, int id_length,
                                 const BIGNUM *px, const BIGNUM *py, unsigned char out[32]) {
  unsigned char pxb[32], pyb[32];
  if (!ToBytes32(px, pxb) || !ToBytes32(py, pyb)) return 0;
  return _SM2_CalculateZValue_byCurve_ex(curve, id, id_length, pxb, pyb, out);
}

int _SM2_CalculateDefaultZValue(const unsigned char px[32], const unsigned char py[32],
                                unsigned char out[32]) {
  return _SM2_CalculateZValue_byCurve_ex(NID_prime256v1SM2, kSM2DefaultUserId,
                                         sizeof kSM2DefaultUserId, px, py, out);
}

int _SM2_generate_key(BIGNUM *d, BIGNUM *x, BIGNUM *y, int curve) {
  const CurveArithmetic *arith = ArithmeticOf(curve);
  if (arith == nullptr || d == nullptr || x == nullptr || y == nullptr) return 0;
  BnCtxPtr ctx(BN_CTX_new());
  Secret<32> db;
  unsigned char xb[32], yb[32];
  if (!ctx || !RandomScalarBytes(arith->order(), ctx.get(), db.bytes) ||
      !arith->MulBase(db.bytes, xb, yb))
    return 0;
  return BN_bin2bn(db.bytes, kN, d) != nullptr && BN_bin2bn(xb, kN, x) != nullptr &&
                 BN_bin2bn(yb, kN, y) != nullptr
             ? 1
             : 0;
}

int _SM2_generate_keypair(unsigned char d[32], unsigned char x[32], unsigned char y[32]) {
  if (d == nullptr || x == nullptr || y == nullptr) return 0;
  SecretBignumPtr db(BN_secure_new());
  BignumPtr xb(BN_new()), yb(BN_new());
  if (!db || !xb || !yb || _SM2_generate_key(db.get(), xb.get(), yb.get(), NID_prime256v1SM2) != 1)
    return 0;
  return _SM2_GetBNBytes(db.get(), d) == 1 && _SM2_GetBNBytes(xb.get(), x) == 1 &&
                 _SM2_GetBNBytes(yb.get(), y) == 1
             ? 1
             : 0;
}

}  // namespace kelu

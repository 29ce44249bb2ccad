// The EC_KEY functions and EVP_PKEY_get0_EC_KEY / EVP_PKEY_assign_EC_KEY are deprecated in
// OpenSSL 3.0; the key structure and its decoders are defined on EC keys.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "SM2Keys.h"

#include <openssl/asn1t.h>
#include <openssl/cms.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/params.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <climits>
#include <cstring>
#include <memory>
#include <new>

#include "ByteReader.h"
#include "NationalObjects.h"
#include "OsslPtr.h"
#include "SM2.h"

namespace kelu {

ASN1_SEQUENCE(SM2_PRIVATEKEY) = {
    ASN1_SIMPLE(SM2_PRIVATEKEY, version, LONG),
    ASN1_SIMPLE(SM2_PRIVATEKEY, privateKey, ASN1_INTEGER),
    ASN1_EXP_OPT(SM2_PRIVATEKEY, parameters, ECPKPARAMETERS, 0),
    ASN1_EXP_OPT(SM2_PRIVATEKEY, publicKey, ASN1_BIT_STRING, 1),
} ASN1_SEQUENCE_END(SM2_PRIVATEKEY)

IMPLEMENT_ASN1_FUNCTIONS(SM2_PRIVATEKEY)

namespace {

bool BnTo32(const BIGNUM *bn, unsigned char out[32]) { return _SM2_GetBNBytes(bn, out) == 1; }

// A key value through the key's parameters; a key that has no such parameter (a legacy key on
// a curve the providers do not know) leaves no error behind. The value is asked for in a 32-byte
// buffer: EVP_PKEY_get_bn_param pads it to 2 KB and reads it back, a byte at a time, which was
// most of the cost of reading a certificate's key.
bool GetParam32(const EVP_PKEY *key, const char *name, unsigned char out[32]) {
  unsigned char native[32];
  OSSL_PARAM params[] = {OSSL_PARAM_construct_BN(name, native, sizeof native),
                         OSSL_PARAM_construct_end()};
  ERR_set_mark();
  int got = EVP_PKEY_get_params(key, params);
  ERR_pop_to_mark();
  BIGNUM *bn = nullptr;
  bool ok = got == 1 && OSSL_PARAM_modified(&params[0]) && OSSL_PARAM_get_BN(&params[0], &bn) == 1 &&
            BnTo32(bn, out);
  BN_clear_free(bn);
  OPENSSL_cleanse(native, sizeof native);
  return ok;
}

int CurveOfGroup(const EC_GROUP *group) { return NationalCurveId(group); }

// The legacy EC key inside a key, or null; for a provider key, which the library does not hand
// out this way, its error is not left on the queue.
const EC_KEY *LegacyEcKey(const EVP_PKEY *key) {
  ERR_set_mark();
  const EC_KEY *ec = EVP_PKEY_get0_EC_KEY(key);
  ERR_pop_to_mark();
  return ec;
}

// ---- DER pieces of the SM2 signature and cipher text --------------------------------------

// A DER length; returns the octets written.
size_t DerLength(size_t len, uint8_t out[5]) {
  if (len < 0x80) {
    out[0] = static_cast<uint8_t>(len);
    return 1;
  }
  size_t n = 0;
  for (size_t v = len; v > 0; v >>= 8) ++n;
  out[0] = static_cast<uint8_t>(0x80 | n);
  for (size_t i = 0; i < n; ++i) out[1 + i] = static_cast<uint8_t>(len >> (8 * (n - 1 - i)));
  return 1 + n;
}

size_t TlvSize(size_t content) {
  uint8_t l[5];
  return 1 + DerLength(content, l) + content;
}

// A positive INTEGER of a 32-byte value: leading zeros dropped, one 0x00 before a set top bit.
struct DerInteger {
  uint8_t bytes[33];
  size_t len;
};
DerInteger MinimalInteger(const uint8_t v[32]) {
  DerInteger out{};
  size_t skip = 0;
  while (skip < 31 && v[skip] == 0) ++skip;
  size_t n = 32 - skip;
  size_t pad = (v[skip] & 0x80) ? 1 : 0;
  out.bytes[0] = 0;
  std::memcpy(out.bytes + pad, v + skip, n);
  out.len = n + pad;
  return out;
}

bool WriteTlv(ByteWriter &w, uint8_t tag, const uint8_t *content, size_t len) {
  uint8_t l[5];
  size_t ln = DerLength(len, l);
  return w.WriteU8(tag) && w.WriteBytes(l, ln) && w.WriteBytes(content, len);
}

bool ReadTlv(ByteReader &r, uint8_t tag, ByteReader *content) {
  uint8_t t, first;
  if (!r.ReadU8(&t) || t != tag || !r.ReadU8(&first)) return false;
  size_t len = first;
  if (first & 0x80) {
    size_t n = first & 0x7F;
    if (n == 0 || n > 4) return false;
    len = 0;
    for (size_t i = 0; i < n; ++i) {
      uint8_t b;
      if (!r.ReadU8(&b)) return false;
      len = len << 8 | b;
    }
  }
  return r.ReadBytes(len, content);
}

// A non-negative INTEGER of at most 32 value bytes, right-aligned; leading zero octets are
// accepted (other implementations pad), a negative value or more than 32 bytes are not.
bool ReadInteger32(ByteReader &r, uint8_t out[32]) {
  ByteReader v;
  if (!ReadTlv(r, 0x02, &v) || v.empty() || (v.data()[0] & 0x80)) return false;
  while (v.remaining() > 1 && v.data()[0] == 0) v.Skip(1);
  if (v.remaining() > 32) return false;
  std::memset(out, 0, 32);
  return v.CopyBytes(v.remaining(), out + 32 - v.remaining());
}

constexpr size_t kMaxSignatureDer = 72;  // SEQUENCE of two 33-byte INTEGERs

size_t SignatureDer(const uint8_t r[32], const uint8_t s[32], uint8_t *out, size_t cap) {
  DerInteger ri = MinimalInteger(r), si = MinimalInteger(s);
  size_t body = TlvSize(ri.len) + TlvSize(si.len);
  uint8_t content[80];
  ByteWriter inner(content, sizeof content);
  if (!WriteTlv(inner, 0x02, ri.bytes, ri.len) || !WriteTlv(inner, 0x02, si.bytes, si.len))
    return 0;
  ByteWriter w(out, cap);
  return WriteTlv(w, 0x30, content, body) ? w.written() : 0;
}

bool ParseSignatureDer(const uint8_t *der, size_t len, uint8_t r[32], uint8_t s[32]) {
  ByteReader all(der, len), seq;
  return ReadTlv(all, 0x30, &seq) && all.empty() && ReadInteger32(seq, r) &&
         ReadInteger32(seq, s) && seq.empty();
}

size_t CipherDerSize(size_t c2_len) {
  size_t body = TlvSize(33) + TlvSize(33) + TlvSize(32) + TlvSize(c2_len);
  return TlvSize(body);
}

// SM2Cipher of a C1C2C3 cipher text (0x04 || x || y || C2 || C3).
size_t CipherDer(const uint8_t *raw, size_t c2_len, uint8_t *out, size_t cap) {
  DerInteger x = MinimalInteger(raw + 1), y = MinimalInteger(raw + 33);
  const uint8_t *c2 = raw + 65, *c3 = raw + 65 + c2_len;
  size_t body = TlvSize(x.len) + TlvSize(y.len) + TlvSize(32) + TlvSize(c2_len);
  uint8_t l[5];
  size_t ln = DerLength(body, l);
  ByteWriter w(out, cap);
  bool ok = w.WriteU8(0x30) && w.WriteBytes(l, ln) && WriteTlv(w, 0x02, x.bytes, x.len) &&
            WriteTlv(w, 0x02, y.bytes, y.len) && WriteTlv(w, 0x04, c3, 32) &&
            WriteTlv(w, 0x04, c2, c2_len);
  return ok ? w.written() : 0;
}

struct ParsedCipher {
  uint8_t x[32], y[32];
  ByteReader hash, c2;
};
bool ParseCipherDer(const uint8_t *der, size_t len, ParsedCipher *out) {
  ByteReader all(der, len), seq;
  return ReadTlv(all, 0x30, &seq) && all.empty() && ReadInteger32(seq, out->x) &&
         ReadInteger32(seq, out->y) && ReadTlv(seq, 0x04, &out->hash) &&
         out->hash.remaining() == 32 && ReadTlv(seq, 0x04, &out->c2) && !out->c2.empty() &&
         seq.empty();
}

struct SecretScratch {
  explicit SecretScratch(size_t n) : p(new (std::nothrow) uint8_t[n]), n(n) {}
  ~SecretScratch() {
    if (p != nullptr) OPENSSL_cleanse(p, n);
    delete[] p;
  }
  uint8_t *p;
  size_t n;
};

// The library's own operation on a non-SM2 EC key.
int LibrarySign(EVP_PKEY *key, unsigned char *sig, size_t *sig_len, const unsigned char *tbs,
                size_t tbs_len) {
  EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(key, nullptr));
  if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1) return -1;
  return EVP_PKEY_sign(ctx.get(), sig, sig_len, tbs, tbs_len) == 1 ? 1 : -1;
}

int LibraryVerify(EVP_PKEY *key, const unsigned char *sig, size_t sig_len,
                  const unsigned char *tbs, size_t tbs_len) {
  EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(key, nullptr));
  if (!ctx || EVP_PKEY_verify_init(ctx.get()) != 1) return -1;
  return EVP_PKEY_verify(ctx.get(), sig, sig_len, tbs, tbs_len) == 1 ? 1 : -1;
}

struct EngineSlots {
  SM2_PKEY_DECRYPT_FN pkey_decrypt = nullptr;
  SM2_ENGINE_FN list_object_index = nullptr;
  SM2_ENGINE_FN import_key = nullptr;
  SM2_ENGINE_FN import_encrypted_key = nullptr;
};
EngineSlots g_engine_slots;
int ec_engine_ex_index = -1;
int rsa_engine_ex_index = -1;

}  // namespace

int SM2_KeyCurve(const EVP_PKEY *key) {
  if (key == nullptr || !(EVP_PKEY_is_a(key, "SM2") || EVP_PKEY_is_a(key, "EC"))) return 0;
  char name[64] = {};
  size_t len = 0;
  ERR_set_mark();
  int named =
      EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, name, sizeof name, &len);
  ERR_pop_to_mark();
  if (named == 1) {
    int id = ToToolkitNid(OBJ_txt2nid(name));
    return FindNationalCurve(id) != nullptr ? id : 0;
  }
  // A legacy key on a curve the providers do not know by name (the example curve).
  const EC_KEY *ec = LegacyEcKey(key);
  return ec != nullptr ? CurveOfGroup(EC_KEY_get0_group(ec)) : 0;
}

int SM2_GetPublicKeyBytes(const EVP_PKEY *key, unsigned char x[32], unsigned char y[32]) {
  if (x == nullptr || y == nullptr || SM2_KeyCurve(key) == 0) return 0;
  if (GetParam32(key, OSSL_PKEY_PARAM_EC_PUB_X, x) && GetParam32(key, OSSL_PKEY_PARAM_EC_PUB_Y, y))
    return 1;
  const EC_KEY *ec = LegacyEcKey(key);
  const EC_POINT *pub = ec != nullptr ? EC_KEY_get0_public_key(ec) : nullptr;
  if (pub == nullptr) return 0;
  BignumPtr bx(BN_new()), by(BN_new());
  return bx && by &&
                 EC_POINT_get_affine_coordinates(EC_KEY_get0_group(ec), pub, bx.get(), by.get(),
                                                 nullptr) == 1 &&
                 BnTo32(bx.get(), x) && BnTo32(by.get(), y)
             ? 1
             : 0;
}

int SM2_GetPrivateKeyBytes(const EVP_PKEY *key, unsigned char d[32]) {
  if (d == nullptr || SM2_KeyCurve(key) == 0) return 0;
  if (GetParam32(key, OSSL_PKEY_PARAM_PRIV_KEY, d)) return 1;
  const EC_KEY *ec = LegacyEcKey(key);
  const BIGNUM *priv = ec != nullptr ? EC_KEY_get0_private_key(ec) : nullptr;
  return BnTo32(priv, d) ? 1 : 0;
}

const EC_KEY *EVP_PKEY_get0_SM2_KEY(const EVP_PKEY *key) {
  if (SM2_KeyCurve(key) == 0) return nullptr;
  return LegacyEcKey(key);
}

EC_KEY *d2i_SM2PrivateKey(EC_KEY **key, const unsigned char **in, long len) {
  SM2_PRIVATEKEY *priv = d2i_SM2_PRIVATEKEY(nullptr, in, len);
  if (priv == nullptr) {
    ERR_raise(ERR_LIB_EC, ERR_R_EC_LIB);
    return nullptr;
  }
  std::unique_ptr<SM2_PRIVATEKEY, Deleter<SM2_PRIVATEKEY_free>> owned(priv);
  bool created = key == nullptr || *key == nullptr;
  EC_KEY *ret = created ? EC_KEY_new() : *key;
  if (ret == nullptr) {
    ERR_raise(ERR_LIB_EC, ERR_R_MALLOC_FAILURE);
    return nullptr;
  }
  auto fail = [&](int reason) -> EC_KEY * {
    ERR_raise(ERR_LIB_EC, reason);
    if (created) EC_KEY_free(ret);
    return nullptr;
  };
  if (priv->parameters != nullptr) {
    EcGroupPtr group(EC_GROUP_new_from_ecpkparameters(priv->parameters));
    if (!group || EC_KEY_set_group(ret, group.get()) != 1) return fail(ERR_R_EC_LIB);
  }
  const EC_GROUP *group = EC_KEY_get0_group(ret);
  if (group == nullptr) return fail(ERR_R_EC_LIB);
  SecretBignumPtr d(ASN1_INTEGER_to_BN(priv->privateKey, nullptr));
  if (!d || BN_is_negative(d.get()) || EC_KEY_set_private_key(ret, d.get()) != 1)
    return fail(ERR_R_BN_LIB);
  EcPointPtr pub(EC_POINT_new(group));
  if (!pub) return fail(ERR_R_MALLOC_FAILURE);
  if (priv->publicKey != nullptr && ASN1_STRING_length(priv->publicKey) > 0) {
    const unsigned char *octets = ASN1_STRING_get0_data(priv->publicKey);
    size_t n = static_cast<size_t>(ASN1_STRING_length(priv->publicKey));
    if (EC_POINT_oct2point(group, pub.get(), octets, n, nullptr) != 1) return fail(ERR_R_EC_LIB);
    EC_KEY_set_conv_form(ret, static_cast<point_conversion_form_t>(octets[0] & ~0x01));
  } else if (EC_POINT_mul(group, pub.get(), d.get(), nullptr, nullptr, nullptr) != 1) {
    return fail(ERR_R_EC_LIB);
  }
  if (EC_KEY_set_public_key(ret, pub.get()) != 1) return fail(ERR_R_EC_LIB);
  if (key != nullptr) *key = ret;
  return ret;
}

int i2d_SM2PrivateKey(const EC_KEY *key, unsigned char **out) {
  const EC_GROUP *group = key != nullptr ? EC_KEY_get0_group(key) : nullptr;
  const BIGNUM *d = key != nullptr ? EC_KEY_get0_private_key(key) : nullptr;
  if (group == nullptr || d == nullptr) {
    ERR_raise(ERR_LIB_EC, ERR_R_PASSED_NULL_PARAMETER);
    return 0;
  }
  std::unique_ptr<SM2_PRIVATEKEY, Deleter<SM2_PRIVATEKEY_free>> priv(SM2_PRIVATEKEY_new());
  if (!priv) {
    ERR_raise(ERR_LIB_EC, ERR_R_MALLOC_FAILURE);
    return 0;
  }
  priv->version = 1;
  ASN1_INTEGER_free(priv->privateKey);
  priv->privateKey = BN_to_ASN1_INTEGER(d, nullptr);
  if (priv->privateKey == nullptr) {
    ERR_raise(ERR_LIB_EC, ERR_R_BN_LIB);
    return 0;
  }
  unsigned flags = EC_KEY_get_enc_flags(key);
  if (!(flags & EC_PKEY_NO_PARAMETERS)) {
    priv->parameters = EC_GROUP_get_ecpkparameters(group, nullptr);
    if (priv->parameters == nullptr) {
      ERR_raise(ERR_LIB_EC, ERR_R_EC_LIB);
      return 0;
    }
  }
  const EC_POINT *pub = EC_KEY_get0_public_key(key);
  if (!(flags & EC_PKEY_NO_PUBKEY) && pub != nullptr) {
    unsigned char *octets = nullptr;
    size_t n = EC_POINT_point2buf(group, pub, EC_KEY_get_conv_form(key), &octets, nullptr);
    priv->publicKey = ASN1_BIT_STRING_new();
    bool ok = n > 0 && priv->publicKey != nullptr &&
              ASN1_BIT_STRING_set(priv->publicKey, octets, static_cast<int>(n)) == 1;
    OPENSSL_free(octets);
    if (!ok) {
      ERR_raise(ERR_LIB_EC, ERR_R_ASN1_LIB);
      return 0;
    }
    // No unused bits.
    priv->publicKey->flags &= ~(ASN1_STRING_FLAG_BITS_LEFT | 0x07);
    priv->publicKey->flags |= ASN1_STRING_FLAG_BITS_LEFT;
  }
  int len = i2d_SM2_PRIVATEKEY(priv.get(), out);
  return len > 0 ? len : 0;
}

namespace {
int I2dSm2PrivateKeyOfVoid(const void *key, unsigned char **out) {
  return i2d_SM2PrivateKey(static_cast<const EC_KEY *>(key), out);
}
}  // namespace

int PEM_write_bio_SM2PrivateKey(BIO *bio, const EC_KEY *key, const EVP_CIPHER *cipher,
                                const unsigned char *pass, int pass_len, pem_password_cb *cb,
                                void *u) {
  return PEM_ASN1_write_bio(I2dSm2PrivateKeyOfVoid, PEM_STRING_ECPRIVATEKEY, bio, key, cipher,
                            pass, pass_len, cb, u);
}

int PEM_write_SM2PrivateKey(FILE *fp, const EC_KEY *key, const EVP_CIPHER *cipher,
                            const unsigned char *pass, int pass_len, pem_password_cb *cb,
                            void *u) {
  BioPtr bio(BIO_new_fp(fp, BIO_NOCLOSE));
  return bio ? PEM_write_bio_SM2PrivateKey(bio.get(), key, cipher, pass, pass_len, cb, u) : 0;
}

int old_ec_priv_decode(EVP_PKEY *pkey, const unsigned char **der, int der_len) {
  if (pkey == nullptr || der == nullptr || *der == nullptr || der_len <= 0) {
    ERR_raise(ERR_LIB_EC, EC_R_DECODE_ERROR);
    return 0;
  }
  ERR_set_mark();
  const unsigned char *p = *der;
  EC_KEY *ec = d2i_ECPrivateKey(nullptr, &p, der_len);
  if (ec == nullptr) {
    p = *der;
    ec = d2i_SM2PrivateKey(nullptr, &p, der_len);
  }
  ERR_pop_to_mark();  // the attempts' own errors, not the caller's earlier ones
  if (ec == nullptr || EVP_PKEY_assign_EC_KEY(pkey, ec) != 1) {
    EC_KEY_free(ec);
    ERR_raise(ERR_LIB_EC, EC_R_DECODE_ERROR);
    return 0;
  }
  *der = p;
  return 1;
}

namespace {

// The digest-encryption algorithm of a signer info for its digest: sm2-sm3-pkcs7 for SM3,
// otherwise the library's signature algorithm for (digest, EC key).
int SetSignatureAlgorithm(X509_ALGOR *digest, X509_ALGOR *signature, bool sm3_special) {
  if (digest == nullptr || signature == nullptr) return -1;
  const ASN1_OBJECT *obj = nullptr;
  X509_ALGOR_get0(&obj, nullptr, nullptr, digest);
  int hash_nid = OBJ_obj2nid(obj);
  int sig_nid = NID_undef;
  if (sm3_special && ToToolkitNid(hash_nid) == NID_ChinaSM3) {
    sig_nid = ToLibraryNid(NID_ChinaSM2withSM3PKCS7);
  } else if (OBJ_find_sigid_by_algs(&sig_nid, hash_nid, NID_X9_62_id_ecPublicKey) != 1) {
    return -1;
  }
  return X509_ALGOR_set0(signature, OBJ_nid2obj(sig_nid), V_ASN1_UNDEF, nullptr) == 1 ? 1 : -1;
}

}  // namespace

int ec_pkey_ctrl(EVP_PKEY *, int op, long arg1, void *arg2) {
  switch (op) {
    case ASN1_PKEY_CTRL_PKCS7_SIGN:
      if (arg1 == 0) {
        X509_ALGOR *digest = nullptr, *signature = nullptr;
        PKCS7_SIGNER_INFO_get0_algs(static_cast<PKCS7_SIGNER_INFO *>(arg2), nullptr, &digest,
                                    &signature);
        return SetSignatureAlgorithm(digest, signature, true);
      }
      return 1;
    case ASN1_PKEY_CTRL_CMS_SIGN:
      if (arg1 == 0) {
        X509_ALGOR *digest = nullptr, *signature = nullptr;
        CMS_SignerInfo_get0_algs(static_cast<CMS_SignerInfo *>(arg2), nullptr, nullptr, &digest,
                                 &signature);
        return SetSignatureAlgorithm(digest, signature, false);
      }
      return 1;
    case ASN1_PKEY_CTRL_DEFAULT_MD_NID:
      *static_cast<int *>(arg2) = NID_sha1;
      return 2;
    default:
      return -2;
  }
}

int pkey_ec_ctrl(int type, int, void *p2) {
  if (type != EVP_PKEY_CTRL_MD) return -2;
  const EVP_MD *md = static_cast<const EVP_MD *>(p2);
  int nid = md != nullptr ? EVP_MD_get_type(md) : NID_undef;
  switch (ToToolkitNid(nid)) {
    case NID_sha1:
    case NID_ecdsa_with_SHA1:
    case NID_sha224:
    case NID_sha256:
    case NID_sha384:
    case NID_sha512:
    case NID_ChinaSM3:
      return 1;
    default:
      ERR_raise(ERR_LIB_EC, EC_R_INVALID_DIGEST_TYPE);
      return 0;
  }
}

int pkey_ec_sign(EVP_PKEY *key, unsigned char *sig, size_t *sig_len, const unsigned char *tbs,
                 size_t tbs_len) {
  if (key == nullptr || sig_len == nullptr) return -1;
  if (SM2_KeyCurve(key) == 0) return LibrarySign(key, sig, sig_len, tbs, tbs_len);
  if (sig == nullptr) {
    *sig_len = kMaxSignatureDer;
    return 1;
  }
  if (*sig_len < kMaxSignatureDer) {
    ERR_raise(ERR_LIB_EC, EC_R_BUFFER_TOO_SMALL);
    return 0;
  }
  struct Secrets {
    unsigned char d[32];
    ~Secrets() { OPENSSL_cleanse(d, sizeof d); }
  } secret;
  unsigned char r[32], s[32];
  if (tbs == nullptr || tbs_len != 32 || SM2_GetPrivateKeyBytes(key, secret.d) != 1 ||
      _SM2_sign_ex(tbs, secret.d, r, s) != 1)
    return -1;
  size_t n = SignatureDer(r, s, sig, *sig_len);
  if (n == 0) return -1;
  *sig_len = n;
  return 1;
}

int pkey_ec_verify(EVP_PKEY *key, const unsigned char *sig, size_t sig_len,
                   const unsigned char *tbs, size_t tbs_len) {
  if (key == nullptr || sig == nullptr) return -1;
  if (SM2_KeyCurve(key) == 0) return LibraryVerify(key, sig, sig_len, tbs, tbs_len);
  unsigned char r[32], s[32], x[32], y[32];
  if (tbs == nullptr || tbs_len != 32 || !ParseSignatureDer(sig, sig_len, r, s) ||
      SM2_GetPublicKeyBytes(key, x, y) != 1)
    return -1;
  return _SM2_verify_ex(r, s, x, y, tbs) == 1 ? 1 : -1;
}

int pkey_sm2_encrypt(EVP_PKEY *key, unsigned char *out, size_t *out_len, const unsigned char *in,
                     size_t in_len) {
  if (key == nullptr || out_len == nullptr || in_len == 0 ||
      in_len > static_cast<size_t>(INT_MAX - SM2_C1C2C3_OVERHEAD) || SM2_KeyCurve(key) == 0)
    return -1;
  size_t need = CipherDerSize(in_len);
  if (out == nullptr) {
    *out_len = need;
    return 1;
  }
  if (*out_len < need || in == nullptr) {
    ERR_raise(ERR_LIB_EC, EC_R_BUFFER_TOO_SMALL);
    return -1;
  }
  unsigned char x[32], y[32];
  SecretScratch raw(in_len + SM2_C1C2C3_OVERHEAD);
  BignumPtr px(BN_new()), py(BN_new());
  if (raw.p == nullptr || SM2_GetPublicKeyBytes(key, x, y) != 1 ||
      BN_bin2bn(x, 32, px.get()) == nullptr || BN_bin2bn(y, 32, py.get()) == nullptr ||
      _SM2_encrypt(NID_prime256v1SM2, in, static_cast<int>(in_len), px.get(), py.get(), raw.p) !=
          1)
    return -1;
  size_t n = CipherDer(raw.p, in_len, out, *out_len);
  if (n == 0) return -1;
  *out_len = n;
  return 1;
}

int pkey_sm2_decrypt(EVP_PKEY *key, unsigned char *out, size_t *out_len, const unsigned char *in,
                     size_t in_len) {
  if (key == nullptr || out_len == nullptr || in == nullptr) return -1;
  ENGINE *engine = EVP_PKEY_get0_engine(key);
  if (engine != nullptr && g_engine_slots.pkey_decrypt != nullptr) {
    EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(key, engine));
    return ctx ? g_engine_slots.pkey_decrypt(ctx.get(), out, out_len, in, in_len) : -1;
  }
  ParsedCipher c;
  if (SM2_KeyCurve(key) == 0 || !ParseCipherDer(in, in_len, &c)) return -1;
  size_t m = c.c2.remaining();
  if (out == nullptr) {
    *out_len = m;
    return 1;
  }
  if (*out_len < m || m > static_cast<size_t>(INT_MAX - SM2_C1C2C3_OVERHEAD)) {
    ERR_raise(ERR_LIB_EC, EC_R_BUFFER_TOO_SMALL);
    return -1;
  }
  struct Secrets {
    unsigned char d[32];
    ~Secrets() { OPENSSL_cleanse(d, sizeof d); }
  } secret;
  SecretScratch raw(m + SM2_C1C2C3_OVERHEAD);
  if (raw.p == nullptr || SM2_GetPrivateKeyBytes(key, secret.d) != 1) return -1;
  raw.p[0] = 0x04;
  std::memcpy(raw.p + 1, c.x, 32);
  std::memcpy(raw.p + 33, c.y, 32);
  std::memcpy(raw.p + 65, c.c2.data(), m);
  std::memcpy(raw.p + 65 + m, c.hash.data(), 32);
  SecretBignumPtr d(BN_bin2bn(secret.d, 32, nullptr));
  if (!d || _SM2_decrypt(NID_prime256v1SM2, raw.p, static_cast<int>(m + SM2_C1C2C3_OVERHEAD),
                         d.get(), out) != 1)
    return -1;
  *out_len = m;
  return 1;
}

int ENGINE_set_pkey_decrypt_function(ENGINE *, SM2_PKEY_DECRYPT_FN f) {
  g_engine_slots.pkey_decrypt = f;
  return 1;
}
SM2_PKEY_DECRYPT_FN ENGINE_get_pkey_decrypt_function(const ENGINE *) {
  return g_engine_slots.pkey_decrypt;
}
int ENGINE_set_list_object_index_function(ENGINE *, SM2_ENGINE_FN f) {
  g_engine_slots.list_object_index = f;
  return 1;
}
SM2_ENGINE_FN ENGINE_get_list_object_index_function(const ENGINE *) {
  return g_engine_slots.list_object_index;
}
int ENGINE_set_import_key_function(ENGINE *, SM2_ENGINE_FN f) {
  g_engine_slots.import_key = f;
  return 1;
}
SM2_ENGINE_FN ENGINE_get_import_key_function(const ENGINE *) { return g_engine_slots.import_key; }
int ENGINE_set_import_encrypted_key_function(ENGINE *, SM2_ENGINE_FN f) {
  g_engine_slots.import_encrypted_key = f;
  return 1;
}
SM2_ENGINE_FN ENGINE_get_import_encrypted_key_function(const ENGINE *) {
  return g_engine_slots.import_encrypted_key;
}
int *ENGINE_get_sm2_index() { return &ec_engine_ex_index; }
int *ENGINE_get_rsa_index() { return &rsa_engine_ex_index; }

}  // namespace kelu

// The method-object constructors (EVP_MD_meth_*) and the IV accessor of a legacy cipher context
// are deprecated in OpenSSL 3.0 but are its only way to add an algorithm of one's own without
// a provider.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "NationalEvp.h"

#include <openssl/objects.h>

#include "ByteOrder.h"
#include "NationalObjects.h"
#include "SM3.h"
#include "SM4.h"
#include "ZUC.h"

namespace kelu {
namespace {

// Cipher data of SM4-CBC: the key words, then the round keys of the context's direction.
struct Sm4CbcData {
  uint32_t key[4];
  uint32_t rk[32];
};

EVP_MD *MakeSm3Digest() {
  EVP_MD *md = EVP_MD_meth_new(ToLibraryNid(NID_ChinaSM3), ToLibraryNid(NID_ChinaSM2withSM3));
  if (md == nullptr) return nullptr;
  if (EVP_MD_meth_set_result_size(md, static_cast<int>(kSM3DigestLength)) != 1 ||
      EVP_MD_meth_set_input_blocksize(md, static_cast<int>(kSM3BlockSize)) != 1 ||
      EVP_MD_meth_set_app_datasize(md, sizeof(SM3_CTX)) != 1 ||
      EVP_MD_meth_set_flags(md, EVP_MD_FLAG_DIGALGID_NULL) != 1 ||
      EVP_MD_meth_set_init(md, init_sm3) != 1 || EVP_MD_meth_set_update(md, update_sm3) != 1 ||
      EVP_MD_meth_set_final(md, final_sm3) != 1) {
    EVP_MD_meth_free(md);
    return nullptr;
  }
  return md;
}

EVP_CIPHER *MakeCipher(int toolkit_id, int block_size, unsigned long flags,
                       int (*init)(EVP_CIPHER_CTX *, const unsigned char *, const unsigned char *,
                                   int),
                       int (*do_cipher)(EVP_CIPHER_CTX *, unsigned char *, const unsigned char *,
                                        size_t),
                       int data_size) {
  int nid = ToLibraryNid(toolkit_id);
  if (nid == NID_undef) return nullptr;
  EVP_CIPHER *cipher = EVP_CIPHER_meth_new(nid, block_size, 16);
  if (cipher == nullptr) return nullptr;
  if (EVP_CIPHER_meth_set_iv_length(cipher, 16) != 1 ||
      EVP_CIPHER_meth_set_flags(cipher, flags) != 1 ||
      EVP_CIPHER_meth_set_init(cipher, init) != 1 ||
      EVP_CIPHER_meth_set_do_cipher(cipher, do_cipher) != 1 ||
      EVP_CIPHER_meth_set_impl_ctx_size(cipher, data_size) != 1) {
    EVP_CIPHER_meth_free(cipher);
    return nullptr;
  }
  return cipher;
}

SM3_CTX *Sm3Of(EVP_MD_CTX *ctx) { return static_cast<SM3_CTX *>(EVP_MD_CTX_get0_md_data(ctx)); }

}  // namespace

int init_sm3(EVP_MD_CTX *ctx) { return SM3_Init(Sm3Of(ctx)); }

int update_sm3(EVP_MD_CTX *ctx, const void *data, size_t count) {
  return SM3_Update(Sm3Of(ctx), data, count);
}

int final_sm3(EVP_MD_CTX *ctx, unsigned char *md) { return SM3_Final(md, Sm3Of(ctx)); }

int sm4_init_key(EVP_CIPHER_CTX *ctx, const unsigned char *key, const unsigned char *, int) {
  auto *data = static_cast<Sm4CbcData *>(EVP_CIPHER_CTX_get_cipher_data(ctx));
  if (data == nullptr || key == nullptr) return 0;
  for (int i = 0; i < 4; ++i) data->key[i] = LoadBE32(key + 4 * i);
  // The direction is the context's own, not the argument.
  int ok = _SM4_ExtendKey(data->key, data->rk);
  if (ok == 1 && EVP_CIPHER_CTX_is_encrypting(ctx) == 0) ok = _SM4_InvertRoundKey(data->rk);
  return ok;
}

int sm4_cipher_cbc(EVP_CIPHER_CTX *ctx, unsigned char *out, const unsigned char *in,
                   size_t len) {
  auto *data = static_cast<Sm4CbcData *>(EVP_CIPHER_CTX_get_cipher_data(ctx));
  if (data == nullptr) return 0;
  return SM4_CbcCrypt(in, out, len, data->rk, EVP_CIPHER_CTX_iv_noconst(ctx),
                      EVP_CIPHER_CTX_is_encrypting(ctx));
}

int zuc_init_key(EVP_CIPHER_CTX *ctx, const unsigned char *key, const unsigned char *iv, int) {
  auto *state = static_cast<ZUC_STATE *>(EVP_CIPHER_CTX_get_cipher_data(ctx));
  if (state == nullptr) return 0;
  int key_length = EVP_CIPHER_CTX_get_key_length(ctx);
  if (key_length < 0) return 0;
  return ZUC_StateInit(state, key, static_cast<size_t>(key_length), iv, kZUCIvSize);
}

int zuc_cipher_handler(EVP_CIPHER_CTX *ctx, unsigned char *out, const unsigned char *in,
                       size_t len) {
  auto *state = static_cast<ZUC_STATE *>(EVP_CIPHER_CTX_get_cipher_data(ctx));
  if (state == nullptr) return 0;
  ZUC_StateCrypt(state, in, out, len);
  return 1;
}

const EVP_MD *EVP_sm3() {
  static const EVP_MD *const md = MakeSm3Digest();
  return md;
}

const EVP_CIPHER *EVP_sm4_cbc() {
  static const EVP_CIPHER *const cipher =
      MakeCipher(NID_ChinaSM4_CBC, 16, EVP_CIPH_CBC_MODE, sm4_init_key, sm4_cipher_cbc,
                 sizeof(Sm4CbcData));
  return cipher;
}

const EVP_CIPHER *EVP_zuc() {
  // The variable-length flag is kept from the cipher's record; zuc_init_key still takes 16
  // bytes only.
  static const EVP_CIPHER *const cipher =
      MakeCipher(NID_ChinaZUC, 1, EVP_CIPH_STREAM_CIPHER | EVP_CIPH_VARIABLE_LENGTH, zuc_init_key,
                 zuc_cipher_handler, sizeof(ZUC_STATE));
  return cipher;
}

const EVP_MD *NationalDigest(int id) { return id == NID_ChinaSM3 ? EVP_sm3() : nullptr; }

const EVP_CIPHER *NationalCipher(int id) {
  switch (id) {
    case NID_ChinaSM4_CBC:
      return EVP_sm4_cbc();
    case NID_ChinaZUC:
      return EVP_zuc();
    default:
      return nullptr;
  }
}

}  // namespace kelu

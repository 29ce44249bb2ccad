/* The national digest and ciphers as method objects of the crypto library's EVP framework.
 * Each object is made once and lives as long as the process (the library's name registry and
 * any cipher context may still point at it). */
#ifndef KELU_NATIONAL_EVP_H
#define KELU_NATIONAL_EVP_H

#include <openssl/evp.h>

#include <cstddef>

namespace kelu {

// SM3 (type: the library's SM3 NID), SM4 in CBC mode (the library NID of 1.2.156.10197.1.104)
// and ZUC (the library NID of 1.2.156.10197.1.105); null only when the library cannot make
// the object.
const EVP_MD *EVP_sm3();
const EVP_CIPHER *EVP_sm4_cbc();
const EVP_CIPHER *EVP_zuc();

// The system's way to its own algorithms: by toolkit identifier, never by name.
const EVP_MD *NationalDigest(int id);      // 922
const EVP_CIPHER *NationalCipher(int id);  // 923, 926

// Callbacks of the method objects.
int init_sm3(EVP_MD_CTX *ctx);
int update_sm3(EVP_MD_CTX *ctx, const void *data, size_t count);
int final_sm3(EVP_MD_CTX *ctx, unsigned char *md);
int sm4_init_key(EVP_CIPHER_CTX *ctx, const unsigned char *key, const unsigned char *iv, int enc);
// Whole blocks only: 0 for a length that is not a multiple of 16.
int sm4_cipher_cbc(EVP_CIPHER_CTX *ctx, unsigned char *out, const unsigned char *in, size_t len);
// 0 unless the context's key length is 16.
int zuc_init_key(EVP_CIPHER_CTX *ctx, const unsigned char *key, const unsigned char *iv, int enc);
int zuc_cipher_handler(EVP_CIPHER_CTX *ctx, unsigned char *out, const unsigned char *in,
                       size_t len);

}  // namespace kelu

#endif

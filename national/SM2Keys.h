/* SM2 keys in the crypto library's key types. OpenSSL 3.0 cannot take key methods of ours
 * without capturing every SM2 key in the process, so the SM2 behaviours of the EC key methods
 * are the system's own functions here, under the method functions' names, taking the library's
 * key objects. Keys decoded by OpenSSL 3.0 are provider keys: their values are read through the
 * key's parameters, which works for every kind of key. */
#ifndef KELU_SM2_KEYS_H
#define KELU_SM2_KEYS_H

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/ec.h>
#include <openssl/engine.h>
#include <openssl/evp.h>

#include <cstddef>
#include <cstdio>

namespace kelu {

// 920 for a key on the SM2 curve, 921 on the example curve, else 0.
int SM2_KeyCurve(const EVP_PKEY *key);
// The public point and the private key of an SM2 key as 32-byte values; 0 when the key is no
// SM2 key or lacks the part.
int SM2_GetPublicKeyBytes(const EVP_PKEY *key, unsigned char x[32], unsigned char y[32]);
int SM2_GetPrivateKeyBytes(const EVP_PKEY *key, unsigned char d[32]);

// The EC key inside a key whose curve is 920 or 921; null for any other key (and for provider
// keys the library cannot hand out as EC keys: use SM2_GetPublicKeyBytes for those).
const EC_KEY *EVP_PKEY_get0_SM2_KEY(const EVP_PKEY *key);

// SM2_PRIVATEKEY ::= SEQUENCE { version INTEGER, privateKey INTEGER,
//   parameters [0] EXPLICIT ECParameters OPTIONAL, publicKey [1] EXPLICIT BIT STRING OPTIONAL }
struct SM2_PRIVATEKEY {
  long version;
  ASN1_INTEGER *privateKey;
  ECPKPARAMETERS *parameters;
  ASN1_BIT_STRING *publicKey;
};
SM2_PRIVATEKEY *SM2_PRIVATEKEY_new();
void SM2_PRIVATEKEY_free(SM2_PRIVATEKEY *a);
SM2_PRIVATEKEY *d2i_SM2_PRIVATEKEY(SM2_PRIVATEKEY **a, const unsigned char **in, long len);
int i2d_SM2_PRIVATEKEY(const SM2_PRIVATEKEY *a, unsigned char **out);

// An SM2_PRIVATEKEY into an EC key (a new one, or *key when given; the caller's key stays the
// caller's on failure). Without a public key in the input it is computed from d.
EC_KEY *d2i_SM2PrivateKey(EC_KEY **key, const unsigned char **in, long len);
int i2d_SM2PrivateKey(const EC_KEY *key, unsigned char **out);
int PEM_write_bio_SM2PrivateKey(BIO *bio, const EC_KEY *key, const EVP_CIPHER *cipher,
                                const unsigned char *pass, int pass_len, pem_password_cb *cb,
                                void *u);
int PEM_write_SM2PrivateKey(FILE *fp, const EC_KEY *key, const EVP_CIPHER *cipher,
                            const unsigned char *pass, int pass_len, pem_password_cb *cb, void *u);

// A traditional-format EC private key: the library's structure, else SM2_PRIVATEKEY. On
// success only the errors of the first attempt are dropped.
int old_ec_priv_decode(EVP_PKEY *pkey, const unsigned char **der, int der_len);

// The EC key method's control: the PKCS#7 signing command names sm2-sm3-pkcs7
// (1.2.156.10197.1.301.1) for an SM3 digest; CMS signing and the default digest as the library.
int ec_pkey_ctrl(EVP_PKEY *pkey, int op, long arg1, void *arg2);
// The EC public-key context's control for the signature digest (EVP_PKEY_CTRL_MD): SHA-1,
// ecdsa-with-SHA1, SHA-224/256/384/512 and SM3 are accepted.
int pkey_ec_ctrl(int type, int p1, void *p2);

// Signing and verification with DER ECDSA-Sig-Value outside: SM2 for keys on curve 920/921
// (32-byte digests only), the library's ECDSA for other EC keys. A null sig answers the size.
// Verification is 1 for a valid signature and -1 otherwise.
int pkey_ec_sign(EVP_PKEY *key, unsigned char *sig, size_t *sig_len, const unsigned char *tbs,
                 size_t tbs_len);
int pkey_ec_verify(EVP_PKEY *key, const unsigned char *sig, size_t sig_len,
                   const unsigned char *tbs, size_t tbs_len);
// Encryption and decryption with the DER SM2Cipher outside (SEQUENCE { x, y, HASH, cipherText }).
// A null out answers the size; *out_len is the capacity on the way in. 1 or -1.
int pkey_sm2_encrypt(EVP_PKEY *key, unsigned char *out, size_t *out_len, const unsigned char *in,
                     size_t in_len);
int pkey_sm2_decrypt(EVP_PKEY *key, unsigned char *out, size_t *out_len, const unsigned char *in,
                     size_t in_len);

// Function slots that an engine may fill (one set for the process; only the decrypt slot is
// consulted, by pkey_sm2_decrypt for keys that come with an engine).
using SM2_PKEY_DECRYPT_FN = int (*)(EVP_PKEY_CTX *ctx, unsigned char *out, size_t *out_len,
                                    const unsigned char *in, size_t in_len);
using SM2_ENGINE_FN = int (*)();
int ENGINE_set_pkey_decrypt_function(ENGINE *e, SM2_PKEY_DECRYPT_FN f);
SM2_PKEY_DECRYPT_FN ENGINE_get_pkey_decrypt_function(const ENGINE *e);
int ENGINE_set_list_object_index_function(ENGINE *e, SM2_ENGINE_FN f);
SM2_ENGINE_FN ENGINE_get_list_object_index_function(const ENGINE *e);
int ENGINE_set_import_key_function(ENGINE *e, SM2_ENGINE_FN f);
SM2_ENGINE_FN ENGINE_get_import_key_function(const ENGINE *e);
int ENGINE_set_import_encrypted_key_function(ENGINE *e, SM2_ENGINE_FN f);
SM2_ENGINE_FN ENGINE_get_import_encrypted_key_function(const ENGINE *e);
int *ENGINE_get_sm2_index();
int *ENGINE_get_rsa_index();

}  // namespace kelu

#endif

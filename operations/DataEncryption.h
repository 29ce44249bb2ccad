/* Buffer-level encryption of the operations: SM2 encryption of a short secret to a public key
 * and its decryption (raw cipher text x1 || y1 || C2 || C3, without the 0x04 of C1C2C3), SM4-CBC
 * with PKCS#7 padding through the crypto library's cipher, SM4 in CBC or ECB mode over whole
 * blocks, and SM4-CBC keyed by a password (the protection of the key inside an SM2 key file).
 *
 * Results: KELU_OK, KELU_ERR_FAILED or KELU_ERR_INVALID_PARAMETER (the SM2 C1C3C2 routines and
 * SM4_ecb_encrypt: 1 or 0). Outputs are new[] buffers for the caller's delete[], written on
 * success only. */
#ifndef KELU_DATA_ENCRYPTION_H
#define KELU_DATA_ENCRYPTION_H

#include <openssl/bn.h>

#include <cstdint>

// Block mode of the unpadded SM4 routines: SM4_CBC selects CBC, every other value ECB.
enum SM4EncrytType : int { SM4_CBC = 0, SM4_ECB = 1 };

// Raw SM2 cipher text of plaintext size + 96 bytes to the public key (X, Y) on the SM2 curve;
// at most the first 32 bytes of X and Y are read. An empty plaintext fails (-1).
int SM2_Encrypt(const unsigned char *pbyPlainData, int nPlainDataSize,
                const unsigned char *pbyPubKeyX, int nPubKeyXSize,
                const unsigned char *pbyPubKeyY, int nPubKeyYSize,
                unsigned char **ppbyEncryptedData, int *pnEncryptedDataSize);
// The plaintext (cipher size - 96 bytes) of a raw SM2 cipher text, with C1 on the curve and C3
// matching; at most the first 32 bytes of d are read. Cipher texts shorter than 96 bytes are
// refused as a parameter.
int SM2_Decrypt(const unsigned char *pbyEncryptedData, int nEncryptedDataSize,
                const unsigned char *pbyPrivateKey, int nPrivateKeySize,
                unsigned char **ppbyPlainData, int *pnPlainDataSize);

// SM4-CBC with PKCS#7 padding (1 to 16 bytes): size / 16 * 16 + 16 bytes. IV and key: 16 bytes.
int SM4_Encrypt_CBC(const unsigned char *pbyPlainData, int nPlainDataSize,
                    const unsigned char *pbyIV, int nIVSize, const unsigned char *pbySymKey,
                    int nSymKeySize, unsigned char **ppbyEncryptData, int *pnEncryptDataSize);
// The plaintext without its padding; the padding is checked in constant time.
int SM4_Decrypt_CBC(const unsigned char *pbyEncryptedData, int nEncryptedDataSize,
                    const unsigned char *pbyIV, int nIVSize, const unsigned char *pbySymKey,
                    int nSymKeySize, unsigned char **ppbyPlainData, int *pnPlainDataSize);

// SM4 over whole 16-byte blocks, output as long as the input (0 bytes give an empty buffer).
// CBC needs a 16-byte IV size (a null IV is all zero; the caller's IV is never written); ECB
// does not read the IV. With a null output pointer the result is computed and discarded.
int SM4_Encrypt_Nopadding(const unsigned char *pbyPlainData, int nPlainDataSize,
                          const unsigned char *pbyIV, int nIVSize,
                          const unsigned char *pbySymKey, int nSymKeySize,
                          SM4EncrytType nSymType, unsigned char **ppbyEncryptedData,
                          int *pnEncryptedDataSize);
int SM4_Decrypt_Nopadding(const unsigned char *pbyEncryptedData, int nEncryptedDataSize,
                          const unsigned char *pbyIV, int nIVSize,
                          const unsigned char *pbySymKey, int nSymKeySize,
                          SM4EncrytType nSymType, unsigned char **ppbyPlainData,
                          int *pnPlainDataSize);

// SM4-CBC with padding under K = SM3(password || 00 00 00 01): IV K[0..15], key K[16..31].
// No salt: the same password and data always give the same bytes. An empty password is valid,
// a null one is refused.
int SM4EncryptByPin(const unsigned char *pbyData, int nDataSize, const char *pszPin,
                    unsigned char **ppbyEncryptedData, int *pnEncryptedDataSize);
int SM4DecryptByPin(const unsigned char *pbyEncryptedData, int nEncryptedDataSize,
                    const char *pszPin, unsigned char **ppbyPlainData, int *pnPlainDataSize);

// The 32 round keys of a 16-byte key in a new[] array: the encryption schedule for a non-zero
// nEncrypt, the decryption schedule for 0. The key size is not read. With a null output the
// array is made and released. KELU_OK, KELU_ERR_INVALID_PARAMETER (null key) or -1.
int SM4_Init_Key(const unsigned char *pbySymKey, int nSymKeySize, int nEncrypt,
                 uint32_t **ppRKeyArr);
// One block through the round keys (a decryption schedule decrypts). 1, or 0 for a null
// argument.
int SM4_ecb_encrypt(const unsigned char *pbyInput, const uint32_t *pRKeyArr,
                    unsigned char *pbyOutput);

// SM2 with the cipher text 0x04 || x1 || y1 || C3 || C2 (plaintext size + 97 bytes) on curve
// 920 or 921 (toolkit identifiers). The output buffer is the caller's; decryption writes it
// only when C3 matches. 1 or 0.
int _SM2_encrypt_v2(int nCurveNID, const unsigned char *pbyPlainData, unsigned int nPlainDataSize,
                    const BIGNUM *pbnPubKeyX, const BIGNUM *pbnPubKeyY,
                    unsigned char *pbyEncryptedData);
int _SM2_decrypt_v2(int nCurveNID, const unsigned char *pbyEncryptedData,
                    unsigned int nEncryptedDataSize, const BIGNUM *pbnPrivateKey,
                    unsigned char *pbyPlainData);

#endif

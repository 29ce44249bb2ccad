/* Symmetric ciphers chosen by the crypto library's numeric identifier, with PKCS#7 padding for
 * the block ciphers:
 *
 *   5 RC4 (key 16, no IV)            33 DES-EDE3-ECB (key 24, no IV)   44 DES-EDE3-CBC (24, IV 8)
 *   426 AES-256-ECB (key 32, no IV)  427 AES-256-CBC (key 32, IV 16)   923 SM4-CBC (16, IV 16)
 *
 * 923 is the toolkit's identifier of its own SM4-CBC. Each operation accepts a subset:
 * GenerateSymKey 5, 44, 427; SymEncrypt 5, 33, 44, 427; SymFileEncrypt 5, 44, 426, 923; the
 * decryptions all six. Keys must have exactly the cipher's key length and, for the CBC
 * ciphers, IVs exactly its IV length (KELU_ERR_INVALID_PARAMETER before either is read); the
 * IV of the other ciphers is not read. Buffers handed out are new[], released with delete[],
 * and are written only on success. */
#ifndef KELU_RSA_DATA_ENCRYPTION_H
#define KELU_RSA_DATA_ENCRYPTION_H

#include <openssl/evp.h>

#include <cstdio>

// The library's cipher of an identifier of the table; KELU_ERR_INVALID_PARAMETER for any other
// identifier, -1 when the library has no such cipher.
int GetEVPCipherbyNID(int nSymAlgNID, const EVP_CIPHER **ppEvpCipher);

// A fresh random key of the cipher's length (DES-EDE3: three DES keys with odd parity).
int GenerateSymKey(int nSymAlgNID, unsigned char **ppbySymKey, int *pnSymKeySize);

// Cipher text of size/b*b + b bytes for a block cipher of block size b, as many bytes as the
// plaintext for RC4; the plaintext must hold at least one byte. Cipher failures give
// KELU_ERR_ENCRYPT.
int SymEncrypt(int nSymAlgNID, const unsigned char *pbyIV, int nIVSize,
               const unsigned char *pbySymKey, int nSymKeySize,
               const unsigned char *pbyPlainData, int nPlainDataSize,
               unsigned char **ppbyEncryptedData, int *pnEncryptedDataSize);

// The plaintext in a buffer with one NUL after it (not counted in *pnPlainDataSize). A wrong
// padding, a cipher text that is not whole blocks and other cipher failures give
// KELU_ERR_DECRYPT.
int SymDecrypt(int nSymAlgNID, const unsigned char *pbyIV, int nIVSize,
               const unsigned char *pbySymKey, int nSymKeySize,
               const unsigned char *pbyEncryptedData, int nEncryptedDataSize,
               unsigned char **ppbyPlainData, int *pnPlainDataSize);

// The whole plain file, read from its start in BLOCK_SIZE pieces, encrypted onto the encrypted
// file from its current position; neither file is closed. An empty plain file gives
// KELU_ERR_READ_FILE, a short write KELU_ERR_WRITE_FILE, a failed key set-up KELU_ERR_ENCRYPT
// and a later cipher failure -1. After a failure the output is not usable.
int SymFileEncrypt(int nSymAlgNID, const unsigned char *pbyIV, int nIVSize,
                   const unsigned char *pbySymKey, int nSymKeySize, FILE *fpPlainFile,
                   FILE *fpEncryptedFile);

// The counterpart of SymFileEncrypt; every cipher failure, a wrong final padding among them,
// gives KELU_ERR_DECRYPT.
int SymFileDecrypt(int nSymAlgNID, const unsigned char *pbyIV, int nIVSize,
                   const unsigned char *pbySymKey, int nSymKeySize, FILE *fpEncryptedFile,
                   FILE *fpPlainFile);

#endif

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
#include <openssl/x509.h>

#include <cstdint>
#include <cstdio>

#include "ASN1EngineEx.h"
#include "Misc.h"

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

// ---------------------------------------------------------------------------------------------
// RSA key transport (RSAES-PKCS1-v1_5, moduli of at least 1024 bits) and CMS envelopes of one
// recipient named by the subject key identifier of its certificate. Certificates are DER;
// PKCS#12 files are read from their current position. Content ciphers: 44 DES-EDE3-CBC,
// 427 AES-256-CBC (memory only) and 5 RC4 when encrypting; 44, 33 DES-EDE3-ECB and 5 when
// decrypting.
//
// Opening an envelope: a wrong PKCS#12 password or file fails in ParsePFXFile; every failure
// that depends on the decrypted content key (RSA padding, key length, content padding, and for
// RC4 the RSA padding alone) gives KELU_ERR_DECRYPT after the same work, so that the outcome
// tells nothing about the RSA plaintext. Decrypted keys and plaintexts are wiped before they
// are released; only their sizes are logged.
//
// File outputs are written from the file's current position. When a file form fails after it
// began to write, a regular output file is cut back to that position (other streams are left
// as they are, not usable).

// RSA_size bytes of RSAES-PKCS1-v1_5 cipher text; KELU_ERR_ENCRYPT for a key that is no RSA
// key or shorter than 1024 bits, or a plaintext longer than RSA_size - 11 bytes.
int RSAEncrypt(EVP_PKEY *pEvpPubKey, const unsigned char *pbyPlainData, int nPlainDataSize,
               unsigned char **ppbyEncryptedData, int *pnEncryptedDataSize);

// The RSAES-PKCS1-v1_5 plaintext; KELU_ERR_DECRYPT for a missing or short key and for any
// decryption failure.
int RSADecrypt(EVP_PKEY *pEvpPrivKey, const unsigned char *pbyEncryptedData,
               int nEncryptedDataSize, unsigned char **ppbyPlainData, int *pnPlainDataSize);

// RSAEncrypt with the certificate's key, which must allow keyEncipherment (KELU_ERR_KEY_USAGE).
int RSAEncryptByX509(X509 *pX509Cert, const unsigned char *pbyPlainData, int nPlainDataSize,
                     unsigned char **ppbyEncryptedData, int *pnEncryptedDataSize);

// The DER envelope of the data under a fresh content key of nSymAlgNID (44, 427 or 5).
// KELU_ERR_INVALID_PARAMETER for another cipher; -1 for a certificate that does not decode or
// has no subject key identifier; codes of RSAEncryptByX509.
int RSA_EncryptDataToDERCMSEnvelope(const unsigned char *pbyPlainData, int nPlainDataSize,
                                    const unsigned char *pbyCert, int nCertSize, int nSymAlgNID,
                                    unsigned char **ppbyDERCMSEnvelope,
                                    int *pnDERCMSEnvelopeSize);

// The same as Base64 text with the caller's flags; *pnBase64CMSEnvelopeLen is optional.
int RSA_EncryptDataToCMSEnvelope(const unsigned char *pbyPlainData, int nPlainDataSize,
                                 const unsigned char *pbyCert, int nCertSize, int nSymAlgNID,
                                 unsigned long dwBase64Flags, char **ppszBase64CMSEnvelope,
                                 int *pnBase64CMSEnvelopeLen);

// The whole plain file (read from its start, 16384 bytes at a time) as one DER envelope on the
// envelope file: the header, then the encrypted content. Ciphers 44 and 5. An empty plain file
// gives KELU_ERR_INVALID_PARAMETER, one whose content would not fit the encoder's int sizes
// KELU_ERR_FILE_TOO_LARGE, a plain file that ends before its measured size KELU_ERR_READ_FILE,
// a failed write KELU_ERR_WRITE_FILE.
int RSA_EncryptFileToCMSEnvelope(FILE *fpPlainFile, const unsigned char *pbyCert, int nCertSize,
                                 int nSymAlgNID, FILE *fpCMSEnvelope);

// The plaintext of a DER envelope, with one NUL after it (not counted), opened with the key of
// the PKCS#12 file. An envelope that names another recipient gives KELU_ERR_DECRYPT; one
// without a recipient identifier is tried with the key. Envelope shapes the parser refuses
// give its codes (-1, KELU_ERR_ENVELOPE_FORMAT).
int RSA_DecryptDataFromDERCMSEnvelope(const unsigned char *pbyDERCMSEnvelope,
                                      int nDERCMSEnvelopeSize, FILE *fpPFX,
                                      const char *pszPFXPwd, unsigned char **ppbyPlainData,
                                      int *pnPlainDataSize);

// The same from NUL-terminated Base64 text; the password must not be empty.
int RSA_DecryptDataFromCMSEnvelope(const char *pszBase64CMSEnvelope, FILE *fpPFX,
                                   const char *pszPFXPwd, unsigned char **ppbyPlainData,
                                   int *pnPlainDataSize);

// An envelope file (parsed from offset 0, its content streamed from the file) decrypted onto
// the plain file.
int RSA_DecryptFileFromCMSEnvelope(FILE *fpCMSEnvelope, FILE *fpPFX, const char *pszPFXPwd,
                                   FILE *fpPlainFile);

// ---------------------------------------------------------------------------------------------
// The streamed content of envelope files, shared with the SM2 file envelopes. The step lines
// are written for site.

// The plain file measured (it is left at its start) and the size of its encrypted content with
// the padding to whole blocks of nBlockSize bytes (1: a stream cipher). An empty file gives
// KELU_ERR_INVALID_PARAMETER, content that would not fit the encoder's int sizes
// KELU_ERR_FILE_TOO_LARGE.
int MeasureFileEnvelopeContent(const TraceSite &site, FILE *fpPlainFile, int nBlockSize,
                               uint64_t *pnPlainFileSize, uint64_t *pnContentSize);

// An envelope encoded without its content (the header-only form), announcing content_size
// bytes of encrypted content.
struct FileEnvelopeHeader {
  const unsigned char *der;
  int size;
  uint64_t content_size;
};

// The envelope file: the header written at the file's position, then the first nPlainFileSize
// bytes of the plain file (read from its start, BLOCK_SIZE at a time) encrypted behind it with
// a cipher of SymFileEncrypt. A failed write gives KELU_ERR_WRITE_FILE, a plain file that ends
// early KELU_ERR_READ_FILE, content of another size than announced -1; after a failure a
// regular envelope file is cut back to where it was.
int EncryptFileEnvelopeContent(const TraceSite &site, int nSymAlgNID,
                               const unsigned char *pbySymKey, int nSymKeySize,
                               const unsigned char *pbyIV, int nIVSize,
                               const FileEnvelopeHeader &header, FILE *fpPlainFile,
                               uint64_t nPlainFileSize, FILE *fpCMSEnvelope);

// The encrypted content that pEncryptedContentNode locates in the envelope file (its own value,
// or the values of its elements in order, as Decode_CMSEnvelopeFile hands it out), decrypted
// with any cipher of the table onto the plain file. The key and IV must have the cipher's
// lengths (KELU_ERR_INVALID_PARAMETER); a node that is not of that form gives
// KELU_ERR_ENVELOPE_FORMAT, content that ends before the node's length KELU_ERR_READ_FILE,
// a cipher or padding failure KELU_ERR_DECRYPT, a failed write KELU_ERR_WRITE_FILE.
int DecryptFileEnvelopeContent(int nSymAlgNID, const unsigned char *pbySymKey, int nSymKeySize,
                               const unsigned char *pbyIV, int nIVSize, FILE *fpCMSEnvelope,
                               const NodeEx *pEncryptedContentNode, FILE *fpPlainFile);

// One piece of the content: the node's value through the keyed context onto the plain file
// (no final step); *pnWrittenBytes (optional) grows by the bytes written.
int DecryptFileEnvelopeContent_ProcessOneNode(EVP_CIPHER_CTX *pCTX, FILE *fpCMSEnvelope,
                                              const NodeEx *pNode, FILE *fpPlainFile,
                                              uint64_t *pnWrittenBytes);

#endif

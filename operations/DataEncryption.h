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
#include <cstdio>

#include "Misc.h"

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

// ---------------------------------------------------------------------------------------------
// SM2 digital envelopes: CMS EnvelopedData under the national identifiers (outer type
// "1.2.156.10197.6.1.4.2.3", inner type "1.2.156.10197.6.1.4.2.1", key encryption
// "1.2.156.10197.1.301.3"). The content is SM4-CBC with PKCS#7 padding (content encryption
// "1.2.156.10197.1.104", parameters the OCTET STRING of the IV) under a fresh key; that key is
// encrypted with SM2 to the recipient certificate (PEM or DER, with keyEncipherment, named by its
// subject key identifier) and stored as fSM2EncEncodedType says. The envelope does not record
// that encoding: the opener must be told. Openings read the SM2 key file (a stream of its
// Base64 text) from its start and decrypt it with the password; a key file whose certificate is
// not the named recipient is refused. Decrypted keys and plaintexts are wiped before they are
// released; only sizes are logged.

#define SM2_ENC_ENCODED_C1C2C3 0x10000UL     // the raw SM2 cipher text x || y || C2 || C3
#define SM2_ENC_ENCODED_SM2CIPHER 0x20000UL  // its DER SM2Cipher

// The DER envelope of the data. KELU_ERR_KEY_USAGE (before anything is drawn), -1 for a
// certificate without an SM2 key or a subject key identifier, KELU_ERR_INVALID_PARAMETER for
// empty data or another encoding, -1 for a failing random source.
int EncryptDataToDerCMSEnvelope(const unsigned char *pbyPlainData, int nPlainDataSize,
                                const unsigned char *pbyCert, int nCertSize,
                                unsigned long fSM2EncEncodedType,
                                unsigned char **ppbyDerCMSEnvelope, int *pnDerCMSEnvelopeSize);
// The same as Base64 text with the caller's flags; *pnBase64CMSEnvelopeSize is optional.
int EncryptDataToBase64CMSEnvelope(const unsigned char *pbyPlainData, int nPlainDataSize,
                                   const unsigned char *pbyCert, int nCertSize,
                                   unsigned long fSM2EncEncodedType,
                                   char **ppszBase64CMSEnvelope, int *pnBase64CMSEnvelopeSize,
                                   unsigned long dwBase64Flags);

// The plaintext of a DER envelope. The envelope's algorithm identifiers are not compared.
// KELU_ERR_KEY_FILE_PASSWORD for any key file that does not open with the password,
// KELU_ERR_DECRYPT for an envelope naming another recipient, KELU_ERR_ENVELOPE_FORMAT for a
// content key or IV that is not 16 bytes (and for envelopes of another shape), -1 when the SM2
// or SM4 decryption fails.
int DecryptDerCMSEnvelopeData(const unsigned char *pbyDerCMSEnvelope, int nDerCMSEnvelopeSize,
                              FILE *fpSM2PFXFile, const char *pszPFXPwd,
                              unsigned long fSM2EncEncodedType, unsigned char **ppbyPlainData,
                              int *pnPlainDataSize);
// The same from Base64 text of nBase64CMSEnvelopeSize characters.
int DecryptBase64CMSEnvelopeData(const char *pszBase64CMSEnvelope, int nBase64CMSEnvelopeSize,
                                 FILE *fpSM2PFXFile, const char *pszPFXPwd,
                                 unsigned long fSM2EncEncodedType, unsigned char **ppbyPlainData,
                                 int *pnPlainDataSize);

// The whole plain file (read from its start, 16384 bytes at a time) as one DER envelope on the
// envelope file: the header, then the encrypted content. Codes as the data form's, and those
// of the streamed content (an empty plain file KELU_ERR_INVALID_PARAMETER, a failed write
// KELU_ERR_WRITE_FILE); after a failure a regular envelope file is cut back to where it was.
int EncryptFileToDerCMSEnvelope(FILE *fpPlainFile, const unsigned char *pbyCert, int nCertSize,
                                unsigned long fSM2EncEncodedType, FILE *fpCMSEnvelope);
// An envelope file (parsed from offset 0, its content streamed from the file) decrypted onto
// the plain file. Unlike the data form it requires the national identifiers of the key and
// content encryption (else KELU_ERR_ENVELOPE_FORMAT), refuses another recipient with
// KELU_ERR_RECIPIENT_MISMATCH and passes the key file's own codes on.
int DecryptDerCMSEnvelopeFile(FILE *fpCMSEnvelope, FILE *fpSM2PFXFile, const char *pszPFXPwd,
                              unsigned long fSM2EncEncodedType, FILE *fpPlainFile);

namespace kelu::ops {

// How the content of an SM2 envelope is encrypted; the SM4-CBC envelopes above and the
// toolkit's SM4-ECB envelope differ only in this. The content functions take the 16-byte key
// and, when iv_size is 16, the IV; their codes pass on.
using SM2ContentCipher = int (*)(const unsigned char *pbyIn, int nInSize,
                                 const unsigned char *pbyIV, const unsigned char *pbySymKey,
                                 unsigned char **ppbyOut, int *pnOutSize);
struct SM2EnvelopeContent {
  const char *algorithm_oid;  // content-encryption OID
  int iv_size;                // 16: an IV drawn before the key, its OCTET STRING the parameters;
                              // 0: no IV, NULL parameters
  SM2ContentCipher encrypt;
  const char *encrypt_step;
  SM2ContentCipher decrypt;
  const char *decrypt_step;
  const char *sizes_step;    // the check of the content key and the parameters
  const char *sizes_reason;
  const char *empty_step;    // when set, an empty plaintext fails (-1) with this step
  const char *empty_reason;
};

// The DER envelope of the data and its opening, with the step lines written for site.
int MakeSM2Envelope(const TraceSite &site, const SM2EnvelopeContent &content,
                    const unsigned char *pbyPlainData, int nPlainDataSize,
                    const unsigned char *pbyCert, int nCertSize, unsigned long fSM2EncEncodedType,
                    unsigned char **ppbyDerCMSEnvelope, int *pnDerCMSEnvelopeSize);
int OpenSM2Envelope(const TraceSite &site, const SM2EnvelopeContent &content,
                    const unsigned char *pbyDerCMSEnvelope, int nDerCMSEnvelopeSize,
                    FILE *fpSM2PFXFile, const char *pszPFXPwd, unsigned long fSM2EncEncodedType,
                    unsigned char **ppbyPlainData, int *pnPlainDataSize);

// The Base64 forms around a DER form (named step in the step lines).
using SM2EnvelopeMaker = int (*)(const unsigned char *, int, const unsigned char *, int,
                                 unsigned long, unsigned char **, int *);
using SM2EnvelopeOpener = int (*)(const unsigned char *, int, FILE *, const char *, unsigned long,
                                  unsigned char **, int *);
int MakeSM2EnvelopeText(const TraceSite &site, SM2EnvelopeMaker make, const char *step,
                        const unsigned char *pbyPlainData, int nPlainDataSize,
                        const unsigned char *pbyCert, int nCertSize,
                        unsigned long fSM2EncEncodedType, char **ppszBase64CMSEnvelope,
                        int *pnBase64CMSEnvelopeSize, unsigned long dwBase64Flags);
int OpenSM2EnvelopeText(const TraceSite &site, SM2EnvelopeOpener open, const char *step,
                        const char *pszBase64CMSEnvelope, int nBase64CMSEnvelopeSize,
                        FILE *fpSM2PFXFile, const char *pszPFXPwd,
                        unsigned long fSM2EncEncodedType, unsigned char **ppbyPlainData,
                        int *pnPlainDataSize);

}  // namespace kelu::ops

#endif

/* The SM2 key file and the SM2 key pair it opens into, and the ECPrivateKey structure.
 *
 * An SM2 key file is the Base64 text of one DER SM2_PFX:
 *   SM2_PFX ::= SEQUENCE { version INTEGER, privateData SM2_PRIVATE_DATA,
 *                          publicData SM2_PUBLIC_DATA }
 *   SM2_PRIVATE_DATA ::= SEQUENCE { dataID OBJECT IDENTIFIER, dataEncryptedAlg OBJECT IDENTIFIER,
 *                                   encryptedSM2PrivateKey OCTET STRING }
 *   SM2_PUBLIC_DATA ::= SEQUENCE { dataID OBJECT IDENTIFIER, SM2Certificate OCTET STRING }
 * The private key d (32 bytes) is encrypted by SM4EncryptByPin with the file's password; the
 * certificate is PEM or DER. Readers look at neither the version nor the OIDs, and ignore bytes
 * after the structure.
 *
 * The ECPrivateKey encoder is not RFC 5915: the private key is written as an INTEGER (with a
 * 0x00 in front when its top bit is set, and its own leading zero bytes kept, so a key that
 * starts with 0x00 is not a minimal INTEGER), not as an OCTET STRING; standard ECPrivateKey
 * readers do not accept the result. Nothing in the toolkit calls these functions. */
#ifndef KELU_SM_FILE_CERT_OPERATIONS_H
#define KELU_SM_FILE_CERT_OPERATIONS_H

#include <openssl/asn1.h>

#include <cstdio>

#include "ASN1EngineEx.h"
#include "Misc.h"
#include "OperationSteps.h"
#include "SMHooks.h"

// ---- SM2 key file -------------------------------------------------------------------------

// The records are the crypto library item PFX_SM2 (one definition), under the key file's names.
typedef PFX_SM2_PRIVATE_DATA SM2_PRIVATE_DATA;
typedef PFX_SM2_PUBLIC_DATA SM2_PUBLIC_DATA;
typedef PFX_SM2 SM2_PFX;

DECLARE_ASN1_ALLOC_FUNCTIONS_name(SM2_PRIVATE_DATA, SM2_PRIVATE_DATA)
DECLARE_ASN1_ENCODE_FUNCTIONS_only(SM2_PRIVATE_DATA, SM2_PRIVATE_DATA)
DECLARE_ASN1_ALLOC_FUNCTIONS_name(SM2_PUBLIC_DATA, SM2_PUBLIC_DATA)
DECLARE_ASN1_ENCODE_FUNCTIONS_only(SM2_PUBLIC_DATA, SM2_PUBLIC_DATA)
DECLARE_ASN1_ALLOC_FUNCTIONS_name(SM2_PFX, SM2_PFX)
DECLARE_ASN1_ENCODE_FUNCTIONS_only(SM2_PFX, SM2_PFX)

// An SM2 key pair: three owned new[] buffers. Zero-initialised by its user, filled by
// DecryptSM2PFX or DecryptKeyPairFromSM2PFX, released by CleanupSM2KeyPair.
typedef struct SM2_KEY_PAIR_st {
  unsigned char *pbyPrivateKey;  // d, 32 bytes big-endian
  int nPrivateKeySize;
  unsigned char *pbyPubKeyX;     // from the file's certificate, 32 bytes big-endian
  int nPubKeyXSize;
  unsigned char *pbyPubKeyY;
  int nPubKeyYSize;
} SM2_KEY_PAIR;

// Reading a key file, as every user of one does: the whole file from its start (ReadWholeFile
// with the user's texts), then its Base64 text decoded into DER (the step "Base64DecodeEx").
// The step lines are written for site.
int ReadSM2PFXFile(const TraceSite &site, FILE *fpSM2PFXFile,
                   const kelu::ops::WholeFileTexts &texts,
                   kelu::ops::BytesPtr *der, int *der_size);

// Copies of encryptedSM2PrivateKey and SM2Certificate; an output pair is skipped unless both
// of its pointers are given (with none, the structure is only validated). KELU_OK,
// KELU_ERR_KEY_FILE_FORMAT (not an SM2_PFX) or -1.
int ParseSM2PFX(const unsigned char *pbySM2PFXData, int nSM2PFXDataSize,
                unsigned char **ppbyEncryptedPrivateKey, int *pnEncryptedPrivateKeySize,
                unsigned char **ppbyPublicCertData, int *pnPublicCertDataSize);

// Opens a key file's DER with its password: d from the decrypted key, X and Y from the
// certificate. The pair (optional) must be empty on entry and is written only on success, as is
// the certificate copy (only when both of its pointers are given). KELU_OK, the codes of
// ParseSM2PFX, KELU_ERR_KEY_FILE_PASSWORD (the key does not decrypt to 32 bytes, or is not the
// key of the certificate), the -1 of the certificate reader, or KELU_ERR_INVALID_PARAMETER for
// a null password.
int DecryptSM2PFX(const unsigned char *pbySM2PFXData, int nSM2PFXDataSize,
                  const char *pszPassword, SM2_KEY_PAIR *pstSM2KeyPair,
                  unsigned char **ppbyPublicCertData, int *pnPublicCertDataSize);
// The same with a required pair and no certificate output.
int DecryptKeyPairFromSM2PFX(const unsigned char *pbySM2PFXData, int nSM2PFXDataSize,
                             const char *pszPassword, SM2_KEY_PAIR *pstSM2KeyPair);
// True when d (32 bytes) lies in [1, n-2] and [d]G is the point (X, Y) on the SM2 curve. Constant
// time in d, in range or not: one fixed-base multiplication and comparisons of the whole values.
bool SM2PrivateKeyMatchesPublicKey(const unsigned char d[32], const unsigned char x[32],
                                   const unsigned char y[32]);
// Wipes the private key, releases the three buffers and nulls their pointers; the sizes stay.
// A null pair is ignored. Always KELU_OK.
int CleanupSM2KeyPair(SM2_KEY_PAIR *pstSM2KeyPair);

// The DER SM2_PFX of a new key file (the caller Base64-encodes it): version 1, dataIDs
// "1.2.156.10197.6.1.4.2.1", dataEncryptedAlg "1.2.156.10197.1.104", the 32-byte key encrypted
// with the password, the certificate bytes as given. KELU_OK or the first failing step's code:
// the -1 of the certificate reader for a certificate without an SM2 key, and
// KELU_ERR_INVALID_PARAMETER for a key that is not the key of the certificate.
int EncapsulateSM2PFX(const unsigned char *pbyPublicCertData, int nPublicCertDataSize,
                      const unsigned char *pbyPrivateKey, int nPrivateKeySize,
                      const char *pszPassword, unsigned char **ppbySM2PFXData,
                      int *pnSM2PFXDataSize);

// New records (OIDs in dotted form only). KELU_OK or -1.
int CreateSM2PublicData(const char *pszDataID, const unsigned char *pbyPublicCertData,
                        unsigned int nPublicCertDataSize, SM2_PUBLIC_DATA **ppstSM2PublicData);
int CreateSM2PrivateData(const char *pszDataID, const char *pszDataEncryptedAlg,
                         const unsigned char *pbyEncryptedPrivateKey,
                         unsigned int nEncryptedPrivateKeySize,
                         SM2_PRIVATE_DATA **ppstSM2PrivateData);
// Takes over both records and nulls the caller's pointers, on success only.
int CreateSM2PFX(long nVersion, SM2_PRIVATE_DATA **ppstSM2PrivateData,
                 SM2_PUBLIC_DATA **ppstSM2PublicData, SM2_PFX **ppstSM2PFX);

// ---- ECPrivateKey -------------------------------------------------------------------------

// SEQUENCE { INTEGER version (its low byte), INTEGER privateKey, [0] { OID curve },
// [1] { BIT STRING 00 04 X Y } }. On success *ppNode is the root, which the caller deletes.
// 0, -1 or the code of ConstructNode_ObjectIdentifier.
int ConstructNode_ECPrivateKey(int nVersion, const char *pszCurveOID,
                               const unsigned char *pbyPrivateKey, int nPrivateKeySize,
                               const unsigned char *pbyPublicX, int nPublicXSize,
                               const unsigned char *pbyPublicY, int nPublicYSize,
                               NodeEx **ppNode);

// The same structure as DER in a new[] buffer. 0 or the code of the first failing step.
int EncodeECPrivateKey(int nVersion, const char *pszCurveOID, const unsigned char *pbyPrivateKey,
                       int nPrivateKeySize, const unsigned char *pbyPublicX, int nPublicXSize,
                       const unsigned char *pbyPublicY, int nPublicYSize,
                       unsigned char **ppbyDER, int *pnDERSize);

#endif

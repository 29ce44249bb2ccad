/* Digests chosen by the crypto library's numeric identifier (4 MD5, 64 SHA-1, 672 SHA-256,
 * 673 SHA-384, 674 SHA-512, and any other digest the library registers by name; 922 is the
 * toolkit's own SM3), and the object identifiers that a SignerInfo names for them. Outputs are
 * new[] buffers released with delete[], written only on success. */
#ifndef KELU_RSA_DATA_SIGNING_H
#define KELU_RSA_DATA_SIGNING_H

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <cstdio>

// Two new[] texts: the digest's OID and the digest-encryption OID (with bAccurate false,
// rsaEncryption "1.2.840.113549.1.1.1" for every digest). -1 for an identifier outside
// 4, 64, 672, 673, 674.
int GetAlgOIDbyHashNID(int nHashNID, char **pszDigestAlg, char **pszDigestEncryptionAlg,
                       bool bAccurate);

// The digest of the bytes in a new[] buffer of exactly the digest's size. KELU_OK,
// KELU_ERR_UNKNOWN_HASH, KELU_ERR_INVALID_PARAMETER or -1.
int CalculateDataHash(const unsigned char *pbySourceData, int nSourceDataSize, int nHashNID,
                      unsigned char **ppbyHashValue, int *pnHashValueSize);

// The digest of the whole open file, read from its start in BLOCK_SIZE pieces (the file stays
// open); sizes are 64 bits wide. KELU_OK, KELU_ERR_UNKNOWN_HASH, KELU_ERR_READ_FILE (a file
// that ends before its measured size or a read error), a code of GetFileSize_Ex, or -1.
int CalculateFileHash(FILE *fpSourceFile, int nHashNID, unsigned char **ppbyHashValue,
                      int *pnHashValueSize);

// ---------------------------------------------------------------------------------------------
// RSA PKCS#1 v1.5 signatures (RSASSA-PKCS1-v1_5 with the DigestInfo of the digest NID) over
// data or a whole file (read from its start in BLOCK_SIZE pieces). Signing keys come from a
// PKCS#12 file (read from its current position) whose certificate must allow digitalSignature
// (KELU_ERR_KEY_USAGE); verifying keys from DER certificates. A signature that does not verify
// gives KELU_ERR_BAD_SIGNATURE.

// RSA_size bytes of signature over the data's digest.
int RSA_SignData_PKCS1_ByPrivateKey(const unsigned char *pbySourceData, int nSourceDataSize,
                                    RSA *pRsaPrivKey, int nHashNID,
                                    unsigned char **ppbySignature, int *pnSignatureSize);
int RSA_SignData_PKCS1_ByPFX(const unsigned char *pbySourceData, int nSourceDataSize,
                             FILE *fpPFXFile, const char *pszPFXPwd, int nHashNID,
                             unsigned char **ppbySignature, int *pnSignatureSize);
// The signature as Base64 text with the caller's flags; the length output is optional.
int RSA_SignData_PKCS1(const unsigned char *pbySourceData, int nSourceDataSize, FILE *fpPFXFile,
                       const char *pszPFXPwd, int nHashNID, unsigned long dwBase64Flags,
                       char **ppszBase64Signature, int *pnBase64SignatureLen);

// KELU_OK, KELU_ERR_BAD_SIGNATURE or -1 (no digest, no RSA key in the certificate).
int RSA_VerifyDataSignature_PKCS1_ByX509(const unsigned char *pbySourceData, int nSourceDataSize,
                                         X509 *pX509Cert, int nHashNID,
                                         const unsigned char *pbySignature, int nSignatureSize);
int RSA_VerifyDataSignature_DERPKCS1_ByDERCert(const unsigned char *pbySourceData,
                                               int nSourceDataSize, const unsigned char *pbyCert,
                                               int nCertSize, int nHashNID,
                                               const unsigned char *pbySignature,
                                               int nSignatureSize);
// Certificate and signature as NUL-terminated Base64 texts.
int RSA_VerifyDataSignature_PKCS1(const unsigned char *pbySourceData, int nSourceDataSize,
                                  const char *pszBase64CertContent, int nHashNID,
                                  const char *pszBase64Signature);

int RSA_SignFile_PKCS1_ByPrivateKey(FILE *fpSourceFile, RSA *pRsaPrivKey, int nHashNID,
                                    unsigned char **ppbySignature, unsigned int *pnSignatureSize);
int RSA_SignFile_PKCS1_ByPFX(FILE *fpSourceFile, FILE *fpPFXFile, const char *pszPFXPwd,
                             int nHashNID, unsigned char **ppbySignature, int *pnSignatureSize);
int RSA_SignFile_PKCS1(FILE *fpSourceFile, FILE *fpPFXFile, const char *pszPFXPwd, int nHashNID,
                       unsigned long dwBase64Flags, char **ppszBase64Signature);
// As the data forms; a failing file digest gives its own code (KELU_ERR_READ_FILE, ...).
int RSA_VerifyFileSignature_PKCS1_ByX509(FILE *fpSourceFile, X509 *pX509Cert, int nHashNID,
                                         const unsigned char *pbySignature, int nSignatureSize);
int RSA_VerifyFileSignature_PKCS1_ByDERCertContent(FILE *fpSourceFile,
                                                   const unsigned char *pbyCert, int nCertSize,
                                                   int nHashNID,
                                                   const unsigned char *pbySignature,
                                                   int nSignatureSize);
int RSA_VerifyFileSignature_PKCS1(FILE *fpSourceFile, const char *pszBase64CertContent,
                                  int nHashNID, const char *pszBase64Signature);

// ---------------------------------------------------------------------------------------------
// RSA PKCS#7 SignedData. Data is signed by the crypto library (no signed attributes, the
// content byte for byte, the signer certificate included) attached or detached, and verified
// by it: every signer's signature over the content, with signed attributes when they are
// present, against the certificates the SignedData carries; the certificates themselves are
// not verified. Files are signed detached by the toolkit's own encoder and verified by its own
// parser; a file SignedData with signed attributes is refused (KELU_ERR_PKCS7_FORMAT). DER and
// certificates handed out are new[] buffers; optional outputs are written only when given.

namespace kelu {

// PKCS7_sign with the digest of nHashNID; the library's flags. A new object or null, with the
// library error on the queue.
PKCS7 *PKCS7_sign_ex(X509 *pSignCert, EVP_PKEY *pPrivateKey, STACK_OF(X509) *pCerts,
                     BIO *pBioData, int nHashNID, int nFlags);

// Every signer of a SignedData verified over the content (pBioData for detached content, null
// for attached), its certificate found by issuer and serial among the SignedData's; no
// certificate check. 0, or -1 with the library error on the queue.
int PKCS7_verify_signature(PKCS7 *p7, BIO *pBioData);

}  // namespace kelu

int RSA_SignData_PKCS7_ByKeyPair(const unsigned char *pbySourceData, int nSourceDataSize,
                                 X509 *pX509Cert, EVP_PKEY *pPrivateKey, int nHashNID,
                                 bool bAttached, unsigned char **ppbyDERSignature,
                                 int *pnDERSignatureSize);
int RSA_SignData_PKCS7_ByPFX(const unsigned char *pbySourceData, int nSourceDataSize,
                             FILE *fpPFXFile, const char *pszPFXPwd, int nHashNID, bool bAttached,
                             unsigned char **ppbyDERSignature, int *pnDERSignatureSize);
int RSA_SignData_PKCS7(const unsigned char *pbySourceData, int nSourceDataSize, FILE *fpPFXFile,
                       const char *pszPFXPwd, int nHashNID, bool bAttached,
                       unsigned long dwBase64Flags, char **ppszBase64Signature,
                       int *pnBase64SignatureLen);

// KELU_OK, KELU_ERR_BAD_SIGNATURE or -1. The signer certificate (DER of the first signer's) is
// handed out when ppbySignCert is given.
int RSA_VerifyDataSignature_DERPKCS7Detached(const unsigned char *pbyDERSignature,
                                             int nDERSignatureSize,
                                             const unsigned char *pbySourceData,
                                             int nSourceDataSize, unsigned char **ppbySignCert,
                                             int *pnSignCertSize);
int RSA_VerifyDataSignature_PKCS7Detached(const char *pszBase64Signature,
                                          const unsigned char *pbySourceData,
                                          int nSourceDataSize, unsigned char **ppbySignCert,
                                          int *pnSignCertSize);
// The content inside the SignedData is handed out (not terminated) when ppbySourceData is
// given.
int RSA_VerifyDataSignature_DERPKCS7Attached(const unsigned char *pbyDERSignature,
                                             int nDERSignatureSize,
                                             unsigned char **ppbySourceData,
                                             int *pnSourceDataSize, unsigned char **ppbySignCert,
                                             int *pnSignCertSize);
int RSA_VerifyDataSignature_PKCS7Attached(const char *pszBase64Signature,
                                          unsigned char **ppbySourceData, int *pnSourceDataSize,
                                          unsigned char **ppbySignCert, int *pnSignCertSize);

// A detached SignedData over the whole file: the PKCS#1 signature of its digest, the digest
// OID of the NID and the digest-encryption OID for bAccurate, the signer certificate.
int RSA_SignFile_PKCS7Detached_ByPFX(FILE *fpSourceFile, FILE *fpPFXFile, const char *pszPFXPwd,
                                     int nHashNID, bool bAccurate,
                                     unsigned char **ppbyDERSignature, int *pnDERSignatureSize);
int RSA_SignFile_PKCS7Detached(FILE *fpSourceFile, FILE *fpPFXFile, const char *pszPFXPwd,
                               int nHashNID, bool bAccurate, unsigned long dwBase64Flags,
                               char **ppszBase64Signature);
// A detached file SignedData verified against the whole file with the certificate it carries.
// KELU_ERR_PKCS7_FORMAT for one with content, with signed attributes or with a digest OID the
// library does not know; KELU_ERR_UNKNOWN_HASH for a known OID that names no digest.
int RSA_VerifyFileSignature_DERPKCS7Detached(const unsigned char *pbyDERSignature,
                                             int nDERSignatureSize, FILE *fpSourceFile,
                                             unsigned char **ppbySignCert, int *pnSignCertSize);
int RSA_VerifyFileSignature_PKCS7Detached(const char *pszBase64PKCS7DetachedSignature,
                                          FILE *fpSourceFile, unsigned char **ppbySignCert,
                                          int *pnSignCertSize);

#endif

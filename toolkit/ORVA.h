/* The toolkit's interface for native programs: plain C functions returning result codes
 * (KELU_OK, 0, is success). Every buffer a function hands out through a pointer-to-pointer
 * argument is allocated by the toolkit with C++ new[] and belongs to the caller, who releases
 * it with FreeMemory, never with free(). Input buffers and texts stay the caller's.
 *
 * Threads: Initialize runs alone, before anything else; then any function may be called from
 * any thread. Uninitialize runs alone, after every other call has returned.
 *
 * Fork: a child of fork may go on calling every function, logging included, without a new
 * Initialize, whatever the other threads of its parent were doing (a log's locks are taken
 * around the fork and made anew in the child). The child writes and rotates the same logs as
 * its parent, its memory log starting with the lines its parent held at the fork. fork must
 * not be called from inside a toolkit call (from a zlog record function, say). */
#ifndef KELU_ORVA_H
#define KELU_ORVA_H

#include "KeluErrors.h"
#include "KeluExport.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Starts logging from "./kelulog.conf" (or the file named by KELU_LOG_CONF_PATH; without
 * either the toolkit runs unlogged) and the crypto library. 0, or -1 when the crypto library
 * does not start. */
KELU_EXPORT int Initialize(void);
/* Shuts the crypto library's set-up down, then logging. 0, or -1 on a corrupt start-up state. */
KELU_EXPORT int Uninitialize(void);
/* Releases a buffer handed out by the toolkit (and only such a buffer); null is ignored. */
KELU_EXPORT void FreeMemory(void *p);

/* Symmetric keys and ciphers. Names, in any case: "SM4_CBC" (SM4-CBC), "3DES_CBC"
 * (DES-EDE3-CBC), "RC4" (data functions and GenSymKey only). A key text is upper-case
 * hexadecimal (either case is read) of the IV followed by the key: SM4_CBC 16 + 16 bytes,
 * 3DES_CBC 8 + 24 bytes, RC4 16 key bytes without IV. Outputs are written on success only.
 * The file functions open the input file, then the output file, which the opening creates or
 * empties: a call that fails before both are open (a parameter check, an input that does not
 * open, an output path that names the input file, an output that does not open) leaves an
 * existing output file as it was; once both are open, every failure (an unknown cipher name
 * or key text included) leaves the output file empty (an output that cannot be cut, such as
 * a pipe, keeps what it was given). */

/* A fresh random key text (64 characters, 32 for RC4) in *ppszHexSymKey; the caller releases
 * it with FreeMemory. */
KELU_EXPORT int GenSymKey(const char *szEncAlgorithm, char **ppszHexSymKey);
/* nPlainData (at least 1) bytes encrypted with PKCS#7 padding (RC4: none); the cipher text as
 * one line of Base64 in *ppszBase64EncryptedData, released by the caller with FreeMemory. */
KELU_EXPORT int SymEncryptData(const unsigned char *pbyPlainData, int nPlainData,
                               const char *szEncAlgorithm, const char *szHexSymKey,
                               char **ppszBase64EncryptedData);
/* The plaintext of a Base64 cipher text of SymEncryptData in *ppbyPlainData (released by the
 * caller with FreeMemory) and its size in *pnPlainData. */
KELU_EXPORT int SymDecryptData(const char *szBase64EncryptedData, const char *szEncAlgorithm,
                               const char *szHexSymKey, unsigned char **ppbyPlainData,
                               int *pnPlainData);
/* Encrypts a plain file of 1 to 524,288,000 bytes ("SM4_CBC" or "3DES_CBC") under a fresh
 * key into the encrypted file; the key text in *ppszSymKey, released by the caller with
 * FreeMemory. */
KELU_EXPORT int SymEncryptFile(const char *pszEncAlgorithm, const char *pszPlainFilePath,
                               const char *pszEncryptFilePath, char **ppszSymKey);
/* Decrypts a file of SymEncryptFile with its 64-character key text into the plain file. */
KELU_EXPORT int SymDecryptFile(const char *pszEncAlgorithm, const char *pszEncryptFilePath,
                               const char *pszSymKey, const char *pszPlainFilePath);

/* Signing and verification. pszAlgorithm, in any case: "SM2" signs with an SM2 key file opened
 * with its password (SM3 with the Z value of the default user ID "1234567812345678"; the hash
 * name is not used) and verifies against SM2 certificates; "RSA" signs with a PKCS#12 file and
 * the hash name "SHA-1" or "SHA-256" (any case) and verifies against RSA certificates. The
 * signing certificate must allow digitalSignature. Signatures and certificates cross the
 * interface as one line of Base64 (certificates of their DER). A PKCS#1 signature is the bare
 * value: for SM2 the DER SEQUENCE { INTEGER r, INTEGER s }, for RSA the PKCS#1 v1.5 value. A
 * PKCS#7 signature is a SignedData of one signer, without signed attributes, holding the
 * signer's certificate and the content (attached) or not (detached); SM2 uses the content
 * types 1.2.156.10197.6.1.4.2.2 and .1. The PKCS#7 verifications check the signature against
 * the certificate inside, which they hand out, and not that certificate itself (see
 * VerifyCertificate). The verifications return 0 exactly when the signature verifies. Every
 * signature, certificate and content handed out below is the caller's, released with
 * FreeMemory. */

/* The PKCS#1 signature of nSourceSize bytes in *ppszBase64PKCS1Signature (FreeMemory). */
KELU_EXPORT int SignData_PKCS1(const char *pszAlgorithm, const unsigned char *pbySourceData,
                               int nSourceSize, const char *pszPFXFilePath, const char *pszPFXPwd,
                               const char *pszHashAlg, char **ppszBase64PKCS1Signature);
/* A detached or attached SignedData of the bytes in the output (FreeMemory). */
KELU_EXPORT int SignData_PKCS7Detached(const char *pszAlgorithm, const unsigned char *pbySourceData,
                                       int nSourceSize, const char *pszPFXFilePath,
                                       const char *pszPFXPwd, const char *pszHashAlg,
                                       char **ppszBase64PKCS7DetachedSignature);
KELU_EXPORT int SignData_PKCS7Attached(const char *pszAlgorithm, const unsigned char *pbySourceData,
                                       int nSourceSize, const char *pszPFXFilePath,
                                       const char *pszPFXPwd, const char *pszHashAlg,
                                       char **ppszBase64PKCS7AttachedSignature);
/* A PKCS#1 signature of the bytes against the certificate (Base64 of its DER; for SM2 also of
 * its PEM text). */
KELU_EXPORT int VerifyDataSignature_PKCS1(const char *pszAlgorithm,
                                          const unsigned char *pbySourceData, int nSourceSize,
                                          const char *pszBase64CertContent, const char *pszHashAlg,
                                          const char *pszBase64PKCS1Signature);
/* A detached SignedData of the bytes; the signer's certificate in *ppszBase64SignCert when
 * that is given (FreeMemory). */
KELU_EXPORT int VerifyDataSignature_PKCS7Detached(const char *pszAlgorithm,
                                                  const unsigned char *pbySourceData,
                                                  int nSourceSize,
                                                  const char *pszBase64PKCS7DetachedSignature,
                                                  char **ppszBase64SignCert);
/* An attached SignedData (any name other than "SM2", in any case, takes the RSA path); each
 * output is optional: the certificate, the content and its size (each buffer released with
 * FreeMemory). */
KELU_EXPORT int VerifyDataSignature_PKCS7Attached(const char *pszAlgorithm,
                                                  const char *pszBase64PKCS7AttachedSignature,
                                                  char **ppszBase64SignCert,
                                                  unsigned char **ppbySourceData,
                                                  int *pnSourceDataLen);
/* A detached SignedData of the whole file (read in 16384-byte blocks). A failed call leaves
 * *ppszBase64PKCS7DetachedSignature as it was; a signature handed out is released with
 * FreeMemory. */
KELU_EXPORT int SignFile_PKCS7Detached(const char *pszAlgorithm, const char *pszSourceFilePath,
                                       const char *pszPFXFilePath, const char *pszPFXPwd,
                                       const char *pszHashAlg,
                                       char **ppszBase64PKCS7DetachedSignature);
/* A detached SignedData against the whole file; the certificate is optional (FreeMemory). */
KELU_EXPORT int VerifyFileSignature_PKCS7Detached(const char *pszAlgorithm,
                                                  const char *pszSourceFilePath,
                                                  const char *pszBase64PKCS7DetachedSignature,
                                                  char **ppszBase64SignCert);

/* Certificates. A certificate crosses the interface as one line of Base64 of its DER (or of
 * its PEM text). */

/* Checks what the bits of nCertVerifyFlag ask for, in this order: 0x1 the validity period,
 * 0x2 the serial number against the CRL file, 0x4 the chain to trusted CA certificate files;
 * the first failure ends the check. pszTrustedCACertFilePath holds one or more paths
 * joined by "|", each a file of one certificate (PEM or DER); the CRL file is PEM or DER.
 * The paths are looked at only when their bit is set. */
KELU_EXPORT int VerifyCertificate(const char *pszBase64CertContent, unsigned int nCertVerifyFlag,
                                  const char *pszTrustedCACertFilePath,
                                  const char *pszCRLFilePath);
/* One field as text in *ppszInfoContent; info types, in any case: "CertType" ("SM2" or
 * "RSA"), "SubjectDN", "SubjectCN", "IssuerDN", "SerialNumber" (upper-case hexadecimal),
 * "ValidFrom", "ValidTo" (local time, as "Thu Jan  1 08:00:00 1970"). The text is released
 * by the caller with FreeMemory. */
KELU_EXPORT int GetCertificateInfo(const char *pszBase64CertContent, const char *pszInfoType,
                                   char **ppszInfoContent);
/* The certificate of an SM2 key file ("SM2"; the password is not needed) or of a PKCS#12
 * file ("RSA"; its MAC is checked with the password) as one line of Base64, released by the
 * caller with FreeMemory. */
KELU_EXPORT int GetPublicCertFromPFX(const char *pszAlgorithm, const char *pszPFXFilePath,
                                     const char *pszPFXPwd, char **ppszBase64CertContent);

/* Digital envelopes (CMS EnvelopedData, as one line of Base64) of data for the holder of a
 * certificate, given as one line of Base64 of its DER (or, for "SM2", of its PEM text); the
 * certificate must allow keyEncipherment and carry a subject key identifier. Algorithms, in any
 * case: "SM2" with the symmetric names "SM4_CBC" and "SM4_ECB" (the content key stored as the
 * raw SM2 cipher text, or by the Ex functions as DER SM2Cipher), opened with an SM2 key file
 * and its password; "RSA" with "3DES" (DES-EDE3-CBC) and "RC4", opened with a PKCS#12 file
 * and its password. The openings do not tell the SM2 variants apart (neither the encoding of
 * the content key nor the SM4 mode): an envelope is opened by the function that matches its
 * making. Outputs are null (and 0) after a failure past the parameter checks. The envelope
 * texts and plaintexts handed out are the caller's, released with FreeMemory. */
KELU_EXPORT int EncryptDataToCMSEnvelope(const char *pszAlgorithm,
                                         const unsigned char *pbyPlainData, int nPlainDataSize,
                                         const char *pszBase64CertContent,
                                         const char *pszSymEncAlg, char **ppszBase64CMSEnvelope);
KELU_EXPORT int EncryptDataToCMSEnvelopeEx(const char *pszAlgorithm,
                                           const unsigned char *pbyPlainData, int nPlainDataSize,
                                           const char *pszBase64CertContent,
                                           const char *pszSymEncAlg,
                                           char **ppszBase64CMSEnvelope);
/* The plaintext of an "SM4_CBC" envelope of EncryptDataToCMSEnvelope (or of any "RSA"
 * envelope) in *ppbyPlainData and its size in *pnPlainDataSize. */
KELU_EXPORT int DecryptDataFromCMSEnvelope(const char *pszAlgorithm,
                                           const char *pszBase64CMSEnvelope,
                                           const char *pszPFXFilePath, const char *pszPFXPwd,
                                           unsigned char **ppbyPlainData, int *pnPlainDataSize);
/* The same for an "SM4_CBC" envelope of EncryptDataToCMSEnvelopeEx. */
KELU_EXPORT int DecryptDataFromCMSEnvelopeEx(const char *pszAlgorithm,
                                             const char *pszBase64CMSEnvelope,
                                             const char *pszPFXFilePath, const char *pszPFXPwd,
                                             unsigned char **ppbyPlainData, int *pnPlainDataSize);
/* The same for "SM4_ECB" envelopes of EncryptDataToCMSEnvelope and EncryptDataToCMSEnvelopeEx. */
KELU_EXPORT int DecryptDataFromCMSEnvelope_ECB(const char *pszAlgorithm,
                                               const char *pszBase64CMSEnvelope,
                                               const char *pszPFXFilePath, const char *pszPFXPwd,
                                               unsigned char **ppbyPlainData,
                                               int *pnPlainDataSize);
KELU_EXPORT int DecryptDataFromCMSEnvelopeEx_ECB(const char *pszAlgorithm,
                                                 const char *pszBase64CMSEnvelope,
                                                 const char *pszPFXFilePath,
                                                 const char *pszPFXPwd,
                                                 unsigned char **ppbyPlainData,
                                                 int *pnPlainDataSize);

/* Signing and enveloping in one call. SignAndEncryptData makes the attached SignedData of the
 * data with the key file (as SignData_PKCS7Attached makes it) and envelopes it for the holder of
 * the certificate: "SM2" with SM4-CBC content and the content key as the raw SM2 cipher text
 * (the hash and symmetric names are not used); "RSA" with the hash "SHA-1" or "SHA-256" and the
 * symmetric name "3DES" or "RC4". A failure of the signing step gives KELU_ERR_SIGN, one of the
 * envelope step KELU_ERR_ENCRYPT, where the step has no code of its own. The result text is
 * released by the caller with FreeMemory. */
KELU_EXPORT int SignAndEncryptData(const char *pszAlgorithm, const unsigned char *pbyPlainData,
                                   int nPlainDataSize, const char *pszSignPFXFilePath,
                                   const char *pszPFXPwd, const char *pszHashAlg,
                                   const char *pszBase64EncryptCertContent,
                                   const char *pszSymEncAlg,
                                   char **ppszBase64SignedAndEncryptedResult);
/* Opens an envelope of SignAndEncryptData with the recipient's key file and verifies the
 * SignedData inside against the certificate it carries (not the certificate itself); the
 * signed content in *ppbyPlainData (FreeMemory) and its size in *pnPlainDataSize.
 * KELU_ERR_DECRYPT or KELU_ERR_BAD_SIGNATURE where the step has no code of its own. */
KELU_EXPORT int DecryptAndVerifyDataSignature(const char *pszAlgorithm,
                                              const char *pszBase64SignedAndEncryptedResult,
                                              const char *pszDecryptPFXFilePath,
                                              const char *pszPFXPwd, unsigned char **ppbyPlainData,
                                              int *pnPlainDataSize);


#ifdef __cplusplus
}
#endif

#endif

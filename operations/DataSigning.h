/* SM3 digests for SM2 signatures and for scripts, and the SM2 signatures. With bWithZValue true the Z value of the
 * public key (X, Y: 32 bytes each, big-endian) for the default user ID "1234567812345678" is
 * digested in front of the data, as SM2 signatures require; with false the data alone, and X
 * and Y may be null. The 32-byte digest goes into the caller's buffer, written only on success. */
#ifndef KELU_DATA_SIGNING_H
#define KELU_DATA_SIGNING_H

#include <cstdint>
#include <cstdio>

// 0, KELU_ERR_INVALID_PARAMETER (a negative size, null data with a size, a null output, or a
// missing public key with bWithZValue) or -1.
int CalculateSM3Hash(const unsigned char *pbySourceData, int nSourceDataSize,
                     const unsigned char *pbyPublicX, const unsigned char *pbyPublicY,
                     unsigned char *pbyHashValue, bool bWithZValue);

// Digests ulBytesToRead bytes from the file's current position in BLOCK_SIZE blocks. 0,
// KELU_ERR_READ_FILE when the file ends earlier or a read fails, KELU_ERR_INVALID_PARAMETER
// or -1.
int CalculateSM3FileHash(FILE *fpSourceFile, uint64_t ulBytesToRead,
                         const unsigned char *pbyPublicX, const unsigned char *pbyPublicY,
                         unsigned char *pbyHashValue, bool bWithZValue);

// The whole file, whatever its position and size; the code of GetFileSize_Ex or of
// CalculateSM3FileHash.
int CalculateSM3FileHashEx(FILE *fpSourceFile, const unsigned char *pbyPublicX,
                           const unsigned char *pbyPublicY, unsigned char *pbyHashValue,
                           bool bWithZValue);

// The Z value of the public key for a user ID of at most 8191 bytes on the SM2 curve, into the
// caller's 32 bytes. 1 on success, 0 on failure (a longer ID among them); writes no step lines.
int SM2_CalculateZValue(const unsigned char *pbyUserID, int nUserIDSize,
                        const unsigned char *pbyPublicX, const unsigned char *pbyPublicY,
                        unsigned char *pbyZValue);

// ---------------------------------------------------------------------------------------------
// SM2 signatures: r || s (SM2_RAW_RS_SIZE bytes, each half 32 bytes big-endian) over the SM3
// digest above, with the Z value when bWithZValue is true. Keys come from a key pair (each
// field 32 bytes) or from an SM2 key file (its Base64 text, read whole from its start, opened
// with the password; its certificate must allow digitalSignature). Outputs are new[] buffers or
// texts handed over on success only; certificate and content outputs are optional (a null
// buffer pointer: not wanted). Codes: KELU_OK, KELU_ERR_INVALID_PARAMETER, KELU_ERR_READ_FILE,
// KELU_ERR_FILE_TOO_LARGE, the key file's KELU_ERR_BASE64_DECODE, KELU_ERR_KEY_FILE_FORMAT,
// KELU_ERR_KEY_USAGE and KELU_ERR_KEY_FILE_PASSWORD, KELU_ERR_BAD_SIGNATURE (a signature of
// the wrong size at verification by certificate), KELU_ERR_PKCS7_FORMAT, or -1 (a signature
// that does not verify among them).

struct SM2_KEY_PAIR_st;

// The signature value encodings of the PKCS#1-style signers (fSignatureEncodedType).
#define PKCS1_SIGNATURE_ENCODED_RAW_RS 1  // the 64 bytes r || s
#define PKCS1_SIGNATURE_ENCODED_SM2_Q1 2  // the DER SM2Q1 SEQUENCE { INTEGER r, INTEGER s }

int SignData_Raw_ByKeyPair(const unsigned char *pbySourceData, int nSourceDataSize,
                           const SM2_KEY_PAIR_st *pstSM2KeyPair,
                           unsigned char **ppbySM2RawSignatureRS, int *pnSM2RawSignatureRSSize,
                           bool bWithZValue);
// The whole file, from its start.
int SignFile_Raw_ByKeyPair(FILE *fpSourceFile, const SM2_KEY_PAIR_st *pstSM2KeyPair,
                           unsigned char **ppbySM2RawSignatureRS, int *pnSM2RawSignatureRSSize,
                           bool bWithZValue);
int SignData_Raw_BySM2PFX(const unsigned char *pbySourceData, int nSourceDataSize,
                          FILE *fpSM2PFXFile, const char *pszPFXPwd,
                          unsigned char **ppbySM2RawSignatureRS, int *pnSM2RawSignatureRSSize,
                          bool bWithZValue);
int SignFile_Raw_BySM2PFX(FILE *fpSourceFile, FILE *pfSM2PFXFile, const char *pszPFXPwd,
                          unsigned char **ppbySM2RawSignatureRS, int *pnSM2RawSignatureRSSize,
                          bool bWithZValue);

// The signature as Base64 text with the flags; the text length output is optional. The
// selector is looked at once the signature is made.
int SignData_PKCS1_ByKeyPair(const unsigned char *pbySourceData, int nSourceDataSize,
                             const SM2_KEY_PAIR_st *pstSM2KeyPair, char **ppszBase64Signature,
                             int *pnBase64SignatureLen, unsigned long dwBase64Flags,
                             bool bWithZValue, unsigned long fSignatureEncodedType);
int SignFile_PKCS1_ByKeyPair(FILE *fpSourceFile, const SM2_KEY_PAIR_st *pstSM2KeyPair,
                             char **ppszBase64Signature, int *pnBase64SignatureLen,
                             unsigned long dwBase64Flags, bool bWithZValue,
                             unsigned long fSignatureEncodedType);
int SignData_PKCS1_BySM2PFX(const unsigned char *pbySourceData, int nSourceDataSize,
                            FILE *fpSM2PFXFile, const char *pszPFXPwd, char **ppszBase64Signature,
                            int *pnBase64SignatureLen, unsigned long dwBase64Flags,
                            bool bWithZValue, unsigned long fSignatureEncodedType);
int SignFile_PKCS1_BySM2PFX(FILE *fpSourceFile, FILE *fpSM2PFXFile, const char *pszPFXPwd,
                            char **ppszBase64Signature, int *pnBase64SignatureLen,
                            unsigned long dwBase64Flags, bool bWithZValue,
                            unsigned long fSignatureEncodedType);

// r || s (exactly 64 bytes, else KELU_ERR_INVALID_PARAMETER) against the public key X, Y.
int VerifySignature_Raw(const unsigned char *pbySourceData, int nSourceDataSize,
                        const unsigned char *pbyPubKeyX, const unsigned char *pbyPubKeyY,
                        const unsigned char *pbyRawSignatureRS, int nRawSignatureRSSize,
                        bool bWithZValue);
int VerifyFileSignature_Raw(FILE *fpSourceFile, const unsigned char *pbyPubKeyX,
                            const unsigned char *pbyPubKeyY,
                            const unsigned char *pbyRawSignatureRS, int nRawSignatureRSSize,
                            bool bWithZValue);
// Against the public key of a PEM or DER certificate: 64 bytes are r || s, 66 to 72 bytes an
// SM2Q1, any other size KELU_ERR_BAD_SIGNATURE.
int VerifySignature_DERPKCS1_ByCert(const unsigned char *pbySourceData, int nSourceDataSize,
                                    const unsigned char *pbyCert, int nCertSize,
                                    const unsigned char *pbySignature, int nSignatureSize,
                                    bool bWithZValue);
// Certificate and signature as Base64 texts of the given lengths.
int VerifySignature_PKCS1_ByCert(const unsigned char *pbySourceData, int nSourceDataSize,
                                 const char *pszBase64Cert, int nBase64CertLen,
                                 const char *pszBase64PKCS1Signature,
                                 int nBase64PKCS1SignatureLen, bool bWithZValue);
int VerifyFileSignature_PKCS1_ByCert(FILE *fpSourceFile, const char *pszBase64Cert,
                                     int nBase64CertLen, const char *pszBase64PKCS1Signature,
                                     int nBase64PKCS1SignatureLen, bool bWithZValue);

// PKCS#7 SignedData of one signer under the national content types (SM signedData holding SM
// data), SM3 as its digest, the key file's certificate, the caller's signature OID, no
// attributes, the signature value as fSignatureEncodedType selects (SIGNATURE_ENCODED_*).
int SignData_PKCS7_BySM2PFX(const unsigned char *pbySourceData, int nSourceDataSize,
                            FILE *fpSM2PFXFile, const char *pszPFXPwd, bool bAttached,
                            char **ppszBase64PKCS7Signature, int *pnBase64PKCS7SignatureLen,
                            unsigned long dwBase64Flags, bool bWithZValue,
                            unsigned long fSignatureEncodedType, const char *pszSignatureAlgOid);
// Detached, over the whole file.
int SignFile_PKCS7Detached_BySM2PFX(FILE *fpSourceFile, FILE *fpSM2PFXFile, const char *pszPFXPwd,
                                    char **ppszBase64PKCS7Signature,
                                    int *pnBase64PKCS7SignatureLen, unsigned long dwBase64Flags,
                                    bool bWithZValue, unsigned long fSignatureEncodedType,
                                    const char *pszSignatureAlgOid);
// Attached: the DER written at the output file's position, the source file's bytes streamed
// into it. The key usage of the certificate is not looked at. A failure may leave part of the
// SignedData in the output file.
int SignFile_PKCS7Attached_BySM2PFX(FILE *fpSourceFile, FILE *fpSM2PFXFile, const char *pszPFXPwd,
                                    FILE *fpOutASN1PKCS7SignatureFile, bool bWithZValue,
                                    unsigned long fSignatureEncodedType,
                                    const char *pszSignatureAlgOid);

// Verification against the certificate the SignedData carries (handed out when wanted); the
// certificate itself is not checked, nor the algorithms the SignerInfo names. Without signed
// attributes the signature is over the content; with them (as CMS signers write them) over
// their DER SET, and their one messageDigest must be the plain SM3 digest of the content: any
// mismatch is -1, as is a SignedData that ParseSM2PKCS7Signature refuses with -1 (another
// size of signature value, signed attributes other than RFC 5652 has them). Content inside a
// detached, or none inside an attached SignedData: KELU_ERR_PKCS7_FORMAT.
int VerifySignature_DERPKCS7Attached(const unsigned char *pbyDERPKCS7Signature,
                                     int nDERPKCS7SignatureSize, unsigned char **ppbySourceData,
                                     int *pnSourceDataSize, unsigned char **ppbySignCert,
                                     int *pnSignCertSize, bool bWithZValue);
int VerifySignature_PKCS7Attached(const char *pszBase64PKCS7Signature,
                                  int nBase64PKCS7SignatureLen, unsigned char **ppbySourceData,
                                  int *pnSourceDataSize, unsigned char **ppbySignCert,
                                  int *pnSignCertSize, bool bWithZValue);
int VerifySignature_DERPKCS7Detached(const unsigned char *pbyDERPKCS7Signature,
                                     int nDERPKCS7SignatureSize,
                                     const unsigned char *pbySourceData, int nSourceDataSize,
                                     unsigned char **ppbySignCert, int *pnSignCertSize,
                                     bool bWithZValue);
int VerifySignature_PKCS7Detached(const char *pszBase64PKCS7Signature,
                                  int nBase64PKCS7SignatureLen,
                                  const unsigned char *pbySourceData, int nSourceDataSize,
                                  unsigned char **ppbySignCert, int *pnSignCertSize,
                                  bool bWithZValue);
// Detached, against the whole file.
int SM2_VerifyFileSignature_PKCS7Detached(const char *pszBase64PKCS7Signature,
                                          int nBase64PKCS7SignatureLen, FILE *fpSourceFile,
                                          unsigned char **ppbySignCert, int *pnSignCertSize,
                                          bool bWithZValue);
// A file holding a DER attached SignedData from offset 0: the content is digested where it
// lies; its offset and size are handed out when wanted.
int VerifyFileSignature_PKCS7Attached(FILE *fpASN1PKCS7SignatureFile,
                                      long long *pllSourceDataOffset, int *pnSourceDataSize,
                                      unsigned char **ppbySignCert, int *pnSignCertSize,
                                      bool bWithZValue);

// A signature over signed attributes ([0] block, signed as the SET it stands for) whose
// messageDigest holds the content's digest (KELU_ERR_DIGEST_MISMATCH otherwise); SM2 with the Z
// value when the digest-encryption OID is a national one ("1.2.156.10197..."), else RSA PKCS#1
// v1.5 with a DER certificate. KELU_ERR_UNKNOWN_HASH for a digest OID the library does not
// know. The two OID lengths are not read.
int VerifySignature_PKCS7WithSignedAttributes(
    const unsigned char *pbyCert, int nCertSize, const unsigned char *pbySignature,
    int nSignatureSize, const unsigned char *pbySourceData, int nSourceDataSize,
    const char *pszDigestAlgOid, int nDigestAlgOidLength, const char *pszDigestEncryptionAlgOid,
    int nDigestEncryptionAlgOidLength, const unsigned char *pbySignedAttrs, int nSignedAttrsSize);

#endif

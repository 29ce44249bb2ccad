/* PKCS#7 SignedData with one signer: the builders and the encoder of a signature the caller has
 * computed, SM2Q1 (the DER SM2 signature value), the parsers from memory and from a file, and
 * the search of one attribute in an attribute block. */
#ifndef KELU_PKCS7_SIGNED_DATA_OPERATIONS_H
#define KELU_PKCS7_SIGNED_DATA_OPERATIONS_H

#include <openssl/x509.h>

#include <cstdint>
#include <cstdio>
#include <vector>

#include "ASN1EngineEx.h"

#ifndef SM2_RAW_RS_SIZE
#define SM2_RAW_RS_SIZE 64
#endif

// The signature value of the SignerInfo (fSignatureEncodedType).
#define SIGNATURE_ENCODED_OCTET_STRING 0x000         // OCTET STRING of the bytes as given
#define SIGNATURE_ENCODED_SM2_RS 0x100               // INTEGER r, INTEGER s
#define SIGNATURE_ENCODED_SM2_Q1 0x200               // SM2Q1
#define SIGNATURE_ENCODED_SM2_OCTET_STRING_Q1 0x400  // OCTET STRING holding the DER SM2Q1

// Builders hand out their node only on success; nodes passed to a builder become children of
// the node it builds on success and stay with the caller on failure. INTEGERs of r and s are
// minimal DER (OpenSSL's SM2 verification refuses a zero octet that is not needed).

// SEQUENCE whose content is the issuer Name DER followed by the serialNumber INTEGER DER.
int ConstructNode_IssuerAndSerialNumber(const unsigned char *pbyIssuer, int nIssuerSize,
                                        const unsigned char *pbySerialNumber,
                                        int nSerialNumberSize, NodeEx **ppNode);

// SM2Q1: SEQUENCE { INTEGER r, INTEGER s }.
int ConstructNode_SM2Q1(const unsigned char *pbyR, int nRSize, const unsigned char *pbyS,
                        int nSSize, NodeEx **ppNode);
// The DER SM2Q1 in a new[] buffer. 0 or -1.
int Encode_SM2Q1(const unsigned char *pbyR, int nRSize, const unsigned char *pbyS, int nSSize,
                 unsigned char **ppbySM2Q1, int *pnSM2Q1Size);

// SignerInfo { version, issuerAndSerialNumber, digestAlgorithm, [0] signed attributes (when
// given), digestEncryptionAlgorithm, signature value by fSignatureEncodedType, [1] unsigned
// attributes (when given) }. The SM2 forms need SM2_RAW_RS_SIZE bytes r || s;
// KELU_ERR_INVALID_PARAMETER for another size or selector.
int ConstructNode_SignerInfo(int nVersion, NodeEx *pIssuerAndSerialNumber,
                             const char *pszDigestAlgOid, NodeEx *pSignedAttributes,
                             const char *pszDigestEncryptionAlgOid,
                             const unsigned char *pbySignature, int nSignatureSize,
                             unsigned long fSignatureEncodedType, NodeEx *pUnsignedAttributes,
                             NodeEx **ppNode);

// SignedData { version, SET { digestAlgorithm }, contentInfo, [0] certificate bytes as given,
// signerInfos }. Attached, the contentInfo holds [0] { OCTET STRING } of the content bytes or,
// without them, of the whole content file, which is streamed when encoding (the builder leaves
// the file at its start); -1 when attached with neither.
int ConstructNode_SignedData(int nVersion, const char *pszDigestAlgOid,
                             const char *pszContentTypeOid, const unsigned char *pbySourceData,
                             int nSourceDataSize, FILE *fpSourceFile, bool bAttached,
                             const unsigned char *pbyCert, int nCertSize,
                             NodeEx *pSignerInfoSet, NodeEx **ppNode);

// Attribute: SEQUENCE { OID, SET whose content is the given encoded AttributeValues }.
int ConstructNode_Attribute(const char *pszAttrTypeOid, const unsigned char *pbyAttrValues,
                            int nAttrValuesSize, NodeEx **ppNode);
// [0] or [1] block of the vector's Attribute nodes in order; on success the block owns them
// and every slot of the vector is null (null slots are skipped).
int ConstructNode_SignedAttributes(std::vector<NodeEx *> *pvetAttributes, NodeEx **ppNode);
int ConstructNode_UnsignedAttributes(std::vector<NodeEx *> *pvetAttributes, NodeEx **ppNode);
int ConstructNode_SignedAttributes_SingleItem(const char *pszAttrTypeOid,
                                              const unsigned char *pbyAttrValues,
                                              int nAttrValuesSize, NodeEx **ppNode);
int ConstructNode_UnsignedAttributes_SingleItem(const char *pszAttrTypeOid,
                                                const unsigned char *pbyAttrValues,
                                                int nAttrValuesSize, NodeEx **ppNode);

// ContentInfo(SignedData) of one signer and its certificate (PEM or DER; its issuer and serial
// name the signer; the bytes go into the message unchanged). The DER goes into a new[] buffer
// when ppbyPKCS7 is given, else onto fpOutFile at its position (count in *pnOutFileSize when
// given), else nothing is written. The attribute nodes belong to the encoder on every path.
int Encode_PKCS7Signature(const unsigned char *pbyCert, int nCertSize,
                          const unsigned char *pbySourceData, int nSourceDataSize,
                          FILE *fpSourceFile, bool bAttached, const char *pszContentInfoOid,
                          const char *pszSignedDataContentInfoOid, const char *pszDigestAlgOid,
                          NodeEx *pSignedAttributes, const char *pszDigestEncryptionAlgOid,
                          const unsigned char *pbySignature, int nSignatureSize,
                          unsigned long fSignatureEncodedType, NodeEx *pUnsignedAttributes,
                          unsigned char **ppbyPKCS7, int *pnPKCS7Size, FILE *fpOutFile,
                          int *pnOutFileSize);

// Parsers. Each output is a pair of pointers; a pair whose first pointer is null is skipped,
// a requested pair needs both (else -1). Outputs are new[] copies written only on success:
// the certificate (null and 0 when none is found), the signature value (for the SM2 forms
// 64 bytes r || s), the content (one NUL byte after it; null and 0 when detached), the digest
// and digest-encryption OIDs as dotted text, the whole [0] and [1] attribute blocks (null and
// 0 when absent). 0, -1 or KELU_ERR_PKCS7_FORMAT.
// The certificate is exactly one element of the certificates field, a DER certificate in the
// definite form (the only one, or among several the signer's by issuer and serial, else by
// serial); an element of another kind (text, an indefinite length) is never handed out.

// From memory. bDecodeSM2Q1 non-zero: an OCTET STRING signature value under the SM signedData
// content type is an SM2Q1 handed out as r || s; under pkcs7-signedData one of a signer whose
// signature algorithm is an SM2 one is read by its size as the SM2 readings below have it, and
// any other (an RSA signature) is handed out unchanged. bDecodeSM2Q1 zero: unchanged always.
int ParsePKCS7Signature(const unsigned char *pbyPKCS7, int nPKCS7Size, unsigned char **ppbyCert,
                        int *pnCertSize, unsigned char **ppbySignature, int *pnSignatureSize,
                        unsigned char **ppbySourceData, int *pnSourceDataSize,
                        char **ppszDigestAlgOid, int *pnDigestAlgOidLength,
                        char **ppszDigestEncryptionAlgOid, int *pnDigestEncryptionAlgOidLength,
                        unsigned char **ppbySignedAttrs, int *pnSignedAttrsSize,
                        unsigned char **ppbyUnsignedAttrs, int *pnUnsignedAttrsSize,
                        int bDecodeSM2Q1);

// From a file holding an attached SignedData at offset 0; its position is put back on every
// path. The content stays in the file: its offset and length are handed out (a content in
// several BER segments has no single range and is refused with KELU_ERR_PKCS7_FORMAT).
int ParsePKCS7AttachedSignatureFile(FILE *fpFile, unsigned char **ppbyCert, int *pnCertSize,
                                    unsigned char **ppbySignature, int *pnSignatureSize,
                                    long long *pllSourceDataOffset, int *pnSourceDataSize,
                                    char **ppszDigestAlgOid, int *pnDigestAlgOidLength,
                                    char **ppszDigestEncryptionAlgOid,
                                    int *pnDigestEncryptionAlgOidLength,
                                    unsigned char **ppbySignedAttrs, int *pnSignedAttrsSize,
                                    unsigned char **ppbyUnsignedAttrs, int *pnUnsignedAttrsSize);

// The readings of the SM2 verifiers: ParsePKCS7Signature with bDecodeSM2Q1 set, and
// ParsePKCS7AttachedSignatureFile, for the certificate and the signature value (both required),
// the content and the signed attributes (optional). An OCTET STRING signature value is an SM2Q1
// under the SM signedData type; under pkcs7-signedData it is read by its size (as
// SM2SignatureFormOfSize has it: r || s as it is, or an SM2Q1), and one of another size fails
// with -1 ("Check SM2 signature value size"), as does an SM2Q1 that does not decode.
// Besides, the SignedData must be one that an SM2 signature of the certificate handed out
// may verify, as the signature alone does not cover it: the format's tags along the way from
// the ContentInfo to the SignerInfo; content types pkcs7-signedData or
// SM signedData, and pkcs7-data or SM data; SignedData version 1 or 3, SignerInfo version 1;
// SM3 among the digestAlgorithms and as the signer's digest; 1.2.156.10197.1.301.1,
// 1.2.156.10197.1.501 or 1.2.156.10197.1.301 as its signature algorithm (parameters absent or
// NULL); signed attributes, when present, of Attributes only (SEQUENCE { OBJECT IDENTIFIER of
// minimal arcs, SET }), with exactly one messageDigest attribute, at most one contentType and
// one signingTime attribute, each of one value, the contentType's the eContentType, and no
// countersignature (RFC 5652);
// a DER certificate found for the signer, and the signer's issuer and serial number
// those of the certificate (its issuer Name and serialNumber DER as GetIssuerFromCert and
// GetSerialNumberFromCert give them). Another SignedData fails with -1, as a signature that
// does not verify ("Check SM2 SignedData signer").
int ParseSM2PKCS7Signature(const unsigned char *pbyPKCS7, int nPKCS7Size,
                           unsigned char **ppbyCert, int *pnCertSize,
                           unsigned char **ppbySignature, int *pnSignatureSize,
                           unsigned char **ppbySourceData, int *pnSourceDataSize,
                           unsigned char **ppbySignedAttrs = nullptr,
                           int *pnSignedAttrsSize = nullptr);
int ParseSM2PKCS7AttachedSignatureFile(FILE *fpFile, unsigned char **ppbyCert, int *pnCertSize,
                                       unsigned char **ppbySignature, int *pnSignatureSize,
                                       long long *pllSourceDataOffset, int *pnSourceDataSize,
                                       unsigned char **ppbySignedAttrs = nullptr,
                                       int *pnSignedAttrsSize = nullptr);

// The form of an SM2 signature value of nSize bytes, where its size tells: exactly
// SM2_RAW_RS_SIZE bytes are r || s, 66 to 72 bytes a DER SM2Q1 (never 64 bytes long); any other
// size is neither.
enum class SM2SignatureForm { kRawRS, kSM2Q1, kNone };
SM2SignatureForm SM2SignatureFormOfSize(uint64_t nSize);

// SM2Q1 to 64 bytes r || s, each right-aligned. The DER must be exactly one SEQUENCE of two
// INTEGERs (minimal, padded with zeros, or 32 octets without a sign octet) whose values fit
// 32 bytes. 0 or -1.
int Decode_SM2Q1(const unsigned char *pbySM2Q1, int nSM2Q1Size, unsigned char **ppbyRawRS,
                 int *pnRawRSSize);

// The content of the attrValues SET of the first attribute of the given type in a block
// (a [0], [1] or SET of Attributes). Handed out when both output pointers are given.
// 0, -1, KELU_ERR_PARSE (another shape, or no such attribute) or the OID encoder's code.
int ParseSignedUnsignedAttributes(const unsigned char *pbyAttributes, int nAttributesSize,
                                  const char *pszAttrTypeOid, unsigned char **ppbyAttrValue,
                                  int *pnAttrValueSize);

// A SignedData read with the crypto library's PKCS#7 parser (pkcs7-signedData or SM
// signedData): a copy of the first signer's certificate (X509_free), the toolkit's NID of its
// digest, its encrypted digest and the data content (null and 0 when absent). Each output only
// when its pointer is given. 0, -1 or KELU_ERR_PKCS7_FORMAT.
int DecodeRSAPKCS7Signature(const unsigned char *pbyPKCS7, int nPKCS7Size, X509 **ppX509Cert,
                            int *pnDigestNID, unsigned char **ppbyEncryptedDigest,
                            int *pnEncryptedDigestSize, unsigned char **ppbySourceData,
                            int *pnSourceDataSize);

#endif

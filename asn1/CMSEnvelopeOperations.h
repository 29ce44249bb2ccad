/* Object identifiers and AlgorithmIdentifiers for the message builders (DER from dotted OID
 * text, leaf nodes of both, the dotted text of a numeric identifier); CMS EnvelopedData with one
 * key-transport recipient, its builders, its encoder and its parsers from memory and from a
 * file; and SM2Cipher, the DER form of an SM2 cipher text. */
#ifndef KELU_CMS_ENVELOPE_OPERATIONS_H
#define KELU_CMS_ENVELOPE_OPERATIONS_H

#include <cstdio>

#include "ASN1EngineEx.h"

// The dotted text of the object named by nNID as a NUL-terminated new[] string; *pnOIDLen
// excludes the NUL. The toolkit's own identifiers 920-930 name the national objects, not the
// crypto library's objects of the same numbers. 0 or -1.
int GetOIDFromNID(int nNID, char **ppszOID, int *pnOIDLen);

// DER content octets of the dotted OID text, or with bWithTLV the whole OBJECT IDENTIFIER TLV,
// in a new[] buffer. 0 or -1.
int Encode_ObjectIdentifier(const char *pszOID, unsigned char **ppbyEncodedData,
                            int *pnEncodedDataSize, bool bWithTLV);

// AlgorithmIdentifier content (the OID TLV followed by the parameter bytes unchanged), or with
// bWithTLV the SEQUENCE around it, in a new[] buffer. 0 or -1.
int Encode_AlgorithmIdentifier(const char *pszOID, const unsigned char *pbyParameters,
                               int nParametersSize, unsigned char **ppbyEncodedData,
                               int *pnEncodedDataSize, bool bWithTLV);

// A new leaf (0x06) holding the OID's content octets. 0 or the code of Encode_ObjectIdentifier.
int ConstructNode_ObjectIdentifier(const char *pszOID, NodeEx **ppNode);

// A new childless leaf (0x30) holding the AlgorithmIdentifier content. 0 or the code of
// Encode_AlgorithmIdentifier.
int ConstructNode_AlgorithmIdentifier(const char *pszOID, const unsigned char *pbyParameters,
                                      int nParametersSize, NodeEx **ppNode);

// ---------------------------------------------------------------------------------------------
// CMS EnvelopedData. Builders hand out their node only on success; nodes passed to a builder
// become its children on success and stay with the caller on failure. Every count must not be
// negative and may go with a null pointer only when it is 0 (else -1, "Check parameter").

// SEQUENCE { version, [0] subject key identifier, AlgorithmIdentifier of the key-encryption
// OID with the parameter bytes, OCTET STRING encrypted key }.
int ConstructNode_KeyTransRecipientInfo(int nVersion, const unsigned char *pbySubjectKeyID,
                                        int nSubjectKeyIDSize, const char *pszKeyEncryptionAlgOid,
                                        const unsigned char *pbyKeyEncryptionAlgParameter,
                                        int nKeyEncryptionAlgParameterSize,
                                        const unsigned char *pbyEncryptedKey,
                                        int nEncryptedKeySize, NodeEx **ppNode);

// SEQUENCE { content type OID, AlgorithmIdentifier, [0] encrypted content }. With a null
// content pointer the [0] element only announces nEncryptedContentSize bytes (header-only): the
// caller writes them right after the encoding.
int ConstructNode_EncryptedContentInfo(const char *pszContentTypeOid,
                                       const char *pszContentEncryptionAlgOid,
                                       const unsigned char *pbyContentEncryptionAlgParameter,
                                       int nContentEncryptionAlgParameterSize,
                                       const unsigned char *pbyEncryptedContent,
                                       int nEncryptedContentSize, NodeEx **ppNode);

// SEQUENCE { version, recipientInfos, encryptedContentInfo }.
int ConstructNode_EnvelopedData(int nVersion, NodeEx *pRecipientInfos,
                                NodeEx *pEncryptedContentInfo, NodeEx **ppNode);

// SEQUENCE { content type OID, [0] { content } }; a null content leaves [0] empty.
int ConstructNode_ContentInfo(const char *pszContentTypeOid, NodeEx *pContent, NodeEx **ppNode);

// The DER envelope (version 2, one recipient by subject key identifier, key-encryption
// parameters NULL) in a new[] buffer. A null content pointer gives the header-only form.
// 0, -1, or a code of the encoders (KELU_ERR_ASN1_TOO_LARGE).
int Encode_CMSEnvelope(const char *pszContentInfoOid, const unsigned char *pbySubjectKeyID,
                       int nSubjectKeyIDSize, const char *pszKeyEncryptionAlgOid,
                       const unsigned char *pbyEncryptedKey, int nEncryptedKeySize,
                       const char *pszEncryptedContentInfoOid,
                       const char *pszContentEncryptionAlgOid,
                       const unsigned char *pbyContentEncryptionAlgParameter,
                       int nContentEncryptionAlgParameterSize,
                       const unsigned char *pbyEncryptedContent, int nEncryptedContentSize,
                       unsigned char **ppbyCMSEnvelope, int *pnCMSEnvelopeSize);

// Parsers. Each output is a pair of pointers; a pair whose first pointer is null is skipped,
// a requested pair needs both (else -1). Outputs are new[] copies written only on success.
// The encrypted content of a BER envelope whose [0] is constructed is the join of its OCTET
// STRING segments. 0, -1 (a source that does not decode, a failed read or allocation) or
// KELU_ERR_ENVELOPE_FORMAT (an envelope of another shape).

// From memory. The encrypted content is followed by one NUL byte that its count leaves out;
// empty parameters give a null pointer and 0.
int Decode_CMSEnvelopeData(const unsigned char *pbyCMSEnvelope, int nCMSEnvelopeSize,
                           unsigned char **ppbyRecipientSubjectKeyID,
                           int *pnRecipientSubjectKeyIDSize, unsigned char **ppbyEncryptedKey,
                           int *pnEncryptedKeySize, unsigned char **ppbyEncryptedContent,
                           int *pnEncryptedContentSize, char **ppszKeyEncryptionAlgOid,
                           int *pnKeyEncryptionAlgOidLength, char **ppszContentEncryptionAlgOid,
                           int *pnContentEncryptionAlgOidLength,
                           unsigned char **ppbyContentEncryptionAlgParameter,
                           int *pnContentEncryptionAlgParameterSize);

// From a file holding the envelope at offset 0; its position is put back on every path. The
// encrypted content stays in the file: *ppEncryptedContentNode (when asked for) is a tree the
// caller deletes, whose value, or when it has elements the values of its elements in order,
// are the encrypted content (ValueStartPosition and ValueLength in fpFile). Empty parameters
// give an empty buffer and 0.
int Decode_CMSEnvelopeFile(FILE *fpFile, unsigned char **ppbyRecipientSubjectKeyID,
                           int *pnRecipientSubjectKeyIDSize, unsigned char **ppbyEncryptedKey,
                           int *pnEncryptedKeySize, NodeEx **ppEncryptedContentNode,
                           char **ppszKeyEncryptionAlgOid, int *pnKeyEncryptionAlgOidLength,
                           char **ppszContentEncryptionAlgOid,
                           int *pnContentEncryptionAlgOidLength,
                           unsigned char **ppbyContentEncryptionAlgParameter,
                           int *pnContentEncryptionAlgParameterSize);

// ---------------------------------------------------------------------------------------------
// SM2Cipher: SEQUENCE { INTEGER x, INTEGER y, OCTET STRING C3, OCTET STRING C2 }, while the
// raw cipher text is x (32) || y (32) || C2 || C3 (32). The INTEGERs are minimal DER, as
// OpenSSL writes them; the decoder also reads them padded with zeros or without a sign octet.

// The SM2Cipher tree of x, y and C3 (32 bytes each) and nC2Size bytes of C2. 0 or -1.
int ConstructNode_SM2Cipher(const unsigned char *pbyXCoordinate,
                            const unsigned char *pbyYCoordinate, const unsigned char *pbyHASH,
                            const unsigned char *pbyCipherText, int nC2Size, NodeEx **ppNode);

// Raw cipher text (more than 96 bytes) to DER in a new[] buffer. 0, KELU_ERR_INVALID_PARAMETER
// or a code of the encoder.
int Encode_SM2Cipher(const unsigned char *pbyC1C2C3, int nC1C2C3Size, unsigned char **ppbySM2Cipher,
                     int *pnSM2CipherSize);

// DER to the raw cipher text in a new[] buffer. The DER must be exactly one SM2Cipher. 0, -1 (it
// does not decode) or KELU_ERR_PARSE (another shape).
int Decode_SM2Cipher(const unsigned char *pbySM2Cipher, int nSM2CipherSize,
                     unsigned char **ppbyC1C2C3, int *pnC1C2C3Size);

#endif

/* Object identifiers and AlgorithmIdentifiers for the message builders: DER from dotted OID text,
 * leaf nodes of both, and the dotted text of a numeric identifier. */
#ifndef KELU_CMS_ENVELOPE_OPERATIONS_H
#define KELU_CMS_ENVELOPE_OPERATIONS_H

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

#endif

/* The ECPrivateKey structure built on the node engine and encoded as DER.
 *
 * Not RFC 5915: the private key is written as an INTEGER (with a 0x00 in front when its top bit
 * is set, and its own leading zero bytes kept, so a key that starts with 0x00 is not a minimal
 * INTEGER), not as an OCTET STRING; standard ECPrivateKey readers do not accept the result.
 * Nothing in the toolkit calls these functions. */
#ifndef KELU_SM_FILE_CERT_OPERATIONS_H
#define KELU_SM_FILE_CERT_OPERATIONS_H

#include "ASN1EngineEx.h"

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

/* SM2-signed certificates in the crypto library's own chain check.
 *
 * OpenSSL 3.0 verifies an SM2 signature with the Z value of the user ID that the signed object
 * carries, and an empty ID when none is set; every SM2 authority signs with the default ID
 * "1234567812345678". The chain check accepts SM2-signed certificates once each of them
 * carries that ID. Certificates signed otherwise must not carry one: on an RSA-signed
 * certificate it breaks the verification. */
#ifndef KELU_SM_HOOKS_H
#define KELU_SM_HOOKS_H

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/x509.h>

// The SM2 key file as an item of the crypto library (item name "PFX_SM2"); the key-file
// functions of the operations use this one definition under their own names.
//   PFX_SM2 ::= SEQUENCE { version INTEGER, privateData PFX_SM2_PRIVATE_DATA,
//                          publicData PFX_SM2_PUBLIC_DATA }
typedef struct PFX_SM2_PRIVATE_DATA_st {
  ASN1_OBJECT *dataID;
  ASN1_OBJECT *dataEncryptedAlg;
  ASN1_OCTET_STRING *encryptedSM2PrivateKey;
} PFX_SM2_PRIVATE_DATA;

typedef struct PFX_SM2_PUBLIC_DATA_st {
  ASN1_OBJECT *dataID;
  ASN1_OCTET_STRING *SM2Certificate;
} PFX_SM2_PUBLIC_DATA;

typedef struct PFX_SM2_st {
  ASN1_INTEGER *version;
  PFX_SM2_PRIVATE_DATA *privateData;
  PFX_SM2_PUBLIC_DATA *publicData;
} PFX_SM2;

DECLARE_ASN1_FUNCTIONS(PFX_SM2_PRIVATE_DATA)
DECLARE_ASN1_FUNCTIONS(PFX_SM2_PUBLIC_DATA)
DECLARE_ASN1_FUNCTIONS(PFX_SM2)
// One DER PFX_SM2 from a library I/O object; null when it holds none.
PFX_SM2 *d2i_SM2_PFX_bio(BIO *bp, PFX_SM2 **ppPFX);

namespace kelu {

// True when the certificate is signed with SM2 with SM3.
bool IsSM2SignedCertificate(const X509 *pX509);

// Gives an SM2-signed certificate the default SM2 user ID for the verification of its
// signature; other certificates are left alone. 1, or 0 when memory runs out or pX509 is null.
int SetSM2DefaultIdIfSM2Signed(X509 *pX509);

// The same for the target and for every certificate in the store, before X509_verify_cert.
int PrepareSM2ChainVerification(X509_STORE *pStore, X509 *pTarget);

}  // namespace kelu

#endif

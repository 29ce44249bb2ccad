/* SM2-signed certificates in the crypto library's own chain check.
 *
 * OpenSSL 3.0 verifies an SM2 signature with the Z value of the user ID that the signed object
 * carries, and an empty ID when none is set; every SM2 authority signs with the default ID
 * "1234567812345678". The chain check accepts SM2-signed certificates once each of them
 * carries that ID. Certificates signed otherwise must not carry one: on an RSA-signed
 * certificate it breaks the verification. */
#ifndef KELU_SM_HOOKS_H
#define KELU_SM_HOOKS_H

#include <openssl/x509.h>

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

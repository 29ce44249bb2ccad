/* Certificates: PKCS#12 files, certificate bytes to objects, the fields GetCertificateInfo
 * offers, the key-usage check, and verification by validity period, CRL and trusted CAs.
 * Text outputs are new[] NUL-terminated texts released by the caller with delete[]; outputs
 * are written on success only. The certificate objects passed in are never released here. */
#ifndef KELU_CERTIFICATE_OPERATIONS_H
#define KELU_CERTIFICATE_OPERATIONS_H

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdio>
#include <ctime>
#include <vector>

#include "SharedCertificates.h"

#define CERT_TYPE_RSA 1
#define CERT_TYPE_SM2 2

// Bits of nCertVerifyFlag, evaluated in this order; other bits are ignored.
#define CERT_VERIFY_VALIDITY 0x1u
#define CERT_VERIFY_CRL      0x2u
#define CERT_VERIFY_CHAIN    0x4u

// Key-usage bits of the crypto library's key-usage word.
#define CERT_KEY_USAGE_DIGITAL_SIGNATURE 0x80u
#define CERT_KEY_USAGE_KEY_ENCIPHERMENT  0x20u

namespace kelu {

// --- PKCS#12 files and certificate reading ---

// Reads a PKCS#12 file from its current position, checks its MAC with the password and
// extracts key, certificate and CA certificates. Each output that is given receives its
// object (null when the file holds none); a file without a key gives its first certificate as
// the certificate. KELU_OK, -1 (unreadable, wrong password, damaged) or KELU_ERR_PARSE.
int ParsePFXFile(FILE *fpPFXFile, const char *pszPFXPwd, EVP_PKEY **ppPrivateKey,
                 X509 **ppX509Cert, STACK_OF(X509) **ppCACerts);

// DER or PEM certificate bytes (as DecodeX509FromBio reads them) to an object for the caller
// (X509_free).
int ConvertCertDataToX509(const unsigned char *pbyCertData, int nCertDataSize,
                          X509 **ppX509Cert);
// The same object from the shared store (SharedCertificates.h), for callers that only read it;
// the step lines are those of ConvertCertDataToX509, without the decode's own when the bytes
// were decoded before.
int ConvertCertDataToSharedX509(const unsigned char *pbyCertData, int nCertDataSize,
                                SharedX509 *cert);

// A UTCTime or GeneralizedTime to UTC seconds, whatever the local time zone. The output is 0
// until success. Fields must be digits in range; the zone is Z or +hhmm / -hhmm.
int ASN1_TIME_To_UTCTime(const ASN1_TIME *pASN1Time, time_t *ptUTCTime);

// CERT_TYPE_RSA or CERT_TYPE_SM2 by the signature algorithm; the output is 0 until success.
int GetX509CertType(X509 *pX509, int *pnCertType);
// The first commonName of the subject (UTF-8) and its byte length (required).
int GetX509SubjectCN(X509 *pX509, char **ppszSubjectCN, int *pnSubjectCNLen);
// The names as "CN=Test, O=Org, C=CN" (entries from the last to the first), at most 1023
// characters; the length output is optional.
int GetX509SubjectDN(X509 *pX509, char **ppszSubjectDN, int *pnSubjectDNLen = nullptr);
int GetX509IssuerDN(X509 *pX509, char **ppszIssuerDN, int *pnIssuerDNLen = nullptr);
int GetX509NotBefore(X509 *pX509, time_t *ptNotBefore);
int GetX509NotAfter(X509 *pX509, time_t *ptNotAfter);
// Upper-case hexadecimal text of the serial's magnitude (with a leading 00 when its top bit
// is set); serial 0 fails.
int GetX509SerialNumber(X509 *pX509, char **ppszSerialNumber, int *pnSerialNumberLen = nullptr);
// Upper-case hexadecimal text of the subject key identifier.
int GetX509SubjectKeyID(X509 *pX509, char **ppszSubjectKeyID, int *pnSubjectKeyIDLen = nullptr);
// The signature algorithm's dotted OID; without an output the text is discarded.
int GetX509CertAlg(X509 *pX509, char **ppszCertAlg = nullptr);

// --- Key-usage check ---

// bAll: every bit of uiCheckBits must be set, else at least one. KELU_OK, KELU_ERR_KEY_USAGE
// (also for a certificate without a keyUsage extension) or -1.
int CheckX509KeyUsage(X509 *pX509, unsigned int uiCheckBits, bool bAll);
int CheckCertKeyUsage(const unsigned char *pbyCertData, int nCertDataSize,
                      unsigned int uiCheckBits, bool bAll);

// --- Verification ---

// The clock of the validity check; tests replace it to reach the exact bounds. Null restores
// the system clock.
using CertVerifyClock = time_t (*)(time_t *);
void SetCertVerifyClock(CertVerifyClock clock);

// notBefore <= now <= notAfter. KELU_OK, KELU_ERR_CERT_VALIDITY, -1 or a time-reading code.
int VerifyCertTime(X509 *pX509);
// The certificate's serial number against the revoked entries of a PEM or DER CRL. The CRL
// decides only when its issuer is the certificate's issuer and, with a trusted store, when a
// certificate of the store with that name verifies its signature (SM2 CRLs with the default
// user ID); its dates are not examined. KELU_OK, KELU_ERR_CERT_REVOKED or -1 (also for a CRL
// that does not decide).
int VerifyCertCRL(FILE *fpCRL, X509 *pX509, X509_STORE *pTrustedStore = nullptr);
// CRL and CA files are read once from their position to their end (at most FILE_SIZE_LIMIT
// bytes) and decoded from memory, so that a pipe or FIFO reads as a regular file does.
// A trusted store of the first certificate (DER, else the first PEM block) of each file.
int LoadCertsToStore(std::vector<FILE *> vecTrustedCAFiles, X509_STORE **ppX509Store);
// A trusted store of every certificate of two certificates-only PKCS#7 bundles (DER, each
// optional).
int LoadP7bToStore(const unsigned char *pbyRootP7b, int nRootP7bSize,
                   const unsigned char *pbyIntermediateP7b, int nIntermediateP7bSize,
                   X509_STORE **ppX509Store);
// The library's chain check with its defaults. KELU_OK, KELU_ERR_CERT_VALIDITY (a certificate
// of the chain expired or not yet valid), KELU_ERR_CERT_UNTRUSTED or -1.
int VerifyCertChainByTrustedStore(X509_STORE *pX509Store, X509 *pX509);
int VerifyCertChain(std::vector<FILE *> vecTrustedCAFiles, X509 *pX509);
// The checks that nCertVerifyFlag asks for, in the order validity, CRL, chain; the first
// failing check's code. With both the CRL and the chain the trusted files are read before the
// CRL, whose signature must then verify with one of them.
int VerifyX509(X509 *pX509, unsigned int nCertVerifyFlag, FILE *fpCRL,
               std::vector<FILE *> vecTrustedCAFiles);
int VerifyCertificate(const unsigned char *pbyCertData, int nCertDataSize,
                      unsigned int nCertVerifyFlag, FILE *fpCRL,
                      std::vector<FILE *> vecTrustedCAFiles);

}  // namespace kelu

#endif

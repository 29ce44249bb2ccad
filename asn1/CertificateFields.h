/* Certificate fields that the message formats and the SM2 operations need: the SM2 public key,
 * the issuer Name and serial number as DER, and the subject key identifier. Each reader takes
 * the certificate as PEM text or DER bytes and hands out a new[] buffer that the caller
 * releases with delete[]; outputs are written on success only. Their source unit is
 * SMFileCertOperations.cpp, which names their step lines; the header has a name of its own
 * because operations/ has a unit of that name too. */
#ifndef KELU_CERTIFICATE_FIELDS_H
#define KELU_CERTIFICATE_FIELDS_H

#include <openssl/x509.h>

#include "Misc.h"

namespace kelu {

// PEM password callback for objects that never carry a password: without one the library
// would prompt on the terminal for a block that claims to be encrypted.
int RefusePemPassword(char *buf, int size, int rwflag, void *userdata);

// The forms a certificate reader takes.
enum class CertForms { kDer, kDerOrPem };

// The one reading of a certificate, shared by every reader of every form: a stream that begins
// with one whole DER certificate is that certificate, whatever text it carries (an nsComment
// may hold another certificate's PEM text, which a PEM reader finds anywhere); with
// kDerOrPem, any other stream gives its first PEM CERTIFICATE block (text before it is
// skipped), read after rewinding the stream to its start (BIO_CTRL_RESET). Writes no step
// line. Null when neither: the DER attempt's errors are then left queued for the caller's
// Failed line, the PEM attempt's never. from_der, when given, tells which attempt gave it.
X509 *DecodeX509FromBio(BIO *pBio, CertForms forms, bool *from_der = nullptr);
// A CRL from a stream of DER or PEM, read the same way: a stream that begins with one whole
// DER CRL is that CRL, whatever its extensions carry; else its first PEM X509 CRL block.
X509_CRL *DecodeCrlFromBio(BIO *pBio);

// A certificate from a stream of PEM or DER, as DecodeX509FromBio reads it, with the step
// lines of a decode for site: the OK line "d2i_X509_bio" for a DER certificate, none for a PEM
// one, and for neither -1 with the Failed line "d2i_X509_bio" (reason failed_reason).
int ReadX509FromBio(const TraceSite &site, BIO *pBio, X509 **ppX509,
                    const char *failed_reason = "NULL == pX509Cert", bool *from_der = nullptr);

// Certificate bytes to a certificate object, as ReadX509FromBio reads them from a memory
// stream (step "BIO_new_mem_buf"). KELU_OK, or -1 (null or non-positive size, neither form).
int ReadX509FromCertBytes(const TraceSite &site, const unsigned char *pbyCertData,
                          int nCertDataSize, X509 **ppX509);
// The same after the parameter check.
int DecodeCertBytes(const TraceSite &site, const unsigned char *pbyCertData, int nCertDataSize,
                    X509 **ppX509, bool *from_der);

// The readers below take the certificate from the shared store (SharedCertificates.h): bytes
// passed again are not decoded again.

// X and Y of the certificate's SM2 public key, 32 bytes each. A key that is not an SM2 key
// on the SM2 curve is refused.
int GetPublicKeyXYFromSM2Cert(const unsigned char *pbyCertData, int nCertDataSize,
                              unsigned char **ppbySM2PubKeyX, int *pnSM2PubKeyXLen,
                              unsigned char **ppbySM2PubKeyY, int *pnSM2PubKeyYLen);

// The DER of the issuer Name (SEQUENCE with its header).
int GetIssuerFromCert(const unsigned char *pbyCertData, int nCertDataSize,
                      unsigned char **ppbyIssuer, int *pnIssuerLen);

// The DER of the serialNumber INTEGER.
int GetSerialNumberFromCert(const unsigned char *pbyCertData, int nCertDataSize,
                            unsigned char **ppbySerialNumber, int *pnSerialNumberLen);

// The key identifier octets of the subjectKeyIdentifier extension (possibly none).
int GetSubjectKeyIDFromCert(const unsigned char *pbyCertData, int nCertDataSize,
                            unsigned char **ppbySubjectKeyID, int *pnSubjectKeyIDLen);

// The subjectKeyIdentifier of a certificate object, as the crypto library decoded it; null
// (with a Failed line for site) when there is none or the extensions do not decode. Shared
// by every reader of the identifier so that all of them give the same bytes.
const ASN1_OCTET_STRING *FindSubjectKeyID(const TraceSite &site, const X509 *pX509);

}  // namespace kelu

#endif

#include "CertificateFields.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <cstring>
#include <memory>
#include <new>

#include "KeluErrors.h"
#include "NationalObjects.h"
#include "OsslPtr.h"
#include "SM2Keys.h"
#include "SharedCertificates.h"

namespace kelu {

namespace {

constexpr int kSM2CoordinateSize = 32;

using BytesPtr = std::unique_ptr<unsigned char[]>;

int CheckOutputs(const TraceSite &site, bool present) {
  return TraceCheck(site, present, "Check output parameter", KELU_ERR_FAILED,
                    "NULL == output pointer");
}

// Step texts of a reader that hands out the DER of one certificate field.
struct DerFieldSteps {
  const char *get_step, *get_reason, *encode_step, *encode_reason;
};

// Loads the certificate, takes the field (get), encodes it with the library (encode, which
// allocates) and hands a new[] copy out.
template <class Field, class Get, class Encode>
int ReadDerField(const TraceSite &site, const unsigned char *data, int size, Get get,
                 Encode encode, const DerFieldSteps &steps, unsigned char **out, int *out_len) {
  int rc = CheckOutputs(site, out != nullptr && out_len != nullptr);
  if (rc != KELU_OK) return rc;
  SharedX509 cert;
  rc = ReadSharedX509(site, data, size, &cert);
  if (rc != KELU_OK) return rc;
  const Field *field = get(cert.get());
  rc = TraceCheckOpenssl(site, field != nullptr, steps.get_step, KELU_ERR_FAILED,
                         steps.get_reason);
  if (rc != KELU_OK) return rc;
  unsigned char *der = nullptr;
  int der_len = encode(field, &der);
  rc = TraceCheckOpenssl(site, der_len > 0 && der != nullptr, steps.encode_step,
                         KELU_ERR_FAILED, steps.encode_reason);
  if (rc != KELU_OK) return rc;
  unsigned char *copy = new (std::nothrow) unsigned char[der_len];
  if (copy != nullptr) std::memcpy(copy, der, static_cast<size_t>(der_len));
  OPENSSL_free(der);
  rc = TraceCheck(site, copy != nullptr, "New memory", KELU_ERR_FAILED, "!pbyOutput");
  if (rc != KELU_OK) return rc;
  *out = copy;
  *out_len = der_len;
  return KELU_OK;
}

}  // namespace

int RefusePemPassword(char *, int, int, void *) { return -1; }

namespace {

// DER first, then (kDerOrPem) the first PEM block, as DecodeX509FromBio documents it.
template <class T>
T *DecodeDerFirst(BIO *pBio, T *(*d2i)(BIO *, T **),
                  T *(*pem)(BIO *, T **, pem_password_cb *, void *), CertForms forms,
                  bool *from_der) {
  if (from_der != nullptr) *from_der = true;
  ERR_set_mark();
  T *object = d2i(pBio, nullptr);
  if (object != nullptr || forms == CertForms::kDer) {
    ERR_clear_last_mark();
    return object;
  }
  BIO_ctrl(pBio, BIO_CTRL_RESET, 0, nullptr);
  ERR_set_mark();
  object = pem(pBio, nullptr, RefusePemPassword, nullptr);
  ERR_pop_to_mark();
  // Found: the DER attempt's errors go too. Not found: they stay for the Failed line.
  if (object != nullptr) {
    ERR_pop_to_mark();
    if (from_der != nullptr) *from_der = false;
  } else {
    ERR_clear_last_mark();
  }
  return object;
}

}  // namespace

X509 *DecodeX509FromBio(BIO *pBio, CertForms forms, bool *from_der) {
  return DecodeDerFirst(pBio, d2i_X509_bio, PEM_read_bio_X509, forms, from_der);
}

X509_CRL *DecodeCrlFromBio(BIO *pBio) {
  return DecodeDerFirst(pBio, d2i_X509_CRL_bio, PEM_read_bio_X509_CRL, CertForms::kDerOrPem,
                        nullptr);
}

int ReadX509FromBio(const TraceSite &site, BIO *pBio, X509 **ppX509, const char *failed_reason,
                    bool *from_der) {
  bool der = false;
  X509 *cert = DecodeX509FromBio(pBio, CertForms::kDerOrPem, &der);
  if (from_der != nullptr) *from_der = der;
  if (cert == nullptr || der) {
    int rc = TraceCheckOpenssl(site, cert != nullptr, "d2i_X509_bio", KELU_ERR_FAILED,
                               failed_reason);
    if (rc != KELU_OK) return rc;
  }
  *ppX509 = cert;
  return KELU_OK;
}

int ReadX509FromCertBytes(const TraceSite &site, const unsigned char *pbyCertData,
                          int nCertDataSize, X509 **ppX509) {
  int rc = TraceCheck(site, pbyCertData != nullptr && nCertDataSize > 0 && ppX509 != nullptr,
                      "Check parameter(pbyCertData and nCertDataSize)", KELU_ERR_FAILED,
                      "NULL == pbyCertData || nCertDataSize <= 0");
  if (rc != KELU_OK) return rc;
  bool from_der = false;
  return DecodeCertBytes(site, pbyCertData, nCertDataSize, ppX509, &from_der);
}

int DecodeCertBytes(const TraceSite &site, const unsigned char *pbyCertData, int nCertDataSize,
                    X509 **ppX509, bool *from_der) {
  BioPtr bio(BIO_new_mem_buf(pbyCertData, nCertDataSize));
  int rc = TraceCheckOpenssl(site, bio != nullptr, "BIO_new_mem_buf", KELU_ERR_FAILED,
                             "NULL == pBioCert");
  if (rc != KELU_OK) return rc;
  return ReadX509FromBio(site, bio.get(), ppX509, "NULL == pX509Cert", from_der);
}

int GetPublicKeyXYFromSM2Cert(const unsigned char *pbyCertData, int nCertDataSize,
                              unsigned char **ppbySM2PubKeyX, int *pnSM2PubKeyXLen,
                              unsigned char **ppbySM2PubKeyY, int *pnSM2PubKeyYLen) {
  int rc = CheckOutputs(KELU_HERE, ppbySM2PubKeyX != nullptr && pnSM2PubKeyXLen != nullptr &&
                                       ppbySM2PubKeyY != nullptr && pnSM2PubKeyYLen != nullptr);
  if (rc != KELU_OK) return rc;
  SharedX509 cert;
  rc = ReadSharedX509(KELU_HERE, pbyCertData, nCertDataSize, &cert);
  if (rc != KELU_OK) return rc;

  EvpPkeyPtr key(X509_get_pubkey(ForReading(cert)));
  rc = TraceCheckOpenssl(KELU_HERE, key != nullptr, "X509_get_pubkey", KELU_ERR_FAILED,
                         "NULL == pEvpPublickey");
  if (rc != KELU_OK) return rc;
  // Only a key on the SM2 curve: the toolkit's SM2 operations take no other.
  rc = TraceCheckOpenssl(KELU_HERE, SM2_KeyCurve(key.get()) == NID_prime256v1SM2, "SM2_KeyCurve",
                         KELU_ERR_FAILED, "NID_prime256v1SM2 != nCurve");
  if (rc != KELU_OK) return rc;
  BytesPtr out_x(new (std::nothrow) unsigned char[kSM2CoordinateSize]());
  BytesPtr out_y(new (std::nothrow) unsigned char[kSM2CoordinateSize]());
  rc = TraceCheck(KELU_HERE, out_x && out_y, "New memory", KELU_ERR_FAILED,
                  "!pbySM2PubKeyX || !pbySM2PubKeyY");
  if (rc != KELU_OK) return rc;
  rc = TraceCheckOpenssl(KELU_HERE, SM2_GetPublicKeyBytes(key.get(), out_x.get(), out_y.get()) == 1,
                         "SM2_GetPublicKeyBytes", KELU_ERR_FAILED, "1 != nResult");
  if (rc != KELU_OK) return rc;

  *ppbySM2PubKeyX = out_x.release();
  *pnSM2PubKeyXLen = kSM2CoordinateSize;
  *ppbySM2PubKeyY = out_y.release();
  *pnSM2PubKeyYLen = kSM2CoordinateSize;
  return KELU_OK;
}

int GetIssuerFromCert(const unsigned char *pbyCertData, int nCertDataSize,
                      unsigned char **ppbyIssuer, int *pnIssuerLen) {
  static const DerFieldSteps kSteps = {"X509_get_issuer_name", "NULL == pX509IssuerName",
                                       "i2d_X509_NAME",
                                       "nASN1IssuerSize <= 0 || NULL == pbyASN1Issuer"};
  return ReadDerField<X509_NAME>(
      KELU_HERE, pbyCertData, nCertDataSize, [](const X509 *x) { return X509_get_issuer_name(x); },
      [](const X509_NAME *name, unsigned char **der) { return i2d_X509_NAME(name, der); },
      kSteps, ppbyIssuer, pnIssuerLen);
}

int GetSerialNumberFromCert(const unsigned char *pbyCertData, int nCertDataSize,
                            unsigned char **ppbySerialNumber, int *pnSerialNumberLen) {
  static const DerFieldSteps kSteps = {
      "X509_get_serialNumber", "NULL == pIntegerSerialNumber", "i2d_ASN1_INTEGER",
      "nASN1SerialNumberSize <= 0 || NULL == pbyASN1SerialNumber"};
  return ReadDerField<ASN1_INTEGER>(
      KELU_HERE, pbyCertData, nCertDataSize, [](const X509 *x) { return X509_get0_serialNumber(x); },
      [](const ASN1_INTEGER *serial, unsigned char **der) {
        return i2d_ASN1_INTEGER(serial, der);
      },
      kSteps, ppbySerialNumber, pnSerialNumberLen);
}

const ASN1_OCTET_STRING *FindSubjectKeyID(const TraceSite &site, const X509 *pX509) {
  if (TraceCheckOpenssl(site, X509_get_ext_by_NID(pX509, NID_subject_key_identifier, -1) != -1,
                        "X509_get_ext_by_NID", KELU_ERR_FAILED, "-1 == nPosition") != KELU_OK)
    return nullptr;
  // The decoded KeyIdentifier, whatever the form of its length octets; null when the
  // extension does not decode.
  // The getter takes a non-const certificate but only reads a shared one, whose extensions
  // were cached before it was shared.
  const ASN1_OCTET_STRING *id = X509_get0_subject_key_id(const_cast<X509 *>(pX509));
  if (TraceCheckOpenssl(site, id != nullptr, "X509_get0_subject_key_id", KELU_ERR_FAILED,
                        "NULL == pSubjectKeyID") != KELU_OK)
    return nullptr;
  return id;
}

int GetSubjectKeyIDFromCert(const unsigned char *pbyCertData, int nCertDataSize,
                            unsigned char **ppbySubjectKeyID, int *pnSubjectKeyIDLen) {
  int rc = CheckOutputs(KELU_HERE, ppbySubjectKeyID != nullptr && pnSubjectKeyIDLen != nullptr);
  if (rc != KELU_OK) return rc;
  SharedX509 cert;
  rc = ReadSharedX509(KELU_HERE, pbyCertData, nCertDataSize, &cert);
  if (rc != KELU_OK) return rc;
  const ASN1_OCTET_STRING *id = FindSubjectKeyID(KELU_HERE, cert.get());
  if (id == nullptr) return KELU_ERR_FAILED;
  int id_len = ASN1_STRING_length(id);
  // One byte at least, so that an empty identifier is still a buffer of its own.
  unsigned char *copy = new (std::nothrow) unsigned char[id_len > 0 ? id_len : 1]();
  rc = TraceCheck(KELU_HERE, copy != nullptr, "New memory", KELU_ERR_FAILED, "!pbySubjectKeyID");
  if (rc != KELU_OK) return rc;
  if (id_len > 0) std::memcpy(copy, ASN1_STRING_get0_data(id), static_cast<size_t>(id_len));
  *ppbySubjectKeyID = copy;
  *pnSubjectKeyIDLen = id_len;
  return KELU_OK;
}

}  // namespace kelu

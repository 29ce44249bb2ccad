#include "CertificateFields.h"

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <cstring>
#include <memory>
#include <new>

#include "KeluErrors.h"
#include "OsslPtr.h"

namespace kelu {

namespace {

constexpr int kSM2CoordinateSize = 32;

using BytesPtr = std::unique_ptr<unsigned char[]>;

// The SM2 public point of a key as X and Y. Stands in for the SM2 core's
// EVP_PKEY_get0_SM2_KEY until that lands: keys decoded by OpenSSL 3.0 are provider keys, so
// the type is tested by name and the coordinates are read as parameters.
bool IsSM2CurveKey(const EVP_PKEY *pkey) {
  if (EVP_PKEY_is_a(pkey, "SM2") != 1) return false;
  char group[32] = {0};
  size_t group_len = 0;
  return EVP_PKEY_get_utf8_string_param(pkey, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group,
                                        &group_len) == 1 &&
         std::strcmp(group, "SM2") == 0;
}

// A big number as exactly 32 big-endian bytes; false when it needs more. Stands in for the SM2
// core's _SM2_GetBNBytes until that lands.
bool GetBNBytes32(const BIGNUM *bn, unsigned char *out) {
  return BN_bn2binpad(bn, out, kSM2CoordinateSize) == kSM2CoordinateSize;
}

// Copies library-encoded DER (released with OPENSSL_free) into a new[] buffer for the caller.
bool HandOutDer(unsigned char *der, int der_len, unsigned char **out, int *out_len) {
  unsigned char *copy = new (std::nothrow) unsigned char[der_len];
  if (copy != nullptr) std::memcpy(copy, der, static_cast<size_t>(der_len));
  OPENSSL_free(der);
  if (copy == nullptr) return false;
  *out = copy;
  *out_len = der_len;
  return true;
}

int ReadCertificate(const TraceSite &site, const unsigned char *data, int size, X509Ptr *cert) {
  X509 *x = nullptr;
  int rc = ReadX509FromCertBytes(site, data, size, &x);
  cert->reset(x);
  return rc;
}

}  // namespace

int RefusePemPassword(char *, int, int, void *) { return -1; }

int ReadX509FromBio(const TraceSite &site, BIO *pBio, X509 **ppX509) {
  // The PEM attempt's errors are not the caller's concern when the DER attempt follows.
  ERR_set_mark();
  X509 *cert = PEM_read_bio_X509(pBio, nullptr, RefusePemPassword, nullptr);
  ERR_pop_to_mark();
  if (cert == nullptr) {
    BIO_ctrl(pBio, BIO_CTRL_RESET, 0, nullptr);
    cert = d2i_X509_bio(pBio, nullptr);
    if (cert == nullptr) {
      TraceStepFailedOpenssl(site, "d2i_X509_bio", KELU_ERR_FAILED, "NULL == pX509Cert");
      return KELU_ERR_FAILED;
    }
    TraceStepOK(site, "d2i_X509_bio");
  }
  *ppX509 = cert;
  return KELU_OK;
}

int ReadX509FromCertBytes(const TraceSite &site, const unsigned char *pbyCertData,
                          int nCertDataSize, X509 **ppX509) {
  if (pbyCertData == nullptr || nCertDataSize <= 0 || ppX509 == nullptr) {
    TraceStepFailed(site, "BIO_new_mem_buf", KELU_ERR_FAILED,
                    "NULL == pbyCertData || nCertDataSize <= 0");
    return KELU_ERR_FAILED;
  }
  BioPtr bio(BIO_new_mem_buf(pbyCertData, nCertDataSize));
  if (!bio) {
    TraceStepFailedOpenssl(site, "BIO_new_mem_buf", KELU_ERR_FAILED, "NULL == pBioCert");
    return KELU_ERR_FAILED;
  }
  return ReadX509FromBio(site, bio.get(), ppX509);
}

int GetPublicKeyXYFromSM2Cert(const unsigned char *pbyCertData, int nCertDataSize,
                              unsigned char **ppbySM2PubKeyX, int *pnSM2PubKeyXLen,
                              unsigned char **ppbySM2PubKeyY, int *pnSM2PubKeyYLen) {
  if (ppbySM2PubKeyX == nullptr || pnSM2PubKeyXLen == nullptr || ppbySM2PubKeyY == nullptr ||
      pnSM2PubKeyYLen == nullptr) {
    TraceStepFailed(KELU_HERE, "Check output parameter", KELU_ERR_FAILED,
                    "NULL == output pointer");
    return KELU_ERR_FAILED;
  }
  X509Ptr cert;
  if (ReadCertificate(KELU_HERE, pbyCertData, nCertDataSize, &cert) != KELU_OK)
    return KELU_ERR_FAILED;

  EvpPkeyPtr key(X509_get_pubkey(cert.get()));
  if (!key) {
    TraceStepFailedOpenssl(KELU_HERE, "X509_get_pubkey", KELU_ERR_FAILED,
                           "NULL == pEvpPublickey");
    return KELU_ERR_FAILED;
  }
  TraceStepOK(KELU_HERE, "X509_get_pubkey");
  if (!IsSM2CurveKey(key.get())) {
    TraceStepFailedOpenssl(KELU_HERE, "EVP_PKEY_get0_SM2_KEY", KELU_ERR_FAILED,
                           "NULL == pECPubKey");
    return KELU_ERR_FAILED;
  }
  TraceStepOK(KELU_HERE, "EVP_PKEY_get0_SM2_KEY");

  BIGNUM *raw_x = nullptr, *raw_y = nullptr;
  int got_x = EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_EC_PUB_X, &raw_x);
  int got_y = EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_EC_PUB_Y, &raw_y);
  BignumPtr x(raw_x), y(raw_y);
  if (got_x != 1 || got_y != 1) {
    TraceStepFailedOpenssl(KELU_HERE, "EVP_PKEY_get_bn_param", KELU_ERR_FAILED,
                           "0 == nResult");
    return KELU_ERR_FAILED;
  }
  TraceStepOK(KELU_HERE, "EVP_PKEY_get_bn_param");

  BytesPtr out_x(new (std::nothrow) unsigned char[kSM2CoordinateSize]());
  if (!out_x) {
    TraceStepFailed(KELU_HERE, "New memory", KELU_ERR_FAILED, "!pbySM2PubKeyX");
    return KELU_ERR_FAILED;
  }
  BytesPtr out_y(new (std::nothrow) unsigned char[kSM2CoordinateSize]());
  if (!out_y) {
    TraceStepFailed(KELU_HERE, "New memory", KELU_ERR_FAILED, "!pbySM2PubKeyY");
    return KELU_ERR_FAILED;
  }
  TraceStepOK(KELU_HERE, "New memory");
  if (!GetBNBytes32(x.get(), out_x.get())) {
    TraceStepFailed(KELU_HERE, "_SM2_GetBNBytes(PubKeyX)", KELU_ERR_FAILED, "1 != nResult");
    return KELU_ERR_FAILED;
  }
  if (!GetBNBytes32(y.get(), out_y.get())) {
    TraceStepFailed(KELU_HERE, "_SM2_GetBNBytes(PubKeyY)", KELU_ERR_FAILED, "1 != nResult");
    return KELU_ERR_FAILED;
  }
  TraceStepOK(KELU_HERE, "_SM2_GetBNBytes");

  *ppbySM2PubKeyX = out_x.release();
  *pnSM2PubKeyXLen = kSM2CoordinateSize;
  *ppbySM2PubKeyY = out_y.release();
  *pnSM2PubKeyYLen = kSM2CoordinateSize;
  return KELU_OK;
}

int GetIssuerFromCert(const unsigned char *pbyCertData, int nCertDataSize,
                      unsigned char **ppbyIssuer, int *pnIssuerLen) {
  if (ppbyIssuer == nullptr || pnIssuerLen == nullptr) {
    TraceStepFailed(KELU_HERE, "Check output parameter", KELU_ERR_FAILED,
                    "NULL == ppbyIssuer || NULL == pnIssuerLen");
    return KELU_ERR_FAILED;
  }
  X509Ptr cert;
  if (ReadCertificate(KELU_HERE, pbyCertData, nCertDataSize, &cert) != KELU_OK)
    return KELU_ERR_FAILED;
  const X509_NAME *issuer = X509_get_issuer_name(cert.get());
  if (issuer == nullptr) {
    TraceStepFailedOpenssl(KELU_HERE, "X509_get_issuer_name", KELU_ERR_FAILED,
                           "NULL == pX509IssuerName");
    return KELU_ERR_FAILED;
  }
  TraceStepOK(KELU_HERE, "X509_get_issuer_name");
  unsigned char *der = nullptr;
  int der_len = i2d_X509_NAME(issuer, &der);
  if (der_len <= 0 || der == nullptr) {
    TraceStepFailedOpenssl(KELU_HERE, "i2d_X509_NAME", KELU_ERR_FAILED,
                           "nASN1IssuerSize <= 0 || NULL == pbyASN1Issuer");
    return KELU_ERR_FAILED;
  }
  TraceStepOK(KELU_HERE, "i2d_X509_NAME");
  if (!HandOutDer(der, der_len, ppbyIssuer, pnIssuerLen)) {
    TraceStepFailed(KELU_HERE, "New memory", KELU_ERR_FAILED, "!pbyIssuer");
    return KELU_ERR_FAILED;
  }
  return KELU_OK;
}

int GetSerialNumberFromCert(const unsigned char *pbyCertData, int nCertDataSize,
                            unsigned char **ppbySerialNumber, int *pnSerialNumberLen) {
  if (ppbySerialNumber == nullptr || pnSerialNumberLen == nullptr) {
    TraceStepFailed(KELU_HERE, "Check output parameter", KELU_ERR_FAILED,
                    "NULL == ppbySerialNumber || NULL == pnSerialNumberLen");
    return KELU_ERR_FAILED;
  }
  X509Ptr cert;
  if (ReadCertificate(KELU_HERE, pbyCertData, nCertDataSize, &cert) != KELU_OK)
    return KELU_ERR_FAILED;
  const ASN1_INTEGER *serial = X509_get0_serialNumber(cert.get());
  if (serial == nullptr) {
    TraceStepFailedOpenssl(KELU_HERE, "X509_get_serialNumber", KELU_ERR_FAILED,
                           "NULL == pIntegerSerialNumber");
    return KELU_ERR_FAILED;
  }
  TraceStepOK(KELU_HERE, "X509_get_serialNumber");
  unsigned char *der = nullptr;
  int der_len = i2d_ASN1_INTEGER(serial, &der);
  if (der_len <= 0 || der == nullptr) {
    TraceStepFailedOpenssl(KELU_HERE, "i2d_ASN1_INTEGER", KELU_ERR_FAILED,
                           "nASN1SerialNumberSize <= 0 || NULL == pbyASN1SerialNumber");
    return KELU_ERR_FAILED;
  }
  TraceStepOK(KELU_HERE, "i2d_ASN1_INTEGER");
  if (!HandOutDer(der, der_len, ppbySerialNumber, pnSerialNumberLen)) {
    TraceStepFailed(KELU_HERE, "New memory", KELU_ERR_FAILED, "!pbySerialNumber");
    return KELU_ERR_FAILED;
  }
  return KELU_OK;
}

const ASN1_OCTET_STRING *FindSubjectKeyID(const TraceSite &site, X509 *pX509) {
  if (X509_get_ext_by_NID(pX509, NID_subject_key_identifier, -1) == -1) {
    TraceStepFailedOpenssl(site, "X509_get_ext_by_NID", KELU_ERR_FAILED, "-1 == nPosition");
    return nullptr;
  }
  TraceStepOK(site, "X509_get_ext_by_NID");
  // The decoded KeyIdentifier, whatever the form of its length octets; null when the
  // extension does not decode.
  const ASN1_OCTET_STRING *id = X509_get0_subject_key_id(pX509);
  if (id == nullptr) {
    TraceStepFailedOpenssl(site, "X509_get0_subject_key_id", KELU_ERR_FAILED,
                           "NULL == pSubjectKeyID");
    return nullptr;
  }
  TraceStepOK(site, "X509_get0_subject_key_id");
  return id;
}

int GetSubjectKeyIDFromCert(const unsigned char *pbyCertData, int nCertDataSize,
                            unsigned char **ppbySubjectKeyID, int *pnSubjectKeyIDLen) {
  if (ppbySubjectKeyID == nullptr || pnSubjectKeyIDLen == nullptr) {
    TraceStepFailed(KELU_HERE, "Check output parameter", KELU_ERR_FAILED,
                    "NULL == ppbySubjectKeyID || NULL == pnSubjectKeyIDLen");
    return KELU_ERR_FAILED;
  }
  X509Ptr cert;
  if (ReadCertificate(KELU_HERE, pbyCertData, nCertDataSize, &cert) != KELU_OK)
    return KELU_ERR_FAILED;
  const ASN1_OCTET_STRING *id = FindSubjectKeyID(KELU_HERE, cert.get());
  if (id == nullptr) return KELU_ERR_FAILED;
  int id_len = ASN1_STRING_length(id);
  // One byte at least, so that an empty identifier is still a buffer of its own.
  unsigned char *copy = new (std::nothrow) unsigned char[id_len > 0 ? id_len : 1]();
  if (copy == nullptr) {
    TraceStepFailed(KELU_HERE, "New memory", KELU_ERR_FAILED, "!pbySubjectKeyID");
    return KELU_ERR_FAILED;
  }
  TraceStepOK(KELU_HERE, "New memory");
  if (id_len > 0) std::memcpy(copy, ASN1_STRING_get0_data(id), static_cast<size_t>(id_len));
  *ppbySubjectKeyID = copy;
  *pnSubjectKeyIDLen = id_len;
  return KELU_OK;
}

}  // namespace kelu

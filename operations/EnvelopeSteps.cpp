#include "EnvelopeSteps.h"

#include <cstring>

#include "CMSEnvelopeOperations.h"
#include "CertificateFields.h"
#include "KeluErrors.h"
#include "kelu_zlog.h"

namespace kelu::ops {

EnvelopeFields::~EnvelopeFields() {
  delete[] key_id;
  delete[] encrypted_key;
  delete[] key_algorithm;
  delete[] content_algorithm;
  delete[] parameters;
}

int DecodeEnvelopeData(const TraceSite &site, const unsigned char *der, int der_size,
                       EnvelopeFields *fields, std::unique_ptr<unsigned char[]> *content,
                       int *content_size) {
  unsigned char *encrypted = nullptr;
  const int rc = Decode_CMSEnvelopeData(
      der, der_size, &fields->key_id, &fields->key_id_size, &fields->encrypted_key,
      &fields->encrypted_key_size, &encrypted, content_size, &fields->key_algorithm,
      &fields->key_algorithm_length, &fields->content_algorithm, &fields->content_algorithm_length,
      &fields->parameters, &fields->parameters_size);
  content->reset(encrypted);
  return TraceCheck(site, rc == KELU_OK, "Decode_CMSEnvelopeData", rc, "KELU_OK != nResult");
}

int DecodeEnvelopeFile(const TraceSite &site, FILE *envelope, EnvelopeFields *fields,
                       std::unique_ptr<NodeEx> *content) {
  NodeEx *node = nullptr;
  const int rc = Decode_CMSEnvelopeFile(
      envelope, &fields->key_id, &fields->key_id_size, &fields->encrypted_key,
      &fields->encrypted_key_size, &node, &fields->key_algorithm, &fields->key_algorithm_length,
      &fields->content_algorithm, &fields->content_algorithm_length, &fields->parameters,
      &fields->parameters_size);
  content->reset(node);
  return TraceCheck(site, rc == KELU_OK, "Decode_CMSEnvelopeFile", rc, "nResult != KELU_OK");
}

int ReadRecipientKeyID(const TraceSite &site, const unsigned char *cert, int cert_size,
                       std::unique_ptr<unsigned char[]> *key_id, int *key_id_size) {
  unsigned char *id = nullptr;
  int rc = kelu::GetSubjectKeyIDFromCert(cert, cert_size, &id, key_id_size);
  key_id->reset(id);
  rc = TraceCheck(site, rc == KELU_OK, "GetSubjectKeyIDFromCert", rc, "KELU_OK != nResult");
  if (rc != KELU_OK) return rc;
  return TraceCheck(site, *key_id_size > 0, "Check SubjectKeyID", KELU_ERR_FAILED,
                    "nSubjectKeyIDSize <= 0");
}

int CheckRecipient(const TraceSite &site, const X509 *cert, const EnvelopeFields &fields,
                   const RecipientRefusal &refusal) {
  if (fields.key_id == nullptr || fields.key_id_size <= 0) {
    TRACE(KELU_TRACE_INFO, "CMS envelope without recipient SubjectKeyID");
    return KELU_OK;
  }
  if (cert == nullptr) {
    TraceStepFailed(site, "GetX509SubjectKeyID", KELU_ERR_FAILED, "NULL == pX509Cert");
    return KELU_ERR_FAILED;
  }
  const ASN1_OCTET_STRING *own = kelu::FindSubjectKeyID(site, cert);
  if (own == nullptr) return KELU_ERR_FAILED;
  const bool same = ASN1_STRING_length(own) == fields.key_id_size &&
                    std::memcmp(ASN1_STRING_get0_data(own), fields.key_id,
                                static_cast<size_t>(fields.key_id_size)) == 0;
  return TraceCheck(site, same, refusal.step, refusal.code, refusal.reason);
}

}  // namespace kelu::ops

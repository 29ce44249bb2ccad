/* Steps that the RSA and the SM2 envelopes share: the small fields of a parsed envelope, the
 * two parsers around them, the recipient identifier of a certificate and the check that an
 * envelope names the key holder's certificate. Each helper writes its step lines at the
 * caller's site. */
#ifndef KELU_ENVELOPE_STEPS_H
#define KELU_ENVELOPE_STEPS_H

#include <openssl/x509.h>

#include <cstdio>
#include <memory>

#include "ASN1EngineEx.h"
#include "Misc.h"

namespace kelu::ops {

// The small fields of an envelope as its parsers hand them out (new[] buffers, released with
// the record).
struct EnvelopeFields {
  unsigned char *key_id = nullptr;
  int key_id_size = 0;
  unsigned char *encrypted_key = nullptr;
  int encrypted_key_size = 0;
  char *key_algorithm = nullptr;
  int key_algorithm_length = 0;
  char *content_algorithm = nullptr;
  int content_algorithm_length = 0;
  unsigned char *parameters = nullptr;
  int parameters_size = 0;

  EnvelopeFields() = default;
  EnvelopeFields(const EnvelopeFields &) = delete;
  EnvelopeFields &operator=(const EnvelopeFields &) = delete;
  ~EnvelopeFields();
};

// Decode_CMSEnvelopeData as the step of that name: the fields, and the encrypted content (one
// NUL behind it, not counted). Its codes pass on.
int DecodeEnvelopeData(const TraceSite &site, const unsigned char *der, int der_size,
                       EnvelopeFields *fields, std::unique_ptr<unsigned char[]> *content,
                       int *content_size);

// Decode_CMSEnvelopeFile as the step of that name: the fields, and the node that locates the
// encrypted content in the file. Its codes pass on.
int DecodeEnvelopeFile(const TraceSite &site, FILE *envelope, EnvelopeFields *fields,
                       std::unique_ptr<NodeEx> *content);

// The subject key identifier that names the recipient certificate (PEM or DER) in an envelope,
// as the step "GetSubjectKeyIDFromCert". A certificate without one gives -1, and so does an
// empty one, which would make an envelope that every key is tried on.
int ReadRecipientKeyID(const TraceSite &site, const unsigned char *cert, int cert_size,
                       std::unique_ptr<unsigned char[]> *key_id, int *key_id_size);

// How a recipient that is not the key holder is refused.
struct RecipientRefusal {
  int code;
  const char *step;
  const char *reason;
};

// An envelope that names its recipient must name cert by exactly its subject key identifier;
// one that names none is left to the key. A certificate without the identifier gives -1.
int CheckRecipient(const TraceSite &site, const X509 *cert, const EnvelopeFields &fields,
                   const RecipientRefusal &refusal);

}  // namespace kelu::ops

#endif

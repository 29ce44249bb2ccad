// Certificate times from outside: the first byte chooses UTCTime or GeneralizedTime, the rest
// is the text. The parser never reads past the text, and where the crypto library also reads
// the text, both name the same instant.
#include <openssl/asn1.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <ctime>

#include "CertificateOperations.h"
#include "KeluErrors.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0 || size > 64) return 0;
  const int type = (data[0] & 1) != 0 ? V_ASN1_GENERALIZEDTIME : V_ASN1_UTCTIME;
  ASN1_TIME *t = ASN1_STRING_type_new(type);
  // An exact copy, without the NUL that ASN1_STRING_set adds after the text.
  unsigned char *copy = static_cast<unsigned char *>(std::malloc(size - 1 > 0 ? size - 1 : 1));
  for (size_t i = 1; i < size; ++i) copy[i - 1] = data[i];
  ASN1_STRING_set0(t, copy, static_cast<int>(size - 1));

  time_t ours = 1;
  const int rc = kelu::ASN1_TIME_To_UTCTime(t, &ours);
  Require(rc == KELU_OK || (rc == KELU_ERR_FAILED && ours == 0));
  struct tm tm;
  if (rc == KELU_OK && ASN1_TIME_to_tm(t, &tm) == 1) Require(timegm(&tm) == ours);
  ASN1_TIME_free(t);
  return 0;
}

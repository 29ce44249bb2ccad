#include "SMHooks.h"

#include <openssl/asn1.h>

#include "NationalObjects.h"
#include "SM2.h"

namespace kelu {

bool IsSM2SignedCertificate(const X509 *pX509) {
  return pX509 != nullptr &&
         X509_get_signature_nid(pX509) == ToLibraryNid(NID_ChinaSM2withSM3);
}

int SetSM2DefaultIdIfSM2Signed(X509 *pX509) {
  if (pX509 == nullptr) return 0;
  if (!IsSM2SignedCertificate(pX509)) return 1;
  ASN1_OCTET_STRING *id = ASN1_OCTET_STRING_new();
  if (id == nullptr) return 0;
  if (ASN1_OCTET_STRING_set(id, kSM2DefaultUserId, sizeof kSM2DefaultUserId) != 1) {
    ASN1_OCTET_STRING_free(id);
    return 0;
  }
  X509_set0_distinguishing_id(pX509, id);  // takes the string
  return 1;
}

int PrepareSM2ChainVerification(X509_STORE *pStore, X509 *pTarget) {
  if (pStore == nullptr || SetSM2DefaultIdIfSM2Signed(pTarget) != 1) return 0;
  if (X509_STORE_lock(pStore) != 1) return 0;
  int ok = 1;
  STACK_OF(X509_OBJECT) *objects = X509_STORE_get0_objects(pStore);
  for (int i = 0; ok == 1 && i < sk_X509_OBJECT_num(objects); ++i) {
    X509 *cert = X509_OBJECT_get0_X509(sk_X509_OBJECT_value(objects, i));
    if (cert != nullptr) ok = SetSM2DefaultIdIfSM2Signed(cert);
  }
  X509_STORE_unlock(pStore);
  return ok;
}

}  // namespace kelu

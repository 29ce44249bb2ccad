#include "SMHooks.h"

#include <openssl/asn1.h>
#include <openssl/asn1t.h>

#include "NationalObjects.h"
#include "SM2.h"

ASN1_SEQUENCE(PFX_SM2_PRIVATE_DATA) = {
    ASN1_SIMPLE(PFX_SM2_PRIVATE_DATA, dataID, ASN1_OBJECT),
    ASN1_SIMPLE(PFX_SM2_PRIVATE_DATA, dataEncryptedAlg, ASN1_OBJECT),
    ASN1_SIMPLE(PFX_SM2_PRIVATE_DATA, encryptedSM2PrivateKey, ASN1_OCTET_STRING),
} ASN1_SEQUENCE_END(PFX_SM2_PRIVATE_DATA)

ASN1_SEQUENCE(PFX_SM2_PUBLIC_DATA) = {
    ASN1_SIMPLE(PFX_SM2_PUBLIC_DATA, dataID, ASN1_OBJECT),
    ASN1_SIMPLE(PFX_SM2_PUBLIC_DATA, SM2Certificate, ASN1_OCTET_STRING),
} ASN1_SEQUENCE_END(PFX_SM2_PUBLIC_DATA)

ASN1_SEQUENCE(PFX_SM2) = {
    ASN1_SIMPLE(PFX_SM2, version, ASN1_INTEGER),
    ASN1_SIMPLE(PFX_SM2, privateData, PFX_SM2_PRIVATE_DATA),
    ASN1_SIMPLE(PFX_SM2, publicData, PFX_SM2_PUBLIC_DATA),
} ASN1_SEQUENCE_END(PFX_SM2)

IMPLEMENT_ASN1_FUNCTIONS(PFX_SM2_PRIVATE_DATA)
IMPLEMENT_ASN1_FUNCTIONS(PFX_SM2_PUBLIC_DATA)
IMPLEMENT_ASN1_FUNCTIONS(PFX_SM2)

PFX_SM2 *d2i_SM2_PFX_bio(BIO *bp, PFX_SM2 **ppPFX) {
  return static_cast<PFX_SM2 *>(ASN1_item_d2i_bio(ASN1_ITEM_rptr(PFX_SM2), bp, ppPFX));
}

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

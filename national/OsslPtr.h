/* Owning pointers for the crypto library's objects: released by their own free function on
 * every path. */
#ifndef KELU_OSSL_PTR_H
#define KELU_OSSL_PTR_H

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include <memory>

namespace kelu {

template <auto Free>
struct Deleter {
  template <class T>
  void operator()(T *p) const {
    Free(p);
  }
};

using BioPtr = std::unique_ptr<BIO, Deleter<BIO_free_all>>;
using BignumPtr = std::unique_ptr<BIGNUM, Deleter<BN_free>>;
using SecretBignumPtr = std::unique_ptr<BIGNUM, Deleter<BN_clear_free>>;
using BnCtxPtr = std::unique_ptr<BN_CTX, Deleter<BN_CTX_free>>;
using EcGroupPtr = std::unique_ptr<EC_GROUP, Deleter<EC_GROUP_free>>;
using EcPointPtr = std::unique_ptr<EC_POINT, Deleter<EC_POINT_clear_free>>;
using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using EvpPkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX_free>>;
using EvpMdCtxPtr = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX_free>>;
using EvpCipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, Deleter<EVP_CIPHER_CTX_free>>;
using X509Ptr = std::unique_ptr<X509, Deleter<X509_free>>;
using X509CrlPtr = std::unique_ptr<X509_CRL, Deleter<X509_CRL_free>>;
using X509StorePtr = std::unique_ptr<X509_STORE, Deleter<X509_STORE_free>>;
using X509StoreCtxPtr = std::unique_ptr<X509_STORE_CTX, Deleter<X509_STORE_CTX_free>>;
using Pkcs12Ptr = std::unique_ptr<PKCS12, Deleter<PKCS12_free>>;

// A stack of certificates with the certificates it owns.
inline void FreeX509Stack(STACK_OF(X509) * s) { sk_X509_pop_free(s, X509_free); }
using X509StackPtr = std::unique_ptr<STACK_OF(X509), Deleter<FreeX509Stack>>;

}  // namespace kelu

#endif

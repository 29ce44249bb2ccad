/* OpenSSL's own SM2 signing and verification over SM3 with the default user ID
 * "1234567812345678": the reference the SM2 benchmarks set the toolkit beside. */
#ifndef KELU_OPENSSL_SM2_CONTEXT_H
#define KELU_OPENSSL_SM2_CONTEXT_H

#include <openssl/evp.h>

// A digest-sign or digest-verify context of the key; release it with FreeOpenSslSm2Context.
inline EVP_MD_CTX *OpenSslSm2Context(EVP_PKEY *pkey, bool sign) {
  EVP_MD_CTX *md = EVP_MD_CTX_new();
  EVP_PKEY_CTX *pctx = EVP_PKEY_CTX_new(pkey, nullptr);
  EVP_PKEY_CTX_set1_id(pctx, "1234567812345678", 16);
  EVP_MD_CTX_set_pkey_ctx(md, pctx);
  if (sign)
    EVP_DigestSignInit(md, nullptr, ::EVP_sm3(), nullptr, pkey);
  else
    EVP_DigestVerifyInit(md, nullptr, ::EVP_sm3(), nullptr, pkey);
  return md;
}

// The key context set on the digest context is not the digest context's to release.
inline void FreeOpenSslSm2Context(EVP_MD_CTX *md) {
  EVP_PKEY_CTX_free(EVP_MD_CTX_get_pkey_ctx(md));
  EVP_MD_CTX_free(md);
}

#endif

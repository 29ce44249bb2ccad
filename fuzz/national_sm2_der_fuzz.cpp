#define OPENSSL_SUPPRESS_DEPRECATED  // EC_KEY_free of what d2i_SM2PrivateKey returns
// Untrusted bytes into the national-algorithm parsers: the DER SM2 signature and cipher text,
// the SM2 private-key structures, the raw C1C2C3 cipher text and the time printers. The first
// byte chooses the parser.
#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "NationalObjects.h"
#include "SM2.h"
#include "SM2Keys.h"
#include "SMTimePrint.h"

namespace {

struct Fixture {
  EVP_PKEY *key = EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2");
  unsigned char d[32] = {};
  Fixture() { kelu::SM2_GetPrivateKeyBytes(key, d); }
};

const Fixture &Shared() {
  static const Fixture *const f = new Fixture;
  return *f;
}

void PrintTime(int type, const uint8_t *data, size_t size) {
  ASN1_STRING *tm = ASN1_STRING_type_new(type);
  BIO *bio = BIO_new(BIO_s_mem());
  if (tm != nullptr && bio != nullptr && ASN1_STRING_set(tm, data, static_cast<int>(size)) == 1) {
    kelu::ASN1_TIME_print_gz(bio, tm);
    kelu::ASN1_TIME_print_sys(bio, tm);
  }
  BIO_free(bio);
  ASN1_STRING_free(tm);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1 || size > 100000) return 0;
  const Fixture &f = Shared();
  uint8_t choice = data[0];
  ++data;
  --size;
  std::vector<unsigned char> out(size + 64);
  switch (choice % 7) {
    case 0: {
      size_t len = 0;
      kelu::pkey_sm2_decrypt(f.key, nullptr, &len, data, size);
      len = out.size();
      kelu::pkey_sm2_decrypt(f.key, out.data(), &len, data, size);
      break;
    }
    case 1: {
      unsigned char digest[32] = {1, 2, 3};
      kelu::pkey_ec_verify(f.key, data, size, digest, sizeof digest);
      break;
    }
    case 2: {
      const unsigned char *p = data;
      kelu::SM2_PRIVATEKEY_free(kelu::d2i_SM2_PRIVATEKEY(nullptr, &p, static_cast<long>(size)));
      p = data;
      EC_KEY *ec = kelu::d2i_SM2PrivateKey(nullptr, &p, static_cast<long>(size));
      if (ec != nullptr) {
        unsigned char *der = nullptr;
        kelu::i2d_SM2PrivateKey(ec, &der);
        OPENSSL_free(der);
      }
      EC_KEY_free(ec);
      break;
    }
    case 3: {
      EVP_PKEY *pkey = EVP_PKEY_new();
      const unsigned char *p = data;
      kelu::old_ec_priv_decode(pkey, &p, static_cast<int>(size));
      EVP_PKEY_free(pkey);
      break;
    }
    case 4: {
      BIGNUM *d = BN_bin2bn(f.d, 32, nullptr);
      kelu::_SM2_decrypt(kelu::NID_prime256v1SM2, data, static_cast<int>(size), d, out.data());
      BN_clear_free(d);
      break;
    }
    case 5:
      PrintTime(V_ASN1_UTCTIME, data, size);
      break;
    default:
      PrintTime(V_ASN1_GENERALIZEDTIME, data, size);
      break;
  }
  ERR_clear_error();
  return 0;
}

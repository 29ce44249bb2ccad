// make_sm2_key_file <SM2 private key, PEM> <its certificate, PEM or DER> <password> <key file>
//
// Writes the toolkit's SM2 key file (one line of Base64 of the password-protected key and the
// certificate) from an SM2 key and certificate made with the openssl command line, e.g.
//   openssl genpkey -algorithm SM2 -out sign.key
//   openssl req -x509 -new -key sign.key -sm3 -sigopt distid:1234567812345678 ... -out sign.pem
//   make_sm2_key_file sign.key sign.pem 'a password' sign.sm2
// A key that is not the certificate's is refused (0x80070057) and no file is written.
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "Base64Utility.h"
#include "KeluErrors.h"
#include "SMFileCertOperations.h"
#include "SMKernel.h"

namespace {

constexpr int kKeySize = 32;

struct KeyFreer {
  void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
struct BignumFreer {
  void operator()(BIGNUM *n) const { BN_clear_free(n); }
};

// The private scalar d of a PEM SM2 key, 32 bytes big-endian.
bool ReadPrivateKey(const char *path, unsigned char (&d)[kKeySize]) {
  FILE *file = std::fopen(path, "rb");
  if (file == nullptr) return false;
  std::unique_ptr<EVP_PKEY, KeyFreer> key(PEM_read_PrivateKey(file, nullptr, nullptr, nullptr));
  std::fclose(file);
  if (key == nullptr || !EVP_PKEY_is_a(key.get(), "SM2")) return false;
  BIGNUM *raw = nullptr;
  if (EVP_PKEY_get_bn_param(key.get(), "priv", &raw) != 1) return false;
  std::unique_ptr<BIGNUM, BignumFreer> scalar(raw);
  return BN_bn2binpad(scalar.get(), d, kKeySize) == kKeySize;
}

bool ReadWholeFile(const char *path, std::string *bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !bytes->empty();
}

// The key file's text: the DER of the structure as one line of Base64.
int KeyFileText(const std::string &cert, const unsigned char (&d)[kKeySize], const char *password,
                std::string *text) {
  unsigned char *der = nullptr;
  int der_size = 0;
  int rc = EncapsulateSM2PFX(reinterpret_cast<const unsigned char *>(cert.data()),
                             static_cast<int>(cert.size()), d, kKeySize, password, &der, &der_size);
  std::unique_ptr<unsigned char[]> owned_der(der);
  if (rc != KELU_OK) return rc;
  char *base64 = nullptr;
  int length = 0;
  rc = Base64EncodeEx(der, der_size, &base64, &length, ATL_BASE64_FLAG_NOCRLF);
  std::unique_ptr<char[]> owned_text(base64);
  if (rc == KELU_OK) text->assign(base64, static_cast<size_t>(length));
  return rc;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s <SM2 key (PEM)> <certificate> <password> <key file>\n",
                 argv[0]);
    return 2;
  }
  unsigned char d[kKeySize];
  const bool have_key = ReadPrivateKey(argv[1], d);
  std::string cert;
  if (!have_key || !ReadWholeFile(argv[2], &cert)) {
    OPENSSL_cleanse(d, sizeof d);
    std::fprintf(stderr, "%s: cannot read the SM2 key %s or the certificate %s\n", argv[0], argv[1],
                 argv[2]);
    return 1;
  }
  kelu::SMKernelInitialize();
  std::string text;
  const int rc = KeyFileText(cert, d, argv[3], &text);
  OPENSSL_cleanse(d, sizeof d);
  kelu::SMKernelUninitialize();
  if (rc != KELU_OK) {
    std::fprintf(stderr, "%s: the key file was not made (0x%08x)\n", argv[0],
                 static_cast<unsigned>(rc));
    return 1;
  }
  std::ofstream out(argv[4], std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out) {
    std::fprintf(stderr, "%s: cannot write %s\n", argv[0], argv[4]);
    return 1;
  }
  return 0;
}

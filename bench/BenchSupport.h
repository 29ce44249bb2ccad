// What several benches share: a scratch folder, and a self-signed SM2 certificate.
#ifndef KELU_BENCH_SUPPORT_H
#define KELU_BENCH_SUPPORT_H

#include <dirent.h>
#include <openssl/evp.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace kelu::bench {

// A fresh folder under /tmp, removed with the files in it.
class BenchDir {
 public:
  BenchDir() {
    char name[] = "/tmp/kelu-bench-XXXXXX";
    if (mkdtemp(name) != nullptr) path_ = name;
  }
  ~BenchDir() {
    if (DIR *dir = opendir(path_.c_str())) {
      while (struct dirent *entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") unlink((path_ + "/" + name).c_str());
      }
      closedir(dir);
    }
    rmdir(path_.c_str());
  }
  BenchDir(const BenchDir &) = delete;
  BenchDir &operator=(const BenchDir &) = delete;
  std::string File(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// The DER of a certificate of pkey signed by itself with SM3, CN "bench", valid for a day,
// allowing digitalSignature.
inline std::vector<unsigned char> SelfSignedSm2Certificate(EVP_PKEY *pkey) {
  X509 *cert = X509_new();
  X509_set_version(cert, X509_VERSION_3);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
  X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char *>("bench"), -1, -1, 0);
  X509_set_issuer_name(cert, X509_get_subject_name(cert));
  X509_gmtime_adj(X509_getm_notBefore(cert), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
  X509_set_pubkey(cert, pkey);
  X509_EXTENSION *usage =
      X509V3_EXT_conf_nid(nullptr, nullptr, NID_key_usage, "critical,digitalSignature");
  X509_add_ext(cert, usage, -1);
  X509_EXTENSION_free(usage);
  if (X509_sign(cert, pkey, EVP_sm3()) <= 0) std::abort();
  unsigned char *der = nullptr;
  const int der_size = i2d_X509(cert, &der);
  X509_free(cert);
  if (der_size <= 0) std::abort();
  std::vector<unsigned char> bytes(der, der + der_size);
  OPENSSL_free(der);
  return bytes;
}

}  // namespace kelu::bench

#endif

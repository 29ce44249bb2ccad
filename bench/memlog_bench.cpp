// The cost of a memory log's flush: an ERROR line after three INFO lines, straight through
// zlog, and a refused SM2 verification (three OK step lines and the Failed one) with the
// facade's memory log at INFO, beside the same verification unlogged. Run it on one core:
//   taskset -c 2 build/normal/bench/memlog_bench --benchmark_repetitions=5
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <openssl/evp.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "ORVA.h"
#include "SMKernel.h"
#include "kelu_zlog.h"
#include "zlog/zlog.h"

namespace {

// A fresh folder under /tmp, removed with the files in it.
class BenchDir {
 public:
  BenchDir() {
    char name[] = "/tmp/kelu-memlog-bench-XXXXXX";
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

std::string Base64(const unsigned char *bytes, int size) {
  std::string text(static_cast<size_t>(4 * ((size + 2) / 3)) + 1, '\0');
  text.resize(static_cast<size_t>(
      EVP_EncodeBlock(reinterpret_cast<unsigned char *>(text.data()), bytes, size)));
  return text;
}

// A self-signed SM2 certificate allowing digitalSignature, 1 KiB of data and OpenSSL's SM2
// signature (SM3, default user ID) of other data, which the toolkit therefore refuses.
struct Fixture {
  std::string cert;
  std::vector<unsigned char> data = std::vector<unsigned char>(1024, 'd');
  std::string signature;

  Fixture() {
    EVP_PKEY *pkey = EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2");
    X509 *x509 = X509_new();
    X509_set_version(x509, X509_VERSION_3);
    ASN1_INTEGER_set(X509_get_serialNumber(x509), 1);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(x509), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char *>("bench"), -1, -1, 0);
    X509_set_issuer_name(x509, X509_get_subject_name(x509));
    X509_gmtime_adj(X509_getm_notBefore(x509), 0);
    X509_gmtime_adj(X509_getm_notAfter(x509), 86400);
    X509_set_pubkey(x509, pkey);
    X509_EXTENSION *usage = X509V3_EXT_conf_nid(nullptr, nullptr, NID_key_usage,
                                                "critical,digitalSignature");
    X509_add_ext(x509, usage, -1);
    X509_EXTENSION_free(usage);
    if (X509_sign(x509, pkey, EVP_sm3()) <= 0) std::abort();
    unsigned char *der = nullptr;
    int der_size = i2d_X509(x509, &der);
    cert = Base64(der, der_size);
    OPENSSL_free(der);
    X509_free(x509);

    std::vector<unsigned char> other(data);
    other[0] ^= 1;
    EVP_MD_CTX *md = EVP_MD_CTX_new();
    size_t size = 0;
    if (EVP_DigestSignInit(md, nullptr, EVP_sm3(), nullptr, pkey) != 1 ||
        EVP_DigestSign(md, nullptr, &size, other.data(), other.size()) != 1) {
      std::abort();
    }
    std::vector<unsigned char> sig(size);
    if (EVP_DigestSign(md, sig.data(), &size, other.data(), other.size()) != 1) std::abort();
    signature = Base64(sig.data(), static_cast<int>(size));
    EVP_MD_CTX_free(md);
    EVP_PKEY_free(pkey);
  }
};

const Fixture &Shared() {
  static const Fixture *fixture = new Fixture;
  return *fixture;
}

void ErrorLineFlush(benchmark::State &state) {
  BenchDir dir;
  if (zlog_init_memory_log("INFO", dir.File("mem.log").c_str()) != 0) {
    state.SkipWithError("zlog_init_memory_log failed");
    return;
  }
  zlog_category_t *category = zlog_get_category("kelu_category");
  const std::string line(80, 'x');
  for (auto _ : state) {
    for (int i = 0; i < 3; ++i) zlog_info(category, "%s", line.c_str());
    zlog_error(category, "%s", line.c_str());
  }
  zlog_fini();
}
BENCHMARK(ErrorLineFlush)->Name("memory log/3 INFO lines and an ERROR line");

void RefusedVerification(benchmark::State &state, bool logged) {
  const Fixture &f = Shared();
  BenchDir dir;
  if (logged && kelu_log_init_memory_log(3, dir.File("mem.log").c_str()) != 0) {
    state.SkipWithError("kelu_log_init_memory_log failed");
    return;
  }
  for (auto _ : state) {
    int rc = VerifyDataSignature_PKCS1("SM2", f.data.data(), static_cast<int>(f.data.size()),
                                       f.cert.c_str(), "SM3", f.signature.c_str());
    if (rc == KELU_OK) {
      state.SkipWithError("the signature verified");
      break;
    }
  }
  if (logged) kelu_log_fini();
}
BENCHMARK_CAPTURE(RefusedVerification, unlogged, false)
    ->Name("refused SM2 verification/unlogged")
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(RefusedVerification, memory_log_INFO, true)
    ->Name("refused SM2 verification/memory log at INFO")
    ->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char **argv) {
  if (kelu::SMKernelInitialize() != 0) return 1;
  Shared();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

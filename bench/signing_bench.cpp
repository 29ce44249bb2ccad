// The exported SM2 signing and verification functions beside OpenSSL's own SM2 (EVP_DigestSign
// with SM3 and the default user ID) in the same run: a detached SignedData of 1 KiB, for which
// the toolkit reads and opens the key file on every call, and its verification; and the
// detached SignedData of a 64 MiB file beside OpenSSL's SM3 of the same file in 16384-byte
// blocks.
#include <benchmark/benchmark.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "Base64Utility.h"
#include "BenchSupport.h"
#include "KeluErrors.h"
#include "ORVA.h"
#include "OpensslSm2Context.h"
#include "SMFileCertOperations.h"
#include "SMKernel.h"

namespace {

constexpr char kPassword[] = "bench";
constexpr size_t kFileSize = 64u << 20;

std::string TempPath(const char *what) {
  char name[64];
  std::snprintf(name, sizeof name, "/tmp/kelu-signing-bench-%s-XXXXXX", what);
  const int fd = mkstemp(name);
  if (fd < 0) std::abort();
  close(fd);
  return name;
}

void WriteAll(const std::string &path, const void *bytes, size_t size) {
  FILE *f = std::fopen(path.c_str(), "wb");
  if (f == nullptr || std::fwrite(bytes, 1, size, f) != size) std::abort();
  std::fclose(f);
}

// An SM2 key, a certificate allowing digitalSignature, the key file of both and 1 KiB of data;
// removed at exit.
struct Fixture {
  EVP_PKEY *pkey = EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2");
  std::string key_file = TempPath("key");
  std::vector<unsigned char> data = std::vector<unsigned char>(1024);
  std::string detached;  // the toolkit's SignedData of data

  Fixture() {
    const std::vector<unsigned char> der = kelu::bench::SelfSignedSm2Certificate(pkey);

    BIGNUM *bn = nullptr;
    unsigned char d[32];
    EVP_PKEY_get_bn_param(pkey, OSSL_PKEY_PARAM_PRIV_KEY, &bn);
    BN_bn2binpad(bn, d, 32);
    BN_clear_free(bn);
    unsigned char *pfx = nullptr;
    int pfx_size = 0;
    char *text = nullptr;
    if (EncapsulateSM2PFX(der.data(), static_cast<int>(der.size()), d, 32, kPassword, &pfx, &pfx_size) != KELU_OK ||
        Base64EncodeEx(pfx, pfx_size, &text, nullptr, ATL_BASE64_FLAG_NONE) != KELU_OK) {
      std::abort();
    }
    WriteAll(key_file, text, std::string(text).size());
    delete[] pfx;
    delete[] text;

    RAND_bytes(data.data(), static_cast<int>(data.size()));
    char *signature = nullptr;
    if (SignData_PKCS7Detached("SM2", data.data(), static_cast<int>(data.size()),
                               key_file.c_str(), kPassword, nullptr, &signature) != KELU_OK) {
      std::abort();
    }
    detached = signature;
    FreeMemory(signature);
  }
  ~Fixture() {
    unlink(key_file.c_str());
    EVP_PKEY_free(pkey);
  }
};

Fixture &Shared() {
  static Fixture *f = new Fixture;
  return *f;
}

// A file of kFileSize random bytes, made when a file benchmark first runs.
const std::string &BigFile() {
  static const std::string *path = [] {
    auto *made = new std::string(TempPath("data"));
    std::vector<unsigned char> big(kFileSize);
    RAND_bytes(big.data(), static_cast<int>(big.size()));
    WriteAll(*made, big.data(), big.size());
    std::atexit([] { unlink(BigFile().c_str()); });
    return made;
  }();
  return *path;
}

void ToolkitSignData(benchmark::State &state) {
  Fixture &f = Shared();
  for (auto _ : state) {
    char *signature = nullptr;
    if (SignData_PKCS7Detached("SM2", f.data.data(), static_cast<int>(f.data.size()),
                               f.key_file.c_str(), kPassword, nullptr, &signature) != KELU_OK) {
      state.SkipWithError("SignData_PKCS7Detached");
    }
    FreeMemory(signature);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

void OpenSslSignData(benchmark::State &state) {
  Fixture &f = Shared();
  unsigned char signature[80];
  for (auto _ : state) {
    EVP_MD_CTX *md = OpenSslSm2Context(f.pkey, true);
    size_t length = sizeof signature;
    if (EVP_DigestSign(md, signature, &length, f.data.data(), f.data.size()) != 1)
      state.SkipWithError("EVP_DigestSign");
    FreeOpenSslSm2Context(md);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

void ToolkitVerifyData(benchmark::State &state) {
  Fixture &f = Shared();
  for (auto _ : state) {
    if (VerifyDataSignature_PKCS7Detached("SM2", f.data.data(), static_cast<int>(f.data.size()),
                                          f.detached.c_str(), nullptr) != KELU_OK) {
      state.SkipWithError("VerifyDataSignature_PKCS7Detached");
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

void OpenSslVerifyData(benchmark::State &state) {
  Fixture &f = Shared();
  unsigned char signature[80];
  size_t length = sizeof signature;
  EVP_MD_CTX *signer = OpenSslSm2Context(f.pkey, true);
  EVP_DigestSign(signer, signature, &length, f.data.data(), f.data.size());
  FreeOpenSslSm2Context(signer);
  for (auto _ : state) {
    EVP_MD_CTX *md = OpenSslSm2Context(f.pkey, false);
    if (EVP_DigestVerify(md, signature, length, f.data.data(), f.data.size()) != 1)
      state.SkipWithError("EVP_DigestVerify");
    FreeOpenSslSm2Context(md);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

void ToolkitSignFile(benchmark::State &state) {
  Fixture &f = Shared();
  for (auto _ : state) {
    char *signature = nullptr;
    if (SignFile_PKCS7Detached("SM2", BigFile().c_str(), f.key_file.c_str(), kPassword, nullptr,
                               &signature) != KELU_OK) {
      state.SkipWithError("SignFile_PKCS7Detached");
    }
    FreeMemory(signature);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileSize));
}

void OpenSslDigestFile(benchmark::State &state) {
  std::vector<unsigned char> block(16384);
  unsigned char md_value[32];
  for (auto _ : state) {
    FILE *in = std::fopen(BigFile().c_str(), "rb");
    EVP_MD_CTX *md = EVP_MD_CTX_new();
    EVP_DigestInit_ex(md, ::EVP_sm3(), nullptr);
    size_t n;
    while ((n = std::fread(block.data(), 1, block.size(), in)) > 0) EVP_DigestUpdate(md, block.data(), n);
    unsigned int length = 0;
    EVP_DigestFinal_ex(md, md_value, &length);
    EVP_MD_CTX_free(md);
    std::fclose(in);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFileSize));
}

}  // namespace

BENCHMARK(ToolkitSignData)->Name("SM2 sign 1 KiB/toolkit SignData_PKCS7Detached");
BENCHMARK(OpenSslSignData)->Name("SM2 sign 1 KiB/openssl EVP_DigestSign");
BENCHMARK(ToolkitVerifyData)->Name("SM2 verify 1 KiB/toolkit VerifyDataSignature_PKCS7Detached");
BENCHMARK(OpenSslVerifyData)->Name("SM2 verify 1 KiB/openssl EVP_DigestVerify");
BENCHMARK(ToolkitSignFile)->Name("SM2 sign 64 MiB file/toolkit SignFile_PKCS7Detached")->Unit(benchmark::kMillisecond);
BENCHMARK(OpenSslDigestFile)->Name("SM2 sign 64 MiB file/openssl SM3 of the file")->Unit(benchmark::kMillisecond);

int main(int argc, char **argv) {
  if (kelu::SMKernelInitialize() != 0) return 1;
  // The operations run where an exported function runs them: in the toolkit's context.
  OSSL_LIB_CTX_set0_default(kelu::ToolkitLibraryContext());
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

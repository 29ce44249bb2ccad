// The cost of a memory log's flush: an ERROR line after three INFO lines, straight through
// zlog, and a refused SM2 verification (three OK step lines and the Failed one) with the
// facade's memory log at INFO, beside the same verification unlogged. Run it on one core:
//   taskset -c 2 build/normal/bench/memlog_bench --benchmark_repetitions=5
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "ORVA.h"
#include "SMKernel.h"
#include "kelu_zlog.h"
#include "zlog/zlog.h"

namespace {

using kelu::bench::BenchDir;

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
    const std::vector<unsigned char> der = kelu::bench::SelfSignedSm2Certificate(pkey);
    cert = Base64(der.data(), static_cast<int>(der.size()));

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

// The system's SM3, SM4 and ZUC beside OpenSSL's own SM3 and SM4 in the same run; the ratios
// (system / OpenSSL, by throughput) are printed at the end.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "NationalEvp.h"
#include "SM3.h"
#include "SM4.h"
#include "ZUC.h"

namespace {

std::vector<unsigned char> Random(size_t n) {
  std::vector<unsigned char> v(n);
  RAND_bytes(v.data(), static_cast<int>(n));
  return v;
}

const unsigned char kKey[16] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef,
                                0xfe, 0xdc, 0xba, 0x98, 0x76, 0x54, 0x32, 0x10};

void SetBytes(benchmark::State &state, size_t len) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(len));
}

void Sm3Kelu(benchmark::State &state, size_t len) {
  auto data = Random(len);
  unsigned char md[32];
  for (auto _ : state) {
    kelu::SM3(data.data(), len, md);
    benchmark::DoNotOptimize(md);
  }
  SetBytes(state, len);
}

// The same with one engine forced (the raw case runs the one chosen for this processor).
void Sm3KeluEngine(benchmark::State &state, kelu::SM3Engine engine, size_t len) {
  kelu::SM3Engine saved = kelu::SM3_CurrentEngine();
  kelu::SM3_UseEngine(engine);
  Sm3Kelu(state, len);
  kelu::SM3_UseEngine(saved);
}

void Sm3Evp(benchmark::State &state, const EVP_MD *md_type, size_t len) {
  auto data = Random(len);
  unsigned char md[32];
  unsigned int n;
  EVP_MD_CTX *ctx = EVP_MD_CTX_new();
  for (auto _ : state) {
    EVP_DigestInit_ex(ctx, md_type, nullptr);
    EVP_DigestUpdate(ctx, data.data(), len);
    EVP_DigestFinal_ex(ctx, md, &n);
    benchmark::DoNotOptimize(md);
  }
  EVP_MD_CTX_free(ctx);
  SetBytes(state, len);
}

void Sm4Kelu(benchmark::State &state, const char *mode, int enc, size_t len) {
  auto data = Random(len);
  std::vector<unsigned char> out(len);
  uint32_t rk[32];
  kelu::SM4_SetKey(kKey, enc, rk);
  unsigned char iv[16] = {};
  bool cbc = std::string(mode) == "cbc";
  for (auto _ : state) {
    if (cbc)
      kelu::SM4_CbcCrypt(data.data(), out.data(), len, rk, iv, enc);
    else
      kelu::SM4_CryptBlocks(data.data(), out.data(), len / 16, rk);
    benchmark::DoNotOptimize(out.data());
  }
  SetBytes(state, len);
}

// A cipher context set up once, whole blocks without padding per iteration.
void Sm4Evp(benchmark::State &state, const EVP_CIPHER *cipher, int enc, size_t len) {
  auto data = Random(len);
  std::vector<unsigned char> out(len + 16);
  unsigned char iv[16] = {};
  EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
  EVP_CipherInit_ex(ctx, cipher, nullptr, kKey, iv, enc);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  int n;
  for (auto _ : state) {
    EVP_CipherUpdate(ctx, out.data(), &n, data.data(), static_cast<int>(len));
    benchmark::DoNotOptimize(out.data());
  }
  EVP_CIPHER_CTX_free(ctx);
  SetBytes(state, len);
}

void ZucKelu(benchmark::State &state, size_t len) {
  auto data = Random(len);
  std::vector<unsigned char> out(len);
  kelu::ZUC_STATE zuc;
  kelu::ZUC_StateInit(&zuc, kKey, 16, kKey, 16);
  for (auto _ : state) {
    kelu::ZUC_StateCrypt(&zuc, data.data(), out.data(), len);
    benchmark::DoNotOptimize(out.data());
  }
  SetBytes(state, len);
}

// Records the throughput of each run while printing as usual.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run> &runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run &run : runs) {
      auto it = run.counters.find("bytes_per_second");
      if (it != run.counters.end()) rates_[run.benchmark_name()] = it->second.value;
    }
  }
  // Pairs "<case>/kelu-<label>/<size>" with "<case>/openssl/<size>".
  void PrintRatios() const {
    std::printf("\nRatios (system / OpenSSL 3.0, by throughput):\n");
    for (const auto &[name, rate] : rates_) {
      size_t at = name.find("/kelu-");
      if (at == std::string::npos) continue;
      size_t label_end = name.find('/', at + 1);
      if (label_end == std::string::npos) continue;
      std::string base = name.substr(0, at);
      std::string label = name.substr(at + 6, label_end - at - 6);
      std::string size = name.substr(label_end + 1);
      auto other = rates_.find(base + "/openssl/" + size);
      if (other == rates_.end() || other->second <= 0) continue;
      std::printf("  %-22s %8s bytes  %-8s  %.2fx  (%.0f vs %.0f MB/s)\n", base.c_str(),
                  size.c_str(), label.c_str(), rate / other->second, rate / 1e6,
                  other->second / 1e6);
    }
  }

 private:
  std::map<std::string, double> rates_;
};

const std::pair<kelu::SM3Engine, const char *> kSm3Engines[] = {
    {kelu::SM3Engine::kPortable, "portable"},
    {kelu::SM3Engine::kAvx2, "avx2"},
    {kelu::SM3Engine::kAvx512, "avx512"}};

void Register() {
  for (size_t len : {size_t{1024}, size_t{65536}, size_t{1 << 20}}) {
    std::string s = std::to_string(len);
    benchmark::RegisterBenchmark(("SM3/kelu-raw/" + s).c_str(), Sm3Kelu, len);
    benchmark::RegisterBenchmark(("SM3/kelu-evp/" + s).c_str(), Sm3Evp, kelu::EVP_sm3(), len);
    benchmark::RegisterBenchmark(("SM3/openssl/" + s).c_str(), Sm3Evp, ::EVP_sm3(), len);
    for (const auto &[engine, label] : kSm3Engines) {
      if (!kelu::SM3_EngineAvailable(engine)) continue;
      benchmark::RegisterBenchmark(("SM3/kelu-" + std::string(label) + "/" + s).c_str(),
                                   Sm3KeluEngine, engine, len);
    }
  }
  const std::vector<size_t> sizes = {16, 256, 4096, 65536, 1 << 20};
  for (size_t len : sizes) {
    std::string s = std::to_string(len);
    benchmark::RegisterBenchmark(("SM4-ECB-enc/kelu-raw/" + s).c_str(), Sm4Kelu, "ecb", 1, len);
    benchmark::RegisterBenchmark(("SM4-ECB-enc/openssl/" + s).c_str(), Sm4Evp, ::EVP_sm4_ecb(),
                                 1, len);
    for (int enc : {1, 0}) {
      std::string name = enc ? "SM4-CBC-enc" : "SM4-CBC-dec";
      benchmark::RegisterBenchmark((name + "/kelu-raw/" + s).c_str(), Sm4Kelu, "cbc", enc, len);
      benchmark::RegisterBenchmark((name + "/kelu-evp/" + s).c_str(), Sm4Evp,
                                   kelu::EVP_sm4_cbc(), enc, len);
      benchmark::RegisterBenchmark((name + "/openssl/" + s).c_str(), Sm4Evp, ::EVP_sm4_cbc(),
                                   enc, len);
    }
  }
  for (size_t len : {size_t{1024}, size_t{65536}, size_t{1 << 20}}) {
    std::string s = std::to_string(len);
    benchmark::RegisterBenchmark(("ZUC/kelu-raw/" + s).c_str(), ZucKelu, len);
    benchmark::RegisterBenchmark(("ZUC/kelu-evp/" + s).c_str(), Sm4Evp, kelu::EVP_zuc(), 1, len);
  }
}

}  // namespace

int main(int argc, char **argv) {
  Register();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  return 0;
}

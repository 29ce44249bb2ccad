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

#include <openssl/core_names.h>

#include "NationalEvp.h"
#include "NationalObjects.h"
#include "OpensslSm2Context.h"
#include "SM2.h"
#include "SM2KeyExchange.h"
#include "SM2Keys.h"
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

// ---- SM2 beside OpenSSL's EVP SM2 with the same user ID ----------------------------------

struct Sm2Fixture {
  EVP_PKEY *pkey = EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2");  // kept for the process
  unsigned char d[32], x[32], y[32];
  std::vector<unsigned char> message = Random(32);
  Sm2Fixture() {
    kelu::SM2_GetPrivateKeyBytes(pkey, d);
    kelu::SM2_GetPublicKeyBytes(pkey, x, y);
  }
};
const Sm2Fixture &Fixture() {
  static const Sm2Fixture *const f = new Sm2Fixture;
  return *f;
}

// SM3(Z || M) with the default user ID, as the system signs.
void DigestWithZ(const Sm2Fixture &f, unsigned char e[32]) {
  unsigned char z[32];
  kelu::_SM2_CalculateDefaultZValue(f.x, f.y, z);
  kelu::SM3_CTX ctx;
  kelu::SM3_Init(&ctx);
  kelu::SM3_Update(&ctx, z, 32);
  kelu::SM3_Update(&ctx, f.message.data(), f.message.size());
  kelu::SM3_Final(e, &ctx);
}

void OpenSslSign(const Sm2Fixture &f, unsigned char *sig, size_t *len) {
  EVP_MD_CTX *md = OpenSslSm2Context(f.pkey, true);
  EVP_DigestSign(md, sig, len, f.message.data(), f.message.size());
  FreeOpenSslSm2Context(md);
}

void Sm2SignKelu(benchmark::State &state) {
  const Sm2Fixture &f = Fixture();
  unsigned char e[32], r[32], s[32];
  for (auto _ : state) {
    DigestWithZ(f, e);
    kelu::_SM2_sign_ex(e, f.d, r, s);
    benchmark::DoNotOptimize(s);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

void Sm2SignOpenSsl(benchmark::State &state) {
  const Sm2Fixture &f = Fixture();
  unsigned char sig[80];
  for (auto _ : state) {
    size_t len = sizeof sig;
    OpenSslSign(f, sig, &len);
    benchmark::DoNotOptimize(sig);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

void Sm2VerifyKelu(benchmark::State &state) {
  const Sm2Fixture &f = Fixture();
  unsigned char e[32], r[32], s[32];
  DigestWithZ(f, e);
  kelu::_SM2_sign_ex(e, f.d, r, s);
  for (auto _ : state) {
    DigestWithZ(f, e);
    if (kelu::_SM2_verify_ex(r, s, f.x, f.y, e) != 1) state.SkipWithError("verify failed");
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

void Sm2VerifyOpenSsl(benchmark::State &state) {
  const Sm2Fixture &f = Fixture();
  unsigned char sig[80];
  size_t len = sizeof sig;
  OpenSslSign(f, sig, &len);
  for (auto _ : state) {
    EVP_MD_CTX *md = OpenSslSm2Context(f.pkey, false);
    if (EVP_DigestVerify(md, sig, len, f.message.data(), f.message.size()) != 1)
      state.SkipWithError("verify failed");
    FreeOpenSslSm2Context(md);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

// Encryption of 32 bytes with the DER SM2Cipher outside on both sides.
void Sm2EncryptKelu(benchmark::State &state) {
  const Sm2Fixture &f = Fixture();
  unsigned char out[200];
  for (auto _ : state) {
    size_t len = sizeof out;
    kelu::pkey_sm2_encrypt(f.pkey, out, &len, f.message.data(), 32);
    benchmark::DoNotOptimize(out);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

void Sm2EncryptOpenSsl(benchmark::State &state) {
  const Sm2Fixture &f = Fixture();
  unsigned char out[200];
  for (auto _ : state) {
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(f.pkey, nullptr);
    EVP_PKEY_encrypt_init(ctx);
    size_t len = sizeof out;
    EVP_PKEY_encrypt(ctx, out, &len, f.message.data(), 32);
    EVP_PKEY_CTX_free(ctx);
    benchmark::DoNotOptimize(out);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

std::vector<unsigned char> CipherText(const Sm2Fixture &f) {
  std::vector<unsigned char> c(200);
  size_t len = c.size();
  kelu::pkey_sm2_encrypt(f.pkey, c.data(), &len, f.message.data(), 32);
  c.resize(len);
  return c;
}

void Sm2DecryptKelu(benchmark::State &state) {
  const Sm2Fixture &f = Fixture();
  std::vector<unsigned char> c = CipherText(f);
  unsigned char out[64];
  for (auto _ : state) {
    size_t len = sizeof out;
    if (kelu::pkey_sm2_decrypt(f.pkey, out, &len, c.data(), c.size()) != 1)
      state.SkipWithError("decrypt failed");
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

void Sm2DecryptOpenSsl(benchmark::State &state) {
  const Sm2Fixture &f = Fixture();
  std::vector<unsigned char> c = CipherText(f);
  unsigned char out[64];
  for (auto _ : state) {
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(f.pkey, nullptr);
    EVP_PKEY_decrypt_init(ctx);
    size_t len = sizeof out;
    if (EVP_PKEY_decrypt(ctx, out, &len, c.data(), c.size()) != 1)
      state.SkipWithError("decrypt failed");
    EVP_PKEY_CTX_free(ctx);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

// One side of a key exchange (OpenSSL has none): Z values given, 16 bytes of key.
void Sm2KeyExchangeKelu(benchmark::State &state) {
  unsigned char d[32], x[32], y[32], r[32], rx[32], ry[32];
  unsigned char pd[32], px[32], py[32], pr[32], prx[32], pry[32], za[32], zb[32], key[16];
  kelu::_SM2_generate_keypair(d, x, y);
  kelu::_SM2_generate_keypair(r, rx, ry);
  kelu::_SM2_generate_keypair(pd, px, py);
  kelu::_SM2_generate_keypair(pr, prx, pry);
  kelu::_SM2_CalculateDefaultZValue(x, y, za);
  kelu::_SM2_CalculateDefaultZValue(px, py, zb);
  for (auto _ : state) {
    if (kelu::_SM2_KEP_ex(kelu::NID_prime256v1SM2, rx, ry, r, x, y, d, za, prx, pry, px, py, zb,
                          128, key) != 1)
      state.SkipWithError("key exchange failed");
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

// Records the throughput of each run while printing as usual.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run> &runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run &run : runs) {
      auto it = run.counters.find("bytes_per_second");
      if (it == run.counters.end()) it = run.counters.find("items_per_second");
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
      bool per_op = base.rfind("SM2", 0) == 0;
      std::printf("  %-22s %8s bytes  %-8s  %.2fx  (%.0f vs %.0f %s)\n", base.c_str(),
                  size.c_str(), label.c_str(), rate / other->second,
                  per_op ? rate : rate / 1e6, per_op ? other->second : other->second / 1e6,
                  per_op ? "per s" : "MB/s");
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
  benchmark::RegisterBenchmark("SM2-sign/kelu-raw/32", Sm2SignKelu);
  benchmark::RegisterBenchmark("SM2-sign/openssl/32", Sm2SignOpenSsl);
  benchmark::RegisterBenchmark("SM2-verify/kelu-raw/32", Sm2VerifyKelu);
  benchmark::RegisterBenchmark("SM2-verify/openssl/32", Sm2VerifyOpenSsl);
  benchmark::RegisterBenchmark("SM2-encrypt/kelu-evp/32", Sm2EncryptKelu);
  benchmark::RegisterBenchmark("SM2-encrypt/openssl/32", Sm2EncryptOpenSsl);
  benchmark::RegisterBenchmark("SM2-decrypt/kelu-evp/32", Sm2DecryptKelu);
  benchmark::RegisterBenchmark("SM2-decrypt/openssl/32", Sm2DecryptOpenSsl);
  benchmark::RegisterBenchmark("SM2-key-exchange/kelu-raw/16", Sm2KeyExchangeKelu);
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

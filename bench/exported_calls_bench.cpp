// The exported calls a service makes, each beside the closest OpenSSL 3.0 doing the same job in
// the same run, 1 KiB of data: OpenSSL with the key (or certificate) decoded once before the
// loop, and OpenSSL reading the same kind of file on each call, as the toolkit does. Keys and
// certificates are made with the openssl command line in a temporary folder at start. The
// table at the end gives the best time of each case over the repetitions and the ratios
// (OpenSSL's time / the toolkit's: above 1 the toolkit is faster); then the toolkit calls run
// again with INFO logging into a file, and the cost of the logging per call is printed.
//   taskset -c 2 build/normal/bench/exported_calls_bench --benchmark_repetitions=5
#include <benchmark/benchmark.h>
#include <openssl/cms.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "Base64Utility.h"
#include "KeluErrors.h"
#include "ORVA.h"
#include "OpensslSm2Context.h"
#include "SMFileCertOperations.h"
#include "SMKernel.h"
#include "kelu_zlog.h"

namespace {

constexpr char kPassword[] = "bench password";
constexpr size_t kDataSize = 1024;

// Two roots (SM2 with SM3 and the default user ID, RSA with SHA-256) and a leaf of each that
// allows digitalSignature and keyEncipherment and carries a subject key identifier.
constexpr char kMakeFixtures[] = R"(set -e
id=distid:1234567812345678
printf '[ ext ]\nbasicConstraints = CA:false\nkeyUsage = digitalSignature,keyEncipherment\nsubjectKeyIdentifier = hash\n' > leaf.ext
openssl genpkey -algorithm SM2 -out ca-sm2.key
openssl req -x509 -new -key ca-sm2.key -sm3 -sigopt $id -subj /CN=Bench-SM2-Root -days 30 -out ca-sm2.pem
openssl genpkey -algorithm SM2 -out sm2.key
openssl req -new -key sm2.key -sm3 -sigopt $id -subj /CN=Bench-SM2 -out sm2.csr
openssl x509 -req -in sm2.csr -CA ca-sm2.pem -CAkey ca-sm2.key -set_serial 4097 -days 30 -sm3 -sigopt $id -vfyopt $id -extfile leaf.ext -extensions ext -out sm2.pem 2>/dev/null
openssl x509 -in sm2.pem -outform DER -out sm2.der
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out ca-rsa.key 2>/dev/null
openssl req -x509 -new -key ca-rsa.key -sha256 -subj /CN=Bench-RSA-Root -days 30 -out ca-rsa.pem
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out rsa.key 2>/dev/null
openssl req -new -key rsa.key -subj /CN=Bench-RSA -out rsa.csr
openssl x509 -req -in rsa.csr -CA ca-rsa.pem -CAkey ca-rsa.key -set_serial 4098 -days 30 -sha256 -extfile leaf.ext -extensions ext -out rsa.pem 2>/dev/null
openssl x509 -in rsa.pem -outform DER -out rsa.der
)";

std::string ReadAll(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) std::abort();
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const std::string &path, const std::string &bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
  if (!out) std::abort();
}

const unsigned char *Bytes(const std::string &s) {
  return reinterpret_cast<const unsigned char *>(s.data());
}

std::string Base64(const std::string &bytes) {
  char *text = nullptr;
  if (Base64EncodeEx(Bytes(bytes), static_cast<int>(bytes.size()), &text, nullptr,
                     ATL_BASE64_FLAG_NOCRLF) != KELU_OK)
    std::abort();
  std::string out(text);
  delete[] text;
  return out;
}

EVP_PKEY *ReadKeyFile(const std::string &path) {
  FILE *f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return nullptr;
  EVP_PKEY *key = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
  std::fclose(f);
  return key;
}

X509 *DecodeCert(const std::string &der) {
  const unsigned char *p = Bytes(der);
  return d2i_X509(nullptr, &p, static_cast<long>(der.size()));
}

struct Fixture {
  std::string dir;
  std::string sm2_key_path, sm2_key_file, sm2_cert_der, sm2_cert_b64, rsa_cert_der, rsa_cert_b64;
  EVP_PKEY *sm2_key = nullptr;   // the key, decoded once
  X509 *sm2_cert = nullptr;      // the certificate, decoded once
  X509 *rsa_cert = nullptr;
  std::string data = std::string(kDataSize, '\0');
  std::string signature;  // the toolkit's detached SignedData of data
  std::string envelope;   // the toolkit's SM2 envelope of data

  Fixture() {
    char name[] = "/tmp/kelu-exported-calls-bench-XXXXXX";
    if (mkdtemp(name) == nullptr) std::abort();
    dir = name;
    const std::string script = "cd '" + dir + "' && " + kMakeFixtures;
    if (std::system(script.c_str()) != 0) std::abort();
    sm2_key_path = dir + "/sm2.key";
    sm2_cert_der = ReadAll(dir + "/sm2.der");
    rsa_cert_der = ReadAll(dir + "/rsa.der");
    sm2_cert_b64 = Base64(sm2_cert_der);
    rsa_cert_b64 = Base64(rsa_cert_der);
    sm2_key = ReadKeyFile(sm2_key_path);
    sm2_cert = DecodeCert(sm2_cert_der);
    rsa_cert = DecodeCert(rsa_cert_der);
    if (sm2_key == nullptr || sm2_cert == nullptr || rsa_cert == nullptr) std::abort();
    MakeSm2KeyFile();
    RAND_bytes(reinterpret_cast<unsigned char *>(&data[0]), static_cast<int>(data.size()));
    char *text = nullptr;
    if (SignData_PKCS7Detached("SM2", Bytes(data), static_cast<int>(data.size()),
                               sm2_key_file.c_str(), kPassword, nullptr, &text) != KELU_OK)
      std::abort();
    signature = text;
    FreeMemory(text);
    if (EncryptDataToCMSEnvelope("SM2", Bytes(data), static_cast<int>(data.size()),
                                 sm2_cert_b64.c_str(), "SM4_CBC", &text) != KELU_OK)
      std::abort();
    envelope = text;
    FreeMemory(text);
  }

  // The toolkit's key file of the SM2 key and its certificate.
  void MakeSm2KeyFile() {
    BIGNUM *bn = nullptr;
    unsigned char d[32];
    if (EVP_PKEY_get_bn_param(sm2_key, OSSL_PKEY_PARAM_PRIV_KEY, &bn) != 1) std::abort();
    BN_bn2binpad(bn, d, sizeof d);
    BN_clear_free(bn);
    unsigned char *pfx = nullptr;
    int pfx_size = 0;
    if (EncapsulateSM2PFX(Bytes(sm2_cert_der), static_cast<int>(sm2_cert_der.size()), d,
                          sizeof d, kPassword, &pfx, &pfx_size) != KELU_OK)
      std::abort();
    OPENSSL_cleanse(d, sizeof d);
    sm2_key_file = dir + "/sm2.sm2";
    WriteAll(sm2_key_file, Base64(std::string(reinterpret_cast<char *>(pfx), pfx_size)));
    delete[] pfx;
  }

  ~Fixture() {
    EVP_PKEY_free(sm2_key);
    X509_free(sm2_cert);
    X509_free(rsa_cert);
    const std::string remove = "rm -rf '" + dir + "'";
    if (std::system(remove.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", dir.c_str());
  }
};

Fixture &Shared() {
  static Fixture *f = new Fixture;
  return *f;
}

int Size(const std::string &s) { return static_cast<int>(s.size()); }

// ---- the toolkit's calls ----

void ToolkitSignPkcs7(benchmark::State &state) {
  Fixture &f = Shared();
  for (auto _ : state) {
    char *text = nullptr;
    if (SignData_PKCS7Detached("SM2", Bytes(f.data), Size(f.data), f.sm2_key_file.c_str(),
                               kPassword, nullptr, &text) != KELU_OK)
      state.SkipWithError("SignData_PKCS7Detached");
    FreeMemory(text);
  }
}

void ToolkitSignPkcs1(benchmark::State &state) {
  Fixture &f = Shared();
  for (auto _ : state) {
    char *text = nullptr;
    if (SignData_PKCS1("SM2", Bytes(f.data), Size(f.data), f.sm2_key_file.c_str(), kPassword,
                       nullptr, &text) != KELU_OK)
      state.SkipWithError("SignData_PKCS1");
    FreeMemory(text);
  }
}

void ToolkitVerifyPkcs7(benchmark::State &state) {
  Fixture &f = Shared();
  for (auto _ : state) {
    if (VerifyDataSignature_PKCS7Detached("SM2", Bytes(f.data), Size(f.data),
                                          f.signature.c_str(), nullptr) != KELU_OK)
      state.SkipWithError("VerifyDataSignature_PKCS7Detached");
  }
}

void ToolkitEnvelope(benchmark::State &state, const char *algorithm, const char *cipher,
                     const std::string *cert_b64) {
  Fixture &f = Shared();
  for (auto _ : state) {
    char *text = nullptr;
    if (EncryptDataToCMSEnvelope(algorithm, Bytes(f.data), Size(f.data), cert_b64->c_str(),
                                 cipher, &text) != KELU_OK)
      state.SkipWithError("EncryptDataToCMSEnvelope");
    FreeMemory(text);
  }
}

void ToolkitOpenEnvelope(benchmark::State &state) {
  Fixture &f = Shared();
  for (auto _ : state) {
    unsigned char *plain = nullptr;
    int size = 0;
    if (DecryptDataFromCMSEnvelope("SM2", f.envelope.c_str(), f.sm2_key_file.c_str(), kPassword,
                                   &plain, &size) != KELU_OK ||
        size != Size(f.data))
      state.SkipWithError("DecryptDataFromCMSEnvelope");
    FreeMemory(plain);
  }
}

// ---- OpenSSL doing the same jobs ----

// Where OpenSSL's key or certificate comes from on each call.
enum class Source { kLoadedOnce, kReadEachCall };

bool SignWith(EVP_PKEY *key, const std::string &data) {
  unsigned char signature[80];
  size_t length = sizeof signature;
  EVP_MD_CTX *md = OpenSslSm2Context(key, true);
  const bool ok = EVP_DigestSign(md, signature, &length, Bytes(data), data.size()) == 1;
  FreeOpenSslSm2Context(md);
  return ok;
}

void OpenSslSign(benchmark::State &state, Source source) {
  Fixture &f = Shared();
  for (auto _ : state) {
    EVP_PKEY *key = source == Source::kLoadedOnce ? f.sm2_key : ReadKeyFile(f.sm2_key_path);
    if (key == nullptr || !SignWith(key, f.data)) state.SkipWithError("EVP_DigestSign");
    if (source == Source::kReadEachCall) EVP_PKEY_free(key);
  }
}

void OpenSslVerify(benchmark::State &state, Source source) {
  Fixture &f = Shared();
  unsigned char signature[80];
  size_t length = sizeof signature;
  EVP_MD_CTX *signer = OpenSslSm2Context(f.sm2_key, true);
  EVP_DigestSign(signer, signature, &length, Bytes(f.data), f.data.size());
  FreeOpenSslSm2Context(signer);
  for (auto _ : state) {
    X509 *cert = source == Source::kLoadedOnce ? f.sm2_cert : DecodeCert(f.sm2_cert_der);
    EVP_MD_CTX *md = OpenSslSm2Context(X509_get0_pubkey(cert), false);
    if (EVP_DigestVerify(md, signature, length, Bytes(f.data), f.data.size()) != 1)
      state.SkipWithError("EVP_DigestVerify");
    FreeOpenSslSm2Context(md);
    if (source == Source::kReadEachCall) X509_free(cert);
  }
}

// SM4-CBC of the data with PKCS#7 padding, in or out.
bool Sm4Cbc(bool encrypt, const unsigned char *key, const unsigned char *iv,
            const unsigned char *in, int in_size, std::vector<unsigned char> *out) {
  out->resize(static_cast<size_t>(in_size) + 16);
  EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
  int n = 0, tail = 0;
  const bool ok = EVP_CipherInit_ex(ctx, ::EVP_sm4_cbc(), nullptr, key, iv, encrypt ? 1 : 0) == 1 &&
                  EVP_CipherUpdate(ctx, out->data(), &n, in, in_size) == 1 &&
                  EVP_CipherFinal_ex(ctx, out->data() + n, &tail) == 1;
  EVP_CIPHER_CTX_free(ctx);
  out->resize(static_cast<size_t>(n + tail));
  return ok;
}

bool PkeyCrypt(EVP_PKEY *key, bool encrypt, const unsigned char *in, size_t in_size,
               std::vector<unsigned char> *out) {
  EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new(key, nullptr);
  size_t length = 0;
  bool ok = ctx != nullptr && (encrypt ? EVP_PKEY_encrypt_init(ctx) : EVP_PKEY_decrypt_init(ctx)) == 1 &&
            (encrypt ? EVP_PKEY_encrypt(ctx, nullptr, &length, in, in_size)
                     : EVP_PKEY_decrypt(ctx, nullptr, &length, in, in_size)) == 1;
  if (ok) {
    out->resize(length);
    ok = (encrypt ? EVP_PKEY_encrypt(ctx, out->data(), &length, in, in_size)
                  : EVP_PKEY_decrypt(ctx, out->data(), &length, in, in_size)) == 1;
    out->resize(length);
  }
  EVP_PKEY_CTX_free(ctx);
  return ok;
}

// A fresh content key and IV, the key encrypted to the recipient's SM2 key, the data by SM4-CBC.
void OpenSslSm2Envelope(benchmark::State &state, Source source) {
  Fixture &f = Shared();
  unsigned char key_and_iv[32];
  std::vector<unsigned char> encrypted_key, content;
  for (auto _ : state) {
    X509 *cert = source == Source::kLoadedOnce ? f.sm2_cert : DecodeCert(f.sm2_cert_der);
    RAND_bytes(key_and_iv, sizeof key_and_iv);
    if (!PkeyCrypt(X509_get0_pubkey(cert), true, key_and_iv, 16, &encrypted_key) ||
        !Sm4Cbc(true, key_and_iv, key_and_iv + 16, Bytes(f.data), Size(f.data), &content))
      state.SkipWithError("EVP_PKEY_encrypt");
    if (source == Source::kReadEachCall) X509_free(cert);
  }
}

void OpenSslOpenSm2Envelope(benchmark::State &state, Source source) {
  Fixture &f = Shared();
  unsigned char key_and_iv[32];
  RAND_bytes(key_and_iv, sizeof key_and_iv);
  std::vector<unsigned char> encrypted_key, content, key, plain;
  PkeyCrypt(X509_get0_pubkey(f.sm2_cert), true, key_and_iv, 16, &encrypted_key);
  Sm4Cbc(true, key_and_iv, key_and_iv + 16, Bytes(f.data), Size(f.data), &content);
  for (auto _ : state) {
    EVP_PKEY *pkey = source == Source::kLoadedOnce ? f.sm2_key : ReadKeyFile(f.sm2_key_path);
    if (pkey == nullptr ||
        !PkeyCrypt(pkey, false, encrypted_key.data(), encrypted_key.size(), &key) ||
        !Sm4Cbc(false, key.data(), key_and_iv + 16, content.data(),
                static_cast<int>(content.size()), &plain))
      state.SkipWithError("EVP_PKEY_decrypt");
    if (source == Source::kReadEachCall) EVP_PKEY_free(pkey);
  }
}

// CMS_encrypt with DES-EDE3-CBC to the RSA certificate, encoded as DER.
void OpenSslRsaEnvelope(benchmark::State &state, Source source) {
  Fixture &f = Shared();
  for (auto _ : state) {
    X509 *cert = source == Source::kLoadedOnce ? f.rsa_cert : DecodeCert(f.rsa_cert_der);
    STACK_OF(X509) *recipients = sk_X509_new_null();
    sk_X509_push(recipients, cert);
    BIO *in = BIO_new_mem_buf(f.data.data(), Size(f.data));
    CMS_ContentInfo *cms = CMS_encrypt(recipients, in, EVP_des_ede3_cbc(), CMS_BINARY);
    unsigned char *der = nullptr;
    if (cms == nullptr || i2d_CMS_ContentInfo(cms, &der) <= 0) state.SkipWithError("CMS_encrypt");
    OPENSSL_free(der);
    CMS_ContentInfo_free(cms);
    BIO_free(in);
    sk_X509_free(recipients);
    if (source == Source::kReadEachCall) X509_free(cert);
  }
}

// ---- the table ----

struct Case {
  const char *call;
  const char *openssl;  // what OpenSSL does for it
  void (*toolkit)(benchmark::State &);
  void (*reference)(benchmark::State &, Source);
};

void EnvelopeSm2(benchmark::State &s) {
  ToolkitEnvelope(s, "SM2", "SM4_CBC", &Shared().sm2_cert_b64);
}
void EnvelopeRsa(benchmark::State &s) {
  ToolkitEnvelope(s, "RSA", "3DES", &Shared().rsa_cert_b64);
}

const Case kCases[] = {
    {"SignData_PKCS7Detached(\"SM2\")", "EVP_DigestSign, SM3, default user ID", ToolkitSignPkcs7,
     OpenSslSign},
    {"SignData_PKCS1(\"SM2\")", "EVP_DigestSign, SM3, default user ID", ToolkitSignPkcs1,
     OpenSslSign},
    {"VerifyDataSignature_PKCS7Detached(\"SM2\")", "EVP_DigestVerify", ToolkitVerifyPkcs7,
     OpenSslVerify},
    {"EncryptDataToCMSEnvelope(\"SM2\", SM4_CBC)", "EVP_PKEY_encrypt of the key + SM4-CBC",
     EnvelopeSm2, OpenSslSm2Envelope},
    {"DecryptDataFromCMSEnvelope(\"SM2\")", "EVP_PKEY_decrypt + SM4-CBC", ToolkitOpenEnvelope,
     OpenSslOpenSm2Envelope},
    {"EncryptDataToCMSEnvelope(\"RSA\", 3DES)", "CMS_encrypt DES-EDE3-CBC + i2d", EnvelopeRsa,
     OpenSslRsaEnvelope},
};

std::string NameOf(const Case &c, const char *side) { return std::string(c.call) + "/" + side; }

// Keeps the best time per iteration (microseconds) of each benchmark over its repetitions.
class BestTimes : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run> &runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run &run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
      const double us = run.GetAdjustedRealTime();  // the benchmarks run in microseconds
      auto [it, fresh] = (*into_).emplace(run.benchmark_name(), us);
      if (!fresh) it->second = std::min(it->second, us);
    }
  }
  void Collect(std::map<std::string, double> *into) { into_ = into; }

 private:
  std::map<std::string, double> *into_ = nullptr;
};

double Find(const std::map<std::string, double> &times, const std::string &name) {
  auto it = times.find(name);
  return it == times.end() ? 0 : it->second;
}

void PrintTable(const std::map<std::string, double> &off, const std::map<std::string, double> &info) {
  std::printf("\nBest time per call (us), 1 KiB; ratio = OpenSSL / toolkit:\n");
  std::printf("%-44s %9s | %9s %7s | %9s %7s | %s\n", "call", "toolkit", "key once", "ratio",
              "each call", "ratio", "OpenSSL");
  for (const Case &c : kCases) {
    const double kelu = Find(off, NameOf(c, "toolkit"));
    const double once = Find(off, NameOf(c, "openssl-loaded-once"));
    const double each = Find(off, NameOf(c, "openssl-read-each-call"));
    if (kelu <= 0) continue;
    std::printf("%-44s %9.1f | %9.1f %6.2fx | %9.1f %6.2fx | %s\n", c.call, kelu, once,
                once / kelu, each, each / kelu, c.openssl);
  }
  if (info.empty()) return;
  std::printf("\nINFO logging into a file (us per call):\n");
  std::printf("%-44s %9s %9s %9s\n", "call", "off", "INFO", "cost");
  for (const Case &c : kCases) {
    const double kelu = Find(off, NameOf(c, "toolkit"));
    const double logged = Find(info, NameOf(c, "toolkit"));
    if (kelu <= 0 || logged <= 0) continue;
    std::printf("%-44s %9.1f %9.1f %+9.1f\n", c.call, kelu, logged, logged - kelu);
  }
}

// INFO logging of every toolkit line into a file of the fixture's folder.
bool StartInfoLogging() {
  const std::string conf = Shared().dir + "/kelulog.conf";
  WriteAll(conf, "[global]\nstrict init = true\nbuffer min = 1KB\nbuffer max = 2MB\n"
                 "file perms = 600\ndefault format = \"%d(%F %T).%ms %-5V [%p] %m%n\"\n"
                 "[rules]\nkelu_category.INFO    \"" + Shared().dir + "/kelu.log\"\n");
  return kelu_log_init_ex(conf.c_str()) == 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (kelu::SMKernelInitialize() != 0) return 1;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  Shared();
  for (const Case &c : kCases) {
    benchmark::RegisterBenchmark(NameOf(c, "toolkit").c_str(), c.toolkit)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark(NameOf(c, "openssl-loaded-once").c_str(), c.reference,
                                 Source::kLoadedOnce)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark(NameOf(c, "openssl-read-each-call").c_str(), c.reference,
                                 Source::kReadEachCall)
        ->Unit(benchmark::kMicrosecond);
  }
  std::map<std::string, double> off, info;
  BestTimes reporter;
  reporter.Collect(&off);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  if (StartInfoLogging()) {
    reporter.Collect(&info);
    benchmark::RunSpecifiedBenchmarks(&reporter, "/toolkit$");
    kelu_log_fini();
  } else {
    std::fprintf(stderr, "INFO logging did not start; its cost is not measured\n");
  }
  PrintTable(off, info);
  benchmark::Shutdown();
  return 0;
}

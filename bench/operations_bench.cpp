// File digests and file ciphers of the operations beside the same algorithm through OpenSSL's
// EVP interface in the same run, both reading the same cached file in 16384-byte blocks and
// writing to /dev/null; the ratios (operation / OpenSSL, by throughput) are printed at the end.
// The RSA envelope files are set beside the work `openssl cms` does for them: the PKCS#12 file
// read, the content key through RSA and the content through DES-EDE3-CBC.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "DataSigning.h"
#include "KeluErrors.h"
#include "RSADataEncryption.h"
#include "RSADataSigning.h"
#include "CMSEnvelopeOperations.h"
#include "CertificateOperations.h"
#include "SMKernel.h"

namespace {

constexpr size_t kBlock = 16384;

// A file of random bytes in the temporary folder, removed at exit.
class BenchFile {
 public:
  explicit BenchFile(size_t size) {
    char name[] = "/tmp/kelu-operations-bench-XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0) std::abort();
    path_ = name;
    std::vector<unsigned char> bytes(size);
    RAND_bytes(bytes.data(), static_cast<int>(size));
    if (write(fd, bytes.data(), size) != static_cast<ssize_t>(size)) std::abort();
    close(fd);
  }
  ~BenchFile() { unlink(path_.c_str()); }
  const std::string &path() const { return path_; }

 private:
  std::string path_;
};

const BenchFile &FileOf(size_t size) {
  static std::map<size_t, std::unique_ptr<BenchFile>> files;
  std::unique_ptr<BenchFile> &f = files[size];
  if (f == nullptr) f = std::make_unique<BenchFile>(size);
  return *f;
}

const unsigned char kKey[32] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                                17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};
const unsigned char kIv[16] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 4, 5, 6};

void SetBytes(benchmark::State &state, size_t size) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(size));
}

FILE *Open(const std::string &path, const char *mode, benchmark::State &state) {
  FILE *f = std::fopen(path.c_str(), mode);
  if (f == nullptr) state.SkipWithError(("cannot open " + path).c_str());
  return f;
}

// ---- the operations ----

void Sm3FileOperation(benchmark::State &state, size_t size) {
  const BenchFile &file = FileOf(size);
  FILE *in = Open(file.path(), "rb", state);
  unsigned char md[32];
  for (auto _ : state) {
    if (CalculateSM3FileHashEx(in, nullptr, nullptr, md, false) != KELU_OK)
      state.SkipWithError("CalculateSM3FileHashEx");
    benchmark::DoNotOptimize(md);
  }
  std::fclose(in);
  SetBytes(state, size);
}

void FileHashOperation(benchmark::State &state, int nid, size_t size) {
  const BenchFile &file = FileOf(size);
  FILE *in = Open(file.path(), "rb", state);
  for (auto _ : state) {
    unsigned char *md = nullptr;
    int md_size = 0;
    if (CalculateFileHash(in, nid, &md, &md_size) != KELU_OK) state.SkipWithError("CalculateFileHash");
    benchmark::DoNotOptimize(md);
    delete[] md;
  }
  std::fclose(in);
  SetBytes(state, size);
}

void FileEncryptOperation(benchmark::State &state, int nid, int key_size, int iv_size,
                          size_t size) {
  const BenchFile &file = FileOf(size);
  FILE *in = Open(file.path(), "rb", state);
  FILE *out = Open("/dev/null", "wb", state);
  for (auto _ : state) {
    if (SymFileEncrypt(nid, kIv, iv_size, kKey, key_size, in, out) != KELU_OK)
      state.SkipWithError("SymFileEncrypt");
  }
  std::fclose(out);
  std::fclose(in);
  SetBytes(state, size);
}

// ---- the same through OpenSSL's EVP, with the same block loop ----

void FileDigestEvp(benchmark::State &state, const char *name, size_t size) {
  const BenchFile &file = FileOf(size);
  FILE *in = Open(file.path(), "rb", state);
  EVP_MD *md_type = EVP_MD_fetch(nullptr, name, nullptr);
  EVP_MD_CTX *ctx = EVP_MD_CTX_new();
  std::vector<unsigned char> block(kBlock);
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  for (auto _ : state) {
    std::rewind(in);
    EVP_DigestInit_ex(ctx, md_type, nullptr);
    size_t got;
    while ((got = std::fread(block.data(), 1, kBlock, in)) > 0) EVP_DigestUpdate(ctx, block.data(), got);
    EVP_DigestFinal_ex(ctx, md, &n);
    benchmark::DoNotOptimize(md);
  }
  EVP_MD_CTX_free(ctx);
  EVP_MD_free(md_type);
  std::fclose(in);
  SetBytes(state, size);
}

void FileEncryptEvp(benchmark::State &state, const char *name, size_t size) {
  const BenchFile &file = FileOf(size);
  FILE *in = Open(file.path(), "rb", state);
  FILE *out = Open("/dev/null", "wb", state);
  EVP_CIPHER *cipher = EVP_CIPHER_fetch(nullptr, name, nullptr);
  EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
  std::vector<unsigned char> block(kBlock), encrypted(kBlock + EVP_MAX_BLOCK_LENGTH);
  for (auto _ : state) {
    std::rewind(in);
    EVP_EncryptInit_ex(ctx, cipher, nullptr, kKey, kIv);
    size_t got;
    int n = 0;
    while ((got = std::fread(block.data(), 1, kBlock, in)) > 0) {
      EVP_EncryptUpdate(ctx, encrypted.data(), &n, block.data(), static_cast<int>(got));
      std::fwrite(encrypted.data(), 1, static_cast<size_t>(n), out);
    }
    EVP_EncryptFinal_ex(ctx, encrypted.data(), &n);
    std::fwrite(encrypted.data(), 1, static_cast<size_t>(n), out);
  }
  EVP_CIPHER_CTX_free(ctx);
  EVP_CIPHER_free(cipher);
  std::fclose(out);
  std::fclose(in);
  SetBytes(state, size);
}

// ---- RSA envelope files ----

constexpr char kPfxPassword[] = "bench";

// A 2048-bit RSA key with its certificate (DER) and PKCS#12 file, made once with openssl.
struct EnvelopeKeys {
  std::string dir, cert_path, pfx_path;
  std::vector<unsigned char> cert;
};

const EnvelopeKeys *Keys() {
  static const EnvelopeKeys *keys = [] {
    char dir[] = "/tmp/kelu-envelope-bench-XXXXXX";
    if (mkdtemp(dir) == nullptr) std::abort();
    auto *k = new EnvelopeKeys{dir, std::string(dir) + "/c.der", std::string(dir) + "/k.p12", {}};
    const std::string cd = "cd '" + k->dir + "' && openssl ";
    const char *commands[] = {
        "genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out k.pem",
        "req -x509 -new -key k.pem -subj /CN=bench -days 2 -addext keyUsage=keyEncipherment "
        "-out c.pem",
        "x509 -in c.pem -outform DER -out c.der",
        "pkcs12 -export -inkey k.pem -in c.pem -passout pass:bench -out k.p12",
    };
    for (const char *command : commands) {
      if (std::system((cd + command + " 2>/dev/null").c_str()) != 0) std::abort();
    }
    static std::string made = k->dir;
    std::atexit([] { std::system(("rm -rf '" + made + "'").c_str()) == 0 ? void() : void(); });
    FILE *f = std::fopen(k->cert_path.c_str(), "rb");
    if (f == nullptr) std::abort();
    unsigned char buffer[4096];
    k->cert.assign(buffer, buffer + std::fread(buffer, 1, sizeof buffer, f));
    std::fclose(f);
    return k;
  }();
  return keys;
}

// The envelope file of a bench file, made once by the toolkit.
const std::string &EnvelopeOf(size_t size) {
  static std::map<size_t, std::string> envelopes;
  std::string &path = envelopes[size];
  if (path.empty()) {
    path = Keys()->dir + "/envelope-" + std::to_string(size) + ".der";
    FILE *in = std::fopen(FileOf(size).path().c_str(), "rb");
    FILE *out = std::fopen(path.c_str(), "wb");
    if (in == nullptr || out == nullptr ||
        RSA_EncryptFileToCMSEnvelope(in, Keys()->cert.data(), static_cast<int>(Keys()->cert.size()),
                                     44, out) != KELU_OK) {
      std::abort();
    }
    std::fclose(out);
    std::fclose(in);
  }
  return path;
}

void EnvelopeEncryptOperation(benchmark::State &state, size_t size) {
  FILE *in = Open(FileOf(size).path(), "rb", state);
  FILE *out = Open("/dev/null", "wb", state);
  const EnvelopeKeys *keys = Keys();
  for (auto _ : state) {
    if (RSA_EncryptFileToCMSEnvelope(in, keys->cert.data(), static_cast<int>(keys->cert.size()),
                                     44, out) != KELU_OK) {
      state.SkipWithError("RSA_EncryptFileToCMSEnvelope");
    }
  }
  std::fclose(out);
  std::fclose(in);
  SetBytes(state, size);
}

void EnvelopeDecryptOperation(benchmark::State &state, size_t size) {
  FILE *in = Open(EnvelopeOf(size), "rb", state);
  FILE *pfx = Open(Keys()->pfx_path, "rb", state);
  FILE *out = Open("/dev/null", "wb", state);
  for (auto _ : state) {
    std::rewind(pfx);
    if (RSA_DecryptFileFromCMSEnvelope(in, pfx, kPfxPassword, out) != KELU_OK)
      state.SkipWithError("RSA_DecryptFileFromCMSEnvelope");
  }
  std::fclose(out);
  std::fclose(pfx);
  std::fclose(in);
  SetBytes(state, size);
}

// The content key to the certificate's RSA key, then the file through DES-EDE3-CBC.
void EnvelopeEncryptEvp(benchmark::State &state, size_t size) {
  const EnvelopeKeys *keys = Keys();
  const unsigned char *p = keys->cert.data();
  X509 *cert = d2i_X509(nullptr, &p, static_cast<long>(keys->cert.size()));
  EVP_PKEY *public_key = X509_get_pubkey(cert);
  FILE *in = Open(FileOf(size).path(), "rb", state);
  FILE *out = Open("/dev/null", "wb", state);
  EVP_CIPHER *cipher = EVP_CIPHER_fetch(nullptr, "DES-EDE3-CBC", nullptr);
  EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
  std::vector<unsigned char> block(kBlock), encrypted(kBlock + EVP_MAX_BLOCK_LENGTH);
  unsigned char key[24], iv[8], wrapped[512];
  for (auto _ : state) {
    RAND_bytes(key, sizeof key);
    RAND_bytes(iv, sizeof iv);
    EVP_PKEY_CTX *pctx = EVP_PKEY_CTX_new(public_key, nullptr);
    size_t wrapped_size = sizeof wrapped;
    EVP_PKEY_encrypt_init(pctx);
    EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PADDING);
    EVP_PKEY_encrypt(pctx, wrapped, &wrapped_size, key, sizeof key);
    EVP_PKEY_CTX_free(pctx);
    std::rewind(in);
    EVP_EncryptInit_ex(ctx, cipher, nullptr, key, iv);
    size_t got;
    int n = 0;
    while ((got = std::fread(block.data(), 1, kBlock, in)) > 0) {
      EVP_EncryptUpdate(ctx, encrypted.data(), &n, block.data(), static_cast<int>(got));
      std::fwrite(encrypted.data(), 1, static_cast<size_t>(n), out);
    }
    EVP_EncryptFinal_ex(ctx, encrypted.data(), &n);
    std::fwrite(encrypted.data(), 1, static_cast<size_t>(n), out);
    benchmark::DoNotOptimize(wrapped);
  }
  EVP_CIPHER_CTX_free(ctx);
  EVP_CIPHER_free(cipher);
  EVP_PKEY_free(public_key);
  X509_free(cert);
  std::fclose(out);
  std::fclose(in);
  SetBytes(state, size);
}

// The PKCS#12 file read, the content key decrypted, the content read from the envelope file
// through DES-EDE3-CBC.
void EnvelopeDecryptEvp(benchmark::State &state, size_t size) {
  FILE *in = Open(EnvelopeOf(size), "rb", state);
  FILE *pfx = Open(Keys()->pfx_path, "rb", state);
  FILE *out = Open("/dev/null", "wb", state);
  unsigned char *wrapped = nullptr, *iv = nullptr;
  int wrapped_size = 0, iv_size = 0;
  NodeEx *content = nullptr;
  if (Decode_CMSEnvelopeFile(in, nullptr, nullptr, &wrapped, &wrapped_size, &content, nullptr,
                             nullptr, nullptr, nullptr, &iv, &iv_size) != KELU_OK) {
    state.SkipWithError("Decode_CMSEnvelopeFile");
  }
  EVP_CIPHER *cipher = EVP_CIPHER_fetch(nullptr, "DES-EDE3-CBC", nullptr);
  EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
  std::vector<unsigned char> block(kBlock), plain(kBlock + EVP_MAX_BLOCK_LENGTH);
  unsigned char key[512];
  for (auto _ : state) {
    std::rewind(pfx);
    PKCS12 *p12 = d2i_PKCS12_fp(pfx, nullptr);
    EVP_PKEY *private_key = nullptr;
    X509 *cert = nullptr;
    PKCS12_parse(p12, kPfxPassword, &private_key, &cert, nullptr);
    EVP_PKEY_CTX *pctx = EVP_PKEY_CTX_new(private_key, nullptr);
    size_t key_size = sizeof key;
    EVP_PKEY_decrypt_init(pctx);
    EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PADDING);
    EVP_PKEY_decrypt(pctx, key, &key_size, wrapped, static_cast<size_t>(wrapped_size));
    EVP_PKEY_CTX_free(pctx);
    EVP_PKEY_free(private_key);
    X509_free(cert);
    PKCS12_free(p12);
    EVP_DecryptInit_ex(ctx, cipher, nullptr, key, iv);
    fseeko(in, static_cast<off_t>(content->ValueStartPosition), SEEK_SET);
    int n = 0;
    for (uint64_t left = content->ValueLength; left > 0;) {
      const size_t piece = left < kBlock ? static_cast<size_t>(left) : kBlock;
      if (std::fread(block.data(), 1, piece, in) != piece) break;
      EVP_DecryptUpdate(ctx, plain.data(), &n, block.data(), static_cast<int>(piece));
      std::fwrite(plain.data(), 1, static_cast<size_t>(n), out);
      left -= piece;
    }
    EVP_DecryptFinal_ex(ctx, plain.data(), &n);
    std::fwrite(plain.data(), 1, static_cast<size_t>(n), out);
  }
  EVP_CIPHER_CTX_free(ctx);
  EVP_CIPHER_free(cipher);
  delete content;
  delete[] wrapped;
  delete[] iv;
  std::fclose(out);
  std::fclose(pfx);
  std::fclose(in);
  SetBytes(state, size);
}

// Records each run's throughput while printing as usual, and pairs "<case>/kelu..." with
// "<case>/openssl" of the same size.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run> &runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run &run : runs) {
      auto it = run.counters.find("bytes_per_second");
      if (it != run.counters.end()) rates_[run.benchmark_name()] = it->second.value;
    }
  }
  void PrintRatios() const {
    std::printf("\nRatios (operation / OpenSSL EVP, by throughput):\n");
    for (const auto &[name, rate] : rates_) {
      const size_t slash = name.find('/');
      const size_t size_at = name.rfind('/');
      if (name.compare(slash + 1, 4, "kelu") != 0) continue;
      const std::string size = name.substr(size_at + 1);
      auto other = rates_.find(name.substr(0, slash) + "/openssl/" + size);
      if (other == rates_.end() || other->second <= 0) continue;
      std::printf("  %-34s %9s bytes  %.2fx  (%.0f vs %.0f MB/s)\n",
                  name.substr(0, size_at).c_str(), size.c_str(), rate / other->second,
                  rate / 1e6, other->second / 1e6);
    }
  }

 private:
  std::map<std::string, double> rates_;
};

void Register() {
  for (size_t size : {size_t{1} << 20, size_t{16} << 20}) {
    const std::string s = "/" + std::to_string(size);
    benchmark::RegisterBenchmark(("SM3-file/kelu-CalculateSM3FileHashEx" + s).c_str(),
                                 Sm3FileOperation, size);
    benchmark::RegisterBenchmark(("SM3-file/kelu-CalculateFileHash" + s).c_str(),
                                 FileHashOperation, 922, size);
    benchmark::RegisterBenchmark(("SM3-file/openssl" + s).c_str(), FileDigestEvp, "SM3", size);
    benchmark::RegisterBenchmark(("SHA-256-file/kelu-CalculateFileHash" + s).c_str(),
                                 FileHashOperation, 672, size);
    benchmark::RegisterBenchmark(("SHA-256-file/openssl" + s).c_str(), FileDigestEvp, "SHA256",
                                 size);
    benchmark::RegisterBenchmark(("SM4-CBC-file-enc/kelu-SymFileEncrypt" + s).c_str(),
                                 FileEncryptOperation, 923, 16, 16, size);
    benchmark::RegisterBenchmark(("SM4-CBC-file-enc/openssl" + s).c_str(), FileEncryptEvp,
                                 "SM4-CBC", size);
    benchmark::RegisterBenchmark(("3DES-CBC-file-enc/kelu-SymFileEncrypt" + s).c_str(),
                                 FileEncryptOperation, 44, 24, 8, size);
    benchmark::RegisterBenchmark(("3DES-CBC-file-enc/openssl" + s).c_str(), FileEncryptEvp,
                                 "DES-EDE3-CBC", size);
    benchmark::RegisterBenchmark(("AES-256-ECB-file-enc/kelu-SymFileEncrypt" + s).c_str(),
                                 FileEncryptOperation, 426, 32, 0, size);
    benchmark::RegisterBenchmark(("AES-256-ECB-file-enc/openssl" + s).c_str(), FileEncryptEvp,
                                 "AES-256-ECB", size);
    benchmark::RegisterBenchmark(("RSA-3DES-envelope-file-enc/kelu-RSA_EncryptFileToCMSEnvelope" + s).c_str(),
                                 EnvelopeEncryptOperation, size);
    benchmark::RegisterBenchmark(("RSA-3DES-envelope-file-enc/openssl" + s).c_str(),
                                 EnvelopeEncryptEvp, size);
    benchmark::RegisterBenchmark(("RSA-3DES-envelope-file-dec/kelu-RSA_DecryptFileFromCMSEnvelope" + s).c_str(),
                                 EnvelopeDecryptOperation, size);
    benchmark::RegisterBenchmark(("RSA-3DES-envelope-file-dec/openssl" + s).c_str(),
                                 EnvelopeDecryptEvp, size);
  }
}

}  // namespace

int main(int argc, char **argv) {
  if (kelu::SMKernelInitialize() != 0) return 1;
  Register();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  return 0;
}

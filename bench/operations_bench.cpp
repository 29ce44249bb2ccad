// File digests and file ciphers of the operations beside the same algorithm through OpenSSL's
// EVP interface in the same run, both reading the same cached file in 16384-byte blocks and
// writing to /dev/null; the ratios (operation / OpenSSL, by throughput) are printed at the end.
// The RSA envelope files are set beside the work `openssl cms` does for them: the PKCS#12 file
// read, the content key through RSA and the content through DES-EDE3-CBC; the SM2 envelope
// files beside OpenSSL's SM2 and SM4-CBC.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Base64Utility.h"
#include "DataEncryption.h"
#include "DataSigning.h"
#include "KeluErrors.h"
#include "RSADataEncryption.h"
#include "RSADataSigning.h"
#include "CMSEnvelopeOperations.h"
#include "CertificateOperations.h"
#include "SMFileCertOperations.h"
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

// The whole file from its start through the keyed context onto out, as the operations read it.
void EncryptFileEvp(EVP_CIPHER_CTX *ctx, FILE *in, FILE *out) {
  std::vector<unsigned char> block(kBlock), encrypted(kBlock + EVP_MAX_BLOCK_LENGTH);
  std::rewind(in);
  size_t got;
  int n = 0;
  while ((got = std::fread(block.data(), 1, kBlock, in)) > 0) {
    EVP_EncryptUpdate(ctx, encrypted.data(), &n, block.data(), static_cast<int>(got));
    std::fwrite(encrypted.data(), 1, static_cast<size_t>(n), out);
  }
  EVP_EncryptFinal_ex(ctx, encrypted.data(), &n);
  std::fwrite(encrypted.data(), 1, static_cast<size_t>(n), out);
}

void FileEncryptEvp(benchmark::State &state, const char *name, size_t size) {
  const BenchFile &file = FileOf(size);
  FILE *in = Open(file.path(), "rb", state);
  FILE *out = Open("/dev/null", "wb", state);
  EVP_CIPHER *cipher = EVP_CIPHER_fetch(nullptr, name, nullptr);
  EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
  for (auto _ : state) {
    EVP_EncryptInit_ex(ctx, cipher, nullptr, kKey, kIv);
    EncryptFileEvp(ctx, in, out);
  }
  EVP_CIPHER_CTX_free(ctx);
  EVP_CIPHER_free(cipher);
  std::fclose(out);
  std::fclose(in);
  SetBytes(state, size);
}

// ---- Envelope files ----

constexpr char kPfxPassword[] = "bench";

// A fresh folder, removed at exit, in which the openssl commands (arguments after "openssl")
// have run.
std::string KeyFolder(const char *name, std::initializer_list<const char *> commands) {
  std::string dir = std::string("/tmp/") + name + "-XXXXXX";
  if (mkdtemp(dir.data()) == nullptr) std::abort();
  for (const char *command : commands) {
    const std::string line = "cd '" + dir + "' && openssl " + command + " 2>/dev/null";
    if (std::system(line.c_str()) != 0) std::abort();
  }
  static std::vector<std::string> made;
  if (made.empty()) {
    std::atexit([] {
      for (const std::string &d : made) std::system(("rm -rf '" + d + "'").c_str()) == 0 ? void() : void();
    });
  }
  made.push_back(dir);
  return dir;
}

// A file of at most 4096 bytes (a certificate).
std::vector<unsigned char> ReadSmall(const std::string &path) {
  FILE *f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) std::abort();
  unsigned char buffer[4096];
  std::vector<unsigned char> bytes(buffer, buffer + std::fread(buffer, 1, sizeof buffer, f));
  std::fclose(f);
  return bytes;
}

// The toolkit's envelope file operations on open files.
using EnvelopeMaker = int (*)(FILE *plain, FILE *envelope);
using EnvelopeOpener = int (*)(FILE *envelope, FILE *key_file, FILE *plain);

// The envelope file of a bench file, made once.
const std::string &EnvelopeFileOf(std::map<size_t, std::string> *made, const std::string &dir,
                                  size_t size, EnvelopeMaker make) {
  std::string &path = (*made)[size];
  if (path.empty()) {
    path = dir + "/envelope-" + std::to_string(size) + ".der";
    FILE *in = std::fopen(FileOf(size).path().c_str(), "rb");
    FILE *out = std::fopen(path.c_str(), "wb");
    if (in == nullptr || out == nullptr || make(in, out) != KELU_OK) std::abort();
    std::fclose(out);
    std::fclose(in);
  }
  return path;
}

void EnvelopeEncryptOperation(benchmark::State &state, size_t size, EnvelopeMaker make) {
  FILE *in = Open(FileOf(size).path(), "rb", state);
  FILE *out = Open("/dev/null", "wb", state);
  for (auto _ : state) {
    if (make(in, out) != KELU_OK) state.SkipWithError("envelope file encryption");
  }
  std::fclose(out);
  std::fclose(in);
  SetBytes(state, size);
}

void EnvelopeDecryptOperation(benchmark::State &state, size_t size, const std::string &envelope,
                              const std::string &key_file_path, EnvelopeOpener open) {
  FILE *in = Open(envelope, "rb", state);
  FILE *key_file = Open(key_file_path, "rb", state);
  FILE *out = Open("/dev/null", "wb", state);
  for (auto _ : state) {
    std::rewind(key_file);
    if (open(in, key_file, out) != KELU_OK) state.SkipWithError("envelope file decryption");
  }
  std::fclose(out);
  std::fclose(key_file);
  std::fclose(in);
  SetBytes(state, size);
}

// The content key wrapped by OpenSSL's public-key encryption (with padding set by pad), then
// the file through the content cipher under that key.
void EnvelopeEncryptEvp(benchmark::State &state, size_t size, EVP_PKEY *public_key,
                        const char *content_cipher, int key_size, int iv_size,
                        int (*pad)(EVP_PKEY_CTX *)) {
  FILE *in = Open(FileOf(size).path(), "rb", state);
  FILE *out = Open("/dev/null", "wb", state);
  EVP_CIPHER *cipher = EVP_CIPHER_fetch(nullptr, content_cipher, nullptr);
  EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
  unsigned char key[32], iv[16], wrapped[512];
  for (auto _ : state) {
    RAND_bytes(key, key_size);
    RAND_bytes(iv, iv_size);
    EVP_PKEY_CTX *pctx = EVP_PKEY_CTX_new(public_key, nullptr);
    size_t wrapped_size = sizeof wrapped;
    EVP_PKEY_encrypt_init(pctx);
    pad(pctx);
    EVP_PKEY_encrypt(pctx, wrapped, &wrapped_size, key, static_cast<size_t>(key_size));
    EVP_PKEY_CTX_free(pctx);
    EVP_EncryptInit_ex(ctx, cipher, nullptr, key, iv);
    EncryptFileEvp(ctx, in, out);
    benchmark::DoNotOptimize(wrapped);
  }
  EVP_CIPHER_CTX_free(ctx);
  EVP_CIPHER_free(cipher);
  std::fclose(out);
  std::fclose(in);
  SetBytes(state, size);
}

int RsaPkcs1Padding(EVP_PKEY_CTX *ctx) { return EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING); }
int NoPadding(EVP_PKEY_CTX *) { return 1; }

// RSA: a 2048-bit key with its certificate (DER) and PKCS#12 file, made once with openssl.
struct EnvelopeKeys {
  std::string dir, pfx_path;
  std::vector<unsigned char> cert;
  EVP_PKEY *public_key;
};

const EnvelopeKeys *Keys() {
  static const EnvelopeKeys *keys = [] {
    const std::string dir = KeyFolder(
        "kelu-envelope-bench",
        {"genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out k.pem",
         "req -x509 -new -key k.pem -subj /CN=bench -days 2 -addext keyUsage=keyEncipherment "
         "-out c.pem",
         "x509 -in c.pem -outform DER -out c.der",
         "pkcs12 -export -inkey k.pem -in c.pem -passout pass:bench -out k.p12"});
    auto *k = new EnvelopeKeys{dir, dir + "/k.p12", ReadSmall(dir + "/c.der"), nullptr};
    const unsigned char *p = k->cert.data();
    X509 *cert = d2i_X509(nullptr, &p, static_cast<long>(k->cert.size()));
    k->public_key = X509_get_pubkey(cert);
    X509_free(cert);
    return k;
  }();
  return keys;
}

int RsaEncryptFile(FILE *plain, FILE *envelope) {
  return RSA_EncryptFileToCMSEnvelope(plain, Keys()->cert.data(),
                                      static_cast<int>(Keys()->cert.size()), 44, envelope);
}
int RsaDecryptFile(FILE *envelope, FILE *pfx, FILE *plain) {
  return RSA_DecryptFileFromCMSEnvelope(envelope, pfx, kPfxPassword, plain);
}

const std::string &EnvelopeOf(size_t size) {
  static std::map<size_t, std::string> made;
  return EnvelopeFileOf(&made, Keys()->dir, size, RsaEncryptFile);
}

void RsaEnvelopeEncryptEvp(benchmark::State &state, size_t size) {
  EnvelopeEncryptEvp(state, size, Keys()->public_key, "DES-EDE3-CBC", 24, 8, RsaPkcs1Padding);
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

// SM2: a key with its certificate (DER, keyEncipherment) and key file, made once.
struct Sm2EnvelopeKeys {
  std::string dir, key_file_path;
  std::vector<unsigned char> cert;
  EVP_PKEY *key;
};

const Sm2EnvelopeKeys *Sm2Keys() {
  static const Sm2EnvelopeKeys *keys = [] {
    const std::string dir = KeyFolder(
        "kelu-sm2-envelope-bench",
        {"genpkey -algorithm SM2 -out k.pem",
         "req -x509 -new -key k.pem -subj /CN=bench -days 2 -addext keyUsage=keyEncipherment "
         "-outform DER -out c.der"});
    auto *k = new Sm2EnvelopeKeys{dir, dir + "/k.sm2", ReadSmall(dir + "/c.der"), nullptr};
    FILE *pem = std::fopen((dir + "/k.pem").c_str(), "rb");
    if (pem == nullptr) std::abort();
    k->key = PEM_read_PrivateKey(pem, nullptr, nullptr, nullptr);
    std::fclose(pem);
    BIGNUM *d = nullptr;
    unsigned char d_bytes[32];
    if (k->key == nullptr || EVP_PKEY_get_bn_param(k->key, "priv", &d) != 1 ||
        BN_bn2binpad(d, d_bytes, 32) != 32)
      std::abort();
    BN_clear_free(d);
    unsigned char *pfx = nullptr;
    char *text = nullptr;
    int pfx_size = 0, text_size = 0;
    if (EncapsulateSM2PFX(k->cert.data(), static_cast<int>(k->cert.size()), d_bytes, 32,
                          kPfxPassword, &pfx, &pfx_size) != KELU_OK ||
        Base64EncodeEx(pfx, pfx_size, &text, &text_size, ATL_BASE64_FLAG_NOCRLF) != KELU_OK)
      std::abort();
    FILE *out = std::fopen(k->key_file_path.c_str(), "wb");
    if (out == nullptr ||
        std::fwrite(text, 1, static_cast<size_t>(text_size), out) != static_cast<size_t>(text_size))
      std::abort();
    std::fclose(out);
    delete[] pfx;
    delete[] text;
    return k;
  }();
  return keys;
}

int Sm2EncryptFile(FILE *plain, FILE *envelope) {
  return EncryptFileToDerCMSEnvelope(plain, Sm2Keys()->cert.data(),
                                     static_cast<int>(Sm2Keys()->cert.size()),
                                     SM2_ENC_ENCODED_SM2CIPHER, envelope);
}
int Sm2DecryptFile(FILE *envelope, FILE *key_file, FILE *plain) {
  return DecryptDerCMSEnvelopeFile(envelope, key_file, kPfxPassword, SM2_ENC_ENCODED_SM2CIPHER,
                                   plain);
}

const std::string &Sm2EnvelopeOf(size_t size) {
  static std::map<size_t, std::string> made;
  return EnvelopeFileOf(&made, Sm2Keys()->dir, size, Sm2EncryptFile);
}

void Sm2EnvelopeEncryptEvp(benchmark::State &state, size_t size) {
  EnvelopeEncryptEvp(state, size, Sm2Keys()->key, "SM4-CBC", 16, 16, NoPadding);
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
                                 EnvelopeEncryptOperation, size, RsaEncryptFile);
    benchmark::RegisterBenchmark(("RSA-3DES-envelope-file-enc/openssl" + s).c_str(),
                                 RsaEnvelopeEncryptEvp, size);
    benchmark::RegisterBenchmark(("RSA-3DES-envelope-file-dec/kelu-RSA_DecryptFileFromCMSEnvelope" + s).c_str(),
                                 [](benchmark::State &st, size_t n) {
                                   EnvelopeDecryptOperation(st, n, EnvelopeOf(n), Keys()->pfx_path,
                                                            RsaDecryptFile);
                                 },
                                 size);
    benchmark::RegisterBenchmark(("RSA-3DES-envelope-file-dec/openssl" + s).c_str(),
                                 EnvelopeDecryptEvp, size);
    benchmark::RegisterBenchmark(("SM2-envelope-file-enc/kelu-EncryptFileToDerCMSEnvelope" + s).c_str(),
                                 EnvelopeEncryptOperation, size, Sm2EncryptFile);
    benchmark::RegisterBenchmark(("SM2-envelope-file-enc/openssl" + s).c_str(),
                                 Sm2EnvelopeEncryptEvp, size);
    benchmark::RegisterBenchmark(("SM2-envelope-file-dec/kelu-DecryptDerCMSEnvelopeFile" + s).c_str(),
                                 [](benchmark::State &st, size_t n) {
                                   EnvelopeDecryptOperation(st, n, Sm2EnvelopeOf(n),
                                                            Sm2Keys()->key_file_path,
                                                            Sm2DecryptFile);
                                 },
                                 size);
  }
}

}  // namespace

int main(int argc, char **argv) {
  if (kelu::SMKernelInitialize() != 0) return 1;
  // The operations run where an exported function runs them: in the toolkit's context.
  OSSL_LIB_CTX_set0_default(kelu::ToolkitLibraryContext());
  Register();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  return 0;
}

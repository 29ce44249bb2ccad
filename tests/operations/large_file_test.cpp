// Files beyond 4 GiB: sizes and counts are 64 bits wide on every digest and cipher path, so
// nothing is cut to its low 32 bits. The real file is sparse (truncate -s) and is streamed
// through the fastest paths (SHA-1, AES-256-ECB) with a flat memory peak; the SM3 paths get
// streams that claim more than 4 GiB and end early, which a cut size would digest with success.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>
#include <functional>
#include <future>
#include <string>

#include "DataSigning.h"
#include "KeluErrors.h"
#include "OperationsTestUtil.h"
#include "RSADataEncryption.h"
#include "RSADataSigning.h"
#include "TestSupport.h"

namespace kelu::test {
namespace {

constexpr uint64_t k4GiB = uint64_t{1} << 32;
constexpr uint64_t kSize = k4GiB + 16385;
// Bytes that are not zero: around 2 GiB, around 4 GiB and the last one.
const uint64_t kMarkers[] = {0, (uint64_t{1} << 31) - 1, uint64_t{1} << 31, k4GiB - 1, k4GiB,
                             kSize - 1};

uint8_t MarkerByte(uint64_t pos) { return static_cast<uint8_t>(0xA0 + (pos % 89)); }

// The plaintext, PKCS#7-padded to whole 16-byte blocks.
constexpr uint64_t kPaddedSize = kSize / 16 * 16 + 16;
uint8_t PlainByte(uint64_t pos) {
  if (pos >= kSize) return static_cast<uint8_t>(kPaddedSize - kSize);
  for (uint64_t m : kMarkers)
    if (m == pos) return MarkerByte(pos);
  return 0;
}
// Blocks first..last (16 bytes each) are all zero plaintext: no marker, no padding.
bool ZeroBlocks(uint64_t first, uint64_t last) {
  if (last * 16 + 16 > kSize) return false;
  for (uint64_t m : kMarkers)
    if (m >= first * 16 && m < last * 16 + 16) return false;
  return true;
}

// The cipher text of the whole padded plaintext under AES-256-ECB, made block by block with
// OpenSSL's own cipher.
class EcbReference {
 public:
  explicit EcbReference(const Bytes &key) : key_(key) {
    unsigned char zero[16] = {};
    Encrypt(zero, zero_block_);
    for (size_t i = 0; i < sizeof pattern_; ++i) pattern_[i] = zero_block_[i % 16];
  }
  void CipherBlock(uint64_t block, unsigned char out[16]) const {
    if (ZeroBlocks(block, block)) {
      std::memcpy(out, zero_block_, 16);
      return;
    }
    unsigned char plain[16];
    for (int j = 0; j < 16; ++j) plain[j] = PlainByte(block * 16 + j);
    Encrypt(plain, out);
  }
  // Cipher-text bytes [pos, pos + n); runs of zero blocks come from the pattern.
  void CipherBytes(uint64_t pos, unsigned char *out, size_t n) const {
    while (n > 0) {
      const size_t skip = static_cast<size_t>(pos % 16);
      size_t k = std::min<size_t>(n, 16384);
      if (ZeroBlocks(pos / 16, (pos + k - 1) / 16)) {
        std::memcpy(out, pattern_ + skip, k);
      } else {
        unsigned char c[16];
        CipherBlock(pos / 16, c);
        k = std::min<size_t>(n, 16 - skip);
        std::memcpy(out, c + skip, k);
      }
      out += k;
      pos += k;
      n -= k;
    }
  }

  static void Encrypt(const Bytes &key, const unsigned char in[16], unsigned char out[16]) {
    EVP_CIPHER *cipher = EVP_CIPHER_fetch(nullptr, "AES-256-ECB", nullptr);
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    int n = 0;
    EXPECT_EQ(EVP_EncryptInit_ex(ctx, cipher, nullptr, key.data(), nullptr), 1);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    EXPECT_EQ(EVP_EncryptUpdate(ctx, out, &n, in, 16), 1);
    EVP_CIPHER_CTX_free(ctx);
    EVP_CIPHER_free(cipher);
  }

 private:
  void Encrypt(const unsigned char in[16], unsigned char out[16]) const { Encrypt(key_, in, out); }

  Bytes key_;
  unsigned char zero_block_[16];
  unsigned char pattern_[16384 + 16];
};

// Compares everything written with an expected byte source; counts and keeps the first miss.
struct Comparison {
  uint64_t mismatches = 0;
  uint64_t first_mismatch = 0;
  void Check(uint64_t pos, const unsigned char *got, const unsigned char *want, size_t n) {
    if (std::memcmp(got, want, n) == 0) return;
    for (size_t i = 0; i < n; ++i) {
      if (got[i] != want[i] && mismatches++ == 0) first_mismatch = pos + i;
    }
  }
};

// How much the resident peak grew over a call, in kB: a streamed file keeps it flat. 0 where the
// peak cannot be reset.
long PeakGrowthKb(const std::function<void()> &call) {
  if (!ResetPeak()) {
    call();
    return 0;
  }
  const long start = StatusKb("VmRSS");
  call();
  return StatusKb("VmHWM") - start;
}
constexpr long kFlatKb = 8 * 1024;

class LargeFiles : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir();
    path_ = new std::string(dir_->File("sparse.bin"));
    Openssl("version");  // the command line is there
    ASSERT_EQ(RunCommand("truncate -s " + std::to_string(kSize) + " " + ShellQuote(*path_)).exit_code, 0);
    FILE *f = std::fopen(path_->c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    for (uint64_t m : kMarkers) {
      ASSERT_EQ(fseeko(f, static_cast<off_t>(m), SEEK_SET), 0);
      ASSERT_EQ(std::fputc(MarkerByte(m), f), MarkerByte(m));
    }
    ASSERT_EQ(std::fclose(f), 0);
  }
  static void TearDownTestSuite() {
    delete path_;
    delete dir_;
  }
  void SetUp() override { StartCryptoKernel(); }

  static TempDir *dir_;
  static std::string *path_;
};
TempDir *LargeFiles::dir_ = nullptr;
std::string *LargeFiles::path_ = nullptr;

TEST_F(LargeFiles, DigestOfASparseFileBeyond4GiBMatchesOpensslDgst) {
  // The reference reads the file at the same time, on another core.
  auto reference = std::async(std::launch::async, [] {
    return RunCommand("openssl dgst -sha1 -r " + ShellQuote(*path_), false);
  });
  File f = OpenFile(*path_, "rb");
  unsigned char *md = nullptr;
  int size = 0;
  int rc = -1;
  const long growth = PeakGrowthKb([&] { rc = CalculateFileHash(f.get(), 64, &md, &size); });
  ASSERT_EQ(rc, KELU_OK);
  EXPECT_LT(growth, kFlatKb) << "peak grew by " << growth << " kB";
  std::string hex = ToHex(md, static_cast<size_t>(size));
  delete[] md;
  CommandResult dgst = reference.get();
  ASSERT_EQ(dgst.exit_code, 0) << dgst.output;
  for (char &c : dgst.output) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  EXPECT_EQ(hex, dgst.output.substr(0, 40));
}

TEST_F(LargeFiles, EncryptionOfASparseFileBeyond4GiB) {
  const Bytes key = RandomBytes(32);
  const EcbReference reference(key);
  unsigned char want[16384];
  Comparison encrypted;
  CheckingSink sink([&](uint64_t pos, const unsigned char *data, size_t n) {
    for (size_t done = 0; done < n;) {
      const size_t k = std::min<size_t>(n - done, sizeof want);
      reference.CipherBytes(pos + done, want, k);
      encrypted.Check(pos + done, data + done, want, k);
      done += k;
    }
  });
  File plain = OpenFile(*path_, "rb");
  int rc = -1;
  const long growth = PeakGrowthKb(
      [&] { rc = SymFileEncrypt(426, nullptr, 0, key.data(), 32, plain.get(), sink.get()); });
  ASSERT_EQ(rc, KELU_OK);
  EXPECT_LT(growth, kFlatKb) << "peak grew by " << growth << " kB";
  EXPECT_EQ(sink.written(), kPaddedSize);
  EXPECT_EQ(encrypted.mismatches, 0u) << "first at " << encrypted.first_mismatch;
}

// A stream that claims 4 GiB and 10 bytes but holds 10: cut to 32 bits, its size would be 10
// and every operation would succeed over those bytes.
TEST_F(LargeFiles, SizesBeyond4GiBAreNotCutTo32Bits) {
  const Bytes ten = RandomBytes(10);
  unsigned char md[32];
  {
    GeneratedStream s(k4GiB + 10, GeneratedStream::Prefix(ten));
    EXPECT_EQ(CalculateSM3FileHashEx(s.get(), nullptr, nullptr, md, false), KELU_ERR_READ_FILE);
  }
  {
    GeneratedStream s(k4GiB + 10, GeneratedStream::Prefix(ten));
    unsigned char *out = nullptr;
    int size = 0;
    EXPECT_EQ(CalculateFileHash(s.get(), 672, &out, &size), KELU_ERR_READ_FILE);
    EXPECT_EQ(out, nullptr);
  }
  {
    GeneratedStream s(k4GiB + 10, GeneratedStream::Prefix(ten));
    CheckingSink sink([](uint64_t, const unsigned char *, size_t) {});
    const Bytes key = RandomBytes(16);
    EXPECT_EQ(SymFileEncrypt(5, nullptr, 0, key.data(), 16, s.get(), sink.get()),
              KELU_ERR_READ_FILE);
  }
  {
    // A whole cipher text of an empty plaintext in front: cut, the decryption would succeed.
    const Bytes key = RandomBytes(32);
    unsigned char padding_only[16];
    std::memset(padding_only, 16, sizeof padding_only);
    Bytes block(16);
    EcbReference::Encrypt(key, padding_only, block.data());
    GeneratedStream s(k4GiB + 16, GeneratedStream::Prefix(block));
    CheckingSink sink([](uint64_t, const unsigned char *, size_t) {});
    EXPECT_EQ(SymFileDecrypt(426, nullptr, 0, key.data(), 32, s.get(), sink.get()),
              KELU_ERR_READ_FILE);
  }
  // The block reader's own count: 4 GiB and one byte asked of a file of one byte.
  const std::string one = dir_->File("one.bin");
  WriteBinaryFile(one, Bytes{0x61});
  File f = OpenFile(one, "rb");
  EXPECT_EQ(CalculateSM3FileHash(f.get(), k4GiB + 1, nullptr, nullptr, md, false),
            KELU_ERR_READ_FILE);
}

}  // namespace
}  // namespace kelu::test

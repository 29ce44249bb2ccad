// SM3 digests with and without the Z value, against the published vectors, `openssl dgst`,
// an independent Z computation with OpenSSL's SM3, and OpenSSL's SM2 verification.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <string>
#include <vector>

#include "DataSigning.h"
#include "KeluErrors.h"
#include "LogCapture.h"
#include "OperationsTestUtil.h"
#include "TestSupport.h"

namespace kelu::test {
namespace {

const char kDefaultId[] = "1234567812345678";
// SM2 curve coefficients and base point (GB/T 32918.5).
const char kCurveHex[] =
    "FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF00000000FFFFFFFFFFFFFFFC"
    "28E9FA9E9D9F5E344D5A9E4BCF6509A7F39789F515AB8F92DDBCBD414D940E93"
    "32C4AE2C1F1981195F9904466A39C9948FE30BBFF2660BE1715A4589334C74C7"
    "BC3736A2F4F6779C59BDCEE36B692153D0A9877CC62A474002DF32E52139F0A0";

Bytes OpensslSm3(const Bytes &data) {
  EVP_MD *md = EVP_MD_fetch(nullptr, "SM3", nullptr);
  Bytes out(32);
  unsigned int n = 0;
  EXPECT_EQ(EVP_Digest(data.data(), data.size(), out.data(), &n, md, nullptr), 1);
  EVP_MD_free(md);
  return out;
}

// Z = SM3(ENTL || ID || a || b || Gx || Gy || X || Y), here with OpenSSL's SM3.
Bytes IndependentZ(const Bytes &id, const Bytes &xy) {
  const size_t bits = id.size() * 8;
  Bytes in = {static_cast<uint8_t>(bits >> 8), static_cast<uint8_t>(bits)};
  in.insert(in.end(), id.begin(), id.end());
  Bytes curve = FromHex(kCurveHex);
  in.insert(in.end(), curve.begin(), curve.end());
  in.insert(in.end(), xy.begin(), xy.end());
  return OpensslSm3(in);
}

Bytes Concat(Bytes a, const Bytes &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct Key {
  std::string pem, pub;  // private key and public key files
  Bytes xy;              // X || Y
};

struct Digest {
  int rc;
  Bytes md;
};

Digest MemoryDigest(const Bytes &data, const Key *key) {
  Bytes md(32, 0xEE);
  int rc = CalculateSM3Hash(data.empty() ? nullptr : data.data(), static_cast<int>(data.size()),
                            key ? key->xy.data() : nullptr, key ? key->xy.data() + 32 : nullptr,
                            md.data(), key != nullptr);
  if (rc != KELU_OK) {
    EXPECT_EQ(md, Bytes(32, 0xEE)) << "the output stays untouched";
  }
  return {rc, md};
}

Digest FileDigest(FILE *file, const Key *key) {
  Bytes md(32, 0xEE);
  int rc = CalculateSM3FileHashEx(file, key ? key->xy.data() : nullptr,
                                  key ? key->xy.data() + 32 : nullptr, md.data(), key != nullptr);
  if (rc != KELU_OK) {
    EXPECT_EQ(md, Bytes(32, 0xEE)) << "the output stays untouched";
  }
  return {rc, md};
}

class Sm3Digest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir();
    for (int i = 0; i < 3; ++i) {
      Key k;
      k.pem = dir_->File("key" + std::to_string(i) + ".pem");
      k.pub = dir_->File("pub" + std::to_string(i) + ".pem");
      Openssl("genpkey -algorithm SM2 -out " + ShellQuote(k.pem));
      Openssl("pkey -in " + ShellQuote(k.pem) + " -pubout -out " + ShellQuote(k.pub));
      std::string der = dir_->File("pub.der");
      Openssl("pkey -in " + ShellQuote(k.pem) + " -pubout -outform DER -out " + ShellQuote(der));
      Bytes spki = ReadBinaryFile(der);  // ends with the point 04 || X || Y
      ASSERT_GE(spki.size(), 65u);
      ASSERT_EQ(spki[spki.size() - 65], 0x04);
      k.xy.assign(spki.end() - 64, spki.end());
      keys_->push_back(k);
    }
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
    keys_->clear();
  }
  void SetUp() override { StartCryptoKernel(); }

  std::string Write(const Bytes &data) {
    std::string path = dir_->File("data.bin");
    WriteBinaryFile(path, data);
    return path;
  }

  static TempDir *dir_;
  static std::vector<Key> *keys_;
};
TempDir *Sm3Digest::dir_ = nullptr;
std::vector<Key> *Sm3Digest::keys_ = new std::vector<Key>;

TEST_F(Sm3Digest, PublishedVectorsWithoutZ) {
  struct Case {
    std::string data;
    const char *md;
  };
  const Case kCases[] = {
      {"", "1AB21D8355CFA17F8E61194831E81A8F22BEC8C728FEFB747ED035EB5082AA2B"},
      {"abc", "66C7F0F462EEEDD9D1F2D46BDC10E4E24167C4875CF2F7A2297DA02B8F4BA8E0"},
      {"abcdabcdabcdabcdabcdabcdabcdabcdabcdabcdabcdabcdabcdabcdabcdabcd",
       "DEBE9FF92275B8A138604889C18E5A4D6FDB70E5387E5765293DCBA39C0C5732"}};
  for (const Case &c : kCases) {
    Digest d = MemoryDigest(Bytes(c.data.begin(), c.data.end()), nullptr);
    EXPECT_EQ(d.rc, KELU_OK);
    EXPECT_EQ(ToHex(d.md), c.md) << c.data;
  }
}

TEST_F(Sm3Digest, FileEqualsMemoryAndOpensslDgstWithAndWithoutZ) {
  const Key &key = (*keys_)[0];
  const Bytes z = IndependentZ(Bytes(kDefaultId, kDefaultId + 16), key.xy);
  for (size_t n : {size_t{0}, size_t{1}, size_t{16383}, size_t{16384}, size_t{16385},
                   size_t{32768}, size_t{1048583}}) {
    SCOPED_TRACE(std::to_string(n) + " bytes");
    const Bytes data = RandomBytes(n);
    const std::string path = Write(data);
    std::string line = Openssl("dgst -sm3 -r " + ShellQuote(path));
    const Bytes dgst = FromHex(line.substr(0, 64));
    Digest memory = MemoryDigest(data, nullptr);
    EXPECT_EQ(memory.rc, KELU_OK);
    EXPECT_EQ(memory.md, dgst);
    File f = OpenFile(path, "rb");
    Digest file = FileDigest(f.get(), nullptr);
    EXPECT_EQ(file.rc, KELU_OK);
    EXPECT_EQ(file.md, dgst);

    const Bytes want = OpensslSm3(Concat(z, data));
    memory = MemoryDigest(data, &key);
    EXPECT_EQ(memory.rc, KELU_OK);
    EXPECT_EQ(memory.md, want);
    file = FileDigest(f.get(), &key);
    EXPECT_EQ(file.rc, KELU_OK);
    EXPECT_EQ(file.md, want);
  }
}

TEST_F(Sm3Digest, ZValueAgainstAnIndependentComputation) {
  const Bytes kIds[] = {Bytes(kDefaultId, kDefaultId + 16), Bytes{}, Bytes{'A'},
                        RandomBytes(100), RandomBytes(8191)};
  for (const Key &key : *keys_) {
    for (const Bytes &id : kIds) {
      SCOPED_TRACE(std::to_string(id.size()) + "-byte ID");
      Bytes z(32, 0);
      ASSERT_EQ(SM2_CalculateZValue(id.empty() ? nullptr : id.data(), static_cast<int>(id.size()),
                                    key.xy.data(), key.xy.data() + 32, z.data()),
                1);
      EXPECT_EQ(ToHex(z), ToHex(IndependentZ(id, key.xy)));
    }
    // The default ID's Z is the one digested in front of the data.
    Bytes z(32, 0);
    ASSERT_EQ(SM2_CalculateZValue(reinterpret_cast<const unsigned char *>(kDefaultId), 16,
                                  key.xy.data(), key.xy.data() + 32, z.data()),
              1);
    const Bytes data = RandomBytes(77);
    EXPECT_EQ(MemoryDigest(data, &key).md, MemoryDigest(Concat(z, data), nullptr).md);
  }
  // ENTL has 16 bits: an ID of 8192 bytes or more would wrap it.
  const Key &key = (*keys_)[0];
  Bytes z(32, 0x77);
  const Bytes long_id = RandomBytes(8192);
  EXPECT_EQ(SM2_CalculateZValue(long_id.data(), 8192, key.xy.data(), key.xy.data() + 32, z.data()),
            0);
  EXPECT_EQ(SM2_CalculateZValue(long_id.data(), -1, key.xy.data(), key.xy.data() + 32, z.data()),
            0);
  EXPECT_EQ(SM2_CalculateZValue(long_id.data(), 16, nullptr, key.xy.data(), z.data()), 0);
  EXPECT_EQ(z, Bytes(32, 0x77));
}

TEST_F(Sm3Digest, DigestWithZVerifiesAgainstAnOpensslSignature) {
  for (const Key &key : *keys_) {
    const Bytes data = RandomBytes(1000);
    const std::string path = Write(data);
    const std::string sig = dir_->File("sig.bin");
    Openssl("dgst -sm3 -sign " + ShellQuote(key.pem) + " -sigopt distid:" + kDefaultId +
            " -out " + ShellQuote(sig) + " " + ShellQuote(path));
    // OpenSSL checks the signature over Z || M with the default ID, Z of its own making ...
    EXPECT_EQ(RunCommand("openssl pkeyutl -verify -pubin -inkey " + ShellQuote(key.pub) +
                         " -rawin -digest sm3 -pkeyopt distid:" + kDefaultId + " -in " +
                         ShellQuote(path) + " -sigfile " + ShellQuote(sig))
                  .exit_code,
              0);
    // ... and, without -rawin, over our e taken as the digest itself.
    const std::string e_path = dir_->File("e.bin");
    auto verify = [&](const Bytes &e) {
      WriteBinaryFile(e_path, e);
      return RunCommand("openssl pkeyutl -verify -pubin -inkey " + ShellQuote(key.pub) +
                        " -in " + ShellQuote(e_path) + " -sigfile " + ShellQuote(sig))
          .exit_code;
    };
    Digest memory = MemoryDigest(data, &key);
    ASSERT_EQ(memory.rc, KELU_OK);
    EXPECT_EQ(verify(memory.md), 0);
    File f = OpenFile(path, "rb");
    EXPECT_EQ(verify(FileDigest(f.get(), &key).md), 0);
    EXPECT_NE(verify(MemoryDigest(data, nullptr).md), 0) << "without Z it is another digest";
  }
}

TEST_F(Sm3Digest, BlockReaderCountsAndPositions) {
  const Bytes data = RandomBytes(40000);
  const std::string path = Write(data);
  File f = OpenFile(path, "rb");
  Bytes md(32, 0xEE);
  // From the current position, only as many bytes as asked.
  ASSERT_EQ(std::fseek(f.get(), 100, SEEK_SET), 0);
  ASSERT_EQ(CalculateSM3FileHash(f.get(), 20000, nullptr, nullptr, md.data(), false), KELU_OK);
  EXPECT_EQ(md, OpensslSm3(Bytes(data.begin() + 100, data.begin() + 20100)));
  // Nothing to read: the digest of nothing, or of Z alone.
  ASSERT_EQ(CalculateSM3FileHash(f.get(), 0, nullptr, nullptr, md.data(), false), KELU_OK);
  EXPECT_EQ(md, OpensslSm3({}));
  const Key &key = (*keys_)[1];
  ASSERT_EQ(CalculateSM3FileHash(f.get(), 0, key.xy.data(), key.xy.data() + 32, md.data(), true),
            KELU_OK);
  EXPECT_EQ(md, OpensslSm3(IndependentZ(Bytes(kDefaultId, kDefaultId + 16), key.xy)));
  // More than the file holds, in the full blocks or in the short one.
  for (uint64_t ask : {uint64_t{40001}, uint64_t{49152}, uint64_t{1} << 33}) {
    ASSERT_EQ(std::fseek(f.get(), 0, SEEK_SET), 0);
    Bytes untouched(32, 0xEE);
    EXPECT_EQ(CalculateSM3FileHash(f.get(), ask, nullptr, nullptr, untouched.data(), false),
              KELU_ERR_READ_FILE)
        << ask;
    EXPECT_EQ(untouched, Bytes(32, 0xEE));
  }
  // The whole file, wherever the stream stood.
  ASSERT_EQ(std::fseek(f.get(), 3333, SEEK_SET), 0);
  EXPECT_EQ(FileDigest(f.get(), nullptr).md, OpensslSm3(data));
}

TEST_F(Sm3Digest, ArgumentsThatCannotBeUsed) {
  Bytes md(32, 0xEE);
  const unsigned char byte = 1;
  const Key &key = (*keys_)[0];
  EXPECT_EQ(CalculateSM3Hash(&byte, -1, nullptr, nullptr, md.data(), false),
            KELU_ERR_INVALID_PARAMETER);
  EXPECT_EQ(CalculateSM3Hash(nullptr, 1, nullptr, nullptr, md.data(), false),
            KELU_ERR_INVALID_PARAMETER);
  EXPECT_EQ(CalculateSM3Hash(&byte, 1, nullptr, nullptr, nullptr, false),
            KELU_ERR_INVALID_PARAMETER);
  EXPECT_EQ(CalculateSM3Hash(&byte, 1, key.xy.data(), nullptr, md.data(), true),
            KELU_ERR_INVALID_PARAMETER);
  EXPECT_EQ(CalculateSM3Hash(&byte, 1, nullptr, key.xy.data(), md.data(), true),
            KELU_ERR_INVALID_PARAMETER);
  EXPECT_EQ(CalculateSM3FileHashEx(nullptr, nullptr, nullptr, md.data(), false),
            KELU_ERR_INVALID_PARAMETER);
  EXPECT_EQ(CalculateSM3FileHash(nullptr, 1, nullptr, nullptr, md.data(), false),
            KELU_ERR_INVALID_PARAMETER);
  EXPECT_EQ(md, Bytes(32, 0xEE));
  File folder = OpenFile(dir_->path(), "r");
  EXPECT_EQ(FileDigest(folder.get(), nullptr).rc, KELU_ERR_READ_FILE);
}

TEST_F(Sm3Digest, StepLinesOfTheBlocks) {
  struct Case {
    size_t size, full, final_blocks;
  };
  for (const Case &c : {Case{16384, 1, 0}, Case{16385, 1, 1}, Case{5, 0, 1}, Case{0, 0, 0}}) {
    const std::string path = Write(RandomBytes(c.size));
    LogCapture log;
    File f = OpenFile(path, "rb");
    EXPECT_EQ(FileDigest(f.get(), nullptr).rc, KELU_OK);
    size_t full = 0, final_blocks = 0, reads = 0, announced = 0;
    std::string previous;
    for (const std::string &line : log.Take()) {
      // Each read's count comes ahead of the read's own line.
      if (line.find("-- fread(fpSourceFile))\t\t--OK") != std::string::npos) {
        EXPECT_EQ(previous.rfind("Once read file size: ", 0), 0u) << previous;
      }
      previous = line;
      if (line.rfind("Bytes to read from file: " + std::to_string(c.size), 0) == 0) ++announced;
      if (line.find("(CalculateSM3FileHash -- ") != std::string::npos) {
        EXPECT_EQ(line.rfind("[DataSigning.cpp(", 0), 0u) << line;
      }
      if (line.find("-- SM3_Update(file block))\t\t--OK") != std::string::npos) ++full;
      if (line.find("-- SM3_Update(final block))\t\t--OK") != std::string::npos) ++final_blocks;
      if (line.rfind("Once read file size: ", 0) == 0) ++reads;
    }
    EXPECT_EQ(full, c.full) << c.size;
    EXPECT_EQ(final_blocks, c.final_blocks) << c.size;
    EXPECT_EQ(reads, c.full + c.final_blocks) << c.size;
    EXPECT_EQ(announced, 1u);
  }
}

}  // namespace
}  // namespace kelu::test

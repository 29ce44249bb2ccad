// Digests by identifier, against `openssl dgst`, and the OIDs a SignerInfo names for them.
#include <gtest/gtest.h>
#include <openssl/objects.h>

#include <functional>
#include <string>
#include <vector>

#include "KeluErrors.h"
#include "LogCapture.h"
#include "OperationsTestUtil.h"
#include "RSADataSigning.h"
#include "TestSupport.h"

namespace kelu::test {
namespace {

struct Digest {
  int nid;
  const char *dgst_name;
  size_t size;
};

// 922 is the toolkit's SM3; 1143 is the library's own SM3, reached by its name.
const Digest kDigests[] = {{4, "md5", 16},     {64, "sha1", 20},   {672, "sha256", 32},
                           {673, "sha384", 48}, {674, "sha512", 64}, {922, "sm3", 32},
                           {1143, "sm3", 32}};

// Files around the 16384-byte blocks and a larger random one.
const size_t kSizes[] = {0, 1, 16383, 16384, 16385, 32768, 1048583};

struct Result {
  int rc;
  std::string hex;
};

// A digest operation's output as text; on failure the outputs stay untouched.
Result Collect(const std::function<int(unsigned char **, int *)> &operation) {
  unsigned char *out = nullptr;
  int size = -3;
  int rc = operation(&out, &size);
  Result r{rc, rc == KELU_OK ? ToHex(out, static_cast<size_t>(size)) : ""};
  if (rc != KELU_OK) {
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(size, -3);
  }
  delete[] out;
  return r;
}

Result DataHash(const Bytes &data, int nid) {
  return Collect([&](unsigned char **out, int *size) {
    return CalculateDataHash(data.empty() ? nullptr : data.data(), static_cast<int>(data.size()),
                             nid, out, size);
  });
}

Result FileHash(FILE *file, int nid) {
  return Collect([&](unsigned char **out, int *size) {
    return CalculateFileHash(file, nid, out, size);
  });
}

std::string Dgst(const char *name, const std::string &path) {
  std::string line = Openssl(std::string("dgst -") + name + " -r " + ShellQuote(path));
  std::string hex = line.substr(0, line.find(' '));
  for (char &ch : hex) ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
  return hex;
}

class DigestByNid : public ::testing::Test {
 protected:
  void SetUp() override { StartCryptoKernel(); }
  TempDir dir_;
};

TEST_F(DigestByNid, DataAndFileDigestsAgreeWithOpensslDgst) {
  for (size_t n : kSizes) {
    const Bytes data = RandomBytes(n);
    const std::string path = dir_.File("data.bin");
    WriteBinaryFile(path, data);
    for (const Digest &d : kDigests) {
      SCOPED_TRACE(std::string(d.dgst_name) + " (" + std::to_string(d.nid) + ") of " +
                   std::to_string(n) + " bytes");
      const std::string want = Dgst(d.dgst_name, path);
      ASSERT_EQ(want.size(), 2 * d.size);
      Result memory = DataHash(data, d.nid);
      EXPECT_EQ(memory.rc, KELU_OK);
      EXPECT_EQ(memory.hex, want);
      File f = OpenFile(path, "rb");
      Result file = FileHash(f.get(), d.nid);
      EXPECT_EQ(file.rc, KELU_OK);
      EXPECT_EQ(file.hex, want);
    }
  }
}

TEST_F(DigestByNid, UnknownIdentifiersAreUnknownHashes) {
  // No short name; ciphers and curves (the toolkit's SM4-CBC and SM2 curve, the library's
  // SM4-CBC and brainpool curve 923).
  const std::string path = dir_.File("data.bin");
  WriteBinaryFile(path, RandomBytes(10));
  for (int nid : {0, -1, 999999, 923, 920, 1134, 5}) {
    SCOPED_TRACE(nid);
    EXPECT_EQ(DataHash(RandomBytes(10), nid).rc, KELU_ERR_UNKNOWN_HASH);
    File f = OpenFile(path, "rb");
    EXPECT_EQ(FileHash(f.get(), nid).rc, KELU_ERR_UNKNOWN_HASH);
  }
}

TEST_F(DigestByNid, ArgumentsThatCannotBeRead) {
  unsigned char *out = nullptr;
  int size = 0;
  const unsigned char byte = 0;
  EXPECT_EQ(CalculateDataHash(&byte, -1, 672, &out, &size), KELU_ERR_INVALID_PARAMETER);
  EXPECT_EQ(CalculateDataHash(nullptr, 1, 672, &out, &size), KELU_ERR_INVALID_PARAMETER);
  EXPECT_EQ(CalculateDataHash(&byte, 1, 672, nullptr, &size), KELU_ERR_INVALID_PARAMETER);
  EXPECT_EQ(CalculateFileHash(nullptr, 672, &out, &size), KELU_ERR_INVALID_PARAMETER);
  EXPECT_EQ(out, nullptr);
}

TEST_F(DigestByNid, FilesAreReadWholeFromTheirStart) {
  const Bytes data = RandomBytes(40000);
  const std::string path = dir_.File("data.bin");
  WriteBinaryFile(path, data);
  File f = OpenFile(path, "rb");
  ASSERT_EQ(std::fseek(f.get(), 12345, SEEK_SET), 0);
  EXPECT_EQ(FileHash(f.get(), 672).hex, DataHash(data, 672).hex);

  // A stream that ends before the size it claims; one that cannot be read; a folder.
  GeneratedStream short_stream(16384 * 2 + 1, GeneratedStream::Prefix(RandomBytes(16384 + 3)));
  EXPECT_EQ(FileHash(short_stream.get(), 64).rc, KELU_ERR_READ_FILE);
  File append_only = OpenFile(path, "a");
  EXPECT_EQ(FileHash(append_only.get(), 64).rc, KELU_ERR_READ_FILE);
  File folder = OpenFile(dir_.path(), "r");
  EXPECT_EQ(FileHash(folder.get(), 64).rc, KELU_ERR_READ_FILE);
}

TEST_F(DigestByNid, SignerInfoOids) {
  struct Case {
    int nid;
    const char *digest, *accurate;
  };
  const Case kCases[] = {{4, "1.2.840.113549.2.5", "1.2.840.113549.1.1.4"},
                         {64, "1.3.14.3.2.26", "1.2.840.113549.1.1.5"},
                         {672, "2.16.840.1.101.3.4.2.1", "1.2.840.113549.1.1.11"},
                         {673, "2.16.840.1.101.3.4.2.2", "1.2.840.113549.1.1.12"},
                         {674, "2.16.840.1.101.3.4.2.3", "1.2.840.113549.1.1.13"}};
  LogCapture log;
  for (const Case &c : kCases) {
    for (bool accurate : {true, false}) {
      char *digest = nullptr, *encryption = nullptr;
      log.Take();
      ASSERT_EQ(GetAlgOIDbyHashNID(c.nid, &digest, &encryption, accurate), KELU_OK);
      EXPECT_STREQ(digest, c.digest);
      EXPECT_STREQ(encryption, accurate ? c.accurate : "1.2.840.113549.1.1.1");
      EXPECT_EQ(log.Contains("User defines unaccurate digest encryption algorithm"), !accurate);
      // The library's own objects: the digest, and RSA with that digest.
      int signature_nid = 0;
      ASSERT_EQ(OBJ_find_sigid_by_algs(&signature_nid, c.nid, NID_rsaEncryption), 1);
      EXPECT_EQ(OBJ_txt2nid(digest), c.nid);
      EXPECT_EQ(OBJ_txt2nid(encryption), accurate ? signature_nid : NID_rsaEncryption);
      delete[] digest;
      delete[] encryption;
    }
  }
  for (int nid : {922, 0, 675}) {
    char *digest = nullptr, *encryption = nullptr;
    log.Take();
    EXPECT_EQ(GetAlgOIDbyHashNID(nid, &digest, &encryption, false), KELU_ERR_FAILED);
    EXPECT_EQ(digest, nullptr);
    EXPECT_EQ(encryption, nullptr);
    EXPECT_TRUE(log.Contains("(GetAlgOIDbyHashNID -- The algorithm is not supported)\t\t"
                             "--Failed:(0xffffffff) [Reason:1]"))
        << log.Text();
  }
}

TEST_F(DigestByNid, StepLinesOfTheBlockLoop) {
  const std::string path = dir_.File("data.bin");
  WriteBinaryFile(path, RandomBytes(16385));
  LogCapture log;
  File f = OpenFile(path, "rb");
  EXPECT_EQ(FileHash(f.get(), 672).rc, KELU_OK);
  size_t reads = 0;
  for (const std::string &line : log.Take()) {
    if (line.find("(CalculateFileHash --") != std::string::npos) {
      EXPECT_EQ(line.rfind("[RSADataSigning.cpp(", 0), 0u) << line;
    }
    if (line.find("(CalculateFileHash -- fread)\t\t--OK") != std::string::npos) ++reads;
  }
  EXPECT_EQ(reads, 2u);
  EXPECT_EQ(DataHash(RandomBytes(1), 999999).rc, KELU_ERR_UNKNOWN_HASH);
  EXPECT_TRUE(log.Contains("(CalculateDataHash -- EVP_get_digestbynid)\t\t--Failed:(0x80090008) "
                           "[Reason:NULL == pMD] Openssl "))
      << log.Text();
}

}  // namespace
}  // namespace kelu::test

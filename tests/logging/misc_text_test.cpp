// Upper-case hexadecimal text, the size of an open file and the splitting of a text.
#include <gtest/gtest.h>
#include <openssl/crypto.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "KeluErrors.h"
#include "Misc.h"
#include "TestSupport.h"

namespace {

using kelu::test::Bytes;

std::string HexText(const Bytes &data, bool reverse) {
  char *text = nullptr;
  int rc = ConvertBinaryDataToString(data.data(), static_cast<int>(data.size()), &text, reverse);
  EXPECT_EQ(rc, KELU_OK);
  if (text == nullptr) return "<none>";
  std::string out(text);
  delete[] text;
  return out;
}

// OpenSSL's own writer (no separator), the independent model of the text.
std::string OpensslHex(const Bytes &data) {
  std::vector<char> out(2 * data.size() + 1);
  size_t length = 0;
  EXPECT_EQ(
      OPENSSL_buf2hexstr_ex(out.data(), out.size(), &length, data.data(), data.size(), '\0'),
      1);
  return std::string(out.data());
}

TEST(ConvertBinaryDataToString, KnownTexts) {
  EXPECT_EQ(HexText({0x00, 0xAB, 0xFF}, false), "00ABFF");
  EXPECT_EQ(HexText({0x00, 0xAB, 0xFF}, true), "FFAB00");
  EXPECT_EQ(HexText({}, false), "");
}

TEST(ConvertBinaryDataToString, EveryByteAgreesWithOpenssl) {
  Bytes all(256);
  for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(HexText(all, false), OpensslHex(all));
  for (size_t n = 1; n <= 64; ++n) {
    Bytes data = kelu::test::RandomBytes(n);
    EXPECT_EQ(HexText(data, false), OpensslHex(data));
    EXPECT_EQ(HexText(data, true), OpensslHex(Bytes(data.rbegin(), data.rend())));
  }
}

TEST(ConvertBinaryDataToString, RefusedArguments) {
  const unsigned char data[2] = {1, 2};
  char *text = reinterpret_cast<char *>(0x1);
  EXPECT_EQ(ConvertBinaryDataToString(data, 2, nullptr, false), KELU_ERR_INVALID_PARAMETER);
  EXPECT_EQ(ConvertBinaryDataToString(data, -1, &text, false), KELU_ERR_INVALID_PARAMETER);
  EXPECT_EQ(ConvertBinaryDataToString(nullptr, 2, &text, false), KELU_ERR_INVALID_PARAMETER);
  // A text of 2 * 2^30 digits would not fit an int: refused before anything is read.
  EXPECT_EQ(ConvertBinaryDataToString(data, 1 << 30, &text, false), KELU_ERR_INVALID_PARAMETER);
  EXPECT_EQ(text, reinterpret_cast<char *>(0x1));

  ASSERT_EQ(ConvertBinaryDataToString(nullptr, 0, &text, false), KELU_OK);
  EXPECT_STREQ(text, "");
  delete[] text;
}

struct FileCloser {
  void operator()(FILE *f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

class FileSizeTest : public ::testing::Test {
 protected:
  File Open(const std::string &path) {
    File f(std::fopen(path.c_str(), "rb"));
    EXPECT_NE(f, nullptr) << path;
    return f;
  }
  kelu::test::TempDir dir_;
};

TEST_F(FileSizeTest, EmptyFile) {
  kelu::test::WriteTextFile(dir_.File("empty"), "");
  File f = Open(dir_.File("empty"));
  uint64_t size = 99;
  ASSERT_EQ(GetFileSize_Ex(f.get(), &size), KELU_OK);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(std::ftell(f.get()), 0);
}

TEST_F(FileSizeTest, SmallFileIsRewound) {
  Bytes data = kelu::test::RandomBytes(1000);
  kelu::test::WriteBinaryFile(dir_.File("small"), data);
  File f = Open(dir_.File("small"));
  ASSERT_EQ(std::fseek(f.get(), 600, SEEK_SET), 0);
  uint64_t size = 0;
  ASSERT_EQ(GetFileSize_Ex(f.get(), &size), KELU_OK);
  EXPECT_EQ(size, 1000u);
  EXPECT_EQ(std::fgetc(f.get()), data[0]) << "the next read starts at the first byte";
}

// Sizes are 64 bits: a sparse file of 5 GiB costs no disk and must not be cut to 1 GiB.
TEST_F(FileSizeTest, SparseFileLargerThan4GiB) {
  const std::string path = dir_.File("sparse");
  ASSERT_EQ(kelu::test::RunCommand("truncate -s 5G " + kelu::test::ShellQuote(path)).exit_code, 0);
  File f = Open(path);
  uint64_t size = 0;
  ASSERT_EQ(GetFileSize_Ex(f.get(), &size), KELU_OK);
  EXPECT_EQ(size, 5ull << 30);
  EXPECT_EQ(std::ftell(f.get()), 0);
}

// A directory opens for reading on Linux; its end is no size.
TEST_F(FileSizeTest, DirectoryIsRefused) {
  File f = Open(dir_.path());
  uint64_t size = 99;
  EXPECT_EQ(GetFileSize_Ex(f.get(), &size), KELU_ERR_READ_FILE);
  EXPECT_EQ(size, 99u);
}

TEST_F(FileSizeTest, PipeCannotBeMeasured) {
  FILE *pipe = popen("echo hello", "r");
  ASSERT_NE(pipe, nullptr);
  uint64_t size = 99;
  EXPECT_EQ(GetFileSize_Ex(pipe, &size), KELU_ERR_FAILED);
  EXPECT_EQ(size, 99u);
  pclose(pipe);
}

TEST_F(FileSizeTest, MemoryStream) {
  char buffer[] = "twelve bytes";
  File f(fmemopen(buffer, 12, "rb"));
  ASSERT_NE(f, nullptr);
  uint64_t size = 0;
  ASSERT_EQ(GetFileSize_Ex(f.get(), &size), KELU_OK);
  EXPECT_EQ(size, 12u);
}

TEST_F(FileSizeTest, NullArguments) {
  kelu::test::WriteTextFile(dir_.File("small"), "abc");
  File f = Open(dir_.File("small"));
  uint64_t size = 99;
  EXPECT_EQ(GetFileSize_Ex(nullptr, &size), KELU_ERR_INVALID_PARAMETER);
  EXPECT_EQ(GetFileSize_Ex(f.get(), nullptr), KELU_ERR_INVALID_PARAMETER);
  EXPECT_EQ(size, 99u);
}

std::vector<std::string> Pieces(std::vector<char *> &pieces) {
  std::vector<std::string> out(pieces.begin(), pieces.end());
  CleanupStringVector(pieces);
  EXPECT_TRUE(pieces.empty());
  return out;
}

TEST(SplitString, Pieces) {
  struct Case {
    const char *text;
    const char *split;
    std::vector<std::string> pieces;
  };
  const Case cases[] = {
      {"a|b||c|", "|", {"a", "b", "c"}},
      {"|a||b|", "|", {"a", "b"}},
      {"abc", "|", {"abc"}},
      {"", "|", {}},
      {nullptr, "|", {}},
      {"|||", "|", {}},
      {"/ca/one.pem|/ca/two.pem", "|", {"/ca/one.pem", "/ca/two.pem"}},
      {"a<>b<><>c", "<>", {"a", "b", "c"}},
      {"aaa", "aa", {"a"}},
      {"ab", "abc", {"ab"}},
      {"a|b", "", {"a|b"}},  // an empty separator never occurs
      {"", "", {}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text != nullptr ? c.text : "(null)");
    std::vector<char *> pieces;
    EXPECT_EQ(SplitString(c.text, c.split, pieces), KELU_OK);
    EXPECT_EQ(Pieces(pieces), c.pieces);
  }
}

TEST(SplitString, AppendsToWhatTheVectorHolds) {
  std::vector<char *> pieces = {strdup("old")};
  ASSERT_EQ(SplitString("x|y", "|", pieces), KELU_OK);
  EXPECT_EQ(Pieces(pieces), (std::vector<std::string>{"old", "x", "y"}));
}

TEST(SplitString, NullSeparatorIsRefused) {
  std::vector<char *> pieces = {strdup("old")};
  EXPECT_EQ(SplitString("x|y", nullptr, pieces), KELU_ERR_FAILED);
  EXPECT_EQ(Pieces(pieces), std::vector<std::string>{"old"});
}

TEST(CleanupStringVector, FreesAndEmpties) {
  std::vector<char *> pieces = {strdup("a"), nullptr, strdup("b")};
  CleanupStringVector(pieces);  // the sanitizer build reports a leak or a bad free
  EXPECT_TRUE(pieces.empty());
}

}  // namespace

// The exported file ciphers: SymEncryptFile under a fresh key and SymDecryptFile with its key
// text, cross-checked with openssl enc, at the 16384-byte block boundaries and the size limit.
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <string>

#include "ToolkitTestUtil.h"

namespace kelu::test {
namespace {

// The file functions take SM4_CBC and 3DES_CBC.
const SymCipher kFileCiphers[] = {kSymCiphers[0], kSymCiphers[1]};

uint64_t FileSize(const std::string &path) {
  struct stat st {};
  EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
  return static_cast<uint64_t>(st.st_size);
}

// A file of size bytes that takes no room (its content reads as zeros).
void MakeSparseFile(const std::string &path, uint64_t size) {
  WriteTextFile(path, "");
  ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(size)), 0) << path;
}

int EncryptFile(const char *name, const std::string &plain, const std::string &encrypted,
                std::string *key) {
  char *out = reinterpret_cast<char *>(0x1);
  const int rc = SymEncryptFile(name, plain.c_str(), encrypted.c_str(), &out);
  if (rc != KELU_OK) {
    EXPECT_EQ(out, reinterpret_cast<char *>(0x1)) << "untouched until success";
    return rc;
  }
  *key = TakeText(out);
  return rc;
}

class SymFile : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { StartCryptoKernel(); }
  void TearDown() override { ERR_clear_error(); }

  std::string Path(const char *name) const { return dir_.File(name); }

  TempDir dir_;
};

class SymFileLogged : public SymFile {
 protected:
  LogCapture log_;
};

TEST_F(SymFileLogged, EncryptParameterChecks) {
  WriteTextFile(Path("plain"), "data");
  const std::string plain = Path("plain"), enc = Path("enc");
  const char *p = plain.c_str(), *e = enc.c_str();
  char *key = reinterpret_cast<char *>(0x1);
  RunCheckTable(
      log_, "SymEncryptFile",
      {{"null name", [&] { return SymEncryptFile(nullptr, p, e, &key); },
        KELU_ERR_INVALID_PARAMETER, "Check parameter(pszEncAlgorithm).",
        "(NULL == pszEncAlgorithm || 0 == strlen(pszEncAlgorithm))"},
       {"empty name", [&] { return SymEncryptFile("", p, e, &key); }, KELU_ERR_INVALID_PARAMETER,
        "Check parameter(pszEncAlgorithm).",
        "(NULL == pszEncAlgorithm || 0 == strlen(pszEncAlgorithm))"},
       {"null plain path", [&] { return SymEncryptFile("SM4_CBC", nullptr, e, &key); },
        KELU_ERR_INVALID_PARAMETER, "Check parameter(pszPlainFilePath).",
        "(NULL == pszPlainFilePath || 0 == strlen(pszPlainFilePath))"},
       {"empty plain path", [&] { return SymEncryptFile("SM4_CBC", "", e, &key); },
        KELU_ERR_INVALID_PARAMETER, "Check parameter(pszPlainFilePath).",
        "(NULL == pszPlainFilePath || 0 == strlen(pszPlainFilePath))"},
       {"null encrypted path", [&] { return SymEncryptFile("SM4_CBC", p, nullptr, &key); },
        KELU_ERR_INVALID_PARAMETER, "Check parameter(pszEncryptFilePath).",
        "(NULL == pszEncryptFilePath || 0 == strlen(pszEncryptFilePath))"},
       {"empty encrypted path", [&] { return SymEncryptFile("SM4_CBC", p, "", &key); },
        KELU_ERR_INVALID_PARAMETER, "Check parameter(pszEncryptFilePath).",
        "(NULL == pszEncryptFilePath || 0 == strlen(pszEncryptFilePath))"},
       {"null output", [&] { return SymEncryptFile("SM4_CBC", p, e, nullptr); },
        KELU_ERR_INVALID_PARAMETER, "Check output parameter(ppszSymKey).", "(NULL == ppszSymKey)"},
       {"missing plain file", [&] { return SymEncryptFile("XYZ", "/no/such/file", e, &key); },
        KELU_ERR_OPEN_FILE, "fopen(pszPlainFilePath)", "NULL == fpPlainFile"},
       {"encrypted file in a missing folder",
        [&] { return SymEncryptFile("SM4_CBC", p, "/no/such/dir/enc", &key); }, KELU_ERR_OPEN_FILE,
        "fopen(pszEncryptFilePath)", "NULL == fpEncryptFile"},
       // The name is looked at after both files are open.
       {"RC4", [&] { return SymEncryptFile("RC4", p, e, &key); }, KELU_ERR_INVALID_PARAMETER,
        "Invalid symmetrical encrypt algorithm.", "true"},
       {"unknown name", [&] { return SymEncryptFile("SM4", p, e, &key); },
        KELU_ERR_INVALID_PARAMETER, "Invalid symmetrical encrypt algorithm.", "true"}});
  EXPECT_EQ(key, reinterpret_cast<char *>(0x1));
  EXPECT_TRUE(FileExists(enc)) << "made before the name was refused";
  EXPECT_EQ(FileSize(enc), 0u);
  EXPECT_FALSE(FileExists(Path("missing")));
}

TEST_F(SymFileLogged, DecryptParameterChecks) {
  std::string key;
  WriteTextFile(Path("plain"), "data");
  ASSERT_EQ(EncryptFile("SM4_CBC", Path("plain"), Path("enc"), &key), KELU_OK);
  const std::string enc = Path("enc"), out = Path("out");
  const char *e = enc.c_str(), *o = out.c_str(), *k = key.c_str();
  RunCheckTable(
      log_, "SymDecryptFile",
      {{"null name", [&] { return SymDecryptFile(nullptr, e, k, o); }, KELU_ERR_INVALID_PARAMETER,
        "Check parameter(pszEncAlgorithm).",
        "(NULL == pszEncAlgorithm || 0 == strlen(pszEncAlgorithm))"},
       {"empty name", [&] { return SymDecryptFile("", e, k, o); }, KELU_ERR_INVALID_PARAMETER,
        "Check parameter(pszEncAlgorithm).",
        "(NULL == pszEncAlgorithm || 0 == strlen(pszEncAlgorithm))"},
       {"null encrypted path", [&] { return SymDecryptFile("SM4_CBC", nullptr, k, o); },
        KELU_ERR_INVALID_PARAMETER, "Check parameter(pszEncryptFilePath).",
        "(NULL == pszEncryptFilePath || 0 == strlen(pszEncryptFilePath))"},
       {"empty encrypted path", [&] { return SymDecryptFile("SM4_CBC", "", k, o); },
        KELU_ERR_INVALID_PARAMETER, "Check parameter(pszEncryptFilePath).",
        "(NULL == pszEncryptFilePath || 0 == strlen(pszEncryptFilePath))"},
       {"null key", [&] { return SymDecryptFile("SM4_CBC", e, nullptr, o); },
        KELU_ERR_INVALID_PARAMETER, "Check parameter(pszSymKey).",
        "(NULL == pszSymKey || 0 == strlen(pszSymKey))"},
       {"empty key", [&] { return SymDecryptFile("SM4_CBC", e, "", o); },
        KELU_ERR_INVALID_PARAMETER, "Check parameter(pszSymKey).",
        "(NULL == pszSymKey || 0 == strlen(pszSymKey))"},
       {"null plain path", [&] { return SymDecryptFile("SM4_CBC", e, k, nullptr); },
        KELU_ERR_INVALID_PARAMETER, "Check parameter(pszPlainFilePath).",
        "(NULL == pszPlainFilePath || 0 == strlen(pszPlainFilePath))"},
       {"empty plain path", [&] { return SymDecryptFile("SM4_CBC", e, k, ""); },
        KELU_ERR_INVALID_PARAMETER, "Check parameter(pszPlainFilePath).",
        "(NULL == pszPlainFilePath || 0 == strlen(pszPlainFilePath))"},
       {"missing encrypted file", [&] { return SymDecryptFile("XYZ", "/no/such", k, o); },
        KELU_ERR_OPEN_FILE, "fopen(pszEncryptFilePath)", "NULL == fpEncryptFile"},
       {"plain file in a missing folder",
        [&] { return SymDecryptFile("SM4_CBC", e, k, "/no/such/dir/out"); }, KELU_ERR_OPEN_FILE,
        "fopen(pszPlainFilePath)", "NULL == fpPlainFile"},
       // The key text is read before the name is looked at.
       {"key text not hex", [&] { return SymDecryptFile("XYZ", e, "xyz", o); },
        KELU_ERR_INVALID_PARAMETER, "ConvertStringToBinaryData", "KELU_OK != nResult"},
       {"key text of 16 bytes: -1", [&] { return SymDecryptFile("SM4_CBC", e, k + 32, o); },
        KELU_ERR_FAILED, "ConvertStringToBinaryData", "32 != nSymKeySize"},
       {"RC4", [&] { return SymDecryptFile("RC4", e, k, o); }, KELU_ERR_INVALID_PARAMETER,
        "Invalid symmetrical encrypt algorithm.", "true"}});
}

// Both directions against openssl enc at sizes around the 16384-byte blocks.
TEST_F(SymFile, RoundTripsAtBlockBoundaries) {
  for (const SymCipher &c : kFileCiphers) {
    for (uint64_t size : {1, 15, 16, 16383, 16384, 16385, 32767, 32768, 32769, 3 * 16384 + 5}) {
      SCOPED_TRACE(std::string(c.name) + " " + std::to_string(size));
      const Bytes data = RandomBytes(static_cast<size_t>(size));
      WriteBinaryFile(Path("plain"), data);
      std::string key;
      ASSERT_EQ(EncryptFile(c.name, Path("plain"), Path("enc"), &key), KELU_OK);
      EXPECT_EQ(key.size(), 64u);
      EXPECT_EQ(FileSize(Path("enc")), size / c.block * c.block + c.block);
      Openssl("enc -d " + OpensslKeyArgs(c, key) + " -in " + ShellQuote(Path("enc")) + " -out " +
              ShellQuote(Path("by-openssl")));
      EXPECT_EQ(ReadBinaryFile(Path("by-openssl")), data);

      ASSERT_EQ(SymDecryptFile(c.name, Path("enc").c_str(), key.c_str(), Path("out").c_str()),
                KELU_OK);
      EXPECT_EQ(ReadBinaryFile(Path("out")), data);

      // A file openssl encrypted under a key text of GenSymKey, the text in lower case.
      char *text = nullptr;
      ASSERT_EQ(GenSymKey(c.name, &text), KELU_OK);
      std::string other = TakeText(text);
      Openssl("enc -e " + OpensslKeyArgs(c, other) + " -in " + ShellQuote(Path("plain")) +
              " -out " + ShellQuote(Path("enc-openssl")));
      for (char &ch : other) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
      ASSERT_EQ(
          SymDecryptFile(c.name, Path("enc-openssl").c_str(), other.c_str(), Path("out2").c_str()),
          KELU_OK);
      EXPECT_EQ(ReadBinaryFile(Path("out2")), data);
    }
  }
}

TEST_F(SymFile, NamesAreCaseInsensitive) {
  WriteTextFile(Path("plain"), "some text");
  for (const char *name : {"sm4_cbc", "3des_cbc", "Sm4_Cbc"}) {
    std::string key;
    ASSERT_EQ(EncryptFile(name, Path("plain"), Path("enc"), &key), KELU_OK) << name;
    EXPECT_EQ(SymDecryptFile(name, Path("enc").c_str(), key.c_str(), Path("out").c_str()), KELU_OK);
    EXPECT_EQ(ReadTextFile(Path("out")), "some text");
  }
}

// Plain files are limited to 524,288,000 bytes, measured in 64 bits: sizes beyond 4 GiB are
// not taken for their low 32 bits. A refused file leaves an empty encrypted file.
TEST_F(SymFile, SizeLimit) {
  struct Case {
    uint64_t size;
    int want;
  };
  const Case cases[] = {{524288001ull, KELU_ERR_FILE_TOO_LARGE},
                        {(1ull << 32), KELU_ERR_FILE_TOO_LARGE},      // low bits 0
                        {(1ull << 32) + 1, KELU_ERR_FILE_TOO_LARGE},  // low bits 1
                        {(1ull << 32) + 524288000ull, KELU_ERR_FILE_TOO_LARGE}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.size);
    MakeSparseFile(Path("big"), c.size);
    WriteTextFile(Path("enc"), "old content");
    std::string key;
    EXPECT_EQ(EncryptFile("SM4_CBC", Path("big"), Path("enc"), &key), c.want);
    EXPECT_EQ(FileSize(Path("enc")), 0u);
  }
  std::remove(Path("big").c_str());
}

// Exactly the limit proceeds (encrypted into /dev/null: the size, not the bytes, is tested).
TEST_F(SymFile, SizeAtTheLimitProceeds) {
  MakeSparseFile(Path("limit"), 524288000ull);
  std::string key;
  EXPECT_EQ(EncryptFile("SM4_CBC", Path("limit"), "/dev/null", &key), KELU_OK);
  EXPECT_EQ(key.size(), 64u);
  std::remove(Path("limit").c_str());
}

// Each file function opens its input, then its output, which the opening creates or empties.
// A call that fails before both are open leaves an existing output as it was; once both are
// open, every failure leaves the output empty, never holding part of a result. An output path
// that names the input file is refused before the input is emptied by the opening.
TEST_F(SymFileLogged, FailuresKeepTheOutputUntilBothFilesAreOpenThenEmptyIt) {
  const Bytes data = RandomBytes(40000);
  WriteBinaryFile(Path("plain"), data);
  std::string key;
  ASSERT_EQ(EncryptFile("3DES_CBC", Path("plain"), Path("enc"), &key), KELU_OK);
  Bytes cut = ReadBinaryFile(Path("enc"));
  cut.pop_back();
  WriteBinaryFile(Path("cut"), cut);
  WriteTextFile(Path("empty"), "");
  ASSERT_EQ(mkdir(Path("folder").c_str(), 0700), 0);
  // A file of fixed bytes under a fixed key, and another fixed key under which its padding does
  // not check out (a random one passes for about one key in 256).
  Bytes pattern(40000);
  for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<uint8_t>(i * 7);
  WriteBinaryFile(Path("pattern"), pattern);
  const std::string fixed_key = "00010203040506070123456789ABCDEFFEDCBA987654321089ABCDEF01234567";
  const std::string other_key = "070605040302010089ABCDEF01234567FEDCBA98765432100123456789ABCDEF";
  Openssl("enc -e " + OpensslKeyArgs(kFileCiphers[1], fixed_key) + " -in " +
          ShellQuote(Path("pattern")) + " -out " + ShellQuote(Path("fixed")));

  const auto encrypt = [](std::string name, std::string plain) {
    return [=](const std::string &out) {
      char *key_text = nullptr;
      const int rc = SymEncryptFile(name.c_str(), plain.c_str(), out.c_str(), &key_text);
      FreeMemory(key_text);
      return rc;
    };
  };
  const auto decrypt = [](std::string name, std::string encrypted, std::string key_text) {
    return [=](const std::string &out) {
      return SymDecryptFile(name.c_str(), encrypted.c_str(), key_text.c_str(), out.c_str());
    };
  };
  struct Case {
    const char *what;
    std::function<int(const std::string &out)> call;
    int want;
    bool emptied;  // else the output keeps its old content
  };
  const Case cases[] = {
      {"encrypt: empty name", encrypt("", Path("plain")), KELU_ERR_INVALID_PARAMETER, false},
      {"encrypt: missing plain file", encrypt("SM4_CBC", Path("missing")), KELU_ERR_OPEN_FILE,
       false},
      {"encrypt: unknown name", encrypt("SM4", Path("plain")), KELU_ERR_INVALID_PARAMETER, true},
      {"encrypt: RC4", encrypt("RC4", Path("plain")), KELU_ERR_INVALID_PARAMETER, true},
      {"encrypt: empty plain file", encrypt("SM4_CBC", Path("empty")), KELU_ERR_READ_FILE, true},
      {"encrypt: a folder as plain file", encrypt("SM4_CBC", Path("folder")), KELU_ERR_READ_FILE,
       true},
      {"decrypt: empty key text", decrypt("3DES_CBC", Path("enc"), ""),
       KELU_ERR_INVALID_PARAMETER, false},
      {"decrypt: missing encrypted file", decrypt("3DES_CBC", Path("missing"), key),
       KELU_ERR_OPEN_FILE, false},
      {"decrypt: unknown name", decrypt("DES", Path("enc"), key), KELU_ERR_INVALID_PARAMETER,
       true},
      {"decrypt: key text not hexadecimal", decrypt("3DES_CBC", Path("enc"), "xyz"),
       KELU_ERR_INVALID_PARAMETER, true},
      {"decrypt: key text of the wrong size", decrypt("3DES_CBC", Path("enc"), key.substr(2)),
       KELU_ERR_FAILED, true},
      {"decrypt: another key", decrypt("3DES_CBC", Path("fixed"), other_key), KELU_ERR_DECRYPT,
       true},
      {"decrypt: truncated cipher text", decrypt("3DES_CBC", Path("cut"), key), KELU_ERR_DECRYPT,
       true},
      {"decrypt: empty encrypted file", decrypt("SM4_CBC", Path("empty"), key),
       KELU_ERR_READ_FILE, true},
  };
  const std::string out = Path("out");
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    WriteTextFile(out, "old content");
    const int fds = OpenDescriptorCount();
    EXPECT_EQ(c.call(out), c.want);
    EXPECT_EQ(OpenDescriptorCount(), fds) << "both files are closed";
    ASSERT_TRUE(FileExists(out));
    EXPECT_EQ(ReadTextFile(out), c.emptied ? "" : "old content");
  }

  // The same file as input and output, by the same or by another path.
  const std::string same[] = {Path("plain"), dir_.path() + "/./plain"};
  ASSERT_EQ(link(Path("plain").c_str(), Path("hard-link").c_str()), 0);
  for (const std::string &output : {same[0], same[1], Path("hard-link")}) {
    SCOPED_TRACE(output);
    log_.Take();
    char *text = reinterpret_cast<char *>(0x1);
    EXPECT_EQ(SymEncryptFile("SM4_CBC", Path("plain").c_str(), output.c_str(), &text),
              KELU_ERR_INVALID_PARAMETER);
    EXPECT_EQ(ReadBinaryFile(Path("plain")), data) << "the input is untouched";
    EXPECT_TRUE(log_.Contains(FailedStep("SymEncryptFile", "fopen(pszEncryptFilePath)",
                                         KELU_ERR_INVALID_PARAMETER, "the input file")));
    EXPECT_EQ(SymDecryptFile("3DES_CBC", Path("enc").c_str(), key.c_str(), Path("enc").c_str()),
              KELU_ERR_INVALID_PARAMETER);
  }
  // The encrypted file survived the refused decryption onto itself.
  ASSERT_EQ(SymDecryptFile("3DES_CBC", Path("enc").c_str(), key.c_str(), Path("out").c_str()),
            KELU_OK);
  EXPECT_EQ(ReadBinaryFile(Path("out")), data);
}

TEST_F(SymFileLogged, StepsDumpsAndNoKeyText) {
  WriteTextFile(Path("plain"), "0123456789");
  std::string key;
  ASSERT_EQ(EncryptFile("SM4_CBC", Path("plain"), Path("enc"), &key), KELU_OK);
  ASSERT_EQ(SymDecryptFile("SM4_CBC", Path("enc").c_str(), key.c_str(), Path("out").c_str()),
            KELU_OK);
  const std::string text = log_.Text();
  for (const std::string &dump :
       {std::string("Symmetric encrypt algorithm:SM4_CBC"), "Plain file path:" + Path("plain"),
        "Encrypt file path:" + Path("enc"), std::string("Plain file size:10"),
        std::string("nSymKeySize:32"), "Plain file path:" + Path("out")})
    EXPECT_NE(text.find(dump), std::string::npos) << dump;
  for (const char *step : {"fopen(pszPlainFilePath)", "fopen(pszEncryptFilePath)", "GetFileSize_Ex",
                           "Plain file size exceed limit!", "RAND_bytes", "SymFileEncrypt",
                           "ConvertBinaryDataToString"})
    EXPECT_NE(text.find(OkStep("SymEncryptFile", step)), std::string::npos) << step;
  for (const char *step : {"ConvertStringToBinaryData", "SymFileDecrypt"})
    EXPECT_NE(text.find(OkStep("SymDecryptFile", step)), std::string::npos) << step;
  EXPECT_EQ(text.find(key), std::string::npos);
  EXPECT_EQ(text.find(key.substr(32)), std::string::npos);
  EXPECT_EQ(text.find("0123456789"), std::string::npos);
  log_.Take();
  ASSERT_EQ(EncryptFile("3DES_CBC", Path("plain"), Path("enc"), &key), KELU_OK);
  EXPECT_TRUE(log_.Contains(OkStep("SymEncryptFile", "GenerateSymKey")));
}

}  // namespace
}  // namespace kelu::test

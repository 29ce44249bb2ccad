// The exported symmetric functions over data: key texts made by GenSymKey, and SymEncryptData /
// SymDecryptData cross-checked with openssl enc.
#include <gtest/gtest.h>
#include <openssl/err.h>

#include <cctype>
#include <climits>
#include <string>
#include <vector>

#include "ToolkitTestUtil.h"

namespace kelu::test {
namespace {

using Cipher = SymCipher;
const auto &kCiphers = kSymCiphers;

class SymData : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { StartCryptoKernel(); }
  void TearDown() override { ERR_clear_error(); }

  // openssl enc: the Base64 cipher text of a plain file, and the plaintext of a Base64 file.
  static std::string OpensslEncrypt(const Cipher &c, const std::string &key_text,
                                    const std::string &plain_path) {
    std::string out =
        Openssl("enc -e " + OpensslKeyArgs(c, key_text) + " -a -A -in " + ShellQuote(plain_path));
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
  }
  static Bytes OpensslDecrypt(const Cipher &c, const std::string &key_text,
                              const std::string &base64_path) {
    const std::string out =
        Openssl("enc -d " + OpensslKeyArgs(c, key_text) + " -a -A -in " + ShellQuote(base64_path));
    return Bytes(out.begin(), out.end());
  }

  TempDir dir_;
  LogCapture log_;
};

std::string NewKey(const char *name) {
  char *text = nullptr;
  EXPECT_EQ(GenSymKey(name, &text), KELU_OK) << name;
  return TakeText(text);
}

int Encrypt(const Bytes &data, const char *name, const char *key, std::string *cipher) {
  char *out = reinterpret_cast<char *>(0x1);
  const int rc = SymEncryptData(data.data(), static_cast<int>(data.size()), name, key, &out);
  if (rc != KELU_OK) {
    EXPECT_EQ(out, reinterpret_cast<char *>(0x1)) << "untouched until success";
    return rc;
  }
  *cipher = TakeText(out);
  return rc;
}

int Decrypt(const std::string &cipher, const char *name, const char *key, Bytes *plain) {
  unsigned char *out = reinterpret_cast<unsigned char *>(0x1);
  int size = -7;
  const int rc = SymDecryptData(cipher.c_str(), name, key, &out, &size);
  if (rc != KELU_OK) {
    EXPECT_EQ(out, reinterpret_cast<unsigned char *>(0x1)) << "untouched until success";
    EXPECT_EQ(size, -7);
    return rc;
  }
  plain->assign(out, out + size);
  FreeMemory(out);
  return rc;
}

bool IsUpperHex(const std::string &text) {
  for (char ch : text)
    if (!std::isxdigit(static_cast<unsigned char>(ch)) ||
        std::islower(static_cast<unsigned char>(ch)))
      return false;
  return true;
}

// --- GenSymKey ---

TEST_F(SymData, GenSymKeyTexts) {
  for (const Cipher &c : kCiphers) {
    SCOPED_TRACE(c.name);
    std::string lower = c.name;
    for (char &ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    const std::string a = NewKey(c.name), b = NewKey(lower.c_str());
    EXPECT_EQ(a.size(), 2 * (c.iv_bytes + c.key_bytes));
    EXPECT_EQ(b.size(), a.size());
    EXPECT_TRUE(IsUpperHex(a)) << a;
    EXPECT_NE(a, b);
  }
  // The three DES keys have odd parity in every byte.
  const Bytes key = FromHex(NewKey("3DES_CBC").substr(16));
  for (uint8_t byte : key) EXPECT_EQ(__builtin_popcount(byte) % 2, 1) << int(byte);
}

TEST_F(SymData, GenSymKeyStepsAndChecks) {
  NewKey("SM4_CBC");
  std::string text = log_.Text();
  for (const char *step : {"Check szEncAlgorithm", "Check ppszHexSymKey", "RAND_bytes",
                           "RAND_bytes-iv", "ConvertBinaryDataToString"})
    EXPECT_NE(text.find(OkStep("GenSymKey", step)), std::string::npos) << step;
  EXPECT_NE(text.find("szEncAlgorithm:[SM4_CBC]"), std::string::npos);
  log_.Take();
  NewKey("3DES_CBC");
  EXPECT_TRUE(log_.Contains(OkStep("GenSymKey", "GenerateSymKey")));
  EXPECT_TRUE(log_.Contains(OkStep("GenSymKey", "RAND_bytes-iv")));

  char *out = reinterpret_cast<char *>(0x1);
  log_.Take();
  EXPECT_EQ(GenSymKey(nullptr, &out), KELU_ERR_INVALID_PARAMETER);
  EXPECT_EQ(log_.Take().front(), "szEncAlgorithm:[(null)]") << "the dump comes before the checks";
  RunCheckTable(log_, "GenSymKey",
                {{"null name", [&] { return GenSymKey(nullptr, &out); }, KELU_ERR_INVALID_PARAMETER,
                  "Check szEncAlgorithm", "NULL==szEncAlgorithm"},
                 {"null output", [&] { return GenSymKey("RC4", nullptr); },
                  KELU_ERR_INVALID_PARAMETER, "Check ppszHexSymKey", "NULL==ppszHexSymKey"},
                 // An empty name passes the check and is refused as a name.
                 {"empty name", [&] { return GenSymKey("", &out); }, KELU_ERR_INVALID_PARAMETER,
                  "szEncAlgorithm", "true"},
                 {"unknown name", [&] { return GenSymKey("AES", &out); },
                  KELU_ERR_INVALID_PARAMETER, "szEncAlgorithm", "true"}});
  EXPECT_EQ(out, reinterpret_cast<char *>(0x1));
}

// --- SymEncryptData and SymDecryptData ---

// Both directions against openssl enc, for sizes around the block sizes, with the key text
// in either case.
TEST_F(SymData, RoundTripsAgreeWithOpensslEnc) {
  for (const Cipher &c : kCiphers) {
    for (size_t size : {1, 7, 8, 15, 16, 17, 1000}) {
      SCOPED_TRACE(std::string(c.name) + " " + std::to_string(size));
      const std::string key = NewKey(c.name);
      std::string lower_key = key;
      for (char &ch : lower_key)
        ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
      const Bytes data = RandomBytes(size);
      WriteBinaryFile(dir_.File("plain"), data);

      std::string cipher;
      ASSERT_EQ(Encrypt(data, c.name, key.c_str(), &cipher), KELU_OK);
      EXPECT_EQ(cipher, OpensslEncrypt(c, key, dir_.File("plain")));
      EXPECT_EQ(cipher.find_first_of("\r\n"), std::string::npos) << "one line";

      WriteTextFile(dir_.File("cipher.b64"), cipher);
      Bytes plain;
      ASSERT_EQ(Decrypt(cipher, c.name, lower_key.c_str(), &plain), KELU_OK);
      EXPECT_EQ(plain, data);
      EXPECT_EQ(OpensslDecrypt(c, key, dir_.File("cipher.b64")), data);
    }
  }
}

TEST_F(SymData, NamesAreCaseInsensitiveAndExact) {
  const std::string sm4 = NewKey("SM4_CBC");
  const Bytes data = {'a', 'b', 'c'};
  std::string cipher;
  for (const char *name : {"sm4_cbc", "Sm4_Cbc", "SM4_CBC"}) {
    EXPECT_EQ(Encrypt(data, name, sm4.c_str(), &cipher), KELU_OK) << name;
    Bytes plain;
    EXPECT_EQ(Decrypt(cipher, name, sm4.c_str(), &plain), KELU_OK) << name;
  }
  for (const char *name : {"SM4", "SM4-CBC", "3DES", "DES_EDE3_CBC", "RC4 ", "", "AES"}) {
    SCOPED_TRACE(name);
    log_.Take();
    EXPECT_EQ(Encrypt(data, name, sm4.c_str(), &cipher), KELU_ERR_INVALID_PARAMETER);
    Bytes plain;
    EXPECT_EQ(Decrypt("AAAA", name, sm4.c_str(), &plain), KELU_ERR_INVALID_PARAMETER);
    EXPECT_TRUE(log_.Contains(
        FailedStep("SymEncryptData", "szEncAlgorithm", KELU_ERR_INVALID_PARAMETER, "true")));
    EXPECT_TRUE(log_.Contains(
        FailedStep("SymDecryptData", "szEncAlgorithm", KELU_ERR_INVALID_PARAMETER, "true")));
  }
  // The key text is read before the name is looked at.
  log_.Take();
  EXPECT_EQ(Encrypt(data, "XYZ", "not hex", &cipher), KELU_ERR_INVALID_PARAMETER);
  EXPECT_TRUE(log_.Contains(FailedStep("SymEncryptData", "ConvertStringToBinaryData",
                                       KELU_ERR_INVALID_PARAMETER, "KELU_OK!=nResult")));
}

TEST_F(SymData, EncryptParameterChecks) {
  const std::string key = NewKey("3DES_CBC");
  const unsigned char data[3] = {1, 2, 3};
  char *out = reinterpret_cast<char *>(0x1);
  const char *k = key.c_str();
  RunCheckTable(
      log_, "SymEncryptData",
      {{"null data", [&] { return SymEncryptData(nullptr, 3, "3DES_CBC", k, &out); },
        KELU_ERR_INVALID_PARAMETER, "Check pbyPlainData", "NULL==pbyPlainData"},
       {"size 0", [&] { return SymEncryptData(data, 0, "3DES_CBC", k, &out); },
        KELU_ERR_INVALID_PARAMETER, "Check nPlainData", "nPlainData<1"},
       {"negative size", [&] { return SymEncryptData(data, -1, "3DES_CBC", k, &out); },
        KELU_ERR_INVALID_PARAMETER, "Check nPlainData", "nPlainData<1"},
       {"most negative size", [&] { return SymEncryptData(data, INT_MIN, "3DES_CBC", k, &out); },
        KELU_ERR_INVALID_PARAMETER, "Check nPlainData", "nPlainData<1"},
       {"null name", [&] { return SymEncryptData(data, 3, nullptr, k, &out); },
        KELU_ERR_INVALID_PARAMETER, "Check szEncAlgorithm", "NULL==szEncAlgorithm"},
       {"null key", [&] { return SymEncryptData(data, 3, "3DES_CBC", nullptr, &out); },
        KELU_ERR_INVALID_PARAMETER, "Check szHexSymKey", "NULL==szHexSymKey"},
       {"null output", [&] { return SymEncryptData(data, 3, "3DES_CBC", k, nullptr); },
        KELU_ERR_INVALID_PARAMETER, "Check ppszBase64EncryptedMessage",
        "NULL==ppszBase64EncryptedData"},
       // Texts are tested for null only: an empty key fails in its reading.
       {"empty key", [&] { return SymEncryptData(data, 3, "3DES_CBC", "", &out); },
        KELU_ERR_INVALID_PARAMETER, "ConvertStringToBinaryData", "KELU_OK!=nResult"},
       {"empty name", [&] { return SymEncryptData(data, 3, "", k, &out); },
        KELU_ERR_INVALID_PARAMETER, "szEncAlgorithm", "true"}});
  EXPECT_EQ(out, reinterpret_cast<char *>(0x1));
}

TEST_F(SymData, DecryptParameterChecks) {
  const std::string key = NewKey("SM4_CBC");
  std::string cipher;
  ASSERT_EQ(Encrypt({1, 2, 3}, "SM4_CBC", key.c_str(), &cipher), KELU_OK);
  unsigned char *out = reinterpret_cast<unsigned char *>(0x1);
  int size = -7;
  const char *k = key.c_str();
  const char *c = cipher.c_str();
  RunCheckTable(
      log_, "SymDecryptData",
      {{"null cipher text", [&] { return SymDecryptData(nullptr, "SM4_CBC", k, &out, &size); },
        KELU_ERR_INVALID_PARAMETER, "Check szBase64EncryptedData", "NULL==szBase64EncryptedData"},
       {"null name", [&] { return SymDecryptData(c, nullptr, k, &out, &size); },
        KELU_ERR_INVALID_PARAMETER, "Check szEncAlgorithm", "NULL==szEncAlgorithm"},
       {"null key", [&] { return SymDecryptData(c, "SM4_CBC", nullptr, &out, &size); },
        KELU_ERR_INVALID_PARAMETER, "Check szHexSymKey", "NULL==szHexSymKey"},
       {"null output", [&] { return SymDecryptData(c, "SM4_CBC", k, nullptr, &size); },
        KELU_ERR_INVALID_PARAMETER, "Check ppbyPlainData", "NULL==ppbyPlainData"},
       {"null size", [&] { return SymDecryptData(c, "SM4_CBC", k, &out, nullptr); },
        KELU_ERR_INVALID_PARAMETER, "Check pnPlainData", "NULL==pnPlainData"},
       {"empty cipher text", [&] { return SymDecryptData("", "SM4_CBC", k, &out, &size); },
        KELU_ERR_BASE64_DECODE, "Base64DecodeEx", "KELU_OK!=nResult"},
       {"empty key", [&] { return SymDecryptData(c, "SM4_CBC", "", &out, &size); },
        KELU_ERR_INVALID_PARAMETER, "ConvertStringToBinaryData", "KELU_OK!=nResult"}});
  EXPECT_EQ(out, reinterpret_cast<unsigned char *>(0x1));
  EXPECT_EQ(size, -7);
}

// A lower -1 becomes the decryption code on every path (the SM4 routine reports a bad padding
// as -1, the identifier-based one as the decryption code itself).
TEST_F(SymData, ReplacementOfTheGenericFailure) {
  const Bytes data = RandomBytes(40);
  for (const Cipher &c : {kCiphers[0], kCiphers[1]}) {
    SCOPED_TRACE(c.name);
    const std::string key = NewKey(c.name);
    std::string cipher;
    ASSERT_EQ(Encrypt(data, c.name, key.c_str(), &cipher), KELU_OK);
    // A cipher text that is not whole blocks fails the padding whatever the key.
    const std::string cut = cipher.substr(0, cipher.size() - 4);
    log_.Take();
    Bytes plain;
    EXPECT_EQ(Decrypt(cut, c.name, key.c_str(), &plain), KELU_ERR_DECRYPT);
    const char *operation = c.iv_bytes == 16 ? "SM4_Decrypt_CBC" : "SymDecrypt";
    EXPECT_TRUE(log_.Contains(
        FailedStep("SymDecryptData", operation, KELU_ERR_DECRYPT, "KELU_OK!=nResult")))
        << log_.Text();
  }
}

// Key texts shorter than the cipher's IV and key are refused before any part of them is read;
// SM4_CBC uses the first 32 bytes of a longer text, the other two need their exact sizes.
TEST_F(SymData, KeyTextLengths) {
  const Bytes data = RandomBytes(20);
  struct Case {
    const char *name;
    size_t bytes;
    int want;
  };
  const Case cases[] = {
      {"SM4_CBC", 0, KELU_ERR_INVALID_PARAMETER},  // empty text: the reader refuses it
      {"SM4_CBC", 1, KELU_ERR_INVALID_PARAMETER},
      {"SM4_CBC", 16, KELU_ERR_INVALID_PARAMETER},
      {"SM4_CBC", 31, KELU_ERR_INVALID_PARAMETER},
      {"SM4_CBC", 32, KELU_OK},
      {"SM4_CBC", 48, KELU_OK},
      {"3DES_CBC", 4, KELU_ERR_INVALID_PARAMETER},
      {"3DES_CBC", 8, KELU_ERR_INVALID_PARAMETER},
      {"3DES_CBC", 31, KELU_ERR_INVALID_PARAMETER},
      {"3DES_CBC", 32, KELU_OK},
      {"3DES_CBC", 40, KELU_ERR_INVALID_PARAMETER},
      {"RC4", 8, KELU_ERR_INVALID_PARAMETER},
      {"RC4", 16, KELU_OK},
      {"RC4", 32, KELU_ERR_INVALID_PARAMETER},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.name) + " " + std::to_string(c.bytes));
    const std::string key = ToHex(RandomBytes(c.bytes));
    std::string cipher;
    EXPECT_EQ(Encrypt(data, c.name, key.c_str(), &cipher), c.want);
    Bytes plain;
    const std::string some_cipher = "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=";
    const int rc = Decrypt(c.want == KELU_OK ? cipher : some_cipher, c.name, key.c_str(), &plain);
    if (c.want == KELU_OK) {
      EXPECT_EQ(rc, KELU_OK);
      EXPECT_EQ(plain, data);
    } else {
      EXPECT_EQ(rc, KELU_ERR_INVALID_PARAMETER);
    }
  }
  // The first 32 bytes of a longer SM4 text are the key text.
  const std::string key = ToHex(RandomBytes(32));
  std::string a, b;
  ASSERT_EQ(Encrypt(data, "SM4_CBC", key.c_str(), &a), KELU_OK);
  ASSERT_EQ(Encrypt(data, "SM4_CBC", (key + "00112233").c_str(), &b), KELU_OK);
  EXPECT_EQ(a, b);
  log_.Take();
  std::string cipher;
  EXPECT_EQ(Encrypt(data, "SM4_CBC", "0011", &cipher), KELU_ERR_INVALID_PARAMETER);
  EXPECT_TRUE(log_.Contains(FailedStep("SymEncryptData", "Check szHexSymKey length",
                                       KELU_ERR_INVALID_PARAMETER, "32 > nSymKeySize")));
}

TEST_F(SymData, WrongKeysAndDamagedTexts) {
  const Bytes data = RandomBytes(64);
  const std::string key = NewKey("3DES_CBC");
  std::string cipher;
  ASSERT_EQ(Encrypt(data, "3DES_CBC", key.c_str(), &cipher), KELU_OK);
  Bytes plain;
  // Characters outside the alphabet are skipped by the decoder.
  EXPECT_EQ(
      Decrypt(cipher.substr(0, 10) + "\r\n" + cipher.substr(10), "3DES_CBC", key.c_str(), &plain),
      KELU_OK);
  EXPECT_EQ(plain, data);
  // A text with no Base64 in it decodes to nothing, which no block cipher takes.
  EXPECT_EQ(Decrypt("!!!!", "3DES_CBC", key.c_str(), &plain), KELU_ERR_DECRYPT);
  EXPECT_EQ(Decrypt("!!!!", "SM4_CBC", NewKey("SM4_CBC").c_str(), &plain), KELU_ERR_DECRYPT);
  // RC4 has no padding: an empty cipher text is an empty plaintext.
  ASSERT_EQ(Decrypt("!!!!", "RC4", NewKey("RC4").c_str(), &plain), KELU_OK);
  EXPECT_TRUE(plain.empty());
}

// Key texts and plaintexts are secrets: the log holds their lengths at most.
TEST_F(SymData, NoSecretReachesTheLog) {
  const std::string secret = "The plaintext nobody may read in a log 0123456789";
  const Bytes data(secret.begin(), secret.end());
  for (const Cipher &c : kCiphers) {
    SCOPED_TRACE(c.name);
    const std::string key = NewKey(c.name);
    std::string lower = key;
    for (char &ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    std::string cipher;
    ASSERT_EQ(Encrypt(data, c.name, lower.c_str(), &cipher), KELU_OK);
    Bytes plain;
    ASSERT_EQ(Decrypt(cipher, c.name, key.c_str(), &plain), KELU_OK);
    const std::string text = log_.Text();
    EXPECT_EQ(text.find(key), std::string::npos);
    EXPECT_EQ(text.find(lower), std::string::npos);
    EXPECT_EQ(text.find(key.substr(2 * c.iv_bytes)), std::string::npos);
    EXPECT_EQ(text.find("plaintext nobody"), std::string::npos);
  }
}

}  // namespace
}  // namespace kelu::test

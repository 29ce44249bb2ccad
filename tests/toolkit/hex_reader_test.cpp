// The reader of hexadecimal key text.
#include <gtest/gtest.h>
#include <openssl/crypto.h>

#include <cctype>
#include <string>

#include "HexReader.h"
#include "KeluErrors.h"
#include "Misc.h"
#include "TestSupport.h"

namespace {

using kelu::test::Bytes;

struct Read {
  int rc;
  Bytes bytes;
};

Read ReadHex(const char *text, bool reverse = false) {
  unsigned char *bytes = nullptr;
  unsigned int length = 12345;
  int rc = ConvertStringToBinaryData(text, &bytes, &length, reverse);
  if (rc != KELU_OK) {
    EXPECT_EQ(bytes, nullptr) << "no output on failure";
    EXPECT_EQ(length, 12345u);
    return {rc, {}};
  }
  Bytes out(bytes, bytes + length);
  for (unsigned int i = length; i < length + 4; ++i)
    EXPECT_EQ(bytes[i], 0) << "four zero bytes follow the decoded ones";
  delete[] bytes;
  return {rc, out};
}

TEST(ConvertStringToBinaryData, Texts) {
  struct Case {
    const char *text;
    bool reverse;
    int rc;
    const char *hex;
  };
  const Case cases[] = {
      {"00abFF", false, KELU_OK, "00ABFF"},
      {"00ABff", false, KELU_OK, "00ABFF"},
      {"0123456789abcdefABCDEF", false, KELU_OK, "0123456789ABCDEFABCDEF"},
      {"ABC", false, KELU_OK, "AB"},  // a last odd digit is ignored
      {"A", false, KELU_OK, ""},
      {"0011ff", true, KELU_OK, "FF1100"},
      {"ABCDE", true, KELU_OK, "CDAB"},
      {"0x1F", false, KELU_ERR_INVALID_PARAMETER, ""},
      {"1F ", false, KELU_ERR_INVALID_PARAMETER, ""},
      {" 1F", false, KELU_ERR_INVALID_PARAMETER, ""},
      {"1F\n", false, KELU_ERR_INVALID_PARAMETER, ""},
      {"G0", false, KELU_ERR_INVALID_PARAMETER, ""},
      {"0g", false, KELU_ERR_INVALID_PARAMETER, ""},
      {"-1", false, KELU_ERR_INVALID_PARAMETER, ""},
      {"00:AB", false, KELU_ERR_INVALID_PARAMETER, ""},
      {"AB\xC3\xA9", false, KELU_ERR_INVALID_PARAMETER, ""},
      {"ABC\xFF", false, KELU_ERR_INVALID_PARAMETER, ""},  // even after an odd digit
      {"", false, KELU_ERR_INVALID_PARAMETER, ""},
  };
  for (const auto &c : cases) {
    Read r = ReadHex(c.text, c.reverse);
    EXPECT_EQ(r.rc, c.rc) << c.text;
    EXPECT_EQ(kelu::test::ToHex(r.bytes), c.hex) << c.text;
  }
}

TEST(ConvertStringToBinaryData, EveryCharacterOutsideTheDigitsIsRefused) {
  for (int ch = 1; ch < 256; ++ch) {
    const char text[] = {'A', static_cast<char>(ch), '\0'};
    const bool digit = std::isxdigit(ch) != 0;
    EXPECT_EQ(ReadHex(text).rc, digit ? KELU_OK : KELU_ERR_INVALID_PARAMETER) << ch;
  }
}

TEST(ConvertStringToBinaryData, NullArguments) {
  unsigned char *bytes = reinterpret_cast<unsigned char *>(0x1);
  unsigned int length = 7;
  EXPECT_EQ(ConvertStringToBinaryData(nullptr, &bytes, &length, false), KELU_ERR_INVALID_PARAMETER);
  EXPECT_EQ(ConvertStringToBinaryData("00", nullptr, &length, false), KELU_ERR_INVALID_PARAMETER);
  EXPECT_EQ(ConvertStringToBinaryData("00", &bytes, nullptr, false), KELU_ERR_INVALID_PARAMETER);
  EXPECT_EQ(bytes, reinterpret_cast<unsigned char *>(0x1));
  EXPECT_EQ(length, 7u);
}

// Mixed-case texts agree with OpenSSL's reader, and the writer's text reads back.
TEST(ConvertStringToBinaryData, AgreesWithOpensslAndTheWriter) {
  for (size_t n = 1; n <= 64; ++n) {
    Bytes data = kelu::test::RandomBytes(n);
    std::string text = kelu::test::ToHex(data);
    for (size_t i = 0; i < text.size(); i += 3) text[i] = static_cast<char>(std::tolower(text[i]));
    long openssl_length = 0;
    unsigned char *openssl = OPENSSL_hexstr2buf(text.c_str(), &openssl_length);
    ASSERT_NE(openssl, nullptr);
    EXPECT_EQ(ReadHex(text.c_str()).bytes, Bytes(openssl, openssl + openssl_length));
    OPENSSL_free(openssl);

    char *written = nullptr;
    ASSERT_EQ(ConvertBinaryDataToString(data.data(), static_cast<int>(n), &written, false),
              KELU_OK);
    EXPECT_EQ(ReadHex(written).bytes, data);
    delete[] written;
  }
}

}  // namespace

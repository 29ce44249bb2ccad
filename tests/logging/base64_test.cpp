// The Base64 codec: known values, the line rule, round trips, the tolerant decoder, and
// cross-checks against OpenSSL's encoder and the base64 / openssl base64 commands.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "Base64Utility.h"
#include "KeluErrors.h"
#include "TestSupport.h"

namespace {

using kelu::test::Bytes;
using kelu::test::RandomBytes;
using kelu::test::RunCommand;
using kelu::test::ShellQuote;

const unsigned long kAllFlags[] = {ATL_BASE64_FLAG_NONE, ATL_BASE64_FLAG_NOPAD,
                                   ATL_BASE64_FLAG_NOCRLF};

struct Encoded {
  int rc;
  std::string text;
};

Encoded Encode(const Bytes &data, unsigned long flags) {
  static const unsigned char kNotNull = 0;
  char *text = nullptr;
  int length = -7;
  const unsigned char *p = data.empty() ? &kNotNull : data.data();
  int rc = Base64EncodeEx(p, static_cast<int>(data.size()), &text, &length, flags);
  if (rc != KELU_OK) {
    EXPECT_EQ(text, nullptr) << "no text on failure";
    EXPECT_EQ(length, -7) << "no length on failure";
    return {rc, ""};
  }
  EXPECT_NE(text, nullptr);
  std::string out(text);
  EXPECT_EQ(static_cast<size_t>(length), out.size()) << "length excludes the NUL";
  delete[] text;
  return {rc, out};
}

struct Decoded {
  int rc;
  Bytes bytes;
};

Decoded Decode(const std::string &text) {
  unsigned char *bytes = nullptr;
  int length = -7;
  int rc = Base64DecodeEx(text.data(), static_cast<int>(text.size()), &bytes, &length);
  if (rc != KELU_OK) {
    EXPECT_EQ(bytes, nullptr);
    EXPECT_EQ(length, -7);
    return {rc, {}};
  }
  Bytes out(bytes, bytes + length);
  for (size_t i = static_cast<size_t>(length); i < text.size(); ++i)
    EXPECT_EQ(bytes[i], 0) << "the buffer is zero beyond the decoded bytes, at " << i;
  delete[] bytes;
  return {rc, out};
}

Bytes BytesOf(const std::string &s) { return Bytes(s.begin(), s.end()); }

// OpenSSL's one-line encoder, the independent model of the one-line text.
std::string OpensslBase64(const uint8_t *p, size_t n) {
  std::string out(4 * ((n + 2) / 3) + 1, '\0');
  int written = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(&out[0]), p,
                                static_cast<int>(n));
  out.resize(static_cast<size_t>(written));
  return out;
}

std::string WithoutPadding(std::string text) {
  while (!text.empty() && text.back() == '=') text.pop_back();
  return text;
}

// The expected text for any flags, built from OpenSSL's one-line encoder: every full line of
// 57 bytes gives 76 characters and CR LF, the rest follows on its own line without CR LF.
std::string ExpectedText(const Bytes &data, unsigned long flags) {
  const bool breaks = (flags & ATL_BASE64_FLAG_NOCRLF) == 0;
  const bool pad = (flags & ATL_BASE64_FLAG_NOPAD) == 0;
  if (!breaks) {
    std::string line = OpensslBase64(data.data(), data.size());
    return pad ? line : WithoutPadding(line);
  }
  std::string out;
  size_t at = 0;
  for (; data.size() - at >= 57; at += 57) out += OpensslBase64(data.data() + at, 57) + "\r\n";
  std::string rest = OpensslBase64(data.data() + at, data.size() - at);
  return out + (pad ? rest : WithoutPadding(rest));
}

// RFC 4648, section 10.
struct KnownValue {
  const char *data;
  const char *padded;
  const char *unpadded;
};
const KnownValue kRfc4648[] = {
    {"", "", ""},           {"f", "Zg==", "Zg"},         {"fo", "Zm8=", "Zm8"},
    {"foo", "Zm9v", "Zm9v"}, {"foob", "Zm9vYg==", "Zm9vYg"}, {"fooba", "Zm9vYmE=", "Zm9vYmE"},
    {"foobar", "Zm9vYmFy", "Zm9vYmFy"},
};

TEST(Base64Encode, Rfc4648Vectors) {
  for (const auto &v : kRfc4648) {
    SCOPED_TRACE(v.data);
    EXPECT_EQ(Encode(BytesOf(v.data), ATL_BASE64_FLAG_NOCRLF).text, v.padded);
    EXPECT_EQ(Encode(BytesOf(v.data), ATL_BASE64_FLAG_NONE).text, v.padded);
    EXPECT_EQ(Encode(BytesOf(v.data), ATL_BASE64_FLAG_NOPAD).text, v.unpadded);
    if (*v.data != '\0') {
      EXPECT_EQ(Decode(v.padded).bytes, BytesOf(v.data));
      EXPECT_EQ(Decode(v.unpadded).bytes, BytesOf(v.data));
    }
  }
}

TEST(Base64Encode, SmallKnownBytes) {
  struct Case {
    Bytes data;
    unsigned long flags;
    const char *text;
  };
  const Case cases[] = {
      {{0x00}, ATL_BASE64_FLAG_NONE, "AA=="},       {{0x00}, ATL_BASE64_FLAG_NOPAD, "AA"},
      {{0x00, 0x01}, ATL_BASE64_FLAG_NOCRLF, "AAE="}, {{0x00, 0x01}, ATL_BASE64_FLAG_NOPAD, "AAE"},
      {{0xFB, 0xFF, 0xBF}, ATL_BASE64_FLAG_NOCRLF, "+/+/"},
  };
  for (const auto &c : cases) {
    Encoded e = Encode(c.data, c.flags);
    EXPECT_EQ(e.rc, KELU_OK);
    EXPECT_EQ(e.text, c.text);
  }
}

// Zero bytes are the empty text with every flag, the one-line flag included.
TEST(Base64Encode, ZeroBytesGiveTheEmptyText) {
  for (unsigned long flags : kAllFlags) {
    Encoded e = Encode({}, flags);
    EXPECT_EQ(e.rc, KELU_OK) << "flags " << flags;
    EXPECT_EQ(e.text, "");
  }
}

TEST(Base64Encode, LineRule) {
  struct Case {
    size_t bytes;
    unsigned long flags;
    size_t length;
    int line_breaks;
  };
  const Case cases[] = {
      {56, ATL_BASE64_FLAG_NONE, 76, 0},   {57, ATL_BASE64_FLAG_NONE, 78, 1},
      {58, ATL_BASE64_FLAG_NONE, 82, 1},   {60, ATL_BASE64_FLAG_NONE, 82, 1},
      {114, ATL_BASE64_FLAG_NONE, 156, 2}, {57, ATL_BASE64_FLAG_NOCRLF, 76, 0},
      {56, ATL_BASE64_FLAG_NOPAD, 75, 0},  {58, ATL_BASE64_FLAG_NOPAD, 80, 1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.bytes << " bytes, flags " << c.flags);
    std::string text = Encode(RandomBytes(c.bytes), c.flags).text;
    EXPECT_EQ(text.size(), c.length);
    int breaks = 0;
    for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at + 2)) {
      ++breaks;
      EXPECT_EQ((at + 2) % 78, 0u) << "CR LF only after 76 characters";
    }
    EXPECT_EQ(breaks, c.line_breaks);
  }
}

TEST(Base64Encode, RequiredLength) {
  struct Case {
    int bytes;
    unsigned long flags;
    int length;
  };
  const Case cases[] = {
      {0, ATL_BASE64_FLAG_NOCRLF, 0}, {0, ATL_BASE64_FLAG_NONE, 2},  {0, ATL_BASE64_FLAG_NOPAD, 2},
      {57, ATL_BASE64_FLAG_NOCRLF, 76}, {57, ATL_BASE64_FLAG_NONE, 80},
      {1, ATL_BASE64_FLAG_NOPAD, 6},
      {-1, ATL_BASE64_FLAG_NOCRLF, -1}, {INT_MAX, ATL_BASE64_FLAG_NOCRLF, -1},
  };
  for (const auto &c : cases)
    EXPECT_EQ(Base64EncodeGetRequiredLength(c.bytes, c.flags), c.length)
        << c.bytes << " bytes, flags " << c.flags;
  EXPECT_EQ(Base64DecodeGetRequiredLength(100), 100);
}

// Every length 0 to 200 with every flag: the text is OpenSSL's, split into lines by the
// rule, within the required length, and decodes back to the data.
TEST(Base64Encode, RoundTripEveryLengthAndFlag) {
  for (unsigned long flags : kAllFlags) {
    for (size_t n = 0; n <= 200; ++n) {
      SCOPED_TRACE(testing::Message() << n << " bytes, flags " << flags);
      Bytes data = RandomBytes(n);
      Encoded e = Encode(data, flags);
      ASSERT_EQ(e.rc, KELU_OK);
      EXPECT_EQ(e.text, ExpectedText(data, flags));
      EXPECT_LE(e.text.size(),
                static_cast<size_t>(Base64EncodeGetRequiredLength(static_cast<int>(n), flags)));
      if (n == 0) {
        EXPECT_EQ(Decode(e.text).rc, KELU_ERR_BASE64_DECODE) << "an empty text is refused";
      } else {
        Decoded d = Decode(e.text);
        EXPECT_EQ(d.rc, KELU_OK);
        EXPECT_EQ(d.bytes, data);
      }
    }
  }
}

// The commands' own output: coreutils base64 wraps at 76 with LF, openssl base64 at 64.
TEST(Base64Encode, AgreesWithBase64Commands) {
  kelu::test::TempDir dir;
  const std::string file = dir.File("data");
  for (size_t n : {1u, 2u, 3u, 56u, 57u, 58u, 114u, 1000u, 5700u, 16385u}) {
    SCOPED_TRACE(testing::Message() << n << " bytes");
    Bytes data = RandomBytes(n);
    kelu::test::WriteBinaryFile(file, data);
    const std::string quoted = ShellQuote(file);

    auto one_line = RunCommand("base64 -w 0 " + quoted, false);
    ASSERT_EQ(one_line.exit_code, 0);
    EXPECT_EQ(Encode(data, ATL_BASE64_FLAG_NOCRLF).text, one_line.output);
    auto openssl_one_line = RunCommand("openssl base64 -A -in " + quoted, false);
    ASSERT_EQ(openssl_one_line.exit_code, 0);
    EXPECT_EQ(Encode(data, ATL_BASE64_FLAG_NOCRLF).text, openssl_one_line.output);

    // Same lines as base64's, CR LF for LF; base64 ends every text with LF, the encoder only a
    // full line.
    std::string lines = Encode(data, ATL_BASE64_FLAG_NONE).text;
    std::string wrapped = RunCommand("base64 -w 76 " + quoted, false).output;
    std::string as_lf;
    for (size_t i = 0; i < lines.size(); ++i)
      if (lines[i] != '\r') as_lf += lines[i];
    if (as_lf.empty() || as_lf.back() != '\n') as_lf += '\n';
    EXPECT_EQ(as_lf, wrapped);

    // And each side decodes the other's text (openssl's decoder drops a last line that has
    // no line end).
    const std::string ours = dir.File("ours.b64");
    kelu::test::WriteTextFile(ours, lines.back() == '\n' ? lines : lines + "\r\n");
    auto ours_by_openssl = RunCommand("openssl base64 -d -in " + ShellQuote(ours), false);
    EXPECT_EQ(BytesOf(ours_by_openssl.output), data);
    EXPECT_EQ(Decode(RunCommand("openssl base64 -in " + quoted, false).output).bytes, data);
    EXPECT_EQ(Decode(wrapped).bytes, data);
  }
}

TEST(Base64EncodeEx, RefusedArguments) {
  const unsigned char data[4] = {1, 2, 3, 4};
  char *text = reinterpret_cast<char *>(0x1);  // sentinel: must stay as it is
  int length = -7;
  struct Case {
    const unsigned char *data;
    int size;
    char **out;
    unsigned long flags;
    int rc;
  };
  const Case cases[] = {
      {data, 4, nullptr, ATL_BASE64_FLAG_NOCRLF, KELU_ERR_INVALID_PARAMETER},
      {data, 4, &text, 3, KELU_ERR_INVALID_PARAMETER},
      {data, 4, &text, ULONG_MAX, KELU_ERR_INVALID_PARAMETER},
      {data, -1, &text, ATL_BASE64_FLAG_NOCRLF, KELU_ERR_INVALID_PARAMETER},
      {data, INT_MIN, &text, ATL_BASE64_FLAG_NONE, KELU_ERR_INVALID_PARAMETER},
      // Sizes whose text would not fit an int are refused before anything is read.
      {data, INT_MAX, &text, ATL_BASE64_FLAG_NOCRLF, KELU_ERR_INVALID_PARAMETER},
      {data, 1610612734, &text, ATL_BASE64_FLAG_NONE, KELU_ERR_INVALID_PARAMETER},
      {nullptr, 4, &text, ATL_BASE64_FLAG_NOCRLF, KELU_ERR_BASE64_ENCODE},
      {nullptr, 0, &text, ATL_BASE64_FLAG_NONE, KELU_ERR_BASE64_ENCODE},
      {nullptr, 0, &text, ATL_BASE64_FLAG_NOCRLF, KELU_ERR_BASE64_ENCODE},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(Base64EncodeEx(c.data, c.size, c.out, &length, c.flags), c.rc)
        << "size " << c.size << ", flags " << c.flags;
    EXPECT_EQ(text, reinterpret_cast<char *>(0x1));
    EXPECT_EQ(length, -7);
  }
}

TEST(Base64EncodeEx, LengthOutputIsOptional) {
  const unsigned char data[] = {'f', 'o', 'o'};
  char *text = nullptr;
  ASSERT_EQ(Base64EncodeEx(data, 3, &text, nullptr, ATL_BASE64_FLAG_NOCRLF), KELU_OK);
  EXPECT_STREQ(text, "Zm9v");
  delete[] text;
}

// The largest sizes whose text still fits an int are measured, not refused.
TEST(Base64Encode, LargestSizeWithinInt) {
  for (unsigned long flags : kAllFlags) {
    int lo = 0, hi = INT_MAX;
    while (lo < hi) {  // the largest size with a length
      const int mid = static_cast<int>(lo + (int64_t{hi} - lo + 1) / 2);
      if (Base64EncodeGetRequiredLength(mid, flags) >= 0)
        lo = mid;
      else
        hi = mid - 1;
    }
    EXPECT_GT(lo, 1500000000) << "flags " << flags;
    EXPECT_LE(Base64EncodeGetRequiredLength(lo, flags), INT_MAX);
    EXPECT_EQ(Base64EncodeGetRequiredLength(lo + 1, flags), -1);
  }
}

TEST(Base64Encode, CapacityIsNeverExceeded) {
  const Bytes data = RandomBytes(57);
  std::vector<char> dest(100, '#');
  for (int capacity : {0, 3, 75, 77}) {
    int length = capacity;
    EXPECT_FALSE(Base64Encode(data.data(), 57, dest.data(), &length, ATL_BASE64_FLAG_NONE))
        << "capacity " << capacity;
    EXPECT_EQ(dest[static_cast<size_t>(capacity)], '#') << "capacity " << capacity;
  }
  int length = 78;
  EXPECT_TRUE(Base64Encode(data.data(), 57, dest.data(), &length, ATL_BASE64_FLAG_NONE));
  EXPECT_EQ(length, 78);
  EXPECT_EQ(dest[78], '#') << "no NUL is written";
}

// The decoder never refuses a text: what is not in the alphabet is skipped, '=' included.
TEST(Base64Decode, SkipsEverythingOutsideTheAlphabet) {
  struct Case {
    std::string text;
    const char *hex;
  };
  const Case cases[] = {
      {"QQ==", "41"},
      {"QQ", "41"},
      {"Q Q", "41"},
      {"QQ\r\n==", "41"},
      {"Q", ""},
      {"QQ==QUJD", "41041424"},  // '=' ends neither a group nor the text
      {"QU=JD", "414243"},
      {"=QUJD", "414243"},
      {"Q\tU\nJ\rD", "414243"},
      {" \r\n QUJD \r\n", "414243"},
      {"QU-J_D", "414243"},  // no URL-safe alphabet
      {"QU\xC3\xA9JD", "414243"},  // bytes of 0x80 and above
      {"QU\xFF\x80JD", "414243"},
      {"!!!***", ""},
      {"====", ""},
      {std::string("\0QUJD", 5), ""},  // a NUL before a group ends the text
      {std::string("QUJD\0QUJD", 9), "414243"},
      {std::string("QU\0JD", 5), "414243"},  // inside a group it is skipped
      {"QUI", "4142"},
      {"QUJ", "4142"},  // trailing bits that are not zero are dropped
      {"QR", "41"},
  };
  for (const auto &c : cases) {
    Decoded d = Decode(c.text);
    EXPECT_EQ(d.rc, KELU_OK) << c.text;
    EXPECT_EQ(kelu::test::ToHex(d.bytes), c.hex) << c.text;
  }
}

TEST(Base64Decode, EveryCharacterOfTheAlphabet) {
  const std::string alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (unsigned int ch = 0; ch < 256; ++ch) {
    const size_t at = alphabet.find(static_cast<char>(ch));
    EXPECT_EQ(DecodeBase64Char(ch), at == std::string::npos ? -1 : static_cast<int>(at)) << ch;
  }
  EXPECT_EQ(DecodeBase64Char(static_cast<unsigned int>(static_cast<signed char>(0xC3))), -1)
      << "a sign-extended byte";
  EXPECT_EQ(DecodeBase64Char(UINT_MAX), -1);
}

TEST(Base64DecodeEx, RefusedArguments) {
  unsigned char *bytes = reinterpret_cast<unsigned char *>(0x1);
  int length = -7;
  EXPECT_EQ(Base64DecodeEx("QUJD", 0, &bytes, &length), KELU_ERR_BASE64_DECODE);
  EXPECT_EQ(Base64DecodeEx("QUJD", -4, &bytes, &length), KELU_ERR_BASE64_DECODE);
  EXPECT_EQ(Base64DecodeEx(nullptr, 4, &bytes, &length), KELU_ERR_INVALID_PARAMETER);
  EXPECT_EQ(Base64DecodeEx("QUJD", 4, nullptr, &length), KELU_ERR_INVALID_PARAMETER);
  EXPECT_EQ(Base64DecodeEx("QUJD", 4, &bytes, nullptr), KELU_ERR_INVALID_PARAMETER);
  EXPECT_EQ(bytes, reinterpret_cast<unsigned char *>(0x1));
  EXPECT_EQ(length, -7);
}

TEST(Base64Decode, SizeQueryAndCapacity) {
  int length = 0;
  EXPECT_FALSE(Base64Decode("QUJDRA==", 8, nullptr, &length)) << "a size query";
  EXPECT_EQ(length, 4);

  unsigned char dest[8];
  std::memset(dest, '#', sizeof dest);
  length = 2;
  EXPECT_FALSE(Base64Decode("QUJDRA==", 8, dest, &length));
  EXPECT_EQ(length, 4) << "the total goes on counting";
  EXPECT_EQ(dest[0], '#') << "a group that does not fit is not written";

  length = 3;
  EXPECT_FALSE(Base64Decode("QUJDRA==", 8, dest, &length));
  EXPECT_EQ(std::string(reinterpret_cast<char *>(dest), 4), "ABC#");

  length = 4;
  EXPECT_TRUE(Base64Decode("QUJDRA==", 8, dest, &length));
  EXPECT_EQ(std::string(reinterpret_cast<char *>(dest), 4), "ABCD");
}

// Random texts of any bytes are decoded, never refused, into at most 3/4 of their length.
TEST(Base64Decode, RandomTextsAreNeverRefused) {
  for (int round = 0; round < 500; ++round) {
    Bytes noise = RandomBytes(1 + static_cast<size_t>(round));
    std::string text(noise.begin(), noise.end());
    Decoded d = Decode(text);
    EXPECT_EQ(d.rc, KELU_OK);
    EXPECT_LE(d.bytes.size() * 4, text.size() * 3);
  }
}

}  // namespace

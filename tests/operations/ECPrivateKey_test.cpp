// The ECPrivateKey node encoder.
#include <gtest/gtest.h>
#include <openssl/err.h>

#include <memory>
#include <regex>
#include <string>

#include "ASN1EngineEx.h"
#include "KeluErrors.h"
#include "SMFileCertOperations.h"
#include "TestSupport.h"

namespace {

using kelu::test::Bytes;
using kelu::test::FromHex;
using kelu::test::TempDir;
using kelu::test::ToHex;

constexpr char kSM2Curve[] = "1.2.156.10197.1.301";

struct Der {
  int result;
  Bytes bytes;
};

Der Encode(int version, const char *curve, const Bytes &key, const Bytes &x, const Bytes &y) {
  unsigned char *der = nullptr;
  int size = -3;
  int result = EncodeECPrivateKey(version, curve, key.data(), static_cast<int>(key.size()),
                                  x.data(), static_cast<int>(x.size()), y.data(),
                                  static_cast<int>(y.size()), &der, &size);
  Der out{result, {}};
  if (result == KELU_OK) {
    out.bytes.assign(der, der + size);
  } else {
    EXPECT_EQ(der, nullptr);
    EXPECT_EQ(size, -3);
  }
  delete[] der;
  return out;
}

Bytes Filled(uint8_t first, uint8_t rest) {
  Bytes b(32, rest);
  b[0] = first;
  return b;
}

TEST(EncodeECPrivateKey, LayoutOfTheFourElements) {
  struct Case {
    const char *name;
    int version;
    uint8_t key_first;
    const char *version_and_key_header;
  };
  const Case kCases[] = {
      {"top bit clear", 1, 0x7F, "020101" "0220"},
      {"top bit set gets a zero in front", 1, 0x80, "020101" "022100"},
      {"version keeps its low byte", 257, 0x01, "020101" "0220"},
      {"version 0", 0, 0x00, "020100" "0220"},
  };
  Bytes x = Filled(0xA1, 0x11);
  Bytes y = Filled(0xB2, 0x22);
  TempDir dir;
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.name);
    Bytes key = Filled(c.key_first, 0x33);
    Der der = Encode(c.version, kSM2Curve, key, x, y);
    ASSERT_EQ(der.result, KELU_OK);
    std::string body = std::string(c.version_and_key_header) + ToHex(key) +
                       "A00A" "06082A811CCF5501822D" + "A144" "034200" "04" + ToHex(x) + ToHex(y);
    std::string length = ToHex({static_cast<uint8_t>(body.size() / 2)});
    EXPECT_EQ(ToHex(der.bytes), "30" + length + body);

    std::string path = dir.File("key.der");
    kelu::test::WriteBinaryFile(path, der.bytes);
    auto parsed = kelu::test::RunCommand("openssl asn1parse -inform DER -in " + path);
    EXPECT_EQ(parsed.exit_code, 0) << parsed.output;
    // Leading zero bytes of the key stay, so such a key is not a minimal INTEGER.
    std::string shown = key[0] == 0x00 ? "BAD INTEGER:\\[" + ToHex(key) + "\\]" : ToHex(key);
    EXPECT_TRUE(std::regex_search(parsed.output, std::regex("INTEGER +:" + shown)))
        << "the private key is an INTEGER\n" << parsed.output;
    EXPECT_NE(parsed.output.find(":sm2"), std::string::npos) << parsed.output;
  }
}

// Apart from the INTEGER tag of the key, the structure is the one OpenSSL writes for an EC key.
TEST(EncodeECPrivateKey, MatchesOpenSslWithTheKeyTagChanged) {
  TempDir dir;
  std::string d = kelu::test::ShellQuote(dir.path());
  Bytes reference;
  for (int attempt = 0; attempt < 32; ++attempt) {
    auto made = kelu::test::RunCommand(
        "cd " + d + " && openssl ecparam -name prime256v1 -genkey -noout -out key.pem && "
        "openssl ec -in key.pem -outform DER -out key.der");
    ASSERT_EQ(made.exit_code, 0) << made.output;
    reference = kelu::test::ReadBinaryFile(dir.File("key.der"));
    ASSERT_EQ(reference.size(), 121u);
    if ((reference[7] & 0x80) == 0) break;  // a key the INTEGER holds without a prefix
  }
  ASSERT_EQ(reference[7] & 0x80, 0);
  Bytes key(reference.begin() + 7, reference.begin() + 39);
  Bytes x(reference.begin() + 57, reference.begin() + 89);
  Bytes y(reference.begin() + 89, reference.begin() + 121);

  Der der = Encode(1, "1.2.840.10045.3.1.7", key, x, y);
  ASSERT_EQ(der.result, KELU_OK);
  ASSERT_EQ(der.bytes.size(), reference.size());
  EXPECT_EQ(der.bytes[5], 0x02);
  der.bytes[5] = 0x04;
  EXPECT_TRUE(der.bytes == reference);
}

TEST(ConstructNode_ECPrivateKey, TreeShapeAndFailures) {
  Bytes key = Filled(0x80, 0x01);
  Bytes x = Filled(0x01, 0x02);
  Bytes y = Filled(0x03, 0x04);
  NodeEx *root = nullptr;
  ASSERT_EQ(ConstructNode_ECPrivateKey(1, kSM2Curve, key.data(), 32, x.data(), 32, y.data(), 32,
                                       &root),
            KELU_OK);
  std::unique_ptr<NodeEx> owner(root);
  ASSERT_EQ(root->vetNodes.size(), 4u);
  EXPECT_EQ(root->vetNodes[1]->ValueLength, 33u);
  EXPECT_EQ(root->vetNodes[2]->Tag, 0xA0);
  ASSERT_EQ(root->vetNodes[3]->vetNodes.size(), 1u);
  EXPECT_EQ(root->vetNodes[3]->vetNodes[0]->Tag, 0x03);
  EXPECT_EQ(root->vetNodes[3]->vetNodes[0]->ValueLength, 66u);

  NodeEx *untouched = nullptr;
  EXPECT_EQ(ConstructNode_ECPrivateKey(1, "sm2 curve", key.data(), 32, x.data(), 32, y.data(), 32,
                                       &untouched),
            KELU_ERR_FAILED);
  EXPECT_EQ(ConstructNode_ECPrivateKey(1, kSM2Curve, nullptr, 32, x.data(), 32, y.data(), 32,
                                       &untouched),
            KELU_ERR_FAILED);
  EXPECT_EQ(ConstructNode_ECPrivateKey(1, kSM2Curve, key.data(), 0, x.data(), 32, y.data(), 32,
                                       &untouched),
            KELU_ERR_FAILED);
  EXPECT_EQ(ConstructNode_ECPrivateKey(1, kSM2Curve, key.data(), 32, nullptr, 32, y.data(), 32,
                                       &untouched),
            KELU_ERR_FAILED);
  EXPECT_EQ(ConstructNode_ECPrivateKey(1, kSM2Curve, key.data(), 32, x.data(), 32, y.data(), -1,
                                       &untouched),
            KELU_ERR_FAILED);
  EXPECT_EQ(untouched, nullptr);
  EXPECT_EQ(Encode(1, "1.x", key, x, y).result, KELU_ERR_FAILED);
  ERR_clear_error();
}

}  // namespace

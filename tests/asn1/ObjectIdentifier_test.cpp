// Object identifiers and AlgorithmIdentifiers from dotted text, and dotted text from NIDs.
#include <gtest/gtest.h>
#include <openssl/asn1.h>
#include <openssl/err.h>

#include <string>

#include "Asn1TestHelpers.h"
#include "CMSEnvelopeOperations.h"
#include "KeluErrors.h"
#include "NodeValues.h"
#include "TestSupport.h"

namespace {

using asn1test::NodePtr;
using kelu::test::Bytes;
using kelu::test::FromHex;
using kelu::test::TempDir;
using kelu::test::ToHex;

// The OBJECT IDENTIFIER TLV that `openssl asn1parse -genstr` makes of the text.
std::string OpenSslOidTlv(const TempDir &dir, const std::string &oid) {
  std::string out = dir.File("oid.der");
  auto run = kelu::test::RunCommand("openssl asn1parse -noout -genstr " +
                                    kelu::test::ShellQuote("OID:" + oid) + " -out " +
                                    kelu::test::ShellQuote(out));
  EXPECT_EQ(run.exit_code, 0) << run.output;
  return ToHex(kelu::test::ReadBinaryFile(out));
}

struct Encoded {
  int result;
  std::string hex;
};

Encoded EncodeOid(const char *oid, bool tlv) {
  unsigned char *out = nullptr;
  int size = -7;
  int result = Encode_ObjectIdentifier(oid, &out, &size, tlv);
  Encoded encoded{result, out != nullptr ? ToHex(out, size) : ""};
  if (result != KELU_OK) {
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(size, -7) << "outputs are written only on success";
  }
  delete[] out;
  ERR_clear_error();
  return encoded;
}

TEST(Encode_ObjectIdentifier, ContentAndTlvMatchOpenSsl) {
  struct Case {
    const char *oid;
    const char *content;
  };
  const Case kCases[] = {
      {"1.2.156.10197.1.301.3", "2A811CCF5501822D03"},
      {"1.2.156.10197.6.1.4.2.3", "2A811CCF550601040203"},
      {"1.2.156.10197.1.104", "2A811CCF550168"},
      {"1.2.840.113549.1.7.3", "2A864886F70D010703"},
      {"2.999.1", "883701"},
      {"0.0", "00"},
  };
  TempDir dir;
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.oid);
    Encoded content = EncodeOid(c.oid, false);
    ASSERT_EQ(content.result, KELU_OK);
    EXPECT_EQ(content.hex, c.content);
    Encoded tlv = EncodeOid(c.oid, true);
    ASSERT_EQ(tlv.result, KELU_OK);
    EXPECT_EQ(tlv.hex, OpenSslOidTlv(dir, c.oid));
  }
}

TEST(Encode_ObjectIdentifier, TextThatIsNoOidFails) {
  for (const char *text : {"abc", "1", "", "1.2.abc", "3.1"}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(EncodeOid(text, false).result, KELU_ERR_FAILED);
    EXPECT_EQ(EncodeOid(text, true).result, KELU_ERR_FAILED);
  }
  EXPECT_EQ(EncodeOid(nullptr, true).result, KELU_ERR_FAILED);
}

TEST(Encode_AlgorithmIdentifier, WithAndWithoutParameters) {
  struct Case {
    const char *params;
    bool tlv;
    const char *expected;
  };
  const Case kCases[] = {
      {"0500", true, "300D06092A864886F70D0101010500"},
      {"", true, "300B06092A864886F70D010101"},
      {"0500", false, "06092A864886F70D0101010500"},
      {"0410000102030405060708090A0B0C0D0E0F", true,
       "301D06092A864886F70D010101" "0410000102030405060708090A0B0C0D0E0F"},
  };
  TempDir dir;
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.expected);
    Bytes params = FromHex(c.params);
    unsigned char *out = nullptr;
    int size = 0;
    ASSERT_EQ(Encode_AlgorithmIdentifier("1.2.840.113549.1.1.1",
                                         params.empty() ? nullptr : params.data(),
                                         static_cast<int>(params.size()), &out, &size, c.tlv),
              KELU_OK);
    Bytes der(out, out + size);
    delete[] out;
    EXPECT_EQ(ToHex(der), c.expected);
    if (c.tlv) {
      std::string path = dir.File("alg.der");
      kelu::test::WriteBinaryFile(path, der);
      auto parsed = asn1test::RunAsn1Parse(path);
      EXPECT_EQ(parsed.exit_code, 0) << parsed.output;
      EXPECT_NE(parsed.output.find("rsaEncryption"), std::string::npos) << parsed.output;
    }
  }
}

TEST(Encode_AlgorithmIdentifier, RefusesBadParametersAndOids) {
  Bytes params = FromHex("0500");
  unsigned char *out = nullptr;
  int size = 0;
  EXPECT_EQ(Encode_AlgorithmIdentifier("1.2.3", nullptr, 2, &out, &size, true), KELU_ERR_FAILED);
  EXPECT_EQ(Encode_AlgorithmIdentifier("1.2.3", params.data(), -1, &out, &size, true),
            KELU_ERR_FAILED);
  EXPECT_EQ(Encode_AlgorithmIdentifier("x", params.data(), 2, &out, &size, true),
            KELU_ERR_FAILED);
  EXPECT_EQ(Encode_AlgorithmIdentifier("1.2.3", params.data(), 2, nullptr, &size, true),
            KELU_ERR_FAILED);
  EXPECT_EQ(out, nullptr);
  ERR_clear_error();
}

TEST(ConstructNode, LeavesHoldTheirContent) {
  NodeEx *oid = nullptr;
  ASSERT_EQ(ConstructNode_ObjectIdentifier("1.2.156.10197.1.301.3", &oid), KELU_OK);
  NodeEx *alg = nullptr;
  Bytes null_params = FromHex("0500");
  ASSERT_EQ(ConstructNode_AlgorithmIdentifier("1.2.840.113549.1.1.1", null_params.data(), 2, &alg),
            KELU_OK);
  EXPECT_EQ(oid->Tag, 0x06);
  EXPECT_EQ(oid->ValueLength, 9u);
  EXPECT_EQ(oid->CurrentValueLength, 9u);
  EXPECT_EQ(ToHex(oid->pValue, 9), "2A811CCF5501822D03");
  EXPECT_EQ(alg->Tag, 0x30);
  EXPECT_TRUE(alg->vetNodes.empty());
  EXPECT_EQ(alg->ValueLength, 13u);

  NodePtr parent(asn1test::Parent(0x30, {oid, alg}));
  EXPECT_EQ(parent->ValueLength, (2u + 9u) + (2u + 13u));
  asn1test::Encoded der = asn1test::ToMemory(parent.get());
  ASSERT_EQ(der.result, KELU_OK);
  EXPECT_EQ(ToHex(der.der), "301A" "06092A811CCF5501822D03" "300D06092A864886F70D0101010500");

  NodeEx *untouched = nullptr;
  EXPECT_EQ(ConstructNode_ObjectIdentifier("not.an.oid", &untouched), KELU_ERR_FAILED);
  EXPECT_EQ(ConstructNode_AlgorithmIdentifier("1", nullptr, 0, &untouched), KELU_ERR_FAILED);
  EXPECT_EQ(untouched, nullptr);
  ERR_clear_error();
}

TEST(GetOIDFromNID, LibraryAndToolkitIdentifiers) {
  struct Case {
    int nid;
    const char *oid;
  };
  const Case kCases[] = {
      {44, "1.2.840.113549.3.7"},       {5, "1.2.840.113549.3.4"},
      {427, "2.16.840.1.101.3.4.1.42"}, {920, "1.2.156.10197.1.301"},
      {923, "1.2.156.10197.1.104"},     {924, "1.2.156.10197.1.501"},
      {927, "1.2.156.10197.1.301.1"},   {930, "1.2.156.10197.6.1.4.2.2"},
  };
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.nid);
    char *text = nullptr;
    int length = 0;
    ASSERT_EQ(GetOIDFromNID(c.nid, &text, &length), KELU_OK);
    EXPECT_STREQ(text, c.oid);
    EXPECT_EQ(length, static_cast<int>(strlen(c.oid)));
    delete[] text;
  }
  for (int nid : {929, -1, 0, 99999}) {
    SCOPED_TRACE(nid);
    char *text = nullptr;
    int length = -5;
    EXPECT_EQ(GetOIDFromNID(nid, &text, &length), KELU_ERR_FAILED);
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(length, -5);
  }
  ERR_clear_error();
}

// Which content octets are an OBJECT IDENTIFIER's: what OpenSSL's BER reader of one takes, up
// to 1024 octets.
TEST(IsObjectIdentifierContent, AsOpensslReadsOne) {
  struct Case {
    const char *what;
    std::string hex;
    bool want, openssl;
  };
  const Case kCases[] = {
      {"messageDigest", "2A864886F70D010904", true, true},
      {"one octet", "00", true, true},
      {"1024 octets", std::string(2048, '1'), true, true},
      {"the last arc padded", "2A864886F70D01098004", false, false},
      {"the first arc padded", "800102", false, false},
      {"the last arc cut short", "2A86", false, false},
      {"no octets", "", false, false},
      {"1025 octets", std::string(2050, '1'), false, true},
  };
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.what);
    const Bytes content = FromHex(c.hex);
    EXPECT_EQ(kelu::asn1::IsObjectIdentifierContent(content.data(), content.size()), c.want);
    const size_t n = content.size();
    Bytes tlv = n < 128 ? Bytes{0x06, static_cast<uint8_t>(n)}
                        : Bytes{0x06, 0x82, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
    tlv.insert(tlv.end(), content.begin(), content.end());
    const unsigned char *p = tlv.data();
    ASN1_OBJECT *object = d2i_ASN1_OBJECT(nullptr, &p, static_cast<long>(tlv.size()));
    EXPECT_EQ(object != nullptr, c.openssl) << "OpenSSL's reading";
    ASN1_OBJECT_free(object);
  }
  ERR_clear_error();
}

}  // namespace

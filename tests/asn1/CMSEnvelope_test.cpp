// CMS EnvelopedData: the toolkit's envelopes opened by `openssl cms -decrypt`, OpenSSL's
// envelopes (DER and BER) taken apart by the toolkit's parsers from memory and from a file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "Asn1TestHelpers.h"
#include "CMSEnvelopeOperations.h"
#include "KeluErrors.h"
#include "MessageTestSupport.h"

namespace {

using asn1test::FilePtr;
using asn1test::NodePtr;
using kelu::test::Bytes;
using kelu::test::FromHex;
using kelu::test::RandomBytes;
using kelu::test::ReadBinaryFile;
using kelu::test::TempDir;
using kelu::test::ToHex;
using kelu::test::WriteBinaryFile;
using msgtest::MustRun;
using msgtest::Out;
using msgtest::Pki;
using msgtest::Q;

constexpr char kEnvelopedData[] = "1.2.840.113549.1.7.3";
constexpr char kData[] = "1.2.840.113549.1.7.1";
constexpr char kRsaEncryption[] = "1.2.840.113549.1.1.1";
constexpr char kDesEde3Cbc[] = "1.2.840.113549.3.7";

Bytes OctetStringTlv(const Bytes &value) {
  Bytes tlv(2 + value.size());
  tlv[0] = 0x04;
  tlv[1] = static_cast<uint8_t>(value.size());
  std::copy(value.begin(), value.end(), tlv.begin() + 2);
  return tlv;
}

struct Envelope {
  int result = -7;
  Bytes der;
};

Envelope Encode(const Bytes &key_id, const Bytes &encrypted_key, const char *content_oid,
                const Bytes &parameters, const Bytes *content, int content_count,
                const char *outer = kEnvelopedData) {
  Out<unsigned char> out;
  Envelope e;
  e.result = Encode_CMSEnvelope(outer, key_id.data(), static_cast<int>(key_id.size()),
                                kRsaEncryption, encrypted_key.data(),
                                static_cast<int>(encrypted_key.size()), kData, content_oid,
                                parameters.data(), static_cast<int>(parameters.size()),
                                content != nullptr ? content->data() : nullptr, content_count,
                                &out.data, &out.size);
  if (e.result == KELU_OK) e.der = out.bytes();
  return e;
}

// Everything the two parsers hand out.
struct Parsed {
  int result = -7;
  Bytes key_id, encrypted_key, parameters, content;
  std::string key_oid, content_oid;
  bool parameters_null = false;
  size_t content_segments = 0;
};

Parsed ParseMemory(const Bytes &der) {
  Out<unsigned char> key_id, key, content, parameters;
  Out<char> key_oid, content_oid;
  Parsed p;
  p.result = Decode_CMSEnvelopeData(der.data(), static_cast<int>(der.size()), &key_id.data,
                                    &key_id.size, &key.data, &key.size, &content.data,
                                    &content.size, &key_oid.data, &key_oid.size,
                                    &content_oid.data, &content_oid.size, &parameters.data,
                                    &parameters.size);
  if (p.result != KELU_OK) {
    EXPECT_EQ(key_id.data, nullptr) << "nothing is handed out on failure";
    EXPECT_EQ(content.data, nullptr);
    return p;
  }
  EXPECT_EQ(content.data[content.size], 0) << "the content is followed by a NUL";
  EXPECT_EQ(key_oid.data[key_oid.size], 0);
  p.key_id = key_id.bytes();
  p.encrypted_key = key.bytes();
  p.content = content.bytes();
  p.parameters = parameters.bytes();
  p.parameters_null = parameters.data == nullptr;
  p.key_oid = key_oid.text();
  p.content_oid = content_oid.text();
  return p;
}

// The content through the node, read as the file envelopes' callers read it.
Bytes ReadContentNode(const NodeEx &node, FILE *file) {
  Bytes content;
  auto read = [&](const NodeEx &n) {
    Bytes chunk(n.ValueLength);
    EXPECT_EQ(fseeko(file, static_cast<off_t>(n.ValueStartPosition), SEEK_SET), 0);
    EXPECT_EQ(std::fread(chunk.data(), 1, chunk.size(), file), chunk.size());
    content.insert(content.end(), chunk.begin(), chunk.end());
  };
  if (node.vetNodes.empty()) {
    read(node);
  } else {
    for (const NodeEx *segment : node.vetNodes) {
      EXPECT_TRUE(segment->vetNodes.empty()) << "segments are primitive";
      read(*segment);
    }
  }
  return content;
}

Parsed ParseFile(const std::string &path) {
  FilePtr file = asn1test::OpenForReading(path);
  // The parser must put the position back: start somewhere else than 0.
  EXPECT_EQ(fseeko(file.get(), 3, SEEK_SET), 0);
  Out<unsigned char> key_id, key, parameters;
  Out<char> key_oid, content_oid;
  NodeEx *content_node = nullptr;
  Parsed p;
  p.result = Decode_CMSEnvelopeFile(file.get(), &key_id.data, &key_id.size, &key.data, &key.size,
                                    &content_node, &key_oid.data, &key_oid.size,
                                    &content_oid.data, &content_oid.size, &parameters.data,
                                    &parameters.size);
  EXPECT_EQ(ftello(file.get()), 3) << "the file position is put back";
  NodePtr node(content_node);
  if (p.result != KELU_OK) {
    EXPECT_EQ(content_node, nullptr);
    return p;
  }
  EXPECT_NE(parameters.data, nullptr) << "the file parser hands out a buffer even when empty";
  p.key_id = key_id.bytes();
  p.encrypted_key = key.bytes();
  p.parameters = parameters.bytes();
  p.key_oid = key_oid.text();
  p.content_oid = content_oid.text();
  p.content_segments = node->vetNodes.size();
  p.content = ReadContentNode(*node, file.get());
  return p;
}

void ExpectSameFields(const Parsed &memory, const Parsed &file) {
  EXPECT_EQ(file.key_id, memory.key_id);
  EXPECT_EQ(file.encrypted_key, memory.encrypted_key);
  EXPECT_EQ(file.parameters, memory.parameters);
  EXPECT_EQ(file.content, memory.content);
  EXPECT_EQ(file.key_oid, memory.key_oid);
  EXPECT_EQ(file.content_oid, memory.content_oid);
}

// The content key and content of an RSA / DES-EDE3-CBC envelope, opened with openssl.
Bytes OpenWithOpenSsl(const TempDir &dir, const Parsed &p) {
  const Pki &pki = Pki::Get();
  WriteBinaryFile(dir.File("ek.bin"), p.encrypted_key);
  MustRun("openssl pkeyutl -decrypt -inkey " + Q(pki.rsa_key) + " -in " + Q(dir.File("ek.bin")) +
          " -out " + Q(dir.File("key.bin")));
  Bytes key = ReadBinaryFile(dir.File("key.bin"));
  WriteBinaryFile(dir.File("content.bin"), p.content);
  MustRun("openssl enc -d -des-ede3-cbc -K " + ToHex(key) + " -iv " + ToHex(p.parameters) +
          " -in " + Q(dir.File("content.bin")) + " -out " + Q(dir.File("plain.bin")));
  return ReadBinaryFile(dir.File("plain.bin"));
}

// The parts of an RSA envelope made with openssl: key, IV, content and encrypted key.
struct OpenSslParts {
  Bytes data, iv, encrypted_content, encrypted_key;
};

OpenSslParts MakeParts(const TempDir &dir, size_t data_size) {
  const Pki &pki = Pki::Get();
  OpenSslParts parts;
  parts.data = RandomBytes(data_size);
  Bytes key = RandomBytes(24);
  parts.iv = RandomBytes(8);
  WriteBinaryFile(dir.File("data.bin"), parts.data);
  WriteBinaryFile(dir.File("cek.bin"), key);
  MustRun("openssl enc -des-ede3-cbc -K " + ToHex(key) + " -iv " + ToHex(parts.iv) + " -in " +
          Q(dir.File("data.bin")) + " -out " + Q(dir.File("enc.bin")));
  MustRun("openssl pkeyutl -encrypt -certin -inkey " + Q(pki.rsa_cert) + " -in " +
          Q(dir.File("cek.bin")) + " -out " + Q(dir.File("ek.bin")));
  parts.encrypted_content = ReadBinaryFile(dir.File("enc.bin"));
  parts.encrypted_key = ReadBinaryFile(dir.File("ek.bin"));
  return parts;
}

TEST(Encode_CMSEnvelope, OpenSslDecryptsTheToolkitsRsaEnvelope) {
  const Pki &pki = Pki::Get();
  TempDir dir;
  for (size_t size : {1u, 1000u, 70000u}) {
    SCOPED_TRACE(size);
    OpenSslParts parts = MakeParts(dir, size);
    Envelope e = Encode(pki.subject_key_id, parts.encrypted_key, kDesEde3Cbc,
                        OctetStringTlv(parts.iv), &parts.encrypted_content,
                        static_cast<int>(parts.encrypted_content.size()));
    ASSERT_EQ(e.result, KELU_OK);
    std::string path = dir.File("env.der");
    WriteBinaryFile(path, e.der);

    // asn1parse reads the same tree the toolkit's decoder reads.
    asn1test::Asn1Parse listed = asn1test::RunAsn1Parse(path);
    ASSERT_EQ(listed.exit_code, 0) << listed.output;
    NodeEx *root = nullptr;
    ASSERT_EQ(DecodeASN1MemoryEx(e.der.data(), e.der.size(), &root), 0);
    NodePtr tree(root);
    std::vector<asn1test::Listed> ours;
    asn1test::ListTree(*tree, 0, e.der, &ours);
    EXPECT_EQ(ours, listed.lines);

    MustRun("openssl cms -decrypt -inform DER -in " + Q(path) + " -recip " + Q(pki.rsa_cert) +
            " -inkey " + Q(pki.rsa_key) + " -out " + Q(dir.File("opened.bin")));
    EXPECT_EQ(ReadBinaryFile(dir.File("opened.bin")), parts.data);

    // The header-only form plus the appended bytes is the same envelope.
    Envelope header = Encode(pki.subject_key_id, parts.encrypted_key, kDesEde3Cbc,
                             OctetStringTlv(parts.iv), nullptr,
                             static_cast<int>(parts.encrypted_content.size()));
    ASSERT_EQ(header.result, KELU_OK);
    header.der.insert(header.der.end(), parts.encrypted_content.begin(),
                      parts.encrypted_content.end());
    EXPECT_EQ(header.der, e.der);
  }
}

TEST(Encode_CMSEnvelope, RoundTripOfTheSm2Profile) {
  Bytes key_id = RandomBytes(20), key = RandomBytes(112), iv = RandomBytes(16);
  Bytes content = RandomBytes(32);
  Out<unsigned char> out;
  ASSERT_EQ(Encode_CMSEnvelope("1.2.156.10197.6.1.4.2.3", key_id.data(), 20,
                               "1.2.156.10197.1.301.3", key.data(), 112, "1.2.156.10197.6.1.4.2.1",
                               "1.2.156.10197.1.104", OctetStringTlv(iv).data(), 18,
                               content.data(), 32, &out.data, &out.size),
            KELU_OK);
  TempDir dir;
  WriteBinaryFile(dir.File("sm2env.der"), out.bytes());
  Parsed memory = ParseMemory(out.bytes());
  ASSERT_EQ(memory.result, KELU_OK);
  EXPECT_EQ(memory.key_id, key_id);
  EXPECT_EQ(memory.encrypted_key, key);
  EXPECT_EQ(memory.parameters, iv);
  EXPECT_EQ(memory.content, content);
  EXPECT_EQ(memory.key_oid, "1.2.156.10197.1.301.3");
  EXPECT_EQ(memory.content_oid, "1.2.156.10197.1.104");
  Parsed file = ParseFile(dir.File("sm2env.der"));
  ASSERT_EQ(file.result, KELU_OK);
  ExpectSameFields(memory, file);
  EXPECT_EQ(asn1test::RunAsn1Parse(dir.File("sm2env.der")).exit_code, 0);
}

TEST(Encode_CMSEnvelope, HeaderOnlyEndsWithTheAnnouncedLength) {
  Bytes key_id = RandomBytes(20), key = RandomBytes(112);
  Envelope e = Encode(key_id, key, "1.2.156.10197.1.104.1", {0x05, 0x00}, nullptr, 1000);
  ASSERT_EQ(e.result, KELU_OK);
  ASSERT_GE(e.der.size(), 4u);
  EXPECT_EQ(ToHex(Bytes(e.der.end() - 4, e.der.end())), "808203E8");
  Bytes content = RandomBytes(1000);
  e.der.insert(e.der.end(), content.begin(), content.end());
  Parsed memory = ParseMemory(e.der);
  ASSERT_EQ(memory.result, KELU_OK);
  EXPECT_EQ(memory.content, content);
  EXPECT_TRUE(memory.parameters_null) << "NULL parameters give no buffer from memory";
  TempDir dir;
  WriteBinaryFile(dir.File("e.der"), e.der);
  Parsed file = ParseFile(dir.File("e.der"));
  ASSERT_EQ(file.result, KELU_OK);
  ExpectSameFields(memory, file);
  EXPECT_TRUE(file.parameters.empty());
}

TEST(Encode_CMSEnvelope, RefusesBadArguments) {
  Bytes key = RandomBytes(16);
  Out<unsigned char> out;
  EXPECT_EQ(Encode_CMSEnvelope(kEnvelopedData, nullptr, 20, kRsaEncryption, key.data(), 16, kData,
                               kDesEde3Cbc, nullptr, 0, key.data(), 16, &out.data, &out.size),
            KELU_ERR_FAILED);
  EXPECT_EQ(Encode_CMSEnvelope(kEnvelopedData, key.data(), 16, "not an oid", key.data(), 16,
                               kData, kDesEde3Cbc, nullptr, 0, key.data(), 16, &out.data,
                               &out.size),
            KELU_ERR_FAILED);
  EXPECT_EQ(Encode_CMSEnvelope(kEnvelopedData, key.data(), 16, kRsaEncryption, key.data(), -1,
                               kData, kDesEde3Cbc, nullptr, 0, key.data(), 16, &out.data,
                               &out.size),
            KELU_ERR_FAILED);
  Bytes large(0x3200000);
  EXPECT_EQ(Encode_CMSEnvelope(kEnvelopedData, key.data(), 16, kRsaEncryption, key.data(), 16,
                               kData, kDesEde3Cbc, nullptr, 0, large.data(),
                               static_cast<int>(large.size()), &out.data, &out.size),
            KELU_ERR_ASN1_TOO_LARGE);
  EXPECT_EQ(out.data, nullptr);
}

// Envelopes made by `openssl cms -encrypt -keyid -des3`, DER and (with -stream) BER.
TEST(Decode_CMSEnvelope, OpenSslEnvelopesFromMemoryAndFile) {
  const Pki &pki = Pki::Get();
  TempDir dir;
  Bytes data = RandomBytes(20000);
  WriteBinaryFile(dir.File("data.bin"), data);
  for (const char *stream : {"", " -stream"}) {
    SCOPED_TRACE(stream);
    std::string path = dir.File("openssl-env.der");
    MustRun(std::string("openssl cms -encrypt -keyid -des3 -binary") + stream + " -in " +
            Q(dir.File("data.bin")) + " -outform DER -out " + Q(path) + " " + Q(pki.rsa_cert));
    Bytes der = ReadBinaryFile(path);
    Parsed memory = ParseMemory(der);
    ASSERT_EQ(memory.result, KELU_OK);
    EXPECT_EQ(memory.key_id, pki.subject_key_id);
    EXPECT_EQ(memory.key_oid, kRsaEncryption);
    EXPECT_EQ(memory.content_oid, kDesEde3Cbc);
    EXPECT_EQ(memory.parameters.size(), 8u);
    EXPECT_EQ(OpenWithOpenSsl(dir, memory), data);
    Parsed file = ParseFile(path);
    ASSERT_EQ(file.result, KELU_OK);
    ExpectSameFields(memory, file);
    if (*stream != '\0') {
      EXPECT_GT(file.content_segments, 1u) << "the BER content comes in several segments";
    }
  }
}

TEST(Decode_CMSEnvelope, EnvelopesOfAnotherShapeAreRefused) {
  const Pki &pki = Pki::Get();
  TempDir dir;
  WriteBinaryFile(dir.File("data.bin"), RandomBytes(100));
  struct Case {
    const char *what;
    std::string flags, recipients;
  };
  const Case kCases[] = {
      {"recipient by issuer and serial", "", Q(pki.rsa_cert)},
      {"two recipients", " -keyid", Q(pki.rsa_cert) + " " + Q(pki.other_cert)},
  };
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.what);
    std::string path = dir.File("shape.der");
    MustRun("openssl cms -encrypt -des3 -binary" + c.flags + " -in " + Q(dir.File("data.bin")) +
            " -outform DER -out " + Q(path) + " " + c.recipients);
    EXPECT_EQ(ParseMemory(ReadBinaryFile(path)).result, KELU_ERR_ENVELOPE_FORMAT);
    EXPECT_EQ(ParseFile(path).result, KELU_ERR_ENVELOPE_FORMAT);
  }
  // A contentEncryptionAlgorithm without parameters.
  Envelope e = Encode(RandomBytes(20), RandomBytes(16), kDesEde3Cbc, {}, nullptr, 0);
  ASSERT_EQ(e.result, KELU_OK);
  EXPECT_EQ(ParseMemory(e.der).result, KELU_ERR_ENVELOPE_FORMAT);
}

TEST(Decode_CMSEnvelope, EveryTruncationFailsCleanly) {
  Bytes content = RandomBytes(40);
  Envelope e = Encode(RandomBytes(20), RandomBytes(64), kDesEde3Cbc, OctetStringTlv(RandomBytes(8)),
                      &content, 40);
  ASSERT_EQ(e.result, KELU_OK);
  TempDir dir;
  for (size_t n = 0; n < e.der.size(); ++n) {
    Bytes prefix(e.der.begin(), e.der.begin() + n);
    EXPECT_NE(ParseMemory(prefix).result, KELU_OK) << n;
    if (n % 16 == 0) {
      WriteBinaryFile(dir.File("cut.der"), prefix);
      EXPECT_NE(ParseFile(dir.File("cut.der")).result, KELU_OK) << n;
    }
  }
  EXPECT_EQ(Decode_CMSEnvelopeData(e.der.data(), -1, nullptr, nullptr, nullptr, nullptr, nullptr,
                                   nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
            KELU_ERR_FAILED);
}

// Hand-made BER variants: outer type unexamined, constructed content in one, two or nested
// segments, and an OID header in the long form.
TEST(Decode_CMSEnvelope, BerVariants) {
  const std::string key_transport =
      "311B"
      "3019"                          // KeyTransRecipientInfo
      "020102" "8002A1A2"             // version, rid
      "300D06092A864886F70D0101010500"
      "0401EE";                       // encrypted key
  const std::string algorithm = "300E06082A864886F70D0307" "0402B1B2";
  struct Case {
    const char *what;
    std::string content_info;  // EncryptedContentInfo content after its contentType
    std::string want;
    size_t file_segments;
  };
  const Case kCases[] = {
      {"primitive", algorithm + "8003C1C2C3", "C1C2C3", 0},
      {"one segment", algorithm + "A0050403C1C2C3", "C1C2C3", 1},
      {"two segments", algorithm + "A0080402C1C20402C3C4", "C1C2C3C4", 2},
      {"nested indefinite", algorithm + "A08024800401C10000040100" "0000", "C100", 2},
      {"empty constructed", algorithm + "A0800000", "", 1},
  };
  TempDir dir;
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.what);
    std::string eci = "06092A864886F70D010701" + c.content_info;
    std::string eci_tlv = "3080" + eci + "0000";
    std::string enveloped = "3080020102" + key_transport + eci_tlv + "0000";
    // Outer type pkcs7-data: not examined.
    std::string root = "308006092A864886F70D010701A080" + enveloped + "00000000";
    Bytes der = FromHex(root);
    Parsed memory = ParseMemory(der);
    ASSERT_EQ(memory.result, KELU_OK);
    EXPECT_EQ(ToHex(memory.content), c.want);
    EXPECT_EQ(ToHex(memory.key_id), "A1A2");
    WriteBinaryFile(dir.File("ber.der"), der);
    Parsed file = ParseFile(dir.File("ber.der"));
    ASSERT_EQ(file.result, KELU_OK);
    ExpectSameFields(memory, file);
    EXPECT_EQ(file.content_segments, c.file_segments);
  }
  // A segment that is no OCTET STRING.
  std::string bad = "308006092A864886F70D010703A0803080020102" + key_transport +
                    "308006092A864886F70D010701" + algorithm + "A0050203C1C2C3" +
                    "0000" "0000" "00000000";
  EXPECT_EQ(ParseMemory(FromHex(bad)).result, KELU_ERR_ENVELOPE_FORMAT);
  // An OBJECT IDENTIFIER header in the long form is read from its content octets.
  std::string long_oid = "3080020102" "311C" "301A" "020102" "8002A1A2"
                         "300E0681092A864886F70D0101010500" "0401EE" "3080"
                         "06092A864886F70D010701" + algorithm + "8001C1" "0000" "0000";
  Parsed parsed = ParseMemory(FromHex("308006092A864886F70D010703A080" + long_oid + "00000000"));
  ASSERT_EQ(parsed.result, KELU_OK);
  EXPECT_EQ(parsed.key_oid, kRsaEncryption);
}

TEST(Decode_CMSEnvelope, SkippedAndHalfGivenOutputs) {
  Bytes content = RandomBytes(10);
  Envelope e = Encode(RandomBytes(20), RandomBytes(16), kDesEde3Cbc, OctetStringTlv(RandomBytes(8)),
                      &content, 10);
  ASSERT_EQ(e.result, KELU_OK);
  Out<unsigned char> c;
  EXPECT_EQ(Decode_CMSEnvelopeData(e.der.data(), static_cast<int>(e.der.size()), nullptr, nullptr,
                                   nullptr, nullptr, &c.data, &c.size, nullptr, nullptr, nullptr,
                                   nullptr, nullptr, nullptr),
            KELU_OK);
  EXPECT_EQ(c.bytes(), content);
  Out<unsigned char> k;
  EXPECT_EQ(Decode_CMSEnvelopeData(e.der.data(), static_cast<int>(e.der.size()), &k.data, nullptr,
                                   nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                   nullptr, nullptr, nullptr),
            KELU_ERR_FAILED);
  EXPECT_EQ(k.data, nullptr);
}

}  // namespace

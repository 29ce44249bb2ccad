// PKCS#7 SignedData: the toolkit's RSA SignedData verified by `openssl cms/smime -verify`, and
// SignedData made by `openssl cms/smime -sign` taken apart by the toolkit's parsers.
#include <gtest/gtest.h>
#include <openssl/sha.h>
#include <openssl/x509.h>

#include <string>
#include <vector>

#include "../operations/Sm2SignedDataBuilder.h"
#include "CMSEnvelopeOperations.h"
#include "KeluErrors.h"
#include "LogCapture.h"
#include "MessageTestSupport.h"
#include "OsslPtr.h"
#include "PKCS7SignedDataOperations.h"
#include "Sm2Signatures.h"

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

constexpr char kSignedData[] = "1.2.840.113549.1.7.2";
constexpr char kData[] = "1.2.840.113549.1.7.1";
constexpr char kSha256[] = "2.16.840.1.101.3.4.2.1";
constexpr char kRsaEncryption[] = "1.2.840.113549.1.1.1";
constexpr char kMessageDigest[] = "1.2.840.113549.1.9.4";

Bytes Sha256(const Bytes &data) {
  Bytes digest(32);
  SHA256(data.data(), data.size(), digest.data());
  return digest;
}

Bytes Encode(NodeEx *node) {
  unsigned char *out = nullptr;
  int size = 0;
  int depth = 0;
  EXPECT_EQ(EncodeASN1ToMemory(node, &out, &size, &depth), KELU_OK);
  Bytes der(out, out + size);
  delete[] out;
  return der;
}

// Issuer Name and serialNumber DER of the leaf, as the crypto library encodes them.
void IssuerAndSerial(const Bytes &cert, Bytes *issuer, Bytes *serial) {
  const unsigned char *p = cert.data();
  kelu::X509Ptr x509(d2i_X509(nullptr, &p, static_cast<long>(cert.size())));
  ASSERT_TRUE(x509);
  unsigned char *der = nullptr;
  int n = i2d_X509_NAME(X509_get_issuer_name(x509.get()), &der);
  issuer->assign(der, der + n);
  OPENSSL_free(der);
  der = nullptr;
  n = i2d_ASN1_INTEGER(X509_get_serialNumber(x509.get()), &der);
  serial->assign(der, der + n);
  OPENSSL_free(der);
}

// The SignedData of the builders, with the signature value made by openssl over the DER of the
// signed attributes (as a SET) or over the content.
Bytes ToolkitRsaSignedData(const TempDir &dir, const Bytes &data, bool attached,
                           bool with_attributes) {
  const Pki &pki = Pki::Get();
  NodeEx *attributes = nullptr;
  Bytes to_sign = data;
  if (with_attributes) {
    Bytes content_type = FromHex("06092A864886F70D010701");
    Bytes digest = FromHex("0420" + ToHex(Sha256(data)));
    std::vector<NodeEx *> list(2, nullptr);
    EXPECT_EQ(ConstructNode_Attribute("1.2.840.113549.1.9.3", content_type.data(),
                                      static_cast<int>(content_type.size()), &list[0]),
              KELU_OK);
    EXPECT_EQ(ConstructNode_Attribute(kMessageDigest, digest.data(),
                                      static_cast<int>(digest.size()), &list[1]),
              KELU_OK);
    EXPECT_EQ(ConstructNode_SignedAttributes(&list, &attributes), KELU_OK);
    EXPECT_EQ(list[0], nullptr);
    EXPECT_EQ(list[1], nullptr);
    to_sign = Encode(attributes);
    to_sign[0] = 0x31;  // the signature covers the attributes as a SET OF
  }
  WriteBinaryFile(dir.File("tbs.bin"), to_sign);
  MustRun("openssl dgst -sha256 -sign " + Q(pki.rsa_key) + " -out " + Q(dir.File("sig.bin")) +
          " " + Q(dir.File("tbs.bin")));
  Bytes signature = ReadBinaryFile(dir.File("sig.bin"));
  Bytes issuer, serial;
  IssuerAndSerial(pki.cert_der, &issuer, &serial);
  NodeEx *ias = nullptr;
  EXPECT_EQ(ConstructNode_IssuerAndSerialNumber(issuer.data(), static_cast<int>(issuer.size()),
                                                serial.data(), static_cast<int>(serial.size()),
                                                &ias),
            KELU_OK);
  NodeEx *signer = nullptr;
  EXPECT_EQ(ConstructNode_SignerInfo(1, ias, kSha256, attributes, kRsaEncryption,
                                     signature.data(), static_cast<int>(signature.size()),
                                     SIGNATURE_ENCODED_OCTET_STRING, nullptr, &signer),
            KELU_OK);
  NodeEx *set = new NodeEx;
  set->Tag = 0x31;
  set->AddChild(signer);
  NodeEx *signed_data = nullptr;
  EXPECT_EQ(ConstructNode_SignedData(1, kSha256, kData, data.data(),
                                     static_cast<int>(data.size()), nullptr, attached,
                                     pki.cert_der.data(), static_cast<int>(pki.cert_der.size()),
                                     set, &signed_data),
            KELU_OK);
  NodeEx *root = nullptr;
  EXPECT_EQ(ConstructNode_ContentInfo(kSignedData, signed_data, &root), KELU_OK);
  NodePtr tree(root);
  return Encode(root);
}

TEST(PKCS7SignedData, OpenSslVerifiesTheToolkitsRsaSignedData) {
  const Pki &pki = Pki::Get();
  TempDir dir;
  Bytes data = RandomBytes(3000);
  WriteBinaryFile(dir.File("data.bin"), data);
  for (bool attached : {false, true}) {
    for (bool with_attributes : {false, true}) {
      SCOPED_TRACE(std::string(attached ? "attached" : "detached") +
                   (with_attributes ? " with attributes" : ""));
      std::string path = dir.File("toolkit.p7");
      WriteBinaryFile(path, ToolkitRsaSignedData(dir, data, attached, with_attributes));
      EXPECT_EQ(asn1test::RunAsn1Parse(path).exit_code, 0);
      std::string content = attached ? "" : " -content " + Q(dir.File("data.bin"));
      for (const char *tool : {"cms", "smime"}) {
        SCOPED_TRACE(tool);
        std::string out = dir.File(std::string(tool) + ".out");
        MustRun(std::string("openssl ") + tool + " -verify -binary -inform DER -in " + Q(path) +
                " -CAfile " + Q(pki.ca_cert) + " -purpose any" + content + " -out " + Q(out));
        EXPECT_EQ(ReadBinaryFile(out), data);
      }
      Out<unsigned char> cert, sig, source, signed_attrs;
      ASSERT_EQ(ParsePKCS7Signature(ReadBinaryFile(path).data(),
                                    static_cast<int>(ReadBinaryFile(path).size()), &cert.data,
                                    &cert.size, &sig.data, &sig.size, &source.data, &source.size,
                                    nullptr, nullptr, nullptr, nullptr, &signed_attrs.data,
                                    &signed_attrs.size, nullptr, nullptr, 1),
                KELU_OK);
      EXPECT_EQ(cert.bytes(), pki.cert_der);
      EXPECT_EQ(sig.bytes(), ReadBinaryFile(dir.File("sig.bin")));
      EXPECT_EQ(source.bytes(), attached ? data : Bytes());
      EXPECT_EQ(signed_attrs.data != nullptr, with_attributes);
    }
  }
}

// The listing line of asn1parse for the element of the given length and kind.
struct ListedElement {
  uint64_t offset = 0, header = 0, length = 0;
};

ListedElement FindListed(const std::string &path, uint64_t length, const std::string &kind) {
  auto run = kelu::test::RunCommand("openssl asn1parse -inform DER -in " + Q(path));
  EXPECT_EQ(run.exit_code, 0);
  ListedElement found;
  for (const std::string &line : kelu::test::SplitLines(run.output)) {
    unsigned long long offset = 0, header = 0, l = 0;
    int depth = 0;
    if (std::sscanf(line.c_str(), " %llu:d=%d hl=%llu l=%llu", &offset, &depth, &header, &l) == 4 &&
        l == length && line.find(kind) != std::string::npos) {
      found = {offset, header, l};
    }
  }
  EXPECT_NE(found.length, 0u) << "no " << kind << " of " << length << " bytes";
  return found;
}

Bytes Slice(const Bytes &bytes, uint64_t start, uint64_t length) {
  return Bytes(bytes.begin() + static_cast<long>(start),
               bytes.begin() + static_cast<long>(start + length));
}

TEST(PKCS7SignedData, ParsesOpenSslSignedData) {
  const Pki &pki = Pki::Get();
  TempDir dir;
  Bytes data = RandomBytes(5000);
  WriteBinaryFile(dir.File("data.bin"), data);
  struct Case {
    const char *tool;
    const char *flags;
    bool attached, attributes;
  };
  const Case kCases[] = {
      {"cms", "", false, true},
      {"cms", " -nodetach", true, true},
      {"cms", " -noattr", false, false},
      {"cms", " -nodetach -noattr", true, false},
      {"cms", " -stream", true, true},  // streamed DER output is attached
      {"cms", " -stream -nodetach", true, true},
      {"smime", "", false, true},
      {"smime", " -nodetach", true, true},
      {"smime", " -noattr -nodetach", true, false},
      {"smime", " -stream -nodetach", true, true},
  };
  for (const Case &c : kCases) {
    SCOPED_TRACE(std::string(c.tool) + c.flags);
    std::string path = dir.File("openssl.p7");
    MustRun(std::string("openssl ") + c.tool + " -sign -binary -md sha256" + c.flags + " -in " +
            Q(dir.File("data.bin")) + " -signer " + Q(pki.rsa_cert) + " -inkey " +
            Q(pki.rsa_key) + " -outform DER -out " + Q(path));
    Bytes der = ReadBinaryFile(path);
    Out<unsigned char> cert, sig, source, signed_attrs, unsigned_attrs;
    Out<char> digest, encryption;
    ASSERT_EQ(ParsePKCS7Signature(der.data(), static_cast<int>(der.size()), &cert.data, &cert.size,
                                  &sig.data, &sig.size, &source.data, &source.size, &digest.data,
                                  &digest.size, &encryption.data, &encryption.size,
                                  &signed_attrs.data, &signed_attrs.size, &unsigned_attrs.data,
                                  &unsigned_attrs.size, 1),
              KELU_OK);
    EXPECT_EQ(cert.bytes(), pki.cert_der);
    EXPECT_EQ(digest.text(), kSha256);
    EXPECT_EQ(encryption.text(), kRsaEncryption);
    EXPECT_EQ(unsigned_attrs.data, nullptr);
    EXPECT_EQ(source.bytes(), c.attached ? data : Bytes());
    // Not for streamed output, which asn1parse lists with indefinite lengths.
    if (std::string(c.flags).find("-stream") == std::string::npos) {
      ListedElement value = FindListed(path, 256, "OCTET STRING");
      EXPECT_EQ(sig.bytes(), Slice(der, value.offset + value.header, 256));
    } else {
      EXPECT_EQ(sig.size, 256);
    }
    ASSERT_EQ(signed_attrs.data != nullptr, c.attributes);
    if (c.attributes) {
      EXPECT_EQ(signed_attrs.data[0], 0xA0);
      Out<unsigned char> md;
      ASSERT_EQ(ParseSignedUnsignedAttributes(signed_attrs.data, signed_attrs.size, kMessageDigest,
                                              &md.data, &md.size),
                KELU_OK);
      EXPECT_EQ(ToHex(md.bytes()), "0420" + ToHex(Sha256(data)));
      EXPECT_EQ(ParseSignedUnsignedAttributes(signed_attrs.data, signed_attrs.size,
                                              "1.2.3.4.5", &md.data, &md.size),
                KELU_ERR_PARSE);
    }
    // The file parser: the content's range in the file, or no single range for segments.
    FilePtr file = asn1test::OpenForReading(path);
    ASSERT_EQ(fseeko(file.get(), 5, SEEK_SET), 0);
    Out<unsigned char> file_cert, file_sig;
    long long offset = -1;
    int length = -1;
    int result = ParsePKCS7AttachedSignatureFile(file.get(), &file_cert.data, &file_cert.size,
                                                 &file_sig.data, &file_sig.size, &offset, &length,
                                                 nullptr, nullptr, nullptr, nullptr, nullptr,
                                                 nullptr, nullptr, nullptr);
    EXPECT_EQ(ftello(file.get()), 5);
    if (!c.attached) {
      EXPECT_EQ(result, KELU_ERR_PKCS7_FORMAT);
    } else if (std::string(c.flags).find("-stream") != std::string::npos) {
      EXPECT_EQ(result, KELU_ERR_PKCS7_FORMAT) << "a streamed content lies in several segments";
    } else {
      ASSERT_EQ(result, KELU_OK);
      EXPECT_EQ(Slice(der, static_cast<uint64_t>(offset), static_cast<uint64_t>(length)), data);
      EXPECT_EQ(file_cert.bytes(), cert.bytes());
      EXPECT_EQ(file_sig.bytes(), sig.bytes());
    }
  }
}

// The SM2 forms of the signature value under the SM signedData type, read back as r || s.
TEST(PKCS7SignedData, Sm2SignatureFormsRoundTrip) {
  const Pki &pki = Pki::Get();
  TempDir dir;
  Bytes rs = RandomBytes(64);
  rs[0] = 0x00;  // r with a leading zero byte: a 31-octet INTEGER
  rs[1] = 0x12;
  rs[32] = 0x9A;
  Bytes data = RandomBytes(5);
  struct Case {
    unsigned long form;
    int decode;
    size_t want_size;  // 64 for r || s, else the SM2Q1 bytes
  };
  const Case kCases[] = {{SIGNATURE_ENCODED_SM2_RS, 1, 64},
                         {SIGNATURE_ENCODED_SM2_Q1, 1, 64},
                         {SIGNATURE_ENCODED_SM2_OCTET_STRING_Q1, 1, 64},
                         {SIGNATURE_ENCODED_SM2_OCTET_STRING_Q1, 0, 2 + 33 + 35}};
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.form);
    NodeEx *ias = nullptr;
    Bytes issuer = FromHex("3000"), serial = FromHex("020101");
    ASSERT_EQ(ConstructNode_IssuerAndSerialNumber(issuer.data(), 2, serial.data(), 3, &ias),
              KELU_OK);
    NodeEx *signer = nullptr;
    ASSERT_EQ(ConstructNode_SignerInfo(1, ias, "1.2.156.10197.1.401", nullptr,
                                       "1.2.156.10197.1.301.1", rs.data(), 64, c.form, nullptr,
                                       &signer),
              KELU_OK);
    NodeEx *set = new NodeEx;
    set->Tag = 0x31;
    set->AddChild(signer);
    NodeEx *signed_data = nullptr;
    ASSERT_EQ(ConstructNode_SignedData(1, "1.2.156.10197.1.401", "1.2.156.10197.6.1.4.2.1",
                                       data.data(), 5, nullptr, true, pki.cert_der.data(),
                                       static_cast<int>(pki.cert_der.size()), set, &signed_data),
              KELU_OK);
    NodeEx *root = nullptr;
    ASSERT_EQ(ConstructNode_ContentInfo("1.2.156.10197.6.1.4.2.2", signed_data, &root), KELU_OK);
    NodePtr tree(root);
    Bytes der = Encode(root);
    WriteBinaryFile(dir.File("sm2.p7"), der);
    EXPECT_EQ(asn1test::RunAsn1Parse(dir.File("sm2.p7")).exit_code, 0);
    Out<unsigned char> sig, source;
    ASSERT_EQ(ParsePKCS7Signature(der.data(), static_cast<int>(der.size()), nullptr, nullptr,
                                  &sig.data, &sig.size, &source.data, &source.size, nullptr,
                                  nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                  c.decode),
              KELU_OK);
    EXPECT_EQ(static_cast<size_t>(sig.size), c.want_size);
    if (c.want_size == 64) {
      EXPECT_EQ(sig.bytes(), rs);
    }
    EXPECT_EQ(source.bytes(), data);
    EXPECT_EQ(source.data[5], 0);
    FilePtr file = asn1test::OpenForReading(dir.File("sm2.p7"));
    Out<unsigned char> file_sig;
    long long offset = 0;
    int length = 0;
    ASSERT_EQ(ParsePKCS7AttachedSignatureFile(file.get(), nullptr, nullptr, &file_sig.data,
                                              &file_sig.size, &offset, &length, nullptr, nullptr,
                                              nullptr, nullptr, nullptr, nullptr, nullptr,
                                              nullptr),
              KELU_OK);
    EXPECT_EQ(file_sig.bytes(), rs) << "the file parser always decodes SM2Q1";
    EXPECT_EQ(Slice(der, static_cast<uint64_t>(offset), 5), data);
  }
}

TEST(PKCS7SignedData, SignerInfoArgumentsAndSelectors) {
  Bytes rs = RandomBytes(65);
  struct Case {
    unsigned long form;
    int size;
    int result;
  };
  const Case kCases[] = {
      {SIGNATURE_ENCODED_SM2_RS, 63, KELU_ERR_INVALID_PARAMETER},
      {SIGNATURE_ENCODED_SM2_Q1, 65, KELU_ERR_INVALID_PARAMETER},
      {SIGNATURE_ENCODED_SM2_OCTET_STRING_Q1, 63, KELU_ERR_INVALID_PARAMETER},
      {0x300, 64, KELU_ERR_INVALID_PARAMETER},
      {SIGNATURE_ENCODED_OCTET_STRING, 65, KELU_OK},
  };
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.form);
    NodeEx *ias = new NodeEx;
    ias->Tag = 0x30;
    NodeEx *signer = nullptr;
    int result = ConstructNode_SignerInfo(1, ias, kSha256, nullptr, kRsaEncryption, rs.data(),
                                          c.size, c.form, nullptr, &signer);
    EXPECT_EQ(result, c.result);
    if (result == KELU_OK) {
      delete signer;  // it owns ias now
    } else {
      EXPECT_EQ(signer, nullptr);
      delete ias;  // left with the caller
    }
  }
  // Attached with neither content bytes nor file.
  NodeEx *set = new NodeEx;
  set->Tag = 0x31;
  NodeEx *signed_data = nullptr;
  EXPECT_EQ(ConstructNode_SignedData(1, kSha256, kData, nullptr, 0, nullptr, true, rs.data(), 10,
                                     set, &signed_data),
            KELU_ERR_FAILED);
  EXPECT_EQ(ConstructNode_SignedData(1, kSha256, kData, nullptr, 0, nullptr, false, rs.data(), 10,
                                     set, &signed_data),
            KELU_OK);
  delete signed_data;
}

TEST(PKCS7SignedData, ContentFromAFileIsStreamed) {
  const Pki &pki = Pki::Get();
  TempDir dir;
  Bytes data = RandomBytes(100000);
  WriteBinaryFile(dir.File("content.bin"), data);
  FilePtr content = asn1test::OpenForReading(dir.File("content.bin"));
  NodeEx *set = new NodeEx;
  set->Tag = 0x31;
  NodeEx *signed_data = nullptr;
  ASSERT_EQ(ConstructNode_SignedData(1, kSha256, kData, nullptr, 0, content.get(), true,
                                     pki.cert_der.data(), static_cast<int>(pki.cert_der.size()),
                                     set, &signed_data),
            KELU_OK);
  EXPECT_EQ(ftello(content.get()), 0);
  NodePtr tree(signed_data);
  asn1test::Encoded encoded = asn1test::ToFile(signed_data, dir.File("sd.der"));
  ASSERT_EQ(encoded.result, KELU_OK);
  Bytes der = encoded.der;
  // The OCTET STRING of 100000 bytes sits at the end of the contentInfo.
  ListedElement value = FindListed(dir.File("sd.der"), 100000, "OCTET STRING");
  EXPECT_EQ(Slice(der, value.offset + value.header, 100000), data);
}

TEST(PKCS7SignedData, MalformedAndTruncated) {
  TempDir dir;
  Bytes der = ToolkitRsaSignedData(dir, RandomBytes(50), true, true);
  for (size_t n = 0; n < der.size(); n += 7) {
    Bytes prefix(der.begin(), der.begin() + static_cast<long>(n));
    Out<unsigned char> sig;
    EXPECT_NE(ParsePKCS7Signature(prefix.data(), static_cast<int>(prefix.size()), nullptr, nullptr,
                                  &sig.data, &sig.size, nullptr, nullptr, nullptr, nullptr,
                                  nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 1),
              KELU_OK)
        << n;
    EXPECT_EQ(sig.data, nullptr);
  }
  // The outer type enveloped-data does not carry an OCTET STRING signature.
  Bytes relabelled = der;
  size_t at = ToHex(der).find("2A864886F70D010702") / 2;
  relabelled[at + 8] = 0x03;
  Out<unsigned char> sig;
  EXPECT_EQ(ParsePKCS7Signature(relabelled.data(), static_cast<int>(relabelled.size()), nullptr,
                                nullptr, &sig.data, &sig.size, nullptr, nullptr, nullptr, nullptr,
                                nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 1),
            KELU_ERR_PKCS7_FORMAT);
}

// The certificate handed out is exactly the DER of one element of the certificates field,
// whatever the form of the field; an element that is no DER certificate is none, whatever text
// it carries.
TEST(PKCS7SignedData, TheCertificateIsOneDerElement) {
  const Pki &pki = Pki::Get();
  const Bytes &cert = pki.cert_der;
  const Bytes pem = ReadBinaryFile(pki.rsa_cert);
  const std::string junk = "not a certificate\n";
  const Bytes text =
      kelu::test::DerTlv(0x0C, kelu::test::Cat({Bytes(junk.begin(), junk.end()), pem}));
  struct Row {
    const char *what;
    Bytes certificates;  // the field's content
    Bytes field;         // the whole field, when not [0] of the content
    Bytes want;
  };
  const Row rows[] = {
      {"one certificate", cert, {}, cert},
      {"the field in the indefinite form", cert,
       kelu::test::Indefinite(kelu::test::DerTlv(0xA0, cert)), cert},
      {"text holding the PEM as the only element", text, {}, {}},
      {"the certificate in the indefinite form", kelu::test::Indefinite(cert), {}, {}},
      {"text holding the PEM beside the certificate", kelu::test::Cat({text, cert}), {}, cert},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.what);
    kelu::test::SignedDataParts parts = kelu::test::WithOuterType(kSignedData);
    parts.signer = kelu::test::IssuerAndSerial(cert);
    parts.certificates_field = r.field;
    const Bytes der = kelu::test::BuildSignedData(r.certificates, nullptr,
                                                  kelu::test::DerTlv(0x04, RandomBytes(256)),
                                                  parts);
    Out<unsigned char> found;
    ASSERT_EQ(ParsePKCS7Signature(der.data(), static_cast<int>(der.size()), &found.data,
                                  &found.size, nullptr, nullptr, nullptr, nullptr, nullptr,
                                  nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 1),
              KELU_OK);
    EXPECT_EQ(found.bytes(), r.want);
  }
}

// An OCTET STRING signature value by its size, at the edges of the sizes: the SM2 verifiers'
// reading takes 64 bytes under pkcs7-signedData as r || s and 66 to 72 bytes as an SM2Q1, and
// refuses any other size as a signature that does not verify; under the SM signedData type
// every value is an SM2Q1. The plain reading with its switch set hands out the value under
// pkcs7-signedData unchanged.
TEST(PKCS7SignedData, Sm2ReadingOfAnOctetStringBySize) {
  const Bytes &cert = Pki::Get().cert_der;
  // r and s whose minimal INTEGERs are 30 value octets (two zero octets dropped), or 33 (a
  // sign octet added).
  Bytes short_rs = RandomBytes(64), long_rs = RandomBytes(64);
  for (size_t half : {0, 32}) {
    short_rs[half] = short_rs[half + 1] = 0x00;
    short_rs[half + 2] = 0x12;
    long_rs[half] |= 0x80;
  }
  const Bytes shortest = kelu::test::Sm2SignatureDer(short_rs);
  const Bytes longest = kelu::test::Sm2SignatureDer(long_rs);
  ASSERT_EQ(shortest.size(), 66u);
  ASSERT_EQ(longest.size(), 72u);
  struct Row {
    const char *what;
    const char *type;
    Bytes value;
    Bytes want;  // r || s; empty when refused
    bool size_refused;
  };
  const Bytes kNone;
  const Row rows[] = {
      {"64 bytes", kSignedData, long_rs, long_rs, false},
      {"65 bytes", kSignedData, kelu::test::Cat({long_rs, {0x00}}), kNone, true},
      {"an SM2Q1 of 66 bytes", kSignedData, shortest, short_rs, false},
      {"an SM2Q1 of 72 bytes", kSignedData, longest, long_rs, false},
      {"an SM2Q1 of 72 bytes and one more", kSignedData, kelu::test::Cat({longest, {0x00}}),
       kNone, true},
      {"64 bytes under the SM type", kelu::test::kSmSignedDataType, long_rs, kNone, false},
      {"an SM2Q1 of 66 bytes under the SM type", kelu::test::kSmSignedDataType, shortest,
       short_rs, false},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.what);
    kelu::test::SignedDataParts parts = kelu::test::WithOuterType(r.type);
    parts.signer = kelu::test::IssuerAndSerial(cert);
    const Bytes der =
        kelu::test::BuildSignedData(cert, nullptr, kelu::test::DerTlv(0x04, r.value), parts);
    kelu::test::LogCapture log;
    Out<unsigned char> found, rs;
    EXPECT_EQ(ParseSM2PKCS7Signature(der.data(), static_cast<int>(der.size()), &found.data,
                                     &found.size, &rs.data, &rs.size, nullptr, nullptr),
              r.want.empty() ? KELU_ERR_FAILED : KELU_OK);
    EXPECT_EQ(rs.bytes(), r.want);
    EXPECT_EQ(log.Contains("-- Check SM2 signature value size)\t\t--Failed"),
              r.size_refused)
        << log.Text();
    // The reading with the switch: the same for an SM2 signer; an RSA signer's value as it is.
    Out<unsigned char> plain;
    EXPECT_EQ(ParsePKCS7Signature(der.data(), static_cast<int>(der.size()), nullptr, nullptr,
                                  &plain.data, &plain.size, nullptr, nullptr, nullptr, nullptr,
                                  nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 1),
              r.want.empty() ? KELU_ERR_FAILED : KELU_OK);
    EXPECT_EQ(plain.bytes(), r.want);
    parts.signature_algorithm = kelu::test::Algorithm("1.2.840.113549.1.1.1");
    const Bytes rsa =
        kelu::test::BuildSignedData(cert, nullptr, kelu::test::DerTlv(0x04, r.value), parts);
    const bool pkcs7 = std::string(r.type) == kSignedData;
    Out<unsigned char> as_is;
    EXPECT_EQ(ParsePKCS7Signature(rsa.data(), static_cast<int>(rsa.size()), nullptr, nullptr,
                                  &as_is.data, &as_is.size, nullptr, nullptr, nullptr, nullptr,
                                  nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 1),
              pkcs7 || !r.want.empty() ? KELU_OK : KELU_ERR_FAILED);
    EXPECT_EQ(as_is.bytes(), pkcs7 ? r.value : r.want);
  }
}

TEST(DecodeRSAPKCS7Signature, ReadsOpenSslSignedData) {
  const Pki &pki = Pki::Get();
  TempDir dir;
  Bytes data = RandomBytes(300);
  WriteBinaryFile(dir.File("data.bin"), data);
  MustRun("openssl smime -sign -binary -nodetach -md sha256 -in " + Q(dir.File("data.bin")) +
          " -signer " + Q(pki.rsa_cert) + " -inkey " + Q(pki.rsa_key) + " -outform DER -out " +
          Q(dir.File("s.p7")));
  Bytes der = ReadBinaryFile(dir.File("s.p7"));
  X509 *cert = nullptr;
  int nid = 0;
  Out<unsigned char> digest, content;
  ASSERT_EQ(DecodeRSAPKCS7Signature(der.data(), static_cast<int>(der.size()), &cert, &nid,
                                    &digest.data, &digest.size, &content.data, &content.size),
            KELU_OK);
  kelu::X509Ptr owned(cert);
  EXPECT_EQ(nid, NID_sha256);
  EXPECT_EQ(digest.size, 256);
  EXPECT_EQ(content.bytes(), data);
  unsigned char *cert_der = nullptr;
  int n = i2d_X509(cert, &cert_der);
  EXPECT_EQ(Bytes(cert_der, cert_der + n), pki.cert_der);
  OPENSSL_free(cert_der);
  EXPECT_EQ(DecodeRSAPKCS7Signature(der.data(), 10, nullptr, nullptr, nullptr, nullptr, nullptr,
                                    nullptr),
            KELU_ERR_PKCS7_FORMAT);
}

}  // namespace

namespace {

// Encode_PKCS7Signature end to end: OpenSSL verifies what it writes, to memory and streamed to
// a file with the content taken from a file.
class EncodePkcs7Signature : public ::testing::Test {
 protected:
  void SetUp() override {
    data_ = RandomBytes(40000);
    WriteBinaryFile(dir_.File("data.bin"), data_);
    MustRun("openssl dgst -sha256 -sign " + Q(Pki::Get().rsa_key) + " -out " +
            Q(dir_.File("sig.bin")) + " " + Q(dir_.File("data.bin")));
    signature_ = ReadBinaryFile(dir_.File("sig.bin"));
  }
  int Encode(const Bytes *data, FILE *content, bool attached, unsigned char **der, int *size,
             FILE *out, int *written) {
    const Pki &pki = Pki::Get();
    return Encode_PKCS7Signature(
        pki.cert_der.data(), static_cast<int>(pki.cert_der.size()),
        data ? data->data() : nullptr, data ? static_cast<int>(data->size()) : 0, content,
        attached, kSignedData, kData, kSha256, nullptr, kRsaEncryption, signature_.data(),
        static_cast<int>(signature_.size()), SIGNATURE_ENCODED_OCTET_STRING, nullptr, der, size,
        out, written);
  }
  void ExpectOpensslVerifies(const std::string &path, bool attached) {
    std::string content = attached ? "" : " -content " + Q(dir_.File("data.bin"));
    std::string out = dir_.File("verified.out");
    MustRun("openssl cms -verify -binary -inform DER -in " + Q(path) + " -CAfile " +
            Q(Pki::Get().ca_cert) + " -purpose any" + content + " -out " + Q(out));
    EXPECT_EQ(ReadBinaryFile(out), data_);
  }

  TempDir dir_;
  Bytes data_;
  Bytes signature_;
};

TEST_F(EncodePkcs7Signature, ToMemoryDetachedAndAttached) {
  for (bool attached : {false, true}) {
    SCOPED_TRACE(attached ? "attached" : "detached");
    unsigned char *der = nullptr;
    int size = 0;
    ASSERT_EQ(Encode(&data_, nullptr, attached, &der, &size, nullptr, nullptr), KELU_OK);
    std::string path = dir_.File("memory.p7");
    WriteBinaryFile(path, Bytes(der, der + size));
    delete[] der;
    ExpectOpensslVerifies(path, attached);
  }
}

TEST_F(EncodePkcs7Signature, StreamedToAFileFromAContentFile) {
  std::string path = dir_.File("streamed.p7");
  FilePtr content(fopen(dir_.File("data.bin").c_str(), "rb"));
  FilePtr out(fopen(path.c_str(), "wb"));
  ASSERT_TRUE(content && out);
  int written = 0;
  ASSERT_EQ(Encode(nullptr, content.get(), true, nullptr, nullptr, out.get(), &written), KELU_OK);
  out.reset();
  EXPECT_EQ(static_cast<size_t>(written), ReadBinaryFile(path).size());
  ExpectOpensslVerifies(path, true);
}

TEST_F(EncodePkcs7Signature, UnreadableCertificateFails) {
  Bytes junk = FromHex("3003020101");
  unsigned char *der = nullptr;
  int size = 0;
  EXPECT_NE(Encode_PKCS7Signature(junk.data(), static_cast<int>(junk.size()), data_.data(),
                                  static_cast<int>(data_.size()), nullptr, false, kSignedData,
                                  kData, kSha256, nullptr, kRsaEncryption, signature_.data(),
                                  static_cast<int>(signature_.size()),
                                  SIGNATURE_ENCODED_OCTET_STRING, nullptr, &der, &size, nullptr,
                                  nullptr),
            KELU_OK);
  EXPECT_EQ(der, nullptr);
}

}  // namespace

// SM2 PKCS#7 SignedData of data and files, detached and attached, read by openssl asn1parse and
// its signature value checked with OpenSSL's SM2 (OpenSSL does not parse SignedData of the
// national content types); SignedData built here around OpenSSL's signatures verified by the
// toolkit; the verification over signed attributes against openssl cms and OpenSSL's SM2.
#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/ecdsa.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <algorithm>
#include <ctime>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "Base64Utility.h"
#include "DataSigning.h"
#include "LogCapture.h"
#include "PKCS7SignedDataOperations.h"
#include "SMKernel.h"
#include "Sm2Signatures.h"
#include "Sm2SignedDataBuilder.h"
#include "Sm2SigningTestUtil.h"

namespace kelu::test {
namespace {

constexpr char kSignatureOid[] = "1.2.156.10197.1.301.1";

// Where an element lies in DER, found by the path of element indices from the outermost one
// (read here, independently of the toolkit's decoder).
struct Element {
  size_t tag, value, length;
};
Element HeaderAt(const Bytes &der, size_t at) {
  size_t p = at + 1, length = der.at(p++);
  if (length & 0x80) {
    size_t octets = length & 0x7F;
    for (length = 0; octets-- > 0;) length = length << 8 | der.at(p++);
  }
  return {at, p, length};
}
Element ElementAt(const Bytes &der, std::initializer_list<size_t> path) {
  Element e = HeaderAt(der, 0);
  for (size_t index : path) {
    e = HeaderAt(der, e.value);
    for (size_t i = 0; i < index; ++i) e = HeaderAt(der, e.value + e.length);
  }
  return e;
}

bool Contains(const Bytes &haystack, const Bytes &needle) {
  return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) !=
         haystack.end();
}

class Sm2Pkcs7 : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_EQ(kelu::SMKernelInitialize(), 0);
    SharedSigningKeys();
  }
  void TearDown() override { ERR_clear_error(); }

  static FilePtr KeyFile(const std::string &name = "sm2-leaf") {
    return OpenForReading(SharedSigningKeys().Path(name));
  }
  // The DER of SignData_PKCS7_BySM2PFX as the exported functions call it.
  static TextResult SignData(const Bytes &data, bool attached,
                             const std::string &key_file = "sm2-leaf", bool with_z = true) {
    FilePtr key = KeyFile(key_file);
    return CallForText([&](char **o, int *n) {
      return SignData_PKCS7_BySM2PFX(data.data(), Size(data), key.get(), kKeyFilePassword,
                                     attached, o, n, ATL_BASE64_FLAG_NOCRLF, with_z,
                                     SIGNATURE_ENCODED_SM2_OCTET_STRING_Q1, kSignatureOid);
    });
  }
  static TextResult SignFile(const std::string &path, const std::string &key_file = "sm2-leaf") {
    FilePtr source = OpenForReading(path);
    FilePtr key = KeyFile(key_file);
    return CallForText([&](char **o, int *n) {
      return SignFile_PKCS7Detached_BySM2PFX(source.get(), key.get(), kKeyFilePassword, o, n,
                                             ATL_BASE64_FLAG_NOCRLF, true,
                                             SIGNATURE_ENCODED_SM2_OCTET_STRING_Q1, kSignatureOid);
    });
  }

  struct Verified {
    int rc;
    Bytes content, cert;
  };
  static Verified VerifyDetached(const std::string &text, const Bytes &data, bool with_z = true) {
    Verified v{0, {}, {}};
    v.cert = CallForBytes([&](unsigned char **o, int *n) {
               return v.rc = VerifySignature_PKCS7Detached(text.c_str(), Length(text), data.data(),
                                                           Size(data), o, n, with_z);
             }).bytes;
    return v;
  }
  static Verified VerifyAttached(const std::string &text, bool with_z = true) {
    Verified v{0, {}, {}};
    v.cert = CallForBytes([&](unsigned char **cert, int *cert_size) {
               v.content = CallForBytes([&](unsigned char **o, int *n) {
                             return v.rc = VerifySignature_PKCS7Attached(
                                        text.c_str(), Length(text), o, n, cert, cert_size, with_z);
                           }).bytes;
               return v.rc;
             }).bytes;
    return v;
  }
  static Verified VerifyFile(const std::string &text, const std::string &path) {
    FilePtr source = OpenForReading(path);
    Verified v{0, {}, {}};
    v.cert = CallForBytes([&](unsigned char **o, int *n) {
               return v.rc = SM2_VerifyFileSignature_PKCS7Detached(text.c_str(), Length(text),
                                                                   source.get(), o, n, true);
             }).bytes;
    return v;
  }

  static int VerifyAttachedFile(const std::string &path) {
    FilePtr file = OpenForReading(path);
    return VerifyFileSignature_PKCS7Attached(file.get(), nullptr, nullptr, nullptr, nullptr, true);
  }

  TempDir dir_;
  LogCapture log_;
};

TEST_F(Sm2Pkcs7, DataSignaturesReadByOpenssl) {
  const Bytes data = RandomBytes(1000);
  for (const char *key_file : {"sm2-leaf", "sm2-leaf-pem"}) {
    for (bool attached : {false, true}) {
      SCOPED_TRACE(std::string(key_file) + (attached ? " attached" : " detached"));
      TextResult s = SignData(data, attached, key_file);
      ASSERT_EQ(s.rc, KELU_OK);
      const Bytes der = FromBase64(s.text);
      const std::string listing = Asn1Parse(der);
      size_t at = 0;
      // OpenSSL names SM3 "sm3" and knows neither the content types nor the signature OID.
      for (const char *oid : {":1.2.156.10197.6.1.4.2.2", ":sm3", ":1.2.156.10197.6.1.4.2.1",
                              ":sm3", ":1.2.156.10197.1.301.1"}) {
        at = listing.find(oid, at);
        ASSERT_NE(at, std::string::npos) << oid << " in order\n" << listing;
      }
      EXPECT_TRUE(Contains(der, SignerCertDer())) << "the certificate as DER";
      EXPECT_EQ(Contains(der, data), attached);
      // The signature value: an OCTET STRING holding OpenSSL's DER of r and s.
      EXPECT_TRUE(OpensslSm2Verify(SignerCertPem(), data, LastOctetString(der), true));

      const Verified v = attached ? VerifyAttached(s.text) : VerifyDetached(s.text, data);
      ASSERT_EQ(v.rc, KELU_OK);
      EXPECT_EQ(v.cert, SignerCertDer());
      if (attached) {
        EXPECT_EQ(v.content, data);
      }
    }
  }
}

TEST_F(Sm2Pkcs7, WrongShapeSwitchOrContentFails) {
  const Bytes data = RandomBytes(200);
  TextResult detached = SignData(data, false), attached = SignData(data, true);
  ASSERT_EQ(detached.rc, KELU_OK);
  ASSERT_EQ(attached.rc, KELU_OK);
  log_.Take();
  EXPECT_EQ(VerifyDetached(attached.text, data).rc, KELU_ERR_PKCS7_FORMAT);
  EXPECT_TRUE(log_.Contains("(VerifySignature_DERPKCS7Detached -- Check P7 is source detached?)"));
  EXPECT_EQ(VerifyAttached(detached.text).rc, KELU_ERR_PKCS7_FORMAT);
  EXPECT_TRUE(log_.Contains("(VerifySignature_DERPKCS7Attached -- Check P7 is source attached?)"));
  EXPECT_EQ(VerifyDetached(detached.text, data, false).rc, KELU_ERR_FAILED);
  EXPECT_EQ(VerifyAttached(attached.text, false).rc, KELU_ERR_FAILED);
  EXPECT_EQ(VerifyDetached(detached.text, Changed(data, 150)).rc, KELU_ERR_FAILED);
  // The content inside changed: the last byte of the attached content.
  Bytes der = FromBase64(attached.text);
  const auto content_at = std::search(der.begin(), der.end(), data.begin(), data.end());
  ASSERT_NE(content_at, der.end());
  *(content_at + 199) ^= 0x01;
  EXPECT_EQ(VerifyAttached(ToBase64(der)).rc, KELU_ERR_FAILED);
  // Made with the Z value switched off, it verifies only so.
  TextResult without_z = SignData(data, false, "sm2-leaf", false);
  ASSERT_EQ(without_z.rc, KELU_OK);
  EXPECT_EQ(VerifyDetached(without_z.text, data, false).rc, KELU_OK);
  EXPECT_EQ(VerifyDetached(without_z.text, data, true).rc, KELU_ERR_FAILED);
  EXPECT_EQ(VerifyDetached("", data).rc, KELU_ERR_BASE64_DECODE);
  EXPECT_NE(VerifyDetached(ToBase64(RandomBytes(300)), data).rc, KELU_OK);
}

// SignedData written here around OpenSSL's own signature, in the signature value forms a
// reader meets: an OCTET STRING holding the SEQUENCE, and the SEQUENCE itself.
TEST_F(Sm2Pkcs7, SignedDataOfOpensslSignaturesVerify) {
  const Bytes data = RandomBytes(700);
  const Bytes theirs = OpensslSm2Sign(SharedPki().Key("sm2-leaf"), data, true);
  const Bytes cert = SignerCertDer();
  for (const Bytes &element : {DerTlv(0x04, theirs), theirs}) {
    for (bool attached : {false, true}) {
      SCOPED_TRACE(std::string(element[0] == 0x04 ? "OCTET STRING" : "SEQUENCE") +
                   (attached ? " attached" : " detached"));
      const std::string text = ToBase64(BuildSignedData(cert, attached ? &data : nullptr, element));
      const Verified v = attached ? VerifyAttached(text) : VerifyDetached(text, data);
      ASSERT_EQ(v.rc, KELU_OK);
      EXPECT_EQ(v.cert, cert);
      if (attached) {
        EXPECT_EQ(v.content, data);
      }
    }
  }
  // Another certificate inside, or the signature of other content.
  const Bytes other = SharedPki().DerBytes("sm2-int");
  EXPECT_EQ(VerifyDetached(ToBase64(BuildSignedData(other, nullptr, DerTlv(0x04, theirs))), data).rc,
            KELU_ERR_FAILED);
  const Bytes of_other_data = OpensslSm2Sign(SharedPki().Key("sm2-leaf"), Changed(data), true);
  EXPECT_EQ(VerifyDetached(ToBase64(BuildSignedData(cert, nullptr, DerTlv(0x04, of_other_data))),
                           data)
                .rc,
            KELU_ERR_FAILED);
  // Under another content type the OCTET STRING is no SM2Q1.
  EXPECT_EQ(VerifyDetached(ToBase64(BuildSignedData(cert, nullptr, DerTlv(0x04, theirs),
                                                    WithOuterType("1.2.840.113549.1.7.3"))),
                           data)
                .rc,
            KELU_ERR_PKCS7_FORMAT);
}

// OpenSSL's signature (the SM2Q1 SEQUENCE) of random data with the shared leaf's key, the
// leaf's certificate and another one.
struct TheirSignature {
  Bytes data, signature, cert, other;
};
TheirSignature SignedByOpenssl() {
  const Bytes data = RandomBytes(300);
  return {data, OpensslSm2Sign(SharedPki().Key("sm2-leaf"), data, true), SignerCertDer(),
          SharedPki().DerBytes("sm2-int")};
}

// The names that the signature does not cover, as peers write them: each verifies, attached
// and detached, in memory and from a file.
TEST_F(Sm2Pkcs7, NamesWrittenByPeersVerify) {
  const TheirSignature t = SignedByOpenssl();
  const Bytes &data = t.data, &theirs = t.signature, &cert = t.cert, &other = t.other;
  struct Case {
    const char *what;
    std::function<void(SignedDataParts *)> change;
    Bytes certificates;
    bool q1_in_octet_string;  // else the SM2Q1 SEQUENCE itself
  };
  const Case cases[] = {
      {"as the toolkit writes it", [](SignedDataParts *) {}, cert, true},
      {"pkcs7-signedData with the SM2Q1 itself",
       [](SignedDataParts *p) { p->outer_type = "1.2.840.113549.1.7.2"; }, cert, false},
      {"pkcs7-data inside", [](SignedDataParts *p) { p->inner_type = "1.2.840.113549.1.7.1"; },
       cert, true},
      {"SignedData version 3", [](SignedDataParts *p) { p->version = {0x02, 0x01, 0x03}; }, cert,
       true},
      {"SM2-with-SM3",
       [](SignedDataParts *p) { p->signature_algorithm = Algorithm("1.2.156.10197.1.501"); }, cert,
       true},
      {"the SM2 key algorithm",
       [](SignedDataParts *p) { p->signature_algorithm = Algorithm("1.2.156.10197.1.301"); }, cert,
       true},
      {"no parameters",
       [](SignedDataParts *p) {
         p->digest_algorithm = DerTlv(0x30, Oid("1.2.156.10197.1.401"));
         p->signature_algorithm = DerTlv(0x30, Oid(kSignatureOid));
       },
       cert, true},
      {"an empty set of CRLs", [](SignedDataParts *p) { p->after_certificates = {0xA1, 0x00}; },
       cert, true},
      {"the signer's certificate second of two",
       [&](SignedDataParts *p) { p->signer = IssuerAndSerial(cert); }, Cat({other, cert}), true},
  };
  const std::string path = dir_.File("signed.p7");
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    SignedDataParts parts;
    c.change(&parts);
    const Bytes element = c.q1_in_octet_string ? DerTlv(0x04, theirs) : theirs;
    const Verified detached =
        VerifyDetached(ToBase64(BuildSignedData(c.certificates, nullptr, element, parts)), data);
    EXPECT_EQ(detached.rc, KELU_OK);
    EXPECT_EQ(detached.cert, cert);
    const Bytes attached = BuildSignedData(c.certificates, &data, element, parts);
    EXPECT_EQ(VerifyAttached(ToBase64(attached)).rc, KELU_OK);
    WriteBinaryFile(path, attached);
    EXPECT_EQ(VerifyAttachedFile(path), KELU_OK);
  }
}

// OpenSSL's valid signature of the data under names that are not the signer's, or not SM3 and
// SM2: each is refused as a signature that does not verify, and the log says which name.
TEST_F(Sm2Pkcs7, SignaturesUnderOtherNamesAreRefused) {
  const TheirSignature t = SignedByOpenssl();
  const Bytes &data = t.data, &theirs = t.signature, &cert = t.cert, &other = t.other;
  struct Case {
    const char *what;
    std::function<void(SignedDataParts *)> change;
    Bytes certificates;
    const char *reason;
  };
  const char *kOtherSigner = "issuerAndSerialNumber of another certificate";
  const Case cases[] = {
      {"another certificate's issuer and serial",
       [&](SignedDataParts *p) { p->signer = IssuerAndSerial(other); }, cert, kOtherSigner},
      {"the serial under another issuer",
       [&](SignedDataParts *p) { p->signer = Cat({IssuerOf(other), SerialOf(cert)}); }, cert,
       kOtherSigner},
      {"the serial of the second of two under another issuer",
       [&](SignedDataParts *p) { p->signer = Cat({IssuerOf(other), SerialOf(cert)}); },
       Cat({other, cert}), kOtherSigner},
      {"SHA-256",
       [](SignedDataParts *p) { p->digest_algorithm = Algorithm("2.16.840.1.101.3.4.2.1"); },
       cert, "digestAlgorithms"},
      {"ECDSA with SHA-256",
       [](SignedDataParts *p) { p->signature_algorithm = Algorithm("1.2.840.10045.4.3.2"); },
       cert, "digestEncryptionAlgorithm"},
      {"parameters that are not NULL",
       [](SignedDataParts *p) {
         p->signature_algorithm = DerTlv(0x30, Cat({Oid(kSignatureOid), {0x04, 0x00}}));
       },
       cert, "digestEncryptionAlgorithm"},
      {"SignedData version 2", [](SignedDataParts *p) { p->version = {0x02, 0x01, 0x02}; }, cert,
       "SignedData version"},
      {"enveloped-data", [](SignedDataParts *p) { p->outer_type = "1.2.840.113549.1.7.3"; }, cert,
       "contentType"},
      {"a SET where CRLs go", [](SignedDataParts *p) { p->after_certificates = {0x31, 0x00}; },
       cert, "SignedData"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    SignedDataParts parts;
    c.change(&parts);
    log_.Take();
    EXPECT_EQ(VerifyDetached(ToBase64(BuildSignedData(c.certificates, nullptr, theirs, parts)),
                             data)
                  .rc,
              KELU_ERR_FAILED);
    EXPECT_TRUE(log_.Contains(std::string("Check SM2 SignedData signer)\t\t--Failed:(0xffffffff) "
                                          "[Reason:") +
                              c.reason + "]"))
        << log_.Text();
  }
}

// One byte (XOR 0x5a) of each name of the toolkit's detached SignedData that its signature does
// not cover. -1 is this layer's code of a signature that does not verify (the exported
// functions return KELU_ERR_BAD_SIGNATURE for it). Under the SM signedData type the outer
// content type was refused before as a SignedData of another type, with KELU_ERR_PKCS7_FORMAT.
TEST_F(Sm2Pkcs7, SingleByteChangesOfTheNamesAreRefused) {
  const Bytes data = RandomBytes(100);
  const Bytes der = FromBase64(SignData(data, false).text);
  ASSERT_EQ(VerifyDetached(ToBase64(der), data).rc, KELU_OK);
  enum Octet { kTag, kLastValueOctet };
  struct Case {
    const char *what;
    std::initializer_list<size_t> path;
    Octet octet;
    int want;
    const char *reason;
  };
  const char *kContentInfo = "ContentInfo { contentType, [0] { SignedData } }";
  const char *kOtherSigner = "issuerAndSerialNumber of another certificate";
  const Case cases[] = {
      {"ContentInfo tag", {}, kTag, KELU_ERR_FAILED, kContentInfo},
      {"outer content type", {0}, kLastValueOctet, KELU_ERR_PKCS7_FORMAT, nullptr},
      {"[0] tag", {1}, kTag, KELU_ERR_FAILED, kContentInfo},
      {"SignedData tag", {1, 0}, kTag, KELU_ERR_FAILED, "SignedData"},
      {"SignedData version tag", {1, 0, 0}, kTag, KELU_ERR_FAILED, "SignedData version"},
      {"SignedData version", {1, 0, 0}, kLastValueOctet, KELU_ERR_FAILED, "SignedData version"},
      {"digestAlgorithms tag", {1, 0, 1}, kTag, KELU_ERR_FAILED, "digestAlgorithms"},
      {"digestAlgorithms SM3", {1, 0, 1, 0, 0}, kLastValueOctet, KELU_ERR_FAILED,
       "digestAlgorithms"},
      {"contentInfo tag", {1, 0, 2}, kTag, KELU_ERR_FAILED, "contentInfo"},
      {"inner content type", {1, 0, 2, 0}, kLastValueOctet, KELU_ERR_FAILED, "contentInfo"},
      {"SignerInfo tag", {1, 0, 4, 0}, kTag, KELU_ERR_FAILED, "SignerInfo"},
      {"SignerInfo version", {1, 0, 4, 0, 0}, kLastValueOctet, KELU_ERR_FAILED,
       "SignerInfo version"},
      {"issuerAndSerialNumber tag", {1, 0, 4, 0, 1}, kTag, KELU_ERR_FAILED,
       "issuerAndSerialNumber"},
      {"issuer tag", {1, 0, 4, 0, 1, 0}, kTag, KELU_ERR_FAILED, "issuerAndSerialNumber"},
      {"issuer", {1, 0, 4, 0, 1, 0}, kLastValueOctet, KELU_ERR_FAILED, kOtherSigner},
      {"serial number", {1, 0, 4, 0, 1, 1}, kLastValueOctet, KELU_ERR_FAILED, kOtherSigner},
      {"digestAlgorithm tag", {1, 0, 4, 0, 2}, kTag, KELU_ERR_FAILED, "digestAlgorithm"},
      {"digestAlgorithm SM3", {1, 0, 4, 0, 2, 0}, kLastValueOctet, KELU_ERR_FAILED,
       "digestAlgorithm"},
      {"digestEncryptionAlgorithm tag", {1, 0, 4, 0, 3}, kTag, KELU_ERR_FAILED,
       "digestEncryptionAlgorithm"},
      {"digestEncryptionAlgorithm", {1, 0, 4, 0, 3, 0}, kLastValueOctet, KELU_ERR_FAILED,
       "digestEncryptionAlgorithm"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    const Element e = ElementAt(der, c.path);
    Bytes changed = der;
    changed[c.octet == kTag ? e.tag : e.value + e.length - 1] ^= 0x5a;
    log_.Take();
    EXPECT_EQ(VerifyDetached(ToBase64(changed), data).rc, c.want);
    if (c.reason != nullptr) {
      EXPECT_TRUE(log_.Contains(std::string("[Reason:") + c.reason + "]")) << log_.Text();
    }
  }
}

// Every single-byte change (XOR 0x5a) outside the carried certificate of the toolkit's
// SignedData and of one with signed attributes, detached and attached, in memory and from a
// file, fails to verify. (Inside the certificate only the key, the issuer and the serial number
// are the verification's.)
TEST_F(Sm2Pkcs7, NoSingleByteChangeOutsideTheCertificateVerifies) {
  const Bytes data = RandomBytes(64);
  const std::string path = dir_.File("signed.p7");
  // The toolkit's own, and one as CMS signers write it: pkcs7 types, signed attributes.
  const std::string key = SharedPki().Key("sm2-leaf");
  const Bytes attributes =
      Cat({ContentTypeAttribute(kPkcs7DataType), SigningTimeAttribute("261211103000Z"),
           MessageDigestAttribute(Sm3(data))});
  SignedDataParts cms = WithContentTypes(kPkcs7SignedDataType, kPkcs7DataType);
  cms.signature_algorithm = Algorithm("1.2.156.10197.1.501");
  cms.signed_attributes = DerTlv(0xA0, attributes);
  const Bytes of_attributes = DerTlv(0x04, OpensslSm2Sign(key, DerTlv(0x31, attributes), true));
  for (bool standard : {false, true}) {
    for (bool attached : {false, true}) {
      SCOPED_TRACE(std::string(standard ? "CMS " : "toolkit ") +
                   (attached ? "attached" : "detached"));
      const Bytes der =
          standard ? BuildSignedData(SignerCertDer(), attached ? &data : nullptr, of_attributes, cms)
                   : FromBase64(SignData(data, attached).text);
      const Element cert = ElementAt(der, {1, 0, 3, 0});
      ASSERT_EQ(Bytes(der.begin() + cert.tag, der.begin() + cert.value + cert.length),
                SignerCertDer());
      ASSERT_EQ(attached ? VerifySignature_DERPKCS7Attached(der.data(), Size(der), nullptr,
                                                            nullptr, nullptr, nullptr, true)
                         : VerifySignature_DERPKCS7Detached(der.data(), Size(der), data.data(),
                                                            Size(data), nullptr, nullptr, true),
                KELU_OK);
      std::vector<size_t> verified;
      for (size_t at = 0; at < der.size(); ++at) {
        if (at >= cert.tag && at < cert.value + cert.length) continue;
        Bytes changed = der;
        changed[at] ^= 0x5a;
        bool ok;
        if (attached) {
          WriteBinaryFile(path, changed);
          ok = VerifySignature_DERPKCS7Attached(changed.data(), Size(changed), nullptr, nullptr,
                                                nullptr, nullptr, true) == KELU_OK ||
               VerifyAttachedFile(path) == KELU_OK;
        } else {
          ok = VerifySignature_DERPKCS7Detached(changed.data(), Size(changed), data.data(),
                                                Size(data), nullptr, nullptr, true) == KELU_OK;
        }
        if (ok) verified.push_back(at);
        log_.Take();
      }
      EXPECT_EQ(verified, std::vector<size_t>()) << "offsets that still verify";
    }
  }
  ERR_clear_error();
}

// A detached SignedData of a file and of the same bytes in memory verify against either.
TEST_F(Sm2Pkcs7, FilesAndBytesAtBlockBoundaries) {
  for (size_t size : {1, 16383, 16384, 16385, 2 * 16384 + 100}) {
    SCOPED_TRACE(size);
    const Bytes data = RandomBytes(size);
    const std::string path = dir_.File("data.bin");
    WriteBinaryFile(path, data);
    TextResult of_file = SignFile(path);
    TextResult of_bytes = SignData(data, false);
    ASSERT_EQ(of_file.rc, KELU_OK);
    ASSERT_EQ(of_bytes.rc, KELU_OK);
    for (const std::string &text : {of_file.text, of_bytes.text}) {
      EXPECT_EQ(VerifyDetached(text, data).rc, KELU_OK);
      const Verified v = VerifyFile(text, path);
      EXPECT_EQ(v.rc, KELU_OK);
      EXPECT_EQ(v.cert, SignerCertDer());
    }
    EXPECT_TRUE(OpensslSm2Verify(SignerCertPem(), data, LastOctetString(FromBase64(of_file.text)),
                                 true));
    WriteBinaryFile(path, Changed(data, size - 1));
    EXPECT_EQ(VerifyFile(of_file.text, path).rc, KELU_ERR_FAILED);
  }
  const std::string attached = SignData(RandomBytes(10), true).text;
  EXPECT_EQ(VerifyFile(attached, dir_.File("data.bin")).rc, KELU_ERR_PKCS7_FORMAT);
}

// The attached file signer streams the file into the output and checks no key usage; the
// attached file verifier digests the content where it lies.
TEST_F(Sm2Pkcs7, AttachedFiles) {
  for (size_t size : {1, 16384, 40000}) {
    SCOPED_TRACE(size);
    const Bytes data = RandomBytes(size);
    const std::string path = dir_.File("data.bin"), out = dir_.File("signed.p7");
    WriteBinaryFile(path, data);
    {
      FilePtr source = OpenForReading(path);
      FilePtr key = KeyFile("ku-enc");
      FilePtr output(std::fopen(out.c_str(), "wb"));
      ASSERT_EQ(SignFile_PKCS7Attached_BySM2PFX(source.get(), key.get(), kKeyFilePassword,
                                                output.get(), true,
                                                SIGNATURE_ENCODED_SM2_OCTET_STRING_Q1,
                                                kSignatureOid),
                KELU_OK);
    }
    const Bytes der = ReadBinaryFile(out);
    EXPECT_TRUE(OpensslSm2Verify(SignerCertPem(), data, LastOctetString(der), true));
    const Verified v = VerifyAttached(ToBase64(der));
    ASSERT_EQ(v.rc, KELU_OK);
    EXPECT_EQ(v.content, data);
    EXPECT_EQ(v.cert, SharedPki().DerBytes("ku-enc"));

    FilePtr signed_file = OpenForReading(out);
    long long offset = -1;
    int content_size = -1;
    BytesResult cert = CallForBytes([&](unsigned char **o, int *n) {
      return VerifyFileSignature_PKCS7Attached(signed_file.get(), &offset, &content_size, o, n,
                                               true);
    });
    ASSERT_EQ(cert.rc, KELU_OK);
    EXPECT_EQ(cert.bytes, SharedPki().DerBytes("ku-enc"));
    ASSERT_EQ(content_size, static_cast<int>(size));
    ASSERT_GT(offset, 0);
    EXPECT_EQ(Bytes(der.begin() + offset, der.begin() + offset + content_size), data);
    EXPECT_EQ(VerifyFileSignature_PKCS7Attached(signed_file.get(), nullptr, nullptr, nullptr,
                                                nullptr, false),
              KELU_ERR_FAILED);
  }
  // The data signer refuses the same key file.
  EXPECT_EQ(SignData(RandomBytes(10), true, "ku-enc").rc, KELU_ERR_KEY_USAGE);
}

// ---- SignedData as standard signers write it, built here around OpenSSL's SM2 signatures
// (SM3 with the default ID) ----

// What each of the four SM2 verifiers gives for a message: the detached ones in memory and
// against the file, the attached ones in memory and from a file.
struct Verdicts {
  int detached, detached_file, attached, attached_file;
  Bytes cert;  // handed out by all of them when they all verify
};

class Sm2Pkcs7Messages : public Sm2Pkcs7 {
 protected:
  // The message built for the data detached and attached, through every verifier.
  Verdicts VerifyEverywhere(const std::function<Bytes(const Bytes *content)> &build,
                            const Bytes &data) {
    const std::string data_path = dir_.File("data.bin"), signed_path = dir_.File("signed.p7");
    WriteBinaryFile(data_path, data);
    const std::string detached = ToBase64(build(nullptr));
    const Bytes attached = build(&data);
    WriteBinaryFile(signed_path, attached);
    Verdicts v{};
    const Verified d = VerifyDetached(detached, data), f = VerifyFile(detached, data_path);
    const Verified a = VerifyAttached(ToBase64(attached));
    FilePtr file = OpenForReading(signed_path);
    const BytesResult af = CallForBytes([&](unsigned char **o, int *n) {
      return VerifyFileSignature_PKCS7Attached(file.get(), nullptr, nullptr, o, n, true);
    });
    v = {d.rc, f.rc, a.rc, af.rc, d.cert};
    if (d.rc == KELU_OK) {
      EXPECT_EQ(f.cert, d.cert);
      EXPECT_EQ(a.cert, d.cert);
      EXPECT_EQ(af.bytes, d.cert);
    }
    if (a.rc == KELU_OK) {
      EXPECT_EQ(a.content, data);
    }
    return v;
  }
};

// Each row is a SignedData of one kind that a standard CMS signer writes, or a forgery of one;
// every verifier must give the row's result, and hand out exactly the signer's DER.
//  - Signed attributes: the signature is over their DER SET and their messageDigest is SM3 of
//    the content; a block that nobody signed does not verify.
//  - The OCTET STRING holding the DER signature is read under either content type, and one of
//    64 bytes r || s under pkcs7-signedData; a value that is neither form is a signature that
//    does not verify (never an invalid parameter).
//  - Each element of the certificates field is a DER certificate taken by its own length;
//    anything else is no certificate, whatever text it carries.
TEST_F(Sm2Pkcs7Messages, StandardSignedDataAndForgeries) {
  const Bytes data = RandomBytes(300);
  const std::string key = SharedPki().Key("sm2-leaf");
  const Bytes cert = SignerCertDer(), other = SharedPki().DerBytes("sm2-int");
  const Bytes of_content = OpensslSm2Sign(key, data, true);
  // CMS signed attributes, and OpenSSL's signature over their SET.
  auto attributes_of = [&](const char *type) {
    return Cat({ContentTypeAttribute(type), SigningTimeAttribute("261211103000Z"),
                MessageDigestAttribute(Sm3(data))});
  };
  const Bytes attributes = attributes_of(kSmDataType);
  const Bytes of_attributes = OpensslSm2Sign(key, DerTlv(0x31, attributes), true);
  const Bytes cms_attributes = attributes_of(kPkcs7DataType);
  const Bytes of_cms_attributes = OpensslSm2Sign(key, DerTlv(0x31, cms_attributes), true);
  const Bytes pem_text = ReadBinaryFile(SignerCertPem());
  const std::string junk = "not a certificate\n";
  const Bytes kJunkLine(junk.begin(), junk.end());

  struct Row {
    const char *what;
    Bytes certificates;  // the certificates field's content
    Bytes signature;     // the signature value element
    std::function<void(SignedDataParts *)> change;
    int want;
  };
  auto sm = [](SignedDataParts *) {};
  auto pkcs7 = [](SignedDataParts *p) {
    p->outer_type = "1.2.840.113549.1.7.2";
    p->inner_type = "1.2.840.113549.1.7.1";
    p->signature_algorithm = Algorithm("1.2.156.10197.1.501");
  };
  auto with = [](const Bytes &block, std::function<void(SignedDataParts *)> types) {
    return [block, types](SignedDataParts *p) {
      types(p);
      p->signed_attributes = block;
    };
  };
  const Row rows[] = {
      {"as the toolkit writes it", cert, DerTlv(0x04, of_content), sm, KELU_OK},
      // Signed attributes.
      {"CMS signed attributes under the SM types", cert, DerTlv(0x04, of_attributes),
       with(DerTlv(0xA0, attributes), sm), KELU_OK},
      {"CMS signed attributes under the PKCS#7 types", cert, DerTlv(0x04, of_cms_attributes),
       with(DerTlv(0xA0, cms_attributes), pkcs7), KELU_OK},
      {"the content's signature with a made-up block", cert, DerTlv(0x04, of_content),
       with(DerTlv(0xA0, Cat({ContentTypeAttribute(), SigningTimeAttribute("000101000000Z"),
                             MessageDigestAttribute(Bytes(32, 0))})),
            sm),
       KELU_ERR_FAILED},
      {"the content's signature with a block holding its digest", cert, DerTlv(0x04, of_content),
       with(DerTlv(0xA0, attributes), sm), KELU_ERR_FAILED},
      {"the attributes' signature with another signingTime carried", cert,
       DerTlv(0x04, of_attributes),
       with(DerTlv(0xA0, Cat({ContentTypeAttribute(), SigningTimeAttribute("261211103001Z"),
                             MessageDigestAttribute(Sm3(data))})),
            sm),
       KELU_ERR_FAILED},
      {"the attributes' signature over their [0] block", cert,
       DerTlv(0x04, OpensslSm2Sign(key, DerTlv(0xA0, attributes), true)),
       with(DerTlv(0xA0, attributes), sm), KELU_ERR_FAILED},
      {"signed attributes whose messageDigest is of other content", cert,
       DerTlv(0x04, OpensslSm2Sign(
                        key, DerTlv(0x31, Cat({ContentTypeAttribute(),
                                               MessageDigestAttribute(Sm3(Changed(data)))})),
                        true)),
       with(DerTlv(0xA0, Cat({ContentTypeAttribute(), MessageDigestAttribute(Sm3(Changed(data)))})),
            sm),
       KELU_ERR_FAILED},
      {"signed attributes without messageDigest", cert,
       DerTlv(0x04, OpensslSm2Sign(key, DerTlv(0x31, ContentTypeAttribute()), true)),
       with(DerTlv(0xA0, ContentTypeAttribute()), sm), KELU_ERR_FAILED},
      // The signature value under either content type.
      {"pkcs7-signedData, OCTET STRING holding the DER signature", cert, DerTlv(0x04, of_content),
       pkcs7, KELU_OK},
      {"pkcs7-signedData, the DER signature itself", cert, of_content, pkcs7, KELU_OK},
      {"pkcs7-signedData, OCTET STRING holding r || s", cert, DerTlv(0x04, RawOf(of_content)),
       pkcs7, KELU_OK},
      {"SM types, OCTET STRING holding r || s", cert, DerTlv(0x04, RawOf(of_content)), sm,
       KELU_ERR_FAILED},
      {"pkcs7-signedData, OCTET STRING holding 65 bytes", cert,
       DerTlv(0x04, Cat({RawOf(of_content), {0x00}})), pkcs7, KELU_ERR_FAILED},
      {"pkcs7-signedData, OCTET STRING holding other bytes", cert, DerTlv(0x04, RandomBytes(70)),
       pkcs7, KELU_ERR_FAILED},
      {"SM types, OCTET STRING holding other bytes", cert, DerTlv(0x04, RandomBytes(70)), sm,
       KELU_ERR_FAILED},
      {"pkcs7-signedData, OCTET STRING holding the DER signature and one more byte", cert,
       DerTlv(0x04, Cat({of_content, {0x00}})), pkcs7, KELU_ERR_FAILED},
      // The certificates field.
      {"the certificates field in the indefinite form", cert, DerTlv(0x04, of_content),
       [&](SignedDataParts *p) { p->certificates_field = Indefinite(DerTlv(0xA0, cert)); },
       KELU_OK},
      {"two certificates in the indefinite form", Cat({other, cert}), DerTlv(0x04, of_content),
       [&](SignedDataParts *p) {
         p->signer = IssuerAndSerial(cert);
         p->certificates_field = Indefinite(DerTlv(0xA0, Cat({other, cert})));
       },
       KELU_OK},
      {"a UTF8String of junk and the signer's PEM as the only element",
       DerTlv(0x0C, Cat({kJunkLine, pem_text})), DerTlv(0x04, of_content),
       [&](SignedDataParts *p) { p->signer = IssuerAndSerial(cert); }, KELU_ERR_FAILED},
      {"the signer's PEM beside another certificate", Cat({other, DerTlv(0x0C, pem_text)}),
       DerTlv(0x04, of_content), [&](SignedDataParts *p) { p->signer = IssuerAndSerial(cert); },
       KELU_ERR_FAILED},
      {"the signer's certificate in the indefinite form", Indefinite(cert),
       DerTlv(0x04, of_content), [&](SignedDataParts *p) { p->signer = IssuerAndSerial(cert); },
       KELU_ERR_FAILED},
      {"the signer's certificate beside a UTF8String of PEM text",
       Cat({DerTlv(0x0C, pem_text), cert}), DerTlv(0x04, of_content),
       [&](SignedDataParts *p) { p->signer = IssuerAndSerial(cert); }, KELU_OK},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    SignedDataParts parts;
    row.change(&parts);
    const Verdicts v = VerifyEverywhere(
        [&](const Bytes *content) {
          return BuildSignedData(row.certificates, content, row.signature, parts);
        },
        data);
    EXPECT_EQ(v.detached, row.want);
    EXPECT_EQ(v.detached_file, row.want);
    EXPECT_EQ(v.attached, row.want);
    EXPECT_EQ(v.attached_file, row.want);
    if (row.want == KELU_OK) {
      EXPECT_EQ(v.cert, cert) << "exactly the signer's DER";
    }
    // Each message is well-formed BER for OpenSSL's reader.
    EXPECT_NE(Asn1Parse(BuildSignedData(row.certificates, &data, row.signature, parts)),
              std::string());
  }
  // OpenSSL's CMS reader takes the standard message under the PKCS#7 types as the SignedData it
  // is: SM3 as the signer's digest, a messageDigest among its signed attributes, SM2-with-SM3
  // as its signature algorithm. (Its verification cannot check it: OpenSSL 3.0's CMS uses an empty
  // SM2 ID.)
  SignedDataParts parts;
  with(DerTlv(0xA0, cms_attributes), pkcs7)(&parts);
  WriteBinaryFile(dir_.File("cms.der"),
                  BuildSignedData(cert, &data, DerTlv(0x04, of_cms_attributes), parts));
  const std::string listing =
      SharedPki().Openssl("cms -cmsout -print -inform DER -in " + ShellQuote(dir_.File("cms.der")));
  size_t at = 0;
  for (const char *text : {"pkcs7-signedData", "eContentType: pkcs7-data", "digestAlgorithm:",
                           "sm3", "signedAttrs", "messageDigest", "signatureAlgorithm:",
                           "SM2-with-SM3"}) {
    at = listing.find(text, at);
    EXPECT_NE(at, std::string::npos) << text << " in order\n" << listing;
    if (at == std::string::npos) break;
  }
}

// The certificate inside is not checked: an expired one verifies.
TEST_F(Sm2Pkcs7, ExpiredCertificateStillVerifies) {
  TestPki pki(dir_.path());
  CertSpec details;
  details.subject = "/CN=Expired SM2 signer";
  details.extensions = kLeafSignExtensions;
  details.not_before = time(nullptr) - 400 * 86400;
  details.not_after = time(nullptr) - 86400;
  pki.AddRoot("expired", details);
  WriteSm2KeyFile(dir_.File("expired.sm2"), pki.Key("expired"), pki.Der("expired"),
                  kKeyFilePassword);
  const Bytes data = RandomBytes(100);
  FilePtr key = OpenForReading(dir_.File("expired.sm2"));
  TextResult s = CallForText([&](char **o, int *n) {
    return SignData_PKCS7_BySM2PFX(data.data(), Size(data), key.get(), kKeyFilePassword, false, o,
                                   n, ATL_BASE64_FLAG_NOCRLF, true,
                                   SIGNATURE_ENCODED_SM2_OCTET_STRING_Q1, kSignatureOid);
  });
  ASSERT_EQ(s.rc, KELU_OK);
  const Verified v = VerifyDetached(s.text, data);
  EXPECT_EQ(v.rc, KELU_OK);
  EXPECT_EQ(v.cert, pki.DerBytes("expired"));
}

// ---- Verification over signed attributes ----

struct Attributed {
  Bytes cert, signature, attributes;
  std::string digest_oid, encryption_oid;
};

Attributed ParseAttributed(const Bytes &der) {
  unsigned char *cert = nullptr, *signature = nullptr, *attributes = nullptr;
  char *digest = nullptr, *encryption = nullptr;
  int cert_size = 0, signature_size = 0, attributes_size = 0, digest_len = 0, encryption_len = 0;
  EXPECT_EQ(ParsePKCS7Signature(der.data(), Size(der), &cert, &cert_size, &signature,
                                &signature_size, nullptr, nullptr, &digest, &digest_len,
                                &encryption, &encryption_len, &attributes, &attributes_size,
                                nullptr, nullptr, 0),
            KELU_OK);
  Attributed a{Bytes(cert, cert + cert_size), Bytes(signature, signature + signature_size),
               Bytes(attributes, attributes + attributes_size), digest ? digest : "",
               encryption ? encryption : ""};
  delete[] cert;
  delete[] signature;
  delete[] attributes;
  delete[] digest;
  delete[] encryption;
  return a;
}

int VerifyAttributed(const Attributed &a, const Bytes &content) {
  return VerifySignature_PKCS7WithSignedAttributes(
      a.cert.data(), Size(a.cert), a.signature.data(), Size(a.signature), content.data(),
      Size(content), a.digest_oid.c_str(), Length(a.digest_oid), a.encryption_oid.c_str(),
      Length(a.encryption_oid), a.attributes.data(), Size(a.attributes));
}

// The attribute block with one bit of the messageDigest value flipped.
Bytes WithChangedDigest(Bytes attributes, const Bytes &digest) {
  auto at = std::search(attributes.begin(), attributes.end(), digest.begin(), digest.end());
  EXPECT_NE(at, attributes.end());
  if (at != attributes.end()) *at ^= 0x01;
  return attributes;
}

Bytes Sha256(const Bytes &data) {
  Bytes out(32);
  unsigned int len = 0;
  EXPECT_EQ(EVP_Digest(data.data(), data.size(), out.data(), &len, EVP_sha256(), nullptr), 1);
  return out;
}

TEST_F(Sm2Pkcs7, SignedAttributesOfOpensslCms) {
  const Bytes data = RandomBytes(2000);
  WriteBinaryFile(dir_.File("data.bin"), data);
  const TestPki &pki = SharedPki();
  pki.Openssl("cms -sign -binary -md sha256 -in " + ShellQuote(dir_.File("data.bin")) +
              " -signer " + ShellQuote(pki.Pem("rsa-leaf")) + " -inkey " +
              ShellQuote(pki.Key("rsa-leaf")) + " -outform DER -out " +
              ShellQuote(dir_.File("cms.der")));
  const Attributed a = ParseAttributed(ReadBinaryFile(dir_.File("cms.der")));
  ASSERT_EQ(a.attributes.empty(), false);
  ASSERT_EQ(a.attributes[0], 0xA0);
  EXPECT_EQ(VerifyAttributed(a, data), KELU_OK);

  struct Case {
    const char *what;
    std::function<void(Attributed *)> change;
    int want;
  };
  const Case cases[] = {
      {"messageDigest changed",
       [&](Attributed *x) { x->attributes = WithChangedDigest(x->attributes, Sha256(data)); },
       KELU_ERR_DIGEST_MISMATCH},
      {"block tagged as a SET", [](Attributed *x) { x->attributes[0] = 0x31; },
       KELU_ERR_PKCS7_FORMAT},
      {"digest OID of no object", [](Attributed *x) { x->digest_oid = "1.2.3.4.5.6.7"; },
       KELU_ERR_UNKNOWN_HASH},
      {"SHA-1 named", [](Attributed *x) { x->digest_oid = "1.3.14.3.2.26"; },
       KELU_ERR_DIGEST_MISMATCH},
      {"signature changed", [](Attributed *x) { x->signature[10] ^= 0x01; },
       KELU_ERR_BAD_SIGNATURE},
  };
  for (const Case &c : cases) {
    Attributed changed = a;
    c.change(&changed);
    EXPECT_EQ(VerifyAttributed(changed, data), c.want) << c.what;
  }
  EXPECT_EQ(VerifyAttributed(a, Changed(data)), KELU_ERR_DIGEST_MISMATCH);
}

// SM2 over signed attributes: the SET OF attributes signed by OpenSSL's SM2 with the Z value.
TEST_F(Sm2Pkcs7, SignedAttributesSignedByOpensslSm2) {
  const Bytes data = RandomBytes(500);
  Bytes digest(32);
  unsigned int len = 0;
  ASSERT_EQ(EVP_Digest(data.data(), data.size(), digest.data(), &len, EVP_sm3(), nullptr), 1);
  const Bytes attributes_content =
      Cat({DerTlv(0x30, Cat({Oid("1.2.840.113549.1.9.3"),
                             DerTlv(0x31, Oid("1.2.156.10197.6.1.4.2.1"))})),
           DerTlv(0x30, Cat({Oid("1.2.840.113549.1.9.4"), DerTlv(0x31, DerTlv(0x04, digest))}))});
  Attributed a{SignerCertDer(),
               OpensslSm2Sign(SharedPki().Key("sm2-leaf"), DerTlv(0x31, attributes_content), true),
               DerTlv(0xA0, attributes_content), "1.2.156.10197.1.401", kSignatureOid};
  EXPECT_EQ(VerifyAttributed(a, data), KELU_OK);
  EXPECT_EQ(VerifyAttributed(a, Changed(data)), KELU_ERR_DIGEST_MISMATCH);
  Attributed other_key = a;
  other_key.cert = SharedPki().DerBytes("sm2-int");
  EXPECT_EQ(VerifyAttributed(other_key, data), KELU_ERR_FAILED);
}

}  // namespace
}  // namespace kelu::test

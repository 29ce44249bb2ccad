// SM2 PKCS#7 SignedData of data and files, detached and attached, read by openssl asn1parse and
// its signature value checked with OpenSSL's SM2 (OpenSSL does not parse SignedData of the
// national content types); SignedData built here around OpenSSL's signatures verified by the
// toolkit; the verification over signed attributes against openssl cms and OpenSSL's SM2.
#include <gtest/gtest.h>
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
#include "Sm2SigningTestUtil.h"

namespace kelu::test {
namespace {

constexpr char kSignatureOid[] = "1.2.156.10197.1.301.1";

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes Oid(const char *dotted) {
  ASN1_OBJECT *obj = OBJ_txt2obj(dotted, 1);
  EXPECT_NE(obj, nullptr) << dotted;
  Bytes content(OBJ_get0_data(obj), OBJ_get0_data(obj) + OBJ_length(obj));
  ASN1_OBJECT_free(obj);
  return DerTlv(0x06, content);
}

Bytes Algorithm(const char *dotted) { return DerTlv(0x30, Cat({Oid(dotted), {0x05, 0x00}})); }

// The issuerAndSerialNumber content of a DER certificate.
Bytes IssuerAndSerial(const Bytes &cert) {
  const unsigned char *p = cert.data();
  X509 *x = d2i_X509(nullptr, &p, Size(cert));
  EXPECT_NE(x, nullptr);
  unsigned char *issuer = nullptr, *serial = nullptr;
  const int issuer_size = i2d_X509_NAME(X509_get_issuer_name(x), &issuer);
  const int serial_size = i2d_ASN1_INTEGER(X509_get0_serialNumber(x), &serial);
  Bytes out(issuer, issuer + issuer_size);
  out.insert(out.end(), serial, serial + serial_size);
  OPENSSL_free(issuer);
  OPENSSL_free(serial);
  X509_free(x);
  return out;
}

// A SignedData of one signer written here, independently of the toolkit's encoder: the
// certificate, the content when given, and the SignerInfo's signature value element as given.
Bytes BuildSignedData(const Bytes &cert, const Bytes *content, const Bytes &signature_element,
                      const char *content_type = "1.2.156.10197.6.1.4.2.2") {
  const Bytes content_info = DerTlv(
      0x30, Cat({Oid("1.2.156.10197.6.1.4.2.1"),
                 content != nullptr ? DerTlv(0xA0, DerTlv(0x04, *content)) : Bytes()}));
  const Bytes signer = DerTlv(
      0x30, Cat({{0x02, 0x01, 0x01}, DerTlv(0x30, IssuerAndSerial(cert)),
                 Algorithm("1.2.156.10197.1.401"), Algorithm(kSignatureOid), signature_element}));
  const Bytes signed_data = DerTlv(
      0x30, Cat({{0x02, 0x01, 0x01}, DerTlv(0x31, Algorithm("1.2.156.10197.1.401")), content_info,
                 DerTlv(0xA0, cert), DerTlv(0x31, signer)}));
  return DerTlv(0x30, Cat({Oid(content_type), DerTlv(0xA0, signed_data)}));
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
                                                    "1.2.840.113549.1.7.3")),
                           data)
                .rc,
            KELU_ERR_PKCS7_FORMAT);
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

// A signature value that is no r || s of 64 bytes is refused before it is read.
TEST_F(Sm2Pkcs7, AttachedFileWithAnotherSignatureSize) {
  const Bytes data = RandomBytes(30);
  const Bytes theirs = OpensslSm2Sign(SharedPki().Key("sm2-leaf"), data, true);
  // Under pkcs7-signedData the OCTET STRING is handed out unchanged.
  const std::string path = dir_.File("signed.p7");
  WriteBinaryFile(path, BuildSignedData(SignerCertDer(), &data, DerTlv(0x04, theirs),
                                        "1.2.840.113549.1.7.2"));
  FilePtr file = OpenForReading(path);
  log_.Take();
  EXPECT_EQ(VerifyFileSignature_PKCS7Attached(file.get(), nullptr, nullptr, nullptr, nullptr, true),
            KELU_ERR_INVALID_PARAMETER);
  EXPECT_TRUE(log_.Contains("(VerifyFileSignature_PKCS7Attached -- Check SM2 raw signature size)"));
  // The same under the SM signedData type verifies.
  WriteBinaryFile(path, BuildSignedData(SignerCertDer(), &data, DerTlv(0x04, theirs)));
  FilePtr again = OpenForReading(path);
  EXPECT_EQ(VerifyFileSignature_PKCS7Attached(again.get(), nullptr, nullptr, nullptr, nullptr, true),
            KELU_OK);
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

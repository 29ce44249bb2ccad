/* SignedData of one signer built for the tests around signatures made elsewhere (OpenSSL's
 * SM2), independently of the toolkit's encoder: the defaults are what the toolkit writes, and
 * each part may be replaced by what a standard CMS signer writes or by a forgery. */
#ifndef KELU_SM2_SIGNED_DATA_BUILDER_H
#define KELU_SM2_SIGNED_DATA_BUILDER_H

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <initializer_list>
#include <string>

#include "Sm2KeyFiles.h"
#include "TestSupport.h"

namespace kelu::test {

inline Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

inline Bytes Oid(const char *dotted) {
  ASN1_OBJECT *obj = OBJ_txt2obj(dotted, 1);
  EXPECT_NE(obj, nullptr) << dotted;
  Bytes content(OBJ_get0_data(obj), OBJ_get0_data(obj) + OBJ_length(obj));
  ASN1_OBJECT_free(obj);
  return DerTlv(0x06, content);
}

inline Bytes Algorithm(const char *dotted) {
  return DerTlv(0x30, Cat({Oid(dotted), {0x05, 0x00}}));
}

// The issuer Name DER or the serialNumber DER of a DER certificate (the first of several).
inline Bytes CertificateField(const Bytes &cert, bool issuer) {
  const unsigned char *p = cert.data();
  X509 *x = d2i_X509(nullptr, &p, static_cast<long>(cert.size()));
  EXPECT_NE(x, nullptr);
  unsigned char *der = nullptr;
  const int size = issuer ? i2d_X509_NAME(X509_get_issuer_name(x), &der)
                          : i2d_ASN1_INTEGER(X509_get0_serialNumber(x), &der);
  Bytes out(der, der + size);
  OPENSSL_free(der);
  X509_free(x);
  return out;
}
inline Bytes IssuerOf(const Bytes &cert) { return CertificateField(cert, true); }
inline Bytes SerialOf(const Bytes &cert) { return CertificateField(cert, false); }

// The issuerAndSerialNumber content of a DER certificate.
inline Bytes IssuerAndSerial(const Bytes &cert) { return Cat({IssuerOf(cert), SerialOf(cert)}); }

// The content types: the national ones, which the toolkit writes, and PKCS#7's, which CMS
// signers write.
constexpr char kSmSignedDataType[] = "1.2.156.10197.6.1.4.2.2";
constexpr char kSmDataType[] = "1.2.156.10197.6.1.4.2.1";
constexpr char kPkcs7SignedDataType[] = "1.2.840.113549.1.7.2";
constexpr char kPkcs7DataType[] = "1.2.840.113549.1.7.1";

// The parts of a SignedData of one signer written here, independently of the toolkit's
// encoder; the defaults are what the toolkit writes.
struct SignedDataParts {
  const char *outer_type = kSmSignedDataType;
  const char *inner_type = kSmDataType;
  Bytes version = DerTlv(0x02, {0x01});  // of the SignedData
  Bytes digest_algorithm = Algorithm("1.2.156.10197.1.401");
  Bytes signature_algorithm = Algorithm("1.2.156.10197.1.301.1");
  Bytes signer;     // issuerAndSerialNumber content; that of the (first) certificate when empty
  Bytes after_certificates;  // the element between the certificates and the signerInfos, if any
  Bytes signed_attributes;   // the SignerInfo's [0] element, if any
  Bytes certificates_field;  // the whole certificates element, in place of [0] { certificates }
};

// certificates: the content of the [0] element (one certificate, or several one after the
// other); the content when given; the SignerInfo's signature value element as given.
inline Bytes BuildSignedData(const Bytes &certificates, const Bytes *content,
                      const Bytes &signature_element, const SignedDataParts &parts = {}) {
  const Bytes content_info =
      DerTlv(0x30, Cat({Oid(parts.inner_type),
                        content != nullptr ? DerTlv(0xA0, DerTlv(0x04, *content)) : Bytes()}));
  const Bytes signer = DerTlv(
      0x30, Cat({{0x02, 0x01, 0x01},
                 DerTlv(0x30, parts.signer.empty() ? IssuerAndSerial(certificates) : parts.signer),
                 parts.digest_algorithm, parts.signed_attributes, parts.signature_algorithm,
                 signature_element}));
  const Bytes signed_data = DerTlv(
      0x30, Cat({parts.version, DerTlv(0x31, parts.digest_algorithm), content_info,
                 parts.certificates_field.empty() ? DerTlv(0xA0, certificates)
                                                  : parts.certificates_field,
                 parts.after_certificates, DerTlv(0x31, signer)}));
  return DerTlv(0x30, Cat({Oid(parts.outer_type), DerTlv(0xA0, signed_data)}));
}

inline SignedDataParts WithOuterType(const char *type) {
  SignedDataParts parts;
  parts.outer_type = type;
  return parts;
}

inline SignedDataParts WithContentTypes(const char *outer, const char *inner) {
  SignedDataParts parts = WithOuterType(outer);
  parts.inner_type = inner;
  return parts;
}

inline Bytes Sm3(const Bytes &data) {
  Bytes out(32);
  unsigned int len = 0;
  EXPECT_EQ(EVP_Digest(data.data(), data.size(), out.data(), &len, EVP_sm3(), nullptr), 1);
  return out;
}

inline Bytes Attribute(const char *oid, const Bytes &value) {
  return DerTlv(0x30, Cat({Oid(oid), DerTlv(0x31, value)}));
}
inline Bytes ContentTypeAttribute(const char *type = kSmDataType) {
  return Attribute("1.2.840.113549.1.9.3", Oid(type));
}
inline Bytes MessageDigestAttribute(const Bytes &digest) {
  return Attribute("1.2.840.113549.1.9.4", DerTlv(0x04, digest));
}
inline Bytes SigningTimeAttribute(const std::string &utc) {
  return Attribute("1.2.840.113549.1.9.5", DerTlv(0x17, Bytes(utc.begin(), utc.end())));
}

// r || s of OpenSSL's DER signature, 32 bytes each.
inline Bytes RawOf(const Bytes &der) {
  const unsigned char *p = der.data();
  ECDSA_SIG *sig = d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(der.size()));
  EXPECT_NE(sig, nullptr);
  Bytes rs(64);
  if (sig != nullptr) {
    EXPECT_EQ(BN_bn2binpad(ECDSA_SIG_get0_r(sig), rs.data(), 32), 32);
    EXPECT_EQ(BN_bn2binpad(ECDSA_SIG_get0_s(sig), rs.data() + 32, 32), 32);
  }
  ECDSA_SIG_free(sig);
  return rs;
}

// The forms in which a SignerInfo carries an SM2 signature value, made of OpenSSL's DER
// SEQUENCE { INTEGER r, INTEGER s } (at most 72 bytes: its header is two octets).
enum class Sm2ValueForm {
  kRawInOctetString,    // OCTET STRING of the 64 bytes r || s
  kSM2Q1InOctetString,  // OCTET STRING of the DER
  kSM2Q1,               // the DER SEQUENCE itself
  kTwoIntegers,         // INTEGER r and INTEGER s as the SignerInfo's last two elements
};
inline Bytes Sm2SignatureValue(Sm2ValueForm form, const Bytes &der) {
  switch (form) {
    case Sm2ValueForm::kRawInOctetString:
      return DerTlv(0x04, RawOf(der));
    case Sm2ValueForm::kSM2Q1InOctetString:
      return DerTlv(0x04, der);
    case Sm2ValueForm::kSM2Q1:
      return der;
    case Sm2ValueForm::kTwoIntegers:
      return Bytes(der.begin() + 2, der.end());
  }
  return {};
}

// A definite element rewritten in the indefinite form: tag 80 content 00 00.
inline Bytes Indefinite(const Bytes &element) {
  const size_t length_octets = (element.at(1) & 0x80) != 0 ? 1 + (element[1] & 0x7F) : 1;
  return Cat({{element[0], 0x80}, Bytes(element.begin() + 1 + length_octets, element.end()),
              {0x00, 0x00}});
}

}  // namespace kelu::test

#endif

/* The SM2 certificates and key files of the SM2 envelope tests, made once per test program with
 * the openssl command line (keys, certificates) and the independent key-file writer of the test
 * support, and OpenSSL's own SM2 and SM4 as the reference for envelope parts. */
#ifndef KELU_SM2_ENVELOPE_PKI_H
#define KELU_SM2_ENVELOPE_PKI_H

#include <gtest/gtest.h>
#include <openssl/asn1.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <iterator>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "OsslPtr.h"
#include "Sm2KeyFiles.h"
#include "TestPki.h"
#include "TestSupport.h"

namespace kelu::test {

constexpr char kKeyFilePassword[] = "key file pass";

// Certificates of the SM2 CA "sm2-env-ca" (PEM name.pem, DER name.der, key name.key):
//   enc        SM2, keyEncipherment, subject key identifier
//   other      another SM2 key, the same extensions
//   sign-only  the key of enc, digitalSignature only
//   no-ku      the key of enc, no keyUsage extension
//   no-ski     the key of enc, keyEncipherment, no subject key identifier
//   rsa        an RSA key, keyEncipherment, subject key identifier
// SM2 key files (password kKeyFilePassword): name.sm2 for enc and other.
class Sm2EnvelopePki : public LeafPki {
 public:
  Sm2EnvelopePki() : LeafPki("sm2-env-ca", CaSpec()) {
    const std::string enc =
        "basicConstraints = CA:false\nkeyUsage = keyEncipherment\nsubjectKeyIdentifier = hash\n";
    Leaf("enc", KeyAlg::kSM2, "", enc);
    Leaf("other", KeyAlg::kSM2, "", enc);
    const std::string key = pki_.Key("enc");
    Leaf("sign-only", KeyAlg::kSM2, key,
         "keyUsage = digitalSignature\nsubjectKeyIdentifier = hash\n");
    Leaf("no-ku", KeyAlg::kSM2, key, "basicConstraints = CA:false\nsubjectKeyIdentifier = hash\n");
    Leaf("no-ski", KeyAlg::kSM2, key, "keyUsage = keyEncipherment\nsubjectKeyIdentifier = none\n");
    Leaf("rsa", KeyAlg::kRSA, "", enc);
    for (const char *name : {"enc", "other"}) {
      WriteSm2KeyFile(KeyFile(name), pki_.Key(name), pki_.Pem(name), kKeyFilePassword);
    }
  }

  std::string KeyFile(const std::string &name) const { return pki_.dir() + "/" + name + ".sm2"; }
  Bytes PemBytes(const std::string &name) const { return pki_.PemBytes(name); }

  // The subject key identifier of name's certificate, as OpenSSL decodes it.
  Bytes KeyId(const std::string &name) const {
    const Bytes der = Der(name);
    const unsigned char *p = der.data();
    X509 *cert = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
    EXPECT_NE(cert, nullptr);
    const ASN1_OCTET_STRING *id = cert != nullptr ? X509_get0_subject_key_id(cert) : nullptr;
    Bytes out;
    if (id != nullptr) out.assign(id->data, id->data + id->length);
    X509_free(cert);
    return out;
  }

 private:
  static CertSpec CaSpec() {
    CertSpec ca;
    ca.subject = "/C=CN/O=Kelu Test/CN=SM2 Envelope CA";
    ca.extensions = kCaExtensions;
    return ca;
  }
};

inline const Sm2EnvelopePki &SharedSm2Pki() {
  static const Sm2EnvelopePki *pki = new Sm2EnvelopePki();
  return *pki;
}

// ---- OpenSSL's DER form of an SM2 cipher text ------------------------------------------------

inline void FreeAsn1Types(STACK_OF(ASN1_TYPE) * s) { sk_ASN1_TYPE_pop_free(s, ASN1_TYPE_free); }
using Asn1TypeStackPtr = std::unique_ptr<STACK_OF(ASN1_TYPE), Deleter<FreeAsn1Types>>;

// OpenSSL's DER cipher text SEQUENCE { x, y, C3, C2 } as the raw x || y || C2 || C3.
inline Bytes RawOfOpenSslDer(const Bytes &der) {
  const unsigned char *p = der.data();
  Asn1TypeStackPtr seq(d2i_ASN1_SEQUENCE_ANY(nullptr, &p, static_cast<long>(der.size())));
  if (!seq || sk_ASN1_TYPE_num(seq.get()) != 4) return {};
  Bytes raw(64);
  for (int i = 0; i < 2; ++i) {
    BignumPtr bn(ASN1_INTEGER_to_BN(sk_ASN1_TYPE_value(seq.get(), i)->value.integer, nullptr));
    BN_bn2binpad(bn.get(), raw.data() + 32 * i, 32);
  }
  const ASN1_OCTET_STRING *c3 = sk_ASN1_TYPE_value(seq.get(), 2)->value.octet_string;
  const ASN1_OCTET_STRING *c2 = sk_ASN1_TYPE_value(seq.get(), 3)->value.octet_string;
  raw.insert(raw.end(), c2->data, c2->data + c2->length);
  raw.insert(raw.end(), c3->data, c3->data + c3->length);
  return raw;
}

// The raw form as OpenSSL's DER, written by OpenSSL's ASN.1 code.
inline Bytes OpenSslDerOfRaw(const Bytes &raw) {
  Asn1TypeStackPtr seq(sk_ASN1_TYPE_new_null());
  size_t m = raw.size() - 96;
  for (int i = 0; i < 2; ++i) {
    BignumPtr bn(BN_bin2bn(raw.data() + 32 * i, 32, nullptr));
    ASN1_TYPE *t = ASN1_TYPE_new();
    ASN1_TYPE_set(t, V_ASN1_INTEGER, BN_to_ASN1_INTEGER(bn.get(), nullptr));
    sk_ASN1_TYPE_push(seq.get(), t);
  }
  const unsigned char *parts[] = {raw.data() + 64 + m, raw.data() + 64};
  size_t lengths[] = {32, m};
  for (int i = 0; i < 2; ++i) {
    ASN1_OCTET_STRING *s = ASN1_OCTET_STRING_new();
    ASN1_OCTET_STRING_set(s, parts[i], static_cast<int>(lengths[i]));
    ASN1_TYPE *t = ASN1_TYPE_new();
    ASN1_TYPE_set(t, V_ASN1_OCTET_STRING, s);
    sk_ASN1_TYPE_push(seq.get(), t);
  }
  unsigned char *der = nullptr;
  int len = i2d_ASN1_SEQUENCE_ANY(seq.get(), &der);
  Bytes out(der, der + (len > 0 ? len : 0));
  OPENSSL_free(der);
  return out;
}

// ---- Envelopes taken apart by openssl asn1parse ----------------------------------------------

// One element as `openssl asn1parse` shows it: depth, header and value lengths at an offset,
// what it is and the value it prints.
struct AsnLine {
  size_t offset;
  int depth;
  size_t header;
  size_t length;
  std::string what;   // "cons: SEQUENCE", "prim: OBJECT", ...
  std::string value;  // after the colon, as printed
};

inline std::vector<AsnLine> Asn1Parse(const Bytes &der, const std::string &dir) {
  WriteBinaryFile(dir + "/asn1.der", der);
  CommandResult r =
      RunCommand("openssl asn1parse -inform DER -in " + ShellQuote(dir + "/asn1.der"), false);
  EXPECT_EQ(r.exit_code, 0) << r.output;
  static const std::regex line(
      R"(^\s*(\d+):d=(\d+)\s+hl=(\d+)\s+l=\s*(\d+)\s+(cons|prim):\s*([^:]*?)\s*(?:\[HEX DUMP\])?(?::(.*))?$)");
  std::vector<AsnLine> out;
  std::istringstream text(r.output);
  for (std::string l; std::getline(text, l);) {
    std::smatch m;
    if (!std::regex_match(l, m, line)) continue;
    out.push_back({std::stoul(m[1]), std::stoi(m[2]), std::stoul(m[3]), std::stoul(m[4]),
                   m[5].str() + ": " + m[6].str(), m[7].str()});
  }
  return out;
}

inline Bytes ValueOf(const Bytes &der, const AsnLine &l) {
  const size_t start = l.offset + l.header;
  return Bytes(der.begin() + static_cast<long>(start),
               der.begin() + static_cast<long>(start + l.length));
}

// The parts of an SM2 envelope as `openssl asn1parse` shows them, its elements checked one by
// one.
struct PeerFields {
  Bytes key_id, encrypted_key, parameters_value, content;
  std::string content_algorithm;
};

inline PeerFields ParseWithOpenssl(const Bytes &der, const std::string &dir) {
  const std::vector<AsnLine> l = Asn1Parse(der, dir);
  struct Expect {
    int depth;
    const char *what;
  };
  const Expect shape[] = {
      {0, "cons: SEQUENCE"},     {1, "prim: OBJECT"},   {1, "cons: cont [ 0 ]"},
      {2, "cons: SEQUENCE"},     {3, "prim: INTEGER"},  {3, "cons: SET"},
      {4, "cons: SEQUENCE"},     {5, "prim: INTEGER"},  {5, "prim: cont [ 0 ]"},
      {5, "cons: SEQUENCE"},     {6, "prim: OBJECT"},   {6, "prim: NULL"},
      {5, "prim: OCTET STRING"}, {3, "cons: SEQUENCE"}, {4, "prim: OBJECT"},
      {4, "cons: SEQUENCE"},     {5, "prim: OBJECT"},   {5, "prim: ?"},
      {4, "prim: cont [ 0 ]"},
  };
  PeerFields f;
  EXPECT_EQ(l.size(), std::size(shape));
  if (l.size() != std::size(shape)) return f;
  for (size_t i = 0; i < l.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(l[i].depth, shape[i].depth);
    if (std::string(shape[i].what) != "prim: ?") {
      EXPECT_EQ(l[i].what, shape[i].what);
    }
  }
  EXPECT_EQ(l[1].value, "1.2.156.10197.6.1.4.2.3");
  EXPECT_EQ(l[4].value, "02");
  EXPECT_EQ(l[7].value, "02");
  EXPECT_EQ(l[10].value, "1.2.156.10197.1.301.3");
  EXPECT_EQ(l[14].value, "1.2.156.10197.6.1.4.2.1");
  f.key_id = ValueOf(der, l[8]);
  f.encrypted_key = ValueOf(der, l[12]);
  f.content_algorithm = l[16].value;
  f.parameters_value = ValueOf(der, l[17]);
  f.content = ValueOf(der, l[18]);
  EXPECT_EQ(l[18].offset + l[18].header + l[18].length, der.size()) << "nothing after the content";
  return f;
}

// ---- Envelopes assembled independently of the toolkit's encoders ----------------------------

// The fields of an envelope to assemble; the defaults are those of an SM2 envelope with
// SM4-CBC content.
struct EnvelopeParts {
  std::string outer_type = "1.2.156.10197.6.1.4.2.3";
  Bytes key_id;
  std::string key_algorithm = "1.2.156.10197.1.301.3";
  Bytes encrypted_key;
  std::string inner_type = "1.2.156.10197.6.1.4.2.1";
  std::string content_algorithm = "1.2.156.10197.1.104";
  Bytes parameters;  // the whole element after the OID (04 10 IV, or 05 00)
  Bytes content;
};

// ContentInfo { type, [0] EnvelopedData { 2, SET { KeyTransRecipientInfo { 2, [0] id,
// AlgorithmIdentifier, OCTET STRING key } }, EncryptedContentInfo { type, AlgorithmIdentifier,
// [0] content } } } in DER, written here with the DER helper of the test support.
inline Bytes AssembleEnvelope(const EnvelopeParts &e) {
  const Bytes version = DerTlv(0x02, {0x02});
  const Bytes recipient = DerTlv(
      0x30, Concat({version, DerTlv(0x80, e.key_id),
                    DerTlv(0x30, Concat({DerTlv(0x06, OidContent(e.key_algorithm)), {0x05, 0x00}})),
                    DerTlv(0x04, e.encrypted_key)}));
  const Bytes content_info = DerTlv(
      0x30,
      Concat({DerTlv(0x06, OidContent(e.inner_type)),
              DerTlv(0x30, Concat({DerTlv(0x06, OidContent(e.content_algorithm)), e.parameters})),
              DerTlv(0x80, e.content)}));
  const Bytes enveloped = DerTlv(0x30, Concat({version, DerTlv(0x31, recipient), content_info}));
  return DerTlv(0x30, Concat({DerTlv(0x06, OidContent(e.outer_type)), DerTlv(0xA0, enveloped)}));
}

// SM2 encryption and decryption by OpenSSL's own SM2 with the key of a PEM file; the cipher
// text in OpenSSL's DER form SEQUENCE { x, y, C3, C2 }.
inline Bytes OpensslSm2Encrypt(const Sm2EnvelopePki &pki, const std::string &cert_name,
                               const Bytes &plain, const std::string &dir) {
  WriteBinaryFile(dir + "/sm2-plain.bin", plain);
  pki.Openssl("pkeyutl -encrypt -certin -inkey " + ShellQuote(pki.Pem(cert_name)) + " -in " +
              ShellQuote(dir + "/sm2-plain.bin") + " -out " + ShellQuote(dir + "/sm2-cipher.der"));
  return ReadBinaryFile(dir + "/sm2-cipher.der");
}

inline CommandResult OpensslSm2Decrypt(const Sm2EnvelopePki &pki, const std::string &key_name,
                                       const Bytes &cipher_der, const std::string &dir) {
  WriteBinaryFile(dir + "/sm2-cipher.der", cipher_der);
  return RunCommand("openssl pkeyutl -decrypt -inkey " + ShellQuote(pki.Key(key_name)) + " -in " +
                        ShellQuote(dir + "/sm2-cipher.der") + " -out " +
                        ShellQuote(dir + "/sm2-plain.bin"),
                    true);
}

// openssl enc over bytes (cipher such as "-sm4-cbc"; iv empty for ECB), with or without its
// padding.
inline Bytes OpensslEnc(const std::string &cipher, bool decrypt, const Bytes &key, const Bytes &iv,
                        const Bytes &in, const std::string &dir, bool padding = true) {
  WriteBinaryFile(dir + "/enc-in.bin", in);
  CommandResult r =
      RunCommand("openssl enc " + cipher + (decrypt ? " -d" : "") + (padding ? "" : " -nopad") +
                     " -K " + ToHex(key) + (iv.empty() ? "" : " -iv " + ToHex(iv)) + " -in " +
                     ShellQuote(dir + "/enc-in.bin") + " -out " + ShellQuote(dir + "/enc-out.bin"),
                 true);
  EXPECT_EQ(r.exit_code, 0) << r.output;
  return ReadBinaryFile(dir + "/enc-out.bin");
}

}  // namespace kelu::test

#endif

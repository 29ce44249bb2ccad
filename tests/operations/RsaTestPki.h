/* The RSA certificates and PKCS#12 files of the RSA envelope and signature tests, made once per
 * test program with the openssl command line, and small helpers around them. */
#ifndef KELU_RSA_TEST_PKI_H
#define KELU_RSA_TEST_PKI_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

#include "Base64Utility.h"
#include "KeluErrors.h"
#include "SMKernel.h"
#include "StartKernel.h"
#include "TestPki.h"
#include "TestSupport.h"

namespace kelu::test {

constexpr char kPfxPassword[] = "p12 pass";

// Certificates of the CA "rsa-ca" (PEM name.pem, DER name.der, key name.key):
//   rsa        RSA 2048, digitalSignature + keyEncipherment, subject key identifier
//   other      another RSA 2048 key, the same extensions
//   sign-only  the key of rsa, digitalSignature only
//   enc-only   the key of rsa, keyEncipherment only
//   no-ku      the key of rsa, no keyUsage extension
//   no-ski     the key of rsa, keyEncipherment, no subject key identifier
//   expired    the key of rsa, both usages, expired a year ago
//   rsa512     a 512-bit key, rsa1024 a 1024-bit key, both usages
//   ec         a P-256 key, digitalSignature + keyAgreement
// PKCS#12 files (password kPfxPassword): name.p12 for rsa, other, enc-only, no-ku, expired, ec,
// rsa512, rsa1024; rsa-legacy.p12 (-legacy, RC2-40), rsa-nokey.p12 (certificate only).
class RsaPki : public LeafPki {
 public:
  RsaPki() : LeafPki("rsa-ca", CaSpec()) {
    const std::string both =
        "basicConstraints = CA:false\nkeyUsage = digitalSignature,keyEncipherment\n"
        "subjectKeyIdentifier = hash\n";
    Leaf("rsa", KeyAlg::kRSA, "", both);
    Leaf("other", KeyAlg::kRSA, "", both);
    const std::string key = pki_.Key("rsa");
    Leaf("sign-only", KeyAlg::kRSA, key,
         "keyUsage = digitalSignature\nsubjectKeyIdentifier = hash\n");
    Leaf("enc-only", KeyAlg::kRSA, key,
         "keyUsage = keyEncipherment\nsubjectKeyIdentifier = hash\n");
    Leaf("no-ku", KeyAlg::kRSA, key, "basicConstraints = CA:false\nsubjectKeyIdentifier = hash\n");
    Leaf("no-ski", KeyAlg::kRSA, key, "keyUsage = keyEncipherment\nsubjectKeyIdentifier = none\n");
    CertSpec expired;
    expired.alg = KeyAlg::kRSA;
    expired.subject = "/CN=expired";
    expired.key_file = key;
    expired.extensions = both;
    expired.not_before = time(nullptr) - 800 * 86400;
    expired.not_after = time(nullptr) - 400 * 86400;
    pki_.Issue("expired", "rsa-ca", expired);
    for (int bits : {512, 1024}) {
      const std::string name = "rsa" + std::to_string(bits);
      const std::string file = dir_.File(name + "-key.pem");
      pki_.Openssl("genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:" + std::to_string(bits) +
                   " -out " + ShellQuote(file));
      Leaf(name, KeyAlg::kRSA, file, both);
    }
    Leaf("ec", KeyAlg::kEC256, "",
         "keyUsage = digitalSignature,keyAgreement\nsubjectKeyIdentifier = hash\n");
    for (const char *name : {"rsa", "other", "enc-only", "no-ku", "expired", "ec", "rsa512",
                             "rsa1024"}) {
      pki_.MakePkcs12(name, name, kPfxPassword, "");
    }
    pki_.MakePkcs12("rsa-legacy", "rsa", kPfxPassword, "-legacy");
    pki_.MakePkcs12("rsa-nokey", "rsa", kPfxPassword, "-nokeys");
  }

  std::string Pfx(const std::string &name) const { return pki_.dir() + "/" + name + ".p12"; }

 private:
  static CertSpec CaSpec() {
    CertSpec ca;
    ca.alg = KeyAlg::kRSA;
    ca.subject = "/C=CN/O=Kelu Test/CN=RSA Envelope CA";
    ca.extensions = kCaExtensions;
    return ca;
  }
};

inline const RsaPki &SharedRsaPki() {
  static const RsaPki *pki = new RsaPki();
  return *pki;
}

// Start-up and the toolkit's library context for the test thread, as StartCryptoKernel.
inline void StartRsaKernel() { StartKernelInToolkitContext(); }

// The PKCS#12 file of name, opened for reading.
inline FilePtr OpenPfx(const std::string &name) {
  return OpenForReading(SharedRsaPki().Pfx(name));
}

// A new[] buffer and its size handed out by an operation, released with delete[].
struct Handed {
  unsigned char *data = nullptr;
  int size = -7;
  Handed() = default;
  Handed(const Handed &) = delete;
  Handed &operator=(const Handed &) = delete;
  ~Handed() { delete[] data; }
  Bytes bytes() const { return data != nullptr ? Bytes(data, data + size) : Bytes(); }
};

struct HandedText {
  char *text = nullptr;
  int length = -7;
  HandedText() = default;
  HandedText(const HandedText &) = delete;
  HandedText &operator=(const HandedText &) = delete;
  ~HandedText() { delete[] text; }
};

inline std::string AsText(const Bytes &b) { return std::string(b.begin(), b.end()); }
inline Bytes AsBytes(const std::string &s) { return Bytes(s.begin(), s.end()); }

inline std::string Base64(const Bytes &bytes, unsigned long flags = ATL_BASE64_FLAG_NOCRLF) {
  return ToBase64(bytes, flags);
}

// The RC4 envelope with its NULL parameters (after the rc4 OID) written as an empty OCTET STRING:
// OpenSSL reads RC4 parameters only in that form.
inline Bytes WithEmptyOctetStringParameters(Bytes envelope) {
  const Bytes rc4_null = {0x06, 0x08, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x03, 0x04, 0x05, 0x00};
  auto at = std::search(envelope.begin(), envelope.end(), rc4_null.begin(), rc4_null.end());
  EXPECT_NE(at, envelope.end());
  if (at != envelope.end()) at[10] = 0x04;
  return envelope;
}

// The digests the toolkit's RSA signatures take, with their openssl names.
struct SignatureDigest {
  int nid;
  const char *name;
};
constexpr SignatureDigest kSignatureDigests[] = {{64, "sha1"}, {672, "sha256"}};

}  // namespace kelu::test

#endif

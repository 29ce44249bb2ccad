/* Fixtures of the SM2 signature tests: key files of the shared PKI's SM2 certificates made at
 * test time, malformed key files, key pairs read by OpenSSL, and calls whose outputs must stay
 * as they were on failure. */
#ifndef KELU_SM2_SIGNING_TEST_UTIL_H
#define KELU_SM2_SIGNING_TEST_UTIL_H

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>

#include "KeluErrors.h"
#include "SMFileCertOperations.h"
#include "Sm2KeyFiles.h"
#include "TestPki.h"
#include "TestSupport.h"

namespace kelu::test {

constexpr char kKeyFilePassword[] = "key file pass";

// Key files (name.sm2) in a folder of their own, made once per test program:
//   sm2-leaf      the shared SM2 leaf (digitalSignature), its certificate as DER
//   sm2-leaf-pem  the same with the certificate as PEM text
//   ku-enc        the same key, a certificate allowing keyEncipherment only
//   ku-none       the same key, a certificate without keyUsage
//   rsa-cert      the same key beside an RSA certificate
//   other-key     the sm2-leaf certificate beside the key of sm2-int (another holder's)
//   empty, not-base64, not-a-key-file   key files that are none
class Sm2SigningKeys {
 public:
  Sm2SigningKeys() {
    const TestPki &pki = SharedPki();
    for (const char *name : {"sm2-leaf", "ku-enc", "ku-none"})
      WriteSm2KeyFile(Path(name), pki.Key(name), pki.Der(name), kKeyFilePassword);
    WriteSm2KeyFile(Path("sm2-leaf-pem"), pki.Key("sm2-leaf"), pki.Pem("sm2-leaf"),
                    kKeyFilePassword);
    WriteSm2KeyFile(Path("rsa-cert"), pki.Key("sm2-leaf"), pki.Der("rsa-leaf"), kKeyFilePassword);
    WriteSm2KeyFile(Path("other-key"), pki.Key("sm2-int"), pki.Der("sm2-leaf"), kKeyFilePassword);
    WriteTextFile(Path("empty"), "");
    WriteTextFile(Path("not-base64"), "!!! ~~~ ***\n");
    WriteTextFile(Path("not-a-key-file"), Sm2KeyFileText(RandomBytes(120)));
  }
  std::string Path(const std::string &name) const { return dir_.File(name + ".sm2"); }

 private:
  TempDir dir_;
};

inline const Sm2SigningKeys &SharedSigningKeys() {
  static const Sm2SigningKeys *keys = new Sm2SigningKeys();
  return *keys;
}

// The shared PKI's certificate and key paths of the signer.
inline std::string SignerCertPem() { return SharedPki().Pem("sm2-leaf"); }
inline Bytes SignerCertDer() { return SharedPki().DerBytes("sm2-leaf"); }

// A key pair over copies of OpenSSL's values of a key (not to be cleaned up).
struct KeyPairView {
  Bytes d, x, y;
  SM2_KEY_PAIR pair;
  explicit KeyPairView(const Sm2KeyValues &v) : d(v.d), x(v.x), y(v.y) {
    pair = {d.data(), static_cast<int>(d.size()), x.data(), static_cast<int>(x.size()),
            y.data(), static_cast<int>(y.size())};
  }
  KeyPairView(const KeyPairView &) = delete;
  KeyPairView &operator=(const KeyPairView &) = delete;
};

// A call with a byte output pair, or a text output and its length: on failure both must stay
// as they were.
struct BytesResult {
  int rc;
  Bytes bytes;
};
inline BytesResult CallForBytes(const std::function<int(unsigned char **, int *)> &call) {
  static unsigned char untouched;
  unsigned char *out = &untouched;
  int size = -7;
  BytesResult r{call(&out, &size), {}};
  if (r.rc == KELU_OK) {
    EXPECT_NE(out, &untouched);
    r.bytes.assign(out, out + size);
    delete[] out;
  } else {
    EXPECT_EQ(out, &untouched) << "output written on failure";
    EXPECT_EQ(size, -7) << "output size written on failure";
  }
  return r;
}

struct TextResult {
  int rc;
  std::string text;
};
inline TextResult CallForText(const std::function<int(char **, int *)> &call) {
  static char untouched;
  char *out = &untouched;
  int length = -7;
  TextResult r{call(&out, &length), {}};
  if (r.rc == KELU_OK) {
    EXPECT_NE(out, &untouched);
    r.text = out;
    EXPECT_EQ(length, static_cast<int>(r.text.size()));
    EXPECT_EQ(r.text.find_first_of("\r\n"), std::string::npos) << "one line";
    delete[] out;
  } else {
    EXPECT_EQ(out, &untouched) << "output written on failure";
    EXPECT_EQ(length, -7) << "length written on failure";
  }
  return r;
}

inline int Size(const Bytes &b) { return static_cast<int>(b.size()); }
inline int Length(const std::string &s) { return static_cast<int>(s.size()); }

// The bytes with one bit flipped.
inline Bytes Changed(Bytes data, size_t at = 0) {
  data[at] ^= 0x01;
  return data;
}

}  // namespace kelu::test

#endif

/* Fixtures of the message-format tests: an RSA signer/recipient and an SM2 key made with the
 * openssl command line, shell helpers and owners for the toolkit's new[] outputs. */
#ifndef KELU_MESSAGE_TEST_SUPPORT_H
#define KELU_MESSAGE_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <cctype>
#include <memory>
#include <string>

#include "Asn1TestHelpers.h"
#include "TestSupport.h"

namespace msgtest {

using kelu::test::Bytes;
using kelu::test::RunCommand;
using kelu::test::ShellQuote;

inline std::string Q(const std::string &s) { return ShellQuote(s); }

// Runs a command that must succeed.
inline std::string MustRun(const std::string &command) {
  auto run = RunCommand(command);
  EXPECT_EQ(run.exit_code, 0) << command << "\n" << run.output;
  return run.output;
}

// Owns a new[] output of the toolkit.
template <class T>
struct Out {
  T *data = nullptr;
  int size = -7;
  ~Out() { delete[] data; }
  Bytes bytes() const {
    return data ? Bytes(reinterpret_cast<const uint8_t *>(data),
                        reinterpret_cast<const uint8_t *>(data) + size)
                : Bytes();
  }
  std::string text() const { return data ? std::string(data, size) : std::string(); }
};

// A throwaway PKI made for the whole test program: an RSA CA, an RSA leaf it signs (with a
// subject key identifier and serial 0x80 ... so that it needs a sign octet), and an SM2 key.
class Pki {
 public:
  static const Pki &Get() {
    static Pki pki;
    return pki;
  }
  std::string dir() const { return dir_.path(); }
  std::string File(const std::string &name) const { return dir_.File(name); }
  std::string rsa_key, rsa_cert, rsa_cert_der, ca_cert, other_cert, sm2_key, sm2_pub;
  Bytes cert_der;       // the leaf's DER
  Bytes subject_key_id; // as openssl shows it

 private:
  Pki() {
    rsa_key = File("rsa.key");
    rsa_cert = File("rsa.pem");
    rsa_cert_der = File("rsa.der");
    ca_cert = File("ca.pem");
    other_cert = File("other.pem");
    sm2_key = File("sm2.key");
    sm2_pub = File("sm2.pub");
    std::string ca_key = File("ca.key");
    MustRun("openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=msg-ca -days 2 -keyout " +
            Q(ca_key) + " -out " + Q(ca_cert));
    MustRun("openssl req -new -newkey rsa:2048 -nodes -subj /CN=msg-leaf -keyout " + Q(rsa_key) +
            " -out " + Q(File("leaf.csr")));
    kelu::test::WriteTextFile(File("leaf.ext"),
                              "subjectKeyIdentifier=hash\nkeyUsage=digitalSignature,"
                              "keyEncipherment\n");
    MustRun("openssl x509 -req -in " + Q(File("leaf.csr")) + " -CA " + Q(ca_cert) + " -CAkey " +
            Q(ca_key) + " -set_serial 0x80A1B2C3 -days 2 -extfile " + Q(File("leaf.ext")) +
            " -out " + Q(rsa_cert));
    MustRun("openssl x509 -in " + Q(rsa_cert) + " -outform DER -out " + Q(rsa_cert_der));
    // Another leaf of the same CA with another serial, for certificate selection.
    MustRun("openssl req -new -newkey rsa:2048 -nodes -subj /CN=msg-other -keyout " +
            Q(File("other.key")) + " -out " + Q(File("other.csr")));
    MustRun("openssl x509 -req -in " + Q(File("other.csr")) + " -CA " + Q(ca_cert) + " -CAkey " +
            Q(ca_key) + " -set_serial 7 -days 2 -extfile " + Q(File("leaf.ext")) + " -out " +
            Q(other_cert));
    cert_der = kelu::test::ReadBinaryFile(rsa_cert_der);
    std::string shown = MustRun("openssl x509 -in " + Q(rsa_cert) +
                                " -noout -ext subjectKeyIdentifier");
    std::string hex;
    for (const std::string &line : kelu::test::SplitLines(shown)) {
      if (line.find("Subject Key Identifier") != std::string::npos) continue;
      for (char c : line) {
        if (std::isxdigit(static_cast<unsigned char>(c))) hex += c;
      }
    }
    subject_key_id = kelu::test::FromHex(hex);
    MustRun("openssl genpkey -algorithm SM2 -out " + Q(sm2_key));
    MustRun("openssl pkey -in " + Q(sm2_key) + " -pubout -out " + Q(sm2_pub));
  }
  kelu::test::TempDir dir_;
};

}  // namespace msgtest

#endif

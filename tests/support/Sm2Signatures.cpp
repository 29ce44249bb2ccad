#include "Sm2Signatures.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/ecdsa.h>

namespace kelu::test {
namespace {

constexpr char kDistid[] = "distid:1234567812345678";

// A public key file of the certificate, for the commands that take keys only.
std::string PublicKeyOf(const TempDir &dir, const std::string &cert_pem) {
  const std::string pub = dir.File("pub.pem");
  CommandResult r = RunCommand("openssl x509 -pubkey -noout -in " + ShellQuote(cert_pem) + " > " +
                               ShellQuote(pub));
  EXPECT_EQ(r.exit_code, 0) << r.output;
  return pub;
}

// SM3 of the data as openssl computes it, in a file.
std::string DigestFile(const TempDir &dir, const std::string &data_path) {
  const std::string e = dir.File("e.bin");
  CommandResult r = RunCommand("openssl dgst -sm3 -binary -out " + ShellQuote(e) + " " +
                               ShellQuote(data_path));
  EXPECT_EQ(r.exit_code, 0) << r.output;
  return e;
}

}  // namespace

Bytes Sm2SignatureDer(const Bytes &rs) {
  EXPECT_EQ(rs.size(), 64u);
  if (rs.size() != 64) return {};
  ECDSA_SIG *sig = ECDSA_SIG_new();
  ECDSA_SIG_set0(sig, BN_bin2bn(rs.data(), 32, nullptr), BN_bin2bn(rs.data() + 32, 32, nullptr));
  unsigned char *der = nullptr;
  const int len = i2d_ECDSA_SIG(sig, &der);
  Bytes out(der, der + (len > 0 ? len : 0));
  OPENSSL_free(der);
  ECDSA_SIG_free(sig);
  return out;
}

bool OpensslSm2Verify(const std::string &cert_pem, const Bytes &data, const Bytes &signature_der,
                      bool with_z) {
  TempDir dir;
  WriteBinaryFile(dir.File("data.bin"), data);
  WriteBinaryFile(dir.File("sig.der"), signature_der);
  const std::string pub = PublicKeyOf(dir, cert_pem);
  const std::string command =
      with_z ? "openssl dgst -sm3 -verify " + ShellQuote(pub) + " -sigopt " + kDistid +
                   " -signature " + ShellQuote(dir.File("sig.der")) + " " +
                   ShellQuote(dir.File("data.bin"))
             : "openssl pkeyutl -verify -pubin -inkey " + ShellQuote(pub) + " -in " +
                   ShellQuote(DigestFile(dir, dir.File("data.bin"))) + " -sigfile " +
                   ShellQuote(dir.File("sig.der"));
  return RunCommand(command).exit_code == 0;
}

Bytes OpensslSm2Sign(const std::string &key_pem, const Bytes &data, bool with_z) {
  TempDir dir;
  WriteBinaryFile(dir.File("data.bin"), data);
  const std::string sig = dir.File("sig.der");
  const std::string command =
      with_z ? "openssl pkeyutl -sign -rawin -digest sm3 -inkey " + ShellQuote(key_pem) +
                   " -pkeyopt " + kDistid + " -in " + ShellQuote(dir.File("data.bin")) +
                   " -out " + ShellQuote(sig)
             : "openssl pkeyutl -sign -inkey " + ShellQuote(key_pem) + " -in " +
                   ShellQuote(DigestFile(dir, dir.File("data.bin"))) + " -out " + ShellQuote(sig);
  CommandResult r = RunCommand(command);
  EXPECT_EQ(r.exit_code, 0) << command << "\n" << r.output;
  return ReadBinaryFile(sig);
}

std::string Asn1Parse(const Bytes &der) {
  TempDir dir;
  WriteBinaryFile(dir.File("in.der"), der);
  CommandResult r =
      RunCommand("openssl asn1parse -inform DER -in " + ShellQuote(dir.File("in.der")), false);
  EXPECT_EQ(r.exit_code, 0) << r.output;
  return r.output;
}

Bytes LastOctetString(const Bytes &der) {
  std::string last;
  for (const std::string &line : SplitLines(Asn1Parse(der))) {
    if (line.find("OCTET STRING") == std::string::npos) continue;
    const size_t at = line.find("[HEX DUMP]:");
    last = at == std::string::npos ? "" : line.substr(at + 11);
  }
  EXPECT_FALSE(last.empty()) << "no OCTET STRING with a hex dump";
  return FromHex(last);
}

}  // namespace kelu::test

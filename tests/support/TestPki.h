/* A small public-key infrastructure made with the openssl command line at test time: CAs with
 * their databases, certificates with chosen dates, serials and extensions, CRLs and PKCS#12
 * files. SM2 certificates are signed and checked with the default SM2 user ID. */
#ifndef KELU_TEST_PKI_H
#define KELU_TEST_PKI_H

#include <cstdio>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace kelu::test {

struct FileCloser {
  void operator()(FILE *f) const {
    if (f != nullptr) std::fclose(f);
  }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;
// Opens a file "rb"; fails the test when it does not open.
FilePtr OpenForReading(const std::string &path);

enum class KeyAlg { kRSA, kSM2, kEC256, kEC384 };

// The time text openssl ca takes for -startdate / -enddate (UTCTime up to 2049, else
// GeneralizedTime).
std::string CaTimeText(time_t t);

struct CertSpec {
  std::string subject = "/CN=Test";      // openssl -subj form
  KeyAlg alg = KeyAlg::kSM2;
  std::string key_file;                  // an existing private key (PEM) instead of a new one
  std::string extensions;                // extension lines; empty: a version 1 certificate
  time_t not_before = 0;                 // 0: one day ago
  time_t not_after = 0;                  // 0: in a year
  std::string serial_hex;                // empty: the issuer's next serial
  std::string md;                        // signature digest; empty: sm3 under SM2, else sha256
  std::string distid = "1234567812345678";  // SM2 user ID used when an SM2 key signs
};

// An nsComment extension line whose text is the file's after a line break, line feeds
// included (the configuration reader turns \n into one outside quotes): a PEM block that a
// PEM reader finds inside the DER of the object carrying it.
std::string CommentHolding(const std::string &path);

// Extension lines that most tests use.
extern const char kCaExtensions[];
extern const char kLeafSignExtensions[];

class TestPki {
 public:
  explicit TestPki(std::string dir);

  // A self-signed CA named name.
  void AddRoot(const std::string &name, const CertSpec &details);
  // A certificate named name issued by the CA issuer (which becomes a CA itself once it
  // issues: every certificate has its own database).
  void Issue(const std::string &name, const std::string &issuer, const CertSpec &details);
  // Adds cert (any issuer's) to the revocation database of ca.
  void Revoke(const std::string &ca, const std::string &cert);
  // A CRL of ca from its database: name.crl (PEM) and name.crl.der, with the CRL extension
  // lines given (none by default).
  void MakeCrl(const std::string &name, const std::string &ca,
               const std::string &extensions = "");
  // openssl pkcs12 -export of cert with its key and extra arguments (-legacy, -nomac,
  // -nokeys, -certfile ...); returns the path.
  std::string MakePkcs12(const std::string &name, const std::string &cert,
                         const std::string &password, const std::string &extra_args);

  std::string Pem(const std::string &name) const { return dir_ + "/" + name + ".pem"; }
  std::string Der(const std::string &name) const { return dir_ + "/" + name + ".der"; }
  std::string Key(const std::string &name) const { return dir_ + "/" + name + ".key"; }
  std::string Crl(const std::string &name) const { return dir_ + "/" + name + ".crl"; }
  std::string CrlDer(const std::string &name) const { return Crl(name) + ".der"; }
  Bytes PemBytes(const std::string &name) const { return ReadBinaryFile(Pem(name)); }
  Bytes DerBytes(const std::string &name) const { return ReadBinaryFile(Der(name)); }
  const std::string &dir() const { return dir_; }

  // Runs an openssl command line in the PKI folder; fails the test on a non-zero exit.
  std::string Openssl(const std::string &args) const;

 private:
  struct Entity {
    KeyAlg alg;
    std::string distid;
  };
  std::string CaDir(const std::string &name) const { return dir_ + "/" + name + ".ca"; }
  void MakeKey(const std::string &name, const CertSpec &details);
  void MakeCaFiles(const std::string &name);
  std::string SigningOptions(const std::string &signer, const CertSpec &details) const;
  void Sign(const std::string &name, const std::string &issuer, const CertSpec &details,
            bool self_signed);

  std::string dir_;
  std::map<std::string, Entity> entities_;
  int ca_count_ = 0;
};

// A CA and the leaves it issues, in a folder of their own made and removed with the object;
// the leaves' subjects are "/C=CN/O=Kelu Test/CN=<name>".
class LeafPki {
 public:
  LeafPki(const std::string &ca, const CertSpec &ca_spec);
  LeafPki(const LeafPki &) = delete;
  LeafPki &operator=(const LeafPki &) = delete;

  const TestPki &pki() const { return pki_; }
  std::string Pem(const std::string &name) const { return pki_.Pem(name); }
  std::string Key(const std::string &name) const { return pki_.Key(name); }
  Bytes Der(const std::string &name) const { return pki_.DerBytes(name); }
  std::string Openssl(const std::string &args) const { return pki_.Openssl(args); }

 protected:
  // A leaf of the CA: a new key of alg, or the existing key_file.
  void Leaf(const std::string &name, KeyAlg alg, const std::string &key_file,
            const std::string &extensions);

  TempDir dir_;
  TestPki pki_;
  std::string ca_;
};

// The certificate with its extension nid replaced by one of the given raw value (without a
// value: removed). The signature is left as it was, no longer valid: for readers only.
Bytes WithExtension(const Bytes &cert_der, int nid, const Bytes *value);

// The certificates, CRLs and PKCS#12 files that the certificate tests share, made once per
// test program (about two seconds). Names:
//   sm2-root, sm2-int, sm2-leaf          SM2 chain, root and intermediate are CAs
//   sm2-expired, sm2-future              SM2 leaves of sm2-int, expired / not yet valid
//   rsa-root, rsa-int, rsa-leaf          RSA chain (SHA-256)
//   other-root                           an unrelated RSA CA
//   ku-sign, ku-enc, ku-both, ku-none    SM2 leaves of sm2-int with keyUsage
//                                        digitalSignature+nonRepudiation / keyEncipherment /
//                                        both / no keyUsage extension
//   rsa-v1                               version 1 RSA certificate of rsa-int, no extensions
//   rsa-expired, rsa-future              RSA leaves of rsa-int, expired / not yet valid
//   rsa-int-expired, rsa-leaf-of-expired an expired intermediate of rsa-root and a valid
//                                        leaf under it
//   crl-empty, crl-revoked, crl-other    CRLs of rsa-int: none revoked / rsa-leaf revoked;
//                                        of other-root listing rsa-leaf's serial
//   sm2-crl-empty, sm2-crl-revoked,      CRLs of sm2-int: none revoked / sm2-leaf revoked;
//   sm2-crl-other                        of sm2-root listing sm2-leaf's serial
const TestPki &SharedPki();

}  // namespace kelu::test

#endif

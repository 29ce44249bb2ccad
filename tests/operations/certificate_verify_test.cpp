// Certificate verification: validity period, revocation in a CRL file, chain to trusted CA
// files, and the order in which they run.
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/pem.h>

#include <memory>
#include <string>
#include <vector>

#include "CertificateOperations.h"
#include "KeluErrors.h"
#include "LogCapture.h"
#include "OsslPtr.h"
#include "SMKernel.h"
#include "TestPki.h"

namespace kelu {
namespace {

using test::FilePtr;
using test::KeyAlg;
using test::OpenForReading;
using test::SharedPki;

time_t g_fake_now = 0;
time_t FakeClock(time_t *t) {
  if (t != nullptr) *t = g_fake_now;
  return g_fake_now;
}
time_t BrokenClock(time_t *) { return static_cast<time_t>(-1); }

class CertificateVerify : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_EQ(SMKernelInitialize(), 0);
    SharedPki();
  }
  void TearDown() override {
    SetCertVerifyClock(nullptr);
    ERR_clear_error();
  }

  static X509Ptr Load(const std::string &name) {
    test::Bytes der = SharedPki().DerBytes(name);
    X509 *x = nullptr;
    EXPECT_EQ(ConvertCertDataToX509(der.data(), static_cast<int>(der.size()), &x), KELU_OK);
    return X509Ptr(x);
  }
  // Opens the named PKI files (PEM, or DER when the name ends in ".der") in order.
  struct Files {
    std::vector<FilePtr> owners;
    std::vector<FILE *> streams;
  };
  static Files Open(const std::vector<std::string> &names) {
    Files files;
    for (const std::string &n : names) {
      std::string path = n.size() > 4 && n.compare(n.size() - 4, 4, ".der") == 0
                             ? SharedPki().Der(n.substr(0, n.size() - 4))
                             : SharedPki().Pem(n);
      files.owners.push_back(OpenForReading(path));
      files.streams.push_back(files.owners.back().get());
    }
    return files;
  }
};

// --- Validity period ---

TEST_F(CertificateVerify, ValidityBoundsAreInclusive) {
  for (const char *name : {"rsa-leaf", "sm2-leaf", "sm2-expired"}) {
    SCOPED_TRACE(name);
    X509Ptr x = Load(name);
    time_t not_before = 0, not_after = 0;
    ASSERT_EQ(GetX509NotBefore(x.get(), &not_before), KELU_OK);
    ASSERT_EQ(GetX509NotAfter(x.get(), &not_after), KELU_OK);
    SetCertVerifyClock(FakeClock);
    const struct {
      time_t now;
      int want;
    } cases[] = {{not_before - 1, KELU_ERR_CERT_VALIDITY},
                 {not_before, KELU_OK},
                 {not_after, KELU_OK},
                 {not_after + 1, KELU_ERR_CERT_VALIDITY}};
    for (const auto &c : cases) {
      g_fake_now = c.now;
      EXPECT_EQ(VerifyCertTime(x.get()), c.want) << "at " << c.now;
      EXPECT_EQ(VerifyX509(x.get(), CERT_VERIFY_VALIDITY, nullptr, {}), c.want);
    }
    SetCertVerifyClock(BrokenClock);
    EXPECT_EQ(VerifyCertTime(x.get()), KELU_ERR_FAILED);
    SetCertVerifyClock(nullptr);
  }
}

TEST_F(CertificateVerify, ValidityAgainstTheSystemClock) {
  const struct {
    const char *cert;
    int want;
  } cases[] = {{"rsa-leaf", KELU_OK},
               {"sm2-leaf", KELU_OK},
               {"rsa-expired", KELU_ERR_CERT_VALIDITY},
               {"rsa-future", KELU_ERR_CERT_VALIDITY},
               {"sm2-expired", KELU_ERR_CERT_VALIDITY},
               {"sm2-future", KELU_ERR_CERT_VALIDITY}};
  for (const auto &c : cases) EXPECT_EQ(VerifyCertTime(Load(c.cert).get()), c.want) << c.cert;
  EXPECT_EQ(VerifyCertTime(nullptr), KELU_ERR_FAILED);
}

// --- Revocation ---

TEST_F(CertificateVerify, RevocationInACrlFile) {
  struct CrlCase {
    const char *cert;
    std::string crl_path;
    int want;
  };
  const test::TestPki &pki = SharedPki();
  const CrlCase cases[] = {
      {"rsa-leaf", pki.Crl("crl-revoked"), KELU_ERR_CERT_REVOKED},
      {"rsa-leaf", pki.CrlDer("crl-revoked"), KELU_ERR_CERT_REVOKED},
      {"rsa-expired", pki.Crl("crl-revoked"), KELU_OK},
      // A CRL that revokes nothing: not revoked.
      {"rsa-leaf", pki.Crl("crl-empty"), KELU_OK},
      {"rsa-leaf", pki.CrlDer("crl-empty"), KELU_OK},
      // A CRL of another CA does not decide, even when it lists the serial.
      {"rsa-leaf", pki.Crl("crl-other"), KELU_ERR_FAILED},
      {"rsa-leaf-of-expired", pki.Crl("crl-other"), KELU_ERR_FAILED},
      {"sm2-leaf", pki.Crl("sm2-crl-revoked"), KELU_ERR_CERT_REVOKED},
      {"sm2-leaf", pki.CrlDer("sm2-crl-revoked"), KELU_ERR_CERT_REVOKED},
      {"ku-sign", pki.Crl("sm2-crl-revoked"), KELU_OK},
      {"sm2-expired", pki.CrlDer("sm2-crl-revoked"), KELU_OK},
      {"sm2-leaf", pki.Crl("sm2-crl-empty"), KELU_OK},
      {"sm2-leaf", pki.CrlDer("sm2-crl-empty"), KELU_OK},
      {"sm2-leaf", pki.Crl("sm2-crl-other"), KELU_ERR_FAILED},
      {"sm2-leaf", pki.CrlDer("sm2-crl-other"), KELU_ERR_FAILED},
      {"sm2-future", pki.Crl("sm2-crl-other"), KELU_ERR_FAILED},
      // The root's CRL for a certificate of the root.
      {"sm2-int", pki.Crl("sm2-crl-other"), KELU_OK},
      {"rsa-leaf", pki.Crl("sm2-crl-revoked"), KELU_ERR_FAILED},
      // Files that hold no CRL.
      {"rsa-leaf", pki.Pem("rsa-leaf"), KELU_ERR_FAILED},
      {"rsa-leaf", pki.Key("rsa-leaf"), KELU_ERR_FAILED},
  };
  for (const CrlCase &c : cases) {
    SCOPED_TRACE(std::string(c.cert) + " " + c.crl_path);
    FilePtr crl = OpenForReading(c.crl_path);
    X509Ptr cert = Load(c.cert);
    ERR_clear_error();
    EXPECT_EQ(VerifyCertCRL(crl.get(), cert.get()), c.want);
    // A DER CRL is read after a failed PEM attempt, which must leave no error behind.
    if (c.want != KELU_ERR_FAILED) {
      EXPECT_EQ(ERR_peek_error(), 0u);
    }
  }
  EXPECT_EQ(VerifyCertCRL(nullptr, Load("rsa-leaf").get()), KELU_ERR_FAILED);
  FilePtr crl = OpenForReading(pki.Crl("crl-empty"));
  EXPECT_EQ(VerifyCertCRL(crl.get(), nullptr), KELU_ERR_FAILED);
}

// A DER CRL whose comment extension holds the PEM text of an older CRL of the same CA (which
// revokes nothing): the CRL is the one whose DER the bytes are, the one that revokes the leaf.
TEST_F(CertificateVerify, ACrlIsTheOneWhoseDerTheBytesAre) {
  test::TempDir dir;
  test::TestPki pki(dir.path());
  test::CertSpec ca;
  ca.alg = KeyAlg::kRSA;
  ca.subject = "/CN=CRL Issuer";
  ca.extensions = test::kCaExtensions;
  pki.AddRoot("ca", ca);
  test::CertSpec leaf = ca;
  leaf.subject = "/CN=Revoked Leaf";
  leaf.extensions = test::kLeafSignExtensions;
  pki.Issue("leaf", "ca", leaf);
  pki.MakeCrl("none-revoked", "ca");
  pki.Revoke("ca", "leaf");
  pki.MakeCrl("hiding", "ca", test::CommentHolding(pki.Crl("none-revoked")));

  // The fixture is what it claims: a PEM reader finds the older CRL in the outer one's DER.
  const test::Bytes der = test::ReadBinaryFile(pki.CrlDer("hiding"));
  BioPtr bio(BIO_new_mem_buf(der.data(), static_cast<int>(der.size())));
  X509CrlPtr hidden(PEM_read_bio_X509_CRL(bio.get(), nullptr, nullptr, nullptr));
  ASSERT_NE(hidden, nullptr);
  EXPECT_EQ(sk_X509_REVOKED_num(X509_CRL_get_REVOKED(hidden.get())), -1);
  ERR_clear_error();

  const test::Bytes leaf_der = pki.DerBytes("leaf");
  X509 *x = nullptr;
  ASSERT_EQ(ConvertCertDataToX509(leaf_der.data(), static_cast<int>(leaf_der.size()), &x), KELU_OK);
  X509Ptr cert(x);
  for (const std::string &path : {pki.CrlDer("hiding"), pki.Crl("hiding")}) {
    FilePtr crl = OpenForReading(path);
    EXPECT_EQ(VerifyCertCRL(crl.get(), cert.get()), KELU_ERR_CERT_REVOKED) << path;
  }
}

TEST_F(CertificateVerify, RevocationAgreesWithOpenssl) {
  // openssl verify with -crl_check on the same chain and CRLs.
  const test::TestPki &pki = SharedPki();
  auto openssl_says_revoked = [&](const std::string &crl) {
    test::CommandResult r = test::RunCommand(
        "openssl verify -crl_check -CAfile '" + pki.Pem("rsa-root") + "' -untrusted '" +
        pki.Pem("rsa-int") + "' -CRLfile '" + pki.Crl(crl) + "' '" + pki.Pem("rsa-leaf") + "'");
    return r.output.find("certificate revoked") != std::string::npos;
  };
  for (const char *crl : {"crl-revoked", "crl-empty"}) {
    FilePtr f = OpenForReading(pki.Crl(crl));
    EXPECT_EQ(VerifyCertCRL(f.get(), Load("rsa-leaf").get()) == KELU_ERR_CERT_REVOKED,
              openssl_says_revoked(crl))
        << crl;
  }
}

// CRLs that must not decide about the shared leaves: CAs bearing the exact names of the shared
// intermediates under keys of their own (none revoked / the leaf revoked), and a CRL of the
// real SM2 intermediate signed with the empty SM2 user ID (openssl ca without -sigopt).
class ForeignCrls {
 public:
  ForeignCrls() : pki_(dir_.path()) {
    const struct {
      const char *prefix, *subject;
      KeyAlg alg;
      const char *serial;  // none of the serials of the shared PKI
    } kCas[] = {{"rsa", "/C=CN/O=Kelu Test/CN=RSA Intermediate", KeyAlg::kRSA, "7A01"},
                {"sm2", "/C=CN/O=Kelu Test/CN=SM2 Intermediate", KeyAlg::kSM2, "7A02"}};
    for (const auto &ca : kCas) {
      const std::string impostor = std::string(ca.prefix) + "-impostor";
      test::CertSpec details;
      details.alg = ca.alg;
      details.subject = ca.subject;
      details.extensions = test::kCaExtensions;
      details.serial_hex = ca.serial;
      pki_.AddRoot(impostor, details);
      const std::string leaf = std::string(ca.prefix) + "-leaf";
      test::WriteBinaryFile(pki_.Pem(leaf), SharedPki().PemBytes(leaf));
      pki_.MakeCrl(impostor + "-empty", impostor);
      pki_.Revoke(impostor, leaf);
      pki_.MakeCrl(impostor + "-revoked", impostor);
    }
    const std::string db = dir_.File("sm2-int.db");
    test::RunCommand("mkdir -p " + test::ShellQuote(db));
    test::WriteTextFile(db + "/index.txt", "");
    test::WriteTextFile(db + "/crlnumber", "01\n");
    test::WriteTextFile(db + "/ca.cnf", "[ ca ]\ndefault_ca = d\n[ d ]\ndatabase = " + db +
                                            "/index.txt\ncrlnumber = " + db +
                                            "/crlnumber\ndefault_crl_days = 30\n");
    pki_.Openssl("ca -batch -gencrl -config " + test::ShellQuote(db + "/ca.cnf") + " -keyfile " +
                 test::ShellQuote(SharedPki().Key("sm2-int")) + " -cert " +
                 test::ShellQuote(SharedPki().Pem("sm2-int")) + " -md sm3 -out " +
                 test::ShellQuote(pki_.Crl("sm2-empty-id")));
    pki_.Openssl("crl -in " + test::ShellQuote(pki_.Crl("sm2-empty-id")) + " -outform DER -out " +
                 test::ShellQuote(pki_.CrlDer("sm2-empty-id")));
  }
  std::string Crl(const std::string &name) const { return pki_.Crl(name); }

 private:
  test::TempDir dir_;
  test::TestPki pki_;
};

const ForeignCrls &SharedForeignCrls() {
  static const ForeignCrls *crls = new ForeignCrls();
  return *crls;
}

struct IssuerCase {
  const char *label;
  const char *cert;
  unsigned flag;
  std::string crl;
  int want;
  const char *failed_step;  // the check of VerifyCertCRL that refuses the CRL, if one does
};

constexpr char kIssuer[] = "Check CRL issuer";
constexpr char kSignature[] = "Check CRL signature";

// A CRL speaks only for the certificates of its issuer; with the chain asked, only when the
// issuer's trusted certificate verifies it.
TEST_F(CertificateVerify, ACrlDecidesOnlyForItsOwnIssuer) {
  const test::TestPki &pki = SharedPki();
  const ForeignCrls &foreign = SharedForeignCrls();
  const IssuerCase cases[] = {
      {"RSA: own CA, none revoked", "rsa-leaf", 0x6, pki.Crl("crl-empty"), KELU_OK, nullptr},
      {"RSA: own CA, revoked", "rsa-leaf", 0x6, pki.Crl("crl-revoked"), KELU_ERR_CERT_REVOKED,
       nullptr},
      {"RSA: another CA's name", "rsa-leaf", 0x2, pki.Crl("crl-other"), KELU_ERR_FAILED, kIssuer},
      {"RSA: another CA's name, chain", "rsa-leaf", 0x6, pki.Crl("crl-other"), KELU_ERR_FAILED,
       kIssuer},
      // Without the chain no key is at hand: the name is all there is to go by.
      {"RSA: the CA's name, another key", "rsa-leaf", 0x2, foreign.Crl("rsa-impostor-empty"),
       KELU_OK, nullptr},
      {"RSA: the CA's name, another key, chain", "rsa-leaf", 0x6,
       foreign.Crl("rsa-impostor-empty"), KELU_ERR_FAILED, kSignature},
      {"RSA: the CA's name, another key, revoking, chain", "rsa-leaf", 0x6,
       foreign.Crl("rsa-impostor-revoked"), KELU_ERR_FAILED, kSignature},
      {"SM2: own CA, none revoked", "sm2-leaf", 0x6, pki.Crl("sm2-crl-empty"), KELU_OK, nullptr},
      {"SM2: own CA, DER", "sm2-leaf", 0x6, pki.CrlDer("sm2-crl-empty"), KELU_OK, nullptr},
      {"SM2: own CA, revoked", "sm2-leaf", 0x6, pki.Crl("sm2-crl-revoked"),
       KELU_ERR_CERT_REVOKED, nullptr},
      {"SM2: the root's CRL", "sm2-leaf", 0x2, pki.Crl("sm2-crl-other"), KELU_ERR_FAILED, kIssuer},
      {"SM2: the root's CRL, chain", "sm2-leaf", 0x6, pki.Crl("sm2-crl-other"), KELU_ERR_FAILED,
       kIssuer},
      {"SM2: the CA's name, another key, chain", "sm2-leaf", 0x6,
       foreign.Crl("sm2-impostor-empty"), KELU_ERR_FAILED, kSignature},
      {"SM2: the CA's name, another key, revoking, chain", "sm2-leaf", 0x6,
       foreign.Crl("sm2-impostor-revoked"), KELU_ERR_FAILED, kSignature},
      {"SM2: own CA's key, the empty user ID, chain", "sm2-leaf", 0x6,
       foreign.Crl("sm2-empty-id"), KELU_ERR_FAILED, kSignature},
      {"SM2: own CA's key, the empty user ID", "sm2-leaf", 0x2, foreign.Crl("sm2-empty-id"),
       KELU_OK, nullptr},
  };
  for (const IssuerCase &c : cases) {
    SCOPED_TRACE(c.label);
    const bool sm2 = std::string(c.cert).rfind("sm2", 0) == 0;
    Files trusted = Open(sm2 ? std::vector<std::string>{"sm2-root", "sm2-int"}
                             : std::vector<std::string>{"rsa-root", "rsa-int"});
    FilePtr crl = OpenForReading(c.crl);
    test::LogCapture log;
    EXPECT_EQ(VerifyX509(Load(c.cert).get(), c.flag, crl.get(), trusted.streams), c.want);
    if (c.failed_step != nullptr) {
      EXPECT_TRUE(log.Contains(std::string("(VerifyCertCRL -- ") + c.failed_step +
                               ")\t\t--Failed:(0xffffffff)"))
          << log.Text();
    } else {
      EXPECT_FALSE(log.Contains("--Failed:(0xffffffff)")) << log.Text();
    }
  }
}

TEST_F(CertificateVerify, CrlDecisionsAgreeWithOpenssl) {
  const test::TestPki &pki = SharedPki();
  const ForeignCrls &foreign = SharedForeignCrls();
  // openssl verify -crl_check decides the RSA chain: it checks the CRL's issuer and signature.
  for (const std::string &crl : {pki.Crl("crl-empty"), pki.Crl("crl-revoked"),
                                 pki.Crl("crl-other"), foreign.Crl("rsa-impostor-empty"),
                                 foreign.Crl("rsa-impostor-revoked")}) {
    SCOPED_TRACE(crl);
    test::CommandResult r = test::RunCommand(
        "openssl verify -crl_check -CAfile '" + pki.Pem("rsa-root") + "' -untrusted '" +
        pki.Pem("rsa-int") + "' -CRLfile '" + crl + "' '" + pki.Pem("rsa-leaf") + "'");
    Files trusted = Open({"rsa-root", "rsa-int"});
    FilePtr f = OpenForReading(crl);
    const int rc = VerifyX509(Load("rsa-leaf").get(), 0x6, f.get(), trusted.streams);
    EXPECT_EQ(rc == KELU_OK, r.exit_code == 0) << r.output;
    EXPECT_EQ(rc == KELU_ERR_CERT_REVOKED,
              r.output.find("certificate revoked") != std::string::npos)
        << r.output;
  }
  // OpenSSL cannot give a CRL the SM2 user ID; its SM2 verification of the signed part with
  // the ID decides whether the SM2 intermediate signed the CRL.
  test::TempDir dir;
  pki.Openssl("x509 -in '" + pki.Pem("sm2-int") + "' -noout -pubkey -out '" +
              dir.File("int.pub") + "'");
  for (const std::string &crl : {pki.CrlDer("sm2-crl-empty"), pki.CrlDer("sm2-crl-revoked"),
                                 foreign.Crl("sm2-impostor-empty") + ".der",
                                 foreign.Crl("sm2-empty-id") + ".der"}) {
    SCOPED_TRACE(crl);
    // The signed part follows the outer header; the signature is the last BIT STRING.
    std::vector<std::string> lines =
        test::SplitLines(pki.Openssl("asn1parse -inform DER -in '" + crl + "'"));
    ASSERT_GE(lines.size(), 2u);
    const std::string header = lines.front().substr(lines.front().find("hl=") + 3);
    const std::string last = lines.back().substr(0, lines.back().find(':'));
    pki.Openssl("asn1parse -inform DER -in '" + crl + "' -strparse " +
                std::to_string(std::stoi(header)) + " -noout -out '" + dir.File("tbs") + "'");
    pki.Openssl("asn1parse -inform DER -in '" + crl + "' -strparse " + last +
                " -noout -out '" + dir.File("sig") + "'");
    test::CommandResult r = test::RunCommand(
        "openssl pkeyutl -verify -pubin -inkey '" + dir.File("int.pub") +
        "' -rawin -digest sm3 -pkeyopt distid:1234567812345678 -in '" + dir.File("tbs") +
        "' -sigfile '" + dir.File("sig") + "'");
    Files trusted = Open({"sm2-root", "sm2-int"});
    FilePtr f = OpenForReading(crl);
    const int rc = VerifyX509(Load("sm2-leaf").get(), 0x6, f.get(), trusted.streams);
    EXPECT_EQ(rc != KELU_ERR_FAILED, r.exit_code == 0) << r.output;
  }
}

// --- Chain ---

struct ChainCase {
  const char *cert;
  std::vector<std::string> trusted;
  int want;
};

TEST_F(CertificateVerify, ChainToTrustedFiles) {
  const ChainCase cases[] = {
      {"rsa-leaf", {"rsa-root", "rsa-int"}, KELU_OK},
      {"rsa-leaf", {"rsa-int.der", "rsa-root.der"}, KELU_OK},
      {"rsa-v1", {"rsa-root", "rsa-int"}, KELU_OK},
      {"rsa-int", {"rsa-root"}, KELU_OK},
      {"rsa-root", {"rsa-root"}, KELU_OK},
      // An intermediate alone does not anchor a chain.
      {"rsa-leaf", {"rsa-int"}, KELU_ERR_CERT_UNTRUSTED},
      {"rsa-leaf", {"rsa-root"}, KELU_ERR_CERT_UNTRUSTED},
      {"rsa-leaf", {"other-root"}, KELU_ERR_CERT_UNTRUSTED},
      {"rsa-leaf", {}, KELU_ERR_CERT_UNTRUSTED},
      {"rsa-root", {}, KELU_ERR_CERT_UNTRUSTED},
      // Expired or not yet valid, the certificate itself or its CA.
      {"rsa-expired", {"rsa-root", "rsa-int"}, KELU_ERR_CERT_VALIDITY},
      {"rsa-future", {"rsa-root", "rsa-int"}, KELU_ERR_CERT_VALIDITY},
      {"rsa-leaf-of-expired", {"rsa-root", "rsa-int-expired"}, KELU_ERR_CERT_VALIDITY},
      // SM2 chains verify like RSA ones.
      {"sm2-leaf", {"sm2-root", "sm2-int"}, KELU_OK},
      {"sm2-leaf", {"sm2-int.der", "sm2-root.der"}, KELU_OK},
      {"ku-none", {"sm2-root", "sm2-int"}, KELU_OK},
      {"sm2-int", {"sm2-root"}, KELU_OK},
      {"sm2-leaf", {"sm2-int"}, KELU_ERR_CERT_UNTRUSTED},
      {"sm2-expired", {"sm2-root", "sm2-int"}, KELU_ERR_CERT_VALIDITY},
      {"sm2-future", {"sm2-int.der", "sm2-root.der"}, KELU_ERR_CERT_VALIDITY},
      {"sm2-leaf", {"rsa-root", "rsa-int"}, KELU_ERR_CERT_UNTRUSTED},
      // Mixed stores: each certificate verified under its own algorithm.
      {"sm2-leaf", {"rsa-root", "sm2-root", "rsa-int", "sm2-int"}, KELU_OK},
      {"rsa-leaf", {"rsa-root", "sm2-root", "rsa-int", "sm2-int"}, KELU_OK},
  };
  for (const ChainCase &c : cases) {
    std::string label = c.cert;
    for (const std::string &t : c.trusted) label += " " + t;
    SCOPED_TRACE(label);
    Files files = Open(c.trusted);
    X509Ptr cert = Load(c.cert);
    ERR_clear_error();
    EXPECT_EQ(VerifyCertChain(files.streams, cert.get()), c.want);
    // DER trusted files leave no error of their PEM attempt.
    if (c.want == KELU_OK) {
      EXPECT_EQ(ERR_peek_error(), 0u);
    }
  }
}

TEST_F(CertificateVerify, ChainAgreesWithOpensslVerify) {
  const test::TestPki &pki = SharedPki();
  for (const char *leaf : {"rsa-leaf", "rsa-expired", "rsa-leaf-of-expired"}) {
    const char *intermediate = std::string(leaf) == "rsa-leaf-of-expired" ? "rsa-int-expired"
                                                                           : "rsa-int";
    test::CommandResult r = test::RunCommand("openssl verify -CAfile '" + pki.Pem("rsa-root") +
                                             "' -untrusted '" + pki.Pem(intermediate) + "' '" +
                                             pki.Pem(leaf) + "'");
    Files files = Open({"rsa-root", intermediate});
    EXPECT_EQ(VerifyCertChain(files.streams, Load(leaf).get()) == KELU_OK, r.exit_code == 0)
        << leaf << ": " << r.output;
  }
}

TEST_F(CertificateVerify, OnlyTheFirstCertificateOfATrustedFileCounts) {
  test::TempDir dir;
  std::string both = dir.File("int-then-root.pem");
  test::WriteTextFile(both, test::ReadTextFile(SharedPki().Pem("rsa-int")) +
                                test::ReadTextFile(SharedPki().Pem("rsa-root")));
  FilePtr f = OpenForReading(both);
  EXPECT_EQ(VerifyCertChain({f.get()}, Load("rsa-leaf").get()), KELU_ERR_CERT_UNTRUSTED);
  rewind(f.get());
  Files root = Open({"rsa-root"});
  EXPECT_EQ(VerifyCertChain({root.streams[0], f.get()}, Load("rsa-leaf").get()), KELU_OK);
}

TEST_F(CertificateVerify, TrustedFilesThatFail) {
  Files files = Open({"rsa-root"});
  EXPECT_EQ(VerifyCertChain({files.streams[0], nullptr}, Load("rsa-leaf").get()),
            KELU_ERR_FAILED);
  FilePtr crl = OpenForReading(SharedPki().Crl("crl-empty"));
  EXPECT_EQ(VerifyCertChain({crl.get()}, Load("rsa-leaf").get()), KELU_ERR_FAILED);
  Files ok = Open({"rsa-root", "rsa-int"});
  EXPECT_EQ(VerifyCertChain(ok.streams, nullptr), KELU_ERR_FAILED);
  X509_STORE *store = nullptr;
  EXPECT_EQ(LoadCertsToStore({}, &store), KELU_OK);
  X509StorePtr owner(store);
  EXPECT_EQ(VerifyCertChainByTrustedStore(nullptr, Load("rsa-leaf").get()), KELU_ERR_FAILED);
}

// CA and CRL files read through a pipe, as <(cat file) gives one, read as the regular files
// do: PEM and DER, certificates and CRLs, RSA and SM2.
TEST_F(CertificateVerify, FilesReadThroughPipes) {
  const test::TestPki &pki = SharedPki();
  auto path = [&](const std::string &name, bool crl) {
    const bool der = name.size() > 4 && name.compare(name.size() - 4, 4, ".der") == 0;
    const std::string base = der ? name.substr(0, name.size() - 4) : name;
    return crl ? (der ? pki.CrlDer(base) : pki.Crl(base)) : (der ? pki.Der(base) : pki.Pem(base));
  };
  struct Case {
    const char *cert;
    unsigned flag;
    std::vector<std::string> cas;
    std::string crl;
    int want;
  };
  const Case cases[] = {
      {"rsa-leaf", 0x4, {"rsa-root", "rsa-int"}, "", KELU_OK},
      {"rsa-leaf", 0x4, {"rsa-int.der", "rsa-root.der"}, "", KELU_OK},
      {"sm2-leaf", 0x4, {"sm2-root", "sm2-int.der"}, "", KELU_OK},
      {"rsa-leaf", 0x4, {"rsa-root"}, "", KELU_ERR_CERT_UNTRUSTED},
      {"rsa-leaf", 0x2, {}, "crl-revoked", KELU_ERR_CERT_REVOKED},
      {"rsa-leaf", 0x2, {}, "crl-revoked.der", KELU_ERR_CERT_REVOKED},
      {"rsa-leaf", 0x6, {"rsa-root", "rsa-int"}, "crl-empty", KELU_OK},
      {"sm2-leaf", 0x6, {"sm2-root", "sm2-int"}, "sm2-crl-revoked", KELU_ERR_CERT_REVOKED},
      {"sm2-leaf", 0x2, {}, "sm2-crl-empty.der", KELU_OK},
  };
  using PipePtr = std::unique_ptr<FILE, int (*)(FILE *)>;
  for (const Case &c : cases) {
    std::string label = std::string(c.cert) + " " + c.crl;
    for (const std::string &t : c.cas) label += " " + t;
    SCOPED_TRACE(label);
    for (bool piped : {false, true}) {
      std::vector<PipePtr> pipes;
      std::vector<FilePtr> regular;
      auto open = [&](const std::string &file) -> FILE * {
        if (!piped) {
          regular.push_back(OpenForReading(file));
          return regular.back().get();
        }
        pipes.emplace_back(popen(("cat " + test::ShellQuote(file)).c_str(), "r"), pclose);
        EXPECT_NE(pipes.back(), nullptr);
        return pipes.back().get();
      };
      std::vector<FILE *> cas;
      for (const std::string &ca : c.cas) cas.push_back(open(path(ca, false)));
      FILE *crl = c.crl.empty() ? nullptr : open(path(c.crl, true));
      EXPECT_EQ(VerifyX509(Load(c.cert).get(), c.flag, crl, cas), c.want)
          << (piped ? "through pipes" : "regular files");
      ERR_clear_error();
    }
  }
}

TEST_F(CertificateVerify, BundlesOfCertificates) {
  const test::TestPki &pki = SharedPki();
  test::TempDir dir;
  auto bundle = [&](const std::vector<std::string> &names) {
    std::string args = "crl2pkcs7 -nocrl -outform DER";
    for (const std::string &n : names) args += " -certfile '" + pki.Pem(n) + "'";
    std::string out = dir.File("bundle.p7b");
    pki.Openssl(args + " -out '" + out + "'");
    return test::ReadBinaryFile(out);
  };
  test::Bytes roots = bundle({"rsa-root", "sm2-root"});
  test::Bytes intermediates = bundle({"rsa-int", "sm2-int"});
  struct BundleCase {
    const test::Bytes *root, *intermediate;
    const char *cert;
    int want;
  };
  const test::Bytes data_only = test::FromHex("300B06092A864886F70D010701");
  const test::Bytes junk = {1, 2, 3};
  const BundleCase cases[] = {
      {&roots, &intermediates, "rsa-leaf", KELU_OK},
      {&roots, &intermediates, "sm2-leaf", KELU_OK},
      {&roots, nullptr, "rsa-int", KELU_OK},
      {nullptr, &intermediates, "rsa-leaf", KELU_ERR_CERT_UNTRUSTED},
      {nullptr, nullptr, "rsa-root", KELU_ERR_CERT_UNTRUSTED},
  };
  for (const BundleCase &c : cases) {
    SCOPED_TRACE(c.cert);
    X509_STORE *store = nullptr;
    ASSERT_EQ(LoadP7bToStore(c.root ? c.root->data() : nullptr,
                             c.root ? static_cast<int>(c.root->size()) : 0,
                             c.intermediate ? c.intermediate->data() : nullptr,
                             c.intermediate ? static_cast<int>(c.intermediate->size()) : 0,
                             &store),
              KELU_OK);
    X509StorePtr owner(store);
    EXPECT_EQ(VerifyCertChainByTrustedStore(store, Load(c.cert).get()), c.want);
  }
  for (const test::Bytes *bad : {&data_only, &junk}) {
    X509_STORE *store = nullptr;
    EXPECT_EQ(LoadP7bToStore(roots.data(), static_cast<int>(roots.size()), bad->data(),
                             static_cast<int>(bad->size()), &store),
              KELU_ERR_FAILED);
    EXPECT_EQ(store, nullptr);
  }
}

// --- The order of the checks ---

struct OrderCase {
  const char *label;
  const char *cert;
  unsigned flag;
  const char *crl;  // a file of the PKI folder, "" for none (a null stream)
  std::vector<std::string> trusted;
  bool null_trusted_file;  // a null stream among the trusted files: fails if the chain runs
  int want;
};

TEST_F(CertificateVerify, ChecksRunInOrderAndStopAtTheFirstFailure) {
  const test::TestPki &pki = SharedPki();
  const std::vector<std::string> rsa_chain = {"rsa-root", "rsa-int"};
  const std::vector<std::string> sm2_chain = {"sm2-root", "sm2-int"};
  const std::string unreadable_crl = "rsa-leaf.key";
  const OrderCase cases[] = {
      {"flag 0 only parses", "rsa-expired", 0x0, "", {}, true, KELU_OK},
      {"unknown bits are ignored", "rsa-expired", 0x8 | 0x100, "", {}, true, KELU_OK},
      {"expired before an unreadable CRL", "rsa-expired", 0x3, unreadable_crl.c_str(), {}, true,
       KELU_ERR_CERT_VALIDITY},
      {"not yet valid before a revoking CRL", "rsa-future", 0x7, "crl-revoked.crl", {}, true,
       KELU_ERR_CERT_VALIDITY},
      {"expired, time not asked", "rsa-expired", 0x2, "crl-empty.crl", {}, true, KELU_OK},
      {"with the chain the trusted files are read before the CRL", "rsa-leaf", 0x6,
       "crl-revoked.crl", {}, true, KELU_ERR_FAILED},
      {"revoked by the CRL of a trusted CA", "rsa-leaf", 0x6, "crl-revoked.crl", rsa_chain,
       false, KELU_ERR_CERT_REVOKED},
      {"revoked, time and chain asked", "rsa-leaf", 0x7, "crl-revoked.crl", rsa_chain, false,
       KELU_ERR_CERT_REVOKED},
      {"unreadable CRL before the chain", "rsa-leaf", 0x6, unreadable_crl.c_str(), rsa_chain,
       false, KELU_ERR_FAILED},
      {"no CRL stream", "rsa-leaf", 0x2, "", {}, true, KELU_ERR_FAILED},
      {"chain after a clean CRL", "rsa-leaf", 0x6, "crl-empty.crl", {"rsa-int"}, false,
       KELU_ERR_CERT_UNTRUSTED},
      {"no trusted certificate to check the CRL with", "rsa-leaf", 0x6, "crl-empty.crl", {},
       false, KELU_ERR_FAILED},
      {"all three pass", "rsa-leaf", 0x7, "crl-empty.crl", rsa_chain, false, KELU_OK},
      {"chain only, no CRL needed", "rsa-leaf", 0x4, "", rsa_chain, false, KELU_OK},
      {"expired CA found by the chain", "rsa-leaf-of-expired", 0x5, "",
       {"rsa-root", "rsa-int-expired"}, false, KELU_ERR_CERT_VALIDITY},
      {"SM2: all three pass", "sm2-leaf", 0x7, "sm2-crl-empty.crl", sm2_chain, false, KELU_OK},
      {"SM2: revoked", "sm2-leaf", 0x7, "sm2-crl-revoked.crl", sm2_chain, false,
       KELU_ERR_CERT_REVOKED},
      {"SM2: untrusted", "ku-sign", 0x5, "", {"sm2-int"}, false, KELU_ERR_CERT_UNTRUSTED},
      {"SM2: expired before an unreadable CRL", "sm2-expired", 0x7, unreadable_crl.c_str(),
       sm2_chain, false, KELU_ERR_CERT_VALIDITY},
      {"SM2: not yet valid before a revoking CRL", "sm2-future", 0x3, "sm2-crl-other.crl", {},
       true, KELU_ERR_CERT_VALIDITY},
      {"SM2: own CA's clean CRL, then the chain", "sm2-leaf", 0x7, "sm2-crl-empty.crl.der",
       sm2_chain, false, KELU_OK},
      {"SM2: another issuer's CRL does not decide", "sm2-leaf", 0x6, "sm2-crl-other.crl",
       sm2_chain, false, KELU_ERR_FAILED},
      {"SM2: expired, time not asked, chain finds it", "sm2-expired", 0x6, "sm2-crl-empty.crl",
       sm2_chain, false, KELU_ERR_CERT_VALIDITY},
  };
  for (const OrderCase &c : cases) {
    SCOPED_TRACE(c.label);
    FilePtr crl;
    if (*c.crl != '\0') crl = OpenForReading(pki.dir() + "/" + c.crl);
    Files files = Open(c.trusted);
    std::vector<FILE *> trusted = files.streams;
    if (c.null_trusted_file) trusted.push_back(nullptr);
    EXPECT_EQ(VerifyX509(Load(c.cert).get(), c.flag, crl.get(), trusted), c.want);
    // The same through the bytes, PEM and DER.
    for (const test::Bytes &bytes : {pki.PemBytes(c.cert), pki.DerBytes(c.cert)}) {
      if (crl) rewind(crl.get());
      for (FILE *f : files.streams) rewind(f);
      EXPECT_EQ(VerifyCertificate(bytes.data(), static_cast<int>(bytes.size()), c.flag,
                                  crl.get(), trusted),
                c.want);
    }
  }
}

TEST_F(CertificateVerify, BytesThatAreNoCertificate) {
  const unsigned char junk[] = "-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n";
  EXPECT_EQ(VerifyCertificate(junk, sizeof junk, 0, nullptr, {}), KELU_ERR_FAILED);
  EXPECT_EQ(VerifyCertificate(nullptr, 0, 0, nullptr, {}), KELU_ERR_FAILED);
  EXPECT_EQ(VerifyX509(nullptr, 0, nullptr, {}), KELU_ERR_FAILED);
}

}  // namespace
}  // namespace kelu

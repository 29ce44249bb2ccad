// Bytes that are two certificates at once: a DER certificate whose nsComment extension holds
// another certificate's PEM text, made by openssl from an extensions file. A PEM reader finds
// the hidden certificate anywhere in the bytes; every exported function that takes a
// certificate, and the key-file writer and opener, must act on the outer one, whose DER the
// bytes are.
#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <functional>
#include <string>

#include "../operations/RsaTestPki.h"
#include "SMFileCertOperations.h"
#include "Sm2KeyFiles.h"
#include "Sm2Signatures.h"
#include "ToolkitTestUtil.h"

namespace kelu::test {
namespace {

constexpr char kKeyFilePassword[] = "key file pass";

// Under the CA "ca", which carries the PEM text of the CA "other-ca" in its comment:
// sm2-outer (SM2) and rsa-outer (RSA), each carrying the PEM text of sm2-hidden / rsa-hidden,
// leaves of other-ca with keys of their own, and "plain", an RSA leaf without a comment. The leaves allow digitalSignature and
// keyEncipherment and have a subject key identifier. Key files name.sm2 (password
// kKeyFilePassword) and PKCS#12 files name.p12 (kPfxPassword) of each.
class HiddenPemPki : public LeafPki {
 public:
  HiddenPemPki() : LeafPki("other-ca", Ca("/CN=Other CA", "")) {
    pki_.AddRoot("ca", Ca("/CN=Outer CA", CommentHolding(pki_.Pem("other-ca"))));
    const std::string usage =
        "basicConstraints = CA:false\nkeyUsage = digitalSignature,keyEncipherment\n"
        "subjectKeyIdentifier = hash\n";
    for (const auto &[prefix, alg] : {std::pair{"sm2", KeyAlg::kSM2}, {"rsa", KeyAlg::kRSA}}) {
      const std::string hidden = std::string(prefix) + "-hidden", outer = std::string(prefix) + "-outer";
      CertSpec leaf;
      leaf.alg = alg;
      leaf.subject = "/CN=" + hidden;
      leaf.extensions = usage;
      pki_.Issue(hidden, "other-ca", leaf);
      leaf.subject = "/CN=" + outer;
      leaf.extensions = usage + CommentHolding(pki_.Pem(hidden));
      pki_.Issue(outer, "ca", leaf);
    }
    CertSpec plain;
    plain.alg = KeyAlg::kRSA;
    plain.subject = "/CN=plain";
    pki_.Issue("plain", "ca", plain);
    for (const char *name : {"sm2-outer", "sm2-hidden"})
      WriteSm2KeyFile(KeyFile(name), pki_.Key(name), pki_.Der(name), kKeyFilePassword);
    for (const char *name : {"rsa-outer", "rsa-hidden"}) pki_.MakePkcs12(name, name, kPfxPassword, "");
  }

  std::string KeyFile(const std::string &name) const { return pki_.dir() + "/" + name + ".sm2"; }
  std::string Pfx(const std::string &name) const { return pki_.dir() + "/" + name + ".p12"; }
  // The file of the holder of name: its SM2 key file or its PKCS#12 file.
  std::string HolderFile(const std::string &name) const {
    return name.compare(0, 3, "sm2") == 0 ? KeyFile(name) : Pfx(name);
  }
  std::string Text(const std::string &name) const { return OpensslBase64(pki_.Der(name)); }
  std::string Path(const std::string &name) const { return pki_.dir() + "/" + name; }

 private:
  static CertSpec Ca(const std::string &subject, const std::string &comment) {
    CertSpec ca;
    ca.alg = KeyAlg::kRSA;
    ca.subject = subject;
    ca.extensions = kCaExtensions + comment;
    return ca;
  }
};

const HiddenPemPki &Pki() {
  static const HiddenPemPki *pki = new HiddenPemPki();
  return *pki;
}

int Size(const Bytes &b) { return static_cast<int>(b.size()); }

const Bytes kData = {'t', 'w', 'o', ' ', 'i', 'n', ' ', 'o', 'n', 'e'};

std::string Info(const std::string &cert, const char *type) {
  char *text = nullptr;
  EXPECT_EQ(GetCertificateInfo(cert.c_str(), type, &text), KELU_OK) << type;
  return TakeText(text);
}

// openssl's serial number of a DER certificate, as the toolkit writes it.
std::string OpensslSerial(const std::string &name) {
  std::string out = Pki().Openssl("x509 -inform DER -noout -serial -in " + ShellQuote(Pki().pki().Der(name)));
  out = out.substr(out.find('=') + 1);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

struct Opened {
  int rc;
  Bytes plain;
};

Opened OpenEnvelope(const char *algorithm, const std::string &envelope, const std::string &key_file,
                    const char *password) {
  unsigned char *plain = nullptr;
  int size = 0;
  Opened o{DecryptDataFromCMSEnvelope(algorithm, envelope.c_str(), key_file.c_str(), password,
                                      &plain, &size),
           {}};
  if (o.rc == KELU_OK) o.plain.assign(plain, plain + size);
  FreeMemory(plain);
  return o;
}

// The envelope to a certificate text opens with its holder's file only.
void EnvelopeOpensForItsHolder(const char *algorithm, const char *sym, const std::string &outer,
                               const std::string &hidden, const char *password) {
  char *text = nullptr;
  ASSERT_EQ(EncryptDataToCMSEnvelope(algorithm, kData.data(), Size(kData), Pki().Text(outer).c_str(),
                                     sym, &text),
            KELU_OK);
  const std::string envelope = TakeText(text);
  const Opened mine = OpenEnvelope(algorithm, envelope, Pki().HolderFile(outer), password);
  EXPECT_EQ(mine.rc, KELU_OK);
  EXPECT_EQ(mine.plain, kData);
  EXPECT_NE(OpenEnvelope(algorithm, envelope, Pki().HolderFile(hidden), password).rc, KELU_OK);
}

// A signature of the outer holder's file, verified and its certificate handed out.
void Pkcs7VerifiesAsOuter(const char *algorithm, const std::string &outer, const char *password,
                          const char *hash) {
  char *text = nullptr;
  ASSERT_EQ(SignData_PKCS7Detached(algorithm, kData.data(), Size(kData),
                                   Pki().HolderFile(outer).c_str(), password, hash, &text),
            KELU_OK);
  const std::string signature = TakeText(text);
  char *signer = nullptr;
  ASSERT_EQ(VerifyDataSignature_PKCS7Detached(algorithm, kData.data(), Size(kData),
                                              signature.c_str(), &signer),
            KELU_OK);
  EXPECT_EQ(TakeText(signer), Pki().Text(outer));
}

struct Row {
  const char *what;
  std::function<void()> check;
};

const Row kRows[] = {
    {"GetCertificateInfo of either outer certificate, DER or PEM",
     [] {
       for (const char *name : {"sm2-outer", "rsa-outer"}) {
         SCOPED_TRACE(name);
         for (const std::string &cert : {Pki().Text(name), OpensslBase64(Pki().Pem(name))}) {
           EXPECT_EQ(Info(cert, "SubjectCN"), name);
           EXPECT_EQ(Info(cert, "IssuerDN"), "CN=Outer CA");
           EXPECT_EQ(Info(cert, "SerialNumber"), OpensslSerial(name));
         }
       }
     }},
    {"VerifyCertificate: the chain of the outer certificate to the outer CA file, PEM or DER",
     [] {
       for (const char *name : {"sm2-outer", "rsa-outer", "plain"}) {
         SCOPED_TRACE(name);
         for (const std::string &ca_file : {Pki().Pem("ca"), Pki().pki().Der("ca")})
           EXPECT_EQ(VerifyCertificate(Pki().Text(name).c_str(), 0x5, ca_file.c_str(), ""),
                     KELU_OK)
               << ca_file;
         EXPECT_EQ(VerifyCertificate(Pki().Text(name).c_str(), 0x4, Pki().Pem("other-ca").c_str(),
                                     ""),
                   KELU_ERR_CERT_UNTRUSTED);
       }
     }},
    {"SM2 envelope",
     [] {
       EnvelopeOpensForItsHolder("SM2", "SM4_CBC", "sm2-outer", "sm2-hidden", kKeyFilePassword);
     }},
    {"RSA envelopes",
     [] {
       for (const char *sym : {"3DES", "RC4"}) {
         SCOPED_TRACE(sym);
         EnvelopeOpensForItsHolder("RSA", sym, "rsa-outer", "rsa-hidden", kPfxPassword);
       }
     }},
    {"RSA envelope opened by openssl cms with the outer key",
     [] {
       char *text = nullptr;
       ASSERT_EQ(EncryptDataToCMSEnvelope("RSA", kData.data(), Size(kData),
                                          Pki().Text("rsa-outer").c_str(), "3DES", &text),
                 KELU_OK);
       WriteBinaryFile(Pki().Path("envelope.der"), FromBase64(TakeText(text)));
       Pki().Openssl("cms -decrypt -binary -inform DER -in " + ShellQuote(Pki().Path("envelope.der")) +
                     " -recip " + ShellQuote(Pki().Pem("rsa-outer")) + " -inkey " +
                     ShellQuote(Pki().Key("rsa-outer")) + " -out " +
                     ShellQuote(Pki().Path("envelope.out")));
       EXPECT_EQ(ReadBinaryFile(Pki().Path("envelope.out")), kData);
     }},
    {"SM2 PKCS#1 verification of openssl's signatures",
     [] {
       const std::string cert = Pki().Text("sm2-outer");
       for (const char *signer : {"sm2-outer", "sm2-hidden"}) {
         SCOPED_TRACE(signer);
         const std::string signature = ToBase64(OpensslSm2Sign(Pki().Key(signer), kData, true));
         EXPECT_EQ(VerifyDataSignature_PKCS1("SM2", kData.data(), Size(kData), cert.c_str(), "",
                                             signature.c_str()) == KELU_OK,
                   signer == std::string("sm2-outer"));
       }
     }},
    {"RSA PKCS#1 verification of openssl's signatures",
     [] {
       WriteBinaryFile(Pki().Path("data.bin"), kData);
       const std::string cert = Pki().Text("rsa-outer");
       for (const char *signer : {"rsa-outer", "rsa-hidden"}) {
         SCOPED_TRACE(signer);
         Pki().Openssl("dgst -sha256 -sign " + ShellQuote(Pki().Key(signer)) + " -out " +
                       ShellQuote(Pki().Path("data.sig")) + " " + ShellQuote(Pki().Path("data.bin")));
         const std::string signature = ToBase64(ReadBinaryFile(Pki().Path("data.sig")));
         EXPECT_EQ(VerifyDataSignature_PKCS1("RSA", kData.data(), Size(kData), cert.c_str(),
                                             "SHA-256", signature.c_str()) == KELU_OK,
                   signer == std::string("rsa-outer"));
       }
     }},
    {"SM2 key file opened for a PKCS#1 signature that verifies with openssl",
     [] {
       char *text = nullptr;
       ASSERT_EQ(SignData_PKCS1("SM2", kData.data(), Size(kData), Pki().KeyFile("sm2-outer").c_str(),
                                kKeyFilePassword, "", &text),
                 KELU_OK);
       EXPECT_TRUE(OpensslSm2Verify(Pki().Pem("sm2-outer"), kData, FromBase64(TakeText(text)), true));
     }},
    {"SM2 PKCS#7 signature",
     [] { Pkcs7VerifiesAsOuter("SM2", "sm2-outer", kKeyFilePassword, ""); }},
    {"RSA PKCS#7 signature",
     [] { Pkcs7VerifiesAsOuter("RSA", "rsa-outer", kPfxPassword, "SHA-256"); }},
    {"certificate of the SM2 key file",
     [] {
       char *text = nullptr;
       ASSERT_EQ(GetPublicCertFromPFX("SM2", Pki().KeyFile("sm2-outer").c_str(), kKeyFilePassword,
                                      &text),
                 KELU_OK);
       EXPECT_EQ(TakeText(text), Pki().Text("sm2-outer"));
     }},
    {"signed and enveloped, both paths",
     [] {
       struct Path {
         const char *algorithm, *outer, *password, *hash, *sym;
       };
       const Path paths[] = {{"SM2", "sm2-outer", kKeyFilePassword, "", "SM4_CBC"},
                             {"RSA", "rsa-outer", kPfxPassword, "SHA-256", "3DES"}};
       for (const Path &p : paths) {
         SCOPED_TRACE(p.algorithm);
         const std::string outer = p.outer, file = Pki().HolderFile(outer);
         char *text = nullptr;
         ASSERT_EQ(SignAndEncryptData(p.algorithm, kData.data(), Size(kData), file.c_str(),
                                      p.password, p.hash, Pki().Text(outer).c_str(), p.sym, &text),
                   KELU_OK);
         const std::string result = TakeText(text);
         unsigned char *plain = nullptr;
         int size = 0;
         ASSERT_EQ(DecryptAndVerifyDataSignature(p.algorithm, result.c_str(), file.c_str(),
                                                 p.password, &plain, &size),
                   KELU_OK);
         EXPECT_EQ(Bytes(plain, plain + size), kData);
         FreeMemory(plain);
       }
     }},
    {"key-file writer: the outer key is the certificate's, the hidden one is not",
     [] {
       const Bytes cert = Pki().pki().DerBytes("sm2-outer");
       for (const char *key : {"sm2-outer", "sm2-hidden"}) {
         SCOPED_TRACE(key);
         const Bytes d = ReadSm2PrivateKey(Pki().Key(key)).d;
         unsigned char *der = nullptr;
         int der_size = 0;
         const int rc = EncapsulateSM2PFX(cert.data(), Size(cert), d.data(), Size(d),
                                          kKeyFilePassword, &der, &der_size);
         const Bytes written(der, der + (rc == KELU_OK ? der_size : 0));
         delete[] der;
         if (key != std::string("sm2-outer")) {
           EXPECT_EQ(rc, KELU_ERR_INVALID_PARAMETER);
           continue;
         }
         ASSERT_EQ(rc, KELU_OK);
         WriteTextFile(Pki().Path("written.sm2"), Sm2KeyFileText(written));
         char *text = nullptr;
         EXPECT_EQ(SignData_PKCS1("SM2", kData.data(), Size(kData), Pki().Path("written.sm2").c_str(),
                                  kKeyFilePassword, "", &text),
                   KELU_OK);
         EXPECT_TRUE(OpensslSm2Verify(Pki().Pem("sm2-outer"), kData, FromBase64(TakeText(text)),
                                      true));
       }
     }},
};

TEST(HiddenPemCertificate, EveryReaderActsOnTheOuterCertificate) {
  StartCryptoKernel();
  Pki();
  for (const Row &row : kRows) {
    SCOPED_TRACE(row.what);
    row.check();
    ERR_clear_error();
  }
}

// The subject of the certificate that OpenSSL's PEM reader finds in bytes held in memory; the
// reader of a file (the openssl command line's) stops early at a line that begins with a zero
// byte, which DER may hold.
std::string PemSubjectInBytes(const Bytes &bytes) {
  BIO *bio = BIO_new_mem_buf(bytes.data(), Size(bytes));
  X509 *cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
  char subject[256] = "(none)";
  if (cert != nullptr) X509_NAME_oneline(X509_get_subject_name(cert), subject, sizeof subject);
  X509_free(cert);
  BIO_free(bio);
  ERR_clear_error();
  return subject;
}

// The fixture is what it claims: OpenSSL's PEM reader takes the hidden certificate from the
// outer one's DER, its DER reader the outer one.
TEST(HiddenPemCertificate, OpensslReadsTheFixtureBothWays) {
  struct Pair {
    const char *outer, *outer_cn, *hidden_cn;
  };
  for (const Pair &p : {Pair{"sm2-outer", "sm2-outer", "sm2-hidden"},
                        Pair{"rsa-outer", "rsa-outer", "rsa-hidden"},
                        Pair{"ca", "Outer CA", "Other CA"}}) {
    SCOPED_TRACE(p.outer);
    EXPECT_EQ(PemSubjectInBytes(Pki().pki().DerBytes(p.outer)), std::string("/CN=") + p.hidden_cn);
    const std::string der = ShellQuote(Pki().pki().Der(p.outer));
    EXPECT_NE(Pki().Openssl("x509 -inform DER -noout -subject -in " + der).find(p.outer_cn),
              std::string::npos);
  }
}

}  // namespace
}  // namespace kelu::test

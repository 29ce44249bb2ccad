// PKCS#12 files, certificate bytes to objects, certificate times and the field readers.
#include <gtest/gtest.h>
#include <openssl/asn1.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "CertificateOperations.h"
#include "KeluErrors.h"
#include "OsslPtr.h"
#include "CertificateFields.h"
#include "SMKernel.h"
#include "StartKernel.h"
#include "TestPki.h"

namespace kelu {
namespace {

using test::Bytes;
using test::SharedPki;

class CertificateReading : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    test::StartKernelInToolkitContext();  // RC2-40 files need the toolkit's legacy provider
    SharedPki();
  }
};

X509Ptr Convert(const Bytes &bytes) {
  X509 *x = nullptr;
  EXPECT_EQ(ConvertCertDataToX509(bytes.data(), static_cast<int>(bytes.size()), &x), KELU_OK);
  return X509Ptr(x);
}

X509Ptr LoadPem(const std::string &name) { return Convert(SharedPki().PemBytes(name)); }

// The text a reader hands out, released here.
std::string TakeText(char *text) {
  std::string s = text != nullptr ? text : "<null>";
  delete[] text;
  return s;
}

std::string OpensslField(const std::string &name, const std::string &args) {
  std::string out = SharedPki().Openssl("x509 -in '" + SharedPki().Pem(name) + "' -noout " + args);
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

// --- Certificate bytes ---

TEST_F(CertificateReading, PemAndDerGiveTheSameCertificate) {
  for (const char *name : {"sm2-leaf", "rsa-leaf", "rsa-v1"}) {
    SCOPED_TRACE(name);
    X509Ptr from_pem = LoadPem(name);
    ERR_clear_error();
    X509Ptr from_der = Convert(SharedPki().DerBytes(name));
    ASSERT_TRUE(from_pem && from_der);
    EXPECT_EQ(X509_cmp(from_pem.get(), from_der.get()), 0);
    EXPECT_EQ(ERR_peek_error(), 0u) << "the failed PEM attempt left an error behind";
  }
}

TEST_F(CertificateReading, PemAfterOtherTextAndBytesAfterDer) {
  std::string pem = test::ReadTextFile(SharedPki().Pem("rsa-leaf"));
  std::string prefixed = "Subject: whatever\nsome text\n" + pem;
  X509Ptr a = Convert(Bytes(prefixed.begin(), prefixed.end()));
  Bytes der = SharedPki().DerBytes("rsa-leaf");
  Bytes trailing = der;
  trailing.insert(trailing.end(), {0x00, 0xFF, 0x30, 0x82});
  X509Ptr b = Convert(trailing);
  // Bytes that begin with a DER certificate are that one, whatever PEM text follows.
  Bytes then_pem = der;
  const Bytes other = SharedPki().PemBytes("sm2-leaf");
  then_pem.insert(then_pem.end(), other.begin(), other.end());
  X509Ptr c = Convert(then_pem);
  ASSERT_TRUE(a && b && c);
  EXPECT_EQ(X509_cmp(a.get(), b.get()), 0);
  EXPECT_EQ(X509_cmp(a.get(), c.get()), 0);
}

TEST_F(CertificateReading, BytesThatAreNoCertificateFail) {
  Bytes der = SharedPki().DerBytes("sm2-leaf");
  std::string pem = test::ReadTextFile(SharedPki().Pem("sm2-leaf"));
  std::string broken_pem = pem.substr(0, pem.size() / 2);
  const std::vector<Bytes> inputs = {
      Bytes{'h', 'e', 'l', 'l', 'o'},
      Bytes(der.begin(), der.begin() + static_cast<long>(der.size() - 10)),  // truncated
      Bytes{0x30, 0x84, 0xFF, 0xFF, 0xFF, 0xFF},
      Bytes(broken_pem.begin(), broken_pem.end()),
  };
  for (const Bytes &in : inputs) {
    X509 *x = reinterpret_cast<X509 *>(1);
    EXPECT_EQ(ConvertCertDataToX509(in.data(), static_cast<int>(in.size()), &x), KELU_ERR_FAILED);
    EXPECT_EQ(x, reinterpret_cast<X509 *>(1)) << "output written on failure";
  }
  X509 *x = nullptr;
  EXPECT_EQ(ConvertCertDataToX509(nullptr, 10, &x), KELU_ERR_FAILED);
  EXPECT_EQ(ConvertCertDataToX509(der.data(), 0, &x), KELU_ERR_FAILED);
  EXPECT_EQ(ConvertCertDataToX509(der.data(), -1, &x), KELU_ERR_FAILED);
  EXPECT_EQ(x, nullptr);
  ERR_clear_error();
}

// --- PKCS#12 ---

struct Pkcs12Case {
  const char *label;
  std::string extra_args;
  const char *open_password;
  int want;
  bool key, cert;
  int ca_count;
};

TEST_F(CertificateReading, Pkcs12Files) {
  test::TempDir dir;
  test::TestPki pki(dir.path());
  // The shared leaf and its chain, under a PKI folder of this test.
  for (const char *name : {"rsa-leaf", "rsa-int"}) {
    test::WriteBinaryFile(pki.Pem(name), SharedPki().PemBytes(name));
    test::WriteBinaryFile(pki.Key(name), test::ReadBinaryFile(SharedPki().Key(name)));
  }
  const std::string chain = "-certfile '" + pki.Pem("rsa-int") + "'";
  const Pkcs12Case cases[] = {
      {"right password", "", "secret", KELU_OK, true, true, 0},
      {"with a CA certificate", chain, "secret", KELU_OK, true, true, 1},
      {"wrong password", "", "Secret", KELU_ERR_FAILED, false, false, 0},
      {"legacy RC2-40", "-legacy", "secret", KELU_OK, true, true, 0},
      {"legacy, wrong password", "-legacy", "x", KELU_ERR_FAILED, false, false, 0},
      // Without a MAC the password cannot be checked: refused like a damaged file.
      {"no MAC", "-nomac", "secret", KELU_ERR_FAILED, false, false, 0},
      // Without a key the first certificate is the certificate.
      {"no keys", "-nokeys", "secret", KELU_OK, false, true, 0},
      {"no keys, with a CA certificate", "-nokeys " + chain, "secret", KELU_OK, false, true, 1},
      // A key alone: parsed, with no certificate for the consumers to refuse.
      {"no certificates", "-nocerts", "secret", KELU_OK, true, false, 0},
  };
  X509Ptr leaf = LoadPem("rsa-leaf");
  for (const Pkcs12Case &c : cases) {
    SCOPED_TRACE(c.label);
    std::string path = pki.MakePkcs12("file", "rsa-leaf", "secret", c.extra_args);
    test::FilePtr f = test::OpenForReading(path);
    EVP_PKEY *key = nullptr;
    X509 *cert = nullptr;
    STACK_OF(X509) *ca = nullptr;
    ASSERT_EQ(ParsePFXFile(f.get(), c.open_password, &key, &cert, &ca), c.want);
    EvpPkeyPtr key_owner(key);
    X509Ptr cert_owner(cert);
    X509StackPtr ca_owner(ca);
    EXPECT_EQ(key != nullptr, c.key);
    EXPECT_EQ(cert != nullptr, c.cert);
    EXPECT_EQ(std::max(sk_X509_num(ca), 0), c.ca_count);
    if (cert != nullptr) {
      EXPECT_EQ(X509_cmp(cert, leaf.get()), 0);
    }
    if (key != nullptr) {
      EXPECT_EQ(X509_check_private_key(leaf.get(), key), 1);
    }
    // The consumers of a parsed file's certificate take a missing one as a failure.
    if (c.want == KELU_OK && cert == nullptr) {
      EXPECT_EQ(CheckX509KeyUsage(cert, CERT_KEY_USAGE_DIGITAL_SIGNATURE, true), KELU_ERR_FAILED);
      EXPECT_EQ(VerifyX509(cert, CERT_VERIFY_VALIDITY, nullptr, {}), KELU_ERR_FAILED);
      char *text = nullptr;
      EXPECT_EQ(GetX509SubjectKeyID(cert, &text), KELU_ERR_FAILED);
    }
  }
  ERR_clear_error();
}

TEST_F(CertificateReading, Pkcs12OutputsAskedForAndBadFiles) {
  test::TempDir dir;
  test::TestPki pki(dir.path());
  test::WriteBinaryFile(pki.Pem("rsa-leaf"), SharedPki().PemBytes("rsa-leaf"));
  test::WriteBinaryFile(pki.Key("rsa-leaf"), test::ReadBinaryFile(SharedPki().Key("rsa-leaf")));
  std::string path = pki.MakePkcs12("file", "rsa-leaf", "pw", "");

  // Only the certificate asked for (the exported certificate reader's call).
  test::FilePtr f = test::OpenForReading(path);
  X509 *cert = nullptr;
  ASSERT_EQ(ParsePFXFile(f.get(), "pw", nullptr, &cert, nullptr), KELU_OK);
  X509Ptr owner(cert);
  EXPECT_NE(cert, nullptr);

  // Nothing asked for: still parsed and checked.
  f = test::OpenForReading(path);
  EXPECT_EQ(ParsePFXFile(f.get(), "pw", nullptr, nullptr, nullptr), KELU_OK);
  f = test::OpenForReading(path);
  EXPECT_EQ(ParsePFXFile(f.get(), nullptr, nullptr, nullptr, nullptr), KELU_ERR_FAILED);

  EXPECT_EQ(ParsePFXFile(nullptr, "pw", nullptr, &cert, nullptr), KELU_ERR_FAILED);
  f = test::OpenForReading(SharedPki().Pem("rsa-leaf"));  // not a PKCS#12 file
  EXPECT_EQ(ParsePFXFile(f.get(), "pw", nullptr, &cert, nullptr), KELU_ERR_FAILED);
  EXPECT_EQ(cert, owner.get()) << "output written on failure";
  ERR_clear_error();
}

// --- Certificate times ---

struct TimeCase {
  int type;
  const char *text;
  int want;
  long long seconds;
};

const TimeCase kTimeCases[] = {
    {V_ASN1_UTCTIME, "491231235959Z", KELU_OK, 2524607999LL},  // 49 is 2049
    {V_ASN1_UTCTIME, "500101000000Z", KELU_OK, -631152000LL},  // 50 is 1950
    {V_ASN1_UTCTIME, "2001011200Z", KELU_OK, 1577880000LL},    // no seconds
    {V_ASN1_UTCTIME, "200101120000+0800", KELU_OK, 1577851200LL},
    {V_ASN1_UTCTIME, "2001011200+0800", KELU_OK, 1577851200LL},
    {V_ASN1_UTCTIME, "200101120000-0130", KELU_OK, 1577885400LL},
    {V_ASN1_UTCTIME, "200229235959Z", KELU_OK, 1583020799LL},  // leap day
    {V_ASN1_UTCTIME, "700101000000Z", KELU_OK, 0LL},
    {V_ASN1_GENERALIZEDTIME, "20200101120000Z", KELU_OK, 1577880000LL},
    {V_ASN1_GENERALIZEDTIME, "20200101120000.123Z", KELU_OK, 1577880000LL},
    {V_ASN1_GENERALIZEDTIME, "202001011200Z", KELU_OK, 1577880000LL},
    {V_ASN1_GENERALIZEDTIME, "20200101120000+0800", KELU_OK, 1577851200LL},
    {V_ASN1_GENERALIZEDTIME, "19691231235959Z", KELU_OK, -1LL},
    {V_ASN1_GENERALIZEDTIME, "20500101000000Z", KELU_OK, 2524608000LL},
    {V_ASN1_GENERALIZEDTIME, "99991231235959Z", KELU_OK, 253402300799LL},
    {V_ASN1_GENERALIZEDTIME, "21000228235959Z", KELU_OK, 4107542399LL},  // 2100: no leap year
    // Lengths.
    {V_ASN1_UTCTIME, "2001011200", KELU_ERR_FAILED, 0},          // 10 characters
    {V_ASN1_UTCTIME, "200101120000Z12345", KELU_ERR_FAILED, 0},  // 18 characters
    {V_ASN1_GENERALIZEDTIME, "202001011200", KELU_ERR_FAILED, 0},
    {V_ASN1_UTCTIME, "", KELU_ERR_FAILED, 0},
    // No zone, a bad zone, text after the zone.
    {V_ASN1_UTCTIME, "200101120000", KELU_ERR_FAILED, 0},
    {V_ASN1_GENERALIZEDTIME, "20200101120000", KELU_ERR_FAILED, 0},
    {V_ASN1_UTCTIME, "200101120000X", KELU_ERR_FAILED, 0},
    {V_ASN1_UTCTIME, "200101120000+08", KELU_ERR_FAILED, 0},
    {V_ASN1_UTCTIME, "200101120000+2400", KELU_ERR_FAILED, 0},
    {V_ASN1_UTCTIME, "200101120000+08a0", KELU_ERR_FAILED, 0},
    {V_ASN1_UTCTIME, "200101120000Z0", KELU_ERR_FAILED, 0},
    {V_ASN1_GENERALIZEDTIME, "20200101120000.Z", KELU_ERR_FAILED, 0},
    // Characters that are not digits.
    {V_ASN1_UTCTIME, "2a0101120000Z", KELU_ERR_FAILED, 0},
    {V_ASN1_UTCTIME, "20 101120000Z", KELU_ERR_FAILED, 0},
    {V_ASN1_UTCTIME, "2001011200:0Z", KELU_ERR_FAILED, 0},
    {V_ASN1_GENERALIZEDTIME, "2020-1-1120000Z", KELU_ERR_FAILED, 0},
    // Fields out of range.
    {V_ASN1_UTCTIME, "200101240000Z", KELU_ERR_FAILED, 0},
    {V_ASN1_UTCTIME, "201301120000Z", KELU_ERR_FAILED, 0},
    {V_ASN1_UTCTIME, "200001120000Z", KELU_ERR_FAILED, 0},
    {V_ASN1_UTCTIME, "200100120000Z", KELU_ERR_FAILED, 0},
    {V_ASN1_UTCTIME, "200230120000Z", KELU_ERR_FAILED, 0},
    {V_ASN1_UTCTIME, "210229120000Z", KELU_ERR_FAILED, 0},
    {V_ASN1_UTCTIME, "200101126000Z", KELU_ERR_FAILED, 0},
    {V_ASN1_UTCTIME, "200101120060Z", KELU_ERR_FAILED, 0},
};

// A time string of the given type holding exactly text (no validation by the library).
std::unique_ptr<ASN1_TIME, Deleter<ASN1_TIME_free>> RawTime(int type, const char *text) {
  std::unique_ptr<ASN1_TIME, Deleter<ASN1_TIME_free>> t(ASN1_STRING_type_new(type));
  EXPECT_EQ(ASN1_STRING_set(t.get(), text, static_cast<int>(std::strlen(text))), 1);
  return t;
}

TEST_F(CertificateReading, TimeTableInTwoTimeZones) {
  for (const char *zone : {"Asia/Shanghai", "America/New_York"}) {
    test::TimeZoneScope tz(zone);
    // The zone must be in effect (tzdata installed), else the table proves nothing.
    time_t epoch = 0;
    struct tm local;
    ASSERT_NE(localtime_r(&epoch, &local), nullptr);
    ASSERT_NE(local.tm_hour, 0) << zone << " is not known here (tzdata)";
    for (const TimeCase &c : kTimeCases) {
      SCOPED_TRACE(std::string(zone) + " " + c.text);
      auto t = RawTime(c.type, c.text);
      time_t got = 12345;
      ASSERT_EQ(ASN1_TIME_To_UTCTime(t.get(), &got), c.want);
      EXPECT_EQ(static_cast<long long>(got), c.seconds);
      // The library's own reading of the same text, where it takes it, agrees.
      struct tm tm;
      if (c.want == KELU_OK && ASN1_TIME_to_tm(t.get(), &tm) == 1) {
        EXPECT_EQ(static_cast<long long>(timegm(&tm)), c.seconds);
      }
    }
  }
  time_t got = 7;
  EXPECT_EQ(ASN1_TIME_To_UTCTime(nullptr, &got), KELU_ERR_FAILED);
  EXPECT_EQ(got, 0);
  EXPECT_EQ(ASN1_TIME_To_UTCTime(RawTime(V_ASN1_UTCTIME, "700101000000Z").get(), nullptr),
            KELU_ERR_FAILED);
}

TEST_F(CertificateReading, ValidityBoundsMatchTheLibrary) {
  test::TimeZoneScope tz("America/New_York");
  for (const char *name : {"sm2-leaf", "rsa-expired", "rsa-future", "rsa-v1"}) {
    SCOPED_TRACE(name);
    X509Ptr x = LoadPem(name);
    time_t before = 0, after = 0;
    ASSERT_EQ(GetX509NotBefore(x.get(), &before), KELU_OK);
    ASSERT_EQ(GetX509NotAfter(x.get(), &after), KELU_OK);
    struct tm tm;
    ASSERT_EQ(ASN1_TIME_to_tm(X509_get0_notBefore(x.get()), &tm), 1);
    EXPECT_EQ(before, timegm(&tm));
    ASSERT_EQ(ASN1_TIME_to_tm(X509_get0_notAfter(x.get()), &tm), 1);
    EXPECT_EQ(after, timegm(&tm));
  }
}

TEST_F(CertificateReading, ValidityBoundsOfAGeneralizedTime) {
  test::TempDir dir;
  test::TestPki pki(dir.path());
  test::CertSpec details;
  details.alg = test::KeyAlg::kRSA;
  details.key_file = SharedPki().Key("rsa-root");
  details.not_before = -631152000;  // 1950-01-01: UTCTime
  details.not_after = 2556144000;   // 2051-01-01: GeneralizedTime
  pki.AddRoot("long", details);
  X509Ptr x = Convert(pki.PemBytes("long"));
  ASSERT_EQ(ASN1_STRING_type(X509_get0_notAfter(x.get())), V_ASN1_GENERALIZEDTIME);
  time_t before = 0, after = 0;
  EXPECT_EQ(GetX509NotBefore(x.get(), &before), KELU_OK);
  EXPECT_EQ(GetX509NotAfter(x.get(), &after), KELU_OK);
  EXPECT_EQ(before, -631152000);
  EXPECT_EQ(after, 2556144000);
}

// --- Certificate type and signature algorithm ---

TEST_F(CertificateReading, CertificateTypeBySignatureAlgorithm) {
  test::TempDir dir;
  test::TestPki pki(dir.path());
  struct TypeCase {
    const char *name;
    test::KeyAlg alg;
    const char *md;
    int want, type;
    const char *oid;
  };
  const TypeCase cases[] = {
      {"sha256", test::KeyAlg::kRSA, "sha256", KELU_OK, CERT_TYPE_RSA, "1.2.840.113549.1.1.11"},
      {"sha1", test::KeyAlg::kRSA, "sha1", KELU_OK, CERT_TYPE_RSA, "1.2.840.113549.1.1.5"},
      {"sha384", test::KeyAlg::kRSA, "sha384", KELU_OK, CERT_TYPE_RSA, "1.2.840.113549.1.1.12"},
      {"sha512", test::KeyAlg::kRSA, "sha512", KELU_OK, CERT_TYPE_RSA, "1.2.840.113549.1.1.13"},
      {"md5", test::KeyAlg::kRSA, "md5", KELU_ERR_FAILED, 0, "1.2.840.113549.1.1.4"},
      {"sha224", test::KeyAlg::kRSA, "sha224", KELU_ERR_FAILED, 0, "1.2.840.113549.1.1.14"},
      {"sm3", test::KeyAlg::kSM2, "sm3", KELU_OK, CERT_TYPE_SM2, "1.2.156.10197.1.501"},
      {"ecdsa", test::KeyAlg::kEC256, "sha256", KELU_ERR_FAILED, 0, "1.2.840.10045.4.3.2"},
  };
  for (const TypeCase &c : cases) {
    SCOPED_TRACE(c.name);
    test::CertSpec details;
    details.alg = c.alg;
    details.md = c.md;
    if (c.alg == test::KeyAlg::kRSA) details.key_file = SharedPki().Key("rsa-root");
    pki.AddRoot(c.name, details);
    X509Ptr x = Convert(pki.PemBytes(c.name));
    int type = 99;
    EXPECT_EQ(GetX509CertType(x.get(), &type), c.want);
    EXPECT_EQ(type, c.type);
    char *oid = nullptr;
    ASSERT_EQ(GetX509CertAlg(x.get(), &oid), KELU_OK);
    EXPECT_EQ(TakeText(oid), c.oid);
    EXPECT_EQ(GetX509CertAlg(x.get()), KELU_OK);
  }
}

// --- Names ---

TEST_F(CertificateReading, NamesAgreeWithOpenssl) {
  test::TempDir dir;
  test::TestPki pki(dir.path());
  test::CertSpec details;
  details.key_file = SharedPki().Key("sm2-leaf");
  details.subject = "/C=CN/ST=北京/O=测试机构/CN=张三";
  pki.AddRoot("utf8", details);
  const std::string nameopt = "-nameopt sep_comma_plus_space,dn_rev,sname,utf8,esc_ctrl";
  struct Named {
    const test::TestPki &pki;
    const char *name;
  };
  for (const Named &n : {Named{SharedPki(), "sm2-leaf"}, Named{SharedPki(), "rsa-int"},
                         Named{pki, "utf8"}}) {
    SCOPED_TRACE(n.name);
    X509Ptr x = Convert(n.pki.PemBytes(n.name));
    auto field = [&](const char *which) {
      std::string out =
          n.pki.Openssl(std::string("x509 -noout -") + which + " " + nameopt + " -in '" +
                        n.pki.Pem(n.name) + "'");
      out = out.substr(out.find('=') + 1);
      return out.substr(0, out.find('\n'));
    };
    char *text = nullptr;
    int len = -1;
    ASSERT_EQ(GetX509SubjectDN(x.get(), &text, &len), KELU_OK);
    EXPECT_EQ(len, static_cast<int>(std::strlen(text)));
    EXPECT_EQ(TakeText(text), field("subject"));
    ASSERT_EQ(GetX509IssuerDN(x.get(), &text), KELU_OK);
    EXPECT_EQ(TakeText(text), field("issuer"));
  }
  X509Ptr x = Convert(pki.PemBytes("utf8"));
  char *cn = nullptr;
  int cn_len = 0;
  ASSERT_EQ(GetX509SubjectCN(x.get(), &cn, &cn_len), KELU_OK);
  EXPECT_EQ(cn_len, 6);  // two characters of three UTF-8 bytes
  EXPECT_EQ(TakeText(cn), "张三");
}

// A certificate object with the given subject entries (library type names or dotted OIDs),
// built in memory: the readers do not need a signature.
X509Ptr CertWithSubject(const std::vector<std::pair<std::string, std::string>> &entries) {
  X509Ptr x(X509_new());
  X509_NAME *name = X509_get_subject_name(x.get());
  for (const auto &[type, value] : entries)
    EXPECT_EQ(X509_NAME_add_entry_by_txt(name, type.c_str(), V_ASN1_UTF8STRING,
                                         reinterpret_cast<const unsigned char *>(value.data()),
                                         static_cast<int>(value.size()), -1, 0),
              1);
  return x;
}

TEST_F(CertificateReading, DistinguishedNameTextAndLimits) {
  struct DnCase {
    const char *label;
    std::vector<std::pair<std::string, std::string>> entries;
    int want;
    std::string text;
  };
  const std::vector<DnCase> cases = {
      {"reverse order", {{"C", "CN"}, {"O", "Org"}, {"CN", "Test"}}, KELU_OK,
       "CN=Test, O=Org, C=CN"},
      {"values unescaped", {{"O", "A, \"B\"=C"}, {"CN", "x"}}, KELU_OK, "CN=x, O=A, \"B\"=C"},
      {"two common names", {{"CN", "First"}, {"CN", "Second"}}, KELU_OK,
       "CN=Second, CN=First"},
      {"email", {{"emailAddress", "a@b.c"}}, KELU_OK, "emailAddress=a@b.c"},
      {"1023 characters", {{"CN", std::string(1020, 'a')}}, KELU_OK,
       "CN=" + std::string(1020, 'a')},
      {"1023 over two entries", {{"O", std::string(500, 'o')}, {"CN", std::string(516, 'c')}},
       KELU_OK, "CN=" + std::string(516, 'c') + ", O=" + std::string(500, 'o')},
      {"1024 characters", {{"CN", std::string(1021, 'a')}}, KELU_ERR_FAILED, ""},
      {"1024 over two entries", {{"O", std::string(500, 'o')}, {"CN", std::string(517, 'c')}},
       KELU_ERR_FAILED, ""},
      {"empty value", {{"O", "Org"}, {"CN", ""}}, KELU_ERR_FAILED, ""},
      {"type without a short name", {{"1.2.3.4.5.6", "x"}}, KELU_ERR_FAILED, ""},
      {"no entries", {}, KELU_ERR_FAILED, ""},
  };
  for (const DnCase &c : cases) {
    SCOPED_TRACE(c.label);
    X509Ptr x = CertWithSubject(c.entries);
    char *text = nullptr;
    int len = -1;
    ASSERT_EQ(GetX509SubjectDN(x.get(), &text, &len), c.want);
    if (c.want == KELU_OK) {
      EXPECT_EQ(len, static_cast<int>(c.text.size()));
      EXPECT_EQ(TakeText(text), c.text);
    } else {
      EXPECT_EQ(text, nullptr);
      EXPECT_EQ(len, -1);
    }
  }
  ERR_clear_error();
}

TEST_F(CertificateReading, CommonName) {
  X509Ptr two = CertWithSubject({{"O", "Org"}, {"CN", "First"}, {"CN", "Second"}});
  char *cn = nullptr;
  int len = 0;
  ASSERT_EQ(GetX509SubjectCN(two.get(), &cn, &len), KELU_OK);
  EXPECT_EQ(len, 5);
  EXPECT_EQ(TakeText(cn), "First");
  for (const auto &entries : std::vector<std::vector<std::pair<std::string, std::string>>>{
           {{"O", "Org"}}, {{"CN", ""}}}) {
    X509Ptr x = CertWithSubject(entries);
    EXPECT_EQ(GetX509SubjectCN(x.get(), &cn, &len), KELU_ERR_FAILED);
  }
  EXPECT_EQ(GetX509SubjectCN(two.get(), &cn, nullptr), KELU_ERR_FAILED);
  ERR_clear_error();
}

// --- Serial number and key identifier ---

TEST_F(CertificateReading, SerialNumberText) {
  struct SerialCase {
    const char *hex;
    bool negative;
    int want;
    const char *text;
  };
  const SerialCase cases[] = {
      {"0123", false, KELU_OK, "0123"},
      {"80", false, KELU_OK, "0080"},
      {"7F", false, KELU_OK, "7F"},
      {"01", false, KELU_OK, "01"},
      {"FFEEDDCCBBAA99887766554433221100FFEEDDCC", false, KELU_OK,
       "00FFEEDDCCBBAA99887766554433221100FFEEDDCC"},
      {"80", true, KELU_OK, "0080"},  // the magnitude of a negative serial
      {"0", false, KELU_ERR_FAILED, ""},
  };
  for (const SerialCase &c : cases) {
    SCOPED_TRACE(c.hex);
    X509Ptr x(X509_new());
    BIGNUM *bn = nullptr;
    ASSERT_GT(BN_hex2bn(&bn, c.hex), 0);
    BignumPtr bn_owner(bn);
    BN_set_negative(bn, c.negative ? 1 : 0);
    std::unique_ptr<ASN1_INTEGER, Deleter<ASN1_INTEGER_free>> serial(
        BN_to_ASN1_INTEGER(bn, nullptr));
    ASSERT_EQ(X509_set_serialNumber(x.get(), serial.get()), 1);
    char *text = nullptr;
    int len = -1;
    ASSERT_EQ(GetX509SerialNumber(x.get(), &text, &len), c.want);
    if (c.want == KELU_OK) {
      EXPECT_EQ(len, static_cast<int>(std::strlen(c.text)));
      EXPECT_EQ(TakeText(text), c.text);
    }
  }
  // A real certificate, against the openssl command line.
  X509Ptr x = LoadPem("sm2-leaf");
  char *text = nullptr;
  ASSERT_EQ(GetX509SerialNumber(x.get(), &text), KELU_OK);
  EXPECT_EQ("serial=" + TakeText(text), OpensslField("sm2-leaf", "-serial"));
}

TEST_F(CertificateReading, SubjectKeyIdentifierText) {
  for (const char *name : {"sm2-leaf", "rsa-leaf", "sm2-root"}) {
    SCOPED_TRACE(name);
    std::string want = OpensslField(name, "-ext subjectKeyIdentifier");
    want = want.substr(want.find('\n') + 1);
    std::string hex;
    for (char c : want)
      if (std::isxdigit(static_cast<unsigned char>(c))) hex += c;
    X509Ptr x = LoadPem(name);
    char *text = nullptr;
    int len = 0;
    ASSERT_EQ(GetX509SubjectKeyID(x.get(), &text, &len), KELU_OK);
    EXPECT_EQ(len, 40);
    EXPECT_EQ(TakeText(text), hex);
  }
  X509Ptr v1 = LoadPem("rsa-v1");
  char *text = nullptr;
  EXPECT_EQ(GetX509SubjectKeyID(v1.get(), &text), KELU_ERR_FAILED);
  EXPECT_EQ(text, nullptr);
  ERR_clear_error();
}

// The envelope recipient check compares this text with the bytes of the certificate-field
// reader: both must name the same identifier.
TEST_F(CertificateReading, SubjectKeyIdentifierTextMatchesTheFieldReader) {
  Bytes long_form = {0x04, 0x81, 0xC8};  // 200 octets, long-form length
  for (int i = 0; i < 200; ++i) long_form.push_back(static_cast<uint8_t>(i));
  std::vector<Bytes> certs = {SharedPki().DerBytes("sm2-leaf"), SharedPki().DerBytes("rsa-leaf"),
                              test::WithExtension(SharedPki().DerBytes("sm2-leaf"),
                                                  NID_subject_key_identifier, &long_form)};
  for (const Bytes &der : certs) {
    unsigned char *id = nullptr;
    int id_len = 0;
    ASSERT_EQ(GetSubjectKeyIDFromCert(der.data(), static_cast<int>(der.size()), &id, &id_len),
              KELU_OK);
    std::string want = test::ToHex(id, static_cast<size_t>(id_len));
    delete[] id;
    X509Ptr x = Convert(der);
    char *text = nullptr;
    int len = 0;
    ASSERT_EQ(GetX509SubjectKeyID(x.get(), &text, &len), KELU_OK);
    EXPECT_EQ(len, static_cast<int>(want.size()));
    EXPECT_EQ(TakeText(text), want);
  }
  EXPECT_EQ(certs.back().size() > 200, true);
}

// --- Null objects ---

TEST_F(CertificateReading, NullCertificateFailsInEveryReader) {
  char *text = nullptr;
  int len = 0, type = 5;
  time_t t = 0;
  EXPECT_EQ(GetX509CertType(nullptr, &type), KELU_ERR_FAILED);
  EXPECT_EQ(type, 0);
  EXPECT_EQ(GetX509SubjectCN(nullptr, &text, &len), KELU_ERR_FAILED);
  EXPECT_EQ(GetX509SubjectDN(nullptr, &text, &len), KELU_ERR_FAILED);
  EXPECT_EQ(GetX509IssuerDN(nullptr, &text, &len), KELU_ERR_FAILED);
  EXPECT_EQ(GetX509NotBefore(nullptr, &t), KELU_ERR_FAILED);
  EXPECT_EQ(GetX509NotAfter(nullptr, &t), KELU_ERR_FAILED);
  EXPECT_EQ(GetX509SerialNumber(nullptr, &text, &len), KELU_ERR_FAILED);
  EXPECT_EQ(GetX509SubjectKeyID(nullptr, &text, &len), KELU_ERR_FAILED);
  EXPECT_EQ(GetX509CertAlg(nullptr, &text), KELU_ERR_FAILED);
  EXPECT_EQ(text, nullptr);
  X509Ptr x = LoadPem("rsa-leaf");
  EXPECT_EQ(GetX509CertType(x.get(), nullptr), KELU_ERR_FAILED);
  EXPECT_EQ(GetX509SubjectDN(x.get(), nullptr), KELU_ERR_FAILED);
  EXPECT_EQ(GetX509NotAfter(x.get(), nullptr), KELU_ERR_FAILED);
}

}  // namespace
}  // namespace kelu

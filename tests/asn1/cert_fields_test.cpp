// The certificate-field readers: SM2 public key, issuer, serial number, subject key identifier.
#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <cctype>
#include <string>
#include <vector>

#include "KeluErrors.h"
#include "LogCapture.h"
#include "OsslPtr.h"
#include "CertificateFields.h"
#include "TestPki.h"

namespace kelu {
namespace {

using test::Bytes;
using test::SharedPki;

using Reader = int (*)(const unsigned char *, int, unsigned char **, int *);

// One reader's output, or nullopt-like empty with ok false.
struct Output {
  int rc;
  Bytes bytes;
};

Output Read(Reader reader, const Bytes &cert) {
  unsigned char *out = nullptr;
  int len = -1;
  int rc = reader(cert.data(), static_cast<int>(cert.size()), &out, &len);
  Output o{rc, {}};
  if (rc == KELU_OK) o.bytes.assign(out, out + len);
  delete[] out;
  return o;
}

struct XY {
  int rc;
  Bytes x, y;
};

XY ReadXY(const Bytes &cert) {
  unsigned char *x = nullptr, *y = nullptr;
  int x_len = -1, y_len = -1;
  XY r{GetPublicKeyXYFromSM2Cert(cert.data(), static_cast<int>(cert.size()), &x, &x_len, &y,
                                 &y_len),
       {},
       {}};
  if (r.rc == KELU_OK) {
    EXPECT_EQ(x_len, 32);
    EXPECT_EQ(y_len, 32);
    r.x.assign(x, x + x_len);
    r.y.assign(y, y + y_len);
  } else {
    EXPECT_EQ(x, nullptr);
    EXPECT_EQ(x_len, -1);
  }
  delete[] x;
  delete[] y;
  return r;
}

// X || Y of the certificate's public key from the openssl command line (the last 64 bytes of
// its SubjectPublicKeyInfo, the uncompressed point).
Bytes OpensslXY(const test::TestPki &pki, const std::string &name) {
  test::CommandResult r = test::RunCommand("openssl x509 -in " + test::ShellQuote(pki.Pem(name)) +
                                           " -noout -pubkey | openssl pkey -pubin -outform DER",
                                           false);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_GE(r.output.size(), 64u);
  if (r.output.size() < 64) return {};
  return Bytes(r.output.end() - 64, r.output.end());
}

TEST(CertFields, PemAndDerGiveIdenticalOutputs) {
  for (const char *name : {"sm2-leaf", "sm2-root", "ku-enc"}) {
    SCOPED_TRACE(name);
    Bytes pem = SharedPki().PemBytes(name), der = SharedPki().DerBytes(name);
    XY a = ReadXY(pem), b = ReadXY(der);
    ASSERT_EQ(a.rc, KELU_OK);
    EXPECT_EQ(a.x, b.x);
    EXPECT_EQ(a.y, b.y);
    for (Reader reader : {GetIssuerFromCert, GetSerialNumberFromCert, GetSubjectKeyIDFromCert}) {
      Output p = Read(reader, pem), d = Read(reader, der);
      EXPECT_EQ(p.rc, KELU_OK);
      EXPECT_EQ(p.bytes, d.bytes);
    }
  }
}

TEST(CertFields, PublicKeyAgreesWithOpenssl) {
  for (const char *name : {"sm2-leaf", "sm2-int"}) {
    XY xy = ReadXY(SharedPki().DerBytes(name));
    ASSERT_EQ(xy.rc, KELU_OK);
    Bytes both = xy.x;
    both.insert(both.end(), xy.y.begin(), xy.y.end());
    EXPECT_EQ(test::ToHex(both), test::ToHex(OpensslXY(SharedPki(), name))) << name;
  }
}

TEST(CertFields, CoordinateWithLeadingZeroIsPadded) {
  // An SM2 key whose X or Y starts with a zero byte (about one key in 128).
  EvpPkeyPtr key;
  for (int i = 0; i < 5000 && !key; ++i) {
    EvpPkeyPtr k(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2"));
    BIGNUM *x = nullptr, *y = nullptr;
    EVP_PKEY_get_bn_param(k.get(), OSSL_PKEY_PARAM_EC_PUB_X, &x);
    EVP_PKEY_get_bn_param(k.get(), OSSL_PKEY_PARAM_EC_PUB_Y, &y);
    if (BN_num_bytes(x) < 32 || BN_num_bytes(y) < 32) key = std::move(k);
    BN_free(x);
    BN_free(y);
  }
  ASSERT_TRUE(key);
  test::TempDir dir;
  test::TestPki pki(dir.path());
  std::string key_file = dir.File("short.key");
  {
    test::FilePtr f(std::fopen(key_file.c_str(), "wb"));
    ASSERT_EQ(PEM_write_PrivateKey(f.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr), 1);
  }
  test::CertSpec details;
  details.key_file = key_file;
  pki.AddRoot("short", details);
  XY xy = ReadXY(pki.DerBytes("short"));
  ASSERT_EQ(xy.rc, KELU_OK);
  EXPECT_TRUE(xy.x[0] == 0 || xy.y[0] == 0);
  Bytes both = xy.x;
  both.insert(both.end(), xy.y.begin(), xy.y.end());
  EXPECT_EQ(test::ToHex(both), test::ToHex(OpensslXY(pki, "short")));
}

TEST(CertFields, KeysThatAreNotSM2AreRefused) {
  test::TempDir dir;
  test::TestPki pki(dir.path());
  for (test::KeyAlg alg : {test::KeyAlg::kEC256, test::KeyAlg::kEC384}) {
    test::CertSpec details;
    details.alg = alg;
    pki.AddRoot("ec", details);
    EXPECT_EQ(ReadXY(pki.DerBytes("ec")).rc, KELU_ERR_FAILED);
  }
  EXPECT_EQ(ReadXY(SharedPki().DerBytes("rsa-leaf")).rc, KELU_ERR_FAILED);
  ERR_clear_error();
}

TEST(CertFields, IssuerIsTheIssuersSubjectDer) {
  for (const auto &[cert, issuer] : std::vector<std::pair<std::string, std::string>>{
           {"sm2-leaf", "sm2-int"}, {"sm2-int", "sm2-root"}, {"rsa-v1", "rsa-int"}}) {
    SCOPED_TRACE(cert);
    Output out = Read(GetIssuerFromCert, SharedPki().DerBytes(cert));
    ASSERT_EQ(out.rc, KELU_OK);
    test::FilePtr f = test::OpenForReading(SharedPki().Pem(issuer));
    X509Ptr ca(PEM_read_X509(f.get(), nullptr, nullptr, nullptr));
    unsigned char *der = nullptr;
    int len = i2d_X509_NAME(X509_get_subject_name(ca.get()), &der);
    EXPECT_EQ(test::ToHex(out.bytes), test::ToHex(der, static_cast<size_t>(len)));
    OPENSSL_free(der);
    EXPECT_EQ(out.bytes[0], 0x30);
  }
}

// A certificate of a local PKI with the given extension lines and serial.
Bytes MakeCert(test::TestPki *pki, const std::string &name, const std::string &extensions,
               const std::string &serial_hex = "") {
  test::CertSpec details;
  details.key_file = SharedPki().Key("sm2-leaf");
  details.extensions = "basicConstraints = CA:false\n" + extensions;
  details.serial_hex = serial_hex;
  pki->AddRoot(name, details);
  return pki->DerBytes(name);
}

TEST(CertFields, SerialNumberDer) {
  test::TempDir dir;
  test::TestPki pki(dir.path());
  const struct {
    const char *serial, *der;
  } cases[] = {{"80", "02020080"},
               {"01", "020101"},
               {"7F", "02017F"},
               {"0123", "02020123"},
               {"00FF00FF00FF00FF00FF00FF00FF00FF00FF00FF",
                "021400FF00FF00FF00FF00FF00FF00FF00FF00FF00FF"}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.serial);
    Output out = Read(GetSerialNumberFromCert, MakeCert(&pki, "serial", "", c.serial));
    ASSERT_EQ(out.rc, KELU_OK);
    EXPECT_EQ(test::ToHex(out.bytes), c.der);
  }
}

Bytes CertWithSkidValue(const Bytes *value) {
  return test::WithExtension(SharedPki().DerBytes("sm2-leaf"), NID_subject_key_identifier, value);
}

TEST(CertFields, SubjectKeyIdentifier) {
  Bytes id200;
  for (int i = 0; i < 200; ++i) id200.push_back(static_cast<uint8_t>(i));
  Bytes long_form = {0x04, 0x81, 0xC8};
  long_form.insert(long_form.end(), id200.begin(), id200.end());
  const Bytes id20 = test::FromHex("00112233445566778899AABBCCDDEEFF00112233");
  Bytes short_form = {0x04, 0x14};
  short_form.insert(short_form.end(), id20.begin(), id20.end());
  const struct {
    const char *label;
    Bytes value;
    int want;
    Bytes id;
  } cases[] = {
      {"20 octets", short_form, KELU_OK, id20},
      {"200 octets, long-form length", long_form, KELU_OK, id200},
      {"an empty identifier", {0x04, 0x00}, KELU_OK, {}},
      {"a value of one octet", {0x04}, KELU_ERR_FAILED, {}},
      {"a length past the value", {0x04, 0x05, 0x01}, KELU_ERR_FAILED, {}},
      {"a value that is no OCTET STRING", {0x05, 0x00}, KELU_ERR_FAILED, {}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.label);
    Output out = Read(GetSubjectKeyIDFromCert, CertWithSkidValue(&c.value));
    ASSERT_EQ(out.rc, c.want);
    EXPECT_EQ(test::ToHex(out.bytes), test::ToHex(c.id));
  }
  EXPECT_EQ(Read(GetSubjectKeyIDFromCert, CertWithSkidValue(nullptr)).rc, KELU_ERR_FAILED);
  // The identifier of the shared PKI's leaf, against the openssl command line.
  std::string text =
      SharedPki().Openssl("x509 -noout -ext subjectKeyIdentifier -in '" +
                          SharedPki().Pem("sm2-leaf") + "'");
  std::string hex;
  for (char ch : text.substr(text.find('\n') + 1))
    if (std::isxdigit(static_cast<unsigned char>(ch))) hex += ch;
  EXPECT_EQ(test::ToHex(Read(GetSubjectKeyIDFromCert, SharedPki().DerBytes("sm2-leaf")).bytes),
            hex);
  ERR_clear_error();
}

TEST(CertFields, BytesThatAreNoCertificate) {
  const Bytes inputs[] = {Bytes{'n', 'o', 'p', 'e'}, Bytes{0x30, 0x03, 0x02, 0x01},
                          Bytes{0x30, 0x84, 0x7F, 0xFF, 0xFF, 0xFF}};
  for (const Bytes &in : inputs) {
    EXPECT_EQ(ReadXY(in).rc, KELU_ERR_FAILED);
    for (Reader reader : {GetIssuerFromCert, GetSerialNumberFromCert, GetSubjectKeyIDFromCert})
      EXPECT_EQ(Read(reader, in).rc, KELU_ERR_FAILED);
  }
  Bytes der = SharedPki().DerBytes("sm2-leaf");
  unsigned char *out = nullptr;
  int len = 0;
  for (Reader reader : {GetIssuerFromCert, GetSerialNumberFromCert, GetSubjectKeyIDFromCert}) {
    EXPECT_EQ(reader(nullptr, 100, &out, &len), KELU_ERR_FAILED);
    EXPECT_EQ(reader(der.data(), 0, &out, &len), KELU_ERR_FAILED);
    EXPECT_EQ(reader(der.data(), static_cast<int>(der.size()), nullptr, &len), KELU_ERR_FAILED);
    EXPECT_EQ(reader(der.data(), static_cast<int>(der.size()), &out, nullptr), KELU_ERR_FAILED);
  }
  EXPECT_EQ(out, nullptr);
  ERR_clear_error();
}

// The readers' step lines name their source unit and the step that failed.
TEST(CertFields, StepLines) {
  test::LogCapture log;
  EXPECT_EQ(ReadXY(SharedPki().DerBytes("rsa-leaf")).rc, KELU_ERR_FAILED);
  EXPECT_TRUE(log.Contains("[SMFileCertOperations.cpp("));
  EXPECT_TRUE(log.Contains("(GetPublicKeyXYFromSM2Cert -- SM2_KeyCurve)\t\t--Failed:"
                           "(0xffffffff) [Reason:NID_prime256v1SM2 != nCurve]"))
      << log.Text();
  log.Take();
  EXPECT_EQ(Read(GetSubjectKeyIDFromCert, SharedPki().DerBytes("rsa-v1")).rc, KELU_ERR_FAILED);
  EXPECT_TRUE(log.Contains("(GetSubjectKeyIDFromCert -- X509_get_ext_by_NID)\t\t--Failed:"
                           "(0xffffffff) [Reason:-1 == nPosition]"))
      << log.Text();
  log.Take();
  EXPECT_EQ(Read(GetIssuerFromCert, Bytes{'x'}).rc, KELU_ERR_FAILED);
  EXPECT_TRUE(log.Contains("(GetIssuerFromCert -- d2i_X509_bio)\t\t--Failed:(0xffffffff) "
                           "[Reason:NULL == pX509Cert]"))
      << log.Text();
  ERR_clear_error();
}

}  // namespace
}  // namespace kelu

// The exported certificate functions: a certificate's fields as text, its verification by
// validity, CRL and trusted CA files, and the certificate of a PKCS#12 file.
#include <gtest/gtest.h>
#include <openssl/err.h>

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <csignal>
#include <ctime>
#include <string>
#include <memory>
#include <thread>
#include <vector>

#include "CertificateOperations.h"
#include "Sm2KeyFiles.h"
#include "TestPki.h"
#include "ToolkitTestUtil.h"

namespace kelu::test {
namespace {

class CertFunctions : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    StartCryptoKernel();
    SharedPki();
  }
  void TearDown() override {
    SetCertVerifyClock(nullptr);
    ERR_clear_error();
  }

  // One-line Base64 of the named shared certificate's DER.
  static std::string CertText(const std::string &name) {
    return OpensslBase64(SharedPki().Der(name));
  }

  LogCapture log_;
};

std::string Info(const std::string &cert, const char *type, int *rc) {
  char *text = reinterpret_cast<char *>(0x1);
  *rc = GetCertificateInfo(cert.c_str(), type, &text);
  if (*rc != KELU_OK) {
    EXPECT_EQ(text, nullptr) << "a failed call after the checks hands out nothing";
    return "";
  }
  return TakeText(text);
}

std::string InfoOk(const std::string &cert, const char *type) {
  int rc = 0;
  std::string text = Info(cert, type, &rc);
  EXPECT_EQ(rc, KELU_OK) << type;
  return text;
}

// --- GetCertificateInfo ---

TEST_F(CertFunctions, InfoParameterChecks) {
  const std::string cert = CertText("rsa-leaf");
  char *out = reinterpret_cast<char *>(0x1);
  const char *c = cert.c_str();
  RunCheckTable(log_, "GetCertificateInfo",
                {{"null certificate", [&] { return GetCertificateInfo(nullptr, "CertType", &out); },
                  KELU_ERR_INVALID_PARAMETER, "Check parameter(pszBase64CertContent).",
                  "(NULL == pszBase64CertContent || 0 == strlen(pszBase64CertContent))"},
                 {"empty certificate", [&] { return GetCertificateInfo("", "CertType", &out); },
                  KELU_ERR_INVALID_PARAMETER, "Check parameter(pszBase64CertContent).",
                  "(NULL == pszBase64CertContent || 0 == strlen(pszBase64CertContent))"},
                 {"null info type", [&] { return GetCertificateInfo(c, nullptr, &out); },
                  KELU_ERR_INVALID_PARAMETER, "Check parameter(pszInfoType).",
                  "(NULL == pszInfoType || 0 == strlen(pszInfoType))"},
                 {"empty info type", [&] { return GetCertificateInfo(c, "", &out); },
                  KELU_ERR_INVALID_PARAMETER, "Check parameter(pszInfoType).",
                  "(NULL == pszInfoType || 0 == strlen(pszInfoType))"},
                 {"null output", [&] { return GetCertificateInfo(c, "CertType", nullptr); },
                  KELU_ERR_INVALID_PARAMETER, "Check output parameter(ppszInfoContent)",
                  "NULL == ppszInfoContent"}});
  EXPECT_EQ(out, reinterpret_cast<char *>(0x1)) << "a refused argument leaves the output";
}

// Names, serial and type against openssl's view of the same certificates.
TEST_F(CertFunctions, InfoTextsAgreeWithOpenssl) {
  TempDir dir;
  TestPki pki(dir.path());
  CertSpec details;
  details.subject = "/C=CN/ST=北京/O=测试机构/CN=张三/CN=Second";
  details.serial_hex = "80AB";
  pki.AddRoot("utf8", details);
  const std::string nameopt = "-nameopt sep_comma_plus_space,dn_rev,sname,utf8,esc_ctrl";
  struct Named {
    const TestPki &pki;
    const char *name;
    const char *type;
    const char *cn;
  };
  for (const Named &n :
       {Named{SharedPki(), "sm2-leaf", "SM2", "SM2 Leaf"},
        Named{SharedPki(), "rsa-int", "RSA", "RSA Intermediate"},
        Named{SharedPki(), "rsa-v1", "RSA", "RSA Version 1"}, Named{pki, "utf8", "SM2", "张三"}}) {
    SCOPED_TRACE(n.name);
    const std::string cert = OpensslBase64(n.pki.Der(n.name));
    auto field = [&](const std::string &args) {
      std::string out = Openssl("x509 -noout " + args + " -in " + ShellQuote(n.pki.Pem(n.name)));
      out = out.substr(out.find('=') + 1);
      return out.substr(0, out.find('\n'));
    };
    EXPECT_EQ(InfoOk(cert, "SubjectDN"), field("-subject " + nameopt));
    EXPECT_EQ(InfoOk(cert, "IssuerDN"), field("-issuer " + nameopt));
    EXPECT_EQ(InfoOk(cert, "SubjectCN"), n.cn);
    // openssl writes the magnitude; the toolkit keeps the 00 of a positive INTEGER whose top
    // bit is set.
    std::string serial = field("-serial");
    if (std::strtoul(serial.substr(0, 2).c_str(), nullptr, 16) >= 0x80) serial = "00" + serial;
    EXPECT_EQ(InfoOk(cert, "SerialNumber"), serial);
    EXPECT_EQ(InfoOk(cert, "CertType"), n.type);
  }
  EXPECT_EQ(InfoOk(OpensslBase64(pki.Der("utf8")), "SerialNumber"), "0080AB");
}

TEST_F(CertFunctions, InfoTypesAreCaseInsensitive) {
  const std::string sm2 = CertText("sm2-leaf");
  const std::string rsa = CertText("rsa-leaf");
  EXPECT_EQ(InfoOk(sm2, "certtype"), "SM2");
  EXPECT_EQ(InfoOk(rsa, "CERTTYPE"), "RSA");
  EXPECT_EQ(InfoOk(rsa, "subjectcn"), "RSA Leaf");
  EXPECT_EQ(InfoOk(rsa, "VALIDTO"), InfoOk(rsa, "ValidTo"));
  int rc = 0;
  for (const char *unknown : {"Subject", "CertType ", "ValidFromX", "SubjectKeyID", "Issuer"}) {
    log_.Take();
    Info(rsa, unknown, &rc);
    EXPECT_EQ(rc, KELU_ERR_INVALID_PARAMETER) << unknown;
    EXPECT_TRUE(log_.Contains(FailedStep("GetCertificateInfo", "Unsupported pszInfoType",
                                         KELU_ERR_INVALID_PARAMETER, "true")));
  }
}

// The certificate in PEM, Base64-encoded as a whole, reads as well as its DER.
TEST_F(CertFunctions, InfoOfPemText) {
  const std::string pem = OpensslBase64(SharedPki().Pem("rsa-leaf"));
  EXPECT_EQ(InfoOk(pem, "SubjectCN"), "RSA Leaf");
  EXPECT_EQ(InfoOk(pem, "SerialNumber"), InfoOk(CertText("rsa-leaf"), "SerialNumber"));
}

// The time texts in the local time zone, against date(1) formatting openssl's GMT dates.
TEST_F(CertFunctions, ValidityTextsInTwoTimeZones) {
  TempDir dir;
  TestPki pki(dir.path());
  CertSpec details;
  details.not_before = 946684800;  // 2000-01-01 00:00:00 UTC, a UTCTime
  details.not_after = 2840140800;  // 2060-01-01 00:00:00 UTC, a GeneralizedTime
  pki.AddRoot("long", details);
  for (const char *name : {"rsa-leaf", "long"}) {
    const TestPki &owner = std::string(name) == "long" ? pki : SharedPki();
    const std::string cert = OpensslBase64(owner.Der(name));
    const std::string dates = Openssl("x509 -noout -dates -in " + ShellQuote(owner.Pem(name)));
    std::vector<std::string> lines = SplitLines(dates);
    ASSERT_EQ(lines.size(), 2u) << dates;
    std::vector<std::string> texts;
    for (const char *zone : {"Asia/Shanghai", "America/New_York"}) {
      SCOPED_TRACE(std::string(name) + " " + zone);
      TimeZoneScope tz(zone);
      time_t epoch = 0;
      struct tm local;
      ASSERT_NE(localtime_r(&epoch, &local), nullptr);
      ASSERT_NE(local.tm_hour, 0) << zone << " is not known here (tzdata)";
      for (size_t i = 0; i < 2; ++i) {
        const std::string gmt = lines[i].substr(lines[i].find('=') + 1);
        std::string want = RunCommand("TZ=" + std::string(zone) + " date -d " + ShellQuote(gmt) +
                                          " '+%a %b %e %H:%M:%S %Y'",
                                      false)
                               .output;
        want.pop_back();
        const std::string got = InfoOk(cert, i == 0 ? "ValidFrom" : "ValidTo");
        EXPECT_EQ(got, want);
        EXPECT_EQ(got.size(), 24u);
        texts.push_back(got);
      }
    }
    EXPECT_NE(texts[0], texts[2]) << "another zone, another text";
    EXPECT_NE(texts[1], texts[3]);
  }
}

TEST_F(CertFunctions, InfoFailuresAndTheirCodes) {
  TempDir dir;
  TestPki pki(dir.path());
  CertSpec md5;
  md5.alg = KeyAlg::kRSA;
  md5.md = "md5";
  pki.AddRoot("md5", md5);
  CertSpec zero;
  zero.serial_hex = "00";
  pki.AddRoot("zero", zero);
  const std::string not_a_cert = "SGVsbG8sIHdvcmxkIQ==";
  struct Case {
    const char *what;
    std::string cert;
    const char *type;
    int code;
    const char *step;
  };
  const Case cases[] = {
      // The certificate is parsed before the type is looked at; -1 becomes the info code.
      {"not a certificate", not_a_cert, "NoSuchType", KELU_ERR_CERT_INFO, "ConvertCertDataToX509"},
      {"nothing decoded", "!!!!", "CertType", KELU_ERR_CERT_INFO, "ConvertCertDataToX509"},
      {"MD5 signature", OpensslBase64(pki.Der("md5")), "CertType", KELU_ERR_CERT_INFO,
       "GetX509CertType"},
      {"serial 0", OpensslBase64(pki.Der("zero")), "SerialNumber", KELU_ERR_CERT_INFO,
       "GetX509SerialNumber"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    log_.Take();
    int rc = 0;
    Info(c.cert, c.type, &rc);
    EXPECT_EQ(rc, c.code);
    EXPECT_TRUE(
        log_.Contains(FailedStep("GetCertificateInfo", c.step, c.code, "KELU_OK != nResult")))
        << log_.Text();
  }
  // The other fields of those certificates still read.
  EXPECT_EQ(InfoOk(OpensslBase64(pki.Der("md5")), "SubjectCN"), "Test");
  EXPECT_EQ(InfoOk(OpensslBase64(pki.Der("zero")), "CertType"), "SM2");
}

TEST_F(CertFunctions, InfoStepsAndDump) {
  const std::string cert = CertText("sm2-leaf");
  InfoOk(cert, "ValidTo");
  const std::string text = log_.Text();
  EXPECT_NE(text.find("Certificate info:ValidTo"), std::string::npos);
  for (const char *step : {"Check parameter(pszBase64CertContent).", "Base64DecodeEx",
                           "ConvertCertDataToX509", "GetX509NotAfter"})
    EXPECT_NE(text.find(OkStep("GetCertificateInfo", step)), std::string::npos) << step;
}

// --- VerifyCertificate ---

struct VerifyCase {
  const char *what;
  const char *cert;
  unsigned flag;
  std::string cas;  // names of shared PEM files joined by "|", or a raw text after "="
  std::string crl;  // name of a shared CRL (".der" for its DER), or a raw path after "="
  int want;
};

std::string SharedPath(const std::string &name) {
  if (!name.empty() && name[0] == '=') return name.substr(1);
  return SharedPki().Pem(name);
}

std::string CaPaths(const std::string &names) {
  if (!names.empty() && names[0] == '=') return names.substr(1);
  std::string out;
  size_t start = 0;
  while (start <= names.size()) {
    size_t bar = names.find('|', start);
    if (bar == std::string::npos) bar = names.size();
    if (!out.empty()) out += "|";
    out += SharedPath(names.substr(start, bar - start));
    start = bar + 1;
  }
  return out;
}

std::string CrlPath(const std::string &name) {
  if (!name.empty() && name[0] == '=') return name.substr(1);
  if (name.size() > 4 && name.compare(name.size() - 4, 4, ".der") == 0)
    return SharedPki().CrlDer(name.substr(0, name.size() - 4));
  return SharedPki().Crl(name);
}

TEST_F(CertFunctions, VerifyByFlags) {
  TempDir dir;
  WriteTextFile(dir.File("not-a-crl"), "this is no CRL\n");
  const std::string missing = "=" + dir.File("missing.pem");
  const VerifyCase cases[] = {
      {"nothing asked", "rsa-expired", 0, "", "", KELU_OK},
      {"valid now", "rsa-leaf", 0x1, "", "", KELU_OK},
      {"expired", "rsa-expired", 0x1, "", "", KELU_ERR_CERT_VALIDITY},
      {"not yet valid", "rsa-future", 0x1, "", "", KELU_ERR_CERT_VALIDITY},
      {"revoked (PEM CRL)", "rsa-leaf", 0x2, "", "crl-revoked", KELU_ERR_CERT_REVOKED},
      {"revoked (DER CRL)", "rsa-leaf", 0x2, "", "crl-revoked.der", KELU_ERR_CERT_REVOKED},
      {"another serial revoked", "rsa-v1", 0x2, "", "crl-revoked", KELU_OK},
      {"CRL without entries", "rsa-leaf", 0x2, "", "crl-empty", KELU_OK},
      {"SM2 revoked", "sm2-leaf", 0x2, "", "sm2-crl-revoked", KELU_ERR_CERT_REVOKED},
      {"RSA chain", "rsa-leaf", 0x4, "rsa-root|rsa-int", "", KELU_OK},
      {"RSA chain, CAs in the other order", "rsa-leaf", 0x4, "rsa-int|rsa-root", "", KELU_OK},
      {"SM2 chain", "sm2-leaf", 0x4, "sm2-root|sm2-int", "", KELU_OK},
      {"intermediate missing", "rsa-leaf", 0x4, "rsa-root", "", KELU_ERR_CERT_UNTRUSTED},
      {"other root", "rsa-leaf", 0x4, "other-root", "", KELU_ERR_CERT_UNTRUSTED},
      {"SM2 leaf, RSA CAs", "sm2-leaf", 0x4, "rsa-root|rsa-int", "", KELU_ERR_CERT_UNTRUSTED},
      {"expired intermediate", "rsa-leaf-of-expired", 0x4, "rsa-root|rsa-int-expired", "",
       KELU_ERR_CERT_VALIDITY},
      {"all three", "rsa-leaf", 0x7, "rsa-root|rsa-int", "crl-empty", KELU_OK},
      {"all three, revoked", "rsa-leaf", 0x7, "rsa-root|rsa-int", "crl-revoked",
       KELU_ERR_CERT_REVOKED},
      {"validity first", "rsa-expired", 0x7, "rsa-root|rsa-int", "crl-empty",
       KELU_ERR_CERT_VALIDITY},
      {"other bits ignored", "rsa-leaf", 0xF8, "", "", KELU_OK},
      // -1 of the verification becomes the verification code.
      {"CRL file that is no CRL", "rsa-leaf", 0x2, "", "=" + dir.File("not-a-crl"),
       KELU_ERR_VERIFY_CERT},
      // Every file is opened before any check runs.
      {"missing CRL", "rsa-expired", 0x3, "", missing, KELU_ERR_OPEN_FILE},
      {"missing CA", "rsa-expired", 0x5, "rsa-root|" + missing, "", KELU_ERR_OPEN_FILE},
      {"one path and two bars", "rsa-int", 0x4, "=" + SharedPki().Pem("rsa-root") + "||", "",
       KELU_OK},
      {"bars only: no CA", "rsa-int", 0x4, "=||", "", KELU_ERR_CERT_UNTRUSTED},
  };
  for (const VerifyCase &c : cases) {
    SCOPED_TRACE(c.what);
    const std::string cert = CertText(c.cert);
    const std::string cas = c.cas.empty() ? "" : CaPaths(c.cas);
    const std::string crl = c.crl.empty() ? "" : CrlPath(c.crl);
    const int fds = OpenDescriptorCount();
    EXPECT_EQ(::VerifyCertificate(cert.c_str(), c.flag, c.cas.empty() ? nullptr : cas.c_str(),
                                  c.crl.empty() ? nullptr : crl.c_str()),
              c.want);
    EXPECT_EQ(OpenDescriptorCount(), fds) << "every file is closed";
  }
}

// A FIFO fed with a file's bytes by a thread of its own, as a CA or CRL path may name one.
class Fifo {
 public:
  Fifo(const std::string &fifo_path, const Bytes &bytes) : path_(fifo_path) {
    EXPECT_EQ(mkfifo(path_.c_str(), 0600), 0) << path_;
    writer_ = std::thread([this, bytes] {
      // A reader that closes early gives EPIPE here, not a signal to the process.
      sigset_t pipe_signal;
      sigemptyset(&pipe_signal);
      sigaddset(&pipe_signal, SIGPIPE);
      pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);
      const int fd = open(path_.c_str(), O_WRONLY);  // waits for the reader
      if (fd < 0) return;
      const ssize_t written = write(fd, bytes.data(), bytes.size());
      (void)written;  // a short write shows as the reader's result
      close(fd);
    });
  }
  ~Fifo() {
    // A reader that never came: one opened here lets the writer finish.
    const int fd = open(path_.c_str(), O_RDONLY | O_NONBLOCK);
    writer_.join();
    if (fd >= 0) close(fd);
    unlink(path_.c_str());
  }
  Fifo(const Fifo &) = delete;
  Fifo &operator=(const Fifo &) = delete;

 private:
  std::string path_;
  std::thread writer_;
};

// CA and CRL paths naming FIFOs read as the regular files do.
TEST_F(CertFunctions, VerifyReadsFifos) {
  struct Row {
    const char *what, *cert;
    unsigned flag;
    std::vector<std::string> cas;  // shared PEM names, or paths after "="
    std::string crl;               // as in VerifyByFlags
    int want;
  };
  const Row rows[] = {
      {"PEM CRL", "rsa-leaf", 0x2, {}, "crl-revoked", KELU_ERR_CERT_REVOKED},
      {"DER CRL", "rsa-leaf", 0x2, {}, "crl-revoked.der", KELU_ERR_CERT_REVOKED},
      {"PEM CAs", "rsa-leaf", 0x4, {"rsa-root", "rsa-int"}, "", KELU_OK},
      {"PEM and DER SM2 CAs", "sm2-leaf", 0x4, {"sm2-root", "=" + SharedPki().Der("sm2-int")}, "",
       KELU_OK},
      {"all three", "rsa-leaf", 0x7, {"rsa-root", "rsa-int"}, "crl-empty", KELU_OK},
      {"all three, revoked", "sm2-leaf", 0x7, {"sm2-root", "sm2-int"}, "sm2-crl-revoked",
       KELU_ERR_CERT_REVOKED},
  };
  TempDir dir;
  for (const Row &r : rows) {
    SCOPED_TRACE(r.what);
    for (bool fifo : {false, true}) {
      std::vector<std::unique_ptr<Fifo>> fifos;
      int count = 0;
      auto reach = [&](const std::string &file) {
        if (!fifo) return file;
        const std::string at = dir.File("fifo" + std::to_string(count++));
        fifos.push_back(std::make_unique<Fifo>(at, ReadBinaryFile(file)));
        return at;
      };
      std::string cas;
      for (const std::string &ca : r.cas) cas += (cas.empty() ? "" : "|") + reach(SharedPath(ca));
      const std::string crl = r.crl.empty() ? "" : reach(CrlPath(r.crl));
      EXPECT_EQ(::VerifyCertificate(CertText(r.cert).c_str(), r.flag,
                                    cas.empty() ? nullptr : cas.c_str(),
                                    crl.empty() ? nullptr : crl.c_str()),
                r.want)
          << (fifo ? "FIFOs" : "regular files");
    }
  }
}

TEST_F(CertFunctions, VerifyParameterChecks) {
  const std::string cert = CertText("rsa-leaf");
  const char *c = cert.c_str();
  const std::string root = SharedPki().Pem("rsa-root");
  const std::string crl = SharedPki().Crl("crl-empty");
  RunCheckTable(
      log_, "VerifyCertificate",
      {{"null certificate", [&] { return ::VerifyCertificate(nullptr, 0x1, nullptr, nullptr); },
        KELU_ERR_INVALID_PARAMETER, "Check parameter(pszBase64CertContent).",
        "(NULL == pszBase64CertContent || 0 == strlen(pszBase64CertContent))"},
       {"empty certificate", [&] { return ::VerifyCertificate("", 0x1, nullptr, nullptr); },
        KELU_ERR_INVALID_PARAMETER, "Check parameter(pszBase64CertContent).",
        "(NULL == pszBase64CertContent || 0 == strlen(pszBase64CertContent))"},
       {"CRL bit, null CRL", [&] { return ::VerifyCertificate(c, 0x2, nullptr, nullptr); },
        KELU_ERR_INVALID_PARAMETER, "Check parameter(pszCRLFilePath).",
        "(NULL == pszCRLFilePath || 0 == strlen(pszCRLFilePath))"},
       {"CRL bit, empty CRL", [&] { return ::VerifyCertificate(c, 0x2, root.c_str(), ""); },
        KELU_ERR_INVALID_PARAMETER, "Check parameter(pszCRLFilePath).",
        "(NULL == pszCRLFilePath || 0 == strlen(pszCRLFilePath))"},
       {"chain bit, null CAs", [&] { return ::VerifyCertificate(c, 0x6, nullptr, crl.c_str()); },
        KELU_ERR_INVALID_PARAMETER, "Check parameter(pszTrustedCACertFilePath).",
        "(NULL == pszTrustedCACertFilePath || 0 == strlen(pszTrustedCACertFilePath))"},
       {"chain bit, empty CAs", [&] { return ::VerifyCertificate(c, 0x4, "", nullptr); },
        KELU_ERR_INVALID_PARAMETER, "Check parameter(pszTrustedCACertFilePath).",
        "(NULL == pszTrustedCACertFilePath || 0 == strlen(pszTrustedCACertFilePath))"},
       {"missing CRL file", [&] { return ::VerifyCertificate(c, 0x2, nullptr, "/no/such.crl"); },
        KELU_ERR_OPEN_FILE, "Open CRL file.", "NULL == fpCRL"},
       {"missing CA file",
        [&] { return ::VerifyCertificate(c, 0x4, (root + "|/no/such.pem").c_str(), nullptr); },
        KELU_ERR_OPEN_FILE, "Open trusted CA certificate file.", "NULL == fpTrustCA"},
       {"unusable certificate",
        [&] { return ::VerifyCertificate("SGVsbG8=", 0x1, nullptr, nullptr); },
        KELU_ERR_VERIFY_CERT, "VerifyCertificate", "KELU_OK != nResult"}});
  // Without their bits the paths are not looked at.
  EXPECT_EQ(::VerifyCertificate(c, 0x1, "", ""), KELU_OK);
}

TEST_F(CertFunctions, VerifyDumpsAndOpensEachCaFile) {
  const std::string cert = CertText("rsa-leaf");
  const std::string cas = SharedPki().Pem("rsa-root") + "|" + SharedPki().Pem("rsa-int");
  const std::string crl = SharedPki().Crl("crl-empty");
  ASSERT_EQ(::VerifyCertificate(cert.c_str(), 0x7, cas.c_str(), crl.c_str()), KELU_OK);
  const std::string text = log_.Text();
  EXPECT_NE(text.find("Certificate verify flag:7"), std::string::npos);
  EXPECT_NE(text.find("CRL file path:" + crl), std::string::npos);
  EXPECT_NE(text.find("Trusted CA certificate file path:" + cas), std::string::npos);
  const std::string opened = OkStep("VerifyCertificate", "Open trusted CA certificate file.");
  size_t count = 0;
  for (size_t at = text.find(opened); at != std::string::npos; at = text.find(opened, at + 1))
    ++count;
  EXPECT_EQ(count, 2u);
  EXPECT_NE(text.find(OkStep("VerifyCertificate", "VerifyCertificate")), std::string::npos);
}

// --- GetPublicCertFromPFX ---

class PublicCertFromPFX : public CertFunctions {
 protected:
  void SetUp() override {
    for (const char *name : {"rsa-leaf", "rsa-int"}) {
      WriteBinaryFile(pki_.Pem(name), SharedPki().PemBytes(name));
      WriteBinaryFile(pki_.Key(name), ReadBinaryFile(SharedPki().Key(name)));
    }
  }
  static int Get(const char *alg, const std::string &path, const char *password,
                 std::string *cert) {
    char *out = reinterpret_cast<char *>(0x1);
    const int rc = GetPublicCertFromPFX(alg, path.c_str(), password, &out);
    if (rc != KELU_OK) {
      EXPECT_EQ(out, reinterpret_cast<char *>(0x1)) << "untouched until success";
      return rc;
    }
    *cert = TakeText(out);
    return rc;
  }

  TempDir dir_;
  TestPki pki_{dir_.path()};
};

TEST_F(PublicCertFromPFX, Pkcs12Files) {
  const std::string leaf = OpensslBase64(SharedPki().Der("rsa-leaf"));
  const std::string chain = "-certfile " + ShellQuote(pki_.Pem("rsa-int"));
  struct Case {
    const char *what;
    std::string args;
    const char *password;
    int want;
  };
  const Case cases[] = {
      {"right password", "", "secret", KELU_OK},
      {"with the chain", chain, "secret", KELU_OK},
      {"legacy RC2-40", "-legacy", "secret", KELU_OK},
      {"no keys: the first certificate", "-nokeys", "secret", KELU_OK},
      {"no certificates: i2d_X509 fails", "-nocerts", "secret", KELU_ERR_FAILED},
      {"wrong password: -1 unchanged", "", "Secret", KELU_ERR_FAILED},
      {"empty password", "", "", KELU_ERR_FAILED},
      {"null password", "", nullptr, KELU_ERR_FAILED},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = pki_.MakePkcs12("file", "rsa-leaf", "secret", c.args);
    std::string cert;
    ASSERT_EQ(Get("RSA", path, c.password, &cert), c.want);
    if (c.want == KELU_OK) {
      EXPECT_EQ(cert, leaf) << "one line of Base64 of the DER";
    }
  }
  ERR_clear_error();
}

TEST_F(PublicCertFromPFX, NamesAndOpenOrder) {
  const std::string path = pki_.MakePkcs12("file", "rsa-leaf", "pw", "");
  std::string cert;
  EXPECT_EQ(Get("rsa", path, "pw", &cert), KELU_OK);
  EXPECT_EQ(Get("Rsa", path, "pw", &cert), KELU_OK);
  log_.Take();
  EXPECT_EQ(Get("XYZ", path, "pw", &cert), KELU_ERR_INVALID_PARAMETER);
  EXPECT_TRUE(log_.Contains(FailedStep("GetPublicCertFromPFX", "Invalid algorithm.",
                                       KELU_ERR_INVALID_PARAMETER, "true")));
  // The file is opened before the name is looked at.
  EXPECT_EQ(Get("XYZ", dir_.File("missing.pfx"), "pw", &cert), KELU_ERR_OPEN_FILE);
  EXPECT_TRUE(log_.Contains(FailedStep("GetPublicCertFromPFX", "fopen(pszPFXFilePath)",
                                       KELU_ERR_OPEN_FILE, "NULL == fpPFXFile")));
  // A file that is no PKCS#12: -1 of the parser, unchanged.
  WriteTextFile(dir_.File("text.pfx"), "no PKCS#12 here\n");
  EXPECT_EQ(Get("RSA", dir_.File("text.pfx"), "pw", &cert), KELU_ERR_FAILED);
  EXPECT_EQ(Get("RSA", dir_.File("text.pfx"), nullptr, &cert), KELU_ERR_FAILED);
  ERR_clear_error();
}

TEST_F(PublicCertFromPFX, ParameterChecks) {
  const std::string path = pki_.MakePkcs12("file", "rsa-leaf", "pw", "");
  const char *p = path.c_str();
  char *out = nullptr;
  RunCheckTable(log_, "GetPublicCertFromPFX",
                {{"null algorithm", [&] { return GetPublicCertFromPFX(nullptr, p, "pw", &out); },
                  KELU_ERR_INVALID_PARAMETER, "Check parameter(pszAlgorithm)",
                  "(NULL == pszAlgorithm || 0 == strlen(pszAlgorithm))"},
                 {"empty algorithm", [&] { return GetPublicCertFromPFX("", p, "pw", &out); },
                  KELU_ERR_INVALID_PARAMETER, "Check parameter(pszAlgorithm)",
                  "(NULL == pszAlgorithm || 0 == strlen(pszAlgorithm))"},
                 {"null path", [&] { return GetPublicCertFromPFX("RSA", nullptr, "pw", &out); },
                  KELU_ERR_INVALID_PARAMETER, "Check parameter(pszPFxFilePath)",
                  "(NULL == pszPFXFilePath || 0 == strlen(pszPFXFilePath))"},
                 {"empty path", [&] { return GetPublicCertFromPFX("RSA", "", "pw", &out); },
                  KELU_ERR_INVALID_PARAMETER, "Check parameter(pszPFxFilePath)",
                  "(NULL == pszPFXFilePath || 0 == strlen(pszPFXFilePath))"},
                 {"null output", [&] { return GetPublicCertFromPFX("RSA", p, "pw", nullptr); },
                  KELU_ERR_INVALID_PARAMETER, "check parameter(ppszBase64CertContent)",
                  "NULL == ppszBase64CertContent"}});
  EXPECT_EQ(out, nullptr);
}

TEST_F(PublicCertFromPFX, DumpsWithoutThePassword) {
  const std::string path = pki_.MakePkcs12("file", "rsa-leaf", "Pa55-word!", "");
  std::string cert;
  ASSERT_EQ(Get("RSA", path, "Pa55-word!", &cert), KELU_OK);
  const std::string text = log_.Text();
  EXPECT_NE(text.find("Algorithm:RSA"), std::string::npos);
  EXPECT_NE(text.find("PFX file path:" + path), std::string::npos);
  EXPECT_NE(text.find(OkStep("GetPublicCertFromPFX", "ParsePFXFile")), std::string::npos);
  EXPECT_NE(text.find(OkStep("GetPublicCertFromPFX", "Base64EncodeEx")), std::string::npos);
  EXPECT_EQ(text.find("Pa55-word!"), std::string::npos);
}

// SM2 key files: the certificate is not encrypted, so the password plays no part.
TEST_F(PublicCertFromPFX, Sm2KeyFiles) {
  const TestPki &shared = SharedPki();
  struct Case {
    const char *what;
    std::string cert_path;
  };
  const Case cases[] = {{"DER certificate", shared.Der("sm2-leaf")},
                        {"PEM certificate", shared.Pem("sm2-leaf")}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = dir_.File("key.sm2");
    const Bytes der = WriteSm2KeyFile(path, shared.Key("sm2-leaf"), c.cert_path, "right");
    // The certificate bytes as the file holds them, Base64-encoded by openssl.
    const std::string want = OpensslBase64(c.cert_path);
    for (const char *password : {"right", "wrong", "", static_cast<const char *>(nullptr)}) {
      std::string cert;
      ASSERT_EQ(Get("SM2", path, password, &cert), KELU_OK);
      EXPECT_EQ(cert, want);
    }
    std::string cert;
    EXPECT_EQ(Get("sm2", path, "x", &cert), KELU_OK);
    // The text of the file may be broken into lines.
    WriteTextFile(path, Sm2KeyFileText(der, true));
    ASSERT_EQ(Get("SM2", path, "x", &cert), KELU_OK);
    EXPECT_EQ(cert, want);
    // What comes out reads as a certificate again.
    EXPECT_EQ(InfoOk(cert, "SubjectCN"), "SM2 Leaf");
  }
}

TEST_F(PublicCertFromPFX, Sm2KeyFileFailures) {
  struct Case {
    const char *what;
    std::string text;
    int want;
    const char *step;
    const char *reason;
  };
  const Case cases[] = {
      {"empty file", "", KELU_ERR_BASE64_DECODE, "Base64DecodeEx", "KELU_OK != nResult"},
      {"no Base64 in it", "!!!!\n", KELU_ERR_KEY_FILE_FORMAT, "ParseSM2PFX", "nResult != KELU_OK"},
      {"not a key file", "SGVsbG8sIHdvcmxkIQ==\n", KELU_ERR_KEY_FILE_FORMAT, "ParseSM2PFX",
       "nResult != KELU_OK"},
      {"a PKCS#12 file named SM2", "", KELU_ERR_KEY_FILE_FORMAT, "ParseSM2PFX",
       "nResult != KELU_OK"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    std::string path = dir_.File("bad.sm2");
    if (std::string(c.what) == "a PKCS#12 file named SM2")
      path = pki_.MakePkcs12("file", "rsa-leaf", "pw", "");
    else
      WriteTextFile(path, c.text);
    log_.Take();
    const int fds = OpenDescriptorCount();
    std::string cert;
    EXPECT_EQ(Get("SM2", path, "pw", &cert), c.want);
    EXPECT_EQ(OpenDescriptorCount(), fds);
    EXPECT_TRUE(log_.Contains(FailedStep("GetPublicCertFromPFX", c.step, c.want, c.reason)))
        << log_.Text();
  }
  // A directory opens for reading but is no file.
  std::string cert;
  EXPECT_EQ(Get("SM2", dir_.path(), "pw", &cert), KELU_ERR_READ_FILE);
}

}  // namespace
}  // namespace kelu::test

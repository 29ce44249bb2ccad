#include "TestPki.h"

#include <gtest/gtest.h>
#include <openssl/x509v3.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

namespace kelu::test {

const char kCaExtensions[] =
    "basicConstraints = critical,CA:true\n"
    "keyUsage = critical,keyCertSign,cRLSign\n"
    "subjectKeyIdentifier = hash\n";
const char kLeafSignExtensions[] =
    "basicConstraints = CA:false\n"
    "keyUsage = digitalSignature,nonRepudiation\n"
    "subjectKeyIdentifier = hash\n";

namespace {

constexpr char kDefaultDistid[] = "1234567812345678";

const char *KeygenArgs(KeyAlg alg) {
  switch (alg) {
    case KeyAlg::kRSA:
      return "-algorithm RSA -pkeyopt rsa_keygen_bits:2048";
    case KeyAlg::kSM2:
      return "-algorithm SM2";
    case KeyAlg::kEC256:
      return "-algorithm EC -pkeyopt ec_paramgen_curve:P-256";
    case KeyAlg::kEC384:
      return "-algorithm EC -pkeyopt ec_paramgen_curve:P-384";
  }
  return "";
}

// A CA database with every subject field optional and the subject kept as given.
std::string CaConfig(const std::string &ca_dir) {
  return "[ ca ]\ndefault_ca = CA_default\n"
         "[ CA_default ]\n"
         "dir = " + ca_dir + "\n"
         "database = $dir/index.txt\nnew_certs_dir = $dir\nserial = $dir/serial\n"
         "crlnumber = $dir/crlnumber\ndefault_md = sha256\npolicy = policy_any\n"
         "unique_subject = no\ndefault_crl_days = 30\n"
         "[ policy_any ]\n"
         "countryName = optional\nstateOrProvinceName = optional\nlocalityName = optional\n"
         "organizationName = optional\norganizationalUnitName = optional\n"
         "commonName = optional\nemailAddress = optional\n";
}

}  // namespace

FilePtr OpenForReading(const std::string &path) {
  FilePtr f(std::fopen(path.c_str(), "rb"));
  EXPECT_NE(f, nullptr) << "cannot open " << path;
  return f;
}

std::string CaTimeText(time_t t) {
  struct tm tm;
  gmtime_r(&t, &tm);
  char text[32];
  if (tm.tm_year + 1900 >= 1950 && tm.tm_year + 1900 <= 2049)
    strftime(text, sizeof text, "%y%m%d%H%M%SZ", &tm);
  else
    strftime(text, sizeof text, "%Y%m%d%H%M%SZ", &tm);
  return text;
}

TestPki::TestPki(std::string dir) : dir_(std::move(dir)) {}

std::string TestPki::Openssl(const std::string &args) const {
  CommandResult r = RunCommand("cd " + ShellQuote(dir_) + " && openssl " + args);
  EXPECT_EQ(r.exit_code, 0) << "openssl " << args << "\n" << r.output;
  return r.output;
}

void TestPki::MakeKey(const std::string &name, const CertSpec &details) {
  if (!details.key_file.empty()) {
    WriteBinaryFile(Key(name), ReadBinaryFile(details.key_file));
  } else {
    Openssl(std::string("genpkey ") + KeygenArgs(details.alg) + " -out " + ShellQuote(Key(name)));
  }
  entities_[name] = Entity{details.alg, details.distid};
}

std::string CommentHolding(const std::string &path) {
  std::string value = "\\n";
  for (char c : ReadTextFile(path)) value += c == '\n' ? std::string("\\n") : std::string(1, c);
  return "nsComment = " + value + "\n";
}

void TestPki::MakeCaFiles(const std::string &name) {
  std::string ca = CaDir(name);
  if (FileExists(ca + "/ca.cnf")) return;
  RunCommand("mkdir -p " + ShellQuote(ca));
  WriteTextFile(ca + "/ca.cnf", CaConfig(ca));
  WriteTextFile(ca + "/index.txt", "");
  // Serials of different CAs never meet unless a test asks for it.
  char serial[16];
  std::snprintf(serial, sizeof serial, "%X\n", 0x1000 * ++ca_count_);
  WriteTextFile(ca + "/serial", serial);
  WriteTextFile(ca + "/crlnumber", "01\n");
}

// Digest and signature options of the signer's key.
std::string TestPki::SigningOptions(const std::string &signer, const CertSpec &details) const {
  const Entity &e = entities_.at(signer);
  if (e.alg == KeyAlg::kSM2) {
    std::string opts = " -md " + (details.md.empty() ? std::string("sm3") : details.md);
    if (!details.distid.empty()) opts += " -sigopt distid:" + details.distid;
    return opts;
  }
  return " -md " + (details.md.empty() ? std::string("sha256") : details.md);
}

void TestPki::Sign(const std::string &name, const std::string &issuer, const CertSpec &details,
                   bool self_signed) {
  MakeCaFiles(issuer);
  std::string csr = dir_ + "/" + name + ".csr";
  std::string req = "req -new -utf8 -key " + ShellQuote(Key(name)) + " -subj " +
                    ShellQuote(details.subject) + " -out " + ShellQuote(csr);
  if (details.alg == KeyAlg::kSM2) req += std::string(" -sm3 -sigopt distid:") + kDefaultDistid;
  Openssl(req);

  if (!details.serial_hex.empty()) WriteTextFile(CaDir(issuer) + "/serial", details.serial_hex + "\n");
  time_t now = time(nullptr);
  time_t not_before = details.not_before != 0 ? details.not_before : now - 86400;
  time_t not_after = details.not_after != 0 ? details.not_after : now + 365 * 86400;

  std::string ca = "ca -batch -notext -preserveDN -config " +
                   ShellQuote(CaDir(issuer) + "/ca.cnf") + " -keyfile " +
                   ShellQuote(Key(issuer)) + " -in " + ShellQuote(csr) + " -out " +
                   ShellQuote(Pem(name)) + " -startdate " + CaTimeText(not_before) +
                   " -enddate " + CaTimeText(not_after) + SigningOptions(issuer, details);
  ca += self_signed ? std::string(" -selfsign") : " -cert " + ShellQuote(Pem(issuer));
  if (details.alg == KeyAlg::kSM2) ca += std::string(" -vfyopt distid:") + kDefaultDistid;
  if (!details.extensions.empty()) {
    std::string ext = dir_ + "/" + name + ".ext";
    WriteTextFile(ext, "[ ext ]\n" + details.extensions);
    ca += " -extfile " + ShellQuote(ext) + " -extensions ext";
  }
  Openssl(ca);
  Openssl("x509 -in " + ShellQuote(Pem(name)) + " -outform DER -out " + ShellQuote(Der(name)));
}

void TestPki::AddRoot(const std::string &name, const CertSpec &details) {
  MakeKey(name, details);
  Sign(name, name, details, true);
}

void TestPki::Issue(const std::string &name, const std::string &issuer, const CertSpec &details) {
  MakeKey(name, details);
  Sign(name, issuer, details, false);
}

void TestPki::Revoke(const std::string &ca, const std::string &cert) {
  MakeCaFiles(ca);
  Openssl("ca -batch -config " + ShellQuote(CaDir(ca) + "/ca.cnf") + " -keyfile " +
          ShellQuote(Key(ca)) + " -cert " + ShellQuote(Pem(ca)) + " -revoke " +
          ShellQuote(Pem(cert)));
}

void TestPki::MakeCrl(const std::string &name, const std::string &ca,
                      const std::string &extensions) {
  MakeCaFiles(ca);
  CertSpec defaults;
  std::string config = CaDir(ca) + "/ca.cnf", options;
  if (!extensions.empty()) {
    const std::string own = dir_ + "/" + name + ".crl.cnf";
    WriteTextFile(own, ReadTextFile(config) + "[ crl_ext ]\n" + extensions);
    config = own;
    options = " -crlexts crl_ext";
  }
  Openssl("ca -batch -gencrl -config " + ShellQuote(config) + " -keyfile " + ShellQuote(Key(ca)) +
          " -cert " + ShellQuote(Pem(ca)) + " -out " + ShellQuote(Crl(name)) + options +
          SigningOptions(ca, defaults));
  Openssl("crl -in " + ShellQuote(Crl(name)) + " -outform DER -out " + ShellQuote(CrlDer(name)));
}

std::string TestPki::MakePkcs12(const std::string &name, const std::string &cert,
                                const std::string &password, const std::string &extra_args) {
  std::string out = dir_ + "/" + name + ".p12";
  std::string args = "pkcs12 -export -in " + ShellQuote(Pem(cert)) + " -passout " +
                     ShellQuote("pass:" + password) + " -out " + ShellQuote(out) + " " +
                     extra_args;
  if (extra_args.find("-nokeys") == std::string::npos) args += " -inkey " + ShellQuote(Key(cert));
  Openssl(args);
  return out;
}

Bytes WithExtension(const Bytes &cert_der, int nid, const Bytes *value) {
  const unsigned char *p = cert_der.data();
  X509 *x = d2i_X509(nullptr, &p, static_cast<long>(cert_der.size()));
  if (x == nullptr) {
    ADD_FAILURE() << "not a DER certificate";
    return {};
  }
  int at = X509_get_ext_by_NID(x, nid, -1);
  if (at >= 0) X509_EXTENSION_free(X509_delete_ext(x, at));
  if (value != nullptr) {
    ASN1_OCTET_STRING *data = ASN1_OCTET_STRING_new();
    ASN1_OCTET_STRING_set(data, value->data(), static_cast<int>(value->size()));
    X509_EXTENSION *ext = X509_EXTENSION_create_by_NID(nullptr, nid, 0, data);
    ASN1_OCTET_STRING_free(data);
    X509_add_ext(x, ext, -1);
    X509_EXTENSION_free(ext);
  }
  i2d_re_X509_tbs(x, nullptr);  // drops the encoding kept from the original
  unsigned char *out = nullptr;
  int len = i2d_X509(x, &out);
  Bytes result(out, out + (len > 0 ? len : 0));
  OPENSSL_free(out);
  X509_free(x);
  return result;
}

LeafPki::LeafPki(const std::string &ca, const CertSpec &ca_spec) : pki_(dir_.path()), ca_(ca) {
  pki_.AddRoot(ca, ca_spec);
}

void LeafPki::Leaf(const std::string &name, KeyAlg alg, const std::string &key_file,
                   const std::string &extensions) {
  CertSpec details;
  details.alg = alg;
  details.subject = "/C=CN/O=Kelu Test/CN=" + name;
  details.key_file = key_file;
  details.extensions = extensions;
  pki_.Issue(name, ca_, details);
}

namespace {

// <prefix>-expired and <prefix>-future: leaves of issuer with the key of <prefix>-leaf, expired a
// day ago / valid from a month ahead.
void IssueOutOfDate(TestPki *pki, const std::string &prefix, const CertSpec &leaf,
                    const std::string &issuer, time_t now) {
  CertSpec details = leaf;
  details.key_file = pki->Key(prefix + "-leaf");
  details.subject = "/CN=" + prefix + " expired";
  details.not_before = now - 400 * 86400;
  details.not_after = now - 86400;
  pki->Issue(prefix + "-expired", issuer, details);
  details.subject = "/CN=" + prefix + " future";
  details.not_before = now + 30 * 86400;
  details.not_after = now + 400 * 86400;
  pki->Issue(prefix + "-future", issuer, details);
}

std::unique_ptr<TestPki> BuildSharedPki(const std::string &dir) {
  auto pki = std::make_unique<TestPki>(dir);
  time_t now = time(nullptr);
  const std::string leaf_ext = kLeafSignExtensions;

  CertSpec root;
  root.extensions = kCaExtensions;

  CertSpec details = root;
  details.subject = "/C=CN/O=Kelu Test/CN=SM2 Root";
  pki->AddRoot("sm2-root", details);
  details.subject = "/C=CN/O=Kelu Test/CN=SM2 Intermediate";
  pki->Issue("sm2-int", "sm2-root", details);
  details = CertSpec{};
  details.subject = "/C=CN/O=Kelu Test/CN=SM2 Leaf";
  details.extensions = leaf_ext;
  pki->Issue("sm2-leaf", "sm2-int", details);
  IssueOutOfDate(pki.get(), "sm2", details, "sm2-int", now);

  struct Usage {
    const char *name, *key_usage;
  };
  const Usage usages[] = {{"ku-sign", "keyUsage = digitalSignature,nonRepudiation\n"},
                          {"ku-enc", "keyUsage = keyEncipherment\n"},
                          {"ku-both", "keyUsage = digitalSignature,keyEncipherment\n"},
                          {"ku-none", ""}};
  for (const Usage &u : usages) {
    CertSpec ku;
    ku.subject = std::string("/CN=") + u.name;
    ku.key_file = pki->Key("sm2-leaf");
    ku.extensions = std::string("basicConstraints = CA:false\n") + u.key_usage;
    pki->Issue(u.name, "sm2-int", ku);
  }

  details = root;
  details.alg = KeyAlg::kRSA;
  details.subject = "/C=CN/O=Kelu Test/CN=RSA Root";
  pki->AddRoot("rsa-root", details);
  details.subject = "/C=CN/O=Kelu Test/CN=RSA Intermediate";
  pki->Issue("rsa-int", "rsa-root", details);
  details.subject = "/C=CN/O=Kelu Test/CN=RSA Expired Intermediate";
  details.not_before = now - 400 * 86400;
  details.not_after = now - 30 * 86400;
  pki->Issue("rsa-int-expired", "rsa-root", details);
  details = root;
  details.alg = KeyAlg::kRSA;
  details.subject = "/C=CN/O=Other/CN=Other Root";
  pki->AddRoot("other-root", details);

  CertSpec leaf;
  leaf.alg = KeyAlg::kRSA;
  leaf.subject = "/C=CN/O=Kelu Test/CN=RSA Leaf";
  leaf.extensions = "basicConstraints = CA:false\n"
                    "keyUsage = digitalSignature,keyEncipherment\n"
                    "subjectKeyIdentifier = hash\n";
  pki->Issue("rsa-leaf", "rsa-int", leaf);
  CertSpec reuse = leaf;
  reuse.key_file = pki->Key("rsa-leaf");
  reuse.subject = "/CN=RSA Leaf Under Expired";
  pki->Issue("rsa-leaf-of-expired", "rsa-int-expired", reuse);
  IssueOutOfDate(pki.get(), "rsa", leaf, "rsa-int", now);
  CertSpec v1;
  v1.alg = KeyAlg::kRSA;
  v1.key_file = pki->Key("rsa-leaf");
  v1.subject = "/CN=RSA Version 1";
  pki->Issue("rsa-v1", "rsa-int", v1);

  pki->MakeCrl("crl-empty", "rsa-int");
  pki->Revoke("rsa-int", "rsa-leaf");
  pki->MakeCrl("crl-revoked", "rsa-int");
  pki->Revoke("other-root", "rsa-leaf");
  pki->MakeCrl("crl-other", "other-root");
  pki->MakeCrl("sm2-crl-empty", "sm2-int");
  pki->Revoke("sm2-int", "sm2-leaf");
  pki->MakeCrl("sm2-crl-revoked", "sm2-int");
  pki->Revoke("sm2-root", "sm2-leaf");
  pki->MakeCrl("sm2-crl-other", "sm2-root");
  return pki;
}

// ctest runs every test in a process of its own: the shared PKI is made once beside the test
// program (in the build tree, never in the sources) and kept there under a lock. It is made
// again when it is older than a few hours (its dates are relative to the time it was made) or
// when kSharedPkiRecipe differs: change the recipe text whenever BuildSharedPki changes.
constexpr char kSharedPkiRecipe[] = "shared PKI recipe 3\n";
constexpr time_t kSharedPkiMaxAge = 6 * 3600;

bool UsableSharedPki(const std::string &dir) {
  struct stat st;
  std::string marker = dir + "/complete";
  return stat(marker.c_str(), &st) == 0 && time(nullptr) - st.st_mtime < kSharedPkiMaxAge &&
         ReadTextFile(marker) == kSharedPkiRecipe;
}

// The folder of the running test program, or "" when it cannot be told or written.
std::string ProgramFolder() {
  char path[4096];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "";
  std::string folder(path, static_cast<size_t>(n));
  folder = folder.substr(0, folder.rfind('/'));
  return !folder.empty() && access(folder.c_str(), W_OK) == 0 ? folder : "";
}

std::unique_ptr<TestPki> OpenSharedPki() {
  std::string folder = ProgramFolder();
  if (folder.empty()) {
    static TempDir fallback;
    return BuildSharedPki(fallback.path());
  }
  std::string dir = folder + "/kelu-shared-pki";
  int lock = open((dir + ".lock").c_str(), O_CREAT | O_RDWR, 0644);
  if (lock >= 0) flock(lock, LOCK_EX);
  std::unique_ptr<TestPki> pki;
  if (UsableSharedPki(dir)) {
    pki = std::make_unique<TestPki>(dir);
  } else {
    RunCommand("rm -rf " + ShellQuote(dir) + " && mkdir -p " + ShellQuote(dir));
    pki = BuildSharedPki(dir);
    if (!::testing::Test::HasFailure()) WriteTextFile(dir + "/complete", kSharedPkiRecipe);
  }
  if (lock >= 0) {
    flock(lock, LOCK_UN);
    close(lock);
  }
  return pki;
}

}  // namespace

const TestPki &SharedPki() {
  static std::unique_ptr<TestPki> pki = OpenSharedPki();
  return *pki;
}

}  // namespace kelu::test

// The CRL-status service against a small responder in this process, reached over a loopback
// TCP connection through the send and receive callbacks.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CrlStatusService.h"
#include "OsslPtr.h"
#include "TestPki.h"

namespace kelu {
namespace {

const char kGood[] =
    "<response><head><result>1001</result></head><body><status>0001</status></body></response>";
const char kRevoked[] =
    "<response><head><result>1001</result></head><body><status>0000</status></body></response>";
const char kRefused[] =
    "<response><head><result>1000</result></head><body><status>0001</status></body></response>";
const char kOddStatus[] =
    "<response><head><result>1001</result></head><body><status>0002</status></body></response>";

std::string Between(const std::string &text, const std::string &open, const std::string &close) {
  size_t a = text.find(open);
  if (a == std::string::npos) return "";
  a += open.size();
  size_t b = text.find(close, a);
  return b == std::string::npos ? "" : text.substr(a, b - a);
}

// Answers each request line with one response line, chosen by the serial number asked about.
class Responder {
 public:
  Responder() {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    EXPECT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    EXPECT_EQ(listen(listener, 1), 0);
    EXPECT_EQ(getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len), 0);
    client_ = socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_EQ(connect(client_, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    server_ = accept(listener, nullptr, nullptr);
    close(listener);
    thread_ = std::thread([this] { Serve(); });
  }
  ~Responder() {
    shutdown(client_, SHUT_RDWR);
    thread_.join();
    close(client_);
    close(server_);
  }
  int socket_fd() const { return client_; }
  void Answer(const std::string &serial, const std::string &response) {
    std::lock_guard<std::mutex> lock(mutex_);
    answers_[serial] = response;
  }
  std::vector<std::string> Requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

 private:
  void Serve() {
    std::string line;
    char c;
    while (read(server_, &c, 1) == 1) {
      if (c != '\n') {
        line += c;
        continue;
      }
      std::string response = kGood;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(line);
        auto it = answers_.find(Between(line, "<sn>", "</sn>"));
        if (it != answers_.end()) response = it->second;
      }
      response += '\n';
      if (write(server_, response.data(), response.size()) < 0) break;
      line.clear();
    }
  }

  int client_ = -1, server_ = -1;
  std::thread thread_;
  std::mutex mutex_;
  std::map<std::string, std::string> answers_;
  std::vector<std::string> requests_;
};

int SendLine(int fd, const char *request, int length) {
  std::string line(request, static_cast<size_t>(length));
  line += '\n';
  return write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size()) ? length : -1;
}

int ReceiveLine(int fd, char **response, int *length) {
  std::string line;
  char c;
  while (read(fd, &c, 1) == 1 && c != '\n') line += c;
  char *text = static_cast<char *>(std::malloc(line.size() + 1));
  std::memcpy(text, line.c_str(), line.size() + 1);
  *response = text;
  *length = static_cast<int>(line.size());
  return *length;
}

int SendFails(int, const char *, int) { return -1; }
int ReceiveFails(int, char **, int *) { return -1; }
int ReceiveNothing(int, char **response, int *) {
  *response = nullptr;
  return 0;
}

test::Bytes Tlv(uint8_t tag, const test::Bytes &content) {
  test::Bytes out = {tag};
  size_t n = content.size();
  if (n >= 256) {
    out.push_back(0x82);
    out.push_back(static_cast<uint8_t>(n >> 8));
  } else if (n >= 128) {
    out.push_back(0x81);
  }
  out.push_back(static_cast<uint8_t>(n));
  out.insert(out.end(), content.begin(), content.end());
  return out;
}

// The extension line of one distribution point with a URI (the configuration syntax of
// openssl would split the URI at its commas).
std::string UriDistributionPoint(const std::string &uri) {
  test::Bytes name = Tlv(0x86, test::Bytes(uri.begin(), uri.end()));
  return "2.5.29.31 = DER:" + test::ToHex(Tlv(0x30, Tlv(0x30, Tlv(0xA0, Tlv(0xA0, name))))) +
         "\n";
}

// Certificates with every kind of distribution point, under one CA; made once.
struct ServicePki {
  test::TempDir dir;
  test::TestPki pki{dir.path()};

  ServicePki() {
    test::CertSpec details;
    details.alg = test::KeyAlg::kEC256;
    details.subject = "/CN=Service Root";
    details.extensions = test::kCaExtensions;
    pki.AddRoot("root", details);
    details.subject = "/CN=Service Intermediate";
    details.extensions = std::string(test::kCaExtensions) +
                      UriDistributionPoint("ldap://ldap.example.com/CN=Int CRL,O=Org");
    pki.Issue("int", "root", details);
    const std::string long_dn = [] {
      std::string s = "[ long_dn ]\n";
      for (int i = 0; i < 20; ++i)
        s += std::to_string(i) + ".OU = " + std::string(60, static_cast<char>('a' + i)) + "\n";
      return s + "CN = Long\n";
    }();
    const std::pair<const char *, std::string> leaves[] = {
        {"ldap-reversed",
         UriDistributionPoint("ldap://ldap.example.com/O=A,CN=B?certificateRevocationList")},
        {"ldap-cn-first", UriDistributionPoint("ldap://ldap.example.com/CN=CRL2,O=Org")},
        {"dirname", "crlDistributionPoints = dp\n[ dp ]\nfullname = dirName:dp_dn\n"
                    "[ dp_dn ]\nC = CN\nO = Org\nCN = CRL1\n"},
        {"http-then-dirname",
         "crlDistributionPoints = dp\n[ dp ]\n"
         "fullname = URI:http://crl.example.com/a.crl, dirName:dp_dn\n"
         "[ dp_dn ]\nO = Org\nCN = CRL3\n"},
        {"two-dirnames", "crlDistributionPoints = dp\n[ dp ]\n"
                         "fullname = dirName:dp_a, dirName:dp_b\n"
                         "[ dp_a ]\nO = Org\nCN = First\n[ dp_b ]\nO = Org\nCN = Second\n"},
        {"http-only", "crlDistributionPoints = URI:http://crl.example.com/a.crl\n"},
        {"ldap-no-path", "crlDistributionPoints = URI:ldap://ldap.example.com\n"},
        {"long-dn", "crlDistributionPoints = dp\n[ dp ]\nfullname = dirName:long_dn\n" + long_dn},
        {"markup", "crlDistributionPoints = dp\n[ dp ]\nfullname = dirName:dp_dn\n"
                   "[ dp_dn ]\nO = A<B&C>\nCN = Markup\n"},
        {"no-dp", ""},
        {"enc", ""},
    };
    for (const auto &[name, ext] : leaves) {
      test::CertSpec leaf;
      leaf.alg = test::KeyAlg::kEC256;
      leaf.subject = std::string("/CN=") + name;
      leaf.extensions = "basicConstraints = CA:false\n" + ext;
      pki.Issue(name, "int", leaf);
    }
    pki.MakeCrl("int-crl", "int");
  }
  X509Ptr Cert(const std::string &name) const {
    test::FilePtr f = test::OpenForReading(pki.Pem(name));
    return X509Ptr(PEM_read_X509(f.get(), nullptr, nullptr, nullptr));
  }
  // The serial as the service sees it.
  std::string Serial(const std::string &name) const {
    X509Ptr x = Cert(name);
    BioPtr bio(BIO_new(BIO_s_mem()));
    i2a_ASN1_INTEGER(bio.get(), X509_get0_serialNumber(x.get()));
    char *data = nullptr;
    long n = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<size_t>(n));
  }
  X509StorePtr Store() const {
    X509StorePtr store(X509_STORE_new());
    X509_STORE_add_cert(store.get(), Cert("root").get());
    X509_STORE_add_cert(store.get(), Cert("int").get());
    return store;
  }
};

const ServicePki &Pki() {
  static ServicePki pki;
  return pki;
}

struct Outcome {
  int verified;
  int ctx_error;
  int service_error;
};

Outcome Verify(X509_STORE *store, const std::string &leaf, unsigned long library_flags,
               unsigned long toolkit_flags, CrlServiceContext *service) {
  X509Ptr x = Pki().Cert(leaf);
  X509StoreCtxPtr ctx(X509_STORE_CTX_new());
  EXPECT_EQ(InitVerifyContextWithCrlService(ctx.get(), store, x.get(), nullptr, toolkit_flags,
                                            service),
            1);
  X509_STORE_CTX_set_flags(ctx.get(), library_flags);
  int ok = X509_verify_cert(ctx.get());
  Outcome o{ok, X509_STORE_CTX_get_error(ctx.get()), service != nullptr ? service->error : 0};
  ERR_clear_error();
  return o;
}

Outcome Verify(const std::string &leaf, unsigned long library_flags, CrlServiceContext *service) {
  X509StorePtr store = Pki().Store();
  return Verify(store.get(), leaf, library_flags, KELU_X509_V_FLAG_CRL_SERVICE, service);
}

class CrlStatusService : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { Pki(); }
  CrlServiceContext Service() {
    CrlServiceContext svc;
    svc.send_cb = SendLine;
    svc.recv_cb = ReceiveLine;
    svc.socketFD = responder_.socket_fd();
    return svc;
  }
  Responder responder_;
};

TEST_F(CrlStatusService, NamesSentForEachKindOfDistributionPoint) {
  std::string long_name = "CN=Long";
  for (int i = 19; i >= 0; --i)
    long_name += ",OU=" + std::string(60, static_cast<char>('a' + i));
  const struct {
    const char *leaf;
    std::string name;
  } cases[] = {
      {"ldap-reversed", "CN=B,O=A"},
      {"ldap-cn-first", "CN=CRL2,O=Org"},
      {"dirname", "CN=CRL1,O=Org,C=CN"},
      {"http-then-dirname", "CN=CRL3,O=Org"},
      // The names of one distribution point stay apart: only the first is asked about.
      {"two-dirnames", "CN=First,O=Org"},
      {"long-dn", long_name},
      {"markup", "CN=Markup,O=A&lt;B&amp;C&gt;"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.leaf);
    CrlServiceContext svc = Service();
    size_t before = responder_.Requests().size();
    Outcome o = Verify(c.leaf, X509_V_FLAG_CRL_CHECK, &svc);
    EXPECT_EQ(o.verified, 1);
    EXPECT_EQ(o.service_error, 0);
    std::vector<std::string> requests = responder_.Requests();
    ASSERT_EQ(requests.size(), before + 1);
    EXPECT_EQ(requests.back(),
              "<request><head><type>3001</type></head><body><crldpn>" + c.name +
                  "</crldpn><sn>" + Pki().Serial(c.leaf) + "</sn></body></request>");
  }
}

TEST_F(CrlStatusService, Verdicts) {
  const struct {
    const char *label;
    const char *response;  // null: the responder's default, good
    int soft_fail;
    int verified, ctx_error, service_error;
  } cases[] = {
      {"good", nullptr, 0, 1, X509_V_OK, 0},
      {"revoked", kRevoked, 0, 0, X509_V_ERR_CERT_REVOKED, KELU_X509_V_ERR_CERT_REVOKED},
      {"revoked, soft-fail does not help", kRevoked, 1, 0, X509_V_ERR_CERT_REVOKED,
       KELU_X509_V_ERR_CERT_REVOKED},
      {"refused", kRefused, 0, 0, X509_V_ERR_UNABLE_TO_GET_CRL, KELU_X509_V_ERR_UNABLE_TO_GET_CRL},
      {"refused, soft-fail", kRefused, 1, 1, X509_V_OK, 0},
      {"unknown status", kOddStatus, 0, 0, X509_V_ERR_UNABLE_TO_GET_CRL,
       KELU_X509_V_ERR_UNABLE_TO_GET_CRL},
      {"no markup at all", "hello", 0, 0, X509_V_ERR_UNABLE_TO_GET_CRL,
       KELU_X509_V_ERR_UNABLE_TO_GET_CRL},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.label);
    if (c.response != nullptr) responder_.Answer(Pki().Serial("ldap-reversed"), c.response);
    CrlServiceContext svc = Service();
    svc.crl_service_soft_fail = c.soft_fail;
    Outcome o = Verify("ldap-reversed", X509_V_FLAG_CRL_CHECK, &svc);
    EXPECT_EQ(o.verified, c.verified);
    EXPECT_EQ(o.ctx_error, c.ctx_error);
    EXPECT_EQ(o.service_error, c.service_error);
    responder_.Answer(Pki().Serial("ldap-reversed"), kGood);
  }
}

TEST_F(CrlStatusService, StatusThatCannotBeObtained) {
  using Send = CrlServiceSendCb;
  using Receive = CrlServiceRecvCb;
  const struct {
    const char *label;
    const char *leaf;
    Send send;
    Receive receive;
    int service_error;
  } cases[] = {
      {"no callbacks", "ldap-reversed", nullptr, nullptr, KELU_X509_V_ERR_UNABLE_TO_GET_CRL},
      {"no receive callback", "ldap-reversed", SendLine, nullptr,
       KELU_X509_V_ERR_UNABLE_TO_GET_CRL},
      {"send fails", "ldap-reversed", SendFails, ReceiveLine, KELU_X509_V_ERR_UNABLE_TO_GET_CRL},
      {"receive fails", "ldap-reversed", SendLine, ReceiveFails,
       KELU_X509_V_ERR_UNABLE_TO_GET_CRL},
      {"no response text", "ldap-reversed", SendLine, ReceiveNothing,
       KELU_X509_V_ERR_UNABLE_TO_GET_CRL},
      {"no distribution point", "no-dp", SendLine, ReceiveLine,
       KELU_X509_V_ERR_NO_CRL_DISTRIBUTION_POINT},
      {"no name the service knows", "http-only", SendLine, ReceiveLine,
       KELU_X509_V_ERR_UNABLE_TO_GET_CRL},
      {"LDAP URL without a name", "ldap-no-path", SendLine, ReceiveLine,
       KELU_X509_V_ERR_UNABLE_TO_GET_CRL},
  };
  for (const auto &c : cases) {
    for (int soft_fail : {0, 1}) {
      SCOPED_TRACE(std::string(c.label) + (soft_fail ? ", soft-fail" : ""));
      // A callback that fails leaves the stream between requests: a fresh responder each.
      Responder responder;
      CrlServiceContext svc;
      svc.send_cb = c.send;
      svc.recv_cb = c.receive;
      svc.socketFD = responder.socket_fd();
      svc.crl_service_soft_fail = soft_fail;
      Outcome o = Verify(c.leaf, X509_V_FLAG_CRL_CHECK, &svc);
      EXPECT_EQ(o.verified, soft_fail);
      EXPECT_EQ(o.service_error, soft_fail ? 0 : c.service_error);
      EXPECT_EQ(o.ctx_error, soft_fail ? X509_V_OK : X509_V_ERR_UNABLE_TO_GET_CRL);
    }
  }
}

TEST_F(CrlStatusService, WholeChainOrLeafOnly) {
  // Leaf only: one request.
  CrlServiceContext svc = Service();
  EXPECT_EQ(Verify("dirname", X509_V_FLAG_CRL_CHECK, &svc).verified, 1);
  EXPECT_EQ(responder_.Requests().size(), 1u);
  // The whole chain: the root has no distribution point.
  Outcome o = Verify("dirname", X509_V_FLAG_CRL_CHECK | X509_V_FLAG_CRL_CHECK_ALL, &svc);
  EXPECT_EQ(o.verified, 0);
  EXPECT_EQ(o.service_error, KELU_X509_V_ERR_NO_CRL_DISTRIBUTION_POINT);
  std::vector<std::string> requests = responder_.Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_NE(requests[2].find("<crldpn>CN=Int CRL,O=Org</crldpn>"), std::string::npos);
  svc.crl_service_soft_fail = 1;
  EXPECT_EQ(Verify("dirname", X509_V_FLAG_CRL_CHECK | X509_V_FLAG_CRL_CHECK_ALL, &svc).verified,
            1);
  // The intermediate revoked fails the whole chain.
  responder_.Answer(Pki().Serial("int"), kRevoked);
  o = Verify("dirname", X509_V_FLAG_CRL_CHECK | X509_V_FLAG_CRL_CHECK_ALL, &svc);
  EXPECT_EQ(o.verified, 0);
  EXPECT_EQ(o.ctx_error, X509_V_ERR_CERT_REVOKED);
  // Without the CRL-check flag nothing is asked.
  size_t before = responder_.Requests().size();
  svc.crl_service_soft_fail = 0;
  EXPECT_EQ(Verify("no-dp", 0, &svc).verified, 1);
  EXPECT_EQ(responder_.Requests().size(), before);
}

TEST_F(CrlStatusService, EachServiceUsesItsOwnConnection) {
  // Two services at once, each with the socket of its own responder, which disagree.
  Responder other;
  other.Answer(Pki().Serial("dirname"), kRevoked);
  CrlServiceContext good = Service();
  CrlServiceContext revoking = good;
  revoking.socketFD = other.socket_fd();
  X509StorePtr store = Pki().Store();
  X509Ptr x = Pki().Cert("dirname");
  X509StoreCtxPtr a(X509_STORE_CTX_new()), b(X509_STORE_CTX_new());
  ASSERT_EQ(InitVerifyContextWithCrlService(a.get(), store.get(), x.get(), nullptr,
                                            KELU_X509_V_FLAG_CRL_SERVICE, &good),
            1);
  ASSERT_EQ(InitVerifyContextWithCrlService(b.get(), store.get(), x.get(), nullptr,
                                            KELU_X509_V_FLAG_CRL_SERVICE, &revoking),
            1);
  X509_STORE_CTX_set_flags(a.get(), X509_V_FLAG_CRL_CHECK);
  X509_STORE_CTX_set_flags(b.get(), X509_V_FLAG_CRL_CHECK);
  EXPECT_EQ(X509_verify_cert(b.get()), 0);
  EXPECT_EQ(X509_verify_cert(a.get()), 1);
  EXPECT_EQ(revoking.error, KELU_X509_V_ERR_CERT_REVOKED);
  EXPECT_EQ(good.error, 0);
  EXPECT_EQ(responder_.Requests().size(), 1u);
  EXPECT_EQ(other.Requests().size(), 1u);
  ERR_clear_error();
}

int StoreOwnCheck(X509_STORE_CTX *) { return 1; }

TEST_F(CrlStatusService, AttachedOnlyWhereAsked) {
  CrlServiceContext svc = Service();
  // A store with a revocation check of its own keeps it.
  X509StorePtr own = Pki().Store();
  X509_STORE_set_check_revocation(own.get(), StoreOwnCheck);
  EXPECT_EQ(Verify(own.get(), "no-dp", X509_V_FLAG_CRL_CHECK, KELU_X509_V_FLAG_CRL_SERVICE, &svc)
                .verified,
            1);
  EXPECT_EQ(X509_STORE_get_check_revocation(own.get()), StoreOwnCheck);

  // Without the toolkit flag the library's own CRL check runs: no CRL, no verification.
  X509StorePtr store = Pki().Store();
  Outcome o = Verify(store.get(), "ldap-reversed", X509_V_FLAG_CRL_CHECK, 0, &svc);
  EXPECT_EQ(o.verified, 0);
  EXPECT_EQ(o.ctx_error, X509_V_ERR_UNABLE_TO_GET_CRL);
  EXPECT_TRUE(responder_.Requests().empty());

  // Once attached, the check stays on the store; contexts without a service keep the library's
  // check, which passes with the CA's CRL in the store.
  EXPECT_EQ(Verify(store.get(), "ldap-reversed", X509_V_FLAG_CRL_CHECK,
                   KELU_X509_V_FLAG_CRL_SERVICE, &svc)
                .verified,
            1);
  EXPECT_EQ(responder_.Requests().size(), 1u);
  test::FilePtr f = test::OpenForReading(Pki().pki.Crl("int-crl"));
  std::unique_ptr<X509_CRL, Deleter<X509_CRL_free>> crl(
      PEM_read_X509_CRL(f.get(), nullptr, nullptr, nullptr));
  ASSERT_EQ(X509_STORE_add_crl(store.get(), crl.get()), 1);
  EXPECT_EQ(Verify(store.get(), "no-dp", X509_V_FLAG_CRL_CHECK, 0, nullptr).verified, 1);
  EXPECT_EQ(responder_.Requests().size(), 1u);

  // The flag without a service is refused at set-up.
  X509StoreCtxPtr ctx(X509_STORE_CTX_new());
  X509Ptr x = Pki().Cert("dirname");
  EXPECT_EQ(InitVerifyContextWithCrlService(ctx.get(), store.get(), x.get(), nullptr,
                                            KELU_X509_V_FLAG_CRL_SERVICE, nullptr),
            0);
}

TEST(CrlStatusHelpers, ReverseDistinguishedName) {
  const struct {
    const char *in;
    int want;
    const char *out;
  } cases[] = {
      {"C=CN,O=A,CN=B", 0, "CN=B,O=A,C=CN"},
      {"CN=only", 0, "CN=only"},
      {" a, b", 0, " b, a"},
      {"a,,b", 0, "b,,a"},
      {"a,", 0, ",a"},
      {"", -1, ""},
      {",,", -1, ",,"},
  };
  for (const auto &c : cases) {
    std::string text = c.in;
    EXPECT_EQ(X509_Reverse_CRLDN_Order(&text[0]), c.want) << c.in;
    EXPECT_EQ(text, c.out);
  }
  std::string many, reversed;
  for (int i = 0; i < 50; ++i) {
    many += (i ? "," : "") + std::string("OU=") + std::to_string(i);
    reversed = std::string("OU=") + std::to_string(i) + (i ? "," : "") + reversed;
  }
  EXPECT_EQ(X509_Reverse_CRLDN_Order(&many[0]), 0);
  EXPECT_EQ(many, reversed);
  EXPECT_EQ(X509_Reverse_CRLDN_Order(nullptr), -1);
}

TEST(CrlStatusHelpers, TextBetweenMarkers) {
  const struct {
    const char *data, *begin, *end;
    int want;
    const char *out;
  } cases[] = {
      {"a<r>1001</r>b", "<r>", "</r>", 0, "1001"},
      {"<r></r>", "<r>", "</r>", 0, ""},
      {"<r>x</r><r>y</r>", "<r>", "</r>", 0, "x"},
      {"</r>x<r>y", "<r>", "</r>", -1, nullptr},
      {"no markers", "<r>", "</r>", -1, nullptr},
      {"<r>open", "<r>", "</r>", -1, nullptr},
  };
  for (const auto &c : cases) {
    char *out = nullptr;
    EXPECT_EQ(Get_SpecifiedStrFromStrData(c.data, c.begin, c.end, &out), c.want) << c.data;
    if (c.out != nullptr) {
      ASSERT_NE(out, nullptr);
      EXPECT_STREQ(out, c.out);
    } else {
      EXPECT_EQ(out, nullptr);
    }
    std::free(out);
  }
  char *out = nullptr;
  EXPECT_EQ(Get_SpecifiedStrFromStrData(nullptr, "<r>", "</r>", &out), -1);
  EXPECT_EQ(Get_SpecifiedStrFromStrData("<r>x</r>", nullptr, "</r>", &out), -1);
  EXPECT_EQ(Get_SpecifiedStrFromStrData("<r>x</r>", "<r>", nullptr, &out), -1);
  EXPECT_EQ(Get_SpecifiedStrFromStrData("<r>x</r>", "<r>", "</r>", nullptr), -1);
}

TEST(CrlStatusHelpers, EncryptionCertificateIndex) {
  const ServicePki &p = Pki();
  auto stack = [&](const std::vector<std::string> &names) {
    X509StackPtr s(sk_X509_new_null());
    for (const std::string &n : names) sk_X509_push(s.get(), p.Cert(n).release());
    return s;
  };
  const struct {
    std::vector<std::string> certs;
    int want;
  } cases[] = {
      {{"dirname", "int", "root", "enc"}, 3},
      {{"dirname", "enc", "int", "root"}, 1},
      {{"dirname", "root", "enc", "int"}, 2},
      {{"dirname", "int", "root"}, -1},
      {{"dirname"}, -1},
      {{}, -1},
  };
  for (const auto &c : cases) {
    X509StackPtr s = stack(c.certs);
    EXPECT_EQ(st_x509_get_enc_cert_index(s.get()), c.want) << c.certs.size();
  }
  EXPECT_EQ(st_x509_get_enc_cert_index(nullptr), -1);
  ERR_clear_error();

  // Over a verification context: its certificate and its untrusted chain.
  X509StorePtr store = p.Store();
  X509Ptr leaf = p.Cert("dirname");
  for (const auto &[untrusted, want] : std::vector<std::pair<std::vector<std::string>, int>>{
           {{"dirname", "int", "enc"}, 2}, {{"dirname", "enc", "int"}, 1},
           {{"dirname", "int"}, -1}}) {
    X509StackPtr s = stack(untrusted);
    X509StoreCtxPtr ctx(X509_STORE_CTX_new());
    ASSERT_EQ(X509_STORE_CTX_init(ctx.get(), store.get(), leaf.get(), s.get()), 1);
    EXPECT_EQ(x509_get_enc_cert_index(ctx.get()), want);
  }
}

}  // namespace
}  // namespace kelu

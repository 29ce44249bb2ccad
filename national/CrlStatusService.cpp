#include "CrlStatusService.h"

#include <openssl/err.h>

#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <memory>
#include <mutex>
#include <new>

#include "OsslPtr.h"

namespace kelu {

namespace {

using DistPointsPtr =
    std::unique_ptr<STACK_OF(DIST_POINT), Deleter<CRL_DIST_POINTS_free>>;

struct MallocFree {
  void operator()(char *p) const { std::free(p); }
};
using MallocText = std::unique_ptr<char, MallocFree>;

// The service attached to a verification context, in ex_data of an index of our own.
int ServiceIndex() {
  static int index = -1;
  static std::once_flag once;
  std::call_once(once, [] {
    index = X509_STORE_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  });
  return index;
}

CrlServiceContext *AttachedService(X509_STORE_CTX *ctx) {
  int index = ServiceIndex();
  return index < 0 ? nullptr
                   : static_cast<CrlServiceContext *>(X509_STORE_CTX_get_ex_data(ctx, index));
}

// The library's own revocation check, which a context gets from a store that brings none;
// contexts without a service keep it.
X509_STORE_CTX_check_revocation_fn LibraryCheckRevocation() {
  static X509_STORE_CTX_check_revocation_fn check = nullptr;
  static std::once_flag once;
  std::call_once(once, [] {
    X509StorePtr store(X509_STORE_new());
    X509StoreCtxPtr ctx(X509_STORE_CTX_new());
    if (store && ctx && X509_STORE_CTX_init(ctx.get(), store.get(), nullptr, nullptr) == 1)
      check = X509_STORE_CTX_get_check_revocation(ctx.get());
  });
  return check;
}

bool StartsWithNoCase(const std::string &text, const char *prefix) {
  size_t n = std::strlen(prefix);
  return text.size() >= n && strncasecmp(text.c_str(), prefix, n) == 0;
}

// Markup characters of a name would change the request's structure.
std::string XmlEscaped(const std::string &text) {
  std::string out;
  for (char c : text) {
    if (c == '&')
      out += "&amp;";
    else if (c == '<')
      out += "&lt;";
    else if (c == '>')
      out += "&gt;";
    else
      out += c;
  }
  return out;
}

// The serial number as the library writes an INTEGER in hexadecimal.
bool SerialText(X509 *x, std::string *out) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio || i2a_ASN1_INTEGER(bio.get(), X509_get0_serialNumber(x)) <= 0) return false;
  char *data = nullptr;
  long n = BIO_get_mem_data(bio.get(), &data);
  if (n <= 0 || data == nullptr) return false;
  out->assign(data, static_cast<size_t>(n));
  return true;
}

// Every non-empty name of every distribution point, in order.
bool DistributionPointNames(const STACK_OF(DIST_POINT) *dps, std::vector<std::string> *names) {
  for (int i = 0; i < sk_DIST_POINT_num(dps); ++i) {
    const DIST_POINT *dp = sk_DIST_POINT_value(dps, i);
    std::vector<std::string> texts;
    if (dp == nullptr || GetDP(dp->distpoint, &texts) != 1) return false;
    for (std::string &t : texts)
      if (!t.empty()) names->push_back(std::move(t));
  }
  return true;
}

// The distinguished name the service knows a distribution point by: the DN part of an LDAP
// URL, or the text itself; reversed unless it starts with the common name. False when there
// is none.
bool ServiceName(const std::string &text, std::string *name) {
  std::string dn = text;
  size_t scheme = text.find("ldap://");
  if (scheme != std::string::npos) {
    size_t slash = text.find('/', scheme + std::strlen("ldap://"));
    if (slash == std::string::npos) return false;
    size_t query = text.find('?', slash + 1);
    dn = text.substr(slash + 1, query == std::string::npos ? std::string::npos
                                                            : query - slash - 1);
  }
  if (!StartsWithNoCase(dn, "CN=") && X509_Reverse_CRLDN_Order(&dn[0]) != 0) return false;
  *name = dn;
  return !name->empty();
}

// The service's verdict: 0 good, 23 revoked, 3 no answer to be had.
int AskService(const CrlServiceContext &svc, const std::string &name, const std::string &sn) {
  std::string request = "<request><head><type>3001</type></head><body><crldpn>" +
                        XmlEscaped(name) + "</crldpn><sn>" + sn + "</sn></body></request>";
  if (svc.send_cb(svc.socketFD, request.c_str(), static_cast<int>(request.size())) < 0)
    return KELU_X509_V_ERR_UNABLE_TO_GET_CRL;
  char *raw_response = nullptr;
  int value = 0;
  int received = svc.recv_cb(svc.socketFD, &raw_response, &value);
  MallocText response(raw_response);
  if (received < 0 || !response) return KELU_X509_V_ERR_UNABLE_TO_GET_CRL;

  char *raw = nullptr;
  if (Get_SpecifiedStrFromStrData(response.get(), "<result>", "</result>", &raw) != 0)
    return KELU_X509_V_ERR_UNABLE_TO_GET_CRL;
  MallocText result(raw);
  if (std::strcmp(result.get(), "1001") != 0) return KELU_X509_V_ERR_UNABLE_TO_GET_CRL;
  raw = nullptr;
  if (Get_SpecifiedStrFromStrData(response.get(), "<status>", "</status>", &raw) != 0)
    return KELU_X509_V_ERR_UNABLE_TO_GET_CRL;
  MallocText status(raw);
  if (std::strcmp(status.get(), "0001") == 0) return 0;
  if (std::strcmp(status.get(), "0000") == 0) return KELU_X509_V_ERR_CERT_REVOKED;
  return KELU_X509_V_ERR_UNABLE_TO_GET_CRL;
}

// The status of one certificate: 0 good, or the toolkit error of why it is not.
int CertificateStatus(const CrlServiceContext &svc, X509 *x) {
  if (x == nullptr || svc.send_cb == nullptr || svc.recv_cb == nullptr)
    return KELU_X509_V_ERR_UNABLE_TO_GET_CRL;
  DistPointsPtr dps(static_cast<STACK_OF(DIST_POINT) *>(
      X509_get_ext_d2i(x, NID_crl_distribution_points, nullptr, nullptr)));
  if (!dps) return KELU_X509_V_ERR_NO_CRL_DISTRIBUTION_POINT;
  std::vector<std::string> names;
  std::string sn;
  if (!DistributionPointNames(dps.get(), &names) || !SerialText(x, &sn))
    return KELU_X509_V_ERR_UNABLE_TO_GET_CRL;
  // Only the first name is asked about; without one there is no verdict.
  std::string name;
  if (names.empty() || !ServiceName(names.front(), &name))
    return KELU_X509_V_ERR_UNABLE_TO_GET_CRL;
  return AskService(svc, name, sn);
}

// A failed certificate: the errors are set and the verification callback decides, as for the
// library's own checks.
int FailCertificate(X509_STORE_CTX *ctx, CrlServiceContext *svc, int error) {
  svc->error = error;
  X509_STORE_CTX_set_error(ctx, error == KELU_X509_V_ERR_NO_CRL_DISTRIBUTION_POINT
                                    ? X509_V_ERR_UNABLE_TO_GET_CRL
                                    : error);
  X509_STORE_CTX_verify_cb verify_cb = X509_STORE_CTX_get_verify_cb(ctx);
  return verify_cb != nullptr ? verify_cb(0, ctx) : 0;
}

int CheckWithService(X509_STORE_CTX *ctx, CrlServiceContext *svc) {
  unsigned long flags = X509_VERIFY_PARAM_get_flags(X509_STORE_CTX_get0_param(ctx));
  if ((flags & X509_V_FLAG_CRL_CHECK) == 0) return 1;
  STACK_OF(X509) *chain = X509_STORE_CTX_get0_chain(ctx);
  int last = 0;
  if ((flags & X509_V_FLAG_CRL_CHECK_ALL) != 0) {
    last = sk_X509_num(chain) - 1;
  } else if (X509_STORE_CTX_get0_parent_ctx(ctx) != nullptr) {
    return 1;
  }
  for (int i = 0; i <= last; ++i) {
    X509 *x = sk_X509_value(chain, i);
    X509_STORE_CTX_set_error_depth(ctx, i);
    X509_STORE_CTX_set_current_cert(ctx, x);
    int error = CertificateStatus(*svc, x);
    if (error == 0) continue;
    if (error != KELU_X509_V_ERR_CERT_REVOKED && svc->crl_service_soft_fail == 1) continue;
    if (FailCertificate(ctx, svc, error) == 0) return 0;
  }
  return 1;
}

bool SelfIssued(X509 *x) { return X509_check_issued(x, x) == X509_V_OK; }

// Follows the issuer path from start through the candidates, marking each issuer found;
// issued_by(subject, candidate) is the issued-by test. At most n steps, so that certificates
// that issue each other cannot make it loop.
template <class IssuedBy>
int FirstOffPath(STACK_OF(X509) *certs, X509 *start, IssuedBy issued_by) {
  int n = sk_X509_num(certs);
  if (n <= 0) return -1;
  std::unique_ptr<bool[]> marked(new (std::nothrow) bool[n]());
  if (!marked) {
    ERR_raise(ERR_LIB_X509, ERR_R_MALLOC_FAILURE);
    return -1;
  }
  marked[0] = true;
  X509 *current = start;
  for (int step = 0; step < n && current != nullptr && !SelfIssued(current); ++step) {
    int issuer = -1;
    for (int j = 0; j < n && issuer < 0; ++j) {
      X509 *candidate = sk_X509_value(certs, j);
      if (candidate != current && issued_by(current, candidate)) issuer = j;
    }
    if (issuer < 0) break;
    marked[issuer] = true;
    current = sk_X509_value(certs, issuer);
  }
  for (int i = 0; i < n; ++i)
    if (!marked[i]) return i;
  return -1;
}

}  // namespace

int InitVerifyContextWithCrlService(X509_STORE_CTX *pCtx, X509_STORE *pStore, X509 *pX509,
                                    STACK_OF(X509) *pUntrusted, unsigned long nToolkitFlags,
                                    CrlServiceContext *pService) {
  bool wanted = (nToolkitFlags & KELU_X509_V_FLAG_CRL_SERVICE) != 0;
  if (pCtx == nullptr || pStore == nullptr || (wanted && pService == nullptr)) return 0;
  if (wanted) {
    // Contexts without a service fall back to the library's check: it must be known.
    if (X509_STORE_get_check_revocation(pStore) == nullptr) {
      if (LibraryCheckRevocation() == nullptr) return 0;
      X509_STORE_set_check_revocation(pStore, check_revocation_use_local_LDAP);
    }
  }
  if (X509_STORE_CTX_init(pCtx, pStore, pX509, pUntrusted) != 1) return 0;
  // A store with a revocation check of its own keeps it.
  if (!wanted || X509_STORE_CTX_get_check_revocation(pCtx) != check_revocation_use_local_LDAP)
    return 1;
  int index = ServiceIndex();
  if (index < 0 || X509_STORE_CTX_set_ex_data(pCtx, index, pService) != 1) return 0;
  pService->error = 0;
  return 1;
}

int check_revocation_use_local_LDAP(X509_STORE_CTX *pCtx) {
  CrlServiceContext *svc = AttachedService(pCtx);
  if (svc == nullptr) {
    X509_STORE_CTX_check_revocation_fn library = LibraryCheckRevocation();
    return library != nullptr ? library(pCtx) : 0;
  }
  try {
    return CheckWithService(pCtx, svc);
  } catch (...) {  // out of memory: no exception may reach the library
    X509_STORE_CTX_set_error(pCtx, X509_V_ERR_UNABLE_TO_GET_CRL);
    svc->error = KELU_X509_V_ERR_UNABLE_TO_GET_CRL;
    return 0;
  }
}

int X509_Reverse_CRLDN_Order(char *pszDN) {
  if (pszDN == nullptr) return -1;
  size_t length = std::strlen(pszDN);
  std::unique_ptr<char[]> reversed(new (std::nothrow) char[length + 1]());
  if (!reversed) return -1;
  // Walk the components from the last to the first, copying each with its separators.
  size_t out = 0;
  bool any = false;
  size_t end = length;
  while (true) {
    size_t start = end;
    while (start > 0 && pszDN[start - 1] != ',') --start;
    if (end > start) any = true;
    std::memcpy(reversed.get() + out, pszDN + start, end - start);
    out += end - start;
    if (start == 0) break;
    reversed[out++] = ',';
    end = start - 1;
  }
  if (!any) return -1;
  std::memcpy(pszDN, reversed.get(), length);
  return 0;
}

int Get_SpecifiedStrFromStrData(const char *pszData, const char *pszBegin, const char *pszEnd,
                                char **ppszOut) {
  if (pszData == nullptr || pszBegin == nullptr || pszEnd == nullptr || ppszOut == nullptr)
    return -1;
  const char *begin = std::strstr(pszData, pszBegin);
  if (begin == nullptr) return -1;
  begin += std::strlen(pszBegin);
  const char *end = std::strstr(begin, pszEnd);
  if (end == nullptr) return -1;
  size_t n = static_cast<size_t>(end - begin);
  char *copy = static_cast<char *>(std::malloc(n + 1));
  if (copy == nullptr) return -1;
  std::memcpy(copy, begin, n);
  copy[n] = '\0';
  *ppszOut = copy;
  return 0;
}

int GetX509Name(const X509_NAME *pName, std::string *pText) {
  if (pName == nullptr || pText == nullptr) return 0;
  std::string text;
  for (int i = X509_NAME_entry_count(pName) - 1; i >= 0; --i) {
    const X509_NAME_ENTRY *entry = X509_NAME_get_entry(pName, i);
    const char *sn = OBJ_nid2sn(OBJ_obj2nid(X509_NAME_ENTRY_get_object(entry)));
    if (sn == nullptr) return 0;
    unsigned char *value = nullptr;
    int n = ASN1_STRING_to_UTF8(&value, X509_NAME_ENTRY_get_data(entry));
    if (n < 0) return 0;
    if (!text.empty()) text += ',';
    text += sn;
    text += '=';
    text.append(reinterpret_cast<const char *>(value), static_cast<size_t>(n));
    OPENSSL_free(value);
  }
  *pText = std::move(text);
  return 1;
}

int GetGeneralName(const GENERAL_NAME *pName, std::string *pText) {
  if (pName == nullptr || pText == nullptr) return 0;
  pText->clear();
  if (pName->type == GEN_DIRNAME) return GetX509Name(pName->d.directoryName, pText);
  if (pName->type == GEN_URI) {
    const ASN1_IA5STRING *uri = pName->d.uniformResourceIdentifier;
    const char *data = reinterpret_cast<const char *>(ASN1_STRING_get0_data(uri));
    size_t n = static_cast<size_t>(ASN1_STRING_length(uri));
    // A URI with a NUL inside would be cut short on its way to the service.
    if (data != nullptr && n >= 4 && std::strncmp(data, "ldap", 4) == 0 &&
        std::memchr(data, '\0', n) == nullptr)
      pText->assign(data, n);
  }
  return 1;
}

int GetGeneralNames(const GENERAL_NAMES *pNames, std::vector<std::string> *pTexts) {
  if (pTexts == nullptr) return 0;
  for (int i = 0; i < sk_GENERAL_NAME_num(pNames); ++i) {
    std::string text;
    if (GetGeneralName(sk_GENERAL_NAME_value(pNames, i), &text) != 1) return 0;
    pTexts->push_back(std::move(text));
  }
  return 1;
}

int GetDP(const DIST_POINT_NAME *pName, std::vector<std::string> *pTexts) {
  if (pTexts == nullptr) return 0;
  if (pName == nullptr || pName->type != 0) return 1;  // absent or a relative name
  return GetGeneralNames(pName->name.fullname, pTexts);
}

int st_x509_get_enc_cert_index(STACK_OF(X509) *pCerts) {
  if (pCerts == nullptr) {
    ERR_raise(ERR_LIB_X509, ERR_R_MALLOC_FAILURE);
    return -1;
  }
  return FirstOffPath(pCerts, sk_X509_value(pCerts, 0), [](X509 *subject, X509 *candidate) {
    return X509_check_issued(candidate, subject) == X509_V_OK;
  });
}

int x509_get_enc_cert_index(X509_STORE_CTX *pCtx) {
  if (pCtx == nullptr) return -1;
  X509_STORE_CTX_check_issued_fn check_issued = X509_STORE_CTX_get_check_issued(pCtx);
  if (check_issued == nullptr) return -1;
  return FirstOffPath(X509_STORE_CTX_get0_untrusted(pCtx), X509_STORE_CTX_get0_cert(pCtx),
                      [pCtx, check_issued](X509 *subject, X509 *candidate) {
                        return check_issued(pCtx, subject, candidate) == 1;
                      });
}

}  // namespace kelu

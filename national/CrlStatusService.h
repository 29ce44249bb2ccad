/* CRL-status service: a revocation check for the crypto library's chain verification that asks
 * an outside service instead of looking certificates up in CRLs. For each certificate it sends
 * an XML request with the certificate's CRL distribution point (as a distinguished name) and
 * serial number through a caller-supplied send callback and reads the verdict through a
 * receive callback.
 *
 * OpenSSL 3.0 has no room for the callbacks in its verification structures, and its flag
 * 0x10000 and error 55 mean other things, so the check is attached through the toolkit's own
 * set-up (InitVerifyContextWithCrlService) and its values stay in the toolkit's interface. */
#ifndef KELU_CRL_STATUS_SERVICE_H
#define KELU_CRL_STATUS_SERVICE_H

#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <string>
#include <vector>

namespace kelu {

// Toolkit verification flag that attaches the service (never passed to the library).
constexpr unsigned long KELU_X509_V_FLAG_CRL_SERVICE = 0x10000;
// Toolkit verification errors the service reports in its context. 3 and 23 are also the
// library's "unable to get certificate CRL" and "certificate revoked"; for 55 the library's
// context gets 3.
constexpr int KELU_X509_V_ERR_UNABLE_TO_GET_CRL = 3;
constexpr int KELU_X509_V_ERR_CERT_REVOKED = 23;
constexpr int KELU_X509_V_ERR_NO_CRL_DISTRIBUTION_POINT = 55;

// Sends one request; negative on failure.
using CrlServiceSendCb = int (*)(int socketFD, const char *pszRequest, int nRequestLen);
// Receives one response as a NUL-terminated text allocated with malloc (the check frees it)
// and a second value of the callback's own; negative on failure.
using CrlServiceRecvCb = int (*)(int socketFD, char **ppszResponse, int *pnValue);

// The caller's service settings; it must outlive every verification it is attached to.
struct CrlServiceContext {
  CrlServiceSendCb send_cb = nullptr;
  CrlServiceRecvCb recv_cb = nullptr;
  // 1: a certificate whose status cannot be obtained passes; any other value: it fails.
  int crl_service_soft_fail = 0;
  // Passed as the socket argument of both callbacks.
  int socketFD = -1;
  // Out: the toolkit error of the certificate that failed (0 while none did).
  int error = 0;
};

// The toolkit's verification set-up: X509_STORE_CTX_init, and when nToolkitFlags carries
// KELU_X509_V_FLAG_CRL_SERVICE and the store brings no revocation check of its own, the
// CRL-status check with pService in place of the library's CRL check. The check runs only
// when the context's parameters carry X509_V_FLAG_CRL_CHECK (the whole chain with
// X509_V_FLAG_CRL_CHECK_ALL). Installing the check leaves it on the store, where contexts
// without a service keep the library's own CRL check. 1 on success, 0 on failure (also for a
// null pService with the flag set).
int InitVerifyContextWithCrlService(X509_STORE_CTX *pCtx, X509_STORE *pStore, X509 *pX509,
                                    STACK_OF(X509) *pUntrusted, unsigned long nToolkitFlags,
                                    CrlServiceContext *pService);

// The revocation check: 1 when every checked certificate passed, 0 when one failed (the
// context's error and the service's error then set).
int check_revocation_use_local_LDAP(X509_STORE_CTX *pCtx);

// Reverses in place the order of the comma-separated components (C=CN,O=A,CN=B becomes
// CN=B,O=A,C=CN); components are not trimmed. 0, or -1 for a null text or a text without any
// non-empty component.
int X509_Reverse_CRLDN_Order(char *pszDN);

// A malloc copy of the text between the first pszBegin and the first pszEnd after it. 0, or
// -1 when an argument is null or a marker is missing.
int Get_SpecifiedStrFromStrData(const char *pszData, const char *pszBegin, const char *pszEnd,
                                char **ppszOut);

// "SN=value" for each entry from the last to the first, joined by ","; 1, or 0 when an entry
// has no short name or its value does not convert to UTF-8.
int GetX509Name(const X509_NAME *pName, std::string *pText);
// A directory name through GetX509Name; a URI beginning with "ldap" unchanged; any other name
// as an empty text. 1 on success.
int GetGeneralName(const GENERAL_NAME *pName, std::string *pText);
// The text of each name, in order (one per name, never run together). 1, or 0 on a failure.
int GetGeneralNames(const GENERAL_NAMES *pNames, std::vector<std::string> *pTexts);
// GetGeneralNames of a full name; a relative name gives no text. 1, or 0 on a failure.
int GetDP(const DIST_POINT_NAME *pName, std::vector<std::string> *pTexts);

// The index of the first certificate of the stack that is not on the issuer path of its first
// certificate (the second, encryption certificate of a peer), or -1.
int st_x509_get_enc_cert_index(STACK_OF(X509) *pCerts);
// The same over the context's untrusted chain, starting from the context's certificate and
// with the context's own issued-by test.
int x509_get_enc_cert_index(X509_STORE_CTX *pCtx);

}  // namespace kelu

#endif

#include "CertificateOperations.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/pkcs7.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "ByteReader.h"
#include "KeluErrors.h"
#include "Misc.h"
#include "OsslPtr.h"
#include "CertificateFields.h"
#include "SMHooks.h"
#include "kelu_zlog.h"

namespace kelu {

namespace {

static_assert(sizeof(time_t) == 8, "certificate times need a 64-bit time_t");

using TextPtr = std::unique_ptr<char[]>;
using Pkcs7Ptr = std::unique_ptr<PKCS7, Deleter<PKCS7_free>>;

// Library NID of the signature algorithm to the toolkit's identifier: SM2 with SM3 is 1204 in
// OpenSSL 3.0 and 924 in the toolkit. The identifier table's translation replaces this once it
// lands.
constexpr int kToolkitSM2WithSM3 = 924;
int ToolkitSignatureId(int library_nid) {
  return library_nid == NID_SM2_with_SM3 ? kToolkitSM2WithSM3 : library_nid;
}

// Hands a copy of n bytes out as a new[] NUL-terminated text.
bool CopyText(const unsigned char *bytes, size_t n, char **out) {
  char *text = new (std::nothrow) char[n + 1]();
  if (text == nullptr) return false;
  if (n != 0) std::memcpy(text, bytes, n);
  *out = text;
  return true;
}

// An ASN.1 string as UTF-8, released with OPENSSL_free.
struct Utf8Text {
  unsigned char *data = nullptr;
  int length = 0;
  explicit Utf8Text(const ASN1_STRING *s) { length = ASN1_STRING_to_UTF8(&data, s); }
  ~Utf8Text() { OPENSSL_free(data); }
  Utf8Text(const Utf8Text &) = delete;
  Utf8Text &operator=(const Utf8Text &) = delete;
};

// --- Certificate times ---

struct BrokenDownTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  int64_t offset = 0;  // seconds east of UTC
};

bool ReadNumber(ByteReader *r, size_t digits, int *out) {
  int value = 0;
  for (size_t i = 0; i < digits; ++i) {
    uint8_t c;
    if (!r->ReadU8(&c) || c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  *out = value;
  return true;
}

bool PeekU8(const ByteReader &r, uint8_t *out) {
  if (r.empty()) return false;
  *out = r.data()[0];
  return true;
}

bool IsLeapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeapYear(y) ? 29 : kDays[m - 1];
}

bool FieldsInRange(const BrokenDownTime &t) {
  return t.month >= 1 && t.month <= 12 && t.day >= 1 && t.day <= DaysInMonth(t.year, t.month) &&
         t.hour <= 23 && t.minute <= 59 && t.second <= 59;
}

// Days from 1970-01-01 to the given proleptic Gregorian date.
int64_t DaysFromCivil(int64_t y, int m, int d) {
  if (m <= 2) y -= 1;
  int64_t era = (y >= 0 ? y : y - 399) / 400;
  int64_t year_of_era = y - era * 400;
  int64_t month_from_march = m > 2 ? m - 3 : m + 9;
  int64_t day_of_year = (153 * month_from_march + 2) / 5 + d - 1;
  int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + day_of_era - 719468;
}

// Seconds (optional), a fraction (optional, digits skipped), then Z or +hhmm / -hhmm and
// nothing after it.
bool ReadSecondsAndZone(ByteReader *r, BrokenDownTime *t) {
  uint8_t c = 0;
  if (!PeekU8(*r, &c)) return false;
  if (c != 'Z' && c != '+' && c != '-') {
    if (!ReadNumber(r, 2, &t->second)) return false;
    if (PeekU8(*r, &c) && c == '.') {
      r->Skip(1);
      size_t fraction_digits = 0;
      while (PeekU8(*r, &c) && c >= '0' && c <= '9') {
        r->Skip(1);
        ++fraction_digits;
      }
      if (fraction_digits == 0) return false;
    }
  }
  if (!r->ReadU8(&c)) return false;
  if (c == 'Z') {
    t->offset = 0;
  } else if (c == '+' || c == '-') {
    int hh = 0, mm = 0;
    if (!ReadNumber(r, 2, &hh) || !ReadNumber(r, 2, &mm) || hh > 23 || mm > 59) return false;
    t->offset = (c == '+' ? 1 : -1) * (int64_t{hh} * 3600 + int64_t{mm} * 60);
  } else {
    return false;
  }
  return r->empty();
}

// --- Distinguished names ---

constexpr size_t kMaxDnText = 1023;

struct DnTexts {
  const char *read_step;     // the call that takes the name from the certificate
  const char *read_reason;
  const char *alloc_reason;
  const char *info_format;
};
const DnTexts kSubjectDn = {"X509_get_subject_name", "NULL == pX509Name", "!pszSubjectDN",
                            "Certificate subject DN:%s"};
const DnTexts kIssuerDn = {"X509_get_issuer_name", "NULL == pX509Name", "!pszIssuerDN",
                           "Certificate issuer DN:%s"};

// One "SN=value" pair, with ", " before it when it is not the first; false when a part is
// missing or the text would pass kMaxDnText.
int AppendNameEntry(const TraceSite &site, const X509_NAME_ENTRY *entry, bool first,
                    ByteWriter *w) {
  int nid = OBJ_obj2nid(X509_NAME_ENTRY_get_object(entry));
  if (nid == NID_undef) {
    TraceStepFailedOpenssl(site, "OBJ_obj2nid", KELU_ERR_FAILED, "NID_undef == nNID");
    return KELU_ERR_FAILED;
  }
  const char *short_name = OBJ_nid2sn(nid);
  if (short_name == nullptr) {
    TraceStepFailedOpenssl(site, "OBJ_nid2sn", KELU_ERR_FAILED,
                           "NULL == pszNameEntryShortName");
    return KELU_ERR_FAILED;
  }
  Utf8Text value(X509_NAME_ENTRY_get_data(entry));
  if (value.length <= 0) {
    TraceStepFailed(site, "ASN1_STRING_to_UTF8", KELU_ERR_FAILED, "nValueLength <= 0");
    return KELU_ERR_FAILED;
  }
  bool fits = (first || w->WriteBytes(", ", 2)) &&
              w->WriteBytes(short_name, std::strlen(short_name)) && w->WriteU8('=') &&
              w->WriteBytes(value.data, static_cast<size_t>(value.length));
  if (!fits) {
    TraceStepFailed(site, "Check buffer size", KELU_ERR_FAILED, "nBufferLeftBytes <= 1");
    return KELU_ERR_FAILED;
  }
  return KELU_OK;
}

int FormatDistinguishedName(const TraceSite &site, const X509_NAME *name, const DnTexts &texts,
                            char **ppszText, int *pnTextLen) {
  if (name == nullptr) {
    TraceStepFailedOpenssl(site, texts.read_step, KELU_ERR_FAILED, texts.read_reason);
    return KELU_ERR_FAILED;
  }
  int entries = X509_NAME_entry_count(name);
  if (entries <= 0) {
    TraceStepFailedOpenssl(site, "X509_NAME_entry_count", KELU_ERR_FAILED, "nEntryNum <= 0");
    return KELU_ERR_FAILED;
  }
  TextPtr text(new (std::nothrow) char[kMaxDnText + 2]());
  if (!text) {
    TraceStepFailed(site, "New memory", KELU_ERR_FAILED, texts.alloc_reason);
    return KELU_ERR_FAILED;
  }
  ByteWriter w(reinterpret_cast<uint8_t *>(text.get()), kMaxDnText);
  for (int i = entries - 1; i >= 0; --i) {
    const X509_NAME_ENTRY *entry = X509_NAME_get_entry(name, i);
    if (entry == nullptr) {
      TraceStepFailedOpenssl(site, "X509_NAME_get_entry", KELU_ERR_FAILED,
                             "NULL == pNameEntry");
      return KELU_ERR_FAILED;
    }
    int nResult = AppendNameEntry(site, entry, i == entries - 1, &w);
    if (nResult != KELU_OK) return nResult;
  }
  TRACE(KELU_TRACE_INFO, texts.info_format, text.get());
  if (pnTextLen != nullptr) *pnTextLen = static_cast<int>(w.written());
  *ppszText = text.release();
  return KELU_OK;
}

// --- Verification ---

time_t SystemClock(time_t *t) { return std::time(t); }
std::atomic<CertVerifyClock> g_CertVerifyClock{SystemClock};

int ReadValidityBound(const TraceSite &site, const ASN1_TIME *bound, const char *step,
                      const char *info_format, time_t *out) {
  if (bound == nullptr) {
    TraceStepFailedOpenssl(site, step, KELU_ERR_FAILED, "NULL == pASN1Time");
    return KELU_ERR_FAILED;
  }
  TraceStepOK(site, step);
  time_t t = 0;
  int rc = ASN1_TIME_To_UTCTime(bound, &t);
  if (rc != KELU_OK) {
    TraceStepFailed(site, "ASN1_TIME_To_UTCTime", rc, "KELU_OK != nResult");
    return rc;
  }
  TraceStepOK(site, "ASN1_TIME_To_UTCTime");
  TRACE(KELU_TRACE_INFO, info_format, static_cast<long long>(t));
  *out = t;
  return KELU_OK;
}

// The step line of a check that called another routine of the system; returns its code.
int ReportCheck(const TraceSite &site, const char *step, int nResult) {
  if (nResult != KELU_OK)
    TraceStepFailed(site, step, nResult, "KELU_OK != nResult");
  else
    TraceStepOK(site, step);
  return nResult;
}

// A CRL from a stream: PEM first, else DER from the start of the stream.
X509_CRL *ReadCrl(BIO *bio) {
  ERR_set_mark();
  X509_CRL *crl = PEM_read_bio_X509_CRL(bio, nullptr, RefusePemPassword, nullptr);
  ERR_pop_to_mark();
  if (crl != nullptr) return crl;
  BIO_ctrl(bio, BIO_CTRL_RESET, 0, nullptr);
  return d2i_X509_CRL_bio(bio, nullptr);
}

int AddCertToStore(const TraceSite &site, X509_STORE *store, X509 *cert) {
  if (X509_STORE_add_cert(store, cert) != 1) {
    TraceStepFailedOpenssl(site, "X509_STORE_add_cert", KELU_ERR_FAILED, "1 != nResult");
    return KELU_ERR_FAILED;
  }
  TraceStepOK(site, "X509_STORE_add_cert");
  return KELU_OK;
}

// Every certificate of a certificates-only PKCS#7 bundle into the store.
int AddP7bToStore(const TraceSite &site, const unsigned char *der, int der_len,
                  const char *step, X509_STORE *store) {
  const unsigned char *p = der;
  Pkcs7Ptr p7(der_len > 0 ? d2i_PKCS7(nullptr, &p, der_len) : nullptr);
  if (!p7 || PKCS7_type_is_signed(p7.get()) == 0 || p7->d.sign == nullptr) {
    TraceStepFailedOpenssl(site, step, KELU_ERR_FAILED, "NULL == pP7b");
    return KELU_ERR_FAILED;
  }
  TraceStepOK(site, step);
  STACK_OF(X509) *certs = p7->d.sign->cert;
  for (int i = 0; i < sk_X509_num(certs); ++i) {
    int nResult = AddCertToStore(site, store, sk_X509_value(certs, i));
    if (nResult != KELU_OK) return nResult;
  }
  return KELU_OK;
}

}  // namespace

// ===== PKCS#12 files and certificate reading =====

int ParsePFXFile(FILE *fpPFXFile, const char *pszPFXPwd, EVP_PKEY **ppPrivateKey,
                 X509 **ppX509Cert, STACK_OF(X509) **ppCACerts) {
  if (fpPFXFile == nullptr) {
    TraceStepFailed(KELU_HERE, "d2i_PKCS12_fp", KELU_ERR_FAILED, "NULL == fpPFXFile");
    return KELU_ERR_FAILED;
  }
  Pkcs12Ptr p12(d2i_PKCS12_fp(fpPFXFile, nullptr));
  if (!p12) {
    TraceStepFailedOpenssl(KELU_HERE, "d2i_PKCS12_fp", KELU_ERR_FAILED, "NULL == pPKCS12");
    return KELU_ERR_FAILED;
  }
  TraceStepOK(KELU_HERE, "d2i_PKCS12_fp");
  if (PKCS12_verify_mac(p12.get(), pszPFXPwd, -1) != 1) {
    TraceStepFailedOpenssl(KELU_HERE, "PKCS12_verify_mac", KELU_ERR_FAILED, "0 == nResult");
    return KELU_ERR_FAILED;
  }
  TraceStepOK(KELU_HERE, "PKCS12_verify_mac");

  // Always all three: the library hands out the certificate only together with its key.
  EVP_PKEY *raw_key = nullptr;
  X509 *raw_cert = nullptr;
  STACK_OF(X509) *raw_ca = nullptr;
  if (PKCS12_parse(p12.get(), pszPFXPwd, &raw_key, &raw_cert, &raw_ca) != 1) {
    TraceStepFailedOpenssl(KELU_HERE, "PKCS12_parse", KELU_ERR_PARSE, "0 == nResult");
    return KELU_ERR_PARSE;
  }
  TraceStepOK(KELU_HERE, "PKCS12_parse");
  EvpPkeyPtr key(raw_key);
  X509Ptr cert(raw_cert);
  X509StackPtr ca(raw_ca);
  // Without a key the library files every certificate under the CA list.
  if (!key && !cert && sk_X509_num(ca.get()) > 0) cert.reset(sk_X509_shift(ca.get()));

  if (ppPrivateKey != nullptr) *ppPrivateKey = key.release();
  if (ppX509Cert != nullptr) *ppX509Cert = cert.release();
  if (ppCACerts != nullptr) *ppCACerts = ca.release();
  return KELU_OK;
}

int ConvertCertDataToX509(const unsigned char *pbyCertData, int nCertDataSize,
                          X509 **ppX509Cert) {
  return ReadX509FromCertBytes(KELU_HERE, pbyCertData, nCertDataSize, ppX509Cert);
}

int ASN1_TIME_To_UTCTime(const ASN1_TIME *pASN1Time, time_t *ptUTCTime) {
  if (ptUTCTime != nullptr) *ptUTCTime = 0;
  if (pASN1Time == nullptr || ptUTCTime == nullptr) {
    TraceStepFailed(KELU_HERE, "Check parameter", KELU_ERR_FAILED,
                    "NULL == pASN1Time || NULL == ptUTCTime");
    return KELU_ERR_FAILED;
  }
  int length = ASN1_STRING_length(pASN1Time);
  const unsigned char *data = ASN1_STRING_get0_data(pASN1Time);
  bool utc = ASN1_STRING_type(pASN1Time) == V_ASN1_UTCTIME;
  if (data == nullptr) length = 0;
  if (utc && (length < 11 || length > 17)) {
    TraceStepFailed(KELU_HERE, "Check ASN1TIME length.", KELU_ERR_FAILED,
                    "((nASN1TimeLength < 11) || (nASN1TimeLength > 17))");
    return KELU_ERR_FAILED;
  }
  if (!utc && length < 13) {
    TraceStepFailed(KELU_HERE, "Check ASN1TIME format.", KELU_ERR_FAILED,
                    "nASN1TimeLength < 13");
    return KELU_ERR_FAILED;
  }
  TraceStepOK(KELU_HERE, "Check ASN1TIME length.");
  int date_length = utc ? 10 : 12;
  TRACE(KELU_TRACE_INFO, "%s",
        utc ? "ASN1TIME type:V_ASN1_UTCTIME" : "ASN1TIME type:V_ASN1_GENERALIZEDTIME");
  TRACE(KELU_TRACE_INFO, "ASN1TIME value:%.*s", date_length, reinterpret_cast<const char *>(data));

  ByteReader r(data, static_cast<size_t>(length));
  BrokenDownTime t;
  bool digits = ReadNumber(&r, utc ? 2 : 4, &t.year) && ReadNumber(&r, 2, &t.month) &&
                ReadNumber(&r, 2, &t.day) && ReadNumber(&r, 2, &t.hour) &&
                ReadNumber(&r, 2, &t.minute);
  if (!digits) {
    TraceStepFailed(KELU_HERE, "Check ASN1TIME format.", KELU_ERR_FAILED,
                    "date and time are not all digits");
    return KELU_ERR_FAILED;
  }
  if (utc) t.year += t.year <= 49 ? 2000 : 1900;
  if (!ReadSecondsAndZone(&r, &t)) {
    TraceStepFailed(KELU_HERE, "Check ASN1TIME format.", KELU_ERR_FAILED, "true");
    return KELU_ERR_FAILED;
  }
  TRACE(KELU_TRACE_INFO, "Broken-down time: %04d/%02d/%02d %02d:%02d:%02d", t.year, t.month,
        t.day, t.hour, t.minute, t.second);
  if (!FieldsInRange(t)) {
    TraceStepFailed(KELU_HERE, "Check ASN1TIME fields.", KELU_ERR_FAILED,
                    "field out of range");
    return KELU_ERR_FAILED;
  }
  TraceStepOK(KELU_HERE, "Check ASN1TIME format.");
  int64_t seconds = DaysFromCivil(t.year, t.month, t.day) * 86400 + int64_t{t.hour} * 3600 +
                    int64_t{t.minute} * 60 + t.second - t.offset;
  *ptUTCTime = static_cast<time_t>(seconds);
  return KELU_OK;
}

int GetX509CertType(X509 *pX509, int *pnCertType) {
  if (pnCertType != nullptr) *pnCertType = 0;
  if (pX509 == nullptr || pnCertType == nullptr) {
    TraceStepFailed(KELU_HERE, "Check parameter", KELU_ERR_FAILED,
                    "NULL == pX509 || NULL == pnCertType");
    return KELU_ERR_FAILED;
  }
  int library_nid = X509_get_signature_nid(pX509);
  if (library_nid == NID_undef) {
    TraceStepFailedOpenssl(KELU_HERE, "X509_get_signature_nid", KELU_ERR_FAILED,
                           "NID_undef == nSigAlgNID");
    return KELU_ERR_FAILED;
  }
  int nid = ToolkitSignatureId(library_nid);
  TRACE(KELU_TRACE_INFO, "Certificate signature algorithm NID:%d", nid);
  switch (nid) {
    case NID_sha1WithRSAEncryption:
    case NID_sha1WithRSA:
    case NID_sha256WithRSAEncryption:
    case NID_sha384WithRSAEncryption:
    case NID_sha512WithRSAEncryption:
      TRACE(KELU_TRACE_INFO, "Certificate type:RSA");
      *pnCertType = CERT_TYPE_RSA;
      return KELU_OK;
    case kToolkitSM2WithSM3:
      TRACE(KELU_TRACE_INFO, "Certificate type:SM2");
      *pnCertType = CERT_TYPE_SM2;
      return KELU_OK;
    default:
      TraceStepFailed(KELU_HERE, "Unsupported certificate signature algorithm",
                      KELU_ERR_FAILED, "true");
      return KELU_ERR_FAILED;
  }
}

int GetX509SubjectCN(X509 *pX509, char **ppszSubjectCN, int *pnSubjectCNLen) {
  if (pX509 == nullptr || ppszSubjectCN == nullptr || pnSubjectCNLen == nullptr) {
    TraceStepFailed(KELU_HERE, "Check parameter", KELU_ERR_FAILED,
                    "NULL == pX509 || NULL == ppszSubjectCN || NULL == pnSubjectCNLen");
    return KELU_ERR_FAILED;
  }
  const X509_NAME *name = X509_get_subject_name(pX509);
  if (name == nullptr) {
    TraceStepFailedOpenssl(KELU_HERE, "X509_get_subject_name", KELU_ERR_FAILED,
                           "NULL == pX509Name");
    return KELU_ERR_FAILED;
  }
  int index = X509_NAME_get_index_by_NID(name, NID_commonName, -1);
  if (index < 0) {
    TraceStepFailedOpenssl(KELU_HERE, "X509_NAME_get_index_by_NID", KELU_ERR_FAILED,
                           "-1 == nCNIndex");
    return KELU_ERR_FAILED;
  }
  const X509_NAME_ENTRY *entry = X509_NAME_get_entry(name, index);
  if (entry == nullptr) {
    TraceStepFailedOpenssl(KELU_HERE, "X509_NAME_get_entry", KELU_ERR_FAILED,
                           "NULL == pNameEntry");
    return KELU_ERR_FAILED;
  }
  Utf8Text value(X509_NAME_ENTRY_get_data(entry));
  if (value.length <= 0) {
    TraceStepFailed(KELU_HERE, "ASN1_STRING_to_UTF8", KELU_ERR_FAILED, "nSubjectCNLen <= 0");
    return KELU_ERR_FAILED;
  }
  char *text = nullptr;
  if (!CopyText(value.data, static_cast<size_t>(value.length), &text)) {
    TraceStepFailed(KELU_HERE, "New memory", KELU_ERR_FAILED, "!pszSubjectCN");
    return KELU_ERR_FAILED;
  }
  TRACE(KELU_TRACE_INFO, "Certificate subject CN:%s", text);
  *ppszSubjectCN = text;
  *pnSubjectCNLen = value.length;
  return KELU_OK;
}

int GetX509SubjectDN(X509 *pX509, char **ppszSubjectDN, int *pnSubjectDNLen) {
  if (pX509 == nullptr || ppszSubjectDN == nullptr) {
    TraceStepFailed(KELU_HERE, "Check parameter", KELU_ERR_FAILED,
                    "NULL == pX509 || NULL == ppszSubjectDN");
    return KELU_ERR_FAILED;
  }
  return FormatDistinguishedName(KELU_HERE, X509_get_subject_name(pX509), kSubjectDn,
                                 ppszSubjectDN, pnSubjectDNLen);
}

int GetX509IssuerDN(X509 *pX509, char **ppszIssuerDN, int *pnIssuerDNLen) {
  if (pX509 == nullptr || ppszIssuerDN == nullptr) {
    TraceStepFailed(KELU_HERE, "Check parameter", KELU_ERR_FAILED,
                    "NULL == pX509 || NULL == ppszIssuerDN");
    return KELU_ERR_FAILED;
  }
  return FormatDistinguishedName(KELU_HERE, X509_get_issuer_name(pX509), kIssuerDn,
                                 ppszIssuerDN, pnIssuerDNLen);
}

int GetX509NotBefore(X509 *pX509, time_t *ptNotBefore) {
  if (pX509 == nullptr || ptNotBefore == nullptr) {
    TraceStepFailed(KELU_HERE, "X509_get_notBefore", KELU_ERR_FAILED,
                    "NULL == pX509 || NULL == ptNotBefore");
    return KELU_ERR_FAILED;
  }
  return ReadValidityBound(KELU_HERE, X509_get0_notBefore(pX509), "X509_get_notBefore",
                           "Certificate validity not before(time_t):%lld", ptNotBefore);
}

int GetX509NotAfter(X509 *pX509, time_t *ptNotAfter) {
  if (pX509 == nullptr || ptNotAfter == nullptr) {
    TraceStepFailed(KELU_HERE, "X509_get_notAfter", KELU_ERR_FAILED,
                    "NULL == pX509 || NULL == ptNotAfter");
    return KELU_ERR_FAILED;
  }
  return ReadValidityBound(KELU_HERE, X509_get0_notAfter(pX509), "X509_get_notAfter",
                           "Certificate validity not after(time_t):%lld", ptNotAfter);
}

int GetX509SerialNumber(X509 *pX509, char **ppszSerialNumber, int *pnSerialNumberLen) {
  if (pX509 == nullptr || ppszSerialNumber == nullptr) {
    TraceStepFailed(KELU_HERE, "Check parameter", KELU_ERR_FAILED,
                    "NULL == pX509 || NULL == ppszSerialNumber");
    return KELU_ERR_FAILED;
  }
  const ASN1_INTEGER *serial = X509_get0_serialNumber(pX509);
  if (serial == nullptr) {
    TraceStepFailedOpenssl(KELU_HERE, "X509_get_serialNumber", KELU_ERR_FAILED,
                           "NULL == pASN1_INTEGER");
    return KELU_ERR_FAILED;
  }
  BignumPtr bn(ASN1_INTEGER_to_BN(serial, nullptr));
  if (!bn) {
    TraceStepFailedOpenssl(KELU_HERE, "ASN1_INTEGER_to_BN", KELU_ERR_FAILED, "NULL == pBN");
    return KELU_ERR_FAILED;
  }
  int magnitude_len = BN_num_bytes(bn.get());
  std::unique_ptr<unsigned char[]> bytes(new (std::nothrow)
                                             unsigned char[magnitude_len + 1]());
  if (!bytes) {
    TraceStepFailed(KELU_HERE, "New memory", KELU_ERR_FAILED, "!pbySNBuffer");
    return KELU_ERR_FAILED;
  }
  if (magnitude_len == 0 || BN_bn2bin(bn.get(), bytes.get() + 1) != magnitude_len) {
    TraceStepFailedOpenssl(KELU_HERE, "BN_bn2bin", KELU_ERR_FAILED, "0 == nSerialNumberLen");
    return KELU_ERR_FAILED;
  }
  // As in the DER content of a positive INTEGER: 00 in front of a first byte >= 0x80.
  bool lead_zero = (bytes[1] & 0x80) != 0;
  const unsigned char *start = lead_zero ? bytes.get() : bytes.get() + 1;
  int shown_len = magnitude_len + (lead_zero ? 1 : 0);
  char *text = nullptr;
  int rc = ConvertBinaryDataToString(start, shown_len, &text, false);
  if (rc != KELU_OK) {
    TraceStepFailed(KELU_HERE, "ConvertBinaryDataToString", rc, "KELU_OK != nResult");
    return rc;
  }
  TRACE(KELU_TRACE_INFO, "Certificate serial number:%s", text);
  *ppszSerialNumber = text;
  if (pnSerialNumberLen != nullptr) *pnSerialNumberLen = 2 * shown_len;
  return KELU_OK;
}

int GetX509SubjectKeyID(X509 *pX509, char **ppszSubjectKeyID, int *pnSubjectKeyIDLen) {
  if (pX509 == nullptr || ppszSubjectKeyID == nullptr) {
    TraceStepFailed(KELU_HERE, "Check parameter", KELU_ERR_FAILED,
                    "NULL == pX509 || NULL == ppszSubjectKeyID");
    return KELU_ERR_FAILED;
  }
  const ASN1_OCTET_STRING *id = FindSubjectKeyID(KELU_HERE, pX509);
  if (id == nullptr) return KELU_ERR_FAILED;
  int id_len = ASN1_STRING_length(id);
  char *text = nullptr;
  int rc = ConvertBinaryDataToString(ASN1_STRING_get0_data(id), id_len, &text, false);
  if (rc != KELU_OK) {
    TraceStepFailed(KELU_HERE, "ConvertBinaryDataToString", rc, "KELU_OK != nResult");
    return rc;
  }
  TRACE(KELU_TRACE_INFO, "Certificate Subject Key ID:%s", text);
  *ppszSubjectKeyID = text;
  if (pnSubjectKeyIDLen != nullptr) *pnSubjectKeyIDLen = 2 * id_len;
  return KELU_OK;
}

int GetX509CertAlg(X509 *pX509, char **ppszCertAlg) {
  const X509_ALGOR *alg = nullptr;
  if (pX509 != nullptr) X509_get0_signature(nullptr, &alg, pX509);
  if (alg == nullptr) {
    TraceStepFailed(KELU_HERE, "X509_get0_signature", KELU_ERR_FAILED, "NULL == pX509SigAlg");
    return KELU_ERR_FAILED;
  }
  const ASN1_OBJECT *oid = nullptr;
  X509_ALGOR_get0(&oid, nullptr, nullptr, alg);
  char dotted[512] = {0};
  int len = oid != nullptr ? OBJ_obj2txt(dotted, sizeof dotted, oid, 1) : 0;
  if (len <= 0 || static_cast<size_t>(len) >= sizeof dotted) {
    TraceStepFailed(KELU_HERE, "OBJ_obj2txt(sig_alg->algorithm)", KELU_ERR_FAILED,
                    "0 == nAlgOIDLen");
    return KELU_ERR_FAILED;
  }
  if (ppszCertAlg == nullptr) return KELU_OK;
  char *text = nullptr;
  if (!CopyText(reinterpret_cast<const unsigned char *>(dotted), static_cast<size_t>(len),
                &text)) {
    TraceStepFailed(KELU_HERE, "New memory", KELU_ERR_FAILED, "!pszCertAlg");
    return KELU_ERR_FAILED;
  }
  *ppszCertAlg = text;
  return KELU_OK;
}

// ===== Key-usage check =====

int CheckX509KeyUsage(X509 *pX509, unsigned int uiCheckBits, bool bAll) {
  // Makes the library decode and cache the extensions; purpose -1 checks nothing else.
  int nResult = pX509 != nullptr ? X509_check_purpose(pX509, -1, 0) : 0;
  if (nResult != 1) {
    TraceStepFailedOpenssl(KELU_HERE, "X509_check_purpose fill data", KELU_ERR_FAILED,
                           "1 != nResult");
    return KELU_ERR_FAILED;
  }
  TraceStepOK(KELU_HERE, "X509_check_purpose fill data");
  uint32_t uExtensionFlag = X509_get_extension_flags(pX509);
  TRACE(KELU_TRACE_INFO, "pX509->ex_flags(0x%08x)", uExtensionFlag);
  // Without a keyUsage extension the library reports every bit as set (0xFFFFFFFF).
  if ((uExtensionFlag & EXFLAG_KUSAGE) == 0) {
    TraceStepFailed(KELU_HERE, "pX509->ex_flags & EXFLAG_KUSAGE", KELU_ERR_KEY_USAGE,
                    "!(uExtensionFlag & EXFLAG_KUSAGE)");
    return KELU_ERR_KEY_USAGE;
  }
  TraceStepOK(KELU_HERE, "pX509->ex_flags & EXFLAG_KUSAGE");
  uint32_t usage = X509_get_key_usage(pX509);
  TRACE(KELU_TRACE_INFO, "pX509->ex_kusage(0x%08x)", usage);
  TRACE(KELU_TRACE_INFO, "uiCheckBits(0x%08x)", uiCheckBits);
  bool pass;
  if (bAll) {
    TRACE(KELU_TRACE_INFO, "All the check bits must be present.");
    pass = (usage & uiCheckBits) == uiCheckBits;
  } else {
    TRACE(KELU_TRACE_INFO, "One of the check bit present is OK.");
    pass = (usage & uiCheckBits) != 0;
  }
  if (!pass) {
    TraceStepFailed(KELU_HERE, "Check x509 key usage", KELU_ERR_KEY_USAGE, "0 == nResult");
    return KELU_ERR_KEY_USAGE;
  }
  TraceStepOK(KELU_HERE, "Check x509 key usage");
  return KELU_OK;
}

int CheckCertKeyUsage(const unsigned char *pbyCertData, int nCertDataSize,
                      unsigned int uiCheckBits, bool bAll) {
  X509 *raw = nullptr;
  if (ConvertCertDataToX509(pbyCertData, nCertDataSize, &raw) != KELU_OK) {
    TraceStepFailed(KELU_HERE, "ConvertCertDataToX509", KELU_ERR_FAILED, "NULL == pX509Cert");
    return KELU_ERR_FAILED;
  }
  X509Ptr cert(raw);
  int nResult = CheckX509KeyUsage(cert.get(), uiCheckBits, bAll);
  if (nResult != KELU_OK) {
    TraceStepFailed(KELU_HERE, "CheckX509KeyUsage", nResult, "KELU_OK != nResult");
    return nResult;
  }
  TraceStepOK(KELU_HERE, "CheckX509KeyUsage");
  return KELU_OK;
}

// ===== Verification =====

void SetCertVerifyClock(CertVerifyClock clock) {
  g_CertVerifyClock.store(clock != nullptr ? clock : SystemClock);
}

int VerifyCertTime(X509 *pX509) {
  time_t tCurrentTime = g_CertVerifyClock.load()(nullptr);
  if (tCurrentTime == static_cast<time_t>(-1)) {
    TraceStepFailed(KELU_HERE, "time", KELU_ERR_FAILED, "-1 == tCurrentTime");
    return KELU_ERR_FAILED;
  }
  TRACE(KELU_TRACE_INFO, "Current time(time_t):%lld", static_cast<long long>(tCurrentTime));
  time_t tNotBefore = 0, tNotAfter = 0;
  int nResult = GetX509NotBefore(pX509, &tNotBefore);
  if (nResult != KELU_OK) {
    TraceStepFailed(KELU_HERE, "GetX509NotBefore", nResult, "KELU_OK != nResult");
    return nResult;
  }
  if (tCurrentTime < tNotBefore) {
    TraceStepFailed(KELU_HERE, "Check certificate validity NotBefore", KELU_ERR_CERT_VALIDITY,
                    "(tCurrentTime < tNotBefore)");
    return KELU_ERR_CERT_VALIDITY;
  }
  TraceStepOK(KELU_HERE, "Check certificate validity NotBefore");
  nResult = GetX509NotAfter(pX509, &tNotAfter);
  if (nResult != KELU_OK) {
    TraceStepFailed(KELU_HERE, "GetX509NotAfter", nResult, "KELU_OK != nResult");
    return nResult;
  }
  if (tCurrentTime > tNotAfter) {
    TraceStepFailed(KELU_HERE, "Check certificate validity NotAfter", KELU_ERR_CERT_VALIDITY,
                    "(tCurrentTime > tNotAfter)");
    return KELU_ERR_CERT_VALIDITY;
  }
  TraceStepOK(KELU_HERE, "Check certificate validity NotAfter");
  return KELU_OK;
}

int VerifyCertCRL(FILE *fpCRL, X509 *pX509) {
  if (fpCRL == nullptr || pX509 == nullptr) {
    TraceStepFailed(KELU_HERE, "BIO_new_fp", KELU_ERR_FAILED,
                    "NULL == fpCRL || NULL == pX509");
    return KELU_ERR_FAILED;
  }
  BioPtr bio(BIO_new_fp(fpCRL, BIO_NOCLOSE));
  if (!bio) {
    TraceStepFailed(KELU_HERE, "BIO_new_fp", KELU_ERR_FAILED, "NULL == pBIO_CRL");
    return KELU_ERR_FAILED;
  }
  X509CrlPtr crl(ReadCrl(bio.get()));
  if (!crl) {
    TraceStepFailedOpenssl(KELU_HERE, "d2i_X509_CRL_bio", KELU_ERR_FAILED, "NULL == pX509CRL");
    return KELU_ERR_FAILED;
  }
  TraceStepOK(KELU_HERE, "d2i_X509_CRL_bio");
  // A CRL that revokes nothing has no list at all; the certificate is then not revoked.
  STACK_OF(X509_REVOKED) *pRevokedList = X509_CRL_get_REVOKED(crl.get());
  const ASN1_INTEGER *serial = X509_get0_serialNumber(pX509);
  for (int i = 0; i < sk_X509_REVOKED_num(pRevokedList); ++i) {
    const X509_REVOKED *entry = sk_X509_REVOKED_value(pRevokedList, i);
    if (ASN1_INTEGER_cmp(X509_REVOKED_get0_serialNumber(entry), serial) == 0) {
      TraceStepFailed(KELU_HERE, "Check the certificate is pRevoked?", KELU_ERR_CERT_REVOKED,
                      "true");
      return KELU_ERR_CERT_REVOKED;
    }
  }
  TraceStepOK(KELU_HERE, "Check the certificate is pRevoked?");
  return KELU_OK;
}

int LoadCertsToStore(std::vector<FILE *> vecTrustedCAFiles, X509_STORE **ppX509Store) {
  if (ppX509Store == nullptr) {
    TraceStepFailed(KELU_HERE, "X509_STORE_new", KELU_ERR_FAILED, "NULL == ppX509Store");
    return KELU_ERR_FAILED;
  }
  X509StorePtr store(X509_STORE_new());
  if (!store) {
    TraceStepFailedOpenssl(KELU_HERE, "X509_STORE_new", KELU_ERR_FAILED,
                           "NULL == pX509_Store");
    return KELU_ERR_FAILED;
  }
  for (FILE *file : vecTrustedCAFiles) {
    BioPtr bio(file != nullptr ? BIO_new_fp(file, BIO_NOCLOSE) : nullptr);
    if (!bio) {
      TraceStepFailedOpenssl(KELU_HERE, "BIO_new_fp", KELU_ERR_FAILED, "NULL == pBIO_Cert");
      return KELU_ERR_FAILED;
    }
    X509 *raw = nullptr;
    if (ReadX509FromBio(KELU_HERE, bio.get(), &raw) != KELU_OK) return KELU_ERR_FAILED;
    X509Ptr cert(raw);  // the store keeps a reference of its own
    if (AddCertToStore(KELU_HERE, store.get(), cert.get()) != KELU_OK) return KELU_ERR_FAILED;
  }
  *ppX509Store = store.release();
  return KELU_OK;
}

int LoadP7bToStore(const unsigned char *pbyRootP7b, int nRootP7bSize,
                   const unsigned char *pbyIntermediateP7b, int nIntermediateP7bSize,
                   X509_STORE **ppX509Store) {
  if (ppX509Store == nullptr) {
    TraceStepFailed(KELU_HERE, "X509_STORE_new", KELU_ERR_FAILED, "NULL == ppX509Store");
    return KELU_ERR_FAILED;
  }
  X509StorePtr store(X509_STORE_new());
  if (!store) {
    TraceStepFailedOpenssl(KELU_HERE, "X509_STORE_new", KELU_ERR_FAILED, "NULL == pX509Store");
    return KELU_ERR_FAILED;
  }
  if (pbyRootP7b != nullptr &&
      AddP7bToStore(KELU_HERE, pbyRootP7b, nRootP7bSize, "d2i_PKCS7(root)", store.get()) !=
          KELU_OK)
    return KELU_ERR_FAILED;
  if (pbyIntermediateP7b != nullptr &&
      AddP7bToStore(KELU_HERE, pbyIntermediateP7b, nIntermediateP7bSize,
                    "d2i_PKCS7(intermediate)", store.get()) != KELU_OK)
    return KELU_ERR_FAILED;
  *ppX509Store = store.release();
  return KELU_OK;
}

int VerifyCertChainByTrustedStore(X509_STORE *pX509Store, X509 *pX509) {
  if (pX509Store == nullptr || pX509 == nullptr) {
    TraceStepFailed(KELU_HERE, "X509_STORE_CTX_init", KELU_ERR_FAILED,
                    "NULL == pX509Store || NULL == pX509");
    return KELU_ERR_FAILED;
  }
  if (PrepareSM2ChainVerification(pX509Store, pX509) != 1) {
    TraceStepFailed(KELU_HERE, "PrepareSM2ChainVerification", KELU_ERR_FAILED, "1 != nResult");
    return KELU_ERR_FAILED;
  }
  X509StoreCtxPtr ctx(X509_STORE_CTX_new());
  if (!ctx) {
    TraceStepFailedOpenssl(KELU_HERE, "X509_STORE_CTX_new", KELU_ERR_FAILED,
                           "NULL == pX509StoreCtx");
    return KELU_ERR_FAILED;
  }
  if (X509_STORE_CTX_init(ctx.get(), pX509Store, pX509, nullptr) != 1) {
    TraceStepFailedOpenssl(KELU_HERE, "X509_STORE_CTX_init", KELU_ERR_FAILED, "1 != nResult");
    return KELU_ERR_FAILED;
  }
  TraceStepOK(KELU_HERE, "X509_STORE_CTX_init");
  if (X509_verify_cert(ctx.get()) == 1) {
    TraceStepOK(KELU_HERE, "X509_verify_cert");
    return KELU_OK;
  }
  int error = X509_STORE_CTX_get_error(ctx.get());
  TRACE(KELU_TRACE_INFO, "X509_verify_cert(ErrorCode:%d ErrorInfo:%s)", error,
        X509_verify_cert_error_string(error));
  int nResult = (error == X509_V_ERR_CERT_NOT_YET_VALID || error == X509_V_ERR_CERT_HAS_EXPIRED)
                    ? KELU_ERR_CERT_VALIDITY
                    : KELU_ERR_CERT_UNTRUSTED;
  TraceStepFailedOpenssl(KELU_HERE, "X509_verify_cert", nResult, "true");
  return nResult;
}

int VerifyCertChain(std::vector<FILE *> vecTrustedCAFiles, X509 *pX509) {
  X509_STORE *raw = nullptr;
  int nResult = LoadCertsToStore(vecTrustedCAFiles, &raw);
  if (nResult != KELU_OK) {
    TraceStepFailedOpenssl(KELU_HERE, "LoadCertsToStore", nResult, "KELU_OK != nResult");
    return nResult;
  }
  X509StorePtr store(raw);
  nResult = VerifyCertChainByTrustedStore(store.get(), pX509);
  if (nResult != KELU_OK) {
    TraceStepFailedOpenssl(KELU_HERE, "VerifyCertChainByTrustedStore", nResult,
                           "KELU_OK != nResult");
    return nResult;
  }
  TraceStepOK(KELU_HERE, "VerifyCertChainByTrustedStore");
  return KELU_OK;
}

int VerifyX509(X509 *pX509, unsigned int nCertVerifyFlag, FILE *fpCRL,
               std::vector<FILE *> vecTrustedCAFiles) {
  if (pX509 == nullptr) {
    TraceStepFailed(KELU_HERE, "Check parameter", KELU_ERR_FAILED, "NULL == pX509");
    return KELU_ERR_FAILED;
  }
  int nResult = KELU_OK;
  if ((nCertVerifyFlag & CERT_VERIFY_VALIDITY) != 0 &&
      (nResult = ReportCheck(KELU_HERE, "VerifyCertTime", VerifyCertTime(pX509))) != KELU_OK)
    return nResult;
  if ((nCertVerifyFlag & CERT_VERIFY_CRL) != 0 &&
      (nResult = ReportCheck(KELU_HERE, "VerifyCertCRL", VerifyCertCRL(fpCRL, pX509))) !=
          KELU_OK)
    return nResult;
  if ((nCertVerifyFlag & CERT_VERIFY_CHAIN) != 0 &&
      (nResult = ReportCheck(KELU_HERE, "VerifyCertChain",
                             VerifyCertChain(vecTrustedCAFiles, pX509))) != KELU_OK)
    return nResult;
  return KELU_OK;
}

int VerifyCertificate(const unsigned char *pbyCertData, int nCertDataSize,
                      unsigned int nCertVerifyFlag, FILE *fpCRL,
                      std::vector<FILE *> vecTrustedCAFiles) {
  X509 *raw = nullptr;
  int nResult = ConvertCertDataToX509(pbyCertData, nCertDataSize, &raw);
  if (nResult != KELU_OK) {
    TraceStepFailed(KELU_HERE, "ConvertCertDataToX509", nResult, "KELU_OK != nResult");
    return nResult;
  }
  X509Ptr cert(raw);
  nResult = VerifyX509(cert.get(), nCertVerifyFlag, fpCRL, vecTrustedCAFiles);
  if (nResult != KELU_OK) {
    TraceStepFailed(KELU_HERE, "VerifyX509", nResult, "KELU_OK != nResult");
    return nResult;
  }
  TraceStepOK(KELU_HERE, "VerifyX509");
  return KELU_OK;
}

}  // namespace kelu

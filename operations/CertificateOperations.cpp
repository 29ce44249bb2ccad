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
#include <vector>

#include "ByteReader.h"
#include "CertificateFields.h"
#include "DataSigning.h"
#include "KeluErrors.h"
#include "KeluLimits.h"
#include "Misc.h"
#include "NationalObjects.h"
#include "OperationSteps.h"
#include "OsslPtr.h"
#include "SM2Keys.h"
#include "SMHooks.h"
#include "SharedCertificates.h"
#include "kelu_zlog.h"

namespace kelu {

namespace {

static_assert(sizeof(time_t) == 8, "certificate times need a 64-bit time_t");

using TextPtr = std::unique_ptr<char[]>;
using Pkcs7Ptr = std::unique_ptr<PKCS7, Deleter<PKCS7_free>>;

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
  const char *read_step;  // the call that takes the name from the certificate
  const char *alloc_reason;
  const char *info_format;
};
const DnTexts kSubjectDn = {"X509_get_subject_name", "!pszSubjectDN",
                            "Certificate subject DN:%s"};
const DnTexts kIssuerDn = {"X509_get_issuer_name", "!pszIssuerDN", "Certificate issuer DN:%s"};

// One "SN=value" pair, with ", " before it when it is not the first; a failure when a part is
// missing or the text would pass kMaxDnText.
int AppendNameEntry(const TraceSite &site, const X509_NAME_ENTRY *entry, bool first,
                    ByteWriter *w) {
  int rc = TraceCheckOpenssl(site, entry != nullptr, "X509_NAME_get_entry", KELU_ERR_FAILED,
                             "NULL == pNameEntry");
  if (rc != KELU_OK) return rc;
  int nid = OBJ_obj2nid(X509_NAME_ENTRY_get_object(entry));
  rc = TraceCheckOpenssl(site, nid != NID_undef, "OBJ_obj2nid", KELU_ERR_FAILED,
                         "NID_undef == nNID");
  if (rc != KELU_OK) return rc;
  const char *short_name = OBJ_nid2sn(nid);
  rc = TraceCheckOpenssl(site, short_name != nullptr, "OBJ_nid2sn", KELU_ERR_FAILED,
                         "NULL == pszNameEntryShortName");
  if (rc != KELU_OK) return rc;
  Utf8Text value(X509_NAME_ENTRY_get_data(entry));
  rc = TraceCheck(site, value.length > 0, "ASN1_STRING_to_UTF8", KELU_ERR_FAILED,
                  "nValueLength <= 0");
  if (rc != KELU_OK) return rc;
  bool fits = (first || w->WriteBytes(", ", 2)) &&
              w->WriteBytes(short_name, std::strlen(short_name)) && w->WriteU8('=') &&
              w->WriteBytes(value.data, static_cast<size_t>(value.length));
  return TraceCheck(site, fits, "Check buffer size", KELU_ERR_FAILED,
                    "nBufferLeftBytes <= nValueLength");
}

int FormatDistinguishedName(const TraceSite &site, const X509_NAME *name, const DnTexts &texts,
                            char **ppszText, int *pnTextLen) {
  int rc = TraceCheckOpenssl(site, name != nullptr, texts.read_step, KELU_ERR_FAILED,
                             "NULL == pX509Name");
  if (rc != KELU_OK) return rc;
  int entries = X509_NAME_entry_count(name);
  rc = TraceCheckOpenssl(site, entries > 0, "X509_NAME_entry_count", KELU_ERR_FAILED,
                         "nEntryNum <= 0");
  if (rc != KELU_OK) return rc;
  TextPtr text(new (std::nothrow) char[kMaxDnText + 2]());
  rc = TraceCheck(site, text != nullptr, "New memory", KELU_ERR_FAILED, texts.alloc_reason);
  if (rc != KELU_OK) return rc;
  ByteWriter w(reinterpret_cast<uint8_t *>(text.get()), kMaxDnText);
  for (int i = entries - 1; i >= 0; --i) {
    rc = AppendNameEntry(site, X509_NAME_get_entry(name, i), i == entries - 1, &w);
    if (rc != KELU_OK) return rc;
  }
  TRACE(KELU_TRACE_INFO, texts.info_format, text.get());
  if (pnTextLen != nullptr) *pnTextLen = static_cast<int>(w.written());
  *ppszText = text.release();
  return KELU_OK;
}

// Hexadecimal text of bytes for a text output with an optional length.
int HandOutHex(const TraceSite &site, const unsigned char *bytes, int n, const char *info_format,
               char **ppszText, int *pnTextLen) {
  char *text = nullptr;
  int rc = ConvertBinaryDataToString(bytes, n, &text, false);
  rc = TraceCheck(site, rc == KELU_OK, "ConvertBinaryDataToString", rc, "KELU_OK != nResult");
  if (rc != KELU_OK) return rc;
  TRACE(KELU_TRACE_INFO, info_format, text);
  *ppszText = text;
  if (pnTextLen != nullptr) *pnTextLen = 2 * n;
  return KELU_OK;
}

// --- Verification ---

time_t SystemClock(time_t *t) { return std::time(t); }
std::atomic<CertVerifyClock> g_CertVerifyClock{SystemClock};

int ReadValidityBound(const TraceSite &site, const ASN1_TIME *bound, const char *step,
                      const char *info_format, time_t *out) {
  int rc = TraceCheckOpenssl(site, bound != nullptr, step, KELU_ERR_FAILED, "NULL == pASN1Time");
  if (rc != KELU_OK) return rc;
  time_t t = 0;
  rc = ASN1_TIME_To_UTCTime(bound, &t);
  rc = TraceCheck(site, rc == KELU_OK, "ASN1_TIME_To_UTCTime", rc, "KELU_OK != nResult");
  if (rc != KELU_OK) return rc;
  TRACE(KELU_TRACE_INFO, info_format, static_cast<long long>(t));
  *out = t;
  return KELU_OK;
}

// The step line of a call to another routine of the system; returns its code.
int ReportCall(const TraceSite &site, const char *step, int nResult) {
  return TraceCheck(site, nResult == KELU_OK, step, nResult, "KELU_OK != nResult");
}
int ReportCallOpenssl(const TraceSite &site, const char *step, int nResult) {
  return TraceCheckOpenssl(site, nResult == KELU_OK, step, nResult, "KELU_OK != nResult");
}

// The tbsCertList of a CRL as it was read (the library keeps the encoding it decoded).
bool SignedPartOfCrl(const TraceSite &site, const X509_CRL *crl, kelu::ops::BytesPtr *der,
                     const unsigned char **tbs, long *tbs_size) {
  int der_size = 0;
  if (kelu::ops::EncodeDer(site, i2d_X509_CRL, crl, "i2d_X509_CRL", "nDERCRLSize <= 0", der,
                           &der_size) != KELU_OK)
    return false;
  const unsigned char *p = der->get();
  long length = 0;
  int tag = 0, tag_class = 0;
  if ((ASN1_get_object(&p, &length, &tag, &tag_class, der_size) & 0x80) != 0) return false;
  const unsigned char *start = p;
  int inner = ASN1_get_object(&p, &length, &tag, &tag_class, der_size - (p - der->get()));
  if ((inner & 0x80) != 0 || tag != V_ASN1_SEQUENCE) return false;
  *tbs = start;
  *tbs_size = (p - start) + length;
  return true;
}

// SM2 CRLs are signed with the default user ID, which the library cannot set for a CRL: the
// toolkit's own SM2 verification checks them. Every other CRL: the library's.
bool CrlSignedByKeyOf(const TraceSite &site, X509_CRL *crl, X509 *ca) {
  EVP_PKEY *key = X509_get0_pubkey(ca);
  if (key == nullptr) return false;
  if (X509_CRL_get_signature_nid(crl) != NID_SM2_with_SM3) return X509_CRL_verify(crl, key) == 1;
  unsigned char x[32], y[32], e[32];
  kelu::ops::BytesPtr der;
  const unsigned char *tbs = nullptr;
  long tbs_size = 0;
  const ASN1_BIT_STRING *signature = nullptr;
  X509_CRL_get0_signature(crl, &signature, nullptr);
  return SM2_KeyCurve(key) == NID_prime256v1SM2 && SM2_GetPublicKeyBytes(key, x, y) == 1 &&
         signature != nullptr && SignedPartOfCrl(site, crl, &der, &tbs, &tbs_size) &&
         tbs_size <= INT32_MAX &&
         CalculateSM3Hash(tbs, static_cast<int>(tbs_size), x, y, e, true) == KELU_OK &&
         pkey_ec_verify(key, ASN1_STRING_get0_data(signature),
                        static_cast<size_t>(ASN1_STRING_length(signature)), e, sizeof e) == 1;
}

// A trusted certificate of the CRL's issuer whose key verifies the CRL's signature.
bool CrlSignedByTrustedIssuer(const TraceSite &site, X509_CRL *crl, X509_STORE *store) {
  X509StackPtr certs(X509_STORE_get1_all_certs(store));
  const X509_NAME *issuer = X509_CRL_get_issuer(crl);
  // Candidates that fail leave no errors behind when another one verifies.
  ERR_set_mark();
  for (int i = 0; i < sk_X509_num(certs.get()); ++i) {
    X509 *ca = sk_X509_value(certs.get(), i);
    if (X509_NAME_cmp(X509_get_subject_name(ca), issuer) == 0 &&
        CrlSignedByKeyOf(site, crl, ca)) {
      ERR_pop_to_mark();
      return true;
    }
  }
  ERR_clear_last_mark();
  return false;
}

int AddCertToStore(const TraceSite &site, X509_STORE *store, X509 *cert) {
  return TraceCheckOpenssl(site, X509_STORE_add_cert(store, cert) == 1, "X509_STORE_add_cert",
                           KELU_ERR_FAILED, "1 != nResult");
}

// Every certificate of a certificates-only PKCS#7 bundle into the store.
int AddP7bToStore(const TraceSite &site, const unsigned char *der, int der_len,
                  const char *step, X509_STORE *store) {
  const unsigned char *p = der;
  Pkcs7Ptr p7(der_len > 0 ? d2i_PKCS7(nullptr, &p, der_len) : nullptr);
  bool bundle = p7 && PKCS7_type_is_signed(p7.get()) && p7->d.sign != nullptr;
  int rc = TraceCheckOpenssl(site, bundle, step, KELU_ERR_FAILED, "NULL == pP7b");
  if (rc != KELU_OK) return rc;
  STACK_OF(X509) *certs = p7->d.sign->cert;
  for (int i = 0; i < sk_X509_num(certs); ++i) {
    rc = AddCertToStore(site, store, sk_X509_value(certs, i));
    if (rc != KELU_OK) return rc;
  }
  return KELU_OK;
}

// A CA or CRL file's bytes from its position to its end, read once and given as a memory
// stream: the readers try DER and then PEM from the start, and a pipe or FIFO cannot be
// rewound, a memory stream can; so every readable file reads the same.
class FileInMemory {
 public:
  int Read(const TraceSite &site, FILE *file, const char *bio_reason) {
    int rc = TraceCheck(site, file != nullptr, "Check parameter", KELU_ERR_FAILED,
                        "NULL == fpFile");
    if (rc != KELU_OK) return rc;
    unsigned char block[BLOCK_SIZE];
    size_t read = 0;
    while ((read = std::fread(block, 1, sizeof block, file)) > 0) {
      rc = TraceCheck(site, bytes_.size() + read <= FILE_SIZE_LIMIT, "Check file size",
                      KELU_ERR_FAILED, "nFileSize > FILE_SIZE_LIMIT");
      if (rc != KELU_OK) return rc;
      try {
        bytes_.insert(bytes_.end(), block, block + read);
      } catch (...) {
        return TraceCheck(site, false, "New memory", KELU_ERR_FAILED, "!pbyFileData");
      }
    }
    rc = TraceCheck(site, std::ferror(file) == 0, "fread", KELU_ERR_FAILED, "ferror(fpFile)");
    if (rc != KELU_OK) return rc;
    // An empty file is an empty stream, which no reader takes.
    static const unsigned char kNothing = 0;
    bio_.reset(BIO_new_mem_buf(bytes_.empty() ? &kNothing : bytes_.data(),
                               static_cast<int>(bytes_.size())));
    return TraceCheckOpenssl(site, bio_ != nullptr, "BIO_new_mem_buf", KELU_ERR_FAILED,
                             bio_reason);
  }
  BIO *bio() const { return bio_.get(); }

 private:
  std::vector<unsigned char> bytes_;
  BioPtr bio_;
};

int NewStore(const TraceSite &site, const char *failed_reason, X509_STORE **out,
             X509StorePtr *store) {
  int rc = TraceCheck(site, out != nullptr, "Check output parameter(ppX509Store)",
                      KELU_ERR_FAILED, "NULL == ppX509Store");
  if (rc != KELU_OK) return rc;
  store->reset(X509_STORE_new());
  return TraceCheckOpenssl(site, *store != nullptr, "X509_STORE_new", KELU_ERR_FAILED,
                           failed_reason);
}

}  // namespace

// ===== PKCS#12 files and certificate reading =====

int ParsePFXFile(FILE *fpPFXFile, const char *pszPFXPwd, EVP_PKEY **ppPrivateKey,
                 X509 **ppX509Cert, STACK_OF(X509) **ppCACerts) {
  int rc = TraceCheck(KELU_HERE, fpPFXFile != nullptr, "Check parameter(fpPFXFile)",
                      KELU_ERR_FAILED, "NULL == fpPFXFile");
  if (rc != KELU_OK) return rc;
  Pkcs12Ptr p12(d2i_PKCS12_fp(fpPFXFile, nullptr));
  rc = TraceCheckOpenssl(KELU_HERE, p12 != nullptr, "d2i_PKCS12_fp", KELU_ERR_FAILED,
                         "NULL == pPKCS12");
  if (rc != KELU_OK) return rc;
  rc = TraceCheckOpenssl(KELU_HERE, PKCS12_verify_mac(p12.get(), pszPFXPwd, -1) == 1,
                         "PKCS12_verify_mac", KELU_ERR_FAILED, "0 == nResult");
  if (rc != KELU_OK) return rc;

  // Always all three: the library hands out the certificate only together with its key.
  EVP_PKEY *raw_key = nullptr;
  X509 *raw_cert = nullptr;
  STACK_OF(X509) *raw_ca = nullptr;
  int parsed = PKCS12_parse(p12.get(), pszPFXPwd, &raw_key, &raw_cert, &raw_ca);
  EvpPkeyPtr key(raw_key);
  X509Ptr cert(raw_cert);
  X509StackPtr ca(raw_ca);
  rc = TraceCheckOpenssl(KELU_HERE, parsed == 1, "PKCS12_parse", KELU_ERR_PARSE,
                         "0 == nResult");
  if (rc != KELU_OK) return rc;
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

int ConvertCertDataToSharedX509(const unsigned char *pbyCertData, int nCertDataSize,
                                SharedX509 *cert) {
  // The lines of the conversion it stands for.
  const TraceSite site = {KELU_SOURCE_FILE_NAME, __LINE__, "ConvertCertDataToX509"};
  return ReadSharedX509(site, pbyCertData, nCertDataSize, cert);
}

int ASN1_TIME_To_UTCTime(const ASN1_TIME *pASN1Time, time_t *ptUTCTime) {
  if (ptUTCTime != nullptr) *ptUTCTime = 0;
  int rc = TraceCheck(KELU_HERE, pASN1Time != nullptr && ptUTCTime != nullptr,
                      "Check parameter", KELU_ERR_FAILED, "NULL == pASN1Time || NULL == ptUTCTime");
  if (rc != KELU_OK) return rc;
  const unsigned char *data = ASN1_STRING_get0_data(pASN1Time);
  int length = data != nullptr ? ASN1_STRING_length(pASN1Time) : 0;
  bool utc = ASN1_STRING_type(pASN1Time) == V_ASN1_UTCTIME;
  if (utc) {
    rc = TraceCheck(KELU_HERE, length >= 11 && length <= 17, "Check ASN1TIME length.",
                    KELU_ERR_FAILED, "((nASN1TimeLength < 11) || (nASN1TimeLength > 17))");
  } else {
    rc = TraceCheck(KELU_HERE, length >= 13, "Check ASN1TIME format.", KELU_ERR_FAILED,
                    "nASN1TimeLength < 13");
  }
  if (rc != KELU_OK) return rc;
  TRACE(KELU_TRACE_INFO, "%s",
        utc ? "ASN1TIME type:V_ASN1_UTCTIME" : "ASN1TIME type:V_ASN1_GENERALIZEDTIME");
  TRACE(KELU_TRACE_INFO, "ASN1TIME value:%.*s", utc ? 10 : 12,
        reinterpret_cast<const char *>(data));

  ByteReader r(data, static_cast<size_t>(length));
  BrokenDownTime t;
  bool digits = ReadNumber(&r, utc ? 2 : 4, &t.year) && ReadNumber(&r, 2, &t.month) &&
                ReadNumber(&r, 2, &t.day) && ReadNumber(&r, 2, &t.hour) &&
                ReadNumber(&r, 2, &t.minute);
  rc = TraceCheck(KELU_HERE, digits, "Check ASN1TIME digits.", KELU_ERR_FAILED,
                  "date and time are not all digits");
  if (rc != KELU_OK) return rc;
  if (utc) t.year += t.year <= 49 ? 2000 : 1900;
  rc = TraceCheck(KELU_HERE, ReadSecondsAndZone(&r, &t), "Check ASN1TIME format.",
                  KELU_ERR_FAILED, "true");
  if (rc != KELU_OK) return rc;
  TRACE(KELU_TRACE_INFO, "Broken-down time: %04d/%02d/%02d %02d:%02d:%02d", t.year, t.month,
        t.day, t.hour, t.minute, t.second);
  rc = TraceCheck(KELU_HERE, FieldsInRange(t), "Check ASN1TIME fields.", KELU_ERR_FAILED,
                  "field out of range");
  if (rc != KELU_OK) return rc;
  int64_t seconds = DaysFromCivil(t.year, t.month, t.day) * 86400 + int64_t{t.hour} * 3600 +
                    int64_t{t.minute} * 60 + t.second - t.offset;
  *ptUTCTime = static_cast<time_t>(seconds);
  return KELU_OK;
}

int GetX509CertType(X509 *pX509, int *pnCertType) {
  if (pnCertType != nullptr) *pnCertType = 0;
  int rc = TraceCheck(KELU_HERE, pX509 != nullptr && pnCertType != nullptr, "Check parameter",
                      KELU_ERR_FAILED, "NULL == pX509 || NULL == pnCertType");
  if (rc != KELU_OK) return rc;
  int library_nid = X509_get_signature_nid(pX509);
  rc = TraceCheckOpenssl(KELU_HERE, library_nid != NID_undef, "X509_get_signature_nid",
                         KELU_ERR_FAILED, "NID_undef == nSigAlgNID");
  if (rc != KELU_OK) return rc;
  // SM2 with SM3 is 1204 in the library and 924 in the toolkit.
  int nid = ToToolkitNid(library_nid);
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
    case NID_ChinaSM2withSM3:
      TRACE(KELU_TRACE_INFO, "Certificate type:SM2");
      *pnCertType = CERT_TYPE_SM2;
      return KELU_OK;
    default:
      return TraceCheck(KELU_HERE, false, "Unsupported certificate signature algorithm",
                        KELU_ERR_FAILED, "true");
  }
}

int GetX509SubjectCN(X509 *pX509, char **ppszSubjectCN, int *pnSubjectCNLen) {
  int rc = TraceCheck(KELU_HERE,
                      pX509 != nullptr && ppszSubjectCN != nullptr && pnSubjectCNLen != nullptr,
                      "Check parameter", KELU_ERR_FAILED,
                      "NULL == pX509 || NULL == ppszSubjectCN || NULL == pnSubjectCNLen");
  if (rc != KELU_OK) return rc;
  const X509_NAME *name = X509_get_subject_name(pX509);
  rc = TraceCheckOpenssl(KELU_HERE, name != nullptr, "X509_get_subject_name", KELU_ERR_FAILED,
                         "NULL == pX509Name");
  if (rc != KELU_OK) return rc;
  int index = X509_NAME_get_index_by_NID(name, NID_commonName, -1);
  rc = TraceCheckOpenssl(KELU_HERE, index >= 0, "X509_NAME_get_index_by_NID", KELU_ERR_FAILED,
                         "-1 == nCNIndex");
  if (rc != KELU_OK) return rc;
  const X509_NAME_ENTRY *entry = X509_NAME_get_entry(name, index);
  rc = TraceCheckOpenssl(KELU_HERE, entry != nullptr, "X509_NAME_get_entry", KELU_ERR_FAILED,
                         "NULL == pNameEntry");
  if (rc != KELU_OK) return rc;
  Utf8Text value(X509_NAME_ENTRY_get_data(entry));
  rc = TraceCheck(KELU_HERE, value.length > 0, "ASN1_STRING_to_UTF8", KELU_ERR_FAILED,
                  "nSubjectCNLen <= 0");
  if (rc != KELU_OK) return rc;
  char *text = nullptr;
  rc = TraceCheck(KELU_HERE, CopyText(value.data, static_cast<size_t>(value.length), &text),
                  "New memory", KELU_ERR_FAILED, "!pszSubjectCN");
  if (rc != KELU_OK) return rc;
  TRACE(KELU_TRACE_INFO, "Certificate subject CN:%s", text);
  *ppszSubjectCN = text;
  *pnSubjectCNLen = value.length;
  return KELU_OK;
}

int GetX509SubjectDN(X509 *pX509, char **ppszSubjectDN, int *pnSubjectDNLen) {
  int rc = TraceCheck(KELU_HERE, pX509 != nullptr && ppszSubjectDN != nullptr,
                      "Check parameter", KELU_ERR_FAILED,
                      "NULL == pX509 || NULL == ppszSubjectDN");
  if (rc != KELU_OK) return rc;
  return FormatDistinguishedName(KELU_HERE, X509_get_subject_name(pX509), kSubjectDn,
                                 ppszSubjectDN, pnSubjectDNLen);
}

int GetX509IssuerDN(X509 *pX509, char **ppszIssuerDN, int *pnIssuerDNLen) {
  int rc = TraceCheck(KELU_HERE, pX509 != nullptr && ppszIssuerDN != nullptr, "Check parameter",
                      KELU_ERR_FAILED, "NULL == pX509 || NULL == ppszIssuerDN");
  if (rc != KELU_OK) return rc;
  return FormatDistinguishedName(KELU_HERE, X509_get_issuer_name(pX509), kIssuerDn,
                                 ppszIssuerDN, pnIssuerDNLen);
}

int GetX509NotBefore(X509 *pX509, time_t *ptNotBefore) {
  int rc = TraceCheck(KELU_HERE, pX509 != nullptr && ptNotBefore != nullptr, "Check parameter",
                      KELU_ERR_FAILED, "NULL == pX509 || NULL == ptNotBefore");
  if (rc != KELU_OK) return rc;
  return ReadValidityBound(KELU_HERE, X509_get0_notBefore(pX509), "X509_get_notBefore",
                           "Certificate validity not before(time_t):%lld", ptNotBefore);
}

int GetX509NotAfter(X509 *pX509, time_t *ptNotAfter) {
  int rc = TraceCheck(KELU_HERE, pX509 != nullptr && ptNotAfter != nullptr, "Check parameter",
                      KELU_ERR_FAILED, "NULL == pX509 || NULL == ptNotAfter");
  if (rc != KELU_OK) return rc;
  return ReadValidityBound(KELU_HERE, X509_get0_notAfter(pX509), "X509_get_notAfter",
                           "Certificate validity not after(time_t):%lld", ptNotAfter);
}

int GetX509SerialNumber(X509 *pX509, char **ppszSerialNumber, int *pnSerialNumberLen) {
  int rc = TraceCheck(KELU_HERE, pX509 != nullptr && ppszSerialNumber != nullptr,
                      "Check parameter", KELU_ERR_FAILED,
                      "NULL == pX509 || NULL == ppszSerialNumber");
  if (rc != KELU_OK) return rc;
  const ASN1_INTEGER *serial = X509_get0_serialNumber(pX509);
  rc = TraceCheckOpenssl(KELU_HERE, serial != nullptr, "X509_get_serialNumber", KELU_ERR_FAILED,
                         "NULL == pASN1_INTEGER");
  if (rc != KELU_OK) return rc;
  BignumPtr bn(ASN1_INTEGER_to_BN(serial, nullptr));
  rc = TraceCheckOpenssl(KELU_HERE, bn != nullptr, "ASN1_INTEGER_to_BN", KELU_ERR_FAILED,
                         "NULL == pBN");
  if (rc != KELU_OK) return rc;
  int magnitude_len = BN_num_bytes(bn.get());
  std::unique_ptr<unsigned char[]> bytes(new (std::nothrow)
                                             unsigned char[magnitude_len + 1]());
  rc = TraceCheck(KELU_HERE, bytes != nullptr, "New memory", KELU_ERR_FAILED, "!pbySNBuffer");
  if (rc != KELU_OK) return rc;
  rc = TraceCheckOpenssl(KELU_HERE,
                         magnitude_len > 0 && BN_bn2bin(bn.get(), bytes.get() + 1) == magnitude_len,
                         "BN_bn2bin", KELU_ERR_FAILED, "0 == nSerialNumberLen");
  if (rc != KELU_OK) return rc;
  // As in the DER content of a positive INTEGER: 00 in front of a first byte >= 0x80.
  bool lead_zero = (bytes[1] & 0x80) != 0;
  return HandOutHex(KELU_HERE, lead_zero ? bytes.get() : bytes.get() + 1,
                    magnitude_len + (lead_zero ? 1 : 0), "Certificate serial number:%s",
                    ppszSerialNumber, pnSerialNumberLen);
}

int GetX509SubjectKeyID(X509 *pX509, char **ppszSubjectKeyID, int *pnSubjectKeyIDLen) {
  int rc = TraceCheck(KELU_HERE, pX509 != nullptr && ppszSubjectKeyID != nullptr,
                      "Check parameter", KELU_ERR_FAILED,
                      "NULL == pX509 || NULL == ppszSubjectKeyID");
  if (rc != KELU_OK) return rc;
  const ASN1_OCTET_STRING *id = FindSubjectKeyID(KELU_HERE, pX509);
  if (id == nullptr) return KELU_ERR_FAILED;
  return HandOutHex(KELU_HERE, ASN1_STRING_get0_data(id), ASN1_STRING_length(id),
                    "Certificate Subject Key ID:%s", ppszSubjectKeyID, pnSubjectKeyIDLen);
}

int GetX509CertAlg(X509 *pX509, char **ppszCertAlg) {
  const X509_ALGOR *alg = nullptr;
  if (pX509 != nullptr) X509_get0_signature(nullptr, &alg, pX509);
  int rc = TraceCheck(KELU_HERE, alg != nullptr, "X509_get0_signature", KELU_ERR_FAILED,
                      "NULL == pX509SigAlg");
  if (rc != KELU_OK) return rc;
  const ASN1_OBJECT *oid = nullptr;
  X509_ALGOR_get0(&oid, nullptr, nullptr, alg);
  char dotted[512] = {0};
  int len = oid != nullptr ? OBJ_obj2txt(dotted, sizeof dotted, oid, 1) : 0;
  rc = TraceCheck(KELU_HERE, len > 0 && static_cast<size_t>(len) < sizeof dotted,
                  "OBJ_obj2txt(sig_alg->algorithm)", KELU_ERR_FAILED, "0 == nAlgOIDLen");
  if (rc != KELU_OK || ppszCertAlg == nullptr) return rc;
  char *text = nullptr;
  rc = TraceCheck(KELU_HERE,
                  CopyText(reinterpret_cast<const unsigned char *>(dotted),
                           static_cast<size_t>(len), &text),
                  "New memory", KELU_ERR_FAILED, "!pszCertAlg");
  if (rc != KELU_OK) return rc;
  *ppszCertAlg = text;
  return KELU_OK;
}

// ===== Key-usage check =====

int CheckX509KeyUsage(X509 *pX509, unsigned int uiCheckBits, bool bAll) {
  // Makes the library decode and cache the extensions; purpose -1 checks nothing else.
  int nResult = pX509 != nullptr ? X509_check_purpose(pX509, -1, 0) : 0;
  int rc = TraceCheckOpenssl(KELU_HERE, nResult == 1, "X509_check_purpose fill data",
                             KELU_ERR_FAILED, "1 != nResult");
  if (rc != KELU_OK) return rc;
  uint32_t uExtensionFlag = X509_get_extension_flags(pX509);
  TRACE(KELU_TRACE_INFO, "pX509->ex_flags(0x%08x)", uExtensionFlag);
  // Without a keyUsage extension the library reports every bit as set (0xFFFFFFFF).
  rc = TraceCheck(KELU_HERE, (uExtensionFlag & EXFLAG_KUSAGE) != 0,
                  "pX509->ex_flags & EXFLAG_KUSAGE", KELU_ERR_KEY_USAGE,
                  "!(uExtensionFlag & EXFLAG_KUSAGE)");
  if (rc != KELU_OK) return rc;
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
  return TraceCheck(KELU_HERE, pass, "Check x509 key usage", KELU_ERR_KEY_USAGE,
                    "0 == nResult");
}

int CheckCertKeyUsage(const unsigned char *pbyCertData, int nCertDataSize,
                      unsigned int uiCheckBits, bool bAll) {
  SharedX509 cert;
  int rc = ConvertCertDataToSharedX509(pbyCertData, nCertDataSize, &cert);
  rc = TraceCheck(KELU_HERE, rc == KELU_OK, "ConvertCertDataToX509", KELU_ERR_FAILED,
                  "NULL == pX509Cert");
  if (rc != KELU_OK) return rc;
  return ReportCall(KELU_HERE, "CheckX509KeyUsage",
                    CheckX509KeyUsage(ForReading(cert), uiCheckBits, bAll));
}

// ===== Verification =====

void SetCertVerifyClock(CertVerifyClock clock) {
  g_CertVerifyClock.store(clock != nullptr ? clock : SystemClock);
}

int VerifyCertTime(X509 *pX509) {
  time_t tCurrentTime = g_CertVerifyClock.load()(nullptr);
  int rc = TraceCheck(KELU_HERE, tCurrentTime != static_cast<time_t>(-1), "time",
                      KELU_ERR_FAILED, "-1 == tCurrentTime");
  if (rc != KELU_OK) return rc;
  TRACE(KELU_TRACE_INFO, "Current time(time_t):%lld", static_cast<long long>(tCurrentTime));
  time_t tNotBefore = 0, tNotAfter = 0;
  rc = ReportCall(KELU_HERE, "GetX509NotBefore", GetX509NotBefore(pX509, &tNotBefore));
  if (rc != KELU_OK) return rc;
  rc = TraceCheck(KELU_HERE, tCurrentTime >= tNotBefore, "Check certificate validity NotBefore",
                  KELU_ERR_CERT_VALIDITY, "(tCurrentTime < tNotBefore)");
  if (rc != KELU_OK) return rc;
  rc = ReportCall(KELU_HERE, "GetX509NotAfter", GetX509NotAfter(pX509, &tNotAfter));
  if (rc != KELU_OK) return rc;
  return TraceCheck(KELU_HERE, tCurrentTime <= tNotAfter, "Check certificate validity NotAfter",
                    KELU_ERR_CERT_VALIDITY, "(tCurrentTime > tNotAfter)");
}

int VerifyCertCRL(FILE *fpCRL, X509 *pX509, X509_STORE *pTrustedStore) {
  int rc = TraceCheck(KELU_HERE, fpCRL != nullptr && pX509 != nullptr, "Check parameter",
                      KELU_ERR_FAILED, "NULL == fpCRL || NULL == pX509");
  if (rc != KELU_OK) return rc;
  FileInMemory file;
  rc = file.Read(KELU_HERE, fpCRL, "NULL == pBIO_CRL");
  if (rc != KELU_OK) return rc;
  X509CrlPtr crl(DecodeCrlFromBio(file.bio()));
  rc = TraceCheckOpenssl(KELU_HERE, crl != nullptr, "d2i_X509_CRL_bio", KELU_ERR_FAILED,
                         "NULL == pX509CRL");
  if (rc != KELU_OK) return rc;
  // A CRL speaks only for the certificates of its issuer.
  rc = TraceCheck(KELU_HERE,
                  X509_NAME_cmp(X509_CRL_get_issuer(crl.get()), X509_get_issuer_name(pX509)) == 0,
                  "Check CRL issuer", KELU_ERR_FAILED,
                  "the CRL's issuer is not the certificate's issuer");
  if (rc != KELU_OK) return rc;
  if (pTrustedStore != nullptr) {
    rc = TraceCheckOpenssl(KELU_HERE, CrlSignedByTrustedIssuer(KELU_HERE, crl.get(), pTrustedStore),
                           "Check CRL signature", KELU_ERR_FAILED,
                           "no trusted certificate of the CRL's issuer verifies the CRL");
    if (rc != KELU_OK) return rc;
  }
  // A CRL that revokes nothing has no list at all; the certificate is then not revoked.
  STACK_OF(X509_REVOKED) *pRevokedList = X509_CRL_get_REVOKED(crl.get());
  const ASN1_INTEGER *serial = X509_get0_serialNumber(pX509);
  bool revoked = false;
  for (int i = 0; !revoked && i < sk_X509_REVOKED_num(pRevokedList); ++i) {
    const X509_REVOKED *entry = sk_X509_REVOKED_value(pRevokedList, i);
    revoked = ASN1_INTEGER_cmp(X509_REVOKED_get0_serialNumber(entry), serial) == 0;
  }
  return TraceCheck(KELU_HERE, !revoked, "Check the certificate is pRevoked?",
                    KELU_ERR_CERT_REVOKED, "true");
}

int LoadCertsToStore(std::vector<FILE *> vecTrustedCAFiles, X509_STORE **ppX509Store) {
  X509StorePtr store;
  int rc = NewStore(KELU_HERE, "NULL == pX509_Store", ppX509Store, &store);
  if (rc != KELU_OK) return rc;
  for (FILE *ca_file : vecTrustedCAFiles) {
    FileInMemory file;
    rc = file.Read(KELU_HERE, ca_file, "NULL == pBIO_Cert");
    if (rc != KELU_OK) return rc;
    X509 *raw = nullptr;
    rc = ReadX509FromBio(KELU_HERE, file.bio(), &raw, "NULL == pX509");
    X509Ptr cert(raw);  // the store keeps a reference of its own
    if (rc != KELU_OK) return rc;
    rc = AddCertToStore(KELU_HERE, store.get(), cert.get());
    if (rc != KELU_OK) return rc;
  }
  *ppX509Store = store.release();
  return KELU_OK;
}

int LoadP7bToStore(const unsigned char *pbyRootP7b, int nRootP7bSize,
                   const unsigned char *pbyIntermediateP7b, int nIntermediateP7bSize,
                   X509_STORE **ppX509Store) {
  X509StorePtr store;
  int rc = NewStore(KELU_HERE, "NULL == pX509Store", ppX509Store, &store);
  if (rc != KELU_OK) return rc;
  if (pbyRootP7b != nullptr) {
    rc = AddP7bToStore(KELU_HERE, pbyRootP7b, nRootP7bSize, "d2i_PKCS7(root)", store.get());
    if (rc != KELU_OK) return rc;
  }
  if (pbyIntermediateP7b != nullptr) {
    rc = AddP7bToStore(KELU_HERE, pbyIntermediateP7b, nIntermediateP7bSize,
                       "d2i_PKCS7(intermediate)", store.get());
    if (rc != KELU_OK) return rc;
  }
  *ppX509Store = store.release();
  return KELU_OK;
}

int VerifyCertChainByTrustedStore(X509_STORE *pX509Store, X509 *pX509) {
  int rc = TraceCheck(KELU_HERE, pX509Store != nullptr && pX509 != nullptr, "Check parameter",
                      KELU_ERR_FAILED, "NULL == pX509Store || NULL == pX509");
  if (rc != KELU_OK) return rc;
  rc = TraceCheck(KELU_HERE, PrepareSM2ChainVerification(pX509Store, pX509) == 1,
                  "PrepareSM2ChainVerification", KELU_ERR_FAILED, "1 != nResult");
  if (rc != KELU_OK) return rc;
  X509StoreCtxPtr ctx(X509_STORE_CTX_new());
  rc = TraceCheckOpenssl(KELU_HERE, ctx != nullptr, "X509_STORE_CTX_new", KELU_ERR_FAILED,
                         "NULL == pX509StoreCtx");
  if (rc != KELU_OK) return rc;
  rc = TraceCheckOpenssl(KELU_HERE,
                         X509_STORE_CTX_init(ctx.get(), pX509Store, pX509, nullptr) == 1,
                         "X509_STORE_CTX_init", KELU_ERR_FAILED, "1 != nResult");
  if (rc != KELU_OK) return rc;
  if (X509_verify_cert(ctx.get()) == 1) {
    TraceStepOK(KELU_HERE, "X509_verify_cert");
    return KELU_OK;
  }
  int error = X509_STORE_CTX_get_error(ctx.get());
  TRACE(KELU_TRACE_INFO, "X509_verify_cert(ErrorCode:%d ErrorInfo:%s)", error,
        X509_verify_cert_error_string(error));
  // Expired or not yet valid, for any certificate of the chain.
  bool validity = error == X509_V_ERR_CERT_NOT_YET_VALID || error == X509_V_ERR_CERT_HAS_EXPIRED;
  return TraceCheckOpenssl(KELU_HERE, false, "X509_verify_cert",
                           validity ? KELU_ERR_CERT_VALIDITY : KELU_ERR_CERT_UNTRUSTED, "true");
}

namespace {

int LoadTrustedStore(const TraceSite &site, const std::vector<FILE *> &files,
                     X509StorePtr *store) {
  X509_STORE *raw = nullptr;
  int rc = ReportCallOpenssl(site, "LoadCertsToStore", LoadCertsToStore(files, &raw));
  store->reset(raw);
  return rc;
}

int VerifyChainInStore(const TraceSite &site, X509_STORE *store, X509 *pX509) {
  return ReportCallOpenssl(site, "VerifyCertChainByTrustedStore",
                           VerifyCertChainByTrustedStore(store, pX509));
}

}  // namespace

int VerifyCertChain(std::vector<FILE *> vecTrustedCAFiles, X509 *pX509) {
  X509StorePtr store;
  int rc = LoadTrustedStore(KELU_HERE, vecTrustedCAFiles, &store);
  if (rc != KELU_OK) return rc;
  return VerifyChainInStore(KELU_HERE, store.get(), pX509);
}

int VerifyX509(X509 *pX509, unsigned int nCertVerifyFlag, FILE *fpCRL,
               std::vector<FILE *> vecTrustedCAFiles) {
  int rc = TraceCheck(KELU_HERE, pX509 != nullptr, "Check parameter", KELU_ERR_FAILED,
                      "NULL == pX509");
  if (rc != KELU_OK) return rc;
  if ((nCertVerifyFlag & CERT_VERIFY_VALIDITY) != 0) {
    rc = ReportCall(KELU_HERE, "VerifyCertTime", VerifyCertTime(pX509));
    if (rc != KELU_OK) return rc;
  }
  const bool crl = (nCertVerifyFlag & CERT_VERIFY_CRL) != 0;
  const bool chain = (nCertVerifyFlag & CERT_VERIFY_CHAIN) != 0;
  // With both, the trusted files are read once, before the CRL: its signature is checked with
  // the key of its issuer among them.
  X509StorePtr store;
  if (crl && chain) {
    rc = LoadTrustedStore(KELU_HERE, vecTrustedCAFiles, &store);
    if (rc != KELU_OK) return rc;
  }
  if (crl) {
    rc = ReportCall(KELU_HERE, "VerifyCertCRL", VerifyCertCRL(fpCRL, pX509, store.get()));
    if (rc != KELU_OK) return rc;
  }
  if (chain) {
    rc = store ? VerifyChainInStore(KELU_HERE, store.get(), pX509)
               : VerifyCertChain(vecTrustedCAFiles, pX509);
    rc = ReportCall(KELU_HERE, "VerifyCertChain", rc);
    if (rc != KELU_OK) return rc;
  }
  return KELU_OK;
}

int VerifyCertificate(const unsigned char *pbyCertData, int nCertDataSize,
                      unsigned int nCertVerifyFlag, FILE *fpCRL,
                      std::vector<FILE *> vecTrustedCAFiles) {
  X509 *raw = nullptr;
  int rc = ReportCall(KELU_HERE, "ConvertCertDataToX509",
                      ConvertCertDataToX509(pbyCertData, nCertDataSize, &raw));
  if (rc != KELU_OK) return rc;
  X509Ptr cert(raw);
  return ReportCall(KELU_HERE, "VerifyX509",
                    VerifyX509(cert.get(), nCertVerifyFlag, fpCRL, vecTrustedCAFiles));
}

}  // namespace kelu

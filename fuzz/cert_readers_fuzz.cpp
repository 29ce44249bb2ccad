// Certificate bytes from outside go through every certificate reader, and the same bytes as a
// CRL file through the revocation check: no crash, no leak, and the readers agree with each
// other (one loader, one subject key identifier), the second time too, when the certificate
// comes from the store of decoded certificates; bytes that d2i_X509 decodes are that
// certificate for the readers of DER alone and of both forms.
#include <openssl/x509.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "CertificateFields.h"
#include "CertificateOperations.h"
#include "KeluErrors.h"
#include "OsslPtr.h"
#include "SharedCertificates.h"

namespace {

using namespace kelu;

void Require(bool condition) {
  if (!condition) std::abort();
}

using Reader = int (*)(const unsigned char *, int, unsigned char **, int *);

bool ReadField(Reader reader, const uint8_t *data, int size, std::string *out) {
  unsigned char *bytes = nullptr;
  int len = -1;
  if (reader(data, size, &bytes, &len) != KELU_OK) {
    Require(bytes == nullptr && len == -1);
    return false;
  }
  Require(len >= 0);
  out->assign(reinterpret_cast<const char *>(bytes), static_cast<size_t>(len));
  delete[] bytes;
  return true;
}

std::string Hex(const std::string &bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

// A text reader's output, released; its length when it gives one.
void TakeText(int rc, char *text, int len, bool has_len) {
  if (rc != KELU_OK) {
    Require(text == nullptr);
    return;
  }
  Require(text != nullptr);
  if (has_len) Require(len >= 0 && static_cast<size_t>(len) >= std::strlen(text));
  delete[] text;
}

void ReadEverything(X509 *x) {
  int type = 0;
  GetX509CertType(x, &type);
  char *text = nullptr;
  int len = -1;
  int rc = GetX509SubjectCN(x, &text, &len);
  TakeText(rc, text, len, true);
  text = nullptr;
  rc = GetX509SubjectDN(x, &text, &len);
  TakeText(rc, text, len, true);
  if (rc == KELU_OK) Require(len <= 1023);
  text = nullptr;
  rc = GetX509IssuerDN(x, &text);
  TakeText(rc, text, 0, false);
  text = nullptr;
  rc = GetX509SerialNumber(x, &text, &len);
  TakeText(rc, text, len, true);
  text = nullptr;
  rc = GetX509CertAlg(x, &text);
  TakeText(rc, text, 0, false);
  time_t t = 0;
  GetX509NotBefore(x, &t);
  GetX509NotAfter(x, &t);
  CheckX509KeyUsage(x, CERT_KEY_USAGE_DIGITAL_SIGNATURE, true);
  CheckX509KeyUsage(x, CERT_KEY_USAGE_DIGITAL_SIGNATURE | CERT_KEY_USAGE_KEY_ENCIPHERMENT, false);
  kelu::VerifyX509(x, CERT_VERIFY_VALIDITY, nullptr, {});
}

// Bytes that d2i_X509 decodes are that certificate for every reader: the reader of DER alone
// (first and from the store) and the reader of both forms, whatever PEM text they hold.
void CheckDerIsItself(const uint8_t *data, int size, const X509 *parsed) {
  const unsigned char *p = data;
  kelu::X509Ptr decoded(d2i_X509(nullptr, &p, size));
  for (int round = 0; round < 2; ++round) {
    kelu::SharedX509 shared;
    const int rc = kelu::ReadSharedDerX509(KELU_HERE, data, size, "NULL == pX509Cert", &shared);
    Require((rc == KELU_OK) == (decoded != nullptr));
    if (decoded != nullptr) Require(X509_cmp(shared.get(), decoded.get()) == 0);
  }
  if (decoded != nullptr) Require(parsed != nullptr && X509_cmp(parsed, decoded.get()) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0 || size > (1u << 16)) return 0;
  const int n = static_cast<int>(size);

  X509 *raw = nullptr;
  const bool parsed = kelu::ConvertCertDataToX509(data, n, &raw) == KELU_OK;
  kelu::X509Ptr cert(raw);
  Require(parsed == (cert != nullptr));
  if (parsed) ReadEverything(cert.get());

  // The field readers load the certificate the same way, and again the same from the store.
  std::string issuer, serial, id;
  Require(ReadField(kelu::GetIssuerFromCert, data, n, &issuer) == parsed);
  Require(ReadField(kelu::GetSerialNumberFromCert, data, n, &serial) == parsed);
  const bool has_id = ReadField(kelu::GetSubjectKeyIDFromCert, data, n, &id);
  std::string again;
  Require(ReadField(kelu::GetIssuerFromCert, data, n, &again) == parsed && again == issuer);
  Require(ReadField(kelu::GetSerialNumberFromCert, data, n, &again) == parsed && again == serial);
  Require(ReadField(kelu::GetSubjectKeyIDFromCert, data, n, &again) == has_id &&
          (!has_id || again == id));
  CheckDerIsItself(data, n, cert.get());
  unsigned char *x = nullptr, *y = nullptr;
  int x_len = 0, y_len = 0;
  if (kelu::GetPublicKeyXYFromSM2Cert(data, n, &x, &x_len, &y, &y_len) == KELU_OK)
    Require(parsed && x_len == 32 && y_len == 32);
  delete[] x;
  delete[] y;

  // The key identifier text is the hexadecimal text of the field reader's bytes.
  if (parsed) {
    char *text = nullptr;
    const bool has_text = kelu::GetX509SubjectKeyID(cert.get(), &text) == KELU_OK;
    Require(has_text == has_id);
    if (has_text) Require(Hex(id) == text);
    delete[] text;
  }

  // The same bytes as a CRL file, checked against the certificate or a bare one.
  FILE *crl = fmemopen(const_cast<uint8_t *>(data), size, "rb");
  if (crl != nullptr) {
    kelu::X509Ptr bare(X509_new());
    X509 *subject = parsed ? cert.get() : bare.get();
    const int rc = kelu::VerifyCertCRL(crl, subject);
    Require(rc == KELU_OK || rc == KELU_ERR_CERT_REVOKED || rc == KELU_ERR_FAILED);
    std::fclose(crl);
  }
  return 0;
}

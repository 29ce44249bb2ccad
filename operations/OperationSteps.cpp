#include "OperationSteps.h"

#include <climits>
#include <cstring>
#include <new>
#include <utility>

#include "Base64Utility.h"
#include "CertificateOperations.h"
#include "KeluErrors.h"

int CheckLibraryCall(const TraceSite &site, bool passed, const char *step, int code,
                     const char *reason) {
  if (passed) {
    TraceStepOK(site, step);
    return KELU_OK;
  }
  TraceStepFailedOpenssl(site, step, code, reason);
  return code;
}

int MeasureFile(const TraceSite &site, FILE *file, const char *step, uint64_t *size) {
  const int rc = GetFileSize_Ex(file, size);
  return TraceCheck(site, rc == KELU_OK, step, rc, "KELU_OK != nResult");
}

int ReadFileBlock(const TraceSite &site, FILE *file, unsigned char *buffer, size_t size,
                  const char *step, const char *reason, void (*announce)(size_t)) {
  const size_t read = size == 0 ? 0 : std::fread(buffer, 1, size, file);
  if (announce != nullptr) announce(read);
  return TraceCheck(site, read == size && std::ferror(file) == 0, step, KELU_ERR_READ_FILE,
                    reason);
}

int WriteFileBlock(const TraceSite &site, FILE *file, const unsigned char *data, size_t size) {
  if (size == 0) return KELU_OK;
  if (std::fwrite(data, 1, size, file) == size) return KELU_OK;
  TraceStepFailed(site, "fwrite", KELU_ERR_WRITE_FILE, "nBytesOfWritten != nBytesToWrite");
  return KELU_ERR_WRITE_FILE;
}

int FlushFileBlocks(const TraceSite &site, FILE *file) {
  if (std::fflush(file) == 0 && std::ferror(file) == 0) return KELU_OK;
  TraceStepFailed(site, "fflush", KELU_ERR_WRITE_FILE, "0 != fflush(fp) || ferror(fp)");
  return KELU_ERR_WRITE_FILE;
}

namespace kelu::ops {

int NamedStep(const TraceSite &site, int rc, const char *step, const char *reason) {
  return TraceCheck(site, rc == KELU_OK, step, rc, reason);
}

void Output::Give(BytesPtr *bytes, int count) const {
  if (data != nullptr) {
    *data = bytes->release();
    if (size != nullptr) *size = count;
  } else if (size != nullptr) {
    *size = 0;
  }
}

BytesPtr CopyBytes(const void *bytes, size_t size) {
  BytesPtr copy(new (std::nothrow) unsigned char[size > 0 ? size : 1]);
  if (copy != nullptr && size != 0) std::memcpy(copy.get(), bytes, size);
  return copy;
}

int CheckFile(const TraceSite &site, FILE *file, const char *step, const char *reason) {
  return TraceCheck(site, file != nullptr, step, KELU_ERR_INVALID_PARAMETER, reason);
}

int CheckTextOutput(const TraceSite &site, char **text) {
  return TraceCheck(site, text != nullptr, "Check parameter(ppszBase64Signature)",
                    KELU_ERR_INVALID_PARAMETER, "NULL == ppszBase64Signature");
}

int DecodeText(const TraceSite &site, const char *text, int length, const char *step,
               BytesPtr *bytes, int *size) {
  int rc = TraceCheck(site, text != nullptr && length >= 0, "Check parameter",
                      KELU_ERR_INVALID_PARAMETER, "NULL == pszBase64 || nBase64Length < 0");
  if (rc != KELU_OK) return rc;
  unsigned char *decoded = nullptr;
  rc = Base64DecodeEx(text, length, &decoded, size);
  bytes->reset(decoded);
  return NamedStep(site, rc, step);
}

int DecodeText(const TraceSite &site, const char *text, const char *step, BytesPtr *bytes,
               int *size) {
  const size_t length = text != nullptr ? std::strlen(text) : 0;
  // Longer texts are refused as a negative length.
  return DecodeText(site, text, length <= static_cast<size_t>(INT_MAX) ? static_cast<int>(length) : -1,
                    step, bytes, size);
}

int EncodeText(const TraceSite &site, const unsigned char *bytes, int size, unsigned long flags,
               char **text, int *length, const char *reason) {
  char *encoded = nullptr;
  int encoded_length = 0;
  int rc = Base64EncodeEx(bytes, size, &encoded, &encoded_length, flags);
  rc = NamedStep(site, rc, "Base64EncodeEx", reason);
  if (rc != KELU_OK) return rc;
  *text = encoded;
  if (length != nullptr) *length = encoded_length;
  return KELU_OK;
}

int HandOutAsText(const TraceSite &site, int rc, const char *step, unsigned char *bytes, int size,
                  unsigned long flags, char **text, int *length, const char *encode_reason) {
  BytesPtr holder(bytes);
  rc = NamedStep(site, rc, step);
  if (rc != KELU_OK) return rc;
  return EncodeText(site, bytes, size, flags, text, length, encode_reason);
}

int RequireSigningUsage(const TraceSite &site, X509 *cert) {
  return NamedStep(site, kelu::CheckX509KeyUsage(cert, CERT_KEY_USAGE_DIGITAL_SIGNATURE, true),
                   "CheckX509KeyUsage");
}

int RequireSigningUsage(const TraceSite &site, const unsigned char *cert, int cert_size) {
  return NamedStep(
      site, kelu::CheckCertKeyUsage(cert, cert_size, CERT_KEY_USAGE_DIGITAL_SIGNATURE, true),
      "CheckCertKeyUsage");
}

int ReadWholeFile(const TraceSite &site, FILE *file, const WholeFileTexts &texts,
                  BytesPtr *bytes, int *size) {
  uint64_t file_size = 0;
  int rc = MeasureFile(site, file, "GetFileSize_Ex", &file_size);
  if (rc != KELU_OK) return rc;
  // The text is decoded as one int-sized Base64 string.
  rc = TraceCheck(site, file_size < INT_MAX, "Check file size", KELU_ERR_FILE_TOO_LARGE,
                  "nFileSize >= INT_MAX");
  if (rc != KELU_OK) return rc;
  BytesPtr buffer(new (std::nothrow) unsigned char[file_size + 1]());
  rc = TraceCheck(site, buffer != nullptr, "New memory", KELU_ERR_FAILED, texts.alloc_reason);
  if (rc != KELU_OK) return rc;
  const size_t wanted = static_cast<size_t>(file_size);
  const size_t read = wanted == 0 ? 0 : std::fread(buffer.get(), 1, wanted, file);
  rc = TraceCheck(site, (!texts.exact || read == wanted) && std::ferror(file) == 0, "fread",
                  KELU_ERR_READ_FILE, texts.read_reason);
  if (rc != KELU_OK) return rc;
  *bytes = std::move(buffer);
  *size = static_cast<int>(read);
  return KELU_OK;
}

}  // namespace kelu::ops

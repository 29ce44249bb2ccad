#include "OperationShape.h"

#include <openssl/obj_mac.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>

#include "Base64Utility.h"
#include "NationalObjects.h"

namespace kelu::toolkit {

namespace {

char *CopyOf(const char *text) { return text != nullptr ? OPENSSL_strdup(text) : nullptr; }

}  // namespace

void CallersErrors::MoveOut() {
  while (ERR_clear_last_mark() == 1) ++marks_;
  const char *file = nullptr, *function = nullptr, *data = nullptr;
  int line = 0, flags = 0;
  unsigned long code = 0;
  while (count_ < ERR_NUM_ERRORS &&
         (code = ERR_get_error_all(&file, &line, &function, &data, &flags)) != 0) {
    // A copy that cannot be made leaves that text out.
    Entry &e = entries_[count_++];
    e = Entry{code, CopyOf(file), line, CopyOf(function), nullptr, 0};
    if ((flags & ERR_TXT_STRING) == 0) continue;
    e.data = (flags & ERR_TXT_MALLOCED) != 0 ? CopyOf(data) : const_cast<char *>(data);
    if (e.data != nullptr) e.flags = flags;
  }
}

void CallersErrors::PutBack() {
  for (int i = 0; i < count_; ++i) {
    const Entry &e = entries_[i];
    ERR_new();
    ERR_set_debug(e.file, e.line, e.function);  // the queue makes copies of its own
    OPENSSL_free(e.file);
    OPENSSL_free(e.function);
    ERR_set_error(ERR_GET_LIB(e.code), ERR_GET_REASON(e.code), nullptr);
    if (e.data != nullptr) ERR_set_error_data(e.data, e.flags);  // a copy is the queue's now
  }
  for (; marks_ > 0; --marks_) ERR_set_mark();
}

int CheckTextParameter(const TraceSite &site, const char *value, const char *step,
                       const char *reason) {
  bool passed = value != nullptr && *value != '\0';
  return TraceCheck(site, passed, step, KELU_ERR_INVALID_PARAMETER, reason);
}

int CheckDataParameter(const TraceSite &site, const void *data, int size, const char *step,
                       const char *reason) {
  bool passed = data != nullptr && size != 0;
  return TraceCheck(site, passed, step, KELU_ERR_INVALID_PARAMETER, reason);
}

int CheckOutputParameter(const TraceSite &site, bool present, const char *step,
                         const char *reason) {
  return TraceCheck(site, present, step, KELU_ERR_INVALID_PARAMETER, reason);
}

int OpenNamedFile(const TraceSite &site, const char *path, const char *mode, FilePtr *file,
                  const char *step, const char *reason) {
  file->reset(path != nullptr ? std::fopen(path, mode) : nullptr);
  return TraceCheck(site, *file != nullptr, step, KELU_ERR_OPEN_FILE, reason);
}

AsymAlgorithm ChooseAlgorithm(const char *name) {
  if (name == nullptr) return AsymAlgorithm::kUnknown;
  if (strcasecmp(name, "SM2") == 0) return AsymAlgorithm::kSM2;
  if (strcasecmp(name, "RSA") == 0) return AsymAlgorithm::kRSA;
  return AsymAlgorithm::kUnknown;
}

int RefuseAlgorithm(const TraceSite &site, const char *step) {
  return TraceCheck(site, false, step, KELU_ERR_INVALID_PARAMETER, "true");
}

int ChooseHashAlgorithm(const char *name) {
  if (name == nullptr) return 0;
  if (strcasecmp(name, "SHA-1") == 0) return NID_sha1;
  if (strcasecmp(name, "SHA-256") == 0) return NID_sha256;
  return 0;
}

int FinishOperation(const TraceSite &site, const char *operation, int result, int replacement) {
  return FinishOperation(site, operation, result, replacement, "KELU_OK != nResult");
}

int FinishOperation(const TraceSite &site, const char *operation, int result, int replacement,
                    const char *reason) {
  if (result == KELU_ERR_FAILED) result = replacement;
  return TraceCheck(site, result == KELU_OK, operation, result, reason);
}

int ReportNoMemory(const TraceSite &site, const char *reason, int code) {
  return TraceCheck(site, false, "New memory", code, reason);
}

namespace {

bool IsSameFile(FILE *input, const char *path) {
  struct stat in {}, out {};
  return input != nullptr && path != nullptr && fstat(fileno(input), &in) == 0 &&
         stat(path, &out) == 0 && in.st_dev == out.st_dev && in.st_ino == out.st_ino;
}

struct SymName {
  const char *name;
  SymAlgorithm algorithm;
  SymKeyLayout layout;
};

const SymName kSymNames[] = {
    {"SM4_CBC", SymAlgorithm::kSM4CBC, {kelu::NID_ChinaSM4_CBC, 16, 16}},
    {"3DES_CBC", SymAlgorithm::k3DESCBC, {NID_des_ede3_cbc, 8, 24}},
    {"RC4", SymAlgorithm::kRC4, {NID_rc4, 0, 16}},
};

}  // namespace

int OpenOutputFile(const TraceSite &site, const char *path, FILE *input, FilePtr *file,
                   const char *step, const char *reason) {
  if (IsSameFile(input, path)) {
    return TraceCheck(site, false, step, KELU_ERR_INVALID_PARAMETER, "the input file");
  }
  return OpenNamedFile(site, path, "wb", file, step, reason);
}

void DiscardOutputFile(FILE *file) {
  if (file == nullptr) return;
  std::fflush(file);
  // Not every output can be cut (a pipe, a device): those keep what they were given.
  if (ftruncate(fileno(file), 0) == 0) std::rewind(file);
}

namespace {

int DecodeBase64(const TraceSite &site, const char *text, size_t length, OwnedBytes *bytes,
                 int replacement, const char *reason) {
  if (length > INT_MAX) {
    return TraceCheck(site, false, "Base64DecodeEx", KELU_ERR_BASE64_DECODE,
                      "nBase64Length > INT_MAX");
  }
  unsigned char *data = nullptr;
  int size = 0;
  int rc = Base64DecodeEx(text, static_cast<int>(length), &data, &size);
  rc = FinishOperation(site, "Base64DecodeEx", rc, replacement, reason);
  if (rc != KELU_OK) return rc;
  bytes->data.reset(data);
  bytes->size = size;
  return KELU_OK;
}

}  // namespace

int DecodeBase64Text(const TraceSite &site, const char *text, OwnedBytes *bytes,
                     int replacement, const char *reason) {
  return DecodeBase64(site, text, text != nullptr ? std::strlen(text) : 0, bytes, replacement,
                      reason);
}


int EncodeBase64Text(const TraceSite &site, const unsigned char *data, int size, char **text) {
  char *encoded = nullptr;
  int rc = Base64EncodeEx(data, size, &encoded, nullptr, ATL_BASE64_FLAG_NOCRLF);
  rc = TraceCheck(site, rc == KELU_OK, "Base64EncodeEx", rc, "KELU_OK != nResult");
  if (rc == KELU_OK) *text = encoded;
  return rc;
}

SymAlgorithm ChooseSymAlgorithm(const char *name) {
  if (name == nullptr) return SymAlgorithm::kUnknown;
  for (const SymName &row : kSymNames)
    if (strcasecmp(name, row.name) == 0) return row.algorithm;
  return SymAlgorithm::kUnknown;
}

SymKeyLayout SymLayout(SymAlgorithm algorithm) {
  for (const SymName &row : kSymNames)
    if (row.algorithm == algorithm) return row.layout;
  return {0, 0, 0};
}

}  // namespace kelu::toolkit

#include "Misc.h"

#include <openssl/err.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "KeluErrors.h"
#include "kelu_zlog.h"

namespace {

const char *OrEmpty(const char *text) { return text != nullptr ? text : ""; }

}  // namespace

void TraceInfo(const char *pszLine) { TRACE(KELU_TRACE_INFO, "%s", OrEmpty(pszLine)); }

void TraceError(const char *pszLine) { TRACE(KELU_TRACE_ERROR, "%s", OrEmpty(pszLine)); }

void FormatStepOK(char (&line)[kStepLineSize], const TraceSite &site, const char *step) {
  std::memset(line, 0, sizeof line);
  std::snprintf(line, sizeof line, "[%s(%d)]:(%s -- %s)\t\t--OK\n", OrEmpty(site.file),
                site.line, OrEmpty(site.function), OrEmpty(step));
}

void FormatStepFailed(char (&line)[kStepLineSize], const TraceSite &site, const char *step,
                      int code, const char *reason, const char *openssl_text) {
  std::memset(line, 0, sizeof line);
  const char *file = OrEmpty(site.file);
  const char *function = OrEmpty(site.function);
  unsigned shown = static_cast<unsigned>(code);
  if (openssl_text == nullptr) {
    std::snprintf(line, sizeof line, "[%s(%d):](%s -- %s)\t\t--Failed:(0x%08x) [Reason:%s]\n",
                  file, site.line, function, OrEmpty(step), shown, OrEmpty(reason));
  } else {
    std::snprintf(line, sizeof line,
                  "[%s(%d):](%s -- %s)\t\t--Failed:(0x%08x) [Reason:%s] Openssl %s\n", file,
                  site.line, function, OrEmpty(step), shown, OrEmpty(reason), openssl_text);
  }
}

void TraceStepOK(const TraceSite &site, const char *step) {
  // Without logging the line goes nowhere. The block loops write one per 16384 bytes, and
  // formatting it would cost about a tenth of a fast cipher's time.
  if (g_ptr_kelu_category == nullptr) return;
  char line[kStepLineSize];
  FormatStepOK(line, site, step);
  TraceInfo(line);
}

void TraceStepFailed(const TraceSite &site, const char *step, int code, const char *reason) {
  char line[kStepLineSize];
  FormatStepFailed(line, site, step, code, reason, nullptr);
  TraceError(line);
}

void TraceStepFailedOpenssl(const TraceSite &site, const char *step, int code,
                            const char *reason) {
  // ERR_error_string(e, NULL) writes a static buffer; the _n form into our own is thread-safe.
  char openssl_text[256];
  // The caller's own entries are out of the queue while a toolkit call runs: the latest entry
  // is the call's, or 0.
  ERR_error_string_n(ERR_peek_last_error(), openssl_text, sizeof openssl_text);
  char line[kStepLineSize];
  FormatStepFailed(line, site, step, code, reason, openssl_text);
  TraceError(line);
}

int TraceCheck(const TraceSite &site, bool passed, const char *step, int code,
               const char *reason) {
  if (!passed) {
    TraceStepFailed(site, step, code, reason);
    return code;
  }
  TraceStepOK(site, step);
  return KELU_OK;
}

int TraceCheckOpenssl(const TraceSite &site, bool passed, const char *step, int code,
                      const char *reason) {
  if (!passed) {
    TraceStepFailedOpenssl(site, step, code, reason);
    return code;
  }
  TraceStepOK(site, step);
  return KELU_OK;
}

// Hexadecimal text, file size and string splitting.

namespace {

constexpr char kUpperHexDigits[] = "0123456789ABCDEF";

// The largest byte count whose text of two digits a byte, NUL included, fits an int.
constexpr int kMaxHexBytes = (INT_MAX - 1) / 2;

void FreePiecesFrom(std::vector<char *> &pieces, size_t first) {
  for (size_t i = first; i < pieces.size(); ++i) std::free(pieces[i]);
  pieces.resize(first);
}

bool AppendPiece(const char *start, size_t length, std::vector<char *> &pieces) {
  char *piece = strndup(start, length);
  if (piece == nullptr) return false;
  try {
    pieces.push_back(piece);
  } catch (const std::bad_alloc &) {
    std::free(piece);
    return false;
  }
  return true;
}

}  // namespace

int ConvertBinaryDataToString(const unsigned char *pbyData, int nDataSize, char **ppszHexString,
                              bool bReverse) {
  int rc = TraceCheck(KELU_HERE, ppszHexString != nullptr, "Check parameter(ppszHexString).",
                      KELU_ERR_INVALID_PARAMETER, "NULL == ppszHexString");
  if (rc != KELU_OK) return rc;
  rc = TraceCheck(KELU_HERE, nDataSize >= 0 && nDataSize <= kMaxHexBytes,
                  "Check parameter(nDataSize).", KELU_ERR_INVALID_PARAMETER,
                  "nDataSize < 0 || 2 * nDataSize + 1 > INT_MAX");
  if (rc != KELU_OK) return rc;
  rc = TraceCheck(KELU_HERE, pbyData != nullptr || nDataSize == 0, "Check parameter(pbyData).",
                  KELU_ERR_INVALID_PARAMETER, "NULL == pbyData && 0 != nDataSize");
  if (rc != KELU_OK) return rc;

  const size_t count = static_cast<size_t>(nDataSize);
  char *text = new (std::nothrow) char[2 * count + 1]();
  rc = TraceCheck(KELU_HERE, text != nullptr, "New memory", KELU_ERR_FAILED, "!*ppszHexString");
  if (rc != KELU_OK) return rc;
  for (size_t i = 0; i < count; ++i) {
    const unsigned char byte = pbyData[bReverse ? count - 1 - i : i];
    text[2 * i] = kUpperHexDigits[byte >> 4];
    text[2 * i + 1] = kUpperHexDigits[byte & 0x0F];
  }
  *ppszHexString = text;
  return KELU_OK;
}

int GetFileSize_Ex(FILE *fpFile, uint64_t *pnFileSize) {
  static_assert(sizeof(off_t) >= sizeof(uint64_t), "file positions must be 64 bits wide");
  int rc = TraceCheck(KELU_HERE, fpFile != nullptr && pnFileSize != nullptr, "Check parameter",
                      KELU_ERR_INVALID_PARAMETER, "NULL == fpFile || NULL == pnFileSize");
  if (rc != KELU_OK) return rc;
  // A directory opens for reading, and the end of it is 0 or a hash offset near 2^63
  // depending on the file system: neither is a size. Streams without a descriptor
  // (fmemopen) are measured by seeking alone.
  struct stat status;
  const int fd = fileno(fpFile);
  const bool directory = fd >= 0 && fstat(fd, &status) == 0 && S_ISDIR(status.st_mode);
  rc = TraceCheck(KELU_HERE, !directory, "Check file type", KELU_ERR_READ_FILE,
                  "S_ISDIR(st_mode)");
  if (rc != KELU_OK) return rc;
  rc = TraceCheck(KELU_HERE, fseeko(fpFile, 0, SEEK_END) == 0, "fseek(SEEK_END)",
                  KELU_ERR_FAILED, "0 != nRet");
  if (rc != KELU_OK) return rc;
  const off_t end = ftello(fpFile);
  rc = TraceCheck(KELU_HERE, end >= 0 && !ferror(fpFile), "ftell", KELU_ERR_READ_FILE,
                  "-1 == nFileSize || ferror(fpFile)");
  if (rc != KELU_OK) return rc;
  rc = TraceCheck(KELU_HERE, fseeko(fpFile, 0, SEEK_SET) == 0, "fseek(SEEK_SET)",
                  KELU_ERR_FAILED, "0 != nRet");
  if (rc != KELU_OK) return rc;
  *pnFileSize = static_cast<uint64_t>(end);
  return KELU_OK;
}

int SplitString(const char *pszStr, const char *pszSplit, std::vector<char *> &vecStrings) {
  int rc = TraceCheck(KELU_HERE, pszSplit != nullptr, "Check parameter(split)", KELU_ERR_FAILED,
                      "NULL == pszSplit");
  if (rc != KELU_OK) return rc;
  if (pszStr == nullptr) return KELU_OK;

  const size_t first_new = vecStrings.size();
  const size_t split_length = std::strlen(pszSplit);
  const char *position = pszStr;
  while (*position != '\0') {
    // An empty separator occurs everywhere; it is taken as never occurring.
    const char *found = split_length != 0 ? std::strstr(position, pszSplit) : nullptr;
    const size_t length = found != nullptr ? static_cast<size_t>(found - position)
                                           : std::strlen(position);
    if (length != 0 && !AppendPiece(position, length, vecStrings)) {
      FreePiecesFrom(vecStrings, first_new);
      TraceStepFailed(KELU_HERE, "strdup(piece)", KELU_ERR_FAILED, "NULL == pszPiece");
      return KELU_ERR_FAILED;
    }
    if (found == nullptr) break;
    position = found + split_length;
  }
  return KELU_OK;
}

void CleanupStringVector(std::vector<char *> &vecStrings) { FreePiecesFrom(vecStrings, 0); }

#include "Misc.h"

#include <openssl/err.h>

#include <cstdio>
#include <cstring>

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
  ERR_error_string_n(ERR_peek_last_error(), openssl_text, sizeof openssl_text);
  char line[kStepLineSize];
  FormatStepFailed(line, site, step, code, reason, openssl_text);
  TraceError(line);
}

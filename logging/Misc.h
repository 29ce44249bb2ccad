/* Step lines: every check and step of the toolkit is reported as one OK or Failed line. */
#ifndef KELU_MISC_H
#define KELU_MISC_H

#include <cstddef>

// Where a step line comes from: the reporting unit's base name, line and function.
struct TraceSite {
  const char *file;
  int line;
  const char *function;
};

#if defined(__FILE_NAME__)
#define KELU_SOURCE_FILE_NAME __FILE_NAME__
#else
#define KELU_SOURCE_FILE_NAME __FILE__
#endif
// Use in the reporting function itself (not in a lambda: __func__ would be "operator()").
#define KELU_HERE (TraceSite{KELU_SOURCE_FILE_NAME, __LINE__, __func__})

// A step line, terminating NUL included, fits in this many bytes; longer lines are cut.
constexpr size_t kStepLineSize = 512;

void TraceInfo(const char *pszLine);
void TraceError(const char *pszLine);

// "[file(line)]:(function -- step)\t\t--OK\n" at INFO.
void TraceStepOK(const TraceSite &site, const char *step);
// "[file(line):](function -- step)\t\t--Failed:(0x%08x) [Reason:reason]\n" at ERROR.
void TraceStepFailed(const TraceSite &site, const char *step, int code, const char *reason);
// The Failed line with " Openssl <text of the crypto library's latest queued error>" added;
// the error stays on the queue.
void TraceStepFailedOpenssl(const TraceSite &site, const char *step, int code,
                            const char *reason);

// Writes step line text into a 512-byte buffer (exposed for the tests of the line formats).
void FormatStepOK(char (&line)[kStepLineSize], const TraceSite &site, const char *step);
void FormatStepFailed(char (&line)[kStepLineSize], const TraceSite &site, const char *step,
                      int code, const char *reason, const char *openssl_text);

#endif

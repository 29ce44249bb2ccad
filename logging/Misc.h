/* Step lines: every check and step of the toolkit is reported as one OK or Failed line. */
#ifndef KELU_MISC_H
#define KELU_MISC_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

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
// the error stays on the queue. An error that was queued before the current toolkit call
// began is not the call's: the line then shows the text of no error (code 0).
void TraceStepFailedOpenssl(const TraceSite &site, const char *step, int code,
                            const char *reason);

// Writes step line text into a 512-byte buffer (exposed for the tests of the line formats).
void FormatStepOK(char (&line)[kStepLineSize], const TraceSite &site, const char *step);
void FormatStepFailed(char (&line)[kStepLineSize], const TraceSite &site, const char *step,
                      int code, const char *reason, const char *openssl_text);

// One checked step: the OK line and KELU_OK when passed, else the Failed line and code.
int TraceCheck(const TraceSite &site, bool passed, const char *step, int code,
               const char *reason);
// The same with the crypto library's latest error text on the Failed line.
int TraceCheckOpenssl(const TraceSite &site, bool passed, const char *step, int code,
                      const char *reason);

// Hexadecimal text, file size and string splitting.

// A new[] text of 2 * nDataSize upper-case digits and a NUL in *ppszHexString; with bReverse
// the bytes are written last first. KELU_OK, KELU_ERR_INVALID_PARAMETER (a null output, null
// data with a non-zero size, or a size that is negative or whose text would not fit an int),
// or KELU_ERR_FAILED without memory.
int ConvertBinaryDataToString(const unsigned char *pbyData, int nDataSize, char **ppszHexString,
                              bool bReverse);

// The size of a seekable file, 64 bits wide; the file is left at its start. KELU_OK,
// KELU_ERR_INVALID_PARAMETER (null argument), KELU_ERR_READ_FILE (a directory, or a position
// that cannot be taken), or KELU_ERR_FAILED when the file cannot be moved.
int GetFileSize_Ex(FILE *fpFile, uint64_t *pnFileSize);

// Appends the non-empty pieces of pszStr between occurrences of pszSplit, each a strdup copy
// for the caller to free. Nothing is appended for a null or empty text; an empty separator
// gives the whole text as one piece. KELU_OK, or KELU_ERR_FAILED (null separator, no memory:
// the vector is then as it was).
int SplitString(const char *pszStr, const char *pszSplit, std::vector<char *> &vecStrings);
// Frees every piece and empties the vector.
void CleanupStringVector(std::vector<char *> &vecStrings);

#endif

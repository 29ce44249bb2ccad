/* The shape every exported operation function shares: parameter checks, opening the named
 * files, the choice between SM2 and RSA, and the replacement of the generic failure. Each
 * helper writes the step line of its step. */
#ifndef KELU_OPERATION_SHAPE_H
#define KELU_OPERATION_SHAPE_H

#include <openssl/err.h>

#include <cstdio>
#include <memory>

#include "KeluErrors.h"
#include "Misc.h"
#include "SMKernel.h"

namespace kelu::toolkit {

// The caller's entries of the thread's error queue, moved out when a call begins and put back
// whole when it ends (code, file, line, function, data and its flags), after the call's own
// errors are dropped. In the queue they would not be safe: it is a ring of 16 slots, and the
// call's own errors take slots even when they are popped again (the crypto library's decoder
// attempts), pushing the caller's oldest entries out. The library tells where a mark is only
// by popping down to it, so the caller's marks come back on its newest entry.
class CallersErrors {
 public:
  CallersErrors() {
    if (ERR_peek_error() != 0) MoveOut();
  }
  ~CallersErrors() {
    // Pops the call's own errors, over any mark the call left; ERR_clear_error would cost
    // some 100 ns on an empty queue (it walks every slot).
    while (ERR_pop_to_mark() == 1) {
    }
    if (count_ != 0) PutBack();
  }
  CallersErrors(const CallersErrors &) = delete;
  CallersErrors &operator=(const CallersErrors &) = delete;

 private:
  // The library keeps its own copies of an entry's texts in the slot, which its next error
  // reuses: the entry holds copies (OPENSSL_strdup), except of a static text (flags without
  // ERR_TXT_MALLOCED), which stays the caller's.
  struct Entry {
    unsigned long code;
    char *file;
    int line;
    char *function;
    char *data;  // null for none
    int flags;
  };
  void MoveOut();
  void PutBack();

  Entry entries_[ERR_NUM_ERRORS];
  int count_ = 0;
  int marks_ = 0;
};

// The boundary of one call into the toolkit, opened first in every exported function and
// script function: the calling thread works in the toolkit's library context, and its error
// queue is left as the call found it (the call's own errors reach its Failed lines, then
// go). Both come back on every return; calls nest.
class CallBoundary {
 public:
  CallBoundary() = default;
  CallBoundary(const CallBoundary &) = delete;
  CallBoundary &operator=(const CallBoundary &) = delete;

 private:
  ToolkitContextScope context_;
  CallersErrors callers_errors_;
};

// Text argument: not null and not empty.
int CheckTextParameter(const TraceSite &site, const char *value, const char *step,
                       const char *reason);
// Byte argument with its size: pointer not null and size not 0.
int CheckDataParameter(const TraceSite &site, const void *data, int size, const char *step,
                       const char *reason);
// Output pointer (or pair of pointers): present.
int CheckOutputParameter(const TraceSite &site, bool present, const char *step,
                         const char *reason);

struct FileCloser {
  void operator()(FILE *f) const {
    if (f != nullptr) std::fclose(f);
  }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// Opens path with mode; KELU_ERR_OPEN_FILE with a Failed line when it does not open.
int OpenNamedFile(const TraceSite &site, const char *path, const char *mode, FilePtr *file,
                  const char *step, const char *reason);

enum class AsymAlgorithm { kSM2, kRSA, kUnknown };
// "SM2" or "RSA", compared without regard to case.
AsymAlgorithm ChooseAlgorithm(const char *name);
// The Failed line for an unknown name (reason "true"); returns KELU_ERR_INVALID_PARAMETER.
int RefuseAlgorithm(const TraceSite &site, const char *step);

// The digest identifier of an RSA signature's hash name, compared without regard to case:
// "SHA-1" 64, "SHA-256" 672; 0 for any other name.
int ChooseHashAlgorithm(const char *name);

// After the main operation: -1 becomes replacement (KELU_ERR_FAILED keeps it unchanged); writes
// the OK line, or the Failed line with reason "KELU_OK != nResult" (or the reason given);
// returns the final code.
int FinishOperation(const TraceSite &site, const char *operation, int result, int replacement);
int FinishOperation(const TraceSite &site, const char *operation, int result, int replacement,
                    const char *reason);

// A failed allocation inside an exported function: step "New memory", KELU_ERR_FAILED (or the
// code that the function returns in its place).
int ReportNoMemory(const TraceSite &site, const char *reason, int code = KELU_ERR_FAILED);

// An output file (mode "wb") that is not the already open input file: a path naming the input
// would be emptied before it is read, so it is refused (KELU_ERR_INVALID_PARAMETER) and left
// as it is.
int OpenOutputFile(const TraceSite &site, const char *path, FILE *input, FilePtr *file,
                   const char *step, const char *reason);
// A failed call leaves its output file empty rather than holding part of a result.
void DiscardOutputFile(FILE *file);

// A new[] buffer with its size, as the toolkit's Base64 and certificate routines hand them out.
struct OwnedBytes {
  std::unique_ptr<unsigned char[]> data;
  int size = 0;
};
// Base64DecodeEx of an input text as the step "Base64DecodeEx"; its code passes on, -1 as
// replacement.
int DecodeBase64Text(const TraceSite &site, const char *text, OwnedBytes *bytes,
                     int replacement = KELU_ERR_FAILED, const char *reason = "KELU_OK != nResult");
// Base64EncodeEx with ATL_BASE64_FLAG_NOCRLF (one line) as the step "Base64EncodeEx".
int EncodeBase64Text(const TraceSite &site, const unsigned char *data, int size, char **text);

// Symmetric names of the key-text functions, compared without regard to case.
enum class SymAlgorithm { kSM4CBC, k3DESCBC, kRC4, kUnknown };
SymAlgorithm ChooseSymAlgorithm(const char *name);
// A key text holds iv_size IV bytes, then key_size key bytes, for the cipher identifier nid.
struct SymKeyLayout {
  int nid;
  int iv_size;
  int key_size;
};
SymKeyLayout SymLayout(SymAlgorithm algorithm);

// A text for a %s of a value dump: "(null)" for a null text.
inline const char *DumpText(const char *text) { return text != nullptr ? text : "(null)"; }

}  // namespace kelu::toolkit

// The step and reason texts follow from the parameter names; each returns from the calling
// function on failure.
#define KELU_RETURN_IF_FAILED(expr)     \
  do {                                  \
    int kelu_rc_ = (expr);              \
    if (kelu_rc_ != KELU_OK) return kelu_rc_; \
  } while (0)

#define KELU_CHECK_TEXT(name) KELU_CHECK_TEXT_AT(KELU_HERE, name)
#define KELU_CHECK_DATA(data, size) KELU_CHECK_DATA_AT(KELU_HERE, data, size)

// The same checks written for the site of the exported function that a shared helper serves.
#define KELU_CHECK_TEXT_AT(site, name)                                                 \
  KELU_RETURN_IF_FAILED(::kelu::toolkit::CheckTextParameter(                           \
      site, name, "Check parameter(" #name ").",                                       \
      "(NULL == " #name " || 0 == strlen(" #name "))"))

#define KELU_CHECK_DATA_AT(site, data, size)                                           \
  KELU_RETURN_IF_FAILED(::kelu::toolkit::CheckDataParameter(                           \
      site, data, size, "Check parameter(" #data " and " #size ").",                   \
      "(NULL == " #data " || 0 == " #size ")"))

// The terse check of the symmetric functions: step "Check name", reason "NULL==name".
#define KELU_CHECK_PRESENT(name)                                                       \
  KELU_RETURN_IF_FAILED(::kelu::toolkit::CheckOutputParameter(                         \
      KELU_HERE, (name) != nullptr, "Check " #name, "NULL==" #name))

#define KELU_CHECK_OUTPUT(out) KELU_CHECK_OUTPUT_AT(KELU_HERE, out)
#define KELU_CHECK_OUTPUT_PAIR(buffer, size) KELU_CHECK_OUTPUT_PAIR_AT(KELU_HERE, buffer, size)

#define KELU_CHECK_OUTPUT_AT(site, out)                                                \
  KELU_RETURN_IF_FAILED(::kelu::toolkit::CheckOutputParameter(                         \
      site, (out) != nullptr, "Check output parameter(" #out ")", "NULL == " #out))

#define KELU_CHECK_OUTPUT_PAIR_AT(site, buffer, size)                                  \
  KELU_RETURN_IF_FAILED(::kelu::toolkit::CheckOutputParameter(                         \
      site, (buffer) != nullptr && (size) != nullptr,                                  \
      "Check output parameter(" #buffer " and " #size ").",                            \
      "(NULL == " #buffer " || NULL == " #size ")"))

// Opens the file named by the path parameter into the FilePtr variable fileVar.
#define KELU_OPEN_FILE(path, mode, fileVar)                                            \
  KELU_RETURN_IF_FAILED(::kelu::toolkit::OpenNamedFile(                                \
      KELU_HERE, path, mode, &fileVar, "fopen(" #path ")", "NULL == " #fileVar))

// Opens the output file named by the path parameter, refusing the open input file inputVar.
#define KELU_OPEN_OUTPUT_FILE(path, inputVar, fileVar)                                 \
  KELU_RETURN_IF_FAILED(::kelu::toolkit::OpenOutputFile(                               \
      KELU_HERE, path, (inputVar).get(), &fileVar, "fopen(" #path ")", "NULL == " #fileVar))

#endif

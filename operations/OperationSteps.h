/* Step helpers shared by the operations: checked crypto-library calls, the checked reads and
 * writes of the block loops that stream files through a digest or a cipher, and what the SM2
 * and RSA signature operations have in common. Each helper writes its step line at the calling
 * function's site. */
#ifndef KELU_OPERATION_STEPS_H
#define KELU_OPERATION_STEPS_H

#include <openssl/crypto.h>
#include <openssl/x509.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <utility>

#include "KeluErrors.h"
#include "Misc.h"

// A crypto-library call: the OK line, or code with the Failed line that carries the library's
// latest error text.
int CheckLibraryCall(const TraceSite &site, bool passed, const char *step, int code,
                     const char *reason);

// GetFileSize_Ex (the file is left at its start) as the step of that name; its code passes on.
int MeasureFile(const TraceSite &site, FILE *file, const char *step, uint64_t *size);

// Reads exactly size bytes: the OK line for step, or KELU_ERR_READ_FILE with the Failed line
// (reason) when the file ends earlier or its error indicator is set. announce, when given, is
// called with the number of bytes read either way, before the step line is written.
int ReadFileBlock(const TraceSite &site, FILE *file, unsigned char *buffer, size_t size,
                  const char *step, const char *reason, void (*announce)(size_t) = nullptr);

// Writes size bytes; KELU_ERR_WRITE_FILE with a Failed line when fewer are taken. A passed
// write writes no line (the block loops report their reads and cipher steps only).
int WriteFileBlock(const TraceSite &site, FILE *file, const unsigned char *data, size_t size);

// Hands what the stream still buffers to the file, so that a full disk is noticed here and
// not at the caller's fclose; KELU_ERR_WRITE_FILE with a Failed line.
int FlushFileBlocks(const TraceSite &site, FILE *file);

// ---------------------------------------------------------------------------------------------
// Shared by the signature operations (SM2 and RSA).

namespace kelu::ops {

using BytesPtr = std::unique_ptr<unsigned char[]>;

// A step that called another routine of the system: the OK line, or its code with the Failed
// line (reason "KELU_OK != nResult", or the one given).
int NamedStep(const TraceSite &site, int rc, const char *step,
              const char *reason = "KELU_OK != nResult");

// What is signed or verified: bytes in memory, or a whole file.
struct Signed {
  const unsigned char *data;
  int size;
  FILE *file;  // the file when not null
};

// An optional output pair: skipped when its buffer pointer is null.
struct Output {
  unsigned char **data;
  int *size;
  bool wanted() const { return data != nullptr; }
  // Hands the bytes over when wanted; the size output alone, when given, hears 0.
  void Give(BytesPtr *bytes, int count) const;
};

// A file argument that must be open: KELU_ERR_INVALID_PARAMETER with the Failed line.
int CheckFile(const TraceSite &site, FILE *file, const char *step, const char *reason);
// The text output of a signer: KELU_ERR_INVALID_PARAMETER when null.
int CheckTextOutput(const TraceSite &site, char **text);

// Base64 text of length characters (a negative length refused) decoded into a new[] buffer;
// the decoder's code passes on as the step.
int DecodeText(const TraceSite &site, const char *text, int length, const char *step,
               BytesPtr *bytes, int *size);
// The same for a NUL-terminated text.
int DecodeText(const TraceSite &site, const char *text, const char *step, BytesPtr *bytes,
               int *size);

// A copy of bytes in a new[] buffer that is not null when the bytes are none; null without
// memory.
BytesPtr CopyBytes(const void *bytes, size_t size);

// The DER that a library encoder makes of an object, copied into a new[] buffer (the library's
// own buffer is released by the library).
template <typename T>
int EncodeDer(const TraceSite &site, int (*encode)(const T *, unsigned char **), const T *object,
              const char *step, const char *reason, BytesPtr *der, int *der_size) {
  unsigned char *encoded = nullptr;
  const int size = encode(object, &encoded);
  BytesPtr copy = size > 0 ? CopyBytes(encoded, static_cast<size_t>(size)) : nullptr;
  OPENSSL_free(encoded);
  int rc = CheckLibraryCall(site, size > 0, step, KELU_ERR_FAILED, reason);
  if (rc != KELU_OK) return rc;
  rc = TraceCheck(site, copy != nullptr, "New memory", KELU_ERR_FAILED, "!pbyDERData");
  if (rc != KELU_OK) return rc;
  *der = std::move(copy);
  *der_size = size;
  return KELU_OK;
}

// Base64EncodeEx of the bytes with the flags as the step "Base64EncodeEx"; its code passes on.
// The length output is optional.
int EncodeText(const TraceSite &site, const unsigned char *bytes, int size, unsigned long flags,
               char **text, int *length, const char *reason = "KELU_OK != nResult");
// What an inner routine handed out (or its failure, as the step named after it), as Base64
// text with the caller's flags; the bytes are released either way. The length output is
// optional.
int HandOutAsText(const TraceSite &site, int rc, const char *step, unsigned char *bytes, int size,
                  unsigned long flags, char **text, int *length,
                  const char *encode_reason = "KELU_OK != nResult");

// The key usage every signing certificate must allow: digitalSignature. KELU_ERR_KEY_USAGE
// (also without a keyUsage extension) or -1, as the step "CheckX509KeyUsage" for an object and
// "CheckCertKeyUsage" for PEM or DER bytes.
int RequireSigningUsage(const TraceSite &site, X509 *cert);
int RequireSigningUsage(const TraceSite &site, const unsigned char *cert, int cert_size);

// Texts of the steps that read a key file whole.
struct WholeFileTexts {
  const char *alloc_reason;  // "New memory"
  const char *read_reason;   // "fread"
  bool exact;                // the count read must be the size (else only the error flag)
};
// The whole file from its start into a new[] buffer of its size and a NUL after it.
// KELU_ERR_FILE_TOO_LARGE for INT_MAX bytes or more, KELU_ERR_READ_FILE, the codes of
// GetFileSize_Ex, or -1.
int ReadWholeFile(const TraceSite &site, FILE *file, const WholeFileTexts &texts,
                  BytesPtr *bytes, int *size);

}  // namespace kelu::ops

#endif

/* Step helpers shared by the operations: checked crypto-library calls and the checked reads and
 * writes of the block loops that stream files through a digest or a cipher. Each helper writes
 * its step line at the calling function's site. */
#ifndef KELU_OPERATION_STEPS_H
#define KELU_OPERATION_STEPS_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

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

#endif

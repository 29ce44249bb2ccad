#include "OperationSteps.h"

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

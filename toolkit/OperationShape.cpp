#include "OperationShape.h"

#include <strings.h>

namespace kelu::toolkit {

namespace {

int Passed(const TraceSite &site, const char *step) {
  TraceStepOK(site, step);
  return KELU_OK;
}

int Refused(const TraceSite &site, const char *step, int code, const char *reason) {
  TraceStepFailed(site, step, code, reason);
  return code;
}

}  // namespace

int CheckTextParameter(const TraceSite &site, const char *value, const char *step,
                       const char *reason) {
  if (value == nullptr || *value == '\0')
    return Refused(site, step, KELU_ERR_INVALID_PARAMETER, reason);
  return Passed(site, step);
}

int CheckDataParameter(const TraceSite &site, const void *data, int size, const char *step,
                       const char *reason) {
  if (data == nullptr || size == 0) return Refused(site, step, KELU_ERR_INVALID_PARAMETER, reason);
  return Passed(site, step);
}

int CheckOutputParameter(const TraceSite &site, bool present, const char *step,
                         const char *reason) {
  if (!present) return Refused(site, step, KELU_ERR_INVALID_PARAMETER, reason);
  return Passed(site, step);
}

int OpenNamedFile(const TraceSite &site, const char *path, const char *mode, FilePtr *file,
                  const char *step, const char *reason) {
  file->reset(path != nullptr ? std::fopen(path, mode) : nullptr);
  if (*file == nullptr) return Refused(site, step, KELU_ERR_OPEN_FILE, reason);
  return Passed(site, step);
}

AsymAlgorithm ChooseAlgorithm(const char *name) {
  if (name == nullptr) return AsymAlgorithm::kUnknown;
  if (strcasecmp(name, "SM2") == 0) return AsymAlgorithm::kSM2;
  if (strcasecmp(name, "RSA") == 0) return AsymAlgorithm::kRSA;
  return AsymAlgorithm::kUnknown;
}

int RefuseAlgorithm(const TraceSite &site, const char *step) {
  return Refused(site, step, KELU_ERR_INVALID_PARAMETER, "true");
}

int FinishOperation(const TraceSite &site, const char *operation, int result, int replacement) {
  if (result == KELU_OK) return Passed(site, operation);
  if (result == KELU_ERR_FAILED) result = replacement;
  return Refused(site, operation, result, "KELU_OK != nResult");
}

int ReportNoMemory(const TraceSite &site, const char *reason) {
  return Refused(site, "New memory", KELU_ERR_FAILED, reason);
}

}  // namespace kelu::toolkit

#include "OperationShape.h"

#include <strings.h>

namespace kelu::toolkit {

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

int FinishOperation(const TraceSite &site, const char *operation, int result, int replacement) {
  if (result == KELU_ERR_FAILED) result = replacement;
  return TraceCheck(site, result == KELU_OK, operation, result, "KELU_OK != nResult");
}

int ReportNoMemory(const TraceSite &site, const char *reason) {
  return TraceCheck(site, false, "New memory", KELU_ERR_FAILED, reason);
}

}  // namespace kelu::toolkit

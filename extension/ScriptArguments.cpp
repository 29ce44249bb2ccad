#include "ScriptArguments.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "KeluErrors.h"

namespace kelu::extension {

namespace {

bool HasRegisteredType(const Php::Value &value, Php::Type type) {
  return type == Php::Type::Numeric ? value.isNumeric() : value.isString();
}

int CheckCount(const TraceSite &site, size_t given, size_t registered, CountStep countStep) {
  const char *step = countStep == CountStep::kFullStop ? "Check params size()."
                                                       : "Check params size()";
  char reason[48];
  std::snprintf(reason, sizeof reason, "%zu != params.size()", registered);
  return TraceCheck(site, given == registered, step, KELU_ERR_FAILED, reason);
}

int CheckType(const TraceSite &site, const Php::Value &value, size_t position, Php::Type type) {
  char step[48];
  std::snprintf(step, sizeof step, "Check params[%zu].type.", position);
  char reason[64];
  std::snprintf(reason, sizeof reason, "true != params[%zu].%s()", position,
                type == Php::Type::Numeric ? "isNumeric" : "isString");
  return TraceCheck(site, HasRegisteredType(value, type), step, KELU_ERR_INVALID_PARAMETER,
                    reason);
}

}  // namespace

int CheckScriptArguments(const TraceSite &site, const Php::Parameters &params,
                         const Php::Arguments &registered, CountStep countStep) {
  int result = CheckCount(site, params.size(), registered.size(), countStep);
  for (size_t i = 0; result == KELU_OK && i < registered.size(); ++i)
    result = CheckType(site, params[i], i, registered[i].type());
  return result;
}

int CheckNoZeroByte(const TraceSite &site, const std::string &text, const char *step,
                    const char *reason) {
  if (std::memchr(text.data(), '\0', text.size()) != nullptr) {
    TraceStepFailed(site, step, KELU_ERR_INVALID_PARAMETER, reason);
    return KELU_ERR_INVALID_PARAMETER;
  }
  return KELU_OK;
}

int CheckDataSize(const TraceSite &site, const Php::Value &data, const char *step,
                  const char *reason) {
  if (data.size() > static_cast<size_t>(INT_MAX)) {
    TraceStepFailed(site, step, KELU_ERR_INVALID_PARAMETER, reason);
    return KELU_ERR_INVALID_PARAMETER;
  }
  return KELU_OK;
}

}  // namespace kelu::extension

#include "ZendCallable.h"

#include <cstdio>
#include <exception>

namespace Php {

namespace {

const char *FunctionName(zend_execute_data *call) {
  zend_string *name = call->func->common.function_name;
  return name != nullptr ? ZSTR_VAL(name) : "(unknown)";
}

}  // namespace

bool ZendCallable::hasRequiredArguments(zend_execute_data *call) {
  uint32_t given = ZEND_CALL_NUM_ARGS(call);
  uint32_t required = call->func->common.required_num_args;
  if (given >= required) return true;
  zend_error(E_WARNING, "%s() expects at least %u parameter(s), %u given", FunctionName(call),
             required, given);
  return false;
}

void ZendCallable::reportException(zend_execute_data *call) noexcept {
  // The text is copied while the exception object still exists.
  char what[256] = "unknown exception";
  try {
    throw;
  } catch (const std::exception &e) {
    std::snprintf(what, sizeof what, "%s", e.what());
  } catch (...) {
  }
  zend_throw_error(nullptr, "%s(): internal error: %s", FunctionName(call), what);
}

}  // namespace Php

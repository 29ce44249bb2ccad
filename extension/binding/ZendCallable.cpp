#include "ZendCallable.h"

#include <cstdio>
#include <exception>

#include "Bailout.h"

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

ZendCallable::Escape ZendCallable::captureEscape() noexcept {
  // The text is copied while the exception object still exists.
  Escape escape;
  escape.kind = Escape::kException;
  std::snprintf(escape.what, sizeof escape.what, "%s", "unknown exception");
  try {
    throw;
  } catch (const EngineBailout &) {
    escape.kind = Escape::kBailout;
  } catch (const std::exception &e) {
    std::snprintf(escape.what, sizeof escape.what, "%s", e.what());
  } catch (...) {
  }
  return escape;
}

void ZendCallable::raise(zend_execute_data *call, const Escape &escape) {
  if (escape.kind == Escape::kBailout) zend_bailout();
  zend_throw_error(nullptr, "%s(): internal error: %s", FunctionName(call), escape.what);
}

}  // namespace Php

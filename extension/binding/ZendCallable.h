// The call adapter between the engine and one native script function. Each registered function
// gets its own instantiation, so the engine's handler leads straight to it.
#ifndef KELU_PHP_ZEND_CALLABLE_H
#define KELU_PHP_ZEND_CALLABLE_H

#include "Parameters.h"
#include "Value.h"
#include "ZendApi.h"

namespace Php {

using NativeCallback = Value (*)(Parameters &);
using NativeCallbackNoArguments = Value (*)();

class ZendCallable {
 public:
  template <NativeCallback F>
  static void invoke(INTERNAL_FUNCTION_PARAMETERS) {
    if (!hasRequiredArguments(execute_data)) return;
    try {
      Parameters params(execute_data);
      F(params).returnTo(return_value);
    } catch (...) {
      reportException(execute_data);
    }
  }

  // Arguments given to a function registered without any are ignored.
  template <NativeCallbackNoArguments F>
  static void invoke(INTERNAL_FUNCTION_PARAMETERS) {
    try {
      F().returnTo(return_value);
    } catch (...) {
      reportException(execute_data);
    }
  }

 private:
  // The engine does not count the arguments of internal functions. Too few give a warning and
  // the call yields null without reaching the function.
  static bool hasRequiredArguments(zend_execute_data *call);
  // No C++ exception crosses into the engine: it becomes a PHP Error of the call.
  static void reportException(zend_execute_data *call) noexcept;
};

}  // namespace Php

#endif

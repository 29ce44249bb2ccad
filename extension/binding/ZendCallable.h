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
    const Escape escape = run([&] {
      Parameters params(execute_data);
      F(params).returnTo(return_value);
    });
    if (escape.kind != Escape::kNone) raise(execute_data, escape);
  }

  // Arguments given to a function registered without any are ignored.
  template <NativeCallbackNoArguments F>
  static void invoke(INTERNAL_FUNCTION_PARAMETERS) {
    const Escape escape = run([&] { F().returnTo(return_value); });
    if (escape.kind != Escape::kNone) raise(execute_data, escape);
  }

 private:
  // How a native call ended other than by returning. Trivially destructible: it outlives the
  // native frames and may be left by the engine's longjmp.
  struct Escape {
    enum Kind { kNone, kException, kBailout } kind = kNone;
    char what[256] = "";
  };

  // Runs the native call; by the time it returns, every native object of the call is gone.
  template <class Call>
  static Escape run(Call &&call) noexcept {
    try {
      call();
      return Escape{};
    } catch (...) {
      return captureEscape();
    }
  }

  // The engine does not count the arguments of internal functions. Too few give a warning and
  // the call yields null without reaching the function.
  static bool hasRequiredArguments(zend_execute_data *call);
  // The exception being handled, as an Escape.
  static Escape captureEscape() noexcept;
  // No C++ exception crosses into the engine: it becomes a PHP Error of the call. A bail-out
  // of the engine inside the call is resumed here, now that the native frames are unwound.
  static void raise(zend_execute_data *call, const Escape &escape);
};

}  // namespace Php

#endif

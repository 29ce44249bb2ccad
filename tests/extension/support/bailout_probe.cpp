// A PHP module for the tests of the binding layer: a native function that holds native memory
// while an engine call under it bails out, and one that tells whether that memory was
// released before the engine went on.
#include <string>

#include "PhpBinding.h"

namespace {

int g_released = 0;

struct Held {
  std::string bytes = std::string(64 << 20, 'h');
  ~Held() { ++g_released; }
};

// The engine's conversion of an array to a string warns; an error handler that turns the
// warning into a fatal error makes the engine bail out inside the conversion.
Php::Value probe_hold_and_convert(Php::Parameters &params) {
  Held held;
  const std::string text = params[0].stringValue();
  return static_cast<int>(text.size() + held.bytes.size());
}

Php::Value probe_released() { return g_released; }

}  // namespace

extern "C" ZEND_DLEXPORT zend_module_entry *get_module(void) {
  static Php::Extension extension("kelu_bailout_probe", "1.0", 20150126);
  extension.add<probe_hold_and_convert>("probe_hold_and_convert",
                                        {Php::ByVal("value", Php::Type::String)});
  extension.add<probe_released>("probe_released");
  return extension.module();
}

#include "Extension.h"

namespace Php {

Extension::Extension(const char *name, const char *version, int apiVersion)
    : name_(name), version_(version), apiVersion_(apiVersion), entry_() {}

// No start-up, request or information callbacks: nothing of the extension runs until a script
// calls one of its functions.
zend_module_entry *Extension::module() {
  if (!built_) {
    entry_ = zend_module_entry{STANDARD_MODULE_HEADER,
                               name_.c_str(),
                               functionEntries(),
                               nullptr,
                               nullptr,
                               nullptr,
                               nullptr,
                               nullptr,
                               version_.c_str(),
                               STANDARD_MODULE_PROPERTIES};
    built_ = true;
  }
  return &entry_;
}

}  // namespace Php

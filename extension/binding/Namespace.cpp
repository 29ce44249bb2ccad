#include "Namespace.h"

#include <cstdint>

namespace Php {

Namespace &Namespace::add(const char *name, zif_handler handler, const Arguments &arguments) {
  if (!locked()) functions_.push_back(Function{name, handler, arguments, nullptr});
  return *this;
}

// Slot 0 carries the number of required arguments where the others carry a name; no slot has
// a type hint, so a wrong type reaches the function's own test.
std::unique_ptr<zend_internal_arg_info[]> Namespace::buildArgInfo(const Arguments &arguments) {
  std::unique_ptr<zend_internal_arg_info[]> info(new zend_internal_arg_info[arguments.size() + 1]);
  uintptr_t required = 0;
  while (required < arguments.size() && arguments[required].required()) ++required;
  info[0] = zend_internal_arg_info{reinterpret_cast<const char *>(required),
                                   ZEND_TYPE_INIT_NONE(0), nullptr};
  for (size_t i = 0; i < arguments.size(); ++i) {
    const Argument &a = arguments[i];
    const uint32_t flags = _ZEND_ARG_INFO_FLAGS(a.byReference() ? 1u : 0u, 0, 0);
    info[i + 1] = zend_internal_arg_info{a.name(), ZEND_TYPE_INIT_NONE(flags), nullptr};
  }
  return info;
}

const zend_function_entry *Namespace::functionEntries() {
  if (locked()) return entries_.data();
  entries_.reserve(functions_.size() + 1);
  for (Function &f : functions_) {
    f.argInfo = buildArgInfo(f.arguments);
    entries_.push_back(zend_function_entry{f.name.c_str(), f.handler, f.argInfo.get(),
                                           static_cast<uint32_t>(f.arguments.size()), 0});
  }
  entries_.push_back(zend_function_entry{nullptr, nullptr, nullptr, 0, 0});
  return entries_.data();
}

}  // namespace Php

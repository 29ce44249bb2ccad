// The functions an extension registers, in the order they were added.
#ifndef KELU_PHP_NAMESPACE_H
#define KELU_PHP_NAMESPACE_H

#include <memory>
#include <string>
#include <vector>

#include "Argument.h"
#include "ZendApi.h"
#include "ZendCallable.h"

namespace Php {

class Namespace {
 public:
  Namespace() = default;
  Namespace(const Namespace &) = delete;
  Namespace &operator=(const Namespace &) = delete;

  template <NativeCallback F>
  Namespace &add(const char *name, const Arguments &arguments = {}) {
    return add(name, &ZendCallable::invoke<F>, arguments);
  }
  template <NativeCallbackNoArguments F>
  Namespace &add(const char *name, const Arguments &arguments = {}) {
    return add(name, &ZendCallable::invoke<F>, arguments);
  }

  size_t functionCount() const { return functions_.size(); }

 protected:
  // Once the engine has been handed the function entries they are fixed: later additions
  // are ignored.
  const zend_function_entry *functionEntries();
  bool locked() const { return !entries_.empty(); }

 private:
  struct Function {
    std::string name;
    zif_handler handler;
    Arguments arguments;
    std::unique_ptr<zend_internal_arg_info[]> argInfo;  // built with the entries
  };

  Namespace &add(const char *name, zif_handler handler, const Arguments &arguments);
  static std::unique_ptr<zend_internal_arg_info[]> buildArgInfo(const Arguments &arguments);

  std::vector<Function> functions_;
  std::vector<zend_function_entry> entries_;  // one per function and the closing empty entry
};

}  // namespace Php

#endif

// The extension: its name, version and registered functions, and the engine's module record
// made from them.
#ifndef KELU_PHP_EXTENSION_H
#define KELU_PHP_EXTENSION_H

#include <string>

#include "Namespace.h"
#include "ZendApi.h"

namespace Php {

class Extension : public Namespace {
 public:
  // apiVersion is the binding interface the extension was written for.
  Extension(const char *name, const char *version, int apiVersion);

  const char *name() const { return name_.c_str(); }
  const char *version() const { return version_.c_str(); }
  int apiVersion() const { return apiVersion_; }

  // The module record for the engine. The first call fixes the registered functions; the
  // record lives as long as this object.
  zend_module_entry *module();

 private:
  std::string name_;
  std::string version_;
  int apiVersion_;
  zend_module_entry entry_;
  bool built_ = false;
};

}  // namespace Php

#endif

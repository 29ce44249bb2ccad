// Descriptions of a script function's arguments, as registered with the engine.
#ifndef KELU_PHP_ARGUMENT_H
#define KELU_PHP_ARGUMENT_H

#include <string>
#include <vector>

namespace Php {

// The kinds of argument the extension declares; the values are the engine's IS_LONG and
// IS_STRING. They describe the argument only: the engine is given no type hint, so a value of
// another type reaches the function, whose own type test reports it.
enum class Type : int { Numeric = 4, String = 6 };

class Argument {
 public:
  const char *name() const { return name_.c_str(); }
  Type type() const { return type_; }
  bool byReference() const { return byReference_; }
  bool required() const { return required_; }

 protected:
  Argument(const char *name, Type type, bool byReference, bool required)
      : name_(name), type_(type), byReference_(byReference), required_(required) {}

 private:
  std::string name_;
  Type type_;
  bool byReference_;
  bool required_;
};

// An argument passed by value.
class ByVal : public Argument {
 public:
  ByVal(const char *name, Type type, bool required = true)
      : Argument(name, type, false, required) {}
};

// An argument passed by reference: the caller must pass a variable, which the function may
// assign.
class ByRef : public Argument {
 public:
  ByRef(const char *name, Type type, bool required = true)
      : Argument(name, type, true, required) {}
};

using Arguments = std::vector<Argument>;

}  // namespace Php

#endif

// A PHP value as the script functions see it: an argument of the call, or a result.
#ifndef KELU_PHP_VALUE_H
#define KELU_PHP_VALUE_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "ZendApi.h"

namespace Php {

class Value {
 public:
  Value();  // null
  Value(int number);
  Value(zend_long number);
  // Shares the engine's value. A by-reference argument arrives as a reference, and stays one:
  // assigning to this Value then changes the caller's variable.
  explicit Value(zval *shared);
  Value(const Value &other);
  Value(Value &&other) noexcept;
  ~Value();
  // Assignment writes a new value (see below); rebinding one Value to another is not offered.
  Value &operator=(const Value &) = delete;
  Value &operator=(Value &&) = delete;

  // The tests look through a reference at the variable's value.
  bool isNull() const;
  bool isString() const;
  bool isNumeric() const;  // an integer, nothing else
  bool isReference() const;

  // Every byte of a string, zero bytes included; other types in the engine's string form.
  std::string stringValue() const;
  // The byte length of a string; 0 for any other type.
  size_t size() const;
  // An integer as it is; other types in the engine's integer form.
  zend_long numericValue() const;

  // Assignment replaces the value, or, for a reference, the caller's variable (typed
  // references are honoured: the engine converts the value or raises its TypeError).
  Value &operator=(int number);
  Value &operator=(zend_long number);
  Value &operator=(const char *text);  // NUL-terminated; null assigns ""
  Value &operator=(const std::string &bytes);
  Value &assign(const char *data, size_t size);

  // Copies the value (not the reference) into the engine's return slot.
  void returnTo(zval *target) const;

 private:
  const zval *deref() const;
  zval value_;
};

}  // namespace Php

#endif

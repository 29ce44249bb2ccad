#include "Value.h"

#include "Bailout.h"

namespace Php {

namespace {

// The new value is in place before the old one is released (whose release may run code).
void replace(zval *target, const zval &value) {
  zval old;
  ZVAL_COPY_VALUE(&old, target);
  ZVAL_COPY_VALUE(target, &value);
  zval_ptr_dtor(&old);
}

void replace(zval *target, zend_long number) {
  zval value;
  ZVAL_LONG(&value, number);
  replace(target, value);
}

}  // namespace

Value::Value() { ZVAL_NULL(&value_); }

Value::Value(int number) { ZVAL_LONG(&value_, number); }

Value::Value(zend_long number) { ZVAL_LONG(&value_, number); }

Value::Value(zval *shared) { ZVAL_COPY(&value_, shared); }

Value::Value(const Value &other) { ZVAL_COPY(&value_, &other.value_); }

Value::Value(Value &&other) noexcept {
  ZVAL_COPY_VALUE(&value_, &other.value_);
  ZVAL_UNDEF(&other.value_);
}

Value::~Value() { zval_ptr_dtor(&value_); }

const zval *Value::deref() const {
  const zval *v = &value_;
  return Z_ISREF_P(v) ? Z_REFVAL_P(v) : v;
}

bool Value::isNull() const { return Z_TYPE_P(deref()) == IS_NULL; }

bool Value::isString() const { return Z_TYPE_P(deref()) == IS_STRING; }

bool Value::isNumeric() const { return Z_TYPE_P(deref()) == IS_LONG; }

bool Value::isReference() const { return Z_ISREF(value_); }

std::string Value::stringValue() const {
  const zval *v = deref();
  if (Z_TYPE_P(v) == IS_STRING) return std::string(Z_STRVAL_P(v), Z_STRLEN_P(v));
  zend_string *converted = nullptr;
  GuardBailout([&] { converted = zval_get_string(const_cast<zval *>(v)); });
  std::string bytes;
  try {
    bytes.assign(ZSTR_VAL(converted), ZSTR_LEN(converted));
  } catch (...) {
    zend_string_release(converted);
    throw;
  }
  zend_string_release(converted);
  return bytes;
}

size_t Value::size() const {
  const zval *v = deref();
  return Z_TYPE_P(v) == IS_STRING ? Z_STRLEN_P(v) : 0;
}

zend_long Value::numericValue() const {
  const zval *v = deref();
  if (Z_TYPE_P(v) == IS_LONG) return Z_LVAL_P(v);
  zend_long number = 0;
  GuardBailout([&] { number = zval_get_long(const_cast<zval *>(v)); });
  return number;
}

Value &Value::operator=(int number) { return *this = static_cast<zend_long>(number); }

Value &Value::operator=(zend_long number) {
  GuardBailout([&] {
    if (Z_ISREF(value_)) {
      ZEND_TRY_ASSIGN_REF_LONG(&value_, number);
    } else {
      replace(&value_, number);
    }
  });
  return *this;
}

Value &Value::operator=(const char *text) {
  if (text == nullptr) return assign("", 0);
  return assign(text, std::char_traits<char>::length(text));
}

Value &Value::operator=(const std::string &bytes) { return assign(bytes.data(), bytes.size()); }

Value &Value::assign(const char *data, size_t size) {
  if (data == nullptr) {
    data = "";
    size = 0;
  }
  // The string is made first: making it can exceed memory_limit, and the variable must then
  // still hold its old value.
  zend_string *text = nullptr;
  GuardBailout([&] { text = zend_string_init(data, size, 0); });
  GuardBailout([&] {
    if (Z_ISREF(value_)) {
      ZEND_TRY_ASSIGN_REF_STR(&value_, text);
    } else {
      zval string;
      ZVAL_STR(&string, text);
      replace(&value_, string);
    }
  });
  return *this;
}

void Value::returnTo(zval *target) const { ZVAL_COPY(target, deref()); }

}  // namespace Php

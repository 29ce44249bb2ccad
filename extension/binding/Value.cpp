#include "Value.h"

namespace Php {

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
  zend_string *converted = zval_get_string(const_cast<zval *>(v));
  std::string bytes(ZSTR_VAL(converted), ZSTR_LEN(converted));
  zend_string_release(converted);
  return bytes;
}

size_t Value::size() const {
  const zval *v = deref();
  return Z_TYPE_P(v) == IS_STRING ? Z_STRLEN_P(v) : 0;
}

zend_long Value::numericValue() const {
  const zval *v = deref();
  return Z_TYPE_P(v) == IS_LONG ? Z_LVAL_P(v) : zval_get_long(const_cast<zval *>(v));
}

Value &Value::operator=(int number) { return *this = static_cast<zend_long>(number); }

Value &Value::operator=(zend_long number) {
  if (Z_ISREF(value_)) {
    ZEND_TRY_ASSIGN_REF_LONG(&value_, number);
  } else {
    zval_ptr_dtor(&value_);
    ZVAL_LONG(&value_, number);
  }
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
  if (Z_ISREF(value_)) {
    ZEND_TRY_ASSIGN_REF_STRINGL(&value_, data, size);
  } else {
    zval_ptr_dtor(&value_);
    ZVAL_STRINGL(&value_, data, size);
  }
  return *this;
}

void Value::returnTo(zval *target) const { ZVAL_COPY(target, deref()); }

}  // namespace Php

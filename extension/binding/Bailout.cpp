#include "Bailout.h"

#include "ZendApi.h"

namespace Php {

bool BailedOut(void (*call)(void *), void *context) noexcept {
  zend_try {
    call(context);
  }
  zend_catch {
    return true;
  }
  zend_end_try();
  return false;
}

}  // namespace Php

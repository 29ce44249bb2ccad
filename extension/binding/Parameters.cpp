#include "Parameters.h"

namespace Php {

Parameters::Parameters(zend_execute_data *call) {
  uint32_t count = ZEND_CALL_NUM_ARGS(call);
  reserve(count);
  for (uint32_t i = 1; i <= count; ++i) emplace_back(ZEND_CALL_ARG(call, i));
}

}  // namespace Php

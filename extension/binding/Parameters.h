// The actual arguments of one call, in order; by-reference arguments stay references.
#ifndef KELU_PHP_PARAMETERS_H
#define KELU_PHP_PARAMETERS_H

#include <vector>

#include "Value.h"
#include "ZendApi.h"

namespace Php {

class Parameters : public std::vector<Value> {
 public:
  explicit Parameters(zend_execute_data *call);
};

}  // namespace Php

#endif

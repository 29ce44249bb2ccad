// The Zend engine's headers, included once for the binding layer. Only the engine's own
// headers: main/php.h would redefine snprintf and friends for every file that includes this.
// They are C headers and are included as system headers (see extension/CMakeLists.txt), so
// their own warnings stay theirs.
#ifndef KELU_PHP_ZEND_API_H
#define KELU_PHP_ZEND_API_H

extern "C" {
#include "zend_API.h"
#include "zend_modules.h"
}

#endif

// The binding layer between the engine and the extension's native functions.
#ifndef KELU_PHP_H
#define KELU_PHP_H

#include "Argument.h"
#include "Extension.h"
#include "Namespace.h"
#include "Parameters.h"
#include "Value.h"
#include "ZendCallable.h"

#endif

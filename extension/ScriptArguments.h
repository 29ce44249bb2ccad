// The checks every script function makes of the arguments the engine hands it. Each writes
// the step lines of its step for the calling script function.
#ifndef KELU_EXTENSION_SCRIPT_ARGUMENTS_H
#define KELU_EXTENSION_SCRIPT_ARGUMENTS_H

#include <string>

#include "Misc.h"
#include "PhpBinding.h"

namespace kelu::extension {

// The count check's step text: "Check params size()", or with a full stop in a few functions.
enum class CountStep { kPlain, kFullStop };

// The number of arguments must equal the registered list's (else KELU_ERR_FAILED), and each
// argument, outputs included, must hold its registered type, tested in order (else
// KELU_ERR_INVALID_PARAMETER for the first that does not).
int CheckScriptArguments(const TraceSite &site, const Php::Parameters &params,
                         const Php::Arguments &registered, CountStep countStep);

// A text that goes on as a C string (a path): a zero byte inside would silently end it early,
// so it is refused with KELU_ERR_INVALID_PARAMETER.
int CheckNoZeroByte(const TraceSite &site, const std::string &text, const char *step,
                    const char *reason);

// Data handed on with an int length: more than INT_MAX bytes is refused with
// KELU_ERR_INVALID_PARAMETER.
int CheckDataSize(const TraceSite &site, const Php::Value &data, const char *step,
                  const char *reason);

}  // namespace kelu::extension

#endif

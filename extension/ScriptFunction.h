// The one template of the script functions over the exported toolkit functions: the argument
// count and types, the copies of the inputs, their log lines, the call, the outputs written to
// the by-reference arguments on success, and the release of every copy and buffer. A script
// function is a ScriptFunction record (what it logs, calls and hands back) run by
// RunScriptFunction.
#ifndef KELU_EXTENSION_SCRIPT_FUNCTION_H
#define KELU_EXTENSION_SCRIPT_FUNCTION_H

#include <cstddef>
#include <string>
#include <vector>

#include "Misc.h"
#include "PhpBinding.h"
#include "ScriptArguments.h"

namespace kelu::extension {

// What the log shows of an input argument before the call.
enum class InputLog {
  kText,        // "label:[text]"
  kData,        // "label size:[n]" and "label:[text]" (up to its first zero byte)
  kSecretData,  // "label size:[n]" only
  kSecretText,  // "label size:[n]" only (a key text)
  kPassword,    // nothing
  kNumber,      // "label:[n]" (its low 32 bits)
};

struct InputSpec {
  const char *label;
  InputLog log;
};

// The copies of a call's input arguments, by argument position, wiped when released. Data
// arguments go on with their length (every byte), all other texts as C strings, which is why
// texts with a zero byte inside are refused before the call.
class ScriptInputs {
 public:
  explicit ScriptInputs(size_t count);
  ScriptInputs(const ScriptInputs &) = delete;
  ScriptInputs &operator=(const ScriptInputs &) = delete;
  ~ScriptInputs();

  void add(const Php::Value &argument, InputLog log);

  const std::string &copy(size_t i) const { return copies_[i]; }
  const char *text(size_t i) const { return copies_[i].c_str(); }
  const unsigned char *data(size_t i) const {
    return reinterpret_cast<const unsigned char *>(copies_[i].data());
  }
  int size(size_t i) const { return static_cast<int>(copies_[i].size()); }
  unsigned int number(size_t i) const { return numbers_[i]; }

 private:
  std::vector<std::string> copies_;
  std::vector<unsigned int> numbers_;
};

// The buffers an exported function hands out, one slot per output, released (wiped first)
// with delete[] whatever happens.
class HandedOut {
 public:
  static constexpr size_t kSlots = 2;
  HandedOut() = default;
  HandedOut(const HandedOut &) = delete;
  HandedOut &operator=(const HandedOut &) = delete;
  ~HandedOut();

  char **text(size_t slot) { return &slots_[slot].text; }
  unsigned char **bytes(size_t slot) { return &slots_[slot].bytes; }
  int *size(size_t slot) { return &slots_[slot].size; }
  const char *text(size_t slot) const { return slots_[slot].text; }
  const unsigned char *bytes(size_t slot) const { return slots_[slot].bytes; }
  int size(size_t slot) const { return slots_[slot].size; }

 private:
  struct Slot {
    char *text = nullptr;
    unsigned char *bytes = nullptr;
    int size = 0;
  };
  Slot slots_[kSlots];
};

// What the log shows of an output, and how it reaches the script.
enum class OutputKind {
  kText,         // "label:[text]"; the text
  kSecretText,   // nothing logged (a generated key); the text
  kBytes,        // "sizeLabel:[n]" and "label:[text]"; every byte, through a copy
  kSecretBytes,  // "sizeLabel:[n]" only (a plaintext); every byte, through a copy
};

struct OutputSpec {
  size_t argument;  // the by-reference argument that receives the output
  OutputKind kind;
  const char *label = nullptr;
  const char *sizeLabel = nullptr;   // bytes only
  const char *copyReason = nullptr;  // bytes only: the reason when the copy is not had
};

// The call of the exported function, with outputs in the slots of the OutputSpecs' order.
using ExportedCall = int (*)(const ScriptInputs &inputs, HandedOut &outputs);

struct ScriptFunction {
  const Php::Arguments &arguments;
  CountStep countStep;
  std::vector<InputSpec> inputs;  // the input arguments, from the first, in order
  const char *exported;           // the step text of the call
  ExportedCall call;
  std::vector<OutputSpec> outputs;
};

// The result code of the script function; outputs are written only when it is KELU_OK.
int RunScriptFunction(const TraceSite &site, Php::Parameters &params,
                      const ScriptFunction &function);

}  // namespace kelu::extension

#endif

#include "ScriptFunction.h"

#include <openssl/crypto.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>

#include "KeluErrors.h"
#include "SecretBytes.h"
#include "kelu_zlog.h"

namespace kelu::extension {

ScriptInputs::ScriptInputs(size_t count) {
  // No reallocation: a moved short string would leave its bytes behind unwiped.
  copies_.reserve(count);
  numbers_.reserve(count);
}

ScriptInputs::~ScriptInputs() {
  for (std::string &copy : copies_) OPENSSL_cleanse(copy.data(), copy.size());
}

void ScriptInputs::add(const Php::Value &argument, InputLog log) {
  if (log == InputLog::kNumber) {
    copies_.emplace_back();
    numbers_.push_back(static_cast<unsigned int>(static_cast<uint64_t>(argument.numericValue())));
  } else {
    copies_.push_back(argument.stringValue());
    numbers_.push_back(0);
  }
}

HandedOut::~HandedOut() {
  for (Slot &slot : slots_) {
    if (slot.text != nullptr) OPENSSL_cleanse(slot.text, std::strlen(slot.text));
    if (slot.bytes != nullptr && slot.size > 0)
      OPENSSL_cleanse(slot.bytes, static_cast<size_t>(slot.size));
    delete[] slot.text;
    delete[] slot.bytes;
  }
}

namespace {

bool IsData(InputLog log) { return log == InputLog::kData || log == InputLog::kSecretData; }

bool IsBytes(OutputKind kind) {
  return kind == OutputKind::kBytes || kind == OutputKind::kSecretBytes;
}

// Data goes on with an int length.
int CheckDataSizes(const TraceSite &site, const Php::Parameters &params,
                   const ScriptFunction &function) {
  for (size_t i = 0; i < function.inputs.size(); ++i) {
    if (!IsData(function.inputs[i].log)) continue;
    const char *name = function.arguments[i].name();
    char reason[96];
    std::snprintf(reason, sizeof reason, "INT_MAX < %s.size()", name);
    int rc = CheckDataSize(site, params[i], name, reason);
    if (rc != KELU_OK) return rc;
  }
  return KELU_OK;
}

void LogInput(const InputSpec &row, const ScriptInputs &inputs, size_t i) {
  switch (row.log) {
    case InputLog::kText:
      TRACE(KELU_TRACE_INFO, "%s:[%s]", row.label, inputs.text(i));
      break;
    case InputLog::kData:
      TRACE(KELU_TRACE_INFO, "%s size:[%d]", row.label, inputs.size(i));
      TRACE(KELU_TRACE_INFO, "%s:[%s]", row.label, inputs.text(i));
      break;
    case InputLog::kSecretData:
    case InputLog::kSecretText:
      TRACE(KELU_TRACE_INFO, "%s size:[%d]", row.label, inputs.size(i));
      break;
    case InputLog::kPassword:
      break;
    case InputLog::kNumber:
      TRACE(KELU_TRACE_INFO, "%s:[%d]", row.label, static_cast<int>(inputs.number(i)));
      break;
  }
}

// Texts go on as C strings: a zero byte inside would end one early without a word.
int CheckTexts(const TraceSite &site, const ScriptFunction &function, const ScriptInputs &inputs) {
  for (size_t i = 0; i < function.inputs.size(); ++i) {
    const InputLog log = function.inputs[i].log;
    if (IsData(log) || log == InputLog::kNumber) continue;
    const char *name = function.arguments[i].name();
    char reason[128];
    std::snprintf(reason, sizeof reason, "strlen(%s.c_str()) != %s.size()", name, name);
    int rc = CheckNoZeroByte(site, inputs.copy(i), name, reason);
    if (rc != KELU_OK) return rc;
  }
  return KELU_OK;
}

int SizeOf(const HandedOut &outputs, size_t slot) {
  return outputs.size(slot) > 0 ? outputs.size(slot) : 0;
}

void LogOutput(const OutputSpec &row, const HandedOut &outputs, size_t slot) {
  const int size = SizeOf(outputs, slot);
  switch (row.kind) {
    case OutputKind::kText:
      TRACE(KELU_TRACE_INFO, "%s:[%s]", row.label,
            outputs.text(slot) != nullptr ? outputs.text(slot) : "");
      break;
    case OutputKind::kSecretText:
      break;
    case OutputKind::kBytes: {
      TRACE(KELU_TRACE_INFO, "%s:[%d]", row.sizeLabel, size);
      const unsigned char *bytes = outputs.bytes(slot);
      // As text: at most its length, up to its first zero byte.
      TRACE(KELU_TRACE_INFO, "%s:[%.*s]", row.label, size,
            bytes != nullptr ? reinterpret_cast<const char *>(bytes) : "");
      break;
    }
    case OutputKind::kSecretBytes:
      TRACE(KELU_TRACE_INFO, "%s:[%d]", row.sizeLabel, size);
      break;
  }
}

using ByteCopy = std::optional<kelu::ops::SecretBytes>;

// A byte output reaches the script through a NUL-terminated copy of its length.
int CopyBytes(const TraceSite &site, const OutputSpec &row, const HandedOut &outputs, size_t slot,
              ByteCopy *copy) {
  const size_t size = static_cast<size_t>(SizeOf(outputs, slot));
  copy->emplace(size + 1);
  if (!(*copy)->valid()) {
    TraceStepFailed(site, "New memory", KELU_ERR_FAILED, row.copyReason);
    return KELU_ERR_FAILED;
  }
  TraceStepOK(site, "New memory");
  if (size > 0) std::memcpy((*copy)->get(), outputs.bytes(slot), size);
  return KELU_OK;
}

// Every output is logged and every copy made before the first output is written, so that a
// failure writes none.
int HandOutputsToScript(const TraceSite &site, Php::Parameters &params,
                        const ScriptFunction &function, const HandedOut &outputs) {
  for (size_t slot = 0; slot < function.outputs.size(); ++slot)
    LogOutput(function.outputs[slot], outputs, slot);
  ByteCopy copies[HandedOut::kSlots];
  for (size_t slot = 0; slot < function.outputs.size(); ++slot) {
    if (!IsBytes(function.outputs[slot].kind)) continue;
    int rc = CopyBytes(site, function.outputs[slot], outputs, slot, &copies[slot]);
    if (rc != KELU_OK) return rc;
  }
  for (size_t slot = 0; slot < function.outputs.size(); ++slot) {
    Php::Value &target = params[function.outputs[slot].argument];
    if (copies[slot]) {
      target.assign(reinterpret_cast<const char *>(copies[slot]->get()),
                    static_cast<size_t>(SizeOf(outputs, slot)));
    } else {
      target = outputs.text(slot);
    }
  }
  return KELU_OK;
}

}  // namespace

int RunScriptFunction(const TraceSite &site, Php::Parameters &params,
                      const ScriptFunction &function) {
  int rc = CheckScriptArguments(site, params, function.arguments, function.countStep);
  if (rc == KELU_OK) rc = CheckDataSizes(site, params, function);
  if (rc != KELU_OK) return rc;

  ScriptInputs inputs(function.inputs.size());
  for (size_t i = 0; i < function.inputs.size(); ++i) inputs.add(params[i], function.inputs[i].log);
  for (size_t i = 0; i < function.inputs.size(); ++i) LogInput(function.inputs[i], inputs, i);
  rc = CheckTexts(site, function, inputs);
  if (rc != KELU_OK) return rc;

  HandedOut outputs;
  rc = function.call(inputs, outputs);
  rc = TraceCheck(site, rc == KELU_OK, function.exported, rc, "KELU_OK != nResult");
  if (rc != KELU_OK) return rc;
  return HandOutputsToScript(site, params, function, outputs);
}

}  // namespace kelu::extension

// The Base64 decoder takes any bytes: it never refuses a non-empty text, never yields more
// than 3 bytes for 4 characters, and what it yields survives an encode-decode round trip
// with every flag. The input read as data round-trips as well.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "Base64Utility.h"
#include "KeluErrors.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

std::vector<uint8_t> DecodeOrAbort(const char *text, size_t size) {
  unsigned char *bytes = nullptr;
  int length = -1;
  Require(Base64DecodeEx(text, static_cast<int>(size), &bytes, &length) == KELU_OK);
  Require(length >= 0 && static_cast<size_t>(length) * 4 <= size * 3);
  for (size_t i = static_cast<size_t>(length); i < size; ++i) Require(bytes[i] == 0);
  std::vector<uint8_t> out(bytes, bytes + length);
  delete[] bytes;
  return out;
}

void RequireRoundTrip(const std::vector<uint8_t> &data, unsigned long flags) {
  if (data.empty()) return;  // an empty text is refused by the decoder
  char *text = nullptr;
  int length = -1;
  Require(Base64EncodeEx(data.data(), static_cast<int>(data.size()), &text, &length, flags) ==
          KELU_OK);
  Require(length >= 0 && std::strlen(text) == static_cast<size_t>(length));
  Require(length <= Base64EncodeGetRequiredLength(static_cast<int>(data.size()), flags));
  Require(DecodeOrAbort(text, static_cast<size_t>(length)) == data);
  delete[] text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0 || size > (1u << 20)) return 0;
  const auto *text = reinterpret_cast<const char *>(data);
  const std::vector<uint8_t> decoded = DecodeOrAbort(text, size);
  const std::vector<uint8_t> raw(data, data + size);
  for (unsigned long flags :
       {ATL_BASE64_FLAG_NONE, ATL_BASE64_FLAG_NOPAD, ATL_BASE64_FLAG_NOCRLF}) {
    RequireRoundTrip(decoded, flags);
    RequireRoundTrip(raw, flags);
  }
  return 0;
}

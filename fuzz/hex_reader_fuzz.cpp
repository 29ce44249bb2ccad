// The hexadecimal key reader takes any text: it accepts exactly the non-empty texts of
// hexadecimal digits, reads len / 2 bytes from them (in either order), and the writer gives
// the same digits back in upper case.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "HexReader.h"
#include "KeluErrors.h"
#include "Misc.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

bool AllHexDigits(const std::string &text) {
  for (unsigned char ch : text)
    if (!std::isxdigit(ch)) return false;
  return true;
}

std::string UpperCase(std::string text) {
  for (char &ch : text) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  return text;
}

std::string WrittenText(const unsigned char *bytes, unsigned int length, bool reverse) {
  char *text = nullptr;
  Require(ConvertBinaryDataToString(bytes, static_cast<int>(length), &text, reverse) == KELU_OK);
  std::string out(text);
  delete[] text;
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > (1u << 16)) return 0;
  const std::string input(reinterpret_cast<const char *>(data), size);
  const std::string text = input.substr(0, input.find('\0'));  // as a C text sees it
  const bool valid = !text.empty() && AllHexDigits(text);
  const std::string digits = UpperCase(text.substr(0, text.size() / 2 * 2));

  for (bool reverse : {false, true}) {
    unsigned char *bytes = nullptr;
    unsigned int length = 0;
    const int rc = ConvertStringToBinaryData(input.c_str(), &bytes, &length, reverse);
    Require((rc == KELU_OK) == valid);
    if (rc != KELU_OK) {
      Require(rc == KELU_ERR_INVALID_PARAMETER && bytes == nullptr);
      continue;
    }
    Require(length == text.size() / 2);
    for (unsigned int i = length; i < length + 4; ++i) Require(bytes[i] == 0);
    // Reading reversed and writing reversed gives the digits in their own order again.
    Require(WrittenText(bytes, length, reverse) == digits);
    delete[] bytes;
  }
  return 0;
}

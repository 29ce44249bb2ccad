#include "Base64Utility.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "ByteReader.h"
#include "KeluErrors.h"
#include "Misc.h"

namespace {

constexpr char s_chBase64EncodingTable[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr size_t kGroupsPerLine = 19;  // 76 characters
constexpr char kLineBreak[] = {'\r', '\n'};

constexpr std::array<int8_t, 256> MakeDecodingTable() {
  std::array<int8_t, 256> table{};
  for (auto &value : table) value = -1;
  for (int i = 0; i < 64; ++i)
    table[static_cast<unsigned char>(s_chBase64EncodingTable[i])] = static_cast<int8_t>(i);
  return table;
}
constexpr std::array<int8_t, 256> kDecodingTable = MakeDecodingTable();

bool HasFlag(unsigned long flags, unsigned long bit) { return (flags & bit) != 0; }

// The four characters of three bytes.
void EncodeGroup(const uint8_t *bytes, char *chars) {
  const uint32_t bits = (uint32_t{bytes[0]} << 16) | (uint32_t{bytes[1]} << 8) | bytes[2];
  chars[0] = s_chBase64EncodingTable[(bits >> 18) & 0x3F];
  chars[1] = s_chBase64EncodingTable[(bits >> 12) & 0x3F];
  chars[2] = s_chBase64EncodingTable[(bits >> 6) & 0x3F];
  chars[3] = s_chBase64EncodingTable[bits & 0x3F];
}

// The common case of four alphabet characters in a row, taken at once; false (nothing
// consumed) when fewer remain or one of them is outside the alphabet.
bool ReadWholeGroup(ByteReader &text, uint32_t *bits) {
  if (text.remaining() < 4) return false;
  const uint8_t *p = text.data();
  const int a = kDecodingTable[p[0]], b = kDecodingTable[p[1]], c = kDecodingTable[p[2]],
            d = kDecodingTable[p[3]];
  if ((a | b | c | d) < 0) return false;
  *bits = static_cast<uint32_t>(a << 18 | b << 12 | c << 6 | d);
  text.Skip(4);
  return true;
}

// Collects up to four alphabet characters from text, skipping everything else; returns how
// many were found, their values packed from the top of *bits.
int ReadDecodingGroup(ByteReader &text, uint32_t *bits) {
  int count = 0;
  uint32_t value = 0;
  uint8_t ch;
  while (count < 4 && text.ReadU8(&ch)) {
    const int digit = DecodeBase64Char(ch);
    if (digit < 0) continue;
    value = (value << 6) | static_cast<uint32_t>(digit);
    ++count;
  }
  *bits = value << (6 * (4 - count));
  return count;
}

}  // namespace

int Base64EncodeGetRequiredLength(int nSrcLen, unsigned long dwFlags) {
  if (nSrcLen < 0) return -1;
  int64_t chars = int64_t{nSrcLen} * 4 / 3;
  if (!HasFlag(dwFlags, ATL_BASE64_FLAG_NOPAD)) chars += nSrcLen % 3;
  int64_t required = chars;
  const int64_t rest = chars % 76;
  if (rest != 0 && rest % 4 != 0) required += 4 - rest % 4;
  if (!HasFlag(dwFlags, ATL_BASE64_FLAG_NOCRLF)) required += 2 * (chars / 76) + 2;
  return required <= INT_MAX ? static_cast<int>(required) : -1;
}

int Base64DecodeGetRequiredLength(int nSrcLen) { return nSrcLen; }

bool Base64Encode(const unsigned char *pbSrcData, int nSrcLen, char *szDest, int *pnDestLen,
                  unsigned long dwFlags) {
  if (pbSrcData == nullptr || szDest == nullptr || pnDestLen == nullptr) return false;
  if (nSrcLen < 0 || *pnDestLen < 0) return false;
  const bool line_breaks = !HasFlag(dwFlags, ATL_BASE64_FLAG_NOCRLF);
  ByteReader source(pbSrcData, static_cast<size_t>(nSrcLen));
  ByteWriter dest(reinterpret_cast<uint8_t *>(szDest), static_cast<size_t>(*pnDestLen));

  // Whole groups a line at a time: 19 groups and, with line breaks, CR LF after them.
  while (source.remaining() >= 3) {
    const size_t groups = std::min<size_t>(source.remaining() / 3, kGroupsPerLine);
    ByteReader line;
    source.ReadBytes(3 * groups, &line);
    char chars[4 * kGroupsPerLine + sizeof kLineBreak];
    for (size_t i = 0; i < groups; ++i) EncodeGroup(line.data() + 3 * i, chars + 4 * i);
    size_t count = 4 * groups;
    if (line_breaks && groups == kGroupsPerLine) {
      std::memcpy(chars + count, kLineBreak, sizeof kLineBreak);
      count += sizeof kLineBreak;
    }
    if (!dest.WriteBytes(chars, count)) return false;
  }
  const size_t leftover = source.remaining();
  if (leftover != 0) {
    uint8_t last[3] = {0, 0, 0};
    source.CopyBytes(leftover, last);
    char chars[4];
    EncodeGroup(last, chars);
    size_t count = leftover + 1;
    if (!HasFlag(dwFlags, ATL_BASE64_FLAG_NOPAD)) {
      for (; count < 4; ++count) chars[count] = '=';
    }
    if (!dest.WriteBytes(chars, count)) return false;
  }
  *pnDestLen = static_cast<int>(dest.written());
  return true;
}

int DecodeBase64Char(unsigned int ch) {
  return ch < kDecodingTable.size() ? kDecodingTable[ch] : -1;
}

bool Base64Decode(const char *szSrc, int nSrcLen, unsigned char *pbDest, int *pnDestLen) {
  if (szSrc == nullptr || pnDestLen == nullptr || nSrcLen < 0) return false;
  ByteReader text(reinterpret_cast<const uint8_t *>(szSrc), static_cast<size_t>(nSrcLen));
  const size_t capacity = pbDest != nullptr && *pnDestLen > 0 ? *pnDestLen : 0;
  ByteWriter dest(pbDest, capacity);
  bool fits = pbDest != nullptr;
  size_t total = 0;
  // A NUL where a group would start ends the text; inside a group it is skipped.
  while (!text.empty() && text.data()[0] != '\0') {
    uint32_t bits;
    const int chars = ReadWholeGroup(text, &bits) ? 4 : ReadDecodingGroup(text, &bits);
    const size_t count = chars > 1 ? static_cast<size_t>(chars - 1) : 0;
    const uint8_t bytes[3] = {static_cast<uint8_t>(bits >> 16), static_cast<uint8_t>(bits >> 8),
                              static_cast<uint8_t>(bits)};
    if (fits && !dest.WriteBytes(bytes, count)) fits = false;
    total += count;
  }
  *pnDestLen = static_cast<int>(total);  // at most 3/4 of nSrcLen
  return fits;
}

int Base64EncodeEx(const unsigned char *pbyData, int nDataSize, char **ppBase64EncodedStr,
                   int *pnBase64EncodedStrLen, unsigned long dwFlags) {
  int rc = TraceCheck(KELU_HERE, ppBase64EncodedStr != nullptr, "Check ppBase64EncodeStr",
                      KELU_ERR_INVALID_PARAMETER, "NULL == ppBase64EncodedStr");
  if (rc != KELU_OK) return rc;
  rc = TraceCheck(KELU_HERE, dwFlags <= ATL_BASE64_FLAG_NOCRLF, "Check Base64 flag parameter.",
                  KELU_ERR_INVALID_PARAMETER,
                  "ATL_BASE64_FLAG_NONE != dwFlags && ATL_BASE64_FLAG_NOPAD != dwFlags && "
                  "ATL_BASE64_FLAG_NOCRLF != dwFlags");
  if (rc != KELU_OK) return rc;
  // A negative size, or one whose text would not fit an int, is refused rather than wrapped.
  const int required = Base64EncodeGetRequiredLength(nDataSize, dwFlags);
  rc = TraceCheck(KELU_HERE, required >= 0, "Base64EncodeGetRequiredLength",
                  KELU_ERR_INVALID_PARAMETER, "nBase64Length < 0");
  if (rc != KELU_OK) return rc;

  std::unique_ptr<char[]> text(new (std::nothrow) char[static_cast<size_t>(required) + 1]);
  rc = TraceCheck(KELU_HERE, text != nullptr, "New memory", KELU_ERR_FAILED,
                  "!pBase64EncodedStr");
  if (rc != KELU_OK) return rc;
  int length = required;
  rc = TraceCheck(KELU_HERE, Base64Encode(pbyData, nDataSize, text.get(), &length, dwFlags),
                  "Base64Encode", KELU_ERR_BASE64_ENCODE, "false == bSuccess");
  if (rc != KELU_OK) return rc;

  text[length] = '\0';
  *ppBase64EncodedStr = text.release();
  if (pnBase64EncodedStrLen != nullptr) *pnBase64EncodedStrLen = length;
  return KELU_OK;
}

int Base64DecodeEx(const char *pszBase64Str, int nDecodeDataSize,
                   unsigned char **ppbyDecodedData, int *pnDecodedDataSize) {
  int rc = TraceCheck(KELU_HERE,
                      pszBase64Str != nullptr && ppbyDecodedData != nullptr &&
                          pnDecodedDataSize != nullptr,
                      "Check parameter", KELU_ERR_INVALID_PARAMETER,
                      "NULL == pszBase64Str || NULL == ppbyDecodedData || "
                      "NULL == pnDecodedDataSize");
  if (rc != KELU_OK) return rc;
  rc = TraceCheck(KELU_HERE, nDecodeDataSize > 0, "Base64DecodeGetRequiredLength",
                  KELU_ERR_BASE64_DECODE, "nDecodeDataSize <= 0");
  if (rc != KELU_OK) return rc;

  const int capacity = Base64DecodeGetRequiredLength(nDecodeDataSize);
  std::unique_ptr<unsigned char[]> bytes(
      new (std::nothrow) unsigned char[static_cast<size_t>(capacity)]);
  rc = TraceCheck(KELU_HERE, bytes != nullptr, "New memory", KELU_ERR_FAILED, "!pDecodedData");
  if (rc != KELU_OK) return rc;
  int length = capacity;
  rc = TraceCheck(KELU_HERE, Base64Decode(pszBase64Str, nDecodeDataSize, bytes.get(), &length),
                  "Base64Decode", KELU_ERR_BASE64_DECODE, "false == bSuccess");
  if (rc != KELU_OK) return rc;

  std::memset(bytes.get() + length, 0, static_cast<size_t>(capacity - length));
  *ppbyDecodedData = bytes.release();
  *pnDecodedDataSize = length;
  return KELU_OK;
}

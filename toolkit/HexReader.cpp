#include "HexReader.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "ByteReader.h"
#include "KeluErrors.h"
#include "Misc.h"

namespace {

// 0 to 15 for a hexadecimal digit of either case, -1 for anything else.
int HexDigitValue(uint8_t ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
  return -1;
}

bool AllHexDigits(ByteReader text) {
  uint8_t ch;
  while (text.ReadU8(&ch)) {
    if (HexDigitValue(ch) < 0) return false;
  }
  return true;
}

// The byte of the two digits that start pair; the digits have been checked.
uint8_t PairValue(const ByteReader &digits, size_t pair) {
  ByteReader rest = digits;
  uint8_t high = 0, low = 0;
  rest.Skip(2 * pair);
  rest.ReadU8(&high);
  rest.ReadU8(&low);
  return static_cast<uint8_t>(HexDigitValue(high) << 4 | HexDigitValue(low));
}

}  // namespace

int ConvertStringToBinaryData(const char *pszHexString, unsigned char **ppbyBinaryData,
                              unsigned int *pnBinaryDataLen, bool bReverse) {
  int rc = TraceCheck(KELU_HERE, pszHexString != nullptr && pszHexString[0] != '\0',
                      "Check parameter(pszHexString).", KELU_ERR_INVALID_PARAMETER,
                      "(NULL == pszHexString || 0 == strlen(pszHexString))");
  if (rc != KELU_OK) return rc;
  rc = TraceCheck(KELU_HERE, ppbyBinaryData != nullptr, "Check parameter(ppbyBinaryData).",
                  KELU_ERR_INVALID_PARAMETER, "NULL == ppbyBinaryData");
  if (rc != KELU_OK) return rc;
  rc = TraceCheck(KELU_HERE, pnBinaryDataLen != nullptr, "Check parameter(pnBinaryDataLen).",
                  KELU_ERR_INVALID_PARAMETER, "NULL == pnBinaryDataLen");
  if (rc != KELU_OK) return rc;

  const ByteReader text(reinterpret_cast<const uint8_t *>(pszHexString),
                        std::strlen(pszHexString));
  rc = TraceCheck(KELU_HERE, AllHexDigits(text), "strcmp", KELU_ERR_INVALID_PARAMETER,
                  "0 != nResult");
  if (rc != KELU_OK) return rc;
  const size_t count = text.remaining() / 2;
  rc = TraceCheck(KELU_HERE, count <= INT_MAX, "Check hex string length",
                  KELU_ERR_INVALID_PARAMETER, "nBinaryDataLen > INT_MAX");
  if (rc != KELU_OK) return rc;

  std::unique_ptr<unsigned char[]> bytes(new (std::nothrow) unsigned char[count + 4]());
  rc = TraceCheck(KELU_HERE, bytes != nullptr, "New memory", KELU_ERR_FAILED, "!pbyBinaryData");
  if (rc != KELU_OK) return rc;
  for (size_t i = 0; i < count; ++i) bytes[i] = PairValue(text, bReverse ? count - 1 - i : i);

  *ppbyBinaryData = bytes.release();
  *pnBinaryDataLen = static_cast<unsigned int>(count);
  return KELU_OK;
}

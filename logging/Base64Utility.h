/* Base64 text (standard alphabet, RFC 4648 section 4): the one codec of the toolkit. The
 * encoder pads with "=" and breaks lines with CR LF after every 19th whole group (76
 * characters) unless told not to; the decoder skips every character outside the alphabet and
 * never rejects a text. */
#ifndef KELU_BASE64_UTILITY_H
#define KELU_BASE64_UTILITY_H

// Flags, tested as two separate bits by the encoder and the length function.
constexpr unsigned long ATL_BASE64_FLAG_NONE = 0;    // padding and line breaks
constexpr unsigned long ATL_BASE64_FLAG_NOPAD = 1;   // no "=" padding
constexpr unsigned long ATL_BASE64_FLAG_NOCRLF = 2;  // one line, no CR LF

// An upper bound of the characters Base64Encode writes for nSrcLen bytes; -1 when nSrcLen is
// negative or the bound does not fit an int.
int Base64EncodeGetRequiredLength(int nSrcLen, unsigned long dwFlags);
// A decoded size never exceeds the length of the text.
int Base64DecodeGetRequiredLength(int nSrcLen);

// *pnDestLen: the capacity of szDest on entry, the characters written on return. Writes no
// NUL. False for a null pointer, a negative size or a capacity that is too small.
bool Base64Encode(const unsigned char *pbSrcData, int nSrcLen, char *szDest, int *pnDestLen,
                  unsigned long dwFlags);
// 0 to 63 for an alphabet character, -1 for anything else ("=", blanks, NUL, 0x80 and above).
int DecodeBase64Char(unsigned int ch);
// *pnDestLen: the capacity of pbDest on entry, the decoded size of the whole text on return.
// Nothing is written from the first group that would not fit; the result is then false. A
// null pbDest makes this a size query (false, *pnDestLen the decoded size).
bool Base64Decode(const char *szSrc, int nSrcLen, unsigned char *pbDest, int *pnDestLen);

// A new[] NUL-terminated text of nDataSize bytes in *ppBase64EncodedStr, its length (without
// the NUL) in *pnBase64EncodedStrLen when that is given. Flags 0, 1 or 2. KELU_OK,
// KELU_ERR_INVALID_PARAMETER, KELU_ERR_BASE64_ENCODE, or KELU_ERR_FAILED without memory.
int Base64EncodeEx(const unsigned char *pbyData, int nDataSize, char **ppBase64EncodedStr,
                   int *pnBase64EncodedStrLen, unsigned long dwFlags);
// A new[] buffer of nDecodeDataSize bytes in *ppbyDecodedData, zero beyond the decoded bytes,
// and the decoded size in *pnDecodedDataSize. KELU_OK, KELU_ERR_INVALID_PARAMETER,
// KELU_ERR_BASE64_DECODE (an empty text), or KELU_ERR_FAILED without memory.
int Base64DecodeEx(const char *pszBase64Str, int nDecodeDataSize,
                   unsigned char **ppbyDecodedData, int *pnDecodedDataSize);

#endif

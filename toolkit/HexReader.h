/* Reader of hexadecimal key text: the counterpart of ConvertBinaryDataToString (Misc). */
#ifndef KELU_HEX_READER_H
#define KELU_HEX_READER_H

// Reads a text of hexadecimal digits of either case into a new[] buffer of len / 2 bytes
// followed by 4 zero bytes (a last odd digit is ignored); with bReverse the digit pairs are
// taken last first. KELU_OK; KELU_ERR_INVALID_PARAMETER for a null or empty text, a null
// output, any character that is not a hexadecimal digit, or a text too long for the length;
// KELU_ERR_FAILED without memory. Nothing is written on failure.
int ConvertStringToBinaryData(const char *pszHexString, unsigned char **ppbyBinaryData,
                              unsigned int *pnBinaryDataLen, bool bReverse);

#endif

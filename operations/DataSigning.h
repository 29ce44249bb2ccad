/* SM3 digests for SM2 signatures and for scripts. With bWithZValue true the Z value of the
 * public key (X, Y: 32 bytes each, big-endian) for the default user ID "1234567812345678" is
 * digested in front of the data, as SM2 signatures require; with false the data alone, and X
 * and Y may be null. The 32-byte digest goes into the caller's buffer, written only on success. */
#ifndef KELU_DATA_SIGNING_H
#define KELU_DATA_SIGNING_H

#include <cstdint>
#include <cstdio>

// 0, KELU_ERR_INVALID_PARAMETER (a negative size, null data with a size, a null output, or a
// missing public key with bWithZValue) or -1.
int CalculateSM3Hash(const unsigned char *pbySourceData, int nSourceDataSize,
                     const unsigned char *pbyPublicX, const unsigned char *pbyPublicY,
                     unsigned char *pbyHashValue, bool bWithZValue);

// Digests ulBytesToRead bytes from the file's current position in BLOCK_SIZE blocks. 0,
// KELU_ERR_READ_FILE when the file ends earlier or a read fails, KELU_ERR_INVALID_PARAMETER
// or -1.
int CalculateSM3FileHash(FILE *fpSourceFile, uint64_t ulBytesToRead,
                         const unsigned char *pbyPublicX, const unsigned char *pbyPublicY,
                         unsigned char *pbyHashValue, bool bWithZValue);

// The whole file, whatever its position and size; the code of GetFileSize_Ex or of
// CalculateSM3FileHash.
int CalculateSM3FileHashEx(FILE *fpSourceFile, const unsigned char *pbyPublicX,
                           const unsigned char *pbyPublicY, unsigned char *pbyHashValue,
                           bool bWithZValue);

// The Z value of the public key for a user ID of at most 8191 bytes on the SM2 curve, into the
// caller's 32 bytes. 1 on success, 0 on failure (a longer ID among them); writes no step lines.
int SM2_CalculateZValue(const unsigned char *pbyUserID, int nUserIDSize,
                        const unsigned char *pbyPublicX, const unsigned char *pbyPublicY,
                        unsigned char *pbyZValue);

#endif

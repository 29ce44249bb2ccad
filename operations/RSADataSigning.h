/* Digests chosen by the crypto library's numeric identifier (4 MD5, 64 SHA-1, 672 SHA-256,
 * 673 SHA-384, 674 SHA-512, and any other digest the library registers by name; 922 is the
 * toolkit's own SM3), and the object identifiers that a SignerInfo names for them. Outputs are
 * new[] buffers released with delete[], written only on success. */
#ifndef KELU_RSA_DATA_SIGNING_H
#define KELU_RSA_DATA_SIGNING_H

#include <cstdio>

// Two new[] texts: the digest's OID and the digest-encryption OID (with bAccurate false,
// rsaEncryption "1.2.840.113549.1.1.1" for every digest). -1 for an identifier outside
// 4, 64, 672, 673, 674.
int GetAlgOIDbyHashNID(int nHashNID, char **pszDigestAlg, char **pszDigestEncryptionAlg,
                       bool bAccurate);

// The digest of the bytes in a new[] buffer of exactly the digest's size. KELU_OK,
// KELU_ERR_UNKNOWN_HASH, KELU_ERR_INVALID_PARAMETER or -1.
int CalculateDataHash(const unsigned char *pbySourceData, int nSourceDataSize, int nHashNID,
                      unsigned char **ppbyHashValue, int *pnHashValueSize);

// The digest of the whole open file, read from its start in BLOCK_SIZE pieces (the file stays
// open); sizes are 64 bits wide. KELU_OK, KELU_ERR_UNKNOWN_HASH, KELU_ERR_READ_FILE (a file
// that ends before its measured size or a read error), a code of GetFileSize_Ex, or -1.
int CalculateFileHash(FILE *fpSourceFile, int nHashNID, unsigned char **ppbyHashValue,
                      int *pnHashValueSize);

#endif

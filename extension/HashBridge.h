// The digest operations and the hexadecimal text that the hash script functions use, reached
// through this one unit. Results are the operations' own codes, passed on unchanged.
#ifndef KELU_EXTENSION_HASH_BRIDGE_H
#define KELU_EXTENSION_HASH_BRIDGE_H

#include <cstdio>

namespace kelu::extension {

// SM3 of the bytes alone (no Z value) into the caller's buffer of at least 32 bytes.
int HashSM3Data(const unsigned char *data, int size, unsigned char *digest);
// SM3 of a whole open file (no Z value) into the caller's buffer of at least 32 bytes.
int HashSM3File(FILE *file, unsigned char *digest);
// The digest named by the crypto library's identifier; *digest is a new[] buffer of *digestSize
// bytes on success.
int HashDataByNid(const unsigned char *data, int size, int nid, unsigned char **digest,
                  int *digestSize);
int HashFileByNid(FILE *file, int nid, unsigned char **digest, int *digestSize);
// Upper-case hexadecimal text of the bytes; *text is a new[] NUL-terminated buffer on success.
int HexText(const unsigned char *data, int size, char **text);

}  // namespace kelu::extension

#endif

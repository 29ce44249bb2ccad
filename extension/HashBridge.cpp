// The hash script functions reach the digest operations directly: SM3 without the Z value and
// without a public key, the others by the library's identifier.
#include "HashBridge.h"

#include "DataSigning.h"
#include "KeluErrors.h"
#include "Misc.h"
#include "RSADataSigning.h"

namespace kelu::extension {

int HashSM3Data(const unsigned char *data, int size, unsigned char *digest) {
  return CalculateSM3Hash(data, size, nullptr, nullptr, digest, false);
}

int HashSM3File(FILE *file, unsigned char *digest) {
  return CalculateSM3FileHashEx(file, nullptr, nullptr, digest, false);
}

int HashDataByNid(const unsigned char *data, int size, int nid, unsigned char **digest,
                  int *digestSize) {
  return CalculateDataHash(data, size, nid, digest, digestSize);
}

int HashFileByNid(FILE *file, int nid, unsigned char **digest, int *digestSize) {
  return CalculateFileHash(file, nid, digest, digestSize);
}

int HexText(const unsigned char *data, int size, char **text) {
  return ConvertBinaryDataToString(data, size, text, false);
}

}  // namespace kelu::extension

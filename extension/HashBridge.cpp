// The digest operations (SM3 without the Z value, digests by identifier) are not in the tree
// yet. Until they are, those calls fail with KELU_ERR_FAILED, so the hash script functions
// report a failed digest step and write no output.
#include "HashBridge.h"

#include "KeluErrors.h"
#include "Misc.h"

namespace kelu::extension {

int HashSM3Data(const unsigned char *, int, unsigned char *) { return KELU_ERR_FAILED; }

int HashSM3File(FILE *, unsigned char *) { return KELU_ERR_FAILED; }

int HashDataByNid(const unsigned char *, int, int, unsigned char **, int *) {
  return KELU_ERR_FAILED;
}

int HashFileByNid(FILE *, int, unsigned char **, int *) { return KELU_ERR_FAILED; }

int HexText(const unsigned char *data, int size, char **text) {
  return ConvertBinaryDataToString(data, size, text, false);
}

}  // namespace kelu::extension

// The digest operations (SM3 without the Z value, digests by identifier) and the hexadecimal
// text are not in the tree yet. Until they are, every call fails with KELU_ERR_FAILED, so the
// hash script functions report a failed digest step and write no output.
#include "HashBridge.h"

#include "KeluErrors.h"

namespace kelu::extension {

int HashSM3Data(const unsigned char *, int, unsigned char *) { return KELU_ERR_FAILED; }

int HashSM3File(FILE *, unsigned char *) { return KELU_ERR_FAILED; }

int HashDataByNid(const unsigned char *, int, int, unsigned char **, int *) {
  return KELU_ERR_FAILED;
}

int HashFileByNid(FILE *, int, unsigned char **, int *) { return KELU_ERR_FAILED; }

int HexText(const unsigned char *, int, char **) { return KELU_ERR_FAILED; }

}  // namespace kelu::extension

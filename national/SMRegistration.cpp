#include "SMRegistration.h"

#include <openssl/objects.h>

#include <mutex>

#include "NationalEvp.h"
#include "NationalObjects.h"
#include "kelu_zlog.h"

namespace kelu {
namespace {

struct RegisteredName {
  const char *name;
  int type;  // OBJ_NAME_TYPE_MD_METH or OBJ_NAME_TYPE_CIPHER_METH
  int id;    // toolkit identifier of the method object
};

// The library's name registry is process-wide and case-insensitive, so only names it does not
// use itself are taken: "sm3" and "sm4-cbc" would capture its own SM3 and SM4-CBC (even its
// lookups by NID), and "sm2-sm3" is its short name of SM2-with-SM3, whose digest lookup by NID
// would start to answer with this digest.
const RegisteredName kNames[] = {
    {"ChinaSM3", OBJ_NAME_TYPE_MD_METH, NID_ChinaSM3},
    {"ChinaSM2withSM3", OBJ_NAME_TYPE_MD_METH, NID_ChinaSM3},
    {"tls1-sm3", OBJ_NAME_TYPE_MD_METH, NID_ChinaSM3},
    {"ChinaSM4-CBC", OBJ_NAME_TYPE_CIPHER_METH, NID_ChinaSM4_CBC},
    {"zuc", OBJ_NAME_TYPE_CIPHER_METH, NID_ChinaZUC},
    {"ChinaZUC", OBJ_NAME_TYPE_CIPHER_METH, NID_ChinaZUC},
};

const void *MethodOf(const RegisteredName &entry) {
  if (entry.type == OBJ_NAME_TYPE_MD_METH) return NationalDigest(entry.id);
  return NationalCipher(entry.id);
}

// A name that some other user of the library registered first stays theirs.
bool RegisterName(const RegisteredName &entry) {
  const void *method = MethodOf(entry);
  if (method == nullptr) return false;
  const char *present = OBJ_NAME_get(entry.name, entry.type);
  if (present == static_cast<const char *>(method)) return true;
  if (present != nullptr) {
    TRACE(KELU_TRACE_WARN, "Name %s is taken in the crypto library; not registered", entry.name);
    return true;
  }
  return OBJ_NAME_add(entry.name, entry.type, static_cast<const char *>(method)) == 1;
}

bool RegisterOnce() {
  if (EnsureNationalObjects() != 1) return false;
  for (const RegisteredName &entry : kNames)
    if (!RegisterName(entry)) return false;
  return true;
}

}  // namespace

int RegisterNationalAlgorithms() {
  static std::mutex mutex;
  static bool registered = false;
  std::lock_guard<std::mutex> lock(mutex);
  if (!registered) registered = RegisterOnce();
  return registered ? 1 : 0;
}

}  // namespace kelu

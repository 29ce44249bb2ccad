// Directory creation for file targets: every directory of a path before its last '/', made
// as the engine makes its own (MakeFolders: through no other user's symbolic link).
#include "zc_open.h"
#include "zlog.h"

int auto_create_dir(const char *path) {
  if (path == nullptr) return -1;
  try {
    // Failures are ignored: an existing directory, a missing permission, the empty prefix of
    // an absolute path; a real problem shows when the file is opened.
    kelu::zl::MakeFolders(path);
  } catch (...) {
    return -1;
  }
  return 0;
}

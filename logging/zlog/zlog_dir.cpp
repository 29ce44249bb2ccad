// Directory creation for file targets: every directory of a path before its last '/'.
#include <sys/stat.h>
#include <sys/types.h>

#include <string>

#include "zlog.h"

int auto_create_dir(const char *path) {
  if (path == nullptr) return -1;
  try {
    std::string prefix(path);
    for (size_t slash = prefix.find('/'); slash != std::string::npos;
         slash = prefix.find('/', slash + 1)) {
      // Failures are ignored: an existing directory, a missing permission, the empty
      // prefix of an absolute path; a real problem shows when the file is opened.
      mkdir(prefix.substr(0, slash).c_str(), 0755);
    }
  } catch (...) {
    return -1;
  }
  return 0;
}

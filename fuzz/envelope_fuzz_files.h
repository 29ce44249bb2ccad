/* Files of the envelope fuzz targets: key files made at start-up with the openssl command line,
 * and the temporary streams that hold each input and each output. */
#ifndef KELU_ENVELOPE_FUZZ_FILES_H
#define KELU_ENVELOPE_FUZZ_FILES_H

#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <vector>

namespace envelopefuzz {

inline void Require(bool condition, const char *what) {
  if (!condition) {
    std::fprintf(stderr, "check failed: %s\n", what);
    std::abort();
  }
}

// The whole stream, from its start.
inline std::vector<uint8_t> ReadAll(FILE *f) {
  std::vector<uint8_t> bytes;
  Require(fseeko(f, 0, SEEK_END) == 0, "seek end");
  const off_t size = ftello(f);
  Require(size >= 0 && fseeko(f, 0, SEEK_SET) == 0, "seek start");
  bytes.resize(static_cast<size_t>(size));
  Require(std::fread(bytes.data(), 1, bytes.size(), f) == bytes.size(), "read");
  return bytes;
}

inline std::vector<uint8_t> ReadPath(const std::string &path) {
  FILE *f = std::fopen(path.c_str(), "rb");
  Require(f != nullptr, path.c_str());
  std::vector<uint8_t> bytes = ReadAll(f);
  std::fclose(f);
  return bytes;
}

// The stream emptied, then holding size bytes of data.
inline void Reset(FILE *f, const uint8_t *data, size_t size) {
  Require(std::fflush(f) == 0 && ftruncate(fileno(f), 0) == 0 && fseeko(f, 0, SEEK_SET) == 0,
          "reset");
  if (size != 0) Require(std::fwrite(data, 1, size, f) == size && std::fflush(f) == 0, "write");
}

// A fresh folder in which the openssl commands (arguments after "openssl") have run.
inline std::string RunOpensslInNewFolder(const char *name,
                                         std::initializer_list<std::string> commands) {
  std::string dir = std::string("/tmp/") + name + "-XXXXXX";
  Require(mkdtemp(dir.data()) != nullptr, "mkdtemp");
  for (const std::string &command : commands) {
    const std::string line = "cd '" + dir + "' && openssl " + command + " 2>/dev/null";
    Require(std::system(line.c_str()) == 0, command.c_str());
  }
  return dir;
}

}  // namespace envelopefuzz

#endif

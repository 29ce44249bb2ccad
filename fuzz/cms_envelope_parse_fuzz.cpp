// The envelope parsers on arbitrary bytes: no crash, no read outside the input, nothing handed
// out on failure, and the file parser agrees with the memory parser.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "CMSEnvelopeOperations.h"

namespace {

void Require(bool condition, const char *what) {
  if (!condition) {
    std::fprintf(stderr, "check failed: %s\n", what);
    std::abort();
  }
}

std::vector<uint8_t> ReadNode(const NodeEx &node, FILE *file) {
  std::vector<uint8_t> content;
  auto read = [&](const NodeEx &n) {
    std::vector<uint8_t> chunk(n.ValueLength);
    Require(fseeko(file, static_cast<off_t>(n.ValueStartPosition), SEEK_SET) == 0, "seek");
    Require(std::fread(chunk.data(), 1, chunk.size(), file) == chunk.size(), "segment in file");
    content.insert(content.end(), chunk.begin(), chunk.end());
  };
  if (node.vetNodes.empty()) read(node);
  for (const NodeEx *segment : node.vetNodes) read(*segment);
  return content;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > (1 << 20)) return 0;
  unsigned char *key_id = nullptr, *key = nullptr, *content = nullptr, *parameters = nullptr;
  char *key_oid = nullptr, *content_oid = nullptr;
  int key_id_size = 0, key_size = 0, content_size = 0, parameters_size = 0, key_oid_size = 0,
      content_oid_size = 0;
  int memory = Decode_CMSEnvelopeData(data, static_cast<int>(size), &key_id, &key_id_size, &key,
                                      &key_size, &content, &content_size, &key_oid, &key_oid_size,
                                      &content_oid, &content_oid_size, &parameters,
                                      &parameters_size);
  if (memory != 0) {
    Require(key_id == nullptr && key == nullptr && content == nullptr && key_oid == nullptr,
            "nothing handed out on failure");
  } else {
    Require(content[content_size] == 0, "content NUL-terminated");
    Require(static_cast<size_t>(key_id_size) <= size && static_cast<size_t>(content_size) <= size,
            "outputs within the input");
  }

  FILE *file = tmpfile();
  Require(file != nullptr, "tmpfile");
  if (size != 0) Require(std::fwrite(data, 1, size, file) == size, "write");
  Require(fseeko(file, 1, SEEK_SET) == 0, "seek");
  unsigned char *file_key_id = nullptr, *file_key = nullptr, *file_parameters = nullptr;
  char *file_key_oid = nullptr, *file_content_oid = nullptr;
  int file_key_id_size = 0, file_key_size = 0, file_parameters_size = 0, file_key_oid_size = 0,
      file_content_oid_size = 0;
  NodeEx *node = nullptr;
  int from_file = Decode_CMSEnvelopeFile(file, &file_key_id, &file_key_id_size, &file_key,
                                         &file_key_size, &node, &file_key_oid, &file_key_oid_size,
                                         &file_content_oid, &file_content_oid_size,
                                         &file_parameters, &file_parameters_size);
  Require(ftello(file) == 1, "file position put back");
  Require((memory == 0) == (from_file == 0), "both parsers agree");
  if (from_file == 0) {
    Require(file_key_id_size == key_id_size &&
                std::memcmp(file_key_id, key_id, static_cast<size_t>(key_id_size)) == 0,
            "same key identifier");
    Require(file_key_size == key_size &&
                std::memcmp(file_key, key, static_cast<size_t>(key_size)) == 0,
            "same encrypted key");
    std::vector<uint8_t> read = ReadNode(*node, file);
    Require(read.size() == static_cast<size_t>(content_size) &&
                (read.empty() || std::memcmp(read.data(), content, read.size()) == 0),
            "same content through the node");
  }
  delete node;
  std::fclose(file);
  delete[] key_id;
  delete[] key;
  delete[] content;
  delete[] parameters;
  delete[] key_oid;
  delete[] content_oid;
  delete[] file_key_id;
  delete[] file_key;
  delete[] file_parameters;
  delete[] file_key_oid;
  delete[] file_content_oid;
  return 0;
}

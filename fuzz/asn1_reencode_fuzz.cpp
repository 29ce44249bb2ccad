// Decode -> re-encode. A decoded tree is made encodable by letting every node contribute its
// whole value; DER input must then encode to itself, and any encoding that succeeds must be DER
// that the file encoder writes alike and that encodes to itself again.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ASN1EngineEx.h"
#include "KeluErrors.h"
#include "asn1_fuzz_checks.h"

namespace {

using asn1fuzz::Require;

void ContributeWholeValues(NodeEx *node) {
  node->CurrentValueLength = node->ValueLength;
  for (NodeEx *child : node->vetNodes) ContributeWholeValues(child);
}

// Definite lengths in their shortest form throughout.
bool IsDer(const NodeEx &node, const uint8_t *source) {
  uint64_t header = node.ValueStartPosition - node.LengthOctetsSize - 1;
  if (node.LengthOctetsSize == 1 && source[header + 1] == 0x80) return false;
  int shortest = EncodeASN1Length(static_cast<int64_t>(node.ValueLength));
  if (node.LengthOctetsSize != static_cast<uint64_t>(shortest)) return false;
  for (const NodeEx *child : node.vetNodes) {
    if (!IsDer(*child, source)) return false;
  }
  return true;
}

struct Encoding {
  int result = -1;
  unsigned char *bytes = nullptr;
  int size = 0;
  ~Encoding() { delete[] bytes; }
};

void EncodeDecodedTree(NodeEx *root, Encoding *out) {
  ContributeWholeValues(root);
  out->result = EncodeASN1ToMemory(root, &out->bytes, &out->size, nullptr);
}

void CheckFileEncoderAgrees(NodeEx *root, const Encoding &memory) {
  char *written = nullptr;
  size_t written_size = 0;
  FILE *stream = open_memstream(&written, &written_size);
  Require(stream != nullptr, "open_memstream");
  int count = 0;
  int result = EncodeASN1ToFile(root, stream, &count, nullptr);
  std::fclose(stream);
  Require(result == KELU_OK, "file encoder succeeds where memory encoder did");
  Require(count == memory.size && written_size == static_cast<size_t>(memory.size) &&
              std::memcmp(written, memory.bytes, written_size) == 0,
          "file and memory encodings agree");
  std::free(written);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  NodeEx *root = nullptr;
  if (DecodeASN1MemoryEx(data, size, &root) != 0) return 0;
  bool der = IsDer(*root, data);
  uint64_t der_size = root->TotalLength;
  Encoding encoding;
  EncodeDecodedTree(root, &encoding);
  if (der) {
    Require(encoding.result == KELU_OK, "DER input re-encodes");
    Require(static_cast<uint64_t>(encoding.size) == der_size &&
                std::memcmp(encoding.bytes, data, der_size) == 0,
            "DER input re-encodes to itself");
  }
  if (encoding.result == KELU_OK) {
    CheckFileEncoderAgrees(root, encoding);
    NodeEx *again = nullptr;
    Require(DecodeASN1MemoryEx(encoding.bytes, encoding.size, &again) == 0, "output decodes");
    Require(IsDer(*again, encoding.bytes), "output is DER");
    Encoding twice;
    EncodeDecodedTree(again, &twice);
    Require(twice.result == KELU_OK && twice.size == encoding.size &&
                std::memcmp(twice.bytes, encoding.bytes, encoding.size) == 0,
            "output re-encodes to itself");
    delete again;
  }
  delete root;
  return 0;
}

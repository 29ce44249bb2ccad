/* Checks shared by the node engine's fuzz targets: what every decoded tree must satisfy. */
#ifndef KELU_ASN1_FUZZ_CHECKS_H
#define KELU_ASN1_FUZZ_CHECKS_H

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "ASN1EngineEx.h"

namespace asn1fuzz {

inline void Require(bool condition, const char *what) {
  if (!condition) {
    std::fprintf(stderr, "violated: %s\n", what);
    std::abort();
  }
}

struct Flat {
  uint8_t tag;
  uint64_t start, length_octets, value_length, total;
  size_t children;
  bool operator==(const Flat &o) const {
    return tag == o.tag && start == o.start && length_octets == o.length_octets &&
           value_length == o.value_length && total == o.total && children == o.children;
  }
};

// The node lies inside the source, its elements fill its value one after the other, and an
// indefinite value ends with its end-of-contents octets.
inline void CheckNode(const NodeEx &node, const uint8_t *data, uint64_t size,
                      std::vector<Flat> *flat) {
  flat->push_back({node.Tag, node.ValueStartPosition, node.LengthOctetsSize, node.ValueLength,
                   node.TotalLength, node.vetNodes.size()});
  Require(node.IsInfiniteLength == 0, "no unresolved length");
  Require(node.FileLength == size, "FileLength is the source size");
  Require(node.LengthOctetsSize >= 1 && node.LengthOctetsSize <= 9, "length octets count");
  Require(node.ValueStartPosition >= node.LengthOctetsSize + 1, "header inside the source");
  Require(node.ValueLength <= size - node.ValueStartPosition, "value inside the source");
  Require(node.TotalLength == 1 + node.LengthOctetsSize + node.ValueLength, "TotalLength");
  Require((node.Tag & 0x20) != 0 || node.vetNodes.empty(), "primitive values are not parsed");
  uint64_t header = node.ValueStartPosition - node.LengthOctetsSize - 1;
  Require(data[header] == node.Tag, "identifier octet");
  bool indefinite = node.LengthOctetsSize == 1 && data[header + 1] == 0x80;
  uint64_t position = node.ValueStartPosition;
  for (const NodeEx *child : node.vetNodes) {
    Require(child->pParentNode == &node, "parent pointer");
    Require(child->ValueStartPosition - child->LengthOctetsSize - 1 == position, "contiguous");
    CheckNode(*child, data, size, flat);
    position += child->TotalLength;
  }
  uint64_t end = node.ValueStartPosition + node.ValueLength;
  if ((node.Tag & 0x20) == 0) return;
  if (indefinite) {
    Require(position + 2 == end && data[position] == 0 && data[position + 1] == 0,
            "end-of-contents octets close an indefinite value");
  } else {
    Require(position == end, "elements fill a definite value");
  }
}

inline std::vector<Flat> CheckTree(const NodeEx &root, const uint8_t *data, size_t size) {
  std::vector<Flat> flat;
  Require(root.pParentNode == nullptr, "root has no parent");
  Require(root.ValueStartPosition == root.LengthOctetsSize + 1, "root starts at offset 0");
  CheckNode(root, data, size, &flat);
  return flat;
}

// The file decoder on the same bytes must give the same tree.
inline void CheckFileDecoderAgrees(const uint8_t *data, size_t size, int memory_result,
                                   const std::vector<Flat> &memory_flat) {
  if (size == 0) return;
  FILE *file = fmemopen(const_cast<uint8_t *>(data), size, "rb");
  if (file == nullptr) return;
  NodeEx *root = nullptr;
  int result = DecodeASN1FileEx(file, &root);
  Require(result == memory_result, "file and memory decoders agree on the result");
  if (result == 0) {
    Require(root != nullptr && root->fpFile == file, "file tree refers to the file");
    Require(CheckTree(*root, data, size) == memory_flat, "file and memory trees agree");
  } else {
    Require(root == nullptr, "a failed decode hands out no node");
  }
  delete root;
  std::fclose(file);
}

}  // namespace asn1fuzz

#endif

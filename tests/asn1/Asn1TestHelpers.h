/* Shared fixtures of the node engine tests: tree builders, encoding into bytes, files, and the
 * node listing of `openssl asn1parse` to compare with. */
#ifndef KELU_ASN1_TEST_HELPERS_H
#define KELU_ASN1_TEST_HELPERS_H

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "ASN1EngineEx.h"
#include "KeluErrors.h"
#include "TestSupport.h"

namespace asn1test {

using kelu::test::Bytes;
using NodePtr = std::unique_ptr<NodeEx>;

struct FileCloser {
  void operator()(FILE *f) const {
    if (f != nullptr) std::fclose(f);
  }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

inline NodeEx *Leaf(uint8_t tag, const Bytes &value) {
  NodeEx *node = new NodeEx;
  node->Tag = tag;
  node->ValueLength = node->CurrentValueLength = value.size();
  if (!value.empty()) {
    node->pValue = new unsigned char[value.size()];
    std::memcpy(node->pValue, value.data(), value.size());
  }
  return node;
}

inline NodeEx *HeaderOnly(uint8_t tag, uint64_t announced) {
  NodeEx *node = new NodeEx;
  node->Tag = tag;
  node->ValueLength = announced;
  return node;
}

inline NodeEx *FileLeaf(uint8_t tag, FILE *file, uint64_t start, uint64_t length) {
  NodeEx *node = new NodeEx;
  node->Tag = tag;
  node->fpFile = file;
  node->ValueStartPosition = start;
  node->ValueLength = node->CurrentValueLength = length;
  return node;
}

inline NodeEx *Parent(uint8_t tag, std::initializer_list<NodeEx *> children) {
  NodeEx *node = new NodeEx;
  node->Tag = tag;
  for (NodeEx *child : children) node->AddChild(child);
  return node;
}

// levels SEQUENCEs inside each other, the innermost empty.
inline NodeEx *NestedSequences(int levels) {
  NodeEx *node = Parent(0x30, {});
  for (int i = 1; i < levels; ++i) node = Parent(0x30, {node});
  return node;
}

struct Encoded {
  int result;
  Bytes der;
};

inline Encoded ToMemory(NodeEx *root, int *depth = nullptr) {
  unsigned char *buffer = nullptr;
  int size = 0;
  int result = EncodeASN1ToMemory(root, &buffer, &size, depth);
  Encoded out{result, {}};
  if (result == KELU_OK) {
    out.der.assign(buffer, buffer + size);
  } else {
    EXPECT_EQ(buffer, nullptr) << "a failed encoding hands out no buffer";
    EXPECT_EQ(size, 0);
  }
  delete[] buffer;
  return out;
}

// Encodes onto a new file at path and reads the file back; the count must equal its size.
inline Encoded ToFile(NodeEx *root, const std::string &path, int *depth = nullptr) {
  FilePtr out(std::fopen(path.c_str(), "wb"));
  EXPECT_NE(out, nullptr);
  int count = 0;
  int result = EncodeASN1ToFile(root, out.get(), &count, depth);
  out.reset();
  Encoded encoded{result, kelu::test::ReadBinaryFile(path)};
  EXPECT_EQ(static_cast<size_t>(count), encoded.der.size()) << "count of bytes written";
  return encoded;
}

inline FilePtr OpenForReading(const std::string &path) {
  FilePtr file(std::fopen(path.c_str(), "rb"));
  EXPECT_NE(file, nullptr) << path;
  return file;
}

// A file of size bytes that holds prefix at its start and zeros (a hole) after it.
inline void MakeSparseFile(const std::string &path, const Bytes &prefix, uint64_t size) {
  kelu::test::WriteBinaryFile(path, prefix);
  ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(size)), 0) << path;
}

// One line of `openssl asn1parse`, or of the same listing made from a tree.
struct Listed {
  uint64_t offset;
  int depth;
  uint64_t header_length;
  bool indefinite;
  uint64_t length;
  bool constructed;
  bool operator==(const Listed &o) const {
    return offset == o.offset && depth == o.depth && header_length == o.header_length &&
           indefinite == o.indefinite && length == o.length && constructed == o.constructed;
  }
};

inline std::ostream &operator<<(std::ostream &os, const Listed &l) {
  return os << l.offset << ":d=" << l.depth << " hl=" << l.header_length
            << " l=" << (l.indefinite ? std::string("inf") : std::to_string(l.length))
            << (l.constructed ? " cons" : " prim");
}

struct Asn1Parse {
  int exit_code;
  std::string output;
  std::vector<Listed> lines;
};

inline Asn1Parse RunAsn1Parse(const std::string &path) {
  auto run = kelu::test::RunCommand("openssl asn1parse -inform DER -in " +
                                    kelu::test::ShellQuote(path));
  Asn1Parse parsed{run.exit_code, run.output, {}};
  // "%5ld:d=%-2d hl=%ld l=%4ld cons: ..." or "l=inf "; the rest of a line can be a long dump.
  for (const std::string &line : kelu::test::SplitLines(run.output)) {
    unsigned long long offset = 0, header = 0;
    int depth = 0;
    char length[32] = {0}, kind[8] = {0};
    if (std::sscanf(line.c_str(), " %llu:d=%d hl=%llu l=%31s %7s", &offset, &depth, &header,
                    length, kind) != 5) {
      continue;
    }
    bool inf = std::strcmp(length, "inf") == 0;
    parsed.lines.push_back({offset, depth, header, inf, inf ? 0 : std::stoull(length),
                            std::strcmp(kind, "cons:") == 0});
  }
  return parsed;
}

// The listing asn1parse gives for a decoded tree: pre-order, with an EOC line closing every
// value that had an indefinite length. source holds the encoding the tree refers to.
inline void ListTree(const NodeEx &node, int depth, const Bytes &source,
                     std::vector<Listed> *out) {
  uint64_t header_start = node.ValueStartPosition - node.LengthOctetsSize - 1;
  bool indefinite = node.LengthOctetsSize == 1 && source.at(header_start + 1) == 0x80;
  out->push_back({header_start, depth, 1 + node.LengthOctetsSize, indefinite,
                  indefinite ? 0 : node.ValueLength, (node.Tag & 0x20) != 0});
  for (const NodeEx *child : node.vetNodes) ListTree(*child, depth + 1, source, out);
  if (indefinite) {
    out->push_back({node.ValueStartPosition + node.ValueLength - 2, depth + 1, 2, false, 0, false});
  }
}

}  // namespace asn1test

#endif

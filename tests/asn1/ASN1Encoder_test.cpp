// The NodeEx tree and the DER encoders into memory and onto files.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <functional>

#include "ASN1EngineEx.h"
#include "Asn1TestHelpers.h"
#include "KeluErrors.h"
#include "LogCapture.h"
#include "TestSupport.h"

namespace {

using asn1test::Encoded;
using asn1test::FileLeaf;
using asn1test::FilePtr;
using asn1test::HeaderOnly;
using asn1test::Leaf;
using asn1test::NodePtr;
using asn1test::Parent;
using kelu::test::Bytes;
using kelu::test::FromHex;
using kelu::test::TempDir;
using kelu::test::ToHex;

Bytes Pattern(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 7 + 3);
  return b;
}

Bytes Concat(Bytes a, const Bytes &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

void ExpectAsn1ParseAccepts(const TempDir &dir, const Bytes &der) {
  std::string path = dir.File("check.der");
  kelu::test::WriteBinaryFile(path, der);
  auto parsed = asn1test::RunAsn1Parse(path);
  EXPECT_EQ(parsed.exit_code, 0) << parsed.output.substr(0, 2000);
  EXPECT_EQ(parsed.output.find("Error"), std::string::npos) << parsed.output.substr(0, 2000);
}

TEST(EncodeASN1Length, ShortestFormForEachLength) {
  struct Case {
    int64_t length;
    const char *octets;
  };
  const Case kCases[] = {
      {0, "00"},           {127, "7F"},           {128, "8180"},
      {255, "81FF"},       {256, "820100"},       {65535, "82FFFF"},
      {65536, "83010000"}, {0x3200000, "8403200000"}, {0x100000000LL, "850100000000"},
      {INT64_MAX, "887FFFFFFFFFFFFFFF"},
  };
  for (const Case &c : kCases) {
    unsigned char *octets = nullptr;
    int count = EncodeASN1Length(c.length, &octets);
    ASSERT_EQ(count, static_cast<int>(strlen(c.octets) / 2)) << c.length;
    EXPECT_EQ(ToHex(octets, count), c.octets) << c.length;
    EXPECT_EQ(EncodeASN1Length(c.length), count) << "count without a copy";
    delete[] octets;
  }
  unsigned char *untouched = nullptr;
  EXPECT_EQ(EncodeASN1Length(-1, &untouched), -1);
  EXPECT_EQ(untouched, nullptr);
}

TEST(ASN1Encode, OneTlvAndRefusals) {
  unsigned char *out = nullptr;
  int size = 0;
  Bytes iv = FromHex("000102030405060708090A0B0C0D0E0F");
  ASSERT_EQ(ASN1Encode(0x04, iv.data(), 16, &out, &size), KELU_OK);
  EXPECT_EQ(ToHex(out, size), "0410000102030405060708090A0B0C0D0E0F");
  delete[] out;

  out = nullptr;
  ASSERT_EQ(ASN1Encode(0x05, nullptr, 0, &out, &size), KELU_OK);
  EXPECT_EQ(ToHex(out, size), "0500");
  delete[] out;

  Bytes big = Pattern(300);
  out = nullptr;
  ASSERT_EQ(ASN1Encode(0x04, big.data(), 300, &out, &size), KELU_OK);
  EXPECT_EQ(ToHex(Bytes(out, out + size)), "0482012C" + ToHex(big));
  delete[] out;

  out = nullptr;
  size = 77;
  EXPECT_EQ(ASN1Encode(0x04, nullptr, 5, &out, &size), KELU_ERR_FAILED);
  EXPECT_EQ(ASN1Encode(0x04, iv.data(), -1, &out, &size), KELU_ERR_FAILED);
  EXPECT_EQ(ASN1Encode(0x04, iv.data(), 1, nullptr, &size), KELU_ERR_FAILED);
  EXPECT_EQ(ASN1Encode(0x04, iv.data(), 1, &out, nullptr), KELU_ERR_FAILED);
  // 1 + 5 + (INT_MAX - 5) bytes cannot be counted in the int size: refused before the value
  // is read (the buffer holds 16 bytes only).
  EXPECT_EQ(ASN1Encode(0x04, iv.data(), INT_MAX - 5, &out, &size), KELU_ERR_FAILED);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(size, 77);
}

struct TreeCase {
  const char *name;
  std::function<NodeEx *()> build;
  const char *der;
};

TEST(EncodeTree, BuiltTreesGiveTheirDerInMemoryAndOnFile) {
  const TreeCase kCases[] = {
      {"empty SEQUENCE", [] { return Parent(0x30, {}); }, "3000"},
      {"INTEGER in SEQUENCE", [] { return Parent(0x30, {Leaf(0x02, {0x05})}); }, "3003020105"},
      {"3-byte leaf", [] { return Parent(0x30, {Leaf(0x04, FromHex("414243"))}); },
       "3005" "0403414243"},
      {"nested SET and context tags",
       [] {
         return Parent(0x30, {Parent(0x31, {Leaf(0x06, FromHex("2A03"))}),
                              Parent(0xA0, {Leaf(0x05, {})}), Leaf(0x80, FromHex("01"))});
       },
       "300D" "3104" "06022A03" "A002" "0500" "800101"},
      {"AlgorithmIdentifier leaf holding its content",
       [] {
         return Parent(0x30, {Leaf(0x30, FromHex("06092A864886F70D0101010500"))});
       },
       "300F" "300D06092A864886F70D0101010500"},
  };
  TempDir dir;
  for (const TreeCase &c : kCases) {
    SCOPED_TRACE(c.name);
    NodePtr tree(c.build());
    Encoded memory = asn1test::ToMemory(tree.get());
    ASSERT_EQ(memory.result, KELU_OK);
    EXPECT_EQ(ToHex(memory.der), c.der);
    Encoded file = asn1test::ToFile(tree.get(), dir.File("tree.der"));
    ASSERT_EQ(file.result, KELU_OK);
    EXPECT_EQ(file.der, memory.der);
    EXPECT_EQ(tree->GetTotalRequiredSize(), static_cast<int>(memory.der.size()));
    ExpectAsn1ParseAccepts(dir, memory.der);
  }
}

// Value lengths around each change in the number of length octets, as a leaf and inside a
// SEQUENCE; asn1parse must see the same header lengths.
TEST(EncodeTree, LengthOctetsAtTheirBoundaries) {
  struct Case {
    size_t length;
    const char *header;
  };
  const Case kCases[] = {
      {127, "807F"},        {128, "808180"},           {255, "8081FF"},
      {256, "80820100"},    {65535, "8082FFFF"},       {65536, "8083010000"},
      {16777215, "8083FFFFFF"}, {16777216, "808401000000"},
  };
  TempDir dir;
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.length);
    Bytes value = Pattern(c.length);
    NodePtr tree(Parent(0x30, {Leaf(0x80, value)}));
    Encoded memory = asn1test::ToMemory(tree.get());
    ASSERT_EQ(memory.result, KELU_OK);
    size_t leaf_size = strlen(c.header) / 2 + c.length;
    unsigned char *outer = nullptr;
    int outer_count = EncodeASN1Length(static_cast<int64_t>(leaf_size), &outer);
    Bytes expected = Concat(Concat(Concat({0x30}, Bytes(outer, outer + outer_count)),
                                   FromHex(c.header)),
                            value);
    delete[] outer;
    EXPECT_TRUE(memory.der == expected);

    std::string path = dir.File("len.der");
    kelu::test::WriteBinaryFile(path, memory.der);
    auto parsed = asn1test::RunAsn1Parse(path);
    ASSERT_EQ(parsed.exit_code, 0);
    ASSERT_EQ(parsed.lines.size(), 2u);
    EXPECT_EQ(parsed.lines[0].length, leaf_size);
    EXPECT_EQ(parsed.lines[1].header_length, strlen(c.header) / 2);
    EXPECT_EQ(parsed.lines[1].length, c.length);
  }
}

TEST(AddChild, KeepsBothLengthSums) {
  NodePtr parent(Parent(0x30, {}));
  parent->AddChild(nullptr);
  EXPECT_EQ(parent->ValueLength, 0u);
  EXPECT_TRUE(parent->vetNodes.empty());

  NodeEx *leaf = Leaf(0x04, FromHex("414243"));
  parent->AddChild(leaf);
  EXPECT_EQ(parent->ValueLength, 5u);
  EXPECT_EQ(parent->CurrentValueLength, 5u);
  EXPECT_EQ(leaf->pParentNode, parent.get());
  ASSERT_EQ(parent->vetNodes.size(), 1u);

  // A header-only leaf announces its bytes to the header lengths only.
  parent->AddChild(HeaderOnly(0x80, 1000));
  EXPECT_EQ(parent->ValueLength, 5u + 1004u);
  EXPECT_EQ(parent->CurrentValueLength, 5u + 4u);
  EXPECT_EQ(parent->GetTotalRequiredSize(), 1 + 3 + 1009);
  EXPECT_EQ(parent->GetCurrentRequiredLength(), 1 + 3 + 9);

  // Sizes that do not fit the int result are refused rather than cut.
  NodePtr announced(Parent(0x30, {HeaderOnly(0x80, 0x80000000ULL)}));
  EXPECT_EQ(announced->GetTotalRequiredSize(), -1);
  EXPECT_EQ(announced->GetCurrentRequiredLength(), 1 + 5 + 6);
}

TEST(EncodeTree, HeaderOnlyLeafLeavesItsBytesToTheCaller) {
  TempDir dir;
  Bytes content = Pattern(1000);
  NodePtr tree(Parent(0x30, {Leaf(0x06, FromHex("2A864886F70D010701")), HeaderOnly(0x80, 1000)}));
  Encoded memory = asn1test::ToMemory(tree.get());
  ASSERT_EQ(memory.result, KELU_OK);
  EXPECT_EQ(ToHex(memory.der), "308203F7" "06092A864886F70D010701" "808203E8");
  Encoded file = asn1test::ToFile(tree.get(), dir.File("prefix.der"));
  ASSERT_EQ(file.result, KELU_OK);
  EXPECT_EQ(file.der, memory.der);

  // The prefix followed by the announced bytes is the DER of the whole structure.
  Bytes whole = Concat(memory.der, content);
  ExpectAsn1ParseAccepts(dir, whole);
  NodeEx *decoded = nullptr;
  ASSERT_EQ(DecodeASN1MemoryEx(whole.data(), whole.size(), &decoded), 0);
  NodePtr owner(decoded);
  ASSERT_EQ(decoded->vetNodes.size(), 2u);
  EXPECT_EQ(decoded->vetNodes[1]->ValueLength, 1000u);
  EXPECT_EQ(decoded->TotalLength, whole.size());
}

TEST(EncodeTree, LengthsBeyondFourGibibytesInHeaders) {
  NodePtr tree(Parent(0x30, {HeaderOnly(0x80, 0x100000000ULL)}));
  Encoded memory = asn1test::ToMemory(tree.get());
  ASSERT_EQ(memory.result, KELU_OK);
  EXPECT_EQ(ToHex(memory.der), "30850100000007" "80850100000000");
}

TEST(EncodeLimits, MemorySizeLimitIsInclusive) {
  TempDir dir;
  // A file-backed OCTET STRING: 1 identifier + 5 length octets + value.
  const uint64_t kValue = MAX_ASN1_DATA_MEMORY_SIZE - 6;
  std::string path = dir.File("sparse.bin");
  asn1test::MakeSparseFile(path, {}, kValue + 1);
  FilePtr content = asn1test::OpenForReading(path);

  NodePtr exact(FileLeaf(0x04, content.get(), 0, kValue));
  Encoded at_limit = asn1test::ToMemory(exact.get());
  ASSERT_EQ(at_limit.result, KELU_OK);
  ASSERT_EQ(at_limit.der.size(), static_cast<size_t>(MAX_ASN1_DATA_MEMORY_SIZE));
  EXPECT_EQ(ToHex(Bytes(at_limit.der.begin(), at_limit.der.begin() + 6)), "0484031FFFFA");

  NodePtr over(FileLeaf(0x04, content.get(), 0, kValue + 1));
  Encoded above = asn1test::ToMemory(over.get());
  EXPECT_EQ(above.result, KELU_ERR_ASN1_TOO_LARGE);
}

TEST(EncodeLimits, FileEncodingThatCannotBeCountedInAnIntIsRefused) {
  TempDir dir;
  const uint64_t kValue = 0x80000000ULL;
  std::string path = dir.File("huge.bin");
  asn1test::MakeSparseFile(path, {}, kValue);
  FilePtr content = asn1test::OpenForReading(path);
  NodePtr tree(FileLeaf(0x04, content.get(), 0, kValue));
  Encoded file = asn1test::ToFile(tree.get(), dir.File("out.der"));
  EXPECT_EQ(file.result, KELU_ERR_FAILED);
  EXPECT_TRUE(file.der.empty()) << "nothing is written";
  EXPECT_EQ(asn1test::ToMemory(tree.get()).result, KELU_ERR_ASN1_TOO_LARGE);
}

TEST(EncodeLimits, DepthLimitWithACounterOnly) {
  TempDir dir;
  NodePtr deepest_allowed(asn1test::NestedSequences(MAX_RECURSIVE_DEEP_LEVEL));
  NodePtr too_deep(asn1test::NestedSequences(MAX_RECURSIVE_DEEP_LEVEL + 1));
  int counter = 0;
  EXPECT_EQ(asn1test::ToMemory(deepest_allowed.get(), &counter).result, KELU_OK);
  EXPECT_EQ(counter, 0);
  EXPECT_EQ(asn1test::ToFile(deepest_allowed.get(), dir.File("a.der"), &counter).result, KELU_OK);
  EXPECT_EQ(counter, 0);
  EXPECT_EQ(asn1test::ToMemory(too_deep.get(), &counter).result, KELU_ERR_ASN1_TOO_DEEP);
  EXPECT_EQ(counter, 0);
  Encoded file = asn1test::ToFile(too_deep.get(), dir.File("b.der"), &counter);
  EXPECT_EQ(file.result, KELU_ERR_ASN1_TOO_DEEP);
  EXPECT_TRUE(file.der.empty());
  EXPECT_EQ(counter, 0);
  EXPECT_EQ(asn1test::ToMemory(too_deep.get()).result, KELU_OK) << "no counter, no limit";
}

TEST(EncodeLimits, FailedStepLinesNameTheLimit) {
  kelu::test::LogCapture log;
  NodePtr too_deep(asn1test::NestedSequences(MAX_RECURSIVE_DEEP_LEVEL + 1));
  int counter = 0;
  EXPECT_EQ(asn1test::ToMemory(too_deep.get(), &counter).result, KELU_ERR_ASN1_TOO_DEEP);
  EXPECT_TRUE(log.Contains("(EncodeASN1ToMemory -- Check recursive deep level)\t\t--Failed:"
                           "(0xa0071102) [Reason:*pnCurrentDeepLevel > MAX_RECURSIVE_DEEP_LEVEL]"))
      << log.Text();
  EXPECT_TRUE(log.Contains("[ASN1EngineEx.cpp(")) << log.Text();

  TempDir dir;
  std::string path = dir.File("sparse.bin");
  asn1test::MakeSparseFile(path, {}, MAX_ASN1_DATA_MEMORY_SIZE);
  FilePtr content = asn1test::OpenForReading(path);
  NodePtr too_large(FileLeaf(0x04, content.get(), 0, MAX_ASN1_DATA_MEMORY_SIZE));
  EXPECT_EQ(asn1test::ToMemory(too_large.get()).result, KELU_ERR_ASN1_TOO_LARGE);
  EXPECT_TRUE(log.Contains("(EncodeASN1ToMemory -- Check ASN.1 data size)\t\t--Failed:"
                           "(0xa0071101) [Reason:MAX_ASN1_DATA_MEMORY_SIZE < "
                           "nCurrentRequiredLength]"))
      << log.Text();
}

class FileBackedLeaf : public ::testing::Test {
 protected:
  static constexpr uint64_t kOffset = 100;
  static constexpr uint64_t kLength = 7000000;

  void SetUp() override {
    content_ = kelu::test::RandomBytes(kOffset + kLength + 50);
    content_path_ = dir_.File("content.bin");
    kelu::test::WriteBinaryFile(content_path_, content_);
    file_ = asn1test::OpenForReading(content_path_);
    tree_.reset(Parent(0x30, {Leaf(0x06, FromHex("2A864886F70D010701")),
                              FileLeaf(0x80, file_.get(), kOffset, kLength)}));
  }

  Bytes Expected() const {
    Bytes der = FromHex("30836ACFD0" "06092A864886F70D010701" "80836ACFC0");
    der.insert(der.end(), content_.begin() + kOffset, content_.begin() + kOffset + kLength);
    return der;
  }

  TempDir dir_;
  Bytes content_;
  std::string content_path_;
  FilePtr file_;
  NodePtr tree_;
};

TEST_F(FileBackedLeaf, StreamsOntoAFileAndIntoMemory) {
  Encoded file = asn1test::ToFile(tree_.get(), dir_.File("out.der"));
  ASSERT_EQ(file.result, KELU_OK);
  EXPECT_TRUE(file.der == Expected());
  Encoded memory = asn1test::ToMemory(tree_.get());
  ASSERT_EQ(memory.result, KELU_OK);
  EXPECT_TRUE(memory.der == Expected());
}

TEST_F(FileBackedLeaf, ContentTruncatedAfterBuildingFails) {
  ASSERT_EQ(truncate(content_path_.c_str(), kOffset + kLength - 1), 0);
  EXPECT_EQ(asn1test::ToMemory(tree_.get()).result, KELU_ERR_FAILED);
  EXPECT_EQ(asn1test::ToFile(tree_.get(), dir_.File("out.der")).result, KELU_ERR_FAILED);
}

TEST_F(FileBackedLeaf, WritingToAFullDeviceFails) {
  for (NodeEx *tree : {tree_.get(), tree_->vetNodes[0]}) {
    FilePtr full(std::fopen("/dev/full", "wb"));
    ASSERT_NE(full, nullptr);
    int count = 0;
    EXPECT_EQ(EncodeASN1ToFile(tree, full.get(), &count, nullptr), KELU_ERR_FAILED);
  }
}

TEST(EncodeRefusals, InconsistentOrUnencodableTrees) {
  TempDir dir;
  struct Case {
    const char *name;
    std::function<NodeEx *()> build;
  };
  const Case kCases[] = {
      {"child grown after it was attached",
       [] {
         NodeEx *leaf = Leaf(0x04, FromHex("41"));
         NodeEx *parent = Parent(0x30, {leaf});
         delete[] leaf->pValue;
         leaf->pValue = new unsigned char[200]();
         leaf->ValueLength = leaf->CurrentValueLength = 200;
         return parent;
       }},
      {"child removed after it was attached",
       [] {
         NodeEx *parent = Parent(0x30, {Leaf(0x04, FromHex("41")), Leaf(0x04, FromHex("42"))});
         delete parent->vetNodes.back();
         parent->vetNodes.pop_back();
         return parent;
       }},
      {"leaf whose current length passes its announced length",
       [] {
         NodeEx *leaf = Leaf(0x04, FromHex("414243"));
         leaf->ValueLength = 1;
         return leaf;
       }},
      {"leaf with a current length but no value",
       [] {
         NodeEx *leaf = HeaderOnly(0x04, 10);
         leaf->CurrentValueLength = 10;
         return leaf;
       }},
      {"child whose announced TLV passes 64 bits",
       [] { return Parent(0x30, {HeaderOnly(0x80, UINT64_MAX - 5)}); }},
      {"children whose sum passes 64 bits",
       [] {
         return Parent(0x30, {HeaderOnly(0x80, 1ULL << 63), HeaderOnly(0x80, 1ULL << 63)});
       }},
      {"decoded-style node referring to a source",
       [] {
         static const unsigned char kSource[] = {0x04, 0x02, 0x41, 0x42};
         NodeEx *node = HeaderOnly(0x04, 2);
         node->pbySource = kSource;
         node->ValueStartPosition = 2;
         return node;
       }},
  };
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.name);
    NodePtr tree(c.build());
    EXPECT_EQ(asn1test::ToMemory(tree.get()).result, KELU_ERR_FAILED);
    Encoded file = asn1test::ToFile(tree.get(), dir.File("out.der"));
    EXPECT_EQ(file.result, KELU_ERR_FAILED);
    EXPECT_TRUE(file.der.empty());
  }
}

// A file-backed value is read from its own offset or not at all: a stream that cannot be
// positioned (a pipe) would otherwise give its first bytes in place of those at the offset.
TEST(EncodeRefusals, FileBackedLeafOnAStreamThatCannotSeek) {
  TempDir dir;
  for (bool to_memory : {true, false}) {
    SCOPED_TRACE(to_memory ? "memory" : "file");
    FILE *pipe = popen("printf ABCDEFGHIJ", "r");
    ASSERT_NE(pipe, nullptr);
    NodePtr tree(Parent(0x30, {FileLeaf(0x04, pipe, 5, 3)}));
    int result = to_memory ? asn1test::ToMemory(tree.get()).result
                           : asn1test::ToFile(tree.get(), dir.File("out.der")).result;
    EXPECT_EQ(result, KELU_ERR_FAILED);
    pclose(pipe);
  }
}

// Offsets of file-backed values are 64-bit: a value past 4 GiB is read from where it lies.
TEST(EncodeTree, FileBackedLeafBeyondFourGibibytes) {
  TempDir dir;
  const uint64_t kOffset = 0x100000000ULL + 3;
  std::string path = dir.File("sparse.bin");
  asn1test::MakeSparseFile(path, FromHex("5A5A5A5A5A"), kOffset);
  {
    FilePtr append(std::fopen(path.c_str(), "ab"));
    ASSERT_NE(append, nullptr);
    ASSERT_EQ(std::fwrite("HELLO", 1, 5, append.get()), 5u);
  }
  FilePtr content = asn1test::OpenForReading(path);
  NodePtr tree(Parent(0x30, {FileLeaf(0x04, content.get(), kOffset, 5)}));
  Encoded memory = asn1test::ToMemory(tree.get());
  ASSERT_EQ(memory.result, KELU_OK);
  EXPECT_EQ(ToHex(memory.der), "3007" "040548454C4C4F");
  Encoded file = asn1test::ToFile(tree.get(), dir.File("out.der"));
  ASSERT_EQ(file.result, KELU_OK);
  EXPECT_EQ(file.der, memory.der);
}

TEST(EncodeRefusals, DecodedTreeIsNotEncodedAsItIs) {
  Bytes der = FromHex("3003020105");
  NodeEx *decoded = nullptr;
  ASSERT_EQ(DecodeASN1MemoryEx(der.data(), der.size(), &decoded), 0);
  NodePtr owner(decoded);
  EXPECT_EQ(asn1test::ToMemory(decoded).result, KELU_ERR_FAILED);
}

TEST(EncodeRefusals, ParametersOfTheMemoryEncoder) {
  NodePtr tree(Parent(0x30, {}));
  unsigned char *buffer = nullptr;
  int size = 0;
  EXPECT_EQ(EncodeASN1ToMemory(nullptr, &buffer, &size, nullptr), KELU_ERR_FAILED);
  EXPECT_EQ(EncodeASN1ToMemory(tree.get(), nullptr, &size, nullptr), KELU_ERR_FAILED);
  EXPECT_EQ(EncodeASN1ToMemory(tree.get(), &buffer, nullptr, nullptr), KELU_ERR_FAILED);
  // A buffer or a position handed in has no known capacity.
  unsigned char existing[4];
  buffer = existing;
  EXPECT_EQ(EncodeASN1ToMemory(tree.get(), &buffer, &size, nullptr), KELU_ERR_FAILED);
  buffer = nullptr;
  size = 3;
  EXPECT_EQ(EncodeASN1ToMemory(tree.get(), &buffer, &size, nullptr), KELU_ERR_FAILED);
  EXPECT_EQ(buffer, nullptr);

  int count = 0;
  EXPECT_EQ(EncodeASN1ToFile(tree.get(), nullptr, &count, nullptr), KELU_ERR_FAILED);
  EXPECT_EQ(EncodeASN1ToFile(nullptr, stdout, &count, nullptr), KELU_ERR_FAILED);
  EXPECT_EQ(EncodeASN1ToFile(tree.get(), stdout, nullptr, nullptr), KELU_ERR_FAILED);
}

TEST(DuplicateNodeEx, DeepCopyOwnsItsBytesAndPointsAtItsParents) {
  NodePtr original(Parent(0x30, {Leaf(0x04, FromHex("414243")),
                                 Parent(0x31, {Leaf(0x02, FromHex("05"))})}));
  Encoded before = asn1test::ToMemory(original.get());
  ASSERT_EQ(before.result, KELU_OK);

  NodeEx *copy = nullptr;
  ASSERT_EQ(DuplicateNodeEx(original.get(), &copy, true), KELU_OK);
  NodePtr copy_owner(copy);
  EXPECT_EQ(copy->pParentNode, nullptr);
  ASSERT_EQ(copy->vetNodes.size(), 2u);
  EXPECT_NE(copy->vetNodes[0]->pValue, original->vetNodes[0]->pValue);
  EXPECT_EQ(copy->vetNodes[0]->pParentNode, copy);
  EXPECT_EQ(copy->vetNodes[1]->vetNodes[0]->pParentNode, copy->vetNodes[1]);

  original.reset();  // the copy stands on its own
  Encoded after = asn1test::ToMemory(copy);
  ASSERT_EQ(after.result, KELU_OK);
  EXPECT_EQ(after.der, before.der);
}

TEST(DuplicateNodeEx, DecodedSubtreeOutlivesItsTree) {
  Bytes der = FromHex("3080" "3003020105" "0000");
  NodeEx *decoded = nullptr;
  ASSERT_EQ(DecodeASN1MemoryEx(der.data(), der.size(), &decoded), 0);
  NodeEx *copy = nullptr;
  ASSERT_EQ(DuplicateNodeEx(decoded->vetNodes[0], &copy, true), KELU_OK);
  delete decoded;
  NodePtr copy_owner(copy);
  EXPECT_EQ(copy->ValueStartPosition, 4u);
  EXPECT_EQ(copy->TotalLength, 5u);
  ASSERT_EQ(copy->vetNodes.size(), 1u);
  EXPECT_EQ(copy->vetNodes[0]->ValueStartPosition, 6u);
  EXPECT_EQ(copy->vetNodes[0]->pbySource, der.data());
}

TEST(DuplicateNodeEx, ShallowCopyHasNoChildren) {
  NodePtr original(Parent(0x30, {Leaf(0x04, FromHex("41"))}));
  NodeEx *copy = nullptr;
  ASSERT_EQ(DuplicateNodeEx(original.get(), &copy, false), KELU_OK);
  NodePtr copy_owner(copy);
  EXPECT_TRUE(copy->vetNodes.empty());
  EXPECT_EQ(copy->ValueLength, 3u);
  // Its lengths still count the child it lacks, so it is not encoded as a broken structure.
  EXPECT_EQ(asn1test::ToMemory(copy).result, KELU_ERR_FAILED);

  NodeEx *untouched = nullptr;
  EXPECT_EQ(DuplicateNodeEx(nullptr, &untouched, true), KELU_ERR_FAILED);
  EXPECT_EQ(untouched, nullptr);
  EXPECT_EQ(DuplicateNodeEx(original.get(), nullptr, true), KELU_ERR_FAILED);
}

}  // namespace

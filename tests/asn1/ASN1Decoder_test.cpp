// The BER/DER decoder from memory and from files.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "ASN1EngineEx.h"
#include "Asn1TestHelpers.h"
#include "LogCapture.h"
#include "TestSupport.h"

namespace {

using asn1test::FilePtr;
using asn1test::NodePtr;
using kelu::test::Bytes;
using kelu::test::FromHex;
using kelu::test::TempDir;

// Every field a decode fills, in pre-order, to compare two trees.
struct Flat {
  uint8_t tag;
  uint64_t start, length_octets, value_length, total, file_length;
  size_t children;
  uint16_t infinite;
  bool operator==(const Flat &o) const {
    return tag == o.tag && start == o.start && length_octets == o.length_octets &&
           value_length == o.value_length && total == o.total && file_length == o.file_length &&
           children == o.children && infinite == o.infinite;
  }
};

void Flatten(const NodeEx &node, const NodeEx *parent, std::vector<Flat> *out) {
  EXPECT_EQ(node.pParentNode, parent);
  EXPECT_EQ(node.CurrentValueLength, 0u);
  EXPECT_EQ(node.pValue, nullptr);
  out->push_back({node.Tag, node.ValueStartPosition, node.LengthOctetsSize, node.ValueLength,
                  node.TotalLength, node.FileLength, node.vetNodes.size(), node.IsInfiniteLength});
  for (const NodeEx *child : node.vetNodes) Flatten(*child, &node, out);
}

struct Decoded {
  int result;
  NodePtr root;
  std::vector<Flat> flat;
};

Decoded Collect(int result, NodeEx *root) {
  Decoded out{result, nullptr, {}};
  if (result != 0) {
    EXPECT_EQ(root, nullptr) << "a failed decode hands out no node";
    return out;
  }
  out.root.reset(root);
  Flatten(*root, nullptr, &out.flat);
  return out;
}

// The bytes are copied into a buffer of exactly their size, so that AddressSanitizer sees any
// read past the end. (The buffer goes before the tree, which is only looked at by its fields.)
Decoded FromMemory(const Bytes &bytes) {
  std::unique_ptr<unsigned char[]> exact(bytes.empty() ? nullptr : new unsigned char[bytes.size()]);
  if (!bytes.empty()) std::memcpy(exact.get(), bytes.data(), bytes.size());
  NodeEx *root = reinterpret_cast<NodeEx *>(0x1);
  int result = DecodeASN1MemoryEx(exact.get(), bytes.size(), &root);
  if (result == 0) {
    EXPECT_EQ(root->pbySource, exact.get());
  }
  return Collect(result, root);
}

Decoded FromFile(const TempDir &dir, const Bytes &bytes) {
  std::string path = dir.File("input.der");
  kelu::test::WriteBinaryFile(path, bytes);
  FilePtr file = asn1test::OpenForReading(path);
  NodeEx *root = reinterpret_cast<NodeEx *>(0x1);
  int result = DecodeASN1FileEx(file.get(), &root);
  if (result == 0) {
    EXPECT_EQ(root->fpFile, file.get());
  }
  return Collect(result, root);
}

struct DecodeCase {
  const char *name;
  const char *hex;
  int result;
  uint8_t tag;
  uint64_t length_octets, value_length, total;
  size_t children;
};

const DecodeCase kDecodeCases[] = {
    {"SEQUENCE holding an INTEGER", "3003020105", 0, 0x30, 1, 3, 5, 1},
    {"lone two-byte TLV", "0500", 0, 0x05, 1, 0, 2, 0},
    {"empty SEQUENCE, trailing byte ignored", "300000", 0, 0x30, 1, 0, 2, 0},
    {"indefinite SEQUENCE", "3080" "020105" "0000", 0, 0x30, 1, 5, 7, 1},
    {"empty indefinite SEQUENCE", "3080" "0000", 0, 0x30, 1, 2, 4, 0},
    {"nested indefinite", "3080" "3080" "0000" "0000", 0, 0x30, 1, 6, 8, 1},
    {"indefinite SET of an OCTET STRING", "3180" "040141" "0000", 0, 0x31, 1, 5, 7, 1},
    {"indefinite inside definite", "3004" "30800000", 0, 0x30, 1, 4, 6, 1},
    {"superfluous long form", "308103" "020105", 0, 0x30, 2, 3, 6, 1},
    {"four length octets", "048400000002" "4142", 0, 0x04, 5, 2, 8, 0},
    {"0x40 is primitive", "4003" "020105", 0, 0x40, 1, 3, 5, 0},
    {"[0] constructed", "A003" "020105", 0, 0xA0, 1, 3, 5, 1},
    {"[0] primitive", "8003" "020105", 0, 0x80, 1, 3, 5, 0},
    {"element with identifier 0", "3002" "0000", 0, 0x30, 1, 2, 4, 1},
    {"empty input", "", -1, 0, 0, 0, 0, 0},
    {"identifier only", "30", -1, 0, 0, 0, 0, 0},
    {"primitive with indefinite length", "0480" "4142" "0000", -1, 0, 0, 0, 0, 0},
    {"indefinite without end-of-contents", "3080" "020105", -1, 0, 0, 0, 0, 0},
    {"indefinite with one zero at the end", "3080" "020105" "00", -1, 0, 0, 0, 0, 0},
    {"indefinite holding one zero", "308000", -1, 0, 0, 0, 0, 0},
    {"value longer than the source", "3005" "020105", -1, 0, 0, 0, 0, 0},
    {"element past its parent", "3003" "020205" "05", -1, 0, 0, 0, 0, 0},
    {"header cut by its parent's end", "3001" "05" "0000", -1, 0, 0, 0, 0, 0},
    {"indefinite element past its parent", "3003" "30800000", -1, 0, 0, 0, 0, 0},
    {"eight length octets of all ones", "0488" "FFFFFFFFFFFFFFFF", -1, 0, 0, 0, 0, 0},
    {"eight length octets, huge, after bytes", "0488" "FFFFFFFFFFFFFFFF" "000000", -1, 0, 0, 0, 0,
     0},
    {"nine length octets", "0489" "000000000000000001" "00", -1, 0, 0, 0, 0, 0},
    {"0xFF first length octet", "30FF" "0000", -1, 0, 0, 0, 0, 0},
    {"long length in a short buffer", "3084" "FFFFFFFF", -1, 0, 0, 0, 0, 0},
    {"length octets cut short", "308401", -1, 0, 0, 0, 0, 0},
    {"multi-octet identifier", "1F0100", -1, 0, 0, 0, 0, 0},
};

TEST(Decode, TableAgreesBetweenMemoryAndFile) {
  TempDir dir;
  for (const DecodeCase &c : kDecodeCases) {
    SCOPED_TRACE(c.name);
    Bytes bytes = FromHex(c.hex);
    Decoded memory = FromMemory(bytes);
    Decoded file = FromFile(dir, bytes);
    ASSERT_EQ(memory.result, c.result);
    ASSERT_EQ(file.result, c.result);
    EXPECT_TRUE(memory.flat == file.flat);
    if (c.result != 0) continue;
    const NodeEx &root = *memory.root;
    EXPECT_EQ(root.Tag, c.tag);
    EXPECT_EQ(root.LengthOctetsSize, c.length_octets);
    EXPECT_EQ(root.ValueLength, c.value_length);
    EXPECT_EQ(root.TotalLength, c.total);
    EXPECT_EQ(root.vetNodes.size(), c.children);
    EXPECT_EQ(root.IsInfiniteLength, 0);
    EXPECT_EQ(root.FileLength, bytes.size());
  }
}

TEST(Decode, ElementsReferToTheirSource) {
  Bytes bytes = FromHex("3003020105");
  Decoded memory = FromMemory(bytes);
  ASSERT_EQ(memory.result, 0);
  ASSERT_EQ(memory.flat.size(), 2u);
  const Flat &element = memory.flat[1];
  EXPECT_EQ(element.tag, 0x02);
  EXPECT_EQ(element.start, 4u);
  EXPECT_EQ(element.value_length, 1u);
  EXPECT_EQ(element.total, 3u);
}

// The ERROR line that names why a decode failed.
TEST(Decode, FailureLinesNameTheCause) {
  struct Case {
    const char *name;
    const char *hex;
    const char *line;
  };
  const Case kCases[] = {
      {"element past its parent", "3003" "020205" "05",
       "[ASN1EngineEx.cpp(%d): child nodes length(0x00000004) is larger than parent node "
       "length(0x00000003)]"},
      {"value past the source", "3005" "020105",
       "]: value end position is greater than end position"},
      {"header past its parent", "3001" "05" "0000",
       "]: start position is great than end position"},
      {"nine length octets", "0489" "000000000000000001" "00",
       "]: length octets count(9) is greater than 8"},
      {"long form past the source", "3084" "FFFF", "]: value length is great than total length"},
      {"indefinite without end-of-contents", "3080" "020105",
       "]: position is not in file size range"},
      {"primitive with indefinite length", "0480" "4142" "0000",
       "]: primitive value with indefinite length"},
  };
  TempDir dir;
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.name);
    kelu::test::LogCapture log;
    Bytes bytes = FromHex(c.hex);
    ASSERT_EQ(FromMemory(bytes).result, -1);
    ASSERT_EQ(FromFile(dir, bytes).result, -1);
    std::string text = log.Text();
    std::string line = c.line;
    // The source line number is not part of the comparison.
    size_t number = line.find("%d");
    if (number != std::string::npos) {
      EXPECT_NE(text.find(line.substr(0, number)), std::string::npos) << text;
      line = line.substr(number + 2);
    }
    EXPECT_NE(text.find(line), std::string::npos) << text;
  }
  kelu::test::LogCapture log;
  Bytes bytes = FromHex("30");
  FromMemory(bytes);
  EXPECT_TRUE(log.Contains("Parse ASN.1 root node failed")) << log.Text();
  FromFile(dir, bytes);
  EXPECT_TRUE(log.Contains("Parse ASN1 root node failed")) << log.Text();
}

Bytes Nested(int levels, bool indefinite) {
  Bytes der = indefinite ? FromHex("30800000") : FromHex("3000");
  for (int i = 1; i < levels; ++i) {
    Bytes outer = indefinite ? FromHex("3080") : Bytes{0x30, static_cast<uint8_t>(der.size())};
    outer.insert(outer.end(), der.begin(), der.end());
    if (indefinite) outer.insert(outer.end(), {0x00, 0x00});
    der = outer;
  }
  return der;
}

TEST(Decode, DepthLimitAtItsBoundary) {
  TempDir dir;
  for (bool indefinite : {false, true}) {
    SCOPED_TRACE(indefinite ? "indefinite" : "definite");
    // Short-form lengths hold up to 127 bytes: 2 bytes a level fits 63 levels, so the
    // definite chain is built with long-form lengths where needed.
    Bytes allowed = indefinite ? Nested(MAX_ASN1_DECODE_DEEP_LEVEL, true) : Bytes{};
    Bytes refused = indefinite ? Nested(MAX_ASN1_DECODE_DEEP_LEVEL + 1, true) : Bytes{};
    if (!indefinite) {
      for (int levels : {MAX_ASN1_DECODE_DEEP_LEVEL, MAX_ASN1_DECODE_DEEP_LEVEL + 1}) {
        NodePtr tree(asn1test::NestedSequences(levels));
        asn1test::Encoded der = asn1test::ToMemory(tree.get());
        ASSERT_EQ(der.result, KELU_OK);
        (levels == MAX_ASN1_DECODE_DEEP_LEVEL ? allowed : refused) = der.der;
      }
    }
    EXPECT_EQ(FromMemory(allowed).result, 0);
    EXPECT_EQ(FromFile(dir, allowed).result, 0);
    kelu::test::LogCapture log;
    EXPECT_EQ(FromMemory(refused).result, -1);
    EXPECT_EQ(FromFile(dir, refused).result, -1);
    EXPECT_TRUE(log.Contains("Too deeply recursive calling(count):128")) << log.Text();
  }
}

// A SEQUENCE of count NULLs: count + 1 nodes.
Bytes ManyNulls(size_t count) {
  Bytes der = {0x30, 0x84, 0, 0, 0, 0};
  uint64_t length = 2 * count;
  for (int i = 0; i < 4; ++i) der[5 - i] = static_cast<uint8_t>(length >> (8 * i));
  der.resize(6 + length, 0x00);
  for (size_t i = 0; i < count; ++i) der[6 + 2 * i] = 0x05;
  return der;
}

TEST(Decode, NodeBudgetPerDecode) {
  TempDir dir;
  Decoded at_budget = FromMemory(ManyNulls(MAX_ASN1_DECODE_NODES - 1));
  ASSERT_EQ(at_budget.result, 0);
  EXPECT_EQ(at_budget.root->vetNodes.size(), static_cast<size_t>(MAX_ASN1_DECODE_NODES - 1));
  at_budget.root.reset();
  at_budget.flat.clear();
  Bytes over = ManyNulls(MAX_ASN1_DECODE_NODES);
  EXPECT_EQ(FromMemory(over).result, -1);
  EXPECT_EQ(FromFile(dir, over).result, -1);
}

TEST(DecodeFile, PositionsBeyondFourGibibytes) {
  TempDir dir;
  const uint64_t kBig = 0x100000000ULL;
  std::string path = dir.File("big.der");

  // An indefinite SEQUENCE whose end-of-contents octets (zeros of the hole) lie past 4 GiB.
  asn1test::MakeSparseFile(path, FromHex("3080" "04850100000000"), 2 + 7 + kBig + 2);
  FilePtr file = asn1test::OpenForReading(path);
  NodeEx *root = nullptr;
  ASSERT_EQ(DecodeASN1FileEx(file.get(), &root), 0);
  NodePtr owner(root);
  EXPECT_EQ(root->ValueLength, 7 + kBig + 2);
  EXPECT_EQ(root->TotalLength, 2 + 7 + kBig + 2);
  ASSERT_EQ(root->vetNodes.size(), 1u);
  EXPECT_EQ(root->vetNodes[0]->ValueStartPosition, 9u);
  EXPECT_EQ(root->vetNodes[0]->ValueLength, kBig);

  // One byte short of the end-of-contents octets.
  ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(2 + 7 + kBig + 1)), 0);
  FilePtr shorter = asn1test::OpenForReading(path);
  root = nullptr;
  EXPECT_EQ(DecodeASN1FileEx(shorter.get(), &root), -1);
  EXPECT_EQ(root, nullptr);
}

// Indefinite lengths are marked by IsInfiniteLength alone, so a definite length of
// 0xFFFFFFFF is an ordinary length, on its own and inside an indefinite value.
TEST(DecodeFile, LengthOfAllOnesIsAnOrdinaryLength) {
  TempDir dir;
  const uint64_t kLength = 0xFFFFFFFFULL;
  struct Case {
    const char *name;
    const char *prefix;
    uint64_t root_value_length;
    size_t children;
  };
  const Case kCases[] = {
      {"alone", "0484FFFFFFFF", kLength, 0},
      {"in an indefinite SEQUENCE", "3080" "0484FFFFFFFF", 6 + kLength + 2, 1},
  };
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.name);
    Bytes prefix = FromHex(c.prefix);
    std::string path = dir.File("ones.der");
    // The hole supplies the value and, for the SEQUENCE, its end-of-contents octets.
    uint64_t size = prefix.size() + kLength + (c.children != 0 ? 2 : 0);
    asn1test::MakeSparseFile(path, prefix, size);
    FilePtr file = asn1test::OpenForReading(path);
    NodeEx *root = nullptr;
    ASSERT_EQ(DecodeASN1FileEx(file.get(), &root), 0);
    NodePtr owner(root);
    EXPECT_EQ(root->IsInfiniteLength, 0);
    EXPECT_EQ(root->ValueLength, c.root_value_length);
    EXPECT_EQ(root->TotalLength, size);
    ASSERT_EQ(root->vetNodes.size(), c.children);
    if (c.children != 0) {
      EXPECT_EQ(root->vetNodes[0]->ValueLength, kLength);
      EXPECT_EQ(root->vetNodes[0]->IsInfiniteLength, 0);
    }
  }
}

// A stream that can be sized but not read (opened for writing only) fails at its first read.
TEST(DecodeFile, FailedReadFails) {
  TempDir dir;
  std::string path = dir.File("write-only.der");
  FilePtr file(std::fopen(path.c_str(), "wb"));
  ASSERT_NE(file, nullptr);
  Bytes bytes = FromHex("3003020105");
  ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), file.get()), bytes.size());
  NodeEx *root = reinterpret_cast<NodeEx *>(0x1);
  EXPECT_EQ(DecodeASN1FileEx(file.get(), &root), -1);
  EXPECT_EQ(root, nullptr);
}

TEST(DecodeFile, UnreadableOrEmptySources) {
  TempDir dir;
  NodeEx *root = nullptr;
  std::string empty = dir.File("empty.der");
  kelu::test::WriteBinaryFile(empty, {});
  FilePtr file = asn1test::OpenForReading(empty);
  EXPECT_EQ(DecodeASN1FileEx(file.get(), &root), -1);
  EXPECT_EQ(DecodeASN1FileEx(nullptr, &root), -1);
  EXPECT_EQ(DecodeASN1FileEx(file.get(), nullptr), -1);

  // A pipe cannot be sized or positioned.
  FILE *pipe = popen("printf '\\060\\003\\002\\001\\005'", "r");
  ASSERT_NE(pipe, nullptr);
  EXPECT_EQ(DecodeASN1FileEx(pipe, &root), -1);
  EXPECT_EQ(root, nullptr);
  pclose(pipe);

  Bytes bytes = FromHex("3000");
  EXPECT_EQ(DecodeASN1MemoryEx(nullptr, 2, &root), -1);
  EXPECT_EQ(DecodeASN1MemoryEx(bytes.data(), 0, &root), -1);
  EXPECT_EQ(DecodeASN1MemoryEx(bytes.data(), 2, nullptr), -1);
}

// Messages made by OpenSSL at test time: the decoded trees must list the same nodes, offsets
// and lengths as `openssl asn1parse`.
class OpenSslSamples : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir;
    auto run = [](const std::string &command) {
      auto result = kelu::test::RunCommand(command);
      ASSERT_EQ(result.exit_code, 0) << command << "\n" << result.output;
    };
    std::string d = kelu::test::ShellQuote(dir_->path());
    run("cd " + d + " && openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem"
        " -subj /CN=asn1-sample -days 2");
    kelu::test::WriteBinaryFile(dir_->File("data.bin"), kelu::test::RandomBytes(9000));
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }

  // Runs command (which writes to the file "out") in the folder and keeps its output as name.
  static std::string Make(const std::string &name, const std::string &command) {
    std::string out = dir_->File(name);
    auto result = kelu::test::RunCommand("cd " + kelu::test::ShellQuote(dir_->path()) + " && " +
                                         command + " && mv out " + kelu::test::ShellQuote(out));
    EXPECT_EQ(result.exit_code, 0) << command << "\n" << result.output;
    return out;
  }

  static TempDir *dir_;
};

TempDir *OpenSslSamples::dir_ = nullptr;

TEST_F(OpenSslSamples, NodesMatchAsn1Parse) {
  const std::string kSign =
      " -in data.bin -signer cert.pem -inkey key.pem -binary -outform DER -out out";
  const std::string kEncrypt = " -in data.bin -aes256 -binary -outform DER -out out";
  struct Sample {
    const char *name;
    std::string command;
  };
  const Sample kSamples[] = {
      {"cms-sign.der", "openssl cms -sign -nodetach" + kSign},
      {"cms-sign-detached.der", "openssl cms -sign" + kSign},
      {"cms-sign-stream.der", "openssl cms -sign -nodetach -stream" + kSign},
      {"cms-encrypt.der", "openssl cms -encrypt" + kEncrypt + " cert.pem"},
      {"cms-encrypt-stream.der", "openssl cms -encrypt -stream" + kEncrypt + " cert.pem"},
      {"smime-sign.der", "openssl smime -sign -nodetach" + kSign},
      {"smime-sign-stream.der", "openssl smime -sign -nodetach -stream" + kSign},
      {"smime-encrypt.der", "openssl smime -encrypt" + kEncrypt + " cert.pem"},
      {"smime-encrypt-stream.der", "openssl smime -encrypt -stream" + kEncrypt + " cert.pem"},
  };
  bool saw_indefinite = false;
  for (const Sample &s : kSamples) {
    SCOPED_TRACE(s.name);
    std::string path = Make(s.name, s.command);
    Bytes der = kelu::test::ReadBinaryFile(path);
    auto parsed = asn1test::RunAsn1Parse(path);
    ASSERT_EQ(parsed.exit_code, 0) << parsed.output;
    ASSERT_FALSE(parsed.lines.empty());

    Decoded memory = FromMemory(der);
    ASSERT_EQ(memory.result, 0);
    std::vector<asn1test::Listed> listed;
    asn1test::ListTree(*memory.root, 0, der, &listed);
    ASSERT_EQ(listed.size(), parsed.lines.size());
    for (size_t i = 0; i < listed.size(); ++i) {
      ASSERT_EQ(listed[i], parsed.lines[i]) << "node " << i;
      saw_indefinite = saw_indefinite || listed[i].indefinite;
    }
    EXPECT_EQ(memory.root->TotalLength, der.size());

    FilePtr file = asn1test::OpenForReading(path);
    NodeEx *root = nullptr;
    ASSERT_EQ(DecodeASN1FileEx(file.get(), &root), 0);
    NodePtr owner(root);
    std::vector<Flat> file_flat;
    Flatten(*root, nullptr, &file_flat);
    EXPECT_TRUE(file_flat == memory.flat);
  }
  EXPECT_TRUE(saw_indefinite) << "the -stream samples use indefinite lengths";
}

}  // namespace

// The streamed decryption of an envelope's content from the nodes that locate it in the file,
// which the RSA and the SM2 file envelopes share: against OpenSSL's own ciphers (SM4-CBC of
// `openssl enc` among them), with content in segments, malformed nodes and 64-bit lengths.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <string>
#include <vector>

#include "ASN1EngineEx.h"
#include "KeluErrors.h"
#include "LogCapture.h"
#include "OperationsTestUtil.h"
#include "RSADataEncryption.h"

namespace kelu::test {
namespace {

Bytes OpensslEncrypt(const char *name, const Bytes &key, const Bytes &iv, const Bytes &plain) {
  EVP_CIPHER *cipher = EVP_CIPHER_fetch(nullptr, name, nullptr);
  EXPECT_NE(cipher, nullptr) << name;
  EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
  Bytes out(plain.size() + 32);
  int n = 0, m = 0;
  EXPECT_EQ(EVP_EncryptInit_ex(ctx, cipher, nullptr, key.data(), iv.empty() ? nullptr : iv.data()), 1);
  EXPECT_EQ(EVP_EncryptUpdate(ctx, out.data(), &n, plain.data(), static_cast<int>(plain.size())), 1);
  EXPECT_EQ(EVP_EncryptFinal_ex(ctx, out.data() + n, &m), 1);
  EVP_CIPHER_CTX_free(ctx);
  EVP_CIPHER_free(cipher);
  out.resize(static_cast<size_t>(n + m));
  return out;
}

// A node of the envelope file: its value at start, length bytes long.
NodeEx *Piece(uint64_t start, uint64_t length) {
  NodeEx *node = new NodeEx();
  node->Tag = 0x04;
  node->ValueStartPosition = start;
  node->ValueLength = length;
  return node;
}

class EnvelopeContent : public ::testing::Test {
 protected:
  void SetUp() override { StartCryptoKernel(); }

  // The envelope file: some header bytes, then the pieces with filler between them. The node
  // is a constructed one of all pieces, or the single piece itself.
  std::unique_ptr<NodeEx> Layout(const Bytes &content, const std::vector<size_t> &cuts) {
    Bytes file = AsFiller(37);
    std::vector<std::pair<uint64_t, uint64_t>> pieces;
    size_t from = 0;
    std::vector<size_t> ends = cuts;
    ends.push_back(content.size());
    for (size_t end : ends) {
      pieces.emplace_back(file.size(), end - from);
      file.insert(file.end(), content.begin() + from, content.begin() + end);
      Bytes filler = AsFiller(3 + pieces.size());
      file.insert(file.end(), filler.begin(), filler.end());
      from = end;
    }
    WriteBinaryFile(dir_.File("env.bin"), file);
    if (pieces.size() == 1) return std::unique_ptr<NodeEx>(Piece(pieces[0].first, pieces[0].second));
    std::unique_ptr<NodeEx> top(new NodeEx());
    top->Tag = 0x24;
    for (auto &p : pieces) top->vetNodes.push_back(Piece(p.first, p.second));
    return top;
  }
  static Bytes AsFiller(size_t n) { return Bytes(n, 0xEE); }

  struct Result {
    int rc;
    Bytes plain;
  };
  Result Decrypt(int nid, const Bytes &key, const Bytes &iv, const NodeEx *node,
                 const std::string &out_path = "") {
    File env = OpenFile(dir_.File("env.bin"), "rb");
    const std::string path = out_path.empty() ? dir_.File("plain.bin") : out_path;
    File out = OpenFile(path, "wb");
    const int rc = DecryptFileEnvelopeContent(nid, key.data(), static_cast<int>(key.size()),
                                              iv.data(), static_cast<int>(iv.size()), env.get(),
                                              node, out.get());
    out.reset();
    return {rc, out_path.empty() ? ReadBinaryFile(path) : Bytes()};
  }

  TempDir dir_;
};

TEST_F(EnvelopeContent, ContentOfEveryCipherInOneOrManyPieces) {
  struct Cipher {
    int nid;
    const char *name;
    size_t key, iv;
  };
  const Cipher ciphers[] = {{44, "DES-EDE3-CBC", 24, 8}, {5, "RC4", 16, 0},
                            {923, "SM4-CBC", 16, 16}, {427, "AES-256-CBC", 32, 16},
                            {426, "AES-256-ECB", 32, 0}, {33, "DES-EDE3-ECB", 24, 0}};
  const Bytes plain = RandomBytes(40000);
  for (const Cipher &c : ciphers) {
    const Bytes key = RandomBytes(c.key), iv = RandomBytes(c.iv);
    const Bytes content = OpensslEncrypt(c.name, key, iv, plain);
    const std::vector<std::vector<size_t>> layouts = {
        {}, {1, 16384, 16385, 20000}, {0, 7, 7, content.size()}};
    for (const auto &cuts : layouts) {
      SCOPED_TRACE(std::string(c.name) + " in " + std::to_string(cuts.size() + 1) + " pieces");
      std::unique_ptr<NodeEx> node = Layout(content, cuts);
      Result r = Decrypt(c.nid, key, iv, node.get());
      ASSERT_EQ(r.rc, KELU_OK);
      EXPECT_EQ(r.plain, plain);
    }
  }
  // SM4-CBC as the openssl command line makes it.
  const Bytes key = FromHex("0123456789ABCDEFFEDCBA9876543210");
  const Bytes iv = FromHex("000102030405060708090A0B0C0D0E0F");
  WriteBinaryFile(dir_.File("in.bin"), plain);
  Openssl("enc -sm4-cbc -K " + ToHex(key) + " -iv " + ToHex(iv) + " -in " +
          ShellQuote(dir_.File("in.bin")) + " -out " + ShellQuote(dir_.File("sm4.bin")));
  std::unique_ptr<NodeEx> node = Layout(ReadBinaryFile(dir_.File("sm4.bin")), {5000});
  EXPECT_EQ(Decrypt(923, key, iv, node.get()).plain, plain);
}

TEST_F(EnvelopeContent, KeysNodesAndContentThatAreRefused) {
  const Bytes key = RandomBytes(24), iv = RandomBytes(8);
  const Bytes content = OpensslEncrypt("DES-EDE3-CBC", key, iv, RandomBytes(1000));
  std::unique_ptr<NodeEx> good = Layout(content, {100});
  std::unique_ptr<NodeEx> unresolved(Piece(37, 10));
  unresolved->IsInfiniteLength = 1;
  std::unique_ptr<NodeEx> nested(new NodeEx());
  nested->vetNodes.push_back(Piece(37, 8));
  nested->vetNodes[0]->vetNodes.push_back(Piece(37, 8));
  std::unique_ptr<NodeEx> past_the_end(Piece(37, content.size() + 100));
  std::unique_ptr<NodeEx> not_whole_blocks(Piece(37, 99));
  std::unique_ptr<NodeEx> beyond_offsets(Piece(uint64_t{1} << 63, 8));
  struct Case {
    const char *what;
    int nid;
    Bytes key, iv;
    const NodeEx *node;
    int want;
  };
  const Case cases[] = {
      {"short key", 44, Bytes(key.begin(), key.end() - 1), iv, good.get(),
       KELU_ERR_INVALID_PARAMETER},
      {"long IV", 44, key, RandomBytes(9), good.get(), KELU_ERR_INVALID_PARAMETER},
      {"no IV", 44, key, {}, good.get(), KELU_ERR_INVALID_PARAMETER},
      {"unknown cipher", 999, key, iv, good.get(), KELU_ERR_INVALID_PARAMETER},
      {"unresolved node", 44, key, iv, unresolved.get(), KELU_ERR_ENVELOPE_FORMAT},
      {"piece with elements", 44, key, iv, nested.get(), KELU_ERR_ENVELOPE_FORMAT},
      {"offset beyond a file's", 44, key, iv, beyond_offsets.get(), KELU_ERR_ENVELOPE_FORMAT},
      {"past the file's end", 44, key, iv, past_the_end.get(), KELU_ERR_READ_FILE},
      {"not whole blocks", 44, key, iv, not_whole_blocks.get(), KELU_ERR_DECRYPT},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Result r = Decrypt(c.nid, c.key, c.iv, c.node);
    EXPECT_EQ(r.rc, c.want);
    EXPECT_EQ(r.plain, Bytes()) << "nothing left in the plain file";
  }
  File env = OpenFile(dir_.File("env.bin"), "rb");
  EXPECT_EQ(DecryptFileEnvelopeContent(44, key.data(), 24, iv.data(), 8, env.get(), nullptr,
                                       env.get()),
            KELU_ERR_INVALID_PARAMETER);
  EXPECT_EQ(DecryptFileEnvelopeContent_ProcessOneNode(nullptr, env.get(), good.get(), env.get(),
                                                      nullptr),
            KELU_ERR_INVALID_PARAMETER);
  EXPECT_EQ(Decrypt(44, key, iv, good.get(), "/dev/full").rc, KELU_ERR_WRITE_FILE);
  // The padding (a whole block of 08) changed through the block before it.
  Bytes changed = content;
  changed[changed.size() - 9] ^= 0x55;
  std::unique_ptr<NodeEx> changed_node = Layout(changed, {100});
  Result r = Decrypt(44, key, iv, changed_node.get());
  EXPECT_EQ(r.rc, KELU_ERR_DECRYPT);
  EXPECT_EQ(r.plain, Bytes());

}

// A node longer than 4 GiB over a stream that ends after 16 bytes: cut to 32 bits, its length
// would be those 16 bytes, a whole cipher text that decrypts with success.
TEST_F(EnvelopeContent, LengthsBeyond4GiBAreNotCut) {
  const Bytes key = RandomBytes(16), iv = RandomBytes(16);
  const Bytes block = OpensslEncrypt("SM4-CBC", key, iv, RandomBytes(5));
  ASSERT_EQ(block.size(), 16u);
  GeneratedStream stream((uint64_t{1} << 32) + 16, GeneratedStream::Prefix(block));
  std::unique_ptr<NodeEx> node(Piece(0, (uint64_t{1} << 32) + 16));
  uint64_t written = 0;
  CheckingSink sink([&](uint64_t, const unsigned char *, size_t n) { written += n; });
  LogCapture log;
  EXPECT_EQ(DecryptFileEnvelopeContent(923, key.data(), 16, iv.data(), 16, stream.get(),
                                       node.get(), sink.get()),
            KELU_ERR_READ_FILE);
  EXPECT_TRUE(log.Contains("(DecryptFileEnvelopeContent_ProcessOneNode -- fread)\t\t--Failed"))
      << log.Text();
}

TEST_F(EnvelopeContent, EachBlockWritesItsReadAndCipherSteps) {
  const Bytes key = RandomBytes(16);
  const Bytes content = OpensslEncrypt("RC4", key, {}, RandomBytes(16384 * 2 + 1));
  std::unique_ptr<NodeEx> node = Layout(content, {});
  LogCapture log;
  ASSERT_EQ(Decrypt(5, key, {}, node.get()).rc, KELU_OK);
  size_t reads = 0, updates = 0;
  for (const std::string &line : log.Take()) {
    reads += line.find("ProcessOneNode -- fread)\t\t--OK") != std::string::npos;
    updates += line.find("ProcessOneNode -- EVP_DecryptUpdate)\t\t--OK") != std::string::npos;
  }
  EXPECT_EQ(reads, 3u);
  EXPECT_EQ(updates, 3u);
}

}  // namespace
}  // namespace kelu::test

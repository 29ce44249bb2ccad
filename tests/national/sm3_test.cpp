#include "SM3.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>
#include <ostream>
#include <string>

#include "NationalEvp.h"
#include "NationalTestUtil.h"

namespace kelu {

static std::string EngineName(SM3Engine engine) {
  switch (engine) {
    case SM3Engine::kPortable: return "Portable";
    case SM3Engine::kAvx2: return "Avx2";
    case SM3Engine::kAvx512: return "Avx512";
  }
  return "Unknown";
}

// Names the engine in GoogleTest's messages.
static void PrintTo(SM3Engine engine, std::ostream *os) { *os << EngineName(engine); }

namespace test {
namespace {

Bytes Sm3OneShot(const Bytes &data) {
  Bytes out(kSM3DigestLength);
  EXPECT_EQ(kelu::SM3(data.data(), data.size(), out.data()), out.data());
  return out;
}

Bytes Sm3Pieces(const Bytes &data, const std::vector<size_t> &pieces) {
  SM3_CTX ctx;
  EXPECT_EQ(SM3_Init(&ctx), 1);
  size_t at = 0;
  for (size_t piece : pieces) {
    EXPECT_EQ(SM3_Update(&ctx, data.data() + at, piece), 1);
    at += piece;
  }
  Bytes out(kSM3DigestLength);
  EXPECT_EQ(SM3_Final(out.data(), &ctx), 1);
  return out;
}

Bytes Text(const std::string &s) { return Bytes(s.begin(), s.end()); }

struct Vector {
  const char *name;
  std::string message;
  const char *digest;
};

// GB/T 32905, appendix A, and the empty message.
const Vector kVectors[] = {
    {"abc", "abc", "66C7F0F462EEEDD9D1F2D46BDC10E4E24167C4875CF2F7A2297DA02B8F4BA8E0"},
    {"abcd_x16",
     "abcdabcdabcdabcdabcdabcdabcdabcdabcdabcdabcdabcdabcdabcdabcdabcd",
     "DEBE9FF92275B8A138604889C18E5A4D6FDB70E5387E5765293DCBA39C0C5732"},
    {"empty", "", "1AB21D8355CFA17F8E61194831E81A8F22BEC8C728FEFB747ED035EB5082AA2B"},
};

TEST(Sm3, StandardVectorsMatchTheStandardAndOpenSsl) {
  for (const Vector &v : kVectors) {
    SCOPED_TRACE(v.name);
    Bytes message = Text(v.message);
    EXPECT_EQ(ToHex(Sm3OneShot(message)), v.digest);
    EXPECT_EQ(ToHex(EvpDigest(::EVP_sm3(), message)), v.digest);
    EXPECT_EQ(ToHex(EvpDigest(kelu::EVP_sm3(), message)), v.digest);
  }
}

// Every length around the padding boundaries and beyond two blocks, one call and random pieces,
// directly and through the EVP interface, against OpenSSL's own SM3.
void ExpectEveryLengthUpTo300MatchesOpenSsl() {
  for (size_t len = 0; len <= 300; ++len) {
    SCOPED_TRACE(len);
    Bytes data = RandomBytes(len);
    std::string want = ToHex(EvpDigest(::EVP_sm3(), data));
    ASSERT_EQ(ToHex(Sm3OneShot(data)), want);
    ASSERT_EQ(ToHex(Sm3Pieces(data, RandomPieces(len, static_cast<unsigned>(len)))), want);
    ASSERT_EQ(ToHex(EvpDigest(kelu::EVP_sm3(), data, RandomPieces(len, 7u + len))), want);
  }
}

void ExpectLargeMessagesMatchOpenSsl() {
  for (size_t len : {size_t{65536}, size_t{1 << 20} + 13, size_t{3 * 1000 * 1000}}) {
    SCOPED_TRACE(len);
    Bytes data = RandomBytes(len);
    std::string want = ToHex(EvpDigest(::EVP_sm3(), data));
    EXPECT_EQ(ToHex(Sm3OneShot(data)), want);
    EXPECT_EQ(ToHex(Sm3Pieces(data, RandomPieces(len, 99u, 20000))), want);
  }
}

TEST(Sm3, MatchesOpenSslForEveryLengthUpTo300) { ExpectEveryLengthUpTo300MatchesOpenSsl(); }

TEST(Sm3, MatchesOpenSslOnLargeMessages) { ExpectLargeMessagesMatchOpenSsl(); }

// The compression chosen for this processor and the portable one agree (only one of them is
// reached through SM3_Update on a given machine).
TEST(Sm3, PortableAndDispatchedCompressionAgree) {
  for (size_t blocks : {size_t{1}, size_t{2}, size_t{17}}) {
    Bytes data = RandomBytes(64 * blocks);
    uint32_t a[8], b[8];
    for (int i = 0; i < 8; ++i) a[i] = b[i] = 0x01020304u * static_cast<uint32_t>(i + 1);
    SM3_CompressBlocks(a, data.data(), blocks);
    SM3_CompressBlocksPortable(b, data.data(), blocks);
    EXPECT_EQ(ToHex(reinterpret_cast<uint8_t *>(a), 32), ToHex(reinterpret_cast<uint8_t *>(b), 32));
  }
}

const SM3Engine kEngines[] = {SM3Engine::kPortable, SM3Engine::kAvx2, SM3Engine::kAvx512};


// Each engine forced in turn (only one of them is reached through SM3_Update on a given
// machine); skipped where the processor does not run it.
class Sm3EachEngine : public ::testing::TestWithParam<SM3Engine> {
 protected:
  void SetUp() override {
    if (!SM3_UseEngine(GetParam()))
      GTEST_SKIP() << "this processor does not run the " << EngineName(GetParam()) << " engine";
  }
  void TearDown() override { ASSERT_TRUE(SM3_UseEngine(saved_)); }

 private:
  SM3Engine saved_ = SM3_CurrentEngine();
};

TEST_P(Sm3EachEngine, StandardVectorsMatchTheStandard) {
  for (const Vector &v : kVectors) {
    SCOPED_TRACE(v.name);
    EXPECT_EQ(ToHex(Sm3OneShot(Text(v.message))), v.digest);
  }
}

TEST_P(Sm3EachEngine, MatchesOpenSslForEveryLengthUpTo300) {
  ExpectEveryLengthUpTo300MatchesOpenSsl();
}

TEST_P(Sm3EachEngine, MatchesOpenSslOnLargeMessages) { ExpectLargeMessagesMatchOpenSsl(); }

// Runs of blocks at several alignments of the data from an arbitrary chaining value: the
// engines keep the chaining value in registers from block to block.
TEST_P(Sm3EachEngine, BlockRunsMatchThePortableCompression) {
  Bytes data = RandomBytes(64 * 40 + 3);
  for (size_t offset : {0, 1, 3}) {
    for (size_t blocks : {size_t{0}, size_t{1}, size_t{2}, size_t{5}, size_t{40}}) {
      SCOPED_TRACE(testing::Message() << offset << " " << blocks);
      uint32_t a[8], b[8];
      for (int i = 0; i < 8; ++i) a[i] = b[i] = 0x9E3779B9u * static_cast<uint32_t>(i + 1);
      SM3_CompressBlocks(a, data.data() + offset, blocks);
      SM3_CompressBlocksPortable(b, data.data() + offset, blocks);
      EXPECT_EQ(ToHex(reinterpret_cast<uint8_t *>(a), 32),
                ToHex(reinterpret_cast<uint8_t *>(b), 32));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Engines, Sm3EachEngine, ::testing::ValuesIn(kEngines),
                         [](const ::testing::TestParamInfo<SM3Engine> &info) {
                           return EngineName(info.param);
                         });

// Without a choice the fastest engine the processor runs is in use.
TEST(Sm3, UsesTheFastestEngineByDefault) {
  SM3Engine fastest = SM3Engine::kPortable;
  for (SM3Engine engine : kEngines) {
    if (SM3_EngineAvailable(engine)) fastest = engine;
  }
  EXPECT_EQ(SM3_CurrentEngine(), fastest);
}

TEST(Sm3, PiecesAcrossBlockBoundariesGiveTheOneCallDigest) {
  Bytes data = RandomBytes(1 + 63 + 64 + 65);
  EXPECT_EQ(Sm3Pieces(data, {1, 63, 64, 65}), Sm3OneShot(data));
  EXPECT_EQ(Sm3Pieces(data, {65, 64, 63, 1}), Sm3OneShot(data));
}

TEST(Sm3, NullArgumentsFailWithoutWriting) {
  SM3_CTX ctx;
  unsigned char md[kSM3DigestLength];
  EXPECT_EQ(SM3_Init(nullptr), 0);
  EXPECT_EQ(SM3_Update(nullptr, "a", 1), 0);
  EXPECT_EQ(SM3_Final(md, nullptr), 0);
  ASSERT_EQ(SM3_Init(&ctx), 1);
  EXPECT_EQ(SM3_Update(&ctx, nullptr, 5), 0);
  EXPECT_EQ(SM3_Update(&ctx, nullptr, 0), 1);
  EXPECT_EQ(SM3_Final(nullptr, &ctx), 0);
  EXPECT_EQ(kelu::SM3(nullptr, 3, md), nullptr);
  EXPECT_EQ(kelu::SM3(reinterpret_cast<const unsigned char *>("abc"), 3, nullptr), nullptr);
  // Null data of length 0 is the empty message.
  EXPECT_EQ(kelu::SM3(nullptr, 0, md), md);
  EXPECT_EQ(ToHex(md, sizeof md), kVectors[2].digest);
}

TEST(Sm3, FinalWipesTheBlockAndFinishesTheContext) {
  SM3_CTX ctx;
  ASSERT_EQ(SM3_Init(&ctx), 1);
  ASSERT_EQ(SM3_Update(&ctx, "abc", 3), 1);
  unsigned char first[kSM3DigestLength], second[kSM3DigestLength];
  ASSERT_EQ(SM3_Final(first, &ctx), 1);
  const unsigned char zeros[64] = {};
  EXPECT_EQ(std::memcmp(ctx.block, zeros, sizeof zeros), 0);
  ASSERT_EQ(SM3_Final(second, &ctx), 1);
  EXPECT_NE(std::memcmp(first, second, sizeof first), 0);
  ASSERT_EQ(SM3_Init(&ctx), 1);
  ASSERT_EQ(SM3_Update(&ctx, "abc", 3), 1);
  ASSERT_EQ(SM3_Final(second, &ctx), 1);
  EXPECT_EQ(std::memcmp(first, second, sizeof first), 0);
}

TEST(Sm3, EvpContextCopyCarriesThePartialState) {
  Bytes data = RandomBytes(200);
  EVP_MD_CTX *a = EVP_MD_CTX_new();
  EVP_MD_CTX *b = EVP_MD_CTX_new();
  ASSERT_EQ(EVP_DigestInit_ex(a, kelu::EVP_sm3(), nullptr), 1);
  ASSERT_EQ(EVP_DigestUpdate(a, data.data(), 77), 1);
  ASSERT_EQ(EVP_MD_CTX_copy_ex(b, a), 1);
  ASSERT_EQ(EVP_DigestUpdate(b, data.data() + 77, 123), 1);
  unsigned char md[32];
  unsigned int len = 0;
  ASSERT_EQ(EVP_DigestFinal_ex(b, md, &len), 1);
  EXPECT_EQ(len, 32u);
  EXPECT_EQ(ToHex(md, len), ToHex(EvpDigest(::EVP_sm3(), data)));
  EVP_MD_CTX_free(a);
  EVP_MD_CTX_free(b);
}

}  // namespace
}  // namespace test
}  // namespace kelu

// Start-up and shut-down of the crypto library for the toolkit.
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/evp.h>

#include <string>

#include "SMKernel.h"
#include "th_lock.h"

namespace kelu {
namespace {

// RC4 needs the legacy provider, SHA-256 the default one: both must work once started.
bool CipherWorks(const EVP_CIPHER *cipher) {
  EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
  unsigned char key[32] = {1}, iv[16] = {0};
  bool ok = EVP_EncryptInit_ex(ctx, cipher, nullptr, key, iv) == 1;
  EVP_CIPHER_CTX_free(ctx);
  ERR_clear_error();
  return ok;
}

bool DigestWorks(const EVP_MD *md) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  return EVP_Digest("abc", 3, out, &n, md, nullptr) == 1 && n == static_cast<unsigned>(EVP_MD_size(md));
}

class KernelTest : public ::testing::Test {
 protected:
  void TearDown() override {
    g_InitState = 2;  // whatever a test left, end in a clean shut-down
    SMKernelUninitialize();
  }
};

TEST_F(KernelTest, ShutDownBeforeStartUpDoesNothing) {
  ASSERT_EQ(g_InitState, 0);
  EXPECT_EQ(SMKernelUninitialize(), 0);
  EXPECT_EQ(g_InitState, 0);
  EXPECT_EQ(LockCount(), 0);
}

// RC4 in the library's default context: only what other users of the library have loaded.
bool DefaultContextHasRc4() {
  EVP_CIPHER *rc4 = EVP_CIPHER_fetch(nullptr, "RC4", nullptr);
  EVP_CIPHER_free(rc4);
  ERR_clear_error();
  return rc4 != nullptr;
}

TEST_F(KernelTest, StartUpLoadsBothProvidersIntoTheToolkitsOwnContext) {
  ASSERT_FALSE(DefaultContextHasRc4());
  ASSERT_EQ(SMKernelInitialize(), 0);
  EXPECT_EQ(g_InitState, 2);
  EXPECT_GE(LockCount(), 1);
  EXPECT_TRUE(LockingCallbackInstalled());
  EXPECT_TRUE(IdCallbackInstalled());
  ASSERT_NE(ToolkitLibraryContext(), nullptr);
  {
    ToolkitContextScope scope;
    EXPECT_TRUE(CipherWorks(EVP_rc4()));
    EXPECT_TRUE(CipherWorks(EVP_des_ede3_cbc()));
    EXPECT_TRUE(DigestWorks(EVP_sha256()));
  }
  EXPECT_FALSE(DefaultContextHasRc4()) << "the default context of every other user changed";
  EXPECT_FALSE(CipherWorks(EVP_rc4()));
  EXPECT_TRUE(DigestWorks(EVP_sha256()));
  EXPECT_EQ(ERR_peek_error(), 0u) << "start-up left errors on the queue";

  EXPECT_EQ(SMKernelInitialize(), 0);
  EXPECT_EQ(g_InitState, 2);
}

TEST_F(KernelTest, TheScopeRestoresTheThreadsDefaultContext) {
  ASSERT_EQ(SMKernelInitialize(), 0);
  OSSL_LIB_CTX *before = OSSL_LIB_CTX_set0_default(nullptr);
  {
    ToolkitContextScope scope;
    EXPECT_EQ(OSSL_LIB_CTX_set0_default(nullptr), ToolkitLibraryContext());
    ToolkitContextScope nested;
  }
  EXPECT_EQ(OSSL_LIB_CTX_set0_default(nullptr), before);
}

TEST_F(KernelTest, StartUpLeavesTheCallersErrorsOnTheQueue) {
  ERR_raise(ERR_LIB_USER, 42);
  const unsigned long pushed = ERR_peek_last_error();
  ASSERT_EQ(SMKernelInitialize(), 0);
  EXPECT_EQ(ERR_peek_last_error(), pushed);
  EXPECT_EQ(SMKernelUninitialize(), 0);
  EXPECT_EQ(ERR_get_error(), pushed);
  EXPECT_EQ(ERR_get_error(), 0u);
}

TEST_F(KernelTest, StartStopStartKeepsTheLibraryUsable) {
  ASSERT_EQ(SMKernelInitialize(), 0);
  OSSL_LIB_CTX *context = ToolkitLibraryContext();
  ASSERT_EQ(SMKernelUninitialize(), 0);
  EXPECT_EQ(g_InitState, 0);
  EXPECT_FALSE(LockingCallbackInstalled());
  EXPECT_TRUE(IdCallbackInstalled()) << "the id callback stays after shut-down";
  EXPECT_EQ(LockCount(), 0);
  // Other users of the library in the process keep working after the toolkit's shut-down.
  EXPECT_TRUE(DigestWorks(EVP_sha256()));
  EXPECT_FALSE(DefaultContextHasRc4());

  ASSERT_EQ(SMKernelInitialize(), 0);
  EXPECT_EQ(g_InitState, 2);
  EXPECT_GE(LockCount(), 1);
  EXPECT_EQ(ToolkitLibraryContext(), context) << "a later start-up reuses the context";
  ToolkitContextScope scope;
  EXPECT_TRUE(CipherWorks(EVP_rc4()));
}

TEST_F(KernelTest, LockCallbackCountsWhatItTakes) {
  ASSERT_EQ(SMKernelInitialize(), 0);
  unsigned long long before = LockTakenCount(0);
  pthreads_locking_callback(1 /* CRYPTO_LOCK */, 0, __FILE__, __LINE__);
  pthreads_locking_callback(2 /* unlock */, 0, __FILE__, __LINE__);
  EXPECT_EQ(LockTakenCount(0), before + 1);
  pthreads_locking_callback(1, LockCount(), __FILE__, __LINE__);  // out of range: ignored
  EXPECT_EQ(LockTakenCount(LockCount()), 0u);
}

struct CorruptCase {
  int state;
  int start_result;
  int stop_result;
};

class CorruptStateTest : public KernelTest, public ::testing::WithParamInterface<CorruptCase> {};

TEST_P(CorruptStateTest, IsReportedAndLeftAlone) {
  const CorruptCase &c = GetParam();
  g_InitState = c.state;
  EXPECT_EQ(SMKernelInitialize(), c.start_result);
  EXPECT_EQ(SMKernelUninitialize(), c.stop_result);
  EXPECT_EQ(g_InitState, c.state);
}

INSTANTIATE_TEST_SUITE_P(States, CorruptStateTest,
                         ::testing::Values(CorruptCase{1, 0, -1},  // starting: start is a no-op
                                           CorruptCase{3, -1, -1}, CorruptCase{-1, -1, -1}),
                         [](const ::testing::TestParamInfo<CorruptCase> &info) {
                           int s = info.param.state;
                           return s < 0 ? "minus" + std::to_string(-s) : "state" + std::to_string(s);
                         });

}  // namespace
}  // namespace kelu

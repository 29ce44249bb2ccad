// Start-up, shut-down and release of the exported interface.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "ORVA.h"
#include "SMKernel.h"
#include "TestSupport.h"
#include "kelu_zlog.h"

namespace {

// Runs the body inside an empty folder, without a configuration in sight.
class UnconfiguredDir : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(getcwd(old_cwd_, sizeof old_cwd_), nullptr);
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    unsetenv("KELU_LOG_CONF_PATH");
  }
  void TearDown() override {
    Uninitialize();
    EXPECT_EQ(chdir(old_cwd_), 0);
  }
  kelu::test::TempDir dir_;
  char old_cwd_[4096];
};

TEST_F(UnconfiguredDir, InitializeRunsUnlogged) {
  EXPECT_EQ(Initialize(), KELU_OK);
  EXPECT_EQ(g_ptr_kelu_category, nullptr);
  EXPECT_EQ(kelu::g_InitState, 2);
  EXPECT_EQ(Initialize(), KELU_OK) << "a second start-up changes nothing";
  EXPECT_EQ(Uninitialize(), KELU_OK);
  EXPECT_EQ(kelu::g_InitState, 0);
}

TEST_F(UnconfiguredDir, UninitializeWithoutInitialize) {
  EXPECT_EQ(Uninitialize(), KELU_OK);
  EXPECT_EQ(Uninitialize(), KELU_OK);
}

TEST_F(UnconfiguredDir, StartAgainAfterShutDown) {
  for (int round = 0; round < 3; ++round) {
    EXPECT_EQ(Initialize(), KELU_OK) << "round " << round;
    EXPECT_EQ(Uninitialize(), KELU_OK) << "round " << round;
  }
}

TEST_F(UnconfiguredDir, CorruptStartUpStateFailsBothWays) {
  kelu::g_InitState = 5;
  EXPECT_EQ(Initialize(), KELU_ERR_FAILED);
  EXPECT_EQ(Uninitialize(), KELU_ERR_FAILED);
  kelu::g_InitState = 0;
}

TEST(FreeMemory, ReleasesToolkitBuffersAndIgnoresNull) {
  FreeMemory(nullptr);
  FreeMemory(new (std::nothrow) unsigned char[16]);
  FreeMemory(new (std::nothrow) char[1]);
}

}  // namespace

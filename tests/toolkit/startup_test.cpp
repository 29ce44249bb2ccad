// Start-up, shut-down and release of the exported interface.
#include <gtest/gtest.h>
#include <openssl/crypto.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

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

// The lines of the start-up itself in a log read back from ./kelulog.conf: each start-up
// shows the version of the crypto library that runs (not the one built against).
TEST_F(UnconfiguredDir, InitializeLogsFromTheCurrentFolderUntilUninitialize) {
  kelu::test::WriteTextFile("kelulog.conf",
                            "[formats]\nf = \"%V %m%n\"\n[rules]\nkelu_category.INFO \"" +
                                dir_.File("kelu.log") + "\"; f\n");
  char version[64];
  std::snprintf(version, sizeof version, "INFO OPENSSL_VERSION_NUMBER: 0x%08lx",
                OpenSSL_version_num());
  ASSERT_EQ(Initialize(), KELU_OK);
  ASSERT_NE(g_ptr_kelu_category, nullptr);
  EXPECT_EQ(Initialize(), KELU_OK);
  EXPECT_EQ(Uninitialize(), KELU_OK);
  EXPECT_EQ(g_ptr_kelu_category, nullptr) << "logging ends with the toolkit";
  EXPECT_EQ(TRACE(KELU_TRACE_ERROR, "after shut-down"), KELU_LOG_ERR_NOT_INIT);

  std::vector<std::string> startup;
  for (const std::string &line : kelu::test::SplitLines(kelu::test::ReadTextFile("kelu.log"))) {
    if (line.find("OPENSSL_VERSION_NUMBER") != std::string::npos ||
        line.find("SMKernelInitialize") != std::string::npos) {
      startup.push_back(line);
    }
  }
  EXPECT_EQ(startup, (std::vector<std::string>{version, "INFO SMKernelInitialize success!",
                                               version}))
      << "the second start-up writes the version line only";
}

TEST(FreeMemory, ReleasesToolkitBuffersAndIgnoresNull) {
  FreeMemory(nullptr);
  FreeMemory(new (std::nothrow) unsigned char[16]);
  FreeMemory(new (std::nothrow) char[1]);
}

}  // namespace

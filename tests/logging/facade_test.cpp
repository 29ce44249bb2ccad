// The logging facade: start-up from a file or the KELU_LOG_CONF_PATH fallback, TRACE and
// TRACE_BINARY with their result codes, and the state without logging.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>

#include "ZlogTestSupport.h"
#include "kelu_zlog.h"

namespace kelu::test {
namespace {

// Facade start-ups in a fresh folder; logging is finished after each test.
class Facade : public ::testing::Test {
 protected:
  Facade()
      : errors_("ZLOG_PROFILE_ERROR", dir_.File("error.log")),
        debug_("ZLOG_PROFILE_DEBUG", dir_.File("debug.log")),
        conf_env_("KELU_LOG_CONF_PATH", std::nullopt) {}
  ~Facade() override { kelu_log_fini(); }

  // A configuration writing every line of kelu_category as "LEVEL file function message".
  std::string WriteConf(const std::string &name, const std::string &log_name) {
    std::string path = dir_.File(name);
    WriteTextFile(path, "[formats]\nf = \"%V %F %U %m%n\"\n[rules]\nkelu_category.* \"" +
                            dir_.File(log_name) + "\"; f\n");
    return path;
  }
  std::string Log(const std::string &name) { return ReadTextFile(dir_.File(name)); }
  std::string Errors() { return ReadTextFile(dir_.File("error.log")); }
  std::string Debug() { return ReadTextFile(dir_.File("debug.log")); }

  TempDir dir_;
  ScopedEnv errors_;
  ScopedEnv debug_;
  ScopedEnv conf_env_;
};

TEST_F(Facade, NothingIsLoggedBeforeInitialisation) {
  EXPECT_EQ(g_ptr_kelu_category, nullptr);
  EXPECT_EQ(TRACE(KELU_TRACE_INFO, "dropped %d", 1), KELU_LOG_ERR_NOT_INIT);
  EXPECT_EQ(TRACE_BINARY(KELU_TRACE_INFO, "ab", 2), 0);
  EXPECT_EQ(TRACE_BINARY(9, "ab", 2), 0) << "the category is tested first";
}

TEST_F(Facade, StartsFromTheGivenFile) {
  ASSERT_EQ(kelu_log_init_ex(WriteConf("a.conf", "a.log").c_str()), 0);
  ASSERT_NE(g_ptr_kelu_category, nullptr);
  EXPECT_EQ(TRACE(KELU_TRACE_WARN, "value:%s", "x"), 0);
  EXPECT_EQ(Log("a.log"), "WARN kelu_zlog.cpp TRACE value:x\n");
  std::string debug = Debug();
  for (const char *text : {"------kelu_log_init_ex:config_path[", "------fire-new init------",
                           "------zlog_init success------",
                           "------kelu_log_init_ex() successful finish------"}) {
    EXPECT_NE(debug.find(text), std::string::npos) << text;
  }
}

TEST_F(Facade, FallsBackToTheEnvironmentVariable) {
  std::string conf = WriteConf("env.conf", "env.log");
  ScopedEnv env("KELU_LOG_CONF_PATH", conf);
  const std::string not_regular[] = {dir_.File("missing.conf"), dir_.path(), ""};
  for (const std::string &path : not_regular) {
    SCOPED_TRACE(path);
    ASSERT_EQ(kelu_log_init_ex(path.c_str()), 0);
    TRACE(KELU_TRACE_INFO, "from env");
    kelu_log_fini();
  }
  ASSERT_EQ(kelu_log_init_ex(nullptr), 0);
  kelu_log_fini();
  EXPECT_EQ(Log("env.log"),
            "INFO kelu_zlog.cpp TRACE from env\nINFO kelu_zlog.cpp TRACE from env\n"
            "INFO kelu_zlog.cpp TRACE from env\n");
  EXPECT_NE(Debug().find("------environment variable[" + conf + "]------"), std::string::npos);
}

TEST_F(Facade, NoConfigurationAnywhere) {
  EXPECT_EQ(kelu_log_init_ex(dir_.File("missing.conf").c_str()), KELU_LOG_ERR_NO_CONFIG);
  EXPECT_NE(Debug().find("------environment variable doesn't exist------"), std::string::npos);
  {
    ScopedEnv empty("KELU_LOG_CONF_PATH", std::string(""));
    EXPECT_EQ(kelu_log_init_ex(dir_.path().c_str()), KELU_LOG_ERR_NO_CONFIG);
  }
  {
    ScopedEnv env("KELU_LOG_CONF_PATH", dir_.File("also-missing.conf"));
    EXPECT_EQ(kelu_log_init_ex(dir_.File("missing.conf").c_str()), KELU_LOG_ERR_NO_CONFIG);
    EXPECT_NE(Debug().find("------environment config file doesn't exist------"),
              std::string::npos);
  }
  EXPECT_NE(Errors().find("------config file doesn't exist------"), std::string::npos);
  EXPECT_EQ(g_ptr_kelu_category, nullptr);
  EXPECT_EQ(TRACE(KELU_TRACE_ERROR, "dropped"), KELU_LOG_ERR_NOT_INIT);
}

TEST_F(Facade, SocketIsNotARegularFile) {
  std::string path = dir_.File("s");
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(path.size(), sizeof address.sun_path);
  path.copy(address.sun_path, path.size());
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
  EXPECT_EQ(kelu_log_init_ex(path.c_str()), KELU_LOG_ERR_NO_CONFIG);
  close(fd);
}

TEST_F(Facade, RefusedConfigurationLeavesLoggingOff) {
  WriteTextFile(dir_.File("bad.conf"), "[rules]\nkelu_category.* >nowhere\n");
  EXPECT_EQ(kelu_log_init_ex(dir_.File("bad.conf").c_str()), KELU_LOG_ERR_INIT);
  EXPECT_EQ(g_ptr_kelu_category, nullptr);
  EXPECT_NE(Errors().find("------init failed------"), std::string::npos);
  ASSERT_EQ(kelu_log_init_ex(WriteConf("good.conf", "good.log").c_str()), 0)
      << "nothing half started stays behind";
}

TEST_F(Facade, SecondInitialisationKeepsTheFirstConfiguration) {
  ASSERT_EQ(kelu_log_init_ex(WriteConf("a.conf", "a.log").c_str()), 0);
  ASSERT_EQ(kelu_log_init_ex(WriteConf("b.conf", "b.log").c_str()), 0);
  EXPECT_EQ(kelu_log_init_memory_log(KELU_TRACE_INFO, dir_.File("m.log").c_str()), 0);
  TRACE(KELU_TRACE_INFO, "still a");
  EXPECT_EQ(Log("a.log"), "INFO kelu_zlog.cpp TRACE still a\n");
  EXPECT_FALSE(FileExists(dir_.File("b.log")));
  EXPECT_NE(Debug().find("------have initialized------"), std::string::npos);
}

TEST_F(Facade, FiniThenStartAgainFromAnotherFile) {
  for (const char *name : {"a", "b", "a"}) {
    SCOPED_TRACE(name);
    ASSERT_EQ(kelu_log_init_ex(WriteConf(std::string(name) + ".conf",
                                         std::string(name) + ".log").c_str()),
              0);
    TRACE(KELU_TRACE_INFO, "round");
    kelu_log_fini();
    EXPECT_EQ(g_ptr_kelu_category, nullptr);
    EXPECT_EQ(TRACE(KELU_TRACE_INFO, "after fini"), KELU_LOG_ERR_NOT_INIT);
  }
  EXPECT_EQ(Log("a.log"), "INFO kelu_zlog.cpp TRACE round\nINFO kelu_zlog.cpp TRACE round\n");
  EXPECT_EQ(Log("b.log"), "INFO kelu_zlog.cpp TRACE round\n");
  kelu_log_fini();  // without logging: only reported
  EXPECT_NE(Errors().find("before finish, must zlog_init()"), std::string::npos);
}

TEST_F(Facade, KeluLogInitReadsKelulogConfInTheCurrentFolder) {
  char old_cwd[4096];
  ASSERT_NE(getcwd(old_cwd, sizeof old_cwd), nullptr);
  WriteConf("kelulog.conf", "cwd.log");
  ASSERT_EQ(chdir(dir_.path().c_str()), 0);
  EXPECT_EQ(kelu_log_init(), 0);
  EXPECT_EQ(chdir(old_cwd), 0);
  TRACE(KELU_TRACE_INFO, "here");
  EXPECT_EQ(Log("cwd.log"), "INFO kelu_zlog.cpp TRACE here\n");
}

TEST_F(Facade, TraceLevelsAndResults) {
  ASSERT_EQ(kelu_log_init_ex(WriteConf("a.conf", "a.log").c_str()), 0);
  struct Case {
    int level;
    int result;
    const char *shown;  // "" when nothing is logged
  };
  const Case cases[] = {{KELU_TRACE_FATAL, 0, "FATAL"}, {KELU_TRACE_ERROR, 0, "ERROR"},
                        {KELU_TRACE_WARN, 0, "WARN"},   {KELU_TRACE_INFO, 0, "INFO"},
                        {KELU_TRACE_DEBUG, 0, "DEBUG"}, {5, KELU_LOG_ERR_LEVEL, ""},
                        {7, KELU_LOG_ERR_LEVEL, ""},    {-1, KELU_LOG_ERR_LEVEL, ""}};
  std::string expected;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.level);
    EXPECT_EQ(TRACE(c.level, "level %d", c.level), c.result);
    if (*c.shown != '\0') {
      expected += std::string(c.shown) + " kelu_zlog.cpp TRACE level " +
                  std::to_string(c.level) + "\n";
    }
  }
  EXPECT_EQ(Log("a.log"), expected);
}

TEST_F(Facade, TraceLogsLongAndPercentTextWhole) {
  ASSERT_EQ(kelu_log_init_ex(WriteConf("a.conf", "a.log").c_str()), 0);
  std::string long_value(5000, 'v');
  EXPECT_EQ(TRACE(KELU_TRACE_INFO, "%s", long_value.c_str()), 0);
  EXPECT_EQ(TRACE(KELU_TRACE_INFO, "value:%s", "%s %n %d"), 0);
  const char *no_format = nullptr;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat"
#pragma GCC diagnostic ignored "-Wformat-security"
  EXPECT_EQ(TRACE(KELU_TRACE_INFO, no_format), 0);
#pragma GCC diagnostic pop
  EXPECT_EQ(Log("a.log"), "INFO kelu_zlog.cpp TRACE " + long_value +
                              "\nINFO kelu_zlog.cpp TRACE value:%s %n %d\n"
                              "INFO kelu_zlog.cpp TRACE \n");
}

// A wide character that the C locale cannot convert makes vsnprintf fail: the call ends at
// once (no growing of the buffer) and nothing is logged.
TEST_F(Facade, FormattingErrorEndsTheCall) {
  ASSERT_EQ(kelu_log_init_ex(WriteConf("a.conf", "a.log").c_str()), 0);
  const wchar_t unconvertible[] = {0x4E2D, 0};
  EXPECT_EQ(TRACE(KELU_TRACE_INFO, "value:%ls", unconvertible), KELU_LOG_ERR_NO_MEMORY);
  EXPECT_EQ(TRACE(KELU_TRACE_INFO, "next"), 0);
  EXPECT_EQ(Log("a.log"), "INFO kelu_zlog.cpp TRACE next\n");
}

TEST_F(Facade, TraceBinaryDumpsOrRefuses) {
  WriteTextFile(dir_.File("hex.conf"),
                "[formats]\nf = \"%V %U %m%n\"\n[rules]\nkelu_category.* \"" +
                    dir_.File("hex.log") + "\"; f\n");
  ASSERT_EQ(kelu_log_init_ex(dir_.File("hex.conf").c_str()), 0);
  EXPECT_EQ(TRACE_BINARY(KELU_TRACE_DEBUG, "AB", 2), 0);
  EXPECT_EQ(TRACE_BINARY(5, "AB", 2), KELU_LOG_ERR_LEVEL);
  EXPECT_EQ(TRACE_BINARY(-1, "AB", 2), KELU_LOG_ERR_LEVEL);
  EXPECT_EQ(TRACE_BINARY(KELU_TRACE_INFO, nullptr, 2), 0);
  EXPECT_EQ(TRACE_BINARY(KELU_TRACE_INFO, "AB", -1), 0);
  std::vector<std::string> lines = SplitLines(Log("hex.log"));
  ASSERT_EQ(lines.size(), 3u) << Log("hex.log");
  EXPECT_EQ(lines[0], "DEBUG TRACE_BINARY hex_buf_len=[2]");
  EXPECT_EQ(lines[2].substr(0, 18), "0000000001   41 42");
  EXPECT_EQ(lines[2].substr(lines[2].size() - 4), "  AB");
}

TEST_F(Facade, MemoryLogNeedsAPath) {
  EXPECT_EQ(kelu_log_init_memory_log(KELU_TRACE_INFO, ""), KELU_LOG_ERR_INIT);
  EXPECT_EQ(kelu_log_init_memory_log(KELU_TRACE_INFO, nullptr), KELU_LOG_ERR_INIT);
  EXPECT_EQ(g_ptr_kelu_category, nullptr);
  EXPECT_NE(Errors().find("------psz_log_path is empty------"), std::string::npos);
}

}  // namespace
}  // namespace kelu::test

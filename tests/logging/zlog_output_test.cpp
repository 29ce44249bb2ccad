// Outputs and the engine's lifecycle: files (static, dynamic, synchronous), stdout and stderr,
// records, hzlog's layout, the buffer bound, reloads, start-stop-start, dzlog and the MDC.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include <string>
#include <thread>
#include <vector>

#include "ZlogTestSupport.h"
#include "zlog/zlog.h"

namespace kelu::test {
namespace {

constexpr char kLineFormat[] = "[formats]\nm = \"%m%n\"\n";

void LogAt(zlog_category_t *category, int level, const char *text) {
  zlog(category, __FILE__, sizeof __FILE__ - 1, __func__, sizeof __func__ - 1, __LINE__, level,
       "%s", text);
}

std::vector<std::string> CapturedTexts() {
  std::vector<std::string> texts;
  for (const CapturedLine &line : Capture::Take()) texts.push_back(line.text);
  return texts;
}

TEST(ZlogOutput, StaticDynamicAndSynchronousFiles) {
  ScopedEnv dir_var("KELU_ZLOG_TEST_DIR", std::nullopt);
  TempDir placeholder;  // the %E path is resolved when the configuration is read
  ScopedEnv set_dir("KELU_ZLOG_TEST_DIR", placeholder.path());
  ZlogSession session(std::string("[global]\nfile perms = 640\nfsync period = 1\n") + kLineFormat +
                      "[rules]\n"
                      "my_cat.INFO \"@DIR@/static.log\"; m\n"
                      "my_cat.INFO \"@DIR@/%c-%V.log\"; m\n"
                      "my_cat.INFO -\"@DIR@/sync.log\"; m\n"
                      "my_cat.INFO \"%E(KELU_ZLOG_TEST_DIR)/env.log\"; m\n");
  ASSERT_TRUE(session.started());
  zlog_category_t *category = zlog_get_category("my_cat");
  LogAt(category, ZLOG_LEVEL_DEBUG, "not selected");
  LogAt(category, ZLOG_LEVEL_INFO, "first");
  LogAt(category, ZLOG_LEVEL_ERROR, "second");
  EXPECT_EQ(ReadTextFile(session.File("static.log")), "first\nsecond\n");
  EXPECT_EQ(ReadTextFile(session.File("sync.log")), "first\nsecond\n");
  EXPECT_EQ(ReadTextFile(placeholder.File("env.log")), "first\nsecond\n");
  EXPECT_EQ(ReadTextFile(session.File("my_cat-INFO.log")), "first\n");
  EXPECT_EQ(ReadTextFile(session.File("my_cat-ERROR.log")), "second\n");
  EXPECT_FALSE(FileExists(session.File("my_cat-DEBUG.log")));

  mode_t mask = umask(0);
  umask(mask);
  struct stat st;
  ASSERT_EQ(stat(session.File("static.log").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u & ~mask);
  ASSERT_EQ(stat(session.File("my_cat-INFO.log").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u & ~mask);
}

TEST(ZlogOutput, FilesAreAppendedNotTruncated) {
  TempDir dir;
  WriteTextFile(dir.File("old.log"), "kept\n");
  ZlogSession session(std::string(kLineFormat) + "[rules]\n*.* \"" + dir.File("old.log") +
                      "\"; m\n");
  ASSERT_TRUE(session.started());
  LogAt(zlog_get_category("c"), ZLOG_LEVEL_INFO, "added");
  EXPECT_EQ(ReadTextFile(dir.File("old.log")), "kept\nadded\n");
}

TEST(ZlogOutput, StdoutAndStderr) {
  ZlogSession session(std::string(kLineFormat) +
                      "[rules]\nout.* >stdout; m\nerr.* >stderr; m\n");
  ASSERT_TRUE(session.started());
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  LogAt(zlog_get_category("out"), ZLOG_LEVEL_INFO, "to stdout");
  LogAt(zlog_get_category("err"), ZLOG_LEVEL_INFO, "to stderr");
  std::string err = testing::internal::GetCapturedStderr();
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "to stdout\n");
  EXPECT_EQ(err, "to stderr\n");
}

TEST(ZlogOutput, HexDumpLayout) {
  ZlogSession session("[formats]\nm = \"%m\"\n[rules]\n*.* $capture; m\n");
  ASSERT_TRUE(session.started());
  zlog_category_t *category = zlog_get_category("c");
  const char bytes[] = "0123456789abcdef\x00\x01\xff\n";
  hzlog_info(category, bytes, 20);
  hzlog_info(category, bytes, 0);
  hzlog_info(category, nullptr, 8);
  const std::string header =
      "             0  1  2  3  4  5  6  7  8  9  A  B  C  D  E  F    0123456789ABCDEF";
  auto texts = CapturedTexts();
  ASSERT_EQ(texts.size(), 3u);
  EXPECT_EQ(texts[0], "hex_buf_len=[20]\n" + header +
                          "\n0000000001   30 31 32 33 34 35 36 37 38 39 61 62 63 64 65 66   "
                          "0123456789abcdef"
                          "\n0000000002   00 01 ff 0a " +
                          std::string(36, ' ') + "  ....");
  EXPECT_EQ(texts[1], "hex_buf_len=[0]\n" + header);
  EXPECT_EQ(texts[2], "hex_buf_len=[0]\n" + header);
}

TEST(ZlogOutput, BufferMaxCutsLongLinesAndKeepsTheLineFeed) {
  ZlogSession session("[global]\nbuffer min = 64\nbuffer max = 256\n" + std::string(kLineFormat) +
                      "[rules]\n*.* $capture; m\n");
  ASSERT_TRUE(session.started());
  zlog_category_t *category = zlog_get_category("c");
  std::string long_text(1000, 'x');
  LogAt(category, ZLOG_LEVEL_INFO, long_text.c_str());
  LogAt(category, ZLOG_LEVEL_INFO, "short");
  auto texts = CapturedTexts();
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[0], std::string(255, 'x') + "\n");
  EXPECT_EQ(texts[1], "short\n");
}

TEST(ZlogOutput, BuffersGrowForLongLines) {
  ZlogSession session("[global]\nbuffer min = 64\nbuffer max = 0\n" + std::string(kLineFormat) +
                      "[rules]\n*.* $capture; m\n");
  ASSERT_TRUE(session.started());
  std::string long_text(300000, 'y');
  LogAt(zlog_get_category("c"), ZLOG_LEVEL_INFO, long_text.c_str());
  auto texts = CapturedTexts();
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(texts[0], long_text + "\n");
}

TEST(ZlogOutput, ReloadReplacesRulesAndKeepsHandlesAndRecords) {
  ZlogSession session("[rules]\nmy_cat.* $capture, \"first\"\n");
  ASSERT_TRUE(session.started());
  zlog_category_t *category = zlog_get_category("my_cat");
  LogAt(category, ZLOG_LEVEL_INFO, "one");
  session.Rewrite("[rules]\nmy_cat.ERROR $capture, \"second\"\n");
  ASSERT_EQ(zlog_reload(nullptr), 0);
  LogAt(category, ZLOG_LEVEL_INFO, "dropped by the new rule");
  LogAt(category, ZLOG_LEVEL_ERROR, "two");
  session.Rewrite("[rules]\nmy_cat.* >nowhere\n");
  EXPECT_EQ(zlog_reload(nullptr), -1) << "a bad file keeps the running configuration";
  LogAt(category, ZLOG_LEVEL_ERROR, "three");
  auto lines = Capture::Take();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].path, "first");
  EXPECT_EQ(lines[1].path, "second");
  EXPECT_EQ(lines[2].path, "second");
  EXPECT_NE(session.Diagnostics().find("the running configuration is kept"), std::string::npos);

  TempDir other;
  WriteTextFile(other.File("other.conf"), "[rules]\n*.* $capture, \"other\"\n");
  ASSERT_EQ(zlog_reload(other.File("other.conf").c_str()), 0);
  LogAt(category, ZLOG_LEVEL_DEBUG, "four");
  lines = Capture::Take();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].path, "other");
}

TEST(ZlogOutput, ReloadConfPeriodReadsAChangedFileOnly) {
  ZlogSession session("[global]\nreload conf period = 3\n[rules]\n*.* $capture, \"first\"\n");
  ASSERT_TRUE(session.started());
  ScopedEnv debug("ZLOG_PROFILE_DEBUG", session.File("debug.log"));
  zlog_category_t *category = zlog_get_category("c");
  for (int i = 0; i < 7; ++i) LogAt(category, ZLOG_LEVEL_INFO, "unchanged");
  EXPECT_EQ(ReadTextFile(session.File("debug.log")).find("zlog_reload success"),
            std::string::npos);
  session.Rewrite("[global]\nreload conf period = 3\n[rules]\n*.* $capture, \"second one\"\n");
  std::vector<std::string> paths;
  for (int i = 0; i < 4; ++i) LogAt(category, ZLOG_LEVEL_INFO, "counted");
  for (const CapturedLine &line : Capture::Take()) paths.push_back(line.path);
  ASSERT_EQ(paths.size(), 11u);
  // Seven lines counted before: the ninth line reaches the period and reloads after it.
  EXPECT_EQ(paths[8], "first");
  EXPECT_EQ(paths[9], "second one");
  EXPECT_EQ(paths[10], "second one");
}

TEST(ZlogOutput, StartStopStartAgain) {
  TempDir dir;
  ScopedEnv errors("ZLOG_PROFILE_ERROR", dir.File("error.log"));
  WriteTextFile(dir.File("a.conf"), "[rules]\n*.* $capture, \"a\"\n");
  WriteTextFile(dir.File("b.conf"), "[rules]\n*.* $capture, \"b\"\n");
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    ASSERT_EQ(zlog_init(dir.File(round % 2 == 0 ? "a.conf" : "b.conf").c_str()), 0);
    ASSERT_EQ(zlog_set_record("capture", Capture::Record), 0);
    zlog_category_t *category = zlog_get_category("c");
    LogAt(category, ZLOG_LEVEL_INFO, "on");
    zlog_fini();
    LogAt(category, ZLOG_LEVEL_INFO, "after fini: dropped");
    auto lines = Capture::Take();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].path, round % 2 == 0 ? "a" : "b");
  }
  zlog_fini();
  EXPECT_NE(ReadTextFile(dir.File("error.log")).find("before finish, must zlog_init()"),
            std::string::npos);
}

TEST(ZlogOutput, NothingIsWrittenWhileOff) {
  TempDir dir;
  ScopedEnv errors("ZLOG_PROFILE_ERROR", dir.File("error.log"));
  zlog_category_t *stale;
  {
    ZlogSession session(std::string(kLineFormat) + "[rules]\n*.* \"@DIR@/on.log\"; m\n");
    ASSERT_TRUE(session.started());
    stale = zlog_get_category("c");
  }
  LogAt(stale, ZLOG_LEVEL_FATAL, "late");
  dzlog_fatal("late");
  hzlog_fatal(stale, "late", 4);
  EXPECT_EQ(zlog_put_mdc("k", "v"), -1);
  EXPECT_EQ(zlog_set_record("capture", Capture::Record), -1);
  EXPECT_EQ(zlog_reload(nullptr), -1);
  EXPECT_TRUE(Capture::Take().empty());
  EXPECT_NE(ReadTextFile(dir.File("error.log")).find("never call zlog_init() or dzlog_init()"),
            std::string::npos);
}

TEST(ZlogOutput, DzlogUsesTheDefaultCategory) {
  TempDir dir;
  ScopedEnv errors("ZLOG_PROFILE_ERROR", dir.File("error.log"));
  WriteTextFile(dir.File("d.conf"), "[formats]\nf = \"%c %V %m\"\n[rules]\n*.* $capture; f\n");
  ASSERT_EQ(dzlog_init(dir.File("d.conf").c_str(), "first_cat"), 0);
  ASSERT_EQ(zlog_set_record("capture", Capture::Record), 0);
  dzlog_info("one %d", 1);
  ASSERT_EQ(dzlog_set_category("second_cat"), 0);
  dzlog_error("two");
  hdzlog_warn("ab", 2);
  zlog_fini();
  auto texts = CapturedTexts();
  ASSERT_EQ(texts.size(), 3u);
  EXPECT_EQ(texts[0], "first_cat INFO one 1");
  EXPECT_EQ(texts[1], "second_cat ERROR two");
  EXPECT_EQ(texts[2].substr(0, 27), "second_cat WARN hex_buf_len");

  // zlog_init sets no default category.
  ASSERT_EQ(zlog_init(dir.File("d.conf").c_str()), 0);
  dzlog_info("no default");
  zlog_fini();
  EXPECT_TRUE(Capture::Take().empty());
  EXPECT_NE(ReadTextFile(dir.File("error.log")).find("zlog_default_category is null"),
            std::string::npos);
}

TEST(ZlogOutput, MdcIsPerThreadAndReachesPaths) {
  ZlogSession session("[formats]\nf = \"%M(who):%m\"\n[rules]\n*.* $capture, \"%M(who)\"; f\n"
                      "*.* \"@DIR@/mdc_%M(who).log\"; f\n");
  ASSERT_TRUE(session.started());
  zlog_category_t *category = zlog_get_category("c");
  LogAt(category, ZLOG_LEVEL_INFO, "a");
  ASSERT_EQ(zlog_put_mdc("who", "zhang"), 0);
  EXPECT_STREQ(zlog_get_mdc("who"), "zhang");
  LogAt(category, ZLOG_LEVEL_INFO, "b");
  std::thread other([category] {
    EXPECT_EQ(zlog_get_mdc("who"), nullptr) << "another thread has its own map";
    zlog_put_mdc("who", "li");
    LogAt(category, ZLOG_LEVEL_INFO, "c");
  });
  other.join();
  zlog_put_mdc("who", "wang");
  LogAt(category, ZLOG_LEVEL_INFO, "d");
  zlog_remove_mdc("who");
  EXPECT_EQ(zlog_get_mdc("who"), nullptr);
  zlog_put_mdc("x", "1");
  zlog_clean_mdc();
  EXPECT_EQ(zlog_get_mdc("x"), nullptr);
  LogAt(category, ZLOG_LEVEL_INFO, "e");
  auto lines = Capture::Take();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0].text, ":a");
  EXPECT_EQ(lines[1].text, "zhang:b");
  EXPECT_EQ(lines[1].path, "zhang");
  EXPECT_EQ(lines[2].text, "li:c");
  EXPECT_EQ(lines[3].text, "wang:d");
  EXPECT_EQ(lines[4].text, ":e");
  EXPECT_EQ(ReadTextFile(session.File("mdc_.log")), ":a:e");
  EXPECT_EQ(ReadTextFile(session.File("mdc_zhang.log")), "zhang:b");
  EXPECT_EQ(ReadTextFile(session.File("mdc_li.log")), "li:c");
}

int FailingRecord(zlog_msg_t *) { return -1; }

TEST(ZlogOutput, FailingOutputsAreReported) {
  ZlogSession session("[rules]\n*.* $unset\n*.* $failing\n*.* \"@DIR@/zlog.conf/%c.log\"\n");
  ASSERT_TRUE(session.started());
  ASSERT_EQ(zlog_set_record("failing", FailingRecord), 0);
  LogAt(zlog_get_category("c"), ZLOG_LEVEL_INFO, "lost");
  std::string diagnostics = session.Diagnostics();
  EXPECT_NE(diagnostics.find("no record function set for [$unset]"), std::string::npos);
  EXPECT_NE(diagnostics.find("the record function of [$failing] failed"), std::string::npos);
  EXPECT_NE(diagnostics.find("open file["), std::string::npos);
  EXPECT_NE(diagnostics.find("zlog_output fail, srcfile["), std::string::npos);
}

size_t Occurrences(const std::string &text, const std::string &part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

struct FullDiskCase {
  const char *name;
  const char *rule;     // of category "c" onto /dev/full, which fails every write or open
  const char *failure;  // the output's report of a failed write or open
  const char *count;    // the text of the count in a later report
};

// A full disk fails every line, as does a file that cannot be opened: each file's failures are
// reported at most about once a second, a later report with the number of failures since the one before, and the logging
// calls report no more than their outputs do.
TEST(ZlogOutput, FullDiskIsReportedOnceASecondWithACount) {
  const std::vector<FullDiskCase> cases = {
      {"static file", "c.* \"/dev/full\"", "write file[/dev/full] fail, errno[28]",
       "lines failed since the last report"},
      {"memory log", "c.* >memlog:/dev/full", "write fail, errno[28]",
       "flushes of [/dev/full] failed since the last report"},
      {"memory log that cannot be opened", "c.* >memlog:/dev/full/m.log",
       "open file[/dev/full/m.log] fail, errno[20]",
       "flushes of [/dev/full/m.log] failed since the last report"},
  };
  for (const FullDiskCase &c : cases) {
    SCOPED_TRACE(c.name);
    ZlogSession session(std::string("[rules]\n") + c.rule + "\n");
    ASSERT_TRUE(session.started());
    zlog_category_t *category = zlog_get_category("c");
    for (int i = 0; i < 2000; ++i) LogAt(category, ZLOG_LEVEL_ERROR, "lost");
    std::string diagnostics = session.Diagnostics();
    EXPECT_GE(Occurrences(diagnostics, c.failure), 1u);
    EXPECT_LE(Occurrences(diagnostics, c.failure), 2u) << diagnostics.substr(0, 2000);
    EXPECT_LE(Occurrences(diagnostics, "zlog_output fail"), 2u);
    usleep(1100 * 1000);
    LogAt(category, ZLOG_LEVEL_ERROR, "lost");
    diagnostics = session.Diagnostics();
    EXPECT_NE(diagnostics.find(c.count), std::string::npos) << diagnostics.substr(0, 2000);
  }
}

TEST(ZlogOutput, ProfileWritesTheConfiguration) {
  ZlogSession session("[levels]\nTRACE = 10\n[rules]\nmy_cat.TRACE $capture\n");
  ASSERT_TRUE(session.started());
  zlog_get_category("my_cat");
  zlog_profile();
  std::string diagnostics = session.Diagnostics();
  EXPECT_NE(diagnostics.find("------zlog_profile start------"), std::string::npos);
  EXPECT_NE(diagnostics.find("level[10,TRACE,trace,7]"), std::string::npos);
  EXPECT_NE(diagnostics.find("rule[my_cat.TRACE $capture]"), std::string::npos);
  EXPECT_NE(diagnostics.find("category[my_cat] rules[1]"), std::string::npos);
}

}  // namespace
}  // namespace kelu::test

namespace kelu::test {
namespace {

TEST(ZlogOutput, PipeToACommand) {
  ZlogSession session(std::string(kLineFormat) + "[rules]\n*.* | cat > @DIR@/pipe.log; m\n");
  ASSERT_TRUE(session.started());
  zlog_category_t *category = zlog_get_category("c");
  LogAt(category, ZLOG_LEVEL_INFO, "one");
  LogAt(category, ZLOG_LEVEL_INFO, std::string(10000, 'p').c_str());  // longer than PIPE_BUF
  zlog_fini();  // closes the pipe and waits for the command
  EXPECT_EQ(ReadTextFile(session.File("pipe.log")), "one\n" + std::string(10000, 'p') + "\n");
  ASSERT_EQ(zlog_init(session.conf_path().c_str()), 0);  // for the session's own finish
}

TEST(ZlogOutput, PipeWhoseReaderIsGoneFailsWithoutSigpipe) {
  ZlogSession session(std::string(kLineFormat) + "[rules]\n*.* | exit 0; m\n");
  ASSERT_TRUE(session.started());
  usleep(300 * 1000);  // the command has ended by now
  zlog_category_t *category = zlog_get_category("c");
  for (int i = 0; i < 3; ++i) LogAt(category, ZLOG_LEVEL_INFO, "nobody reads this");
  EXPECT_NE(session.Diagnostics().find("write to pipe[exit 0] fail, errno[32]"),
            std::string::npos);
}

// Receives what syslog(3) sends when no syslog daemon owns /dev/log and this process may bind
// it (root on a build machine); otherwise only checks that logging reports nothing.
class DevLogListener {
 public:
  DevLogListener() {
    if (access("/dev/log", F_OK) == 0) return;
    fd_ = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, "/dev/log");
    if (fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) {
      bound_ = true;
      timeval wait{2, 0};
      setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    }
  }
  ~DevLogListener() {
    if (bound_) unlink("/dev/log");
    if (fd_ >= 0) close(fd_);
  }
  bool bound() const { return bound_; }
  std::string Receive() {
    char message[2048];
    ssize_t n = recv(fd_, message, sizeof message, 0);
    return n > 0 ? std::string(message, static_cast<size_t>(n)) : "";
  }

 private:
  int fd_ = -1;
  bool bound_ = false;
};

TEST(ZlogOutput, SyslogAtTheLevelsPriority) {
  ZlogSession session("[levels]\nTRACE = 30, LOG_CRIT\n" + std::string(kLineFormat) +
                      "[rules]\n*.* >syslog, LOG_LOCAL0; m\n");
  ASSERT_TRUE(session.started());
  DevLogListener listener;
  zlog_category_t *category = zlog_get_category("c");
  LogAt(category, ZLOG_LEVEL_INFO, "to syslog");
  LogAt(category, 30, "user level");
  EXPECT_EQ(session.Diagnostics(), "");
  if (!listener.bound()) GTEST_SKIP() << "cannot listen on /dev/log here";
  std::string info = listener.Receive();
  std::string crit = listener.Receive();
  EXPECT_EQ(info.substr(0, 5), "<134>") << info;  // LOG_LOCAL0 | LOG_INFO
  EXPECT_NE(info.find("to syslog"), std::string::npos) << info;
  EXPECT_EQ(crit.substr(0, 5), "<130>") << crit;  // LOG_LOCAL0 | LOG_CRIT
}

TEST(ZlogOutput, FoldersOfFilePathsAreCreated) {
  ZlogSession session(std::string(kLineFormat) + "[rules]\n"
                      "*.* \"@DIR@/static/dir/s.log\"; m\n"
                      "*.* \"@DIR@/dyn/%c/sub/%c.log\"; m\n");
  ASSERT_TRUE(session.started());
  EXPECT_TRUE(FileExists(session.File("static/dir/s.log"))) << "made when the rule is read";
  EXPECT_TRUE(FileExists(session.File("dyn")));
  EXPECT_FALSE(FileExists(session.File("dyn/%c"))) << "no folder named after a specifier";
  LogAt(zlog_get_category("cat"), ZLOG_LEVEL_INFO, "x");
  EXPECT_EQ(ReadTextFile(session.File("dyn/cat/sub/cat.log")), "x\n");
  EXPECT_EQ(ReadTextFile(session.File("static/dir/s.log")), "x\n");
  EXPECT_EQ(session.Diagnostics(), "");
}

TEST(ZlogOutput, AutoCreateDirMakesEveryFolderBeforeTheLastSlash) {
  TempDir dir;
  EXPECT_EQ(auto_create_dir(nullptr), -1);
  EXPECT_EQ(auto_create_dir((dir.path() + "/a/b/file").c_str()), 0);
  EXPECT_TRUE(FileExists(dir.File("a/b")));
  EXPECT_FALSE(FileExists(dir.File("a/b/file")));
  EXPECT_EQ(auto_create_dir((dir.path() + "/a/b/").c_str()), 0) << "existing folders are fine";
  EXPECT_EQ(auto_create_dir("no-slash-here"), 0);
  EXPECT_FALSE(FileExists("no-slash-here"));
  EXPECT_EQ(auto_create_dir((dir.path() + "/zlog-file").c_str()), 0);
  WriteTextFile(dir.File("plain"), "");
  EXPECT_EQ(auto_create_dir((dir.path() + "/plain/x/y").c_str()), 0) << "failures are ignored";
}

}  // namespace
}  // namespace kelu::test

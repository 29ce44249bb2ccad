// The memory-log output and its start-up: what reaches the file at ERROR lines, in which order,
// and what the halves keep across rotations, reloads, finishes and failed writes; which start
// empties the file when other processes use it too.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "ZlogTestSupport.h"
#include "kelu_zlog.h"
#include "zlog/zlog.h"

namespace kelu::test {
namespace {

constexpr size_t kHalf = 32768;

void Log(int level, const std::string &text) {
  zlog(zlog_get_category("kelu_category"), "f.c", 3, "fn", 2, 1, level, "%s", text.c_str());
}
void Info(const std::string &text) { Log(ZLOG_LEVEL_INFO, text); }
void Error(const std::string &text) { Log(ZLOG_LEVEL_ERROR, text); }

// A memory-log configuration with the bare format "%m%n" and the given rules.
std::string MemConf(const std::string &rules) {
  return "[formats]\nm = \"%m%n\"\n[rules]\n" + rules;
}

TEST(ZlogMemlog, OnlyErrorLinesFlush) {
  ZlogSession session(MemConf("kelu_category.INFO >memlog:@DIR@/m.log; m\n"));
  ASSERT_TRUE(session.started());
  Info("info");
  Log(ZLOG_LEVEL_DEBUG, "below the rule");
  Log(ZLOG_LEVEL_WARN, "warn");
  Log(ZLOG_LEVEL_FATAL, "fatal");
  EXPECT_FALSE(FileExists(session.File("m.log"))) << "nothing before an ERROR line";
  Error("error one");
  EXPECT_EQ(ReadTextFile(session.File("m.log")), "info\nwarn\nfatal\nerror one\n");
  Error("error two");
  EXPECT_EQ(ReadTextFile(session.File("m.log")), "info\nwarn\nfatal\nerror one\nerror two\n");
}

TEST(ZlogMemlog, OlderHalfFirstAndOlderLinesLost) {
  ZlogSession session(MemConf("kelu_category.INFO >memlog:@DIR@/m.log; m\n"));
  ASSERT_TRUE(session.started());
  // Lines of 1000 bytes: 32 fit in a half; line 32, 64 and 96 each start a new current half.
  auto line = [](int i) {
    std::string number = std::to_string(i);
    return number + std::string(999 - number.size(), '.');
  };
  for (int i = 0; i < 100; ++i) Info(line(i));
  Error("error");
  std::string expected;
  for (int i = 64; i < 100; ++i) expected += line(i) + "\n";
  EXPECT_EQ(ReadTextFile(session.File("m.log")), expected + "error\n");
}

TEST(ZlogMemlog, LineLongerThanAHalf) {
  ZlogSession session(MemConf("kelu_category.INFO >memlog:@DIR@/m.log; m\n"));
  ASSERT_TRUE(session.started());
  std::string long_line(40000, 'L');
  Info(long_line);
  Error("e");
  std::string cut = std::string(kHalf - 10, 'L') + " ...[cut]\n";
  EXPECT_EQ(ReadTextFile(session.File("m.log")), cut + "e\n") << "kept cut, never past a half";

  Info("a");
  std::string long_error(40000, 'E');
  Error(long_error);
  EXPECT_EQ(ReadTextFile(session.File("m.log")), cut + "e\na\n" + long_error + "\n")
      << "an ERROR line that long reaches the file whole";
}

TEST(ZlogMemlog, TwoRulesOnTwoPathsKeepTheirOwnLines) {
  ZlogSession session(MemConf("kelu_category.INFO >memlog:@DIR@/one.log; m\n"
                              "kelu_category.WARN >memlog:@DIR@/two.log; m\n"));
  ASSERT_TRUE(session.started());
  Info("i");
  Log(ZLOG_LEVEL_WARN, "w");
  Error("e");
  EXPECT_EQ(ReadTextFile(session.File("one.log")), "i\nw\ne\n");
  EXPECT_EQ(ReadTextFile(session.File("two.log")), "w\ne\n");
}

TEST(ZlogMemlog, ReloadEmptiesTheFileAndKeepsTheHalves) {
  ZlogSession session(MemConf("kelu_category.INFO >memlog:@DIR@/m.log; m\n"));
  ASSERT_TRUE(session.started());
  Info("a");
  Error("b");
  Info("c");
  ASSERT_EQ(ReadTextFile(session.File("m.log")), "a\nb\n");
  ASSERT_EQ(zlog_reload(nullptr), 0);
  EXPECT_EQ(ReadTextFile(session.File("m.log")), "");
  Error("d");
  EXPECT_EQ(ReadTextFile(session.File("m.log")), "c\nd\n");
}

TEST(ZlogMemlog, FinishAndNewStartKeepTheHalves) {
  TempDir dir;
  std::string path = dir.File("m.log");
  ASSERT_EQ(zlog_init_memory_log("INFO", path.c_str()), 0);
  Info("before the finish");
  zlog_fini();
  ASSERT_EQ(zlog_init_memory_log("INFO", path.c_str()), 0);
  Error("after the new start");
  zlog_fini();
  std::vector<std::string> lines = SplitLines(ReadTextFile(path));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("INFO [" + std::to_string(getpid()) + ":f.c:1] before the finish"),
            std::string::npos)
      << lines[0];
  EXPECT_NE(lines[1].find("ERROR [" + std::to_string(getpid()) + ":f.c:1] after the new start"),
            std::string::npos)
      << lines[1];
}

TEST(ZlogMemlog, FailedFlushKeepsTheHalvesForTheNextError) {
  ZlogSession session(MemConf("kelu_category.INFO >memlog:@DIR@/m.log; m\n"
                              "kelu_category.INFO >memlog:; m\n"));
  ASSERT_TRUE(session.started());
  Info("a");
  ASSERT_EQ(mkdir(session.File("m.log").c_str(), 0700), 0);  // the open fails now
  Error("b");
  ASSERT_EQ(rmdir(session.File("m.log").c_str()), 0);
  Error("c");
  EXPECT_EQ(ReadTextFile(session.File("m.log")), "a\nb\nc\n");
  std::string diagnostics = session.Diagnostics();
  EXPECT_NE(diagnostics.find("open file[" + session.File("m.log") + "] fail"), std::string::npos);
  EXPECT_NE(diagnostics.find("open file[] fail"), std::string::npos) << "the rule without path";
}

TEST(ZlogMemlog, StartUpCreatesFoldersAndEmptiesTheFile) {
  TempDir dir;
  ScopedEnv errors("ZLOG_PROFILE_ERROR", dir.File("error.log"));
  std::string path = dir.File("a/b/mem.log");
  ASSERT_EQ(zlog_init_memory_log("INFO", path.c_str()), 0);
  struct stat st;
  EXPECT_EQ(stat(dir.File("a/b").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_FALSE(FileExists(path)) << "the file itself is not created";
  Info("kept");
  EXPECT_FALSE(FileExists(path));
  Error("flushed");
  EXPECT_EQ(SplitLines(ReadTextFile(path)).size(), 2u);
  zlog_fini();

  WriteTextFile(path, "old content\n");
  ASSERT_EQ(zlog_init_memory_log("INFO", path.c_str()), 0);
  EXPECT_EQ(ReadTextFile(path), "");
  zlog_fini();
  EXPECT_EQ(ReadTextFile(dir.File("error.log")), "");
}

// A pool in small: a second process starting on the file (a new worker) keeps what the first
// one wrote, and so does a reload while that process lives; alone again, a reload empties the
// file as it does for a lone process.
TEST(ZlogMemlog, StartBesideALiveUserKeepsTheFile) {
  ZlogSession session(MemConf("kelu_category.INFO >memlog:@DIR@/m.log; m\n"));
  ASSERT_TRUE(session.started());
  Info("a");
  Error("b");
  ASSERT_EQ(ReadTextFile(session.File("m.log")), "a\nb\n");
  int started[2], finish[2];
  ASSERT_EQ(pipe(started), 0);
  ASSERT_EQ(pipe(finish), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // A worker with an engine of its own on the same configuration, ending when told to.
    close(started[0]);
    close(finish[1]);
    zlog_fini();
    bool ok = zlog_init(session.conf_path().c_str()) == 0;
    if (ok) Error("c");
    char byte = 's';
    ok = ok && write(started[1], &byte, 1) == 1 && read(finish[0], &byte, 1) == 0;
    _exit(ok ? 0 : 1);
  }
  close(started[1]);
  close(finish[0]);
  char byte;
  ASSERT_EQ(read(started[0], &byte, 1), 1);
  close(started[0]);
  EXPECT_EQ(ReadTextFile(session.File("m.log")), "a\nb\nc\n");
  ASSERT_EQ(zlog_reload(nullptr), 0);
  EXPECT_EQ(ReadTextFile(session.File("m.log")), "a\nb\nc\n") << "reload beside a live user";
  close(finish[1]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ASSERT_EQ(zlog_reload(nullptr), 0);
  EXPECT_EQ(ReadTextFile(session.File("m.log")), "") << "reload of the only user";
  Error("d");
  EXPECT_EQ(ReadTextFile(session.File("m.log")), "d\n");
}

// A worker that started its rule before the file existed, and never wrote it, is a user too:
// a worker starting after the file's only writer has ended keeps what that writer wrote.
TEST(ZlogMemlog, UserThatNeverWroteKeepsTheFile) {
  ZlogSession session(MemConf("kelu_category.INFO >memlog:@DIR@/m.log; m\n"));
  ASSERT_TRUE(session.started());
  const std::string path = session.File("m.log");
  ASSERT_FALSE(FileExists(path));
  // Each worker: an engine of its own on the configuration, an ERROR line when asked to.
  auto run_worker = [&](bool error) {
    pid_t child = fork();
    if (child == 0) {
      zlog_fini();
      bool ok = zlog_init(session.conf_path().c_str()) == 0;
      if (ok && error) Error("written by a worker that has ended");
      _exit(ok ? 0 : 1);
    }
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
  };
  ASSERT_TRUE(run_worker(true));
  const std::string written = ReadTextFile(path);
  ASSERT_NE(written.find("written by a worker that has ended"), std::string::npos);
  ASSERT_TRUE(run_worker(false));
  EXPECT_EQ(ReadTextFile(path), written) << "a new worker beside a user that never wrote";
  ASSERT_EQ(zlog_reload(nullptr), 0);
  EXPECT_EQ(ReadTextFile(path), "") << "reload of the only user";
}

TEST(ZlogMemlog, FatalLevelNeverWrites) {
  TempDir dir;
  std::string path = dir.File("m.log");
  ASSERT_EQ(zlog_init_memory_log("FATAL", path.c_str()), 0);
  Log(ZLOG_LEVEL_FATAL, "fatal");
  Error("error is below the rule");
  zlog_fini();
  EXPECT_FALSE(FileExists(path));
}

TEST(ZlogMemlog, StartUpRefusals) {
  TempDir dir;
  ScopedEnv errors("ZLOG_PROFILE_ERROR", dir.File("error.log"));
  struct Case {
    const char *level;
    std::string path;
  };
  const Case cases[] = {
      {"INFO", dir.File("a,b.log")},   {"INFO", dir.File("a;b.log")},
      {"INFO", dir.File("a#b.log")},   {"INFO", dir.File("a\nb.log")},
      {"INFO", dir.File("a\tb.log")},  {"LOUD", dir.File("m.log")},
      {"INFO", "/" + std::string(600, 'p')},  // the rule line would not fit in 511 characters
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(zlog_init_memory_log(c.level, c.path.c_str()), -1);
    EXPECT_EQ(zlog_get_category("kelu_category"), nullptr) << "logging stays off";
  }
  EXPECT_EQ(zlog_init_memory_log(nullptr, "x"), -1);
  EXPECT_EQ(zlog_init_memory_log("INFO", nullptr), -1);
  std::string diagnostics = ReadTextFile(dir.File("error.log"));
  EXPECT_NE(diagnostics.find("holds ',', ';', '#' or a control character"), std::string::npos);
  EXPECT_NE(diagnostics.find("level[LOUD] is not a level name"), std::string::npos);
  EXPECT_NE(diagnostics.find("------zlog_init fail end------"), std::string::npos);
  // A refused start leaves nothing behind: the next one starts clean, in file mode.
  ZlogSession session("[rules]\n*.* $capture\n");
  EXPECT_TRUE(session.started());
}

TEST(ZlogMemlog, RunningEngineRefusesAMemoryLogStart) {
  ZlogSession session(MemConf("kelu_category.INFO >memlog:@DIR@/m.log; m\n"));
  ASSERT_TRUE(session.started());
  EXPECT_EQ(zlog_init_memory_log("DEBUG", session.File("other.log").c_str()), -1);
  Log(ZLOG_LEVEL_DEBUG, "still INFO and above");
  Error("e");
  EXPECT_EQ(ReadTextFile(session.File("m.log")), "e\n");
  EXPECT_NE(session.Diagnostics().find("already init, use zlog_reload pls"), std::string::npos);
}

TEST(ZlogMemlog, AfterFiniFileModeReloadsReadTheFile) {
  TempDir dir;
  ASSERT_EQ(zlog_init_memory_log("INFO", dir.File("m.log").c_str()), 0);
  ASSERT_EQ(zlog_reload("/no/such/file.conf"), 0) << "memory-log mode ignores the path";
  zlog_fini();
  ZlogSession session("[rules]\n*.* $capture, \"first\"\n");
  ASSERT_TRUE(session.started());
  session.Rewrite("[rules]\n*.* $capture, \"second\"\n");
  ASSERT_EQ(zlog_reload(nullptr), 0);
  Info("x");
  auto lines = Capture::Take();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].path, "second");
}

TEST(ZlogMemlog, ThreadsKeepWholeLines) {
  ZlogSession session(MemConf("kelu_category.INFO >memlog:@DIR@/m.log; m\n"));
  ASSERT_TRUE(session.started());
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 500; ++i) {
        Info("thread " + std::to_string(t) + " line " + std::to_string(i) + " " +
             std::string(50, 'x'));
      }
    });
  }
  for (std::thread &t : threads) t.join();
  Error("end");
  std::string text = ReadTextFile(session.File("m.log"));
  EXPECT_LE(text.size(), 2 * kHalf);
  std::vector<std::string> lines = SplitLines(text);
  ASSERT_GT(lines.size(), 100u);
  EXPECT_EQ(lines.back(), "end");
  static const std::regex kLine(R"(thread \d line \d+ x{50})");
  for (size_t i = 0; i + 1 < lines.size(); ++i) {
    EXPECT_TRUE(std::regex_match(lines[i], kLine)) << lines[i];
  }
}

// The facade's memory-log start (kelu_log_init_memory_log) end to end.
TEST(ZlogMemlog, FacadeMemoryLog) {
  TempDir dir;
  std::string path = dir.File("logs/facade.log");
  ASSERT_EQ(kelu_log_init_memory_log(9, path.c_str()), 0) << "an unknown level starts at INFO";
  ASSERT_NE(g_ptr_kelu_category, nullptr);
  TRACE(KELU_TRACE_DEBUG, "debug line");
  TRACE(KELU_TRACE_INFO, "info line");
  TRACE(KELU_TRACE_ERROR, "error line");
  kelu_log_fini();
  std::vector<std::string> lines = SplitLines(ReadTextFile(path));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(std::regex_match(lines[0], std::regex(R"(.* INFO \[\d+:kelu_zlog\.cpp:\d+\] info line)")))
      << lines[0];
  EXPECT_TRUE(std::regex_match(lines[1], std::regex(R"(.* ERROR \[\d+:kelu_zlog\.cpp:\d+\] error line)")))
      << lines[1];
}

}  // namespace
}  // namespace kelu::test

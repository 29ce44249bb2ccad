// The memory-log output and its start-up: what reaches the file at ERROR lines, in which order,
// and what the halves keep across rotations, reloads, finishes and failed writes; which start
// empties the file when other processes use it too.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
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

// A reload starts an empty live file; what the file held becomes the newest archive.
TEST(ZlogMemlog, ReloadArchivesTheFileAndKeepsTheHalves) {
  ZlogSession session(MemConf("kelu_category.INFO >memlog:@DIR@/m.log; m\n"));
  ASSERT_TRUE(session.started());
  Info("a");
  Error("b");
  Info("c");
  ASSERT_EQ(ReadTextFile(session.File("m.log")), "a\nb\n");
  ASSERT_EQ(zlog_reload(nullptr), 0);
  EXPECT_TRUE(FileExists(session.File("m.log")));
  EXPECT_EQ(ReadTextFile(session.File("m.log")), "");
  EXPECT_EQ(ReadTextFile(session.File("m.log.0")), "a\nb\n");
  Error("d");
  EXPECT_EQ(ReadTextFile(session.File("m.log")), "c\nd\n");
  ASSERT_EQ(zlog_reload(nullptr), 0);
  EXPECT_EQ(ReadTextFile(session.File("m.log")), "");
  EXPECT_EQ(ReadTextFile(session.File("m.log.0")), "a\nb\nc\nd\n")
      << "appended to the newest archive, which stays within the size";
  ASSERT_EQ(zlog_reload(nullptr), 0);
  EXPECT_FALSE(FileExists(session.File("m.log.1"))) << "an empty file is not archived";
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

TEST(ZlogMemlog, StartUpCreatesFoldersAndStartsAnEmptyFile) {
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
  EXPECT_EQ(ReadTextFile(path + ".0"), "old content\n") << "kept as the newest archive";
  zlog_fini();
  EXPECT_EQ(ReadTextFile(dir.File("error.log")), "");
}

// A pool in small: a second process starting on the file (a new worker) keeps what the first
// one wrote, and so does a reload while that process lives; alone again, a reload starts an
// empty file as it does for a lone process, keeping the old content as an archive.
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
  EXPECT_EQ(ReadTextFile(session.File("m.log.0")), "a\nb\nc\n");
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
  EXPECT_EQ(ReadTextFile(path + ".0"), written);
}

// Workers of a pool that are ended when idle, or after one request: a worker that starts
// alone on the file keeps what the ended ones wrote as the newest archive, and starts an
// empty live file.
TEST(ZlogMemlog, WorkerStartingAloneKeepsWhatEndedWorkersWrote) {
  TempDir dir;  // this process starts no rule on the file: it is no user of it
  const std::string conf = dir.File("zlog.conf"), path = dir.File("m.log");
  WriteTextFile(conf, MemConf("kelu_category.INFO >memlog:" + path + "; m\n"));
  for (int worker = 0; worker < 3; ++worker) {
    pid_t child = StartProcess(conf, [worker] {
      Info("context of refusal " + std::to_string(worker));
      Error("refusal " + std::to_string(worker));
    });
    ASSERT_TRUE(EndsWell(child));
  }
  ASSERT_TRUE(EndsWell(StartProcess(conf, [] {})));
  EXPECT_TRUE(FileExists(path));
  EXPECT_EQ(ReadTextFile(path), "");
  std::string kept;
  for (int i = 2; i >= 0; --i) kept += ReadTextFile(path + "." + std::to_string(i));
  EXPECT_EQ(kept, "context of refusal 0\nrefusal 0\ncontext of refusal 1\nrefusal 1\n"
                  "context of refusal 2\nrefusal 2\n");
}

// In a log folder that can be written and searched but not read (mode 0300) a lone start
// finds the newest archive by name, as a rotation does, and appends to it.
TEST(ZlogMemlog, LoneStartInAFolderThatCannotBeListedAppendsToTheNewestArchive) {
  ServiceDir dir;
  dir.WriteConf(MemConf("kelu_category.INFO >memlog:@LOGS@/m.log, 1kb * 3; m\n"));
  const std::string logs = dir.Log("");
  for (const char *name : {"m.log.0", "m.log"}) ASSERT_TRUE(MakeWorkerFile(dir.Log(name)));
  WriteTextFile(dir.Log("m.log.0"), "older context\n");
  WriteTextFile(dir.Log("m.log"), "left by an ended worker\n");
  pid_t worker = fork();
  if (worker == 0) {
    if (!BecomeWorkerUser() || chmod(logs.c_str(), 0300) != 0) _exit(2);
    int rc = zlog_init(dir.conf().c_str());
    if (rc == 0) zlog_fini();
    _exit(chmod(logs.c_str(), 0755) == 0 && rc == 0 ? 0 : 1);
  }
  ASSERT_TRUE(EndsWell(worker));
  EXPECT_EQ(ReadTextFile(dir.Log("m.log.0")), "older context\nleft by an ended worker\n");
  EXPECT_EQ(ReadTextFile(dir.Log("m.log")), "");
  EXPECT_FALSE(FileExists(dir.Log("m.log.1")));
}

// Whether process pid waits for a file lock (an entry "->" of /proc/locks) within 5 s.
bool WaitsForAFileLock(pid_t pid) {
  const std::string waiter = " " + std::to_string(pid) + " ";
  for (int tries = 0; tries < 500; ++tries) {
    for (const std::string &line : SplitLines(ReadTextFile("/proc/locks"))) {
      if (line.find("->") != std::string::npos && line.find(waiter) != std::string::npos) {
        return true;
      }
    }
    usleep(10000);
  }
  return false;
}

// A process starting alone on a memory log holds the file exclusively only under the rotation
// locks. The test plays a worker's first flush that holds the rotate lock file (it could not
// open the folder, so neither lock it nor register) and then takes the file's shared lock:
// the starter waits for the lock file without holding the file, the flush gets the file, and
// the starter, no longer alone, keeps what the file holds.
TEST(ZlogMemlog, LoneStartWaitingForTheRotationLocksLeavesTheFileToAFlush) {
  ServiceDir dir;
  dir.WriteConf(MemConf("kelu_category.INFO >memlog:@LOGS@/m.log; m\n"));
  const std::string live = dir.Log("m.log");
  ASSERT_TRUE(MakeWorkerFile(live));
  WriteTextFile(live, "left by an ended worker\n");
  int lock_file = open(dir.conf().c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(lock_file, 0);
  ASSERT_EQ(flock(lock_file, LOCK_EX), 0);
  pid_t starter = fork();
  if (starter == 0) {
    close(lock_file);  // the test's description, locked
    alarm(10);         // a starter that hangs ends, and fails the test
    if (!BecomeWorkerUser()) _exit(2);
    int rc = zlog_init(dir.conf().c_str());
    if (rc == 0) zlog_fini();
    _exit(rc == 0 ? 0 : 1);
  }
  bool waits = starter > 0 && WaitsForAFileLock(starter);
  int file = open(live.c_str(), O_RDONLY | O_CLOEXEC);
  bool shared = file >= 0 && flock(file, LOCK_SH | LOCK_NB) == 0;
  close(lock_file);
  EXPECT_TRUE(EndsWell(starter));
  EXPECT_TRUE(waits) << "the starter waits for the rotate lock file";
  EXPECT_TRUE(shared) << "the starter holds the file exclusively while it waits";
  EXPECT_EQ(ReadTextFile(live), "left by an ended worker\n");
  if (file >= 0) close(file);
}

// A refusal of a pool's worker and its context, flushed: padded to about size bytes.
std::string RefusalText(const std::string &tag, size_t size) {
  std::string context = "context of " + tag + " ";
  std::string refusal = "refusal " + tag + "\n";
  return context + std::string(size - context.size() - 1 - refusal.size(), '.') + "\n" + refusal;
}

void Refuse(const std::string &tag, size_t size) {
  std::vector<std::string> lines = SplitLines(RefusalText(tag, size));
  Info(lines[0]);
  Error(lines[1]);
}

// The content of files, oldest first.
std::string Concatenated(const ServiceDir &dir, const std::vector<std::string> &names) {
  std::string all;
  for (const std::string &name : names) all += ReadTextFile(dir.Log(name));
  return all;
}

// The tags of the refusals in text, in order.
std::vector<std::string> RefusalTags(const std::string &text) {
  std::vector<std::string> tags;
  for (const std::string &line : SplitLines(text)) {
    if (line.rfind("refusal ", 0) == 0) tags.push_back(line.substr(8));
  }
  return tags;
}

// text holds the refusals of tags, each whole with its context, in order.
void ExpectRefusals(const std::string &text, const std::vector<std::string> &tags, size_t size) {
  std::string expected;
  for (const std::string &tag : tags) expected += RefusalText(tag, size);
  EXPECT_EQ(RefusalTags(text), tags);
  EXPECT_TRUE(text == expected) << "the refusals and their contexts whole";
}

// A pool whose workers are replaced after each request: each worker starts alone on the file,
// and what the ended ones flushed is kept within the size rule (a lone start appends it to the
// newest archive while that stays within the size), so contexts are lost only to the byte
// bound. 20 workers of one refusal of 912 bytes: four to an archive of 4 KiB.
TEST(ZlogMemlog, ReplacedWorkersKeepContextsUpToTheByteBound) {
  constexpr int kWorkers = 20;
  constexpr size_t kRefusal = 912;
  struct Case {
    const char *name;
    const char *option;
    std::vector<std::string> files;  // oldest first, the live file last
    int first_kept;
  };
  const Case cases[] = {
      {"the default bound", "", {"m.log.0", "m.log"}, 0},
      {"4 KiB, 2 archives", ", 4kb * 2", {"m.log.1", "m.log.0", "m.log"}, 12},
      {"numbered up, 3 archives", ", 4kb * 3 ~ \"@LOGS@/m.#s.log\"",
       {"m.2.log", "m.3.log", "m.4.log", "m.log"}, 8},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    ServiceDir dir;
    dir.WriteConf(MemConf(std::string("kelu_category.INFO >memlog:@LOGS@/m.log") + c.option +
                          "; m\n"));
    for (int w = 0; w < kWorkers; ++w) {
      std::string tag = "worker " + std::to_string(w);
      ASSERT_TRUE(EndsWell(
          StartProcess(dir.conf(), [&] { Refuse(tag, kRefusal); }, RunAs::kWorkerUser)));
    }
    std::vector<std::string> kept;
    for (int w = c.first_kept; w < kWorkers; ++w) kept.push_back("worker " + std::to_string(w));
    ExpectRefusals(Concatenated(dir, c.files), kept, kRefusal);
    if (*c.option == '\0') continue;
    for (const std::string &name : c.files) {
      EXPECT_LE(ReadTextFile(dir.Log(name)).size(), 4096u) << name;
    }
  }
}

// A root job's memory log beside an unprivileged pool's. The file the root job makes in the
// pool's folder is the pool's; one that it may not write (an older release's root job left it
// root's, mode 0600): a worker archives it and starts its own. The root job's lone start and its
// rotations make the new live file with the workers' owner, so the worker can write it later.
// Nothing flushed is lost. Refusals of 595 bytes with a size of 2 KiB: three to a file.
TEST(ZlogMemlog, RootJobAndWorkersKeepEachOthersContexts) {
  constexpr size_t kRefusal = 595;
  ServiceDir dir;
  dir.WriteConf(MemConf("kelu_category.INFO >memlog:@LOGS@/m.log, 2kb * 0; m\n"));
  const std::string errors = dir.Log("error.log"), live = dir.Log("m.log");
  ASSERT_TRUE(MakeWorkerFile(errors));
  ScopedEnv error_log("ZLOG_PROFILE_ERROR", errors);
  const uid_t worker_uid = TheWorkerUser().uid;
  auto run = [&](RunAs who, std::vector<std::string> tags) {
    return EndsWell(StartProcess(
        dir.conf(), [&] { for (const std::string &tag : tags) Refuse(tag, kRefusal); }, who));
  };

  ASSERT_TRUE(run(RunAs::kTestUser, {"r0"}));
  EXPECT_EQ(OwnerOf(live), worker_uid) << "made by the root job in the worker's folder";
  // A file the worker may not write, as a root job of an older release left it: root's. Run
  // by another user than root the worker is the job's user: made read-only all the same.
  if (geteuid() == 0) {
    ASSERT_EQ(chown(live.c_str(), 0, 0), 0);
  } else {
    ASSERT_EQ(chmod(live.c_str(), 0400), 0);
  }
  ASSERT_TRUE(run(RunAs::kWorkerUser, {"w0", "w1", "w2"}));
  ExpectRefusals(ReadTextFile(dir.Log("m.log.0")), {"r0"}, kRefusal);  // the root job's file
  ExpectRefusals(ReadTextFile(live), {"w0", "w1", "w2"}, kRefusal);
  EXPECT_EQ(OwnerOf(live), worker_uid);

  ASSERT_TRUE(run(RunAs::kTestUser, {}));  // a lone start that archives the full live file
  EXPECT_EQ(ReadTextFile(live), "");
  EXPECT_EQ(OwnerOf(live), worker_uid) << "made by the root job's lone start";
  ASSERT_TRUE(run(RunAs::kTestUser, {"r1", "r2", "r3", "r4"}));  // rotates before r4
  ExpectRefusals(ReadTextFile(live), {"r4"}, kRefusal);
  EXPECT_EQ(OwnerOf(live), worker_uid) << "made by the root job's rotation";

  ASSERT_TRUE(run(RunAs::kWorkerUser, {"w3"}));
  ExpectRefusals(Concatenated(dir, {"m.log.3", "m.log.2", "m.log.1", "m.log.0", "m.log"}),
                 {"r0", "w0", "w1", "w2", "r1", "r2", "r3", "r4", "w3"}, kRefusal);
  std::string diagnostics = ReadTextFile(errors);
  EXPECT_EQ(diagnostics.find("open file["), std::string::npos) << diagnostics;
  EXPECT_NE(diagnostics.find("file[" + live + "] is not writable by this process"),
            std::string::npos)
      << diagnostics;
}

// A flush of the rotation tests: three INFO lines and an ERROR line of 50 bytes each, tagged
// with the writer and the flush's number.
std::string FlushLine(int writer, int flush, char part) {
  std::string head = std::to_string(writer) + " " + std::to_string(flush) + " " + part + " ";
  return head + std::string(49 - head.size(), '.');
}

void WriteFlush(int writer, int flush) {
  for (char part : {'0', '1', '2'}) Info(FlushLine(writer, flush, part));
  Error(FlushLine(writer, flush, 'E'));
}

using FlushId = std::pair<int, int>;  // writer, flush

// The flushes in a file, in order; a flush that is not whole in it fails the test.
std::vector<FlushId> Flushes(const std::string &path) {
  std::vector<FlushId> flushes;
  std::vector<std::string> lines = SplitLines(ReadTextFile(path));
  if (lines.size() % 4 != 0) ADD_FAILURE() << path << " holds " << lines.size() << " lines";
  for (size_t i = 0; i + 3 < lines.size(); i += 4) {
    int writer = -1, flush = -1;
    std::sscanf(lines[i].c_str(), "%d %d", &writer, &flush);
    const char parts[] = {'0', '1', '2', 'E'};
    for (size_t j = 0; j < 4; ++j) {
      if (lines[i + j] != FlushLine(writer, flush, parts[j])) {
        ADD_FAILURE() << path << ": a flush is not whole at line " << i + j << ": " << lines[i + j];
        return flushes;
      }
    }
    flushes.emplace_back(writer, flush);
  }
  return flushes;
}

std::vector<FlushId> FlushRange(int writer, int first, int last) {
  std::vector<FlushId> out;
  for (int k = first; k <= last; ++k) out.emplace_back(writer, k);
  return out;
}

// A memory-log rule rotates like a file rule, but before a flush that would take the file past
// its size: each flush stays whole in one file, and the newest one is in the live file. 20
// flushes of 200 bytes with a size of 1 KiB: five to a file.
TEST(ZlogMemlog, RotatesBeforeAFlushAndKeepsEachFlushWhole) {
  struct ExpectedFile {
    std::string name;
    int first, last;  // flushes
  };
  struct Case {
    const char *name;
    const char *option;
    std::vector<ExpectedFile> files;
    std::vector<std::string> absent;
  };
  const Case cases[] = {
      {"rolling, 2 kept", ", 1kb * 2", {{"m.log", 15, 19}, {"m.log.0", 10, 14}, {"m.log.1", 5, 9}},
       {"m.log.2"}},
      {"all kept", ", 1kb * 0",
       {{"m.log", 15, 19}, {"m.log.0", 10, 14}, {"m.log.1", 5, 9}, {"m.log.2", 0, 4}},
       {"m.log.3"}},
      {"sequence in a folder of its own, 2 kept", ", 1kb * 2 ~ \"@DIR@/old/m.#2s.log\"",
       {{"m.log", 15, 19}, {"old/m.01.log", 5, 9}, {"old/m.02.log", 10, 14}},
       {"old/m.00.log", "old/m.03.log", "m.log.0"}},
      {"a flush larger than the size is whole in the live file", ", 100 * 2",
       {{"m.log", 19, 19}, {"m.log.0", 18, 18}, {"m.log.1", 17, 17}}, {"m.log.2"}},
      {"size 0 never rotates", ", 0", {{"m.log", 0, 19}}, {"m.log.0"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    ZlogSession session(
        MemConf(std::string("kelu_category.INFO >memlog:@DIR@/m.log") + c.option + "; m\n"));
    ASSERT_TRUE(session.started());
    for (int k = 0; k < 20; ++k) WriteFlush(0, k);
    for (const ExpectedFile &file : c.files) {
      EXPECT_EQ(Flushes(session.File(file.name)), FlushRange(0, file.first, file.last))
          << file.name;
    }
    for (const std::string &name : c.absent) EXPECT_FALSE(FileExists(session.File(name))) << name;
    EXPECT_EQ(session.Diagnostics(), "");
  }
}

// Without a size the memory log is bounded all the same: the live file and its archives never
// hold more than 32 MiB together (here about 38 MB of flushes of 64 KiB).
TEST(ZlogMemlog, DefaultBoundOf32MiB) {
  ZlogSession session(MemConf("kelu_category.INFO >memlog:@DIR@/m.log; m\n"));
  ASSERT_TRUE(session.started());
  const std::string line(999, 'i');
  for (int flush = 0; flush < 600; ++flush) {
    for (int i = 0; i < 64; ++i) Info(line);
    Error("flush " + std::to_string(flush));
  }
  size_t total = 0;
  for (const std::string &file : LogAndArchives(session.File("m.log"))) {
    size_t size = ReadTextFile(file).size();
    EXPECT_LE(size, 8u << 20) << file;
    total += size;
  }
  EXPECT_LE(total, 32u << 20);
  EXPECT_GT(total, 24u << 20) << "three archives and the live file";
  EXPECT_TRUE(FileExists(session.File("m.log.2")));
  EXPECT_FALSE(FileExists(session.File("m.log.3")));
  EXPECT_NE(ReadTextFile(session.File("m.log")).find("flush 599\n"), std::string::npos);
}

// Workers of a pool, unprivileged on a configuration they can only read, flushing to one
// memory log with a size: none of their flushes is lost or split, and no file passes the size.
TEST(ZlogMemlog, WorkersRotateOneFileTogether) {
  constexpr int kWriters = 3;
  constexpr int kFlushes = 300;
  ServiceDir dir;
  dir.WriteConf(MemConf("kelu_category.INFO >memlog:@LOGS@/m.log, 8kb * 0; m\n"));
  std::vector<pid_t> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.push_back(StartProcess(
        dir.conf(), [w] { for (int k = 0; k < kFlushes; ++k) WriteFlush(w, k); },
        RunAs::kWorkerUser));
    ASSERT_GE(writers.back(), 0);
  }
  for (pid_t writer : writers) EXPECT_TRUE(EndsWell(writer));
  std::vector<FlushId> all, expected;
  std::vector<std::string> files = LogAndArchives(dir.Log("m.log"));
  EXPECT_GE(files.size(), 15u);
  for (const std::string &file : files) {
    EXPECT_LE(ReadTextFile(file).size(), 8192u) << file;
    std::vector<FlushId> part = Flushes(file);
    all.insert(all.end(), part.begin(), part.end());
  }
  for (int w = 0; w < kWriters; ++w) {
    std::vector<FlushId> own = FlushRange(w, 0, kFlushes - 1);
    expected.insert(expected.end(), own.begin(), own.end());
  }
  std::sort(all.begin(), all.end());
  EXPECT_EQ(all, expected);
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

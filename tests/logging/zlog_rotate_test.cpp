// Size rotation: archive names (#r, #s, widths, dates, folders), archive counts, dynamic and
// synchronous files, the lazily opened lock file, several threads and several processes at
// once (a quiet one beside a busy one, busy ones together).
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "ZlogTestSupport.h"
#include "zlog/zlog.h"

namespace kelu::test {
namespace {

constexpr size_t kLineSize = 100;  // "<writer> <number> xxx...\n"

std::string LineText(int writer, int number) {
  char head[32];
  int n = std::snprintf(head, sizeof head, "%d %d ", writer, number);
  return std::string(head) + std::string(kLineSize - 1 - static_cast<size_t>(n), 'x');
}

void WriteLines(zlog_category_t *category, int writer, int first, int last) {
  for (int i = first; i <= last; ++i) zlog_info(category, "%s", LineText(writer, i).c_str());
}

// The numbers of writer 0's lines in a file's text, checking that every line is whole.
std::vector<int> NumbersIn(const std::string &text, const std::string &path, int writer = 0) {
  std::vector<int> numbers;
  for (const std::string &line : SplitLines(text)) {
    int line_writer = -1, number = -1, used = 0;
    bool whole = line.size() == kLineSize - 1 &&
                 std::sscanf(line.c_str(), "%d %d %n", &line_writer, &number, &used) == 2 &&
                 used > 0 &&
                 line.find_first_not_of('x', static_cast<size_t>(used)) == std::string::npos;
    if (!whole) {
      ADD_FAILURE() << path << ": damaged line " << line;
      continue;
    }
    if (line_writer == writer) numbers.push_back(number);
  }
  return numbers;
}

std::vector<int> Numbers(const std::string &path, int writer = 0) {
  return NumbersIn(ReadTextFile(path), path, writer);
}

std::vector<int> Range(int first, int last) {
  std::vector<int> out;
  for (int i = first; i <= last; ++i) out.push_back(i);
  return out;
}

size_t Count(const std::string &text, const std::string &part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}


// The most an archive holds, from what the engine guarantees: a process looks at the file
// again once it has written 1/32 of the limit since its last look, and rotates the file once
// it counts it past the limit, so past the limit each process writes at most that share and a
// line per thread.
size_t ArchiveBound(size_t limit, int processes, int threads = 1) {
  return limit + static_cast<size_t>(processes) * (limit / 32 + threads * kLineSize);
}

// The numbers of a writer's lines in the log at path and its archives, sorted.
std::vector<int> KeptNumbers(const std::string &path, int writer) {
  std::vector<int> all;
  for (const std::string &file : LogAndArchives(path)) {
    std::vector<int> part = Numbers(file, writer);
    all.insert(all.end(), part.begin(), part.end());
  }
  std::sort(all.begin(), all.end());
  return all;
}
std::vector<int> KeptNumbers(const ZlogSession &session, int writer) {
  return KeptNumbers(session.File("p.log"), writer);
}

// A configuration whose category "c" goes to "p.log" with the given rotation, under a rotate
// lock file of its own.
std::string SharedLogConf(const std::string &rotation) {
  return "[global]\nrotate lock file = @DIR@/zlog.lock\n[formats]\nm = \"%m%n\"\n[rules]\n"
         "*.* \"@DIR@/p.log\", " + rotation + " ~ \"@DIR@/p.log.#r\"; m\n";
}

// Descriptors of the process open on files under folder that an exec would pass on, or that
// show as deleted files (as an unnamed file linked in later does).
std::vector<std::string> UnsoundLogDescriptors(const std::string &folder) {
  std::vector<std::string> found;
  DIR *dir = opendir("/proc/self/fd");
  if (dir == nullptr) return found;
  while (struct dirent *entry = readdir(dir)) {
    int fd = std::atoi(entry->d_name);
    char target[4096];
    ssize_t n = readlink(("/proc/self/fd/" + std::string(entry->d_name)).c_str(), target,
                         sizeof target - 1);
    if (n <= 0 || fd == dirfd(dir)) continue;
    target[n] = '\0';
    int fd_flags = fcntl(fd, F_GETFD);
    const std::string name = target;
    const bool deleted = name.size() > 10 && name.compare(name.size() - 10, 10, " (deleted)") == 0;
    if (name.rfind(folder, 0) == 0 && fd_flags >= 0 && (!(fd_flags & FD_CLOEXEC) || deleted)) {
      found.push_back(name);
    }
  }
  closedir(dir);
  return found;
}

std::string Today() {
  char text[16];
  time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  strftime(text, sizeof text, "%Y%m%d", &local);
  return text;
}

struct ExpectedFile {
  std::string name;
  int first;  // writer 0's lines first..last
  int last;
};

struct RotationCase {
  const char *name;
  const char *rule;      // one rule of category "c" (or "dyn"), format "%m%n"
  const char *category;
  std::vector<ExpectedFile> files;
  std::vector<std::string> absent;
};

// 50 lines of 100 bytes with a limit of 1000 bytes: the file rotates after its 11th line, so
// lines 1-11, 12-22, 23-33 and 34-44 are archived (oldest first) and 45-50 stay.
TEST(ZlogRotate, ArchiveNamesAndCounts) {
  const std::string today = Today();
  const RotationCase cases[] = {
      {"rolling, 3 kept", "\"@DIR@/r.log\", 1k * 3 ~ \"@DIR@/r.log.#r\"", "c",
       {{"r.log", 45, 50}, {"r.log.0", 34, 44}, {"r.log.1", 23, 33}, {"r.log.2", 12, 22}},
       {"r.log.3"}},
      {"default archive name, all kept", "\"@DIR@/d.log\", 1k", "c",
       {{"d.log", 45, 50}, {"d.log.0", 34, 44}, {"d.log.1", 23, 33}, {"d.log.2", 12, 22},
        {"d.log.3", 1, 11}},
       {"d.log.4"}},
      {"sequence with width, 2 kept", "\"@DIR@/s.log\", 1k * 2 ~ \"@DIR@/s.#2s.log\"", "c",
       {{"s.log", 45, 50}, {"s.02.log", 23, 33}, {"s.03.log", 34, 44}},
       {"s.00.log", "s.01.log", "s.04.log"}},
      {"count 0 keeps all", "\"@DIR@/z.log\", 1k * 0 ~ \"@DIR@/z.#r\"", "c",
       {{"z.log", 45, 50}, {"z.0", 34, 44}, {"z.3", 1, 11}}, {"z.4"}},
      {"archives in a folder made on demand",
       "\"@DIR@/f.log\", 1k * 5 ~ \"@DIR@/old/f.log.#s\"", "c",
       {{"f.log", 45, 50}, {"old/f.log.0", 1, 11}, {"old/f.log.3", 34, 44}}, {"old/f.log.4"}},
      {"date in the archive name", "\"@DIR@/t.log\", 1k ~ \"@DIR@/t-%d(%Y%m%d).#s.log\"", "c",
       {{"t.log", 45, 50},
        {"t-" + today + ".0.log", 1, 11},
        {"t-" + today + ".3.log", 34, 44}},
       {}},
      {"dynamic file", "\"@DIR@/%c.log\", 1k * 2", "dyn",
       {{"dyn.log", 45, 50}, {"dyn.log.0", 34, 44}, {"dyn.log.1", 23, 33}}, {"dyn.log.2"}},
      {"synchronous file", "-\"@DIR@/y.log\", 1k * 1", "c",
       {{"y.log", 45, 50}, {"y.log.0", 34, 44}}, {"y.log.1"}},
      {"size 0 never rotates", "\"@DIR@/n.log\", 0", "c", {{"n.log", 1, 50}}, {"n.log.0"}},
  };
  for (const RotationCase &c : cases) {
    SCOPED_TRACE(c.name);
    ZlogSession session(std::string("[formats]\nm = \"%m%n\"\n[rules]\n") + c.category + ".* " +
                        c.rule + "; m\n");
    ASSERT_TRUE(session.started());
    WriteLines(zlog_get_category(c.category), 0, 1, 50);
    for (const ExpectedFile &file : c.files) {
      EXPECT_EQ(Numbers(session.File(file.name)), Range(file.first, file.last)) << file.name;
    }
    for (const std::string &name : c.absent) EXPECT_FALSE(FileExists(session.File(name))) << name;
    EXPECT_EQ(UnsoundLogDescriptors(session.dir().path()), std::vector<std::string>());
    EXPECT_EQ(session.Diagnostics(), "");
  }
}

TEST(ZlogRotate, ThreadsLoggingAtTheLimitKeepTheArchiveCount) {
  constexpr int kThreads = 8;
  constexpr int kLines = 500;
  ZlogSession session("[formats]\nm = \"%m%n\"\n[rules]\n"
                      "*.* \"@DIR@/r.log\", 10kb * 3 ~ \"@DIR@/r.log.#r\"; m\n");
  ASSERT_TRUE(session.started());
  zlog_category_t *category = zlog_get_category("c");
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      while (!go.load()) std::this_thread::yield();
      WriteLines(category, t, 0, kLines - 1);
    });
  }
  go.store(true);
  for (std::thread &t : threads) t.join();

  EXPECT_FALSE(FileExists(session.File("r.log.3")));
  const char *oldest_first[] = {"r.log.2", "r.log.1", "r.log.0", "r.log"};
  for (const char *name : oldest_first) {
    ASSERT_TRUE(FileExists(session.File(name))) << name;
    if (std::string(name) == "r.log") continue;
    size_t size = ReadTextFile(session.File(name)).size();
    EXPECT_GT(size, 10240u) << name;
    // Lines written while another thread renames still land in the file being archived.
    EXPECT_LE(size, ArchiveBound(10240, 1, kThreads)) << name;
  }
  // What is kept of a thread is the end of what it wrote, in order, without a gap.
  size_t kept_lines = 0;
  for (int t = 0; t < kThreads; ++t) {
    std::vector<int> kept;
    for (const char *name : oldest_first) {
      std::vector<int> part = Numbers(session.File(name), t);
      kept.insert(kept.end(), part.begin(), part.end());
    }
    kept_lines += kept.size();
    if (!kept.empty()) {
      EXPECT_EQ(kept, Range(kept.front(), kLines - 1)) << "thread " << t;
    }
  }
  EXPECT_GT(kept_lines, 3u * 10240 / kLineSize);
  EXPECT_EQ(session.Diagnostics(), "");
}

TEST(ZlogRotate, TwoProcessesShareOneFile) {
  constexpr int kLines = 2000;
  ZlogSession session(SharedLogConf("20kb * 0"), true);
  ASSERT_TRUE(session.started());
  zlog_fini();
  pid_t child = StartProcess(session.conf_path(),
                             [] { WriteLines(zlog_get_category("c"), 1, 0, kLines - 1); });
  ASSERT_GE(child, 0);
  ASSERT_EQ(zlog_init(session.conf_path().c_str()), 0);
  WriteLines(zlog_get_category("c"), 0, 0, kLines - 1);
  EXPECT_TRUE(EndsWell(child));

  // Every line of both processes is in exactly one file, whole and in order.
  for (int writer = 0; writer < 2; ++writer) {
    EXPECT_EQ(KeptNumbers(session, writer), Range(0, kLines - 1)) << "writer " << writer;
  }
  EXPECT_TRUE(FileExists(session.File("p.log.5")));
}

// A php-fpm pool in small: a quiet process (writer 0) logs a line now and then while a busy
// one (writer 1) rotates the file away several times between two of them. Each quiet line
// must reach the live file, never the archive the quiet process opened nor a removed one.
TEST(ZlogRotate, QuietProcessFollowsABusyOnesRotations) {
  constexpr int kRounds = 6;
  constexpr int kBurst = 1000;  // about five rotations of 20kb
  constexpr size_t kLimit = 20 * 1024;
  struct Case {
    const char *rotation;
    bool all_kept;
  };
  const Case cases[] = {{"20kb * 0", true}, {"20kb * 2", false}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.rotation);
    ZlogSession session(SharedLogConf(c.rotation));
    ASSERT_TRUE(session.started());
    zlog_fini();
    int go[2], done[2];
    ASSERT_EQ(pipe(go), 0);
    ASSERT_EQ(pipe(done), 0);
    // One burst of lines for each byte read, until the pipe closes.
    pid_t busy = StartProcess(session.conf_path(), [&] {
      close(go[1]);
      close(done[0]);
      char byte;
      for (int first = 0; read(go[0], &byte, 1) == 1; first += kBurst) {
        WriteLines(zlog_get_category("c"), 1, first, first + kBurst - 1);
        if (write(done[1], "d", 1) != 1) return;
      }
    });
    ASSERT_GE(busy, 0);
    close(go[0]);
    close(done[1]);
    ASSERT_EQ(zlog_init(session.conf_path().c_str()), 0);
    for (int round = 0; round < kRounds; ++round) {
      WriteLines(zlog_get_category("c"), 0, round, round);
      std::vector<int> live = Numbers(session.File("p.log"));
      EXPECT_EQ(std::count(live.begin(), live.end(), round), 1) << "round " << round;
      char byte;
      ASSERT_EQ(write(go[1], "g", 1), 1);
      ASSERT_EQ(read(done[0], &byte, 1), 1);
      usleep(30 * 1000);  // the next quiet line comes well after the rotations
    }
    close(go[1]);
    close(done[0]);
    EXPECT_TRUE(EndsWell(busy));

    // The busy process counts its own lines; the quiet one's line since its last look is
    // all it does not count.
    for (const std::string &file : LogAndArchives(session.File("p.log"))) {
      EXPECT_LE(ReadTextFile(file).size(), kLimit + 3 * kLineSize) << file;
    }
    if (c.all_kept) {
      EXPECT_EQ(KeptNumbers(session, 0), Range(0, kRounds - 1));
      EXPECT_EQ(KeptNumbers(session, 1), Range(0, kRounds * kBurst - 1));
    }
  }
}

// Busy processes at a steady pace, as workers of a pool serving requests: each one counting
// only its own lines would let every file grow to about three times the limit.
TEST(ZlogRotate, BusyProcessesKeepEachFileNearTheLimit) {
  constexpr int kWriters = 3;
  constexpr int kLines = 1500;
  constexpr size_t kLimit = 50 * 1024;
  ZlogSession session(SharedLogConf("50kb * 0"));
  ASSERT_TRUE(session.started());
  zlog_fini();
  std::vector<pid_t> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.push_back(StartProcess(session.conf_path(), [w] {
      for (int i = 0; i < kLines; ++i) {
        WriteLines(zlog_get_category("c"), w, i, i);
        usleep(200);
      }
    }));
    ASSERT_GE(writers.back(), 0);
  }
  for (pid_t writer : writers) EXPECT_TRUE(EndsWell(writer));
  ASSERT_EQ(zlog_init(session.conf_path().c_str()), 0);

  std::vector<std::string> files = LogAndArchives(session.File("p.log"));
  EXPECT_GE(files.size(), 6u);
  for (const std::string &file : files) {
    EXPECT_LE(ReadTextFile(file).size(), ArchiveBound(kLimit, kWriters)) << file;
  }
  for (int w = 0; w < kWriters; ++w) {
    EXPECT_EQ(KeptNumbers(session, w), Range(0, kLines - 1)) << "writer " << w;
  }
}

TEST(ZlogRotate, LockFileIsOpenedOnlyWhenARotationNeedsIt) {
  ZlogSession session("[global]\nrotate lock file = @DIR@/rotate.lock\n[formats]\n"
                      "m = \"%m%n\"\n[rules]\n*.* \"@DIR@/l.log\", 1k; m\n");
  ASSERT_TRUE(session.started());
  zlog_category_t *category = zlog_get_category("c");
  WriteLines(category, 0, 1, 10);
  EXPECT_FALSE(FileExists(session.File("rotate.lock")));
  WriteLines(category, 0, 11, 11);
  EXPECT_TRUE(FileExists(session.File("rotate.lock")));
  EXPECT_TRUE(FileExists(session.File("l.log.0")));
}

// A rotate lock file that cannot be opened leaves the lock on the log's folder: the file
// rotates, the diagnostic channel says so, and the log needs no notice.
TEST(ZlogRotate, UnopenableLockFileRotatesUnderTheFolderLock) {
  ZlogSession session("[global]\nrotate lock file = @DIR@/zlog.conf/lock\n[formats]\n"
                      "m = \"%m%n\"\n[rules]\n*.* \"@DIR@/u.log\", 1k; m\n");
  ASSERT_TRUE(session.started());
  WriteLines(zlog_get_category("c"), 0, 1, 30);
  EXPECT_EQ(Numbers(session.File("u.log.1")), Range(1, 11));
  EXPECT_EQ(Numbers(session.File("u.log.0")), Range(12, 22));
  EXPECT_EQ(Numbers(session.File("u.log")), Range(23, 30));
  std::string diagnostics = session.Diagnostics();
  EXPECT_EQ(Count(diagnostics, "rotate lock file[" + session.File("zlog.conf/lock") +
                                   "] cannot be locked"),
            1u)
      << diagnostics;
}

// Workers as a service runs them: unprivileged, on a configuration they can only read, whose
// default rotate lock file is the configuration itself, rotating one file together at full
// speed with every archive kept. No line may be lost, and every archive is a whole rotation:
// past the limit, and not past it by more than each process's share of it.
TEST(ZlogRotate, UnprivilegedWorkersOnAReadOnlyConfigurationLoseNoLine) {
  constexpr int kWriters = 3;
  constexpr int kLines = 35000;  // 3.5 MB a writer
  constexpr size_t kLimit = 1024 * 1024;
  ServiceDir dir;
  dir.WriteConf("[formats]\nm = \"%m%n\"\n[rules]\n"
                "*.* \"@LOGS@/p.log\", 1MB * 0 ~ \"@LOGS@/p.log.#r\"; m\n");
  std::vector<pid_t> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.push_back(StartProcess(
        dir.conf(), [w] { WriteLines(zlog_get_category("c"), w, 0, kLines - 1); },
        RunAs::kWorkerUser));
    ASSERT_GE(writers.back(), 0);
  }
  for (pid_t writer : writers) EXPECT_TRUE(EndsWell(writer));

  const std::string log = dir.Log("p.log");
  for (int w = 0; w < kWriters; ++w) {
    std::vector<int> kept = KeptNumbers(log, w);
    EXPECT_EQ(kept, Range(0, kLines - 1))
        << "writer " << w << ": " << kLines - static_cast<int>(kept.size()) << " of " << kLines
        << " lines lost";
  }
  std::vector<std::string> files = LogAndArchives(log);
  EXPECT_GE(files.size(), 9u);
  for (size_t i = 1; i < files.size(); ++i) {
    size_t size = ReadTextFile(files[i]).size();
    EXPECT_GT(size, kLimit) << files[i];
    EXPECT_LE(size, ArchiveBound(kLimit, kWriters)) << files[i];
  }
}

// Lines written for at least `seconds` of the thread's own processor time (so that other
// work on a loaded machine does not change the pace), numbered from first.
struct Pace {
  int lines = 0;
  double cpu_seconds = 0;
  double wall_seconds = 0;
  double PerSecond() const { return lines / cpu_seconds; }
};

double Seconds(clockid_t clock) {
  struct timespec now;
  clock_gettime(clock, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

Pace WriteFor(zlog_category_t *category, int first, double seconds) {
  Pace pace;
  double cpu_start = Seconds(CLOCK_THREAD_CPUTIME_ID), wall_start = Seconds(CLOCK_MONOTONIC);
  do {
    WriteLines(category, 0, first + pace.lines, first + pace.lines + 99);
    pace.lines += 100;
    pace.cpu_seconds = Seconds(CLOCK_THREAD_CPUTIME_ID) - cpu_start;
  } while (pace.cpu_seconds < seconds);
  pace.wall_seconds = Seconds(CLOCK_MONOTONIC) - wall_start;
  return pace;
}

// A log folder that stops taking renames (made read-only) when the file is past its limit:
// lines go on to the live file at about the pace they had, and the rotation is tried again
// about once a second, not at every line. Once the folder takes renames again, the file
// rotates.
TEST(ZlogRotate, FolderThatRefusesRenamesKeepsThePace) {
  ServiceDir dir;
  dir.WriteConf("[formats]\nm = \"%m%n\"\n[rules]\n*.* \"@LOGS@/r.log\", 100kb * 3; m\n");
  const std::string logs = dir.Log(""), errors = dir.Log("error.log");
  ScopedEnv error_log("ZLOG_PROFILE_ERROR", errors);
  int report[2];
  ASSERT_EQ(pipe(report), 0);
  pid_t worker = StartProcess(
      dir.conf(),
      [&] {
        close(report[0]);
        close(open(errors.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));  // before the fault
        zlog_category_t *category = zlog_get_category("c");
        Pace paces[2];
        paces[0] = WriteFor(category, 0, 0.3);
        bool ok = chmod(logs.c_str(), 0555) == 0;
        paces[1] = WriteFor(category, paces[0].lines, 0.3);
        ok = chmod(logs.c_str(), 0755) == 0 && ok;
        usleep(1100 * 1000);  // past the wait after the last failed try
        WriteLines(category, 0, paces[0].lines + paces[1].lines, paces[0].lines + paces[1].lines);
        if (!ok || write(report[1], paces, sizeof paces) != sizeof paces) _exit(3);
      },
      RunAs::kWorkerUser);
  ASSERT_GE(worker, 0);
  close(report[1]);
  Pace paces[2];
  ASSERT_EQ(read(report[0], paces, sizeof paces), static_cast<ssize_t>(sizeof paces));
  close(report[0]);
  ASSERT_TRUE(EndsWell(worker));

  const Pace &before = paces[0], &during = paces[1];
  RecordProperty("lines_a_second_before", static_cast<int>(before.PerSecond()));
  RecordProperty("lines_a_second_during", static_cast<int>(during.PerSecond()));
  EXPECT_GE(during.PerSecond(), 0.5 * before.PerSecond())
      << "lines a second: " << before.PerSecond() << " before the fault, " << during.PerSecond()
      << " during it";
  size_t tries = Count(ReadTextFile(errors), "rename[");
  EXPECT_GE(tries, 1u);
  EXPECT_LE(tries, static_cast<size_t>(during.wall_seconds) + 2) << "rename tries in "
                                                                 << during.wall_seconds << " s";
  // The lines of the fault are in the file that was live during it, now the newest archive.
  std::vector<int> archived = Numbers(dir.Log("r.log.0"));
  const int first = before.lines, last = before.lines + during.lines - 1;
  ASSERT_FALSE(archived.empty());
  std::vector<int> fault(std::lower_bound(archived.begin(), archived.end(), first),
                         archived.end());
  EXPECT_EQ(fault, Range(first, last));
  EXPECT_EQ(Numbers(dir.Log("r.log")), Range(last + 1, last + 1)) << "rotated after the fault";
}

// A process that can take no lock between processes (a rotate lock file that cannot be
// opened, a log folder it cannot read) still rotates, and says so once in the log itself.
TEST(ZlogRotate, NoLockBetweenProcessesIsSaidOnceInTheLog) {
  ServiceDir dir;
  dir.WriteConf("[global]\nrotate lock file = @DIR@/zlog.conf/lock\n[formats]\nm = \"%m%n\"\n"
                "[rules]\n*.* \"@LOGS@/live/n.log\", 1k ~ \"@LOGS@/old/n.log.#r\"; m\n");
  const std::string live = dir.Log("live");
  pid_t worker = StartProcess(
      dir.conf(),
      [&] {
        if (chmod(live.c_str(), 0333) != 0) _exit(3);  // the folder cannot be opened now
        WriteLines(zlog_get_category("c"), 0, 1, 40);
        if (chmod(live.c_str(), 0755) != 0) _exit(3);
      },
      RunAs::kWorkerUser);
  ASSERT_GE(worker, 0);
  ASSERT_TRUE(EndsWell(worker));
  std::string all = ReadTextFile(dir.Log("live/n.log"));
  for (int i = 0; FileExists(dir.Log("old/n.log." + std::to_string(i))); ++i) {
    all += ReadTextFile(dir.Log("old/n.log." + std::to_string(i)));
  }
  EXPECT_TRUE(FileExists(dir.Log("old/n.log.2"))) << "rotated three times";
  EXPECT_EQ(Count(all, "rotate lock file[" + dir.File("zlog.conf/lock") + "]"), 1u) << all;
}

// A CLI job run by root beside unprivileged workers on one configuration, rotating the same
// file: its rotations give the new live file the workers' owner, so they go on writing the
// live file. No line is lost, and no archive is written on past the size.
TEST(ZlogRotate, RootJobBesideUnprivilegedWorkersLeavesThemTheLiveFile) {
  constexpr int kWorkers = 3;
  constexpr int kLines = 20000;  // 2 MB a writer
  constexpr size_t kLimit = 1024 * 1024;
  struct Case {
    const char *name;
    const char *rule;  // "@LOGS@/<log>" with the rotation
    const char *log;
  };
  const Case cases[] = {
      {"static file", "\"@LOGS@/p.log\", 1MB * 0 ~ \"@LOGS@/p.log.#r\"", "p.log"},
      {"dynamic file", "\"@LOGS@/%c.log\", 1MB * 0", "c.log"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    ServiceDir dir;
    dir.WriteConf(std::string("[formats]\nm = \"%m%n\"\n[rules]\n*.* ") + c.rule + "; m\n");
    const std::string log = dir.Log(c.log);
    ASSERT_TRUE(MakeWorkerFile(log)) << "the pool made the live file";
    std::vector<pid_t> writers;
    for (int w = 0; w <= kWorkers; ++w) {
      // Writer kWorkers is the root job.
      writers.push_back(StartProcess(
          dir.conf(), [w] { WriteLines(zlog_get_category("c"), w, 0, kLines - 1); },
          w == kWorkers ? RunAs::kTestUser : RunAs::kWorkerUser));
      ASSERT_GE(writers.back(), 0);
    }
    for (pid_t writer : writers) EXPECT_TRUE(EndsWell(writer));

    for (int w = 0; w <= kWorkers; ++w) {
      std::vector<int> kept = KeptNumbers(log, w);
      EXPECT_EQ(kept, Range(0, kLines - 1))
          << "writer " << w << ": " << kLines - static_cast<int>(kept.size()) << " of "
          << kLines << " lines lost";
    }
    std::vector<std::string> files = LogAndArchives(log);
    EXPECT_GE(files.size(), 5u);
    for (size_t i = 1; i < files.size(); ++i) {
      EXPECT_LE(ReadTextFile(files[i]).size(), ArchiveBound(kLimit, kWorkers + 1)) << files[i];
    }
    EXPECT_EQ(OwnerOf(log), TheWorkerUser().uid) << "the live file stays the workers'";
  }
}

// The pipes between a test and its worker process: the worker says when it is ready, the test
// when it may go on. Each side closes the other's ends, so that a side that ends unblocks the
// one that waits for it.
class Handshake {
 public:
  Handshake() { EXPECT_TRUE(pipe(ready_) == 0 && pipe(go_) == 0); }
  ~Handshake() {
    for (int fd : {ready_[0], ready_[1], go_[0], go_[1]}) {
      if (fd >= 0) close(fd);
    }
  }
  Handshake(const Handshake &) = delete;
  Handshake &operator=(const Handshake &) = delete;

  // A worker process as the worker user that runs body on category "c", and waits until it is
  // first ready; -1 when it could not start or ended before.
  template <typename Body>
  pid_t StartWorker(const std::string &conf, Body body) {
    pid_t worker = StartProcess(
        conf,
        [&] {
          CloseEnds(ready_[0], go_[1]);
          body(zlog_get_category("c"));
        },
        RunAs::kWorkerUser);
    CloseEnds(ready_[1], go_[0]);
    if (worker >= 0 && !WaitReady()) {
      waitpid(worker, nullptr, 0);
      return -1;
    }
    return worker;
  }
  // The worker: ready, and waits until it may go on; false when the test has ended.
  bool Ready() { return write(ready_[1], "r", 1) == 1 && ReadByte(go_[0]); }
  // The test: waits until the worker is ready; false when it has ended.
  bool WaitReady() { return ReadByte(ready_[0]); }
  void Go() { EXPECT_EQ(write(go_[1], "g", 1), 1); }

 private:
  void CloseEnds(int &a, int &b) {
    close(a);
    close(b);
    a = b = -1;
  }
  static bool ReadByte(int fd) {
    char byte;
    return read(fd, &byte, 1) == 1;
  }
  int ready_[2] = {-1, -1}, go_[2] = {-1, -1};
};

// A worker whose file was rotated or renamed away by a process that could not give it the new
// live file (a job of a third user, say): it says so once in the log and on the diagnostic
// channel, and writes the live file again once it may (tried about once a second). Meanwhile
// a rotated file's lines past the size are dropped rather than written on into the archive it
// still holds; a file without rotation has no size to keep, and writes on to the file it had.
TEST(ZlogRotate, WriterThatCannotReopenSaysSoOnceAndTriesAgain) {
  constexpr size_t kLimit = 10240;
  struct Case {
    const char *name;
    const char *rule;
    const char *notice;  // after "zlog: [<log>] "
    bool drops;
  };
  const Case cases[] = {
      {"rotated file", "\"@LOGS@/s.log\", 10kb * 0", "was rotated and cannot be opened", true},
      {"file without rotation", "\"@LOGS@/s.log\"",
       "names another file or none and cannot be opened", false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    ServiceDir dir;
    dir.WriteConf(std::string("[formats]\nm = \"%m%n\"\n[rules]\n*.* ") + c.rule + "; m\n");
    const std::string log = dir.Log("s.log"), archive = dir.Log("s.log.0");
    const std::string errors = dir.Log("error.log");
    ASSERT_TRUE(MakeWorkerFile(errors));
    ScopedEnv error_log("ZLOG_PROFILE_ERROR", errors);
    Handshake handshake;
    pid_t worker = handshake.StartWorker(dir.conf(), [&](zlog_category_t *category) {
      WriteLines(category, 0, 0, 49);
      if (!handshake.Ready()) _exit(3);
      for (int i = 50; i < 550; ++i) {
        WriteLines(category, 0, i, i);
        usleep(200);
      }
      if (!handshake.Ready()) _exit(3);
      usleep(1100 * 1000);  // past the wait after the last failed try
      WriteLines(category, 0, 550, 559);
    });
    ASSERT_GE(worker, 0);
    // The other user's rotation: a live file that the worker cannot open.
    ASSERT_EQ(rename(log.c_str(), archive.c_str()), 0);
    WriteTextFile(log, "");
    ASSERT_EQ(chmod(log.c_str(), 0), 0);
    handshake.Go();
    ASSERT_TRUE(handshake.WaitReady());

    const std::string notice = "zlog: [" + log + "] " + c.notice + ", errno[13]";
    std::string held = ReadTextFile(archive);
    EXPECT_EQ(Count(held, notice), 1u) << "said once in the log";
    std::string lines;
    for (const std::string &line : SplitLines(held)) {
      if (line.find(notice) == std::string::npos) lines += line + "\n";
    }
    std::vector<int> numbers = NumbersIn(lines, archive);
    ASSERT_FALSE(numbers.empty());
    if (c.drops) {
      EXPECT_LE(held.size(), kLimit + 300) << "the size, and the notice";
      EXPECT_GE(numbers.back(), 49);
      EXPECT_EQ(numbers, Range(0, numbers.back())) << "the archive's lines, up to its size";
    } else {
      EXPECT_EQ(numbers, Range(0, 549)) << "every line, in the file it had";
    }
    EXPECT_EQ(Count(ReadTextFile(errors), "open file[" + log + "] fail"), 1u)
        << "said once on the diagnostic channel";

    ASSERT_EQ(chmod(log.c_str(), 0600), 0);
    ASSERT_EQ(chown(log.c_str(), TheWorkerUser().uid, TheWorkerUser().gid), 0);
    handshake.Go();
    ASSERT_TRUE(EndsWell(worker));
    EXPECT_EQ(Numbers(log), Range(550, 559)) << "the live file once it may be opened";
  }
}

// A worker whose own rotation failed (its folder took no rename) waits about a second before
// it tries again, but follows another process's rotation meanwhile: after the rename it writes
// into the archive at most its 1/32 of the size and a line, as any other writer does.
TEST(ZlogRotate, WriterWhoseRotationFailedFollowsAnotherProcesssRotation) {
  constexpr size_t kLimit = 10240;
  constexpr int kBefore = 150, kAfter = 100;  // lines before and after the other's rotation
  ServiceDir dir;
  dir.WriteConf("[formats]\nm = \"%m%n\"\n[rules]\n*.* \"@LOGS@/p.log\", 10kb * 0; m\n");
  const std::string logs = dir.Log(""), log = dir.Log("p.log"), archive = dir.Log("p.log.0");
  const std::string errors = dir.Log("error.log");
  ASSERT_TRUE(MakeWorkerFile(errors));  // before the folder takes no new file
  ScopedEnv error_log("ZLOG_PROFILE_ERROR", errors);
  Handshake handshake;
  pid_t worker = handshake.StartWorker(dir.conf(), [&](zlog_category_t *category) {
    if (chmod(logs.c_str(), 0555) != 0) _exit(3);
    WriteLines(category, 0, 0, kBefore - 1);  // past the size: the rotation fails
    if (chmod(logs.c_str(), 0755) != 0 || !handshake.Ready()) _exit(3);
    WriteLines(category, 0, kBefore, kBefore + kAfter - 1);
  });
  ASSERT_GE(worker, 0);
  EXPECT_EQ(Count(ReadTextFile(errors), "rename[" + log + "]"), 1u)
      << "the worker's own rotation failed";
  // The other process's rotation, which gives the new live file the worker's owner.
  ASSERT_EQ(rename(log.c_str(), archive.c_str()), 0);
  ASSERT_TRUE(MakeWorkerFile(log));
  handshake.Go();
  ASSERT_TRUE(EndsWell(worker));

  std::vector<int> archived = Numbers(archive), live = Numbers(log);
  ASSERT_GE(archived.size(), static_cast<size_t>(kBefore));
  EXPECT_LE(archived.size() - kBefore, (kLimit / 32 + kLineSize) / kLineSize)
      << "lines written into the archive after the rename";
  archived.insert(archived.end(), live.begin(), live.end());
  EXPECT_EQ(archived, Range(0, kBefore + kAfter - 1)) << "every line once, in order";
}

}  // namespace
}  // namespace kelu::test

namespace kelu::test {
namespace {

// The working folder for one test, restored afterwards.
class ScopedCwd {
 public:
  explicit ScopedCwd(const std::string &folder) {
    char old[4096];
    if (getcwd(old, sizeof old) != nullptr) old_ = old;
    EXPECT_EQ(chdir(folder.c_str()), 0) << folder;
  }
  ~ScopedCwd() { EXPECT_EQ(chdir(old_.c_str()), 0) << old_; }
  ScopedCwd(const ScopedCwd &) = delete;
  ScopedCwd &operator=(const ScopedCwd &) = delete;

 private:
  std::string old_;
};

// A process started from a relative configuration path, whose default rotate lock file is the
// configuration itself: a rotation after the configuration was removed, or after a change of
// folder, locks the log's folder and creates no configuration file anywhere.
TEST(ZlogRotate, RotationNeverCreatesTheConfiguration) {
  TempDir start, elsewhere;
  const std::string log = start.File("c.log"), conf = start.File("kelulog.conf");
  WriteTextFile(conf, "[formats]\nm = \"%m%n\"\n[rules]\n*.* \"" + log + "\", 1k * 9; m\n");
  ScopedEnv error_log("ZLOG_PROFILE_ERROR", elsewhere.File("error.log"));
  {
    ScopedCwd in_start(start.path());
    ASSERT_EQ(zlog_init("./kelulog.conf"), 0);
    WriteLines(zlog_get_category("c"), 0, 1, 15);
    ASSERT_EQ(unlink(conf.c_str()), 0);
    WriteLines(zlog_get_category("c"), 0, 16, 30);
    EXPECT_FALSE(FileExists(conf)) << "made again by a rotation";
  }
  {
    ScopedCwd moved(elsewhere.path());
    WriteLines(zlog_get_category("c"), 0, 31, 45);
    zlog_fini();
  }
  EXPECT_FALSE(FileExists(elsewhere.File("kelulog.conf"))) << "made in the new folder";
  EXPECT_EQ(KeptNumbers(log, 0), Range(1, 45));
  EXPECT_EQ(Numbers(log + ".3"), Range(1, 11));
  std::string diagnostics = ReadTextFile(elsewhere.File("error.log"));
  EXPECT_EQ(diagnostics.find("cannot be locked"), std::string::npos) << diagnostics;
}

struct UnlistableCase {
  const char *name;
  const char *rotation;  // of "u.log", 30 lines of 100 bytes, limit 1000 bytes
  std::vector<ExpectedFile> files;
  bool reported;  // the rotation fails and says why
};

// A log folder that can be written and searched but not read (mode 0300): a rolling plan
// with a count finds its archives by their names and rotates as always; any other plan does
// not rotate, says so, and the live file keeps every line. No archive is written over.
TEST(ZlogRotate, FolderThatCannotBeListedLosesNoArchive) {
  const std::vector<UnlistableCase> cases = {
      {"rolling with a count", "1k * 5 ~ \"@LOGS@/u.log.#r\"",
       {{"u.log.1", 1, 11}, {"u.log.0", 12, 22}, {"u.log", 23, 30}}, false},
      {"rolling, every archive kept", "1k * 0 ~ \"@LOGS@/u.log.#r\"", {{"u.log", 1, 30}}, true},
      {"sequence", "1k * 3 ~ \"@LOGS@/u.log.#s\"", {{"u.log", 1, 30}}, true},
  };
  for (const UnlistableCase &c : cases) {
    SCOPED_TRACE(c.name);
    ServiceDir dir;
    dir.WriteConf(std::string("[formats]\nm = \"%m%n\"\n[rules]\n*.* \"@LOGS@/u.log\", ") +
                  c.rotation + "; m\n");
    const std::string logs = dir.Log(""), errors = dir.File("error.log");
    close(open(errors.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
    chmod(errors.c_str(), 0666);
    ScopedEnv error_log("ZLOG_PROFILE_ERROR", errors);
    pid_t worker = StartProcess(
        dir.conf(),
        [&] {
          if (chmod(logs.c_str(), 0300) != 0) _exit(3);
          WriteLines(zlog_get_category("c"), 0, 1, 30);
          if (chmod(logs.c_str(), 0755) != 0) _exit(3);
        },
        RunAs::kWorkerUser);
    ASSERT_GE(worker, 0);
    ASSERT_TRUE(EndsWell(worker));
    for (const ExpectedFile &file : c.files) {
      EXPECT_EQ(Numbers(dir.Log(file.name)), Range(file.first, file.last)) << file.name;
    }
    EXPECT_EQ(KeptNumbers(dir.Log("u.log"), 0), Range(1, 30));
    std::string diagnostics = ReadTextFile(errors);
    EXPECT_EQ(diagnostics.find("cannot be listed") != std::string::npos, c.reported)
        << diagnostics;
  }
}

}  // namespace
}  // namespace kelu::test

// A file without size rotation follows its path, as a rotated one does: another tool's
// rotations (logrotate's "create" and "copytruncate") and a removal.
namespace kelu::test {
namespace {

// What another tool or a person does to the log at its path; aside names the file it is
// renamed to.
struct PathChange {
  const char *name;
  void (*change)(const std::string &log, const std::string &aside);
  int first_at_path;  // of lines 0-19, those from here on are in the file at the path after
  bool aside_kept;    // and those before in aside
};

// The worker writes lines 0-9, the path is changed, it writes line 10 10 ms later (past a look
// period) and lines 11-19 1.1 s after that. A removed file is made anew at once, a renamed one
// a second later (another tool may be about to make it), and a file put in its place is taken.
TEST(ZlogFollow, PlainFileFollowsItsPath) {
  const PathChange cases[] = {
      {"removed", [](const std::string &log, const std::string &) { unlink(log.c_str()); }, 10,
       false},
      {"renamed away",
       [](const std::string &log, const std::string &aside) {
         rename(log.c_str(), aside.c_str());
       },
       11, true},
      {"replaced by another file",
       [](const std::string &log, const std::string &aside) {
         rename(log.c_str(), aside.c_str());
         MakeWorkerFile(log + ".new");
         rename((log + ".new").c_str(), log.c_str());
       },
       10, true},
  };
  for (const PathChange &c : cases) {
    SCOPED_TRACE(c.name);
    ServiceDir dir;
    dir.WriteConf("[formats]\nm = \"%m%n\"\n[rules]\n*.* \"@LOGS@/a.log\"; m\n");
    const std::string log = dir.Log("a.log"), aside = dir.Log("a.log.1");
    const std::string logs = dir.Log("");
    Handshake handshake;
    pid_t worker = handshake.StartWorker(dir.conf(), [&](zlog_category_t *category) {
      WriteLines(category, 0, 0, 9);
      if (!handshake.Ready()) _exit(3);
      usleep(10 * 1000);
      WriteLines(category, 0, 10, 10);
      usleep(1100 * 1000);
      WriteLines(category, 0, 11, 19);
      if (!UnsoundLogDescriptors(logs).empty()) _exit(4);
    });
    ASSERT_GE(worker, 0);
    c.change(log, aside);
    handshake.Go();
    EXPECT_TRUE(EndsWell(worker)) << "exit 4: a descriptor on a removed file, or one that an "
                                     "exec would pass on";
    EXPECT_EQ(Numbers(log), Range(c.first_at_path, 19));
    EXPECT_EQ(OwnerOf(log), TheWorkerUser().uid);
    if (c.aside_kept) {
      EXPECT_EQ(Numbers(aside), Range(0, c.first_at_path - 1));
    }
  }
}

// A file renamed away whose new file another tool makes late (logrotate's create on a loaded
// machine, after the process found the path empty): the process takes that file at its next
// look, not only once it would make the file itself.
TEST(ZlogFollow, RenamedFileTakesTheFileAnotherToolMakesLate) {
  ServiceDir dir;
  dir.WriteConf("[formats]\nm = \"%m%n\"\n[rules]\n*.* \"@LOGS@/a.log\"; m\n");
  const std::string log = dir.Log("a.log"), aside = dir.Log("a.log.1");
  Handshake handshake;
  pid_t worker = handshake.StartWorker(dir.conf(), [&](zlog_category_t *category) {
    WriteLines(category, 0, 0, 9);
    if (!handshake.Ready()) _exit(3);
    usleep(10 * 1000);  // past a look period: the path is found empty
    WriteLines(category, 0, 10, 10);
    if (!handshake.Ready()) _exit(3);
    usleep(10 * 1000);
    WriteLines(category, 0, 11, 19);
  });
  ASSERT_GE(worker, 0);
  ASSERT_EQ(rename(log.c_str(), aside.c_str()), 0);
  handshake.Go();
  ASSERT_TRUE(handshake.WaitReady());
  ASSERT_TRUE(MakeWorkerFile(log));
  handshake.Go();
  EXPECT_TRUE(EndsWell(worker));
  EXPECT_EQ(Numbers(aside), Range(0, 10));
  EXPECT_EQ(Numbers(log), Range(11, 19));
}

// A log and its archives as logrotate leaves them ("<path>.1", "<path>.2.gz", ...): each
// file's path and text. Any other file in the log's folder is named in *others.
std::vector<std::pair<std::string, std::string>> LogrotatedFiles(
    const std::string &folder, const std::string &name, std::vector<std::string> *others) {
  std::vector<std::pair<std::string, std::string>> files = {
      {folder + "/" + name, ReadTextFile(folder + "/" + name)}};
  for (int i = 1;; ++i) {
    std::string archive = folder + "/" + name + "." + std::to_string(i);
    if (FileExists(archive)) {
      files.emplace_back(archive, ReadTextFile(archive));
    } else if (FileExists(archive + ".gz")) {
      files.emplace_back(archive + ".gz",
                         RunCommand("gzip -dc " + ShellQuote(archive + ".gz"), false).output);
    } else {
      break;
    }
  }
  DIR *dir = opendir(folder.c_str());
  while (struct dirent *entry = dir != nullptr ? readdir(dir) : nullptr) {
    std::string file = entry->d_name;
    bool listed = file == "." || file == "..";
    for (const auto &kept : files) listed = listed || kept.first == folder + "/" + file;
    if (!listed) others->push_back(file);
  }
  if (dir != nullptr) closedir(dir);
  return files;
}

// The stanza with its "create ..." line replaced by copytruncate.
std::string WithCopytruncate(std::string stanza) {
  size_t at = stanza.find("create ");
  if (at != std::string::npos) stanza.replace(at, stanza.find('\n', at) - at, "copytruncate");
  return stanza;
}

// Waits, up to 10 s, until the file at path holds something.
bool WaitForContent(const std::string &path) {
  struct stat st;
  for (int ms = 0; ms < 10000; ++ms) {
    if (stat(path.c_str(), &st) == 0 && st.st_size > 0) return true;
    usleep(1000);
  }
  return false;
}

struct LogrotateCase {
  const char *name;
  std::string (*stanza)(std::string);
  bool loses_copy_windows;  // copytruncate: lines written between its copy and truncation
};

// Workers as nobody write a file without size rotation while the real logrotate rotates it
// several times with the README's stanza (su and create with the pool's user). With "create"
// no line is lost: each worker follows the new file. With "copytruncate" a worker loses at most
// one run of lines to each copy window and none after the last one. logrotate reports nothing:
// no worker made the file between its rename and its create.
TEST(ZlogFollow, LogrotateRotatesAPlainFileBesideWorkers) {
  if (geteuid() != 0) GTEST_SKIP() << "logrotate's su needs root";
  constexpr int kWorkers = 4, kRuns = 4;
  const char *logrotate = FileExists("/usr/sbin/logrotate") ? "/usr/sbin/logrotate" : "logrotate";
  const LogrotateCase cases[] = {
      {"create", [](std::string stanza) { return stanza; }, false},
      {"copytruncate", WithCopytruncate, true},
  };
  for (const LogrotateCase &c : cases) {
    SCOPED_TRACE(c.name);
    ServiceDir dir;
    dir.WriteConf("[global]\nfile perms = 640\n[formats]\nm = \"%m%n\"\n[rules]\n"
                  "*.* \"@LOGS@/kelu.log\"; m\n");
    const std::string stanza =
        c.stanza(ReadmeLogrotateStanza("/var/log/kelu/kelu.log", dir.Log("kelu.log")));
    ASSERT_NE(stanza, "") << "no logrotate stanza for /var/log/kelu/kelu.log in the README";
    const std::string conf = dir.File("logrotate.conf");
    WriteTextFile(conf, stanza);
    const std::string command = std::string(logrotate) + " -s " +
                                ShellQuote(dir.File("logrotate.state")) + " -f " +
                                ShellQuote(conf);

    struct Shared {
      std::atomic<bool> stop;
      std::atomic<int> written[kWorkers];
    };
    void *memory = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(memory, MAP_FAILED);
    Shared *shared = new (memory) Shared{};
    std::vector<pid_t> workers;
    for (int w = 0; w < kWorkers; ++w) {
      workers.push_back(StartProcess(
          dir.conf(),
          [shared, w] {
            zlog_category_t *category = zlog_get_category("c");
            for (int n = 0; !shared->stop.load(); ++n) {
              WriteLines(category, w, n, n);
              shared->written[w].store(n + 1);
              if (n % 10 == 9) usleep(100);
            }
          },
          RunAs::kWorkerUser));
      EXPECT_GE(workers.back(), 0);  // the others are stopped below all the same
    }
    for (int run = 0; run < kRuns; ++run) {
      usleep(50 * 1000);
      EXPECT_TRUE(WaitForContent(dir.Log("kelu.log"))) << "the workers write the new file";
      CommandResult result = RunCommand(command);
      EXPECT_EQ(result.exit_code, 0) << result.output;
      EXPECT_EQ(result.output, "") << "run " << run;
    }
    usleep(50 * 1000);
    shared->stop.store(true);
    for (pid_t worker : workers) EXPECT_TRUE(worker > 0 && EndsWell(worker));

    std::vector<std::string> others;
    auto files = LogrotatedFiles(dir.Log(""), "kelu.log", &others);
    EXPECT_EQ(files.size(), kRuns + 1u) << "every run rotated, and every archive is kept";
    EXPECT_EQ(others, std::vector<std::string>()) << "files left beside the log";
    for (auto &[path, text] : files) {
      // copytruncate's copy may end inside a line that is being written, whose rest it
      // truncates: the copy window's loss.
      if (c.loses_copy_windows && path != files.front().first && !text.empty() &&
          text.back() != '\n') {
        text.resize(text.rfind('\n') + 1);
      }
    }
    for (int w = 0; w < kWorkers; ++w) {
      std::vector<int> kept;
      for (const auto &[path, text] : files) {
        std::vector<int> part = NumbersIn(text, path, w);
        kept.insert(kept.end(), part.begin(), part.end());
      }
      std::sort(kept.begin(), kept.end());
      const int written = shared->written[w].load();
      if (kept.empty()) {
        ADD_FAILURE() << "worker " << w << ": no line";
        continue;
      }
      EXPECT_EQ(std::adjacent_find(kept.begin(), kept.end()), kept.end()) << "a line twice";
      EXPECT_EQ(kept.back(), written - 1) << "worker " << w << ": the last line";
      if (!c.loses_copy_windows) {
        EXPECT_EQ(kept, Range(0, written - 1))
            << "worker " << w << ": " << written - static_cast<int>(kept.size()) << " of "
            << written << " lines lost";
        continue;
      }
      int gaps = kept.front() == 0 ? 0 : 1;
      for (size_t i = 1; i < kept.size(); ++i) gaps += kept[i] != kept[i - 1] + 1;
      EXPECT_LE(gaps, kRuns) << "worker " << w << ": lines lost outside the copy windows";
    }
    munmap(memory, sizeof(Shared));
  }
}

}  // namespace
}  // namespace kelu::test

// Size rotation: archive names (#r, #s, widths, dates, folders), archive counts, dynamic and
// synchronous files, the lazily opened lock file, several threads and two processes at once.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <map>
#include <regex>
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

// The numbers of writer 0's lines in a file, checking that every line is whole.
std::vector<int> Numbers(const std::string &path, int writer = 0) {
  std::vector<int> numbers;
  static const std::regex kLine(R"((\d+) (\d+) x+)");
  for (const std::string &line : SplitLines(ReadTextFile(path))) {
    std::smatch match;
    if (!std::regex_match(line, match, kLine) || line.size() != kLineSize - 1) {
      ADD_FAILURE() << path << ": damaged line " << line;
      continue;
    }
    if (std::stoi(match[1]) == writer) numbers.push_back(std::stoi(match[2]));
  }
  return numbers;
}

std::vector<int> Range(int first, int last) {
  std::vector<int> out;
  for (int i = first; i <= last; ++i) out.push_back(i);
  return out;
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
    EXPECT_LE(size, 2 * 10240u) << name;
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
  ZlogSession session("[global]\nrotate lock file = @DIR@/zlog.lock\n[formats]\nm = \"%m%n\"\n"
                      "[rules]\n*.* \"@DIR@/p.log\", 20kb * 0 ~ \"@DIR@/p.log.#r\"; m\n",
                      true);
  ASSERT_TRUE(session.started());
  // The child starts its own engine on the same configuration, as a second process would.
  zlog_fini();
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int rc = zlog_init(session.conf_path().c_str());
    if (rc == 0) {
      WriteLines(zlog_get_category("c"), 1, 0, kLines - 1);
      zlog_fini();
    }
    _exit(rc == 0 ? 0 : 1);
  }
  ASSERT_EQ(zlog_init(session.conf_path().c_str()), 0);
  WriteLines(zlog_get_category("c"), 0, 0, kLines - 1);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  // Every line of both processes is in exactly one file, whole and in order.
  for (int writer = 0; writer < 2; ++writer) {
    std::vector<int> all = Numbers(session.File("p.log"), writer);
    for (int i = 0; FileExists(session.File("p.log." + std::to_string(i))); ++i) {
      std::vector<int> part = Numbers(session.File("p.log." + std::to_string(i)), writer);
      all.insert(all.begin(), part.begin(), part.end());
    }
    std::sort(all.begin(), all.end());
    EXPECT_EQ(all, Range(0, kLines - 1)) << "writer " << writer;
  }
  EXPECT_TRUE(FileExists(session.File("p.log.5")));
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

TEST(ZlogRotate, UnopenableLockFileStillRotates) {
  ZlogSession session("[global]\nrotate lock file = @DIR@/zlog.conf/lock\n[formats]\n"
                      "m = \"%m%n\"\n[rules]\n*.* \"@DIR@/u.log\", 1k; m\n");
  ASSERT_TRUE(session.started());
  WriteLines(zlog_get_category("c"), 0, 1, 30);
  EXPECT_EQ(Numbers(session.File("u.log.1")), Range(1, 11));
  EXPECT_EQ(Numbers(session.File("u.log.0")), Range(12, 22));
  EXPECT_EQ(Numbers(session.File("u.log")), Range(23, 30));
  EXPECT_NE(session.Diagnostics().find("rotating under the in-process lock only"),
            std::string::npos);
}

}  // namespace
}  // namespace kelu::test

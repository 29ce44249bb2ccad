// Failed starts on the diagnostic channel: a failure is reported in full once, then while it
// repeats at most once a period with the number of failed starts since; another reason at
// once; a start that succeeds after failures works as before. 3,000 failed starts of a
// worker add a report or two, whatever makes them fail.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "ZlogTestSupport.h"
#include "kelu_zlog.h"
#include "zlog/zlog.h"
#include "zlog/zlog_start_report.h"

namespace kelu::test {
namespace {

using kelu::zl::kStartReportPeriodNs;

// A rotation size with a blank before its unit, which the engine refuses.
constexpr char kRefusedConf[] = "[rules]\n*.* \"@LOGS@/kelu.log\", 10 MB * 5\n";
constexpr char kRefusedCause[] = "bad rotation size [10 MB]";
constexpr char kOtherRefusedConf[] = "[global]\nbogus key = 1\n[rules]\n*.* >stdout\n";
constexpr char kOtherRefusedCause[] = "unknown [global] parameter [bogus key]";

// Every line a report can add besides the failure's own: the count of failures since.
constexpr size_t kCountLineAtMost = 128;

int64_t MonotonicNs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

off_t SizeOf(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_size : 0;
}

size_t Count(const std::string &text, const std::string &part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

bool EndsWith(const std::string &text, const std::string &end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// A diagnostic line after its time stamp ("12-31 23:59:59 ").
std::string WithoutStamp(const std::string &line) { return line.substr(line.size() < 15 ? 0 : 15); }

std::string CountLine(int failures) {
  return std::to_string(failures) + " starts failed since the last report\n";
}

int FacadeStart(const char *conf) { return kelu_log_init_ex(conf); }
int EngineStart(const char *conf) { return zlog_init(conf); }
int DefaultCategoryStart(const char *conf) { return dzlog_init(conf, "c"); }
int FacadeMemoryLogStart(const char *) { return kelu_log_init_memory_log(3, ""); }
int EngineMemoryLogStart(const char *) { return zlog_init_memory_log("INFO", "/tmp/a,b"); }

struct FailingStart {
  const char *name;
  const char *conf;  // the service's configuration; null: none
  bool locked_log;   // the log file is one the worker cannot open (root's, mode 0600)
  int (*start)(const char *conf);
  int result;
  const char *cause;  // what the diagnostics name
};

void PrintTo(const FailingStart &c, std::ostream *os) { *os << c.name; }

const FailingStart kFailingStarts[] = {
    {"LogFileOfRoot", "[rules]\n*.* \"@LOGS@/kelu.log\"\n", true, FacadeStart, KELU_LOG_ERR_INIT,
     "kelu.log] fail, errno[13]"},
    {"RefusedConfiguration", kRefusedConf, false, FacadeStart, KELU_LOG_ERR_INIT, kRefusedCause},
    {"MissingConfiguration", nullptr, false, FacadeStart, KELU_LOG_ERR_NO_CONFIG,
     "------config file doesn't exist------"},
    {"EngineStart", kRefusedConf, false, EngineStart, -1, kRefusedCause},
    {"DefaultCategoryStart", kRefusedConf, false, DefaultCategoryStart, -1, kRefusedCause},
    {"FacadeMemoryLogStart", nullptr, false, FacadeMemoryLogStart, KELU_LOG_ERR_INIT,
     "------psz_log_path is empty------"},
    {"EngineMemoryLogStart", nullptr, false, EngineMemoryLogStart, -1,
     "logpath[/tmp/a,b] holds ','"},
};

// What a worker saw of its failed starts.
struct WorkerFigures {
  off_t after_first = 0;  // the diagnostic file after the first start
  off_t after_all = 0;
  int64_t elapsed_ns = 0;  // from the first start to the last
  int wrong_results = 0;
};

class ManyFailedStarts : public ::testing::TestWithParam<FailingStart> {};

TEST_P(ManyFailedStarts, AddAReportAPeriodThatNamesTheCause) {
  constexpr int kStarts = 3000;
  const FailingStart &c = GetParam();
  ServiceDir dir;
  if (c.conf != nullptr) dir.WriteConf(c.conf);
  if (c.locked_log) {
    WriteTextFile(dir.Log("kelu.log"), "");
    ASSERT_EQ(chmod(dir.Log("kelu.log").c_str(), geteuid() == 0 ? 0600 : 0), 0);
  }
  std::string errors = dir.Log("error.log");
  ScopedEnv error_log("ZLOG_PROFILE_ERROR", errors);
  ScopedEnv no_fallback("KELU_LOG_CONF_PATH", std::nullopt);
  int figures_pipe[2];
  ASSERT_EQ(pipe(figures_pipe), 0);
  pid_t worker = fork();
  if (worker == 0) {
    if (!BecomeWorkerUser()) _exit(100);
    WorkerFigures figures;
    int64_t began = MonotonicNs();
    for (int i = 0; i < kStarts; ++i) {
      if (c.start(dir.conf().c_str()) != c.result) ++figures.wrong_results;
      if (i == 0) figures.after_first = SizeOf(errors);
    }
    figures.elapsed_ns = MonotonicNs() - began;
    figures.after_all = SizeOf(errors);
    _exit(write(figures_pipe[1], &figures, sizeof figures) == sizeof figures ? 0 : 101);
  }
  ASSERT_GE(worker, 0);
  close(figures_pipe[1]);
  WorkerFigures figures;
  ssize_t got = read(figures_pipe[0], &figures, sizeof figures);
  close(figures_pipe[0]);
  ASSERT_TRUE(EndsWell(worker));
  ASSERT_EQ(got, static_cast<ssize_t>(sizeof figures));

  EXPECT_EQ(figures.wrong_results, 0);
  std::string diagnostics = ReadTextFile(errors);
  EXPECT_NE(diagnostics.find(c.cause), std::string::npos) << diagnostics;
  // A report at the first start, then at most one a period, each as long as the first and a
  // count line.
  ASSERT_GT(figures.after_first, 0);
  int64_t reports = 2 + figures.elapsed_ns / kStartReportPeriodNs;
  EXPECT_LE(figures.after_all,
            reports * (figures.after_first + static_cast<off_t>(kCountLineAtMost)))
      << kStarts << " starts in " << figures.elapsed_ns / 1'000'000 << " ms; the first added "
      << figures.after_first << " bytes";
}

INSTANTIATE_TEST_SUITE_P(StartReport, ManyFailedStarts, ::testing::ValuesIn(kFailingStarts),
                         [](const ::testing::TestParamInfo<FailingStart> &info) {
                           return std::string(info.param.name);
                         });

// The reports' clock, moved by the tests.
std::atomic<int64_t> fake_now{0};
int64_t FakeNow() { return fake_now.load(); }

// Facade starts in a service folder on the test's clock; diagnostics to "logs/error.log".
class StartReport : public ::testing::Test {
 protected:
  StartReport()
      : error_log_("ZLOG_PROFILE_ERROR", dir_.Log("error.log")),
        no_fallback_("KELU_LOG_CONF_PATH", std::nullopt),
        old_clock_(kelu::zl::SetStartReportClock(FakeNow)) {
    fake_now.store(1'000'000'000);
  }
  ~StartReport() override {
    kelu_log_fini();
    kelu::zl::SetStartReportClock(old_clock_);
  }

  // The result of a facade start on conf.
  int StartOn(const char *conf) {
    dir_.WriteConf(conf);
    return kelu_log_init_ex(dir_.conf().c_str());
  }
  // The diagnostics written since the last call.
  std::string Added() {
    std::string all = ReadTextFile(dir_.Log("error.log"));
    std::string added = all.substr(seen_);
    seen_ = all.size();
    return added;
  }

  ServiceDir dir_;
  ScopedEnv error_log_;
  ScopedEnv no_fallback_;
  kelu::zl::StartReportClock old_clock_;
  size_t seen_ = 0;
};

TEST_F(StartReport, SameFailureAgainAfterThePeriodWithTheCount) {
  ASSERT_EQ(StartOn(kRefusedConf), KELU_LOG_ERR_INIT);
  std::string first = Added();
  EXPECT_EQ(Count(first, kRefusedCause), 1u) << first;
  // The facade's line and the engine's make one report of one failure.
  EXPECT_EQ(Count(first, "------init failed------"), 1u) << first;
  EXPECT_EQ(Count(first, "------zlog_init fail end------"), 1u) << first;

  for (int i = 0; i < 99; ++i) ASSERT_EQ(StartOn(kRefusedConf), KELU_LOG_ERR_INIT);
  fake_now += kStartReportPeriodNs - 1;
  ASSERT_EQ(StartOn(kRefusedConf), KELU_LOG_ERR_INIT);
  EXPECT_EQ(Added(), "") << "within the period";

  fake_now += 1;
  ASSERT_EQ(StartOn(kRefusedConf), KELU_LOG_ERR_INIT);
  std::vector<std::string> again = SplitLines(Added());
  std::vector<std::string> first_lines = SplitLines(first);
  ASSERT_EQ(again.size(), first_lines.size() + 1);
  for (size_t i = 0; i < first_lines.size(); ++i) {
    EXPECT_EQ(WithoutStamp(again[i]), WithoutStamp(first_lines[i])) << "the report whole";
  }
  EXPECT_TRUE(EndsWith(again.back() + "\n", CountLine(101))) << again.back();

  ASSERT_EQ(StartOn(kRefusedConf), KELU_LOG_ERR_INIT);
  EXPECT_EQ(Added(), "") << "a new period";
}

// Another reason is reported at once; reasons that alternate each keep their own period, so
// a return to the first within its period is counted, not reported again.
TEST_F(StartReport, AnotherReasonAtOnceAlternatingReasonsEachOnceAPeriod) {
  ASSERT_EQ(StartOn(kRefusedConf), KELU_LOG_ERR_INIT);
  EXPECT_EQ(Count(Added(), kRefusedCause), 1u);
  ASSERT_EQ(StartOn(kRefusedConf), KELU_LOG_ERR_INIT);
  EXPECT_EQ(Added(), "");

  ASSERT_EQ(StartOn(kOtherRefusedConf), KELU_LOG_ERR_INIT);
  std::string other = Added();
  EXPECT_EQ(Count(other, kOtherRefusedCause), 1u) << other;
  EXPECT_EQ(Count(other, kRefusedCause), 0u) << other;
  EXPECT_EQ(Count(other, "since the last report"), 0u) << other;

  for (int i = 0; i < 100; ++i) {
    ASSERT_EQ(StartOn(kRefusedConf), KELU_LOG_ERR_INIT);
    ASSERT_EQ(StartOn(kOtherRefusedConf), KELU_LOG_ERR_INIT);
  }
  EXPECT_EQ(Added(), "") << "both reasons were reported within their period";

  fake_now += kStartReportPeriodNs;
  ASSERT_EQ(StartOn(kRefusedConf), KELU_LOG_ERR_INIT);
  std::string back = Added();
  EXPECT_EQ(Count(back, kRefusedCause), 1u) << back;
  EXPECT_TRUE(EndsWith(back, CountLine(102))) << back;
  ASSERT_EQ(StartOn(kOtherRefusedConf), KELU_LOG_ERR_INIT);
  std::string other_back = Added();
  EXPECT_EQ(Count(other_back, kOtherRefusedCause), 1u) << other_back;
  EXPECT_TRUE(EndsWith(other_back, CountLine(101))) << other_back;
}

TEST_F(StartReport, SuccessAfterFailuresStartsAsBefore) {
  for (int i = 0; i < 10; ++i) ASSERT_EQ(StartOn(kRefusedConf), KELU_LOG_ERR_INIT);
  EXPECT_EQ(Count(Added(), kRefusedCause), 1u);

  ASSERT_EQ(StartOn("[formats]\nm = \"%m%n\"\n[rules]\n*.* \"@LOGS@/kelu.log\"; m\n"), 0);
  EXPECT_EQ(TRACE(KELU_TRACE_WARN, "logged"), 0);
  EXPECT_EQ(ReadTextFile(dir_.Log("kelu.log")), "logged\n");
  std::string added = Added();
  EXPECT_EQ(SplitLines(added).size(), 1u) << added;
  EXPECT_TRUE(EndsWith(added, CountLine(9))) << "the failures not yet reported: " << added;
  kelu_log_fini();

  // The failure after a success is a new one.
  ASSERT_EQ(StartOn(kRefusedConf), KELU_LOG_ERR_INIT);
  EXPECT_EQ(Count(Added(), kRefusedCause), 1u);
}

TEST_F(StartReport, ChildOfForkReportsItsOwnFirstFailure) {
  ASSERT_EQ(StartOn(kRefusedConf), KELU_LOG_ERR_INIT);
  EXPECT_EQ(Count(Added(), kRefusedCause), 1u);
  pid_t child = fork();
  if (child == 0) _exit(kelu_log_init_ex(dir_.conf().c_str()) == KELU_LOG_ERR_INIT ? 0 : 1);
  ASSERT_TRUE(EndsWell(child));
  std::string by_child = Added();
  EXPECT_EQ(Count(by_child, kRefusedCause), 1u) << by_child;
  EXPECT_NE(by_child.find("(" + std::to_string(child) + ":"), std::string::npos) << by_child;

  ASSERT_EQ(StartOn(kRefusedConf), KELU_LOG_ERR_INIT);
  EXPECT_EQ(Added(), "") << "the parent's failure repeats within its period";
}

// A worker that keeps failing to start goes on reporting into the file that logrotate's
// create makes: its next report after the period, with the failures since, is in the new
// file, which has the worker's owner and mode.
TEST(StartReportFile, FollowsTheReadmesLogrotateStanza) {
  if (geteuid() != 0) GTEST_SKIP() << "logrotate's su needs root";
  ASSERT_EQ(RunCommand("command -v logrotate").exit_code, 0) << "scripts/setup installs logrotate";
  ServiceDir dir;
  dir.WriteConf(kRefusedConf);
  std::string errors = dir.Log("zlog-error.log");
  std::string stanza = ReadmeLogrotateStanza("/var/log/kelu/zlog-error.log", errors);
  ASSERT_NE(stanza.find("create"), std::string::npos) << "no stanza in the README:\n" << stanza;
  WriteTextFile(dir.File("logrotate.conf"), stanza);
  ScopedEnv error_log("ZLOG_PROFILE_ERROR", errors);
  kelu::zl::StartReportClock old_clock = kelu::zl::SetStartReportClock(FakeNow);
  int failed[2], rotated[2];
  ASSERT_EQ(pipe(failed), 0);
  ASSERT_EQ(pipe(rotated), 0);
  pid_t worker = fork();
  if (worker == 0) {
    char byte = 0;
    auto fails = [&dir] { return kelu_log_init_ex(dir.conf().c_str()) == KELU_LOG_ERR_INIT; };
    bool ok = BecomeWorkerUser() && fails() && fails() && write(failed[1], &byte, 1) == 1 &&
              read(rotated[0], &byte, 1) == 1;
    fake_now += kStartReportPeriodNs;
    _exit(ok && fails() ? 0 : 1);
  }
  kelu::zl::SetStartReportClock(old_clock);
  ASSERT_GE(worker, 0);
  char byte = 0;
  ASSERT_EQ(read(failed[0], &byte, 1), 1);
  CommandResult rotation = RunCommand("logrotate -f -s " + ShellQuote(dir.File("state")) + " " +
                                      ShellQuote(dir.File("logrotate.conf")));
  EXPECT_EQ(rotation.exit_code, 0) << rotation.output << "\n" << stanza;
  ASSERT_EQ(write(rotated[1], &byte, 1), 1);
  ASSERT_TRUE(EndsWell(worker));

  EXPECT_EQ(Count(ReadTextFile(errors + ".1"), kRefusedCause), 1u) << "the first report, rotated";
  std::string after = ReadTextFile(errors);
  EXPECT_EQ(Count(after, kRefusedCause), 1u) << after;
  EXPECT_EQ(Count(after, CountLine(2)), 1u) << after;
  struct stat st;
  ASSERT_EQ(stat(errors.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, TheWorkerUser().uid);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

}  // namespace
}  // namespace kelu::test

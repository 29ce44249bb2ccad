// A child of fork goes on logging: children forked while other threads of their parent rotate
// a file and keep lines in a memory log, and a process beside them afterwards; a child forked
// while another thread reads the local time for a line. A child's memory log starts empty.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "ZlogTestSupport.h"
#include "zlog/zlog.h"

namespace kelu::test {
namespace {

// While slow_local_time is set, localtime_r (replaced below for this test program) holds a lock
// of its own for a while, as the C library's does while a thread reads the zone file.
std::atomic<bool> slow_local_time{false};
std::atomic<bool> inside_local_time{false};
pthread_mutex_t zone_lock = PTHREAD_MUTEX_INITIALIZER;

constexpr int kChildCalls = 300;
constexpr unsigned kChildSeconds = 5;    // a child still logging then is hung
constexpr unsigned kWorkerSeconds = 60;  // and a worker still forking

// A file rotated every ten lines, and a memory log that every ERROR line flushes and that
// rotates too, so that the forking threads' siblings nearly always hold one of the locks.
constexpr char kConf[] =
    "[formats]\nm = \"%m%n\"\n[rules]\n"
    "*.* \"@LOGS@/f.log\", 1k * 3; m\n"
    "*.* >memlog:@LOGS@/mem.log, 4k * 2; m\n";

void LogCalls(int calls) {
  zlog_category_t *category = zlog_get_category("c");
  const std::string text(90, 'x');
  for (int i = 0; i < calls; ++i) {
    if (i % 3 == 0) {
      zlog_error(category, "%s", text.c_str());
    } else {
      zlog_info(category, "%s", text.c_str());
    }
  }
}

// Forks children one after the other, gap apart, each running body(its number) and ending;
// returns the number of children that did not end well (a hung child ends by SIGALRM).
template <class Body>
int ForkChildren(int forks, useconds_t gap, Body body) {
  int failed = 0;
  for (int f = 0; f < forks; ++f) {
    usleep(gap);
    pid_t child = fork();
    if (child == 0) {
      alarm(kChildSeconds);
      body(f);
      _exit(0);
    }
    if (child < 0 || !EndsWell(child)) ++failed;
  }
  return failed;
}

// Exit status of a worker: the number of children that did not end well.
int ForkWhileThreadsLog(int forks) {
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&stop] {
      while (!stop.load()) LogCalls(30);
    });
  }
  int failed = ForkChildren(forks, 2000, [](int) { LogCalls(kChildCalls); });
  stop.store(true);
  for (std::thread &thread : threads) thread.join();
  return failed;
}

// The exit status of a worker of its own that starts its engine on dir's configuration as the
// worker user and runs body, whose result it exits with; -1 when it did not exit (a hung
// worker ends by SIGALRM).
template <class Body>
int WorkerStatus(const ServiceDir &dir, Body body) {
  pid_t worker = fork();
  if (worker == 0) {
    alarm(kWorkerSeconds);
    if (!BecomeWorkerUser() || zlog_init(dir.conf().c_str()) != 0) _exit(100);
    int result = body();
    zlog_fini();
    _exit(result);
  }
  int status = 0;
  if (worker < 0 || waitpid(worker, &status, 0) != worker || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST(ZlogFork, ChildrenForkedWhileThreadsRotateGoOnLogging) {
  constexpr int kForks = 40;
  ServiceDir dir;
  dir.WriteConf(kConf);
  EXPECT_EQ(WorkerStatus(dir, [] { return ForkWhileThreadsLog(kForks); }), 0)
      << "the worker hung (-1), or children hung or failed of " << kForks;

  // A process of its own on the same configuration afterwards is not held up either.
  pid_t beside = StartProcess(
      dir.conf(),
      [] {
        alarm(kChildSeconds);
        LogCalls(2000);
      },
      RunAs::kWorkerUser);
  ASSERT_GE(beside, 0);
  EXPECT_TRUE(EndsWell(beside));
}

TEST(ZlogFork, ChildForkedWhileAThreadReadsTheLocalTimeGoesOnLogging) {
  ServiceDir dir;
  dir.WriteConf("[formats]\nm = \"%d %m%n\"\n[rules]\n*.* \"@LOGS@/t.log\"; m\n");
  int status = WorkerStatus(dir, [] {
    slow_local_time.store(true);
    std::thread reader([] { LogCalls(1); });  // a new thread reads the time for its first line
    while (!inside_local_time.load()) usleep(100);
    pid_t child = fork();
    if (child == 0) {
      alarm(kChildSeconds);  // a hung child ends by SIGALRM
      LogCalls(kChildCalls);
      _exit(0);
    }
    reader.join();
    int child_status = 0;
    bool ended_well = child > 0 && waitpid(child, &child_status, 0) == child &&
                      WIFEXITED(child_status) && WEXITSTATUS(child_status) == 0;
    return ended_well ? 0 : 1;
  });
  ASSERT_NE(status, -1) << "the worker hung";
  EXPECT_EQ(status, 0) << "the child hung or failed";
  EXPECT_EQ(SplitLines(ReadTextFile(dir.Log("t.log"))).size(), 1u + kChildCalls);
}

// Lines of a worker's memory log: 500 + 1500 lines of at most 12 bytes stay within a half, so
// none is rotated out.
constexpr int kParentLines = 500, kThreadLinesAtMost = 1500, kMemoryLogForks = 20;

// A worker that keeps lines in a memory log ("parent N", then "thread N" from a thread of its
// own while it forks, when thread_logs), forks children that each log one ERROR, and then logs
// its own ERROR. Exit status: the number of children that did not end well.
int KeepLinesForkAndFlush(bool thread_logs) {
  zlog_category_t *category = zlog_get_category("c");
  for (int i = 0; i < kParentLines; ++i) zlog_info(category, "parent %d", i);
  std::atomic<bool> stop{false};
  std::thread logger;
  if (thread_logs) {
    logger = std::thread([&stop, category] {
      for (int i = 0; i < kThreadLinesAtMost && !stop.load(); ++i) {
        zlog_info(category, "thread %d", i);
        usleep(20);
      }
    });
  }
  int failed = ForkChildren(kMemoryLogForks, 1000,
                            [category](int f) { zlog_error(category, "child %d error", f); });
  stop.store(true);
  if (logger.joinable()) logger.join();
  zlog_error(category, "parent error");
  return failed;
}

// The file holds each child's ERROR, then the parent's lines once each, then its ERROR.
void ExpectParentLinesOnceAfterTheChildren(bool thread_logs) {
  ServiceDir dir;
  dir.WriteConf("[formats]\nm = \"%m%n\"\n[rules]\n*.* >memlog:@LOGS@/mem.log; m\n");
  ASSERT_EQ(WorkerStatus(dir, [thread_logs] { return KeepLinesForkAndFlush(thread_logs); }), 0)
      << "the worker hung (-1), or children hung or failed";

  std::vector<std::string> lines = SplitLines(ReadTextFile(dir.Log("mem.log")));
  auto from_thread = [](const std::string &line) { return line.rfind("thread ", 0) == 0; };
  size_t thread_lines = static_cast<size_t>(std::count_if(lines.begin(), lines.end(), from_thread));
  std::vector<std::string> want;
  for (int f = 0; f < kMemoryLogForks; ++f) {
    want.push_back("child " + std::to_string(f) + " error");
  }
  for (int i = 0; i < kParentLines; ++i) want.push_back("parent " + std::to_string(i));
  for (size_t i = 0; i < thread_lines; ++i) want.push_back("thread " + std::to_string(i));
  want.push_back("parent error");
  auto differ = std::mismatch(lines.begin(), lines.end(), want.begin(), want.end());
  EXPECT_TRUE(differ.first == lines.end() && differ.second == want.end())
      << lines.size() << " lines, " << want.size() << " wanted; line "
      << (differ.first - lines.begin()) << " is \""
      << (differ.first != lines.end() ? *differ.first : "(none)") << "\", wanted \""
      << (differ.second != want.end() ? *differ.second : "(none)") << "\"";
}

TEST(ZlogFork, ChildrenLeaveTheParentsMemoryLogToTheParent) {
  ExpectParentLinesOnceAfterTheChildren(false);
}

TEST(ZlogFork, ChildrenForkedWhileAThreadKeepsLinesLeaveThemToTheParent) {
  ExpectParentLinesOnceAfterTheChildren(true);
}

}  // namespace
}  // namespace kelu::test

extern "C" struct tm *localtime_r(const time_t *second, struct tm *out) {
  using LocalTime = struct tm *(*)(const time_t *, struct tm *);
  static const auto real = reinterpret_cast<LocalTime>(dlsym(RTLD_NEXT, "localtime_r"));
  if (!kelu::test::slow_local_time.load()) return real(second, out);
  pthread_mutex_lock(&kelu::test::zone_lock);
  kelu::test::inside_local_time.store(true);
  usleep(20000);
  struct tm *result = real(second, out);
  kelu::test::inside_local_time.store(false);
  pthread_mutex_unlock(&kelu::test::zone_lock);
  return result;
}

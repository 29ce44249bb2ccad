// A child of fork goes on logging: children forked while other threads of their parent rotate
// a file and keep lines in a memory log, and a process beside them afterwards.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "ZlogTestSupport.h"
#include "zlog/zlog.h"

namespace kelu::test {
namespace {

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

// Exit status of a worker: the number of children that did not end well.
int ForkWhileThreadsLog(int forks) {
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&stop] {
      while (!stop.load()) LogCalls(30);
    });
  }
  int failed = 0;
  for (int f = 0; f < forks; ++f) {
    usleep(2000);
    pid_t child = fork();
    if (child == 0) {
      alarm(kChildSeconds);  // a hung child ends by SIGALRM
      LogCalls(kChildCalls);
      _exit(0);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
      ++failed;
    }
  }
  stop.store(true);
  for (std::thread &thread : threads) thread.join();
  return failed;
}

TEST(ZlogFork, ChildrenForkedWhileThreadsRotateGoOnLogging) {
  constexpr int kForks = 40;
  ServiceDir dir;
  dir.WriteConf(kConf);
  pid_t worker = fork();
  if (worker == 0) {
    alarm(kWorkerSeconds);
    if (!BecomeWorkerUser() || zlog_init(dir.conf().c_str()) != 0) _exit(100);
    int failed = ForkWhileThreadsLog(kForks);
    zlog_fini();
    _exit(failed);
  }
  ASSERT_GE(worker, 0);
  int status = 0;
  ASSERT_EQ(waitpid(worker, &status, 0), worker);
  ASSERT_TRUE(WIFEXITED(status)) << "the worker hung";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "children hung or failed of " << kForks;

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

}  // namespace
}  // namespace kelu::test

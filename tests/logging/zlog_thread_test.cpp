// Several threads logging at once: whole lines, nothing lost, per-thread buffers and MDC,
// reloads under load, and threads that exit around a re-initialisation.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "ZlogTestSupport.h"
#include "zlog/zlog.h"

namespace kelu::test {
namespace {

constexpr int kThreads = 8;
constexpr int kLinesPerThread = 1000;

// Checks that text is made of whole lines "thread <t> line <n>" and that each thread's lines
// are all there, in order. Returns the number of lines.
size_t CheckThreadLines(const std::string &text, int threads, int lines_per_thread) {
  std::vector<int> next(static_cast<size_t>(threads), 0);
  static const std::regex kLine(R"(thread (\d+) line (\d+) [x]{100})");
  size_t count = 0;
  for (const std::string &line : SplitLines(text)) {
    std::smatch match;
    if (!std::regex_match(line, match, kLine)) {
      ADD_FAILURE() << "damaged line: " << line;
      continue;
    }
    int thread = std::stoi(match[1]);
    int number = std::stoi(match[2]);
    EXPECT_EQ(number, next[static_cast<size_t>(thread)]) << "thread " << thread;
    next[static_cast<size_t>(thread)] = number + 1;
    ++count;
  }
  for (int t = 0; t < threads; ++t) EXPECT_EQ(next[static_cast<size_t>(t)], lines_per_thread);
  return count;
}

void LogLines(zlog_category_t *category, int thread, int lines) {
  zlog_put_mdc("tid", std::to_string(thread).c_str());
  const std::string padding(100, 'x');
  for (int i = 0; i < lines; ++i) {
    zlog_info(category, "thread %d line %d %s", thread, i, padding.c_str());
  }
}

TEST(ZlogThreads, ManyThreadsLogAtOnce) {
  ZlogSession session("[formats]\nm = \"%m%n\"\n[rules]\n"
                      "*.* \"@DIR@/all.log\"; m\n"
                      "*.* \"@DIR@/thread-%M(tid).log\"; m\n");
  ASSERT_TRUE(session.started());
  zlog_category_t *category = zlog_get_category("c");
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back(LogLines, category, t, kLinesPerThread);
  for (std::thread &t : threads) t.join();
  EXPECT_EQ(CheckThreadLines(ReadTextFile(session.File("all.log")), kThreads, kLinesPerThread),
            static_cast<size_t>(kThreads * kLinesPerThread));
  for (int t = 0; t < kThreads; ++t) {
    std::string own = ReadTextFile(session.File("thread-" + std::to_string(t) + ".log"));
    EXPECT_EQ(SplitLines(own).size(), static_cast<size_t>(kLinesPerThread));
    EXPECT_EQ(own.find("thread " + std::to_string((t + 1) % kThreads) + " "), std::string::npos);
  }
}

TEST(ZlogThreads, ReloadsWhileThreadsLog) {
  ZlogSession session("[formats]\nm = \"%m%n\"\n[rules]\n*.* \"@DIR@/all.log\"; m\n");
  ASSERT_TRUE(session.started());
  zlog_category_t *category = zlog_get_category("c");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) threads.emplace_back(LogLines, category, t, kLinesPerThread);
  for (int i = 0; i < 20; ++i) {
    std::string format = i % 2 == 0 ? "%m%n" : "%m%n";  // same lines, a new configuration
    session.Rewrite("[global]\nbuffer min = " + std::to_string(64 + i) + "\n[formats]\nm = \"" +
                    format + "\"\n[rules]\n*.* \"@DIR@/all.log\"; m\n");
    EXPECT_EQ(zlog_reload(nullptr), 0);
    EXPECT_NE(zlog_get_category(("new_" + std::to_string(i)).c_str()), nullptr);
  }
  for (std::thread &t : threads) t.join();
  EXPECT_EQ(CheckThreadLines(ReadTextFile(session.File("all.log")), 4, kLinesPerThread),
            static_cast<size_t>(4 * kLinesPerThread));
}

// "thread buffers:[n]" from zlog_profile.
int ThreadBufferCount(const ZlogSession &session) {
  zlog_profile();
  static const std::regex kCount(R"(thread buffers:\[(\d+)\])");
  std::string diagnostics = session.Diagnostics();
  std::smatch match;
  int count = -1;
  for (auto it = std::sregex_iterator(diagnostics.begin(), diagnostics.end(), kCount);
       it != std::sregex_iterator(); ++it) {
    count = std::stoi((*it)[1]);
  }
  return count;
}

TEST(ZlogThreads, ExitedThreadsGiveBackTheirBuffers) {
  int before;
  {
    ZlogSession session("[formats]\nm = \"%m%n\"\n[rules]\n*.* \"@DIR@/all.log\"; m\n");
    ASSERT_TRUE(session.started());
    LogLines(zlog_get_category("c"), 0, 0);  // this thread has buffers from now on
    before = ThreadBufferCount(session);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back(LogLines, zlog_get_category("c"), t, 10);
    for (std::thread &t : threads) t.join();
    EXPECT_EQ(ThreadBufferCount(session), before);
  }
  // A new start after the finish: new threads, and this thread logging again.
  ZlogSession session("[formats]\nm = \"%m%n\"\n[rules]\n*.* \"@DIR@/again.log\"; m\n");
  ASSERT_TRUE(session.started());
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back(LogLines, zlog_get_category("c"), t, 10);
  for (std::thread &t : threads) t.join();
  EXPECT_EQ(CheckThreadLines(ReadTextFile(session.File("again.log")), kThreads, 10),
            static_cast<size_t>(kThreads * 10));
  EXPECT_EQ(ThreadBufferCount(session), before);
}

}  // namespace
}  // namespace kelu::test

namespace kelu::test {
namespace {

// The thread key's lifecycle, in a process of its own so that no earlier test's buffers count:
// the key goes with the last thread's buffers, comes back with the next logging call, stays
// over a finish while a thread still has buffers, and the exit handler frees the rest.
// Returns the number of failed checks (the child's exit code).
int KeyLifecycleScenario(const std::string &dir) {
  int failures = 0;
  auto check = [&failures](bool ok, const char *what) {
    if (!ok) {
      std::fprintf(stderr, "failed: %s\n", what);
      ++failures;
    }
  };
  auto profile_says = [&dir](const std::string &text) {
    zlog_profile();
    std::string errors = ReadTextFile(dir + "/error.log");
    return errors.rfind(text) != std::string::npos &&
           errors.rfind(text) > errors.rfind("------zlog_profile start------");
  };
  setenv("ZLOG_PROFILE_DEBUG", (dir + "/debug.log").c_str(), 1);
  setenv("ZLOG_PROFILE_ERROR", (dir + "/error.log").c_str(), 1);
  WriteTextFile(dir + "/zlog.conf",
                "[formats]\nm = \"%m%n\"\n[rules]\n*.* \"" + dir + "/all.log\"; m\n");
  check(zlog_init((dir + "/zlog.conf").c_str()) == 0, "zlog_init");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) threads.emplace_back(LogLines, zlog_get_category("c"), t, 5);
  for (std::thread &t : threads) t.join();
  check(profile_says("thread key exist:[0] thread buffers:[0]"), "key deleted with the last buffers");
  check(zlog_get_mdc("k") == nullptr, "zlog_get_mdc without key");
  check(ReadTextFile(dir + "/error.log").find("never call zlog_init() or dzlog_init() before(2)") !=
            std::string::npos,
        "zlog_get_mdc reports the missing key");
  zlog_info(zlog_get_category("c"), "main");
  check(profile_says("thread key exist:[1] thread buffers:[1]"), "key made again, one buffer");
  zlog_fini();
  check(zlog_init((dir + "/zlog.conf").c_str()) == 0, "zlog_init again");
  std::thread late(LogLines, zlog_get_category("c"), 7, 5);
  late.join();
  check(profile_says("thread key exist:[1] thread buffers:[1]"), "the main thread's buffers kept");
  zlog_info(zlog_get_category("c"), "main again");
  check(SplitLines(ReadTextFile(dir + "/all.log")).size() == 27, "every line written");
  return failures;
}

TEST(ZlogThreadKey, LifecycleInAProcessOfItsOwn) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // The child runs this test again from the start: it finds the parent's folder in the
  // environment.
  const char *inherited = std::getenv("KELU_ZLOG_KEY_TEST_DIR");
  std::optional<TempDir> own;
  if (inherited == nullptr) own.emplace();
  std::string dir = inherited != nullptr ? inherited : own->path();
  ScopedEnv pass("KELU_ZLOG_KEY_TEST_DIR", dir);
  EXPECT_EXIT(std::exit(KeyLifecycleScenario(dir)), ::testing::ExitedWithCode(0), "");

  std::string debug = ReadTextFile(dir + "/debug.log");
  for (const char *text :
       {"zlog_env_init_version == 0", "zlog_thread_clean(pthread_key_delete: 0x",
        "zlog_fetch_thread(zlog_thread_key: 0x", "zlog_fetch_thread(zlog_thread_buf_count: 1)",
        "zlog_fini_inner(zlog_thread_key_exist: 1; zlog_thread_buf_count: 1)",
        "zlog_clean_rest_thread(pthread_key_delete: 0x"}) {
    EXPECT_NE(debug.find(text), std::string::npos) << text;
  }
}

}  // namespace
}  // namespace kelu::test

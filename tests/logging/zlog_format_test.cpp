// Conversion patterns: each specifier and width modifier, read back from a record output.
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <regex>
#include <string>

#include "ZlogTestSupport.h"
#include "zlog/zlog.h"

namespace kelu::test {
namespace {

constexpr char kFile[] = "dir/src/file.c";
constexpr char kFunction[] = "my_func";

// Starts a configuration with one rule "$capture" in the given format, logs one INFO line of
// category my_cat from kFile:42 in kFunction and returns what the rule wrote.
std::string FormatOne(const std::string &pattern, const std::string &extra_conf = "",
                      int level = ZLOG_LEVEL_INFO) {
  ZlogSession session(extra_conf + "[formats]\nf = \"" + pattern + "\"\n[rules]\n*.* $capture; f\n");
  if (!session.started()) return "<not started>";
  zlog_put_mdc("user", "alice");
  zlog(zlog_get_category("my_cat"), kFile, sizeof kFile - 1, kFunction, sizeof kFunction - 1, 42,
       level, "hello %s", "world");
  auto lines = Capture::Take();
  return lines.size() == 1 ? lines[0].text : "<" + std::to_string(lines.size()) + " lines>";
}

std::string Number(long value) { return std::to_string(value); }

struct ExactCase {
  const char *pattern;
  std::string expected;
};

TEST(ZlogFormat, ConversionCharacters) {
  ScopedEnv var("KELU_ZLOG_TEST_VAR", std::string("abcdef"));
  ScopedEnv unset("KELU_ZLOG_UNSET_VAR", std::nullopt);
  char host[256] = {0};
  ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
  char thread_hex[32], thread_long[32];
  std::snprintf(thread_hex, sizeof thread_hex, "0x%x", static_cast<unsigned>(pthread_self()));
  std::snprintf(thread_long, sizeof thread_long, "%lu",
                static_cast<unsigned long>(pthread_self()));

  const ExactCase cases[] = {
      {"%m", "hello world"},
      {"%c", "my_cat"},
      {"%F", kFile},
      {"%f", "file.c"},
      {"%L", "42"},
      {"%U", kFunction},
      {"%V", "INFO"},
      {"%v", "info"},
      {"%n", "\n"},
      {"%%", "%"},
      {"%p", Number(getpid())},
      {"%M(user)", "alice"},
      {"[%M(absent)]", "[]"},
      {"%E(KELU_ZLOG_TEST_VAR)", "abcdef"},
      {"[%E(KELU_ZLOG_UNSET_VAR)]", "[]"},
      {"%H", host},
      {"%t", thread_hex},
      {"%T", thread_long},
      {"a%%b %m!", "a%b hello world!"},
      {"%d(%%Y)", "%Y"},
      {"%-5V|", "INFO |"},
      {"%5V|", " INFO|"},
      {"%.2V|", "IN|"},
      {"%-8.3c|", "my_     |"},
      {"%8.3c|", "     my_|"},
      {"%12.2E(KELU_ZLOG_TEST_VAR)", "          ab"},
      {"%-20.30c|", "my_cat              |"},
      {"%3m", "hello world"},  // a minimum never cuts
      {"%.5m", "hello"},
      {"%c.%V %m%n", "my_cat.INFO hello world\n"},
  };
  for (const ExactCase &c : cases) {
    SCOPED_TRACE(c.pattern);
    EXPECT_EQ(FormatOne(c.pattern), c.expected);
  }
}

TEST(ZlogFormat, TimeCharacters) {
  char year[8];
  time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  strftime(year, sizeof year, "%Y", &local);
  struct RegexCase {
    const char *pattern;
    std::string regex;
  };
  const std::string kDateTime = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)";
  const RegexCase cases[] = {
      {"%d", kDateTime},
      {"%d()", kDateTime},
      {"%D", kDateTime},
      {"%d(%F %T)", kDateTime},
      {"%d(%Y)", year},
      {"%ms", R"(\d{3})"},
      {"%us", R"(\d{6})"},
      {"%d(%T.%ms)", R"(\d\d:\d\d:\d\d\.\d{3})"},
      {"%d(%T.%us)", R"(\d\d:\d\d:\d\d\.\d{6})"},
      {"%d.%ms %-6V (%c:%F:%L) - %m%n",
       kDateTime + R"(\.\d{3} INFO   \(my_cat:dir/src/file\.c:42\) - hello world\n)"},
      {"%D %V [%p:%F:%L] %m%n",
       kDateTime + " INFO \\[" + Number(getpid()) + ":dir/src/file\\.c:42\\] hello world\\n"},
  };
  for (const RegexCase &c : cases) {
    SCOPED_TRACE(c.pattern);
    std::string out = FormatOne(c.pattern);
    EXPECT_TRUE(std::regex_match(out, std::regex(c.regex))) << out;
  }
  // Both fractions come from the same clock reading.
  std::string both = FormatOne("%ms %us");
  ASSERT_EQ(both.size(), 10u);
  EXPECT_EQ(both.substr(0, 3), both.substr(4, 3));
}

TEST(ZlogFormat, LevelsNamedByTheConfiguration) {
  EXPECT_EQ(FormatOne("%V %v", "[levels]\nTRACE = 30\n", 30), "TRACE trace");
  EXPECT_EQ(FormatOne("%V %v", "", 77), "UNKNOWN unknown");
  EXPECT_EQ(FormatOne("%V", "", ZLOG_LEVEL_NOTICE), "NOTICE");
}

TEST(ZlogFormat, DefaultFormatIsZlogs) {
  ZlogSession session("[rules]\n*.* $capture\n");
  ASSERT_TRUE(session.started());
  zlog(zlog_get_category("my_cat"), kFile, sizeof kFile - 1, kFunction, sizeof kFunction - 1, 7,
       ZLOG_LEVEL_WARN, "text");
  auto lines = Capture::Take();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(std::regex_match(
      lines[0].text, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d WARN \[\d+:dir/src/file\.c:7\] text\n)")))
      << lines[0].text;
}

TEST(ZlogFormat, MessageIsPrintfAndPercentInArgumentsStays) {
  ZlogSession session("[formats]\nf = \"%m\"\n[rules]\n*.* $capture; f\n");
  ASSERT_TRUE(session.started());
  zlog_category_t *category = zlog_get_category("my_cat");
  zlog_info(category, "%03d-%s-%.1f", 7, "x", 2.5);
  zlog_info(category, "%s", "100%s %n");
  auto lines = Capture::Take();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].text, "007-x-2.5");
  EXPECT_EQ(lines[1].text, "100%s %n");
}

}  // namespace
}  // namespace kelu::test

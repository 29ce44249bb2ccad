// Rule selection: category matching (*, aa_, exact, !) and the level operators.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ZlogTestSupport.h"
#include "zlog/zlog.h"

namespace kelu::test {
namespace {

// The record paths of the rules that took the line, in rule order.
std::vector<std::string> RulesHit(zlog_category_t *category, int level) {
  zlog(category, "f.c", 3, "fn", 2, 1, level, "line");
  std::vector<std::string> paths;
  for (const CapturedLine &line : Capture::Take()) paths.push_back(line.path);
  return paths;
}

using Paths = std::vector<std::string>;

TEST(ZlogRules, CategoryMatching) {
  ZlogSession session(
      "[formats]\nm = \"%m\"\n[rules]\n"
      "*.*     $capture, \"star\"; m\n"
      "aa_.*   $capture, \"aa_\"; m\n"
      "aa.*    $capture, \"aa\"; m\n"
      "aa_bb.* $capture, \"aa_bb\"; m\n"
      "!.*     $capture, \"bang\"; m\n");
  ASSERT_TRUE(session.started());
  struct Case {
    const char *category;
    Paths expected;
  };
  const Case cases[] = {
      {"aa", {"star", "aa_", "aa"}},
      {"aa_", {"star", "aa_"}},
      {"aa_bb", {"star", "aa_", "aa_bb"}},
      {"aa_cc", {"star", "aa_"}},
      {"aa_bb_cc", {"star", "aa_"}},
      {"aab", {"star", "bang"}},
      {"xx", {"star", "bang"}},
      {"", {"star", "bang"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.category);
    zlog_category_t *category = zlog_get_category(c.category);
    ASSERT_NE(category, nullptr);
    EXPECT_EQ(RulesHit(category, ZLOG_LEVEL_INFO), c.expected);
  }
  EXPECT_EQ(zlog_get_category("aa"), zlog_get_category("aa")) << "one handle per name";
}

TEST(ZlogRules, LevelOperators) {
  ZlogSession session(
      "[levels]\nTRACE = 10\n[formats]\nm = \"%m\"\n[rules]\n"
      "c.DEBUG  $capture, \">=debug\"; m\n"
      "c.=INFO  $capture, \"==info\"; m\n"
      "c.!INFO  $capture, \"!=info\"; m\n"
      "c.*      $capture, \"all\"; m\n"
      "c.error  $capture, \">=error\"; m\n"
      "c.=trace $capture, \"==trace\"; m\n");
  ASSERT_TRUE(session.started());
  zlog_category_t *category = zlog_get_category("c");
  struct Case {
    int level;
    Paths expected;
  };
  const Case cases[] = {
      {10, {"!=info", "all", "==trace"}},
      {ZLOG_LEVEL_DEBUG, {">=debug", "!=info", "all"}},
      {ZLOG_LEVEL_INFO, {">=debug", "==info", "all"}},
      {ZLOG_LEVEL_NOTICE, {">=debug", "!=info", "all"}},
      {ZLOG_LEVEL_ERROR, {">=debug", "!=info", "all", ">=error"}},
      {ZLOG_LEVEL_FATAL, {">=debug", "!=info", "all", ">=error"}},
      {300, {">=debug", "!=info", "all", ">=error"}},  // beyond the table of levels
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.level);
    EXPECT_EQ(RulesHit(category, c.level), c.expected);
  }
}

TEST(ZlogRules, CategoryWithoutRulesWritesNothing) {
  ZlogSession session("[rules]\nonly_this.* $capture\n");
  ASSERT_TRUE(session.started());
  zlog_category_t *category = zlog_get_category("other");
  ASSERT_NE(category, nullptr);
  EXPECT_TRUE(RulesHit(category, ZLOG_LEVEL_FATAL).empty());
}

TEST(ZlogRules, GetCategoryNeedsInit) {
  TempDir dir;
  ScopedEnv errors("ZLOG_PROFILE_ERROR", dir.File("error.log"));
  EXPECT_EQ(zlog_get_category("my_cat"), nullptr);
  EXPECT_NE(ReadTextFile(dir.File("error.log")).find("never call zlog_init() or dzlog_init()"),
            std::string::npos);
}

}  // namespace
}  // namespace kelu::test

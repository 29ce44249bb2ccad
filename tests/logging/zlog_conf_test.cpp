// The configuration grammar: which texts zlog_init accepts and what it says about the others.
#include <gtest/gtest.h>

#include <string>

#include "ZlogTestSupport.h"
#include "zlog/zlog.h"

namespace kelu::test {
namespace {

struct ConfCase {
  const char *name;
  const char *text;
  bool accepted;
  const char *diagnostic;  // expected in the error channel; "" for none
};

const ConfCase kConfCases[] = {
    // Accepted texts.
    {"empty file", "", true, ""},
    {"comments and blank lines", "# a comment\n\n   # indented comment\n\t\n", true, ""},
    {"every global parameter",
     "[global]\nstrict init = true\nreload conf period = 1M\nbuffer min = 1024\n"
     "buffer max = 2MB\nrotate lock file = @DIR@/zlog.lock\n"
     "default format = \"%d.%us %-6V (%c:%F:%L) - %m%n\"\nfile perms = 600\nfsync period = 1K\n",
     true, ""},
    {"units in any case", "[global]\nbuffer min = 1kB\nbuffer max = 1Gb\nfsync period = 3m\n",
     true, ""},
    {"buffer max 0 means unlimited", "[global]\nbuffer min = 1k\nbuffer max = 0\n", true, ""},
    {"rotate lock file self", "[global]\nrotate lock file = self\n", true, ""},
    {"keys with extra blanks", "[global]\n  strict   init   =   false  \n", true, ""},
    {"section names with blanks and case", "[ GLOBAL ]\n[Rules]\n*.* $capture\n", true, ""},
    {"user levels with and without syslog level",
     "[levels]\nTRACE = 10\nCRIT = 130, LOG_CRIT\nDEBUG = 20, LOG_INFO\n"
     "[rules]\n*.TRACE $capture\n*.=crit $capture\n",
     true, ""},
    {"named formats with every conversion character",
     "[formats]\n"
     "all = \"%c %d %d() %d(%F %T.%ms) %D %ms %us %F %f %H %L %m %M(key) %n %p %U %t %T %V %v "
     "%E(HOME) %% %-5V %12.2E(HOME) %.3c %-20.30c\"\n"
     "[rules]\n*.* $capture; all\n",
     true, ""},
    {"all sections in order",
     "[global]\nstrict init = true\n[levels]\nTRACE = 10\n[formats]\nsimple = \"%m%n\"\n"
     "[rules]\ndefault.* >stderr; simple\n*.* \"@DIR@/%c.log\"; simple\nmy_.INFO $capture\n"
     "my_cat.!ERROR \"@DIR@/aa.log\"\nmy_dog.=DEBUG -\"@DIR@/sync.log\"; simple\n"
     "!.* $capture, \"path %c\"\n",
     true, ""},
    {"a rule line continued with a backslash",
     "[formats]\nsimple = \"%m%n\"\n[rules]\n*.* \\\n   $capture; \\\n simple\n", true, ""},
    {"format name after a quoted path holding ';'",
     "[formats]\nsimple = \"%m%n\"\n[rules]\n*.* \"@DIR@/a;b.log\"; simple\n", true, ""},
    {"zlog 1.2 outputs",
     "[global]\nrotate lock file = @DIR@/zlog.lock\nfsync period = 10\n[rules]\n"
     "a.* \"@DIR@/a.log\", 10MB * 5 ~ \"@DIR@/a.log.#r\"\n"
     "b.* \"@DIR@/b.log\", 1MB*12\n"
     "c.* \"@DIR@/c.log\", 100MB ~ \"@DIR@/c-%d(%Y%m%d).#2s.log\"\n"
     "d.* \"@DIR@/d.log\", 10MB * 0 ~ \"@DIR@/old/d.log.#s\"\n"
     "e.* -\"@DIR@/%c.log\", 1kb * 2\n"
     "f.* \"@DIR@/f.log\", 0\n"
     "g.* >syslog, LOG_LOCAL0\nh.* >syslog\ni.* | cat > /dev/null\n"
     "j.* >memlog:@DIR@/m.log\nk.* >memlog:\n"
     "l.* >memlog:@DIR@/l.log, 4MB * 2\nm.* >memlog:@DIR@/n.log, 1MB ~ \"@DIR@/n.#2s.log\"\n",
     true, ""},
    {"strict init false leaves bad formats and rules out",
     "[global]\nstrict init = false\n[formats]\nbad = \"%k\"\n"
     "[rules]\n*.* $capture; bad\n*.NOSUCH $capture\n*.* $capture\n",
     true, "left out (strict init is false)"},

    // Refused texts.
    {"line before any section", "strict init = true\n", false, "before the first section"},
    {"unknown section", "[nonsense]\n", false, "unknown section [nonsense]"},
    {"sections out of order", "[rules]\n[global]\n", false, "out of order"},
    {"section repeated", "[formats]\n[formats]\n", false, "repeated"},
    {"header without bracket", "[global\n", false, "without ']'"},
    {"unknown global key", "[global]\nno such key = 1\n", false,
     "unknown [global] parameter [no such key]"},
    {"global line without equals", "[global]\nstrict init\n", false, "without '='"},
    {"bad boolean", "[global]\nstrict init = maybe\n", false, "bad value [maybe]"},
    {"bad unit", "[global]\nbuffer max = 10XB\n", false, "bad value [10XB]"},
    {"size overflow", "[global]\nbuffer max = 99999999999999999999\n", false, "bad value"},
    {"size with a unit overflowing", "[global]\nbuffer max = 9999999999999gb\n", false,
     "bad value"},
    {"buffer min above max", "[global]\nbuffer min = 2MB\nbuffer max = 1MB\n", false,
     "buffer max is below buffer min"},
    {"buffer min zero", "[global]\nbuffer min = 0\n", false, "buffer min must be above 0"},
    {"file perms not octal", "[global]\nfile perms = 698\n", false, "bad value [698]"},
    {"default format unquoted", "[global]\ndefault format = %m%n\n", false, "must be quoted"},
    {"default format unknown character", "[global]\ndefault format = \"%k\"\n", false,
     "unknown conversion character 'k'"},
    {"strict init false keeps global errors", "[global]\nstrict init = false\nbogus = 1\n",
     false, "unknown [global] parameter"},
    {"memory-log rotation without a size", "[rules]\n*.* >memlog:@DIR@/m.log, * 2\n", false,
     "bad rotation size"},
    {"level value 0", "[levels]\nTRACE = 0\n", false, "from 1 to 253"},
    {"level value 254", "[levels]\nTRACE = 254\n", false, "from 1 to 253"},
    {"level value not a number", "[levels]\nTRACE = ten\n", false, "from 1 to 253"},
    {"unknown syslog level", "[levels]\nTRACE = 10, LOG_NOPE\n", false,
     "unknown syslog level [LOG_NOPE]"},
    {"level line without equals", "[levels]\nTRACE\n", false, "without '='"},
    {"level name with a dash", "[levels]\nTR-ACE = 10\n", false, "level name"},
    {"level name redefined at another value", "[levels]\nINFO = 50\n", false,
     "already defined with value 40"},
    {"format unquoted", "[formats]\nsimple = %m\n", false, "must be a quoted pattern"},
    {"format defined twice", "[formats]\ns = \"%m\"\ns = \"%n\"\n", false, "defined twice"},
    {"format name with a blank", "[formats]\nbad name = \"%m\"\n", false, "format name"},
    {"format date without closing parenthesis", "[formats]\nf = \"%d(%F\"\n", false,
     "no ')' after '('"},
    {"format %E without argument", "[formats]\nf = \"%E\"\n", false, "needs an argument"},
    {"format %M with empty argument", "[formats]\nf = \"%M()\"\n", false, "empty argument"},
    {"format %u alone", "[formats]\nf = \"%u\"\n", false, "unknown conversion character 'u'"},
    {"format unknown character", "[formats]\nf = \"%k\"\n", false,
     "unknown conversion character 'k'"},
    {"format maximum width zero", "[formats]\nf = \"%5.0c\"\n", false, "maximum width"},
    {"format width too large", "[formats]\nf = \"%99999c\"\n", false, "minimum width"},
    {"format ending in percent", "[formats]\nf = \"abc%\"\n", false, "ends inside a specifier"},
    {"rule without output", "[rules]\nmy_cat.INFO\n", false, "has no output"},
    {"rule without level", "[rules]\nmy_cat >stdout\n", false, "is not category.level"},
    {"rule with empty level", "[rules]\nmy_cat. >stdout\n", false, "is not category.level"},
    {"rule category with a dash", "[rules]\nmy-cat.INFO >stdout\n", false, "category [my-cat]"},
    {"rule with unknown level", "[rules]\nmy_cat.LOUD >stdout\n", false,
     "level [LOUD] is not defined"},
    {"rule with unknown format", "[rules]\nmy_cat.INFO >stdout; nosuch\n", false,
     "format [nosuch]"},
    {"rule with unknown stream", "[rules]\nmy_cat.INFO >nowhere\n", false,
     "[nowhere]the string after is not syslog, stdout or stderr"},
    {"rule with unknown output", "[rules]\nmy_cat.INFO ^oops\n", false, "unknown output"},
    {"rule path without closing quote", "[rules]\nmy_cat.INFO \"@DIR@/a.log\n", false,
     "no closing"},
    {"rule with empty path", "[rules]\nmy_cat.INFO \"\"\n", false, "empty file path"},
    {"rule with text after the path", "[rules]\n*.* \"@DIR@/a.log\" junk\n", false,
     "unexpected text after the file path"},
    {"static file that cannot be opened", "[rules]\n*.* \"@DIR@/zlog.conf/a.log\"\n", false,
     "open file["},
    {"record name with a dash", "[rules]\n*.* $bad-name\n", false, "record name [bad-name]"},
    {"record path unquoted", "[rules]\n*.* $capture, path\n", false, "one quoted text"},
    {"pipe without command", "[rules]\n*.* |   \n", false, "no command after '|'"},
    {"syslog with an unknown facility", "[rules]\n*.* >syslog, LOG_KERN\n", false,
     "syslog facility [LOG_KERN]"},
    {"rotation size with a bad unit", "[rules]\n*.* \"@DIR@/a.log\", 1XB\n", false,
     "bad rotation size [1XB]"},
    {"rotation count not a number", "[rules]\n*.* \"@DIR@/a.log\", 1MB * many\n", false,
     "archive count after '*'"},
    {"archive name unquoted", "[rules]\n*.* \"@DIR@/a.log\", 1MB ~ a.#r\n", false,
     "must be one quoted text"},
    {"archive name without a number", "[rules]\n*.* \"@DIR@/a.log\", 1MB ~ \"@DIR@/a.old\"\n",
     false, "must hold one #r or #s"},
    {"archive name with two numbers",
     "[rules]\n*.* \"@DIR@/a.log\", 1MB ~ \"@DIR@/a.#r.#s\"\n", false,
     "must hold one #r or #s"},
    {"archive number in a folder name",
     "[rules]\n*.* \"@DIR@/a.log\", 1MB ~ \"@DIR@/#r/a.log\"\n", false,
     "must be in its file name"},
};

TEST(ZlogConf, GrammarCases) {
  for (const ConfCase &c : kConfCases) {
    SCOPED_TRACE(c.name);
    ZlogSession session(c.text, c.accepted);
    std::string diagnostics = session.Diagnostics();
    if (*c.diagnostic != '\0') {
      EXPECT_NE(diagnostics.find(c.diagnostic), std::string::npos) << diagnostics;
    } else {
      EXPECT_EQ(diagnostics, "");
    }
    if (!c.accepted) {
      // Nothing stays half started: logging is still off.
      EXPECT_EQ(zlog_get_category("my_cat"), nullptr);
    }
  }
}

TEST(ZlogConf, RefusesMissingFileAndOverLongPath) {
  TempDir dir;
  ScopedEnv errors("ZLOG_PROFILE_ERROR", dir.File("error.log"));
  EXPECT_EQ(zlog_init(dir.File("missing.conf").c_str()), -1);
  std::string long_path = "/" + std::string(1100, 'a');
  EXPECT_EQ(zlog_init(long_path.c_str()), -1);
  std::string diagnostics = ReadTextFile(dir.File("error.log"));
  EXPECT_NE(diagnostics.find("cannot open configuration file"), std::string::npos);
  EXPECT_NE(diagnostics.find("not enough space for path name"), std::string::npos);
}

TEST(ZlogConf, InitSucceedsOncePerProcessUntilFini) {
  ZlogSession session("[rules]\n*.* $capture\n");
  ASSERT_TRUE(session.started());
  ScopedEnv errors("ZLOG_PROFILE_ERROR", session.File("second.log"));
  EXPECT_EQ(zlog_init(session.conf_path().c_str()), -1);
  EXPECT_EQ(dzlog_init(session.conf_path().c_str(), "my_cat"), -1);
  EXPECT_NE(ReadTextFile(session.File("second.log")).find("already init"), std::string::npos);
}

TEST(ZlogConf, NullPathTakesTheEnvironmentVariable) {
  TempDir dir;
  WriteTextFile(dir.File("env.conf"), "[formats]\nbare = \"%m\"\n[rules]\n*.* $capture; bare\n");
  ScopedEnv conf("KELU_LOG_CONF_PATH", dir.File("env.conf"));
  ASSERT_EQ(zlog_init(nullptr), 0);
  ASSERT_EQ(zlog_set_record("capture", Capture::Record), 0);
  zlog_info(zlog_get_category("any"), "from the variable");
  zlog_fini();
  auto lines = Capture::Take();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].text, "from the variable");
}

TEST(ZlogConf, ConfRecordsFromRuleAndFile) {
  zlog_conf_t *from_rule = zlog_conf_new_with_rule("my_cat.INFO $capture");
  EXPECT_NE(from_rule, nullptr);
  zlog_conf_del(from_rule);
  zlog_conf_t *default_rule = zlog_conf_new_with_rule(nullptr);
  EXPECT_NE(default_rule, nullptr);
  zlog_conf_del(default_rule);
  EXPECT_EQ(zlog_conf_new_with_rule("my_cat.INFO >nowhere"), nullptr);
  ScopedEnv unset("KELU_LOG_CONF_PATH", std::nullopt);
  zlog_conf_t *no_file = zlog_conf_new("");
  EXPECT_NE(no_file, nullptr);
  zlog_conf_del(no_file);
}

}  // namespace
}  // namespace kelu::test

// A log folder of another user, as a php-fpm pool's folder is to a root job logging there: the
// links that user puts in place of the engine's files take none of the job's bytes, and the
// files and folders a root job makes there first are the pool's.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "ZlogTestSupport.h"
#include "zlog/zlog.h"

namespace kelu::test {
namespace {

constexpr int kLines = 20;
constexpr char kSecret[] = "root's secret\n";

size_t Count(const std::string &text, const std::string &part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// The lines "line 0" .. of a text, in order, without the engine's own.
std::vector<std::string> JobLines(const std::string &text) {
  std::vector<std::string> lines;
  for (const std::string &line : SplitLines(text)) {
    if (line.rfind("line ", 0) == 0) lines.push_back(line);
  }
  return lines;
}

std::vector<std::string> AllJobLines() {
  std::vector<std::string> lines;
  for (int i = 0; i < kLines; ++i) lines.push_back("line " + std::to_string(i));
  return lines;
}

// The entries of a folder but "." and "..".
size_t EntriesOf(const std::string &folder) {
  size_t n = 0;
  if (DIR *dir = opendir(folder.c_str())) {
    while (struct dirent *entry = readdir(dir)) {
      n += std::string(entry->d_name) != "." && std::string(entry->d_name) != "..";
    }
    closedir(dir);
  }
  return n;
}

// A job of its own, as who: starts its engine on conf, logs "line 0" .. at ERROR in category
// "c", 5 ms apart (so that every check of a file's path is due), calling between() after
// line 4, and then asks for a second start, which writes a diagnostic. Its standard error
// goes to errors. Exit status 0, or 1 when the start failed.
int RunJob(const std::string &conf, const std::string &errors, const std::function<void()> &between,
           RunAs who = RunAs::kTestUser) {
  pid_t child = fork();
  if (child == 0) {
    int fd = open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || dup2(fd, STDERR_FILENO) < 0) _exit(3);
    if (who == RunAs::kWorkerUser && !BecomeWorkerUser()) _exit(2);
    if (zlog_init(conf.c_str()) != 0) _exit(1);
    zlog_category_t *category = zlog_get_category("c");
    for (int i = 0; i < kLines; ++i) {
      zlog_error(category, "line %d", i);
      if (i == 4 && between) between();
      usleep(5000);
    }
    zlog_init(conf.c_str());
    zlog_fini();
    _exit(0);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// As root beside the pool's folder of ServiceDir: a root-owned file of mode 0600 that a link
// of the pool's user may point to (as it could to /etc/shadow), and a root-owned folder.
class PoolFolder {
 public:
  PoolFolder() {
    WriteTextFile(Target(), kSecret);
    EXPECT_EQ(chmod(Target().c_str(), 0600), 0);
    EXPECT_EQ(mkdir(Private().c_str(), 0700), 0);
  }
  const ServiceDir &dir() const { return dir_; }
  std::string Target() const { return dir_.File("shadow"); }
  std::string Private() const { return dir_.File("private"); }
  // A link of the pool's user in its folder, in place of name (moved aside first, as another
  // process's rotation does, when it exists).
  void LinkAsThePool(const std::string &name, const std::string &to) const {
    const std::string path = dir_.Log(name);
    struct stat st;
    if (lstat(path.c_str(), &st) == 0) {
      EXPECT_EQ(rename(path.c_str(), (path + ".0").c_str()), 0);
    }
    EXPECT_EQ(symlink(to.c_str(), path.c_str()), 0);
    EXPECT_EQ(lchown(path.c_str(), TheWorkerUser().uid, TheWorkerUser().gid), 0);
  }
  // "symbolic link [<name in the pool's folder>] belongs to uid <the pool's>".
  std::string Refusal(const std::string &name) const {
    return "symbolic link [" + dir_.Log(name) + "] belongs to uid " +
           std::to_string(TheWorkerUser().uid);
  }

 private:
  ServiceDir dir_;
};

struct ForeignCase {
  const char *name;
  const char *rule;     // of category "c", in the pool's folder @LOGS@
  const char *link;     // the name the pool's user makes a link, to the target file
  bool to_folder;       // to the root-owned folder instead
  bool after_start;     // after the job's fifth line (else before it starts)
  const char *archive;  // an empty archive of the pool's beside it, or ""
  bool start_fails;     // a static file, opened when the rule is read
  // The refusal's report on the diagnostic channel and its WARN line in the category (null:
  // the same; "": none), "@DIR@" naming the pool's folder and "@L@" the link and its owner.
  const char *report;
  const char *notice;
};

// A report of a case.
std::string Expected(const char *text, const PoolFolder &pool, const std::string &link) {
  std::string expected = WithDir(text, pool.dir().Log(""));
  if (size_t at = expected.find("@L@"); at != std::string::npos) {
    expected.replace(at, 3, pool.Refusal(link));
  }
  return expected;
}

// A root job in the pool's folder (the README's php-fpm set-up) whose files the pool's user
// replaced by links to a root-owned file (or folder): the target takes no byte, and is neither
// copied into an archive nor emptied. The refusal is reported on the diagnostic channel and,
// where the job's start did not fail, as a WARN line in the category, not once a line; its
// other rule takes every line.
TEST(ZlogForeignFolder, LinksOfThePoolsUserTakeNoByte) {
  if (geteuid() != 0) GTEST_SKIP() << "another user's folder needs root";
  const ForeignCase cases[] = {
      {"plain file", "\"@LOGS@/p.log\"", "p.log", false, false, "", true,
       "open file[@DIR@/p.log] fail, errno[40]: @L@", nullptr},
      {"rotated file", "\"@LOGS@/p.log\", 1MB * 2", "p.log", false, false, "", true,
       "open file[@DIR@/p.log] fail, errno[40]: @L@", nullptr},
      {"rotated file reopened after another process's rotation", "\"@LOGS@/p.log\", 1MB * 2",
       "p.log", false, true, "", false, "open file[@DIR@/p.log] fail, errno[40]: @L@",
       "zlog: [@DIR@/p.log] was rotated and cannot be opened, errno[40]: @L@"},
      {"plain file reopened after another tool's rename", "\"@LOGS@/p.log\"", "p.log", false,
       true, "", false, "open file[@DIR@/p.log] fail, errno[40]: @L@",
       "zlog: [@DIR@/p.log] names another file or none and cannot be opened, errno[40]: @L@"},
      {"rotated file's archive folder",
       "\"@LOGS@/p.log\", 50 * 3 ~ \"@LOGS@/old/p.log.#r\"", "old", true, false, "", false,
       "rename[@DIR@/p.log] to [@DIR@/old/p.log.0] fail, errno[40]", ""},
      {"dynamic file", "\"@LOGS@/%c.log\"", "c.log", false, false, "", false,
       "zlog: file[@DIR@/c.log] is not opened: @L@", nullptr},
      {"dynamic path's folder", "\"@LOGS@/%c/d.log\"", "c", true, false, "", false,
       "zlog: file[@DIR@/c/d.log] is not opened: @L@", nullptr},
      {">memlog: file at a flush", ">memlog:@LOGS@/m.log", "m.log", false, true, "", false,
       "zlog: file[@DIR@/m.log] is not opened: @L@", nullptr},
      {">memlog: file at a lone start", ">memlog:@LOGS@/m.log, 1MB * 3", "m.log", false, false,
       "m.log.0", false, "zlog: file[@DIR@/m.log] is not opened: @L@", nullptr},
  };
  for (const ForeignCase &c : cases) {
    SCOPED_TRACE(c.name);
    PoolFolder pool;
    const ServiceDir &dir = pool.dir();
    dir.WriteConf(std::string("[formats]\nm = \"%m%n\"\n[rules]\nc.* ") + c.rule +
                  "; m\n*.* \"@DIR@/other.log\"; m\n");
    const std::string target = c.to_folder ? pool.Private() : pool.Target();
    if (*c.archive != '\0') {
      ASSERT_TRUE(MakeWorkerFile(dir.Log(c.archive)));
    }
    if (!c.after_start) pool.LinkAsThePool(c.link, target);
    ScopedEnv diagnostics("ZLOG_PROFILE_ERROR", dir.File("error.log"));
    const auto started = std::chrono::steady_clock::now();
    int status = RunJob(dir.conf(), dir.File("stderr"),
                        [&] { if (c.after_start) pool.LinkAsThePool(c.link, target); });
    // Reported at most about once a second: once, and once more for each second the job ran.
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
        std::chrono::steady_clock::now() - started);
    const size_t most_reports = 1 + static_cast<size_t>(seconds.count());

    EXPECT_EQ(ReadTextFile(pool.Target()), kSecret);
    EXPECT_EQ(EntriesOf(pool.Private()), 0u);
    if (*c.archive != '\0') {
      EXPECT_EQ(ReadTextFile(dir.Log(c.archive)), "") << "nothing copied";
    }
    const std::string report = Expected(c.report, pool, c.link);
    const std::string diagnostics_text = ReadTextFile(dir.File("error.log"));
    EXPECT_GE(Count(diagnostics_text, report), 1u) << diagnostics_text;
    EXPECT_LE(Count(diagnostics_text, report), most_reports) << diagnostics_text;
    if (c.start_fails) {
      EXPECT_EQ(status, 1) << "the rule fails as an unopenable file does";
      continue;
    }
    ASSERT_EQ(status, 0);
    const std::string other = ReadTextFile(dir.File("other.log"));
    EXPECT_EQ(JobLines(other), AllJobLines()) << "the other rule goes on";
    if (c.notice != nullptr && *c.notice == '\0') continue;
    const std::string notice = c.notice != nullptr ? Expected(c.notice, pool, c.link) : report;
    EXPECT_GE(Count(other, notice), 1u) << "a WARN line in the category:\n" << other;
    EXPECT_LE(Count(other, notice), most_reports) << other;
  }
}

// The diagnostic file replaced by a link: nothing is written to the target, and standard error
// says why, once.
TEST(ZlogForeignFolder, DiagnosticFileLinkedByThePoolTakesNoByte) {
  if (geteuid() != 0) GTEST_SKIP() << "another user's folder needs root";
  PoolFolder pool;
  const ServiceDir &dir = pool.dir();
  dir.WriteConf("[formats]\nm = \"%m%n\"\n[rules]\nc.* \"@LOGS@/p.log\"; m\n");
  pool.LinkAsThePool("error.log", pool.Target());
  ScopedEnv diagnostics("ZLOG_PROFILE_ERROR", dir.Log("error.log"));
  ASSERT_EQ(RunJob(dir.conf(), dir.File("stderr"), nullptr), 0);
  EXPECT_EQ(ReadTextFile(pool.Target()), kSecret);
  EXPECT_EQ(JobLines(ReadTextFile(dir.Log("p.log"))), AllJobLines());
  const std::string said = ReadTextFile(dir.File("stderr"));
  EXPECT_EQ(Count(said, "zlog: diagnostic file[" + dir.Log("error.log") + "] is not written: " +
                            pool.Refusal("error.log")),
            1u)
      << said;
}

// An administrator's link (root's) and a process's own link are followed as before.
TEST(ZlogForeignFolder, LinksOfRootAndOfTheProcesssUserAreFollowed) {
  if (geteuid() != 0) GTEST_SKIP() << "another user's folder needs root";
  struct Case {
    const char *name;
    RunAs who;
    uid_t link_owner;
  };
  const Case cases[] = {
      {"root's link, a root job", RunAs::kTestUser, 0},
      {"root's link, a worker", RunAs::kWorkerUser, 0},
      {"the worker's link, a worker", RunAs::kWorkerUser, TheWorkerUser().uid},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    ServiceDir dir;
    dir.WriteConf("[formats]\nm = \"%m%n\"\n[rules]\nc.* \"@LOGS@/p.log\"; m\n");
    const std::string disk = dir.File("disk"), target = disk + "/p.log";
    ASSERT_EQ(mkdir(disk.c_str(), 0755), 0);
    ASSERT_EQ(chown(disk.c_str(), TheWorkerUser().uid, TheWorkerUser().gid), 0);
    ASSERT_EQ(symlink(target.c_str(), dir.Log("p.log").c_str()), 0);
    ASSERT_EQ(lchown(dir.Log("p.log").c_str(), c.link_owner, 0), 0);
    ASSERT_EQ(RunJob(dir.conf(), dir.File("stderr"), nullptr, c.who), 0);
    EXPECT_EQ(JobLines(ReadTextFile(target)), AllJobLines());
    EXPECT_EQ(OwnerOf(target), TheWorkerUser().uid) << "made in the worker's folder";
  }
}

struct FirstCase {
  const char *name;
  const char *rule;               // of category "c"
  const char *log;                // the file its lines go to
  std::vector<std::string> made;  // what the root job makes, the diagnostic file too
  bool pool_folder;               // in the pool's folder, else in root's
};

// A root job that comes first (after a clean-up, before the pool's first request) makes the
// pool's files as the pool's, so that a worker then starts and logs; in root's own folder
// they stay root's.
TEST(ZlogForeignFolder, RootJobFirstLeavesThePoolFilesItCanWrite) {
  if (geteuid() != 0) GTEST_SKIP() << "another user's folder needs root";
  const FirstCase cases[] = {
      {"static file", "\"@LOGS@/p.log\"", "p.log", {"p.log", "error.log"}, true},
      {"rotated file", "\"@LOGS@/p.log\", 1MB * 2", "p.log", {"p.log", "error.log"}, true},
      {"dynamic file in a folder it makes", "\"@LOGS@/%c/d.log\"", "c/d.log",
       {"c", "c/d.log", "error.log"}, true},
      {">memlog: file", ">memlog:@LOGS@/m.log", "m.log", {"m.log", "error.log"}, true},
      {"root's folder", "\"@DIR@/r/%c.log\"", "r/c.log", {"r", "r/c.log", "error.log"}, false},
  };
  for (const FirstCase &c : cases) {
    SCOPED_TRACE(c.name);
    ServiceDir dir;
    dir.WriteConf(std::string("[global]\nfile perms = 640\n[formats]\nm = \"%m%n\"\n") +
                  "[rules]\nc.* " + c.rule + "; m\n");
    auto in_folder = [&](const std::string &name) {
      return c.pool_folder ? dir.Log(name) : dir.File(name);
    };
    ScopedEnv diagnostics("ZLOG_PROFILE_ERROR", in_folder("error.log"));
    ASSERT_EQ(RunJob(dir.conf(), dir.File("stderr"), nullptr), 0);
    const WorkerUser owner = c.pool_folder ? TheWorkerUser() : WorkerUser{0, 0};
    for (const std::string &name : c.made) {
      struct stat st = {};
      ASSERT_EQ(stat(in_folder(name).c_str(), &st), 0) << name;
      EXPECT_EQ(st.st_uid, owner.uid) << name;
      EXPECT_EQ(st.st_gid, owner.gid) << name;
    }
    if (!c.pool_folder) continue;

    ASSERT_EQ(RunJob(dir.conf(), dir.File("stderr"), nullptr, RunAs::kWorkerUser), 0)
        << "the worker starts";
    std::string lines;
    for (const std::string &file : LogAndArchives(dir.Log(c.log))) {
      lines = ReadTextFile(file) + lines;  // the archives are older
    }
    std::vector<std::string> twice = AllJobLines(), once = AllJobLines();
    twice.insert(twice.end(), once.begin(), once.end());
    EXPECT_EQ(JobLines(lines), twice) << "the root job's lines, then the worker's";
    EXPECT_EQ(Count(ReadTextFile(dir.Log("error.log")), "already init"), 2u)
        << "the diagnostic file takes both";
  }
}

}  // namespace
}  // namespace kelu::test

/* Fixtures of the logging tests: a configuration written to a temporary folder and started,
 * a record output that captures formatted lines in memory, environment variables set for
 * one test. zlog starts once per process until zlog_fini, so every fixture finishes it. */
#ifndef KELU_ZLOG_TEST_SUPPORT_H
#define KELU_ZLOG_TEST_SUPPORT_H

#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "zlog/zlog.h"

namespace kelu::test {

// Sets (or, with nullopt, unsets) an environment variable and restores it afterwards.
class ScopedEnv {
 public:
  ScopedEnv(const char *name, std::optional<std::string> value) : name_(name) {
    const char *old = std::getenv(name);
    if (old != nullptr) old_ = old;
    if (value)
      setenv(name, value->c_str(), 1);
    else
      unsetenv(name);
  }
  ~ScopedEnv() {
    if (old_)
      setenv(name_.c_str(), old_->c_str(), 1);
    else
      unsetenv(name_.c_str());
  }
  ScopedEnv(const ScopedEnv &) = delete;
  ScopedEnv &operator=(const ScopedEnv &) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// Lines given to the record output "$capture": the formatted text and the record path.
struct CapturedLine {
  std::string text;
  std::string path;
};

class Capture {
 public:
  static int Record(zlog_msg_t *msg) {
    std::lock_guard<std::mutex> hold(mutex());
    lines().push_back({std::string(msg->buf, msg->len), msg->path});
    return 0;
  }
  static void Clear() {
    std::lock_guard<std::mutex> hold(mutex());
    lines().clear();
  }
  static std::vector<CapturedLine> Take() {
    std::lock_guard<std::mutex> hold(mutex());
    std::vector<CapturedLine> out;
    out.swap(lines());
    return out;
  }

 private:
  static std::mutex &mutex() {
    static std::mutex m;
    return m;
  }
  static std::vector<CapturedLine> &lines() {
    static std::vector<CapturedLine> l;
    return l;
  }
};

// text with every "@DIR@" replaced by dir.
inline std::string WithDir(std::string text, const std::string &dir) {
  for (size_t at = text.find("@DIR@"); at != std::string::npos; at = text.find("@DIR@", at)) {
    text.replace(at, 5, dir);
    at += dir.size();
  }
  return text;
}

// The log at path and its archives "<path>.0", "<path>.1", ... that exist.
inline std::vector<std::string> LogAndArchives(const std::string &path) {
  std::vector<std::string> files = {path};
  for (int i = 0; FileExists(path + "." + std::to_string(i)); ++i) {
    files.push_back(path + "." + std::to_string(i));
  }
  return files;
}

// A configuration file in a fresh folder, started with zlog_init and finished on destruction.
// "@DIR@" in the text names that folder, which holds the files the configuration writes;
// diagnostics go to its "error.log".
class ZlogSession {
 public:
  explicit ZlogSession(const std::string &conf_text, bool expect_ok = true)
      : error_log_("ZLOG_PROFILE_ERROR", dir_.File("error.log")) {
    conf_path_ = dir_.File("zlog.conf");
    WriteTextFile(conf_path_, WithDir(conf_text, dir_.path()));
    started_ = zlog_init(conf_path_.c_str()) == 0;
    if (started_) zlog_set_record("capture", Capture::Record);
    Capture::Clear();
    EXPECT_EQ(started_, expect_ok) << "configuration:\n" << conf_text << "\ndiagnostics:\n"
                                   << Diagnostics();
  }
  ~ZlogSession() {
    if (started_) zlog_fini();
    Capture::Clear();
  }
  ZlogSession(const ZlogSession &) = delete;
  ZlogSession &operator=(const ZlogSession &) = delete;

  bool started() const { return started_; }
  const TempDir &dir() const { return dir_; }
  std::string File(const std::string &name) const { return dir_.File(name); }
  const std::string &conf_path() const { return conf_path_; }
  std::string Diagnostics() const { return ReadTextFile(dir_.File("error.log")); }
  // Writes a new configuration over the old one (for zlog_reload).
  void Rewrite(const std::string &conf_text) const {
    WriteTextFile(conf_path_, WithDir(conf_text, dir_.path()));
  }

 private:
  TempDir dir_;
  ScopedEnv error_log_;
  std::string conf_path_;
  bool started_ = false;
};

// The user a deployed worker runs as: nobody when the tests run as root (root ignores file
// modes, so only another user sees what a php-fpm worker sees), else the tests' own user.
struct WorkerUser {
  uid_t uid;
  gid_t gid;
};

inline WorkerUser TheWorkerUser() {
  if (geteuid() != 0) return {geteuid(), getegid()};
  const struct passwd *nobody = getpwnam("nobody");
  return nobody != nullptr ? WorkerUser{nobody->pw_uid, nobody->pw_gid} : WorkerUser{65534, 65534};
}

// In a child process: becomes the worker user for good; false when that fails.
inline bool BecomeWorkerUser() {
  if (geteuid() != 0) return true;
  WorkerUser user = TheWorkerUser();
  return setgroups(0, nullptr) == 0 && setgid(user.gid) == 0 && setuid(user.uid) == 0;
}

// A service's files as deployed: the folder and its configuration "zlog.conf" belong to the
// tests' user and the worker can only read them (0644; 0444 when the tests do not run as
// root, so that the worker, then the owner, cannot open it for writing either); the log
// folder "logs" belongs to the worker. In a configuration "@DIR@" names the folder and
// "@LOGS@" the log folder.
class ServiceDir {
 public:
  ServiceDir() {
    WorkerUser worker = TheWorkerUser();
    EXPECT_EQ(chmod(dir_.path().c_str(), 0755), 0);
    EXPECT_EQ(mkdir(Log("").c_str(), 0755), 0);
    EXPECT_EQ(chown(Log("").c_str(), worker.uid, worker.gid), 0);
  }
  ServiceDir(const ServiceDir &) = delete;
  ServiceDir &operator=(const ServiceDir &) = delete;

  void WriteConf(const std::string &text) const {
    std::string expanded = WithDir(text, dir_.path());
    for (size_t at = expanded.find("@LOGS@"); at != std::string::npos;
         at = expanded.find("@LOGS@", at)) {
      expanded.replace(at, 6, Log(""));
    }
    chmod(conf().c_str(), 0600);
    WriteTextFile(conf(), expanded);
    EXPECT_EQ(chmod(conf().c_str(), geteuid() == 0 ? 0644 : 0444), 0);
  }
  std::string conf() const { return dir_.File("zlog.conf"); }
  std::string File(const std::string &name) const { return dir_.File(name); }
  // A file of the log folder; "" names the folder itself.
  std::string Log(const std::string &name) const {
    return dir_.File("logs") + (name.empty() ? "" : "/" + name);
  }

 private:
  TempDir dir_;
};

// An empty file of the worker user's, mode 0600 (a file the worker made); true when made.
inline bool MakeWorkerFile(const std::string &path) {
  WorkerUser worker = TheWorkerUser();
  WriteTextFile(path, "");
  return chmod(path.c_str(), 0600) == 0 && chown(path.c_str(), worker.uid, worker.gid) == 0;
}

// The owner of path; -1 when it cannot be looked at.
inline uid_t OwnerOf(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_uid : static_cast<uid_t>(-1);
}

// The README's logrotate stanza for the file readme_path (such as /var/log/kelu/kelu.log), its
// lines as they stand without the indentation of a list item, with readme_path replaced by path
// and the pool's "www-data www-data" by the worker user and group; "" when the README has none.
inline std::string ReadmeLogrotateStanza(const std::string &readme_path,
                                         const std::string &path) {
  const struct passwd *user = getpwuid(TheWorkerUser().uid);
  const struct group *group = getgrgid(TheWorkerUser().gid);
  if (user == nullptr || group == nullptr) return "";
  const std::string worker = std::string(user->pw_name) + " " + group->gr_name;
  std::string stanza, indent;
  bool inside = false;
  for (const std::string &line :
       SplitLines(ReadTextFile(std::string(KELU_TEST_SOURCE_DIR) + "/../../README.md"))) {
    size_t text = line.find_first_not_of(' ');
    if (!inside && text != std::string::npos && line.substr(text) == readme_path + " {") {
      inside = true;
      indent = line.substr(0, text);
      stanza = path + " {\n";
      continue;
    }
    if (!inside) continue;
    std::string body =
        line.compare(0, indent.size(), indent) == 0 ? line.substr(indent.size()) : line;
    for (size_t at = body.find("www-data www-data"); at != std::string::npos;
         at = body.find("www-data www-data", at)) {
      body.replace(at, 17, worker);
      at += worker.size();
    }
    stanza += body + "\n";
    if (body == "}") return stanza;
  }
  return "";
}

enum class RunAs { kTestUser, kWorkerUser };

// A process of its own: a child that starts its engine on conf, runs body and ends (exit
// status 0 when both went well). The caller's engine must be finished before, so that the
// child does not share it.
template <class Body>
pid_t StartProcess(const std::string &conf, Body body, RunAs who = RunAs::kTestUser) {
  pid_t child = fork();
  if (child == 0) {
    if (who == RunAs::kWorkerUser && !BecomeWorkerUser()) _exit(2);
    int rc = zlog_init(conf.c_str());
    if (rc == 0) {
      body();
      zlog_fini();
    }
    _exit(rc == 0 ? 0 : 1);
  }
  return child;
}

inline bool EndsWell(pid_t child) {
  int status = 0;
  return waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace kelu::test

#endif

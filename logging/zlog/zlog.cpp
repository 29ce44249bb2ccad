// The engine's environment and its public functions: one configuration at a time under a
// read-write lock (read by the logging calls, written by init, reload, fini and the category
// and record tables), categories that keep their address for the whole process, and the
// default category of the dzlog calls.
#include "zlog.h"

#include <pthread.h>
#include <sys/time.h>

#include <atomic>
#include <bitset>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "zc_profile.h"
#include "zc_util.h"
#include "zlog_conf.h"
#include "zlog_format.h"
#include "zlog_memlog.h"
#include "zlog_output.h"
#include "zlog_rotate.h"
#include "zlog_rule.h"
#include "zlog_start_report.h"
#include "zlog_thread.h"

struct zlog_category_s {
  std::string name;
  std::vector<const kelu::zl::Rule *> rules;
  std::bitset<256> wanted;  // levels 0..255 that at least one of the rules accepts

  bool Wants(int level) const {
    if (level >= 0 && level < 256) return wanted[static_cast<size_t>(level)];
    for (const kelu::zl::Rule *rule : rules) {
      if (rule->AcceptsLevel(level)) return true;
    }
    return false;
  }
};

namespace kelu::zl {

namespace {

// zlog's own marker for the reload that "reload conf period" triggers.
const char *const kAutoReload = reinterpret_cast<const char *>(static_cast<intptr_t>(-1));

// The rule line of memory-log mode; empty while zlog runs from a configuration file.
// Guarded by the environment lock.
char zlog_memory_log_rule[512];

struct Env {
  pthread_rwlock_t lock = PTHREAD_RWLOCK_INITIALIZER;
  // Held by every writer around its write lock, so that a fork can wait for the writers
  // without waiting for the write lock, which a stream of logging calls may hold off.
  pthread_mutex_t writer = PTHREAD_MUTEX_INITIALIZER;
  bool is_init = false;
  int init_version = 0;
  uint64_t conf_version = 0;
  std::unique_ptr<Conf> conf;
  // Categories are never freed: a handle kept past zlog_fini stays harmless, and the same
  // name gives the same handle after a new start.
  std::map<std::string, std::unique_ptr<zlog_category_s>, std::less<>> categories;
  zlog_category_s *default_category = nullptr;
  std::map<std::string, zlog_record_fn, std::less<>> records;
  std::atomic<uint64_t> log_count{0};
};

Env &TheEnv() {
  static Env *env = new Env;  // lives as long as the process, exit handlers included
  return *env;
}

// The environment lock for one call: shared by the logging calls, exclusive for the calls
// that change the configuration or the tables.
class EnvLock {
 public:
  enum Mode { kRead, kWrite };
  EnvLock(Env &env, Mode mode) : env_(env), mode_(mode) {
    if (mode_ == kWrite) pthread_mutex_lock(&env_.writer);
    int rc = mode == kRead ? pthread_rwlock_rdlock(&env_.lock) : pthread_rwlock_wrlock(&env_.lock);
    ok_ = rc == 0;
    if (!ok_) zc_error("pthread_rwlock_%slock fail, rc[%d]", mode == kRead ? "rd" : "wr", rc);
  }
  ~EnvLock() {
    if (ok_) pthread_rwlock_unlock(&env_.lock);
    if (mode_ == kWrite) pthread_mutex_unlock(&env_.writer);
  }
  EnvLock(const EnvLock &) = delete;
  EnvLock &operator=(const EnvLock &) = delete;
  bool ok() const { return ok_; }

 private:
  Env &env_;
  Mode mode_;
  bool ok_;
};

// Before a fork: no writer is inside, so the configuration and the tables are whole. The
// logging calls that other threads are in hold read locks, which do not pass to the child.
void LockEnvForFork() { pthread_mutex_lock(&TheEnv().writer); }
void UnlockEnvAfterFork() { pthread_mutex_unlock(&TheEnv().writer); }
void ResetEnvInChild() {
  Env &env = TheEnv();
  env.lock = PTHREAD_RWLOCK_INITIALIZER;
  pthread_mutex_unlock(&env.writer);
}

// The fork handlers of every process-local lock, inner locks first.
void RegisterForkHandlersOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    RegisterLocalTimeForkLocks();
    RegisterThreadKeyForkLocks();
    RegisterPipeForkLocks();
    RegisterRotationForkLocks();
    RegisterMemoryLogForkLocks();
    RegisterForkLocks(LockEnvForFork, UnlockEnvAfterFork, ResetEnvInChild);
  });
}

class ReadLock : public EnvLock {
 public:
  explicit ReadLock(Env &env) : EnvLock(env, kRead) {}
};

class WriteLock : public EnvLock {
 public:
  explicit WriteLock(Env &env) : EnvLock(env, kWrite) {}
};

// No C++ exception leaves the C interface: an allocation failure inside becomes the
// function's failure result.
template <typename Result, typename Body>
Result Guarded(Result failure, Body body) {
  try {
    return body();
  } catch (...) {
    zc_error("out of memory");
    return failure;
  }
}

void ReportNotInit() { zc_error("never call zlog_init() or dzlog_init() before"); }

void AssignRules(zlog_category_s &category, const Conf *conf) {
  category.rules.clear();
  category.wanted.reset();
  if (conf == nullptr) return;
  bool named = false;
  for (const auto &rule : conf->rules) named = named || rule->NamesCategory(category.name);
  for (const auto &rule : conf->rules) {
    if (rule->IsWildcard() || rule->NamesCategory(category.name) ||
        (rule->IsFallback() && !named)) {
      category.rules.push_back(rule.get());
    }
  }
  for (size_t level = 0; level < category.wanted.size(); ++level) {
    for (const Rule *rule : category.rules) {
      if (rule->AcceptsLevel(static_cast<int>(level))) {
        category.wanted.set(level);
        break;
      }
    }
  }
}

void AssignAllRules(Env &env) {
  for (auto &entry : env.categories) AssignRules(*entry.second, env.conf.get());
}

zlog_category_s *FindOrAddCategory(Env &env, const char *name) {
  auto found = env.categories.find(name);
  if (found != env.categories.end()) return found->second.get();
  auto category = std::make_unique<zlog_category_s>();
  category->name = name;
  AssignRules(*category, env.conf.get());
  zlog_category_s *added = category.get();
  env.categories.emplace(category->name, std::move(category));
  return added;
}

// Holds the write lock.
void InstallConf(Env &env, std::unique_ptr<Conf> conf) {
  std::unique_ptr<Conf> old = std::move(env.conf);
  env.conf = std::move(conf);
  AssignAllRules(env);
  ++env.conf_version;
  env.log_count.store(0);
  // old goes here, closing its files: no logging call can be inside it under the write lock.
}

// Holds the write lock. Tables and configuration go; the key too if no thread uses it.
void FiniInner(Env &env) {
  std::memset(zlog_memory_log_rule, 0, sizeof zlog_memory_log_rule);
  env.conf.reset();
  AssignAllRules(env);
  env.default_category = nullptr;
  env.records.clear();
  env.is_init = false;
  ReleaseThreadKeyIfUnused();
}

// Holds the write lock.
int InitInner(Env &env, std::unique_ptr<Conf> (*build)(const char *), const char *argument) {
  if (env.init_version == 0) {
    if (!InitThreadKeyOnce()) {
      FiniInner(env);
      return -1;
    }
    env.init_version = 1;
  }
  std::unique_ptr<Conf> conf = build(argument);
  if (!conf) {
    FiniInner(env);
    return -1;
  }
  InstallConf(env, std::move(conf));
  ++env.init_version;
  env.is_init = true;
  return 0;
}

int ReloadInner(Env &env, const char *path) {
  if (!env.is_init) {
    ReportNotInit();
    return -1;
  }
  if (path == kAutoReload) {
    // Another caller may have reloaded already; an unchanged file is not read again.
    uint64_t period = env.conf->reload_period;
    if (period == 0 || env.log_count.load() < period) return 0;
    env.log_count.store(0);
    if (ConfFileUnchanged(*env.conf)) return 0;
    path = nullptr;
  }
  std::unique_ptr<Conf> conf;
  if (zlog_memory_log_rule[0] != '\0') {
    // Memory-log mode rebuilds its one rule; the path plays no part.
    conf = BuildConfWithRule(zlog_memory_log_rule);
    if (!conf) zc_error("zlog_conf_new_with_rule fail");
  } else {
    std::string current = env.conf->file;
    conf = LoadConf(path != nullptr ? path : current.c_str());
  }
  if (!conf) {
    zc_error("zlog_reload fail, the running configuration is kept");
    return -1;
  }
  InstallConf(env, std::move(conf));
  zc_debug("------zlog_reload success------");
  return 0;
}

void RefreshBuffers(ThreadBuffers &thread, const Env &env) {
  if (thread.conf_version == env.conf_version) return;
  size_t min = static_cast<size_t>(env.conf->buffer_min);
  size_t max = static_cast<size_t>(env.conf->buffer_max);
  thread.message.SetLimits(min, max);
  thread.line.SetLimits(min, max);
  thread.path.SetLimits(256, kMaxPathLength + 1);
  thread.archive.SetLimits(256, kMaxPathLength + 1);
  thread.conf_version = env.conf_version;
}

struct CallSite {
  const char *file;
  size_t file_length;
  const char *function;
  size_t function_length;
  long line;
  int level;
};

// Holds the read lock. Returns whether the configuration asks for an automatic reload.
bool OutputEvent(Env &env, zlog_category_s *category, const CallSite &site, Event &event) {
  if (!category->Wants(site.level)) return false;
  ThreadBuffers *thread = FetchThreadBuffers();
  if (thread == nullptr) return false;
  RefreshBuffers(*thread, env);
  event.category = category->name;
  event.file = std::string_view(site.file, site.file != nullptr ? site.file_length : 0);
  event.function =
      std::string_view(site.function, site.function != nullptr ? site.function_length : 0);
  event.line = site.line;
  event.level = &env.conf->levels.Get(site.level);
  event.thread = thread;
  gettimeofday(&event.now, nullptr);
  bool failed = false;  // and reported by its output
  for (const Rule *rule : category->rules) {
    if (rule->AcceptsLevel(site.level) && rule->Write(event) == -1) failed = true;
  }
  if (failed) {
    zc_error("zlog_output fail, srcfile[%s], srcline[%ld]",
             site.file != nullptr ? site.file : "(null)", site.line);
  }
  uint64_t period = env.conf->reload_period;
  return period != 0 && env.log_count.fetch_add(1) + 1 >= period;
}

void LogGuarded(zlog_category_s *category, const CallSite &site, Event &event);

// A line of the engine's own.
void LogNotice(zlog_category_s *category, const CallSite &site, const char *format, ...) {
  va_list args;
  va_start(args, format);
  Event event;
  event.format = format;
  event.args = &args;
  event.engine_notice = true;
  LogGuarded(category, site, event);
  va_end(args);
}

// category null: the default category of the dzlog calls.
void Log(zlog_category_s *category, const CallSite &site, Event &event) {
  Env &env = TheEnv();
  bool reload = false;
  {
    ReadLock lock(env);
    if (!lock.ok()) return;
    if (!env.is_init) {
      ReportNotInit();
      return;
    }
    if (category == nullptr) category = env.default_category;
    if (category == nullptr) {
      zc_error("zlog_default_category is null, dzlog_init() or dzlog_set_category() is not "
               "called above");
      return;
    }
    reload = OutputEvent(env, category, site, event);
  }
  if (reload) {
    WriteLock lock(env);
    if (lock.ok()) ReloadInner(env, kAutoReload);
  }
  if (event.notice != nullptr) {
    static const char kFile[] = "zlog_rotate.cpp", kFunction[] = "RotationHold";
    LogNotice(category, CallSite{kFile, sizeof kFile - 1, kFunction, sizeof kFunction - 1, 0,
                                 ZLOG_LEVEL_WARN},
              "%s", event.notice);
  }
}

void LogGuarded(zlog_category_s *category, const CallSite &site, Event &event) {
  Guarded(0, [&] {
    Log(category, site, event);
    return 0;
  });
}

// The logging calls; category null: the default category of the dzlog calls.
void LogFormatted(zlog_category_s *category, const CallSite &site, const char *format,
                  va_list args) {
  va_list copy;  // args stays untouched for the caller
  va_copy(copy, args);
  Event event;
  event.format = format;
  event.args = &copy;
  LogGuarded(category, site, event);
  va_end(copy);
}

void LogDump(zlog_category_s *category, const CallSite &site, const void *buffer,
             size_t length) {
  Event event;
  event.is_dump = true;
  event.dump = buffer;
  event.dump_length = length;
  LogGuarded(category, site, event);
}

struct StartMode {
  std::unique_ptr<Conf> (*build)(const char *);
  const char *default_category;  // for the dzlog calls; null for none
  bool memory_log;               // argument is the memory-log rule line
};

void ReportStart(const char *level, const char *path) {
  zc_debug("------zlog_init start------");
  zc_debug("------compile time[%s %s], version[1.2.8]------", __DATE__, __TIME__);
  if (level != nullptr) zc_debug("------loglevel[%s], logpath[%s]------", level, path);
}

// zlog_init and its relatives: a start from mode.build(argument).
int Start(const StartMode &mode, const char *argument) {
  return Guarded(-1, [&] {
    RegisterForkHandlersOnce();
    Env &env = TheEnv();
    WriteLock lock(env);
    if (!lock.ok()) return -1;
    if (env.is_init) {
      zc_error("already init, use zlog_reload pls");
      return -1;
    }
    if (mode.memory_log) {
      int n = std::snprintf(zlog_memory_log_rule, sizeof zlog_memory_log_rule, "%s", argument);
      if (n < 0 || static_cast<size_t>(n) >= sizeof zlog_memory_log_rule) {
        std::memset(zlog_memory_log_rule, 0, sizeof zlog_memory_log_rule);
        zc_error("------zlog_init fail end------");
        return -1;
      }
      zc_debug("------rule[%s]------", zlog_memory_log_rule);
    }
    if (InitInner(env, mode.build, argument) != 0) {  // empties the rule text on failure
      zc_error("%s[%s] fail", mode.memory_log ? "zlog_init_inner_with_rule" : "zlog_init_inner",
               argument != nullptr ? argument : "(null)");
      zc_error("------zlog_init fail end------");
      return -1;
    }
    const char *default_category = mode.default_category;
    if (default_category != nullptr) {
      env.default_category = FindOrAddCategory(env, default_category);
    }
    zc_debug("------zlog_init success end------");
    return 0;
  });
}

}  // namespace

zlog_record_fn FindRecord(std::string_view name) {
  Env &env = TheEnv();  // the caller holds the read lock
  auto found = env.records.find(name);
  return found != env.records.end() ? found->second : nullptr;
}

}  // namespace kelu::zl

using namespace kelu::zl;

int zlog_init(const char *confpath) {
  StartReport report;
  ReportStart(nullptr, nullptr);
  return report.End(Start(StartMode{LoadConf, nullptr, false}, confpath));
}

int dzlog_init(const char *confpath, const char *cname) {
  StartReport report;
  ReportStart(nullptr, nullptr);
  if (cname == nullptr) {
    zc_error("dzlog_init needs a category name");
    return report.End(-1);
  }
  return report.End(Start(StartMode{LoadConf, cname, false}, confpath));
}

int zlog_reload(const char *confpath) {
  return Guarded(-1, [&] {
    Env &env = TheEnv();
    zc_debug("------zlog_reload start------");
    WriteLock lock(env);
    if (!lock.ok()) return -1;
    return ReloadInner(env, confpath);
  });
}

void zlog_fini(void) {
  Guarded(0, [] {
    Env &env = TheEnv();
    zc_debug("------zlog_fini start------");
    WriteLock lock(env);
    if (!lock.ok()) return 0;
    if (!env.is_init) {
      zc_error("before finish, must zlog_init() or dzlog_init() first");
      return 0;
    }
    FiniInner(env);
    zc_debug("------zlog_fini end------");
    return 0;
  });
}

zlog_category_t *zlog_get_category(const char *cname) {
  return Guarded<zlog_category_t *>(nullptr, [&]() -> zlog_category_t * {
    Env &env = TheEnv();
    if (cname == nullptr) {
      zc_error("zlog_get_category needs a category name");
      return nullptr;
    }
    WriteLock lock(env);
    if (!lock.ok()) return nullptr;
    if (!env.is_init) {
      ReportNotInit();
      return nullptr;
    }
    return FindOrAddCategory(env, cname);
  });
}

int dzlog_set_category(const char *cname) {
  return Guarded(-1, [&] {
    Env &env = TheEnv();
    if (cname == nullptr) return -1;
    WriteLock lock(env);
    if (!lock.ok()) return -1;
    if (!env.is_init) {
      ReportNotInit();
      return -1;
    }
    env.default_category = FindOrAddCategory(env, cname);
    return 0;
  });
}

void vzlog(zlog_category_t *category, const char *file, size_t filelen, const char *func,
           size_t funclen, long line, int level, const char *format, va_list args) {
  if (category == nullptr) return;
  LogFormatted(category, CallSite{file, filelen, func, funclen, line, level}, format, args);
}

void zlog(zlog_category_t *category, const char *file, size_t filelen, const char *func,
          size_t funclen, long line, int level, const char *format, ...) {
  va_list args;
  va_start(args, format);
  vzlog(category, file, filelen, func, funclen, line, level, format, args);
  va_end(args);
}

void hzlog(zlog_category_t *category, const char *file, size_t filelen, const char *func,
           size_t funclen, long line, int level, const void *buf, size_t buflen) {
  if (category == nullptr) return;
  LogDump(category, CallSite{file, filelen, func, funclen, line, level}, buf, buflen);
}

void vdzlog(const char *file, size_t filelen, const char *func, size_t funclen, long line,
            int level, const char *format, va_list args) {
  LogFormatted(nullptr, CallSite{file, filelen, func, funclen, line, level}, format, args);
}

void dzlog(const char *file, size_t filelen, const char *func, size_t funclen, long line,
           int level, const char *format, ...) {
  va_list args;
  va_start(args, format);
  vdzlog(file, filelen, func, funclen, line, level, format, args);
  va_end(args);
}

void hdzlog(const char *file, size_t filelen, const char *func, size_t funclen, long line,
            int level, const void *buf, size_t buflen) {
  LogDump(nullptr, CallSite{file, filelen, func, funclen, line, level}, buf, buflen);
}

int zlog_put_mdc(const char *key, const char *value) {
  return Guarded(-1, [&] {
    if (key == nullptr || value == nullptr) return -1;
    Env &env = TheEnv();
    ReadLock lock(env);
    if (!lock.ok()) return -1;
    if (!env.is_init) {
      ReportNotInit();
      return -1;
    }
    ThreadBuffers *thread = FetchThreadBuffers();
    if (thread == nullptr) return -1;
    thread->mdc.Put(key, value);
    return 0;
  });
}

namespace {

// The calling thread's MDC for the readers; null (reported) when there is none to read.
Mdc *ExistingMdc(Env &env) {
  if (!env.is_init) {
    ReportNotInit();
    return nullptr;
  }
  bool key_exists;
  ThreadBuffers *thread = LookupThreadBuffers(&key_exists);
  if (!key_exists) {
    zc_error("never call zlog_init() or dzlog_init() before(2)");
    return nullptr;
  }
  return thread != nullptr ? &thread->mdc : nullptr;
}

}  // namespace

char *zlog_get_mdc(const char *key) {
  if (key == nullptr) return nullptr;
  Env &env = TheEnv();
  ReadLock lock(env);
  if (!lock.ok()) return nullptr;
  Mdc *mdc = ExistingMdc(env);
  const std::string *value = mdc != nullptr ? mdc->Get(key) : nullptr;
  return value != nullptr ? const_cast<char *>(value->c_str()) : nullptr;
}

void zlog_remove_mdc(const char *key) {
  if (key == nullptr) return;
  Env &env = TheEnv();
  ReadLock lock(env);
  if (!lock.ok()) return;
  Mdc *mdc = ExistingMdc(env);
  if (mdc != nullptr) mdc->Remove(key);
}

void zlog_clean_mdc(void) {
  Env &env = TheEnv();
  ReadLock lock(env);
  if (!lock.ok()) return;
  Mdc *mdc = ExistingMdc(env);
  if (mdc != nullptr) mdc->Clean();
}

int zlog_set_record(const char *rname, zlog_record_fn record) {
  return Guarded(-1, [&] {
    if (rname == nullptr || *rname == '\0' || record == nullptr) {
      zc_error("zlog_set_record needs a name and a function");
      return -1;
    }
    Env &env = TheEnv();
    WriteLock lock(env);
    if (!lock.ok()) return -1;
    if (!env.is_init) {
      ReportNotInit();
      return -1;
    }
    env.records[rname] = record;
    return 0;
  });
}

void zlog_profile(void) {
  Guarded(0, [] {
    Env &env = TheEnv();
    ReadLock lock(env);
    if (!lock.ok()) return 0;
    zc_warn("------zlog_profile start------");
    zc_warn("is init:[%d]", env.is_init ? 1 : 0);
    zc_warn("init version:[%d]", env.init_version);
    if (env.conf) ProfileConf(*env.conf);
    for (const auto &entry : env.categories) {
      zc_warn("--category[%s] rules[%zu]--", entry.first.c_str(), entry.second->rules.size());
    }
    if (env.default_category != nullptr) {
      zc_warn("--default_category[%s]--", env.default_category->name.c_str());
    }
    for (const auto &entry : env.records) zc_warn("--record[%s]--", entry.first.c_str());
    ThreadKeyState key = CurrentThreadKeyState();
    zc_warn("thread key exist:[%d] thread buffers:[%d]", key.exists ? 1 : 0, key.buffer_count);
    zc_warn("------zlog_profile end------");
    return 0;
  });
}

zlog_conf_t *zlog_conf_new(const char *confpath) {
  return Guarded<zlog_conf_t *>(nullptr, [&] { return LoadConf(confpath).release(); });
}

zlog_conf_t *zlog_conf_new_with_rule(const char *rule_line) {
  return Guarded<zlog_conf_t *>(nullptr, [&] { return BuildConfWithRule(rule_line).release(); });
}

void zlog_conf_del(zlog_conf_t *conf) { delete conf; }

namespace {

// The level and path are spliced into a rule line: a path holding a rule's separators or
// control characters, or a level that no stock level has, would make another rule.
bool MemoryLogArgumentsFit(const char *level, const char *path) {
  if (level == nullptr || path == nullptr) {
    zc_error("zlog_init_memory_log needs a level and a path");
    return false;
  }
  if (LevelList().Find(level) == nullptr) {
    zc_error("level[%s] is not a level name", level);
    return false;
  }
  for (const char *c = path; *c != '\0'; ++c) {
    unsigned char u = static_cast<unsigned char>(*c);
    if (*c == ',' || *c == ';' || *c == '#' || u < 0x20 || u == 0x7f) {
      zc_error("logpath[%s] holds ',', ';', '#' or a control character", path);
      return false;
    }
  }
  return true;
}

}  // namespace

int zlog_init_memory_log(const char *level, const char *path) {
  StartReport report;
  ReportStart(level != nullptr ? level : "(null)", path != nullptr ? path : "(null)");
  if (!MemoryLogArgumentsFit(level, path)) {
    zc_error("------zlog_init fail end------");
    return report.End(-1);
  }
  return report.End(Guarded(-1, [&] {
    std::string rule = std::string("kelu_category.") + level + "  >memlog:" + path;
    return Start(StartMode{BuildConfWithRule, nullptr, true}, rule.c_str());
  }));
}

#include "zlog_output.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>

#include "zc_open.h"
#include "zc_profile.h"
#include "zc_util.h"
#include "zlog_rotate.h"

namespace kelu::zl {

namespace {

class StreamOutput : public Output {
 public:
  explicit StreamOutput(int fd) : fd_(fd) {}
  int Write(Event &event, const Pattern &format) override {
    std::string_view line;
    if (!FormatLine(event, format, &line)) return -1;
    if (!WriteAll(fd_, line)) {
      zc_error("write to fd[%d] fail, errno[%d]", fd_, errno);
      return -1;
    }
    return 0;
  }
  std::string Describe() const override { return fd_ == STDOUT_FILENO ? ">stdout" : ">stderr"; }

 private:
  int fd_;
};

class FileOutput : public Output {
 public:
  explicit FileOutput(FileOptions options) : options_(std::move(options)) {
    flags_ = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | (options_.synchronous ? O_SYNC : 0);
    if (options_.rotation && options_.rotation->limit == 0) options_.rotation.reset();
  }
  ~FileOutput() override {
    if (fd_ >= 0) close(fd_);
  }

  bool OpenStatic(std::string *error) {
    static_path_ = options_.path->ExpandConstant();
    if (static_path_.size() > kMaxPathLength) {
      *error = "file path too long [" + static_path_ + "]";
      return false;
    }
    MakeFolders(static_path_.c_str());
    ForeignLink link;
    fd_ = OpenNoForeignLink(static_path_.c_str(), flags_, options_.perms, &link);
    if (fd_ < 0) {
      *error = "open file[" + static_path_ + "] fail, errno[" + std::to_string(errno) + "]";
      if (!link.path.empty()) *error += ": " + DescribeForeignLink(link);
      return false;
    }
    static_ = std::make_unique<StaticFile>(options_.rotation.get(), options_.rotater,
                                           static_path_, fd_, flags_, options_.perms);
    return true;
  }

  // Folders before the first conversion specifier; the expanded ones are made on demand.
  void CreateDynamicPrefix() const {
    const std::string &source = options_.path->source();
    MakeFolders(source.substr(0, source.find('%')).c_str());
  }

  int Write(Event &event, const Pattern &format) override {
    std::string_view line;
    if (!FormatLine(event, format, &line)) return -1;
    return fd_ >= 0 ? WriteStatic(event, line) : WriteDynamic(event, line);
  }

  std::string Describe() const override {
    return std::string(options_.synchronous ? "-\"" : "\"") + options_.path->source() + "\"" +
           (options_.rotation ? ", " + options_.rotation->source : "");
  }

 private:
  // The failure of a line: reported, or counted for the next report.
  int Failed(const char *what, const char *path, int error) {
    return failures_.Report("lines", "%s file[%s] fail, errno[%d]", what, path, error);
  }

  int WriteStatic(Event &event, std::string_view line) {
    static_->BeforeLine(event);
    if (!static_->Takes(event, line.size())) return 0;  // dropped, reported once
    if (!WriteAll(fd_, line)) return Failed("write", static_path_.c_str(), errno);
    SyncIfDue(fd_);
    static_->AfterLine(event, line.size());
    return 0;
  }

  int WriteDynamic(Event &event, std::string_view line) {
    LineBuffer &path = event.thread->path;
    path.Clear();
    if (!options_.path->Write(event, path)) return -1;
    if (path.truncated() || path.size() > kMaxPathLength) {
      zc_error("file path too long [%s]", path.data());
      return -1;
    }
    int fd = OpenOutputFile(path.data(), flags_, options_.perms, &event);
    if (fd < 0 && errno == ENOENT) {
      MakeFolders(path.data());
      fd = OpenOutputFile(path.data(), flags_, options_.perms, &event);
    }
    if (fd < 0) return Failed("open", path.data(), errno);
    int rc = 0;
    if (!WriteAll(fd, line)) {
      rc = Failed("write", path.data(), errno);
    } else {
      SyncIfDue(fd);
      if (options_.rotation) {
        RotateDynamicFile(*options_.rotation, *options_.rotater, dynamic_retry_, path.data(), fd,
                          flags_, options_.perms, event);
      }
    }
    close(fd);
    return rc;
  }

  void SyncIfDue(int fd) {
    uint64_t period = options_.fsync_period;
    if (period != 0 && (writes_.fetch_add(1) + 1) % period == 0) fsync(fd);
  }

  FileOptions options_;
  int flags_;
  int fd_ = -1;  // static files only
  std::string static_path_;
  std::unique_ptr<StaticFile> static_;  // static files only
  RetryWait dynamic_retry_;                // dynamic files with rotation only
  std::atomic<uint64_t> writes_{0};
  FailureReport failures_;
};

// Writes to a pipe whose reader may be gone: EPIPE instead of a SIGPIPE that would end the
// process. The signal is blocked for this thread only and a SIGPIPE raised by this write is
// taken back before the mask is restored.
bool WriteToPipe(int fd, std::string_view text) {
  sigset_t pipe_signal, old_mask;
  sigemptyset(&pipe_signal);
  sigaddset(&pipe_signal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_signal, &old_mask);
  sigset_t pending;
  sigpending(&pending);
  bool was_pending = sigismember(&pending, SIGPIPE) == 1;
  bool ok = WriteAll(fd, text);
  int saved = errno;
  if (!ok && saved == EPIPE && !was_pending) {
    struct timespec no_wait = {0, 0};
    sigtimedwait(&pipe_signal, nullptr, &no_wait);
  }
  pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  errno = saved;
  return ok;
}

// One pipe write at a time in the process, so that lines longer than PIPE_BUF stay whole.
pthread_mutex_t pipe_mutex = PTHREAD_MUTEX_INITIALIZER;

class PipeOutput : public Output {
 public:
  PipeOutput(std::string command, FILE *pipe) : command_(std::move(command)), pipe_(pipe) {}
  ~PipeOutput() override { pclose(pipe_); }

  int Write(Event &event, const Pattern &format) override {
    std::string_view line;
    if (!FormatLine(event, format, &line)) return -1;
    pthread_mutex_lock(&pipe_mutex);
    bool ok = WriteToPipe(fileno(pipe_), line);
    int saved = errno;
    pthread_mutex_unlock(&pipe_mutex);
    if (!ok) {
      zc_error("write to pipe[%s] fail, errno[%d]", command_.c_str(), saved);
      return -1;
    }
    return 0;
  }
  std::string Describe() const override { return "| " + command_; }

 private:
  std::string command_;
  FILE *pipe_;
};

class SyslogOutput : public Output {
 public:
  SyslogOutput(int facility, std::string name) : facility_(facility), name_(std::move(name)) {}
  int Write(Event &event, const Pattern &format) override {
    std::string_view line;
    if (!FormatLine(event, format, &line)) return -1;
    // No openlog: the process's own syslog settings stay as they are.
    syslog(facility_ | event.level->syslog_priority, "%s", event.thread->line.data());
    return 0;
  }
  std::string Describe() const override { return ">syslog, " + name_; }

 private:
  int facility_;
  std::string name_;
};

constexpr NamedValue kFacilities[] = {
    {"LOG_USER", LOG_USER},     {"LOG_LOCAL0", LOG_LOCAL0}, {"LOG_LOCAL1", LOG_LOCAL1},
    {"LOG_LOCAL2", LOG_LOCAL2}, {"LOG_LOCAL3", LOG_LOCAL3}, {"LOG_LOCAL4", LOG_LOCAL4},
    {"LOG_LOCAL5", LOG_LOCAL5}, {"LOG_LOCAL6", LOG_LOCAL6}, {"LOG_LOCAL7", LOG_LOCAL7}};

class RecordOutput : public Output {
 public:
  RecordOutput(std::string name, std::unique_ptr<Pattern> path)
      : name_(std::move(name)), path_(std::move(path)) {}

  int Write(Event &event, const Pattern &format) override {
    zlog_record_fn record = FindRecord(name_);
    if (record == nullptr) {
      zc_error("no record function set for [$%s], call zlog_set_record", name_.c_str());
      return -1;
    }
    std::string_view line;
    if (!FormatLine(event, format, &line)) return -1;
    LineBuffer &path = event.thread->path;
    path.Clear();
    if (path_ && !path_->Write(event, path)) return -1;
    zlog_msg_t msg;
    msg.buf = event.thread->line.mutable_data();
    msg.len = line.size();
    msg.path = path.mutable_data() != nullptr ? path.mutable_data() : const_cast<char *>("");
    if (record(&msg) != 0) {
      zc_error("the record function of [$%s] failed", name_.c_str());
      return -1;
    }
    return 0;
  }

  std::string Describe() const override {
    return "$" + name_ + (path_ ? ", \"" + path_->source() + "\"" : "");
  }

 private:
  std::string name_;
  std::unique_ptr<Pattern> path_;
};

}  // namespace

void RegisterPipeForkLocks() { RegisterMutexForFork<&pipe_mutex>(); }

bool FailureReport::Due(uint64_t *failures) {
  constexpr int64_t kReportPeriodNs = 1'000'000'000;
  failures_.fetch_add(1);
  int64_t now = CoarseNow();
  int64_t next = next_at_.load(std::memory_order_relaxed);
  if (now < next || !next_at_.compare_exchange_strong(next, now + kReportPeriodNs)) return false;
  *failures = failures_.exchange(0);
  return true;
}

int FailureReport::Report(const char *counted, const char *format, ...) {
  uint64_t failures;
  if (!Due(&failures)) return kFailedUnreported;
  char text[2 * kMaxPathLength + 128];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (failures == 1) {
    zc_error("%s", text);
  } else {
    zc_error("%s; %llu %s failed since the last report", text,
             static_cast<unsigned long long>(failures), counted);
  }
  return -1;
}

bool WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t n = write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    text.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

bool FormatLine(Event &event, const Pattern &format, std::string_view *line) {
  LineBuffer &buffer = event.thread->line;
  if (event.line_holds != &format) {
    buffer.Clear();
    event.line_holds = nullptr;
    if (!format.Write(event, buffer)) {
      zc_error("zlog_format_gen_msg fail");
      return false;
    }
    event.line_holds = &format;
  }
  *line = buffer.view();
  return true;
}

std::unique_ptr<Output> NewStreamOutput(int fd) { return std::make_unique<StreamOutput>(fd); }

FileOptions::FileOptions() = default;
FileOptions::FileOptions(FileOptions &&) noexcept = default;
FileOptions::~FileOptions() = default;

std::unique_ptr<Output> NewFileOutput(FileOptions options, std::string *error) {
  bool is_static = options.path->IsConstant();
  auto output = std::make_unique<FileOutput>(std::move(options));
  if (!is_static) {
    output->CreateDynamicPrefix();
  } else if (!output->OpenStatic(error)) {
    return nullptr;
  }
  return output;
}

std::unique_ptr<Output> NewPipeOutput(const std::string &command, std::string *error) {
  FILE *pipe = popen(command.c_str(), "we");
  if (pipe == nullptr) {
    *error = "popen[" + command + "] fail, errno[" + std::to_string(errno) + "]";
    return nullptr;
  }
  return std::make_unique<PipeOutput>(command, pipe);
}

std::unique_ptr<Output> NewSyslogOutput(int facility, std::string facility_name) {
  return std::make_unique<SyslogOutput>(facility, std::move(facility_name));
}

int SyslogFacilityByName(std::string_view name) { return ValueByName(kFacilities, name); }

std::unique_ptr<Output> NewRecordOutput(std::string name, std::unique_ptr<Pattern> path) {
  return std::make_unique<RecordOutput>(std::move(name), std::move(path));
}

}  // namespace kelu::zl

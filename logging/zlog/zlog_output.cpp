#include "zlog_output.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "zc_profile.h"
#include "zc_util.h"

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
    fd_ = open(static_path_.c_str(), flags_, options_.perms);
    if (fd_ < 0) {
      *error = "open file[" + static_path_ + "] fail, errno[" + std::to_string(errno) + "]";
      return false;
    }
    return true;
  }

  int Write(Event &event, const Pattern &format) override {
    std::string_view line;
    if (!FormatLine(event, format, &line)) return -1;
    return fd_ >= 0 ? WriteStatic(event, line) : WriteDynamic(event, line);
  }

  std::string Describe() const override {
    return std::string(options_.synchronous ? "-\"" : "\"") + options_.path->source() + "\"";
  }

 private:
  int WriteStatic(Event &event, std::string_view line) {
    if (!WriteAll(fd_, line)) {
      zc_error("write file[%s] fail, errno[%d]", static_path_.c_str(), errno);
      return -1;
    }
    SyncIfDue(fd_);
    (void)event;
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
    int fd = open(path.data(), flags_, options_.perms);
    if (fd < 0) {
      zc_error("open file[%s] fail, errno[%d]", path.data(), errno);
      return -1;
    }
    int rc = 0;
    if (!WriteAll(fd, line)) {
      zc_error("write file[%s] fail, errno[%d]", path.data(), errno);
      rc = -1;
    } else {
      SyncIfDue(fd);
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
  std::atomic<uint64_t> writes_{0};
};

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

std::unique_ptr<Output> NewFileOutput(FileOptions options, std::string *error) {
  bool is_static = options.path->IsConstant();
  auto output = std::make_unique<FileOutput>(std::move(options));
  if (is_static && !output->OpenStatic(error)) return nullptr;
  return output;
}

std::unique_ptr<Output> NewRecordOutput(std::string name, std::unique_ptr<Pattern> path) {
  return std::make_unique<RecordOutput>(std::move(name), std::move(path));
}

}  // namespace kelu::zl

#include "zlog_memlog.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <map>

#include "zc_profile.h"
#include "zc_util.h"

namespace kelu::zl {

namespace {

constexpr int kErrorLevel = 100;
constexpr char kCutMarker[] = " ...[cut]\n";

struct MemoryLogHalves {
  char log_buf1[kMemoryLogHalf];  // the older half
  char log_buf2[kMemoryLogHalf];  // the current half, which lines are appended to
  size_t buf1_log_len = 0;
  size_t buf2_log_len = 0;
};

// Guards every pair of halves and the table (write mode only). Taken inside a logging call,
// so always after the environment lock.
pthread_rwlock_t memory_log_env_lock = PTHREAD_RWLOCK_INITIALIZER;

// Called with memory_log_env_lock held. Never freed: the halves outlive every configuration.
MemoryLogHalves &HalvesFor(const std::string &path) {
  static auto *table = new std::map<std::string, std::unique_ptr<MemoryLogHalves>>;
  std::unique_ptr<MemoryLogHalves> &halves = (*table)[path];
  if (!halves) halves = std::make_unique<MemoryLogHalves>();
  return *halves;
}

class LockHold {
 public:
  LockHold() {
    int rc = pthread_rwlock_wrlock(&memory_log_env_lock);
    ok_ = rc == 0;
    if (!ok_) zc_error("pthread_rwlock_wrlock fail, rc[%d]", rc);
  }
  ~LockHold() {
    if (!ok_) return;
    int rc = pthread_rwlock_unlock(&memory_log_env_lock);
    if (rc != 0) zc_error("pthread_rwlock_unlock fail, rc=[%d]", rc);
  }
  LockHold(const LockHold &) = delete;
  LockHold &operator=(const LockHold &) = delete;
  bool ok() const { return ok_; }

 private:
  bool ok_;
};

class MemoryLogOutput : public Output {
 public:
  MemoryLogOutput(std::string path, mode_t perms, MemoryLogHalves &halves)
      : path_(std::move(path)), perms_(perms), halves_(halves) {}

  int Write(Event &event, const Pattern &format) override {
    std::string_view line;
    if (!FormatLine(event, format, &line)) return -1;
    LockHold lock;
    if (!lock.ok()) return -1;
    bool cut = Keep(halves_, line);
    if (event.level->value != kErrorLevel) return 0;  // FATAL lines do not flush
    return Flush(halves_, line, cut);
  }

  std::string Describe() const override { return ">memlog:" + path_; }

 private:
  // Appends line to the current half, first moving the current half to the older one when the
  // line does not fit. A line longer than a half is kept as its head and a cut marker.
  // Returns whether the line was cut.
  static bool Keep(MemoryLogHalves &halves, std::string_view line) {
    if (line.size() > kMemoryLogHalf - halves.buf2_log_len) {
      std::memcpy(halves.log_buf1, halves.log_buf2, halves.buf2_log_len);
      halves.buf1_log_len = halves.buf2_log_len;
      halves.buf2_log_len = 0;
    }
    bool cut = line.size() > kMemoryLogHalf;
    size_t head = cut ? kMemoryLogHalf - (sizeof kCutMarker - 1) : line.size();
    std::memcpy(halves.log_buf2 + halves.buf2_log_len, line.data(), head);
    halves.buf2_log_len += head;
    if (cut) {
      std::memcpy(halves.log_buf2 + halves.buf2_log_len, kCutMarker, sizeof kCutMarker - 1);
      halves.buf2_log_len += sizeof kCutMarker - 1;
    }
    return cut;
  }

  // Appends both halves to the file and empties them once every byte is written. A line
  // that was cut in memory goes to the file whole.
  int Flush(MemoryLogHalves &halves, std::string_view line, bool cut) {
    int fd = open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, perms_);
    if (fd < 0) {
      zc_error("open file[%s] fail, errno[%d]", path_.c_str(), errno);
      return -1;
    }
    size_t current = halves.buf2_log_len;
    if (cut) current = 0;  // a cut line is alone in the current half
    bool ok = WriteAll(fd, std::string_view(halves.log_buf1, halves.buf1_log_len)) &&
              WriteAll(fd, std::string_view(halves.log_buf2, current)) &&
              (!cut || WriteAll(fd, line));
    if (!ok) {
      zc_error("write fail, errno[%d]", errno);
      close(fd);
      return -1;
    }
    if (close(fd) != 0) {
      zc_error("write fail, maybe cause by write, errno[%d]", errno);
      return -1;
    }
    halves.buf1_log_len = 0;
    halves.buf2_log_len = 0;
    return 0;
  }

  std::string path_;
  mode_t perms_;
  MemoryLogHalves &halves_;
};

}  // namespace

std::unique_ptr<Output> NewMemoryLogOutput(const std::string &path, mode_t perms,
                                           std::string *error) {
  if (path.size() > kMaxPathLength) {
    *error = "memory-log path longer than 1024 characters";
    return nullptr;
  }
  if (!path.empty()) {
    auto_create_dir(path.c_str());
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && st.st_size > 0) {
      int fd = open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
      if (fd >= 0) close(fd);
    }
  }
  LockHold lock;
  if (!lock.ok()) {
    *error = "the memory-log lock cannot be taken";
    return nullptr;
  }
  return std::make_unique<MemoryLogOutput>(path, perms, HalvesFor(path));
}

}  // namespace kelu::zl

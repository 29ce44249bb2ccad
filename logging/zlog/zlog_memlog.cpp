#include "zlog_memlog.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <vector>

#include "zc_open.h"
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

// A process's use of a memory-log file: a shared flock on an open file description of its
// own, held for the process's life from its first look at the file, so that another process
// starting on the same file (a new worker of a pool) leaves the lines in it alone. A child of
// fork shares its parent's description, and so its lock, until it starts a rule itself.
struct FileUse {
  int fd = -1;
  pid_t owner = 0;  // the process that opened fd
};

// A process's registration as a user of a memory-log path, made at rule creation whether or
// not the file exists yet: a shared open-file-description lock on one byte of the path's
// folder, at an offset made from the file's name, held for the process's life. A process
// that has started a rule but never written the file is a user too.
struct PathUse {
  int dir_fd = -1;
  pid_t owner = 0;
  off_t slot = 0;
};

struct MemoryLogPath {
  MemoryLogHalves halves;
  FileUse use;
  PathUse registration;
};

// Guards every pair of halves and the table. Taken inside a logging call, so always after the
// environment lock. Only ever taken for writing, so a mutex: unlike a write lock, which knows
// the thread that took it, it can be released in the child of a fork.
pthread_mutex_t memory_log_env_lock = PTHREAD_MUTEX_INITIALIZER;

// Every path's state, used with memory_log_env_lock held. Never freed: the halves and the file
// use outlive every configuration.
std::map<std::string, std::unique_ptr<MemoryLogPath>> &Paths() {
  static auto *table = new std::map<std::string, std::unique_ptr<MemoryLogPath>>;
  return *table;
}

MemoryLogPath &StateFor(const std::string &path) {
  std::unique_ptr<MemoryLogPath> &state = Paths()[path];
  if (!state) state = std::make_unique<MemoryLogPath>();
  return *state;
}

void LockMemoryLogs() { pthread_mutex_lock(&memory_log_env_lock); }
void UnlockMemoryLogs() { pthread_mutex_unlock(&memory_log_env_lock); }

// A child of fork starts with empty halves: the lines they held are its parent's, which its
// parent writes at its own ERROR line.
void EmptyHalvesInChild() {
  for (auto &entry : Paths()) {
    entry.second->halves.buf1_log_len = 0;
    entry.second->halves.buf2_log_len = 0;
  }
  UnlockMemoryLogs();
}

void LockShared(int fd) {
  while (flock(fd, LOCK_SH) != 0) {
    if (errno != EINTR) {
      zc_error("flock fd[%d] fail, errno[%d]", fd, errno);
      return;
    }
  }
}

// Whether held, opened by owner, is this process's own and names the file that fd names.
bool HeldByThisProcess(int held, pid_t owner, int fd) {
  return held >= 0 && owner == getpid() && SameFile(held, fd);
}

// Makes use name the file that fd names, with a description of this process's own.
void UseFile(FileUse &use, int fd) {
  if (HeldByThisProcess(use.fd, use.owner, fd)) return;
  if (use.fd >= 0) close(use.fd);  // a parent's description keeps the parent's lock
  use.fd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  use.owner = getpid();
  if (use.fd >= 0) LockShared(use.fd);
}

// The offset of path's file name among its folder's lock bytes: FNV-1a, kept below 2^62 so
// that the byte's end fits an off_t.
off_t NameSlot(const std::string &path) {
  size_t slash = path.rfind('/');
  uint64_t hash = 14695981039346656037ull;
  for (size_t i = slash == std::string::npos ? 0 : slash + 1; i < path.size(); ++i) {
    hash = (hash ^ static_cast<unsigned char>(path[i])) * 1099511628211ull;
  }
  return static_cast<off_t>(hash & ((1ull << 62) - 1));
}

struct flock SlotLock(short type, off_t slot) {
  struct flock lock = {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = slot;
  lock.l_len = 1;
  return lock;
}

// Registers this process as a user of path; false when the folder cannot be opened or does
// not take such locks (the file's own lock then decides alone).
bool Register(PathUse &use, const std::string &path) {
  int fd = OpenNoForeignLink(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (fd < 0) return false;
  off_t slot = NameSlot(path);
  if (use.slot == slot && HeldByThisProcess(use.dir_fd, use.owner, fd)) {
    close(fd);
    return true;
  }
  struct flock lock = SlotLock(F_RDLCK, slot);
  int rc;
  while ((rc = fcntl(fd, F_OFD_SETLKW, &lock)) != 0 && errno == EINTR) {
  }
  if (rc != 0) {
    close(fd);
    return false;
  }
  // A parent's description keeps the parent's registration.
  if (use.dir_fd >= 0) close(use.dir_fd);
  use.dir_fd = fd;
  use.owner = getpid();
  use.slot = slot;
  return true;
}

// Whether another description (another live process) holds the registration byte.
bool OtherUserRegistered(const PathUse &use) {
  struct flock lock = SlotLock(F_WRLCK, use.slot);
  if (fcntl(use.dir_fd, F_OFD_GETLK, &lock) != 0) return false;
  return lock.l_type != F_UNLCK;
}

// Appends all that from holds to to; false on a failed read or write.
bool CopyAll(int from, int to) {
  std::vector<char> buffer(1 << 16);
  for (;;) {
    ssize_t n = read(from, buffer.data(), buffer.size());
    if (n == 0) return true;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || !WriteAll(to, std::string_view(buffer.data(), static_cast<size_t>(n)))) {
      return false;
    }
  }
}

// Appends the live file's content (live: its status) to the newest archive when that stays
// within the size; false, with nothing changed, when there is no size, no archive, or no room.
bool AppendToNewestArchive(const std::string &path, const RotationSpec &rotation,
                           const struct stat &live) {
  if (rotation.limit == 0) return false;
  std::string newest = NewestArchiveNow(rotation, path);
  if (newest.empty()) return false;
  int archive = OpenNoForeignLink(newest.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC, 0);
  if (archive < 0) return false;
  struct stat before;
  bool room = fstat(archive, &before) == 0 &&
              static_cast<uint64_t>(before.st_size) + static_cast<uint64_t>(live.st_size) <=
                  rotation.limit;
  int source = room ? OpenNoForeignLink(path.c_str(), O_RDONLY | O_CLOEXEC, 0) : -1;
  struct stat by_source;
  bool ok = source >= 0 && fstat(source, &by_source) == 0 && by_source.st_dev == live.st_dev &&
            by_source.st_ino == live.st_ino && CopyAll(source, archive);
  if (!ok && source >= 0 && ftruncate(archive, before.st_size) != 0) {
    zc_error("truncate file[%s] fail, errno[%d]", newest.c_str(), errno);
  }
  if (source >= 0) close(source);
  close(archive);
  return ok;
}

// The lone user's start, under the rotation locks: the live file starts empty, and what it
// held is kept within the size rule: appended to the newest archive while that stays within
// the size, else made the newest archive itself, in place of which a live file with the same
// owner is made. When neither can be done the content stays in the live file.
void StartFreshFile(FileUse &use, const std::string &path, const RotationSpec &rotation,
                    mode_t perms) {
  struct stat live;
  if (fstat(use.fd, &live) != 0) return;
  if (AppendToNewestArchive(path, rotation, live)) {
    if (ftruncate(use.fd, 0) != 0) {
      zc_error("truncate file[%s] fail, errno[%d]", path.c_str(), errno);
    }
    return;
  }
  if (!ArchiveFileNow(rotation, path)) return;
  int fresh = OpenInPlaceOf(path, O_WRONLY | O_CREAT | O_CLOEXEC, perms, live);
  if (fresh < 0) {
    zc_error("open file[%s] fail, errno[%d]", path.c_str(), errno);
    return;
  }
  close(use.fd);
  use.fd = fresh;
}

// At rule creation: registers this process as a user of the path and, when no other live
// process uses it (none has registered, and none holds the file's shared lock, taken before
// every write), starts a fresh file. The exclusive lock is tried on this process's own
// description (a failed try drops its shared lock, taken again below); of processes starting
// together none starts a fresh file, and a writer that takes the shared lock after one was
// started writes into it. A missing file is not created. The file is held exclusively only
// under the rotation locks: a flush, which holds them, may wait for the file's shared lock,
// so no start may hold the file while it waits for them.
void StartFreshFileUnlessShared(MemoryLogPath &state, const std::string &path,
                                const RotationSpec &rotation, Rotater &rotater, mode_t perms) {
  bool registered = Register(state.registration, path);
  FileUse &use = state.use;
  // A foreign link is left alone here, and reported by the first flush.
  int fd = OpenNoForeignLink(path.c_str(), O_WRONLY | O_CLOEXEC, 0);
  if (fd < 0) return;
  if (HeldByThisProcess(use.fd, use.owner, fd)) {
    close(fd);
  } else {
    if (use.fd >= 0) close(use.fd);  // a parent's description keeps the parent's lock
    use.fd = fd;
    use.owner = getpid();
  }
  RotationHold hold(rotater, path, nullptr);
  // Without flock support this process counts as the only user.
  bool alone = flock(use.fd, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK;
  if (alone && registered) alone = !OtherUserRegistered(state.registration);
  struct stat st;
  if (alone && fstat(use.fd, &st) == 0 && st.st_size > 0) {
    StartFreshFile(use, path, rotation, perms);
  }
  LockShared(use.fd);
}

class LockHold {
 public:
  LockHold() {
    int rc = pthread_mutex_lock(&memory_log_env_lock);
    ok_ = rc == 0;
    if (!ok_) zc_error("pthread_rwlock_wrlock fail, rc[%d]", rc);
  }
  ~LockHold() {
    if (!ok_) return;
    int rc = pthread_mutex_unlock(&memory_log_env_lock);
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
  MemoryLogOutput(std::string path, mode_t perms, std::unique_ptr<RotationSpec> rotation,
                  Rotater *rotater, MemoryLogPath &state)
      : path_(std::move(path)), perms_(perms), rotation_(std::move(rotation)),
        rotater_(rotater), state_(state) {}

  int Write(Event &event, const Pattern &format) override {
    std::string_view line;
    if (!FormatLine(event, format, &line)) return -1;
    LockHold lock;
    if (!lock.ok()) return -1;
    bool cut = Keep(state_.halves, line);
    if (event.level->value != kErrorLevel) return 0;  // FATAL lines do not flush
    return Flush(state_.halves, line, cut, event);
  }

  ~MemoryLogOutput() override { CloseLiveFile(); }

  std::string Describe() const override {
    return ">memlog:" + path_ + (rotation_ ? ", " + rotation_->source : "");
  }

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

  // Appends both halves to the file and empties them once every byte is written, under the
  // rotation locks, so that no other process rotates the file in between. A line that was
  // cut in memory (it is alone in the current half) goes to the file whole, unless the flush
  // would then pass the size.
  int Flush(MemoryLogHalves &halves, std::string_view line, bool cut, Event &event) {
    std::optional<RotationHold> hold;
    if (rotation_) hold.emplace(*rotater_, &folder_, path_, &event);
    std::string_view older(halves.log_buf1, halves.buf1_log_len);
    std::string_view current(halves.log_buf2, halves.buf2_log_len);
    if (cut && (!rotation_ || rotation_->limit == 0 ||
                older.size() + line.size() <= rotation_->limit)) {
      current = line;
    }
    uint64_t size;
    int fd = LiveFile(&size, event, nullptr);
    if (fd < 0) return fd;
    fd = RotateBefore(fd, size, older.size() + current.size(), event);
    if (fd < 0) return fd;
    if (!WriteAll(fd, older) || !WriteAll(fd, current)) return WriteFailed(errno);
    halves.buf1_log_len = 0;
    halves.buf2_log_len = 0;
    return 0;
  }

  // A failed write (a full disk fails every flush): reported at most about once a second.
  int WriteFailed(int error) {
    return failures_.Report(flushes_.c_str(), "write fail, errno[%d]", error);
  }

  // A file that cannot be opened fails every flush too: reported as a failed write is.
  int OpenFailed(int error) {
    return failures_.Report(flushes_.c_str(), "open file[%s] fail, errno[%d]", path_.c_str(),
                            error);
  }

  // The file, opened for a flush; -1 (reported) when it cannot be. Made in place of replaced
  // (just archived) it gets that file's owner. A live file this process may not write (another
  // user's: a root job's) is replaced by one of its own.
  int Open(Event &event, const struct stat *replaced) {
    constexpr int kFlags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC;
    int fd = OpenOutputFile(path_.c_str(), kFlags, perms_, &event, replaced);
    if (fd < 0 && errno == EACCES && ReplaceUnwritable(event)) {
      fd = OpenOutputFile(path_.c_str(), kFlags, perms_, &event);
    }
    if (fd < 0) return OpenFailed(errno);
    UseFile(state_.use, fd);  // before writing: a starting process may be archiving the file
    return fd;
  }

  // Under the rotation locks: the live file, which this process may not write, becomes the
  // newest archive (or goes, when it is empty) where the folder allows. Every flush looks at
  // the path, so its other writers follow to the new file. A refusal makes the next try wait;
  // errno stays that of the refused open.
  bool ReplaceUnwritable(Event &event) {
    if (!rotation_ || retry_.Waiting()) return false;
    struct stat st;
    bool gone = stat(path_.c_str(), &st) == 0 &&
                (st.st_size == 0 ? RemoveFile(path_)
                                 : ArchiveFile(*rotation_, path_, event));
    if (!gone) {
      retry_.Failed();
      errno = EACCES;
      return false;
    }
    zc_warn("file[%s] is not writable by this process: it is set aside (archived, or removed "
            "when empty) and this process starts its own",
            path_.c_str());
    return true;
  }

  // The descriptor a flush writes to, kept from the last flush while the path still names its
  // file and this process opened it (not a parent of fork); else the file opened anew (see
  // Open for replaced). -1 (reported) when it cannot be opened. *size: the file's size.
  int LiveFile(uint64_t *size, Event &event, const struct stat *replaced) {
    struct stat st;
    bool named = stat(path_.c_str(), &st) == 0;
    if (live_.fd >= 0 && (!named || live_.generation != ForkGeneration() ||
                          st.st_dev != live_.device || st.st_ino != live_.inode)) {
      CloseLiveFile();
    }
    if (live_.fd < 0) {
      int fd = Open(event, replaced);
      if (fd < 0) return fd;
      if (fstat(fd, &st) != 0) {
        zc_error("fstat file[%s] fail, errno[%d]", path_.c_str(), errno);
        close(fd);
        return -1;
      }
      live_ = {fd, ForkGeneration(), st.st_dev, st.st_ino};
    }
    *size = static_cast<uint64_t>(st.st_size);
    return live_.fd;
  }

  void CloseLiveFile() {
    if (live_.fd >= 0) close(live_.fd);
    live_.fd = -1;
  }

  // When a flush of flush_size bytes would take the file fd names (of size bytes) past the
  // size, and the file is not empty, the file becomes the newest archive first: returns the
  // descriptor to write the flush to, -1 when the new live file cannot be opened (the flush
  // stays in memory, never goes to the archive). After a failed rotation the flush goes where
  // fd points, and the next try waits.
  int RotateBefore(int fd, uint64_t size, size_t flush_size, Event &event) {
    if (!rotation_ || rotation_->limit == 0 || retry_.Waiting()) return fd;
    if (size == 0 || size + flush_size <= rotation_->limit) return fd;
    struct stat archived;
    if (fstat(fd, &archived) != 0 || !ArchiveFile(*rotation_, path_, event)) {
      retry_.Failed();
      return fd;
    }
    // The path names another file now: fd is closed, the new one gets archived's owner.
    int fresh = LiveFile(&size, event, &archived);
    if (fresh < 0) retry_.Failed();
    return fresh;
  }

  std::string path_;
  mode_t perms_;
  std::unique_ptr<RotationSpec> rotation_;  // null for the rule without a path
  Rotater *rotater_;
  MemoryLogPath &state_;
  RetryWait retry_;
  ReusableLock folder_;  // used under the rotation locks
  FailureReport failures_;
  std::string flushes_ = "flushes of [" + path_ + "]";  // what failures_ counts
  struct {
    int fd = -1;
    uint64_t generation = 0;  // the fork generation fd was opened in
    dev_t device = 0;
    ino_t inode = 0;
  } live_;
};

}  // namespace

void RegisterMemoryLogForkLocks() {
  RegisterForkLocks(LockMemoryLogs, UnlockMemoryLogs, EmptyHalvesInChild);
}

std::unique_ptr<Output> NewMemoryLogOutput(const std::string &path, mode_t perms,
                                           std::unique_ptr<RotationSpec> rotation,
                                           Rotater *rotater, std::string *error) {
  if (path.size() > kMaxPathLength) {
    *error = "memory-log path longer than 1024 characters";
    return nullptr;
  }
  if (!path.empty()) MakeFolders(path.c_str());
  LockHold lock;
  if (!lock.ok()) {
    *error = "the memory-log lock cannot be taken";
    return nullptr;
  }
  MemoryLogPath &state = StateFor(path);
  if (!path.empty()) StartFreshFileUnlessShared(state, path, *rotation, *rotater, perms);
  return std::make_unique<MemoryLogOutput>(path, perms, std::move(rotation), rotater, state);
}

}  // namespace kelu::zl

#include "zlog_rotate.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "zc_open.h"
#include "zc_profile.h"
#include "zc_util.h"
#include "zlog.h"

namespace kelu::zl {

namespace {

constexpr size_t kMaxArchiveDigits = 18;

// How often a static file is looked at. The coarse clock ticks every 1 to 4 ms, so a line
// written 8 ms after another process rotated goes to the live file.
constexpr int64_t kLookPeriodNs = 4'000'000;

// A rotated file is looked at too once this process has written this share of its size since
// the last look: so what one process writes into an archive unseen is bounded by the size, not
// by its pace.
constexpr uint64_t kLookShare = 32;

// How long a path whose file was renamed away may name none before the file is made anew:
// logrotate makes its new file right after the rename and fails when one is there already, so
// a process made late by a loaded machine must not be taken for an empty path. The lines go
// on to the renamed file meanwhile.
constexpr int64_t kRenamedWaitNs = 1'000'000'000;

// How long the next try waits after a failed rotation.
constexpr int64_t kRetryPeriodNs = 1'000'000'000;

struct Archive {
  uint64_t number;
  std::string name;  // file name inside the folder
};

// The position and size of the one "#r" / "#s" marker (with optional width digits).
bool FindMarker(std::string_view text, size_t *at, size_t *length, int *width, bool *rolling) {
  bool found = false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '#') continue;
    size_t j = i + 1;
    while (j < text.size() && text[j] >= '0' && text[j] <= '9') ++j;
    if (j >= text.size() || (text[j] != 'r' && text[j] != 's')) continue;
    if (found) return false;  // two markers
    found = true;
    uint64_t digits = 0;
    if (j > i + 1 && (!ParseCount(text.substr(i + 1, j - i - 1), &digits) || digits > 20)) {
      return false;
    }
    *at = i;
    *length = j + 1 - i;
    *width = static_cast<int>(digits);
    *rolling = text[j] == 'r';
  }
  return found;
}

std::string Expand(const Pattern &pattern, Event &event, bool *ok) {
  LineBuffer &buffer = event.thread->archive;
  buffer.Clear();
  *ok = pattern.Write(event, buffer) && !buffer.truncated() && buffer.size() <= kMaxPathLength;
  return std::string(buffer.view());
}

std::string Numbered(const std::string &prefix, uint64_t number, int width,
                     const std::string &suffix) {
  char digits[32];
  std::snprintf(digits, sizeof digits, "%0*llu", width, static_cast<unsigned long long>(number));
  return prefix + digits + suffix;
}

// The archives of a folder that can be listed; false (errno set) when it cannot. A missing
// folder holds none.
bool ListArchives(const std::string &folder, const std::string &name_prefix,
                  const std::string &suffix, std::vector<Archive> *archives) {
  int fd = OpenNoForeignLink(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  DIR *dir = fd >= 0 ? fdopendir(fd) : nullptr;
  if (dir == nullptr) {
    int error = errno;
    if (fd >= 0) close(fd);
    errno = error;
    return error == ENOENT;
  }
  errno = 0;
  while (struct dirent *entry = readdir(dir)) {
    std::string_view name = entry->d_name;
    if (name.size() <= name_prefix.size() + suffix.size()) continue;
    if (name.substr(0, name_prefix.size()) != name_prefix) continue;
    if (name.substr(name.size() - suffix.size()) != suffix) continue;
    std::string_view digits =
        name.substr(name_prefix.size(), name.size() - name_prefix.size() - suffix.size());
    uint64_t number;
    if (digits.size() > kMaxArchiveDigits || !ParseCount(digits, &number)) continue;
    archives->push_back({number, std::string(name)});
  }
  int error = errno;
  closedir(dir);
  errno = error;
  return error == 0;
}

// The names of a file's archives, expanded for one event:
// "<folder_prefix><name_prefix><number><suffix>".
struct ArchiveNames {
  std::string prefix;  // its folder included
  std::string suffix;
  std::string folder_prefix;  // "" or the folder of prefix, ending in '/'

  std::string name_prefix() const { return prefix.substr(folder_prefix.size()); }
  std::string folder() const { return folder_prefix.empty() ? "." : folder_prefix; }
};

// The archive names of path for event; false (reported) when they cannot be made.
bool MakeArchiveNames(const RotationSpec &plan, const std::string &path, Event &event,
                      ArchiveNames *names) {
  bool prefix_ok, suffix_ok;
  names->prefix = Expand(*plan.prefix, event, &prefix_ok);
  names->suffix = Expand(*plan.suffix, event, &suffix_ok);
  if (!prefix_ok || !suffix_ok) {
    zc_error("archive name of [%s] cannot be made", path.c_str());
    return false;
  }
  size_t slash = names->prefix.rfind('/');
  names->folder_prefix = slash == std::string::npos ? "" : names->prefix.substr(0, slash + 1);
  return true;
}

// Without a listing, the archives of a rolling plan with a count are found by their names
// (numbers 0 to count - 1), which a folder that can be searched but not read still shows.
bool ProbeArchives(const RotationSpec &plan, const ArchiveNames &names,
                   std::vector<Archive> *archives) {
  if (!plan.rolling || plan.count == 0) return false;
  for (uint64_t number = 0; number < plan.count; ++number) {
    std::string name = Numbered(names.prefix, number, plan.width, names.suffix);
    struct stat st;
    if (lstat(name.c_str(), &st) == 0) {
      archives->push_back({number, name.substr(names.folder_prefix.size())});
    } else if (errno != ENOENT) {
      return false;
    }
  }
  return true;
}

// The archives that exist: listed, or found by name where the folder cannot be listed; false
// (errno that of the listing) when neither can be done.
bool FindArchives(const RotationSpec &plan, const ArchiveNames &names,
                  std::vector<Archive> *archives) {
  if (ListArchives(names.folder(), names.name_prefix(), names.suffix, archives)) return true;
  int error = errno;
  archives->clear();
  if (ProbeArchives(plan, names, archives)) return true;
  errno = error;
  return false;
}

// An event outside a logging call, for archive names made now.
struct EventNow {
  EventNow() {
    event.thread = &thread;
    gettimeofday(&event.now, nullptr);
  }
  EventNow(const EventNow &) = delete;
  EventNow &operator=(const EventNow &) = delete;

  ThreadBuffers thread;
  Event event;
};

// A path's folder, reached through no foreign link, and its last component: renames and
// removals in a folder of another user act where its path names, never through its links.
struct FolderEntry {
  explicit FolderEntry(const std::string &path) : folder(OpenFolderOf(path.c_str(), &name)) {}
  ~FolderEntry() {
    if (folder >= 0) close(folder);
  }
  FolderEntry(const FolderEntry &) = delete;
  FolderEntry &operator=(const FolderEntry &) = delete;

  std::string name;  // before folder, which the constructor opens with it
  const int folder;
};

// rename(2) that never replaces an existing file: an archive is never written over.
int RenameNoReplace(const std::string &from, const std::string &to) {
  FolderEntry source(from);
  if (source.folder < 0) return -1;
  FolderEntry target(to);
  if (target.folder < 0) return -1;
  const char *from_name = source.name.c_str(), *to_name = target.name.c_str();
  if (renameat2(source.folder, from_name, target.folder, to_name, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
  // A file system without RENAME_NOREPLACE: looked at first.
  struct stat st;
  if (fstatat(target.folder, to_name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
    errno = EEXIST;
    return -1;
  }
  return renameat(source.folder, from_name, target.folder, to_name);
}

// rename(2), creating the target's folders when they are missing.
bool Rename(const std::string &from, const std::string &to) {
  if (RenameNoReplace(from, to) == 0) return true;
  if (errno == ENOENT && access(from.c_str(), F_OK) == 0) {
    MakeFolders(to.c_str());
    if (RenameNoReplace(from, to) == 0) return true;
  }
  zc_error("rename[%s] to [%s] fail, errno[%d]", from.c_str(), to.c_str(), errno);
  return false;
}

// Takes the status of fd's file into *by_fd and tells whether path still names that file.
// False when fd cannot be looked at.
bool LookAt(int fd, const char *path, struct stat *by_fd, bool *path_names_it) {
  if (fstat(fd, by_fd) != 0) return false;
  struct stat by_path;
  *path_names_it = stat(path, &by_path) == 0 && by_fd->st_dev == by_path.st_dev &&
                   by_fd->st_ino == by_path.st_ino;
  return true;
}

// Guards the rotations of this process and the descriptors of its ReusableLocks. Taken before
// any flock of a rotation.
pthread_mutex_t rotation_mutex = PTHREAD_MUTEX_INITIALIZER;

std::atomic<uint64_t> fork_generation{0};

void LockRotationsForFork() { pthread_mutex_lock(&rotation_mutex); }
void UnlockRotationsAfterFork() { pthread_mutex_unlock(&rotation_mutex); }
// In the child, only the thread that forked is left, and it holds the mutex.
void ResetRotationsInChild() {
  fork_generation.fetch_add(1);
  pthread_mutex_unlock(&rotation_mutex);
}

bool FlockExclusive(int fd, int *error) {
  while (flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      *error = errno;
      return false;
    }
  }
  return true;
}

std::atomic<bool> no_lock_noticed{false};

// Once a process: the rotating call's event carries the notice to its category's outputs.
void NoticeNoLock(const std::string &path, const std::string &lock_path, Event *event) {
  if (event == nullptr || no_lock_noticed.exchange(true)) return;
  static char notice[2 * kMaxPathLength + 256];
  std::snprintf(notice, sizeof notice,
                "zlog: rotation of [%s] is not locked against other processes: neither its "
                "folder nor rotate lock file[%s] can be locked",
                path.c_str(), lock_path.c_str());
  event->notice = notice;
}

// Once for each time the file cannot be reopened: the text of the notice lives in the
// thread's storage until its line is logged, after the rotating one. cause: "" or ": " and
// why.
void NoticeStranded(const std::string &path, int error, const std::string &cause, bool dropped,
                    Event &event) {
  thread_local char notice[3 * kMaxPathLength + 512];
  if (dropped) {
    std::snprintf(notice, sizeof notice,
                  "zlog: [%s] was rotated and cannot be opened, errno[%d]%s: this process drops "
                  "its lines to it until it can",
                  path.c_str(), error, cause.c_str());
  } else {
    std::snprintf(notice, sizeof notice,
                  "zlog: [%s] names another file or none and cannot be opened, errno[%d]%s: "
                  "this process writes on to the file it had until it can",
                  path.c_str(), error, cause.c_str());
  }
  event.notice = notice;
}

}  // namespace

std::unique_ptr<RotationSpec> ParseRotation(std::string_view option,
                                            const std::string &path_source, std::string *error) {
  auto plan = std::make_unique<RotationSpec>();
  plan->source.assign(option);
  std::string archive = path_source + ".#r";
  size_t tilde = option.find('~');
  if (tilde != std::string_view::npos) {
    std::string_view rest;
    if (!ParseQuoted(Trim(option.substr(tilde + 1)), &archive, &rest) || !Trim(rest).empty()) {
      *error = "the archive name after '~' must be one quoted text";
      return nullptr;
    }
    option = option.substr(0, tilde);
  }
  size_t star = option.find('*');
  if (star != std::string_view::npos) {
    if (!ParseCount(Trim(option.substr(star + 1)), &plan->count)) {
      *error = "the archive count after '*' must be a number";
      return nullptr;
    }
    option = option.substr(0, star);
  }
  if (!ParseSize(option, &plan->limit)) {
    *error = "bad rotation size [" + std::string(Trim(option)) + "]";
    return nullptr;
  }
  if (archive.size() > kMaxPathLength) {
    *error = "archive name longer than 1024 characters";
    return nullptr;
  }
  size_t at, length;
  if (!FindMarker(archive, &at, &length, &plan->width, &plan->rolling)) {
    *error = "archive name [" + archive + "] must hold one #r or #s";
    return nullptr;
  }
  std::string suffix = archive.substr(at + length);
  if (suffix.find('/') != std::string::npos) {
    *error = "the #r or #s of archive name [" + archive + "] must be in its file name";
    return nullptr;
  }
  plan->prefix = Pattern::Compile(archive.substr(0, at), error);
  if (plan->prefix) plan->suffix = Pattern::Compile(suffix, error);
  if (!plan->prefix || !plan->suffix) return nullptr;
  return plan;
}

bool RemoveFile(const std::string &path) {
  FolderEntry entry(path);
  if (entry.folder >= 0 && unlinkat(entry.folder, entry.name.c_str(), 0) == 0) return true;
  zc_error("unlink[%s] fail, errno[%d]", path.c_str(), errno);
  return false;
}

bool ArchiveFile(const RotationSpec &plan, const std::string &path, Event &event) {
  ArchiveNames names;
  if (!MakeArchiveNames(plan, path, event, &names)) return false;
  std::vector<Archive> archives;
  if (!FindArchives(plan, names, &archives)) {
    zc_error("archives of [%s] cannot be listed in [%s], errno[%d]: not rotated", path.c_str(),
             names.folder().c_str(), errno);
    return false;
  }
  const std::string &prefix = names.prefix, &suffix = names.suffix;
  const std::string &folder_prefix = names.folder_prefix;

  if (plan.rolling) {
    std::sort(archives.begin(), archives.end(),
              [](const Archive &a, const Archive &b) { return a.number > b.number; });
    for (const Archive &archive : archives) {
      if (plan.count != 0 && archive.number + 1 >= plan.count) {
        RemoveFile(folder_prefix + archive.name);
      } else if (!Rename(folder_prefix + archive.name,
                         Numbered(prefix, archive.number + 1, plan.width, suffix))) {
        return false;
      }
    }
    return Rename(path, Numbered(prefix, 0, plan.width, suffix));
  }

  uint64_t next = 0;
  for (const Archive &archive : archives) next = std::max(next, archive.number + 1);
  if (!Rename(path, Numbered(prefix, next, plan.width, suffix))) return false;
  archives.push_back({next, ""});
  std::sort(archives.begin(), archives.end(),
            [](const Archive &a, const Archive &b) { return a.number < b.number; });
  for (size_t i = 0; plan.count != 0 && archives.size() - i > plan.count; ++i) {
    RemoveFile(folder_prefix + archives[i].name);
  }
  return true;
}

bool ArchiveFileNow(const RotationSpec &plan, const std::string &path) {
  EventNow now;
  return ArchiveFile(plan, path, now.event);
}

std::string NewestArchiveNow(const RotationSpec &plan, const std::string &path) {
  EventNow now;
  ArchiveNames names;
  std::vector<Archive> archives;
  if (!MakeArchiveNames(plan, path, now.event, &names) ||
      !FindArchives(plan, names, &archives) || archives.empty()) {
    return "";
  }
  auto by_number = [](const Archive &a, const Archive &b) { return a.number < b.number; };
  const Archive &newest = plan.rolling
                              ? *std::min_element(archives.begin(), archives.end(), by_number)
                              : *std::max_element(archives.begin(), archives.end(), by_number);
  return names.folder_prefix + newest.name;
}

int OpenInPlaceOf(const std::string &path, int flags, mode_t perms, const struct stat &replaced,
                  ForeignLink *link) {
  return OpenNoForeignLink(path.c_str(), flags, perms, link, &replaced);
}

bool ReusableLock::Lock(const std::string &path, int extra, bool create, int *error) {
  // Locked, the path must still name the file: one replaced meanwhile is opened and locked.
  for (int tries = 0; tries < 4; ++tries) {
    if (fd_ >= 0 && generation_ != ForkGeneration()) Close();  // the parent's description
    if (fd_ < 0) {
      int flags = O_RDONLY | O_CLOEXEC | (extra & O_DIRECTORY);
      fd_ = OpenNoForeignLink(path.c_str(), flags, 0);
      if (fd_ < 0 && errno == ENOENT && create) {
        fd_ = OpenNoForeignLink(path.c_str(), flags | O_CREAT, 0644);
      }
      struct stat st;
      if (fd_ < 0 || fstat(fd_, &st) != 0) {
        *error = errno;
        Close();
        return false;
      }
      generation_ = ForkGeneration();
      device_ = st.st_dev;
      inode_ = st.st_ino;
    }
    if (!FlockExclusive(fd_, error)) {
      Close();
      return false;
    }
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && st.st_dev == device_ && st.st_ino == inode_) return true;
    Unlock();
    Close();
  }
  *error = EAGAIN;
  return false;
}

// Released explicitly: a child forked meanwhile would keep a closed description locked.
void ReusableLock::Unlock() {
  if (fd_ >= 0 && flock(fd_, LOCK_UN) != 0) zc_error("unlock fd[%d] fail, errno[%d]", fd_, errno);
}

// Closing leaves a lock that a parent holds on the same description to the parent.
void ReusableLock::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

void RegisterRotationForkLocks() {
  RegisterForkLocks(LockRotationsForFork, UnlockRotationsAfterFork, ResetRotationsInChild);
}

uint64_t ForkGeneration() { return fork_generation.load(std::memory_order_relaxed); }

Rotater::Rotater(std::string lock_path, bool create_lock_file)
    : lock_path_(std::move(lock_path)), create_lock_file_(create_lock_file) {}

RotationHold::RotationHold(Rotater &rotater, ReusableLock *folder, const std::string &path,
                           Event *event)
    : rotater_(rotater), folder_(folder != nullptr ? folder : &own_folder_) {
  pthread_mutex_lock(&rotation_mutex);
  int folder_error = 0, lock_error = 0;
  folder_locked_ = folder_->Lock(FolderOf(path), O_DIRECTORY, false, &folder_error);
  if (!folder_locked_ && !rotater_.folder_failed_.exchange(true)) {
    zc_warn("folder of [%s] cannot be locked, errno[%d]", path.c_str(), folder_error);
  }
  lock_file_locked_ = rotater_.lock_file_.Lock(rotater_.lock_path_, 0,
                                               rotater_.create_lock_file_, &lock_error);
  // A missing configuration file is not a failure: it is simply not locked.
  bool missing_conf = !rotater_.create_lock_file_ && lock_error == ENOENT;
  if (!lock_file_locked_ && !missing_conf && !rotater_.lock_file_failed_.exchange(true)) {
    zc_warn("rotate lock file[%s] cannot be locked, errno[%d]", rotater_.lock_path_.c_str(),
            lock_error);
  }
  if (!folder_locked_ && !lock_file_locked_) NoticeNoLock(path, rotater_.lock_path_, event);
}

RotationHold::~RotationHold() {
  if (lock_file_locked_) rotater_.lock_file_.Unlock();
  if (folder_locked_) folder_->Unlock();
  pthread_mutex_unlock(&rotation_mutex);
}

bool RetryWait::Waiting() const {
  return CoarseNow() < retry_at_.load(std::memory_order_relaxed);
}

void RetryWait::Failed() { WaitFor(kRetryPeriodNs); }

void RetryWait::WaitFor(int64_t nanoseconds) {
  retry_at_.store(CoarseNow() + nanoseconds, std::memory_order_relaxed);
}

StaticFile::StaticFile(const RotationSpec *plan, Rotater *rotater, const std::string &path,
                       int fd, int flags, mode_t perms)
    : plan_(plan), rotater_(rotater), path_(path), fd_(fd), flags_(flags), perms_(perms),
      limit_(plan != nullptr ? plan->limit : UINT64_MAX), look_at_size_(limit_),
      looked_at_(CoarseNow()) {
  struct stat by_fd;
  if (fstat(fd_, &by_fd) == 0) Counted(0, static_cast<uint64_t>(by_fd.st_size));
}

void StaticFile::BeforeLine(Event &event) {
  int64_t now = CoarseNow();
  int64_t last = looked_at_.load(std::memory_order_relaxed);
  if (now - last < kLookPeriodNs || !looked_at_.compare_exchange_strong(last, now)) return;
  Look(event);
}

void StaticFile::LookAfterLine(Event &event, uint64_t counted) {
  // While a failed rotation waits, the file is only looked at: another process may rotate it.
  if (counted > limit_ && !rotate_retry_.Waiting()) {
    Follow(event);
  } else {
    Look(event);
  }
}

void StaticFile::Look(Event &event) {
  Due due;
  {
    MutexHold hold(rotation_mutex);  // the rotation mutex alone: this renames nothing
    due = LookLocked();
  }
  if ((due == Due::kReopen && !reopen_retry_.Waiting()) ||
      (due == Due::kRotate && !rotate_retry_.Waiting())) {
    Follow(event);
  }
}

StaticFile::Due StaticFile::LookLocked() {
  uint64_t before = size_.load();
  struct stat by_fd;
  bool same;
  if (!LookAt(fd_, path_.c_str(), &by_fd, &same)) return Due::kNothing;
  // The file fd names takes the lines until it is followed: its size is the count.
  Counted(before, static_cast<uint64_t>(by_fd.st_size));
  if (!same) return Due::kReopen;
  return static_cast<uint64_t>(by_fd.st_size) > limit_ ? Due::kRotate : Due::kNothing;
}

void StaticFile::Follow(Event &event) {
  if (plan_ == nullptr) {
    // Nothing is renamed: only this process's threads are kept out.
    MutexHold hold(rotation_mutex);  // the rotation mutex alone: this renames nothing
    FollowLocked(event);
    return;
  }
  RotationHold hold(*rotater_, &folder_, path_, &event);
  FollowLocked(event);
}

void StaticFile::FollowLocked(Event &event) {
  uint64_t before = size_.load();
  struct stat by_fd;
  bool same;
  if (!LookAt(fd_, path_.c_str(), &by_fd, &same)) return;
  if (same) path_was_empty_ = false;
  bool archived = false;
  // Another thread or process may have rotated it meanwhile: then only the reopen is due.
  if (same && static_cast<uint64_t>(by_fd.st_size) > limit_ && !rotate_retry_.Waiting()) {
    archived = ArchiveFile(*plan_, path_, event);
    if (!archived) rotate_retry_.Failed();
  }
  if ((archived || (!same && !reopen_retry_.Waiting())) && !Reopen(by_fd, archived, event)) {
    reopen_retry_.Failed();
  }
  // Counted before the lock is released, so that no late value of an earlier rotation
  // overwrites a later one.
  if (fstat(fd_, &by_fd) == 0) Counted(before, static_cast<uint64_t>(by_fd.st_size));
}

bool StaticFile::Reopen(const struct stat &replaced, bool archived, Event &event) {
  // Renamed away by another tool: logrotate's "create" renames the file and then makes the new
  // one, and fails when one was made in between. So the file is made here only when none has
  // come kRenamedWaitNs after the path was first found empty; until then each look takes the
  // file another tool makes, and the lines go on to the renamed one.
  bool renamed_away = !archived && replaced.st_nlink > 0;
  if (renamed_away && !path_was_empty_) {
    path_was_empty_ = true;
    make_wait_.WaitFor(kRenamedWaitNs);
  }
  bool may_make = !renamed_away || !make_wait_.Waiting();
  ForeignLink link;
  int reopened =
      OpenInPlaceOf(path_, may_make ? flags_ : flags_ & ~O_CREAT, perms_, replaced, &link);
  if (reopened < 0 && errno == ENOENT && !may_make) return true;
  if (reopened < 0 && errno == ENOENT) {
    MakeFolders(path_.c_str());
    reopened = OpenInPlaceOf(path_, flags_, perms_, replaced, &link);
  }
  path_was_empty_ = false;
  if (reopened < 0) {
    Strand(errno, link, event);
    return false;
  }
  // dup3 swaps the file under the descriptor number that the other threads write to,
  // close-on-exec as the descriptor was opened.
  dup3(reopened, fd_, flags_ & O_CLOEXEC);
  close(reopened);
  stranded_.store(false, std::memory_order_relaxed);
  return true;
}

void StaticFile::Counted(uint64_t before, uint64_t size) {
  uint64_t counted = size_.fetch_add(size - before) + (size - before);
  if (plan_ == nullptr) return;
  // Up to the limit, where the file is rotated, a share on; past it (while a failed rotation
  // waits) a share on all the same, to see whether another process rotated it.
  uint64_t next = counted + plan_->limit / kLookShare;
  look_at_size_.store(counted <= limit_ ? std::min(next, limit_) : next,
                      std::memory_order_relaxed);
}

void StaticFile::Strand(int error, const ForeignLink &link, Event &event) {
  if (stranded_.exchange(true, std::memory_order_relaxed)) return;
  const std::string cause = link.path.empty() ? "" : ": " + DescribeForeignLink(link);
  if (plan_ != nullptr) {
    zc_error("open file[%s] fail, errno[%d]%s: its lines are dropped, not written on into its "
             "archive, until it opens",
             path_.c_str(), error, cause.c_str());
  } else {
    zc_error("open file[%s] fail, errno[%d]%s: its lines go on to the file it had, until it "
             "opens",
             path_.c_str(), error, cause.c_str());
  }
  NoticeStranded(path_, error, cause, plan_ != nullptr, event);
}

void RotateDynamicFile(const RotationSpec &plan, Rotater &rotater, RetryWait &retry,
                       const char *path, int fd, int flags, mode_t perms, Event &event) {
  struct stat by_fd;
  if (fstat(fd, &by_fd) != 0 || static_cast<uint64_t>(by_fd.st_size) <= plan.limit ||
      retry.Waiting()) {
    return;
  }
  RotationHold hold(rotater, path, &event);
  bool same;
  if (!LookAt(fd, path, &by_fd, &same) || !same ||
      static_cast<uint64_t>(by_fd.st_size) <= plan.limit) {
    return;
  }
  if (!ArchiveFile(plan, path, event)) {
    retry.Failed();
    return;
  }
  int fresh = OpenInPlaceOf(path, flags, perms, by_fd);
  if (fresh >= 0) close(fresh);
}

}  // namespace kelu::zl

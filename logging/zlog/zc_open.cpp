#include "zc_open.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <string_view>
#include <vector>

#include "zc_util.h"
#include "zlog_format.h"
#include "zlog_output.h"

namespace kelu::zl {

namespace {

// As many links as the kernel follows in one path.
constexpr int kMaxLinks = 40;

// A descriptor closed on every path; closing keeps errno.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  ~Descriptor() { Reset(-1); }
  Descriptor(const Descriptor &) = delete;
  Descriptor &operator=(const Descriptor &) = delete;

  int get() const { return fd_; }
  int Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Reset(int fd) {
    if (fd_ >= 0) {
      int error = errno;
      close(fd_);
      errno = error;
    }
    fd_ = fd;
  }

 private:
  int fd_;
};

// openat2 refusing every link: a path without one opens in a single call. ENOSYS where the
// kernel has no openat2 (before Linux 5.6), remembered.
int OpenWithoutAnyLink(const char *path, int flags) {
  static std::atomic<bool> missing{false};
  if (missing.load(std::memory_order_relaxed)) {
    errno = ENOSYS;
    return -1;
  }
  struct open_how how = {};
  how.flags = static_cast<uint64_t>(static_cast<unsigned>(flags));
  how.resolve = RESOLVE_NO_SYMLINKS;
  long fd = syscall(SYS_openat2, AT_FDCWD, path, &how, sizeof how);
  if (fd < 0 && errno == ENOSYS) missing.store(true, std::memory_order_relaxed);
  return static_cast<int>(fd);
}

// The links of /proc (/proc/self, /proc/PID/fd/N) name open files, pipes and deleted files
// that no path reaches: the kernel follows them itself. No user can put a link there.
bool OnProcfs(int folder) {
  struct statfs fs;
  return fstatfs(folder, &fs) == 0 && fs.f_type == PROC_SUPER_MAGIC;
}

// Gives fd's file the owner and group of want, or failing that (an unprivileged process) the
// group alone where this process is one of its members. Failures are expected and quiet.
void KeepOwner(int fd, const struct stat &want) {
  struct stat made;
  if (fstat(fd, &made) != 0) return;
  if (made.st_uid == want.st_uid && made.st_gid == want.st_gid) return;
  if (fchown(fd, want.st_uid, want.st_gid) == 0 || made.st_gid == want.st_gid) return;
  int rc = fchown(fd, static_cast<uid_t>(-1), want.st_gid);
  (void)rc;
}

// The file made unnamed in folder, given owner's owner and then linked in as name. -1 with
// errno EEXIST when another process made name first, with another errno when it cannot be
// made so.
int MakeUnnamed(int folder, const char *name, int flags, mode_t perms, const struct stat &owner) {
  Descriptor made(openat(folder, ".", O_TMPFILE | (flags & ~(O_CREAT | O_EXCL | O_NOFOLLOW)),
                         perms));
  if (made.get() < 0) return -1;
  KeepOwner(made.get(), owner);
  char by_fd[32];
  std::snprintf(by_fd, sizeof by_fd, "/proc/self/fd/%d", made.get());
  if (linkat(AT_FDCWD, by_fd, folder, name, AT_SYMLINK_FOLLOW) != 0) return -1;
  // Opened again by its name: the unnamed file's descriptor would show as a deleted file in
  // /proc and lsof for the process's life.
  Descriptor named(openat(folder, name, flags & ~(O_CREAT | O_EXCL)));
  if (named.get() >= 0 && SameFile(named.get(), made.get())) return named.Release();
  return made.Release();
}

// name in folder, made with owner's owner when missing (flags hold O_CREAT and O_NOFOLLOW).
int OpenOrMakeOwned(int folder, const char *name, int flags, mode_t perms,
                    const struct stat &owner) {
  const int existing = flags & ~(O_CREAT | O_EXCL);
  if ((flags & O_EXCL) == 0) {
    int fd = openat(folder, name, existing);
    if (fd >= 0 || errno != ENOENT) return fd;
  }
  int fd = MakeUnnamed(folder, name, flags, perms, owner);
  if (fd < 0 && errno != EEXIST) {
    // A folder that cannot hold unnamed files: the file shows with this process's owner until
    // it is given the other.
    fd = openat(folder, name, flags | O_EXCL, perms);
    if (fd >= 0) KeepOwner(fd, owner);
  }
  if (fd < 0 && errno == EEXIST && (flags & O_EXCL) == 0) return openat(folder, name, existing);
  return fd;
}

// The last component of a path, in the folder reached. Never through a link: one there fails
// with ELOOP, and the caller looks at it.
int OpenIn(int folder, const std::string &name, int flags, mode_t perms,
           const struct stat *owner) {
  flags |= O_NOFOLLOW;
  if ((flags & O_CREAT) == 0) return openat(folder, name.c_str(), flags);
  struct stat folder_status;
  if (owner == nullptr) {
    if (fstat(folder, &folder_status) != 0) return -1;
    // The process's own folder: the file gets the usual owner and group.
    if (folder_status.st_uid == geteuid()) return openat(folder, name.c_str(), flags, perms);
    owner = &folder_status;
  }
  return OpenOrMakeOwned(folder, name.c_str(), flags, perms, *owner);
}

// A folder made in parent, given parent's owner and group when another user owns parent.
void MakeFolder(int parent, const std::string &name) {
  if (mkdirat(parent, name.c_str(), 0755) != 0) return;
  struct stat parent_status;
  if (fstat(parent, &parent_status) != 0 || parent_status.st_uid == geteuid()) return;
  Descriptor made(openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (made.get() >= 0) KeepOwner(made.get(), parent_status);
}

// One resolution of a path, component by component, each opened (O_PATH, O_NOFOLLOW) on the
// descriptor of the folder before it.
class Walk {
 public:
  explicit Walk(ForeignLink *refused) : refused_(refused) {}

  // At "/" for an absolute path, else at the current folder.
  bool Start(std::string_view path) { return Push(path) && folder_.get() >= 0; }

  // Walks every component but the last (made where missing when make is set); false with
  // errno set when a folder cannot be reached.
  bool ToLast(bool make) {
    while (pending_.size() > 1) {
      std::string name = std::move(pending_.back());
      pending_.pop_back();
      if (!Enter(name, make)) return false;
    }
    if (pending_.empty()) {
      errno = ENOENT;
      return false;
    }
    last_ = std::move(pending_.back());
    pending_.pop_back();
    return true;
  }

  int folder() const { return folder_.get(); }
  int ReleaseFolder() { return folder_.Release(); }
  const std::string &last() const { return last_; }

  // The last component was found to be a link: true when it is followed along its text (the
  // walk then goes on to the last component of that), false when it is refused (errno ELOOP)
  // or cannot be read. *by_kernel: a link of /proc, which the open is to follow itself.
  bool FollowLast(bool *by_kernel) {
    *by_kernel = false;
    Descriptor link(openat(folder(), last_.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (link.get() < 0 || fstat(link.get(), &st) != 0) return false;
    if (!S_ISLNK(st.st_mode)) {
      // Replaced meanwhile: opened again, as often as a link may be followed.
      pending_.push_back(last_);
      return CountLink();
    }
    if (!MayFollow(st, last_)) return false;
    if (OnProcfs(folder())) {
      *by_kernel = true;
      return true;
    }
    return PushTarget(link.get());
  }

 private:
  // One folder component.
  bool Enter(const std::string &name, bool make) {
    if (name == ".") return true;
    Descriptor next(openat(folder(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (next.get() < 0 && errno == ENOENT && make) {
      MakeFolder(folder(), name);
      next.Reset(openat(folder(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    }
    struct stat st;
    if (next.get() < 0 || fstat(next.get(), &st) != 0) return false;
    if (S_ISLNK(st.st_mode)) {
      if (!MayFollow(st, name)) return false;
      if (!OnProcfs(folder())) return PushTarget(next.get());
      next.Reset(openat(folder(), name.c_str(), O_PATH | O_CLOEXEC));
      if (next.get() < 0 || fstat(next.get(), &st) != 0) return false;
    }
    if (!S_ISDIR(st.st_mode)) {
      errno = ENOTDIR;
      return false;
    }
    folder_.Reset(next.Release());
    shown_ += "/" + name;
    return true;
  }

  // A link of a trusted owner, within the number of links a path may pass.
  bool MayFollow(const struct stat &link, const std::string &name) {
    if (!IsTrustedLinkOwner(link.st_uid)) {
      if (refused_ != nullptr) *refused_ = {shown_ + "/" + name, link.st_uid};
      errno = ELOOP;
      return false;
    }
    return CountLink();
  }

  bool CountLink() {
    if (++links_ <= kMaxLinks) return true;
    errno = ELOOP;
    return false;
  }

  // The text of the link that link (O_PATH) names, walked next from the link's folder.
  bool PushTarget(int link) {
    char text[PATH_MAX];
    ssize_t n = readlinkat(link, "", text, sizeof text);
    if (n < 0) return false;
    if (static_cast<size_t>(n) == sizeof text) {
      errno = ENAMETOOLONG;
      return false;
    }
    return Push(std::string_view(text, static_cast<size_t>(n)));
  }

  // Makes text the next components: from "/" when it is absolute. A text ending in '/' ends
  // in the folder itself (".").
  bool Push(std::string_view text) {
    if (!text.empty() && text.front() == '/') {
      folder_.Reset(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
      shown_.clear();
    } else if (folder_.get() < 0) {
      folder_.Reset(open(".", O_PATH | O_DIRECTORY | O_CLOEXEC));
      shown_ = ".";
    }
    if (folder_.get() < 0) return false;
    std::vector<std::string> parts;
    size_t at = 0;
    while (at <= text.size()) {
      size_t slash = text.find('/', at);
      if (slash == std::string_view::npos) slash = text.size();
      if (slash > at) parts.emplace_back(text.substr(at, slash - at));
      at = slash + 1;
    }
    if (!text.empty() && text.back() == '/') parts.emplace_back(".");
    if (text.empty()) parts.emplace_back("");
    pending_.insert(pending_.end(), parts.rbegin(), parts.rend());
    return true;
  }

  Descriptor folder_;
  std::string shown_;                 // the folder's path as walked, for reports
  std::vector<std::string> pending_;  // the components still to walk, the next one last
  std::string last_;
  int links_ = 0;
  ForeignLink *refused_;
};

// Component by component, for a path with a link in it, or with a file to make.
int OpenByWalk(const char *path, int flags, mode_t perms, ForeignLink *refused,
               const struct stat *owner) {
  Walk walk(refused);
  if (!walk.Start(path)) return -1;
  for (;;) {
    if (!walk.ToLast(false)) return -1;
    int fd = OpenIn(walk.folder(), walk.last(), flags, perms, owner);
    if (fd >= 0 || errno != ELOOP) return fd;
    bool by_kernel;
    if (!walk.FollowLast(&by_kernel)) return -1;
    if (by_kernel) return openat(walk.folder(), walk.last().c_str(), flags & ~O_NOFOLLOW, perms);
  }
}

}  // namespace

bool IsTrustedLinkOwner(uid_t owner) { return owner == 0 || owner == geteuid(); }

bool SameFile(int a, int b) {
  struct stat sa, sb;
  return fstat(a, &sa) == 0 && fstat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

std::string DescribeForeignLink(const ForeignLink &link) {
  char text[kMaxPathLength + 256];
  std::snprintf(text, sizeof text,
                "symbolic link [%s] belongs to uid %u: links of other users than root and "
                "this process's (uid %u) are not followed",
                link.path.c_str(), static_cast<unsigned>(link.owner),
                static_cast<unsigned>(geteuid()));
  return text;
}

namespace {

int OpenAnyway(const char *path, int flags, mode_t perms, ForeignLink *link,
               const struct stat *owner) {
  if ((flags & O_EXCL) == 0) {
    int fd = OpenWithoutAnyLink(path, flags & ~O_CREAT);
    if (fd >= 0 || (errno == ENOENT && (flags & O_CREAT) == 0)) return fd;
  }
  return OpenByWalk(path, flags, perms, link, owner);
}

}  // namespace

int OpenNoForeignLink(const char *path, int flags, mode_t perms, ForeignLink *link,
                      const struct stat *owner) {
  if (link != nullptr) link->path.clear();
  flags |= O_CLOEXEC;  // no log descriptor passes through an exec
  // Opened without waiting: a FIFO put at the path (by the folder's owner) would otherwise
  // hold the open until someone opens its other end; without a reader it fails with ENXIO.
  int fd = OpenAnyway(path, flags | O_NONBLOCK, perms, link, owner);
  if (fd >= 0 && (flags & O_NONBLOCK) == 0 &&
      fcntl(fd, F_SETFL, flags & (O_APPEND | O_ASYNC | O_DIRECT | O_NOATIME)) != 0) {
    Descriptor failed(fd);
    return -1;
  }
  return fd;
}

int OpenOutputFile(const char *path, int flags, mode_t perms, Event *event,
                   const struct stat *owner) {
  ForeignLink link;
  int fd = OpenNoForeignLink(path, flags, perms, &link, owner);
  if (fd >= 0 || link.path.empty()) return fd;
  static FailureReport refusals;
  char text[2 * kMaxPathLength + 256];
  std::snprintf(text, sizeof text, "zlog: file[%s] is not opened: %s", path,
                DescribeForeignLink(link).c_str());
  if (refusals.Report("opens", "%s", text) == -1 && event != nullptr) {
    // Lives until the line of the notice is logged, after the current one, in this thread.
    thread_local char notice[sizeof text];
    std::snprintf(notice, sizeof notice, "%s", text);
    event->notice = notice;
  }
  errno = ELOOP;
  return -1;
}

int OpenFolderOf(const char *path, std::string *name) {
  Walk walk(nullptr);
  if (!walk.Start(path) || !walk.ToLast(false)) return -1;
  *name = walk.last();
  return walk.ReleaseFolder();
}

void MakeFolders(const char *path) {
  Walk walk(nullptr);
  if (walk.Start(path)) walk.ToLast(true);
}

}  // namespace kelu::zl

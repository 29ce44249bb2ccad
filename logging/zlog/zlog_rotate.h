// Size rotation of file and memory-log outputs: "path", 10MB * 5 ~ "archive.#r". A rotation
// runs under three locks, taken in this order: the process's rotation mutex, an flock on the
// rotated file's folder and an flock on the configuration's "rotate lock file". The mutex
// comes first, so that no process waits for one of its own threads while it holds a lock
// that other processes wait for. flock takes a read-only descriptor, so every process that
// shares a log takes the same locks whatever its right to write the lock file (a php-fpm
// worker reading a root-owned configuration); and the folder is one that any process able to
// rotate the file can read. An archive is never renamed over: a rotation that would, or that
// cannot learn which archives exist, fails.
#ifndef KELU_ZLOG_ROTATE_H
#define KELU_ZLOG_ROTATE_H

#include <pthread.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "zlog_format.h"

namespace kelu::zl {

struct ForeignLink;

struct RotationSpec {
  uint64_t limit = 0;  // rotate once the file is larger
  uint64_t count = 0;  // archives kept; 0 keeps all
  bool rolling = true;  // #r: the newest archive is number 0; #s: numbers go up
  int width = 0;        // #2s: at least two digits
  std::unique_ptr<Pattern> prefix;  // the archive name before the number, folder included
  std::unique_ptr<Pattern> suffix;  // and after it
  std::string source;
};

// The option after a file path ("10MB * 3 ~ \"aa.log.#r\""); path_source is the file's own
// pattern, from which the default archive name "<path>.#r" is made. Null with *error set
// when the option is malformed; a size of 0 gives a plan with limit 0 (no rotation).
std::unique_ptr<RotationSpec> ParseRotation(std::string_view option,
                                            const std::string &path_source, std::string *error);

// unlink(2) of path in its folder, reached through no other user's link (the link itself goes,
// not its target); false (reported) when it fails.
bool RemoveFile(const std::string &path);

// Renames path to its archive name and shifts (#r) or trims (#s) the older archives; false
// when a rename fails. The archive name is expanded for event.
bool ArchiveFile(const RotationSpec &plan, const std::string &path, Event &event);
// The same outside a logging call (the archive name's time is now).
bool ArchiveFileNow(const RotationSpec &plan, const std::string &path);
// The path of path's newest archive (number 0 with #r, the highest number with #s), named
// for now and found as a rotation finds them; "" when there is none or they cannot be found.
std::string NewestArchiveNow(const RotationSpec &plan, const std::string &path);

// open(2) of a file made in place of another (the one replaced, just archived), through no
// foreign link (OpenNoForeignLink, which names a refused one in *link): when this call creates
// the file, it gets replaced's owner and group where this process may give them (a privileged
// one can; another one its own groups only), as logrotate's "create" does. So a root job's
// rotation leaves the unprivileged writers a live file they can open.
int OpenInPlaceOf(const std::string &path, int flags, mode_t perms, const struct stat &replaced,
                  ForeignLink *link = nullptr);

// An exclusive flock on a descriptor that the process keeps open between holds, so that a
// hold costs an flock and a stat rather than an open and a close. The file is opened again
// when its path names another file, and in a child of fork, whose copy of the descriptor
// shares its parent's lock. Used under the rotation mutex only.
class ReusableLock {
 public:
  ReusableLock() = default;
  ~ReusableLock() { Close(); }
  ReusableLock(const ReusableLock &) = delete;
  ReusableLock &operator=(const ReusableLock &) = delete;

  // extra: O_DIRECTORY for a folder; create: a missing file is made (0644: others need to
  // read it only). False with *error set when the file cannot be opened or locked.
  bool Lock(const std::string &path, int extra, bool create, int *error);
  void Unlock();
  void Close();

 private:
  int fd_ = -1;
  uint64_t generation_ = 0;  // the fork generation fd_ was opened in
  dev_t device_ = 0;
  ino_t inode_ = 0;
};

// A configuration's rotations: its rotate lock file, an absolute path. The configuration file
// itself (the default lock file) is never made: while it is missing, only the folder is
// locked.
class Rotater {
 public:
  Rotater(std::string lock_path, bool create_lock_file);
  Rotater(const Rotater &) = delete;
  Rotater &operator=(const Rotater &) = delete;
  const std::string &lock_path() const { return lock_path_; }

 private:
  friend class RotationHold;
  std::string lock_path_;
  bool create_lock_file_;
  ReusableLock lock_file_;
  std::atomic<bool> lock_file_failed_{false};  // reported once
  std::atomic<bool> folder_failed_{false};
};

// Held while a file is rotated, or a memory log checked, rotated and written: excludes the
// other threads of this process (the rotation mutex, taken first) and the other processes
// that rotate a file in the same folder or under the same rotate lock file. folder, when
// given, is the caller's lock of path's folder, kept for its later holds; without it the
// folder is opened for the hold. A process that can take neither flock says so once, in
// event's category (event may be null: then it says so at a later rotation).
class RotationHold {
 public:
  RotationHold(Rotater &rotater, const std::string &path, Event *event)
      : RotationHold(rotater, nullptr, path, event) {}
  RotationHold(Rotater &rotater, ReusableLock *folder, const std::string &path, Event *event);
  ~RotationHold();
  RotationHold(const RotationHold &) = delete;
  RotationHold &operator=(const RotationHold &) = delete;

 private:
  Rotater &rotater_;
  ReusableLock own_folder_;
  ReusableLock *folder_;
  bool folder_locked_ = false;
  bool lock_file_locked_ = false;
};

// The rotation mutex (see RegisterForkLocks), and the count of forks that a descriptor kept
// by a ReusableLock is checked against.
void RegisterRotationForkLocks();
// The forks this process descends from: a descriptor kept from another generation is a
// parent's.
uint64_t ForkGeneration();

// After a failed rotation the next try waits about a second of the coarse clock, so that a
// folder that refuses renames costs a try a second instead of one a line.
class RetryWait {
 public:
  bool Waiting() const;
  void Failed();
  // The next try waits for nanoseconds of the coarse clock.
  void WaitFor(int64_t nanoseconds);

 private:
  std::atomic<int64_t> retry_at_{0};  // coarse clock, nanoseconds
};

// A static file that other processes may write, rotate or rename too (logrotate's "create"),
// followed through its path. It is looked at before a line once 4 ms of the coarse clock have
// passed since the last look, and, with size rotation, after a line once this process has
// written 1/32 of the size since its last look: its size is counted forward from the look with
// this process's own lines, and the path is checked. When the path names another file, the
// descriptor is made to name it; when it names none, the file is made anew: at once when it
// was removed, a look period later when it was renamed away and no other file has come
// (logrotate's "create" renames it and then makes the new one, and fails when one was made in
// between). A rotated file is rotated once it is counted past the size; a failed rotation is
// tried again about a second later, and meanwhile the file is looked at as before, so that
// another process's rotation is followed. So an archive passes the size by at most limit/32
// plus a line per thread for each process that writes it, and a quiet process follows a busy
// one's rotations within a look period.
class StaticFile {
 public:
  // plan null: a file without size rotation. fd stays the owner's; the references must
  // outlive this object.
  StaticFile(const RotationSpec *plan, Rotater *rotater, const std::string &path, int fd,
             int flags, mode_t perms);
  StaticFile(const StaticFile &) = delete;
  StaticFile &operator=(const StaticFile &) = delete;

  // Before a line: the periodic look at the file, done by one thread per period.
  void BeforeLine(Event &event);
  // Whether a line of length bytes may be written. No, while the descriptor of a rotated file
  // names a file that is no longer at the path (an archive) and the file now there cannot be
  // opened, once the line would take that archive past the limit: such lines are dropped,
  // reported once; the reopen is tried again about once a second. A file without rotation
  // writes on to the file it has meanwhile. A notice of the engine always passes.
  bool Takes(const Event &event, size_t length) const {
    return !stranded_.load(std::memory_order_relaxed) || event.engine_notice ||
           size_.load(std::memory_order_relaxed) + length <= limit_;
  }
  // After a line of length bytes: looks at the file once this process has written its share
  // since the last look, and rotates it once it is counted past the limit.
  void AfterLine(Event &event, size_t length) {
    if (plan_ == nullptr) return;
    uint64_t counted = size_.fetch_add(length) + length;
    if (counted > look_at_size_.load(std::memory_order_relaxed)) LookAfterLine(event, counted);
  }

 private:
  // What a look found to be done: the path names another file or none, or the file is past the
  // limit.
  enum class Due { kNothing, kReopen, kRotate };

  void LookAfterLine(Event &event, uint64_t counted);
  // The size and the path; Follow when a reopen or a rotation is due and does not wait.
  void Look(Event &event);
  // Under the rotation mutex, so that the counts of two looks are never mixed: counts the size
  // of the file fd names, and tells what is due.
  Due LookLocked();
  // Under the rotation locks (a file without rotation: this process's mutex only): rotates
  // the file if the path still names it and it is still too large, then makes fd name the
  // file now at the path. A failed rotation makes the next rotation wait, a failed reopen the
  // next reopen.
  void Follow(Event &event);
  void FollowLocked(Event &event);
  // fd made to name the file now at the path, in place of replaced (archived: by this call);
  // false when it cannot be opened.
  bool Reopen(const struct stat &replaced, bool archived, Event &event);
  // The size that a look found, before: the count when it began. Lines counted meanwhile stay
  // counted (some twice: the count only errs high).
  void Counted(uint64_t before, uint64_t size);
  // The reopen failed with error (at link, when it is a foreign one): reported once, in
  // event's category too.
  void Strand(int error, const ForeignLink &link, Event &event);

  const RotationSpec *const plan_;
  Rotater *const rotater_;
  const std::string &path_;
  const int fd_;
  const int flags_;
  const mode_t perms_;
  const uint64_t limit_;  // the size; no limit without rotation
  std::atomic<uint64_t> size_{0};  // the file's size at the last look, plus this process's lines
  std::atomic<uint64_t> look_at_size_;  // the count at which this process looks next
  std::atomic<int64_t> looked_at_;  // coarse clock, nanoseconds
  std::atomic<bool> stranded_{false};  // fd names a file no longer at the path
  bool path_was_empty_ = false;  // a renamed file's path was found naming none (make_wait_ runs)
  RetryWait rotate_retry_;
  RetryWait reopen_retry_;
  RetryWait make_wait_;  // while a renamed file's path names none: no file is made yet
  ReusableLock folder_;
};

// After a line to a dynamic file, whose descriptor is closed after it anyway: rotates the
// file once it is past the limit, if the path still names it, and makes the new live file
// (flags and perms of the output) with the archived file's owner.
void RotateDynamicFile(const RotationSpec &plan, Rotater &rotater, RetryWait &retry,
                       const char *path, int fd, int flags, mode_t perms, Event &event);

}  // namespace kelu::zl

#endif

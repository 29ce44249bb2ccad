// Size rotation of file outputs: "path", 10MB * 5 ~ "archive.#r". Renames run under an
// in-process mutex and a write lock on the configuration's "rotate lock file", so that the
// threads and processes sharing a log rotate it once.
#ifndef KELU_ZLOG_ROTATE_H
#define KELU_ZLOG_ROTATE_H

#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "zlog_format.h"

namespace kelu::zl {

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

class Rotater {
 public:
  explicit Rotater(std::string lock_path);
  ~Rotater();
  Rotater(const Rotater &) = delete;
  Rotater &operator=(const Rotater &) = delete;

  // Serialises rotations; the lock file is opened on first use.
  void Lock();
  void Unlock();
  const std::string &lock_path() const { return lock_path_; }

 private:
  pthread_mutex_t mutex_ = PTHREAD_MUTEX_INITIALIZER;
  std::string lock_path_;
  int fd_ = -1;
  bool open_failed_ = false;
};

// A rotated static file that other processes may write and rotate too. Rotation is decided on
// the size of the file the descriptor names: fstat at most once per check period of the coarse
// clock, counted forward with this process's own lines in between. At the same moments the
// path is looked at, and when it names another file (or none), another process rotated: the
// descriptor is made to name the file now at the path. So a quiet process follows a busy
// one's rotations, and what it writes into an archive is bounded by one check period.
class RotatedFile {
 public:
  // fd stays the owner's; the references must outlive this object.
  RotatedFile(const RotationSpec &plan, Rotater &rotater, const std::string &path, int fd,
              int flags, mode_t perms);
  RotatedFile(const RotatedFile &) = delete;
  RotatedFile &operator=(const RotatedFile &) = delete;

  // Before a line: the periodic look at the file, done by one thread per period.
  void BeforeLine(Event &event);
  // After a line of length bytes: rotates once the file is past the limit.
  void AfterLine(Event &event, size_t length);

 private:
  // Under the rotation lock: rotates the file if the path still names it and it is still too
  // large, then makes fd name the file now at the path.
  void RotateAndReopen(Event &event);

  const RotationSpec &plan_;
  Rotater &rotater_;
  const std::string &path_;
  const int fd_;
  const int flags_;
  const mode_t perms_;
  std::atomic<uint64_t> size_{0};  // the file's size at the last look, plus this process's lines
  std::atomic<int64_t> looked_at_;  // coarse clock, nanoseconds
};

// After a line to a dynamic file, whose descriptor is closed after it anyway: rotates the
// file once it is past the limit, if the path still names it.
void RotateDynamicFile(const RotationSpec &plan, Rotater &rotater, const char *path, int fd,
                       Event &event);

}  // namespace kelu::zl

#endif

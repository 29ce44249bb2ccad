// Small text helpers of the configuration reader.
#ifndef KELU_ZC_UTIL_H
#define KELU_ZC_UTIL_H

#include <pthread.h>
#include <time.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace kelu::zl {

// Longest path the engine accepts for files, lock files and archive names.
constexpr size_t kMaxPathLength = 1024;

std::string_view Trim(std::string_view text);
bool EqualsNoCase(std::string_view a, std::string_view b);
std::string ToUpper(std::string_view text);
std::string ToLower(std::string_view text);

// Names of syslog constants and the like: the value of name (case-insensitive), or -1.
struct NamedValue {
  const char *name;
  int value;
};
template <size_t N>
int ValueByName(const NamedValue (&table)[N], std::string_view name);

// Letters, digits and '_': the characters of category, level, format and record names.
bool IsName(std::string_view text);

// A number with an optional unit: k = 1000, kb = 1024, m = 10^6, mb = 2^20, g = 10^9,
// gb = 2^30 (case-insensitive). False for anything else or on overflow.
bool ParseSize(std::string_view text, uint64_t *out);
// Plain decimal digits only.
bool ParseCount(std::string_view text, uint64_t *out);

// CLOCK_MONOTONIC_COARSE in nanoseconds, read from the vDSO without a system call.
int64_t CoarseNow();

// The process-local locks of the logging engine are taken before a fork and released after it
// in the parent, and made anew in the child, so that a child of fork can go on logging. Each
// part registers its locks with pthread_atfork, whose prepare handlers run in the reverse
// order of registration: the inner locks are registered first.
void RegisterForkLocks(void (*lock)(), void (*unlock)(), void (*reset)());
// A mutex taken before a fork and released after it, in the child too, where the one thread
// left is the one that took it.
template <pthread_mutex_t *mutex>
void RegisterMutexForFork() {
  auto unlock = [] { pthread_mutex_unlock(mutex); };
  RegisterForkLocks([] { pthread_mutex_lock(mutex); }, unlock, unlock);
}

// Holds a process-local mutex for the scope.
class MutexHold {
 public:
  explicit MutexHold(pthread_mutex_t &mutex) : mutex_(mutex) { pthread_mutex_lock(&mutex_); }
  ~MutexHold() { pthread_mutex_unlock(&mutex_); }
  MutexHold(const MutexHold &) = delete;
  MutexHold &operator=(const MutexHold &) = delete;

 private:
  pthread_mutex_t &mutex_;
};

// localtime_r under the engine's own mutex, which a fork takes (RegisterLocalTimeForkLocks):
// no thread of the engine is then inside the C library's time-zone lock, which a child of fork
// would wait on for good.
void LocalTimeOf(time_t second, struct tm *out);
void RegisterLocalTimeForkLocks();

// The folder of path ("." for a bare name).
std::string FolderOf(const std::string &path);

// text starts with '"': takes the text up to the next '"' into *out and leaves in *rest
// what follows the closing quote. False when there is no closing quote.
bool ParseQuoted(std::string_view text, std::string *out, std::string_view *rest);

template <size_t N>
int ValueByName(const NamedValue (&table)[N], std::string_view name) {
  for (const NamedValue &entry : table) {
    if (EqualsNoCase(name, entry.name)) return entry.value;
  }
  return -1;
}

}  // namespace kelu::zl

#endif

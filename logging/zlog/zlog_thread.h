// Per-thread state of the engine: formatting buffers, the MDC and a local-time cache,
// kept under the thread-specific key zlog_thread_key with zlog_thread_clean as destructor.
//
// Lifecycle of the key: created at the first initialisation (or again by the first logging
// call after it was deleted); every thread that gets buffers is counted; the key is deleted
// once no thread has buffers left (at a thread exit, at process exit, or at a teardown).
// Buffers outlive zlog_fini and re-initialisation: they hold no reference to a configuration.
#ifndef KELU_ZLOG_THREAD_H
#define KELU_ZLOG_THREAD_H

#include <sys/time.h>
#include <time.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "zlog_buffer.h"

namespace kelu::zl {

class Mdc {
 public:
  void Put(std::string_view key, std::string_view value);
  const std::string *Get(std::string_view key) const;
  void Remove(std::string_view key);
  void Clean() { entries_.clear(); }

 private:
  std::vector<std::pair<std::string, std::string>> entries_;
};

struct ThreadBuffers {
  LineBuffer message;  // %m of the current event
  LineBuffer line;     // the formatted line
  LineBuffer path;     // a dynamic file or record path
  LineBuffer archive;  // archive names while rotating
  Mdc mdc;
  uint64_t conf_version = 0;  // buffers sized for this configuration
  time_t cached_second = -1;
  struct tm cached_tm {};
};

// The calling thread's buffers, created (and the key with them) when missing; null when the
// key or the buffers cannot be made. Called by the logging entry points.
ThreadBuffers *FetchThreadBuffers();
// The calling thread's buffers if it has any; null otherwise. *key_exists tells whether the key
// exists at all (the MDC readers fail differently then).
ThreadBuffers *LookupThreadBuffers(bool *key_exists);

// First initialisation of the process: creates the key and registers the exit handler.
bool InitThreadKeyOnce();
// Inner teardown: deletes the key when no thread has buffers left.
void ReleaseThreadKeyIfUnused();

struct ThreadKeyState {
  bool exists;
  int buffer_count;
};
ThreadKeyState CurrentThreadKeyState();

// The mutex of the key and the count, for a fork (see RegisterForkLocks).
void RegisterThreadKeyForkLocks();

}  // namespace kelu::zl

#endif

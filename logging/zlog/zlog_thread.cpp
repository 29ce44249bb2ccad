#include "zlog_thread.h"

#include <pthread.h>

#include <cstdlib>
#include <new>

#include "zc_profile.h"
#include "zc_util.h"
#include "zlog.h"

namespace kelu::zl {

namespace {

// The key, its flag and the count change from logging calls that hold only the shared
// environment lock and from thread-exit destructors that hold none: one mutex guards them.
pthread_mutex_t g_key_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_key_t zlog_thread_key;
int zlog_thread_key_exist = 0;
int zlog_thread_buf_count = 0;

// Fast path of the logging calls; mirrors the key's value for this thread.
thread_local ThreadBuffers *t_buffers = nullptr;

unsigned KeyAsNumber() { return static_cast<unsigned>(zlog_thread_key); }

// Called with g_key_mutex held.
bool CreateKeyLocked() {
  int rc = pthread_key_create(&zlog_thread_key, zlog_thread_clean);
  if (rc != 0) {
    zc_error("pthread_key_create fail, rd[%d]", rc);
    return false;
  }
  zlog_thread_key_exist = 1;
  return true;
}

// Called with g_key_mutex held.
void DeleteKeyIfUnusedLocked(const char *who) {
  if (zlog_thread_key_exist && zlog_thread_buf_count == 0) {
    zc_debug("%s(pthread_key_delete: 0x%08x)", who, KeyAsNumber());
    pthread_key_delete(zlog_thread_key);
    zlog_thread_key_exist = 0;
  }
}

// Called with g_key_mutex held, on the thread that owns the buffers.
void ForgetOwnBuffersLocked(ThreadBuffers *buffers) {
  if (t_buffers == buffers) t_buffers = nullptr;
  delete buffers;
  if (zlog_thread_buf_count > 0) --zlog_thread_buf_count;
}

// Exit handler: frees the exiting thread's buffers (pthread runs no key destructor for the
// thread that calls exit) and the key once nothing uses it.
void zlog_clean_rest_thread() {
  MutexHold hold(g_key_mutex);
  zc_debug("zlog_clean_rest_thread");
  if (!zlog_thread_key_exist) return;
  zc_debug("zlog_clean_rest_thread: zlog_thread_key(%u)-zlog_thread_buf_count(%d)",
           KeyAsNumber(), zlog_thread_buf_count);
  if (t_buffers != nullptr) {
    pthread_setspecific(zlog_thread_key, nullptr);
    ForgetOwnBuffersLocked(t_buffers);
  }
  DeleteKeyIfUnusedLocked("zlog_clean_rest_thread");
}

}  // namespace

void RegisterThreadKeyForkLocks() { RegisterMutexForFork<&g_key_mutex>(); }

void Mdc::Put(std::string_view key, std::string_view value) {
  // Keys and values are cut at the engine's path length, as zlog does.
  key = key.substr(0, kMaxPathLength);
  value = value.substr(0, kMaxPathLength);
  for (auto &entry : entries_) {
    if (entry.first == key) {
      entry.second.assign(value);
      return;
    }
  }
  entries_.emplace_back(std::string(key), std::string(value));
}

const std::string *Mdc::Get(std::string_view key) const {
  key = key.substr(0, kMaxPathLength);
  for (const auto &entry : entries_) {
    if (entry.first == key) return &entry.second;
  }
  return nullptr;
}

void Mdc::Remove(std::string_view key) {
  key = key.substr(0, kMaxPathLength);
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (it->first == key) {
      entries_.erase(it);
      return;
    }
  }
}

ThreadBuffers *FetchThreadBuffers() {
  if (t_buffers != nullptr) return t_buffers;
  MutexHold hold(g_key_mutex);
  if (!zlog_thread_key_exist) {
    if (!CreateKeyLocked()) return nullptr;
    zc_debug("zlog_fetch_thread(zlog_thread_key: 0x%08x)", KeyAsNumber());
  }
  ThreadBuffers *buffers = new (std::nothrow) ThreadBuffers;
  if (buffers == nullptr) {
    zc_error("no memory for the thread buffers");
    return nullptr;
  }
  int rc = pthread_setspecific(zlog_thread_key, buffers);
  if (rc != 0) {
    zc_error("pthread_setspecific fail, rc[%d]", rc);
    delete buffers;
    return nullptr;
  }
  t_buffers = buffers;
  ++zlog_thread_buf_count;
  zc_debug("zlog_fetch_thread(zlog_thread_buf_count: %d)", zlog_thread_buf_count);
  return buffers;
}

ThreadBuffers *LookupThreadBuffers(bool *key_exists) {
  {
    MutexHold hold(g_key_mutex);
    *key_exists = zlog_thread_key_exist != 0;
  }
  return t_buffers;
}

bool InitThreadKeyOnce() {
  MutexHold hold(g_key_mutex);
  zc_debug("zlog_env_init_version == 0");
  if (!zlog_thread_key_exist && !CreateKeyLocked()) return false;
  int rc = std::atexit(zlog_clean_rest_thread);
  if (rc != 0) {
    zc_error("atexit fail, rc[%d]", rc);
    return false;
  }
  return true;
}

void ReleaseThreadKeyIfUnused() {
  MutexHold hold(g_key_mutex);
  zc_debug("zlog_fini_inner(zlog_thread_key_exist: %d; zlog_thread_buf_count: %d)",
           zlog_thread_key_exist, zlog_thread_buf_count);
  DeleteKeyIfUnusedLocked("zlog_fini_inner");
}

ThreadKeyState CurrentThreadKeyState() {
  MutexHold hold(g_key_mutex);
  return {zlog_thread_key_exist != 0, zlog_thread_buf_count};
}

}  // namespace kelu::zl

// Destructor of zlog_thread_key: runs when a thread that has buffers exits.
void zlog_thread_clean(void *thread) {
  using namespace kelu::zl;
  MutexHold hold(g_key_mutex);
  delete static_cast<ThreadBuffers *>(thread);
  if (t_buffers == thread) t_buffers = nullptr;
  if (zlog_thread_buf_count > 0) --zlog_thread_buf_count;
  zc_debug("zlog_thread_clean(zlog_thread_buf_count: %d)", zlog_thread_buf_count);
  DeleteKeyIfUnusedLocked("zlog_thread_clean");
}

#include "th_lock.h"

#include <openssl/crypto.h>
#include <pthread.h>

#include <cstring>

namespace kelu {
namespace {

pthread_mutex_t *lock_cs = nullptr;
unsigned long long *lock_count = nullptr;
int lock_total = 0;
bool locking_callback_installed = false;
bool id_callback_installed = false;

}  // namespace

void CRYPTO_thread_setup() {
  int n = CRYPTO_num_locks();
  if (n < 1) n = 1;
  lock_cs = static_cast<pthread_mutex_t *>(
      CRYPTO_malloc(static_cast<size_t>(n) * sizeof(pthread_mutex_t), "th_lock.cpp", __LINE__));
  lock_count = static_cast<unsigned long long *>(
      CRYPTO_malloc(static_cast<size_t>(n) * sizeof(unsigned long long), "th_lock.cpp", __LINE__));
  if (lock_cs == nullptr || lock_count == nullptr) {
    CRYPTO_free(lock_cs, "th_lock.cpp", __LINE__);
    CRYPTO_free(lock_count, "th_lock.cpp", __LINE__);
    lock_cs = nullptr;
    lock_count = nullptr;
    return;
  }
  for (int i = 0; i < n; ++i) {
    lock_count[i] = 0;
    pthread_mutex_init(&lock_cs[i], nullptr);
  }
  lock_total = n;
  CRYPTO_set_id_callback(pthreads_thread_id);
  id_callback_installed = true;
  CRYPTO_set_locking_callback(pthreads_locking_callback);
  locking_callback_installed = true;
}

void CRYPTO_thread_cleanup() {
  CRYPTO_set_locking_callback(NULL);
  locking_callback_installed = false;
  for (int i = 0; i < lock_total; ++i) pthread_mutex_destroy(&lock_cs[i]);
  CRYPTO_free(lock_cs, "th_lock.cpp", __LINE__);
  CRYPTO_free(lock_count, "th_lock.cpp", __LINE__);
  lock_cs = nullptr;
  lock_count = nullptr;
  lock_total = 0;
  // The id callback stays: pthread_self remains a valid answer after shut-down.
}

void pthreads_locking_callback(int mode, int n, const char *, int) {
  if (n < 0 || n >= lock_total) return;
  if (mode & CRYPTO_LOCK) {
    pthread_mutex_lock(&lock_cs[n]);
    ++lock_count[n];
  } else {
    pthread_mutex_unlock(&lock_cs[n]);
  }
}

unsigned long pthreads_thread_id() {
  pthread_t self = pthread_self();
  unsigned long id = 0;
  std::memcpy(&id, &self, sizeof id < sizeof self ? sizeof id : sizeof self);
  return id;
}

bool LockingCallbackInstalled() { return locking_callback_installed; }
bool IdCallbackInstalled() { return id_callback_installed; }
int LockCount() { return lock_total; }
unsigned long long LockTakenCount(int n) {
  return (n >= 0 && n < lock_total) ? lock_count[n] : 0;
}

}  // namespace kelu

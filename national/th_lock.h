/* Locking callbacks of the crypto library: one mutex and one counter per library lock. */
#ifndef KELU_TH_LOCK_H
#define KELU_TH_LOCK_H

namespace kelu {

void CRYPTO_thread_setup();
void CRYPTO_thread_cleanup();
void pthreads_locking_callback(int mode, int n, const char *file, int line);
unsigned long pthreads_thread_id();

// Bookkeeping of what is installed. OpenSSL 3 locks internally and its callback setters
// are empty, so these record what the set-up would have handed to the library.
bool LockingCallbackInstalled();
bool IdCallbackInstalled();
int LockCount();                    // number of mutexes while set up, else 0
unsigned long long LockTakenCount(int n);

}  // namespace kelu

#endif

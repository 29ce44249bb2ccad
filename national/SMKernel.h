/* One-time start-up and shut-down of the crypto library for the toolkit. */
#ifndef KELU_SM_KERNEL_H
#define KELU_SM_KERNEL_H

#include <openssl/crypto.h>

namespace kelu {

// 0 not started, 1 starting, 2 ready; any other value is corrupt.
extern int g_InitState;

// 0 when started now or already started; -1 on a corrupt state or a failed start-up step
// (the state then returns to 0).
int SMKernelInitialize();
// 0 when shut down now or never started; -1 when the state is neither 0 nor 2.
int SMKernelUninitialize();

// The toolkit's own library context, with the default and legacy providers (RC4, RC2-40
// PKCS#12 files); null before the first start-up. It is kept for the life of the process, so
// that a later start-up and anything still holding an object of it find it intact. The
// library's default context, which every other user in the process shares, is left as it is.
OSSL_LIB_CTX *ToolkitLibraryContext();

// Makes the toolkit's context the calling thread's default for the scope's lifetime (nothing
// changes before the first start-up); the thread's previous default comes back at its end.
class ToolkitContextScope {
 public:
  ToolkitContextScope() : previous_(OSSL_LIB_CTX_set0_default(ToolkitLibraryContext())) {}
  ~ToolkitContextScope() { OSSL_LIB_CTX_set0_default(previous_); }
  ToolkitContextScope(const ToolkitContextScope &) = delete;
  ToolkitContextScope &operator=(const ToolkitContextScope &) = delete;

 private:
  OSSL_LIB_CTX *previous_;
};

}  // namespace kelu

#endif

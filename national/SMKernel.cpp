#include "SMKernel.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <atomic>

#include "SMRegistration.h"
#include "kelu_zlog.h"
#include "th_lock.h"

namespace kelu {

int g_InitState = 0;

namespace {

std::atomic<OSSL_LIB_CTX *> g_toolkit_context{nullptr};

// Loading "legacy" alone would stop the implicit default provider, so both are loaded. The
// providers and the context stay for the life of the process: an object made in the context
// (a key, a fetched cipher) may outlive a shut-down, and a later start-up reuses them.
OSSL_LIB_CTX *MakeToolkitContextOnce() {
  OSSL_LIB_CTX *ctx = g_toolkit_context.load(std::memory_order_acquire);
  if (ctx != nullptr) return ctx;
  ctx = OSSL_LIB_CTX_new();
  if (ctx == nullptr) return nullptr;
  if (OSSL_PROVIDER_load(ctx, "default") == nullptr ||
      OSSL_PROVIDER_load(ctx, "legacy") == nullptr) {
    OSSL_LIB_CTX_free(ctx);
    return nullptr;
  }
  g_toolkit_context.store(ctx, std::memory_order_release);
  return ctx;
}

// The library starts as it does for any of its users: whether and which configuration file it
// reads stays the program's choice.
bool StartCryptoLibrary() {
  const uint64_t opts = OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS |
                        OPENSSL_INIT_LOAD_CRYPTO_STRINGS;
  if (OPENSSL_init_crypto(opts, nullptr) != 1) return false;
  if (MakeToolkitContextOnce() == nullptr) return false;
  // What the registration makes belongs to the toolkit's context, like everything of a call.
  ToolkitContextScope scope;
  return RegisterNationalAlgorithms() == 1;
}

// The lock arrays are the toolkit's own bookkeeping; without them the start-up fails too.
bool StartLocks() {
  CRYPTO_thread_setup();
  return LockCount() > 0;
}

}  // namespace

int SMKernelInitialize() {
  TRACE(KELU_TRACE_INFO, "OPENSSL_VERSION_NUMBER: 0x%08lx", OpenSSL_version_num());
  if (g_InitState == 1 || g_InitState == 2) return 0;
  if (g_InitState != 0) return -1;
  g_InitState = 1;
  ERR_set_mark();  // the start-up's own errors go, the caller's stay
  const bool started = StartCryptoLibrary() && StartLocks();
  ERR_pop_to_mark();
  if (!started) {
    TRACE(KELU_TRACE_ERROR, "SMKernelInitialize failed!");
    g_InitState = 0;
    return -1;
  }
  g_InitState = 2;
  TRACE(KELU_TRACE_INFO, "SMKernelInitialize success!");
  return 0;
}

int SMKernelUninitialize() {
  if (g_InitState == 0) return 0;
  if (g_InitState != 2) return -1;
  // OpenSSL 3 frees its tables itself at process exit; OPENSSL_cleanup would end the library
  // for every user in the process, so only the toolkit's own set-up is undone here.
  CRYPTO_thread_cleanup();
  g_InitState = 0;
  return 0;
}

OSSL_LIB_CTX *ToolkitLibraryContext() { return g_toolkit_context.load(std::memory_order_acquire); }

}  // namespace kelu

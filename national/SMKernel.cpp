#include "SMKernel.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include "SMRegistration.h"
#include "kelu_zlog.h"
#include "th_lock.h"

namespace kelu {

int g_InitState = 0;

namespace {

// Loading "legacy" stops the implicit default provider, so both are loaded. They are kept
// for the life of the process: an unloaded default provider does not come back for the other
// users of the library (PHP's own openssl extension among them).
bool LoadProvidersOnce() {
  static OSSL_PROVIDER *legacy = nullptr;
  static OSSL_PROVIDER *deflt = nullptr;
  if (deflt == nullptr) deflt = OSSL_PROVIDER_load(nullptr, "default");
  if (legacy == nullptr) legacy = OSSL_PROVIDER_load(nullptr, "legacy");
  return deflt != nullptr && legacy != nullptr;
}

bool StartCryptoLibrary() {
  const uint64_t opts = OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS |
                        OPENSSL_INIT_LOAD_CRYPTO_STRINGS | OPENSSL_INIT_NO_LOAD_CONFIG;
  if (OPENSSL_init_crypto(opts, nullptr) != 1) return false;
  if (!LoadProvidersOnce()) return false;
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
  if (!StartCryptoLibrary() || !StartLocks()) {
    TRACE(KELU_TRACE_ERROR, "SMKernelInitialize failed!");
    g_InitState = 0;
    return -1;
  }
  ERR_clear_error();
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
  ERR_clear_error();
  g_InitState = 0;
  return 0;
}

}  // namespace kelu

#include "ORVA.h"

#include "SMKernel.h"
#include "kelu_zlog.h"

int Initialize(void) {
  kelu_log_init_ex("./kelulog.conf");  // without a configuration the toolkit runs unlogged
  return kelu::SMKernelInitialize();
}

int Uninitialize(void) {
  int result = kelu::SMKernelUninitialize();
  kelu_log_fini();
  return result;
}

void FreeMemory(void *p) { delete[] static_cast<unsigned char *>(p); }

/* The crypto library started for the operation tests. */
#ifndef KELU_TESTS_START_KERNEL_H
#define KELU_TESTS_START_KERNEL_H

#include <gtest/gtest.h>

#include "SMKernel.h"

namespace kelu::test {

// Start-up makes the toolkit's library context (legacy provider: RC4, RC2-40 PKCS#12 files) and
// registers the national algorithms. The operations run inside an exported function's call
// boundary, so the test thread takes the toolkit's context as its default, as the boundary does.
inline void StartKernelInToolkitContext() {
  ASSERT_EQ(kelu::SMKernelInitialize(), 0);
  OSSL_LIB_CTX_set0_default(kelu::ToolkitLibraryContext());
}

}  // namespace kelu::test

#endif

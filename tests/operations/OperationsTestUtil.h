/* Helpers of the operation tests: the crypto library started once, owned FILE streams and the
 * openssl command line as the reference. */
#ifndef KELU_OPERATIONS_TEST_UTIL_H
#define KELU_OPERATIONS_TEST_UTIL_H

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "SMKernel.h"
#include "TestSupport.h"

namespace kelu::test {

// Start-up loads the legacy provider (RC4) and registers the national algorithms.
inline void StartCryptoKernel() { ASSERT_EQ(kelu::SMKernelInitialize(), 0); }

struct FileCloser {
  void operator()(FILE *f) const {
    if (f != nullptr) std::fclose(f);
  }
};
using File = std::unique_ptr<FILE, FileCloser>;

inline File OpenFile(const std::string &path, const char *mode) {
  File f(std::fopen(path.c_str(), mode));
  EXPECT_NE(f, nullptr) << path;
  return f;
}

// Runs an openssl command line; the test fails when it does not exit with 0.
inline std::string Openssl(const std::string &arguments) {
  CommandResult r = RunCommand("openssl " + arguments);
  EXPECT_EQ(r.exit_code, 0) << "openssl " << arguments << "\n" << r.output;
  return r.output;
}

}  // namespace kelu::test

#endif

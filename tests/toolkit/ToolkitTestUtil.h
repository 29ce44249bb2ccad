/* Helpers of the exported-function tests: the step lines read back from the log, the
 * parameter-check tables, and the openssl command line as the reference. */
#ifndef KELU_TOOLKIT_TEST_UTIL_H
#define KELU_TOOLKIT_TEST_UTIL_H

#include <dirent.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "ORVA.h"
#include "SMKernel.h"
#include "TestSupport.h"

namespace kelu::test {

// The crypto library once per test program (Initialize would also start logging from a
// configuration, which the tests start themselves through LogCapture).
inline void StartCryptoKernel() { ASSERT_EQ(kelu::SMKernelInitialize(), 0); }

inline std::string OkStep(const std::string &function, const std::string &step) {
  return "(" + function + " -- " + step + ")\t\t--OK\n";
}

inline std::string FailedStep(const std::string &function, const std::string &step, int code,
                              const std::string &reason) {
  char shown[16];
  std::snprintf(shown, sizeof shown, "0x%08x", static_cast<unsigned>(code));
  return "(" + function + " -- " + step + ")\t\t--Failed:(" + shown + ") [Reason:" + reason + "]";
}

// One row of a parameter-check table: the call, its code, and the Failed line it must end
// with (step and reason; the function is the table's).
struct CheckCase {
  const char *what;
  std::function<int()> call;
  int code;
  const char *step;
  const char *reason;
};

// Runs every row: the code, and the Failed line as the last line the call wrote.
inline void RunCheckTable(LogCapture &log, const char *function,
                          const std::vector<CheckCase> &cases) {
  for (const CheckCase &c : cases) {
    SCOPED_TRACE(c.what);
    log.Take();
    EXPECT_EQ(c.call(), c.code);
    std::vector<std::string> lines = log.Take();
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines.back().find(FailedStep(function, c.step, c.code, c.reason)), std::string::npos)
        << lines.back();
  }
}

// Open descriptors of the process: a call must leave as many as it found.
inline int OpenDescriptorCount() {
  int count = 0;
  if (DIR *dir = opendir("/proc/self/fd")) {
    while (readdir(dir) != nullptr) ++count;
    closedir(dir);
  }
  return count;
}

// Runs an openssl command line; the test fails when it does not exit with 0. Standard error
// is kept apart, so that the output is what the command wrote.
inline std::string Openssl(const std::string &arguments) {
  CommandResult r = RunCommand("openssl " + arguments, false);
  EXPECT_EQ(r.exit_code, 0) << "openssl " << arguments << "\n" << r.output;
  return r.output;
}

// A text handed out by the toolkit, released with FreeMemory.
inline std::string TakeText(char *text) {
  std::string out = text != nullptr ? text : "";
  FreeMemory(text);
  return out;
}

// The symmetric names with openssl enc's cipher options, the key text's IV and key lengths in
// bytes, and the block size. The file functions take the first two.
struct SymCipher {
  const char *name;
  const char *openssl;
  size_t iv_bytes;
  size_t key_bytes;
  size_t block;
};
inline const SymCipher kSymCiphers[] = {
    {"SM4_CBC", "-sm4-cbc", 16, 16, 16},
    {"3DES_CBC", "-des-ede3-cbc", 8, 24, 8},
    {"RC4", "-rc4 -provider legacy -provider default", 0, 16, 1},
};

// openssl enc's options for the IV and key of a key text.
inline std::string OpensslKeyArgs(const SymCipher &c, const std::string &key_text) {
  const std::string iv = key_text.substr(0, 2 * c.iv_bytes);
  const std::string key = key_text.substr(2 * c.iv_bytes, 2 * c.key_bytes);
  return std::string(c.openssl) + " -K " + key + (iv.empty() ? "" : " -iv " + iv);
}

// One-line Base64 of bytes, by openssl.
inline std::string OpensslBase64(const std::string &path) {
  std::string text = Openssl("base64 -A -in " + ShellQuote(path));
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

}  // namespace kelu::test

#endif

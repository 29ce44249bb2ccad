/* Helpers of the operation tests: the crypto library started once, owned FILE streams and the
 * openssl command line as the reference. */
#ifndef KELU_OPERATIONS_TEST_UTIL_H
#define KELU_OPERATIONS_TEST_UTIL_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "StartKernel.h"
#include "TestSupport.h"

namespace kelu::test {

inline void StartCryptoKernel() { StartKernelInToolkitContext(); }

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

// A read-only stream that claims size bytes (its end, as seeking finds it) and whose bytes
// come from fill(position, buffer, count), which returns how many it supplied: fewer than asked
// make the stream end early. No descriptor: the file size is measured by seeking alone.
class GeneratedStream {
 public:
  using Fill = std::function<size_t(uint64_t, unsigned char *, size_t)>;
  GeneratedStream(uint64_t size, Fill fill) : size_(size), fill_(std::move(fill)) {
    cookie_io_functions_t io = {Read, nullptr, Seek, nullptr};
    file_ = fopencookie(this, "r", io);
    EXPECT_NE(file_, nullptr);
  }
  ~GeneratedStream() {
    if (file_ != nullptr) std::fclose(file_);
  }
  GeneratedStream(const GeneratedStream &) = delete;
  GeneratedStream &operator=(const GeneratedStream &) = delete;
  FILE *get() const { return file_; }

  // The first bytes of content, then nothing, however large the claimed size.
  static Fill Prefix(Bytes content) {
    return [content](uint64_t at, unsigned char *buf, size_t n) -> size_t {
      if (at >= content.size()) return 0;
      size_t k = std::min<uint64_t>(n, content.size() - at);
      std::memcpy(buf, content.data() + at, k);
      return k;
    };
  }

 private:
  static ssize_t Read(void *cookie, char *buf, size_t n) {
    auto *self = static_cast<GeneratedStream *>(cookie);
    if (self->at_ >= self->size_) return 0;
    n = static_cast<size_t>(std::min<uint64_t>(n, self->size_ - self->at_));
    size_t k = self->fill_(self->at_, reinterpret_cast<unsigned char *>(buf), n);
    self->at_ += k;
    return static_cast<ssize_t>(k);
  }
  static int Seek(void *cookie, off64_t *offset, int whence) {
    auto *self = static_cast<GeneratedStream *>(cookie);
    int64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? self->at_ : self->size_;
    self->at_ = static_cast<uint64_t>(base + *offset);
    *offset = static_cast<off64_t>(self->at_);
    return 0;
  }

  uint64_t size_;
  uint64_t at_ = 0;
  Fill fill_;
  FILE *file_ = nullptr;
};

// A write-only stream that hands every byte written to take(position, bytes, count).
class CheckingSink {
 public:
  using Take = std::function<void(uint64_t, const unsigned char *, size_t)>;
  explicit CheckingSink(Take take) : take_(std::move(take)) {
    cookie_io_functions_t io = {nullptr, Write, nullptr, nullptr};
    file_ = fopencookie(this, "w", io);
    EXPECT_NE(file_, nullptr);
  }
  ~CheckingSink() {
    if (file_ != nullptr) std::fclose(file_);
  }
  CheckingSink(const CheckingSink &) = delete;
  CheckingSink &operator=(const CheckingSink &) = delete;
  FILE *get() const { return file_; }
  uint64_t written() const { return at_; }

 private:
  static ssize_t Write(void *cookie, const char *buf, size_t n) {
    auto *self = static_cast<CheckingSink *>(cookie);
    self->take_(self->at_, reinterpret_cast<const unsigned char *>(buf), n);
    self->at_ += n;
    return static_cast<ssize_t>(n);
  }

  Take take_;
  uint64_t at_ = 0;
  FILE *file_ = nullptr;
};

}  // namespace kelu::test

#endif

/* Owning new[] buffers of the operations: a secret one is wiped before it is released, and
 * release() hands the bytes to a caller, who frees them with delete[]. */
#ifndef KELU_SECRET_BYTES_H
#define KELU_SECRET_BYTES_H

#include <openssl/crypto.h>

#include <cstddef>
#include <new>

namespace kelu::ops {

class SecretBytes {
 public:
  SecretBytes() = default;
  // size zeroed bytes (nothrow); check with valid().
  explicit SecretBytes(size_t size) : p_(new (std::nothrow) unsigned char[size]()), size_(size) {}
  ~SecretBytes() { Reset(); }
  SecretBytes(const SecretBytes &) = delete;
  SecretBytes &operator=(const SecretBytes &) = delete;

  SecretBytes(SecretBytes &&other) noexcept : p_(other.p_), size_(other.size_) {
    other.p_ = nullptr;
    other.size_ = 0;
  }
  SecretBytes &operator=(SecretBytes &&other) noexcept {
    if (this != &other) {
      Reset();
      size_ = other.size_;
      p_ = other.release();
    }
    return *this;
  }

  // Takes over a new[] buffer of size bytes.
  SecretBytes(unsigned char *p, size_t size) : p_(p), size_(p != nullptr ? size : 0) {}
  bool valid() const { return p_ != nullptr; }
  unsigned char *get() const { return p_; }
  size_t size() const { return size_; }

  // Hands the buffer over; this object is then empty.
  unsigned char *release() {
    unsigned char *p = p_;
    p_ = nullptr;
    size_ = 0;
    return p;
  }
  void Reset() {
    if (p_ != nullptr) {
      OPENSSL_cleanse(p_, size_);
      delete[] p_;
    }
    p_ = nullptr;
    size_ = 0;
  }

 private:
  unsigned char *p_ = nullptr;
  size_t size_ = 0;
};

// A fixed-size secret on the stack, wiped when it goes out of scope.
template <size_t N>
struct SecretArray {
  unsigned char bytes[N] = {};
  SecretArray() = default;
  ~SecretArray() { OPENSSL_cleanse(bytes, N); }
  SecretArray(const SecretArray &) = delete;
  SecretArray &operator=(const SecretArray &) = delete;
};

}  // namespace kelu::ops

#endif

/* Bounded cursors over untrusted bytes: every read and write fails rather than pass the end. */
#ifndef KELU_BYTE_READER_H
#define KELU_BYTE_READER_H

#include <cstddef>
#include <cstdint>
#include <cstring>

// A read-only view that only shrinks.
class ByteReader {
 public:
  ByteReader() = default;
  ByteReader(const uint8_t *p, size_t n) : p_(p), n_(p != nullptr ? n : 0) {}

  size_t remaining() const { return n_; }
  bool empty() const { return n_ == 0; }
  const uint8_t *data() const { return p_; }

  bool ReadU8(uint8_t *out) {
    if (n_ < 1) return false;
    *out = *p_;
    Skip(1);
    return true;
  }
  // A sub-view of the next len bytes; nothing is consumed when fewer remain.
  bool ReadBytes(size_t len, ByteReader *out) {
    if (len > n_) return false;
    *out = ByteReader(p_, len);
    Skip(len);
    return true;
  }
  bool CopyBytes(size_t len, uint8_t *out) {
    if (len > n_) return false;
    if (len != 0) std::memcpy(out, p_, len);
    Skip(len);
    return true;
  }
  bool Skip(size_t len) {
    if (len > n_) return false;
    p_ += len;
    n_ -= len;
    return true;
  }

 private:
  const uint8_t *p_ = nullptr;
  size_t n_ = 0;
};

// A cursor over (buffer, capacity) whose writes fail rather than overflow.
class ByteWriter {
 public:
  ByteWriter(uint8_t *p, size_t capacity) : p_(p), cap_(p != nullptr ? capacity : 0) {}

  size_t written() const { return pos_; }
  size_t available() const { return cap_ - pos_; }

  bool WriteU8(uint8_t v) { return WriteBytes(&v, 1); }
  bool WriteBytes(const void *src, size_t len) {
    if (len > cap_ - pos_) return false;
    if (len != 0) std::memcpy(p_ + pos_, src, len);
    pos_ += len;
    return true;
  }
  bool WriteZeros(size_t len) {
    if (len > cap_ - pos_) return false;
    std::memset(p_ + pos_, 0, len);
    pos_ += len;
    return true;
  }

 private:
  uint8_t *p_;
  size_t cap_;
  size_t pos_ = 0;
};

#endif

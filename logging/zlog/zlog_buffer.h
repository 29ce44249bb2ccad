// A growable text buffer bounded by the configuration's "buffer max": text beyond the
// bound is cut, never written past the allocation. Always NUL-terminated.
#ifndef KELU_ZLOG_BUFFER_H
#define KELU_ZLOG_BUFFER_H

#include <cstdarg>
#include <cstddef>
#include <memory>
#include <string_view>

namespace kelu::zl {

class LineBuffer {
 public:
  // min: bytes kept allocated; max: the bound, 0 for none.
  void SetLimits(size_t min, size_t max);
  void Clear();

  void Append(std::string_view text);
  void AppendRepeated(char c, size_t count);
  // printf into the buffer; false on a formatting error (nothing is kept then).
  bool AppendFormat(const char *format, va_list args);
  void Truncate(size_t size);

  const char *data() const { return data_ ? data_.get() : ""; }
  char *mutable_data() { return data_.get(); }
  size_t size() const { return size_; }
  bool truncated() const { return truncated_; }
  std::string_view view() const { return {data(), size_}; }

 private:
  // Makes room for size_ + extra bytes if the bound allows; returns the room available.
  size_t Reserve(size_t extra);

  std::unique_ptr<char[]> data_;
  size_t capacity_ = 0;  // usable bytes, the NUL not included
  size_t size_ = 0;
  size_t min_ = 1024;
  size_t max_ = 2 * 1024 * 1024;
  bool truncated_ = false;
};

}  // namespace kelu::zl

#endif

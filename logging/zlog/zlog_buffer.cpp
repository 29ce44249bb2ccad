#include "zlog_buffer.h"

#include <cstdio>
#include <cstring>
#include <new>

namespace kelu::zl {

namespace {

bool Reallocate(std::unique_ptr<char[]> *data, size_t *capacity, size_t size, size_t wanted) {
  std::unique_ptr<char[]> larger(new (std::nothrow) char[wanted + 1]);
  if (!larger) return false;
  if (*data) std::memcpy(larger.get(), data->get(), size);
  larger[size] = '\0';
  *data = std::move(larger);
  *capacity = wanted;
  return true;
}

}  // namespace

void LineBuffer::SetLimits(size_t min, size_t max) {
  min_ = min;
  max_ = max;
  if (max_ != 0 && min_ > max_) min_ = max_;
  size_ = 0;
  truncated_ = false;
  if (capacity_ < min_ || (max_ != 0 && capacity_ > max_)) {
    data_.reset();
    capacity_ = 0;
    Reallocate(&data_, &capacity_, 0, min_);
  }
}

void LineBuffer::Clear() {
  size_ = 0;
  truncated_ = false;
  if (data_) data_[0] = '\0';
}

size_t LineBuffer::Reserve(size_t extra) {
  size_t room = capacity_ - size_;
  if (extra <= room) return room;
  size_t wanted = size_ + extra;
  if (wanted < size_) wanted = SIZE_MAX / 2;  // overflow: ask for as much as the bound allows
  size_t doubled = capacity_ * 2 > wanted ? capacity_ * 2 : wanted;
  if (doubled < min_) doubled = min_;
  if (max_ != 0 && doubled > max_) doubled = max_;
  if (doubled > capacity_) Reallocate(&data_, &capacity_, size_, doubled);
  return capacity_ - size_;
}

void LineBuffer::Append(std::string_view text) {
  size_t room = Reserve(text.size());
  size_t n = text.size() <= room ? text.size() : room;
  if (n < text.size()) truncated_ = true;
  if (n == 0) return;
  std::memcpy(data_.get() + size_, text.data(), n);
  size_ += n;
  data_[size_] = '\0';
}

void LineBuffer::AppendRepeated(char c, size_t count) {
  size_t room = Reserve(count);
  size_t n = count <= room ? count : room;
  if (n < count) truncated_ = true;
  if (n == 0) return;
  std::memset(data_.get() + size_, c, n);
  size_ += n;
  data_[size_] = '\0';
}

bool LineBuffer::AppendFormat(const char *format, va_list args) {
  if (Reserve(1) == 0 && capacity_ == 0) return false;
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(data_.get() + size_, capacity_ - size_ + 1, format, copy);
  va_end(copy);
  if (n < 0) {
    data_[size_] = '\0';
    return false;
  }
  size_t needed = static_cast<size_t>(n);
  if (needed > capacity_ - size_) {
    size_t room = Reserve(needed);
    va_copy(copy, args);
    std::vsnprintf(data_.get() + size_, room + 1, format, copy);
    va_end(copy);
    if (needed > room) {
      truncated_ = true;
      needed = room;
    }
  }
  size_ += needed;
  data_[size_] = '\0';
  return true;
}

void LineBuffer::Truncate(size_t size) {
  if (size >= size_) return;
  size_ = size;
  data_[size_] = '\0';
}

}  // namespace kelu::zl

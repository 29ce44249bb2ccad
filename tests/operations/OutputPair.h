/* Calls of the operations that hand out a new[] buffer with its size: the buffer is taken over,
 * and on failure neither output may have been written. */
#ifndef KELU_OUTPUT_PAIR_H
#define KELU_OUTPUT_PAIR_H

#include <gtest/gtest.h>

#include <functional>

#include "KeluErrors.h"
#include "TestSupport.h"

namespace kelu::test {

struct Out {
  int result;
  Bytes bytes;
};

// f receives the two output pointers, both set to values that a failure must leave as they are.
inline Out Call(const std::function<int(unsigned char **, int *)> &f) {
  static unsigned char untouched;
  unsigned char *buffer = &untouched;
  int size = -7;
  Out out{f(&buffer, &size), {}};
  if (out.result == KELU_OK) {
    EXPECT_NE(buffer, &untouched);
    EXPECT_GE(size, 0);
    out.bytes.assign(buffer, buffer + size);
    delete[] buffer;
  } else {
    EXPECT_EQ(buffer, &untouched) << "output written on failure";
    EXPECT_EQ(size, -7) << "output size written on failure";
  }
  return out;
}

}  // namespace kelu::test

#endif

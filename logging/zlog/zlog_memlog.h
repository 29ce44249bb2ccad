// The memory-log output (">memlog:path"): the most recent lines are kept in memory in two
// halves of 32768 bytes and appended to the file, older half first, whenever a line of level
// ERROR is logged. Each path has its own pair of halves, which live for the whole process:
// a reload, a finish or a new start keeps what they hold. A process uses the path from its
// first rule on it until it ends.
#ifndef KELU_ZLOG_MEMLOG_H
#define KELU_ZLOG_MEMLOG_H

#include <sys/types.h>

#include <memory>
#include <string>

#include "zlog_output.h"

namespace kelu::zl {

constexpr size_t kMemoryLogHalf = 32768;

// Creates the path's folders, registers this process as a user of the path and empties the
// file if it holds anything and no other live process uses it (a missing file is not
// created). An empty path makes an output whose
// flushes fail to open.
std::unique_ptr<Output> NewMemoryLogOutput(const std::string &path, mode_t perms,
                                           std::string *error);

}  // namespace kelu::zl

#endif

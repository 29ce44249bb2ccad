// The memory-log output (">memlog:path[, size * count ~ archive]"): the most recent lines are
// kept in memory in two halves of 32768 bytes and appended to the file, older half first,
// whenever a line of level ERROR is logged. The file rotates like a rotated file, but before a
// flush that would take it past its size, so that a flush is never split and the newest one
// is in the live file. Each path has its own pair of halves, which live for the whole
// process: a reload, a finish or a new start keeps what they hold; a child of fork starts
// with them empty. A process uses the path from its first rule on it until it ends.
#ifndef KELU_ZLOG_MEMLOG_H
#define KELU_ZLOG_MEMLOG_H

#include <sys/types.h>

#include <memory>
#include <string>

#include "zlog_output.h"
#include "zlog_rotate.h"

namespace kelu::zl {

constexpr size_t kMemoryLogHalf = 32768;

// The rotation of a rule that names none: the live file and three archives of 8 MiB, so that
// they never hold more than 32 MiB together.
constexpr char kMemoryLogDefaultRotation[] = "8MB * 3";

// Creates the path's folders and registers this process as a user of the path. When the
// file holds anything and no other live process uses it, its content is appended to the
// newest archive while that stays within the size, else becomes the newest archive, and the
// live file starts empty (a missing file is not created). An empty path makes an output whose
// flushes fail to open; it needs no rotation.
std::unique_ptr<Output> NewMemoryLogOutput(const std::string &path, mode_t perms,
                                           std::unique_ptr<RotationSpec> rotation,
                                           Rotater *rotater, std::string *error);

// The lock of every memory log, for a fork (see RegisterForkLocks); the child's halves are
// emptied.
void RegisterMemoryLogForkLocks();

}  // namespace kelu::zl

#endif

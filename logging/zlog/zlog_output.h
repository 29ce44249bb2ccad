// Rule outputs: where a formatted line goes.
#ifndef KELU_ZLOG_OUTPUT_H
#define KELU_ZLOG_OUTPUT_H

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "zlog.h"
#include "zlog_format.h"

namespace kelu::zl {

class Rotater;
struct RotationSpec;

// Output::Write's result for a failure whose report is held back (see FailureReport): the
// logging call does not report it either.
constexpr int kFailedUnreported = -2;

class Output {
 public:
  virtual ~Output() = default;
  // Writes the event formatted with format; 0 on success, -1 on failure (reported on the
  // diagnostic channel), kFailedUnreported.
  virtual int Write(Event &event, const Pattern &format) = 0;
  virtual std::string Describe() const = 0;
};

// The failures of one file (a full disk fails every line), reported at most about once a
// second of the coarse clock, each report with the failures it stands for.
class FailureReport {
 public:
  // Counts a failure, and reports it when due: the text of format, after it in a later report
  // "; N <counted> failed since the last report". -1 when reported, else kFailedUnreported.
  int Report(const char *counted, const char *format, ...) __attribute__((format(printf, 3, 4)));

 private:
  // Counts a failure; true when it is to be reported now, with *failures the number of
  // failures since the last report, this one included.
  bool Due(uint64_t *failures);

  std::atomic<int64_t> next_at_{0};  // coarse clock, nanoseconds
  std::atomic<uint64_t> failures_{0};
};

// Writes all of text to fd, going on after partial writes and EINTR.
bool WriteAll(int fd, std::string_view text);

// The line of event in format, made once per event and format in thread->line.
bool FormatLine(Event &event, const Pattern &format, std::string_view *line);

std::unique_ptr<Output> NewStreamOutput(int fd);

struct FileOptions {
  std::unique_ptr<Pattern> path;  // constant: a static file, opened now
  bool synchronous = false;       // -"path": O_SYNC
  mode_t perms = 0600;
  uint64_t fsync_period = 0;
  std::unique_ptr<RotationSpec> rotation;  // null: never rotated
  Rotater *rotater = nullptr;              // the configuration's, with rotation
  FileOptions();
  FileOptions(FileOptions &&) noexcept;
  ~FileOptions();
};
// Null with *error set when a static file cannot be opened. The folders of a static path and
// those before the first '%' of a dynamic one are made first; the rest of a dynamic path's
// folders when a line finds them missing.
std::unique_ptr<Output> NewFileOutput(FileOptions options, std::string *error);

// "| command": the lines go to the command's standard input. Null when popen fails.
std::unique_ptr<Output> NewPipeOutput(const std::string &command, std::string *error);

// ">syslog, LOG_LOCAL0": syslog(3) at the level's syslog priority.
std::unique_ptr<Output> NewSyslogOutput(int facility, std::string facility_name);
// LOG_USER, LOG_LOCAL0 .. LOG_LOCAL7; -1 for any other name.
int SyslogFacilityByName(std::string_view name);

// User-defined output ($name): the record function set with zlog_set_record, looked up at
// each line so that it may be set after zlog_init and survives reloads.
std::unique_ptr<Output> NewRecordOutput(std::string name, std::unique_ptr<Pattern> path);
zlog_record_fn FindRecord(std::string_view name);  // defined with the record table

// The pipe outputs' mutex, for a fork (see RegisterForkLocks).
void RegisterPipeForkLocks();

}  // namespace kelu::zl

#endif

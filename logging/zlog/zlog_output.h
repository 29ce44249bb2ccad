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

class Output {
 public:
  virtual ~Output() = default;
  // Writes the event formatted with format; 0 on success, -1 on failure (reported on the
  // diagnostic channel).
  virtual int Write(Event &event, const Pattern &format) = 0;
  virtual std::string Describe() const = 0;
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
};
// Null with *error set when a static file cannot be opened.
std::unique_ptr<Output> NewFileOutput(FileOptions options, std::string *error);

// User-defined output ($name): the record function set with zlog_set_record, looked up at
// each line so that it may be set after zlog_init and survives reloads.
std::unique_ptr<Output> NewRecordOutput(std::string name, std::unique_ptr<Pattern> path);
zlog_record_fn FindRecord(std::string_view name);  // defined with the record table

}  // namespace kelu::zl

#endif

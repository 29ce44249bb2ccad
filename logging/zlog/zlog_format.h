// Conversion patterns: the formats of [formats] and "default format", and the dynamic parts
// of file, archive and record paths. A pattern is compiled once and written per event.
#ifndef KELU_ZLOG_FORMAT_H
#define KELU_ZLOG_FORMAT_H

#include <sys/time.h>

#include <cstdarg>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "zlog_buffer.h"
#include "zlog_level.h"
#include "zlog_thread.h"

namespace kelu::zl {

// One logging call, as the patterns see it.
struct Event {
  std::string_view category;
  std::string_view file;
  std::string_view function;
  long line = 0;
  const Level *level = nullptr;
  // The message: a printf format with its arguments, or a buffer to dump in hex.
  const char *format = nullptr;
  va_list *args = nullptr;
  bool is_dump = false;
  const void *dump = nullptr;
  size_t dump_length = 0;
  ThreadBuffers *thread = nullptr;
  struct timeval now {};

  // Filled on first use.
  bool message_ready = false;
  bool message_ok = false;
  const void *line_holds = nullptr;  // the pattern whose output thread->line holds

  // Set by an output: a line of the engine's own, logged after this one in its category.
  const char *notice = nullptr;
  bool engine_notice = false;  // this event is such a line
};

// The text of %m, made once per event in thread->message; false on a formatting error.
bool EventMessage(Event &event, std::string_view *message);

// zlog's hex-dump layout of hzlog: a length line, a column header, then 16 bytes a line
// (10-digit line number, the bytes in hex, the printable ones as text).
void WriteHexDump(LineBuffer &out, const void *buffer, size_t length);

class Pattern {
 public:
  // Compiles text; null with *error set when it has an unknown or malformed specifier.
  static std::unique_ptr<Pattern> Compile(std::string_view text, std::string *error);

  // Appends the pattern's text for event to out; false when the message could not be made.
  bool Write(Event &event, LineBuffer &out) const;
  // True when nothing in it depends on the event (only text, %E, %H, %%).
  bool IsConstant() const;
  // The text of a constant pattern.
  std::string ExpandConstant() const;
  const std::string &source() const { return source_; }

 private:
  enum class Kind {
    kText, kCategory, kDate, kMillis, kMicros, kFile, kFileBase, kLine, kMessage, kMdc,
    kPid, kFunction, kLevelUpper, kLevelLower, kThreadHex, kThreadLong
  };
  // A piece of a %d time format: strftime text, or the %ms / %us extension inside it.
  struct TimePiece {
    std::string strftime_text;
    char fraction;  // 0, 'm' (milliseconds) or 'u' (microseconds)
  };
  struct Item {
    Kind kind;
    std::string text;  // kText (also %E, %H, %n, %%), kMdc key
    std::vector<TimePiece> time;
    size_t min_width = 0;
    size_t max_width = 0;  // 0: no maximum
    bool left_justify = false;
  };

  static bool ParseItem(std::string_view text, size_t *pos, Item *item, std::string *error);
  static bool ParseArgument(std::string_view text, size_t *pos, bool required,
                            std::string *argument, std::string *error);
  static std::vector<TimePiece> SplitTimeFormat(std::string_view format);
  static void AppendField(LineBuffer &out, std::string_view value, const Item &item);
  static void WriteTime(Event &event, const Item &item, LineBuffer &out);
  bool WriteItem(Event &event, const Item &item, LineBuffer &out) const;

  std::string source_;
  std::vector<Item> items_;
};

// The named formats of [formats], in the order they were read. (A vector, not a map: the
// iterators of a map of the engine's types would be exported by the shared objects.)
using FormatList = std::vector<std::pair<std::string, std::unique_ptr<Pattern>>>;
const Pattern *FindFormat(const FormatList &formats, std::string_view name);

}  // namespace kelu::zl

#endif

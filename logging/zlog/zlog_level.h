// Levels: the six stock ones, UNKNOWN for values no level defines, and those of [levels].
#ifndef KELU_ZLOG_LEVEL_H
#define KELU_ZLOG_LEVEL_H

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kelu::zl {

struct Level {
  int value;
  std::string upper;  // %V
  std::string lower;  // %v
  int syslog_priority;
};

class LevelList {
 public:
  LevelList();

  // One line of [levels]: "NAME = value[, LOG_xxx]", value in 1..253.
  bool ParseLine(std::string_view line, std::string *error);

  const Level *Find(std::string_view name) const;  // case-insensitive; null when unknown
  // The level of a value; UNKNOWN when no level has it.
  const Level &Get(int value) const;
  std::vector<const Level *> All() const;

 private:
  void Set(int value, std::string_view name, int syslog_priority);

  std::vector<std::unique_ptr<Level>> by_value_;  // index 0..255
};

// "LOG_ERR" and the other syslog priority names; -1 when unknown.
int SyslogPriorityByName(std::string_view name);

}  // namespace kelu::zl

#endif

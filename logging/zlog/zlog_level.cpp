#include "zlog_level.h"

#include <syslog.h>

#include "zc_util.h"

namespace kelu::zl {

namespace {

constexpr int kLevelSlots = 256;
constexpr int kUnknownLevel = 254;

constexpr NamedValue kSyslogPriorities[] = {
    {"LOG_EMERG", LOG_EMERG},     {"LOG_ALERT", LOG_ALERT},   {"LOG_CRIT", LOG_CRIT},
    {"LOG_ERR", LOG_ERR},         {"LOG_WARNING", LOG_WARNING}, {"LOG_NOTICE", LOG_NOTICE},
    {"LOG_INFO", LOG_INFO},       {"LOG_DEBUG", LOG_DEBUG}};

struct StockLevel {
  int value;
  const char *name;
  int syslog_priority;
};
constexpr StockLevel kStockLevels[] = {
    {20, "DEBUG", LOG_DEBUG}, {40, "INFO", LOG_INFO},  {60, "NOTICE", LOG_NOTICE},
    {80, "WARN", LOG_WARNING}, {100, "ERROR", LOG_ERR}, {120, "FATAL", LOG_ALERT},
    {kUnknownLevel, "UNKNOWN", LOG_ERR}};

}  // namespace

int SyslogPriorityByName(std::string_view name) { return ValueByName(kSyslogPriorities, name); }

LevelList::LevelList() : by_value_(kLevelSlots) {
  for (const StockLevel &level : kStockLevels) Set(level.value, level.name, level.syslog_priority);
}

void LevelList::Set(int value, std::string_view name, int syslog_priority) {
  by_value_[value] = std::make_unique<Level>(Level{value, ToUpper(name), ToLower(name),
                                                   syslog_priority});
}

bool LevelList::ParseLine(std::string_view line, std::string *error) {
  size_t equals = line.find('=');
  if (equals == std::string_view::npos) {
    *error = "level line without '='";
    return false;
  }
  std::string_view name = Trim(line.substr(0, equals));
  std::string_view value_text = Trim(line.substr(equals + 1));
  std::string_view priority_text = "LOG_DEBUG";
  size_t comma = value_text.find(',');
  if (comma != std::string_view::npos) {
    priority_text = Trim(value_text.substr(comma + 1));
    value_text = Trim(value_text.substr(0, comma));
  }
  uint64_t value;
  if (!IsName(name)) {
    *error = "level name must be letters, digits or '_'";
    return false;
  }
  if (!ParseCount(value_text, &value) || value < 1 || value > 253) {
    *error = "level value must be a number from 1 to 253";
    return false;
  }
  int priority = SyslogPriorityByName(priority_text);
  if (priority < 0) {
    *error = "unknown syslog level [" + std::string(priority_text) + "]";
    return false;
  }
  const Level *same_name = Find(name);
  if (same_name != nullptr && same_name->value != static_cast<int>(value)) {
    *error = "level [" + std::string(name) + "] is already defined with value " +
             std::to_string(same_name->value);
    return false;
  }
  Set(static_cast<int>(value), name, priority);
  return true;
}

const Level *LevelList::Find(std::string_view name) const {
  for (const auto &level : by_value_) {
    if (level && EqualsNoCase(level->upper, name)) return level.get();
  }
  return nullptr;
}

const Level &LevelList::Get(int value) const {
  if (value >= 0 && value < kLevelSlots && by_value_[value]) return *by_value_[value];
  return *by_value_[kUnknownLevel];
}

std::vector<const Level *> LevelList::All() const {
  std::vector<const Level *> all;
  for (const auto &level : by_value_) {
    if (level) all.push_back(level.get());
  }
  return all;
}

}  // namespace kelu::zl

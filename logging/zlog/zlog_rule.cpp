#include "zlog_rule.h"

#include <unistd.h>

#include "zc_util.h"
#include "zlog_memlog.h"

namespace kelu::zl {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The position of the first ';' that is not inside double quotes, or npos.
size_t FindFormatSeparator(std::string_view text) {
  bool quoted = false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '"') quoted = !quoted;
    if (text[i] == ';' && !quoted) return i;
  }
  return std::string_view::npos;
}

// Splits "name, option" at the first ','.
void SplitOption(std::string_view text, std::string_view *name, std::string_view *option) {
  size_t comma = text.find(',');
  *name = Trim(text.substr(0, comma));
  *option = comma == std::string_view::npos ? std::string_view() : Trim(text.substr(comma + 1));
}

// A pattern source for text as written: a memory-log path has no conversion specifiers.
std::string LiteralPattern(const std::string &text) {
  std::string out;
  for (char c : text) {
    if (c == '%') out += '%';
    out += c;
  }
  return out;
}

bool CompilePath(const std::string &text, std::unique_ptr<Pattern> *path, std::string *error) {
  if (text.empty()) {
    *error = "empty file path";
    return false;
  }
  if (text.size() > kMaxPathLength) {
    *error = "file path longer than 1024 characters";
    return false;
  }
  *path = Pattern::Compile(text, error);
  return *path != nullptr;
}

}  // namespace

std::unique_ptr<Rule> Rule::Parse(std::string_view line, const RuleContext &context,
                                  std::string *error) {
  auto rule = std::make_unique<Rule>();
  line = Trim(line);
  rule->text_.assign(line);
  size_t blank = 0;
  while (blank < line.size() && !IsBlank(line[blank])) ++blank;
  std::string_view selector = line.substr(0, blank);
  std::string_view rest = Trim(line.substr(blank));
  if (rest.empty()) {
    *error = "rule [" + rule->text_ + "] has no output";
    return nullptr;
  }
  if (!rule->ParseSelector(selector, *context.levels, error)) return nullptr;

  std::string_view action = rest;
  std::string_view format_name;
  size_t semicolon = FindFormatSeparator(rest);
  if (semicolon != std::string_view::npos) {
    action = Trim(rest.substr(0, semicolon));
    format_name = Trim(rest.substr(semicolon + 1));
  }
  if (format_name.empty()) {
    rule->format_ = context.default_format;
  } else {
    rule->format_ = FindFormat(*context.formats, format_name);
    if (rule->format_ == nullptr) {
      *error = "format [" + std::string(format_name) + "] of rule [" + rule->text_ +
               "] is not defined in [formats]";
      return nullptr;
    }
  }
  if (!rule->ParseOutput(action, context, error)) {
    *error = "rule [" + rule->text_ + "]: " + *error;
    return nullptr;
  }
  return rule;
}

bool Rule::ParseSelector(std::string_view selector, const LevelList &levels,
                         std::string *error) {
  size_t dot = selector.find('.');
  if (dot == std::string_view::npos || dot == 0 || dot + 1 == selector.size()) {
    *error = "selector [" + std::string(selector) + "] is not category.level";
    return false;
  }
  std::string_view category = selector.substr(0, dot);
  std::string_view level = selector.substr(dot + 1);
  if (category != "*" && category != "!" && !IsName(category)) {
    *error = "category [" + std::string(category) + "] must be *, ! or letters, digits and '_'";
    return false;
  }
  category_.assign(category);
  if (level == "*") {
    match_ = LevelMatch::kAll;
    return true;
  }
  match_ = LevelMatch::kAtLeast;
  if (level.front() == '=' || level.front() == '!') {
    match_ = level.front() == '=' ? LevelMatch::kExactly : LevelMatch::kNot;
    level.remove_prefix(1);
  }
  const Level *found = levels.Find(level);
  if (found == nullptr) {
    *error = "level [" + std::string(level) + "] is not defined";
    return false;
  }
  level_ = found->value;
  return true;
}

bool Rule::ParseOutput(std::string_view action, const RuleContext &context, std::string *error) {
  if (action.empty()) {
    *error = "no output";
    return false;
  }
  switch (action.front()) {
    case '"': return ParseFile(action, false, context, error);
    case '-':
      if (action.size() > 1 && action[1] == '"') {
        return ParseFile(action.substr(1), true, context, error);
      }
      break;
    case '>': return ParseStream(action.substr(1), context, error);
    case '$': return ParseRecord(action.substr(1), error);
    case '|': {
      std::string command(Trim(action.substr(1)));
      if (command.empty()) {
        *error = "no command after '|'";
        return false;
      }
      output_ = NewPipeOutput(command, error);
      return output_ != nullptr;
    }
    default: break;
  }
  *error = "unknown output [" + std::string(action) + "]";
  return false;
}

bool Rule::ParseFile(std::string_view action, bool synchronous, const RuleContext &context,
                     std::string *error) {
  std::string path_text;
  std::string_view rest;
  if (!ParseQuoted(action, &path_text, &rest)) {
    *error = "no closing '\"' after the file path";
    return false;
  }
  rest = Trim(rest);
  FileOptions options;
  if (!rest.empty()) {
    if (rest.front() != ',') {
      *error = "unexpected text after the file path";
      return false;
    }
    std::string_view rotation = Trim(rest.substr(1));
    if (!rotation.empty()) {
      options.rotation = ParseRotation(rotation, path_text, error);
      if (!options.rotation) return false;
      options.rotater = context.rotater;
    }
  }
  if (!CompilePath(path_text, &options.path, error)) return false;
  options.synchronous = synchronous;
  options.perms = context.file_perms;
  options.fsync_period = context.fsync_period;
  output_ = NewFileOutput(std::move(options), error);
  return output_ != nullptr;
}

bool Rule::ParseStream(std::string_view action, const RuleContext &context,
                       std::string *error) {
  std::string_view name, option;
  SplitOption(action, &name, &option);
  if (name == "stdout" || name == "stderr") {
    // The option has no meaning for these outputs.
    output_ = NewStreamOutput(name == "stdout" ? STDOUT_FILENO : STDERR_FILENO);
    return true;
  }
  if (name == "syslog") {
    std::string facility_name = option.empty() ? "LOG_USER" : std::string(option);
    int facility = SyslogFacilityByName(facility_name);
    if (facility < 0) {
      *error = "syslog facility [" + facility_name + "] is not LOG_USER or LOG_LOCAL0..7";
      return false;
    }
    output_ = NewSyslogOutput(facility, facility_name);
    return true;
  }
  if (name.substr(0, 7) == "memlog:") {
    // The path runs to the end of the output; blanks around it are not part of it.
    std::string path(Trim(name.substr(7)));
    std::unique_ptr<RotationSpec> rotation;
    if (!path.empty()) {
      rotation = ParseRotation(option.empty() ? kMemoryLogDefaultRotation : option,
                               LiteralPattern(path), error);
      if (!rotation) return false;
    }
    output_ = NewMemoryLogOutput(path, context.file_perms, std::move(rotation), context.rotater,
                                 error);
    return output_ != nullptr;
  }
  *error = "[" + std::string(name) + "]the string after is not syslog, stdout or stderr";
  return false;
}

bool Rule::ParseRecord(std::string_view action, std::string *error) {
  std::string_view name, option;
  SplitOption(action, &name, &option);
  if (!IsName(name)) {
    *error = "record name [" + std::string(name) + "] must be letters, digits and '_'";
    return false;
  }
  std::unique_ptr<Pattern> path;
  if (!option.empty()) {
    std::string path_text;
    std::string_view rest;
    if (!ParseQuoted(option, &path_text, &rest) || !Trim(rest).empty()) {
      *error = "the record path must be one quoted text";
      return false;
    }
    if (path_text.size() > kMaxPathLength) {
      *error = "record path longer than 1024 characters";
      return false;
    }
    path = Pattern::Compile(path_text, error);
    if (!path) return false;
  }
  output_ = NewRecordOutput(std::string(name), std::move(path));
  return true;
}

bool Rule::AcceptsLevel(int level) const {
  switch (match_) {
    case LevelMatch::kAll: return true;
    case LevelMatch::kAtLeast: return level >= level_;
    case LevelMatch::kExactly: return level == level_;
    case LevelMatch::kNot: return level != level_;
  }
  return false;
}

bool Rule::NamesCategory(std::string_view name) const {
  if (IsWildcard() || IsFallback()) return false;
  if (category_.back() == '_') {
    std::string_view super = std::string_view(category_).substr(0, category_.size() - 1);
    return name == super || name.substr(0, category_.size()) == category_;
  }
  return name == category_;
}

std::string Rule::Describe() const {
  return "rule[" + text_ + "] output[" + output_->Describe() + "] format[" +
         format_->source() + "]";
}

}  // namespace kelu::zl

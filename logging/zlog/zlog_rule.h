// Rules: "(category).(level) (output)[, option][; format]".
#ifndef KELU_ZLOG_RULE_H
#define KELU_ZLOG_RULE_H

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "zlog_format.h"
#include "zlog_level.h"
#include "zlog_output.h"
#include "zlog_rotate.h"

namespace kelu::zl {

// What a rule is built with: the parts of the configuration read before [rules].
struct RuleContext {
  const LevelList *levels;
  const FormatList *formats;
  const Pattern *default_format;
  mode_t file_perms;
  uint64_t fsync_period;
  Rotater *rotater;
};

class Rule {
 public:
  // Null with *error set when the line is not a rule the engine supports.
  static std::unique_ptr<Rule> Parse(std::string_view line, const RuleContext &context,
                                     std::string *error);

  bool AcceptsLevel(int level) const;
  // "*" and "!" rules are chosen by the category table, not by name.
  bool IsWildcard() const { return category_ == "*"; }
  bool IsFallback() const { return category_ == "!"; }
  bool NamesCategory(std::string_view name) const;

  int Write(Event &event) const { return output_->Write(event, *format_); }
  const std::string &text() const { return text_; }
  std::string Describe() const;

 private:
  enum class LevelMatch { kAtLeast, kExactly, kNot, kAll };

  bool ParseSelector(std::string_view selector, const LevelList &levels, std::string *error);
  bool ParseOutput(std::string_view action, const RuleContext &context, std::string *error);
  bool ParseFile(std::string_view action, bool synchronous, const RuleContext &context,
                 std::string *error);
  bool ParseStream(std::string_view action, const RuleContext &context, std::string *error);
  bool ParseRecord(std::string_view action, std::string *error);

  std::string text_;
  std::string category_;
  LevelMatch match_ = LevelMatch::kAll;
  int level_ = 0;
  const Pattern *format_ = nullptr;
  std::unique_ptr<Output> output_;
};

}  // namespace kelu::zl

#endif

#include "zlog_conf.h"

#include <errno.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "zc_profile.h"
#include "zc_util.h"

namespace kelu::zl {

namespace {

constexpr char kDefaultFormat[] = "%D %V [%p:%F:%L] %m%n";
constexpr char kDefaultRule[] = "*.*        >stdout";
constexpr char kNoFileLockFile[] = "/tmp/zlog.lock";
constexpr char kConfPathVariable[] = "KELU_LOG_CONF_PATH";
// A configuration file is small; anything larger is refused rather than read into memory.
constexpr long kMaxConfFileSize = 16 * 1024 * 1024;

enum class Section { kNone, kGlobal, kLevels, kFormats, kRules };

struct SectionName {
  const char *name;
  Section section;
};
constexpr SectionName kSections[] = {{"global", Section::kGlobal},
                                     {"levels", Section::kLevels},
                                     {"formats", Section::kFormats},
                                     {"rules", Section::kRules}};

struct SourceLine {
  std::string text;
  int number;
};

bool ReadWholeFile(const std::string &path, std::string *text, std::string *error) {
  FILE *fp = std::fopen(path.c_str(), "rb");
  if (fp == nullptr) {
    *error = "cannot open configuration file[" + path + "], errno[" + std::to_string(errno) + "]";
    return false;
  }
  char block[16384];
  size_t n;
  bool ok = true;
  while ((n = std::fread(block, 1, sizeof block, fp)) > 0) {
    text->append(block, n);
    if (static_cast<long>(text->size()) > kMaxConfFileSize) {
      *error = "configuration file[" + path + "] is larger than 16 MiB";
      ok = false;
      break;
    }
  }
  if (ok && std::ferror(fp)) {
    *error = "cannot read configuration file[" + path + "], errno[" + std::to_string(errno) + "]";
    ok = false;
  }
  std::fclose(fp);
  return ok;
}

// Lines without comments and blank lines; a line ending in '\' goes on on the next one.
std::vector<SourceLine> LogicalLines(const std::string &text) {
  std::vector<SourceLine> lines;
  std::string pending;
  int pending_number = 0;
  int number = 0;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string_view raw = std::string_view(text).substr(start, end - start);
    start = end + 1;
    ++number;
    std::string_view line = Trim(raw);
    if (pending.empty() && (line.empty() || line.front() == '#')) continue;
    if (pending.empty()) pending_number = number;
    bool continued = !line.empty() && line.back() == '\\';
    if (continued) line.remove_suffix(1);
    pending.append(line);
    if (continued && start <= text.size()) continue;
    lines.push_back({pending, pending_number});
    pending.clear();
  }
  return lines;
}

std::string NormaliseKey(std::string_view key) {
  std::string out;
  for (char c : Trim(key)) {
    if (c == ' ' || c == '\t') {
      if (!out.empty() && out.back() != ' ') out += ' ';
    } else {
      out += c;
    }
  }
  return ToLower(out);
}

// A value written as "text": the text between the first and the last quote.
bool ParseQuotedValue(std::string_view value, std::string *out) {
  value = Trim(value);
  if (value.size() < 2 || value.front() != '"' || value.back() != '"') return false;
  out->assign(value.substr(1, value.size() - 2));
  return true;
}

bool ParseBool(std::string_view value, bool *out) {
  if (EqualsNoCase(value, "true")) {
    *out = true;
    return true;
  }
  if (EqualsNoCase(value, "false")) {
    *out = false;
    return true;
  }
  return false;
}

bool ParsePerms(std::string_view value, mode_t *out) {
  if (value.empty() || value.size() > 4) return false;
  mode_t perms = 0;
  for (char c : value) {
    if (c < '0' || c > '7') return false;
    perms = static_cast<mode_t>(perms * 8 + static_cast<mode_t>(c - '0'));
  }
  *out = perms;
  return true;
}

// "key = value" at the first '='.
bool SplitAssignment(std::string_view text, std::string_view *key, std::string_view *value,
                     std::string *error) {
  size_t equals = text.find('=');
  if (equals == std::string_view::npos) {
    *error = "line [" + std::string(text) + "] without '='";
    return false;
  }
  *key = Trim(text.substr(0, equals));
  *value = Trim(text.substr(equals + 1));
  return true;
}

// path made absolute against the current folder, so that a process that changes folder
// later locks the same file; unchanged when the current folder cannot be had.
std::string AbsolutePath(const std::string &path) {
  if (path.empty() || path[0] == '/') return path;
  char cwd[PATH_MAX];
  if (getcwd(cwd, sizeof cwd) == nullptr) return path;
  std::string relative = path;
  while (relative.compare(0, 2, "./") == 0) relative.erase(0, 2);
  std::string folder = cwd;
  return folder + (folder.back() == '/' ? "" : "/") + relative;
}

RuleContext ContextOf(Conf &conf) {
  if (!conf.rotater) {
    // The configuration file, the default lock file, is never made by a rotation.
    bool is_conf_file = !conf.file.empty() && conf.rotate_lock_file == AbsolutePath(conf.file);
    conf.rotater = std::make_unique<Rotater>(conf.rotate_lock_file, !is_conf_file);
  }
  return RuleContext{&conf.levels,    &conf.formats,     conf.default_format.get(),
                     conf.file_perms, conf.fsync_period, conf.rotater.get()};
}

std::unique_ptr<Conf> NewDefaultConf() {
  auto conf = std::make_unique<Conf>();
  std::string error;
  conf->default_format = Pattern::Compile(kDefaultFormat, &error);
  return conf;
}

class ConfReader {
 public:
  explicit ConfReader(Conf &conf) : conf_(conf) {}

  bool Read(const SourceLine &line, std::string *error) {
    std::string_view text = line.text;
    if (text.front() == '[') return EnterSection(text, error);
    switch (section_) {
      case Section::kNone:
        *error = "a line before the first section";
        return false;
      case Section::kGlobal: return ReadGlobal(text, error);
      case Section::kLevels: return conf_.levels.ParseLine(text, error);
      case Section::kFormats: return Tolerated(ReadFormat(text, error), error);
      case Section::kRules: return Tolerated(ReadRule(text, error), error);
    }
    return false;
  }

  bool Finish(std::string *error) {
    if (conf_.buffer_min == 0) {
      *error = "buffer min must be above 0";
      return false;
    }
    if (conf_.buffer_max != 0 && conf_.buffer_max < conf_.buffer_min) {
      *error = "buffer max is below buffer min";
      return false;
    }
    return true;
  }

 private:
  // With "strict init = false" a bad format or rule is reported and left out.
  bool Tolerated(bool ok, std::string *error) {
    if (ok || conf_.strict_init) return ok;
    zc_error("%s; left out (strict init is false)", error->c_str());
    error->clear();
    return true;
  }

  bool EnterSection(std::string_view text, std::string *error) {
    if (text.back() != ']') {
      *error = "section header without ']'";
      return false;
    }
    std::string_view name = Trim(text.substr(1, text.size() - 2));
    for (const SectionName &s : kSections) {
      if (!EqualsNoCase(name, s.name)) continue;
      if (s.section <= section_) {
        *error = "section [" + std::string(name) +
                 "] repeated or out of order (the order is global, levels, formats, rules)";
        return false;
      }
      section_ = s.section;
      return true;
    }
    *error = "unknown section [" + std::string(name) + "]";
    return false;
  }

  bool ReadGlobal(std::string_view text, std::string *error) {
    std::string_view key_text, value;
    if (!SplitAssignment(text, &key_text, &value, error)) return false;
    std::string key = NormaliseKey(key_text);
    bool ok = false;
    if (key == "strict init") {
      ok = ParseBool(value, &conf_.strict_init);
    } else if (key == "reload conf period") {
      ok = ParseSize(value, &conf_.reload_period);
    } else if (key == "buffer min") {
      ok = ParseSize(value, &conf_.buffer_min);
    } else if (key == "buffer max") {
      ok = ParseSize(value, &conf_.buffer_max);
    } else if (key == "fsync period") {
      ok = ParseSize(value, &conf_.fsync_period);
    } else if (key == "file perms") {
      ok = ParsePerms(value, &conf_.file_perms);
    } else if (key == "rotate lock file") {
      ok = !value.empty() && value.size() <= kMaxPathLength;
      if (ok) {
        conf_.rotate_lock_file = AbsolutePath(value == "self" ? conf_.file : std::string(value));
      }
    } else if (key == "default format") {
      std::string pattern;
      if (!ParseQuotedValue(value, &pattern)) {
        *error = "default format must be quoted";
        return false;
      }
      std::unique_ptr<Pattern> compiled = Pattern::Compile(pattern, error);
      if (!compiled) return false;
      conf_.default_format = std::move(compiled);
      return true;
    } else {
      *error = "unknown [global] parameter [" + key + "]";
      return false;
    }
    if (!ok) *error = "bad value [" + std::string(value) + "] for [" + key + "]";
    return ok;
  }

  bool ReadFormat(std::string_view text, std::string *error) {
    std::string_view name, value;
    if (!SplitAssignment(text, &name, &value, error)) return false;
    std::string pattern;
    if (!IsName(name)) {
      *error = "format name [" + std::string(name) + "] must be letters, digits and '_'";
      return false;
    }
    if (FindFormat(conf_.formats, name) != nullptr) {
      *error = "format [" + std::string(name) + "] defined twice";
      return false;
    }
    if (!ParseQuotedValue(value, &pattern)) {
      *error = "format [" + std::string(name) + "] must be a quoted pattern";
      return false;
    }
    std::unique_ptr<Pattern> compiled = Pattern::Compile(pattern, error);
    if (!compiled) return false;
    conf_.formats.emplace_back(std::string(name), std::move(compiled));
    return true;
  }

  bool ReadRule(std::string_view text, std::string *error) {
    std::unique_ptr<Rule> rule = Rule::Parse(text, ContextOf(conf_), error);
    if (!rule) return false;
    conf_.rules.push_back(std::move(rule));
    return true;
  }

  Conf &conf_;
  Section section_ = Section::kNone;
};

bool ParseConfText(Conf &conf, const std::string &text, std::string *error) {
  ConfReader reader(conf);
  for (const SourceLine &line : LogicalLines(text)) {
    if (!reader.Read(line, error)) {
      *error = "line " + std::to_string(line.number) + ": " + *error;
      return false;
    }
  }
  return reader.Finish(error);
}

void RememberFileIdentity(Conf &conf) {
  struct stat st;
  if (stat(conf.file.c_str(), &st) != 0) return;
  conf.file_device = st.st_dev;
  conf.file_inode = st.st_ino;
  conf.file_size = st.st_size;
  conf.file_mtime = st.st_mtim;
}

}  // namespace

std::unique_ptr<Conf> LoadConf(const char *path) {
  std::string chosen = path != nullptr ? path : "";
  if (chosen.empty()) {
    const char *env = std::getenv(kConfPathVariable);
    if (env != nullptr) chosen = env;
  }
  if (chosen.empty()) return BuildConfWithRule(kDefaultRule);
  if (chosen.size() > kMaxPathLength) {
    zc_error("not enough space for path name, nwrite=[%d], errno[%d]",
             static_cast<int>(chosen.size()), errno);
    return nullptr;
  }
  std::unique_ptr<Conf> conf = NewDefaultConf();
  conf->file = chosen;
  // "rotate lock file = self" unless the file says otherwise
  conf->rotate_lock_file = AbsolutePath(chosen);
  RememberFileIdentity(*conf);
  std::string text, error;
  if (!ReadWholeFile(chosen, &text, &error) || !ParseConfText(*conf, text, &error)) {
    zc_error("configuration file[%s]: %s", chosen.c_str(), error.c_str());
    return nullptr;
  }
  return conf;
}

std::unique_ptr<Conf> BuildConfWithRule(const char *line) {
  std::unique_ptr<Conf> conf = NewDefaultConf();
  if (!conf->default_format) {
    zc_error("zlog_format_new fail");
    return nullptr;
  }
  conf->rotate_lock_file = kNoFileLockFile;
  std::string rule_text = line != nullptr && *line != '\0' ? line : kDefaultRule;
  std::string error;
  std::unique_ptr<Rule> rule = Rule::Parse(rule_text, ContextOf(*conf), &error);
  if (!rule) {
    zc_error("zlog_rule_new fail: %s", error.c_str());
    zc_error("zlog_conf_build_with_rule fail");
    return nullptr;
  }
  conf->rules.push_back(std::move(rule));
  return conf;
}

bool ConfFileUnchanged(const Conf &conf) {
  if (conf.file.empty()) return false;
  struct stat st;
  if (stat(conf.file.c_str(), &st) != 0) return false;
  return st.st_dev == conf.file_device && st.st_ino == conf.file_inode &&
         st.st_size == conf.file_size && st.st_mtim.tv_sec == conf.file_mtime.tv_sec &&
         st.st_mtim.tv_nsec == conf.file_mtime.tv_nsec;
}

void ProfileConf(const Conf &conf) {
  zc_warn("-conf[%p]-", static_cast<const void *>(&conf));
  zc_warn("--global--");
  zc_warn("---file[%s]---", conf.file.c_str());
  zc_warn("---strict init[%d]---", conf.strict_init ? 1 : 0);
  zc_warn("---buffer min[%llu]---", static_cast<unsigned long long>(conf.buffer_min));
  zc_warn("---buffer max[%llu]---", static_cast<unsigned long long>(conf.buffer_max));
  zc_warn("---default format[%s]---", conf.default_format->source().c_str());
  zc_warn("---file perms[0%o]---", static_cast<unsigned>(conf.file_perms));
  zc_warn("---reload conf period[%llu]---", static_cast<unsigned long long>(conf.reload_period));
  zc_warn("---fsync period[%llu]---", static_cast<unsigned long long>(conf.fsync_period));
  zc_warn("---rotate lock file[%s]---", conf.rotate_lock_file.c_str());
  zc_warn("--levels--");
  for (const Level *level : conf.levels.All()) {
    zc_warn("---level[%d,%s,%s,%d]---", level->value, level->upper.c_str(), level->lower.c_str(),
            level->syslog_priority);
  }
  zc_warn("--formats--");
  for (const auto &format : conf.formats) {
    zc_warn("---format[%s = %s]---", format.first.c_str(), format.second->source().c_str());
  }
  zc_warn("--rules--");
  for (const auto &rule : conf.rules) zc_warn("---%s---", rule->Describe().c_str());
}

}  // namespace kelu::zl

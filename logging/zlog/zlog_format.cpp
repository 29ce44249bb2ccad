#include "zlog_format.h"

#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "zc_util.h"

namespace kelu::zl {

namespace {

constexpr char kDefaultTimeFormat[] = "%F %T";
constexpr size_t kMaxWidth = 4096;

const struct tm &LocalTime(Event &event) {
  ThreadBuffers *thread = event.thread;
  if (thread->cached_second != event.now.tv_sec) {
    LocalTimeOf(event.now.tv_sec, &thread->cached_tm);
    thread->cached_second = event.now.tv_sec;
  }
  return thread->cached_tm;
}

// Digits at *pos; false when there are none. A value above kMaxWidth reads as kMaxWidth + 1.
bool ParseNumber(std::string_view text, size_t *pos, size_t *value) {
  size_t start = *pos;
  size_t n = 0;
  while (*pos < text.size() && std::isdigit(static_cast<unsigned char>(text[*pos]))) {
    if (n <= kMaxWidth) n = n * 10 + static_cast<size_t>(text[*pos] - '0');
    ++*pos;
  }
  *value = n <= kMaxWidth ? n : kMaxWidth + 1;
  return *pos > start;
}

std::string HostName() {
  char name[256] = {0};
  if (gethostname(name, sizeof name - 1) != 0) return "";
  return name;
}

std::string EnvironmentValue(const std::string &name) {
  const char *value = std::getenv(name.c_str());
  return value != nullptr ? value : "";
}

std::string_view BoundedView(std::string_view text) {
  if (text.data() == nullptr) return {};
  return {text.data(), strnlen(text.data(), text.size())};
}

}  // namespace

bool EventMessage(Event &event, std::string_view *message) {
  if (!event.message_ready) {
    LineBuffer &buffer = event.thread->message;
    buffer.Clear();
    if (event.is_dump) {
      WriteHexDump(buffer, event.dump, event.dump_length);
      event.message_ok = true;
    } else if (event.format == nullptr || event.args == nullptr) {
      event.message_ok = true;
    } else {
      event.message_ok = buffer.AppendFormat(event.format, *event.args);
    }
    event.message_ready = true;
  }
  *message = event.thread->message.view();
  return event.message_ok;
}

void WriteHexDump(LineBuffer &out, const void *buffer, size_t length) {
  static const char kDigits[] = "0123456789abcdef";
  if (buffer == nullptr) length = 0;
  const unsigned char *bytes = static_cast<const unsigned char *>(buffer);
  char head[64];
  int n = std::snprintf(head, sizeof head, "hex_buf_len=[%zu]\n", length);
  out.Append(std::string_view(head, static_cast<size_t>(n)));
  out.Append("             0  1  2  3  4  5  6  7  8  9  A  B  C  D  E  F    0123456789ABCDEF");
  for (size_t offset = 0; offset < length && !out.truncated(); offset += 16) {
    char row[96];
    int used = std::snprintf(row, sizeof row, "\n%010zu   ", offset / 16 + 1);
    size_t count = length - offset < 16 ? length - offset : 16;
    for (size_t i = 0; i < 16; ++i) {
      if (i < count) {
        row[used++] = kDigits[bytes[offset + i] >> 4];
        row[used++] = kDigits[bytes[offset + i] & 15];
      } else {
        row[used++] = ' ';
        row[used++] = ' ';
      }
      row[used++] = ' ';
    }
    row[used++] = ' ';
    row[used++] = ' ';
    for (size_t i = 0; i < count; ++i) {
      unsigned char c = bytes[offset + i];
      row[used++] = (c >= 0x20 && c < 0x7f) ? static_cast<char>(c) : '.';
    }
    out.Append(std::string_view(row, static_cast<size_t>(used)));
  }
}

std::unique_ptr<Pattern> Pattern::Compile(std::string_view text, std::string *error) {
  auto pattern = std::make_unique<Pattern>();
  pattern->source_.assign(text);
  std::string literal;
  size_t pos = 0;
  while (pos < text.size()) {
    if (text[pos] != '%') {
      literal += text[pos++];
      continue;
    }
    Item item;
    if (!ParseItem(text, &pos, &item, error)) {
      *error = "format [" + std::string(text) + "]: " + *error;
      return nullptr;
    }
    bool plain = item.min_width == 0 && item.max_width == 0;
    if (item.kind == Kind::kText && plain) {
      literal += item.text;
      continue;
    }
    if (!literal.empty()) {
      pattern->items_.push_back(Item{Kind::kText, literal, {}, 0, 0, false});
      literal.clear();
    }
    pattern->items_.push_back(std::move(item));
  }
  if (!literal.empty()) pattern->items_.push_back(Item{Kind::kText, literal, {}, 0, 0, false});
  return pattern;
}

// Reads "(argument)" at *pos. Absent: fine unless required.
bool Pattern::ParseArgument(std::string_view text, size_t *pos, bool required,
                            std::string *argument, std::string *error) {
  if (*pos >= text.size() || text[*pos] != '(') {
    if (required) *error = "the specifier needs an argument in parentheses";
    return !required;
  }
  size_t close = text.find(')', *pos + 1);
  if (close == std::string_view::npos) {
    *error = "no ')' after '('";
    return false;
  }
  argument->assign(text.substr(*pos + 1, close - *pos - 1));
  *pos = close + 1;
  if (required && argument->empty()) {
    *error = "empty argument in parentheses";
    return false;
  }
  return true;
}

// *pos is at the '%' of a specifier: [-][min][.max]char[(argument)].
bool Pattern::ParseItem(std::string_view text, size_t *pos, Item *item, std::string *error) {
  ++*pos;
  if (*pos < text.size() && text[*pos] == '-') {
    item->left_justify = true;
    ++*pos;
  }
  size_t width;
  if (ParseNumber(text, pos, &width)) item->min_width = width;
  if (*pos < text.size() && text[*pos] == '.') {
    ++*pos;
    if (!ParseNumber(text, pos, &width) || width == 0 || width > kMaxWidth) {
      *error = "a maximum width from 1 to 4096 must follow '.'";
      return false;
    }
    item->max_width = width;
  }
  if (*pos >= text.size()) {
    *error = "the pattern ends inside a specifier";
    return false;
  }
  if (item->min_width > kMaxWidth) {
    *error = "the minimum width is above 4096";
    return false;
  }
  char c = text[(*pos)++];
  bool next_is_s = *pos < text.size() && text[*pos] == 's';
  std::string argument;
  switch (c) {
    case 'c': item->kind = Kind::kCategory; return true;
    case 'D':
      item->kind = Kind::kDate;
      item->time = SplitTimeFormat(kDefaultTimeFormat);
      return true;
    case 'd':
      if (!ParseArgument(text, pos, false, &argument, error)) return false;
      item->kind = Kind::kDate;
      item->time = SplitTimeFormat(argument.empty() ? kDefaultTimeFormat : argument);
      return true;
    case 'E':
      if (!ParseArgument(text, pos, true, &argument, error)) return false;
      item->kind = Kind::kText;  // read once, when the configuration is built
      item->text = EnvironmentValue(argument);
      return true;
    case 'F': item->kind = Kind::kFile; return true;
    case 'f': item->kind = Kind::kFileBase; return true;
    case 'H':
      item->kind = Kind::kText;
      item->text = HostName();
      return true;
    case 'L': item->kind = Kind::kLine; return true;
    case 'm':
      if (next_is_s) ++*pos;
      item->kind = next_is_s ? Kind::kMillis : Kind::kMessage;
      return true;
    case 'u':
      if (!next_is_s) break;
      ++*pos;
      item->kind = Kind::kMicros;
      return true;
    case 'M':
      if (!ParseArgument(text, pos, true, &argument, error)) return false;
      item->kind = Kind::kMdc;
      item->text = argument;
      return true;
    case 'n':
      item->kind = Kind::kText;
      item->text = "\n";
      return true;
    case 'p': item->kind = Kind::kPid; return true;
    case 'U': item->kind = Kind::kFunction; return true;
    case 'V': item->kind = Kind::kLevelUpper; return true;
    case 'v': item->kind = Kind::kLevelLower; return true;
    case 't': item->kind = Kind::kThreadHex; return true;
    case 'T': item->kind = Kind::kThreadLong; return true;
    case '%':
      item->kind = Kind::kText;
      item->text = "%";
      return true;
    default: break;
  }
  *error = std::string("unknown conversion character '") + c + "'";
  return false;
}

std::vector<Pattern::TimePiece> Pattern::SplitTimeFormat(std::string_view format) {
  std::vector<TimePiece> pieces(1);
  for (size_t i = 0; i < format.size(); ++i) {
    std::string_view rest = format.substr(i);
    if (rest.size() >= 3 && rest[0] == '%' && (rest.substr(1, 2) == "ms" ||
                                               rest.substr(1, 2) == "us")) {
      pieces.push_back(TimePiece{"", rest[1]});
      pieces.push_back(TimePiece{"", 0});
      i += 2;
    } else if (rest.size() >= 2 && rest[0] == '%') {
      pieces.back().strftime_text += rest.substr(0, 2);  // "%%" and every strftime specifier
      ++i;
    } else {
      pieces.back().strftime_text += rest[0];
    }
  }
  return pieces;
}

void Pattern::AppendField(LineBuffer &out, std::string_view value, const Item &item) {
  if (item.max_width != 0 && value.size() > item.max_width) value = value.substr(0, item.max_width);
  size_t pad = item.min_width > value.size() ? item.min_width - value.size() : 0;
  if (pad != 0 && !item.left_justify) out.AppendRepeated(' ', pad);
  out.Append(value);
  if (pad != 0 && item.left_justify) out.AppendRepeated(' ', pad);
}

void Pattern::WriteTime(Event &event, const Item &item, LineBuffer &out) {
  const struct tm &local = LocalTime(event);
  char text[1024];
  size_t used = 0;
  for (const TimePiece &piece : item.time) {
    size_t room = sizeof text - used;
    if (piece.fraction == 'm') {
      used += static_cast<size_t>(std::snprintf(text + used, room, "%03ld",
                                                static_cast<long>(event.now.tv_usec / 1000)));
    } else if (piece.fraction == 'u') {
      used += static_cast<size_t>(std::snprintf(text + used, room, "%06ld",
                                                static_cast<long>(event.now.tv_usec)));
    } else if (!piece.strftime_text.empty()) {
      used += strftime(text + used, room, piece.strftime_text.c_str(), &local);
    }
    if (used >= sizeof text) used = sizeof text - 1;
  }
  AppendField(out, std::string_view(text, used), item);
}

bool Pattern::WriteItem(Event &event, const Item &item, LineBuffer &out) const {
  char number[32];
  switch (item.kind) {
    case Kind::kText: AppendField(out, item.text, item); return true;
    case Kind::kCategory: AppendField(out, event.category, item); return true;
    case Kind::kDate: WriteTime(event, item, out); return true;
    case Kind::kMillis:
      std::snprintf(number, sizeof number, "%03ld", static_cast<long>(event.now.tv_usec / 1000));
      AppendField(out, number, item);
      return true;
    case Kind::kMicros:
      std::snprintf(number, sizeof number, "%06ld", static_cast<long>(event.now.tv_usec));
      AppendField(out, number, item);
      return true;
    case Kind::kFile: AppendField(out, BoundedView(event.file), item); return true;
    case Kind::kFileBase: {
      std::string_view file = BoundedView(event.file);
      size_t slash = file.rfind('/');
      AppendField(out, slash == std::string_view::npos ? file : file.substr(slash + 1), item);
      return true;
    }
    case Kind::kLine:
      std::snprintf(number, sizeof number, "%ld", event.line);
      AppendField(out, number, item);
      return true;
    case Kind::kMessage: {
      std::string_view message;
      if (!EventMessage(event, &message)) return false;
      AppendField(out, message, item);
      return true;
    }
    case Kind::kMdc: {
      const std::string *value = event.thread->mdc.Get(item.text);
      AppendField(out, value != nullptr ? std::string_view(*value) : std::string_view(), item);
      return true;
    }
    case Kind::kPid:
      std::snprintf(number, sizeof number, "%ld", static_cast<long>(getpid()));
      AppendField(out, number, item);
      return true;
    case Kind::kFunction: AppendField(out, BoundedView(event.function), item); return true;
    case Kind::kLevelUpper: AppendField(out, event.level->upper, item); return true;
    case Kind::kLevelLower: AppendField(out, event.level->lower, item); return true;
    case Kind::kThreadHex:
      std::snprintf(number, sizeof number, "0x%x", static_cast<unsigned>(pthread_self()));
      AppendField(out, number, item);
      return true;
    case Kind::kThreadLong:
      std::snprintf(number, sizeof number, "%lu", static_cast<unsigned long>(pthread_self()));
      AppendField(out, number, item);
      return true;
  }
  return true;
}

bool Pattern::Write(Event &event, LineBuffer &out) const {
  for (const Item &item : items_) {
    if (!WriteItem(event, item, out)) return false;
  }
  // A line cut at the buffer bound still ends the way the pattern ends.
  if (out.truncated() && !items_.empty() && items_.back().kind == Kind::kText &&
      !items_.back().text.empty() && items_.back().text.back() == '\n' && out.size() > 0) {
    out.mutable_data()[out.size() - 1] = '\n';
  }
  return true;
}

bool Pattern::IsConstant() const {
  for (const Item &item : items_) {
    if (item.kind != Kind::kText) return false;
  }
  return true;
}

std::string Pattern::ExpandConstant() const {
  LineBuffer out;
  out.SetLimits(256, 0);
  Event unused;
  for (const Item &item : items_) WriteItem(unused, item, out);
  return std::string(out.view());
}

const Pattern *FindFormat(const FormatList &formats, std::string_view name) {
  for (const auto &format : formats) {
    if (format.first == name) return format.second.get();
  }
  return nullptr;
}

}  // namespace kelu::zl

#include "zc_util.h"

#include <pthread.h>
#include <time.h>

#include <cctype>

#include "zc_profile.h"

namespace kelu::zl {

namespace {

pthread_mutex_t local_time_mutex = PTHREAD_MUTEX_INITIALIZER;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

char Lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }
char Upper(char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); }

struct Unit {
  const char *name;
  uint64_t factor;
};
constexpr Unit kUnits[] = {{"", 1},
                           {"k", 1000},
                           {"kb", 1024},
                           {"m", 1000 * 1000},
                           {"mb", 1024 * 1024},
                           {"g", 1000 * 1000 * 1000},
                           {"gb", 1024ULL * 1024 * 1024}};

}  // namespace

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

std::string ToUpper(std::string_view text) {
  std::string out(text);
  for (char &c : out) c = Upper(c);
  return out;
}

std::string ToLower(std::string_view text) {
  std::string out(text);
  for (char &c : out) c = Lower(c);
  return out;
}

bool IsName(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
  }
  return true;
}

bool ParseCount(std::string_view text, uint64_t *out) {
  if (text.empty()) return false;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    if (__builtin_mul_overflow(value, 10, &value) ||
        __builtin_add_overflow(value, static_cast<uint64_t>(c - '0'), &value)) {
      return false;
    }
  }
  *out = value;
  return true;
}

bool ParseSize(std::string_view text, uint64_t *out) {
  text = Trim(text);
  size_t digits = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
  uint64_t value;
  if (!ParseCount(text.substr(0, digits), &value)) return false;
  std::string_view unit = text.substr(digits);
  for (const Unit &u : kUnits) {
    if (EqualsNoCase(unit, u.name)) {
      if (__builtin_mul_overflow(value, u.factor, &value) || value > INT64_MAX) return false;
      *out = value;
      return true;
    }
  }
  return false;
}

bool ParseQuoted(std::string_view text, std::string *out, std::string_view *rest) {
  if (text.empty() || text.front() != '"') return false;
  size_t close = text.find('"', 1);
  if (close == std::string_view::npos) return false;
  out->assign(text.substr(1, close - 1));
  *rest = text.substr(close + 1);
  return true;
}

int64_t CoarseNow() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return static_cast<int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

void LocalTimeOf(time_t second, struct tm *out) {
  pthread_mutex_lock(&local_time_mutex);
  localtime_r(&second, out);
  pthread_mutex_unlock(&local_time_mutex);
}

void RegisterForkLocks(void (*lock)(), void (*unlock)(), void (*reset)()) {
  int rc = pthread_atfork(lock, unlock, reset);
  if (rc != 0) zc_error("pthread_atfork fail, rc[%d]", rc);
}

void RegisterLocalTimeForkLocks() { RegisterMutexForFork<&local_time_mutex>(); }

std::string FolderOf(const std::string &path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace kelu::zl

// The engine's diagnostic channel. Each message is one line appended to the file that
// ZLOG_PROFILE_DEBUG (debug) or ZLOG_PROFILE_ERROR (warnings, errors) names; nothing is
// written when the variable is unset, so the channel costs one getenv while it is off. The
// warnings and errors of a start are held until it ends (see zlog_start_report.h).
#include "zc_profile.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "zc_open.h"
#include "zc_util.h"
#include "zlog_start_report.h"

namespace {

const char *BaseName(const char *path) {
  if (path == nullptr) return "";
  const char *slash = std::strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

const char *FlagName(int flag) {
  switch (flag) {
    case ZC_DEBUG: return "DEBUG";
    case ZC_WARN: return "WARN";
    default: return "ERROR";
  }
}

// The diagnostic file's own refusal cannot go to the diagnostic file: standard error has it,
// once a process.
void SayForeignLink(const char *path, const kelu::zl::ForeignLink &link) {
  static std::atomic<bool> said{false};
  if (said.exchange(true)) return;
  std::fprintf(stderr, "zlog: diagnostic file[%s] is not written: %s\n", path,
               kelu::zl::DescribeForeignLink(link).c_str());
}

void AppendToFile(const char *path, const char *text, size_t len) {
  kelu::zl::ForeignLink link;
  int fd = kelu::zl::OpenNoForeignLink(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600,
                                       &link);
  if (fd < 0) {
    if (!link.path.empty()) SayForeignLink(path, link);
    return;
  }
  while (len > 0) {
    ssize_t n = write(fd, text, len);
    if (n < 0) break;
    text += n;
    len -= static_cast<size_t>(n);
  }
  close(fd);
}

}  // namespace

int zc_profile_inner(int flag, const char *file, const long line, const char *fmt, ...) {
  const char *path = std::getenv(flag == ZC_DEBUG ? "ZLOG_PROFILE_DEBUG" : "ZLOG_PROFILE_ERROR");
  if (path == nullptr || *path == '\0') return 0;

  char text[4096];
  time_t now = time(nullptr);
  struct tm local;
  kelu::zl::LocalTimeOf(now, &local);
  size_t used = strftime(text, sizeof text, "%m-%d %H:%M:%S ", &local);
  size_t stamp = used;
  int head = std::snprintf(text + used, sizeof text - used, "%s (%ld:%s:%ld) ", FlagName(flag),
                           static_cast<long>(getpid()), BaseName(file), line);
  if (head > 0) used += static_cast<size_t>(head);
  if (used > sizeof text - 2) used = sizeof text - 2;

  if (fmt != nullptr) {
    va_list args;
    va_start(args, fmt);
    int body = std::vsnprintf(text + used, sizeof text - used - 1, fmt, args);
    va_end(args);
    if (body > 0) used += static_cast<size_t>(body);
  }
  if (used > sizeof text - 2) used = sizeof text - 2;  // cut, keep room for the line feed
  text[used++] = '\n';
  // A start's warnings and errors wait for its end, which decides whether they are written.
  if (flag != ZC_DEBUG && kelu::zl::StartReport::Hold(std::string_view(text, used), stamp)) {
    return 0;
  }
  AppendToFile(path, text, used);
  return 0;
}

void kelu::zl::AppendErrorLines(std::string_view lines) {
  const char *path = std::getenv("ZLOG_PROFILE_ERROR");
  if (path == nullptr || *path == '\0' || lines.empty()) return;
  AppendToFile(path, lines.data(), lines.size());
}

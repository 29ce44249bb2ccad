#include "kelu_zlog.h"

#include <sys/stat.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "zlog/zc_profile.h"
#include "zlog/zlog_start_report.h"

zlog_category_t *g_ptr_kelu_category = nullptr;

namespace {

constexpr char kFacadeFile[] = "kelu_zlog.cpp";
constexpr size_t kFirstBufferSize = 4096;

// Levels 0..4 of the facade; anything else is refused.
constexpr int kZlogLevels[] = {ZLOG_LEVEL_FATAL, ZLOG_LEVEL_ERROR, ZLOG_LEVEL_WARN,
                               ZLOG_LEVEL_INFO, ZLOG_LEVEL_DEBUG};
constexpr const char *kLevelNames[] = {"FATAL", "ERROR", "WARN", "INFO", "DEBUG"};

bool IsTraceLevel(int level) { return static_cast<unsigned>(level) <= KELU_TRACE_DEBUG; }

bool IsRegularFile(const char *path) {
  struct stat st;
  std::memset(&st, 0, sizeof st);
  if (path != nullptr) stat(path, &st);  // a failed stat leaves the mode zero: not regular
  return S_ISREG(st.st_mode);
}

// The configuration to start from: the given path, else the environment's; null when neither
// names a regular file.
const char *ChooseConfigPath(const char *config_path) {
  if (IsRegularFile(config_path)) return config_path;
  const char *env = std::getenv(KELU_LOG_CONF_ENV);
  if (env == nullptr || *env == '\0') {
    zc_debug("------environment variable doesn't exist------");
    zc_error("------config file doesn't exist------");
    return nullptr;
  }
  zc_debug("------environment variable[%s]------", env);
  if (!IsRegularFile(env)) {
    zc_debug("------environment config file doesn't exist------");
    zc_error("------config file doesn't exist------");
    return nullptr;
  }
  return env;
}

// zlog is running: look the category up, or finish zlog again so no half-started state remains.
int OpenCategory(const char *failure_text) {
  g_ptr_kelu_category = zlog_get_category(KELU_LOG_CATEGORY);
  if (g_ptr_kelu_category == nullptr) {
    zc_error("%s", failure_text);
    zlog_fini();
    return KELU_LOG_ERR_INIT;
  }
  return 0;
}

// Formats into a heap buffer that doubles until the text fits; null on a formatting error
// or when memory runs out.
char *FormatMessage(const char *format, va_list args) {
  size_t size = kFirstBufferSize;
  char *buffer = static_cast<char *>(std::malloc(size));
  while (buffer != nullptr) {
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(buffer, size, format, copy);
    va_end(copy);
    if (n < 0) break;
    if (static_cast<size_t>(n) < size) return buffer;
    size = static_cast<size_t>(n) + 1 > size * 2 ? static_cast<size_t>(n) + 1 : size * 2;
    char *larger = static_cast<char *>(std::realloc(buffer, size));
    if (larger == nullptr) break;
    buffer = larger;
  }
  std::free(buffer);
  return nullptr;
}

int StartFromFile(const char *config_path) {
  zc_debug("------kelu_log_init_ex:config_path[%s]------", config_path ? config_path : "(null)");
  if (g_ptr_kelu_category != nullptr) {
    zc_debug("------have initialized------");
    return 0;
  }
  zc_debug("------fire-new init------");
  const char *path = ChooseConfigPath(config_path);
  if (path == nullptr) return KELU_LOG_ERR_NO_CONFIG;
  if (zlog_init(path) != 0) {
    zc_error("------init failed------");
    return KELU_LOG_ERR_INIT;
  }
  zc_debug("------zlog_init success------");
  int rc = OpenCategory("------get category failed------");
  if (rc != 0) return rc;
  zc_debug("------kelu_log_init_ex() successful finish------");
  return 0;
}

int StartMemoryLog(int log_level, const char *psz_log_path) {
  zc_debug("------enter kelu_log_init_memory_log()------");
  zc_debug("------log_level[%d], log_path[%s]------", log_level,
           psz_log_path ? psz_log_path : "(null)");
  if (g_ptr_kelu_category != nullptr) {
    zc_debug("------have initialized------");
    return 0;
  }
  zc_debug("------fire-new init------");
  if (psz_log_path == nullptr || *psz_log_path == '\0') {
    zc_error("------psz_log_path is empty------");
    return KELU_LOG_ERR_INIT;
  }
  const char *name = IsTraceLevel(log_level) ? kLevelNames[log_level] : "INFO";
  zc_debug("------log_level[%s]------", name);
  if (zlog_init_memory_log(name, psz_log_path) != 0) {
    zc_error("------zlog_init_memory_log() failed------");
    return KELU_LOG_ERR_INIT;
  }
  zc_debug("------zlog_init_memory_log() success------");
  int rc = OpenCategory("------zlog_get_category() failed------");
  if (rc != 0) return rc;
  zc_debug("------kelu_log_init_memory_log() successful finish------");
  return 0;
}

}  // namespace

// One report for the whole start, the engine's lines included.
int kelu_log_init_ex(const char *config_path) {
  kelu::zl::StartReport report;
  return report.End(StartFromFile(config_path));
}

int kelu_log_init(void) { return kelu_log_init_ex("kelulog.conf"); }

int kelu_log_init_memory_log(int log_level, const char *psz_log_path) {
  kelu::zl::StartReport report;
  return report.End(StartMemoryLog(log_level, psz_log_path));
}

void kelu_log_fini(void) {
  // Cleared first, so that no TRACE reaches a category that zlog_fini is freeing.
  g_ptr_kelu_category = nullptr;
  zlog_fini();
}

// zlog is given the facade's own file, function and line, one call site per level.
#define KELU_ZLOG_AT(level, ...) \
  zlog(category, kFacadeFile, sizeof kFacadeFile - 1, "TRACE", 5, __LINE__, level, __VA_ARGS__)

int TRACE(int level, const char *format, ...) {
  zlog_category_t *category = g_ptr_kelu_category;
  if (category == nullptr) return KELU_LOG_ERR_NOT_INIT;
  if (format == nullptr) format = "";
  va_list args;
  va_start(args, format);
  char *text = FormatMessage(format, args);
  va_end(args);
  if (text == nullptr) return KELU_LOG_ERR_NO_MEMORY;
  if (!IsTraceLevel(level)) {
    std::free(text);
    return KELU_LOG_ERR_LEVEL;
  }
  switch (level) {
    case KELU_TRACE_FATAL: KELU_ZLOG_AT(ZLOG_LEVEL_FATAL, "%s", text); break;
    case KELU_TRACE_ERROR: KELU_ZLOG_AT(ZLOG_LEVEL_ERROR, "%s", text); break;
    case KELU_TRACE_WARN: KELU_ZLOG_AT(ZLOG_LEVEL_WARN, "%s", text); break;
    case KELU_TRACE_INFO: KELU_ZLOG_AT(ZLOG_LEVEL_INFO, "%s", text); break;
    default: KELU_ZLOG_AT(ZLOG_LEVEL_DEBUG, "%s", text); break;
  }
  std::free(text);
  return 0;
}

int TRACE_BINARY(int level, const void *buffer, int length) {
  zlog_category_t *category = g_ptr_kelu_category;
  if (category == nullptr) return 0;
  if (!IsTraceLevel(level)) return KELU_LOG_ERR_LEVEL;
  if (buffer == nullptr || length < 0) return 0;
  hzlog(category, kFacadeFile, sizeof kFacadeFile - 1, "TRACE_BINARY", 12, __LINE__,
        kZlogLevels[level], buffer, static_cast<size_t>(length));
  return 0;
}

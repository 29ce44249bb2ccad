/* The engine's diagnostic channel: messages go to the files named by the environment variables
 * ZLOG_PROFILE_DEBUG (debug messages) and ZLOG_PROFILE_ERROR (warnings and errors), and nowhere
 * when they are unset. */
#ifndef KELU_ZC_PROFILE_H
#define KELU_ZC_PROFILE_H

#ifdef __cplusplus
extern "C" {
#endif

enum zc_profile_flag { ZC_DEBUG = 0, ZC_WARN = 1, ZC_ERROR = 2 };

int zc_profile_inner(int flag, const char *file, const long line, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));

#define zc_debug(...) zc_profile_inner(ZC_DEBUG, __FILE__, __LINE__, __VA_ARGS__)
#define zc_warn(...) zc_profile_inner(ZC_WARN, __FILE__, __LINE__, __VA_ARGS__)
#define zc_error(...) zc_profile_inner(ZC_ERROR, __FILE__, __LINE__, __VA_ARGS__)

#ifdef __cplusplus
}

#include <string_view>

namespace kelu::zl {
// Appends lines, as they are, to the file that ZLOG_PROFILE_ERROR names.
void AppendErrorLines(std::string_view lines);
}  // namespace kelu::zl
#endif

#endif

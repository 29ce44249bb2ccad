/* Logging facade: the one category "kelu_category" that the whole toolkit writes to. */
#ifndef KELU_ZLOG_FACADE_H
#define KELU_ZLOG_FACADE_H

#include "KeluExport.h"
#include "zlog/zlog.h"

#define KELU_LOG_ERR_INIT       0x6002
#define KELU_LOG_ERR_NO_MEMORY  0x6004
#define KELU_LOG_ERR_LEVEL      0x6005
#define KELU_LOG_ERR_NOT_INIT   0x6006
#define KELU_LOG_ERR_NO_CONFIG  0x6007

/* Trace levels of TRACE and TRACE_BINARY. */
#define KELU_TRACE_FATAL 0
#define KELU_TRACE_ERROR 1
#define KELU_TRACE_WARN  2
#define KELU_TRACE_INFO  3
#define KELU_TRACE_DEBUG 4

#define KELU_LOG_CATEGORY "kelu_category"
/* Consulted when the configuration path given at start-up is not a regular file. */
#define KELU_LOG_CONF_ENV "KELU_LOG_CONF_PATH"

#ifdef __cplusplus
extern "C" {
#endif

/* Null while logging is off. */
KELU_EXPORT extern zlog_category_t *g_ptr_kelu_category;

KELU_EXPORT int kelu_log_init_ex(const char *config_path);
KELU_EXPORT int kelu_log_init(void);
KELU_EXPORT int kelu_log_init_memory_log(int log_level, const char *psz_log_path);
KELU_EXPORT void kelu_log_fini(void);

KELU_EXPORT int TRACE(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));
KELU_EXPORT int TRACE_BINARY(int level, const void *buffer, int length);

#ifdef __cplusplus
}
#endif

#endif

/* Public interface of the logging engine. It is call-compatible with zlog 1.2: programs written
 * against zlog's header build against this one unchanged, and zlog configuration files work as
 * they are. */
#ifndef KELU_ZLOG_H
#define KELU_ZLOG_H

#include <stdarg.h>
#include <stddef.h>

#include "KeluExport.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct zlog_category_s zlog_category_t;

KELU_EXPORT int zlog_init(const char *confpath);
KELU_EXPORT int zlog_reload(const char *confpath);
KELU_EXPORT void zlog_fini(void);

KELU_EXPORT void zlog_profile(void);

/* Configuration records: zlog_conf_new reads a file (a null or empty path takes the file named
 * by KELU_LOG_CONF_PATH; with neither, one rule "*.*  >stdout"); zlog_conf_new_with_rule builds
 * one from a single rule line. Both return null on failure; zlog_conf_del frees either. */
typedef struct zlog_conf_s zlog_conf_t;
KELU_EXPORT zlog_conf_t *zlog_conf_new(const char *confpath);
KELU_EXPORT zlog_conf_t *zlog_conf_new_with_rule(const char *rule_line);
KELU_EXPORT void zlog_conf_del(zlog_conf_t *conf);

KELU_EXPORT zlog_category_t *zlog_get_category(const char *cname);

KELU_EXPORT int zlog_put_mdc(const char *key, const char *value);
KELU_EXPORT char *zlog_get_mdc(const char *key);
KELU_EXPORT void zlog_remove_mdc(const char *key);
KELU_EXPORT void zlog_clean_mdc(void);

KELU_EXPORT void zlog(zlog_category_t *category, const char *file, size_t filelen,
                      const char *func, size_t funclen, long line, int level,
                      const char *format, ...) __attribute__((format(printf, 8, 9)));
KELU_EXPORT void vzlog(zlog_category_t *category, const char *file, size_t filelen,
                       const char *func, size_t funclen, long line, int level,
                       const char *format, va_list args);
KELU_EXPORT void hzlog(zlog_category_t *category, const char *file, size_t filelen,
                       const char *func, size_t funclen, long line, int level,
                       const void *buf, size_t buflen);

KELU_EXPORT int dzlog_init(const char *confpath, const char *cname);
KELU_EXPORT int dzlog_set_category(const char *cname);

KELU_EXPORT void dzlog(const char *file, size_t filelen, const char *func, size_t funclen,
                       long line, int level, const char *format, ...)
    __attribute__((format(printf, 7, 8)));
KELU_EXPORT void vdzlog(const char *file, size_t filelen, const char *func, size_t funclen,
                        long line, int level, const char *format, va_list args);
KELU_EXPORT void hdzlog(const char *file, size_t filelen, const char *func, size_t funclen,
                        long line, int level, const void *buf, size_t buflen);

/* User-defined ("$name") record outputs. */
typedef struct zlog_msg_s {
  char *buf;
  size_t len;
  char *path;
} zlog_msg_t;
typedef int (*zlog_record_fn)(zlog_msg_t *msg);
KELU_EXPORT int zlog_set_record(const char *rname, zlog_record_fn record);

/* Memory-log mode: starts from the single rule "kelu_category.<level>  >memlog:<path>". */
KELU_EXPORT int zlog_init_memory_log(const char *level, const char *path);
/* Creates every directory of path before its last '/'. */
KELU_EXPORT int auto_create_dir(const char *path);
/* Destructor of the per-thread buffers' key: frees the exiting thread's buffers. */
KELU_EXPORT void zlog_thread_clean(void *thread);

typedef enum {
  ZLOG_LEVEL_DEBUG = 20,
  ZLOG_LEVEL_INFO = 40,
  ZLOG_LEVEL_NOTICE = 60,
  ZLOG_LEVEL_WARN = 80,
  ZLOG_LEVEL_ERROR = 100,
  ZLOG_LEVEL_FATAL = 120
} zlog_level;

#define ZLOG_SITE_ __FILE__, sizeof(__FILE__) - 1, __func__, sizeof(__func__) - 1, __LINE__

#define zlog_fatal(cat, ...) zlog(cat, ZLOG_SITE_, ZLOG_LEVEL_FATAL, __VA_ARGS__)
#define zlog_error(cat, ...) zlog(cat, ZLOG_SITE_, ZLOG_LEVEL_ERROR, __VA_ARGS__)
#define zlog_warn(cat, ...) zlog(cat, ZLOG_SITE_, ZLOG_LEVEL_WARN, __VA_ARGS__)
#define zlog_notice(cat, ...) zlog(cat, ZLOG_SITE_, ZLOG_LEVEL_NOTICE, __VA_ARGS__)
#define zlog_info(cat, ...) zlog(cat, ZLOG_SITE_, ZLOG_LEVEL_INFO, __VA_ARGS__)
#define zlog_debug(cat, ...) zlog(cat, ZLOG_SITE_, ZLOG_LEVEL_DEBUG, __VA_ARGS__)

#define dzlog_fatal(...) dzlog(ZLOG_SITE_, ZLOG_LEVEL_FATAL, __VA_ARGS__)
#define dzlog_error(...) dzlog(ZLOG_SITE_, ZLOG_LEVEL_ERROR, __VA_ARGS__)
#define dzlog_warn(...) dzlog(ZLOG_SITE_, ZLOG_LEVEL_WARN, __VA_ARGS__)
#define dzlog_notice(...) dzlog(ZLOG_SITE_, ZLOG_LEVEL_NOTICE, __VA_ARGS__)
#define dzlog_info(...) dzlog(ZLOG_SITE_, ZLOG_LEVEL_INFO, __VA_ARGS__)
#define dzlog_debug(...) dzlog(ZLOG_SITE_, ZLOG_LEVEL_DEBUG, __VA_ARGS__)

#define vzlog_fatal(cat, format, args) vzlog(cat, ZLOG_SITE_, ZLOG_LEVEL_FATAL, format, args)
#define vzlog_error(cat, format, args) vzlog(cat, ZLOG_SITE_, ZLOG_LEVEL_ERROR, format, args)
#define vzlog_warn(cat, format, args) vzlog(cat, ZLOG_SITE_, ZLOG_LEVEL_WARN, format, args)
#define vzlog_notice(cat, format, args) vzlog(cat, ZLOG_SITE_, ZLOG_LEVEL_NOTICE, format, args)
#define vzlog_info(cat, format, args) vzlog(cat, ZLOG_SITE_, ZLOG_LEVEL_INFO, format, args)
#define vzlog_debug(cat, format, args) vzlog(cat, ZLOG_SITE_, ZLOG_LEVEL_DEBUG, format, args)

#define vdzlog_fatal(format, args) vdzlog(ZLOG_SITE_, ZLOG_LEVEL_FATAL, format, args)
#define vdzlog_error(format, args) vdzlog(ZLOG_SITE_, ZLOG_LEVEL_ERROR, format, args)
#define vdzlog_warn(format, args) vdzlog(ZLOG_SITE_, ZLOG_LEVEL_WARN, format, args)
#define vdzlog_notice(format, args) vdzlog(ZLOG_SITE_, ZLOG_LEVEL_NOTICE, format, args)
#define vdzlog_info(format, args) vdzlog(ZLOG_SITE_, ZLOG_LEVEL_INFO, format, args)
#define vdzlog_debug(format, args) vdzlog(ZLOG_SITE_, ZLOG_LEVEL_DEBUG, format, args)

#define hzlog_fatal(cat, buf, len) hzlog(cat, ZLOG_SITE_, ZLOG_LEVEL_FATAL, buf, len)
#define hzlog_error(cat, buf, len) hzlog(cat, ZLOG_SITE_, ZLOG_LEVEL_ERROR, buf, len)
#define hzlog_warn(cat, buf, len) hzlog(cat, ZLOG_SITE_, ZLOG_LEVEL_WARN, buf, len)
#define hzlog_notice(cat, buf, len) hzlog(cat, ZLOG_SITE_, ZLOG_LEVEL_NOTICE, buf, len)
#define hzlog_info(cat, buf, len) hzlog(cat, ZLOG_SITE_, ZLOG_LEVEL_INFO, buf, len)
#define hzlog_debug(cat, buf, len) hzlog(cat, ZLOG_SITE_, ZLOG_LEVEL_DEBUG, buf, len)

#define hdzlog_fatal(buf, len) hdzlog(ZLOG_SITE_, ZLOG_LEVEL_FATAL, buf, len)
#define hdzlog_error(buf, len) hdzlog(ZLOG_SITE_, ZLOG_LEVEL_ERROR, buf, len)
#define hdzlog_warn(buf, len) hdzlog(ZLOG_SITE_, ZLOG_LEVEL_WARN, buf, len)
#define hdzlog_notice(buf, len) hdzlog(ZLOG_SITE_, ZLOG_LEVEL_NOTICE, buf, len)
#define hdzlog_info(buf, len) hdzlog(ZLOG_SITE_, ZLOG_LEVEL_INFO, buf, len)
#define hdzlog_debug(buf, len) hdzlog(ZLOG_SITE_, ZLOG_LEVEL_DEBUG, buf, len)

#ifdef __cplusplus
}
#endif

#endif

#ifndef KELU_EXPORT_H
#define KELU_EXPORT_H

/* Everything is built with -fvisibility=hidden; only the toolkit's functions, the logging
 * facade and the zlog API carry this mark and are exported by the shared objects. */
#define KELU_EXPORT __attribute__((visibility("default")))

#ifdef __cplusplus
#define KELU_EXTERN_C extern "C"
#else
#define KELU_EXTERN_C
#endif

#define KELU_API KELU_EXTERN_C KELU_EXPORT

#endif

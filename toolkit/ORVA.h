/* The toolkit's interface for native programs: plain C functions returning result codes.
 * Every buffer a function hands out is allocated by the toolkit and released with
 * FreeMemory. */
#ifndef KELU_ORVA_H
#define KELU_ORVA_H

#include "KeluErrors.h"
#include "KeluExport.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Starts logging from "./kelulog.conf" (or the file named by KELU_LOG_CONF_PATH; without
 * either the toolkit runs unlogged) and the crypto library. 0, or -1 when the crypto library
 * does not start. */
KELU_EXPORT int Initialize(void);
/* Shuts the crypto library's set-up down, then logging. 0, or -1 on a corrupt start-up state. */
KELU_EXPORT int Uninitialize(void);
/* Releases a buffer handed out by the toolkit; null is ignored. */
KELU_EXPORT void FreeMemory(void *p);

#ifdef __cplusplus
}
#endif

#endif

/* A native program driving the toolkit: start-up from ./kelulog.conf, a few logged steps,
 * shut-down. Run it through examples/run, which shows the log it wrote. */
#include <stdio.h>

#include "ORVA.h"
#include "kelu_zlog.h"

int main(void) {
  int rc = Initialize();
  printf("Initialize: %d\n", rc);
  if (rc != KELU_OK) return 1;

  TRACE(KELU_TRACE_INFO, "native example: %s", "started");
  TRACE(KELU_TRACE_DEBUG, "native example: a debug line (shown only when the rules select DEBUG)");
  TRACE(KELU_TRACE_WARN, "native example: result code of a bad parameter is 0x%08x",
        (unsigned)KELU_ERR_INVALID_PARAMETER);

  FreeMemory(NULL);

  rc = Uninitialize();
  printf("Uninitialize: %d\n", rc);
  return rc == KELU_OK ? 0 : 1;
}

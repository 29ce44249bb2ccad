/* A native program driving the toolkit: start-up from ./kelulog.conf, a few logged steps, a
 * symmetric round trip, the fields of a certificate, shut-down. Run it through examples/run,
 * which makes the certificate (example-cert.b64, one line of Base64 of its DER) and shows the
 * log the program wrote. */
#include <stdio.h>
#include <string.h>

#include "ORVA.h"
#include "kelu_zlog.h"

/* GenSymKey, SymEncryptData and SymDecryptData under SM4-CBC; every output is released with
 * FreeMemory. The key text is a secret and is not shown. */
static int SymmetricRoundTrip(void) {
  static const char message[] = "A message from a native program";
  char *key = NULL;
  char *cipher = NULL;
  unsigned char *plain = NULL;
  int plain_size = 0;
  int rc = GenSymKey("SM4_CBC", &key);
  printf("GenSymKey(SM4_CBC): %d, a key text of %zu characters\n", rc,
         rc == KELU_OK ? strlen(key) : 0);
  if (rc == KELU_OK) {
    rc = SymEncryptData((const unsigned char *)message, (int)strlen(message), "SM4_CBC", key,
                        &cipher);
    printf("SymEncryptData: %d, cipher text %s\n", rc, rc == KELU_OK ? cipher : "-");
  }
  if (rc == KELU_OK) {
    rc = SymDecryptData(cipher, "SM4_CBC", key, &plain, &plain_size);
    printf("SymDecryptData: %d, %d bytes: %.*s\n", rc, plain_size, plain_size,
           rc == KELU_OK ? (const char *)plain : "");
  }
  FreeMemory(plain);
  FreeMemory(cipher);
  FreeMemory(key);
  return rc;
}

/* Reads the one-line Base64 text of a certificate from path into text. */
static int ReadCertificateText(const char *path, char *text, size_t size) {
  FILE *f = fopen(path, "rb");
  if (f == NULL) return 0;
  size_t n = fread(text, 1, size - 1, f);
  fclose(f);
  while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r')) --n;
  text[n] = '\0';
  return n > 0 && n < size - 1;
}

static int CertificateInfo(const char *path) {
  static const char *const types[] = {"CertType",     "SubjectDN", "SubjectCN", "IssuerDN",
                                      "SerialNumber", "ValidFrom", "ValidTo"};
  static char cert[16384];
  if (!ReadCertificateText(path, cert, sizeof cert)) {
    printf("no certificate text in %s\n", path);
    return 1;
  }
  int rc = KELU_OK;
  for (size_t i = 0; i < sizeof types / sizeof types[0] && rc == KELU_OK; ++i) {
    char *info = NULL;
    rc = GetCertificateInfo(cert, types[i], &info);
    printf("GetCertificateInfo(%s): %d, %s\n", types[i], rc, rc == KELU_OK ? info : "-");
    FreeMemory(info);
  }
  return rc;
}

int main(void) {
  int rc = Initialize();
  printf("Initialize: %d\n", rc);
  if (rc != KELU_OK) return 1;

  TRACE(KELU_TRACE_INFO, "native example: %s", "started");
  TRACE(KELU_TRACE_DEBUG, "native example: a debug line (shown only when the rules select DEBUG)");
  TRACE(KELU_TRACE_WARN, "native example: result code of a bad parameter is 0x%08x",
        (unsigned)KELU_ERR_INVALID_PARAMETER);

  int failed = SymmetricRoundTrip() != KELU_OK;
  failed |= CertificateInfo("example-cert.b64") != KELU_OK;
  FreeMemory(NULL);

  rc = Uninitialize();
  printf("Uninitialize: %d\n", rc);
  return rc == KELU_OK && !failed ? 0 : 1;
}

/* A program built against the installed toolkit only (its header from <kelu/ORVA.h>, its
 * library through pkg-config or find_package(kelu)). It encrypts the SM4 standard's example
 * block under SM4-CBC with a zero IV, prints the cipher text (Base64) for the caller to check,
 * and decrypts it again. Exit 0 when every call succeeds. */
#include <stdio.h>
#include <string.h>

#include <kelu/ORVA.h>

/* The zero IV, then the key 0123456789ABCDEFFEDCBA9876543210. */
static const char kKeyText[] =
    "00000000000000000000000000000000"
    "0123456789ABCDEFFEDCBA9876543210";
static const unsigned char kPlain[16] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF,
                                         0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10};

static int Report(const char *what, int rc) {
  if (rc != KELU_OK) fprintf(stderr, "%s failed: %d\n", what, rc);
  return rc == KELU_OK;
}

int main(void) {
  char *cipher = NULL;
  unsigned char *plain = NULL;
  int plain_size = 0;
  int ok = Report("Initialize", Initialize()) &&
           Report("SymEncryptData", SymEncryptData(kPlain, (int)sizeof kPlain, "SM4_CBC",
                                                   kKeyText, &cipher)) &&
           Report("SymDecryptData",
                  SymDecryptData(cipher, "SM4_CBC", kKeyText, &plain, &plain_size));
  if (ok && (plain_size != (int)sizeof kPlain || memcmp(plain, kPlain, sizeof kPlain) != 0)) {
    fprintf(stderr, "the decrypted block differs\n");
    ok = 0;
  }
  if (ok) printf("%s\n", cipher);
  FreeMemory(plain);
  FreeMemory(cipher);
  Uninitialize();
  return ok ? 0 : 1;
}

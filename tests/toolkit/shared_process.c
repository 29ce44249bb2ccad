/* A program that shares its process with the toolkit as a new user's would: functions of its
 * own under names the toolkit exports too, and an OpenSSL configuration of its own. Each mode is
 * one test; the exit status is 0 when every check holds. */
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "ORVA.h"

static int g_failures;
static int g_own_trace_calls;
static int g_own_zlog_init_calls;

static void check(int ok, const char *what) {
  if (!ok) {
    fprintf(stderr, "FAILED: %s\n", what);
    ++g_failures;
  }
}

/* The program's own TRACE and zlog_init: the toolkit's calls must not reach them. */
int TRACE(int level, const char *format, ...) {
  (void)level;
  (void)format;
  ++g_own_trace_calls;
  return 0;
}

int zlog_init(const char *confpath) {
  (void)confpath;
  ++g_own_zlog_init_calls;
  return -1;
}

static int write_file(const char *path, const char *text) {
  FILE *f = fopen(path, "w");
  if (f == NULL) return 0;
  fputs(text, f);
  return fclose(f) == 0;
}

static int file_contains(const char *path, const char *text) {
  static char buffer[65536];
  FILE *f = fopen(path, "r");
  size_t n;
  if (f == NULL) return 0;
  n = fread(buffer, 1, sizeof buffer - 1, f);
  fclose(f);
  buffer[n] = '\0';
  return strstr(buffer, text) != NULL;
}

static void own_names(void) {
  char *key = NULL;
  remove("shared_process.log");
  check(write_file("kelulog.conf", "[rules]\nkelu_category.INFO \"shared_process.log\"\n"),
        "kelulog.conf written");
  check(Initialize() == KELU_OK, "Initialize");
  check(GenSymKey("AES", &key) == KELU_ERR_INVALID_PARAMETER, "GenSymKey refuses AES");
  check(Uninitialize() == KELU_OK, "Uninitialize");
  check(g_own_zlog_init_calls == 0, "the toolkit called the program's zlog_init");
  check(g_own_trace_calls == 0, "the toolkit called the program's TRACE");
  check(file_contains("shared_process.log", "SMKernelInitialize success!"),
        "the toolkit's log has its start-up line");
  check(file_contains("shared_process.log", "--Failed:"), "the toolkit's log has its Failed line");
}

/* An object identifier that only the program's configuration creates. */
static const char kProgramConfig[] =
    "openssl_conf = program_init\n"
    "[program_init]\n"
    "oid_section = program_oids\n"
    "[program_oids]\n"
    "keluProgramOid = 1.3.6.1.4.1.55555.7.1\n";

static int program_oid_known(void) { return OBJ_txt2nid("keluProgramOid") != NID_undef; }

/* The configuration named by OPENSSL_CONF, loaded when the program asks after Initialize. */
static void config_from_environment(void) {
  check(write_file("program.cnf", kProgramConfig), "program.cnf written");
  setenv("OPENSSL_CONF", "program.cnf", 1);
  check(Initialize() == KELU_OK, "Initialize");
  check(OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CONFIG, NULL) == 1, "configuration loaded");
  check(program_oid_known(), "the program's configuration took effect");
  Uninitialize();
}

/* The toolkit's RC4 works while the program's OpenSSL does not offer it. */
static void legacy_ciphers(void) {
  static const unsigned char plain[] = "plaintext";
  char *key = NULL, *sealed = NULL;
  EVP_CIPHER *rc4;
  unsetenv("OPENSSL_CONF");
  check(Initialize() == KELU_OK, "Initialize");
  check(GenSymKey("RC4", &key) == KELU_OK, "RC4 key");
  check(key != NULL && SymEncryptData(plain, sizeof plain, "RC4", key, &sealed) == KELU_OK,
        "the toolkit's RC4");
  rc4 = EVP_CIPHER_fetch(NULL, "RC4", NULL);
  check(rc4 == NULL, "RC4 in the program's default context");
  EVP_CIPHER_free(rc4);
  FreeMemory(key);
  FreeMemory(sealed);
  Uninitialize();
}

int main(int argc, char **argv) {
  const char *mode = argc > 1 ? argv[1] : "";
  if (strcmp(mode, "own-names") == 0) {
    own_names();
  } else if (strcmp(mode, "config-from-environment") == 0) {
    config_from_environment();
  } else if (strcmp(mode, "legacy-ciphers") == 0) {
    legacy_ciphers();
  } else {
    fprintf(stderr, "usage: %s own-names|config-from-environment|legacy-ciphers\n",
            argv[0]);
    return 2;
  }
  return g_failures == 0 ? 0 : 1;
}

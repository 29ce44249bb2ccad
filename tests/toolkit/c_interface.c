/* The public header as a C program sees it: it compiles as C and the program links against
 * the shared library alone. Each exported function is called once through its C prototype. */
#include <stdio.h>
#include <string.h>

#include "ORVA.h"

static int failures = 0;

#define EXPECT(cond)                                                     \
  do {                                                                   \
    if (!(cond)) {                                                       \
      fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                        \
    }                                                                    \
  } while (0)

static int WriteFile(const char *path, const char *text) {
  FILE *f = fopen(path, "wb");
  if (f == NULL) return 0;
  fputs(text, f);
  return fclose(f) == 0;
}

static void SymmetricData(void) {
  static const char message[] = "native C caller";
  char *key = NULL;
  char *cipher = NULL;
  unsigned char *plain = NULL;
  int plain_size = 0;
  EXPECT(GenSymKey("SM4_CBC", &key) == KELU_OK);
  EXPECT(key != NULL && strlen(key) == 64);
  EXPECT(SymEncryptData((const unsigned char *)message, (int)strlen(message), "SM4_CBC", key,
                        &cipher) == KELU_OK);
  EXPECT(SymDecryptData(cipher, "sm4_cbc", key, &plain, &plain_size) == KELU_OK);
  EXPECT(plain_size == (int)strlen(message) && memcmp(plain, message, strlen(message)) == 0);
  EXPECT(SymEncryptData((const unsigned char *)message, 0, "SM4_CBC", key, &cipher) ==
         KELU_ERR_INVALID_PARAMETER);
  FreeMemory(plain);
  FreeMemory(cipher);
  FreeMemory(key);
}

static void SymmetricFiles(void) {
  char *key = NULL;
  EXPECT(WriteFile("c_interface.plain", "file content"));
  EXPECT(SymEncryptFile("3DES_CBC", "c_interface.plain", "c_interface.enc", &key) == KELU_OK);
  EXPECT(SymDecryptFile("3DES_CBC", "c_interface.enc", key, "c_interface.out") == KELU_OK);
  FreeMemory(key);
  EXPECT(SymEncryptFile("RC4", "c_interface.plain", "c_interface.enc", &key) ==
         KELU_ERR_INVALID_PARAMETER);
  remove("c_interface.plain");
  remove("c_interface.enc");
  remove("c_interface.out");
}

static void Signing(void) {
  static const unsigned char data[] = "signed";
  char *text = NULL;
  unsigned char *content = NULL;
  int size = 0;
  EXPECT(SignData_PKCS1("SM2", data, 6, "c_interface.missing.sm2", "pw", NULL, &text) ==
         KELU_ERR_OPEN_FILE);
  EXPECT(SignData_PKCS7Detached("SM2", data, 6, "c_interface.missing.sm2", "pw", NULL, &text) ==
         KELU_ERR_OPEN_FILE);
  EXPECT(SignData_PKCS7Attached("RSA", data, 6, "c_interface.missing.pfx", "pw", "SHA-256",
                                &text) == KELU_ERR_OPEN_FILE);
  EXPECT(text == NULL);
  EXPECT(VerifyDataSignature_PKCS1("SM2", data, 0, "SGVsbG8=", NULL, "SGVsbG8=") ==
         KELU_ERR_INVALID_PARAMETER);
  EXPECT(VerifyDataSignature_PKCS7Detached("XYZ", data, 6, "SGVsbG8=", &text) ==
         KELU_ERR_INVALID_PARAMETER);
  EXPECT(VerifyDataSignature_PKCS7Attached("SM2", "", &text, &content, &size) ==
         KELU_ERR_INVALID_PARAMETER);
  EXPECT(SignFile_PKCS7Detached("SM2", "c_interface.missing", "c_interface.missing.sm2", "pw",
                                NULL, &text) == KELU_ERR_OPEN_FILE);
  EXPECT(VerifyFileSignature_PKCS7Detached("RSA", "c_interface.missing", "SGVsbG8=", NULL) ==
         KELU_ERR_OPEN_FILE);
}

static void Certificates(void) {
  char *text = NULL;
  EXPECT(GetCertificateInfo("SGVsbG8=", "CertType", &text) == KELU_ERR_CERT_INFO);
  EXPECT(text == NULL);
  EXPECT(GetCertificateInfo(NULL, "CertType", &text) == KELU_ERR_INVALID_PARAMETER);
  EXPECT(VerifyCertificate("SGVsbG8=", 0x1u, NULL, NULL) == KELU_ERR_VERIFY_CERT);
  EXPECT(VerifyCertificate("SGVsbG8=", 0x2u, NULL, NULL) == KELU_ERR_INVALID_PARAMETER);
  EXPECT(GetPublicCertFromPFX("RSA", "c_interface.missing.pfx", "pw", &text) == KELU_ERR_OPEN_FILE);
  EXPECT(GetPublicCertFromPFX("SM2", "", "pw", &text) == KELU_ERR_INVALID_PARAMETER);
}

static void Envelopes(void) {
  static const unsigned char data[] = "envelope";
  char *envelope = NULL;
  unsigned char *plain = NULL;
  int plain_size = -1;
  /* "Hello" is no certificate: the SM2 operation's -1 becomes the function's code. */
  EXPECT(EncryptDataToCMSEnvelope("SM2", data, 8, "SGVsbG8=", "SM4_CBC", &envelope) ==
         KELU_ERR_ENCRYPT);
  EXPECT(envelope == NULL);
  EXPECT(EncryptDataToCMSEnvelopeEx("RSA", data, 8, "SGVsbG8=", "DES", &envelope) ==
         KELU_ERR_INVALID_PARAMETER);
  EXPECT(DecryptDataFromCMSEnvelope("SM2", "MAA=", "c_interface.missing.sm2", "pw", &plain,
                                    &plain_size) == KELU_ERR_OPEN_FILE);
  EXPECT(plain == NULL && plain_size == 0);
  EXPECT(DecryptDataFromCMSEnvelopeEx("XYZ", "MAA=", "c_interface.missing.sm2", "pw", &plain,
                                      &plain_size) == KELU_ERR_OPEN_FILE);
  EXPECT(DecryptDataFromCMSEnvelope_ECB(NULL, "MAA=", "x", "pw", &plain, &plain_size) ==
         KELU_ERR_INVALID_PARAMETER);
  EXPECT(DecryptDataFromCMSEnvelopeEx_ECB("RSA", "MAA=", "", "pw", &plain, &plain_size) ==
         KELU_ERR_INVALID_PARAMETER);
}

static void SignedEnvelopes(void) {
  static const unsigned char data[] = "signed and enveloped";
  char *envelope = NULL;
  unsigned char *plain = NULL;
  int plain_size = -1;
  EXPECT(SignAndEncryptData("SM2", data, 20, "c_interface.missing.sm2", "pw", NULL, "SGVsbG8=",
                            NULL, &envelope) == KELU_ERR_OPEN_FILE);
  EXPECT(envelope == NULL);
  EXPECT(DecryptAndVerifyDataSignature("RSA", "MAA=", "c_interface.missing.pfx", "pw", &plain,
                                       &plain_size) == KELU_ERR_OPEN_FILE);
  EXPECT(plain == NULL && plain_size == 0);
}

int main(void) {
  EXPECT(Initialize() == KELU_OK);
  SymmetricData();
  SymmetricFiles();
  Signing();
  Certificates();
  Envelopes();
  SignedEnvelopes();
  FreeMemory(NULL);
  EXPECT(Uninitialize() == KELU_OK);
  if (failures == 0) printf("c_interface: all checks passed\n");
  return failures == 0 ? 0 : 1;
}

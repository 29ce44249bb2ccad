#ifndef KELU_ERRORS_H
#define KELU_ERRORS_H

/* Result codes of the toolkit. Scripts receive them as signed 32-bit integers
 * (0x80070057 arrives as -2147024809). */
#define KELU_OK                      0
#define KELU_ERR_FAILED              (-1)
#define KELU_ERR_INVALID_PARAMETER   ((int)0x80070057)
#define KELU_ERR_OPEN_FILE           ((int)0x8007006E)
#define KELU_ERR_READ_FILE           ((int)0x8007001E)
#define KELU_ERR_WRITE_FILE          ((int)0x8007001D)
#define KELU_ERR_FILE_TOO_LARGE      ((int)0x800700DF)
#define KELU_ERR_ENCRYPT             ((int)0x80071770)
#define KELU_ERR_DECRYPT             ((int)0x80071771)
#define KELU_ERR_DIGEST_MISMATCH     ((int)0x80090002)
#define KELU_ERR_BAD_SIGNATURE       ((int)0x80090006)
#define KELU_ERR_UNKNOWN_HASH        ((int)0x80090008)
#define KELU_ERR_BASE64_ENCODE       ((int)0xA0071004)
#define KELU_ERR_BASE64_DECODE       ((int)0xA0071005)
#define KELU_ERR_CERT_VALIDITY       ((int)0xA0071031)
#define KELU_ERR_CERT_REVOKED        ((int)0xA0071032)
#define KELU_ERR_CERT_UNTRUSTED      ((int)0xA0071033)
#define KELU_ERR_PARSE               ((int)0xA0071041)
#define KELU_ERR_ASN1_TOO_LARGE      ((int)0xA0071101)
#define KELU_ERR_ASN1_TOO_DEEP       ((int)0xA0071102)
#define KELU_ERR_KEY_FILE_FORMAT     ((int)0xA0071103)
#define KELU_ERR_PKCS7_FORMAT        ((int)0xA0071104)
#define KELU_ERR_ENVELOPE_FORMAT     ((int)0xA0071105)
#define KELU_ERR_RECIPIENT_MISMATCH  ((int)0xA0071106)
#define KELU_ERR_SIGN                ((int)0xA0071107)
#define KELU_ERR_KEY_FILE_PASSWORD   ((int)0xA0071108)
#define KELU_ERR_VERIFY_CERT         ((int)0xA0071109)
#define KELU_ERR_CERT_INFO           ((int)0xA0071110)
#define KELU_ERR_KEY_USAGE           ((int)0xA0072021)

#endif

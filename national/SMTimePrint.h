/* Compact printing of certificate times (UTCTime, GeneralizedTime) onto a library I/O object:
 * digits only, either converted to local time ("sys") or as stored with an optional "Z" ("gz").
 * 1 when the text was written, 0 otherwise; malformed values write "Bad time value". */
#ifndef KELU_SM_TIME_PRINT_H
#define KELU_SM_TIME_PRINT_H

#include <openssl/asn1.h>
#include <openssl/bio.h>

namespace kelu {

int ASN1_TIME_print_sys(BIO *bio, const ASN1_TIME *tm);
int ASN1_UTCTIME_print_sys(BIO *bio, const ASN1_UTCTIME *tm);
int ASN1_GENERALIZEDTIME_print_sys(BIO *bio, const ASN1_GENERALIZEDTIME *tm);
int ASN1_TIME_print_gz(BIO *bio, const ASN1_TIME *tm);
int ASN1_UTCTIME_print_gz(BIO *bio, const ASN1_UTCTIME *tm);
int ASN1_GENERALIZEDTIME_print_gz(BIO *bio, const ASN1_GENERALIZEDTIME *tm);

}  // namespace kelu

#endif

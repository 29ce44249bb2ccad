#include "SMTimePrint.h"

#include <cstring>
#include <ctime>

namespace kelu {
namespace {

struct ParsedTime {
  int year, month, day, hour, minute, second;
  bool zulu;  // the value's last character is 'Z'
};

bool Digits(const unsigned char *p, int n) {
  for (int i = 0; i < n; ++i)
    if (p[i] < '0' || p[i] > '9') return false;
  return true;
}

int Two(const unsigned char *p) { return (p[0] - '0') * 10 + (p[1] - '0'); }

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

// The fields of a UTCTime (generalized false) or GeneralizedTime; false when malformed.
bool Parse(const ASN1_STRING *tm, bool generalized, ParsedTime *out) {
  if (tm == nullptr) return false;
  const unsigned char *p = ASN1_STRING_get0_data(tm);
  int len = ASN1_STRING_length(tm);
  int head = generalized ? 12 : 10;
  if (p == nullptr || len < head || !Digits(p, head)) return false;
  int at = 0;
  if (generalized) {
    out->year = Two(p) * 100 + Two(p + 2);
    at = 4;
  } else {
    int yy = Two(p);
    out->year = yy > 49 ? 1900 + yy : 2000 + yy;
    at = 2;
  }
  out->month = Two(p + at);
  out->day = Two(p + at + 2);
  out->hour = Two(p + at + 4);
  out->minute = Two(p + at + 6);
  at += 8;
  out->second = 0;
  if (len >= at + 2 && Digits(p + at, 2)) {
    out->second = Two(p + at);
    at += 2;
    if (generalized && at < len && p[at] == '.') {
      for (++at; at < len && Digits(p + at, 1); ++at) {
      }
    }
  }
  out->zulu = p[len - 1] == 'Z';
  return out->month >= 1 && out->month <= 12 && out->day >= 1 &&
         out->day <= DaysInMonth(out->year, out->month) && out->hour <= 23 &&
         out->minute <= 59 && out->second <= 59;
}

int BadTime(BIO *bio) {
  BIO_write(bio, "Bad time value", 14);
  return 0;
}

int Write(BIO *bio, const ParsedTime &t, const char *suffix) {
  return BIO_printf(bio, "%d%02d%02d%02d%02d%02d%s", t.year, t.month, t.day, t.hour, t.minute,
                    t.second, suffix) > 0
             ? 1
             : 0;
}

int PrintGz(BIO *bio, const ASN1_STRING *tm, bool generalized) {
  ParsedTime t;
  if (!Parse(tm, generalized, &t)) return BadTime(bio);
  return Write(bio, t, t.zulu ? "Z" : "");
}

// The stored time is UTC; the text is the local time (the zone from the C library's rules,
// since gettimeofday reports no zone on Linux).
int PrintSys(BIO *bio, const ASN1_STRING *tm, bool generalized) {
  ParsedTime t;
  if (!Parse(tm, generalized, &t)) return BadTime(bio);
  struct tm utc;
  std::memset(&utc, 0, sizeof utc);
  utc.tm_year = t.year - 1900;
  utc.tm_mon = t.month - 1;
  utc.tm_mday = t.day;
  utc.tm_hour = t.hour;
  utc.tm_min = t.minute;
  utc.tm_sec = t.second;
  time_t when = timegm(&utc);
  struct tm local;
  if (localtime_r(&when, &local) == nullptr) return 0;
  ParsedTime out = {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                    local.tm_hour,        local.tm_min,     local.tm_sec, false};
  if (out.year < 0 || out.year >= 10000) return 0;
  return Write(bio, out, "");
}

template <int (*Print)(BIO *, const ASN1_STRING *, bool)>
int Dispatch(BIO *bio, const ASN1_TIME *tm) {
  int type = tm != nullptr ? ASN1_STRING_type(tm) : 0;
  if (type == V_ASN1_UTCTIME) return Print(bio, tm, false);
  if (type == V_ASN1_GENERALIZEDTIME) return Print(bio, tm, true);
  return BadTime(bio);
}

}  // namespace

int ASN1_TIME_print_sys(BIO *bio, const ASN1_TIME *tm) { return Dispatch<PrintSys>(bio, tm); }
int ASN1_UTCTIME_print_sys(BIO *bio, const ASN1_UTCTIME *tm) { return PrintSys(bio, tm, false); }
int ASN1_GENERALIZEDTIME_print_sys(BIO *bio, const ASN1_GENERALIZEDTIME *tm) {
  return PrintSys(bio, tm, true);
}
int ASN1_TIME_print_gz(BIO *bio, const ASN1_TIME *tm) { return Dispatch<PrintGz>(bio, tm); }
int ASN1_UTCTIME_print_gz(BIO *bio, const ASN1_UTCTIME *tm) { return PrintGz(bio, tm, false); }
int ASN1_GENERALIZEDTIME_print_gz(BIO *bio, const ASN1_GENERALIZEDTIME *tm) {
  return PrintGz(bio, tm, true);
}

}  // namespace kelu

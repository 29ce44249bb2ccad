#include "SMTimePrint.h"

#include <gtest/gtest.h>
#include <openssl/asn1.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "OsslPtr.h"

namespace kelu::test {
namespace {

struct Printed {
  int result;
  std::string text;
};

Printed Print(int (*printer)(BIO *, const ASN1_TIME *), int type, const std::string &value) {
  ASN1_STRING *tm = ASN1_STRING_type_new(type);
  ASN1_STRING_set(tm, value.data(), static_cast<int>(value.size()));
  BioPtr bio(BIO_new(BIO_s_mem()));
  int rc = printer(bio.get(), tm);
  char *data = nullptr;
  long n = BIO_get_mem_data(bio.get(), &data);
  ASN1_STRING_free(tm);
  return {rc, std::string(data, static_cast<size_t>(n))};
}

// A time zone for the duration of a test ("UTC+8" is 480 minutes west of UTC).
class ZoneScope {
 public:
  explicit ZoneScope(const char *tz) {
    const char *old = std::getenv("TZ");
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv("TZ", tz, 1);
    tzset();
  }
  ~ZoneScope() {
    if (had_)
      setenv("TZ", old_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

 private:
  bool had_ = false;
  std::string old_;
};

struct Case {
  const char *name;
  int type;
  const char *value;
  int result;
  const char *text;
};

TEST(SmTimePrint, StoredForm) {
  const Case cases[] = {
      {"UTCTime before 2050", V_ASN1_UTCTIME, "491231235959Z", 1, "20491231235959Z"},
      {"UTCTime from 1950", V_ASN1_UTCTIME, "500101000000Z", 1, "19500101000000Z"},
      {"UTCTime without seconds", V_ASN1_UTCTIME, "0406301200Z", 1, "20040630120000Z"},
      {"UTCTime without Z", V_ASN1_UTCTIME, "040630120000+0800", 1, "20040630120000"},
      {"GeneralizedTime with a fraction", V_ASN1_GENERALIZEDTIME, "20240229235958.123Z", 1,
       "20240229235958Z"},
      {"9 characters", V_ASN1_UTCTIME, "040630120", 0, "Bad time value"},
      {"month 13", V_ASN1_UTCTIME, "041330120000Z", 0, "Bad time value"},
      {"day 31 of June", V_ASN1_UTCTIME, "040631120000Z", 0, "Bad time value"},
      {"29 February of 2023", V_ASN1_GENERALIZEDTIME, "20230229120000Z", 0, "Bad time value"},
      {"hour 24", V_ASN1_UTCTIME, "040630240000Z", 0, "Bad time value"},
      {"minute 60", V_ASN1_UTCTIME, "040630126000Z", 0, "Bad time value"},
      {"second 60", V_ASN1_UTCTIME, "040630120060Z", 0, "Bad time value"},
      {"letters", V_ASN1_GENERALIZEDTIME, "2004O6301200Z", 0, "Bad time value"},
      {"other type", V_ASN1_OCTET_STRING, "040630120000Z", 0, "Bad time value"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Printed p = Print(ASN1_TIME_print_gz, c.type, c.value);
    EXPECT_EQ(p.result, c.result);
    EXPECT_EQ(p.text, c.text);
  }
}

TEST(SmTimePrint, LocalForm) {
  {
    ZoneScope utc("UTC0");
    Printed p = Print(ASN1_TIME_print_sys, V_ASN1_GENERALIZEDTIME, "20240229235958.123Z");
    EXPECT_EQ(p.result, 1);
    EXPECT_EQ(p.text, "20240229235958");
  }
  {
    ZoneScope west("UTC+8");
    Printed p = Print(ASN1_TIME_print_sys, V_ASN1_UTCTIME, "240101030000Z");
    EXPECT_EQ(p.result, 1);
    EXPECT_EQ(p.text, "20231231190000");
  }
  {
    ZoneScope east("UTC-9");
    Printed p = Print(ASN1_TIME_print_sys, V_ASN1_GENERALIZEDTIME, "99991231200000Z");
    EXPECT_EQ(p.result, 0);  // the local year would be 10000
    EXPECT_EQ(p.text, "");
    EXPECT_EQ(Print(ASN1_TIME_print_sys, V_ASN1_UTCTIME, "041330120000Z").text,
              "Bad time value");
  }
}

}  // namespace
}  // namespace kelu::test

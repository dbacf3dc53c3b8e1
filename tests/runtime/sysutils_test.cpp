#include "runtime/sysutils.h"

#include <gtest/gtest.h>

#include <cmath>

#include "runtime/classes.h"
#include "runtime/exceptions.h"
#include "runtime/variant.h"

namespace {

class SysUtilsTest : public ::testing::Test {
 protected:
  void SetUp() override { saved_ = FormatSettings(); }
  void TearDown() override { FormatSettings() = saved_; }
  TFormatSettings saved_;
};

TEST_F(SysUtilsTest, DayNumbersRoundTripEveryYear) {
  int32_t n;
  ASSERT_TRUE(TryEncodeDayNumber(1, 1, 1, n));
  EXPECT_EQ(n, 1);
  ASSERT_TRUE(TryEncodeDayNumber(1899, 12, 30, n));
  EXPECT_EQ(n, kDateDelta);
  ASSERT_TRUE(TryEncodeDayNumber(9999, 12, 31, n));
  EXPECT_EQ(n, 3652059);
  int32_t expected = 1;
  for (int y = 1; y <= 9999; ++y) {
    for (int m = 1; m <= 12; m += 11) {
      int d = m == 1 ? 1 : 31;
      ASSERT_TRUE(TryEncodeDayNumber(y, m, d, n));
      int yy, mm, dd;
      DecodeDayNumber(n, yy, mm, dd);
      ASSERT_EQ(yy, y);
      ASSERT_EQ(mm, m);
      ASSERT_EQ(dd, d);
    }
    ASSERT_TRUE(TryEncodeDayNumber(y, 1, 1, n));
    ASSERT_EQ(n, expected);
    expected += IsLeapYear(y) ? 366 : 365;
  }
  EXPECT_FALSE(TryEncodeDayNumber(2023, 2, 29, n));
  EXPECT_TRUE(TryEncodeDayNumber(2024, 2, 29, n));
  EXPECT_FALSE(TryEncodeDayNumber(1900, 2, 29, n));
  EXPECT_FALSE(TryEncodeDayNumber(0, 1, 1, n));
  EXPECT_FALSE(TryEncodeDayNumber(10000, 1, 1, n));
}

TEST_F(SysUtilsTest, DateTimesBeyondEveryDayNumberDecodeAsNoDate) {
  // A damaged stored date-time may hold any double.
  for (double dt : {1e300, -1e300, 3e9, std::nan("")}) {
    int y = -1, m = -1, d = -1;
    DecodeDate(dt, y, m, d);
    EXPECT_EQ(y, 0) << dt;
    EXPECT_EQ(m, 0) << dt;
    EXPECT_EQ(d, 0) << dt;
  }
  int y, m, d;
  DecodeDate(2958465.5, y, m, d);  // the last day of year 9999
  EXPECT_EQ(y * 10000 + m * 100 + d, 99991231);
}

TEST_F(SysUtilsTest, DateTextFollowsShortDateFormat) {
  EXPECT_EQ(StrToDate("12/31/2020"), EncodeDate(2020, 12, 31));
  EXPECT_EQ(DateToStr(EncodeDate(2020, 1, 5)), "1/5/2020");
  FormatSettings() = FormatSettingsForLocale(0x041F);
  EXPECT_EQ(StrToDate("31.12.2020"), EncodeDate(2020, 12, 31));
  EXPECT_EQ(DateToStr(EncodeDate(2020, 1, 5)), "05.01.2020");
  try {
    StrToDate("31.02.2020");
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), "'31.02.2020' is not a valid date");
  }
  EXPECT_THROW(StrToDate("12"), EConvertError);
}

// The settings of the user's locales come from ICU's data: dates and
// times by LC_TIME's locale, numbers by LC_NUMERIC's, four-digit years;
// ISO dates read under every format.
TEST_F(SysUtilsTest, SettingsOfTheUsersLocales) {
  const TDateTime day = EncodeDate(2020, 10, 15);
  FormatSettings() = FormatSettingsForLocales("tr_TR.UTF-8", "tr_TR.UTF-8");
  EXPECT_EQ(DateToStr(day), "15.10.2020");
  EXPECT_EQ(DateToStr(EncodeDate(2020, 10, 5)), "5.10.2020");
  EXPECT_EQ(StrToDate("15.10.2020"), day);
  EXPECT_EQ(StrToDate("2020-10-15"), day);
  EXPECT_EQ(TimeToStr(EncodeTime(14, 5, 9, 0)), "14:05:09");
  EXPECT_EQ(FloatToStr(1234.5), "1234,5");
  EXPECT_EQ(StrToFloat("0,25"), 0.25);

  FormatSettings() = FormatSettingsForLocales("en_US.UTF-8", "en_US.UTF-8");
  EXPECT_EQ(DateToStr(day), "10/15/2020");
  EXPECT_EQ(StrToDate("10/15/2020"), day);
  EXPECT_EQ(StrToDate("2020-10-15"), day);
  EXPECT_EQ(TimeToStr(EncodeTime(14, 5, 9, 0)), "2:05:09 PM");
  EXPECT_EQ(FloatToStr(1234.5), "1234.5");

  // Dates by one locale, numbers by another; Swedish writes ISO dates.
  FormatSettings() = FormatSettingsForLocales("sv_SE.UTF-8", "de_DE.UTF-8");
  EXPECT_EQ(DateToStr(day), "2020-10-15");
  EXPECT_EQ(StrToDate("2020-10-15"), day);
  EXPECT_EQ(FormatSettings().DecimalSeparator, ',');
  EXPECT_EQ(FormatSettings().ThousandSeparator, '.');
  EXPECT_THROW(StrToDate("2020-13-15"), EConvertError);

  // No locale, or one ICU does not know: the US settings.
  for (const char* none : {"", "C", "C.UTF-8", "POSIX", "xx_YY.UTF-8"}) {
    const TFormatSettings fs = FormatSettingsForLocales(none, none);
    EXPECT_EQ(fs.ShortDateFormat, "M/d/yyyy") << none;
    EXPECT_EQ(fs.DecimalSeparator, '.') << none;
  }
}

TEST_F(SysUtilsTest, FloatTextUsesDecimalSeparator) {
  EXPECT_EQ(StrToFloat(" 1.5e3 "), 1500.0);
  EXPECT_EQ(StrToFloat(".5"), 0.5);
  EXPECT_EQ(FloatToStr(0.1), "0.1");
  EXPECT_EQ(FloatToStr(1e20), "1E20");
  EXPECT_EQ(FloatToStr(1.5e-7), "1.5E-7");
  EXPECT_EQ(FloatToStr(123456.5), "123456.5");
  FormatSettings().DecimalSeparator = ',';
  EXPECT_EQ(StrToFloat("2,25"), 2.25);
  EXPECT_EQ(FloatToStr(2.25), "2,25");
  try {
    StrToFloat("2.25");
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), "'2.25' is not a valid floating point value");
  }
  EXPECT_THROW(StrToFloat(""), EConvertError);
  EXPECT_THROW(StrToFloat("1e"), EConvertError);
}

TEST_F(SysUtilsTest, IntegerText) {
  EXPECT_EQ(StrToInt("-42"), -42);
  EXPECT_EQ(StrToInt("$1F"), 31);
  EXPECT_EQ(StrToInt64("9223372036854775807"), INT64_MAX);
  EXPECT_EQ(StrToInt64("-9223372036854775808"), INT64_MIN);
  EXPECT_THROW(StrToInt64("9223372036854775808"), EConvertError);
  try {
    StrToInt("4294967296");
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), "'4294967296' is not a valid integer value");
  }
}

TEST(StringListTest, IndexErrorsAndText) {
  TStringList list;
  list.Add("a");
  list.Add("B");
  EXPECT_EQ(list.IndexOf("b"), 1);
  list.SetCaseSensitive(true);
  EXPECT_EQ(list.IndexOf("b"), -1);
  try {
    list.Strings(2);
    FAIL();
  } catch (const EListError& e) {
    EXPECT_EQ(e.Message(), "List index out of bounds (2)");
  }
  list.SetText("x\r\ny\nz");
  EXPECT_EQ(list.Count(), 3);
  EXPECT_EQ(list[2], "z");
}

TEST(MemoryStreamTest, ReadWriteSeek) {
  TMemoryStream s;
  s.WriteBuffer("hello", 5);
  s.SetPosition(1);
  char buf[8] = {};
  EXPECT_EQ(s.Read(buf, 8), 4);
  EXPECT_STREQ(buf, "ello");
  s.SetSize(2);
  EXPECT_EQ(s.AsString(), "he");
  EXPECT_THROW(s.ReadBuffer(buf, 1), EStreamError);
  // A negative size empties the stream and leaves the position at its start.
  s.SetSize(-5);
  EXPECT_EQ(s.Read(buf, 4), 0);
  EXPECT_EQ(s.Size(), 0);
  EXPECT_EQ(s.Position(), 0);
  s.WriteBuffer("ab", 2);
  EXPECT_EQ(s.AsString(), "ab");
}

TEST(VariantTest, ConversionsAndEquality) {
  EXPECT_TRUE(TVariant(int32_t(12)).Equals(TVariant("12")));
  EXPECT_TRUE(TVariant(12.5).Equals(TVariant("12.5")));
  EXPECT_FALSE(TVariant(12.5).Equals(TVariant("12")));
  try {
    TVariant(12.5).Equals(TVariant("12a"));
    FAIL();
  } catch (const EVariantError& e) {
    EXPECT_EQ(e.Message(), "Could not convert variant of type (String) into type (Double)");
  }
  EXPECT_THROW(TVariant::Null().AsInteger(), EVariantError);
  EXPECT_EQ(TVariant::Null().ToText(), "");
  TVariant arr(std::vector<TVariant>{TVariant("a"), TVariant(int32_t(2))});
  EXPECT_EQ(arr.ArrayCount(), 2);
  EXPECT_EQ(arr.ArrayItem(1).AsInteger(), 2);
  EXPECT_THROW(arr.ArrayItem(2), EVariantError);
}

}  // namespace

namespace {

TEST(FormatFloatTest, Patterns) {
  FormatSettings() = TFormatSettings();
  EXPECT_EQ(FormatFloat("#,##0.00", 1234567.891), "1,234,567.89");
  EXPECT_EQ(FormatFloat("0.0", 2.26), "2.3");
  EXPECT_EQ(FormatFloat("#.##", 0.5), ".5");
  EXPECT_EQ(FormatFloat("0.##", 3), "3");
  EXPECT_EQ(FormatFloat("000", 7), "007");
  EXPECT_EQ(FormatFloat("0.00 'kg'", 1.5), "1.50 kg");
  EXPECT_EQ(FormatFloat("$#,##0.00", -12.5), "-$12.50");
  EXPECT_EQ(FormatFloat("0.00;(0.00);zero", -12.5), "(12.50)");
  EXPECT_EQ(FormatFloat("0.00;(0.00);zero", 0), "zero");
  EXPECT_EQ(FormatFloat("0.00E+00", 12345), "1.23E+04");
  EXPECT_EQ(FormatFloat("0.0E-0", 0.00126), "1.3E-3");
  EXPECT_EQ(FormatFloat("0", -0.2), "0");
  EXPECT_EQ(FormatFloat("", 2.5), "2.5");
  FormatSettings().DecimalSeparator = ',';
  FormatSettings().ThousandSeparator = '.';
  EXPECT_EQ(FormatFloat("#,##0.00", 1234.5), "1.234,50");
  FormatSettings() = TFormatSettings();
}

}  // namespace

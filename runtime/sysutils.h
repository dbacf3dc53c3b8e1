#pragma once
// Format settings, text conversions and date arithmetic of the runtime.
// The format settings are one process-wide object reached through
// FormatSettings(); tests set it and reset it in their fixtures.
//
// Two date numberings are in use:
//   TDateTime  a double counting days from 30 December 1899 (day 0.0), the
//              time of day as the fraction;
//   day number a 32-bit integer, 1 January of year 1 is day 1.
// A date-time's whole days plus kDateDelta give its day number.

#include <cstdint>
#include <string>

using TDateTime = double;

constexpr int32_t kDateDelta = 693594;
constexpr double kMSecsPerDay = 86400000.0;

struct TFormatSettings {
  std::string ShortDateFormat = "M/d/yyyy";
  char DateSeparator = '/';
  std::string ShortTimeFormat = "h:mm AMPM";
  std::string LongTimeFormat = "h:mm:ss AMPM";
  char TimeSeparator = ':';
  char DecimalSeparator = '.';
  char ThousandSeparator = ',';
  // The currency sign (UTF-8) and where amounts put it: 0 "$1", 1 "1$",
  // 2 "$ 1", 3 "1 $".
  std::string CurrencyString = "$";
  int CurrencyFormat = 0;
  int CurrencyDecimals = 2;
};

// The process-wide settings.
TFormatSettings& FormatSettings();
// Settings of a Windows locale identifier (0x0409 en-US, 0x041F tr-TR, ...);
// an unknown identifier gives the en-US settings.
TFormatSettings FormatSettingsForLocale(uint32_t lcid);
// Settings by the locales of POSIX names, dates and times by timeLocale,
// numbers by numericLocale, money amounts by monetaryLocale (numericLocale
// when empty), from ICU's locale data: "tr_TR.UTF-8" gives the short date
// format "d.MM.yyyy" (years always with four digits), the decimal
// separator ',' and amounts as "₺1.000,00". "C", "POSIX", "" and unknown
// names keep the en-US settings for their part.
TFormatSettings FormatSettingsForLocales(const std::string& timeLocale,
                                         const std::string& numericLocale,
                                         const std::string& monetaryLocale = std::string());
// The settings of the user's locales (LC_ALL, LC_TIME, LC_NUMERIC,
// LC_MONETARY, LANG).
TFormatSettings UserFormatSettings();

// ---- Dates -----------------------------------------------------------------

bool IsLeapYear(int year);
int DaysInMonth(int year, int month);

// Day numbers for years 1..9999.
bool TryEncodeDayNumber(int year, int month, int day, int32_t& dayNumber);
void DecodeDayNumber(int32_t dayNumber, int& year, int& month, int& day);

bool TryEncodeDate(int year, int month, int day, TDateTime& date);
// Raises EConvertError for an impossible date.
TDateTime EncodeDate(int year, int month, int day);
void DecodeDate(TDateTime date, int& year, int& month, int& day);
bool TryEncodeTime(int hour, int min, int sec, int msec, TDateTime& time);
TDateTime EncodeTime(int hour, int min, int sec, int msec);
void DecodeTime(TDateTime time, int& hour, int& min, int& sec, int& msec);

// A date-time whose day number does not fit 32 bits (or that is not a
// number) gives 0, which decodes as no date.
inline int32_t DateTimeToDayNumber(TDateTime dt) {
  if (!(dt > -2147483648.0 - kDateDelta && dt < 2147483648.0 - kDateDelta)) return 0;
  return static_cast<int32_t>(static_cast<int64_t>(dt) + kDateDelta);
}
inline TDateTime DayNumberToDateTime(int32_t dayNumber) {
  return static_cast<TDateTime>(dayNumber - kDateDelta);
}

// Text to date, time, date-time, by the short date format and the time
// separator. Raise EConvertError "'%s' is not a valid date" (time:
// "'%s' is not a valid time"; both: "'%s' is not a valid date and time").
bool TryStrToDate(const std::string& text, TDateTime& date);
TDateTime StrToDate(const std::string& text);
bool TryStrToTime(const std::string& text, TDateTime& time);
TDateTime StrToTime(const std::string& text);
bool TryStrToDateTime(const std::string& text, TDateTime& dateTime);
TDateTime StrToDateTime(const std::string& text);

// Date-time to text. Format letters: d dd ddd? (no) m mm yy yyyy h hh n nn
// s ss z zzz, "AMPM", "/" the date separator, ":" the time separator,
// text in quotes copied.
std::string FormatDateTime(const std::string& format, TDateTime dt);
std::string DateToStr(TDateTime dt);
std::string TimeToStr(TDateTime dt);
std::string DateTimeToStr(TDateTime dt);

// ---- Numbers ---------------------------------------------------------------

enum TFloatFormat { ffGeneral, ffExponent, ffFixed, ffNumber, ffCurrency };

// General form with 15 significant digits, the decimal separator of the
// settings.
std::string FloatToStr(double value);
std::string FloatToStrF(double value, TFloatFormat format, int precision, int digits);
// A number by a format pattern: up to three sections separated by ";"
// (positive; negative; zero), "0" a digit always shown, "#" a digit shown
// when significant, "." the decimal separator, "," thousands grouping,
// "E+"/"E-" scientific notation, text in quotes and other characters
// copied. An empty pattern gives the general form.
std::string FormatFloat(const std::string& format, double value);
// Text to double with the decimal separator of the settings; leading and
// trailing blanks allowed. Raises "'%s' is not a valid floating point value".
bool TryStrToFloat(const std::string& text, double& value);
double StrToFloat(const std::string& text);

// Decimal text (or "$" hexadecimal) to integer. Raises
// "'%s' is not a valid integer value".
bool TryStrToInt(const std::string& text, int32_t& value);
int32_t StrToInt(const std::string& text);
bool TryStrToInt64(const std::string& text, int64_t& value);
int64_t StrToInt64(const std::string& text);
std::string IntToStr(int64_t value);

// ---- Text ------------------------------------------------------------------

// ASCII-only case folding, as the engine's text rules need.
std::string UpperCase(const std::string& s);
std::string LowerCase(const std::string& s);
bool SameText(const std::string& a, const std::string& b);
int CompareText(const std::string& a, const std::string& b);
std::string Trim(const std::string& s);
std::string TrimLeft(const std::string& s);
std::string TrimRight(const std::string& s);

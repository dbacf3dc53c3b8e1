#include "runtime/sysutils.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <vector>

#include "platform/locale_formats.h"
#include "runtime/exceptions.h"

namespace {

constexpr int32_t kD1 = 365;
constexpr int32_t kD4 = kD1 * 4 + 1;
constexpr int32_t kD100 = kD4 * 25 - 1;
constexpr int32_t kD400 = kD100 * 4 + 1;

constexpr int kMonthDays[2][12] = {{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},
                                   {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31}};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

int CurrentYear() {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  return tm.tm_year + 1900;
}

// Reads an unsigned decimal number at pos; false when there is none.
bool ScanNumber(const std::string& s, size_t& pos, int& value, int& digits) {
  while (pos < s.size() && IsBlank(s[pos])) ++pos;
  size_t start = pos;
  int64_t v = 0;
  while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') {
    v = v * 10 + (s[pos] - '0');
    if (v > 100000) return false;
    ++pos;
  }
  digits = static_cast<int>(pos - start);
  value = static_cast<int>(v);
  return digits > 0;
}

bool ScanChar(const std::string& s, size_t& pos, char c) {
  while (pos < s.size() && IsBlank(s[pos])) ++pos;
  if (pos < s.size() && s[pos] == c) {
    ++pos;
    return true;
  }
  return false;
}

bool AtEnd(const std::string& s, size_t pos) {
  while (pos < s.size() && IsBlank(s[pos])) ++pos;
  return pos == s.size();
}

// Order of day, month and year in the short date format.
enum TDateOrder { doMDY, doDMY, doYMD };

TDateOrder DateOrder(const std::string& format) {
  for (char c : format) {
    char u = static_cast<char>(c & ~0x20);
    if (u == 'E' || u == 'Y') return doYMD;
    if (u == 'M') return doMDY;
    if (u == 'D') return doDMY;
  }
  return doMDY;
}

bool ScanDate(const std::string& s, size_t& pos, TDateTime& date) {
  const TFormatSettings& fs = FormatSettings();
  int n1, n2, n3 = 0, l1, l2, l3 = 0;
  if (!ScanNumber(s, pos, n1, l1)) return false;
  // An ISO date, year-month-day, is taken whatever the format: no format
  // starts with a four-digit number followed by "-".
  if (l1 == 4 && pos < s.size() && s[pos] == '-') {
    ++pos;
    if (!ScanNumber(s, pos, n2, l2) || !ScanChar(s, pos, '-') || !ScanNumber(s, pos, n3, l3))
      return false;
    return TryEncodeDate(n1, n2, n3, date);
  }
  if (!ScanChar(s, pos, fs.DateSeparator)) return false;
  if (!ScanNumber(s, pos, n2, l2)) return false;
  bool haveThird = false;
  size_t save = pos;
  if (ScanChar(s, pos, fs.DateSeparator)) {
    if (!ScanNumber(s, pos, n3, l3)) return false;
    haveThird = true;
  } else {
    pos = save;
  }
  int y, m, d, yLen;
  TDateOrder order = DateOrder(fs.ShortDateFormat);
  if (!haveThird) {
    y = CurrentYear();
    yLen = 4;
    if (order == doDMY) {
      d = n1;
      m = n2;
    } else {
      m = n1;
      d = n2;
    }
  } else {
    switch (order) {
      case doMDY:
        m = n1;
        d = n2;
        y = n3;
        yLen = l3;
        break;
      case doDMY:
        d = n1;
        m = n2;
        y = n3;
        yLen = l3;
        break;
      default:
        y = n1;
        yLen = l1;
        m = n2;
        d = n3;
        break;
    }
  }
  if (yLen <= 2) {
    // Two-digit years fall in the 100 years that end 50 years from now.
    int current = CurrentYear();
    int century = current - current % 100;
    y += century;
    if (y > current + 50) y -= 100;
  }
  return TryEncodeDate(y, m, d, date);
}

bool ScanTime(const std::string& s, size_t& pos, TDateTime& time) {
  const TFormatSettings& fs = FormatSettings();
  int h, n = 0, sec = 0, ms = 0, len;
  if (!ScanNumber(s, pos, h, len)) return false;
  if (ScanChar(s, pos, fs.TimeSeparator)) {
    if (!ScanNumber(s, pos, n, len)) return false;
    if (ScanChar(s, pos, fs.TimeSeparator)) {
      if (!ScanNumber(s, pos, sec, len)) return false;
      if (ScanChar(s, pos, fs.DecimalSeparator) || ScanChar(s, pos, '.')) {
        if (!ScanNumber(s, pos, ms, len)) return false;
      }
    }
  }
  while (pos < s.size() && IsBlank(s[pos])) ++pos;
  std::string rest = UpperCase(s.substr(pos, 2));
  if (rest == "AM" || rest == "PM") {
    if (h == 0 || h > 12) return false;
    if (rest == "AM" && h == 12) h = 0;
    if (rest == "PM" && h < 12) h += 12;
    pos += 2;
  }
  return TryEncodeTime(h, n, sec, ms, time);
}

std::string Pad(int value, int width) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%0*d", width, value);
  return buf;
}

// Inserts thousand separators into the integer part of a fixed text.
std::string Group(const std::string& fixed) {
  const TFormatSettings& fs = FormatSettings();
  size_t start = (!fixed.empty() && fixed[0] == '-') ? 1 : 0;
  size_t end = fixed.find(fs.DecimalSeparator);
  if (end == std::string::npos) end = fixed.size();
  std::string out = fixed.substr(0, start);
  for (size_t i = start; i < end; ++i) {
    out += fixed[i];
    size_t left = end - i - 1;
    if (left > 0 && left % 3 == 0 && fs.ThousandSeparator) out += fs.ThousandSeparator;
  }
  out += fixed.substr(end);
  return out;
}

std::string WithSeparator(std::string text) {
  char sep = FormatSettings().DecimalSeparator;
  for (char& c : text)
    if (c == '.') c = sep;
  return text;
}

}  // namespace

TFormatSettings& FormatSettings() {
  static TFormatSettings settings;
  return settings;
}

namespace {

// The short date format of an ICU date pattern: its day, month and year
// fields in order with one separator between them; years with four
// digits, month names as numbers, other fields and quoted text left out.
// "" when the pattern lacks a field.
std::string DateFormatOfPattern(const std::string& pattern, char& separator) {
  std::string format;
  separator = 0;
  bool quoted = false;
  int fields = 0;
  for (size_t i = 0; i < pattern.size();) {
    const char c = pattern[i];
    size_t run = i;
    while (run < pattern.size() && pattern[run] == c) ++run;
    const size_t count = run - i;
    if (c == '\'') {
      quoted = !quoted;
    } else if (!quoted && (c == 'd' || c == 'M' || c == 'y')) {
      if (fields > 0) format += '/';
      format += c == 'y' ? std::string("yyyy") : std::string(std::min<size_t>(count, 2), c);
      ++fields;
    } else if (!quoted && separator == 0 && fields > 0 && c != ' ' &&
               static_cast<unsigned char>(c) < 0x80 &&
               !std::isalpha(static_cast<unsigned char>(c))) {
      separator = c;
    }
    i = run;
  }
  if (fields != 3 || separator == 0) return {};
  return format;
}

// A one-byte form of a separator symbol in UTF-8: ASCII as it is, the
// spaces that do not break as a blank, anything else fallback.
char SeparatorOf(const std::string& symbol, char fallback) {
  if (symbol.size() == 1 && static_cast<unsigned char>(symbol[0]) < 0x80) return symbol[0];
  if (symbol == "\u00A0" || symbol == "\u202F") return ' ';
  if (symbol == "\u2019") return '\'';
  return fallback;
}

}  // namespace

TFormatSettings FormatSettingsForLocales(const std::string& timeLocale,
                                         const std::string& numericLocale,
                                         const std::string& monetaryLocale) {
  TFormatSettings fs;
  platform::TLocaleFormats formats;
  if (platform::LocaleFormats(timeLocale, formats)) {
    char separator = 0;
    const std::string date = DateFormatOfPattern(formats.datePattern, separator);
    if (!date.empty()) {
      fs.ShortDateFormat = date;
      fs.DateSeparator = separator;
    }
    const std::string& time = formats.timePattern;
    const size_t hour = time.find_first_of("Hh");
    if (hour != std::string::npos) {
      const size_t after = time.find_first_not_of(time[hour], hour);
      if (after != std::string::npos && !std::isalpha(static_cast<unsigned char>(time[after])) &&
          static_cast<unsigned char>(time[after]) < 0x80)
        fs.TimeSeparator = time[after];
      const bool twelveHours = time[hour] == 'h';
      fs.ShortTimeFormat = twelveHours ? "h:mm AMPM" : "HH:mm";
      fs.LongTimeFormat = twelveHours ? "h:mm:ss AMPM" : "HH:mm:ss";
    }
  }
  if (platform::LocaleFormats(numericLocale, formats)) {
    fs.DecimalSeparator = SeparatorOf(formats.decimalSeparator, '.');
    fs.ThousandSeparator = SeparatorOf(formats.groupingSeparator, ',');
    if (fs.ThousandSeparator == fs.DecimalSeparator)
      fs.ThousandSeparator = fs.DecimalSeparator == ',' ? '.' : ',';
  }
  if (platform::LocaleFormats(monetaryLocale.empty() ? numericLocale : monetaryLocale, formats) &&
      !formats.currencySymbol.empty()) {
    fs.CurrencyString = formats.currencySymbol;
    fs.CurrencyFormat = (formats.currencyAfter ? 1 : 0) + (formats.currencySpaced ? 2 : 0);
  }
  return fs;
}

TFormatSettings UserFormatSettings() {
  return FormatSettingsForLocales(platform::TimeLocaleName(), platform::NumericLocaleName(),
                                  platform::MonetaryLocaleName());
}

TFormatSettings FormatSettingsForLocale(uint32_t lcid) {
  TFormatSettings fs;
  switch (lcid & 0x3FF) {
    case 0x1F:  // Turkish
      fs.ShortDateFormat = "dd.MM.yyyy";
      fs.DateSeparator = '.';
      fs.ShortTimeFormat = "HH:mm";
      fs.LongTimeFormat = "HH:mm:ss";
      fs.DecimalSeparator = ',';
      fs.ThousandSeparator = '.';
      fs.CurrencyString = "TL";
      fs.CurrencyFormat = 3;
      break;
    case 0x07:  // German
    case 0x19:  // Russian
    case 0x15:  // Polish
    case 0x05:  // Czech
    case 0x0E:  // Hungarian
      fs.ShortDateFormat = "dd.MM.yyyy";
      fs.DateSeparator = '.';
      fs.ShortTimeFormat = "HH:mm";
      fs.LongTimeFormat = "HH:mm:ss";
      fs.DecimalSeparator = ',';
      fs.ThousandSeparator = '.';
      fs.CurrencyString = "\u20AC";  // the euro sign
      fs.CurrencyFormat = 3;
      break;
    case 0x0C:  // French
    case 0x0A:  // Spanish
    case 0x10:  // Italian
    case 0x16:  // Portuguese
      fs.ShortDateFormat = "dd/MM/yyyy";
      fs.DateSeparator = '/';
      fs.ShortTimeFormat = "HH:mm";
      fs.LongTimeFormat = "HH:mm:ss";
      fs.DecimalSeparator = ',';
      fs.ThousandSeparator = ' ';
      fs.CurrencyString = "\u20AC";  // the euro sign
      fs.CurrencyFormat = 3;
      break;
    case 0x09:  // English
      if (lcid == 0x0809) {
        fs.ShortDateFormat = "dd/MM/yyyy";
        fs.ShortTimeFormat = "HH:mm";
        fs.LongTimeFormat = "HH:mm:ss";
        fs.CurrencyString = "\u00A3";  // the pound sign
      }
      break;
    default:
      break;
  }
  return fs;
}

// ---- Dates -----------------------------------------------------------------

bool IsLeapYear(int year) { return (year % 4 == 0) && ((year % 100 != 0) || (year % 400 == 0)); }

int DaysInMonth(int year, int month) {
  if (month < 1 || month > 12) return 0;
  return kMonthDays[IsLeapYear(year) ? 1 : 0][month - 1];
}

bool TryEncodeDayNumber(int year, int month, int day, int32_t& dayNumber) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
      day > DaysInMonth(year, month))
    return false;
  const int* days = kMonthDays[IsLeapYear(year) ? 1 : 0];
  int32_t n = day;
  for (int i = 0; i < month - 1; ++i) n += days[i];
  int32_t y = year - 1;
  dayNumber = y * 365 + y / 4 - y / 100 + y / 400 + n;
  return true;
}

void DecodeDayNumber(int32_t dayNumber, int& year, int& month, int& day) {
  if (dayNumber <= 0) {
    year = month = day = 0;
    return;
  }
  int32_t t = dayNumber - 1;
  int32_t y = 1;
  while (t >= kD400) {
    t -= kD400;
    y += 400;
  }
  int32_t i = t / kD100;
  int32_t d = t % kD100;
  if (i == 4) {
    --i;
    d += kD100;
  }
  y += i * 100;
  i = d / kD4;
  d %= kD4;
  y += i * 4;
  i = d / kD1;
  d %= kD1;
  if (i == 4) {
    --i;
    d += kD1;
  }
  y += i;
  const int* days = kMonthDays[IsLeapYear(y) ? 1 : 0];
  int m = 0;
  while (d >= days[m]) {
    d -= days[m];
    ++m;
  }
  year = y;
  month = m + 1;
  day = d + 1;
}

bool TryEncodeDate(int year, int month, int day, TDateTime& date) {
  int32_t n;
  if (!TryEncodeDayNumber(year, month, day, n)) return false;
  date = DayNumberToDateTime(n);
  return true;
}

TDateTime EncodeDate(int year, int month, int day) {
  TDateTime d;
  if (!TryEncodeDate(year, month, day, d)) throw EConvertError("Invalid argument to date encode");
  return d;
}

void DecodeDate(TDateTime date, int& year, int& month, int& day) {
  DecodeDayNumber(DateTimeToDayNumber(date), year, month, day);
}

bool TryEncodeTime(int hour, int min, int sec, int msec, TDateTime& time) {
  if (hour < 0 || hour > 23 || min < 0 || min > 59 || sec < 0 || sec > 59 || msec < 0 || msec > 999)
    return false;
  time = ((hour * 3600000.0) + (min * 60000.0) + (sec * 1000.0) + msec) / kMSecsPerDay;
  return true;
}

TDateTime EncodeTime(int hour, int min, int sec, int msec) {
  TDateTime t;
  if (!TryEncodeTime(hour, min, sec, msec, t))
    throw EConvertError("Invalid argument to time encode");
  return t;
}

void DecodeTime(TDateTime time, int& hour, int& min, int& sec, int& msec) {
  double frac = std::fabs(time - std::trunc(time));
  int64_t ms = static_cast<int64_t>(std::llround(frac * kMSecsPerDay));
  if (ms >= 86400000) ms = 86399999;
  hour = static_cast<int>(ms / 3600000);
  ms %= 3600000;
  min = static_cast<int>(ms / 60000);
  ms %= 60000;
  sec = static_cast<int>(ms / 1000);
  msec = static_cast<int>(ms % 1000);
}

bool TryStrToDate(const std::string& text, TDateTime& date) {
  size_t pos = 0;
  return ScanDate(text, pos, date) && AtEnd(text, pos);
}

TDateTime StrToDate(const std::string& text) {
  TDateTime d;
  if (!TryStrToDate(text, d)) throw EConvertError(Format("'%s' is not a valid date", text.c_str()));
  return d;
}

bool TryStrToTime(const std::string& text, TDateTime& time) {
  size_t pos = 0;
  return ScanTime(text, pos, time) && AtEnd(text, pos);
}

TDateTime StrToTime(const std::string& text) {
  TDateTime t;
  if (!TryStrToTime(text, t)) throw EConvertError(Format("'%s' is not a valid time", text.c_str()));
  return t;
}

bool TryStrToDateTime(const std::string& text, TDateTime& dateTime) {
  size_t pos = 0;
  TDateTime date = 0, time = 0;
  if (!ScanDate(text, pos, date)) {
    pos = 0;
    if (!ScanTime(text, pos, time) || !AtEnd(text, pos)) return false;
    dateTime = time;
    return true;
  }
  if (!AtEnd(text, pos) && !(ScanTime(text, pos, time) && AtEnd(text, pos))) return false;
  dateTime = date >= 0 ? date + time : date - time;
  return true;
}

TDateTime StrToDateTime(const std::string& text) {
  TDateTime dt;
  if (!TryStrToDateTime(text, dt))
    throw EConvertError(Format("'%s' is not a valid date and time", text.c_str()));
  return dt;
}

std::string FormatDateTime(const std::string& format, TDateTime dt) {
  const TFormatSettings& fs = FormatSettings();
  int y, m, d, h, n, s, ms;
  DecodeDate(dt, y, m, d);
  DecodeTime(dt, h, n, s, ms);
  bool ampm = false;
  for (size_t i = 0; i + 3 < format.size(); ++i)
    if (UpperCase(format.substr(i, 4)) == "AMPM") ampm = true;
  std::string out;
  size_t i = 0;
  auto run = [&](char c) {
    size_t k = i;
    while (k < format.size() && (format[k] | 0x20) == c) ++k;
    size_t len = k - i;
    i = k;
    return static_cast<int>(len);
  };
  while (i < format.size()) {
    char c = format[i];
    char lc = static_cast<char>(c | 0x20);
    if (c == '"' || c == '\'') {
      size_t end = format.find(c, i + 1);
      if (end == std::string::npos) end = format.size();
      out += format.substr(i + 1, end - i - 1);
      i = end + 1;
    } else if (lc == 'd') {
      out += run('d') >= 2 ? Pad(d, 2) : std::to_string(d);
    } else if (lc == 'm' && c == 'm' && i > 0 && (format[i - 1] | 0x20) == 'h') {
      // "h:mm" in a time format means minutes.
      out += run('m') >= 2 ? Pad(n, 2) : std::to_string(n);
    } else if (lc == 'm') {
      bool minutes = false;
      size_t back = i;
      while (back > 0 && (format[back - 1] == fs.TimeSeparator || format[back - 1] == ':')) --back;
      if (back > 0 && (format[back - 1] | 0x20) == 'h') minutes = true;
      int len = run('m');
      int value = minutes ? n : m;
      out += len >= 2 ? Pad(value, 2) : std::to_string(value);
    } else if (lc == 'y') {
      int len = run('y');
      out += len <= 2 ? Pad(y % 100, 2) : Pad(y, 4);
    } else if (lc == 'h') {
      int len = run('h');
      int hh = h;
      if (ampm) {
        hh = h % 12;
        if (hh == 0) hh = 12;
      }
      out += len >= 2 ? Pad(hh, 2) : std::to_string(hh);
    } else if (lc == 'n') {
      out += run('n') >= 2 ? Pad(n, 2) : std::to_string(n);
    } else if (lc == 's') {
      out += run('s') >= 2 ? Pad(s, 2) : std::to_string(s);
    } else if (lc == 'z') {
      out += run('z') >= 3 ? Pad(ms, 3) : std::to_string(ms);
    } else if (lc == 'a' && UpperCase(format.substr(i, 4)) == "AMPM") {
      out += h < 12 ? "AM" : "PM";
      i += 4;
    } else if (c == '/') {
      out += fs.DateSeparator;
      ++i;
    } else if (c == ':') {
      out += fs.TimeSeparator;
      ++i;
    } else {
      out += c;
      ++i;
    }
  }
  return out;
}

std::string DateToStr(TDateTime dt) { return FormatDateTime(FormatSettings().ShortDateFormat, dt); }

std::string TimeToStr(TDateTime dt) { return FormatDateTime(FormatSettings().LongTimeFormat, dt); }

std::string DateTimeToStr(TDateTime dt) {
  std::string s = DateToStr(dt);
  if (dt - std::trunc(dt) != 0) s += " " + TimeToStr(dt);
  return s;
}

// ---- Numbers ---------------------------------------------------------------

std::string FloatToStr(double value) { return FloatToStrF(value, ffGeneral, 15, 0); }

std::string FloatToStrF(double value, TFloatFormat format, int precision, int digits) {
  if (std::isnan(value)) return "NAN";
  if (std::isinf(value)) return value > 0 ? "INF" : "-INF";
  if (precision < 1) precision = 1;
  if (precision > 18) precision = 18;
  if (digits < 0) digits = 0;
  if (digits > 18) digits = 18;
  char buf[512];
  switch (format) {
    case ffGeneral: {
      std::snprintf(buf, sizeof buf, "%.*G", precision, value);
      std::string s = buf;
      size_t e = s.find('E');
      if (e != std::string::npos) {
        std::string mant = s.substr(0, e);
        std::string exp = s.substr(e + 1);
        bool neg = !exp.empty() && exp[0] == '-';
        size_t k = (exp[0] == '-' || exp[0] == '+') ? 1 : 0;
        while (k + 1 < exp.size() && exp[k] == '0') ++k;
        s = mant + "E" + (neg ? "-" : "") + exp.substr(k);
      }
      if (s == "-0") s = "0";
      return WithSeparator(s);
    }
    case ffExponent: {
      std::snprintf(buf, sizeof buf, "%.*E", precision - 1, value);
      return WithSeparator(buf);
    }
    case ffFixed:
      std::snprintf(buf, sizeof buf, "%.*f", digits, value);
      return WithSeparator(buf);
    case ffNumber:
      std::snprintf(buf, sizeof buf, "%.*f", digits, value);
      return Group(WithSeparator(buf));
    case ffCurrency: {
      std::snprintf(buf, sizeof buf, "%.*f", digits, std::fabs(value));
      const TFormatSettings& fs = FormatSettings();
      const std::string amount = Group(WithSeparator(buf));
      const std::string space = fs.CurrencyFormat >= 2 ? " " : "";
      const std::string s = fs.CurrencyFormat % 2 == 1 ? amount + space + fs.CurrencyString
                                                       : fs.CurrencyString + space + amount;
      return value < 0 ? "(" + s + ")" : s;
    }
  }
  return {};
}

bool TryStrToFloat(const std::string& text, double& value) {
  const char sep = FormatSettings().DecimalSeparator;
  size_t i = 0, n = text.size();
  while (i < n && IsBlank(text[i])) ++i;
  while (n > i && IsBlank(text[n - 1])) --n;
  std::string norm;
  norm.reserve(n - i);
  if (i < n && (text[i] == '+' || text[i] == '-')) {
    if (text[i] == '-') norm += '-';
    ++i;
  }
  int mantissaDigits = 0;
  bool seenPoint = false;
  for (; i < n; ++i) {
    char c = text[i];
    if (c >= '0' && c <= '9') {
      norm += c;
      ++mantissaDigits;
    } else if (c == sep && !seenPoint) {
      norm += '.';
      seenPoint = true;
    } else {
      break;
    }
  }
  if (mantissaDigits == 0) return false;
  if (i < n && (text[i] == 'e' || text[i] == 'E')) {
    norm += 'e';
    ++i;
    if (i < n && (text[i] == '+' || text[i] == '-')) norm += text[i++];
    int expDigits = 0;
    while (i < n && text[i] >= '0' && text[i] <= '9') {
      norm += text[i++];
      ++expDigits;
    }
    if (expDigits == 0) return false;
  }
  if (i != n) return false;
  double v = 0;
  auto res = std::from_chars(norm.data(), norm.data() + norm.size(), v);
  if (res.ec != std::errc() || res.ptr != norm.data() + norm.size()) return false;
  value = v;
  return true;
}

double StrToFloat(const std::string& text) {
  double v;
  if (!TryStrToFloat(text, v))
    throw EConvertError(Format("'%s' is not a valid floating point value", text.c_str()));
  return v;
}

bool TryStrToInt64(const std::string& text, int64_t& value) {
  size_t i = 0, n = text.size();
  while (i < n && IsBlank(text[i])) ++i;
  bool neg = false;
  if (i < n && (text[i] == '+' || text[i] == '-')) neg = text[i++] == '-';
  int base = 10;
  if (i < n && text[i] == '$') {
    base = 16;
    ++i;
  } else if (i + 1 < n && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i >= n) return false;
  uint64_t v = 0;
  const uint64_t limit = neg ? uint64_t(1) << 63 : (uint64_t(1) << 63) - 1;
  for (; i < n; ++i) {
    int digit;
    char c = text[i];
    if (c >= '0' && c <= '9')
      digit = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f')
      digit = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F')
      digit = c - 'A' + 10;
    else
      return false;
    if (v > (limit - static_cast<uint64_t>(digit)) / static_cast<uint64_t>(base)) return false;
    v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
  }
  value = neg ? static_cast<int64_t>(0 - v) : static_cast<int64_t>(v);
  return true;
}

int64_t StrToInt64(const std::string& text) {
  int64_t v;
  if (!TryStrToInt64(text, v))
    throw EConvertError(Format("'%s' is not a valid integer value", text.c_str()));
  return v;
}

bool TryStrToInt(const std::string& text, int32_t& value) {
  int64_t v;
  if (!TryStrToInt64(text, v) || v < INT32_MIN || v > INT32_MAX) return false;
  value = static_cast<int32_t>(v);
  return true;
}

int32_t StrToInt(const std::string& text) {
  int32_t v;
  if (!TryStrToInt(text, v))
    throw EConvertError(Format("'%s' is not a valid integer value", text.c_str()));
  return v;
}

std::string IntToStr(int64_t value) { return std::to_string(value); }

// ---- Text ------------------------------------------------------------------

std::string UpperCase(const std::string& s) {
  std::string r = s;
  for (char& c : r)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return r;
}

std::string LowerCase(const std::string& s) {
  std::string r = s;
  for (char& c : r)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return r;
}

int CompareText(const std::string& a, const std::string& b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x >= 'a' && x <= 'z') x = static_cast<unsigned char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<unsigned char>(y - 32);
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

bool SameText(const std::string& a, const std::string& b) {
  return a.size() == b.size() && CompareText(a, b) == 0;
}

std::string TrimLeft(const std::string& s) {
  size_t i = 0;
  while (i < s.size() && static_cast<unsigned char>(s[i]) <= ' ') ++i;
  return s.substr(i);
}

std::string TrimRight(const std::string& s) {
  size_t n = s.size();
  while (n > 0 && static_cast<unsigned char>(s[n - 1]) <= ' ') --n;
  return s.substr(0, n);
}

std::string Trim(const std::string& s) { return TrimLeft(TrimRight(s)); }

// ---- FormatFloat -------------------------------------------------------------

namespace {

// One section of a FormatFloat pattern, taken apart.
struct TFloatPattern {
  std::string prefix, suffix;  // literal text around the number
  int intZeros = 0;            // "0" before the decimal point
  int fracZeros = 0;           // "0" after it
  int fracHashes = 0;          // "#" after it
  bool grouping = false;
  bool scientific = false;
  bool expSignAlways = false;  // "E+" rather than "E-"
  int expDigits = 0;
};

std::vector<std::string> SplitSections(const std::string& format) {
  std::vector<std::string> sections(1);
  char quote = 0;
  for (char c : format) {
    if (quote) {
      if (c == quote) quote = 0;
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else if (c == ';') {
      sections.emplace_back();
      continue;
    }
    sections.back() += c;
  }
  return sections;
}

TFloatPattern ParsePattern(const std::string& section) {
  TFloatPattern p;
  bool seenNumber = false, afterPoint = false;
  std::string literal;
  for (size_t i = 0; i < section.size(); ++i) {
    char c = section[i];
    if (c == '"' || c == '\'') {
      size_t end = section.find(c, i + 1);
      if (end == std::string::npos) end = section.size();
      literal += section.substr(i + 1, end - i - 1);
      i = end;
      continue;
    }
    bool placeholder = c == '0' || c == '#' || c == '.' || c == ',';
    bool exponent = (c == 'E' || c == 'e') && i + 1 < section.size() &&
                    (section[i + 1] == '+' || section[i + 1] == '-') && seenNumber;
    if (placeholder || exponent) {
      if (!seenNumber) p.prefix = literal;
      literal.clear();
      seenNumber = true;
      if (exponent) {
        p.scientific = true;
        p.expSignAlways = section[i + 1] == '+';
        i += 2;
        while (i < section.size() && section[i] == '0') ++p.expDigits, ++i;
        --i;
      } else if (c == '.') {
        afterPoint = true;
      } else if (c == ',') {
        p.grouping = true;
      } else if (afterPoint) {
        (c == '0' ? p.fracZeros : p.fracHashes)++;
      } else if (c == '0') {
        ++p.intZeros;
      }
      continue;
    }
    literal += c;
  }
  if (seenNumber)
    p.suffix = literal;
  else
    p.prefix = literal;
  return p;
}

std::string FormatWithPattern(const TFloatPattern& p, double value) {
  const TFormatSettings& fs = FormatSettings();
  int exponent = 0;
  if (p.scientific && value != 0) {
    exponent = static_cast<int>(std::floor(std::log10(value)));
    value /= std::pow(10.0, exponent);
    if (value >= 10) value /= 10, ++exponent;
  }
  int maxFrac = p.fracZeros + p.fracHashes;
  char buf[512];
  std::snprintf(buf, sizeof buf, "%.*f", maxFrac, value);
  std::string text = buf;
  if (p.scientific && text[0] == '1' && text.size() > 1 && text[1] == '0') {
    // Rounding carried the mantissa to 10.
    value /= 10, ++exponent;
    std::snprintf(buf, sizeof buf, "%.*f", maxFrac, value);
    text = buf;
  }
  size_t point = text.find('.');
  std::string intPart = text.substr(0, point);
  std::string fracPart = point == std::string::npos ? "" : text.substr(point + 1);
  while (static_cast<int>(fracPart.size()) > p.fracZeros && fracPart.back() == '0')
    fracPart.pop_back();
  if (intPart == "0" && p.intZeros == 0) intPart.clear();
  while (static_cast<int>(intPart.size()) < p.intZeros) intPart.insert(0, "0");
  if (p.grouping && fs.ThousandSeparator) {
    std::string grouped;
    for (size_t i = 0; i < intPart.size(); ++i) {
      grouped += intPart[i];
      size_t left = intPart.size() - i - 1;
      if (left > 0 && left % 3 == 0) grouped += fs.ThousandSeparator;
    }
    intPart = grouped;
  }
  std::string number = intPart;
  if (!fracPart.empty()) number += fs.DecimalSeparator + fracPart;
  if (p.scientific) {
    std::string digits = std::to_string(std::abs(exponent));
    while (static_cast<int>(digits.size()) < p.expDigits) digits.insert(0, "0");
    number += 'E';
    if (exponent < 0)
      number += '-';
    else if (p.expSignAlways)
      number += '+';
    number += digits;
  }
  return p.prefix + number + p.suffix;
}

}  // namespace

std::string FormatFloat(const std::string& format, double value) {
  if (format.empty() || std::isnan(value) || std::isinf(value)) return FloatToStr(value);
  std::vector<std::string> sections = SplitSections(format);
  const std::string* section = &sections[0];
  bool minus = false;
  if (value < 0) {
    if (sections.size() > 1 && !sections[1].empty())
      section = &sections[1];
    else
      minus = true;
    value = -value;
  } else if (value == 0 && sections.size() > 2 && !sections[2].empty()) {
    section = &sections[2];
  }
  std::string text = FormatWithPattern(ParsePattern(*section), value);
  if (minus) {
    // No minus sign for a value that rounds to zero.
    bool nonZero = false;
    for (char c : text) nonZero = nonZero || (c >= '1' && c <= '9');
    if (nonZero) text.insert(0, "-");
  }
  return text;
}

#include "platform/locale_formats.h"

#include <unicode/datefmt.h>
#include <unicode/dcfmtsym.h>
#include <unicode/decimfmt.h>
#include <unicode/locid.h>
#include <unicode/smpdtfmt.h>

#include <cstdlib>
#include <memory>

namespace platform {
namespace {

std::string Utf8Of(const icu::UnicodeString& text) {
  std::string out;
  text.toUTF8String(out);
  return out;
}

// The pattern of ICU's short date or time format of the locale; "" when it
// has none.
std::string ShortPattern(const icu::Locale& locale, bool date) {
  std::unique_ptr<icu::DateFormat> format(
      date ? icu::DateFormat::createDateInstance(icu::DateFormat::kShort, locale)
           : icu::DateFormat::createTimeInstance(icu::DateFormat::kShort, locale));
  const auto* simple = dynamic_cast<const icu::SimpleDateFormat*>(format.get());
  if (simple == nullptr) return {};
  icu::UnicodeString pattern;
  simple->toPattern(pattern);
  return Utf8Of(pattern);
}

// Where the locale's money pattern ("¤#,##0.00", "#,##0.00\u00A0¤")
// puts the currency sign, and whether a space parts it from the number.
void CurrencyPlacement(const icu::Locale& locale, TLocaleFormats& formats) {
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::NumberFormat> format(
      icu::NumberFormat::createCurrencyInstance(locale, status));
  const auto* decimal = dynamic_cast<const icu::DecimalFormat*>(format.get());
  if (U_FAILURE(status) || decimal == nullptr) return;
  icu::UnicodeString pattern;
  decimal->toPattern(pattern);
  // The positive part only.
  const int32_t semicolon = pattern.indexOf(u';');
  if (semicolon >= 0) pattern.truncate(semicolon);
  const int32_t sign = pattern.indexOf(u'\u00A4');
  int32_t digits = pattern.indexOf(u'#');
  const int32_t zero = pattern.indexOf(u'0');
  if (digits < 0 || (zero >= 0 && zero < digits)) digits = zero;
  if (sign < 0 || digits < 0) return;
  formats.currencyAfter = sign > digits;
  const int32_t between = formats.currencyAfter ? sign - 1 : sign + 1;
  const char16_t c = pattern.charAt(between);
  formats.currencySpaced = c == u' ' || c == u'\u00A0' || c == u'\u202F';
}

// Whether ICU has locale data for the language (a locale it has none for
// falls back to the root locale's formats, which are not the user's).
bool KnownLanguage(const std::string& language) {
  if (language.empty()) return false;
  int32_t count = 0;
  const icu::Locale* locales = icu::Locale::getAvailableLocales(count);
  for (int32_t i = 0; i < count; ++i)
    if (language == locales[i].getLanguage()) return true;
  return false;
}

// The first of the variables that is set, else "".
std::string FirstSet(std::initializer_list<const char*> variables) {
  for (const char* variable : variables) {
    const char* value = std::getenv(variable);
    if (value != nullptr && *value != '\0') return value;
  }
  return {};
}

}  // namespace

bool LocaleFormats(const std::string& posixLocale, TLocaleFormats& formats) {
  std::string name = posixLocale.substr(0, posixLocale.find_first_of(".@"));
  if (name.empty() || name == "C" || name == "POSIX") return false;
  const icu::Locale locale(name.c_str());
  if (locale.isBogus() || !KnownLanguage(locale.getLanguage())) return false;
  UErrorCode status = U_ZERO_ERROR;
  const icu::DecimalFormatSymbols symbols(locale, status);
  if (U_FAILURE(status)) return false;
  formats.datePattern = ShortPattern(locale, true);
  formats.timePattern = ShortPattern(locale, false);
  formats.decimalSeparator =
      Utf8Of(symbols.getSymbol(icu::DecimalFormatSymbols::kDecimalSeparatorSymbol));
  formats.groupingSeparator =
      Utf8Of(symbols.getSymbol(icu::DecimalFormatSymbols::kGroupingSeparatorSymbol));
  formats.currencySymbol = Utf8Of(symbols.getSymbol(icu::DecimalFormatSymbols::kCurrencySymbol));
  CurrencyPlacement(locale, formats);
  return !formats.datePattern.empty();
}

std::string TimeLocaleName() { return FirstSet({"LC_ALL", "LC_TIME", "LANG"}); }

std::string NumericLocaleName() { return FirstSet({"LC_ALL", "LC_NUMERIC", "LANG"}); }

std::string MonetaryLocaleName() { return FirstSet({"LC_ALL", "LC_MONETARY", "LANG"}); }

}  // namespace platform

#include "platform/locale_formats.h"

#include <unicode/datefmt.h>
#include <unicode/dcfmtsym.h>
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
  return !formats.datePattern.empty();
}

std::string TimeLocaleName() { return FirstSet({"LC_ALL", "LC_TIME", "LANG"}); }

std::string NumericLocaleName() { return FirstSet({"LC_ALL", "LC_NUMERIC", "LANG"}); }

}  // namespace platform

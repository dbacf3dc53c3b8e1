#pragma once
// How the user's locale writes dates, times and numbers, from ICU's locale
// data (no generated system locales needed). Dates and times follow the
// locale named for LC_TIME, numbers the one named for LC_NUMERIC, as the
// C library chooses them: LC_ALL first, then the category, then LANG.

#include <string>

namespace platform {

struct TLocaleFormats {
  // ICU patterns of the locale's short date and short time ("d.MM.y",
  // "HH:mm"; "M/d/yy", "h:mm a").
  std::string datePattern;
  std::string timePattern;
  // UTF-8 symbols of the locale's numbers ("," and "." for tr_TR).
  std::string decimalSeparator;
  std::string groupingSeparator;
  // The locale's currency sign ("₺" for tr_TR, "€" for de_DE), and where
  // its money amounts put it: after the number or before, with a space
  // between or not ("₺1.000,00"; "1.000,00 €").
  std::string currencySymbol;
  bool currencyAfter = false;
  bool currencySpaced = false;
};

// The formats of a POSIX locale name ("tr_TR.UTF-8", "de_DE@euro"); false
// for "C", "POSIX", an empty name and locales ICU does not know.
bool LocaleFormats(const std::string& posixLocale, TLocaleFormats& formats);

// The POSIX locale names in force for dates and times, and for numbers
// ("" when none is set).
std::string TimeLocaleName();
std::string NumericLocaleName();
std::string MonetaryLocaleName();

}  // namespace platform

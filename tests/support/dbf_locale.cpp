#include "tests/support/dbf_locale.h"

#include "tdbf/file/dbf_dbffile.h"

TScopedSystemLocale::TScopedSystemLocale(const platform::TSystemLocale& locale) { Set(locale); }

TScopedSystemLocale::~TScopedSystemLocale() {
  platform::ResetSystemLocale();
  ResetDbfGlobals();
}

void TScopedSystemLocale::Set(const platform::TSystemLocale& locale) {
  platform::SetSystemLocale(locale);
  ResetDbfGlobals();
}

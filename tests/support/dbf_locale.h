#pragma once
// Fixes the system's code pages and locale for one test, and the engine's
// process-wide settings made from them (TDbfGlobals); both are restored from
// the process environment when the object goes. Tests that create tables or
// compare code pages hold one, so that they do not depend on the machine.

#include "platform/codepage.h"

class TScopedSystemLocale {
 public:
  // The default is a US English Windows: ANSI 1252, OEM 437, locale 0x0409.
  explicit TScopedSystemLocale(const platform::TSystemLocale& locale = {1252, 437, 0x0409});
  ~TScopedSystemLocale();
  TScopedSystemLocale(const TScopedSystemLocale&) = delete;
  TScopedSystemLocale& operator=(const TScopedSystemLocale&) = delete;

  // Switches to another locale for the rest of the test.
  void Set(const platform::TSystemLocale& locale);
};

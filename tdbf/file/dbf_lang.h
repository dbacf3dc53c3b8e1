#pragma once
// Language drivers: the table of the 256 language driver ids a table header
// can name, with each id's code page, locale and name part, and the rules
// that choose an id or a level-7 driver name for a new table and find the
// code page of an existing one. Pure lookups: no platform calls, no state.

#include <cstdint>
#include <string>

struct TLangDriverEntry {
  uint16_t codePage;     // 0: the id names no language driver
  uint32_t locale;       // Windows locale identifier; 0x10000 for id 0
  const char* namePart;  // up to 3 characters; empty when none
};

// Ids 0 and 5..93 are of the dBase class, 1..4 and 94..255 of the FoxPro
// class.
bool IsFoxProLanguageId(uint8_t id);

// The entry of an id. Unlisted ids give code page 0, locale 0, no name part.
const TLangDriverEntry& LangDriverEntry(uint8_t id);
inline int CodePageOfLanguageId(uint8_t id) { return LangDriverEntry(id).codePage; }
inline uint32_t LocaleOfLanguageId(uint8_t id) { return LangDriverEntry(id).locale; }

// The id for a new table with this code page and locale: an entry with both,
// else an entry with the locale alone; a dBase-class id unless foxPro asks
// for a FoxPro-class one and there is one. 0 when none fits. Only the low 16
// bits of the locale take part.
uint8_t LanguageIdFor(int codePage, uint32_t locale, bool foxPro);

// The level-7 driver name for a new table: "DB" + ("WIN" for 1252, else the
// code page in decimal) + name part, or "FOX" + name part + code page text
// with foxPro; the code page is the one asked for. Empty when no id fits.
std::string LanguageDriverNameFor(int codePage, uint32_t locale, bool foxPro);

// The id a driver name stands for ("DBWINUS0" gives 0x57, "FOXDEWIN" 0x61):
// the code page and name part are taken from the name and looked up, without
// the locale fallback. A code page text that is not a number raises
// EConvertError.
uint8_t LanguageIdFromName(const std::string& name);

// The code page a level-7 driver name gives a table: "DBWIN..." 1252,
// "DBHEBREW..." 1255, "DBnnn..." nnn (all the digits, so that "DB1254TR0"
// gives 1254); "FOXxxWIN" 1252, "FOXxxnnn" nnn; 0 for anything else, which
// means the open code page is used.
int CodePageFromDriverName(const std::string& name);

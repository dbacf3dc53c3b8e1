#include "tdbf/file/dbf_lang.h"

#include <array>
#include <cstring>

#include "runtime/sysutils.h"

namespace {

struct TListedDriver {
  uint8_t id;
  uint16_t codePage;
  uint32_t locale;
  const char* namePart;
};

// Every id that names a language driver. Ids not listed have no code page.
constexpr TListedDriver kListedDrivers[] = {
    {0x01, 437, 0x0409, "US0"},   {0x02, 850, 0x0809, "UK0"},   {0x03, 1252, 0x0809, "UK0"},
    {0x04, 10000, 0x0809, "UK0"}, {0x08, 865, 0x0406, "DA0"},   {0x09, 437, 0x0413, "NL0"},
    {0x0A, 850, 0x0413, "NL0"},   {0x0B, 437, 0x040B, "FI0"},   {0x0C, 850, 0x040B, "FI0"},
    {0x0D, 437, 0x040C, "FR0"},   {0x0E, 850, 0x040C, "FR0"},   {0x0F, 437, 0x0407, "DE0"},
    {0x10, 850, 0x0407, "DE0"},   {0x11, 437, 0x0410, "IT0"},   {0x12, 850, 0x0410, "IT1"},
    {0x13, 932, 0x0411, "JP0"},   {0x14, 850, 0x040A, "ES0"},   {0x15, 437, 0x041D, "SV0"},
    {0x16, 850, 0x041D, "SV1"},   {0x17, 865, 0x0414, "NO0"},   {0x18, 437, 0x040A, "ES1"},
    {0x19, 437, 0x0809, "UK0"},   {0x1A, 850, 0x0809, "UK0"},   {0x1B, 437, 0x0409, "US0"},
    {0x1C, 863, 0x0C0C, "CF1"},   {0x1D, 850, 0x0C0C, "CF1"},   {0x1F, 852, 0x0405, "CZ0"},
    {0x20, 867, 0x0405, "CZ0"},   {0x22, 852, 0x040E, "HDC"},   {0x23, 852, 0x0415, "PO0"},
    {0x24, 860, 0x0416, "PT0"},   {0x25, 850, 0x0416, "PT0"},   {0x26, 866, 0x0419, "RU0"},
    {0x37, 850, 0x0409, "US0"},   {0x4D, 936, 0x0804, "CN0"},   {0x4E, 949, 0x0412, "KO0"},
    {0x4F, 950, 0x0404, "TW0"},   {0x50, 874, 0x041E, "TH0"},   {0x56, 932, 0x0411, "JP1"},
    {0x57, 1252, 0x0000, "US0"},  {0x58, 1252, 0x0809, "WE0"},  {0x59, 1252, 0x040A, "ES0"},
    {0x5E, 437, 0x0407, "DE"},    {0x5F, 437, 0x0414, "NO"},    {0x60, 850, 0x0414, "NO"},
    {0x61, 1252, 0x0407, "DE"},   {0x62, 1252, 0x0414, "NO"},   {0x64, 852, 0x0405, "CZ0"},
    {0x65, 866, 0x0419, "RU0"},   {0x66, 865, 0x0414, "NO"},    {0x67, 861, 0x040F, "IC0"},
    {0x68, 895, 0x0405, "CZ0"},   {0x69, 620, 0x0415, "PO1"},   {0x6A, 737, 0x0408, "GR0"},
    {0x6B, 857, 0x041F, "TR0"},   {0x78, 950, 0x0C04, "CH0"},   {0x79, 949, 0x0412, "KO0"},
    {0x7A, 936, 0x21004, "CS0"},  {0x7B, 932, 0x0411, "JP0"},   {0x7C, 874, 0x041E, "TH0"},
    {0x7D, 1255, 0x040D, "REW"},  {0x7E, 1256, 0x0401, "AR0"},  {0x85, 862, 0x040D, "REW"},
    {0x86, 437, 0x0408, "GR0"},   {0x87, 852, 0x041B, "SL0"},   {0x88, 857, 0x041F, "TR0"},
    {0x8E, 868, 0x0402, ""},      {0x96, 10007, 0x0419, "RU0"}, {0x97, 10029, 0x0405, "CZ0"},
    {0x98, 10006, 0x0408, "GR0"}, {0x9B, 1250, 0x0405, ""},     {0x9C, 850, 0x0405, ""},
    {0xC8, 1250, 0x0405, "CZ0"},  {0xC9, 1251, 0x0419, "RU0"},  {0xCA, 1254, 0x041F, "TR0"},
    {0xCB, 1253, 0x0408, "GR0"},
};

// Id 0x8E has a whole name of its own instead of a name part.
constexpr uint8_t kBulgarianId = 0x8E;
constexpr const char* kBulgarianName = "BGDB868";

using TDriverTable = std::array<TLangDriverEntry, 256>;

constexpr TDriverTable MakeDriverTable() {
  TDriverTable table{};
  for (auto& e : table) e = TLangDriverEntry{0, 0, ""};
  table[0] = TLangDriverEntry{0, 0x10000, ""};
  for (const auto& d : kListedDrivers)
    table[d.id] = TLangDriverEntry{d.codePage, d.locale, d.namePart};
  return table;
}

constexpr TDriverTable kDriverTable = MakeDriverTable();

// The search over the table: an id matches when its code page fits (any for
// codePage 0) and its key (locale or name part) equals the one asked for.
// The last matching id of each class counts; ids without a code page never
// match, they name no driver.
template <typename KeyMatches>
uint8_t SearchDrivers(int codePage, bool foxPro, KeyMatches keyMatches) {
  int dbaseId = -1;
  int foxId = -1;
  for (int id = 0; id < 256; ++id) {
    const TLangDriverEntry& e = kDriverTable[id];
    if (e.codePage == 0) continue;
    if (codePage != 0 && codePage != e.codePage) continue;
    if (!keyMatches(e)) continue;
    if (IsFoxProLanguageId(static_cast<uint8_t>(id)))
      foxId = id;
    else
      dbaseId = id;
  }
  if (dbaseId >= 0 && (!foxPro || foxId < 0)) return static_cast<uint8_t>(dbaseId);
  if (foxId >= 0) return static_cast<uint8_t>(foxId);
  return 0;
}

uint8_t SearchByLocale(int codePage, uint32_t locale, bool foxPro) {
  const uint32_t key = locale & 0xFFFF;
  return SearchDrivers(codePage, foxPro,
                       [key](const TLangDriverEntry& e) { return e.locale == key; });
}

std::string CodePageText(int codePage) {
  return codePage == 1252 ? std::string("WIN") : std::to_string(codePage);
}

// The whole of [s, s + n) as a decimal number of digits; 0 otherwise.
int DigitsOrZero(const std::string& s) {
  if (s.empty() || s.size() > 9) return 0;
  int v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return 0;
    v = v * 10 + (c - '0');
  }
  return v;
}

// Number of decimal digits in s from position start on (at most 5, the
// longest code page).
size_t LeadingDigits(const std::string& s, size_t start) {
  size_t n = 0;
  while (start + n < s.size() && n < 5 && s[start + n] >= '0' && s[start + n] <= '9') ++n;
  return n;
}

// Characters first..first+count-1 (1-based) of s, as far as s reaches.
std::string Chars(const std::string& s, size_t first, size_t count) {
  if (first - 1 >= s.size()) return std::string();
  return s.substr(first - 1, count);
}

}  // namespace

bool IsFoxProLanguageId(uint8_t id) { return (id >= 1 && id <= 4) || id >= 94; }

const TLangDriverEntry& LangDriverEntry(uint8_t id) { return kDriverTable[id]; }

uint8_t LanguageIdFor(int codePage, uint32_t locale, bool foxPro) {
  uint8_t id = SearchByLocale(codePage, locale, foxPro);
  if (id == 0) id = SearchByLocale(0, locale, foxPro);
  return id;
}

std::string LanguageDriverNameFor(int codePage, uint32_t locale, bool foxPro) {
  uint8_t id = LanguageIdFor(codePage, locale, foxPro);
  if (id == 0) return std::string();
  const char* part = kDriverTable[id].namePart;
  if (foxPro) return "FOX" + std::string(part) + CodePageText(codePage);
  if (id == kBulgarianId) return kBulgarianName;
  return "DB" + CodePageText(codePage) + part;
}

uint8_t LanguageIdFromName(const std::string& name) {
  if (name == kBulgarianName) return kBulgarianId;
  const bool foxPro = name.rfind("FOX", 0) == 0;
  std::string cpText = foxPro ? Chars(name, 6, 3) : Chars(name, 3, 3);
  std::string part = foxPro ? Chars(name, 4, 2) : Chars(name, 6, 3);
  // A dBase name carries its code page in full: "DB1254TR0" is 1254 with
  // TR0, as LanguageDriverNameFor writes it.
  const size_t digits = foxPro ? 0 : LeadingDigits(name, 2);
  if (digits > 0) {
    cpText = name.substr(2, digits);
    part = name.substr(2 + digits, 3);
  }
  int codePage;
  if (cpText == "WIN")
    codePage = 1252;
  else if (cpText == "REW")
    codePage = 1255;
  else
    codePage = StrToInt(cpText);
  return SearchDrivers(codePage, foxPro,
                       [&part](const TLangDriverEntry& e) { return part == e.namePart; });
}

int CodePageFromDriverName(const std::string& name) {
  if (name.rfind("DB", 0) == 0) {
    if (name.compare(2, 3, "WIN") == 0) return 1252;
    if (name.compare(2, 6, "HEBREW") == 0) return 1255;
    return DigitsOrZero(name.substr(2, LeadingDigits(name, 2)));
  }
  if (name.rfind("FOX", 0) == 0) {
    std::string cpText = Chars(name, 6, 3);
    if (cpText == "WIN") return 1252;
    return DigitsOrZero(cpText);
  }
  return 0;
}

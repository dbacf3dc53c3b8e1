#include "platform/codepage.h"

#include <unicode/uchar.h>
#include <unicode/ucnv.h>
#include <unicode/ucnv_err.h>
#include <unicode/ucol.h>
#include <unicode/uloc.h>
#include <unicode/ustring.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace platform {
namespace {

// ---- Code pages and their ICU converters ------------------------------------

// The code pages a Windows system knows; those ICU can convert count as
// installed.
constexpr uint32_t kWindowsCodePages[] = {
    37,    437,   500,   708,   720,   737,   775,   850,   852,   855,   857,   858,   860,
    861,   862,   863,   864,   865,   866,   869,   870,   874,   875,   932,   936,   949,
    950,   1026,  1047,  1140,  1141,  1142,  1143,  1144,  1145,  1146,  1147,  1148,  1149,
    1200,  1201,  1250,  1251,  1252,  1253,  1254,  1255,  1256,  1257,  1258,  1361,  10000,
    10001, 10002, 10003, 10004, 10005, 10006, 10007, 10008, 10010, 10017, 10021, 10029, 10079,
    10081, 10082, 12000, 12001, 20127, 20866, 20932, 20936, 20949, 21866, 28591, 28592, 28593,
    28594, 28595, 28596, 28597, 28598, 28599, 28603, 28605, 50220, 50221, 50222, 50225, 51932,
    51936, 51949, 52936, 54936, 65000, 65001};

// ICU names to try for a Windows code page, best first.
std::vector<std::string> IcuNamesFor(uint32_t codePage) {
  switch (codePage) {
    case 1200:
      return {"UTF-16LE"};
    case 1201:
      return {"UTF-16BE"};
    case 12000:
      return {"UTF-32LE"};
    case 12001:
      return {"UTF-32BE"};
    case 20127:
      return {"US-ASCII"};
    case 20866:
      return {"KOI8-R"};
    case 21866:
      return {"KOI8-U"};
    case 20932:
    case 51932:
      return {"EUC-JP"};
    case 20936:
    case 51936:
      return {"GB2312"};
    case 20949:
    case 51949:
      return {"EUC-KR"};
    case 52936:
      return {"HZ-GB-2312"};
    case 54936:
      return {"GB18030"};
    case 50220:
    case 50221:
    case 50222:
      return {"ISO-2022-JP"};
    case 50225:
      return {"ISO-2022-KR"};
    case 65000:
      return {"UTF-7"};
    case 65001:
      return {"UTF-8"};
    default:
      break;
  }
  if (codePage >= 28591 && codePage <= 28605) {
    return {"ISO-8859-" + std::to_string(codePage - 28590)};
  }
  return {"windows-" + std::to_string(codePage), "ibm-" + std::to_string(codePage)};
}

bool IsWindowsCodePage(uint32_t codePage) {
  return std::find(std::begin(kWindowsCodePages), std::end(kWindowsCodePages), codePage) !=
         std::end(kWindowsCodePages);
}

struct TConverterCloser {
  void operator()(UConverter* converter) const { ucnv_close(converter); }
};
using TConverterPtr = std::unique_ptr<UConverter, TConverterCloser>;

TConverterPtr OpenIcuConverter(uint32_t codePage) {
  if (!IsWindowsCodePage(codePage)) return nullptr;
  for (const auto& name : IcuNamesFor(codePage)) {
    UErrorCode error = U_ZERO_ERROR;
    TConverterPtr converter(ucnv_open(name.c_str(), &error));
    if (U_SUCCESS(error) && converter) return converter;
  }
  return nullptr;
}

// Bytes a single-byte code page leaves undefined stand for characters of
// their own, so that text survives a round trip as on Windows: 0x80-0x9F
// for the C1 controls, others for private-use characters.
constexpr char16_t kUndefinedBytePlane = 0xF700;

char16_t UndefinedByteChar(uint8_t byte) {
  return byte >= 0x80 && byte <= 0x9F ? char16_t{byte}
                                      : static_cast<char16_t>(kUndefinedBytePlane + byte);
}

// One code page's converter. Single-byte code pages convert through tables
// (fast, and with the ASCII controls kept as Windows keeps them); others go
// through ICU each time.
class TCodePage {
 public:
  explicit TCodePage(TConverterPtr converter) : converter_(std::move(converter)) {
    UErrorCode error = U_ZERO_ERROR;
    ucnv_setFallback(converter_.get(), true);
    ucnv_setSubstChars(converter_.get(), "?", 1, &error);
    singleByte_ = ucnv_getMaxCharSize(converter_.get()) == 1;
    if (singleByte_) BuildTables();
  }

  bool SingleByte() const { return singleByte_; }
  // REQUIRES: SingleByte().
  char16_t CharOf(uint8_t byte) const { return toUnicode_[byte]; }
  // Whether the code page gives the byte a character (REQUIRES: SingleByte()).
  bool Defined(uint8_t byte) const { return defined_[byte]; }

  void ToUnicode(std::string_view text, std::u16string& out) {
    if (singleByte_) {
      out.resize(text.size());
      for (size_t i = 0; i < text.size(); ++i) out[i] = toUnicode_[static_cast<uint8_t>(text[i])];
      return;
    }
    out.assign(text.size() * 2 + 4, u'\0');
    for (;;) {
      UErrorCode error = U_ZERO_ERROR;
      ucnv_resetToUnicode(converter_.get());
      int32_t length = ucnv_toUChars(converter_.get(), reinterpret_cast<UChar*>(out.data()),
                                     static_cast<int32_t>(out.size()), text.data(),
                                     static_cast<int32_t>(text.size()), &error);
      if (error == U_BUFFER_OVERFLOW_ERROR) {
        out.assign(static_cast<size_t>(length) + 1, u'\0');
        continue;
      }
      out.resize(U_SUCCESS(error) ? static_cast<size_t>(length) : 0);
      return;
    }
  }

  void FromUnicode(std::u16string_view text, std::string& out) {
    if (singleByte_) {
      out.resize(text.size());
      for (size_t i = 0; i < text.size(); ++i) out[i] = static_cast<char>(ByteFor(text[i]));
      return;
    }
    out.assign(text.size() * 4 + 8, '\0');
    for (;;) {
      UErrorCode error = U_ZERO_ERROR;
      ucnv_resetFromUnicode(converter_.get());
      int32_t length = ucnv_fromUChars(
          converter_.get(), out.data(), static_cast<int32_t>(out.size()),
          reinterpret_cast<const UChar*>(text.data()), static_cast<int32_t>(text.size()), &error);
      if (error == U_BUFFER_OVERFLOW_ERROR) {
        out.assign(static_cast<size_t>(length) + 1, '\0');
        continue;
      }
      out.resize(U_SUCCESS(error) ? static_cast<size_t>(length) : 0);
      return;
    }
  }

 private:
  void BuildTables() {
    std::array<bool, 256> defined{};
    for (int byte = 0; byte < 256; ++byte) {
      const char in = static_cast<char>(byte);
      UChar out[4];
      UErrorCode error = U_ZERO_ERROR;
      ucnv_resetToUnicode(converter_.get());
      int32_t length = ucnv_toUChars(converter_.get(), out, 4, &in, 1, &error);
      defined[byte] = U_SUCCESS(error) && length == 1 && out[0] != 0xFFFD;
      toUnicode_[byte] = defined[byte] ? static_cast<char16_t>(out[0]) : u'\0';
    }
    // IBM tables swap some ASCII controls (0x1A, 0x1C, 0x7F); Windows code
    // pages built on ASCII keep all of them in place.
    if (toUnicode_['A'] == u'A' && toUnicode_['z'] == u'z') {
      for (int byte = 0; byte < 0x20; ++byte) toUnicode_[byte] = static_cast<char16_t>(byte);
      toUnicode_[0x7F] = u'\x7F';
      for (int byte = 0; byte < 0x20; ++byte) defined[byte] = true;
      defined[0x7F] = true;
    }
    for (int byte = 0; byte < 256; ++byte) {
      if (!defined[byte]) toUnicode_[byte] = UndefinedByteChar(static_cast<uint8_t>(byte));
    }
    defined_ = defined;
    for (int byte = 255; byte >= 0; --byte) {
      fromUnicode_[toUnicode_[byte]] = static_cast<uint8_t>(byte);
    }
  }

  // The byte for a character: the table, else ICU's fallback, else '?'.
  uint8_t ByteFor(char16_t ch) {
    auto found = fromUnicode_.find(ch);
    if (found != fromUnicode_.end()) return found->second;
    uint8_t byte = '?';
    if (ch < 0xD800 || ch > 0xDFFF) {
      const UChar in = ch;
      char out[8];
      UErrorCode error = U_ZERO_ERROR;
      ucnv_resetFromUnicode(converter_.get());
      int32_t length = ucnv_fromUChars(converter_.get(), out, sizeof out, &in, 1, &error);
      if (U_SUCCESS(error) && length == 1) byte = static_cast<uint8_t>(out[0]);
    }
    fromUnicode_[ch] = byte;
    return byte;
  }

  TConverterPtr converter_;
  bool singleByte_ = false;
  std::array<char16_t, 256> toUnicode_{};
  std::array<bool, 256> defined_{};
  std::unordered_map<char16_t, uint8_t> fromUnicode_;
};

std::mutex gCodePagesMutex;

// The converter of a code page (nullptr when ICU has none), opened once.
// REQUIRES: gCodePagesMutex held.
TCodePage* CodePage(uint32_t codePage) {
  static std::map<uint32_t, std::unique_ptr<TCodePage>> codePages;
  auto found = codePages.find(codePage);
  if (found != codePages.end()) return found->second.get();
  TConverterPtr converter = OpenIcuConverter(codePage);
  std::unique_ptr<TCodePage> entry;
  if (converter) entry = std::make_unique<TCodePage>(std::move(converter));
  TCodePage* result = entry.get();
  codePages.emplace(codePage, std::move(entry));
  return result;
}

// ---- Locales ----------------------------------------------------------------

struct TLocaleParts {
  std::string language;
  std::string script;
  std::string territory;
};

TLocaleParts PartsOf(const std::string& icuLocale) {
  TLocaleParts parts;
  char buffer[ULOC_FULLNAME_CAPACITY];
  UErrorCode error = U_ZERO_ERROR;
  uloc_getLanguage(icuLocale.c_str(), buffer, sizeof buffer, &error);
  if (U_SUCCESS(error)) parts.language = buffer;
  error = U_ZERO_ERROR;
  uloc_getScript(icuLocale.c_str(), buffer, sizeof buffer, &error);
  if (U_SUCCESS(error)) parts.script = buffer;
  error = U_ZERO_ERROR;
  uloc_getCountry(icuLocale.c_str(), buffer, sizeof buffer, &error);
  if (U_SUCCESS(error)) parts.territory = buffer;
  return parts;
}

std::string Maximized(const std::string& icuLocale) {
  char buffer[ULOC_FULLNAME_CAPACITY];
  UErrorCode error = U_ZERO_ERROR;
  uloc_addLikelySubtags(icuLocale.c_str(), buffer, sizeof buffer, &error);
  return U_SUCCESS(error) ? std::string(buffer) : icuLocale;
}

// A locale of a language in one territory: its sub-language (the upper six
// bits) is set and below the range Windows uses for script-only locales
// (0x7C1A "sr", 0x7C04 "zh-Hant").
bool IsSpecificLcid(uint32_t lcid) {
  const uint32_t subLanguage = lcid >> 10;
  return lcid <= 0xFFFF && (lcid & 0x3FF) != 0 && subLanguage != 0 && subLanguage < 0x19;
}

// The specific locale identifier of a locale; 0 when there is none.
uint32_t LcidOf(const TLocaleParts& parts) {
  if (parts.language.empty()) return 0;
  const std::string territory = parts.territory.empty() ? "" : "_" + parts.territory;
  // The script decides where a language is written in two (sr, az, uz);
  // elsewhere ICU knows only the name without it.
  if (!parts.script.empty()) {
    const uint32_t lcid = uloc_getLCID((parts.language + "_" + parts.script + territory).c_str());
    if (IsSpecificLcid(lcid)) return lcid;
  }
  const uint32_t lcid = uloc_getLCID((parts.language + territory).c_str());
  return IsSpecificLcid(lcid) ? lcid : 0;
}

// The ICU locale of a locale identifier; empty when unknown.
std::string IcuLocaleOf(uint32_t lcid) {
  if (!IsSpecificLcid(lcid)) return std::string();
  char buffer[ULOC_FULLNAME_CAPACITY];
  UErrorCode error = U_ZERO_ERROR;
  int32_t length = uloc_getLocaleForLCID(lcid, buffer, sizeof buffer, &error);
  if (U_FAILURE(error) || length <= 0) return std::string();
  return std::string(buffer, static_cast<size_t>(length));
}

// The ANSI and OEM code pages Windows gives a language (and, where it
// matters, its script or territory). 0 is the code page of locales that
// have only Unicode.
void CodePagesOf(const TLocaleParts& parts, uint32_t& ansi, uint32_t& oem) {
  const std::string& lang = parts.language;
  const auto in = [&](std::initializer_list<const char*> names) {
    return std::any_of(names.begin(), names.end(), [&](const char* n) { return lang == n; });
  };
  const bool latin = parts.script == "Latn";
  const bool cyrillic = parts.script == "Cyrl";
  if (in({"cs", "pl", "hu", "sk", "sl", "hr", "ro", "sq", "bs", "hsb", "dsb", "tk"}) ||
      (lang == "sr" && latin)) {
    ansi = 1250;
    oem = 852;
  } else if (lang == "sr" || (lang == "bs" && cyrillic)) {
    ansi = 1251;
    oem = 855;
  } else if (in({"ru", "uk", "be", "bg", "mk", "kk", "ky", "tt", "mn", "ba", "sah", "tg"}) ||
             ((lang == "az" || lang == "uz") && cyrillic)) {
    ansi = 1251;
    oem = 866;
  } else if (lang == "el") {
    ansi = 1253;
    oem = 737;
  } else if (in({"tr", "az", "uz"})) {
    ansi = 1254;
    oem = 857;
  } else if (in({"he", "yi"})) {
    ansi = 1255;
    oem = 862;
  } else if (in({"ar", "fa", "ur", "ps", "ug", "sd", "ckb"})) {
    ansi = 1256;
    oem = 720;
  } else if (in({"et", "lv", "lt"})) {
    ansi = 1257;
    oem = 775;
  } else if (lang == "vi") {
    ansi = 1258;
    oem = 1258;
  } else if (lang == "th") {
    ansi = 874;
    oem = 874;
  } else if (lang == "ja") {
    ansi = 932;
    oem = 932;
  } else if (lang == "ko") {
    ansi = 949;
    oem = 949;
  } else if (lang == "zh") {
    const bool traditional = parts.script == "Hant" || parts.territory == "TW" ||
                             parts.territory == "HK" || parts.territory == "MO";
    ansi = traditional ? 950 : 936;
    oem = ansi;
  } else if (in({"en",  "de", "fr", "es",  "it",  "nl",  "pt",  "da", "sv", "nb", "nn",
                 "no",  "fi", "is", "ga",  "eu",  "ca",  "gl",  "af", "id", "ms", "sw",
                 "fo",  "fy", "lb", "rm",  "br",  "co",  "oc",  "gd", "cy", "mt", "fil",
                 "zu",  "xh", "tn", "nso", "rw",  "wo",  "ha",  "yo", "ig", "qu", "quz",
                 "moh", "iu", "kl", "se",  "smn", "sms", "sma", "smj"})) {
    ansi = 1252;
    oem = lang == "en" && (parts.territory.empty() || parts.territory == "US") ? 437 : 850;
  } else {
    ansi = 0;
    oem = 1;
  }
}

bool LocaleCodePages(uint32_t lcid, uint32_t& ansi, uint32_t& oem) {
  const std::string icuLocale = IcuLocaleOf(lcid);
  if (icuLocale.empty()) return false;
  CodePagesOf(PartsOf(Maximized(icuLocale)), ansi, oem);
  return true;
}

TSystemLocale DeriveFromEnvironment() {
  for (const char* variable : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char* value = std::getenv(variable);
    if (value != nullptr && *value != '\0') return SystemLocaleFromName(value);
  }
  return SystemLocaleFromName("C");
}

std::mutex gSystemLocaleMutex;

TSystemLocale& SystemLocaleSlot() {
  static TSystemLocale locale = DeriveFromEnvironment();
  return locale;
}

// ---- Collators ----------------------------------------------------------------

struct TCollatorCloser {
  void operator()(UCollator* collator) const { ucol_close(collator); }
};
using TCollatorPtr = std::unique_ptr<UCollator, TCollatorCloser>;

}  // namespace

// ---- System settings ----------------------------------------------------------

TSystemLocale SystemLocaleFromName(const std::string& posixLocale) {
  std::string name = posixLocale;
  std::string modifier;
  if (auto at = name.find('@'); at != std::string::npos) {
    modifier = name.substr(at + 1);
    name.erase(at);
  }
  if (auto dot = name.find('.'); dot != std::string::npos) name.erase(dot);
  TSystemLocale result;
  if (name.empty() || name == "C" || name == "POSIX") return result;

  TLocaleParts parts = PartsOf(name);
  if (modifier == "latin") parts.script = "Latn";
  if (modifier == "cyrillic") parts.script = "Cyrl";
  if (parts.language.empty()) return result;
  std::string full = parts.language;
  if (!parts.script.empty()) full += "_" + parts.script;
  if (!parts.territory.empty()) full += "_" + parts.territory;
  const TLocaleParts likely = PartsOf(Maximized(full));
  if (parts.script.empty()) parts.script = likely.script;
  if (parts.territory.empty()) parts.territory = likely.territory;

  const uint32_t lcid = LcidOf(parts);
  uint32_t ansi = 0;
  uint32_t oem = 0;
  CodePagesOf(parts, ansi, oem);
  if (lcid == 0 || ansi == 0) return result;
  result.ansiCodePage = ansi;
  result.oemCodePage = oem;
  result.lcid = lcid;
  return result;
}

const TSystemLocale& SystemLocale() {
  std::lock_guard<std::mutex> lock(gSystemLocaleMutex);
  return SystemLocaleSlot();
}

void SetSystemLocale(const TSystemLocale& locale) {
  std::lock_guard<std::mutex> lock(gSystemLocaleMutex);
  SystemLocaleSlot() = locale;
}

void ResetSystemLocale() {
  std::lock_guard<std::mutex> lock(gSystemLocaleMutex);
  SystemLocaleSlot() = DeriveFromEnvironment();
}

// ---- Code pages and locales -------------------------------------------------

bool IsValidCodePage(uint32_t codePage) {
  std::lock_guard<std::mutex> lock(gCodePagesMutex);
  return CodePage(codePage) != nullptr;
}

bool IsSingleByteCodePage(uint32_t codePage) {
  std::lock_guard<std::mutex> lock(gCodePagesMutex);
  const TCodePage* converter = CodePage(codePage);
  return converter != nullptr && converter->SingleByte();
}

std::vector<uint32_t> InstalledCodePages() {
  static const std::vector<uint32_t> installed = [] {
    std::vector<uint32_t> list;
    for (uint32_t codePage : kWindowsCodePages) {
      if (OpenIcuConverter(codePage)) list.push_back(codePage);
    }
    return list;
  }();
  return installed;
}

std::vector<uint32_t> SupportedLocales() {
  static const std::vector<uint32_t> supported = [] {
    std::vector<uint32_t> list;
    const int32_t count = uloc_countAvailable();
    for (int32_t i = 0; i < count; ++i) {
      const std::string locale = uloc_getAvailable(i);
      TLocaleParts parts = PartsOf(locale);
      const TLocaleParts likely = PartsOf(Maximized(locale));
      if (parts.script.empty()) parts.script = likely.script;
      if (parts.territory.empty()) parts.territory = likely.territory;
      if (const uint32_t lcid = LcidOf(parts); lcid != 0) list.push_back(lcid);
    }
    std::sort(list.begin(), list.end());
    list.erase(std::unique(list.begin(), list.end()), list.end());
    return list;
  }();
  return supported;
}

bool IsSupportedLocale(uint32_t lcid) {
  const std::vector<uint32_t> supported = SupportedLocales();
  return std::binary_search(supported.begin(), supported.end(), lcid);
}

bool LocaleAnsiCodePage(uint32_t lcid, uint32_t& codePage) {
  uint32_t oem = 0;
  return LocaleCodePages(lcid, codePage, oem);
}

bool LocaleOemCodePage(uint32_t lcid, uint32_t& codePage) {
  uint32_t ansi = 0;
  return LocaleCodePages(lcid, ansi, codePage);
}

bool LocaleName(uint32_t lcid, std::string& name) {
  std::string icuLocale = IcuLocaleOf(lcid);
  if (icuLocale.empty()) return false;
  std::replace(icuLocale.begin(), icuLocale.end(), '_', '-');
  name = icuLocale;
  return true;
}

// ---- Conversion -------------------------------------------------------------

bool MultiByteToWideChar(uint32_t codePage, std::string_view text, std::u16string& out) {
  std::lock_guard<std::mutex> lock(gCodePagesMutex);
  TCodePage* converter = CodePage(codePage);
  if (converter == nullptr) return false;
  converter->ToUnicode(text, out);
  return true;
}

bool WideCharToMultiByte(uint32_t codePage, std::u16string_view text, std::string& out) {
  std::lock_guard<std::mutex> lock(gCodePagesMutex);
  TCodePage* converter = CodePage(codePage);
  if (converter == nullptr) return false;
  converter->FromUnicode(text, out);
  return true;
}

bool ConvertCodePage(uint32_t fromCodePage, uint32_t toCodePage, std::string_view text,
                     std::string& out) {
  std::lock_guard<std::mutex> lock(gCodePagesMutex);
  TCodePage* from = CodePage(fromCodePage);
  TCodePage* to = CodePage(toCodePage);
  if (from == nullptr || to == nullptr) return false;
  if (fromCodePage == toCodePage) {
    out.assign(text);
    return true;
  }
  std::u16string wide;
  from->ToUnicode(text, wide);
  to->FromUnicode(wide, out);
  return true;
}

bool OemToChar(std::string_view text, std::string& out) {
  return ConvertCodePage(GetOEMCP(), GetACP(), text, out);
}

bool CharToOem(std::string_view text, std::string& out) {
  return ConvertCodePage(GetACP(), GetOEMCP(), text, out);
}

// ---- Text codecs ------------------------------------------------------------

namespace {

// Appends the UTF-8 form of a code point.
void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// Reads one code point of UTF-8 at text[at], advancing at. A byte that
// starts no well-formed sequence reads as U+FFFD and is passed alone.
char32_t NextUtf8(std::string_view text, size_t& at) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
  const uint8_t lead = byte(at);
  if (lead < 0x80) {
    ++at;
    return lead;
  }
  int length = 0;
  char32_t c = 0;
  char32_t least = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    c = lead & 0x1F;
    least = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    c = lead & 0x0F;
    least = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    c = lead & 0x07;
    least = 0x10000;
  }
  if (length == 0 || at + static_cast<size_t>(length) > text.size()) {
    ++at;
    return 0xFFFD;
  }
  for (int i = 1; i < length; ++i) {
    const uint8_t next = byte(at + static_cast<size_t>(i));
    if ((next & 0xC0) != 0x80) {
      ++at;
      return 0xFFFD;
    }
    c = (c << 6) | (next & 0x3F);
  }
  if (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
    ++at;
    return 0xFFFD;
  }
  at += static_cast<size_t>(length);
  return c;
}

}  // namespace

struct TTextCodec::TImpl {
  // Single-byte code pages: the byte of each character.
  std::unordered_map<char32_t, uint8_t> byteOf;
  // Multi-byte code pages: a converter that stops at a character it
  // cannot convert instead of substituting one.
  TConverterPtr converter;
  std::u16string wide;
  std::vector<int32_t> offsets;
};

TTextCodec::~TTextCodec() = default;

std::unique_ptr<TTextCodec> TTextCodec::Make(uint32_t codePage) {
  TConverterPtr converter = OpenIcuConverter(codePage);
  if (!converter) return nullptr;
  std::unique_ptr<TTextCodec> codec(new TTextCodec());
  codec->codePage_ = codePage;
  codec->impl_ = std::make_unique<TImpl>();
  if (codePage == kCodePageUtf8) {
    codec->utf8_ = true;
    codec->asciiCompatible_ = true;
    return codec;
  }
  if (ucnv_getMaxCharSize(converter.get()) == 1) {
    const TCodePage table(std::move(converter));
    codec->singleByte_ = true;
    codec->asciiCompatible_ = true;
    for (int byte = 255; byte >= 0; --byte) {
      const char16_t c = table.CharOf(static_cast<uint8_t>(byte));
      if (byte < 0x80 && c != byte) codec->asciiCompatible_ = false;
      std::string utf8;
      AppendUtf8(utf8, c);
      auto& entry = codec->utf8Of_[static_cast<size_t>(byte)];
      entry[0] = static_cast<char>(utf8.size());
      std::copy(utf8.begin(), utf8.end(), entry.begin() + 1);
      codec->impl_->byteOf[c] = static_cast<uint8_t>(byte);
      // Converters carry the bytes a code page leaves undefined (0x81 in
      // 1252) as C1 controls, which no text holds either.
      codec->undefined_[static_cast<size_t>(byte)] =
          !table.Defined(static_cast<uint8_t>(byte)) || (c >= 0x80 && c <= 0x9F);
    }
    codec->MakeCaseBytes();
    return codec;
  }
  UErrorCode error = U_ZERO_ERROR;
  ucnv_setFallback(converter.get(), false);
  ucnv_setFromUCallBack(converter.get(), UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr,
                        &error);
  codec->impl_->converter = std::move(converter);
  return codec;
}

void TTextCodec::ToUtf8(std::string_view stored, std::string& text) {
  text.clear();
  if (singleByte_) {
    const auto* p = reinterpret_cast<const uint8_t*>(stored.data());
    const auto* end = p + stored.size();
    while (p < end) {
      const uint8_t* run = p;
      if (asciiCompatible_)
        while (p < end && *p < 0x80) ++p;
      if (p > run) text.append(reinterpret_cast<const char*>(run), static_cast<size_t>(p - run));
      if (p == end) break;
      const auto& entry = utf8Of_[*p++];
      text.append(entry.data() + 1, static_cast<size_t>(entry[0]));
    }
    return;
  }
  if (utf8_) {
    for (size_t at = 0; at < stored.size();) {
      // Runs of ASCII go as they stand.
      size_t run = at;
      while (run < stored.size() && static_cast<unsigned char>(stored[run]) < 0x80) ++run;
      if (run > at) {
        text.append(stored.substr(at, run - at));
        at = run;
        continue;
      }
      const size_t start = at;
      const char32_t c = NextUtf8(stored, at);
      if (c == 0xFFFD && !(at - start == 3 && stored.substr(start, 3) == "\xEF\xBF\xBD"))
        AppendUtf8(text, c);
      else
        text.append(stored.substr(start, at - start));
    }
    return;
  }
  UConverter* converter = impl_->converter.get();
  std::u16string& wide = impl_->wide;
  wide.resize(stored.size() * 2 + 4);
  UErrorCode error = U_ZERO_ERROR;
  ucnv_resetToUnicode(converter);
  int32_t length = ucnv_toUChars(converter, reinterpret_cast<UChar*>(wide.data()),
                                 static_cast<int32_t>(wide.size()), stored.data(),
                                 static_cast<int32_t>(stored.size()), &error);
  if (U_FAILURE(error)) return;
  text.resize(static_cast<size_t>(length) * 3 + 4);
  int32_t written = 0;
  error = U_ZERO_ERROR;
  u_strToUTF8WithSub(text.data(), static_cast<int32_t>(text.size()), &written,
                     reinterpret_cast<const UChar*>(wide.data()), length, 0xFFFD, nullptr, &error);
  text.resize(U_SUCCESS(error) ? static_cast<size_t>(written) : 0);
}

bool TTextCodec::FromUtf8(std::string_view text, std::string& stored, std::string& bad) {
  stored.clear();
  if (utf8_) {
    for (size_t at = 0; at < text.size();) {
      const size_t start = at;
      if (NextUtf8(text, at) == 0xFFFD && at - start != 3) {
        bad.assign(text.substr(start, at - start));
        return false;
      }
    }
    stored.assign(text);
    return true;
  }
  if (!singleByte_) return FromUtf8Slow(text, stored, bad);
  for (size_t at = 0; at < text.size();) {
    const auto lead = static_cast<uint8_t>(text[at]);
    if (lead < 0x80 && asciiCompatible_) {
      stored.push_back(static_cast<char>(lead));
      ++at;
      continue;
    }
    const size_t start = at;
    const char32_t c = NextUtf8(text, at);
    auto found = impl_->byteOf.find(c);
    if (found == impl_->byteOf.end()) {
      bad.assign(text.substr(start, at - start));
      return false;
    }
    stored.push_back(static_cast<char>(found->second));
  }
  return true;
}

bool TTextCodec::FromUtf8Slow(std::string_view text, std::string& stored, std::string& bad) {
  std::u16string& wide = impl_->wide;
  wide.resize(text.size() + 4);
  int32_t length = 0;
  UErrorCode error = U_ZERO_ERROR;
  u_strFromUTF8WithSub(reinterpret_cast<UChar*>(wide.data()), static_cast<int32_t>(wide.size()),
                       &length, text.data(), static_cast<int32_t>(text.size()), 0xFFFD, nullptr,
                       &error);
  if (U_FAILURE(error)) length = 0;
  UConverter* converter = impl_->converter.get();
  stored.resize(static_cast<size_t>(length) * 4 + 8);
  error = U_ZERO_ERROR;
  ucnv_resetFromUnicode(converter);
  const int32_t written =
      ucnv_fromUChars(converter, stored.data(), static_cast<int32_t>(stored.size()),
                      reinterpret_cast<const UChar*>(wide.data()), length, &error);
  if (U_SUCCESS(error)) {
    stored.resize(static_cast<size_t>(written));
    return true;
  }
  // Find the character that stopped the conversion: the first that does
  // not convert alone.
  for (size_t at = 0; at < text.size();) {
    const size_t start = at;
    NextUtf8(text, at);
    std::u16string one;
    if (!MultiByteToWideChar(kCodePageUtf8, text.substr(start, at - start), one)) break;
    char buffer[16];
    error = U_ZERO_ERROR;
    ucnv_resetFromUnicode(converter);
    ucnv_fromUChars(converter, buffer, sizeof buffer, reinterpret_cast<const UChar*>(one.data()),
                    static_cast<int32_t>(one.size()), &error);
    if (U_FAILURE(error) || text.substr(start, at - start) == "\xEF\xBF\xBD") {
      bad.assign(text.substr(start, at - start));
      return false;
    }
  }
  bad.assign(text.substr(0, 1));
  return false;
}

size_t TTextCodec::FirstUndecodable(std::string_view stored) {
  if (singleByte_) {
    for (size_t at = 0; at < stored.size(); ++at)
      if (undefined_[static_cast<uint8_t>(stored[at])]) return at;
    return std::string_view::npos;
  }
  if (utf8_) {
    for (size_t at = 0; at < stored.size();) {
      const size_t start = at;
      if (NextUtf8(stored, at) == 0xFFFD && at - start != 3) return start;
    }
    return std::string_view::npos;
  }
  // The converter stops at the first sequence it cannot read, then goes on
  // substituting as the other conversions expect.
  UConverter* converter = impl_->converter.get();
  UConverterToUCallback oldAction = nullptr;
  const void* oldContext = nullptr;
  UErrorCode error = U_ZERO_ERROR;
  ucnv_setToUCallBack(converter, UCNV_TO_U_CALLBACK_STOP, nullptr, &oldAction, &oldContext, &error);
  ucnv_resetToUnicode(converter);
  std::u16string& wide = impl_->wide;
  wide.resize(stored.size() * 2 + 4);
  const char* source = stored.data();
  auto* target = reinterpret_cast<UChar*>(wide.data());
  error = U_ZERO_ERROR;
  ucnv_toUnicode(converter, &target, target + wide.size(), &source, stored.data() + stored.size(),
                 nullptr, true, &error);
  size_t bad = std::string_view::npos;
  if (U_FAILURE(error)) {
    char invalid[32];
    int8_t length = sizeof invalid;
    UErrorCode ignored = U_ZERO_ERROR;
    ucnv_getInvalidChars(converter, invalid, &length, &ignored);
    bad = static_cast<size_t>(source - stored.data()) - (U_SUCCESS(ignored) ? length : 0);
  }
  error = U_ZERO_ERROR;
  ucnv_setToUCallBack(converter, oldAction, oldContext, nullptr, nullptr, &error);
  ucnv_resetToUnicode(converter);
  return bad;
}

size_t TTextCodec::CharBoundary(std::string_view stored, size_t width) {
  if (stored.size() <= width) return stored.size();
  if (singleByte_) return width;
  if (utf8_) {
    size_t at = width;
    while (at > 0 && (static_cast<uint8_t>(stored[at]) & 0xC0) == 0x80) --at;
    return at;
  }
  UConverter* converter = impl_->converter.get();
  std::u16string& wide = impl_->wide;
  std::vector<int32_t>& offsets = impl_->offsets;
  wide.resize(stored.size() + 4);
  offsets.resize(wide.size());
  ucnv_resetToUnicode(converter);
  UChar* target = reinterpret_cast<UChar*>(wide.data());
  const char* source = stored.data();
  UErrorCode error = U_ZERO_ERROR;
  ucnv_toUnicode(converter, &target, target + wide.size(), &source, source + stored.size(),
                 offsets.data(), true, &error);
  const size_t count = static_cast<size_t>(target - reinterpret_cast<UChar*>(wide.data()));
  size_t boundary = 0;
  for (size_t i = 0; i < count; ++i) {
    const size_t start = static_cast<size_t>(std::max(offsets[i], 0));
    if (start > width) break;
    boundary = start;
  }
  return boundary;
}

namespace {

// The simple case of one character; Turkic rules for i, İ, ı and I.
char32_t OtherCase(char32_t c, bool upper, bool turkic) {
  if (turkic) {
    if (upper && c == U'i') return U'\u0130';
    if (!upper && c == U'I') return U'\u0131';
  }
  return static_cast<char32_t>(upper ? u_toupper(static_cast<UChar32>(c))
                                     : u_tolower(static_cast<UChar32>(c)));
}

}  // namespace

void TTextCodec::SetTurkicCase(bool turkic) {
  if (turkic == turkicCase_) return;
  turkicCase_ = turkic;
  if (singleByte_) MakeCaseBytes();
}

void TTextCodec::MakeCaseBytes() {
  for (int byte = 0; byte < 256; ++byte) {
    const std::string_view one(utf8Of_[static_cast<size_t>(byte)].data() + 1,
                               static_cast<size_t>(utf8Of_[static_cast<size_t>(byte)][0]));
    size_t at = 0;
    const char32_t c = NextUtf8(one, at);
    for (bool upper : {true, false}) {
      auto& bytes = upper ? upperBytes_ : lowerBytes_;
      bytes[static_cast<size_t>(byte)] = static_cast<uint8_t>(byte);
      const auto found = impl_->byteOf.find(OtherCase(c, upper, turkicCase_));
      if (found != impl_->byteOf.end()) bytes[static_cast<size_t>(byte)] = found->second;
    }
  }
}

void TTextCodec::ChangeCase(std::string_view stored, bool upper, std::string& out) {
  out.clear();
  if (singleByte_) {
    const uint8_t* bytes = CaseBytes(upper);
    out.resize(stored.size());
    for (size_t i = 0; i < stored.size(); ++i)
      out[i] = static_cast<char>(bytes[static_cast<uint8_t>(stored[i])]);
    return;
  }
  if (utf8_) {
    // Straight into out: bytes that are no character stay as they are.
    for (size_t at = 0; at < stored.size();) {
      const size_t start = at;
      const char32_t c = NextUtf8(stored, at);
      const char32_t other = OtherCase(c, upper, turkicCase_);
      if (other != c)
        AppendUtf8(out, other);
      else
        out.append(stored.substr(start, at - start));
    }
    return;
  }
  // Other multi-byte code pages go through UTF-8; a character keeps its
  // case when the code page lacks the other one.
  std::string text;
  ToUtf8(stored, text);
  std::string changed;
  std::string mapped;
  std::string probe;
  std::string bad;
  for (size_t at = 0; at < text.size();) {
    const size_t start = at;
    const char32_t c = NextUtf8(text, at);
    const char32_t other = OtherCase(c, upper, turkicCase_);
    mapped.clear();
    AppendUtf8(mapped, other);
    if (other != c && FromUtf8(mapped, probe, bad))
      changed += mapped;
    else
      changed.append(text, start, at - start);
  }
  if (!FromUtf8(changed, out, bad)) out.assign(stored);
}

// ---- Collation --------------------------------------------------------------

int CompareStringA(uint32_t lcid, std::string_view a, std::string_view b) {
  const std::string icuLocale = IcuLocaleOf(lcid);
  if (icuLocale.empty()) return 0;
  uint32_t codePage = 0;
  uint32_t oem = 0;
  CodePagesOf(PartsOf(Maximized(icuLocale)), codePage, oem);
  // A locale with Unicode only reads bytes in the system's ANSI code page.
  if (codePage == 0) codePage = GetACP();
  std::u16string wideA;
  std::u16string wideB;
  if (!MultiByteToWideChar(codePage, a, wideA) || !MultiByteToWideChar(codePage, b, wideB)) {
    return 0;
  }

  static std::mutex collatorsMutex;
  static std::map<uint32_t, TCollatorPtr> collators;
  std::lock_guard<std::mutex> lock(collatorsMutex);
  auto found = collators.find(lcid);
  if (found == collators.end()) {
    UErrorCode error = U_ZERO_ERROR;
    TCollatorPtr collator(ucol_open(icuLocale.c_str(), &error));
    if (U_FAILURE(error)) collator.reset();
    found = collators.emplace(lcid, std::move(collator)).first;
  }
  if (!found->second) return 0;
  const UCollationResult result =
      ucol_strcoll(found->second.get(), reinterpret_cast<const UChar*>(wideA.data()),
                   static_cast<int32_t>(wideA.size()), reinterpret_cast<const UChar*>(wideB.data()),
                   static_cast<int32_t>(wideB.size()));
  switch (result) {
    case UCOL_LESS:
      return kCstrLessThan;
    case UCOL_EQUAL:
      return kCstrEqual;
    default:
      return kCstrGreaterThan;
  }
}

}  // namespace platform

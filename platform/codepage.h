#pragma once
// Code pages and locales: the system's ANSI and OEM code pages and default
// locale identifier, the installed code pages and supported locales, locale
// facts, conversion of text between any two code pages (UTF-8 and UTF-16
// included) and locale collation of byte strings. Locales are Windows locale
// identifiers (0x0409 en-US, 0x041F tr-TR); code pages are Windows numbers
// (1252, 437, 65001 for UTF-8). Conversions and collation run on ICU.

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

constexpr uint32_t kCodePageUtf8 = 65001;

// The system's code pages and locale.
struct TSystemLocale {
  uint32_t ansiCodePage = 1252;
  uint32_t oemCodePage = 437;
  uint32_t lcid = 0x0409;
};

// Derives the system settings from a POSIX locale name ("tr_TR.UTF-8",
// "de_DE@euro", "C"): language and territory decide, as Windows
// compatibility layers do. Anything unknown gives 1252, 437, 0x0409.
TSystemLocale SystemLocaleFromName(const std::string& posixLocale);

// The settings in force: derived once from LC_ALL, LC_CTYPE or LANG (the
// first that is set), unless SetSystemLocale replaced them.
const TSystemLocale& SystemLocale();
// Replaces the settings in force (tests fix them this way).
void SetSystemLocale(const TSystemLocale& locale);
// Derives the settings from the process environment again.
void ResetSystemLocale();

inline uint32_t GetACP() { return SystemLocale().ansiCodePage; }
inline uint32_t GetOEMCP() { return SystemLocale().oemCodePage; }
inline uint32_t GetUserDefaultLCID() { return SystemLocale().lcid; }

// True when text in this code page can be converted (ICU has a converter).
bool IsValidCodePage(uint32_t codePage);
// True when the code page can be converted and every character of it is
// one byte, so that text converts byte by byte.
bool IsSingleByteCodePage(uint32_t codePage);
// Every code page that can be converted, ascending (EnumSystemCodePagesA).
std::vector<uint32_t> InstalledCodePages();
// Every specific locale (language and territory) the system supports,
// ascending (EnumSystemLocalesA).
std::vector<uint32_t> SupportedLocales();
bool IsSupportedLocale(uint32_t lcid);

// Facts about a locale (GetLocaleInfoA). An unknown locale gives false.
// The locale's ANSI code page (LOCALE_IDEFAULTANSICODEPAGE): 1252 for
// 0x0409, 1254 for 0x041F, 1251 for 0x0419.
bool LocaleAnsiCodePage(uint32_t lcid, uint32_t& codePage);
// The locale's OEM code page (LOCALE_IDEFAULTCODEPAGE): 437, 857, 866.
bool LocaleOemCodePage(uint32_t lcid, uint32_t& codePage);
// The locale's name with a hyphen ("en-US", "tr-TR").
bool LocaleName(uint32_t lcid, std::string& name);

// Converts text of one code page to UTF-16 (MultiByteToWideChar). False,
// with out untouched, when the code page cannot be converted. Bytes with no
// character become U+FFFD.
bool MultiByteToWideChar(uint32_t codePage, std::string_view text, std::u16string& out);
// Converts UTF-16 to a code page (WideCharToMultiByte). Characters the code
// page lacks become its closest fallback or '?'. False, with out untouched,
// when the code page cannot be converted.
bool WideCharToMultiByte(uint32_t codePage, std::u16string_view text, std::string& out);
// Converts text from one code page to another through UTF-16. The same
// code page copies. False, with out untouched, when either code page cannot
// be converted.
bool ConvertCodePage(uint32_t fromCodePage, uint32_t toCodePage, std::string_view text,
                     std::string& out);
// OEM to ANSI and back with the system's code pages (OemToCharBuffA,
// CharToOemBuffA).
bool OemToChar(std::string_view text, std::string& out);
bool CharToOem(std::string_view text, std::string& out);

// Converts text between one code page and UTF-8, the program's own text.
// Single-byte code pages convert through tables made when the codec is
// made (ASCII copied as it stands); UTF-8 is checked and copied; other
// code pages go through an ICU converter the codec owns. A codec serves one
// thread at a time: make one per open table.
class TTextCodec {
 public:
  // The codec of a code page; nullptr when it cannot be converted.
  static std::unique_ptr<TTextCodec> Make(uint32_t codePage);
  ~TTextCodec();
  TTextCodec(const TTextCodec&) = delete;
  TTextCodec& operator=(const TTextCodec&) = delete;

  uint32_t CodePage() const { return codePage_; }
  // Every character is one byte.
  bool SingleByte() const { return singleByte_; }
  // Bytes 0x00-0x7F are the ASCII characters, both ways.
  bool AsciiCompatible() const { return asciiCompatible_; }

  // text := stored bytes as UTF-8. In single-byte code pages a byte with
  // no character of its own reads as a private-use character that writes
  // back as the same byte, so every stored byte survives a round trip.
  // Bytes that are no character of a multi-byte code page read as U+FFFD.
  void ToUtf8(std::string_view stored, std::string& text);
  // stored := UTF-8 text in the code page. False when a character has no
  // form in it (no best fit, no '?'): bad then holds that character in
  // UTF-8 and stored is unspecified.
  bool FromUtf8(std::string_view text, std::string& stored, std::string& bad);
  // The length of the longest start of stored text, at most width bytes,
  // that ends between two characters.
  size_t CharBoundary(std::string_view stored, size_t width);

  // Letter case, by character: each character's simple upper or lower
  // case (one character for one). Turkic rules pair i with İ and ı with I
  // (Turkish, Azeri); the others pair i with I.
  bool TurkicCase() const { return turkicCase_; }
  void SetTurkicCase(bool turkic);
  // out := stored text in the code page with every character in the other
  // case; a character whose other case the code page lacks stays.
  void ChangeCase(std::string_view stored, bool upper, std::string& out);
  // Single-byte code pages: the byte each byte becomes in upper (lower)
  // case; nullptr for others.
  const uint8_t* CaseBytes(bool upper) const {
    return singleByte_ ? (upper ? upperBytes_.data() : lowerBytes_.data()) : nullptr;
  }

 private:
  TTextCodec() = default;
  void MakeCaseBytes();
  bool FromUtf8Slow(std::string_view text, std::string& stored, std::string& bad);

  uint32_t codePage_ = 0;
  bool singleByte_ = false;
  bool asciiCompatible_ = false;
  bool utf8_ = false;
  // Single-byte code pages: the UTF-8 form of each byte (length first).
  std::array<std::array<char, 4>, 256> utf8Of_{};
  bool turkicCase_ = false;
  std::array<uint8_t, 256> upperBytes_{};
  std::array<uint8_t, 256> lowerBytes_{};
  struct TImpl;
  std::unique_ptr<TImpl> impl_;
};

// Result of CompareStringA; 0 means the comparison failed.
constexpr int kCstrLessThan = 1;
constexpr int kCstrEqual = 2;
constexpr int kCstrGreaterThan = 3;

// Compares two byte strings in the locale's ANSI code page by the locale's
// rules, without flags (case and accents count). Gives kCstrLessThan,
// kCstrEqual, kCstrGreaterThan, or 0 for an unknown locale.
int CompareStringA(uint32_t lcid, std::string_view a, std::string_view b);

}  // namespace platform

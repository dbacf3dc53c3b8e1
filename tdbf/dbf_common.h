#pragma once
// Small pieces every file of the table engine shares: the table formats,
// the handler types the dataset passes down to its files, byte-order access
// to header and record bytes, number text without locale, file-name parts
// and text conversion between code pages.

#include <cstdint>
#include <functional>
#include <string>

// The table formats; TDbf calls them TableLevel 3, 4, 25, 7 and 30 (Visual
// FoxPro: version bytes 0x30, 0x31 and 0x32).
enum TTableFormat : uint8_t { tfDBase3, tfDBase4, tfFoxPro, tfDBase7, tfVisualFoxPro };

// How the dataset wants date-time fields presented. The table file keeps it
// for its callers; the stored encodings do not depend on it.
enum TDateTimeHandling : uint8_t { dtDateTime, dtBDETimeStamp };

// TDbfIndexMissingEvent(var DeleteLink): asked when the production index the
// header names is missing. DeleteLink true drops the link, false abandons the
// open.
using TDbfIndexMissingEvent = std::function<void(bool& deleteLink)>;

// TDbfLocaleErrorEvent(var Error, var Solution): asked when an index cannot
// use the collation of its table. Error is the error number; Solution 0 does
// not open the index, 1 opens it without upkeep, anything else is the locale
// identifier to compare with.
using TLocaleError = int32_t;
using TLocaleSolution = int32_t;
using TDbfLocaleErrorEvent = std::function<void(TLocaleError& error, TLocaleSolution& solution)>;

// ---- Byte order -------------------------------------------------------------
// Header integers of table and dBase memo files are little-endian; binary
// field values and FoxPro memo integers are big-endian.

inline uint16_t GetLE16(const void* p) {
  const auto* b = static_cast<const uint8_t*>(p);
  return static_cast<uint16_t>(b[0] | (b[1] << 8));
}
inline uint32_t GetLE32(const void* p) {
  const auto* b = static_cast<const uint8_t*>(p);
  return static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
         (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24);
}
inline void PutLE16(void* p, uint16_t v) {
  auto* b = static_cast<uint8_t*>(p);
  b[0] = static_cast<uint8_t>(v);
  b[1] = static_cast<uint8_t>(v >> 8);
}
inline void PutLE32(void* p, uint32_t v) {
  auto* b = static_cast<uint8_t*>(p);
  for (int i = 0; i < 4; ++i) b[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint32_t GetBE32(const void* p) {
  const auto* b = static_cast<const uint8_t*>(p);
  return (static_cast<uint32_t>(b[0]) << 24) | (static_cast<uint32_t>(b[1]) << 16) |
         (static_cast<uint32_t>(b[2]) << 8) | static_cast<uint32_t>(b[3]);
}
inline void PutBE32(void* p, uint32_t v) {
  auto* b = static_cast<uint8_t*>(p);
  for (int i = 0; i < 4; ++i) b[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}
inline uint64_t GetBE64(const void* p) {
  const auto* b = static_cast<const uint8_t*>(p);
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = (v << 8) | b[i];
  return v;
}
inline void PutBE64(void* p, uint64_t v) {
  auto* b = static_cast<uint8_t*>(p);
  for (int i = 0; i < 8; ++i) b[i] = static_cast<uint8_t>(v >> (56 - 8 * i));
}

// ---- Number text ------------------------------------------------------------
// dBase numbers are text with "." as decimal point, whatever the locale.

// [text, text + length) as a whole decimal integer with an optional sign.
// False (value untouched) for anything else, including overflow.
bool ParseDecimalInt(const char* text, int length, int64_t& value);

// [text, text + length) as a whole decimal number: optional sign, digits with
// an optional "." part, optional exponent. False for anything else.
bool ParseDecimalFloat(const char* text, int length, double& value);

// value as fixed-point text with decimals digits after "." (none and no
// point for 0), rounded half away from zero on the shortest decimal form of
// the double. "-" only when a nonzero digit remains. Empty for NaN and
// infinities.
std::string FormatFixed(double value, int decimals);

// ---- File names -------------------------------------------------------------

// The name with its extension (from the last "." of the file-name part)
// replaced by ext, which includes the dot (".mdx"); appended when it has none.
std::string ChangeFileExt(const std::string& fileName, const std::string& ext);
// The extension of the file-name part, with its dot; empty when none.
std::string ExtractFileExt(const std::string& fileName);
// The file-name part: what follows the last "/".
std::string ExtractFileName(const std::string& fileName);

// ---- Text conversion --------------------------------------------------------

// Converts length bytes of text from code page fromCp to code page toCp into
// dest, which has room for length bytes; length -1 means up to the source's
// NUL (dest then has room for the NUL too). Source and dest may be the same
// buffer. Between the system's OEM and ANSI code pages the platform's
// OEM/ANSI conversions are used, otherwise conversion through UTF-16. Gives
// the length of the converted text, which is NUL-terminated when shorter
// than length. A conversion the platform cannot make, or whose text would
// not fit in length bytes, leaves dest as it was and gives length.
int TranslateText(int fromCp, int toCp, const char* src, char* dest, int length);

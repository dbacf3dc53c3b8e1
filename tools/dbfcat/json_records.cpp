#include "tools/dbfcat/json_records.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <charconv>
#include <cmath>
#include <string>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "export/table_export.h"
#include "platform/codepage.h"
#include "recordset/fields.h"
#include "runtime/sysutils.h"
#include "tdbf/dataset/dbf.h"
#include "tdbf/file/dbf_dbffile.h"

namespace {

// Records fetched at a time in a walk.
constexpr int kBlockRead = 512;
constexpr char kHexDigits[] = "0123456789abcdef";
// The longest JSON form of one byte of text: "\u00XX".
constexpr size_t kMaxEscape = 6;

// Writes byte c of UTF-8 text as a JSON string holds it and returns the
// end.
char* PutEscaped(char* out, unsigned char c) {
  if (c >= 0x20 && c != '"' && c != '\\') {
    *out = static_cast<char>(c);
    return out + 1;
  }
  *out++ = '\\';
  switch (c) {
    case '"':
    case '\\':
      *out++ = static_cast<char>(c);
      break;
    case '\n':
      *out++ = 'n';
      break;
    case '\r':
      *out++ = 'r';
      break;
    case '\t':
      *out++ = 't';
      break;
    default:
      *out++ = 'u';
      *out++ = '0';
      *out++ = '0';
      *out++ = kHexDigits[c >> 4];
      *out++ = kHexDigits[c & 15];
  }
  return out;
}

char* PutText(char* out, std::string_view text) {
  std::memcpy(out, text.data(), text.size());
  return out + text.size();
}

std::string Hex(const std::string& bytes) {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out += kHexDigits[c >> 4];
    out += kHexDigits[c & 15];
  }
  return out;
}

// A currency value (a count of ten-thousandths) as its exact decimal text,
// without trailing zeros: 185000 is "18.5", -5 is "-0.0005".
std::string CurrencyText(int64_t units) {
  const bool negative = units < 0;
  const uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(units) : units;
  std::string text = (negative ? "-" : "") + std::to_string(magnitude / 10000);
  std::string fraction = std::to_string(magnitude % 10000 + 10000).substr(1);
  while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();
  if (!fraction.empty()) text += "." + fraction;
  return text;
}

// Writes value as width decimal digits, zero-padded, and returns the end.
char* PutDigits(char* at, int value, int width) {
  for (int i = width - 1; i >= 0; --i) {
    at[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  return at + width;
}

std::string DateText(int32_t dayNumber) {
  int year, month, day;
  DecodeDayNumber(dayNumber, year, month, day);
  char text[16];
  if (year < 0 || year > 9999) {
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", year, month, day);
    return text;
  }
  char* at = PutDigits(text, year, 4);
  *at++ = '-';
  at = PutDigits(at, month, 2);
  *at++ = '-';
  PutDigits(at, day, 2);
  return std::string(text, 10);
}

// Number text as dBase stores it, [sign] digits [. digits], reduced to its
// significant digits: the value is d.ddd times 10^exponent. Up to 15
// significant digits a double holds such a number exactly enough that its
// shortest form has the same digits, which lets the value be printed
// without converting it.
struct TDecimal {
  static constexpr int kMaxDigits = 15;
  bool negative = false;
  bool point = false;  // the text has a decimal point
  bool whole = true;   // no digit after the point other than 0
  int count = 0;       // significant digits; 0 for zero
  int exponent = 0;
  // Room beyond the digits, so that any tail of them copies as 16 bytes.
  char digits[2 * (kMaxDigits + 1)];
};

// False when the text has another shape (an exponent, a NUL, letters, no
// digit) or more significant digits than kMaxDigits.
bool ParseDecimal(const char* p, const char* end, TDecimal& d) {
  auto digitsFrom = [end](const char* q) {
    while (q < end && *q >= '0' && *q <= '9') ++q;
    return q;
  };
  if (p < end && (*p == '+' || *p == '-')) d.negative = *p++ == '-';
  const char* integral = p;
  while (p < end && *p == '0') ++p;
  // [first, integralEnd): the whole part without its leading zeros;
  // [fraction, fractionEnd): the digits after the point.
  const char* first = p;
  const char* integralEnd = digitsFrom(p);
  const char* fraction = integralEnd;
  const char* fractionEnd = integralEnd;
  if (integralEnd < end && *integralEnd == '.') {
    d.point = true;
    fraction = integralEnd + 1;
    fractionEnd = digitsFrom(fraction);
  }
  if (fractionEnd != end || (integralEnd == integral && fractionEnd == fraction)) return false;
  const char* last = fractionEnd;  // after the last digit other than 0
  while (last > fraction && last[-1] == '0') --last;
  d.whole = last == fraction;
  if (first < integralEnd) {
    if (d.whole) {
      last = integralEnd;
      while (last[-1] == '0') --last;
    }
    const auto whole = static_cast<int>(std::min(last, integralEnd) - first);
    const auto after = static_cast<int>(d.whole ? 0 : last - fraction);
    d.count = whole + after;
    if (d.count > TDecimal::kMaxDigits) return false;
    d.exponent = static_cast<int>(integralEnd - first) - 1;
    std::memcpy(d.digits, first, static_cast<size_t>(whole));
    std::memcpy(d.digits + whole, fraction, static_cast<size_t>(after));
    return true;
  }
  if (d.whole) return true;  // zero
  const char* significant = fraction;
  while (*significant == '0') ++significant;
  d.count = static_cast<int>(last - significant);
  if (d.count > TDecimal::kMaxDigits) return false;
  d.exponent = -static_cast<int>(significant - fraction) - 1;
  std::memcpy(d.digits, significant, static_cast<size_t>(d.count));
  return true;
}

// Writes count zeros; up to kZeroBlock of them as one block.
constexpr int kZeroBlock = 24;
char* PutZeros(char* out, int count) {
  if (count <= kZeroBlock)
    std::memset(out, '0', kZeroBlock);
  else
    std::memset(out, '0', static_cast<size_t>(count));
  return out + count;
}

// Writes the significant digits d.digits[from, d.count) as one block of 16.
char* PutDigitsOf(char* out, const TDecimal& d, int from = 0) {
  std::memcpy(out, d.digits + from, TDecimal::kMaxDigits + 1);
  return out + (d.count - from);
}

// A whole number of at most 15 digits as an integer: 1200, -5, 0.
char* PutWhole(char* out, const TDecimal& d) {
  if (d.count == 0) {
    *out++ = '0';
    return out;
  }
  if (d.negative) *out++ = '-';
  return PutZeros(PutDigitsOf(out, d), d.exponent + 1 - d.count);
}

// Whether the shortest text of the number's double is in fixed-point
// form: it is the shorter of fixed-point and scientific, fixed on a tie.
bool FixedIsShorter(const TDecimal& d) {
  const int n = d.count, x = d.exponent;
  const int fixedLength = x >= n - 1 ? x + 1 : x >= 0 ? n + 1 : n + 1 - x;
  const int scientificLength = n + (n > 1 ? 1 : 0) + 2 + (std::abs(x) >= 100 ? 3 : 2);
  return fixedLength <= scientificLength;
}

// The number as the shortest text of its double, ".0" after a whole number
// in fixed-point form; -0 is "-0.0". Up to 24 bytes. REQUIRES: a whole
// number in fixed-point form has at most 15 digits (beyond, the double's
// own digits are printed, not the text's).
char* PutShortest(char* out, const TDecimal& d) {
  if (d.negative) *out++ = '-';
  if (d.count == 0) return PutText(out, "0.0");
  const int n = d.count, x = d.exponent;
  if (FixedIsShorter(d)) {
    assert(x < n - 1 || x < TDecimal::kMaxDigits);
    if (x >= n - 1) return PutText(PutZeros(PutDigitsOf(out, d), x + 1 - n), ".0");
    if (x >= 0) {
      // The digits, then the fraction's digits again one place further on.
      PutDigitsOf(out, d);
      out += x + 1;
      *out++ = '.';
      return PutDigitsOf(out, d, x + 1);
    }
    out = PutZeros(PutText(out, "0."), -x - 1);
    return PutDigitsOf(out, d);
  }
  *out++ = d.digits[0];
  if (n > 1) {
    *out++ = '.';
    out = PutDigitsOf(out, d, 1);
  }
  *out++ = 'e';
  *out++ = x < 0 ? '-' : '+';
  const int magnitude = std::abs(x);
  return magnitude >= 100 ? PutDigits(out, magnitude, 3) : PutDigits(out, magnitude, 2);
}

// The length of the well-formed UTF-8 character at the start of the n
// bytes at p (1 to 4): no overlong form, no surrogate, nothing beyond
// U+10FFFF. 0 when they start none.
size_t Utf8Length(const char* p, size_t n) {
  const auto byte = [p](size_t i) { return static_cast<uint8_t>(p[i]); };
  const uint8_t lead = byte(0);
  size_t length = 0;
  uint8_t low = 0x80, high = 0xBF;  // the range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong form
    if (lead == 0xED) high = 0x9F;  // no surrogate
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // no overlong form
    if (lead == 0xF4) high = 0x8F;  // nothing beyond U+10FFFF
  }
  if (length == 0 || length > n || byte(1) < low || byte(1) > high) return 0;
  for (size_t i = 2; i < length; ++i)
    if ((byte(i) & 0xC0) != 0x80) return 0;
  return length;
}

// How a field's values are printed, worked out once per table. The kinds
// that read blocks of 16 bytes leave what they do not take to the kind
// before them.
enum TColumnKind {
  ckField,          // through the TField
  ckText,           // C: the bytes through the code page's tables
  ckShortText,      // C of up to 16 bytes, 16 bytes of record from its start
  ckMediumText,     // C of 17 to 32 bytes
  ckNumber,         // N, F: the digits
  ckWholeNumber,    // N, F of up to 16 bytes printed as integers
  ckDecimalNumber,  // N, F of up to 16 bytes printed as the shortest double
  ckDate,           // D: YYYYMMDD rearranged
  ckLogical,        // L
  ckKey,            // no field: the leading part of a long member name
  ckEnd,            // no field: the end of the record's line
};

bool IsText(TColumnKind kind) {
  return kind == ckText || kind == ckShortText || kind == ckMediumText;
}

// Enough for the members of names of up to 10 characters (dBase III and
// IV); longer ones take several blocks.
constexpr size_t kKeyBlock = 16;

// A column's member name, ", " (but for the first), the name as JSON, ": ",
// is copied as one block of kKeyBlock bytes (of which keyLength count).
struct TColumn {
  char key[kKeyBlock];
  size_t keyLength;
  TColumnKind kind;
  int offset;  // in the record image
  int size;
  // Numbers of up to 16 bytes: the 16 bytes of the record from window hold
  // the field, in the bytes whose bits are set in lanes.
  int window;
  uint32_t lanes;
  int mostDigits;    // that an integer of the field's type takes
  bool wholeNumber;  // a float field printed as an integer when it is one
  TField* field;
  const TDbfFieldDef* def;  // nullptr for a field of no table column
  TStringField* text;       // text fields, read without a copy per value
};

// The JSON form of one byte of stored text: its character in UTF-8, with
// the escapes a JSON string needs. Eight bytes, so that it copies as one
// word.
struct TByteText {
  char text[7];
  uint8_t length;
};

// Words of record bytes are read with the first byte lowest.
static_assert(std::endian::native == std::endian::little);

constexpr uint64_t kEachByte = 0x0101010101010101ull;

// The high bit of each byte of a word of 8 bytes of ASCII text that does
// not go into a JSON string as it stands (for the first such byte at least):
// bytes below 0x20 (NUL included), from 0x80, '"' and '\\'. 0 when the word
// goes as it is.
uint64_t NotPlainAscii(uint64_t w) {
  auto hasZeroByte = [](uint64_t v) { return (v - kEachByte) & ~v & (kEachByte * 0x80); };
  const uint64_t below20 = (w - kEachByte * 0x20) & ~w & (kEachByte * 0x80);
  return (w & (kEachByte * 0x80)) | below20 | hasZeroByte(w ^ (kEachByte * '"')) |
         hasZeroByte(w ^ (kEachByte * '\\'));
}

bool PlainAscii(uint64_t w) { return NotPlainAscii(w) == 0; }

uint64_t Word(const char* p) {
  uint64_t w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

constexpr uint64_t kBlanks = kEachByte * ' ';

// The length of f[0, length) without its trailing blanks, eight bytes at a
// time; the first 1-7 bytes of a field of 8 or more are the low bytes of
// its first word.
[[gnu::always_inline]] inline size_t TrimmedLength(const char* f, size_t length) {
  if (length < 8) {
    while (length > 0 && f[length - 1] == ' ') --length;
    return length;
  }
  for (; length >= 8; length -= 8) {
    const uint64_t other = Word(f + length - 8) ^ kBlanks;
    if (other != 0) return length - 8 + static_cast<size_t>((63 - std::countl_zero(other)) / 8) + 1;
  }
  if (length == 0) return 0;
  const uint64_t other = (Word(f) ^ kBlanks) & ((uint64_t{1} << (8 * length)) - 1);
  return other == 0 ? 0 : static_cast<size_t>((63 - std::countl_zero(other)) / 8) + 1;
}

// The first byte of [p, end) that is no blank, or end.
const char* SkipBlanks(const char* p, const char* end) {
  for (; end - p >= 8; p += 8) {
    const uint64_t other = Word(p) ^ kBlanks;
    if (other != 0) return p + std::countr_zero(other) / 8;
  }
  while (p < end && *p == ' ') ++p;
  return p;
}

// Sixteen bytes handled at once (the compiler's vector extension: SSE2 on
// x86-64, plain code elsewhere).
using TByteBlock = uint8_t __attribute__((vector_size(16)));
using TSignedBlock = int8_t __attribute__((vector_size(16)));

TByteBlock Block(const char* p) {
  TByteBlock block;
  std::memcpy(&block, p, sizeof block);
  return block;
}

// One bit for each byte of a comparison's result that holds, the first
// byte's lowest.
uint32_t Bits(TSignedBlock hits) {
#if defined(__SSE2__)
  return static_cast<uint32_t>(_mm_movemask_epi8(reinterpret_cast<__m128i>(hits)));
#else
  uint32_t bits = 0;
  for (int i = 0; i < 16; ++i) bits |= uint32_t{hits[i] != 0} << i;
  return bits;
#endif
}

// The bytes that do not go into a JSON string as they are: below 0x20
// (NUL included; as signed bytes, those from 0x80 are below it too), '"'
// and '\\'.
TSignedBlock NotPlain(TByteBlock block) {
  const auto signedBlock = reinterpret_cast<TSignedBlock>(block);
  return (signedBlock < 0x20) | (block == '"') | (block == '\\');
}

// A bit for each byte that is no blank.
uint32_t StoredBits(TByteBlock block) { return Bits(block == ' ') ^ 0xFFFF; }

// Text of up to 16 bytes of which every byte goes into a JSON string as it
// is, copied as one block of 16 bytes along with the trailing blanks, which
// are then left out; blank text is the empty string. nullptr for any other
// text (NULs, control bytes, quotes, bytes from 0x80). REQUIRES: 16 bytes
// can be read at f.
char* PutShortPlainText(char* out, const char* f, int size) {
  const TByteBlock block = Block(f);
  const uint32_t field = (uint32_t{2} << (size - 1)) - 1;
  const uint32_t stored = StoredBits(block) & field;
  if (stored == 0) return PutText(out, "\"\"");
  if ((Bits(NotPlain(block)) & field) != 0) return nullptr;
  *out = '"';
  std::memcpy(out + 1, &block, sizeof block);
  out += 33 - std::countl_zero(stored);
  *out++ = '"';
  return out;
}

// The same for text of 17 to 32 bytes, as two blocks that overlap.
char* PutMediumPlainText(char* out, const char* f, int size) {
  const TByteBlock head = Block(f);
  const TByteBlock tail = Block(f + size - 16);
  const uint32_t stored = StoredBits(head) | StoredBits(tail) << (size - 16);
  if (stored == 0) return PutText(out, "\"\"");
  if (Bits(NotPlain(head) | NotPlain(tail)) != 0) return nullptr;
  *out = '"';
  std::memcpy(out + 1, &head, sizeof head);
  std::memcpy(out + 1 + size - 16, &tail, sizeof tail);
  out += 33 - std::countl_zero(stored);
  *out++ = '"';
  return out;
}

// Copies the 1 to 16 bytes of [p, p + n) as at most two overlapping
// blocks, reading no byte outside them, and returns the end.
char* PutShortText(char* out, const char* p, size_t n) {
  if (n >= 8) {
    std::memcpy(out, p, 8);
    std::memcpy(out + n - 8, p + n - 8, 8);
  } else if (n >= 4) {
    std::memcpy(out, p, 4);
    std::memcpy(out + n - 4, p + n - 4, 4);
  } else {
    for (size_t i = 0; i < n; ++i) out[i] = p[i];
  }
  return out + n;
}

// A bit for each byte that is a digit.
uint32_t DigitBits(TByteBlock block) {
  // Digits become the 10 lowest signed bytes.
  const auto shifted = reinterpret_cast<TSignedBlock>(block + static_cast<uint8_t>(0x80 - '0'));
  return Bits(shifted < -128 + 10);
}

// A number field of up to 16 bytes read as one block, in the shapes most
// numbers have: blanks, an optional '-', digits with at most one point,
// blanks. The output is then a run of the stored text: the digits from the
// first significant one, up to the last digit of the fraction that is not
// 0, after a "0" for a number below 1 and before a ".0" for a whole float.
// nullptr for every other text, and for numbers whose shortest text is in
// scientific form or that have more digits than the field's type or a
// double holds exactly; PutNumber takes those.
char* PutWindowNumber(char* out, const TColumn& column, const char* image, bool decimal) {
  const char* window = image + column.window;
  const TByteBlock block = Block(window);
  // Writes the window's bytes [from, to), as one block of 16.
  const auto putRun = [window](char* at, int from, int to) {
    unsigned __int128 bytes;
    std::memcpy(&bytes, window, sizeof bytes);
    bytes >>= 8 * from;
    std::memcpy(at, &bytes, sizeof bytes);
    return at + (to - from);
  };
  const uint32_t stored = StoredBits(block) & column.lanes;
  if (stored == 0) return PutText(out, "null");
  int first = std::countr_zero(stored);
  const int end = 32 - std::countl_zero(stored);
  const bool negative = window[first] == '-';
  first += negative;
  // The text between the sign and the trailing blanks: digits and at most
  // one point.
  const uint32_t body = (uint32_t{1} << end) - (uint32_t{1} << first);
  const uint32_t other = body & ~DigitBits(block);
  if (other == body || (other & (other - 1)) != 0) return nullptr;
  // The bytes of the body other than '0', and a mark after its end.
  const uint32_t notZero = (body & ~Bits(block == '0')) | uint32_t{1} << end;
  if (!decimal) {
    if (other != 0) return nullptr;
    const int from = std::countr_zero(notZero);
    if (from == end) return PutText(out, "0");
    if (end - from > column.mostDigits) return nullptr;
    if (negative) *out++ = '-';
    return putRun(out, from, end);
  }
  // A float keeps its sign, even on zero.
  const int point = other != 0 ? std::countr_zero(other) : end;
  if (other != 0 && window[point] != '.') return nullptr;
  const int from = std::countr_zero(notZero);  // the point when the whole part is 0
  const uint32_t fraction = notZero & ~((uint32_t{2} << point) - 1) & ~(uint32_t{1} << end);
  if (negative) *out++ = '-';
  if (fraction != 0) {
    const int last = 32 - std::countl_zero(fraction);  // after its last digit other than 0
    // d.ddd: the stored digits, point and all.
    if (from < point) {
      if (last - 1 - from > TDecimal::kMaxDigits) return nullptr;
      return putRun(out, from, last);
    }
    // 0.ddd, which is shorter than d.dde-x with at most two zeros after
    // the point, three for more than one significant digit.
    const int significant = std::countr_zero(fraction);
    const int count = last - significant;
    if (count > TDecimal::kMaxDigits || significant - point - 1 > 2 + (count > 1)) return nullptr;
    *out++ = '0';
    return putRun(out, point, last);
  }
  if (from >= point) return PutText(out, "0.0");
  // ddd.0, which is shorter than d.dde+x unless it ends in more than four
  // zeros, five for more than one significant digit.
  const int digitsEnd = 32 - std::countl_zero(notZero & ((uint32_t{1} << point) - 1));
  const int length = point - from, zeros = point - digitsEnd;
  if (length > TDecimal::kMaxDigits || zeros > 4 + (length - zeros > 1)) return nullptr;
  return PutText(putRun(out, from, point), ".0");
}

class TRecordPrinter {
 public:
  TRecordPrinter(TDbf& dbf, TValuePath path);
  // Prints the line of the record whose image the set shows.
  void Print(TJsonLine& line, const char* image);

 private:
  void MakeColumns(TDbf& dbf, TValuePath path);
  void MakeByteTexts();
  void PrintField(TJsonLine& line, TColumn& column, const char* image);
  char* PutStoredText(char* out, const char* f, int size);
  char* PutNumber(char* out, const TColumn& column, const char* f);
  char* PutDate(char* out, const char* f);
  char* PutLogical(char* out, const char* f, int size);

  std::vector<TColumn> columns_;
  // The most bytes the direct path writes for one record.
  size_t recordRoom_ = 0;
  std::unique_ptr<platform::TTextCodec> codec_;
  // Single-byte code pages take every byte from byteTexts_; other code
  // pages only text that is all ASCII, the rest through the codec.
  bool byteByByte_ = false;
  bool asciiWords_ = false;  // bytes below 0x80 are ASCII
  bool utf8_ = false;        // the code page is UTF-8: the text is its own UTF-8
  std::array<TByteText, 256> byteTexts_{};
  std::string scratch_;
};

TRecordPrinter::TRecordPrinter(TDbf& dbf, TValuePath path) {
  codec_ = platform::TTextCodec::Make(static_cast<uint32_t>(dbf.TableCodePage()));
  if (codec_) MakeByteTexts();
  MakeColumns(dbf, path);
}

void TRecordPrinter::MakeByteTexts() {
  byteByByte_ = codec_->SingleByte();
  asciiWords_ = codec_->AsciiCompatible();
  utf8_ = codec_->CodePage() == platform::kCodePageUtf8;
  std::string utf8;
  for (int byte = 0; byte < 256; ++byte) {
    TByteText& entry = byteTexts_[static_cast<size_t>(byte)];
    if (byteByByte_)
      codec_->ToUtf8(std::string(1, static_cast<char>(byte)), utf8);
    else
      utf8.assign(1, static_cast<char>(byte));
    char json[3 * kMaxEscape];
    char* end = json;
    for (char c : utf8) end = PutEscaped(end, static_cast<unsigned char>(c));
    entry.length = static_cast<uint8_t>(std::min<ptrdiff_t>(end - json, sizeof entry.text));
    std::memcpy(entry.text, json, entry.length);
  }
}

void TRecordPrinter::MakeColumns(TDbf& dbf, TValuePath path) {
  TDbfFile& file = *dbf.DbfFile();
  // Visual FoxPro tables keep null flags of their own; their values go
  // through the fields.
  const auto version = static_cast<uint8_t>(file.Header()[0]);
  const bool direct = path == vpDirect && (version < 0x30 || version > 0x32);
  const int recordSize = file.RecordSize();
  recordRoom_ = 64;
  for (int i = 0; i < dbf.FieldCount(); ++i) {
    TField* field = dbf.Fields(i);
    TJsonLine key;
    if (i > 0) key.Raw(", ");
    key.String(field->FieldName());
    key.Raw(": ");
    // A name too long for one block goes out in parts, the leading ones as
    // columns of their own.
    std::string_view keyText = key.Text();
    for (; keyText.size() > kKeyBlock; keyText.remove_prefix(kKeyBlock)) {
      TColumn part{};
      part.kind = ckKey;
      part.keyLength = kKeyBlock;
      std::memcpy(part.key, keyText.data(), kKeyBlock);
      columns_.push_back(part);
      recordRoom_ += kKeyBlock;
    }
    TColumn column{};
    column.field = field;
    column.keyLength = keyText.size();
    std::memcpy(column.key, keyText.data(), keyText.size());
    recordRoom_ += kKeyBlock;
    if (field->DataType() == ftString || field->DataType() == ftFixedChar)
      column.text = dynamic_cast<TStringField*>(field);
    if (field->FieldNo() < 1 || field->FieldNo() > file.FieldDefs().Count()) {
      columns_.push_back(column);
      continue;
    }
    const TDbfFieldDef& def = file.FieldDefs()[field->FieldNo() - 1];
    column.def = &def;
    column.wholeNumber = def.Precision() == 0 && def.NativeFieldType() != 'O';
    column.offset = def.Offset();
    column.size = def.Size();
    if (direct && def.Size() > 0 && !def.IsBinary()) {
      const TFieldType type = field->DataType();
      switch (def.NativeFieldType()) {
        case 'C':
          if (column.text != nullptr && column.text->Transliterate() && codec_)
            column.kind = ckText;
          break;
        case 'N':
        case 'F':
          if (type == ftFloat || type == ftSmallint || type == ftInteger || type == ftLargeint)
            column.kind = ckNumber;
          break;
        case 'D':
          if (type == ftDate && def.Size() == 8) column.kind = ckDate;
          break;
        case 'L':
          if (type == ftBoolean) column.kind = ckLogical;
          break;
        default:
          break;
      }
    }
    // Sixteen bytes are read from a field only inside the record.
    if (column.kind == ckText && asciiWords_) {
      if (column.size <= 16 && column.offset + 16 <= recordSize)
        column.kind = ckShortText;
      else if (column.size > 16 && column.size <= 32)
        column.kind = ckMediumText;
    }
    if (column.kind == ckNumber && column.size <= 16 && recordSize >= 16) {
      const TFieldType type = field->DataType();
      column.kind = type == ftFloat && !column.wholeNumber ? ckDecimalNumber : ckWholeNumber;
      column.window = std::min(column.offset, recordSize - 16);
      column.lanes = ((uint32_t{2} << (column.size - 1)) - 1) << (column.offset - column.window);
      column.mostDigits = type == ftSmallint ? 4 : type == ftInteger ? 9 : TDecimal::kMaxDigits;
    }
    if (IsText(column.kind))
      recordRoom_ += static_cast<size_t>(column.size) * sizeof(TByteText) + 16;
    else if (column.kind != ckField)
      recordRoom_ += 64;
    columns_.push_back(column);
  }
  TColumn end{};
  end.kind = ckEnd;
  end.keyLength = 3;
  std::memcpy(end.key, "}}\n", 3);
  columns_.push_back(end);
  recordRoom_ += kKeyBlock;
}

// The record is written through a pointer into room for the whole record;
// values the direct path leaves to their field are written through the
// line, and the room is taken again after them.
void TRecordPrinter::Print(TJsonLine& line, const char* image) {
  // The start of a live and of a deleted record's line, each copied as one
  // block of 32 bytes.
  static constexpr char kStarts[2][32] = {"{\"deleted\": false, \"values\": {",
                                          "{\"deleted\": true, \"values\": {"};
  constexpr size_t kStartLengths[2] = {std::string_view(kStarts[0]).size(),
                                       std::string_view(kStarts[1]).size()};
  const bool deleted = image[0] == '*';
  char* out = line.Reserve(recordRoom_);
  std::memcpy(out, kStarts[deleted], sizeof kStarts[deleted]);
  out += kStartLengths[deleted];
  // The last column ends the line.
  for (TColumn* next = columns_.data();; ++next) {
    TColumn& column = *next;
    std::memcpy(out, column.key, kKeyBlock);
    out += column.keyLength;
    const char* f = image + column.offset;
    char* end = nullptr;
    switch (column.kind) {
      case ckKey:
        continue;
      case ckEnd:
        line.Commit(out);
        return;
      case ckShortText:
        end = PutShortPlainText(out, f, column.size);
        if (end == nullptr) end = PutStoredText(out, f, column.size);
        break;
      case ckMediumText:
        end = PutMediumPlainText(out, f, column.size);
        if (end == nullptr) end = PutStoredText(out, f, column.size);
        break;
      case ckText:
        end = PutStoredText(out, f, column.size);
        break;
      case ckWholeNumber:
      case ckDecimalNumber:
        end = PutWindowNumber(out, column, image, column.kind == ckDecimalNumber);
        if (end == nullptr) end = PutNumber(out, column, f);
        break;
      case ckNumber:
        end = PutNumber(out, column, f);
        break;
      case ckDate:
        end = PutDate(out, f);
        break;
      case ckLogical:
        end = PutLogical(out, f, column.size);
        break;
      case ckField:
        break;
      default:
        __builtin_unreachable();
    }
    if (end != nullptr) {
      out = end;
      continue;
    }
    line.Commit(out);
    if (IsText(column.kind)) {
      // Text in a multi-byte code page that is not all ASCII.
      auto stored = static_cast<size_t>(column.size);
      while (stored > 0 && f[stored - 1] == ' ') --stored;
      codec_->ToUtf8(std::string_view(f, strnlen(f, stored)), scratch_);
      line.String(scratch_);
    } else {
      PrintField(line, column, image);
    }
    out = line.Reserve(recordRoom_);
  }
}

// Text is the field's bytes up to the trailing blanks and the first NUL;
// blank text is the empty string. Plain ASCII goes eight bytes at a time,
// other bytes through their JSON texts. nullptr for text the byte tables
// cannot take: multi-byte code pages other than UTF-8, and text that is not
// all ASCII in UTF-8.
char* TRecordPrinter::PutStoredText(char* out, const char* f, int size) {
  const size_t end = TrimmedLength(f, static_cast<size_t>(size));
  if (!byteByByte_ && !asciiWords_) return nullptr;
  *out++ = '"';
  size_t i = 0;
  if (asciiWords_ && size >= 8) {
    // Eight bytes at a time from the start. The bytes of a word after the
    // text are trailing blanks, which go as they are; the field's last word
    // is read where the field ends, and writes again the bytes before it
    // that are already out.
    const size_t last = static_cast<size_t>(size) - 8;
    while (i < end) {
      const size_t at = std::min(i, last);
      const uint64_t w = Word(f + at);
      if (!PlainAscii(w)) break;
      std::memcpy(out + at, &w, sizeof w);
      i = at + 8;
    }
    if (i >= end) {
      out += end;
      *out++ = '"';
      return out;
    }
    out += i;
  }
  for (; i < end; ++i) {
    const auto c = static_cast<unsigned char>(f[i]);
    if (c == 0) break;
    if (c >= 0x80 && !byteByByte_) {
      // A well-formed UTF-8 character goes as it is; anything else is left
      // to the codec, which marks it.
      const size_t length = utf8_ ? Utf8Length(f + i, end - i) : 0;
      if (length == 0) return nullptr;
      for (size_t k = 0; k < length; ++k) *out++ = f[i + k];
      i += length - 1;
      continue;
    }
    std::memcpy(out, &byteTexts_[c], sizeof(TByteText));
    out += byteTexts_[c].length;
  }
  *out++ = '"';
  return out;
}

// The two shapes most numbers have, whose text is their output once the
// leading zeros (and trailing zeros of a fraction) are gone: a whole
// number without a point, and a number with a whole part and a fraction
// that are not 0, 15 digits at most. nullptr for other text.
char* PutPlainNumber(char* out, const TColumn& column, const char* p, const char* end) {
  const TFieldType type = column.field->DataType();
  const bool negative = *p == '-';
  if (negative) ++p;
  const char* digits = p;
  while (p < end && *p == '0') ++p;
  const char* significant = p;
  while (p < end && *p >= '0' && *p <= '9') ++p;
  const auto whole = static_cast<size_t>(p - significant);
  if (p == end) {
    // No point: only integer fields and float fields without decimals,
    // at most as many digits as the field's type holds exactly.
    const size_t most = type == ftSmallint ? 4 : type == ftInteger ? 9 : 15;
    if (p == digits || whole > most || (type == ftFloat && !column.wholeNumber)) return nullptr;
    if (whole == 0) return PutText(out, "0");
    if (negative) *out++ = '-';
    return PutShortText(out, significant, whole);
  }
  if (*p != '.' || whole == 0 || type != ftFloat) return nullptr;
  const char* fraction = ++p;
  while (p < end && *p >= '0' && *p <= '9') ++p;
  if (p != end) return nullptr;
  while (p > fraction && p[-1] == '0') --p;
  if (p == fraction || whole + static_cast<size_t>(p - fraction) > TDecimal::kMaxDigits)
    return nullptr;
  if (negative) *out++ = '-';
  return PutShortText(out, significant, static_cast<size_t>(p - significant));
}

// The same for number text of at most 8 bytes that ends at least 8 bytes
// into its field, classified as one word.
char* PutShortNumber(char* out, const TColumn& column, const char* start, const char* end) {
  constexpr uint64_t kHigh = kEachByte * 0x80;
  auto length = static_cast<int>(end - start);
  // The text in the low bytes, the first byte lowest.
  uint64_t w = Word(end - 8) >> (8 * (8 - length));
  const bool negative = (w & 0xFF) == '-';
  if (negative) {
    w >>= 8;
    --length;
  }
  if (length == 0) return nullptr;
  const uint64_t text = length == 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * length)) - 1;
  const uint64_t x = w ^ (kEachByte * '0');
  // High bits of the bytes that are no digit, and of those that are '0'.
  const uint64_t other = (((x & ~kHigh) + kEachByte * (0x80 - 10)) | x) & kHigh & text;
  const uint64_t zeros = ~(((x & ~kHigh) + ~kHigh) | x) & kHigh & text;
  const int leadingZeros = std::countr_zero(~zeros & kHigh) / 8;
  const TFieldType type = column.field->DataType();
  if (other == 0) {
    if (type == ftSmallint && length - leadingZeros > 4) return nullptr;
    if (type == ftFloat && !column.wholeNumber) return nullptr;
    if (leadingZeros == length) return PutText(out, "0");
    if (negative) *out++ = '-';
    const uint64_t digits = w >> (8 * leadingZeros);
    std::memcpy(out, &digits, sizeof digits);
    return out + (length - leadingZeros);
  }
  // One point, after a whole part and before a fraction that are not 0.
  if (type != ftFloat || (other & (other - 1)) != 0) return nullptr;
  const int point = std::countr_zero(other) / 8;
  if (((w >> (8 * point)) & 0xFF) != '.' || leadingZeros >= point) return nullptr;
  const int last = (63 - std::countl_zero(~zeros & kHigh & text)) / 8;
  if (last == point) return nullptr;
  if (negative) *out++ = '-';
  const uint64_t digits = w >> (8 * leadingZeros);
  std::memcpy(out, &digits, sizeof digits);
  return out + (last + 1 - leadingZeros);
}

// Numbers in the plain dBase shape; nullptr leaves the value to the field
// (exponents, NULs, text that is no number, many digits).
char* TRecordPrinter::PutNumber(char* out, const TColumn& column, const char* f) {
  const char* end = f + TrimmedLength(f, static_cast<size_t>(column.size));
  if (end == f) return PutText(out, "null");
  const char* start = SkipBlanks(f, end);
  const TFieldType type = column.field->DataType();
  if (end - start <= 8 && column.size >= 8) {
    if (char* plain = PutShortNumber(out, column, start, end)) return plain;
  } else if (char* plain = PutPlainNumber(out, column, start, end)) {
    return plain;
  }
  TDecimal d;
  if (!ParseDecimal(start, end, d)) return nullptr;
  if (type == ftFloat) {
    // Whole numbers of more than 15 digits print as their double's digits.
    const bool wholeDigits = d.count > 0 && d.whole && (column.wholeNumber || FixedIsShorter(d));
    if (wholeDigits && d.exponent >= TDecimal::kMaxDigits) return nullptr;
    return column.wholeNumber && d.whole ? PutWhole(out, d) : PutShortest(out, d);
  }
  // Integer fields: their text has no point and at most 18 digits.
  if (d.point || d.exponent >= 18) return nullptr;
  int64_t value = 0;
  for (int i = 0; i <= d.exponent && d.count > 0; ++i)
    value = value * 10 + (i < d.count ? d.digits[i] - '0' : 0);
  if (d.negative) value = -value;
  if (type == ftSmallint && (value < INT16_MIN || value > INT16_MAX)) value = 0;
  if (type == ftInteger && (value < INT32_MIN || value > INT32_MAX)) value = 0;
  return std::to_chars(out, out + 24, value).ptr;
}

// A date of the calendar, YYYYMMDD, prints as "YYYY-MM-DD", a blank one as
// null; nullptr leaves anything else to the field.
char* TRecordPrinter::PutDate(char* out, const char* f) {
  const uint64_t w = Word(f);
  if (w == kBlanks) return PutText(out, "null");
  // Eight digits: each byte 0x30-0x39, so 0x36-0x3F after adding 6.
  constexpr uint64_t kHighNibbles = kEachByte * 0xF0;
  if ((w & kHighNibbles) != kEachByte * 0x30 ||
      ((w + kEachByte * 6) & kHighNibbles) != kEachByte * 0x30)
    return nullptr;
  // The days of each month; February's 29th is looked at apart.
  static constexpr uint8_t kDays[13] = {0, 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const auto month = static_cast<unsigned>((f[4] - '0') * 10 + (f[5] - '0'));
  const auto day = static_cast<unsigned>((f[6] - '0') * 10 + (f[7] - '0'));
  constexpr uint64_t kYearBytes = 0xFFFFFFFF;
  if ((w & kYearBytes) == (kEachByte * '0' & kYearBytes) || month - 1 > 11 || day == 0)
    return nullptr;
  if (day > kDays[month]) {
    const int year = (f[0] - '0') * 1000 + (f[1] - '0') * 100 + (f[2] - '0') * 10 + (f[3] - '0');
    if (month != 2 || day != 29 || !IsLeapYear(year)) return nullptr;
  }
  // "YYYY-MM-DD" with its quotes as a word of eight bytes and one of four.
  const uint64_t head =
      '"' | (w & kYearBytes) << 8 | uint64_t{'-'} << 40 | (w >> 32 & 0xFFFF) << 48;
  const auto tail = static_cast<uint32_t>('-' | (w >> 48) << 8 | uint32_t{'"'} << 24);
  std::memcpy(out, &head, sizeof head);
  std::memcpy(out + 8, &tail, sizeof tail);
  return out + 12;
}

// T, t, Y and y are true, "?" and blanks no value, anything else false.
char* TRecordPrinter::PutLogical(char* out, const char* f, int size) {
  int end = size;
  while (end > 0 && f[end - 1] == ' ') --end;
  int start = 0;
  while (start < end && f[start] == ' ') ++start;
  if (start == end || (end - start == 1 && f[start] == '?')) return PutText(out, "null");
  const char c = f[start];
  return PutText(out, c == 'T' || c == 't' || c == 'Y' || c == 'y' ? "true" : "false");
}

// The general path: the value as the field reads it, decoded once (a
// field without a value reads as false).
void TRecordPrinter::PrintField(TJsonLine& line, TColumn& column, const char* image) {
  TField& field = *column.field;
  if (const TDbfFieldDef* def = column.def) {
    // A field whose null bit is set has no value, whatever its bytes hold.
    if (def->NullFlagMask() != 0 && (image[def->NullFlagAt()] & def->NullFlagMask()) != 0) {
      line.Null();
      return;
    }
    // Currency is exact in the record; a double would round its last
    // digits.
    if (def->NativeFieldType() == 'Y' && def->Size() == 8) {
      uint64_t units = 0;
      for (int i = 7; i >= 0; --i)
        units = (units << 8) | static_cast<uint8_t>(image[def->Offset() + i]);
      line.String(CurrencyText(static_cast<int64_t>(units)));
      return;
    }
    // Varbinary bytes are no text.
    if (def->NativeFieldType() == 'Q') {
      if (field.ValueIsNull()) {
        line.Null();
      } else {
        line.Raw("{\"$hex\": ");
        line.String(Hex(field.ValueAsString()));
        line.Raw('}');
      }
      return;
    }
  }
  if (column.text != nullptr) {
    // Blank text is the empty string.
    column.text->ReadText(scratch_);
    line.String(scratch_);
    return;
  }
  switch (field.DataType()) {
    case ftSmallint: {
      int16_t value = 0;
      field.GetData(&value) ? line.Integer(value) : line.Null();
      return;
    }
    case ftInteger:
    case ftAutoInc: {
      int32_t value = 0;
      field.GetData(&value) ? line.Integer(value) : line.Null();
      return;
    }
    case ftLargeint: {
      int64_t value = 0;
      field.GetData(&value) ? line.Integer(value) : line.Null();
      return;
    }
    case ftWord:
      if (field.ValueIsNull())
        line.Null();
      else
        line.Integer(field.ValueAsLargeInt());
      return;
    case ftFloat:
    case ftCurrency: {
      double value = 0;
      if (!field.GetData(&value)) {
        line.Null();
      } else if (column.wholeNumber && std::fabs(value) < 1e18 && value == std::trunc(value)) {
        line.Integer(static_cast<int64_t>(value));
      } else {
        line.Float(value);
      }
      return;
    }
    case ftBoolean: {
      int16_t value = 0;
      field.GetData(&value) ? line.Bool(value != 0) : line.Null();
      return;
    }
    case ftDate: {
      int32_t dayNumber = 0;
      field.GetData(&dayNumber) ? line.String(DateText(dayNumber)) : line.Null();
      return;
    }
    case ftDateTime: {
      double milliseconds = 0;
      field.GetData(&milliseconds) ? line.String(IsoDateTimeText(milliseconds)) : line.Null();
      return;
    }
    default:
      break;
  }
  if (field.ValueIsNull()) {
    line.Null();
  } else if (field.IsBlob() && field.DataType() != ftMemo) {
    line.Raw("{\"$hex\": ");
    line.String(Hex(field.ValueAsString()));
    line.Raw('}');
  } else {
    line.String(field.ValueAsString());
  }
}

}  // namespace

void TJsonLine::Key(std::string_view name) {
  Separate();
  String(name);
  Raw(": ");
}

void TJsonLine::Separate() {
  if (size_ == 0) return;
  const char last = data_[size_ - 1];
  if (last != '{' && last != '[' && last != ' ') Raw(", ");
}

void TJsonLine::String(std::string_view text) {
  char* out = Reserve(text.size() * kMaxEscape + 2);
  *out++ = '"';
  for (char c : text) out = PutEscaped(out, static_cast<unsigned char>(c));
  *out++ = '"';
  Commit(out);
}

void TJsonLine::Integer(int64_t value) {
  char* out = Reserve(24);
  Commit(std::to_chars(out, out + 24, value).ptr);
}

void TJsonLine::Float(double value) {
  if (!std::isfinite(value)) {
    Null();
    return;
  }
  char* out = Reserve(64);
  char* end = std::to_chars(out, out + 62, value).ptr;
  if (std::find_if(out, end, [](char c) { return c == '.' || c == 'e'; }) == end)
    end = PutText(end, ".0");
  Commit(end);
}

bool TJsonLine::Flush() {
  if (size_ > 0 && std::fwrite(data_.get(), 1, size_, out_) != size_) failed_ = true;
  size_ = 0;
  return !failed_;
}

void TJsonLine::Grow(size_t n) {
  const size_t capacity = std::max({capacity_ * 2, size_ + n, kBlock * 2});
  auto data = std::make_unique_for_overwrite<char[]>(capacity);
  if (size_ > 0) std::memcpy(data.get(), data_.get(), size_);
  data_ = std::move(data);
  capacity_ = capacity;
}

void PrintRecords(TDbf& dbf, TJsonLine& line, bool all, TValuePath path) {
  TRecordPrinter printer(dbf, path);
  if (!all) {
    if (!dbf.AtEnd()) {
      printer.Print(line, TDbf::RecordImage(dbf.ActiveBuffer()));
    }
    line.Flush();
    return;
  }
  // A walk to the end reads the records in blocks: the set fetches a block
  // at a time and tells no one of each step.
  dbf.First();
  dbf.SetBlockReadSize(kBlockRead);
  for (; !dbf.AtEnd(); dbf.Next()) {
    printer.Print(line, TDbf::RecordImage(dbf.ActiveBuffer()));
    if (line.Full() && !line.Flush()) break;
  }
  dbf.SetBlockReadSize(0);
  line.Flush();
}

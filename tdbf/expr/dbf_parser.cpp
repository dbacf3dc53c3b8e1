#include "tdbf/expr/dbf_parser.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <functional>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "platform/codepage.h"
#include "runtime/exceptions.h"
#include "runtime/sysutils.h"
#include "tdbf/dbf_str.h"
#include "tdbf/expr/dbf_prsfuncs.h"
#include "tdbf/file/dbf_codepage.h"
#include "tdbf/file/dbf_dbffile.h"
#include "tdbf/file/dbf_fields.h"

namespace {

// ---- Addition -----------------------------------------------------------------

// Floating sums are formed in extended precision, where every 64-bit
// integer converts exactly, and rounded to double when stored. Integer
// sums wrap around in two's complement.
template <class A, class B, class R>
void Add(TExprNode* node) {
  const A a = ArgValue<A>(node, 0);
  const B b = ArgValue<B>(node, 1);
  if constexpr (std::is_floating_point_v<R>) {
    StoreResult(node, static_cast<R>(static_cast<long double>(a) + static_cast<long double>(b)));
  } else {
    using U = std::make_unsigned_t<R>;
    StoreResult(node, static_cast<R>(static_cast<U>(static_cast<R>(a)) +
                                     static_cast<U>(static_cast<R>(b))));
  }
}

// ---- Comparison ---------------------------------------------------------------

// Numbers compare exactly: a 64-bit integer against a float in extended
// precision (where it converts exactly), other pairings with a float as
// doubles (exact for 32-bit integers), two integers as 64-bit values.
template <class A, class B, template <class> class Op>
void CompareNumbers(TExprNode* node) {
  const A a = ArgValue<A>(node, 0);
  const B b = ArgValue<B>(node, 1);
  if constexpr ((std::is_same_v<A, int64_t> || std::is_same_v<B, int64_t>)&&(
                    std::is_floating_point_v<A> || std::is_floating_point_v<B>)) {
    StoreBoolean(node, Op<long double>()(static_cast<long double>(a), static_cast<long double>(b)));
  } else if constexpr (std::is_floating_point_v<A> || std::is_floating_point_v<B>) {
    StoreBoolean(node, Op<double>()(static_cast<double>(a), static_cast<double>(b)));
  } else {
    StoreBoolean(node, Op<int64_t>()(static_cast<int64_t>(a), static_cast<int64_t>(b)));
  }
}

// ---- Text by the table's case rules -------------------------------------------

// Every byte as itself: the case table of text compared as stored.
constexpr std::array<uint8_t, 256> kSameBytes = [] {
  std::array<uint8_t, 256> bytes{};
  for (int c = 0; c < 256; ++c) bytes[static_cast<size_t>(c)] = static_cast<uint8_t>(c);
  return bytes;
}();

// A word on text that follows the case rules of the table's code page: the
// comparisons and the case functions. Without a converter (an expression
// of no table) only the letters a-z and A-Z have cases.
class TTextWord : public TFunction {
 public:
  TTextWord(std::string_view name, std::string_view signature, int minArgs,
            TExprResultType resultType, TExprProc proc, bool isOperator, int32_t precedence,
            platform::TTextCodec* codec)
      : TFunction(name, "", signature, minArgs, resultType, proc, isOperator, precedence),
        codec_(codec) {
    for (int c = 0; c < 256; ++c) {
      asciiUpper_[c] = static_cast<uint8_t>(c >= 'a' && c <= 'z' ? c - ('a' - 'A') : c);
      asciiLower_[c] = static_cast<uint8_t>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
    }
    // Turkish i upper-cases to İ, I lower-cases to ı: no ASCII letter is
    // their other case, and 0x80 sorts after ASCII as İ and ı do in UTF-8.
    if (codec_ != nullptr && codec_->TurkicCase()) {
      asciiUpper_['i'] = 0x80;
      asciiLower_['I'] = 0x80;
    }
  }

  // Compares two texts by the table's case rules (see CompareTrimmedText).
  int Compare(const char* a, const char* b) {
    if (codec_ == nullptr) return CompareTrimmedText(a, b, asciiUpper_.data());
    if (const uint8_t* upper = codec_->CaseBytes(true)) return CompareTrimmedText(a, b, upper);
    if (codec_->CodePage() == platform::kCodePageUtf8) return CompareUtf8(a, b);
    if (IsAscii(a) && IsAscii(b)) return CompareTrimmedText(a, b, asciiUpper_.data());
    codec_->ChangeCase(a, true, upperA_);
    codec_->ChangeCase(b, true, upperB_);
    return CompareTrimmedText(upperA_.c_str(), upperB_.c_str(), kSameBytes.data());
  }

  // Appends the text in upper (lower) case to the node's destination.
  void ChangeCase(TExprNode* node, bool upper) {
    const std::string_view text = node->Arg(0);
    const uint8_t* bytes = CaseBytesFor(text, upper);
    if (bytes == nullptr) {
      codec_->ChangeCase(text, upper, changed_);
      node->Dest.AddText(changed_.data(), static_cast<int64_t>(changed_.size()));
      return;
    }
    const int64_t length = static_cast<int64_t>(text.size());
    const int64_t offset = node->Dest.Position() - node->Dest.Memory();
    node->Dest.AddText(text.data(), length);
    char* p = node->Dest.Memory() + offset;
    for (int64_t i = 0; i < length; ++i)
      p[i] = static_cast<char>(bytes[static_cast<uint8_t>(p[i])]);
  }

  // The byte each byte of any text becomes in upper (lower) case, where
  // that does not depend on the text: without a converter and in
  // single-byte code pages; nullptr elsewhere.
  const uint8_t* FixedCaseBytes(bool upper) const {
    if (codec_ == nullptr) return AsciiCaseBytes(upper);
    return codec_->CaseBytes(upper);
  }
  const uint8_t* AsciiCaseBytes(bool upper) const {
    return upper ? asciiUpper_.data() : asciiLower_.data();
  }
  // The byte table that changes the case of text, or nullptr when only
  // the converter can (text beyond ASCII, or a Turkish i, in a code page
  // of several bytes a character).
  const uint8_t* CaseBytesFor(std::string_view text, bool upper) const {
    if (const uint8_t* fixed = FixedCaseBytes(upper)) return fixed;
    return IsAscii(text) && !HasTurkishI(text, upper) ? AsciiCaseBytes(upper) : nullptr;
  }
  // out := text in upper (lower) case through the converter.
  void ConvertCase(std::string_view text, bool upper, std::string& out) {
    codec_->ChangeCase(text, upper, out);
  }

 private:
  static bool IsAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  }
  // An ASCII text whose Turkish case change leaves ASCII (i up, I down).
  bool HasTurkishI(std::string_view text, bool upper) const {
    return codec_->TurkicCase() && text.find(upper ? 'i' : 'I') != std::string_view::npos;
  }

  static bool IsBlankTail(const unsigned char* p) {
    while (*p != 0 && *p < 33) ++p;
    return *p == 0;
  }

  // Both texts trimmed of bytes below 33 at both ends, compared byte by
  // byte through fold; a prefix sorts before the longer text. Works in one
  // pass without measuring the texts: where they first differ, a side with
  // only blanks left has ended there.
  static int CompareTrimmedText(const char* a, const char* b, const uint8_t* fold) {
    const auto* x = reinterpret_cast<const unsigned char*>(a);
    const auto* y = reinterpret_cast<const unsigned char*>(b);
    while (*x != 0 && *x < 33) ++x;
    while (*y != 0 && *y < 33) ++y;
    while (*x != 0 && fold[*x] == fold[*y]) ++x, ++y;
    const bool xEnded = IsBlankTail(x);
    const bool yEnded = IsBlankTail(y);
    if (xEnded || yEnded) return xEnded == yEnded ? 0 : (xEnded ? -1 : 1);
    return fold[*x] < fold[*y] ? -1 : 1;
  }

  // UTF-8 texts: ASCII bytes through the ASCII fold, and where the texts
  // differ outside ASCII, the characters there in upper case, one at a
  // time. The order is that of both texts in upper case, without changing
  // the case of more than the characters that differ.
  int CompareUtf8(const char* a, const char* b) {
    const uint8_t* fold = asciiUpper_.data();
    const auto* x = reinterpret_cast<const unsigned char*>(a);
    const auto* y = reinterpret_cast<const unsigned char*>(b);
    while (*x != 0 && *x < 33) ++x;
    while (*y != 0 && *y < 33) ++y;
    for (;;) {
      while (*x != 0 && *x < 0x80 && *y < 0x80 && fold[*x] == fold[*y]) ++x, ++y;
      const bool xEnded = IsBlankTail(x);
      const bool yEnded = IsBlankTail(y);
      if (xEnded || yEnded) return xEnded == yEnded ? 0 : (xEnded ? -1 : 1);
      if (*x < 0x80 && *y < 0x80) return fold[*x] < fold[*y] ? -1 : 1;
      const size_t xLength = Utf8Length(x);
      const size_t yLength = Utf8Length(y);
      codec_->ChangeCase(std::string_view(reinterpret_cast<const char*>(x), xLength), true,
                         upperA_);
      codec_->ChangeCase(std::string_view(reinterpret_cast<const char*>(y), yLength), true,
                         upperB_);
      if (upperA_ != upperB_) return upperA_ < upperB_ ? -1 : 1;
      x += xLength;
      y += yLength;
    }
  }
  // The bytes of the UTF-8 character at p, as its first byte says, not
  // past the terminating NUL.
  static size_t Utf8Length(const unsigned char* p) {
    const size_t want = *p < 0xC0 ? 1 : *p < 0xE0 ? 2 : *p < 0xF0 ? 3 : *p < 0xF8 ? 4 : 1;
    size_t length = 1;
    while (length < want && p[length] != 0) ++length;
    return length;
  }

  platform::TTextCodec* codec_;
  std::array<uint8_t, 256> asciiUpper_{};
  std::array<uint8_t, 256> asciiLower_{};
  std::string upperA_;
  std::string upperB_;
  std::string changed_;
};

TTextWord& TextWordOf(TExprNode* node) { return *static_cast<TTextWord*>(node->Word); }

template <template <class> class Op>
void CompareTexts(TExprNode* node) {
  StoreBoolean(node, Op<int>()(TextWordOf(node).Compare(node->Arg(0), node->Arg(1)), 0));
}

// ---- Logic --------------------------------------------------------------------

void Not(TExprNode* node) { StoreBoolean(node, node->Arg(0)[0] == 0); }
void And(TExprNode* node) { StoreBoolean(node, node->Arg(0)[0] != 0 && node->Arg(1)[0] != 0); }
void Or(TExprNode* node) { StoreBoolean(node, node->Arg(0)[0] != 0 || node->Arg(1)[0] != 0); }

// ---- STR ----------------------------------------------------------------------

constexpr int32_t kStrDefaultWidth = 18;
constexpr int32_t kStrMaxDecimals = 18;
constexpr int kStrSignificantDigits = 18;
// Widths (and integer decimals) beyond this give the empty text, so that a
// mistyped argument cannot ask for a huge buffer.
constexpr int32_t kStrMaxWidth = 255;
// Fraction digits of the exact decimal form used for rounding: enough to
// tell a true half from a value just below it for every double.
constexpr int kStrExactFraction = 60;
// The longest fixed text: sign, 309 integer digits, point, 18 decimals.
constexpr size_t kStrTextSize = 1 + 309 + 1 + kStrMaxDecimals + 8;

// value as fixed-point text with decimals digits after a "." point (none
// for 0), rounded half away from zero at that place or at the 18th
// significant digit, whichever comes first (later digits are 0). Writes at
// most kStrTextSize bytes to out and returns the length.
size_t FormatFixed(double value, int decimals, char* out) {
  if (std::isnan(value)) {
    std::memcpy(out, "NAN", 3);
    return 3;
  }
  if (std::isinf(value)) {
    const char* text = value < 0 ? "-INF" : "INF";
    std::memcpy(out, text, std::strlen(text));
    return std::strlen(text);
  }
  char exact[1 + 309 + 1 + kStrExactFraction + 8];
  const auto converted = std::to_chars(exact, exact + sizeof exact, std::fabs(value),
                                       std::chars_format::fixed, kStrExactFraction);
  // Digits without the point: integer part, then the fraction.
  char digits[sizeof exact];
  size_t count = 0;
  size_t intDigits = 0;
  for (const char* p = exact; p < converted.ptr; ++p) {
    if (*p == '.') {
      intDigits = count;
    } else {
      digits[count++] = *p;
    }
  }
  size_t firstSignificant = 0;
  while (firstSignificant < count && digits[firstSignificant] == '0') ++firstSignificant;
  size_t keep =
      std::min(intDigits + static_cast<size_t>(decimals), firstSignificant + kStrSignificantDigits);
  bool carry = keep < count && digits[keep] >= '5';
  for (size_t i = keep; i < count; ++i) digits[i] = '0';
  for (size_t i = keep; carry && i-- > 0;) {
    if (digits[i] == '9') {
      digits[i] = '0';
    } else {
      ++digits[i];
      carry = false;
    }
  }
  size_t length = 0;
  bool nonZero = carry;
  for (size_t i = 0; i < intDigits + static_cast<size_t>(decimals) && !nonZero; ++i)
    nonZero = digits[i] != '0';
  if (value < 0 && nonZero) out[length++] = '-';
  if (carry) out[length++] = '1';
  size_t lead = 0;
  while (lead + 1 < intDigits && digits[lead] == '0' && !carry) ++lead;
  for (size_t i = lead; i < intDigits; ++i) out[length++] = digits[i];
  if (decimals > 0) {
    out[length++] = '.';
    for (size_t i = intDigits; i < intDigits + static_cast<size_t>(decimals); ++i)
      out[length++] = digits[i];
  }
  return length;
}

// STR(value [, width [, decimals]]) of a float.
void StrFloat(TExprNode* node) {
  const double value = ArgValue<double>(node, 0);
  const bool hasWidth = HasArg(node, 1);
  const int32_t width = hasWidth ? ArgValue<int32_t>(node, 1) : kStrDefaultWidth;
  const int32_t decimals = HasArg(node, 2) ? ArgValue<int32_t>(node, 2) : 0;
  if (width < 1 || width > kStrMaxWidth || decimals < 0 || decimals > kStrMaxDecimals) {
    StoreEmptyText(node);
    return;
  }
  char text[kStrTextSize];
  const size_t length = FormatFixed(value, decimals, text);
  node->Dest.EnsureRoom(static_cast<int64_t>(std::max<size_t>(length, width)) + 1);
  char* out = node->Dest.Position();
  size_t kept;
  if (hasWidth && length < static_cast<size_t>(width)) {
    const size_t pad = static_cast<size_t>(width) - length;
    std::memset(out, ' ', pad);
    std::memcpy(out + pad, text, length);
    kept = static_cast<size_t>(width);
  } else {
    kept = std::min(length, static_cast<size_t>(width));
    std::memcpy(out, text, kept);
  }
  out[kept] = '\0';
  *node->Dest.PositionRef() = out + kept;
}

// STR(value [, width [, decimals]]) of an integer: zero-padded to exactly
// width characters, the sign first; then "." and decimals zeros.
void StrInteger(TExprNode* node) {
  const int64_t value = ArgValue<int32_t>(node, 0);
  const uint64_t magnitude =
      value < 0 ? static_cast<uint64_t>(-value) : static_cast<uint64_t>(value);
  char digits[24];
  const auto converted = std::to_chars(digits, digits + sizeof digits, magnitude);
  const size_t digitCount = static_cast<size_t>(converted.ptr - digits);

  if (!HasArg(node, 1)) {
    node->Dest.EnsureRoom(static_cast<int64_t>(digitCount) + 2);
    char* out = node->Dest.Position();
    size_t length = 0;
    if (value < 0) out[length++] = '-';
    std::memcpy(out + length, digits, digitCount);
    length += digitCount;
    out[length] = '\0';
    *node->Dest.PositionRef() = out + length;
    return;
  }
  const int32_t width = ArgValue<int32_t>(node, 1);
  const bool hasDecimals = HasArg(node, 2);
  const int32_t decimals = hasDecimals ? ArgValue<int32_t>(node, 2) : 0;
  if (width < 1 || width > kStrMaxWidth || decimals < 0 || decimals > kStrMaxWidth) {
    StoreEmptyText(node);
    return;
  }
  const size_t total =
      static_cast<size_t>(width) + (hasDecimals ? 1 + static_cast<size_t>(decimals) : 0);
  node->Dest.EnsureRoom(static_cast<int64_t>(total) + 1);
  char* out = node->Dest.Position();
  size_t room = static_cast<size_t>(width);
  char* field = out;
  if (value < 0) {
    *field++ = '-';
    --room;
  }
  std::memset(field, '0', room);
  const size_t shown = std::min(room, digitCount);
  std::memcpy(field + room - shown, digits + digitCount - shown, shown);
  size_t length = static_cast<size_t>(width);
  if (hasDecimals) {
    out[length++] = '.';
    std::memset(out + length, '0', static_cast<size_t>(decimals));
    length += static_cast<size_t>(decimals);
  }
  out[length] = '\0';
  *node->Dest.PositionRef() = out + length;
}

// ---- DTOS, SUBSTR, case -------------------------------------------------------

constexpr int32_t kLastDayNumber = 3652059;  // 9999-12-31

// DTOS(date): yyyymmdd; the time of day is ignored. A date outside the
// years 1 to 9999 gives eight blanks, as an empty date field has.
void DateToText(TExprNode* node) {
  const double date = ArgValue<double>(node, 0);
  char text[9] = "        ";
  const double day = std::trunc(date) + kDateDelta;
  if (day >= 1 && day <= kLastDayNumber) {
    int year, month, dayOfMonth;
    DecodeDayNumber(static_cast<int32_t>(day), year, month, dayOfMonth);
    const int parts[3] = {year, month, dayOfMonth};
    const int widths[3] = {4, 2, 2};
    char* p = text;
    for (int i = 0; i < 3; ++i) {
      int v = parts[i];
      for (int w = widths[i] - 1; w >= 0; --w) {
        p[w] = static_cast<char>('0' + v % 10);
        v /= 10;
      }
      p += widths[i];
    }
  }
  node->Dest.AddText(text, 8);
}

// SUBSTR(text, start, count): count characters from the 1-based start, or
// the empty text when they do not all lie inside the text (or start is
// below 1, or count negative).
void SubString(TExprNode* node) {
  const char* text = node->Arg(0);
  const int64_t length = static_cast<int64_t>(std::strlen(text));
  const int64_t start = ArgValue<int32_t>(node, 1);
  const int64_t count = ArgValue<int32_t>(node, 2);
  if (start < 1 || count < 0 || length < start - 1 + count) {
    StoreEmptyText(node);
    return;
  }
  node->Dest.AddText(text + start - 1, count);
}

template <bool Upper>
void ChangeCase(TExprNode* node) {
  TextWordOf(node).ChangeCase(node, Upper);
}

// ---- Registration -------------------------------------------------------------

constexpr auto Register = RegisterWord;
constexpr auto AddOperator = RegisterOperator;

void AddFunction(TExpressList& words, const char* name, const char* signature, int minArgs,
                 TExprProc proc) {
  RegisterFunction(words, name, signature, minArgs, rtString, proc);
}

template <class A, class B>
void AddComparisons(TExpressList& words, const char* signature) {
  AddOperator(words, "=", signature, rtBoolean, CompareNumbers<A, B, std::equal_to>,
              kComparePrecedence);
  AddOperator(words, "<", signature, rtBoolean, CompareNumbers<A, B, std::less>,
              kComparePrecedence);
  AddOperator(words, ">", signature, rtBoolean, CompareNumbers<A, B, std::greater>,
              kComparePrecedence);
  AddOperator(words, "<=", signature, rtBoolean, CompareNumbers<A, B, std::less_equal>,
              kComparePrecedence);
  AddOperator(words, ">=", signature, rtBoolean, CompareNumbers<A, B, std::greater_equal>,
              kComparePrecedence);
  for (const char* name : {"<>", "#", "!="})
    AddOperator(words, name, signature, rtBoolean, CompareNumbers<A, B, std::not_equal_to>,
                kComparePrecedence);
  AddOperator(words, "==", signature, rtBoolean, CompareNumbers<A, B, std::equal_to>,
              kComparePrecedence);
}

}  // namespace

void AddBuiltInWords(TExpressList& words, char listSeparator, platform::TTextCodec* text) {
  const auto addTextOperator = [&](const char* name, TExprProc proc) {
    Register(words, std::make_unique<TTextWord>(name, "SS", 2, rtBoolean, proc, true,
                                                kComparePrecedence, text));
  };
  const auto addTextFunction = [&](const char* name, TExprProc proc) {
    Register(words, std::make_unique<TTextWord>(name, "S", 1, rtString, proc, false, 0, text));
  };
  words.SetDuplicates(true);
  Register(words, std::make_unique<TLeftBracket>("("));
  Register(words, std::make_unique<TRightBracket>(")"));
  Register(words, std::make_unique<TComma>(std::string(1, listSeparator)));

  // Text "+" has no procedure: its operands write straight one after the
  // other into the destination.
  AddOperator(words, "+", "SS", rtString, nullptr, kAddPrecedence);
  AddOperator(words, "+", "FF", rtFloat, Add<double, double, double>, kAddPrecedence);
  AddOperator(words, "+", "FI", rtFloat, Add<double, int32_t, double>, kAddPrecedence);
  AddOperator(words, "+", "IF", rtFloat, Add<int32_t, double, double>, kAddPrecedence);
  AddOperator(words, "+", "II", rtInteger, Add<int32_t, int32_t, int32_t>, kAddPrecedence);
  AddOperator(words, "+", "FL", rtFloat, Add<double, int64_t, double>, kAddPrecedence);
  AddOperator(words, "+", "IL", rtLargeInt, Add<int32_t, int64_t, int64_t>, kAddPrecedence);
  AddOperator(words, "+", "LF", rtFloat, Add<int64_t, double, double>, kAddPrecedence);
  AddOperator(words, "+", "LL", rtLargeInt, Add<int64_t, int64_t, int64_t>, kAddPrecedence);
  AddOperator(words, "+", "LI", rtLargeInt, Add<int64_t, int32_t, int64_t>, kAddPrecedence);

  addTextOperator("=", CompareTexts<std::equal_to>);
  addTextOperator("<", CompareTexts<std::less>);
  addTextOperator(">", CompareTexts<std::greater>);
  addTextOperator("<=", CompareTexts<std::less_equal>);
  addTextOperator(">=", CompareTexts<std::greater_equal>);
  for (const char* name : {"<>", "#", "!="}) addTextOperator(name, CompareTexts<std::not_equal_to>);
  AddComparisons<double, double>(words, "FF");
  AddComparisons<double, int32_t>(words, "FI");
  AddComparisons<int32_t, int32_t>(words, "II");
  AddComparisons<int32_t, double>(words, "IF");
  AddComparisons<int64_t, int64_t>(words, "LL");
  AddComparisons<int64_t, double>(words, "LF");
  AddComparisons<int64_t, int32_t>(words, "LI");
  AddComparisons<double, int64_t>(words, "FL");
  AddComparisons<int32_t, int64_t>(words, "IL");
  AddComparisons<double, double>(words, "DD");

  AddOperator(words, "NOT", "B", rtBoolean, Not, kNotPrecedence);
  AddOperator(words, "AND", "BB", rtBoolean, And, kAndPrecedence);
  AddOperator(words, "OR", "BB", rtBoolean, Or, kOrPrecedence);
  AddOperator(words, ".NOT.", "B", rtBoolean, Not, kNotPrecedence);
  AddOperator(words, "!", "B", rtBoolean, Not, kNotPrecedence);
  AddOperator(words, ".AND.", "BB", rtBoolean, And, kAndPrecedence);
  AddOperator(words, ".OR.", "BB", rtBoolean, Or, kOrPrecedence);

  AddFunction(words, "STR", "FII", 1, StrFloat);
  AddFunction(words, "STR", "III", 1, StrInteger);
  AddFunction(words, "DTOS", "D", 1, DateToText);
  AddFunction(words, "SUBSTR", "SII", 3, SubString);
  addTextFunction("UPPERCASE", ChangeCase<true>);
  addTextFunction("LOWERCASE", ChangeCase<false>);
  addTextFunction("UPPER", ChangeCase<true>);
  addTextFunction("LOWER", ChangeCase<false>);
  AddDbaseWords(words);
}

// ---- Field variables ----------------------------------------------------------

namespace {

// The text of an N or F field in its common shape, read in one pass:
// blanks, an optional sign, digits with at most one "." among them (at
// most maxDigits of them, and at least one), blanks. Gives the digits as
// one whole number and the count of those after the point; false for any
// other text, which the full field reader then decides on.
bool ReadPlainNumber(const TDbfFieldDef& def, const char* record, int maxDigits, uint64_t& mantissa,
                     int& decimals, bool& negative) {
  const char letter = def.NativeFieldType();
  if (record == nullptr || (letter != 'N' && letter != 'F')) return false;
  const char* p = record + def.Offset();
  const char* end = p + def.Size();
  while (p < end && *p == ' ') ++p;
  negative = p < end && *p == '-';
  if (p < end && (*p == '-' || *p == '+')) ++p;
  mantissa = 0;
  decimals = -1;
  int digits = 0;
  for (; p < end; ++p) {
    if (*p >= '0' && *p <= '9') {
      mantissa = mantissa * 10 + static_cast<uint64_t>(*p - '0');
      ++digits;
      if (decimals >= 0) ++decimals;
    } else if (*p == '.' && decimals < 0) {
      decimals = 0;
    } else {
      break;
    }
  }
  while (p < end && *p == ' ') ++p;
  if (decimals < 0) decimals = 0;
  return p == end && digits > 0 && digits <= maxDigits;
}

constexpr double kPowersOfTen[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                   1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};

// A field of a float variable (0 when empty).
double FloatFieldValue(const TDbfFieldDef& def, TDbfFile& file, const char* record) {
  // Up to 15 digits and the power of ten are exact doubles: their quotient
  // is the double nearest the decimal text, as the full reader gives it.
  uint64_t mantissa;
  int decimals;
  bool negative;
  if (ReadPlainNumber(def, record, 15, mantissa, decimals, negative)) {
    const double value = static_cast<double>(mantissa) / kPowersOfTen[decimals];
    return negative ? -value : value;
  }
  double value = 0;
  return file.ReadFieldValue(def, def.FieldType(), &value, record) ? value : 0;
}

// A field of an integer variable (0 when empty).
int32_t IntegerFieldValue(const TDbfFieldDef& def, TDbfFile& file, const char* record) {
  uint64_t mantissa;
  int decimals;
  bool negative;
  // Nine digits always fit; a point takes the full reader (whole part).
  if (def.FieldType() != ftSmallint &&
      ReadPlainNumber(def, record, 9, mantissa, decimals, negative) && decimals == 0)
    return negative ? -static_cast<int32_t>(mantissa) : static_cast<int32_t>(mantissa);
  if (def.FieldType() == ftSmallint) {
    int16_t small = 0;
    return file.ReadFieldValue(def, ftSmallint, &small, record) ? small : 0;
  }
  int32_t value = 0;
  return file.ReadFieldValue(def, def.FieldType(), &value, record) ? value : 0;
}

}  // namespace

bool TFieldVar::Read(TFieldType type, void* dst, const char* record) const {
  return tableFile_->ReadFieldValue(*fieldDef_, type, dst, record);
}

void TStringFieldVar::ReadFromRecord(const char* record) { value_ = record + FieldDef()->Offset(); }

void TFloatFieldVar::ReadFromRecord(const char* record) {
  value_ = FloatFieldValue(*FieldDef(), *TableFile(), record);
}

void TIntegerFieldVar::ReadFromRecord(const char* record) {
  value_ = IntegerFieldValue(*FieldDef(), *TableFile(), record);
}

void TLargeIntFieldVar::ReadFromRecord(const char* record) {
  int64_t value = 0;
  value_ = Read(FieldDef()->FieldType(), &value, record) ? value : 0;
}

void TDateTimeFieldVar::ReadFromRecord(const char* record) {
  double msecs = 0;
  // Milliseconds on the day numbering where 0001-01-01 is day 1. A binary
  // time stamp may hold any bit pattern: what is no sensible time is 0.
  if (!Read(ftDateTime, &msecs, record) || !std::isfinite(msecs) || std::fabs(msecs) > 1e18) {
    value_ = 0;
    return;
  }
  const int64_t total = std::llround(msecs);
  const int64_t msPerDay = static_cast<int64_t>(kMSecsPerDay);
  const double days = static_cast<double>(total / msPerDay - kDateDelta);
  const double fraction = static_cast<double>(total % msPerDay) / kMSecsPerDay;
  // Before 1899-12-30 the time of day counts away from zero.
  value_ = days < 0 ? days - fraction : days + fraction;
}

// ---- Fused comparisons ----------------------------------------------------------

// A comparison of one field with a constant, evaluated on the record
// itself (see TDbfParser::Specialize).
struct TDbfParser::TFusedCompare {
  const char* const* record;  // the record being evaluated
  const TDbfFieldDef* def;
  TDbfFile* file;
  TTextWord* textWord = nullptr;  // text comparisons: the case rules
  std::string text;               // the constant text
  std::vector<char> field;        // the field's text with a NUL after it
  double number = 0;              // the constant number
};

namespace {

template <template <class> class Op>
void FusedTextCompare(TExprNode* node) {
  auto& f = *static_cast<TDbfParser::TFusedCompare*>(const_cast<void*>(node->Value));
  // Without a record the field is the empty text, as its variable reads.
  const size_t size = *f.record != nullptr ? f.field.size() - 1 : 0;
  if (size > 0) std::memcpy(f.field.data(), *f.record + f.def->Offset(), size);
  f.field[size] = '\0';
  StoreBoolean(node, Op<int>()(f.textWord->Compare(f.field.data(), f.text.c_str()), 0));
}

template <template <class> class Op, class T>
void FusedNumberCompare(TExprNode* node) {
  const auto& f = *static_cast<const TDbfParser::TFusedCompare*>(node->Value);
  double value;
  if constexpr (std::is_same_v<T, double>) {
    value = FloatFieldValue(*f.def, *f.file, *f.record);
  } else {
    value = IntegerFieldValue(*f.def, *f.file, *f.record);
  }
  // Both sides as doubles, as the comparison of the two operands does.
  StoreBoolean(node, Op<double>()(value, f.number));
}

// The fused procedure of the comparison proc of a field variable of type
// var with a constant of type constant; false when there is none.
template <template <class> class Op>
bool FusedProc(TExprProc proc, TExprResultType var, TExprResultType constant, TExprProc& fused) {
  if (proc == CompareTexts<Op>) {
    if (var == rtString && constant == rtString) fused = FusedTextCompare<Op>;
  } else if (var == rtFloat &&
             ((constant == rtFloat && proc == CompareNumbers<double, double, Op>) ||
              (constant == rtInteger && proc == CompareNumbers<double, int32_t, Op>))) {
    fused = FusedNumberCompare<Op, double>;
  } else if (var == rtInteger &&
             ((constant == rtInteger && proc == CompareNumbers<int32_t, int32_t, Op>) ||
              (constant == rtFloat && proc == CompareNumbers<int32_t, double, Op>))) {
    fused = FusedNumberCompare<Op, int32_t>;
  }
  return fused != nullptr;
}

// ISBLANK of a field stored as text: all its bytes are blanks (an empty
// record reads as blank).
void FusedIsBlank(TExprNode* node) {
  const auto& f = *static_cast<const TDbfParser::TFusedCompare*>(node->Value);
  bool blank = true;
  if (*f.record != nullptr) {
    const char* p = *f.record + f.def->Offset();
    for (int32_t i = 0; i < f.def->Size() && blank; ++i) blank = p[i] == ' ' || p[i] == '\0';
  }
  StoreBoolean(node, blank);
}

// Field types whose bytes are text, so that blanks mean no value.
bool StoredAsText(const TDbfFieldDef& def) {
  switch (def.NativeFieldType()) {
    case 'C':
    case 'N':
    case 'F':
    case 'D':
    case 'L':
      return true;
    default:
      return false;
  }
}

// The node put in place of node: its word (its overload, its messages),
// running proc on value without arguments.
std::unique_ptr<TExprNode> FusedNode(const TExprNode& node, TExprProc proc, void* value) {
  auto replacement = std::make_unique<TExprNode>();
  replacement->Word = node.Word;
  replacement->Proc = proc;
  replacement->Value = value;
  replacement->TextStart = node.TextStart;
  replacement->TextEnd = node.TextEnd;
  replacement->WordStart = node.WordStart;
  replacement->WordEnd = node.WordEnd;
  return replacement;
}

TExprProc FusedProcFor(TExprProc proc, TExprResultType var, TExprResultType constant) {
  TExprProc fused = nullptr;
  FusedProc<std::equal_to>(proc, var, constant, fused) ||
      FusedProc<std::not_equal_to>(proc, var, constant, fused) ||
      FusedProc<std::less>(proc, var, constant, fused) ||
      FusedProc<std::greater>(proc, var, constant, fused) ||
      FusedProc<std::less_equal>(proc, var, constant, fused) ||
      FusedProc<std::greater_equal>(proc, var, constant, fused);
  return fused;
}

}  // namespace

// ---- Fused searches -------------------------------------------------------------

// Sixteen bytes compared at once (the compiler's vector extension: SSE2 on
// x86-64, plain code elsewhere).
using TByteBlock = uint8_t __attribute__((vector_size(16)));

// A text searched for through one case table: the table (kSameBytes for
// the bytes as stored) and the bytes that may stand for its first byte.
struct TCaseNeedle {
  const uint8_t* fold = nullptr;
  std::array<bool, 256> first{};
  // When at most two bytes may stand for the first byte: each repeated in
  // every byte of a vector, for passing over many bytes at a time.
  bool skipBlocks = false;
  TByteBlock firstA{};
  TByteBlock firstB{};
  // The same for the text's last byte, when it has two or more and at most
  // two bytes stand for its last: a place is tried only when both its
  // first byte and the byte where the text would end fit.
  bool lastBlocks = false;
  TByteBlock lastA{};
  TByteBlock lastB{};
};

// A search for a text constant in the text of one or more text fields
// (see TDbfParser::Specialize).
struct TDbfParser::TFusedSearch {
  enum TKind { skContains, skBeginsWith, skPosition };
  const char* const* record;  // the record being evaluated
  TKind kind = skContains;
  std::string needle;
  // Offset and size of each field searched; found when any holds the text.
  std::vector<std::pair<int32_t, int32_t>> fields;
  // The case the field's text is put in first: none without a word, else
  // upper or lower case by the word's rules.
  TTextWord* caseWord = nullptr;
  bool upper = true;
  // Whether the case table depends on the text (code pages of several
  // bytes a character): ASCII text then goes through the ASCII table and
  // other text through the converter, into changed. Otherwise every text
  // goes through the fixed table.
  bool byText = false;
  TCaseNeedle fixed;
  TCaseNeedle ascii;
  std::string changed;
  // Offsets of sixteen-byte blocks of the record that together hold every
  // field searched, where one look at them tells that no field can hold
  // the text (none of their bytes may start it); made at the first
  // evaluation, when the search is complete.
  int32_t recordSize = 0;
  bool prepared = false;
  std::vector<int32_t> blocks;
};

namespace {

// The bytes the case table turns into byte, each repeated in every byte
// of a and b; false when more than two or none do.
bool FillBlocks(const uint8_t* fold, uint8_t byte, TByteBlock& a, TByteBlock& b) {
  std::vector<uint8_t> bytes;
  for (int c = 0; c < 256; ++c)
    if (fold[c] == byte) bytes.push_back(static_cast<uint8_t>(c));
  if (bytes.empty() || bytes.size() > 2) return false;
  for (int i = 0; i < 16; ++i) {
    a[i] = bytes.front();
    b[i] = bytes.back();
  }
  return true;
}

TCaseNeedle CaseNeedle(const uint8_t* fold, std::string_view needle) {
  TCaseNeedle result;
  result.fold = fold;
  if (needle.empty()) return result;
  for (int c = 0; c < 256; ++c)
    result.first[static_cast<size_t>(c)] = fold[c] == static_cast<uint8_t>(needle[0]);
  result.skipBlocks =
      FillBlocks(fold, static_cast<uint8_t>(needle[0]), result.firstA, result.firstB);
  result.lastBlocks =
      result.skipBlocks && needle.size() >= 2 &&
      FillBlocks(fold, static_cast<uint8_t>(needle.back()), result.lastA, result.lastB);
  return result;
}

// One bit for each of the sixteen bytes at p that equals a byte of a or b,
// the first byte's lowest.
inline uint32_t MatchesIn(const unsigned char* p, const TByteBlock& a, const TByteBlock& b) {
  TByteBlock block;
  std::memcpy(&block, p, sizeof block);
#if defined(__SSE2__)
  const auto hits = (block == a) | (block == b);
  return static_cast<uint32_t>(_mm_movemask_epi8(reinterpret_cast<__m128i>(hits)));
#else
  uint32_t mask = 0;
  for (int i = 0; i < 16; ++i) mask |= uint32_t{block[i] == a[i] || block[i] == b[i]} << i;
  return mask;
#endif
}

// One bit for each of the sixteen places from p + at of a text of size
// bytes that may hold the needle, judged by its first and last bytes; the
// places whose last byte would lie past the text's end get none.
inline uint32_t StartsIn(const unsigned char* p, size_t at, size_t size, size_t m,
                         const TCaseNeedle& c) {
  uint32_t starts = MatchesIn(p + at, c.firstA, c.firstB);
  if (!c.lastBlocks || starts == 0) return starts;
  // The bytes where the text would end, read from the last sixteen of the
  // text when the block would pass its end.
  const size_t end = at + m - 1;
  const size_t from = std::min(end, size - sizeof(TByteBlock));
  if (end - from >= sizeof(TByteBlock)) return 0;
  return starts & (MatchesIn(p + from, c.lastA, c.lastB) >> (end - from));
}

// A case table that turns no byte into NUL and NUL into nothing else, so
// that a text changed through it ends where the stored text ends.
bool KeepsTextEnd(const uint8_t* fold) {
  for (int c = 0; c < 256; ++c)
    if ((fold[c] == 0) != (c == 0)) return false;
  return true;
}

// Whether a byte of any of the search's blocks of record may start the
// text.
bool MayStartInBlocks(const char* record, const TDbfParser::TFusedSearch& s) {
  const TCaseNeedle& c = s.fixed;
  TByteBlock firsts{};
  TByteBlock lasts{};
  for (const int32_t offset : s.blocks) {
    TByteBlock block;
    std::memcpy(&block, record + offset, sizeof block);
    firsts |= (block == c.firstA) | (block == c.firstB);
    lasts |= (block == c.lastA) | (block == c.lastB);
  }
  // A text that is there puts both its first and its last byte in the
  // blocks.
  uint64_t halves[4];
  std::memcpy(halves, &firsts, sizeof firsts);
  std::memcpy(halves + 2, &lasts, sizeof lasts);
  return (halves[0] | halves[1]) != 0 && (!c.lastBlocks || (halves[2] | halves[3]) != 0);
}

void PrepareBlocks(TDbfParser::TFusedSearch& s) {
  s.prepared = true;
  constexpr int32_t kBlock = sizeof(TByteBlock);
  // A search at the fields' starts looks at one byte of each anyway.
  if (s.byText || !s.fixed.skipBlocks || s.kind == TDbfParser::TFusedSearch::skBeginsWith ||
      s.recordSize < kBlock)
    return;
  // The fields' bytes as runs of adjoining fields, each covered by blocks
  // from its start, the last one ending where the run ends; a run shorter
  // than a block takes the block from its start, or the record's last.
  std::vector<std::pair<int32_t, int32_t>> runs;
  for (const auto& [offset, size] : s.fields) runs.emplace_back(offset, offset + size);
  std::sort(runs.begin(), runs.end());
  std::vector<std::pair<int32_t, int32_t>> joined;
  for (const auto& run : runs) {
    if (!joined.empty() && run.first <= joined.back().second)
      joined.back().second = std::max(joined.back().second, run.second);
    else
      joined.push_back(run);
  }
  for (const auto& [start, end] : joined) {
    int32_t at = std::min(start, s.recordSize - kBlock);
    s.blocks.push_back(at);
    while (at + kBlock < end) {
      at = std::min(at + kBlock, end - kBlock);
      s.blocks.push_back(at);
    }
  }
}

// Where needle first occurs in the text of a field (its bytes up to the
// first NUL) with every byte of the text through the case table, or only
// at its start with atStart; npos when it does not.
inline size_t FindIn(std::string_view field, std::string_view needle, const TCaseNeedle& c,
                     bool atStart) {
  const size_t m = needle.size();
  if (m == 0 || m > field.size()) return std::string_view::npos;
  const auto* p = reinterpret_cast<const unsigned char*>(field.data());
  const auto* n = reinterpret_cast<const unsigned char*>(needle.data());
  const size_t last = atStart ? 0 : field.size() - m;
  // Whether the text is at i; a match after a NUL is past the text's end
  // (no match holds one: the needle has none), and so is every later one.
  auto at = [&](size_t i) {
    size_t k = 1;
    while (k < m && c.fold[p[i + k]] == n[k]) ++k;
    return k == m;
  };
  auto found = [&](size_t i) {
    return std::memchr(p, 0, i) == nullptr ? i : std::string_view::npos;
  };
  if (!c.skipBlocks || atStart || field.size() < sizeof(TByteBlock)) {
    for (size_t i = 0; i <= last; ++i)
      if (c.first[p[i]] && at(i)) return found(i);
    return std::string_view::npos;
  }
  // Sixteen bytes at a time, trying only the places whose byte may start
  // the text; the field's last sixteen are read whole, overlapping the
  // bytes before, which were tried already.
  for (size_t start = 0; start <= last; start += sizeof(TByteBlock)) {
    const size_t block = std::min(start, field.size() - sizeof(TByteBlock));
    for (uint32_t starts = StartsIn(p, block, field.size(), m, c) >> (start - block)
                                                                         << (start - block);
         starts != 0; starts &= starts - 1) {
      const size_t i = block + static_cast<size_t>(std::countr_zero(starts));
      if (i > last) return std::string_view::npos;
      if (at(i)) return found(i);
    }
  }
  return std::string_view::npos;
}

// Where the search's text first occurs in the text of one field, counted
// in the text after its case change; npos when it does not.
size_t SearchField(TDbfParser::TFusedSearch& s, std::string_view field) {
  const bool atStart = s.kind == TDbfParser::TFusedSearch::skBeginsWith;
  if (!s.byText) return FindIn(field, s.needle, s.fixed, atStart);
  field = field.substr(0, field.find('\0'));
  if (s.caseWord->CaseBytesFor(field, s.upper) != nullptr)
    return FindIn(field, s.needle, s.ascii, atStart);
  // The empty text is in no text, though the empty string is in every one.
  if (s.needle.empty()) return std::string_view::npos;
  s.caseWord->ConvertCase(field, s.upper, s.changed);
  const size_t at = std::string_view(s.changed).find(s.needle);
  return at == 0 || !atStart ? at : std::string_view::npos;
}

void FusedSearchFound(TExprNode* node) {
  auto& s = *static_cast<TDbfParser::TFusedSearch*>(const_cast<void*>(node->Value));
  if (!s.prepared) PrepareBlocks(s);
  bool found = false;
  // Without a record every field is the empty text, which holds nothing.
  if (const char* record = *s.record;
      record != nullptr && (s.blocks.empty() || MayStartInBlocks(record, s))) {
    const bool atStart = s.kind == TDbfParser::TFusedSearch::skBeginsWith;
    for (const auto& [offset, size] : s.fields) {
      const std::string_view field(record + offset, static_cast<size_t>(size));
      // At the start only its first byte needs a look in most fields.
      if (atStart && !s.byText && !field.empty() && !s.fixed.first[static_cast<uint8_t>(field[0])])
        continue;
      found = (s.byText ? SearchField(s, field) : FindIn(field, s.needle, s.fixed, atStart)) !=
              std::string_view::npos;
      if (found) break;
    }
  }
  StoreBoolean(node, found);
}

void FusedSearchPosition(TExprNode* node) {
  auto& s = *static_cast<TDbfParser::TFusedSearch*>(const_cast<void*>(node->Value));
  size_t at = std::string_view::npos;
  if (const char* record = *s.record) {
    const auto& [offset, size] = s.fields.front();
    at = SearchField(s, std::string_view(record + offset, static_cast<size_t>(size)));
  }
  StoreResult(node, static_cast<int32_t>(at == std::string_view::npos ? 0 : at + 1));
}

TDbfParser::TFusedSearch* SearchOf(const TExprNode* node) {
  return static_cast<TDbfParser::TFusedSearch*>(const_cast<void*>(node->Value));
}

}  // namespace

void TDbfParser::CountUses(const TExprNode* node) {
  for (TFieldVarEntry& entry : fieldVars_)
    if (node->Word == entry.word) ++entry.uses;
  for (const auto& arg : node->ArgNode)
    if (arg) CountUses(arg.get());
}

std::unique_ptr<TExprNode> TDbfParser::Specialize(std::unique_ptr<TExprNode> root) {
  for (TFieldVarEntry& entry : fieldVars_) entry.uses = 0;
  CountUses(root.get());
  return Fuse(std::move(root));
}

std::unique_ptr<TExprNode> TDbfParser::Fuse(std::unique_ptr<TExprNode> node) {
  for (auto& arg : node->ArgNode)
    if (arg) arg = Fuse(std::move(arg));
  const TExprNode* field = node->ArgNode[0].get();
  const TExprNode* constant = node->ArgNode[1].get();
  if (field != nullptr && constant == nullptr && SameText(node->Word->Name(), "ISBLANK"))
    return FuseIsBlank(std::move(node));
  const TExprNode* unfused = node.get();
  node = FuseSearch(std::move(node));
  if (node.get() != unfused) return node;
  if (!node->Word->IsOperator() || field == nullptr || constant == nullptr ||
      node->ArgNode[2] != nullptr)
    return node;
  // Integer constants are not folded: a negative one is the unary minus of
  // the number.
  bool negated = false;
  if (constant->Word->Name() == kUnaryMinusName && constant->ArgNode[0] &&
      constant->Word->ResultType() == rtInteger) {
    negated = true;
    constant = constant->ArgNode[0].get();
  }
  if (constant->Word->IsVarying() || !constant->Word->IsValueWord()) return node;
  auto entry = std::find_if(fieldVars_.begin(), fieldVars_.end(),
                            [&](const TFieldVarEntry& e) { return e.word == field->Word; });
  if (entry == fieldVars_.end()) return node;
  const TExprProc proc =
      FusedProcFor(node->Proc, entry->var->VarResultType(), constant->Word->ResultType());
  if (proc == nullptr) return node;

  auto fused = std::make_unique<TFusedCompare>();
  fused->record = &record_;
  fused->def = entry->var->FieldDef();
  fused->file = tableFile_;
  if (constant->Word->ResultType() == rtString) {
    fused->textWord = static_cast<TTextWord*>(node->Word);
    fused->text = static_cast<const char*>(constant->Value);
    fused->field.assign(static_cast<size_t>(fused->def->Size()) + 1, '\0');
  } else if (constant->Word->ResultType() == rtInteger) {
    const int64_t value = *static_cast<const int32_t*>(constant->Value);
    fused->number = static_cast<double>(negated ? -value : value);
  } else {
    fused->number = *static_cast<const double*>(constant->Value);
  }
  --entry->uses;
  auto replacement = FusedNode(*node, proc, fused.get());
  fused_.push_back(std::move(fused));
  return replacement;
}

std::unique_ptr<TExprNode> TDbfParser::FuseIsBlank(std::unique_ptr<TExprNode> node) {
  const TExprNode* field = node->ArgNode[0].get();
  // A logical field reaches the function through the reading of its letter.
  if (field->Word->Name() == kLogicalTextName && field->ArgNode[0]) field = field->ArgNode[0].get();
  auto entry = std::find_if(fieldVars_.begin(), fieldVars_.end(),
                            [&](const TFieldVarEntry& e) { return e.word == field->Word; });
  if (entry == fieldVars_.end() || !StoredAsText(*entry->var->FieldDef())) return node;
  auto fused = std::make_unique<TFusedCompare>();
  fused->record = &record_;
  fused->def = entry->var->FieldDef();
  fused->file = tableFile_;
  --entry->uses;
  auto replacement = FusedNode(*node, FusedIsBlank, fused.get());
  fused_.push_back(std::move(fused));
  return replacement;
}

TDbfParser::TFieldVarEntry* TDbfParser::TextFieldEntry(const TExprNode* node) {
  if (node == nullptr || node->ArgNode[0] != nullptr) return nullptr;
  auto entry = std::find_if(fieldVars_.begin(), fieldVars_.end(),
                            [&](const TFieldVarEntry& e) { return e.word == node->Word; });
  if (entry == fieldVars_.end() || entry->var->VarResultType() != rtString ||
      entry->var->FieldDef()->FieldType() != ftString)
    return nullptr;
  return &*entry;
}

std::unique_ptr<TExprNode> TDbfParser::FuseSearch(std::unique_ptr<TExprNode> node) {
  const TExprNode* left = node->ArgNode[0].get();
  const TExprNode* right = node->ArgNode[1].get();
  if (left == nullptr || right == nullptr || node->ArgNode[2] != nullptr) return node;
  using TKind = TFusedSearch::TKind;
  if (node->Proc == Or) {
    // Both sides search for the same text the same way: one search in the
    // fields of both.
    if (left->Proc != FusedSearchFound || right->Proc != FusedSearchFound) return node;
    TFusedSearch* a = SearchOf(left);
    const TFusedSearch* b = SearchOf(right);
    if (a->kind != b->kind || a->needle != b->needle || a->caseWord != b->caseWord ||
        a->upper != b->upper)
      return node;
    a->fields.insert(a->fields.end(), b->fields.begin(), b->fields.end());
    searches_.erase(std::find_if(searches_.begin(), searches_.end(),
                                 [&](const auto& search) { return search.get() == b; }));
    return FusedNode(*node, FusedSearchFound, a);
  }
  if (node->Proc == CompareNumbers<int32_t, int32_t, std::equal_to>) {
    // AT(...) = 1: the text begins with the needle.
    if (left->Proc != FusedSearchPosition || !right->Word->IsValueWord() ||
        right->Word->IsVarying() || right->Word->ResultType() != rtInteger ||
        *static_cast<const int32_t*>(right->Value) != 1)
      return node;
    TFusedSearch* search = SearchOf(left);
    search->kind = TKind::skBeginsWith;
    return FusedNode(*node, FusedSearchFound, search);
  }
  // 'X' $ [UPPER|LOWER](FIELD), AT('X', [UPPER|LOWER](FIELD)).
  if ((node->Proc != Contains && node->Proc != TextPosition) || !left->Word->IsValueWord() ||
      left->Word->IsVarying() || left->Word->ResultType() != rtString)
    return node;
  auto search = std::make_unique<TFusedSearch>();
  if (right->Proc == ChangeCase<true> || right->Proc == ChangeCase<false>) {
    search->caseWord = static_cast<TTextWord*>(right->Word);
    search->upper = right->Proc == ChangeCase<true>;
    right = right->ArgNode[0].get();
  }
  TFieldVarEntry* entry = TextFieldEntry(right);
  if (entry == nullptr) return node;
  search->record = &record_;
  search->recordSize = tableFile_->RecordSize();
  search->kind = node->Proc == Contains ? TKind::skContains : TKind::skPosition;
  search->needle = static_cast<const char*>(left->Value);
  search->fields.emplace_back(entry->var->FieldDef()->Offset(), entry->var->FieldDef()->Size());
  const uint8_t* fold = kSameBytes.data();
  if (search->caseWord != nullptr) {
    fold = search->caseWord->FixedCaseBytes(search->upper);
    search->byText = fold == nullptr;
    if (search->byText)
      search->ascii = CaseNeedle(search->caseWord->AsciiCaseBytes(search->upper), search->needle);
  }
  if (fold != nullptr) {
    if (!KeepsTextEnd(fold)) return node;
    search->fixed = CaseNeedle(fold, search->needle);
  }
  --entry->uses;
  auto replacement =
      FusedNode(*node, search->kind == TKind::skContains ? FusedSearchFound : FusedSearchPosition,
                search.get());
  searches_.push_back(std::move(search));
  return replacement;
}

// ---- TDbfParser ---------------------------------------------------------------

TDbfParser::TDbfParser(TDbfFile* tableFile) : tableFile_(tableFile) {
  if (tableFile_ != nullptr) {
    textCodec_ = platform::TTextCodec::Make(static_cast<uint32_t>(tableFile_->UseCodePage()));
    if (textCodec_) textCodec_->SetTurkicCase(TurkicCaseFor(*tableFile_));
  }
  FillWordList();
}

TDbfParser::~TDbfParser() { TDbfParser::ClearChain(); }

void TDbfParser::FillWordList() {
  AddBuiltInWords(Words(), ListSeparator(), textCodec_.get());
  Register(Words(),
           std::make_unique<TRecordFunction>("DELETED", rtBoolean, RecordDeleted, &deleted_));
  Register(Words(), std::make_unique<TRecordFunction>("RECNO", rtInteger, RecordNumber, &recNo_));
}

TExprResultType TDbfParser::ResultType() const {
  return isComputed_ ? TCustomExpressionParser::ResultType() : singleFieldType_;
}

void TDbfParser::ClearChain() {
  TCustomExpressionParser::ClearChain();
  // The words go before the storage they point at. A word is found by
  // identity: it may have been replaced (and released) meanwhile.
  for (const TFieldVarEntry& entry : fieldVars_) {
    const int index = Words().IndexOf(entry.word);
    if (index >= 0) Words().AtFree(index);
  }
  fieldVars_.clear();
  fused_.clear();
  searches_.clear();
  currentExpression_.clear();
  isComputed_ = true;
  singleFieldType_ = rtUnknown;
}

void TDbfParser::ResolveUnknownName(const std::string& name) {
  TDbfFieldDef* field = tableFile_ != nullptr ? tableFile_->FindFieldDef(name) : nullptr;
  if (field == nullptr) {
    // A function named without its brackets: the compiler reports the
    // missing operand.
    if (FindWordIf(name.c_str(), [](const TExprWord* w) { return w->IsFunction(); })) return;
    if (filter_) throw EParserException(Format(kExprUnknownField, name.c_str()));
    throw EDbfError(Format(kIndexUnknownField, name.c_str()));
  }
  std::unique_ptr<TFieldVar> var;
  switch (field->FieldType()) {
    case ftString:
    case ftBoolean:
      var = std::make_unique<TStringFieldVar>(field, tableFile_);
      break;
    case ftSmallint:
    case ftInteger:
    case ftAutoInc:
      var = std::make_unique<TIntegerFieldVar>(field, tableFile_);
      break;
    case ftFloat:
    case ftCurrency:  // Visual FoxPro's currency, in units of 1/10000
      var = std::make_unique<TFloatFieldVar>(field, tableFile_);
      break;
    case ftDate:
    case ftDateTime:
      var = std::make_unique<TDateTimeFieldVar>(field, tableFile_);
      break;
    case ftLargeint:
      var = std::make_unique<TLargeIntFieldVar>(field, tableFile_);
      break;
    default:
      throw EDbfError(Format(kIndexInvalidFieldType, name.c_str()));
  }
  void* storage = var->ValueAddress();
  TExprWord* word;
  switch (var->VarResultType()) {
    case rtString:
      word = AddStringVariable(name, static_cast<const char* const*>(storage), field->Size(),
                               field->FieldType() == ftBoolean);
      break;
    case rtInteger:
      word = AddIntegerVariable(name, static_cast<int32_t*>(storage));
      break;
    case rtFloat:
      word = AddFloatVariable(name, static_cast<double*>(storage));
      break;
    case rtDateTime:
      word = AddDateTimeVariable(name, static_cast<double*>(storage));
      break;
    default:
      word = AddLargeIntVariable(name, static_cast<int64_t*>(storage));
      break;
  }
  fieldVars_.push_back({name, std::move(var), word});
}

void TDbfParser::ParseText(const std::string& text) { Parse(text, false); }

void TDbfParser::ParseFilter(const std::string& text) { Parse(text, true); }

void TDbfParser::Parse(const std::string& text, bool filter) {
  ClearChain();
  resultLength_ = 0;
  filter_ = filter;
  try {
    TDbfFieldDef* field = tableFile_ != nullptr ? tableFile_->FindFieldDef(text) : nullptr;
    // A filter of one logical field compiles, so that the field's stored
    // byte becomes its logical value.
    if (field != nullptr && !(filter && field->FieldType() == ftBoolean)) {
      isComputed_ = false;
      ResolveUnknownName(text);
      singleFieldType_ = fieldVars_.back().var->VarResultType();
      if (singleFieldType_ == rtString) resultLength_ = field->Size();
    } else {
      isComputed_ = true;
      Compile(text, filter ? rtBoolean : rtUnknown);
      if (ResultType() == rtString) {
        // Measure the text on a blank record.
        std::vector<char> scratch(
            tableFile_ != nullptr ? static_cast<size_t>(tableFile_->RecordSize()) : 0);
        if (tableFile_ != nullptr) tableFile_->BlankRecord(scratch.data());
        resultLength_ = static_cast<int32_t>(std::strlen(EvaluateRecord(scratch.data())));
      }
    }
    switch (ResultType()) {
      case rtBoolean:
        resultLength_ = 1;
        break;
      case rtInteger:
        resultLength_ = 4;
        break;
      case rtLargeInt:
      case rtFloat:
      case rtDateTime:
        resultLength_ = 8;
        break;
      default:
        break;
    }
    if (filter && !text.empty() && ResultType() != rtBoolean) {
      size_t first = 0;
      size_t last = text.size();
      while (first < last && static_cast<unsigned char>(text[first]) < 33) ++first;
      while (last > first && static_cast<unsigned char>(text[last - 1]) < 33) --last;
      throw EParserException(Format(kExprFilterNotLogical, text.substr(first, last - first).c_str(),
                                    ExprTypeName(ResultType())));
    }
    if (resultLength_ > kMaxExprResultLength)
      throw EDbfError(Format(kIndexResultTooLong, text.c_str(), resultLength_));
    currentExpression_ = text;
  } catch (...) {
    filter_ = false;
    ClearChain();
    throw;
  }
  filter_ = false;
}

const char* TDbfParser::EvaluateRecord(const char* record, int32_t recNo) {
  deleted_ = record != nullptr && record[0] == '*' ? 1 : 0;
  recNo_ = recNo;
  record_ = record;
  for (const TFieldVarEntry& entry : fieldVars_)
    if (entry.uses > 0) entry.var->ReadFromRecord(record);
  if (isComputed_ || fieldVars_.empty()) {
    Evaluate();
    return ResultBuffer();
  }
  TFieldVar* var = fieldVars_.front().var.get();
  if (var->VarResultType() == rtString)
    return *static_cast<const char* const*>(var->ValueAddress());
  return static_cast<const char*>(var->ValueAddress());
}

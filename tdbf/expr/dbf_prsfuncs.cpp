#include "tdbf/expr/dbf_prsfuncs.h"

#include <algorithm>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <functional>
#include <string>
#include <string_view>
#include <type_traits>

#include "platform/env.h"
#include "runtime/sysutils.h"
#include "tdbf/expr/dbf_prscore.h"

namespace {

constexpr int32_t kLastDayNumber = 3652059;  // 9999-12-31

std::string_view TextArg(const TExprNode* node, int i) { return node->Arg(i); }

void StoreText(TExprNode* node, std::string_view text) {
  node->Dest.AddText(text.data(), static_cast<int64_t>(text.size()));
}

// Appends count copies of c (count already bounded).
void StoreRepeated(TExprNode* node, char c, int64_t count) {
  if (count <= 0) {
    StoreEmptyText(node);
    return;
  }
  node->Dest.EnsureRoom(count + 1);
  char* out = node->Dest.Position();
  std::memset(out, c, static_cast<size_t>(count));
  out[count] = '\0';
  *node->Dest.PositionRef() = out + count;
}

int64_t BoundedCount(int32_t count) { return std::clamp<int64_t>(count, 0, kMaxMadeText); }

// ---- Arithmetic -------------------------------------------------------------------

template <class T>
using Wide = std::conditional_t<std::is_floating_point_v<T>, long double, T>;

// a op b in the result type R. Integer results wrap around in two's
// complement; floating results are formed in extended precision and
// rounded once. Division, remainder and power of integers are floats
// unless R is an integer; an integer remainder by 0 is 0.
template <class A, class B, class R, char Op>
void Arithmetic(TExprNode* node) {
  const A a = ArgValue<A>(node, 0);
  const B b = ArgValue<B>(node, 1);
  if constexpr (std::is_floating_point_v<R>) {
    const long double x = static_cast<long double>(a);
    const long double y = static_cast<long double>(b);
    long double r;
    if constexpr (Op == '-') {
      r = x - y;
    } else if constexpr (Op == '*') {
      r = x * y;
    } else if constexpr (Op == '/') {
      r = x / y;
    } else if constexpr (Op == '%') {
      r = std::fmod(x, y);
    } else {
      r = std::pow(x, y);
    }
    StoreResult(node, static_cast<R>(r));
  } else {
    using U = std::make_unsigned_t<R>;
    const U x = static_cast<U>(static_cast<R>(a));
    const U y = static_cast<U>(static_cast<R>(b));
    R r;
    if constexpr (Op == '-') {
      r = static_cast<R>(x - y);
    } else if constexpr (Op == '*') {
      r = static_cast<R>(x * y);
    } else {
      static_assert(Op == '%');
      const R divisor = static_cast<R>(b);
      r = divisor == 0 || divisor == -1 ? 0 : static_cast<R>(static_cast<R>(a) % divisor);
    }
    StoreResult(node, r);
  }
}

// The nine pairings of number types with the result types of addition:
// two 32-bit integers give a 32-bit integer, a 64-bit one a 64-bit
// integer, a float a float. With floatOnly every result is a float.
template <char Op>
void AddNumberOperator(TExpressList& words, const char* name, int32_t precedence, bool floatOnly) {
  auto add = [&](const char* signature, TExprResultType type, TExprProc proc) {
    RegisterOperator(words, name, signature, type, proc, precedence);
  };
  add("FF", rtFloat, Arithmetic<double, double, double, Op>);
  add("FI", rtFloat, Arithmetic<double, int32_t, double, Op>);
  add("IF", rtFloat, Arithmetic<int32_t, double, double, Op>);
  add("FL", rtFloat, Arithmetic<double, int64_t, double, Op>);
  add("LF", rtFloat, Arithmetic<int64_t, double, double, Op>);
  if (floatOnly) {
    add("II", rtFloat, Arithmetic<int32_t, int32_t, double, Op>);
    add("IL", rtFloat, Arithmetic<int32_t, int64_t, double, Op>);
    add("LL", rtFloat, Arithmetic<int64_t, int64_t, double, Op>);
    add("LI", rtFloat, Arithmetic<int64_t, int32_t, double, Op>);
  } else if constexpr (Op == '-' || Op == '*' || Op == '%') {
    add("II", rtInteger, Arithmetic<int32_t, int32_t, int32_t, Op>);
    add("IL", rtLargeInt, Arithmetic<int32_t, int64_t, int64_t, Op>);
    add("LL", rtLargeInt, Arithmetic<int64_t, int64_t, int64_t, Op>);
    add("LI", rtLargeInt, Arithmetic<int64_t, int32_t, int64_t, Op>);
  }
}

template <class T>
void Negate(TExprNode* node) {
  if constexpr (std::is_floating_point_v<T>) {
    StoreResult(node, -ArgValue<T>(node, 0));
  } else {
    using U = std::make_unsigned_t<T>;
    StoreResult(node, static_cast<T>(U{0} - static_cast<U>(ArgValue<T>(node, 0))));
  }
}

template <class T>
void Identity(TExprNode* node) {
  StoreResult(node, ArgValue<T>(node, 0));
}

// ---- Dates --------------------------------------------------------------------------

// date + days, days + date, date - days: dates; date - date: days between.
template <class A, class B, char Op>
void DateArithmetic(TExprNode* node) {
  const long double a = static_cast<long double>(ArgValue<A>(node, 0));
  const long double b = static_cast<long double>(ArgValue<B>(node, 1));
  StoreResult(node, static_cast<double>(Op == '+' ? a + b : a - b));
}

// The day of a date-time, false for no date (0, an empty date field) or
// one outside the years 1 to 9999.
bool DecodeExprDate(double date, int& year, int& month, int& day) {
  const double dayNumber = std::trunc(date) + kDateDelta;
  if (date == 0 || !(dayNumber >= 1 && dayNumber <= kLastDayNumber)) return false;
  DecodeDayNumber(static_cast<int32_t>(dayNumber), year, month, day);
  return true;
}

template <int Part>
void DatePart(TExprNode* node) {
  int parts[3] = {0, 0, 0};
  if (!DecodeExprDate(ArgValue<double>(node, 0), parts[0], parts[1], parts[2])) parts[Part] = 0;
  StoreResult(node, static_cast<int32_t>(parts[Part]));
}

void Today(TExprNode* node) {
  const platform::TSystemTime now = platform::TEnv::Default()->LocalTime();
  double date = 0;
  TryEncodeDate(now.year, now.month, now.day, date);
  StoreResult(node, date);
}

// CTOD(text): the date the text gives in the user's short date format;
// blank or no date gives the empty date.
void TextToDate(TExprNode* node) {
  std::string_view text = TextArg(node, 0);
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  double date = 0;
  if (text.empty() || !TryStrToDate(std::string(text), date)) date = 0;
  StoreResult(node, date);
}

// DTOC(date): the date in the user's short date format; the empty date
// gives as many blanks as the format's longest date has characters.
void DateToLocalText(TExprNode* node) {
  int year, month, day;
  const double date = ArgValue<double>(node, 0);
  if (DecodeExprDate(date, year, month, day)) {
    StoreText(node, DateToStr(std::trunc(date)));
  } else {
    StoreRepeated(node, ' ', static_cast<int64_t>(DateToStr(EncodeDate(2000, 12, 28)).size()));
  }
}

// ---- Text ----------------------------------------------------------------------------

template <bool Left, bool Right>
void TrimText(TExprNode* node) {
  std::string_view text = TextArg(node, 0);
  if (Left)
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  if (Right)
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  StoreText(node, text);
}

template <bool Left>
void TextEnd(TExprNode* node) {
  const std::string_view text = TextArg(node, 0);
  const size_t count = static_cast<size_t>(
      std::clamp<int64_t>(ArgValue<int32_t>(node, 1), 0, static_cast<int64_t>(text.size())));
  StoreText(node, Left ? text.substr(0, count) : text.substr(text.size() - count));
}

void TextLength(TExprNode* node) {
  StoreResult(node, static_cast<int32_t>(TextArg(node, 0).size()));
}

// ==: the same bytes, blanks and letter case included.
void ExactlyEqual(TExprNode* node) { StoreBoolean(node, TextArg(node, 0) == TextArg(node, 1)); }

void Spaces(TExprNode* node) { StoreRepeated(node, ' ', BoundedCount(ArgValue<int32_t>(node, 0))); }

void Replicate(TExprNode* node) {
  const std::string_view text = TextArg(node, 0);
  int64_t count = ArgValue<int32_t>(node, 1);
  if (text.empty() || count <= 0) {
    StoreEmptyText(node);
    return;
  }
  count = std::min<int64_t>(count, kMaxMadeText / static_cast<int64_t>(text.size()));
  for (int64_t i = 0; i < count; ++i) StoreText(node, text);
  if (count == 0) StoreEmptyText(node);
}

// PADL/PADR(text, width [, fill]): exactly width characters: the text cut
// to width, filled on the left (PADL) or right with the first character
// of fill, a blank by default.
template <bool Left>
void Pad(TExprNode* node) {
  std::string_view text = TextArg(node, 0);
  const int64_t width = BoundedCount(ArgValue<int32_t>(node, 1));
  const char fill = HasArg(node, 2) && node->Arg(2)[0] != '\0' ? node->Arg(2)[0] : ' ';
  if (static_cast<int64_t>(text.size()) > width) text = text.substr(0, static_cast<size_t>(width));
  const int64_t padding = width - static_cast<int64_t>(text.size());
  if (Left && padding > 0) StoreRepeated(node, fill, padding);
  StoreText(node, text);
  if (!Left && padding > 0) StoreRepeated(node, fill, padding);
}

// VAL(text): the number at the start of the text after blanks ("12.5kg"
// gives 12.5); text that starts with no number gives 0.
void TextToNumber(TExprNode* node) {
  std::string_view text = TextArg(node, 0);
  while (!text.empty() && static_cast<unsigned char>(text.front()) < 33) text.remove_prefix(1);
  bool negative = false;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  double value = 0;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
  if (result.ec != std::errc()) value = 0;
  StoreResult(node, negative ? -value : value);
}

// ---- Numbers -------------------------------------------------------------------------

template <class T>
void Absolute(TExprNode* node) {
  const T value = ArgValue<T>(node, 0);
  if constexpr (std::is_floating_point_v<T>) {
    StoreResult(node, std::fabs(value));
  } else {
    using U = std::make_unsigned_t<T>;
    StoreResult(node, value < 0 ? static_cast<T>(U{0} - static_cast<U>(value)) : value);
  }
}

void Truncate(TExprNode* node) { StoreResult(node, std::trunc(ArgValue<double>(node, 0))); }

// ROUND(value, decimals): half away from zero at the given decimal place
// (tens, hundreds, ... for negative places). The product is nudged by a
// few units in its last place so that 2.675 rounds to 2.68, as written.
void Round(TExprNode* node) {
  const double value = ArgValue<double>(node, 0);
  const int32_t places = std::clamp<int32_t>(ArgValue<int32_t>(node, 1), -18, 18);
  const double scale = std::pow(10.0, places);
  const double scaled = value * scale;
  if (!std::isfinite(scaled)) {
    StoreResult(node, value);
    return;
  }
  StoreResult(node, std::round(scaled * (1 + 4 * DBL_EPSILON)) / scale);
}

template <class T, bool Max>
void Extreme(TExprNode* node) {
  const T a = ArgValue<T>(node, 0);
  const T b = ArgValue<T>(node, 1);
  StoreResult(node, Max ? (b > a ? b : a) : (b < a ? b : a));
}

// ---- Logic ---------------------------------------------------------------------------

template <class T>
void Choose(TExprNode* node) {
  const int branch = node->Arg(0)[0] != 0 ? 1 : 2;
  if constexpr (std::is_same_v<T, std::string_view>) {
    StoreText(node, TextArg(node, branch));
  } else {
    StoreResult(node, ArgValue<T>(node, branch));
  }
}

template <class T>
void IsEmpty(TExprNode* node) {
  if constexpr (std::is_same_v<T, std::string_view>) {
    const auto* p = reinterpret_cast<const unsigned char*>(node->Arg(0));
    while (*p != 0 && *p < 33) ++p;
    StoreBoolean(node, *p == 0);
  } else if constexpr (std::is_same_v<T, bool>) {
    StoreBoolean(node, node->Arg(0)[0] == 0);
  } else {
    StoreBoolean(node, ArgValue<T>(node, 0) == 0);
  }
}

void SameLogical(TExprNode* node) {
  StoreBoolean(node, (node->Arg(0)[0] != 0) == (node->Arg(1)[0] != 0));
}
void OtherLogical(TExprNode* node) {
  StoreBoolean(node, (node->Arg(0)[0] != 0) != (node->Arg(1)[0] != 0));
}

// ---- Conversions ---------------------------------------------------------------------

template <class T>
void ToFloat(TExprNode* node) {
  StoreResult(node, static_cast<double>(ArgValue<T>(node, 0)));
}

// A logical field's stored byte: T, t, Y and y are true, everything else
// (F, N, ?, a blank) false.
void LogicalFromText(TExprNode* node) {
  const char c = node->Arg(0)[0];
  StoreBoolean(node, c == 'T' || c == 't' || c == 'Y' || c == 'y');
}

constexpr auto Register = RegisterWord;
constexpr auto Operator = RegisterOperator;
constexpr auto Function = RegisterFunction;

}  // namespace

void RegisterWord(TExpressList& words, std::unique_ptr<TExprWord> word) {
  std::unique_ptr<TExprWord> refused = words.Insert(std::move(word));
  (void)refused;
}

void RegisterOperator(TExpressList& words, const char* name, const char* signature,
                      TExprResultType type, TExprProc proc, int32_t precedence) {
  RegisterWord(words, TFunction::CreateOperator(name, signature, type, proc, precedence));
}

void RegisterFunction(TExpressList& words, const char* name, const char* signature, int minArgs,
                      TExprResultType type, TExprProc proc) {
  RegisterWord(words, TFunction::CreateFunction(name, "", signature, minArgs, type, proc));
}

// AT(needle, haystack): the 1-based place of the first occurrence, 0 for
// none (and for an empty needle).
void TextPosition(TExprNode* node) {
  const std::string_view needle = node->Arg(0);
  const size_t at =
      needle.empty() ? std::string_view::npos : std::string_view(node->Arg(1)).find(needle);
  StoreResult(node, static_cast<int32_t>(at == std::string_view::npos ? 0 : at + 1));
}

// left $ right: the left text occurs in the right one.
void Contains(TExprNode* node) {
  const std::string_view needle = node->Arg(0);
  StoreBoolean(node, !needle.empty() &&
                         std::string_view(node->Arg(1)).find(needle) != std::string_view::npos);
}

void RecordDeleted(TExprNode* node) {
  StoreBoolean(node, *static_cast<const uint8_t*>(node->Value) != 0);
}

void RecordNumber(TExprNode* node) { StoreResult(node, *static_cast<const int32_t*>(node->Value)); }

void AddDbaseWords(TExpressList& words) {
  words.SetDuplicates(true);
  for (const char* name : {".t.", ".y."})
    Register(words, std::make_unique<TBooleanConstant>(name, true));
  for (const char* name : {".f.", ".n."})
    Register(words, std::make_unique<TBooleanConstant>(name, false));

  Operator(words, kIntToFloatName, "I", rtFloat, ToFloat<int32_t>, 0);
  Operator(words, kLargeToFloatName, "L", rtFloat, ToFloat<int64_t>, 0);
  Operator(words, kLogicalTextName, "S", rtBoolean, LogicalFromText, 0);

  Operator(words, kUnaryMinusName, "F", rtFloat, Negate<double>, kSignPrecedence);
  Operator(words, kUnaryMinusName, "I", rtInteger, Negate<int32_t>, kSignPrecedence);
  Operator(words, kUnaryMinusName, "L", rtLargeInt, Negate<int64_t>, kSignPrecedence);
  Operator(words, kUnaryPlusName, "F", rtFloat, Identity<double>, kSignPrecedence);
  Operator(words, kUnaryPlusName, "I", rtInteger, Identity<int32_t>, kSignPrecedence);
  Operator(words, kUnaryPlusName, "L", rtLargeInt, Identity<int64_t>, kSignPrecedence);

  AddNumberOperator<'-'>(words, "-", kAddPrecedence, false);
  AddNumberOperator<'*'>(words, "*", kMultiplyPrecedence, false);
  AddNumberOperator<'/'>(words, "/", kMultiplyPrecedence, true);
  AddNumberOperator<'%'>(words, "%", kMultiplyPrecedence, false);
  AddNumberOperator<'^'>(words, "^", kPowerPrecedence, true);
  AddNumberOperator<'^'>(words, "**", kPowerPrecedence, true);

  Operator(words, "+", "DI", rtDateTime, DateArithmetic<double, int32_t, '+'>, kAddPrecedence);
  Operator(words, "+", "DF", rtDateTime, DateArithmetic<double, double, '+'>, kAddPrecedence);
  Operator(words, "+", "ID", rtDateTime, DateArithmetic<int32_t, double, '+'>, kAddPrecedence);
  Operator(words, "+", "FD", rtDateTime, DateArithmetic<double, double, '+'>, kAddPrecedence);
  Operator(words, "-", "DI", rtDateTime, DateArithmetic<double, int32_t, '-'>, kAddPrecedence);
  Operator(words, "-", "DF", rtDateTime, DateArithmetic<double, double, '-'>, kAddPrecedence);
  Operator(words, "-", "DD", rtFloat, DateArithmetic<double, double, '-'>, kAddPrecedence);

  Operator(words, "==", "SS", rtBoolean, ExactlyEqual, kComparePrecedence);
  Operator(words, "$", "SS", rtBoolean, Contains, kComparePrecedence);
  for (const char* name : {"=", "=="})
    Operator(words, name, "BB", rtBoolean, SameLogical, kComparePrecedence);
  for (const char* name : {"<>", "#", "!="})
    Operator(words, name, "BB", rtBoolean, OtherLogical, kComparePrecedence);

  Function(words, "TRIM", "S", 1, rtString, TrimText<false, true>);
  Function(words, "RTRIM", "S", 1, rtString, TrimText<false, true>);
  Function(words, "LTRIM", "S", 1, rtString, TrimText<true, false>);
  Function(words, "ALLTRIM", "S", 1, rtString, TrimText<true, true>);
  Function(words, "LEFT", "SI", 2, rtString, TextEnd<true>);
  Function(words, "RIGHT", "SI", 2, rtString, TextEnd<false>);
  Function(words, "LEN", "S", 1, rtInteger, TextLength);
  Function(words, "AT", "SS", 2, rtInteger, TextPosition);
  Function(words, "SPACE", "I", 1, rtString, Spaces);
  Function(words, "REPLICATE", "SI", 2, rtString, Replicate);
  Function(words, "PADL", "SIS", 2, rtString, Pad<true>);
  Function(words, "PADR", "SIS", 2, rtString, Pad<false>);
  Function(words, "VAL", "S", 1, rtFloat, TextToNumber);

  Function(words, "CTOD", "S", 1, rtDateTime, TextToDate);
  Function(words, "DTOC", "D", 1, rtString, DateToLocalText);
  Function(words, "DATE", "", 0, rtDateTime, Today);
  Function(words, "YEAR", "D", 1, rtInteger, DatePart<0>);
  Function(words, "MONTH", "D", 1, rtInteger, DatePart<1>);
  Function(words, "DAY", "D", 1, rtInteger, DatePart<2>);

  Function(words, "ABS", "F", 1, rtFloat, Absolute<double>);
  Function(words, "ABS", "I", 1, rtInteger, Absolute<int32_t>);
  Function(words, "ABS", "L", 1, rtLargeInt, Absolute<int64_t>);
  Function(words, "INT", "F", 1, rtFloat, Truncate);
  Function(words, "INT", "I", 1, rtInteger, Identity<int32_t>);
  Function(words, "INT", "L", 1, rtLargeInt, Identity<int64_t>);
  Function(words, "ROUND", "FI", 2, rtFloat, Round);
  Function(words, "MIN", "FF", 2, rtFloat, Extreme<double, false>);
  Function(words, "MIN", "DD", 2, rtDateTime, Extreme<double, false>);
  Function(words, "MIN", "LL", 2, rtLargeInt, Extreme<int64_t, false>);
  Function(words, "MIN", "II", 2, rtInteger, Extreme<int32_t, false>);
  Function(words, "MAX", "FF", 2, rtFloat, Extreme<double, true>);
  Function(words, "MAX", "DD", 2, rtDateTime, Extreme<double, true>);
  Function(words, "MAX", "LL", 2, rtLargeInt, Extreme<int64_t, true>);
  Function(words, "MAX", "II", 2, rtInteger, Extreme<int32_t, true>);

  Function(words, "IIF", "BSS", 3, rtString, Choose<std::string_view>);
  Function(words, "IIF", "BFF", 3, rtFloat, Choose<double>);
  Function(words, "IIF", "BDD", 3, rtDateTime, Choose<double>);
  Function(words, "IIF", "BLL", 3, rtLargeInt, Choose<int64_t>);
  Function(words, "IIF", "BII", 3, rtInteger, Choose<int32_t>);
  Function(words, "IIF", "BBB", 3, rtBoolean, Choose<uint8_t>);
  // ISBLANK of a value that is no table field is EMPTY; of a field the
  // table parser reads the field's bytes, so a blank number is not 0.
  for (const char* name : {"EMPTY", "ISBLANK"}) {
    Function(words, name, "S", 1, rtBoolean, IsEmpty<std::string_view>);
    Function(words, name, "F", 1, rtBoolean, IsEmpty<double>);
    Function(words, name, "D", 1, rtBoolean, IsEmpty<double>);
    Function(words, name, "I", 1, rtBoolean, IsEmpty<int32_t>);
    Function(words, name, "L", 1, rtBoolean, IsEmpty<int64_t>);
    Function(words, name, "B", 1, rtBoolean, IsEmpty<bool>);
  }
}

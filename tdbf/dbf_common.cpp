#include "tdbf/dbf_common.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <string_view>

#include "platform/codepage.h"

bool ParseDecimalInt(const char* text, int length, int64_t& value) {
  if (length <= 0) return false;
  const char* p = text;
  const char* end = text + length;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
  }
  if (p == end) return false;
  uint64_t magnitude = 0;
  auto [rest, ec] = std::from_chars(p, end, magnitude);
  if (ec != std::errc() || rest != end) return false;
  constexpr uint64_t kMaxPositive = static_cast<uint64_t>(INT64_MAX);
  if (negative) {
    if (magnitude > kMaxPositive + 1) return false;
    value = magnitude == kMaxPositive + 1 ? INT64_MIN : -static_cast<int64_t>(magnitude);
  } else {
    if (magnitude > kMaxPositive) return false;
    value = static_cast<int64_t>(magnitude);
  }
  return true;
}

bool ParseDecimalFloat(const char* text, int length, double& value) {
  if (length <= 0) return false;
  const char* p = text;
  const char* end = text + length;
  if (*p == '+' || *p == '-') ++p;
  // Only the plain dBase shapes: digits, one ".", an exponent; no "inf",
  // "nan" or hexadecimal floats.
  int digits = 0;
  int decimals = 0;
  uint64_t mantissa = 0;
  const char* q = p;
  for (; q < end && *q >= '0' && *q <= '9'; ++q, ++digits)
    mantissa = mantissa * 10 + static_cast<uint64_t>(*q - '0');
  if (q < end && *q == '.') {
    ++q;
    for (; q < end && *q >= '0' && *q <= '9'; ++q, ++digits, ++decimals)
      mantissa = mantissa * 10 + static_cast<uint64_t>(*q - '0');
  }
  if (digits == 0) return false;
  bool exponent = false;
  if (q < end && (*q == 'e' || *q == 'E')) {
    exponent = true;
    ++q;
    if (q < end && (*q == '+' || *q == '-')) ++q;
    const char* expStart = q;
    while (q < end && *q >= '0' && *q <= '9') ++q;
    if (q == expStart) return false;
  }
  if (q != end) return false;
  // The common shape, up to 15 digits and no exponent: the digits and the
  // power of ten are both exact doubles, so their quotient is the double
  // nearest the decimal, as from_chars gives it, without its cost.
  static constexpr double kPowersOfTen[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                            1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
  if (!exponent && digits <= 15) {
    const double v = static_cast<double>(mantissa) / kPowersOfTen[decimals];
    value = *text == '-' ? -v : v;
    return true;
  }
  double v = 0;
  auto [rest, ec] = std::from_chars(p, end, v);
  if (rest != end || (ec != std::errc() && ec != std::errc::result_out_of_range)) return false;
  if (ec == std::errc::result_out_of_range) {
    // Too large becomes infinity, too small zero, as a C reader would give.
    v = std::strtod(std::string(p, end).c_str(), nullptr);
  }
  value = *text == '-' ? -v : v;
  return true;
}

std::string FormatFixed(double value, int decimals) {
  if (!std::isfinite(value)) return std::string();
  if (decimals < 0) decimals = 0;
  // The shortest text that reads back as the same double, in scientific
  // form: "d.ddde+XX". Its digits are then rounded in decimal, so that 2.675
  // with two decimals gives 2.68 as a user expects.
  char sci[64];
  auto [end, ec] =
      std::to_chars(sci, sci + sizeof sci, std::fabs(value), std::chars_format::scientific);
  if (ec != std::errc()) return std::string();
  std::string digits;
  const char* p = sci;
  for (; p < end && *p != 'e'; ++p)
    if (*p != '.') digits += *p;
  int exponent = 0;
  if (p < end) std::from_chars(p + (p[1] == '+' ? 2 : 1), end, exponent);
  // digits[i] has weight 10^(exponent - i). Keep those down to 10^-decimals.
  int intDigits = exponent + 1;  // digits before the point (may be <= 0)
  int keep = intDigits + decimals;
  std::string kept;
  bool roundUp = false;
  if (keep < 0) {
    kept = "";
  } else if (keep < static_cast<int>(digits.size())) {
    kept = digits.substr(0, keep);
    roundUp = digits[keep] >= '5';
  } else {
    kept = digits + std::string(keep - digits.size(), '0');
  }
  if (roundUp) {
    int i = static_cast<int>(kept.size()) - 1;
    while (i >= 0 && kept[i] == '9') kept[i--] = '0';
    if (i >= 0) {
      ++kept[i];
    } else {
      kept.insert(kept.begin(), '1');
      ++intDigits;
    }
  }
  // kept now holds intDigits + decimals digits (when intDigits > 0).
  std::string intPart, fracPart;
  int total = static_cast<int>(kept.size());
  int fracStart = total - decimals;
  if (fracStart > 0) {
    intPart = kept.substr(0, fracStart);
    fracPart = kept.substr(fracStart);
  } else {
    intPart = "0";
    fracPart = std::string(-fracStart, '0') + kept;
  }
  size_t firstNonZero = intPart.find_first_not_of('0');
  intPart = firstNonZero == std::string::npos ? "0" : intPart.substr(firstNonZero);
  bool nonZero = intPart != "0" || fracPart.find_first_not_of('0') != std::string::npos;
  std::string result = (value < 0 && nonZero) ? "-" : "";
  result += intPart;
  if (decimals > 0) result += "." + fracPart;
  return result;
}

namespace {

// Position just after the folder part of a file name.
size_t FileNameStart(const std::string& fileName) {
  size_t slash = fileName.find_last_of("/\\");
  return slash == std::string::npos ? 0 : slash + 1;
}

size_t ExtensionStart(const std::string& fileName) {
  size_t dot = fileName.rfind('.');
  if (dot == std::string::npos || dot < FileNameStart(fileName)) return std::string::npos;
  return dot;
}

}  // namespace

std::string ChangeFileExt(const std::string& fileName, const std::string& ext) {
  size_t dot = ExtensionStart(fileName);
  return (dot == std::string::npos ? fileName : fileName.substr(0, dot)) + ext;
}

std::string ExtractFileExt(const std::string& fileName) {
  size_t dot = ExtensionStart(fileName);
  return dot == std::string::npos ? std::string() : fileName.substr(dot);
}

std::string ExtractFileName(const std::string& fileName) {
  const size_t slash = fileName.find_last_of('/');
  return slash == std::string::npos ? fileName : fileName.substr(slash + 1);
}

int TranslateText(int fromCp, int toCp, const char* src, char* dest, int length) {
  if (length < 0) length = static_cast<int>(std::strlen(src));
  if (length == 0) return 0;
  const std::string_view text(src, length);
  std::string out;
  bool converted;
  const int ansi = static_cast<int>(platform::GetACP());
  const int oem = static_cast<int>(platform::GetOEMCP());
  if (fromCp == toCp) {
    if (dest != src) std::memmove(dest, src, length);
    return length;
  }
  if (fromCp == oem && toCp == ansi)
    converted = platform::OemToChar(text, out);
  else if (fromCp == ansi && toCp == oem)
    converted = platform::CharToOem(text, out);
  else
    converted = platform::ConvertCodePage(static_cast<uint32_t>(fromCp),
                                          static_cast<uint32_t>(toCp), text, out);
  // The destination has room for length bytes; text that would grow beyond
  // them is not converted, like any other failed conversion.
  if (!converted || static_cast<int>(out.size()) > length) return length;
  std::memcpy(dest, out.data(), out.size());
  if (static_cast<int>(out.size()) < length) dest[out.size()] = 0;
  return static_cast<int>(out.size());
}

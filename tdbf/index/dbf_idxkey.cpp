// Keys of an index: taking a record's key through the tag's expression,
// the numeric key forms, and comparing keys in index order.
#include "tdbf/index/dbf_idxfile.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "platform/codepage.h"
#include "platform/collator.h"
#include "platform/env.h"
#include "runtime/exceptions.h"
#include "runtime/sysutils.h"
#include "tdbf/dbf_str.h"
#include "tdbf/expr/dbf_parser.h"
#include "tdbf/file/dbf_lang.h"
#include "tdbf/index/dbf_idxinternal.h"

namespace {

// number of digits before the point, byte 1 = 0x80 for a negative value,
// bytes 2..11 = up to 20 digits, two a byte, most significant first.
void EncodeDecimalKey(double value, char* out) {
  std::memset(out, 0, 12);
  auto* b = reinterpret_cast<uint8_t*>(out);
  if (value == 0 || !std::isfinite(value)) {
    b[0] = 0x34;
    return;
  }
  char text[40];
  std::snprintf(text, sizeof text, "%.14e", std::fabs(value));
  std::string digits;
  digits += text[0];
  digits.append(text + 2, 14);
  int exponent = std::atoi(std::strchr(text, 'e') + 1) + 1;
  while (!digits.empty() && digits.back() == '0') digits.pop_back();
  if (exponent < 0) {
    // Shifted right with leading zeros; digits beyond the twentieth are cut.
    digits.insert(0, static_cast<size_t>(std::min(-exponent, 20)), '0');
    exponent = 0;
  }
  if (digits.size() > 20) digits.resize(20);
  b[0] = static_cast<uint8_t>(0x34 + std::min(exponent, 0xFF - 0x34));
  b[1] = value < 0 ? 0x80 : 0;
  for (size_t i = 0; i < digits.size(); ++i) {
    const auto digit = static_cast<uint8_t>(digits[i] - '0');
    b[2 + i / 2] |= static_cast<uint8_t>(i % 2 == 0 ? digit << 4 : digit);
  }
}

int CompareDecimalKeys(const char* a, const char* b) {
  const auto* x = reinterpret_cast<const uint8_t*>(a);
  const auto* y = reinterpret_cast<const uint8_t*>(b);
  // Values below one in magnitude (and zero) compare without their sign.
  const bool negX = x[0] != 0x34 && (x[1] & 0x80) != 0;
  const bool negY = y[0] != 0x34 && (y[1] & 0x80) != 0;
  if (negX != negY) return negX ? -1 : 1;
  int result = 0;
  if (x[0] != y[0]) {
    result = x[0] < y[0] ? -1 : 1;
  } else {
    for (int i = 2; i < 10 && result == 0; ++i)
      if (x[i] != y[i]) result = x[i] < y[i] ? -1 : 1;
  }
  return negX ? -result : result;
}

double GetDouble(const char* p) {
  double value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

}  // namespace

// ---- Keys -------------------------------------------------------------------------

int TIndexFile::CompareRaw(const char* a, const char* b) const {
  const TTag& tag = Tag();
  if (tag.keyType != 'C') {
    if (IsMultiIndex()) return CompareDecimalKeys(a, b);
    const double x = GetDouble(a);
    const double y = GetDouble(b);
    return x > y ? 1 : (x < y ? -1 : 0);
  }
  if (const platform::TCollator* collator = Collator(tag)) {
    return collator->Compare(std::string_view(a, static_cast<size_t>(tag.keyLength)),
                             std::string_view(b, static_cast<size_t>(tag.keyLength)));
  }
  // Bytes in order; a NUL both keys share ends the key.
  const auto length = static_cast<size_t>(tag.keyLength);
  const int c = std::memcmp(a, b, length);
  if (c == 0) return 0;
  if (std::memchr(a, 0, length) == nullptr) return c < 0 ? -1 : 1;
  for (size_t i = 0; i < length; ++i) {
    const auto x = static_cast<uint8_t>(a[i]);
    const auto y = static_cast<uint8_t>(b[i]);
    if (x != y) return x < y ? -1 : 1;
    if (x == 0) return 0;
  }
  return 0;
}

void TIndexFile::MakeProbe(const char* key, TProbe& probe) const {
  const TTag& tag = Tag();
  probe.key = key;
  probe.useSortKeys = false;
  probe.collator = tag.keyType == 'C' ? Collator(tag) : nullptr;
  if (probe.collator == nullptr) return;
  const std::string_view text(key, static_cast<size_t>(tag.keyLength));
  probe.collator->Decode(text, probe.wide);
  // Pages kept between operations keep the sort keys of their entries; in
  // a shared mode every operation reads its pages afresh, and a sort key
  // would cost more than the few comparisons it serves.
  if (NeedLocks()) return;
  probe.collator->SortKey(text, probe.sortKey);
  probe.useSortKeys = true;
}

int TIndexFile::CompareProbe(const TProbe& probe, TPage& page, int32_t i, bool inner) const {
  const TTag& tag = Tag();
  const char* key = KeyAt(page.bytes.data(), i);
  const platform::TCollator* collator = probe.collator;
  if (collator == nullptr) return CompareKeys(probe.key, key);
  int result;
  if (inner && probe.useSortKeys) {
    // Inner pages are few and met by every search: their entries' sort
    // keys are made once and compared as bytes.
    if (page.sortAt.empty()) page.sortAt.assign(static_cast<size_t>(tag.maxKeys), 0);
    uint32_t& at = page.sortAt[static_cast<size_t>(i)];
    if (at == 0) {
      std::string& made = sortKeyBuffer_;
      collator->SortKey(std::string_view(key, static_cast<size_t>(tag.keyLength)), made);
      // A key too long to be placed is compared through the collator.
      if (made.empty() || made.size() > 0xFFFF || page.sortBytes.size() + made.size() > 0xFFFF) {
        result = collator->Compare(std::u16string_view(probe.wide),
                                   std::string_view(key, static_cast<size_t>(tag.keyLength)));
        return (tag.flags & kFlagDescending) ? -result : result;
      }
      at = static_cast<uint32_t>(page.sortBytes.size()) << 16 | static_cast<uint32_t>(made.size());
      page.sortBytes += made;
    }
    const std::string_view entryKey(page.sortBytes.data() + (at >> 16), at & 0xFFFF);
    result = std::string_view(probe.sortKey).compare(entryKey);
    result = result < 0 ? -1 : (result > 0 ? 1 : 0);
  } else {
    result = collator->Compare(std::u16string_view(probe.wide),
                               std::string_view(key, static_cast<size_t>(tag.keyLength)));
  }
  return (tag.flags & kFlagDescending) ? -result : result;
}

int TIndexFile::CompareKeys(const char* a, const char* b) const {
  const int result = CompareRaw(a, b);
  return (Tag().flags & kFlagDescending) ? -result : result;
}

const char* TIndexFile::ExtractKey(const char* record) {
  TTag& tag = Tag();
  // Compiled the first time a key is taken: browsing in index order and
  // searching never need it, and compiling costs more than opening.
  if (!tag.parser) CompileExpression(tag);
  const char* value = tag.parser->EvaluateRecord(record);
  char* key = keyBuffer_.data();
  switch (tag.parser->ResultType()) {
    case rtString: {
      const int32_t length = tag.parser->IsComputed()
                                 ? static_cast<int32_t>(strnlen(value, tag.parser->ResultLength()))
                                 : tag.parser->ResultLength();
      const int32_t copied = std::min(length, tag.keyLength);
      std::memcpy(key, value, static_cast<size_t>(copied));
      std::memset(key + copied, ' ', static_cast<size_t>(tag.keyLength - copied));
      break;
    }
    default: {
      double number = 0;
      switch (tag.parser->ResultType()) {
        case rtInteger: {
          int32_t v;
          std::memcpy(&v, value, sizeof v);
          number = v;
          break;
        }
        case rtLargeInt: {
          int64_t v;
          std::memcpy(&v, value, sizeof v);
          number = static_cast<double>(v);
          break;
        }
        case rtDateTime: {
          // Dates are keyed by their Julian day number, as dBase does.
          std::memcpy(&number, value, sizeof number);
          if (number != 0) number = std::floor(number) + kJulianDayOf18991230;
          break;
        }
        default:
          std::memcpy(&number, value, sizeof number);
      }
      if (IsMultiIndex()) {
        EncodeDecimalKey(number, key);
      } else {
        std::memcpy(key, &number, sizeof number);
      }
    }
  }
  key[tag.keyLength] = 0;
  return key;
}

std::string TIndexFile::KeyFromText(const std::string& text) const {
  if (selected_ < 0) return text;
  if (Tag().keyType != 'C') {
    double value = 0;
    ParseDecimalFloat(text.data(), static_cast<int>(text.size()), value);
    return KeyFromNumber(value);
  }
  std::string key = text.substr(0, static_cast<size_t>(Tag().keyLength));
  key.resize(static_cast<size_t>(Tag().keyLength), ' ');
  return key;
}

std::string TIndexFile::KeyFromNumber(double value) const {
  std::string key(IsMultiIndex() ? 12 : 8, '\0');
  if (IsMultiIndex())
    EncodeDecimalKey(value, key.data());
  else
    std::memcpy(key.data(), &value, sizeof value);
  return key;
}

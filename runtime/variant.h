#pragma once
// A small variant: empty, null, boolean, 16/32/64-bit integers, double,
// date-time, byte string, or a one-dimensional array of variants. It carries
// key values into a locate and field values out of ValueAsVariant.
// Conversions that cannot be made raise EVariantError
// "Could not convert variant of type (%s) into type (%s)".

#include <cstdint>
#include <string>
#include <vector>

#include "runtime/sysutils.h"

enum TVarType : uint8_t {
  varEmpty,
  varNull,
  varBoolean,
  varSmallint,
  varInteger,
  varInt64,
  varDouble,
  varDate,
  varString,
  varArray,
};

class TVariant {
 public:
  TVariant() = default;
  TVariant(bool v) : type_(varBoolean), int_(v ? 1 : 0) {}
  TVariant(int16_t v) : type_(varSmallint), int_(v) {}
  TVariant(int32_t v) : type_(varInteger), int_(v) {}
  TVariant(int64_t v) : type_(varInt64), int_(v) {}
  TVariant(double v) : type_(varDouble), double_(v) {}
  TVariant(std::string v) : type_(varString), string_(std::move(v)) {}
  TVariant(const char* v) : type_(varString), string_(v) {}
  TVariant(std::vector<TVariant> items) : type_(varArray), array_(std::move(items)) {}

  static TVariant Null();
  static TVariant FromDateTime(TDateTime dt);

  TVarType Type() const { return type_; }
  bool IsEmpty() const { return type_ == varEmpty; }
  bool IsNull() const { return type_ == varNull; }
  bool IsArray() const { return type_ == varArray; }
  bool IsNumeric() const;

  // Elements of an array variant (EVariantError for a non-array).
  int ArrayCount() const { return static_cast<int>(array_.size()); }
  const TVariant& ArrayItem(int index) const;

  // Conversions. Empty converts to 0, "", false; null raises for every
  // type but string (AsString of null raises too; ToText gives "").
  std::string AsString() const;
  double AsDouble() const;
  int64_t AsInt64() const;
  int32_t AsInteger() const;
  bool AsBoolean() const;
  TDateTime AsDateTime() const;
  // Text for showing: null and empty give "".
  std::string ToText() const;

  // The value converted to another type (EVariantError when it cannot be).
  TVariant ConvertTo(TVarType type) const;

  // Equality the way a locate compares: other is converted to this value's
  // type, then compared. Null equals only null.
  bool Equals(const TVariant& other) const;

  static const char* TypeName(TVarType type);

 private:
  [[noreturn]] void ConvertError(TVarType to) const;

  TVarType type_ = varEmpty;
  int64_t int_ = 0;
  double double_ = 0;
  std::string string_;
  std::vector<TVariant> array_;
};

#include "runtime/variant.h"

#include <cmath>

#include "runtime/exceptions.h"

TVariant TVariant::Null() {
  TVariant v;
  v.type_ = varNull;
  return v;
}

TVariant TVariant::FromDateTime(TDateTime dt) {
  TVariant v;
  v.type_ = varDate;
  v.double_ = dt;
  return v;
}

bool TVariant::IsNumeric() const {
  return type_ == varSmallint || type_ == varInteger || type_ == varInt64 || type_ == varDouble ||
         type_ == varBoolean;
}

const TVariant& TVariant::ArrayItem(int index) const {
  if (type_ != varArray || index < 0 || index >= ArrayCount())
    throw EVariantError("Variant or safe array index out of bounds");
  return array_[static_cast<size_t>(index)];
}

const char* TVariant::TypeName(TVarType type) {
  switch (type) {
    case varEmpty:
      return "Empty";
    case varNull:
      return "Null";
    case varBoolean:
      return "Boolean";
    case varSmallint:
      return "Smallint";
    case varInteger:
      return "Integer";
    case varInt64:
      return "Int64";
    case varDouble:
      return "Double";
    case varDate:
      return "Date";
    case varString:
      return "String";
    case varArray:
      return "Array";
  }
  return "Unknown";
}

void TVariant::ConvertError(TVarType to) const {
  throw EVariantError(Format("Could not convert variant of type (%s) into type (%s)",
                             TypeName(type_), TypeName(to)));
}

std::string TVariant::AsString() const {
  switch (type_) {
    case varEmpty:
      return {};
    case varBoolean:
      return int_ ? "True" : "False";
    case varSmallint:
    case varInteger:
    case varInt64:
      return IntToStr(int_);
    case varDouble:
      return FloatToStr(double_);
    case varDate:
      return DateTimeToStr(double_);
    case varString:
      return string_;
    default:
      ConvertError(varString);
  }
}

double TVariant::AsDouble() const {
  switch (type_) {
    case varEmpty:
      return 0;
    case varBoolean:
    case varSmallint:
    case varInteger:
    case varInt64:
      return static_cast<double>(int_);
    case varDouble:
    case varDate:
      return double_;
    case varString: {
      double v;
      if (TryStrToFloat(string_, v)) return v;
      ConvertError(varDouble);
    }
    default:
      ConvertError(varDouble);
  }
}

int64_t TVariant::AsInt64() const {
  switch (type_) {
    case varEmpty:
      return 0;
    case varBoolean:
    case varSmallint:
    case varInteger:
    case varInt64:
      return int_;
    case varDouble:
    case varDate:
      if (!(std::fabs(double_) < 9.2e18)) ConvertError(varInt64);
      return static_cast<int64_t>(std::nearbyint(double_));
    case varString: {
      int64_t v;
      if (TryStrToInt64(string_, v)) return v;
      double d;
      if (TryStrToFloat(string_, d) && std::fabs(d) < 9.2e18)
        return static_cast<int64_t>(std::nearbyint(d));
      ConvertError(varInt64);
    }
    default:
      ConvertError(varInt64);
  }
}

int32_t TVariant::AsInteger() const {
  int64_t v = AsInt64();
  if (v < INT32_MIN || v > INT32_MAX) ConvertError(varInteger);
  return static_cast<int32_t>(v);
}

bool TVariant::AsBoolean() const {
  switch (type_) {
    case varEmpty:
      return false;
    case varBoolean:
    case varSmallint:
    case varInteger:
    case varInt64:
      return int_ != 0;
    case varDouble:
      return double_ != 0;
    case varString:
      if (SameText(string_, "True")) return true;
      if (SameText(string_, "False")) return false;
      {
        double d;
        if (TryStrToFloat(string_, d)) return d != 0;
      }
      ConvertError(varBoolean);
    default:
      ConvertError(varBoolean);
  }
}

TDateTime TVariant::AsDateTime() const {
  switch (type_) {
    case varEmpty:
      return 0;
    case varSmallint:
    case varInteger:
    case varInt64:
      return static_cast<double>(int_);
    case varDouble:
    case varDate:
      return double_;
    case varString: {
      TDateTime dt;
      if (TryStrToDateTime(string_, dt)) return dt;
      ConvertError(varDate);
    }
    default:
      ConvertError(varDate);
  }
}

std::string TVariant::ToText() const {
  if (type_ == varNull || type_ == varEmpty) return {};
  if (type_ == varArray) return "(array)";
  return AsString();
}

TVariant TVariant::ConvertTo(TVarType type) const {
  if (type == type_) return *this;
  switch (type) {
    case varEmpty:
      return TVariant();
    case varNull:
      return Null();
    case varBoolean:
      return TVariant(AsBoolean());
    case varSmallint: {
      int64_t v = AsInt64();
      if (v < INT16_MIN || v > INT16_MAX) ConvertError(type);
      return TVariant(static_cast<int16_t>(v));
    }
    case varInteger:
      return TVariant(AsInteger());
    case varInt64:
      return TVariant(AsInt64());
    case varDouble:
      return TVariant(AsDouble());
    case varDate:
      return FromDateTime(AsDateTime());
    case varString:
      return TVariant(AsString());
    case varArray:
      ConvertError(type);
  }
  ConvertError(type);
}

bool TVariant::Equals(const TVariant& other) const {
  if (type_ == varNull || other.type_ == varNull) return type_ == other.type_;
  if (type_ == varEmpty || other.type_ == varEmpty) return type_ == other.type_;
  if (type_ == varArray || other.type_ == varArray) ConvertError(other.type_);
  TVariant o = other.ConvertTo(type_);
  switch (type_) {
    case varString:
      return string_ == o.string_;
    case varDouble:
    case varDate:
      return double_ == o.double_;
    default:
      return int_ == o.int_;
  }
}

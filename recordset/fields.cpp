#include "recordset/fields.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <vector>

#include "recordset/component.h"
#include "recordset/dataset.h"
#include "recordset/db_consts.h"
#include "runtime/classes.h"
#include "runtime/exceptions.h"

namespace {

// A number as %g writes it, with the user's decimal separator.
std::string MessageNumber(double value) {
  std::string text = Format("%g", value);
  for (char& c : text)
    if (c == '.') c = FormatSettings().DecimalSeparator;
  return text;
}

// The range message of a float field, its numbers in the user's format.
std::string RangeMessage(double value, const std::string& name, double low, double high) {
  std::string message = dbmsg::kFieldRangeError;
  for (size_t at; (at = message.find("%g")) != std::string::npos;) message[at + 1] = 's';
  return Format(message.c_str(), MessageNumber(value).c_str(), name.c_str(),
                MessageNumber(low).c_str(), MessageNumber(high).c_str());
}

// The native date limits: 1 January of year 1 .. 31 December 9999.
constexpr int32_t kMinDayNumber = 1;
constexpr int32_t kMaxDayNumber = 3652059;
constexpr int32_t kMSecsPerDayInt = 86400000;

bool WriteState(TRecordSetState state) {
  switch (state) {
    case rsEdit:
    case rsInsert:
    case rsSetKey:
    case rsCalcFields:
    case rsFilter:
    case rsNewValue:
    case rsInternalCalc:
      return true;
    default:
      return false;
  }
}

// Rounds a double to an integer in [low, high]; false when it does not fit.
bool RoundToRange(double value, int64_t low, int64_t high, int64_t& result) {
  if (!std::isfinite(value)) return false;
  double r = std::round(value);
  // high + 1 is a power of two for the 64-bit limit, where high itself
  // rounds up to it as a double and would let 2^63 through.
  if (r < static_cast<double>(low) || r >= static_cast<double>(high) + 1.0) return false;
  result = static_cast<int64_t>(r);
  return result >= low && result <= high;
}

}  // namespace

// ---- TField ------------------------------------------------------------------

TField::TField(TFieldType dataType) : dataType_(dataType) {}

TField::~TField() = default;

void TField::SetFieldName(const std::string& name) {
  if (dataSet_ != nullptr && dataSet_->Active()) DatabaseError(dbmsg::kDataSetOpen, dataSet_);
  fieldName_ = name;
}

const std::string& TField::DisplayName() const {
  return displayLabel_.empty() ? fieldName_ : displayLabel_;
}

int TField::DisplayWidth() const {
  return displayWidth_ >= 0 ? displayWidth_ : DefaultDisplayWidth();
}

void TField::SetFieldKind(TFieldKind kind) {
  if (dataSet_ != nullptr && dataSet_->Active()) DatabaseError(dbmsg::kDataSetOpen, dataSet_);
  fieldKind_ = kind;
}

int TField::Index() const {
  if (dataSet_ == nullptr) return -1;
  const auto& fields = dataSet_->fields_;
  for (size_t i = 0; i < fields.size(); ++i)
    if (fields[i].get() == this) return static_cast<int>(i);
  return -1;
}

void TField::SetIndex(int index) {
  int from = Index();
  if (from < 0) return;
  auto& fields = dataSet_->fields_;
  int last = static_cast<int>(fields.size()) - 1;
  index = std::clamp(index, 0, last);
  if (index == from) return;
  std::unique_ptr<TField> self = std::move(fields[static_cast<size_t>(from)]);
  fields.erase(fields.begin() + from);
  fields.insert(fields.begin() + index, std::move(self));
  dataSet_->Notify(reFieldListChanged);
}

int TField::DataSize() const { return 0; }

void TField::SetSize(int size) {
  if (dataSet_ != nullptr && dataSet_->Active()) DatabaseError(dbmsg::kDataSetOpen, dataSet_);
  size_ = std::max(size, 0);
}

bool TField::CanModify() const {
  if (readOnly_ || dataSet_ == nullptr) return false;
  if (fieldKind_ != fkData && fieldKind_ != fkInternalCalc) return false;
  return dataSet_->IsWritable();
}

bool TField::IsValidChar(char) const { return true; }

void TField::AccessError(const char* typeName) const {
  FieldError(Format(dbmsg::kFieldAccessError, DisplayName().c_str(), typeName));
}

void TField::FieldError(const std::string& message) const { DatabaseError(message, dataSet_); }

void TField::CheckWritable() const {
  if (dataSet_ == nullptr || !WriteState(dataSet_->State()))
    DatabaseError(dbmsg::kNotEditing, dataSet_);
}

std::string TField::ValueAsString() const { AccessError("String"); }
void TField::SetValueAsString(const std::string&) { AccessError("String"); }
double TField::ValueAsFloat() const { AccessError("Float"); }
void TField::SetValueAsFloat(double) { AccessError("Float"); }
TDateTime TField::ValueAsDateTime() const { AccessError("DateTime"); }
void TField::SetValueAsDateTime(TDateTime) { AccessError("DateTime"); }
int32_t TField::ValueAsInteger() const { AccessError("Integer"); }
void TField::SetValueAsInteger(int32_t) { AccessError("Integer"); }
int64_t TField::ValueAsLargeInt() const { AccessError("LargeInt"); }
void TField::SetValueAsLargeInt(int64_t) { AccessError("LargeInt"); }
bool TField::ValueAsBoolean() const { AccessError("Boolean"); }
void TField::SetValueAsBoolean(bool) { AccessError("Boolean"); }
TVariant TField::ValueAsVariant() const { AccessError("Variant"); }

void TField::SetValueAsVariant(const TVariant& value) {
  switch (value.Type()) {
    case varEmpty:
    case varNull:
      Clear();
      break;
    case varBoolean:
      SetValueAsBoolean(value.AsBoolean());
      break;
    case varSmallint:
    case varInteger:
      SetValueAsInteger(value.AsInteger());
      break;
    case varInt64:
      SetValueAsLargeInt(value.AsInt64());
      break;
    case varDouble:
      SetValueAsFloat(value.AsDouble());
      break;
    case varDate:
      SetValueAsDateTime(value.AsDateTime());
      break;
    case varString:
      SetValueAsString(value.AsString());
      break;
    case varArray:
      FieldError(Format(dbmsg::kFieldValueError, DisplayName().c_str()));
  }
}

bool TField::ValueIsNull() const { return !GetData(nullptr); }

void TField::Clear() { SetData(nullptr); }

std::string TField::GetText(bool) const { return ValueAsString(); }

void TField::SetText(const std::string& text) { SetValueAsString(text); }

std::string TField::EditText() const {
  if (!onGetText_) return GetText(false);
  std::string text;
  onGetText_(const_cast<TField&>(*this), text, false);
  return text;
}

std::string TField::ShownText() const {
  if (!onGetText_) return GetText(true);
  std::string text;
  onGetText_(const_cast<TField&>(*this), text, true);
  return text;
}

void TField::SetEditText(const std::string& text) {
  if (onSetText_)
    onSetText_(*this, text);
  else
    SetText(text);
}

void TField::FocusControl() {
  if (dataSet_ != nullptr) dataSet_->Notify(reFocusControl, this);
}

bool TField::GetData(void* buffer) const {
  if (validating_) {
    if (validateBuffer_ == nullptr) return false;
    if (buffer != nullptr) std::memcpy(buffer, validateBuffer_, static_cast<size_t>(DataSize()));
    return true;
  }
  if (dataSet_ == nullptr) return false;
  return dataSet_->ReadFieldData(const_cast<TField*>(this), buffer);
}

void TField::SetData(const void* buffer) {
  CheckWritable();
  if (onValidate_) {
    validating_ = true;
    validateBuffer_ = buffer;
    try {
      onValidate_(*this);
    } catch (...) {
      validating_ = false;
      validateBuffer_ = nullptr;
      throw;
    }
    validating_ = false;
    validateBuffer_ = nullptr;
  }
  dataSet_->WriteFieldData(this, buffer);
}

// ---- TStringField ------------------------------------------------------------

TStringField::TStringField(int size) : TField(ftString) { TField::SetSize(size); }

void TStringField::SetFixedChar(bool value) {
  fixedChar_ = value;
  SetDataType(value ? ftFixedChar : ftString);
}

std::string TStringField::ValueAsString() const {
  std::string text;
  ReadText(text);
  return text;
}

bool TStringField::ReadText(std::string& text) const {
  // The storage writes the stored text and a NUL terminator.
  read_.resize(static_cast<size_t>(DataSize()) + 1);
  read_[0] = 0;
  if (!GetData(read_.data())) {
    text.clear();
    return false;
  }
  const std::string_view stored(read_.data(), strnlen(read_.data(), read_.size()));
  if (transliterate_ && DataSet() != nullptr)
    DataSet()->TextFromStorage(stored, text);
  else
    text.assign(stored);
  return true;
}

void TStringField::SetValueAsString(const std::string& value) {
  const size_t width = static_cast<size_t>(Size());
  if (transliterate_ && DataSet() != nullptr)
    DataSet()->TextToStorage(*this, value, written_, width);
  else
    written_.assign(value, 0, std::min(value.size(), width));
  // The native form is DataSize() bytes: the text, NUL-padded.
  written_.resize(std::max(written_.size(), width) + 1, '\0');
  SetData(written_.data());
}

int32_t TStringField::ValueAsInteger() const {
  std::string text = Trim(ValueAsString());
  int32_t value = 0;
  if (!text.empty() && !TryStrToInt(text, value))
    FieldError(Format(dbmsg::kInvalidIntegerValue, text.c_str(), DisplayName().c_str()));
  return value;
}

void TStringField::SetValueAsInteger(int32_t value) { SetValueAsString(IntToStr(value)); }

int64_t TStringField::ValueAsLargeInt() const {
  std::string text = Trim(ValueAsString());
  int64_t value = 0;
  if (!text.empty() && !TryStrToInt64(text, value))
    FieldError(Format(dbmsg::kInvalidIntegerValue, text.c_str(), DisplayName().c_str()));
  return value;
}

void TStringField::SetValueAsLargeInt(int64_t value) { SetValueAsString(IntToStr(value)); }

double TStringField::ValueAsFloat() const {
  std::string text = Trim(ValueAsString());
  double value = 0;
  if (!text.empty() && !TryStrToFloat(text, value))
    FieldError(Format(dbmsg::kInvalidFloatValue, text.c_str(), DisplayName().c_str()));
  return value;
}

void TStringField::SetValueAsFloat(double value) { SetValueAsString(FloatToStr(value)); }

TDateTime TStringField::ValueAsDateTime() const {
  std::string text = Trim(ValueAsString());
  return text.empty() ? 0.0 : StrToDateTime(text);
}

void TStringField::SetValueAsDateTime(TDateTime value) { SetValueAsString(DateTimeToStr(value)); }

bool TStringField::ValueAsBoolean() const {
  std::string text = ValueAsString();
  return !text.empty() && std::strchr("TtYy", text[0]) != nullptr;
}

void TStringField::SetValueAsBoolean(bool value) { SetValueAsString(value ? "T" : "F"); }

TVariant TStringField::ValueAsVariant() const {
  if (ValueIsNull()) return TVariant::Null();
  return TVariant(ValueAsString());
}

// ---- TNumericField -------------------------------------------------------------

TNumericField::TNumericField(TFieldType dataType) : TField(dataType) {
  SetAlignment(taRightJustify);
}

bool TNumericField::IsValidChar(char c) const {
  if ((c >= '0' && c <= '9') || c == '+' || c == '-') return true;
  if (DataType() == ftFloat || DataType() == ftCurrency)
    return c == FormatSettings().DecimalSeparator || c == 'E' || c == 'e';
  return false;
}

// ---- Integer fields -----------------------------------------------------------

TIntegerField::TIntegerField() : TIntegerField(ftInteger, INT32_MIN, INT32_MAX) {}

TIntegerField::TIntegerField(TFieldType dataType, int64_t low, int64_t high)
    : TNumericField(dataType), low_(low), high_(high) {}

TSmallintField::TSmallintField() : TIntegerField(ftSmallint, INT16_MIN, INT16_MAX) {}
TWordField::TWordField() : TIntegerField(ftWord, 0, UINT16_MAX) {}
TAutoIncField::TAutoIncField() : TIntegerField(ftAutoInc, INT32_MIN, INT32_MAX) {}
TLargeintField::TLargeintField() : TIntegerField(ftLargeint, INT64_MIN, INT64_MAX) {}

int TIntegerField::DataSize() const {
  switch (DataType()) {
    case ftSmallint:
    case ftWord:
      return 2;
    case ftLargeint:
      return 8;
    default:
      return 4;
  }
}

int TIntegerField::DefaultDisplayWidth() const {
  switch (DataType()) {
    case ftSmallint:
      return 6;
    case ftWord:
      return 5;
    case ftLargeint:
      return 15;
    default:
      return 11;
  }
}

bool TIntegerField::ReadValue(int64_t& value) const {
  unsigned char data[8] = {};
  if (!GetData(data)) return false;
  switch (DataType()) {
    case ftSmallint: {
      int16_t v;
      std::memcpy(&v, data, sizeof v);
      value = v;
      break;
    }
    case ftWord: {
      uint16_t v;
      std::memcpy(&v, data, sizeof v);
      value = v;
      break;
    }
    case ftLargeint:
      std::memcpy(&value, data, sizeof value);
      break;
    default: {
      int32_t v;
      std::memcpy(&v, data, sizeof v);
      value = v;
    }
  }
  return true;
}

std::string TIntegerField::ValueAsString() const {
  int64_t value;
  return ReadValue(value) ? IntToStr(value) : std::string();
}

void TIntegerField::SetValueAsString(const std::string& value) {
  std::string text = Trim(value);
  if (text.empty()) {
    Clear();
    return;
  }
  int64_t number;
  if (!TryStrToInt64(text, number))
    FieldError(Format(dbmsg::kInvalidIntegerValue, value.c_str(), DisplayName().c_str()));
  SetValueAsLargeInt(number);
}

double TIntegerField::ValueAsFloat() const {
  int64_t value;
  return ReadValue(value) ? static_cast<double>(value) : 0.0;
}

void TIntegerField::SetValueAsFloat(double value) {
  int64_t number;
  if (!RoundToRange(value, INT64_MIN, INT64_MAX, number))
    FieldError(Format(dbmsg::kFieldValueError, DisplayName().c_str()));
  SetValueAsLargeInt(number);
}

int32_t TIntegerField::ValueAsInteger() const {
  int64_t value;
  if (!ReadValue(value)) return 0;
  if (value < INT32_MIN || value > INT32_MAX)
    FieldError(Format(dbmsg::kFieldValueError, DisplayName().c_str()));
  return static_cast<int32_t>(value);
}

void TIntegerField::SetValueAsInteger(int32_t value) { SetValueAsLargeInt(value); }

int64_t TIntegerField::ValueAsLargeInt() const {
  int64_t value;
  return ReadValue(value) ? value : 0;
}

void TIntegerField::SetValueAsLargeInt(int64_t value) {
  int64_t low = low_, high = high_;
  if (value >= low && value <= high && (minValue_ != 0 || maxValue_ != 0)) {
    low = minValue_;
    high = maxValue_;
  }
  if (value < low || value > high)
    FieldError(Format(dbmsg::kFieldIntRangeError, static_cast<long long>(value),
                      DisplayName().c_str(), static_cast<long long>(low),
                      static_cast<long long>(high)));
  unsigned char data[8] = {};
  switch (DataType()) {
    case ftSmallint: {
      int16_t v = static_cast<int16_t>(value);
      std::memcpy(data, &v, sizeof v);
      break;
    }
    case ftWord: {
      uint16_t v = static_cast<uint16_t>(value);
      std::memcpy(data, &v, sizeof v);
      break;
    }
    case ftLargeint:
      std::memcpy(data, &value, sizeof value);
      break;
    default: {
      int32_t v = static_cast<int32_t>(value);
      std::memcpy(data, &v, sizeof v);
    }
  }
  SetData(data);
}

TVariant TIntegerField::ValueAsVariant() const {
  int64_t value;
  if (!ReadValue(value)) return TVariant::Null();
  switch (DataType()) {
    case ftSmallint:
      return TVariant(static_cast<int16_t>(value));
    case ftLargeint:
      return TVariant(value);
    default:
      return TVariant(static_cast<int32_t>(value));
  }
}

std::string TIntegerField::GetText(bool displayText) const {
  int64_t value;
  if (!ReadValue(value)) return {};
  const std::string& format = displayText ? DisplayFormat() : EditFormat();
  if (format.empty()) return IntToStr(value);
  return FormatFloat(format, static_cast<double>(value));
}

// ---- TFloatField ---------------------------------------------------------------

TFloatField::TFloatField() : TFloatField(ftFloat) {}

TFloatField::TFloatField(TFieldType dataType) : TNumericField(dataType) {}

TCurrencyField::TCurrencyField() : TFloatField(ftCurrency) { SetCurrency(true); }

void TFloatField::SetPrecision(int precision) { precision_ = std::clamp(precision, 2, 15); }

bool TFloatField::ReadValue(double& value) const { return GetData(&value); }

std::string TFloatField::ValueAsString() const {
  double value;
  return ReadValue(value) ? FloatToStr(value) : std::string();
}

void TFloatField::SetValueAsString(const std::string& value) {
  std::string text = Trim(value);
  if (text.empty()) {
    Clear();
    return;
  }
  double number;
  if (!TryStrToFloat(text, number))
    FieldError(Format(dbmsg::kInvalidFloatValue, value.c_str(), DisplayName().c_str()));
  SetValueAsFloat(number);
}

double TFloatField::ValueAsFloat() const {
  double value;
  return ReadValue(value) ? value : 0.0;
}

void TFloatField::SetValueAsFloat(double value) {
  if (!std::isfinite(value)) FieldError(Format(dbmsg::kFieldValueError, DisplayName().c_str()));
  if ((minValue_ != 0 || maxValue_ != 0) && (value < minValue_ || value > maxValue_))
    FieldError(RangeMessage(value, DisplayName(), minValue_, maxValue_));
  SetData(&value);
}

int32_t TFloatField::ValueAsInteger() const {
  int64_t result = 0;
  if (!RoundToRange(ValueAsFloat(), INT32_MIN, INT32_MAX, result))
    FieldError(Format(dbmsg::kFieldValueError, DisplayName().c_str()));
  return static_cast<int32_t>(result);
}

void TFloatField::SetValueAsInteger(int32_t value) { SetValueAsFloat(value); }

int64_t TFloatField::ValueAsLargeInt() const {
  int64_t result = 0;
  if (!RoundToRange(ValueAsFloat(), INT64_MIN, INT64_MAX, result))
    FieldError(Format(dbmsg::kFieldValueError, DisplayName().c_str()));
  return result;
}

void TFloatField::SetValueAsLargeInt(int64_t value) { SetValueAsFloat(static_cast<double>(value)); }

TVariant TFloatField::ValueAsVariant() const {
  double value;
  return ReadValue(value) ? TVariant(value) : TVariant::Null();
}

std::string TFloatField::GetText(bool displayText) const {
  double value;
  if (!ReadValue(value)) return {};
  const std::string& format = displayText ? DisplayFormat() : EditFormat();
  if (!format.empty()) return FormatFloat(format, value);
  if (currency_) {
    int digits = FormatSettings().CurrencyDecimals;
    return FloatToStrF(value, displayText ? ffCurrency : ffFixed, precision_, digits);
  }
  return FloatToStrF(value, ffGeneral, precision_, 0);
}

// ---- TBooleanField -------------------------------------------------------------

TBooleanField::TBooleanField() : TField(ftBoolean) {}

void TBooleanField::SetDisplayValues(const std::string& values) {
  size_t semicolon = values.find(';');
  trueText_ = values.substr(0, semicolon);
  falseText_ = semicolon == std::string::npos ? std::string() : values.substr(semicolon + 1);
}

int TBooleanField::DefaultDisplayWidth() const {
  return static_cast<int>(std::max(trueText_.size(), falseText_.size()));
}

std::string TBooleanField::ValueAsString() const {
  int16_t value;
  if (!GetData(&value)) return {};
  return value != 0 ? trueText_ : falseText_;
}

void TBooleanField::SetValueAsString(const std::string& value) {
  std::string text = Trim(value);
  if (text.empty()) {
    Clear();
    return;
  }
  auto begins = [&text](const std::string& word) {
    return text.size() <= word.size() && SameText(word.substr(0, text.size()), text);
  };
  if (SameText(text, trueText_))
    SetValueAsBoolean(true);
  else if (SameText(text, falseText_))
    SetValueAsBoolean(false);
  else if (begins(trueText_))
    SetValueAsBoolean(true);
  else if (begins(falseText_))
    SetValueAsBoolean(false);
  else
    FieldError(Format(dbmsg::kInvalidBoolValue, value.c_str(), DisplayName().c_str()));
}

bool TBooleanField::ValueAsBoolean() const {
  int16_t value;
  return GetData(&value) && value != 0;
}

void TBooleanField::SetValueAsBoolean(bool value) {
  int16_t data = value ? 1 : 0;
  SetData(&data);
}

TVariant TBooleanField::ValueAsVariant() const {
  int16_t value;
  if (!GetData(&value)) return TVariant::Null();
  return TVariant(value != 0);
}

// ---- Date and time fields ------------------------------------------------------

TDateTimeField::TDateTimeField() : TDateTimeField(ftDateTime) {}

TDateTimeField::TDateTimeField(TFieldType dataType) : TField(dataType) {}

TDateField::TDateField() : TDateTimeField(ftDate) {}

TTimeField::TTimeField() : TDateTimeField(ftTime) {}

std::string TDateTimeField::ValueAsString() const {
  if (ValueIsNull()) return {};
  return DefaultText(ValueAsDateTime());
}

void TDateTimeField::SetValueAsString(const std::string& value) {
  std::string text = Trim(value);
  if (text.empty()) {
    Clear();
    return;
  }
  SetValueAsDateTime(ParseText(text));
}

double TDateTimeField::ValueAsFloat() const { return ValueAsDateTime(); }

void TDateTimeField::SetValueAsFloat(double value) { SetValueAsDateTime(value); }

TDateTime TDateTimeField::ValueAsDateTime() const {
  unsigned char data[8] = {};
  if (!GetData(data)) return 0.0;
  return FromNative(data);
}

void TDateTimeField::SetValueAsDateTime(TDateTime value) {
  unsigned char data[8] = {};
  ToNative(value, data);
  SetData(data);
}

TVariant TDateTimeField::ValueAsVariant() const {
  unsigned char data[8] = {};
  if (!GetData(data)) return TVariant::Null();
  return TVariant::FromDateTime(FromNative(data));
}

std::string TDateTimeField::GetText(bool displayText) const {
  unsigned char data[8] = {};
  if (!GetData(data)) return {};
  TDateTime value = FromNative(data);
  if (displayText && !displayFormat_.empty()) return FormatDateTime(displayFormat_, value);
  return DefaultText(value);
}

std::string TDateTimeField::DefaultText(TDateTime value) const { return DateTimeToStr(value); }

TDateTime TDateTimeField::ParseText(const std::string& text) const { return StrToDateTime(text); }

TDateTime TDateTimeField::FromNative(const void* data) const {
  double msecs;
  std::memcpy(&msecs, data, sizeof msecs);
  if (!std::isfinite(msecs)) return 0.0;
  double days = std::floor(msecs / kMSecsPerDay);
  double time = (msecs - days * kMSecsPerDay) / kMSecsPerDay;
  double date = days - kDateDelta;
  return date >= 0 ? date + time : date - time;
}

void TDateTimeField::ToNative(TDateTime value, void* data) const {
  if (!std::isfinite(value)) FieldError(Format(dbmsg::kFieldValueError, DisplayName().c_str()));
  double days = std::trunc(value);
  double dayNumber = days + kDateDelta;
  if (dayNumber < kMinDayNumber || dayNumber > kMaxDayNumber)
    FieldError(Format(dbmsg::kFieldValueError, DisplayName().c_str()));
  double msecs = dayNumber * kMSecsPerDay + std::round(std::fabs(value - days) * kMSecsPerDay);
  std::memcpy(data, &msecs, sizeof msecs);
}

std::string TDateField::DefaultText(TDateTime value) const { return DateToStr(value); }

TDateTime TDateField::ParseText(const std::string& text) const { return StrToDate(text); }

TDateTime TDateField::FromNative(const void* data) const {
  int32_t dayNumber;
  std::memcpy(&dayNumber, data, sizeof dayNumber);
  return static_cast<TDateTime>(static_cast<int64_t>(dayNumber) - kDateDelta);
}

void TDateField::ToNative(TDateTime value, void* data) const {
  double dayNumber = std::isfinite(value) ? std::trunc(value) + kDateDelta : 0;
  if (dayNumber < kMinDayNumber || dayNumber > kMaxDayNumber)
    FieldError(Format(dbmsg::kFieldValueError, DisplayName().c_str()));
  int32_t native = static_cast<int32_t>(dayNumber);
  std::memcpy(data, &native, sizeof native);
}

std::string TTimeField::DefaultText(TDateTime value) const { return TimeToStr(value); }

TDateTime TTimeField::ParseText(const std::string& text) const { return StrToTime(text); }

TDateTime TTimeField::FromNative(const void* data) const {
  int32_t msecs;
  std::memcpy(&msecs, data, sizeof msecs);
  return msecs / kMSecsPerDay;
}

void TTimeField::ToNative(TDateTime value, void* data) const {
  if (!std::isfinite(value)) FieldError(Format(dbmsg::kFieldValueError, DisplayName().c_str()));
  double msecs = std::round(std::fabs(value - std::trunc(value)) * kMSecsPerDay);
  int32_t native = std::min(static_cast<int32_t>(msecs), kMSecsPerDayInt - 1);
  std::memcpy(data, &native, sizeof native);
}

// ---- Blob fields ---------------------------------------------------------------

TVarBytesField::TVarBytesField(int size) : TField(ftVarBytes) { TField::SetSize(size); }

std::string TVarBytesField::ValueAsString() const {
  std::string data(static_cast<size_t>(DataSize()), '\0');
  if (!GetData(data.data())) return {};
  const size_t length = std::min<size_t>(
      static_cast<uint8_t>(data[0]) | static_cast<size_t>(static_cast<uint8_t>(data[1])) << 8,
      static_cast<size_t>(Size()));
  return data.substr(2, length);
}

void TVarBytesField::SetValueAsString(const std::string& value) {
  const size_t length = std::min(value.size(), static_cast<size_t>(Size()));
  std::string data(static_cast<size_t>(DataSize()), '\0');
  data[0] = static_cast<char>(length & 0xFF);
  data[1] = static_cast<char>(length >> 8);
  std::memcpy(data.data() + 2, value.data(), length);
  SetData(data.data());
}

TVariant TVarBytesField::ValueAsVariant() const {
  if (ValueIsNull()) return TVariant::Null();
  return TVariant(ValueAsString());
}

std::string TVarBytesField::GetText(bool) const {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (const unsigned char byte : ValueAsString()) {
    if (!text.empty()) text += ' ';
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0F];
  }
  return text;
}

void TVarBytesField::SetText(const std::string& text) {
  std::string bytes;
  int high = -1;
  for (const char c : text) {
    if (c == ' ' || c == '\t') continue;
    int digit = -1;
    if (c >= '0' && c <= '9') digit = c - '0';
    if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    if (digit < 0)
      FieldError(Format(dbmsg::kInvalidBytesValue, text.c_str(), DisplayName().c_str()));
    if (high < 0) {
      high = digit;
    } else {
      bytes += static_cast<char>(high << 4 | digit);
      high = -1;
    }
  }
  if (high >= 0) FieldError(Format(dbmsg::kInvalidBytesValue, text.c_str(), DisplayName().c_str()));
  if (bytes.empty())
    Clear();
  else
    SetValueAsString(bytes);
}

TBlobField::TBlobField() : TBlobField(ftBlob) {}

TBlobField::TBlobField(TFieldType dataType) : TField(dataType) {}

TMemoField::TMemoField() : TBlobField(ftMemo) { SetTransliterate(true); }

TGraphicField::TGraphicField() : TBlobField(ftGraphic) {}

void TBlobField::SetBlobType(TFieldType type) { SetDataType(type); }

int64_t TBlobField::BlobSize() const {
  if (DataSet() == nullptr) return 0;
  std::shared_ptr<TStream> stream =
      DataSet()->CreateBlobStream(const_cast<TBlobField*>(this), bmRead);
  return stream ? stream->Size() : 0;
}

std::string TBlobField::ValueAsString() const {
  if (DataSet() == nullptr) return {};
  std::shared_ptr<TStream> stream =
      DataSet()->CreateBlobStream(const_cast<TBlobField*>(this), bmRead);
  if (!stream) return {};
  std::string value(static_cast<size_t>(std::max<int64_t>(stream->Size(), 0)), '\0');
  stream->SetPosition(0);
  int64_t read = value.empty() ? 0 : stream->Read(value.data(), static_cast<int64_t>(value.size()));
  value.resize(static_cast<size_t>(std::max<int64_t>(read, 0)));
  return value;
}

void TBlobField::SetValueAsString(const std::string& value) {
  CheckWritable();
  std::shared_ptr<TStream> stream = DataSet()->CreateBlobStream(this, bmWrite);
  if (!stream) AccessError("Blob");
  stream->SetPosition(0);
  stream->WriteBuffer(value.data(), static_cast<int64_t>(value.size()));
  stream->SetSize(static_cast<int64_t>(value.size()));
  stream.reset();
  modified_ = true;
  DataSet()->FieldDataChanged(this);
}

void TBlobField::SaveToStream(TStream& stream) const {
  std::string value = ValueAsString();
  stream.WriteBuffer(value.data(), static_cast<int64_t>(value.size()));
}

void TBlobField::LoadFromStream(TStream& stream) {
  std::string value(static_cast<size_t>(std::max<int64_t>(stream.Size(), 0)), '\0');
  stream.SetPosition(0);
  stream.ReadBuffer(value.data(), static_cast<int64_t>(value.size()));
  SetValueAsString(value);
}

TVariant TBlobField::ValueAsVariant() const {
  std::string value = ValueAsString();
  if (value.empty()) return TVariant::Null();
  return TVariant(std::move(value));
}

bool TBlobField::ValueIsNull() const { return BlobSize() == 0; }

void TBlobField::Clear() { SetValueAsString(std::string()); }

std::string TBlobField::GetText(bool displayText) const {
  if (!displayText) return ValueAsString();
  std::string name;
  switch (DataType()) {
    case ftGraphic:
      name = "Graphic";
      break;
    case ftDBaseOle:
    case ftParadoxOle:
      name = "OLE";
      break;
    case ftMemo:
    case ftFmtMemo:
    case ftOraClob:
      name = "Memo";
      break;
    default:
      name = "Blob";
  }
  return "(" + (ValueIsNull() ? name : UpperCase(name)) + ")";
}

std::string TMemoField::GetText(bool) const { return ValueAsString(); }

// ---- Field classes by type ------------------------------------------------------

std::unique_ptr<TField> CreateFieldForType(TFieldType type, int size) {
  switch (type) {
    case ftString:
      return std::make_unique<TStringField>(std::max(size, 0));
    case ftFixedChar: {
      auto field = std::make_unique<TStringField>(std::max(size, 0));
      field->SetFixedChar(true);
      return field;
    }
    case ftSmallint:
      return std::make_unique<TSmallintField>();
    case ftInteger:
      return std::make_unique<TIntegerField>();
    case ftWord:
      return std::make_unique<TWordField>();
    case ftBoolean:
      return std::make_unique<TBooleanField>();
    case ftFloat:
      return std::make_unique<TFloatField>();
    case ftCurrency:
      return std::make_unique<TCurrencyField>();
    case ftDate:
      return std::make_unique<TDateField>();
    case ftTime:
      return std::make_unique<TTimeField>();
    case ftDateTime:
      return std::make_unique<TDateTimeField>();
    case ftAutoInc:
      return std::make_unique<TAutoIncField>();
    case ftLargeint:
      return std::make_unique<TLargeintField>();
    case ftVarBytes:
      return std::make_unique<TVarBytesField>(std::max(size, 0));
    case ftMemo:
    case ftOraClob: {
      auto field = std::make_unique<TMemoField>();
      field->SetBlobType(type);
      return field;
    }
    case ftGraphic:
      return std::make_unique<TGraphicField>();
    case ftBlob:
    case ftFmtMemo:
    case ftParadoxOle:
    case ftDBaseOle:
    case ftTypedBinary:
    case ftOraBlob: {
      auto field = std::make_unique<TBlobField>();
      field->SetBlobType(type);
      return field;
    }
    default:
      return nullptr;
  }
}

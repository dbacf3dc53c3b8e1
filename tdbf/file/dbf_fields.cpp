#include "tdbf/file/dbf_fields.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "recordset/field_defs.h"
#include "runtime/exceptions.h"
#include "runtime/sysutils.h"
#include "tdbf/dbf_str.h"

// ---- TDbfFieldDef -------------------------------------------------------------

TDbfFieldDef::TDbfFieldDef(TDbfFieldDefs* collection) : collection_(collection) {}

int TDbfFieldDef::Index() const { return collection_ ? collection_->IndexOf(this) : -1; }

TTableFormat TDbfFieldDef::TableFormat() const {
  return collection_ ? collection_->TableFormat() : tfDBase4;
}

bool TDbfFieldDef::UseFloatFields() const {
  return collection_ ? collection_->UseFloatFields() : true;
}

TFieldType TDbfFieldDef::TypeOfLetter(char letter) const {
  if (TableFormat() == tfVisualFoxPro) {
    switch (letter) {
      case 'Y':
        return ftCurrency;
      case 'B':
        return ftFloat;
      case 'T':
        return ftDateTime;
      case 'V':
        return ftString;
      case 'Q':
        return ftVarBytes;
      case 'P':
      case 'W':
        return ftBlob;
      case '0':
        return ftBytes;
      default:
        break;
    }
  }
  switch (letter) {
    case 'C':
      return ftString;
    case 'N':
    case 'F':
      if (precision_ > 0) return ftFloat;
      if (size_ <= 4) return ftSmallint;
      if (UseFloatFields()) return ftFloat;
      return size_ > 9 ? ftLargeint : ftInteger;
    case 'L':
      return ftBoolean;
    case 'D':
      return ftDate;
    case '@':
    case 'T':
      return ftDateTime;
    case 'I':
      return (fieldFlags_ & kFieldAutoInc) == kFieldAutoInc ? ftAutoInc : ftInteger;
    case '+':
      return ftAutoInc;
    case 'O':
      return ftFloat;
    case 'Y':
      return TableFormat() == tfDBase7 ? ftUnknown : ftCurrency;
    case 'M':
      return ftMemo;
    case 'B':
      return size_ == 8 && TableFormat() != tfDBase7 ? ftFloat : ftBlob;
    case 'G':
      return ftDBaseOle;
    default:
      return ftUnknown;
  }
}

char TDbfFieldDef::LetterOfType(TFieldType type) const {
  if (TableFormat() == tfVisualFoxPro) {
    switch (type) {
      case ftInteger:
      case ftAutoInc:
        return 'I';
      case ftCurrency:
        return 'Y';
      case ftFloat:
        return 'B';
      case ftDateTime:
        return 'T';
      case ftBlob:
        return 'W';
      case ftWideString:
        return 'V';
      case ftBytes:
      case ftVarBytes:
        return 'Q';
      default:
        break;
    }
  }
  switch (type) {
    case ftString:
    case ftFixedChar:
    case ftWideString:
      return 'C';
    case ftSmallint:
    case ftWord:
    case ftFloat:
    case ftCurrency:
    case ftLargeint:
      return 'N';
    case ftInteger:
      return TableFormat() == tfDBase7 ? 'I' : 'N';
    case ftBoolean:
      return 'L';
    case ftDate:
      return 'D';
    case ftDateTime:
      return '@';
    case ftAutoInc:
      return '+';
    case ftBlob:
      return 'B';
    case ftMemo:
      return 'M';
    case ftDBaseOle:
      return 'G';
    default:
      return 0;
  }
}

void TDbfFieldDef::SetNativeFieldType(char letter) {
  if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 'a' + 'A');
  fieldType_ = TypeOfLetter(letter);
  nativeFieldType_ = fieldType_ == ftUnknown ? 0 : letter;
  ApplySizeRules();
}

void TDbfFieldDef::SetFieldType(TFieldType type) {
  fieldType_ = type;
  nativeFieldType_ = LetterOfType(type);
  if (nativeFieldType_ == 0)
    throw EDbfError(Format(kCannotCreateField, fieldName_.c_str(), static_cast<unsigned>(type)));
  // Visual FoxPro counts with a flagged I field.
  if (type == ftAutoInc && nativeFieldType_ == 'I') fieldFlags_ |= kFieldAutoInc;
  ApplySizeRules();
}

void TDbfFieldDef::SetSize(int32_t size) {
  size_ = size;
  ApplySizeRules();
}

void TDbfFieldDef::SetPrecision(int32_t precision) {
  precision_ = precision;
  ApplySizeRules();
}

void TDbfFieldDef::ApplySizeRules() {
  auto fixed = [this](int32_t size) {
    size_ = size;
    precision_ = 0;
  };
  if (TableFormat() == tfVisualFoxPro) {
    switch (nativeFieldType_) {
      case 'Y':
        size_ = 8;
        precision_ = 4;
        return;
      case 'B':
      case 'T':
        fixed(8);
        return;
      default:
        break;
    }
  }
  switch (nativeFieldType_) {
    case 'C':
      fixed(size_ < 0 ? 0 : (size_ > 254 ? 254 : size_));
      break;
    case 'N':
    case 'F':
      if (size_ < 1) size_ = 0;
      if (size_ >= 20) size_ = 20;
      if (precision_ > size_ - 2) precision_ = size_ - 2;
      if (precision_ < 0) precision_ = 0;
      break;
    case 'L':
      fixed(1);
      break;
    case 'D':
    case '@':
    case 'O':
      fixed(8);
      break;
    case 'I':
    case '+':
      fixed(4);
      break;
    case 'Y':
      fixed(8);
      break;
    case 'B':
      fixed(IsFoxProDouble() ? 8 : 10);
      break;
    case 'M':
    case 'G':
      fixed(HasBinaryBlockNumber() ? 4 : 10);
      break;
    case 'P':
    case 'W':
      fixed(4);
      break;
    case 'V':
    case 'Q':
      fixed(size_ < 1 ? 1 : (size_ > 254 ? 254 : size_));
      break;
    default:  // T, 0 and letters without rules keep their sizes
      break;
  }
}

void TDbfFieldDef::SetDefaultSize() {
  switch (fieldType_) {
    case ftSmallint:
    case ftWord:
      size_ = 4, precision_ = 0;
      break;
    case ftInteger:
      size_ = TableFormat() == tfDBase7 ? 4 : 9, precision_ = 0;
      break;
    case ftFloat:
      size_ = 18, precision_ = 9;
      break;
    case ftCurrency:
      size_ = 16, precision_ = 2;
      break;
    case ftDate:
    case ftDateTime:
      size_ = 8, precision_ = 0;
      break;
    case ftLargeint:
      size_ = 18, precision_ = 0;
      break;
    default:
      break;
  }
  // Visual FoxPro's I, Y, T and B keep their fixed widths.
  if (TableFormat() == tfVisualFoxPro) ApplySizeRules();
}

char* TDbfFieldDef::ValueBuf(int which) {
  if (valueBufs_.empty()) return nullptr;
  return valueBufs_.data() + which * ValueBufSize();
}

void TDbfFieldDef::PrepareValueBufs() {
  const size_t wanted = 3 * static_cast<size_t>(size_ > 0 ? size_ : 0);
  if (valueBufs_.size() != wanted) valueBufs_.assign(wanted, 0);
}

bool TDbfFieldDef::IsBlob() const {
  return nativeFieldType_ == 'M' || nativeFieldType_ == 'G' || nativeFieldType_ == 'P' ||
         nativeFieldType_ == 'W' || (nativeFieldType_ == 'B' && !IsFoxProDouble());
}

bool TDbfFieldDef::IsFoxProDouble() const {
  return nativeFieldType_ == 'B' && size_ == 8 && TableFormat() != tfDBase7;
}

bool TDbfFieldDef::HasFoxProEncoding() const {
  if (TableFormat() == tfDBase7) return false;
  switch (nativeFieldType_) {
    case 'I':
    case 'Y':
      return true;
    case 'B':
    case 'T':
      return size_ == 8;
    default:
      return false;
  }
}

bool TDbfFieldDef::IsBinary() const {
  return nativeFieldType_ == 'I' || nativeFieldType_ == '+' || nativeFieldType_ == 'O' ||
         nativeFieldType_ == '@' || nativeFieldType_ == '0' || HasBinaryBlockNumber() ||
         HasFoxProEncoding();
}

bool TDbfFieldDef::HasBinaryBlockNumber() const {
  return TableFormat() == tfVisualFoxPro && (nativeFieldType_ == 'M' || nativeFieldType_ == 'G' ||
                                             nativeFieldType_ == 'P' || nativeFieldType_ == 'W');
}

void TDbfFieldDef::SetFieldFlags(uint8_t flags) {
  fieldFlags_ = flags;
  if (nativeFieldType_ != 0) fieldType_ = TypeOfLetter(nativeFieldType_);
}

bool TDbfFieldDef::NoTranslation() const {
  return (fieldFlags_ & kFieldBinary) != 0 || nativeFieldType_ == 'Q' || nativeFieldType_ == 'W';
}

bool TDbfFieldDef::IsAutoInc() const {
  return nativeFieldType_ == '+' || (nativeFieldType_ == 'I' && fieldType_ == ftAutoInc);
}

void TDbfFieldDef::CopyDefinition(const TDbfFieldDef& other) {
  fieldName_ = other.fieldName_;
  fieldType_ = other.fieldType_;
  nativeFieldType_ = other.nativeFieldType_;
  size_ = other.size_;
  precision_ = other.precision_;
  required_ = other.required_;
  isLockField_ = other.isLockField_;
  fieldFlags_ = other.fieldFlags_;
  autoIncStep_ = other.autoIncStep_;
  nullFlagAt_ = other.nullFlagAt_;
  nullFlagMask_ = other.nullFlagMask_;
  varLengthFlagAt_ = other.varLengthFlagAt_;
  varLengthFlagMask_ = other.varLengthFlagMask_;
  hasDefault_ = other.hasDefault_;
  hasMin_ = other.hasMin_;
  hasMax_ = other.hasMax_;
  autoIncOffset_ = other.autoIncOffset_;
  offset_ = other.offset_;
  nextAutoInc_ = other.nextAutoInc_;
  sourceIndex_ = other.Index();
  valueBufs_ = other.valueBufs_;
  PrepareValueBufs();
}

void TDbfFieldDef::CopyRecordSetDefinition(const std::string& name, TFieldType dataType,
                                           int32_t size, int32_t precision, bool required,
                                           int sourceIndex) {
  fieldName_ = name;
  fieldType_ = dataType;
  size_ = size;
  precision_ = precision;
  required_ = required;
  sourceIndex_ = sourceIndex;
  isLockField_ = hasDefault_ = hasMin_ = hasMax_ = false;
  offset_ = autoIncOffset_ = 0;
  nextAutoInc_ = 0;
  nativeFieldType_ = LetterOfType(dataType);
  if (nativeFieldType_ == 0)
    throw EDbfError(
        Format(kCannotCreateField, fieldName_.c_str(), static_cast<unsigned>(dataType)));
  SetDefaultSize();
  PrepareValueBufs();
}

void TDbfFieldDef::CopyDefinition(const TFieldDef& def) {
  CopyRecordSetDefinition(def.Name(), def.DataType(), def.Size(), def.Precision(), def.Required(),
                          def.Index());
}

void TDbfFieldDef::AssignTo(TFieldDef& def) const {
  def.SetAttributes(0);
  if (def.HasChildDefs()) def.ChildDefs().Clear();
  def.SetDataType(fieldType_);
  def.SetRequired(required_);
  def.SetSize(size_);
  def.SetName(fieldName_);
}

// ---- TDbfFieldDefs ------------------------------------------------------------

TDbfFieldDef& TDbfFieldDefs::Items(int index) {
  if (index < 0 || index >= Count()) ListIndexError(index);
  return *items_[index];
}

const TDbfFieldDef& TDbfFieldDefs::Items(int index) const {
  if (index < 0 || index >= Count()) ListIndexError(index);
  return *items_[index];
}

TDbfFieldDef& TDbfFieldDefs::Add() {
  items_.push_back(std::make_unique<TDbfFieldDef>(this));
  return *items_.back();
}

int TDbfFieldDefs::IndexOf(const TDbfFieldDef* def) const {
  for (int i = 0; i < Count(); ++i)
    if (items_[i].get() == def) return i;
  return -1;
}

const TDbfFieldDef* TDbfFieldDefs::NullFlagsField() const {
  if (tableFormat_ != tfVisualFoxPro) return nullptr;
  for (const auto& def : items_)
    if (def->NativeFieldType() == '0') return def.get();
  return nullptr;
}

int TDbfFieldDefs::NullFlagBitsNeeded(const TDbfFieldDefs& defs) {
  int bits = 0;
  for (const auto& def : defs.items_) {
    if (def->NativeFieldType() == '0') continue;
    if (def->IsVarying()) ++bits;
    if (def->IsNullable()) ++bits;
  }
  return bits;
}

int TDbfFieldDefs::AssignNullFlags() {
  const TDbfFieldDef* flags = NullFlagsField();
  const int32_t size = flags ? flags->Size() : 0;
  int bit = 0;
  // A bit beyond the field's bytes is not given out: the caller refuses
  // such a table, and until then the field reads as having no bits.
  auto next = [&](TDbfFieldDef& def, bool length) {
    const int n = bit++;
    const int32_t at = flags ? flags->Offset() + n / 8 : 0;
    const uint8_t mask = n / 8 < size ? static_cast<uint8_t>(1u << (n % 8)) : 0;
    if (length)
      def.SetVarLengthFlag(mask ? at : 0, mask);
    else
      def.SetNullFlag(mask ? at : 0, mask);
  };
  for (auto& def : items_) {
    def->SetNullFlag(0, 0);
    def->SetVarLengthFlag(0, 0);
    if (tableFormat_ != tfVisualFoxPro || def->NativeFieldType() == '0') continue;
    if (def->IsVarying()) next(*def, true);
    if (def->IsNullable()) next(*def, false);
  }
  return bit;
}

// ---- Value encoding -----------------------------------------------------------

namespace {

constexpr int64_t kMSecsPerDayInt = 86400000;

bool AllZero(const char* p, int n) {
  for (int i = 0; i < n; ++i)
    if (p[i] != 0) return false;
  return true;
}

// Stores an integer in the representation of type; false for types that
// hold no number.
bool StoreInteger(TFieldType type, void* dst, int64_t v) {
  switch (type) {
    case ftSmallint:
    case ftBoolean:
      *static_cast<int16_t*>(dst) = static_cast<int16_t>(v);
      return true;
    case ftInteger:
    case ftAutoInc:
      *static_cast<int32_t*>(dst) = static_cast<int32_t>(v);
      return true;
    case ftLargeint:
      *static_cast<int64_t*>(dst) = v;
      return true;
    case ftFloat:
    case ftCurrency:
      *static_cast<double*>(dst) = static_cast<double>(v);
      return true;
    default:
      return false;
  }
}

bool StoreFloat(TFieldType type, void* dst, double v) {
  switch (type) {
    case ftFloat:
    case ftCurrency:
      *static_cast<double*>(dst) = v;
      return true;
    case ftSmallint:
    case ftInteger:
    case ftAutoInc:
    case ftLargeint: {
      double t = std::trunc(v);
      int64_t i = 0;
      if (std::isfinite(t) && t >= -9.2e18 && t <= 9.2e18) i = static_cast<int64_t>(t);
      return StoreInteger(type, dst, i);
    }
    default:
      return false;
  }
}

// Reads an integer source of type; false for types that carry none.
bool LoadInteger(TFieldType type, const void* src, int64_t& v) {
  switch (type) {
    case ftSmallint:
    case ftBoolean:
      v = *static_cast<const int16_t*>(src);
      return true;
    case ftInteger:
    case ftAutoInc:
      v = *static_cast<const int32_t*>(src);
      return true;
    case ftLargeint:
      v = *static_cast<const int64_t*>(src);
      return true;
    case ftFloat:
    case ftCurrency: {
      double d = std::round(*static_cast<const double*>(src));
      v = (std::isfinite(d) && d >= -9.2e18 && d <= 9.2e18) ? static_cast<int64_t>(d) : 0;
      return true;
    }
    default:
      return false;
  }
}

// Reads a number source of type as a double; false for types that carry
// none.
bool LoadNumber(TFieldType type, const void* src, double& v) {
  if (type == ftFloat || type == ftCurrency) {
    v = *static_cast<const double*>(src);
    return true;
  }
  int64_t i;
  if (!LoadInteger(type, src, i)) return false;
  v = static_cast<double>(i);
  return true;
}

// Reads a date or date-time source as milliseconds on the day numbering;
// false for other types.
bool LoadMilliseconds(TFieldType type, const void* src, double& ms) {
  if (type == ftDateTime)
    ms = *static_cast<const double*>(src);
  else if (type == ftDate)
    ms = static_cast<double>(*static_cast<const int32_t*>(src)) * kMSecsPerDayInt;
  else
    return false;
  return true;
}

// A part of date text: characters [first, first + count) of the trimmed
// text. Absent gives absentValue, present but not a number gives 1.
int DatePart(const char* text, int length, int first, int count, int absentValue) {
  if (first >= length) return absentValue;
  int n = std::min(count, length - first);
  int64_t v;
  if (!ParseDecimalInt(text + first, n, v) || v < INT32_MIN || v > INT32_MAX) return 1;
  return static_cast<int>(v);
}

// Milliseconds on the day numbering for date text "YYYYMMDD[HHMMSS]".
// An impossible date counts as 1899-12-30; an impossible time makes the
// whole value 1899-12-30 00:00. Time characters beyond the text count as 0.
int64_t ParseDateTimeText(const char* text, int length, bool withTime) {
  int32_t day;
  if (!TryEncodeDayNumber(DatePart(text, length, 0, 4, 1), DatePart(text, length, 4, 2, 1),
                          DatePart(text, length, 6, 2, 1), day))
    day = kDateDelta;
  int64_t ms = day * kMSecsPerDayInt;
  if (withTime) {
    int h = DatePart(text, length, 8, 2, 0);
    int m = DatePart(text, length, 10, 2, 0);
    int s = DatePart(text, length, 12, 2, 0);
    if (h < 0 || h > 23 || m < 0 || m > 59 || s < 0 || s > 59) return kDateDelta * kMSecsPerDayInt;
    ms += (h * 3600 + m * 60 + s) * 1000LL;
  }
  return ms;
}

// Whether date text is a day of the calendar: "YYYYMMDD" in digits and,
// withTime, "HHMMSS" after it (missing time characters count as 0).
bool ValidDateText(const char* text, int length, bool withTime) {
  if (length < 8 || (!withTime && length != 8)) return false;
  for (int i = 0; i < length; ++i)
    if (text[i] < '0' || text[i] > '9') return false;
  int32_t day;
  if (!TryEncodeDayNumber(DatePart(text, length, 0, 4, 1), DatePart(text, length, 4, 2, 1),
                          DatePart(text, length, 6, 2, 1), day))
    return false;
  return !withTime ||
         (DatePart(text, length, 8, 2, 0) <= 23 && DatePart(text, length, 10, 2, 0) <= 59 &&
          DatePart(text, length, 12, 2, 0) <= 59);
}

// Writes text right-aligned into a field of n bytes, padded on the left.
void PutRightAligned(char* f, int n, const std::string& text, char pad) {
  int len = static_cast<int>(text.size());
  std::memset(f, pad, n - len);
  std::memcpy(f + n - len, text.data(), len);
}

// Integer text: digits right-aligned and zero-padded, "-" first for a
// negative value; only the last digits that fit are kept.
void PutIntegerText(char* f, int n, int64_t v) {
  if (n <= 0) return;
  uint64_t magnitude = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
  int pos = 0;
  if (v < 0) f[pos++] = '-';
  std::memset(f + pos, '0', n - pos);
  for (int i = n - 1; i >= pos && magnitude != 0; --i) {
    f[i] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  }
}

// Fixed-point text with the field's decimals, right-aligned in n bytes.
// When the text is too long the decimals are cut back; when even the whole
// part does not fit the field is filled with "*", as dBase shows overflow.
void PutFloatText(char* f, int n, int decimals, double v) {
  if (n <= 0) return;
  for (int d = std::max(0, std::min(decimals, n)); d >= 0; --d) {
    std::string text = FormatFixed(v, d);
    if (!text.empty() && static_cast<int>(text.size()) <= n) {
      PutRightAligned(f, n, text, ' ');
      return;
    }
    if (text.empty()) break;
  }
  std::memset(f, '*', n);
}

// Date text "YYYYMMDD" and, withTime, "HHMMSS" from milliseconds; at most
// n bytes, the rest of the field spaces. A date outside years 1..9999 writes
// the empty value.
void PutDateText(char* f, int n, double ms, bool withTime) {
  std::memset(f, ' ', n);
  if (!std::isfinite(ms)) return;
  double dayValue = std::floor(ms / kMSecsPerDayInt);
  if (dayValue < 1 || dayValue > 3652059) return;
  int32_t day = static_cast<int32_t>(dayValue);
  int year, month, dayOfMonth;
  DecodeDayNumber(day, year, month, dayOfMonth);
  int64_t secs = static_cast<int64_t>(std::floor((ms - dayValue * kMSecsPerDayInt) / 1000.0));
  if (secs < 0) secs = 0;
  if (secs > 86399) secs = 86399;
  char text[16];
  int len = std::snprintf(text, sizeof text, "%04d%02d%02d", year, month, dayOfMonth);
  if (withTime)
    len +=
        std::snprintf(text + len, sizeof text - len, "%02d%02d%02d", static_cast<int>(secs / 3600),
                      static_cast<int>(secs / 60 % 60), static_cast<int>(secs % 60));
  std::memcpy(f, text, std::min(len, n));
}

// V and Q: the whole field is the value, unless the field's length bit is
// set; then the last byte holds the length of the value before it. A
// length that does not fit the field (a damaged record) is no value.
int VaryingLength(const TDbfFieldDef& def, const char* record) {
  const int n = def.Size();
  if (def.VarLengthFlagMask() == 0 ||
      (record[def.VarLengthFlagAt()] & def.VarLengthFlagMask()) == 0)
    return n;
  const int length = static_cast<uint8_t>(record[def.Offset() + n - 1]);
  return length < n ? length : -1;
}

bool DecodeVarying(const TDbfFieldDef& def, TFieldType type, void* dst, const char* record) {
  const int length = VaryingLength(def, record);
  if (length <= 0) return false;
  if (dst && type == ftString) {
    std::memcpy(dst, record + def.Offset(), static_cast<size_t>(length));
    static_cast<char*>(dst)[length] = 0;
  }
  // Bytes: a 16-bit length, then the bytes (zero bytes among them).
  if (dst && type == ftVarBytes) {
    auto* out = static_cast<char*>(dst);
    out[0] = static_cast<char>(length & 0xFF);
    out[1] = static_cast<char>(length >> 8);
    std::memcpy(out + 2, record + def.Offset(), static_cast<size_t>(length));
  }
  return true;
}

void EncodeVarying(const TDbfFieldDef& def, TFieldType type, char* record, const void* src) {
  const int n = def.Size();
  char* f = record + def.Offset();
  int length = 0;
  if (src && type == ftVarBytes) {
    const auto* in = static_cast<const uint8_t*>(src);
    length = std::min(n, in[0] | in[1] << 8);
    std::memcpy(f, in + 2, static_cast<size_t>(length));
  } else if (src) {
    if (type != ftString) return;
    length = static_cast<int>(strnlen(static_cast<const char*>(src), n));
    std::memcpy(f, src, static_cast<size_t>(length));
  }
  std::memset(f + length, ' ', static_cast<size_t>(n - length));
  if (def.VarLengthFlagMask() == 0) return;
  char& flags = record[def.VarLengthFlagAt()];
  if (length == n) {
    flags = static_cast<char>(flags & ~def.VarLengthFlagMask());
  } else {
    f[n - 1] = static_cast<char>(length);
    flags = static_cast<char>(flags | def.VarLengthFlagMask());
  }
}

// The Julian day number of day number 0 (the day before 0001-01-01).
constexpr int64_t kJulianDayOfDayZero = 1721425;

uint64_t GetLE64(const char* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(p[i]);
  return v;
}

void PutLE64(char* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<char>(v >> (8 * i));
}

bool DecodeFoxPro(const TDbfFieldDef& def, TFieldType type, void* dst, const char* f) {
  switch (def.NativeFieldType()) {
    case 'I':
      if (dst) StoreInteger(type, dst, static_cast<int32_t>(GetLE32(f)));
      return true;
    case 'Y': {
      const int64_t units = static_cast<int64_t>(GetLE64(f));
      if (!dst) return true;
      if (!StoreFloat(type, dst, static_cast<double>(units) / 10000.0))
        return StoreInteger(type, dst, units / 10000);
      return true;
    }
    case 'B': {
      const double v = std::bit_cast<double>(GetLE64(f));
      if (!std::isfinite(v)) return false;
      if (dst) StoreFloat(type, dst, v);
      return true;
    }
    default: {  // 'T'
      // Blank (spaces) or zero: no value. A day or time no calendar has is
      // no value either.
      const int64_t julian = static_cast<int32_t>(GetLE32(f));
      const int64_t ms = static_cast<int32_t>(GetLE32(f + 4));
      const int64_t day = julian - kJulianDayOfDayZero;
      if (day < 1 || day > 3652059 || ms < 0 || ms >= kMSecsPerDayInt) return false;
      if (!dst) return true;
      if (type == ftDateTime)
        *static_cast<double*>(dst) = static_cast<double>(day * kMSecsPerDayInt + ms);
      else if (type == ftDate)
        *static_cast<int32_t*>(dst) = static_cast<int32_t>(day);
      return true;
    }
  }
}

void EncodeFoxPro(const TDbfFieldDef& def, TFieldType type, char* f, const void* src) {
  switch (def.NativeFieldType()) {
    case 'I': {
      int64_t v;
      if (LoadInteger(type, src, v)) PutLE32(f, static_cast<uint32_t>(static_cast<int32_t>(v)));
      return;
    }
    case 'Y': {
      double x;
      if (!LoadNumber(type, src, x)) return;
      const double units = std::round(x * 10000.0);
      if (!(units >= -9.2e18 && units <= 9.2e18)) return;
      PutLE64(f, static_cast<uint64_t>(static_cast<int64_t>(units)));
      return;
    }
    case 'B': {
      double x;
      if (!LoadNumber(type, src, x)) return;
      PutLE64(f, std::bit_cast<uint64_t>(x));
      return;
    }
    default: {  // 'T'
      double ms;
      if (!LoadMilliseconds(type, src, ms)) return;
      std::memset(f, 0, 8);
      if (!std::isfinite(ms)) return;
      const double day = std::floor(ms / kMSecsPerDayInt);
      if (day < 1 || day > 3652059) return;
      const int64_t time = std::clamp<int64_t>(
          static_cast<int64_t>(std::llround(ms - day * kMSecsPerDayInt)), 0, kMSecsPerDayInt - 1);
      PutLE32(f, static_cast<uint32_t>(static_cast<int64_t>(day) + kJulianDayOfDayZero));
      PutLE32(f + 4, static_cast<uint32_t>(time));
      return;
    }
  }
}

bool DecodeBinary(const TDbfFieldDef& def, TFieldType type, void* dst, const char* f) {
  const int n = def.Size();
  if (def.HasBinaryBlockNumber()) {
    const uint32_t block = GetLE32(f);
    if (block == 0) return false;
    if (dst) StoreInteger(type, dst, static_cast<int32_t>(block));
    return true;
  }
  // The size rules give these letters their whole widths.
  if (def.HasFoxProEncoding()) return DecodeFoxPro(def, type, dst, f);
  switch (def.NativeFieldType()) {
    case '0':
      return false;
    case 'I':
    case '+': {
      if (n < 4 || AllZero(f, 4)) return false;
      int32_t v = static_cast<int32_t>(GetBE32(f) ^ 0x80000000u);
      if (dst) StoreInteger(type, dst, v);
      return true;
    }
    case 'O': {
      if (n < 8 || AllZero(f, 8)) return false;
      uint64_t u = GetBE64(f);
      double v =
          static_cast<int64_t>(u) > 0 ? std::bit_cast<double>(~u) : -std::bit_cast<double>(u);
      if (dst) StoreFloat(type, dst, v);
      return true;
    }
    default: {  // '@'
      if (n < 8 || AllZero(f, 8)) return false;
      double ms = std::bit_cast<double>(GetBE64(f));
      // A time stamp before year 1 or after 9999 is no value.
      if (!std::isfinite(ms) || ms < kMSecsPerDayInt || ms >= 3652060.0 * kMSecsPerDayInt)
        return false;
      if (!dst) return true;
      if (type == ftDateTime)
        *static_cast<double*>(dst) = ms;
      else if (type == ftDate && std::isfinite(ms))
        *static_cast<int32_t*>(dst) = static_cast<int32_t>(std::floor(ms / kMSecsPerDayInt));
      return true;
    }
  }
}

void EncodeBinary(const TDbfFieldDef& def, TFieldType type, char* f, const void* src) {
  const int n = def.Size();
  if (!src) {
    std::memset(f, 0, n);
    return;
  }
  if (def.HasBinaryBlockNumber()) {
    int64_t block;
    if (LoadInteger(type, src, block)) PutLE32(f, static_cast<uint32_t>(block));
    return;
  }
  if (def.HasFoxProEncoding()) {
    EncodeFoxPro(def, type, f, src);
    return;
  }
  switch (def.NativeFieldType()) {
    case '0':
      return;
    case 'I':
    case '+': {
      int64_t v;
      if (n < 4 || !LoadInteger(type, src, v)) return;
      PutBE32(f, static_cast<uint32_t>(static_cast<int32_t>(v)) ^ 0x80000000u);
      return;
    }
    case 'O': {
      double x;
      if (!LoadNumber(type, src, x)) return;
      if (n < 8) return;
      if (x == 0) x = 0.0;  // -0.0 would store as eight zero bytes, the empty value
      uint64_t bits = std::bit_cast<uint64_t>(x);
      PutBE64(f, x < 0 ? ~bits : std::bit_cast<uint64_t>(-x));
      return;
    }
    default: {  // '@'
      double ms;
      if (!LoadMilliseconds(type, src, ms)) return;
      if (n < 8) return;
      PutBE64(f, std::bit_cast<uint64_t>(ms));
      return;
    }
  }
}

}  // namespace

bool DecodeFieldValue(const TDbfFieldDef& def, TFieldType type, void* dst, const char* record) {
  if (!record) return false;
  if (def.NullFlagMask() != 0 && (record[def.NullFlagAt()] & def.NullFlagMask()) != 0) return false;
  const char* f = record + def.Offset();
  if (def.IsVarying()) return DecodeVarying(def, type, dst, record);
  if (def.IsBinary()) return DecodeBinary(def, type, dst, f);
  if (def.Size() <= 0) return false;

  int end = def.Size();
  while (end > 0 && f[end - 1] == ' ') --end;
  if (end == 0) return false;
  int start = 0;
  while (start < end && f[start] == ' ') ++start;
  const char letter = def.NativeFieldType();
  // A logical field holding "?" has not been given a value.
  if (letter == 'L' && end - start == 1 && f[start] == '?') return false;
  // Number text ends at the first NUL, as some writers pad with NULs.
  auto numberLength = [&]() {
    const void* nul = std::memchr(f + start, 0, end - start);
    return nul ? static_cast<int>(static_cast<const char*>(nul) - (f + start)) : end - start;
  };
  // Text that is no number has no value: GIS programs write a null number
  // as "*********", dBase a number too wide for its field the same way, and
  // dBase IV an empty one as ".".
  double number = 0;
  if ((letter == 'N' || letter == 'F') && !ParseDecimalFloat(f + start, numberLength(), number))
    return false;
  // Nor has a date that is no day of the calendar (letters, "00000000").
  if ((letter == 'D' || letter == 'T') && !ValidDateText(f + start, end - start, letter == 'T'))
    return false;
  if (!dst) return true;

  switch (type) {
    case ftString:
      std::memcpy(dst, f, end);
      static_cast<char*>(dst)[end] = 0;
      return true;
    case ftSmallint:
    case ftInteger:
    case ftLargeint: {
      int64_t v = 0;
      if (!ParseDecimalInt(f + start, numberLength(), v)) {
        // "12.0" in a field read as an integer: its whole part.
        double d = 0;
        v = ParseDecimalFloat(f + start, numberLength(), d) && std::fabs(d) < 9.2e18
                ? static_cast<int64_t>(d)
                : 0;
      }
      if (type == ftSmallint && (v < INT16_MIN || v > INT16_MAX)) v = 0;
      if (type == ftInteger && (v < INT32_MIN || v > INT32_MAX)) v = 0;
      StoreInteger(type, dst, v);
      return true;
    }
    case ftBoolean: {
      char c = f[start];
      *static_cast<int16_t*>(dst) = (c == 'T' || c == 't' || c == 'Y' || c == 'y') ? 1 : 0;
      return true;
    }
    case ftFloat:
    case ftCurrency: {
      // A number field's text was read above.
      double v = number;
      if (letter != 'N' && letter != 'F' && !ParseDecimalFloat(f + start, numberLength(), v)) v = 0;
      *static_cast<double*>(dst) = v;
      return true;
    }
    case ftDate:
      *static_cast<int32_t*>(dst) =
          static_cast<int32_t>(ParseDateTimeText(f + start, end - start, false) / kMSecsPerDayInt);
      return true;
    case ftDateTime:
      *static_cast<double*>(dst) =
          static_cast<double>(ParseDateTimeText(f + start, end - start, true));
      return true;
    default:
      return true;
  }
}

void EncodeFieldValue(const TDbfFieldDef& def, TFieldType type, char* record, const void* src) {
  char* f = record + def.Offset();
  const int n = def.Size();
  if (n <= 0) return;
  if (def.NullFlagMask() != 0) {
    char& flags = record[def.NullFlagAt()];
    flags = static_cast<char>(src ? flags & ~def.NullFlagMask() : flags | def.NullFlagMask());
  }
  if (def.IsVarying()) {
    EncodeVarying(def, type, record, src);
    return;
  }
  if (def.IsBinary()) {
    EncodeBinary(def, type, f, src);
    return;
  }
  if (!src) {
    std::memset(f, ' ', n);
    return;
  }
  switch (type) {
    case ftString: {
      const char* s = static_cast<const char*>(src);
      int len = static_cast<int>(strnlen(s, n));
      std::memcpy(f, s, len);
      std::memset(f + len, ' ', n - len);
      return;
    }
    case ftSmallint:
    case ftInteger:
    case ftLargeint: {
      int64_t v = 0;
      LoadInteger(type, src, v);
      PutIntegerText(f, n, v);
      return;
    }
    case ftBoolean:
      std::memset(f, ' ', n);
      f[0] = *static_cast<const int16_t*>(src) != 0 ? 'T' : 'F';
      return;
    case ftFloat:
    case ftCurrency:
      PutFloatText(f, n, def.Precision(), *static_cast<const double*>(src));
      return;
    case ftDate:
      PutDateText(f, n, static_cast<double>(*static_cast<const int32_t*>(src)) * kMSecsPerDayInt,
                  false);
      return;
    case ftDateTime:
      PutDateText(f, n, *static_cast<const double*>(src), true);
      return;
    default:
      return;
  }
}

void BlankRecordImage(TDbfFieldDefs& defs, char* record, int recordSize) {
  std::memset(record, ' ', recordSize);
  for (int i = 0; i < defs.Count(); ++i) {
    TDbfFieldDef& def = defs[i];
    if (def.Size() <= 0) continue;
    if (def.IsBinary()) std::memset(record + def.Offset(), 0, def.Size());
    if (def.HasDefault() && def.DefaultBuf())
      std::memcpy(record + def.Offset(), def.DefaultBuf(),
                  std::min(def.Size(), def.ValueBufSize()));
  }
  // Visual FoxPro: the "_NullFlags" bytes are zero now (a binary field);
  // new values are empty varying text, and null where the field allows it.
  for (int i = 0; i < defs.Count(); ++i) {
    TDbfFieldDef& def = defs[i];
    if (def.IsVarying()) EncodeVarying(def, ftString, record, nullptr);
    if (def.NullFlagMask() != 0) record[def.NullFlagAt()] |= static_cast<char>(def.NullFlagMask());
  }
}

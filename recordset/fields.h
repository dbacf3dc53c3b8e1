#pragma once
// Field objects: TField and one class per data type a storage produces.
// A field belongs to one record set (which owns it) and reads and writes
// its native data in the record set's current buffer through the record
// set's ReadFieldData / WriteFieldData; blob fields go through a stream the
// record set creates. The typed accessors convert between the native data
// and strings, numbers, dates, booleans and variants; an accessor a class
// does not support raises "Cannot access field '%s' as type %s".
//
// Native data (bytes of DataSize()):
//   TStringField    Size + 1 characters ending in a zero byte
//   TSmallintField  int16        TWordField      uint16
//   TIntegerField   int32        TAutoIncField   int32
//   TLargeintField  int64        TBooleanField   int16, 0 false, other true
//   TFloatField     double       TCurrencyField  double
//   TDateField      int32 day number, 1 = 1 January of year 1
//   TTimeField      int32 milliseconds since midnight
//   TDateTimeField  double milliseconds: day number * 86400000 + time of day
//   TVarBytesField  uint16 length, then Size bytes
//   TBlobField and descendants: none (DataSize 0); through blob streams.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "recordset/db_types.h"
#include "runtime/sysutils.h"
#include "runtime/variant.h"

class TDataSet;
class TField;
class TStream;

using TFieldNotifyEvent = std::function<void(TField& sender)>;
// OnGetText(Sender, var Text, DisplayText): displayText is true for the
// shown text, false for the edit text.
using TFieldGetTextEvent = std::function<void(TField& sender, std::string& text, bool displayText)>;
using TFieldSetTextEvent = std::function<void(TField& sender, const std::string& text)>;

class TField {
 public:
  virtual ~TField();
  TField(const TField&) = delete;
  TField& operator=(const TField&) = delete;

  // ---- Identity and published properties ----
  TDataSet* DataSet() const { return dataSet_; }
  const std::string& FieldName() const { return fieldName_; }
  void SetFieldName(const std::string& name);
  const std::string& DisplayLabel() const { return displayLabel_; }
  void SetDisplayLabel(const std::string& label) { displayLabel_ = label; }
  // The display label, else the field name.
  const std::string& DisplayName() const;
  // Characters a control shows of the value (class default until set).
  int DisplayWidth() const;
  void SetDisplayWidth(int width) { displayWidth_ = width; }
  TAlignment Alignment() const { return alignment_; }
  void SetAlignment(TAlignment alignment) { alignment_ = alignment; }
  TFieldKind FieldKind() const { return fieldKind_; }
  void SetFieldKind(TFieldKind kind);
  // 0-based position among the record set's fields; setting moves it.
  int Index() const;
  void SetIndex(int index);
  bool ReadOnly() const { return readOnly_; }
  void SetReadOnly(bool value) { readOnly_ = value; }
  bool Required() const { return required_; }
  void SetRequired(bool value) { required_ = value; }
  bool Visible() const { return visible_; }
  void SetVisible(bool value) { visible_ = value; }

  // ---- Storage description ----
  TFieldType DataType() const { return dataType_; }
  // Bytes of native data.
  virtual int DataSize() const;
  // Characters for string fields, else 0.
  int Size() const { return size_; }
  virtual void SetSize(int size);
  // 1-based position among the storage's fields for data fields while
  // bound; -1 for calculated and lookup fields; 0 while unbound.
  int FieldNo() const { return fieldNo_; }
  // Offset in the calculated-field area (calculated fields only).
  int Offset() const { return offset_; }
  bool Calculated() const { return fieldKind_ == fkCalculated || fieldKind_ == fkLookup; }
  virtual bool IsBlob() const { return false; }
  // Whether a control may change the value: not ReadOnly, the record set
  // writable, and (for data fields) bound.
  bool CanModify() const;
  // Whether a typed character can be part of a value of this field.
  virtual bool IsValidChar(char c) const;

  // ---- Typed access ----
  // Reading a value with no data gives "", 0, 0.0, false or a null
  // variant; setters write native data (through validation and
  // WriteFieldData) and need a record set in an editing state.
  virtual std::string ValueAsString() const;
  virtual void SetValueAsString(const std::string& value);
  virtual double ValueAsFloat() const;
  virtual void SetValueAsFloat(double value);
  virtual TDateTime ValueAsDateTime() const;
  virtual void SetValueAsDateTime(TDateTime value);
  virtual int32_t ValueAsInteger() const;
  virtual void SetValueAsInteger(int32_t value);
  virtual int64_t ValueAsLargeInt() const;
  virtual void SetValueAsLargeInt(int64_t value);
  virtual bool ValueAsBoolean() const;
  virtual void SetValueAsBoolean(bool value);
  virtual TVariant ValueAsVariant() const;
  // A null or empty variant clears the value; otherwise by the variant's
  // type through the setters above.
  virtual void SetValueAsVariant(const TVariant& value);
  // No data ("no value") in the current record.
  virtual bool ValueIsNull() const;
  // Writes "no value".
  virtual void Clear();

  // The text for editing and the text for showing, through OnGetText when
  // assigned. Setting the edit text goes through OnSetText when assigned,
  // else it sets ValueAsString.
  std::string EditText() const;
  void SetEditText(const std::string& text);
  std::string ShownText() const;

  // Asks the linked controls to focus the control showing this field.
  void FocusControl();

  // ---- Native data ----
  // Copies the native data (DataSize bytes) into buffer; false when the
  // field has no value. buffer may be null to test for a value only.
  bool GetData(void* buffer) const;
  // Validates (OnValidate) and writes native data; null writes "no value".
  void SetData(const void* buffer);
  // Drops what the field caches for the current edit (the record set calls
  // this after posting, cancelling and deleting, and when closing).
  virtual void FreeBuffers() {}

  // ---- Events ----
  const TFieldNotifyEvent& OnChange() const { return onChange_; }
  void SetOnChange(TFieldNotifyEvent handler) { onChange_ = std::move(handler); }
  const TFieldGetTextEvent& OnGetText() const { return onGetText_; }
  void SetOnGetText(TFieldGetTextEvent handler) { onGetText_ = std::move(handler); }
  const TFieldSetTextEvent& OnSetText() const { return onSetText_; }
  void SetOnSetText(TFieldSetTextEvent handler) { onSetText_ = std::move(handler); }
  const TFieldNotifyEvent& OnValidate() const { return onValidate_; }
  void SetOnValidate(TFieldNotifyEvent handler) { onValidate_ = std::move(handler); }

 protected:
  explicit TField(TFieldType dataType);

  // The text of the value for showing (displayText) or editing.
  virtual std::string GetText(bool displayText) const;
  virtual void SetText(const std::string& text);
  virtual int DefaultDisplayWidth() const { return 10; }

  // Raises "Cannot access field '%s' as type %s".
  [[noreturn]] void AccessError(const char* typeName) const;
  // Raises EDatabaseError with the message, the record set's name in front.
  [[noreturn]] void FieldError(const std::string& message) const;
  // Raises "Dataset not in edit or insert mode" unless the record set may
  // write fields now.
  void CheckWritable() const;
  void SetDataType(TFieldType type) { dataType_ = type; }

 private:
  friend class TDataSet;
  friend class TFieldDef;

  TDataSet* dataSet_ = nullptr;
  std::string fieldName_;
  std::string displayLabel_;
  int displayWidth_ = -1;
  TAlignment alignment_ = taLeftJustify;
  TFieldKind fieldKind_ = fkData;
  bool readOnly_ = false;
  bool required_ = false;
  bool visible_ = true;
  TFieldType dataType_;
  int size_ = 0;
  int fieldNo_ = 0;
  int offset_ = 0;
  // While OnValidate runs, the field reads the value being written.
  const void* validateBuffer_ = nullptr;
  bool validating_ = false;
  TFieldNotifyEvent onChange_;
  TFieldGetTextEvent onGetText_;
  TFieldSetTextEvent onSetText_;
  TFieldNotifyEvent onValidate_;
};

// ftString and ftFixedChar: text of at most Size characters.
class TStringField : public TField {
 public:
  explicit TStringField(int size = 20);
  int DataSize() const override { return Size() + 1; }
  bool FixedChar() const { return fixedChar_; }
  void SetFixedChar(bool value);
  // Convert the text between the storage's code page and UTF-8 on every
  // read and write (default on); off, the stored bytes pass unchanged.
  bool Transliterate() const { return transliterate_; }
  void SetTransliterate(bool value) { transliterate_ = value; }
  const std::string& EditMask() const { return editMask_; }
  void SetEditMask(const std::string& mask) { editMask_ = mask; }

  std::string ValueAsString() const override;
  // Sets text to the value; false (text empty) when there is none. Reuses
  // the room text and the field already have, so a loop over the records
  // allocates nothing once the longest value was read.
  bool ReadText(std::string& text) const;
  // Stores at most Size bytes of the value in the storage's code page, cut
  // between two characters; raises when the storage cannot hold one of
  // its characters.
  void SetValueAsString(const std::string& value) override;
  double ValueAsFloat() const override;
  void SetValueAsFloat(double value) override;
  TDateTime ValueAsDateTime() const override;
  void SetValueAsDateTime(TDateTime value) override;
  int32_t ValueAsInteger() const override;
  void SetValueAsInteger(int32_t value) override;
  int64_t ValueAsLargeInt() const override;
  void SetValueAsLargeInt(int64_t value) override;
  // True when the text begins with T, t, Y or y; set writes "T" or "F".
  bool ValueAsBoolean() const override;
  void SetValueAsBoolean(bool value) override;
  TVariant ValueAsVariant() const override;

 protected:
  int DefaultDisplayWidth() const override { return Size(); }

 private:
  bool fixedChar_ = false;
  bool transliterate_ = true;
  std::string editMask_;
  // The stored bytes of the last value read, and of the last written
  // (apart: a validation handler reads the value being written).
  mutable std::string read_;
  std::string written_;
};

// Base of the number fields: right-aligned, DisplayFormat and EditFormat
// (FormatFloat patterns) for the shown and edit texts.
class TNumericField : public TField {
 public:
  const std::string& DisplayFormat() const { return displayFormat_; }
  void SetDisplayFormat(const std::string& format) { displayFormat_ = format; }
  const std::string& EditFormat() const { return editFormat_; }
  void SetEditFormat(const std::string& format) { editFormat_ = format; }
  bool IsValidChar(char c) const override;

 protected:
  explicit TNumericField(TFieldType dataType);

 private:
  std::string displayFormat_;
  std::string editFormat_;
};

// The integer fields (ftSmallint, ftInteger, ftWord, ftAutoInc,
// ftLargeint). Values outside the type's range, or outside MinValue ..
// MaxValue when either is set, are refused with the range message.
class TIntegerField : public TNumericField {
 public:
  TIntegerField();
  int DataSize() const override;
  int64_t MinValue() const { return minValue_; }
  void SetMinValue(int64_t value) { minValue_ = value; }
  int64_t MaxValue() const { return maxValue_; }
  void SetMaxValue(int64_t value) { maxValue_ = value; }

  std::string ValueAsString() const override;
  void SetValueAsString(const std::string& value) override;
  double ValueAsFloat() const override;
  void SetValueAsFloat(double value) override;
  int32_t ValueAsInteger() const override;
  void SetValueAsInteger(int32_t value) override;
  int64_t ValueAsLargeInt() const override;
  void SetValueAsLargeInt(int64_t value) override;
  TVariant ValueAsVariant() const override;

 protected:
  TIntegerField(TFieldType dataType, int64_t low, int64_t high);
  std::string GetText(bool displayText) const override;
  int DefaultDisplayWidth() const override;

 private:
  bool ReadValue(int64_t& value) const;
  int64_t low_;
  int64_t high_;
  int64_t minValue_ = 0;
  int64_t maxValue_ = 0;
};

class TSmallintField : public TIntegerField {
 public:
  TSmallintField();
};

class TWordField : public TIntegerField {
 public:
  TWordField();
};

class TAutoIncField : public TIntegerField {
 public:
  TAutoIncField();
};

class TLargeintField : public TIntegerField {
 public:
  TLargeintField();
};

// ftFloat: a double. ValueAsString is the general form with 15
// significant digits; the shown text uses DisplayFormat, else the general
// form with Precision digits (the currency form when Currency is set); the
// edit text uses EditFormat, else the general form (the fixed form with
// the system's currency decimals when Currency is set).
class TFloatField : public TNumericField {
 public:
  TFloatField();
  int DataSize() const override { return 8; }
  int Precision() const { return precision_; }
  void SetPrecision(int precision);
  double MinValue() const { return minValue_; }
  void SetMinValue(double value) { minValue_ = value; }
  double MaxValue() const { return maxValue_; }
  void SetMaxValue(double value) { maxValue_ = value; }
  bool Currency() const { return currency_; }
  void SetCurrency(bool value) { currency_ = value; }

  std::string ValueAsString() const override;
  // Empty text clears the value; otherwise the text with the system's
  // decimal separator, checked against MinValue .. MaxValue when either
  // is set.
  void SetValueAsString(const std::string& value) override;
  double ValueAsFloat() const override;
  void SetValueAsFloat(double value) override;
  int32_t ValueAsInteger() const override;
  void SetValueAsInteger(int32_t value) override;
  int64_t ValueAsLargeInt() const override;
  void SetValueAsLargeInt(int64_t value) override;
  TVariant ValueAsVariant() const override;

 protected:
  explicit TFloatField(TFieldType dataType);
  std::string GetText(bool displayText) const override;

 private:
  bool ReadValue(double& value) const;
  int precision_ = 15;
  double minValue_ = 0;
  double maxValue_ = 0;
  bool currency_ = false;
};

// ftCurrency: a float field with Currency set.
class TCurrencyField : public TFloatField {
 public:
  TCurrencyField();
};

// ftBoolean. The texts of true and false are DisplayValues "True;False".
class TBooleanField : public TField {
 public:
  TBooleanField();
  int DataSize() const override { return 2; }
  // "TrueText;FalseText".
  std::string DisplayValues() const { return trueText_ + ";" + falseText_; }
  void SetDisplayValues(const std::string& values);

  std::string ValueAsString() const override;
  // Empty text clears; otherwise the text must be the true or the false
  // text, or a beginning of one, in any ASCII case.
  void SetValueAsString(const std::string& value) override;
  bool ValueAsBoolean() const override;
  void SetValueAsBoolean(bool value) override;
  TVariant ValueAsVariant() const override;

 protected:
  int DefaultDisplayWidth() const override;

 private:
  std::string trueText_ = "True";
  std::string falseText_ = "False";
};

// ftDateTime (base of the date and time fields). Values are TDateTime;
// text uses DisplayFormat for showing, else the system's formats (short
// date for dates, long time for times, both for date-times). Setting an
// empty text clears; other text converts with the system's formats and
// raises the conversion error ("'%s' is not a valid date", "... time",
// "... date and time") when it cannot.
class TDateTimeField : public TField {
 public:
  TDateTimeField();
  int DataSize() const override { return 8; }
  const std::string& DisplayFormat() const { return displayFormat_; }
  void SetDisplayFormat(const std::string& format) { displayFormat_ = format; }
  const std::string& EditMask() const { return editMask_; }
  void SetEditMask(const std::string& mask) { editMask_ = mask; }

  std::string ValueAsString() const override;
  void SetValueAsString(const std::string& value) override;
  double ValueAsFloat() const override;
  void SetValueAsFloat(double value) override;
  // No data reads as 0.0.
  TDateTime ValueAsDateTime() const override;
  void SetValueAsDateTime(TDateTime value) override;
  TVariant ValueAsVariant() const override;

 protected:
  explicit TDateTimeField(TFieldType dataType);
  std::string GetText(bool displayText) const override;
  int DefaultDisplayWidth() const override { return 18; }
  // The value as text in the default format of the class.
  virtual std::string DefaultText(TDateTime value) const;
  virtual TDateTime ParseText(const std::string& text) const;
  // Native data <-> TDateTime; ToNative raises "Invalid value for field
  // '%s'" for a value the native form cannot hold.
  virtual TDateTime FromNative(const void* data) const;
  virtual void ToNative(TDateTime value, void* data) const;

 private:
  std::string displayFormat_;
  std::string editMask_;
};

// ftDate: the native day number; the time of day is dropped.
class TDateField : public TDateTimeField {
 public:
  TDateField();
  int DataSize() const override { return 4; }

 protected:
  int DefaultDisplayWidth() const override { return 10; }
  std::string DefaultText(TDateTime value) const override;
  TDateTime ParseText(const std::string& text) const override;
  TDateTime FromNative(const void* data) const override;
  void ToNative(TDateTime value, void* data) const override;
};

// ftVarBytes: up to Size bytes of binary data, kept exactly as they are
// (zero bytes included). ValueAsString gives and takes the bytes; the
// text a control shows and edits is the bytes as pairs of hexadecimal
// digits ("0A FF 3C"), and typing such pairs (spaces optional) sets them.
class TVarBytesField : public TField {
 public:
  explicit TVarBytesField(int size = 16);
  int DataSize() const override { return Size() + 2; }
  std::string ValueAsString() const override;
  // Stores the first Size bytes of value.
  void SetValueAsString(const std::string& value) override;
  TVariant ValueAsVariant() const override;

 protected:
  int DefaultDisplayWidth() const override { return Size() * 3; }
  std::string GetText(bool displayText) const override;
  void SetText(const std::string& text) override;
};

// ftTime: milliseconds since midnight; the date is dropped.
class TTimeField : public TDateTimeField {
 public:
  TTimeField();
  int DataSize() const override { return 4; }

 protected:
  int DefaultDisplayWidth() const override { return 10; }
  std::string DefaultText(TDateTime value) const override;
  TDateTime ParseText(const std::string& text) const override;
  TDateTime FromNative(const void* data) const override;
  void ToNative(TDateTime value, void* data) const override;
};

// Binary large values (ftBlob, ftDBaseOle and the other blob types), read
// and written through a stream that the record set's CreateBlobStream
// makes. Writing replaces the whole value and then tells the record set
// the field changed (FieldDataChanged): blob streams do not do that
// themselves.
class TBlobField : public TField {
 public:
  TBlobField();
  int DataSize() const override { return 0; }
  bool IsBlob() const override { return true; }
  // The blob type (ftBlob, ftMemo, ftGraphic, ftDBaseOle, ...).
  TFieldType BlobType() const { return DataType(); }
  void SetBlobType(TFieldType type);
  // Whether the stream's text is converted between the storage's code
  // page and UTF-8 (memo fields).
  bool Transliterate() const { return transliterate_; }
  void SetTransliterate(bool value) { transliterate_ = value; }
  // Changed through this field since the edit began.
  bool Modified() const { return modified_; }

  // Bytes in the value (0 with no stream).
  int64_t BlobSize() const;
  // Copies the whole value into stream / replaces it from the whole of
  // stream.
  void SaveToStream(TStream& stream) const;
  void LoadFromStream(TStream& stream);

  // The whole value as bytes.
  std::string ValueAsString() const override;
  void SetValueAsString(const std::string& value) override;
  TVariant ValueAsVariant() const override;
  // An empty value is no value.
  bool ValueIsNull() const override;
  void Clear() override;
  void FreeBuffers() override { modified_ = false; }

 protected:
  explicit TBlobField(TFieldType dataType);
  // Binary blobs show "(Blob)", "(Graphic)", "(OLE)"; upper case when the
  // value is not empty. The edit text is the value.
  std::string GetText(bool displayText) const override;

 private:
  bool transliterate_ = false;
  bool modified_ = false;
};

// ftMemo: a text blob, transliterated by default; shown as its text.
class TMemoField : public TBlobField {
 public:
  TMemoField();

 protected:
  std::string GetText(bool displayText) const override;
};

// ftGraphic: a picture kept as a blob.
class TGraphicField : public TBlobField {
 public:
  TGraphicField();
};

// The field object for a data type: the class of the type table, or none
// for types without a field class here (ftUnknown, ftCursor and the types
// no storage of this system produces).
std::unique_ptr<TField> CreateFieldForType(TFieldType type, int size = 0);

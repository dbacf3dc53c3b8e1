#pragma once
// Field definitions of a table: TDbfFieldDef holds a field's type letter,
// width and decimals as stored in the file together with its record-set
// data type, and keeps the two consistent by the size rules of each letter.
// TDbfFieldDefs is the collection a table file owns (or a dataset, when it
// builds a new table's structure).

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "recordset/db_types.h"
#include "tdbf/dbf_common.h"

class TDbfFieldDefs;
class TFieldDef;

// Type letters and the record-set types they give when read:
//   C character      ftString     size clamped to 0..254, no decimals
//   N, F numeric     ftFloat with decimals; without: ftSmallint up to width 4,
//                    else ftFloat with UseFloatFields, else ftLargeint above
//                    width 9, else ftInteger.  Width 0..20, decimals
//                    0..width-2
//   L logical        ftBoolean    1        D date text     ftDate       8
//   @ timestamp      ftDateTime   8        T date-time     ftDateTime   kept
//   I binary integer ftInteger    4        + autoincrement ftAutoInc    4
//   O binary double  ftFloat      8
//   M memo           ftMemo      10        B binary memo   ftBlob      10
//   G general memo   ftDBaseOle  10        Y currency      ftCurrency   8
// Below level 7, B of width 8 is FoxPro's double (ftFloat, 8), and I, Y, B
// and T of width 8 use FoxPro's encodings (HasFoxProEncoding).
// Visual FoxPro tables add (their M, G, P and W hold a 4-byte block number):
//   V varchar        ftString     kept     Q varbinary     ftVarBytes   kept
//   P picture memo   ftBlob       4        W blob memo     ftBlob       4
//   0 "_NullFlags"   ftBytes      kept (a hidden system field)
// Any other letter becomes 0 with ftUnknown, sizes kept.
class TDbfFieldDef {
 public:
  explicit TDbfFieldDef(TDbfFieldDefs* collection);
  TDbfFieldDef(const TDbfFieldDef&) = delete;
  TDbfFieldDef& operator=(const TDbfFieldDef&) = delete;

  // Position in the owning collection (0-based), -1 when it has none.
  int Index() const;
  TDbfFieldDefs* Collection() const { return collection_; }

  const std::string& FieldName() const { return fieldName_; }
  void SetFieldName(const std::string& name) { fieldName_ = name; }
  const std::string& DisplayName() const { return fieldName_; }

  TFieldType FieldType() const { return fieldType_; }
  // Derives the type letter, then applies the size rules. A type without a
  // letter leaves the letter 0 and raises EDbfError
  // "Cannot create field "%s", field type %x not supported by DBF.".
  void SetFieldType(TFieldType type);

  char NativeFieldType() const { return nativeFieldType_; }
  // Upper-cases the letter, derives the record-set type, applies the size
  // rules.
  void SetNativeFieldType(char letter);

  int32_t Size() const { return size_; }
  void SetSize(int32_t size);
  // The width as a table file stores it, without the size rules: other
  // programs write C fields of 255 and N fields of 50 characters, and their
  // values must be read whole.
  void SetStoredSize(int32_t size) { size_ = size; }
  int32_t Precision() const { return precision_; }
  void SetPrecision(int32_t precision);
  bool Required() const { return required_; }
  void SetRequired(bool required) { required_ = required; }

  // Byte offset in the record image; the first field is at 1.
  int32_t Offset() const { return offset_; }
  void SetOffset(int32_t offset) { offset_ = offset; }
  // File offset of the next-autoincrement value of a level-7 "+" field.
  int32_t AutoIncOffset() const { return autoIncOffset_; }
  void SetAutoIncOffset(int32_t offset) { autoIncOffset_ = offset; }
  uint32_t NextAutoInc() const { return nextAutoInc_; }
  void SetNextAutoInc(uint32_t value) { nextAutoInc_ = value; }
  bool IsLockField() const { return isLockField_; }
  void SetIsLockField(bool value) { isLockField_ = value; }

  // Visual FoxPro field flags (descriptor byte 18): kFieldSystem, a hidden
  // system column; kFieldNullable, the field can hold null; kFieldBinary, text
  // or memo bytes that are never translated between code pages;
  // kFieldAutoInc, an autoincrementing integer. Setting them derives the
  // record-set type again (an autoincrementing I is ftAutoInc).
  static constexpr uint8_t kFieldSystem = 0x01;
  static constexpr uint8_t kFieldNullable = 0x02;
  static constexpr uint8_t kFieldBinary = 0x04;
  static constexpr uint8_t kFieldAutoInc = 0x0C;
  uint8_t FieldFlags() const { return fieldFlags_; }
  void SetFieldFlags(uint8_t flags);
  bool IsNullable() const { return (fieldFlags_ & kFieldNullable) != 0; }
  bool IsSystemField() const { return (fieldFlags_ & kFieldSystem) != 0; }
  // Text whose bytes go to and from the record as they are: the binary flag,
  // varbinary (Q) and blob (W) fields.
  bool NoTranslation() const;
  // An autoincrementing field: "+" at level 7, I with kFieldAutoInc in
  // Visual FoxPro tables.
  bool IsAutoInc() const;
  // What an autoincrement adds for each new record (Visual FoxPro keeps it
  // in descriptor byte 23; level 7 always counts by one).
  uint8_t AutoIncStep() const { return autoIncStep_; }
  void SetAutoIncStep(uint8_t step) { autoIncStep_ = step; }

  // The bit of the hidden "_NullFlags" field that marks this field null,
  // and for V and Q fields the bit that says the value is shorter than the
  // field (its length then stands in the field's last byte): the record
  // offset of the byte holding the bit and its mask; mask 0 when none.
  int32_t NullFlagAt() const { return nullFlagAt_; }
  uint8_t NullFlagMask() const { return nullFlagMask_; }
  int32_t VarLengthFlagAt() const { return varLengthFlagAt_; }
  uint8_t VarLengthFlagMask() const { return varLengthFlagMask_; }
  void SetNullFlag(int32_t at, uint8_t mask) { nullFlagAt_ = at, nullFlagMask_ = mask; }
  void SetVarLengthFlag(int32_t at, uint8_t mask) {
    varLengthFlagAt_ = at, varLengthFlagMask_ = mask;
  }
  // V (varchar) and Q (varbinary): values shorter than the field.
  bool IsVarying() const { return nativeFieldType_ == 'V' || nativeFieldType_ == 'Q'; }
  // The record holds the memo block number as a 4-byte little-endian
  // integer (Visual FoxPro), not as text.
  bool HasBinaryBlockNumber() const;

  // Level-7 field properties. The values are in the field's own record
  // encoding, ValueBufSize() bytes each; they exist once PrepareValueBufs
  // ran.
  bool HasDefault() const { return hasDefault_; }
  void SetHasDefault(bool value) { hasDefault_ = value; }
  bool HasMin() const { return hasMin_; }
  void SetHasMin(bool value) { hasMin_ = value; }
  bool HasMax() const { return hasMax_; }
  void SetHasMax(bool value) { hasMax_ = value; }
  char* DefaultBuf() { return ValueBuf(0); }
  char* MinBuf() { return ValueBuf(1); }
  char* MaxBuf() { return ValueBuf(2); }
  const char* DefaultBuf() const { return const_cast<TDbfFieldDef*>(this)->ValueBuf(0); }
  int32_t ValueBufSize() const { return static_cast<int32_t>(valueBufs_.size() / 3); }
  // Makes the three value buffers Size() bytes each (anew, zero-filled,
  // when their size differs).
  void PrepareValueBufs();

  // Index of the definition this one was copied from, -1 when none.
  int SourceIndex() const { return sourceIndex_; }

  // M, B and G (and P, W in Visual FoxPro tables): the record holds a memo
  // block number (not a FoxPro double).
  bool IsBlob() const;
  // Letters stored as binary numbers (I, +, O, @, and FoxPro's Y, T, B):
  // no padding, no translation.
  bool IsBinary() const;
  // FoxPro's binary encodings, which tools also write into dBase III and IV
  // tables: I a little-endian integer, Y a little-endian 64-bit count of
  // ten-thousandths, B (width 8) a little-endian double, T (width 8) a
  // Julian day number and the milliseconds since midnight. Level 7 has its
  // own I and B.
  bool HasFoxProEncoding() const;
  // B of width 8 below level 7: FoxPro's double, not a binary memo.
  bool IsFoxProDouble() const;

  // Copies every attribute of another definition, value buffers included;
  // the source index becomes other's index.
  void CopyDefinition(const TDbfFieldDef& other);
  // Takes a record-set field definition's name, data type, size, precision
  // and required flag (sourceIndex: its position in its collection); the
  // letter is derived and the default size table applied; lock-field flag,
  // property flags, offsets and NextAutoInc are cleared. Raises like
  // SetFieldType for a type without a letter.
  void CopyRecordSetDefinition(const std::string& name, TFieldType dataType, int32_t size,
                               int32_t precision, bool required, int sourceIndex);
  // The same from a record-set field definition of the framework.
  void CopyDefinition(const TFieldDef& def);
  // Fills a record-set field definition: attributes and child definitions
  // cleared, then data type, required, size and name from this one.
  void AssignTo(TFieldDef& def) const;
  // Default width and decimals of the record-set type: smallint and word 4,
  // integer 4 at level 7 else 9, float 18.9, currency 16.2, date and
  // date-time 8, largeint 18; other types keep theirs.
  void SetDefaultSize();

 private:
  char* ValueBuf(int which);
  TTableFormat TableFormat() const;
  bool UseFloatFields() const;
  void ApplySizeRules();
  TFieldType TypeOfLetter(char letter) const;
  char LetterOfType(TFieldType type) const;

  TDbfFieldDefs* collection_;
  std::string fieldName_;
  TFieldType fieldType_ = ftUnknown;
  char nativeFieldType_ = 0;
  int32_t size_ = 0;
  int32_t precision_ = 0;
  bool required_ = false;
  int32_t offset_ = 0;
  int32_t autoIncOffset_ = 0;
  uint32_t nextAutoInc_ = 0;
  bool isLockField_ = false;
  uint8_t fieldFlags_ = 0;
  uint8_t autoIncStep_ = 1;
  int32_t nullFlagAt_ = 0;
  uint8_t nullFlagMask_ = 0;
  int32_t varLengthFlagAt_ = 0;
  uint8_t varLengthFlagMask_ = 0;
  bool hasDefault_ = false;
  bool hasMin_ = false;
  bool hasMax_ = false;
  std::vector<char> valueBufs_;  // default, minimum, maximum
  int sourceIndex_ = -1;
};

class TDbfFieldDefs {
 public:
  TDbfFieldDefs() = default;
  TDbfFieldDefs(const TDbfFieldDefs&) = delete;
  TDbfFieldDefs& operator=(const TDbfFieldDefs&) = delete;

  int Count() const { return static_cast<int>(items_.size()); }
  // Raises EListError for an index outside [0, Count()).
  TDbfFieldDef& Items(int index);
  const TDbfFieldDef& Items(int index) const;
  TDbfFieldDef& operator[](int index) { return Items(index); }
  const TDbfFieldDef& operator[](int index) const { return Items(index); }
  TDbfFieldDef& Add();
  void Clear() { items_.clear(); }
  int IndexOf(const TDbfFieldDef* def) const;

  // The hidden "_NullFlags" field of a Visual FoxPro table, or nullptr.
  const TDbfFieldDef* NullFlagsField() const;
  // Gives each nullable field its null bit and each V and Q field its
  // length bit in "_NullFlags", in field order (for a V or Q field the
  // length bit comes before its null bit). Gives the number of bits needed;
  // the caller checks that the field holds them (8 per byte).
  int AssignNullFlags();
  // Bits AssignNullFlags would need for these fields.
  static int NullFlagBitsNeeded(const TDbfFieldDefs& defs);

  TTableFormat TableFormat() const { return tableFormat_; }
  void SetTableFormat(TTableFormat format) { tableFormat_ = format; }
  // Numeric fields without decimals wider than four digits read as ftFloat.
  bool UseFloatFields() const { return useFloatFields_; }
  void SetUseFloatFields(bool value) { useFloatFields_ = value; }

 private:
  std::vector<std::unique_ptr<TDbfFieldDef>> items_;
  TTableFormat tableFormat_ = tfDBase4;
  bool useFloatFields_ = true;
};

// ---- Field values in record images -------------------------------------------
// Each field occupies Size() bytes at Offset() of a record image. Binary
// letters (I, +, O, @) hold big-endian numbers, all-zero bytes meaning
// empty; every other letter holds text, all spaces meaning empty. Values in
// memory have the record-set representation of the type asked for:
// ftString a NUL-terminated string (Size() + 1 bytes), ftSmallint and
// ftBoolean int16_t, ftInteger and ftAutoInc int32_t, ftLargeint int64_t,
// ftFloat and ftCurrency double, ftDate an int32_t day number (0001-01-01 is
// day 1), ftDateTime a double of milliseconds on that day numbering.
// REQUIRES: Offset() + Size() lies inside the record image.

// True when the field holds a value; with dst, stores it as type. A null
// record gives false, and so does a field whose "_NullFlags" bit says null
// or a V or Q field whose stored length is larger than the field. Text that is not a number or date
// never raises: it reads as 0, and impossible dates as 1899-12-30.
bool DecodeFieldValue(const TDbfFieldDef& def, TFieldType type, void* dst, const char* record);

// Writes src (of type) into the field; a null src writes the empty value,
// which in a nullable field is null. Never touches bytes outside the field
// and its "_NullFlags" bits.
void EncodeFieldValue(const TDbfFieldDef& def, TFieldType type, char* record, const void* src);

// A new record: spaces everywhere (the deletion flag included), zero bytes
// in binary fields, then each field's default value. In Visual FoxPro
// tables nullable fields start null and V and Q fields empty.
// REQUIRES: record holds recordSize bytes and every field lies inside it.
void BlankRecordImage(TDbfFieldDefs& defs, char* record, int recordSize);

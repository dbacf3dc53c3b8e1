#pragma once
// The table engine's expression parser: the built-in word set (text
// concatenation, addition, comparisons, NOT/AND/OR, STR, DTOS, SUBSTR and
// the case functions) and TDbfParser, which binds the field names of one
// table file to variables read from a record buffer. Filters and index
// keys compile and evaluate through it.

#include <memory>
#include <string>
#include <vector>

#include "recordset/db_types.h"
#include "tdbf/expr/dbf_prscore.h"

namespace platform {
class TTextCodec;
}

// Registers the built-in words, in the order that decides which overload
// is tried first (the last registered). Turns Duplicates on. Text
// comparisons ignore letter case and, with UPPER and LOWER, follow the
// case rules of text's code page (Turkish dotted and dotless i included);
// without text only a-z and A-Z have cases. text is not owned and must
// outlive the words.
void AddBuiltInWords(TExpressList& words, char listSeparator, platform::TTextCodec* text = nullptr);

class TDbfFile;
class TDbfFieldDef;

// Reads one field of a record buffer into storage that a variable word
// points at. The field definition and table file are not owned.
class TFieldVar {
 public:
  TFieldVar(TDbfFieldDef* fieldDef, TDbfFile* tableFile)
      : fieldDef_(fieldDef), tableFile_(tableFile) {}
  virtual ~TFieldVar() = default;
  TFieldVar(const TFieldVar&) = delete;
  TFieldVar& operator=(const TFieldVar&) = delete;

  // The storage the variable word points at.
  virtual void* ValueAddress() = 0;
  virtual TExprResultType VarResultType() const = 0;
  // Loads the storage from a record image of the table.
  virtual void ReadFromRecord(const char* record) = 0;

  TDbfFieldDef* FieldDef() const { return fieldDef_; }
  TDbfFile* TableFile() const { return tableFile_; }

 protected:
  // ReadFieldValue of this field as type into dst; false for an empty field.
  bool Read(TFieldType type, void* dst, const char* record) const;

 private:
  TDbfFieldDef* fieldDef_;
  TDbfFile* tableFile_;
};

// A field variable whose storage is one value of type T.
template <class T, TExprResultType Type>
class TTypedFieldVar : public TFieldVar {
 public:
  using TFieldVar::TFieldVar;
  void* ValueAddress() override { return &value_; }
  TExprResultType VarResultType() const override { return Type; }

 protected:
  T value_{};
};

// Text and logical fields: a pointer to the field's bytes inside the record
// (no copy, no translation, no trimming).
class TStringFieldVar : public TTypedFieldVar<const char*, rtString> {
 public:
  using TTypedFieldVar::TTypedFieldVar;
  void ReadFromRecord(const char* record) override;
};

class TFloatFieldVar : public TTypedFieldVar<double, rtFloat> {
 public:
  using TTypedFieldVar::TTypedFieldVar;
  void ReadFromRecord(const char* record) override;
};

// Small-integer, integer and autoincrement fields, as 32-bit values.
class TIntegerFieldVar : public TTypedFieldVar<int32_t, rtInteger> {
 public:
  using TTypedFieldVar::TTypedFieldVar;
  void ReadFromRecord(const char* record) override;
};

class TLargeIntFieldVar : public TTypedFieldVar<int64_t, rtLargeInt> {
 public:
  using TTypedFieldVar::TTypedFieldVar;
  void ReadFromRecord(const char* record) override;
};

// Date and date-time fields as date-time numbers; an empty field is 0.
class TDateTimeFieldVar : public TTypedFieldVar<double, rtDateTime> {
 public:
  using TTypedFieldVar::TTypedFieldVar;
  void ReadFromRecord(const char* record) override;
};

// Longest result a parsed expression may have, in bytes (an index key).
constexpr int32_t kMaxExprResultLength = 100;

// The expression parser of one table file. Names that are no built-in
// word denote fields of the table; each field used gets a field variable
// that EvaluateRecord loads from the record image. A text that is exactly
// one field name is not compiled: its value is handed out directly.
//
//   parser.ParseText("UPPER(NAME) + CITY");   // raises on any error
//   const char* key = parser.EvaluateRecord(record);
//
// Results (at the returned address): rtBoolean 1 byte, rtInteger int32_t,
// rtLargeInt int64_t, rtFloat double, rtDateTime double (days since
// 1899-12-30), rtString ResultLength() bytes of text (NUL-terminated when
// computed; a single text field's bytes in the record are not).
class TDbfParser : public TCustomExpressionParser {
 public:
  explicit TDbfParser(TDbfFile* tableFile);
  ~TDbfParser() override;

  TDbfFile* TableFile() const { return tableFile_; }
  void SetTableFile(TDbfFile* tableFile) { tableFile_ = tableFile; }

  std::string CurrentExpression() const override { return currentExpression_; }
  TExprResultType ResultType() const override;
  // Releases the chain and every field variable with its word.
  void ClearChain() override;

  // Makes text the expression in force. Raises compile errors (mostly
  // EParserException) and EDbfError "Index based on unknown field ...",
  // "Field ... is an invalid field type to base index on." and "Index
  // result for ... too long, >100 characters (...)."; afterwards no
  // expression is in force.
  virtual void ParseText(const std::string& text);
  // Makes text the filter in force. As ParseText, except that the result
  // must be logical (EParserException "Filter must be a logical
  // expression: NAME is Character"), a logical field alone stands for its
  // logical value, and a name that is no field fails with EParserException
  // "Unknown field 'NAEM'" at its place in the text.
  void ParseFilter(const std::string& text);
  // The value for one record image (RecordSize() bytes of the table) whose
  // record number is recNo (what RECNO() gives; 0 when unknown).
  // Allocates nothing once text results have reached their length.
  virtual const char* EvaluateRecord(const char* record, int32_t recNo = 0);

  // A comparison Specialize fused; known only to the parser's own code.
  struct TFusedCompare;
  // A search for a text in text fields Specialize fused.
  struct TFusedSearch;

  int32_t ResultLength() const { return resultLength_; }
  bool IsComputed() const { return isComputed_; }
  int FieldVarCount() const { return static_cast<int>(fieldVars_.size()); }
  TFieldVar* FieldVars(int index) const { return fieldVars_.at(index).var.get(); }

 protected:
  void FillWordList() override;
  // Binds the field called name; EDbfError when the table has none or its
  // type has no field variable.
  void ResolveUnknownName(const std::string& name) override;
  // Puts one node that reads the record itself in place of each comparison
  // of a text or number field with a constant (NAME = 'SMITH', AMOUNT >
  // 100): no copies of the field and the constant per record, and a field
  // read only there is not loaded at all. Likewise a search for a text
  // constant in a text field, as it is or through UPPER or LOWER ('X' $
  // UPPER(NAME), AT('X', NAME), AT(...) = 1), looks at the field's bytes
  // without copying or case-changing them, and searches for one text in
  // several fields joined by OR run as one node.
  std::unique_ptr<TExprNode> Specialize(std::unique_ptr<TExprNode> root) override;

 private:
  struct TFieldVarEntry {
    std::string name;
    std::unique_ptr<TFieldVar> var;
    TExprWord* word;  // registered in Words()
    // Nodes of the chain that read the variable; EvaluateRecord loads it
    // only for them.
    int uses = 1;
  };

  void Parse(const std::string& text, bool filter);
  void CountUses(const TExprNode* node);
  std::unique_ptr<TExprNode> Fuse(std::unique_ptr<TExprNode> node);
  // ISBLANK of a field stored as text: one node that looks at the field's
  // bytes, since its value cannot tell a blank number from 0.
  std::unique_ptr<TExprNode> FuseIsBlank(std::unique_ptr<TExprNode> node);
  // The searches described at Specialize; node itself when it is none.
  std::unique_ptr<TExprNode> FuseSearch(std::unique_ptr<TExprNode> node);
  // The field variable entry of a text field a node reads; null for none.
  TFieldVarEntry* TextFieldEntry(const TExprNode* node);

  TDbfFile* tableFile_;
  // The case rules of the table's code page for the text words.
  std::unique_ptr<platform::TTextCodec> textCodec_;
  std::vector<TFieldVarEntry> fieldVars_;
  // The comparisons Specialize fused.
  std::vector<std::unique_ptr<TFusedCompare>> fused_;
  std::vector<std::unique_ptr<TFusedSearch>> searches_;
  // The record being evaluated, for the fused comparisons.
  const char* record_ = nullptr;
  // Compiling a filter (unknown names give the filter's message).
  bool filter_ = false;
  // What DELETED() and RECNO() read: set from the record being evaluated.
  uint8_t deleted_ = 0;
  int32_t recNo_ = 0;
  std::string currentExpression_;
  int32_t resultLength_ = 0;
  bool isComputed_ = true;
  TExprResultType singleFieldType_ = rtUnknown;
};

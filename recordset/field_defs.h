#pragma once
// Field definitions: TFieldDef describes one field of a record set's
// storage (name, data type, size, precision, attributes, child
// definitions); TFieldDefs is the ordered collection a record set keeps as
// FieldDefs. Field objects (fields.h) are made from them.

#include <memory>
#include <string>
#include <vector>

#include "recordset/db_types.h"

class TField;
class TFieldDefs;

class TFieldDef {
 public:
  TFieldDef(TFieldDefs* owner, std::string name, TFieldType dataType, int size, bool required);
  ~TFieldDef();

  const std::string& Name() const { return name_; }
  void SetName(std::string name) { name_ = std::move(name); }
  TFieldType DataType() const { return dataType_; }
  void SetDataType(TFieldType type) { dataType_ = type; }
  // Characters for string types; 0 for the types whose size is fixed.
  int Size() const { return size_; }
  void SetSize(int size) { size_ = size; }
  int Precision() const { return precision_; }
  void SetPrecision(int precision) { precision_ = precision; }
  TFieldAttributes Attributes() const { return attributes_; }
  void SetAttributes(TFieldAttributes attributes) { attributes_ = attributes; }
  bool HasAttribute(TFieldAttribute a) const { return (attributes_ & FieldAttr(a)) != 0; }
  // Required is the faRequired attribute.
  bool Required() const { return HasAttribute(faRequired); }
  void SetRequired(bool value);

  // Definitions of the parts of a structured field (none for plain types).
  TFieldDefs& ChildDefs();
  bool HasChildDefs() const;

  // 0-based position in the collection and the 1-based field number.
  int Index() const;
  int FieldNo() const { return Index() + 1; }

  // A field object of the class for DataType, named and sized after this
  // definition (ReadOnly from faReadonly, Required from faRequired); none
  // for types that have no field class here.
  std::unique_ptr<TField> CreateField() const;

 private:
  TFieldDefs* owner_;
  std::string name_;
  TFieldType dataType_;
  int size_;
  int precision_ = 0;
  TFieldAttributes attributes_ = 0;
  std::unique_ptr<TFieldDefs> childDefs_;
};

class TFieldDefs {
 public:
  TFieldDefs() = default;
  TFieldDefs(const TFieldDefs&) = delete;
  TFieldDefs& operator=(const TFieldDefs&) = delete;

  int Count() const { return static_cast<int>(items_.size()); }
  // EListError "List index out of bounds (%d)" outside [0, Count).
  TFieldDef& Items(int index) const;
  TFieldDef& operator[](int index) const { return Items(index); }

  TFieldDef& Add(const std::string& name, TFieldType dataType, int size = 0, bool required = false);
  void Delete(int index);
  void Clear();

  // Lookups compare names without regard to ASCII case.
  int IndexOf(const std::string& name) const;
  TFieldDef* Find(const std::string& name) const;

  // False while the definitions may not describe the storage; the record
  // set's UpdateFieldDefs rebuilds them then.
  bool Updated() const { return updated_; }
  void SetUpdated(bool value) { updated_ = value; }

 private:
  friend class TFieldDef;
  std::vector<std::unique_ptr<TFieldDef>> items_;
  bool updated_ = false;
};

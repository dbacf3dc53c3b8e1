#include "recordset/field_defs.h"

#include <algorithm>

#include "recordset/fields.h"
#include "runtime/exceptions.h"
#include "runtime/sysutils.h"

TFieldDef::TFieldDef(TFieldDefs* owner, std::string name, TFieldType dataType, int size,
                     bool required)
    : owner_(owner), name_(std::move(name)), dataType_(dataType), size_(size) {
  SetRequired(required);
}

TFieldDef::~TFieldDef() = default;

void TFieldDef::SetRequired(bool value) {
  if (value)
    attributes_ |= FieldAttr(faRequired);
  else
    attributes_ &= static_cast<TFieldAttributes>(~FieldAttr(faRequired));
}

TFieldDefs& TFieldDef::ChildDefs() {
  if (!childDefs_) childDefs_ = std::make_unique<TFieldDefs>();
  return *childDefs_;
}

bool TFieldDef::HasChildDefs() const { return childDefs_ && childDefs_->Count() > 0; }

int TFieldDef::Index() const {
  const auto& items = owner_->items_;
  for (size_t i = 0; i < items.size(); ++i)
    if (items[i].get() == this) return static_cast<int>(i);
  return -1;
}

std::unique_ptr<TField> TFieldDef::CreateField() const {
  std::unique_ptr<TField> field = CreateFieldForType(dataType_, size_);
  if (!field) return field;
  field->SetFieldName(name_);
  field->SetReadOnly(HasAttribute(faReadonly));
  field->SetRequired(HasAttribute(faRequired));
  if (auto* f = dynamic_cast<TFloatField*>(field.get()); f && precision_ > 0)
    f->SetPrecision(precision_);
  return field;
}

TFieldDef& TFieldDefs::Items(int index) const {
  if (index < 0 || index >= Count()) ListIndexError(index);
  return *items_[static_cast<size_t>(index)];
}

TFieldDef& TFieldDefs::Add(const std::string& name, TFieldType dataType, int size, bool required) {
  items_.push_back(std::make_unique<TFieldDef>(this, name, dataType, size, required));
  return *items_.back();
}

void TFieldDefs::Delete(int index) {
  if (index < 0 || index >= Count()) ListIndexError(index);
  items_.erase(items_.begin() + index);
}

void TFieldDefs::Clear() { items_.clear(); }

int TFieldDefs::IndexOf(const std::string& name) const {
  for (size_t i = 0; i < items_.size(); ++i)
    if (SameText(items_[i]->Name(), name)) return static_cast<int>(i);
  return -1;
}

TFieldDef* TFieldDefs::Find(const std::string& name) const {
  int i = IndexOf(name);
  return i < 0 ? nullptr : items_[static_cast<size_t>(i)].get();
}

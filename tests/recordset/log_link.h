#pragma once
// A data link that writes every notification operation it receives into a
// log, for tests of routing and of the window arithmetic.

#include <string>
#include <vector>

#include "recordset/datasource.h"
#include "recordset/fields.h"

class TLogLink : public TDataLink {
 public:
  std::vector<std::string> log;
  // Take the focus request for this field (none: leave it).
  std::string focusField;

  std::string Joined() const {
    std::string s;
    for (const auto& entry : log) s += (s.empty() ? "" : ", ") + entry;
    return s;
  }
  void Clear() { log.clear(); }

 protected:
  void ActiveChanged() override { log.push_back(Active() ? "active" : "inactive"); }
  void CheckBrowseMode() override { log.push_back("browse"); }
  void DataSetChanged() override { log.push_back("changed"); }
  void DataSetScrolled(int distance) override {
    log.push_back("scrolled " + std::to_string(distance));
  }
  void EditingChanged() override { log.push_back(Editing() ? "editing" : "not editing"); }
  void FocusControl(TField*& field) override {
    log.push_back("focus " + field->FieldName());
    if (field->FieldName() == focusField) field = nullptr;
  }
  void LayoutChanged() override { log.push_back("layout"); }
  void RecordChanged(TField* field) override {
    log.push_back(field ? "record " + field->FieldName() : "record");
  }
  void UpdateData() override { log.push_back("update"); }
};

#pragma once
// What the grid's sources share and nothing else includes: the grid's data
// link and its cell editor.

#include <QLineEdit>

#include "app/db_grid.h"
#include "recordset/datasource.h"

// The link passes the record set's notifications to the grid.
class TDBGrid::TGridDataLink : public TDataLink {
 public:
  explicit TGridDataLink(TDBGrid* grid) : grid_(grid) { SetVisualControl(true); }

 protected:
  void ActiveChanged() override { grid_->LinkActiveChanged(); }
  void DataSetChanged() override { grid_->LinkDataSetChanged(); }
  void EditingChanged() override { grid_->LinkEditingChanged(); }
  void LayoutChanged() override { grid_->LinkLayoutChanged(); }
  void RecordChanged(TField* field) override { grid_->LinkRecordChanged(field); }
  void UpdateData() override { grid_->LinkUpdateData(); }
  void FocusControl(TField*& field) override {
    if (grid_->LinkFocusControl(field)) field = nullptr;
  }

 private:
  TDBGrid* grid_;
};

// The cell editor: a line edit over the current cell. Keys that move
// between cells (Tab included) go to the grid; keys that change the text
// first ask the grid whether the cell may be modified.
class TInplaceEdit : public QLineEdit {
 public:
  explicit TInplaceEdit(TDBGrid* grid);

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  // Tab and Shift+Tab reach a line edit through event(), which would move
  // the focus out of the grid; inside a cell they move between cells.
  bool event(QEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;

 private:
  TDBGrid* grid_;
};

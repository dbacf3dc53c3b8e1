// The grid's column layout: columns built from the record set's visible
// fields, their widths and positions, and the current column.

#include "app/db_grid.h"

#include <QScrollBar>

#include "app/db_grid_parts.h"
#include "app/qt_text.h"
#include "recordset/dataset.h"
#include "recordset/datasource.h"
#include "recordset/fields.h"

namespace {

constexpr int kIndicatorWidth = 11;
// The pixels a column needs beyond its characters.
constexpr int kColumnExtra = 4;
constexpr int kMinColumnWidth = 4;
// A text column fitted to its values is at least this many characters
// wide, so that a short first screen leaves room to type, and at most this
// many pixels, so that one long text does not push the others out of view.
constexpr int kMinFittedChars = 6;
constexpr int kMaxFittedWidth = 360;

bool IsTextField(const TField& field) {
  switch (field.DataType()) {
    case ftString:
    case ftFixedChar:
    case ftWideString:
    case ftMemo:
    case ftFmtMemo:
      return true;
    default:
      return false;
  }
}

}  // namespace

TField* TDBGrid::ColumnField(int column) const { return columns_.at(column).field; }

const std::string& TDBGrid::ColumnTitle(int column) const { return columns_.at(column).title; }

int TDBGrid::ColumnWidth(int column) const { return columns_.at(column).width; }

void TDBGrid::SetColumnWidth(int column, int width) {
  columns_.at(column).width = qMax(kMinColumnWidth, width);
  UpdateScrollBars();
  PlaceEditor();
  viewport()->update();
}

bool TDBGrid::ColumnReadOnly(int column) const { return columns_.at(column).readOnly; }

void TDBGrid::SetColumnReadOnly(int column, bool value) { columns_.at(column).readOnly = value; }

TField* TDBGrid::SelectedField() const {
  if (selectedIndex_ < 0 || selectedIndex_ >= ColumnCount()) return nullptr;
  return columns_[selectedIndex_].field;
}

void TDBGrid::SetSelectedIndex(int column) {
  if (column < 0 || column >= ColumnCount() || column == selectedIndex_) return;
  // The changed text of the cell being left goes into its field first.
  WriteEditText();
  selectedIndex_ = column;
  MakeColumnVisible(column);
  if (EditorMode()) {
    // A cell just entered has its text selected, so typing replaces it.
    LoadEditorText();
    editor_->selectAll();
  }
  PlaceEditor();
  viewport()->update();
}

int TDBGrid::DefaultColumnWidth(TField* field, const std::string& title) const {
  // Qt's fonts have no overhang, so a column is its characters plus the
  // padding, widened to its title.
  const QFontMetrics cells(font());
  int width = cells.horizontalAdvance(QLatin1Char('0')) * field->DisplayWidth() + kColumnExtra;
  if (options_ & GridOpt(dgTitles))
    width = qMax(width,
                 QFontMetrics(titleFont_).horizontalAdvance(Utf8ToQString(title)) + kColumnExtra);
  return width;
}

void TDBGrid::BuildColumns() {
  columns_.clear();
  sortColumn_ = -1;
  if (TDataSet* set = ActiveSet()) {
    for (int i = 0; i < set->FieldCount(); ++i) {
      TField* field = set->Fields(i);
      if (!field->Visible()) continue;
      const std::string title = field->DisplayName();
      columns_.push_back({field, title, DefaultColumnWidth(field, title), false});
    }
  }
  if (selectedIndex_ >= ColumnCount()) selectedIndex_ = qMax(0, ColumnCount() - 1);
}

void TDBGrid::FitColumns() {
  const QFontMetrics cells(font());
  const int digit = cells.horizontalAdvance(QLatin1Char('0'));
  const int rows = link_->Active() ? link_->RecordCount() : 0;
  for (int column = 0; column < ColumnCount(); ++column) {
    TColumn& c = columns_[column];
    // The widest value of the rows on screen.
    int content = 0;
    for (int row = 0; row < rows; ++row)
      content = qMax(content, cells.horizontalAdvance(Utf8ToQString(CellText(row, column))));
    content += kColumnExtra;
    const int title =
        (options_ & GridOpt(dgTitles))
            ? QFontMetrics(titleFont_).horizontalAdvance(Utf8ToQString(c.title)) + kColumnExtra
            : 0;
    if (IsTextField(*c.field)) {
      // Text is as wide as the values shown, within the field's width.
      const int least = qMax(title, digit * kMinFittedChars + kColumnExtra);
      c.width = qMin(c.width, qMax(least, qMin(content, kMaxFittedWidth)));
    } else {
      // Numbers, dates and logicals keep the width their field needs and
      // grow for a value that needs more.
      c.width = qMax(c.width, content);
    }
  }
  UpdateScrollBars();
  PlaceEditor();
  viewport()->update();
}

int TDBGrid::DataLeft() const { return (options_ & GridOpt(dgIndicator)) ? kIndicatorWidth : 0; }

int TDBGrid::ColumnLeft(int column) const {
  int x = DataLeft() - horizontalScrollBar()->value();
  for (int i = 0; i < column; ++i) x += columns_[i].width;
  return x;
}

int TDBGrid::ColumnAt(int x) const {
  if (x < DataLeft()) return -1;
  int left = ColumnLeft(0);
  for (int i = 0; i < ColumnCount(); ++i) {
    if (x >= left && x < left + columns_[i].width) return i;
    left += columns_[i].width;
  }
  return -2;
}

void TDBGrid::MakeColumnVisible(int column) {
  if (column < 0 || column >= ColumnCount()) return;
  QScrollBar* bar = horizontalScrollBar();
  const int visibleWidth = viewport()->width() - DataLeft();
  const int start = ColumnLeft(column) + bar->value() - DataLeft();
  const int end = start + columns_[column].width;
  if (start < bar->value())
    bar->setValue(start);
  else if (end > bar->value() + visibleWidth)
    bar->setValue(qMin(start, end - visibleWidth));
}

void TDBGrid::SetSortIndicator(int column, bool descending) {
  sortColumn_ = column >= 0 && column < ColumnCount() ? column : -1;
  sortDescending_ = descending;
  viewport()->update();
}

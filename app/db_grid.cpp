#include "app/db_grid.h"

#include <QApplication>
#include <QKeyEvent>
#include <QScrollBar>

#include "app/application.h"
#include "app/db_grid_parts.h"
#include "recordset/dataset.h"
#include "recordset/datasource.h"
#include "recordset/fields.h"
#include "runtime/exceptions.h"

namespace {

// How close to a title boundary the mouse must be to resize a column.
constexpr int kResizeMargin = 3;

}  // namespace

TDBGrid::TDBGrid(QWidget* parent)
    : QAbstractScrollArea(parent),
      link_(std::make_unique<TGridDataLink>(this)),
      editor_(new TInplaceEdit(this)),
      fontColor_(palette().color(QPalette::Text)),
      titleFont_(font()),
      titleFontColor_(palette().color(QPalette::ButtonText)) {
  setFocusPolicy(Qt::StrongFocus);
  viewport()->setMouseTracking(true);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  horizontalScrollBar()->setSingleStep(16);
  QScrollBar* vertical = verticalScrollBar();
  connect(vertical, &QScrollBar::actionTriggered, this,
          [this](int action) { Guarded([&] { ScrollAction(action); }); });
  connect(vertical, &QScrollBar::sliderReleased, this, [this] {
    Guarded([this] { JumpToScrollPosition(verticalScrollBar()->sliderPosition()); });
    UpdateScrollBars();
  });
  UpdateScrollBars();
}

TDBGrid::~TDBGrid() { link_->SetDataSource(nullptr); }

TDataSource* TDBGrid::DataSource() const { return link_->DataSource(); }

void TDBGrid::SetDataSource(TDataSource* source) {
  link_->SetDataSource(source);
  LinkActiveChanged();
}

TDataSet* TDBGrid::ActiveSet() const { return link_->Active() ? link_->DataSet() : nullptr; }

void TDBGrid::SetOptions(TDBGridOptions options) {
  options_ = options;
  if (!(options_ & GridOpt(dgEditing))) HideEditor();
  UpdateRowCount();
  viewport()->update();
}

void TDBGrid::SetFontColor(const QColor& color) {
  fontColor_ = color;
  QPalette p = editor_->palette();
  p.setColor(QPalette::Text, color);
  editor_->setPalette(p);
  viewport()->update();
}

void TDBGrid::SetTitleFont(const QFont& font) {
  titleFont_ = font;
  BuildColumns();
  UpdateRowCount();
  viewport()->update();
}

void TDBGrid::SetTitleFontColor(const QColor& color) {
  titleFontColor_ = color;
  viewport()->update();
}

// ---- Rows ----

int TDBGrid::RowHeight() const { return QFontMetrics(font()).height() + 3; }

int TDBGrid::TitleHeight() const {
  return (options_ & GridOpt(dgTitles)) ? QFontMetrics(titleFont_).height() + 4 : 0;
}

int TDBGrid::IndicatorWidth() const { return DataLeft(); }

int TDBGrid::VisibleRowCount() const {
  return qMax(1, (viewport()->height() - TitleHeight()) / RowHeight());
}

QRect TDBGrid::CellRect(int row, int column) const {
  const int top = row < 0 ? 0 : TitleHeight() + row * RowHeight();
  const int height = row < 0 ? TitleHeight() : RowHeight();
  if (column < 0) return QRect(0, top, DataLeft(), height);
  return QRect(ColumnLeft(column), top, columns_.at(column).width, height);
}

std::string TDBGrid::CellText(int row, int column) const {
  if (!link_->Active() || row < 0 || row >= link_->RecordCount() || column < 0 ||
      column >= ColumnCount())
    return std::string();
  const int saved = link_->ActiveRecord();
  link_->SetActiveRecord(row);
  std::string text;
  try {
    text = columns_[column].field->ShownText();
  } catch (const Exception&) {
    // A value that cannot be shown leaves its cell empty.
  }
  link_->SetActiveRecord(saved);
  return text;
}

TGridIndicator TDBGrid::RowIndicator(int row) const {
  TDataSet* set = ActiveSet();
  if (!set || row != link_->ActiveRecord() || row >= link_->RecordCount()) return giNone;
  switch (set->State()) {
    case rsEdit:
      return giEdit;
    case rsInsert:
      return giInsert;
    default:
      return giBrowse;
  }
}

void TDBGrid::UpdateRowCount() {
  Guarded([this] { link_->SetBufferCount(VisibleRowCount()); });
  UpdateScrollBars();
}

void TDBGrid::UpdateScrollBars() {
  int total = 0;
  for (const TColumn& column : columns_) total += column.width;
  QScrollBar* horizontal = horizontalScrollBar();
  horizontal->setRange(0, qMax(0, total - (viewport()->width() - DataLeft())));
  horizontal->setPageStep(qMax(1, viewport()->width() - DataLeft()));

  // The vertical bar shows the record number among all records when the
  // record set knows both; otherwise only start, middle or end.
  QScrollBar* vertical = verticalScrollBar();
  TDataSet* set = ActiveSet();
  if (!set || set->IsEmpty()) {
    sequenced_ = false;
    vertical->setRange(0, 0);
    return;
  }
  int count = -1;
  int number = -1;
  if (set->State() == rsBrowse || set->State() == rsEdit) {
    try {
      count = set->RecordCount();
      number = set->RecordNumber();
    } catch (const Exception&) {
      count = -1;
    }
  }
  sequenced_ = count > 0 && number >= 1 && number <= count;
  if (sequenced_) {
    vertical->setRange(0, count - 1);
    vertical->setPageStep(VisibleRowCount());
    vertical->setValue(number - 1);
  } else {
    vertical->setRange(0, 2);
    vertical->setPageStep(1);
    vertical->setValue(link_->AtStart() ? 0 : link_->AtEnd() ? 2 : 1);
  }
}

void TDBGrid::ScrollAction(int action) {
  if (!ActiveSet()) return;
  switch (action) {
    case QAbstractSlider::SliderSingleStepAdd:
      link_->MoveBy(1);
      break;
    case QAbstractSlider::SliderSingleStepSub:
      link_->MoveBy(-1);
      break;
    case QAbstractSlider::SliderPageStepAdd:
      link_->MoveBy(VisibleRowCount());
      break;
    case QAbstractSlider::SliderPageStepSub:
      link_->MoveBy(-VisibleRowCount());
      break;
    case QAbstractSlider::SliderToMinimum:
      link_->DataSet()->First();
      break;
    case QAbstractSlider::SliderToMaximum:
      link_->DataSet()->Last();
      break;
    case QAbstractSlider::SliderMove:
      // A drag moves the record set when the thumb is let go.
      if (verticalScrollBar()->isSliderDown()) return;
      JumpToScrollPosition(verticalScrollBar()->sliderPosition());
      break;
    default:
      return;
  }
  // The bar shows where the record set went, not where the action aimed.
  UpdateScrollBars();
  verticalScrollBar()->setSliderPosition(verticalScrollBar()->value());
}

void TDBGrid::JumpToScrollPosition(int position) {
  TDataSet* set = ActiveSet();
  if (!set) return;
  if (sequenced_) {
    set->SettlePendingEdit();
    set->SetRecordNumber(position + 1);
  } else if (position <= 0) {
    set->First();
  } else if (position >= 2) {
    set->Last();
  }
}

// ---- Link notifications ----

void TDBGrid::LinkActiveChanged() {
  editChanged_ = false;
  HideEditor();
  BuildColumns();
  UpdateRowCount();
  FitColumns();
}

void TDBGrid::LinkLayoutChanged() {
  BuildColumns();
  LinkDataSetChanged();
  FitColumns();
}

void TDBGrid::LinkDataSetChanged() {
  // The current record may be another one now: the editor starts over.
  editChanged_ = false;
  if (EditorMode()) LoadEditorText();
  PlaceEditor();
  UpdateScrollBars();
  viewport()->update();
}

void TDBGrid::LinkEditingChanged() {
  if (!link_->Editing()) editChanged_ = false;
  viewport()->update();
}

void TDBGrid::LinkRecordChanged(TField* field) {
  viewport()->update();
  if (EditorMode() && !editChanged_ && (!field || field == SelectedField())) LoadEditorText();
}

void TDBGrid::LinkUpdateData() { WriteEditText(); }

bool TDBGrid::LinkFocusControl(TField* field) {
  for (int i = 0; i < ColumnCount(); ++i) {
    if (columns_[i].field != field) continue;
    SetSelectedIndex(i);
    setFocus();
    return true;
  }
  return false;
}

// ---- Mouse ----

int TDBGrid::ResizeEdgeAt(const QPoint& pos) const {
  if (!(options_ & GridOpt(dgColumnResize)) || !(options_ & GridOpt(dgTitles)) ||
      pos.y() >= TitleHeight())
    return -1;
  int right = ColumnLeft(0);
  for (int i = 0; i < ColumnCount(); ++i) {
    right += columns_[i].width;
    if (qAbs(pos.x() - right) <= kResizeMargin) return i;
  }
  return -1;
}

void TDBGrid::ClickCell(const QPoint& pos, bool doubleClick) {
  TDataSet* set = ActiveSet();
  if (!set) return;
  if (pos.y() < TitleHeight()) {
    const int column = ColumnAt(pos.x());
    if (!doubleClick && column >= 0 && onTitleClicked_) {
      WriteEditText();
      if (!(options_ & GridOpt(dgAlwaysShowEditor))) HideEditor();
      onTitleClicked_(column);
    }
    return;
  }
  const int row = (pos.y() - TitleHeight()) / RowHeight();
  const int column = ColumnAt(pos.x());
  if (row >= link_->RecordCount() || column == -2) return;
  if (row != link_->ActiveRecord()) {
    WriteEditText();
    if (!(options_ & GridOpt(dgAlwaysShowEditor))) HideEditor();
    link_->MoveBy(row - link_->ActiveRecord());
    if (column >= 0) SetSelectedIndex(column);
    return;
  }
  if (column < 0) return;
  if (column != selectedIndex_) {
    SetSelectedIndex(column);
    if (doubleClick) ShowEditor();
    return;
  }
  // A click on the current cell opens its editor.
  ShowEditor();
}

void TDBGrid::mousePressEvent(QMouseEvent* event) {
  if (!hasFocus() && !editor_->hasFocus()) setFocus(Qt::MouseFocusReason);
  if (event->button() != Qt::LeftButton) return;
  const QPoint pos = event->position().toPoint();
  resizingColumn_ = ResizeEdgeAt(pos);
  if (resizingColumn_ >= 0) return;
  Guarded([&] { ClickCell(pos, false); });
}

void TDBGrid::mouseDoubleClickEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return;
  const QPoint pos = event->position().toPoint();
  if (ResizeEdgeAt(pos) >= 0) return;
  Guarded([&] {
    ClickCell(pos, true);
    // A memo cell opens in its own window: its text rarely fits a cell.
    if (pos.y() >= TitleHeight() && ColumnAt(pos.x()) == selectedIndex_ &&
        IsMemoColumn(selectedIndex_))
      EditMemo();
  });
}

void TDBGrid::mouseMoveEvent(QMouseEvent* event) {
  const QPoint pos = event->position().toPoint();
  if (resizingColumn_ >= 0) {
    SetColumnWidth(resizingColumn_, pos.x() - ColumnLeft(resizingColumn_));
    return;
  }
  viewport()->setCursor(ResizeEdgeAt(pos) >= 0 ? Qt::SplitHCursor : Qt::ArrowCursor);
}

void TDBGrid::mouseReleaseEvent(QMouseEvent*) { resizingColumn_ = -1; }

void TDBGrid::wheelEvent(QWheelEvent* event) {
  // Deltas come in eighths of a degree, 120 to a notch; touchpads send
  // smaller ones, which add up.
  QPoint delta = event->angleDelta();
  if (event->modifiers() & Qt::ShiftModifier) delta = QPoint(delta.y(), delta.x());
  if (delta.x() != 0) {
    QScrollBar* bar = horizontalScrollBar();
    bar->setValue(bar->value() - delta.x() * bar->singleStep() * 3 / 120);
  }
  wheelRemainder_ += delta.y();
  const int notches = wheelRemainder_ / 120;
  wheelRemainder_ -= notches * 120;
  if (notches == 0 || !ActiveSet()) return;
  Guarded([&] { ScrollView(-notches * QApplication::wheelScrollLines()); });
}

void TDBGrid::ScrollView(int rows) {
  // The view shows the ring's window, which follows the current record,
  // so the view scrolls by moving the record past the edge of the window
  // and back to the row it stood in: the rows slide and the current row
  // keeps its place on screen, as the desktop's lists do.
  WriteEditText();
  if (!(options_ & GridOpt(dgAlwaysShowEditor))) HideEditor();
  const int row = link_->ActiveRecord();
  const int toEdge = rows > 0 ? link_->RecordCount() - 1 - row : -row;
  const int went = link_->MoveBy(toEdge + rows);
  if (went == 0) return;
  // Near either end of the table there may be nothing to scroll: the
  // record then goes back to where it was.
  const bool scrolled = rows > 0 ? went > toEdge : went < toEdge;
  link_->MoveBy(scrolled ? -toEdge : -went);
}

// ---- Focus ----

bool TDBGrid::IsInside(const QWidget* widget) const {
  return widget == this || widget == viewport() || widget == editor_;
}

bool TDBGrid::LeavesGrid(QFocusEvent* event) const {
  // Only a move of the focus to another control of the same window leaves
  // the grid; a dialog or another window taking the focus does not.
  if (event->reason() == Qt::ActiveWindowFocusReason || event->reason() == Qt::PopupFocusReason)
    return false;
  const QWidget* next = QApplication::focusWidget();
  return next && !IsInside(next) && next->window() == window();
}

void TDBGrid::LeaveGrid() {
  TDataSet* set = ActiveSet();
  if (leaving_ || !set) return;
  leaving_ = true;
  const bool ok = Guarded([&] {
    if ((options_ & GridOpt(dgCancelOnExit)) && UntouchedInsert())
      set->Cancel();
    else
      WriteEditText();
  });
  leaving_ = false;
  // When the pending text does not go into the field, the grid keeps the
  // focus so the user can correct it.
  if (!ok) setFocus(Qt::OtherFocusReason);
}

void TDBGrid::focusInEvent(QFocusEvent* event) {
  QAbstractScrollArea::focusInEvent(event);
  viewport()->update();
}

void TDBGrid::focusOutEvent(QFocusEvent* event) {
  QAbstractScrollArea::focusOutEvent(event);
  viewport()->update();
  if (LeavesGrid(event)) LeaveGrid();
}

void TDBGrid::EditorFocusOut(QFocusEvent* event) {
  viewport()->update();
  if (LeavesGrid(event)) LeaveGrid();
}

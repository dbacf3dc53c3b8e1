#include "app/db_grid.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPainter>
#include <QScrollBar>
#include <QStyleOptionHeader>

#include "app/app_str.h"
#include "app/application.h"
#include "app/dialogs.h"
#include "app/qt_text.h"
#include "recordset/dataset.h"
#include "recordset/datasource.h"
#include "recordset/fields.h"
#include "runtime/exceptions.h"

namespace {

constexpr int kIndicatorWidth = 11;
// Padding left and right of a cell's text, and the pixels a column needs
// beyond its characters.
constexpr int kCellPadding = 2;
constexpr int kColumnExtra = 4;
// How close to a title boundary the mouse must be to resize a column.
constexpr int kResizeMargin = 3;
constexpr int kMinColumnWidth = 4;
const QColor kGridLineColor(192, 192, 192);

bool IsEditState(TRecordSetState state) { return state == rsEdit || state == rsInsert; }

// Whether a key moves the current cell or otherwise belongs to the grid
// while the editor has the focus.
bool IsGridKey(const QKeyEvent* event) {
  const bool ctrl = event->modifiers() & Qt::ControlModifier;
  switch (event->key()) {
    case Qt::Key_Up:
    case Qt::Key_Down:
    case Qt::Key_PageUp:
    case Qt::Key_PageDown:
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
    case Qt::Key_Escape:
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Insert:
    case Qt::Key_F2:
      return true;
    case Qt::Key_Home:
    case Qt::Key_End:
    case Qt::Key_Delete:
      return ctrl;
    default:
      return false;
  }
}

// Whether a key changes the text of a line edit.
bool ChangesText(const QKeyEvent* event) {
  if (event->matches(QKeySequence::Paste) || event->matches(QKeySequence::Cut) ||
      event->matches(QKeySequence::Undo) || event->matches(QKeySequence::Redo) ||
      event->matches(QKeySequence::DeleteEndOfWord) ||
      event->matches(QKeySequence::DeleteStartOfWord))
    return true;
  if (event->key() == Qt::Key_Backspace || event->key() == Qt::Key_Delete) return true;
  const QString text = event->text();
  return !text.isEmpty() && text.at(0).isPrint();
}

}  // namespace

// The cell editor: a line edit over the current cell. Keys that move
// between cells go to the grid; keys that change the text first ask the
// grid whether the cell may be modified.
class TInplaceEdit : public QLineEdit {
 public:
  explicit TInplaceEdit(TDBGrid* grid) : QLineEdit(grid->viewport()), grid_(grid) {
    setFrame(false);
    setContextMenuPolicy(Qt::NoContextMenu);
    setDragEnabled(false);
    setAcceptDrops(false);
    hide();
    connect(this, &QLineEdit::textEdited, this, [this] { grid_->EditorTextEdited(); });
  }

 protected:
  void keyPressEvent(QKeyEvent* event) override {
    if (IsGridKey(event)) {
      grid_->GridKey(event);
      return;
    }
    if (ChangesText(event)) {
      const QString text = event->text();
      if (!text.isEmpty() && text.at(0).isPrint() && !grid_->CanEditAcceptKey(text)) return;
      bool allowed = false;
      Guarded([&] { allowed = grid_->CanEditModify(); });
      if (!allowed) return;
    }
    QLineEdit::keyPressEvent(event);
  }

  void focusOutEvent(QFocusEvent* event) override {
    QLineEdit::focusOutEvent(event);
    grid_->EditorFocusOut(event);
  }

 private:
  TDBGrid* grid_;
};

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

// ---- Columns ----

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
  if (EditorMode()) LoadEditorText();
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
  viewport()->update();
}

void TDBGrid::LinkLayoutChanged() {
  BuildColumns();
  LinkDataSetChanged();
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

// ---- Editing ----

bool TDBGrid::EditorMode() const { return editor_->isVisible(); }

void TDBGrid::SetEditorMode(bool value) {
  if (value)
    ShowEditor();
  else
    HideEditor();
}

QWidget* TDBGrid::InplaceEditor() const { return editor_; }

QString TDBGrid::EditText() const { return editor_->text(); }

void TDBGrid::LoadEditorText() {
  TField* field = SelectedField();
  QString text;
  if (field && ActiveSet()) {
    try {
      text = Utf8ToQString(field->EditText());
    } catch (const Exception&) {
      // An unreadable value edits as empty text.
    }
  }
  const bool fieldIsText =
      field && (field->DataType() == ftString || field->DataType() == ftFixedChar);
  editor_->setMaxLength(fieldIsText && field->Size() > 0 ? field->Size() : 32767);
  if (editor_->text() != text) {
    const bool allSelected =
        editor_->hasSelectedText() && editor_->selectedText() == editor_->text();
    editor_->setText(text);
    if (allSelected) editor_->selectAll();
  }
}

void TDBGrid::PlaceEditor() {
  if (!EditorMode()) return;
  const int row = link_->ActiveRecord();
  if (!ActiveSet() || SelectedField() == nullptr || row < 0 || row >= link_->RecordCount()) {
    HideEditor();
    return;
  }
  editor_->setGeometry(CellRect(row, selectedIndex_).adjusted(1, 1, -1, -1));
}

void TDBGrid::ShowEditor() {
  if (!(options_ & GridOpt(dgEditing)) || !ActiveSet() || !SelectedField() ||
      link_->RecordCount() == 0)
    return;
  editor_->setFont(font());
  editor_->show();
  LoadEditorText();
  PlaceEditor();
  editor_->selectAll();
  editor_->setFocus();
}

void TDBGrid::HideEditor() {
  if (!editor_->isVisible()) return;
  const bool hadFocus = editor_->hasFocus();
  editor_->hide();
  if (hadFocus) setFocus();
}

bool TDBGrid::CanEditAcceptKey(const QString& text) const {
  TField* field = SelectedField();
  if (!field) return false;
  // Any character may be typed; one the table's code page lacks is
  // refused with its message when the value is written.
  const std::string bytes = QStringToUtf8(text);
  for (char c : bytes)
    if (!field->IsValidChar(c)) return false;
  return true;
}

bool TDBGrid::CanEditModify() {
  if (readOnly_ || !link_->Active() || link_->ReadOnly()) return false;
  if (selectedIndex_ < 0 || selectedIndex_ >= ColumnCount()) return false;
  const TColumn& column = columns_[selectedIndex_];
  if (column.readOnly || !column.field || !column.field->CanModify()) return false;
  // Memo, picture and other binary values are edited as text only through
  // the field's own text handler.
  if (column.field->IsBlob() && !column.field->OnSetText()) return false;
  if (!link_->Edit()) return false;
  editChanged_ = true;
  return true;
}

void TDBGrid::EditorTextEdited() { editChanged_ = true; }

void TDBGrid::WriteEditText() {
  if (!editChanged_ || !link_->Active()) return;
  TField* field = SelectedField();
  if (!field) return;
  field->SetEditText(QStringToUtf8(editor_->text()));
  editChanged_ = false;
  if (EditorMode()) LoadEditorText();
}

// ---- Keys ----

bool TDBGrid::event(QEvent* event) {
  // With dgTabs, Tab moves between cells instead of leaving the grid;
  // Ctrl+Tab always leaves it.
  if (event->type() == QEvent::KeyPress) {
    auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab) {
      const bool forward = key->key() == Qt::Key_Tab && !(key->modifiers() & Qt::ShiftModifier);
      if (key->modifiers() & Qt::ControlModifier) {
        focusNextPrevChild(forward);
        return true;
      }
      if ((options_ & GridOpt(dgTabs)) && ActiveSet()) {
        keyPressEvent(key);
        return true;
      }
    }
  }
  return QAbstractScrollArea::event(event);
}

void TDBGrid::keyPressEvent(QKeyEvent* event) {
  if (!ActiveSet()) {
    QAbstractScrollArea::keyPressEvent(event);
    return;
  }
  Guarded([&] { HandleKey(event); });
}

void TDBGrid::GridKey(QKeyEvent* event) {
  if (event->key() == Qt::Key_Tab || event->key() == Qt::Key_Backtab) {
    if (!(options_ & GridOpt(dgTabs)) || (event->modifiers() & Qt::ControlModifier)) {
      focusNextPrevChild(event->key() == Qt::Key_Tab && !(event->modifiers() & Qt::ShiftModifier));
      return;
    }
  }
  keyPressEvent(event);
}

bool TDBGrid::UntouchedInsert() const {
  TDataSet* set = ActiveSet();
  return set && set->State() == rsInsert && !set->IsModified() && !editChanged_;
}

bool TDBGrid::CanAppend() const {
  TDataSet* set = ActiveSet();
  return set && set->IsWritable() && !readOnly_ && !link_->ReadOnly() &&
         (options_ & GridOpt(dgEditing));
}

void TDBGrid::MoveDown() {
  if (UntouchedInsert()) {
    // An untouched new row is not posted: at the end nothing happens,
    // elsewhere it goes away.
    if (!link_->AtEnd()) ActiveSet()->Cancel();
    return;
  }
  link_->MoveBy(1);
  if (link_->AtEnd() && CanAppend()) ActiveSet()->AppendNew();
}

void TDBGrid::MoveUp() {
  if (UntouchedInsert() && link_->AtEnd()) {
    ActiveSet()->Cancel();
    return;
  }
  link_->MoveBy(-1);
}

void TDBGrid::TabMove(bool forward) {
  if (forward) {
    if (selectedIndex_ < ColumnCount() - 1) {
      SetSelectedIndex(selectedIndex_ + 1);
      return;
    }
    if (UntouchedInsert() && link_->AtEnd()) return;
    MoveDown();
    SetSelectedIndex(0);
    return;
  }
  if (selectedIndex_ > 0) {
    SetSelectedIndex(selectedIndex_ - 1);
    return;
  }
  if (link_->MoveBy(-1) != 0 || ActiveSet()->State() == rsBrowse)
    SetSelectedIndex(ColumnCount() - 1);
}

void TDBGrid::EscapeKey() {
  if (editChanged_) {
    // The typing is discarded: the cell shows the field's value again.
    editChanged_ = false;
    LoadEditorText();
  } else if (IsEditState(ActiveSet()->State())) {
    ActiveSet()->Cancel();
  }
  if (!(options_ & GridOpt(dgAlwaysShowEditor))) HideEditor();
}

void TDBGrid::EnterKey() {
  if (options_ & GridOpt(dgAlwaysShowEditor)) {
    WriteEditText();
    return;
  }
  if (!EditorMode()) {
    ShowEditor();
    return;
  }
  WriteEditText();
  HideEditor();
}

void TDBGrid::DeleteKey() {
  TDataSet* set = ActiveSet();
  if (readOnly_ || set->IsEmpty() || !set->IsWritable()) return;
  if ((options_ & GridOpt(dgConfirmDelete)) &&
      !ConfirmOkCancel(this, QString::fromLatin1(appmsg::kDeleteRecordQuestion)))
    return;
  set->Delete();
}

void TDBGrid::TypeKey(QKeyEvent* event) {
  if (!(options_ & GridOpt(dgEditing)) || !SelectedField()) return;
  const QString text = event->text();
  if (!CanEditAcceptKey(text)) return;
  if (!CanEditModify()) return;
  // Typing into a cell whose editor is hidden replaces its text.
  if (!EditorMode()) {
    ShowEditor();
    if (!EditorMode()) return;
    editor_->selectAll();
  }
  editor_->insert(text);
  editChanged_ = true;
}

void TDBGrid::HandleKey(QKeyEvent* event) {
  TDataSet* set = ActiveSet();
  const bool ctrl = event->modifiers() & Qt::ControlModifier;
  const bool shift = event->modifiers() & Qt::ShiftModifier;
  const bool rowMove = event->key() == Qt::Key_Up || event->key() == Qt::Key_Down ||
                       event->key() == Qt::Key_PageUp || event->key() == Qt::Key_PageDown ||
                       (ctrl && (event->key() == Qt::Key_Home || event->key() == Qt::Key_End));
  if (rowMove && !(options_ & GridOpt(dgAlwaysShowEditor))) {
    // The text typed into the cell goes into the field before the move;
    // the record set then posts the record as it is left.
    WriteEditText();
    HideEditor();
  }
  switch (event->key()) {
    case Qt::Key_Up:
      MoveUp();
      break;
    case Qt::Key_Down:
      MoveDown();
      break;
    case Qt::Key_PageUp:
      link_->MoveBy(-VisibleRowCount());
      break;
    case Qt::Key_PageDown:
      link_->MoveBy(VisibleRowCount());
      break;
    case Qt::Key_Home:
      if (ctrl || ColumnCount() == 1)
        set->First();
      else
        SetSelectedIndex(0);
      break;
    case Qt::Key_End:
      if (ctrl || ColumnCount() == 1)
        set->Last();
      else
        SetSelectedIndex(ColumnCount() - 1);
      break;
    case Qt::Key_Left:
      SetSelectedIndex(selectedIndex_ - 1);
      break;
    case Qt::Key_Right:
      SetSelectedIndex(selectedIndex_ + 1);
      break;
    case Qt::Key_Tab:
      TabMove(!shift);
      break;
    case Qt::Key_Backtab:
      TabMove(false);
      break;
    case Qt::Key_Insert:
      if (!ctrl && !shift && CanAppend()) set->Insert();
      break;
    case Qt::Key_Delete:
      if (ctrl) DeleteKey();
      break;
    case Qt::Key_Escape:
      EscapeKey();
      break;
    case Qt::Key_Return:
    case Qt::Key_Enter:
      EnterKey();
      break;
    case Qt::Key_F2:
      ShowEditor();
      break;
    default:
      if (!event->text().isEmpty() && event->text().at(0).isPrint() && !ctrl)
        TypeKey(event);
      else
        event->ignore();
      break;
  }
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
  if (!set || pos.y() < TitleHeight()) return;
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
  Guarded([&] { ClickCell(pos, true); });
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
  const int steps = event->angleDelta().y() / 120;
  if (steps == 0 || !ActiveSet()) return;
  Guarded([&] {
    WriteEditText();
    link_->MoveBy(-steps);
  });
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

// ---- Painting ----

void TDBGrid::scrollContentsBy(int, int) {
  PlaceEditor();
  viewport()->update();
}

void TDBGrid::resizeEvent(QResizeEvent* event) {
  QAbstractScrollArea::resizeEvent(event);
  UpdateRowCount();
  PlaceEditor();
}

void TDBGrid::DrawIndicator(QPainter& painter, const QRect& cell, TGridIndicator indicator) const {
  if (indicator == giNone) return;
  painter.save();
  painter.setRenderHint(QPainter::Antialiasing);
  const QPointF c = QRectF(cell).center();
  painter.setPen(QPen(QColor(0, 0, 0), 1));
  painter.setBrush(QColor(0, 0, 0));
  switch (indicator) {
    case giBrowse:
      painter.drawPolygon(QPolygonF({QPointF(c.x() - 2, c.y() - 4), QPointF(c.x() + 2, c.y()),
                                     QPointF(c.x() - 2, c.y() + 4)}));
      break;
    case giEdit:
      painter.drawLine(QPointF(c.x(), c.y() - 4), QPointF(c.x(), c.y() + 4));
      painter.drawLine(QPointF(c.x() - 2, c.y() - 4), QPointF(c.x() + 2, c.y() - 4));
      painter.drawLine(QPointF(c.x() - 2, c.y() + 4), QPointF(c.x() + 2, c.y() + 4));
      break;
    case giInsert:
      painter.drawLine(QPointF(c.x() - 3, c.y()), QPointF(c.x() + 3, c.y()));
      painter.drawLine(QPointF(c.x() - 2, c.y() - 3), QPointF(c.x() + 2, c.y() + 3));
      painter.drawLine(QPointF(c.x() + 2, c.y() - 3), QPointF(c.x() - 2, c.y() + 3));
      break;
    case giNone:
      break;
  }
  painter.restore();
}

void TDBGrid::paintEvent(QPaintEvent*) {
  QPainter painter(viewport());
  const QPalette& pal = palette();
  painter.fillRect(viewport()->rect(), pal.color(QPalette::Base));
  const QColor fixedColor = pal.color(QPalette::Button);
  const int rows = link_->Active() ? link_->RecordCount() : 0;
  const int width = viewport()->width();
  // The columns in view, found in one pass so that a table of thousands
  // of fields paints as fast as a narrow one.
  std::vector<int> lefts(columns_.size());
  int firstShown = ColumnCount();
  int lastShown = -1;
  int dataRight = ColumnLeft(0);
  for (int column = 0; column < ColumnCount(); ++column) {
    lefts[column] = dataRight;
    dataRight += columns_[column].width;
    if (dataRight > DataLeft() && lefts[column] <= width) {
      firstShown = qMin(firstShown, column);
      lastShown = column;
    }
  }
  const bool showSelection =
      hasFocus() || editor_->hasFocus() || (options_ & GridOpt(dgAlwaysShowSelection));

  // Cells, clipped to the right of the indicator column.
  painter.save();
  painter.setClipRect(QRect(DataLeft(), 0, width - DataLeft(), viewport()->height()));
  for (int row = -1; row < rows; ++row) {
    if (row < 0 && !(options_ & GridOpt(dgTitles))) continue;
    const int top = row < 0 ? 0 : TitleHeight() + row * RowHeight();
    const int height = row < 0 ? TitleHeight() : RowHeight();
    for (int column = firstShown; column <= lastShown; ++column) {
      const QRect cell(lefts[column], top, columns_[column].width, height);
      QColor ink = fontColor_;
      if (row < 0) {
        painter.fillRect(cell, fixedColor);
        painter.setFont(titleFont_);
        ink = titleFontColor_;
      } else {
        painter.setFont(font());
        const bool current = row == link_->ActiveRecord() &&
                             (column == selectedIndex_ || (options_ & GridOpt(dgRowSelect)));
        if (current && showSelection) {
          painter.fillRect(cell, pal.color(QPalette::Highlight));
          ink = pal.color(QPalette::HighlightedText);
        }
      }
      const QString text = Utf8ToQString(row < 0 ? columns_[column].title : CellText(row, column));
      Qt::Alignment align = Qt::AlignLeft;
      if (row >= 0 && columns_[column].field->Alignment() == taRightJustify) align = Qt::AlignRight;
      if (row >= 0 && columns_[column].field->Alignment() == taCenter) align = Qt::AlignHCenter;
      painter.setPen(ink);
      painter.drawText(cell.adjusted(kCellPadding, 0, -kCellPadding, 0),
                       align | Qt::AlignVCenter | Qt::TextSingleLine, text);
    }
  }
  painter.restore();

  // The indicator column.
  if (options_ & GridOpt(dgIndicator)) {
    for (int row = -1; row < rows; ++row) {
      if (row < 0 && !(options_ & GridOpt(dgTitles))) continue;
      const QRect cell = CellRect(row, -1);
      painter.fillRect(cell, fixedColor);
      if (row >= 0) DrawIndicator(painter, cell, RowIndicator(row));
    }
  }

  // Lines between cells, and the edges of the fixed cells.
  const int bottom = TitleHeight() + rows * RowHeight();
  painter.setPen(kGridLineColor);
  if (options_ & GridOpt(dgColLines)) {
    if (DataLeft() > 0) painter.drawLine(DataLeft() - 1, 0, DataLeft() - 1, bottom - 1);
    for (int column = firstShown; column <= lastShown; ++column) {
      const int x = lefts[column] + columns_[column].width - 1;
      if (x >= DataLeft()) painter.drawLine(x, 0, x, bottom - 1);
    }
  }
  if (options_ & GridOpt(dgRowLines)) {
    for (int row = (options_ & GridOpt(dgTitles)) ? -1 : 0; row < rows; ++row) {
      const int y = CellRect(row, -1).bottom();
      painter.drawLine(0, y, qMin(dataRight, width) - 1, y);
    }
  }
  if (options_ & GridOpt(dgTitles)) {
    painter.setPen(pal.color(QPalette::Dark));
    painter.drawLine(0, TitleHeight() - 1, qMin(dataRight, width) - 1, TitleHeight() - 1);
  }
}

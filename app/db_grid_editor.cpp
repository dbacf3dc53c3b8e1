// The grid's cell editor and the editing it drives: showing, loading and
// placing the editor, whether a cell may change, writing the edit text
// into its field, and the memo window for memo cells.

#include "app/db_grid_parts.h"

#include <QKeyEvent>

#include "app/application.h"
#include "app/db_grid.h"
#include "app/memo_dialog.h"
#include "app/qt_text.h"
#include "recordset/dataset.h"
#include "recordset/datasource.h"
#include "recordset/fields.h"
#include "runtime/exceptions.h"

namespace {

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

TInplaceEdit::TInplaceEdit(TDBGrid* grid) : QLineEdit(grid->viewport()), grid_(grid) {
  setFrame(false);
  setContextMenuPolicy(Qt::NoContextMenu);
  setDragEnabled(false);
  setAcceptDrops(false);
  hide();
  connect(this, &QLineEdit::textEdited, this, [this] { grid_->EditorTextEdited(); });
}

void TInplaceEdit::keyPressEvent(QKeyEvent* event) {
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

bool TInplaceEdit::event(QEvent* event) {
  if (event->type() == QEvent::KeyPress) {
    auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab) {
      grid_->GridKey(key);
      return true;
    }
  }
  return QLineEdit::event(event);
}

void TInplaceEdit::focusOutEvent(QFocusEvent* event) {
  QLineEdit::focusOutEvent(event);
  grid_->EditorFocusOut(event);
}

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

bool TDBGrid::IsMemoColumn(int column) const {
  if (column < 0 || column >= ColumnCount() || !columns_[column].field) return false;
  const TFieldType type = columns_[column].field->DataType();
  return type == ftMemo || type == ftFmtMemo;
}

void TDBGrid::EditMemo() {
  TDataSet* set = ActiveSet();
  if (!set || !IsMemoColumn(selectedIndex_) || link_->RecordCount() == 0) return;
  WriteEditText();
  HideEditor();
  TField* field = columns_[selectedIndex_].field;
  const bool readOnly =
      readOnly_ || link_->ReadOnly() || columns_[selectedIndex_].readOnly || !field->CanModify();
  QString text = Utf8ToQString(field->ValueAsString());
  if (!RunMemoDialog(this, Utf8ToQString(field->DisplayName()), text, readOnly)) return;
  if (!link_->Edit()) return;
  field->SetValueAsString(QStringToUtf8(text));
  set->Post();
}

// The grid's key handling: moving between cells and rows, appending,
// inserting and deleting from the keyboard, Enter, Escape and typing into
// a cell.

#include "app/db_grid.h"

#include <QKeyEvent>

#include "app/app_str.h"
#include "app/application.h"
#include "app/db_grid_parts.h"
#include "app/dialogs.h"
#include "recordset/dataset.h"
#include "recordset/datasource.h"
#include "recordset/fields.h"

namespace {

bool IsEditState(TRecordSetState state) { return state == rsEdit || state == rsInsert; }

}  // namespace

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
  const bool crossesRow = forward ? selectedIndex_ >= ColumnCount() - 1 : selectedIndex_ <= 0;
  if (crossesRow && !(options_ & GridOpt(dgAlwaysShowEditor))) {
    // The cell's text goes into its own record before the row changes.
    WriteEditText();
    HideEditor();
  }
  if (forward) {
    if (!crossesRow) {
      SetSelectedIndex(selectedIndex_ + 1);
      return;
    }
    if (UntouchedInsert() && link_->AtEnd()) return;
    MoveDown();
    SetSelectedIndex(0);
    return;
  }
  if (!crossesRow) {
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
      if (ctrl && IsMemoColumn(selectedIndex_))
        EditMemo();
      else
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

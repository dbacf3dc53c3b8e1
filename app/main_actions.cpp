// The window's menu commands, dropped tables and the status bar.

#include <QApplication>
#include <QClipboard>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QInputDialog>
#include <QMimeData>
#include <QUrl>
#include <algorithm>

#include "app/application.h"
#include "app/db_grid.h"
#include "app/filename_edit.h"
#include "app/main.h"
#include "app/qt_text.h"
#include "app/status_bar.h"
#include "recordset/fields.h"
#include "runtime/exceptions.h"
#include "tdbf/dataset/dbf.h"

namespace {

constexpr size_t kRecentTables = 8;

}  // namespace

void TfrMain::OpenWithDialog() { flName_->ButtonClick(); }

void TfrMain::CloseTable() {
  if (!tbMain_->Active() || !ConfirmPendingEdit()) return;
  ClearFilterAndSearch();
  tbMain_->Close();
  ShowOpenTableName();
}

void TfrMain::RememberRecent(const std::string& fileName) {
  recentTables_.erase(std::remove(recentTables_.begin(), recentTables_.end(), fileName),
                      recentTables_.end());
  recentTables_.insert(recentTables_.begin(), fileName);
  if (recentTables_.size() > kRecentTables) recentTables_.resize(kRecentTables);
}

void TfrMain::GoToRecord(int recNo) {
  if (!tbMain_->Active()) return;
  if (recNo == 0) {
    bool ok = false;
    const int count = std::max(1, tbMain_->RecordCount());
    recNo = QInputDialog::getInt(this, QStringLiteral("Go to record"),
                                 QStringLiteral("Record number (1 to %1):").arg(count),
                                 std::max(1, tbMain_->RecordNumber()), 1, count, 1, &ok);
    if (!ok) return;
  }
  tbMain_->SettlePendingEdit();
  tbMain_->SetRecordNumber(recNo);
}

void TfrMain::CopyCell() {
  // A copy in a text box copies its selection, as everywhere.
  if (auto* edit = qobject_cast<QLineEdit*>(QApplication::focusWidget());
      edit && edit != grMain_->InplaceEditor()) {
    edit->copy();
    return;
  }
  if (!tbMain_->Active() || tbMain_->IsEmpty()) return;
  TField* field = grMain_->SelectedField();
  if (!field) return;
  QApplication::clipboard()->setText(Utf8ToQString(field->ShownText()));
}

void TfrMain::SetShowDeleted(bool show) {
  if (tbMain_->Active()) tbMain_->SettlePendingEdit();
  tbMain_->SetShowDeleted(show);
  UpdateStatus();
}

void TfrMain::UpdateStatus() {
  try {
    sbMain_->ShowTable(*tbMain_, filterDescription_);
  } catch (const Exception&) {
    // A count that cannot be read now shows at the next change.
  }
  const QString title = QStringLiteral("zozur");
  setWindowTitle(tbMain_->Active()
                     ? QFileInfo(QFile::decodeName(QByteArray::fromStdString(tbMain_->TableName())))
                               .fileName() +
                           QStringLiteral(" - ") + title
                     : title);
}

std::string TfrMain::DraggedTable(const QMimeData* data) {
  if (!data || !data->hasUrls() || data->urls().size() != 1) return std::string();
  const QUrl url = data->urls().constFirst();
  if (!url.isLocalFile()) return std::string();
  const QString path = url.toLocalFile();
  if (!path.endsWith(QStringLiteral(".dbf"), Qt::CaseInsensitive)) return std::string();
  return QFile::encodeName(path).toStdString();
}

void TfrMain::dragEnterEvent(QDragEnterEvent* event) {
  if (!DraggedTable(event->mimeData()).empty()) event->acceptProposedAction();
}

void TfrMain::dropEvent(QDropEvent* event) {
  const std::string table = DraggedTable(event->mimeData());
  if (table.empty()) return;
  event->acceptProposedAction();
  Guarded([&] { OpenTable(table); });
}

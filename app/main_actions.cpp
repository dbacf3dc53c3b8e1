// The window's menu commands, dropped tables and the status bar.

#include <QApplication>
#include <QClipboard>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QMessageBox>
#include <QMimeData>
#include <QProgressDialog>
#include <QUrl>
#include <algorithm>

#include "app/app_str.h"
#include "app/application.h"
#include "app/db_grid.h"
#include "app/dialogs.h"
#include "app/filename_edit.h"
#include "app/find_dialog.h"
#include "app/main.h"
#include "app/qt_text.h"
#include "app/status_bar.h"
#include "app/structure_dialog.h"
#include "export/table_export.h"
#include "platform/codepage.h"
#include "recordset/fields.h"
#include "runtime/exceptions.h"
#include "tdbf/dataset/dbf.h"
#include "tdbf/file/dbf_dbffile.h"

namespace {

constexpr size_t kRecentTables = 8;

using TWorkProgress = std::function<void(int32_t done, int32_t total)>;

// Runs work, which reports its progress, under a progress bar that shows
// only when the work takes longer than a moment.
void WithProgress(QWidget* parent, const char* text,
                  const std::function<void(const TWorkProgress&)>& work) {
  QProgressDialog progress(QString::fromLatin1(text), QString(), 0, 100, parent);
  progress.setCancelButton(nullptr);
  progress.setWindowModality(Qt::WindowModal);
  progress.setMinimumDuration(500);
  work([&progress](int32_t done, int32_t total) {
    progress.setValue(total > 0 ? static_cast<int>(int64_t{done} * 100 / total) : 0);
  });
}

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

TFindDialog& TfrMain::FindDialog() {
  if (!dlgFind_) {
    dlgFind_ = new TFindDialog(tbMain_.get(), this);
    dlgFind_->SetOnSearched([this](bool found) {
      if (found)
        sbMain_->clearMessage();
      else
        sbMain_->showMessage(QString::fromLatin1(appmsg::kFindNotFound));
    });
  }
  return *dlgFind_;
}

void TfrMain::OpenFind() {
  if (tbMain_->Active()) FindDialog().Open();
}

void TfrMain::FindAgain(bool forward) {
  if (tbMain_->Active()) FindDialog().FindAgain(forward);
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

void TfrMain::ShowStructure() {
  if (!tbMain_->Active()) return;
  TStructureDialog dialog(*tbMain_, this);
  dialog.exec();
}

void TfrMain::RecallRecord() {
  if (!tbMain_->Active()) return;
  tbMain_->Undelete();
  UpdateStatus();
}

bool TfrMain::CheckTableWritable(const char* what) {
  if (tbMain_->IsWritable()) return true;
  QString text = QString::fromLatin1(appmsg::kTableOpenReadOnly).arg(QString::fromLatin1(what));
  const std::string reason = tbMain_->ReadOnlyReason();
  if (!reason.empty()) text += QStringLiteral(" (") + Utf8ToQString(reason) + QLatin1Char(')');
  QMessageBox::information(this, QStringLiteral("zozur"), text);
  return false;
}

void TfrMain::PackTable() {
  if (!tbMain_->Active() || !ConfirmPendingEdit() || !CheckTableWritable("it cannot be packed"))
    return;
  const int32_t deleted = tbMain_->DeletedRecordCount();
  if (deleted == 0) {
    QMessageBox::information(this, QStringLiteral("zozur"),
                             QString::fromLatin1(appmsg::kPackNothingDeleted));
    return;
  }
  if (!ConfirmOkCancel(this,
                       QString::fromLatin1(appmsg::kPackQuestion).arg(GroupedNumber(deleted))))
    return;
  int32_t removed = 0;
  WithProgress(this, appmsg::kPackProgress,
               [&](const TWorkProgress& progress) { removed = tbMain_->PackTable(progress); });
  UpdateStatus();
  sbMain_->showMessage(QString::fromLatin1(appmsg::kPackDone).arg(GroupedNumber(removed)), 5000);
}

void TfrMain::RegenerateIndexes() {
  if (!tbMain_->Active() || !ConfirmPendingEdit() ||
      !CheckTableWritable("its indexes cannot be regenerated"))
    return;
  if (tbMain_->DbfFile()->IndexFileCount() == 0 && tbMain_->DbfFile()->IndexOpenError().empty()) {
    QMessageBox::information(this, QStringLiteral("zozur"),
                             QString::fromLatin1(appmsg::kNoIndexToRegenerate));
    return;
  }
  WithProgress(this, appmsg::kRegenerateProgress,
               [&](const TWorkProgress& progress) { tbMain_->RegenerateIndexes(progress); });
  UpdateStatus();
  sbMain_->showMessage(QString::fromLatin1(appmsg::kRegenerateDone), 5000);
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

void TfrMain::ExportTo(const std::string& fileName) {
  if (!tbMain_->Active()) return;
  QProgressDialog progress(QStringLiteral("Exporting records..."), QStringLiteral("Cancel"), 0, 100,
                           this);
  progress.setWindowModality(Qt::WindowModal);
  // Shown only when the export takes longer than a moment.
  progress.setMinimumDuration(500);
  TExportRequest request;
  request.format = ExportFormatFor(fileName);
  request.fileName = fileName;
  request.tableName = "records";
  request.textCodePage = static_cast<int>(platform::GetACP());
  request.progress = [&progress](int64_t written, int64_t total) {
    progress.setValue(total > 0 ? static_cast<int>(std::min<int64_t>(100, written * 100 / total))
                                : 0);
    QApplication::processEvents();
    return !progress.wasCanceled();
  };
  // The record the user stands on is where they find themselves after.
  const std::string bookmark = tbMain_->Bookmark();
  tbMain_->SuspendNotifications();
  int64_t written = 0;
  try {
    written = ExportRecords(*tbMain_, request);
  } catch (...) {
    tbMain_->ResumeNotifications();
    if (!bookmark.empty()) Guarded([&] { tbMain_->MoveToBookmark(bookmark); });
    throw;
  }
  tbMain_->ResumeNotifications();
  if (!bookmark.empty()) tbMain_->MoveToBookmark(bookmark);
  sbMain_->showMessage(QStringLiteral("%1 records exported").arg(GroupedNumber(written)), 5000);
}

void TfrMain::ExportWithDialog() {
  if (!tbMain_->Active()) return;
  const QString name = QFileDialog::getSaveFileName(
      this, QStringLiteral("Export records"), QString(),
      QStringLiteral("CSV (*.csv);;JSON Lines (*.jsonl);;SQLite database (*.db *.sqlite)"));
  if (name.isEmpty()) return;
  ExportTo(QFile::encodeName(name).toStdString());
}

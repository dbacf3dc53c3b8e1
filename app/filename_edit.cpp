#include "app/filename_edit.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLineEdit>
#include <QStyle>
#include <QToolButton>

#include "app/application.h"

namespace {

// Width of the browse button; the edit takes the rest.
constexpr int kButtonWidth = 22;

}  // namespace

TFilenameEdit::TFilenameEdit(QWidget* parent)
    : QWidget(parent), edit_(new QLineEdit(this)), button_(new QToolButton(this)) {
  button_->setIcon(style()->standardIcon(QStyle::SP_DirOpenIcon));
  button_->setFocusPolicy(Qt::NoFocus);
  button_->setToolTip(tr("Browse"));
  setFocusProxy(edit_);
  setFocusPolicy(Qt::StrongFocus);
  edit_->installEventFilter(this);
  connect(button_, &QToolButton::clicked, this, [this] { Guarded([this] { ButtonClick(); }); });
}

QString TFilenameEdit::Text() const { return edit_->text(); }

void TFilenameEdit::SetText(const QString& text) { edit_->setText(text); }

std::string TFilenameEdit::FileName() const {
  return QFile::encodeName(edit_->text()).toStdString();
}

QStringList TFilenameEdit::DialogNameFilters(const std::string& filter) {
  QStringList result;
  const QStringList parts = QString::fromUtf8(filter).split(QLatin1Char('|'));
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    const QString label = parts[i].trimmed();
    QString patterns = parts[i + 1].trimmed();
    patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
    // A Qt dialog reads the patterns from the last parentheses of the
    // label, so the pattern part is appended unless the label ends in it.
    const QString tail = QLatin1Char('(') + patterns + QLatin1Char(')');
    result << (label.endsWith(tail) ? label : label + QLatin1Char(' ') + tail);
  }
  return result;
}

QString TFilenameEdit::StartFolder() const {
  const QFileInfo current(edit_->text());
  if (!edit_->text().isEmpty() && current.exists())
    return current.isDir() ? current.absoluteFilePath() : current.absolutePath();
  if (!initialDir_.isEmpty()) return initialDir_;
  return QDir::currentPath();
}

void TFilenameEdit::ButtonClick() {
  QFileDialog dialog(this, dialogTitle_, StartFolder());
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::ExistingFile);
  const QStringList filters = DialogNameFilters(filter_);
  if (!filters.isEmpty()) dialog.setNameFilters(filters);
  if (onDialogShow_) onDialogShow_(&dialog);

  std::string name = FileName();
  bool action = dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty();
  if (action) name = QFile::encodeName(dialog.selectedFiles().constFirst()).toStdString();
  if (onAfterDialog_) onAfterDialog_(*this, name, action);
  if (action) edit_->setText(QFile::decodeName(QByteArray::fromStdString(name)));
}

void TFilenameEdit::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  const int buttonWidth = qMin(kButtonWidth, width() / 2);
  edit_->setGeometry(0, 0, width() - buttonWidth, height());
  button_->setGeometry(width() - buttonWidth, 0, buttonWidth, height());
}

bool TFilenameEdit::eventFilter(QObject* watched, QEvent* event) {
  if (watched == edit_ && event->type() == QEvent::KeyPress) {
    const auto* key = static_cast<QKeyEvent*>(event);
    const bool altDown = key->key() == Qt::Key_Down && (key->modifiers() & Qt::AltModifier);
    const bool ctrlEnter = (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) &&
                           (key->modifiers() & Qt::ControlModifier);
    if (altDown || ctrlEnter) {
      Guarded([this] { ButtonClick(); });
      return true;
    }
  }
  return QWidget::eventFilter(watched, event);
}

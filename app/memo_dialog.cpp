#include "app/memo_dialog.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QPlainTextEdit>
#include <QVBoxLayout>

bool RunMemoDialog(QWidget* parent, const QString& title, QString& text, bool readOnly) {
  QDialog dialog(parent);
  dialog.setObjectName(QStringLiteral("dlgMemo"));
  dialog.setWindowTitle(readOnly ? title + QStringLiteral(" (read-only)") : title);
  dialog.resize(520, 360);
  auto* layout = new QVBoxLayout(&dialog);
  auto* edit = new QPlainTextEdit(&dialog);
  edit->setObjectName(QStringLiteral("edMemo"));
  edit->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  edit->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  // Memo lines written by dBase programs end in CR LF; the editor works in
  // LF, and a changed text goes back in the style it came in.
  const bool crlf = text.contains(QStringLiteral("\r\n"));
  QString shown = text;
  shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  edit->setPlainText(shown);
  edit->setReadOnly(readOnly);
  layout->addWidget(edit);
  auto* buttons = new QDialogButtonBox(
      readOnly ? QDialogButtonBox::Close : QDialogButtonBox::Ok | QDialogButtonBox::Cancel,
      &dialog);
  QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
  QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
  layout->addWidget(buttons);
  edit->setFocus();
  if (dialog.exec() != QDialog::Accepted || readOnly) return false;
  QString changed = edit->toPlainText();
  if (changed == shown) return false;
  if (crlf) changed.replace(QStringLiteral("\n"), QStringLiteral("\r\n"));
  text = changed;
  return true;
}

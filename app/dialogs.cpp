#include "app/dialogs.h"

#include <QMessageBox>

#include "app/app_str.h"

bool ConfirmOkCancel(QWidget* parent, const QString& text) {
  QMessageBox box(QMessageBox::Question, QString::fromLatin1(appmsg::kConfirmCaption), text,
                  QMessageBox::Ok | QMessageBox::Cancel, parent);
  box.setDefaultButton(QMessageBox::Ok);
  return box.exec() == QMessageBox::Ok;
}

TSaveAnswer AskSaveChanges(QWidget* parent) {
  QMessageBox box(QMessageBox::Question, QString::fromLatin1(appmsg::kConfirmCaption),
                  QString::fromLatin1(appmsg::kSaveChangesQuestion),
                  QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel, parent);
  box.setDefaultButton(QMessageBox::Save);
  switch (box.exec()) {
    case QMessageBox::Save:
      return saSave;
    case QMessageBox::Discard:
      return saDiscard;
    default:
      return saCancel;
  }
}

#include "app/dialogs.h"

#include <QMessageBox>

#include "app/app_str.h"

bool ConfirmOkCancel(QWidget* parent, const QString& text) {
  QMessageBox box(QMessageBox::Question, QString::fromLatin1(appmsg::kConfirmCaption), text,
                  QMessageBox::Ok | QMessageBox::Cancel, parent);
  box.setDefaultButton(QMessageBox::Ok);
  return box.exec() == QMessageBox::Ok;
}

#include "app/application.h"

#include <QMessageBox>
#include <QWidget>

#include "app/qt_text.h"
#include "runtime/exceptions.h"

TApplication::TApplication(int& argc, char** argv)
    : QApplication(argc, argv), title_(QStringLiteral("zozur")) {
  setApplicationName(title_);
}

TApplication::~TApplication() = default;

TApplication* TApplication::Instance() { return qobject_cast<TApplication*>(qApp); }

void TApplication::ShowException(const std::string& message) {
  if (onException_) {
    onException_(message);
    return;
  }
  QMessageBox box(QMessageBox::Critical, title_, Utf8ToQString(message), QMessageBox::Ok,
                  activeWindow());
  box.exec();
}

void HandleException(std::exception_ptr e) {
  std::string message;
  try {
    std::rethrow_exception(e);
  } catch (const EAbort&) {
    return;
  } catch (const Exception& ex) {
    message = ex.Message();
  } catch (const std::exception& ex) {
    message = ex.what();
  } catch (...) {
    message = "Unknown error";
  }
  if (TApplication* app = TApplication::Instance()) {
    app->ShowException(message);
    return;
  }
  QMessageBox box(QMessageBox::Critical, QStringLiteral("zozur"), Utf8ToQString(message),
                  QMessageBox::Ok);
  box.exec();
}

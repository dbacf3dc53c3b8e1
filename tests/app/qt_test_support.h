#pragma once
// Helpers for driving the real widgets in tests: the application object of
// the test program, and answering modal dialogs (message boxes, the file
// dialog) that a call is about to open.

#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>

// Runs action on the next modal dialog that opens, then stops watching.
// Create it before the call that opens the dialog; the call returns once
// action has closed the dialog.
class TModalAnswer {
 public:
  // Only dialogs that accepts(dialog) are answered; others are left to
  // other answers.
  explicit TModalAnswer(std::function<void(QWidget* dialog)> action,
                        std::function<bool(QWidget* dialog)> accepts = nullptr)
      : action_(std::move(action)), accepts_(std::move(accepts)) {
    timer_.setInterval(5);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      QWidget* dialog = QApplication::activeModalWidget();
      if (!dialog || !dialog->isVisible() || (accepts_ && !accepts_(dialog))) return;
      timer_.stop();
      ++count_;
      action_(dialog);
    });
    timer_.start();
  }
  // How many dialogs were answered.
  int Count() const { return count_; }

 private:
  std::function<void(QWidget*)> action_;
  std::function<bool(QWidget*)> accepts_;
  QTimer timer_;
  int count_ = 0;
};

// Answers the next message box with button, remembering its text.
class TMessageBoxAnswer {
 public:
  explicit TMessageBoxAnswer(QMessageBox::StandardButton button = QMessageBox::Ok)
      : answer_(
            [this, button](QWidget* dialog) {
              auto* box = static_cast<QMessageBox*>(dialog);
              text_ = box->text().toStdString();
              if (QAbstractButton* b = box->button(button))
                b->click();
              else
                box->reject();
            },
            [](QWidget* dialog) { return qobject_cast<QMessageBox*>(dialog) != nullptr; }) {}
  bool Shown() const { return answer_.Count() > 0; }
  const std::string& Text() const { return text_; }

 private:
  std::string text_;
  TModalAnswer answer_;
};

// Confirms path in a file dialog; false when dialog is no file dialog.
inline bool ChooseFile(QWidget* dialog, const std::string& path) {
  auto* files = qobject_cast<QFileDialog*>(dialog);
  if (!files) {
    dialog->close();
    return false;
  }
  files->selectFile(QString::fromStdString(path));
  static_cast<QDialog*>(files)->accept();
  return true;
}

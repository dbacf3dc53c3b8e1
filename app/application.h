#pragma once
// The application object: the program's QApplication, plus the default
// handling of exceptions that reach an event handler. Qt cannot carry an
// exception through its event loop, so every handler of the window runs its
// body through Guarded(), which hands any exception to HandleException():
// EAbort passes silently, anything else shows its message in a message box
// (or goes to OnException when assigned) and the program goes on.

#include <QApplication>
#include <exception>
#include <functional>
#include <string>

class TApplication : public QApplication {
  Q_OBJECT

 public:
  using TExceptionEvent = std::function<void(const std::string& message)>;

  TApplication(int& argc, char** argv);
  ~TApplication() override;

  // The application object, or none while no TApplication exists.
  static TApplication* Instance();

  // Title of the message boxes.
  const QString& Title() const { return title_; }
  void SetTitle(const QString& title) { title_ = title; }

  // Replaces the message box for exceptions that reach HandleException.
  const TExceptionEvent& OnException() const { return onException_; }
  void SetOnException(TExceptionEvent handler) { onException_ = std::move(handler); }

  // Shows message (engine text) in a message box with a stop icon.
  void ShowException(const std::string& message);

 private:
  QString title_;
  TExceptionEvent onException_;
};

// The default handling of exception e: EAbort is dropped; the message of
// any other exception is shown through the application object, or in a
// plain message box when there is none.
void HandleException(std::exception_ptr e);

// Runs body and hands any exception it raises to HandleException.
// Returns false when body raised.
template <class F>
bool Guarded(F&& body) {
  try {
    body();
    return true;
  } catch (...) {
    HandleException(std::current_exception());
    return false;
  }
}

#pragma once
// A single-line edit for a file name with a browse button beside it. The
// button (or Alt+Down, Ctrl+Enter in the edit) runs an open-file dialog;
// when it closes, OnAfterDialog gets the chosen file and whether the user
// confirmed one, and may change both. A confirmed name then becomes the
// edit's text. File names travel as bytes in the file system's encoding.

#include <QWidget>
#include <functional>
#include <string>

class QLineEdit;
class QToolButton;
class QFileDialog;

class TFilenameEdit : public QWidget {
  Q_OBJECT

 public:
  // name: the chosen file's full path; action: true when the user
  // confirmed a file.
  using TAfterDialogEvent =
      std::function<void(TFilenameEdit& sender, std::string& name, bool& action)>;
  // Called with the dialog just before it runs (tests drive it from here).
  using TDialogEvent = std::function<void(QFileDialog* dialog)>;

  explicit TFilenameEdit(QWidget* parent = nullptr);

  QString Text() const;
  void SetText(const QString& text);
  // The text as a file name.
  std::string FileName() const;

  // Dialog filter in the "label|pattern|label|pattern" form; patterns are
  // separated by ";".
  const std::string& Filter() const { return filter_; }
  void SetFilter(const std::string& filter) { filter_ = filter; }
  // Folder the dialog starts in while the text names no existing file.
  const QString& InitialDir() const { return initialDir_; }
  void SetInitialDir(const QString& dir) { initialDir_ = dir; }
  const QString& DialogTitle() const { return dialogTitle_; }
  void SetDialogTitle(const QString& title) { dialogTitle_ = title; }

  const TAfterDialogEvent& OnAfterDialog() const { return onAfterDialog_; }
  void SetOnAfterDialog(TAfterDialogEvent handler) { onAfterDialog_ = std::move(handler); }
  void SetOnDialogShow(TDialogEvent handler) { onDialogShow_ = std::move(handler); }

  QLineEdit* Edit() const { return edit_; }
  QToolButton* Button() const { return button_; }

  // Runs the dialog and raises OnAfterDialog, as a click on the button does.
  void ButtonClick();

  // Turns a "label|pattern|..." filter into the name filters of a Qt file
  // dialog.
  static QStringList DialogNameFilters(const std::string& filter);

 protected:
  void resizeEvent(QResizeEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QString StartFolder() const;

  QLineEdit* edit_;
  QToolButton* button_;
  std::string filter_;
  QString initialDir_;
  QString dialogTitle_;
  TAfterDialogEvent onAfterDialog_;
  TDialogEvent onDialogShow_;
};

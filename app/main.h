#pragma once
// The browser window frMain: a file-name edit to choose a table, a grid
// and a navigator over it, a list of the table's fields with radio marks
// to choose one, a value box with "Filtrele" and "Temizle" to filter the
// table on the chosen field, and a search box that moves to the first
// record whose chosen field begins with the typed text, with a status bar
// below. The window owns the table record set tbMain and the data source
// dsMain; its logic is in the handlers below, each run through the
// exception guard. Opening a table starts afresh: no filter, no chosen
// field, empty value and search boxes.

#include <QWidget>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class QCloseEvent;
class QDragEnterEvent;
class QDropEvent;
class QFrame;
class QLineEdit;
class QMimeData;
class QMessageBox;
class QPushButton;
class QMenuBar;
class QTimer;
class TStatusBar;
class TAnimatedImage;
class TCodePageBox;
class TDBGrid;
class TDBNavigator;
class TDataSet;
class TDataSource;
class TDbf;
class TExpressionFilter;
class TFilenameEdit;
class TFindDialog;
class TCheckListBox;

// The field chosen in the field list: its name and data type. They live
// for the whole process, not per window, and survive opening another
// table until the user chooses again.
const std::string& SelectedFieldName();
uint8_t SelectedFieldType();
// Back to the start-up values (empty, ftUnknown).
void ResetSelectedField();

// The filter texts "Filtrele" sets. A character value is quoted with
// apostrophes, or with double quotes when it holds an apostrophe; one with
// both cannot be quoted and raises EConvertError. A float value is trimmed
// and must be a number literal, so a typed value never changes what the
// filter compares.
std::string CharacterFilterText(const std::string& fieldName, const std::string& value);
std::string FloatFilterText(const std::string& fieldName, const std::string& value);
// A typed logical value: T, Y, true or yes (true) and F, N, false or no
// (false), in any letter case and with blanks around; anything else raises
// EConvertError.
bool LogicalFilterValue(const std::string& value);

class TfrMain : public QWidget {
  Q_OBJECT

 public:
  explicit TfrMain(QWidget* parent = nullptr);
  ~TfrMain() override;

  // ---- Controls, in creation order ----
  TDBGrid* grMain() const { return grMain_; }
  QFrame* Panel1() const { return panel1_; }
  TFilenameEdit* flName() const { return flName_; }
  TDBNavigator* nvMain() const { return nvMain_; }
  QLineEdit* edSearch() const { return edSearch_; }
  QFrame* Panel2() const { return panel2_; }
  TAnimatedImage* AnimatedImage1() const { return animatedImage1_; }
  TCheckListBox* lbMain() const { return lbMain_; }
  QLineEdit* edMain() const { return edMain_; }
  TCodePageBox* cbCodePage() const { return cbCodePage_; }
  QPushButton* btClear() const { return btClear_; }
  QPushButton* btFilter() const { return btFilter_; }
  TDbf* tbMain() const { return tbMain_.get(); }
  TDataSource* dsMain() const { return dsMain_.get(); }
  TStatusBar* sbMain() const { return sbMain_; }
  QMenuBar* mnMain() const { return mnMain_; }
  // The expression filter box, opened from the button at the end of the
  // value box (or Ctrl+E) for filters beyond field = value.
  TExpressionFilter* frExpression() const { return frExpression_; }
  // Edit > Find: the find dialog, made at its first use (nullptr before).
  TFindDialog* dlgFind() const { return dlgFind_; }
  // The area below the menu bar and above the status bar that holds the
  // controls above, laid out as the window was designed.
  QWidget* ClientArea() const { return client_; }

  // ---- Handlers ----
  void flNameAfterDialog(TFilenameEdit& sender, std::string& name, bool& action);
  void lbMainClickCheck(TCheckListBox& sender);
  void btFilterClick();
  void DataSetFilterRecord(TDataSet& dataSet, bool& accept);
  void btClearClick();
  void edSearchChange();

  // Opens a table as if the user had chosen it in the dialog.
  void OpenTable(const std::string& fileName);
  // Before the window closes or another table opens over a record being
  // edited: asks whether to save it, and posts or cancels it. False when
  // the user cancelled, or the post failed (its message was shown), so the
  // record stays in edit.
  bool ConfirmPendingEdit();
  // A search waits for a short pause in typing; true while one waits.
  bool SearchPending() const;
  // The filter in force as the status bar shows it, empty while off.
  const std::string& FilterDescription() const { return filterDescription_; }

  // ---- Menu commands (main_actions.cpp) ----
  // File > Open: the file-name edit's dialog.
  void OpenWithDialog();
  // File > Close: closes the table after settling a pending edit.
  void CloseTable();
  // The tables opened in this session, latest first (at most 8).
  const std::vector<std::string>& RecentTables() const { return recentTables_; }
  // Edit > Find (Ctrl+F) opens the find dialog; Find next (F3) and Find
  // previous (Shift+F3) run its last search again.
  void OpenFind();
  void FindAgain(bool forward);
  // Edit > Go to record: moves to record number recNo (1-based, in the
  // table's order); asks for it when recNo is 0.
  void GoToRecord(int recNo = 0);
  // Edit > Copy cells: the current cell's text to the clipboard.
  void CopyCell();
  // View > Structure: the open table's fields and file facts.
  void ShowStructure();
  // Table > Recall record: the current record, a deleted one shown with
  // Show deleted records, is a record again.
  void RecallRecord();
  // Table > Pack: after asking, removes the deleted records for good, with
  // a progress bar when it takes a while. Refused with a message when the
  // table is open read-only or another program has it open.
  void PackTable();
  // Table > Regenerate indexes: rebuilds every open index of the table,
  // under the same conditions as Pack.
  void RegenerateIndexes();
  // View > Show deleted records: deleted records show struck through.
  void SetShowDeleted(bool show);
  // File > Export: the records in view (filter and order applied) to a
  // CSV, JSON Lines or SQLite file chosen by its extension, with a
  // progress bar and Cancel; the current record stays current.
  void ExportTo(const std::string& fileName);
  void ExportWithDialog();
  // Brings the status bar and the title up to date with the table.
  void UpdateStatus();
  // The non-blocking notice that tells what the last open found (the table
  // opened read-only and why, a damaged end); nullptr before any.
  QMessageBox* OpenNotice() const { return openNotice_; }

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  void CreateControls();
  // What "Temizle" does and more: filter and callback gone, value box,
  // search box and chosen field emptied.
  void ClearFilterAndSearch();
  // Search and filter controls work only while a table is open.
  void UpdateTableControls();
  void FillFieldList();
  // The file-name box shows the open table, or its hint when none is.
  void ShowOpenTableName();
  // Enter in the file-name box: opens the typed table.
  void OpenTypedName();
  void SearchTextChanged();
  void SetSearchNotFound(bool notFound);
  void LogicalFilterRecord(TDataSet& dataSet, bool& accept);
  void RememberRecent(const std::string& fileName);
  // The .dbf file a drag carries, empty when it carries none.
  static std::string DraggedTable(const QMimeData* data);
  void ShowOpenNotices();
  // Tells the user why a table open read-only cannot undergo what (a
  // clause: "it cannot be packed"); true when it can be written.
  bool CheckTableWritable(const char* what);
  TFindDialog& FindDialog();

  // The record set and its data source outlive the controls bound to them:
  // the destructor unbinds the controls first.
  std::unique_ptr<TDbf> tbMain_;
  std::unique_ptr<TDataSource> dsMain_;

  TDBGrid* grMain_ = nullptr;
  QFrame* panel1_ = nullptr;
  TFilenameEdit* flName_ = nullptr;
  TDBNavigator* nvMain_ = nullptr;
  QLineEdit* edSearch_ = nullptr;
  QFrame* panel2_ = nullptr;
  TAnimatedImage* animatedImage1_ = nullptr;
  TCheckListBox* lbMain_ = nullptr;
  QLineEdit* edMain_ = nullptr;
  TCodePageBox* cbCodePage_ = nullptr;
  QPushButton* btClear_ = nullptr;
  QPushButton* btFilter_ = nullptr;
  TExpressionFilter* frExpression_ = nullptr;
  QWidget* client_ = nullptr;
  TStatusBar* sbMain_ = nullptr;
  QMenuBar* mnMain_ = nullptr;
  QTimer* searchTimer_ = nullptr;
  std::string filterDescription_;
  std::vector<std::string> recentTables_;
  QMessageBox* openNotice_ = nullptr;
  TFindDialog* dlgFind_ = nullptr;
};

#pragma once
// The browser window frMain: a file-name edit to choose a table, a grid
// and a navigator over it, a list of the table's fields with radio marks
// to choose one, a value box with "Filtrele" and "Temizle" to filter the
// table on the chosen field, and a search box that moves to the first
// record whose chosen field begins with the typed text. The window owns
// the table record set tbMain and the data source dsMain; all its logic is
// in the six handlers below, each run through the exception guard.

#include <QWidget>
#include <cstdint>
#include <memory>
#include <string>

class QFrame;
class QLineEdit;
class QMessageBox;
class QPushButton;
class TAnimatedImage;
class TDBGrid;
class TDBNavigator;
class TDataSet;
class TDataSource;
class TDbf;
class TFilenameEdit;
class TRxCheckListBox;

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
  TRxCheckListBox* lbMain() const { return lbMain_; }
  QLineEdit* edMain() const { return edMain_; }
  QPushButton* btClear() const { return btClear_; }
  QPushButton* btFilter() const { return btFilter_; }
  TDbf* tbMain() const { return tbMain_.get(); }
  TDataSource* dsMain() const { return dsMain_.get(); }

  // ---- Handlers ----
  void flNameAfterDialog(TFilenameEdit& sender, std::string& name, bool& action);
  void lbMainClickCheck(TRxCheckListBox& sender);
  void btFilterClick();
  void DataSetFilterRecord(TDataSet& dataSet, bool& accept);
  void btClearClick();
  void edSearchChange();

  // Opens a table as if the user had chosen it in the dialog.
  void OpenTable(const std::string& fileName);
  // The non-blocking notice that tells what the last open found (the table
  // opened read-only and why, a damaged end); nullptr before any.
  QMessageBox* OpenNotice() const { return openNotice_; }

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void CreateControls();
  void ShowOpenNotices();

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
  TRxCheckListBox* lbMain_ = nullptr;
  QLineEdit* edMain_ = nullptr;
  QPushButton* btClear_ = nullptr;
  QPushButton* btFilter_ = nullptr;
  QMessageBox* openNotice_ = nullptr;
};

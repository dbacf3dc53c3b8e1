#pragma once
// The Find dialog (Edit > Find): a text to find in one field or in all of
// them, contained in the value or beginning it, with or without regard to
// letter case. Find next and Find previous move the table to the record
// found, through the engine's search (TDbf::FindRecord), which walks the
// records once as a filter does; a notice in the dialog tells when none is
// found. Not modal: the user goes on working in the window meanwhile. The
// table is not owned and outlives the dialog.

#include <QDialog>
#include <functional>
#include <string>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class TDbf;

enum TFindMatch { fmContains, fmBeginsWith };

struct TFindRequest {
  std::string text;       // UTF-8, as typed
  std::string fieldName;  // empty: every field that can hold text
  TFindMatch match = fmContains;
  bool matchCase = false;
};

// The condition a record must meet to be found, as an expression over the
// table's fields. Character fields compare their text (in upper case by
// the table's rules when the case does not matter), number fields the
// digits they show, date fields the date in the user's format. Empty when
// the text is empty, has a character the table's code page lacks (no
// record can hold it) or no field of the request can be searched. Blank
// number and date fields match nothing, nor does a text with a letter
// (they show none).
std::string FindCondition(TDbf& table, const TFindRequest& request);

class TFindDialog : public QDialog {
  Q_OBJECT

 public:
  TFindDialog(TDbf* table, QWidget* parent);

  // Shows the dialog with the open table's fields and the text selected.
  void Open();
  // Offers the fields of the table open now (after another table opened).
  void FillFields();
  // Finds the next (forward) or previous record of the request in the
  // boxes; false, with the notice shown, when there is none.
  bool Find(bool forward);
  // The last search that ran; its text is empty before any.
  const TFindRequest& LastRequest() const { return lastRequest_; }
  // Runs the last search again (F3, Shift+F3); opens the dialog when there
  // was none.
  bool FindAgain(bool forward);
  // Called with the outcome of every search (the window tells it in its
  // status bar).
  void SetOnSearched(std::function<void(bool found)> handler) { onSearched_ = std::move(handler); }

  QLineEdit* edText() const { return edText_; }
  QComboBox* cbField() const { return cbField_; }
  QRadioButton* rbContains() const { return rbContains_; }
  QRadioButton* rbBeginsWith() const { return rbBeginsWith_; }
  QCheckBox* chMatchCase() const { return chMatchCase_; }
  QPushButton* btNext() const { return btNext_; }
  QPushButton* btPrevious() const { return btPrevious_; }
  QLabel* lbNotice() const { return lbNotice_; }

 private:
  TFindRequest RequestInBoxes() const;
  bool Run(const TFindRequest& request, bool forward);

  TDbf* table_;
  TFindRequest lastRequest_;
  std::function<void(bool)> onSearched_;
  QLineEdit* edText_;
  QComboBox* cbField_;
  QRadioButton* rbContains_;
  QRadioButton* rbBeginsWith_;
  QCheckBox* chMatchCase_;
  QPushButton* btNext_;
  QPushButton* btPrevious_;
  QLabel* lbNotice_;
};

#pragma once
// The expression filter box: a small window over the browser window where
// the user types a whole filter expression (NAME = 'x' .AND. DUE >=
// CTOD('01/01/2020')) instead of a value for one field. "Filtrele" applies
// it, "Temizle" switches filtering off. An expression that does not compile
// is not applied: its message shows in place under the box, the caret
// goes to the place of the fault, and the filter in force stays as it was.

#include <QDialog>
#include <functional>

class QLabel;
class QLineEdit;
class QPushButton;
class TDbf;

class TExpressionFilter : public QDialog {
  Q_OBJECT

 public:
  // table is not owned and outlives the box.
  TExpressionFilter(TDbf* table, QWidget* parent = nullptr);

  QLineEdit* edExpression() const { return edExpression_; }
  QLabel* lbMessage() const { return lbMessage_; }
  QPushButton* btApply() const { return btApply_; }
  QPushButton* btClear() const { return btClear_; }

  // Shows the box with the table's filter text in it.
  void Open();
  // Applies the typed expression; false (with the message shown) when it
  // does not compile. An empty text switches filtering off.
  bool Apply();
  // Switches filtering off and empties the box.
  void Clear();
  // Called after the filter in force changed through the box.
  void SetOnApplied(std::function<void()> handler) { onApplied_ = std::move(handler); }

 private:
  TDbf* table_;
  QLineEdit* edExpression_ = nullptr;
  QLabel* lbMessage_ = nullptr;
  QPushButton* btApply_ = nullptr;
  QPushButton* btClear_ = nullptr;
  std::function<void()> onApplied_;
};

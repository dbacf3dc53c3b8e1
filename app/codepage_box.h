#pragma once
// TCodePageBox: the window's choice of the code page a table's text is
// read and written in. The first entry leaves it to the table and shows
// the code page in force; the others are the common code pages. Choosing
// one reopens the table in place at the same record; the file is never
// changed by the choice. Not owned: the table outlives the box.

#include <QComboBox>
#include <functional>

class TDbf;

class TCodePageBox : public QComboBox {
  Q_OBJECT

 public:
  TCodePageBox(TDbf* table, QWidget* parent = nullptr);

  // Shows the code page in force: after the table was opened or closed.
  void ShowCodePageInForce();
  // Chooses a code page as the user does (0: the table's own) and reopens
  // the table with it when it is open. Errors raise.
  void Choose(int codePage);
  // Called after a reopen with another code page.
  void SetOnReopened(std::function<void()> handler) { onReopened_ = std::move(handler); }

 private:
  TDbf* table_;
  std::function<void()> onReopened_;
};

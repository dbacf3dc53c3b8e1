// Faults found by using the window on real tables, each driven through the
// real controls: typing across cells, closing over an edit, opening one
// table after another, the field list's marks, the file-name box, the
// search box, memo cells and the grid's size and wheel.

#include <QWheelEvent>

#include "tests/app/main_fixture.h"

namespace {

TEST_F(TfrMainTest, TabInTheCellEditorCommitsTheCellAndMovesOn) {
  const std::string people = dir_.File("people.dbf");
  Choose(people);
  TDBGrid* grid = window_.grMain();
  grid->setFocus();
  Key(Qt::Key_End, Qt::ControlModifier);
  Key(Qt::Key_Down);  // a new row at the end
  ASSERT_EQ(window_.tbMain()->State(), rsInsert);
  Type("Robert");
  Key(Qt::Key_Tab);
  EXPECT_EQ(grid->SelectedIndex(), 1);
  Type("5");
  Key(Qt::Key_Tab);
  Type("1/2/2003");
  Key(Qt::Key_Return);
  Key(Qt::Key_Up);  // leaving the row posts it
  EXPECT_EQ(window_.tbMain()->State(), rsBrowse);
  EXPECT_EQ(Stored(people, 6, "NAME"), "Robert");
  EXPECT_EQ(Stored(people, 6, "PRICE"), "5");
  EXPECT_EQ(Stored(people, 6, "BORN"), "1/2/2003");

  // Shift+Tab goes back a cell; the cell's old text is replaced.
  Key(Qt::Key_Home, Qt::ControlModifier);
  Key(Qt::Key_Home);
  Type("X");
  Key(Qt::Key_Tab);
  Type("7");
  Key(Qt::Key_Tab, Qt::ShiftModifier);
  EXPECT_EQ(grid->SelectedIndex(), 0);
  Type("Y");
  Key(Qt::Key_Return);
  QTest::mouseClick(window_.nvMain()->Button(nbPost), Qt::LeftButton);
  EXPECT_EQ(Stored(people, 1, "NAME"), "Y");
  EXPECT_EQ(Stored(people, 1, "PRICE"), "7");

  // Tab past the last column: the typed text stays in its own record.
  Key(Qt::Key_End);
  Type("4");
  Key(Qt::Key_Tab);
  EXPECT_EQ(grid->SelectedIndex(), 0);
  EXPECT_EQ(CurrentName(), "Smythe");
  EXPECT_EQ(Stored(people, 1, "QTY"), "4");
  EXPECT_EQ(Stored(people, 2, "QTY"), "2");
}

TEST_F(TfrMainTest, ClosingOrOpeningOverAnEditAsksToSave) {
  const std::string people = dir_.File("people.dbf");
  Choose(people);
  window_.grMain()->setFocus();
  Type("Ann");
  {
    TMessageBoxAnswer answer(QMessageBox::Cancel);
    EXPECT_FALSE(window_.close());
    EXPECT_EQ(answer.Text(), "Save changes to the current record?");
  }
  EXPECT_TRUE(window_.isVisible());
  EXPECT_EQ(window_.tbMain()->State(), rsEdit);
  EXPECT_EQ(window_.grMain()->EditText(), "Ann");

  // Opening another table: Cancel keeps this one and the typing.
  {
    TMessageBoxAnswer answer(QMessageBox::Cancel);
    Choose(dir_.File("abc.dbf"));
    EXPECT_TRUE(answer.Shown());
  }
  EXPECT_EQ(window_.tbMain()->FullTableName(), people);
  EXPECT_EQ(window_.flName()->FileName(), people);
  EXPECT_EQ(window_.grMain()->EditText(), "Ann");
  {
    TMessageBoxAnswer answer(QMessageBox::Save);
    Choose(dir_.File("abc.dbf"));
    EXPECT_TRUE(answer.Shown());
  }
  EXPECT_EQ(window_.tbMain()->FullTableName(), dir_.File("abc.dbf"));
  EXPECT_EQ(Stored(people, 1, "NAME"), "Ann");

  Choose(people);
  window_.grMain()->setFocus();
  Type("Bob");
  {
    TMessageBoxAnswer answer(QMessageBox::Discard);
    EXPECT_TRUE(window_.close());
    EXPECT_TRUE(answer.Shown());
  }
  EXPECT_EQ(window_.tbMain()->State(), rsBrowse);
  EXPECT_EQ(Stored(people, 1, "NAME"), "Ann");

  // An edit with nothing typed closes without a question.
  window_.show();
  window_.tbMain()->Edit();
  EXPECT_TRUE(window_.close());
  EXPECT_EQ(window_.tbMain()->State(), rsBrowse);
}

TEST_F(TfrMainTest, OpeningATableStartsWithoutTheLastFilterFieldOrSearch) {
  Choose(dir_.File("people.dbf"));
  ClickMark(0);
  Filter("Jones");
  Search("Jo");
  Choose(dir_.File("abc.dbf"));
  TDbf* table = window_.tbMain();
  EXPECT_FALSE(table->Filtered());
  EXPECT_EQ(table->Filter(), "");
  EXPECT_FALSE(table->OnFilterRecord());
  EXPECT_EQ(window_.edMain()->text(), "");
  EXPECT_EQ(window_.edSearch()->text(), "");
  EXPECT_EQ(SelectedFieldName(), "");
  EXPECT_EQ(window_.lbMain()->CheckedIndex(), -1);
  EXPECT_EQ(window_.grMain()->CellText(0, 0), "a1");
  // A search before a field is chosen raises nothing.
  TMessageBoxAnswer answer;
  Search("a");
  EXPECT_FALSE(answer.Shown());
  ClickMark(0);
  Search("a1");
  EXPECT_EQ(window_.sbMain()->currentMessage(), "");
}

TEST_F(TfrMainTest, OneFieldIsMarkedAndItIsTheOneInUse) {
  Choose(dir_.File("people.dbf"));
  TCheckListBox* list = window_.lbMain();
  ClickMark(0);
  ClickMark(1);
  EXPECT_EQ(list->CheckedIndex(), 1);
  EXPECT_FALSE(list->Checked(0));
  EXPECT_EQ(SelectedFieldName(), "PRICE");
  EXPECT_EQ(SelectedFieldType(), ftFloat);
  ClickMark(1);  // the field in use stays marked and in use
  EXPECT_TRUE(list->Checked(1));
  EXPECT_EQ(SelectedFieldName(), "PRICE");
  ClickText(2);  // the name marks it too
  EXPECT_EQ(list->CheckedIndex(), 2);
  EXPECT_EQ(SelectedFieldName(), "BORN");
  EXPECT_EQ(SelectedFieldType(), ftDate);
  // Moving the highlight with the keyboard changes nothing until Space.
  QTest::keyClick(list, Qt::Key_Down);
  EXPECT_EQ(SelectedFieldName(), "BORN");
  QTest::keyClick(list, Qt::Key_Space);
  EXPECT_EQ(SelectedFieldName(), "ACTIVE");
  EXPECT_EQ(list->CheckedIndex(), 3);
  ClickMark(4);
  EXPECT_EQ(SelectedFieldName(), "QTY");
  EXPECT_EQ(SelectedFieldType(), ftSmallint);
}

TEST_F(TfrMainTest, EnterInTheFileNameBoxOpensTheTypedTable) {
  QLineEdit* box = window_.flName()->Edit();
  box->setFocus();
  QTest::keyClicks(box, QString::fromStdString(dir_.File("abc.dbf")));
  Key(Qt::Key_Return);
  EXPECT_TRUE(window_.tbMain()->Active());
  EXPECT_EQ(ListItems(), "A,B,C");

  // A table that cannot be opened: the box shows the open one again.
  box->clear();
  QTest::keyClicks(box, QString::fromStdString(dir_.File("missing.dbf")));
  {
    TMessageBoxAnswer answer;
    Key(Qt::Key_Return);
    EXPECT_TRUE(answer.Shown());
  }
  EXPECT_EQ(window_.flName()->FileName(), dir_.File("abc.dbf"));
  EXPECT_EQ(window_.tbMain()->FullTableName(), dir_.File("abc.dbf"));
  EXPECT_TRUE(window_.tbMain()->Active());
}

TEST_F(TfrMainTest, SearchAndFilterWaitForATable) {
  for (QWidget* control :
       {static_cast<QWidget*>(window_.edSearch()), static_cast<QWidget*>(window_.edMain()),
        static_cast<QWidget*>(window_.btFilter()), static_cast<QWidget*>(window_.btClear())})
    EXPECT_FALSE(control->isEnabled()) << control->objectName().toStdString();
  TMessageBoxAnswer answer;
  QTest::keyClick(window_.edSearch(), Qt::Key_A);
  QTest::mouseClick(window_.btFilter(), Qt::LeftButton);
  EXPECT_FALSE(window_.SearchPending());
  EXPECT_FALSE(answer.Shown());
  Choose(dir_.File("people.dbf"));
  EXPECT_TRUE(window_.edSearch()->isEnabled());
  EXPECT_TRUE(window_.btFilter()->isEnabled());
  window_.tbMain()->Close();
  EXPECT_FALSE(window_.edSearch()->isEnabled());
}

TEST_F(TfrMainTest, MemoCellsOpenInTheMemoWindow) {
  const std::string memo = MemoTable();
  Choose(memo);
  TDBGrid* grid = window_.grMain();
  grid->setFocus();
  // A double click on the memo cell: the text, changed and confirmed.
  std::string shown;
  {
    TModalAnswer answer([&](QWidget* dialog) {
      auto* edit = dialog->findChild<QPlainTextEdit*>();
      shown = edit->toPlainText().toStdString();
      EXPECT_FALSE(edit->isReadOnly());
      EXPECT_EQ(edit->lineWrapMode(), QPlainTextEdit::WidgetWidth);
      edit->setPlainText(QStringLiteral("new text\nsecond line"));
      static_cast<QDialog*>(dialog)->accept();
    });
    QTest::mouseDClick(grid->viewport(), Qt::LeftButton, {}, grid->CellRect(0, 1).center());
    EXPECT_EQ(answer.Count(), 1);
  }
  EXPECT_EQ(shown, "memo of first\nline two");
  EXPECT_EQ(window_.tbMain()->State(), rsBrowse);
  EXPECT_EQ(Stored(memo, 1, "NOTE"), "new text\r\nsecond line");
  Reactivate();
  grid->setFocus();

  // Ctrl+Enter on the second record; Cancel stores nothing.
  Key(Qt::Key_Down);
  {
    TModalAnswer answer([&](QWidget* dialog) {
      dialog->findChild<QPlainTextEdit*>()->setPlainText(QStringLiteral("dropped"));
      static_cast<QDialog*>(dialog)->reject();
    });
    Key(Qt::Key_Return, Qt::ControlModifier);
    EXPECT_EQ(answer.Count(), 1);
  }
  EXPECT_EQ(window_.tbMain()->State(), rsBrowse);
  EXPECT_EQ(Stored(memo, 2, "NOTE"), "memo of second\r\nline two");

  // A read-only table shows its memos read-only.
  window_.tbMain()->SetReadOnly(true);
  Choose(dir_.File("abc.dbf"));
  Choose(memo);
  grid->setFocus();
  Key(Qt::Key_Right);
  TModalAnswer answer([&](QWidget* dialog) {
    EXPECT_TRUE(dialog->findChild<QPlainTextEdit*>()->isReadOnly());
    static_cast<QDialog*>(dialog)->accept();
  });
  Key(Qt::Key_Return, Qt::ControlModifier);
  EXPECT_EQ(answer.Count(), 1);
  EXPECT_EQ(window_.tbMain()->State(), rsBrowse);
}

TEST_F(TfrMainTest, TheWindowKeepsItsControlsAndTheWheelScrollsTheRows) {
  window_.resize(300, 200);
  EXPECT_GE(window_.width(), 772);
  EXPECT_GE(window_.ClientArea()->height(), 527);
  for (QWidget* control : window_.ClientArea()->findChildren<QWidget*>()) {
    if (!control->isVisible() || control->parentWidget() == window_.grMain()) continue;
    const QRect inWindow(control->mapTo(&window_, QPoint(0, 0)), control->size());
    EXPECT_TRUE(window_.rect().contains(inWindow)) << control->objectName().toStdString();
  }

  TDbfWriter({{"NAME", 'C', 10, 0}}).WriteNumbered(dir_.File("hundred.dbf"), 100);
  Choose(dir_.File("hundred.dbf"));
  TDBGrid* grid = window_.grMain();
  const auto wheel = [&](int delta) {
    const QPointF at = grid->CellRect(2, 0).center();
    QWheelEvent event(at, grid->viewport()->mapToGlobal(at), QPoint(), QPoint(0, delta),
                      Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(grid->viewport(), &event);
  };
  const int lines = QApplication::wheelScrollLines();
  wheel(-120);  // one notch down: the rows move up, the current row keeps its place
  EXPECT_EQ(grid->CellText(0, 0), "R" + std::to_string(1 + lines));
  EXPECT_EQ(CurrentName(), "R" + std::to_string(1 + lines));
  wheel(-60);  // half a notch waits for the other half
  EXPECT_EQ(grid->CellText(0, 0), "R" + std::to_string(1 + lines));
  wheel(-60);
  EXPECT_EQ(grid->CellText(0, 0), "R" + std::to_string(1 + 2 * lines));
  wheel(120 * 10);  // far up: stops at the first row
  EXPECT_EQ(grid->CellText(0, 0), "R1");
}

}  // namespace

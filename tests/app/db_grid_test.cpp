#include "app/db_grid.h"

#include <gtest/gtest.h>
#include <QLineEdit>
#include <QScrollBar>
#include <QTest>

#include "recordset/datasource.h"
#include "recordset/fields.h"
#include "tests/app/qt_test_support.h"
#include "tests/support/memory_record_set.h"

namespace {

class TDBGridTest : public ::testing::Test {
 protected:
  void SetUp() override {
    set_.SetName("tbMain");
    set_.AddColumn("NAME", ftString, 8);
    set_.AddColumn("PRICE", ftFloat);
    source_.SetDataSet(&set_);
    window_.resize(500, 300);
    grid_ = new TDBGrid(&window_);
    grid_->setGeometry(0, 0, 400, 200);
    grid_->SetDataSource(&source_);
    other_ = new QLineEdit(&window_);
    other_->setGeometry(410, 0, 80, 20);
    window_.show();
    window_.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window_));
    grid_->setFocus();
  }
  void TearDown() override { grid_->SetDataSource(nullptr); }

  void AddRecords(int count) {
    for (int i = 0; i < count; ++i)
      set_.AddRecord({"R" + std::to_string(i + 1), std::to_string(i + 1) + ".5"});
  }
  void Key(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QWidget* target = grid_->EditorMode() ? grid_->InplaceEditor() : grid_;
    QTest::keyClick(target, key, modifiers);
  }
  // Each character goes where the focus is: the editor once it shows.
  void Type(const char* text) {
    for (const char* c = text; *c; ++c) {
      QWidget* target = grid_->EditorMode() ? grid_->InplaceEditor() : grid_;
      QTest::keyClick(target, *c);
    }
  }
  std::string Current() { return set_.Fields(0)->ValueAsString(); }
  int Live() const {
    int n = 0;
    for (const auto& r : set_.Records())
      if (!r.deleted) ++n;
    return n;
  }

  TMemoryRecordSet set_;
  TDataSource source_;
  QWidget window_;
  TDBGrid* grid_ = nullptr;
  QLineEdit* other_ = nullptr;
};

TEST_F(TDBGridTest, NoTableNoColumns) {
  EXPECT_EQ(grid_->ColumnCount(), 0);
  EXPECT_EQ(grid_->RowIndicator(0), giNone);
  EXPECT_EQ(grid_->verticalScrollBar()->maximum(), 0);
}

TEST_F(TDBGridTest, ColumnsComeFromTheFieldsAndRowsFromTheRing) {
  AddRecords(3);
  set_.Open();
  ASSERT_EQ(grid_->ColumnCount(), 2);
  EXPECT_EQ(grid_->ColumnTitle(0), "NAME");
  EXPECT_EQ(grid_->ColumnTitle(1), "PRICE");
  const int zero = QFontMetrics(grid_->font()).horizontalAdvance(QLatin1Char('0'));
  const int title = QFontMetrics(grid_->TitleFont()).horizontalAdvance("NAME") + 4;
  // Text columns fit the values on screen, six characters at least.
  EXPECT_EQ(grid_->ColumnWidth(0), qMax(zero * 6 + 4, title));
  EXPECT_EQ(grid_->ColumnWidth(1), zero * 10 + 4);

  // The link asks for the visible rows; a 3-record table fills 3 of them.
  EXPECT_EQ(set_.BufferCount(), grid_->VisibleRowCount());
  EXPECT_GT(grid_->VisibleRowCount(), 3);
  EXPECT_EQ(grid_->CellText(0, 0), "R1");
  EXPECT_EQ(grid_->CellText(2, 1), "3.5");
  EXPECT_EQ(grid_->CellText(3, 0), "");
  EXPECT_EQ(grid_->RowIndicator(0), giBrowse);
  EXPECT_EQ(grid_->RowIndicator(1), giNone);

  set_.Close();
  EXPECT_EQ(grid_->ColumnCount(), 0);
}

TEST_F(TDBGridTest, RowKeysAndClicksMoveTheRecordSet) {
  AddRecords(30);
  set_.Open();
  const int rows = grid_->VisibleRowCount();
  Key(Qt::Key_Down);
  EXPECT_EQ(Current(), "R2");
  Key(Qt::Key_PageDown);
  EXPECT_EQ(Current(), "R" + std::to_string(2 + rows));
  Key(Qt::Key_Up);
  EXPECT_EQ(Current(), "R" + std::to_string(1 + rows));
  Key(Qt::Key_End, Qt::ControlModifier);
  EXPECT_EQ(Current(), "R30");
  EXPECT_EQ(grid_->verticalScrollBar()->value(), grid_->verticalScrollBar()->maximum());
  Key(Qt::Key_Home, Qt::ControlModifier);
  EXPECT_EQ(Current(), "R1");
  EXPECT_EQ(grid_->verticalScrollBar()->value(), 0);

  QTest::mouseClick(grid_->viewport(), Qt::LeftButton, {}, grid_->CellRect(2, 1).center());
  EXPECT_EQ(Current(), "R3");
  EXPECT_EQ(grid_->SelectedIndex(), 1);
  EXPECT_EQ(grid_->RowIndicator(2), giBrowse);
  EXPECT_EQ(grid_->verticalScrollBar()->value(), 2);

  Key(Qt::Key_Home);
  EXPECT_EQ(grid_->SelectedIndex(), 0);
  Key(Qt::Key_Tab);
  EXPECT_EQ(grid_->SelectedIndex(), 1);
  Key(Qt::Key_Tab);  // past the last column: first column of the next row
  EXPECT_EQ(grid_->SelectedIndex(), 0);
  EXPECT_EQ(Current(), "R4");
  Key(Qt::Key_Backtab);
  EXPECT_EQ(grid_->SelectedIndex(), 1);
  EXPECT_EQ(Current(), "R3");
}

TEST_F(TDBGridTest, TypingEditsAndTheTwoEscapes) {
  AddRecords(2);
  set_.Open();
  Type("X");
  EXPECT_EQ(set_.State(), rsEdit);
  EXPECT_TRUE(grid_->EditorMode());
  EXPECT_EQ(grid_->EditText(), "X");
  EXPECT_EQ(grid_->RowIndicator(0), giEdit);
  Type("Y");
  EXPECT_EQ(grid_->EditText(), "XY");

  Key(Qt::Key_Escape);  // the typing goes, the edit stays
  EXPECT_EQ(set_.State(), rsEdit);
  EXPECT_FALSE(grid_->EditorMode());
  EXPECT_EQ(grid_->CellText(0, 0), "R1");
  Key(Qt::Key_Escape);  // the edit goes
  EXPECT_EQ(set_.State(), rsBrowse);
  EXPECT_EQ(set_.StoredText(set_.Records()[0].id, 0), "R1");
}

TEST_F(TDBGridTest, EnterWritesTheFieldAndLeavingTheRowPosts) {
  AddRecords(2);
  set_.Open();
  Key(Qt::Key_Return);  // opens the editor on the current text
  EXPECT_TRUE(grid_->EditorMode());
  EXPECT_EQ(grid_->EditText(), "R1");
  EXPECT_EQ(set_.State(), rsBrowse);
  Key(Qt::Key_End);
  Type("23456789");  // the field holds 8 characters
  EXPECT_EQ(grid_->EditText(), "R1234567");
  Key(Qt::Key_Return);
  EXPECT_FALSE(grid_->EditorMode());
  EXPECT_EQ(Current(), "R1234567");
  EXPECT_TRUE(set_.IsModified());
  Key(Qt::Key_Down);
  EXPECT_EQ(set_.State(), rsBrowse);
  EXPECT_EQ(set_.StoredText(set_.Records()[0].id, 0), "R1234567");
  EXPECT_EQ(Current(), "R2");
}

TEST_F(TDBGridTest, PendingTextIsPostedByTheMove) {
  AddRecords(2);
  set_.Open();
  Type("Z");
  Key(Qt::Key_Down);
  EXPECT_EQ(set_.State(), rsBrowse);
  EXPECT_EQ(set_.StoredText(set_.Records()[0].id, 0), "Z");
}

TEST_F(TDBGridTest, NumberCellsRefuseLettersAndBadTextKeepsTheEditor) {
  AddRecords(1);
  set_.Open();
  Key(Qt::Key_Right);
  Type("a");
  EXPECT_EQ(set_.State(), rsBrowse);
  EXPECT_FALSE(grid_->EditorMode());
  Type("1e");
  Type("e");
  EXPECT_EQ(grid_->EditText(), "1ee");
  TMessageBoxAnswer answer;
  Key(Qt::Key_Return);
  EXPECT_EQ(answer.Text(), "tbMain: '1ee' is not a valid floating point value for field 'PRICE'");
  EXPECT_TRUE(grid_->EditorMode());
  EXPECT_TRUE(grid_->EditChanged());
  EXPECT_EQ(grid_->EditText(), "1ee");
}

TEST_F(TDBGridTest, DownOnTheLastRecordAppendsAndUpRemovesIt) {
  AddRecords(2);
  set_.Open();
  Key(Qt::Key_Down);
  Key(Qt::Key_Down);
  EXPECT_EQ(set_.State(), rsInsert);
  EXPECT_EQ(grid_->RowIndicator(2), giInsert);
  EXPECT_EQ(grid_->CellText(2, 0), "");
  Key(Qt::Key_Down);  // an untouched new row at the end stays as it is
  EXPECT_EQ(set_.State(), rsInsert);
  Key(Qt::Key_Up);
  EXPECT_EQ(set_.State(), rsBrowse);
  EXPECT_EQ(Current(), "R2");
  EXPECT_EQ(Live(), 2);
  EXPECT_EQ(grid_->CellText(2, 0), "");

  // A typed row is posted when it is left.
  Key(Qt::Key_Down);
  Type("NEW");
  Key(Qt::Key_Up);
  EXPECT_EQ(set_.State(), rsBrowse);
  EXPECT_EQ(Live(), 3);
}

TEST_F(TDBGridTest, InsertKeyAndCtrlDeleteWithConfirmation) {
  AddRecords(2);
  set_.Open();
  Key(Qt::Key_Down);
  Key(Qt::Key_Insert);
  EXPECT_EQ(set_.State(), rsInsert);
  EXPECT_EQ(grid_->RowIndicator(1), giInsert);
  EXPECT_EQ(grid_->CellText(2, 0), "R2");
  Key(Qt::Key_Down);  // untouched and not at the end: it goes away
  EXPECT_EQ(set_.State(), rsBrowse);
  EXPECT_EQ(Live(), 2);

  {
    TMessageBoxAnswer answer(QMessageBox::Cancel);
    Key(Qt::Key_Delete, Qt::ControlModifier);
    EXPECT_EQ(answer.Text(), "Delete record?");
  }
  EXPECT_EQ(Live(), 2);
  {
    TMessageBoxAnswer answer(QMessageBox::Ok);
    Key(Qt::Key_Delete, Qt::ControlModifier);
    EXPECT_TRUE(answer.Shown());
  }
  EXPECT_EQ(Live(), 1);
}

TEST_F(TDBGridTest, CtrlDeleteOnAnEmptyTableDoesNothing) {
  set_.Open();
  // The key is handled inside the call: a confirmation would run its own
  // loop there and be answered before the call returns, so no wait is
  // needed to know that none came.
  {
    TMessageBoxAnswer answer;
    Key(Qt::Key_Delete, Qt::ControlModifier);
    EXPECT_FALSE(answer.Shown());
    EXPECT_EQ(set_.State(), rsBrowse);
  }
  // The same key on a record asks, within the call.
  AddRecords(1);
  set_.Refresh();
  TMessageBoxAnswer answer(QMessageBox::Cancel);
  Key(Qt::Key_Delete, Qt::ControlModifier);
  EXPECT_TRUE(answer.Shown());
  EXPECT_EQ(Live(), 1);
}

TEST_F(TDBGridTest, LeavingTheGridCancelsAnUntouchedNewRow) {
  AddRecords(1);
  set_.Open();
  Key(Qt::Key_Insert);
  EXPECT_EQ(set_.State(), rsInsert);
  other_->setFocus(Qt::TabFocusReason);
  EXPECT_EQ(set_.State(), rsBrowse);
  EXPECT_EQ(Live(), 1);

  // A changed edit text goes into the field when the focus leaves.
  grid_->setFocus();
  Type("Q");
  other_->setFocus(Qt::TabFocusReason);
  EXPECT_EQ(set_.State(), rsEdit);
  EXPECT_EQ(Current(), "Q");
}

TEST_F(TDBGridTest, ReadOnlyGridOrSetChangesNothing) {
  AddRecords(1);
  set_.Open();
  grid_->SetReadOnly(true);
  Type("A");
  Key(Qt::Key_Insert);
  Key(Qt::Key_Down);
  EXPECT_EQ(set_.State(), rsBrowse);
  EXPECT_EQ(Current(), "R1");
}

TEST_F(TDBGridTest, OpeningAndPagingReadOnlyTheRowsShown) {
  AddRecords(5000);
  set_.Open();
  const int rows = grid_->VisibleRowCount();
  // Opening reads the visible rows, plus the misses at either end.
  EXPECT_LE(set_.FetchCalls(), rows + 2);
  const int before = set_.FetchCalls();
  Key(Qt::Key_PageDown);
  Key(Qt::Key_PageDown);
  EXPECT_LE(set_.FetchCalls() - before, 2 * rows + 2);
  EXPECT_EQ(grid_->verticalScrollBar()->maximum(), 4999);
  EXPECT_EQ(grid_->verticalScrollBar()->value(), 2 * rows);
}

}  // namespace

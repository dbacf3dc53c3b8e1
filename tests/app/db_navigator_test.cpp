#include "app/db_navigator.h"

#include <gtest/gtest.h>
#include <QAbstractButton>
#include <QTest>

#include "recordset/datasource.h"
#include "recordset/fields.h"
#include "tests/app/qt_test_support.h"
#include "tests/support/memory_record_set.h"

namespace {

class TDBNavigatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    set_.SetName("tbMain");
    set_.AddColumn("NAME", ftString, 10);
    source_.SetDataSet(&set_);
    bar_.setGeometry(0, 0, 240, 25);
    bar_.SetDataSource(&source_);
    bar_.show();
  }
  void TearDown() override { bar_.SetDataSource(nullptr); }

  void AddRecords(int count) {
    for (int i = 0; i < count; ++i) set_.AddRecord({"R" + std::to_string(i + 1)});
  }

  // The enabled buttons as a string of ten 0/1 characters, first to refresh.
  std::string Enabled() const {
    std::string result;
    for (int i = 0; i < kNavigateBtnCount; ++i)
      result += bar_.Button(static_cast<TNavigateBtn>(i))->isEnabled() ? '1' : '0';
    return result;
  }

  void Click(TNavigateBtn button) { QTest::mouseClick(bar_.Button(button), Qt::LeftButton); }

  TMemoryRecordSet set_;
  TDataSource source_;
  TDBNavigator bar_;
};

TEST_F(TDBNavigatorTest, ButtonsHintsGlyphsAndLayout) {
  const char* hints[] = {"First record",  "Prior record",  "Next record", "Last record",
                         "Insert record", "Delete record", "Edit record", "Post edit",
                         "Cancel edit",   "Refresh data"};
  const char* glyphs[] = {"dbn_FIRST",  "dbn_PRIOR", "dbn_NEXT", "dbn_LAST",   "dbn_INSERT",
                          "dbn_DELETE", "dbn_EDIT",  "dbn_POST", "dbn_CANCEL", "dbn_REFRESH"};
  int x = 0;
  for (int i = 0; i < kNavigateBtnCount; ++i) {
    QAbstractButton* button = bar_.Button(static_cast<TNavigateBtn>(i));
    EXPECT_EQ(button->toolTip().toStdString(), hints[i]);
    EXPECT_EQ(button->objectName().toStdString(), glyphs[i]);
    EXPECT_FALSE(button->icon().isNull());
    EXPECT_EQ(button->geometry(), QRect(x, 0, 24, 25)) << i;
    x += 24;
  }

  TStringList own;
  own.Add("");
  own.Add("Back");
  bar_.SetHints(own);
  EXPECT_EQ(bar_.Button(nbFirst)->toolTip(), "First record");
  EXPECT_EQ(bar_.Button(nbPrior)->toolTip(), "Back");
  EXPECT_EQ(bar_.Button(nbNext)->toolTip(), "Next record");

  bar_.SetVisibleButtons(NavBtn(nbFirst) | NavBtn(nbLast) | NavBtn(nbPost));
  EXPECT_FALSE(bar_.Button(nbPrior)->isVisible());
  EXPECT_EQ(bar_.Button(nbFirst)->geometry(), QRect(0, 0, 80, 25));
  EXPECT_EQ(bar_.Button(nbLast)->geometry(), QRect(80, 0, 80, 25));
  EXPECT_EQ(bar_.Button(nbPost)->geometry(), QRect(160, 0, 80, 25));
}

TEST_F(TDBNavigatorTest, EnablingFollowsPositionAndState) {
  EXPECT_EQ(Enabled(), "0000000000");  // closed
  set_.Open();
  EXPECT_EQ(Enabled(), "0000101001");  // empty: insert, edit, refresh
  set_.Close();
  AddRecords(3);
  set_.Open();
  EXPECT_EQ(Enabled(), "0011111001");  // on the first record
  Click(nbNext);
  EXPECT_EQ(Enabled(), "1111111001");
  Click(nbLast);
  EXPECT_EQ(Enabled(), "1100111001");
  Click(nbEdit);
  EXPECT_EQ(set_.State(), rsEdit);
  EXPECT_EQ(Enabled(), "1100110111");  // editing: post and cancel, no edit
  Click(nbCancel);
  EXPECT_EQ(set_.State(), rsBrowse);
  Click(nbFirst);
  EXPECT_EQ(Enabled(), "0011111001");

  set_.Close();
  set_.SetReadOnly(true);
  set_.Open();
  EXPECT_EQ(Enabled(), "0011000000");
  bar_.setEnabled(false);
  EXPECT_EQ(Enabled(), "0000000000");
}

TEST_F(TDBNavigatorTest, DeleteAsksFirstAndCancelKeepsTheRecord) {
  AddRecords(2);
  set_.Open();
  {
    TMessageBoxAnswer answer(QMessageBox::Cancel);
    Click(nbDelete);
    EXPECT_EQ(answer.Text(), "Delete record?");
  }
  EXPECT_EQ(set_.Fields(0)->ValueAsString(), "R1");
  EXPECT_FALSE(set_.Records()[0].deleted);
  {
    TMessageBoxAnswer answer(QMessageBox::Ok);
    Click(nbDelete);
    EXPECT_TRUE(answer.Shown());
  }
  EXPECT_EQ(set_.Fields(0)->ValueAsString(), "R2");

  bar_.SetConfirmDelete(false);
  Click(nbDelete);
  EXPECT_TRUE(set_.IsEmpty());
}

TEST_F(TDBNavigatorTest, InsertPostAndRefreshReachTheRecordSet) {
  AddRecords(1);
  set_.Open();
  Click(nbInsert);
  EXPECT_EQ(set_.State(), rsInsert);
  set_.Fields(0)->SetValueAsString("NEW");
  Click(nbPost);
  EXPECT_EQ(set_.State(), rsBrowse);
  ASSERT_EQ(set_.Records().size(), 2u);
  Click(nbRefresh);
  EXPECT_EQ(set_.State(), rsBrowse);
}

TEST_F(TDBNavigatorTest, EventsSurroundTheOperation) {
  std::vector<std::string> calls;
  bar_.SetBeforeAction([&](TDBNavigator&, TNavigateBtn b) {
    calls.push_back("before " + std::to_string(b) + " " + set_.Fields(0)->ValueAsString());
  });
  bar_.SetOnClick([&](TDBNavigator&, TNavigateBtn b) {
    calls.push_back("click " + std::to_string(b) +
                    (set_.Active() ? " " + set_.Fields(0)->ValueAsString() : std::string()));
  });
  bar_.BtnClick(nbNext);  // closed: no operation, but OnClick
  AddRecords(2);
  set_.Open();
  bar_.BtnClick(nbNext);
  EXPECT_EQ(calls, (std::vector<std::string>{"click 2", "before 2 R1", "click 2 R2"}));
}

TEST_F(TDBNavigatorTest, ArrowKeysMoveTheFocusAndSpacePresses) {
  AddRecords(3);
  set_.Open();
  bar_.setFocus();
  EXPECT_EQ(bar_.FocusedButton(), nbFirst);
  QTest::keyClick(&bar_, Qt::Key_Left);
  EXPECT_EQ(bar_.FocusedButton(), nbFirst);
  QTest::keyClick(&bar_, Qt::Key_Right);
  QTest::keyClick(&bar_, Qt::Key_Right);
  EXPECT_EQ(bar_.FocusedButton(), nbNext);
  QTest::keyClick(&bar_, Qt::Key_Space);
  EXPECT_EQ(set_.Fields(0)->ValueAsString(), "R2");

  bar_.SetVisibleButtons(kAllNavButtons & ~NavBtn(nbLast));
  QTest::keyClick(&bar_, Qt::Key_Right);
  EXPECT_EQ(bar_.FocusedButton(), nbInsert);
}

TEST_F(TDBNavigatorTest, AFailingOperationShowsItsMessage) {
  AddRecords(1);
  set_.Open();
  set_.FailEdits(1, "Record locked.");
  TMessageBoxAnswer answer;
  Click(nbEdit);
  EXPECT_EQ(answer.Text(), "Record locked.");
  EXPECT_EQ(set_.State(), rsBrowse);
}

}  // namespace

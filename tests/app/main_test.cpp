#include "app/codepage_box.h"
#include "tests/app/main_fixture.h"

namespace {

TEST_F(TfrMainTest, LayoutCaptionsFontsAndTabOrder) {
  EXPECT_EQ(window_.objectName(), "frMain");
  EXPECT_EQ(window_.ClientArea()->size(), QSize(772, 527));
  EXPECT_EQ(window_.ClientArea()->pos(), QPoint(0, window_.mnMain()->height()));
  EXPECT_EQ(window_.sbMain()->geometry().top(), window_.mnMain()->height() + 527);
  EXPECT_EQ(window_.grMain()->geometry(), QRect(163, 42, 609, 485));
  EXPECT_EQ(window_.Panel1()->geometry(), QRect(0, 0, 772, 42));
  EXPECT_EQ(window_.Panel2()->geometry(), QRect(0, 42, 163, 485));
  EXPECT_EQ(window_.flName()->geometry(), QRect(8, 8, 337, 25));
  EXPECT_EQ(window_.nvMain()->geometry(), QRect(352, 8, 240, 25));
  EXPECT_EQ(window_.edSearch()->geometry(), QRect(601, 9, 152, 24));
  EXPECT_EQ(window_.lbMain()->geometry(), QRect(8, 8, 145, 257));
  EXPECT_EQ(window_.edMain()->geometry(), QRect(9, 272, 143, 24));
  EXPECT_EQ(window_.btFilter()->geometry(), QRect(46, 320, 75, 25));
  EXPECT_EQ(window_.btClear()->geometry(), QRect(46, 352, 75, 25));
  EXPECT_EQ(window_.AnimatedImage1()->geometry(), QRect(17, 396, 130, 80));

  // The hint is no text: it never stands for a file name.
  EXPECT_EQ(window_.flName()->Text(), "");
  EXPECT_EQ(window_.flName()->Edit()->placeholderText(), "Dbf Dosya");
  EXPECT_EQ(window_.flName()->Filter(), "All files (*.dbf)|*.dbf");
  EXPECT_EQ(window_.btFilter()->text(), "Filtrele");
  EXPECT_EQ(window_.btClear()->text(), "Temizle");
  EXPECT_EQ(window_.edSearch()->text(), "");
  EXPECT_EQ(window_.edMain()->text(), "");
  EXPECT_EQ(window_.lbMain()->Count(), 0);
  EXPECT_EQ(window_.lbMain()->CheckKind(), ckRadioButtons);

  const QFont turkish = window_.btFilter()->font();
  EXPECT_EQ(turkish.pixelSize(), 13);
  EXPECT_EQ(QFontInfo(turkish).family(), "Liberation Sans");
  EXPECT_EQ(window_.btFilter()->palette().color(QPalette::ButtonText), QColor(128, 0, 0));
  EXPECT_EQ(window_.edMain()->palette().color(QPalette::Text), QColor(128, 0, 0));
  EXPECT_EQ(window_.grMain()->FontColor(), QColor(0, 0, 128));
  EXPECT_EQ(window_.grMain()->TitleFontColor(), QColor(128, 0, 0));
  EXPECT_EQ(window_.grMain()->font().pixelSize(), 13);

  EXPECT_EQ(window_.tbMain()->TableLevel(), 3);
  EXPECT_FALSE(window_.tbMain()->Active());
  EXPECT_EQ(window_.dsMain()->DataSet(), window_.tbMain());
  EXPECT_EQ(window_.grMain()->DataSource(), window_.dsMain());
  EXPECT_EQ(window_.nvMain()->DataSource(), window_.dsMain());

  // Tab order: grid, file name, navigator, search, list, value, code page,
  // Temizle, Filtrele. The search and filter controls take the focus once a table
  // is open; the grid then keeps Tab for its cells.
  Choose(dir_.File("people.dbf"));
  const std::vector<QWidget*> order = {
      window_.flName()->Edit(), window_.nvMain(),   window_.edSearch(),
      window_.lbMain(),         window_.edMain(),   window_.cbCodePage(),
      window_.btClear(),        window_.btFilter(), window_.grMain()};
  order[0]->setFocus();
  for (size_t i = 1; i < order.size(); ++i) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), order[i]) << i;
  }
}

TEST_F(TfrMainTest, CancellingTheDialogChangesNothing) {
  Choose("");
  EXPECT_FALSE(window_.tbMain()->Active());
  EXPECT_EQ(window_.lbMain()->Count(), 0);

  Choose(dir_.File("people.dbf"));
  ClickMark(0);
  Filter("Jones");
  Choose("");
  EXPECT_TRUE(window_.tbMain()->Active());
  EXPECT_EQ(ListItems(), "NAME,PRICE,BORN,ACTIVE,QTY");
  EXPECT_EQ(window_.tbMain()->Filter(), "NAME='Jones'");
  EXPECT_TRUE(window_.tbMain()->Filtered());
}

TEST_F(TfrMainTest, ChoosingTablesFillsAndReplacesTheFieldList) {
  Choose(dir_.File("abc.dbf"));
  EXPECT_TRUE(window_.tbMain()->Active());
  EXPECT_EQ(ListItems(), "A,B,C");
  EXPECT_EQ(window_.grMain()->ColumnCount(), 3);
  EXPECT_EQ(window_.flName()->FileName(), dir_.File("abc.dbf"));
  ClickMark(1);
  EXPECT_EQ(SelectedFieldName(), "B");

  Choose(dir_.File("people.dbf"));
  EXPECT_EQ(ListItems(), "NAME,PRICE,BORN,ACTIVE,QTY");
  for (int i = 0; i < window_.lbMain()->Count(); ++i) EXPECT_FALSE(window_.lbMain()->Checked(i));
  EXPECT_EQ(window_.grMain()->ColumnTitle(0), "NAME");
}

TEST_F(TfrMainTest, AFailedOpenBringsBackTheTableThatWasOpen) {
  Choose(dir_.File("abc.dbf"));
  WriteWholeFile(dir_.File("bad.dbf"), std::string(40, '\x42'));
  TMessageBoxAnswer answer;
  Choose(dir_.File("bad.dbf"));
  EXPECT_TRUE(answer.Shown());
  EXPECT_TRUE(window_.tbMain()->Active());
  EXPECT_EQ(window_.tbMain()->FullTableName(), dir_.File("abc.dbf"));
  EXPECT_EQ(window_.flName()->FileName(), dir_.File("abc.dbf"));
  EXPECT_EQ(ListItems(), "A,B,C");
  EXPECT_EQ(window_.grMain()->ColumnCount(), 3);
}

TEST_F(TfrMainTest, NavigatorFollowsTheTable) {
  EXPECT_EQ(NavigatorEnabled(), "0000000000");
  EXPECT_EQ(window_.grMain()->ColumnCount(), 0);
  Choose(dir_.File("empty.dbf"));
  EXPECT_EQ(NavigatorEnabled(), "0000101001");
  Choose(dir_.File("people.dbf"));
  EXPECT_EQ(NavigatorEnabled(), "0011111001");
  QTest::mouseClick(window_.nvMain()->Button(nbEdit), Qt::LeftButton);
  EXPECT_EQ(window_.tbMain()->State(), rsEdit);
  EXPECT_EQ(NavigatorEnabled(), "0011110111");
  QTest::mouseClick(window_.nvMain()->Button(nbCancel), Qt::LeftButton);

  {
    TMessageBoxAnswer answer(QMessageBox::Cancel);
    QTest::mouseClick(window_.nvMain()->Button(nbDelete), Qt::LeftButton);
    EXPECT_EQ(answer.Text(), "Delete record?");
  }
  EXPECT_EQ(Names().size(), 5u);
  EXPECT_EQ(CurrentName(), "Smith");
}

TEST_F(TfrMainTest, NavigatorClicksLeaveTheKeyboardWithTheGrid) {
  Choose(dir_.File("people.dbf"));
  TDBGrid* grid = window_.grMain();
  grid->setFocus();
  QTest::mouseClick(window_.nvMain()->Button(nbInsert), Qt::LeftButton);
  EXPECT_EQ(window_.tbMain()->State(), rsInsert);
  // The user types the new record's values right away.
  QTest::keyClick(QApplication::focusWidget(), 'Z');
  EXPECT_EQ(grid->EditText(), "Z");
  QTest::mouseClick(window_.nvMain()->Button(nbPost), Qt::LeftButton);
  EXPECT_EQ(window_.tbMain()->State(), rsBrowse);
  // An inserted record is stored at the end of the file.
  EXPECT_EQ(Names(),
            (std::vector<std::string>{"Smith", "Smythe", "Jones", "O'Brien", "smith", "Z"}));

  // The bar is still a tab stop for the keyboard.
  window_.flName()->Edit()->setFocus();
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
  EXPECT_EQ(QApplication::focusWidget(), window_.nvMain());
}

TEST_F(TfrMainTest, GridAppendsOnDownAndEscapesInTwoSteps) {
  Choose(dir_.File("people.dbf"));
  TDBGrid* grid = window_.grMain();
  grid->setFocus();
  QTest::keyClick(grid, Qt::Key_End, Qt::ControlModifier);
  QTest::keyClick(grid, Qt::Key_Down);
  EXPECT_EQ(window_.tbMain()->State(), rsInsert);
  QTest::keyClick(grid, Qt::Key_Up);
  EXPECT_EQ(window_.tbMain()->State(), rsBrowse);
  EXPECT_EQ(window_.tbMain()->RecordCount(), 5);
  EXPECT_EQ(CurrentName(), "smith");

  QTest::keyClick(grid, Qt::Key_Home, Qt::ControlModifier);
  QTest::keyClick(grid, 'X');
  EXPECT_EQ(window_.tbMain()->State(), rsEdit);
  EXPECT_EQ(grid->EditText(), "X");
  QTest::keyClick(grid->InplaceEditor(), Qt::Key_Escape);
  EXPECT_EQ(window_.tbMain()->State(), rsEdit);
  EXPECT_EQ(grid->CellText(0, 0), "Smith");
  QTest::keyClick(grid, Qt::Key_Escape);
  EXPECT_EQ(window_.tbMain()->State(), rsBrowse);
}

}  // namespace

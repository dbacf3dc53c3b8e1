// Ordering the window's records by clicking column titles: the grid's
// rows, the title's arrow, the status bar and View > Order, edits and a
// new row while ordered, and a matching index used when the table has one.

#include <QMenu>

#include "tests/app/main_fixture.h"

namespace {

class TOrderTest : public TfrMainTest {
 protected:
  void ClickTitle(int column) {
    TDBGrid* grid = window_.grMain();
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, grid->CellRect(-1, column).center());
  }
  // The texts of a column's first rows on screen, joined with commas.
  std::string Column(int column, int rows) {
    std::string texts;
    for (int row = 0; row < rows; ++row)
      texts += (row ? "," : "") + TrimRight(window_.grMain()->CellText(row, column));
    return texts;
  }
  std::string Order() { return window_.sbMain()->Order()->text().toStdString(); }
  // View > Order's entries, the checked one marked with a star.
  std::string OrderMenu() {
    QMenu* view = window_.mnMain()->actions().at(2)->menu();
    emit view->aboutToShow();
    std::string entries;
    for (QAction* action : window_.findChild<QMenu*>(QStringLiteral("mnOrder"))->actions())
      entries += (entries.empty() ? "" : "|") + action->text().toStdString() +
                 (action->isChecked() ? "*" : "");
    return entries;
  }
};

TEST_F(TOrderTest, ColumnTitlesOrderTheGridAndEditsLandOnTheirRecords) {
  const std::string people = dir_.File("people.dbf");
  Choose(people);
  TDBGrid* grid = window_.grMain();
  EXPECT_EQ(OrderMenu(), "Record order*");

  ClickTitle(0);
  EXPECT_EQ(Column(0, 5), "Jones,O'Brien,Smith,smith,Smythe");
  EXPECT_EQ(Order(), "NAME ascending");
  EXPECT_EQ(grid->SortIndicatorColumn(), 0);
  EXPECT_FALSE(grid->SortIndicatorDescending());
  EXPECT_EQ(OrderMenu(), "Record order|NAME ascending*");

  // Again: descending, equal names still in record order.
  ClickTitle(0);
  EXPECT_EQ(Column(0, 5), "Smythe,Smith,smith,O'Brien,Jones");
  EXPECT_EQ(Order(), "NAME descending");
  EXPECT_TRUE(grid->SortIndicatorDescending());

  // Typing in the third row changes the record shown there (record 5), a
  // new row at the end is a new record, and both stay where they are.
  grid->setFocus();
  Key(Qt::Key_Home, Qt::ControlModifier);
  Key(Qt::Key_Down);
  Key(Qt::Key_Down);
  Key(Qt::Key_End);
  Type("9");
  Key(Qt::Key_Return);
  Key(Qt::Key_End, Qt::ControlModifier);
  Key(Qt::Key_Down);
  ASSERT_EQ(window_.tbMain()->State(), rsInsert);
  Key(Qt::Key_Home);
  Type("Aaron");
  Key(Qt::Key_Tab);
  Type("2");
  Key(Qt::Key_Return);
  Key(Qt::Key_Up);
  EXPECT_EQ(window_.tbMain()->State(), rsBrowse);
  EXPECT_EQ(Column(0, 6), "Smythe,Smith,smith,O'Brien,Jones,Aaron");
  EXPECT_EQ(Column(4, 6), "2,1,9,4,3,");
  EXPECT_EQ(window_.sbMain()->Position()->text(), "5 of 6");
  EXPECT_EQ(Stored(people, 5, "QTY"), "9");
  EXPECT_EQ(Stored(people, 1, "QTY"), "1");
  EXPECT_EQ(Stored(people, 6, "NAME"), "Aaron");
  EXPECT_EQ(Stored(people, 6, "PRICE"), "2");

  // View > Order makes the order again, the new record in its place.
  EXPECT_EQ(OrderMenu(), "Record order|NAME descending*");
  window_.findChild<QMenu*>(QStringLiteral("mnOrder"))->actions().at(1)->trigger();
  EXPECT_EQ(Column(0, 6), "Smythe,Smith,smith,O'Brien,Jones,Aaron");
  // A third click: record order, no arrow.
  ClickTitle(0);
  EXPECT_EQ(Column(0, 6), "Smith,Smythe,Jones,O'Brien,smith,Aaron");
  EXPECT_EQ(Order(), "record order");
  EXPECT_EQ(grid->SortIndicatorColumn(), -1);

  // Numbers by value, blanks first; a filter keeps the order.
  ClickTitle(2);
  EXPECT_EQ(Column(2, 6), ",,1/15/1980,1/15/1980,2/20/1990,1/1/2000");
  ClickTitle(1);
  EXPECT_EQ(Column(0, 6), "smith,Aaron,O'Brien,Smythe,Smith,Jones");
  EXPECT_EQ(grid->SortIndicatorColumn(), 1);
  ClickMark(0);
  Filter("Smith");
  EXPECT_EQ(Column(0, 3), "smith,Smith,");
  EXPECT_EQ(Order(), "PRICE ascending");
}

// A table whose production index has a tag on the field orders through
// it; the other direction, which no tag has, is made in memory.
TEST_F(TOrderTest, AnIndexOnTheFieldGivesTheOrder) {
  OpenReal("jdbfdriver/TEST.DBF");
  ClickTitle(1);
  EXPECT_EQ(Order(), "tag TEST2");
  EXPECT_EQ(Column(1, 3), "10,15,20");
  EXPECT_EQ(window_.grMain()->SortIndicatorColumn(), 1);
  EXPECT_EQ(OrderMenu(), "Record order|tag TEST1 (TEST1)|tag TEST2 (TEST2)*");
  ClickTitle(1);
  EXPECT_EQ(Order(), "TEST2 descending");
  EXPECT_EQ(Column(1, 3), "20,15,10");
  ClickTitle(1);
  EXPECT_EQ(Order(), "record order");
  EXPECT_EQ(Column(1, 3), "10,20,15");
}

}  // namespace

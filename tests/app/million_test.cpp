#include <gtest/gtest.h>
#include <QScrollBar>
#include <QTest>

#include "app/db_grid.h"
#include "app/db_navigator.h"
#include "platform/codepage.h"
#include "recordset/datasource.h"
#include "recordset/fields.h"
#include "tdbf/dataset/dbf.h"
#include "tests/app/dbf_writer.h"
#include "tests/support/temp_dir.h"

namespace {

// A table dataset that counts the records it reads, one by one or those
// read ahead together.
class TCountingDbf : public TDbf {
 public:
  int Reads() const { return reads_; }

 protected:
  TFetchResult FetchRecord(char* buffer, TFetchMode mode, bool check) override {
    const TFetchResult result = TDbf::FetchRecord(buffer, mode, check);
    if (result == frOK) ++reads_;
    return result;
  }
  int FetchReadyForward(int first, int count) override {
    const int filled = TDbf::FetchReadyForward(first, count);
    reads_ += filled;
    return filled;
  }

 private:
  int reads_ = 0;
};

TEST(TDBGridMillionTest, OpeningAndPagingReadOnlyTheRowsShown) {
  platform::SetSystemLocale({1252, 437, 0x0409});
  TTempDir dir;
  constexpr int kRecords = 1000000;
  TDbfWriter({{"NAME", 'C', 10, 0}}).WriteNumbered(dir.File("million.dbf"), kRecords);

  TCountingDbf table;
  table.SetName("tbMain");
  TDataSource source;
  source.SetDataSet(&table);
  QWidget window;
  window.resize(600, 400);
  auto* grid = new TDBGrid(&window);
  grid->setGeometry(0, 30, 600, 370);
  auto* bar = new TDBNavigator(&window);
  bar->setGeometry(0, 0, 240, 25);
  grid->SetDataSource(&source);
  bar->SetDataSource(&source);
  window.show();
  const int rows = grid->VisibleRowCount();

  table.SetTableName(dir.File("million.dbf"));
  table.Open();
  EXPECT_EQ(table.Reads(), rows);
  EXPECT_EQ(grid->CellText(rows - 1, 0), "R" + std::to_string(rows));
  EXPECT_EQ(grid->verticalScrollBar()->maximum(), kRecords - 1);

  grid->setFocus();
  QTest::keyClick(grid, Qt::Key_PageDown);
  QTest::keyClick(grid, Qt::Key_PageDown);
  // The first page moves the current row to the bottom of the view and
  // slides the ring by one record; the second reads a whole page.
  EXPECT_LE(table.Reads(), 3 * rows);
  EXPECT_EQ(table.FieldNamed("NAME")->ValueAsString(), "R" + std::to_string(2 * rows + 1));
  EXPECT_EQ(grid->verticalScrollBar()->value(), 2 * rows);

  QTest::keyClick(grid, Qt::Key_End, Qt::ControlModifier);
  EXPECT_LE(table.Reads(), 4 * rows);
  EXPECT_EQ(table.FieldNamed("NAME")->ValueAsString(), "R" + std::to_string(kRecords));
  EXPECT_EQ(grid->verticalScrollBar()->value(), kRecords - 1);

  grid->SetDataSource(nullptr);
  bar->SetDataSource(nullptr);
  table.Close();
  platform::ResetSystemLocale();
}

}  // namespace

#include "tdbf/dataset/dbf_cursor.h"

#include <gtest/gtest.h>

#include <string>

#include "tdbf/file/dbf_pgfile.h"
#include "tests/support/temp_dir.h"

namespace {

// A table file of a 32-byte header and 10-byte records.
class TDbfCursorTest : public ::testing::Test {
 protected:
  void OpenTable(int records) {
    WriteWholeFile(path_, std::string(32 + 10 * static_cast<size_t>(records), ' ') + "\x1A");
    file_.SetMode(amSharedOpen);
    file_.OpenFile();
    file_.SetRecordSize(10);
    file_.SetHeaderSize(32);
  }

  TTempDir dir_;
  std::string path_ = dir_.File("table.dbf");
  TPagedFile file_{path_};
  TDbfCursor cursor_{&file_};
};

TEST_F(TDbfCursorTest, EmptyTable) {
  OpenTable(0);
  EXPECT_EQ(&file_, cursor_.File());
  EXPECT_EQ(0, cursor_.LogicalCount());
  EXPECT_EQ(0, cursor_.PhysicalPosition());
  EXPECT_FALSE(cursor_.Next());
  EXPECT_EQ(1, cursor_.PhysicalPosition());
  cursor_.Last();
  EXPECT_EQ(0, cursor_.PhysicalPosition());
  EXPECT_FALSE(cursor_.Prev());
  EXPECT_EQ(0, cursor_.PhysicalPosition());
}

TEST_F(TDbfCursorTest, WalksForwardAndBack) {
  OpenTable(3);
  cursor_.First();
  for (int recNo = 1; recNo <= 3; ++recNo) {
    EXPECT_TRUE(cursor_.Next());
    EXPECT_EQ(recNo, cursor_.PhysicalPosition());
    EXPECT_EQ(recNo, cursor_.LogicalPosition());
    EXPECT_EQ(recNo, cursor_.CurrentBookmark());
  }
  EXPECT_FALSE(cursor_.Next());
  EXPECT_EQ(4, cursor_.PhysicalPosition());
  EXPECT_FALSE(cursor_.Next());
  EXPECT_EQ(4, cursor_.PhysicalPosition());
  EXPECT_TRUE(cursor_.Prev());
  EXPECT_EQ(3, cursor_.PhysicalPosition());

  cursor_.Last();
  EXPECT_EQ(4, cursor_.PhysicalPosition());
  EXPECT_TRUE(cursor_.Prev());
  EXPECT_TRUE(cursor_.Prev());
  EXPECT_TRUE(cursor_.Prev());
  EXPECT_EQ(1, cursor_.PhysicalPosition());
  EXPECT_FALSE(cursor_.Prev());
  EXPECT_EQ(0, cursor_.PhysicalPosition());
  cursor_.SetPhysicalPosition(-5);
  EXPECT_FALSE(cursor_.Prev());
  EXPECT_EQ(0, cursor_.PhysicalPosition());
}

TEST_F(TDbfCursorTest, PositionsAreSetWithoutChecks) {
  OpenTable(3);
  cursor_.SetPhysicalPosition(2);
  EXPECT_EQ(2, cursor_.LogicalPosition());
  cursor_.SetLogicalPosition(9);
  EXPECT_EQ(9, cursor_.PhysicalPosition());
  cursor_.SeekBookmark(3);
  EXPECT_EQ(3, cursor_.CurrentBookmark());
  EXPECT_FALSE(cursor_.Next());
}

TEST_F(TDbfCursorTest, TableShrankBelowThePosition) {
  OpenTable(5);
  cursor_.SetPhysicalPosition(5);
  {
    TPagedFile other(path_);
    other.SetMode(amSharedOpen);
    other.OpenFile();
    other.SetRecordSize(10);
    other.SetHeaderSize(32);
    other.SetPageCount(2);
  }
  EXPECT_FALSE(cursor_.Next());
  EXPECT_EQ(3, cursor_.PhysicalPosition());
  EXPECT_TRUE(cursor_.Prev());
  EXPECT_EQ(2, cursor_.PhysicalPosition());
}

TEST_F(TDbfCursorTest, AppendedRecordsShowAndInsertedOneIsCurrent) {
  OpenTable(2);
  cursor_.SetPhysicalPosition(2);
  const std::string record(10, 'n');
  {
    TPagedFile other(path_);
    other.SetMode(amSharedOpen);
    other.OpenFile();
    other.SetRecordSize(10);
    other.SetHeaderSize(32);
    other.WritePage(3, record.data());
  }
  EXPECT_TRUE(cursor_.Next());
  EXPECT_EQ(3, cursor_.PhysicalPosition());
  file_.WritePage(4, record.data());
  cursor_.SetPhysicalPosition(1);
  cursor_.RecordInserted(4, record.data());
  EXPECT_EQ(4, cursor_.PhysicalPosition());
  cursor_.RecordUpdated(4, record.data(), record.data());
  EXPECT_EQ(4, cursor_.PhysicalPosition());
  EXPECT_EQ(4, cursor_.LogicalCount());
}

}  // namespace

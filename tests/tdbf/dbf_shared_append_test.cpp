// Several processes appending to one shared table: records killed
// appenders leave behind, what readers see while appends run, and slots
// that hold no record (holes left by other programs).

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "recordset/fields.h"
#include "runtime/exceptions.h"
#include "tdbf/dbf.h"
#include "tdbf/dbf_common.h"
#include "tdbf/dbf_dbffile.h"
#include "tests/support/append_soak.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace {

class TSharedAppendTest : public ::testing::Test {
 protected:
  static std::string Helper() { return std::string(ZOZUR_HELPER_DIR) + "/appender_helper"; }
  TTempDir dir_;
  std::string path_ = dir_.File("shared.dbf");
};

// Appenders killed at random moments leave no hole, no torn or duplicated
// record, lose no posted record, and leave the header count true or, after
// a kill between writing a record and counting it, one behind. The long
// version of this test is tools/soak.
TEST_F(TSharedAppendTest, KilledAppendersLeaveWholeRecordsAndTrueCounts) {
  TSoakSettings settings;
  settings.folder = dir_.Path();
  settings.helperPath = Helper();
  settings.appenders = 3;
  settings.appendsEach = 150;
  settings.maxKills = 2;
  TSoakFigures figures;
  for (int round = 0; round < 4; ++round) RunSoakRound(settings, round, figures);
  EXPECT_TRUE(figures.Clean()) << figures.Text();
  EXPECT_GT(figures.posted, 0) << figures.Text();
}

// Opening an empty table while three processes make their first appends
// never fails, and a walk never shows a blank or partial record: every
// record it shows is one an appender wrote.
TEST_F(TSharedAppendTest, ReadersRacingAppendersSeeOnlyWholeRecords) {
  CreateSoakTable(path_);
  std::vector<std::unique_ptr<TChildProcess>> appenders;
  for (int i = 1; i <= 3; ++i)
    appenders.push_back(std::make_unique<TChildProcess>(
        Helper(), std::vector<std::string>{path_, std::to_string(i), "300"}));
  int opens = 0;
  int64_t shown = 0;
  std::vector<std::string> bad;
  // Reads until every appender is done: the last walk sees all 900.
  for (int64_t last = -1; last != 900;) {
    TDbf dbf;
    dbf.SetTableName(path_);
    dbf.SetReadOnly(true);
    try {
      dbf.Open();
    } catch (const Exception& e) {
      bad.push_back("open: " + e.Message());
      break;
    }
    ++opens;
    last = 0;
    for (dbf.First(); !dbf.AtEnd(); dbf.Next(), ++last) {
      const std::string name = dbf.FieldNamed("NAME")->ValueAsString();
      if (!IsAppenderName(name))
        bad.push_back("record " + std::to_string(last + 1) + ": '" + name + "'");
    }
    shown += last;
  }
  for (auto& appender : appenders) EXPECT_EQ(0, appender->Finish());
  EXPECT_TRUE(bad.empty()) << bad.size() << " faults, first: " << bad.front();
  EXPECT_GT(opens, 1);
  const std::string bytes = ReadWholeFile(path_);
  EXPECT_EQ(900u, GetLE32(bytes.data() + 4));
}

// Slots whose flag is neither blank nor "*" are no records: a walk skips
// one in the middle of the file (deleted records shown or not), and an
// append takes the first of those at the end and counts itself there.
TEST_F(TSharedAppendTest, SlotsThatHoldNoRecordAreSkippedAndRefilled) {
  CreateSoakTable(path_);
  {
    TDbfFile table(path_);
    table.SetMode(amSharedOpen);
    table.Open();
    std::vector<char> record(table.RecordSize());
    for (const char* name : {"1-1", "1-2", "1-3", "1-4", "1-5"}) {
      table.BlankRecord(record.data());
      table.WriteFieldValue(0, ftString, record.data(), name);
      table.AppendRecord(record.data());
    }
  }
  // Slot 2 a hole in the middle, slots 4 and 5 holes at the end beyond a
  // header count of 3, as appenders of older builds left them when killed.
  std::string bytes = ReadWholeFile(path_);
  const size_t headerSize = GetLE16(bytes.data() + 8), recordSize = GetLE16(bytes.data() + 10);
  for (size_t slot : {1u, 3u, 4u}) {
    bytes[headerSize + slot * recordSize] = 0x1A;
    std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(headerSize + slot * recordSize + 1),
                recordSize - 1, '\0');
  }
  PutLE32(bytes.data() + 4, 3);
  WriteWholeFile(path_, bytes);

  for (bool showDeleted : {false, true}) {
    TDbf dbf;
    dbf.SetTableName(path_);
    dbf.SetShowDeleted(showDeleted);
    dbf.Open();
    std::vector<std::string> names;
    for (dbf.First(); !dbf.AtEnd(); dbf.Next())
      names.push_back(dbf.FieldNamed("NAME")->ValueAsString());
    EXPECT_EQ((std::vector<std::string>{"1-1", "1-3"}), names) << showDeleted;
    std::vector<std::string> backwards;
    for (dbf.Last(); !dbf.AtStart(); dbf.Prior())
      backwards.push_back(dbf.FieldNamed("NAME")->ValueAsString());
    EXPECT_EQ((std::vector<std::string>{"1-3", "1-1"}), backwards) << showDeleted;
  }

  TDbfFile table(path_);
  table.SetMode(amSharedOpen);
  table.Open();
  std::vector<char> record(table.RecordSize());
  table.BlankRecord(record.data());
  table.WriteFieldValue(0, ftString, record.data(), "2-1");
  EXPECT_EQ(4, table.AppendRecord(record.data()));
  table.Close();
  bytes = ReadWholeFile(path_);
  EXPECT_EQ(4u, GetLE32(bytes.data() + 4));
  EXPECT_EQ(' ', bytes[headerSize + 3 * recordSize]);
  EXPECT_EQ(0x1A, bytes[headerSize + 4 * recordSize]);  // the end byte, in the old hole
}

}  // namespace

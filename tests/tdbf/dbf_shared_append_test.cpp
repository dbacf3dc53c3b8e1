// Several processes appending to one shared table: records killed
// appenders leave behind, what readers see while appends run, and slots
// that hold no record (holes left by other programs).

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "recordset/fields.h"
#include "runtime/exceptions.h"
#include "tdbf/dataset/dbf.h"
#include "tdbf/dbf_common.h"
#include "tdbf/file/dbf_dbffile.h"
#include "tests/support/append_soak.h"
#include "tests/support/child_process.h"
#include "tests/support/file_wrapper.h"
#include "tests/support/temp_dir.h"

namespace {

class TSharedAppendTest : public ::testing::Test {
 protected:
  static std::string Helper() { return std::string(ZOZUR_HELPER_DIR) + "/appender_helper"; }
  // Appends records with these names to the table at path.
  static void Append(const std::string& path, const std::vector<std::string>& names) {
    TDbfFile table(path);
    table.SetMode(amSharedOpen);
    table.Open();
    std::vector<char> record(table.RecordSize());
    for (const std::string& name : names) {
      table.BlankRecord(record.data());
      table.WriteFieldValue(0, ftString, record.data(), name.c_str());
      table.AppendRecord(record.data());
    }
  }
  // Overwrites the 0-based slots of the table at path: a hole as an
  // appender killed in an older build left it (the end-of-file byte, then
  // NULs), or, with a flag given, the record spoiled by that flag.
  static void Spoil(const std::string& path, const std::vector<size_t>& slots, char flag = 0) {
    std::string bytes = ReadWholeFile(path);
    const size_t headerSize = GetLE16(bytes.data() + 8), recordSize = GetLE16(bytes.data() + 10);
    for (size_t slot : slots) {
      char* at = bytes.data() + headerSize + slot * recordSize;
      if (flag == 0) {
        at[0] = 0x1A;
        std::fill_n(at + 1, recordSize - 1, '\0');
      } else {
        at[0] = flag;
      }
    }
    WriteWholeFile(path, bytes);
  }
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
  Append(path_, {"1-1", "1-2", "1-3", "1-4", "1-5"});
  // Slot 2 a hole in the middle, slots 4 and 5 holes at the end beyond a
  // header count of 3, as appenders of older builds left them when killed.
  Spoil(path_, {1, 3, 4});
  std::string bytes = ReadWholeFile(path_);
  const size_t headerSize = GetLE16(bytes.data() + 8), recordSize = GetLE16(bytes.data() + 10);
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

// The record count leaves out the holes in the middle of the file, agrees
// with what a walk shows while another process appends, and follows a hole
// that is filled later; it reads the flags once, not on every call.
TEST_F(TSharedAppendTest, RecordCountLeavesOutHolesAsWalksDo) {
  CreateSoakTable(path_);
  Append(path_, {"1-1", "1-2", "1-3", "1-4", "1-5", "1-6", "1-7"});
  Spoil(path_, {1, 4});    // holes at slots 2 and 5
  Spoil(path_, {5}, 'X');  // a record spoiled at slot 6
  Spoil(path_, {6}, '*');  // a deleted record at slot 7: a record
  const std::string bytes = ReadWholeFile(path_);
  TRecordReadCounter counter(GetLE16(bytes.data() + 8));
  TDbf dbf;
  dbf.SetEnv(&counter);
  dbf.SetTableName(path_);
  dbf.SetShowDeleted(true);
  dbf.Open();
  auto walk = [&dbf] {
    int shown = 0;
    for (dbf.First(); !dbf.AtEnd(); dbf.Next()) ++shown;
    return shown;
  };
  EXPECT_EQ(4, dbf.RecordCount());
  EXPECT_EQ(4, walk());
  counter.reads = 0;
  EXPECT_EQ(4, dbf.RecordCount());
  EXPECT_EQ(0, counter.reads);

  // While another process appends, every walk shows at least the records
  // counted before it and at most those counted after it.
  constexpr int kAppends = 300;
  TChildProcess appender(Helper(), {path_, "2", std::to_string(kAppends)});
  std::vector<std::string> faults;
  int walks = 0;
  for (int after = 0; after != 4 + kAppends && walks < 100000; ++walks) {
    const int before = dbf.RecordCount();
    const int shown = walk();
    after = dbf.RecordCount();
    if (shown < before || shown > after)
      faults.push_back(std::to_string(before) + " <= " + std::to_string(shown) +
                       " <= " + std::to_string(after));
  }
  EXPECT_EQ(0, appender.Finish());
  EXPECT_GT(walks, 1);
  EXPECT_TRUE(faults.empty()) << faults.size() << " walks disagree, first: " << faults.front();
  EXPECT_EQ(4 + kAppends, dbf.RecordCount());
  EXPECT_EQ(4 + kAppends, walk());

  // A slow appender of another program fills its hole at last: a walk
  // reading the slot counts it, and so does a count after the table grew.
  Spoil(path_, {1}, ' ');
  EXPECT_EQ(4 + kAppends, dbf.RecordCount());
  EXPECT_EQ(5 + kAppends, walk());
  EXPECT_EQ(5 + kAppends, dbf.RecordCount());
  Spoil(path_, {4}, ' ');
  Append(path_, {"3-1"});
  EXPECT_EQ(7 + kAppends, dbf.RecordCount());
  EXPECT_EQ(7 + kAppends, walk());
}

}  // namespace

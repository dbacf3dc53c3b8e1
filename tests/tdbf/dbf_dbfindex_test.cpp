// dbfindex and dbfcat --index as a user runs them, and indexed tables
// shared between processes: every tag stays consistent while two
// processes append, a reader in index order sees a consistent order, and
// creating an index needs the table to itself.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/env.h"
#include "recordset/fields.h"
#include "runtime/exceptions.h"
#include "runtime/sysutils.h"
#include "tdbf/dataset/dbf.h"
#include "tdbf/file/dbf_dbffile.h"
#include "tdbf/index/dbf_idxfile.h"
#include "tests/support/child_process.h"
#include "tests/support/dbf_locale.h"
#include "tests/support/shell.h"
#include "tests/support/temp_dir.h"

namespace {

TToolRun Tool(const std::string& tool, const std::vector<std::string>& args) {
  return RunTool(tool, args);
}

class TDbfIndexToolTest : public ::testing::Test {
 protected:
  TScopedSystemLocale locale_;
  TTempDir dir_;
  std::string path_ = dir_.File("people.dbf");

  void CreatePeople(int count) {
    TDbf dbf;
    dbf.SetTableName(path_);
    dbf.SetOpenMode(omAutoCreate);
    dbf.FieldDefs().Add("NAME", ftString, 12);
    dbf.FieldDefs().Add("NUM", ftInteger, 0);
    dbf.Open();
    for (int i = 0; i < count; ++i) {
      dbf.AppendNew();
      dbf.FieldNamed("NAME")->SetValueAsString(Format("P%05d", (i * 7919) % 1000));
      dbf.FieldNamed("NUM")->SetValueAsInteger(i);
      dbf.Post();
    }
  }
};

// create, list, check on a sound and on a spoiled index, regenerate, and
// dbfcat in the new order; no progress when the output is no terminal.
TEST_F(TDbfIndexToolTest, CreateListCheckRegenerateAndPrintInOrder) {
  CreatePeople(1000);
  TToolRun run = Tool("dbfindex", {"create", path_, "name", "NAME"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  run = Tool("dbfindex", {"create", path_, "NUM", "NUM", "--distinct", "--descending"});
  EXPECT_EQ(run.status, 0) << run.err;
  run = Tool("dbfindex", {"create", path_, "N", "NUM", "--file", "num.ndx"});
  EXPECT_EQ(run.status, 0) << run.err;
  run = Tool("dbfindex", {"list", path_, "--file", "num.ndx"});
  EXPECT_EQ(run.out,
            "NAME\tNAME\tC normal\t1000 keys\n"
            "NUM\tNUM\tN distinct descending\t1000 keys\n"
            "num.ndx\tNUM\tN normal\t1000 keys\n");
  run = Tool("dbfindex", {"check", path_});
  EXPECT_EQ(run.status, 0) << run.out;
  run = Tool("dbfindex", {"create", path_, "BAD", "NOSUCH"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "dbfindex: Index based on unknown field \"NOSUCH\".\n");

  // dbfcat prints in the order of the tag.
  run = Tool("dbfcat", {"--index", "NUM", path_});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("\"NUM\": 999}}\n{\"deleted\": false, \"values\": {\"NAME\": \"P"),
            std::string::npos);
  const size_t second = run.out.find('\n') + 1;
  EXPECT_NE(run.out.find("\"NUM\": 999", second), std::string::npos);
  EXPECT_LT(run.out.find("\"NUM\": 999"), run.out.find("\"NUM\": 998"));

  // Another program's damage: two keys of a leaf swapped, a record
  // pointing past the table.
  const std::string mdx = ChangeFileExt(path_, ".mdx");
  std::string bytes = ReadWholeFile(mdx);
  TDbfFile table(path_);
  table.SetMode(amReadOnly);
  table.Open();
  TIndexFile& index = *table.ProductionIndex();
  index.SelectIndex("NAME");
  index.GotoFirst();
  index.GotoNext();
  const int32_t first = index.CurrentRecordNo();
  table.Close();
  // The first leaf holds the first keys: find the slot of the first
  // record and the slot after it (16 bytes an entry: pointer and 12-byte
  // key).
  size_t slot = std::string::npos;
  for (size_t at = 6 * 512; at + 32 < bytes.size(); at += 1024) {
    if (GetLE32(bytes.data() + at + 8) == static_cast<uint32_t>(first) &&
        GetLE32(bytes.data() + at) > 2) {
      slot = at + 8;
      break;
    }
  }
  ASSERT_NE(slot, std::string::npos);
  std::string a = bytes.substr(slot + 4, 12);
  std::string b = bytes.substr(slot + 20, 12);
  bytes.replace(slot + 4, 12, "ZZZZ        ");
  PutLE32(bytes.data() + slot + 16, 5000);
  WriteWholeFile(mdx, bytes);
  run = Tool("dbfindex", {"check", path_, "NAME"});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("is out of key order"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("points at record 5000, past the table's 1000"), std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("has a wrong key in the index"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("has no key in the index"), std::string::npos) << run.out;
  // The table checker walks the production index too, and changes nothing.
  run = Tool("dbfcheck", {path_});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("people.dbf: index tag NAME: "), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("is out of key order"), std::string::npos) << run.out;
  EXPECT_EQ(ReadWholeFile(mdx), bytes);
  run = Tool("dbfindex", {"regenerate", path_});
  EXPECT_EQ(run.status, 0) << run.err;
  run = Tool("dbfindex", {"check", path_});
  EXPECT_EQ(run.status, 0) << run.out;
  run = Tool("dbfindex", {"delete", path_, "NUM"});
  EXPECT_EQ(run.status, 0) << run.err;
  run = Tool("dbfindex", {"list", path_});
  EXPECT_EQ(run.out, "NAME\tNAME\tC normal\t1000 keys\n");
}

// Two processes append to an indexed table opened shared while a third
// walks it in index order; afterwards every tag holds every record once,
// in order.
TEST_F(TDbfIndexToolTest, SharedAppendersKeepEveryTagConsistent) {
  CreatePeople(10);
  ASSERT_EQ(Tool("dbfindex", {"create", path_, "NAME", "NAME"}).status, 0);
  ASSERT_EQ(Tool("dbfindex", {"create", path_, "NUM", "NUM", "--descending"}).status, 0);
  const std::string helper = std::string(ZOZUR_HELPER_DIR) + "/dbf_dataset_helper";
  WriteWholeFile(dir_.File("a"), "open " + path_ + " shared\nappendnamed 150 A\ncount\n");
  WriteWholeFile(dir_.File("b"), "open " + path_ + " shared\nappendnamed 150 B\ncount\n");
  const std::string command = "'" + helper + "' <'" + dir_.File("a") + "' >'" + dir_.File("oa") +
                              "' & '" + helper + "' <'" + dir_.File("b") + "' >'" +
                              dir_.File("ob") + "'; wait";
  // Meanwhile this process reads in index order, shared.
  TDbf reader;
  reader.SetTableName(path_);
  reader.SetIndexName("NAME");
  reader.Open();
  ASSERT_EQ(std::system(("(" + command + ") &").c_str()), 0);
  for (int round = 0; round < 20; ++round) {
    std::string previous;
    for (reader.First(); !reader.AtEnd(); reader.Next()) {
      const std::string name = reader.FieldNamed("NAME")->ValueAsString();
      EXPECT_LE(previous, name);
      previous = name;
    }
  }
  reader.Close();
  // Wait for both appenders: their last line is the count.
  for (int wait = 0; wait < 6000; ++wait) {
    if (ReadWholeFile(dir_.File("oa")).find("ok\nok\n") != std::string::npos &&
        ReadWholeFile(dir_.File("ob")).find("ok\nok\n") != std::string::npos)
      break;
    usleep(10000);
  }
  usleep(100000);
  EXPECT_EQ(ReadWholeFile(dir_.File("oa")).substr(0, 6), "ok\nok\n");
  const TToolRun check = Tool("dbfindex", {"check", path_});
  EXPECT_EQ(check.status, 0) << check.out << check.err;
  const TToolRun list = Tool("dbfindex", {"list", path_});
  EXPECT_EQ(list.out, "NAME\tNAME\tC normal\t310 keys\nNUM\tNUM\tN descending\t310 keys\n");
}

// An index cannot be made while another process has the table open.
TEST_F(TDbfIndexToolTest, CreatingNeedsTheTableToItself) {
  CreatePeople(5);
  TChildProcess other(std::string(ZOZUR_HELPER_DIR) + "/dbf_dataset_helper", {});
  ASSERT_EQ(other.Request("open " + path_ + " shared"), "ok");
  TDbfFile table(path_);
  table.SetMode(amSharedOpen);
  table.Open();
  try {
    table.OpenIndex("NAME", "NAME", true, 0);
    FAIL() << "created while shared";
  } catch (const EDbfError& e) {
    EXPECT_EQ(e.Message(), "Exclusive access is required for this operation.");
  }
  table.Close();
  EXPECT_FALSE(platform::TEnv::Default()->FileExists(ChangeFileExt(path_, ".mdx")));
  other.Finish();
}

}  // namespace

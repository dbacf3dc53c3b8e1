// Replays the inputs kept under tests/data/fuzz/TARGET/ (faults the fuzz
// targets found once, and damaged files made by hand) and the real tables
// through the fuzz targets, so that the ordinary suite and its sanitizer
// build catch a fault coming back. A fault ends the program (a sanitizer
// report or an abort in the target); the test passes when every input runs
// through.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz/fuzz_targets.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> FilesBelow(const fs::path& folder) {
  std::vector<fs::path> files;
  if (!fs::exists(folder)) return files;
  for (const auto& entry : fs::recursive_directory_iterator(folder))
    if (entry.is_regular_file()) files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  return files;
}

std::string LowerExtension(const fs::path& path) {
  std::string ext = path.extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return std::tolower(c); });
  return ext;
}

void Feed(void (*target)(const uint8_t*, size_t), const std::string& bytes) {
  target(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

// The companion memo file of a table in the same folder, whatever its
// letter case; empty when there is none.
fs::path MemoBeside(const fs::path& table) {
  for (const auto& entry : fs::directory_iterator(table.parent_path())) {
    const std::string ext = LowerExtension(entry.path());
    if ((ext == ".dbt" || ext == ".fpt") && entry.path().stem() == table.stem())
      return entry.path();
  }
  return fs::path();
}

}  // namespace

TEST(TFuzzCasesTest, KeptCasesRunThrough) {
  const fs::path root = TestDataPath("fuzz");
  size_t count = 0;
  for (const auto& [target, run] :
       std::vector<std::pair<std::string, void (*)(const uint8_t*, size_t)>>{
           {"table", FuzzTable},
           {"memo", FuzzMemo},
           {"expression", FuzzExpression},
           {"index", FuzzIndex}}) {
    for (const fs::path& file : FilesBelow(root / target)) {
      SCOPED_TRACE(file.string());
      Feed(run, ReadWholeFile(file.string()));
      ++count;
    }
  }
  EXPECT_GT(count, 0u);
}

// Every real table is walked with each field read, every real table with
// a memo file has a memo value rewritten (in a copy) within the bound on
// the memo file's growth, and every real index file is checked and walked.
TEST(TFuzzCasesTest, RealTablesRunThrough) {
  size_t tables = 0, memos = 0, indexes = 0;
  for (const fs::path& file : FilesBelow(TestDataPath("real"))) {
    const std::string ext = LowerExtension(file);
    if (ext == ".ndx" || ext == ".mdx") {
      // Another table's index, read as one of the fuzz table's.
      SCOPED_TRACE(file.string());
      Feed(FuzzIndex, ReadWholeFile(file.string()));
      ++indexes;
    }
    if (ext != ".dbf") continue;
    SCOPED_TRACE(file.string());
    const std::string table = ReadWholeFile(file.string());
    Feed(FuzzTable, table);
    ++tables;
    const fs::path memo = MemoBeside(file);
    if (memo.empty()) continue;
    std::string input(4, '\0');
    const auto length = static_cast<uint32_t>(table.size());
    for (int i = 0; i < 4; ++i) input[i] = static_cast<char>(length >> (8 * i));
    Feed(FuzzMemo, input + table + ReadWholeFile(memo.string()));
    ++memos;
  }
  EXPECT_GT(tables, 100u);
  EXPECT_GT(memos, 20u);
  EXPECT_GE(indexes, 4u);
}

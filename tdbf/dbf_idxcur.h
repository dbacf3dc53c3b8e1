#pragma once
// TIndexCursor walks the table in the order of one index: the selected tag
// of an index file that the table file owns. Positions are the index
// file's; bookmarks stay record numbers, so a bookmark taken in one order
// finds its record in another.

#include <cstdint>
#include <string>

#include "tdbf/dbf_cursor.h"

class TIndexFile;

class TIndexCursor : public TVirtualCursor {
 public:
  // indexFile is not owned; tagName is selected in it whenever the cursor
  // moves, so that other users of the file may select other tags.
  TIndexCursor(TIndexFile* indexFile, std::string tagName);

  TIndexFile* IndexFile() const { return indexFile_; }

  // The record the index stands on; -1 before the first or after the last.
  int32_t PhysicalPosition() override;
  // Estimates from where the walk is in the tree (1..LogicalCount).
  int32_t LogicalPosition() override;
  // The table's record count, or an estimate of the entries in the range.
  int32_t LogicalCount() override;
  void SetPhysicalPosition(int32_t value) override;
  void SetLogicalPosition(int32_t value) override;
  bool Next() override;
  bool Prev() override;
  void First() override;
  void Last() override;
  int32_t CurrentBookmark() override;
  // Places the cursor on the record; 0 means before the first record and
  // 0x7FFFFFFF after the last.
  void SeekBookmark(int32_t bookmark) override;
  // The table file has already put the keys in every index; the cursor
  // moves to the record.
  void RecordInserted(int32_t recNo, const char* buffer) override;
  void RecordUpdated(int32_t recNo, const char* oldBuffer, const char* newBuffer) override;

  // Key ranges and searches (keys in index form, see TIndexFile).
  void SetRange(const std::string& lowKey, const std::string& highKey);
  void CancelRange();
  bool SearchKey(const std::string& key, int mode);

 private:
  TIndexFile& Select();

  TIndexFile* indexFile_;
  std::string tagName_;
};

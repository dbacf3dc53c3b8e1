#pragma once
// TSortCursor walks the table in an order held in memory: a list of record
// numbers made once (for instance sorted by one field's value, see
// TDbf::SortByField). Positions are places in the list (1..count);
// bookmarks stay record numbers, so a bookmark taken in one order finds its
// record in another. Records appended after the list was made, by this set
// or another process, follow at its end in record-number order. A record
// whose value changes keeps its place: the list is not kept sorted.

#include <cstdint>
#include <vector>

#include "tdbf/dataset/dbf_cursor.h"

class TSortCursor : public TVirtualCursor {
 public:
  // order holds the record numbers to walk, each at most once, all of them
  // at most scanned; the slots from scanned + 1 on count as appended.
  TSortCursor(TPagedFile* file, std::vector<int32_t> order, int32_t scanned);

  // The record the cursor stands on; 0 before the first or after the last.
  int32_t PhysicalPosition() override;
  int32_t LogicalPosition() override { return position_; }
  int32_t LogicalCount() override;
  // A record not in the list places the cursor before the first record.
  void SetPhysicalPosition(int32_t value) override;
  void SetLogicalPosition(int32_t value) override;
  bool Next() override;
  bool Prev() override;
  void First() override { position_ = 0; }
  void Last() override;
  int32_t CurrentBookmark() override { return PhysicalPosition(); }
  // 0 means before the first record and 0x7FFFFFFF after the last.
  void SeekBookmark(int32_t bookmark) override;
  void RecordInserted(int32_t recNo, const char* buffer) override;
  void RecordUpdated(int32_t, const char*, const char*) override {}

 private:
  int32_t Count() const { return static_cast<int32_t>(order_.size()); }
  // Puts the slots appended since the list was made (up to the file's
  // page count, or recNo when larger) at its end.
  void TakeAppended(int32_t recNo = 0);

  std::vector<int32_t> order_;
  // The place (1-based) of each record number in order_; 0 for none.
  std::vector<int32_t> place_;
  int32_t scanned_;
  // 0 before the first record, 1..Count() on one, Count() + 1 after the last.
  int32_t position_ = 0;
};
